// Interface of the component manager: start and stop of the runtime, the
// component table, function lookup by name, classes and instances, hooks.
// Components import the functions below through pfCMGetAPI like any other
// component's functions; the SDK's start-up code calls them directly.
#pragma once

#include "CmpStd.h"

// Built-in component list entry; a list ends with a null name.
struct StaticComponent {
    const char* pszCmpName;
    PF_COMPONENT_ENTRY pfCmpEntry;
    int bSystem;
};

struct COMPONENT_ENTRY {
    RTS_UI32 Id;
    const char* pszName;
    RTS_HANDLE hModule;
    RTS_UI32 ulVersion;
    PF_COMPONENT_ENTRY pfEntry;
    PF_EXPORT_FUNCTIONS pfExportFunctions;
    PF_IMPORT_FUNCTIONS pfImportFunctions;
    PF_GET_VERSION pfGetVersion;
    PF_HOOK_FUNCTION pfHookFunction;
    PF_CMP_CREATE_INSTANCE pfCreateInstance;
    PF_CMP_DELETE_INSTANCE pfDeleteInstance;
    RTS_UI16 iState;
    RTS_UI16 iType;
    RTS_UI8 bStaticName;
};

// COMPONENT_ENTRY.iState
#define CM_STATE_ADDED 2
#define CM_STATE_IMPORT_FAILED 3
#define CM_STATE_INITIALIZED 4
#define CM_STATE_RUNNING 5
// COMPONENT_ENTRY.iType
#define CM_TYPE_SYSTEM 0x1
#define CM_TYPE_DYNAMIC 0x2
#define CM_TYPE_SYSCOMPONENT 0x4
#define CM_TYPE_STATIC 0x8
#define CM_TYPE_LIBRARY 0x10

// CMInit2 options
#define CM_INIT_OPTION_NO_SETTINGS_REQUIRED 0x1
#define CM_INIT_OPTION_NO_INIT_END 0x2
#define CM_INIT_OPTION_HOOKS_TASK 0x4
#define CM_INIT_OPTION_COMM_CYCLE_TASK 0x8

// CMGetAPI3 import options
#define CM_IMPORT_OPTION_SILENT 0x2

struct RTS_ID_TO_NAME {
    RTS_UI32 id;
    const char* pszName;
};

struct ClassEntry;
struct InstanceEntry;

// Loader of components by name (dynamic modules and the drivers the SDK
// supplies itself); installed by the SDK's start-up code.
typedef RTS_RESULT (*PF_MAIN_LOAD_COMPONENT)(const char* pszName, RTS_UI32 ulOptions, RTS_HANDLE* phModule,
                                             PF_COMPONENT_ENTRY* ppfEntry);
typedef RTS_RESULT (*PF_MAIN_UNLOAD_COMPONENT)(const char* pszName, RTS_HANDLE hModule);
typedef RTS_RESULT (*PF_CM_GLOBAL_HOOK)(RTS_UI32 ulHook, RTS_UINTPTR ulParam1, RTS_UINTPTR ulParam2);

// Start and stop.
RTS_RESULT CMInit(const char* pszSettingsFile, const StaticComponent* pStaticComponents);
RTS_RESULT CMInit2(const char* pszSettingsFile, const StaticComponent* pStaticComponents, int options);
RTS_RESULT CMInit3(const char* pszSettingsFile, const StaticComponent* pStaticComponents, int options);
RTS_RESULT CMInitSequence(const RTS_ID_TO_NAME* pEntries, int iCount);
RTS_RESULT CMExitSequence(const RTS_ID_TO_NAME* pEntries, int iCount);
RTS_RESULT CMExit(void);
RTS_RESULT CMSetExit(void);
RTS_RESULT CMGetExit(void);
void CMSetLoader(PF_MAIN_LOAD_COMPONENT pfLoad, PF_MAIN_UNLOAD_COMPONENT pfUnload);
void CMSetGlobalHookCallback(PF_CM_GLOBAL_HOOK pfHook);
// 1 while a runtime is started (between CMInit and CMExit).
int CMIsRunning(void);

// Components.
KL_API_FUNC(COMPONENT_ENTRY*, CMAddComponent,
            (const char* pszComponent, PF_COMPONENT_ENTRY pfEntry, RTS_UI16 iType, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, CMRemoveComponent, (const char* pszComponent));
KL_API_FUNC(RTS_RESULT, CMRemoveComponentById, (RTS_UI32 CmpId));
KL_API_FUNC(COMPONENT_ENTRY*, CMLoadComponent, (const char* pszComponent, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, CMUnloadComponent, (const char* pszComponent));
KL_API_FUNC(RTS_RESULT, CMInitComponent, (COMPONENT_ENTRY * pCmp));
KL_API_FUNC(RTS_RESULT, CMExitComponent, (COMPONENT_ENTRY * pCmp));
KL_API_FUNC(COMPONENT_ENTRY*, CMGetComponentByName, (const char* pszComponent, RTS_RESULT* pResult));
KL_API_FUNC(COMPONENT_ENTRY*, CMGetComponent, (RTS_UI32 CmpId, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, CMGetCmpId, (const char* pszComponent, RTS_UI32* pCmpId));
KL_API_FUNC(RTS_RESULT, CMGetCmpName, (RTS_UI32 CmpId, char* pszName, int nMaxLen));
KL_API_FUNC(int, CMGetNumOfComponents, (void));
KL_API_FUNC(COMPONENT_ENTRY*, CMGetComponentByIndex, (int i, RTS_RESULT* pResult));
KL_API_FUNC(COMPONENT_ENTRY*, CMGetFirstComponent, (RTS_RESULT * pResult));
KL_API_FUNC(COMPONENT_ENTRY*, CMGetNextComponent, (COMPONENT_ENTRY * pPrev, RTS_RESULT* pResult));

// Functions.
KL_API_EXPORT(RTS_RESULT, CMRegisterAPI,
              (const char* pszAPIName, RTS_VOID_FCTPTR pfAPIFunction, int bExternalLibrary,
               RTS_UI32 ulSignatureID));
KL_API_EXPORT(RTS_RESULT, CMRegisterAPI2,
              (const char* pszAPIName, RTS_VOID_FCTPTR pfAPIFunction, int bExternalLibrary,
               RTS_UI32 ulSignatureID, RTS_UI32 ulVersion));
KL_API_EXPORT(RTS_RESULT, CMGetAPI,
              (const char* pszAPIName, RTS_VOID_FCTPTR* ppfAPIFunction, RTS_UI32 ulSignatureID));
KL_API_EXPORT(RTS_RESULT, CMGetAPI2,
              (const char* pszAPIName, RTS_VOID_FCTPTR* ppfAPIFunction, int importOptions,
               RTS_UI32 ulSignatureID, RTS_UI32 ulVersion));
KL_API_EXPORT(RTS_RESULT, CMGetAPI3,
              (const char* pszAPIName, RTS_VOID_FCTPTR* ppfAPIFunction, int importOptions,
               RTS_UI32* pulSignatureID, RTS_UI32* pulVersion));
KL_API_FUNC(RTS_RESULT, CMReleaseAPI, (const char* pszAPIName));

// Classes and instances. An instance is identified by its base interface.
KL_API_FUNC(RTS_RESULT, CMRegisterClass, (RTS_UI32 CmpId, RTS_UI32 ClassId));
KL_API_FUNC(RTS_RESULT, CMUnregisterClass, (RTS_UI32 ClassId));
KL_API_FUNC(RTS_HANDLE, CMCreateInstance, (RTS_UI32 ClassId, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, CMDeleteInstance2, (RTS_UI32 ClassId, void* pIBase));
KL_API_FUNC(RTS_RESULT, CMRegisterInstance, (RTS_UI32 ClassId, RTS_UI32 ObjId, void* pIBase));
KL_API_FUNC(RTS_RESULT, CMUnregisterInstance, (RTS_UI32 ClassId, void* pIBase));
KL_API_FUNC(void*, CMGetInstance, (RTS_UI32 ClassId, RTS_UI32 ObjId, RTS_RESULT* pResult));
KL_API_FUNC(int, CMGetInstanceList, (RTS_UI32 ClassId, void** ppIBase, int iMax));

// Hooks.
KL_API_FUNC(RTS_RESULT, CMCallHook,
            (RTS_UI32 ulHook, RTS_UINTPTR ulParam1, RTS_UINTPTR ulParam2, int bReverse));
KL_API_FUNC(RTS_RESULT, CMCallHook2,
            (RTS_UI32 ulTypeMask, RTS_UI32 ulHook, RTS_UINTPTR ulParam1, RTS_UINTPTR ulParam2));
KL_API_FUNC(RTS_UI32, CMGetCurrentHook, (void));
KL_API_FUNC(const char*, CMGetHookName, (RTS_UI32 ulHook, RTS_RESULT* pResult));
KL_API_FUNC(const RTS_ID_TO_NAME*, CMGetHookEntries, (RTS_UI32 ulFirst, RTS_UI32 ulLast, int* piCount));

// Locks.
KL_API_FUNC(RTS_HANDLE, CMLockCreate, (RTS_RESULT * pResult));
KL_API_FUNC(RTS_RESULT, CMLockDelete, (RTS_HANDLE hLock));
KL_API_FUNC(RTS_RESULT, CMLockEnter, (RTS_HANDLE hLock));
KL_API_FUNC(RTS_RESULT, CMLockLeave, (RTS_HANDLE hLock));

KL_COMPONENT_ENTRY(CM);
