// Start and stop of the SDK's runtime: one start for many users, the first
// communication cycle as the sign of a started runtime, dynamic components
// from the settings file, the loader and the shell helper.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>

#include <string>

#include "CMPrivate.h"
#include "CmpKestrolinkMain.h"
#include "SysTask.h"
#include "TestSupport.h"

namespace {

class SdkStartup : public ::testing::Test {
protected:
    void SetUp() override {
        KestrolinkSetStartLimits(20000, 2000);
        KestrolinkSetExtraComponents(nullptr);
        settings_ = dir_.File("Kestrolink.ini");
        kltest::WriteFile(settings_, "[CmpLog]\nLogger.0.Name=PlcLog\n");
        ASSERT_EQ(SetSettingsFileName(settings_.c_str()), ERR_OK);
    }
    void TearDown() override {
        while (KestrolinkGetNumInstances() > 0) {
            ExitComponents(1);
        }
        if (CMIsRunning()) {
            ExitComponentsFinal();
        }
    }
    kltest::TempDir dir_;
    std::string settings_;
};

TEST_F(SdkStartup, TwoUsersStartTheRuntimeOnceAndTheLastStopsIt) {
    ASSERT_EQ(InitComponents(), ERR_OK);
    EXPECT_EQ(KestrolinkGetInitResult(), ERR_OK);
    EXPECT_TRUE(CMIsRunning());
    EXPECT_EQ(KestrolinkIdleTaskRunning(), 1);
    COMPONENT_ENTRY* pLog = CMGetComponentByName("CmpLog", nullptr);
    ASSERT_NE(pLog, nullptr);
    RTS_UI32 tasksWithOne = SysTaskGetNumTasks();

    ASSERT_EQ(InitComponents(), ERR_OK);
    EXPECT_EQ(KestrolinkGetNumInstances(), 2);
    EXPECT_EQ(CMGetComponentByName("CmpLog", nullptr), pLog) << "second user restarted the runtime";
    EXPECT_EQ(SysTaskGetNumTasks(), tasksWithOne) << "second user started another idle task";

    EXPECT_EQ(ExitComponents(1), ERR_OK);
    EXPECT_TRUE(CMIsRunning());
    EXPECT_EQ(KestrolinkIdleTaskRunning(), 1);
    RTS_UI32 cycle = CMGetLastCommCycle();
    EXPECT_TRUE(kltest::WaitFor([&] { return CMGetLastCommCycle() != cycle; }, 2000))
        << "communication cycle stopped while a user is left";

    EXPECT_EQ(ExitComponents(1), ERR_OK);
    EXPECT_FALSE(CMIsRunning());
    EXPECT_EQ(KestrolinkIdleTaskRunning(), 0);
    EXPECT_EQ(KestrolinkGetNumInstances(), 0);

    // A new user after the final stop starts a complete runtime again.
    ASSERT_EQ(SetSettingsFileName(settings_.c_str()), ERR_OK);
    ASSERT_EQ(InitComponents(), ERR_OK);
    EXPECT_TRUE(CMIsRunning());
}

TEST_F(SdkStartup, StopWithoutFinalKeepsRuntimeForAFastRestart) {
    ASSERT_EQ(InitComponents(), ERR_OK);
    EXPECT_EQ(ExitComponents(0), ERR_OK);
    EXPECT_EQ(KestrolinkIdleTaskRunning(), 0);
    EXPECT_TRUE(CMIsRunning()) << "a non-final stop keeps the components loaded";
    EXPECT_EQ(KestrolinkGetInitResult(), KESTROLINK_INIT_PENDING);
    ASSERT_EQ(InitComponents(), ERR_OK) << "restart runs the task hooks again and waits for the first cycle";
    EXPECT_EQ(KestrolinkIdleTaskRunning(), 1);
}

// A system component placed before CmpKestrolink that stops every hook walk
// of the communication cycle: the runtime never sees its first cycle.
RTS_RESULT BlockingHook(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    return ulHook == CH_COMM_CYCLE ? ERR_STOP_HOOK_WALK : ERR_OK;
}
RTS_RESULT BlockingEntry(INIT_STRUCT* p) {
    p->CmpId = 0x7E58;
    p->pfHookFunction = BlockingHook;
    return ERR_OK;
}

TEST_F(SdkStartup, StartWithoutFirstCycleFailsAndLeavesNoIdleTask) {
    static const StaticComponent extra[] = {{"CmpTestBlocker", BlockingEntry, 1}, {nullptr, nullptr, 0}};
    KestrolinkSetExtraComponents(extra);
    KestrolinkSetStartLimits(200, 500);
    RTS_UI32 tasksBefore = SysTaskGetNumTasks();
    EXPECT_EQ(InitComponents(), ERR_FAILED);
    EXPECT_EQ(KestrolinkIdleTaskRunning(), 0);
    EXPECT_EQ(SysTaskGetNumTasks(), tasksBefore) << "idle task left behind";
    EXPECT_FALSE(CMIsRunning()) << "runtime not stopped after a failed start";
    EXPECT_EQ(KestrolinkGetNumInstances(), 0) << "failed start counted as a user";

    // The next start is a full start again and succeeds.
    KestrolinkSetExtraComponents(nullptr);
    KestrolinkSetStartLimits(20000, 2000);
    ASSERT_EQ(SetSettingsFileName(settings_.c_str()), ERR_OK);
    EXPECT_EQ(InitComponents(), ERR_OK);
    EXPECT_EQ(KestrolinkGetNumInstances(), 1);
}

TEST_F(SdkStartup, SettingsFileNameBounds) {
    EXPECT_EQ(SetSettingsFileName(std::string(256, 'a').c_str()), ERR_PARAMETER);
    EXPECT_EQ(SetSettingsFileName(""), ERR_PARAMETER);
    EXPECT_EQ(SetSettingsFileName(nullptr), ERR_PARAMETER);
    EXPECT_EQ(SetSettingsFileName(std::string(255, 'a').c_str()), ERR_OK);
}

TEST_F(SdkStartup, DynamicComponentFromSettingsIsLoadedAndStarted) {
    kltest::WriteFile(settings_, std::string("[ComponentManager]\nComponent.0=") + KL_TEST_COMPONENT_MODULE +
                                     "\nComponent.1=NoSuchComponentModule\n");
    ASSERT_EQ(InitComponents(), ERR_OK);
    COMPONENT_ENTRY* pCmp = CMGetComponentByName(KL_TEST_COMPONENT_MODULE, nullptr);
    ASSERT_NE(pCmp, nullptr) << "component of the settings list not loaded";
    EXPECT_EQ(pCmp->Id, 0x7E57u);
    EXPECT_NE(pCmp->iType & CM_TYPE_DYNAMIC, 0);
    void* h = dlopen(KL_TEST_COMPONENT_MODULE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    auto hooks = reinterpret_cast<int (*)()>(dlsym(h, "TestComponentHookCount"));
    auto cycles = reinterpret_cast<int (*)()>(dlsym(h, "TestComponentCommCycles"));
    EXPECT_GE(hooks(), 10) << "init hooks not called";
    EXPECT_TRUE(kltest::WaitFor([&] { return cycles() > 0; }, 2000));
    dlclose(h);
    EXPECT_EQ(CMGetComponentByName("NoSuchComponentModule", nullptr), nullptr);
}

TEST(SdkLoader, BuiltinNamesModulesAndShell) {
    RTS_HANDLE hModule = nullptr;
    PF_COMPONENT_ENTRY pfEntry = nullptr;
    EXPECT_EQ(MainLoadComponent(nullptr, 0, &hModule, &pfEntry), ERR_PARAMETER);
    EXPECT_EQ(MainLoadComponent("x", 0, nullptr, &pfEntry), ERR_PARAMETER);
    EXPECT_EQ(MainLoadComponent("x", 0, &hModule, nullptr), ERR_PARAMETER);
    EXPECT_EQ(MainLoadComponent("NoSuchComponentModule", 0, &hModule, &pfEntry), ERR_FAILED);
    ASSERT_EQ(MainLoadComponent(KL_TEST_COMPONENT_MODULE, 0, &hModule, &pfEntry), ERR_OK);
    INIT_STRUCT init{};
    EXPECT_EQ(pfEntry(&init), ERR_OK);
    EXPECT_EQ(init.CmpId, 0x7E57u);
    EXPECT_EQ(MainUnloadComponent(KL_TEST_COMPONENT_MODULE, hModule), ERR_OK);

    int status = rts_system("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(rts_system(nullptr), -1);
}

}  // namespace
