// Reader of a controller's symbol-configuration file: turns the XML document
// (types in "TypeList", variables in "NodeList") into the symbol table of a
// device object. Used by the V3 device client's symbol file variant and by the
// simulation device, which also keeps every value in a value area laid out
// here. The document is read through the XML parser component (CmpXMLParser),
// whose functions are imported by name.
//
// The file comes from outside (a local cache or an upload from the
// controller) and is treated as untrusted: every name, number, nesting and
// count is bounded, and a document that breaks a rule is rejected as a whole.
//
// Symbols made from one variable node ("Node" with a "type"):
// - the variable itself, named by the folder nodes around it joined with '.';
// - for an array type of 1 to 3 dimensions (unless switched off) one symbol
//   per element, "a[1]", "a[1,2]" or "a[1,2,3]", first index outermost;
// - for a structure type ("TypeUserDef") one symbol per member, "s.member";
//   elements and members are expanded again when they are arrays or
//   structures, up to XMLSYM_MAX_NESTING levels.
//
// Value area (the simulation device's memory, GetAreaSize() bytes):
// - each variable node gets its own range of max(size, 1) bytes, in file
//   order, so a 1-byte access to a symbol of size 0 stays inside its range;
// - a range starts at a multiple of its type's swap size when that is 1, 2, 4
//   or 8, at a multiple of 8 for arrays and structures, else anywhere;
// - element and member symbols lie inside their parent's range, at index x
//   element size (row order) or at the member's "compileroffset" (without one,
//   right after the previous member), so writing a member changes the
//   structure's bytes as on a controller. A child that does not fit inside
//   its parent's range rejects the document.
// Without monitoring addresses, ulOffset is the symbol's position in the value
// area and usRefId 0. With them, usRefId is the node's "area" and ulOffset its
// "offset" (children: the parent's offset plus their place in the parent).
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "../CmpXMLParser/CmpXMLParserItf.h"
#include "CmpStd.h"
#include "HelperClasses.h"
#include "kestrolink/PlcSymbol.h"

// Device results of the symbol file variant.
#ifndef PLCCOM_OK
#define PLCCOM_OK 0
#endif
#ifndef PLCCOM_FAILED
#define PLCCOM_FAILED (-1)
#endif
#ifndef PLCCOM_NO_SYMBOLS
#define PLCCOM_NO_SYMBOLS (-503)
#endif
#ifndef PLCCOM_UNKNOWN_TYPE
#define PLCCOM_UNKNOWN_TYPE (-504)
#endif
#ifndef PLCCOM_INVALID_PARAMETER
#define PLCCOM_INVALID_PARAMETER (-517)
#endif
#ifndef PLCCOM_NO_MEMORY
#define PLCCOM_NO_MEMORY (-518)
#endif

// Longest folder prefix of a symbol name ("App.GVL." and so on).
#define XMLSYM_MAX_PREFIX 252
// Longest full symbol name, expansions included.
#define XMLSYM_MAX_NAME 1023
// Array and structure levels expanded inside one variable.
#define XMLSYM_MAX_NESTING 32
// Default bounds of one document; see SetLimits.
#define XMLSYM_DEFAULT_MAX_SYMBOLS 2000000u
#define XMLSYM_DEFAULT_MAX_AREA (256u * 1024u * 1024u)

class CXmlSymbolParser {
public:
    // pfGetAPI resolves the XML parser component's functions; null uses the
    // component manager's CMGetAPI.
    CXmlSymbolParser(RTS_BOOL bDontExpandSimpleTypeArrays, RTS_BOOL bDontExpandComplexTypeArrays,
                     RTS_BOOL bMonitoringAddresses = 0, PF_GET_API pfGetAPI = nullptr);
    ~CXmlSymbolParser();
    CXmlSymbolParser(const CXmlSymbolParser&) = delete;
    CXmlSymbolParser& operator=(const CXmlSymbolParser&) = delete;

    // Bounds of a document: the number of symbols (expansions included) and
    // the size of the value area. A document beyond them is rejected.
    void SetLimits(RTS_UI32 ulMaxSymbols, RTS_UI32 ulMaxAreaSize) noexcept;

    // Reads a symbol-configuration file. On success (0) *ppSymbols holds
    // *pulNumOfSymbols descriptors sorted by name (KestrolinkUtlStrICmp;
    // equal names in document order), *pppszMappedAddr (optional) the
    // parallel "directaddress" texts (null where a symbol has none) and
    // *pulAreaSize (optional) the value area's size. Everything stays owned
    // by the parser and valid until it is destroyed or parses again.
    // Results: PLCCOM_INVALID_PARAMETER (no file name or output),
    // PLCCOM_NO_SYMBOLS (no variable node), PLCCOM_UNKNOWN_TYPE (a variable,
    // element or member of a type the TypeList lacks), PLCCOM_NO_MEMORY,
    // PLCCOM_FAILED (unreadable file, XML error, rejected content, bounds);
    // GetErrorText() says why.
    RTS_I32 ParseSymbolFile(const char* pszFileName, PlcSymbolDesc** ppSymbols, RTS_UI32* pulNumOfSymbols,
                            char*** pppszMappedAddr, RTS_UI32* pulAreaSize) noexcept;
    // The same for a document in memory.
    RTS_I32 ParseSymbolData(const char* pData, RTS_SIZE ulLen, PlcSymbolDesc** ppSymbols,
                            RTS_UI32* pulNumOfSymbols, char*** pppszMappedAddr,
                            RTS_UI32* pulAreaSize) noexcept;

    // "appname" and "dataguid" of the header's "ProjectInfo"; null when the
    // document has none.
    const char* GetAppName() const noexcept { return m_bHasAppName ? m_appName.c_str() : nullptr; }
    const char* GetDataGuid() const noexcept { return m_bHasDataGuid ? m_dataGuid.c_str() : nullptr; }
    RTS_UI32 GetAreaSize() const noexcept { return m_ulAreaSize; }
    // Why the last parse failed (empty after success).
    const char* GetErrorText() const noexcept { return m_error.c_str(); }

private:
    struct ArrayDim {
        RTS_I32 lMin;
        RTS_I32 lMax;
    };
    struct Member {
        std::string name;
        std::string type;
        RTS_UI32 ulOffset;
        bool bHasOffset;
        RTS_UI32 ulFlags;
        RTS_I64 lType;  // index into m_types, -1 unknown
    };
    enum TypeKind { TK_SIMPLE, TK_USERDEF, TK_ARRAY };
    struct TypeDesc {
        TypeKind kind;
        std::string name;
        std::string iecName;
        std::string typeClass;
        std::string baseType;
        RTS_UI32 ulSize = 0;
        RTS_UI32 ulSwapSize = 0;
        RTS_UI32 ulNumDims = 0;  // all "ArrayDim" seen; the first three are kept
        ArrayDim dims[3] = {};
        std::vector<Member> members;
        // Resolved after reading.
        RTS_UI32 ulTypeId = DATATYPE_VOID;
        RTS_I64 lBase = -1;
        RTS_UI32 ulAlign = 1;
    };
    struct VarNode {
        std::string name;
        std::string type;
        char cAccess;
        RTS_UI32 ulArea;
        RTS_UI32 ulOffset;
        RTS_UI32 ulFlags;
        bool bHasAddress;
        std::string address;
    };
    enum Context {
        CTX_CONFIG,
        CTX_HEADER,
        CTX_PROJECTINFO,
        CTX_TYPELIST,
        CTX_TYPE_SIMPLE,
        CTX_TYPE_USERDEF,
        CTX_USERDEF_ELEMENT,
        CTX_TYPE_ARRAY,
        CTX_ARRAY_DIM,
        CTX_NODELIST,
        CTX_NODE_FOLDER,
        CTX_NODE_LEAF
    };
    // A symbol whose children are being made.
    struct Frame {
        RTS_SIZE ulRecord;  // index into m_records
        RTS_SIZE ulType;    // index into m_types
        RTS_UI32 ulNext;    // next child
        RTS_UI32 ulCount;   // children in all
        RTS_UI32 ulDepth;
        RTS_UI32 ulAreaOffset;
        RTS_UI32 ulMonOffset;
        RTS_UI32 ulRunning;  // end of the previous member without its own offset
        RTS_UI16 usRefId;
        char cAccess;
    };

    static void OnStartElement(void* pUserData, const RTS_WCHAR* pwszName, const RTS_WCHAR** ppwszAttributes);
    static void OnEndElement(void* pUserData, const RTS_WCHAR* pwszName);

    void Reset();
    RTS_RESULT ImportXmlParser();
    RTS_I32 Parse(const char* pszFileName, const char* pData, RTS_SIZE ulLen, PlcSymbolDesc** ppSymbols,
                  RTS_UI32* pulNumOfSymbols, char*** pppszMappedAddr, RTS_UI32* pulAreaSize);
    RTS_I32 ReadDocument(const char* pszFileName, const char* pData, RTS_SIZE ulLen);
    void StartElement(const RTS_WCHAR* pwszName, const RTS_WCHAR** ppwszAttributes);
    void EndElement();
    bool StartNode(const RTS_WCHAR** ppwszAttributes, Context* pNext);
    bool StartType(TypeKind kind, const RTS_WCHAR** ppwszAttributes);
    bool StartUserDefElement(const RTS_WCHAR** ppwszAttributes);
    bool StartArrayDim(const RTS_WCHAR** ppwszAttributes);
    void Fail(RTS_I32 lResult, const std::string& text);

    RTS_I32 ResolveTypes();
    RTS_I32 BuildSymbols();
    RTS_I32 AddSymbol(const std::string& name, RTS_SIZE ulType, char cAccess, RTS_UI32 ulFlags,
                      RTS_UI32 ulAreaOffset, RTS_UI32 ulMonOffset, RTS_UI16 usRefId, const char* pszAddress,
                      RTS_UI32 ulDepth);
    RTS_I32 AddChild(RTS_SIZE ulFrame);
    RTS_UI64 ChildCount(const TypeDesc& type) const;
    RTS_I32 AllocateRange(const TypeDesc& type, RTS_UI32* pulOffset);
    void SortSymbols();

    RTS_BOOL m_bDontExpandSimpleTypeArrays;
    RTS_BOOL m_bDontExpandComplexTypeArrays;
    RTS_BOOL m_bMonitoringAddresses;
    PF_GET_API m_pfGetAPI;
    RTS_UI32 m_ulMaxSymbols = XMLSYM_DEFAULT_MAX_SYMBOLS;
    RTS_UI32 m_ulMaxAreaSize = XMLSYM_DEFAULT_MAX_AREA;

    // Imported functions of the XML parser component.
    PFCreateXMLParser3 m_pfCreateXMLParser3 = nullptr;
    PFSetXMLElementHandler m_pfSetXMLElementHandler = nullptr;
    PFParseXML2 m_pfParseXML2 = nullptr;
    PFStopXMLParser m_pfStopXMLParser = nullptr;
    PFGetXMLErrorInfo m_pfGetXMLErrorInfo = nullptr;
    PFFreeXMLParser m_pfFreeXMLParser = nullptr;
    RTS_HANDLE m_hParser = RTS_INVALID_HANDLE;

    DataTypeHashTable m_typeTable;

    // Reading state.
    std::vector<Context> m_contexts;
    RTS_UI64 m_ulSkipDepth = 0;
    std::string m_prefix;
    std::vector<RTS_SIZE> m_prefixLengths;
    bool m_bConfigEnded = false;
    bool m_bInParse = false;  // inside ParseXML2: handlers may stop the parser
    bool m_bFailed = false;
    RTS_I32 m_lResult = PLCCOM_OK;
    std::string m_error;

    // Document contents.
    std::string m_appName;
    std::string m_dataGuid;
    bool m_bHasAppName = false;
    bool m_bHasDataGuid = false;
    std::vector<TypeDesc> m_types;
    std::vector<VarNode> m_nodes;
    std::unique_ptr<Hash> m_pTypeIndex;

    // Results.
    std::unique_ptr<CStringAllocator> m_pNames;
    std::deque<std::string> m_addresses;
    std::vector<PlcSymbolDesc> m_records;
    std::vector<char*> m_recordAddresses;
    std::vector<PlcSymbolDesc> m_symbols;
    std::vector<char*> m_mappedAddr;
    RTS_UI32 m_ulAreaSize = 0;
    std::vector<Frame> m_frames;
};
