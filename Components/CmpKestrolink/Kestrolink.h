// The connection object of the SDK: one CKestrolink stands for one configured
// controller. It owns the configuration and exactly one device object (chosen
// by the interface type), drives the connection through its state machine
// (open, log in, load symbols, check the project, run), repairs a broken
// connection with a background reconnect thread, serialises every request to
// the device through its online lock and reports state changes and credential
// requests through CKestrolinkCallback objects. The C interface forwards to
// it; variable lists, keep-alive and the services sit on what is here.
//
// Lock order: m_hsemConnect, then m_hsemOnlineAccess, then the cyclic list
// table lock, then a list's value lock. A thread holding the online lock never
// takes m_hsemConnect; the reconnect thread never takes it at all.
//
// Files: Kestrolink.cpp (set-up, configuration, logging, scan, items),
// KestrolinkConnect.cpp (states, connect and disconnect, reconnect thread,
// online lock), KestrolinkSync.cpp (synchronous variable lists and the
// write-through read cache), KestrolinkCycUnsupported.cpp (the cyclic list
// operations of a build without cyclic lists).
#pragma once

#include <atomic>
#include <cstdarg>
#include <deque>
#include <mutex>
#include <unordered_set>

#include "CmpStd.h"
#include "KestrolinkCallback.h"
#include "PLCComBase.h"
#include "SysTask.h"
#include "kestrolink/Kestrolink.h"
#include "kestrolink/KestrolinkTypes.h"
#include "kestrolink/PlcConfig.h"
#include "kestrolink/PlcSymbol.h"

class CKestrolink;
class CycVarList;
class SyncVarList;

// Version of the SDK: text and one byte per number, major first.
#define KESTROLINK_VERSION_TEXT "3.5.17.20"
#define KESTROLINK_VERSION_NUMBER 0x03051114

// Log classes of the connection beyond those of the runtime logger: enter and
// leave of the online lock, item access and list value access; thread start,
// end and kill; durations of online requests.
#ifndef LOG_KL_ONLINE_ACCESS
#define LOG_KL_ONLINE_ACCESS 256
#endif
#ifndef LOG_KL_THREADS
#define LOG_KL_THREADS 512
#endif
#ifndef LOG_KL_DURATION
#define LOG_KL_DURATION 1024
#endif

// The reconnect thread is asked to end and joined for max(retries x timeout,
// this) ms before it is killed.
#define KESTROLINK_RECONNECT_JOIN_MIN_MS 5000u

// Makes the device object for a connection instead of the built-in choice by
// interface type; null falls back to the built-in choice. Used by programs
// (and tests) that bring device classes of their own.
typedef CPLCComBase* (*PFKESTROLINKCREATEDEVICE)(void* pUser, CKestrolink* pKestrolink, ItfType it,
                                                 const PlcConfig* pPlcConfig,
                                                 const PlcDeviceDesc* pDeviceDesc, void* hLogger);

class KESTROLINK_API CKestrolink {
public:
    explicit CKestrolink(void* hLogger);
    CKestrolink(PlcConfig* pPlcConfig, PlcDeviceDesc* pDeviceDesc, void* hLogger);
    // From configuration entry pszPlcName / ulId of an INI file, which also
    // becomes the runtime's settings file.
    CKestrolink(const char* pszPlcName, const char* pszIniFile, void* hLogger);
    CKestrolink(RTS_UI32 ulId, const char* pszIniFile, void* hLogger);
    CKestrolink(const CKestrolink&) = delete;
    CKestrolink& operator=(const CKestrolink&) = delete;

    // ---- Virtual operations, in their fixed slot order ----
    virtual ~CKestrolink();

    // Logging.
    virtual RTS_I32 SetLogging(RTS_I32 bEnable, RTS_UI32 ulLogFilter);
    virtual RTS_I32 GetLogging();
    virtual RTS_I32 SetLogFileCapacity(RTS_I32 iMaxFileSize, RTS_I32 iMaxFiles);
    virtual RTS_I32 SetLogFile(void* hLogFile);
    virtual RTS_I32 SetLogFile(const char* pszLogFile);
    virtual void* GetLogFile();
    virtual RTS_I32 AddLogEntry(RTS_UI32 CmpId, RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo, ...)
        __attribute__((format(printf, 5, 6)));
    virtual RTS_I32 AddLogEntry(RTS_UI32 CmpId, RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo,
                                va_list* pArgList);
    virtual RTS_UI32 GetVersion(char* pszVersion, RTS_I32 lLen);
    virtual RTS_I32 ScanNetwork(GatewayConnection* pGatewayConnection,
                                CKestrolinkCallback* pPlcFoundCallback);

    // Configuration.
    virtual RTS_I32 SetConfig(const char* pszIniFile);
    virtual RTS_I32 SetConfig(PlcConfig* pPlcConfig, PlcDeviceDesc* pDeviceDesc);
    virtual RTS_I32 SetConfig(const char* pszConfig, RTS_UI32 ulConfigLen, const char* pszLineEnd);
    virtual RTS_I32 SetConfigInteractive();
    virtual RTS_I32 GetConfig(PlcConfig** ppPlcConfig, PlcDeviceDesc** ppDeviceDesc);
    virtual RTS_I32 SaveConfigInFile(const char* pszIniFile);
    virtual RTS_I32 SetTimeout(RTS_UI32 ulTimeout);
    virtual RTS_UI32 GetTimeout();
    virtual const char* GetName();
    virtual RTS_UI32 GetId();
    virtual RTS_I32 SetClientInformation(const char* pszClientName, const char* pszClientVendorName,
                                         const char* pszClientVersion, RTS_UI16 usClientSpecific);
    virtual void SetFinalShutDown();

    // Connection.
    virtual RTS_I32 Connect(RTS_UI32 ulTimeout, CKestrolinkCallback* pStateChangedCallback,
                            RTS_I32 bLoadSymbols);
    virtual RTS_I32 Disconnect();
    virtual KESTROLINK_STATE GetState();
    virtual RTS_I32 GetLastError();
    virtual void SetStateChangedCallback(CKestrolinkCallback* pStateChangedCallback);
    virtual CKestrolinkCallback* GetStateChangedCallback();
    virtual RTS_I32 GetReconnectCycles();
    virtual RTS_I32 StartKeeplive();
    virtual RTS_I32 StopKeeplive();
    virtual RTS_I32 LoadSymbolsFromPlc(RTS_I32 bLoadSymbolsOnReconnect);

    // Items.
    virtual RTS_I32 EnterItemAccess();
    virtual RTS_I32 LeaveItemAccess();
    virtual RTS_I32 GetAllItems(PlcSymbolDesc** ppSymbolList, RTS_UI32* pulNumOfSymbols);
    virtual RTS_I32 GetItem(const char* pszSymbol, PlcSymbolDesc* pSymbol);
    virtual RTS_I32 GetAddressOfMappedItem(const char* pszSymbol, char* pszMappedAddr, RTS_I32 lLen);
    virtual RTS_I32 ExpandItem(const char* pszSymbol, PlcSymbolDesc** ppSymbolList,
                               RTS_UI32* pulNumOfSymbols);
    virtual RTS_I32 ReleaseExpandedItems(PlcSymbolDesc* pSymbolList);

    // Cyclic lists.
    virtual HCYCLIST CycDefineVarList(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                      RTS_UI32 ulUpdateRate, CKestrolinkCallback* pUpdateReadyCallback,
                                      CKestrolinkCallback* pDataChangeCallback, RTS_HANDLE hUpdateEvent,
                                      RTS_UI32 ulFlags, RTS_I32* plResult,
                                      CKestrolinkCallback* pReactivateInactiveVarListCallback);
    virtual HCYCLIST CycUpdateVarList(HCYCLIST hCycVarList, const char* const* ppszSymbols,
                                      RTS_UI32 ulNumOfSymbols, RTS_UI32 ulUpdateRate,
                                      CKestrolinkCallback* pUpdateReadyCallback,
                                      CKestrolinkCallback* pDataChangeCallback, RTS_HANDLE hUpdateEvent,
                                      RTS_UI32 ulFlags, RTS_I32* plResult,
                                      CKestrolinkCallback* pReactivateInactiveVarListCallback);
    virtual RTS_I32 CycDeleteVarList(HCYCLIST hCycVarList, RTS_I32 bKeepalive);
    virtual RTS_I32 CycEnableList(HCYCLIST hCycVarList);
    virtual RTS_I32 CycDisableList(HCYCLIST hCycVarList);
    virtual RTS_I32 CycIsValidList(HCYCLIST hCycVarList);
    // 1 when the list's value lock was taken.
    virtual RTS_I32 CycEnterVarAccess(HCYCLIST hCycVarList);
    virtual void CycLeaveVarAccess(HCYCLIST hCycVarList);
    virtual RTS_I32 CycReadVars(HCYCLIST hCycVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues);
    virtual RTS_I32 CycReadChangedVars(HCYCLIST hCycVarList, PlcVarValue*** pppChangedValues,
                                       RTS_UI32** ppChangedValuesIndex, RTS_UI32* pulNumOfChangedValues);
    virtual RTS_UI32 CycGetUpdateRate(HCYCLIST hCycVarList);
    virtual RTS_UI32 CycGetOperatingRate(HCYCLIST hCycVarList);
    virtual RTS_I32 CycSetUpdateRate(HCYCLIST hCycVarList, RTS_UI32 ulUpdateRate);
    virtual RTS_I32 CycGetSymbolList(HCYCLIST hCycVarList, char*** pppCycSymbolList);
    virtual RTS_UI32 CycGetNumOfLists();
    virtual HCYCLIST CycGetVarListByIndex(RTS_UI32 ulIndex);
    virtual RTS_I32 CycGetVarListIndex(HCYCLIST hCycVarList);
    virtual RTS_I32 CycAddSymbolsToVarList(HCYCLIST hCycVarList, const char* const* ppszSymbols,
                                           RTS_UI32 ulNumOfSymbolsToAdd);
    virtual RTS_I32 CycRemoveSymbolsFromVarList(HCYCLIST hCycVarList, const char* const* ppszSymbols,
                                                RTS_UI32 ulNumOfSymbolsToRemove);
    virtual RTS_I32 CycRemoveSymbolsFromVarList(HCYCLIST hCycVarList, const RTS_UI32* pulRemoveIndexList,
                                                RTS_UI32 ulNumOfSymbolsToRemove);
    // The three notification objects a valid list uses now (null where it
    // has none): RESULT_OK, RESULT_INVALID_CYCLIST, or RESULT_NOT_SUPPORTED.
    // The C interface destroys the objects it made only once no list uses
    // them any more.
    virtual RTS_I32 CycGetNotificationObjects(HCYCLIST hCycVarList,
                                              CKestrolinkCallback** ppUpdateReadyCallback,
                                              CKestrolinkCallback** ppDataChangeCallback,
                                              CKestrolinkCallback** ppReactivateInactiveVarListCallback);

    // Synchronous variable access. A list handle is a SyncVarList of this
    // object; handles it did not hand out, or released already, are refused.
    virtual HVARLIST SyncDefineVarList(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                       RTS_UI32 ulFlags, RTS_I32* plResult);
    virtual RTS_I32 SyncDeleteVarList(HVARLIST hSyncVarList);
    virtual RTS_I32 SyncReadVarListFromPlc(HVARLIST hSyncVarList, PlcVarValue*** pppValues,
                                           RTS_UI32* pulNumOfValues);
    virtual RTS_I32 SyncWriteVarListToPlc(HVARLIST hSyncVarList, RTS_UI32 ulNumOfSymbols,
                                          const RTS_UI8* const* ppbyValues, const RTS_UI32* pulValueSizes);
    virtual HVARLIST SyncReadVarsFromPlc(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                         PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues);
    virtual RTS_I32 SyncReadVarsFromPlc(HVARLIST hSyncVarList, PlcVarValue*** pppValues,
                                        RTS_UI32* pulNumOfValues);
    virtual RTS_I32 SyncReadVarsFromPlcReleaseValues(HVARLIST hSyncRead);
    virtual RTS_I32 SyncWriteVarsToPlc(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                       const RTS_UI8* const* ppbyValues, const RTS_UI32* pulValueSizes);

    // The file, application and device services (UploadFile ... SendPlcEcho)
    // take their slots here.

    // Online lock.
    virtual RTS_I32 EnterOnlineAccess(RTS_UI32 ulTimeout);
    virtual RTS_I32 LeaveOnlineAccess();
    virtual CPLCComBase* GetPlcComObject();

    // The raw services (SyncSendService, AsyncSendService, AsyncGetServiceReply,
    // GetDeviceSessionId) take their slots here.

    // ---- Test and integration seams (not virtual) ----
    // Lower bound of the join limit of the connection's threads (default
    // KESTROLINK_RECONNECT_JOIN_MIN_MS).
    void SetThreadJoinLimit(RTS_UI32 ulMinMs) { m_ulJoinLimitMinMs = ulMinMs; }
    void SetDeviceFactory(PFKESTROLINKCREATEDEVICE pfCreate, void* pUser);
    // 1 while a network scan has not reported its end.
    RTS_I32 IsScanRunning();
    // The device information the device object holds (identification); the
    // record stays the device object's.
    RTS_I32 GetDeviceInfo(DeviceInfo3** ppDeviceInfo);

    // Client data: two words that the C interface and clients use as they like.
    RTS_UI32 ulCstData{0};
    void* pCstData{nullptr};

protected:
    // Ends all that runs on its own (the reconnect thread and the threads and
    // lists that hang on the connection, a running network scan) and deletes
    // the device object. The destructor does it; a derived class whose
    // overrides those threads may call, calls it first in its own destructor,
    // while its part of the object still exists. A second call does nothing.
    void StopAll();

    // ---- Internal virtual operations, in their fixed slot order ----
    virtual void Init(void* hLogger);
    virtual RTS_I32 GetPlcIdbyName(const char* pszPlcName, const char* pszIniFile);
    virtual void ValidateAndReadConfig();
    virtual void PrintConfig();
    virtual RTS_I32 ConnectPlc();
    virtual RTS_I32 Reconnect();
    virtual RTS_I32 DisconnectPlc(RTS_I32 bShutdown);
    virtual RTS_I32 LoadSymbols();
    virtual RTS_I32 LoadSymbolsOffline();
    virtual RTS_I32 DeleteSymbols();
    virtual RTS_I32 StartReconnectThread();
    virtual RTS_I32 TerminateReconnectThread();
    // StartUpdateThread and TerminateUpdateThread (cyclic lists) take their slots here.
    virtual RTS_I32 ExitAllUpdateThreads(RTS_I32 bWaitForExitAllThreads);
    virtual void InitState();
    virtual void SetState(KESTROLINK_STATE iState);
    // The connect lock; while a thread holds it or the online lock, the state
    // changes it makes are queued and delivered once it has let go of both,
    // so that the application's callback never runs under an object lock.
    void EnterConnectLock();
    void LeaveConnectLock();
    virtual void SetLastError(RTS_I32 lLastError);
    virtual RTS_I32 AddLogEntry(RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo, ...)
        __attribute__((format(printf, 4, 5)));
    virtual RTS_I32 HandleOnlineResult(RTS_I32 lResult);
    virtual RTS_I32 HandleOnlineErrorResult(RTS_I32 lResult);
    virtual RTS_UI32 GetRetries();
    // CycEnterListAccess and CycLeaveListAccess take their slots here.
    virtual RTS_UI32 GetIndex(const char* pszSymbol, PlcSymbolDesc* pSymbolList, RTS_UI32 ulNumOfSymbols);
    // CycDeleteVarListInternal takes its slot here.
    virtual void CycDeleteVarListTable(RTS_I32 bShutdown);
    virtual void CycReactivateInactiveVarLists();
    // The remaining cyclic list internals (CycSendReactivateInactiveVarListCallback
    // ... CycRemoveSymbolsFromVarListInternal) take their slots here.
    virtual RTS_I32 CreateKeepAliveThread();
    virtual RTS_I32 DeleteKeepAliveThread();
    virtual RTS_I32 CreateAsyncMgrThread();
    virtual RTS_I32 DeleteAsyncMgrThread();
    virtual RTS_I32 EnterOnlineAccessWithStateCheck(RTS_I32 bConnectOnly);
    virtual RTS_I32 WaitSleep(SYS_TASK_PARAM* ptp, const RTS_UI32* pulMsToSleep, RTS_UI32 ulStartTime,
                              RTS_UI32 ulStepMs);
    // The application-state internals (GetAppStateList ... CopyApplicationInfo2)
    // take their slots here.
    virtual void SetGWPwd(const char* pPassword, RTS_UI32 ulSize);
    virtual void BackupGWPwd();
    virtual void RestoreGWPwdIfBackedUp();

    // ---- Helpers (not virtual) ----
    // Entry points handed to V3 device objects, user data = this object.
    static RTS_I32 VerifyCallback(RTS_UINTPTR ulUserData, char* pszBase64PlcCert,
                                  RTS_UI32 ulBase64PlcCertSize, RTS_I32 lVerifyResult);
    static RTS_I32 RequestCredentialsCallback(RTS_UINTPTR ulUserData, RequestCredentialsType type,
                                              char* pUserName, RTS_UI32 userNameBufSize, char* pPassword,
                                              RTS_UI32 passwordBufSize);
    static void PlcFoundCallback(RTS_UINTPTR ulUserData, NodeInfotyp2* pNodeInfo2);
    static void ReconnectThread(SYS_TASK_PARAM* ptp);

    CPLCComBase* CreatePlcComObject(ItfType it, const PlcConfig* pPlcConfig, void* hLogger, bool bForScan);
    // One credential request into the two 256-character buffers, zeroed before
    // the call and terminated after it.
    RTS_I32 AskCredentials(RequestCredentialsType type, char* pszUser, char* pszPassword);
    // Stops the keep-alive and service threads, the cyclic lists and their
    // threads: the part of DisconnectPlc that must run before a device object
    // goes, also when the channel cannot be closed cleanly.
    void StopThreadsAndLists(RTS_I32 bShutdown);
    // Join limit of the reconnect thread: max(retries x timeout, lower bound).
    RTS_UI32 ThreadJoinLimit(RTS_UI32 ulMinMs);
    RTS_I32 AddLogEntryArg(RTS_UI32 CmpId, RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo,
                           va_list argList);
    bool LogEnabled(RTS_I32 iClassID);
    void ResolveLogFunctions();
    void DeleteOwnLogger();
    // Deletes a scan device object whose scan has ended (never from inside its
    // own callback chain).
    void ReleaseFinishedScan();
    // After a successful write, still holding the online lock: copies the
    // written values into the cyclic lists that hold the same names (the
    // write-through read cache) and reports the change.
    void CycWriteThroughReadCache(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                  const RTS_UI8* const* ppbyValues, const RTS_UI32* pulValueSizes);
    // The synchronous lists this object handed out and has not released.
    bool SyncListIsKnown(SyncVarList* pList);
    void SyncListForget(SyncVarList* pList);
    // Releases the lists a client left behind, once the device object is gone.
    void SyncDeleteAllLists();
    bool IsRunningState(bool bConnectOnly) const;
    bool IsItemState() const;
    RTS_I32 EnterItemLockWithStateCheck(const char* pszOperation);

    static std::atomic<RTS_I32> s_i32CKestrolinkInstanceCounter;
    static std::atomic<RTS_I32> s_bFinalShutDown;

    // ---- Fields, in declared order ----
    RTS_I32 m_i32InstanceNumber{0};
    PlcConfig* m_pPlcConfig{nullptr};
    char* m_pszGWPwdBackup{nullptr};
    RTS_I32 m_bGWPwdIsBackedUp{0};
    PlcDeviceDesc* m_pDeviceDesc{nullptr};
    char* m_pszClientName{nullptr};
    char* m_pszClientVendorName{nullptr};
    char* m_pszClientVersion{nullptr};
    RTS_UI16 m_usClientSpecific{0};
    std::atomic<CKestrolinkCallback*> m_pPlcFoundCallback{nullptr};
    std::atomic<CPLCComBase*> m_pplccomScanNetwork{nullptr};
    std::atomic<CPLCComBase*> m_pplccom{nullptr};
    std::atomic<RTS_I32> m_iState{STATE_PLC_NOT_CONNECTED};
    std::atomic<RTS_HANDLE> m_hReconnectThread{RTS_INVALID_HANDLE};
    RTS_HANDLE m_hsemCycListAccess{RTS_INVALID_HANDLE};
    RTS_HANDLE m_hsemOnlineAccess{RTS_INVALID_HANDLE};
    RTS_HANDLE m_hsemConnect{RTS_INVALID_HANDLE};
    RTS_HANDLE m_hsemReconnect{RTS_INVALID_HANDLE};
    RTS_HANDLE m_hsemCycListRef{RTS_INVALID_HANDLE};
    std::atomic<CKestrolinkCallback*> m_pStateChangedCallback{nullptr};
    // State changes waiting for delivery (see EnterConnectLock); one thread
    // delivers at a time, in the order the changes were made.
    std::mutex m_notifyMutex;
    std::deque<KESTROLINK_STATE> m_pendingStates;
    bool m_bDeliveringStates{false};
    RTS_HANDLE m_hSleep{RTS_INVALID_HANDLE};
    RTS_UI32 m_ulCycVarLists{0};
    CycVarList** m_ppCycVarListTable{nullptr};
    // The exit table of update threads (m_pUpdateThreadExitTable,
    // m_ulNumUpdateThreadsToExit, m_ulMaxUpdateThreadsToExit) belongs here.
    std::atomic<RTS_HANDLE> m_hKeepAliveThread{RTS_INVALID_HANDLE};
    std::atomic<RTS_HANDLE> m_hLogger{RTS_INVALID_HANDLE};
    void* m_pILogBackendBase{nullptr};
    RTS_I32 m_iMaxFileSize{1000000};
    RTS_I32 m_iMaxFiles{5};
    RTS_I32 m_bDeleteLogger{0};
    std::atomic<RTS_I32> m_bFirstConnectDone{0};
    std::atomic<RTS_I32> m_bLoadSymbols{0};
    std::atomic<RTS_I32> m_bLoadSymbolsOffline{0};
    std::atomic<RTS_I32> m_bSymbolsLoaded{0};
    RTS_I32 m_bWriteThroughReadCache{0};
    RTS_I32 m_bDataChangeOnPlc{0};
    RTS_I32 m_bUseLocalTimeInLogfile{0};
    std::atomic<RTS_I32> m_bConnectOnly{0};
    std::atomic<RTS_I32> m_iReconnect{0};
    std::atomic<RTS_I32> m_bConnected{0};
    std::atomic<RTS_I32> m_bLogout{0};
    std::atomic<RTS_I32> m_bKeepAliveActive{0};
    RTS_I32 m_bKeepAliveConfig{1};
    std::atomic<RTS_I32> m_iItemAccessRefCount{0};
    std::atomic<RTS_I32> m_lLastError{0};
    RTS_I32 m_bConfigIsPrinted{0};
    std::atomic<RTS_UI32> m_ulKeepAliveSleepTime{7000};
    // The application-state fields (m_pAppStateCallback, m_AppStateListCmp,
    // m_iReadAppStateSkip, m_iKeepAliveSkip) and the asynchronous service
    // queue (m_hsemAsyncMgr, m_AsyncSrvList and its positions) belong here.
    std::atomic<RTS_HANDLE> m_hAsyncMgrThread{RTS_INVALID_HANDLE};

private:
    void QueueStateChange(KESTROLINK_STATE iState);
    void DeliverStateChanges();
    bool HoldsObjectLock() const;
    void NoteLockTaken();
    void NoteLockReleased();
    // Start-up of the SDK's runtime succeeded for this object (it then owes
    // the runtime one stop).
    bool m_bComponentsStarted{false};
    bool m_bStopped{false};
    RTS_I32 m_iInitComponentsResult{ERR_FAILED};
    std::atomic<RTS_UI32> m_ulJoinLimitMinMs{KESTROLINK_RECONNECT_JOIN_MIN_MS};
    PFKESTROLINKCREATEDEVICE m_pfCreateDevice{nullptr};
    void* m_pCreateDeviceUser{nullptr};
    // The scan device object reported the end of its scan.
    std::atomic<RTS_I32> m_bScanComplete{0};
    // The thread currently inside PlcFoundCallback (0: none).
    std::atomic<RTS_UINTPTR> m_ulScanCallbackThread{0};
    // The synchronous lists handed out (m_syncVarListsMutex guards the set,
    // never held while calling the device).
    std::mutex m_syncVarListsMutex;
    std::unordered_set<SyncVarList*> m_syncVarLists;
    // Functions of the log component, resolved when the runtime is started.
    RTS_VOID_FCTPTR m_pfLogAddArg{nullptr};
    RTS_VOID_FCTPTR m_pfLogOpen{nullptr};
    RTS_VOID_FCTPTR m_pfLogCreate{nullptr};
    RTS_VOID_FCTPTR m_pfLogDelete{nullptr};
    RTS_VOID_FCTPTR m_pfLogRegisterBackend{nullptr};
};
