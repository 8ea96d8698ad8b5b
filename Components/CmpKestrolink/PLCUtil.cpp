// Helpers of the SDK's configuration code: number texts, owned texts, wide
// text conversion and the configuration INI reader (see PLCUtil.h).
#include "PLCUtil.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "SysFile.h"

RTS_UI32 UtlStrToULong(const char* psz) noexcept {
    if (psz == nullptr) {
        return 0;
    }
    RTS_UI32 ulBase = 10;
    bool bNegative = false;
    const char* p = psz;
    if (std::strncmp(p, "16#", 3) == 0) {
        ulBase = 16;
        p += 3;
    } else if (std::strncmp(p, "8#", 2) == 0) {
        ulBase = 8;
        p += 2;
    } else if (std::strncmp(p, "2#", 2) == 0) {
        ulBase = 2;
        p += 2;
    } else {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') {
            ++p;
        }
        if (*p == '+' || *p == '-') {
            bNegative = (*p == '-');
            ++p;
        }
    }
    RTS_UI32 ulValue = 0;
    for (;; ++p) {
        RTS_UI32 ulDigit;
        if (*p >= '0' && *p <= '9') {
            ulDigit = static_cast<RTS_UI32>(*p - '0');
        } else if (*p >= 'a' && *p <= 'f') {
            ulDigit = static_cast<RTS_UI32>(*p - 'a' + 10);
        } else if (*p >= 'A' && *p <= 'F') {
            ulDigit = static_cast<RTS_UI32>(*p - 'A' + 10);
        } else {
            break;
        }
        if (ulDigit >= ulBase) {
            break;
        }
        ulValue = ulValue * ulBase + ulDigit;
    }
    return bNegative ? 0u - ulValue : ulValue;
}

char* UtlStrDup(const char* psz) noexcept {
    if (psz == nullptr) {
        return nullptr;
    }
    RTS_SIZE len = std::strlen(psz);
    char* p = new (std::nothrow) char[len + 1];
    if (p != nullptr) {
        std::memcpy(p, psz, len + 1);
    }
    return p;
}

RTS_SIZE UtlWStrLen(const RTS_WCHAR* pwsz) noexcept {
    RTS_SIZE len = 0;
    if (pwsz != nullptr) {
        while (pwsz[len] != 0) {
            ++len;
        }
    }
    return len;
}

RTS_WCHAR* UtlWStrDup(const RTS_WCHAR* pwsz) noexcept {
    if (pwsz == nullptr) {
        return nullptr;
    }
    RTS_SIZE len = UtlWStrLen(pwsz);
    RTS_WCHAR* p = new (std::nothrow) RTS_WCHAR[len + 1];
    if (p != nullptr) {
        std::memcpy(p, pwsz, (len + 1) * sizeof(RTS_WCHAR));
    }
    return p;
}

RTS_WCHAR* UtlStrToWStrDup(const char* psz) noexcept {
    if (psz == nullptr) {
        return nullptr;
    }
    // One UTF-16 unit per byte is always enough.
    RTS_SIZE ulUnits = std::strlen(psz) + 1;
    RTS_WCHAR* p = new (std::nothrow) RTS_WCHAR[ulUnits];
    if (p != nullptr) {
        UtlStrToWStr(p, ulUnits, psz);
    }
    return p;
}

void UtlWStrCopy(RTS_WCHAR* pwszDest, RTS_SIZE ulDest, const RTS_WCHAR* pwszSrc) noexcept {
    if (pwszDest == nullptr || ulDest == 0) {
        return;
    }
    RTS_SIZE i = 0;
    if (pwszSrc != nullptr) {
        for (; i + 1 < ulDest && pwszSrc[i] != 0; ++i) {
            pwszDest[i] = pwszSrc[i];
        }
    }
    pwszDest[i] = 0;
}

RTS_SIZE UtlWStrToStr(char* pszDest, RTS_SIZE ulDest, const RTS_WCHAR* pwszSrc) noexcept {
    if (pszDest == nullptr || ulDest == 0) {
        return 0;
    }
    RTS_SIZE n = 0;
    for (RTS_SIZE i = 0; pwszSrc != nullptr && pwszSrc[i] != 0; ++i) {
        RTS_UI32 cp = pwszSrc[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && pwszSrc[i + 1] >= 0xDC00 && pwszSrc[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (pwszSrc[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        char buf[4];
        RTS_SIZE len;
        if (cp < 0x80) {
            buf[0] = static_cast<char>(cp);
            len = 1;
        } else if (cp < 0x800) {
            buf[0] = static_cast<char>(0xC0 | (cp >> 6));
            buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 2;
        } else if (cp < 0x10000) {
            buf[0] = static_cast<char>(0xE0 | (cp >> 12));
            buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 3;
        } else {
            buf[0] = static_cast<char>(0xF0 | (cp >> 18));
            buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 4;
        }
        if (n + len + 1 > ulDest) {
            break;
        }
        std::memcpy(pszDest + n, buf, len);
        n += len;
    }
    pszDest[n] = '\0';
    return n;
}

namespace {
// Length of the valid UTF-8 sequence at p and its code point; 0 when the
// byte at p starts none.
RTS_SIZE DecodeUtf8(const unsigned char* p, RTS_UI32* pCp) {
    auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    unsigned char c = p[0];
    if (c < 0x80) {
        *pCp = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF && cont(p[1])) {
        *pCp = ((c & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF && cont(p[1]) && cont(p[2])) {
        RTS_UI32 cp = ((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return 0;
        }
        *pCp = cp;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4 && cont(p[1]) && cont(p[2]) && cont(p[3])) {
        RTS_UI32 cp = ((c & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
        if (cp < 0x10000 || cp > 0x10FFFF) {
            return 0;
        }
        *pCp = cp;
        return 4;
    }
    return 0;
}
}  // namespace

RTS_SIZE UtlStrToWStr(RTS_WCHAR* pwszDest, RTS_SIZE ulDest, const char* pszSrc) noexcept {
    if (pwszDest == nullptr || ulDest == 0) {
        return 0;
    }
    RTS_SIZE n = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pszSrc);
    while (p != nullptr && *p != 0) {
        RTS_UI32 cp = 0;
        RTS_SIZE len = DecodeUtf8(p, &cp);
        if (len == 0) {
            cp = *p;
            len = 1;
        }
        RTS_SIZE units = cp >= 0x10000 ? 2 : 1;
        if (n + units + 1 > ulDest) {
            break;
        }
        if (units == 2) {
            pwszDest[n++] = static_cast<RTS_WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
            pwszDest[n++] = static_cast<RTS_WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            pwszDest[n++] = static_cast<RTS_WCHAR>(cp);
        }
        p += len;
    }
    pwszDest[n] = 0;
    return n;
}

// Splits bytes into lines of at most KL_INI_MAX_LINE characters across
// chunk boundaries, so that a file is read in pieces of any size.
class CKestrolinkIniSection::LineSplitter {
public:
    explicit LineSplitter(CKestrolinkIniSection* pSection) : m_pSection(pSection) {}

    // False once the section has ended and no further bytes matter.
    bool Feed(const char* pData, RTS_SIZE ulLen) {
        for (RTS_SIZE i = 0; i < ulLen; ++i) {
            char c = pData[i];
            if (m_bAfterCR) {
                m_bAfterCR = false;
                if (c == '\n') {
                    continue;
                }
            }
            if (c == '\r' || c == '\n') {
                m_bAfterCR = (c == '\r');
                if (!EndLine()) {
                    return false;
                }
            } else if (m_ulLen < KL_INI_MAX_LINE) {
                m_line[m_ulLen++] = c;
            }
        }
        return true;
    }

    void Finish() {
        if (m_ulLen > 0) {
            EndLine();
        }
    }

private:
    bool EndLine() {
        m_line[m_ulLen] = '\0';
        m_ulLen = 0;
        return m_pSection->TakeLine(m_line);
    }

    CKestrolinkIniSection* m_pSection;
    char m_line[KL_INI_MAX_LINE + 1] = {};
    RTS_SIZE m_ulLen = 0;
    bool m_bAfterCR = false;
};

void CKestrolinkIniSection::Reset(const char* pszSection) {
    m_header = "[";
    m_header += pszSection;
    m_header += "]";
    m_bFound = false;
    m_bEnded = false;
    m_lines.clear();
}

bool CKestrolinkIniSection::TakeLine(const char* pszLine) {
    if (!m_bFound) {
        m_bFound = std::strstr(pszLine, m_header.c_str()) != nullptr;
        return true;
    }
    if (std::strchr(pszLine, '[') != nullptr && std::strchr(pszLine, ']') != nullptr) {
        m_bEnded = true;
        return false;
    }
    if (pszLine[0] != ';' && std::strchr(pszLine, '=') != nullptr) {
        m_lines.emplace_back(pszLine);
    }
    return true;
}

bool CKestrolinkIniSection::Parse(const char* pData, RTS_SIZE ulLen, const char* pszSection) {
    if (pszSection == nullptr || (pData == nullptr && ulLen != 0)) {
        return false;
    }
    Reset(pszSection);
    LineSplitter splitter(this);
    if (splitter.Feed(pData, ulLen)) {
        splitter.Finish();
    }
    return m_bFound;
}

bool CKestrolinkIniSection::Load(const char* pszFile, const char* pszSection) {
    if (pszFile == nullptr || pszSection == nullptr) {
        return false;
    }
    Reset(pszSection);
    RTS_RESULT result = ERR_FAILED;
    RTS_HANDLE hFile = SysFileOpen(pszFile, AM_READ, &result);
    if (hFile == RTS_INVALID_HANDLE || result != ERR_OK) {
        return false;
    }
    LineSplitter splitter(this);
    char chunk[4096];
    bool bMore = true;
    while (bMore) {
        RTS_SIZE ulRead = SysFileRead(hFile, chunk, sizeof(chunk), &result);
        if (ulRead == 0 || result != ERR_OK) {
            splitter.Finish();
            break;
        }
        bMore = splitter.Feed(chunk, ulRead);
    }
    SysFileClose(hFile);
    return m_bFound;
}

const char* CKestrolinkIniSection::Find(const char* pszKey) const {
    if (pszKey == nullptr) {
        return nullptr;
    }
    RTS_SIZE len = std::strlen(pszKey);
    for (const std::string& line : m_lines) {
        if (line.compare(0, len, pszKey) == 0 && line.size() > len && line[len] == '=') {
            return line.c_str() + len + 1;
        }
    }
    return nullptr;
}

namespace {
// Looks one key up; fills value (bounded) and reports whether it was found.
bool IniLookup(const char* pszSection, const char* pszKey, const char* pszFile, std::string* pValue) {
    if (pszSection == nullptr || pszKey == nullptr || pszFile == nullptr) {
        return false;
    }
    try {
        CKestrolinkIniSection section;
        if (!section.Load(pszFile, pszSection)) {
            return false;
        }
        const char* pszValue = section.Find(pszKey);
        if (pszValue == nullptr) {
            return false;
        }
        *pValue = pszValue;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
}  // namespace

int KestrolinkUtlIniReadString(const char* pszSection, const char* pszKey, const char* pszDefault,
                               char* pszDest, RTS_UI32 ulDest, const char* pszFile) noexcept {
    std::string value;
    bool bFound = IniLookup(pszSection, pszKey, pszFile, &value);
    if (pszDest != nullptr && ulDest != 0) {
        KlStrCopy(pszDest, ulDest, bFound ? value.c_str() : pszDefault);
    }
    return bFound ? 1 : 0;
}

RTS_I32 KestrolinkUtlIniReadInt(const char* pszSection, const char* pszKey, RTS_I32 iDefault,
                                const char* pszFile) noexcept {
    std::string value;
    if (!IniLookup(pszSection, pszKey, pszFile, &value)) {
        return iDefault;
    }
    return static_cast<RTS_I32>(UtlStrToULong(value.c_str()));
}

int KestrolinkUtlIniReadWString(const char* pszSection, const char* pszKey, const RTS_WCHAR* pwszDefault,
                                RTS_WCHAR* pwszDest, RTS_UI32 ulDest, const char* pszFile) noexcept {
    std::string value;
    bool bFound = IniLookup(pszSection, pszKey, pszFile, &value);
    if (bFound) {
        UtlStrToWStr(pwszDest, ulDest, value.c_str());
    } else {
        UtlWStrCopy(pwszDest, ulDest, pwszDefault);
    }
    return bFound ? 1 : 0;
}

double KestrolinkUtlIniReadDouble(const char* pszSection, const char* pszKey, double dDefault,
                                  const char* pszFile) noexcept {
    std::string value;
    if (!IniLookup(pszSection, pszKey, pszFile, &value)) {
        return dDefault;
    }
    return std::strtod(value.c_str(), nullptr);
}
