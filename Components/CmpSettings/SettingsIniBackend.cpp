// INI backend of the settings component: the open files of the settings
// database, their memory copies, the text rules of the INI format (sections,
// key lines, values, wide texts, byte blocks) and the crash-safe write back.
//
// Every parse works on the memory copy with its explicit size; nothing relies
// on the two trailing zero bytes, so a file holding zero bytes of its own is
// read like any other character.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "SysFile.h"
#include "SysSem.h"

namespace {

const char s_szCmpName[] = "CmpSettings";
const char s_delimiter[] = "\n";

// ---- Process-wide state ----------------------------------------------------

std::atomic<RTS_I32> s_i32AccessCounter{0};
INI_SERDEV* s_pIniMaster = nullptr;
// Open files in opening order (master first): reads search them in this order.
std::vector<INI_SERDEV*> s_files;

// ---- Record pool -----------------------------------------------------------
// File records come from a pool of the memory pool component with room for
// one record in its static area. When that component's functions were not
// imported (unit tests without a runtime, the fuzz target) the records come
// from the heap and a platform lock stands in for the pool lock; that is the
// whole of the fallback.

alignas(8) unsigned char s_abyIniPool[MemPoolStaticAreaSize(1, sizeof(INI_SERDEV))];

RTS_HANDLE s_hIniPool = RTS_INVALID_HANDLE;
std::atomic<bool> s_bPoolCreated{false};
bool s_bPoolHasLock = false;
RTS_HANDLE s_hFallbackLock = RTS_INVALID_HANDLE;

PFMemPoolCreateStatic pfMemPoolCreateStatic = nullptr;
PFMemPoolGetBlock2 pfMemPoolGetBlock2 = nullptr;
PFMemPoolPutBlock pfMemPoolPutBlock = nullptr;
PFMemPoolLock pfMemPoolLock = nullptr;
PFMemPoolUnlock pfMemPoolUnlock = nullptr;
PFMemPoolDelete pfMemPoolDelete = nullptr;

bool PoolFunctionsPresent() {
    return pfMemPoolCreateStatic != nullptr && pfMemPoolGetBlock2 != nullptr &&
           pfMemPoolPutBlock != nullptr && pfMemPoolLock != nullptr && pfMemPoolUnlock != nullptr &&
           pfMemPoolDelete != nullptr;
}

RTS_RESULT PoolCreate() {
    if (s_bPoolCreated) {
        return ERR_OK;
    }
    RTS_RESULT r = ERR_OK;
    s_hIniPool = RTS_INVALID_HANDLE;
    s_bPoolHasLock = false;
    if (PoolFunctionsPresent()) {
        s_hIniPool = pfMemPoolCreateStatic(static_cast<RTS_UI32>(sizeof(INI_SERDEV)), sizeof(s_abyIniPool),
                                           s_abyIniPool, &r);
        if (s_hIniPool == RTS_INVALID_HANDLE || r != ERR_OK) {
            s_hIniPool = RTS_INVALID_HANDLE;
            return ERR_NOTINITIALIZED;
        }
        // A pool made before the pool component was initialised has no lock.
        if (pfMemPoolLock(s_hIniPool) == ERR_OK) {
            pfMemPoolUnlock(s_hIniPool);
            s_bPoolHasLock = true;
        }
    }
    if (!s_bPoolHasLock) {
        s_hFallbackLock = SysSemCreate(&r);
        if (s_hFallbackLock == RTS_INVALID_HANDLE) {
            if (s_hIniPool != RTS_INVALID_HANDLE) {
                pfMemPoolDelete(s_hIniPool, s_szCmpName);
            }
            s_hIniPool = RTS_INVALID_HANDLE;
            return ERR_NOTINITIALIZED;
        }
    }
    s_bPoolCreated = true;
    return ERR_OK;
}

void PoolDelete() {
    if (!s_bPoolCreated) {
        return;
    }
    if (s_hIniPool != RTS_INVALID_HANDLE && pfMemPoolDelete != nullptr) {
        pfMemPoolDelete(s_hIniPool, s_szCmpName);
    }
    if (s_hFallbackLock != RTS_INVALID_HANDLE) {
        SysSemDelete(s_hFallbackLock);
    }
    s_hFallbackLock = RTS_INVALID_HANDLE;
    s_hIniPool = RTS_INVALID_HANDLE;
    s_bPoolHasLock = false;
    s_bPoolCreated = false;
}

INI_SERDEV* PoolGetRecord(RTS_RESULT* pResult) {
    void* pBlock = nullptr;
    if (s_hIniPool != RTS_INVALID_HANDLE) {
        RTS_RESULT r = ERR_OK;
        pBlock = pfMemPoolGetBlock2(s_hIniPool, 1, s_szCmpName, &r);
        if (r != ERR_OK) {
            pBlock = nullptr;
        }
    } else {
        // Heap fallback: no pool component was imported.
        pBlock = std::calloc(1, sizeof(INI_SERDEV));
    }
    *pResult = pBlock != nullptr ? ERR_OK : ERR_NOMEMORY;
    return static_cast<INI_SERDEV*>(pBlock);
}

void PoolPutRecord(INI_SERDEV* pRecord) {
    if (s_hIniPool != RTS_INVALID_HANDLE) {
        pfMemPoolPutBlock(pRecord);
        return;
    }
    std::free(pRecord);  // heap fallback
}

// Holds the pool lock for a scope; does nothing while no pool exists.
class PoolLockGuard {
public:
    PoolLockGuard() : m_bLocked(s_bPoolCreated) {
        if (!m_bLocked) {
            return;
        }
        if (s_bPoolHasLock) {
            pfMemPoolLock(s_hIniPool);
            return;
        }
        SysSemEnter(s_hFallbackLock);
    }
    ~PoolLockGuard() {
        if (!m_bLocked) {
            return;
        }
        if (s_bPoolHasLock) {
            pfMemPoolUnlock(s_hIniPool);
            return;
        }
        SysSemLeave(s_hFallbackLock);
    }
    PoolLockGuard(const PoolLockGuard&) = delete;
    PoolLockGuard& operator=(const PoolLockGuard&) = delete;

private:
    bool m_bLocked;
};

// ---- Text helpers ----------------------------------------------------------

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}
bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const char* a, const char* b, RTS_SIZE n) {
    for (RTS_SIZE i = 0; i < n; ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool ContainsNoCase(const char* pszText, const char* pszPart) {
    RTS_SIZE n = strlen(pszText);
    RTS_SIZE m = strlen(pszPart);
    for (RTS_SIZE i = 0; i + m <= n; ++i) {
        if (EqualNoCase(pszText + i, pszPart, m)) {
            return true;
        }
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

const char s_szHex[] = "0123456789abcdef";

// Component and key names end up in section headers and key lines; anything
// that would end either early or read back as another name is refused, and so
// is a name too long for the name buffers of the readers.
RTS_RESULT CheckName(const char* pszName, bool bKey, RTS_SIZE* pLen) {
    if (pszName == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_SIZE n = 0;
    while (n < SETTG_MAX_NAME_LEN && pszName[n] != '\0') {
        unsigned char c = static_cast<unsigned char>(pszName[n]);
        if (IsControl(c) || c == '[' || c == ']' || c == ';' || (bKey && c == '=')) {
            return ERR_PARAMETER;
        }
        ++n;
    }
    if (n == 0 || n >= SETTG_MAX_NAME_LEN) {
        return ERR_PARAMETER;
    }
    // The reader skips blanks around a key, so "Key " would be read as "Key".
    if (bKey && (IsBlank(pszName[0]) || IsBlank(pszName[n - 1]))) {
        return ERR_PARAMETER;
    }
    *pLen = n;
    return ERR_OK;
}

RTS_RESULT CheckNames(const char* pszComponent, const char* pszKey, RTS_SIZE* pCmpLen, RTS_SIZE* pKeyLen) {
    RTS_RESULT r = CheckName(pszComponent, false, pCmpLen);
    if (r == ERR_OK) {
        r = CheckName(pszKey, true, pKeyLen);
    }
    return r;
}

// A value of the INI text must survive the reader unchanged: the reader cuts
// at line ends, ";" and double quotes, and "[" would start a section.
RTS_RESULT CheckValue(const char* pszValue, RTS_SIZE len) {
    for (RTS_SIZE i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(pszValue[i]);
        if (IsControl(c) || c == '[' || c == ']' || c == ';' || c == '"') {
            return ERR_NOT_SUPPORTED;
        }
    }
    return ERR_OK;
}

// Copies a text of srcLen characters into a caller buffer of *piLen
// characters (terminator included); a size of 0 writes nothing.
RTS_RESULT CopyText(char* pszDest, RTS_I32* piLen, const char* pSrc, RTS_SIZE srcLen) {
    if (*piLen <= 0) {
        *piLen = 0;
        return ERR_BUFFERSIZE;
    }
    RTS_SIZE room = static_cast<RTS_SIZE>(*piLen) - 1u;
    RTS_SIZE n = srcLen < room ? srcLen : room;
    if (n > 0) {
        memcpy(pszDest, pSrc, n);
    }
    pszDest[n] = '\0';
    *piLen = static_cast<RTS_I32>(n);
    return n < srcLen ? ERR_BUFFERSIZE : ERR_OK;
}

RTS_SIZE WideLen(const RTS_WCHAR* pwsz, RTS_SIZE max) {
    RTS_SIZE n = 0;
    while (n < max && pwsz[n] != 0) {
        ++n;
    }
    return n;
}

RTS_RESULT CopyWide(RTS_WCHAR* pwszDest, RTS_I32* piLen, const RTS_WCHAR* pSrc, RTS_SIZE srcLen) {
    if (*piLen <= 0) {
        *piLen = 0;
        return ERR_BUFFERSIZE;
    }
    RTS_SIZE room = static_cast<RTS_SIZE>(*piLen) - 1u;
    RTS_SIZE n = srcLen < room ? srcLen : room;
    for (RTS_SIZE i = 0; i < n; ++i) {
        pwszDest[i] = pSrc[i];
    }
    pwszDest[n] = 0;
    *piLen = static_cast<RTS_I32>(n);
    return n < srcLen ? ERR_BUFFERSIZE : ERR_OK;
}

// ---- INI text rules --------------------------------------------------------

struct Section {
    RTS_SIZE bodyStart;  // just behind "]"
    RTS_SIZE end;        // next "[" outside a comment, or the end of the text
};

struct KeyLine {
    RTS_SIZE lineStart;
    RTS_SIZE lineNext;  // start of the following line (line end included)
    RTS_SIZE valueStart;
    RTS_SIZE valueEnd;
};

// ";" starts a comment that runs to the line end, so a "[" behind it is text.
bool FindSection(const char* p, RTS_SIZE n, const char* pszCmp, RTS_SIZE cmpLen, Section* pSec) {
    bool bComment = false;
    RTS_SIZE i = 0;
    for (; i < n; ++i) {
        char c = p[i];
        if (IsLineEnd(c)) {
            bComment = false;
        } else if (c == ';') {
            bComment = true;
        } else if (c == '[' && !bComment && cmpLen + 2 <= n - i && p[i + 1 + cmpLen] == ']' &&
                   EqualNoCase(p + i + 1, pszCmp, cmpLen)) {
            break;
        }
    }
    if (i >= n) {
        return false;
    }
    pSec->bodyStart = i + cmpLen + 2;
    bComment = false;
    RTS_SIZE j = pSec->bodyStart;
    for (; j < n; ++j) {
        char c = p[j];
        if (IsLineEnd(c)) {
            bComment = false;
        } else if (c == ';') {
            bComment = true;
        } else if (c == '[' && !bComment) {
            break;
        }
    }
    pSec->end = j;
    return true;
}

RTS_SIZE LineEnd(const char* p, RTS_SIZE n, RTS_SIZE i) {
    while (i < n && !IsLineEnd(p[i])) {
        ++i;
    }
    return i;
}

RTS_SIZE SkipLineEnd(const char* p, RTS_SIZE n, RTS_SIZE i) {
    if (i < n && p[i] == '\r') {
        ++i;
        if (i < n && p[i] == '\n') {
            ++i;
        }
    } else if (i < n && p[i] == '\n') {
        ++i;
    }
    return i;
}

// A key line: blanks, the key (any case), blanks, "=". The value starts
// behind blanks and quotes and ends before a line end, a quote or ";", and
// before the "[" of a next section standing on the same line, so that an
// edit of the value never touches that header.
bool FindKey(const char* p, RTS_SIZE n, const Section& sec, const char* pszKey, RTS_SIZE keyLen,
             KeyLine* pKey) {
    RTS_SIZE lineStart = sec.bodyStart;
    while (lineStart < sec.end) {
        RTS_SIZE lineEnd = LineEnd(p, n, lineStart);
        RTS_SIZE stop = lineEnd < sec.end ? lineEnd : sec.end;
        RTS_SIZE j = lineStart;
        while (j < stop && IsBlank(p[j])) {
            ++j;
        }
        if (j < stop && p[j] != ';' && keyLen <= stop - j && EqualNoCase(p + j, pszKey, keyLen)) {
            RTS_SIZE k = j + keyLen;
            while (k < stop && IsBlank(p[k])) {
                ++k;
            }
            if (k < stop && p[k] == '=') {
                RTS_SIZE v = k + 1;
                while (v < stop && (IsBlank(p[v]) || p[v] == '"')) {
                    ++v;
                }
                RTS_SIZE e = v;
                while (e < stop && p[e] != '"' && p[e] != ';') {
                    ++e;
                }
                while (e > v && IsBlank(p[e - 1])) {
                    --e;
                }
                pKey->lineStart = lineStart;
                pKey->lineNext = stop == lineEnd ? SkipLineEnd(p, n, lineEnd) : stop;
                pKey->valueStart = v;
                pKey->valueEnd = e;
                return true;
            }
        }
        RTS_SIZE next = SkipLineEnd(p, n, lineEnd);
        if (next == lineStart) {
            break;
        }
        lineStart = next;
    }
    return false;
}

bool FilterPasses(const INI_SERDEV* pFile, const char* pszCmp, RTS_SIZE cmpLen) {
    if (pFile->szFilter[0] == '\0') {
        return true;
    }
    Section sec;
    // The filter is a text of "[name]" items, the same shape as headers.
    return FindSection(pFile->szFilter, strnlen(pFile->szFilter, INI_FILTER_LEN), pszCmp, cmpLen, &sec);
}

bool HasSection(const INI_SERDEV* pFile, const char* pszCmp, RTS_SIZE cmpLen, Section* pSec) {
    return pFile->Cache.pbyFile != nullptr &&
           FindSection(pFile->Cache.pbyFile, pFile->Cache.lSize, pszCmp, cmpLen, pSec);
}

struct Location {
    INI_SERDEV* pFile;
    Section sec;
    KeyLine key;
};

// The first open file whose section for the component passes its filter and
// holds the key. Caller holds the pool lock.
bool LocateKey(const char* pszCmp, RTS_SIZE cmpLen, const char* pszKey, RTS_SIZE keyLen, Location* pLoc) {
    for (INI_SERDEV* pFile : s_files) {
        Section sec;
        if (!FilterPasses(pFile, pszCmp, cmpLen) || !HasSection(pFile, pszCmp, cmpLen, &sec)) {
            continue;
        }
        KeyLine key;
        if (FindKey(pFile->Cache.pbyFile, pFile->Cache.lSize, sec, pszKey, keyLen, &key)) {
            pLoc->pFile = pFile;
            pLoc->sec = sec;
            pLoc->key = key;
            return true;
        }
    }
    return false;
}

// Replaces eraseLen bytes at pos of the memory copy with the inserted text.
RTS_RESULT CacheReplace(INI_SERDEV* pFile, RTS_SIZE pos, RTS_SIZE eraseLen, const char* pIns,
                        RTS_SIZE insLen) {
    INI_CACHE& cache = pFile->Cache;
    RTS_SIZE size = cache.pbyFile != nullptr ? cache.lSize : 0;
    if (pos > size || eraseLen > size - pos) {
        return ERR_PARAMETER;
    }
    RTS_SIZE newSize = size - eraseLen + insLen;
    char* pNew = static_cast<char*>(std::malloc(newSize + 2));
    if (pNew == nullptr) {
        return ERR_NOMEMORY;
    }
    if (pos > 0) {
        memcpy(pNew, cache.pbyFile, pos);
    }
    if (insLen > 0) {
        memcpy(pNew + pos, pIns, insLen);
    }
    RTS_SIZE tail = size - pos - eraseLen;
    if (tail > 0) {
        memcpy(pNew + pos + insLen, cache.pbyFile + pos + eraseLen, tail);
    }
    pNew[newSize] = '\0';
    pNew[newSize + 1] = '\0';
    std::free(cache.pbyFile);
    cache.pbyFile = pNew;
    cache.lSize = newSize;
    return ERR_OK;
}

// Line breaks that leave one empty line between the text so far and a new
// section header.
std::string SectionSeparator(const INI_SERDEV* pFile) {
    RTS_SIZE n = pFile->Cache.lSize;
    const char* p = pFile->Cache.pbyFile;
    if (p == nullptr || n == 0) {
        return std::string();
    }
    // Count the line breaks that end the text (LF, CR LF or a lone CR each).
    int breaks = 0;
    RTS_SIZE i = n;
    while (i > 0 && IsLineEnd(p[i - 1]) && breaks < 2) {
        if (p[i - 1] == '\n' && i >= 2 && p[i - 2] == '\r') {
            --i;
        }
        --i;
        ++breaks;
    }
    std::string text;
    for (; breaks < 2; ++breaks) {
        text += s_delimiter;
    }
    return text;
}

RTS_RESULT AppendSection(INI_SERDEV* pFile, const char* pszCmp, RTS_SIZE cmpLen) {
    std::string text = SectionSeparator(pFile);
    text += '[';
    text.append(pszCmp, cmpLen);
    text += ']';
    text += s_delimiter;
    return CacheReplace(pFile, pFile->Cache.lSize, 0, text.data(), text.size());
}

// New key lines go behind the section's last non-empty line.
RTS_RESULT AppendKey(INI_SERDEV* pFile, const char* pszCmp, RTS_SIZE cmpLen, const char* pszKey,
                     RTS_SIZE keyLen, const char* pValue, RTS_SIZE valueLen) {
    Section sec;
    if (!HasSection(pFile, pszCmp, cmpLen, &sec)) {
        RTS_RESULT r = AppendSection(pFile, pszCmp, cmpLen);
        if (r != ERR_OK) {
            return r;
        }
        if (!HasSection(pFile, pszCmp, cmpLen, &sec)) {
            return ERR_FAILED;
        }
    }
    const char* p = pFile->Cache.pbyFile;
    RTS_SIZE n = pFile->Cache.lSize;
    RTS_SIZE last = sec.bodyStart - 1;  // the header's "]"
    for (RTS_SIZE i = sec.bodyStart; i < sec.end; ++i) {
        if (!IsLineEnd(p[i]) && !IsBlank(p[i])) {
            last = i;
        }
    }
    std::string line;
    RTS_SIZE pos = LineEnd(p, n, last);
    if (pos > sec.end) {
        // The next header stands on the same line: break the line before it.
        pos = sec.end;
        line += s_delimiter;
    } else if (pos >= n) {
        line += s_delimiter;
    } else {
        pos = SkipLineEnd(p, n, pos);
    }
    line.append(pszKey, keyLen);
    line += '=';
    line.append(pValue, valueLen);
    line += s_delimiter;
    return CacheReplace(pFile, pos, 0, line.data(), line.size());
}

// ---- Files -----------------------------------------------------------------

bool HasPathSeparator(const char* pszName) {
    return strchr(pszName, '/') != nullptr;
}

std::string DirectoryOf(const char* pszPath) {
    const char* pSlash = strrchr(pszPath, '/');
    return pSlash == nullptr ? std::string()
                             : std::string(pszPath, static_cast<RTS_SIZE>(pSlash - pszPath + 1));
}

// A relative name without any directory names a file beside the master.
bool BesideMaster(const INI_SERDEV* pFile, const char* pszName, std::string* pPath) {
    if (s_pIniMaster == nullptr || s_pIniMaster == pFile || HasPathSeparator(pszName)) {
        return false;
    }
    std::string dir = DirectoryOf(s_pIniMaster->szFileName);
    if (dir.empty()) {
        return false;
    }
    *pPath = dir + pszName;
    return pPath->size() < INI_FILENAME_LEN;
}

bool Exists(const std::string& path) {
    return SysFileExists(path.c_str()) == ERR_OK;
}

// The file name with ".cfg" appended when its last part has no extension;
// refused (never cut) when that does not fit a record's name field.
RTS_RESULT NormaliseName(const char* pszName, std::string* pName) {
    if (pszName == nullptr || pszName[0] == '\0') {
        return ERR_PARAMETER;
    }
    RTS_SIZE n = strnlen(pszName, INI_FILENAME_LEN);
    if (n >= INI_FILENAME_LEN) {
        return ERR_PARAMETER;
    }
    std::string name(pszName, n);
    const char* pszBase = strrchr(pszName, '/');
    pszBase = pszBase == nullptr ? pszName : pszBase + 1;
    if (strchr(pszBase, '.') == nullptr) {
        name += ".cfg";
    }
    if (name.size() >= INI_FILENAME_LEN) {
        return ERR_PARAMETER;
    }
    *pName = name;
    return ERR_OK;
}

// Writes the memory copy to name + "_", pushes it to the disk, then replaces
// the file by it. A crash leaves the old file or the complete "_" file, and
// loading prefers the file and recovers a lone "_" file.
RTS_RESULT WriteBack(INI_SERDEV* pFile) {
    std::string tmp = std::string(pFile->szFileName) + "_";
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h = SysFileOpen(tmp.c_str(), AM_WRITE, &r);
    if (h == RTS_INVALID_HANDLE) {
        pFile->bPrepareToWrite = 1;
        return ERR_NO_ACCESS_RIGHTS;
    }
    RTS_SIZE written = SysFileWrite(h, pFile->Cache.pbyFile, pFile->Cache.lSize, &r);
    if (r == ERR_OK && written != pFile->Cache.lSize) {
        r = ERR_FAILED;
    }
    if (r == ERR_OK) {
        r = SysFileFlush(h);
    }
    RTS_RESULT rClose = SysFileClose(h);
    if (r == ERR_OK) {
        r = rClose;
    }
    if (r != ERR_OK) {
        SysFileDelete(tmp.c_str());
        pFile->bPrepareToWrite = 1;
        return r;
    }
    r = SysFileDelete(pFile->szFileName);
    if (r != ERR_OK && r != ERR_NO_OBJECT) {
        pFile->bPrepareToWrite = 1;
        return r;
    }
    r = SysFileRename(tmp.c_str(), pFile->szFileName);
    if (r != ERR_OK) {
        pFile->bPrepareToWrite = 1;
        return r;
    }
    pFile->bPrepareToWrite = 0;
    return ERR_OK;
}

void ReleaseRecord(INI_SERDEV* pFile) {
    if (pFile->hFile != RTS_INVALID_HANDLE && pFile->hFile != nullptr) {
        SysFileClose(pFile->hFile);
    }
    if (pFile->hSem != RTS_INVALID_HANDLE && pFile->hSem != nullptr) {
        SysSemDelete(pFile->hSem);
    }
    std::free(pFile->Cache.pbyFile);
    pFile->Cache.pbyFile = nullptr;
    pFile->Cache.lSize = 0;
    PoolPutRecord(pFile);
}

RTS_RESULT CreateEmpty(INI_SERDEV* pFile, ACCESS_MODE am) {
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h = SysFileOpen(pFile->szFileName, am, &r);
    if (h == RTS_INVALID_HANDLE) {
        return r != ERR_OK ? r : ERR_FAILED;
    }
    SysFileClose(h);
    char* pEmpty = static_cast<char*>(std::calloc(1, 2));
    if (pEmpty == nullptr) {
        return ERR_NOMEMORY;
    }
    std::free(pFile->Cache.pbyFile);
    pFile->Cache.pbyFile = pEmpty;
    pFile->Cache.lSize = 0;
    return ERR_OK;
}

// Opening for appending creates nothing new (the file exists) but fails on a
// file or folder the process may not write.
void TestWriteAccess(INI_SERDEV* pFile) {
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h = SysFileOpen(pFile->szFileName, AM_APPEND, &r);
    if (h == RTS_INVALID_HANDLE) {
        pFile->bWriteProtected = 1;
        return;
    }
    SysFileClose(h);
}

// Reads a value's text without a length limit; caller holds the pool lock.
bool GetValueText(const char* pszCmp, const char* pszKey, std::string* pValue) {
    RTS_SIZE cmpLen = 0;
    RTS_SIZE keyLen = 0;
    Location loc;
    if (CheckNames(pszCmp, pszKey, &cmpLen, &keyLen) != ERR_OK ||
        !LocateKey(pszCmp, cmpLen, pszKey, keyLen, &loc)) {
        return false;
    }
    pValue->assign(loc.pFile->Cache.pbyFile + loc.key.valueStart, loc.key.valueEnd - loc.key.valueStart);
    return true;
}

std::string Trim(const std::string& text) {
    RTS_SIZE b = 0;
    RTS_SIZE e = text.size();
    while (b < e && IsBlank(text[b])) {
        ++b;
    }
    while (e > b && IsBlank(text[e - 1])) {
        --e;
    }
    return text.substr(b, e - b);
}

// "FileReference.<n>" = file[, section, section ...]: opens the further file
// and limits it to the listed sections.
void OpenFileReference(const std::string& value, int n) {
    RTS_SIZE comma = value.find(',');
    std::string name = Trim(value.substr(0, comma));
    if (name.empty()) {
        return;
    }
    RTS_RESULT r = ERR_OK;
    INI_SERDEV* pFile = IniOpen(name.c_str(), INI_OPEN_CREATE, &r);
    if (pFile == nullptr || pFile == s_pIniMaster) {
        return;
    }
    char szKey[64];
    snprintf(szKey, sizeof(szKey), "%s.%d.%s", "FileReference", n, "IsWriteProtected");
    RTS_I32 bProtected = 0;
    SettgBeGetIntValue(s_szCmpName, szKey, &bProtected, 0);
    pFile->bWriteProtected = bProtected != 0 ? 1 : 0;
    if (!pFile->bWriteProtected) {
        TestWriteAccess(pFile);
    }
    bool bAdded = false;
    while (comma != std::string::npos) {
        RTS_SIZE next = value.find(',', comma + 1);
        std::string section =
            Trim(value.substr(comma + 1, next == std::string::npos ? next : next - comma - 1));
        comma = next;
        RTS_SIZE secLen = 0;
        if (section.empty() || CheckName(section.c_str(), false, &secLen) != ERR_OK) {
            continue;
        }
        Section sec;
        if (!HasSection(pFile, section.c_str(), secLen, &sec) && !pFile->bWriteProtected &&
            AppendSection(pFile, section.c_str(), secLen) == ERR_OK) {
            bAdded = true;
        }
        // An item that does not fit the filter is left out whole: a cut item
        // would name another section.
        RTS_SIZE used = strnlen(pFile->szFilter, INI_FILTER_LEN);
        bool bListed = used > 0 && FilterPasses(pFile, section.c_str(), secLen);
        if (!bListed && used + secLen + 2 < INI_FILTER_LEN) {
            std::string item = "[" + section + "]";
            memcpy(pFile->szFilter + used, item.c_str(), item.size() + 1);
        }
    }
    if (bAdded) {
        IniUpdateFile(pFile);
    }
}

}  // namespace

// ---- Ini* ------------------------------------------------------------------

RTS_RESULT IniUpdateCache(INI_SERDEV* pFile) {
    if (pFile == nullptr) {
        return ERR_PARAMETER;
    }
    if (pFile->hFile != RTS_INVALID_HANDLE && pFile->hFile != nullptr) {
        SysFileClose(pFile->hFile);
        pFile->hFile = RTS_INVALID_HANDLE;
    }
    std::string path = pFile->szFileName;
    RTS_RESULT r = ERR_OK;
    RTS_SIZE size = SysFileGetSize(path.c_str(), &r);
    if (size == 0) {
        std::string alt;
        if (BesideMaster(pFile, pFile->szFileName, &alt) && (Exists(alt) || Exists(alt + "_"))) {
            path = alt;
            memcpy(pFile->szFileName, alt.c_str(), alt.size() + 1);
        }
    }
    if (!Exists(path)) {
        // Recovery of an interrupted write: only the complete "_" file is left.
        std::string tmp = path + "_";
        if (!Exists(tmp)) {
            return ERR_NO_OBJECT;
        }
        r = SysFileRename(tmp.c_str(), path.c_str());
        if (r != ERR_OK) {
            return r;
        }
    }
    size = SysFileGetSize(path.c_str(), &r);
    if (r != ERR_OK) {
        return r;
    }
    char* pBuffer = static_cast<char*>(std::malloc(size + 2));
    if (pBuffer == nullptr) {
        return ERR_NOMEMORY;
    }
    RTS_HANDLE h = SysFileOpen(path.c_str(), AM_READ, &r);
    if (h == RTS_INVALID_HANDLE) {
        std::free(pBuffer);
        return r != ERR_OK ? r : ERR_FAILED;
    }
    RTS_SIZE read = SysFileRead(h, pBuffer, size, &r);
    SysFileClose(h);
    if (r != ERR_OK) {
        std::free(pBuffer);
        return r;
    }
    pBuffer[read] = '\0';
    pBuffer[read + 1] = '\0';
    std::free(pFile->Cache.pbyFile);
    pFile->Cache.pbyFile = pBuffer;
    pFile->Cache.lSize = read;
    return ERR_OK;
}

RTS_RESULT IniUpdateFile(INI_SERDEV* pFile) {
    if (pFile == nullptr || pFile->Cache.pbyFile == nullptr) {
        return ERR_PARAMETER;
    }
    if (pFile->bWriteProtected) {
        return ERR_NO_ACCESS_RIGHTS;
    }
    if (s_i32AccessCounter.load() > 0) {
        pFile->bPrepareToWrite = 1;
        return ERR_OK;
    }
    return WriteBack(pFile);
}

INI_SERDEV* IniOpen(const char* pszFileName, RTS_UI32 ulOptions, RTS_RESULT* pResult) {
    RTS_RESULT dummy = ERR_OK;
    RTS_RESULT& r = pResult != nullptr ? *pResult : dummy;
    std::string name;
    r = NormaliseName(pszFileName, &name);
    if (r != ERR_OK) {
        return nullptr;
    }
    if (PoolCreate() != ERR_OK) {
        r = ERR_NOTINITIALIZED;
        return nullptr;
    }
    PoolLockGuard lock;
    std::string alt;
    bool bAlt = BesideMaster(nullptr, name.c_str(), &alt);
    for (INI_SERDEV* pOpen : s_files) {
        if (name == pOpen->szFileName || (bAlt && alt == pOpen->szFileName)) {
            r = ERR_OK;
            return pOpen;
        }
    }
    INI_SERDEV* pFile = PoolGetRecord(&r);
    if (pFile == nullptr) {
        r = ERR_NOMEMORY;
        return nullptr;
    }
    memset(pFile, 0, sizeof(*pFile));
    pFile->hFile = RTS_INVALID_HANDLE;
    pFile->hSem = SysSemCreate(&r);
    if (pFile->hSem == RTS_INVALID_HANDLE) {
        PoolPutRecord(pFile);
        r = ERR_NOMEMORY;
        return nullptr;
    }
    memcpy(pFile->szFileName, name.c_str(), name.size() + 1);
    if ((ulOptions & INI_OPEN_DELETE) != 0) {
        SysFileDelete(pFile->szFileName);
    }
    r = IniUpdateCache(pFile);
    if (r == ERR_NO_OBJECT) {
        if (bAlt && (ulOptions & (INI_OPEN_CREATE | INI_OPEN_APPEND)) != 0) {
            // Files named without a folder are created beside the master.
            memcpy(pFile->szFileName, alt.c_str(), alt.size() + 1);
        }
        if ((ulOptions & INI_OPEN_CREATE) != 0) {
            r = CreateEmpty(pFile, AM_WRITE);
        } else if ((ulOptions & INI_OPEN_APPEND) != 0) {
            r = CreateEmpty(pFile, AM_APPEND);
        } else {
            r = IniUpdateFile(pFile);
        }
    }
    if (r == ERR_OK) {
        try {
            s_files.push_back(pFile);
        } catch (...) {
            r = ERR_NOMEMORY;
        }
    }
    if (r != ERR_OK) {
        ReleaseRecord(pFile);
        return nullptr;
    }
    return pFile;
}

RTS_RESULT IniClose(INI_SERDEV* pFile) {
    if (pFile == nullptr) {
        return ERR_PARAMETER;
    }
    PoolLockGuard lock;
    for (auto it = s_files.begin(); it != s_files.end(); ++it) {
        if (*it == pFile) {
            s_files.erase(it);
            if (pFile == s_pIniMaster) {
                s_pIniMaster = nullptr;
            }
            ReleaseRecord(pFile);
            return ERR_OK;
        }
    }
    return ERR_NO_OBJECT;
}

RTS_RESULT SettgBeImportFunctions(PF_GET_API pfGetApi) {
    auto importAll = [pfGetApi]() -> RTS_RESULT {
        KL_IMPORT(pfGetApi, MemPoolCreateStatic);
        KL_IMPORT(pfGetApi, MemPoolGetBlock2);
        KL_IMPORT(pfGetApi, MemPoolPutBlock);
        KL_IMPORT(pfGetApi, MemPoolLock);
        KL_IMPORT(pfGetApi, MemPoolUnlock);
        KL_IMPORT(pfGetApi, MemPoolDelete);
        return ERR_OK;
    };
    // The pool of an open database must be released by the functions that
    // made it, so the set is kept while a pool exists.
    if (s_bPoolCreated) {
        return ERR_OK;
    }
    RTS_RESULT r = importAll();
    if (r != ERR_OK) {
        pfMemPoolCreateStatic = nullptr;
        pfMemPoolGetBlock2 = nullptr;
        pfMemPoolPutBlock = nullptr;
        pfMemPoolLock = nullptr;
        pfMemPoolUnlock = nullptr;
        pfMemPoolDelete = nullptr;
    }
    return r;
}

// ---- SettgBe* --------------------------------------------------------------

namespace {

// Opens the master (from the template when it is missing) and the files it
// references. Caller holds the pool lock.
RTS_RESULT OpenDatabase(const char* pszMasterFile) {
    RTS_RESULT r = ERR_OK;
    INI_SERDEV* pMaster = IniOpen(pszMasterFile, 0, &r);
    if (pMaster == nullptr) {
        std::string derived(pszMasterFile);
        if (!ContainsNoCase(pszMasterFile, ".ini") && !ContainsNoCase(pszMasterFile, ".cfg")) {
            derived += ".cfg";
        }
        if (derived.size() >= INI_FILENAME_LEN) {
            return ERR_PARAMETER;
        }
        // The template is looked for beside the settings file first.
        std::string beside = DirectoryOf(derived.c_str()) + "Master.cfg";
        RTS_SIZE copied = 0;
        if (SysFileCopy(derived.c_str(), beside.c_str(), &copied) != ERR_OK) {
            SysFileCopy(derived.c_str(), "Master.cfg", &copied);
        }
        pMaster = IniOpen(derived.c_str(), 0, &r);
        if (pMaster == nullptr) {
            return ERR_NO_OBJECT;
        }
    }
    s_pIniMaster = pMaster;
    // The master leads the search order even when files were open before it.
    for (auto it = s_files.begin(); it != s_files.end(); ++it) {
        if (*it == pMaster) {
            s_files.erase(it);
            break;
        }
    }
    s_files.insert(s_files.begin(), pMaster);

    RTS_I32 bProtected = 0;
    SettgBeGetIntValue(s_szCmpName, "IsWriteProtected", &bProtected, 0);
    pMaster->bWriteProtected = bProtected != 0 ? 1 : 0;
    if (!pMaster->bWriteProtected) {
        TestWriteAccess(pMaster);
    }
    for (int n = 0;; ++n) {
        char szKey[32];
        snprintf(szKey, sizeof(szKey), "%s.%d", "FileReference", n);
        std::string value;
        if (!GetValueText(s_szCmpName, szKey, &value)) {
            if (n > 0) {
                break;
            }
            continue;
        }
        OpenFileReference(value, n);
    }
    return ERR_OK;
}

}  // namespace

RTS_RESULT SettgBeInit(const char* pszMasterFile) {
    std::string name;
    if (NormaliseName(pszMasterFile, &name) != ERR_OK) {
        return ERR_PARAMETER;
    }
    if (PoolCreate() != ERR_OK) {
        return ERR_NOTINITIALIZED;
    }
    RTS_RESULT r = ERR_OK;
    bool bEmpty = false;
    {
        PoolLockGuard lock;
        try {
            r = OpenDatabase(pszMasterFile);
        } catch (...) {
            r = ERR_NOMEMORY;
        }
        bEmpty = s_files.empty();
    }
    if (r != ERR_OK && bEmpty) {
        PoolDelete();
    }
    return r;
}

RTS_RESULT SettgBeExit(void) {
    if (!s_bPoolCreated) {
        return ERR_OK;
    }
    {
        PoolLockGuard lock;
        // Changes still waiting for the end of an update bracket are not lost.
        for (INI_SERDEV* pFile : s_files) {
            if (pFile->bPrepareToWrite && !pFile->bWriteProtected && pFile->Cache.pbyFile != nullptr) {
                WriteBack(pFile);
            }
        }
        while (!s_files.empty()) {
            INI_SERDEV* pFile = s_files.back();
            s_files.pop_back();
            ReleaseRecord(pFile);
        }
        s_pIniMaster = nullptr;
    }
    PoolDelete();
    return ERR_OK;
}

RTS_RESULT SettgBeGetDatabaseName(char* pszName, RTS_I32 iLen) {
    if (pszName == nullptr) {
        return ERR_PARAMETER;
    }
    if (iLen <= 0) {
        return ERR_BUFFERSIZE;
    }
    PoolLockGuard lock;
    if (s_pIniMaster == nullptr) {
        pszName[0] = '\0';
        return ERR_NOTINITIALIZED;
    }
    return KlStrCopy(pszName, static_cast<RTS_SIZE>(iLen), s_pIniMaster->szFileName);
}

RTS_RESULT SettgBeBeginUpdate(void) {
    s_i32AccessCounter.fetch_add(1);
    return ERR_OK;
}

RTS_RESULT SettgBeEndUpdate(void) {
    PoolLockGuard lock;
    RTS_I32 current = s_i32AccessCounter.load();
    do {
        if (current <= 0) {
            return ERR_NOTINITIALIZED;
        }
    } while (!s_i32AccessCounter.compare_exchange_weak(current, current - 1));
    if (current - 1 > 0) {
        return ERR_PENDING;
    }
    return SettgBeStoreDatabase();
}

RTS_RESULT SettgBeUpdateCache(void) {
    if (!s_bPoolCreated) {
        return ERR_NOTINITIALIZED;
    }
    PoolLockGuard lock;
    if (s_i32AccessCounter.load() > 0) {
        return ERR_OK;
    }
    RTS_RESULT result = ERR_OK;
    for (INI_SERDEV* pFile : s_files) {
        SysSemGuard fileLock(pFile->hSem);
        RTS_RESULT r = IniUpdateCache(pFile);
        if (r != ERR_OK && (r != ERR_NO_OBJECT || pFile == s_pIniMaster) && result == ERR_OK) {
            result = r;
        }
    }
    return result;
}

RTS_RESULT SettgBeStoreDatabase(void) {
    PoolLockGuard lock;
    RTS_RESULT result = ERR_OK;
    // Only files changed since their last write need the disk.
    for (INI_SERDEV* pFile : s_files) {
        if (!pFile->bPrepareToWrite) {
            continue;
        }
        RTS_RESULT r = IniUpdateFile(pFile);
        if (r != ERR_OK && result == ERR_OK) {
            result = r;
        }
    }
    return result;
}

RTS_RESULT SettgBeGetStringValue(const char* pszComponent, const char* pszKey, char* pszValue, RTS_I32* piLen,
                                 const char* pszDefault) {
    if (pszValue == nullptr || piLen == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_SIZE cmpLen = 0;
    RTS_SIZE keyLen = 0;
    RTS_RESULT r = s_bPoolCreated ? CheckNames(pszComponent, pszKey, &cmpLen, &keyLen) : ERR_NOTINITIALIZED;
    if (r == ERR_OK) {
        PoolLockGuard lock;
        Location loc;
        if (LocateKey(pszComponent, cmpLen, pszKey, keyLen, &loc)) {
            return CopyText(pszValue, piLen, loc.pFile->Cache.pbyFile + loc.key.valueStart,
                            loc.key.valueEnd - loc.key.valueStart);
        }
        r = ERR_FAILED;
    }
    // Callers use the value even on failure: it holds the default then.
    if (pszDefault != nullptr) {
        CopyText(pszValue, piLen, pszDefault, strlen(pszDefault));
    } else {
        CopyText(pszValue, piLen, "", 0);
    }
    return r;
}

RTS_RESULT SettgBeGetIntValue(const char* pszComponent, const char* pszKey, RTS_I32* piValue,
                              RTS_I32 iDefault) {
    if (piValue == nullptr) {
        return ERR_PARAMETER;
    }
    char szText[SETTG_MAX_INT_TEXT + 1];
    RTS_I32 len = static_cast<RTS_I32>(sizeof(szText));
    RTS_RESULT r = SettgBeGetStringValue(pszComponent, pszKey, szText, &len, nullptr);
    if (r != ERR_OK && r != ERR_BUFFERSIZE) {
        *piValue = iDefault;
        return r;
    }
    // "0x" anywhere makes the text hexadecimal; otherwise decimal, so that a
    // leading zero does not mean octal.
    if (strstr(szText, "0x") != nullptr) {
        *piValue = static_cast<RTS_I32>(static_cast<RTS_UI32>(strtoull(szText, nullptr, 16)));
    } else {
        *piValue = static_cast<RTS_I32>(static_cast<RTS_UI32>(strtoll(szText, nullptr, 10)));
    }
    return ERR_OK;
}

namespace {

// Caller holds the pool lock; the value has been checked.
RTS_RESULT SetValue(const char* pszCmp, RTS_SIZE cmpLen, const char* pszKey, RTS_SIZE keyLen,
                    const char* pValue, RTS_SIZE valueLen) {
    Location loc;
    INI_SERDEV* pFile = nullptr;
    bool bFound = LocateKey(pszCmp, cmpLen, pszKey, keyLen, &loc);
    if (bFound) {
        pFile = loc.pFile;
        if (pFile->bWriteProtected) {
            return ERR_NO_ACCESS_RIGHTS;
        }
    } else {
        Section sec;
        for (INI_SERDEV* pCand : s_files) {
            if (!pCand->bWriteProtected && FilterPasses(pCand, pszCmp, cmpLen) &&
                HasSection(pCand, pszCmp, cmpLen, &sec)) {
                pFile = pCand;
                break;
            }
        }
        for (RTS_SIZE i = 0; pFile == nullptr && i < s_files.size(); ++i) {
            if (!s_files[i]->bWriteProtected && FilterPasses(s_files[i], pszCmp, cmpLen)) {
                pFile = s_files[i];
            }
        }
        if (pFile == nullptr) {
            return ERR_NO_ACCESS_RIGHTS;
        }
    }
    RTS_RESULT r = ERR_OK;
    {
        SysSemGuard fileLock(pFile->hSem);
        if (bFound) {
            r = CacheReplace(pFile, loc.key.valueStart, loc.key.valueEnd - loc.key.valueStart, pValue,
                             valueLen);
        } else {
            r = AppendKey(pFile, pszCmp, cmpLen, pszKey, keyLen, pValue, valueLen);
        }
    }
    return r == ERR_OK ? IniUpdateFile(pFile) : r;
}

RTS_RESULT SetCheckedText(const char* pszComponent, const char* pszKey, const std::string& text) {
    if (!s_bPoolCreated) {
        return ERR_NOTINITIALIZED;
    }
    RTS_SIZE cmpLen = 0;
    RTS_SIZE keyLen = 0;
    RTS_RESULT r = CheckNames(pszComponent, pszKey, &cmpLen, &keyLen);
    if (r != ERR_OK) {
        return r;
    }
    PoolLockGuard lock;
    return SetValue(pszComponent, cmpLen, pszKey, keyLen, text.data(), text.size());
}

// Wide texts: a printable character as itself plus "\00", any other as
// "\lo\hi". Characters the reader would cut at or take for the escape, and a
// leading blank the reader would skip, take the escaped form as well.
std::string EncodeWide(const RTS_WCHAR* pwsz, RTS_SIZE len) {
    std::string text;
    text.reserve(len * 3);
    for (RTS_SIZE i = 0; i < len; ++i) {
        RTS_WCHAR c = pwsz[i];
        bool bLiteral = c >= 32 && c <= 126 && c != ';' && c != '"' && c != '[' && c != ']' && c != '\\' &&
                        !(i == 0 && c == ' ');
        if (bLiteral) {
            text += static_cast<char>(c);
            text += "\\00";
        } else {
            text += '\\';
            text += s_szHex[(c >> 4) & 0xF];
            text += s_szHex[c & 0xF];
            text += '\\';
            text += s_szHex[(c >> 12) & 0xF];
            text += s_szHex[(c >> 8) & 0xF];
        }
    }
    return text;
}

// Decodes at most max characters; lenient with hand-written texts (a plain
// character without "\00", an escape without its high byte).
RTS_SIZE DecodeWide(const char* p, RTS_SIZE n, RTS_WCHAR* pOut, RTS_SIZE max, bool* pbMore) {
    RTS_SIZE i = 0;
    RTS_SIZE count = 0;
    auto hexPair = [&](RTS_SIZE at, int* pValue) {
        if (at + 3 > n || p[at] != '\\') {
            return false;
        }
        int hi = HexDigit(p[at + 1]);
        int lo = HexDigit(p[at + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        *pValue = hi * 16 + lo;
        return true;
    };
    *pbMore = false;
    while (i < n) {
        int lo = 0;
        int hi = 0;
        RTS_WCHAR c = 0;
        if (hexPair(i, &lo)) {
            i += 3;
            if (hexPair(i, &hi)) {
                i += 3;
            }
            c = static_cast<RTS_WCHAR>(lo | (hi << 8));
        } else {
            c = static_cast<unsigned char>(p[i]);
            ++i;
            if (hexPair(i, &hi) && hi == 0) {
                i += 3;
            }
        }
        if (count >= max) {
            *pbMore = true;
            break;
        }
        pOut[count++] = c;
    }
    return count;
}

}  // namespace

RTS_RESULT SettgBeSetStringValue(const char* pszComponent, const char* pszKey, const char* pszValue,
                                 RTS_I32 iLen) {
    if (!s_bPoolCreated) {
        return ERR_NOTINITIALIZED;
    }
    if (pszValue == nullptr || iLen < 0) {
        return ERR_PARAMETER;
    }
    RTS_SIZE len = strnlen(pszValue, static_cast<RTS_SIZE>(iLen));
    RTS_RESULT r = CheckValue(pszValue, len);
    if (r != ERR_OK) {
        return r;
    }
    try {
        return SetCheckedText(pszComponent, pszKey, std::string(pszValue, len));
    } catch (...) {
        return ERR_NOMEMORY;
    }
}

RTS_RESULT SettgBeGetWStringValue(const char* pszComponent, const char* pszKey, RTS_WCHAR* pwszValue,
                                  RTS_I32* piLen, const RTS_WCHAR* pwszDefault) {
    if (pwszValue == nullptr || piLen == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_SIZE cmpLen = 0;
    RTS_SIZE keyLen = 0;
    RTS_RESULT r = s_bPoolCreated ? CheckNames(pszComponent, pszKey, &cmpLen, &keyLen) : ERR_NOTINITIALIZED;
    if (r == ERR_OK) {
        PoolLockGuard lock;
        Location loc;
        if (LocateKey(pszComponent, cmpLen, pszKey, keyLen, &loc)) {
            if (*piLen <= 0) {
                *piLen = 0;
                return ERR_BUFFERSIZE;
            }
            bool bMore = false;
            RTS_SIZE n = DecodeWide(loc.pFile->Cache.pbyFile + loc.key.valueStart,
                                    loc.key.valueEnd - loc.key.valueStart, pwszValue,
                                    static_cast<RTS_SIZE>(*piLen) - 1u, &bMore);
            pwszValue[n] = 0;
            *piLen = static_cast<RTS_I32>(n);
            return bMore ? ERR_BUFFERSIZE : ERR_OK;
        }
        r = ERR_FAILED;
    }
    static const RTS_WCHAR s_wszEmpty[1] = {0};
    const RTS_WCHAR* pDefault = pwszDefault != nullptr ? pwszDefault : s_wszEmpty;
    CopyWide(pwszValue, piLen, pDefault, WideLen(pDefault, static_cast<RTS_SIZE>(-1)));
    return r;
}

RTS_RESULT SettgBeSetWStringValue(const char* pszComponent, const char* pszKey, const RTS_WCHAR* pwszValue,
                                  RTS_I32 iLen) {
    if (!s_bPoolCreated) {
        return ERR_NOTINITIALIZED;
    }
    if (pwszValue == nullptr || iLen < 0) {
        return ERR_PARAMETER;
    }
    try {
        return SetCheckedText(pszComponent, pszKey,
                              EncodeWide(pwszValue, WideLen(pwszValue, static_cast<RTS_SIZE>(iLen))));
    } catch (...) {
        return ERR_NOMEMORY;
    }
}

RTS_RESULT SettgBeGetBinValue(const char* pszComponent, const char* pszKey, RTS_UI8* pbyValue,
                              RTS_I32* piLen) {
    if (piLen == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_I32 bufferLen = *piLen;
    *piLen = 0;
    if (bufferLen < 1) {
        return ERR_FAILED;
    }
    if (!s_bPoolCreated) {
        return ERR_NOTINITIALIZED;
    }
    RTS_SIZE cmpLen = 0;
    RTS_SIZE keyLen = 0;
    RTS_RESULT r = CheckNames(pszComponent, pszKey, &cmpLen, &keyLen);
    if (r != ERR_OK) {
        return r;
    }
    PoolLockGuard lock;
    Location loc;
    if (!LocateKey(pszComponent, cmpLen, pszKey, keyLen, &loc)) {
        return ERR_FAILED;
    }
    const char* p = loc.pFile->Cache.pbyFile + loc.key.valueStart;
    RTS_SIZE digits = loc.key.valueEnd - loc.key.valueStart;
    // Only whole digit pairs count, and the stored length cannot claim more
    // bytes than the digits hold.
    RTS_SIZE pairs = 0;
    while (pairs * 2 + 1 < digits && HexDigit(p[pairs * 2]) >= 0 && HexDigit(p[pairs * 2 + 1]) >= 0) {
        ++pairs;
    }
    if (pairs < 4) {
        return ERR_FAILED;
    }
    RTS_UI32 stored = 0;
    for (int i = 3; i >= 0; --i) {
        stored = (stored << 8) | static_cast<RTS_UI32>(HexDigit(p[i * 2]) * 16 + HexDigit(p[i * 2 + 1]));
    }
    RTS_SIZE present = pairs - 4;
    RTS_SIZE length = stored < present ? stored : present;
    if (length > 0x7FFFFFFFu) {
        length = 0x7FFFFFFFu;
    }
    if (length == 0) {
        return ERR_FAILED;
    }
    *piLen = static_cast<RTS_I32>(length);
    if (pbyValue == nullptr) {
        return ERR_OK;
    }
    RTS_SIZE n = length < static_cast<RTS_SIZE>(bufferLen) ? length : static_cast<RTS_SIZE>(bufferLen);
    for (RTS_SIZE i = 0; i < n; ++i) {
        const char* pPair = p + 8 + i * 2;
        pbyValue[i] = static_cast<RTS_UI8>(HexDigit(pPair[0]) * 16 + HexDigit(pPair[1]));
    }
    return n < length ? ERR_BUFFERSIZE : ERR_OK;
}

RTS_RESULT SettgBeSetBinValue(const char* pszComponent, const char* pszKey, const RTS_UI8* pbyValue,
                              RTS_I32 iLen) {
    if (!s_bPoolCreated) {
        return ERR_NOTINITIALIZED;
    }
    if (iLen < 0 || (pbyValue == nullptr && iLen > 0)) {
        return ERR_PARAMETER;
    }
    try {
        std::string text;
        text.reserve(8 + static_cast<RTS_SIZE>(iLen) * 2);
        RTS_UI32 len = static_cast<RTS_UI32>(iLen);
        for (int i = 0; i < 4; ++i) {
            RTS_UI8 b = static_cast<RTS_UI8>(len >> (8 * i));
            text += s_szHex[b >> 4];
            text += s_szHex[b & 0xF];
        }
        for (RTS_I32 i = 0; i < iLen; ++i) {
            text += s_szHex[pbyValue[i] >> 4];
            text += s_szHex[pbyValue[i] & 0xF];
        }
        return SetCheckedText(pszComponent, pszKey, text);
    } catch (...) {
        return ERR_NOMEMORY;
    }
}

RTS_RESULT SettgBeRemoveKey(const char* pszComponent, const char* pszKey) {
    if (!s_bPoolCreated) {
        return ERR_NOTINITIALIZED;
    }
    RTS_SIZE cmpLen = 0;
    RTS_SIZE keyLen = 0;
    RTS_RESULT r = CheckNames(pszComponent, pszKey, &cmpLen, &keyLen);
    if (r != ERR_OK) {
        return r;
    }
    PoolLockGuard lock;
    Location loc;
    if (!LocateKey(pszComponent, cmpLen, pszKey, keyLen, &loc)) {
        return ERR_NO_OBJECT;
    }
    if (loc.pFile->bWriteProtected) {
        return ERR_NO_ACCESS_RIGHTS;
    }
    {
        SysSemGuard fileLock(loc.pFile->hSem);
        r = CacheReplace(loc.pFile, loc.key.lineStart, loc.key.lineNext - loc.key.lineStart, nullptr, 0);
    }
    return r == ERR_OK ? IniUpdateFile(loc.pFile) : r;
}

RTS_RESULT SettgBeClearComponent(const char* pszComponent) {
    if (!s_bPoolCreated) {
        return ERR_NOTINITIALIZED;
    }
    RTS_SIZE cmpLen = 0;
    RTS_RESULT r = CheckName(pszComponent, false, &cmpLen);
    if (r != ERR_OK) {
        return r;
    }
    PoolLockGuard lock;
    bool bHeld = false;
    bool bCleared = false;
    RTS_RESULT result = ERR_OK;
    for (INI_SERDEV* pFile : s_files) {
        Section sec;
        if (!HasSection(pFile, pszComponent, cmpLen, &sec)) {
            continue;
        }
        bHeld = true;
        if (pFile->bWriteProtected) {
            continue;
        }
        bCleared = true;
        const char* pBody = pFile->Cache.pbyFile + sec.bodyStart;
        RTS_SIZE bodyLen = sec.end - sec.bodyStart;
        if (bodyLen == 1 && pBody[0] == '\n') {
            continue;
        }
        {
            SysSemGuard fileLock(pFile->hSem);
            r = CacheReplace(pFile, sec.bodyStart, bodyLen, s_delimiter, 1);
        }
        if (r == ERR_OK) {
            r = IniUpdateFile(pFile);
        }
        if (r != ERR_OK && result == ERR_OK) {
            result = r;
        }
    }
    if (!bHeld) {
        return ERR_NO_OBJECT;
    }
    return bCleared ? result : ERR_NO_ACCESS_RIGHTS;
}
