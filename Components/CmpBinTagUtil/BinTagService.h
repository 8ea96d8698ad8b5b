// The service exchange that every V3 service shares, built on the tag writer
// and reader: start a request in the send buffer, finish it, accept a reply
// only when it answers that request and is no longer than what arrived, and
// walk the reply's top-level tags. Beside it, bounded reading of tag contents
// and the progress check of peer-driven continuations.
//
// These are exported by CmpBinTagUtil like the writer and reader functions, and
// the device client imports them the same way (KL_IMPORT), so that one
// implementation, covered by the tests and the fuzz targets, serves every
// service.
#pragma once

#include "CmpBinTagUtilItf.h"

// Result of BTagServiceCheckReply for a reply that answers another request.
#define ERR_BTAG_WRONG_REPLY ERR_INVALID_ID

// Starts a request: a memory writer over the whole send buffer (header swapped
// when bSwapHeader) and the service header with tag 0xCD55.
KL_API_FUNC(RTS_RESULT, BTagServiceStart,
            (BINTAGWRITER * pWriter, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize, RTS_BOOL bSwapHeader,
             RTS_UI32 ulSessionID, RTS_UI16 usServiceGroup, RTS_UI16 usService));
// Finishes a request: *pulPduSize is the size of header plus tags, *ppPdu the
// header's address. The writer is cleared in any case.
KL_API_FUNC(RTS_RESULT, BTagServiceFinish, (BINTAGWRITER * pWriter, RTS_UI8** ppPdu, RTS_UI32* pulPduSize));

// Checks a received PDU and sets the reader on its body. The header is taken
// (and swapped) only from at least 20 received bytes; usHeaderLength must be
// at least 12 and usHeaderLength + 4 + ulServiceLength must lie within what
// arrived; the group must be usRequestGroup | 0x80 and the service
// usRequestService. Otherwise the result is ERR_BUFFERSIZE (malformed) or
// ERR_BTAG_WRONG_REPLY, and the reader is set on an empty body: the reply
// carries no data. pReplyHeader (optional) receives the header in host order
// whenever at least 20 bytes arrived. The PDU itself is not changed.
KL_API_FUNC(RTS_RESULT, BTagServiceCheckReply,
            (RTS_UI8 * pPdu, RTS_UI32 ulReceived, RTS_BOOL bSwapHeader, RTS_UI16 usRequestGroup,
             RTS_UI16 usRequestService, HEADER_TAG_EXT* pReplyHeader, BINTAGREADER* pReader));

// Called for each tag of a walk, with the reader on that tag. The handler may
// read the content, descend (for instance with a nested BTagServiceWalkTags),
// or do nothing for ids it does not know; the walk afterwards moves past the
// tag wherever the handler left the reader. A result other than 0 ends the walk
// with that result.
typedef RTS_RESULT (*PFBTAGSERVICETAGHANDLER)(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext);
// Walks the tags at the reader's level: the top level of a body, or the
// children of the parent tag the reader has just entered (the walk then ends
// after the parent's end). 0 at the end of the level; a malformed tag ends the
// walk with the reader's result (the tags before it have been handled).
KL_API_FUNC(RTS_RESULT, BTagServiceWalkTags,
            (BINTAGREADER * pReader, PFBTAGSERVICETAGHANDLER pfHandler, void* pContext));

// --- bounded reading of contents ---------------------------------------------------
// A cursor over one content. Numbers are in the controller's byte order
// (bSwap when that differs from the host's). Every read checks what remains
// and, when it fails, leaves the cursor where it was.
struct BTAG_CONTENT_CURSOR {
    const RTS_UI8* pData;
    RTS_UI32 ulSize;
    RTS_UI32 ulPos;
    RTS_BOOL bSwap;
};

// Cursor over the current data tag's content (0x404 for a parent tag).
KL_API_FUNC(RTS_RESULT, BTagReaderGetCursor,
            (BINTAGREADER * pReader, RTS_BOOL bSwap, BTAG_CONTENT_CURSOR* pCursor));
// The current data tag's content as one number: ERR_BUFFERSIZE when the
// content is shorter than the number (longer contents carry fill bytes).
KL_API_FUNC(RTS_RESULT, BTagReaderGetUI16, (BINTAGREADER * pReader, RTS_BOOL bSwap, RTS_UI16* pusValue));
KL_API_FUNC(RTS_RESULT, BTagReaderGetUI32, (BINTAGREADER * pReader, RTS_BOOL bSwap, RTS_UI32* pulValue));

KL_API_FUNC(RTS_RESULT, BTagCursorInit,
            (BTAG_CONTENT_CURSOR * pCursor, const RTS_UI8* pData, RTS_UI32 ulSize, RTS_BOOL bSwap));
KL_API_FUNC(RTS_UI32, BTagCursorRemaining, (const BTAG_CONTENT_CURSOR* pCursor));
KL_API_FUNC(RTS_RESULT, BTagCursorReadUI8, (BTAG_CONTENT_CURSOR * pCursor, RTS_UI8* pbyValue));
KL_API_FUNC(RTS_RESULT, BTagCursorReadUI16, (BTAG_CONTENT_CURSOR * pCursor, RTS_UI16* pusValue));
KL_API_FUNC(RTS_RESULT, BTagCursorReadUI32, (BTAG_CONTENT_CURSOR * pCursor, RTS_UI32* pulValue));
KL_API_FUNC(RTS_RESULT, BTagCursorReadUI64, (BTAG_CONTENT_CURSOR * pCursor, RTS_UI64* pullValue));
// ulSize bytes as they are: *ppData points into the content.
KL_API_FUNC(RTS_RESULT, BTagCursorReadBytes,
            (BTAG_CONTENT_CURSOR * pCursor, RTS_UI32 ulSize, const RTS_UI8** ppData));
// A count of ulCountWidth bytes (1, 2 or 4) followed by count items of
// ulItemSize bytes each, all of which must remain: *pulCount gets the count,
// *ppData the first item.
KL_API_FUNC(RTS_RESULT, BTagCursorReadCounted,
            (BTAG_CONTENT_CURSOR * pCursor, RTS_UI32 ulCountWidth, RTS_UI32 ulItemSize, RTS_UI32* pulCount,
             const RTS_UI8** ppData));
// A counted byte string (count of ulCountWidth bytes) copied into pszDest: cut
// at a zero byte or to ulDestSize - 1 bytes and terminated; a size of 0 writes
// nothing. The cursor moves past the whole string; ERR_BUFFERSIZE tells that
// it was cut.
KL_API_FUNC(RTS_RESULT, BTagCursorReadCountedString,
            (BTAG_CONTENT_CURSOR * pCursor, RTS_UI32 ulCountWidth, char* pszDest, RTS_UI32 ulDestSize));

// --- continuations driven by the peer ------------------------------------------------
// A continuation (more items follow, a next start index, the next piece of a
// value) is driven by the peer, so each round must advance a mark that only
// grows with real progress (items received so far, the next start index, the
// offset reached) and the number of rounds is bounded. Every such loop calls
// BTagProgressNext once per round before it sends the next request.
struct BTAG_PROGRESS {
    RTS_UI64 ullMark;
    RTS_UI32 ulRounds;
    RTS_UI32 ulMaxRounds;
};

KL_API_FUNC(RTS_RESULT, BTagProgressInit,
            (BTAG_PROGRESS * pProgress, RTS_UI64 ullStartMark, RTS_UI32 ulMaxRounds));
// ERR_NO_CHANGE when the mark did not grow past the previous round's,
// ERR_OUT_OF_LIMITS when the rounds are used up; the loop must then stop.
KL_API_FUNC(RTS_RESULT, BTagProgressNext, (BTAG_PROGRESS * pProgress, RTS_UI64 ullMark));
