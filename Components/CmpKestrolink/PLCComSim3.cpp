// The V3 simulation device (see PLCComSim3.h): symbols from the local
// symbol-configuration file, values in one value area, variable lists over it.
#include "PLCComSim3.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "PLCConfig.h"
#include "SymbolUtil.h"
#include "SysFile.h"
#include "SysSem.h"
#include "SysTime.h"
#include "XmlSymbolParser.h"

namespace {

struct FreeDeleter {
    void operator()(PlcVarValue* p) const noexcept { std::free(p); }
};
using ValueRecord = std::unique_ptr<PlcVarValue, FreeDeleter>;

RTS_UI32 RangeOf(RTS_UI32 ulSize) {
    return ulSize == 0 ? 1 : ulSize;
}

ValueRecord NewValueRecord(RTS_UI32 ulDataBytes) {
    return ValueRecord(static_cast<PlcVarValue*>(std::calloc(1, PlcVarValueRecordSize(ulDataBytes))));
}

// A copy goes to a neighbour file first and replaces the destination only when
// complete: a failed copy leaves the old file, and a file copied onto itself
// is not truncated before it is read.
RTS_I32 CopyLocalFile(const char* pszSource, const char* pszDest) {
    if (pszSource == nullptr || pszDest == nullptr || pszSource[0] == '\0' || pszDest[0] == '\0') {
        return PLCCOM_FAILED;
    }
    try {
        std::string temp = std::string(pszDest) + ".part";
        if (SysFileCopy(temp.c_str(), pszSource, nullptr) != ERR_OK) {
            SysFileDelete(temp.c_str());
            return PLCCOM_FAILED;
        }
        if (SysFileRename(temp.c_str(), pszDest) != ERR_OK) {
            SysFileDelete(temp.c_str());
            return PLCCOM_FAILED;
        }
    } catch (const std::bad_alloc&) {
        return PLCCOM_FAILED;
    }
    return PLCCOM_OK;
}

}  // namespace

CPLCComSim3::VarList::~VarList() {
    for (PlcVarValue* p : ppValues) {
        std::free(p);
    }
}

CPLCComSim3::CPLCComSim3(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger)
    : CPLCComBase(pPlcConfig, pDeviceDesc, hLogger),
      m_PlcStatus(PLC_STATE_RUNNNING),
      m_ppszMappedAddr(nullptr),
      m_ulCacheSize(0),
      m_bDontExpandSimpleTypeArrays(
          UtlStructReadULong("DontExpandSimpleTypeArrays", 0, pDeviceDesc) != 0 ? 1 : 0),
      m_bDontExpandComplexTypeArrays(
          UtlStructReadULong("DontExpandComplexTypeArrays", 0, pDeviceDesc) != 0 ? 1 : 0),
      m_ullSymbolGeneration(0),
      m_hsemSim(RTS_INVALID_HANDLE) {
    RTS_RESULT result = ERR_OK;
    m_hsemSim = SysSemCreate(&result);
    m_Status = m_hsemSim != RTS_INVALID_HANDLE ? PLCCOMSTATUS_OK : PLCCOMSTATUS_NOT_INITIALIZED;
}

CPLCComSim3::~CPLCComSim3() {
    {
        SysSemGuard lock(m_hsemSim);
        m_VarLists.clear();
        m_pSymbols = nullptr;
        m_ulSymbols = 0;
        m_ppszMappedAddr = nullptr;
        m_pXmlParser.reset();
        m_pbyCache.reset();
    }
    if (m_hsemSim != RTS_INVALID_HANDLE) {
        SysSemDelete(m_hsemSim);
    }
}

// ---- Project and state ------------------------------------------------------------------

RTS_I32 CPLCComSim3::GetPlcProjectName(char* pszName, RTS_UI32 ulSize) {
    if (pszName == nullptr || ulSize == 0) {
        return PLCCOM_INVALID_PARAMETER;
    }
    KlStrCopy(pszName, ulSize, m_pszProject.get());
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::GetPlcStatus(PLC_STATUS* pPlcStatus) {
    SysSemGuard lock(m_hsemSim);
    if (pPlcStatus != nullptr) {
        *pPlcStatus = m_PlcStatus;
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::SetPlcStatus(PLC_STATUS PlcStatus) {
    SysSemGuard lock(m_hsemSim);
    m_PlcStatus = PlcStatus;
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::ResetPlc(RESET_OPTION) {
    SysSemGuard lock(m_hsemSim);
    m_PlcStatus = PLC_STATE_STOP;
    return PLCCOM_OK;
}

// ---- Symbols ------------------------------------------------------------------------------

RTS_I32 CPLCComSim3::LoadSymbols() {
    SysSemGuard lock(m_hsemSim);
    return LoadSymbolsLocked();
}

RTS_I32 CPLCComSim3::LoadSymbolsLocked() {
    if (m_pSymbols != nullptr) {
        return PLCCOM_OK;
    }
    if (!m_pszProject || m_pszProject[0] == '\0') {
        return PLCCOM_FAILED;
    }
    try {
        std::string file;
        if (FindSymbolFile(&file) != PLCCOM_OK) {
            AddLogEntry(LOG_COM, 1, "CPLCComSim3::LoadSymbols: Unable to open symbolconfiguration file %s",
                        file.c_str());
            return PLCCOM_FAILED;
        }
        AddLogEntry(LOG_INFO, 0, "CPLCComSim3::LoadSymbols: symbolconfiguration file %s is used",
                    file.c_str());
        std::unique_ptr<CXmlSymbolParser> pParser(
            new CXmlSymbolParser(m_bDontExpandSimpleTypeArrays, m_bDontExpandComplexTypeArrays));
        PlcSymbolDesc* pSymbols = nullptr;
        RTS_UI32 ulSymbols = 0;
        char** ppszMappedAddr = nullptr;
        RTS_UI32 ulAreaSize = 0;
        RTS_I32 lResult =
            pParser->ParseSymbolFile(file.c_str(), &pSymbols, &ulSymbols, &ppszMappedAddr, &ulAreaSize);
        if (lResult != PLCCOM_OK) {
            AddLogEntry(LOG_ERROR, lResult, "CPLCComSim3::LoadSymbols: XmlParser failed with result %ld",
                        static_cast<long>(lResult));
            AddLogEntry(LOG_ERROR, lResult, "CPLCComSim3::LoadSymbols: %s", pParser->GetErrorText());
            return lResult;
        }
        AddLogEntry(LOG_INFO, 0, "CPLCComSim3::LoadSymbols: %ld symbols read by XML parser",
                    static_cast<long>(ulSymbols));
        std::unique_ptr<RTS_UI8[]> pbyCache(new (std::nothrow) RTS_UI8[RangeOf(ulAreaSize)]());
        if (!pbyCache) {
            return PLCCOM_NO_MEMORY;
        }
        m_pXmlParser = std::move(pParser);
        m_pSymbols = pSymbols;
        m_ulSymbols = ulSymbols;
        m_ppszMappedAddr = ppszMappedAddr;
        m_pbyCache = std::move(pbyCache);
        m_ulCacheSize = ulAreaSize;
        ++m_ullSymbolGeneration;
    } catch (const std::bad_alloc&) {
        return PLCCOM_NO_MEMORY;
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::EnsureSymbols() {
    return m_pSymbols != nullptr ? PLCCOM_OK : LoadSymbolsLocked();
}

RTS_I32 CPLCComSim3::DeleteSymbols() {
    SysSemGuard lock(m_hsemSim);
    // The lists keep their names and find their symbols again after a reload.
    m_pSymbols = nullptr;
    m_ulSymbols = 0;
    m_ppszMappedAddr = nullptr;
    m_pXmlParser.reset();
    m_pbyCache.reset();
    m_ulCacheSize = 0;
    DeleteSymbolsOffline();
    ++m_ullSymbolGeneration;
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::GetSymbols(PlcSymbolDesc** ppSymbolList, RTS_UI32* pulNumOfSymbols) {
    if (pulNumOfSymbols == nullptr) {
        AddLogEntry(LOG_ERROR, PLCCOM_FAILED,
                    "CPLCComSim3: <-GetSymbols() Invalid Parameters, pulNumOfSymbols = 0x%p",
                    static_cast<void*>(pulNumOfSymbols));
        return PLCCOM_FAILED;
    }
    SysSemGuard lock(m_hsemSim);
    EnsureSymbols();
    if (m_pSymbols == nullptr || m_ulSymbols == 0) {
        *pulNumOfSymbols = 0;
        if (ppSymbolList != nullptr) {
            *ppSymbolList = nullptr;
        }
        AddLogEntry(LOG_WARNING, PLCCOM_NO_SYMBOLS, "CPLCComSim3: <-GetSymbols() No symbols");
        return PLCCOM_NO_SYMBOLS;
    }
    if (ppSymbolList != nullptr) {
        *ppSymbolList = m_pSymbols;
    }
    *pulNumOfSymbols = m_ulSymbols;
    AddLogEntry(LOG_COM, 0, "CPLCComSim3: <-GetSymbols() %ld Symbols available",
                static_cast<long>(m_ulSymbols));
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::GetSymbolAddress(RTS_UI32 ulSymbolIndex, char* pszMappedAddr, RTS_I32 lLen) {
    if (pszMappedAddr == nullptr || lLen < 1) {
        return PLCCOM_INVALID_PARAMETER;
    }
    SysSemGuard lock(m_hsemSim);
    if (m_pSymbols == nullptr || ulSymbolIndex >= m_ulSymbols) {
        return PLCCOM_INVALID_PARAMETER;
    }
    const char* pszAddr = m_ppszMappedAddr != nullptr ? m_ppszMappedAddr[ulSymbolIndex] : nullptr;
    KlStrCopy(pszMappedAddr, static_cast<RTS_SIZE>(lLen), pszAddr);
    return PLCCOM_OK;
}

PlcSymbolDesc* CPLCComSim3::FindSymbol(const char* pszName) {
    RTS_UI32 ulIndex = GetIndex(pszName, m_pSymbols, m_ulSymbols);
    return ulIndex < m_ulSymbols ? &m_pSymbols[ulIndex] : nullptr;
}

RTS_UI8* CPLCComSim3::SymbolBytes(const PlcSymbolDesc* pSymbol, RTS_UI32* pulRange) {
    RTS_UI32 ulRange = RangeOf(pSymbol->ulSize);
    *pulRange = ulRange;
    if (!m_pbyCache || pSymbol->ulOffset > m_ulCacheSize || ulRange > m_ulCacheSize - pSymbol->ulOffset) {
        return nullptr;
    }
    return m_pbyCache.get() + pSymbol->ulOffset;
}

// ---- Variable lists --------------------------------------------------------------------------

CPLCComSim3::VarList* CPLCComSim3::FindList(HVARLIST hVarList) {
    if (hVarList == nullptr) {
        return nullptr;
    }
    for (const std::unique_ptr<VarList>& pList : m_VarLists) {
        if (pList.get() == hVarList) {
            return pList.get();
        }
    }
    return nullptr;
}

// The caller has reserved room in every array, so that only the name copy can
// throw, and it does so before anything is appended.
bool CPLCComSim3::AppendVariable(VarList* pList, const char* pszName) {
    PlcSymbolDesc* pSymbol = pszName != nullptr ? FindSymbol(pszName) : nullptr;
    if (pSymbol == nullptr) {
        return false;
    }
    RTS_UI32 ulRange = RangeOf(pSymbol->ulSize);
    ValueRecord pValue = NewValueRecord(ulRange);
    if (!pValue) {
        throw std::bad_alloc();
    }
    std::string name(pszName);
    pList->names.push_back(std::move(name));
    pList->ppSymbols.push_back(pSymbol);
    pList->ppValues.push_back(pValue.release());
    pList->capacities.push_back(ulRange);
    ++pList->ulSymbols;
    return true;
}

namespace {
template <typename T>
void ReserveMore(std::vector<T>* pVector, RTS_SIZE ulMore) {
    pVector->reserve(pVector->size() + ulMore);
}
}  // namespace

RTS_I32 CPLCComSim3::ResolveList(VarList* pList) {
    if (pList->ullGeneration == m_ullSymbolGeneration && m_pSymbols != nullptr) {
        return PLCCOM_OK;
    }
    if (EnsureSymbols() != PLCCOM_OK) {
        return PLCCOM_VARLIST_INVALID;
    }
    std::vector<PlcSymbolDesc*> symbols(pList->ulSymbols);
    for (RTS_UI32 i = 0; i < pList->ulSymbols; ++i) {
        symbols[i] = FindSymbol(pList->names[i].c_str());
        if (symbols[i] == nullptr) {
            AddLogEntry(LOG_ERROR, PLCCOM_VARLIST_INVALID, "CPLCComSim3: symbol %s of a list is gone",
                        pList->names[i].c_str());
            return PLCCOM_VARLIST_INVALID;
        }
    }
    // A variable may have grown with the new symbol file.
    for (RTS_UI32 i = 0; i < pList->ulSymbols; ++i) {
        RTS_UI32 ulRange = RangeOf(symbols[i]->ulSize);
        if (ulRange > pList->capacities[i]) {
            ValueRecord pValue = NewValueRecord(ulRange);
            if (!pValue) {
                return PLCCOM_NO_MEMORY;
            }
            std::free(pList->ppValues[i]);
            pList->ppValues[i] = pValue.release();
            pList->capacities[i] = ulRange;
        }
    }
    pList->ppSymbols.swap(symbols);
    pList->ullGeneration = m_ullSymbolGeneration;
    return PLCCOM_OK;
}

HVARLIST CPLCComSim3::DefineVarList(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols, RTS_I32,
                                    RTS_UI32, RTS_I32* plResult) {
    RTS_I32 lResult = PLCCOM_OK;
    VarList* pResult = nullptr;
    if (ppszSymbols == nullptr || ulNumOfSymbols == 0) {
        lResult = PLCCOM_INVALID_PARAMETER;
    } else {
        SysSemGuard lock(m_hsemSim);
        try {
            // Symbols are loaded on demand, so that a connection that did not
            // ask for the symbol table can still name its variables.
            EnsureSymbols();
            std::unique_ptr<VarList> pList(new VarList);
            pList->ullGeneration = m_ullSymbolGeneration;
            ReserveMore(&pList->names, ulNumOfSymbols);
            ReserveMore(&pList->ppSymbols, ulNumOfSymbols);
            ReserveMore(&pList->ppValues, ulNumOfSymbols);
            ReserveMore(&pList->capacities, ulNumOfSymbols);
            for (RTS_UI32 i = 0; i < ulNumOfSymbols && lResult == PLCCOM_OK; ++i) {
                if (!AppendVariable(pList.get(), ppszSymbols[i])) {
                    AddLogEntry(LOG_WARNING, PLCCOM_FAILED, "CPLCComSim3::DefineVarList: Symbol %s not found",
                                ppszSymbols[i] != nullptr ? ppszSymbols[i] : "(null)");
                    lResult = PLCCOM_UNKNOWN_SYMBOL;
                }
            }
            if (lResult == PLCCOM_OK) {
                m_VarLists.push_back(std::move(pList));
                pResult = m_VarLists.back().get();
            }
        } catch (const std::bad_alloc&) {
            lResult = PLCCOM_NO_MEMORY;
        }
    }
    if (plResult != nullptr) {
        *plResult = lResult;
    }
    return pResult;
}

RTS_I32 CPLCComSim3::DeleteVarList(HVARLIST hVarList, RTS_I32) {
    SysSemGuard lock(m_hsemSim);
    for (auto it = m_VarLists.begin(); it != m_VarLists.end(); ++it) {
        if (it->get() == hVarList && hVarList != nullptr) {
            m_VarLists.erase(it);
            return PLCCOM_OK;
        }
    }
    return PLCCOM_FAILED;
}

namespace {
// Drops the entries from ulCount on; the arrays keep their capacity.
void TruncateList(std::vector<PlcSymbolDesc*>* pSymbols, std::vector<PlcVarValue*>* pValues,
                  std::vector<std::string>* pNames, std::vector<RTS_UI32>* pCapacities, RTS_UI32 ulCount) {
    for (RTS_SIZE i = ulCount; i < pValues->size(); ++i) {
        std::free((*pValues)[i]);
    }
    pSymbols->resize(ulCount);
    pValues->resize(ulCount);
    pNames->resize(ulCount);
    pCapacities->resize(ulCount);
}
}  // namespace

RTS_I32 CPLCComSim3::AddVarsToVarList(HVARLIST hVarList, const char* const* ppszSymbols,
                                      RTS_UI32 ulNumOfSymbols, PlcVarValue*** pppValues) {
    SysSemGuard lock(m_hsemSim);
    VarList* pList = FindList(hVarList);
    if (pList == nullptr || ppszSymbols == nullptr || ulNumOfSymbols == 0) {
        return PLCCOM_FAILED;
    }
    RTS_UI32 ulOldCount = pList->ulSymbols;
    try {
        RTS_I32 lResult = ResolveList(pList);
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
        ReserveMore(&pList->names, ulNumOfSymbols);
        ReserveMore(&pList->ppSymbols, ulNumOfSymbols);
        ReserveMore(&pList->ppValues, ulNumOfSymbols);
        ReserveMore(&pList->capacities, ulNumOfSymbols);
        for (RTS_UI32 i = 0; i < ulNumOfSymbols; ++i) {
            if (!AppendVariable(pList, ppszSymbols[i])) {
                AddLogEntry(LOG_WARNING, PLCCOM_FAILED, "CPLCComSim3::AddVarsToVarList: Symbol %s not found",
                            ppszSymbols[i] != nullptr ? ppszSymbols[i] : "(null)");
                TruncateList(&pList->ppSymbols, &pList->ppValues, &pList->names, &pList->capacities,
                             ulOldCount);
                pList->ulSymbols = ulOldCount;
                return PLCCOM_FAILED;
            }
        }
    } catch (const std::bad_alloc&) {
        TruncateList(&pList->ppSymbols, &pList->ppValues, &pList->names, &pList->capacities, ulOldCount);
        pList->ulSymbols = ulOldCount;
        return PLCCOM_NO_MEMORY;
    }
    if (pppValues != nullptr) {
        *pppValues = pList->ppValues.data();
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::RemoveVarsFromVarList(HVARLIST hVarList, const RTS_UI32* pulIndexList,
                                           RTS_UI32 ulNumOfIndexes, PlcVarValue*** pppValues) {
    SysSemGuard lock(m_hsemSim);
    VarList* pList = FindList(hVarList);
    if (pList == nullptr || pulIndexList == nullptr || ulNumOfIndexes == 0 ||
        ulNumOfIndexes > pList->ulSymbols) {
        return PLCCOM_FAILED;
    }
    try {
        // Removed from the highest position down, so that the positions still
        // to remove do not move; a position outside the list or named twice
        // refuses the whole call before anything is removed.
        std::vector<RTS_UI32> indexes(pulIndexList, pulIndexList + ulNumOfIndexes);
        std::sort(indexes.begin(), indexes.end(), [](RTS_UI32 a, RTS_UI32 b) { return a > b; });
        if (indexes.front() >= pList->ulSymbols ||
            std::adjacent_find(indexes.begin(), indexes.end()) != indexes.end()) {
            return PLCCOM_FAILED;
        }
        for (RTS_UI32 ulIndex : indexes) {
            std::free(pList->ppValues[ulIndex]);
            pList->ppValues.erase(pList->ppValues.begin() + ulIndex);
            pList->ppSymbols.erase(pList->ppSymbols.begin() + ulIndex);
            pList->names.erase(pList->names.begin() + ulIndex);
            pList->capacities.erase(pList->capacities.begin() + ulIndex);
            --pList->ulSymbols;
        }
    } catch (const std::bad_alloc&) {
        return PLCCOM_NO_MEMORY;
    }
    if (pppValues != nullptr) {
        *pppValues = pList->ppValues.data();
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::SendVarList(HVARLIST hVarList, RTS_HANDLE, RTS_HANDLE, RTS_I32* pbSync, RTS_I32,
                                 RTS_UI32*) {
    SysSemGuard lock(m_hsemSim);
    if (FindList(hVarList) == nullptr) {
        return PLCCOM_FAILED;
    }
    if (pbSync != nullptr) {
        *pbSync = 1;
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::GetVarList(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) {
    SysSemGuard lock(m_hsemSim);
    VarList* pList = FindList(hVarList);
    if (pList == nullptr) {
        return PLCCOM_FAILED;
    }
    try {
        RTS_I32 lResult = ResolveList(pList);
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
    } catch (const std::bad_alloc&) {
        return PLCCOM_NO_MEMORY;
    }
    RTS_RESULT result = ERR_OK;
    RTS_UI32 ulNow = SysTimeRtcGet(&result);
    for (RTS_UI32 i = 0; i < pList->ulSymbols; ++i) {
        PlcVarValue* pValue = pList->ppValues[i];
        RTS_UI32 ulRange = 0;
        const RTS_UI8* pbySource = SymbolBytes(pList->ppSymbols[i], &ulRange);
        if (pbySource != nullptr) {
            std::memcpy(PlcVarValueData(pValue), pbySource, ulRange);
        }
        pValue->bQuality = pbySource != nullptr ? 1 : 0;
        pValue->ulTimeStamp = ulNow;
    }
    if (pppValues != nullptr) {
        *pppValues = pList->ppValues.data();
    }
    if (pulNumOfValues != nullptr) {
        *pulNumOfValues = pList->ulSymbols;
    }
    return PLCCOM_OK;
}

// ---- Writing -------------------------------------------------------------------------------------

void CPLCComSim3::StoreValue(const PlcSymbolDesc* pSymbol, const RTS_UI8* pValue,
                             const RTS_UI32* pulValueSize) {
    RTS_UI32 ulRange = 0;
    RTS_UI8* pbyDest = SymbolBytes(pSymbol, &ulRange);
    if (pbyDest == nullptr) {
        return;
    }
    // Never more than the symbol's range, and never more than the caller said
    // its buffer holds.
    RTS_UI32 ulAvailable = pulValueSize != nullptr ? std::min(*pulValueSize, ulRange) : ulRange;
    if (ulAvailable == 0) {
        return;
    }
    RTS_UI32 ulType = pSymbol->ulTypeId & ~DATATYPE_FLAG_MASK;
    if (ulType == DATATYPE_STRING) {
        // The text and its terminator; a text that does not fit is cut so
        // that the variable stays terminated.
        RTS_SIZE ulLen = strnlen(reinterpret_cast<const char*>(pValue), ulAvailable);
        RTS_SIZE ulCopy = std::min<RTS_SIZE>(ulLen, ulRange - 1);
        std::memcpy(pbyDest, pValue, ulCopy);
        pbyDest[ulCopy] = 0;
    } else if (ulType == DATATYPE_WSTRING && ulRange >= 2) {
        RTS_SIZE ulAvailableUnits = ulAvailable / 2;
        RTS_SIZE ulLen = 0;
        for (; ulLen < ulAvailableUnits; ++ulLen) {
            RTS_UI16 usUnit = 0;
            std::memcpy(&usUnit, pValue + 2 * ulLen, sizeof(usUnit));
            if (usUnit == 0) {
                break;
            }
        }
        RTS_SIZE ulCopy = std::min<RTS_SIZE>(ulLen, ulRange / 2 - 1);
        std::memcpy(pbyDest, pValue, 2 * ulCopy);
        pbyDest[2 * ulCopy] = 0;
        pbyDest[2 * ulCopy + 1] = 0;
    } else {
        std::memcpy(pbyDest, pValue, ulAvailable);
    }
}

RTS_I32 CPLCComSim3::WriteVarList(HVARLIST hVarList, RTS_UI32 ulNumOfSymbols, const RTS_UI8* const* ppValues,
                                  const RTS_UI32* pulValueSizes) {
    SysSemGuard lock(m_hsemSim);
    VarList* pList = FindList(hVarList);
    if (pList == nullptr || ppValues == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    RTS_I32 lResult = PLCCOM_OK;
    try {
        lResult = ResolveList(pList);
    } catch (const std::bad_alloc&) {
        lResult = PLCCOM_NO_MEMORY;
    }
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    if (ulNumOfSymbols != pList->ulSymbols) {
        AddLogEntry(LOG_ERROR, PLCCOM_INVALID_PARAMETER,
                    "CPLCComSim3::WriteVarList: ulNumOfSymbols %ld does not match to pVarlist->ulSymbols %ld",
                    static_cast<long>(ulNumOfSymbols), static_cast<long>(pList->ulSymbols));
        lResult = PLCCOM_INVALID_PARAMETER;
    }
    // The caller's arrays hold ulNumOfSymbols entries, the list its own count.
    RTS_UI32 ulCount = std::min(ulNumOfSymbols, pList->ulSymbols);
    for (RTS_UI32 i = 0; i < ulCount; ++i) {
        const PlcSymbolDesc* pSymbol = pList->ppSymbols[i];
        if (ppValues[i] == nullptr) {
            lResult = PLCCOM_INVALID_PARAMETER;
            continue;
        }
        if (pulValueSizes != nullptr && pulValueSizes[i] != pSymbol->ulSize) {
            AddLogEntry(LOG_ERROR, PLCCOM_SIZE_MISMATCH,
                        "CPLCComSim3::WriteVarList: Size does not match for symbol %s", pSymbol->pszName);
            lResult = PLCCOM_SIZE_MISMATCH;
        }
        StoreValue(pSymbol, ppValues[i], pulValueSizes != nullptr ? &pulValueSizes[i] : nullptr);
    }
    return lResult;
}

RTS_I32 CPLCComSim3::WriteVars(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                               const RTS_UI8* const* ppValues, const RTS_UI32* pulValueSizes) {
    if (ppszSymbols == nullptr || ppValues == nullptr) {
        return PLCCOM_FAILED;
    }
    SysSemGuard lock(m_hsemSim);
    EnsureSymbols();
    RTS_I32 lResult = PLCCOM_OK;
    for (RTS_UI32 i = 0; i < ulNumOfSymbols; ++i) {
        const PlcSymbolDesc* pSymbol = ppszSymbols[i] != nullptr ? FindSymbol(ppszSymbols[i]) : nullptr;
        if (pSymbol == nullptr || ppValues[i] == nullptr) {
            AddLogEntry(LOG_WARNING, PLCCOM_FAILED, "CPLCComSim3::WriteVars: Symbol %s not written",
                        ppszSymbols[i] != nullptr ? ppszSymbols[i] : "(null)");
            return PLCCOM_FAILED;
        }
        if (pulValueSizes != nullptr && pulValueSizes[i] != pSymbol->ulSize) {
            AddLogEntry(LOG_ERROR, PLCCOM_SIZE_MISMATCH,
                        "CPLCComSim3::WriteVars: Size does not match for symbol %s", pSymbol->pszName);
            lResult = PLCCOM_SIZE_MISMATCH;
        }
        StoreValue(pSymbol, ppValues[i], pulValueSizes != nullptr ? &pulValueSizes[i] : nullptr);
    }
    return lResult;
}

// ---- Local files ----------------------------------------------------------------------------------

RTS_I32 CPLCComSim3::UploadFile(const char* pszPlc, const char* pszHost, RTS_I32* plResult, bool) {
    if (plResult == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    *plResult = CopyLocalFile(pszPlc, pszHost);
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::DownloadFile(const char* pszHost, const char* pszPlc, RTS_I32* plResult, bool) {
    if (plResult == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    *plResult = CopyLocalFile(pszHost, pszPlc);
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::FileRename(const char* pszOldName, const char* pszNewName, RTS_I32* plResult) {
    if (plResult == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    bool bOk =
        pszOldName != nullptr && pszNewName != nullptr && SysFileRename(pszOldName, pszNewName) == ERR_OK;
    *plResult = bOk ? PLCCOM_OK : PLCCOM_FAILED;
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::FileDelete(const char* pszFile, RTS_I32* plResult) {
    if (plResult == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    *plResult = pszFile != nullptr && SysFileDelete(pszFile) == ERR_OK ? PLCCOM_OK : PLCCOM_FAILED;
    return PLCCOM_OK;
}

RTS_I32 CPLCComSim3::ReadDirectory(CDirInfo** ppdi, const char*, RTS_I32* plResult) {
    if (ppdi != nullptr) {
        *ppdi = nullptr;
    }
    if (plResult == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    *plResult = PLCCOM_NOT_SUPPORTED;
    return PLCCOM_OK;
}
