// The V3 simulation device (interface type IT_SIMULATION3): stands in for a V3
// controller without any communication. It reads the controller's
// symbol-configuration file, keeps every variable's value in one zeroed value
// area laid out by the symbol file reader, and serves variable lists, reads
// and writes from that area. Connecting, logging in and project checks always
// succeed; file services act on local files.
//
// Unlike a real device object, this one takes a lock of its own around every
// operation on symbols, lists and values, so that test programs and tools may
// drive it from several threads without a connection object in between.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "PLCComBase.h"

class CXmlSymbolParser;

class CPLCComSim3 : public CPLCComBase {
public:
    CPLCComSim3(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger);
    ~CPLCComSim3() override;

    RTS_I32 Open() override { return PLCCOM_OK; }
    RTS_I32 Close() override { return PLCCOM_OK; }
    RTS_I32 Login() override { return PLCCOM_OK; }
    RTS_I32 Logout() override { return PLCCOM_OK; }
    RTS_I32 CheckProjectIds() override { return PLCCOM_OK; }
    RTS_I32 GetPlcProjectName(char* pszName, RTS_UI32 ulSize) override;
    // The simulated state; a null pointer is answered with 0 and nothing written.
    RTS_I32 GetPlcStatus(PLC_STATUS* pPlcStatus) override;
    RTS_I32 SetPlcStatus(PLC_STATUS PlcStatus) override;
    // Every reset option stops the simulated controller.
    RTS_I32 ResetPlc(RESET_OPTION ResetOption) override;
    RTS_I32 LoadSymbols() override;
    // The symbols of this device always come from the local file.
    RTS_I32 LoadSymbolsOffline() override { return LoadSymbols(); }
    RTS_I32 DeleteSymbols() override;
    RTS_I32 GetSymbols(PlcSymbolDesc** ppSymbolList, RTS_UI32* pulNumOfSymbols) override;
    // The symbol's "directaddress" text (empty when it has none).
    RTS_I32 GetSymbolAddress(RTS_UI32 ulSymbolIndex, char* pszMappedAddr, RTS_I32 lLen) override;
    HVARLIST DefineVarList(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols, RTS_I32 bDataChange,
                           RTS_UI32 ulFlags, RTS_I32* plResult) override;
    RTS_I32 DeleteVarList(HVARLIST hVarList, RTS_I32 bDeleteLocalListOnly) override;
    RTS_I32 AddVarsToVarList(HVARLIST hVarList, const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                             PlcVarValue*** pppValues) override;
    RTS_I32 RemoveVarsFromVarList(HVARLIST hVarList, const RTS_UI32* pulIndexList, RTS_UI32 ulNumOfIndexes,
                                  PlcVarValue*** pppValues) override;
    // Nothing to send: completes at once.
    RTS_I32 SendVarList(HVARLIST hVarList, RTS_HANDLE hEvent, RTS_HANDLE hSem, RTS_I32* pbSync,
                        RTS_I32 bGetChangedValues, RTS_UI32* pulVarFlags) override;
    RTS_I32 GetVarList(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) override;
    RTS_I32 GetValues(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) override {
        return GetVarList(hVarList, pppValues, pulNumOfValues);
    }
    RTS_I32 WriteVarList(HVARLIST hVarList, RTS_UI32 ulNumOfSymbols, const RTS_UI8* const* ppValues,
                         const RTS_UI32* pulValueSizes) override;
    RTS_I32 WriteVars(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols, const RTS_UI8* const* ppValues,
                      const RTS_UI32* pulValueSizes) override;
    RTS_I32 SendService(const RTS_UI8*, RTS_UI32, RTS_UI8**, RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }
    // Copies of local files; the result goes behind plResult (0 or -1).
    RTS_I32 UploadFile(const char* pszPlc, const char* pszHost, RTS_I32* plResult,
                       bool bUseStandardPath) override;
    RTS_I32 DownloadFile(const char* pszHost, const char* pszPlc, RTS_I32* plResult,
                         bool bUseStandardPath) override;
    RTS_I32 FileRename(const char* pszOldName, const char* pszNewName, RTS_I32* plResult) override;
    RTS_I32 FileDelete(const char* pszFile, RTS_I32* plResult) override;
    RTS_I32 ReadDirectory(CDirInfo** ppdi, const char* pszBaseDir, RTS_I32* plResult) override;
    RTS_I32 GetPrjInfo(ProjectInfo**) override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 GetDevInfo(DeviceInfo3**) override { return PLCCOM_NOT_SUPPORTED; }

protected:
    // One variable list. The names are kept so that the list finds its
    // symbols again after the symbol table was reloaded.
    struct VarList {
        VarList() = default;
        ~VarList();
        VarList(const VarList&) = delete;
        VarList& operator=(const VarList&) = delete;

        RTS_UI32 ulSymbols = 0;
        std::vector<PlcSymbolDesc*> ppSymbols;
        std::vector<PlcVarValue*> ppValues;
        std::vector<std::string> names;
        std::vector<RTS_UI32> capacities;  // data bytes each value record has room for
        RTS_UI64 ullGeneration = 0;        // symbol table the pointers belong to
    };

    // Position of the first symbol of that name (ignoring case), or null.
    PlcSymbolDesc* FindSymbol(const char* pszName);
    // The value area bytes of a symbol (max(size, 1) of them), or null when
    // the range does not lie inside the area.
    RTS_UI8* SymbolBytes(const PlcSymbolDesc* pSymbol, RTS_UI32* pulRange);
    RTS_I32 LoadSymbolsLocked();
    RTS_I32 EnsureSymbols();
    VarList* FindList(HVARLIST hVarList);
    // Appends one variable; false when the name is unknown.
    bool AppendVariable(VarList* pList, const char* pszName);
    // Points a list at the current symbol table; PLCCOM_VARLIST_INVALID when
    // one of its names is gone.
    RTS_I32 ResolveList(VarList* pList);
    // Stores one value into the value area, never past the symbol's range.
    void StoreValue(const PlcSymbolDesc* pSymbol, const RTS_UI8* pValue, const RTS_UI32* pulValueSize);

    PLC_STATUS m_PlcStatus;
    // The variable lists handed out; a handle is valid while its list is here.
    std::vector<std::unique_ptr<VarList>> m_VarLists;
    char** m_ppszMappedAddr;
    std::unique_ptr<RTS_UI8[]> m_pbyCache;
    RTS_UI32 m_ulCacheSize;
    RTS_I32 m_bDontExpandSimpleTypeArrays;
    RTS_I32 m_bDontExpandComplexTypeArrays;
    std::unique_ptr<CXmlSymbolParser> m_pXmlParser;

private:
    // Counts symbol loads, so that a list sees that its pointers are stale.
    RTS_UI64 m_ullSymbolGeneration;
    RTS_HANDLE m_hsemSim;
};
