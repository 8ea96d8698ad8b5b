// The XML parser of the runtime (component CmpXMLParser): a thin layer over
// expat that reads a file or buffers handed in piece by piece and reports
// elements to the caller's handlers. Element names, attribute names and
// values and character data reach the handlers as terminated 16-bit text
// (UTF-16), converted from the document's encoding.
//
// The layer is hardened for files that come from outside: external entities
// are never loaded, and expat's limits on entity expansion stay in force.
// Other components import these functions by name.
#pragma once

#include "CmpStd.h"

// Called for each start tag. ppwszAttributes holds name and value pairs and
// ends with a null name. The texts are valid only during the call.
typedef void (*PFXMLSTARTELEMENTHANDLER)(void* pUserData, const RTS_WCHAR* pwszName,
                                         const RTS_WCHAR** ppwszAttributes);
typedef void (*PFXMLENDELEMENTHANDLER)(void* pUserData, const RTS_WCHAR* pwszName);
// A run of character data (iLen 16-bit units, also terminated); one text may
// arrive in several runs.
typedef void (*PFXMLCHARACTERDATAHANDLER)(void* pUserData, const RTS_WCHAR* pwszData, RTS_I32 iLen);

// Largest piece of a file read at a time by ParseXML2.
#define XMLPARSER_READ_CHUNK 16384

// A parser for the file pszFileName (parsed by ParseXML2 without data), or,
// with a null file name, for data handed to ParseXML2. pszEncoding overrides
// the document's declaration (null: as declared, else UTF-8). pUserData is
// passed to every handler. Returns RTS_INVALID_HANDLE on failure.
KL_API_FUNC(RTS_HANDLE, CreateXMLParser3,
            (const char* pszFileName, const char* pszEncoding, void* pUserData, RTS_RESULT* pResult));
KL_API_FUNC(RTS_RESULT, SetXMLElementHandler,
            (RTS_HANDLE hParser, PFXMLSTARTELEMENTHANDLER pfStart, PFXMLENDELEMENTHANDLER pfEnd));
KL_API_FUNC(RTS_RESULT, SetXMLCharacterDataHandler,
            (RTS_HANDLE hParser, PFXMLCHARACTERDATAHANDLER pfCharData));
// Parses iLen bytes of pData (bIsFinal on the last piece); with a null pData
// and a parser made for a file, parses the whole file. ERR_OK, ERR_FAILED for
// a document error or a stop by StopXMLParser, ERR_PARAMETER, or the file's
// open/read error.
KL_API_FUNC(RTS_RESULT, ParseXML2, (RTS_HANDLE hParser, const char* pData, RTS_I32 iLen, RTS_I32 bIsFinal));
// From a handler: end the parse; no handler is called after it.
KL_API_FUNC(RTS_RESULT, StopXMLParser, (RTS_HANDLE hParser));
// Line and column of the last error (or of the current position) and its
// text, cut to ulTextSize - 1 characters.
KL_API_FUNC(RTS_RESULT, GetXMLErrorInfo,
            (RTS_HANDLE hParser, RTS_UI32* pulLine, RTS_UI32* pulColumn, char* pszText, RTS_UI32 ulTextSize));
// Releases the parser; never from inside one of its handlers.
KL_API_FUNC(RTS_RESULT, FreeXMLParser, (RTS_HANDLE hParser));

KL_COMPONENT_ENTRY(CmpXMLParser);
