// The router's receive path on arbitrary blocks. A runtime with the router is
// started once: a TCP main net with address updates, two subnets and a
// parallel UDP instance, all fake drivers. Each input picks the interface it
// arrives on and whether the drivers are busy, hands the rest to
// RouterHandleData, and runs one communication cycle (queues, address
// service). Layer 4 and the name service read every byte they are given.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CMItf.h"
#include "CmpChecksumItf.h"
#include "CmpMemPoolItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"

namespace {

volatile uint8_t g_sink = 0;
RTS_RESULT g_driverResult = ERR_OK;

void Consume(const PEERADDRESS& a) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(a.pAddress);
    for (RTS_UI32 i = 0; i < 2 * a.nLength; ++i) {
        g_sink = static_cast<uint8_t>(g_sink + p[i]);
    }
}

RTS_RESULT Handler(RTS_HANDLE, RTS_HANDLE, RTS_UI8, RTS_UI8, PEERADDRESS addrSender, PEERADDRESS addrReceiver,
                   PROTOCOL_DATA_UNIT pduData, RTS_I32) {
    Consume(addrSender);
    Consume(addrReceiver);
    for (RTS_UI32 i = 0; i < pduData.ulCount; ++i) {
        g_sink = static_cast<uint8_t>(g_sink + pduData.pData[i]);
    }
    return ERR_OK;
}

PF_REGISTER_API s_pfRegister = nullptr;
RTS_RESULT HandlersExport() {
    s_pfRegister("ChannelMgrHandleData", reinterpret_cast<RTS_VOID_FCTPTR>(&Handler), 0,
                 SIG_ChannelMgrHandleData);
    s_pfRegister("NSClientHandleData", reinterpret_cast<RTS_VOID_FCTPTR>(&Handler), 0,
                 SIG_NSClientHandleData);
    return ERR_OK;
}
RTS_RESULT HandlersEntry(INIT_STRUCT* p) {
    p->CmpId = 0x7E61;
    p->pfExportFunctions = HandlersExport;
    s_pfRegister = p->pfCMRegisterAPI;
    return ERR_OK;
}

RTS_RESULT DriverSend(RTS_HANDLE, NETWORKADDRESS addr, PROTOCOL_DATA_UNIT pdu) {
    for (RTS_UI32 i = 0; i < pdu.ulCount; ++i) {
        g_sink = static_cast<uint8_t>(g_sink + pdu.pData[i]);
    }
    g_sink = static_cast<uint8_t>(g_sink + addr.nLength);
    return g_driverResult;
}

struct Runtime {
    std::string dir;
    std::string file;
    RTS_HANDLE ahItf[4] = {RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE};

    Runtime() {
        char templ[] = "/tmp/fuzz_router.XXXXXX";
        const char* p = mkdtemp(templ);
        if (p == nullptr) {
            abort();
        }
        dir = p;
        file = dir + "/Kestrolink.ini";
        FILE* f = fopen(file.c_str(), "w");
        if (f == nullptr) {
            abort();
        }
        fputs(
            "[CmpRouter]\n0.NumSubnets=2\n0.Subnet.0.Interface=com0\n0.Subnet.1.Interface=shm1\n"
            "0.MainNet.AddressUpdateInterval=1\n0.Subnet.0.AddressUpdateInterval=1\nSendQueueTimeout=1\n",
            f);
        fclose(f);
        static const StaticComponent list[] = {
            {"CmpMemPool", CmpMemPool__Entry, 1},   {"CmpSettings", CmpSettings__Entry, 1},
            {"CmpChecksum", CmpChecksum__Entry, 0}, {"CmpRouter", CmpRouter__Entry, 0},
            {"CmpFuzzHandlers", HandlersEntry, 0},  {nullptr, nullptr, 0}};
        if (CMInit2(file.c_str(), list, 0) != ERR_OK) {
            abort();
        }
        struct Itf {
            const char* pszName;
            RTS_UI16 usType;
            RTS_I32 nBits;
            RTS_UI32 nLen;
            uint8_t aby[6];
        } itfs[4] = {{"BlkDrvTcp", RTS_BLK_DRV_TYPE_TCP, 48, 6, {0, 0, 10, 0, 0, 5}},
                     {"com0", RTS_BLK_DRV_TYPE_COM, 8, 1, {0x01}},
                     {"shm1", RTS_BLK_DRV_TYPE_SHM, 16, 2, {0x00, 0x02}},
                     {"ether 0", RTS_BLK_DRV_TYPE_UDP, 18, 3, {0x00, 0x01, 0x02}}};
        for (int i = 0; i < 4; ++i) {
            NETWORKINTERFACEINFO2 info;
            memset(&info, 0, sizeof(info));
            info.pfBDSend = DriverSend;
            info.hInterface = reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>(i + 1));
            info.nMaxBlockSize = 512;
            info.nNetworkAddressBitSize = itfs[i].nBits;
            info.addrDevice.nLength = itfs[i].nLen;
            memcpy(info.addrDevice.address, itfs[i].aby, itfs[i].nLen);
            KlStrCopy(info.szName, sizeof(info.szName), itfs[i].pszName);
            info.usType = itfs[i].usType;
            if (RouterRegisterNetworkInterface2(&info, &ahItf[i]) != ERR_OK) {
                abort();
            }
        }
    }
    ~Runtime() {
        CMExit();
        unlink(file.c_str());
        rmdir(dir.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Runtime rt;
    if (size < 1) {
        return 0;
    }
    uint8_t bySel = data[0];
    g_driverResult = (bySel & 0x10) != 0 ? ERR_NOBUFFER : ERR_OK;
    NETWORKADDRESS from;
    memset(&from, 0, sizeof(from));
    from.nLength = (bySel >> 5) & 0x7;
    for (RTS_UI32 i = 0; i < from.nLength; ++i) {
        from.address[i] = static_cast<RTS_UI8>(0x20 + i);
    }
    // The router may not write into the driver's buffer: it gets a read-only copy's worth.
    uint8_t abyBlock[600];
    size_t n = size - 1 < sizeof(abyBlock) ? size - 1 : sizeof(abyBlock);
    memcpy(abyBlock, data + 1, n);
    PROTOCOL_DATA_UNIT pdu{abyBlock, static_cast<RTS_UI32>(n)};
    RouterHandleData(rt.ahItf[bySel & 3], from, pdu, 0);
    if (memcmp(abyBlock, data + 1, n) != 0) {
        abort();  // the receive path changed the driver's buffer
    }
    PEERADDRESS r;
    PEERADDRESS s;
    RTS_I32 nOffset = 0;
    if (RouterGetBlkAddresses(pdu, &r, &s, &nOffset) == ERR_OK) {
        if (nOffset < 6 || static_cast<RTS_UI32>(nOffset) > pdu.ulCount) {
            abort();
        }
        Consume(r);
        Consume(s);
    }
    CMCallHook(CH_COMM_CYCLE, 0, 0, 0);
    return 0;
}
