// Start and stop of the SDK's embedded runtime: the first connection object
// starts it, the last one stops it; between the two the idle task
// "KestrolinkIdle" drives the communication cycle every 10 ms.
#pragma once

#include "CMItf.h"

// Start result values.
#define KESTROLINK_INIT_PENDING 3

RTS_RESULT InitComponents(void);
RTS_RESULT ExitComponents(int bFinal);
RTS_RESULT ExitComponentsFinal(void);
RTS_RESULT SetSettingsFileName(const char* pszName);
RTS_RESULT KestrolinkGetInitResult(void);
void KestrolinkSetInitResult(RTS_RESULT value);
RTS_RESULT KestrolinkRegisterHookFunction(PF_HOOK_FUNCTION pfHook);
// Number of live objects that started the runtime.
int KestrolinkGetNumInstances(void);

// Loader of components for the component manager: the drivers the SDK
// supplies itself by name, anything else as a dynamic module with the entry
// "ComponentEntry".
RTS_RESULT MainLoadComponent(const char* pszName, RTS_UI32 ulOptions, RTS_HANDLE* phModule,
                             PF_COMPONENT_ENTRY* ppfEntry);
RTS_RESULT MainUnloadComponent(const char* pszName, RTS_HANDLE hModule);

// Runs a shell command ("/bin/sh -c command") and waits for it: the wait
// status, or -1. Never build the command from a file path or other input.
int rts_system(const char* pszCommand);

// The SDK's built-in component list (null-terminated).
const StaticComponent* KestrolinkStaticComponents(void);

// Test seams: shorter waits than the 20000 ms for the first cycle and the
// 2000 ms for the idle task's end, and components added to the built-in list.
void KestrolinkSetStartLimits(RTS_UI32 ulFirstCycleWaitMs, RTS_UI32 ulIdleExitWaitMs);
void KestrolinkSetExtraComponents(const StaticComponent* pComponents);
// 1 while the idle task exists.
int KestrolinkIdleTaskRunning(void);
