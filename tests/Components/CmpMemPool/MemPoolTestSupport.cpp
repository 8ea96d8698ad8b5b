#include "MemPoolTestSupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace mempooltest {
namespace {

std::mutex g_mutex;
std::vector<LogRecord> g_logAdd;
std::vector<std::string> g_hook;
bool g_bOfferLog = true;
INIT_STRUCT g_init{};

RTS_RESULT FakeLogAdd(RTS_HANDLE, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID, RTS_UI32,
                      const char* pszInfo, ...) {
    char szText[256];
    va_list args;
    va_start(args, pszInfo);
    vsnprintf(szText, sizeof(szText), pszInfo, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_logAdd.push_back({CmpId, iClassID, iErrorID, szText});
    return ERR_OK;
}

void Hook(RTS_UI32, RTS_RESULT, const char* pszText) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hook.push_back(pszText);
}

struct Api {
    const char* pszName;
    RTS_VOID_FCTPTR pf;
    RTS_UI32 ulSignature;
};

RTS_RESULT FakeGetAPI(const char* pszName, RTS_VOID_FCTPTR* ppf, RTS_UI32 ulSignature) {
    const Api apis[] = {
        {"CMUtlHashCreate", reinterpret_cast<RTS_VOID_FCTPTR>(&CMUtlHashCreate), SIG_CMUtlHashCreate},
        {"CMUtlHashDelete", reinterpret_cast<RTS_VOID_FCTPTR>(&CMUtlHashDelete), SIG_CMUtlHashDelete},
        {"CMUtlHashInsert", reinterpret_cast<RTS_VOID_FCTPTR>(&CMUtlHashInsert), SIG_CMUtlHashInsert},
        {"CMUtlHashRemove", reinterpret_cast<RTS_VOID_FCTPTR>(&CMUtlHashRemove), SIG_CMUtlHashRemove},
        {"CMUtlHashFind", reinterpret_cast<RTS_VOID_FCTPTR>(&CMUtlHashFind), SIG_CMUtlHashFind},
        {"LogAdd", g_bOfferLog ? reinterpret_cast<RTS_VOID_FCTPTR>(&FakeLogAdd) : nullptr, 0x4C6F6741},
    };
    *ppf = nullptr;
    for (const Api& api : apis) {
        if (strcmp(api.pszName, pszName) != 0 || api.pf == nullptr) {
            continue;
        }
        if (ulSignature != 0 && ulSignature != api.ulSignature) {
            return ERR_CHECK_SIGNATURE;
        }
        *ppf = api.pf;
        return ERR_OK;
    }
    return ERR_NO_OBJECT;
}

RTS_RESULT FakeGetAPI2(const char* pszName, RTS_VOID_FCTPTR* ppf, int, RTS_UI32 ulSignature, RTS_UI32) {
    return FakeGetAPI(pszName, ppf, ulSignature);
}

RTS_RESULT FakeRegisterAPI(const char*, RTS_VOID_FCTPTR, int, RTS_UI32) {
    return ERR_OK;
}

}  // namespace

std::vector<LogRecord> LogAddLines() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_logAdd;
}

std::vector<std::string> HookLines() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_hook;
}

void ClearLines() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_logAdd.clear();
    g_hook.clear();
}

void OfferLogAdd(bool bOffer) {
    g_bOfferLog = bOffer;
}

void StartComponent() {
    g_init = INIT_STRUCT{};
    g_init.pfCMRegisterAPI = FakeRegisterAPI;
    g_init.pfCMGetAPI = FakeGetAPI;
    g_init.pfCMGetAPI2 = FakeGetAPI2;
    ASSERT_EQ(CmpMemPool__Entry(&g_init), ERR_OK);
    ASSERT_EQ(g_init.CmpId, static_cast<RTS_UI32>(CMPID_CmpMemPool));
    ASSERT_EQ(g_init.pfExportFunctions(), ERR_OK);
    ASSERT_EQ(g_init.pfImportFunctions(), ERR_OK);
    ASSERT_EQ(g_init.pfHookFunction(CH_INIT_SYSTEM, 0, 0), ERR_OK);
}

void StopComponent() {
    if (g_init.pfHookFunction != nullptr) {
        g_init.pfHookFunction(CH_EXIT, 0, 0);
        g_init.pfHookFunction(CH_EXIT_SYSTEM, 0, 0);
    }
}

std::vector<void*> Drain(RTS_HANDLE hPool, int iMax) {
    std::vector<void*> blocks;
    for (int i = 0; i < iMax; ++i) {
        void* p = MemPoolGetBlock(hPool, nullptr);
        if (p == nullptr) {
            break;
        }
        blocks.push_back(p);
    }
    return blocks;
}

void MemPoolTest::SetUp() {
    OfferLogAdd(true);
    ClearLines();
    MemPoolSetLogHook(Hook);
    StartComponent();
}

void MemPoolTest::TearDown() {
    StopComponent();
    MemPoolSetLogHook(nullptr);
}

}  // namespace mempooltest
