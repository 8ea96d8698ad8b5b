// The binary-tag writer: builds a service PDU in place, keeping every open
// tag's length field current on each append and widening a field by 4 bytes
// when its length outgrows it. Memory writers work in the caller's buffer; file
// writers collect the PDU in memory that grows on demand and write it out when
// they finish, so that no length field ever has to be patched inside a file.
#include <atomic>
#include <cstdlib>

#include "BinTagPrivate.h"
#include "SysFile.h"

using namespace bintag;

// --- the file-stream writer's shared buffer --------------------------------------
namespace {

alignas(8) RTS_UI8 s_abyInitialBuffer[BTAG_FILESTREAM_BUFFER_SIZE];
std::atomic_flag s_bSharedInUse = ATOMIC_FLAG_INIT;
// Changed only by the holder of s_bSharedInUse.
RTS_UI8* s_pShared = s_abyInitialBuffer;
RTS_UI32 s_ulSharedSize = BTAG_FILESTREAM_BUFFER_SIZE;
std::atomic<bool> s_bSharedDynamic{false};

}  // namespace

namespace bintag {

RTS_RESULT SharedBufferAcquire(RTS_UI8** ppBuffer, RTS_UI32* pulSize) {
    if (s_bSharedInUse.test_and_set(std::memory_order_acquire)) {
        return ERR_NOMEMORY;
    }
    if (s_pShared == nullptr) {
        s_bSharedInUse.clear(std::memory_order_release);
        return ERR_NOMEMORY;
    }
    *ppBuffer = s_pShared;
    *pulSize = s_ulSharedSize;
    return ERR_OK;
}

RTS_RESULT SharedBufferEnlarge(RTS_UI32 ulUsed, RTS_UI32 ulNewSize, RTS_UI8** ppBuffer) {
    RTS_UI8* pNew = nullptr;
    if (!s_bSharedDynamic.load()) {
        // The initial buffer is static: the first enlargement moves to the heap.
        pNew = static_cast<RTS_UI8*>(malloc(ulNewSize));
        if (pNew != nullptr) {
            memcpy(pNew, s_pShared, ulUsed);
        }
    } else {
        pNew = static_cast<RTS_UI8*>(realloc(s_pShared, ulNewSize));
    }
    if (pNew == nullptr) {
        return ERR_NOMEMORY;
    }
    s_pShared = pNew;
    s_ulSharedSize = ulNewSize;
    s_bSharedDynamic = true;
    *ppBuffer = pNew;
    return ERR_OK;
}

void SharedBufferRelease(void) {
    s_bSharedInUse.clear(std::memory_order_release);
}

void SharedBufferShutdown(void) {
    if (s_bSharedInUse.test_and_set(std::memory_order_acquire)) {
        return;  // a writer still holds it; it stays until the next shutdown
    }
    if (s_bSharedDynamic.load()) {
        free(s_pShared);
        s_pShared = s_abyInitialBuffer;
        s_ulSharedSize = BTAG_FILESTREAM_BUFFER_SIZE;
        s_bSharedDynamic = false;
    }
    s_bSharedInUse.clear(std::memory_order_release);
}

bool SharedBufferIsEnlarged(void) {
    return s_bSharedDynamic.load();
}

}  // namespace bintag

// --- writer internals ----------------------------------------------------------------
namespace {

// A file writer's private memory starts at this size and grows like the shared buffer.
constexpr RTS_UI32 kFileWriterInitialSize = 4096;
// Fill bytes are appended one at a time; every one advances the position, and
// at most one widening per open tag can shift it, so this bounds the loop.
constexpr RTS_UI32 kFillExtraRounds = 4 * BTAG_MAX_NESTING + 4;

bool Usable(const BINTAGWRITER* w) {
    return w != nullptr && w->pBuffer != nullptr && w->iType >= BTAG_WRITER_MEMORY &&
           w->iType <= BTAG_WRITER_FILESTREAM && w->nStackPos >= -1 && w->nStackPos < BTAG_WRITER_MAX_OPEN;
}

RTS_UI8* Base(const BINTAGWRITER* w) {
    return w->pBuffer - BTAG_HEADER_SIZE;
}

bool IsFileWriter(const BINTAGWRITER* w) {
    return w->iType != BTAG_WRITER_MEMORY;
}

void ClearWriter(BINTAGWRITER* w) {
    memset(w, 0, sizeof(*w));
    w->hFile = RTS_INVALID_HANDLE;
    w->nStackPos = -1;
}

// Bytes the buffer must still take to grow every open tag by n. The innermost
// tag is looked at first because its widening adds 4 to what every enclosing
// tag grows by, which may push an outer field over its bound as well.
RTS_UI64 GrowthNeeded(const BINTAGWRITER* w, RTS_UI32 n) {
    RTS_UI64 ullAdd = n;
    for (RTS_I32 i = w->nStackPos; i >= 0; --i) {
        const BTAG_WRITERTAGINFO& t = w->tagStack[i];
        if (static_cast<RTS_UI64>(t.ulSize) + ullAdd > FieldBound(t.ucSizeLength)) {
            ullAdd += 4;
        }
    }
    return ullAdd;
}

// Bytes that widening takes when all the room is appended: 4 for every open
// tag whose length plus the room exceeds its field. Inner widenings need not
// be counted again for the outer tags: they move bytes of the room into them.
RTS_UI64 WideningBytes(const BINTAGWRITER* w, RTS_UI64 ullRoom) {
    RTS_UI64 ullWiden = 0;
    for (RTS_I32 i = 0; i <= w->nStackPos; ++i) {
        const BTAG_WRITERTAGINFO& t = w->tagStack[i];
        if (static_cast<RTS_UI64>(t.ulSize) + ullRoom > FieldBound(t.ucSizeLength)) {
            ullWiden += 4;
        }
    }
    return ullWiden;
}

// Makes room for ullNeeded more bytes behind ulPos: a memory writer overflows
// (sticky), a file writer enlarges its memory.
RTS_RESULT EnsureRoom(BINTAGWRITER* w, RTS_UI64 ullNeeded) {
    if (static_cast<RTS_UI64>(w->ulPos) + ullNeeded <= w->ulBufferSize) {
        return ERR_OK;
    }
    if (w->iType == BTAG_WRITER_MEMORY) {
        w->bBufferOverflow = 1;
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    RTS_UI64 ullArea = static_cast<RTS_UI64>(w->ulPos) + ullNeeded + BTAG_FILESTREAM_GROW_SIZE;
    if (ullArea + BTAG_HEADER_SIZE > 0xFFFFFFFFu) {
        w->bBufferOverflow = 1;
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    RTS_UI32 ulUsed = BTAG_HEADER_SIZE + w->ulPos;
    RTS_UI32 ulTotal = static_cast<RTS_UI32>(ullArea) + BTAG_HEADER_SIZE;
    RTS_UI8* pNew = nullptr;
    if (w->iType == BTAG_WRITER_FILESTREAM) {
        if (SharedBufferEnlarge(ulUsed, ulTotal, &pNew) != ERR_OK) {
            pNew = nullptr;
        }
    } else {
        pNew = static_cast<RTS_UI8*>(realloc(Base(w), ulTotal));
    }
    if (pNew == nullptr) {
        w->bBufferOverflow = 1;
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    w->pBuffer = pNew + BTAG_HEADER_SIZE;
    w->ulBufferSize = static_cast<RTS_UI32>(ullArea);
    return ERR_OK;
}

// Moves everything behind the length field of tag i up by 4 bytes and widens
// the field; deeper fields move along. The caller has made room.
void WidenField(BINTAGWRITER* w, RTS_I32 i) {
    BTAG_WRITERTAGINFO& t = w->tagStack[i];
    RTS_UI32 ulFieldEnd = t.ulSizePos + t.ucSizeLength;
    memmove(w->pBuffer + ulFieldEnd + 4, w->pBuffer + ulFieldEnd, w->ulPos - ulFieldEnd);
    w->ulPos += 4;
    t.ucSizeLength = static_cast<RTS_UI8>(t.ucSizeLength + 4);
    for (RTS_I32 j = i + 1; j <= w->nStackPos; ++j) {
        w->tagStack[j].ulSizePos += 4;
    }
}

// Adds n to every open tag, innermost first, widening fields as needed. Room
// for GrowthNeeded(n) bytes must have been made.
void Grow(BINTAGWRITER* w, RTS_UI32 n) {
    RTS_UI32 ulAdd = n;
    for (RTS_I32 i = w->nStackPos; i >= 0; --i) {
        BTAG_WRITERTAGINFO& t = w->tagStack[i];
        t.ulSize += ulAdd;
        if (t.ulSize > FieldBound(t.ucSizeLength)) {
            WidenField(w, i);
            ulAdd += 4;
        }
        WriteMbui(w->pBuffer + t.ulSizePos, t.ucSizeLength, t.ulSize);
    }
}

// Appends n content bytes to the innermost (data) tag: copied from pSrc, or
// set to byFill, or, with ppAt, zeroed and handed out.
RTS_RESULT Append(BINTAGWRITER* w, const void* pSrc, RTS_UI8 byFill, RTS_UI32 n, RTS_UI8** ppAt) {
    if (w->bBufferOverflow) {
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    if (w->nStackPos < 0 || !w->tagStack[w->nStackPos].bIsDataTag) {
        return ERR_BTAG_NOT_A_DATA_TAG;
    }
    RTS_RESULT r = EnsureRoom(w, GrowthNeeded(w, n));
    if (r != ERR_OK) {
        return r;
    }
    Grow(w, n);
    RTS_UI8* p = w->pBuffer + w->ulPos;
    if (n > 0) {
        if (pSrc != nullptr) {
            memcpy(p, pSrc, n);
        } else {
            memset(p, ppAt != nullptr ? 0 : byFill, n);
        }
    }
    if (ppAt != nullptr) {
        *ppAt = p;
    }
    w->ulPos += n;
    return ERR_OK;
}

void Save(const BINTAGWRITER* w, BINTAGSAVEPOINT* sp) {
    sp->ulPos = w->ulPos;
    memcpy(sp->tagStack, w->tagStack, sizeof(sp->tagStack));
    sp->nStackPos = w->nStackPos;
    sp->bBufferOverflow = w->bBufferOverflow;
}

RTS_RESULT InitFileWriter(BINTAGWRITER* w, RTS_HANDLE hFile, RTS_I32 iType) {
    ClearWriter(w);
    RTS_UI8* pBase = nullptr;
    RTS_UI32 ulSize = 0;
    if (iType == BTAG_WRITER_FILESTREAM) {
        RTS_RESULT r = SharedBufferAcquire(&pBase, &ulSize);
        if (r != ERR_OK) {
            return r;
        }
    } else {
        pBase = static_cast<RTS_UI8*>(malloc(kFileWriterInitialSize));
        if (pBase == nullptr) {
            return ERR_NOMEMORY;
        }
        ulSize = kFileWriterInitialSize;
    }
    w->pBuffer = pBase + BTAG_HEADER_SIZE;
    w->ulBufferSize = ulSize - BTAG_HEADER_SIZE;
    w->hFile = hFile;
    w->iType = iType;
    return ERR_OK;
}

bool ValidFile(RTS_HANDLE hFile) {
    return hFile != nullptr && hFile != RTS_INVALID_HANDLE;
}

bool WriteAll(RTS_HANDLE hFile, const RTS_UI8* p, RTS_UI32 n) {
    if (n == 0) {
        return true;
    }
    RTS_RESULT r = ERR_OK;
    return SysFileWrite(hFile, p, n, &r) == n && r == ERR_OK;
}

}  // namespace

// --- exported functions ------------------------------------------------------------------
RTS_RESULT BTagWriterInit(BINTAGWRITER* pWriter, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize) {
    return BTagWriterInit2(pWriter, pBuffer, ulBufferSize, 0);
}

RTS_RESULT BTagWriterInit2(BINTAGWRITER* pWriter, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize,
                           RTS_BOOL bSwapHeader) {
    if (pWriter == nullptr || pBuffer == nullptr || ulBufferSize == 0) {
        return ERR_PARAMETER;
    }
    if ((reinterpret_cast<RTS_UINTPTR>(pBuffer) & 3u) != 0) {
        return ERR_BTAG_ALIGNMENT;
    }
    // The header is kept in front of the tag area; a smaller buffer has no tag area.
    if (ulBufferSize < BTAG_HEADER_SIZE) {
        return ERR_PARAMETER;
    }
    ClearWriter(pWriter);
    pWriter->pBuffer = pBuffer + BTAG_HEADER_SIZE;
    pWriter->ulBufferSize = ulBufferSize - BTAG_HEADER_SIZE;
    pWriter->iType = BTAG_WRITER_MEMORY;
    pWriter->bSwapHeader = bSwapHeader != 0 ? 1 : 0;
    return ERR_OK;
}

RTS_RESULT BTagWriterFileInit(BINTAGWRITER* pWriter, RTS_HANDLE hFile) {
    if (pWriter == nullptr || !ValidFile(hFile)) {
        return ERR_PARAMETER;
    }
    return InitFileWriter(pWriter, hFile, BTAG_WRITER_FILE);
}

RTS_RESULT BTagWriterFileInit2(BINTAGWRITER* pWriter, const char* pszFileName) {
    if (pWriter == nullptr || pszFileName == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hFile = SysFileOpen(pszFileName, AM_WRITE, &r);
    if (!ValidFile(hFile) || r != ERR_OK) {
        return ERR_FAILED;
    }
    r = InitFileWriter(pWriter, hFile, BTAG_WRITER_FILE);
    if (r != ERR_OK) {
        SysFileClose(hFile);
        return r;
    }
    pWriter->bCloseFile = 1;
    return ERR_OK;
}

RTS_RESULT BTagWriterFileStreamInit(BINTAGWRITER* pWriter, RTS_HANDLE hFile) {
    return BTagWriterFileStreamInit2(pWriter, hFile, nullptr, nullptr);
}

RTS_RESULT BTagWriterFileStreamInit2(BINTAGWRITER* pWriter, RTS_HANDLE hFile, PFBTAGUPDATECRC pfUpdateCRC,
                                     void* pParameterUpdateCRC) {
    if (pWriter == nullptr || !ValidFile(hFile)) {
        return ERR_PARAMETER;
    }
    RTS_RESULT r = InitFileWriter(pWriter, hFile, BTAG_WRITER_FILESTREAM);
    if (r != ERR_OK) {
        return r;
    }
    pWriter->pfUpdateCRC = pfUpdateCRC;
    pWriter->pParameterUpdateCRC = pParameterUpdateCRC;
    return ERR_OK;
}

RTS_RESULT BTagWriterStartService(BINTAGWRITER* pWriter, RTS_UI32 ulSessionID, RTS_UI16 usHeaderTag,
                                  RTS_UI32 ulServiceGroup, RTS_UI16 usService) {
    if (!Usable(pWriter)) {
        return ERR_PARAMETER;
    }
    if (pWriter->bBufferOverflow) {
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    HEADER_TAG_EXT h;
    h.usHeaderTag = usHeaderTag;
    h.usHeaderLength = BTAG_HEADER_LENGTH;
    h.usServiceGroup = static_cast<RTS_UI16>(ulServiceGroup & 0xFFFFu);
    h.usService = usService;
    h.ulSessionID = ulSessionID;
    h.ulServiceLength = 0;
    h.usCustomerId = static_cast<RTS_UI16>(ulServiceGroup >> 16);
    h.usReserved = 0;
    BTagSwapHeader(&h, pWriter->bSwapHeader);
    memcpy(Base(pWriter), &h, sizeof(h));
    pWriter->ulEndServicePos = BTAG_HEADER_SIZE;
    return ERR_OK;
}

RTS_RESULT BTagWriterStartTag(BINTAGWRITER* pWriter, RTS_UI32 ulTagId, BTAG_ALIGNMENT contentAlignment,
                              RTS_UI32 ulMinLengthSize) {
    if (!Usable(pWriter)) {
        return ERR_PARAMETER;
    }
    if (pWriter->bBufferOverflow) {
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    bool bIsDataTag = (ulTagId & 0x80u) == 0;
    RTS_UI32 ulRemainder = contentAlignment.usRemainder;
    // A remainder of 4 or more would place the content outside the tag's own
    // 4-byte grid; parents must keep their children on the grid.
    if (contentAlignment.usModulus != 4 || ulRemainder >= 4 || (!bIsDataTag && ulRemainder % 4 != 0)) {
        return ERR_BTAG_ALIGNMENT;
    }
    // Wider fields than 8 bytes add nothing: 5 bytes already hold any length.
    if (ulMinLengthSize > 8) {
        return ERR_PARAMETER;
    }
    if (pWriter->nStackPos + 1 >= BTAG_WRITER_MAX_OPEN) {
        return ERR_BTAG_NESTING_TOO_DEEP;
    }
    if (pWriter->nStackPos >= 0 && pWriter->tagStack[pWriter->nStackPos].bIsDataTag) {
        return ERR_BTAG_TAG_IN_DATA_TAG;
    }
    RTS_UI32 ulIdBytes = MbuiSize(ulTagId);
    RTS_UI32 h = ulIdBytes + (ulMinLengthSize != 0 ? ulMinLengthSize : 1);
    RTS_UI32 r = h % 4;
    if (r < ulRemainder) {
        h += ulRemainder - r;
    } else if (r > ulRemainder) {
        h += 4 - (r - ulRemainder);
    }
    RTS_RESULT res = EnsureRoom(pWriter, GrowthNeeded(pWriter, h));
    if (res != ERR_OK) {
        return res;
    }
    Grow(pWriter, h);
    RTS_UI8* p = pWriter->pBuffer + pWriter->ulPos;
    WriteMbui(p, ulIdBytes, ulTagId);
    WriteMbui(p + ulIdBytes, h - ulIdBytes, 0);
    BTAG_WRITERTAGINFO& t = pWriter->tagStack[++pWriter->nStackPos];
    t.ulTagId = ulTagId;
    t.ulSizePos = pWriter->ulPos + ulIdBytes;
    t.ulSize = 0;
    t.ucSizeLength = static_cast<RTS_UI8>(h - ulIdBytes);
    t.bIsDataTag = bIsDataTag ? 1 : 0;
    pWriter->ulPos += h;
    return ERR_OK;
}

RTS_RESULT BTagWriterAppendBlob(BINTAGWRITER* pWriter, const void* pBlob, RTS_UI32 ulSize) {
    if (!Usable(pWriter) || (pBlob == nullptr && ulSize != 0)) {
        return ERR_PARAMETER;
    }
    static const RTS_UI8 s_byNone = 0;
    return Append(pWriter, pBlob != nullptr ? pBlob : &s_byNone, 0, ulSize, nullptr);
}

RTS_RESULT BTagWriterAppendString(BINTAGWRITER* pWriter, const char* psz) {
    if (!Usable(pWriter) || psz == nullptr) {
        return ERR_PARAMETER;
    }
    size_t n = strlen(psz) + 1;
    if (n > 0xFFFFFFFFu) {
        return ERR_PARAMETER;
    }
    return Append(pWriter, psz, 0, static_cast<RTS_UI32>(n), nullptr);
}

RTS_RESULT BTagWriterAppendWString(BINTAGWRITER* pWriter, const RTS_WCHAR* pwsz) {
    if (!Usable(pWriter) || pwsz == nullptr) {
        return ERR_PARAMETER;
    }
    size_t n = 0;
    while (pwsz[n] != 0) {
        ++n;
    }
    if ((n + 1) > 0x7FFFFFFFu) {
        return ERR_PARAMETER;
    }
    return Append(pWriter, pwsz, 0, static_cast<RTS_UI32>(2 * (n + 1)), nullptr);
}

RTS_RESULT BTagWriterAppendGUID(BINTAGWRITER* pWriter, const RTS_GUID* pGuid) {
    if (!Usable(pWriter) || pGuid == nullptr) {
        return ERR_PARAMETER;
    }
    return Append(pWriter, pGuid, 0, sizeof(RTS_GUID), nullptr);
}

RTS_RESULT BTagWriterAppendRaw(BINTAGWRITER* pWriter, RTS_UI8** ppBuffer, RTS_UI32 ulSize) {
    if (!Usable(pWriter) || ppBuffer == nullptr) {
        return ERR_PARAMETER;
    }
    if (IsFileWriter(pWriter)) {
        return ERR_NOT_IMPLEMENTED;
    }
    if (pWriter->bBufferOverflow) {
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    if (pWriter->nStackPos < 0 || !pWriter->tagStack[pWriter->nStackPos].bIsDataTag) {
        return ERR_BTAG_NOT_A_DATA_TAG;
    }
    // With enclosing tags, later appends to them would widen their fields and
    // move the reserved bytes after the caller got their address. Widening now,
    // as if the whole available buffer were appended, rules that out; it only
    // uses room that the available count already left out.
    // The widenings must fit as well as the reserved bytes: with less room the
    // plain append below decides.
    RTS_UI64 ullRemaining = pWriter->ulBufferSize - pWriter->ulPos;
    if (pWriter->nStackPos >= 1 && ulSize + WideningBytes(pWriter, ullRemaining) <= ullRemaining) {
        RTS_UI32 ulAdd = 0;
        for (RTS_I32 i = pWriter->nStackPos; i >= 0; --i) {
            BTAG_WRITERTAGINFO& t = pWriter->tagStack[i];
            t.ulSize += ulAdd;
            // An inner widening adds 4 to this length and takes 4 from the
            // room, so length plus room is the same as before it.
            ullRemaining = pWriter->ulBufferSize - pWriter->ulPos;
            if (static_cast<RTS_UI64>(t.ulSize) + ullRemaining > FieldBound(t.ucSizeLength)) {
                WidenField(pWriter, i);
                ulAdd += 4;
            }
            WriteMbui(pWriter->pBuffer + t.ulSizePos, t.ucSizeLength, t.ulSize);
        }
    }
    return Append(pWriter, nullptr, 0, ulSize, ppBuffer);
}

RTS_RESULT BTagWriterAppendFillBytes(BINTAGWRITER* pWriter, RTS_UI8 byFillByte, BTAG_ALIGNMENT alignment) {
    if (!Usable(pWriter)) {
        return ERR_PARAMETER;
    }
    if (pWriter->bBufferOverflow) {
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    // A remainder not below the modulus is never reached: refuse instead of looping.
    if (alignment.usModulus == 0 || alignment.usRemainder >= alignment.usModulus) {
        return ERR_PARAMETER;
    }
    if (pWriter->nStackPos < 0) {
        return ERR_BTAG_NO_TAG_OPEN;
    }
    BINTAGSAVEPOINT sp;
    Save(pWriter, &sp);
    RTS_UI32 ulMaxRounds = alignment.usModulus + kFillExtraRounds;
    for (RTS_UI32 i = 0; pWriter->ulPos % alignment.usModulus != alignment.usRemainder; ++i) {
        RTS_RESULT r = i < ulMaxRounds ? Append(pWriter, nullptr, byFillByte, 1, nullptr) : ERR_FAILED;
        if (r != ERR_OK) {
            BTagWriterRestoreSavepoint(pWriter, &sp);
            return r;
        }
    }
    return ERR_OK;
}

RTS_RESULT BTagWriterAppendDummyBytes(BINTAGWRITER* pWriter, RTS_UI8 byFillByte, RTS_UI32 ulSize) {
    if (!Usable(pWriter)) {
        return ERR_PARAMETER;
    }
    if (pWriter->bBufferOverflow) {
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    if (pWriter->nStackPos < 0) {
        return ERR_BTAG_NO_TAG_OPEN;
    }
    // One append of ulSize bytes ends where ulSize single appends would; a
    // failure returns to the state before, as it would for the single ones.
    BINTAGSAVEPOINT sp;
    Save(pWriter, &sp);
    RTS_RESULT r = Append(pWriter, nullptr, byFillByte, ulSize, nullptr);
    if (r != ERR_OK) {
        BTagWriterRestoreSavepoint(pWriter, &sp);
    }
    return r;
}

RTS_RESULT BTagWriterEndTag(BINTAGWRITER* pWriter, RTS_UI32 ulTagId) {
    if (!Usable(pWriter)) {
        return ERR_PARAMETER;
    }
    if (pWriter->bBufferOverflow) {
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    if (pWriter->nStackPos < 0) {
        return ERR_BTAG_NO_TAG_OPEN;
    }
    if (pWriter->tagStack[pWriter->nStackPos].ulTagId != ulTagId) {
        return ERR_PARAMETER;
    }
    if (pWriter->ulPos % 4 != 0) {
        return ERR_BTAG_ALIGNMENT;
    }
    --pWriter->nStackPos;
    return ERR_OK;
}

RTS_RESULT BTagWriteSingleTag(BINTAGWRITER* pWriter, RTS_UI32 ulTag, BTAG_ALIGNMENT align,
                              RTS_BOOL bFillBytes, const void* pContent, RTS_UI32 ulSize) {
    RTS_RESULT r = BTagWriterStartTag(pWriter, ulTag, align, 0);
    if (r == ERR_OK && ulSize != 0) {
        r = BTagWriterAppendBlob(pWriter, pContent, ulSize);
    }
    if (r == ERR_OK && bFillBytes) {
        r = BTagWriterAppendFillBytes(pWriter, 0, BTAG_ALIGNMENT{4, 0});
    }
    if (r == ERR_OK) {
        r = BTagWriterEndTag(pWriter, ulTag);
    }
    return r;
}

RTS_UI32 BTagWriterGetAvailableBuffer(BINTAGWRITER* pWriter) {
    if (!Usable(pWriter) || pWriter->bBufferOverflow || pWriter->ulPos > pWriter->ulBufferSize) {
        return 0;
    }
    RTS_UI64 ullRemaining = pWriter->ulBufferSize - pWriter->ulPos;
    RTS_UI64 ullWiden = WideningBytes(pWriter, ullRemaining);
    return ullRemaining > ullWiden ? static_cast<RTS_UI32>(ullRemaining - ullWiden) : 0;
}

RTS_RESULT BTagWriterCreateSavepoint(BINTAGWRITER* pWriter, BINTAGSAVEPOINT* pSavepoint) {
    if (!Usable(pWriter) || pSavepoint == nullptr) {
        return ERR_PARAMETER;
    }
    Save(pWriter, pSavepoint);
    return ERR_OK;
}

RTS_RESULT BTagWriterRestoreSavepoint(BINTAGWRITER* pWriter, const BINTAGSAVEPOINT* pSavepoint) {
    if (!Usable(pWriter) || pSavepoint == nullptr) {
        return ERR_PARAMETER;
    }
    const BINTAGSAVEPOINT& sp = *pSavepoint;
    if (sp.nStackPos < -1 || sp.nStackPos >= BTAG_WRITER_MAX_OPEN || pWriter->ulPos < sp.ulPos ||
        sp.ulPos > pWriter->ulBufferSize) {
        return ERR_PARAMETER;
    }
    // Since the save point, only the length fields of the tags open at it can
    // have changed below the saved position: rewritten, and perhaps widened by
    // 4 with everything behind them moved up. Find each field's present width
    // first (outer widenings shift inner fields), and change nothing unless the
    // whole picture is consistent.
    RTS_UI32 aulWidth[BTAG_MAX_NESTING];
    RTS_UI32 ulShift = 0;
    RTS_UI32 ulPrevEnd = 0;
    for (RTS_I32 i = 0; i <= sp.nStackPos; ++i) {
        const BTAG_WRITERTAGINFO& t = sp.tagStack[i];
        if (t.ucSizeLength == 0 || t.ulSizePos < ulPrevEnd ||
            static_cast<RTS_UI64>(t.ulSizePos) + t.ucSizeLength > sp.ulPos) {
            return ERR_PARAMETER;
        }
        ulPrevEnd = t.ulSizePos + t.ucSizeLength;
        RTS_UI64 ullField = static_cast<RTS_UI64>(t.ulSizePos) + ulShift;
        RTS_UI32 w = 0;
        bool bEnded = false;
        while (!bEnded && w < 16 && ullField + w < pWriter->ulPos) {
            bEnded = (pWriter->pBuffer[ullField + w] & 0x80u) == 0;
            ++w;
        }
        if (!bEnded || w < t.ucSizeLength || (w - t.ucSizeLength) % 4 != 0) {
            return ERR_PARAMETER;
        }
        aulWidth[i] = w;
        ulShift += w - t.ucSizeLength;
    }
    if (static_cast<RTS_UI64>(sp.ulPos) + ulShift > pWriter->ulPos) {
        return ERR_PARAMETER;
    }
    // Outermost first: once a field is back to its saved width, the fields
    // inside it are back at their saved positions.
    for (RTS_I32 i = 0; i <= sp.nStackPos; ++i) {
        const BTAG_WRITERTAGINFO& t = sp.tagStack[i];
        RTS_UI32 ulDelta = aulWidth[i] - t.ucSizeLength;
        if (ulDelta != 0) {
            RTS_UI32 ulFrom = t.ulSizePos + aulWidth[i];
            RTS_UI32 ulEnd = sp.ulPos + ulShift;  // end of what survives, as it stands now
            memmove(pWriter->pBuffer + t.ulSizePos + t.ucSizeLength, pWriter->pBuffer + ulFrom,
                    ulEnd - ulFrom);
            ulShift -= ulDelta;
        }
        WriteMbui(pWriter->pBuffer + t.ulSizePos, t.ucSizeLength, t.ulSize);
    }
    pWriter->ulPos = sp.ulPos;
    memcpy(pWriter->tagStack, sp.tagStack, sizeof(sp.tagStack));
    pWriter->nStackPos = sp.nStackPos;
    pWriter->bBufferOverflow = sp.bBufferOverflow;
    return ERR_OK;
}

RTS_RESULT BTagWriterSwitchBuffer(BINTAGWRITER* pWriter, RTS_UI8* pNewBuffer, RTS_UI32 ulNewSize,
                                  RTS_UI8** ppOldBuffer) {
    if (!Usable(pWriter)) {
        return ERR_PARAMETER;
    }
    if (IsFileWriter(pWriter)) {
        return ERR_NOT_IMPLEMENTED;
    }
    if (pNewBuffer == nullptr || ulNewSize == 0) {
        return ERR_PARAMETER;
    }
    if ((reinterpret_cast<RTS_UINTPTR>(pNewBuffer) & 3u) != 0) {
        return ERR_BTAG_ALIGNMENT;
    }
    RTS_UI64 ullUsed = static_cast<RTS_UI64>(BTAG_HEADER_SIZE) + pWriter->ulPos;
    if (ulNewSize < ullUsed) {
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    RTS_UI8* pOld = Base(pWriter);
    memmove(pNewBuffer, pOld, static_cast<size_t>(ullUsed));
    pWriter->pBuffer = pNewBuffer + BTAG_HEADER_SIZE;
    pWriter->ulBufferSize = ulNewSize - BTAG_HEADER_SIZE;
    if (ppOldBuffer != nullptr) {
        *ppOldBuffer = pOld;
    }
    return ERR_OK;
}

RTS_RESULT BTagWriterFinishService(BINTAGWRITER* pWriter, RTS_UI8** ppBuffer, RTS_UI32* pulSize) {
    if (!Usable(pWriter)) {
        return ERR_PARAMETER;
    }
    if (pWriter->bBufferOverflow) {
        if (pulSize != nullptr) {
            *pulSize = 0;
        }
        return ERR_BTAG_BUFFER_OVERFLOW;
    }
    if (pWriter->ulEndServicePos == 0) {
        return ERR_PARAMETER;  // no header was started
    }
    RTS_UI32 ulLength = pWriter->bSwapHeader ? Swap32(pWriter->ulPos) : pWriter->ulPos;
    memcpy(Base(pWriter) + offsetof(HEADER_TAG_EXT, ulServiceLength), &ulLength, sizeof(ulLength));
    if (ppBuffer != nullptr) {
        *ppBuffer = Base(pWriter);
    }
    if (pulSize != nullptr) {
        *pulSize = pWriter->ulPos + BTAG_HEADER_SIZE;
    }
    return ERR_OK;
}

RTS_RESULT BTagWriterFinish(BINTAGWRITER* pWriter, RTS_UI8** ppBuffer, RTS_UI32* pulSize) {
    if (ppBuffer != nullptr) {
        *ppBuffer = nullptr;
    }
    if (pulSize != nullptr) {
        *pulSize = 0;
    }
    if (!Usable(pWriter)) {
        return ERR_PARAMETER;
    }
    RTS_RESULT r = ERR_OK;
    if (pWriter->bBufferOverflow) {
        r = ERR_BTAG_BUFFER_OVERFLOW;
    } else if (pWriter->nStackPos >= 0) {
        r = ERR_BTAG_TAGS_STILL_OPEN;
    }
    if (pWriter->iType == BTAG_WRITER_MEMORY) {
        if (r == ERR_OK) {
            if (ppBuffer != nullptr) {
                *ppBuffer = pWriter->pBuffer;
            }
            if (pulSize != nullptr) {
                *pulSize = pWriter->ulPos;
            }
        }
        ClearWriter(pWriter);
        return r;
    }
    // File writers: the header (when one was started), then the tags.
    if (r == ERR_OK) {
        bool bOk = true;
        if (pWriter->ulEndServicePos != 0) {
            bOk = WriteAll(pWriter->hFile, Base(pWriter), BTAG_HEADER_SIZE);
        }
        bOk = bOk && WriteAll(pWriter->hFile, pWriter->pBuffer, pWriter->ulPos);
        if (bOk && pWriter->pfUpdateCRC != nullptr) {
            pWriter->pfUpdateCRC(pWriter->pBuffer, pWriter->ulPos, pWriter->pParameterUpdateCRC);
        }
        if (bOk) {
            if (pulSize != nullptr) {
                *pulSize = pWriter->ulPos;
            }
        } else {
            r = ERR_FAILED;
        }
    }
    if (pWriter->iType == BTAG_WRITER_FILESTREAM) {
        SharedBufferRelease();
    } else {
        free(Base(pWriter));
    }
    if (pWriter->bCloseFile) {
        SysFileClose(pWriter->hFile);
    }
    ClearWriter(pWriter);
    return r;
}

RTS_RESULT BTagSwapHeader(HEADER_TAG_EXT* pHeader, RTS_BOOL bSwap) {
    if (pHeader == nullptr) {
        return ERR_PARAMETER;
    }
    if (!bSwap) {
        return ERR_OK;
    }
    RTS_UI16 usLengthBefore = pHeader->usHeaderLength;
    pHeader->usHeaderTag = Swap16(pHeader->usHeaderTag);
    pHeader->usHeaderLength = Swap16(pHeader->usHeaderLength);
    pHeader->usServiceGroup = Swap16(pHeader->usServiceGroup);
    pHeader->usService = Swap16(pHeader->usService);
    pHeader->ulSessionID = Swap32(pHeader->ulSessionID);
    pHeader->ulServiceLength = Swap32(pHeader->ulServiceLength);
    // The length decides whether the last two fields exist. A value above 255
    // before swapping is the foreign order of a small number: judge by the
    // swapped value then.
    RTS_UI16 usLength = usLengthBefore <= 255 ? usLengthBefore : pHeader->usHeaderLength;
    if (usLength >= BTAG_HEADER_LENGTH) {
        pHeader->usCustomerId = Swap16(pHeader->usCustomerId);
        pHeader->usReserved = Swap16(pHeader->usReserved);
    }
    return ERR_OK;
}
