// Dynamic modules (shared libraries) of the platform layer.
#pragma once

#include "CmpStd.h"

// Loads a module by file name; the handle is the loader's.
RTS_HANDLE SysModuleLoad(const char* pszModuleName, RTS_RESULT* pResult);
RTS_RESULT SysModuleUnload(RTS_HANDLE hModule);
RTS_VOID_FCTPTR SysModuleGetFunctionPointer(RTS_HANDLE hModule, const char* pszFunction, RTS_RESULT* pResult);
