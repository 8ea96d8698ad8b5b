// The log component (CmpLog, id 19). Every component of the runtime and the
// SDK's connection objects log here; the loggers keep their recent entries in
// rings and hand them to backend components (the file writer and others)
// either at once, from the communication cycle, or when they are closed.
// This file holds the component's shape, its hooks, the loggers read from the
// settings and the life cycle of a logger; see CmpLogPrivate.h for the rest.
#include <cstdio>
#include <cstring>
#include <new>

#include "CmpLogPrivate.h"
#include "SysTime.h"

using namespace cmplog;

namespace cmplog {

std::atomic<PFMemPoolCreateStatic> pfMemPoolCreateStatic{nullptr};
std::atomic<PFMemPoolGetBlock2> pfMemPoolGetBlock2{nullptr};
std::atomic<PFMemPoolPutBlock> pfMemPoolPutBlock{nullptr};
std::atomic<PFMemPoolDelete> pfMemPoolDelete{nullptr};
std::atomic<PFSettgGetIntValue> pfSettgGetIntValue{nullptr};
std::atomic<PFSettgGetStringValue> pfSettgGetStringValue{nullptr};
std::atomic<PFCMGetCmpName> pfCMGetCmpName{nullptr};
std::atomic<PFCMCreateInstance> pfCMCreateInstance{nullptr};
std::atomic<PFCMDeleteInstance2> pfCMDeleteInstance2{nullptr};
std::atomic<PF_CREATE_INSTANCE> s_pfInitCreateInstance{nullptr};
std::atomic<PF_DELETE_INSTANCE2> s_pfInitDeleteInstance2{nullptr};

std::atomic<bool> s_bPoolCreated{false};
std::atomic<bool> s_bBackendsAllowed{false};
RTS_HANDLE s_hLoggerPool = RTS_INVALID_HANDLE;
Logger* s_pLoggers = nullptr;
Logger* s_pStdLogger = nullptr;
LogEntry s_aStaticRing[LOG_STATIC_RING_ENTRIES];
RTS_I32 s_iStaticIndex = 0;
RTS_I32 s_iStaticCount = 0;
RTS_UI64 s_ullStaticAdded = 0;
bool s_bStaticRingOwned = false;

}  // namespace cmplog

namespace {

// Bounds of the settings walks (the lists end at the first missing key anyway).
constexpr int kMaxSettingsLoggers = 64;
constexpr int kMaxSettingsBackends = 8;
constexpr RTS_I32 kPathLen = 512;

std::atomic<PF_REGISTER_API> s_pfCMRegisterAPI{nullptr};
std::atomic<PF_GET_API> s_pfCMGetAPI{nullptr};
std::atomic<PF_GET_API2> s_pfCMGetAPI2{nullptr};

// Room for one logger; further ones extend the pool on the heap.
alignas(8) unsigned char s_abyLoggerPool[MemPoolStaticAreaSize(1, sizeof(Logger))];

// ---- Records -----------------------------------------------------------------------

Logger* AllocLogger(RTS_RESULT* pResult) {
    void* pBlock = nullptr;
    bool bPoolBlock = false;
    PFMemPoolGetBlock2 pfGet = pfMemPoolGetBlock2.load();
    RTS_HANDLE hPool = RTS_INVALID_HANDLE;
    {
        LogLockGuard lock;
        hPool = s_hLoggerPool;
    }
    // The pool is called without the log lock: it logs under its own lock.
    if (hPool != RTS_INVALID_HANDLE && pfGet != nullptr) {
        pBlock = pfGet(hPool, 1, kCmpName, pResult);
        bPoolBlock = true;
    } else {
        pBlock = ::operator new(sizeof(Logger), std::nothrow);
    }
    if (pBlock == nullptr) {
        *pResult = ERR_NOMEMORY;
        return nullptr;
    }
    Logger* p = new (pBlock) Logger();
    p->bPoolBlock = bPoolBlock;
    *pResult = ERR_OK;
    return p;
}

void FreeLogger(Logger* p) {
    bool bPoolBlock = p->bPoolBlock;
    p->~Logger();
    PFMemPoolPutBlock pfPut = pfMemPoolPutBlock.load();
    if (bPoolBlock && pfPut != nullptr) {
        pfPut(p);
    } else if (!bPoolBlock) {
        ::operator delete(p);
    }
}

char* CopyText(const char* psz) {
    if (psz == nullptr || psz[0] == '\0') {
        return nullptr;
    }
    RTS_SIZE len = strlen(psz);
    char* p = new (std::nothrow) char[len + 1];
    if (p != nullptr) {
        memcpy(p, psz, len + 1);
    }
    return p;
}

// ---- Settings --------------------------------------------------------------------------

bool ReadInt(const char* pszKey, RTS_I32* piValue) {
    PFSettgGetIntValue pfGet = pfSettgGetIntValue.load();
    if (pfGet == nullptr) {
        return false;
    }
    RTS_I32 iValue = *piValue;
    if (pfGet(kCmpName, pszKey, &iValue, *piValue, 0) != ERR_OK) {
        return false;
    }
    *piValue = iValue;
    return true;
}

// bAllowCut: a value longer than the buffer is used cut (names); otherwise it
// counts as missing (paths, where a cut value would name another file).
bool ReadString(const char* pszKey, char* pszValue, RTS_I32 iSize, bool bAllowCut) {
    PFSettgGetStringValue pfGet = pfSettgGetStringValue.load();
    if (pfGet == nullptr || iSize <= 0) {
        return false;
    }
    pszValue[0] = '\0';
    RTS_I32 iLen = iSize;
    RTS_RESULT r = pfGet(kCmpName, pszKey, pszValue, &iLen, "", 0);
    pszValue[iSize - 1] = '\0';
    return (r == ERR_OK || (bAllowCut && r == ERR_BUFFERSIZE)) && pszValue[0] != '\0';
}

void LoggerKey(char* pszKey, RTS_SIZE size, int n, const char* pszField) {
    snprintf(pszKey, size, "%s.%d.%s", "Logger", n, pszField);
}

LogOptions StdOptions(const char* pszName) {
    LogOptions lo;
    memset(&lo, 0, sizeof(lo));
    KlStrCopy(lo.szName, sizeof(lo.szName), pszName);
    lo.bEnable = 1;
    lo.iType = LOG_STD_TYPE;
    lo.iFilter = LOG_STD_FILTER;
    lo.iMaxEntries = LOG_STD_MAX_ENTRIES;
    lo.iMaxFileSize = LOG_STD_MAX_FILE_SIZE;
    lo.iMaxFiles = LOG_STD_MAX_FILES;
    lo.pszPath = nullptr;
    return lo;
}

RTS_RESULT ResizeRing(Logger* pLogger, RTS_I32 iNewMax) {
    auto* pNew = new (std::nothrow) LogEntry[static_cast<RTS_SIZE>(iNewMax)]();
    if (pNew == nullptr) {
        LogAdd(pLogger, CMPID_CmpLog, LOG_ERROR, ERR_NOMEMORY, 0,
               "Could not allocate new log buffer, the old settings are used!");
        return ERR_NOMEMORY;
    }
    LogEntry* pOld = nullptr;
    {
        LogLockGuard lock;
        if (!IsListed(pLogger)) {
            delete[] pNew;
            return ERR_PARAMETER;
        }
        bool bOldStatic = pLogger->bStaticRing;
        pOld = bOldStatic ? nullptr : pLogger->pLog;
        MoveRing(pLogger, pNew, iNewMax);
        pLogger->bStaticRing = false;
        if (bOldStatic) {
            ResetStaticRing();
            s_bStaticRingOwned = false;
        }
    }
    delete[] pOld;
    return ERR_OK;
}

RTS_RESULT LogReadSettings(Logger* pLogger, int n) {
    LogOptions lo;
    {
        LogLockGuard lock;
        if (!IsListed(pLogger)) {
            return ERR_PARAMETER;
        }
        lo = pLogger->lo;
    }
    char szKey[96];
    LoggerKey(szKey, sizeof(szKey), n, "Enable");
    ReadInt(szKey, &lo.bEnable);
    LoggerKey(szKey, sizeof(szKey), n, "Filter");
    ReadInt(szKey, &lo.iFilter);
    LoggerKey(szKey, sizeof(szKey), n, "Type");
    ReadInt(szKey, &lo.iType);
    LoggerKey(szKey, sizeof(szKey), n, "MaxEntries");
    ReadInt(szKey, &lo.iMaxEntries);
    lo.iMaxEntries = ClampEntries(lo.iMaxEntries);
    LoggerKey(szKey, sizeof(szKey), n, "MaxFileSize");
    ReadInt(szKey, &lo.iMaxFileSize);
    LoggerKey(szKey, sizeof(szKey), n, "MaxFiles");
    ReadInt(szKey, &lo.iMaxFiles);
    char szPath[kPathLen];
    LoggerKey(szKey, sizeof(szKey), n, "Path");
    bool bPath = ReadString(szKey, szPath, sizeof(szPath), false);

    RTS_UI32 aulClassId[LOG_MAX_BACKENDS] = {0, 0, 0};
    int iClasses = 0;
    for (int m = 0; m < kMaxSettingsBackends; ++m) {
        snprintf(szKey, sizeof(szKey), "%s.%d.%s.%d.%s", "Logger", n, "Backend", m, "ClassId");
        RTS_I32 iClassId = 0;
        if (!ReadInt(szKey, &iClassId)) {
            break;
        }
        if (iClassId != 0 && iClasses < LOG_MAX_BACKENDS) {
            aulClassId[iClasses++] = static_cast<RTS_UI32>(iClassId);
        }
    }

    RTS_I32 iOldMax = 0;
    {
        LogLockGuard lock;
        if (!IsListed(pLogger)) {
            return ERR_PARAMETER;
        }
        pLogger->lo.bEnable = lo.bEnable;
        pLogger->lo.iFilter = lo.iFilter;
        pLogger->lo.iType = lo.iType;
        pLogger->lo.iMaxFileSize = lo.iMaxFileSize;
        pLogger->lo.iMaxFiles = lo.iMaxFiles;
        memcpy(pLogger->aulSettingsClassId, aulClassId, sizeof(aulClassId));
        iOldMax = pLogger->lo.iMaxEntries;
    }
    if (lo.iMaxEntries != iOldMax) {
        ResizeRing(pLogger, lo.iMaxEntries);
    }
    if (bPath && AcquireBusy(pLogger, true) == ERR_OK) {
        char* pszNew = CopyText(szPath);
        char* pszOld = nullptr;
        if (pszNew != nullptr) {
            LogLockGuard lock;
            pszOld = pLogger->lo.pszPath;
            pLogger->lo.pszPath = pszNew;
        }
        ReleaseBusy(pLogger);
        delete[] pszOld;
    }
    for (int i = 0; i < iClasses; ++i) {
        RegisterOne(pLogger, aulClassId[i], true);
    }
    return ERR_OK;
}

void CreateLoggerFromSettings() {
    for (int n = 0; n < kMaxSettingsLoggers; ++n) {
        char szKey[96];
        char szName[LOG_NAME_LEN];
        LoggerKey(szKey, sizeof(szKey), n, "Name");
        if (!ReadString(szKey, szName, sizeof(szName), true)) {
            break;
        }
        RTS_HANDLE hLog = RTS_INVALID_HANDLE;
        if (n == 0) {
            LogLockGuard lock;
            if (s_pStdLogger != nullptr && strncmp(s_pStdLogger->lo.szName, szName, LOG_NAME_LEN) != 0 &&
                FindByName(szName) == nullptr) {
                KlStrCopy(s_pStdLogger->lo.szName, sizeof(s_pStdLogger->lo.szName), szName);
            }
            hLog = s_pStdLogger != nullptr ? static_cast<RTS_HANDLE>(s_pStdLogger) : RTS_INVALID_HANDLE;
        } else {
            RTS_RESULT r = ERR_OK;
            hLog = LogOpen(szName, &r);
            if (hLog == RTS_INVALID_HANDLE) {
                LogOptions lo = StdOptions(szName);
                hLog = LogCreate(&lo, &r);
            }
        }
        if (hLog == RTS_INVALID_HANDLE) {
            continue;
        }
        LogReadSettings(static_cast<Logger*>(hLog), n);
        LogDumpOptions(hLog);
    }
}

// ---- Hooks ---------------------------------------------------------------------------

void CreatePool() {
    PFMemPoolCreateStatic pfCreate = pfMemPoolCreateStatic.load();
    RTS_HANDLE hPool = RTS_INVALID_HANDLE;
    if (pfCreate != nullptr && pfMemPoolGetBlock2.load() != nullptr && pfMemPoolPutBlock.load() != nullptr) {
        RTS_RESULT r = ERR_FAILED;
        hPool = pfCreate(static_cast<RTS_UI32>(sizeof(Logger)), sizeof(s_abyLoggerPool), s_abyLoggerPool, &r);
        if (r != ERR_OK) {
            hPool = RTS_INVALID_HANDLE;
        }
    }
    LogLockGuard lock;
    s_hLoggerPool = hPool;
    s_bPoolCreated = true;
}

RTS_RESULT DeleteAllLoggers() {
    RTS_RESULT result = ERR_OK;
    for (;;) {
        Logger* pLogger = nullptr;
        {
            LogLockGuard lock;
            pLogger = s_pLoggers;
        }
        if (pLogger == nullptr) {
            return result;
        }
        RTS_RESULT r = LogDelete(pLogger);
        if (r != ERR_OK && r != ERR_PARAMETER) {
            // A dump that does not end: the record stays, and so does the pool.
            return r;
        }
    }
}

void InitSystem2() {
    CreatePool();
    LogOptions lo = StdOptions(LOG_STD_LOGGER_NAME);
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hStd = LogCreate(&lo, &r);
    if (hStd != RTS_INVALID_HANDLE) {
        LogLockGuard lock;
        s_pStdLogger = static_cast<Logger*>(hStd);
    }
    CreateLoggerFromSettings();
    bool bNoBackend = false;
    {
        LogLockGuard lock;
        bNoBackend = s_pStdLogger != nullptr && s_pStdLogger->iRegInterfaces == 0;
    }
    if (bNoBackend) {
        LogRegisterBackend(nullptr, CLASSID_CCmpLogBackendFile);
    }
}

void Init2() {
    LogLock();
    // Seam: the log event EVTID_CmpLogAdd is created here once an event manager exists.
    s_bBackendsAllowed = true;
    for (int n = 0;; ++n) {
        Logger* pLogger = nullptr;
        {
            LogLockGuard lock;
            pLogger = NthLogger(n);
        }
        if (pLogger == nullptr) {
            break;
        }
        CreateBackends(pLogger, true);
    }
}

void Exit3() {
    // From here on the standard logger writes each entry at once: the exit
    // hooks that follow may end in a crash or a kill, and their entries matter.
    {
        LogLockGuard lock;
        if (s_pStdLogger != nullptr) {
            s_pStdLogger->lo.iType = (s_pStdLogger->lo.iType & ~LT_DUMP_MASK) | LT_DUMP_ALWAYS;
        }
    }
    DumpLogger(nullptr, true);
}

void ExitSystem() {
    DumpAll(0, true);
    if (DeleteAllLoggers() != ERR_OK) {
        return;
    }
    RTS_HANDLE hPool = RTS_INVALID_HANDLE;
    {
        LogLockGuard lock;
        hPool = s_hLoggerPool;
        s_hLoggerPool = RTS_INVALID_HANDLE;
        s_bPoolCreated = false;
        s_bBackendsAllowed = false;
        ResetStaticRing();
        s_bStaticRingOwned = false;
    }
    PFMemPoolDelete pfDelete = pfMemPoolDelete.load();
    if (hPool != RTS_INVALID_HANDLE && pfDelete != nullptr) {
        pfDelete(hPool, kCmpName);
    }
}

bool ListsClass(const Logger* pLogger, RTS_UI32 ClassId) {
    for (RTS_UI32 ul : pLogger->aulSettingsClassId) {
        if (ul != 0 && ul == ClassId) {
            return true;
        }
    }
    return false;
}

// A backend component's instance appeared: loggers whose settings list its
// class get the class (again). The busy flag is only tried, because the
// instance may be created by this component itself, with the flag held.
void OnRegisterInstance(RTS_UI32 ClassId) {
    for (int n = 0;; ++n) {
        Logger* pLogger = nullptr;
        bool bLists = false;
        {
            LogLockGuard lock;
            pLogger = NthLogger(n);
            if (pLogger == nullptr) {
                return;
            }
            bLists = ListsClass(pLogger, ClassId);
        }
        if (!bLists) {
            continue;
        }
        if (RegisterOne(pLogger, ClassId, false) == ERR_DUPLICATE && s_bBackendsAllowed.load()) {
            CreateBackends(pLogger, false);
        }
    }
}

// An instance goes away: every slot that uses it lets go of it, without
// deleting it (its owner does).
void OnUnregisterInstance(RTS_UI32 ClassId, void* pIBase) {
    if (pIBase == nullptr) {
        return;
    }
    for (int n = 0;; ++n) {
        Logger* pLogger = nullptr;
        bool bUses = false;
        {
            LogLockGuard lock;
            pLogger = NthLogger(n);
            if (pLogger == nullptr) {
                return;
            }
            for (const LogItf& slot : pLogger->tLogItf) {
                bUses = bUses ||
                        (slot.iState == LOGITF_ACTIVE && slot.ClassId == ClassId && slot.pIBase == pIBase);
            }
        }
        if (bUses) {
            UnregisterOne(pLogger, ClassId, pIBase, false);
        }
    }
}

RTS_RESULT SilentGetAPI(const char* pszName, RTS_VOID_FCTPTR* ppf, RTS_UI32 ulSignature) {
    PF_GET_API2 pfGet2 = s_pfCMGetAPI2.load();
    if (pfGet2 != nullptr) {
        return pfGet2(pszName, ppf, CM_IMPORT_OPTION_SILENT, ulSignature, 0);
    }
    PF_GET_API pfGet = s_pfCMGetAPI.load();
    return pfGet != nullptr ? pfGet(pszName, ppf, ulSignature) : ERR_NOTINITIALIZED;
}

RTS_RESULT ImportMemPool() {
    KL_IMPORT(SilentGetAPI, MemPoolCreateStatic);
    KL_IMPORT(SilentGetAPI, MemPoolGetBlock2);
    KL_IMPORT(SilentGetAPI, MemPoolPutBlock);
    KL_IMPORT(SilentGetAPI, MemPoolDelete);
    return ERR_OK;
}

RTS_RESULT ImportSettings() {
    KL_IMPORT(SilentGetAPI, SettgGetIntValue);
    KL_IMPORT(SilentGetAPI, SettgGetStringValue);
    return ERR_OK;
}

RTS_RESULT ImportCmpName() {
    KL_IMPORT(SilentGetAPI, CMGetCmpName);
    return ERR_OK;
}

RTS_RESULT ImportCreateInstance() {
    KL_IMPORT(SilentGetAPI, CMCreateInstance);
    return ERR_OK;
}

RTS_RESULT ImportDeleteInstance() {
    KL_IMPORT(SilentGetAPI, CMDeleteInstance2);
    return ERR_OK;
}

// Every import may fail: the log must work in any runtime, however small, so a
// missing function only switches off what needs it.
RTS_RESULT ImportFunctions(void) {
    bool bPoolInUse = false;
    {
        LogLockGuard lock;
        bPoolInUse = s_hLoggerPool != RTS_INVALID_HANDLE;
    }
    // Records of a live pool go back through the functions they came from.
    if (!bPoolInUse && ImportMemPool() != ERR_OK) {
        pfMemPoolCreateStatic = nullptr;
        pfMemPoolGetBlock2 = nullptr;
        pfMemPoolPutBlock = nullptr;
        pfMemPoolDelete = nullptr;
    }
    if (ImportSettings() != ERR_OK) {
        pfSettgGetIntValue = nullptr;
        pfSettgGetStringValue = nullptr;
    }
    ImportCmpName();
    ImportCreateInstance();
    ImportDeleteInstance();
    return ERR_OK;
}

RTS_RESULT ExportFunctions(void) {
    PF_REGISTER_API reg = s_pfCMRegisterAPI.load();
    if (reg == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    KL_EXPORT(reg, LogCreate);
    KL_EXPORT(reg, LogOpen);
    KL_EXPORT(reg, LogClose);
    KL_EXPORT(reg, LogDelete);
    KL_EXPORT(reg, LogGetOptions);
    KL_EXPORT(reg, LogEnable);
    KL_EXPORT(reg, LogDisable);
    KL_EXPORT(reg, LogSetFilter);
    KL_EXPORT(reg, LogGetFilter);
    KL_EXPORT(reg, LogGetFilter2);
    // The printf checks on the variadic adders are not part of their type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
    KL_EXPORT(reg, LogAdd);
    KL_EXPORT(reg, LogAdd2);
    KL_EXPORT(reg, LogAdd3);
#pragma GCC diagnostic pop
    KL_EXPORT(reg, LogAddArg);
    KL_EXPORT(reg, LogAdd2Arg);
    KL_EXPORT(reg, LogAdd3Arg);
    KL_EXPORT(reg, LogRegisterBackend);
    KL_EXPORT(reg, LogUnregisterBackend);
    KL_EXPORT(reg, LogAttachBackend);
    KL_EXPORT(reg, LogGetFirstLogger);
    KL_EXPORT(reg, LogGetNextLogger);
    KL_EXPORT(reg, LogGetFirstEntry);
    KL_EXPORT(reg, LogGetNextEntry);
    KL_EXPORT(reg, LogGetEntryByIndex);
    KL_EXPORT(reg, LogGetEntryByQueueIndex);
    KL_EXPORT(reg, LogGetEntry);
    KL_EXPORT(reg, LogGetName);
    KL_EXPORT(reg, LogGetUserNotify);
    KL_EXPORT(reg, LogConvertTimestamp);
    KL_EXPORT(reg, LogDumpOptions);
    KL_EXPORT(reg, LogDumpEntries);
    KL_EXPORT(reg, LogDumpAll);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR ulParam1, RTS_UINTPTR ulParam2) {
    switch (ulHook) {
        case CH_INIT_SYSTEM:
            s_bBackendsAllowed = false;
            break;
        case CH_INIT_SYSTEM2:
            InitSystem2();
            break;
        case CH_INIT2:
            Init2();
            break;
        case CH_COMM_CYCLE:
            DumpAll(LT_DUMP_ON_REQUEST, false);
            break;
        case CH_EXIT3:
            Exit3();
            break;
        case CH_EXIT2:
            // Seam: the log event is deleted here once an event manager exists.
            break;
        case CH_EXIT_SYSTEM:
            ExitSystem();
            break;
        case CH_ON_REGISTER_INSTANCE:
            OnRegisterInstance(static_cast<RTS_UI32>(ulParam1));
            break;
        case CH_ON_UNREGISTER_INSTANCE:
            OnUnregisterInstance(static_cast<RTS_UI32>(ulParam1), reinterpret_cast<void*>(ulParam2));
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

// ---- Exported functions ---------------------------------------------------------------

RTS_HANDLE LogCreate(const LogOptions* pOptions, RTS_RESULT* pResult) {
    RTS_RESULT rDummy = ERR_OK;
    RTS_RESULT& r = pResult != nullptr ? *pResult : rDummy;
    if (pOptions == nullptr) {
        r = ERR_PARAMETER;
        return RTS_INVALID_HANDLE;
    }
    LogOptions lo = *pOptions;
    // The caller's name need not be terminated within its 32 characters: cut it.
    RTS_SIZE nameLen = strnlen(pOptions->szName, sizeof(lo.szName) - 1);
    memcpy(lo.szName, pOptions->szName, nameLen);
    lo.szName[nameLen] = '\0';
    if (nameLen == 0) {
        r = ERR_PARAMETER;
        return RTS_INVALID_HANDLE;
    }
    lo.iMaxEntries = ClampEntries(lo.iMaxEntries);
    lo.pszPath = nullptr;
    bool bStd = strcmp(lo.szName, LOG_STD_LOGGER_NAME) == 0;
    bool bStaticRing = false;
    {
        LogLockGuard lock;
        Logger* pFound = FindByName(lo.szName);
        if (pFound != nullptr) {
            r = ERR_OK;
            return pFound;
        }
        if (!s_bPoolCreated.load()) {
            r = ERR_NOTINITIALIZED;
            return RTS_INVALID_HANDLE;
        }
        if (bStd && !s_bStaticRingOwned && lo.iMaxEntries == LOG_STATIC_RING_ENTRIES) {
            s_bStaticRingOwned = true;
            bStaticRing = true;
        }
    }
    Logger* pLogger = AllocLogger(&r);
    LogEntry* pRing = nullptr;
    char* pszPath = CopyText(pOptions->pszPath);
    bool bFailed = pLogger == nullptr ||
                   (pOptions->pszPath != nullptr && pOptions->pszPath[0] != '\0' && pszPath == nullptr);
    if (!bFailed && !bStaticRing) {
        pRing = new (std::nothrow) LogEntry[static_cast<RTS_SIZE>(lo.iMaxEntries)]();
        bFailed = pRing == nullptr;
    }
    if (bFailed) {
        if (pLogger != nullptr) {
            FreeLogger(pLogger);
        }
        delete[] pszPath;
        if (bStaticRing) {
            LogLockGuard lock;
            s_bStaticRingOwned = false;
        }
        r = ERR_NOMEMORY;
        return RTS_INVALID_HANDLE;
    }
    pLogger->lo = lo;
    pLogger->lo.pszPath = pszPath;
    pLogger->ulStartTimestamp = SysTimeRtcGet(nullptr);
    pLogger->iFirstIndex = -1;
    pLogger->pLog = bStaticRing ? s_aStaticRing : pRing;
    pLogger->bStaticRing = bStaticRing;
    {
        LogLockGuard lock;
        Logger* pFound = FindByName(lo.szName);
        if (pFound != nullptr) {
            // Created by another thread meanwhile.
            if (bStaticRing) {
                s_bStaticRingOwned = false;
            }
            delete[] pRing;
            delete[] pszPath;
            FreeLogger(pLogger);
            r = ERR_OK;
            return pFound;
        }
        if (bStd && (bStaticRing || !s_bStaticRingOwned)) {
            AdoptStaticRing(pLogger);
        }
        Logger** pp = &s_pLoggers;
        while (*pp != nullptr) {
            pp = &(*pp)->pNext;
        }
        *pp = pLogger;
    }
    LogDumpOptions(pLogger);
    r = ERR_OK;
    return pLogger;
}

RTS_HANDLE LogOpen(const char* pszName, RTS_RESULT* pResult) {
    RTS_RESULT r = ERR_PARAMETER;
    RTS_HANDLE h = RTS_INVALID_HANDLE;
    if (pszName != nullptr) {
        LogLockGuard lock;
        Logger* p = FindByName(pszName);
        r = p != nullptr ? ERR_OK : ERR_NO_OBJECT;
        h = p != nullptr ? static_cast<RTS_HANDLE>(p) : RTS_INVALID_HANDLE;
    }
    if (pResult != nullptr) {
        *pResult = r;
    }
    return h;
}

RTS_RESULT LogClose(RTS_HANDLE hLog) {
    return hLog == RTS_INVALID_HANDLE ? ERR_PARAMETER : ERR_OK;
}

RTS_RESULT LogDelete(RTS_HANDLE hLog) {
    if (hLog == RTS_INVALID_HANDLE) {
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
    {
        LogLockGuard lock;
        pLogger->lo.bEnable = 0;
        Unlink(pLogger);
    }
    // Nobody can find the logger any more, and the busy flag keeps dumps away.
    if ((pLogger->lo.iType & LT_DUMP_ON_CLOSE) != 0) {
        DumpPass(pLogger, true);
    }
    for (LogItf& slot : pLogger->tLogItf) {
        LogItf detached = slot;
        slot = LogItf{};
        ReleaseSlot(pLogger, detached);
    }
    if (pLogger->bStaticRing) {
        // The static ring is the module's own and is only handed back.
        LogLockGuard lock;
        ResetStaticRing();
        s_bStaticRingOwned = false;
    } else {
        delete[] pLogger->pLog;
    }
    delete[] pLogger->lo.pszPath;
    FreeLogger(pLogger);
    return ERR_OK;
}

RTS_RESULT LogGetOptions(RTS_HANDLE hLog, LogOptions* pOptions) {
    if (hLog == RTS_INVALID_HANDLE || pOptions == nullptr) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    *pOptions = p->lo;
    return ERR_OK;
}

RTS_RESULT LogEnable(RTS_HANDLE hLog) {
    if (hLog == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    p->lo.bEnable = 1;
    return ERR_OK;
}

RTS_RESULT LogDisable(RTS_HANDLE hLog) {
    if (hLog == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    if ((p->lo.iType & LT_NO_DISABLE) != 0) {
        return ERR_FAILED;
    }
    p->lo.bEnable = 0;
    return ERR_OK;
}

RTS_RESULT LogSetFilter(RTS_HANDLE hLog, RTS_UI32 iFilter) {
    if (hLog == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    p->lo.iFilter = static_cast<RTS_I32>(iFilter);
    return ERR_OK;
}

RTS_RESULT LogGetFilter(RTS_HANDLE hLog, RTS_UI32* piFilter) {
    if (hLog == RTS_INVALID_HANDLE || piFilter == nullptr) {
        return ERR_PARAMETER;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    *piFilter = static_cast<RTS_UI32>(p->lo.iFilter);
    return ERR_OK;
}

LogFilter LogGetFilter2(RTS_HANDLE hLog, RTS_UI32 CmpId) {
    LogFilter filter{0, 0};
    if (hLog == RTS_INVALID_HANDLE) {
        return filter;
    }
    RTS_UI32 ulLoggerFilter = 0;
    {
        LogLockGuard lock;
        Logger* p = FindLogger(hLog);
        if (p == nullptr) {
            return filter;
        }
        ulLoggerFilter = static_cast<RTS_UI32>(p->lo.iFilter);
    }
    filter.iFilter = ulLoggerFilter & LOG_CMP_DEFAULT_FILTER;
    filter.iMask = LOG_CMP_DEFAULT_MASK;
    char szCmpName[64];
    PFCMGetCmpName pfName = pfCMGetCmpName.load();
    if (pfName == nullptr || pfName(CmpId, szCmpName, static_cast<int>(sizeof(szCmpName))) != ERR_OK ||
        szCmpName[0] == '\0') {
        return filter;
    }
    char szKey[96];
    RTS_I32 iValue = static_cast<RTS_I32>(filter.iFilter);
    snprintf(szKey, sizeof(szKey), "%s.%s", szCmpName, "Filter");
    if (ReadInt(szKey, &iValue)) {
        filter.iFilter = static_cast<RTS_UI32>(iValue);
    }
    iValue = static_cast<RTS_I32>(filter.iMask);
    snprintf(szKey, sizeof(szKey), "%s.%s", szCmpName, "Mask");
    if (ReadInt(szKey, &iValue)) {
        filter.iMask = static_cast<RTS_UI32>(iValue);
    }
    if (filter.iFilter < ulLoggerFilter) {
        LogAdd(hLog, CMPID_CmpLog, LOG_INFO, ERR_OK, 0,
               "Component <%s> could log more info with additional setting %s.%s=0xFFFFFFFF!", szCmpName,
               szCmpName, "Filter");
    }
    return filter;
}

RTS_HANDLE LogGetFirstLogger(RTS_RESULT* pResult) {
    LogLockGuard lock;
    if (pResult != nullptr) {
        *pResult = s_pLoggers != nullptr ? ERR_OK : ERR_NO_OBJECT;
    }
    return s_pLoggers != nullptr ? static_cast<RTS_HANDLE>(s_pLoggers) : RTS_INVALID_HANDLE;
}

RTS_HANDLE LogGetNextLogger(RTS_HANDLE hPrev, RTS_RESULT* pResult) {
    LogLockGuard lock;
    Logger* p = hPrev != RTS_INVALID_HANDLE ? FindLogger(hPrev) : nullptr;
    Logger* pNext = p != nullptr ? p->pNext : nullptr;
    if (pResult != nullptr) {
        *pResult = p == nullptr ? ERR_PARAMETER : (pNext != nullptr ? ERR_OK : ERR_END_OF_OBJECT);
    }
    return pNext != nullptr ? static_cast<RTS_HANDLE>(pNext) : RTS_INVALID_HANDLE;
}

RTS_RESULT LogGetName(RTS_HANDLE hLog, char* pszName, RTS_I32 iLen) {
    if (hLog == RTS_INVALID_HANDLE || pszName == nullptr) {
        return ERR_PARAMETER;
    }
    if (iLen <= 0) {
        return ERR_BUFFERSIZE;
    }
    LogLockGuard lock;
    Logger* p = FindLogger(hLog);
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    return KlStrCopy(pszName, static_cast<RTS_SIZE>(iLen), p->lo.szName);
}

RTS_RESULT LogDumpOptions(RTS_HANDLE hLog) {
    if (hLog == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    LogOptions lo;
    {
        LogLockGuard lock;
        Logger* p = FindLogger(hLog);
        if (p == nullptr) {
            return ERR_PARAMETER;
        }
        lo = p->lo;
    }
    const char* pszType =
        (lo.iType & LT_HIGHSPEED) != 0 ? "highspeed" : ((lo.iType & LT_SAFE) != 0 ? "safe" : "normal");
    const char* pszTimestamp = "rtc";
    switch (LogTimestampSource(lo.iType)) {
        case LT_TIMESTAMP_RTC_HIGHRES:
            pszTimestamp = "rtc high resolution";
            break;
        case LT_TIMESTAMP_MS:
            pszTimestamp = "milliseconds";
            break;
        case LT_TIMESTAMP_US:
            pszTimestamp = "microseconds";
            break;
        case LT_TIMESTAMP_NS:
            pszTimestamp = "nanoseconds";
            break;
        default:
            break;
    }
    const char* pszDump = (lo.iType & LT_DUMP_ALWAYS) != 0
                              ? "always"
                              : ((lo.iType & LT_DUMP_ON_CLOSE) != 0 ? "on close" : "on request");
    const RTS_UI32 c = CMPID_CmpLog;
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<logoptions>");
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<bEnable>%d</bEnable>", static_cast<int>(lo.bEnable));
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<type>%s</type>", pszType);
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<timestamp>%s</timestamp>", pszTimestamp);
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<disableable>%d</disableable>",
           (lo.iType & LT_NO_DISABLE) != 0 ? 0 : 1);
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<dump>%s</dump>", pszDump);
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<Filter>0x%08x</Filter>", static_cast<unsigned>(lo.iFilter));
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<MaxEntries>%d</MaxEntries>", static_cast<int>(lo.iMaxEntries));
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<MaxFiles>%d</MaxFiles>", static_cast<int>(lo.iMaxFiles));
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "<MaxFileSize>%d</MaxFileSize>", static_cast<int>(lo.iMaxFileSize));
    LogAdd(hLog, c, LOG_INFO, ERR_OK, 0, "</logoptions>");
    return ERR_OK;
}

RTS_RESULT CmpLog__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpLog;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    pInitStruct->pfCreateInstance = nullptr;
    pInitStruct->pfDeleteInstance = nullptr;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    s_pfInitCreateInstance = pInitStruct->pfCMCreateInstance;
    s_pfInitDeleteInstance2 = pInitStruct->pfCMDeleteInstance2;
    return ERR_OK;
}
