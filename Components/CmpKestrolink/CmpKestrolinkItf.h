// The SDK's own runtime component CmpKestrolink (id 42): marks the runtime
// started on its first communication cycle, keeps the pool of instance
// records through which other components create connection objects, and logs
// the SDK's start-up lines.
#pragma once

#include "CmpStd.h"

// Instance record of the pool: the connection object and its name.
struct KestrolinkInstance {
    void* pObject;
    char* pszName;
};

KL_API_FUNC(RTS_HANDLE, KestrolinkCreateInstance, (RTS_RESULT * pResult));
KL_API_FUNC(RTS_RESULT, KestrolinkDeleteInstance, (RTS_HANDLE hInstance));

KL_COMPONENT_ENTRY(CmpKestrolink);

// Logs a formatted line of the SDK (component 42) to the standard logger.
void KestrolinkLog(RTS_UI32 ulClass, RTS_RESULT iErrorId, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

// Entry function of a block or gateway driver the SDK supplies itself, by
// component name; null when this build does not contain it.
PF_COMPONENT_ENTRY KestrolinkBuiltinDriverEntry(const char* pszName);
