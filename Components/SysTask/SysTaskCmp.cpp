// The task component: applies the settings of section "SysTask" (default
// stack size, priority bands) to the platform's task layer when the runtime
// starts. The tasks themselves live in the platform layer.
#include <cstdio>

#include "CMPrivate.h"
#include "SysTask.h"
#include "SysTaskItf.h"

namespace {

PF_GET_API2 s_pfGetAPI2 = nullptr;

RTS_I32 ReadSetting(PFCMSettgGetIntValue pfGet, const char* pszKey, RTS_I32 iDefault) {
    RTS_I32 value = iDefault;
    if (pfGet != nullptr) {
        pfGet("SysTask", pszKey, &value, iDefault, 0);
    }
    return value;
}

void ApplySettings() {
    PFCMSettgGetIntValue pfGet = nullptr;
    RTS_VOID_FCTPTR pf = nullptr;
    if (s_pfGetAPI2 != nullptr &&
        s_pfGetAPI2("SettgGetIntValue", &pf, CM_IMPORT_OPTION_SILENT, SIG_CMSettgGetIntValue, 0) == ERR_OK) {
        pfGet = reinterpret_cast<PFCMSettgGetIntValue>(pf);
    }
    static const char* const s_apszBands[6] = {"High",        "AboveNormal", "Normal",
                                               "BelowNormal", "Low",         "Lowest"};
    SysTaskPrioritySettings prio;
    for (int i = 0; i < 6; ++i) {
        RTS_UI32 base = static_cast<RTS_UI32>(TASKPRIO_HIGH_BASE + 32 * i);
        char szKey[48];
        snprintf(szKey, sizeof(szKey), "OSPriority.%s.Base", s_apszBands[i]);
        prio.aulBase[i] = static_cast<RTS_UI32>(ReadSetting(pfGet, szKey, static_cast<RTS_I32>(base)));
        snprintf(szKey, sizeof(szKey), "OSPriority.%s.End", s_apszBands[i]);
        prio.aulEnd[i] = static_cast<RTS_UI32>(ReadSetting(pfGet, szKey, static_cast<RTS_I32>(base + 31)));
    }
    prio.ulStackSize = static_cast<RTS_UI32>(
        ReadSetting(pfGet, "StackSize", static_cast<RTS_I32>(SYS_TASK_DEFAULT_STACKSIZE)));
    SysTaskSetPrioritySettings(&prio);
}

RTS_RESULT ExportFunctions(void) {
    return ERR_OK;
}
RTS_RESULT ImportFunctions(void) {
    return ERR_OK;
}
RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    if (ulHook == CH_INIT2) {
        ApplySettings();
    }
    return ERR_OK;
}

}  // namespace

RTS_RESULT SysTask__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_SysTask;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfGetAPI2 = pInitStruct->pfCMGetAPI2;
    return ERR_OK;
}
