// Tasks of the platform layer: every thread of the system is one. A task is
// created suspended, runs its function after SysTaskResume, polls bExit to
// learn that its owner wants it to end, and is cancelled when it does not end
// within its owner's limit.
#pragma once

#include <atomic>

#include "CmpStd.h"

struct SYS_TASK_PARAM {
    RTS_HANDLE hTask;
    std::atomic<RTS_I32> bExit;
    RTS_UI32 ulInterval;
    void* pParam;
};

typedef void (*PFSYS_TASK_FUNCTION)(SYS_TASK_PARAM* ptp);
typedef void (*PFSYS_TASK_EXCEPTION_HANDLER)(RTS_HANDLE hTask, RTS_UI32 ulException);

#define SYS_TASK_STATE_SUSPENDED 0x4
#define SYS_TASK_STATE_ENDED 0x8

#define SYS_TASK_FEATURE_AUTORELEASE 0x2

#define SYS_TASK_NAME_LEN 20
#define SYS_TASK_MIN_STACKSIZE 16384u
#define SYS_TASK_DEFAULT_STACKSIZE 0x20000u
#define SYS_TASK_ALTSTACK_SIZE 16384u
#define SYS_TASK_EXIT_TWICE_INTERVAL 0xFFFFFFFEu

// Standard priorities of the system (0 highest .. 255 lowest).
#define TASKPRIO_REALTIME_BASE 0
#define TASKPRIO_SYSTEM_BASE 32
#define TASKPRIO_HIGH_BASE 64
#define TASKPRIO_ABOVENORMAL_BASE 96
#define TASKPRIO_NORMAL_BASE 128
#define TASKPRIO_BELOWNORMAL_BASE 160
#define TASKPRIO_LOW_BASE 192
#define TASKPRIO_LOWEST_BASE 224

struct SysTaskOSBlock;

struct SYS_TASK_INFO {
    RTS_UINTPTR uiOSHandle;
    std::atomic<RTS_I32> iState;
    RTS_I32 iOldState;
    SYS_TASK_PARAM TP;
    RTS_UI32 ulCycleTime;
    RTS_UI32 ulCycleStart;
    RTS_UI32 ulPriority;
    RTS_UI32 ulOSPriority;
    RTS_UI32 ulInterval;
    RTS_UI32 ulStackSize;
    PFSYS_TASK_FUNCTION pFunction;
    char szName[SYS_TASK_NAME_LEN];
    char* pszLongName;
    PFSYS_TASK_EXCEPTION_HANDLER pExceptionHandler;
    SysTaskOSBlock* pOSSpecific;
    RTS_UI32 ulFeature;
    char* pszTaskGroup;
};

// Priority mapping settings of section "SysTask": Base and End of the six bands
// High, AboveNormal, Normal, BelowNormal, Low, Lowest (index 0..5).
struct SysTaskPrioritySettings {
    RTS_UI32 aulBase[6];
    RTS_UI32 aulEnd[6];
    RTS_UI32 ulStackSize;
};

RTS_HANDLE SysTaskCreate2(const char* pszTaskName, const char* pszTaskGroup, PFSYS_TASK_FUNCTION pFunction,
                          void* pParam, RTS_UI32 ulPriority, RTS_UI32 ulInterval, RTS_UI32 ulStackSize,
                          PFSYS_TASK_EXCEPTION_HANDLER pExceptionHandler, RTS_RESULT* pResult);
RTS_HANDLE SysTaskCreate(const char* pszTaskName, PFSYS_TASK_FUNCTION pFunction, void* pParam,
                         RTS_UI32 ulPriority, RTS_UI32 ulInterval, RTS_UI32 ulStackSize,
                         PFSYS_TASK_EXCEPTION_HANDLER pExceptionHandler, RTS_RESULT* pResult);
RTS_RESULT SysTaskResume(RTS_HANDLE hTask);
RTS_RESULT SysTaskSuspend(RTS_HANDLE hTask);
RTS_RESULT SysTaskSetExit(RTS_HANDLE hTask);
RTS_RESULT SysTaskExit(RTS_HANDLE hTask, RTS_UI32 ulTimeoutMs);
RTS_RESULT SysTaskEnd(RTS_HANDLE hTask, RTS_UINTPTR ulExitCode);
RTS_RESULT SysTaskJoin(RTS_HANDLE hTask, RTS_UI32 ulTimeoutMs);
RTS_RESULT SysTaskDestroy(RTS_HANDLE hTask);
RTS_RESULT SysTaskWaitSleep(RTS_HANDLE hTask, RTS_UI32 ulMilliSeconds);
RTS_RESULT SysTaskWaitSleepUs(RTS_HANDLE hTask, RTS_UI32 ulMicroSeconds);
RTS_RESULT SysTaskSetPriority(RTS_HANDLE hTask, RTS_UI32 ulPriority);
RTS_RESULT SysTaskGetPriority(RTS_HANDLE hTask, RTS_UI32* pulPriority);
RTS_RESULT SysTaskGetOSPriority(RTS_HANDLE hTask, RTS_UI32* pulOSPriority);
RTS_HANDLE SysTaskGetCurrent(RTS_RESULT* pResult);
RTS_UINTPTR SysTaskGetCurrentOSHandle(void);
const char* SysTaskGetName(RTS_HANDLE hTask, RTS_RESULT* pResult);
RTS_RESULT SysTaskGetInfo(RTS_HANDLE hTask, SYS_TASK_INFO** ppInfo);
RTS_I32 SysTaskGetStackSize(RTS_HANDLE hTask);

// Settings of section "SysTask", applied by the SysTask component at start-up.
void SysTaskSetPrioritySettings(const SysTaskPrioritySettings* pSettings);
void SysTaskGetPrioritySettings(SysTaskPrioritySettings* pSettings);
// Maps a system priority to the OS policy (1 = first-in-first-out real-time,
// 0 = time-shared) and OS priority under the current settings.
void SysTaskMapPriority(RTS_UI32 ulPriority, int* piPolicy, int* piOSPriority);
// Number of tasks whose threads were cancelled but could not be joined: their
// records are kept (never freed while the thread may still use them).
RTS_UI32 SysTaskGetNumAbandoned(void);
// Number of live task records.
RTS_UI32 SysTaskGetNumTasks(void);
