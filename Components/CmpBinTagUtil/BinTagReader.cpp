// The binary-tag reader: walks a received body tag by tag without copying it.
// Every id and length is read bounded by the enclosing tag and by the buffer,
// and a tag that does not fit leaves the reader where that tag began, so that
// a caller can stop or skip without ever looking past the body.
#include "BinTagPrivate.h"
#include "SysFile.h"

using namespace bintag;

namespace {

char s_szEmpty[1] = {'\0'};

bool Usable(const BINTAGREADER* r) {
    return r != nullptr && (r->pBuffer != nullptr || r->ulBufferSize == 0) && r->nStackPos >= -1 &&
           r->nStackPos < BTAG_MAX_NESTING;
}

bool IsDataTagId(RTS_UI32 ulTagId) {
    return (ulTagId & 0x80u) == 0;
}

RTS_UI32 ContentEnd(const BTAG_READERTAGINFO& t) {
    return t.ulContentPos + t.ulSize;
}

// Reads one variable-length value starting at *pulPos and ending before ulEnd.
// ulEndResult is what running into ulEnd means (tag end or buffer end).
RTS_RESULT ReadMbui(const BINTAGREADER* r, RTS_UI32* pulPos, RTS_UI32 ulEnd, RTS_RESULT ulEndResult,
                    RTS_UI32* pulValue) {
    RTS_UI64 ullValue = 0;
    RTS_UI32 ulShift = 0;
    RTS_UI32 ulPos = *pulPos;
    for (;;) {
        if (ulPos >= ulEnd) {
            return ulEndResult;
        }
        RTS_UI8 b = r->pBuffer[ulPos++];
        RTS_UI64 ullBits = b & 0x7Fu;
        // Padding groups beyond 32 bits are fine as long as they carry no bits.
        if (ullBits != 0) {
            if (ulShift >= 32 || (ullBits << ulShift) > 0xFFFFFFFFu) {
                return ERR_OVERFLOW;
            }
            ullValue |= ullBits << ulShift;
        }
        if (ulShift < 64) {
            ulShift += 7;
        }
        if ((b & 0x80u) == 0) {
            break;
        }
    }
    *pulPos = ulPos;
    *pulValue = static_cast<RTS_UI32>(ullValue);
    return ERR_OK;
}

void SetType(BTAG_ELEMENT_TYPE* p, BTAG_ELEMENT_TYPE t) {
    if (p != nullptr) {
        *p = t;
    }
}

RTS_RESULT CurrentTag(BINTAGREADER* r, BTAG_READERTAGINFO** ppTag) {
    if (!Usable(r)) {
        return ERR_PARAMETER;
    }
    if (r->nStackPos < 0) {
        return ERR_BTAG_NO_TAG_OPEN;
    }
    *ppTag = &r->tagStack[r->nStackPos];
    return ERR_OK;
}

void SetResult(RTS_RESULT* p, RTS_RESULT v) {
    if (p != nullptr) {
        *p = v;
    }
}

// Steps past the tag just reported by the flat walk: to the end of its
// content, then over its end.
RTS_RESULT StepPastCurrent(BINTAGREADER* r) {
    BTAG_ELEMENT_TYPE et = BTAG_ET_INVALID;
    if (BTagReaderSkipContent(r) != ERR_OK || BTagReaderMoveNext(r, &et) != ERR_OK || et != BTAG_ET_ENDTAG) {
        return ERR_FAILED;
    }
    return ERR_OK;
}

// The flat walk's step: the next child of the top-level parent being walked,
// else the next top-level tag (entering it when it is a parent).
RTS_UI8* FlatNext(BINTAGREADER* r, RTS_UI32* pulToplevelTag, RTS_UI32* pulTag, RTS_UI32* pulSize,
                  RTS_RESULT* pResult) {
    if (!Usable(r)) {
        SetResult(pResult, ERR_PARAMETER);
        return nullptr;
    }
    if (pulToplevelTag == nullptr || pulTag == nullptr) {
        SetResult(pResult, ERR_PARAMETER);
        return nullptr;
    }
    // Every round either reads a tag or closes one, so the body's size bounds it.
    for (;;) {
        BTAG_ELEMENT_TYPE et = BTAG_ET_INVALID;
        if (r->nStackPos > 0) {
            SetResult(pResult, ERR_FAILED);
            return nullptr;
        }
        bool bInParent = r->nStackPos == 0;
        if (BTagReaderMoveNext(r, &et) != ERR_OK || et == BTAG_ET_INVALID) {
            SetResult(pResult, ERR_FAILED);
            return nullptr;
        }
        if (et == BTAG_ET_EOF) {
            SetResult(pResult, ERR_NO_OBJECT);
            return nullptr;
        }
        if (et == BTAG_ET_ENDTAG) {
            continue;  // the parent is exhausted: on to the next top-level tag
        }
        const BTAG_READERTAGINFO& t = r->tagStack[r->nStackPos];
        if (!bInParent && !IsDataTagId(t.ulTagId)) {
            continue;  // entered a top-level parent: report its first child
        }
        *pulToplevelTag = bInParent ? r->tagStack[0].ulTagId : 0xFFFFFFFFu;
        *pulTag = t.ulTagId;
        RTS_UI8* pContent = r->pBuffer + t.ulContentPos;
        if (pulSize != nullptr) {
            *pulSize = t.ulSize;
        }
        if (StepPastCurrent(r) != ERR_OK) {
            SetResult(pResult, ERR_FAILED);
            return nullptr;
        }
        SetResult(pResult, ERR_OK);
        return pContent;
    }
}

}  // namespace

RTS_RESULT BTagReaderInit(BINTAGREADER* pReader, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize) {
    if (pReader == nullptr || (pBuffer == nullptr && ulBufferSize != 0)) {
        return ERR_PARAMETER;
    }
    memset(pReader, 0, sizeof(*pReader));
    pReader->pBuffer = pBuffer;
    pReader->ulBufferSize = ulBufferSize;
    pReader->hFile = RTS_INVALID_HANDLE;
    pReader->nStackPos = -1;
    pReader->iType = BTAG_READER_MEMORY;
    return ERR_OK;
}

RTS_RESULT BTagReaderFileInit(BINTAGREADER* pReader, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize,
                              RTS_HANDLE hFile) {
    if (pReader == nullptr || pBuffer == nullptr || ulBufferSize == 0 || hFile == nullptr ||
        hFile == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    // The platform's files cannot seek, so the body is taken into the scratch
    // space as a whole and read from there like a body in memory.
    RTS_UI32 ulRead = 0;
    while (ulRead < ulBufferSize) {
        RTS_RESULT r = ERR_OK;
        RTS_SIZE n = SysFileRead(hFile, pBuffer + ulRead, ulBufferSize - ulRead, &r);
        if (n == 0 || r != ERR_OK || n > ulBufferSize - ulRead) {
            break;
        }
        ulRead += static_cast<RTS_UI32>(n);
    }
    if (ulRead == ulBufferSize) {
        RTS_UI8 byMore = 0;
        RTS_RESULT r = ERR_OK;
        if (SysFileRead(hFile, &byMore, 1, &r) != 0) {
            return ERR_FAILED;  // larger than the scratch space
        }
    }
    RTS_RESULT r = BTagReaderInit(pReader, pBuffer, ulRead);
    if (r == ERR_OK) {
        pReader->hFile = hFile;
        pReader->iType = BTAG_READER_FILE;
    }
    return r;
}

RTS_RESULT BTagReaderMoveNext(BINTAGREADER* pReader, BTAG_ELEMENT_TYPE* pnElementType) {
    SetType(pnElementType, BTAG_ET_INVALID);
    if (!Usable(pReader)) {
        return ERR_PARAMETER;
    }
    BINTAGREADER* r = pReader;
    RTS_UI32 ulEnd = r->ulBufferSize;
    RTS_RESULT ulEndResult = ERR_BTAG_BUFFER_OVERFLOW;
    if (r->nStackPos >= 0) {
        const BTAG_READERTAGINFO& t = r->tagStack[r->nStackPos];
        if (r->ulPos >= ContentEnd(t)) {
            r->ulPos = ContentEnd(t);
            --r->nStackPos;
            SetType(pnElementType, BTAG_ET_ENDTAG);
            return ERR_OK;
        }
        if (IsDataTagId(t.ulTagId)) {
            return ERR_FAILED;  // a data tag's content holds no tags
        }
        ulEnd = ContentEnd(t);
        ulEndResult = ERR_BTAG_TAG_PAST_END;
    } else if (r->ulPos >= r->ulBufferSize) {
        SetType(pnElementType, BTAG_ET_EOF);
        return ERR_OK;
    }
    if (r->nStackPos + 1 >= BTAG_MAX_NESTING) {
        return ERR_BTAG_NESTING_TOO_DEEP;
    }
    RTS_UI32 ulPos = r->ulPos;
    RTS_UI32 ulTagId = 0;
    RTS_UI32 ulSize = 0;
    RTS_RESULT res = ReadMbui(r, &ulPos, ulEnd, ulEndResult, &ulTagId);
    if (res == ERR_OK) {
        res = ReadMbui(r, &ulPos, ulEnd, ulEndResult, &ulSize);
    }
    if (res == ERR_OK && ulSize > ulEnd - ulPos) {
        res = ulSize > r->ulBufferSize - ulPos ? ERR_BTAG_BUFFER_OVERFLOW : ERR_BTAG_TAG_PAST_END;
    }
    if (res != ERR_OK) {
        return res;  // the position stays where the tag began
    }
    BTAG_READERTAGINFO& t = r->tagStack[++r->nStackPos];
    t.ulTagId = ulTagId;
    t.ulSize = ulSize;
    t.ulContentPos = ulPos;
    // A data tag is passed at once, so that the next step reports its end.
    r->ulPos = IsDataTagId(ulTagId) ? ulPos + ulSize : ulPos;
    SetType(pnElementType, BTAG_ET_STARTTAG);
    return ERR_OK;
}

BTAG_ELEMENT_TYPE BTagReaderPeekNext(BINTAGREADER* pReader) {
    if (!Usable(pReader)) {
        return BTAG_ET_INVALID;
    }
    BINTAGREADER copy = *pReader;
    BTAG_ELEMENT_TYPE et = BTAG_ET_INVALID;
    if (BTagReaderMoveNext(&copy, &et) != ERR_OK) {
        return BTAG_ET_INVALID;
    }
    return et;
}

RTS_RESULT BTagReaderSkipContent(BINTAGREADER* pReader) {
    BTAG_READERTAGINFO* t = nullptr;
    RTS_RESULT r = CurrentTag(pReader, &t);
    if (r != ERR_OK) {
        return r;
    }
    pReader->ulPos = ContentEnd(*t);
    return ERR_OK;
}

RTS_RESULT BTagReaderGetTagId(BINTAGREADER* pReader, RTS_UI32* pulTagId) {
    BTAG_READERTAGINFO* t = nullptr;
    RTS_RESULT r = pulTagId != nullptr ? CurrentTag(pReader, &t) : ERR_PARAMETER;
    if (r == ERR_OK) {
        *pulTagId = t->ulTagId;
    }
    return r;
}

RTS_RESULT BTagReaderGetTagLen(BINTAGREADER* pReader, RTS_UI32* pulSize) {
    BTAG_READERTAGINFO* t = nullptr;
    RTS_RESULT r = pulSize != nullptr ? CurrentTag(pReader, &t) : ERR_PARAMETER;
    if (r == ERR_OK) {
        *pulSize = t->ulSize;
    }
    return r;
}

RTS_RESULT BTagReaderIsDataTag(BINTAGREADER* pReader, RTS_BOOL* pbIsDataTag) {
    BTAG_READERTAGINFO* t = nullptr;
    RTS_RESULT r = pbIsDataTag != nullptr ? CurrentTag(pReader, &t) : ERR_PARAMETER;
    if (r == ERR_OK) {
        *pbIsDataTag = IsDataTagId(t->ulTagId) ? 1 : 0;
    }
    return r;
}

RTS_RESULT BTagReaderGetContent(BINTAGREADER* pReader, RTS_UI8** ppBuffer, RTS_UI32* pulSize) {
    BTAG_READERTAGINFO* t = nullptr;
    RTS_RESULT r = ppBuffer != nullptr && pulSize != nullptr ? CurrentTag(pReader, &t) : ERR_PARAMETER;
    if (r != ERR_OK) {
        return r;
    }
    if (!IsDataTagId(t->ulTagId)) {
        return ERR_BTAG_NOT_A_DATA_TAG;
    }
    *ppBuffer = pReader->pBuffer + t->ulContentPos;
    *pulSize = t->ulSize;
    return ERR_OK;
}

RTS_RESULT BTagReaderGetComplexContent(BINTAGREADER* pReader, RTS_UI8** ppBuffer, RTS_UI32* pulSize) {
    BTAG_READERTAGINFO* t = nullptr;
    RTS_RESULT r = ppBuffer != nullptr && pulSize != nullptr ? CurrentTag(pReader, &t) : ERR_PARAMETER;
    if (r != ERR_OK) {
        return r;
    }
    *ppBuffer = pReader->pBuffer + t->ulContentPos;
    *pulSize = t->ulSize;
    return ERR_OK;
}

RTS_RESULT BTagReaderGetString(BINTAGREADER* pReader, char** ppString, RTS_UI32* pulSize,
                               RTS_BOOL bAddEndOfString) {
    if (ppString == nullptr || pulSize == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    RTS_RESULT r = BTagReaderGetContent(pReader, &p, &n);
    if (r != ERR_OK) {
        return r;
    }
    if (n == 0) {
        *ppString = s_szEmpty;
        *pulSize = bAddEndOfString ? 1 : 0;
        return ERR_OK;
    }
    const void* pZero = memchr(p, 0, n);
    if (pZero != nullptr) {
        n = static_cast<RTS_UI32>(static_cast<const RTS_UI8*>(pZero) - p) + 1;
    } else if (bAddEndOfString) {
        p[n - 1] = 0;  // the content has no room behind it: its last byte gives way
    }
    *ppString = reinterpret_cast<char*>(p);
    *pulSize = n;
    return ERR_OK;
}

RTS_RESULT BTagReaderCreateSavepoint(BINTAGREADER* pReader, BINTAGREADERSAVEPOINT* pSavepoint) {
    if (!Usable(pReader) || pSavepoint == nullptr) {
        return ERR_PARAMETER;
    }
    pSavepoint->ulPos = pReader->ulPos;
    memcpy(pSavepoint->tagStack, pReader->tagStack, sizeof(pSavepoint->tagStack));
    pSavepoint->nStackPos = pReader->nStackPos;
    return ERR_OK;
}

RTS_RESULT BTagReaderRestoreSavepoint(BINTAGREADER* pReader, const BINTAGREADERSAVEPOINT* pSavepoint) {
    if (!Usable(pReader) || pSavepoint == nullptr) {
        return ERR_PARAMETER;
    }
    const BINTAGREADERSAVEPOINT& sp = *pSavepoint;
    if (sp.ulPos > pReader->ulPos || sp.nStackPos < -1 || sp.nStackPos >= BTAG_MAX_NESTING) {
        return ERR_PARAMETER;
    }
    // A save point of another reader or body must not lead outside this one.
    for (RTS_I32 i = 0; i <= sp.nStackPos; ++i) {
        const BTAG_READERTAGINFO& t = sp.tagStack[i];
        if (t.ulContentPos > pReader->ulBufferSize || t.ulSize > pReader->ulBufferSize - t.ulContentPos) {
            return ERR_PARAMETER;
        }
    }
    pReader->ulPos = sp.ulPos;
    memcpy(pReader->tagStack, sp.tagStack, sizeof(sp.tagStack));
    pReader->nStackPos = sp.nStackPos;
    return ERR_OK;
}

RTS_UI8* BTagReaderGetFirstTag(BINTAGREADER* pReader, RTS_UI32* pulToplevelTag, RTS_UI32* pulTag,
                               RTS_UI32* pulSize, RTS_RESULT* pResult) {
    if (Usable(pReader) && pulToplevelTag != nullptr && pulTag != nullptr) {
        pReader->ulPos = 0;
        pReader->nStackPos = -1;
    }
    return FlatNext(pReader, pulToplevelTag, pulTag, pulSize, pResult);
}

RTS_UI8* BTagReaderGetNextTag(BINTAGREADER* pReader, RTS_UI32* pulToplevelTag, RTS_UI32* pulTag,
                              RTS_UI32* pulSize, RTS_RESULT* pResult) {
    return FlatNext(pReader, pulToplevelTag, pulTag, pulSize, pResult);
}
