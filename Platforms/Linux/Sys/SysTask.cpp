// Linux implementation of the task layer over POSIX threads.
//
// A task's thread starts, marks itself suspended and waits on its start
// condition; its function runs after SysTaskResume. Owners end tasks with
// SysTaskExit: set bExit, wait (monotonic clock) for the function to return,
// and cancel the thread when it did not. A cancelled thread is joined with a
// limit; if it still has not ended, its record and stacks are abandoned, never
// freed, because the thread may still use them.
#include "SysTask.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "SysTime.h"

struct SysTaskOSBlock {
    pthread_t thread;
    pthread_mutex_t mutex;
    pthread_cond_t cond;  // monotonic: start signal and end signal
    bool bStart = false;
    bool bEnded = false;
    bool bJoined = false;
    void* pAltStack = nullptr;
};

namespace {

// Limit for joining a thread after it was cancelled.
constexpr RTS_UI32 kCancelJoinLimitMs = 1000;

std::mutex s_listMutex;
std::set<SYS_TASK_INFO*>* s_pTasks = nullptr;
std::atomic<RTS_UI32> s_ulAbandoned{0};
thread_local SYS_TASK_INFO* t_pCurrentTask = nullptr;

SysTaskPrioritySettings s_prio = {
    {64, 96, 128, 160, 192, 224}, {95, 127, 159, 191, 223, 255}, SYS_TASK_DEFAULT_STACKSIZE};
std::mutex s_prioMutex;

std::set<SYS_TASK_INFO*>& Tasks() {
    if (s_pTasks == nullptr) {
        s_pTasks = new std::set<SYS_TASK_INFO*>();
    }
    return *s_pTasks;
}

SYS_TASK_INFO* Lookup(RTS_HANDLE hTask) {
    if (hTask == nullptr || hTask == RTS_INVALID_HANDLE) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(s_listMutex);
    auto& tasks = Tasks();
    auto* pTask = static_cast<SYS_TASK_INFO*>(hTask);
    return tasks.count(pTask) != 0 ? pTask : nullptr;
}

void DeadlineAfter(struct timespec* pTs, RTS_UI32 ulMs) {
    clock_gettime(CLOCK_MONOTONIC, pTs);
    pTs->tv_sec += ulMs / 1000;
    pTs->tv_nsec += static_cast<long>(ulMs % 1000) * 1000000L;
    if (pTs->tv_nsec >= 1000000000L) {
        pTs->tv_sec += 1;
        pTs->tv_nsec -= 1000000000L;
    }
}

// Waits until the thread's function has returned (or the thread was
// cancelled). 0 = ended, 5 = time-out.
RTS_RESULT WaitEnded(SYS_TASK_INFO* pTask, RTS_UI32 ulTimeoutMs) {
    SysTaskOSBlock* pOS = pTask->pOSSpecific;
    RTS_RESULT result = ERR_OK;
    pthread_mutex_lock(&pOS->mutex);
    if (ulTimeoutMs == RTS_TIMEOUT_INFINITE) {
        while (!pOS->bEnded) {
            pthread_cond_wait(&pOS->cond, &pOS->mutex);
        }
    } else {
        struct timespec deadline;
        DeadlineAfter(&deadline, ulTimeoutMs);
        while (!pOS->bEnded) {
            int rc = pthread_cond_timedwait(&pOS->cond, &pOS->mutex, &deadline);
            if (rc == ETIMEDOUT) {
                break;
            }
        }
        result = pOS->bEnded ? ERR_OK : ERR_TIMEOUT;
    }
    pthread_mutex_unlock(&pOS->mutex);
    return result;
}

void JoinThread(SYS_TASK_INFO* pTask) {
    SysTaskOSBlock* pOS = pTask->pOSSpecific;
    if (!pOS->bJoined) {
        pthread_join(pOS->thread, nullptr);
        pOS->bJoined = true;
    }
}

void FreeTask(SYS_TASK_INFO* pTask) {
    {
        std::lock_guard<std::mutex> lock(s_listMutex);
        Tasks().erase(pTask);
    }
    SysTaskOSBlock* pOS = pTask->pOSSpecific;
    if (pOS != nullptr) {
        pthread_mutex_destroy(&pOS->mutex);
        pthread_cond_destroy(&pOS->cond);
        free(pOS->pAltStack);
        delete pOS;
    }
    free(pTask->pszLongName);
    free(pTask->pszTaskGroup);
    delete pTask;
}

// Marks the end of the thread's work and wakes a waiting owner. Runs on normal
// return, SysTaskEnd and cancellation (stack unwinding).
struct EndMarker {
    SYS_TASK_INFO* pTask;
    ~EndMarker() {
        stack_t ss;
        memset(&ss, 0, sizeof(ss));
        ss.ss_flags = SS_DISABLE;
        sigaltstack(&ss, nullptr);
        t_pCurrentTask = nullptr;
        SysTaskOSBlock* pOS = pTask->pOSSpecific;
        pthread_mutex_lock(&pOS->mutex);
        pTask->iState.fetch_or(SYS_TASK_STATE_ENDED);
        pOS->bEnded = true;
        pthread_cond_broadcast(&pOS->cond);
        pthread_mutex_unlock(&pOS->mutex);
    }
};

void ApplyPriority(SYS_TASK_INFO* pTask) {
    int policy = 0;
    int osPrio = 0;
    SysTaskMapPriority(pTask->ulPriority, &policy, &osPrio);
    struct sched_param sp;
    memset(&sp, 0, sizeof(sp));
    sp.sched_priority = policy == 1 ? osPrio : 0;
    // Without the right to real-time scheduling the thread stays time-shared.
    pthread_setschedparam(pthread_self(), policy == 1 ? SCHED_FIFO : SCHED_OTHER, &sp);
    pTask->ulOSPriority = static_cast<RTS_UI32>(osPrio);
}

void* TaskThread(void* pArg) {
    auto* pTask = static_cast<SYS_TASK_INFO*>(pArg);
    SysTaskOSBlock* pOS = pTask->pOSSpecific;
    t_pCurrentTask = pTask;
    EndMarker marker{pTask};

    char szThreadName[16];
    const char* pszName = pTask->pszLongName != nullptr ? pTask->pszLongName : pTask->szName;
    KlStrCopy(szThreadName, sizeof(szThreadName), pszName);
    pthread_setname_np(pthread_self(), szThreadName);

    if (pOS->pAltStack != nullptr) {
        stack_t ss;
        memset(&ss, 0, sizeof(ss));
        ss.ss_sp = pOS->pAltStack;
        ss.ss_size = SYS_TASK_ALTSTACK_SIZE;
        sigaltstack(&ss, nullptr);
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Cancellation takes effect at the next wait or sleep of the task, never in
    // the middle of an allocation (asynchronous cancellation could leave the
    // allocator's lock held for the rest of the process).
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);

    RTS_UI32 ulInitialPriority = pTask->ulPriority;
    bool bRaise = ulInitialPriority < TASKPRIO_NORMAL_BASE;
    if (bRaise) {
        ApplyPriority(pTask);
    }

    pthread_mutex_lock(&pOS->mutex);
    pTask->iState.fetch_or(SYS_TASK_STATE_SUSPENDED);
    while (!pOS->bStart) {
        pthread_cond_wait(&pOS->cond, &pOS->mutex);
    }
    pthread_mutex_unlock(&pOS->mutex);

    if (!bRaise) {
        ApplyPriority(pTask);
    }
    // A task asked to end before it ever ran does not run its function.
    if (pTask->TP.bExit.load() == 0 && pTask->pFunction != nullptr) {
        pTask->pFunction(&pTask->TP);
    }
    return nullptr;
}

}  // namespace

void SysTaskSetPrioritySettings(const SysTaskPrioritySettings* pSettings) {
    if (pSettings == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(s_prioMutex);
    s_prio = *pSettings;
}

void SysTaskGetPrioritySettings(SysTaskPrioritySettings* pSettings) {
    if (pSettings == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(s_prioMutex);
    *pSettings = s_prio;
}

void SysTaskMapPriority(RTS_UI32 ulPriority, int* piPolicy, int* piOSPriority) {
    SysTaskPrioritySettings prio;
    SysTaskGetPrioritySettings(&prio);
    auto configured = [&prio](RTS_UI32 p) -> RTS_UI32 {
        if (p > 255) {
            p = 255;
        }
        if (p < TASKPRIO_HIGH_BASE) {
            return p;
        }
        RTS_UI32 band = (p - TASKPRIO_HIGH_BASE) / 32;
        RTS_UI32 value = prio.aulBase[band] + (p % 32);
        return std::min(value, prio.aulEnd[band]);
    };
    RTS_UI32 ulConfigured = configured(ulPriority);
    RTS_UI32 ulThreshold = configured(48);
    int maxFifo = sched_get_priority_max(SCHED_FIFO);
    if (ulConfigured < ulThreshold) {
        *piPolicy = 1;
        int os = maxFifo - static_cast<int>(ulConfigured);
        *piOSPriority = std::max(os, sched_get_priority_min(SCHED_FIFO));
    } else {
        *piPolicy = 0;
        *piOSPriority = 0;
    }
}

RTS_HANDLE SysTaskCreate2(const char* pszTaskName, const char* pszTaskGroup, PFSYS_TASK_FUNCTION pFunction,
                          void* pParam, RTS_UI32 ulPriority, RTS_UI32 ulInterval, RTS_UI32 ulStackSize,
                          PFSYS_TASK_EXCEPTION_HANDLER pExceptionHandler, RTS_RESULT* pResult) {
    auto setResult = [pResult](RTS_RESULT r) {
        if (pResult != nullptr) {
            *pResult = r;
        }
    };
    if (pFunction == nullptr) {
        setResult(ERR_PARAMETER);
        return RTS_INVALID_HANDLE;
    }
    auto* pTask = new (std::nothrow) SYS_TASK_INFO();
    auto* pOS = new (std::nothrow) SysTaskOSBlock();
    if (pTask == nullptr || pOS == nullptr) {
        delete pTask;
        delete pOS;
        setResult(ERR_NOMEMORY);
        return RTS_INVALID_HANDLE;
    }
    const char* pszName = pszTaskName != nullptr ? pszTaskName : "";
    KlStrCopy(pTask->szName, sizeof(pTask->szName), pszName);
    if (strlen(pszName) >= sizeof(pTask->szName)) {
        pTask->pszLongName = strdup(pszName);
    }
    if (pszTaskGroup != nullptr) {
        pTask->pszTaskGroup = strdup(pszTaskGroup);
    }
    pTask->pFunction = pFunction;
    pTask->ulPriority = ulPriority;
    pTask->ulInterval = ulInterval;
    pTask->pExceptionHandler = pExceptionHandler;
    pTask->TP.hTask = pTask;
    pTask->TP.bExit.store(0);
    pTask->TP.ulInterval = ulInterval;
    pTask->TP.pParam = pParam;
    pTask->iState.store(0);
    pTask->pOSSpecific = pOS;

    SysTaskPrioritySettings prio;
    SysTaskGetPrioritySettings(&prio);
    RTS_UI32 ulStack = ulStackSize;
    if (ulStack == 0) {
        ulStack = prio.ulStackSize;
    }
    if (ulStack != 0xFFFFFFFFu && ulStack < SYS_TASK_MIN_STACKSIZE) {
        ulStack = SYS_TASK_MIN_STACKSIZE;
    }
    pTask->ulStackSize = ulStack;

    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&pOS->cond, &ca);
    pthread_condattr_destroy(&ca);
    pthread_mutex_init(&pOS->mutex, nullptr);
    pOS->pAltStack = malloc(SYS_TASK_ALTSTACK_SIZE);

    {
        std::lock_guard<std::mutex> lock(s_listMutex);
        Tasks().insert(pTask);
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    if (ulStack != 0xFFFFFFFFu) {
        // The sanitizers need more stack than a plain build; the OS rounds up.
        size_t stack = ulStack;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        stack = std::max<size_t>(stack * 4, 512 * 1024);
#endif
        pthread_attr_setstacksize(&attr, stack);
    }
    int rc = pthread_create(&pOS->thread, &attr, TaskThread, pTask);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        pOS->bJoined = true;
        FreeTask(pTask);
        setResult(ERR_FAILED);
        return RTS_INVALID_HANDLE;
    }
    pTask->uiOSHandle = static_cast<RTS_UINTPTR>(pOS->thread);
    // The creator returns once the thread reports itself suspended.
    while ((pTask->iState.load() & SYS_TASK_STATE_SUSPENDED) == 0) {
        SysTaskWaitSleep(nullptr, 1);
    }
    setResult(ERR_OK);
    return pTask;
}

RTS_HANDLE SysTaskCreate(const char* pszTaskName, PFSYS_TASK_FUNCTION pFunction, void* pParam,
                         RTS_UI32 ulPriority, RTS_UI32 ulInterval, RTS_UI32 ulStackSize,
                         PFSYS_TASK_EXCEPTION_HANDLER pExceptionHandler, RTS_RESULT* pResult) {
    return SysTaskCreate2(pszTaskName, nullptr, pFunction, pParam, ulPriority, ulInterval, ulStackSize,
                          pExceptionHandler, pResult);
}

RTS_RESULT SysTaskResume(RTS_HANDLE hTask) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr) {
        return ERR_PARAMETER;
    }
    SysTaskOSBlock* pOS = pTask->pOSSpecific;
    pthread_mutex_lock(&pOS->mutex);
    pOS->bStart = true;
    pTask->iState.fetch_and(~SYS_TASK_STATE_SUSPENDED);
    pthread_cond_broadcast(&pOS->cond);
    pthread_mutex_unlock(&pOS->mutex);
    return ERR_OK;
}

RTS_RESULT SysTaskSuspend(RTS_HANDLE hTask) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr) {
        return ERR_PARAMETER;
    }
    // POSIX threads cannot stop one another safely: only the calling task can
    // suspend itself until it is resumed.
    if (pTask != t_pCurrentTask) {
        return ERR_NOT_SUPPORTED;
    }
    SysTaskOSBlock* pOS = pTask->pOSSpecific;
    pthread_mutex_lock(&pOS->mutex);
    pOS->bStart = false;
    pTask->iState.fetch_or(SYS_TASK_STATE_SUSPENDED);
    while (!pOS->bStart) {
        pthread_cond_wait(&pOS->cond, &pOS->mutex);
    }
    pthread_mutex_unlock(&pOS->mutex);
    return ERR_OK;
}

RTS_RESULT SysTaskSetExit(RTS_HANDLE hTask) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr) {
        return ERR_PARAMETER;
    }
    pTask->TP.bExit.store(1);
    return ERR_OK;
}

RTS_RESULT SysTaskJoin(RTS_HANDLE hTask, RTS_UI32 ulTimeoutMs) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr) {
        return ERR_PARAMETER;
    }
    if (pTask == t_pCurrentTask) {
        return ERR_FAILED;
    }
    if ((pTask->iState.load() & SYS_TASK_STATE_SUSPENDED) != 0 && !pTask->pOSSpecific->bStart) {
        return ERR_FAILED;
    }
    RTS_RESULT result = WaitEnded(pTask, ulTimeoutMs);
    if (result == ERR_OK) {
        JoinThread(pTask);
    }
    return result;
}

RTS_RESULT SysTaskDestroy(RTS_HANDLE hTask) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr) {
        return ERR_PARAMETER;
    }
    SysTaskOSBlock* pOS = pTask->pOSSpecific;
    if (!pOS->bJoined) {
        pthread_cancel(pOS->thread);
    }
    return ERR_OK;
}

RTS_RESULT SysTaskExit(RTS_HANDLE hTask, RTS_UI32 ulTimeoutMs) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr) {
        return ERR_PARAMETER;
    }
    if (pTask == t_pCurrentTask) {
        // A task cannot wait for itself: only ask it to end.
        pTask->TP.bExit.store(1);
        return ERR_FAILED;
    }
    SysTaskOSBlock* pOS = pTask->pOSSpecific;
    RTS_UI32 ulLimit = ulTimeoutMs;
    if (ulTimeoutMs == SYS_TASK_EXIT_TWICE_INTERVAL) {
        RTS_UI32 ulIntervalMs = pTask->ulInterval / 1000;
        ulLimit = ulIntervalMs == 0 ? 200 : 2 * ulIntervalMs;
    }
    pTask->TP.bExit.store(1);
    pthread_mutex_lock(&pOS->mutex);
    bool bNeverStarted = !pOS->bStart;
    if (bNeverStarted) {
        // Release a task that never ran: it sees bExit and ends at once.
        pOS->bStart = true;
        pthread_cond_broadcast(&pOS->cond);
    }
    pthread_mutex_unlock(&pOS->mutex);

    RTS_RESULT result = WaitEnded(pTask, bNeverStarted ? RTS_TIMEOUT_INFINITE : ulLimit);
    if (result != ERR_OK) {
        SysTaskDestroy(hTask);
        result = ERR_TIMEOUT;
        if (WaitEnded(pTask, kCancelJoinLimitMs) != ERR_OK) {
            // The thread still runs somewhere (e.g. in a call without a
            // cancellation point): keep its record and stacks alive.
            pthread_detach(pOS->thread);
            pOS->bJoined = true;
            {
                std::lock_guard<std::mutex> lock(s_listMutex);
                Tasks().erase(pTask);
            }
            s_ulAbandoned.fetch_add(1);
            return result;
        }
    }
    JoinThread(pTask);
    FreeTask(pTask);
    return result;
}

RTS_RESULT SysTaskEnd(RTS_HANDLE hTask, RTS_UINTPTR ulExitCode) {
    (void)ulExitCode;
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr || pTask != t_pCurrentTask) {
        return ERR_PARAMETER;
    }
    // Unwinds the task's stack; the end marker wakes the owner.
    pthread_exit(nullptr);
}

RTS_RESULT SysTaskWaitSleepUs(RTS_HANDLE hTask, RTS_UI32 ulMicroSeconds) {
    (void)hTask;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ulMicroSeconds / 1000000;
    deadline.tv_nsec += static_cast<long>(ulMicroSeconds % 1000000) * 1000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // An interrupted sleep goes on to the same absolute deadline.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
    return ERR_OK;
}

RTS_RESULT SysTaskWaitSleep(RTS_HANDLE hTask, RTS_UI32 ulMilliSeconds) {
    if (ulMilliSeconds > 0xFFFFFFFFu / 1000u) {
        RTS_UI32 ulRest = ulMilliSeconds;
        while (ulRest > 0) {
            RTS_UI32 ulStep = std::min<RTS_UI32>(ulRest, 1000000u);
            SysTaskWaitSleepUs(hTask, ulStep * 1000u);
            ulRest -= ulStep;
        }
        return ERR_OK;
    }
    return SysTaskWaitSleepUs(hTask, ulMilliSeconds * 1000u);
}

RTS_RESULT SysTaskSetPriority(RTS_HANDLE hTask, RTS_UI32 ulPriority) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr || ulPriority > 255) {
        return ERR_PARAMETER;
    }
    pTask->ulPriority = ulPriority;
    int policy = 0;
    int osPrio = 0;
    SysTaskMapPriority(ulPriority, &policy, &osPrio);
    struct sched_param sp;
    memset(&sp, 0, sizeof(sp));
    sp.sched_priority = policy == 1 ? osPrio : 0;
    pthread_setschedparam(pTask->pOSSpecific->thread, policy == 1 ? SCHED_FIFO : SCHED_OTHER, &sp);
    pTask->ulOSPriority = static_cast<RTS_UI32>(osPrio);
    return ERR_OK;
}

RTS_RESULT SysTaskGetPriority(RTS_HANDLE hTask, RTS_UI32* pulPriority) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr || pulPriority == nullptr) {
        return ERR_PARAMETER;
    }
    *pulPriority = pTask->ulPriority;
    return ERR_OK;
}

RTS_RESULT SysTaskGetOSPriority(RTS_HANDLE hTask, RTS_UI32* pulOSPriority) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr || pulOSPriority == nullptr) {
        return ERR_PARAMETER;
    }
    *pulOSPriority = pTask->ulOSPriority;
    return ERR_OK;
}

RTS_HANDLE SysTaskGetCurrent(RTS_RESULT* pResult) {
    if (pResult != nullptr) {
        *pResult = t_pCurrentTask != nullptr ? ERR_OK : ERR_NO_OBJECT;
    }
    return t_pCurrentTask != nullptr ? static_cast<RTS_HANDLE>(t_pCurrentTask) : RTS_INVALID_HANDLE;
}

RTS_UINTPTR SysTaskGetCurrentOSHandle(void) {
    return static_cast<RTS_UINTPTR>(pthread_self());
}

const char* SysTaskGetName(RTS_HANDLE hTask, RTS_RESULT* pResult) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pResult != nullptr) {
        *pResult = pTask != nullptr ? ERR_OK : ERR_PARAMETER;
    }
    if (pTask == nullptr) {
        return nullptr;
    }
    return pTask->pszLongName != nullptr ? pTask->pszLongName : pTask->szName;
}

RTS_RESULT SysTaskGetInfo(RTS_HANDLE hTask, SYS_TASK_INFO** ppInfo) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    if (pTask == nullptr || ppInfo == nullptr) {
        return ERR_PARAMETER;
    }
    *ppInfo = pTask;
    return ERR_OK;
}

RTS_I32 SysTaskGetStackSize(RTS_HANDLE hTask) {
    SYS_TASK_INFO* pTask = Lookup(hTask);
    return pTask != nullptr ? static_cast<RTS_I32>(pTask->ulStackSize) : -1;
}

RTS_UI32 SysTaskGetNumAbandoned(void) {
    return s_ulAbandoned.load();
}

RTS_UI32 SysTaskGetNumTasks(void) {
    std::lock_guard<std::mutex> lock(s_listMutex);
    return static_cast<RTS_UI32>(Tasks().size());
}
