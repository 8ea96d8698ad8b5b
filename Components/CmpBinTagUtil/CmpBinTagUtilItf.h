// Service frames and binary tags: the 20-byte service header that starts every
// V3 service PDU, and the writer and reader of the tag body behind it. This is
// the one definition of that format; the device client reaches these functions
// through the pointers it imports from the component manager.
#pragma once

#include "CmpStd.h"

// Service header, 20 bytes on the wire in this order. Its fields travel in the
// controller's byte order; BTagSwapHeader converts.
struct HEADER_TAG_EXT {
    RTS_UI16 usHeaderTag;
    RTS_UI16 usHeaderLength;
    RTS_UI16 usServiceGroup;
    RTS_UI16 usService;
    RTS_UI32 ulSessionID;
    RTS_UI32 ulServiceLength;
    RTS_UI16 usCustomerId;
    RTS_UI16 usReserved;
};
static_assert(sizeof(HEADER_TAG_EXT) == 20, "service header is 20 bytes");
static_assert(offsetof(HEADER_TAG_EXT, ulSessionID) == 8, "service header layout");
static_assert(offsetof(HEADER_TAG_EXT, ulServiceLength) == 12, "service header layout");
static_assert(offsetof(HEADER_TAG_EXT, usCustomerId) == 16, "service header layout");

#define BTAG_HEADER_SIZE 20u
// usHeaderLength as written: the header bytes after that field.
#define BTAG_HEADER_LENGTH 16u
// usHeaderTag of every service this client sends.
#define BTAG_HEADER_TAG_SERVICE 0xCD55u
// A reply carries the request's group with this bit set.
#define BTAG_REPLY_GROUP_FLAG 0x80u

// Stack entries of writers and readers. Writers keep at most
// BTAG_WRITER_MAX_OPEN tags open; readers accept BTAG_MAX_NESTING levels.
#define BTAG_MAX_NESTING 10
#define BTAG_WRITER_MAX_OPEN 9

// Writer kinds (BINTAGWRITER.iType) and reader kinds (BINTAGREADER.iType).
#define BTAG_WRITER_MEMORY 1
#define BTAG_WRITER_FILE 2
#define BTAG_WRITER_FILESTREAM 3
#define BTAG_READER_MEMORY 1
#define BTAG_READER_FILE 2

// The file-stream writer's shared buffer: initial size, and the headroom added
// on every enlargement.
#define BTAG_FILESTREAM_BUFFER_SIZE 100000u
#define BTAG_FILESTREAM_GROW_SIZE 65536u

// Result codes of the tag writer and reader (besides the runtime's ERR_*).
#define ERR_BTAG_TAG_PAST_END 0x400
#define ERR_BTAG_BUFFER_OVERFLOW 0x401
#define ERR_BTAG_NESTING_TOO_DEEP 0x402
#define ERR_BTAG_NO_TAG_OPEN 0x403
#define ERR_BTAG_NOT_A_DATA_TAG 0x404
#define ERR_BTAG_TAG_IN_DATA_TAG 0x405
#define ERR_BTAG_TAGS_STILL_OPEN 0x406
#define ERR_BTAG_ALIGNMENT 0x407

// Element types reported by a reader step.
enum BTAG_ELEMENT_TYPE {
    BTAG_ET_INVALID = -1,
    BTAG_ET_STARTTAG = 0,
    BTAG_ET_ENDTAG = 1,
    BTAG_ET_EOF = 2,
};

// Content alignment of a tag: the content starts at an offset congruent to
// usRemainder modulo usModulus (always 4) from the tag's start.
struct BTAG_ALIGNMENT {
    RTS_UI16 usModulus;
    RTS_UI16 usRemainder;
};

#ifndef RTS_GUID_DEFINED
#define RTS_GUID_DEFINED
struct RTS_GUID {
    RTS_UI32 Data1;
    RTS_UI16 Data2;
    RTS_UI16 Data3;
    RTS_UI8 Data4[8];
};
#endif
static_assert(sizeof(RTS_GUID) == 16, "a GUID is 16 bytes");

struct BTAG_WRITERTAGINFO {
    RTS_UI32 ulTagId;
    RTS_UI32 ulSizePos;  // position of the length field in the tag area
    RTS_UI32 ulSize;     // current content length
    RTS_UI8 ucSizeLength;
    RTS_UI8 bIsDataTag;
};

// Checksum callback of the file-stream writer, called with the collected tag
// area just before the writer finishes.
typedef void (*PFBTAGUPDATECRC)(const RTS_UI8* pBuffer, RTS_UI32 ulSize, void* pParameter);

struct BINTAGWRITER {
    RTS_UI8* pBuffer;  // start of the tag area; the service header sits in the 20 bytes before it
    RTS_HANDLE hFile;
    RTS_UI32 ulBufferSize;  // usable bytes of the tag area
    RTS_UI32 ulPos;         // bytes written into the tag area
    BTAG_WRITERTAGINFO tagStack[BTAG_MAX_NESTING];
    RTS_I32 nStackPos;  // innermost open tag, -1 when none
    RTS_I32 iType;
    RTS_UI32 ulEndServicePos;  // end of the service header once written, else 0
    RTS_BOOL bSwapHeader;
    RTS_BOOL bBufferOverflow;  // sticky
    PFBTAGUPDATECRC pfUpdateCRC;
    void* pParameterUpdateCRC;
    RTS_BOOL bCloseFile;  // the writer opened hFile itself and closes it when it finishes
};

struct BINTAGSAVEPOINT {
    RTS_UI32 ulPos;
    BTAG_WRITERTAGINFO tagStack[BTAG_MAX_NESTING];
    RTS_I32 nStackPos;
    RTS_BOOL bBufferOverflow;
};

struct BTAG_READERTAGINFO {
    RTS_UI32 ulTagId;
    RTS_UI32 ulSize;
    RTS_UI32 ulContentPos;
};

struct BINTAGREADER {
    RTS_UI8* pBuffer;
    RTS_UI32 ulBufferSize;
    RTS_HANDLE hFile;
    RTS_UI32 ulPos;
    BTAG_READERTAGINFO tagStack[BTAG_MAX_NESTING];
    RTS_I32 nStackPos;
    RTS_I32 iType;
    RTS_UI32 ulStartServicePos;
};

struct BINTAGREADERSAVEPOINT {
    RTS_UI32 ulPos;
    BTAG_READERTAGINFO tagStack[BTAG_MAX_NESTING];
    RTS_I32 nStackPos;
};

// --- Writer ------------------------------------------------------------------
// Memory writers need a 4-byte aligned buffer of at least 20 bytes; the first
// 20 bytes are kept for the service header.
KL_API_FUNC(RTS_RESULT, BTagWriterInit, (BINTAGWRITER * pWriter, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize));
KL_API_FUNC(RTS_RESULT, BTagWriterInit2,
            (BINTAGWRITER * pWriter, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize, RTS_BOOL bSwapHeader));
// File writers collect the PDU in memory and write it to the file when they
// finish (BTagWriterInit2's header-then-tags layout, byte for byte).
KL_API_FUNC(RTS_RESULT, BTagWriterFileInit, (BINTAGWRITER * pWriter, RTS_HANDLE hFile));
KL_API_FUNC(RTS_RESULT, BTagWriterFileInit2, (BINTAGWRITER * pWriter, const char* pszFileName));
KL_API_FUNC(RTS_RESULT, BTagWriterFileStreamInit, (BINTAGWRITER * pWriter, RTS_HANDLE hFile));
KL_API_FUNC(RTS_RESULT, BTagWriterFileStreamInit2,
            (BINTAGWRITER * pWriter, RTS_HANDLE hFile, PFBTAGUPDATECRC pfUpdateCRC,
             void* pParameterUpdateCRC));
KL_API_FUNC(RTS_RESULT, BTagWriterStartService,
            (BINTAGWRITER * pWriter, RTS_UI32 ulSessionID, RTS_UI16 usHeaderTag, RTS_UI32 ulServiceGroup,
             RTS_UI16 usService));
KL_API_FUNC(RTS_RESULT, BTagWriterStartTag,
            (BINTAGWRITER * pWriter, RTS_UI32 ulTagId, BTAG_ALIGNMENT contentAlignment,
             RTS_UI32 ulMinLengthSize));
KL_API_FUNC(RTS_RESULT, BTagWriterAppendBlob, (BINTAGWRITER * pWriter, const void* pBlob, RTS_UI32 ulSize));
KL_API_FUNC(RTS_RESULT, BTagWriterAppendString, (BINTAGWRITER * pWriter, const char* psz));
KL_API_FUNC(RTS_RESULT, BTagWriterAppendWString, (BINTAGWRITER * pWriter, const RTS_WCHAR* pwsz));
KL_API_FUNC(RTS_RESULT, BTagWriterAppendGUID, (BINTAGWRITER * pWriter, const RTS_GUID* pGuid));
KL_API_FUNC(RTS_RESULT, BTagWriterAppendRaw, (BINTAGWRITER * pWriter, RTS_UI8** ppBuffer, RTS_UI32 ulSize));
KL_API_FUNC(RTS_RESULT, BTagWriterAppendFillBytes,
            (BINTAGWRITER * pWriter, RTS_UI8 byFillByte, BTAG_ALIGNMENT alignment));
KL_API_FUNC(RTS_RESULT, BTagWriterAppendDummyBytes,
            (BINTAGWRITER * pWriter, RTS_UI8 byFillByte, RTS_UI32 ulSize));
KL_API_FUNC(RTS_RESULT, BTagWriterEndTag, (BINTAGWRITER * pWriter, RTS_UI32 ulTagId));
KL_API_FUNC(RTS_RESULT, BTagWriteSingleTag,
            (BINTAGWRITER * pWriter, RTS_UI32 ulTag, BTAG_ALIGNMENT align, RTS_BOOL bFillBytes,
             const void* pContent, RTS_UI32 ulSize));
KL_API_FUNC(RTS_UI32, BTagWriterGetAvailableBuffer, (BINTAGWRITER * pWriter));
KL_API_FUNC(RTS_RESULT, BTagWriterCreateSavepoint, (BINTAGWRITER * pWriter, BINTAGSAVEPOINT* pSavepoint));
KL_API_FUNC(RTS_RESULT, BTagWriterRestoreSavepoint,
            (BINTAGWRITER * pWriter, const BINTAGSAVEPOINT* pSavepoint));
// The new buffer takes the same shape as BTagWriterInit2's (header, then tag
// area); *ppOldBuffer receives the start of the old one.
KL_API_FUNC(RTS_RESULT, BTagWriterSwitchBuffer,
            (BINTAGWRITER * pWriter, RTS_UI8* pNewBuffer, RTS_UI32 ulNewSize, RTS_UI8** ppOldBuffer));
KL_API_FUNC(RTS_RESULT, BTagWriterFinishService,
            (BINTAGWRITER * pWriter, RTS_UI8** ppBuffer, RTS_UI32* pulSize));
// Clears the writer whatever the result. A file writer hands back no address
// (its memory is released), only the size.
KL_API_FUNC(RTS_RESULT, BTagWriterFinish, (BINTAGWRITER * pWriter, RTS_UI8** ppBuffer, RTS_UI32* pulSize));
KL_API_FUNC(RTS_RESULT, BTagSwapHeader, (HEADER_TAG_EXT * pHeader, RTS_BOOL bSwap));

// --- Reader ------------------------------------------------------------------
KL_API_FUNC(RTS_RESULT, BTagReaderInit, (BINTAGREADER * pReader, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize));
// Reads the rest of the file into pBuffer and reads from there; a body larger
// than pBuffer fails with 1.
KL_API_FUNC(RTS_RESULT, BTagReaderFileInit,
            (BINTAGREADER * pReader, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize, RTS_HANDLE hFile));
KL_API_FUNC(RTS_RESULT, BTagReaderMoveNext, (BINTAGREADER * pReader, BTAG_ELEMENT_TYPE* pnElementType));
KL_API_FUNC(BTAG_ELEMENT_TYPE, BTagReaderPeekNext, (BINTAGREADER * pReader));
KL_API_FUNC(RTS_RESULT, BTagReaderSkipContent, (BINTAGREADER * pReader));
KL_API_FUNC(RTS_RESULT, BTagReaderGetTagId, (BINTAGREADER * pReader, RTS_UI32* pulTagId));
KL_API_FUNC(RTS_RESULT, BTagReaderGetTagLen, (BINTAGREADER * pReader, RTS_UI32* pulSize));
KL_API_FUNC(RTS_RESULT, BTagReaderIsDataTag, (BINTAGREADER * pReader, RTS_BOOL* pbIsDataTag));
KL_API_FUNC(RTS_RESULT, BTagReaderGetContent,
            (BINTAGREADER * pReader, RTS_UI8** ppBuffer, RTS_UI32* pulSize));
KL_API_FUNC(RTS_RESULT, BTagReaderGetComplexContent,
            (BINTAGREADER * pReader, RTS_UI8** ppBuffer, RTS_UI32* pulSize));
KL_API_FUNC(RTS_RESULT, BTagReaderGetString,
            (BINTAGREADER * pReader, char** ppString, RTS_UI32* pulSize, RTS_BOOL bAddEndOfString));
KL_API_FUNC(RTS_RESULT, BTagReaderCreateSavepoint,
            (BINTAGREADER * pReader, BINTAGREADERSAVEPOINT* pSavepoint));
KL_API_FUNC(RTS_RESULT, BTagReaderRestoreSavepoint,
            (BINTAGREADER * pReader, const BINTAGREADERSAVEPOINT* pSavepoint));
KL_API_FUNC(RTS_UI8*, BTagReaderGetFirstTag,
            (BINTAGREADER * pReader, RTS_UI32* pulToplevelTag, RTS_UI32* pulTag, RTS_UI32* pulSize,
             RTS_RESULT* pResult));
KL_API_FUNC(RTS_UI8*, BTagReaderGetNextTag,
            (BINTAGREADER * pReader, RTS_UI32* pulToplevelTag, RTS_UI32* pulTag, RTS_UI32* pulSize,
             RTS_RESULT* pResult));

KL_COMPONENT_ENTRY(CmpBinTagUtil);
