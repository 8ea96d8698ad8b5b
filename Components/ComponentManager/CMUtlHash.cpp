// Hash table utility of the component manager. Every operation on a table runs
// under the table's own lock (unless the owner asked for none), so that
// components may insert and look up handles from several threads.
#include "CMUtlHash.h"

#include <new>

#include "SysSem.h"

namespace {

class TableLock {
public:
    explicit TableLock(const CMUtlHashTable* pTable)
        : m_hSync((pTable->flagsTable & CMUTLHASH_FLAG_NO_SYNC) != 0 ? RTS_INVALID_HANDLE : pTable->hSync) {
        if (m_hSync != RTS_INVALID_HANDLE) {
            SysSemEnter(m_hSync);
        }
    }
    ~TableLock() {
        if (m_hSync != RTS_INVALID_HANDLE) {
            SysSemLeave(m_hSync);
        }
    }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    RTS_HANDLE m_hSync;
};

bool IsUsable(const CMUtlHashTable* pTable) {
    return pTable != nullptr && pTable->ppTable != nullptr && pTable->sNumHashEntries != 0;
}

CMUtlHashEntry** BucketOf(const CMUtlHashTable* pTable, RTS_UINTPTR key) {
    return &pTable->ppTable[key % pTable->sNumHashEntries];
}

}  // namespace

RTS_RESULT CMUtlHashCreate(CMUtlHashTable* pTable, const char* pszComponentName, RTS_SIZE sNumHashEntries,
                           CMUtlHashEntry** ppTableBuffer, RTS_UI32 flags) {
    if (pTable == nullptr || pszComponentName == nullptr || sNumHashEntries == 0) {
        return ERR_PARAMETER;
    }
    pTable->hSync = RTS_INVALID_HANDLE;
    pTable->ppTable = nullptr;
    pTable->sNumHashEntries = 0;
    pTable->pszComponentName = pszComponentName;
    pTable->flagsTable = flags & CMUTLHASH_FLAG_NO_SYNC;

    CMUtlHashEntry** ppBuckets = ppTableBuffer;
    if (ppBuckets == nullptr) {
        // new[] of a count that does not fit in memory throws bad_array_new_length
        // even with nothrow; refuse such counts first.
        if (sNumHashEntries > static_cast<RTS_SIZE>(-1) / sizeof(CMUtlHashEntry*)) {
            return ERR_NOMEMORY;
        }
        ppBuckets = new (std::nothrow) CMUtlHashEntry*[sNumHashEntries];
        if (ppBuckets == nullptr) {
            return ERR_NOMEMORY;
        }
        pTable->flagsTable |= CMUTLHASH_FLAG_OWN_BUCKETS;
    }
    for (RTS_SIZE i = 0; i < sNumHashEntries; ++i) {
        ppBuckets[i] = nullptr;
    }
    if ((flags & CMUTLHASH_FLAG_NO_SYNC) == 0) {
        RTS_RESULT r = ERR_OK;
        pTable->hSync = SysSemCreate(&r);
        if (pTable->hSync == RTS_INVALID_HANDLE) {
            if ((pTable->flagsTable & CMUTLHASH_FLAG_OWN_BUCKETS) != 0) {
                delete[] ppBuckets;
            }
            pTable->flagsTable = 0;
            return ERR_NOMEMORY;
        }
    }
    pTable->ppTable = ppBuckets;
    pTable->sNumHashEntries = sNumHashEntries;
    return ERR_OK;
}

RTS_RESULT CMUtlHashDelete(CMUtlHashTable* pTable) {
    if (!IsUsable(pTable)) {
        return ERR_PARAMETER;
    }
    {
        TableLock lock(pTable);
        for (RTS_SIZE i = 0; i < pTable->sNumHashEntries; ++i) {
            CMUtlHashEntry* pEntry = pTable->ppTable[i];
            while (pEntry != nullptr) {
                CMUtlHashEntry* pNext = pEntry->pNext;
                if ((pEntry->ulFlags & CMUTLHASH_ENTRY_ALLOCATED) != 0) {
                    delete pEntry;
                } else {
                    pEntry->pNext = nullptr;
                }
                pEntry = pNext;
            }
            pTable->ppTable[i] = nullptr;
        }
        if ((pTable->flagsTable & CMUTLHASH_FLAG_OWN_BUCKETS) != 0) {
            delete[] pTable->ppTable;
        }
        pTable->ppTable = nullptr;
        pTable->sNumHashEntries = 0;
    }
    if (pTable->hSync != RTS_INVALID_HANDLE) {
        SysSemDelete(pTable->hSync);
        pTable->hSync = RTS_INVALID_HANDLE;
    }
    pTable->flagsTable = 0;
    return ERR_OK;
}

RTS_RESULT CMUtlHashInsert(CMUtlHashTable* pTable, RTS_UINTPTR key, void* pValue, CMUtlHashEntry* pEntry) {
    if (!IsUsable(pTable)) {
        return ERR_PARAMETER;
    }
    TableLock lock(pTable);
    CMUtlHashEntry** ppBucket = BucketOf(pTable, key);
    for (CMUtlHashEntry* p = *ppBucket; p != nullptr; p = p->pNext) {
        if (p->key == key) {
            return ERR_DUPLICATE;
        }
    }
    RTS_UI32 ulFlags = 0;
    if (pEntry == nullptr) {
        pEntry = new (std::nothrow) CMUtlHashEntry;
        if (pEntry == nullptr) {
            return ERR_NOMEMORY;
        }
        ulFlags = CMUTLHASH_ENTRY_ALLOCATED;
    }
    pEntry->key = key;
    pEntry->pValue = pValue;
    pEntry->ulFlags = ulFlags;
    pEntry->pNext = *ppBucket;
    *ppBucket = pEntry;
    return ERR_OK;
}

RTS_RESULT CMUtlHashRemove(CMUtlHashTable* pTable, RTS_UINTPTR key, void** ppValue) {
    if (!IsUsable(pTable)) {
        return ERR_PARAMETER;
    }
    TableLock lock(pTable);
    for (CMUtlHashEntry** pp = BucketOf(pTable, key); *pp != nullptr; pp = &(*pp)->pNext) {
        CMUtlHashEntry* pEntry = *pp;
        if (pEntry->key != key) {
            continue;
        }
        *pp = pEntry->pNext;
        if (ppValue != nullptr) {
            *ppValue = pEntry->pValue;
        }
        if ((pEntry->ulFlags & CMUTLHASH_ENTRY_ALLOCATED) != 0) {
            delete pEntry;
        } else {
            pEntry->pNext = nullptr;
        }
        return ERR_OK;
    }
    return ERR_NO_OBJECT;
}

void* CMUtlHashFind(CMUtlHashTable* pTable, RTS_UINTPTR key, RTS_RESULT* pResult) {
    RTS_RESULT r = ERR_NO_OBJECT;
    void* pValue = nullptr;
    if (!IsUsable(pTable)) {
        r = ERR_PARAMETER;
    } else {
        TableLock lock(pTable);
        for (CMUtlHashEntry* p = *BucketOf(pTable, key); p != nullptr; p = p->pNext) {
            if (p->key == key) {
                pValue = p->pValue;
                r = ERR_OK;
                break;
            }
        }
    }
    if (pResult != nullptr) {
        *pResult = r;
    }
    return pValue;
}
