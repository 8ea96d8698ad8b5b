// Memory pools (component CmpMemPool, id 30): the runtime components take their
// fixed-size records from here. A pool is a control record at the start of its
// first area, a free list of blocks and an optional in-use list; extension
// areas are chained behind it. Every list operation runs under the pool's lock
// when the pool has one. Blocks under handles live in the component manager's
// hash table utility, which this component imports like any other function.
#include "CmpMemPoolItf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "CMItf.h"
#include "SysSem.h"

namespace {

// Bookkeeping bits of RTS_BCB.flags next to MEM_POOL_BLOCK_DELETED.
constexpr RTS_UI32 kBlockInExtension = 0x100;  // lies in an extension area
constexpr RTS_UI32 kBlockOnUsedList = 0x200;   // linked into the pool's in-use list

constexpr RTS_UI32 kPoolLeakError = 1;
constexpr const char* kCmpName = "CmpMemPool";
constexpr RTS_UI32 kHashTableRecords = 2;
// Each try consumes one counter value, so after this many every 32-bit handle
// has been tried once.
constexpr RTS_UI32 kMaxHandleTries = 0xFFFFFFFFu;
constexpr RTS_UI32 kInvalidHandle32 = 0xFFFFFFFFu;

typedef RTS_RESULT (*PFLogAdd)(RTS_HANDLE hLogger, RTS_UI32 CmpId, RTS_UI32 iClassID, RTS_RESULT iErrorID,
                               RTS_UI32 iInfoID, const char* pszInfo, ...);

std::atomic<int> s_bInitialized{0};
std::atomic<RTS_HANDLE> s_hHashTablePool{RTS_INVALID_HANDLE};
alignas(8) RTS_UI8
    s_abyHashTablePool[kMemPoolPcbSpace + kHashTableRecords * MemPoolStride(sizeof(MemPoolHashTable))];

PF_REGISTER_API s_pfCMRegisterAPI = nullptr;
PF_GET_API s_pfCMGetAPI = nullptr;
PF_GET_API2 s_pfCMGetAPI2 = nullptr;

std::atomic<PFLogAdd> s_pfLogAdd{nullptr};
std::atomic<PF_MEMPOOL_LOG_HOOK> s_pfLogHook{nullptr};
PFCMUtlHashCreate pfCMUtlHashCreate = nullptr;
PFCMUtlHashDelete pfCMUtlHashDelete = nullptr;
PFCMUtlHashInsert pfCMUtlHashInsert = nullptr;
PFCMUtlHashRemove pfCMUtlHashRemove = nullptr;
PFCMUtlHashFind pfCMUtlHashFind = nullptr;

// ---------------------------------------------------------------------------
// Logging

__attribute__((format(printf, 3, 4))) void LogLine(RTS_UI32 iClassID, RTS_RESULT iErrorID,
                                                   const char* pszFormat, ...) {
    char szText[256];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    PF_MEMPOOL_LOG_HOOK pfHook = s_pfLogHook.load();
    if (pfHook != nullptr) {
        pfHook(iClassID, iErrorID, szText);
    }
    PFLogAdd pfLogAdd = s_pfLogAdd.load();
    if (pfLogAdd != nullptr) {
        // The text is complete: "%s" keeps a '%' in a component name literal.
        pfLogAdd(nullptr, CMPID_CmpMemPool, iClassID, iErrorID, 0, "%s", szText);
    }
}

// The log lines show 32-bit addresses; on 64-bit builds the low half.
unsigned int Hex32(const void* p) {
    return static_cast<unsigned int>(reinterpret_cast<RTS_UINTPTR>(p));
}
const char* NameOf(const char* pszComponentName) {
    return pszComponentName != nullptr ? pszComponentName : "";
}

// ---------------------------------------------------------------------------
// Records and locks

RTS_PCB* PoolOf(RTS_HANDLE hPool) {
    return (hPool == nullptr || hPool == RTS_INVALID_HANDLE) ? nullptr : static_cast<RTS_PCB*>(hPool);
}

RTS_BCB* HeaderOf(const void* pBlock) {
    return reinterpret_cast<RTS_BCB*>(reinterpret_cast<RTS_UINTPTR>(pBlock) - sizeof(RTS_BCB));
}

void* DataOf(RTS_BCB* pHeader) {
    return reinterpret_cast<RTS_UI8*>(pHeader) + sizeof(RTS_BCB);
}

// Pool of a handed-out block, null for a null block or a free one.
RTS_PCB* OwnerOf(void* pBlock) {
    return pBlock == nullptr ? nullptr : HeaderOf(pBlock)->pPCB;
}

bool HasLock(const RTS_PCB* pPcb) {
    return pPcb->lock != RTS_INVALID_HANDLE && pPcb->lock != nullptr;
}

class PoolGuard {
public:
    explicit PoolGuard(const RTS_PCB* pPcb) : m_hLock(HasLock(pPcb) ? pPcb->lock : RTS_INVALID_HANDLE) {
        if (m_hLock != RTS_INVALID_HANDLE) {
            SysSemEnter(m_hLock);
        }
    }
    ~PoolGuard() {
        if (m_hLock != RTS_INVALID_HANDLE) {
            SysSemLeave(m_hLock);
        }
    }
    PoolGuard(const PoolGuard&) = delete;
    PoolGuard& operator=(const PoolGuard&) = delete;

private:
    RTS_HANDLE m_hLock;
};

// ---------------------------------------------------------------------------
// Layout

bool AddChecked(RTS_UINTPTR a, RTS_UINTPTR b, RTS_UINTPTR* pSum) {
    return !__builtin_add_overflow(a, b, pSum);
}

// Stride of a block size; false when the rounded size does not fit the
// control record's 32-bit field or the stride does not fit an address.
bool StrideOf(RTS_UI32 ulBlockSize, RTS_UI32* pulRounded, RTS_SIZE* pStride) {
    if (ulBlockSize == 0 || ulBlockSize > 0xFFFFFFF8u) {
        return false;
    }
    RTS_UI32 ulRounded = (ulBlockSize + 7u) & ~7u;
    RTS_UINTPTR stride = 0;
    if (!AddChecked(ulRounded, sizeof(RTS_BCB), &stride)) {
        return false;
    }
    *pulRounded = ulRounded;
    *pStride = stride;
    return true;
}

struct AreaLayout {
    RTS_UINTPTR uiHeader;  // control record or extension header
    RTS_UINTPTR uiFirst;   // first block header
    RTS_SIZE nBlocks;
};

// Places a header aligned to headerAlign at the start of [A, A + L) and the
// first block header at (header + headerSpace) rounded up to 8; the area holds
// as many whole strides as fit behind that. An area too short for its first
// block holds none instead of a count that wrapped below zero.
bool LayoutArea(RTS_UINTPTR A, RTS_SIZE L, RTS_SIZE headerAlign, RTS_SIZE headerSpace, RTS_SIZE stride,
                AreaLayout* pLayout) {
    RTS_UINTPTR end = 0;
    RTS_UINTPTR header = 0;
    RTS_UINTPTR first = 0;
    if (!AddChecked(A, L, &end) || !AddChecked(A, headerAlign - 1u, &header)) {
        return false;
    }
    header &= ~static_cast<RTS_UINTPTR>(headerAlign - 1u);
    if (!AddChecked(header, headerSpace + 7u, &first)) {
        return false;
    }
    first &= ~static_cast<RTS_UINTPTR>(7u);
    pLayout->uiHeader = header;
    pLayout->uiFirst = first;
    pLayout->nBlocks = first <= end ? (end - first) / stride : 0;
    return true;
}

// Size of a heap area for n blocks; false on overflow.
bool HeapSize(RTS_SIZE stride, RTS_UI32 ulNumBlocks, RTS_SIZE overhead, RTS_SIZE* pSize) {
    RTS_SIZE blocks = 0;
    return !__builtin_mul_overflow(stride, static_cast<RTS_SIZE>(ulNumBlocks), &blocks) &&
           !__builtin_add_overflow(blocks, overhead, pSize);
}

// Builds the headers of n blocks from uiFirst on, linked in address order, the
// last one pointing to pNext; returns the first.
RTS_BCB* LinkBlocks(RTS_UINTPTR uiFirst, RTS_SIZE nBlocks, RTS_SIZE stride, RTS_UI32 flags, RTS_BCB* pNext) {
    for (RTS_SIZE i = nBlocks; i-- > 0;) {
        auto* pHeader = new (reinterpret_cast<void*>(uiFirst + i * stride)) RTS_BCB;
        pHeader->pBCB = pNext;
        pHeader->pPCB = nullptr;
        pHeader->flags = flags;
        pHeader->alignment = 0;
        pNext = pHeader;
    }
    return pNext;
}

// ---------------------------------------------------------------------------
// In-use list, called under the pool's lock.

void UsedAddHead(RTS_PCB* pPcb, RTS_BCB* pHeader) {
    pHeader->pBCB = pPcb->pBlocksInUse;
    pPcb->pBlocksInUse = pHeader;
    if (pPcb->pTail == nullptr) {
        pPcb->pTail = pHeader;
    }
    pHeader->flags |= kBlockOnUsedList;
}

void UsedAppend(RTS_PCB* pPcb, RTS_BCB* pHeader) {
    pHeader->pBCB = nullptr;
    if (pPcb->pTail == nullptr) {
        pPcb->pBlocksInUse = pHeader;
    } else {
        pPcb->pTail->pBCB = pHeader;
    }
    pPcb->pTail = pHeader;
    pHeader->flags |= kBlockOnUsedList;
}

void UsedInsertBehind(RTS_PCB* pPcb, RTS_BCB* pPrev, RTS_BCB* pHeader) {
    pHeader->pBCB = pPrev->pBCB;
    pPrev->pBCB = pHeader;
    if (pPcb->pTail == pPrev) {
        pPcb->pTail = pHeader;
    }
    pHeader->flags |= kBlockOnUsedList;
}

bool UsedRemove(RTS_PCB* pPcb, RTS_BCB* pHeader) {
    if ((pHeader->flags & kBlockOnUsedList) == 0) {
        return false;
    }
    RTS_BCB* pPrev = nullptr;
    for (RTS_BCB* p = pPcb->pBlocksInUse; p != nullptr; pPrev = p, p = p->pBCB) {
        if (p != pHeader) {
            continue;
        }
        if (pPrev == nullptr) {
            pPcb->pBlocksInUse = p->pBCB;
        } else {
            pPrev->pBCB = p->pBCB;
        }
        if (pPcb->pTail == p) {
            pPcb->pTail = pPrev;
        }
        p->pBCB = nullptr;
        p->flags &= ~(kBlockOnUsedList | MEM_POOL_BLOCK_DELETED);
        return true;
    }
    return false;
}

// Whether pBlock is on the list, compared by address only: the caller's
// pointer is never read, so any value is safe to ask about.
RTS_BCB* UsedFind(const RTS_PCB* pPcb, const void* pBlock) {
    RTS_BCB* pWanted = HeaderOf(pBlock);
    for (RTS_BCB* p = pPcb->pBlocksInUse; p != nullptr; p = p->pBCB) {
        if (p == pWanted) {
            return p;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Creation

RTS_PCB* InitPool(RTS_UINTPTR uiHeader, RTS_UI32 ulRounded, RTS_UI32 options,
                  PF_MEMPOOL_DELETE_FUNCTION pfDelete) {
    auto* pPcb = new (reinterpret_cast<void*>(uiHeader)) RTS_PCB;
    pPcb->ulBlockSize = ulRounded;
    pPcb->pfDeleteFunction = pfDelete;
    pPcb->nRefCount.store(0);
    pPcb->options = options;
    pPcb->lock = RTS_INVALID_HANDLE;
    pPcb->pPEB = nullptr;
    pPcb->pBCB = nullptr;
    pPcb->pBlocksInUse = nullptr;
    pPcb->pTail = nullptr;
    return pPcb;
}

// Pools made before the component's CH_INIT_SYSTEM have no lock and never get
// one: their owners are still single-threaded.
RTS_RESULT CreatePoolLock(RTS_PCB* pPcb, const char* pszComponentName) {
    if (s_bInitialized.load() == 0 || (pPcb->options & MEM_POOL_OPTION_NO_LOCK) != 0) {
        return ERR_OK;
    }
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hLock = SysSemCreate(&r);
    if (hLock == RTS_INVALID_HANDLE || hLock == nullptr) {
        LogLine(LOG_ERROR, ERR_NOMEMORY, "Could not create mempool sync object: Cmp=%s, hPool=0x%x",
                NameOf(pszComponentName), Hex32(pPcb));
        return ERR_NOMEMORY;
    }
    pPcb->lock = hLock;
    return ERR_OK;
}

RTS_HANDLE CreateStatic(RTS_UI32 ulBlockSize, RTS_SIZE ulMemSize, void* pMemory, RTS_UI32 options,
                        PF_MEMPOOL_DELETE_FUNCTION pfDelete, const char* pszComponentName,
                        RTS_RESULT* pResult) {
    RTS_UI32 ulRounded = 0;
    RTS_SIZE stride = 0;
    AreaLayout layout{};
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hPool = RTS_INVALID_HANDLE;
    if (pMemory == nullptr || ulMemSize == 0 || !StrideOf(ulBlockSize, &ulRounded, &stride)) {
        r = ERR_PARAMETER;
    } else if (ulMemSize < kMemPoolMinStaticArea) {
        r = ERR_NOMEMORY;
    } else if (!LayoutArea(reinterpret_cast<RTS_UINTPTR>(pMemory), ulMemSize, alignof(RTS_PCB),
                           kMemPoolPcbSpace, stride, &layout)) {
        r = ERR_PARAMETER;
    } else {
        RTS_PCB* pPcb = InitPool(layout.uiHeader, ulRounded,
                                 MEM_POOL_OPTION_STATIC | (options & MEM_POOL_OPTION_NO_LOCK), pfDelete);
        pPcb->pBCB = LinkBlocks(layout.uiFirst, layout.nBlocks, stride, 0, nullptr);
        r = CreatePoolLock(pPcb, pszComponentName);
        if (r == ERR_OK) {
            hPool = pPcb;
        }
    }
    if (pResult != nullptr) {
        *pResult = r;
    }
    return hPool;
}

RTS_HANDLE CreateDynamic(const char* pszComponentName, RTS_UI32 ulNumBlocks, RTS_UI32 ulBlockSize,
                         RTS_UI32 options, PF_MEMPOOL_DELETE_FUNCTION pfDelete, RTS_RESULT* pResult) {
    RTS_UI32 ulRounded = 0;
    RTS_SIZE stride = 0;
    RTS_SIZE size = 0;
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hPool = RTS_INVALID_HANDLE;
    void* pArea = nullptr;
    AreaLayout layout{};
    if (!StrideOf(ulBlockSize, &ulRounded, &stride)) {
        r = ERR_PARAMETER;
    } else if (!HeapSize(stride, ulNumBlocks, kMemPoolHeapPoolOverhead, &size) ||
               (pArea = std::malloc(size)) == nullptr) {
        r = ERR_NOMEMORY;
    } else if (!LayoutArea(reinterpret_cast<RTS_UINTPTR>(pArea), size, alignof(RTS_PCB), kMemPoolPcbSpace,
                           stride, &layout) ||
               layout.nBlocks < ulNumBlocks) {
        std::free(pArea);
        r = ERR_NOMEMORY;
    } else {
        RTS_PCB* pPcb = InitPool(layout.uiHeader, ulRounded,
                                 MEM_POOL_OPTION_DYNAMIC | (options & MEM_POOL_OPTION_NO_LOCK), pfDelete);
        pPcb->pBCB = LinkBlocks(layout.uiFirst, ulNumBlocks, stride, 0, nullptr);
        r = CreatePoolLock(pPcb, pszComponentName);
        if (r == ERR_OK) {
            hPool = pPcb;
        } else {
            std::free(pArea);
        }
    }
    if (pResult != nullptr) {
        *pResult = r;
    }
    return hPool;
}

// The area of a pool created on the heap starts where the control record is:
// malloc's alignment is at least the record's.
static_assert(alignof(std::max_align_t) >= alignof(RTS_PCB), "heap areas start with their record");
void* HeapAreaOf(RTS_PCB* pPcb) {
    return pPcb;
}

// Puts an extension's blocks in front of the free list and the extension in
// front of the chain. 20 when the newest extension is a static one; nothing
// is written to the area then (it may be that very extension).
RTS_RESULT AddExtension(RTS_PCB* pPcb, RTS_UI32 options, const AreaLayout& layout, RTS_SIZE nBlocks) {
    PoolGuard guard(pPcb);
    if (pPcb->pPEB != nullptr && (pPcb->pPEB->options & MEM_POOL_EXTENSION_HEAP) == 0) {
        return ERR_INVALID_HANDLE;
    }
    auto* pPeb = new (reinterpret_cast<void*>(layout.uiHeader)) RTS_PEB;
    pPeb->options = options;
    pPeb->pPEB = pPcb->pPEB;
    RTS_SIZE stride = pPcb->ulBlockSize + sizeof(RTS_BCB);
    pPcb->pBCB = LinkBlocks(layout.uiFirst, nBlocks, stride, kBlockInExtension, pPcb->pBCB);
    pPcb->pPEB = pPeb;
    return ERR_OK;
}

RTS_RESULT PutBlockInternal(void* pBlock) {
    RTS_PCB* pPcb = OwnerOf(pBlock);
    if (pPcb == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_BCB* pHeader = HeaderOf(pBlock);
    PoolGuard guard(pPcb);
    // A second put of the same block by another thread finds it free here.
    if (pHeader->pPCB != pPcb) {
        return ERR_PARAMETER;
    }
    if ((pHeader->flags & kBlockOnUsedList) != 0) {
        UsedRemove(pPcb, pHeader);
    }
    std::memset(pBlock, 0xAA, pPcb->ulBlockSize);
    pHeader->pPCB = nullptr;
    pHeader->flags &= kBlockInExtension;
    pHeader->pBCB = pPcb->pBCB;
    pPcb->pBCB = pHeader;
    return ERR_OK;
}

// Logs every block of a chain of in-use blocks as a leak.
void LogLeaks(RTS_BCB* pFirst, RTS_HANDLE hPool, RTS_UI32 ulBlockSize, const char* pszComponentName) {
    for (RTS_BCB* p = pFirst; p != nullptr; p = p->pBCB) {
        LogLine(LOG_DEBUG, kPoolLeakError, "**** Pool leak: Cmp=%s, hPool=0x%x, pBlock=0x%x, Size=%ld",
                NameOf(pszComponentName), Hex32(hPool), Hex32(DataOf(p)), static_cast<long>(ulBlockSize));
    }
}

void FreeHeapExtensions(RTS_PEB* pPeb) {
    while (pPeb != nullptr) {
        RTS_PEB* pNext = pPeb->pPEB;
        if ((pPeb->options & MEM_POOL_EXTENSION_HEAP) != 0) {
            std::free(pPeb);
        }
        pPeb = pNext;
    }
}

RTS_RESULT AddUsed(RTS_HANDLE hPool, void* pBlock, bool bAppend) {
    RTS_PCB* pPcb = OwnerOf(pBlock);
    if (pPcb == nullptr || (hPool != nullptr && pPcb != PoolOf(hPool))) {
        return ERR_PARAMETER;
    }
    RTS_BCB* pHeader = HeaderOf(pBlock);
    PoolGuard guard(pPcb);
    if (pHeader->pPCB != pPcb) {
        return ERR_PARAMETER;
    }
    // A block linked twice would close the list into a ring.
    if ((pHeader->flags & kBlockOnUsedList) != 0) {
        return ERR_DUPLICATE;
    }
    if (bAppend) {
        UsedAppend(pPcb, pHeader);
    } else {
        UsedAddHead(pPcb, pHeader);
    }
    return ERR_OK;
}

RTS_RESULT RemoveUsed(RTS_HANDLE hPool, void* pBlock, bool bDeferred) {
    RTS_PCB* pPcb = OwnerOf(pBlock);
    if (pPcb == nullptr || (hPool != nullptr && pPcb != PoolOf(hPool))) {
        return ERR_PARAMETER;
    }
    RTS_BCB* pHeader = HeaderOf(pBlock);
    PoolGuard guard(pPcb);
    if (pHeader->pPCB != pPcb || (pHeader->flags & kBlockOnUsedList) == 0) {
        return ERR_PARAMETER;
    }
    if (bDeferred && pPcb->nRefCount.load() >= 1) {
        pHeader->flags |= MEM_POOL_BLOCK_DELETED;
        return ERR_PENDING;
    }
    return UsedRemove(pPcb, pHeader) ? ERR_OK : ERR_PARAMETER;
}

RTS_RESULT IsValid(RTS_HANDLE hPool, void* pBlock, bool bSkipDeleted) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr || pBlock == nullptr) {
        return ERR_PARAMETER;
    }
    PoolGuard guard(pPcb);
    RTS_BCB* pHeader = UsedFind(pPcb, pBlock);
    if (pHeader == nullptr || (bSkipDeleted && (pHeader->flags & MEM_POOL_BLOCK_DELETED) != 0)) {
        return ERR_FAILED;
    }
    return ERR_OK;
}

RTS_RESULT LockPool(RTS_PCB* pPcb, bool bEnter) {
    if (s_bInitialized.load() == 0) {
        return ERR_NOTINITIALIZED;
    }
    if (pPcb == nullptr) {
        return ERR_PARAMETER;
    }
    if (!HasLock(pPcb)) {
        return ERR_NOT_IMPLEMENTED;
    }
    return bEnter ? SysSemEnter(pPcb->lock) : SysSemLeave(pPcb->lock);
}

void SetResult(RTS_RESULT* pResult, RTS_RESULT r) {
    if (pResult != nullptr) {
        *pResult = r;
    }
}

// ---------------------------------------------------------------------------
// Hash tables

// The table record behind a handle, or null when the handle names none of
// this component's live tables.
MemPoolHashTable* TableOf(RTS_HANDLE hTable) {
    RTS_HANDLE hRecords = s_hHashTablePool.load();
    if (hRecords == RTS_INVALID_HANDLE || hTable == nullptr || hTable == RTS_INVALID_HANDLE ||
        IsValid(hRecords, hTable, false) != ERR_OK) {
        return nullptr;
    }
    return static_cast<MemPoolHashTable*>(hTable);
}

bool HashImported() {
    return pfCMUtlHashCreate != nullptr && pfCMUtlHashDelete != nullptr && pfCMUtlHashInsert != nullptr &&
           pfCMUtlHashRemove != nullptr && pfCMUtlHashFind != nullptr;
}

// Handles are 32-bit values; 0 and all bits set are never handed out.
bool ToKey(RTS_HANDLE hHash, RTS_UINTPTR* pKey) {
    RTS_UINTPTR key = reinterpret_cast<RTS_UINTPTR>(hHash);
    if (key == 0 || key >= kInvalidHandle32) {
        return false;
    }
    *pKey = key;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Pools

RTS_HANDLE MemPoolCreateStatic(RTS_UI32 ulBlockSize, RTS_SIZE ulMemSize, void* pMemory, RTS_RESULT* pResult) {
    return CreateStatic(ulBlockSize, ulMemSize, pMemory, 0, nullptr, nullptr, pResult);
}

RTS_HANDLE MemPoolCreateDynamic(const char* pszComponentName, RTS_UI32 ulNumBlocks, RTS_UI32 ulBlockSize,
                                RTS_RESULT* pResult) {
    return CreateDynamic(pszComponentName, ulNumBlocks, ulBlockSize, 0, nullptr, pResult);
}

RTS_HANDLE MemPoolCreate(const MemPoolConfiguration* pConfiguration, RTS_RESULT* pResult) {
    if (pConfiguration == nullptr) {
        SetResult(pResult, ERR_PARAMETER);
        return RTS_INVALID_HANDLE;
    }
    const MemPoolConfiguration& c = *pConfiguration;
    if ((c.options & MEM_POOL_OPTION_STATIC) != 0) {
        return CreateStatic(c.ulBlockSize, c.ulMemSize, c.pMemory, c.options, c.pfDeleteFunction,
                            c.pszComponentName, pResult);
    }
    if ((c.options & MEM_POOL_OPTION_DYNAMIC) != 0) {
        return CreateDynamic(c.pszComponentName, c.ulNumBlocks, c.ulBlockSize, c.options, c.pfDeleteFunction,
                             pResult);
    }
    SetResult(pResult, ERR_PARAMETER);
    return RTS_INVALID_HANDLE;
}

RTS_RESULT MemPoolExtendStatic(RTS_HANDLE hPool, RTS_SIZE ulMemSize, void* pMemory) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        return ERR_INVALID_HANDLE;
    }
    if (pMemory == nullptr || ulMemSize == 0) {
        return ERR_PARAMETER;
    }
    AreaLayout layout{};
    if (!LayoutArea(reinterpret_cast<RTS_UINTPTR>(pMemory), ulMemSize, alignof(RTS_PEB), sizeof(RTS_PEB),
                    pPcb->ulBlockSize + sizeof(RTS_BCB), &layout)) {
        return ERR_PARAMETER;
    }
    if (layout.nBlocks == 0) {
        return ERR_NOMEMORY;
    }
    return AddExtension(pPcb, MEM_POOL_EXTENSION_STATIC, layout, layout.nBlocks);
}

RTS_RESULT MemPoolExtendDynamic(RTS_HANDLE hPool, const char* pszComponentName, RTS_UI32 ulNumBlocks) {
    (void)pszComponentName;
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        return ERR_INVALID_HANDLE;
    }
    RTS_SIZE stride = pPcb->ulBlockSize + sizeof(RTS_BCB);
    RTS_SIZE size = 0;
    if (ulNumBlocks == 0 || !HeapSize(stride, ulNumBlocks, kMemPoolHeapExtensionOverhead, &size)) {
        return ERR_NOMEMORY;
    }
    void* pArea = std::malloc(size);
    if (pArea == nullptr) {
        return ERR_NOMEMORY;
    }
    AreaLayout layout{};
    if (!LayoutArea(reinterpret_cast<RTS_UINTPTR>(pArea), size, alignof(RTS_PEB), sizeof(RTS_PEB), stride,
                    &layout) ||
        layout.nBlocks < ulNumBlocks) {
        std::free(pArea);
        return ERR_NOMEMORY;
    }
    RTS_RESULT r = AddExtension(pPcb, MEM_POOL_EXTENSION_HEAP, layout, ulNumBlocks);
    if (r != ERR_OK) {
        std::free(pArea);
    }
    return r;
}

RTS_RESULT MemPoolDelete(RTS_HANDLE hPool, const char* pszComponentName) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        return ERR_INVALID_HANDLE;
    }
    RTS_BCB* pInUse = nullptr;
    RTS_PEB* pPeb = nullptr;
    {
        // Take the lists out under the lock; the lines are logged without it.
        PoolGuard guard(pPcb);
        pInUse = pPcb->pBlocksInUse;
        pPeb = pPcb->pPEB;
        pPcb->pBlocksInUse = nullptr;
        pPcb->pTail = nullptr;
        pPcb->pPEB = nullptr;
        pPcb->pBCB = nullptr;
    }
    LogLeaks(pInUse, hPool, pPcb->ulBlockSize, pszComponentName);
    FreeHeapExtensions(pPeb);
    if (HasLock(pPcb)) {
        SysSemDelete(pPcb->lock);
        pPcb->lock = RTS_INVALID_HANDLE;
    }
    if ((pPcb->options & MEM_POOL_OPTION_DYNAMIC) != 0) {
        std::free(HeapAreaOf(pPcb));
    }
    return ERR_OK;
}

RTS_RESULT MemPoolCleanup(RTS_HANDLE hPool, const char* pszComponentName, int bReleaseSemaphore) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        return ERR_INVALID_HANDLE;
    }
    RTS_PEB* pPeb = nullptr;
    RTS_BCB* pLost = nullptr;
    {
        // The extensions go away: no list may keep a block of them, or the next
        // get would hand out freed memory.
        PoolGuard guard(pPcb);
        pPeb = pPcb->pPEB;
        pPcb->pPEB = nullptr;
        RTS_BCB** ppFree = &pPcb->pBCB;
        while (*ppFree != nullptr) {
            if (((*ppFree)->flags & kBlockInExtension) != 0) {
                *ppFree = (*ppFree)->pBCB;
            } else {
                ppFree = &(*ppFree)->pBCB;
            }
        }
        RTS_BCB* pKeep = pPcb->pBlocksInUse;
        pPcb->pBlocksInUse = nullptr;
        pPcb->pTail = nullptr;
        RTS_BCB** ppLostTail = &pLost;
        while (pKeep != nullptr) {
            RTS_BCB* pNext = pKeep->pBCB;
            if ((pKeep->flags & kBlockInExtension) != 0) {
                // Refused by a later put: its area is no longer the pool's.
                pKeep->pPCB = nullptr;
                pKeep->pBCB = nullptr;
                *ppLostTail = pKeep;
                ppLostTail = &pKeep->pBCB;
            } else {
                UsedAppend(pPcb, pKeep);
            }
            pKeep = pNext;
        }
    }
    LogLeaks(pLost, hPool, pPcb->ulBlockSize, pszComponentName);
    FreeHeapExtensions(pPeb);
    if (bReleaseSemaphore != 0 && HasLock(pPcb)) {
        SysSemDelete(pPcb->lock);
        pPcb->lock = RTS_INVALID_HANDLE;
    }
    return ERR_OK;
}

// ---------------------------------------------------------------------------
// Blocks

void* MemPoolGetBlock(RTS_HANDLE hPool, RTS_RESULT* pResult) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        SetResult(pResult, ERR_INVALID_HANDLE);
        return nullptr;
    }
    RTS_BCB* pHeader = nullptr;
    {
        PoolGuard guard(pPcb);
        pHeader = pPcb->pBCB;
        if (pHeader != nullptr) {
            pPcb->pBCB = pHeader->pBCB;
            pHeader->pBCB = nullptr;
            pHeader->pPCB = pPcb;
            pHeader->flags &= kBlockInExtension;
        }
    }
    if (pHeader == nullptr) {
        SetResult(pResult, ERR_INVALID_HANDLE);
        return nullptr;
    }
    void* pBlock = DataOf(pHeader);
    std::memset(pBlock, 0, pPcb->ulBlockSize);
    SetResult(pResult, ERR_OK);
    return pBlock;
}

void* MemPoolGetBlock2(RTS_HANDLE hPool, int bDynamic, const char* pszComponentName, RTS_RESULT* pResult) {
    if (PoolOf(hPool) == nullptr) {
        SetResult(pResult, ERR_INVALID_HANDLE);
        return nullptr;
    }
    void* pBlock = MemPoolGetBlock(hPool, nullptr);
    if (pBlock == nullptr && bDynamic != 0 && MemPoolExtendDynamic(hPool, pszComponentName, 1) == ERR_OK) {
        pBlock = MemPoolGetBlock(hPool, nullptr);
    }
    SetResult(pResult, pBlock != nullptr ? ERR_OK : ERR_NOMEMORY);
    return pBlock;
}

RTS_RESULT MemPoolPutBlock(void* pBlock) {
    return PutBlockInternal(pBlock);
}

// ---------------------------------------------------------------------------
// In-use lists

RTS_RESULT MemPoolAddUsedBlock(void* pBlock) {
    return AddUsed(nullptr, pBlock, false);
}
RTS_RESULT MemPoolAppendUsedBlock(void* pBlock) {
    return AddUsed(nullptr, pBlock, true);
}

RTS_RESULT MemPoolAddUsedBlockToPool(RTS_HANDLE hPool, void* pBlock) {
    return PoolOf(hPool) == nullptr ? ERR_PARAMETER : AddUsed(hPool, pBlock, false);
}

RTS_RESULT MemPoolAppendUsedBlockToPool(RTS_HANDLE hPool, void* pBlock) {
    return PoolOf(hPool) == nullptr ? ERR_PARAMETER : AddUsed(hPool, pBlock, true);
}

RTS_RESULT MemPoolInsertUsedBlock(void* pPrevBlock, void* pBlock) {
    if (pPrevBlock == nullptr) {
        return AddUsed(nullptr, pBlock, false);
    }
    RTS_PCB* pPcb = OwnerOf(pBlock);
    if (pPcb == nullptr || OwnerOf(pPrevBlock) != pPcb) {
        return ERR_PARAMETER;
    }
    RTS_BCB* pHeader = HeaderOf(pBlock);
    RTS_BCB* pPrev = HeaderOf(pPrevBlock);
    PoolGuard guard(pPcb);
    if (pHeader->pPCB != pPcb || pPrev->pPCB != pPcb || (pPrev->flags & kBlockOnUsedList) == 0) {
        return ERR_PARAMETER;
    }
    if ((pHeader->flags & kBlockOnUsedList) != 0) {
        return ERR_DUPLICATE;
    }
    UsedInsertBehind(pPcb, pPrev, pHeader);
    return ERR_OK;
}

RTS_RESULT MemPoolRemoveUsedBlock(void* pBlock) {
    return RemoveUsed(nullptr, pBlock, false);
}

RTS_RESULT MemPoolRemoveUsedBlockFromPool(RTS_HANDLE hPool, void* pBlock) {
    return PoolOf(hPool) == nullptr ? ERR_PARAMETER : RemoveUsed(hPool, pBlock, false);
}

void* MemPoolGetFirstBlock(RTS_HANDLE hPool, RTS_RESULT* pResult) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        SetResult(pResult, ERR_PARAMETER);
        return nullptr;
    }
    PoolGuard guard(pPcb);
    RTS_BCB* pFirst = pPcb->pBlocksInUse;
    SetResult(pResult, pFirst != nullptr ? ERR_OK : ERR_NO_OBJECT);
    return pFirst != nullptr ? DataOf(pFirst) : nullptr;
}

void* MemPoolGetNextBlock(RTS_HANDLE hPool, void* pPrevBlock, RTS_RESULT* pResult) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr || OwnerOf(pPrevBlock) != pPcb) {
        SetResult(pResult, ERR_PARAMETER);
        return nullptr;
    }
    PoolGuard guard(pPcb);
    RTS_BCB* pPrev = HeaderOf(pPrevBlock);
    if ((pPrev->flags & kBlockOnUsedList) == 0) {
        SetResult(pResult, ERR_PARAMETER);
        return nullptr;
    }
    RTS_BCB* pNext = pPrev->pBCB;
    SetResult(pResult, pNext != nullptr ? ERR_OK : ERR_NO_OBJECT);
    return pNext != nullptr ? DataOf(pNext) : nullptr;
}

void* MemPoolFindBlock(RTS_HANDLE hPool, RTS_SIZE ulOffset, RTS_SIZE ulSize, const void* pToFind,
                       RTS_RESULT* pResult) {
    RTS_PCB* pPcb = PoolOf(hPool);
    RTS_UINTPTR end = 0;
    if (pPcb == nullptr || pToFind == nullptr || !AddChecked(ulOffset, ulSize, &end) ||
        end > pPcb->ulBlockSize) {
        SetResult(pResult, ERR_PARAMETER);
        return nullptr;
    }
    PoolGuard guard(pPcb);
    for (RTS_BCB* p = pPcb->pBlocksInUse; p != nullptr; p = p->pBCB) {
        void* pBlock = DataOf(p);
        if (std::memcmp(static_cast<RTS_UI8*>(pBlock) + ulOffset, pToFind, ulSize) == 0) {
            SetResult(pResult, ERR_OK);
            return pBlock;
        }
    }
    SetResult(pResult, ERR_PARAMETER);
    return nullptr;
}

RTS_RESULT MemPoolIsValidBlock(RTS_HANDLE hPool, void* pBlock) {
    return IsValid(hPool, pBlock, false);
}

// ---------------------------------------------------------------------------
// Locks

RTS_RESULT MemPoolLock(RTS_HANDLE hPool) {
    return LockPool(PoolOf(hPool), true);
}
RTS_RESULT MemPoolUnlock(RTS_HANDLE hPool) {
    return LockPool(PoolOf(hPool), false);
}

RTS_RESULT MemPoolLockBlock(void* pBlock) {
    return LockPool(OwnerOf(pBlock), true);
}
RTS_RESULT MemPoolUnlockBlock(void* pBlock) {
    return LockPool(OwnerOf(pBlock), false);
}

// ---------------------------------------------------------------------------
// Deferred deletion

RTS_RESULT MemPoolAddRef_LF(RTS_HANDLE hPool) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        return ERR_PARAMETER;
    }
    PoolGuard guard(pPcb);
    pPcb->nRefCount.fetch_add(1);
    return ERR_OK;
}

RTS_RESULT MemPoolReleaseRef_LF(RTS_HANDLE hPool) {
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        return ERR_PARAMETER;
    }
    PoolGuard guard(pPcb);
    // An unpaired release must not drive the count below zero, or deletions
    // would be deferred for ever.
    if (pPcb->nRefCount.load() <= 0) {
        return ERR_FAILED;
    }
    pPcb->nRefCount.fetch_sub(1);
    return ERR_OK;
}

// The lock is held after 0 and after 34 alike; the caller leaves it with
// MemPoolUnlock_LF in both cases.
RTS_RESULT MemPoolLock_LF(RTS_HANDLE hPool) {
    RTS_RESULT r = MemPoolLock(hPool);
    if (r != ERR_OK) {
        return r;
    }
    return PoolOf(hPool)->nRefCount.load() > 0 ? ERR_CALLAGAIN : ERR_OK;
}

RTS_RESULT MemPoolUnlock_LF(RTS_HANDLE hPool) {
    return MemPoolUnlock(hPool);
}

RTS_RESULT MemPoolRemoveUsedBlock_LF(void* pBlock) {
    return RemoveUsed(nullptr, pBlock, true);
}

RTS_RESULT MemPoolRemoveUsedBlockFromPool_LF(RTS_HANDLE hPool, void* pBlock) {
    return PoolOf(hPool) == nullptr ? ERR_PARAMETER : RemoveUsed(hPool, pBlock, true);
}

RTS_RESULT MemPoolPutBlock_LF(void* pBlock, void* pParam) {
    RTS_PCB* pPcb = OwnerOf(pBlock);
    if (pPcb == nullptr) {
        return ERR_PARAMETER;
    }
    if (pPcb->pfDeleteFunction != nullptr) {
        pPcb->pfDeleteFunction(pBlock, pParam);
    }
    return PutBlockInternal(pBlock);
}

RTS_RESULT MemPoolIsValidBlock_LF(RTS_HANDLE hPool, void* pBlock) {
    return IsValid(hPool, pBlock, true);
}

RTS_RESULT MemPoolReleaseBlocks(RTS_HANDLE hPool, int bOnlyDeletedBlocks, void* pParam) {
    if (s_bInitialized.load() == 0) {
        return ERR_NOTINITIALIZED;
    }
    RTS_PCB* pPcb = PoolOf(hPool);
    if (pPcb == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_BCB* pRelease = nullptr;
    {
        PoolGuard guard(pPcb);
        if (pPcb->nRefCount.load() != 0 || pPcb->pBlocksInUse == nullptr) {
            return ERR_PENDING;
        }
        // Unlink under the lock; the owner's delete function runs after it is left.
        RTS_BCB** ppTail = &pRelease;
        RTS_BCB* p = pPcb->pBlocksInUse;
        while (p != nullptr) {
            RTS_BCB* pNext = p->pBCB;
            if (bOnlyDeletedBlocks == 0 || (p->flags & MEM_POOL_BLOCK_DELETED) != 0) {
                UsedRemove(pPcb, p);
                *ppTail = p;
                ppTail = &p->pBCB;
            }
            p = pNext;
        }
    }
    RTS_RESULT r = ERR_OK;
    while (pRelease != nullptr) {
        RTS_BCB* pNext = pRelease->pBCB;
        RTS_RESULT rPut = MemPoolPutBlock_LF(DataOf(pRelease), pParam);
        if (r == ERR_OK) {
            r = rPut;
        }
        pRelease = pNext;
    }
    return r;
}

// ---------------------------------------------------------------------------
// Blocks under handles

RTS_HANDLE MemPoolCreateHashTable(RTS_HANDLE hPool, RTS_SIZE sNumHashEntries, const char* pszComponentName,
                                  RTS_RESULT* pResult) {
    return MemPoolCreateHashTable2(hPool, sNumHashEntries, nullptr, pszComponentName, pResult);
}

RTS_HANDLE MemPoolCreateHashTable2(RTS_HANDLE hPool, RTS_SIZE sNumHashEntries,
                                   CMUtlHashEntry** pHashTableBuffer, const char* pszComponentName,
                                   RTS_RESULT* pResult) {
    RTS_HANDLE hRecords = s_hHashTablePool.load();
    if (hRecords == RTS_INVALID_HANDLE || !HashImported()) {
        SetResult(pResult, ERR_NOTINITIALIZED);
        return RTS_INVALID_HANDLE;
    }
    if (PoolOf(hPool) == nullptr || pszComponentName == nullptr || sNumHashEntries == 0) {
        SetResult(pResult, ERR_PARAMETER);
        return RTS_INVALID_HANDLE;
    }
    void* pRecord = MemPoolGetBlock2(hRecords, 1, kCmpName, nullptr);
    if (pRecord == nullptr) {
        SetResult(pResult, ERR_NOMEMORY);
        return RTS_INVALID_HANDLE;
    }
    auto* pTable = new (pRecord) MemPoolHashTable;
    pTable->hMemPool = hPool;
    pTable->i32AllocCount.store(0);
    RTS_RESULT r =
        pfCMUtlHashCreate(&pTable->hashTable, pszComponentName, sNumHashEntries, pHashTableBuffer, 0);
    if (r == ERR_OK) {
        r = MemPoolAppendUsedBlock(pRecord);
    }
    if (r != ERR_OK) {
        MemPoolPutBlock(pRecord);
        SetResult(pResult, r);
        return RTS_INVALID_HANDLE;
    }
    SetResult(pResult, ERR_OK);
    return pTable;
}

RTS_RESULT MemPoolDeleteHashTable(RTS_HANDLE hTable) {
    MemPoolHashTable* pTable = TableOf(hTable);
    if (pTable == nullptr || !HashImported()) {
        return ERR_PARAMETER;
    }
    // Off the list first, so that other callers stop taking it for a table.
    if (MemPoolRemoveUsedBlock(pTable) != ERR_OK) {
        return ERR_PARAMETER;
    }
    pfCMUtlHashDelete(&pTable->hashTable);
    return MemPoolPutBlock(pTable);
}

RTS_HANDLE MemPoolGetBlockHashed(RTS_HANDLE hTable, RTS_UI32 nNumOfNewElements, RTS_RESULT* pResult) {
    return MemPoolGetBlockHashed2(hTable, nNumOfNewElements, MEM_POOL_HASH_OWN_ENTRY, pResult);
}

RTS_HANDLE MemPoolGetBlockHashed2(RTS_HANDLE hTable, RTS_UI32 nNumOfNewElements, RTS_SIZE offsetHashEntry,
                                  RTS_RESULT* pResult) {
    MemPoolHashTable* pTable = TableOf(hTable);
    RTS_PCB* pPcb = pTable != nullptr ? PoolOf(pTable->hMemPool) : nullptr;
    if (pPcb == nullptr || !HashImported()) {
        SetResult(pResult, ERR_PARAMETER);
        return RTS_INVALID_HANDLE;
    }
    RTS_UINTPTR entryEnd = 0;
    if (offsetHashEntry != MEM_POOL_HASH_OWN_ENTRY &&
        (offsetHashEntry % alignof(CMUtlHashEntry) != 0 ||
         !AddChecked(offsetHashEntry, sizeof(CMUtlHashEntry), &entryEnd) || entryEnd > pPcb->ulBlockSize)) {
        SetResult(pResult, ERR_PARAMETER);
        return RTS_INVALID_HANDLE;
    }
    RTS_RESULT r = ERR_OK;
    void* pBlock = MemPoolGetBlock(pTable->hMemPool, &r);
    if (pBlock == nullptr && nNumOfNewElements != 0) {
        r = MemPoolExtendDynamic(pTable->hMemPool, pTable->hashTable.pszComponentName, nNumOfNewElements);
        if (r == ERR_OK) {
            pBlock = MemPoolGetBlock(pTable->hMemPool, &r);
        }
    }
    if (pBlock == nullptr) {
        SetResult(pResult, r);
        return RTS_INVALID_HANDLE;
    }
    // On the in-use list before its handle exists, so that a remove through
    // the handle always finds it there.
    MemPoolAppendUsedBlock(pBlock);
    CMUtlHashEntry* pEntry =
        offsetHashEntry == MEM_POOL_HASH_OWN_ENTRY
            ? nullptr
            : reinterpret_cast<CMUtlHashEntry*>(static_cast<RTS_UI8*>(pBlock) + offsetHashEntry);
    r = ERR_NUMPENDING;
    RTS_UI32 key = 0;
    for (RTS_UI32 ulTry = 0; ulTry < kMaxHandleTries; ++ulTry) {
        // Unsigned arithmetic: the counter wraps from 0x7FFFFFFF on without
        // signed overflow, and the values 0 and all bits set are skipped.
        key = static_cast<RTS_UI32>(pTable->i32AllocCount.fetch_add(1)) + 1u;
        if (key == 0 || key == kInvalidHandle32) {
            continue;
        }
        r = pfCMUtlHashInsert(&pTable->hashTable, key, pBlock, pEntry);
        if (r != ERR_DUPLICATE) {
            break;
        }
        r = ERR_NUMPENDING;
    }
    if (r != ERR_OK) {
        MemPoolPutBlock(pBlock);
        SetResult(pResult, r);
        return RTS_INVALID_HANDLE;
    }
    SetResult(pResult, ERR_OK);
    return reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>(key));
}

RTS_RESULT MemPoolRemoveBlockHashed(RTS_HANDLE hTable, RTS_HANDLE hHash) {
    MemPoolHashTable* pTable = TableOf(hTable);
    RTS_UINTPTR key = 0;
    if (pTable == nullptr || !HashImported()) {
        return ERR_PARAMETER;
    }
    if (!ToKey(hHash, &key)) {
        return ERR_NO_OBJECT;
    }
    void* pBlock = nullptr;
    RTS_RESULT r = pfCMUtlHashRemove(&pTable->hashTable, key, &pBlock);
    if (r != ERR_OK) {
        return r;
    }
    // With the pool's reference count raised the block stays, marked deleted,
    // until MemPoolReleaseBlocks returns it.
    r = MemPoolRemoveUsedBlockFromPool_LF(pTable->hMemPool, pBlock);
    if (r != ERR_OK) {
        return r;
    }
    return MemPoolPutBlock_LF(pBlock, nullptr);
}

void* MemPoolGetBlockByHash(RTS_HANDLE hTable, RTS_HANDLE hHash, RTS_RESULT* pResult) {
    MemPoolHashTable* pTable = TableOf(hTable);
    RTS_UINTPTR key = 0;
    if (pTable == nullptr || !HashImported()) {
        SetResult(pResult, ERR_PARAMETER);
        return nullptr;
    }
    if (!ToKey(hHash, &key)) {
        SetResult(pResult, ERR_NO_OBJECT);
        return nullptr;
    }
    return pfCMUtlHashFind(&pTable->hashTable, key, pResult);
}

// ---------------------------------------------------------------------------
// Test seams

void MemPoolSetLogHook(PF_MEMPOOL_LOG_HOOK pfHook) {
    s_pfLogHook.store(pfHook);
}

RTS_RESULT MemPoolSetHashAllocCount(RTS_HANDLE hTable, RTS_I32 i32AllocCount) {
    MemPoolHashTable* pTable = TableOf(hTable);
    if (pTable == nullptr) {
        return ERR_PARAMETER;
    }
    pTable->i32AllocCount.store(i32AllocCount);
    return ERR_OK;
}

// ---------------------------------------------------------------------------
// The component

namespace {

RTS_RESULT ExportFunctions(void) {
    PF_REGISTER_API reg = s_pfCMRegisterAPI;
    if (reg == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    KL_EXPORT(reg, MemPoolCreateStatic);
    KL_EXPORT(reg, MemPoolCreateDynamic);
    KL_EXPORT(reg, MemPoolCreate);
    KL_EXPORT(reg, MemPoolExtendStatic);
    KL_EXPORT(reg, MemPoolExtendDynamic);
    KL_EXPORT(reg, MemPoolDelete);
    KL_EXPORT(reg, MemPoolCleanup);
    KL_EXPORT(reg, MemPoolGetBlock);
    KL_EXPORT(reg, MemPoolGetBlock2);
    KL_EXPORT(reg, MemPoolPutBlock);
    KL_EXPORT(reg, MemPoolAddUsedBlock);
    KL_EXPORT(reg, MemPoolAppendUsedBlock);
    KL_EXPORT(reg, MemPoolInsertUsedBlock);
    KL_EXPORT(reg, MemPoolRemoveUsedBlock);
    KL_EXPORT(reg, MemPoolAddUsedBlockToPool);
    KL_EXPORT(reg, MemPoolAppendUsedBlockToPool);
    KL_EXPORT(reg, MemPoolRemoveUsedBlockFromPool);
    KL_EXPORT(reg, MemPoolGetFirstBlock);
    KL_EXPORT(reg, MemPoolGetNextBlock);
    KL_EXPORT(reg, MemPoolFindBlock);
    KL_EXPORT(reg, MemPoolIsValidBlock);
    KL_EXPORT(reg, MemPoolLock);
    KL_EXPORT(reg, MemPoolUnlock);
    KL_EXPORT(reg, MemPoolLockBlock);
    KL_EXPORT(reg, MemPoolUnlockBlock);
    KL_EXPORT(reg, MemPoolAddRef_LF);
    KL_EXPORT(reg, MemPoolReleaseRef_LF);
    KL_EXPORT(reg, MemPoolLock_LF);
    KL_EXPORT(reg, MemPoolUnlock_LF);
    KL_EXPORT(reg, MemPoolRemoveUsedBlock_LF);
    KL_EXPORT(reg, MemPoolRemoveUsedBlockFromPool_LF);
    KL_EXPORT(reg, MemPoolPutBlock_LF);
    KL_EXPORT(reg, MemPoolIsValidBlock_LF);
    KL_EXPORT(reg, MemPoolReleaseBlocks);
    KL_EXPORT(reg, MemPoolCreateHashTable);
    KL_EXPORT(reg, MemPoolCreateHashTable2);
    KL_EXPORT(reg, MemPoolDeleteHashTable);
    KL_EXPORT(reg, MemPoolGetBlockHashed);
    KL_EXPORT(reg, MemPoolGetBlockHashed2);
    KL_EXPORT(reg, MemPoolRemoveBlockHashed);
    KL_EXPORT(reg, MemPoolGetBlockByHash);
    return ERR_OK;
}

// The log component is optional: without it the pools work and log nothing.
// Its prototype is taken without a signature, as the manager does, so that a
// log component built apart from this one still serves.
void ImportLog(void) {
    RTS_VOID_FCTPTR pf = nullptr;
    RTS_RESULT r = ERR_NO_OBJECT;
    if (s_pfCMGetAPI2 != nullptr) {
        r = s_pfCMGetAPI2("LogAdd", &pf, CM_IMPORT_OPTION_SILENT, 0, 0);
    } else if (s_pfCMGetAPI != nullptr) {
        r = s_pfCMGetAPI("LogAdd", &pf, 0);
    }
    s_pfLogAdd.store(r == ERR_OK ? reinterpret_cast<PFLogAdd>(pf) : nullptr);
}

RTS_RESULT ImportFunctions(void) {
    ImportLog();
    KL_IMPORT(s_pfCMGetAPI, CMUtlHashCreate);
    KL_IMPORT(s_pfCMGetAPI, CMUtlHashDelete);
    KL_IMPORT(s_pfCMGetAPI, CMUtlHashInsert);
    KL_IMPORT(s_pfCMGetAPI, CMUtlHashRemove);
    KL_IMPORT(s_pfCMGetAPI, CMUtlHashFind);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

void CreateHashTablePool(void) {
    if (s_hHashTablePool.load() != RTS_INVALID_HANDLE) {
        return;
    }
    RTS_HANDLE hPool = MemPoolCreateStatic(sizeof(MemPoolHashTable), sizeof(s_abyHashTablePool),
                                           s_abyHashTablePool, nullptr);
    s_hHashTablePool.store(hPool);
}

void DeleteHashTablePool(void) {
    RTS_HANDLE hPool = s_hHashTablePool.exchange(RTS_INVALID_HANDLE);
    if (hPool == RTS_INVALID_HANDLE) {
        return;
    }
    // Tables their owners did not delete: release what the manager's table
    // holds (lock, entries, buckets); the records are reported as leaks.
    if (pfCMUtlHashDelete != nullptr) {
        for (RTS_BCB* p = static_cast<RTS_PCB*>(hPool)->pBlocksInUse; p != nullptr; p = p->pBCB) {
            pfCMUtlHashDelete(&static_cast<MemPoolHashTable*>(DataOf(p))->hashTable);
        }
    }
    MemPoolDelete(hPool, kCmpName);
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    switch (ulHook) {
        case CH_INIT_SYSTEM:
            s_bInitialized.store(1);
            CreateHashTablePool();
            break;
        case CH_EXIT:
            DeleteHashTablePool();
            break;
        case CH_EXIT_SYSTEM:
            s_bInitialized.store(0);
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

RTS_RESULT CmpMemPool__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpMemPool;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    pInitStruct->pfCreateInstance = nullptr;
    pInitStruct->pfDeleteInstance = nullptr;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    return ERR_OK;
}
