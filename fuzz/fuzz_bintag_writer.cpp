// Fuzz target of the binary-tag writer. The input is a program: three bytes
// choose the writer (byte 0: bit 0 swaps the header, bit 1 takes a file-stream
// writer on /dev/null; bytes 1-2: a memory buffer of 20 + 4 * n bytes), then
// one op code per step (at most 256 steps, within the first 1024 bytes) with
// its operands:
//   0 start   id (1 byte, or 0xF0.. then 4 bytes), alignment byte
//             (bits 0-1 remainder, bit 2 modulus 0, bit 3 remainder + 4, bits 4-7 minimum length size)
//   1 end     bit 0 asks for a wrong id
//   2 blob    length, bytes          3 string  length (mod 64)
//   4 fill    bits 0-1 remainder, bit 2 modulus 8, bit 3 modulus 0, bit 4 remainder = modulus
//   5 dummy   byte, 3-byte count (17 bits)     6 raw     length
//   7 save    8 restore  depth from the newest save point
//   9 switch  2-byte size of the other buffer (20 + 4 * n)
//   10 fill up what GetAvailableBuffer promises     11 GUID or wide string
// Every result is checked against what the op must give, the structure that
// succeeded is kept aside, and the bytes finally written are decoded here,
// independently of the reader, and compared with it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BinTagService.h"
#include "SysFile.h"

namespace {

// Harness code needs no coverage feedback of its own: only the writer's counts.
#define KL_HARNESS __attribute__((no_sanitize("coverage")))

KL_HARNESS void Check(bool b) {
    if (!b) {
        abort();
    }
}

constexpr uint32_t kMaxBuffer = 20 + 4 * 65535u + 4;
alignas(8) uint8_t g_abyBuffers[2][kMaxBuffer];
// Bytes appended or copied per input are bounded so that every input runs quickly.
constexpr uint64_t kAppendBudget = 110000;

// A piece of a data tag's content: bytes of the pool, or a run of one byte.
struct Segment {
    bool bRun;
    uint8_t by;
    uint32_t off, len;
};

// The expected structure, flat: nodes link to their first child and next sibling.
struct Node {
    uint32_t id, rem, minLen;
    uint64_t size;
    uint32_t firstSeg, nSegs;
    int32_t firstKid, next;
    bool Data() const { return (id & 0x80) == 0; }
};

// The successful writes, as events: start (id, rem, minLen), bytes, end.
struct Event {
    uint8_t kind;  // 0 start, 1 end, 2 bytes from the pool, 3 a run of one byte
    uint32_t id, rem, minLen;
    uint32_t off, len;
};

// Ids of the open tags.
struct IdStack {
    uint32_t a[BTAG_MAX_NESTING];
    uint32_t n = 0;
    bool empty() const { return n == 0; }
    uint32_t size() const { return n; }
    uint32_t back() const { return a[n - 1]; }
    void push_back(uint32_t v) { a[n++] = v; }
    void pop_back() { --n; }
};

struct Model {
    std::vector<Event> events;
    std::vector<uint8_t> pool;
    IdStack open;
    bool overflow = false;
};

struct Saved {
    BINTAGSAVEPOINT sp;
    size_t nEvents, nPool;
    IdStack open;
    bool overflow;
};

KL_HARNESS uint32_t MbuiSize(uint32_t v) {
    uint32_t n = 1;
    for (; v > 0x7F; v >>= 7) {
        ++n;
    }
    return n;
}

KL_HARNESS uint64_t Bound(uint32_t w) {
    static const uint64_t s_bounds[5] = {0, 0x7F, 0x3FFF, 0x1FFFFF, 0xFFFFFFF};
    return w < 5 ? s_bounds[w] : 0xFFFFFFFFull;
}

// Header size of a new tag: id, length field, padded to the content's remainder.
KL_HARNESS uint32_t HeaderSize(uint32_t id, uint32_t rem, uint32_t minLen) {
    uint32_t h = MbuiSize(id) + (minLen != 0 ? minLen : 1);
    while (h % 4 != rem) {
        ++h;
    }
    return h;
}

struct Input {
    const uint8_t* p;
    size_t n;
    size_t pos = 0;
    bool More() const { return pos < n; }
    uint8_t Byte() { return pos < n ? p[pos++] : 0; }
};

std::vector<uint8_t> g_crcSeen;
KL_HARNESS void OnCrc(const RTS_UI8* p, RTS_UI32 n, void*) {
    g_crcSeen.assign(p, p + n);
}

// --- decoding what was written ----------------------------------------------------------
KL_HARNESS bool ReadMbui(const uint8_t* p, uint32_t& pos, uint32_t end, uint32_t& value, uint32_t& width) {
    uint64_t v = 0;
    width = 0;
    for (;;) {
        if (pos >= end || width >= 16) {
            return false;
        }
        uint8_t b = p[pos++];
        if (width < 5) {
            v |= static_cast<uint64_t>(b & 0x7F) << (7 * width);
        } else if ((b & 0x7F) != 0) {
            return false;
        }
        ++width;
        if ((b & 0x80) == 0) {
            break;
        }
    }
    if (v > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

std::vector<Node> g_nodes;
std::vector<Segment> g_segs;
const std::vector<uint8_t>* g_pPool = nullptr;

KL_HARNESS bool SameContent(const uint8_t* p, const Node& node) {
    for (uint32_t i = 0; i < node.nSegs; ++i) {
        const Segment& seg = g_segs[node.firstSeg + i];
        if (seg.len == 0) {
            continue;
        }
        if (seg.bRun ? (p[0] != seg.by || memcmp(p, p + 1, seg.len - 1) != 0)
                     : memcmp(p, g_pPool->data() + seg.off, seg.len) != 0) {
            return false;
        }
        p += seg.len;
    }
    return true;
}

KL_HARNESS bool Decode(const uint8_t* p, uint32_t pos, uint32_t end, int32_t first) {
    for (int32_t k = first; k >= 0; k = g_nodes[k].next) {
        const Node node = g_nodes[k];
        uint32_t start = pos, id = 0, len = 0, idWidth = 0, lenWidth = 0;
        if (start % 4 != 0 || !ReadMbui(p, pos, end, id, idWidth) || id != node.id ||
            idWidth != MbuiSize(id) || !ReadMbui(p, pos, end, len, lenWidth)) {
            return false;
        }
        // The field starts as wide as the alignment makes it and may have grown by 4.
        uint32_t w0 = HeaderSize(id, node.rem, node.minLen) - idWidth;
        if ((lenWidth != w0 && lenWidth != w0 + 4) || (len > Bound(w0) && lenWidth != w0 + 4)) {
            return false;
        }
        if ((pos - start) % 4 != node.rem || len > end - pos || (pos + len) % 4 != 0) {
            return false;
        }
        if (node.Data()) {
            if (len != node.size || !SameContent(p + pos, node)) {
                return false;
            }
        } else if (!Decode(p, pos, pos + len, node.firstKid)) {
            return false;
        }
        pos += len;
    }
    return pos == end;
}

// Builds the expected structure from the events; returns the first top-level node.
KL_HARNESS int32_t Expected(const Model& m) {
    g_nodes.clear();
    g_segs.clear();
    int32_t first = -1;
    int32_t open[BTAG_MAX_NESTING + 1];  // open nodes
    int32_t last[BTAG_MAX_NESTING + 1];  // last child so far at each level
    uint32_t depth = 0;
    last[0] = -1;
    for (const Event& e : m.events) {
        if (e.kind == 0) {
            int32_t k = static_cast<int32_t>(g_nodes.size());
            g_nodes.push_back({e.id, e.rem, e.minLen, 0, static_cast<uint32_t>(g_segs.size()), 0, -1, -1});
            if (last[depth] >= 0) {
                g_nodes[last[depth]].next = k;
            } else if (depth == 0) {
                first = k;
            } else {
                g_nodes[open[depth - 1]].firstKid = k;
            }
            last[depth] = k;
            open[depth++] = k;
            last[depth] = -1;
        } else if (e.kind == 1) {
            --depth;
        } else {
            // Bytes go to the innermost open tag, a data tag.
            Node& node = g_nodes[open[depth - 1]];
            g_segs.push_back({e.kind == 3, static_cast<uint8_t>(e.id), e.off, e.len});
            ++node.nSegs;
            node.size += e.len;
        }
    }
    return first;
}

// --- running the program ------------------------------------------------------------------------
struct Run {
    BINTAGWRITER w{};
    Model m;
    Saved saves[8];
    uint32_t nSaves = 0;
    bool bFile = false;
    int iBuffer = 0;
    uint64_t budget = kAppendBudget;

    // One run serves every input, so that its vectors keep their memory.
    KL_HARNESS void Reset() {
        w = BINTAGWRITER{};
        m.events.clear();
        m.pool.clear();
        m.open.n = 0;
        m.overflow = false;
        nSaves = 0;
        bFile = false;
        iBuffer = 0;
        budget = kAppendBudget;
    }

    bool TopIsData() const { return !m.open.empty() && (m.open.back() & 0x80) == 0; }

    KL_HARNESS void AddBytes(const uint8_t* p, uint32_t n) {
        m.events.push_back({2, 0, 0, 0, static_cast<uint32_t>(m.pool.size()), n});
        m.pool.insert(m.pool.end(), p, p + n);
    }
    void AddRun(uint8_t by, uint32_t n) { m.events.push_back({3, by, 0, 0, 0, n}); }

    // Result of an append of n bytes that is expected to be possible
    // structurally: success is required when n fits what was promised.
    KL_HARNESS void CheckAppend(RTS_RESULT r, uint32_t n, uint32_t avail, bool bSticky, uint32_t posBefore) {
        if (r == ERR_OK) {
            return;
        }
        Check(r == ERR_BTAG_BUFFER_OVERFLOW && !bFile && n > avail);
        if (bSticky) {
            m.overflow = true;
        } else {
            Check(!w.bBufferOverflow && w.ulPos == posBefore);
        }
    }

    KL_HARNESS void Append(Input& in, int kind) {
        uint8_t abyLocal[512];
        uint32_t n = 0;
        const uint8_t* src = abyLocal;
        if (kind == 2) {
            n = in.Byte();
            size_t have = in.n - in.pos;
            n = have < n ? static_cast<uint32_t>(have) : n;
            src = in.p + in.pos;
            in.pos += n;
        } else if (kind == 3) {
            uint32_t len = in.Byte() % 64;
            for (uint32_t i = 0; i < len; ++i) {
                abyLocal[i] = static_cast<uint8_t>('a' + i % 26);
            }
            abyLocal[len] = 0;
            n = len + 1;
        } else {
            uint8_t sel = in.Byte();
            if (sel & 1) {
                for (uint32_t i = 0; i < 16; ++i) {
                    abyLocal[i] = static_cast<uint8_t>(sel + i);
                }
                n = 16;
            } else {
                uint32_t len = (sel >> 1) % 16;
                for (uint32_t i = 0; i < len; ++i) {
                    abyLocal[2 * i] = static_cast<uint8_t>('A' + i);
                    abyLocal[2 * i + 1] = 0;
                }
                abyLocal[2 * len] = abyLocal[2 * len + 1] = 0;
                n = 2 * (len + 1);
            }
        }
        uint32_t avail = BTagWriterGetAvailableBuffer(&w), posBefore = w.ulPos;
        RTS_RESULT r;
        if (kind == 2) {
            r = BTagWriterAppendBlob(&w, src, n);
        } else if (kind == 3) {
            r = BTagWriterAppendString(&w, reinterpret_cast<const char*>(abyLocal));
        } else if (n == 16) {
            RTS_GUID g;
            memcpy(&g, abyLocal, 16);
            r = BTagWriterAppendGUID(&w, &g);
        } else {
            RTS_WCHAR wsz[17];
            memcpy(wsz, abyLocal, n);
            r = BTagWriterAppendWString(&w, wsz);
        }
        if (m.overflow) {
            Check(r == ERR_BTAG_BUFFER_OVERFLOW);
            return;
        }
        if (!TopIsData()) {
            Check(r == ERR_BTAG_NOT_A_DATA_TAG);
            return;
        }
        CheckAppend(r, n, avail, true, posBefore);
        if (r == ERR_OK) {
            AddBytes(src, n);
        }
    }

    KL_HARNESS void Start(Input& in) {
        uint32_t id = in.Byte();
        if (id >= 0xF0) {
            id = 0;
            for (int i = 0; i < 4; ++i) {
                id |= static_cast<uint32_t>(in.Byte()) << (8 * i);
            }
        }
        uint8_t a = in.Byte();
        BTAG_ALIGNMENT align{static_cast<RTS_UI16>((a & 4) ? 0 : 4),
                             static_cast<RTS_UI16>((a & 3) + ((a & 8) ? 4 : 0))};
        uint32_t minLen = a >> 4;
        uint32_t avail = BTagWriterGetAvailableBuffer(&w);
        RTS_RESULT r = BTagWriterStartTag(&w, id, align, minLen);
        bool bData = (id & 0x80) == 0;
        if (m.overflow) {
            Check(r == ERR_BTAG_BUFFER_OVERFLOW);
        } else if (align.usModulus != 4 || align.usRemainder >= 4 || (!bData && align.usRemainder != 0)) {
            Check(r == ERR_BTAG_ALIGNMENT);
        } else if (minLen > 8) {
            Check(r == ERR_PARAMETER);
        } else if (m.open.size() >= BTAG_WRITER_MAX_OPEN) {
            Check(r == ERR_BTAG_NESTING_TOO_DEEP);
        } else if (TopIsData()) {
            Check(r == ERR_BTAG_TAG_IN_DATA_TAG);
        } else {
            CheckAppend(r, HeaderSize(id, align.usRemainder, minLen), avail, true, w.ulPos);
            if (r == ERR_OK) {
                m.events.push_back({0, id, align.usRemainder, minLen, 0, 0});
                m.open.push_back(id);
            }
        }
    }

    KL_HARNESS void End(Input& in) {
        bool bWrong = (in.Byte() & 1) != 0;
        uint32_t id = m.open.empty() ? 0 : m.open.back();
        if (bWrong) {
            id ^= 1;
        }
        uint32_t pos = w.ulPos;
        RTS_RESULT r = BTagWriterEndTag(&w, id);
        if (m.overflow) {
            Check(r == ERR_BTAG_BUFFER_OVERFLOW);
        } else if (m.open.empty()) {
            Check(r == ERR_BTAG_NO_TAG_OPEN);
        } else if (bWrong) {
            Check(r == ERR_PARAMETER);
        } else if (pos % 4 != 0) {
            Check(r == ERR_BTAG_ALIGNMENT);
        } else {
            Check(r == ERR_OK);
            m.events.push_back({1, id, 0, 0, 0, 0});
            m.open.pop_back();
        }
    }

    KL_HARNESS void Fill(uint8_t a) {
        BTAG_ALIGNMENT align{static_cast<RTS_UI16>((a & 8) ? 0 : ((a & 4) ? 8 : 4)),
                             static_cast<RTS_UI16>(a & 3)};
        if (a & 16) {
            align.usRemainder = align.usModulus;
        }
        uint32_t pos = w.ulPos;
        uint32_t before = m.open.empty() ? 0 : w.tagStack[w.nStackPos].ulSize;
        uint32_t avail = BTagWriterGetAvailableBuffer(&w);
        RTS_RESULT r = BTagWriterAppendFillBytes(&w, 0, align);
        if (m.overflow) {
            Check(r == ERR_BTAG_BUFFER_OVERFLOW);
        } else if (align.usModulus == 0 || align.usRemainder >= align.usModulus) {
            Check(r == ERR_PARAMETER);
        } else if (m.open.empty()) {
            Check(r == ERR_BTAG_NO_TAG_OPEN);
        } else if (pos % align.usModulus == align.usRemainder) {
            Check(r == ERR_OK && w.ulPos == pos);
        } else if (!TopIsData()) {
            Check(r == ERR_BTAG_NOT_A_DATA_TAG && w.ulPos == pos);
        } else {
            // Up to modulus - 1 bytes, plus 4 more for each widening on the way.
            CheckAppend(r, align.usModulus + 4 * BTAG_MAX_NESTING, avail, false, pos);
            if (r == ERR_OK) {
                Check(w.ulPos % align.usModulus == align.usRemainder);
                AddRun(0, w.tagStack[w.nStackPos].ulSize - before);
            }
        }
    }

    KL_HARNESS void Dummy(uint8_t by, uint32_t n) {
        if (n > budget) {
            return;
        }
        budget -= n;
        uint32_t pos = w.ulPos, avail = BTagWriterGetAvailableBuffer(&w);
        RTS_RESULT r = BTagWriterAppendDummyBytes(&w, by, n);
        if (m.overflow) {
            Check(r == ERR_BTAG_BUFFER_OVERFLOW);
        } else if (m.open.empty()) {
            Check(r == ERR_BTAG_NO_TAG_OPEN);
        } else if (!TopIsData()) {
            Check(r == ERR_BTAG_NOT_A_DATA_TAG && w.ulPos == pos);
        } else {
            CheckAppend(r, n, avail, false, pos);
            if (r == ERR_OK) {
                AddRun(by, n);
            }
        }
    }

    KL_HARNESS void Raw(uint32_t n) {
        uint32_t pos = w.ulPos, avail = BTagWriterGetAvailableBuffer(&w);
        RTS_UI8* p = nullptr;
        RTS_RESULT r = BTagWriterAppendRaw(&w, &p, n);
        if (bFile) {
            Check(r == ERR_NOT_IMPLEMENTED);
        } else if (m.overflow) {
            Check(r == ERR_BTAG_BUFFER_OVERFLOW);
        } else if (!TopIsData()) {
            Check(r == ERR_BTAG_NOT_A_DATA_TAG);
        } else {
            CheckAppend(r, n, avail, true, pos);
            if (r == ERR_OK) {
                Check(p == w.pBuffer + w.ulPos - n);
                for (uint32_t i = 0; i < n; ++i) {
                    p[i] = static_cast<uint8_t>(0xC0 + i % 16);
                }
                AddBytes(p, n);
            }
        }
    }

    KL_HARNESS void Save() {
        if (nSaves >= 8) {
            return;
        }
        Saved& s = saves[nSaves++];
        Check(BTagWriterCreateSavepoint(&w, &s.sp) == ERR_OK);
        s.nEvents = m.events.size();
        s.nPool = m.pool.size();
        s.open = m.open;
        s.overflow = m.overflow;
    }

    KL_HARNESS void Restore(uint8_t k) {
        if (nSaves == 0) {
            return;
        }
        uint32_t idx = nSaves - 1 - k % nSaves;
        const Saved& s = saves[idx];
        Check(BTagWriterRestoreSavepoint(&w, &s.sp) == ERR_OK);
        Check(w.ulPos == s.sp.ulPos && w.nStackPos == s.sp.nStackPos);
        m.events.resize(s.nEvents);
        m.pool.resize(s.nPool);
        m.open = s.open;
        m.overflow = s.overflow;
        nSaves = idx + 1;
    }

    KL_HARNESS void Switch(uint32_t units) {
        uint32_t size = 20 + 4 * units;
        // Copying counts against the same budget as appending.
        if (20 + w.ulPos > budget) {
            return;
        }
        budget -= 20 + w.ulPos;
        uint8_t* target = g_abyBuffers[1 - iBuffer];
        uint8_t* old = w.pBuffer - 20;
        uint32_t used = 20 + w.ulPos;
        RTS_UI8* pOld = nullptr;
        RTS_RESULT r = BTagWriterSwitchBuffer(&w, target, size, &pOld);
        if (bFile) {
            Check(r == ERR_NOT_IMPLEMENTED);
        } else if (size < used) {
            Check(r == ERR_BTAG_BUFFER_OVERFLOW && w.pBuffer == old + 20);
        } else {
            Check(r == ERR_OK && pOld == old && memcmp(target, old, used) == 0);
            iBuffer = 1 - iBuffer;
        }
    }

    KL_HARNESS void FillAvailable() {
        uint32_t avail = BTagWriterGetAvailableBuffer(&w);
        if (m.overflow || !TopIsData() || avail > budget) {
            return;
        }
        budget -= avail;
        Check(BTagWriterAppendDummyBytes(&w, 0xA5, avail) == ERR_OK);
        AddRun(0xA5, avail);
    }
};

RTS_HANDLE g_hNull = RTS_INVALID_HANDLE;
Run g_run;

}  // namespace

extern "C" KL_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    // A few hundred steps reach every nesting, widening and overflow the
    // writer has; longer programs are cut so that each run stays short.
    if (size > 1024) {
        size = 1024;
    }
    Input in{data, size, 3};
    Run& run = g_run;
    run.Reset();
    RTS_BOOL bSwap = data[0] & 1;
    if ((data[0] & 2) != 0) {
        if (g_hNull == RTS_INVALID_HANDLE) {
            g_hNull = SysFileOpen("/dev/null", AM_WRITE, nullptr);
        }
        if (g_hNull == RTS_INVALID_HANDLE) {
            return 0;
        }
        run.bFile = true;
        Check(BTagWriterFileStreamInit2(&run.w, g_hNull, OnCrc, nullptr) == ERR_OK);
        run.w.bSwapHeader = bSwap;
    } else {
        uint32_t units = data[1] | (static_cast<uint32_t>(data[2]) << 8);
        Check(BTagWriterInit2(&run.w, g_abyBuffers[0], 20 + 4 * units, bSwap) == ERR_OK);
    }
    Check(BTagWriterStartService(&run.w, 0x01020304, BTAG_HEADER_TAG_SERVICE, 0x00070009, 0x0102) == ERR_OK);

    for (uint32_t steps = 0; in.More() && steps < 256; ++steps) {
        switch (in.Byte() % 12) {
            case 0:
                run.Start(in);
                break;
            case 1:
                run.End(in);
                break;
            case 2:
            case 3:
            case 11: {
                static const int s_kinds[12] = {0, 0, 2, 3, 0, 0, 0, 0, 0, 0, 0, 11};
                run.Append(in, s_kinds[data[in.pos - 1] % 12]);
                break;
            }
            case 4:
                run.Fill(in.Byte());
                break;
            case 5: {
                uint8_t by = in.Byte();
                uint32_t n = in.Byte();
                n |= static_cast<uint32_t>(in.Byte()) << 8;
                n |= static_cast<uint32_t>(in.Byte() & 1) << 16;
                run.Dummy(by, n);
                break;
            }
            case 6:
                run.Raw(in.Byte());
                break;
            case 7:
                run.Save();
                break;
            case 8:
                run.Restore(in.Byte());
                break;
            case 9: {
                uint32_t units = in.Byte();
                units |= static_cast<uint32_t>(in.Byte()) << 8;
                run.Switch(units);
                break;
            }
            default:
                run.FillAvailable();
                break;
        }
    }

    // Close what is open, then finish and decode.
    while (!run.m.open.empty() && !run.m.overflow) {
        if (run.TopIsData()) {
            run.Fill(0);
        }
        if (run.w.ulPos % 4 != 0) {
            break;
        }
        uint32_t id = run.m.open.back();
        Check(BTagWriterEndTag(&run.w, id) == ERR_OK);
        run.m.events.push_back({1, id, 0, 0, 0, 0});
        run.m.open.pop_back();
    }
    RTS_UI8* pdu = nullptr;
    RTS_UI32 pduSize = 0;
    RTS_RESULT r = BTagWriterFinishService(&run.w, &pdu, &pduSize);
    if (run.m.overflow) {
        Check(r == ERR_BTAG_BUFFER_OVERFLOW);
    } else {
        Check(r == ERR_OK && pduSize == run.w.ulPos + 20);
        HEADER_TAG_EXT h;
        memcpy(&h, pdu, sizeof(h));
        BTagSwapHeader(&h, bSwap);
        Check(h.usHeaderTag == BTAG_HEADER_TAG_SERVICE && h.usHeaderLength == 16 && h.usServiceGroup == 9 &&
              h.usService == 0x0102 && h.ulSessionID == 0x01020304 && h.ulServiceLength == run.w.ulPos &&
              h.usCustomerId == 7 && h.usReserved == 0);
    }
    bool bOpen = !run.m.open.empty();
    RTS_UI8* tags = nullptr;
    RTS_UI32 tagSize = 0;
    g_crcSeen.clear();
    r = BTagWriterFinish(&run.w, &tags, &tagSize);
    if (run.m.overflow) {
        Check(r == ERR_BTAG_BUFFER_OVERFLOW && tagSize == 0);
        return 0;
    }
    if (bOpen) {
        Check(r == ERR_BTAG_TAGS_STILL_OPEN);
        return 0;
    }
    Check(r == ERR_OK);
    if (run.bFile) {
        Check(tags == nullptr && g_crcSeen.size() == tagSize);
        tags = g_crcSeen.data();
    }
    g_pPool = &run.m.pool;
    Check(Decode(tags, 0, tagSize, Expected(run.m)));
    return 0;
}
