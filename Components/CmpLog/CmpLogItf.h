// The log of the runtime (component CmpLog): named loggers, each with a ring of
// recent entries and up to three backends (components that store or show the
// entries, such as the file writer) that receive the entries at once, on
// request from the communication cycle, or when the logger is closed.
//
// Every component logs through the functions below, imported by name; entries
// added before the runtime has created its loggers go to a static ring that the
// standard logger "PlcLog" takes over when it is created.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <ctime>

#include "CmpStd.h"

// ---- Constants ---------------------------------------------------------------

#define LOG_STD_LOGGER_NAME "PlcLog"
#define LOG_NAME_LEN 32             /* LogOptions.szName, terminator included */
#define LOG_INFO_LEN 256            /* LogEntry.szInfo, terminator included */
#define LOG_MAX_BACKENDS 3          /* backend slots of one logger */
#define LOG_STATIC_RING_ENTRIES 500 /* entries kept before the loggers exist */
#define LOG_MIN_ENTRIES 1
#define LOG_MAX_ENTRIES 100000
#define LOG_DUMP_LIMITED_ENTRIES 4 /* entries per backend and pass with LT_DUMP_LIMITED */

// Options of the standard logger.
#define LOG_STD_TYPE 0x2304
#define LOG_STD_FILTER 0x1002F
#define LOG_STD_MAX_ENTRIES 500
#define LOG_STD_MAX_FILE_SIZE 100000
#define LOG_STD_MAX_FILES 3

// The part of a logger's filter a component gets unless its settings say more.
#define LOG_CMP_DEFAULT_FILTER 0x1002F
#define LOG_CMP_DEFAULT_MASK 0x7FFFFFFF

// LogOptions.iType
#define LT_HIGHSPEED 0x1
#define LT_SAFE 0x2
#define LT_NORMAL 0x4
#define LT_LOCALTIME 0x8      /* backends print real-time stamps in local time, not UTC */
#define LT_TIMESTAMP_RTC 0x10 /* real-time clock, seconds */
#define LT_TIMESTAMP_MS 0x20  /* monotonic milliseconds */
#define LT_TIMESTAMP_US 0x40  /* monotonic microseconds */
#define LT_TIMESTAMP_NS 0x80  /* monotonic nanoseconds */
#define LT_NO_DISABLE 0x100   /* LogDisable refuses */
#define LT_DUMP_LIMITED 0x200 /* one dump pass hands at most four entries to each backend */
#define LT_DUMP_ALWAYS 0x400
#define LT_DUMP_ON_CLOSE 0x800
#define LT_DUMP_ON_REQUEST 0x1000
#define LT_TIMESTAMP_RTC_HIGHRES 0x2000 /* real-time clock, microseconds */
#define LT_TIMESTAMP_MASK \
    (LT_TIMESTAMP_RTC | LT_TIMESTAMP_MS | LT_TIMESTAMP_US | LT_TIMESTAMP_NS | LT_TIMESTAMP_RTC_HIGHRES)
#define LT_DUMP_MASK (LT_DUMP_ALWAYS | LT_DUMP_ON_CLOSE | LT_DUMP_ON_REQUEST)

// Class of the file writer component (CmpLogBackendFile).
#define CLASSID_CCmpLogBackendFile 267

// Interface id every backend instance carries at the start of its base interface.
#define ITFID_ICmpLogBackend 0x00130001u

// Event of the log: an entry was added (component CMPID_CmpLog).
#define EVTID_CmpLogAdd 0x10001u

// ---- Records -----------------------------------------------------------------

struct LogOptions {
    char szName[LOG_NAME_LEN];
    RTS_I32 bEnable;
    RTS_I32 iType;
    RTS_I32 iFilter;
    RTS_I32 iMaxEntries;
    RTS_I32 iMaxFileSize;
    RTS_I32 iMaxFiles;
    // Copied into the logger by LogCreate; the copy lives as long as the logger.
    char* pszPath;
};
static_assert(offsetof(LogOptions, bEnable) == 32 && offsetof(LogOptions, iType) == 36 &&
                  offsetof(LogOptions, iFilter) == 40 && offsetof(LogOptions, iMaxEntries) == 44 &&
                  offsetof(LogOptions, iMaxFileSize) == 48 && offsetof(LogOptions, iMaxFiles) == 52 &&
                  offsetof(LogOptions, pszPath) == 56,
              "LogOptions layout");
static_assert(sizeof(LogOptions) == 56 + sizeof(char*), "LogOptions size");

// Which member holds the value depends on the logger's time stamp source:
// ulTimestamp for the real-time clock in seconds and for milliseconds,
// ullTimestamp for the others.
union LogTimestamp {
    RTS_UI32 ulTimestamp;
    RTS_UI64 ullTimestamp;
};

struct LogEntry {
    LogTimestamp tTimestamp;
    RTS_UI32 CmpId;
    RTS_UI32 iClassID;
    RTS_RESULT iErrorID;
    RTS_UI32 iInfoID;
    char szInfo[LOG_INFO_LEN];
};
static_assert(offsetof(LogEntry, CmpId) == 8 && offsetof(LogEntry, iClassID) == 12 &&
                  offsetof(LogEntry, iErrorID) == 16 && offsetof(LogEntry, iInfoID) == 20 &&
                  offsetof(LogEntry, szInfo) == 24 && sizeof(LogEntry) == 280,
              "LogEntry layout");

// What one component may log to a logger (LogGetFilter2): classes in iFilter,
// after masking the class with iMask.
struct LogFilter {
    RTS_UI32 iFilter;
    RTS_UI32 iMask;
};

// Parameter of the log event EVTID_CmpLogAdd.
struct EVTPARAM_CmpLogAdd {
    RTS_HANDLE hLogger;
    RTS_UI32 CmpId;
    RTS_UI32 iClassID;
    RTS_RESULT iErrorID;
    RTS_UI32 iInfoID;
};

// ---- Backend interface ---------------------------------------------------------
// A backend is a component that registers a class and creates instances whose
// base interface is an ICmpLogBackend_C. The log creates one instance per
// logger slot, then asks it for a backend handle bound to the logger. The
// options handed to ILogBackendCreate are a copy valid during the call only:
// a backend keeps what it needs.
// ILogBackendAdd is called by one thread at a time for one backend handle; the
// backend reports its verdict through pResult (the log presets ERR_OK), and an
// entry that was not accepted is offered again on the next dump.

typedef RTS_HANDLE (*PFILOGBACKENDCREATE)(RTS_UI32 ClassId, RTS_HANDLE hLogger, const LogOptions* pOptions,
                                          RTS_RESULT* pResult);
typedef RTS_RESULT (*PFILOGBACKENDDELETE)(RTS_HANDLE hLogBackend, RTS_HANDLE hLogger);
typedef void (*PFILOGBACKENDADD)(RTS_HANDLE hLogBackend, RTS_HANDLE hLogger, const LogEntry* pEntry,
                                 RTS_RESULT* pResult);

struct ICmpLogBackend_C {
    RTS_UI32 ulItfId;  // ITFID_ICmpLogBackend: checked before any call
    PFILOGBACKENDCREATE ILogBackendCreate;
    PFILOGBACKENDDELETE ILogBackendDelete;
    PFILOGBACKENDADD ILogBackendAdd;
};

// ---- Functions -------------------------------------------------------------------
// A handle of 0 means the standard logger; the invalid handle (all bits set) is
// rejected with ERR_PARAMETER, except by LogRegisterBackend and
// LogUnregisterBackend, where it means every logger.

KL_API_FUNC(RTS_HANDLE, LogCreate, (const LogOptions* pOptions, RTS_RESULT* pResult));
KL_API_FUNC(RTS_HANDLE, LogOpen, (const char* pszName, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, LogClose, (RTS_HANDLE hLog));
KL_API_FUNC(RTS_RESULT, LogDelete, (RTS_HANDLE hLog));
// Copies the options; pszPath of the copy points to the logger's own text.
KL_API_FUNC(RTS_RESULT, LogGetOptions, (RTS_HANDLE hLog, LogOptions* pOptions));
KL_API_FUNC(RTS_RESULT, LogEnable, (RTS_HANDLE hLog));
KL_API_FUNC(RTS_RESULT, LogDisable, (RTS_HANDLE hLog));
KL_API_FUNC(RTS_RESULT, LogSetFilter, (RTS_HANDLE hLog, RTS_UI32 iFilter));
KL_API_FUNC(RTS_RESULT, LogGetFilter, (RTS_HANDLE hLog, RTS_UI32* piFilter));
KL_API_FUNC(LogFilter, LogGetFilter2, (RTS_HANDLE hLog, RTS_UI32 CmpId));

// Results: 0 stored, 1 logger disabled, 2 unknown logger or class filtered out.
KL_API_FUNC(RTS_RESULT, LogAdd,
            (RTS_HANDLE hLog, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID, RTS_UI32 iInfoID,
             const char* pszInfo, ...));
KL_API_FUNC(RTS_RESULT, LogAddArg,
            (RTS_HANDLE hLog, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID, RTS_UI32 iInfoID,
             const char* pszInfo, va_list argList));
// With a component's filter record (null: none): a class outside it is not stored (2).
KL_API_FUNC(RTS_RESULT, LogAdd2,
            (RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
             RTS_RESULT iErrorID, RTS_UI32 iInfoID, const char* pszInfo, ...));
KL_API_FUNC(RTS_RESULT, LogAdd2Arg,
            (RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
             RTS_RESULT iErrorID, RTS_UI32 iInfoID, const char* pszInfo, va_list argList));
// As LogAdd2 with a time stamp of the caller's (null: taken now by the logger's source).
KL_API_FUNC(RTS_RESULT, LogAdd3,
            (RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
             RTS_RESULT iErrorID, RTS_UI32 iInfoID, const LogTimestamp* ptTimestamp, const char* pszInfo,
             ...));
KL_API_FUNC(RTS_RESULT, LogAdd3Arg,
            (RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
             RTS_RESULT iErrorID, RTS_UI32 iInfoID, const LogTimestamp* ptTimestamp, const char* pszInfo,
             va_list argList));

// Registering: 18 when the class is registered already, 11 when all three
// slots are taken. From CH_INIT2 on the instance is created at once.
KL_API_FUNC(RTS_RESULT, LogRegisterBackend, (RTS_HANDLE hLog, RTS_UI32 ClassId));
KL_API_FUNC(RTS_RESULT, LogUnregisterBackend, (RTS_HANDLE hLog, RTS_UI32 ClassId));
// Binds a backend instance the caller created itself (without the component
// manager) to a slot of the logger; pfDeleteInstance (may be null) releases the
// instance when the slot is released. On failure the caller keeps the instance.
KL_API_FUNC(RTS_RESULT, LogAttachBackend,
            (RTS_HANDLE hLog, RTS_UI32 ClassId, void* pIBase, PF_CMP_DELETE_INSTANCE pfDeleteInstance));

KL_API_FUNC(RTS_HANDLE, LogGetFirstLogger, (RTS_RESULT * pResult));
KL_API_FUNC(RTS_HANDLE, LogGetNextLogger, (RTS_HANDLE hPrev, RTS_RESULT* pResult));
// Entries are copied out. *piIndex is a ring slot; ERR_END_OF_OBJECT after the newest.
KL_API_FUNC(RTS_RESULT, LogGetFirstEntry, (RTS_HANDLE hLog, RTS_I32* piIndex, LogEntry* pEntry));
KL_API_FUNC(RTS_RESULT, LogGetNextEntry, (RTS_HANDLE hLog, RTS_I32* piIndex, LogEntry* pEntry));
KL_API_FUNC(RTS_RESULT, LogGetEntryByIndex, (RTS_HANDLE hLog, RTS_I32 iIndex, LogEntry* pEntry));
// iQueueIndex 0 is the oldest entry.
KL_API_FUNC(RTS_RESULT, LogGetEntryByQueueIndex, (RTS_HANDLE hLog, RTS_I32 iQueueIndex, LogEntry* pEntry));
// The newest entry.
KL_API_FUNC(RTS_RESULT, LogGetEntry, (RTS_HANDLE hLog, LogEntry* pEntry));
KL_API_FUNC(RTS_RESULT, LogGetName, (RTS_HANDLE hLog, char* pszName, RTS_I32 iLen));
// The pending user notification, which is cleared; ERR_NO_OBJECT when none.
KL_API_FUNC(RTS_RESULT, LogGetUserNotify, (RTS_HANDLE hLog, LogEntry* pEntry));
KL_API_FUNC(RTS_RESULT, LogConvertTimestamp,
            (RTS_HANDLE hLog, const LogTimestamp* ptTimestamp, char* pszBuffer, RTS_I32 iLen));

KL_API_FUNC(RTS_RESULT, LogDumpOptions, (RTS_HANDLE hLog));
// ERR_PENDING when another dump of the logger is running.
KL_API_FUNC(RTS_RESULT, LogDumpEntries, (RTS_HANDLE hLog));
// Dumps every logger whose dump policy shares a bit with ulFlags; 0 = all.
KL_API_FUNC(RTS_RESULT, LogDumpAll, (RTS_UI32 ulFlags));

RTS_RESULT LogAdd(RTS_HANDLE hLog, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID, RTS_UI32 iInfoID,
                  const char* pszInfo, ...) __attribute__((format(printf, 6, 7)));
RTS_RESULT LogAdd2(RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
                   RTS_RESULT iErrorID, RTS_UI32 iInfoID, const char* pszInfo, ...)
    __attribute__((format(printf, 7, 8)));
RTS_RESULT LogAdd3(RTS_HANDLE hLog, const LogFilter* pFilter, RTS_UI32 CmpId, RTS_UI32 iClassID,
                   RTS_RESULT iErrorID, RTS_UI32 iInfoID, const LogTimestamp* ptTimestamp,
                   const char* pszInfo, ...) __attribute__((format(printf, 8, 9)));

KL_COMPONENT_ENTRY(CmpLog);

// ---- Time stamps -------------------------------------------------------------------
// Shared by the log and its backends so that both print a stamp the same way.

// The source a logger of this type stamps its entries with (one LT_TIMESTAMP_*
// bit); several bits: the first of high-resolution RTC, RTC, ms, us, ns.
inline RTS_I32 LogTimestampSource(RTS_I32 iType) {
    static const RTS_I32 s_aiOrder[] = {LT_TIMESTAMP_RTC_HIGHRES, LT_TIMESTAMP_RTC, LT_TIMESTAMP_MS,
                                        LT_TIMESTAMP_US, LT_TIMESTAMP_NS};
    for (RTS_I32 iBit : s_aiOrder) {
        if ((iType & iBit) != 0) {
            return iBit;
        }
    }
    return LT_TIMESTAMP_RTC;
}

// Text of a time stamp: ISO 8601 for the real-time clock (UTC with "Z", local
// time with LT_LOCALTIME), a count with its unit for the monotonic sources.
// A buffer that is too small gets the text cut; size 0 writes nothing.
inline RTS_RESULT LogTimestampToText(RTS_I32 iType, const LogTimestamp* ptTimestamp, char* pszBuffer,
                                     RTS_SIZE size) {
    if (pszBuffer == nullptr || ptTimestamp == nullptr) {
        return ERR_PARAMETER;
    }
    if (size == 0) {
        return ERR_BUFFERSIZE;
    }
    RTS_I32 iSource = LogTimestampSource(iType);
    int n = 0;
    if (iSource == LT_TIMESTAMP_RTC || iSource == LT_TIMESTAMP_RTC_HIGHRES) {
        RTS_UI64 ullSeconds =
            iSource == LT_TIMESTAMP_RTC ? ptTimestamp->ulTimestamp : ptTimestamp->ullTimestamp / 1000000u;
        time_t t = static_cast<time_t>(ullSeconds);
        struct tm tmTime;
        bool bLocal = (iType & LT_LOCALTIME) != 0;
        if ((bLocal ? localtime_r(&t, &tmTime) : gmtime_r(&t, &tmTime)) == nullptr) {
            return ERR_FAILED;
        }
        char szDate[32];
        strftime(szDate, sizeof(szDate), "%Y-%m-%dT%H:%M:%S", &tmTime);
        if (iSource == LT_TIMESTAMP_RTC) {
            n = snprintf(pszBuffer, size, "%s%s", szDate, bLocal ? "" : "Z");
        } else {
            n = snprintf(pszBuffer, size, "%s.%06u%s", szDate,
                         static_cast<unsigned>(ptTimestamp->ullTimestamp % 1000000u), bLocal ? "" : "Z");
        }
    } else if (iSource == LT_TIMESTAMP_MS) {
        n = snprintf(pszBuffer, size, "%u ms", static_cast<unsigned>(ptTimestamp->ulTimestamp));
    } else {
        n = snprintf(pszBuffer, size, "%llu %s", static_cast<unsigned long long>(ptTimestamp->ullTimestamp),
                     iSource == LT_TIMESTAMP_US ? "us" : "ns");
    }
    if (n < 0) {
        pszBuffer[0] = '\0';
        return ERR_FAILED;
    }
    return static_cast<RTS_SIZE>(n) < size ? ERR_OK : ERR_BUFFERSIZE;
}
