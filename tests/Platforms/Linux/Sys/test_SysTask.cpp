// Tasks: suspended start, resume, cooperative end, cancellation after the
// owner's limit, stack size rules and the priority mapping.
#include <gtest/gtest.h>

#include <atomic>

#include "SysTask.h"
#include "SysTime.h"
#include "TestSupport.h"

namespace {

struct Counter {
    std::atomic<int> runs{0};
    std::atomic<int> started{0};
};

void CooperativeTask(SYS_TASK_PARAM* ptp) {
    auto* c = static_cast<Counter*>(ptp->pParam);
    c->started = 1;
    while (ptp->bExit.load() == 0) {
        c->runs++;
        SysTaskWaitSleep(ptp->hTask, 1);
    }
}

void StubbornTask(SYS_TASK_PARAM* ptp) {
    auto* c = static_cast<Counter*>(ptp->pParam);
    c->started = 1;
    for (;;) {  // ignores bExit; only cancellation ends it
        c->runs++;
        SysTaskWaitSleep(ptp->hTask, 1);
    }
}

TEST(SysTask, RunsOnlyAfterResumeAndEndsWhenAsked) {
    Counter c;
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = SysTaskCreate("Coop", CooperativeTask, &c, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, &r);
    ASSERT_EQ(r, ERR_OK);
    ASSERT_NE(h, RTS_INVALID_HANDLE);
    SYS_TASK_INFO* info = nullptr;
    ASSERT_EQ(SysTaskGetInfo(h, &info), ERR_OK);
    EXPECT_NE(info->iState.load() & SYS_TASK_STATE_SUSPENDED, 0);
    SysTaskWaitSleep(nullptr, 30);
    EXPECT_EQ(c.started.load(), 0) << "task function ran before SysTaskResume";

    ASSERT_EQ(SysTaskResume(h), ERR_OK);
    ASSERT_TRUE(kltest::WaitFor([&] { return c.runs.load() > 3; }, 5000));
    EXPECT_STREQ(SysTaskGetName(h, nullptr), "Coop");
    EXPECT_EQ(SysTaskExit(h, 5000), ERR_OK);
    EXPECT_EQ(SysTaskGetName(h, nullptr), nullptr) << "record must be released after exit";
}

TEST(SysTask, StubbornTaskIsCancelledAfterTimeoutAndCreatorReturns) {
    Counter c;
    RTS_HANDLE h = SysTaskCreate("Stubborn", StubbornTask, &c, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, nullptr);
    ASSERT_NE(h, RTS_INVALID_HANDLE);
    SysTaskResume(h);
    ASSERT_TRUE(kltest::WaitFor([&] { return c.runs.load() > 2; }, 5000));
    RTS_UI32 start = SysTimeGetMs();
    EXPECT_EQ(SysTaskExit(h, 100), ERR_TIMEOUT);
    EXPECT_GE(SysTimeGetMs() - start, 100u);
    int runs = c.runs.load();
    SysTaskWaitSleep(nullptr, 50);
    EXPECT_EQ(c.runs.load(), runs) << "cancelled task still runs";
    EXPECT_EQ(SysTaskGetNumAbandoned(), 0u);
}

TEST(SysTask, NeverResumedTaskEndsWithoutRunning) {
    Counter c;
    RTS_HANDLE h = SysTaskCreate("Idle", CooperativeTask, &c, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, nullptr);
    ASSERT_NE(h, RTS_INVALID_HANDLE);
    EXPECT_EQ(SysTaskExit(h, 1000), ERR_OK);
    EXPECT_EQ(c.started.load(), 0);
}

TEST(SysTask, JoinReportsTimeoutThenEnd) {
    Counter c;
    RTS_HANDLE h = SysTaskCreate("Join", CooperativeTask, &c, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, nullptr);
    EXPECT_EQ(SysTaskJoin(h, 10), ERR_FAILED) << "suspended task cannot be joined";
    SysTaskResume(h);
    EXPECT_EQ(SysTaskJoin(h, 20), ERR_TIMEOUT);
    SysTaskSetExit(h);
    EXPECT_EQ(SysTaskJoin(h, 5000), ERR_OK);
    EXPECT_EQ(SysTaskExit(h, 1000), ERR_OK);
}

TEST(SysTask, StackSizeRules) {
    Counter c;
    RTS_HANDLE small = SysTaskCreate("Small", CooperativeTask, &c, 128, 0, 4096, nullptr, nullptr);
    RTS_HANDLE deflt = SysTaskCreate("Default", CooperativeTask, &c, 128, 0, 0, nullptr, nullptr);
    EXPECT_EQ(SysTaskGetStackSize(small), 16384);
    EXPECT_EQ(SysTaskGetStackSize(deflt), 131072);
    SysTaskExit(small, 1000);
    SysTaskExit(deflt, 1000);
}

TEST(SysTask, LongNamesAreKeptWhole) {
    Counter c;
    const char* name = "A_Very_Long_ReconnectThread_Name";
    RTS_HANDLE h = SysTaskCreate(name, CooperativeTask, &c, 128, 0, 0, nullptr, nullptr);
    EXPECT_STREQ(SysTaskGetName(h, nullptr), name);
    SysTaskExit(h, 1000);
}

TEST(SysTask, PriorityMappingFollowsBandsAndSettings) {
    int policy = -1;
    int os = -1;
    SysTaskMapPriority(128, &policy, &os);
    EXPECT_EQ(policy, 0) << "SDK tasks run time-shared";
    SysTaskMapPriority(95, &policy, &os);
    EXPECT_EQ(policy, 0) << "block driver tasks run time-shared";
    SysTaskMapPriority(10, &policy, &os);
    EXPECT_EQ(policy, 1);
    EXPECT_EQ(os, sched_get_priority_max(SCHED_FIFO) - 10);

    SysTaskPrioritySettings saved;
    SysTaskGetPrioritySettings(&saved);
    SysTaskPrioritySettings s = saved;
    s.aulBase[0] = 20;  // High band configured into the real-time range
    s.aulEnd[0] = 25;
    SysTaskSetPrioritySettings(&s);
    SysTaskMapPriority(64 + 10, &policy, &os);  // 20 + 10 capped at 25
    EXPECT_EQ(policy, 1);
    EXPECT_EQ(os, sched_get_priority_max(SCHED_FIFO) - 25);
    SysTaskSetPrioritySettings(&saved);
}

TEST(SysTask, InvalidHandlesAreRefused) {
    EXPECT_EQ(SysTaskResume(RTS_INVALID_HANDLE), ERR_PARAMETER);
    EXPECT_EQ(SysTaskExit(nullptr, 10), ERR_PARAMETER);
    int dummy = 0;
    EXPECT_EQ(SysTaskResume(&dummy), ERR_PARAMETER) << "unknown pointer accepted as task";
    RTS_RESULT r = ERR_OK;
    EXPECT_EQ(SysTaskCreate("x", nullptr, nullptr, 128, 0, 0, nullptr, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
}

}  // namespace
