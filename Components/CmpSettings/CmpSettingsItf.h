// Settings of the runtime: every component reads (and a few write) values
// addressed by a component name and a key. The values live in the settings
// database, a master INI file plus optional further files, each held whole in
// memory; a change goes to the memory copy first and is then written back to
// disk through a "_" side file so that a crash mid-write loses nothing.
//
// Settg* is the front end other components import; SettgBe* and Ini* are the
// INI backend beneath it.
#pragma once

#include "CmpStd.h"

// Fixed text fields of a file record (terminator included).
#define INI_FILENAME_LEN 255
#define INI_FILTER_LEN 255
// Longest component or key name accepted, terminator included.
#define SETTG_MAX_NAME_LEN 255
// Integers are read through a text of at most this many characters.
#define SETTG_MAX_INT_TEXT 50

// IniOpen options.
#define INI_OPEN_CREATE 0x1 /* create the file empty when it does not exist */
#define INI_OPEN_DELETE 0x2 /* delete the file before loading it */
#define INI_OPEN_APPEND 0x4 /* create the file for appending when it does not exist */

// The memory copy of one file: lSize bytes followed by two zero bytes.
struct INI_CACHE {
    RTS_SIZE lSize;
    char* pbyFile;
};

// One open settings file. Records come from the component's record pool, so
// the record stays a plain structure; the memory copy is owned through pbyFile.
struct INI_SERDEV {
    RTS_HANDLE hFile;
    RTS_HANDLE hSem;
    INI_CACHE Cache;
    RTS_I32 bWriteProtected;
    RTS_I32 bPrepareToWrite;
    char szFileName[INI_FILENAME_LEN];
    // Sections this file may hold, as "[" + name + "]" items; empty = all.
    char szFilter[INI_FILTER_LEN];
};

// SettgSetIntValue bases.
#define SETTG_BASE_BIN 2
#define SETTG_BASE_DEC 10
#define SETTG_BASE_HEX 16

// ---- Front end ------------------------------------------------------------
// Lengths: *piLen is the caller's buffer size (characters, terminator
// included) on the way in and the length of the text copied on the way out.

KL_API_FUNC(RTS_RESULT, SettgSetDatabaseName, (const char* pszName));
KL_API_FUNC(RTS_RESULT, SettgGetDatabaseName, (char* pszName, RTS_I32 iLen));
KL_API_FUNC(RTS_RESULT, SettgBeginUpdate, (void));
KL_API_FUNC(RTS_RESULT, SettgEndUpdate, (void));
KL_API_FUNC(RTS_RESULT, SettgGetIntValue,
            (const char* pszComponent, const char* pszKey, RTS_I32* piValue, RTS_I32 iDefault, int bCached));
KL_API_FUNC(RTS_RESULT, SettgSetIntValue,
            (const char* pszComponent, const char* pszKey, RTS_I32 iValue, RTS_I32 iBase));
KL_API_FUNC(RTS_RESULT, SettgGetStringValue,
            (const char* pszComponent, const char* pszKey, char* pszValue, RTS_I32* piLen,
             const char* pszDefault, int bCached));
KL_API_FUNC(RTS_RESULT, SettgSetStringValue,
            (const char* pszComponent, const char* pszKey, const char* pszValue, RTS_I32 iLen));
KL_API_FUNC(RTS_RESULT, SettgGetWStringValue,
            (const char* pszComponent, const char* pszKey, RTS_WCHAR* pwszValue, RTS_I32* piLen,
             const RTS_WCHAR* pwszDefault, int bCached));
KL_API_FUNC(RTS_RESULT, SettgSetWStringValue,
            (const char* pszComponent, const char* pszKey, const RTS_WCHAR* pwszValue, RTS_I32 iLen));
KL_API_FUNC(RTS_RESULT, SettgRemoveKey, (const char* pszComponent, const char* pszKey));
KL_API_FUNC(RTS_RESULT, SettgClearComponent, (const char* pszComponent));

// ---- INI backend ----------------------------------------------------------

KL_API_FUNC(RTS_RESULT, SettgBeInit, (const char* pszMasterFile));
KL_API_FUNC(RTS_RESULT, SettgBeExit, (void));
KL_API_FUNC(RTS_RESULT, SettgBeGetDatabaseName, (char* pszName, RTS_I32 iLen));
KL_API_FUNC(RTS_RESULT, SettgBeBeginUpdate, (void));
KL_API_FUNC(RTS_RESULT, SettgBeEndUpdate, (void));
KL_API_FUNC(RTS_RESULT, SettgBeUpdateCache, (void));
KL_API_FUNC(RTS_RESULT, SettgBeStoreDatabase, (void));
KL_API_FUNC(RTS_RESULT, SettgBeGetIntValue,
            (const char* pszComponent, const char* pszKey, RTS_I32* piValue, RTS_I32 iDefault));
KL_API_FUNC(RTS_RESULT, SettgBeGetStringValue,
            (const char* pszComponent, const char* pszKey, char* pszValue, RTS_I32* piLen,
             const char* pszDefault));
KL_API_FUNC(RTS_RESULT, SettgBeSetStringValue,
            (const char* pszComponent, const char* pszKey, const char* pszValue, RTS_I32 iLen));
KL_API_FUNC(RTS_RESULT, SettgBeGetWStringValue,
            (const char* pszComponent, const char* pszKey, RTS_WCHAR* pwszValue, RTS_I32* piLen,
             const RTS_WCHAR* pwszDefault));
KL_API_FUNC(RTS_RESULT, SettgBeSetWStringValue,
            (const char* pszComponent, const char* pszKey, const RTS_WCHAR* pwszValue, RTS_I32 iLen));
KL_API_FUNC(RTS_RESULT, SettgBeGetBinValue,
            (const char* pszComponent, const char* pszKey, RTS_UI8* pbyValue, RTS_I32* piLen));
KL_API_FUNC(RTS_RESULT, SettgBeSetBinValue,
            (const char* pszComponent, const char* pszKey, const RTS_UI8* pbyValue, RTS_I32 iLen));
KL_API_FUNC(RTS_RESULT, SettgBeRemoveKey, (const char* pszComponent, const char* pszKey));
KL_API_FUNC(RTS_RESULT, SettgBeClearComponent, (const char* pszComponent));

// Backend internals, shared by the component's own files, its tests and the
// fuzz target; not exported.
INI_SERDEV* IniOpen(const char* pszFileName, RTS_UI32 ulOptions, RTS_RESULT* pResult);
RTS_RESULT IniClose(INI_SERDEV* pFile);
RTS_RESULT IniUpdateCache(INI_SERDEV* pFile);
RTS_RESULT IniUpdateFile(INI_SERDEV* pFile);
// Resolves the record-pool functions of the memory pool component; without
// them the backend keeps its file records on the heap.
RTS_RESULT SettgBeImportFunctions(PF_GET_API pfGetApi);

// Reading settings through imported functions that may be missing (the
// component then runs on its defaults). An integer is the default unless the
// key is present (*pbSet tells which); a text is empty unless present, and is
// always terminated inside size bytes.
inline RTS_I32 SettgReadInt(PFSettgGetIntValue pfGet, const char* pszComponent, const char* pszKey,
                            RTS_I32 iDefault, bool* pbSet = nullptr) {
    RTS_I32 value = iDefault;
    bool bSet = pfGet != nullptr && pfGet(pszComponent, pszKey, &value, iDefault, 0) == ERR_OK;
    if (pbSet != nullptr) {
        *pbSet = bSet;
    }
    return bSet ? value : iDefault;
}

inline void SettgReadString(PFSettgGetStringValue pfGet, const char* pszComponent, const char* pszKey,
                            char* pszValue, RTS_SIZE size) {
    if (pszValue == nullptr || size == 0) {
        return;
    }
    pszValue[0] = '\0';
    RTS_I32 len = static_cast<RTS_I32>(size);
    if (pfGet == nullptr || pfGet(pszComponent, pszKey, pszValue, &len, "", 0) != ERR_OK) {
        pszValue[0] = '\0';
    }
    pszValue[size - 1] = '\0';
}

KL_COMPONENT_ENTRY(CmpSettings);
