// The SDK's runtime component. Its hook drives the start result: pending at
// CH_INIT and CH_EXIT_COMM, started at the first communication cycle after a
// start, failed in safe mode.
#include "CmpKestrolinkItf.h"

#include "CmpBlkDrvTcpItf.h"
#include "CmpBlkDrvUdpItf.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "CmpKestrolinkMain.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "kestrolink/Kestrolink.h"

namespace {

constexpr int kMaxHookFunctions = 2;
constexpr RTS_SIZE kInstancePoolRecords = 5;

PF_GET_API s_pfGetAPI = nullptr;
PF_REGISTER_API s_pfRegisterAPI = nullptr;

PFLogAddArg pfLogAddArg = nullptr;
PFMemPoolCreateStatic pfMemPoolCreateStatic = nullptr;
PFMemPoolDelete pfMemPoolDelete = nullptr;
PFMemPoolGetBlock2 pfMemPoolGetBlock2 = nullptr;
PFMemPoolPutBlock pfMemPoolPutBlock = nullptr;
PFMemPoolAddUsedBlock pfMemPoolAddUsedBlock = nullptr;
PFMemPoolRemoveUsedBlock pfMemPoolRemoveUsedBlock = nullptr;
PFMemPoolLock pfMemPoolLock = nullptr;
PFMemPoolUnlock pfMemPoolUnlock = nullptr;

std::atomic<int> s_iNumCalledCommCycleHooks{0};
PF_HOOK_FUNCTION s_apfHookFunctions[kMaxHookFunctions] = {nullptr, nullptr};
std::atomic<int> s_iNumHookFunctions{0};
RTS_HANDLE s_hKestrolinkInstancesPool = RTS_INVALID_HANDLE;
alignas(8) unsigned char s_instancePoolArea[MemPoolStaticAreaSize(kInstancePoolRecords,
                                                                  sizeof(KestrolinkInstance))];

void CallRegisteredHooks(RTS_UI32 ulHook, RTS_UINTPTR p1, RTS_UINTPTR p2) {
    int n = s_iNumHookFunctions.load();
    for (int i = 0; i < n && i < kMaxHookFunctions; ++i) {
        if (s_apfHookFunctions[i] != nullptr) {
            s_apfHookFunctions[i](ulHook, p1, p2);
        }
    }
}

RTS_RESULT ExportFunctions(void) {
    KL_EXPORT(s_pfRegisterAPI, KestrolinkCreateInstance);
    KL_EXPORT(s_pfRegisterAPI, KestrolinkDeleteInstance);
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    KL_IMPORT(s_pfGetAPI, MemPoolCreateStatic);
    KL_IMPORT(s_pfGetAPI, MemPoolDelete);
    KL_IMPORT(s_pfGetAPI, MemPoolGetBlock2);
    KL_IMPORT(s_pfGetAPI, MemPoolPutBlock);
    KL_IMPORT(s_pfGetAPI, MemPoolAddUsedBlock);
    KL_IMPORT(s_pfGetAPI, MemPoolRemoveUsedBlock);
    KL_IMPORT(s_pfGetAPI, MemPoolLock);
    KL_IMPORT(s_pfGetAPI, MemPoolUnlock);
    KL_IMPORT(s_pfGetAPI, LogAddArg);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR p1, RTS_UINTPTR p2) {
    switch (ulHook) {
        case CH_INIT:
        case CH_EXIT_COMM:
            KestrolinkSetInitResult(KESTROLINK_INIT_PENDING);
            s_iNumCalledCommCycleHooks = 0;
            break;
        case CH_INIT2:
            if (s_hKestrolinkInstancesPool == RTS_INVALID_HANDLE && pfMemPoolCreateStatic != nullptr) {
                s_hKestrolinkInstancesPool = pfMemPoolCreateStatic(
                    sizeof(KestrolinkInstance), sizeof(s_instancePoolArea), s_instancePoolArea, nullptr);
            }
            CallRegisteredHooks(ulHook, p1, p2);
            break;
        case CH_EXIT2:
            if (s_hKestrolinkInstancesPool != RTS_INVALID_HANDLE && pfMemPoolDelete != nullptr) {
                pfMemPoolDelete(s_hKestrolinkInstancesPool, "CmpKestrolink");
            }
            s_hKestrolinkInstancesPool = RTS_INVALID_HANDLE;
            CallRegisteredHooks(ulHook, p1, p2);
            break;
        case CH_COMM_CYCLE:
            if (s_iNumCalledCommCycleHooks.fetch_add(1) == 0 &&
                KestrolinkGetInitResult() == KESTROLINK_INIT_PENDING) {
                KestrolinkSetInitResult(ERR_OK);
            }
            break;
        case CH_SAFEMODE:
            KestrolinkSetInitResult(ERR_FAILED);
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

RTS_RESULT KestrolinkRegisterHookFunction(PF_HOOK_FUNCTION pfHook) {
    int n = s_iNumHookFunctions.load();
    if (n >= kMaxHookFunctions) {
        return ERR_FAILED;
    }
    s_apfHookFunctions[n] = pfHook;
    s_iNumHookFunctions = n + 1;
    return ERR_OK;
}

RTS_HANDLE KestrolinkCreateInstance(RTS_RESULT* pResult) {
    auto fail = [pResult]() {
        if (pResult != nullptr) {
            *pResult = ERR_NO_OBJECT;
        }
        return RTS_INVALID_HANDLE;
    };
    RTS_HANDLE hPool = s_hKestrolinkInstancesPool;
    if (hPool == RTS_INVALID_HANDLE || pfMemPoolGetBlock2 == nullptr || pfMemPoolPutBlock == nullptr ||
        pfMemPoolAddUsedBlock == nullptr || pfMemPoolLock == nullptr || pfMemPoolUnlock == nullptr) {
        return fail();
    }
    pfMemPoolLock(hPool);
    RTS_RESULT result = ERR_FAILED;
    auto* pInstance =
        static_cast<KestrolinkInstance*>(pfMemPoolGetBlock2(hPool, 1, "CmpKestrolink", &result));
    pfMemPoolUnlock(hPool);
    if (pInstance == nullptr || result != ERR_OK) {
        return fail();
    }
    // The connection object starts no runtime of its own here (the runtime
    // runs already); it is made outside the pool lock all the same.
    RTS_UINTPTR hKestrolink = KestrolinkInit(nullptr, nullptr, nullptr);
    if (hKestrolink == 0) {
        pfMemPoolLock(hPool);
        pfMemPoolPutBlock(pInstance);
        pfMemPoolUnlock(hPool);
        return fail();
    }
    KestrolinkSetClientInformation(hKestrolink, "Malvora Symbolic data source", KESTROLINK_VENDOR_NAME,
                                   "3.5.17.20", 0xD520);
    pInstance->pObject = reinterpret_cast<void*>(hKestrolink);
    pInstance->pszName = nullptr;
    pfMemPoolLock(hPool);
    pfMemPoolAddUsedBlock(pInstance);
    pfMemPoolUnlock(hPool);
    if (pResult != nullptr) {
        *pResult = ERR_OK;
    }
    return pInstance;
}

RTS_RESULT KestrolinkDeleteInstance(RTS_HANDLE hInstance) {
    if (hInstance == nullptr || hInstance == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    auto* pInstance = static_cast<KestrolinkInstance*>(hInstance);
    RTS_HANDLE hPool = s_hKestrolinkInstancesPool;
    delete[] pInstance->pszName;
    pInstance->pszName = nullptr;
    KestrolinkExit(reinterpret_cast<RTS_UINTPTR>(pInstance->pObject));
    pInstance->pObject = nullptr;
    if (hPool != RTS_INVALID_HANDLE && pfMemPoolRemoveUsedBlock != nullptr && pfMemPoolPutBlock != nullptr) {
        pfMemPoolLock(hPool);
        pfMemPoolRemoveUsedBlock(pInstance);
        pfMemPoolPutBlock(pInstance);
        pfMemPoolUnlock(hPool);
    }
    return ERR_OK;
}

void KestrolinkLog(RTS_UI32 ulClass, RTS_RESULT iErrorId, const char* pszFormat, ...) {
    PFLogAddArg pfLog = pfLogAddArg;
    if (pfLog == nullptr) {
        return;
    }
    char szText[256];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    auto call = [pfLog, ulClass, iErrorId](const char* pszFmt, ...) {
        va_list a;
        va_start(a, pszFmt);
        pfLog(nullptr, CMPID_CmpKestrolink, ulClass, iErrorId, 0, pszFmt, a);
        va_end(a);
    };
    call("%s", szText);
}

PF_COMPONENT_ENTRY KestrolinkBuiltinDriverEntry(const char* pszName) {
    // The gateway and serial/shared-memory drivers join this table as they are built.
    if (pszName == nullptr) {
        return nullptr;
    }
    if (strcmp(pszName, "CmpBlkDrvTcp") == 0) {
        return CmpBlkDrvTcp__Entry;
    }
    if (strcmp(pszName, "CmpBlkDrvUdp") == 0) {
        return CmpBlkDrvUdp__Entry;
    }
    return nullptr;
}

RTS_RESULT CmpKestrolink__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpKestrolink;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfGetAPI = pInitStruct->pfCMGetAPI;
    s_pfRegisterAPI = pInitStruct->pfCMRegisterAPI;
    return ERR_OK;
}
