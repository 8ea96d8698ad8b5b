// The C interface of the SDK (kestrolink/Kestrolink.h): each function checks
// the handle (the address of a CEasyKestrolink; 0 is refused) and forwards to
// the connection object. Beyond forwarding the C layer keeps the per-handle
// callback wrapper and the notification objects it makes for cyclic lists.
//
// No exception leaves a function: allocations are nothrow, and the few
// library calls that may throw are caught where they happen.
#include "kestrolink/Kestrolink.h"

#include <new>
#include <vector>

#include "EasyKestrolink.h"
#include "KestrolinkItfWrapper.h"
#include "SysTask.h"
#include "SysTime.h"

namespace {

// Logging switched on by a creator that was given a log file.
constexpr RTS_UI32 kCreatorLogFilter = 0x1002F;
// Polling of a running network scan by KestrolinkExit. A scan reports its end
// within its own time-out; the bound only keeps a scan that never ends from
// holding the caller for ever (the object then waits once more, bounded too).
constexpr RTS_UI32 kScanPollMs = 100;
constexpr RTS_UI32 kScanWaitLimitMs = 30000;
// Signed like every result: a conditional between it and an object's RTS_I32
// result must stay signed, or a -1 reaches a 64-bit caller as 4294967295.
constexpr RTS_I32 kZeroHandleResult = 1;

CEasyKestrolink* Obj(RTS_UINTPTR hKestrolink) {
    return reinterpret_cast<CEasyKestrolink*>(hKestrolink);
}

CKESTROLINKWrapperCallback* WrapperOf(CEasyKestrolink* p) {
    return static_cast<CKESTROLINKWrapperCallback*>(p->pCstData);
}

// Attaches a wrapper to a new object; 0 (and the object destroyed) when none
// can be made.
RTS_UINTPTR Finish(CEasyKestrolink* p) {
    if (p == nullptr) {
        return 0;
    }
    auto* pWrapper = new (std::nothrow) CKESTROLINKWrapperCallback();
    if (pWrapper == nullptr) {
        delete p;
        return 0;
    }
    p->pCstData = pWrapper;
    return reinterpret_cast<RTS_UINTPTR>(p);
}

template <typename TMake>
CEasyKestrolink* Make(TMake make) {
    try {
        return make();
    } catch (...) {
        return nullptr;
    }
}

void StoreResult(RTS_I32* plResult, RTS_I32 lResult) {
    if (plResult != nullptr) {
        *plResult = lResult;
    }
}

// Up to three notification objects made for one cyclic-list call.
struct NewNotifications {
    CKestrolinkCallback* ap[3] = {nullptr, nullptr, nullptr};
    bool bFailed = false;

    // One object per event; the same event twice gets one object, so that
    // it is deleted once.
    void FromEvents(RTS_HANDLE hUpdateReadyEvent, RTS_HANDLE hDataChangeEvent) {
        if (KlItfIsEvent(hUpdateReadyEvent)) {
            ap[0] = New(new (std::nothrow) CKestrolinkCallback(hUpdateReadyEvent));
        }
        if (KlItfIsEvent(hDataChangeEvent)) {
            ap[1] = hDataChangeEvent == hUpdateReadyEvent
                        ? ap[0]
                        : New(new (std::nothrow) CKestrolinkCallback(hDataChangeEvent));
        }
    }
    void FromFunctions(KESTROLINKVARLISTCALLBACK pfUpdateReady, void* pUpdateReadyCstData,
                       KESTROLINKVARLISTCALLBACK pfDataChanged, void* pDataChangedCstData,
                       KESTROLINKVARLISTCALLBACK pfReactivate, void* pReactivateCstData) {
        if (pfUpdateReady != nullptr) {
            ap[0] = New(new (std::nothrow) CKestrolinkVarListCallback(pfUpdateReady, pUpdateReadyCstData));
        }
        if (pfDataChanged != nullptr) {
            ap[1] = New(new (std::nothrow) CKestrolinkVarListCallback(pfDataChanged, pDataChangedCstData));
        }
        if (pfReactivate != nullptr) {
            ap[2] = New(new (std::nothrow) CKestrolinkVarListCallback(pfReactivate, pReactivateCstData));
        }
    }
    CKestrolinkCallback* New(CKestrolinkCallback* p) {
        bFailed = bFailed || p == nullptr;
        return p;
    }
    // Gives the objects up before any list saw them; the events stay the caller's.
    void Discard() {
        for (int i = 0; i < 3; ++i) {
            if (ap[i] != nullptr) {
                ap[i]->m_bDeleteEvent = 0;
                for (int j = i + 1; j < 3; ++j) {
                    if (ap[j] == ap[i]) {
                        ap[j] = nullptr;
                    }
                }
                delete ap[i];
                ap[i] = nullptr;
            }
        }
    }
};

// Defines a cyclic list (hCycVarList null) or updates one, then settles who
// owns the notification objects.
HCYCLIST CycDefineOrUpdate(RTS_UINTPTR hKestrolink, bool bUpdate, HCYCLIST hCycVarList, char** ppszSymbols,
                           RTS_UI32 ulNumOfSymbols, RTS_UI32 ulUpdateRate,
                           CKestrolinkCallback* const* apObjects, NewNotifications* pNew, RTS_UI32 ulFlags,
                           RTS_I32* plResult) {
    if (hKestrolink == 0) {
        if (pNew != nullptr) {
            pNew->Discard();
        }
        StoreResult(plResult, kZeroHandleResult);
        return nullptr;
    }
    if (pNew != nullptr && pNew->bFailed) {
        pNew->Discard();
        StoreResult(plResult, RESULT_FAILED);
        return nullptr;
    }
    CEasyKestrolink* p = Obj(hKestrolink);
    HCYCLIST hResult =
        bUpdate ? p->CycUpdateVarList(hCycVarList, ppszSymbols, ulNumOfSymbols, ulUpdateRate, apObjects[0],
                                      apObjects[1], nullptr, ulFlags, plResult, apObjects[2])
                : p->CycDefineVarList(ppszSymbols, ulNumOfSymbols, ulUpdateRate, apObjects[0], apObjects[1],
                                      nullptr, ulFlags, plResult, apObjects[2]);
    HCYCLIST hList = bUpdate ? hCycVarList : hResult;
    CKestrolinkCallback* apUsed[3] = {nullptr, nullptr, nullptr};
    if (hList != nullptr) {
        p->CycGetNotificationObjects(hList, &apUsed[0], &apUsed[1], &apUsed[2]);
    }
    CKESTROLINKWrapperCallback* pWrapper = WrapperOf(p);
    if (pWrapper != nullptr) {
        pWrapper->SettleNotifications(hList, pNew != nullptr ? pNew->ap : nullptr, pNew != nullptr ? 3 : 0,
                                      apUsed, 3);
    }
    return hResult;
}

}  // namespace

extern "C" {

// ---- Creation and end -------------------------------------------------------------------------

RTS_UINTPTR KestrolinkInit(PlcConfig* pPlcConfig, PlcDeviceDesc* pDeviceDesc,
                           const char* pszLogFile) noexcept {
    CEasyKestrolink* p =
        Make([&] { return new CEasyKestrolink(pPlcConfig, pDeviceDesc, RTS_INVALID_HANDLE); });
    if (p != nullptr && pszLogFile != nullptr) {
        if (pPlcConfig == nullptr) {
            p->SetLogging(1, kCreatorLogFilter);
        }
        p->SetLogFile(pszLogFile);
    }
    return Finish(p);
}

RTS_UINTPTR KestrolinkInit2(ItfType it, const char* pszLogFile) noexcept {
    CEasyKestrolink* p = Make([] { return new CEasyKestrolink(RTS_INVALID_HANDLE); });
    if (p == nullptr) {
        return 0;
    }
    if (pszLogFile != nullptr) {
        p->SetLogging(1, kCreatorLogFilter);
        p->SetLogFile(pszLogFile);
    }
    PlcConfig* pConfig = nullptr;
    p->GetConfig(&pConfig, nullptr);
    if (pConfig != nullptr) {
        pConfig->it = it;
    }
    return Finish(p);
}

RTS_UINTPTR KestrolinkInitByFile(uint32_t ulId, const char* pszIniFile, const char* pszLogFile) noexcept {
    CEasyKestrolink* p = Make([&] { return new CEasyKestrolink(ulId, pszIniFile, RTS_INVALID_HANDLE); });
    if (p == nullptr) {
        return 0;
    }
    if (pszLogFile != nullptr) {
        p->SetLogFile(pszLogFile);
    }
    if (p->GetState() == STATE_NO_CONFIGURATION) {
        delete p;
        return 0;
    }
    return Finish(p);
}

RTS_UINTPTR KestrolinkInitByFilePlcName(const char* pszPlcName, const char* pszIniFile,
                                        const char* pszLogFile) noexcept {
    CEasyKestrolink* p =
        Make([&] { return new CEasyKestrolink(pszPlcName, pszIniFile, RTS_INVALID_HANDLE); });
    if (p == nullptr) {
        return 0;
    }
    if (pszLogFile != nullptr) {
        p->SetLogFile(pszLogFile);
    }
    if (p->GetState() == STATE_NO_CONFIGURATION) {
        delete p;
        return 0;
    }
    return Finish(p);
}

long KestrolinkExit(RTS_UINTPTR hKestrolink) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    CEasyKestrolink* p = Obj(hKestrolink);
    CKESTROLINKWrapperCallback* pWrapper = WrapperOf(p);
    if (pWrapper != nullptr) {
        RTS_UI32 ulStart = SysTimeGetMs();
        while (pWrapper->IsNetworkScanInProgress() &&
               SysTimeElapsedMs(SysTimeGetMs(), ulStart) < kScanWaitLimitMs) {
            SysTaskWaitSleep(nullptr, kScanPollMs);
        }
    }
    p->Disconnect();
    // The object goes first: until its threads have ended they may still
    // call the wrapper and the notification objects the wrapper owns.
    p->pCstData = nullptr;
    delete p;
    delete pWrapper;
    return RESULT_OK;
}

long KestrolinkSetFinalShutDown(RTS_UINTPTR hKestrolink) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    Obj(hKestrolink)->SetFinalShutDown();
    return RESULT_OK;
}

uint32_t KestrolinkGetVersion(RTS_UINTPTR) noexcept {
    return KESTROLINK_VERSION;
}

// ---- Connection ---------------------------------------------------------------------------------

long KestrolinkConnect(RTS_UINTPTR hKestrolink, uint32_t ulTimeout, RTS_HANDLE hStateChangedEvent,
                       int32_t bLoadSymbols) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    CEasyKestrolink* p = Obj(hKestrolink);
    CKESTROLINKWrapperCallback* pWrapper = WrapperOf(p);
    pWrapper->SetEvent(hStateChangedEvent);
    return p->Connect(ulTimeout, pWrapper, bLoadSymbols);
}

long KestrolinkDisconnect(RTS_UINTPTR hKestrolink) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    CEasyKestrolink* p = Obj(hKestrolink);
    long lResult = p->Disconnect();
    WrapperOf(p)->SetEvent(nullptr);
    return lResult;
}

long KestrolinkGetState(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? STATE_PLC_NOT_CONNECTED : Obj(hKestrolink)->GetState();
}

const char* KestrolinkGetName(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? nullptr : Obj(hKestrolink)->GetName();
}

long KestrolinkGetLastError(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->GetLastError();
}

long KestrolinkStartKeeplive(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->StartKeeplive();
}

long KestrolinkStopKeeplive(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->StopKeeplive();
}

long KestrolinkSetClientInformation(RTS_UINTPTR hKestrolink, const char* pszClientName,
                                    const char* pszClientVendorName, const char* pszClientVersion,
                                    uint16_t usClientSpecific) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    return Obj(hKestrolink)
        ->SetClientInformation(pszClientName, pszClientVendorName, pszClientVersion, usClientSpecific);
}

// ---- Configuration ----------------------------------------------------------------------------

long KestrolinkSetConfig(RTS_UINTPTR hKestrolink, PlcConfig* pPlcConfig,
                         PlcDeviceDesc* pDeviceDesc) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->SetConfig(pPlcConfig, pDeviceDesc);
}

long KestrolinkSetConfigByString(RTS_UINTPTR hKestrolink, const char* pszConfig, uint32_t ulConfigLen,
                                 const char* pszLineEnd) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->SetConfig(pszConfig, ulConfigLen, pszLineEnd);
}

long KestrolinkSetConfigByFile(RTS_UINTPTR hKestrolink, const char* pszIniFile) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->SetConfig(pszIniFile);
}

long KestrolinkSetConfigInteractive(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->SetConfigInteractive();
}

long KestrolinkGetConfig(RTS_UINTPTR hKestrolink, PlcConfig** ppPlcConfig,
                         PlcDeviceDesc** ppDeviceDesc) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->GetConfig(ppPlcConfig, ppDeviceDesc);
}

long KestrolinkSaveConfigInFile(RTS_UINTPTR hKestrolink, const char* pszIniFile) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->SaveConfigInFile(pszIniFile);
}

// ---- Callbacks ----------------------------------------------------------------------------------

long KestrolinkSetConnectionCallbacks(RTS_UINTPTR hKestrolink,
                                      KESTROLINKSTATECHANGECALLBACK pfStateChangeCallback,
                                      KESTROLINKVERIFYPLCCERTCALLBACK pfVerifyPlcCertCallback) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    CKESTROLINKWrapperCallback* pWrapper = WrapperOf(Obj(hKestrolink));
    if (pWrapper != nullptr) {
        pWrapper->SetConnectionCallbacks(pfStateChangeCallback, pfVerifyPlcCertCallback);
    }
    return RESULT_OK;
}

long KestrolinkSetConnectionCallbacks2(RTS_UINTPTR hKestrolink,
                                       KESTROLINKSTATECHANGECALLBACK2 pfStateChangeCallback2,
                                       void* pStateCstData,
                                       KESTROLINKVERIFYPLCCERTCALLBACK2 pfVerifyPlcCertCallback2,
                                       void* pVerifyCstData) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    CKESTROLINKWrapperCallback* pWrapper = WrapperOf(Obj(hKestrolink));
    if (pWrapper != nullptr) {
        pWrapper->SetConnectionCallbacks2(pfStateChangeCallback2, pStateCstData, pfVerifyPlcCertCallback2,
                                          pVerifyCstData);
    }
    return RESULT_OK;
}

long KestrolinkSetConnectionCallbacks3(RTS_UINTPTR hKestrolink,
                                       KESTROLINKSTATECHANGECALLBACK2 pfStateChangeCallback2,
                                       void* pStateCstData,
                                       KESTROLINKVERIFYPLCCERTCALLBACK2 pfVerifyPlcCertCallback2,
                                       void* pVerifyCstData,
                                       KESTROLINKREQUESTCREDENTIALSCALLBACK pfRequestCredentialsCallback,
                                       void* pRequestCredentialsCstData) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    CKESTROLINKWrapperCallback* pWrapper = WrapperOf(Obj(hKestrolink));
    if (pWrapper != nullptr) {
        pWrapper->SetConnectionCallbacks2(pfStateChangeCallback2, pStateCstData, pfVerifyPlcCertCallback2,
                                          pVerifyCstData);
        pWrapper->SetRequestCredentialsCallback(pfRequestCredentialsCallback, pRequestCredentialsCstData);
    }
    return RESULT_OK;
}

namespace {
long StartScan(RTS_UINTPTR hKestrolink, GatewayConnection* pGatewayConnection,
               KESTROLINKSCANNETWORKCALLBACK pfFound, KESTROLINKSCANNETWORKCALLBACK2 pfFound2,
               void* pScanCstData) {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    if (pfFound == nullptr && pfFound2 == nullptr) {
        return RESULT_INVALIDPARAMETER;
    }
    CEasyKestrolink* p = Obj(hKestrolink);
    CKESTROLINKWrapperCallback* pWrapper = WrapperOf(p);
    if (!pWrapper->StartScan(pfFound, pfFound2, pScanCstData)) {
        return RESULT_SCAN_RUNNING;
    }
    RTS_I32 lResult = p->ScanNetwork(pGatewayConnection, pWrapper);
    if (lResult != RESULT_OK) {
        pWrapper->EndScan();
    }
    return lResult;
}
}  // namespace

long KestrolinkScanNetwork(RTS_UINTPTR hKestrolink, GatewayConnection* pGatewayConnection,
                           KESTROLINKSCANNETWORKCALLBACK pfPlcFoundCallback) noexcept {
    return StartScan(hKestrolink, pGatewayConnection, pfPlcFoundCallback, nullptr, nullptr);
}

long KestrolinkScanNetwork2(RTS_UINTPTR hKestrolink, GatewayConnection* pGatewayConnection,
                            KESTROLINKSCANNETWORKCALLBACK2 pfPlcFoundCallback2, void* pScanCstData) noexcept {
    return StartScan(hKestrolink, pGatewayConnection, nullptr, pfPlcFoundCallback2, pScanCstData);
}

// ---- Logging -------------------------------------------------------------------------------------

long KestrolinkSetLogging(RTS_UINTPTR hKestrolink, int32_t bEnable, uint32_t ulLogFilter) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->SetLogging(bEnable, ulLogFilter);
}

long KestrolinkGetLogging(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? 0 : Obj(hKestrolink)->GetLogging();
}

long KestrolinkSetLogFileCapacity(RTS_UINTPTR hKestrolink, int32_t iMaxFileSize, int32_t iMaxFiles) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->SetLogFileCapacity(iMaxFileSize, iMaxFiles);
}

long KestrolinkSetLogFile(RTS_UINTPTR hKestrolink, const char* pszLogFile) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->SetLogFile(pszLogFile);
}

long KestrolinkAddLogEntryArg(RTS_UINTPTR hKestrolink, uint32_t CmpId, int32_t iClassID, int32_t iErrorID,
                              const char* pszInfo, va_list* pArgList) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    return Obj(hKestrolink)->AddLogEntry(CmpId, iClassID, iErrorID, pszInfo, pArgList);
}

long KestrolinkAddLogEntry(RTS_UINTPTR hKestrolink, uint32_t CmpId, int32_t iClassID, int32_t iErrorID,
                           const char* pszInfo, ...) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    va_list args;
    va_start(args, pszInfo);
    long lResult = Obj(hKestrolink)->AddLogEntry(CmpId, iClassID, iErrorID, pszInfo, &args);
    va_end(args);
    return lResult;
}

// ---- Symbols and items -----------------------------------------------------------------------------

long KestrolinkLoadSymbolsFromPlc(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->LoadSymbolsFromPlc(1);
}

long KestrolinkLoadSymbolsFromPlc2(RTS_UINTPTR hKestrolink, int32_t bLoadSymbolsOnReconnect) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->LoadSymbolsFromPlc(bLoadSymbolsOnReconnect);
}

long KestrolinkGetAllItems(RTS_UINTPTR hKestrolink, PlcSymbolDesc** ppSymbolList,
                           uint32_t* pulNumOfSymbols) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->GetAllItems(ppSymbolList, pulNumOfSymbols);
}

long KestrolinkEnterItemAccess(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->EnterItemAccess();
}

long KestrolinkLeaveItemAccess(RTS_UINTPTR hKestrolink) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->LeaveItemAccess();
}

long KestrolinkEnterOnlineAccess(RTS_UINTPTR hKestrolink, uint32_t ulTimeout) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->EnterOnlineAccess(ulTimeout);
}

long KestrolinkLeaveOnlineAccess(RTS_UINTPTR hKestrolink) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    Obj(hKestrolink)->LeaveOnlineAccess();
    return RESULT_OK;
}

long KestrolinkGetItem(RTS_UINTPTR hKestrolink, const char* pszSymbol, PlcSymbolDesc* pSymbol) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->GetItem(pszSymbol, pSymbol);
}

long KestrolinkGetAddressOfMappedItem(RTS_UINTPTR hKestrolink, const char* pszSymbol, char* pszMappedAddr,
                                      int32_t lLen) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->GetAddressOfMappedItem(pszSymbol, pszMappedAddr, lLen);
}

long KestrolinkExpandItem(RTS_UINTPTR hKestrolink, const char* pszSymbol, PlcSymbolDesc** ppSymbolList,
                          uint32_t* pulNumOfSymbols) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->ExpandItem(pszSymbol, ppSymbolList, pulNumOfSymbols);
}

long KestrolinkReleaseExpandedItems(RTS_UINTPTR hKestrolink, PlcSymbolDesc* pSymbolList) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->ReleaseExpandedItems(pSymbolList);
}

long KestrolinkGetDeviceInfo3(RTS_UINTPTR hKestrolink, DeviceInfo3** ppDeviceInfo) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->GetDeviceInfo(ppDeviceInfo);
}

// ---- Synchronous variable access --------------------------------------------------------------------

HVARLIST KestrolinkSyncDefineVarList(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                     uint32_t ulFlags, int32_t* plResult) noexcept {
    if (hKestrolink == 0) {
        StoreResult(plResult, kZeroHandleResult);
        return nullptr;
    }
    return Obj(hKestrolink)->SyncDefineVarList(ppszSymbols, ulNumOfSymbols, ulFlags, plResult);
}

long KestrolinkSyncDeleteVarList(RTS_UINTPTR hKestrolink, HVARLIST hSyncVarList) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->SyncDeleteVarList(hSyncVarList);
}

long KestrolinkSyncReadVarListFromPlc(RTS_UINTPTR hKestrolink, HVARLIST hSyncVarList,
                                      PlcVarValue*** pppValues, uint32_t* pulNumOfValues) noexcept {
    return hKestrolink == 0
               ? kZeroHandleResult
               : Obj(hKestrolink)->SyncReadVarListFromPlc(hSyncVarList, pppValues, pulNumOfValues);
}

long KestrolinkSyncWriteVarListToPlc(RTS_UINTPTR hKestrolink, HVARLIST hSyncVarList, uint32_t ulNumOfSymbols,
                                     uint8_t** ppbyValues, uint32_t* pulValueSizes) noexcept {
    return hKestrolink == 0
               ? kZeroHandleResult
               : Obj(hKestrolink)
                     ->SyncWriteVarListToPlc(hSyncVarList, ulNumOfSymbols, ppbyValues, pulValueSizes);
}

HVARLIST KestrolinkSyncReadVarsFromPlc(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                       PlcVarValue*** pppValues, uint32_t* pulNumOfValues) noexcept {
    if (hKestrolink == 0) {
        return nullptr;
    }
    return Obj(hKestrolink)->SyncReadVarsFromPlc(ppszSymbols, ulNumOfSymbols, pppValues, pulNumOfValues);
}

long KestrolinkSyncReadVarsFromPlcReleaseValues(RTS_UINTPTR hKestrolink, HVARLIST hSyncRead) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->SyncReadVarsFromPlcReleaseValues(hSyncRead);
}

long KestrolinkSyncWriteVarsToPlc2(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                   uint8_t** ppbyValues, uint32_t* pulValueSizes) noexcept {
    return hKestrolink == 0
               ? kZeroHandleResult
               : Obj(hKestrolink)->SyncWriteVarsToPlc(ppszSymbols, ulNumOfSymbols, ppbyValues, pulValueSizes);
}

long KestrolinkSyncWriteVarsToPlc(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                  uint8_t** ppbyValues) noexcept {
    return KestrolinkSyncWriteVarsToPlc2(hKestrolink, ppszSymbols, ulNumOfSymbols, ppbyValues, nullptr);
}

// ---- Cyclic variable lists ----------------------------------------------------------------------------

HCYCLIST KestrolinkCycDefineVarList2(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                     uint32_t ulUpdateRate, RTS_HANDLE hUpdateReadyEvent,
                                     RTS_HANDLE hDataChangeEvent, uint32_t ulFlags,
                                     int32_t* plResult) noexcept {
    NewNotifications made;
    if (hKestrolink != 0) {
        made.FromEvents(hUpdateReadyEvent, hDataChangeEvent);
    }
    return CycDefineOrUpdate(hKestrolink, false, nullptr, ppszSymbols, ulNumOfSymbols, ulUpdateRate, made.ap,
                             &made, ulFlags, plResult);
}

HCYCLIST KestrolinkCycDefineVarList(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                    uint32_t ulUpdateRate, RTS_HANDLE hUpdateReadyEvent,
                                    RTS_HANDLE hDataChangeEvent) noexcept {
    return KestrolinkCycDefineVarList2(hKestrolink, ppszSymbols, ulNumOfSymbols, ulUpdateRate,
                                       hUpdateReadyEvent, hDataChangeEvent, 0, nullptr);
}

HCYCLIST KestrolinkCycUpdateVarList2(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols,
                                     uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                     RTS_HANDLE hUpdateReadyEvent, RTS_HANDLE hDataChangeEvent,
                                     uint32_t ulFlags, int32_t* plResult) noexcept {
    NewNotifications made;
    if (hKestrolink != 0) {
        made.FromEvents(hUpdateReadyEvent, hDataChangeEvent);
    }
    return CycDefineOrUpdate(hKestrolink, true, hCycVarList, ppszSymbols, ulNumOfSymbols, ulUpdateRate,
                             made.ap, &made, ulFlags, plResult);
}

HCYCLIST KestrolinkCycUpdateVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols,
                                    uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                    RTS_HANDLE hUpdateReadyEvent, RTS_HANDLE hDataChangeEvent) noexcept {
    return KestrolinkCycUpdateVarList2(hKestrolink, hCycVarList, ppszSymbols, ulNumOfSymbols, ulUpdateRate,
                                       hUpdateReadyEvent, hDataChangeEvent, 0, nullptr);
}

HCYCLIST KestrolinkCycDefineVarList4(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                     uint32_t ulUpdateRate, KESTROLINKVARLISTCALLBACK pfUpdateReadyCallback,
                                     void* pUpdateReadyCstData,
                                     KESTROLINKVARLISTCALLBACK pfDataChangedCallback,
                                     void* pDataChangedCstData, uint32_t ulFlags, int32_t* plResult,
                                     KESTROLINKVARLISTCALLBACK pfReactivateInactiveVarListCallback,
                                     void* pReactivateInactiveVarListCstData) noexcept {
    NewNotifications made;
    if (hKestrolink != 0) {
        made.FromFunctions(pfUpdateReadyCallback, pUpdateReadyCstData, pfDataChangedCallback,
                           pDataChangedCstData, pfReactivateInactiveVarListCallback,
                           pReactivateInactiveVarListCstData);
    }
    return CycDefineOrUpdate(hKestrolink, false, nullptr, ppszSymbols, ulNumOfSymbols, ulUpdateRate, made.ap,
                             &made, ulFlags, plResult);
}

HCYCLIST KestrolinkCycDefineVarList3(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                     uint32_t ulUpdateRate, KESTROLINKVARLISTCALLBACK pfUpdateReadyCallback,
                                     void* pUpdateReadyCstData,
                                     KESTROLINKVARLISTCALLBACK pfDataChangedCallback,
                                     void* pDataChangedCstData, uint32_t ulFlags,
                                     int32_t* plResult) noexcept {
    return KestrolinkCycDefineVarList4(hKestrolink, ppszSymbols, ulNumOfSymbols, ulUpdateRate,
                                       pfUpdateReadyCallback, pUpdateReadyCstData, pfDataChangedCallback,
                                       pDataChangedCstData, ulFlags, plResult, nullptr, nullptr);
}

HCYCLIST KestrolinkCycUpdateVarList4(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols,
                                     uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                     KESTROLINKVARLISTCALLBACK pfUpdateReadyCallback,
                                     void* pUpdateReadyCstData,
                                     KESTROLINKVARLISTCALLBACK pfDataChangedCallback,
                                     void* pDataChangedCstData, uint32_t ulFlags, int32_t* plResult,
                                     KESTROLINKVARLISTCALLBACK pfReactivateInactiveVarListCallback,
                                     void* pReactivateInactiveVarListCstData) noexcept {
    NewNotifications made;
    if (hKestrolink != 0) {
        made.FromFunctions(pfUpdateReadyCallback, pUpdateReadyCstData, pfDataChangedCallback,
                           pDataChangedCstData, pfReactivateInactiveVarListCallback,
                           pReactivateInactiveVarListCstData);
    }
    return CycDefineOrUpdate(hKestrolink, true, hCycVarList, ppszSymbols, ulNumOfSymbols, ulUpdateRate,
                             made.ap, &made, ulFlags, plResult);
}

HCYCLIST KestrolinkCycUpdateVarList3(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols,
                                     uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                     KESTROLINKVARLISTCALLBACK pfUpdateReadyCallback,
                                     void* pUpdateReadyCstData,
                                     KESTROLINKVARLISTCALLBACK pfDataChangedCallback,
                                     void* pDataChangedCstData, uint32_t ulFlags,
                                     int32_t* plResult) noexcept {
    return KestrolinkCycUpdateVarList4(hKestrolink, hCycVarList, ppszSymbols, ulNumOfSymbols, ulUpdateRate,
                                       pfUpdateReadyCallback, pUpdateReadyCstData, pfDataChangedCallback,
                                       pDataChangedCstData, ulFlags, plResult, nullptr, nullptr);
}

long KestrolinkCycDeleteVarList2(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, int32_t bKeepalive) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    CEasyKestrolink* p = Obj(hKestrolink);
    CKESTROLINKWrapperCallback* pWrapper = WrapperOf(p);
    // Taken before the list goes: nothing of it may be read afterwards.
    std::vector<CKestrolinkCallback*> owned;
    if (pWrapper != nullptr && hCycVarList != nullptr) {
        owned = pWrapper->TakeNotifications(hCycVarList);
    }
    RTS_I32 lResult = p->CycDeleteVarList(hCycVarList, bKeepalive);
    if (lResult != RESULT_OK) {
        if (pWrapper != nullptr) {
            pWrapper->ReturnNotifications(hCycVarList, owned);
        }
        return lResult;
    }
    for (CKestrolinkCallback* pObject : owned) {
        if (!KlItfIsEvent(pObject->m_hEvent)) {
            pObject->m_bDeleteEvent = 0;
        }
        delete pObject;
    }
    return lResult;
}

long KestrolinkCycDeleteVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList) noexcept {
    return KestrolinkCycDeleteVarList2(hKestrolink, hCycVarList, 1);
}

long KestrolinkCycAddSymbolsToVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols,
                                      uint32_t ulNumOfSymbolsToAdd) noexcept {
    return hKestrolink == 0
               ? kZeroHandleResult
               : Obj(hKestrolink)->CycAddSymbolsToVarList(hCycVarList, ppszSymbols, ulNumOfSymbolsToAdd);
}

long KestrolinkCycRemoveSymbolsFromVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols,
                                           uint32_t ulNumOfSymbolsToRemove) noexcept {
    if (hKestrolink == 0) {
        return kZeroHandleResult;
    }
    const char* const* ppszNames = ppszSymbols;
    return Obj(hKestrolink)->CycRemoveSymbolsFromVarList(hCycVarList, ppszNames, ulNumOfSymbolsToRemove);
}

long KestrolinkCycEnableList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->CycEnableList(hCycVarList);
}

long KestrolinkCycDisableList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->CycDisableList(hCycVarList);
}

long KestrolinkCycReadVars(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, PlcVarValue*** pppValues,
                           uint32_t* pulNumOfValues) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->CycReadVars(hCycVarList, pppValues, pulNumOfValues);
}

long KestrolinkCycReadChangedVars(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                  PlcVarValue*** pppChangedValues, uint32_t** ppChangedValuesIndex,
                                  uint32_t* pulNumOfChangedValues) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)
                                  ->CycReadChangedVars(hCycVarList, pppChangedValues, ppChangedValuesIndex,
                                                       pulNumOfChangedValues);
}

long KestrolinkCycSetUpdateRate(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                uint32_t ulUpdateRate) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->CycSetUpdateRate(hCycVarList, ulUpdateRate);
}

uint32_t KestrolinkCycGetUpdateRate(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->CycGetUpdateRate(hCycVarList);
}

uint32_t KestrolinkCycGetOperatingRate(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult : Obj(hKestrolink)->CycGetOperatingRate(hCycVarList);
}

long KestrolinkCycGetSymbolList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                char*** pppCycSymbolList) noexcept {
    return hKestrolink == 0 ? kZeroHandleResult
                            : Obj(hKestrolink)->CycGetSymbolList(hCycVarList, pppCycSymbolList);
}

void KestrolinkCycEnterVarAccess(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList) noexcept {
    if (hKestrolink != 0) {
        Obj(hKestrolink)->CycEnterVarAccess(hCycVarList);
    }
}

void KestrolinkCycLeaveVarAccess(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList) noexcept {
    if (hKestrolink != 0) {
        Obj(hKestrolink)->CycLeaveVarAccess(hCycVarList);
    }
}

}  // extern "C"

// ---- Callback objects (C++ only) ------------------------------------------------------------------

HCYCLIST KestrolinkCycDefineVarList(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                    uint32_t ulUpdateRate, CKestrolinkCallback* pUpdateReadyCallback,
                                    CKestrolinkCallback* pDataChangeCallback, uint32_t ulFlags,
                                    int32_t* plResult,
                                    CKestrolinkCallback* pReactivateInactiveVarListCallback) noexcept {
    CKestrolinkCallback* apObjects[3] = {pUpdateReadyCallback, pDataChangeCallback,
                                         pReactivateInactiveVarListCallback};
    return CycDefineOrUpdate(hKestrolink, false, nullptr, ppszSymbols, ulNumOfSymbols, ulUpdateRate,
                             apObjects, nullptr, ulFlags, plResult);
}

HCYCLIST KestrolinkCycUpdateVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols,
                                    uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                    CKestrolinkCallback* pUpdateReadyCallback,
                                    CKestrolinkCallback* pDataChangeCallback, uint32_t ulFlags,
                                    int32_t* plResult,
                                    CKestrolinkCallback* pReactivateInactiveVarListCallback) noexcept {
    CKestrolinkCallback* apObjects[3] = {pUpdateReadyCallback, pDataChangeCallback,
                                         pReactivateInactiveVarListCallback};
    return CycDefineOrUpdate(hKestrolink, true, hCycVarList, ppszSymbols, ulNumOfSymbols, ulUpdateRate,
                             apObjects, nullptr, ulFlags, plResult);
}
