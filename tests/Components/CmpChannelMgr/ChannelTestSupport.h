// Test double of the router for the channel layer: a component named
// "CmpRouter" exporting the functions the channel client and manager import,
// which records every package sent instead of routing it. With it the
// tests start the real channel components through the component manager,
// drive the communication cycle by hand and move the millisecond clock with
// SysTimeSetMsOffset, so no test waits for a time-out.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "CMItf.h"
#include "CmpChannelClientItf.h"
#include "CmpChannelMgrItf.h"
#include "CmpChecksumItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"
#include "SysTime.h"
#include "TestSupport.h"

namespace kltest {

struct SentPackage {
    std::vector<uint8_t> peer;  // receiver components as bytes
    std::vector<uint8_t> data;  // layer-4 package
};

class FakeRouter {
public:
    static FakeRouter& Get() {
        static FakeRouter s_router;
        return s_router;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sent.clear();
        m_result = ERR_OK;
    }
    std::vector<SentPackage> Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<SentPackage> out;
        out.swap(m_sent);
        return out;
    }
    void SetResult(RTS_RESULT r) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_result = r;
    }
    RTS_RESULT Send(PEERADDRESS addr, PROTOCOL_DATA_UNIT pdu) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_result != ERR_OK) {
            return m_result;
        }
        SentPackage p;
        const uint8_t* pa = reinterpret_cast<const uint8_t*>(addr.pAddress);
        p.peer.assign(pa, pa + 2 * addr.nLength);
        p.data.assign(pdu.pData, pdu.pData + pdu.ulCount);
        m_sent.push_back(p);
        return ERR_OK;
    }

private:
    std::mutex m_mutex;
    std::vector<SentPackage> m_sent;
    RTS_RESULT m_result = ERR_OK;
};

// The router's own address has three components, like a TCP node.
constexpr RTS_UI32 kOwnAddressLength = 3;

inline RTS_RESULT FakeRouterSend(RTS_HANDLE, PEERADDRESS addrReceiver, RTS_I32, RTS_UI8, ROUTERPRIORITY,
                                 PROTOCOL_DATA_UNIT pduData) {
    return FakeRouter::Get().Send(addrReceiver, pduData);
}
inline RTS_RESULT FakeRouterGetMaxMessageSizeByAddressLength(RTS_HANDLE, RTS_UI16 wSum, RTS_UI16* pw) {
    RTS_UI32 hdr = 6u + 2u * wSum;
    hdr = (hdr + 3u) & ~3u;
    *pw = hdr >= 512 ? 0 : static_cast<RTS_UI16>(512 - hdr);
    return hdr >= 512 ? 0x102 : ERR_OK;
}
inline RTS_RESULT FakeRouterGetMaxMessageSize(RTS_HANDLE h, PEERADDRESS addrPeer, RTS_UI16* pw) {
    return FakeRouterGetMaxMessageSizeByAddressLength(
        h, static_cast<RTS_UI16>(addrPeer.nLength + kOwnAddressLength), pw);
}
inline RTS_RESULT FakeRouterGetMaxAddressSize(RTS_HANDLE, PEERADDRESS addrPeer, RTS_UI8* pby) {
    *pby = static_cast<RTS_UI8>(addrPeer.nLength + kOwnAddressLength);
    return ERR_OK;
}
inline RTS_BOOL FakeRouterCompareAddresses(const PEERADDRESS* a, const PEERADDRESS* b) {
    return a != nullptr && b != nullptr && a->type == b->type && a->nLength == b->nLength &&
           (a->type == AT_ABSOLUTE || a->nAddrOffset == b->nAddrOffset) &&
           memcmp(a->pAddress, b->pAddress, 2 * a->nLength) == 0;
}

inline PF_REGISTER_API& FakeRouterRegister() {
    static PF_REGISTER_API s_pf = nullptr;
    return s_pf;
}

inline RTS_RESULT FakeRouterExport(void) {
    PF_REGISTER_API pf = FakeRouterRegister();
    pf("RouterSend", reinterpret_cast<RTS_VOID_FCTPTR>(&FakeRouterSend), 0, SIG_RouterSend);
    pf("RouterGetMaxMessageSize", reinterpret_cast<RTS_VOID_FCTPTR>(&FakeRouterGetMaxMessageSize), 0,
       SIG_RouterGetMaxMessageSize);
    pf("RouterGetMaxMessageSizeByAddressLength",
       reinterpret_cast<RTS_VOID_FCTPTR>(&FakeRouterGetMaxMessageSizeByAddressLength), 0,
       SIG_RouterGetMaxMessageSizeByAddressLength);
    pf("RouterGetMaxAddressSize", reinterpret_cast<RTS_VOID_FCTPTR>(&FakeRouterGetMaxAddressSize), 0,
       SIG_RouterGetMaxAddressSize);
    pf("RouterCompareAddresses", reinterpret_cast<RTS_VOID_FCTPTR>(&FakeRouterCompareAddresses), 0,
       SIG_RouterCompareAddresses);
    return ERR_OK;
}
inline RTS_RESULT FakeRouterImport(void) {
    return ERR_OK;
}
inline RTS_UI32 FakeRouterVersion(void) {
    return 1;
}
inline RTS_RESULT FakeRouterHook(RTS_UI32, RTS_UINTPTR, RTS_UINTPTR) {
    return ERR_OK;
}
inline RTS_RESULT FakeRouter__Entry(INIT_STRUCT* p) {
    p->CmpId = 33;
    p->pfExportFunctions = FakeRouterExport;
    p->pfImportFunctions = FakeRouterImport;
    p->pfGetVersion = FakeRouterVersion;
    p->pfHookFunction = FakeRouterHook;
    FakeRouterRegister() = p->pfCMRegisterAPI;
    return ERR_OK;
}

// The router's layer-4 entry, found the way the router finds it.
inline RTS_RESULT CallChannelMgrHandleData(PEERADDRESS sender, const std::vector<uint8_t>& pkg) {
    RTS_VOID_FCTPTR pf = nullptr;
    if (CMGetAPI("ChannelMgrHandleData", &pf, SIG_ChannelMgrHandleData) != ERR_OK) {
        ADD_FAILURE() << "ChannelMgrHandleData not exported";
        return ERR_FAILED;
    }
    PROTOCOL_DATA_UNIT pdu{const_cast<uint8_t*>(pkg.data()), static_cast<RTS_UI32>(pkg.size())};
    return reinterpret_cast<PFChannelMgrHandleData>(pf)(nullptr, nullptr, PID_LAYER4, 0, sender, sender, pdu,
                                                        0);
}

// ---- Package builders (little-endian layer 4) -------------------------------------------------

inline void Put16(std::vector<uint8_t>* p, uint16_t v) {
    p->push_back(static_cast<uint8_t>(v));
    p->push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p->push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}
inline uint32_t Get32(const std::vector<uint8_t>& v, size_t pos) {
    return L4GetU32(v.data() + pos);
}
inline uint16_t Get16(const std::vector<uint8_t>& v, size_t pos) {
    return L4GetU16(v.data() + pos);
}
inline uint32_t Crc32(const std::vector<uint8_t>& v) {
    return CRC32Finish(CRC32Update(CRC32_INIT, v.data(), v.size()));
}
// Fills the meta checksum of a package built with a zero checksum field.
inline std::vector<uint8_t> SealMeta(std::vector<uint8_t> pkg) {
    uint32_t crc = Crc32(pkg);
    for (int i = 0; i < 4; ++i) {
        pkg[4 + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    return pkg;
}
inline std::vector<uint8_t> OpenResponse(uint32_t dwRequestId, uint16_t wResult, uint16_t wChannelId,
                                         uint32_t dwBuffer, uint8_t byFlags = 0, uint8_t byMaxAddr = 8) {
    std::vector<uint8_t> p = {0x83, 0, 0x01, 0x01, 0, 0, 0, 0};
    Put32(&p, dwRequestId);
    Put16(&p, wResult);
    Put16(&p, wChannelId);
    Put32(&p, dwBuffer);
    p.push_back(byFlags);
    p.push_back(byMaxAddr);
    Put16(&p, 0);
    return SealMeta(p);
}
inline std::vector<uint8_t> CloseNotice(uint16_t wChannelId, uint16_t wError) {
    std::vector<uint8_t> p = {0x84, 0, 0x01, 0x01, 0, 0, 0, 0};
    Put16(&p, wChannelId);
    Put16(&p, wError);
    return SealMeta(p);
}
// A response block of the server (no client bit).
inline std::vector<uint8_t> DataBlock(uint16_t wChannelId, uint32_t dwBlock, uint32_t dwAck,
                                      const uint8_t* pData, size_t n, bool bFirst = false,
                                      uint32_t dwMsgLen = 0, uint32_t dwCrc = 0) {
    std::vector<uint8_t> p = {1, static_cast<uint8_t>(bFirst ? 1 : 0)};
    Put16(&p, wChannelId);
    Put32(&p, dwBlock);
    Put32(&p, dwAck);
    if (bFirst) {
        Put32(&p, dwMsgLen);
        Put32(&p, dwCrc);
    }
    p.insert(p.end(), pData, pData + n);
    return p;
}
inline std::vector<uint8_t> Ack(uint16_t wChannelId, uint32_t dwAck, uint8_t byFlags = 0) {
    std::vector<uint8_t> p = {2, byFlags};
    Put16(&p, wChannelId);
    Put32(&p, dwAck);
    return p;
}

// Application callbacks recorded.
struct AppRecorder {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> messages;
    std::vector<RTS_RESULT> errors;
    std::vector<RTS_UI16> handles;
    ICmpChannelClientApp itf{};

    AppRecorder() {
        itf.pBase = this;
        itf.IClientAppHandleMessage = [](RTS_HANDLE h, RTS_UI16 wHandle, PROTOCOL_DATA_UNIT msg) {
            AppRecorder* p = static_cast<AppRecorder*>(h);
            std::lock_guard<std::mutex> lock(p->mutex);
            p->messages.emplace_back(msg.pData, msg.pData + msg.ulCount);
            p->handles.push_back(wHandle);
        };
        itf.IClientAppOnChannelError = [](RTS_HANDLE h, RTS_UI16 wHandle, RTS_RESULT nError) {
            AppRecorder* p = static_cast<AppRecorder*>(h);
            std::lock_guard<std::mutex> lock(p->mutex);
            p->errors.push_back(nError);
            p->handles.push_back(wHandle);
        };
    }
    size_t NumMessages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }
    size_t NumErrors() {
        std::lock_guard<std::mutex> lock(mutex);
        return errors.size();
    }
};

}  // namespace kltest
