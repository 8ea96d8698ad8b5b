// The tag writer: exact bytes of the format's examples, length-field widening
// and the room it needs, nesting and alignment rules, overflow, save points,
// raw reservations, buffer switches and the file writers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "BinTagPrivate.h"
#include "BinTagTestSupport.h"
#include "SysFile.h"
#include "TestSupport.h"

using namespace bttest;

namespace {

constexpr uint32_t kBig = 4096;

Bytes Pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return b;
}

// Reads the tag at the start of a body: id, length and content offset.
struct TagView {
    RTS_UI32 id = 0, len = 0, contentPos = 0;
};
TagView ReadTag(Bytes body, size_t skip = 0) {
    BINTAGREADER r;
    BTagReaderInit(&r, body.data(), static_cast<RTS_UI32>(body.size()));
    BTAG_ELEMENT_TYPE et;
    TagView v;
    for (size_t i = 0; i <= skip; ++i) {
        if (BTagReaderMoveNext(&r, &et) != ERR_OK || et != BTAG_ET_STARTTAG) {
            return v;
        }
    }
    v.id = r.tagStack[r.nStackPos].ulTagId;
    v.len = r.tagStack[r.nStackPos].ulSize;
    v.contentPos = r.tagStack[r.nStackPos].ulContentPos;
    return v;
}

}  // namespace

TEST(BinTagWriter, ExamplesOfTheFormat) {
    // The value 5 in a 3-byte length field.
    RecWriter mbui(kBig);
    ASSERT_EQ(mbui.Start(1, kAlign0, 3), ERR_OK);
    ASSERT_EQ(mbui.Blob(B({1, 2, 3, 4, 5})), ERR_OK);
    EXPECT_EQ(Hex(mbui.Tags()), "01 85 80 00 01 02 03 04 05");
    mbui.Dump("mbui5");

    // Data tag 1 with 4 bytes under {4, 0}: a 3-byte length field, 8 bytes in all.
    RecWriter a0(kBig);
    ASSERT_EQ(a0.Start(1, kAlign0), ERR_OK);
    ASSERT_EQ(a0.Blob(B({0xAA, 0xBB, 0xCC, 0xDD})), ERR_OK);
    ASSERT_EQ(a0.End(1), ERR_OK);
    EXPECT_EQ(Hex(a0.Tags()), "01 84 80 00 aa bb cc dd");
    a0.Dump("align0");

    // The same under {4, 2}: 1-byte length field, 2 fill bytes counted in the length.
    RecWriter a2(kBig);
    ASSERT_EQ(a2.Start(1, kAlign2), ERR_OK);
    ASSERT_EQ(a2.Blob(B({0xAA, 0xBB, 0xCC, 0xDD})), ERR_OK);
    ASSERT_EQ(a2.Fill(), ERR_OK);
    ASSERT_EQ(a2.End(1), ERR_OK);
    EXPECT_EQ(Hex(a2.Tags()), "01 06 aa bb cc dd 00 00");
    a2.Dump("align2");

    // Parent ids above 0x7F take two id bytes; the parent's length counts its children.
    RecWriter p(kBig);
    ASSERT_EQ(p.Start(0x81), ERR_OK);
    ASSERT_EQ(p.Start(0x10, kAlign2), ERR_OK);
    ASSERT_EQ(p.Blob(B({'a', 'b', 0})), ERR_OK);
    ASSERT_EQ(p.Fill(), ERR_OK);
    ASSERT_EQ(p.End(0x10), ERR_OK);
    ASSERT_EQ(p.End(0x81), ERR_OK);
    EXPECT_EQ(Hex(p.Tags()), "81 01 88 00 10 06 61 62 00 00 00 00");
    p.Dump("parent");
}

TEST(BinTagWriter, TaglessRequestIsTheHeaderInEitherByteOrder) {
    RecWriter le(64, false, 0x12345678, 1, 2);
    Bytes pdu = le.Pdu();
    EXPECT_EQ(Hex(pdu), "55 cd 10 00 01 00 02 00 78 56 34 12 00 00 00 00 00 00 00 00");
    DumpSeed("fuzz_bintag_reader", "tagless_le", pdu);

    RecWriter be(64, true, 0x12345678, 1, 2);
    pdu = be.Pdu();
    EXPECT_EQ(Hex(pdu), "cd 55 00 10 00 01 00 02 12 34 56 78 00 00 00 00 00 00 00 00");

    // Customer id from the high half of the group, service length from the tags.
    BINTAGWRITER w;
    alignas(4) RTS_UI8 buf[64];
    ASSERT_EQ(BTagWriterInit2(&w, buf, sizeof(buf), 1), ERR_OK);
    ASSERT_EQ(BTagWriterStartService(&w, 7, BTAG_HEADER_TAG_SERVICE, 0x00050009, 3), ERR_OK);
    ASSERT_EQ(BTagWriteSingleTag(&w, 1, kAlign0, 1, "\x01\x02", 2), ERR_OK);
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    ASSERT_EQ(BTagWriterFinishService(&w, &p, &n), ERR_OK);
    EXPECT_EQ(Hex(Slice(p, n)),
              "cd 55 00 10 00 09 00 03 00 00 00 07 00 00 00 08 00 05 00 00 01 84 80 00 01 02 00 00");
    DumpSeed("fuzz_bintag_reader", "single_be", Slice(p, n));

    // The swap rule: a short header keeps its last fields; a length that is
    // large before swapping is judged after it.
    HEADER_TAG_EXT h{0x55CD, 0x0C00, 0x8100, 0x0200, 0, 0, 0x1234, 0x5678};
    ASSERT_EQ(BTagSwapHeader(&h, 1), ERR_OK);
    EXPECT_EQ(h.usHeaderLength, 12);
    EXPECT_EQ(h.usServiceGroup, 0x81);
    EXPECT_EQ(h.usCustomerId, 0x1234);
    HEADER_TAG_EXT h16{0xCD55, 16, 1, 2, 0, 0, 0x1234, 0x5678};
    BTagSwapHeader(&h16, 1);
    EXPECT_EQ(h16.usHeaderLength, 0x1000);
    EXPECT_EQ(h16.usCustomerId, 0x3412);
    BTagSwapHeader(&h16, 0);
    EXPECT_EQ(h16.usCustomerId, 0x3412);
    EXPECT_EQ(BTagSwapHeader(nullptr, 1), ERR_PARAMETER);
}

TEST(BinTagWriter, WideningMovesContentAndGrowsEnclosingTags) {
    RecWriter w(kBig);
    ASSERT_EQ(w.Start(0x81), ERR_OK);  // 2-byte id, 2-byte length field
    ASSERT_EQ(w.Start(1, kAlign2), ERR_OK);
    Bytes content = Pattern(127);
    ASSERT_EQ(w.Blob(content), ERR_OK);
    EXPECT_EQ(Hex(Slice(w.w.pBuffer, 6)), "81 01 81 01 01 7f");  // parent 129, child 127
    ASSERT_EQ(w.Blob(B({0xEE})), ERR_OK);
    // 128 no longer fits one byte: the field grows to 5 bytes and the content
    // moves up by 4; the parent grows by 1 + 4.
    EXPECT_EQ(Hex(Slice(w.w.pBuffer, 10)), "81 01 86 01 01 80 81 80 80 00");
    content.push_back(0xEE);
    EXPECT_EQ(Slice(w.w.pBuffer + 10, 128), content);
    EXPECT_EQ(w.w.ulPos, 138u);
    ASSERT_EQ(w.Fill(), ERR_OK);
    ASSERT_EQ(w.End(1), ERR_OK);
    ASSERT_EQ(w.End(0x81), ERR_OK);
    Bytes tags = w.Tags();
    EXPECT_EQ(ReadTag(tags).len, 136u);
    EXPECT_EQ(ReadTag(tags, 1).len, 130u);
    w.Dump("widen");
    DumpSeed("fuzz_bintag_reader", "widen_body", tags);
}

// An outer parent (2-byte length field) holds a large data tag and then an
// inner tag with a 1-byte field, both just below their bounds, in a buffer
// that leaves exactly ulRoom bytes: the last step widens the inner field, and
// those 4 bytes push the outer one over as well. Guard bytes behind the
// buffer must stay as they were.
TEST(BinTagWriter, GrowthCountsInnerWideningsForTheOuterTags) {
    // Append: outer 0x81 at 16381 (bound 16383), inner data tag at 127 (bound
    // 127); one more byte needs 1 + 4 + 4 bytes, not 1 + 4.
    for (uint32_t ulRoom : {7u, 8u, 9u}) {
        uint32_t ulTags = 4 + (4 + 16248) + 2 + 127;
        RecWriter w(20 + ulTags + ulRoom);
        Bytes guard = Slice(reinterpret_cast<uint8_t*>(w.m_buffer.data()) + 20 + ulTags + ulRoom,
                            w.m_buffer.size() * 4 - (20 + ulTags + ulRoom));
        ASSERT_EQ(w.Start(0x81), ERR_OK);
        ASSERT_EQ(w.Start(2), ERR_OK);
        ASSERT_EQ(w.Dummy(0x11, 16248), ERR_OK);
        ASSERT_EQ(w.End(2), ERR_OK);
        ASSERT_EQ(w.Start(1, kAlign2), ERR_OK);
        ASSERT_EQ(w.Dummy(0x22, 127), ERR_OK);
        ASSERT_EQ(w.w.tagStack[0].ulSize, 16381u);
        ASSERT_EQ(w.w.ulPos, ulTags);
        Bytes before = w.Tags();
        EXPECT_EQ(BTagWriterGetAvailableBuffer(&w.w), ulRoom > 8 ? ulRoom - 8 : 0);
        // Reserving nothing widens up front only when both widenings fit;
        // either way the lengths stay readable.
        BINTAGSAVEPOINT sp;
        ASSERT_EQ(w.Save(&sp), ERR_OK);
        uint8_t* pRaw = nullptr;
        ASSERT_EQ(w.Raw(0, &pRaw), ERR_OK);
        EXPECT_EQ(ReadTag(w.Tags()).len, ulRoom < 8 ? 16381u : 16385u);
        ASSERT_EQ(w.Restore(&sp), ERR_OK);
        EXPECT_EQ(w.Tags(), before);
        RTS_RESULT r = w.Blob(B({0x33}));
        EXPECT_EQ(Slice(reinterpret_cast<uint8_t*>(w.m_buffer.data()) + 20 + ulTags + ulRoom, guard.size()),
                  guard);
        if (ulRoom < 9) {
            EXPECT_EQ(r, ERR_BTAG_BUFFER_OVERFLOW);
            EXPECT_EQ(w.Tags(), before);
        } else {
            ASSERT_EQ(r, ERR_OK);
            EXPECT_EQ(w.w.ulPos, ulTags + 9);
            EXPECT_EQ(w.w.tagStack[0].ulSize, 16386u);
            EXPECT_EQ(w.w.tagStack[0].ucSizeLength, 6);
            EXPECT_EQ(w.w.tagStack[1].ulSize, 128u);
            EXPECT_EQ(w.w.tagStack[1].ucSizeLength, 5);
            EXPECT_EQ(ReadTag(w.Tags()).len, 16386u);
            w.Dump("grow_append");
        }
    }
    // Starting a tag: outer 0x81 at 16376, inner parent 0x4080 (1-byte field)
    // at 124; a 4-byte tag header needs 4 + 4 + 4 bytes.
    for (uint32_t ulRoom : {11u, 12u}) {
        uint32_t ulTags = 4 + (4 + 16244) + 4 + 124;
        RecWriter w(20 + ulTags + ulRoom);
        Bytes guard = Slice(reinterpret_cast<uint8_t*>(w.m_buffer.data()) + 20 + ulTags + ulRoom,
                            w.m_buffer.size() * 4 - (20 + ulTags + ulRoom));
        ASSERT_EQ(w.Start(0x81), ERR_OK);
        ASSERT_EQ(w.Start(2), ERR_OK);
        ASSERT_EQ(w.Dummy(0x11, 16244), ERR_OK);
        ASSERT_EQ(w.End(2), ERR_OK);
        ASSERT_EQ(w.Start(0x4080), ERR_OK);
        ASSERT_EQ(w.Start(3), ERR_OK);
        ASSERT_EQ(w.Dummy(0x22, 120), ERR_OK);
        ASSERT_EQ(w.End(3), ERR_OK);
        ASSERT_EQ(w.w.tagStack[0].ulSize, 16376u);
        ASSERT_EQ(w.w.tagStack[1].ulSize, 124u);
        RTS_RESULT r = w.Start(4);
        EXPECT_EQ(Slice(reinterpret_cast<uint8_t*>(w.m_buffer.data()) + 20 + ulTags + ulRoom, guard.size()),
                  guard);
        EXPECT_EQ(r, ulRoom < 12 ? ERR_BTAG_BUFFER_OVERFLOW : ERR_OK);
        if (r == ERR_OK) {
            EXPECT_EQ(w.w.tagStack[0].ulSize, 16384u);
            EXPECT_EQ(w.w.tagStack[1].ulSize, 128u);
        }
    }
}

TEST(BinTagWriter, NestingAlignmentAndStateRules) {
    RecWriter w(kBig);
    for (uint32_t i = 0; i < 9; ++i) {
        ASSERT_EQ(w.Start(0x80 + i), ERR_OK) << i;
    }
    EXPECT_EQ(w.Start(0x90), ERR_BTAG_NESTING_TOO_DEEP);
    EXPECT_EQ(w.Start(1), ERR_BTAG_NESTING_TOO_DEEP);
    EXPECT_EQ(w.Blob(B({1})), ERR_BTAG_NOT_A_DATA_TAG);
    EXPECT_EQ(w.End(0x81), ERR_PARAMETER);
    for (uint32_t i = 9; i-- > 0;) {
        ASSERT_EQ(w.End(0x80 + i), ERR_OK);
    }
    EXPECT_EQ(w.End(0x80), ERR_BTAG_NO_TAG_OPEN);
    EXPECT_EQ(w.Blob(B({1})), ERR_BTAG_NOT_A_DATA_TAG);
    EXPECT_EQ(w.Fill(), ERR_BTAG_NO_TAG_OPEN);
    EXPECT_EQ(w.Dummy(0, 3), ERR_BTAG_NO_TAG_OPEN);
    EXPECT_EQ(w.Start(1, BTAG_ALIGNMENT{8, 0}), ERR_BTAG_ALIGNMENT);
    EXPECT_EQ(w.Start(0x81, kAlign2), ERR_BTAG_ALIGNMENT);
    EXPECT_EQ(w.Start(1, BTAG_ALIGNMENT{4, 5}), ERR_BTAG_ALIGNMENT);
    EXPECT_EQ(w.Start(1, kAlign0, 9), ERR_PARAMETER);
    ASSERT_EQ(w.Start(1), ERR_OK);
    EXPECT_EQ(w.Start(2), ERR_BTAG_TAG_IN_DATA_TAG);
    EXPECT_EQ(w.Fill(BTAG_ALIGNMENT{0, 0}), ERR_PARAMETER);
    EXPECT_EQ(w.Fill(BTAG_ALIGNMENT{4, 4}), ERR_PARAMETER);
    ASSERT_EQ(w.Blob(B({1, 2, 3})), ERR_OK);
    EXPECT_EQ(w.End(1), ERR_BTAG_ALIGNMENT);  // 3 content bytes, no fill
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 99;
    EXPECT_EQ(BTagWriterFinish(&w.w, &p, &n), ERR_BTAG_TAGS_STILL_OPEN);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(BTagWriterStartTag(&w.w, 1, kAlign0, 0), ERR_PARAMETER);  // cleared by Finish

    // Buffers: null, empty, unaligned, and too small for the header.
    BINTAGWRITER x;
    alignas(4) RTS_UI8 buf[64];
    EXPECT_EQ(BTagWriterInit2(&x, nullptr, 64, 0), ERR_PARAMETER);
    EXPECT_EQ(BTagWriterInit2(&x, buf, 0, 0), ERR_PARAMETER);
    EXPECT_EQ(BTagWriterInit2(&x, buf + 1, 60, 0), ERR_BTAG_ALIGNMENT);
    EXPECT_EQ(BTagWriterInit2(&x, buf, 19, 0), ERR_PARAMETER);
    EXPECT_EQ(BTagWriterInit2(&x, buf, 8, 0), ERR_PARAMETER);
    ASSERT_EQ(BTagWriterInit(&x, buf, 20), ERR_OK);
    EXPECT_EQ(BTagWriterGetAvailableBuffer(&x), 0u);
    EXPECT_EQ(BTagWriterStartTag(&x, 1, kAlign0, 0), ERR_BTAG_BUFFER_OVERFLOW);
    EXPECT_EQ(BTagWriterEndTag(&x, 1), ERR_BTAG_BUFFER_OVERFLOW);  // sticky
    EXPECT_EQ(BTagWriterFinish(&x, &p, &n), ERR_BTAG_BUFFER_OVERFLOW);
    EXPECT_EQ(n, 0u);
}

TEST(BinTagWriter, OverflowStaysButFailedFillAndSavepointsTakeBack) {
    RecWriter w(20 + 16);
    ASSERT_EQ(w.Start(1), ERR_OK);  // 4-byte header, 12 content bytes possible
    ASSERT_EQ(w.Blob(B({1, 2, 3, 4, 5})), ERR_OK);
    Bytes before = w.Tags();
    // Dummy bytes that do not fit leave no trace and no overflow.
    EXPECT_EQ(w.Dummy(0xFF, 8), ERR_BTAG_BUFFER_OVERFLOW);
    EXPECT_EQ(w.Tags(), before);
    EXPECT_EQ(w.w.bBufferOverflow, 0);
    EXPECT_EQ(w.Fill(BTAG_ALIGNMENT{4, 0}), ERR_OK);
    BINTAGSAVEPOINT sp;
    ASSERT_EQ(w.Save(&sp), ERR_OK);
    Bytes atSave = w.Tags();
    // A blob that does not fit overflows for good...
    EXPECT_EQ(w.Blob(Pattern(5)), ERR_BTAG_BUFFER_OVERFLOW);
    EXPECT_EQ(w.Blob(B({1})), ERR_BTAG_BUFFER_OVERFLOW);
    EXPECT_EQ(w.End(1), ERR_BTAG_BUFFER_OVERFLOW);
    EXPECT_EQ(BTagWriterGetAvailableBuffer(&w.w), 0u);
    // ...until a save point from before it is restored.
    ASSERT_EQ(w.Restore(&sp), ERR_OK);
    EXPECT_EQ(w.Tags(), atSave);
    EXPECT_EQ(w.Blob(B({9, 9, 9, 9})), ERR_OK);
    EXPECT_EQ(w.End(1), ERR_OK);
    w.Dump("overflow");
}

TEST(BinTagWriter, RestoringASavepointUndoesWidenings) {
    RecWriter w(kBig);
    ASSERT_EQ(w.Start(0x4080), ERR_OK);  // 1-byte length field
    ASSERT_EQ(w.Start(1, kAlign2), ERR_OK);
    ASSERT_EQ(w.Blob(Pattern(100)), ERR_OK);
    BINTAGSAVEPOINT sp;
    ASSERT_EQ(w.Save(&sp), ERR_OK);
    Bytes atSave = w.Tags();
    ASSERT_EQ(w.Blob(Pattern(100, 9)), ERR_OK);
    ASSERT_EQ(w.Fill(), ERR_OK);
    ASSERT_EQ(w.End(1), ERR_OK);
    ASSERT_EQ(w.Start(2), ERR_OK);  // a tag begun after the save point goes too
    EXPECT_EQ(w.w.tagStack[0].ucSizeLength, 5);
    BINTAGSAVEPOINT later;
    ASSERT_EQ(BTagWriterCreateSavepoint(&w.w, &later), ERR_OK);
    ASSERT_EQ(w.Restore(&sp), ERR_OK);
    EXPECT_EQ(w.Tags(), atSave);
    EXPECT_EQ(w.w.nStackPos, 1);
    EXPECT_EQ(BTagWriterRestoreSavepoint(&w.w, &later), ERR_PARAMETER);  // lies ahead now
    ASSERT_EQ(w.Blob(B({7, 7})), ERR_OK);
    ASSERT_EQ(w.End(1), ERR_OK);
    ASSERT_EQ(w.End(0x4080), ERR_OK);
    Bytes tags = w.Tags();
    EXPECT_EQ(Hex(Slice(tags.data(), 6)), "80 81 01 68 01 66");  // 104 and 102
    w.Dump("savepoint");
}

TEST(BinTagWriter, RawReservationIsNeverMovedByLaterAppends) {
    RecWriter w(kBig);
    ASSERT_EQ(w.Start(0x4080), ERR_OK);  // 1-byte field that would widen later
    ASSERT_EQ(w.Start(1), ERR_OK);
    RTS_UI32 ulAvail = BTagWriterGetAvailableBuffer(&w.w);
    uint8_t* pRaw = nullptr;
    ASSERT_EQ(w.Raw(16, &pRaw), ERR_OK);
    EXPECT_EQ(w.w.tagStack[0].ucSizeLength, 5);  // widened up front
    EXPECT_EQ(BTagWriterGetAvailableBuffer(&w.w), ulAvail - 16);
    ASSERT_EQ(w.End(1), ERR_OK);
    ASSERT_EQ(w.Start(2), ERR_OK);
    ASSERT_EQ(w.Blob(Pattern(200)), ERR_OK);
    Bytes secret = Pattern(16, 100);
    memcpy(pRaw, secret.data(), secret.size());
    ASSERT_EQ(w.End(2), ERR_OK);
    ASSERT_EQ(w.End(0x4080), ERR_OK);
    Bytes tags = w.Tags();
    TagView d = ReadTag(tags, 1);
    ASSERT_EQ(d.len, 16u);
    EXPECT_EQ(Slice(tags.data() + d.contentPos, 16), secret);
    w.Dump("raw");

    // Exactly the available room can be appended, whatever must widen.
    RecWriter full(20 + 300);
    ASSERT_EQ(full.Start(0x4080), ERR_OK);
    ASSERT_EQ(full.Start(0x4081), ERR_OK);
    ASSERT_EQ(full.Start(1, kAlign2), ERR_OK);
    RTS_UI32 n = BTagWriterGetAvailableBuffer(&full.w);
    EXPECT_EQ(n, 300u - 10 - 12);
    EXPECT_EQ(full.Dummy(0x5A, n), ERR_OK);
    EXPECT_EQ(full.w.ulPos, 300u);
    EXPECT_EQ(BTagWriterGetAvailableBuffer(&full.w), 0u);
}

TEST(BinTagWriter, StringsGuidsSingleTagsAndBufferSwitch) {
    alignas(4) RTS_UI8 small[40];
    alignas(4) RTS_UI8 large[128];
    BINTAGWRITER w;
    ASSERT_EQ(BTagWriterInit(&w, small, sizeof(small)), ERR_OK);
    ASSERT_EQ(BTagWriterStartTag(&w, 1, kAlign2, 0), ERR_OK);
    ASSERT_EQ(BTagWriterAppendString(&w, "ab"), ERR_OK);
    const RTS_WCHAR wsz[] = {'x', 'y', 0};
    ASSERT_EQ(BTagWriterAppendWString(&w, wsz), ERR_OK);
    EXPECT_EQ(w.tagStack[0].ulSize, 3u + 6u);
    RTS_GUID guid{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
    EXPECT_EQ(BTagWriterAppendGUID(&w, &guid), ERR_BTAG_BUFFER_OVERFLOW);
    // The overflow stays even in a larger buffer; a fresh attempt switches first.
    ASSERT_EQ(BTagWriterInit(&w, small, sizeof(small)), ERR_OK);
    ASSERT_EQ(BTagWriterStartService(&w, 1, BTAG_HEADER_TAG_SERVICE, 2, 3), ERR_OK);
    ASSERT_EQ(BTagWriterStartTag(&w, 1, kAlign2, 0), ERR_OK);
    ASSERT_EQ(BTagWriterAppendString(&w, "ab"), ERR_OK);
    RTS_UI8* pOld = nullptr;
    EXPECT_EQ(BTagWriterSwitchBuffer(&w, large, 24, &pOld), ERR_BTAG_BUFFER_OVERFLOW);
    EXPECT_EQ(BTagWriterSwitchBuffer(&w, large + 2, 100, &pOld), ERR_BTAG_ALIGNMENT);
    ASSERT_EQ(BTagWriterSwitchBuffer(&w, large, sizeof(large), &pOld), ERR_OK);
    EXPECT_EQ(pOld, small);
    ASSERT_EQ(BTagWriterAppendGUID(&w, &guid), ERR_OK);
    ASSERT_EQ(BTagWriterAppendFillBytes(&w, 0, kAlign0), ERR_OK);
    ASSERT_EQ(BTagWriterEndTag(&w, 1), ERR_OK);
    ASSERT_EQ(BTagWriteSingleTag(&w, 0x82, kAlign0, 1, nullptr, 0), ERR_OK);
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    ASSERT_EQ(BTagWriterFinishService(&w, &p, &n), ERR_OK);
    EXPECT_EQ(p, large);
    Bytes pdu = Slice(p, n);
    ASSERT_EQ(n, 20u + 24u + 4u);
    // The GUID goes out as stored (here in a little-endian host's order).
    EXPECT_EQ(Hex(Slice(p + 20, 24)),
              "01 16 61 62 00 04 03 02 01 06 05 08 07 09 0a 0b 0c 0d 0e 0f 10 00 00 00");
    EXPECT_EQ(Hex(Slice(p + 44, 4)), "82 01 80 00");  // 0 padded to the 2-byte field
    ASSERT_EQ(BTagWriterFinish(&w, &p, &n), ERR_OK);
    EXPECT_EQ(p, large + 20);
    EXPECT_EQ(n, 28u);
    DumpSeed("fuzz_bintag_reader", "strings_pdu", pdu);
}

namespace {

struct CrcSeen {
    Bytes tags;
    int calls = 0;
};
void OnCrc(const RTS_UI8* p, RTS_UI32 n, void* pv) {
    auto* s = static_cast<CrcSeen*>(pv);
    s->tags = Slice(p, n);
    ++s->calls;
}

// The same request through any kind of writer.
RTS_RESULT WriteRequest(BINTAGWRITER* w, uint32_t ulBulk) {
    RTS_RESULT r = BTagWriterStartService(w, 0x11, BTAG_HEADER_TAG_SERVICE, 2, 7);
    if (r == ERR_OK)
        r = BTagWriterStartTag(w, 0x81, kAlign0, 0);
    if (r == ERR_OK)
        r = BTagWriteSingleTag(w, 1, kAlign2, 1, "name", 5);
    if (r == ERR_OK)
        r = BTagWriterStartTag(w, 2, kAlign0, 0);
    if (r == ERR_OK)
        r = BTagWriterAppendDummyBytes(w, 0x5A, ulBulk);
    if (r == ERR_OK)
        r = BTagWriterAppendFillBytes(w, 0, kAlign0);
    if (r == ERR_OK)
        r = BTagWriterEndTag(w, 2);
    if (r == ERR_OK)
        r = BTagWriterEndTag(w, 0x81);
    return r;
}

}  // namespace

TEST(BinTagFileWriter, FilesGetTheBytesOfAMemoryWriter) {
    kltest::TempDir dir;
    BINTAGWRITER w;
    // The larger request outgrows both the file writer's first memory and the
    // shared 100,000-byte buffer.
    for (uint32_t ulBulk : {10u, 150000u}) {
        std::vector<uint32_t> mem(ulBulk / 4 + 64);
        ASSERT_EQ(BTagWriterInit(&w, reinterpret_cast<RTS_UI8*>(mem.data()), mem.size() * 4), ERR_OK);
        ASSERT_EQ(WriteRequest(&w, ulBulk), ERR_OK);
        RTS_UI8* p = nullptr;
        RTS_UI32 n = 0;
        ASSERT_EQ(BTagWriterFinishService(&w, &p, &n), ERR_OK);
        const Bytes expected = Slice(p, n);
        const std::string expectedText(expected.begin(), expected.end());
        ASSERT_EQ(BTagWriterFinish(&w, nullptr, nullptr), ERR_OK);

        std::string named = dir.File("named.bin");
        ASSERT_EQ(BTagWriterFileInit2(&w, named.c_str()), ERR_OK);
        ASSERT_EQ(WriteRequest(&w, ulBulk), ERR_OK);
        EXPECT_EQ(BTagWriterAppendRaw(&w, &p, 4), ERR_NOT_IMPLEMENTED);
        EXPECT_EQ(BTagWriterSwitchBuffer(&w, reinterpret_cast<RTS_UI8*>(mem.data()), 64, &p),
                  ERR_NOT_IMPLEMENTED);
        ASSERT_EQ(BTagWriterFinishService(&w, &p, &n), ERR_OK);
        EXPECT_TRUE(Slice(p, n) == expected);
        ASSERT_EQ(BTagWriterFinish(&w, &p, &n), ERR_OK);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(n, expected.size() - 20);
        EXPECT_TRUE(kltest::ReadFile(named) == expectedText);

        std::string streamed = dir.File("stream.bin");
        RTS_HANDLE h = SysFileOpen(streamed.c_str(), AM_WRITE, nullptr);
        ASSERT_NE(h, RTS_INVALID_HANDLE);
        CrcSeen seen;
        ASSERT_EQ(BTagWriterFileStreamInit2(&w, h, OnCrc, &seen), ERR_OK);
        BINTAGWRITER second;
        EXPECT_EQ(BTagWriterFileStreamInit(&second, h), ERR_NOMEMORY);
        ASSERT_EQ(WriteRequest(&w, ulBulk), ERR_OK);
        EXPECT_EQ(bintag::SharedBufferIsEnlarged(), ulBulk > BTAG_FILESTREAM_BUFFER_SIZE);
        ASSERT_EQ(BTagWriterFinishService(&w, nullptr, nullptr), ERR_OK);
        ASSERT_EQ(BTagWriterFinish(&w, nullptr, &n), ERR_OK);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_TRUE(seen.tags == Bytes(expected.begin() + 20, expected.end()));
        ASSERT_EQ(BTagWriterFileStreamInit(&second, h), ERR_OK);  // released again
        EXPECT_EQ(BTagWriterFinish(&second, nullptr, nullptr), ERR_OK);
        SysFileClose(h);
        EXPECT_TRUE(kltest::ReadFile(streamed) == expectedText);
    }
    bintag::SharedBufferShutdown();
    EXPECT_FALSE(bintag::SharedBufferIsEnlarged());
    EXPECT_EQ(BTagWriterFileInit(&w, RTS_INVALID_HANDLE), ERR_PARAMETER);
    EXPECT_EQ(BTagWriterFileInit2(&w, nullptr), ERR_PARAMETER);
    EXPECT_EQ(BTagWriterFileInit2(&w, dir.File("no/such/dir/x").c_str()), ERR_FAILED);
    EXPECT_EQ(BTagWriterFileStreamInit(&w, RTS_INVALID_HANDLE), ERR_PARAMETER);
}

TEST(BinTagFileWriter, SharedBufferGoesToOneWriterAtATime) {
    kltest::TempDir dir;
    RTS_HANDLE h = SysFileOpen(dir.File("race.bin").c_str(), AM_WRITE, nullptr);
    ASSERT_NE(h, RTS_INVALID_HANDLE);
    std::atomic<int> holders{0}, most{0}, wins{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                BINTAGWRITER w;
                if (BTagWriterFileStreamInit(&w, h) != ERR_OK) {
                    continue;
                }
                int now = ++holders;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                ++wins;
                --holders;
                BTagWriterFinish(&w, nullptr, nullptr);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    SysFileClose(h);
    EXPECT_EQ(most.load(), 1);
    EXPECT_GT(wins.load(), 0);
}
