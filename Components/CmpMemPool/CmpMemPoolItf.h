// Memory pools of the runtime (component CmpMemPool): fixed-size blocks handed
// out from a free list that starts in a static area of the owning component or
// in one heap allocation and grows by further areas. Handed-out blocks can be
// chained into a per-pool in-use list, pools carry a lock and a reference count
// for deferred deletion, and blocks can be handed out under numeric handles.
//
// The records below fix how many blocks an area holds; on the 32-bit target
// they keep the layout every owner of a static area has sized its area by.
#pragma once

#include <atomic>
#include <cstddef>

#include "CMUtlHash.h"
#include "CmpStd.h"

// RTS_PCB.options and MemPoolConfiguration.options
#define MEM_POOL_OPTION_STATIC 0x1    // the pool starts in the caller's area
#define MEM_POOL_OPTION_DYNAMIC 0x2   // the pool was created on the heap
#define MEM_POOL_OPTION_NO_LOCK 0x10  // no lock: for single-threaded owners

// RTS_PEB.options
#define MEM_POOL_EXTENSION_STATIC 0x1
#define MEM_POOL_EXTENSION_HEAP 0x2

// RTS_BCB.flags
#define MEM_POOL_BLOCK_DELETED 0x1  // removed while the pool's reference count was raised

// MemPoolGetBlockHashed2: the table keeps its own entry for the block.
#define MEM_POOL_HASH_OWN_ENTRY (static_cast<RTS_SIZE>(~static_cast<RTS_SIZE>(0)))

// Called for a block that leaves the pool through the deferred path.
typedef void (*PF_MEMPOOL_DELETE_FUNCTION)(void* pBlock, void* pParam);

struct RTS_BCB;
struct RTS_PEB;

// Pool control record, at the start of the pool's first area.
struct RTS_PCB {
    RTS_UI32 ulBlockSize;  // rounded up to a multiple of 8
    PF_MEMPOOL_DELETE_FUNCTION pfDeleteFunction;
    std::atomic<RTS_I32> nRefCount;
    RTS_UI32 options;
    RTS_HANDLE lock;  // RTS_INVALID_HANDLE when the pool has none
    RTS_PEB* pPEB;    // newest extension area
    RTS_BCB* pBCB;    // head of the free list
    RTS_BCB* pBlocksInUse;
    RTS_BCB* pTail;
};

// Header in front of every block; the caller's pointer is just behind it.
struct RTS_BCB {
    RTS_BCB* pBCB;   // next block of whichever list the block is on
    RTS_PCB* pPCB;   // owning pool while handed out, null while free
    RTS_UI32 flags;  // MEM_POOL_BLOCK_DELETED and the pool's own bookkeeping
    RTS_UI32 alignment;
};

// Header of an extension area.
struct RTS_PEB {
    RTS_UI32 options;  // MEM_POOL_EXTENSION_*
    RTS_PEB* pPEB;     // next, older extension
};

static_assert(sizeof(std::atomic<RTS_I32>) == sizeof(RTS_I32),
              "reference count must keep the record's layout");
static_assert(std::is_standard_layout<RTS_PCB>::value, "pool control record");
static_assert(sizeof(RTS_BCB) % 8 == 0, "blocks behind their headers stay 8-byte aligned");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(RTS_PCB) == 36, "pool control record of the 32-bit target");
static_assert(offsetof(RTS_PCB, pfDeleteFunction) == 4 && offsetof(RTS_PCB, nRefCount) == 8 &&
                  offsetof(RTS_PCB, options) == 12 && offsetof(RTS_PCB, lock) == 16 &&
                  offsetof(RTS_PCB, pPEB) == 20 && offsetof(RTS_PCB, pBCB) == 24 &&
                  offsetof(RTS_PCB, pBlocksInUse) == 28 && offsetof(RTS_PCB, pTail) == 32,
              "pool control record of the 32-bit target");
static_assert(sizeof(RTS_BCB) == 16 && offsetof(RTS_BCB, pPCB) == 4 && offsetof(RTS_BCB, flags) == 8 &&
                  offsetof(RTS_BCB, alignment) == 12,
              "block header of the 32-bit target");
static_assert(sizeof(RTS_PEB) == 8 && offsetof(RTS_PEB, pPEB) == 4, "extension header of the 32-bit target");
#else
static_assert(sizeof(RTS_PCB) == 64 && offsetof(RTS_PCB, nRefCount) == 16 && offsetof(RTS_PCB, lock) == 24 &&
                  offsetof(RTS_PCB, pTail) == 56,
              "pool control record of 64-bit builds");
static_assert(sizeof(RTS_BCB) == 24 && offsetof(RTS_BCB, pPCB) == 8 && offsetof(RTS_BCB, flags) == 16,
              "block header of 64-bit builds");
static_assert(sizeof(RTS_PEB) == 16 && offsetof(RTS_PEB, pPEB) == 8, "extension header of 64-bit builds");
#endif

// Layout rules. The record sizes above give them; on the 32-bit target they are
// header 16, first block header at ((A rounded up to 4) + 47) rounded down to 8,
// areas of at least 40 bytes, heap pools stride * n + 56, heap extensions
// stride * n + 24 with the first block at (area + 15) rounded down to 8.
constexpr RTS_SIZE MemPoolRoundUp8(RTS_SIZE x) {
    return (x + 7u) & ~static_cast<RTS_SIZE>(7u);
}
constexpr RTS_SIZE kMemPoolPcbSpace = MemPoolRoundUp8(sizeof(RTS_PCB));
constexpr RTS_SIZE kMemPoolMinStaticArea = sizeof(RTS_PCB) + alignof(RTS_PCB);
constexpr RTS_SIZE kMemPoolHeapPoolOverhead = kMemPoolPcbSpace + 16u;
constexpr RTS_SIZE kMemPoolHeapExtensionOverhead = sizeof(RTS_PEB) + 16u;
constexpr RTS_SIZE MemPoolStride(RTS_SIZE ulBlockSize) {
    return MemPoolRoundUp8(ulBlockSize) + sizeof(RTS_BCB);
}
// Bytes of a static area that holds ulNumBlocks blocks wherever it starts.
constexpr RTS_SIZE MemPoolStaticAreaSize(RTS_SIZE ulNumBlocks, RTS_SIZE ulBlockSize) {
    return kMemPoolPcbSpace + (alignof(RTS_PCB) - 1u) + 7u + ulNumBlocks * MemPoolStride(ulBlockSize);
}
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(kMemPoolPcbSpace == 40 && kMemPoolMinStaticArea == 40 && kMemPoolHeapPoolOverhead == 56 &&
                  kMemPoolHeapExtensionOverhead == 24 && MemPoolStride(64) == 80,
              "layout numbers of the 32-bit target");
#endif

// Configuration of MemPoolCreate: MEM_POOL_OPTION_STATIC takes pMemory,
// ulMemSize and ulBlockSize; MEM_POOL_OPTION_DYNAMIC takes pszComponentName,
// ulNumBlocks and ulBlockSize. MEM_POOL_OPTION_NO_LOCK may be added to either.
struct MemPoolConfiguration {
    RTS_UI32 options;
    RTS_UI32 ulBlockSize;
    void* pMemory;
    RTS_SIZE ulMemSize;
    const char* pszComponentName;
    RTS_UI32 ulNumBlocks;
    PF_MEMPOOL_DELETE_FUNCTION pfDeleteFunction;
};

// Record behind a hash table handle: the table, the pool whose blocks it
// indexes, and the counter handles are made from.
struct MemPoolHashTable {
    CMUtlHashTable hashTable;
    RTS_HANDLE hMemPool;
    std::atomic<RTS_I32> i32AllocCount;
};

// Pools.
KL_API_FUNC(RTS_HANDLE, MemPoolCreateStatic,
            (RTS_UI32 ulBlockSize, RTS_SIZE ulMemSize, void* pMemory, RTS_RESULT* pResult));
KL_API_FUNC(RTS_HANDLE, MemPoolCreateDynamic,
            (const char* pszComponentName, RTS_UI32 ulNumBlocks, RTS_UI32 ulBlockSize, RTS_RESULT* pResult));
KL_API_FUNC(RTS_HANDLE, MemPoolCreate, (const MemPoolConfiguration* pConfiguration, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, MemPoolExtendStatic, (RTS_HANDLE hPool, RTS_SIZE ulMemSize, void* pMemory));
KL_API_FUNC(RTS_RESULT, MemPoolExtendDynamic,
            (RTS_HANDLE hPool, const char* pszComponentName, RTS_UI32 ulNumBlocks));
KL_API_FUNC(RTS_RESULT, MemPoolDelete, (RTS_HANDLE hPool, const char* pszComponentName));
KL_API_FUNC(RTS_RESULT, MemPoolCleanup,
            (RTS_HANDLE hPool, const char* pszComponentName, int bReleaseSemaphore));

// Blocks.
KL_API_FUNC(void*, MemPoolGetBlock, (RTS_HANDLE hPool, RTS_RESULT* pResult));
KL_API_FUNC(void*, MemPoolGetBlock2,
            (RTS_HANDLE hPool, int bDynamic, const char* pszComponentName, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, MemPoolPutBlock, (void* pBlock));

// In-use lists.
KL_API_FUNC(RTS_RESULT, MemPoolAddUsedBlock, (void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolAppendUsedBlock, (void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolInsertUsedBlock, (void* pPrevBlock, void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolRemoveUsedBlock, (void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolAddUsedBlockToPool, (RTS_HANDLE hPool, void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolAppendUsedBlockToPool, (RTS_HANDLE hPool, void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolRemoveUsedBlockFromPool, (RTS_HANDLE hPool, void* pBlock));
KL_API_FUNC(void*, MemPoolGetFirstBlock, (RTS_HANDLE hPool, RTS_RESULT* pResult));
KL_API_FUNC(void*, MemPoolGetNextBlock, (RTS_HANDLE hPool, void* pPrevBlock, RTS_RESULT* pResult));
KL_API_FUNC(void*, MemPoolFindBlock,
            (RTS_HANDLE hPool, RTS_SIZE ulOffset, RTS_SIZE ulSize, const void* pToFind, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, MemPoolIsValidBlock, (RTS_HANDLE hPool, void* pBlock));

// Locks.
KL_API_FUNC(RTS_RESULT, MemPoolLock, (RTS_HANDLE hPool));
KL_API_FUNC(RTS_RESULT, MemPoolUnlock, (RTS_HANDLE hPool));
KL_API_FUNC(RTS_RESULT, MemPoolLockBlock, (void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolUnlockBlock, (void* pBlock));

// Deferred deletion.
KL_API_FUNC(RTS_RESULT, MemPoolAddRef_LF, (RTS_HANDLE hPool));
KL_API_FUNC(RTS_RESULT, MemPoolReleaseRef_LF, (RTS_HANDLE hPool));
KL_API_FUNC(RTS_RESULT, MemPoolLock_LF, (RTS_HANDLE hPool));
KL_API_FUNC(RTS_RESULT, MemPoolUnlock_LF, (RTS_HANDLE hPool));
KL_API_FUNC(RTS_RESULT, MemPoolRemoveUsedBlock_LF, (void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolRemoveUsedBlockFromPool_LF, (RTS_HANDLE hPool, void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolPutBlock_LF, (void* pBlock, void* pParam));
KL_API_FUNC(RTS_RESULT, MemPoolIsValidBlock_LF, (RTS_HANDLE hPool, void* pBlock));
KL_API_FUNC(RTS_RESULT, MemPoolReleaseBlocks, (RTS_HANDLE hPool, int bOnlyDeletedBlocks, void* pParam));

// Blocks under handles.
KL_API_FUNC(RTS_HANDLE, MemPoolCreateHashTable,
            (RTS_HANDLE hPool, RTS_SIZE sNumHashEntries, const char* pszComponentName, RTS_RESULT* pResult));
KL_API_FUNC(RTS_HANDLE, MemPoolCreateHashTable2,
            (RTS_HANDLE hPool, RTS_SIZE sNumHashEntries, CMUtlHashEntry** pHashTableBuffer,
             const char* pszComponentName, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, MemPoolDeleteHashTable, (RTS_HANDLE hTable));
KL_API_FUNC(RTS_HANDLE, MemPoolGetBlockHashed,
            (RTS_HANDLE hTable, RTS_UI32 nNumOfNewElements, RTS_RESULT* pResult));
KL_API_FUNC(RTS_HANDLE, MemPoolGetBlockHashed2,
            (RTS_HANDLE hTable, RTS_UI32 nNumOfNewElements, RTS_SIZE offsetHashEntry, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, MemPoolRemoveBlockHashed, (RTS_HANDLE hTable, RTS_HANDLE hHash));
KL_API_FUNC(void*, MemPoolGetBlockByHash, (RTS_HANDLE hTable, RTS_HANDLE hHash, RTS_RESULT* pResult));

KL_COMPONENT_ENTRY(CmpMemPool);

// Test seams, not exported: every line the component logs also goes to the
// hook; the handle counter of a table can be placed just before its wrap.
typedef void (*PF_MEMPOOL_LOG_HOOK)(RTS_UI32 iClassID, RTS_RESULT iErrorID, const char* pszText);
void MemPoolSetLogHook(PF_MEMPOOL_LOG_HOOK pfHook);
RTS_RESULT MemPoolSetHashAllocCount(RTS_HANDLE hTable, RTS_I32 i32AllocCount);
