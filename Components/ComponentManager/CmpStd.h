// Basic types, result codes and the component shape shared by every runtime
// component. A component is an entry function (<Name>__Entry) that fills an
// INIT_STRUCT with its export, import and hook functions; components reach one
// another only through function pointers resolved by the component manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kestrolink/KestrolinkExport.h"

typedef int32_t RTS_RESULT;
typedef int8_t RTS_I8;
typedef uint8_t RTS_UI8;
typedef int16_t RTS_I16;
typedef uint16_t RTS_UI16;
typedef int32_t RTS_I32;
typedef uint32_t RTS_UI32;
typedef int64_t RTS_I64;
typedef uint64_t RTS_UI64;
typedef uintptr_t RTS_UINTPTR;
typedef uintptr_t RTS_SIZE;
typedef int32_t RTS_BOOL;
typedef uint16_t RTS_WCHAR;
typedef void* RTS_HANDLE;

// Handles are pointer-sized; the invalid handle has all bits set at pointer width.
#define RTS_INVALID_HANDLE ((RTS_HANDLE)(~(uintptr_t)0))
#define RTS_TIMEOUT_INFINITE 0xFFFFFFFFu

// Result codes of the runtime (0 = success).
#define ERR_OK 0
#define ERR_FAILED 1
#define ERR_PARAMETER 2
#define ERR_NOTINITIALIZED 3
#define ERR_VERSION 4
#define ERR_TIMEOUT 5
#define ERR_NOBUFFER 6
#define ERR_PENDING 10
#define ERR_NUMPENDING 11
#define ERR_NOT_IMPLEMENTED 12
#define ERR_INVALID_ID 13
#define ERR_OVERFLOW 14
#define ERR_BUFFERSIZE 15
#define ERR_NO_OBJECT 16
#define ERR_NOMEMORY 17
#define ERR_DUPLICATE 18
#define ERR_MEMORYOVERWRITE 19
#define ERR_INVALID_HANDLE 20
#define ERR_END_OF_OBJECT 21
#define ERR_NO_CHANGE 22
#define ERR_INVALID_ACCESS 23
#define ERR_NOT_SUPPORTED 24
#define ERR_NO_ACCESS_RIGHTS 25
#define ERR_OUT_OF_LIMITS 26
#define ERR_ENTRIES_REMAINING 27
#define ERR_CHECK_SIGNATURE 30
#define ERR_CHECK_VERSION 31
#define ERR_CALLAGAIN 34
#define ERR_EXCEPTION 38
#define ERR_STOP_HOOK_WALK 75

// Log classes.
#define LOG_INFO 0x1
#define LOG_WARNING 0x2
#define LOG_ERROR 0x4
#define LOG_EXCEPTION 0x8
#define LOG_DEBUG 0x10
#define LOG_PRINTF 0x20
#define LOG_COM 0x40
#define LOG_TIMEREL 0x80
#define LOG_USER_NOTIFY 0x10000

// Component ids of the runtime.
#define CMPID_CM 1
#define CMPID_CmpBinTagUtil 4
#define CMPID_CmpChecksum 11
#define CMPID_CmpLog 19
#define CMPID_CmpSettings 26
#define CMPID_CmpMemPool 30
#define CMPID_CmpRouter 33
#define CMPID_CmpBlkDrvTcp 34
#define CMPID_CmpChannelClient 35
#define CMPID_CmpChannelMgr 36
#define CMPID_CmpKestrolink 42
#define CMPID_CmpXMLParser 47
#define CMPID_CmpLogBackendFile 0x2013
#define CMPID_SysTask 0x1001
#define CMPID_SysSem 0x1002
#define CMPID_SysEvent 0x1003
#define CMPID_SysTime 0x1004
#define CMPID_SysFile 0x1005
#define CMPID_SysCpu 0x1006

// Hook numbers.
#define CH_INIT_SYSTEM 1
#define CH_INIT 2
#define CH_INIT2 3
#define CH_INIT3 4
#define CH_INIT_TASKS 5
#define CH_INIT_COMM 6
#define CH_PRE_INIT3 7
#define CH_INIT_SYSTEM2 8
#define CH_EXIT_COMM 10
#define CH_EXIT_TASKS 11
#define CH_EXIT3 12
#define CH_EXIT2 13
#define CH_EXIT 14
#define CH_EXIT_SYSTEM 15
#define CH_EXIT_GARBAGEMEMORY 16
#define CH_EXIT_SYSTEM2 17
#define CH_COMM_CYCLE 20
#define CH_ON_IMPORT 23
#define CH_ON_IMPORT_RELEASE 24
#define CH_ON_LOAD_COMPONENT 25
#define CH_ON_UNLOAD_COMPONENT 26
#define CH_ON_REGISTER_INSTANCE 27
#define CH_ON_UNREGISTER_INSTANCE 28
#define CH_POST_INIT 200
#define CH_PRE_INIT2 250
#define CH_INIT_SYSTEM_TASKS 500
#define CH_INIT_FINISHED 1000
#define CH_EXIT_SYSTEM_TASKS 2200
#define CH_SAFEMODE 4000

typedef void (*RTS_VOID_FCTPTR)(void);

typedef RTS_RESULT (*PF_REGISTER_API)(const char* pszAPIName, RTS_VOID_FCTPTR pfAPIFunction,
                                      int bExternalLibrary, RTS_UI32 ulSignatureID);
typedef RTS_RESULT (*PF_GET_API)(const char* pszAPIName, RTS_VOID_FCTPTR* ppfAPIFunction,
                                 RTS_UI32 ulSignatureID);
typedef RTS_RESULT (*PF_CALL_HOOK)(RTS_UI32 ulHook, RTS_UINTPTR ulParam1, RTS_UINTPTR ulParam2, int bReverse);
typedef RTS_RESULT (*PF_REGISTER_CLASS)(RTS_UI32 CmpId, RTS_UI32 ClassId);
typedef RTS_HANDLE (*PF_CREATE_INSTANCE)(RTS_UI32 ClassId, RTS_RESULT* pResult);
typedef RTS_RESULT (*PF_REGISTER_API2)(const char* pszAPIName, RTS_VOID_FCTPTR pfAPIFunction,
                                       int bExternalLibrary, RTS_UI32 ulSignatureID, RTS_UI32 ulVersion);
typedef RTS_RESULT (*PF_GET_API2)(const char* pszAPIName, RTS_VOID_FCTPTR* ppfAPIFunction, int importOptions,
                                  RTS_UI32 ulSignatureID, RTS_UI32 ulVersion);
typedef RTS_RESULT (*PF_DELETE_INSTANCE2)(RTS_UI32 ClassId, void* pIBase);

typedef RTS_RESULT (*PF_EXPORT_FUNCTIONS)(void);
typedef RTS_RESULT (*PF_IMPORT_FUNCTIONS)(void);
typedef RTS_UI32 (*PF_GET_VERSION)(void);
typedef RTS_RESULT (*PF_HOOK_FUNCTION)(RTS_UI32 ulHook, RTS_UINTPTR ulParam1, RTS_UINTPTR ulParam2);
// A component's own instance factory: returns the new instance's base interface.
typedef void* (*PF_CMP_CREATE_INSTANCE)(RTS_UI32 ClassId, RTS_RESULT* pResult);
typedef RTS_RESULT (*PF_CMP_DELETE_INSTANCE)(void* pIBase);

struct INIT_STRUCT {
    // Filled by the component's entry function.
    RTS_UI32 CmpId;
    PF_EXPORT_FUNCTIONS pfExportFunctions;
    PF_IMPORT_FUNCTIONS pfImportFunctions;
    PF_GET_VERSION pfGetVersion;
    PF_CMP_CREATE_INSTANCE pfCreateInstance;
    PF_CMP_DELETE_INSTANCE pfDeleteInstance;
    PF_HOOK_FUNCTION pfHookFunction;
    // Handed from the manager to the component.
    PF_REGISTER_API pfCMRegisterAPI;
    PF_GET_API pfCMGetAPI;
    PF_CALL_HOOK pfCMCallHook;
    PF_REGISTER_CLASS pfCMRegisterClass;
    PF_CREATE_INSTANCE pfCMCreateInstance;
    PF_REGISTER_API2 pfCMRegisterAPI2;
    PF_GET_API2 pfCMGetAPI2;
    PF_DELETE_INSTANCE2 pfCMDeleteInstance2;
};
typedef RTS_RESULT (*PF_COMPONENT_ENTRY)(INIT_STRUCT* pInitStruct);

// Signatures identify a function's prototype so that a lookup by name refuses a
// function of another shape. They are FNV-1a hashes of the prototype's text.
constexpr RTS_UI32 KlSignature(const char* text) {
    RTS_UI32 h = 2166136261u;
    while (*text != 0) {
        h = (h ^ static_cast<RTS_UI8>(*text)) * 16777619u;
        ++text;
    }
    return h == 0 ? 1u : h;
}

// Declares the pointer type PF<name> and the signature SIG_<name> of an exported
// function. The exporting component defines the function with the same prototype.
#define KL_API(ret, name, args)  \
    typedef ret(*PF##name) args; \
    constexpr RTS_UI32 SIG_##name = KlSignature(#ret #args)

// In an import function: resolve a function that may be missing into
// pf<name>, which stays null then (silently: the lookup logs nothing).
#define KL_IMPORT_OPTIONAL(pfGetApi2, name)                                                             \
    do {                                                                                                \
        RTS_VOID_FCTPTR _p = nullptr;                                                                   \
        bool _bFound = (pfGetApi2) != nullptr && (pfGetApi2)(#name, &_p, 0x2, SIG_##name, 0) == ERR_OK; \
        pf##name = _bFound ? reinterpret_cast<PF##name>(_p) : nullptr;                                  \
    } while (0)

// KL_API plus the function's declaration, for the exporting component and its
// tests. Other components never call it directly: they import PF<name>.
#define KL_API_FUNC(ret, name, args) \
    KL_API(ret, name, args);         \
    ret name args

// KL_API plus an exported declaration with C linkage: for the few functions
// that dynamically loaded components and other programs call by their name.
#define KL_API_EXPORT(ret, name, args) \
    KL_API(ret, name, args);           \
    extern "C" KESTROLINK_API ret name args

// Declares a component's entry function, exported with C linkage under its
// own name (<Name>__Entry).
#define KL_COMPONENT_ENTRY(name) extern "C" KESTROLINK_API RTS_RESULT name##__Entry(INIT_STRUCT* pInitStruct)

// In an export function: register one function under its own name. The
// static_assert keeps the definition and the published prototype in step.
#define KL_EXPORT(pfRegister, name)                                                                   \
    do {                                                                                              \
        static_assert(std::is_same<decltype(&name), PF##name>::value, "prototype of " #name);         \
        RTS_RESULT _r = (pfRegister)(#name, reinterpret_cast<RTS_VOID_FCTPTR>(&name), 0, SIG_##name); \
        if (_r != ERR_OK)                                                                             \
            return _r;                                                                                \
    } while (0)

// In an import function: resolve one function into the variable pf<name>.
#define KL_IMPORT(pfGetApi, name)                                                                        \
    do {                                                                                                 \
        RTS_VOID_FCTPTR _p = nullptr;                                                                    \
        RTS_RESULT _r = (pfGetApi) != nullptr ? (pfGetApi)(#name, &_p, SIG_##name) : ERR_NOTINITIALIZED; \
        if (_r != ERR_OK) {                                                                              \
            pf##name = nullptr;                                                                          \
            return _r;                                                                                   \
        }                                                                                                \
        pf##name = reinterpret_cast<PF##name>(_p);                                                       \
    } while (0)

// Bounded text copy into a fixed-size buffer: copies at most size - 1 bytes
// and terminates; a size of 0 writes nothing. Returns 0 when the whole text
// fitted, ERR_BUFFERSIZE when it was cut, ERR_PARAMETER for a missing buffer.
inline RTS_RESULT KlStrCopy(char* pszDest, RTS_SIZE size, const char* pszSrc) {
    if (pszDest == nullptr || size == 0) {
        return pszDest == nullptr ? ERR_PARAMETER : ERR_BUFFERSIZE;
    }
    if (pszSrc == nullptr) {
        pszDest[0] = '\0';
        return ERR_OK;
    }
    RTS_SIZE i = 0;
    for (; i + 1 < size && pszSrc[i] != '\0'; ++i) {
        pszDest[i] = pszSrc[i];
    }
    pszDest[i] = '\0';
    return pszSrc[i] == '\0' ? ERR_OK : ERR_BUFFERSIZE;
}
