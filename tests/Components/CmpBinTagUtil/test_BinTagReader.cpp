// The tag reader: stepping through bodies, its bounds (tag end, buffer end,
// 32-bit values, ten levels), strings, save points, the flat walk and the
// file-backed reader.
#include <gtest/gtest.h>

#include "BinTagTestSupport.h"
#include "SysFile.h"
#include "TestSupport.h"

using namespace bttest;

namespace {

// Steps through a whole body: "S<id>" for a start, "E" for an end, "EOF", or
// "X<result>" where a step fails (and stops).
std::string Walk(Bytes body, size_t ulMaxSteps = 100) {
    BINTAGREADER r;
    BTagReaderInit(&r, body.data(), static_cast<RTS_UI32>(body.size()));
    std::string out;
    char sz[32];
    for (size_t i = 0; i < ulMaxSteps; ++i) {
        BTAG_ELEMENT_TYPE et;
        RTS_RESULT res = BTagReaderMoveNext(&r, &et);
        if (res != ERR_OK || et == BTAG_ET_INVALID) {
            snprintf(sz, sizeof(sz), "X%x@%u", static_cast<unsigned>(res), r.ulPos);
            return out + sz;
        }
        if (et == BTAG_ET_EOF) {
            return out + "EOF";
        }
        if (et == BTAG_ET_ENDTAG) {
            out += "E ";
        } else {
            snprintf(sz, sizeof(sz), "S%x:%u ", r.tagStack[r.nStackPos].ulTagId,
                     r.tagStack[r.nStackPos].ulSize);
            out += sz;
        }
    }
    return out + "...";
}

// n nested parents (0x81) around one data tag 1 of 4 bytes, all with 1-byte
// lengths (the id 0x81 is 2 bytes).
Bytes Nested(int nParents) {
    Bytes inner = B({1, 4, 0xA, 0xB, 0xC, 0xD});
    for (int i = 0; i < nParents; ++i) {
        Bytes outer = B({0x81, 0x01, static_cast<int>(inner.size())});
        outer.insert(outer.end(), inner.begin(), inner.end());
        inner = outer;
    }
    return inner;
}

}  // namespace

TEST(BinTagReader, StepsThroughBodies) {
    EXPECT_EQ(Walk({}), "EOF");
    // Data tag 1 with a padded length (8 in 3 bytes), then parent 0x81 (length
    // 10 padded to 2 bytes) with a data tag and an empty parent.
    Bytes body = B({0x01, 0x88, 0x80, 0x00, 1,    2,    3, 4, 5, 0, 0,    0,  //
                    0x81, 0x01, 0x8A, 0x00, 0x02, 0x04, 9, 8, 7, 6, 0x82, 0x01, 0x80, 0x00});
    EXPECT_EQ(Walk(body), "S1:8 E S81:10 S2:4 E S82:0 E E EOF");
    DumpSeed("fuzz_bintag_reader", "walk_body", body);

    BINTAGREADER r;
    ASSERT_EQ(BTagReaderInit(&r, body.data(), static_cast<RTS_UI32>(body.size())), ERR_OK);
    BTAG_ELEMENT_TYPE et;
    EXPECT_EQ(BTagReaderPeekNext(&r), BTAG_ET_STARTTAG);
    EXPECT_EQ(r.ulPos, 0u);
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    ASSERT_EQ(BTagReaderGetContent(&r, &p, &n), ERR_OK);
    EXPECT_EQ(p, body.data() + 4);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(BTagReaderPeekNext(&r), BTAG_ET_ENDTAG);
    EXPECT_EQ(r.nStackPos, 0);
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    EXPECT_EQ(et, BTAG_ET_ENDTAG);
    // Skipping a parent's content leads straight to its end.
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    ASSERT_EQ(BTagReaderSkipContent(&r), ERR_OK);
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    EXPECT_EQ(et, BTAG_ET_ENDTAG);
    EXPECT_EQ(BTagReaderPeekNext(&r), BTAG_ET_EOF);
}

TEST(BinTagReader, BoundsOfTagsBuffersAndValues) {
    // Ten levels are read; an eleventh is refused where it begins.
    std::string ten;
    for (int k = 9; k >= 1; --k) {
        ten += "S81:" + std::to_string(6 + 3 * (k - 1)) + " ";
    }
    ten += "S1:4 ";
    for (int k = 0; k < 10; ++k) {
        ten += "E ";
    }
    EXPECT_EQ(Walk(Nested(9)), ten + "EOF");
    std::string deep = Walk(Nested(10));
    EXPECT_NE(deep.find("X402@30"), std::string::npos) << deep;
    DumpSeed("fuzz_bintag_reader", "nested10", Nested(10));

    // Running into the buffer's end or a parent's end, and values past 32 bits;
    // the reader stays where the failing tag began.
    EXPECT_EQ(Walk(B({0x01, 0x04, 1, 2, 3, 4, 0x81})), "S1:4 E X401@6");
    EXPECT_EQ(Walk(B({0x01, 0x08, 1, 2})), "X401@0");
    EXPECT_EQ(Walk(B({0x81, 0x01, 0x03, 0x01, 0x05, 0, 0, 0, 0, 0})), "S81:3 X400@3");
    EXPECT_EQ(Walk(B({0x81, 0x01, 0x01, 0x01})), "S81:1 X400@3");
    EXPECT_EQ(Walk(B({0x01, 0x80, 0x80, 0x80, 0x80, 0x10})), "Xe@0");
    EXPECT_EQ(Walk(B({0x01, 0x80, 0x80, 0x80, 0x80, 0x0F})), "X401@0");  // 0xF0000000 fits, its content not
    EXPECT_EQ(Walk(B({0x01, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00})), "S1:0 E EOF");

    // A data tag whose content has not been passed holds no tags.
    Bytes d = B({0x01, 0x04, 1, 2, 3, 4});
    BINTAGREADER r;
    BTagReaderInit(&r, d.data(), 6);
    BTAG_ELEMENT_TYPE et;
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    r.ulPos = 2;
    EXPECT_EQ(BTagReaderMoveNext(&r, &et), ERR_FAILED);
    EXPECT_EQ(et, BTAG_ET_INVALID);
    EXPECT_EQ(BTagReaderSkipContent(&r), ERR_OK);
    EXPECT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    EXPECT_EQ(et, BTAG_ET_ENDTAG);
    RTS_UI32 ul = 0;
    EXPECT_EQ(BTagReaderGetTagId(&r, &ul), ERR_BTAG_NO_TAG_OPEN);
    EXPECT_EQ(BTagReaderInit(&r, nullptr, 4), ERR_PARAMETER);
}

TEST(BinTagReader, StringsContentsAndSavepoints) {
    Bytes body = B({0x01, 0x00,                          // empty
                    0x02, 0x06, 'a', 'b', 0, 'x', 0, 0,  // zero inside
                    0x03, 0x02, 'c', 'd',                // no zero
                    0x81, 0x01, 0x02, 0x04, 0x00});
    DumpSeed("fuzz_bintag_reader", "strings_body", body);
    BINTAGREADER r;
    BTagReaderInit(&r, body.data(), static_cast<RTS_UI32>(body.size()));
    BTAG_ELEMENT_TYPE et;
    char* psz = nullptr;
    RTS_UI32 n = 0;
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    ASSERT_EQ(BTagReaderGetString(&r, &psz, &n, 1), ERR_OK);
    EXPECT_STREQ(psz, "");
    EXPECT_EQ(n, 1u);
    ASSERT_EQ(BTagReaderGetString(&r, &psz, &n, 0), ERR_OK);
    EXPECT_EQ(n, 0u);
    BTagReaderMoveNext(&r, &et);
    BINTAGREADERSAVEPOINT sp;
    ASSERT_EQ(BTagReaderCreateSavepoint(&r, &sp), ERR_OK);
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    ASSERT_EQ(BTagReaderGetString(&r, &psz, &n, 1), ERR_OK);
    EXPECT_STREQ(psz, "ab");
    EXPECT_EQ(n, 3u);
    BTagReaderMoveNext(&r, &et);
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    ASSERT_EQ(BTagReaderGetString(&r, &psz, &n, 0), ERR_OK);
    EXPECT_EQ(std::string(psz, n), "cd");
    ASSERT_EQ(BTagReaderGetString(&r, &psz, &n, 1), ERR_OK);
    EXPECT_STREQ(psz, "c");  // the last byte gives way to the terminator
    EXPECT_EQ(n, 2u);
    BINTAGREADERSAVEPOINT later;
    BTagReaderCreateSavepoint(&r, &later);
    ASSERT_EQ(BTagReaderRestoreSavepoint(&r, &sp), ERR_OK);
    EXPECT_EQ(BTagReaderRestoreSavepoint(&r, &later), ERR_PARAMETER);  // lies ahead
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    RTS_UI32 ulId = 0;
    ASSERT_EQ(BTagReaderGetTagId(&r, &ulId), ERR_OK);
    EXPECT_EQ(ulId, 2u);
    // A parent's content is complex only.
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    }
    RTS_BOOL bData = 1;
    ASSERT_EQ(BTagReaderIsDataTag(&r, &bData), ERR_OK);
    EXPECT_EQ(bData, 0);
    RTS_UI8* p = nullptr;
    EXPECT_EQ(BTagReaderGetContent(&r, &p, &n), ERR_BTAG_NOT_A_DATA_TAG);
    EXPECT_EQ(BTagReaderGetString(&r, &psz, &n, 1), ERR_BTAG_NOT_A_DATA_TAG);
    ASSERT_EQ(BTagReaderGetComplexContent(&r, &p, &n), ERR_OK);
    EXPECT_EQ(p, body.data() + 17);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(BTagReaderGetTagLen(&r, &n), ERR_OK);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(BTagReaderSkipContent(&r), ERR_OK);
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    EXPECT_EQ(et, BTAG_ET_ENDTAG);
}

TEST(BinTagReader, FlatWalkOverTwoLevels) {
    // Data tag 1; parent 0x81 with children 2 and 3; empty parent 0x82; data tag 4.
    Bytes body = B({0x01, 0x02, 0xA1, 0xA2,                                //
                    0x81, 0x01, 0x06, 0x02, 0x02, 0xB1, 0xB2, 0x03, 0x00,  //
                    0x82, 0x01, 0x00, 0x04, 0x01, 0xC1});
    DumpSeed("fuzz_bintag_reader", "flat_body", body);
    BINTAGREADER r;
    BTagReaderInit(&r, body.data(), static_cast<RTS_UI32>(body.size()));
    RTS_UI32 ulTop = 0, ulTag = 0, n = 0;
    RTS_RESULT res = ERR_FAILED;
    std::string seen;
    char sz[48];
    RTS_UI8* p = BTagReaderGetFirstTag(&r, &ulTop, &ulTag, &n, &res);
    for (int i = 0; i < 10 && res == ERR_OK; ++i) {
        snprintf(sz, sizeof(sz), "%x/%x:%u@%ld ", ulTop, ulTag, n, static_cast<long>(p - body.data()));
        seen += sz;
        p = BTagReaderGetNextTag(&r, &ulTop, &ulTag, &n, &res);
    }
    EXPECT_EQ(seen, "ffffffff/1:2@2 81/2:2@9 81/3:0@13 ffffffff/4:1@18 ");
    EXPECT_EQ(res, ERR_NO_OBJECT);
    EXPECT_EQ(p, nullptr);
    // Starting over gives the first tag again.
    p = BTagReaderGetFirstTag(&r, &ulTop, &ulTag, &n, &res);
    EXPECT_EQ(res, ERR_OK);
    EXPECT_EQ(ulTag, 1u);
    BTagReaderGetNextTag(&r, nullptr, &ulTag, &n, &res);
    EXPECT_EQ(res, ERR_PARAMETER);
    // A malformed child ends the walk with 1.
    Bytes bad = B({0x81, 0x01, 0x04, 0x02, 0x09, 0, 0});
    BTagReaderInit(&r, bad.data(), static_cast<RTS_UI32>(bad.size()));
    EXPECT_EQ(BTagReaderGetFirstTag(&r, &ulTop, &ulTag, &n, &res), nullptr);
    EXPECT_EQ(res, ERR_FAILED);
    BTagReaderInit(&r, nullptr, 0);
    BTagReaderGetFirstTag(&r, &ulTop, &ulTag, &n, &res);
    EXPECT_EQ(res, ERR_NO_OBJECT);
}

TEST(BinTagReader, FileReaderReadsWhatAFileWriterWrote) {
    kltest::TempDir dir;
    std::string file = dir.File("tags.bin");
    BINTAGWRITER w;
    ASSERT_EQ(BTagWriterFileInit2(&w, file.c_str()), ERR_OK);
    ASSERT_EQ(BTagWriteSingleTag(&w, 5, kAlign0, 1, "hello", 6), ERR_OK);
    ASSERT_EQ(BTagWriterFinish(&w, nullptr, nullptr), ERR_OK);

    RTS_HANDLE h = SysFileOpen(file.c_str(), AM_READ, nullptr);
    ASSERT_NE(h, RTS_INVALID_HANDLE);
    RTS_UI8 scratch[64];
    BINTAGREADER r;
    ASSERT_EQ(BTagReaderFileInit(&r, scratch, sizeof(scratch), h), ERR_OK);
    SysFileClose(h);
    BTAG_ELEMENT_TYPE et;
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    char* psz = nullptr;
    RTS_UI32 n = 0;
    ASSERT_EQ(BTagReaderGetString(&r, &psz, &n, 1), ERR_OK);
    EXPECT_STREQ(psz, "hello");
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    ASSERT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
    EXPECT_EQ(et, BTAG_ET_EOF);

    h = SysFileOpen(file.c_str(), AM_READ, nullptr);
    EXPECT_EQ(BTagReaderFileInit(&r, scratch, 8, h), ERR_FAILED);  // 12 bytes do not fit in 8
    SysFileClose(h);
    EXPECT_EQ(BTagReaderFileInit(&r, scratch, 8, RTS_INVALID_HANDLE), ERR_PARAMETER);
}
