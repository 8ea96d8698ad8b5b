// Name order of the symbol tables (see SymbolUtil.h).
#include "SymbolUtil.h"

int KestrolinkUtlStrICmp(const char* psz1, const char* psz2) noexcept {
    if (psz1 == nullptr || psz2 == nullptr) {
        return -1;
    }
    for (; *psz1 != '\0' && *psz2 != '\0'; ++psz1, ++psz2) {
        int c1 = KlNameOrderCode(*psz1);
        int c2 = KlNameOrderCode(*psz2);
        if (c1 != c2) {
            return c1 - c2;
        }
    }
    if (*psz1 == '\0' && *psz2 == '\0') {
        return 0;
    }
    return *psz1 == '\0' ? -1 : 1;
}

int KestrolinkUtlStrNICmp(const char* psz1, const char* psz2, int n) noexcept {
    if (psz1 == nullptr || psz2 == nullptr) {
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        if (psz1[i] == '\0' || psz2[i] == '\0') {
            return KlSignedByte(psz1[i]) - KlSignedByte(psz2[i]);
        }
        int c1 = KlNameOrderCode(psz1[i]);
        int c2 = KlNameOrderCode(psz2[i]);
        if (c1 != c2) {
            return c1 - c2;
        }
    }
    return 0;
}

RTS_UI32 GetIndex(const char* pszSymbol, const PlcSymbolDesc* pSymbolList, RTS_UI32 ulNumOfSymbols) noexcept {
    if (pszSymbol == nullptr || pSymbolList == nullptr || ulNumOfSymbols == 0) {
        return ulNumOfSymbols;
    }
    // 64-bit bounds: a count near 2^32 must not wrap the midpoint.
    RTS_I64 lo = -1;
    RTS_I64 hi = ulNumOfSymbols;
    while (hi - lo > 1) {
        RTS_I64 mid = (hi + lo) / 2;
        if (KestrolinkUtlStrICmp(pszSymbol, pSymbolList[mid].pszName) > 0) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    if (hi == static_cast<RTS_I64>(ulNumOfSymbols) ||
        KestrolinkUtlStrICmp(pszSymbol, pSymbolList[hi].pszName) != 0) {
        return ulNumOfSymbols;
    }
    return static_cast<RTS_UI32>(hi);
}
