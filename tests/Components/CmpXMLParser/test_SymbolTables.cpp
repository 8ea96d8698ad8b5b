// Symbol tables of the SDK: the name order and the binary search over a
// sorted symbol array, the case-insensitive hash table, the type-name table
// and the two pool allocators.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "HelperClasses.h"
#include "SymbolUtil.h"

namespace {

// Strings with bytes >= 0x80 built from signed and from unsigned bytes: both
// views must compare and hash alike, as signed 8-bit codes / 0..255 codes.
std::string FromSigned(std::initializer_list<signed char> bytes) {
    std::string s;
    for (signed char b : bytes) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}
std::string FromUnsigned(std::initializer_list<unsigned char> bytes) {
    std::string s;
    for (unsigned char b : bytes) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

TEST(SymbolNameOrder, CaseFoldingNullsAndEndsOfStrings) {
    EXPECT_EQ(KestrolinkUtlStrICmp("Application.PLC_PRG.Counter", "application.plc_prg.counter"), 0);
    EXPECT_EQ(KestrolinkUtlStrICmp(nullptr, "a"), -1);
    EXPECT_EQ(KestrolinkUtlStrICmp("a", nullptr), -1);
    EXPECT_EQ(KestrolinkUtlStrICmp("ab", "abc"), -1);
    EXPECT_EQ(KestrolinkUtlStrICmp("abc", "AB"), 1);
    EXPECT_EQ(KestrolinkUtlStrICmp("", ""), 0);
    // The difference of the folded codes: 'b' - 'a'.
    EXPECT_EQ(KestrolinkUtlStrICmp("xB", "xa"), 1);
    // Letters fold to lower case: '_' (95) sorts before them (97..122);
    // folded to upper case (65..90) it would sort after them.
    EXPECT_LT(KestrolinkUtlStrICmp("A_", "Aa"), 0);

    EXPECT_EQ(KestrolinkUtlStrNICmp("GVL.iCounter", "gvl.ICOUNTER2", 12), 0);
    EXPECT_EQ(KestrolinkUtlStrNICmp("abc", "abd", 2), 0);
    EXPECT_LT(KestrolinkUtlStrNICmp("abc", "abd", 3), 0);
    // A string that ends first: the raw bytes' difference, not -1.
    EXPECT_EQ(KestrolinkUtlStrNICmp("ab", "abC", 5), -'C');
    EXPECT_EQ(KestrolinkUtlStrNICmp("ab", "AB", 5), 0);
    EXPECT_EQ(KestrolinkUtlStrNICmp("x", "y", 0), 0);
    EXPECT_EQ(KestrolinkUtlStrNICmp(nullptr, "y", 3), -1);
}

TEST(SymbolNameOrder, HighBytesCompareAndHashAlikeOnSignedAndUnsignedChar) {
    // 0xC3 is -61 as a signed code: it sorts before every ASCII character,
    // on ARM (unsigned char) exactly as on x86.
    std::string signedView = FromSigned({'a', static_cast<signed char>(-61), 'b'});
    std::string unsignedView = FromUnsigned({'a', 0xC3, 'b'});
    ASSERT_EQ(signedView, unsignedView);
    EXPECT_EQ(KestrolinkUtlStrICmp(signedView.c_str(), "a!b"), -61 - '!');
    EXPECT_EQ(KestrolinkUtlStrICmp(unsignedView.c_str(), "a!b"), -61 - '!');
    EXPECT_GT(KestrolinkUtlStrICmp("aA", unsignedView.c_str()), 0);
    EXPECT_EQ(KestrolinkUtlStrNICmp("a", unsignedView.c_str(), 4), 61) << "raw signed bytes: 0 - (-61)";
    // 0x80 and 0xFF are the extremes of the signed order.
    std::string b80 = FromUnsigned({0x80});
    std::string bFF = FromUnsigned({0xFF});
    EXPECT_EQ(KestrolinkUtlStrICmp(b80.c_str(), bFF.c_str()), -128 - (-1));
    // Only ASCII letters fold: Latin-1 e-acute and E-acute stay different
    // whatever locale the host has.
    std::string eAcute = FromUnsigned({0xE9});
    std::string EAcute = FromUnsigned({0xC9});
    EXPECT_NE(KestrolinkUtlStrICmp(eAcute.c_str(), EAcute.c_str()), 0);

    // Hashing takes the upper-cased bytes as 0..255.
    Hash hash(37);
    EXPECT_EQ(hash.Map(FromSigned({static_cast<signed char>(-61)}).c_str()), (0xC3 * 17) % 37);
    EXPECT_EQ(hash.Map(FromUnsigned({0xC3, 'a'}).c_str()), (0xC3 * 17 + 'A') % 37);
    EXPECT_EQ(hash.Map(FromUnsigned({'x', 0xFF, 0x80}).c_str()), (('X' * 17 + 0xFF) % 37 * 17 + 0x80) % 37);
    EXPECT_NE(hash.Map(eAcute.c_str()), hash.Map(EAcute.c_str()));
}

TEST(SymbolNameOrder, GetIndexFindsTheFirstEqualNameOrReportsTheCount) {
    std::vector<std::string> names = {"App.GVL.a", "App.GVL.b", "APP.GVL.B", "App.GVL.c", "App.GVL.c[1]"};
    std::vector<PlcSymbolDesc> list(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        list[i] = PlcSymbolDesc{};
        list[i].pszName = &names[i][0];
    }
    RTS_UI32 n = static_cast<RTS_UI32>(list.size());
    EXPECT_EQ(GetIndex("app.gvl.A", list.data(), n), 0u);
    EXPECT_EQ(GetIndex("app.gvl.b", list.data(), n), 1u) << "the first of equal names";
    EXPECT_EQ(GetIndex("App.GVL.C[1]", list.data(), n), 4u);
    EXPECT_EQ(GetIndex("App.GVL.bb", list.data(), n), n) << "between two entries";
    EXPECT_EQ(GetIndex("App.GVL.z", list.data(), n), n) << "past the end";
    EXPECT_EQ(GetIndex("A", list.data(), n), n) << "before the start";
    EXPECT_EQ(GetIndex(nullptr, list.data(), n), n);
    EXPECT_EQ(GetIndex("App.GVL.a", nullptr, 7), 7u);
    EXPECT_EQ(GetIndex("App.GVL.a", list.data(), 0), 0u);
    // A single entry, found and missed.
    EXPECT_EQ(GetIndex("APP.GVL.A", list.data(), 1), 0u);
    EXPECT_EQ(GetIndex("App.GVL.b", list.data(), 1), 1u);
}

class CountedContent : public HashContent {
public:
    CountedContent(int* pLive, int value) : m_pLive(pLive), m_value(value) { ++*m_pLive; }
    ~CountedContent() override { --*m_pLive; }
    void SetKeyName(char* pszKeyName) override { m_pszKey = pszKeyName; }
    int* m_pLive;
    int m_value;
    char* m_pszKey = nullptr;
};

TEST(SymbolHash, BucketsDuplicatesDeleteAndOwnership) {
    int live = 0;
    {
        Hash hash(37);
        EXPECT_EQ(hash.Map("A"), 32) << "65 x 17 mod 37";
        EXPECT_EQ(hash.Map("a"), 32);
        EXPECT_EQ(hash.Map(""), 0);
        EXPECT_EQ(hash.Map("AB"), (65 * 17 + 66) % 37);
        EXPECT_EQ(hash.Map("ABC"), ((65 * 17 + 66) % 37 * 17 + 67) % 37);
        EXPECT_EQ(hash.Map("ABCxyz", 3), hash.Map("abc"));

        auto* pFirst = new CountedContent(&live, 1);
        EXPECT_EQ(hash.Add("Motor", pFirst), pFirst);
        ASSERT_NE(pFirst->m_pszKey, nullptr);
        EXPECT_EQ(pFirst->m_pszKey, hash.Exist("MOTOR")) << "SetKeyName gets the entry's own key copy";
        EXPECT_STREQ(hash.Exist("motor"), "Motor");
        // The same key in another case keeps the first value and destroys the second.
        EXPECT_EQ(hash.Add("MOTOR", new CountedContent(&live, 2)), nullptr);
        EXPECT_EQ(live, 1);
        EXPECT_EQ(static_cast<CountedContent*>(hash.Get("motor"))->m_value, 1);
        // Keys of one bucket chain stay apart.
        std::string sameBucket;
        for (char c = 'A'; c <= 'Z' && sameBucket.empty(); ++c) {
            for (char d = 'A'; d <= 'Z'; ++d) {
                std::string k = {c, d};
                if (k != "MO" && hash.Map(k.c_str()) == hash.Map("Motor")) {
                    sameBucket = k;
                    break;
                }
            }
        }
        ASSERT_FALSE(sameBucket.empty());
        ASSERT_NE(hash.Add(sameBucket.c_str(), new CountedContent(&live, 3)), nullptr);
        EXPECT_EQ(static_cast<CountedContent*>(hash.Get(sameBucket.c_str()))->m_value, 3);
        EXPECT_EQ(static_cast<CountedContent*>(hash.Get("Motor"))->m_value, 1);
        // A null value is stored as is.
        EXPECT_EQ(hash.Add("Empty", nullptr), nullptr);
        EXPECT_NE(hash.Exist("EMPTY"), nullptr);

        EXPECT_EQ(hash.Delete("nothing", 1), 0);
        EXPECT_EQ(hash.Delete("motor", 0), 1) << "unlinked without destroying the value";
        EXPECT_EQ(live, 2);
        delete pFirst;
        EXPECT_EQ(hash.Get("Motor"), nullptr);
        EXPECT_EQ(hash.Delete(sameBucket.c_str(), 1), 1);
        EXPECT_EQ(live, 0);
        hash.Add("Left", new CountedContent(&live, 4));
        EXPECT_EQ(live, 1);
    }
    EXPECT_EQ(live, 0) << "the destructor destroys the values left";

    // A table of size -1 keeps one chain.
    Hash single(-1);
    EXPECT_EQ(single.Map("anything"), 0);
    single.Add("x", new CountedContent(&live, 5));
    single.Add("y", new CountedContent(&live, 6));
    EXPECT_EQ(static_cast<CountedContent*>(single.Get("Y"))->m_value, 6);
    EXPECT_EQ(single.Get(nullptr), nullptr);
}

TEST(SymbolTypeTable, TypeNamesToTypeCodes) {
    DataTypeHashTable table(5);
    EXPECT_EQ(table.nSize, 37) << "always 37 buckets";
    EXPECT_EQ(table.GetType("INT", 2), static_cast<RTS_UI32>(DATATYPE_INT));
    EXPECT_EQ(table.GetType("time_of_day", 4), static_cast<RTS_UI32>(DATATYPE_TOD));
    EXPECT_EQ(table.GetType("DATE_AND_TIME", 4), static_cast<RTS_UI32>(DATATYPE_DT));
    EXPECT_EQ(table.GetType("lword", 8), static_cast<RTS_UI32>(DATATYPE_LWORD));
    EXPECT_EQ(table.GetType("ARRAY [0..9] OF INT", 20), 0x20004u);
    EXPECT_EQ(table.GetType("array [1..3, 1..4] OF DINT", 48), 0x20007u);
    EXPECT_EQ(table.GetType("ARRAY [0..2] OF ST_Position", 48), 0x20013u);
    EXPECT_EQ(table.GetType("ARRAY OF INT", 4), 0x30003u) << "no ']'";
    // Too short after the last ']' to hold "] OF " and a name: unknown
    // element type, and nothing read past the name's end.
    EXPECT_EQ(table.GetType("ARRAY [0..9]", 20), 0x30003u);
    EXPECT_EQ(table.GetType("ARRAY [0..9] O", 20), 0x30003u);
    EXPECT_EQ(table.GetType("ARRAY [0..9] OF ", 20), 0x30003u);
    EXPECT_EQ(table.GetType("STRING(80)", 81), static_cast<RTS_UI32>(DATATYPE_STRING));
    EXPECT_EQ(table.GetType("WSTRING(40)", 82), static_cast<RTS_UI32>(DATATYPE_WSTRING));
    EXPECT_EQ(table.GetType("STRING(80", 81), static_cast<RTS_UI32>(DATATYPE_VOID));
    EXPECT_EQ(table.GetType("ST_Motor", 24), static_cast<RTS_UI32>(DATATYPE_VOID));
    EXPECT_EQ(table.GetType("Pointer", 4), 0x40009u);
    EXPECT_EQ(table.GetType("REF", 2), 0x40006u);
    EXPECT_EQ(table.GetType("POINTER TO INT", 4), static_cast<RTS_UI32>(DATATYPE_VOID));
    EXPECT_EQ(table.GetType("ENUM", 4), 0x80009u);
    EXPECT_EQ(table.GetType("ENUM", 1), 0x80003u);
    EXPECT_EQ(table.GetType("enum", 2), 0x80006u);
    EXPECT_EQ(table.GetType("DATA", 0), 0x10003u);
    EXPECT_EQ(table.GetType(nullptr, 0), static_cast<RTS_UI32>(DATATYPE_VOID));
}

// A pool that reports where its blocks lie.
class ProbeAllocator : public CMemAllocator {
public:
    using CMemAllocator::CMemAllocator;
    int Blocks() const {
        int n = 0;
        for (BlockHeader* p = m_pFirstBlock; p != nullptr; p = p->pNextBlock) {
            ++n;
        }
        return n;
    }
    int NextBlockSize() const { return m_iAllocSize; }
    int FreeRest() const { return m_iFreeMemSize; }
};

TEST(SymbolPools, BlocksGrowAndRequestsAreBounded) {
    ProbeAllocator pool(16, 40);
    EXPECT_EQ(pool.GetMem(0), nullptr);
    EXPECT_EQ(pool.GetMem(17), nullptr) << "larger than the first block";
    EXPECT_EQ(pool.GetMem(16), nullptr) << "a request never takes a whole block";
    EXPECT_EQ(pool.Blocks(), 0) << "a request no block can serve takes none";
    char* a = static_cast<char*>(pool.GetMem(10));
    ASSERT_NE(a, nullptr);
    // The usable bytes follow a header of two pointers: filling them all
    // must leave the block chain intact when the pool grows.
    std::memset(a, 0x5A, 10);
    char* b = static_cast<char*>(pool.GetMem(5));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b, a + 10) << "handed out in increasing addresses";
    std::memset(b, 0x5B, 5);
    EXPECT_EQ(pool.FreeRest(), 1);
    char* c = static_cast<char*>(pool.GetMem(3));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(pool.Blocks(), 2);
    EXPECT_EQ(pool.NextBlockSize(), 40) << "32 capped at the maximum";
    EXPECT_EQ(c[0] | c[1] | c[2], 0) << "blocks are zeroed";
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(a[i], 0x5A);
    }
    // A rest of exactly the requested size: served from a new block instead
    // of failing.
    ASSERT_NE(pool.GetMem(16), nullptr);  // 32-byte block: 3 + 16 used, rest 13
    EXPECT_EQ(pool.FreeRest(), 13);
    ASSERT_NE(pool.GetMem(13), nullptr);
    EXPECT_EQ(pool.Blocks(), 3);
    EXPECT_EQ(pool.GetAllocationCount(), 5);

    // A maximum below the minimum never shrinks the blocks.
    ProbeAllocator small(8, 4);
    ASSERT_NE(small.GetMem(7), nullptr);
    ASSERT_NE(small.GetMem(7), nullptr);
    EXPECT_EQ(small.NextBlockSize(), 8);
}

TEST(SymbolPools, StringPoolKeepsDuplicatesOnceAndStaysInsideItsBlocks) {
    CStringAllocator unique(1, 64, 256);
    char* p1 = unique.StoreString("Application.GVL.iCounter");
    char* p2 = unique.StoreString("INT");
    ASSERT_NE(p1, nullptr);
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(unique.StoreString("INT"), p2);
    EXPECT_EQ(unique.StoreString("Application.GVL.iCounter"), p1);
    EXPECT_NE(unique.StoreString("int"), p2) << "exact comparison";
    EXPECT_EQ(unique.StoreString(nullptr), nullptr);
    char* pEmpty = unique.StoreString("");
    ASSERT_NE(pEmpty, nullptr);
    EXPECT_EQ(unique.StoreString(""), pEmpty);
    EXPECT_EQ(unique.StoreString(std::string(80, 'x').c_str()), nullptr) << "longer than a block";

    // A 10-byte block takes one 8-byte entry; the 2 bytes left cannot hold
    // a length word. The walk over that block must stop at its end (a read
    // past it is caught by the address sanitizer) and go on to the next.
    CStringAllocator tight(1, 10, 20);
    char* ab = tight.StoreString("ab");
    char* cd = tight.StoreString("cd");
    ASSERT_NE(ab, nullptr);
    ASSERT_NE(cd, nullptr);
    EXPECT_EQ(tight.StoreString("cd"), cd);
    EXPECT_EQ(tight.StoreString("ab"), ab);
    EXPECT_STREQ(ab, "ab");

    CStringAllocator plain(0, 64, 64);
    char* q1 = plain.StoreString("GVL");
    char* q2 = plain.StoreString("GVL");
    ASSERT_NE(q1, nullptr);
    ASSERT_NE(q2, nullptr);
    EXPECT_NE(q1, q2) << "without duplicate avoidance every store is a copy";
    EXPECT_EQ(q2, q1 + 4) << "no length word without duplicate avoidance";
}

}  // namespace
