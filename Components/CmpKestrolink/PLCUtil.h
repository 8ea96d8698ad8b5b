// Small helpers of the SDK's configuration code: IEC-style number texts,
// owned text copies, narrow/wide text conversion and the reader for
// connection configuration INI files. The runtime's own settings file is
// read by the settings component, not by this reader.
#pragma once

#include <string>
#include <vector>

#include "CmpStd.h"

// Longest line of a configuration file; the rest of a longer line is dropped.
constexpr RTS_SIZE KL_INI_MAX_LINE = 511;

// Number text as written in configuration files and device parameters:
// "16#" hexadecimal, "8#" octal, "2#" binary, otherwise signed decimal.
// Parsing stops at the first character that is not a digit of the base. The
// value is taken modulo 2^32, so "4294967295" and "-1" both give 0xFFFFFFFF on
// 32- and 64-bit builds alike.
RTS_UI32 UtlStrToULong(const char* psz) noexcept;

// Owned copies allocated with new[] (release with delete[]); null for a null
// source or when memory runs out.
char* UtlStrDup(const char* psz) noexcept;
RTS_WCHAR* UtlWStrDup(const RTS_WCHAR* pwsz) noexcept;
// Wide copy of UTF-8 text.
RTS_WCHAR* UtlStrToWStrDup(const char* psz) noexcept;

RTS_SIZE UtlWStrLen(const RTS_WCHAR* pwsz) noexcept;
// Bounded wide copy: at most ulDest - 1 units and a terminator; 0 writes nothing.
void UtlWStrCopy(RTS_WCHAR* pwszDest, RTS_SIZE ulDest, const RTS_WCHAR* pwszSrc) noexcept;
// UTF-16 to UTF-8 into ulDest bytes (terminated; 0 writes nothing). A
// character that does not fit whole is left out together with the rest;
// unpaired surrogates become U+FFFD. Returns the bytes written.
RTS_SIZE UtlWStrToStr(char* pszDest, RTS_SIZE ulDest, const RTS_WCHAR* pwszSrc) noexcept;
// UTF-8 to UTF-16 into ulDest units (terminated; 0 writes nothing). A byte
// that starts no valid sequence stands for itself (Latin-1). Returns the
// units written.
RTS_SIZE UtlStrToWStr(RTS_WCHAR* pwszDest, RTS_SIZE ulDest, const char* pszSrc) noexcept;

// One section of a configuration INI file, read once so that many keys can
// be looked up without reading the file again. The rules are those of the
// files the SDK has always read, and deliberately strict:
// - lines end at CR, LF or CR LF and hold at most KL_INI_MAX_LINE characters;
// - the section starts at the first line that contains "[" + name + "]"
//   anywhere in it;
// - inside it, a line that contains both "[" and "]" ends the section, and a
//   line starting with ";" is a comment;
// - a key's line starts with the key exactly, followed at once by "=" (no
//   spaces); its value is the rest of the line, untrimmed; the first such
//   line counts.
class CKestrolinkIniSection {
public:
    // False when the file cannot be read or holds no such section.
    bool Load(const char* pszFile, const char* pszSection);
    // The same over file contents already in memory.
    bool Parse(const char* pData, RTS_SIZE ulLen, const char* pszSection);
    // The value of the key, or null when the section has no line for it.
    const char* Find(const char* pszKey) const;
    // The candidate key lines of the section, in file order.
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    class LineSplitter;
    void Reset(const char* pszSection);
    // Takes one complete line; false once the section has ended.
    bool TakeLine(const char* pszLine);

    std::string m_header;
    bool m_bFound = false;
    bool m_bEnded = false;
    std::vector<std::string> m_lines;
};

// Reads one value of a configuration file. Returns 1 and the value (cut to
// ulDest - 1 characters) when the key is found, else 0 and the default.
int KestrolinkUtlIniReadString(const char* pszSection, const char* pszKey, const char* pszDefault,
                               char* pszDest, RTS_UI32 ulDest, const char* pszFile) noexcept;
// The value as a number text (see UtlStrToULong), or iDefault when missing.
RTS_I32 KestrolinkUtlIniReadInt(const char* pszSection, const char* pszKey, RTS_I32 iDefault,
                                const char* pszFile) noexcept;
// The value converted from UTF-8 to wide text (ulDest in 16-bit units).
int KestrolinkUtlIniReadWString(const char* pszSection, const char* pszKey, const RTS_WCHAR* pwszDefault,
                                RTS_WCHAR* pwszDest, RTS_UI32 ulDest, const char* pszFile) noexcept;
double KestrolinkUtlIniReadDouble(const char* pszSection, const char* pszKey, double dDefault,
                                  const char* pszFile) noexcept;
