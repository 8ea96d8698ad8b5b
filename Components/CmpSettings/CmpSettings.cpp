// The settings component (id 26): the front end every runtime component
// imports to read its settings, and the component shape around the INI
// backend (exports, imports, hooks). The database itself is opened by the
// component manager at start-up and closed at CH_EXIT_SYSTEM.
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "CmpLogItf.h"
#include "CmpSettingsItf.h"

namespace {

PF_REGISTER_API s_pfCMRegisterAPI = nullptr;
PF_GET_API s_pfCMGetAPI = nullptr;

PFLogAdd pfLogAdd = nullptr;

RTS_SIZE WideLen(const RTS_WCHAR* pwsz, RTS_SIZE max) {
    RTS_SIZE n = 0;
    while (n < max && pwsz[n] != 0) {
        ++n;
    }
    return n;
}

void LogNoLongerSupported() {
    if (pfLogAdd != nullptr) {
        pfLogAdd(nullptr, CMPID_CmpSettings, LOG_WARNING, ERR_NOT_SUPPORTED, 0,
                 "Setting SplitDatabases is no longer supported.");
    }
}

void CheckSplitDatabases() {
    RTS_I32 bSplit = 0;
    SettgGetIntValue("CmpSettings", "SplitDatabases", &bSplit, 0, 0);
    if (bSplit == 0) {
        SettgGetIntValue("ComponentManager", "CmpSettings.SplitDatabases", &bSplit, 0, 0);
    }
    if (bSplit != 0) {
        LogNoLongerSupported();
    }
}

RTS_RESULT ExportFunctions(void) {
    if (s_pfCMRegisterAPI == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    KL_EXPORT(s_pfCMRegisterAPI, SettgSetDatabaseName);
    KL_EXPORT(s_pfCMRegisterAPI, SettgGetDatabaseName);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeginUpdate);
    KL_EXPORT(s_pfCMRegisterAPI, SettgEndUpdate);
    KL_EXPORT(s_pfCMRegisterAPI, SettgGetIntValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgSetIntValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgGetStringValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgSetStringValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgGetWStringValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgSetWStringValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgRemoveKey);
    KL_EXPORT(s_pfCMRegisterAPI, SettgClearComponent);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeInit);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeExit);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeGetDatabaseName);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeBeginUpdate);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeEndUpdate);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeUpdateCache);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeStoreDatabase);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeGetIntValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeGetStringValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeSetStringValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeGetWStringValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeSetWStringValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeGetBinValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeSetBinValue);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeRemoveKey);
    KL_EXPORT(s_pfCMRegisterAPI, SettgBeClearComponent);
    return ERR_OK;
}

// Both imports are optional: without the pool component the backend keeps
// its records on the heap, without the log component the one log line is
// dropped. The settings must work for the components that start before them.
RTS_RESULT ImportFunctions(void) {
    SettgBeImportFunctions(s_pfCMGetAPI);
    auto importLog = []() -> RTS_RESULT {
        KL_IMPORT(s_pfCMGetAPI, LogAdd);
        return ERR_OK;
    };
    importLog();
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    switch (ulHook) {
        case CH_INIT3:
            CheckSplitDatabases();
            break;
        case CH_EXIT_SYSTEM:
            SettgBeExit();
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

RTS_RESULT CmpSettings__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpSettings;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfCreateInstance = nullptr;
    pInitStruct->pfDeleteInstance = nullptr;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    return ERR_OK;
}

// ---- Front end -------------------------------------------------------------

RTS_RESULT SettgSetDatabaseName(const char* pszName) {
    if (pszName == nullptr || pszName[0] == '\0') {
        return ERR_PARAMETER;
    }
    // A second database replaces the first; its pending changes are stored.
    SettgBeExit();
    return SettgBeInit(pszName);
}

RTS_RESULT SettgGetDatabaseName(char* pszName, RTS_I32 iLen) {
    return SettgBeGetDatabaseName(pszName, iLen);
}

RTS_RESULT SettgBeginUpdate(void) {
    return SettgBeBeginUpdate();
}

RTS_RESULT SettgEndUpdate(void) {
    return SettgBeEndUpdate();
}

RTS_RESULT SettgGetIntValue(const char* pszComponent, const char* pszKey, RTS_I32* piValue, RTS_I32 iDefault,
                            int bCached) {
    if (piValue == nullptr) {
        return ERR_PARAMETER;
    }
    if (bCached) {
        SettgBeUpdateCache();
    }
    return SettgBeGetIntValue(pszComponent, pszKey, piValue, iDefault);
}

RTS_RESULT SettgSetIntValue(const char* pszComponent, const char* pszKey, RTS_I32 iValue, RTS_I32 iBase) {
    RTS_I32 current = 0;
    if (SettgBeGetIntValue(pszComponent, pszKey, &current, 0) == ERR_OK && current == iValue) {
        return ERR_OK;
    }
    char szText[40];
    RTS_UI32 ulValue = static_cast<RTS_UI32>(iValue);
    if (iBase == SETTG_BASE_HEX) {
        snprintf(szText, sizeof(szText), "0x%X", ulValue);
    } else if (iBase == SETTG_BASE_BIN) {
        int n = 0;
        bool bStarted = false;
        for (int bit = 31; bit >= 0; --bit) {
            bool bOne = ((ulValue >> bit) & 1u) != 0;
            bStarted = bStarted || bOne || bit == 0;
            if (bStarted) {
                szText[n++] = bOne ? '1' : '0';
            }
        }
        szText[n] = '\0';
    } else {
        snprintf(szText, sizeof(szText), "%d", static_cast<int>(iValue));
    }
    return SettgBeSetStringValue(pszComponent, pszKey, szText, static_cast<RTS_I32>(strlen(szText)));
}

RTS_RESULT SettgGetStringValue(const char* pszComponent, const char* pszKey, char* pszValue, RTS_I32* piLen,
                               const char* pszDefault, int bCached) {
    if (bCached) {
        SettgBeUpdateCache();
    }
    return SettgBeGetStringValue(pszComponent, pszKey, pszValue, piLen, pszDefault);
}

RTS_RESULT SettgSetStringValue(const char* pszComponent, const char* pszKey, const char* pszValue,
                               RTS_I32 iLen) {
    if (pszValue == nullptr || iLen < 0) {
        return ERR_PARAMETER;
    }
    // The whole stored value is compared: a buffer one longer than the new
    // text tells "longer" apart from "equal".
    RTS_SIZE len = strnlen(pszValue, static_cast<RTS_SIZE>(iLen));
    try {
        std::vector<char> stored(len + 2, '\0');
        RTS_I32 storedLen = static_cast<RTS_I32>(stored.size());
        if (SettgBeGetStringValue(pszComponent, pszKey, stored.data(), &storedLen, nullptr) == ERR_OK &&
            static_cast<RTS_SIZE>(storedLen) == len && memcmp(stored.data(), pszValue, len) == 0) {
            return ERR_OK;
        }
    } catch (...) {
        return ERR_NOMEMORY;
    }
    return SettgBeSetStringValue(pszComponent, pszKey, pszValue, iLen);
}

RTS_RESULT SettgGetWStringValue(const char* pszComponent, const char* pszKey, RTS_WCHAR* pwszValue,
                                RTS_I32* piLen, const RTS_WCHAR* pwszDefault, int bCached) {
    if (bCached) {
        SettgBeUpdateCache();
    }
    return SettgBeGetWStringValue(pszComponent, pszKey, pwszValue, piLen, pwszDefault);
}

RTS_RESULT SettgSetWStringValue(const char* pszComponent, const char* pszKey, const RTS_WCHAR* pwszValue,
                                RTS_I32 iLen) {
    if (pwszValue == nullptr || iLen < 0) {
        return ERR_PARAMETER;
    }
    RTS_SIZE len = WideLen(pwszValue, static_cast<RTS_SIZE>(iLen));
    try {
        std::vector<RTS_WCHAR> stored(len + 2, 0);
        RTS_I32 storedLen = static_cast<RTS_I32>(stored.size());
        if (SettgBeGetWStringValue(pszComponent, pszKey, stored.data(), &storedLen, nullptr) == ERR_OK &&
            static_cast<RTS_SIZE>(storedLen) == len &&
            memcmp(stored.data(), pwszValue, len * sizeof(RTS_WCHAR)) == 0) {
            return ERR_OK;
        }
    } catch (...) {
        return ERR_NOMEMORY;
    }
    return SettgBeSetWStringValue(pszComponent, pszKey, pwszValue, iLen);
}

RTS_RESULT SettgRemoveKey(const char* pszComponent, const char* pszKey) {
    return SettgBeRemoveKey(pszComponent, pszKey);
}

RTS_RESULT SettgClearComponent(const char* pszComponent) {
    return SettgBeClearComponent(pszComponent);
}
