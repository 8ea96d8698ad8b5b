// Memory pools: how many blocks an area holds, refusal of sizes that overflow,
// block contents on hand-out and return, growth and cleanup of extension
// areas, leak lines, in-use lists, locks, deferred deletion and several
// threads sharing one pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "MemPoolTestSupport.h"
#include "SysSem.h"

using namespace mempooltest;

namespace {

constexpr bool k32Bit = sizeof(void*) == 4;

RTS_PCB* Pcb(RTS_HANDLE h) {
    return static_cast<RTS_PCB*>(h);
}

bool AllBytes(const void* p, RTS_SIZE n, RTS_UI8 value) {
    const auto* b = static_cast<const RTS_UI8*>(p);
    return std::all_of(b, b + n, [value](RTS_UI8 x) { return x == value; });
}

// Some other thread can take the pool's lock right now.
bool LockIsFree(RTS_HANDLE hPool) {
    RTS_RESULT r = ERR_FAILED;
    std::thread([&] {
        r = SysSemTry(Pcb(hPool)->lock);
        if (r == ERR_OK) {
            SysSemLeave(Pcb(hPool)->lock);
        }
    }).join();
    return r == ERR_OK;
}

std::vector<void*> g_deleted;
void* g_deleteParam = nullptr;
void RecordDelete(void* pBlock, void* pParam) {
    g_deleted.push_back(pBlock);
    g_deleteParam = pParam;
}

}  // namespace

TEST_F(MemPoolTest, StaticAreaHoldsBlocksByTheLayoutRule) {
    // The area lengths of the 32-bit target's examples are header space, the
    // strides and 16 spare bytes; the same recipe gives the 64-bit analogue.
    const RTS_SIZE len64 = kMemPoolPcbSpace + 5 * MemPoolStride(64) + 16;
    const RTS_SIZE len52 = kMemPoolPcbSpace + 45 * MemPoolStride(52) + 16;
    if (k32Bit) {
        EXPECT_EQ(len64, 456u);
        EXPECT_EQ(len52, 3296u);
        EXPECT_EQ(kMemPoolMinStaticArea, 40u);
    }
    alignas(8) static RTS_UI8 area[4096 + 16];
    RTS_RESULT r = ERR_FAILED;
    for (RTS_SIZE offset = 0; offset < 8; ++offset) {
        SCOPED_TRACE(offset);
        RTS_UI8* pArea = area + offset;
        std::memset(area, 0x5C, sizeof(area));
        RTS_HANDLE h = MemPoolCreateStatic(64, len64, pArea, &r);
        ASSERT_EQ(r, ERR_OK);
        std::vector<void*> blocks = Drain(h);
        EXPECT_EQ(blocks.size(), 5u);
        for (void* p : blocks) {
            auto addr = reinterpret_cast<RTS_UINTPTR>(p);
            EXPECT_EQ(addr % 8, 0u);
            EXPECT_GE(addr - sizeof(RTS_BCB), reinterpret_cast<RTS_UINTPTR>(pArea) + sizeof(RTS_PCB));
            EXPECT_LE(addr + 64, reinterpret_cast<RTS_UINTPTR>(pArea + len64));
        }
        if (k32Bit) {
            // First header at ((A rounded up to 4) + 47) rounded down to 8.
            RTS_UINTPTR a = reinterpret_cast<RTS_UINTPTR>(pArea);
            RTS_UINTPTR first = (((a + 3) & ~RTS_UINTPTR(3)) + 47) & ~RTS_UINTPTR(7);
            EXPECT_EQ(reinterpret_cast<RTS_UINTPTR>(blocks.front()), first + 16);
        }
        EXPECT_TRUE(AllBytes(pArea + len64, sizeof(area) - offset - len64, 0x5C))
            << "written behind the area";
        MemPoolDelete(h, "Test");

        h = MemPoolCreateStatic(52, len52, pArea, &r);
        ASSERT_EQ(r, ERR_OK);
        EXPECT_EQ(Drain(h).size(), 45u);
        MemPoolDelete(h, "Test");

        // The shortest area holds no block wherever it starts, and nothing is
        // written past it (a count that wrapped below zero would).
        std::memset(area, 0x5C, sizeof(area));
        h = MemPoolCreateStatic(8, kMemPoolMinStaticArea, pArea, &r);
        ASSERT_EQ(r, ERR_OK);
        EXPECT_EQ(MemPoolGetBlock(h, &r), nullptr);
        EXPECT_EQ(r, ERR_INVALID_HANDLE);
        EXPECT_TRUE(AllBytes(pArea + kMemPoolMinStaticArea, 64, 0x5C));
        MemPoolDelete(h, "Test");
    }
    EXPECT_EQ(MemPoolCreateStatic(64, kMemPoolMinStaticArea - 1, area, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_NOMEMORY);
    EXPECT_EQ(MemPoolCreateStatic(64, 0, area, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(MemPoolCreateStatic(64, 456, nullptr, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);

    // A heap pool for n blocks holds exactly n.
    RTS_HANDLE h = MemPoolCreateDynamic("Test", 7, 20, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(Pcb(h)->ulBlockSize, 24u);
    EXPECT_EQ(Drain(h).size(), 7u);
    MemPoolDelete(h, "Test");

    MemPoolConfiguration cfg{};
    EXPECT_EQ(MemPoolCreate(&cfg, &r), RTS_INVALID_HANDLE) << "neither static nor dynamic";
    EXPECT_EQ(r, ERR_PARAMETER);
}

TEST_F(MemPoolTest, SizesThatOverflowAreRefusedNotShortened) {
    RTS_RESULT r = ERR_OK;
    // On 32-bit the stride of such a block alone does not fit an address.
    EXPECT_EQ(MemPoolCreateDynamic("Test", 0xFFFFFFFFu, 0xFFFFFFF0u, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, k32Bit ? ERR_PARAMETER : ERR_NOMEMORY);
    if (k32Bit) {
        // stride x n alone fits, + 56 does not.
        RTS_UI32 n = static_cast<RTS_UI32>(UINTPTR_MAX / MemPoolStride(64));
        ASSERT_GT(n * MemPoolStride(64), UINTPTR_MAX - kMemPoolHeapPoolOverhead);
        EXPECT_EQ(MemPoolCreateDynamic("Test", n, 64, &r), RTS_INVALID_HANDLE);
        EXPECT_EQ(r, ERR_NOMEMORY);
    }
    EXPECT_EQ(MemPoolCreateDynamic("Test", 1, 0xFFFFFFF9u, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(MemPoolCreateDynamic("Test", 1, 0, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
    // An area whose end lies past the top of the address space: refused
    // before anything is written there.
    void* pTop = reinterpret_cast<void*>(UINTPTR_MAX - 100);
    EXPECT_EQ(MemPoolCreateStatic(16, 1000, pTop, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);

    // stride x n of the extension overflows an address on either build.
    RTS_HANDLE h = MemPoolCreateDynamic("Test", 0, k32Bit ? 64 : 0xFFFFFFF0u, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(MemPoolExtendDynamic(h, "Test", 0xFFFFFFFFu), ERR_NOMEMORY);
    EXPECT_EQ(MemPoolExtendDynamic(h, "Test", 0), ERR_NOMEMORY);
    EXPECT_EQ(MemPoolExtendStatic(h, 1000, pTop), ERR_PARAMETER);
    EXPECT_EQ(Pcb(h)->pPEB, nullptr);
    void* p = nullptr;
    EXPECT_EQ(MemPoolFindBlock(h, RTS_SIZE(-1), 2, &p, &r), nullptr);
    EXPECT_EQ(r, ERR_PARAMETER);
    MemPoolDelete(h, "Test");
}

TEST_F(MemPoolTest, BlocksAreZeroWhenHandedOutAndAAWhenReturned) {
    alignas(8) static RTS_UI8 area[512];
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = MemPoolCreateStatic(40, sizeof(area), area, &r);
    ASSERT_EQ(r, ERR_OK);
    auto* p = static_cast<RTS_UI8*>(MemPoolGetBlock(h, &r));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(AllBytes(p, 40, 0));
    std::memset(p, 0x11, 40);
    EXPECT_EQ(MemPoolPutBlock(p), ERR_OK);
    EXPECT_TRUE(AllBytes(p, 40, 0xAA));
    EXPECT_EQ(MemPoolPutBlock(p), ERR_PARAMETER) << "a free block was returned twice";
    EXPECT_EQ(MemPoolPutBlock(nullptr), ERR_PARAMETER);
    EXPECT_EQ(MemPoolGetBlock(h, &r), p);
    EXPECT_TRUE(AllBytes(p, 40, 0));

    // A block returned while on the in-use list leaves the list too.
    ASSERT_EQ(MemPoolAddUsedBlock(p), ERR_OK);
    EXPECT_EQ(MemPoolPutBlock(p), ERR_OK);
    EXPECT_EQ(MemPoolGetFirstBlock(h, &r), nullptr);
    EXPECT_EQ(r, ERR_NO_OBJECT);
    MemPoolDelete(h, "Test");
}

TEST_F(MemPoolTest, PoolGrowsPastItsStaticAreaAndCleanupDropsTheGrowth) {
    alignas(8) static RTS_UI8 area[kMemPoolPcbSpace + 2 * MemPoolStride(32)];
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = MemPoolCreateStatic(32, sizeof(area), area, &r);
    ASSERT_EQ(r, ERR_OK);
    std::vector<void*> blocks = Drain(h);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(MemPoolGetBlock(h, &r), nullptr);
    EXPECT_EQ(r, ERR_INVALID_HANDLE);
    EXPECT_EQ(MemPoolGetBlock2(h, 0, "Test", &r), nullptr);
    EXPECT_EQ(r, ERR_NOMEMORY);
    void* pGrown = MemPoolGetBlock2(h, 1, "Test", &r);
    ASSERT_NE(pGrown, nullptr);
    EXPECT_EQ(r, ERR_OK);
    ASSERT_NE(Pcb(h)->pPEB, nullptr);
    EXPECT_EQ(Pcb(h)->pPEB->pPEB, nullptr) << "one extension";
    EXPECT_EQ(Pcb(h)->pPEB->options, RTS_UI32(MEM_POOL_EXTENSION_HEAP));
    blocks.push_back(pGrown);

    ASSERT_EQ(MemPoolExtendDynamic(h, "Test", 3), ERR_OK);
    alignas(8) static RTS_UI8 extra[sizeof(RTS_PEB) + 2 * MemPoolStride(32)];
    ASSERT_EQ(MemPoolExtendStatic(h, sizeof(extra), extra), ERR_OK);
    EXPECT_EQ(MemPoolExtendDynamic(h, "Test", 1), ERR_INVALID_HANDLE) << "newest extension is a static one";
    EXPECT_EQ(MemPoolExtendStatic(h, sizeof(extra), extra), ERR_INVALID_HANDLE);
    int nExtensions = 0;
    for (RTS_PEB* p = Pcb(h)->pPEB; p != nullptr && nExtensions < 10; p = p->pPEB) {
        ++nExtensions;
    }
    EXPECT_EQ(nExtensions, 3) << "a refused extension broke the chain";
    std::vector<void*> more = Drain(h);
    EXPECT_EQ(more.size(), 5u);
    blocks.insert(blocks.end(), more.begin(), more.end());
    // No two blocks overlap.
    std::sort(blocks.begin(), blocks.end());
    for (size_t i = 1; i < blocks.size(); ++i) {
        EXPECT_GE(static_cast<RTS_UI8*>(blocks[i]) - static_cast<RTS_UI8*>(blocks[i - 1]),
                  static_cast<ptrdiff_t>(MemPoolStride(32)));
    }
    for (void* p : blocks) {
        std::memset(p, 0x33, 32);
    }

    // Cleanup: the extensions' blocks leave both lists; one still listed as in
    // use is reported; afterwards only the static area's blocks come out.
    void* pInExtension = pGrown;
    ASSERT_EQ(MemPoolAddUsedBlock(pInExtension), ERR_OK);
    for (void* p : blocks) {
        if (p != pInExtension) {
            MemPoolPutBlock(p);
        }
    }
    ClearLines();
    EXPECT_EQ(MemPoolCleanup(h, "Test", 0), ERR_OK);
    EXPECT_EQ(HookLines().size(), 1u);
    EXPECT_EQ(Pcb(h)->pPEB, nullptr);
    EXPECT_EQ(MemPoolGetFirstBlock(h, &r), nullptr);
    std::vector<void*> left = Drain(h);
    ASSERT_EQ(left.size(), 2u);
    for (void* p : left) {
        EXPECT_TRUE(p >= static_cast<void*>(area) && p < static_cast<void*>(area + sizeof(area)));
    }
    EXPECT_EQ(MemPoolCleanup(RTS_INVALID_HANDLE, "Test", 0), ERR_INVALID_HANDLE);
    MemPoolDelete(h, "Test");
}

TEST_F(MemPoolTest, DeletingWritesOneLeakLinePerListedBlock) {
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = MemPoolCreateDynamic("CmpOwner", 3, 20, &r);
    ASSERT_EQ(r, ERR_OK);
    void* a = MemPoolGetBlock(h, nullptr);
    void* b = MemPoolGetBlock(h, nullptr);
    MemPoolGetBlock(h, nullptr);  // handed out but never listed: not reported
    ASSERT_EQ(MemPoolAppendUsedBlock(a), ERR_OK);
    ASSERT_EQ(MemPoolAppendUsedBlock(b), ERR_OK);
    ClearLines();
    ASSERT_EQ(MemPoolDelete(h, "CmpOwner"), ERR_OK);
    char szFirst[256];
    snprintf(szFirst, sizeof(szFirst), "**** Pool leak: Cmp=%s, hPool=0x%x, pBlock=0x%x, Size=%ld",
             "CmpOwner", static_cast<unsigned>(reinterpret_cast<RTS_UINTPTR>(h)),
             static_cast<unsigned>(reinterpret_cast<RTS_UINTPTR>(a)), 24L);
    std::vector<LogRecord> lines = LogAddLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, szFirst);
    for (const LogRecord& line : lines) {
        EXPECT_EQ(line.CmpId, RTS_UI32(CMPID_CmpMemPool));
        EXPECT_EQ(line.iClassID, RTS_UI32(LOG_DEBUG));
        EXPECT_EQ(line.iErrorID, 1);
    }
    EXPECT_EQ(HookLines().size(), 2u);
    EXPECT_EQ(MemPoolDelete(RTS_INVALID_HANDLE, "CmpOwner"), ERR_INVALID_HANDLE);

    // Without a log component the lines only reach the hook.
    OfferLogAdd(false);
    StopComponent();
    StartComponent();
    ClearLines();
    h = MemPoolCreateDynamic("CmpOwner", 1, 8, &r);
    MemPoolAddUsedBlock(MemPoolGetBlock(h, nullptr));
    MemPoolDelete(h, "CmpOwner");
    EXPECT_EQ(HookLines().size(), 1u);
    EXPECT_TRUE(LogAddLines().empty());
}

TEST_F(MemPoolTest, InUseListKeepsOrderAndRefusesForeignBlocks) {
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = MemPoolCreateDynamic("Test", 5, 16, &r);
    RTS_HANDLE hOther = MemPoolCreateDynamic("Test", 1, 16, &r);
    ASSERT_EQ(r, ERR_OK);
    std::vector<void*> b = Drain(h);
    ASSERT_EQ(b.size(), 5u);
    void* pForeign = MemPoolGetBlock(hOther, nullptr);
    for (int i = 0; i < 5; ++i) {
        static_cast<RTS_UI8*>(b[i])[4] = static_cast<RTS_UI8>(i + 1);
    }
    ASSERT_EQ(MemPoolAppendUsedBlock(b[1]), ERR_OK);
    ASSERT_EQ(MemPoolAddUsedBlock(b[0]), ERR_OK);
    ASSERT_EQ(MemPoolAppendUsedBlockToPool(h, b[3]), ERR_OK);
    ASSERT_EQ(MemPoolInsertUsedBlock(b[1], b[2]), ERR_OK);
    ASSERT_EQ(MemPoolInsertUsedBlock(b[3], b[4]), ERR_OK);  // behind the tail: becomes the tail
    EXPECT_EQ(MemPoolAddUsedBlock(b[2]), ERR_DUPLICATE);
    EXPECT_EQ(MemPoolAddUsedBlockToPool(h, pForeign), ERR_PARAMETER);
    EXPECT_EQ(MemPoolInsertUsedBlock(b[0], pForeign), ERR_PARAMETER);
    EXPECT_EQ(MemPoolRemoveUsedBlockFromPool(h, pForeign), ERR_PARAMETER);
    EXPECT_EQ(MemPoolRemoveUsedBlock(pForeign), ERR_PARAMETER) << "not on any list";

    auto walk = [&] {
        std::vector<void*> order;
        RTS_RESULT rw = ERR_OK;
        for (void* p = MemPoolGetFirstBlock(h, &rw); p != nullptr && order.size() < 10;
             p = MemPoolGetNextBlock(h, p, &rw)) {
            order.push_back(p);
        }
        return order;
    };
    EXPECT_EQ(walk(), b);
    ASSERT_EQ(MemPoolRemoveUsedBlock(b[4]), ERR_OK);
    ASSERT_EQ(MemPoolRemoveUsedBlock(b[0]), ERR_OK);
    EXPECT_EQ(MemPoolRemoveUsedBlock(b[0]), ERR_PARAMETER);
    ASSERT_EQ(MemPoolAppendUsedBlock(b[0]), ERR_OK);  // the tail was updated by the removal
    EXPECT_EQ(walk(), (std::vector<void*>{b[1], b[2], b[3], b[0]}));

    RTS_UI8 key = 3;
    EXPECT_EQ(MemPoolFindBlock(h, 4, 1, &key, &r), b[2]);
    EXPECT_EQ(r, ERR_OK);
    key = 5;
    EXPECT_EQ(MemPoolFindBlock(h, 4, 1, &key, &r), nullptr) << "block 5 is not listed";
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(MemPoolFindBlock(h, 12, 5, &key, &r), nullptr);
    EXPECT_EQ(r, ERR_PARAMETER);

    // Validity, with the lock free again after every outcome.
    EXPECT_EQ(MemPoolIsValidBlock(h, b[2]), ERR_OK);
    EXPECT_TRUE(LockIsFree(h));
    EXPECT_EQ(MemPoolIsValidBlock(h, b[4]), ERR_FAILED);
    EXPECT_TRUE(LockIsFree(h));
    EXPECT_EQ(MemPoolIsValidBlock(h, pForeign), ERR_FAILED);
    EXPECT_TRUE(LockIsFree(h));
    EXPECT_EQ(MemPoolIsValidBlock(h, nullptr), ERR_PARAMETER);
    EXPECT_EQ(MemPoolIsValidBlock(RTS_INVALID_HANDLE, b[2]), ERR_PARAMETER);
    EXPECT_TRUE(LockIsFree(h));
    MemPoolDelete(h, "Test");
    MemPoolDelete(hOther, "Test");
}

TEST_F(MemPoolTest, LockResultsBeforeInitAndWithoutLock) {
    StopComponent();
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE hEarly = MemPoolCreateDynamic("Test", 2, 16, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(Pcb(hEarly)->lock, RTS_INVALID_HANDLE);
    EXPECT_EQ(MemPoolLock(hEarly), ERR_NOTINITIALIZED);
    EXPECT_EQ(MemPoolReleaseBlocks(hEarly, 0, nullptr), ERR_NOTINITIALIZED);
    void* p = MemPoolGetBlock(hEarly, &r);
    ASSERT_NE(p, nullptr) << "a pool without a lock works";
    EXPECT_EQ(MemPoolLockBlock(p), ERR_NOTINITIALIZED);

    StartComponent();
    EXPECT_EQ(MemPoolLock(hEarly), ERR_NOT_IMPLEMENTED) << "made before init: never gets a lock";
    EXPECT_EQ(MemPoolLockBlock(p), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(MemPoolLock(RTS_INVALID_HANDLE), ERR_PARAMETER);
    EXPECT_EQ(MemPoolLockBlock(nullptr), ERR_PARAMETER);

    RTS_HANDLE h = MemPoolCreateDynamic("Test", 2, 16, &r);
    ASSERT_EQ(MemPoolLock(h), ERR_OK);
    EXPECT_FALSE(LockIsFree(h));
    ASSERT_EQ(MemPoolUnlock(h), ERR_OK);
    EXPECT_TRUE(LockIsFree(h));

    MemPoolConfiguration cfg{};
    cfg.options = MEM_POOL_OPTION_DYNAMIC | MEM_POOL_OPTION_NO_LOCK;
    cfg.ulBlockSize = 16;
    cfg.ulNumBlocks = 1;
    RTS_HANDLE hNoLock = MemPoolCreate(&cfg, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(MemPoolLock(hNoLock), ERR_NOT_IMPLEMENTED);
    MemPoolDelete(hNoLock, "Test");
    MemPoolDelete(h, "Test");
    MemPoolDelete(hEarly, "Test");
}

TEST_F(MemPoolTest, DeferredDeletionWhileReferenced) {
    RTS_RESULT r = ERR_FAILED;
    MemPoolConfiguration cfg{};
    cfg.options = MEM_POOL_OPTION_DYNAMIC;
    cfg.ulBlockSize = 16;
    cfg.ulNumBlocks = 3;
    cfg.pfDeleteFunction = RecordDelete;
    RTS_HANDLE h = MemPoolCreate(&cfg, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(MemPoolReleaseBlocks(h, 0, nullptr), ERR_PENDING) << "empty list";
    void* a = MemPoolGetBlock(h, nullptr);
    void* b = MemPoolGetBlock(h, nullptr);
    MemPoolAppendUsedBlock(a);
    MemPoolAppendUsedBlock(b);

    ASSERT_EQ(MemPoolAddRef_LF(h), ERR_OK);
    EXPECT_EQ(MemPoolRemoveUsedBlock_LF(a), ERR_PENDING);
    EXPECT_EQ(MemPoolIsValidBlock(h, a), ERR_OK) << "still on the list";
    EXPECT_EQ(MemPoolIsValidBlock_LF(h, a), ERR_FAILED) << "but marked deleted";
    EXPECT_EQ(MemPoolIsValidBlock_LF(h, b), ERR_OK);
    EXPECT_EQ(MemPoolLock_LF(h), ERR_CALLAGAIN);
    EXPECT_FALSE(LockIsFree(h)) << "held after 34 as well";
    EXPECT_EQ(MemPoolUnlock_LF(h), ERR_OK);
    EXPECT_EQ(MemPoolReleaseBlocks(h, 1, nullptr), ERR_PENDING);
    EXPECT_EQ(MemPoolIsValidBlock(h, a), ERR_OK);

    ASSERT_EQ(MemPoolReleaseRef_LF(h), ERR_OK);
    EXPECT_EQ(MemPoolReleaseRef_LF(h), ERR_FAILED) << "count stays at 0";
    EXPECT_EQ(MemPoolLock_LF(h), ERR_OK);
    EXPECT_EQ(MemPoolUnlock_LF(h), ERR_OK);
    g_deleted.clear();
    int param = 0;
    EXPECT_EQ(MemPoolReleaseBlocks(h, 1, &param), ERR_OK);
    EXPECT_EQ(g_deleted, std::vector<void*>{a});
    EXPECT_EQ(g_deleteParam, &param);
    EXPECT_EQ(MemPoolIsValidBlock(h, a), ERR_FAILED);
    EXPECT_EQ(MemPoolIsValidBlock(h, b), ERR_OK);
    EXPECT_EQ(MemPoolPutBlock(a), ERR_PARAMETER) << "already back in the pool";

    // Without references the deferred path unlinks at once.
    EXPECT_EQ(MemPoolRemoveUsedBlockFromPool_LF(h, b), ERR_OK);
    EXPECT_EQ(MemPoolIsValidBlock(h, b), ERR_FAILED);
    MemPoolAppendUsedBlock(b);
    g_deleted.clear();
    EXPECT_EQ(MemPoolReleaseBlocks(h, 0, nullptr), ERR_OK);
    EXPECT_EQ(g_deleted, std::vector<void*>{b});
    EXPECT_EQ(Drain(h).size(), 3u);
    MemPoolDelete(h, "Test");
}

TEST_F(MemPoolTest, ThreadsSharingALockedPoolNeverShareABlock) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    constexpr RTS_UI32 kBlocks = 6;
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = MemPoolCreateDynamic("Test", kBlocks, 64, &r);
    ASSERT_EQ(r, ERR_OK);
    ASSERT_NE(Pcb(h)->lock, RTS_INVALID_HANDLE);
    std::atomic<int> corrupted{0};
    std::atomic<int> gets{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                auto* p = static_cast<RTS_UI32*>(MemPoolGetBlock(h, nullptr));
                if (p == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                ++gets;
                bool bInUseList = (i % 3) == 0;
                if (bInUseList) {
                    MemPoolAppendUsedBlock(p);
                }
                RTS_UI32 stamp = static_cast<RTS_UI32>((t << 24) | i);
                for (int k = 0; k < 16; ++k) {
                    p[k] = stamp;
                }
                std::this_thread::yield();
                for (int k = 0; k < 16; ++k) {
                    if (p[k] != stamp) {
                        ++corrupted;
                        break;
                    }
                }
                if (bInUseList && MemPoolRemoveUsedBlock(p) != ERR_OK) {
                    ++corrupted;
                }
                MemPoolPutBlock(p);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(corrupted.load(), 0);
    EXPECT_GT(gets.load(), 0);
    EXPECT_EQ(MemPoolGetFirstBlock(h, &r), nullptr);
    std::vector<void*> all = Drain(h);
    EXPECT_EQ(all.size(), kBlocks) << "blocks lost or duplicated in the free list";
    EXPECT_EQ(std::set<void*>(all.begin(), all.end()).size(), all.size());
    MemPoolDelete(h, "Test");
}
