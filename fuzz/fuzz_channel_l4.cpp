// Fuzz target of layer 4: arbitrary packages for an open channel fed to the
// router's layer-4 entry (ChannelMgrHandleData) and to the channel client's
// meta handling, between sends of requests and jumps of the clock. The
// runtime is started once with the real channel components and a router
// stand-in that takes every package; a channel is opened again whenever the
// input closed the last one.
//
// Input: records of [op][length][length bytes]. op bits 0..1: 0 package to
// ChannelMgrHandleData, 1 package to NetClientHandleMetaResponse, 2 send a
// request of that many bytes, 3 move the clock by length x 50 ms and run the
// communication cycle; bit 2: give a meta package its correct checksum (so
// that the fields behind it are reached).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CMItf.h"
#include "CmpChannelClientItf.h"
#include "CmpChecksumItf.h"
#include "CmpMemPoolItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"
#include "CmpLogItf.h"
#include "SysTime.h"

namespace {

ADDRESSCOMPONENT g_peer[3] = {{{0x2D, 0xDC}}, {{0x7F, 0x00}}, {{0x00, 0x01}}};
PF_REGISTER_API g_pfRegister = nullptr;
PFChannelMgrHandleData g_pfHandleData = nullptr;
RTS_UI32 g_ulOffset = 0;
RTS_UI16 g_wChannelId = 1;
RTS_UI16 g_wHandle = 0;
std::vector<uint8_t> g_request;  // stays untouched while it is being sent

PEERADDRESS Peer() {
    return PEERADDRESS{AT_ABSOLUTE, 0, 3, g_peer};
}

RTS_RESULT Send(RTS_HANDLE, PEERADDRESS, RTS_I32, RTS_UI8, ROUTERPRIORITY, PROTOCOL_DATA_UNIT pdu) {
    // Read every byte: a package built past its buffer shows up here.
    volatile uint8_t sum = 0;
    for (RTS_UI32 i = 0; i < pdu.ulCount; ++i) {
        sum = static_cast<uint8_t>(sum + pdu.pData[i]);
    }
    return pdu.ulCount <= 512 ? ERR_OK : 0x102;
}
RTS_RESULT MaxByLength(RTS_HANDLE, RTS_UI16 w, RTS_UI16* pw) {
    RTS_UI32 hdr = (6u + 2u * w + 3u) & ~3u;
    *pw = hdr >= 512 ? 0 : static_cast<RTS_UI16>(512 - hdr);
    return hdr >= 512 ? 0x102 : ERR_OK;
}
RTS_RESULT MaxSize(RTS_HANDLE h, PEERADDRESS a, RTS_UI16* pw) {
    return MaxByLength(h, static_cast<RTS_UI16>(a.nLength + 3), pw);
}
RTS_RESULT MaxAddr(RTS_HANDLE, PEERADDRESS a, RTS_UI8* p) {
    *p = static_cast<RTS_UI8>(a.nLength + 3);
    return ERR_OK;
}
RTS_BOOL Compare(const PEERADDRESS* a, const PEERADDRESS* b) {
    return a->type == b->type && a->nLength == b->nLength && a->nLength <= MAX_NODE_ADDR_LEN &&
           memcmp(a->pAddress, b->pAddress, 2 * a->nLength) == 0;
}
RTS_RESULT Export() {
    g_pfRegister("RouterSend", reinterpret_cast<RTS_VOID_FCTPTR>(&Send), 0, SIG_RouterSend);
    g_pfRegister("RouterGetMaxMessageSize", reinterpret_cast<RTS_VOID_FCTPTR>(&MaxSize), 0,
                 SIG_RouterGetMaxMessageSize);
    g_pfRegister("RouterGetMaxMessageSizeByAddressLength", reinterpret_cast<RTS_VOID_FCTPTR>(&MaxByLength), 0,
                 SIG_RouterGetMaxMessageSizeByAddressLength);
    g_pfRegister("RouterGetMaxAddressSize", reinterpret_cast<RTS_VOID_FCTPTR>(&MaxAddr), 0,
                 SIG_RouterGetMaxAddressSize);
    g_pfRegister("RouterCompareAddresses", reinterpret_cast<RTS_VOID_FCTPTR>(&Compare), 0,
                 SIG_RouterCompareAddresses);
    return ERR_OK;
}
RTS_RESULT Import() {
    return ERR_OK;
}
RTS_UI32 Version() {
    return 1;
}
RTS_RESULT Hook(RTS_UI32, RTS_UINTPTR, RTS_UINTPTR) {
    return ERR_OK;
}
RTS_RESULT RouterStandIn__Entry(INIT_STRUCT* p) {
    p->CmpId = 33;
    p->pfExportFunctions = Export;
    p->pfImportFunctions = Import;
    p->pfGetVersion = Version;
    p->pfHookFunction = Hook;
    g_pfRegister = p->pfCMRegisterAPI;
    return ERR_OK;
}

void SealMeta(std::vector<uint8_t>* p) {
    if (p->size() < 8) {
        return;
    }
    (*p)[4] = (*p)[5] = (*p)[6] = (*p)[7] = 0;
    RTS_UI32 crc = CRC32Finish(CRC32Update(CRC32_INIT, p->data(), p->size()));
    L4PutU32(p->data() + 4, crc);
}

void Deliver(std::vector<uint8_t> pkg) {
    PROTOCOL_DATA_UNIT pdu{pkg.empty() ? nullptr : pkg.data(), static_cast<RTS_UI32>(pkg.size())};
    g_pfHandleData(nullptr, nullptr, PID_LAYER4, 0, Peer(), Peer(), pdu, 0);
}

void EnsureChannel() {
    if (NetClientGetNumChannels() > 0) {
        return;
    }
    RTS_UI32 reqId = 0;
    if (NetClientOpenChannel(Peer(), 4096, &reqId) != ERR_PENDING) {
        abort();
    }
    g_wChannelId = static_cast<RTS_UI16>(g_wChannelId % 3 + 1);
    std::vector<uint8_t> resp = {0x83, 0, 1, 1, 0, 0, 0, 0};
    resp.resize(24);
    L4PutU32(resp.data() + 8, reqId);
    L4PutU16(resp.data() + 14, g_wChannelId);
    L4PutU32(resp.data() + 16, 4096);
    resp[21] = 8;
    SealMeta(&resp);
    Deliver(resp);
    if (NetClientOpenChannelResult(reqId, &g_wHandle, nullptr, nullptr) != ERR_OK) {
        abort();
    }
}

bool Init() {
    static const StaticComponent kList[] = {
        {"CmpMemPool", CmpMemPool__Entry, 1},
        {"CmpSettings", CmpSettings__Entry, 1},
        {"CmpLog", CmpLog__Entry, 1},
        {"CmpChecksum", CmpChecksum__Entry, 0},
        {"CmpRouter", RouterStandIn__Entry, 0},
        {"CmpChannelMgr", CmpChannelMgr__Entry, 0},
        {"CmpChannelClient", CmpChannelClient__Entry, 0},
        {nullptr, nullptr, 0},
    };
    if (CMInit2(nullptr, kList, CM_INIT_OPTION_NO_SETTINGS_REQUIRED) != ERR_OK) {
        abort();
    }
    RTS_VOID_FCTPTR pf = nullptr;
    if (CMGetAPI("ChannelMgrHandleData", &pf, SIG_ChannelMgrHandleData) != ERR_OK) {
        abort();
    }
    g_pfHandleData = reinterpret_cast<PFChannelMgrHandleData>(pf);
    NetClientSetOpenTiming(0, 3000);
    atexit([] { CMExit(); });
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_bInit = Init();
    (void)s_bInit;
    EnsureChannel();
    size_t pos = 0;
    for (int n = 0; n < 64 && pos + 2 <= size; ++n) {
        uint8_t op = data[pos];
        size_t len = data[pos + 1];
        pos += 2;
        if (len > size - pos) {
            len = size - pos;
        }
        std::vector<uint8_t> pkg(data + pos, data + pos + len);
        pos += len;
        if ((op & 4) != 0 && !pkg.empty() && (pkg[0] & 0x80) != 0) {
            SealMeta(&pkg);
        }
        // Most packages are meant for the open channel.
        if ((op & 8) != 0 && pkg.size() >= 4 && (pkg[0] & 0x80) == 0) {
            L4PutU16(pkg.data() + 2, g_wChannelId);
        }
        switch (op & 3) {
            case 0:
                Deliver(pkg);
                break;
            case 1:
                NetClientHandleMetaResponse(nullptr, Peer(),
                                            PROTOCOL_DATA_UNIT{pkg.empty() ? nullptr : pkg.data(),
                                                               static_cast<RTS_UI32>(pkg.size())});
                break;
            case 2: {
                RTS_UI16 h = g_wHandle;
                if (h != 0 && !pkg.empty()) {
                    RTS_UI16 st = 0;
                    RTS_UI8 sc = 0;
                    RTS_I32 a = 0, b = 0;
                    NetClientGetStatus(h, &st, &sc, &a, &b);
                    if (st == NETSTATUS_SENDMODE_IDLE) {
                        g_request = pkg;
                        NetClientSend(
                            h, PROTOCOL_DATA_UNIT{g_request.data(), static_cast<RTS_UI32>(g_request.size())});
                    }
                }
                break;
            }
            default:
                g_ulOffset += static_cast<RTS_UI32>(len) * 50u;
                SysTimeSetMsOffset(g_ulOffset);
                CMCallHook(CH_COMM_CYCLE, 0, 0, 0);
                break;
        }
        EnsureChannel();
    }
    return 0;
}
