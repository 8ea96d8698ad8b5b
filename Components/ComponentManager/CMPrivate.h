// Internals of the component manager shared between its files and its tests.
#pragma once

#include <cstdarg>

#include "CMItf.h"

// Prototypes of the functions the manager itself resolves from the log and
// settings components. The lookups pass no signature: the manager must start
// even with components built apart from it.
typedef RTS_RESULT (*PFCMLogAddArg)(RTS_HANDLE hLogger, RTS_UI32 CmpId, RTS_UI32 iClassID,
                                    RTS_RESULT iErrorID, RTS_UI32 iInfoID, const char* pszInfo,
                                    va_list argList);
typedef RTS_RESULT (*PFCMSettgGetIntValue)(const char* pszComponent, const char* pszKey, RTS_I32* piValue,
                                           RTS_I32 iDefault, int bCached);
typedef RTS_RESULT (*PFCMSettgGetStringValue)(const char* pszComponent, const char* pszKey, char* pszValue,
                                              RTS_I32* piLen, const char* pszDefault, int bCached);
typedef RTS_RESULT (*PFCMSettgSetDatabaseName)(const char* pszName);
constexpr RTS_UI32 SIG_CMLogAddArg = 0;
constexpr RTS_UI32 SIG_CMSettgGetIntValue = 0;
constexpr RTS_UI32 SIG_CMSettgGetStringValue = 0;
constexpr RTS_UI32 SIG_CMSettgSetDatabaseName = 0;

typedef void (*PF_CM_LOG_OBSERVER)(RTS_UI32 ulClass, const char* pszText);

// Logs a line of the manager (component 1) through the log component when it
// is resolved, and to the observer a test installed.
void CMLogAdd(RTS_UI32 ulClass, RTS_RESULT iErrorId, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
void CMLogText(PFCMLogAddArg pfLog, RTS_UI32 ulClass, RTS_RESULT iErrorId, const char* pszFormat, ...);
void CMSetLogObserver(PF_CM_LOG_OBSERVER pfObserver);

// Components the manager always adds right after itself (the platform layer's).
const StaticComponent* CMBuiltinSystemComponents(void);

RTS_RESULT CMGetAPIToResolve(const char** ppszName, int* pOptions, RTS_UI32* pulSignature,
                             RTS_UI32* pulVersion);
RTS_UI32 CMGetCommCycleInterval(void);
RTS_UI32 CMGetLastCommCycle(void);
