// The shared service exchange over the tag writer and reader, the bounded
// content cursor and the continuation progress check (see BinTagService.h).
#include "BinTagService.h"

#include "BinTagPrivate.h"

using namespace bintag;

namespace {

// Header fields are taken one by one in host order; BTagSwapHeader then turns
// them into values when the controller's order differs.
RTS_UI16 Load16(const RTS_UI8* p) {
    RTS_UI16 v;
    memcpy(&v, p, sizeof(v));
    return v;
}
RTS_UI32 Load32(const RTS_UI8* p) {
    RTS_UI32 v;
    memcpy(&v, p, sizeof(v));
    return v;
}

bool CursorOk(const BTAG_CONTENT_CURSOR* c) {
    return c != nullptr && (c->pData != nullptr || c->ulSize == 0) && c->ulPos <= c->ulSize;
}

// Reads n bytes (n <= 8) as one number in the cursor's byte order.
RTS_RESULT ReadNumber(BTAG_CONTENT_CURSOR* c, RTS_UI32 n, RTS_UI64* pullValue) {
    if (!CursorOk(c) || pullValue == nullptr) {
        return ERR_PARAMETER;
    }
    if (c->ulSize - c->ulPos < n) {
        return ERR_BUFFERSIZE;
    }
    const RTS_UI8* p = c->pData + c->ulPos;
    RTS_UI8 ab[8];
    for (RTS_UI32 i = 0; i < n; ++i) {
        ab[i] = c->bSwap ? p[n - 1 - i] : p[i];
    }
    RTS_UI64 v = 0;
    switch (n) {
        case 1:
            v = ab[0];
            break;
        case 2: {
            RTS_UI16 us;
            memcpy(&us, ab, 2);
            v = us;
            break;
        }
        case 4: {
            RTS_UI32 ul;
            memcpy(&ul, ab, 4);
            v = ul;
            break;
        }
        case 8:
            memcpy(&v, ab, 8);
            break;
        default:
            return ERR_PARAMETER;
    }
    c->ulPos += n;
    *pullValue = v;
    return ERR_OK;
}

}  // namespace

RTS_RESULT BTagServiceStart(BINTAGWRITER* pWriter, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize,
                            RTS_BOOL bSwapHeader, RTS_UI32 ulSessionID, RTS_UI16 usServiceGroup,
                            RTS_UI16 usService) {
    RTS_RESULT r = BTagWriterInit2(pWriter, pBuffer, ulBufferSize, bSwapHeader);
    if (r != ERR_OK) {
        return r;
    }
    return BTagWriterStartService(pWriter, ulSessionID, BTAG_HEADER_TAG_SERVICE, usServiceGroup, usService);
}

RTS_RESULT BTagServiceFinish(BINTAGWRITER* pWriter, RTS_UI8** ppPdu, RTS_UI32* pulPduSize) {
    RTS_UI8* pPdu = nullptr;
    RTS_UI32 ulPduSize = 0;
    RTS_RESULT r = BTagWriterFinishService(pWriter, &pPdu, &ulPduSize);
    RTS_RESULT rFinish = BTagWriterFinish(pWriter, nullptr, nullptr);
    if (r == ERR_OK) {
        r = rFinish;
    }
    if (ppPdu != nullptr) {
        *ppPdu = r == ERR_OK ? pPdu : nullptr;
    }
    if (pulPduSize != nullptr) {
        *pulPduSize = r == ERR_OK ? ulPduSize : 0;
    }
    return r;
}

RTS_RESULT BTagServiceCheckReply(RTS_UI8* pPdu, RTS_UI32 ulReceived, RTS_BOOL bSwapHeader,
                                 RTS_UI16 usRequestGroup, RTS_UI16 usRequestService,
                                 HEADER_TAG_EXT* pReplyHeader, BINTAGREADER* pReader) {
    if (pReader == nullptr) {
        return ERR_PARAMETER;
    }
    BTagReaderInit(pReader, nullptr, 0);
    if (pPdu == nullptr || ulReceived < BTAG_HEADER_SIZE) {
        return ERR_BUFFERSIZE;
    }
    HEADER_TAG_EXT h;
    h.usHeaderTag = Load16(pPdu + offsetof(HEADER_TAG_EXT, usHeaderTag));
    h.usHeaderLength = Load16(pPdu + offsetof(HEADER_TAG_EXT, usHeaderLength));
    h.usServiceGroup = Load16(pPdu + offsetof(HEADER_TAG_EXT, usServiceGroup));
    h.usService = Load16(pPdu + offsetof(HEADER_TAG_EXT, usService));
    h.ulSessionID = Load32(pPdu + offsetof(HEADER_TAG_EXT, ulSessionID));
    h.ulServiceLength = Load32(pPdu + offsetof(HEADER_TAG_EXT, ulServiceLength));
    h.usCustomerId = Load16(pPdu + offsetof(HEADER_TAG_EXT, usCustomerId));
    h.usReserved = Load16(pPdu + offsetof(HEADER_TAG_EXT, usReserved));
    BTagSwapHeader(&h, bSwapHeader);
    if (pReplyHeader != nullptr) {
        *pReplyHeader = h;
    }
    // The body starts behind the header length field plus the bytes it counts;
    // a header shorter than the fields up to ulServiceLength is no header.
    RTS_UI64 ullBodyStart = static_cast<RTS_UI64>(h.usHeaderLength) + 4;
    if (h.usHeaderLength < 12 || ullBodyStart + h.ulServiceLength > ulReceived) {
        return ERR_BUFFERSIZE;
    }
    if (h.usServiceGroup != static_cast<RTS_UI16>(usRequestGroup | BTAG_REPLY_GROUP_FLAG) ||
        h.usService != usRequestService) {
        return ERR_BTAG_WRONG_REPLY;
    }
    return BTagReaderInit(pReader, pPdu + ullBodyStart, h.ulServiceLength);
}

RTS_RESULT BTagServiceWalkTags(BINTAGREADER* pReader, PFBTAGSERVICETAGHANDLER pfHandler, void* pContext) {
    if (pReader == nullptr || pfHandler == nullptr) {
        return ERR_PARAMETER;
    }
    // Each round consumes one whole tag of this level, so the body bounds the walk.
    for (;;) {
        BTAG_ELEMENT_TYPE et = BTAG_ET_INVALID;
        RTS_RESULT r = BTagReaderMoveNext(pReader, &et);
        if (r != ERR_OK) {
            return r;
        }
        if (et != BTAG_ET_STARTTAG) {
            return ERR_OK;  // end of the body, or of the parent being walked
        }
        RTS_UI32 ulTagId = 0;
        BTagReaderGetTagId(pReader, &ulTagId);
        BINTAGREADERSAVEPOINT sp;
        BTagReaderCreateSavepoint(pReader, &sp);
        r = pfHandler(pReader, ulTagId, pContext);
        if (r != ERR_OK) {
            return r;
        }
        // Back on this tag, wherever the handler went inside it, then past it.
        // A handler that stepped beyond the tag cannot be taken back: stop.
        if (BTagReaderRestoreSavepoint(pReader, &sp) != ERR_OK) {
            return ERR_FAILED;
        }
        BTagReaderSkipContent(pReader);
        r = BTagReaderMoveNext(pReader, &et);
        if (r != ERR_OK || et != BTAG_ET_ENDTAG) {
            return r != ERR_OK ? r : ERR_FAILED;
        }
    }
}

RTS_RESULT BTagReaderGetCursor(BINTAGREADER* pReader, RTS_BOOL bSwap, BTAG_CONTENT_CURSOR* pCursor) {
    if (pCursor == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    RTS_RESULT r = BTagReaderGetContent(pReader, &p, &n);
    if (r != ERR_OK) {
        BTagCursorInit(pCursor, nullptr, 0, bSwap);
        return r;
    }
    return BTagCursorInit(pCursor, p, n, bSwap);
}

RTS_RESULT BTagReaderGetUI16(BINTAGREADER* pReader, RTS_BOOL bSwap, RTS_UI16* pusValue) {
    BTAG_CONTENT_CURSOR c;
    RTS_RESULT r = BTagReaderGetCursor(pReader, bSwap, &c);
    return r == ERR_OK ? BTagCursorReadUI16(&c, pusValue) : r;
}

RTS_RESULT BTagReaderGetUI32(BINTAGREADER* pReader, RTS_BOOL bSwap, RTS_UI32* pulValue) {
    BTAG_CONTENT_CURSOR c;
    RTS_RESULT r = BTagReaderGetCursor(pReader, bSwap, &c);
    return r == ERR_OK ? BTagCursorReadUI32(&c, pulValue) : r;
}

RTS_RESULT BTagCursorInit(BTAG_CONTENT_CURSOR* pCursor, const RTS_UI8* pData, RTS_UI32 ulSize,
                          RTS_BOOL bSwap) {
    if (pCursor == nullptr || (pData == nullptr && ulSize != 0)) {
        return ERR_PARAMETER;
    }
    pCursor->pData = pData;
    pCursor->ulSize = ulSize;
    pCursor->ulPos = 0;
    pCursor->bSwap = bSwap != 0 ? 1 : 0;
    return ERR_OK;
}

RTS_UI32 BTagCursorRemaining(const BTAG_CONTENT_CURSOR* pCursor) {
    return CursorOk(pCursor) ? pCursor->ulSize - pCursor->ulPos : 0;
}

RTS_RESULT BTagCursorReadUI8(BTAG_CONTENT_CURSOR* pCursor, RTS_UI8* pbyValue) {
    RTS_UI64 v = 0;
    RTS_RESULT r = pbyValue != nullptr ? ReadNumber(pCursor, 1, &v) : ERR_PARAMETER;
    if (r == ERR_OK) {
        *pbyValue = static_cast<RTS_UI8>(v);
    }
    return r;
}

RTS_RESULT BTagCursorReadUI16(BTAG_CONTENT_CURSOR* pCursor, RTS_UI16* pusValue) {
    RTS_UI64 v = 0;
    RTS_RESULT r = pusValue != nullptr ? ReadNumber(pCursor, 2, &v) : ERR_PARAMETER;
    if (r == ERR_OK) {
        *pusValue = static_cast<RTS_UI16>(v);
    }
    return r;
}

RTS_RESULT BTagCursorReadUI32(BTAG_CONTENT_CURSOR* pCursor, RTS_UI32* pulValue) {
    RTS_UI64 v = 0;
    RTS_RESULT r = pulValue != nullptr ? ReadNumber(pCursor, 4, &v) : ERR_PARAMETER;
    if (r == ERR_OK) {
        *pulValue = static_cast<RTS_UI32>(v);
    }
    return r;
}

RTS_RESULT BTagCursorReadUI64(BTAG_CONTENT_CURSOR* pCursor, RTS_UI64* pullValue) {
    return pullValue != nullptr ? ReadNumber(pCursor, 8, pullValue) : ERR_PARAMETER;
}

RTS_RESULT BTagCursorReadBytes(BTAG_CONTENT_CURSOR* pCursor, RTS_UI32 ulSize, const RTS_UI8** ppData) {
    if (!CursorOk(pCursor) || ppData == nullptr) {
        return ERR_PARAMETER;
    }
    if (pCursor->ulSize - pCursor->ulPos < ulSize) {
        return ERR_BUFFERSIZE;
    }
    *ppData = pCursor->pData + pCursor->ulPos;
    pCursor->ulPos += ulSize;
    return ERR_OK;
}

RTS_RESULT BTagCursorReadCounted(BTAG_CONTENT_CURSOR* pCursor, RTS_UI32 ulCountWidth, RTS_UI32 ulItemSize,
                                 RTS_UI32* pulCount, const RTS_UI8** ppData) {
    if (!CursorOk(pCursor) || pulCount == nullptr || ppData == nullptr ||
        (ulCountWidth != 1 && ulCountWidth != 2 && ulCountWidth != 4)) {
        return ERR_PARAMETER;
    }
    BTAG_CONTENT_CURSOR c = *pCursor;
    RTS_UI64 ullCount = 0;
    RTS_RESULT r = ReadNumber(&c, ulCountWidth, &ullCount);
    if (r != ERR_OK) {
        return r;
    }
    // Both factors are below 2^32, so the product cannot wrap in 64 bits.
    RTS_UI64 ullBytes = ullCount * ulItemSize;
    if (ullBytes > c.ulSize - c.ulPos) {
        return ERR_BUFFERSIZE;
    }
    *ppData = c.pData + c.ulPos;
    *pulCount = static_cast<RTS_UI32>(ullCount);
    c.ulPos += static_cast<RTS_UI32>(ullBytes);
    *pCursor = c;
    return ERR_OK;
}

RTS_RESULT BTagCursorReadCountedString(BTAG_CONTENT_CURSOR* pCursor, RTS_UI32 ulCountWidth, char* pszDest,
                                       RTS_UI32 ulDestSize) {
    if (pszDest == nullptr && ulDestSize != 0) {
        return ERR_PARAMETER;
    }
    RTS_UI32 ulCount = 0;
    const RTS_UI8* p = nullptr;
    RTS_RESULT r = BTagCursorReadCounted(pCursor, ulCountWidth, 1, &ulCount, &p);
    if (r != ERR_OK) {
        return r;
    }
    RTS_UI32 n = 0;
    while (n < ulCount && p[n] != 0) {
        ++n;
    }
    if (ulDestSize == 0) {
        return n == 0 ? ERR_OK : ERR_BUFFERSIZE;
    }
    RTS_UI32 ulCopy = n < ulDestSize - 1 ? n : ulDestSize - 1;
    memcpy(pszDest, p, ulCopy);
    pszDest[ulCopy] = '\0';
    return ulCopy == n ? ERR_OK : ERR_BUFFERSIZE;
}

RTS_RESULT BTagProgressInit(BTAG_PROGRESS* pProgress, RTS_UI64 ullStartMark, RTS_UI32 ulMaxRounds) {
    if (pProgress == nullptr) {
        return ERR_PARAMETER;
    }
    pProgress->ullMark = ullStartMark;
    pProgress->ulRounds = 0;
    pProgress->ulMaxRounds = ulMaxRounds;
    return ERR_OK;
}

RTS_RESULT BTagProgressNext(BTAG_PROGRESS* pProgress, RTS_UI64 ullMark) {
    if (pProgress == nullptr) {
        return ERR_PARAMETER;
    }
    if (ullMark <= pProgress->ullMark) {
        return ERR_NO_CHANGE;
    }
    if (pProgress->ulRounds >= pProgress->ulMaxRounds) {
        return ERR_OUT_OF_LIMITS;
    }
    ++pProgress->ulRounds;
    pProgress->ullMark = ullMark;
    return ERR_OK;
}
