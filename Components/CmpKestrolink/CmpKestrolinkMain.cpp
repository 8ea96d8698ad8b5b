// Start and stop of the SDK's runtime. Start and stop are serialised by a
// spin-lock bit; the runtime counts as started once the idle task has run its
// first communication cycle (the CmpKestrolink hook clears the pending start
// result then).
#include "CmpKestrolinkMain.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CMPrivate.h"
#include "CmpKestrolinkItf.h"
#include "SysCpu.h"
#include "SysModule.h"
#include "SysProcess.h"
#include "SysTask.h"
#include "SysTime.h"

namespace {

alignas(4) RTS_UI32 s_bInCmInitOrExit = 0;
int s_nInstances = 0;              // guarded by the spin lock
bool s_bInit2OnlyOnce = true;      // guarded by the spin lock
char s_szSettingsFile[256] = {0};  // guarded by the spin lock
RTS_HANDLE s_hIdleTask = RTS_INVALID_HANDLE;
std::atomic<RTS_RESULT> s_initResult{KESTROLINK_INIT_PENDING};
std::atomic<RTS_UI32> s_ulFirstCycleWaitMs{20000};
std::atomic<RTS_UI32> s_ulIdleExitWaitMs{2000};
const StaticComponent* s_pExtraComponents = nullptr;
std::vector<StaticComponent> s_components;

constexpr RTS_UI32 kSpinSleepMs = 100;
constexpr RTS_UI32 kStartPollMs = 4;
constexpr RTS_UI32 kIdleCycleMs = 10;

class SpinLock {
public:
    SpinLock() {
        while (SysCpuTestAndSetBit(&s_bInCmInitOrExit, 4, 0, 1) != ERR_OK) {
            SysTaskWaitSleep(nullptr, kSpinSleepMs);
        }
    }
    ~SpinLock() { SysCpuTestAndSetBit(&s_bInCmInitOrExit, 4, 0, 0); }
};

void IdleTask(SYS_TASK_PARAM* ptp) {
    RTS_UI32 ulId = static_cast<RTS_UI32>(reinterpret_cast<RTS_UINTPTR>(ptp->hTask));
    KestrolinkLog(LOG_INFO, ERR_OK, "Kestrolink: IdleTask (Id = 0x%X) started", ulId);
    while (ptp->bExit.load() == 0) {
        CMCallHook(CH_COMM_CYCLE, 0, 0, 0);
        SysTaskWaitSleep(ptp->hTask, kIdleCycleMs);
    }
    KestrolinkLog(LOG_INFO, ERR_OK, "Kestrolink: IdleTask (Id = 0x%X) terminates", ulId);
}

// Ends the idle task; the two texts are those of the caller (Init or Exit).
void EndIdleTask(const char* pszFailed, const char* pszKilled) {
    if (s_hIdleTask == RTS_INVALID_HANDLE) {
        return;
    }
    RTS_UI32 ulId = static_cast<RTS_UI32>(reinterpret_cast<RTS_UINTPTR>(s_hIdleTask));
    if (SysTaskExit(s_hIdleTask, s_ulIdleExitWaitMs.load()) != ERR_OK) {
        KestrolinkLog(LOG_ERROR, ERR_TIMEOUT, "%s", pszFailed);
        KestrolinkLog(LOG_ERROR, ERR_TIMEOUT, pszKilled, ulId);
    }
    s_hIdleTask = RTS_INVALID_HANDLE;
}

const StaticComponent* BuildComponentList() {
    s_components.clear();
    for (const StaticComponent* p = KestrolinkStaticComponents(); p->pszCmpName != nullptr; ++p) {
        s_components.push_back(*p);
    }
    for (const StaticComponent* p = s_pExtraComponents; p != nullptr && p->pszCmpName != nullptr; ++p) {
        s_components.push_back(*p);
    }
    s_components.push_back(StaticComponent{nullptr, nullptr, 0});
    return s_components.data();
}

RTS_RESULT StartRuntime() {
    if (s_szSettingsFile[0] == '\0') {
        KlStrCopy(s_szSettingsFile, sizeof(s_szSettingsFile), "Kestrolink.ini");
    }
    RTS_RESULT r = ERR_OK;
    if (s_bInit2OnlyOnce) {
        CMSetLoader(MainLoadComponent, MainUnloadComponent);
        // A missing settings file is no reason to refuse a connection: the
        // components run on their defaults then.
        r = CMInit2(s_szSettingsFile, BuildComponentList(), CM_INIT_OPTION_NO_SETTINGS_REQUIRED);
        s_bInit2OnlyOnce = false;
    } else {
        int n = 0;
        const RTS_ID_TO_NAME* pEntries = CMGetHookEntries(CH_INIT_SYSTEM_TASKS, CH_INIT_FINISHED, &n);
        r = CMInitSequence(pEntries, n);
        if (r == ERR_OK) {
            r = CMInitSequence(CMGetHookEntries(CH_INIT_FINISHED, CH_INIT_FINISHED, nullptr), 1);
        }
    }
    return r;
}

}  // namespace

RTS_RESULT InitComponents(void) {
    SpinLock lock;
    if (s_nInstances > 0) {
        ++s_nInstances;
        return s_initResult.load();
    }
    RTS_RESULT r = StartRuntime();
    if (r == ERR_OK) {
        s_hIdleTask =
            SysTaskCreate("KestrolinkIdle", IdleTask, nullptr, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, &r);
        if (s_hIdleTask != RTS_INVALID_HANDLE) {
            SysTaskResume(s_hIdleTask);
            RTS_UI32 ulStart = SysTimeGetMs();
            while (s_initResult.load() == KESTROLINK_INIT_PENDING &&
                   SysTimeElapsedMs(SysTimeGetMs(), ulStart) < s_ulFirstCycleWaitMs.load()) {
                SysTaskWaitSleep(nullptr, kStartPollMs);
            }
            if (s_initResult.load() != ERR_OK) {
                EndIdleTask(
                    "Kestrolink: InitComponents(): Exit IdleTask failed, please check the timeout settings",
                    "Kestrolink: InitComponents(): IdleTask (Id = 0x%X) killed");
                r = ERR_FAILED;
            } else {
                s_nInstances = 1;
            }
        } else if (r == ERR_OK) {
            r = ERR_FAILED;
        }
    } else if (r == KESTROLINK_INIT_PENDING) {
        r = ERR_FAILED;
    }
    if (r != ERR_OK) {
        KestrolinkLog(LOG_ERROR, r, "ERROR Kestrolink: CMInit or SysTaskCreate failed!");
        CMExit();
        // Stored after the stop: its exit hooks mark the start pending again.
        s_initResult = r;
        // The next start after a failed one is a full start again, and the
        // object whose start failed is not counted.
        s_bInit2OnlyOnce = true;
        s_nInstances = 0;
        s_szSettingsFile[0] = '\0';
    }
    return s_initResult.load();
}

RTS_RESULT ExitComponents(int bFinal) {
    SpinLock lock;
    if (s_nInstances > 0) {
        --s_nInstances;
    }
    RTS_RESULT r = ERR_OK;
    if (s_nInstances == 0 && s_initResult.load() == ERR_OK) {
        EndIdleTask("Kestrolink: ExitComponents(): Exit IdleTask failed, please check the timeout settings",
                    "Kestrolink: ExitComponents(): IdleTask (Id = 0x%X) killed");
        if (bFinal == 0) {
            int n = 0;
            const RTS_ID_TO_NAME* pEntries = CMGetHookEntries(CH_EXIT_COMM, CH_EXIT3, &n);
            r = CMExitSequence(pEntries, n);
        } else {
            r = ExitComponentsFinal();
        }
        s_szSettingsFile[0] = '\0';
    }
    return r;
}

RTS_RESULT ExitComponentsFinal(void) {
    s_bInit2OnlyOnce = true;
    s_initResult = KESTROLINK_INIT_PENDING;
    return CMExit();
}

RTS_RESULT SetSettingsFileName(const char* pszName) {
    if (pszName == nullptr || pszName[0] == '\0' || strlen(pszName) >= sizeof(s_szSettingsFile)) {
        return ERR_PARAMETER;
    }
    SpinLock lock;
    KlStrCopy(s_szSettingsFile, sizeof(s_szSettingsFile), pszName);
    return ERR_OK;
}

RTS_RESULT KestrolinkGetInitResult(void) {
    return s_initResult.load();
}

void KestrolinkSetInitResult(RTS_RESULT value) {
    s_initResult.store(value);
}

int KestrolinkGetNumInstances(void) {
    SpinLock lock;
    return s_nInstances;
}

RTS_RESULT MainLoadComponent(const char* pszName, RTS_UI32 ulOptions, RTS_HANDLE* phModule,
                             PF_COMPONENT_ENTRY* ppfEntry) {
    (void)ulOptions;  // the loader takes no options on this platform
    if (pszName == nullptr || phModule == nullptr || ppfEntry == nullptr) {
        return ERR_PARAMETER;
    }
    *phModule = RTS_INVALID_HANDLE;
    *ppfEntry = nullptr;
    static const char* const s_apszBuiltin[] = {"CmpBlkDrvCom",          "CmpBlkDrvShm",
                                                "CmpBlkDrvTcp",          "CmpBlkDrvUdp",
                                                "CmpGwClientCommDrvShm", "CmpGwClientCommDrvTcp"};
    for (const char* pszBuiltin : s_apszBuiltin) {
        if (strcmp(pszName, pszBuiltin) == 0) {
            PF_COMPONENT_ENTRY pfEntry = KestrolinkBuiltinDriverEntry(pszName);
            if (pfEntry == nullptr) {
                return ERR_FAILED;  // a driver this build does not contain
            }
            *ppfEntry = pfEntry;
            return ERR_OK;
        }
    }
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hModule = SysModuleLoad(pszName, &r);
    if (hModule == RTS_INVALID_HANDLE && strchr(pszName, '/') == nullptr &&
        strstr(pszName, ".so") == nullptr) {
        std::string file = std::string("lib") + pszName + ".so";
        hModule = SysModuleLoad(file.c_str(), &r);
    }
    if (hModule == RTS_INVALID_HANDLE) {
        return ERR_FAILED;
    }
    RTS_VOID_FCTPTR pf = SysModuleGetFunctionPointer(hModule, "ComponentEntry", &r);
    if (pf == nullptr) {
        SysModuleUnload(hModule);
        return ERR_FAILED;
    }
    *phModule = hModule;
    *ppfEntry = reinterpret_cast<PF_COMPONENT_ENTRY>(pf);
    return ERR_OK;
}

RTS_RESULT MainUnloadComponent(const char* pszName, RTS_HANDLE hModule) {
    (void)pszName;
    if (hModule == RTS_INVALID_HANDLE || hModule == nullptr) {
        return ERR_OK;  // built-in component: nothing to unload
    }
    return SysModuleUnload(hModule);
}

int rts_system(const char* pszCommand) {
    if (pszCommand == nullptr) {
        return -1;
    }
    const char* const argv[] = {"sh", "-c", pszCommand, nullptr};
    return SysProcessRunAndWait("/bin/sh", argv);
}

void KestrolinkSetStartLimits(RTS_UI32 ulFirstCycleWaitMs, RTS_UI32 ulIdleExitWaitMs) {
    s_ulFirstCycleWaitMs = ulFirstCycleWaitMs;
    s_ulIdleExitWaitMs = ulIdleExitWaitMs;
}

void KestrolinkSetExtraComponents(const StaticComponent* pComponents) {
    SpinLock lock;
    s_pExtraComponents = pComponents;
}

int KestrolinkIdleTaskRunning(void) {
    SpinLock lock;
    return s_hIdleTask != RTS_INVALID_HANDLE ? 1 : 0;
}
