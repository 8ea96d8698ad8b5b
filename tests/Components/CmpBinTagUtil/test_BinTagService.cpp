// The service exchange: requests and replies of both byte orders, replies that
// answer another request or lie about their size, the walk over a reply's
// tags, bounded content reading, the continuation progress check, and the
// component reached through the component manager.
#include <gtest/gtest.h>

#include "BinTagPrivate.h"
#include "BinTagTestSupport.h"
#include "CMItf.h"
#include "SysFile.h"
#include "TestSupport.h"

using namespace bttest;

namespace {

// A reply as a controller would send it, in the controller's byte order.
Bytes Reply(bool bSwap, uint16_t usGroup, uint16_t usService, bool bWithTags = true) {
    std::vector<uint32_t> mem(64);
    BINTAGWRITER w;
    BTagServiceStart(&w, reinterpret_cast<RTS_UI8*>(mem.data()), 256, bSwap ? 1 : 0, 0x42, usGroup,
                     usService);
    if (bWithTags) {
        const uint8_t abyValue[4] = {0x12, 0x34, 0x56, 0x78};
        BTagWriteSingleTag(&w, 0x7E, kAlign0, 1, "zz", 2);  // unknown to the service
        BTagWriterStartTag(&w, 0x82, kAlign0, 0);
        BTagWriteSingleTag(&w, 0x20, kAlign0, 1, abyValue, 4);
        BTagWriteSingleTag(&w, 0x21, kAlign2, 1, "dev", 4);
        BTagWriterEndTag(&w, 0x82);
        BTagWriteSingleTag(&w, 0x10, kAlign2, 1, abyValue, 2);  // 2 content bytes, no fill
    }
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    BTagServiceFinish(&w, &p, &n);
    return Slice(p, n);
}

struct Seen {
    bool bSwap = false;
    std::string log;
    RTS_UI32 stopAt = 0;
};

RTS_RESULT OnChild(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pv) {
    auto* s = static_cast<Seen*>(pv);
    if (ulTagId == 0x20) {
        RTS_UI32 ul = 0;
        EXPECT_EQ(BTagReaderGetUI32(pReader, s->bSwap, &ul), ERR_OK);
        char sz[24];
        snprintf(sz, sizeof(sz), "value=%08x ", ul);
        s->log += sz;
    } else if (ulTagId == 0x21) {
        char* psz = nullptr;
        RTS_UI32 n = 0;
        BTagReaderGetString(pReader, &psz, &n, 1);
        s->log += std::string("name=") + psz + " ";
    }
    return ERR_OK;
}

RTS_RESULT OnTop(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pv) {
    auto* s = static_cast<Seen*>(pv);
    if (ulTagId == s->stopAt) {
        return ERR_FAILED;
    }
    if (ulTagId == 0x82) {
        return BTagServiceWalkTags(pReader, OnChild, pv);
    }
    if (ulTagId == 0x10) {
        RTS_UI16 us = 0;
        RTS_UI32 ul = 0;
        EXPECT_EQ(BTagReaderGetUI32(pReader, s->bSwap, &ul), ERR_BUFFERSIZE);
        EXPECT_EQ(BTagReaderGetUI16(pReader, s->bSwap, &us), ERR_OK);
        char sz[16];
        snprintf(sz, sizeof(sz), "short=%04x ", us);
        s->log += sz;
        // Wander off into the content: the walk still continues behind the tag.
        BTAG_ELEMENT_TYPE et;
        BTagReaderMoveNext(pReader, &et);
    }
    return ERR_OK;
}

}  // namespace

TEST(BinTagService, RequestsAndRepliesInBothByteOrders) {
    for (bool bSwap : {false, true}) {
        Bytes pdu = Reply(bSwap, 0x81, 7);
        DumpSeed("fuzz_bintag_reader", bSwap ? "reply_be" : "reply_le", pdu);
        HEADER_TAG_EXT h;
        BINTAGREADER r;
        ASSERT_EQ(BTagServiceCheckReply(pdu.data(), static_cast<RTS_UI32>(pdu.size()), bSwap, 1, 7, &h, &r),
                  ERR_OK);
        EXPECT_EQ(h.usHeaderTag, BTAG_HEADER_TAG_SERVICE);
        EXPECT_EQ(h.ulSessionID, 0x42u);
        EXPECT_EQ(h.ulServiceLength, pdu.size() - 20);
        EXPECT_EQ(r.pBuffer, pdu.data() + 20);
        Seen seen;
        seen.bSwap = bSwap;
        ASSERT_EQ(BTagServiceWalkTags(&r, OnTop, &seen), ERR_OK);
        EXPECT_EQ(seen.log,
                  bSwap ? "value=12345678 name=dev short=1234 " : "value=78563412 name=dev short=3412 ");
        BTAG_ELEMENT_TYPE et;
        EXPECT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
        EXPECT_EQ(et, BTAG_ET_EOF);

        // A handler's failure ends the walk with it.
        BTagServiceCheckReply(pdu.data(), static_cast<RTS_UI32>(pdu.size()), bSwap, 1, 7, nullptr, &r);
        seen.stopAt = 0x10;
        EXPECT_EQ(BTagServiceWalkTags(&r, OnTop, &seen), ERR_FAILED);

        // A reply of the wrong group or service carries no data.
        for (auto gs : {std::pair<uint16_t, uint16_t>{0x01, 7}, {0x81, 8}, {0x82, 7}}) {
            Bytes other = Reply(bSwap, gs.first, gs.second);
            EXPECT_EQ(
                BTagServiceCheckReply(other.data(), static_cast<RTS_UI32>(other.size()), bSwap, 1, 7, &h, &r),
                ERR_BTAG_WRONG_REPLY);
            EXPECT_EQ(r.ulBufferSize, 0u);
            EXPECT_EQ(BTagReaderMoveNext(&r, &et), ERR_OK);
            EXPECT_EQ(et, BTAG_ET_EOF);
        }
    }
    // The body follows the header length, whatever it is.
    Bytes pdu = Reply(false, 0x81, 7);
    Bytes longer(pdu.begin(), pdu.begin() + 20);
    longer[2] = 20;
    longer.resize(longer.size() + 4, 0xEE);
    longer.insert(longer.end(), pdu.begin() + 20, pdu.end());
    DumpSeed("fuzz_bintag_reader", "reply_long_header", longer);
    BINTAGREADER r;
    ASSERT_EQ(
        BTagServiceCheckReply(longer.data(), static_cast<RTS_UI32>(longer.size()), 0, 1, 7, nullptr, &r),
        ERR_OK);
    EXPECT_EQ(r.pBuffer, longer.data() + 24);
    EXPECT_EQ(r.ulBufferSize, pdu.size() - 20);
}

TEST(BinTagService, RepliesThatLieAboutTheirSizeCarryNoData) {
    Bytes pdu = Reply(false, 0x81, 7);
    BINTAGREADER r;
    HEADER_TAG_EXT h;
    auto check = [&](const Bytes& b, RTS_UI32 n) {
        Bytes copy = b;
        return BTagServiceCheckReply(copy.data(), n, 0, 1, 7, &h, &r);
    };
    EXPECT_EQ(check(pdu, 19), ERR_BUFFERSIZE);  // not even a header
    EXPECT_EQ(r.ulBufferSize, 0u);
    EXPECT_EQ(check(pdu, static_cast<RTS_UI32>(pdu.size()) - 1), ERR_BUFFERSIZE);  // body cut short
    EXPECT_EQ(BTagServiceCheckReply(nullptr, 40, 0, 1, 7, &h, &r), ERR_BUFFERSIZE);
    Bytes b = pdu;
    b[2] = 11;  // header length below the fields it must cover
    EXPECT_EQ(check(b, static_cast<RTS_UI32>(b.size())), ERR_BUFFERSIZE);
    b = pdu;
    b[2] = 0xFF;  // 65535 + 4 + service length
    b[3] = 0xFF;
    EXPECT_EQ(check(b, static_cast<RTS_UI32>(b.size())), ERR_BUFFERSIZE);
    b = pdu;
    for (int i = 12; i < 16; ++i) {
        b[i] = 0xFF;  // service length 0xFFFFFFFF: no wrap-around
    }
    EXPECT_EQ(check(b, static_cast<RTS_UI32>(b.size())), ERR_BUFFERSIZE);
    DumpSeed("fuzz_bintag_reader", "reply_huge_length", b);
    EXPECT_EQ(r.ulBufferSize, 0u);
    // Exactly 20 bytes with an empty body is a good reply.
    Bytes empty = Reply(false, 0x81, 7, false);
    ASSERT_EQ(empty.size(), 20u);
    EXPECT_EQ(check(empty, 20), ERR_OK);
}

TEST(BinTagService, CursorReadsStayInsideTheContent) {
    const Bytes content =
        B({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x03, 0x00, 'a', 'b', 'c', 0x09});
    for (bool bSwap : {false, true}) {
        BTAG_CONTENT_CURSOR c;
        ASSERT_EQ(BTagCursorInit(&c, content.data(), static_cast<RTS_UI32>(content.size()), bSwap), ERR_OK);
        RTS_UI8 by = 0;
        RTS_UI16 us = 0;
        RTS_UI32 ul = 0;
        RTS_UI64 ull = 0;
        ASSERT_EQ(BTagCursorReadUI8(&c, &by), ERR_OK);
        ASSERT_EQ(BTagCursorReadUI16(&c, &us), ERR_OK);
        ASSERT_EQ(BTagCursorReadUI32(&c, &ul), ERR_OK);
        EXPECT_EQ(by, 1);
        EXPECT_EQ(us, bSwap ? 0x0203 : 0x0302);
        EXPECT_EQ(ul, bSwap ? 0x04050607u : 0x07060504u);
        EXPECT_EQ(BTagCursorRemaining(&c), 7u);
        EXPECT_EQ(BTagCursorReadUI64(&c, &ull), ERR_BUFFERSIZE);
        EXPECT_EQ(BTagCursorRemaining(&c), 7u);
        c.ulPos = 8;
        char sz[3];
        RTS_UI32 ulCount = 0;
        const RTS_UI8* p = nullptr;
        BTAG_CONTENT_CURSOR at = c;
        if (bSwap) {
            // 0x0300 items: far more than remain.
            EXPECT_EQ(BTagCursorReadCounted(&c, 2, 1, &ulCount, &p), ERR_BUFFERSIZE);
            EXPECT_EQ(c.ulPos, 8u);
            continue;
        }
        ASSERT_EQ(BTagCursorReadCountedString(&c, 2, sz, sizeof(sz)), ERR_BUFFERSIZE);  // cut to "ab"
        EXPECT_STREQ(sz, "ab");
        EXPECT_EQ(c.ulPos, 13u);
        c = at;
        EXPECT_EQ(BTagCursorReadCountedString(&c, 2, nullptr, 0), ERR_BUFFERSIZE);
        c = at;
        EXPECT_EQ(BTagCursorReadCounted(&c, 2, 2, &ulCount, &p), ERR_BUFFERSIZE);  // 3 items of 2 bytes
        EXPECT_EQ(c.ulPos, 8u);
        ASSERT_EQ(BTagCursorReadCounted(&c, 2, 1, &ulCount, &p), ERR_OK);
        EXPECT_EQ(ulCount, 3u);
        EXPECT_EQ(p, content.data() + 10);
        ASSERT_EQ(BTagCursorReadBytes(&c, 1, &p), ERR_OK);
        EXPECT_EQ(*p, 0x09);
        EXPECT_EQ(BTagCursorReadBytes(&c, 1, &p), ERR_BUFFERSIZE);
        EXPECT_EQ(BTagCursorReadCounted(&c, 3, 1, &ulCount, &p), ERR_PARAMETER);
    }
}

TEST(BinTagService, ContinuationsMustMakeProgress) {
    BTAG_PROGRESS prog;
    ASSERT_EQ(BTagProgressInit(&prog, 0, 3), ERR_OK);
    EXPECT_EQ(BTagProgressNext(&prog, 0), ERR_NO_CHANGE);  // a start index that did not move
    EXPECT_EQ(BTagProgressNext(&prog, 10), ERR_OK);
    EXPECT_EQ(BTagProgressNext(&prog, 9), ERR_NO_CHANGE);
    EXPECT_EQ(BTagProgressNext(&prog, 20), ERR_OK);
    EXPECT_EQ(BTagProgressNext(&prog, 30), ERR_OK);
    EXPECT_EQ(BTagProgressNext(&prog, 40), ERR_OUT_OF_LIMITS);
    EXPECT_EQ(BTagProgressNext(nullptr, 1), ERR_PARAMETER);
}

TEST(BinTagService, ReachedThroughTheComponentManager) {
    const StaticComponent list[] = {{"CmpBinTagUtil", CmpBinTagUtil__Entry, 0}, {nullptr, nullptr, 0}};
    ASSERT_EQ(CMInit2(nullptr, list, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    PFBTagServiceStart pfBTagServiceStart = nullptr;
    PFBTagWriterStartTag pfBTagWriterStartTag = nullptr;
    PFBTagReaderMoveNext pfBTagReaderMoveNext = nullptr;
    PFBTagWriterFileStreamInit pfBTagWriterFileStreamInit = nullptr;
    auto import = [&]() -> RTS_RESULT {
        KL_IMPORT(CMGetAPI, BTagServiceStart);
        KL_IMPORT(CMGetAPI, BTagWriterStartTag);
        KL_IMPORT(CMGetAPI, BTagReaderMoveNext);
        KL_IMPORT(CMGetAPI, BTagWriterFileStreamInit);
        return ERR_OK;
    };
    ASSERT_EQ(import(), ERR_OK);
    RTS_VOID_FCTPTR pf = nullptr;
    EXPECT_NE(CMGetAPI("BTagWriterStartTag", &pf, SIG_BTagReaderMoveNext), ERR_OK);  // another prototype

    std::vector<uint32_t> mem(16);
    BINTAGWRITER w;
    ASSERT_EQ(pfBTagServiceStart(&w, reinterpret_cast<RTS_UI8*>(mem.data()), 64, 0, 1, 9, 3), ERR_OK);
    EXPECT_EQ(pfBTagWriterStartTag(&w, 1, kAlign0, 0), ERR_OK);
    BINTAGREADER r;
    BTagReaderInit(&r, nullptr, 0);
    BTAG_ELEMENT_TYPE et;
    EXPECT_EQ(pfBTagReaderMoveNext(&r, &et), ERR_OK);
    EXPECT_EQ(et, BTAG_ET_EOF);

    // The shutdown gives an enlarged shared buffer back.
    kltest::TempDir dir;
    RTS_HANDLE h = SysFileOpen(dir.File("x.bin").c_str(), AM_WRITE, nullptr);
    ASSERT_EQ(pfBTagWriterFileStreamInit(&w, h), ERR_OK);
    ASSERT_EQ(BTagWriterStartTag(&w, 1, kAlign0, 0), ERR_OK);
    ASSERT_EQ(BTagWriterAppendDummyBytes(&w, 0, BTAG_FILESTREAM_BUFFER_SIZE), ERR_OK);
    EXPECT_TRUE(bintag::SharedBufferIsEnlarged());
    ASSERT_EQ(BTagWriterEndTag(&w, 1), ERR_OK);
    ASSERT_EQ(BTagWriterFinish(&w, nullptr, nullptr), ERR_OK);
    SysFileClose(h);
    ASSERT_EQ(CMExit(), ERR_OK);
    EXPECT_FALSE(bintag::SharedBufferIsEnlarged());
}
