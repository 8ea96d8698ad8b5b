// Internals of the log component shared by its files: the logger record, the
// module state, the log lock and the helpers each file offers the others.
//   CmpLog.cpp       component shape, hooks, settings, logger life cycle
//   LogEntries.cpp   rings, the static ring, adding entries, entry queries
//   LogBackends.cpp  backend slots, the busy flag, dumps
//
// Locking: one process-wide log lock guards the logger list, the rings and the
// backend slots. Each logger has a busy flag (iDumpSync): whoever holds it may
// call the logger's backends without the log lock, so a dump can run on the
// idle task while other threads go on adding entries. Calls into the memory
// pool, settings and component manager are made without the log lock, since
// those components log themselves while holding their own locks.
#pragma once

#include <atomic>
#include <cstdarg>

#include "CMItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "SysSem.h"

namespace cmplog {

constexpr const char* kCmpName = "CmpLog";
// How long deleting a logger or changing its backends waits for a running dump.
constexpr RTS_UI32 kBusyWaitMs = 5000;

enum LogItfState : RTS_I32 {
    LOGITF_EMPTY = 0,       // slot free
    LOGITF_REGISTERED = 1,  // class registered, no instance yet
    LOGITF_ACTIVE = 2,      // instance and backend handle exist
    LOGITF_FAILED = 3       // creating the instance failed; tried again later
};

struct LogItf {
    RTS_UI32 ClassId;
    RTS_I32 iState;
    RTS_HANDLE hLogBackend;
    void* pIBase;
    const ICmpLogBackend_C* pItf;
    // Set for instances bound with LogAttachBackend; null: delete through the manager.
    PF_CMP_DELETE_INSTANCE pfDeleteInstance;
    // Sequence number of the next entry to hand over. Counting entries instead
    // of ring slots lets a dump notice entries that were overwritten before it
    // reached them, so no entry is handed twice or out of order.
    RTS_UI64 ullNextSeq;
};

struct Logger {
    LogOptions lo;
    RTS_UI32 ulStartTimestamp;
    RTS_I32 iIndex;        // next slot to write
    RTS_I32 iFirstIndex;   // oldest entry, -1 = empty
    RTS_I32 iCount;        // entries in the ring
    RTS_UI64 ullFirstSeq;  // sequence number of the entry at iFirstIndex
    RTS_I32 iRegInterfaces;
    std::atomic<RTS_I32> iDumpSync;
    LogEntry* pLog;
    bool bStaticRing;  // pLog is the static ring, which is never freed
    bool bPoolBlock;   // the record is a block of the logger pool, not a heap record
    LogItf tLogItf[LOG_MAX_BACKENDS];
    // Backend classes the settings list for this logger (CH_ON_REGISTER_INSTANCE).
    RTS_UI32 aulSettingsClassId[LOG_MAX_BACKENDS];
    bool bUserNotify;
    LogEntry userNotify;
    Logger* pNext;
};

// ---- Imports (CmpLog.cpp) ----------------------------------------------------------
// Each may be missing; the log then falls back to heap records, defaults, no
// component names or no backends created through the manager.
extern std::atomic<PFMemPoolCreateStatic> pfMemPoolCreateStatic;
extern std::atomic<PFMemPoolGetBlock2> pfMemPoolGetBlock2;
extern std::atomic<PFMemPoolPutBlock> pfMemPoolPutBlock;
extern std::atomic<PFMemPoolDelete> pfMemPoolDelete;
extern std::atomic<PFSettgGetIntValue> pfSettgGetIntValue;
extern std::atomic<PFSettgGetStringValue> pfSettgGetStringValue;
extern std::atomic<PFCMGetCmpName> pfCMGetCmpName;
extern std::atomic<PFCMCreateInstance> pfCMCreateInstance;
extern std::atomic<PFCMDeleteInstance2> pfCMDeleteInstance2;
// The manager's pointers from the entry, used when the imports are missing.
extern std::atomic<PF_CREATE_INSTANCE> s_pfInitCreateInstance;
extern std::atomic<PF_DELETE_INSTANCE2> s_pfInitDeleteInstance2;

// ---- Module state (CmpLog.cpp; under the log lock unless atomic) ---------------------
extern std::atomic<bool> s_bPoolCreated;
extern std::atomic<bool> s_bBackendsAllowed;
extern RTS_HANDLE s_hLoggerPool;
extern Logger* s_pLoggers;
extern Logger* s_pStdLogger;
// Entries logged before the logger pool exists (and after it is gone).
extern LogEntry s_aStaticRing[LOG_STATIC_RING_ENTRIES];
extern RTS_I32 s_iStaticIndex;
extern RTS_I32 s_iStaticCount;
extern RTS_UI64 s_ullStaticAdded;
extern bool s_bStaticRingOwned;

// The log lock is created once and never deleted: components go on logging
// in the exit hooks that follow this component's own, and threads of other
// components may still be winding down, so the lock must outlive every hook
// sequence (a deleted lock would be entered by them).
inline RTS_HANDLE LogLock() {
    static const RTS_HANDLE s_hLock = SysSemCreate(nullptr);
    return s_hLock;
}

inline void Enter() {
    SysSemEnter(LogLock());
}
inline void Leave() {
    SysSemLeave(LogLock());
}

class LogLockGuard {
public:
    LogLockGuard() { Enter(); }
    ~LogLockGuard() { Leave(); }
    LogLockGuard(const LogLockGuard&) = delete;
    LogLockGuard& operator=(const LogLockGuard&) = delete;
};

// ---- Loggers and rings (LogEntries.cpp; log lock held) --------------------------------
Logger* FindLogger(RTS_HANDLE hLog);  // 0: the standard logger
bool IsListed(const Logger* pLogger);
Logger* FindByName(const char* pszName);
Logger* NthLogger(int n);
void Unlink(Logger* pLogger);
LogEntry* EntryAt(Logger* pLogger, RTS_I32 iQueueIndex);
RTS_I32 ClampEntries(RTS_I32 iEntries);
void TakeTimestamp(RTS_I32 iType, LogTimestamp* pts);
void ResetStaticRing();
void MoveRing(Logger* pLogger, LogEntry* pNew, RTS_I32 iNewMax);
void AdoptStaticRing(Logger* pLogger);

// ---- Backends and dumps (LogBackends.cpp; log lock not held) ---------------------------
RTS_RESULT AcquireBusy(Logger* pLogger, bool bWait);
void ReleaseBusy(Logger* pLogger);
void ReleaseSlot(Logger* pLogger, const LogItf& slot);
RTS_RESULT CreateBackends(Logger* pLogger, bool bWait);
// bWait: wait for a running dump before creating the instance; without it a
// busy logger keeps the class without an instance until the next registration
// of that class or of an instance of it.
RTS_RESULT RegisterOne(Logger* pLogger, RTS_UI32 ClassId, bool bWait);
RTS_RESULT UnregisterOne(Logger* pLogger, RTS_UI32 ClassId, void* pIBase, bool bDeleteInstance);
// Busy flag held by the caller; a caller holding the log lock keeps it for the pass.
RTS_RESULT DumpPass(Logger* pLogger, bool bComplete);
RTS_RESULT DumpLogger(RTS_HANDLE hLog, bool bComplete);
void DumpAll(RTS_UI32 ulFlags, bool bComplete);

}  // namespace cmplog
