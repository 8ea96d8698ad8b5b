// The channel client component: pending open requests, the open and close
// meta packages, the channel list with handles and reference counts, and the
// application callbacks. The channel client's lock guards the request list,
// the channel list and every reference count; it is never held while calling
// the application, the router or the channel manager's transport.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "CMItf.h"
#include "CmpChannelClientItf.h"
#include "CmpLogItf.h"
#include "CmpRouterItf.h"
#include "SysSem.h"
#include "SysTask.h"
#include "SysTime.h"

namespace {

constexpr const char* kCmpName = "CmpChannelClient";

PF_REGISTER_API s_pfCMRegisterAPI = nullptr;
PF_GET_API s_pfCMGetAPI = nullptr;
PF_GET_API2 s_pfCMGetAPI2 = nullptr;

PFNetworkGetStatus pfNetworkGetStatus = nullptr;
PFNetworkGetChannelInfo pfNetworkGetChannelInfo = nullptr;
PFNetworkSendMessage pfNetworkSendMessage = nullptr;
PFNetworkSendMetaPkg pfNetworkSendMetaPkg = nullptr;
PFNetworkInitChannelBuffer2 pfNetworkInitChannelBuffer2 = nullptr;
PFNetworkGetChBufferSize pfNetworkGetChBufferSize = nullptr;
PFRouterGetMaxMessageSize pfRouterGetMaxMessageSize = nullptr;
PFRouterGetMaxMessageSizeByAddressLength pfRouterGetMaxMessageSizeByAddressLength = nullptr;
PFRouterGetMaxAddressSize pfRouterGetMaxAddressSize = nullptr;
PFRouterCompareAddresses pfRouterCompareAddresses = nullptr;
PFLogAdd pfLogAdd = nullptr;

RTS_HANDLE s_hLock = RTS_INVALID_HANDLE;
CHANNELBUFFERSTATUS* s_pChannels = nullptr;  // circular list, null when empty
PENDINGREQUEST* s_pRequests = nullptr;
RTS_UI32 s_dwNextRequestId = 0;
RTS_UI16 s_wNextHandle = 1;
std::atomic<RTS_UI32> s_ulOpenDelayMs{CHCLIENT_OPEN_DELAY_MS};
std::atomic<RTS_UI32> s_ulOpenRetryMs{CHCLIENT_OPEN_RETRY_MS};

class ClientLock {
public:
    ClientLock() {
        if (s_hLock != RTS_INVALID_HANDLE) {
            SysSemEnter(s_hLock);
        }
    }
    ~ClientLock() {
        if (s_hLock != RTS_INVALID_HANDLE) {
            SysSemLeave(s_hLock);
        }
    }
    ClientLock(const ClientLock&) = delete;
    ClientLock& operator=(const ClientLock&) = delete;
};

void ClientLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
void ClientLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...) {
    PFLogAdd pfLog = pfLogAdd;
    if (pfLog == nullptr) {
        return;
    }
    char szText[LOG_INFO_LEN];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    pfLog(nullptr, CMPID_CmpChannelClient, ulClass, iError, 0, "%s", szText);
}

#define CLIENT_FATAL(text)                                                                          \
    ClientLog(LOG_ERROR, ERR_FAILED, "<file>%s</file> (<line>%d</line>) FATAL ERROR: %s", kCmpName, \
              __LINE__, text)

bool Started() {
    return s_hLock != RTS_INVALID_HANDLE;
}

// ---- Channel list (under the lock) ---------------------------------------------------------------

void LinkChannel(CHANNELBUFFERSTATUS* p) {
    if (s_pChannels == nullptr) {
        p->pNext = p;
        p->pPrev = p;
        s_pChannels = p;
        return;
    }
    p->pNext = s_pChannels;
    p->pPrev = s_pChannels->pPrev;
    s_pChannels->pPrev->pNext = p;
    s_pChannels->pPrev = p;
}

void UnlinkChannel(CHANNELBUFFERSTATUS* p) {
    if (p->pNext == p) {
        s_pChannels = nullptr;
    } else {
        p->pPrev->pNext = p->pNext;
        p->pNext->pPrev = p->pPrev;
        if (s_pChannels == p) {
            s_pChannels = p->pNext;
        }
    }
    p->pNext = p->pPrev = nullptr;
}

template <typename F>
CHANNELBUFFERSTATUS* FindChannel(F pred) {
    CHANNELBUFFERSTATUS* p = s_pChannels;
    if (p == nullptr) {
        return nullptr;
    }
    do {
        if (pred(p)) {
            return p;
        }
        p = p->pNext;
    } while (p != s_pChannels);
    return nullptr;
}

CHANNELBUFFERSTATUS* ByHandle(RTS_UI16 wHandle) {
    return FindChannel([wHandle](CHANNELBUFFERSTATUS* p) { return p->wChannelHandle == wHandle; });
}

CHANNELBUFFERSTATUS* ByBuffer(const CHANNELBUFFER* pCh) {
    return FindChannel([pCh](CHANNELBUFFERSTATUS* p) { return p->pChBuffer == pCh; });
}

// The channel's peer address, read from a copy of its record: the record's
// flags change under the channel manager's lock while the client reads.
PEERADDRESS PeerOf(CHANNELBUFFER* pCh, CHANNELBUFFER* pCopy) {
    if (pfNetworkGetChannelInfo == nullptr || pfNetworkGetChannelInfo(pCh, pCopy) != ERR_OK) {
        memset(pCopy, 0, sizeof(*pCopy));
    }
    return ChPeerAddress(pCopy);
}

void FreeChannel(CHANNELBUFFERSTATUS* p) {
    std::free(p->pChBuffer);
    delete p;
}

// Drops one reference; the entry is unlinked when it was the last and is
// returned for freeing outside the lock.
CHANNELBUFFERSTATUS* DropReference(CHANNELBUFFERSTATUS* p) {
    if (p->wReferences == 0) {
        CLIENT_FATAL("Channel references already 0");
        return nullptr;
    }
    p->wReferences--;
    if (p->wReferences == 0) {
        UnlinkChannel(p);
        return p;
    }
    return nullptr;
}

PENDINGREQUEST* FindRequest(RTS_UI32 dwMasterId) {
    for (PENDINGREQUEST* p = s_pRequests; p != nullptr; p = p->pNext) {
        if (p->dwMasterRequestId == dwMasterId) {
            return p;
        }
    }
    return nullptr;
}

bool RemoveRequest(PENDINGREQUEST* pReq) {
    for (PENDINGREQUEST** pp = &s_pRequests; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == pReq) {
            *pp = pReq->pNext;
            return true;
        }
    }
    CLIENT_FATAL("Request not in list");
    return false;
}

PEERADDRESS RequestAddress(PENDINGREQUEST* pReq) {
    PEERADDRESS a;
    a.type = pReq->addressType;
    a.nAddrOffset = static_cast<RTS_I16>(pReq->wAddrOffset);
    a.nLength = pReq->wAddrLength;
    a.pAddress = pReq->addrReceiver;
    return a;
}

// ---- Meta packages ----------------------------------------------------------------------------------

void PutMetaHeader(RTS_UI8* p, RTS_UI8 byType) {
    p[0] = byType;
    p[1] = 0;
    L4PutU16(p + 2, L4_META_VERSION);
    L4PutU32(p + 4, 0);
}

RTS_RESULT SendClose(RTS_HANDLE hRouter, PEERADDRESS addr, RTS_UI16 wChannelId, RTS_RESULT nError) {
    if (pfNetworkSendMetaPkg == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    RTS_UI8 ab[L4_CLOSECHANNEL_SIZE];
    PutMetaHeader(ab, L4_META_CLOSECHANNEL_REQ);
    L4PutU16(ab + 8, wChannelId);
    L4PutU16(ab + 10, static_cast<RTS_UI16>(nError));
    PROTOCOL_DATA_UNIT pdu{ab, sizeof(ab)};
    return pfNetworkSendMetaPkg(hRouter, addr, pdu);
}

// Own address length + peer length + 2 (2 when the router cannot tell).
RTS_UI8 OwnMaxAddressSize(RTS_HANDLE hRouter, PEERADDRESS addr) {
    RTS_UI8 by = 0;
    if (pfRouterGetMaxAddressSize == nullptr || pfRouterGetMaxAddressSize(hRouter, addr, &by) != ERR_OK) {
        return 2;
    }
    return static_cast<RTS_UI8>(by + 2);
}

// A copy of what one open request needs on the wire, taken under the lock.
struct OpenRequestData {
    RTS_UI32 dwRequestId;
    RTS_UI32 dwCommBufferSize;
    ADDRESSCOMPONENT addr[MAX_NODE_ADDR_LEN];
    PEERADDRESS peer;
};

void CopyRequest(PENDINGREQUEST* pReq, OpenRequestData* pData) {
    pData->dwRequestId = pReq->dwMessageRequestId;
    pData->dwCommBufferSize = pReq->dwCommBufferSize;
    memcpy(pData->addr, pReq->addrReceiver, sizeof(pData->addr));
    pData->peer = RequestAddress(pReq);
    pData->peer.pAddress = pData->addr;
}

RTS_RESULT SendOpenRequest(const OpenRequestData& data) {
    if (pfNetworkSendMetaPkg == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    RTS_UI8 ab[L4_OPENCHANNEL_REQ_SIZE];
    PutMetaHeader(ab, L4_META_OPENCHANNEL_REQ);
    L4PutU32(ab + 8, data.dwRequestId);
    L4PutU32(ab + 12, data.dwCommBufferSize);
    ab[16] = OwnMaxAddressSize(nullptr, data.peer);
    ab[17] = 0;
    L4PutU16(ab + 18, 0);
    PROTOCOL_DATA_UNIT pdu{ab, sizeof(ab)};
    return pfNetworkSendMetaPkg(nullptr, data.peer, pdu);
}

RTS_UI16 NextFreeHandle() {
    for (RTS_UI32 i = 0; i < 0xFFFFu; ++i) {
        RTS_UI16 w = s_wNextHandle;
        s_wNextHandle = static_cast<RTS_UI16>(w == 0xFFFFu ? 1 : w + 1);
        if (w != 0 && ByHandle(w) == nullptr) {
            return w;
        }
    }
    return 0;
}

// Creates the channel for an accepted open response. Returns the result for
// the pending request; on failure *pbClose says whether the peer's channel
// must be closed.
RTS_RESULT CreateChannel(PENDINGREQUEST* pReq, RTS_HANDLE hRouter, PEERADDRESS addrSender,
                         RTS_UI16 wChannelId, RTS_UI32 dwGranted, RTS_UI8 byPeerMaxAddressSize) {
    // An address size beyond any real address would shrink the block below
    // its own header.
    if (byPeerMaxAddressSize > L4_MAX_ADDRESS_SIZE) {
        return ERR_FAILED;
    }
    RTS_UI16 wBlockSize = 0;
    RTS_RESULT r = ERR_FAILED;
    if (byPeerMaxAddressSize > OwnMaxAddressSize(hRouter, addrSender)) {
        if (pfRouterGetMaxMessageSizeByAddressLength != nullptr) {
            r = pfRouterGetMaxMessageSizeByAddressLength(hRouter, byPeerMaxAddressSize, &wBlockSize);
        }
    } else if (pfRouterGetMaxMessageSize != nullptr) {
        r = pfRouterGetMaxMessageSize(hRouter, addrSender, &wBlockSize);
    }
    if (r != ERR_OK || wBlockSize <= L4_DATAFIRST_HEADER_SIZE || pfNetworkGetChBufferSize == nullptr ||
        pfNetworkInitChannelBuffer2 == nullptr) {
        return ERR_FAILED;
    }
    RTS_UI32 dwSize = pfNetworkGetChBufferSize(dwGranted, wBlockSize);
    if (dwSize == 0) {
        return ERR_FAILED;
    }
    CHANNELBUFFER* pCh = static_cast<CHANNELBUFFER*>(std::malloc(dwSize));
    CHANNELBUFFERSTATUS* pEntry = new (std::nothrow) CHANNELBUFFERSTATUS();
    if (pCh == nullptr || pEntry == nullptr) {
        std::free(pCh);
        delete pEntry;
        return ERR_L4_NOMEMORY;
    }
    RTS_UI32 dwGot =
        pfNetworkInitChannelBuffer2(pCh, dwSize, hRouter, addrSender, wChannelId, dwGranted, 0, wBlockSize);
    if (dwGot < dwGranted) {
        std::free(pCh);
        delete pEntry;
        return ERR_FAILED;
    }
    ClientLock lock;
    RTS_UI16 wHandle = NextFreeHandle();
    if (wHandle == 0) {
        std::free(pCh);
        delete pEntry;
        return ERR_FAILED;
    }
    pEntry->dwRequestId = pReq->dwMasterRequestId;
    pEntry->wChannelHandle = wHandle;
    pEntry->wReferences = 1;
    pEntry->bAppReference = 1;
    pEntry->pChBuffer = pCh;
    LinkChannel(pEntry);
    pReq->wChannelHandle = wHandle;
    return ERR_OK;
}

RTS_RESULT HandleOpenResponse(RTS_HANDLE hRouter, PEERADDRESS addrSender, const RTS_UI8* p, RTS_UI32 n) {
    L4Reader rd(p, n);
    RTS_UI16 wVersion = 0;
    rd.Skip(2);
    rd.U16(&wVersion);
    if (n < L4_OPENCHANNEL_RESP_SIZE &&
        !(n >= L4_OPENCHANNEL_RESP_OLD_SIZE && wVersion == L4_META_VERSION_OLD)) {
        return ERR_L4_INVALID_META;
    }
    RTS_UI32 dwRequestId = 0;
    RTS_UI16 wResult = 0;
    RTS_UI16 wChannelId = 0;
    RTS_UI32 dwGranted = 0;
    RTS_UI8 byFlags = 0;
    RTS_UI8 byMaxAddressSize = 0;
    rd.Skip(4);
    rd.U32(&dwRequestId);
    rd.U16(&wResult);
    rd.U16(&wChannelId);
    rd.U32(&dwGranted);
    if (n >= L4_OPENCHANNEL_RESP_SIZE) {
        rd.U8(&byFlags);
        rd.U8(&byMaxAddressSize);
    }
    if (!rd.Ok()) {
        return ERR_L4_INVALID_META;
    }

    PENDINGREQUEST* pReq = nullptr;
    RTS_UI32 dwRequested = 0;
    bool bDuplicateChannel = false;
    OpenRequestData again{};
    {
        ClientLock lock;
        for (PENDINGREQUEST* q = s_pRequests; q != nullptr; q = q->pNext) {
            PEERADDRESS a = RequestAddress(q);
            if (q->nResult == ERR_PENDING && q->dwMessageRequestId == dwRequestId &&
                pfRouterCompareAddresses != nullptr && pfRouterCompareAddresses(&a, &addrSender)) {
                pReq = q;
                break;
            }
        }
        if (pReq == nullptr) {
            return ERR_OK;
        }
        dwRequested = pReq->dwCommBufferSize;
        if (wResult != L4_OPEN_ACCEPTED) {
            pReq->nResult = wResult == L4_OPEN_NO_CHANNEL  ? ERR_L4_NO_CHANNEL
                            : wResult == L4_OPEN_NO_MEMORY ? ERR_L4_NO_SERVER_MEMORY
                                                           : ERR_FAILED;
            return ERR_OK;
        }
        bDuplicateChannel =
            FindChannel([&](CHANNELBUFFERSTATUS* c) {
                CHANNELBUFFER copy;
                PEERADDRESS peer = PeerOf(c->pChBuffer, &copy);
                return c->pChBuffer->wChannelId == wChannelId && pfRouterCompareAddresses(&peer, &addrSender);
            }) != nullptr;
        if (bDuplicateChannel) {
            // The peer gave out an id we still hold: it has forgotten that
            // channel. Close it there and ask again under a new id.
            pReq->dwMessageRequestId = s_dwNextRequestId++;
            pReq->dwTimeStamp = SysTimeGetMs();
            CopyRequest(pReq, &again);
        } else if (dwGranted > dwRequested) {
            pReq->nResult = ERR_L4_BUFFER_MISMATCH;
        } else {
            // Marked so that a repeated response finds no pending request
            // while the channel is being created outside the lock.
            pReq->nResult = ERR_NUMPENDING;
        }
    }
    if (bDuplicateChannel) {
        SendClose(hRouter, addrSender, wChannelId, ERR_FAILED);
        SendOpenRequest(again);
        return ERR_OK;
    }
    if (dwGranted > dwRequested) {
        ClientLog(LOG_ERROR, ERR_L4_BUFFER_MISMATCH,
                  "Response to open channel request: Reserved commbuffer is greater then requested "
                  "(<request>%d</request>, <assigned>%d</assigned>)",
                  static_cast<int>(dwRequested), static_cast<int>(dwGranted));
        SendClose(hRouter, addrSender, wChannelId, ERR_L4_BUFFER_MISMATCH);
        return ERR_OK;
    }
    RTS_RESULT r = CreateChannel(pReq, hRouter, addrSender, wChannelId, dwGranted, byMaxAddressSize);
    {
        ClientLock lock;
        pReq->nResult = r;
        if (r == ERR_OK) {
            pReq->dwCommBufferSize = dwGranted;
            pReq->bBigEndian = (byFlags & L4_OPENFLAG_BIGENDIAN) != 0 ? 1 : 0;
        }
    }
    if (r != ERR_OK) {
        SendClose(hRouter, addrSender, wChannelId, r);
    }
    return ERR_OK;
}

RTS_RESULT HandleCloseNotice(PEERADDRESS addrSender, const RTS_UI8* p, RTS_UI32 n) {
    if (n < L4_CLOSECHANNEL_SIZE) {
        return ERR_L4_INVALID_META;
    }
    CHANNELBUFFER* pCh = nullptr;
    if (NetClientGetChannel(&addrSender, L4GetU16(p + 8), &pCh) != ERR_OK) {
        return ERR_OK;
    }
    NetClientChannelError(pCh, L4GetU16(p + 10));
    NetClientReleaseChannel(pCh);
    return ERR_OK;
}

// ---- Component shape -----------------------------------------------------------------------------------

RTS_RESULT ExportFunctions(void) {
    if (s_pfCMRegisterAPI == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    KL_EXPORT(s_pfCMRegisterAPI, NetClientUnregisterAppInterface);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientRegisterAppInterface);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientChannelError);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientMessageReceived);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientForEachChannel);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientHandleMetaResponse);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientReleaseChannel);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientGetChannel);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientGetStatus);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientSend);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientCloseChannel);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientOpenChannelResult);
    KL_EXPORT(s_pfCMRegisterAPI, NetClientOpenChannel);
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    KL_IMPORT(s_pfCMGetAPI, NetworkGetStatus);
    KL_IMPORT(s_pfCMGetAPI, NetworkGetChannelInfo);
    KL_IMPORT(s_pfCMGetAPI, NetworkSendMessage);
    KL_IMPORT(s_pfCMGetAPI, NetworkSendMetaPkg);
    KL_IMPORT(s_pfCMGetAPI, NetworkInitChannelBuffer2);
    KL_IMPORT(s_pfCMGetAPI, NetworkGetChBufferSize);
    KL_IMPORT(s_pfCMGetAPI, RouterGetMaxMessageSize);
    KL_IMPORT(s_pfCMGetAPI, RouterGetMaxMessageSizeByAddressLength);
    KL_IMPORT(s_pfCMGetAPI, RouterGetMaxAddressSize);
    KL_IMPORT(s_pfCMGetAPI, RouterCompareAddresses);
    RTS_VOID_FCTPTR pf = nullptr;
    if (s_pfCMGetAPI2 != nullptr &&
        s_pfCMGetAPI2("LogAdd", &pf, CM_IMPORT_OPTION_SILENT, SIG_LogAdd, 0) == ERR_OK) {
        pfLogAdd = reinterpret_cast<PFLogAdd>(pf);
    }
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

// Shut-down: every open channel gets its close package and loses the
// application's reference, every request is forgotten. Channels still held
// by a running call stay until their last release; bForce frees them too
// (when nothing can run any more).
void CloseAll(bool bForce) {
    std::vector<CHANNELBUFFERSTATUS*> toClose;
    std::vector<CHANNELBUFFERSTATUS*> toFree;
    PENDINGREQUEST* pRequests = nullptr;
    {
        ClientLock lock;
        FindChannel([&](CHANNELBUFFERSTATUS* c) {
            if (!c->bClosing) {
                c->bClosing = 1;
                toClose.push_back(c);
            }
            return false;
        });
        for (CHANNELBUFFERSTATUS* c : toClose) {
            c->wReferences++;  // kept for the close package
        }
        pRequests = s_pRequests;
        s_pRequests = nullptr;
    }
    for (CHANNELBUFFERSTATUS* c : toClose) {
        CHANNELBUFFER copy;
        SendClose(c->pChBuffer->hRouter, PeerOf(c->pChBuffer, &copy), c->pChBuffer->wChannelId, ERR_OK);
    }
    {
        ClientLock lock;
        for (CHANNELBUFFERSTATUS* c : toClose) {
            if (c->bAppReference) {
                c->bAppReference = 0;
                if (CHANNELBUFFERSTATUS* p = DropReference(c)) {
                    toFree.push_back(p);
                }
            }
            if (CHANNELBUFFERSTATUS* p = DropReference(c)) {
                toFree.push_back(p);
            }
        }
        while (bForce && s_pChannels != nullptr) {
            CHANNELBUFFERSTATUS* p = s_pChannels;
            UnlinkChannel(p);
            toFree.push_back(p);
        }
    }
    for (CHANNELBUFFERSTATUS* p : toFree) {
        FreeChannel(p);
    }
    while (pRequests != nullptr) {
        PENDINGREQUEST* pNext = pRequests->pNext;
        delete pRequests;
        pRequests = pNext;
    }
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    switch (ulHook) {
        case CH_INIT2:
            if (s_hLock == RTS_INVALID_HANDLE) {
                RTS_RESULT r = ERR_OK;
                RTS_HANDLE h = SysSemCreate(&r);
                if (h == RTS_INVALID_HANDLE) {
                    return r;
                }
                s_dwNextRequestId = static_cast<RTS_UI32>(SysTimeGetUs()) ^ SysTimeGetMs();
                s_wNextHandle = 1;
                s_hLock = h;
            }
            break;
        case CH_EXIT3:
            if (Started()) {
                CloseAll(false);
            }
            break;
        case CH_EXIT2:
            if (s_hLock != RTS_INVALID_HANDLE) {
                CloseAll(true);
                SysSemDelete(s_hLock);
                s_hLock = RTS_INVALID_HANDLE;
            }
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

// ---- Test seams ------------------------------------------------------------------------------------------

void NetClientSetOpenTiming(RTS_UI32 ulDelayMs, RTS_UI32 ulRetryMs) {
    s_ulOpenDelayMs = ulDelayMs;
    s_ulOpenRetryMs = ulRetryMs;
}

RTS_I32 NetClientGetNumChannels(void) {
    ClientLock lock;
    RTS_I32 n = 0;
    FindChannel([&n](CHANNELBUFFERSTATUS*) {
        ++n;
        return false;
    });
    return n;
}

RTS_I32 NetClientGetNumPendingRequests(void) {
    ClientLock lock;
    RTS_I32 n = 0;
    for (PENDINGREQUEST* p = s_pRequests; p != nullptr; p = p->pNext) {
        ++n;
    }
    return n;
}

// ---- Exported operations ------------------------------------------------------------------------------

RTS_RESULT NetClientOpenChannel(PEERADDRESS addrReceiver, RTS_UI32 dwCommBufferSize, RTS_UI32* pdwReqId) {
    if (!Started()) {
        return ERR_NOTINITIALIZED;
    }
    if (pdwReqId == nullptr || addrReceiver.nLength == 0 || addrReceiver.nLength > MAX_NODE_ADDR_LEN ||
        addrReceiver.pAddress == nullptr) {
        return ERR_PARAMETER;
    }
    PENDINGREQUEST* pReq = new (std::nothrow) PENDINGREQUEST();
    if (pReq == nullptr) {
        return ERR_NOBUFFER;
    }
    pReq->addressType = addrReceiver.type;
    pReq->wAddrOffset = static_cast<RTS_UI16>(addrReceiver.nAddrOffset);
    pReq->wAddrLength = static_cast<RTS_UI16>(addrReceiver.nLength);
    memcpy(pReq->addrReceiver, addrReceiver.pAddress, addrReceiver.nLength * sizeof(ADDRESSCOMPONENT));
    pReq->nRetryCounter = 0;
    pReq->nResult = ERR_PENDING;
    pReq->byType = L4_META_OPENCHANNEL_REQ;
    pReq->dwCommBufferSize = dwCommBufferSize;
    OpenRequestData data{};
    RTS_UI32 dwId = 0;
    {
        ClientLock lock;
        dwId = s_dwNextRequestId++;
        pReq->dwMasterRequestId = dwId;
        pReq->dwMessageRequestId = dwId;
        pReq->dwTimeStamp = SysTimeGetMs();
        pReq->pNext = s_pRequests;
        s_pRequests = pReq;
        CopyRequest(pReq, &data);
    }
    // The pause gives a block driver that connects on demand time to do so.
    RTS_UI32 ulDelay = s_ulOpenDelayMs.load();
    if (ulDelay > 0) {
        SysTaskWaitSleep(nullptr, ulDelay);
    }
    {
        ClientLock lock;
        PENDINGREQUEST* p = FindRequest(dwId);
        if (p != nullptr) {
            p->dwTimeStamp = SysTimeGetMs();
        }
    }
    SendOpenRequest(data);
    *pdwReqId = dwId;
    return ERR_PENDING;
}

RTS_RESULT NetClientOpenChannelResult(RTS_UI32 dwRequestId, RTS_UI16* pwChannelHandle,
                                      RTS_UI32* pdwCommBufferSize, RTS_BOOL* pbBigEndianByteOrder) {
    if (!Started()) {
        return ERR_NOTINITIALIZED;
    }
    PENDINGREQUEST* pDone = nullptr;
    OpenRequestData again{};
    bool bResend = false;
    {
        ClientLock lock;
        PENDINGREQUEST* pReq = FindRequest(dwRequestId);
        if (pReq == nullptr) {
            return ERR_PARAMETER;
        }
        if (pReq->nResult == ERR_NUMPENDING) {
            return ERR_PENDING;  // the channel is being created right now
        }
        if (pReq->nResult == ERR_PENDING) {
            if (SysTimeGetMs() - pReq->dwTimeStamp < s_ulOpenRetryMs.load()) {
                return ERR_PENDING;
            }
            if (pReq->nRetryCounter < CHCLIENT_OPEN_TRIES - 1) {
                pReq->nRetryCounter++;
                pReq->dwTimeStamp = SysTimeGetMs();
                CopyRequest(pReq, &again);
                bResend = true;
            } else {
                pReq->nResult = ERR_L4_TIMEOUT;
            }
        }
        if (!bResend) {
            RemoveRequest(pReq);
            pDone = pReq;
        }
    }
    if (bResend) {
        SendOpenRequest(again);
        return ERR_PENDING;
    }
    RTS_RESULT r = pDone->nResult;
    if (r == ERR_OK) {
        if (pwChannelHandle != nullptr) {
            *pwChannelHandle = pDone->wChannelHandle;
        }
        if (pdwCommBufferSize != nullptr) {
            *pdwCommBufferSize = pDone->dwCommBufferSize;
        }
        if (pbBigEndianByteOrder != nullptr) {
            *pbBigEndianByteOrder = pDone->bBigEndian;
        }
    }
    delete pDone;
    return r;
}

RTS_RESULT NetClientHandleMetaResponse(RTS_HANDLE hRouter, PEERADDRESS addrSender,
                                       PROTOCOL_DATA_UNIT pduData) {
    const RTS_UI8* p = pduData.pData;
    const RTS_UI32 n = p != nullptr ? pduData.ulCount : 0;
    if (n < L4_META_HEADER_SIZE) {
        return ERR_L4_INVALID_META;
    }
    if (!Started()) {
        return ERR_NOTINITIALIZED;
    }
    if (addrSender.nLength > MAX_NODE_ADDR_LEN ||
        (addrSender.nLength > 0 && addrSender.pAddress == nullptr)) {
        return ERR_PARAMETER;
    }
    switch (p[0]) {
        case L4_META_OPENCHANNEL_RESP:
            return HandleOpenResponse(hRouter, addrSender, p, n);
        case L4_META_CLOSECHANNEL:
            return HandleCloseNotice(addrSender, p, n);
        default:
            return ERR_OK;
    }
}

RTS_RESULT NetClientGetChannel(const PEERADDRESS* pAddrPeer, RTS_UI16 wChannelId,
                               CHANNELBUFFER** ppChBuffer) {
    if (pAddrPeer == nullptr || ppChBuffer == nullptr) {
        return ERR_PARAMETER;
    }
    *ppChBuffer = nullptr;
    ClientLock lock;
    CHANNELBUFFERSTATUS* p = FindChannel([&](CHANNELBUFFERSTATUS* c) {
        if (c->bClosing || c->pChBuffer->wChannelId != wChannelId || pfRouterCompareAddresses == nullptr) {
            return false;
        }
        CHANNELBUFFER copy;
        PEERADDRESS peer = PeerOf(c->pChBuffer, &copy);
        return pfRouterCompareAddresses(&peer, pAddrPeer) != 0;
    });
    if (p == nullptr) {
        return ERR_FAILED;
    }
    p->wReferences++;
    *ppChBuffer = p->pChBuffer;
    return ERR_OK;
}

RTS_RESULT NetClientReleaseChannel(CHANNELBUFFER* pChBuffer) {
    CHANNELBUFFERSTATUS* pFree = nullptr;
    {
        ClientLock lock;
        CHANNELBUFFERSTATUS* p = ByBuffer(pChBuffer);
        if (p == nullptr) {
            CLIENT_FATAL("Channel to release does not exist");
            return ERR_FAILED;
        }
        if (p->wReferences == 0) {
            CLIENT_FATAL("Channel references already 0");
            return ERR_FAILED;
        }
        pFree = DropReference(p);
    }
    if (pFree != nullptr) {
        FreeChannel(pFree);
    }
    return ERR_OK;
}

RTS_RESULT NetClientForEachChannel(PFNETCLIENTCHANNELCALLBACK pfCallback, void* pParam) {
    if (pfCallback == nullptr) {
        return ERR_PARAMETER;
    }
    std::vector<CHANNELBUFFER*> channels;
    {
        ClientLock lock;
        FindChannel([&channels](CHANNELBUFFERSTATUS* c) {
            if (!c->bClosing) {
                c->wReferences++;
                channels.push_back(c->pChBuffer);
            }
            return false;
        });
    }
    for (CHANNELBUFFER* pCh : channels) {
        pfCallback(pCh, pParam);
        NetClientReleaseChannel(pCh);
    }
    return ERR_OK;
}

RTS_RESULT NetClientMessageReceived(CHANNELBUFFER* pChBuffer, PROTOCOL_DATA_UNIT message) {
    ICmpChannelClientApp* pApp = nullptr;
    RTS_UI16 wHandle = 0;
    {
        ClientLock lock;
        CHANNELBUFFERSTATUS* p = ByBuffer(pChBuffer);
        if (p == nullptr) {
            CLIENT_FATAL("Channel not in list");
            return ERR_FAILED;
        }
        p->wReferences++;
        pApp = p->pICmpChannelClientApp;
        wHandle = p->wChannelHandle;
    }
    if (pApp != nullptr && pApp->IClientAppHandleMessage != nullptr) {
        pApp->IClientAppHandleMessage(pApp->pBase, wHandle, message);
    }
    NetClientReleaseChannel(pChBuffer);
    return ERR_OK;
}

RTS_RESULT NetClientChannelError(CHANNELBUFFER* pChBuffer, RTS_RESULT nError) {
    ICmpChannelClientApp* pApp = nullptr;
    RTS_UI16 wHandle = 0;
    bool bDropApp = false;
    {
        ClientLock lock;
        CHANNELBUFFERSTATUS* p = ByBuffer(pChBuffer);
        if (p == nullptr) {
            CLIENT_FATAL("Channel not in list");
            return ERR_FAILED;
        }
        if (p->bClosing) {
            return ERR_OK;
        }
        p->bClosing = 1;
        p->wReferences++;
        pApp = p->pICmpChannelClientApp;
        wHandle = p->wChannelHandle;
        if (p->bAppReference) {
            p->bAppReference = 0;
            bDropApp = true;
        }
    }
    CHANNELBUFFER copy;
    SendClose(pChBuffer->hRouter, PeerOf(pChBuffer, &copy), pChBuffer->wChannelId, nError);
    if (pApp != nullptr && pApp->IClientAppOnChannelError != nullptr) {
        pApp->IClientAppOnChannelError(pApp->pBase, wHandle, nError);
    }
    if (bDropApp) {
        NetClientReleaseChannel(pChBuffer);
    }
    NetClientReleaseChannel(pChBuffer);
    return ERR_OK;
}

RTS_RESULT NetClientRegisterAppInterface(RTS_UI16 wChannelHandle, ICmpChannelClientApp* pApp) {
    if (pApp == nullptr) {
        return ERR_PARAMETER;
    }
    ClientLock lock;
    CHANNELBUFFERSTATUS* p = ByHandle(wChannelHandle);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    p->pICmpChannelClientApp = pApp;
    return ERR_OK;
}

RTS_RESULT NetClientUnregisterAppInterface(RTS_UI16 wChannelHandle, ICmpChannelClientApp* pApp) {
    if (pApp == nullptr) {
        return ERR_PARAMETER;
    }
    ClientLock lock;
    CHANNELBUFFERSTATUS* p = ByHandle(wChannelHandle);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    if (p->pICmpChannelClientApp == pApp) {
        p->pICmpChannelClientApp = nullptr;
    }
    return ERR_OK;
}

RTS_RESULT NetClientSend(RTS_UI16 wChannelHandle, PROTOCOL_DATA_UNIT message) {
    if (pfNetworkSendMessage == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    CHANNELBUFFER* pCh = nullptr;
    {
        ClientLock lock;
        CHANNELBUFFERSTATUS* p = ByHandle(wChannelHandle);
        if (p == nullptr || p->bClosing) {
            return ERR_FAILED;
        }
        p->wReferences++;
        pCh = p->pChBuffer;
    }
    RTS_RESULT r = pfNetworkSendMessage(pCh, message);
    NetClientReleaseChannel(pCh);
    return r;
}

RTS_RESULT NetClientGetStatus(RTS_UI16 wChannelHandle, RTS_UI16* pusStatus, RTS_UI8* pbyScalingFactor,
                              RTS_I32* pnItemsComplete, RTS_I32* pnTotalItems) {
    if (pfNetworkGetStatus == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    CHANNELBUFFER* pCh = nullptr;
    {
        ClientLock lock;
        CHANNELBUFFERSTATUS* p = ByHandle(wChannelHandle);
        if (p == nullptr || p->bClosing) {
            return ERR_FAILED;
        }
        p->wReferences++;
        pCh = p->pChBuffer;
    }
    RTS_RESULT r = pfNetworkGetStatus(pCh, pusStatus, pbyScalingFactor, pnItemsComplete, pnTotalItems);
    NetClientReleaseChannel(pCh);
    return r;
}

RTS_RESULT NetClientCloseChannel(RTS_UI16 wChannelHandle) {
    CHANNELBUFFER* pCh = nullptr;
    bool bSendClose = false;
    {
        ClientLock lock;
        CHANNELBUFFERSTATUS* p = ByHandle(wChannelHandle);
        if (p == nullptr || !p->bAppReference) {
            return ERR_FAILED;
        }
        bSendClose = !p->bClosing;
        p->bClosing = 1;
        p->bAppReference = 0;
        pCh = p->pChBuffer;
        // The application's reference now keeps the entry alive until the
        // close package is out.
    }
    if (bSendClose) {
        CHANNELBUFFER copy;
        SendClose(pCh->hRouter, PeerOf(pCh, &copy), pCh->wChannelId, ERR_OK);
    }
    NetClientReleaseChannel(pCh);
    return ERR_OK;
}

RTS_RESULT CmpChannelClient__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpChannelClient;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    return ERR_OK;
}
