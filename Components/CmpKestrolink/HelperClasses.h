// Helper classes of the SDK's symbol handling: the case-insensitive hash table
// (Hash) with its polymorphic values, the table that turns IEC type names into
// type codes (DataTypeHashTable, one per device object), and the two pool
// allocators that hold name strings for the lifetime of a symbol table.
//
// None of these has a lock of its own: the owner serialises access (device
// objects are used under the connection's online lock).
#pragma once

#include "CmpStd.h"
#include "kestrolink/PlcSymbol.h"

// Base of every value stored in a Hash. The table owns its values and
// destroys them through the virtual destructor.
class HashContent {
public:
    HashContent() = default;
    virtual ~HashContent() = default;
    HashContent(const HashContent&) = delete;
    HashContent& operator=(const HashContent&) = delete;
    // Called with the entry's own key copy when the value is stored; the
    // pointer stays valid as long as the entry.
    virtual void SetKeyName(char* pszKeyName) { (void)pszKeyName; }
};

// Type code stored under an IEC type name.
class HashVarType : public HashContent {
public:
    explicit HashVarType(RTS_UI32 ulType) : m_ulType(ulType) {}
    RTS_UI32 GetHashVarType() const { return m_ulType; }

    RTS_UI32 m_ulType;
};

struct HashEntry {
    char* psz;         // owned copy of the key
    HashContent* phc;  // owned value (may be null)
    HashEntry* pheNext;
};

// Map from names to values, keys compared and hashed ignoring case (ASCII
// letters only, so the bucket of a key is the same on every host).
class Hash {
public:
    static const int ms_nHashPrime = 17;

    // nSize buckets; a size below 1 keeps a single chain (every key maps to 0).
    explicit Hash(int nSize);
    virtual ~Hash();
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    // Bucket of a key (of its first nLen characters).
    int Map(const char* psz) const;
    int Map(const char* psz, int nLen) const;

    // Stores phc under a copy of psz and returns phc. If the key is present
    // already (in any case), or the entry cannot be made, phc is destroyed
    // and null returned: the table always takes ownership of phc.
    HashContent* Add(const char* psz, HashContent* phc);
    // The value stored under the key, or null.
    HashContent* Get(const char* psz) const;
    // The table's own copy of the key, or null.
    char* Exist(const char* psz) const;
    // Unlinks the key's entry (0 if there is none) and frees it; the value is
    // destroyed only if bDelete is set. 1 on success.
    int Delete(const char* psz, int bDelete);

    int nSize;
    HashEntry** pphe;

private:
    int Buckets() const { return nSize > 0 ? nSize : 1; }
    HashEntry** FindLink(const char* psz) const;
};

// IEC type names to type codes (PlcTypeClass with kind bits).
class DataTypeHashTable : public Hash {
public:
    // Always 37 buckets, whatever size is asked for.
    explicit DataTypeHashTable(int nSize = 37);

    // Code of an IEC type name; ulSize picks the width of pointers and
    // enumerations. Names it does not know give DATATYPE_VOID.
    RTS_UI32 GetType(const char* pszType, RTS_UI32 ulSize) const;

private:
    RTS_UI32 Lookup(const char* pszType) const;
};

// Pool of raw bytes handed out in increasing addresses from zeroed blocks;
// nothing is returned before the pool goes away. The first block holds
// iMinAllocSize usable bytes, and so does the largest single request; each
// further block doubles, up to iMaxAllocSize.
class CMemAllocator {
public:
    CMemAllocator(int iMinAllocSize, int iMaxAllocSize);
    virtual ~CMemAllocator();
    CMemAllocator(const CMemAllocator&) = delete;
    CMemAllocator& operator=(const CMemAllocator&) = delete;

    // iLen bytes, zeroed, or null (iLen below 1 or above the first block
    // size, or no memory). A request never takes the whole rest of a block.
    void* GetMem(int iLen);
    int GetAllocationCount() const { return m_iAllocationCount; }

protected:
    // Start of each block; the usable bytes follow it. It holds pointers, so
    // its size follows the pointer width.
    struct BlockHeader {
        BlockHeader* pNextBlock;
        char* pLastByte;  // last usable byte of this block
    };
    static char* BlockData(BlockHeader* pBlock) { return reinterpret_cast<char*>(pBlock + 1); }

    BlockHeader* m_pFirstBlock;
    int m_iMinAllocSize;
    int m_iMaxAllocSize;
    int m_iAllocSize;
    BlockHeader* m_pCurrentBlock;
    char* m_pFreeMem;
    int m_iFreeMemSize;
    int m_iAllocationCount;

private:
    bool NewBlock();
};

// Pool of terminated strings. With duplicate avoidance each string is kept
// once: every entry is a 32-bit length (terminator included), the characters
// and padding to a multiple of 4, and a store first looks for an equal entry.
class CStringAllocator : public CMemAllocator {
public:
    CStringAllocator(int bAvoidDuplicates, int iMinAllocSize, int iMaxAllocSize);

    // The pool's copy of pszString, or null (null string, too long for a
    // block, no memory).
    char* StoreString(const char* pszString);

protected:
    int m_bAvoidDuplicates;

private:
    char* FindString(const char* pszString, RTS_UI32 ulLen) const;
};
