// Fuzz target of the binary-tag reader and the reply check. The input is read
// three ways: as a body, stepped through and compared with a separate decoder
// of the format, then walked again with random save points, skips, strings
// and peeks; through the flat walk; and as a whole reply PDU whose header is
// checked and whose tags are walked with the bounded content readers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BinTagService.h"

namespace {

// Harness code needs no coverage feedback of its own: only the reader's counts.
#define KL_HARNESS __attribute__((no_sanitize("coverage")))

KL_HARNESS void Check(bool b) {
    if (!b) {
        abort();
    }
}

// --- a separate decoder: what a plain walk must report ----------------------------
struct Event {
    int type;  // 0 start, 1 end, 2 eof, -1 failure
    uint32_t a;
    uint32_t b;
};

// Reads a variable-length value; 0 on success, else the failure's code.
KL_HARNESS int32_t RefMbui(const uint8_t* p, uint32_t& pos, uint32_t end, int32_t endCode, uint32_t& value) {
    uint64_t v = 0;
    for (uint32_t i = 0;; ++i) {
        if (pos >= end) {
            return endCode;
        }
        uint8_t b = p[pos++];
        uint64_t bits = b & 0x7F;
        if (bits != 0) {
            if (i >= 5 || (bits << (7 * i)) > 0xFFFFFFFFull) {
                return ERR_OVERFLOW;
            }
            v |= bits << (7 * i);
        }
        if ((b & 0x80) == 0) {
            break;
        }
    }
    value = static_cast<uint32_t>(v);
    return 0;
}

std::vector<Event> g_ref, g_got;

KL_HARNESS void RefWalk(const uint8_t* p, uint32_t n, std::vector<Event>& out) {
    out.clear();
    struct Open {
        uint32_t id, end;
    };
    Open open[BTAG_MAX_NESTING];
    uint32_t nOpen = 0;
    uint32_t pos = 0;
    for (;;) {
        uint32_t end = nOpen == 0 ? n : open[nOpen - 1].end;
        if (nOpen != 0 && pos >= end) {
            out.push_back({1, open[nOpen - 1].id, 0});
            --nOpen;
            continue;
        }
        if (nOpen == 0 && pos >= n) {
            out.push_back({2, 0, 0});
            return;
        }
        if (nOpen >= BTAG_MAX_NESTING) {
            out.push_back({-1, ERR_BTAG_NESTING_TOO_DEEP, pos});
            return;
        }
        int32_t endCode = nOpen == 0 ? ERR_BTAG_BUFFER_OVERFLOW : ERR_BTAG_TAG_PAST_END;
        uint32_t at = pos, id = 0, len = 0;
        int32_t r = RefMbui(p, at, end, endCode, id);
        if (r == 0) {
            r = RefMbui(p, at, end, endCode, len);
        }
        if (r == 0 && len > end - at) {
            r = len > n - at ? ERR_BTAG_BUFFER_OVERFLOW : ERR_BTAG_TAG_PAST_END;
        }
        if (r != 0) {
            out.push_back({-1, static_cast<uint32_t>(r), pos});
            return;
        }
        out.push_back({0, id, len});
        open[nOpen++] = {id, at + len};
        pos = (id & 0x80) ? at : at + len;
    }
}

KL_HARNESS void ReaderWalk(uint8_t* p, uint32_t n, std::vector<Event>& out) {
    out.clear();
    BINTAGREADER r;
    Check(BTagReaderInit(&r, p, n) == ERR_OK);
    for (;;) {
        uint32_t before = r.ulPos;
        BTAG_ELEMENT_TYPE et;
        RTS_RESULT res = BTagReaderMoveNext(&r, &et);
        if (res != ERR_OK) {
            Check(et == BTAG_ET_INVALID && r.ulPos == before);
            out.push_back({-1, static_cast<uint32_t>(res), r.ulPos});
            return;
        }
        Check(r.ulPos <= n);
        if (et == BTAG_ET_EOF) {
            out.push_back({2, 0, 0});
            return;
        }
        if (et == BTAG_ET_ENDTAG) {
            out.push_back({1, 0, 0});
            continue;
        }
        const BTAG_READERTAGINFO& t = r.tagStack[r.nStackPos];
        Check(t.ulContentPos <= n && t.ulSize <= n - t.ulContentPos);
        out.push_back({0, t.ulTagId, t.ulSize});
    }
}

KL_HARNESS bool SameWalk(const std::vector<Event>& a, const std::vector<Event>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || (a[i].type != 1 && (a[i].a != b[i].a || a[i].b != b[i].b))) {
            return false;
        }
    }
    return true;
}

// --- random use of the reader ---------------------------------------------------------------
KL_HARNESS uint32_t Next(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

KL_HARNESS void CheckInside(const uint8_t* base, uint32_t n, const void* p, uint32_t size) {
    const uint8_t* q = static_cast<const uint8_t*>(p);
    Check(q >= base && static_cast<size_t>(q - base) <= n && size <= n - static_cast<uint32_t>(q - base));
}

KL_HARNESS void RandomUse(uint8_t* p, uint32_t n, uint32_t seed) {
    BINTAGREADER r;
    BTagReaderInit(&r, p, n);
    BINTAGREADERSAVEPOINT saves[4];
    int nSaves = 0;
    uint32_t s = seed | 1;
    // Enough steps to reach every tag of small bodies and to come back through
    // save points; bounded so that large inputs stay cheap.
    uint32_t steps = (n < 32 ? 2 * n : 64) + 16;
    for (uint32_t i = 0; i < steps; ++i) {
        switch (Next(s) % 7) {
            case 0: {
                BTAG_ELEMENT_TYPE et;
                BTagReaderMoveNext(&r, &et);
                break;
            }
            case 2:
                BTagReaderSkipContent(&r);
                break;
            case 3: {
                char* psz = nullptr;
                RTS_UI32 size = 0;
                RTS_BOOL bEnd = Next(s) & 1;
                if (BTagReaderGetString(&r, &psz, &size, bEnd) == ERR_OK) {
                    RTS_UI32 len = 0;
                    BTagReaderGetTagLen(&r, &len);
                    if (len != 0) {
                        CheckInside(p, n, psz, size);
                        Check(size <= len);
                    }
                    Check(!bEnd || (size >= 1 && psz[size - 1] == 0));
                }
                break;
            }
            case 4: {
                RTS_UI8* c = nullptr;
                RTS_UI32 size = 0;
                if (BTagReaderGetComplexContent(&r, &c, &size) == ERR_OK) {
                    CheckInside(p, n, c, size);
                }
                break;
            }
            case 5:
                if (nSaves < 4) {
                    BTagReaderCreateSavepoint(&r, &saves[nSaves++]);
                }
                break;
            case 6:
                if (nSaves > 0) {
                    int k = static_cast<int>(Next(s) % static_cast<uint32_t>(nSaves));
                    RTS_RESULT res = BTagReaderRestoreSavepoint(&r, &saves[k]);
                    Check(res == ERR_OK || saves[k].ulPos > r.ulPos);
                    if (res == ERR_OK) {
                        nSaves = k + 1;
                    }
                }
                break;
            default: {
                // A peek tells what the next step then does.
                BTAG_ELEMENT_TYPE peek = BTagReaderPeekNext(&r);
                BTAG_ELEMENT_TYPE et;
                RTS_RESULT res = BTagReaderMoveNext(&r, &et);
                Check(peek == (res == ERR_OK ? et : BTAG_ET_INVALID));
                break;
            }
        }
        Check(r.ulPos <= n && r.nStackPos >= -1 && r.nStackPos < BTAG_MAX_NESTING);
    }
}

KL_HARNESS void FlatWalk(uint8_t* p, uint32_t n) {
    BINTAGREADER r;
    BTagReaderInit(&r, p, n);
    RTS_UI32 top = 0, tag = 0, size = 0;
    RTS_RESULT res = ERR_FAILED;
    RTS_UI8* c = BTagReaderGetFirstTag(&r, &top, &tag, &size, &res);
    // Each reported tag takes at least 2 bytes of the body.
    for (uint32_t i = 0; res == ERR_OK; ++i) {
        Check(i <= n / 2);
        CheckInside(p, n, c, size);
        Check(top == 0xFFFFFFFFu || (top & 0x80) != 0);
        c = BTagReaderGetNextTag(&r, &top, &tag, &size, &res);
    }
    Check(res == ERR_NO_OBJECT || res == ERR_FAILED);
}

// --- the reply check and the content readers ------------------------------------------------
struct WalkContext {
    RTS_BOOL bSwap;
    const uint8_t* base;
    uint32_t n;
    int depth;
};

KL_HARNESS RTS_RESULT OnTag(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pv) {
    auto* ctx = static_cast<WalkContext*>(pv);
    if ((ulTagId & 0x80) != 0) {
        ++ctx->depth;
        RTS_RESULT r = BTagServiceWalkTags(pReader, OnTag, pv);
        --ctx->depth;
        return r == ERR_OK || ulTagId % 3 != 0 ? ERR_OK : r;
    }
    RTS_UI16 us;
    RTS_UI32 ul;
    BTagReaderGetUI16(pReader, ctx->bSwap, &us);
    BTagReaderGetUI32(pReader, ctx->bSwap, &ul);
    BTAG_CONTENT_CURSOR c;
    if (BTagReaderGetCursor(pReader, ctx->bSwap, &c) != ERR_OK) {
        return ERR_OK;
    }
    // Read the content as the services do: numbers, counted items, strings.
    for (uint32_t i = 0; i < 64 && BTagCursorRemaining(&c) > 0; ++i) {
        uint32_t before = c.ulPos;
        RTS_RESULT r = ERR_OK;
        const RTS_UI8* p = nullptr;
        RTS_UI32 count = 0;
        char sz[8];
        switch ((ulTagId + i) % 5) {
            case 0: {
                RTS_UI64 ull;
                r = BTagCursorReadUI64(&c, &ull);
                break;
            }
            case 1:
                r = BTagCursorReadCounted(&c, 2, 8, &count, &p);
                if (r == ERR_OK) {
                    CheckInside(ctx->base, ctx->n, p, count * 8);
                }
                break;
            case 2:
                r = BTagCursorReadCountedString(&c, 4, sz, sizeof(sz));
                Check(r != ERR_OK || strlen(sz) < sizeof(sz));
                break;
            case 3:
                r = BTagCursorReadBytes(&c, 3, &p);
                break;
            default: {
                RTS_UI8 by;
                r = BTagCursorReadUI8(&c, &by);
                break;
            }
        }
        Check(c.ulPos <= c.ulSize);
        if (r != ERR_OK && r != ERR_BUFFERSIZE) {
            Check(false);
        }
        if (r != ERR_OK && c.ulPos != before) {
            Check(r == ERR_BUFFERSIZE);  // only a cut string moves on after a failure
        }
        if (r != ERR_OK && c.ulPos == before) {
            break;
        }
    }
    return ERR_OK;
}

KL_HARNESS void Reply(uint8_t* p, uint32_t n) {
    RTS_BOOL bSwap = n > 0 && (p[0] & 1) != 0;
    uint16_t usGroup = 0, usService = 0;
    if (n >= 8) {
        // Ask for what the header says, so that most inputs are accepted.
        memcpy(&usGroup, p + 4, 2);
        memcpy(&usService, p + 6, 2);
        if (bSwap) {
            usGroup = static_cast<uint16_t>((usGroup >> 8) | (usGroup << 8));
            usService = static_cast<uint16_t>((usService >> 8) | (usService << 8));
        }
        usGroup = static_cast<uint16_t>(usGroup & ~BTAG_REPLY_GROUP_FLAG);
    }
    HEADER_TAG_EXT h;
    BINTAGREADER r;
    RTS_RESULT res = BTagServiceCheckReply(p, n, bSwap, usGroup, usService, &h, &r);
    if (res != ERR_OK) {
        Check(r.ulBufferSize == 0);
        return;
    }
    Check(n >= 20 && h.usHeaderLength >= 12);
    Check(static_cast<uint64_t>(h.usHeaderLength) + 4 + h.ulServiceLength <= n);
    CheckInside(p, n, r.pBuffer, r.ulBufferSize);
    WalkContext ctx{bSwap, p, n, 0};
    BTagServiceWalkTags(&r, OnTag, &ctx);
}

std::vector<uint8_t> g_copy;

}  // namespace

extern "C" KL_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Bodies of a few hundred bytes already hold every nesting and bound the
    // reader distinguishes; longer inputs are read up to here so that each run
    // stays short.
    if (size > 512) {
        size = 512;
    }
    uint32_t n = static_cast<uint32_t>(size);
    // GetString may write a terminator into the body: work on a copy.
    g_copy.assign(data, data + size);
    uint8_t* p = g_copy.data();
    RefWalk(p, n, g_ref);
    ReaderWalk(p, n, g_got);
    Check(SameWalk(g_ref, g_got));
    uint32_t seed = 2166136261u;
    for (size_t i = 0; i < size && i < 16; ++i) {
        seed = (seed ^ data[i]) * 16777619u;
    }
    RandomUse(p, n, seed);
    g_copy.assign(data, data + size);
    FlatWalk(g_copy.data(), n);
    g_copy.assign(data, data + size);
    Reply(g_copy.data(), n);
    return 0;
}
