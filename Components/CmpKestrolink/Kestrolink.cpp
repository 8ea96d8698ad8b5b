// Set-up of CKestrolink: construction and destruction (with the start and
// stop of the SDK's runtime), the configuration operations and their
// normalisation, the connection's logging, the network scan, the item
// operations over the device's symbol table and the callback base class.
// The state machine and the threads are in KestrolinkConnect.cpp.
#include "Kestrolink.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "CMItf.h"
#include "CmpKestrolinkMain.h"
#include "CmpLogBackendFileItf.h"
#include "CmpLogItf.h"
#include "PLCComARTI3.h"
#include "PLCComScan3.h"
#include "PLCComSim3.h"
#include "PLCConfig.h"
#include "PLCUtil.h"
#include "SymbolUtil.h"
#include "SysEvent.h"
#include "SysFile.h"
#include "SysSem.h"
#include "SysTime.h"

namespace {

constexpr const char* kDefaultClientName = "Kestrolink based client";
constexpr const char* kDefaultLogFile = "Kestrolink.log";
constexpr const char* kConfigTempFile = "ConfigTemp.ini";
constexpr const char* kHiddenPassword = "XXX :-)";
constexpr RTS_UI32 kMinTimeMs = 1000;
constexpr RTS_UI32 kSimulationReconnectMs = 20000;
constexpr RTS_UI32 kNoReconnect = 0xFFFFFFFFu;
// Options of a logger made by SetLogFile: normal, dump always, high-resolution
// time stamps (0x6404; 8 more for local time), every class, 100 entries.
constexpr RTS_I32 kOwnLoggerType = 0x6404;
constexpr RTS_I32 kOwnLoggerFilter = 0x7FFFFFFF;
constexpr RTS_I32 kOwnLoggerEntries = 100;
constexpr RTS_UI32 kScanPollMs = 100;
// A scan reports its end within its own time-out; this bound only keeps a
// broken scan device from holding the destructor for ever.
constexpr RTS_UI32 kScanWaitLimitMs = 30000;

// "ConfigTemp.ini" is one file in the working directory for every object of
// the process.
std::mutex s_configTempMutex;

template <typename T>
T Api(RTS_VOID_FCTPTR pf) {
    return reinterpret_cast<T>(pf);
}

RTS_VOID_FCTPTR Resolve(const char* pszName, RTS_UI32 ulSignature) {
    RTS_VOID_FCTPTR pf = nullptr;
    if (CMGetAPI(pszName, &pf, ulSignature) != ERR_OK) {
        return nullptr;
    }
    return pf;
}

void StoreI8(RTS_I8* p, RTS_I8 v) {
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
RTS_I8 LoadI8(const RTS_I8* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
void StoreU32(RTS_UI32* p, RTS_UI32 v) {
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
RTS_UI32 LoadU32(const RTS_UI32* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

const char* Text(const char* psz) {
    return psz != nullptr ? psz : "";
}

const char* ItfName(ItfType it) {
    switch (it) {
        case IT_SIMULATION:
            return "IT_SIMULATION";
        case IT_ARTI:
            return "IT_ARTI";
        case IT_GATEWAY:
            return "IT_GATEWAY";
        case IT_DIRECT:
            return "IT_DIRECT";
        case IT_GATEWAY3:
            return "IT_GATEWAY3";
        case IT_SIMULATION3:
            return "IT_SIMULATION3";
        case IT_ARTI3:
            return "IT_ARTI3";
        default:
            return "IT_INVALID";
    }
}

// Replaces an owned text by a copy; false when memory ran out (old text kept).
bool ReplaceOwnedText(char** ppszDest, const char* pszSrc) {
    char* pszCopy = nullptr;
    if (pszSrc != nullptr) {
        pszCopy = UtlStrDup(pszSrc);
        if (pszCopy == nullptr) {
            return false;
        }
    }
    delete[] * ppszDest;
    *ppszDest = pszCopy;
    return true;
}

}  // namespace

std::atomic<RTS_I32> CKestrolink::s_i32CKestrolinkInstanceCounter{0};
std::atomic<RTS_I32> CKestrolink::s_bFinalShutDown{0};

// ---- Callback base ------------------------------------------------------------------------------

CKestrolinkCallback::CKestrolinkCallback(RTS_HANDLE hEvent) : m_hEvent(hEvent), m_bDeleteEvent(1) {}

CKestrolinkCallback::CKestrolinkCallback(RTS_HANDLE hEvent, int bDeleteEvent)
    : m_hEvent(hEvent), m_bDeleteEvent(bDeleteEvent) {}

CKestrolinkCallback::~CKestrolinkCallback() {
    if (m_bDeleteEvent && KlIsValidHandle(m_hEvent)) {
        SysEventDelete(m_hEvent);
    }
}

long CKestrolinkCallback::Notify(CKestrolink* pKestrolink, CallbackAddInfoTag info) {
    (void)pKestrolink;
    (void)info;
    if (KlIsValidHandle(m_hEvent)) {
        SysEventSet(m_hEvent);
        return 1;
    }
    return 0;
}

long CKestrolinkCallback::VerifyPlcCertificate(CKestrolink* pKestrolink, char* pszBase64PlcCert,
                                               unsigned long ulBase64PlcCertSize, long lVerifyResult) {
    (void)pKestrolink;
    (void)pszBase64PlcCert;
    (void)ulBase64PlcCertSize;
    return lVerifyResult;
}

long CKestrolinkCallback::RequestCredentials(CKestrolink* pKestrolink, RequestCredentialsType type,
                                             char* pUserName, unsigned long userNameBufSize, char* pPassword,
                                             unsigned long passwordBufSize) {
    (void)pKestrolink;
    (void)type;
    (void)pUserName;
    (void)userNameBufSize;
    (void)pPassword;
    (void)passwordBufSize;
    return RESULT_NO_CREDENTIALS;
}

// ---- Construction ---------------------------------------------------------------------------------

namespace {
// Starts the SDK's runtime for one object.
RTS_RESULT StartRuntime(bool* pbStarted) {
    RTS_RESULT result = InitComponents();
    *pbStarted = result == ERR_OK;
    return result;
}
}  // namespace

CKestrolink::CKestrolink(void* hLogger) {
    m_iInitComponentsResult = StartRuntime(&m_bComponentsStarted);
    ResolveLogFunctions();
    Init(hLogger);
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->::CKestrolink(hLogFile=0x%x)",
                static_cast<unsigned>(reinterpret_cast<RTS_UINTPTR>(hLogger)));
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-::CKestrolink()");
}

CKestrolink::CKestrolink(PlcConfig* pPlcConfig, PlcDeviceDesc* pDeviceDesc, void* hLogger) {
    m_iInitComponentsResult = StartRuntime(&m_bComponentsStarted);
    ResolveLogFunctions();
    Init(hLogger);
    AddLogEntry(LOG_DEBUG, 0,
                "CKestrolink: ->::CKestrolink(pPlcConfig=0x%p, pDeviceDesc=0x%p, hLogFile=0x%x)",
                static_cast<void*>(pPlcConfig), static_cast<void*>(pDeviceDesc),
                static_cast<unsigned>(reinterpret_cast<RTS_UINTPTR>(hLogger)));
    SetConfig(pPlcConfig, pDeviceDesc);
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-::CKestrolink()");
}

CKestrolink::CKestrolink(const char* pszPlcName, const char* pszIniFile, void* hLogger) {
    if (pszIniFile != nullptr) {
        SetSettingsFileName(pszIniFile);
    }
    m_iInitComponentsResult = StartRuntime(&m_bComponentsStarted);
    ResolveLogFunctions();
    Init(hLogger);
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->::CKestrolink(pszPlcName=0x%p, pszIniFile=0x%p, hLogFile=0x%x)",
                static_cast<const void*>(pszPlcName), static_cast<const void*>(pszIniFile),
                static_cast<unsigned>(reinterpret_cast<RTS_UINTPTR>(hLogger)));
    m_pPlcConfig->ulId = static_cast<RTS_UI32>(GetPlcIdbyName(pszPlcName, pszIniFile));
    SetConfig(pszIniFile);
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-::CKestrolink()");
}

CKestrolink::CKestrolink(RTS_UI32 ulId, const char* pszIniFile, void* hLogger) {
    if (pszIniFile != nullptr) {
        SetSettingsFileName(pszIniFile);
    }
    m_iInitComponentsResult = StartRuntime(&m_bComponentsStarted);
    ResolveLogFunctions();
    Init(hLogger);
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->::CKestrolink(ulId=%ld, pszIniFile=0x%p, hLogFile=0x%x)",
                static_cast<long>(ulId), static_cast<const void*>(pszIniFile),
                static_cast<unsigned>(reinterpret_cast<RTS_UINTPTR>(hLogger)));
    m_pPlcConfig->ulId = ulId;
    SetConfig(pszIniFile);
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-::CKestrolink()");
}

void CKestrolink::Init(void* hLogger) {
    m_pPlcConfig = new PlcConfig();
    UtlSetDefaultPlcConfig(m_pPlcConfig, 0);
    m_pDeviceDesc = new PlcDeviceDesc();
    m_pszClientName = UtlStrDup(kDefaultClientName);
    m_hsemOnlineAccess = SysSemCreate(nullptr);
    m_hsemConnect = SysSemCreate(nullptr);
    m_hsemReconnect = SysSemCreate(nullptr);
    m_hsemCycListRef = SysSemCreate(nullptr);
    m_hLogger = hLogger != nullptr ? hLogger : RTS_INVALID_HANDLE;
    m_i32InstanceNumber = s_i32CKestrolinkInstanceCounter.fetch_add(1);
}

void CKestrolink::ResolveLogFunctions() {
    if (m_iInitComponentsResult != ERR_OK) {
        return;
    }
    m_pfLogAddArg = Resolve("LogAddArg", SIG_LogAddArg);
    m_pfLogOpen = Resolve("LogOpen", SIG_LogOpen);
    m_pfLogCreate = Resolve("LogCreate", SIG_LogCreate);
    m_pfLogDelete = Resolve("LogDelete", SIG_LogDelete);
    m_pfLogRegisterBackend = Resolve("LogRegisterBackend", SIG_LogRegisterBackend);
}

void CKestrolink::StopAll() {
    if (m_bStopped) {
        return;
    }
    m_bStopped = true;
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->::~CKestrolink()");
    AddLogEntry(LOG_INFO, 0, "CKestrolink: begin shutdown...");
    SetState(STATE_TERMINATE);
    Disconnect();
    if (m_pPlcFoundCallback.load() != nullptr || m_pplccomScanNetwork.load() != nullptr) {
        AddLogEntry(LOG_INFO, 0, "CKestrolink: wait for finishing last scan...");
        RTS_UI32 ulStart = SysTimeGetMs();
        while ((m_pPlcFoundCallback.load() != nullptr || !m_bScanComplete.load()) &&
               m_pplccomScanNetwork.load() != nullptr &&
               SysTimeElapsedMs(SysTimeGetMs(), ulStart) < kScanWaitLimitMs) {
            SysTaskWaitSleep(nullptr, kScanPollMs);
        }
        m_pPlcFoundCallback = nullptr;
        delete m_pplccomScanNetwork.exchange(nullptr);
    }
}

CKestrolink::~CKestrolink() {
    StopAll();
    // The device object is gone: lists the client did not release go now.
    SyncDeleteAllLists();
    AddLogEntry(LOG_INFO, 0, "CKestrolink: shutdown done.");
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-::~CKestrolink()");
    DeleteOwnLogger();

    for (RTS_HANDLE* phSem :
         {&m_hsemOnlineAccess, &m_hsemConnect, &m_hsemReconnect, &m_hsemCycListRef, &m_hsemCycListAccess}) {
        if (*phSem != RTS_INVALID_HANDLE) {
            SysSemDelete(*phSem);
            *phSem = RTS_INVALID_HANDLE;
        }
    }
    UtlDeletePlcConfig(m_pPlcConfig);
    delete m_pPlcConfig;
    m_pPlcConfig = nullptr;
    UtlDeletePlcDeviceDesc(m_pDeviceDesc);
    delete m_pDeviceDesc;
    m_pDeviceDesc = nullptr;
    delete[] m_pszClientName;
    delete[] m_pszClientVendorName;
    delete[] m_pszClientVersion;
    delete[] m_pszGWPwdBackup;
    if (m_bComponentsStarted) {
        ExitComponents(s_bFinalShutDown.load());
    }
}

void CKestrolink::SetDeviceFactory(PFKESTROLINKCREATEDEVICE pfCreate, void* pUser) {
    m_pfCreateDevice = pfCreate;
    m_pCreateDeviceUser = pUser;
}

CPLCComBase* CKestrolink::CreatePlcComObject(ItfType it, const PlcConfig* pPlcConfig, void* hLogger,
                                             bool bForScan) {
    if (!bForScan) {
        switch (it) {
            case IT_SIMULATION:
            case IT_ARTI:
            case IT_GATEWAY:
            case IT_DIRECT:
            case IT_GATEWAY3:
            case IT_SIMULATION3:
            case IT_ARTI3:
                AddLogEntry(LOG_INFO, 0, "CKestrolink: Interface: %s used", ItfName(it));
                break;
            default:
                break;
        }
    }
    if (m_pfCreateDevice != nullptr) {
        CPLCComBase* pDevice =
            m_pfCreateDevice(m_pCreateDeviceUser, this, it, pPlcConfig, m_pDeviceDesc, hLogger);
        if (pDevice != nullptr) {
            return pDevice;
        }
    }
    switch (it) {
        case IT_SIMULATION3:
            return bForScan ? nullptr : new (std::nothrow) CPLCComSim3(pPlcConfig, m_pDeviceDesc, hLogger);
        case IT_ARTI3:
            // The direct transport scans through the name service with a
            // device object of its own.
            return bForScan ? static_cast<CPLCComBase*>(new (std::nothrow)
                                                            CPLCComScan3(pPlcConfig, m_pDeviceDesc, hLogger))
                            : new (std::nothrow) CPLCComARTI3(pPlcConfig, m_pDeviceDesc, hLogger);
        default:
            // The older-generation devices are not part of this SDK; the V3
            // direct and gateway devices join this choice when they exist.
            return nullptr;
    }
}

RTS_I32 CKestrolink::RequestCredentialsCallback(RTS_UINTPTR ulUserData, RequestCredentialsType type,
                                                char* pUserName, RTS_UI32 userNameBufSize, char* pPassword,
                                                RTS_UI32 passwordBufSize) {
    auto* pThis = reinterpret_cast<CKestrolink*>(ulUserData);
    CKestrolinkCallback* pCallback = pThis != nullptr ? pThis->m_pStateChangedCallback.load() : nullptr;
    if (pCallback == nullptr) {
        return RESULT_NO_CREDENTIALS;
    }
    return static_cast<RTS_I32>(
        pCallback->RequestCredentials(pThis, type, pUserName, userNameBufSize, pPassword, passwordBufSize));
}

RTS_I32 CKestrolink::VerifyCallback(RTS_UINTPTR ulUserData, char* pszBase64PlcCert,
                                    RTS_UI32 ulBase64PlcCertSize, RTS_I32 lVerifyResult) {
    auto* pThis = reinterpret_cast<CKestrolink*>(ulUserData);
    CKestrolinkCallback* pCallback = pThis != nullptr ? pThis->m_pStateChangedCallback.load() : nullptr;
    if (pCallback == nullptr) {
        return lVerifyResult;
    }
    return static_cast<RTS_I32>(
        pCallback->VerifyPlcCertificate(pThis, pszBase64PlcCert, ulBase64PlcCertSize, lVerifyResult));
}

// ---- Plain queries ----------------------------------------------------------------------------------

RTS_UI32 CKestrolink::GetVersion(char* pszVersion, RTS_I32 lLen) {
    if (pszVersion != nullptr && lLen >= 1) {
        KlStrCopy(pszVersion, static_cast<RTS_SIZE>(lLen), KESTROLINK_VERSION_TEXT);
    }
    return KESTROLINK_VERSION_NUMBER;
}

const char* CKestrolink::GetName() {
    return m_pPlcConfig->pszName;
}

RTS_UI32 CKestrolink::GetId() {
    return m_pPlcConfig->ulId;
}

CPLCComBase* CKestrolink::GetPlcComObject() {
    return m_pplccom.load();
}

void CKestrolink::SetFinalShutDown() {
    s_bFinalShutDown = 1;
}

RTS_I32 CKestrolink::SetTimeout(RTS_UI32 ulTimeout) {
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice == nullptr) {
        return RESULT_FAILED;
    }
    return pDevice->SetTimeout(ulTimeout) == PLCCOM_OK ? RESULT_OK : RESULT_FAILED;
}

RTS_UI32 CKestrolink::GetTimeout() {
    CPLCComBase* pDevice = m_pplccom.load();
    return pDevice != nullptr ? pDevice->GetTimeout() : 0;
}

RTS_UI32 CKestrolink::GetRetries() {
    CPLCComBase* pDevice = m_pplccom.load();
    return pDevice != nullptr ? pDevice->GetRetries() : 0;
}

RTS_I32 CKestrolink::SetClientInformation(const char* pszClientName, const char* pszClientVendorName,
                                          const char* pszClientVersion, RTS_UI16 usClientSpecific) {
    SysSemGuard guard(m_hsemConnect);
    if (m_bFirstConnectDone) {
        return RESULT_FAILED;
    }
    char* apszCopies[3] = {nullptr, nullptr, nullptr};
    const char* apszSources[3] = {pszClientName, pszClientVendorName, pszClientVersion};
    for (int i = 0; i < 3; ++i) {
        if (apszSources[i] != nullptr && (apszCopies[i] = UtlStrDup(apszSources[i])) == nullptr) {
            for (char* psz : apszCopies) {
                delete[] psz;
            }
            return RESULT_FAILED;
        }
    }
    delete[] m_pszClientName;
    delete[] m_pszClientVendorName;
    delete[] m_pszClientVersion;
    m_pszClientName = apszCopies[0];
    m_pszClientVendorName = apszCopies[1];
    m_pszClientVersion = apszCopies[2];
    m_usClientSpecific = usClientSpecific;
    return RESULT_OK;
}

// ---- Configuration ------------------------------------------------------------------------------

RTS_I32 CKestrolink::GetPlcIdbyName(const char* pszPlcName, const char* pszIniFile) {
    return ::GetPlcIdbyName(pszPlcName, pszIniFile);
}

RTS_I32 CKestrolink::SetConfig(PlcConfig* pPlcConfig, PlcDeviceDesc* pDeviceDesc) {
    if (pPlcConfig == nullptr && pDeviceDesc == nullptr) {
        return RESULT_INVALIDPARAMETER;
    }
    if (pPlcConfig != nullptr && pPlcConfig->it == IT_INVALID) {
        return RESULT_NO_CONFIGURATION;
    }
    if (pPlcConfig != nullptr && pPlcConfig != m_pPlcConfig &&
        UtlCopyPlcConfig(m_pPlcConfig, pPlcConfig) == 0) {
        // The copy left an empty record behind: back to the defaults.
        UtlSetDefaultPlcConfig(m_pPlcConfig, 0);
        return RESULT_FAILED;
    }
    if (pDeviceDesc != nullptr && pDeviceDesc != m_pDeviceDesc &&
        UtlCopyPlcDeviceDesc(m_pDeviceDesc, pDeviceDesc) == 0) {
        return RESULT_FAILED;
    }
    SetLogging(m_pPlcConfig->bLogToFile, m_pPlcConfig->ulLogFilter);
    ValidateAndReadConfig();
    return RESULT_OK;
}

RTS_I32 CKestrolink::SetConfig(const char* pszIniFile) {
    if (pszIniFile == nullptr) {
        return RESULT_FAILED;
    }
    if (UtlSetConfigFromIniFile(pszIniFile, m_pPlcConfig, m_pDeviceDesc) != ERR_OK) {
        SetState(STATE_NO_CONFIGURATION);
        return RESULT_FAILED;
    }
    SetLogging(m_pPlcConfig->bLogToFile == 1 ? 1 : 0, m_pPlcConfig->ulLogFilter);
    ValidateAndReadConfig();
    return RESULT_OK;
}

RTS_I32 CKestrolink::SetConfig(const char* pszConfig, RTS_UI32 ulConfigLen, const char* pszLineEnd) {
    // The INI reader takes CR, LF and CR LF alike, so the text is written as
    // it stands.
    (void)pszLineEnd;
    if (pszConfig == nullptr) {
        return RESULT_INVALIDPARAMETER;
    }
    std::lock_guard<std::mutex> lock(s_configTempMutex);
    RTS_RESULT result = ERR_FAILED;
    RTS_HANDLE hFile = SysFileOpen(kConfigTempFile, AM_WRITE, &result);
    if (hFile == RTS_INVALID_HANDLE || result != ERR_OK) {
        SysFileDelete(kConfigTempFile);
        return RESULT_FAILED;
    }
    RTS_RESULT writeResult = ERR_FAILED;
    RTS_SIZE ulWritten = ulConfigLen > 0 ? SysFileWrite(hFile, pszConfig, ulConfigLen, &writeResult) : 0;
    RTS_RESULT closeResult = SysFileClose(hFile);
    RTS_I32 lResult = RESULT_FAILED;
    if ((ulConfigLen == 0 || (writeResult == ERR_OK && ulWritten == ulConfigLen)) && closeResult == ERR_OK) {
        lResult = SetConfig(kConfigTempFile);
    }
    SysFileDelete(kConfigTempFile);
    return lResult;
}

RTS_I32 CKestrolink::SetConfigInteractive() {
    if (m_pPlcConfig->it == IT_INVALID) {
        return RESULT_NO_CONFIGURATION;
    }
    if (m_pPlcConfig->it != IT_GATEWAY) {
        return RESULT_NOT_SUPPORTED;
    }
    AddLogEntry(LOG_INFO, 0, "CKestrolink: SetConfigInteractive: Interface IT_GATEWAY used");
    // The older-generation gateway device that completes a configuration
    // interactively is not part of this SDK.
    return RESULT_FAILED;
}

RTS_I32 CKestrolink::GetConfig(PlcConfig** ppPlcConfig, PlcDeviceDesc** ppDeviceDesc) {
    if (ppPlcConfig != nullptr) {
        if (*ppPlcConfig != nullptr) {
            UtlCopyPlcConfig(*ppPlcConfig, m_pPlcConfig);
        } else {
            *ppPlcConfig = m_pPlcConfig;
            m_bConfigIsPrinted = 0;
        }
    }
    if (ppDeviceDesc != nullptr) {
        if (*ppDeviceDesc != nullptr) {
            UtlCopyPlcDeviceDesc(*ppDeviceDesc, m_pDeviceDesc);
        } else {
            *ppDeviceDesc = m_pDeviceDesc;
            m_bConfigIsPrinted = 0;
        }
    }
    return RESULT_OK;
}

RTS_I32 CKestrolink::SaveConfigInFile(const char* pszIniFile) {
    return UtlSaveConfigInFile(pszIniFile);
}

void CKestrolink::ValidateAndReadConfig() {
    PlcConfig* pConfig = m_pPlcConfig;
    PlcDeviceDesc* pDevice = m_pDeviceDesc;
    if (pDevice->pszProject != nullptr && pDevice->pszProject[0] != '\0') {
        if (pConfig->pszProjectName == nullptr || pConfig->pszProjectName[0] == '\0') {
            delete[] pConfig->pszProjectName;
            pConfig->pszProjectName = pDevice->pszProject;
            pDevice->pszProject = nullptr;
        } else {
            delete[] pConfig->pszProjectName;
            pConfig->pszProjectName = nullptr;
        }
    }
    if (pConfig->it == IT_GATEWAY && (pDevice->pszInstance == nullptr || pDevice->pszInstance[0] == '\0')) {
        ReplaceOwnedText(&pDevice->pszInstance, "DefaultInstance");
    }
    if (pConfig->it == IT_GATEWAY3 || pConfig->it == IT_ARTI3) {
        pConfig->bLogin = 1;
    }
    if ((pConfig->it == IT_SIMULATION || pConfig->it == IT_SIMULATION3) && pConfig->ulReconnectTime == 0) {
        pConfig->ulReconnectTime = kSimulationReconnectMs;
    }
    if (pConfig->ulReconnectTime != kNoReconnect && pConfig->ulReconnectTime < kMinTimeMs) {
        pConfig->ulReconnectTime = kMinTimeMs;
    }
    if (pConfig->ulTimeout < kMinTimeMs) {
        pConfig->ulTimeout = kMinTimeMs;
    }
    if (pConfig->ulNumTries == 0) {
        pConfig->ulNumTries = 1;
    }
    m_bWriteThroughReadCache = UtlStructReadULong("WriteThroughReadCache", 0, pDevice) != 0 ? 1 : 0;
    m_bDataChangeOnPlc = UtlStructReadULong("CheckDataChangeOnPlc", 0, pDevice) != 0 ? 1 : 0;
    m_bUseLocalTimeInLogfile = UtlStructReadULong("UseLocalTimeInLogfile", 0, pDevice) != 0 ? 1 : 0;
    m_bConnectOnly = UtlStructReadULong("ConnectOnly", 0, pDevice) != 0 ? 1 : 0;
    m_bKeepAliveConfig = UtlStructReadULong("SendKeepAlive", 1, pDevice) != 0 ? 1 : 0;
    m_bConfigIsPrinted = 0;
}

void CKestrolink::PrintConfig() {
    const PlcConfig* c = m_pPlcConfig;
    const PlcDeviceDesc* d = m_pDeviceDesc;
    AddLogEntry(LOG_INFO, 0, "---------- Configuration ----------");
    AddLogEntry(LOG_INFO, 0, "Kestrolink Version: %s", KESTROLINK_VERSION_TEXT);
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->ulId = %ld, m_pPlcConfig->pszName = %s",
                static_cast<long>(c->ulId), Text(c->pszName));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->it = %s, m_pPlcConfig->bActive = %d", ItfName(c->it),
                static_cast<int>(c->bActive));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->bMotorola = %d, m_pPlcConfig->bLogin = %d",
                static_cast<int>(c->bMotorola), static_cast<int>(c->bLogin));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->bLogToFile = %d, m_pPlcConfig->ulLogFilter = 0x%lx",
                static_cast<int>(LoadI8(&c->bLogToFile)),
                static_cast<unsigned long>(LoadU32(&c->ulLogFilter)));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->bPreCheckIdentity = %d", static_cast<int>(c->bPreCheckIdentity));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->ulTimeout = %ld, m_pPlcConfig->ulNumTries = %ld",
                static_cast<long>(c->ulTimeout), static_cast<long>(c->ulNumTries));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->ulWaitTime = %ld, m_pPlcConfig->ulReconnectTime = %ld",
                static_cast<long>(static_cast<RTS_I32>(c->ulWaitTime)),
                static_cast<long>(static_cast<RTS_I32>(c->ulReconnectTime)));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->pszHwType = %s, m_pPlcConfig->ulHwVersion = %ld",
                Text(c->pszHwType), static_cast<long>(c->ulHwVersion));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->ulBufferSize = %ld", static_cast<long>(c->ulBufferSize));
    AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->pszProjectName = %s, m_pPlcConfig->pszDllDirectory = %s",
                Text(c->pszProjectName), Text(c->pszDllDirectory));
    if (c->gwc != nullptr) {
        AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->gwc->pszDeviceName = %s, m_pPlcConfig->gwc->pszAddress = %s",
                    Text(c->gwc->pszDeviceName), Text(c->gwc->pszAddress));
        AddLogEntry(LOG_INFO, 0, "m_pPlcConfig->gwc->ulPort = %ld, m_pPlcConfig->gwc->pszPassword = %s",
                    static_cast<long>(c->gwc->ulPort), c->gwc->pszPassword != nullptr ? kHiddenPassword : "");
    }
    AddLogEntry(LOG_INFO, 0, "m_pDeviceDesc->pszName = %s, m_pDeviceDesc->pszInstance = %s", Text(d->pszName),
                Text(d->pszInstance));
    AddLogEntry(LOG_INFO, 0, "m_pDeviceDesc->pszProject = %s, m_pDeviceDesc->ulNumParams = %ld",
                Text(d->pszProject), static_cast<long>(d->ulNumParams));
    for (RTS_UI32 i = 0; d->ppd != nullptr && i < d->ulNumParams; ++i) {
        const PlcParameterDesc& pd = d->ppd[i];
        char szValue[256] = "";
        if (pd.pszName != nullptr && strcmp(pd.pszName, "Password") == 0) {
            KlStrCopy(szValue, sizeof(szValue), kHiddenPassword);
        } else if (pd.pParameter != nullptr) {
            const PlcParameter& p = *pd.pParameter;
            switch (p.Type) {
                case PLC_PT_ULONG:
                    snprintf(szValue, sizeof(szValue), "%lu", static_cast<unsigned long>(p.Value.dw));
                    break;
                case PLC_PT_REAL:
                    snprintf(szValue, sizeof(szValue), "%g", static_cast<double>(p.Value.r));
                    break;
                case PLC_PT_LREAL:
                    snprintf(szValue, sizeof(szValue), "%g", p.Value.lr);
                    break;
                case PLC_PT_STRING:
                    KlStrCopy(szValue, sizeof(szValue), p.Value.psz);
                    break;
                case PLC_PT_WSTRING:
                    UtlWStrToStr(szValue, sizeof(szValue), p.Value.pwsz);
                    break;
                default:
                    break;
            }
        }
        AddLogEntry(LOG_INFO, 0, "parameter%ld = %s, value%ld = %s", static_cast<long>(i), Text(pd.pszName),
                    static_cast<long>(i), szValue);
    }
    AddLogEntry(LOG_INFO, 0, "-----------------------------------");
}

// ---- Logging ---------------------------------------------------------------------------------------

bool CKestrolink::LogEnabled(RTS_I32 iClassID) {
    RTS_HANDLE hLogger = m_hLogger.load();
    return hLogger != RTS_INVALID_HANDLE && hLogger != nullptr && m_pfLogAddArg != nullptr &&
           m_pPlcConfig != nullptr && LoadI8(&m_pPlcConfig->bLogToFile) != 0 &&
           (static_cast<RTS_UI32>(iClassID) & LoadU32(&m_pPlcConfig->ulLogFilter)) != 0;
}

RTS_I32 CKestrolink::AddLogEntryArg(RTS_UI32 CmpId, RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo,
                                    va_list argList) {
    if (pszInfo == nullptr || !LogEnabled(iClassID)) {
        return RESULT_FAILED;
    }
    // The caller's text is formatted here; what reaches the logger is plain
    // text, so a '%' in the controller's name is never read as a conversion.
    char szText[PLCCOM_LOG_LINE_LEN];
    vsnprintf(szText, sizeof(szText), pszInfo, argList);
    char szLine[PLCCOM_LOG_LINE_LEN];
    const char* pszName = m_pPlcConfig->pszName;
    RTS_SIZE ulPos = 0;
    if (pszName != nullptr && pszName[0] != '\0') {
        szLine[ulPos++] = '[';
        for (RTS_SIZE i = 0; i < PLCCOM_LOG_NAME_LEN && pszName[i] != '\0'; ++i) {
            szLine[ulPos++] = pszName[i];
        }
        szLine[ulPos++] = ']';
        szLine[ulPos++] = ':';
        szLine[ulPos++] = ' ';
    }
    // The rest of the line takes as much of the text as fits.
    KlStrCopy(szLine + ulPos, sizeof(szLine) - ulPos, szText);
    auto pfLogAdd = [this](RTS_UI32 cmp, RTS_I32 cls, RTS_I32 err, const char* pszFormat, ...) {
        va_list args;
        va_start(args, pszFormat);
        RTS_RESULT r = Api<PFLogAddArg>(m_pfLogAddArg)(m_hLogger.load(), cmp, static_cast<RTS_UI32>(cls), err,
                                                       0, pszFormat, args);
        va_end(args);
        return r;
    };
    return pfLogAdd(CmpId, iClassID, iErrorID, "%s", szLine) == ERR_OK ? RESULT_OK : RESULT_FAILED;
}

RTS_I32 CKestrolink::AddLogEntry(RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo, ...) {
    va_list args;
    va_start(args, pszInfo);
    RTS_I32 lResult = AddLogEntryArg(CMPID_CmpKestrolink, iClassID, iErrorID, pszInfo, args);
    va_end(args);
    return lResult;
}

RTS_I32 CKestrolink::AddLogEntry(RTS_UI32 CmpId, RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo,
                                 ...) {
    va_list args;
    va_start(args, pszInfo);
    RTS_I32 lResult = AddLogEntryArg(CmpId, iClassID, iErrorID, pszInfo, args);
    va_end(args);
    return lResult;
}

RTS_I32 CKestrolink::AddLogEntry(RTS_UI32 CmpId, RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo,
                                 va_list* pArgList) {
    if (pArgList == nullptr) {
        return RESULT_INVALIDPARAMETER;
    }
    va_list args;
    va_copy(args, *pArgList);
    RTS_I32 lResult = AddLogEntryArg(CmpId, iClassID, iErrorID, pszInfo, args);
    va_end(args);
    return lResult;
}

RTS_I32 CKestrolink::SetLogging(RTS_I32 bEnable, RTS_UI32 ulLogFilter) {
    StoreI8(&m_pPlcConfig->bLogToFile, bEnable != 0 ? 1 : 0);
    StoreU32(&m_pPlcConfig->ulLogFilter, ulLogFilter);
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice != nullptr) {
        if (bEnable && m_hLogger.load() == RTS_INVALID_HANDLE) {
            SetLogFile(kDefaultLogFile);
        }
        pDevice->SetLogging(bEnable, ulLogFilter);
    }
    return LoadI8(&m_pPlcConfig->bLogToFile);
}

RTS_I32 CKestrolink::GetLogging() {
    return m_pPlcConfig != nullptr ? LoadI8(&m_pPlcConfig->bLogToFile) : 0;
}

RTS_I32 CKestrolink::SetLogFileCapacity(RTS_I32 iMaxFileSize, RTS_I32 iMaxFiles) {
    m_iMaxFileSize = iMaxFileSize;
    m_iMaxFiles = iMaxFiles;
    return RESULT_OK;
}

RTS_I32 CKestrolink::SetLogFile(void* hLogFile) {
    if (hLogFile == nullptr || hLogFile == RTS_INVALID_HANDLE) {
        return RESULT_INVALIDPARAMETER;
    }
    if (hLogFile != m_hLogger.load()) {
        DeleteOwnLogger();
    }
    m_hLogger = hLogFile;
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice != nullptr) {
        pDevice->SetLogger(hLogFile);
    }
    return RESULT_OK;
}

RTS_I32 CKestrolink::SetLogFile(const char* pszLogFile) {
    if (pszLogFile == nullptr || pszLogFile[0] == '\0') {
        return RESULT_INVALIDPARAMETER;
    }
    if (!GetLogging()) {
        return RESULT_LOGGING_OFF;
    }
    if (m_pfLogOpen == nullptr || m_pfLogCreate == nullptr) {
        return RESULT_FAILED;
    }
    const char* pszSlash = strrchr(pszLogFile, '/');
    if (pszSlash == nullptr) {
        pszSlash = strrchr(pszLogFile, '\\');
    }
    const char* pszFilePart = pszSlash != nullptr ? pszSlash + 1 : pszLogFile;
    if (pszFilePart[0] == '\0') {
        return RESULT_INVALIDPARAMETER;
    }
    LogOptions options;
    memset(&options, 0, sizeof(options));
    // A name longer than a logger's name is cut: the file is named after it.
    KlStrCopy(options.szName, sizeof(options.szName), pszFilePart);

    RTS_RESULT result = ERR_FAILED;
    RTS_HANDLE hLogger = Api<PFLogOpen>(m_pfLogOpen)(options.szName, &result);
    bool bCreated = false;
    if (hLogger == RTS_INVALID_HANDLE || result != ERR_OK) {
        char* pszPath = nullptr;
        if (pszSlash != nullptr) {
            RTS_SIZE ulLen = static_cast<RTS_SIZE>(pszSlash - pszLogFile);
            pszPath = new (std::nothrow) char[ulLen + 1];
            if (pszPath == nullptr) {
                return RESULT_FAILED;
            }
            memcpy(pszPath, pszLogFile, ulLen);
            pszPath[ulLen] = '\0';
        }
        options.bEnable = 1;
        options.iType = kOwnLoggerType | (m_bUseLocalTimeInLogfile ? LT_LOCALTIME : 0);
        options.iFilter = kOwnLoggerFilter;
        options.iMaxEntries = kOwnLoggerEntries;
        options.iMaxFileSize = m_iMaxFileSize;
        options.iMaxFiles = m_iMaxFiles;
        options.pszPath = pszPath;
        hLogger = Api<PFLogCreate>(m_pfLogCreate)(&options, &result);
        delete[] pszPath;
        if (hLogger == RTS_INVALID_HANDLE || hLogger == nullptr || result != ERR_OK) {
            return RESULT_FAILED;
        }
        if (m_pfLogRegisterBackend != nullptr) {
            Api<PFLogRegisterBackend>(m_pfLogRegisterBackend)(hLogger, CLASSID_CCmpLogBackendFile);
        }
        bCreated = true;
    }
    if (hLogger != m_hLogger.load()) {
        DeleteOwnLogger();
    }
    m_hLogger = hLogger;
    if (bCreated) {
        m_bDeleteLogger = 1;
    }
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice != nullptr) {
        pDevice->SetLogger(hLogger);
    }
    return RESULT_OK;
}

void* CKestrolink::GetLogFile() {
    return m_hLogger.load();
}

void CKestrolink::DeleteOwnLogger() {
    if (!m_bDeleteLogger) {
        return;
    }
    RTS_HANDLE hLogger = m_hLogger.exchange(RTS_INVALID_HANDLE);
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice != nullptr) {
        pDevice->SetLogger(RTS_INVALID_HANDLE);
    }
    if (m_pfLogDelete != nullptr && hLogger != RTS_INVALID_HANDLE) {
        Api<PFLogDelete>(m_pfLogDelete)(hLogger);
    }
    m_bDeleteLogger = 0;
}

// ---- Network scan ---------------------------------------------------------------------------------

RTS_I32 CKestrolink::IsScanRunning() {
    return m_pPlcFoundCallback.load() != nullptr ||
                   (m_pplccomScanNetwork.load() != nullptr && !m_bScanComplete.load())
               ? 1
               : 0;
}

void CKestrolink::ReleaseFinishedScan() {
    if (m_bScanComplete.load() && m_ulScanCallbackThread.load() != SysTaskGetCurrentOSHandle()) {
        delete m_pplccomScanNetwork.exchange(nullptr);
        m_bScanComplete = 0;
    }
}

RTS_I32 CKestrolink::ScanNetwork(GatewayConnection* pGatewayConnection,
                                 CKestrolinkCallback* pPlcFoundCallback) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->ScanNetwork(pGatewayConnection=%p, pPlcFoundCallback=%p)",
                static_cast<void*>(pGatewayConnection), static_cast<void*>(pPlcFoundCallback));
    if (m_iInitComponentsResult != ERR_OK) {
        return RESULT_INIT_COMPONENTS_FAILED;
    }
    if (pPlcFoundCallback == nullptr) {
        return RESULT_INVALIDPARAMETER;
    }
    // A finished scan's device object goes here, outside its callbacks.
    ReleaseFinishedScan();
    CKestrolinkCallback* pExpected = nullptr;
    if (m_pplccomScanNetwork.load() != nullptr ||
        !m_pPlcFoundCallback.compare_exchange_strong(pExpected, pPlcFoundCallback)) {
        return RESULT_SCAN_RUNNING;
    }

    PlcConfig config;
    UtlSetDefaultPlcConfig(&config, 0);
    config.bLogToFile = LoadI8(&m_pPlcConfig->bLogToFile);
    config.ulLogFilter = LoadU32(&m_pPlcConfig->ulLogFilter);
    if (pGatewayConnection != nullptr) {
        config.it = IT_GATEWAY3;
        config.gwc = pGatewayConnection;
        AddLogEntry(LOG_INFO, 0, "CKestrolink: Interface: IT_GATEWAY3 used for NetworkScan");
    } else {
        config.it = IT_ARTI3;
        AddLogEntry(LOG_INFO, 0, "CKestrolink: Interface: IT_ARTI3 used for NetworkScan");
    }
    CPLCComBase* pDevice = CreatePlcComObject(config.it, &config, m_hLogger.load(), true);
    RTS_I32 lResult;
    if (pDevice == nullptr) {
        // No device class of this build can scan over this interface.
        lResult = PLCCOM_NOT_SUPPORTED;
    } else if (pDevice->GetStatus() != PLCCOMSTATUS_OK) {
        lResult = pDevice->GetStatus() == PLCCOMSTATUS_NOT_SUPPORTED ? PLCCOM_NOT_SUPPORTED : PLCCOM_FAILED;
    } else {
        m_bScanComplete = 0;
        m_pplccomScanNetwork = pDevice;
        lResult = pDevice->ScanNetwork(reinterpret_cast<RTS_UINTPTR>(this), PlcFoundCallback);
    }
    if (lResult != PLCCOM_OK) {
        m_pPlcFoundCallback = nullptr;
        m_pplccomScanNetwork = nullptr;
        delete pDevice;
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-ScanNetwork(lResult=%ld)", static_cast<long>(lResult));
    switch (lResult) {
        case PLCCOM_OK:
            return RESULT_OK;
        case PLCCOM_SCAN_ACTIVE:
            return RESULT_SCAN_RUNNING;
        case PLCCOM_NOT_SUPPORTED:
            return RESULT_NOT_SUPPORTED;
        default:
            return RESULT_FAILED;
    }
}

void CKestrolink::PlcFoundCallback(RTS_UINTPTR ulUserData, NodeInfotyp2* pNodeInfo2) {
    auto* pThis = reinterpret_cast<CKestrolink*>(ulUserData);
    if (pThis == nullptr || pNodeInfo2 == nullptr) {
        return;
    }
    if (pNodeInfo2->lResult == PLCCOM_SCAN_TIMEOUT) {
        pNodeInfo2->lResult = RESULT_TIMEOUT;
    } else if (pNodeInfo2->lResult != 0) {
        pNodeInfo2->lResult = RESULT_FAILED;
    }
    pThis->m_ulScanCallbackThread = SysTaskGetCurrentOSHandle();
    CKestrolinkCallback* pCallback = pThis->m_pPlcFoundCallback.load();
    if (pCallback != nullptr) {
        CallbackAddInfoTag info;
        memset(&info, 0, sizeof(info));
        info.ulType = CALLBACK_PLC_FOUND;
        info.AddInf.pNodeInfo2 = pNodeInfo2;
        pCallback->Notify(pThis, info);
    }
    pThis->m_ulScanCallbackThread = 0;
    if (pNodeInfo2->bComplete) {
        // The device object is inside its own callback chain here: it is
        // deleted later by the next scan or the destructor.
        pThis->m_bScanComplete = 1;
        pThis->m_pPlcFoundCallback = nullptr;
    }
}

// ---- Items ------------------------------------------------------------------------------------------

bool CKestrolink::IsItemState() const {
    RTS_I32 iState = m_iState.load();
    return iState == STATE_RUNNING || iState == STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED;
}

// Online lock with the item state check before and after taking it; the
// messages name the operation.
RTS_I32 CKestrolink::EnterItemLockWithStateCheck(const char* pszOperation) {
    if (!IsItemState()) {
        AddLogEntry(LOG_DEBUG, 0,
                    "CKestrolink: <-%s() not in state STATE_RUNNING or "
                    "STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED (PreCheck)",
                    pszOperation);
        return RESULT_PLC_NOT_CONNECTED;
    }
    if (EnterOnlineAccess(RTS_TIMEOUT_INFINITE) != RESULT_OK) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-%s() returns with result RESULT_FAILED", pszOperation);
        return RESULT_FAILED;
    }
    if (!IsItemState()) {
        LeaveOnlineAccess();
        AddLogEntry(
            LOG_DEBUG, 0,
            "CKestrolink: <-%s() not in state STATE_RUNNING or STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED "
            "(ValidationCheck)",
            pszOperation);
        return RESULT_PLC_NOT_CONNECTED;
    }
    return RESULT_OK;
}

RTS_UI32 CKestrolink::GetIndex(const char* pszSymbol, PlcSymbolDesc* pSymbolList, RTS_UI32 ulNumOfSymbols) {
    return ::GetIndex(pszSymbol, pSymbolList, ulNumOfSymbols);
}

RTS_I32 CKestrolink::EnterItemAccess() {
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: ->EnterItemAccess()");
    RTS_I32 lResult = EnterItemLockWithStateCheck("EnterItemAccess");
    if (lResult == RESULT_OK) {
        m_iItemAccessRefCount.fetch_add(1);
    }
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: <-EnterItemAccess(Result=%ld)",
                static_cast<long>(lResult));
    return lResult;
}

RTS_I32 CKestrolink::LeaveItemAccess() {
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: ->LeaveItemAccess()");
    RTS_I32 iCount = m_iItemAccessRefCount.load();
    while (iCount >= 1 && !m_iItemAccessRefCount.compare_exchange_weak(iCount, iCount - 1)) {
    }
    if (iCount < 1) {
        AddLogEntry(LOG_KL_ONLINE_ACCESS, 0,
                    "CKestrolink: <-LeaveItemAccess() called without an successfull enter before");
        return RESULT_OK;
    }
    LeaveOnlineAccess();
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: <-LeaveItemAccess()");
    return RESULT_OK;
}

RTS_I32 CKestrolink::GetAllItems(PlcSymbolDesc** ppSymbolList, RTS_UI32* pulNumOfSymbols) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->GetAllItems(ppSymbolList=0x%p, pulNumOfSymbols=0x%p)",
                static_cast<void*>(ppSymbolList), static_cast<void*>(pulNumOfSymbols));
    if (pulNumOfSymbols == nullptr || ppSymbolList == nullptr) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetAllItems(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    RTS_I32 lResult = EnterItemLockWithStateCheck("GetAllItems");
    if (lResult != RESULT_OK) {
        return lResult;
    }
    CPLCComBase* pDevice = m_pplccom.load();
    bool bOffline = m_iState.load() == STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED;
    if (pDevice == nullptr || pDevice->GetSymbols(ppSymbolList, pulNumOfSymbols) != PLCCOM_OK) {
        lResult = RESULT_FAILED;
    } else if (!bOffline && *pulNumOfSymbols == 0xFFFFFFFFu) {
        lResult = RESULT_LOGGING_OFF;
    }
    if (bOffline) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetAllItems Offline (Result=%ld)",
                    static_cast<long>(lResult));
    } else {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetAllItems(Result=%ld)", static_cast<long>(lResult));
    }
    LeaveOnlineAccess();
    return lResult;
}

RTS_I32 CKestrolink::GetItem(const char* pszSymbol, PlcSymbolDesc* pSymbol) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->GetItem(pszSymbol=0x%p, pSymbol=0x%p)",
                static_cast<const void*>(pszSymbol), static_cast<void*>(pSymbol));
    if (pszSymbol == nullptr || pSymbol == nullptr) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetItem(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    RTS_I32 lResult = EnterItemLockWithStateCheck("GetItem");
    if (lResult != RESULT_OK) {
        return lResult;
    }
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice != nullptr && pDevice->GetSymbol(pszSymbol, pSymbol) == PLCCOM_OK) {
        AddLogEntry(LOG_DEBUG, 0,
                    "CKestrolink: <-GetItem() Result RESULT_OK returned by m_pplccom->GetSymbol");
        LeaveOnlineAccess();
        return RESULT_OK;
    }
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulSymbols = 0;
    lResult = GetAllItems(&pSymbols, &ulSymbols);
    if (lResult != RESULT_OK) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetItem() GetAllItems has failed with Result %ld",
                    static_cast<long>(lResult));
    } else {
        RTS_UI32 ulIndex = GetIndex(pszSymbol, pSymbols, ulSymbols);
        if (ulIndex < ulSymbols) {
            *pSymbol = pSymbols[ulIndex];
            lResult = RESULT_OK;
        } else {
            AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetItem() Item not found in symbol list");
            lResult = RESULT_ITEM_NOT_FOUND;
        }
    }
    LeaveOnlineAccess();
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetItem(Result=%ld)", static_cast<long>(lResult));
    return lResult;
}

RTS_I32 CKestrolink::GetAddressOfMappedItem(const char* pszSymbol, char* pszMappedAddr, RTS_I32 lLen) {
    AddLogEntry(
        LOG_DEBUG, 0, "CKestrolink: ->GetAddressOfMappedItem(pszSymbol=0x%p, pszMappedAddr=0x%p, lLen=%ld)",
        static_cast<const void*>(pszSymbol), static_cast<void*>(pszMappedAddr), static_cast<long>(lLen));
    if (pszSymbol == nullptr || pszMappedAddr == nullptr || lLen < 1) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetAddressOfMappedItem(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    RTS_I32 lResult = EnterItemLockWithStateCheck("GetAddressOfMappedItem");
    if (lResult != RESULT_OK) {
        return lResult;
    }
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulSymbols = 0;
    RTS_I32 lDevice = PLCCOM_OK;
    lResult = GetAllItems(&pSymbols, &ulSymbols);
    if (lResult == RESULT_OK) {
        RTS_UI32 ulIndex = GetIndex(pszSymbol, pSymbols, ulSymbols);
        if (ulIndex >= ulSymbols) {
            lResult = RESULT_ITEM_NOT_FOUND;
        } else {
            CPLCComBase* pDevice = m_pplccom.load();
            lDevice =
                pDevice != nullptr ? pDevice->GetSymbolAddress(ulIndex, pszMappedAddr, lLen) : PLCCOM_FAILED;
            HandleOnlineResult(lDevice);
            lResult = lDevice == PLCCOM_OK ? RESULT_OK : RESULT_FAILED;
        }
    }
    LeaveOnlineAccess();
    if (lDevice != PLCCOM_OK) {
        HandleOnlineErrorResult(lDevice);
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetAddressOfMappedItem(Result=%ld)",
                static_cast<long>(lResult));
    return lResult;
}

RTS_I32 CKestrolink::ExpandItem(const char* pszSymbol, PlcSymbolDesc** ppSymbolList,
                                RTS_UI32* pulNumOfSymbols) {
    AddLogEntry(LOG_DEBUG, 0,
                "CKestrolink: ->ExpandItem(pszSymbol=0x%p, ppSymbolList=0x%p, pulNumOfSymbols=0x%p)",
                static_cast<const void*>(pszSymbol), static_cast<void*>(ppSymbolList),
                static_cast<void*>(pulNumOfSymbols));
    if (pszSymbol == nullptr || ppSymbolList == nullptr || pulNumOfSymbols == nullptr) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-ExpandItem(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    RTS_I32 lResult = EnterOnlineAccessWithStateCheck(0);
    if (lResult != RESULT_OK) {
        AddLogEntry(LOG_DEBUG, 0,
                    "CKestrolink: <-ExpandItem(Result=%ld), EnterOnlineAccessWithStateCheck() failed",
                    static_cast<long>(lResult));
        return lResult;
    }
    CPLCComBase* pDevice = m_pplccom.load();
    RTS_I32 lDevice =
        pDevice != nullptr ? pDevice->ExpandItem(pszSymbol, ppSymbolList, pulNumOfSymbols) : PLCCOM_FAILED;
    LeaveOnlineAccess();
    if (lDevice != PLCCOM_OK) {
        *ppSymbolList = nullptr;
        lResult = lDevice == PLCCOM_NOT_EXPANDABLE ? RESULT_ITEM_NOT_EXPANDABLE : RESULT_FAILED;
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-ExpandItem(Result=%ld)", static_cast<long>(lResult));
    return lResult;
}

RTS_I32 CKestrolink::ReleaseExpandedItems(PlcSymbolDesc* pSymbolList) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->ReleaseExpandedItems(pSymbolList=0x%p)",
                static_cast<void*>(pSymbolList));
    if (pSymbolList == nullptr) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-ReleaseExpandedItems(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    RTS_I32 lResult = RESULT_FAILED;
    if (EnterOnlineAccess(RTS_TIMEOUT_INFINITE) == RESULT_OK) {
        CPLCComBase* pDevice = m_pplccom.load();
        if (pDevice != nullptr && pDevice->ReleaseExpandedItems(pSymbolList) == PLCCOM_OK) {
            lResult = RESULT_OK;
        }
        LeaveOnlineAccess();
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-ReleaseExpandedItems(Result=%ld)", static_cast<long>(lResult));
    return lResult;
}

RTS_I32 CKestrolink::GetDeviceInfo(DeviceInfo3** ppDeviceInfo) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->GetDeviceInfo(ppDeviceInfo=0x%p)",
                static_cast<void*>(ppDeviceInfo));
    if (ppDeviceInfo == nullptr) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetDeviceInfo(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    *ppDeviceInfo = nullptr;
    RTS_I32 lResult = EnterOnlineAccessWithStateCheck(0);
    if (lResult != RESULT_OK) {
        AddLogEntry(LOG_DEBUG, 0,
                    "CKestrolink: <-GetDeviceInfo(Result=%ld), EnterOnlineAccessWithStateCheck() failed",
                    static_cast<long>(lResult));
        return lResult;
    }
    CPLCComBase* pDevice = m_pplccom.load();
    RTS_I32 lDevice = pDevice != nullptr ? pDevice->GetDevInfo(ppDeviceInfo) : PLCCOM_FAILED;
    if (lDevice != PLCCOM_NOT_SUPPORTED) {
        HandleOnlineResult(lDevice);
    }
    LeaveOnlineAccess();
    if (lDevice == PLCCOM_NOT_SUPPORTED) {
        lResult = RESULT_NOT_SUPPORTED;
    } else if (lDevice != PLCCOM_OK) {
        HandleOnlineErrorResult(lDevice);
        lResult = RESULT_FAILED;
    }
    if (lResult != RESULT_OK) {
        *ppDeviceInfo = nullptr;
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-GetDeviceInfo(Result=%ld)", static_cast<long>(lResult));
    return lResult;
}
