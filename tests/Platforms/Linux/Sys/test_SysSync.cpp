// Locks, events, the monotonic clock and atomic word operations.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SysCpu.h"
#include "SysEvent.h"
#include "SysSem.h"
#include "SysTask.h"
#include "SysTime.h"
#include "TestSupport.h"

namespace {

TEST(SysSem, RecursiveLockIsHeldUntilLeftAsOftenAsEntered) {
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = SysSemCreate(&r);
    ASSERT_EQ(r, ERR_OK);
    ASSERT_EQ(SysSemEnter(h), ERR_OK);
    ASSERT_EQ(SysSemEnter(h), ERR_OK);
    RTS_RESULT other = ERR_OK;
    std::thread([&] { other = SysSemTry(h); }).join();
    EXPECT_EQ(other, ERR_FAILED);
    SysSemLeave(h);
    std::thread([&] { other = SysSemTry(h); }).join();
    EXPECT_EQ(other, ERR_FAILED) << "lock released after one leave of two enters";
    SysSemLeave(h);
    std::thread([&] {
        other = SysSemTry(h);
        if (other == ERR_OK) {
            SysSemLeave(h);
        }
    }).join();
    EXPECT_EQ(other, ERR_OK);
    EXPECT_EQ(SysSemDelete(h), ERR_OK);
}

TEST(SysSem, InvalidHandleResults) {
    EXPECT_EQ(SysSemEnter(RTS_INVALID_HANDLE), ERR_PARAMETER);
    EXPECT_EQ(SysSemTry(RTS_INVALID_HANDLE), ERR_PARAMETER);
    EXPECT_EQ(SysSemLeave(RTS_INVALID_HANDLE), ERR_FAILED);
}

TEST(SysEvent, SetTwiceReleasesOneWait) {
    RTS_HANDLE h = SysEventCreate(nullptr, nullptr);
    ASSERT_NE(h, RTS_INVALID_HANDLE);
    EXPECT_EQ(SysEventSet(h), ERR_OK);
    EXPECT_EQ(SysEventSet(h), ERR_OK);
    EXPECT_EQ(SysEventWait(h, 0), ERR_OK);
    EXPECT_EQ(SysEventWait(h, 0), ERR_TIMEOUT);
    SysEventDelete(h);
}

TEST(SysEvent, TimedWaitTimesOutAndWakesOnSet) {
    RTS_HANDLE h = SysEventCreate("named", nullptr);
    RTS_UI32 start = SysTimeGetMs();
    EXPECT_EQ(SysEventWait(h, 50), ERR_TIMEOUT);
    EXPECT_GE(SysTimeGetMs() - start, 50u);

    std::thread setter([h] {
        SysTaskWaitSleep(nullptr, 20);
        SysEventSet(h);
    });
    EXPECT_EQ(SysEventWait(h, 5000), ERR_OK);
    setter.join();
    std::thread setter2([h] {
        SysTaskWaitSleep(nullptr, 20);
        SysEventSet(h);
    });
    EXPECT_EQ(SysEventWait(h, RTS_TIMEOUT_INFINITE), ERR_OK);
    setter2.join();
    SysEventDelete(h);
}

TEST(SysEvent, ConcurrentSetsRaiseOnce) {
    RTS_HANDLE h = SysEventCreate(nullptr, nullptr);
    std::vector<std::thread> setters;
    for (int i = 0; i < 8; ++i) {
        setters.emplace_back([h] {
            for (int k = 0; k < 200; ++k) {
                SysEventSet(h);
            }
        });
    }
    for (auto& t : setters) {
        t.join();
    }
    EXPECT_EQ(SysEventWait(h, 0), ERR_OK);
    EXPECT_EQ(SysEventWait(h, 0), ERR_TIMEOUT);
    SysEventDelete(h);
}

TEST(SysTime, MillisecondDifferencesSurviveTheWrap) {
    RTS_UI32 now = SysTimeGetMs();
    // Place the counter 20 ms before the 32-bit wrap.
    SysTimeSetMsOffset(0xFFFFFFFFu - now - 20u);
    RTS_UI32 before = SysTimeGetMs();
    SysTaskWaitSleep(nullptr, 60);
    RTS_UI32 after = SysTimeGetMs();
    SysTimeSetMsOffset(0);
    EXPECT_LT(after, before) << "counter should have wrapped";
    EXPECT_GE(SysTimeElapsedMs(after, before), 60u);
    EXPECT_LT(SysTimeElapsedMs(after, before), 5000u);
    EXPECT_GE(SysTimeGetUs(), 1000ull * 0);
    EXPECT_LE(SysTimeGetUs() / 1000, SysTimeGetNs() / 1000000 + 1);
}

TEST(SysCpu, TestAndSetBitAndAtomicAdd) {
    alignas(4) RTS_UI32 word = 0;
    EXPECT_EQ(SysCpuTestAndSetBit(&word, 4, 3, 1), ERR_OK);
    EXPECT_EQ(SysCpuTestAndSetBit(&word, 4, 3, 1), ERR_FAILED);
    EXPECT_EQ(word, 8u);
    EXPECT_EQ(SysCpuTestAndSetBit(&word, 4, 3, 0), ERR_OK);
    EXPECT_EQ(SysCpuTestAndSetBit(&word, 4, 3, 0), ERR_FAILED);
    EXPECT_EQ(SysCpuTestAndSetBit(&word, 4, 32, 1), ERR_PARAMETER);

    RTS_I32 v = 0x7FFFFFFF;
    EXPECT_EQ(SysCpuAtomicAdd(&v, 1, nullptr), static_cast<RTS_I32>(0x80000000u));
    RTS_I32 counter = 0;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i) {
        ts.emplace_back([&counter] {
            for (int k = 0; k < 1000; ++k) {
                SysCpuAtomicAdd(&counter, 1, nullptr);
            }
        });
    }
    for (auto& t : ts) {
        t.join();
    }
    EXPECT_EQ(counter, 4000);
}

}  // namespace
