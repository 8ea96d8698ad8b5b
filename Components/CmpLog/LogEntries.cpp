// Rings of the log: the static ring that collects entries before the loggers
// exist, each logger's ring, adding entries with their class filter, and the
// queries that copy entries out. Everything here runs under the log lock.
#include <cstdio>
#include <cstring>

#include "CmpLogPrivate.h"
#include "SysTime.h"

using namespace cmplog;

namespace cmplog {

// ---- Loggers and rings (log lock held) --------------------------------------------

Logger* FindLogger(RTS_HANDLE hLog) {
    if (hLog == nullptr) {
        return s_pStdLogger;
    }
    for (Logger* p = s_pLoggers; p != nullptr; p = p->pNext) {
        if (p == hLog) {
            return p;
        }
    }
    return nullptr;
}

bool IsListed(const Logger* pLogger) {
    for (Logger* p = s_pLoggers; p != nullptr; p = p->pNext) {
        if (p == pLogger) {
            return true;
        }
    }
    return false;
}

Logger* FindByName(const char* pszName) {
    for (Logger* p = s_pLoggers; p != nullptr; p = p->pNext) {
        if (strncmp(p->lo.szName, pszName, LOG_NAME_LEN) == 0) {
            return p;
        }
    }
    return nullptr;
}

Logger* NthLogger(int n) {
    Logger* p = s_pLoggers;
    for (; p != nullptr && n > 0; --n) {
        p = p->pNext;
    }
    return p;
}

void Unlink(Logger* pLogger) {
    for (Logger** pp = &s_pLoggers; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == pLogger) {
            *pp = pLogger->pNext;
            break;
        }
    }
    pLogger->pNext = nullptr;
    if (s_pStdLogger == pLogger) {
        s_pStdLogger = nullptr;
    }
}

LogEntry* EntryAt(Logger* pLogger, RTS_I32 iQueueIndex) {
    return &pLogger->pLog[(pLogger->iFirstIndex + iQueueIndex) % pLogger->lo.iMaxEntries];
}

RTS_I32 ClampEntries(RTS_I32 iEntries) {
    if (iEntries < LOG_MIN_ENTRIES) {
        return LOG_MIN_ENTRIES;
    }
    return iEntries > LOG_MAX_ENTRIES ? LOG_MAX_ENTRIES : iEntries;
}

void TakeTimestamp(RTS_I32 iType, LogTimestamp* pts) {
    pts->ullTimestamp = 0;
    switch (LogTimestampSource(iType)) {
        case LT_TIMESTAMP_RTC_HIGHRES:
            pts->ullTimestamp = SysTimeRtcHighResGet(nullptr);
            break;
        case LT_TIMESTAMP_MS:
            pts->ulTimestamp = SysTimeGetMs();
            break;
        case LT_TIMESTAMP_US:
            pts->ullTimestamp = SysTimeGetUs();
            break;
        case LT_TIMESTAMP_NS:
            pts->ullTimestamp = SysTimeGetNs();
            break;
        default:
            pts->ulTimestamp = SysTimeRtcGet(nullptr);
            break;
    }
}

long TimestampDiff(RTS_I32 iType, const LogTimestamp& now, const LogTimestamp& prev) {
    RTS_I32 iSource = LogTimestampSource(iType);
    if (iSource == LT_TIMESTAMP_RTC || iSource == LT_TIMESTAMP_MS) {
        // Unsigned difference: the millisecond counter wraps at 32 bits.
        return static_cast<long>(static_cast<RTS_I32>(now.ulTimestamp - prev.ulTimestamp));
    }
    return static_cast<long>(static_cast<RTS_I64>(now.ullTimestamp - prev.ullTimestamp));
}

// Formats into a buffer of iSize bytes; a longer text is cut.
void FormatText(char* pszBuffer, RTS_SIZE size, const char* pszFormat, va_list argList) {
    if (size == 0) {
        return;
    }
    pszBuffer[0] = '\0';
    if (pszFormat == nullptr) {
        return;
    }
    va_list args;
    va_copy(args, argList);
    vsnprintf(pszBuffer, size, pszFormat, args);
    va_end(args);
}

void FillEntry(LogEntry* p, const LogTimestamp& ts, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID,
               RTS_UI32 iInfoID) {
    memset(p, 0, sizeof(*p));
    p->tTimestamp = ts;
    p->CmpId = CmpId;
    p->iClassID = iClassID;
    p->iErrorID = iErrorID;
    p->iInfoID = iInfoID;
}

void StaticAdd(RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID, RTS_UI32 iInfoID, const char* pszInfo,
               va_list argList) {
    LogEntry* p = &s_aStaticRing[s_iStaticIndex];
    s_iStaticIndex = (s_iStaticIndex + 1) % LOG_STATIC_RING_ENTRIES;
    if (s_iStaticCount < LOG_STATIC_RING_ENTRIES) {
        ++s_iStaticCount;
    }
    ++s_ullStaticAdded;
    LogTimestamp ts;
    ts.ullTimestamp = 0;  // stamped when the standard logger takes the ring over
    FillEntry(p, ts, CmpId, iClassID, iErrorID, iInfoID);
    FormatText(p->szInfo, sizeof(p->szInfo), pszInfo, argList);
}

void ResetStaticRing() {
    memset(s_aStaticRing, 0, sizeof(s_aStaticRing));
    s_iStaticIndex = 0;
    s_iStaticCount = 0;
    s_ullStaticAdded = 0;
}

void AddEntry(Logger* pLogger, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID, RTS_UI32 iInfoID,
              const LogTimestamp* ptTimestamp, const char* pszInfo, va_list argList) {
    const RTS_I32 iMax = pLogger->lo.iMaxEntries;
    LogTimestamp ts;
    if (ptTimestamp != nullptr) {
        ts = *ptTimestamp;
    } else {
        TakeTimestamp(pLogger->lo.iType, &ts);
    }
    long lTimeRel = 0;
    if ((iClassID & LOG_TIMEREL) != 0 && pLogger->iCount > 0) {
        lTimeRel = TimestampDiff(pLogger->lo.iType, ts, EntryAt(pLogger, pLogger->iCount - 1)->tTimestamp);
    }
    RTS_I32 iSlot = pLogger->iIndex;
    pLogger->iIndex = (iSlot + 1) % iMax;
    if (pLogger->iCount == 0) {
        pLogger->iFirstIndex = iSlot;
        pLogger->iCount = 1;
    } else if (pLogger->iCount < iMax) {
        ++pLogger->iCount;
    } else {
        // The slot held the oldest entry.
        pLogger->iFirstIndex = (pLogger->iFirstIndex + 1) % iMax;
        ++pLogger->ullFirstSeq;
    }
    LogEntry* p = &pLogger->pLog[iSlot];
    FillEntry(p, ts, CmpId, iClassID, iErrorID, iInfoID);
    RTS_SIZE offset = 0;
    if ((iClassID & LOG_TIMEREL) != 0) {
        int n = snprintf(p->szInfo, sizeof(p->szInfo), "<TimeRel>%ld</TimeRel> ", lTimeRel);
        offset = n < 0 ? 0
                       : (static_cast<RTS_SIZE>(n) < sizeof(p->szInfo) ? static_cast<RTS_SIZE>(n)
                                                                       : sizeof(p->szInfo) - 1);
    }
    FormatText(p->szInfo + offset, sizeof(p->szInfo) - offset, pszInfo, argList);
    if ((iClassID & LOG_USER_NOTIFY) != 0) {
        pLogger->userNotify = *p;
        pLogger->bUserNotify = true;
    }
}

// Puts the newest entries of the logger's ring (as many as fit) into pNew, in
// order from slot 0. The caller frees the old ring.
void MoveRing(Logger* pLogger, LogEntry* pNew, RTS_I32 iNewMax) {
    RTS_I32 iKeep = pLogger->iCount < iNewMax ? pLogger->iCount : iNewMax;
    RTS_I32 iSkip = pLogger->iCount - iKeep;
    for (RTS_I32 i = 0; i < iKeep; ++i) {
        pNew[i] = *EntryAt(pLogger, iSkip + i);
    }
    pLogger->ullFirstSeq += static_cast<RTS_UI64>(iSkip);
    pLogger->iCount = iKeep;
    pLogger->iFirstIndex = iKeep > 0 ? 0 : -1;
    pLogger->iIndex = iKeep % iNewMax;
    pLogger->pLog = pNew;
    pLogger->lo.iMaxEntries = iNewMax;
}

// The standard logger takes over what was logged before it existed: the
// static ring itself when the sizes agree, else a copy of its newest entries.
void AdoptStaticRing(Logger* pLogger) {
    if (pLogger->bStaticRing) {
        pLogger->iIndex = s_iStaticIndex;
        pLogger->iCount = s_iStaticCount;
        pLogger->iFirstIndex =
            s_iStaticCount == 0 ? -1 : (s_iStaticCount < LOG_STATIC_RING_ENTRIES ? 0 : s_iStaticIndex);
        pLogger->ullFirstSeq = s_ullStaticAdded - static_cast<RTS_UI64>(s_iStaticCount);
    } else {
        RTS_I32 iKeep = s_iStaticCount < pLogger->lo.iMaxEntries ? s_iStaticCount : pLogger->lo.iMaxEntries;
        RTS_I32 iFirst = s_iStaticCount < LOG_STATIC_RING_ENTRIES ? 0 : s_iStaticIndex;
        for (RTS_I32 i = 0; i < iKeep; ++i) {
            pLogger->pLog[i] = s_aStaticRing[(iFirst + s_iStaticCount - iKeep + i) % LOG_STATIC_RING_ENTRIES];
        }
        pLogger->iCount = iKeep;
        pLogger->iFirstIndex = iKeep > 0 ? 0 : -1;
        pLogger->iIndex = iKeep % pLogger->lo.iMaxEntries;
        pLogger->ullFirstSeq = 0;
        ResetStaticRing();
    }
    LogTimestamp now;
    TakeTimestamp(pLogger->lo.iType, &now);
    for (RTS_I32 i = 0; i < pLogger->iCount; ++i) {
        EntryAt(pLogger, i)->tTimestamp = now;
    }
}

}  // namespace cmplog

namespace {

// Seam for the log event (EVTID_CmpLogAdd of CMPID_CmpLog). The event manager
// does not exist yet; once it does, the event is created at CH_INIT2, deleted
// at CH_EXIT2, and posted here with the EVTPARAM_CmpLogAdd record, outside the
// log lock. Until then nothing is posted.
void PostLogEvent(const EVTPARAM_CmpLogAdd& param) {
    (void)param;
}

RTS_RESULT LogAddInternal(RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
                          RTS_RESULT iErrorID, RTS_UI32 iInfoID, const LogTimestamp* ptTimestamp,
                          const char* pszInfo, va_list argList) {
    if (hLog == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    if (pFilter != nullptr && (iClassID & pFilter->iMask & pFilter->iFilter) == 0) {
        return ERR_PARAMETER;
    }
    EVTPARAM_CmpLogAdd param{};
    {
        LogLockGuard lock;
        if (!s_bPoolCreated.load()) {
            StaticAdd(CmpId, iClassID, iErrorID, iInfoID, pszInfo, argList);
            return ERR_OK;
        }
        Logger* pLogger = FindLogger(hLog);
        if (pLogger == nullptr) {
            return ERR_PARAMETER;
        }
        if (pLogger->lo.bEnable == 0) {
            return ERR_FAILED;
        }
        if ((iClassID & static_cast<RTS_UI32>(pLogger->lo.iFilter)) == 0) {
            if ((iClassID & LOG_USER_NOTIFY) != 0) {
                LogTimestamp ts;
                if (ptTimestamp != nullptr) {
                    ts = *ptTimestamp;
                } else {
                    TakeTimestamp(pLogger->lo.iType, &ts);
                }
                FillEntry(&pLogger->userNotify, ts, CmpId, iClassID, iErrorID, iInfoID);
                FormatText(pLogger->userNotify.szInfo, sizeof(pLogger->userNotify.szInfo), pszInfo, argList);
                pLogger->bUserNotify = true;
            }
            return ERR_PARAMETER;
        }
        AddEntry(pLogger, CmpId, iClassID, iErrorID, iInfoID, ptTimestamp, pszInfo, argList);
        if ((pLogger->lo.iType & LT_DUMP_ALWAYS) != 0 && pLogger->iDumpSync.exchange(1) == 0) {
            // The log lock stays held for the pass; a backend that logs itself
            // re-enters it and its entry waits for the next pass.
            DumpPass(pLogger, false);
            ReleaseBusy(pLogger);
        }
        param = EVTPARAM_CmpLogAdd{pLogger, CmpId, iClassID, iErrorID, iInfoID};
    }
    PostLogEvent(param);
    return ERR_OK;
}

}  // namespace

RTS_RESULT LogAdd(RTS_HANDLE hLog, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID, RTS_UI32 iInfoID,
                  const char* pszInfo, ...) {
    va_list args;
    va_start(args, pszInfo);
    RTS_RESULT r = LogAddInternal(hLog, nullptr, CmpId, iClassID, iErrorID, iInfoID, nullptr, pszInfo, args);
    va_end(args);
    return r;
}

RTS_RESULT LogAddArg(RTS_HANDLE hLog, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID,
                     RTS_UI32 iInfoID, const char* pszInfo, va_list argList) {
    return LogAddInternal(hLog, nullptr, CmpId, iClassID, iErrorID, iInfoID, nullptr, pszInfo, argList);
}

RTS_RESULT LogAdd2(RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
                   RTS_RESULT iErrorID, RTS_UI32 iInfoID, const char* pszInfo, ...) {
    va_list args;
    va_start(args, pszInfo);
    RTS_RESULT r = LogAddInternal(hLog, pFilter, CmpId, iClassID, iErrorID, iInfoID, nullptr, pszInfo, args);
    va_end(args);
    return r;
}

RTS_RESULT LogAdd2Arg(RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
                      RTS_RESULT iErrorID, RTS_UI32 iInfoID, const char* pszInfo, va_list argList) {
    return LogAddInternal(hLog, pFilter, CmpId, iClassID, iErrorID, iInfoID, nullptr, pszInfo, argList);
}

RTS_RESULT LogAdd3(RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
                   RTS_RESULT iErrorID, RTS_UI32 iInfoID, const LogTimestamp* ptTimestamp,
                   const char* pszInfo, ...) {
    va_list args;
    va_start(args, pszInfo);
    RTS_RESULT r =
        LogAddInternal(hLog, pFilter, CmpId, iClassID, iErrorID, iInfoID, ptTimestamp, pszInfo, args);
    va_end(args);
    return r;
}

RTS_RESULT LogAdd3Arg(RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
                      RTS_RESULT iErrorID, RTS_UI32 iInfoID, const LogTimestamp* ptTimestamp,
                      const char* pszInfo, va_list argList) {
    return LogAddInternal(hLog, pFilter, CmpId, iClassID, iErrorID, iInfoID, ptTimestamp, pszInfo, argList);
}

RTS_RESULT LogGetFirstEntry(RTS_HANDLE hLog, RTS_I32* piIndex, LogEntry* pEntry) {
    if (hLog == RTS_INVALID_HANDLE || piIndex == nullptr || pEntry == nullptr) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    if (p->iCount == 0) {
        return ERR_END_OF_OBJECT;
    }
    *piIndex = p->iFirstIndex;
    *pEntry = p->pLog[p->iFirstIndex];
    return ERR_OK;
}

RTS_RESULT LogGetNextEntry(RTS_HANDLE hLog, RTS_I32* piIndex, LogEntry* pEntry) {
    if (hLog == RTS_INVALID_HANDLE || piIndex == nullptr || pEntry == nullptr) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    const RTS_I32 iMax = p->lo.iMaxEntries;
    if (*piIndex < 0 || *piIndex >= iMax || p->iCount == 0) {
        return ERR_PARAMETER;
    }
    RTS_I32 iQueueIndex = (*piIndex - p->iFirstIndex + iMax) % iMax;
    if (iQueueIndex + 1 >= p->iCount) {
        return ERR_END_OF_OBJECT;
    }
    *piIndex = (*piIndex + 1) % iMax;
    *pEntry = p->pLog[*piIndex];
    return ERR_OK;
}

RTS_RESULT LogGetEntryByIndex(RTS_HANDLE hLog, RTS_I32 iIndex, LogEntry* pEntry) {
    if (hLog == RTS_INVALID_HANDLE || pEntry == nullptr) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    const RTS_I32 iMax = p->lo.iMaxEntries;
    if (iIndex < 0 || iIndex >= iMax || p->iCount == 0 ||
        (iIndex - p->iFirstIndex + iMax) % iMax >= p->iCount) {
        return ERR_NO_OBJECT;
    }
    *pEntry = p->pLog[iIndex];
    return ERR_OK;
}

RTS_RESULT LogGetEntryByQueueIndex(RTS_HANDLE hLog, RTS_I32 iQueueIndex, LogEntry* pEntry) {
    if (hLog == RTS_INVALID_HANDLE || pEntry == nullptr) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    if (iQueueIndex < 0 || iQueueIndex >= p->iCount) {
        return ERR_NO_OBJECT;
    }
    *pEntry = *EntryAt(p, iQueueIndex);
    return ERR_OK;
}

RTS_RESULT LogGetEntry(RTS_HANDLE hLog, LogEntry* pEntry) {
    if (hLog == RTS_INVALID_HANDLE || pEntry == nullptr) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    if (p->iCount == 0) {
        return ERR_NO_OBJECT;
    }
    *pEntry = *EntryAt(p, p->iCount - 1);
    return ERR_OK;
}

RTS_RESULT LogGetUserNotify(RTS_HANDLE hLog, LogEntry* pEntry) {
    if (hLog == RTS_INVALID_HANDLE || pEntry == nullptr) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    if (!p->bUserNotify) {
        return ERR_NO_OBJECT;
    }
    *pEntry = p->userNotify;
    p->bUserNotify = false;
    return ERR_OK;
}

RTS_RESULT LogConvertTimestamp(RTS_HANDLE hLog, const LogTimestamp* ptTimestamp, char* pszBuffer,
                               RTS_I32 iLen) {
    if (hLog == RTS_INVALID_HANDLE || ptTimestamp == nullptr || pszBuffer == nullptr) {
        return ERR_PARAMETER;
    }
    if (iLen <= 0) {
        return ERR_BUFFERSIZE;
    }
    RTS_I32 iType = 0;
    {
        LogLockGuard lock;
        Logger* p = FindLogger(hLog);
        if (p == nullptr) {
            return ERR_PARAMETER;
        }
        iType = p->lo.iType;
    }
    return LogTimestampToText(iType, ptTimestamp, pszBuffer, static_cast<RTS_SIZE>(iLen));
}
