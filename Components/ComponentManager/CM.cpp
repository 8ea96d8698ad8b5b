// The component manager: keeps the table of components in load order, starts
// and stops them through numbered hooks, resolves functions by name for
// components that import them, and keeps the registry of classes and
// instances. It is itself the component "CM" (id 1), first in the table.
#include "CMItf.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "CMPrivate.h"
#include "CMUtlHash.h"
#include "SysEvent.h"
#include "SysSem.h"
#include "SysTask.h"
#include "SysTime.h"

namespace {

const RTS_ID_TO_NAME s_hookTable[] = {
    {CH_INIT_SYSTEM, "CH_INIT_SYSTEM"},
    {CH_INIT_SYSTEM2, "CH_INIT_SYSTEM2"},
    {CH_INIT, "CH_INIT"},
    {CH_POST_INIT, "CH_POST_INIT"},
    {CH_PRE_INIT2, "CH_PRE_INIT2"},
    {CH_INIT2, "CH_INIT2"},
    {CH_PRE_INIT3, "CH_PRE_INIT3"},
    {CH_INIT3, "CH_INIT3"},
    {CH_INIT_SYSTEM_TASKS, "CH_INIT_SYSTEM_TASKS"},
    {CH_INIT_TASKS, "CH_INIT_TASKS"},
    {CH_INIT_COMM, "CH_INIT_COMM"},
    {CH_INIT_FINISHED, "CH_INIT_FINISHED"},
    {CH_COMM_CYCLE, "CH_COMM_CYCLE"},
    {CH_EXIT_COMM, "CH_EXIT_COMM"},
    {CH_EXIT_TASKS, "CH_EXIT_TASKS"},
    {CH_EXIT_SYSTEM_TASKS, "CH_EXIT_SYSTEM_TASKS"},
    {CH_EXIT3, "CH_EXIT3"},
    {CH_EXIT2, "CH_EXIT2"},
    {CH_EXIT, "CH_EXIT"},
    {CH_EXIT_SYSTEM2, "CH_EXIT_SYSTEM2"},
    {CH_EXIT_SYSTEM, "CH_EXIT_SYSTEM"},
    {CH_EXIT_GARBAGEMEMORY, "CH_EXIT_GARBAGEMEMORY"},
    {CH_ON_IMPORT, "CH_ON_IMPORT"},
    {CH_ON_IMPORT_RELEASE, "CH_ON_IMPORT_RELEASE"},
    {CH_ON_LOAD_COMPONENT, "CH_ON_LOAD_COMPONENT"},
    {CH_ON_UNLOAD_COMPONENT, "CH_ON_UNLOAD_COMPONENT"},
    {CH_ON_REGISTER_INSTANCE, "CH_ON_REGISTER_INSTANCE"},
    {CH_ON_UNREGISTER_INSTANCE, "CH_ON_UNREGISTER_INSTANCE"},
    {CH_SAFEMODE, "CH_SAFEMODE"},
};
constexpr int kNumHooks = static_cast<int>(sizeof(s_hookTable) / sizeof(s_hookTable[0]));
constexpr size_t kMaxApiName = 63;
constexpr RTS_UI32 kMaxCommCycleExceptionLogs = 2;
constexpr RTS_UI32 kExitRepeatLimitMs = 9999;

struct ComponentRecord {
    COMPONENT_ENTRY entry{};
    std::string name;
    INIT_STRUCT init{};
    RTS_UI32 ulFailedHook = 0;
};

struct ClassRecord {
    ComponentRecord* pCmp;
    RTS_UI32 ClassId;
    RTS_UI32 CmpId;
};

struct InstanceRecord {
    RTS_UI32 ClassId;
    RTS_UI32 ObjId;
    void* pIBase;
};

// Lookup in progress: the name wanted and what the export walk found.
struct ApiLookup {
    const char* pszName = nullptr;
    int options = 0;
    RTS_UI32 ulSignature = 0;
    RTS_UI32 ulVersion = 0;
    bool bExternal = false;
    RTS_VOID_FCTPTR pfFound = nullptr;
    RTS_UI32 ulFoundSignature = 0;
    RTS_UI32 ulFoundVersion = 0;
    RTS_RESULT lastError = ERR_NO_OBJECT;
    ComponentRecord* pCurrent = nullptr;
};

struct CMState {
    RTS_HANDLE hLock = RTS_INVALID_HANDLE;
    std::vector<ComponentRecord*> components;
    std::vector<ClassRecord> classes;
    std::vector<InstanceRecord> instances;
    ApiLookup* pLookup = nullptr;
    bool bOverloadable = false;
    RTS_UI32 ulCommCycleInterval = 10;
    RTS_UI32 ulDisablingOperations = 1;
    RTS_UI32 ulMinimalCommCycleHookInterval = 250;
    RTS_UI32 ulObjIdCounter = 0;
};

// The table lives as long as the process and is never destroyed: a process
// may end while the runtime still runs (its last connection ended without
// the final shutdown, or not at all), and the runtime's tasks and the records
// they reach must not disappear under them during the static destructors.
CMState& s_cm = *new CMState();
std::atomic<int> s_bRunning{0};
std::atomic<int> s_bExit{0};
std::atomic<RTS_UI32> s_ulCurrentHook{0};
std::atomic<RTS_UI32> s_ulLastCommCycle{0};
std::atomic<RTS_UI32> s_ulCommCycleExceptions{0};
RTS_HANDLE s_hCommCycleTask = RTS_INVALID_HANDLE;
RTS_HANDLE s_ahEvents[7] = {RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE,
                            RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE};
PF_MAIN_LOAD_COMPONENT s_pfLoad = nullptr;
PF_MAIN_UNLOAD_COMPONENT s_pfUnload = nullptr;
std::atomic<PF_CM_GLOBAL_HOOK> s_pfGlobalHook{nullptr};
std::atomic<PF_CM_LOG_OBSERVER> s_pfLogObserver{nullptr};

// Logging through the log component once it can be resolved.
std::atomic<PFCMLogAddArg> s_pfLogAddArg{nullptr};

class CmLock {
public:
    CmLock() { SysSemEnter(s_cm.hLock); }
    ~CmLock() { SysSemLeave(s_cm.hLock); }
};

void FillInitStruct(INIT_STRUCT* p) {
    p->pfCMRegisterAPI = CMRegisterAPI;
    p->pfCMGetAPI = CMGetAPI;
    p->pfCMCallHook = CMCallHook;
    p->pfCMRegisterClass = CMRegisterClass;
    p->pfCMCreateInstance = CMCreateInstance;
    p->pfCMRegisterAPI2 = CMRegisterAPI2;
    p->pfCMGetAPI2 = CMGetAPI2;
    p->pfCMDeleteInstance2 = CMDeleteInstance2;
}

bool NameEquals(const char* a, const char* b, bool bIgnoreCase) {
    return bIgnoreCase ? strcasecmp(a, b) == 0 : strcmp(a, b) == 0;
}

std::vector<ComponentRecord*> Snapshot() {
    CmLock lock;
    return s_cm.components;
}

ComponentRecord* FindByName(const char* pszName) {
    for (ComponentRecord* p : s_cm.components) {
        if (strcasecmp(p->name.c_str(), pszName) == 0) {
            return p;
        }
    }
    return nullptr;
}

ComponentRecord* FindById(RTS_UI32 id) {
    for (ComponentRecord* p : s_cm.components) {
        if (p->entry.Id == id) {
            return p;
        }
    }
    return nullptr;
}

ComponentRecord* RecordOf(COMPONENT_ENTRY* pEntry) {
    for (ComponentRecord* p : s_cm.components) {
        if (&p->entry == pEntry) {
            return p;
        }
    }
    return nullptr;
}

RTS_RESULT CallComponentHook(ComponentRecord* pCmp, RTS_UI32 ulHook, RTS_UINTPTR p1, RTS_UINTPTR p2) {
    if (pCmp->entry.pfHookFunction == nullptr) {
        return ERR_OK;
    }
    if (ulHook != CH_COMM_CYCLE) {
        return pCmp->entry.pfHookFunction(ulHook, p1, p2);
    }
    // Exceptions raised inside the communication cycle are caught so that one
    // faulty component cannot stop the cycle of all others.
    try {
        return pCmp->entry.pfHookFunction(ulHook, p1, p2);
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind
    } catch (const std::exception& e) {
        RTS_UI32 n = ++s_ulCommCycleExceptions;
        if (n <= kMaxCommCycleExceptionLogs) {
            CMLogAdd(LOG_EXCEPTION, ERR_EXCEPTION, "*HANDLED EXCPT* <excpt>%s</excpt> in CH_COMM_CYCLE",
                     e.what());
        } else if (n == kMaxCommCycleExceptionLogs + 1) {
            CMLogAdd(LOG_EXCEPTION, ERR_EXCEPTION, "More than %ld exceptions in CH_COMM_CYCLE: Stop logging",
                     static_cast<long>(kMaxCommCycleExceptionLogs));
        }
        return ERR_EXCEPTION;
    }
}

void ResolveLog() {
    RTS_VOID_FCTPTR pf = nullptr;
    if (CMGetAPI2("LogAddArg", &pf, CM_IMPORT_OPTION_SILENT, SIG_CMLogAddArg, 0) == ERR_OK) {
        s_pfLogAddArg.store(reinterpret_cast<PFCMLogAddArg>(pf));
    }
}

// Runs the entry function of a component and records what it filled in.
RTS_RESULT EnterComponent(ComponentRecord* pCmp) {
    if (pCmp->entry.pfEntry == nullptr) {
        return ERR_PARAMETER;
    }
    memset(&pCmp->init, 0, sizeof(pCmp->init));
    FillInitStruct(&pCmp->init);
    RTS_RESULT r = pCmp->entry.pfEntry(&pCmp->init);
    if (r != ERR_OK) {
        return r;
    }
    pCmp->entry.Id = pCmp->init.CmpId;
    pCmp->entry.pfExportFunctions = pCmp->init.pfExportFunctions;
    pCmp->entry.pfImportFunctions = pCmp->init.pfImportFunctions;
    pCmp->entry.pfGetVersion = pCmp->init.pfGetVersion;
    pCmp->entry.pfHookFunction = pCmp->init.pfHookFunction;
    pCmp->entry.pfCreateInstance = pCmp->init.pfCreateInstance;
    pCmp->entry.pfDeleteInstance = pCmp->init.pfDeleteInstance;
    pCmp->entry.ulVersion = pCmp->entry.pfGetVersion != nullptr ? pCmp->entry.pfGetVersion() : 0;
    pCmp->entry.iState = CM_STATE_INITIALIZED;
    return ERR_OK;
}

RTS_RESULT ImportComponents(RTS_UI16 typeMask) {
    RTS_RESULT result = ERR_OK;
    for (ComponentRecord* p : Snapshot()) {
        if (typeMask != 0 && (p->entry.iType & typeMask) == 0) {
            continue;
        }
        if (p->entry.pfImportFunctions == nullptr) {
            continue;
        }
        if (p->entry.pfImportFunctions() != ERR_OK) {
            p->entry.iState = CM_STATE_IMPORT_FAILED;
            CMLogAdd(LOG_ERROR, ERR_FAILED, "Import function(s) failed of <name>%s</name>", p->name.c_str());
            result = ERR_FAILED;
        } else if (p->entry.iState == CM_STATE_IMPORT_FAILED) {
            p->entry.iState = CM_STATE_INITIALIZED;
        }
    }
    ResolveLog();
    return result;
}

ComponentRecord* AddComponent(const char* pszName, PF_COMPONENT_ENTRY pfEntry, RTS_UI16 iType,
                              RTS_HANDLE hModule, RTS_RESULT* pResult) {
    CmLock lock;
    if (FindByName(pszName) != nullptr) {
        *pResult = ERR_DUPLICATE;
        return nullptr;
    }
    auto* pCmp = new ComponentRecord();
    pCmp->name = pszName;
    pCmp->entry.pszName = pCmp->name.c_str();
    pCmp->entry.hModule = hModule;
    pCmp->entry.pfEntry = pfEntry;
    pCmp->entry.iType = iType;
    pCmp->entry.iState = CM_STATE_ADDED;
    if (strncmp(pszName, "Sys", 3) == 0) {
        pCmp->entry.iType |= CM_TYPE_SYSCOMPONENT;
    }
    s_cm.components.push_back(pCmp);
    *pResult = ERR_OK;
    return pCmp;
}

void RemoveRecord(ComponentRecord* pCmp) {
    CmLock lock;
    for (auto it = s_cm.components.begin(); it != s_cm.components.end(); ++it) {
        if (*it == pCmp) {
            s_cm.components.erase(it);
            break;
        }
    }
    for (auto it = s_cm.classes.begin(); it != s_cm.classes.end();) {
        it = it->pCmp == pCmp ? s_cm.classes.erase(it) : it + 1;
    }
    delete pCmp;
}

RTS_RESULT AddAndEnter(const char* pszName, PF_COMPONENT_ENTRY pfEntry, RTS_UI16 iType) {
    RTS_RESULT r = ERR_OK;
    ComponentRecord* pCmp = AddComponent(pszName, pfEntry, iType, RTS_INVALID_HANDLE, &r);
    if (pCmp == nullptr) {
        return r;
    }
    r = EnterComponent(pCmp);
    if (r != ERR_OK) {
        CMLogAdd(LOG_ERROR, r, "*** Error: Component <cmp>%s</cmp> NOT loaded", pszName);
        RemoveRecord(pCmp);
    }
    return r;
}

// Checks of the basic assumptions the runtime makes about the target.
bool RtsBasicChecks() {
    static_assert(sizeof(RTS_I8) == 1 && sizeof(RTS_I16) == 2 && sizeof(RTS_I32) == 4 && sizeof(RTS_I64) == 8,
                  "basic type sizes");
    static_assert(sizeof(RTS_UINTPTR) == sizeof(void*), "pointer-sized integer");
    RTS_UI16 w = 0x1234;
    RTS_UI16 ws = static_cast<RTS_UI16>((w >> 8) | (w << 8));
    RTS_UI32 d = 0x12345678u;
    RTS_UI32 ds = ((d & 0xFFu) << 24) | ((d & 0xFF00u) << 8) | ((d >> 8) & 0xFF00u) | (d >> 24);
    if (ws != 0x3412 || ds != 0x78563412u) {
        return false;
    }
    struct Packed {
        RTS_UI8 a;
        RTS_UI32 b;
    } __attribute__((packed));
    if (sizeof(Packed) != 5 || offsetof(Packed, b) != 1) {
        return false;
    }
    // GUID text conversion round trip.
    const RTS_UI32 data1 = 0x6B4D4C2Fu;
    char text[40];
    snprintf(text, sizeof(text), "%08X-%04X-%04X", data1, 0x1A2Bu, 0x3C4Du);
    unsigned int back1 = 0;
    unsigned int back2 = 0;
    unsigned int back3 = 0;
    if (sscanf(text, "%08X-%04X-%04X", &back1, &back2, &back3) != 3) {
        return false;
    }
    return back1 == data1 && back2 == 0x1A2Bu && back3 == 0x3C4Du;
}

// Settings access through the settings component, when it is present.
RTS_I32 ReadIntSetting(const char* pszComponent, const char* pszKey, RTS_I32 iDefault) {
    RTS_VOID_FCTPTR pf = nullptr;
    if (CMGetAPI2("SettgGetIntValue", &pf, CM_IMPORT_OPTION_SILENT, SIG_CMSettgGetIntValue, 0) != ERR_OK) {
        return iDefault;
    }
    RTS_I32 value = iDefault;
    reinterpret_cast<PFCMSettgGetIntValue>(pf)(pszComponent, pszKey, &value, iDefault, 0);
    return value;
}

bool ReadStringSetting(const char* pszComponent, const char* pszKey, char* pszValue, RTS_I32 iSize) {
    RTS_VOID_FCTPTR pf = nullptr;
    if (CMGetAPI2("SettgGetStringValue", &pf, CM_IMPORT_OPTION_SILENT, SIG_CMSettgGetStringValue, 0) !=
        ERR_OK) {
        return false;
    }
    RTS_I32 len = iSize;
    RTS_RESULT r =
        reinterpret_cast<PFCMSettgGetStringValue>(pf)(pszComponent, pszKey, pszValue, &len, nullptr, 0);
    return r == ERR_OK && len > 0;
}

RTS_RESULT OpenDatabase(const char* pszFile, int options) {
    RTS_VOID_FCTPTR pf = nullptr;
    if (CMGetAPI2("SettgSetDatabaseName", &pf, CM_IMPORT_OPTION_SILENT, SIG_CMSettgSetDatabaseName, 0) !=
        ERR_OK) {
        return (options & CM_INIT_OPTION_NO_SETTINGS_REQUIRED) != 0 ? ERR_OK : ERR_NO_OBJECT;
    }
    auto pfSet = reinterpret_cast<PFCMSettgSetDatabaseName>(pf);
    if (pszFile != nullptr && pszFile[0] != '\0') {
        if (pfSet(pszFile) == ERR_OK) {
            return ERR_OK;
        }
        if ((options & CM_INIT_OPTION_NO_SETTINGS_REQUIRED) != 0) {
            return ERR_OK;
        }
        for (const char* pszAlt : {"MALVORAControl", "MalVoraControl"}) {
            if (pfSet(pszAlt) == ERR_OK) {
                return ERR_OK;
            }
        }
    } else {
        for (const char* pszAlt : {"MALVORAControl", "MalVoraSP", "MalVoraControl"}) {
            if (pfSet(pszAlt) == ERR_OK) {
                return ERR_OK;
            }
        }
        if ((options & CM_INIT_OPTION_NO_SETTINGS_REQUIRED) != 0) {
            return ERR_OK;
        }
    }
    CMLogAdd(LOG_ERROR, ERR_NO_OBJECT, "Settings database %s could not be opened",
             pszFile != nullptr ? pszFile : "");
    if (pszFile != nullptr && strstr(pszFile, "GWClient.cfg") != nullptr) {
        return ERR_OK;
    }
    return ERR_NO_OBJECT;
}

void ReadManagerSettings() {
    s_cm.ulDisablingOperations =
        static_cast<RTS_UI32>(ReadIntSetting("ComponentManager", "DisablingOperations", 1));
    s_cm.bOverloadable = ReadIntSetting("ComponentManager", "OverloadableFunctions", 0) != 0;
    s_cm.ulMinimalCommCycleHookInterval =
        static_cast<RTS_UI32>(ReadIntSetting("ComponentManager", "MinimalCommCycleHookInterval", 250));
    RTS_I32 interval = ReadIntSetting("CM", "CommCycleInterval", 10);
    if (interval < 1) {
        interval = 1;
    }
    if (interval > 10000) {
        interval = 10000;
    }
    s_cm.ulCommCycleInterval = static_cast<RTS_UI32>(interval);
}

void LoadDynamicComponents() {
    for (int n = 0;; ++n) {
        char szKey[32];
        snprintf(szKey, sizeof(szKey), "%s.%d", "Component", n);
        char szName[256] = {0};
        if (!ReadStringSetting("ComponentManager", szKey, szName, static_cast<RTS_I32>(sizeof(szName)))) {
            if (n > 1) {
                break;
            }
            continue;
        }
        RTS_RESULT r = ERR_OK;
        {
            CmLock lock;
            if (FindByName(szName) != nullptr) {
                continue;
            }
        }
        COMPONENT_ENTRY* pEntry = CMLoadComponent(szName, &r);
        if (pEntry == nullptr) {
            CMLogAdd(LOG_ERROR, r, "*** Error: Component <cmp>%s</cmp> NOT loaded", szName);
        }
    }
}

void CreateEvents() {
    for (RTS_HANDLE& h : s_ahEvents) {
        if (h == RTS_INVALID_HANDLE) {
            h = SysEventCreate(nullptr, nullptr);
        }
    }
}

void DeleteEvents() {
    for (RTS_HANDLE& h : s_ahEvents) {
        if (h != RTS_INVALID_HANDLE) {
            SysEventDelete(h);
            h = RTS_INVALID_HANDLE;
        }
    }
}

// Posts one of the manager's events (ids 0x10001 .. 0x10007).
void PostEvent(RTS_UI32 ulEventId) {
    RTS_UI32 idx = ulEventId - 0x10001u;
    if (idx < 7 && s_ahEvents[idx] != RTS_INVALID_HANDLE) {
        SysEventSet(s_ahEvents[idx]);
    }
}

void CommCycleTask(SYS_TASK_PARAM* ptp) {
    while (ptp->bExit.load() == 0) {
        CMCallHook(CH_COMM_CYCLE, 0, 0, 0);
        SysTaskWaitSleep(ptp->hTask, s_cm.ulCommCycleInterval);
    }
}

RTS_RESULT CMInitEnd(int options) {
    RTS_RESULT r = CMInitSequence(CMGetHookEntries(CH_POST_INIT, CH_INIT_SYSTEM_TASKS, nullptr), [] {
        int n = 0;
        CMGetHookEntries(CH_POST_INIT, CH_INIT_SYSTEM_TASKS, &n);
        return n;
    }());
    if (r != ERR_OK) {
        return r;
    }
    int n = 0;
    const RTS_ID_TO_NAME* pEntries = CMGetHookEntries(CH_INIT_SYSTEM_TASKS, CH_INIT_FINISHED, &n);
    r = CMInitSequence(pEntries, n + 1);  // up to and including CH_INIT_FINISHED
    if (r != ERR_OK) {
        return r;
    }
    for (ComponentRecord* p : Snapshot()) {
        if (p->entry.iState == CM_STATE_INITIALIZED) {
            p->entry.iState = CM_STATE_RUNNING;
        }
    }
    if ((options & CM_INIT_OPTION_COMM_CYCLE_TASK) != 0) {
        RTS_RESULT rt = ERR_OK;
        s_hCommCycleTask = SysTaskCreate("CMCommCycleTask", CommCycleTask, nullptr, TASKPRIO_NORMAL_BASE, 0,
                                         0, nullptr, &rt);
        if (s_hCommCycleTask != RTS_INVALID_HANDLE) {
            SysTaskResume(s_hCommCycleTask);
        }
    }
    CMLogAdd(LOG_INFO, ERR_OK, "%s ready", "MALVORA Control");
    return ERR_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Internal helpers shared with the manager's other files.

void CMLogAdd(RTS_UI32 ulClass, RTS_RESULT iErrorId, const char* pszFormat, ...) {
    char szText[256];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    PF_CM_LOG_OBSERVER pfObserver = s_pfLogObserver.load();
    if (pfObserver != nullptr) {
        pfObserver(ulClass, szText);
    }
    PFCMLogAddArg pfLog = s_pfLogAddArg.load();
    if (pfLog != nullptr) {
        // The text is complete: it goes through "%s" so that a "%" in a
        // component name is never taken as a conversion.
        CMLogText(pfLog, ulClass, iErrorId, "%s", szText);
    }
}

void CMSetLogObserver(PF_CM_LOG_OBSERVER pfObserver) {
    s_pfLogObserver.store(pfObserver);
}

void CMLogText(PFCMLogAddArg pfLog, RTS_UI32 ulClass, RTS_RESULT iErrorId, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    pfLog(nullptr, CMPID_CM, ulClass, iErrorId, 0, pszFormat, args);
    va_end(args);
}

// ---------------------------------------------------------------------------
// Start and stop.

RTS_RESULT CMInit(const char* pszSettingsFile, const StaticComponent* pStaticComponents) {
    return CMInit2(pszSettingsFile, pStaticComponents, 0);
}

RTS_RESULT CMInit2(const char* pszSettingsFile, const StaticComponent* pStaticComponents, int options) {
    return CMInit3(pszSettingsFile, pStaticComponents, options);
}

RTS_RESULT CMInit3(const char* pszSettingsFile, const StaticComponent* pStaticComponents, int options) {
    if (s_bRunning.load() != 0) {
        return ERR_DUPLICATE;
    }
    // 1. Reset.
    if (s_cm.hLock == RTS_INVALID_HANDLE) {
        s_cm.hLock = SysSemCreate(nullptr);
    }
    s_bExit = 0;
    s_ulCommCycleExceptions = 0;
    s_pfLogAddArg.store(nullptr);

    // 2. The manager itself and the platform components.
    RTS_RESULT r = AddAndEnter("CM", CM__Entry, CM_TYPE_SYSTEM);
    if (r != ERR_OK) {
        return r;
    }
    for (const StaticComponent* p = CMBuiltinSystemComponents(); p != nullptr && p->pszCmpName != nullptr;
         ++p) {
        AddAndEnter(p->pszCmpName, p->pfCmpEntry, CM_TYPE_SYSTEM);
    }
    ImportComponents(CM_TYPE_SYSTEM);

    // 3. Static system components, then the basic checks.
    for (const StaticComponent* p = pStaticComponents; p != nullptr && p->pszCmpName != nullptr; ++p) {
        if (p->bSystem != 0) {
            AddAndEnter(p->pszCmpName, p->pfCmpEntry, CM_TYPE_SYSTEM | CM_TYPE_STATIC);
        }
    }
    ImportComponents(CM_TYPE_SYSTEM);
    s_bRunning = 1;
    if (!RtsBasicChecks()) {
        CMLogAdd(LOG_ERROR, ERR_FAILED, "RtsBasicChecks failed. Cannot start the runtime system");
        CMExit();
        return ERR_FAILED;
    }

    // 4. The other static components.
    for (const StaticComponent* p = pStaticComponents; p != nullptr && p->pszCmpName != nullptr; ++p) {
        if (p->bSystem == 0) {
            AddAndEnter(p->pszCmpName, p->pfCmpEntry, CM_TYPE_STATIC);
        }
    }
    ImportComponents(0);
    CMCallHook(CH_INIT_SYSTEM, 0, 0, 0);

    // 5. Settings database.
    if (OpenDatabase(pszSettingsFile, options) != ERR_OK) {
        CMExit();
        return ERR_NO_OBJECT;
    }

    // 6. Manager settings and dynamic components.
    ReadManagerSettings();
    LoadDynamicComponents();
    ImportComponents(CM_TYPE_DYNAMIC);

    // 7.
    CMCallHook2(CM_TYPE_DYNAMIC, CH_INIT_SYSTEM, 0, 0);
    CMCallHook(CH_INIT_SYSTEM2, 0, 0, 0);
    for (ComponentRecord* p : Snapshot()) {
        CMLogAdd(LOG_INFO, ERR_OK, "Component <cmp>%s</cmp>, id 0x%x, version 0x%x", p->name.c_str(),
                 p->entry.Id, p->entry.ulVersion);
    }
    if (ImportComponents(0) != ERR_OK) {
        CMCallHook(CH_SAFEMODE, 0, 0, 0);
        CMLogAdd(LOG_ERROR, ERR_FAILED, "Init components failed. Switch to safe mode!");
    }

    // 8.
    r = CMInitSequence(CMGetHookEntries(CH_INIT, CH_INIT, nullptr), 1);
    CreateEvents();
    if (r == ERR_OK && (options & CM_INIT_OPTION_NO_INIT_END) == 0) {
        r = CMInitEnd(options);
    }
    if (r == ERR_STOP_HOOK_WALK) {
        r = ERR_FAILED;
    }
    return r;
}

RTS_RESULT CMInitSequence(const RTS_ID_TO_NAME* pEntries, int iCount) {
    if (pEntries == nullptr || iCount <= 0) {
        return ERR_PARAMETER;
    }
    for (int i = 0; i < iCount; ++i) {
        RTS_RESULT r = CMCallHook(pEntries[i].id, 0, 0, 0);
        if (r == ERR_STOP_HOOK_WALK) {
            return r;
        }
    }
    return ERR_OK;
}

RTS_RESULT CMExitSequence(const RTS_ID_TO_NAME* pEntries, int iCount) {
    if (pEntries == nullptr || iCount <= 0) {
        return ERR_PARAMETER;
    }
    for (int i = 0; i < iCount; ++i) {
        RTS_UI32 ulHook = pEntries[i].id;
        switch (ulHook) {
            case CH_EXIT_COMM:
                PostEvent(0x10002);
                PostEvent(0x10007);
                break;
            case CH_EXIT_TASKS:
                PostEvent(0x10003);
                break;
            case CH_EXIT3:
                PostEvent(0x10004);
                break;
            case CH_EXIT2:
                PostEvent(0x10005);
                break;
            default:
                break;
        }
        // Components leave in the reverse of their start order, so that the
        // ones started first (log, settings, pools) serve the others to the end.
        RTS_UI32 ulStart = SysTimeGetMs();
        while (CMCallHook(ulHook, 0, 0, 1) == ERR_PENDING &&
               SysTimeElapsedMs(SysTimeGetMs(), ulStart) < kExitRepeatLimitMs) {
            SysTaskWaitSleep(nullptr, 10);
        }
    }
    return ERR_OK;
}

RTS_RESULT CMExit(void) {
    if (s_cm.hLock == RTS_INVALID_HANDLE) {
        return ERR_NOTINITIALIZED;
    }
    s_bExit = 1;
    PostEvent(0x10001);
    // The cycle task stops before the exit hooks, so that no component sees
    // a communication cycle while it releases its resources.
    if (s_hCommCycleTask != RTS_INVALID_HANDLE) {
        SysTaskExit(s_hCommCycleTask, 1000);
        s_hCommCycleTask = RTS_INVALID_HANDLE;
    }
    int n = 0;
    const RTS_ID_TO_NAME* pEntries = CMGetHookEntries(CH_EXIT_COMM, CH_ON_IMPORT, &n);
    CMExitSequence(pEntries, n);
    s_pfLogAddArg.store(nullptr);
    // Unload dynamic components, then static ones, then the system ones.
    for (RTS_UI16 mask : {static_cast<RTS_UI16>(CM_TYPE_DYNAMIC), static_cast<RTS_UI16>(CM_TYPE_STATIC),
                          static_cast<RTS_UI16>(0)}) {
        std::vector<ComponentRecord*> list = Snapshot();
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            ComponentRecord* p = *it;
            if (mask != 0 && (p->entry.iType & mask) == 0) {
                continue;
            }
            RTS_HANDLE hModule = p->entry.hModule;
            std::string name = p->name;
            RemoveRecord(p);
            if (hModule != RTS_INVALID_HANDLE && s_pfUnload != nullptr) {
                s_pfUnload(name.c_str(), hModule);
            }
        }
    }
    {
        CmLock lock;
        s_cm.classes.clear();
        s_cm.instances.clear();
        s_cm.pLookup = nullptr;
    }
    DeleteEvents();
    s_ulCurrentHook = 0;
    s_bRunning = 0;
    return ERR_OK;
}

RTS_RESULT CMSetExit(void) {
    s_bExit = 1;
    return ERR_OK;
}

RTS_RESULT CMGetExit(void) {
    return s_bExit.load() != 0 ? ERR_OK : ERR_FAILED;
}

void CMSetLoader(PF_MAIN_LOAD_COMPONENT pfLoad, PF_MAIN_UNLOAD_COMPONENT pfUnload) {
    s_pfLoad = pfLoad;
    s_pfUnload = pfUnload;
}

void CMSetGlobalHookCallback(PF_CM_GLOBAL_HOOK pfHook) {
    s_pfGlobalHook.store(pfHook);
}

int CMIsRunning(void) {
    return s_bRunning.load();
}

RTS_UI32 CMGetCommCycleInterval(void) {
    return s_cm.ulCommCycleInterval;
}

RTS_UI32 CMGetLastCommCycle(void) {
    return s_ulLastCommCycle.load();
}

// ---------------------------------------------------------------------------
// Components.

COMPONENT_ENTRY* CMAddComponent(const char* pszComponent, PF_COMPONENT_ENTRY pfEntry, RTS_UI16 iType,
                                RTS_RESULT* pResult) {
    RTS_RESULT r = ERR_OK;
    COMPONENT_ENTRY* pEntry = nullptr;
    if (pszComponent == nullptr || pfEntry == nullptr) {
        r = ERR_PARAMETER;
    } else {
        ComponentRecord* pCmp = AddComponent(pszComponent, pfEntry, iType, RTS_INVALID_HANDLE, &r);
        if (pCmp != nullptr) {
            pEntry = &pCmp->entry;
        }
    }
    if (pResult != nullptr) {
        *pResult = r;
    }
    return pEntry;
}

RTS_RESULT CMRemoveComponent(const char* pszComponent) {
    if (pszComponent == nullptr) {
        return ERR_PARAMETER;
    }
    ComponentRecord* p = nullptr;
    {
        CmLock lock;
        p = FindByName(pszComponent);
    }
    if (p == nullptr) {
        return ERR_NO_OBJECT;
    }
    RemoveRecord(p);
    return ERR_OK;
}

RTS_RESULT CMRemoveComponentById(RTS_UI32 CmpId) {
    ComponentRecord* p = nullptr;
    {
        CmLock lock;
        p = FindById(CmpId);
    }
    if (p == nullptr) {
        return ERR_NO_OBJECT;
    }
    RemoveRecord(p);
    return ERR_OK;
}

COMPONENT_ENTRY* CMLoadComponent(const char* pszComponent, RTS_RESULT* pResult) {
    RTS_RESULT r = ERR_OK;
    COMPONENT_ENTRY* pEntry = nullptr;
    if (pszComponent == nullptr) {
        r = ERR_PARAMETER;
    } else if (s_pfLoad == nullptr) {
        r = ERR_NOT_SUPPORTED;
    } else {
        RTS_HANDLE hModule = RTS_INVALID_HANDLE;
        PF_COMPONENT_ENTRY pfEntry = nullptr;
        r = s_pfLoad(pszComponent, 0, &hModule, &pfEntry);
        if (r == ERR_OK && pfEntry != nullptr) {
            RTS_UI16 iType = CM_TYPE_DYNAMIC;
            if (hModule != RTS_INVALID_HANDLE && hModule != nullptr) {
                iType |= CM_TYPE_LIBRARY;
            }
            ComponentRecord* pCmp = AddComponent(pszComponent, pfEntry, iType, hModule, &r);
            if (pCmp != nullptr) {
                r = EnterComponent(pCmp);
                if (r == ERR_OK) {
                    pEntry = &pCmp->entry;
                    CMCallHook(CH_ON_LOAD_COMPONENT, reinterpret_cast<RTS_UINTPTR>(pEntry), 0, 0);
                } else {
                    RemoveRecord(pCmp);
                }
            }
            if (pEntry == nullptr && hModule != RTS_INVALID_HANDLE && s_pfUnload != nullptr) {
                s_pfUnload(pszComponent, hModule);
            }
        } else if (r == ERR_OK) {
            r = ERR_FAILED;
        }
    }
    if (pResult != nullptr) {
        *pResult = r;
    }
    return pEntry;
}

RTS_RESULT CMUnloadComponent(const char* pszComponent) {
    if (pszComponent == nullptr) {
        return ERR_PARAMETER;
    }
    ComponentRecord* p = nullptr;
    {
        CmLock lock;
        p = FindByName(pszComponent);
    }
    if (p == nullptr) {
        return ERR_NO_OBJECT;
    }
    CMCallHook(CH_ON_UNLOAD_COMPONENT, reinterpret_cast<RTS_UINTPTR>(&p->entry), 0, 0);
    RTS_HANDLE hModule = p->entry.hModule;
    std::string name = p->name;
    RemoveRecord(p);
    if (hModule != RTS_INVALID_HANDLE && s_pfUnload != nullptr) {
        s_pfUnload(name.c_str(), hModule);
    }
    return ERR_OK;
}

RTS_RESULT CMInitComponent(COMPONENT_ENTRY* pEntry) {
    ComponentRecord* p = nullptr;
    {
        CmLock lock;
        p = pEntry != nullptr ? RecordOf(pEntry) : nullptr;
    }
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_RESULT r = EnterComponent(p);
    if (r == ERR_OK && p->entry.pfImportFunctions != nullptr && p->entry.pfImportFunctions() != ERR_OK) {
        p->entry.iState = CM_STATE_IMPORT_FAILED;
        CMLogAdd(LOG_ERROR, ERR_FAILED, "Import function(s) failed of <name>%s</name>", p->name.c_str());
        r = ERR_FAILED;
    }
    return r;
}

RTS_RESULT CMExitComponent(COMPONENT_ENTRY* pEntry) {
    ComponentRecord* p = nullptr;
    {
        CmLock lock;
        p = pEntry != nullptr ? RecordOf(pEntry) : nullptr;
    }
    if (p == nullptr) {
        return ERR_PARAMETER;
    }
    int n = 0;
    const RTS_ID_TO_NAME* pEntries = CMGetHookEntries(CH_EXIT_COMM, CH_ON_IMPORT, &n);
    for (int i = 0; i < n; ++i) {
        CallComponentHook(p, pEntries[i].id, 0, 0);
    }
    p->entry.iState = CM_STATE_ADDED;
    return ERR_OK;
}

COMPONENT_ENTRY* CMGetComponentByName(const char* pszComponent, RTS_RESULT* pResult) {
    CmLock lock;
    ComponentRecord* p = pszComponent != nullptr ? FindByName(pszComponent) : nullptr;
    if (pResult != nullptr) {
        *pResult = p != nullptr ? ERR_OK : (pszComponent == nullptr ? ERR_PARAMETER : ERR_NO_OBJECT);
    }
    return p != nullptr ? &p->entry : nullptr;
}

COMPONENT_ENTRY* CMGetComponent(RTS_UI32 CmpId, RTS_RESULT* pResult) {
    CmLock lock;
    ComponentRecord* p = FindById(CmpId);
    if (pResult != nullptr) {
        *pResult = p != nullptr ? ERR_OK : ERR_NO_OBJECT;
    }
    return p != nullptr ? &p->entry : nullptr;
}

RTS_RESULT CMGetCmpId(const char* pszComponent, RTS_UI32* pCmpId) {
    if (pszComponent == nullptr || pCmpId == nullptr) {
        return ERR_PARAMETER;
    }
    CmLock lock;
    ComponentRecord* p = FindByName(pszComponent);
    if (p == nullptr) {
        return ERR_NO_OBJECT;
    }
    *pCmpId = p->entry.Id;
    return ERR_OK;
}

RTS_RESULT CMGetCmpName(RTS_UI32 CmpId, char* pszName, int nMaxLen) {
    if (pszName == nullptr || nMaxLen <= 0) {
        return ERR_PARAMETER;
    }
    CmLock lock;
    ComponentRecord* p = FindById(CmpId);
    if (p == nullptr) {
        pszName[0] = '\0';
        return ERR_NO_OBJECT;
    }
    return KlStrCopy(pszName, static_cast<RTS_SIZE>(nMaxLen), p->name.c_str());
}

int CMGetNumOfComponents(void) {
    CmLock lock;
    return static_cast<int>(s_cm.components.size());
}

COMPONENT_ENTRY* CMGetComponentByIndex(int i, RTS_RESULT* pResult) {
    CmLock lock;
    bool bValid = i >= 0 && static_cast<size_t>(i) < s_cm.components.size();
    if (pResult != nullptr) {
        *pResult = bValid ? ERR_OK : ERR_PARAMETER;
    }
    return bValid ? &s_cm.components[static_cast<size_t>(i)]->entry : nullptr;
}

COMPONENT_ENTRY* CMGetFirstComponent(RTS_RESULT* pResult) {
    return CMGetComponentByIndex(0, pResult);
}

COMPONENT_ENTRY* CMGetNextComponent(COMPONENT_ENTRY* pPrev, RTS_RESULT* pResult) {
    CmLock lock;
    for (size_t i = 0; i < s_cm.components.size(); ++i) {
        if (&s_cm.components[i]->entry == pPrev) {
            if (i + 1 < s_cm.components.size()) {
                if (pResult != nullptr) {
                    *pResult = ERR_OK;
                }
                return &s_cm.components[i + 1]->entry;
            }
            break;
        }
    }
    if (pResult != nullptr) {
        *pResult = ERR_END_OF_OBJECT;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Functions.

RTS_RESULT CMRegisterAPI(const char* pszAPIName, RTS_VOID_FCTPTR pfAPIFunction, int bExternalLibrary,
                         RTS_UI32 ulSignatureID) {
    return CMRegisterAPI2(pszAPIName, pfAPIFunction, bExternalLibrary, ulSignatureID, 0);
}

RTS_RESULT CMRegisterAPI2(const char* pszAPIName, RTS_VOID_FCTPTR pfAPIFunction, int bExternalLibrary,
                          RTS_UI32 ulSignatureID, RTS_UI32 ulVersion) {
    if (pszAPIName == nullptr || pfAPIFunction == nullptr) {
        CMLogAdd(LOG_ERROR, ERR_PARAMETER, "Export of [%s] failed\n",
                 pszAPIName != nullptr ? pszAPIName : "");
        return ERR_PARAMETER;
    }
    ApiLookup* pLookup = s_cm.pLookup;
    if (pLookup == nullptr || (pLookup->pfFound != nullptr && !s_cm.bOverloadable)) {
        return ERR_OK;  // outside a lookup, or found already: nothing to keep
    }
    if (!NameEquals(pszAPIName, pLookup->pszName, bExternalLibrary != 0)) {
        return ERR_OK;
    }
    if (pLookup->ulSignature != 0 && ulSignatureID != pLookup->ulSignature) {
        pLookup->lastError = ERR_CHECK_SIGNATURE;
        return ERR_OK;
    }
    if (pLookup->ulVersion != 0 && (ulVersion >> 24) != (pLookup->ulVersion >> 24) &&
        !(bExternalLibrary != 0 && pLookup->ulVersion < 0x1000000u)) {
        pLookup->lastError = ERR_CHECK_VERSION;
        return ERR_OK;
    }
    // Names of the target layer may be provided by the target component only.
    if (strncmp(pszAPIName, "SysTarget", 9) == 0 && pLookup->pfFound != nullptr &&
        (pLookup->pCurrent == nullptr || pLookup->pCurrent->entry.Id != 122)) {
        return ERR_OK;
    }
    pLookup->pfFound = pfAPIFunction;
    pLookup->ulFoundSignature = ulSignatureID;
    pLookup->ulFoundVersion = ulVersion;
    pLookup->bExternal = bExternalLibrary != 0;
    return ERR_OK;
}

RTS_RESULT CMGetAPI(const char* pszAPIName, RTS_VOID_FCTPTR* ppfAPIFunction, RTS_UI32 ulSignatureID) {
    return CMGetAPI3(pszAPIName, ppfAPIFunction, 0, &ulSignatureID, nullptr);
}

RTS_RESULT CMGetAPI2(const char* pszAPIName, RTS_VOID_FCTPTR* ppfAPIFunction, int importOptions,
                     RTS_UI32 ulSignatureID, RTS_UI32 ulVersion) {
    return CMGetAPI3(pszAPIName, ppfAPIFunction, importOptions, &ulSignatureID, &ulVersion);
}

RTS_RESULT CMGetAPI3(const char* pszAPIName, RTS_VOID_FCTPTR* ppfAPIFunction, int importOptions,
                     RTS_UI32* pulSignatureID, RTS_UI32* pulVersion) {
    if (pszAPIName == nullptr || ppfAPIFunction == nullptr) {
        return ERR_PARAMETER;
    }
    *ppfAPIFunction = nullptr;
    if (strlen(pszAPIName) > kMaxApiName) {
        return ERR_BUFFERSIZE;
    }
    if (s_cm.hLock == RTS_INVALID_HANDLE) {
        return ERR_NOTINITIALIZED;
    }
    CmLock lock;
    ApiLookup lookup;
    lookup.pszName = pszAPIName;
    lookup.options = importOptions;
    lookup.ulSignature = pulSignatureID != nullptr ? *pulSignatureID : 0;
    lookup.ulVersion = pulVersion != nullptr ? *pulVersion : 0;
    ApiLookup* pOuter = s_cm.pLookup;  // a lookup made from inside an export function
    s_cm.pLookup = &lookup;
    for (ComponentRecord* p : s_cm.components) {
        if (p->entry.pfExportFunctions == nullptr) {
            continue;
        }
        lookup.pCurrent = p;
        p->entry.pfExportFunctions();
        if (lookup.pfFound != nullptr && !s_cm.bOverloadable) {
            break;
        }
    }
    s_cm.pLookup = pOuter;
    if (lookup.pfFound == nullptr) {
        if ((importOptions & CM_IMPORT_OPTION_SILENT) == 0) {
            CMLogAdd(LOG_ERROR, lookup.lastError, "Failed to resolve <name>%s</name>", pszAPIName);
        }
        return lookup.lastError;
    }
    *ppfAPIFunction = lookup.pfFound;
    if (pulSignatureID != nullptr) {
        *pulSignatureID = lookup.ulFoundSignature;
    }
    if (pulVersion != nullptr) {
        *pulVersion = lookup.ulFoundVersion;
    }
    return ERR_OK;
}

RTS_RESULT CMReleaseAPI(const char* pszAPIName) {
    (void)pszAPIName;
    return ERR_OK;
}

RTS_RESULT CMGetAPIToResolve(const char** ppszName, int* pOptions, RTS_UI32* pulSignature,
                             RTS_UI32* pulVersion) {
    ApiLookup* p = s_cm.pLookup;
    if (p == nullptr) {
        return ERR_NO_OBJECT;
    }
    if (ppszName != nullptr) {
        *ppszName = p->pszName;
    }
    if (pOptions != nullptr) {
        *pOptions = p->options;
    }
    if (pulSignature != nullptr) {
        *pulSignature = p->ulSignature;
    }
    if (pulVersion != nullptr) {
        *pulVersion = p->ulVersion;
    }
    return ERR_OK;
}

// ---------------------------------------------------------------------------
// Classes and instances.

RTS_RESULT CMRegisterClass(RTS_UI32 CmpId, RTS_UI32 ClassId) {
    CmLock lock;
    ComponentRecord* p = FindById(CmpId);
    if (p == nullptr) {
        return ERR_NO_OBJECT;
    }
    for (const ClassRecord& c : s_cm.classes) {
        if (c.ClassId == ClassId) {
            return ERR_DUPLICATE;
        }
    }
    s_cm.classes.push_back(ClassRecord{p, ClassId, CmpId});
    return ERR_OK;
}

RTS_RESULT CMUnregisterClass(RTS_UI32 ClassId) {
    CmLock lock;
    for (auto it = s_cm.classes.begin(); it != s_cm.classes.end(); ++it) {
        if (it->ClassId == ClassId) {
            s_cm.classes.erase(it);
            return ERR_OK;
        }
    }
    return ERR_NO_OBJECT;
}

RTS_HANDLE CMCreateInstance(RTS_UI32 ClassId, RTS_RESULT* pResult) {
    ComponentRecord* pCmp = nullptr;
    {
        CmLock lock;
        for (const ClassRecord& c : s_cm.classes) {
            if (c.ClassId == ClassId) {
                pCmp = c.pCmp;
                break;
            }
        }
    }
    RTS_RESULT r = ERR_NO_OBJECT;
    void* pIBase = nullptr;
    if (pCmp != nullptr && pCmp->entry.pfCreateInstance != nullptr) {
        pIBase = pCmp->entry.pfCreateInstance(ClassId, &r);
        if (pIBase != nullptr) {
            CmLock lock;
            s_cm.instances.push_back(InstanceRecord{ClassId, ++s_cm.ulObjIdCounter, pIBase});
            r = ERR_OK;
        } else if (r == ERR_OK) {
            r = ERR_FAILED;
        }
    }
    if (pResult != nullptr) {
        *pResult = r;
    }
    return pIBase != nullptr ? static_cast<RTS_HANDLE>(pIBase) : RTS_INVALID_HANDLE;
}

RTS_RESULT CMDeleteInstance2(RTS_UI32 ClassId, void* pIBase) {
    ComponentRecord* pCmp = nullptr;
    {
        CmLock lock;
        bool bFound = false;
        for (auto it = s_cm.instances.begin(); it != s_cm.instances.end(); ++it) {
            if (it->ClassId == ClassId && it->pIBase == pIBase) {
                s_cm.instances.erase(it);
                bFound = true;
                break;
            }
        }
        if (!bFound) {
            return ERR_NO_OBJECT;
        }
        for (const ClassRecord& c : s_cm.classes) {
            if (c.ClassId == ClassId) {
                pCmp = c.pCmp;
                break;
            }
        }
    }
    if (pCmp == nullptr || pCmp->entry.pfDeleteInstance == nullptr) {
        return ERR_NO_OBJECT;
    }
    return pCmp->entry.pfDeleteInstance(pIBase);
}

RTS_RESULT CMRegisterInstance(RTS_UI32 ClassId, RTS_UI32 ObjId, void* pIBase) {
    if (pIBase == nullptr) {
        return ERR_PARAMETER;
    }
    {
        CmLock lock;
        for (const InstanceRecord& i : s_cm.instances) {
            if (i.pIBase == pIBase) {
                return ERR_DUPLICATE;
            }
        }
        s_cm.instances.push_back(InstanceRecord{ClassId, ObjId, pIBase});
    }
    CMCallHook(CH_ON_REGISTER_INSTANCE, ClassId, reinterpret_cast<RTS_UINTPTR>(pIBase), 0);
    return ERR_OK;
}

RTS_RESULT CMUnregisterInstance(RTS_UI32 ClassId, void* pIBase) {
    {
        CmLock lock;
        bool bFound = false;
        for (auto it = s_cm.instances.begin(); it != s_cm.instances.end(); ++it) {
            if (it->ClassId == ClassId && it->pIBase == pIBase) {
                s_cm.instances.erase(it);
                bFound = true;
                break;
            }
        }
        if (!bFound) {
            return ERR_NO_OBJECT;
        }
    }
    CMCallHook(CH_ON_UNREGISTER_INSTANCE, ClassId, reinterpret_cast<RTS_UINTPTR>(pIBase), 0);
    return ERR_OK;
}

void* CMGetInstance(RTS_UI32 ClassId, RTS_UI32 ObjId, RTS_RESULT* pResult) {
    CmLock lock;
    for (const InstanceRecord& i : s_cm.instances) {
        if (i.ClassId == ClassId && i.ObjId == ObjId) {
            if (pResult != nullptr) {
                *pResult = ERR_OK;
            }
            return i.pIBase;
        }
    }
    if (pResult != nullptr) {
        *pResult = ERR_NO_OBJECT;
    }
    return nullptr;
}

int CMGetInstanceList(RTS_UI32 ClassId, void** ppIBase, int iMax) {
    CmLock lock;
    int n = 0;
    for (const InstanceRecord& i : s_cm.instances) {
        if (i.ClassId == ClassId) {
            if (ppIBase != nullptr && n < iMax) {
                ppIBase[n] = i.pIBase;
            }
            ++n;
        }
    }
    return n;
}

// ---------------------------------------------------------------------------
// Hooks.

RTS_RESULT CMCallHook(RTS_UI32 ulHook, RTS_UINTPTR ulParam1, RTS_UINTPTR ulParam2, int bReverse) {
    if (s_cm.hLock == RTS_INVALID_HANDLE) {
        return ERR_FAILED;
    }
    PF_CM_GLOBAL_HOOK pfGlobal = s_pfGlobalHook.load();
    if (pfGlobal != nullptr) {
        pfGlobal(ulHook, ulParam1, ulParam2);
    }
    if (ulHook == CH_COMM_CYCLE) {
        s_ulLastCommCycle = SysTimeGetMs();
    }
    if (!((ulHook >= 23 && ulHook <= 40) || ulHook == 290)) {
        s_ulCurrentHook = ulHook;
    }
    std::vector<ComponentRecord*> list = Snapshot();
    if (list.empty()) {
        return ERR_FAILED;
    }
    RTS_RESULT result = ERR_OK;
    auto visit = [&](ComponentRecord* p) -> bool {
        RTS_RESULT r = CallComponentHook(p, ulHook, ulParam1, ulParam2);
        if (r == ERR_PENDING) {
            result = ERR_PENDING;
        } else if (r == ERR_STOP_HOOK_WALK) {
            result = ERR_STOP_HOOK_WALK;
            return false;
        } else if (r != ERR_OK) {
            p->ulFailedHook = ulHook;
        }
        return true;
    };
    if (bReverse != 0) {
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            if (!visit(*it)) {
                break;
            }
        }
    } else {
        for (ComponentRecord* p : list) {
            if (!visit(p)) {
                break;
            }
        }
    }
    for (ComponentRecord* p : list) {
        if (p->ulFailedHook == ulHook && p->ulFailedHook != 0) {
            p->ulFailedHook = 0;
            if (ulHook != CH_COMM_CYCLE) {
                const char* pszHook = CMGetHookName(ulHook, nullptr);
                CMLogAdd(LOG_ERROR, ERR_FAILED, "Component <cmp>%s</cmp> failed in %s", p->name.c_str(),
                         pszHook != nullptr ? pszHook : "hook");
            }
        }
    }
    return result;
}

RTS_RESULT CMCallHook2(RTS_UI32 ulTypeMask, RTS_UI32 ulHook, RTS_UINTPTR ulParam1, RTS_UINTPTR ulParam2) {
    RTS_RESULT result = ERR_OK;
    for (ComponentRecord* p : Snapshot()) {
        if ((p->entry.iType & ulTypeMask) == 0) {
            continue;
        }
        RTS_RESULT r = CallComponentHook(p, ulHook, ulParam1, ulParam2);
        if (r == ERR_STOP_HOOK_WALK) {
            return r;
        }
        if (r == ERR_PENDING) {
            result = r;
        }
    }
    return result;
}

RTS_UI32 CMGetCurrentHook(void) {
    return s_ulCurrentHook.load();
}

const char* CMGetHookName(RTS_UI32 ulHook, RTS_RESULT* pResult) {
    for (const RTS_ID_TO_NAME& e : s_hookTable) {
        if (e.id == ulHook) {
            if (pResult != nullptr) {
                *pResult = ERR_OK;
            }
            return e.pszName;
        }
    }
    if (pResult != nullptr) {
        *pResult = ERR_NO_OBJECT;
    }
    return nullptr;
}

const RTS_ID_TO_NAME* CMGetHookEntries(RTS_UI32 ulFirst, RTS_UI32 ulLast, int* piCount) {
    int first = -1;
    int last = -1;
    for (int i = 0; i < kNumHooks; ++i) {
        if (s_hookTable[i].id == ulFirst && first < 0) {
            first = i;
        }
        if (s_hookTable[i].id == ulLast && last < 0) {
            last = i;
        }
    }
    if (first < 0) {
        if (piCount != nullptr) {
            *piCount = 0;
        }
        return nullptr;
    }
    int count = 1;
    if (ulFirst != ulLast) {
        count = last > first ? last - first : kNumHooks - first;
    }
    if (piCount != nullptr) {
        *piCount = count;
    }
    return &s_hookTable[first];
}

// ---------------------------------------------------------------------------
// Locks.

RTS_HANDLE CMLockCreate(RTS_RESULT* pResult) {
    return SysSemCreate(pResult);
}
RTS_RESULT CMLockDelete(RTS_HANDLE hLock) {
    return SysSemDelete(hLock);
}
RTS_RESULT CMLockEnter(RTS_HANDLE hLock) {
    return SysSemEnter(hLock);
}
RTS_RESULT CMLockLeave(RTS_HANDLE hLock) {
    return SysSemLeave(hLock);
}

// ---------------------------------------------------------------------------
// The manager as a component.

namespace {

RTS_RESULT CMExportFunctions(void) {
    PF_REGISTER_API reg = CMRegisterAPI;
    KL_EXPORT(reg, CMAddComponent);
    KL_EXPORT(reg, CMRemoveComponent);
    KL_EXPORT(reg, CMRemoveComponentById);
    KL_EXPORT(reg, CMLoadComponent);
    KL_EXPORT(reg, CMUnloadComponent);
    KL_EXPORT(reg, CMInitComponent);
    KL_EXPORT(reg, CMExitComponent);
    KL_EXPORT(reg, CMGetComponentByName);
    KL_EXPORT(reg, CMGetComponent);
    KL_EXPORT(reg, CMGetCmpId);
    KL_EXPORT(reg, CMGetCmpName);
    KL_EXPORT(reg, CMGetNumOfComponents);
    KL_EXPORT(reg, CMGetComponentByIndex);
    KL_EXPORT(reg, CMGetFirstComponent);
    KL_EXPORT(reg, CMGetNextComponent);
    KL_EXPORT(reg, CMRegisterAPI);
    KL_EXPORT(reg, CMRegisterAPI2);
    KL_EXPORT(reg, CMGetAPI);
    KL_EXPORT(reg, CMGetAPI2);
    KL_EXPORT(reg, CMGetAPI3);
    KL_EXPORT(reg, CMReleaseAPI);
    KL_EXPORT(reg, CMRegisterClass);
    KL_EXPORT(reg, CMUnregisterClass);
    KL_EXPORT(reg, CMCreateInstance);
    KL_EXPORT(reg, CMDeleteInstance2);
    KL_EXPORT(reg, CMRegisterInstance);
    KL_EXPORT(reg, CMUnregisterInstance);
    KL_EXPORT(reg, CMGetInstance);
    KL_EXPORT(reg, CMGetInstanceList);
    KL_EXPORT(reg, CMCallHook);
    KL_EXPORT(reg, CMCallHook2);
    KL_EXPORT(reg, CMGetCurrentHook);
    KL_EXPORT(reg, CMGetHookName);
    KL_EXPORT(reg, CMGetHookEntries);
    KL_EXPORT(reg, CMLockCreate);
    KL_EXPORT(reg, CMLockDelete);
    KL_EXPORT(reg, CMLockEnter);
    KL_EXPORT(reg, CMLockLeave);
    KL_EXPORT(reg, CMUtlHashCreate);
    KL_EXPORT(reg, CMUtlHashDelete);
    KL_EXPORT(reg, CMUtlHashInsert);
    KL_EXPORT(reg, CMUtlHashRemove);
    KL_EXPORT(reg, CMUtlHashFind);
    return ERR_OK;
}

RTS_RESULT CMImportFunctions(void) {
    return ERR_OK;
}
RTS_UI32 CMGetVersion(void) {
    return 0x03051114u;
}
RTS_RESULT CMHookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    (void)ulHook;
    return ERR_OK;
}

}  // namespace

RTS_RESULT CM__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CM;
    pInitStruct->pfExportFunctions = CMExportFunctions;
    pInitStruct->pfImportFunctions = CMImportFunctions;
    pInitStruct->pfGetVersion = CMGetVersion;
    pInitStruct->pfHookFunction = CMHookFunction;
    pInitStruct->pfCreateInstance = nullptr;
    pInitStruct->pfDeleteInstance = nullptr;
    return ERR_OK;
}
