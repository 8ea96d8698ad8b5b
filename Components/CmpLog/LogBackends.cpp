// Backends of the log: the three slots of a logger, the instances created
// through the component manager or attached directly, the busy flag that lets
// a dump call backends without the log lock, and the dump passes.
#include <cstring>

#include "CmpLogPrivate.h"
#include "SysTask.h"
#include "SysTime.h"

using namespace cmplog;

namespace cmplog {

// ---- Busy flag ----------------------------------------------------------------------
// Taken under the log lock so that a logger found in the list cannot be freed
// between the look-up and the flag. ERR_PARAMETER when the logger is gone,
// ERR_PENDING when it stays busy (bWait: for kBusyWaitMs).
RTS_RESULT AcquireBusy(Logger* pLogger, bool bWait) {
    RTS_UI32 ulStart = SysTimeGetMs();
    for (;;) {
        bool bListed = false;
        bool bGot = false;
        {
            LogLockGuard lock;
            bListed = IsListed(pLogger);
            bGot = bListed && pLogger->iDumpSync.exchange(1) == 0;
        }
        if (bGot) {
            return ERR_OK;
        }
        if (!bListed) {
            return ERR_PARAMETER;
        }
        if (!bWait || SysTimeElapsedMs(SysTimeGetMs(), ulStart) >= kBusyWaitMs) {
            return ERR_PENDING;
        }
        SysTaskWaitSleep(nullptr, 1);
    }
}

void ReleaseBusy(Logger* pLogger) {
    pLogger->iDumpSync.store(0);
}

// ---- Backends ------------------------------------------------------------------------

const ICmpLogBackend_C* BackendItf(void* pIBase) {
    if (pIBase == nullptr || pIBase == RTS_INVALID_HANDLE) {
        return nullptr;
    }
    const auto* pItf = static_cast<const ICmpLogBackend_C*>(pIBase);
    if (pItf->ulItfId != ITFID_ICmpLogBackend || pItf->ILogBackendCreate == nullptr ||
        pItf->ILogBackendDelete == nullptr || pItf->ILogBackendAdd == nullptr) {
        return nullptr;
    }
    return pItf;
}

bool ValidBackendHandle(RTS_HANDLE h) {
    return h != nullptr && h != RTS_INVALID_HANDLE;
}

void DeleteInstance(RTS_UI32 ClassId, void* pIBase, PF_CMP_DELETE_INSTANCE pfDeleteInstance) {
    if (pfDeleteInstance != nullptr) {
        pfDeleteInstance(pIBase);
        return;
    }
    PFCMDeleteInstance2 pfDelete = pfCMDeleteInstance2.load();
    if (pfDelete == nullptr) {
        pfDelete = s_pfInitDeleteInstance2.load();
    }
    if (pfDelete != nullptr) {
        pfDelete(ClassId, pIBase);
    }
}

// Releases what a slot held; the slot is no longer visible to dumps.
void ReleaseSlot(Logger* pLogger, const LogItf& slot) {
    if (slot.iState != LOGITF_ACTIVE) {
        return;
    }
    slot.pItf->ILogBackendDelete(slot.hLogBackend, pLogger);
    DeleteInstance(slot.ClassId, slot.pIBase, slot.pfDeleteInstance);
}

// Options as a backend sees them at its creation; busy flag held, so the path
// cannot change underneath.
LogOptions OptionsSnapshot(Logger* pLogger) {
    LogLockGuard lock;
    return pLogger->lo;
}

// Creates an instance for every registered class without one.
RTS_RESULT CreateBackends(Logger* pLogger, bool bWait) {
    RTS_RESULT result = AcquireBusy(pLogger, bWait);
    if (result != ERR_OK) {
        return result;
    }
    for (int i = 0; i < LOG_MAX_BACKENDS; ++i) {
        RTS_UI32 ClassId = 0;
        {
            LogLockGuard lock;
            const LogItf& slot = pLogger->tLogItf[i];
            if (slot.iState == LOGITF_REGISTERED || slot.iState == LOGITF_FAILED) {
                ClassId = slot.ClassId;
            }
        }
        if (ClassId == 0) {
            continue;
        }
        RTS_RESULT r = ERR_NOTINITIALIZED;
        void* pIBase = nullptr;
        PFCMCreateInstance pfCreate = pfCMCreateInstance.load();
        if (pfCreate == nullptr) {
            pfCreate = s_pfInitCreateInstance.load();
        }
        if (pfCreate != nullptr) {
            RTS_HANDLE h = pfCreate(ClassId, &r);
            if (ValidBackendHandle(h) && r == ERR_OK) {
                pIBase = h;
            } else if (r == ERR_OK) {
                r = ERR_FAILED;
            }
        }
        const ICmpLogBackend_C* pItf = nullptr;
        RTS_HANDLE hBackend = RTS_INVALID_HANDLE;
        if (pIBase != nullptr) {
            pItf = BackendItf(pIBase);
            if (pItf == nullptr) {
                r = ERR_NOT_SUPPORTED;
            } else {
                LogOptions lo = OptionsSnapshot(pLogger);
                r = ERR_OK;
                hBackend = pItf->ILogBackendCreate(ClassId, pLogger, &lo, &r);
                if (!ValidBackendHandle(hBackend) && r == ERR_OK) {
                    r = ERR_FAILED;
                }
            }
        }
        if (r != ERR_OK) {
            if (pIBase != nullptr) {
                DeleteInstance(ClassId, pIBase, nullptr);
            }
            LogLockGuard lock;
            pLogger->tLogItf[i].iState = LOGITF_FAILED;
            result = r;
            continue;
        }
        LogLockGuard lock;
        LogItf& slot = pLogger->tLogItf[i];
        slot.iState = LOGITF_ACTIVE;
        slot.hLogBackend = hBackend;
        slot.pIBase = pIBase;
        slot.pItf = pItf;
        slot.pfDeleteInstance = nullptr;
    }
    ReleaseBusy(pLogger);
    return result;
}

RTS_RESULT RegisterOne(Logger* pLogger, RTS_UI32 ClassId, bool bWait) {
    {
        LogLockGuard lock;
        if (!IsListed(pLogger)) {
            return ERR_PARAMETER;
        }
        LogItf* pFree = nullptr;
        for (LogItf& slot : pLogger->tLogItf) {
            if (slot.iState != LOGITF_EMPTY && slot.ClassId == ClassId) {
                return ERR_DUPLICATE;
            }
            if (slot.iState == LOGITF_EMPTY && pFree == nullptr) {
                pFree = &slot;
            }
        }
        if (pFree == nullptr) {
            return ERR_NUMPENDING;
        }
        *pFree = LogItf{};
        pFree->ClassId = ClassId;
        pFree->iState = LOGITF_REGISTERED;
        ++pLogger->iRegInterfaces;
    }
    return s_bBackendsAllowed.load() ? CreateBackends(pLogger, bWait) : ERR_OK;
}

// Detaches the slots of ClassId (and, when pIBase is given, only the slot of
// that instance). bDeleteInstance is false when the instance is being
// unregistered by its owner.
RTS_RESULT UnregisterOne(Logger* pLogger, RTS_UI32 ClassId, void* pIBase, bool bDeleteInstance) {
    RTS_RESULT r = AcquireBusy(pLogger, true);
    if (r != ERR_OK) {
        return r;
    }
    LogItf detached{};
    bool bFound = false;
    {
        LogLockGuard lock;
        for (LogItf& slot : pLogger->tLogItf) {
            if (slot.iState != LOGITF_EMPTY && slot.ClassId == ClassId &&
                (pIBase == nullptr || slot.pIBase == pIBase)) {
                detached = slot;
                slot = LogItf{};
                --pLogger->iRegInterfaces;
                bFound = true;
                break;
            }
        }
    }
    ReleaseBusy(pLogger);
    if (!bFound) {
        return ERR_NO_OBJECT;
    }
    if (detached.iState == LOGITF_ACTIVE) {
        detached.pItf->ILogBackendDelete(detached.hLogBackend, pLogger);
        if (bDeleteInstance) {
            DeleteInstance(detached.ClassId, detached.pIBase, detached.pfDeleteInstance);
        }
    }
    return ERR_OK;
}

// One pass over the backends; busy flag held by the caller. A caller that
// holds the log lock keeps it for the whole pass (dump policy "always").
// bComplete ignores the four-entries limit: the final dumps must not leave
// entries behind.
RTS_RESULT DumpPass(Logger* pLogger, bool bComplete) {
    RTS_RESULT result = ERR_OK;
    for (int i = 0; i < LOG_MAX_BACKENDS; ++i) {
        LogItf* pSlot = &pLogger->tLogItf[i];
        const ICmpLogBackend_C* pItf = nullptr;
        RTS_HANDLE hBackend = RTS_INVALID_HANDLE;
        bool bLimited = false;
        RTS_UI64 ullEnd = 0;
        {
            LogLockGuard lock;
            if (pSlot->iState != LOGITF_ACTIVE) {
                continue;
            }
            pItf = pSlot->pItf;
            hBackend = pSlot->hLogBackend;
            bLimited = !bComplete && (pLogger->lo.iType & LT_DUMP_LIMITED) != 0;
            // Entries added while the pass runs wait for the next pass, so a
            // steady stream of entries cannot keep the pass going forever.
            ullEnd = pLogger->ullFirstSeq + static_cast<RTS_UI64>(pLogger->iCount);
        }
        int iHanded = 0;
        for (;;) {
            if (bLimited && iHanded >= LOG_DUMP_LIMITED_ENTRIES) {
                break;
            }
            LogEntry entry;
            RTS_UI64 ullSeq = 0;
            {
                LogLockGuard lock;
                ullSeq = pSlot->ullNextSeq > pLogger->ullFirstSeq ? pSlot->ullNextSeq : pLogger->ullFirstSeq;
                RTS_UI64 ullNewest = pLogger->ullFirstSeq + static_cast<RTS_UI64>(pLogger->iCount);
                if (ullSeq >= ullEnd || ullSeq >= ullNewest) {
                    break;
                }
                entry = *EntryAt(pLogger, static_cast<RTS_I32>(ullSeq - pLogger->ullFirstSeq));
            }
            RTS_RESULT r = ERR_OK;
            pItf->ILogBackendAdd(hBackend, pLogger, &entry, &r);
            if (r != ERR_OK) {
                result = r;
                break;
            }
            {
                LogLockGuard lock;
                pSlot->ullNextSeq = ullSeq + 1;
            }
            ++iHanded;
        }
    }
    return result;
}

// bComplete: hand over everything now, whatever the logger's pass limit.
RTS_RESULT DumpLogger(RTS_HANDLE hLog, bool bComplete) {
    Enter();
    Logger* pLogger = FindLogger(hLog);
    if (pLogger == nullptr) {
        Leave();
        return ERR_PARAMETER;
    }
    if (pLogger->iDumpSync.exchange(1) != 0) {
        Leave();
        return ERR_PENDING;
    }
    bool bHold = (pLogger->lo.iType & LT_DUMP_ALWAYS) != 0;
    if (!bHold) {
        Leave();
    }
    RTS_RESULT r = DumpPass(pLogger, bComplete);
    ReleaseBusy(pLogger);
    if (bHold) {
        Leave();
    }
    return r;
}

void DumpAll(RTS_UI32 ulFlags, bool bComplete) {
    for (int n = 0;; ++n) {
        Logger* pLogger = nullptr;
        {
            LogLockGuard lock;
            pLogger = NthLogger(n);
            if (pLogger == nullptr) {
                return;
            }
            if (ulFlags != 0 && (static_cast<RTS_UI32>(pLogger->lo.iType) & ulFlags) == 0) {
                continue;
            }
        }
        DumpLogger(pLogger, bComplete);
    }
}

}  // namespace cmplog

RTS_RESULT LogRegisterBackend(RTS_HANDLE hLog, RTS_UI32 ClassId) {
    if (ClassId == 0) {
        return ERR_PARAMETER;
    }
    if (hLog != RTS_INVALID_HANDLE) {
        Logger* pLogger = nullptr;
        {
            LogLockGuard lock;
            pLogger = FindLogger(hLog);
        }
        return pLogger != nullptr ? RegisterOne(pLogger, ClassId, true) : ERR_PARAMETER;
    }
    RTS_RESULT result = ERR_OK;
    for (int n = 0;; ++n) {
        Logger* pLogger = nullptr;
        {
            LogLockGuard lock;
            pLogger = NthLogger(n);
        }
        if (pLogger == nullptr) {
            return result;
        }
        RTS_RESULT r = RegisterOne(pLogger, ClassId, true);
        if (r != ERR_OK) {
            result = r;
        }
    }
}

RTS_RESULT LogUnregisterBackend(RTS_HANDLE hLog, RTS_UI32 ClassId) {
    if (ClassId == 0) {
        return ERR_PARAMETER;
    }
    if (hLog != RTS_INVALID_HANDLE) {
        Logger* pLogger = nullptr;
        {
            LogLockGuard lock;
            pLogger = FindLogger(hLog);
        }
        return pLogger != nullptr ? UnregisterOne(pLogger, ClassId, nullptr, true) : ERR_PARAMETER;
    }
    RTS_RESULT result = ERR_NO_OBJECT;
    for (int n = 0;; ++n) {
        Logger* pLogger = nullptr;
        {
            LogLockGuard lock;
            pLogger = NthLogger(n);
        }
        if (pLogger == nullptr) {
            return result;
        }
        // Unregistering shifts nothing in the list, so the walk goes on at n + 1.
        if (UnregisterOne(pLogger, ClassId, nullptr, true) == ERR_OK) {
            result = ERR_OK;
        }
    }
}

RTS_RESULT LogAttachBackend(RTS_HANDLE hLog, RTS_UI32 ClassId, void* pIBase,
                            PF_CMP_DELETE_INSTANCE pfDeleteInstance) {
    const ICmpLogBackend_C* pItf = BackendItf(pIBase);
    if (hLog == RTS_INVALID_HANDLE || ClassId == 0 || pItf == nullptr) {
        return ERR_PARAMETER;
    }
    Logger* pLogger = nullptr;
    {
        LogLockGuard lock;
        pLogger = FindLogger(hLog);
    }
    if (pLogger == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_RESULT r = AcquireBusy(pLogger, true);
    if (r != ERR_OK) {
        return r;
    }
    LogItf* pSlot = nullptr;
    {
        LogLockGuard lock;
        for (LogItf& slot : pLogger->tLogItf) {
            if (slot.iState != LOGITF_EMPTY && slot.ClassId == ClassId) {
                r = ERR_DUPLICATE;
            }
            if (slot.iState == LOGITF_EMPTY && pSlot == nullptr) {
                pSlot = &slot;
            }
        }
        if (r == ERR_OK && pSlot == nullptr) {
            r = ERR_NUMPENDING;
        }
        if (r == ERR_OK) {
            // Reserved while the backend is created; the busy flag keeps dumps out.
            *pSlot = LogItf{};
            pSlot->ClassId = ClassId;
            pSlot->iState = LOGITF_REGISTERED;
        }
    }
    if (r != ERR_OK) {
        ReleaseBusy(pLogger);
        return r;
    }
    LogOptions lo = OptionsSnapshot(pLogger);
    RTS_HANDLE hBackend = pItf->ILogBackendCreate(ClassId, pLogger, &lo, &r);
    if (!ValidBackendHandle(hBackend) && r == ERR_OK) {
        r = ERR_FAILED;
    }
    {
        LogLockGuard lock;
        if (r == ERR_OK) {
            pSlot->iState = LOGITF_ACTIVE;
            pSlot->hLogBackend = hBackend;
            pSlot->pIBase = pIBase;
            pSlot->pItf = pItf;
            pSlot->pfDeleteInstance = pfDeleteInstance;
            ++pLogger->iRegInterfaces;
        } else {
            *pSlot = LogItf{};
        }
    }
    ReleaseBusy(pLogger);
    return r;
}

RTS_RESULT LogDumpEntries(RTS_HANDLE hLog) {
    if (hLog == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    return DumpLogger(hLog, false);
}

RTS_RESULT LogDumpAll(RTS_UI32 ulFlags) {
    DumpAll(ulFlags, false);
    return ERR_OK;
}
