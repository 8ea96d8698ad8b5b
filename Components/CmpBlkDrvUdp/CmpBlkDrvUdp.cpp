// The UDP block driver component: its shape (entry, imports, hooks), the
// settings and configured interfaces, the interface table and the
// communication thread "BlkDrvUdp". Adapters, sockets and traffic are in
// BlkDrvUdpIo.cpp, the address rules in BlkDrvUdpAddr.cpp.
#include <cxxabi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "CMItf.h"
#include "CmpBlkDrvUdpPrivate.h"
#include "SysSem.h"
#include "SysTask.h"
#include "SysTime.h"

namespace klbdudp {
PFRouterRegisterNetworkInterface2 pfRouterRegisterNetworkInterface2 = nullptr;
PFRouterUnregisterNetworkInterface pfRouterUnregisterNetworkInterface = nullptr;
PFRouterHandleData pfRouterHandleData = nullptr;
PFSettgGetIntValue pfSettgGetIntValue = nullptr;
PFSettgGetStringValue pfSettgGetStringValue = nullptr;
PFSettgGetWStringValue pfSettgGetWStringValue = nullptr;
PFLogAdd pfLogAdd = nullptr;
}  // namespace klbdudp

using namespace klbdudp;

BdUdpState g_bdudp;

namespace {

constexpr const char* kCmpName = "CmpBlkDrvUdp";
constexpr const char* kTaskName = "BlkDrvUdp";
constexpr RTS_UI32 kTaskPriority = 95;
constexpr RTS_UI32 kTaskExitWaitMs = 5000;
constexpr RTS_UI32 kThreadWaitMs = 100;

PF_GET_API s_pfCMGetAPI = nullptr;
PF_GET_API2 s_pfCMGetAPI2 = nullptr;

bool SettingInt(const char* pszKey, RTS_I32 iDefault, RTS_I32* piValue) {
    bool bSet = false;
    *piValue = SettgReadInt(pfSettgGetIntValue, kCmpName, pszKey, iDefault, &bSet);
    return bSet;
}

void SettingString(const char* pszKey, char* pszValue, RTS_SIZE size) {
    SettgReadString(pfSettgGetStringValue, kCmpName, pszKey, pszValue, size);
}

// An adapter name given as 16-bit text; characters outside ASCII cannot name
// a Linux adapter, so such a name matches none.
void SettingWideName(const char* pszKey, char* pszValue, RTS_SIZE size) {
    pszValue[0] = '\0';
    if (pfSettgGetWStringValue == nullptr) {
        return;
    }
    RTS_WCHAR awsz[SYS_ADAPTER_NAME_LEN];
    RTS_WCHAR wEmpty = 0;
    RTS_I32 len = SYS_ADAPTER_NAME_LEN;
    if (pfSettgGetWStringValue(kCmpName, pszKey, awsz, &len, &wEmpty, 0) != ERR_OK) {
        return;
    }
    awsz[SYS_ADAPTER_NAME_LEN - 1] = 0;
    RTS_SIZE i = 0;
    for (; i + 1 < size && awsz[i] != 0; ++i) {
        pszValue[i] = awsz[i] < 0x80 ? static_cast<char>(awsz[i]) : '?';
    }
    pszValue[i] = '\0';
}

RTS_UI32 SettingAddress(const char* pszKey) {
    char szValue[32];
    SettingString(pszKey, szValue, sizeof(szValue));
    RTS_UI32 ulNet = 0;
    if (szValue[0] == '\0' || SysSockInetAddr(szValue, &ulNet) != ERR_OK) {
        return 0;
    }
    return SysSockNtohl(ulNet);
}

void ItfKey(char* pszKey, RTS_SIZE size, int n, const char* pszName) {
    snprintf(pszKey, size, "%s.%d.%s", BDUDPKEY_ITF_PREFIX, n, pszName);
}

// Reads "itf.<n>.*" for n = 0, 1, ... until an entry names neither an
// adapter nor an address.
void ReadConfigs() {
    delete[] g_bdudp.pConfigs;
    g_bdudp.pConfigs = nullptr;
    g_bdudp.nConfigs = 0;
    g_bdudp.nBlacklisted = 0;
    BDUDP_ITFCONFIG aCfg[BDUDP_MAX_INTERFACES];
    int n = 0;
    for (; n < BDUDP_MAX_INTERFACES; ++n) {
        BDUDP_ITFCONFIG& c = aCfg[n];
        memset(&c, 0, sizeof(c));
        char szKey[64];
        ItfKey(szKey, sizeof(szKey), n, BDUDPKEY_ITF_ADAPTERNAME);
        SettingString(szKey, c.szAdapterName, sizeof(c.szAdapterName));
        if (c.szAdapterName[0] == '\0') {
            ItfKey(szKey, sizeof(szKey), n, BDUDPKEY_ITF_ADAPTERNAMEUNICODE);
            SettingWideName(szKey, c.szAdapterName, sizeof(c.szAdapterName));
        }
        ItfKey(szKey, sizeof(szKey), n, BDUDPKEY_ITF_IPADDRESS);
        c.ulIpAddr = SettingAddress(szKey);
        if (c.szAdapterName[0] == '\0' && c.ulIpAddr == 0) {
            break;
        }
        ItfKey(szKey, sizeof(szKey), n, BDUDPKEY_ITF_NETWORKMASK);
        c.ulNetworkMask = SettingAddress(szKey);
        ItfKey(szKey, sizeof(szKey), n, BDUDPKEY_ITF_NAME);
        SettingString(szKey, c.szName, sizeof(c.szName));
        ItfKey(szKey, sizeof(szKey), n, BDUDPKEY_ITF_PORTINDEX);
        RTS_I32 iPortIdx = -1;
        SettingInt(szKey, -1, &iPortIdx);
        c.iPortIdx = iPortIdx >= 0 && iPortIdx < BDUDP_NUM_PORTS ? iPortIdx : -1;
        ItfKey(szKey, sizeof(szKey), n, BDUDPKEY_ITF_PPPREMOTEADDRESS);
        c.ulPPPRemoteAddress = SettingAddress(szKey);
        ItfKey(szKey, sizeof(szKey), n, BDUDPKEY_ITF_DONOTUSE);
        RTS_I32 iDoNotUse = 0;
        SettingInt(szKey, 0, &iDoNotUse);
        c.bDoNotUse = iDoNotUse != 0 ? 1 : 0;
        g_bdudp.nBlacklisted += c.bDoNotUse;
    }
    if (n > 0) {
        g_bdudp.pConfigs = new (std::nothrow) BDUDP_ITFCONFIG[n];
        if (g_bdudp.pConfigs != nullptr) {
            memcpy(g_bdudp.pConfigs, aCfg, sizeof(BDUDP_ITFCONFIG) * n);
            g_bdudp.nConfigs = n;
        }
    }
}

void ReadSettings() {
    RTS_I32 iValue = 0;
    if (SettingInt(BDUDPKEY_INT_MAXINTERFACES, BDUDP_DEFAULT_MAX_INTERFACES, &iValue)) {
        iValue = iValue < 0 ? 0 : iValue > BDUDP_MAX_INTERFACES ? BDUDP_MAX_INTERFACES : iValue;
        BdUdpLog(LOG_INFO, ERR_OK, "Number of interfaces is set to <numitfs>%d</numitfs>",
                 static_cast<int>(iValue));
    }
    g_bdudp.nMaxInterfaces = iValue;
    SettingInt(BDUDPKEY_INT_UPDATECYCLETIME, BDUDP_DEFAULT_UPDATE_CYCLE_S, &iValue);
    if (iValue <= 0 || iValue > 3600) {
        iValue = BDUDP_DEFAULT_UPDATE_CYCLE_S;
    }
    g_bdudp.ulUpdateCycleMs = static_cast<RTS_UI32>(iValue) * 1000u;
    SettingInt(BDUDPKEY_INT_SORTADAPTERS, 0, &iValue);
    g_bdudp.iSortOption = iValue == 1 ? 1 : 0;
    SettingString(BDUDPKEY_STRING_USEONLYADAPTERS, g_bdudp.szUseOnlyAdapters,
                  sizeof(g_bdudp.szUseOnlyAdapters));
    ReadConfigs();
}

void ResetState() {
    g_bdudp.iDefaultPortIdx = BDUDP_DEFAULT_PORT_INDEX;
    g_bdudp.iSortOption = 2;
    g_bdudp.hTask = RTS_INVALID_HANDLE;
    g_bdudp.bThreaded = 1;
}

void StartUp() {
    if (g_bdudp.hLock.load() != RTS_INVALID_HANDLE) {
        return;
    }
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h = SysSemCreate(&r);
    if (h == RTS_INVALID_HANDLE) {
        BdUdpLog(LOG_ERROR, r, "Could not allocate memory");
        return;
    }
    ReadSettings();
    g_bdudp.pDevices =
        g_bdudp.nMaxInterfaces > 0 ? new (std::nothrow) UDPDEVICEDESC[g_bdudp.nMaxInterfaces]() : nullptr;
    if (g_bdudp.nMaxInterfaces > 0 && g_bdudp.pDevices == nullptr) {
        BdUdpLog(LOG_ERROR, ERR_NOMEMORY, "Could not allocate memory");
        SysSemDelete(h);
        return;
    }
    g_bdudp.hLock = h;
    if (g_bdudp.pDevices == nullptr) {
        return;  // no interfaces wanted
    }
    BdUdpCheckAdapters(true);
    g_bdudp.ulLastAdapterCheck = SysTimeGetMs();
    g_bdudp.bStarted = true;
}

void ShutDown() {
    RTS_HANDLE h = g_bdudp.hLock.load();
    if (h == RTS_INVALID_HANDLE) {
        return;
    }
    g_bdudp.bStarted = false;
    std::lock_guard<std::mutex> noPass(g_bdudp.passMutex);
    BdUdpCloseAll();
    g_bdudp.hLock = RTS_INVALID_HANDLE;
    SysSemDelete(h);
    delete[] g_bdudp.pDevices;
    g_bdudp.pDevices = nullptr;
    delete[] g_bdudp.pConfigs;
    g_bdudp.pConfigs = nullptr;
    g_bdudp.nConfigs = 0;
}

void TaskFunction(SYS_TASK_PARAM* ptp) {
    while (ptp->bExit.load() == 0) {
        try {
            RTS_UI32 ulPause = BdUdpPass(kThreadWaitMs);
            if (ulPause > 0) {
                SysTaskWaitSleep(ptp->hTask, ulPause);
            }
        } catch (abi::__forced_unwind&) {
            throw;  // cancellation of the thread must unwind
        } catch (...) {
            BdUdpLog(LOG_EXCEPTION, ERR_EXCEPTION,
                     "*EXCEPTION* <task>%s</task> <IP>0x%x</IP> <BP>0x%x</BP> <SP>0x%x</SP>", kTaskName, 0u,
                     0u, 0u);
            SysTaskWaitSleep(ptp->hTask, 20);
        }
    }
}

void StartTask() {
    if (!g_bdudp.bThreaded.load() || g_bdudp.hTask != RTS_INVALID_HANDLE ||
        g_bdudp.hLock.load() == RTS_INVALID_HANDLE) {
        return;
    }
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h =
        SysTaskCreate2(kTaskName, "Communication", TaskFunction, nullptr, kTaskPriority, 0, 0, nullptr, &r);
    if (h == RTS_INVALID_HANDLE) {
        // Without its thread the driver is polled from the communication cycle.
        g_bdudp.bThreaded = 0;
        return;
    }
    g_bdudp.hTask = h;
    SysTaskResume(h);
}

void StopTask() {
    RTS_HANDLE hTask = g_bdudp.hTask.load();
    if (hTask != RTS_INVALID_HANDLE) {
        SysTaskExit(hTask, kTaskExitWaitMs);
        g_bdudp.hTask = RTS_INVALID_HANDLE;
    }
}

RTS_RESULT ExportFunctions(void) {
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    KL_IMPORT(s_pfCMGetAPI, RouterRegisterNetworkInterface2);
    KL_IMPORT(s_pfCMGetAPI, RouterUnregisterNetworkInterface);
    KL_IMPORT(s_pfCMGetAPI, RouterHandleData);
    // Settings and log are optional: defaults and silence without them.
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetIntValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetStringValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetWStringValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, LogAdd);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    switch (ulHook) {
        case CH_INIT:
            ResetState();
            break;
        case CH_INIT2:
            StartUp();
            break;
        case CH_INIT_COMM:
            StartTask();
            break;
        case CH_EXIT_COMM:
            StopTask();
            break;
        case CH_EXIT2:
            StopTask();
            ShutDown();
            break;
        case CH_COMM_CYCLE:
            if (g_bdudp.hTask == RTS_INVALID_HANDLE) {
                BdUdpPass(0);
            }
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

void BdUdpLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...) {
    PFLogAdd pfLog = pfLogAdd;
    if (pfLog == nullptr) {
        return;
    }
    char szText[LOG_INFO_LEN];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    pfLog(nullptr, CMPID_CmpBlkDrvUdp, ulClass, iError, 0, "%s", szText);
}

RTS_RESULT CmpBlkDrvUdp__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpBlkDrvUdp;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    return ERR_OK;
}
