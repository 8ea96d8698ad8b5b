// Linux implementation of dynamic modules over dlopen.
#include "SysModule.h"

#include <dlfcn.h>

RTS_HANDLE SysModuleLoad(const char* pszModuleName, RTS_RESULT* pResult) {
    void* h = pszModuleName != nullptr ? dlopen(pszModuleName, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (pResult != nullptr) {
        *pResult = h != nullptr ? ERR_OK : (pszModuleName == nullptr ? ERR_PARAMETER : ERR_NO_OBJECT);
    }
    return h != nullptr ? h : RTS_INVALID_HANDLE;
}

RTS_RESULT SysModuleUnload(RTS_HANDLE hModule) {
    if (hModule == nullptr || hModule == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    return dlclose(hModule) == 0 ? ERR_OK : ERR_FAILED;
}

RTS_VOID_FCTPTR SysModuleGetFunctionPointer(RTS_HANDLE hModule, const char* pszFunction,
                                            RTS_RESULT* pResult) {
    if (hModule == nullptr || hModule == RTS_INVALID_HANDLE || pszFunction == nullptr) {
        if (pResult != nullptr) {
            *pResult = ERR_PARAMETER;
        }
        return nullptr;
    }
    void* p = dlsym(hModule, pszFunction);
    if (pResult != nullptr) {
        *pResult = p != nullptr ? ERR_OK : ERR_NO_OBJECT;
    }
    return reinterpret_cast<RTS_VOID_FCTPTR>(p);
}
