// Synchronous variable access of CKestrolink: lists of names defined once and
// read or written again and again in the caller's thread, one-shot reads and
// writes by name, and the write-through read cache that copies a successful
// write into the cyclic lists. The device object resolves the names and holds
// the value records; this file adds the state check, the online lock, the
// error handling and the durations (log class LOG_KL_DURATION).
//
// A failure that never reached the device (no memory for the list or its
// name copies, a list of a device object that is gone) is reported as
// RESULT_FAILED without the online error handling: it says nothing about the
// connection and must not start a reconnect.
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "HelperClasses.h"
#include "Kestrolink.h"
#include "SysTime.h"

namespace {

// Name pool of a list: the first block takes 30 bytes per name, and at least
// the longest name, so that every name fits; blocks grow up to 1 MiB.
constexpr RTS_UI64 kNameBytesPerSymbol = 30;
constexpr RTS_UI64 kNamePoolMaxBlock = 0x100000;

RTS_I32 MapListResult(RTS_I32 lDevice) {
    switch (lDevice) {
        case PLCCOM_OK:
            return RESULT_OK;
        case PLCCOM_CONSISTENCY_TIMEOUT:
            return RESULT_CONSISTENCY_TIMEOUT;
        case PLCCOM_SYNC_NOT_ALLOWED:
            return RESULT_SYNC_NOT_ALLOWED;
        default:
            return RESULT_FAILED;
    }
}

long Elapsed(RTS_UI32 ulStart) {
    return static_cast<long>(SysTimeElapsedMs(SysTimeGetMs(), ulStart));
}

unsigned Low32(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<RTS_UINTPTR>(p));
}

}  // namespace

// One synchronous list; the HVARLIST a client holds points to it.
class SyncVarList {
public:
    SyncVarList(CKestrolink* pKestrolink, RTS_UI32 ulNumOfSymbols, RTS_UI32 ulFlags)
        : m_pKestrolink(pKestrolink), m_ulNumOfSymbols(ulNumOfSymbols), m_ulFlags(ulFlags) {}
    ~SyncVarList() {
        m_bValid = false;
        if (m_hVarList != nullptr) {
            m_pKestrolink->AddLogEntry(static_cast<RTS_UI32>(CMPID_CmpKestrolink), LOG_ERROR, 0,
                                       "SyncVarList::~SyncVarList: m_hVarList was not NULL in destructor - "
                                       "memory may leak");
            m_hVarList = nullptr;
        }
    }
    SyncVarList(const SyncVarList&) = delete;
    SyncVarList& operator=(const SyncVarList&) = delete;

    // Copies the names into the list's pool; false when memory ran out (the
    // list then holds no names).
    bool CopyNames(const char* const* ppszSymbols) {
        RTS_UI64 ullLongest = 0;
        for (RTS_UI32 i = 0; i < m_ulNumOfSymbols; ++i) {
            RTS_UI64 ullLen = strlen(ppszSymbols[i]);
            ullLongest = ullLen > ullLongest ? ullLen : ullLongest;
        }
        // A request needs one byte more than it takes: a block is never
        // filled to its last byte.
        RTS_UI64 ullFirst = kNameBytesPerSymbol * m_ulNumOfSymbols;
        if (ullFirst < ullLongest + 2) {
            ullFirst = ullLongest + 2;
        }
        if (ullFirst > static_cast<RTS_UI64>(INT_MAX)) {
            return false;
        }
        RTS_UI64 ullMax = ullFirst > kNamePoolMaxBlock ? ullFirst : kNamePoolMaxBlock;
        m_pTypeStringAllocater.reset(
            new (std::nothrow) CStringAllocator(0, static_cast<int>(ullFirst), static_cast<int>(ullMax)));
        m_ppszSymbolList.reset(new (std::nothrow) char*[m_ulNumOfSymbols]());
        bool bCopied = m_pTypeStringAllocater != nullptr && m_ppszSymbolList != nullptr;
        for (RTS_UI32 i = 0; bCopied && i < m_ulNumOfSymbols; ++i) {
            m_ppszSymbolList[i] = m_pTypeStringAllocater->StoreString(ppszSymbols[i]);
            bCopied = m_ppszSymbolList[i] != nullptr;
        }
        if (!bCopied) {
            m_ppszSymbolList.reset();
            m_pTypeStringAllocater.reset();
        }
        return bCopied;
    }

    CKestrolink* m_pKestrolink;
    RTS_UI32 m_ulNumOfSymbols;
    RTS_UI32 m_ulFlags;
    std::unique_ptr<char*[]> m_ppszSymbolList;
    std::unique_ptr<CStringAllocator> m_pTypeStringAllocater;
    HVARLIST m_hVarList{nullptr};
    bool m_bValid{false};
    // The device object that holds m_hVarList: a device list dies with it.
    CPLCComBase* m_pDevice{nullptr};
};

// ---- The lists handed out ----------------------------------------------------------------

bool CKestrolink::SyncListIsKnown(SyncVarList* pList) {
    if (pList == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_syncVarListsMutex);
    return m_syncVarLists.count(pList) != 0;
}

void CKestrolink::SyncListForget(SyncVarList* pList) {
    std::lock_guard<std::mutex> lock(m_syncVarListsMutex);
    m_syncVarLists.erase(pList);
}

void CKestrolink::SyncDeleteAllLists() {
    std::unordered_set<SyncVarList*> lists;
    {
        std::lock_guard<std::mutex> lock(m_syncVarListsMutex);
        lists.swap(m_syncVarLists);
    }
    for (SyncVarList* pList : lists) {
        // Their device lists went with the device object.
        pList->m_hVarList = nullptr;
        delete pList;
    }
}

// ---- Definition ---------------------------------------------------------------------------

HVARLIST CKestrolink::SyncDefineVarList(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                        RTS_UI32 ulFlags, RTS_I32* plResult) {
    RTS_UI32 ulStart = SysTimeGetMs();
    AddLogEntry(LOG_DEBUG, 0,
                "CKestrolink: ->SyncDefineVarlist(ppszSymbols=0x%p, ulNumOfSymbols=%ld, ulFlags=0x%lx, "
                "plResult=0x%p)",
                static_cast<const void*>(ppszSymbols), static_cast<long>(ulNumOfSymbols),
                static_cast<unsigned long>(ulFlags), static_cast<void*>(plResult));
    auto finish = [this, plResult](SyncVarList* pList, RTS_I32 lResult) {
        if (plResult != nullptr) {
            *plResult = lResult;
        }
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncDefineVarlist, pSyncVarList = 0x%x (Result=%ld)",
                    Low32(pList), static_cast<long>(lResult));
        return static_cast<HVARLIST>(pList);
    };
    bool bNamesGiven = ppszSymbols != nullptr && ulNumOfSymbols != 0;
    for (RTS_UI32 i = 0; bNamesGiven && i < ulNumOfSymbols; ++i) {
        bNamesGiven = ppszSymbols[i] != nullptr;
    }
    if (!bNamesGiven) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncDefineVarlist(Result=%ld), invalid parameter",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        if (plResult != nullptr) {
            *plResult = RESULT_INVALIDPARAMETER;
        }
        return nullptr;
    }
    RTS_I32 lResult = EnterOnlineAccessWithStateCheck(0);
    if (lResult != RESULT_OK) {
        return finish(nullptr, lResult);
    }
    RTS_UI32 ulOnlineStart = SysTimeGetMs();

    std::unique_ptr<SyncVarList> pList(new (std::nothrow) SyncVarList(this, ulNumOfSymbols, ulFlags));
    bool bLocalFailure = pList == nullptr;
    if (!bLocalFailure) {
        bool bKeepNames = (ulFlags & VARLIST_FLAG_WRITE_ACCESS) != 0 && m_bWriteThroughReadCache;
        pList->m_bValid = !bKeepNames || pList->CopyNames(ppszSymbols);
        bLocalFailure = !pList->m_bValid;
    }
    RTS_I32 lDevice = PLCCOM_FAILED;
    if (!bLocalFailure) {
        CPLCComBase* pDevice = m_pplccom.load();
        HVARLIST hVarList = nullptr;
        if (pDevice != nullptr) {
            lDevice = PLCCOM_OK;
            hVarList = pDevice->DefineVarList(ppszSymbols, ulNumOfSymbols, 0, ulFlags, &lDevice);
        }
        if (hVarList == nullptr && lDevice == PLCCOM_OK) {
            lDevice = PLCCOM_FAILED;
        }
        if (hVarList != nullptr) {
            pList->m_hVarList = hVarList;
            pList->m_pDevice = pDevice;
        } else {
            pList.reset();
        }
        HandleOnlineResult(lDevice);
    }
    LeaveOnlineAccess();
    if (!bLocalFailure && lDevice != PLCCOM_OK) {
        HandleOnlineErrorResult(lDevice);
    }
    AddLogEntry(LOG_KL_DURATION, 0,
                "CKestrolink: SyncDefineVarlist: Duration: %ld ms, online-duration: %ld ms", Elapsed(ulStart),
                Elapsed(ulOnlineStart));
    if (bLocalFailure) {
        return finish(nullptr, RESULT_FAILED);
    }
    if (lDevice != PLCCOM_OK) {
        return finish(nullptr, lDevice == PLCCOM_NOT_SUPPORTED ? RESULT_NOT_SUPPORTED : RESULT_FAILED);
    }
    bool bTracked = false;
    try {
        std::lock_guard<std::mutex> lock(m_syncVarListsMutex);
        bTracked = m_syncVarLists.insert(pList.get()).second;
    } catch (const std::bad_alloc&) {
        bTracked = false;
    }
    if (!bTracked) {
        // A list that cannot be tracked could never be released: give it up.
        if (EnterOnlineAccess(RTS_TIMEOUT_INFINITE) == RESULT_OK) {
            CPLCComBase* pDevice = m_pplccom.load();
            if (pDevice != nullptr && pDevice == pList->m_pDevice) {
                pDevice->DeleteVarList(pList->m_hVarList, 1);
            }
            LeaveOnlineAccess();
        }
        pList->m_hVarList = nullptr;
        return finish(nullptr, RESULT_FAILED);
    }
    return finish(pList.release(), RESULT_OK);
}

// ---- Reading -------------------------------------------------------------------------------

RTS_I32 CKestrolink::SyncReadVarListFromPlc(HVARLIST hSyncVarList, PlcVarValue*** pppValues,
                                            RTS_UI32* pulNumOfValues) {
    RTS_UI32 ulStart = SysTimeGetMs();
    AddLogEntry(
        LOG_DEBUG, 0,
        "CKestrolink: ->SyncReadVarlistFromPlc(hSyncVarList=0x%p, pppValues=0x%p, pulNumOfValues=0x%p)",
        hSyncVarList, static_cast<void*>(pppValues), static_cast<void*>(pulNumOfValues));
    auto* pList = static_cast<SyncVarList*>(hSyncVarList);
    if (!SyncListIsKnown(pList) || pList->m_hVarList == nullptr || pppValues == nullptr ||
        pulNumOfValues == nullptr) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncReadVarlistFromPlc(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    RTS_I32 lResult = EnterOnlineAccessWithStateCheck(0);
    if (lResult != RESULT_OK) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncReadVarlistFromPlc(Result=%ld)",
                    static_cast<long>(lResult));
        return lResult;
    }
    RTS_UI32 ulOnlineStart = SysTimeGetMs();
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice == nullptr || pDevice != pList->m_pDevice) {
        LeaveOnlineAccess();
        AddLogEntry(LOG_DEBUG, 0,
                    "CKestrolink: <-SyncReadVarlistFromPlc(Result=%ld), list of a closed connection",
                    static_cast<long>(RESULT_FAILED));
        return RESULT_FAILED;
    }
    RTS_I32 lDevice = pDevice->GetVarList(pList->m_hVarList, pppValues, pulNumOfValues);
    HandleOnlineResult(lDevice);
    LeaveOnlineAccess();
    if (lDevice != PLCCOM_OK) {
        HandleOnlineErrorResult(lDevice);
    }
    lResult = MapListResult(lDevice);
    AddLogEntry(LOG_KL_DURATION, 0,
                "CKestrolink: SyncReadVarlistFromPlc: Duration: %ld ms, online-duration: %ld ms",
                Elapsed(ulStart), Elapsed(ulOnlineStart));
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncReadVarlistFromPlc(Result=%ld)",
                static_cast<long>(lResult));
    return lResult;
}

RTS_I32 CKestrolink::SyncReadVarsFromPlc(HVARLIST hSyncVarList, PlcVarValue*** pppValues,
                                         RTS_UI32* pulNumOfValues) {
    return SyncReadVarListFromPlc(hSyncVarList, pppValues, pulNumOfValues);
}

HVARLIST CKestrolink::SyncReadVarsFromPlc(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                          PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) {
    AddLogEntry(LOG_DEBUG, 0,
                "CKestrolink: ->SyncReadVarsFromPlc(ppszSymbols=0x%p, ulNumOfSymbols=%ld, pppValues=0x%p, "
                "pulNumOfValues=0x%p)",
                static_cast<const void*>(ppszSymbols), static_cast<long>(ulNumOfSymbols),
                static_cast<void*>(pppValues), static_cast<void*>(pulNumOfValues));
    if (ppszSymbols == nullptr || pppValues == nullptr || pulNumOfValues == nullptr) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncReadVarsFromPlc(Result=NULL), invalid parameter");
        return nullptr;
    }
    *pppValues = nullptr;
    *pulNumOfValues = 0;
    HVARLIST hList = SyncDefineVarList(ppszSymbols, ulNumOfSymbols, 0, nullptr);
    if (hList != nullptr && SyncReadVarListFromPlc(hList, pppValues, pulNumOfValues) != RESULT_OK) {
        SyncDeleteVarList(hList);
        hList = nullptr;
        *pppValues = nullptr;
        *pulNumOfValues = 0;
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncReadVarsFromPlc(Result=0x%x)", Low32(hList));
    return hList;
}

RTS_I32 CKestrolink::SyncReadVarsFromPlcReleaseValues(HVARLIST hSyncRead) {
    return SyncDeleteVarList(hSyncRead);
}

// ---- Writing -------------------------------------------------------------------------------

RTS_I32 CKestrolink::SyncWriteVarListToPlc(HVARLIST hSyncVarList, RTS_UI32 ulNumOfSymbols,
                                           const RTS_UI8* const* ppbyValues, const RTS_UI32* pulValueSizes) {
    RTS_UI32 ulStart = SysTimeGetMs();
    AddLogEntry(
        LOG_DEBUG, 0,
        "CKestrolink: ->SyncWriteVarListToPlc(hSyncVarList=0x%p, ulNumOfSymbols=%ld, ppbyValues=0x%p, "
        "pulValueSizes=0x%p)",
        hSyncVarList, static_cast<long>(ulNumOfSymbols), static_cast<const void*>(ppbyValues),
        static_cast<const void*>(pulValueSizes));
    auto* pList = static_cast<SyncVarList*>(hSyncVarList);
    if (!SyncListIsKnown(pList) || pList->m_hVarList == nullptr || ulNumOfSymbols == 0 ||
        ppbyValues == nullptr) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncWriteVarListToPlc(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    if ((pList->m_ulFlags & VARLIST_FLAG_WRITE_ACCESS) == 0) {
        AddLogEntry(
            LOG_DEBUG, 0,
            "CKestrolink: <-SyncWriteVarListToPlc: SyncVarList defined without write access (Result=%ld)",
            33L);
        return 33;
    }
    bool bWriteThrough = m_bWriteThroughReadCache != 0;
    if (bWriteThrough && pList->m_ppszSymbolList == nullptr) {
        AddLogEntry(LOG_DEBUG, 0,
                    "CKestrolink: <-SyncWriteVarListToPlc: No symbol names stored in internal SyncVarList "
                    "(Result=%ld)",
                    static_cast<long>(RESULT_FAILED));
        return RESULT_FAILED;
    }
    RTS_I32 lResult = EnterOnlineAccessWithStateCheck(0);
    if (lResult != RESULT_OK) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncWriteVarListToPlc(Result=%ld)",
                    static_cast<long>(lResult));
        return lResult;
    }
    RTS_UI32 ulOnlineStart = SysTimeGetMs();
    CPLCComBase* pDevice = m_pplccom.load();
    if (pDevice == nullptr || pDevice != pList->m_pDevice) {
        LeaveOnlineAccess();
        AddLogEntry(LOG_DEBUG, 0,
                    "CKestrolink: <-SyncWriteVarListToPlc(Result=%ld), list of a closed connection",
                    static_cast<long>(RESULT_FAILED));
        return RESULT_FAILED;
    }
    RTS_I32 lDevice = pDevice->WriteVarList(pList->m_hVarList, ulNumOfSymbols, ppbyValues, pulValueSizes);
    HandleOnlineResult(lDevice);
    if (lDevice == PLCCOM_OK && bWriteThrough) {
        // The caller's arrays hold ulNumOfSymbols entries, the list its own count.
        RTS_UI32 ulCount =
            ulNumOfSymbols < pList->m_ulNumOfSymbols ? ulNumOfSymbols : pList->m_ulNumOfSymbols;
        CycWriteThroughReadCache(pList->m_ppszSymbolList.get(), ulCount, ppbyValues, pulValueSizes);
    }
    LeaveOnlineAccess();
    if (lDevice != PLCCOM_OK) {
        HandleOnlineErrorResult(lDevice);
    }
    lResult = MapListResult(lDevice);
    AddLogEntry(LOG_KL_DURATION, 0,
                "CKestrolink: SyncWriteVarListToPlc: Duration: %ld ms, online-duration: %ld ms",
                Elapsed(ulStart), Elapsed(ulOnlineStart));
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncWriteVarListToPlc(Result=%ld)", static_cast<long>(lResult));
    return lResult;
}

RTS_I32 CKestrolink::SyncWriteVarsToPlc(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                        const RTS_UI8* const* ppbyValues, const RTS_UI32* pulValueSizes) {
    RTS_UI32 ulStart = SysTimeGetMs();
    AddLogEntry(LOG_DEBUG, 0,
                "CKestrolink: ->SyncWriteVarsToPlc(ppszSymbols=0x%p, ulNumOfSymbols=%ld, ppbyValues=0x%p, "
                "pulValueSizes=0x%p)",
                static_cast<const void*>(ppszSymbols), static_cast<long>(ulNumOfSymbols),
                static_cast<const void*>(ppbyValues), static_cast<const void*>(pulValueSizes));
    bool bGiven = ppszSymbols != nullptr && ulNumOfSymbols != 0 && ppbyValues != nullptr;
    for (RTS_UI32 i = 0; bGiven && i < ulNumOfSymbols; ++i) {
        bGiven = ppszSymbols[i] != nullptr && ppbyValues[i] != nullptr;
    }
    if (!bGiven) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncWriteVarsToPlc(Result=%ld), invalid parameter",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    RTS_I32 lResult = EnterOnlineAccessWithStateCheck(0);
    if (lResult != RESULT_OK) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncWriteVarsToPlc(Result=%ld)",
                    static_cast<long>(lResult));
        return lResult;
    }
    RTS_UI32 ulOnlineStart = SysTimeGetMs();
    CPLCComBase* pDevice = m_pplccom.load();
    RTS_I32 lDevice = pDevice != nullptr
                          ? pDevice->WriteVars(ppszSymbols, ulNumOfSymbols, ppbyValues, pulValueSizes)
                          : PLCCOM_FAILED;
    // A name the symbol table does not know says nothing about the connection.
    if (lDevice != PLCCOM_UNKNOWN_SYMBOL) {
        HandleOnlineResult(lDevice);
    }
    if (lDevice == PLCCOM_OK && m_bWriteThroughReadCache) {
        CycWriteThroughReadCache(ppszSymbols, ulNumOfSymbols, ppbyValues, pulValueSizes);
    }
    LeaveOnlineAccess();
    if (lDevice == PLCCOM_OK) {
        lResult = RESULT_OK;
        AddLogEntry(LOG_KL_DURATION, 0,
                    "CKestrolink: SyncWriteVarsToPlc(%ld symbols): value[0]: %d, duration: %ld ms, "
                    "online-duration: %ld ms",
                    static_cast<long>(ulNumOfSymbols), static_cast<int>(ppbyValues[0][0]), Elapsed(ulStart),
                    Elapsed(ulOnlineStart));
    } else {
        if (lDevice != PLCCOM_UNKNOWN_SYMBOL) {
            HandleOnlineErrorResult(lDevice);
        }
        lResult = lDevice == PLCCOM_SIZE_MISMATCH ? RESULT_WRITE_SIZE_MISMATCH : RESULT_FAILED;
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncWriteVarsToPlc(Result=%ld)", static_cast<long>(lResult));
    return lResult;
}

// ---- Deletion -------------------------------------------------------------------------------

RTS_I32 CKestrolink::SyncDeleteVarList(HVARLIST hSyncVarList) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: ->SyncDeleteVarlist(hSyncVarList=0x%p)", hSyncVarList);
    auto* pList = static_cast<SyncVarList*>(hSyncVarList);
    if (!SyncListIsKnown(pList)) {
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncDeleteVarlist(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    if (pList->m_hVarList == nullptr || !pList->m_bValid) {
        SyncListForget(pList);
        delete pList;
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncDeleteVarlist(Result=%ld)",
                    static_cast<long>(RESULT_INVALIDPARAMETER));
        return RESULT_INVALIDPARAMETER;
    }
    SyncListForget(pList);
    RTS_I32 lResult = RESULT_OK;
    if (m_iState.load() != STATE_RUNNING) {
        // Local memory only: nothing goes to the controller.
        if (EnterOnlineAccess(RTS_TIMEOUT_INFINITE) == RESULT_OK) {
            CPLCComBase* pDevice = m_pplccom.load();
            if (pDevice != nullptr && pDevice == pList->m_pDevice) {
                pDevice->DeleteVarList(pList->m_hVarList, 1);
            }
            LeaveOnlineAccess();
        }
        pList->m_hVarList = nullptr;
        delete pList;
        AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncDeleteVarlist offline (Result=%ld)",
                    static_cast<long>(lResult));
        return lResult;
    }
    RTS_I32 lDevice = PLCCOM_OK;
    if (EnterOnlineAccess(RTS_TIMEOUT_INFINITE) == RESULT_OK) {
        CPLCComBase* pDevice = m_pplccom.load();
        if (pDevice != nullptr && pDevice == pList->m_pDevice) {
            lDevice = pDevice->DeleteVarList(pList->m_hVarList, m_iState.load() == STATE_RUNNING ? 0 : 1);
        }
        pList->m_hVarList = nullptr;
        HandleOnlineResult(lDevice);
        LeaveOnlineAccess();
    } else {
        pList->m_hVarList = nullptr;
        lDevice = PLCCOM_FAILED;
    }
    delete pList;
    if (lDevice != PLCCOM_OK) {
        HandleOnlineErrorResult(lDevice);
        lResult = RESULT_FAILED;
    }
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-SyncDeleteVarlist(Result=%ld)", static_cast<long>(lResult));
    return lResult;
}
