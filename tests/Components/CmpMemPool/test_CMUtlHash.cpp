// The component manager's hash table: keys sharing a bucket, duplicates,
// entries in the caller's memory that the table must never free, and tables
// in a caller's bucket array.
#include <gtest/gtest.h>

#include "CMUtlHash.h"

TEST(CMUtlHash, KeysSharingABucketAndDuplicates) {
    CMUtlHashTable table{};
    EXPECT_EQ(CMUtlHashCreate(&table, "Test", 0, nullptr, 0), ERR_PARAMETER);
    EXPECT_EQ(CMUtlHashCreate(&table, nullptr, 3, nullptr, 0), ERR_PARAMETER);
    EXPECT_EQ(CMUtlHashCreate(&table, "Test", RTS_SIZE(-1) / 2, nullptr, 0), ERR_NOMEMORY);
    ASSERT_EQ(CMUtlHashCreate(&table, "Test", 3, nullptr, 0), ERR_OK);
    EXPECT_NE(table.hSync, RTS_INVALID_HANDLE);

    int values[4] = {10, 11, 12, 13};
    // 1, 4 and 7 share bucket 1.
    ASSERT_EQ(CMUtlHashInsert(&table, 1, &values[0], nullptr), ERR_OK);
    ASSERT_EQ(CMUtlHashInsert(&table, 4, &values[1], nullptr), ERR_OK);
    ASSERT_EQ(CMUtlHashInsert(&table, 7, &values[2], nullptr), ERR_OK);
    EXPECT_EQ(CMUtlHashInsert(&table, 4, &values[3], nullptr), ERR_DUPLICATE);
    RTS_RESULT r = ERR_FAILED;
    EXPECT_EQ(CMUtlHashFind(&table, 4, &r), &values[1]) << "a refused duplicate changed the table";
    EXPECT_EQ(r, ERR_OK);

    void* pValue = nullptr;
    ASSERT_EQ(CMUtlHashRemove(&table, 4, &pValue), ERR_OK);  // middle of the chain
    EXPECT_EQ(pValue, &values[1]);
    EXPECT_EQ(CMUtlHashFind(&table, 4, &r), nullptr);
    EXPECT_EQ(r, ERR_NO_OBJECT);
    EXPECT_EQ(CMUtlHashFind(&table, 1, nullptr), &values[0]);
    EXPECT_EQ(CMUtlHashFind(&table, 7, nullptr), &values[2]);
    EXPECT_EQ(CMUtlHashRemove(&table, 4, nullptr), ERR_NO_OBJECT);
    EXPECT_EQ(CMUtlHashInsert(&table, 4, &values[3], nullptr), ERR_OK) << "key free again";
    EXPECT_EQ(CMUtlHashFind(&table, 4, nullptr), &values[3]);
    EXPECT_EQ(CMUtlHashDelete(&table), ERR_OK);
    EXPECT_EQ(CMUtlHashFind(&table, 1, &r), nullptr);
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(CMUtlHashDelete(&table), ERR_PARAMETER);
}

TEST(CMUtlHash, EntriesInCallerMemoryAndCallerBuckets) {
    CMUtlHashEntry* buckets[2] = {reinterpret_cast<CMUtlHashEntry*>(0x1), nullptr};
    CMUtlHashTable table{};
    ASSERT_EQ(CMUtlHashCreate(&table, "Test", 2, buckets, CMUTLHASH_FLAG_NO_SYNC), ERR_OK);
    EXPECT_EQ(buckets[0], nullptr) << "buckets start empty";
    EXPECT_EQ(table.hSync, RTS_INVALID_HANDLE);
    EXPECT_EQ(table.ppTable, buckets);

    struct Holder {
        CMUtlHashEntry entry;
        int value;
    } holders[3] = {};
    for (int i = 0; i < 3; ++i) {
        holders[i].value = 100 + i;
        ASSERT_EQ(CMUtlHashInsert(&table, RTS_UINTPTR(2 * i), &holders[i].value, &holders[i].entry), ERR_OK);
        EXPECT_EQ(holders[i].entry.ulFlags & CMUTLHASH_ENTRY_ALLOCATED, 0u);
    }
    EXPECT_EQ(CMUtlHashFind(&table, 4, nullptr), &holders[2].value);
    ASSERT_EQ(CMUtlHashRemove(&table, 2, nullptr), ERR_OK);
    EXPECT_EQ(CMUtlHashFind(&table, 0, nullptr), &holders[0].value);
    EXPECT_EQ(CMUtlHashFind(&table, 4, nullptr), &holders[2].value);
    // Deleting the table leaves the caller's entries alone (freeing them
    // would be freeing stack memory here).
    EXPECT_EQ(CMUtlHashDelete(&table), ERR_OK);
    EXPECT_EQ(holders[2].value, 102);
}
