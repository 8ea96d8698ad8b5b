// The router component: its shape (entry, exports, imports, hooks), start-up
// from the settings, the instance and interface tables, and the registration
// of the block drivers' network interfaces. Packages, routing and the address
// service live in the other files of this folder.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "CMItf.h"
#include "CmpRouterPrivate.h"
#include "SysSem.h"
#include "SysTime.h"

namespace klrouter {
PFCRC16Update pfCRC16Update = nullptr;
PFMemPoolCreateStatic pfMemPoolCreateStatic = nullptr;
PFMemPoolDelete pfMemPoolDelete = nullptr;
PFMemPoolGetBlock pfMemPoolGetBlock = nullptr;
PFMemPoolPutBlock pfMemPoolPutBlock = nullptr;
PFSettgGetIntValue pfSettgGetIntValue = nullptr;
PFSettgGetStringValue pfSettgGetStringValue = nullptr;
PFLogAdd pfLogAdd = nullptr;
PFChannelMgrHandleData pfChannelMgrHandleData = nullptr;
PFNSClientHandleData pfNSClientHandleData = nullptr;
}  // namespace klrouter

using namespace klrouter;

namespace klrouter {
RouterState g_router;
}

namespace {

constexpr const char* kCmpName = "CmpRouter";
constexpr RTS_UI32 kNotConfigured = 0xFFFFFFFFu;
constexpr RTS_UI32 kDefaultUpdateIntervalMs = 60000;

PF_REGISTER_API s_pfCMRegisterAPI = nullptr;
PF_GET_API s_pfCMGetAPI = nullptr;
PF_GET_API2 s_pfCMGetAPI2 = nullptr;

// The queue pool's static area: room for the queued blocks of all interfaces.
alignas(8) RTS_UI8 s_abyQueuePool[MemPoolStaticAreaSize(ROUTER_QUEUE_POOL_BLOCKS, sizeof(QUEUEDBLOCK))];

class RouterLock {
public:
    RouterLock() { SysSemEnter(g_router.hLock); }
    ~RouterLock() { SysSemLeave(g_router.hLock); }
    RouterLock(const RouterLock&) = delete;
    RouterLock& operator=(const RouterLock&) = delete;
};

bool Initialized() {
    return g_router.bInitialized.load() != 0;
}

// Settings: *pbSet tells whether the key is present.
RTS_I32 SettingInt(const char* pszKey, RTS_I32 iDefault, bool* pbSet = nullptr) {
    return SettgReadInt(pfSettgGetIntValue, kCmpName, pszKey, iDefault, pbSet);
}

void SettingString(const char* pszKey, char* pszValue, RTS_SIZE size) {
    SettgReadString(pfSettgGetStringValue, kCmpName, pszKey, pszValue, size);
}

// Seconds from the settings to milliseconds; kNotConfigured when absent.
RTS_UI32 IntervalSetting(const char* pszKey) {
    bool bSet = false;
    RTS_I32 seconds = SettingInt(pszKey, 0, &bSet);
    if (!bSet) {
        return kNotConfigured;
    }
    if (seconds <= 0) {
        return 0;
    }
    // Bounded so that the product stays below the "not configured" value.
    return static_cast<RTS_UI32>(seconds > 4000000 ? 4000000 : seconds) * 1000u;
}

RTS_HANDLE MainnetHandle(RTS_I32 i) {
    return reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>((static_cast<RTS_UI32>(i) << 16) | 0xFFFFu));
}

RTS_HANDLE SubnetHandle(RTS_I32 i, RTS_I32 j) {
    return reinterpret_cast<RTS_HANDLE>(
        static_cast<RTS_UINTPTR>((static_cast<RTS_UI32>(i) << 16) | static_cast<RTS_UI32>(j)));
}

void InitInterface(NETWORKINTERFACE* pItf, RTS_HANDLE hItf) {
    memset(pItf, 0, sizeof(*pItf));
    pItf->info.hInterface = RTS_INVALID_HANDLE;
    pItf->hNetworkInterface = hItf;
    pItf->ulConfigAddressUpdateInterval = kNotConfigured;
}

void ReleaseInstances() {
    if (g_router.pRouters != nullptr) {
        for (RTS_I32 i = 0; i < g_router.nMaxRouters; ++i) {
            ROUTERINSTANCE* pInst = &g_router.pRouters[i];
            RouterEmptyQueue(&pInst->Mainnet);
            for (RTS_I32 j = 0; j < pInst->nNumSubnets && pInst->pSubnets != nullptr; ++j) {
                RouterEmptyQueue(&pInst->pSubnets[j]);
            }
            delete[] pInst->pSubnets;
            pInst->pSubnets = nullptr;
            pInst->nNumSubnets = 0;
        }
        delete[] g_router.pRouters;
        g_router.pRouters = nullptr;
    }
    if (g_router.hQueuePool != RTS_INVALID_HANDLE && pfMemPoolDelete != nullptr) {
        pfMemPoolDelete(g_router.hQueuePool, kCmpName);
    }
    g_router.hQueuePool = RTS_INVALID_HANDLE;
    g_router.nMaxRouters = 0;
}

RTS_RESULT InitFailed(RTS_RESULT r) {
    RouterLog(LOG_ERROR, r, "Router initialization failed");
    ReleaseInstances();
    return r;
}

RTS_RESULT RouterInit() {
    g_router.nMaxRouters = 0;
    g_router.nConfiguredRouters = 0;
    g_router.bPrintAddresses = 0;
    RouterClearBroadcastIds();
    RouterCacheReset();

    RTS_I32 nMax = SettingInt(ROUTERKEY_INT_MAXROUTERS, ROUTER_MAX_INSTANCES);
    nMax = nMax < 1 ? 1 : (nMax > ROUTER_MAX_INSTANCES ? ROUTER_MAX_INSTANCES : nMax);
    g_router.bLoopDetection = SettingInt(ROUTERKEY_INT_LOOPDETECTION, 1) != 0 ? 1 : 0;
    RTS_I32 nParallel = SettingInt(ROUTERKEY_INT_PARALLELROUTING, 2);
    g_router.nParallelRouting = nParallel < 0 ? 0 : (nParallel > 2 ? 2 : nParallel);
    RTS_I32 nQueueTimeout = SettingInt(ROUTERKEY_INT_SENDQUEUETIMEOUT, 3000);
    g_router.ulQueueTimeout = nQueueTimeout > 0 ? static_cast<RTS_UI32>(nQueueTimeout) : 3000u;

    // Instances with a configured main net; the first gap ends the list.
    char aszMainNet[ROUTER_MAX_INSTANCES][ROUTER_NAME_LEN];
    RTS_I32 anSubnets[ROUTER_MAX_INSTANCES] = {0};
    RTS_I32 nConfigured = 0;
    RTS_I32 nMaxSubnets = 0;
    for (RTS_I32 i = 0; i < nMax; ++i) {
        char szKey[64];
        snprintf(szKey, sizeof(szKey), "%d.%s", static_cast<int>(i), ROUTERKEY_STRING_MAINNET);
        SettingString(szKey, aszMainNet[i], sizeof(aszMainNet[i]));
        if (i > 0 && aszMainNet[i][0] == '\0') {
            break;
        }
        nConfigured = i + 1;
        snprintf(szKey, sizeof(szKey), "%d.%s", static_cast<int>(i), ROUTERKEY_INT_NUMSUBNETS);
        RTS_I32 n = SettingInt(szKey, 0);
        if (n > ROUTER_MAX_SUBNETS) {
            RouterLog(
                LOG_WARNING, ERR_PARAMETER,
                "Number of <subnets>%d</subnets> subnets for router <instance>%d</instance> exceeds the "
                "maximum number.",
                static_cast<int>(n), static_cast<int>(i));
            n = ROUTER_MAX_SUBNETS;
        }
        anSubnets[i] = n < 0 ? 0 : n;
        nMaxSubnets = anSubnets[i] > nMaxSubnets ? anSubnets[i] : nMaxSubnets;
    }

    // Parallel instances are addressed by the index nibble above the subnet
    // indices, so both must fit into its 16 values.
    RTS_I32 nOffset = 8;
    if (nMax > 7 || nMaxSubnets > 8) {
        if (nMax > ROUTER_MAX_INSTANCES - nMaxSubnets) {
            nMax = ROUTER_MAX_INSTANCES - nMaxSubnets;
            RouterLog(LOG_INFO, ERR_OK, "Number of router instances is reduced to <instances>%d</instances>.",
                      static_cast<int>(nMax));
        }
        nOffset = nMaxSubnets;
    }
    if (nConfigured > nMax) {
        nConfigured = nMax;
    }
    g_router.nParallelRouterOffset = nOffset;
    RouterLog(LOG_INFO, ERR_OK,
              "<instances>%d</instances> router instances configured, first parallel router offset "
              "<offset>%d</offset>",
              static_cast<int>(nMax), static_cast<int>(nOffset));

    g_router.pRouters = new (std::nothrow) ROUTERINSTANCE[nMax];
    if (g_router.pRouters == nullptr) {
        RouterLog(LOG_ERROR, ERR_NOMEMORY,
                  "Not enough memory to create <numrouter>%d</numrouter> router instances",
                  static_cast<int>(nMax));
        return InitFailed(ERR_NOMEMORY);
    }
    g_router.nMaxRouters = nMax;
    for (RTS_I32 i = 0; i < nMax; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        memset(pInst, 0, sizeof(*pInst));
    }
    g_router.nConfiguredRouters = nConfigured;

    RTS_RESULT r = ERR_FAILED;
    if (pfMemPoolCreateStatic != nullptr) {
        g_router.hQueuePool =
            pfMemPoolCreateStatic(sizeof(QUEUEDBLOCK), sizeof(s_abyQueuePool), s_abyQueuePool, &r);
    }
    if (g_router.hQueuePool == RTS_INVALID_HANDLE || g_router.hQueuePool == nullptr) {
        g_router.hQueuePool = RTS_INVALID_HANDLE;
        return InitFailed(r != ERR_OK ? r : ERR_NOMEMORY);
    }

    for (RTS_I32 i = 0; i < nMax; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        pInst->iInstance = i;
        pInst->bConfigured = i < nConfigured ? 1 : 0;
        pInst->addrRouter.nLength = 1;
        InitInterface(&pInst->Mainnet, MainnetHandle(i));
        char szKey[64];
        char szDefault[ROUTER_NAME_LEN];
        snprintf(szDefault, sizeof(szDefault), "%s%d", "Router", static_cast<int>(i));
        snprintf(szKey, sizeof(szKey), "%d.%s", static_cast<int>(i), ROUTERKEY_STRING_NAME);
        SettingString(szKey, pInst->szName, sizeof(pInst->szName));
        if (pInst->szName[0] == '\0') {
            KlStrCopy(pInst->szName, sizeof(pInst->szName), szDefault);
        }
        if (i >= nConfigured) {
            continue;
        }
        KlStrCopy(pInst->Mainnet.szConfigName, sizeof(pInst->Mainnet.szConfigName), aszMainNet[i]);
        snprintf(szKey, sizeof(szKey), "%d.%s.%s", static_cast<int>(i), ROUTERKEY_STRING_MAINNET,
                 ROUTERKEY_INT_ADDRESSUPDATEINTERVAL);
        pInst->Mainnet.ulConfigAddressUpdateInterval = IntervalSetting(szKey);
        if (anSubnets[i] == 0) {
            continue;
        }
        pInst->pSubnets = new (std::nothrow) NETWORKINTERFACE[anSubnets[i]];
        if (pInst->pSubnets == nullptr) {
            RouterLog(LOG_ERROR, ERR_NOMEMORY,
                      "Not enough memory to create subnets for router <instance>%d</instance>",
                      static_cast<int>(i));
            return InitFailed(ERR_NOMEMORY);
        }
        pInst->nNumSubnets = anSubnets[i];
        for (RTS_I32 j = 0; j < anSubnets[i]; ++j) {
            NETWORKINTERFACE* pSub = &pInst->pSubnets[j];
            InitInterface(pSub, SubnetHandle(i, j));
            snprintf(szKey, sizeof(szKey), "%d.%s.%d.%s", static_cast<int>(i), ROUTERKEY_STRING_SUBNET,
                     static_cast<int>(j), ROUTERKEY_STRING_INTERFACE);
            SettingString(szKey, pSub->szConfigName, sizeof(pSub->szConfigName));
            snprintf(szKey, sizeof(szKey), "%d.%s.%d.%s", static_cast<int>(i), ROUTERKEY_STRING_SUBNET,
                     static_cast<int>(j), ROUTERKEY_INT_ADDRESSUPDATEINTERVAL);
            pSub->ulConfigAddressUpdateInterval = IntervalSetting(szKey);
        }
    }
    g_router.bInitialized = 1;
    return ERR_OK;
}

template <typename F>
void ForEachInterface(F f) {
    for (RTS_I32 i = 0; i < g_router.nMaxRouters; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        f(pInst, &pInst->Mainnet);
        for (RTS_I32 j = 0; j < pInst->nNumSubnets; ++j) {
            f(pInst, &pInst->pSubnets[j]);
        }
    }
}

bool IsEtherWildcard(const char* pszConfig) {
    return strcmp(pszConfig, "ether x") == 0;
}

bool IsEtherName(const char* pszName) {
    return strncmp(pszName, "ether ", 6) == 0;
}

// Picks the slot for an interface of this name (see RouterRegisterNetworkInterface2).
NETWORKINTERFACE* FindSlot(const char* pszName, ROUTERINSTANCE** ppInst) {
    const RTS_I32 nMax = g_router.nMaxRouters;
    // a. Registered already under this name.
    for (RTS_I32 i = 0; i < nMax; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        if (pInst->Mainnet.bValid && strcmp(pInst->Mainnet.info.szName, pszName) == 0) {
            *ppInst = pInst;
            return &pInst->Mainnet;
        }
        for (RTS_I32 j = 0; j < pInst->nNumSubnets; ++j) {
            if (pInst->pSubnets[j].bValid && strcmp(pInst->pSubnets[j].info.szName, pszName) == 0) {
                *ppInst = pInst;
                return &pInst->pSubnets[j];
            }
        }
    }
    // b. Configured for this name.
    for (RTS_I32 i = 0; i < g_router.nConfiguredRouters; ++i) {
        NETWORKINTERFACE* pMain = &g_router.pRouters[i].Mainnet;
        if (pMain->bValid) {
            continue;
        }
        if ((pMain->szConfigName[0] != '\0' && strcmp(pMain->szConfigName, pszName) == 0) ||
            (IsEtherWildcard(pMain->szConfigName) && IsEtherName(pszName) && !pMain->bEverUsed)) {
            *ppInst = &g_router.pRouters[i];
            return pMain;
        }
    }
    for (RTS_I32 i = 0; i < g_router.nConfiguredRouters; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        for (RTS_I32 j = 0; j < pInst->nNumSubnets; ++j) {
            NETWORKINTERFACE* pSub = &pInst->pSubnets[j];
            if (!pSub->bValid && pSub->szConfigName[0] != '\0' && strcmp(pSub->szConfigName, pszName) == 0) {
                *ppInst = pInst;
                return pSub;
            }
        }
    }
    // c. A free instance: never used first, else the one unregistered longest
    // ago, instance 0 last.
    RTS_UI32 ulNow = SysTimeGetMs();
    ROUTERINSTANCE* pOldest = nullptr;
    for (RTS_I32 i = 0; i < nMax; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        NETWORKINTERFACE* pMain = &pInst->Mainnet;
        bool bFree = !pMain->bValid && (pMain->szConfigName[0] == '\0' ||
                                        (IsEtherWildcard(pMain->szConfigName) && IsEtherName(pszName)));
        if (!bFree) {
            continue;
        }
        if (!pMain->bEverUsed) {
            *ppInst = pInst;
            return pMain;
        }
        if (i == 0) {
            continue;
        }
        if (pOldest == nullptr || SysTimeElapsedMs(ulNow, pMain->ulLastUsage) >
                                      SysTimeElapsedMs(ulNow, pOldest->Mainnet.ulLastUsage)) {
            pOldest = pInst;
        }
    }
    if (pOldest == nullptr && nMax > 0) {
        NETWORKINTERFACE* pMain = &g_router.pRouters[0].Mainnet;
        if (!pMain->bValid && (pMain->szConfigName[0] == '\0' ||
                               (IsEtherWildcard(pMain->szConfigName) && IsEtherName(pszName)))) {
            pOldest = &g_router.pRouters[0];
        }
    }
    if (pOldest != nullptr) {
        *ppInst = pOldest;
        return &pOldest->Mainnet;
    }
    return nullptr;
}

void MarkUpdateDue(NETWORKINTERFACE* pItf, RTS_UI32 ulNow) {
    pItf->ulLastAddressUpdate = ulNow - pItf->ulAddressUpdateInterval;
}

void ToRtrAddress(const NODEADDRESS& addr, RTR_NodeAddress* pOut) {
    memset(pOut, 0, sizeof(*pOut));
    RTS_UI32 n = addr.nLength <= MAX_NODE_ADDR_LEN ? addr.nLength : MAX_NODE_ADDR_LEN;
    pOut->nAddrComponentCount = static_cast<RTS_UI16>(n);
    for (RTS_UI32 i = 0; i < n; ++i) {
        pOut->AddrComponents[i].by[0] = addr.address[i].by[0];
        pOut->AddrComponents[i].by[1] = addr.address[i].by[1];
    }
}

// ---- Component shape -------------------------------------------------------------------

template <typename F>
void RegisterExternal(const char* pszName, F pf, RTS_UI32 ulSignature) {
    s_pfCMRegisterAPI(pszName, reinterpret_cast<RTS_VOID_FCTPTR>(pf), 1, ulSignature);
}

RTS_RESULT ExportFunctions(void) {
    if (s_pfCMRegisterAPI == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetBlkDrvType);
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetParentAddress);
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetHostAddress);
    KL_EXPORT(s_pfCMRegisterAPI, RouterSend);
    KL_EXPORT(s_pfCMRegisterAPI, RouterSend2);
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetMaxAddressSize);
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetMaxMessageSizeByAddressLength);
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetMaxMessageSize);
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetName);
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetInstanceByName);
    KL_EXPORT(s_pfCMRegisterAPI, RouterCalculateNodeAddr);
    KL_EXPORT(s_pfCMRegisterAPI, RouterCompareAddresses);
    KL_EXPORT(s_pfCMRegisterAPI, RouterGetBlkAddresses);
    KL_EXPORT(s_pfCMRegisterAPI, RouterHandleData);
    KL_EXPORT(s_pfCMRegisterAPI, RouterUnregisterNetworkInterface);
    KL_EXPORT(s_pfCMRegisterAPI, RouterRegisterOnDemandNWInterface);
    KL_EXPORT(s_pfCMRegisterAPI, RouterRegisterNetworkInterface);
    KL_EXPORT(s_pfCMRegisterAPI, RouterRegisterNetworkInterface2);
    RegisterExternal("routergetinstancebyname", &routergetinstancebyname, SIG_routergetinstancebyname);
    RegisterExternal("routergetname", &routergetname, SIG_routergetname);
    RegisterExternal("routergethostaddress", &routergethostaddress, SIG_routergethostaddress);
    RegisterExternal("routergetparentaddress", &routergetparentaddress, SIG_routergetparentaddress);
    return ERR_OK;
}

// Settings and log are optional (defaults and silence without them); the
// protocol handlers are optional too: a node without layer 4 or name service
// answers their packages with "not handled".
RTS_RESULT ImportFunctions(void) {
    KL_IMPORT(s_pfCMGetAPI, CRC16Update);
    KL_IMPORT(s_pfCMGetAPI, MemPoolCreateStatic);
    KL_IMPORT(s_pfCMGetAPI, MemPoolDelete);
    KL_IMPORT(s_pfCMGetAPI, MemPoolGetBlock);
    KL_IMPORT(s_pfCMGetAPI, MemPoolPutBlock);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetIntValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetStringValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, LogAdd);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, ChannelMgrHandleData);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, NSClientHandleData);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

void PrintAddresses() {
    for (RTS_I32 i = 0; i < g_router.nMaxRouters; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        if (pInst->Mainnet.bValid) {
            AddrSrvcLogAddress(pInst);
        } else if (pInst->bConfigured && pInst->Mainnet.szConfigName[0] != '\0') {
            RouterLog(LOG_WARNING, ERR_NO_OBJECT,
                      "Network interface for mainnet=<mainnet>%s</mainnet> not found",
                      pInst->Mainnet.szConfigName);
        }
    }
    g_router.bPrintAddresses = 1;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    switch (ulHook) {
        case CH_INIT: {
            if (g_router.hLock == RTS_INVALID_HANDLE) {
                RTS_RESULT r = ERR_OK;
                RTS_HANDLE h = SysSemCreate(&r);
                if (h == RTS_INVALID_HANDLE) {
                    RouterLog(LOG_ERROR, r, "Router initialization failed");
                    return r;
                }
                g_router.hLock = h;
            }
            RouterLock lock;
            return Initialized() ? ERR_OK : RouterInit();
        }
        case CH_INIT2:
            if (Initialized()) {
                RouterLock lock;
                RTS_UI32 ulNow = SysTimeGetMs();
                ForEachInterface(
                    [ulNow](ROUTERINSTANCE*, NETWORKINTERFACE* pItf) { pItf->ulLastAddressUpdate = ulNow; });
                g_router.ulLastAddressPass = ulNow - 1001u;
            }
            break;
        case CH_INIT_TASKS:
            if (Initialized()) {
                RouterLock lock;
                PrintAddresses();
            }
            break;
        case CH_COMM_CYCLE:
            if (Initialized()) {
                RouterLock lock;
                UpdateAddresses();
                RouterServiceQueues();
            }
            break;
        case CH_EXIT:
            if (g_router.hLock != RTS_INVALID_HANDLE) {
                {
                    RouterLock lock;
                    g_router.bInitialized = 0;
                    ReleaseInstances();
                }
                SysSemDelete(g_router.hLock);
                g_router.hLock = RTS_INVALID_HANDLE;
            }
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

// ---- Shared helpers ------------------------------------------------------------------------

namespace klrouter {

void RouterLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...) {
    PFLogAdd pfLog = pfLogAdd;
    if (pfLog == nullptr) {
        return;
    }
    char szText[LOG_INFO_LEN];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    pfLog(nullptr, CMPID_CmpRouter, ulClass, iError, 0, "%s", szText);
}

ROUTERINSTANCE* RouterInstanceOf(RTS_HANDLE hRouter) {
    if (g_router.pRouters == nullptr || g_router.nMaxRouters < 1) {
        return nullptr;
    }
    if (hRouter == nullptr || hRouter == RTS_INVALID_HANDLE) {
        return &g_router.pRouters[0];
    }
    RTS_UINTPTR p = reinterpret_cast<RTS_UINTPTR>(hRouter);
    RTS_UINTPTR first = reinterpret_cast<RTS_UINTPTR>(g_router.pRouters);
    if (p < first) {
        return nullptr;
    }
    RTS_UINTPTR diff = p - first;
    if (diff % sizeof(ROUTERINSTANCE) != 0 ||
        diff / sizeof(ROUTERINSTANCE) >= static_cast<RTS_UINTPTR>(g_router.nMaxRouters)) {
        return nullptr;
    }
    return &g_router.pRouters[diff / sizeof(ROUTERINSTANCE)];
}

NETWORKINTERFACE* RouterInterfaceOf(RTS_HANDLE hInterface) {
    RTS_UINTPTR v = reinterpret_cast<RTS_UINTPTR>(hInterface);
    if (g_router.pRouters == nullptr || hInterface == RTS_INVALID_HANDLE || v > 0xFFFFFFFFu) {
        return nullptr;
    }
    RTS_UINTPTR i = v >> 16;
    RTS_UINTPTR j = v & 0xFFFFu;
    if (i >= static_cast<RTS_UINTPTR>(g_router.nMaxRouters)) {
        return nullptr;
    }
    ROUTERINSTANCE* pInst = &g_router.pRouters[i];
    if (j == 0xFFFFu) {
        return &pInst->Mainnet;
    }
    return j < static_cast<RTS_UINTPTR>(pInst->nNumSubnets) ? &pInst->pSubnets[j] : nullptr;
}

ROUTERINSTANCE* RouterInstanceOfInterface(const NETWORKINTERFACE* pItf) {
    for (RTS_I32 i = 0; i < g_router.nMaxRouters; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        if (pItf == &pInst->Mainnet || (pInst->pSubnets != nullptr && pItf >= pInst->pSubnets &&
                                        pItf < pInst->pSubnets + pInst->nNumSubnets)) {
            return pInst;
        }
    }
    return nullptr;
}

void RouterAddressText(const ADDRESSCOMPONENT* pAddr, RTS_UI32 nLength, char* pszText, RTS_SIZE size) {
    if (pszText == nullptr || size == 0) {
        return;
    }
    pszText[0] = '\0';
    RTS_SIZE used = 0;
    for (RTS_UI32 i = 0; i < nLength && i < MAX_NODE_ADDR_LEN; ++i) {
        int n = snprintf(pszText + used, size - used, "%s%02X%02X", i == 0 ? "" : ":", pAddr[i].by[0],
                         pAddr[i].by[1]);
        if (n < 0 || static_cast<RTS_SIZE>(n) >= size - used) {
            break;
        }
        used += static_cast<RTS_SIZE>(n);
    }
}

RTS_I32 RouterGetParallelRouterOffset(void) {
    return g_router.nParallelRouterOffset;
}

RTS_I32 RouterGetQueueCount(RTS_HANDLE hInterface) {
    if (!Initialized()) {
        return -1;
    }
    RouterLock lock;
    NETWORKINTERFACE* pItf = RouterInterfaceOf(hInterface);
    return pItf != nullptr ? pItf->nQueueCount : -1;
}

}  // namespace klrouter

// ---- Exported operations -------------------------------------------------------------------

RTS_RESULT RouterRegisterNetworkInterface2(const NETWORKINTERFACEINFO2* pInterfaceInfo,
                                           RTS_HANDLE* phSubnet) {
    if (phSubnet != nullptr) {
        *phSubnet = RTS_INVALID_HANDLE;
    }
    if (!Initialized()) {
        return ERR_NOTINITIALIZED;
    }
    if (pInterfaceInfo == nullptr || phSubnet == nullptr || pInterfaceInfo->pfBDSend == nullptr ||
        pInterfaceInfo->nNetworkAddressBitSize <= 0) {
        return ERR_PARAMETER;
    }
    NETWORKINTERFACEINFO2 info = *pInterfaceInfo;
    info.szName[sizeof(info.szName) - 1] = '\0';
    // The device address is copied into an 8-byte network address: a longer
    // one is refused, as is a bit size no network address could carry.
    RTS_UI16 usTestType = (info.usType == RTS_BLK_DRV_TYPE_COM || info.usType == 3) ? 0 : info.usType;
    if (info.addrDevice.nLength > MAX_NETWORK_ADDR_LEN ||
        info.nNetworkAddressBitSize > 8 * MAX_NETWORK_ADDR_LEN ||
        RouterSuppressLocalBroadcastAddresses(usTestType, info.nNetworkAddressBitSize, &info.addrDevice) !=
            ERR_OK) {
        RouterLog(LOG_ERROR, ERR_PARAMETER,
                  "Tried to register network interface <interface>%s</interface> with invalid address",
                  info.szName);
        return ERR_PARAMETER;
    }

    RouterLock lock;
    ROUTERINSTANCE* pInst = nullptr;
    NETWORKINTERFACE* pItf = FindSlot(info.szName, &pInst);
    if (pItf == nullptr) {
        RouterLog(LOG_ERROR, ERR_NO_OBJECT,
                  "No router instance found to assign network interface <interface>%s</interface>",
                  info.szName);
        return ERR_NO_OBJECT;
    }
    bool bMainnet = pItf == &pInst->Mainnet;
    if (!bMainnet && info.usType == RTS_BLK_DRV_TYPE_TCP) {
        RouterLog(LOG_ERROR, ERR_NET_NOTALLOWED_AS_SUBNET,
                  "Network interface <interface>%s</interface> is not allowed as subnet", info.szName);
        return ERR_NET_NOTALLOWED_AS_SUBNET;
    }
    if (pItf->bValid) {
        *phSubnet = pItf->hNetworkInterface;
        return ERR_DUPLICATE;
    }
    RTS_I32 nLocal =
        bMainnet ? (info.nNetworkAddressBitSize + 15) / 16 : (info.nNetworkAddressBitSize + 19) / 16;
    RTS_I32 nSubnetBytes = 2 * nLocal - static_cast<RTS_I32>(info.addrDevice.nLength);
    if (nSubnetBytes < 0) {
        RouterLog(LOG_ERROR, ERR_PARAMETER,
                  "Tried to register network interface <interface>%s</interface> with invalid address",
                  info.szName);
        return ERR_PARAMETER;
    }

    pItf->info = info;
    pItf->info.nMaxBlockSize = info.nMaxBlockSize > 0 ? (info.nMaxBlockSize / 32) * 32 : 0;
    memset(pItf->subnetId, 0, sizeof(pItf->subnetId));
    pItf->nQueueCount = 0;
    RTS_UI32 ulNow = SysTimeGetMs();
    if (pItf->ulConfigAddressUpdateInterval != kNotConfigured) {
        pItf->ulAddressUpdateInterval = pItf->ulConfigAddressUpdateInterval;
    } else {
        RTS_UI16 t = info.usType;
        pItf->ulAddressUpdateInterval = (t == 1 || t == 5 || t == 6 || t == 7) ? 0 : kDefaultUpdateIntervalMs;
    }
    MarkUpdateDue(pItf, ulNow);
    pItf->nLocalAddressLength = nLocal;
    pItf->nSubnetBytes = nSubnetBytes;
    if (!bMainnet) {
        RTS_I32 j = static_cast<RTS_I32>(pItf - pInst->pSubnets);
        pItf->bySubnetMask = nSubnetBytes < 1 ? 0xF0 : 0;
        pItf->subnetId[0] = static_cast<RTS_UI8>(j << 4);
        RouterLog(
            LOG_INFO, ERR_OK,
            "Network interface <interface>%s</interface> at router <instance>%d.%d</instance> registered",
            info.szName, static_cast<int>(pInst->iInstance), static_cast<int>(j));
    } else {
        pItf->bySubnetMask = 0;
        pInst->naParent.nLength = 0;
        pInst->addrParent.nLength = 0;
        NODEADDRESS addr;
        if (AddrSrvcGetInitialAddress(pItf, &addr) != ERR_OK) {
            pItf->info.pfBDSend = nullptr;
            pItf->info.hInterface = RTS_INVALID_HANDLE;
            return ERR_FAILED;
        }
        pInst->addrRouter = addr;
        for (RTS_I32 j = 0; j < pInst->nNumSubnets; ++j) {
            MarkUpdateDue(&pInst->pSubnets[j], ulNow);
        }
        RouterLog(LOG_INFO, ERR_OK,
                  "Network interface <interface>%s</interface> at router <instance>%d</instance> registered",
                  info.szName, static_cast<int>(pInst->iInstance));
        if (g_router.bPrintAddresses) {
            AddrSrvcLogAddress(pInst);
        }
    }
    pItf->bValid = 1;
    pItf->bEverUsed = 1;
    *phSubnet = pItf->hNetworkInterface;
    return ERR_OK;
}

RTS_RESULT RouterRegisterNetworkInterface(const NETWORKINTERFACEINFO* pInterfaceInfo, RTS_HANDLE* phSubnet) {
    if (pInterfaceInfo == nullptr) {
        if (phSubnet != nullptr) {
            *phSubnet = RTS_INVALID_HANDLE;
        }
        return Initialized() ? ERR_PARAMETER : ERR_NOTINITIALIZED;
    }
    NETWORKINTERFACEINFO2 info2;
    memset(&info2, 0, sizeof(info2));
    info2.pfBDSend = pInterfaceInfo->pfBDSend;
    info2.hInterface = pInterfaceInfo->hInterface;
    info2.nMaxBlockSize = pInterfaceInfo->nMaxBlockSize;
    info2.nNetworkAddressBitSize = pInterfaceInfo->nNetworkAddressBitSize;
    info2.bServiceChannel = pInterfaceInfo->bServiceChannel;
    info2.addrDevice = pInterfaceInfo->addrDevice;
    memcpy(info2.szName, pInterfaceInfo->szName, sizeof(info2.szName));
    info2.usType = 0;
    info2.usDummy = 0;
    info2.pTypeSpecific = nullptr;
    return RouterRegisterNetworkInterface2(&info2, phSubnet);
}

RTS_RESULT RouterRegisterOnDemandNWInterface(const NETWORKINTERFACEINFO* pInterfaceInfo,
                                             const ONDEMANDNETWORKINTERFACE* pOnDemand,
                                             RTS_HANDLE* phSubnet) {
    (void)pOnDemand;  // connects like any other interface here
    return RouterRegisterNetworkInterface(pInterfaceInfo, phSubnet);
}

RTS_RESULT RouterUnregisterNetworkInterface(RTS_HANDLE hSubnet) {
    if (hSubnet == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    if (!Initialized()) {
        return ERR_NOTINITIALIZED;
    }
    RouterLock lock;
    NETWORKINTERFACE* pItf = RouterInterfaceOf(hSubnet);
    if (pItf == nullptr || !pItf->bValid) {
        RouterLog(LOG_WARNING, ERR_NO_OBJECT,
                  "Tried to unregister an invalid network interface <interface>0x%x</interface>",
                  static_cast<unsigned>(reinterpret_cast<RTS_UINTPTR>(hSubnet)));
        return ERR_NO_OBJECT;
    }
    pItf->bValid = 0;
    pItf->info.pfBDSend = nullptr;
    pItf->info.hInterface = RTS_INVALID_HANDLE;
    pItf->ulLastUsage = SysTimeGetMs();
    RouterEmptyQueue(pItf);
    RouterLog(LOG_INFO, ERR_OK, "Network interface <interface>%s</interface> unregistered",
              pItf->info.szName);
    return ERR_OK;
}

RTS_RESULT RouterGetBlkDrvType(RTS_HANDLE hInterface, RTS_UI8* pbyBlkDrvType) {
    if (pbyBlkDrvType == nullptr) {
        return ERR_PARAMETER;
    }
    *pbyBlkDrvType = 0;
    if (!Initialized()) {
        return ERR_NOTINITIALIZED;
    }
    RouterLock lock;
    NETWORKINTERFACE* pItf = RouterInterfaceOf(hInterface);
    if (pItf == nullptr || !pItf->bValid) {
        return ERR_FAILED;
    }
    *pbyBlkDrvType = static_cast<RTS_UI8>(pItf->info.usType);
    return ERR_OK;
}

RTS_RESULT RouterGetHostAddress(RTS_HANDLE hRouter, NODEADDRESS* pAddrHost) {
    if (!Initialized()) {
        return ERR_NOTINITIALIZED;
    }
    if (pAddrHost == nullptr) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    ROUTERINSTANCE* pInst = RouterInstanceOf(hRouter);
    if (pInst == nullptr) {
        return ERR_PARAMETER;
    }
    *pAddrHost = pInst->addrRouter;
    return ERR_OK;
}

RTS_RESULT RouterGetParentAddress(RTS_HANDLE hRouter, NODEADDRESS* pAddrParent) {
    if (!Initialized()) {
        return ERR_NOTINITIALIZED;
    }
    if (pAddrParent == nullptr) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    ROUTERINSTANCE* pInst = RouterInstanceOf(hRouter);
    if (pInst == nullptr) {
        return ERR_PARAMETER;
    }
    *pAddrParent = pInst->addrParent;
    return ERR_OK;
}

RTS_RESULT RouterGetInstanceByName(const char* pszName, RTS_HANDLE* phRouter) {
    if (!Initialized()) {
        return ERR_NOTINITIALIZED;
    }
    if (phRouter == nullptr) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    if (pszName == nullptr) {
        *phRouter = &g_router.pRouters[0];
        return ERR_OK;
    }
    for (RTS_I32 i = 0; i < g_router.nMaxRouters; ++i) {
        if (strncmp(g_router.pRouters[i].szName, pszName, ROUTER_NAME_LEN) == 0) {
            *phRouter = &g_router.pRouters[i];
            return ERR_OK;
        }
    }
    return ERR_FAILED;
}

RTS_RESULT RouterGetName(RTS_HANDLE hRouter, char* pszName, RTS_I32 nMaxLen) {
    if (!Initialized()) {
        return ERR_NOTINITIALIZED;
    }
    if (pszName == nullptr || nMaxLen < 0) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    ROUTERINSTANCE* pInst = RouterInstanceOf(hRouter);
    if (pInst == nullptr) {
        return ERR_PARAMETER;
    }
    return KlStrCopy(pszName, static_cast<RTS_SIZE>(nMaxLen), pInst->szName);
}

// ---- External entries ----------------------------------------------------------------------

void routergetinstancebyname(routergetinstancebyname_struct* p) {
    if (p != nullptr) {
        p->RouterGetInstanceByName = RouterGetInstanceByName(p->stName, p->phRouter);
    }
}

void routergetname(routergetname_struct* p) {
    if (p != nullptr) {
        p->RouterGetName = RouterGetName(p->hRouter, p->pszName, p->nMaxLen);
    }
}

void routergethostaddress(routergethostaddress_struct* p) {
    if (p == nullptr) {
        return;
    }
    NODEADDRESS addr;
    p->RouterGetHostAddress = p->pAddr == nullptr ? ERR_PARAMETER : RouterGetHostAddress(p->hRouter, &addr);
    if (p->RouterGetHostAddress == ERR_OK) {
        ToRtrAddress(addr, p->pAddr);
    }
}

void routergetparentaddress(routergetparentaddress_struct* p) {
    if (p == nullptr) {
        return;
    }
    NODEADDRESS addr;
    p->RouterGetParentAddress =
        p->pAddr == nullptr ? ERR_PARAMETER : RouterGetParentAddress(p->hRouter, &addr);
    if (p->RouterGetParentAddress == ERR_OK) {
        ToRtrAddress(addr, p->pAddr);
    }
}

RTS_RESULT CmpRouter__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpRouter;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    return ERR_OK;
}
