// The component manager: hook sequences and their order, function lookup by
// name with signatures, the hook walk stop, classes and instances.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "CMPrivate.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_calls;  // "<cmp>:<hook>"
std::vector<std::string> g_logs;
int g_exportCalls = 0;
RTS_RESULT g_stopResult = ERR_OK;

void Record(const char* cmp, RTS_UI32 hook) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (hook == CH_COMM_CYCLE) {
        return;
    }
    const char* name = CMGetHookName(hook, nullptr);
    g_calls.push_back(std::string(cmp) + ":" + (name != nullptr ? name : std::to_string(hook)));
}

void Observe(RTS_UI32, const char* text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_logs.push_back(text);
}

KL_API(int, TestAdd, (int a, int b));
int TestAdd(int a, int b) {
    return a + b;
}
int TestAddOther(int a, int b) {
    return a + b + 1000;
}

PF_REGISTER_API g_regA = nullptr;
PF_REGISTER_API g_regB = nullptr;

RTS_RESULT ExportA() {
    ++g_exportCalls;
    // Same name, another prototype: must be refused by a lookup with the
    // signature of TestAdd, and the search must go on to component B.
    return g_regA("TestAdd", reinterpret_cast<RTS_VOID_FCTPTR>(&TestAddOther), 0, 0x1234);
}
RTS_RESULT ExportB() {
    ++g_exportCalls;
    KL_EXPORT(g_regB, TestAdd);
    return ERR_OK;
}
RTS_RESULT HookA(RTS_UI32 h, RTS_UINTPTR, RTS_UINTPTR) {
    Record("A", h);
    return h == CH_INIT3 ? g_stopResult : ERR_OK;
}
RTS_RESULT HookB(RTS_UI32 h, RTS_UINTPTR, RTS_UINTPTR) {
    Record("B", h);
    return ERR_OK;
}
RTS_UI32 Version() {
    return 0x01020304;
}

int g_instances = 0;
int g_instanceObject = 42;
void* CreateInstB(RTS_UI32, RTS_RESULT* pResult) {
    ++g_instances;
    *pResult = ERR_OK;
    return &g_instanceObject;
}
RTS_RESULT DeleteInstB(void*) {
    --g_instances;
    return ERR_OK;
}

RTS_RESULT EntryA(INIT_STRUCT* p) {
    p->CmpId = 0x9001;
    p->pfExportFunctions = ExportA;
    p->pfHookFunction = HookA;
    p->pfGetVersion = Version;
    g_regA = p->pfCMRegisterAPI;
    return ERR_OK;
}
RTS_RESULT EntryB(INIT_STRUCT* p) {
    p->CmpId = 0x9002;
    p->pfExportFunctions = ExportB;
    p->pfHookFunction = HookB;
    p->pfCreateInstance = CreateInstB;
    p->pfDeleteInstance = DeleteInstB;
    g_regB = p->pfCMRegisterAPI;
    return ERR_OK;
}
KL_API(int, TestMissingFunction, (void));
PFTestMissingFunction pfTestMissingFunction = nullptr;
RTS_RESULT EntryC(INIT_STRUCT* p) {
    p->CmpId = 0x9003;
    p->pfImportFunctions = []() -> RTS_RESULT {
        KL_IMPORT(CMGetAPI, TestMissingFunction);
        return ERR_OK;
    };
    return ERR_OK;
}

const StaticComponent kStatic[] = {
    {"CmpTestA", EntryA, 0},
    {"CmpTestB", EntryB, 0},
    {nullptr, nullptr, 0},
};

class CMTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_logs.clear();
        g_stopResult = ERR_OK;
        CMSetLogObserver(Observe);
    }
    void TearDown() override {
        if (CMIsRunning()) {
            CMExit();
        }
        CMSetLogObserver(nullptr);
    }
    std::vector<std::string> CallsOf(const char* cmp) {
        std::vector<std::string> out;
        std::string prefix = std::string(cmp) + ":";
        for (auto& c : g_calls) {
            if (c.rfind(prefix, 0) == 0) {
                out.push_back(c.substr(prefix.size()));
            }
        }
        return out;
    }
};

TEST(CMHookTable, EntriesAndNames) {
    int n = 0;
    const RTS_ID_TO_NAME* e = CMGetHookEntries(CH_INIT_SYSTEM_TASKS, CH_INIT_FINISHED, &n);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(e[0].pszName, "CH_INIT_SYSTEM_TASKS");
    EXPECT_STREQ(e[1].pszName, "CH_INIT_TASKS");
    EXPECT_STREQ(e[2].pszName, "CH_INIT_COMM");
    e = CMGetHookEntries(CH_INIT_FINISHED, CH_INIT_FINISHED, &n);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(e[0].pszName, "CH_INIT_FINISHED");
    RTS_RESULT r = ERR_OK;
    EXPECT_STREQ(CMGetHookName(CH_SAFEMODE, &r), "CH_SAFEMODE");
    EXPECT_EQ(r, ERR_OK);
    EXPECT_EQ(CMGetHookName(4711, &r), nullptr);
    EXPECT_EQ(r, ERR_NO_OBJECT);
}

TEST_F(CMTest, InitAndExitSequencesRunInTableOrderExitInReverse) {
    ASSERT_EQ(CMInit2(nullptr, kStatic, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    std::vector<std::string> expectedInit = {"CH_INIT_SYSTEM", "CH_INIT_SYSTEM2", "CH_INIT",
                                             "CH_POST_INIT",   "CH_PRE_INIT2",    "CH_INIT2",
                                             "CH_PRE_INIT3",   "CH_INIT3",        "CH_INIT_SYSTEM_TASKS",
                                             "CH_INIT_TASKS",  "CH_INIT_COMM",    "CH_INIT_FINISHED"};
    EXPECT_EQ(CallsOf("A"), expectedInit);
    EXPECT_EQ(CallsOf("B"), expectedInit);
    // Within one hook A (loaded first) is called before B.
    auto it = std::find(g_calls.begin(), g_calls.end(), "A:CH_INIT2");
    ASSERT_NE(it, g_calls.end());
    EXPECT_EQ(*(it + 1), "B:CH_INIT2");
    COMPONENT_ENTRY* pA = CMGetComponentByName("cmptesta", nullptr);
    ASSERT_NE(pA, nullptr);
    EXPECT_EQ(pA->iState, CM_STATE_RUNNING);
    EXPECT_EQ(pA->ulVersion, 0x01020304u);
    EXPECT_TRUE(std::find(g_logs.begin(), g_logs.end(), "MALVORA Control ready") != g_logs.end());

    g_calls.clear();
    ASSERT_EQ(CMExit(), ERR_OK);
    std::vector<std::string> expectedExit = {"CH_EXIT_COMM",    "CH_EXIT_TASKS",  "CH_EXIT_SYSTEM_TASKS",
                                             "CH_EXIT3",        "CH_EXIT2",       "CH_EXIT",
                                             "CH_EXIT_SYSTEM2", "CH_EXIT_SYSTEM", "CH_EXIT_GARBAGEMEMORY"};
    EXPECT_EQ(CallsOf("A"), expectedExit);
    it = std::find(g_calls.begin(), g_calls.end(), "B:CH_EXIT2");
    ASSERT_NE(it, g_calls.end());
    EXPECT_EQ(*(it + 1), "A:CH_EXIT2") << "exit hooks reach components in reverse load order";
    EXPECT_EQ(CMGetComponentByName("CmpTestA", nullptr), nullptr);

    // The runtime starts again after a stop.
    ASSERT_EQ(CMInit2(nullptr, kStatic, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    EXPECT_NE(CMGetComponentByName("CmpTestB", nullptr), nullptr);
}

TEST_F(CMTest, LookupRefusesWrongSignatureAndGoesOn) {
    ASSERT_EQ(CMInit2(nullptr, kStatic, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    RTS_VOID_FCTPTR pf = nullptr;
    ASSERT_EQ(CMGetAPI("TestAdd", &pf, SIG_TestAdd), ERR_OK);
    EXPECT_EQ(reinterpret_cast<PFTestAdd>(pf)(2, 3), 5)
        << "component A's function of another shape was taken";

    // Without a signature the first component's registration wins.
    ASSERT_EQ(CMGetAPI("TestAdd", &pf, 0), ERR_OK);
    EXPECT_EQ(reinterpret_cast<PFTestAdd>(pf)(2, 3), 1005);

    // A signature nobody exports: 30, and the failure is logged.
    EXPECT_EQ(CMGetAPI("TestAdd", &pf, 0x5555), ERR_CHECK_SIGNATURE);
    EXPECT_EQ(pf, nullptr);
    EXPECT_TRUE(std::find(g_logs.begin(), g_logs.end(), "Failed to resolve <name>TestAdd</name>") !=
                g_logs.end());
    EXPECT_EQ(CMGetAPI2("Nowhere", &pf, CM_IMPORT_OPTION_SILENT, 0, 0), ERR_NO_OBJECT);

    // A name of 64 characters is refused before any export function runs.
    g_exportCalls = 0;
    std::string longName(64, 'x');
    EXPECT_EQ(CMGetAPI(longName.c_str(), &pf, 0), ERR_BUFFERSIZE);
    EXPECT_EQ(g_exportCalls, 0);
    std::string name63(63, 'x');
    EXPECT_EQ(CMGetAPI2(name63.c_str(), &pf, CM_IMPORT_OPTION_SILENT, 0, 0), ERR_NO_OBJECT);
    EXPECT_GT(g_exportCalls, 0);

    // The manager's own functions are found like any other.
    ASSERT_EQ(CMGetAPI("CMGetCmpName", &pf, SIG_CMGetCmpName), ERR_OK);
    char name[8];
    EXPECT_EQ(reinterpret_cast<PFCMGetCmpName>(pf)(0x9001, name, sizeof(name)), ERR_BUFFERSIZE);
    EXPECT_STREQ(name, "CmpTest");
}

TEST_F(CMTest, HookResult75StopsTheWalk) {
    g_stopResult = ERR_STOP_HOOK_WALK;
    EXPECT_NE(CMInit2(nullptr, kStatic, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    EXPECT_TRUE(std::find(g_calls.begin(), g_calls.end(), "A:CH_INIT3") != g_calls.end());
    EXPECT_TRUE(std::find(g_calls.begin(), g_calls.end(), "B:CH_INIT3") == g_calls.end())
        << "component B saw the hook after A returned 75";
    g_stopResult = ERR_OK;
    g_calls.clear();
    EXPECT_EQ(CMCallHook(CH_INIT3, 0, 0, 0), ERR_OK);
    EXPECT_EQ(CallsOf("B"), std::vector<std::string>{"CH_INIT3"});
}

TEST_F(CMTest, ImportFailureMarksComponentAndSwitchesToSafeMode) {
    const StaticComponent list[] = {{"CmpTestA", EntryA, 0}, {"CmpTestC", EntryC, 0}, {nullptr, nullptr, 0}};
    ASSERT_EQ(CMInit2(nullptr, list, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    COMPONENT_ENTRY* pC = CMGetComponentByName("CmpTestC", nullptr);
    ASSERT_NE(pC, nullptr);
    EXPECT_EQ(pC->iState, CM_STATE_IMPORT_FAILED);
    EXPECT_TRUE(std::find(g_logs.begin(), g_logs.end(),
                          "Import function(s) failed of <name>CmpTestC</name>") != g_logs.end());
    EXPECT_TRUE(std::find(g_calls.begin(), g_calls.end(), "A:CH_SAFEMODE") != g_calls.end());
}

TEST_F(CMTest, ClassesAndInstances) {
    ASSERT_EQ(CMInit2(nullptr, kStatic, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    EXPECT_EQ(CMRegisterClass(0x9002, 267), ERR_OK);
    EXPECT_EQ(CMRegisterClass(0x9002, 267), ERR_DUPLICATE);
    EXPECT_EQ(CMRegisterClass(0x7777, 268), ERR_NO_OBJECT);
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = CMCreateInstance(267, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(h, static_cast<RTS_HANDLE>(&g_instanceObject));
    EXPECT_EQ(g_instances, 1);
    EXPECT_EQ(CMGetInstanceList(267, nullptr, 0), 1);
    EXPECT_EQ(CMCreateInstance(999, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_NO_OBJECT);
    EXPECT_EQ(CMDeleteInstance2(267, h), ERR_OK);
    EXPECT_EQ(g_instances, 0);
    EXPECT_EQ(CMDeleteInstance2(267, h), ERR_NO_OBJECT);
}

TEST_F(CMTest, ComponentTableQueries) {
    ASSERT_EQ(CMInit2(nullptr, kStatic, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    RTS_UI32 id = 0;
    EXPECT_EQ(CMGetCmpId("CmpTestB", &id), ERR_OK);
    EXPECT_EQ(id, 0x9002u);
    EXPECT_EQ(CMGetComponentByIndex(0, nullptr)->Id, static_cast<RTS_UI32>(CMPID_CM))
        << "the manager comes first";
    int n = CMGetNumOfComponents();
    int walked = 0;
    RTS_RESULT r = ERR_OK;
    for (COMPONENT_ENTRY* p = CMGetFirstComponent(&r); p != nullptr; p = CMGetNextComponent(p, &r)) {
        ++walked;
    }
    EXPECT_EQ(walked, n);
    EXPECT_EQ(r, ERR_END_OF_OBJECT);
    RTS_RESULT addResult = ERR_OK;
    EXPECT_EQ(CMAddComponent("cmptestb", EntryB, CM_TYPE_STATIC, &addResult), nullptr);
    EXPECT_EQ(addResult, ERR_DUPLICATE);
    EXPECT_EQ(CMLoadComponent("NoSuchModule", &r), nullptr) << "no loader installed";
    EXPECT_NE(r, ERR_OK);
}

}  // namespace
