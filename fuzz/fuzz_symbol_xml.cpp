// Symbol-configuration files come from a local cache or are uploaded from the
// controller: parse arbitrary bytes as one, under small bounds, in the modes
// the devices use (expansion switches, monitoring addresses), and check what a
// device relies on afterwards: every symbol named and typed, the table sorted
// so that the binary search finds each name, and every symbol's bytes inside
// the value area.
#include <cstdint>
#include <cstdlib>

#include "../Components/CmpKestrolink/SymbolUtil.h"
#include "../Components/CmpKestrolink/XmlSymbolParser.h"
#include "CMItf.h"
#include "CmpXMLParserItf.h"

namespace {

const StaticComponent kComponents[] = {
    {"CmpXMLParser", CmpXMLParser__Entry, 0},
    {nullptr, nullptr, 0},
};

void Check(bool bCondition) {
    if (!bCondition) {
        abort();
    }
}

void StopRuntime() {
    CMExit();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Check(CMInit2(nullptr, kComponents, CM_INIT_OPTION_NO_SETTINGS_REQUIRED) == ERR_OK);
    // Stopped before the manager's own statics go away, so that the leak
    // check at exit sees a runtime that was shut down.
    atexit(StopRuntime);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The mode follows from the length, so that every seed reaches every
    // mode as the fuzzer grows and shrinks it.
    RTS_BOOL bNoSimple = static_cast<RTS_BOOL>(size & 1);
    RTS_BOOL bNoComplex = static_cast<RTS_BOOL>((size >> 1) & 1);
    RTS_BOOL bMonitoring = static_cast<RTS_BOOL>((size >> 2) & 1);
    CXmlSymbolParser parser(bNoSimple, bNoComplex, bMonitoring);
    parser.SetLimits(20000, 1u << 20);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulNum = 0;
    char** ppszAddr = nullptr;
    RTS_UI32 ulArea = 0;
    RTS_I32 lResult = parser.ParseSymbolData(reinterpret_cast<const char*>(data), size, &pSymbols, &ulNum,
                                             &ppszAddr, &ulArea);
    if (lResult != PLCCOM_OK) {
        Check(pSymbols == nullptr && ulNum == 0);
        Check(lResult == PLCCOM_NO_MEMORY || parser.GetErrorText()[0] != '\0');
        return 0;
    }
    Check(pSymbols != nullptr && ppszAddr != nullptr && ulNum > 0 && ulNum <= 20000);
    Check(ulArea <= (1u << 20));
    for (RTS_UI32 i = 0; i < ulNum; ++i) {
        const PlcSymbolDesc& d = pSymbols[i];
        Check(d.pszName != nullptr && d.pszType != nullptr);
        Check(d.szAccess[1] == '\0');
        Check(d.szAccess[0] == 'r' || d.szAccess[0] == 'w' || d.szAccess[0] == 'b' || d.szAccess[0] == 'n');
        if (bMonitoring == 0) {
            Check(d.usRefId == 0);
            Check(static_cast<RTS_UI64>(d.ulOffset) + (d.ulSize == 0 ? 1 : d.ulSize) <= ulArea);
        }
        if (i > 0) {
            Check(KestrolinkUtlStrICmp(pSymbols[i - 1].pszName, d.pszName) <= 0);
        }
        RTS_UI32 ulFound = GetIndex(d.pszName, pSymbols, ulNum);
        Check(ulFound <= i && KestrolinkUtlStrICmp(pSymbols[ulFound].pszName, d.pszName) == 0);
        if (ppszAddr[i] != nullptr) {
            volatile char c = ppszAddr[i][0];
            (void)c;
        }
    }
    return 0;
}
