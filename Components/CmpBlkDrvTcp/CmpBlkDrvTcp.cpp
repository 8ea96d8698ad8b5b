// The TCP block driver component: its shape (entry, imports, hooks), the
// settings, the own address announced to the router, the registration of the
// interface and the communication thread "BlkDrvTcp". The connections
// themselves are handled in BlkDrvTcpConn.cpp.
#include <cxxabi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "CMItf.h"
#include "CmpBlkDrvTcpPrivate.h"
#include "SysTask.h"
#include "SysTime.h"

namespace klbdtcp {
PFRouterRegisterNetworkInterface2 pfRouterRegisterNetworkInterface2 = nullptr;
PFRouterUnregisterNetworkInterface pfRouterUnregisterNetworkInterface = nullptr;
PFRouterHandleData pfRouterHandleData = nullptr;
PFRouterGetBlkAddresses pfRouterGetBlkAddresses = nullptr;
PFMemPoolCreateStatic pfMemPoolCreateStatic = nullptr;
PFMemPoolDelete pfMemPoolDelete = nullptr;
PFMemPoolGetBlock2 pfMemPoolGetBlock2 = nullptr;
PFMemPoolPutBlock pfMemPoolPutBlock = nullptr;
PFMemPoolAddUsedBlock pfMemPoolAddUsedBlock = nullptr;
PFMemPoolGetFirstBlock pfMemPoolGetFirstBlock = nullptr;
PFMemPoolGetNextBlock pfMemPoolGetNextBlock = nullptr;
PFMemPoolLock pfMemPoolLock = nullptr;
PFMemPoolUnlock pfMemPoolUnlock = nullptr;
PFSettgGetIntValue pfSettgGetIntValue = nullptr;
PFSettgGetStringValue pfSettgGetStringValue = nullptr;
PFLogAdd pfLogAdd = nullptr;
}  // namespace klbdtcp

using namespace klbdtcp;

namespace klbdtcp {
BdTcpState g_bdtcp;
}

namespace {

constexpr const char* kCmpName = "CmpBlkDrvTcp";
constexpr const char* kTaskName = "BlkDrvTcp";
constexpr RTS_UI32 kTaskPriority = 95;
constexpr RTS_UI32 kTaskExitWaitMs = 1000;
constexpr RTS_UI32 kThreadWaitMs = 100;
constexpr int kMaxHostAddresses = 16;

PF_GET_API s_pfCMGetAPI = nullptr;
PF_GET_API2 s_pfCMGetAPI2 = nullptr;

// The pool starts with room for one connection and grows one record at a time.
alignas(8) RTS_UI8 s_abyPool[MemPoolStaticAreaSize(1, sizeof(TCPCONN))];

RTS_I32 SettingInt(const char* pszKey, RTS_I32 iDefault) {
    return SettgReadInt(pfSettgGetIntValue, kCmpName, pszKey, iDefault);
}

void SettingString(const char* pszKey, char* pszValue, RTS_SIZE size) {
    SettgReadString(pfSettgGetStringValue, kCmpName, pszKey, pszValue, size);
}

void IpText(RTS_UI32 ulAddr, char* psz, RTS_SIZE size) {
    if (SysSockInetNtoa(&ulAddr, psz, static_cast<int>(size)) != ERR_OK) {
        KlStrCopy(psz, size, "?");
    }
}

// An address read from the settings, with its log lines.
RTS_UI32 AddressSetting(const char* pszKey, const char* pszValidLog, const char* pszInvalidLog) {
    char szValue[64];
    SettingString(pszKey, szValue, sizeof(szValue));
    if (szValue[0] == '\0') {
        return 0;
    }
    RTS_UI32 ulAddr = 0;
    if (SysSockInetAddr(szValue, &ulAddr) != ERR_OK || ulAddr == 0) {
        BdTcpLog(LOG_WARNING, ERR_PARAMETER, pszInvalidLog, szValue);
        return 0;
    }
    if (pszValidLog != nullptr) {
        BdTcpLog(LOG_INFO, ERR_OK, pszValidLog, szValue);
    }
    return ulAddr;
}

RTS_UI32 HostAddress() {
    char szHost[256];
    RTS_UI32 aulAddr[kMaxHostAddresses];
    int n = 0;
    RTS_UI32 ulLoopback = SysSockHtonl(0x7F000001u);
    if (SysSockGetHostName(szHost, sizeof(szHost)) != ERR_OK ||
        SysSockGetHostByName(szHost, aulAddr, kMaxHostAddresses, &n) != ERR_OK) {
        return ulLoopback;
    }
    for (int i = 0; i < n; ++i) {
        RTS_UI32 ulFirst = SysSockNtohl(aulAddr[i]) >> 24;
        if (ulFirst != 127 && ulFirst != 144) {
            return aulAddr[i];
        }
    }
    for (int i = 0; i < n; ++i) {
        if (aulAddr[i] != ulLoopback) {
            return aulAddr[i];
        }
    }
    return ulLoopback;
}

void ReadSettings() {
    g_bdtcp.bEnableClient = SettingInt(BDTCPKEY_INT_ENABLECLIENT, 1) != 0 ? 1 : 0;
    RTS_I32 nSeconds = SettingInt(BDTCPKEY_INT_INACTIVITYTIMEOUT, BDTCP_DEFAULT_INACTIVITY_S);
    if (nSeconds <= 0 || nSeconds > 4000000) {
        nSeconds = BDTCP_DEFAULT_INACTIVITY_S;
    }
    g_bdtcp.ulInactivityTimeoutMs = static_cast<RTS_UI32>(nSeconds) * 1000u;
    g_bdtcp.ulBindAddr = 0;
    g_bdtcp.ulPeerFilter = 0;
    if (SettingInt(BDTCPKEY_INT_LOCALACCESSONLY, 0) != 0) {
        g_bdtcp.ulBindAddr = SysSockHtonl(0x7F000001u);
        g_bdtcp.ulPeerFilter = g_bdtcp.ulBindAddr;
        BdTcpLog(LOG_INFO, ERR_OK,
                 "Local ip address of the only used network adapter: <ipaddress>%s</ipaddress>", "127.0.0.1");
        BdTcpLog(LOG_INFO, ERR_OK, "Only allowed peer ip address: <ipaddress>%s</ipaddress>", "127.0.0.1");
    } else {
        g_bdtcp.ulBindAddr =
            AddressSetting(BDTCPKEY_STRING_LOCALADDRESS,
                           "Local ip address of the only used network adapter: <ipaddress>%s</ipaddress>",
                           "Invalid local ip address <ipaddress>%s</ipaddress> configured");
        g_bdtcp.ulPeerFilter = AddressSetting(BDTCPKEY_STRING_PEERADDRESS,
                                              "Only allowed peer ip address: <ipaddress>%s</ipaddress>",
                                              "Invalid peer ip address <ipaddress>%s</ipaddress> configured");
    }
    RTS_UI32 ulOwn = AddressSetting(BDTCPKEY_STRING_IPADDRESS, nullptr,
                                    "Invalid ip address <ipaddress>%s</ipaddress> configured");
    if (ulOwn == 0) {
        ulOwn = g_bdtcp.ulBindAddr != 0 ? g_bdtcp.ulBindAddr : HostAddress();
    }
    g_bdtcp.ulOwnAddr = ulOwn;
    char szIp[16];
    IpText(ulOwn, szIp, sizeof(szIp));
    BdTcpLog(LOG_INFO, ERR_OK, "Local network address: <ipaddress>%s</ipaddress>", szIp);
    // The own port is 0: this driver accepts no connections.
    memset(&g_bdtcp.addrDevice, 0, sizeof(g_bdtcp.addrDevice));
    g_bdtcp.addrDevice.nLength = BDTCP_NETADDR_LEN;
    memcpy(g_bdtcp.addrDevice.address + 2, &ulOwn, 4);
    SettingString(BDTCPKEY_STRING_NAME, g_bdtcp.szName, sizeof(g_bdtcp.szName));
    if (g_bdtcp.szName[0] == '\0') {
        KlStrCopy(g_bdtcp.szName, sizeof(g_bdtcp.szName), BDTCP_DEFAULT_NAME);
    }
}

bool CreatePool() {
    if (g_bdtcp.hPool != RTS_INVALID_HANDLE) {
        return true;
    }
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h = pfMemPoolCreateStatic != nullptr
                       ? pfMemPoolCreateStatic(sizeof(TCPCONN), sizeof(s_abyPool), s_abyPool, &r)
                       : RTS_INVALID_HANDLE;
    if (h == RTS_INVALID_HANDLE || h == nullptr) {
        BdTcpLog(LOG_ERROR, r, "Could not allocate memory");
        return false;
    }
    g_bdtcp.hPool = h;
    return true;
}

void RegisterInterface() {
    if (!g_bdtcp.bEnableClient) {
        BdTcpLog(LOG_INFO, ERR_OK, "Client is disabled");
        return;
    }
    if (g_bdtcp.hInterface != RTS_INVALID_HANDLE || pfRouterRegisterNetworkInterface2 == nullptr) {
        return;
    }
    NETWORKINTERFACEINFO2 info;
    memset(&info, 0, sizeof(info));
    info.pfBDSend = BdSend;
    info.hInterface = reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>(BDTCP_INTERFACE_MARKER));
    info.nMaxBlockSize = BDTCP_MAX_DATA;
    info.nNetworkAddressBitSize = BDTCP_NETADDR_BITS;
    info.bServiceChannel = 0;
    info.addrDevice = g_bdtcp.addrDevice;
    KlStrCopy(info.szName, sizeof(info.szName), g_bdtcp.szName);
    info.usType = RTS_BLK_DRV_TYPE_TCP;
    RTS_HANDLE h = RTS_INVALID_HANDLE;
    RTS_RESULT r = pfRouterRegisterNetworkInterface2(&info, &h);
    if (r != ERR_OK) {
        BdTcpLog(LOG_ERROR, r, "Failed to register block driver instance");
        g_bdtcp.hInterface = RTS_INVALID_HANDLE;
        return;
    }
    g_bdtcp.hInterface = h;
}

void TaskFunction(SYS_TASK_PARAM* ptp) {
    while (ptp->bExit.load() == 0) {
        try {
            RTS_UI32 ulPause = BdTcpPass(kThreadWaitMs);
            if (ulPause > 0) {
                SysTaskWaitSleep(ptp->hTask, ulPause);
            }
        } catch (abi::__forced_unwind&) {
            throw;  // cancellation of the thread must unwind
        } catch (...) {
            // The loop is the thread's body: going round again restarts it.
            BdTcpLog(LOG_EXCEPTION, ERR_EXCEPTION,
                     "*EXCEPTION* <task>%s</task> <IP>0x%x</IP> <BP>0x%x</BP> <SP>0x%x</SP>", kTaskName, 0u,
                     0u, 0u);
            SysTaskWaitSleep(ptp->hTask, 20);
        }
    }
}

void StartTask() {
    if (!g_bdtcp.bThreaded || g_bdtcp.hTask != RTS_INVALID_HANDLE) {
        return;
    }
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h =
        SysTaskCreate2(kTaskName, "Communication", TaskFunction, nullptr, kTaskPriority, 0, 0, nullptr, &r);
    if (h == RTS_INVALID_HANDLE) {
        // Without its thread the driver is polled from the communication cycle.
        g_bdtcp.bThreaded = 0;
        return;
    }
    g_bdtcp.hTask = h;
    SysTaskResume(h);
}

void StopTask() {
    if (g_bdtcp.hTask != RTS_INVALID_HANDLE) {
        SysTaskExit(g_bdtcp.hTask, kTaskExitWaitMs);
        g_bdtcp.hTask = RTS_INVALID_HANDLE;
    }
}

RTS_RESULT ExportFunctions(void) {
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    KL_IMPORT(s_pfCMGetAPI, RouterRegisterNetworkInterface2);
    KL_IMPORT(s_pfCMGetAPI, RouterUnregisterNetworkInterface);
    KL_IMPORT(s_pfCMGetAPI, RouterHandleData);
    KL_IMPORT(s_pfCMGetAPI, RouterGetBlkAddresses);
    KL_IMPORT(s_pfCMGetAPI, MemPoolCreateStatic);
    KL_IMPORT(s_pfCMGetAPI, MemPoolDelete);
    KL_IMPORT(s_pfCMGetAPI, MemPoolGetBlock2);
    KL_IMPORT(s_pfCMGetAPI, MemPoolPutBlock);
    KL_IMPORT(s_pfCMGetAPI, MemPoolAddUsedBlock);
    KL_IMPORT(s_pfCMGetAPI, MemPoolGetFirstBlock);
    KL_IMPORT(s_pfCMGetAPI, MemPoolGetNextBlock);
    KL_IMPORT(s_pfCMGetAPI, MemPoolLock);
    KL_IMPORT(s_pfCMGetAPI, MemPoolUnlock);
    // Settings and log are optional: defaults and silence without them.
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetIntValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetStringValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, LogAdd);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    switch (ulHook) {
        case CH_INIT:
            g_bdtcp.hInterface = RTS_INVALID_HANDLE;
            g_bdtcp.hTask = RTS_INVALID_HANDLE;
            g_bdtcp.bThreaded = 1;
            g_bdtcp.nSelectFailures = 0;
            break;
        case CH_INIT3:
            ReadSettings();
            if (CreatePool()) {
                RegisterInterface();
            }
            break;
        case CH_INIT_COMM:
            // After a stop without the final exit the runtime starts again from
            // here: the pool and the interface are back before the thread runs.
            if (CreatePool() && g_bdtcp.bEnableClient) {
                RegisterInterface();
            }
            StartTask();
            break;
        case CH_EXIT_COMM:
            StopTask();
            break;
        case CH_EXIT3:
            if (g_bdtcp.hInterface != RTS_INVALID_HANDLE && pfRouterUnregisterNetworkInterface != nullptr) {
                pfRouterUnregisterNetworkInterface(g_bdtcp.hInterface);
            }
            g_bdtcp.hInterface = RTS_INVALID_HANDLE;
            BdTcpCloseAll();
            if (g_bdtcp.hPool != RTS_INVALID_HANDLE && pfMemPoolDelete != nullptr) {
                pfMemPoolDelete(g_bdtcp.hPool, kCmpName);
            }
            g_bdtcp.hPool = RTS_INVALID_HANDLE;
            break;
        case CH_COMM_CYCLE:
            if (g_bdtcp.hTask == RTS_INVALID_HANDLE && g_bdtcp.hPool != RTS_INVALID_HANDLE) {
                BdTcpPass(0);
            }
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

namespace klbdtcp {

void BdTcpLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...) {
    PFLogAdd pfLog = pfLogAdd;
    if (pfLog == nullptr) {
        return;
    }
    char szText[LOG_INFO_LEN];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    pfLog(nullptr, CMPID_CmpBlkDrvTcp, ulClass, iError, 0, "%s", szText);
}

}  // namespace klbdtcp

RTS_RESULT CmpBlkDrvTcp__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpBlkDrvTcp;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    return ERR_OK;
}
