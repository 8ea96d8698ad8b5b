// Symbol-configuration file reader (see XmlSymbolParser.h): collects types and
// variable nodes while the document streams through the XML parser component,
// then resolves the types, expands arrays and structures iteratively and lays
// out the value area.
#include "XmlSymbolParser.h"

#include <algorithm>
#include <new>
#include <numeric>

#include "CMItf.h"
#include "SymbolUtil.h"

namespace {

// Position of a type in the parser's type list, stored in the name index.
class TypeRef : public HashContent {
public:
    explicit TypeRef(RTS_SIZE ulIndex) : m_ulIndex(ulIndex) {}
    RTS_SIZE m_ulIndex;
};

// Largest piece of an in-memory document handed to the XML parser at once.
constexpr RTS_SIZE kDataChunk = 1024 * 1024;

bool WEq(const RTS_WCHAR* pwsz, const char* psz) {
    if (pwsz == nullptr) {
        return false;
    }
    for (; *psz != '\0'; ++psz, ++pwsz) {
        if (*pwsz != static_cast<unsigned char>(*psz)) {
            return false;
        }
    }
    return *pwsz == 0;
}

const RTS_WCHAR* FindAttribute(const RTS_WCHAR** ppwszAttributes, const char* pszName) {
    for (const RTS_WCHAR** pp = ppwszAttributes; pp != nullptr && pp[0] != nullptr && pp[1] != nullptr;
         pp += 2) {
        if (WEq(pp[0], pszName)) {
            return pp[1];
        }
    }
    return nullptr;
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(const RTS_WCHAR* pwsz) {
    std::string out;
    if (pwsz == nullptr) {
        return out;
    }
    for (; *pwsz != 0; ++pwsz) {
        RTS_UI32 c = *pwsz;
        if (c >= 0xD800 && c <= 0xDBFF && pwsz[1] >= 0xDC00 && pwsz[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (pwsz[1] - 0xDC00);
            ++pwsz;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// Decimal attribute: digits only, within 32 bits.
bool ParseUnsigned(const RTS_WCHAR* pwsz, RTS_UI32* pulValue) {
    if (pwsz == nullptr || *pwsz == 0) {
        return false;
    }
    RTS_UI64 value = 0;
    for (; *pwsz != 0; ++pwsz) {
        if (*pwsz < '0' || *pwsz > '9') {
            return false;
        }
        value = value * 10 + (*pwsz - '0');
        if (value > 0xFFFFFFFFu) {
            return false;
        }
    }
    *pulValue = static_cast<RTS_UI32>(value);
    return true;
}

bool ParseSigned(const RTS_WCHAR* pwsz, RTS_I32* plValue) {
    if (pwsz == nullptr) {
        return false;
    }
    bool bNegative = *pwsz == '-';
    RTS_UI32 ulMagnitude = 0;
    if (!ParseUnsigned(bNegative ? pwsz + 1 : pwsz, &ulMagnitude)) {
        return false;
    }
    if (bNegative ? ulMagnitude > 0x80000000u : ulMagnitude > 0x7FFFFFFFu) {
        return false;
    }
    *plValue = bNegative ? static_cast<RTS_I32>(0 - static_cast<RTS_I64>(ulMagnitude))
                         : static_cast<RTS_I32>(ulMagnitude);
    return true;
}

RTS_UI32 RangeOf(RTS_UI32 ulSize) {
    return ulSize == 0 ? 1 : ulSize;
}

template <typename PF>
RTS_RESULT ImportFunction(PF_GET_API pfGetAPI, const char* pszName, RTS_UI32 ulSignature, PF* ppf) {
    RTS_VOID_FCTPTR pf = nullptr;
    RTS_RESULT result = pfGetAPI(pszName, &pf, ulSignature);
    *ppf = result == ERR_OK ? reinterpret_cast<PF>(pf) : nullptr;
    return result == ERR_OK && pf == nullptr ? ERR_NO_OBJECT : result;
}

}  // namespace

CXmlSymbolParser::CXmlSymbolParser(RTS_BOOL bDontExpandSimpleTypeArrays,
                                   RTS_BOOL bDontExpandComplexTypeArrays, RTS_BOOL bMonitoringAddresses,
                                   PF_GET_API pfGetAPI)
    : m_bDontExpandSimpleTypeArrays(bDontExpandSimpleTypeArrays),
      m_bDontExpandComplexTypeArrays(bDontExpandComplexTypeArrays),
      m_bMonitoringAddresses(bMonitoringAddresses),
      m_pfGetAPI(pfGetAPI != nullptr ? pfGetAPI : CMGetAPI),
      m_typeTable(37) {}

CXmlSymbolParser::~CXmlSymbolParser() = default;

void CXmlSymbolParser::SetLimits(RTS_UI32 ulMaxSymbols, RTS_UI32 ulMaxAreaSize) noexcept {
    m_ulMaxSymbols = ulMaxSymbols;
    m_ulMaxAreaSize = ulMaxAreaSize;
}

void CXmlSymbolParser::Reset() {
    m_contexts.clear();
    m_ulSkipDepth = 0;
    m_prefix.clear();
    m_prefixLengths.clear();
    m_bConfigEnded = false;
    m_bInParse = false;
    m_bFailed = false;
    m_lResult = PLCCOM_OK;
    m_error.clear();
    m_appName.clear();
    m_dataGuid.clear();
    m_bHasAppName = false;
    m_bHasDataGuid = false;
    m_types.clear();
    m_nodes.clear();
    m_pTypeIndex.reset();
    m_pNames.reset();
    m_addresses.clear();
    m_records.clear();
    m_recordAddresses.clear();
    m_symbols.clear();
    m_mappedAddr.clear();
    m_ulAreaSize = 0;
    m_frames.clear();
}

RTS_RESULT CXmlSymbolParser::ImportXmlParser() {
    if (m_pfFreeXMLParser != nullptr) {
        return ERR_OK;
    }
    RTS_RESULT result =
        ImportFunction(m_pfGetAPI, "CreateXMLParser3", SIG_CreateXMLParser3, &m_pfCreateXMLParser3);
    if (result == ERR_OK) {
        result = ImportFunction(m_pfGetAPI, "SetXMLElementHandler", SIG_SetXMLElementHandler,
                                &m_pfSetXMLElementHandler);
    }
    if (result == ERR_OK) {
        result = ImportFunction(m_pfGetAPI, "ParseXML2", SIG_ParseXML2, &m_pfParseXML2);
    }
    if (result == ERR_OK) {
        result = ImportFunction(m_pfGetAPI, "StopXMLParser", SIG_StopXMLParser, &m_pfStopXMLParser);
    }
    if (result == ERR_OK) {
        result = ImportFunction(m_pfGetAPI, "GetXMLErrorInfo", SIG_GetXMLErrorInfo, &m_pfGetXMLErrorInfo);
    }
    // The release function last: it marks a complete import.
    if (result == ERR_OK) {
        result = ImportFunction(m_pfGetAPI, "FreeXMLParser", SIG_FreeXMLParser, &m_pfFreeXMLParser);
    }
    return result;
}

void CXmlSymbolParser::Fail(RTS_I32 lResult, const std::string& text) {
    if (m_bFailed) {
        return;
    }
    m_bFailed = true;
    m_lResult = lResult;
    m_error = text;
    if (m_bInParse) {
        RTS_UI32 ulLine = 0;
        if (m_pfGetXMLErrorInfo(m_hParser, &ulLine, nullptr, nullptr, 0) == ERR_OK && ulLine != 0) {
            m_error += " (line " + std::to_string(ulLine) + ")";
        }
        m_pfStopXMLParser(m_hParser);
    }
}

// ---- Reading ---------------------------------------------------------------------

void CXmlSymbolParser::OnStartElement(void* pUserData, const RTS_WCHAR* pwszName,
                                      const RTS_WCHAR** ppwszAttributes) {
    CXmlSymbolParser* pThis = static_cast<CXmlSymbolParser*>(pUserData);
    try {
        pThis->StartElement(pwszName, ppwszAttributes);
    } catch (...) {
        // Out of memory while collecting: no text can be made either.
        pThis->m_bFailed = true;
        pThis->m_lResult = PLCCOM_NO_MEMORY;
        pThis->m_pfStopXMLParser(pThis->m_hParser);
    }
}

void CXmlSymbolParser::OnEndElement(void* pUserData, const RTS_WCHAR*) {
    static_cast<CXmlSymbolParser*>(pUserData)->EndElement();
}

void CXmlSymbolParser::StartElement(const RTS_WCHAR* pwszName, const RTS_WCHAR** ppwszAttributes) {
    if (m_bFailed) {
        return;
    }
    if (m_ulSkipDepth > 0) {
        ++m_ulSkipDepth;
        return;
    }
    bool bKnown = false;
    Context next = CTX_CONFIG;
    if (m_contexts.empty()) {
        bKnown = WEq(pwszName, "Symbolconfiguration") && !m_bConfigEnded;
        next = CTX_CONFIG;
    } else {
        switch (m_contexts.back()) {
            case CTX_CONFIG:
                if (WEq(pwszName, "Header")) {
                    bKnown = true;
                    next = CTX_HEADER;
                } else if (WEq(pwszName, "TypeList")) {
                    bKnown = true;
                    next = CTX_TYPELIST;
                } else if (WEq(pwszName, "NodeList")) {
                    bKnown = true;
                    next = CTX_NODELIST;
                }
                break;
            case CTX_HEADER:
                if (WEq(pwszName, "ProjectInfo")) {
                    bKnown = true;
                    next = CTX_PROJECTINFO;
                    const RTS_WCHAR* pwszApp = FindAttribute(ppwszAttributes, "appname");
                    const RTS_WCHAR* pwszGuid = FindAttribute(ppwszAttributes, "dataguid");
                    if (pwszApp != nullptr) {
                        m_appName = ToUtf8(pwszApp);
                        m_bHasAppName = true;
                    }
                    if (pwszGuid != nullptr) {
                        m_dataGuid = ToUtf8(pwszGuid);
                        m_bHasDataGuid = true;
                    }
                }
                break;
            case CTX_TYPELIST:
                if (WEq(pwszName, "TypeSimple")) {
                    bKnown = StartType(TK_SIMPLE, ppwszAttributes);
                    next = CTX_TYPE_SIMPLE;
                } else if (WEq(pwszName, "TypeUserDef")) {
                    bKnown = StartType(TK_USERDEF, ppwszAttributes);
                    next = CTX_TYPE_USERDEF;
                } else if (WEq(pwszName, "TypeArray")) {
                    bKnown = StartType(TK_ARRAY, ppwszAttributes);
                    next = CTX_TYPE_ARRAY;
                }
                break;
            case CTX_TYPE_USERDEF:
                if (WEq(pwszName, "UserDefElement")) {
                    bKnown = StartUserDefElement(ppwszAttributes);
                    next = CTX_USERDEF_ELEMENT;
                }
                break;
            case CTX_TYPE_ARRAY:
                if (WEq(pwszName, "ArrayDim")) {
                    bKnown = StartArrayDim(ppwszAttributes);
                    next = CTX_ARRAY_DIM;
                }
                break;
            case CTX_NODELIST:
            case CTX_NODE_FOLDER:
                if (WEq(pwszName, "Node")) {
                    bKnown = StartNode(ppwszAttributes, &next);
                }
                break;
            default:
                // Comments, attributes and anything else inside a variable
                // node or a leaf of the type list.
                break;
        }
    }
    if (m_bFailed) {
        return;
    }
    if (!bKnown) {
        // Unknown elements are skipped with everything inside them; only the
        // depth is counted, so any nesting costs no memory.
        m_ulSkipDepth = 1;
        return;
    }
    m_contexts.push_back(next);
}

void CXmlSymbolParser::EndElement() {
    if (m_bFailed) {
        return;
    }
    if (m_ulSkipDepth > 0) {
        --m_ulSkipDepth;
        return;
    }
    if (m_contexts.empty()) {
        return;
    }
    Context ended = m_contexts.back();
    m_contexts.pop_back();
    if (ended == CTX_NODE_FOLDER) {
        m_prefix.resize(m_prefixLengths.back());
        m_prefixLengths.pop_back();
    } else if (ended == CTX_CONFIG) {
        m_bConfigEnded = true;
    }
}

bool CXmlSymbolParser::StartNode(const RTS_WCHAR** ppwszAttributes, Context* pNext) {
    const RTS_WCHAR* pwszName = FindAttribute(ppwszAttributes, "name");
    const RTS_WCHAR* pwszType = FindAttribute(ppwszAttributes, "type");
    if (pwszType == nullptr) {
        if (pwszName == nullptr) {
            Fail(PLCCOM_FAILED, "Node without name");
            return false;
        }
        std::string name = ToUtf8(pwszName);
        if (m_prefix.size() + name.size() + 1 > XMLSYM_MAX_PREFIX) {
            Fail(PLCCOM_FAILED,
                 "name prefix longer than " + std::to_string(XMLSYM_MAX_PREFIX) + " characters");
            return false;
        }
        m_prefixLengths.push_back(m_prefix.size());
        m_prefix += name;
        m_prefix += '.';
        *pNext = CTX_NODE_FOLDER;
        return true;
    }
    const RTS_WCHAR* pwszAccess = FindAttribute(ppwszAttributes, "access");
    std::string name = pwszName != nullptr ? ToUtf8(pwszName) : std::string();
    if (pwszName == nullptr || pwszAccess == nullptr) {
        Fail(PLCCOM_FAILED,
             "Node " + m_prefix + name + " without " + (pwszName == nullptr ? "name" : "access"));
        return false;
    }
    VarNode node;
    node.name = m_prefix + name;
    if (node.name.size() > XMLSYM_MAX_NAME) {
        Fail(PLCCOM_FAILED, "symbol name longer than " + std::to_string(XMLSYM_MAX_NAME) + " characters");
        return false;
    }
    node.type = ToUtf8(pwszType);
    if (WEq(pwszAccess, "ReadWrite")) {
        node.cAccess = 'b';
    } else if (WEq(pwszAccess, "Read")) {
        node.cAccess = 'r';
    } else if (WEq(pwszAccess, "Write")) {
        node.cAccess = 'w';
    } else {
        node.cAccess = 'n';
    }
    node.ulArea = 0;
    node.ulOffset = 0;
    if (m_bMonitoringAddresses != 0) {
        const RTS_WCHAR* pwszArea = FindAttribute(ppwszAttributes, "area");
        const RTS_WCHAR* pwszOffset = FindAttribute(ppwszAttributes, "offset");
        if (pwszArea == nullptr || pwszOffset == nullptr) {
            Fail(PLCCOM_FAILED,
                 "Node " + node.name + " without " + (pwszArea == nullptr ? "area" : "offset"));
            return false;
        }
        // The area becomes the 16-bit reference id.
        if (!ParseUnsigned(pwszArea, &node.ulArea) || node.ulArea > 0xFFFFu ||
            !ParseUnsigned(pwszOffset, &node.ulOffset)) {
            Fail(PLCCOM_FAILED, "Node " + node.name + " with a bad area or offset");
            return false;
        }
    }
    node.ulFlags = FindAttribute(ppwszAttributes, "referencetype") != nullptr ? DATATYPE_FLAG_REFERENCE : 0;
    const RTS_WCHAR* pwszAddress = FindAttribute(ppwszAttributes, "directaddress");
    node.bHasAddress = pwszAddress != nullptr;
    if (node.bHasAddress) {
        node.address = ToUtf8(pwszAddress);
    }
    if (m_nodes.size() >= m_ulMaxSymbols) {
        Fail(PLCCOM_FAILED, "more than " + std::to_string(m_ulMaxSymbols) + " symbols");
        return false;
    }
    m_nodes.push_back(std::move(node));
    *pNext = CTX_NODE_LEAF;
    return true;
}

bool CXmlSymbolParser::StartType(TypeKind kind, const RTS_WCHAR** ppwszAttributes) {
    const RTS_WCHAR* pwszName = FindAttribute(ppwszAttributes, "name");
    const RTS_WCHAR* pwszIecName = FindAttribute(ppwszAttributes, "iecname");
    if (kind == TK_SIMPLE && (pwszName == nullptr || pwszIecName == nullptr)) {
        Fail(PLCCOM_FAILED, std::string("TypeSimple without ") + (pwszName == nullptr ? "name" : "iecname"));
        return false;
    }
    if (m_types.size() >= m_ulMaxSymbols) {
        Fail(PLCCOM_FAILED, "more than " + std::to_string(m_ulMaxSymbols) + " types");
        return false;
    }
    TypeDesc type;
    type.kind = kind;
    type.name = ToUtf8(pwszName);
    type.iecName = ToUtf8(pwszIecName);
    type.typeClass = ToUtf8(FindAttribute(ppwszAttributes, "typeclass"));
    type.baseType = ToUtf8(FindAttribute(ppwszAttributes, "basetype"));
    const RTS_WCHAR* pwszSize = FindAttribute(ppwszAttributes, "size");
    if (pwszSize != nullptr && !ParseUnsigned(pwszSize, &type.ulSize)) {
        Fail(PLCCOM_FAILED, "type " + type.name + " with a bad size");
        return false;
    }
    if (kind == TK_SIMPLE) {
        const RTS_WCHAR* pwszSwap = FindAttribute(ppwszAttributes, "swapsize");
        if (pwszSwap == nullptr) {
            pwszSwap = FindAttribute(ppwszAttributes, "nativesize");
        }
        RTS_UI32 ulSwap = 0;
        if (pwszSwap != nullptr && ParseUnsigned(pwszSwap, &ulSwap) && ulSwap <= 0xFFu) {
            type.ulSwapSize = ulSwap;
        }
    }
    m_types.push_back(std::move(type));
    return true;
}

bool CXmlSymbolParser::StartUserDefElement(const RTS_WCHAR** ppwszAttributes) {
    TypeDesc& parent = m_types.back();
    const RTS_WCHAR* pwszType = FindAttribute(ppwszAttributes, "type");
    const RTS_WCHAR* pwszIecName = FindAttribute(ppwszAttributes, "iecname");
    if (pwszType == nullptr || pwszIecName == nullptr) {
        Fail(PLCCOM_FAILED,
             "UserDefElement of " + parent.name + " without " + (pwszType == nullptr ? "type" : "iecname"));
        return false;
    }
    if (parent.members.size() >= m_ulMaxSymbols) {
        Fail(PLCCOM_FAILED,
             "type " + parent.name + " with more than " + std::to_string(m_ulMaxSymbols) + " members");
        return false;
    }
    Member member;
    member.name = ToUtf8(pwszIecName);
    member.type = ToUtf8(pwszType);
    member.ulOffset = 0;
    member.lType = -1;
    const RTS_WCHAR* pwszOffset = FindAttribute(ppwszAttributes, "compileroffset");
    member.bHasOffset = pwszOffset != nullptr;
    if (member.bHasOffset && !ParseUnsigned(pwszOffset, &member.ulOffset)) {
        Fail(PLCCOM_FAILED, "member " + member.name + " of " + parent.name + " with a bad compileroffset");
        return false;
    }
    member.ulFlags = 0;
    if (WEq(FindAttribute(ppwszAttributes, "vartype"), "VAR_IN_OUT")) {
        member.ulFlags |= DATATYPE_FLAG_REFERENCE;
    }
    if (FindAttribute(ppwszAttributes, "propertytype") != nullptr) {
        member.ulFlags |= DATATYPE_FLAG_PROPERTY;
    }
    parent.members.push_back(std::move(member));
    return true;
}

bool CXmlSymbolParser::StartArrayDim(const RTS_WCHAR** ppwszAttributes) {
    TypeDesc& parent = m_types.back();
    ArrayDim dim = {0, 0};
    const RTS_WCHAR* pwszMin = FindAttribute(ppwszAttributes, "minrange");
    const RTS_WCHAR* pwszMax = FindAttribute(ppwszAttributes, "maxrange");
    if ((pwszMin != nullptr && !ParseSigned(pwszMin, &dim.lMin)) ||
        (pwszMax != nullptr && !ParseSigned(pwszMax, &dim.lMax))) {
        Fail(PLCCOM_FAILED, "ArrayDim of " + parent.name + " with a bad range");
        return false;
    }
    // Only up to three dimensions are expanded; more are only counted.
    if (parent.ulNumDims < 3) {
        parent.dims[parent.ulNumDims] = dim;
    }
    if (parent.ulNumDims < 4) {
        ++parent.ulNumDims;
    }
    return true;
}

RTS_I32 CXmlSymbolParser::ReadDocument(const char* pszFileName, const char* pData, RTS_SIZE ulLen) {
    if (ImportXmlParser() != ERR_OK) {
        Fail(PLCCOM_FAILED, "XML parser component not available");
        return m_lResult;
    }
    RTS_RESULT result = ERR_OK;
    m_hParser = m_pfCreateXMLParser3(pszFileName, nullptr, this, &result);
    if (m_hParser == RTS_INVALID_HANDLE) {
        Fail(PLCCOM_NO_MEMORY, "no XML parser");
        return m_lResult;
    }
    // The parser is released on every way out, an exception included.
    struct ParserGuard {
        CXmlSymbolParser* pThis;
        ~ParserGuard() {
            pThis->m_pfFreeXMLParser(pThis->m_hParser);
            pThis->m_hParser = RTS_INVALID_HANDLE;
        }
    } guard{this};
    m_pfSetXMLElementHandler(m_hParser, OnStartElement, OnEndElement);
    m_bInParse = true;
    if (pszFileName != nullptr) {
        result = m_pfParseXML2(m_hParser, nullptr, 0, 1);
    } else {
        RTS_SIZE ulDone = 0;
        do {
            RTS_SIZE ulPiece = std::min(ulLen - ulDone, kDataChunk);
            bool bLast = ulDone + ulPiece == ulLen;
            result = m_pfParseXML2(m_hParser, pData + ulDone, static_cast<RTS_I32>(ulPiece), bLast ? 1 : 0);
            ulDone += ulPiece;
        } while (result == ERR_OK && ulDone < ulLen);
    }
    m_bInParse = false;
    if (result != ERR_OK && !m_bFailed) {
        if (result != ERR_FAILED) {
            Fail(PLCCOM_FAILED,
                 std::string("cannot read ") + (pszFileName != nullptr ? pszFileName : "document"));
        } else {
            char szText[128];
            RTS_UI32 ulLine = 0;
            m_pfGetXMLErrorInfo(m_hParser, &ulLine, nullptr, szText, sizeof(szText));
            Fail(PLCCOM_FAILED, "XML error in line " + std::to_string(ulLine) + ": " + szText);
        }
    }
    if (!m_bFailed && !m_bConfigEnded) {
        Fail(PLCCOM_FAILED, "document does not end with Symbolconfiguration");
    }
    return m_bFailed ? m_lResult : PLCCOM_OK;
}

// ---- Building the symbol table ----------------------------------------------------

RTS_I32 CXmlSymbolParser::ResolveTypes() {
    // About one bucket per type keeps the chains short for large type lists.
    RTS_SIZE ulBuckets = std::min<RTS_SIZE>(std::max<RTS_SIZE>(m_types.size(), 37), 1u << 20) | 1u;
    m_pTypeIndex.reset(new Hash(static_cast<int>(ulBuckets)));
    if (m_pTypeIndex->pphe == nullptr) {
        return PLCCOM_NO_MEMORY;
    }
    for (RTS_SIZE i = 0; i < m_types.size(); ++i) {
        // A later type of the same name (in any case) is dropped by Add.
        if (m_pTypeIndex->Get(m_types[i].name.c_str()) == nullptr) {
            TypeRef* pRef = new TypeRef(i);
            if (m_pTypeIndex->Add(m_types[i].name.c_str(), pRef) == nullptr) {
                return PLCCOM_NO_MEMORY;
            }
        }
    }
    auto lookup = [this](const std::string& name) -> RTS_I64 {
        const TypeRef* pRef = static_cast<const TypeRef*>(m_pTypeIndex->Get(name.c_str()));
        return pRef != nullptr ? static_cast<RTS_I64>(pRef->m_ulIndex) : -1;
    };
    for (TypeDesc& type : m_types) {
        if (KestrolinkUtlStrICmp(type.typeClass.c_str(), "ENUM") == 0) {
            type.ulTypeId = m_typeTable.GetType("ENUM", type.ulSize);
        } else {
            type.ulTypeId = m_typeTable.GetType(type.iecName.c_str(), type.ulSize);
            if (type.kind == TK_USERDEF && type.ulTypeId == DATATYPE_VOID) {
                type.ulTypeId = m_typeTable.GetType("DATA", type.ulSize);
            }
        }
        if (type.kind == TK_ARRAY) {
            type.lBase = lookup(type.baseType);
        }
        for (Member& member : type.members) {
            member.lType = lookup(member.type);
        }
        RTS_UI32 ulSwap = type.ulSwapSize;
        if (type.kind != TK_SIMPLE) {
            type.ulAlign = 8;
        } else {
            type.ulAlign = ulSwap == 2 || ulSwap == 4 || ulSwap == 8 ? ulSwap : 1;
        }
    }
    return PLCCOM_OK;
}

RTS_UI64 CXmlSymbolParser::ChildCount(const TypeDesc& type) const {
    if (type.kind == TK_USERDEF) {
        return KestrolinkUtlStrICmp(type.typeClass.c_str(), "ENUM") == 0 ? 0 : type.members.size();
    }
    if (type.kind != TK_ARRAY || type.ulNumDims < 1 || type.ulNumDims > 3) {
        return 0;
    }
    bool bComplex = (type.ulTypeId & ~DATATYPE_FLAG_MASK) == (DATATYPE_KIND_ARRAY | DATATYPE_VOID);
    if (bComplex ? m_bDontExpandComplexTypeArrays != 0 : m_bDontExpandSimpleTypeArrays != 0) {
        return 0;
    }
    RTS_UI64 ulCount = 1;
    for (RTS_UI32 d = 0; d < type.ulNumDims; ++d) {
        if (type.dims[d].lMax < type.dims[d].lMin) {
            return 0;
        }
        RTS_UI64 ulExtent =
            static_cast<RTS_UI64>(static_cast<RTS_I64>(type.dims[d].lMax) - type.dims[d].lMin + 1);
        // Each extent is at most 2^32, so capping the product keeps it exact
        // up to the cap without overflowing.
        ulCount = std::min<RTS_UI64>(ulCount * ulExtent, 1ull << 32);
    }
    return ulCount;
}

RTS_I32 CXmlSymbolParser::AllocateRange(const TypeDesc& type, RTS_UI32* pulOffset) {
    RTS_UI64 ulOffset =
        (static_cast<RTS_UI64>(m_ulAreaSize) + type.ulAlign - 1) / type.ulAlign * type.ulAlign;
    RTS_UI64 ulEnd = ulOffset + RangeOf(type.ulSize);
    if (ulEnd > m_ulMaxAreaSize) {
        Fail(PLCCOM_FAILED, "value area larger than " + std::to_string(m_ulMaxAreaSize) + " bytes");
        return m_lResult;
    }
    *pulOffset = static_cast<RTS_UI32>(ulOffset);
    m_ulAreaSize = static_cast<RTS_UI32>(ulEnd);
    return PLCCOM_OK;
}

RTS_I32 CXmlSymbolParser::AddSymbol(const std::string& name, RTS_SIZE ulType, char cAccess, RTS_UI32 ulFlags,
                                    RTS_UI32 ulAreaOffset, RTS_UI32 ulMonOffset, RTS_UI16 usRefId,
                                    const char* pszAddress, RTS_UI32 ulDepth) {
    if (m_records.size() >= m_ulMaxSymbols) {
        Fail(PLCCOM_FAILED, "more than " + std::to_string(m_ulMaxSymbols) + " symbols");
        return m_lResult;
    }
    if (name.size() > XMLSYM_MAX_NAME) {
        Fail(PLCCOM_FAILED, "symbol name longer than " + std::to_string(XMLSYM_MAX_NAME) + " characters");
        return m_lResult;
    }
    const TypeDesc& type = m_types[ulType];
    PlcSymbolDesc desc = {};
    desc.pszName = m_pNames->StoreString(name.c_str());
    if (desc.pszName == nullptr) {
        Fail(PLCCOM_NO_MEMORY, "no memory for symbol names");
        return m_lResult;
    }
    desc.ulTypeId = type.ulTypeId | ulFlags;
    desc.pszType = const_cast<char*>(type.iecName.c_str());
    desc.usRefId = m_bMonitoringAddresses != 0 ? usRefId : 0;
    desc.ulOffset = m_bMonitoringAddresses != 0 ? ulMonOffset : ulAreaOffset;
    desc.ulSize = type.ulSize;
    desc.szAccess[0] = cAccess;
    desc.szAccess[1] = '\0';
    if (type.kind == TK_ARRAY) {
        if (type.lBase >= 0) {
            const TypeDesc& base = m_types[static_cast<RTS_SIZE>(type.lBase)];
            bool bNoSwap = base.ulTypeId == DATATYPE_VOID || base.ulTypeId == DATATYPE_BIT;
            desc.bySwapSize = static_cast<RTS_UI8>(bNoSwap ? 0 : base.ulSwapSize);
        }
    } else {
        desc.bySwapSize = static_cast<RTS_UI8>(type.ulSwapSize);
    }
    m_records.push_back(desc);
    m_recordAddresses.push_back(const_cast<char*>(pszAddress));

    RTS_UI64 ulChildren = ChildCount(type);
    if (ulChildren == 0) {
        return PLCCOM_OK;
    }
    if (ulChildren > m_ulMaxSymbols - m_records.size()) {
        Fail(PLCCOM_FAILED, name + " expands to more than " + std::to_string(m_ulMaxSymbols) + " symbols");
        return m_lResult;
    }
    if (ulDepth >= XMLSYM_MAX_NESTING) {
        Fail(PLCCOM_FAILED,
             name + " nests types deeper than " + std::to_string(XMLSYM_MAX_NESTING) + " levels");
        return m_lResult;
    }
    Frame frame;
    frame.ulRecord = m_records.size() - 1;
    frame.ulType = ulType;
    frame.ulNext = 0;
    frame.ulCount = static_cast<RTS_UI32>(ulChildren);
    frame.ulDepth = ulDepth;
    frame.ulAreaOffset = ulAreaOffset;
    frame.ulMonOffset = ulMonOffset;
    frame.ulRunning = 0;
    frame.usRefId = usRefId;
    frame.cAccess = cAccess;
    m_frames.push_back(frame);
    return PLCCOM_OK;
}

RTS_I32 CXmlSymbolParser::AddChild(RTS_SIZE ulFrame) {
    // A copy: adding the child may push a frame and move the stack.
    Frame frame = m_frames[ulFrame];
    RTS_UI32 ulChild = m_frames[ulFrame].ulNext++;
    const TypeDesc& parent = m_types[frame.ulType];
    std::string name = m_records[frame.ulRecord].pszName;
    RTS_I64 lChildType = -1;
    RTS_UI64 ulRel = 0;
    RTS_UI32 ulFlags = 0;
    if (parent.kind == TK_ARRAY) {
        if (parent.lBase < 0) {
            Fail(PLCCOM_UNKNOWN_TYPE, "unknown base type " + parent.baseType + " of " + name);
            return m_lResult;
        }
        lChildType = parent.lBase;
        ulRel = static_cast<RTS_UI64>(ulChild) * m_types[static_cast<RTS_SIZE>(lChildType)].ulSize;
        // Row order: the last index runs fastest.
        RTS_I64 alIndex[3] = {0, 0, 0};
        RTS_UI64 ulRest = ulChild;
        for (RTS_UI32 d = parent.ulNumDims; d-- > 0;) {
            RTS_UI64 ulExtent =
                static_cast<RTS_UI64>(static_cast<RTS_I64>(parent.dims[d].lMax) - parent.dims[d].lMin + 1);
            alIndex[d] = parent.dims[d].lMin + static_cast<RTS_I64>(ulRest % ulExtent);
            ulRest /= ulExtent;
        }
        name += '[';
        for (RTS_UI32 d = 0; d < parent.ulNumDims; ++d) {
            if (d > 0) {
                name += ',';
            }
            name += std::to_string(alIndex[d]);
        }
        name += ']';
    } else {
        const Member& member = parent.members[ulChild];
        if (member.lType < 0) {
            Fail(PLCCOM_UNKNOWN_TYPE, "unknown type " + member.type + " of " + name + "." + member.name);
            return m_lResult;
        }
        lChildType = member.lType;
        ulRel = member.bHasOffset ? member.ulOffset : frame.ulRunning;
        ulFlags = member.ulFlags;
        name += '.';
        name += member.name;
    }
    const TypeDesc& child = m_types[static_cast<RTS_SIZE>(lChildType)];
    RTS_UI32 ulAreaOffset = 0;
    // References and properties do not hold their value inside the parent:
    // they get a range of their own.
    bool bOwnRange = (ulFlags & (DATATYPE_FLAG_REFERENCE | DATATYPE_FLAG_PROPERTY)) != 0;
    if (bOwnRange) {
        RTS_I32 lResult = AllocateRange(child, &ulAreaOffset);
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
    } else {
        if (ulRel + RangeOf(child.ulSize) > RangeOf(parent.ulSize)) {
            Fail(PLCCOM_FAILED,
                 name + " does not fit into its parent's " + std::to_string(parent.ulSize) + " bytes");
            return m_lResult;
        }
        ulAreaOffset = frame.ulAreaOffset + static_cast<RTS_UI32>(ulRel);
        if (parent.kind == TK_USERDEF) {
            m_frames[ulFrame].ulRunning = static_cast<RTS_UI32>(ulRel + child.ulSize);
        }
    }
    RTS_UI64 ulMonOffset = frame.ulMonOffset + ulRel;
    if (ulMonOffset > 0xFFFFFFFFu) {
        Fail(PLCCOM_FAILED, name + " lies beyond a 32-bit offset");
        return m_lResult;
    }
    return AddSymbol(name, static_cast<RTS_SIZE>(lChildType), frame.cAccess, ulFlags, ulAreaOffset,
                     static_cast<RTS_UI32>(ulMonOffset), frame.usRefId, nullptr, frame.ulDepth + 1);
}

RTS_I32 CXmlSymbolParser::BuildSymbols() {
    if (m_nodes.empty()) {
        Fail(PLCCOM_NO_SYMBOLS, "no symbol nodes");
        return m_lResult;
    }
    m_pNames.reset(new CStringAllocator(0, 64 * 1024, 1024 * 1024));
    for (const VarNode& node : m_nodes) {
        const TypeRef* pRef = static_cast<const TypeRef*>(m_pTypeIndex->Get(node.type.c_str()));
        if (pRef == nullptr) {
            Fail(PLCCOM_UNKNOWN_TYPE, "unknown type " + node.type + " of " + node.name);
            return m_lResult;
        }
        RTS_UI32 ulAreaOffset = 0;
        RTS_I32 lResult = AllocateRange(m_types[pRef->m_ulIndex], &ulAreaOffset);
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
        char* pszAddress = nullptr;
        if (node.bHasAddress) {
            m_addresses.push_back(node.address);
            pszAddress = &m_addresses.back()[0];
        }
        // Without monitoring addresses the record's offset is its place in
        // the value area; AddSymbol picks the right one.
        lResult = AddSymbol(node.name, pRef->m_ulIndex, node.cAccess, node.ulFlags, ulAreaOffset,
                            node.ulOffset, static_cast<RTS_UI16>(node.ulArea), pszAddress, 0);
        while (lResult == PLCCOM_OK && !m_frames.empty()) {
            if (m_frames.back().ulNext >= m_frames.back().ulCount) {
                m_frames.pop_back();
                continue;
            }
            lResult = AddChild(m_frames.size() - 1);
        }
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
    }
    return PLCCOM_OK;
}

void CXmlSymbolParser::SortSymbols() {
    std::vector<RTS_SIZE> order(m_records.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [this](RTS_SIZE a, RTS_SIZE b) {
        return KestrolinkUtlStrICmp(m_records[a].pszName, m_records[b].pszName) < 0;
    });
    m_symbols.resize(order.size());
    m_mappedAddr.resize(order.size());
    for (RTS_SIZE i = 0; i < order.size(); ++i) {
        m_symbols[i] = m_records[order[i]];
        m_mappedAddr[i] = m_recordAddresses[order[i]];
    }
    m_records.clear();
    m_records.shrink_to_fit();
    m_recordAddresses.clear();
    m_recordAddresses.shrink_to_fit();
}

// ---- Entry points ----------------------------------------------------------------

RTS_I32 CXmlSymbolParser::Parse(const char* pszFileName, const char* pData, RTS_SIZE ulLen,
                                PlcSymbolDesc** ppSymbols, RTS_UI32* pulNumOfSymbols, char*** pppszMappedAddr,
                                RTS_UI32* pulAreaSize) {
    Reset();
    RTS_I32 lResult = ReadDocument(pszFileName, pData, ulLen);
    if (lResult == PLCCOM_OK) {
        lResult = ResolveTypes();
    }
    if (lResult == PLCCOM_OK) {
        lResult = BuildSymbols();
    }
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    // The reading state is of no further use; the records point into the
    // types (type names) and the name pool, which stay.
    m_nodes.clear();
    m_nodes.shrink_to_fit();
    m_frames.clear();
    SortSymbols();
    *ppSymbols = m_symbols.data();
    *pulNumOfSymbols = static_cast<RTS_UI32>(m_symbols.size());
    if (pppszMappedAddr != nullptr) {
        *pppszMappedAddr = m_mappedAddr.data();
    }
    if (pulAreaSize != nullptr) {
        *pulAreaSize = m_ulAreaSize;
    }
    return PLCCOM_OK;
}

namespace {
void ClearOutputs(PlcSymbolDesc** ppSymbols, RTS_UI32* pulNumOfSymbols, char*** pppszMappedAddr,
                  RTS_UI32* pulAreaSize) {
    if (ppSymbols != nullptr) {
        *ppSymbols = nullptr;
    }
    if (pulNumOfSymbols != nullptr) {
        *pulNumOfSymbols = 0;
    }
    if (pppszMappedAddr != nullptr) {
        *pppszMappedAddr = nullptr;
    }
    if (pulAreaSize != nullptr) {
        *pulAreaSize = 0;
    }
}
}  // namespace

RTS_I32 CXmlSymbolParser::ParseSymbolFile(const char* pszFileName, PlcSymbolDesc** ppSymbols,
                                          RTS_UI32* pulNumOfSymbols, char*** pppszMappedAddr,
                                          RTS_UI32* pulAreaSize) noexcept {
    ClearOutputs(ppSymbols, pulNumOfSymbols, pppszMappedAddr, pulAreaSize);
    if (pszFileName == nullptr || pszFileName[0] == '\0' || ppSymbols == nullptr ||
        pulNumOfSymbols == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    RTS_I32 lResult = PLCCOM_NO_MEMORY;
    try {
        lResult = Parse(pszFileName, nullptr, 0, ppSymbols, pulNumOfSymbols, pppszMappedAddr, pulAreaSize);
    } catch (...) {
        lResult = PLCCOM_NO_MEMORY;
    }
    if (lResult != PLCCOM_OK) {
        ClearOutputs(ppSymbols, pulNumOfSymbols, pppszMappedAddr, pulAreaSize);
    }
    return lResult;
}

RTS_I32 CXmlSymbolParser::ParseSymbolData(const char* pData, RTS_SIZE ulLen, PlcSymbolDesc** ppSymbols,
                                          RTS_UI32* pulNumOfSymbols, char*** pppszMappedAddr,
                                          RTS_UI32* pulAreaSize) noexcept {
    ClearOutputs(ppSymbols, pulNumOfSymbols, pppszMappedAddr, pulAreaSize);
    if ((pData == nullptr && ulLen > 0) || ppSymbols == nullptr || pulNumOfSymbols == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    RTS_I32 lResult = PLCCOM_NO_MEMORY;
    try {
        lResult = Parse(nullptr, pData != nullptr ? pData : "", ulLen, ppSymbols, pulNumOfSymbols,
                        pppszMappedAddr, pulAreaSize);
    } catch (...) {
        lResult = PLCCOM_NO_MEMORY;
    }
    if (lResult != PLCCOM_OK) {
        ClearOutputs(ppSymbols, pulNumOfSymbols, pppszMappedAddr, pulAreaSize);
    }
    return lResult;
}
