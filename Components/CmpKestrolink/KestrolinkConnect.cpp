// The connection state machine of CKestrolink: Connect and Disconnect, one
// connection cycle (open, log in, load symbols, check the project), the
// reconnect thread that repeats cycles in the background, the online lock that
// lets one request at a time reach the device object, and the handling of a
// failed online request (state change, reconnect).
//
// States, the reconnect counter, the last error and the flags are atomics:
// the client's threads poll them while the reconnect thread writes them.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "Kestrolink.h"
#include "PLCConfig.h"
#include "PLCUtil.h"
#include "SysSem.h"
#include "SysTime.h"

namespace {

// Polling periods and sleep steps.
constexpr RTS_UI32 kConnectPollMs = 100;
constexpr RTS_UI32 kTryLockPollMs = 200;
constexpr RTS_UI32 kReconnectSleepStepMs = 100;
constexpr RTS_UI32 kKeepAliveJoinMinMs = 8000;
constexpr RTS_UI32 kAsyncMgrJoinMinMs = 5000;
constexpr RTS_UI32 kThreadPriority = TASKPRIO_NORMAL_BASE;
constexpr RTS_UI32 kTaskNameLen = 256;
// Length of the project name buffer filled by the device object.
constexpr RTS_UI32 kProjectNameLen = 255;

constexpr RTS_UI32 kNoReconnect = 0xFFFFFFFFu;
constexpr RTS_UI32 kConnectSync = 0xFFFFFFFFu;
constexpr RTS_UI32 kConnectNoWaitForFirst = 0xFFFFFFFEu;

const char* StateLogName(RTS_I32 iState) {
    switch (iState) {
        case STATE_TERMINATE:
            return "STATE_TERMINATE";
        case STATE_PLC_NOT_CONNECTED:
            return "STATE_PLC_NOT_CONNECTED";
        case STATE_PLC_CONNECTED:
            return "STATE_PLC_CONNECTED";
        case STATE_NO_SYMBOLS:
            return "STATE_NO_SYMBOLS";
        case STATE_SYMBOLS_LOADED:
            return "STATE_CONFIG_LOADED";
        case STATE_RUNNING:
            return "STATE_RUNNING";
        case STATE_DISCONNECT:
            return "STATE_DISCONNECT";
        case STATE_NO_CONFIGURATION:
            return "STATE_NO_CONFIGURATION";
        case STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED:
            return "STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED";
        case STATE_PLC_CONNECT_ERROR:
            return "STATE_PLC_CONNECT_ERROR";
        case STATE_PLC_CONFIG_ERROR:
            return "STATE_PLC_CONFIG_ERROR";
        default:
            return nullptr;
    }
}

bool IsRetryableLoginFailure(RTS_I32 lResult) {
    return lResult == PLCCOM_INVALID_CREDENTIALS || lResult == PLCCOM_USERMGMT_NOT_ACTIVE;
}

bool IsCredentialError(RTS_I32 lLastError) {
    return lLastError == RESULT_ACCESS_DENIED || lLastError == RESULT_NO_USER_MANAGEMENT;
}

// Device results that do not indicate a broken connection.
// Results with which the controller answered: the connection stays. A name
// the controller refuses (PLCCOM_UNKNOWN_SYMBOL) or a value of the wrong size
// (PLCCOM_SIZE_MISMATCH) is a fault of the request, not of the connection.
bool IsHarmlessDeviceResult(RTS_I32 lResult) {
    return lResult == PLCCOM_OK || lResult == PLCCOM_NOT_SUPPORTED || lResult == PLCCOM_INVALID_PARAMETER ||
           lResult == PLCCOM_UNKNOWN_SYMBOL || lResult == PLCCOM_SIZE_MISMATCH ||
           lResult == PLCCOM_CONSISTENCY_TIMEOUT || lResult == PLCCOM_SERVICE_FAILED || lResult == -531 ||
           lResult == -532;
}

RTS_I32 MapLoginResult(RTS_I32 lResult) {
    switch (lResult) {
        case PLCCOM_OK:
            return RESULT_OK;
        case PLCCOM_COMM_FATAL:
            return RESULT_COMM_FATAL;
        case PLCCOM_INVALID_CREDENTIALS:
            return RESULT_ACCESS_DENIED;
        case PLCCOM_USERMGMT_NOT_ACTIVE:
            return RESULT_NO_USER_MANAGEMENT;
        case PLCCOM_NO_CONNECTION:
            return RESULT_LOGIN_FAILED_54;
        case PLCCOM_USERMGMT_REQUIRED:
            return RESULT_LOGIN_FAILED_59;
        default:
            return RESULT_PLC_LOGIN_FAILED;
    }
}

unsigned OsThreadId() {
    return static_cast<unsigned>(SysTaskGetCurrentOSHandle());
}

unsigned OsThreadIdOf(RTS_HANDLE hTask) {
    SYS_TASK_INFO* pInfo = nullptr;
    if (SysTaskGetInfo(hTask, &pInfo) == ERR_OK && pInfo != nullptr) {
        return static_cast<unsigned>(pInfo->uiOSHandle);
    }
    return 0;
}

// Holds the online lock of a connection for a scope. The release also runs
// when a killed thread unwinds, so a cancelled request never leaves the lock
// taken.
class OnlineAccessGuard {
public:
    explicit OnlineAccessGuard(CKestrolink* pKestrolink) : m_pKestrolink(pKestrolink) {
        m_bHeld = m_pKestrolink->EnterOnlineAccess(RTS_TIMEOUT_INFINITE) == RESULT_OK;
    }
    ~OnlineAccessGuard() {
        if (m_bHeld) {
            m_pKestrolink->LeaveOnlineAccess();
        }
    }
    bool Held() const { return m_bHeld; }
    OnlineAccessGuard(const OnlineAccessGuard&) = delete;
    OnlineAccessGuard& operator=(const OnlineAccessGuard&) = delete;

private:
    CKestrolink* m_pKestrolink;
    bool m_bHeld;
};

// A platform lock that may be invalid (then nothing is taken).
class OptionalSemGuard {
public:
    explicit OptionalSemGuard(RTS_HANDLE hSem) : m_hSem(hSem) {
        m_bHeld = hSem != RTS_INVALID_HANDLE && SysSemEnter(hSem) == ERR_OK;
    }
    ~OptionalSemGuard() {
        if (m_bHeld) {
            SysSemLeave(m_hSem);
        }
    }
    OptionalSemGuard(const OptionalSemGuard&) = delete;
    OptionalSemGuard& operator=(const OptionalSemGuard&) = delete;

private:
    RTS_HANDLE m_hSem;
    bool m_bHeld;
};

// The reconnect time is re-read while the thread sleeps; the configuration
// record is plain memory shared with the client's thread.
RTS_UI32 LoadU32(const RTS_UI32* pul) {
    return __atomic_load_n(pul, __ATOMIC_RELAXED);
}

}  // namespace

// ---- States ----------------------------------------------------------------------

KESTROLINK_STATE CKestrolink::GetState() {
    return static_cast<KESTROLINK_STATE>(m_iState.load());
}

RTS_I32 CKestrolink::GetLastError() {
    return m_lLastError.load();
}

RTS_I32 CKestrolink::GetReconnectCycles() {
    return m_iReconnect.load();
}

void CKestrolink::SetStateChangedCallback(CKestrolinkCallback* pStateChangedCallback) {
    m_pStateChangedCallback = pStateChangedCallback;
}

CKestrolinkCallback* CKestrolink::GetStateChangedCallback() {
    return m_pStateChangedCallback.load();
}

void CKestrolink::SetLastError(RTS_I32 lLastError) {
    m_lLastError = lLastError;
}

void CKestrolink::SetState(KESTROLINK_STATE iState) {
    const char* pszName = StateLogName(iState);
    if (pszName == nullptr) {
        AddLogEntry(LOG_ERROR, 0, "CKestrolink: SetState=UNKNOWN");
        return;
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: SetState=%s", pszName);
    // The rule and the change are one step, so that a concurrent Disconnect
    // cannot be overwritten by a cycle that read the state before it.
    RTS_I32 iCurrent = m_iState.load();
    for (;;) {
        if (iCurrent == iState) {
            return;
        }
        bool bAllowed =
            iState == STATE_TERMINATE ||
            (iCurrent != STATE_TERMINATE && (iState == STATE_DISCONNECT || iCurrent != STATE_DISCONNECT));
        if (!bAllowed) {
            return;
        }
        if (m_iState.compare_exchange_weak(iCurrent, iState)) {
            break;
        }
    }
    QueueStateChange(iState);
}

void CKestrolink::InitState() {
    RTS_I32 iCurrent = m_iState.load();
    do {
        if (iCurrent == STATE_TERMINATE) {
            return;
        }
    } while (!m_iState.compare_exchange_weak(iCurrent, STATE_PLC_NOT_CONNECTED));
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: SetState=%s", StateLogName(STATE_PLC_NOT_CONNECTED));
    QueueStateChange(STATE_PLC_NOT_CONNECTED);
}

// Locks of this object held by the calling thread (one entry per level).
namespace {
thread_local std::vector<const CKestrolink*> t_heldObjectLocks;
}

bool CKestrolink::HoldsObjectLock() const {
    for (const CKestrolink* p : t_heldObjectLocks) {
        if (p == this) {
            return true;
        }
    }
    return false;
}

void CKestrolink::NoteLockTaken() {
    t_heldObjectLocks.push_back(this);
}

void CKestrolink::NoteLockReleased() {
    for (auto it = t_heldObjectLocks.rbegin(); it != t_heldObjectLocks.rend(); ++it) {
        if (*it == this) {
            t_heldObjectLocks.erase(std::next(it).base());
            break;
        }
    }
    if (!HoldsObjectLock()) {
        DeliverStateChanges();
    }
}

void CKestrolink::EnterConnectLock() {
    SysSemEnter(m_hsemConnect);
    NoteLockTaken();
}

void CKestrolink::LeaveConnectLock() {
    SysSemLeave(m_hsemConnect);
    NoteLockReleased();
}

void CKestrolink::QueueStateChange(KESTROLINK_STATE iState) {
    // Only a connection with a device reports its states.
    if (m_pStateChangedCallback.load() == nullptr || m_pplccom.load() == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_notifyMutex);
        m_pendingStates.push_back(iState);
    }
    if (!HoldsObjectLock()) {
        DeliverStateChanges();
    }
}

void CKestrolink::DeliverStateChanges() {
    std::unique_lock<std::mutex> lock(m_notifyMutex);
    // Another thread delivering takes this one's changes too, in order.
    if (m_bDeliveringStates) {
        return;
    }
    m_bDeliveringStates = true;
    while (!m_pendingStates.empty()) {
        KESTROLINK_STATE iState = m_pendingStates.front();
        m_pendingStates.pop_front();
        lock.unlock();
        // Read at delivery: a Disconnect that removed the callback ends the
        // notifications, also of changes queued before it.
        CKestrolinkCallback* pCallback = m_pStateChangedCallback.load();
        if (pCallback != nullptr) {
            CallbackAddInfoTag info;
            memset(&info, 0, sizeof(info));
            info.ulType = CALLBACK_STATE_CHANGED;
            info.AddInf.lKestrolinkState = iState;
            pCallback->Notify(this, info);
        }
        lock.lock();
    }
    m_bDeliveringStates = false;
}

bool CKestrolink::IsRunningState(bool bConnectOnly) const {
    return m_iState.load() == (bConnectOnly ? STATE_PLC_CONNECTED : STATE_RUNNING);
}

// ---- Connect -----------------------------------------------------------------------

RTS_I32 CKestrolink::Connect(RTS_UI32 ulTimeout, CKestrolinkCallback* pStateChangedCallback,
                             RTS_I32 bLoadSymbols) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->Connect(ulTimeout=%ld, pStateChangedCallback=%p)",
                static_cast<long>(static_cast<RTS_I32>(ulTimeout)),
                static_cast<void*>(pStateChangedCallback));
    // Every early return logs the result like the end of the call.
    auto refuse = [this](RTS_I32 lResult) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-Connect(lResult=%ld)", static_cast<long>(lResult));
        return lResult;
    };
    if (m_iInitComponentsResult != ERR_OK) {
        return refuse(RESULT_INIT_COMPONENTS_FAILED);
    }
    if (!m_bConfigIsPrinted) {
        PrintConfig();
        m_bConfigIsPrinted = 1;
    }
    if (m_pPlcConfig->it == IT_INVALID || m_iState.load() == STATE_NO_CONFIGURATION) {
        return refuse(RESULT_NO_CONFIGURATION);
    }
    if (m_pPlcConfig->bActive == 0) {
        return refuse(RESULT_CONFIG_INACTIVE);
    }
    if (IsRunningState(false) || (m_bConnectOnly && IsRunningState(true))) {
        return refuse(RESULT_OK);
    }
    bool bSync = ulTimeout == kConnectSync || m_pPlcConfig->ulReconnectTime == kNoReconnect;
    if (m_bConnectOnly) {
        if (m_iReconnect.load() > 0) {
            return refuse(RESULT_CONNECT_IN_PROGRESS);
        }
        TerminateReconnectThread();
    }
    if (!bSync && m_hReconnectThread.load() != RTS_INVALID_HANDLE) {
        return refuse(RESULT_CONNECT_IN_PROGRESS);
    }

    EnterConnectLock();
    m_bFirstConnectDone = 1;
    if (!m_bConnectOnly) {
        m_bLoadSymbols = bLoadSymbols;
    }
    if (m_pplccom.load() != nullptr && m_bConnected) {
        Disconnect();
    }
    if (m_pplccom.load() == nullptr) {
        CPLCComBase* pDevice = CreatePlcComObject(m_pPlcConfig->it, m_pPlcConfig, m_hLogger.load(), false);
        if (pDevice == nullptr) {
            refuse(RESULT_ITF_NOT_SUPPORTED);
            LeaveConnectLock();
            return RESULT_ITF_NOT_SUPPORTED;
        }
        m_pplccom = pDevice;
    }
    PLCCOMSTATUS status = m_pplccom.load()->GetStatus();
    if (status != PLCCOMSTATUS_OK) {
        // The device object stays: a later Connect reports the same status.
        switch (status) {
            case PLCCOMSTATUS_NOT_SUPPORTED:
                AddLogEntry(LOG_ERROR, 0,
                            "CKestrolink::Connect(): Init of PLCCOM object failed with status "
                            "PLCCOMSTATUS_NOT_SUPPORTED");
                break;
            case PLCCOMSTATUS_NO_DLL_FOUND:
                AddLogEntry(LOG_ERROR, 0,
                            "CKestrolink::Connect(): Init of PLCCOM object failed with status "
                            "PLCCOMSTATUS_NO_DLL_FOUND");
                break;
            case PLCCOMSTATUS_NO_ENCRYPTION_POSSIBLE:
                AddLogEntry(LOG_ERROR, 0,
                            "CKestrolink::Connect(): Init of PLCCOM object failed with status "
                            "PLCCOMSTATUS_NO_ENCRYPTION_POSSIBLE");
                break;
            default:
                AddLogEntry(LOG_ERROR, 0,
                            "CKestrolink::Connect(): Init of PLCCOM object failed with status %d",
                            static_cast<int>(status));
                break;
        }
        refuse(RESULT_PLCCOM_INIT_FAILED);
        LeaveConnectLock();
        return RESULT_PLCCOM_INIT_FAILED;
    }
    if (pStateChangedCallback != nullptr || m_pStateChangedCallback.load() == nullptr) {
        m_pStateChangedCallback = pStateChangedCallback;
    }
    if (m_hsemCycListAccess == RTS_INVALID_HANDLE) {
        m_hsemCycListAccess = SysSemCreate(nullptr);
    }
    if (bSync) {
        // A cycle of a leftover reconnect thread must not run beside the
        // caller's own cycle on the same device object.
        TerminateReconnectThread();
    }
    InitState();
    // A new attempt starts without the verdict of the previous one: a
    // rejected login must not stop the first cycle of a new connect.
    SetLastError(RESULT_OK);

    if (bSync) {
        AddLogEntry(LOG_INFO, 0, "CKestrolink: Connect: try a synchronous connect...");
        m_bLoadSymbolsOffline = 0;
        Reconnect();
    } else {
        RTS_UI32 ulWaitTime = m_pPlcConfig->ulWaitTime;
        if (ulTimeout != 0 && ulTimeout != kConnectNoWaitForFirst) {
            ulWaitTime = ulTimeout;
        }
        bool bWaitForFirstConnect = ulTimeout != kConnectNoWaitForFirst;
        m_bLoadSymbolsOffline = m_bLoadSymbols.load();
        AddLogEntry(LOG_INFO, 0,
                    "CKestrolink: StartWaitConnect: ulWaitTime = %ld ms, bWaitForFirstConnect = %d",
                    static_cast<long>(static_cast<RTS_I32>(ulWaitTime)), bWaitForFirstConnect ? 1 : 0);
        RTS_UI32 ulStart = SysTimeGetMs();
        if (StartReconnectThread() == RESULT_OK) {
            for (;;) {
                RTS_I32 iState = m_iState.load();
                if (iState == STATE_RUNNING || iState == STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED) {
                    break;
                }
                RTS_I32 iReconnect = m_iReconnect.load();
                bool bFirstCycleOver = iReconnect != 1;
                if (ulWaitTime != kConnectSync && SysTimeElapsedMs(SysTimeGetMs(), ulStart) >= ulWaitTime &&
                    (bFirstCycleOver || !bWaitForFirstConnect)) {
                    break;
                }
                if (m_bConnectOnly && bFirstCycleOver) {
                    break;
                }
                if (iState == STATE_NO_SYMBOLS || iState == STATE_TERMINATE || iState == STATE_DISCONNECT) {
                    break;
                }
                // Without a time limit, a thread that has given up ends the wait.
                if (ulWaitTime == kConnectSync && iReconnect == 0) {
                    break;
                }
                SysTaskWaitSleep(nullptr, kConnectPollMs);
            }
        }
        AddLogEntry(LOG_INFO, 0, "CKestrolink: EndWaitConnect: ulDuration = %ld ms",
                    static_cast<long>(SysTimeElapsedMs(SysTimeGetMs(), ulStart)));
    }

    RTS_I32 lResult;
    RTS_I32 iState = m_iState.load();
    if (iState == STATE_RUNNING || (iState == STATE_PLC_CONNECTED && m_bConnectOnly)) {
        m_bConnected = 1;
        lResult = RESULT_OK;
    } else if (iState == STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED) {
        lResult = RESULT_SYMBOLS_LOADED_OFFLINE;
    } else {
        lResult = m_lLastError.load();
        // A cycle that has not ended yet has no verdict: not connected.
        if (lResult == RESULT_OK) {
            lResult = RESULT_PLC_NOT_CONNECTED;
        }
    }
    // Logged before the lock goes: a destructor waiting for it may free the
    // configuration the log line reads.
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-Connect(lResult=%ld)", static_cast<long>(lResult));
    LeaveConnectLock();
    return lResult;
}

RTS_I32 CKestrolink::AskCredentials(RequestCredentialsType type, char* pszUser, char* pszPassword) {
    memset(pszUser, 0, KESTROLINK_CREDENTIALS_BUFFER_SIZE);
    memset(pszPassword, 0, KESTROLINK_CREDENTIALS_BUFFER_SIZE);
    RTS_I32 lAnswer = RequestCredentialsCallback(reinterpret_cast<RTS_UINTPTR>(this), type, pszUser,
                                                 KESTROLINK_CREDENTIALS_BUFFER_SIZE, pszPassword,
                                                 KESTROLINK_CREDENTIALS_BUFFER_SIZE);
    pszUser[KESTROLINK_CREDENTIALS_BUFFER_SIZE - 1] = '\0';
    pszPassword[KESTROLINK_CREDENTIALS_BUFFER_SIZE - 1] = '\0';
    return lAnswer;
}

RTS_I32 CKestrolink::ConnectPlc() {
    if (IsRunningState(false) || (m_bConnectOnly && IsRunningState(true))) {
        SetLastError(RESULT_OK);
        return RESULT_OK;
    }
    OnlineAccessGuard online(this);
    CPLCComBase* pDevice = m_pplccom.load();
    if (!online.Held() || pDevice == nullptr) {
        SetLastError(RESULT_FAILED);
        return RESULT_FAILED;
    }
    RTS_I32 lResult = RESULT_OK;
    bool bGateway = m_pPlcConfig->it == IT_GATEWAY;
    char szUser[KESTROLINK_CREDENTIALS_BUFFER_SIZE];
    char szPassword[KESTROLINK_CREDENTIALS_BUFFER_SIZE];

    RTS_I32 lOpen = pDevice->Open();
    if (bGateway) {
        BackupGWPwd();
        while (lOpen == PLCCOM_INVALID_CREDENTIALS) {
            AddLogEntry(LOG_INFO, 0, "ConnectPlc(): m_pplccom->Open(): wrong GW pwd");
            if (AskCredentials(REQ_CREDENTIALS_V2_GW_PWD, szUser, szPassword) != 0) {
                break;
            }
            // The entered password serves this connection only: the
            // configured one returns when the channel is closed.
            SetGWPwd(szPassword, KESTROLINK_CREDENTIALS_BUFFER_SIZE);
            pDevice->Close();
            lOpen = pDevice->Open();
        }
    }
    if (lOpen == PLCCOM_OK) {
        AddLogEntry(LOG_INFO, 0, "ConnectPlc(): m_pplccom->Open(): Successful%s",
                    bGateway ? ", correct GW pwd" : "");
    } else {
        AddLogEntry(LOG_INFO, 0, "ConnectPlc(): m_pplccom->Open() returned %d", static_cast<int>(lOpen));
        lResult = RESULT_PLC_NOT_CONNECTED;
    }

    if (lResult == RESULT_OK && !m_bConnectOnly && m_pPlcConfig->bLogin != 0) {
        if (pDevice->CreateSession(m_pszClientName, m_pszClientVendorName, m_pszClientVersion,
                                   m_usClientSpecific) == PLCCOM_OK) {
            RTS_I32 lLogin = pDevice->Login();
            pDevice->BackupDeviceCredentials();
            RequestCredentialsType type = (m_pPlcConfig->it == IT_ARTI || m_pPlcConfig->it == IT_GATEWAY)
                                              ? REQ_CREDENTIALS_V2_PLC_PWD
                                              : REQ_CREDENTIALS_V3_PLC_USR_PWD;
            while (IsRetryableLoginFailure(lLogin)) {
                AddLogEntry(LOG_INFO, 0, "ConnectPlc(): m_pplccom->Login(): wrong credentials");
                if (AskCredentials(type, szUser, szPassword) != 0) {
                    break;
                }
                pDevice->SetDeviceCredentials(szUser, KESTROLINK_CREDENTIALS_BUFFER_SIZE, szPassword,
                                              KESTROLINK_CREDENTIALS_BUFFER_SIZE);
                lLogin = pDevice->Login();
            }
            if (lLogin == PLCCOM_OK) {
                AddLogEntry(LOG_INFO, 0, "ConnectPlc(): m_pplccom->Login(): correct credentials");
            } else {
                AddLogEntry(LOG_INFO, 0, "ConnectPlc(): m_pplccom->Login() returned %d",
                            static_cast<int>(lLogin));
            }
            lResult = MapLoginResult(lLogin);
            if (lResult != RESULT_OK) {
                pDevice->Close();
            } else {
                m_bLogout = 1;
            }
        }
        if (lResult == RESULT_OK) {
            if (m_pPlcConfig->pszProjectName != nullptr && m_pPlcConfig->pszProjectName[0] != '\0') {
                pDevice->LinkToProject(m_pPlcConfig->pszProjectName);
            } else {
                delete[] m_pPlcConfig->pszProjectName;
                m_pPlcConfig->pszProjectName = new (std::nothrow) char[kProjectNameLen]();
                if (m_pPlcConfig->pszProjectName != nullptr &&
                    pDevice->GetPlcProjectName(m_pPlcConfig->pszProjectName, kProjectNameLen) != PLCCOM_OK) {
                    delete[] m_pPlcConfig->pszProjectName;
                    m_pPlcConfig->pszProjectName = nullptr;
                }
                if (m_pPlcConfig->pszProjectName != nullptr) {
                    m_pPlcConfig->pszProjectName[kProjectNameLen - 1] = '\0';
                }
            }
        }
    }
    memset(szUser, 0, sizeof(szUser));
    memset(szPassword, 0, sizeof(szPassword));
    SetLastError(lResult);
    return lResult;
}

RTS_I32 CKestrolink::Reconnect() {
    RTS_I32 iCycle = m_iReconnect.load();
    if (m_iState.load() == STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED) {
        DisconnectPlc(1);
    }
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice == nullptr) {
        return RESULT_FAILED;
    }
    if (m_iState.load() == STATE_PLC_NOT_CONNECTED) {
        AddLogEntry(LOG_INFO, 0,
                    "CKestrolink: Reconnect[%d]: STATE_PLC_NOT_CONNECTED: tries to open channel...", iCycle);
        RTS_I32 lResult = ConnectPlc();
        if (lResult != RESULT_OK) {
            if (m_bLoadSymbolsOffline && LoadSymbolsOffline() == RESULT_OK) {
                m_bLoadSymbolsOffline = 0;
                AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: FAILED! Symbols were loaded offline",
                            iCycle);
                SetState(STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED);
                return RESULT_OK;
            }
            AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: FAILED!", iCycle);
            SetLastError(lResult);
            SetState(STATE_PLC_CONNECT_ERROR);
            DisconnectPlc(0);
            if (IsCredentialError(lResult)) {
                SetState(STATE_PLC_CONFIG_ERROR);
            }
            return RESULT_FAILED;
        }
        SetState(STATE_PLC_CONNECTED);
        if (!m_bLoadSymbols) {
            if (!m_bConnectOnly) {
                RTS_I32 lConnect;
                {
                    OnlineAccessGuard online(this);
                    lConnect = pDevice->CheckConnectResult();
                }
                if (lConnect != PLCCOM_OK) {
                    if (lConnect == PLCCOM_DUPLICATE_PLC_NAME) {
                        SetLastError(RESULT_DUPLICATE_PLC_NAME);
                        AddLogEntry(LOG_ERROR, 0,
                                    "CKestrolink: Reconnect[%d]: FAILED! CheckConnectResult returned "
                                    "PLCCOM_DUPLICATE_PLC_NAME",
                                    iCycle);
                    } else {
                        SetLastError(RESULT_FAILED);
                        AddLogEntry(LOG_ERROR, 0,
                                    "CKestrolink: Reconnect[%d]: FAILED! CheckConnectResult returned %d",
                                    iCycle, static_cast<int>(lConnect));
                    }
                    SetState(STATE_PLC_CONNECT_ERROR);
                    DisconnectPlc(0);
                    return RESULT_FAILED;
                }
            }
            SetLastError(RESULT_OK);
            if (m_bConnectOnly) {
                AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: STATE_PLC_CONNECTED: Connect only",
                            iCycle);
                return RESULT_OK;
            }
            AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: STATE_RUNNING: No load of symbols", iCycle);
            SetState(STATE_RUNNING);
            CreateKeepAliveThread();
            return RESULT_OK;
        }
    }

    RTS_I32 iState = m_iState.load();
    if ((iState != STATE_PLC_CONNECTED && iState != STATE_NO_SYMBOLS) || m_bConnectOnly) {
        return RESULT_OK;
    }
    AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: STATE_PLC_CONNECTED: tries to load symbols...",
                iCycle);
    if (!m_bLoadSymbols) {
        SetLastError(RESULT_OK);
        AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: STATE_RUNNING: No load of symbols", iCycle);
        SetState(STATE_RUNNING);
        CreateKeepAliveThread();
        return RESULT_OK;
    }
    CycDeleteVarListTable(0);
    RTS_I32 lLoad = LoadSymbols();
    if (lLoad == RESULT_COMM_FATAL) {
        AddLogEntry(LOG_ERROR, 0,
                    "CKestrolink: Reconnect[%d]: STATE_PLC_NOT_CONNECTED: LoadSymbols() FAILED with "
                    "COMM_FATAL, delete "
                    "symbols, close the channel",
                    iCycle);
        SetLastError(RESULT_PLC_NOT_CONNECTED);
        DisconnectPlc(1);
        return RESULT_FAILED;
    }
    if (lLoad != RESULT_OK) {
        AddLogEntry(LOG_ERROR, 0,
                    "CKestrolink: Reconnect[%d]: STATE_NO_SYMBOLS: LoadSymbols() FAILED, delete symbols",
                    iCycle);
        SetLastError(RESULT_NO_SYMBOLS);
        SetState(STATE_NO_SYMBOLS);
        DeleteSymbols();
        return RESULT_FAILED;
    }

    SetState(STATE_SYMBOLS_LOADED);
    AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: STATE_SYMBOLS_LOADED: try to check ProjectID...",
                iCycle);
    RTS_I32 lCheck;
    {
        OnlineAccessGuard online(this);
        lCheck = pDevice->CheckProjectIds();
    }
    if (lCheck == PLCCOM_COMM_FATAL) {
        AddLogEntry(
            LOG_ERROR, 0,
            "CKestrolink: Reconnect[%d]: STATE_PLC_NOT_CONNECTED: CheckProjectIds() FAILED with COMM_FATAL, "
            "delete symbols, closes the channel",
            iCycle);
        SetLastError(RESULT_PLC_NOT_CONNECTED);
        DisconnectPlc(1);
        return RESULT_FAILED;
    }
    if (lCheck != PLCCOM_OK) {
        AddLogEntry(
            LOG_ERROR, 0,
            "CKestrolink: Reconnect[%d]: STATE_NO_SYMBOLS: CheckProjectIds() FAILED (no symbols or not "
            "uptodate), delete symbols",
            iCycle);
        SetLastError(RESULT_NO_SYMBOLS);
        SetState(STATE_NO_SYMBOLS);
        DeleteSymbols();
        return RESULT_FAILED;
    }

    RTS_I32 lConnect;
    {
        OnlineAccessGuard online(this);
        lConnect = pDevice->CheckConnectResult();
    }
    if (lConnect == PLCCOM_OK) {
        AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: STATE_RUNNING", iCycle);
        SetLastError(RESULT_OK);
        SetState(STATE_RUNNING);
        CreateKeepAliveThread();
        CycReactivateInactiveVarLists();
        return RESULT_OK;
    }
    if (lConnect == PLCCOM_DUPLICATE_PLC_NAME) {
        AddLogEntry(
            LOG_ERROR, 0,
            "CKestrolink: Reconnect[%d]: FAILED! CheckConnectResult returned PLCCOM_DUPLICATE_PLC_NAME",
            iCycle);
        DisconnectPlc(1);
        SetLastError(RESULT_DUPLICATE_PLC_NAME);
    } else {
        AddLogEntry(LOG_ERROR, 0, "CKestrolink: Reconnect[%d]: FAILED! CheckConnectResult returned %d",
                    iCycle, static_cast<int>(lConnect));
        DisconnectPlc(1);
        SetLastError(RESULT_PLC_NOT_CONNECTED);
    }
    return RESULT_FAILED;
}

// ---- Disconnect -----------------------------------------------------------------------

void CKestrolink::StopThreadsAndLists(RTS_I32 bShutdown) {
    DeleteAsyncMgrThread();
    DeleteKeepAliveThread();
    OnlineAccessGuard online(this);
    OptionalSemGuard lists(m_hsemCycListAccess);
    CycDeleteVarListTable(bShutdown);
    ExitAllUpdateThreads(1);
}

RTS_I32 CKestrolink::DisconnectPlc(RTS_I32 bShutdown) {
    RTS_I32 lResult = RESULT_OK;
    StopThreadsAndLists(bShutdown);
    OnlineAccessGuard online(this);
    CPLCComBase* pDevice = m_pplccom.load();
    if (m_bLogout.exchange(0) != 0 && pDevice != nullptr) {
        pDevice->Logout();
    }
    SetState(STATE_PLC_NOT_CONNECTED);
    if (pDevice != nullptr) {
        pDevice->RestoreDeviceCredentialsIfBackedUp();
        RestoreGWPwdIfBackedUp();
        DeleteSymbols();
        if (pDevice->Close() != PLCCOM_OK) {
            lResult = RESULT_FAILED;
        }
    }
    return lResult;
}

RTS_I32 CKestrolink::Disconnect() {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->Disconnect()");
    // Before the lock: a Connect waiting in another thread stops waiting.
    SetState(STATE_DISCONNECT);
    EnterConnectLock();
    SetState(STATE_DISCONNECT);
    RTS_I32 lResult = RESULT_FAILED;
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice != nullptr) {
        AddLogEntry(LOG_INFO, 0, "CKestrolink: Disconnect");
        AddLogEntry(LOG_INFO, 0, "CKestrolink: State=STATE_DISCONNECT");
        m_bConnected = 0;
        RTS_UI32 ulAbandonedBefore = SysTaskGetNumAbandoned();
        RTS_I32 lTerminate = TerminateReconnectThread();
        // A killed thread is normally unwound and joined; one that could not
        // even be joined may still be inside the device object.
        bool bThreadMayStillRun = lTerminate != RESULT_OK && SysTaskGetNumAbandoned() != ulAbandonedBefore;
        if (lTerminate == RESULT_OK) {
            DisconnectPlc(1);
        } else {
            // The channel cannot be closed cleanly, but no thread or list may
            // outlive the device object.
            StopThreadsAndLists(1);
            m_bLogout = 0;
            m_bSymbolsLoaded = 0;
        }
        m_bKeepAliveActive = 0;
        m_pplccom = nullptr;
        if (bThreadMayStillRun) {
            AddLogEntry(
                LOG_ERROR, 0,
                "CKestrolink::Disconnect(): ReconnectThread could not be joined, device object not deleted");
        } else {
            delete pDevice;
            if (m_hsemCycListAccess != RTS_INVALID_HANDLE) {
                SysSemDelete(m_hsemCycListAccess);
            }
        }
        m_hsemCycListAccess = RTS_INVALID_HANDLE;
        m_pStateChangedCallback = nullptr;
        lResult = lTerminate == RESULT_OK ? RESULT_OK : RESULT_COMM_FATAL;
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-Disconnect(lResult=%ld)", static_cast<long>(lResult));
    LeaveConnectLock();
    return lResult;
}

// ---- Symbols ------------------------------------------------------------------------------

RTS_I32 CKestrolink::LoadSymbols() {
    OnlineAccessGuard online(this);
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice == nullptr) {
        return RESULT_NO_SYMBOLS;
    }
    pDevice->DeleteSymbols();
    RTS_I32 lResult = pDevice->LoadSymbols();
    if (lResult == PLCCOM_OK) {
        PlcSymbolDesc* pSymbols = nullptr;
        RTS_UI32 ulSymbols = 0;
        pDevice->GetSymbols(&pSymbols, &ulSymbols);
        AddLogEntry(LOG_INFO, 0, "CKestrolink: %ld symbols available", static_cast<long>(ulSymbols));
        m_bSymbolsLoaded = 1;
        return RESULT_OK;
    }
    if (lResult == -102 || lResult == PLCCOM_COMM_FATAL) {
        return RESULT_COMM_FATAL;
    }
    return RESULT_NO_SYMBOLS;
}

RTS_I32 CKestrolink::LoadSymbolsOffline() {
    OnlineAccessGuard online(this);
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice == nullptr || pDevice->LoadSymbolsOffline() != PLCCOM_OK) {
        return RESULT_NO_SYMBOLS;
    }
    m_bSymbolsLoaded = 1;
    return RESULT_OK;
}

RTS_I32 CKestrolink::DeleteSymbols() {
    OnlineAccessGuard online(this);
    m_bSymbolsLoaded = 0;
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice == nullptr) {
        return RESULT_OK;
    }
    return pDevice->DeleteSymbols() == PLCCOM_OK ? RESULT_OK : RESULT_NO_SYMBOLS;
}

RTS_I32 CKestrolink::LoadSymbolsFromPlc(RTS_I32 bLoadSymbolsOnReconnect) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->LoadSymbols");
    if (!IsRunningState(false)) {
        AddLogEntry(LOG_DEBUG, 1, "CKestrolink: <-LoadSymbols(Result=%ld)",
                    static_cast<long>(RESULT_PLC_NOT_CONNECTED));
        return RESULT_PLC_NOT_CONNECTED;
    }
    CPLCComBase* pDevice = m_pplccom.load();
    if (m_bSymbolsLoaded && pDevice != nullptr) {
        RTS_I32 lResult = EnterOnlineAccessWithStateCheck(0);
        if (lResult != RESULT_OK) {
            AddLogEntry(LOG_DEBUG, 1,
                        "CKestrolink: <-LoadSymbols, EnterOnlineAccessWithStateCheck() failed(Result=%ld)",
                        static_cast<long>(lResult));
            return lResult;
        }
        RTS_I32 lCheck = pDevice->CheckProjectIds();
        if (lCheck == PLCCOM_OK) {
            LeaveOnlineAccess();
            AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-LoadSymbols - Symbols already loaded (Result=%ld)",
                        static_cast<long>(RESULT_OK));
            return RESULT_OK;
        }
        if (lCheck == PLCCOM_COMM_FATAL) {
            LeaveOnlineAccess();
            DisconnectPlc(0);
            return RESULT_COMM_FATAL;
        }
        DeleteSymbols();
        LeaveOnlineAccess();
        AddLogEntry(
            LOG_DEBUG, 1,
            "CKestrolink: LoadSymbols: CheckProjectIds() symbols not up to date, try to reload symbols");
    }
    CycDeleteVarListTable(0);
    CycReactivateInactiveVarLists();
    RTS_I32 lLoad = LoadSymbols();
    if (lLoad == RESULT_COMM_FATAL) {
        DisconnectPlc(1);
        return RESULT_COMM_FATAL;
    }
    if (lLoad != RESULT_OK) {
        DeleteSymbols();
        AddLogEntry(LOG_DEBUG, 1, "CKestrolink: <-LoadSymbols FAILED, delete symbols");
        return RESULT_NO_SYMBOLS;
    }
    RTS_I32 lResult = EnterOnlineAccessWithStateCheck(0);
    if (lResult != RESULT_OK) {
        AddLogEntry(LOG_DEBUG, 1,
                    "CKestrolink: <-LoadSymbols, EnterOnlineAccessWithStateCheck() failed(Result=%ld)",
                    static_cast<long>(lResult));
        return lResult;
    }
    pDevice = m_pplccom.load();
    RTS_I32 lCheck = pDevice != nullptr ? pDevice->CheckProjectIds() : PLCCOM_FAILED;
    LeaveOnlineAccess();
    if (lCheck == PLCCOM_OK) {
        m_bLoadSymbols = bLoadSymbolsOnReconnect;
        return RESULT_OK;
    }
    if (lCheck == PLCCOM_COMM_FATAL) {
        DisconnectPlc(0);
        return RESULT_COMM_FATAL;
    }
    DeleteSymbols();
    AddLogEntry(
        LOG_DEBUG, 1,
        "CKestrolink: <-LoadSymbols: CheckProjectIds() FAILED (no symbols or not uptodate), delete symbols");
    return RESULT_NO_SYMBOLS;
}

// ---- Reconnect thread ------------------------------------------------------------------------

RTS_UI32 CKestrolink::ThreadJoinLimit(RTS_UI32 ulMinMs) {
    CPLCComBase* pDevice = m_pplccom.load();
    RTS_UI64 ullProduct = 0;
    if (pDevice != nullptr) {
        ullProduct = static_cast<RTS_UI64>(pDevice->GetRetries()) * pDevice->GetTimeout();
    }
    RTS_UI64 ullLimit = ullProduct > ulMinMs ? ullProduct : ulMinMs;
    // All bits set would mean "no limit" and the value below it "twice the interval".
    return ullLimit >= 0xFFFFFFFEull ? 0xFFFFFFFDu : static_cast<RTS_UI32>(ullLimit);
}

RTS_I32 CKestrolink::StartReconnectThread() {
    SysSemGuard guard(m_hsemReconnect);
    if (m_hReconnectThread.load() != RTS_INVALID_HANDLE && m_iReconnect.load() == 0) {
        TerminateReconnectThread();
    }
    RTS_I32 iState = m_iState.load();
    if (m_hReconnectThread.load() != RTS_INVALID_HANDLE || iState == STATE_TERMINATE ||
        iState == STATE_DISCONNECT) {
        return RESULT_OK;
    }
    char szTaskName[kTaskNameLen];
    snprintf(szTaskName, sizeof(szTaskName), "%s_ReconnectThread",
             m_pPlcConfig->pszName != nullptr ? m_pPlcConfig->pszName : "");
    m_iReconnect = 1;
    RTS_RESULT result = ERR_FAILED;
    RTS_HANDLE hTask =
        SysTaskCreate(szTaskName, ReconnectThread, this, kThreadPriority, 0, 0, nullptr, &result);
    if (hTask == RTS_INVALID_HANDLE || hTask == nullptr || result != ERR_OK) {
        m_iReconnect = 0;
        return RESULT_FAILED;
    }
    m_hReconnectThread = hTask;
    SysTaskResume(hTask);
    return RESULT_OK;
}

RTS_I32 CKestrolink::TerminateReconnectThread() {
    RTS_HANDLE hTask;
    {
        SysSemGuard guard(m_hsemReconnect);
        hTask = m_hReconnectThread.exchange(RTS_INVALID_HANDLE);
    }
    if (hTask == RTS_INVALID_HANDLE) {
        return RESULT_OK;
    }
    unsigned uiThreadId = OsThreadIdOf(hTask);
    if (SysTaskExit(hTask, ThreadJoinLimit(m_ulJoinLimitMinMs.load())) == ERR_TIMEOUT) {
        m_iReconnect = 0;
        AddLogEntry(LOG_ERROR, 0,
                    "CKestrolink::TerminateReconnectThread(): Exit ReconnectThread failed, please check the "
                    "timeouts");
        AddLogEntry(LOG_KL_THREADS, 0,
                    "CKestrolink::TerminateReconnectThread(): ReconnectThread (Id = 0x%X) killed",
                    uiThreadId);
        return RESULT_FAILED;
    }
    return RESULT_OK;
}

RTS_I32 CKestrolink::WaitSleep(SYS_TASK_PARAM* ptp, const RTS_UI32* pulMsToSleep, RTS_UI32 ulStartTime,
                               RTS_UI32 ulStepMs) {
    RTS_UI32 ulPeriod = LoadU32(pulMsToSleep);
    RTS_UI32 ulElapsed = SysTimeElapsedMs(SysTimeGetMs(), ulStartTime);
    if (ulElapsed >= ulPeriod) {
        // Never a busy loop: sleep a little even when the period is over.
        SysTaskWaitSleep(nullptr, ulPeriod == 0 ? 1 : (ulPeriod < 10 ? ulPeriod : 10));
        return 1;
    }
    while (ulElapsed < ulPeriod && (ptp == nullptr || ptp->bExit.load() == 0)) {
        RTS_UI32 ulRest = ulPeriod - ulElapsed;
        SysTaskWaitSleep(nullptr, ulRest < ulStepMs ? ulRest : ulStepMs);
        ulPeriod = LoadU32(pulMsToSleep);
        ulElapsed = SysTimeElapsedMs(SysTimeGetMs(), ulStartTime);
    }
    return 1;
}

void CKestrolink::ReconnectThread(SYS_TASK_PARAM* ptp) {
    auto* pThis = static_cast<CKestrolink*>(ptp->pParam);
    // The decision to end and the end mark are one step under the lock that
    // StartReconnectThread holds: a failure reported meanwhile either keeps
    // this thread going or finds it ended and starts a new one.
    auto bStop = [pThis, ptp](bool bConnectOnlyEnds) {
        SysSemGuard guard(pThis->m_hsemReconnect);
        RTS_I32 iState = pThis->m_iState.load();
        bool bEnd = ptp->bExit.load() != 0 || iState == STATE_RUNNING || iState == STATE_TERMINATE ||
                    iState == STATE_DISCONNECT || iState == STATE_PLC_CONFIG_ERROR ||
                    (bConnectOnlyEnds && pThis->m_bConnectOnly);
        if (bEnd) {
            pThis->m_iReconnect = 0;
        }
        return bEnd;
    };
    pThis->m_iReconnect = 1;
    pThis->AddLogEntry(LOG_KL_THREADS, 0, "CKestrolink: ReconnectThread (Id = 0x%X) started", OsThreadId());
    for (;;) {
        RTS_UI32 ulStart = SysTimeGetMs();
        pThis->AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: Reconnect cycle begin...",
                           static_cast<int>(pThis->m_iReconnect.load()));
        const char* pszStartMessage = nullptr;
        switch (pThis->m_iState.load()) {
            case STATE_PLC_NOT_CONNECTED:
                pszStartMessage =
                    "CKestrolink: ReconnectThread: starts with STATE_PLC_NOT_CONNECTED: close channel ...";
                break;
            case STATE_NO_SYMBOLS:
                pszStartMessage =
                    "CKestrolink: ReconnectThread: starts with STATE_NO_SYMBOLS: close channel ...";
                break;
            case STATE_PLC_CONNECT_ERROR:
                pszStartMessage =
                    "CKestrolink: ReconnectThread: starts with STATE_PLC_CONNECT_ERROR: close channel ...";
                break;
            case STATE_PLC_CONFIG_ERROR:
                pszStartMessage =
                    "CKestrolink: ReconnectThread: starts with STATE_PLC_CONFIG_ERROR: close channel ...";
                break;
            default:
                break;
        }
        if (pszStartMessage != nullptr) {
            pThis->AddLogEntry(LOG_DEBUG, 0, "%s", pszStartMessage);
            pThis->DisconnectPlc(0);
        }
        if (IsCredentialError(pThis->m_lLastError.load())) {
            pThis->SetState(STATE_PLC_CONFIG_ERROR);
        } else {
            pThis->Reconnect();
        }
        pThis->AddLogEntry(LOG_INFO, 0, "CKestrolink: Reconnect[%d]: Reconnect cycle end",
                           static_cast<int>(pThis->m_iReconnect.load()));
        pThis->m_iReconnect.fetch_add(1);
        // Connect-only makes exactly one attempt.
        if (bStop(true)) {
            break;
        }
        pThis->WaitSleep(ptp, &pThis->m_pPlcConfig->ulReconnectTime, ulStart, kReconnectSleepStepMs);
        if (bStop(false)) {
            break;
        }
    }
    switch (pThis->m_iState.load()) {
        case STATE_RUNNING:
            pThis->AddLogEntry(LOG_INFO, 0, "CKestrolink: ReconnectThread ends with STATE_RUNNING");
            break;
        case STATE_TERMINATE:
            pThis->AddLogEntry(LOG_INFO, 0, "CKestrolink: ReconnectThread() ends with STATE_TERMINATE");
            break;
        case STATE_PLC_CONNECTED:
            pThis->AddLogEntry(LOG_INFO, 0, "CKestrolink: ReconnectThread() ends with STATE_PLC_CONNECTED");
            break;
        case STATE_DISCONNECT:
            pThis->AddLogEntry(LOG_INFO, 0, "CKestrolink: ReconnectThread() ends with STATE_DISCONNECT");
            break;
        case STATE_PLC_NOT_CONNECTED:
            pThis->AddLogEntry(LOG_INFO, 0,
                               "CKestrolink: ReconnectThread() ends with STATE_PLC_NOT_CONNECTED");
            break;
        default:
            break;
    }
    pThis->AddLogEntry(LOG_KL_THREADS, 0, "CKestrolink: ReconnectThread (Id = 0x%X) terminates",
                       OsThreadId());
}

// ---- Threads and lists of later stages --------------------------------------------------------
// The keep-alive thread, the asynchronous service thread and the update
// threads of cyclic lists are started and stopped at these points; until
// those threads exist the operations keep the flags consistent and join any
// thread whose handle is set.

RTS_I32 CKestrolink::ExitAllUpdateThreads(RTS_I32 bWaitForExitAllThreads) {
    (void)bWaitForExitAllThreads;
    return 0;
}

void CKestrolink::CycDeleteVarListTable(RTS_I32 bShutdown) {
    (void)bShutdown;
}

void CKestrolink::CycReactivateInactiveVarLists() {}

RTS_I32 CKestrolink::CreateKeepAliveThread() {
    m_bKeepAliveActive = m_bKeepAliveConfig;
    return RESULT_OK;
}

RTS_I32 CKestrolink::DeleteKeepAliveThread() {
    m_bKeepAliveActive = 0;
    RTS_HANDLE hTask = m_hKeepAliveThread.exchange(RTS_INVALID_HANDLE);
    if (hTask == RTS_INVALID_HANDLE) {
        return RESULT_OK;
    }
    unsigned uiThreadId = OsThreadIdOf(hTask);
    if (SysTaskExit(hTask, ThreadJoinLimit(kKeepAliveJoinMinMs)) == ERR_TIMEOUT) {
        AddLogEntry(LOG_ERROR, 0,
                    "CKestrolink::DeleteKeepAliveThread(): Exit KeepAliveThread failed, please check the "
                    "timeout settings");
        AddLogEntry(LOG_KL_THREADS, 0,
                    "CKestrolink::DeleteKeepAliveThread(): KeepAliveThread (Id = 0x%X) killed", uiThreadId);
        return RESULT_FAILED;
    }
    return RESULT_OK;
}

RTS_I32 CKestrolink::CreateAsyncMgrThread() {
    return RESULT_OK;
}

RTS_I32 CKestrolink::DeleteAsyncMgrThread() {
    RTS_HANDLE hTask = m_hAsyncMgrThread.exchange(RTS_INVALID_HANDLE);
    if (hTask == RTS_INVALID_HANDLE) {
        return RESULT_OK;
    }
    unsigned uiThreadId = OsThreadIdOf(hTask);
    if (SysTaskExit(hTask, ThreadJoinLimit(kAsyncMgrJoinMinMs)) == ERR_TIMEOUT) {
        AddLogEntry(LOG_KL_THREADS, 0,
                    "CKestrolink::DeleteAsyncMgrThread(): AsyncMgrThread (Id = 0x%X) killed", uiThreadId);
        return RESULT_FAILED;
    }
    return RESULT_OK;
}

RTS_I32 CKestrolink::StartKeeplive() {
    m_bKeepAliveActive = 1;
    return RESULT_OK;
}

RTS_I32 CKestrolink::StopKeeplive() {
    m_bKeepAliveActive = 0;
    return RESULT_OK;
}

// ---- Online lock ------------------------------------------------------------------------------

RTS_I32 CKestrolink::EnterOnlineAccess(RTS_UI32 ulTimeout) {
    if (m_hsemOnlineAccess == RTS_INVALID_HANDLE) {
        AddLogEntry(LOG_ERROR, 0, "m_hsemOnlineAccess == RTS_INVALID_HANDLE, m_hsemOnlineAccess not entered");
        return RESULT_FAILED;
    }
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: ->EnterOnlineAccess()");
    RTS_I32 lResult = RESULT_TIMEOUT;
    if (ulTimeout == RTS_TIMEOUT_INFINITE) {
        AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "m_psemOnlineAccess->Enter()");
        lResult = SysSemEnter(m_hsemOnlineAccess) == ERR_OK ? RESULT_OK : RESULT_FAILED;
    } else {
        RTS_UI32 ulStart = SysTimeGetMs();
        while (SysTimeElapsedMs(SysTimeGetMs(), ulStart) < ulTimeout) {
            RTS_RESULT tryResult = SysSemTry(m_hsemOnlineAccess);
            if (tryResult == ERR_OK) {
                AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "m_psemOnlineAccess->Try()");
                lResult = RESULT_OK;
                break;
            }
            if (tryResult == ERR_NOT_IMPLEMENTED) {
                lResult = SysSemEnter(m_hsemOnlineAccess) == ERR_OK ? RESULT_OK : RESULT_FAILED;
                break;
            }
            SysTaskWaitSleep(nullptr, kTryLockPollMs);
        }
        if (lResult == RESULT_TIMEOUT) {
            AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "m_psemOnlineAccess->Try() Timeout!!");
        }
    }
    if (lResult == RESULT_OK) {
        NoteLockTaken();
    }
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: <-EnterOnlineAccess()");
    return lResult;
}

RTS_I32 CKestrolink::LeaveOnlineAccess() {
    if (m_hsemOnlineAccess == RTS_INVALID_HANDLE) {
        AddLogEntry(LOG_ERROR, 0, "m_hsemOnlineAccess == RTS_INVALID_HANDLE, m_hsemOnlineAccess not left");
        return RESULT_OK;
    }
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: ->LeaveOnlineAccess()");
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "m_psemOnlineAccess->Leave()");
    SysSemLeave(m_hsemOnlineAccess);
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: <-LeaveOnlineAccess()");
    NoteLockReleased();
    return RESULT_OK;
}

RTS_I32 CKestrolink::EnterOnlineAccessWithStateCheck(RTS_I32 bConnectOnly) {
    if (!IsRunningState(bConnectOnly != 0)) {
        AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "%s",
                    bConnectOnly
                        ? "CKestrolink: <-EnterOnlineAccessWithStateCheck() not in state STATE_PLC_CONNECTED "
                          "(PreCheck for ConnectOnly)"
                        : "CKestrolink: <-EnterOnlineAccessWithStateCheck() not in state STATE_RUNNING "
                          "(PreCheck)");
        return RESULT_PLC_NOT_CONNECTED;
    }
    RTS_I32 lResult = EnterOnlineAccess(RTS_TIMEOUT_INFINITE);
    if (lResult == RESULT_TIMEOUT) {
        AddLogEntry(LOG_KL_ONLINE_ACCESS, 0,
                    "CKestrolink: <-EnterOnlineAccessWithStateCheck() enter timed out");
        return RESULT_TIMEOUT;
    }
    if (lResult != RESULT_OK) {
        AddLogEntry(LOG_KL_ONLINE_ACCESS, 0,
                    "CKestrolink: <-EnterOnlineAccessWithStateCheck() returns with result RESULT_FAILED");
        return RESULT_FAILED;
    }
    if (!IsRunningState(bConnectOnly != 0)) {
        LeaveOnlineAccess();
        AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "%s",
                    bConnectOnly
                        ? "CKestrolink: <-EnterOnlineAccessWithStateCheck() not in state STATE_PLC_CONNECTED "
                          "(ValidationCheck for ConnectOnly)"
                        : "CKestrolink: <-EnterOnlineAccessWithStateCheck() not in state STATE_RUNNING "
                          "(ValidationCheck)");
        return RESULT_PLC_NOT_CONNECTED;
    }
    AddLogEntry(LOG_KL_ONLINE_ACCESS, 0, "CKestrolink: <-EnterOnlineAccessWithStateCheck()");
    return RESULT_OK;
}

RTS_I32 CKestrolink::HandleOnlineResult(RTS_I32 lResult) {
    if (IsHarmlessDeviceResult(lResult)) {
        return lResult;
    }
    switch (lResult) {
        case PLCCOM_VARLIST_INVALID:
        case PLCCOM_NO_APPLICATION:
            SetState(STATE_NO_SYMBOLS);
            AddLogEntry(LOG_ERROR, 0, "CKestrolink: no project or symbols changed");
            break;
        case PLCCOM_GATEWAY_SHUTDOWN:
            SetState(STATE_PLC_NOT_CONNECTED);
            AddLogEntry(
                LOG_ERROR, 0,
                "CKestrolink: Remote Gateway was asked to shutdown (by Windows shutdown), log out and close "
                "channel");
            break;
        case PLCCOM_INVALID_CREDENTIALS:
            SetLastError(RESULT_ACCESS_DENIED);
            SetState(STATE_PLC_CONNECT_ERROR);
            AddLogEntry(LOG_ERROR, 0,
                        "CKestrolink: Access error, missing user rights for requested operation");
            break;
        case PLCCOM_USERMGMT_NOT_ACTIVE:
            SetLastError(RESULT_NO_USER_MANAGEMENT);
            SetState(STATE_PLC_CONNECT_ERROR);
            AddLogEntry(LOG_ERROR, 0,
                        "CKestrolink: A login was done with a user name, but no user management is active.");
            break;
        default:
            // The channel is gone: there is nobody to log out from.
            m_bLogout = 0;
            SetState(STATE_PLC_NOT_CONNECTED);
            AddLogEntry(LOG_ERROR, 0, "CKestrolink: Communication error occurred");
            break;
    }
    return lResult;
}

RTS_I32 CKestrolink::HandleOnlineErrorResult(RTS_I32 lResult) {
    if (IsHarmlessDeviceResult(lResult)) {
        return lResult;
    }
    if (m_pPlcConfig->ulReconnectTime != kNoReconnect) {
        AddLogEntry(LOG_INFO, 0, "CKestrolink: Start reconnect");
        StartReconnectThread();
    } else {
        AddLogEntry(LOG_INFO, 0, "CKestrolink: Start ReconnectThread denied by configuration");
    }
    return lResult;
}

// ---- Gateway password -----------------------------------------------------------------------

void CKestrolink::SetGWPwd(const char* pPassword, RTS_UI32 ulSize) {
    if (m_pPlcConfig->gwc == nullptr) {
        m_pPlcConfig->gwc = new (std::nothrow) GatewayConnection();
        if (m_pPlcConfig->gwc == nullptr) {
            return;
        }
    }
    char* pszCopy = nullptr;
    if (pPassword != nullptr && ulSize > 0) {
        pszCopy = new (std::nothrow) char[ulSize];
        if (pszCopy == nullptr) {
            return;
        }
        KlStrCopy(pszCopy, ulSize, pPassword);
    }
    delete[] m_pPlcConfig->gwc->pszPassword;
    m_pPlcConfig->gwc->pszPassword = pszCopy;
}

void CKestrolink::BackupGWPwd() {
    delete[] m_pszGWPwdBackup;
    m_pszGWPwdBackup = nullptr;
    if (m_pPlcConfig->gwc != nullptr) {
        m_pszGWPwdBackup = UtlStrDup(m_pPlcConfig->gwc->pszPassword);
    }
    m_bGWPwdIsBackedUp = 1;
}

void CKestrolink::RestoreGWPwdIfBackedUp() {
    if (!m_bGWPwdIsBackedUp) {
        return;
    }
    if (m_pPlcConfig->gwc != nullptr) {
        delete[] m_pPlcConfig->gwc->pszPassword;
        m_pPlcConfig->gwc->pszPassword = m_pszGWPwdBackup;
    } else {
        delete[] m_pszGWPwdBackup;
    }
    m_pszGWPwdBackup = nullptr;
    m_bGWPwdIsBackedUp = 0;
}
