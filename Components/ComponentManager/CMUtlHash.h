// Hash table utility of the component manager: a fixed number of buckets
// holding chains of entries under numeric keys. Components use it for objects
// they hand out under handles (the memory pools' blocks under handles). Entries
// are either allocated by the table or lie inside the caller's own records, so
// that a table of pool blocks needs no allocation per insert. The functions are
// exported by the manager and imported by the components that use them.
#pragma once

#include "CmpStd.h"

// CMUtlHashTable.flagsTable
#define CMUTLHASH_FLAG_OWN_BUCKETS 0x1  // the bucket array was allocated by CMUtlHashCreate
#define CMUTLHASH_FLAG_NO_SYNC 0x2      // no lock: the owner serialises every call

// CMUtlHashEntry.ulFlags
#define CMUTLHASH_ENTRY_ALLOCATED 0x1  // allocated by the table, freed on removal

struct CMUtlHashEntry {
    CMUtlHashEntry* pNext;
    RTS_UINTPTR key;
    void* pValue;
    RTS_UI32 ulFlags;
};

struct CMUtlHashTable {
    RTS_HANDLE hSync;
    CMUtlHashEntry** ppTable;
    RTS_SIZE sNumHashEntries;
    const char* pszComponentName;
    RTS_UI32 flagsTable;
};

// Sets up pTable with sNumHashEntries buckets, in ppTableBuffer when given
// (room for sNumHashEntries pointers, owned by the caller) or else on the heap.
// 2 for a missing table, name or 0 buckets, 17 without memory or lock.
KL_API_FUNC(RTS_RESULT, CMUtlHashCreate,
            (CMUtlHashTable * pTable, const char* pszComponentName, RTS_SIZE sNumHashEntries,
             CMUtlHashEntry** ppTableBuffer, RTS_UI32 flags));
// Frees the entries the table allocated, its own bucket array and its lock.
// Entries inside the callers' records are simply forgotten.
KL_API_FUNC(RTS_RESULT, CMUtlHashDelete, (CMUtlHashTable * pTable));
// Stores pValue under key. pEntry, when given, is the caller's memory for the
// entry (it stays linked into the table until removed); otherwise the table
// allocates one. 18 when the key is present already (the table is unchanged),
// 17 without memory.
KL_API_FUNC(RTS_RESULT, CMUtlHashInsert,
            (CMUtlHashTable * pTable, RTS_UINTPTR key, void* pValue, CMUtlHashEntry* pEntry));
// Unlinks the entry of key and hands its value back in *ppValue (may be null).
// 16 when the key is not present.
KL_API_FUNC(RTS_RESULT, CMUtlHashRemove, (CMUtlHashTable * pTable, RTS_UINTPTR key, void** ppValue));
// The value stored under key; null with 16 when the key is not present.
KL_API_FUNC(void*, CMUtlHashFind, (CMUtlHashTable * pTable, RTS_UINTPTR key, RTS_RESULT* pResult));
