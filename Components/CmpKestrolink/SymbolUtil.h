// The name order of the SDK's symbol tables: case-insensitive comparison of
// variable names and the binary search over a sorted symbol array. Every
// symbol array a device object hands out is sorted in this order, and every
// lookup (connection object, device objects, simulation device) relies on it,
// so the order must be the same on every host.
//
// Name bytes are taken as signed 8-bit codes whatever the compiler's char
// signedness (ARM has unsigned char, x86 signed char), and only the ASCII
// letters A-Z are folded: a host locale must not change where a name sorts.
#pragma once

#include "CmpStd.h"
#include "kestrolink/PlcSymbol.h"

// Code of a name byte as a signed 8-bit value, independent of char signedness.
inline int KlSignedByte(char c) noexcept {
    unsigned int b = static_cast<unsigned char>(c);
    return b >= 0x80u ? static_cast<int>(b) - 0x100 : static_cast<int>(b);
}

// Code of a name byte in the name order: A-Z folded to a-z, then signed.
inline int KlNameOrderCode(char c) noexcept {
    unsigned int b = static_cast<unsigned char>(c);
    if (b >= 'A' && b <= 'Z') {
        b += 'a' - 'A';
    }
    return b >= 0x80u ? static_cast<int>(b) - 0x100 : static_cast<int>(b);
}

// Code of a key byte for hashing: a-z folded to A-Z, taken as 0..255.
inline unsigned int KlHashCode(char c) noexcept {
    unsigned int b = static_cast<unsigned char>(c);
    if (b >= 'a' && b <= 'z') {
        b -= 'a' - 'A';
    }
    return b;
}

// Case-insensitive comparison: -1 if either is null; else the difference of
// the first differing folded codes, or 0 (both ended), -1 (the first ended
// first), 1 (the second ended first).
int KestrolinkUtlStrICmp(const char* psz1, const char* psz2) noexcept;

// The same over at most n characters. When a string ends before n characters
// the result is the difference of the two raw (signed) bytes at that point,
// 0 if both ended. n <= 0 compares nothing (0).
int KestrolinkUtlStrNICmp(const char* psz1, const char* psz2, int n) noexcept;

// Position of the first entry whose name equals pszSymbol (ignoring case) in
// a list sorted by KestrolinkUtlStrICmp, or ulNumOfSymbols when there is none
// (also for a null name, a null list or an empty list).
RTS_UI32 GetIndex(const char* pszSymbol, const PlcSymbolDesc* pSymbolList, RTS_UI32 ulNumOfSymbols) noexcept;
