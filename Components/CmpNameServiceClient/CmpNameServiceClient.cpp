// The name-service client component: its shape (entry, exports, imports,
// hooks), the request table with its expiry, the requests and the entry the
// router hands identifications to. Package formats are in NSPackages.cpp.
//
// Every request has one row in the table from the moment it is issued until
// its completing answer, its time-out, a cancellation or the runtime's exit.
// Callbacks run outside the table's lock; while one runs, its caller handle is
// listed as "in flight", so that NSCancelRequest can wait for it to return
// before the caller frees whatever the callback uses.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "CMItf.h"
#include "CmpNameServiceClientPrivate.h"
#include "NSPackages.h"
#include "SysSem.h"
#include "SysTask.h"
#include "SysTime.h"

namespace klns {
PFRouterGetInstanceByName pfRouterGetInstanceByName = nullptr;
PFRouterSend2 pfRouterSend2 = nullptr;
PFRouterGetMaxMessageSizeByAddressLength pfRouterGetMaxMessageSizeByAddressLength = nullptr;
PFRouterCalculateNodeAddr pfRouterCalculateNodeAddr = nullptr;
PFRouterGetHostAddress pfRouterGetHostAddress = nullptr;
PFRouterGetBlkDrvType pfRouterGetBlkDrvType = nullptr;
PFSettgGetIntValue pfSettgGetIntValue = nullptr;
PFLogAdd pfLogAdd = nullptr;
}  // namespace klns

using namespace klns;

namespace {

constexpr const char* kCmpName = "CmpNameServiceClient";
// A name longer than this cannot fit one package whatever the network.
constexpr RTS_UI32 kMaxNameChars = ROUTER_MAX_BLOCK_SIZE / 2;
// The sum of both address lengths a query by name must leave room for.
constexpr RTS_UI16 kNameQueryAddrLengthSum = MAX_NODE_ADDR_LEN;
constexpr RTS_UI32 kCancelWaitMs = 5000;
constexpr int kMaxInFlight = 32;

struct InFlight {
    RTS_HANDLE hCaller;
    RTS_UINTPTR ulThread;  // 0: free slot
};

struct NSState {
    // Read by every thread that calls in; written only by the start and exit hooks.
    std::atomic<RTS_HANDLE> hLock{RTS_INVALID_HANDLE};
    RTS_UI32 ulScanTimeMs = NSC_DEFAULT_SCAN_TIME_S * 1000u;
    REQUESTLIST list{};
    InFlight aInFlight[kMaxInFlight]{};
};

NSState g_ns;

PF_GET_API s_pfCMGetAPI = nullptr;
PF_GET_API2 s_pfCMGetAPI2 = nullptr;
PF_REGISTER_API s_pfCMRegisterAPI = nullptr;

void NSLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

void NSLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...) {
    PFLogAdd pfLog = pfLogAdd;
    if (pfLog == nullptr) {
        return;
    }
    char szText[LOG_INFO_LEN];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    pfLog(nullptr, CMPID_CmpNameServiceClient, ulClass, iError, 0, "%s", szText);
}

bool Started() {
    return g_ns.hLock != RTS_INVALID_HANDLE;
}

class NSLock {
public:
    NSLock() { SysSemEnter(g_ns.hLock); }
    ~NSLock() { SysSemLeave(g_ns.hLock); }
    NSLock(const NSLock&) = delete;
    NSLock& operator=(const NSLock&) = delete;
};

// Caller holds the lock.
void FreeEntry(REQUESTELEM* pElem) {
    delete pElem->pAddInfo;
    memset(pElem, 0, sizeof(*pElem));
}

// Caller holds the lock. -1 when no slot is free: the callback then runs
// untracked, which only weakens the wait of a concurrent cancellation.
int EnterInFlight(RTS_HANDLE hCaller) {
    for (int i = 0; i < kMaxInFlight; ++i) {
        if (g_ns.aInFlight[i].ulThread == 0) {
            g_ns.aInFlight[i].hCaller = hCaller;
            g_ns.aInFlight[i].ulThread = SysTaskGetCurrentOSHandle();
            return i;
        }
    }
    return -1;
}

void LeaveInFlight(int iSlot) {
    if (iSlot < 0 || !Started()) {
        return;
    }
    NSLock lock;
    g_ns.aInFlight[iSlot].ulThread = 0;
    g_ns.aInFlight[iSlot].hCaller = nullptr;
}

void DropAll() {
    NSLock lock;
    for (REQUESTELEM& e : g_ns.list.aRequests) {
        if (e.bUsed) {
            FreeEntry(&e);
        }
    }
}

RTS_UI32 EffectiveTimeout(RTS_UI32 dwTimeout) {
    return dwTimeout != 0 ? dwTimeout : g_ns.ulScanTimeMs;
}

struct Callbacks {
    PFHANDLENSRESPONSE pf1 = nullptr;
    PFHANDLENSRESPONSE2 pf2 = nullptr;
    PFHANDLENSRESPONSE3 pf3 = nullptr;
    bool Any() const { return pf1 != nullptr || pf2 != nullptr || pf3 != nullptr; }
};

// One call of whichever callback generation is set. pAnswer null: no node
// description (time-out).
void Deliver(const Callbacks& cb, RTS_RESULT nResult, const NODEADDRESS& addr, const NSAnswer* pAnswer,
             RTS_UI8 byBlkDrvType, RTS_HANDLE hCaller, RTS_BOOL bComplete) {
    alignas(8) RTS_UI8 abyInfo[NS_NODEINFO_MAX];
    int iGeneration = cb.pf3 != nullptr ? 3 : cb.pf2 != nullptr ? 2 : 1;
    RTS_UI32 ulSize = 0;
    if (pAnswer != nullptr) {
        ulSize = NSBuildNodeInfo(pAnswer, iGeneration, abyInfo, sizeof(abyInfo));
        if (ulSize == 0) {
            return;
        }
    }
    void* pInfo = pAnswer != nullptr ? static_cast<void*>(abyInfo) : nullptr;
    RTS_UI16 wSize = static_cast<RTS_UI16>(ulSize);
    if (cb.pf3 != nullptr) {
        cb.pf3(nResult, addr, static_cast<NODEINFOPACKED3*>(pInfo), wSize, byBlkDrvType, hCaller, bComplete);
    } else if (cb.pf2 != nullptr) {
        cb.pf2(nResult, addr, static_cast<NODEINFOPACKED2*>(pInfo), wSize, hCaller, bComplete);
    } else if (cb.pf1 != nullptr) {
        cb.pf1(nResult, addr, static_cast<NODEINFOPACKED*>(pInfo), wSize, hCaller, bComplete);
    }
}

RTS_RESULT GetRouter(RTS_HANDLE* phRouter) {
    if (pfRouterGetInstanceByName == nullptr || pfRouterSend2 == nullptr) {
        return ERR_FAILED;
    }
    RTS_HANDLE hRouter = nullptr;
    if (pfRouterGetInstanceByName(nullptr, &hRouter) != ERR_OK) {
        return ERR_FAILED;
    }
    *phRouter = hRouter;
    return ERR_OK;
}

// Enters a request in the table and sends it. pTarget null: broadcast.
RTS_RESULT IssueRequest(RTS_I32 nType, const NODEADDRESS* pTarget, const RTS_WCHAR* pwszName,
                        RTS_UI32 dwTimeout, RTS_BOOL bFinishWithFirstNode, RTS_HANDLE hCaller,
                        const Callbacks& cb) {
    if (!Started()) {
        return ERR_NOTINITIALIZED;
    }
    if (!cb.Any() || (nType == RT_RESOLVENAME && pwszName == nullptr)) {
        return ERR_PARAMETER;
    }
    if (pTarget != nullptr && pTarget->nLength > MAX_NODE_ADDR_LEN) {
        return ERR_PARAMETER;
    }
    RTS_HANDLE hRouter = nullptr;
    if (GetRouter(&hRouter) != ERR_OK) {
        return ERR_FAILED;
    }
    RTS_UI32 nNameLength = 0;
    if (nType == RT_RESOLVENAME) {
        while (nNameLength <= kMaxNameChars && pwszName[nNameLength] != 0) {
            ++nNameLength;
        }
        RTS_UI16 wMax = 0;
        if (nNameLength > kMaxNameChars || pfRouterGetMaxMessageSizeByAddressLength == nullptr ||
            pfRouterGetMaxMessageSizeByAddressLength(hRouter, kNameQueryAddrLengthSum, &wMax) != ERR_OK ||
            NSPKG_HEADER_SIZE + 2u * (nNameLength + 1u) > wMax) {
            return ERR_FAILED;
        }
    }
    NODEADDRESS* pAddInfo = nullptr;
    if (pTarget != nullptr) {
        pAddInfo = new (std::nothrow) NODEADDRESS(*pTarget);
        if (pAddInfo == nullptr) {
            return ERR_NOMEMORY;
        }
    }
    RTS_UI32 dwId = 0;
    {
        NSLock lock;
        REQUESTELEM* pFree = nullptr;
        for (REQUESTELEM& e : g_ns.list.aRequests) {
            if (!e.bUsed) {
                pFree = &e;
                break;
            }
        }
        if (pFree == nullptr) {
            delete pAddInfo;
            return ERR_NUMPENDING;
        }
        dwId = ++g_ns.list.dwLastRequestID;
        pFree->bUsed = 1;
        pFree->dwInternalRequestID = dwId;
        pFree->hCallerRequestID = hCaller;
        pFree->dwTimeStamp = SysTimeGetMs();
        pFree->nRequestType = nType;
        pFree->pfCallback = cb.pf1;
        pFree->pfCallback2 = cb.pf2;
        pFree->pfCallback3 = cb.pf3;
        pFree->dwTimeout = EffectiveTimeout(dwTimeout);
        pFree->pAddInfo = pAddInfo;
        pFree->bFinishWithFirstNode = bFinishWithFirstNode != 0 ? 1 : 0;
    }
    RTS_UI8 abyPkg[ROUTER_MAX_BLOCK_SIZE];
    RTS_UI16 wType = nType == RT_RESOLVENAME ? NSPKG_RESOLVENAME : NSPKG_RESOLVEADDR;
    RTS_UI32 ulSize = NSBuildRequest(wType, dwId, pwszName, nNameLength, abyPkg, sizeof(abyPkg));
    RTS_RESULT r = ERR_FAILED;
    if (ulSize > 0) {
        NODEADDRESS receiver;
        memset(&receiver, 0, sizeof(receiver));
        if (pTarget != nullptr) {
            receiver = *pTarget;
        }
        PEERADDRESS peer{AT_ABSOLUTE, 0, receiver.nLength, receiver.address};
        PROTOCOL_DATA_UNIT pdu{abyPkg, ulSize};
        r = pfRouterSend2(hRouter, peer, PID_NAMINGREQUEST, 0, RPRIO_NORMAL, pdu, 1);
    }
    if (r != ERR_OK) {
        // A request that never left calls nothing back.
        NSLock lock;
        for (REQUESTELEM& e : g_ns.list.aRequests) {
            if (e.bUsed && e.dwInternalRequestID == dwId) {
                FreeEntry(&e);
            }
        }
    }
    return r;
}

RTS_RESULT ResolveBlkDrvAddress(RTS_UI8 byBlkDrvType, RTS_UI8 byFlags, RTS_UI8 byAddrBitLength,
                                const NETWORKADDRESS* pNetworkAddr, RTS_UI32 dwTimeout, RTS_HANDLE hCaller,
                                const Callbacks& cb) {
    if (!Started()) {
        return ERR_NOTINITIALIZED;
    }
    // A network address holds at most 8 bytes: a longer bit length would
    // make the copy below read and write past it.
    if (byAddrBitLength > 8 * MAX_NETWORK_ADDR_LEN || !cb.Any()) {
        return ERR_PARAMETER;
    }
    RTS_HANDLE hRouter = nullptr;
    if (byBlkDrvType == RTS_BLK_DRV_TYPE_NONE && (byFlags & NS_BLKDRV_FLAG_SELF) != 0) {
        NODEADDRESS own;
        memset(&own, 0, sizeof(own));
        if (GetRouter(&hRouter) != ERR_OK || pfRouterGetHostAddress == nullptr ||
            pfRouterGetHostAddress(hRouter, &own) != ERR_OK) {
            return ERR_FAILED;
        }
        RTS_UI8 abyPkg[NSPKG_EMPTY_IDENTIFICATION_SIZE];
        NSAnswer answer;
        if (NSBuildEmptyIdentification(0, abyPkg, sizeof(abyPkg)) == 0 ||
            NSParseAnswer(abyPkg, NSPKG_EMPTY_IDENTIFICATION_SIZE, &answer) != ERR_OK) {
            return ERR_FAILED;
        }
        int iSlot = -1;
        {
            NSLock lock;
            iSlot = EnterInFlight(hCaller);
        }
        Deliver(cb, ERR_OK, own, &answer, RTS_BLK_DRV_TYPE_NONE, hCaller, 1);
        LeaveInFlight(iSlot);
        return ERR_OK;
    }
    if (pNetworkAddr == nullptr || pNetworkAddr->nLength > MAX_NETWORK_ADDR_LEN) {
        return ERR_PARAMETER;
    }
    NETWORKADDRESS na = *pNetworkAddr;
    if (na.nLength == 0) {
        na.nLength = (byAddrBitLength + 7u) / 8u;
    }
    if (pfRouterCalculateNodeAddr == nullptr) {
        return ERR_FAILED;
    }
    NODEADDRESS node;
    memset(&node, 0, sizeof(node));
    RTS_RESULT r = pfRouterCalculateNodeAddr(byBlkDrvType, byAddrBitLength, &na, &node);
    if (r != ERR_OK) {
        return r;
    }
    return IssueRequest(RT_RESOLVEBLKDRVADDRESS, &node, nullptr, dwTimeout, 0, hCaller, cb);
}

// ---- Component shape -------------------------------------------------------------------

RTS_RESULT ExportFunctions(void) {
    KL_EXPORT(s_pfCMRegisterAPI, NSAdjustResolveTimeout);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveAll3);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveAll2);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveAll);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveBlkDrvAddress3);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveBlkDrvAddress2);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveAddress3);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveAddress2);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveAddress);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveName3);
    KL_EXPORT(s_pfCMRegisterAPI, NSResolveName);
    KL_EXPORT(s_pfCMRegisterAPI, NSClientHandleData);
    KL_EXPORT(s_pfCMRegisterAPI, NSCancelRequest);
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    KL_IMPORT(s_pfCMGetAPI, RouterGetInstanceByName);
    KL_IMPORT(s_pfCMGetAPI, RouterSend2);
    KL_IMPORT(s_pfCMGetAPI, RouterGetMaxMessageSizeByAddressLength);
    KL_IMPORT(s_pfCMGetAPI, RouterCalculateNodeAddr);
    KL_IMPORT(s_pfCMGetAPI, RouterGetHostAddress);
    KL_IMPORT(s_pfCMGetAPI, RouterGetBlkDrvType);
    // Settings and log are optional: defaults and silence without them.
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetIntValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, LogAdd);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

void ReadSettings() {
    RTS_I32 nSeconds = NSC_DEFAULT_SCAN_TIME_S;
    if (pfSettgGetIntValue == nullptr || pfSettgGetIntValue(kCmpName, NSCKEY_INT_SCANTIMESECONDS, &nSeconds,
                                                            NSC_DEFAULT_SCAN_TIME_S, 0) != ERR_OK) {
        nSeconds = NSC_DEFAULT_SCAN_TIME_S;
    }
    if (nSeconds <= 0 || nSeconds > NSC_MAX_SCAN_TIME_S) {
        nSeconds = NSC_DEFAULT_SCAN_TIME_S;
    }
    g_ns.ulScanTimeMs = static_cast<RTS_UI32>(nSeconds) * 1000u;
}

// Expires the first request whose age exceeds its time-out; at most one per
// cycle, so that one cycle never runs a burst of callbacks.
void ExpireOne() {
    if (!Started()) {
        return;
    }
    Callbacks cb;
    RTS_HANDLE hCaller = nullptr;
    int iSlot = -1;
    {
        NSLock lock;
        RTS_UI32 ulNow = SysTimeGetMs();
        REQUESTELEM* pExpired = nullptr;
        for (REQUESTELEM& e : g_ns.list.aRequests) {
            if (e.bUsed && SysTimeElapsedMs(ulNow, e.dwTimeStamp) > e.dwTimeout) {
                pExpired = &e;
                break;
            }
        }
        if (pExpired == nullptr) {
            return;
        }
        cb.pf1 = pExpired->pfCallback;
        cb.pf2 = pExpired->pfCallback2;
        cb.pf3 = pExpired->pfCallback3;
        hCaller = pExpired->hCallerRequestID;
        FreeEntry(pExpired);
        iSlot = EnterInFlight(hCaller);
    }
    NODEADDRESS empty;
    memset(&empty, 0, sizeof(empty));
    Deliver(cb, ERR_TIMEOUT, empty, nullptr, RTS_BLK_DRV_TYPE_NONE, hCaller, 1);
    LeaveInFlight(iSlot);
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    switch (ulHook) {
        case CH_INIT2:
            ReadSettings();
            if (g_ns.hLock == RTS_INVALID_HANDLE) {
                RTS_RESULT r = ERR_OK;
                RTS_HANDLE h = SysSemCreate(&r);
                if (h == RTS_INVALID_HANDLE) {
                    return r != ERR_OK ? r : ERR_FAILED;
                }
                memset(&g_ns.list, 0, sizeof(g_ns.list));
                memset(g_ns.aInFlight, 0, sizeof(g_ns.aInFlight));
                g_ns.list.dwLastRequestID = SysTimeGetMs();
                g_ns.hLock = h;
            }
            break;
        case CH_EXIT3:
            if (Started()) {
                DropAll();
            }
            break;
        case CH_EXIT2:
            if (Started()) {
                DropAll();
                SysSemDelete(g_ns.hLock.exchange(RTS_INVALID_HANDLE));
            }
            break;
        case CH_COMM_CYCLE:
            ExpireOne();
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

// ---- Exported functions -------------------------------------------------------------------

RTS_RESULT NSAdjustResolveTimeout(RTS_UI32 dwTimeout, RTS_HANDLE hCallerRequestID) {
    if (!Started()) {
        return ERR_NOTINITIALIZED;
    }
    NSLock lock;
    RTS_RESULT r = ERR_NO_OBJECT;
    RTS_UI32 ulNow = SysTimeGetMs();
    for (REQUESTELEM& e : g_ns.list.aRequests) {
        if (e.bUsed && e.hCallerRequestID == hCallerRequestID) {
            e.dwTimeStamp = ulNow;
            e.dwTimeout = dwTimeout;
            r = ERR_OK;
        }
    }
    return r;
}

RTS_RESULT NSResolveAll3(RTS_UI32 dwTimeout, RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE3 pfCallback) {
    Callbacks cb;
    cb.pf3 = pfCallback;
    return IssueRequest(RT_RESOLVEALL, nullptr, nullptr, dwTimeout, 0, hCallerRequestID, cb);
}

RTS_RESULT NSResolveAll2(RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE2 pfCallback) {
    Callbacks cb;
    cb.pf2 = pfCallback;
    return IssueRequest(RT_RESOLVEALL, nullptr, nullptr, 0, 0, hCallerRequestID, cb);
}

RTS_RESULT NSResolveAll(RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE pfCallback) {
    Callbacks cb;
    cb.pf1 = pfCallback;
    return IssueRequest(RT_RESOLVEALL, nullptr, nullptr, 0, 0, hCallerRequestID, cb);
}

RTS_RESULT NSResolveBlkDrvAddress3(RTS_UI8 byBlkDrvType, RTS_UI8 byFlags, RTS_UI8 byAddrBitLength,
                                   const NETWORKADDRESS* pNetworkAddr, RTS_UI32 dwTimeout,
                                   RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE3 pfCallback) {
    Callbacks cb;
    cb.pf3 = pfCallback;
    return ResolveBlkDrvAddress(byBlkDrvType, byFlags, byAddrBitLength, pNetworkAddr, dwTimeout,
                                hCallerRequestID, cb);
}

RTS_RESULT NSResolveBlkDrvAddress2(RTS_UI8 byBlkDrvType, RTS_UI8 byFlags, RTS_UI8 byAddrBitLength,
                                   const NETWORKADDRESS* pNetworkAddr, RTS_HANDLE hCallerRequestID,
                                   PFHANDLENSRESPONSE2 pfCallback) {
    Callbacks cb;
    cb.pf2 = pfCallback;
    return ResolveBlkDrvAddress(byBlkDrvType, byFlags, byAddrBitLength, pNetworkAddr, 0, hCallerRequestID,
                                cb);
}

RTS_RESULT NSResolveAddress3(const NODEADDRESS* pAddrNode, RTS_UI32 dwTimeout, RTS_HANDLE hCallerRequestID,
                             PFHANDLENSRESPONSE3 pfCallback) {
    if (pAddrNode == nullptr) {
        return ERR_PARAMETER;
    }
    Callbacks cb;
    cb.pf3 = pfCallback;
    return IssueRequest(RT_RESOLVEADDRESS, pAddrNode, nullptr, dwTimeout, 0, hCallerRequestID, cb);
}

RTS_RESULT NSResolveAddress2(const NODEADDRESS* pAddrNode, RTS_HANDLE hCallerRequestID,
                             PFHANDLENSRESPONSE2 pfCallback) {
    if (pAddrNode == nullptr) {
        return ERR_PARAMETER;
    }
    Callbacks cb;
    cb.pf2 = pfCallback;
    return IssueRequest(RT_RESOLVEADDRESS, pAddrNode, nullptr, 0, 0, hCallerRequestID, cb);
}

RTS_RESULT NSResolveAddress(const NODEADDRESS* pAddrNode, RTS_HANDLE hCallerRequestID,
                            PFHANDLENSRESPONSE pfCallback) {
    if (pAddrNode == nullptr) {
        return ERR_PARAMETER;
    }
    Callbacks cb;
    cb.pf1 = pfCallback;
    return IssueRequest(RT_RESOLVEADDRESS, pAddrNode, nullptr, 0, 0, hCallerRequestID, cb);
}

RTS_RESULT NSResolveName3(const RTS_WCHAR* pwszName, RTS_UI32 dwTimeout, RTS_BOOL bFinishWithFirstNode,
                          RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE3 pfCallback) {
    Callbacks cb;
    cb.pf3 = pfCallback;
    return IssueRequest(RT_RESOLVENAME, nullptr, pwszName, dwTimeout, bFinishWithFirstNode, hCallerRequestID,
                        cb);
}

RTS_RESULT NSResolveName(const RTS_WCHAR* pwszName, RTS_HANDLE hCallerRequestID,
                         PFHANDLENSRESPONSE pfCallback) {
    Callbacks cb;
    cb.pf1 = pfCallback;
    return IssueRequest(RT_RESOLVENAME, nullptr, pwszName, 0, 0, hCallerRequestID, cb);
}

RTS_RESULT NSClientHandleData(RTS_HANDLE, RTS_HANDLE hNetworkInterface, RTS_UI8 byServiceId, RTS_UI8,
                              PEERADDRESS addrSender, PEERADDRESS, PROTOCOL_DATA_UNIT pduData, RTS_I32) {
    if (byServiceId != PID_NAMINGRESPONSE) {
        return ERR_NET_PKG_NOTHANDLED;
    }
    if (!Started()) {
        return ERR_NOTINITIALIZED;
    }
    if (pduData.pData == nullptr || addrSender.type != AT_ABSOLUTE ||
        addrSender.nLength > MAX_NODE_ADDR_LEN ||
        (addrSender.nLength > 0 && addrSender.pAddress == nullptr)) {
        return ERR_NET_PKG_INVALID;
    }
    NSAnswer answer;
    RTS_RESULT r = NSParseAnswer(pduData.pData, pduData.ulCount, &answer);
    if (r != ERR_OK) {
        return r;
    }
    NODEADDRESS sender;
    memset(&sender, 0, sizeof(sender));
    sender.nLength = addrSender.nLength;
    if (sender.nLength > 0) {
        memcpy(sender.address, addrSender.pAddress, 2u * sender.nLength);
    }
    RTS_UI8 byBlkDrvType = RTS_BLK_DRV_TYPE_NONE;
    if (pfRouterGetBlkDrvType != nullptr &&
        pfRouterGetBlkDrvType(hNetworkInterface, &byBlkDrvType) != ERR_OK) {
        byBlkDrvType = RTS_BLK_DRV_TYPE_NONE;
    }
    Callbacks cb;
    RTS_HANDLE hCaller = nullptr;
    RTS_BOOL bComplete = 0;
    int iSlot = -1;
    {
        NSLock lock;
        REQUESTELEM* pElem = nullptr;
        for (REQUESTELEM& e : g_ns.list.aRequests) {
            if (e.bUsed && e.dwInternalRequestID == answer.dwRequestID) {
                pElem = &e;
                break;
            }
        }
        if (pElem == nullptr) {
            return ERR_OK;  // a late answer, or one to another client
        }
        switch (pElem->nRequestType) {
            case RT_RESOLVEADDRESS:
            case RT_RESOLVEBLKDRVADDRESS:
                bComplete = 1;
                break;
            case RT_RESOLVENAME:
                bComplete = pElem->bFinishWithFirstNode;
                break;
            case RT_RESOLVEALL:
                bComplete = 0;
                break;
            default:
                NSLog(LOG_ERROR, ERR_PARAMETER,
                      "Unhandled request type <type>%d</type> in <file>%s</file> (<line>%d</line>)",
                      static_cast<int>(pElem->nRequestType), __FILE__, __LINE__);
                return ERR_OK;
        }
        cb.pf1 = pElem->pfCallback;
        cb.pf2 = pElem->pfCallback2;
        cb.pf3 = pElem->pfCallback3;
        hCaller = pElem->hCallerRequestID;
        if (bComplete) {
            FreeEntry(pElem);
        }
        iSlot = EnterInFlight(hCaller);
    }
    Deliver(cb, ERR_OK, sender, &answer, byBlkDrvType, hCaller, bComplete);
    LeaveInFlight(iSlot);
    return ERR_OK;
}

RTS_RESULT NSCancelRequest(RTS_HANDLE hCallerRequestID) {
    if (!Started()) {
        return ERR_NOTINITIALIZED;
    }
    RTS_RESULT r = ERR_NO_OBJECT;
    {
        NSLock lock;
        for (REQUESTELEM& e : g_ns.list.aRequests) {
            if (e.bUsed && e.hCallerRequestID == hCallerRequestID) {
                FreeEntry(&e);
                r = ERR_OK;
            }
        }
    }
    // A callback that took the request before it was removed may still be
    // running on another thread: the caller frees what it uses only after it.
    RTS_UINTPTR ulSelf = SysTaskGetCurrentOSHandle();
    RTS_UI32 ulStart = SysTimeGetMs();
    for (;;) {
        bool bBusy = false;
        {
            NSLock lock;
            for (const InFlight& f : g_ns.aInFlight) {
                if (f.ulThread != 0 && f.ulThread != ulSelf && f.hCaller == hCallerRequestID) {
                    bBusy = true;
                }
            }
        }
        if (!bBusy || SysTimeElapsedMs(SysTimeGetMs(), ulStart) >= kCancelWaitMs) {
            break;
        }
        SysTaskWaitSleep(nullptr, 1);
    }
    return r;
}

RTS_I32 NSGetNumRequests(void) {
    if (!Started()) {
        return 0;
    }
    NSLock lock;
    RTS_I32 n = 0;
    for (const REQUESTELEM& e : g_ns.list.aRequests) {
        n += e.bUsed ? 1 : 0;
    }
    return n;
}

RTS_UI32 NSGetInternalRequestID(RTS_HANDLE hCallerRequestID) {
    if (!Started()) {
        return 0;
    }
    NSLock lock;
    for (const REQUESTELEM& e : g_ns.list.aRequests) {
        if (e.bUsed && e.hCallerRequestID == hCallerRequestID) {
            return e.dwInternalRequestID;
        }
    }
    return 0;
}

RTS_UI32 NSGetScanTimeMs(void) {
    return g_ns.ulScanTimeMs;
}

RTS_RESULT CmpNameServiceClient__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpNameServiceClient;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    return ERR_OK;
}
