// Blocks under handles: lookups of live and freed handles, growth through the
// handle functions, entries kept inside the blocks, deferred removal, the wrap
// of the handle counter, several threads, and the component started by the
// component manager with its imports resolved there.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CMItf.h"
#include "MemPoolTestSupport.h"

using namespace mempooltest;

namespace {

struct Record {
    RTS_UI32 ulHandle;
    RTS_UI32 ulPad;
    CMUtlHashEntry entry;
    RTS_UI8 abyData[8];
};

RTS_UI32 Key(RTS_HANDLE h) {
    return static_cast<RTS_UI32>(reinterpret_cast<RTS_UINTPTR>(h));
}

}  // namespace

TEST_F(MemPoolTest, HandlesFindTheirBlocksUntilRemoved) {
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE hPool = MemPoolCreateDynamic("Test", 1, sizeof(Record), &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(MemPoolCreateHashTable(RTS_INVALID_HANDLE, 7, "Test", &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(MemPoolCreateHashTable(hPool, 0, "Test", &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(MemPoolCreateHashTable(hPool, 7, nullptr, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
    RTS_HANDLE hTable = MemPoolCreateHashTable(hPool, 7, "Test", &r);
    ASSERT_EQ(r, ERR_OK);

    RTS_HANDLE h1 = MemPoolGetBlockHashed(hTable, 0, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(Key(h1), 1u);
    auto* p1 = static_cast<Record*>(MemPoolGetBlockByHash(hTable, h1, &r));
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(MemPoolIsValidBlock(hPool, p1), ERR_OK) << "hashed blocks are listed as in use";

    // The pool is empty: without new elements the get fails, with them it grows.
    EXPECT_EQ(MemPoolGetBlockHashed(hTable, 0, &r), RTS_INVALID_HANDLE);
    EXPECT_NE(r, ERR_OK);
    RTS_HANDLE h2 = MemPoolGetBlockHashed(hTable, 3, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_NE(Key(h2), Key(h1));
    ASSERT_NE(static_cast<RTS_PCB*>(hPool)->pPEB, nullptr);
    auto* p2 = static_cast<Record*>(MemPoolGetBlockByHash(hTable, h2, &r));
    ASSERT_NE(p2, nullptr);
    EXPECT_NE(p2, p1);

    // A removed handle is gone at once, and so is its block.
    EXPECT_EQ(MemPoolRemoveBlockHashed(hTable, h1), ERR_OK);
    EXPECT_EQ(MemPoolGetBlockByHash(hTable, h1, &r), nullptr);
    EXPECT_EQ(r, ERR_NO_OBJECT);
    EXPECT_EQ(MemPoolRemoveBlockHashed(hTable, h1), ERR_NO_OBJECT);
    EXPECT_EQ(MemPoolIsValidBlock(hPool, p1), ERR_FAILED);
    EXPECT_EQ(MemPoolGetBlockByHash(hTable, RTS_INVALID_HANDLE, &r), nullptr);
    EXPECT_EQ(r, ERR_NO_OBJECT);
    EXPECT_EQ(MemPoolGetBlockByHash(hTable, nullptr, &r), nullptr);
    EXPECT_EQ(r, ERR_NO_OBJECT);

    // Entries inside the blocks: the offset must leave room for the entry.
    RTS_HANDLE h3 = MemPoolGetBlockHashed2(hTable, 1, offsetof(Record, entry), &r);
    ASSERT_EQ(r, ERR_OK);
    auto* p3 = static_cast<Record*>(MemPoolGetBlockByHash(hTable, h3, &r));
    ASSERT_NE(p3, nullptr);
    EXPECT_EQ(p3->entry.key, Key(h3));
    EXPECT_EQ(p3->entry.pValue, p3);
    EXPECT_EQ(MemPoolGetBlockHashed2(hTable, 1, sizeof(Record) - 4, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(MemPoolGetBlockHashed2(hTable, 1, 2, &r), RTS_INVALID_HANDLE) << "misaligned entry";
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(MemPoolRemoveBlockHashed(hTable, h3), ERR_OK);
    EXPECT_EQ(MemPoolGetBlockByHash(hTable, h3, &r), nullptr);

    // With the pool referenced the removal is deferred; the handle is still gone.
    ASSERT_EQ(MemPoolAddRef_LF(hPool), ERR_OK);
    EXPECT_EQ(MemPoolRemoveBlockHashed(hTable, h2), ERR_PENDING);
    EXPECT_EQ(MemPoolGetBlockByHash(hTable, h2, &r), nullptr);
    EXPECT_EQ(MemPoolIsValidBlock_LF(hPool, p2), ERR_FAILED);
    ASSERT_EQ(MemPoolReleaseRef_LF(hPool), ERR_OK);
    EXPECT_EQ(MemPoolReleaseBlocks(hPool, 1, nullptr), ERR_OK);
    EXPECT_EQ(MemPoolIsValidBlock(hPool, p2), ERR_FAILED);

    // More tables than the component's static records: its pool grows.
    std::vector<RTS_HANDLE> tables;
    for (int i = 0; i < 4; ++i) {
        tables.push_back(MemPoolCreateHashTable(hPool, 3, "Test", &r));
        ASSERT_EQ(r, ERR_OK);
    }
    for (RTS_HANDLE t : tables) {
        EXPECT_EQ(MemPoolDeleteHashTable(t), ERR_OK);
    }
    ASSERT_EQ(MemPoolDeleteHashTable(hTable), ERR_OK);
    EXPECT_EQ(MemPoolDeleteHashTable(hTable), ERR_PARAMETER);
    EXPECT_EQ(MemPoolGetBlockHashed(hTable, 1, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
    ClearLines();
    MemPoolDelete(hPool, "Test");
    EXPECT_TRUE(HookLines().empty()) << "every hashed block was returned";
}

TEST_F(MemPoolTest, HandleCounterWrapSkipsZeroInvalidAndLiveHandles) {
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE hPool = MemPoolCreateDynamic("Test", 8, 16, &r);
    CMUtlHashEntry* buckets[5];
    RTS_HANDLE hTable = MemPoolCreateHashTable2(hPool, 5, buckets, "Test", &r);
    ASSERT_EQ(r, ERR_OK);
    RTS_HANDLE hLive1 = MemPoolGetBlockHashed(hTable, 0, &r);
    RTS_HANDLE hLive2 = MemPoolGetBlockHashed(hTable, 0, &r);
    ASSERT_EQ(Key(hLive1), 1u);
    ASSERT_EQ(Key(hLive2), 2u);

    ASSERT_EQ(MemPoolSetHashAllocCount(hTable, -3), ERR_OK);  // next value 0xFFFFFFFE
    std::vector<RTS_UI32> keys;
    for (int i = 0; i < 3; ++i) {
        RTS_HANDLE h = MemPoolGetBlockHashed(hTable, 0, &r);
        ASSERT_EQ(r, ERR_OK);
        ASSERT_NE(h, RTS_INVALID_HANDLE);
        keys.push_back(Key(h));
    }
    EXPECT_EQ(keys, (std::vector<RTS_UI32>{0xFFFFFFFEu, 3u, 4u}));

    // The counter passes the signed maximum without trouble.
    ASSERT_EQ(MemPoolSetHashAllocCount(hTable, 0x7FFFFFFE), ERR_OK);
    RTS_HANDLE hHigh = MemPoolGetBlockHashed(hTable, 0, &r);
    RTS_HANDLE hHigher = MemPoolGetBlockHashed(hTable, 0, &r);
    EXPECT_EQ(Key(hHigh), 0x7FFFFFFFu);
    EXPECT_EQ(Key(hHigher), 0x80000000u);
    EXPECT_NE(MemPoolGetBlockByHash(hTable, hHigher, &r), nullptr);
    EXPECT_EQ(MemPoolDeleteHashTable(hTable), ERR_OK);
    ClearLines();
    MemPoolDelete(hPool, "Test");
    EXPECT_EQ(HookLines().size(), 7u) << "blocks of a deleted table stay in use until returned";
}

TEST_F(MemPoolTest, ThreadsTakeAndReturnHandledBlocks) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 400;
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE hPool = MemPoolCreateDynamic("Test", 4, sizeof(Record), &r);
    RTS_HANDLE hTable = MemPoolCreateHashTable(hPool, 13, "Test", &r);
    ASSERT_EQ(r, ERR_OK);
    std::atomic<int> failures{0};
    std::mutex mutex;
    std::set<RTS_UI32> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            std::vector<RTS_UI32> mine;
            for (int i = 0; i < kRounds; ++i) {
                RTS_RESULT rt = ERR_FAILED;
                RTS_HANDLE h = MemPoolGetBlockHashed2(hTable, 2, offsetof(Record, entry), &rt);
                if (rt != ERR_OK) {
                    ++failures;
                    continue;
                }
                auto* p = static_cast<Record*>(MemPoolGetBlockByHash(hTable, h, &rt));
                if (p == nullptr) {
                    ++failures;
                    continue;
                }
                p->ulHandle = Key(h);
                std::this_thread::yield();
                if (p->ulHandle != Key(h) || MemPoolRemoveBlockHashed(hTable, h) != ERR_OK) {
                    ++failures;
                }
                mine.push_back(Key(h));
            }
            std::lock_guard<std::mutex> lock(mutex);
            seen.insert(mine.begin(), mine.end());
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRounds)) << "a handle was handed out twice";
    EXPECT_EQ(MemPoolDeleteHashTable(hTable), ERR_OK);
    ClearLines();
    MemPoolDelete(hPool, "Test");
    EXPECT_TRUE(HookLines().empty());
}

// ---------------------------------------------------------------------------
// Started by the component manager.

namespace {

std::mutex g_cmMutex;
std::vector<std::string> g_cmLogs;
PF_REGISTER_API g_pfLogRegister = nullptr;
PF_REGISTER_API g_pfUtlRegister = nullptr;

RTS_RESULT TestLogAdd(RTS_HANDLE, RTS_UI32 CmpId, RTS_UI32, RTS_RESULT, RTS_UI32, const char* pszInfo, ...) {
    char szText[256];
    va_list args;
    va_start(args, pszInfo);
    vsnprintf(szText, sizeof(szText), pszInfo, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_cmMutex);
    g_cmLogs.push_back(std::to_string(CmpId) + ":" + szText);
    return ERR_OK;
}

RTS_RESULT TestLogEntry(INIT_STRUCT* p) {
    p->CmpId = 0x9101;
    g_pfLogRegister = p->pfCMRegisterAPI;
    p->pfExportFunctions = [] {
        return g_pfLogRegister("LogAdd", reinterpret_cast<RTS_VOID_FCTPTR>(&TestLogAdd), 0, 0);
    };
    return ERR_OK;
}

// Offers the manager's hash table functions in case the manager's own export
// list does not carry them.
RTS_RESULT TestUtlEntry(INIT_STRUCT* p) {
    p->CmpId = 0x9102;
    g_pfUtlRegister = p->pfCMRegisterAPI;
    p->pfExportFunctions = []() -> RTS_RESULT {
        KL_EXPORT(g_pfUtlRegister, CMUtlHashCreate);
        KL_EXPORT(g_pfUtlRegister, CMUtlHashDelete);
        KL_EXPORT(g_pfUtlRegister, CMUtlHashInsert);
        KL_EXPORT(g_pfUtlRegister, CMUtlHashRemove);
        KL_EXPORT(g_pfUtlRegister, CMUtlHashFind);
        return ERR_OK;
    };
    return ERR_OK;
}

const StaticComponent kComponents[] = {
    {"CmpMemPool", CmpMemPool__Entry, 1},
    {"CmpTestUtl", TestUtlEntry, 1},
    {"CmpTestLog", TestLogEntry, 0},
    {nullptr, nullptr, 0},
};

}  // namespace

TEST(MemPoolComponent, StartedByTheManagerExportsPoolsAndLogsThroughCmpLog) {
    mempooltest::StopComponent();
    ASSERT_EQ(CMInit2(nullptr, kComponents, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    COMPONENT_ENTRY* pCmp = CMGetComponentByName("CmpMemPool", nullptr);
    ASSERT_NE(pCmp, nullptr);
    EXPECT_EQ(pCmp->Id, RTS_UI32(CMPID_CmpMemPool));
    EXPECT_EQ(pCmp->iState, CM_STATE_RUNNING);

    RTS_VOID_FCTPTR pf = nullptr;
    ASSERT_EQ(CMGetAPI("MemPoolCreateDynamic", &pf, SIG_MemPoolCreateDynamic), ERR_OK);
    auto pfCreate = reinterpret_cast<PFMemPoolCreateDynamic>(pf);
    ASSERT_EQ(CMGetAPI("MemPoolDelete", &pf, SIG_MemPoolDelete), ERR_OK);
    auto pfDelete = reinterpret_cast<PFMemPoolDelete>(pf);
    ASSERT_EQ(CMGetAPI("MemPoolGetBlockHashed", &pf, SIG_MemPoolGetBlockHashed), ERR_OK);
    auto pfGetHashed = reinterpret_cast<PFMemPoolGetBlockHashed>(pf);

    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE hPool = pfCreate("CmpUser", 2, 16, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(MemPoolLock(hPool), ERR_OK) << "made after CH_INIT_SYSTEM: has a lock";
    MemPoolUnlock(hPool);
    RTS_HANDLE hTable = MemPoolCreateHashTable(hPool, 3, "CmpUser", &r);
    ASSERT_EQ(r, ERR_OK) << "hash functions imported through the manager";
    RTS_HANDLE h = pfGetHashed(hTable, 0, &r);
    EXPECT_EQ(r, ERR_OK);
    EXPECT_NE(MemPoolGetBlockByHash(hTable, h, nullptr), nullptr);
    MemPoolDeleteHashTable(hTable);
    {
        std::lock_guard<std::mutex> lock(g_cmMutex);
        g_cmLogs.clear();
    }
    pfDelete(hPool, "CmpUser");
    {
        std::lock_guard<std::mutex> lock(g_cmMutex);
        ASSERT_EQ(g_cmLogs.size(), 1u);
        EXPECT_EQ(g_cmLogs[0].rfind("30:**** Pool leak: Cmp=CmpUser, hPool=0x", 0), 0u) << g_cmLogs[0];
    }
    EXPECT_EQ(CMExit(), ERR_OK);
    EXPECT_EQ(MemPoolLock(RTS_INVALID_HANDLE), ERR_NOTINITIALIZED)
        << "CH_EXIT_SYSTEM marks the component down";
}
