// Hash table, type-name table and pool allocators of the symbol handling
// (see HelperClasses.h).
#include "HelperClasses.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "SymbolUtil.h"

// ---- Hash ----------------------------------------------------------------------

Hash::Hash(int nSizeIn) : nSize(nSizeIn), pphe(nullptr) {
    pphe = new (std::nothrow) HashEntry*[static_cast<RTS_SIZE>(Buckets())]();
}

Hash::~Hash() {
    if (pphe == nullptr) {
        return;
    }
    for (int i = 0; i < Buckets(); ++i) {
        HashEntry* phe = pphe[i];
        while (phe != nullptr) {
            HashEntry* pheNext = phe->pheNext;
            delete phe->phc;
            delete[] phe->psz;
            delete phe;
            phe = pheNext;
        }
    }
    delete[] pphe;
}

int Hash::Map(const char* psz) const {
    return Map(psz, INT_MAX);
}

int Hash::Map(const char* psz, int nLen) const {
    if (psz == nullptr || nSize <= 0) {
        return 0;
    }
    if (nLen < 1 || psz[0] == '\0') {
        return 0;
    }
    // A key of one character is multiplied by the prime as well; from the
    // second character on each step is (bucket * 17 + c) mod n. The bucket
    // stays below nSize, so bucket * 17 + 255 cannot overflow 64 bits.
    RTS_UI64 n = static_cast<RTS_UI64>(nSize);
    RTS_UI64 bucket = KlHashCode(psz[0]);
    if (nLen == 1 || psz[1] == '\0') {
        return static_cast<int>(bucket * ms_nHashPrime % n);
    }
    bucket %= n;
    for (int i = 1; i < nLen && psz[i] != '\0'; ++i) {
        bucket = (bucket * ms_nHashPrime + KlHashCode(psz[i])) % n;
    }
    return static_cast<int>(bucket);
}

HashEntry** Hash::FindLink(const char* psz) const {
    if (pphe == nullptr || psz == nullptr) {
        return nullptr;
    }
    HashEntry** ppLink = &pphe[Map(psz)];
    while (*ppLink != nullptr && KestrolinkUtlStrICmp((*ppLink)->psz, psz) != 0) {
        ppLink = &(*ppLink)->pheNext;
    }
    return ppLink;
}

HashContent* Hash::Add(const char* psz, HashContent* phc) {
    HashEntry** ppLink = FindLink(psz);
    if (ppLink == nullptr || *ppLink != nullptr) {
        delete phc;
        return nullptr;
    }
    RTS_SIZE len = std::strlen(psz);
    char* pszKey = new (std::nothrow) char[len + 1];
    HashEntry* phe = new (std::nothrow) HashEntry;
    if (pszKey == nullptr || phe == nullptr) {
        delete[] pszKey;
        delete phe;
        delete phc;
        return nullptr;
    }
    std::memcpy(pszKey, psz, len + 1);
    phe->psz = pszKey;
    phe->phc = phc;
    phe->pheNext = nullptr;
    *ppLink = phe;
    if (phc != nullptr) {
        phc->SetKeyName(pszKey);
    }
    return phc;
}

HashContent* Hash::Get(const char* psz) const {
    HashEntry** ppLink = FindLink(psz);
    return ppLink != nullptr && *ppLink != nullptr ? (*ppLink)->phc : nullptr;
}

char* Hash::Exist(const char* psz) const {
    HashEntry** ppLink = FindLink(psz);
    return ppLink != nullptr && *ppLink != nullptr ? (*ppLink)->psz : nullptr;
}

int Hash::Delete(const char* psz, int bDelete) {
    HashEntry** ppLink = FindLink(psz);
    if (ppLink == nullptr || *ppLink == nullptr) {
        return 0;
    }
    HashEntry* phe = *ppLink;
    *ppLink = phe->pheNext;
    if (bDelete != 0) {
        delete phe->phc;
    }
    delete[] phe->psz;
    delete phe;
    return 1;
}

// ---- DataTypeHashTable --------------------------------------------------------

DataTypeHashTable::DataTypeHashTable(int) : Hash(37) {
    static const struct {
        const char* pszName;
        RTS_UI32 ulType;
    } s_types[] = {
        {"BOOL", DATATYPE_BOOL},       {"SINT", DATATYPE_SINT},     {"USINT", DATATYPE_USINT},
        {"BYTE", DATATYPE_BYTE},       {"INT", DATATYPE_INT},       {"UINT", DATATYPE_UINT},
        {"WORD", DATATYPE_WORD},       {"DINT", DATATYPE_DINT},     {"UDINT", DATATYPE_UDINT},
        {"DWORD", DATATYPE_DWORD},     {"DATE", DATATYPE_DATE},     {"DT", DATATYPE_DT},
        {"TOD", DATATYPE_TOD},         {"TIME", DATATYPE_TIME},     {"REAL", DATATYPE_REAL},
        {"LREAL", DATATYPE_LREAL},     {"STRING", DATATYPE_STRING}, {"LINT", DATATYPE_LINT},
        {"ULINT", DATATYPE_ULINT},     {"LTIME", DATATYPE_LTIME},   {"WSTRING", DATATYPE_WSTRING},
        {"LWORD", DATATYPE_LWORD},     {"BIT", DATATYPE_BIT},       {"DATE_AND_TIME", DATATYPE_DT},
        {"TIME_OF_DAY", DATATYPE_TOD},
    };
    for (const auto& t : s_types) {
        HashContent* phc = new (std::nothrow) HashVarType(t.ulType);
        if (phc != nullptr) {
            Add(t.pszName, phc);
        }
    }
}

RTS_UI32 DataTypeHashTable::Lookup(const char* pszType) const {
    const HashVarType* pType = static_cast<const HashVarType*>(Get(pszType));
    return pType != nullptr ? pType->GetHashVarType() : static_cast<RTS_UI32>(DATATYPE_VOID);
}

namespace {
// A type name with a length in parentheses after the prefix, e.g. STRING(80).
bool HasLength(const char* pszType, RTS_SIZE ulPrefix) {
    const char* pOpen = std::strchr(pszType + ulPrefix, '(');
    return pOpen != nullptr && std::strchr(pOpen + 1, ')') != nullptr;
}
}  // namespace

RTS_UI32 DataTypeHashTable::GetType(const char* pszType, RTS_UI32 ulSize) const {
    if (pszType == nullptr) {
        return DATATYPE_VOID;
    }
    if (Get(pszType) != nullptr) {
        return Lookup(pszType);
    }
    if (KestrolinkUtlStrICmp(pszType, "POINTER") == 0 || KestrolinkUtlStrICmp(pszType, "REF") == 0) {
        return DATATYPE_KIND_POINTER | (ulSize == 2 ? DATATYPE_WORD : DATATYPE_DWORD);
    }
    if (KestrolinkUtlStrICmp(pszType, "ENUM") == 0) {
        if (ulSize == 4) {
            return DATATYPE_KIND_ENUM | DATATYPE_DWORD;
        }
        return DATATYPE_KIND_ENUM | (ulSize == 1 ? DATATYPE_BYTE : DATATYPE_WORD);
    }
    if (KestrolinkUtlStrICmp(pszType, "DATA") == 0) {
        return DATATYPE_KIND_DATA | DATATYPE_BYTE;
    }
    if (KestrolinkUtlStrNICmp(pszType, "ARRAY", 5) == 0) {
        const char* pClose = std::strrchr(pszType, ']');
        if (pClose == nullptr) {
            return DATATYPE_KIND_ARRAY_UNKNOWN | DATATYPE_BYTE;
        }
        // The element type follows "] OF "; a name that ends before it has no
        // element type at all and must not be read past its end.
        if (std::strlen(pClose) <= 5) {
            return DATATYPE_KIND_ARRAY_UNKNOWN | DATATYPE_BYTE;
        }
        return GetType(pClose + 5, ulSize) + DATATYPE_KIND_ARRAY;
    }
    if (KestrolinkUtlStrNICmp(pszType, "STRING", 6) == 0 && HasLength(pszType, 6)) {
        return DATATYPE_STRING;
    }
    if (KestrolinkUtlStrNICmp(pszType, "WSTRING", 7) == 0 && HasLength(pszType, 7)) {
        return DATATYPE_WSTRING;
    }
    return DATATYPE_VOID;
}

// ---- CMemAllocator ------------------------------------------------------------

CMemAllocator::CMemAllocator(int iMinAllocSize, int iMaxAllocSize)
    : m_pFirstBlock(nullptr),
      m_iMinAllocSize(iMinAllocSize),
      m_iMaxAllocSize(iMaxAllocSize < iMinAllocSize ? iMinAllocSize : iMaxAllocSize),
      m_iAllocSize(iMinAllocSize),
      m_pCurrentBlock(nullptr),
      m_pFreeMem(nullptr),
      m_iFreeMemSize(0),
      m_iAllocationCount(0) {}

CMemAllocator::~CMemAllocator() {
    BlockHeader* pBlock = m_pFirstBlock;
    while (pBlock != nullptr) {
        BlockHeader* pNext = pBlock->pNextBlock;
        std::free(pBlock);
        pBlock = pNext;
    }
}

bool CMemAllocator::NewBlock() {
    if (m_iAllocSize < 1) {
        return false;
    }
    RTS_SIZE ulBytes = sizeof(BlockHeader) + static_cast<RTS_SIZE>(m_iAllocSize);
    BlockHeader* pBlock = static_cast<BlockHeader*>(std::calloc(1, ulBytes));
    if (pBlock == nullptr) {
        return false;
    }
    pBlock->pNextBlock = nullptr;
    pBlock->pLastByte = BlockData(pBlock) + m_iAllocSize - 1;
    if (m_pCurrentBlock != nullptr) {
        m_pCurrentBlock->pNextBlock = pBlock;
    } else {
        m_pFirstBlock = pBlock;
    }
    m_pCurrentBlock = pBlock;
    m_pFreeMem = BlockData(pBlock);
    m_iFreeMemSize = m_iAllocSize;
    int iNext = m_iAllocSize > INT_MAX / 2 ? INT_MAX : m_iAllocSize * 2;
    m_iAllocSize = iNext > m_iMaxAllocSize ? m_iMaxAllocSize : iNext;
    return true;
}

void* CMemAllocator::GetMem(int iLen) {
    if (iLen < 1 || iLen > m_iMinAllocSize) {
        return nullptr;
    }
    // A block is never filled to its last byte. A rest of exactly iLen bytes
    // therefore goes to a fresh block too, instead of failing while a block
    // could serve it; and no block is taken that could not serve it either,
    // so failing requests never make the pool grow.
    if (m_pCurrentBlock == nullptr || m_iFreeMemSize <= iLen) {
        if (m_iAllocSize <= iLen || !NewBlock()) {
            return nullptr;
        }
    }
    char* p = m_pFreeMem;
    m_pFreeMem += iLen;
    m_iFreeMemSize -= iLen;
    ++m_iAllocationCount;
    return p;
}

// ---- CStringAllocator -----------------------------------------------------------

CStringAllocator::CStringAllocator(int bAvoidDuplicates, int iMinAllocSize, int iMaxAllocSize)
    : CMemAllocator(iMinAllocSize, iMaxAllocSize), m_bAvoidDuplicates(bAvoidDuplicates) {}

char* CStringAllocator::FindString(const char* pszString, RTS_UI32 ulLen) const {
    for (BlockHeader* pBlock = m_pFirstBlock; pBlock != nullptr; pBlock = pBlock->pNextBlock) {
        const char* p = BlockData(pBlock);
        // Entries end at the first zero length word, at the free pointer of
        // the current block, and never beyond the block's last byte.
        const char* pEnd = pBlock == m_pCurrentBlock ? m_pFreeMem : pBlock->pLastByte + 1;
        while (pEnd - p >= 4) {
            RTS_UI32 ulEntryLen = 0;
            std::memcpy(&ulEntryLen, p, sizeof(ulEntryLen));
            RTS_SIZE ulRest = static_cast<RTS_SIZE>(pEnd - p) - 4;
            if (ulEntryLen == 0 || ulEntryLen > ulRest) {
                break;
            }
            if (ulEntryLen == ulLen && std::memcmp(p + 4, pszString, ulLen) == 0) {
                return const_cast<char*>(p + 4);
            }
            RTS_SIZE ulStep = (static_cast<RTS_SIZE>(ulEntryLen) + 7u) & ~static_cast<RTS_SIZE>(3);
            if (ulStep > static_cast<RTS_SIZE>(pEnd - p)) {
                break;
            }
            p += ulStep;
        }
    }
    return nullptr;
}

char* CStringAllocator::StoreString(const char* pszString) {
    if (pszString == nullptr) {
        return nullptr;
    }
    RTS_SIZE len = std::strlen(pszString);
    if (len > static_cast<RTS_SIZE>(INT_MAX) - 8) {
        return nullptr;
    }
    if (m_bAvoidDuplicates == 0) {
        char* p = static_cast<char*>(GetMem(static_cast<int>(len + 1)));
        if (p != nullptr) {
            std::memcpy(p, pszString, len + 1);
        }
        return p;
    }
    RTS_UI32 ulLen = static_cast<RTS_UI32>(len + 1);
    char* pFound = FindString(pszString, ulLen);
    if (pFound != nullptr) {
        return pFound;
    }
    char* pEntry = static_cast<char*>(GetMem(static_cast<int>((len + 8) & ~static_cast<RTS_SIZE>(3))));
    if (pEntry == nullptr) {
        return nullptr;
    }
    std::memcpy(pEntry, &ulLen, sizeof(ulLen));
    std::memcpy(pEntry + 4, pszString, ulLen);
    return pEntry + 4;
}
