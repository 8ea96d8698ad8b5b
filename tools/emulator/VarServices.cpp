// The emulator's variable access, service group 9. See VarServices.h.
//
// Every request is read completely (and checked) before a single reply tag
// is written, so that a malformed request is answered with one result and
// changes nothing. Replies are bounded by the client's channel buffer; each
// tag's size is counted before it is written.
#include "VarServices.h"

#include <iconv.h>

#include <algorithm>
#include <cstring>

#include "../../Components/CmpKestrolink/SymbolUtil.h"
#include "../../Components/CmpKestrolink/XmlSymbolParser.h"
#include "BinTagService.h"
#include "CmpXMLParserItf.h"
#include "SysTime.h"

namespace klemu {

struct VarRequestTag {
    uint32_t ulId = 0;
    const uint8_t* p = nullptr;  // content of a data tag
    uint32_t ulSize = 0;
};

namespace {

// UTF-8 to GB2312; false for a text that does not convert. Pure ASCII comes
// back unchanged.
bool Utf8ToGb2312(const std::string& in, std::string* pOut) {
    bool bAscii = true;
    for (unsigned char c : in) {
        bAscii = bAscii && c < 0x80;
    }
    if (bAscii) {
        *pOut = in;
        return true;
    }
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::string out(in.size() * 2 + 4, '\0');
    char* pIn = const_cast<char*>(in.data());
    size_t nIn = in.size();
    char* pDst = &out[0];
    size_t nOut = out.size();
    size_t r = iconv(cd, &pIn, &nIn, &pDst, &nOut);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || nIn != 0) {
        return false;
    }
    out.resize(out.size() - nOut);
    *pOut = std::move(out);
    return true;
}

// Services of the group.
constexpr uint16_t kSrvDefine = 1;
constexpr uint16_t kSrvDelete = 2;
constexpr uint16_t kSrvRead = 3;
constexpr uint16_t kSrvWrite = 4;
constexpr uint16_t kSrvListRoots = 7;
constexpr uint16_t kSrvAddress = 10;
constexpr uint16_t kSrvRemove = 11;

// Tags.
constexpr uint32_t kTagListHandle = 0x10;
constexpr uint32_t kTagFlags = 0x13;
constexpr uint32_t kTagResult = 0x14;
constexpr uint32_t kTagCount = 0x18;
constexpr uint32_t kTagVarName = 0x19;
constexpr uint32_t kTagVarAccepted = 0x1B;
constexpr uint32_t kTagVarError = 0x1C;
constexpr uint32_t kTagValue = 0x1D;
constexpr uint32_t kTagWriteValue = 0x1E;
constexpr uint32_t kTagVarHandle = 0x1F;
constexpr uint32_t kTagVarResult = 0x20;
constexpr uint32_t kTagName = 0x21;
constexpr uint32_t kTagReadFlags = 0x22;
constexpr uint32_t kTagContinueFrom = 0x25;
constexpr uint32_t kTagVarDescription = 0x26;
constexpr uint32_t kTagRootNode = 0x30;
constexpr uint32_t kTagInterface = 0x38;
constexpr uint32_t kTagTimestamp = 0x3A;
constexpr uint32_t kTagAddressText = 0x3B;
constexpr uint32_t kTagVarByAddress = 0x41;
constexpr uint32_t kTagPieceOffset = 0x45;
constexpr uint32_t kTagPieceSize = 0x46;

// List flags.
constexpr uint32_t kFlagDataChange = 0x4;
constexpr uint32_t kFlagExtendable = 0x10;
constexpr uint32_t kFlagMarkedOnly = 0x20;
constexpr uint32_t kFlagConsistentConfirmed = 0x200;
constexpr uint32_t kFlagTimestamp = 0x10000;
constexpr uint32_t kDefaultListFlags = 0x10048;

// Bounds of what clients can make the emulator hold.
constexpr size_t kMaxLists = 10000;
constexpr size_t kMaxVarsPerList = 100000;
constexpr uint64_t kMaxListVars = 1000000;
constexpr uint64_t kMaxListBytes = 256ull * 1024 * 1024;  // bytes of all listed variables (their snapshots)
constexpr size_t kMaxNameLength = XMLSYM_MAX_NAME;
constexpr uint32_t kMaxSymbols = 2000000;
constexpr uint32_t kMaxArea = 256u * 1024u * 1024u;

// Room kept in every reply for the closing result tag.
constexpr uint32_t kResultTagSize = 8;

const BTAG_ALIGNMENT kAlign40 = {4, 0};

uint32_t Bswap32(uint32_t v) {
    return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

uint16_t Bswap16(uint16_t v) {
    return static_cast<uint16_t>((v << 8) | (v >> 8));
}

// Integers in tag contents are in the controller's order: host order, swapped
// when the request arrived in the other one.
uint32_t Load32(const uint8_t* p, bool bSwap) {
    uint32_t v;
    memcpy(&v, p, 4);
    return bSwap ? Bswap32(v) : v;
}

uint16_t Load16(const uint8_t* p, bool bSwap) {
    uint16_t v;
    memcpy(&v, p, 2);
    return bSwap ? Bswap16(v) : v;
}

void Store32(uint8_t* p, uint32_t v, bool bSwap) {
    v = bSwap ? Bswap32(v) : v;
    memcpy(p, &v, 4);
}

void Store16(uint8_t* p, uint16_t v, bool bSwap) {
    v = bSwap ? Bswap16(v) : v;
    memcpy(p, &v, 2);
}

// Bytes a data tag with a one-byte id and n content bytes takes in a reply
// ({4, 0}, filled): a 4-byte head (3-byte length field, widened by 4 past
// its bound) and the content rounded up to 4.
uint64_t TagSize(uint64_t n) {
    uint64_t content = (n + 3) & ~3ull;
    return 4 + content + (content > 2097151u ? 4 : 0);
}

bool PutTag(BINTAGWRITER* pWriter, uint32_t ulId, const void* p, uint32_t n) {
    return BTagWriteSingleTag(pWriter, ulId, kAlign40, 1, p, n) == ERR_OK;
}

bool Put32Tag(BINTAGWRITER* pWriter, uint32_t ulId, uint32_t v, bool bSwap) {
    uint8_t ab[4];
    Store32(ab, v, bSwap);
    return PutTag(pWriter, ulId, ab, 4);
}

bool Put16Tag(BINTAGWRITER* pWriter, uint32_t ulId, uint16_t v, bool bSwap) {
    uint8_t ab[2];
    Store16(ab, v, bSwap);
    return PutTag(pWriter, ulId, ab, 2);
}

// A value tag: 32-bit quality 0 (good) and the bytes.
bool PutValueTag(BINTAGWRITER* pWriter, const uint8_t* p, uint32_t n) {
    static const uint8_t s_quality[4] = {0, 0, 0, 0};
    return BTagWriterStartTag(pWriter, kTagValue, kAlign40, 0) == ERR_OK &&
           BTagWriterAppendBlob(pWriter, s_quality, 4) == ERR_OK &&
           (n == 0 || BTagWriterAppendBlob(pWriter, p, n) == ERR_OK) &&
           BTagWriterAppendFillBytes(pWriter, 0, kAlign40) == ERR_OK &&
           BTagWriterEndTag(pWriter, kTagValue) == ERR_OK;
}

bool Get32(const VarRequestTag& t, bool bSwap, uint32_t* pul) {
    if (t.p == nullptr || t.ulSize < 4) {
        return false;
    }
    *pul = Load32(t.p, bSwap);
    return true;
}

// A name tag of a definition (0x19): 16-bit length (terminator included),
// the name, fill. The name ends at the first zero within its length.
bool GetCountedName(const VarRequestTag& t, bool bSwap, std::string* pName) {
    if (t.p == nullptr || t.ulSize < 2) {
        return false;
    }
    uint32_t n = Load16(t.p, bSwap);
    if (n > t.ulSize - 2) {
        return false;
    }
    const char* psz = reinterpret_cast<const char*>(t.p + 2);
    pName->assign(psz, strnlen(psz, n));
    return true;
}

// A zero-terminated name (0x21); without a zero the whole content.
bool GetName(const VarRequestTag& t, std::string* pName) {
    if (t.p == nullptr) {
        pName->clear();
        return true;
    }
    const char* psz = reinterpret_cast<const char*>(t.p);
    pName->assign(psz, strnlen(psz, t.ulSize));
    return true;
}

RTS_RESULT CollectTag(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    auto* pTags = static_cast<std::vector<VarRequestTag>*>(pContext);
    VarRequestTag t;
    t.ulId = ulTagId;
    RTS_BOOL bData = 0;
    if (BTagReaderIsDataTag(pReader, &bData) == ERR_OK && bData != 0) {
        RTS_UI8* p = nullptr;
        RTS_UI32 n = 0;
        if (BTagReaderGetContent(pReader, &p, &n) == ERR_OK) {
            t.p = p;
            t.ulSize = n;
        }
    }
    pTags->push_back(t);
    return ERR_OK;
}

bool CollectTags(const ServiceRequest& request, std::vector<VarRequestTag>* pTags) {
    if (request.ulBodySize == 0) {
        return true;
    }
    if (request.pBody == nullptr) {
        return false;
    }
    BINTAGREADER reader;
    // The reader only reads; it takes a non-const buffer for its other uses.
    if (BTagReaderInit(&reader, const_cast<RTS_UI8*>(request.pBody), request.ulBodySize) != ERR_OK) {
        return false;
    }
    return BTagServiceWalkTags(&reader, CollectTag, pTags) == ERR_OK;
}

// The symbol parser's imports, resolved straight to the XML parser component:
// the emulator runs without the component manager.
RTS_RESULT XmlGetApi(const char* pszName, RTS_VOID_FCTPTR* ppf, RTS_UI32 ulSignature) {
    struct Entry {
        const char* pszName;
        RTS_VOID_FCTPTR pf;
        RTS_UI32 ulSignature;
    };
    static const Entry s_entries[] = {
        {"CreateXMLParser3", reinterpret_cast<RTS_VOID_FCTPTR>(CreateXMLParser3), SIG_CreateXMLParser3},
        {"SetXMLElementHandler", reinterpret_cast<RTS_VOID_FCTPTR>(SetXMLElementHandler),
         SIG_SetXMLElementHandler},
        {"SetXMLCharacterDataHandler", reinterpret_cast<RTS_VOID_FCTPTR>(SetXMLCharacterDataHandler),
         SIG_SetXMLCharacterDataHandler},
        {"ParseXML2", reinterpret_cast<RTS_VOID_FCTPTR>(ParseXML2), SIG_ParseXML2},
        {"StopXMLParser", reinterpret_cast<RTS_VOID_FCTPTR>(StopXMLParser), SIG_StopXMLParser},
        {"GetXMLErrorInfo", reinterpret_cast<RTS_VOID_FCTPTR>(GetXMLErrorInfo), SIG_GetXMLErrorInfo},
        {"FreeXMLParser", reinterpret_cast<RTS_VOID_FCTPTR>(FreeXMLParser), SIG_FreeXMLParser},
    };
    if (pszName == nullptr || ppf == nullptr) {
        return ERR_PARAMETER;
    }
    for (const Entry& e : s_entries) {
        if (strcmp(e.pszName, pszName) == 0) {
            if (e.ulSignature != ulSignature) {
                return ERR_CHECK_SIGNATURE;
            }
            *ppf = e.pf;
            return ERR_OK;
        }
    }
    return ERR_NO_OBJECT;
}

uint32_t TypeClassOf(uint32_t ulTypeId) {
    uint32_t kind = ulTypeId & DATATYPE_KIND_MASK;
    switch (kind) {
        case DATATYPE_KIND_DATA:
            return kTcUserdef;
        case DATATYPE_KIND_ARRAY:
        case DATATYPE_KIND_ARRAY_UNKNOWN:
            return kTcArray;
        case DATATYPE_KIND_POINTER:
            return kTcPointer;
        case DATATYPE_KIND_ENUM:
            return kTcEnum;
        case 0:
            break;
        default:
            return kTcNone;
    }
    switch (ulTypeId & DATATYPE_CLASS_MASK) {
        case DATATYPE_BOOL:
            return kTcBool;
        case DATATYPE_BIT:
            return kTcBit;
        case DATATYPE_BYTE:
            return kTcByte;
        case DATATYPE_WORD:
            return kTcWord;
        case DATATYPE_DWORD:
            return kTcDword;
        case DATATYPE_LWORD:
            return kTcLword;
        case DATATYPE_SINT:
            return kTcSint;
        case DATATYPE_INT:
            return kTcInt;
        case DATATYPE_DINT:
            return kTcDint;
        case DATATYPE_LINT:
            return kTcLint;
        case DATATYPE_USINT:
            return kTcUsint;
        case DATATYPE_UINT:
            return kTcUint;
        case DATATYPE_UDINT:
            return kTcUdint;
        case DATATYPE_ULINT:
            return kTcUlint;
        case DATATYPE_REAL:
            return kTcReal;
        case DATATYPE_LREAL:
            return kTcLreal;
        case DATATYPE_STRING:
            return kTcString;
        case DATATYPE_WSTRING:
            return kTcWstring;
        case DATATYPE_TIME:
            return kTcTime;
        case DATATYPE_DATE:
            return kTcDate;
        case DATATYPE_DT:
            return kTcDateAndTime;
        case DATATYPE_TOD:
            return kTcTimeOfDay;
        case DATATYPE_LTIME:
            return kTcLtime;
        case DATATYPE_REF:
            return kTcPointer;
        default:
            return kTcNone;
    }
}

bool IsText(uint32_t ulTypeClass) {
    return ulTypeClass == kTcString || ulTypeClass == kTcWstring;
}

// A name as the client may write it: surrounding blanks and blanks inside
// index brackets ("m[1, 7]") do not count.
std::string NormaliseName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    int depth = 0;
    for (char c : name) {
        if (c == '[') {
            ++depth;
        } else if (c == ']' && depth > 0) {
            --depth;
        }
        if ((c == ' ' || c == '\t') && (depth > 0 || out.empty())) {
            continue;
        }
        out.push_back(c);
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) {
        out.pop_back();
    }
    return out;
}

uint32_t Fnv1a(uint32_t h, const void* p, size_t n) {
    const uint8_t* pb = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ pb[i]) * 16777619u;
    }
    return h;
}

}  // namespace

// ---- set-up and values --------------------------------------------------------------------

VarServices::VarServices(const VarServicesOptions& options) : m_options(options) {
    if (m_options.ulChannelBufferSize < kMinChannelBufferSize) {
        m_options.ulChannelBufferSize = kMinChannelBufferSize;
    }
}

VarServices::~VarServices() {
    StopScript();
}

bool VarServices::LoadSymbols(const std::string& fileName, std::string* pError) {
    return Load(fileName.c_str(), nullptr, 0, pError);
}

bool VarServices::LoadSymbolData(const char* pData, size_t ulLen, std::string* pError) {
    if (pData == nullptr && ulLen != 0) {
        *pError = "no data";
        return false;
    }
    return Load(nullptr, pData != nullptr ? pData : "", ulLen, pError);
}

bool VarServices::Load(const char* pszFile, const char* pData, size_t ulLen, std::string* pError) {
    StopScript();
    CXmlSymbolParser parser(0, 0, 0, XmlGetApi);
    parser.SetLimits(kMaxSymbols, kMaxArea);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulNum = 0;
    char** ppszAddr = nullptr;
    RTS_UI32 ulArea = 0;
    RTS_I32 lResult = pszFile != nullptr
                          ? parser.ParseSymbolFile(pszFile, &pSymbols, &ulNum, &ppszAddr, &ulArea)
                          : parser.ParseSymbolData(pData, ulLen, &pSymbols, &ulNum, &ppszAddr, &ulArea);
    // A configuration without variables is a controller without variables.
    if (lResult == PLCCOM_NO_SYMBOLS) {
        ulNum = 0;
        ulArea = 0;
    } else if (lResult != PLCCOM_OK) {
        if (pError != nullptr) {
            *pError = std::string("symbol configuration rejected: ") + parser.GetErrorText();
        }
        return false;
    }
    std::vector<Symbol> symbols;
    try {
        symbols.reserve(ulNum);
        for (RTS_UI32 i = 0; i < ulNum; ++i) {
            Symbol s;
            s.name = pSymbols[i].pszName != nullptr ? pSymbols[i].pszName : "";
            // A controller matches names byte for byte in GB2312; the symbol
            // file is UTF-8. Names that do not convert stay as they are.
            std::string gb;
            if (Utf8ToGb2312(s.name, &gb)) {
                s.name = std::move(gb);
            }
            s.ulTypeClass = TypeClassOf(pSymbols[i].ulTypeId & ~DATATYPE_FLAG_MASK);
            s.ulSize = pSymbols[i].ulSize;
            s.ulOffset = pSymbols[i].ulOffset;
            if (ppszAddr != nullptr && ppszAddr[i] != nullptr) {
                s.address = ppszAddr[i];
            }
            if (static_cast<uint64_t>(s.ulOffset) + s.ulSize > ulArea) {
                if (pError != nullptr) {
                    *pError = "symbol " + s.name + " lies outside the value area";
                }
                return false;
            }
            symbols.push_back(std::move(s));
        }
        // The parser sorts in this order already; sorting again keeps the
        // binary search right should it ever change.
        std::stable_sort(symbols.begin(), symbols.end(), [](const Symbol& a, const Symbol& b) {
            return KestrolinkUtlStrICmp(a.name.c_str(), b.name.c_str()) < 0;
        });
        std::vector<uint8_t> area(ulArea, 0);
        uint32_t h = 2166136261u;
        for (const Symbol& s : symbols) {
            h = Fnv1a(h, s.name.data(), s.name.size());
            h = Fnv1a(h, &s.ulSize, sizeof(s.ulSize));
            h = Fnv1a(h, &s.ulTypeClass, sizeof(s.ulTypeClass));
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_symbols = std::move(symbols);
        m_area = std::move(area);
        m_ulConfigTimestamp = h;
        m_lists.clear();
        m_ullListVars = 0;
        m_ullListBytes = 0;
    } catch (const std::bad_alloc&) {
        if (pError != nullptr) {
            *pError = "out of memory for the value area";
        }
        return false;
    }
    return true;
}

void VarServices::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lists.clear();
    m_ulNextList = 1;
    m_ullListVars = 0;
    m_ullListBytes = 0;
    std::fill(m_area.begin(), m_area.end(), 0);
}

long VarServices::Find(const std::string& rawName) const {
    long i = FindExact(rawName);
    // Tests and scripts name variables in UTF-8.
    std::string gb;
    if (i < 0 && Utf8ToGb2312(rawName, &gb) && gb != rawName) {
        i = FindExact(gb);
    }
    return i;
}

long VarServices::FindExact(const std::string& rawName) const {
    if (rawName.size() > 2 * kMaxNameLength) {
        return -1;
    }
    std::string name = NormaliseName(rawName);
    if (name.empty() || name.size() > kMaxNameLength) {
        return -1;
    }
    auto it =
        std::lower_bound(m_symbols.begin(), m_symbols.end(), name, [](const Symbol& s, const std::string& n) {
            return KestrolinkUtlStrICmp(s.name.c_str(), n.c_str()) < 0;
        });
    if (it == m_symbols.end() || KestrolinkUtlStrICmp(it->name.c_str(), name.c_str()) != 0) {
        return -1;
    }
    return static_cast<long>(it - m_symbols.begin());
}

void VarServices::SetChannelBufferSize(uint32_t ulSize) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options.ulChannelBufferSize = std::max(ulSize, kMinChannelBufferSize);
}

uint32_t VarServices::ChannelBufferSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_options.ulChannelBufferSize;
}

void VarServices::SetMaxVariableSize(uint32_t ulSize) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options.ulMaxVariableSize = ulSize;
}

void VarServices::SetExtendableLists(bool bExtendable) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options.bExtendableLists = bExtendable;
}

uint32_t VarServices::MaxVariableSize() const {
    return m_options.ulMaxVariableSize != 0 ? m_options.ulMaxVariableSize : m_options.ulChannelBufferSize;
}

bool VarServices::SetValue(const std::string& name, const void* pValue, size_t ulSize) {
    std::lock_guard<std::mutex> lock(m_mutex);
    long i = Find(name);
    if (i < 0 || ulSize > m_symbols[i].ulSize || (pValue == nullptr && ulSize != 0)) {
        return false;
    }
    if (ulSize != 0) {
        memcpy(m_area.data() + m_symbols[i].ulOffset, pValue, ulSize);
    }
    return true;
}

bool VarServices::GetValue(const std::string& name, std::vector<uint8_t>* pValue) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    long i = Find(name);
    if (i < 0 || pValue == nullptr) {
        return false;
    }
    const uint8_t* p = m_area.data() + m_symbols[i].ulOffset;
    pValue->assign(p, p + m_symbols[i].ulSize);
    return true;
}

size_t VarServices::NumSymbols() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_symbols.size();
}

size_t VarServices::NumLists() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lists.size();
}

// ---- services ------------------------------------------------------------------------------

uint32_t VarServices::Room(BINTAGWRITER* pWriter) const {
    uint32_t ulAvailable = BTagWriterGetAvailableBuffer(pWriter);
    uint64_t ullUsed = static_cast<uint64_t>(BTAG_HEADER_SIZE) + pWriter->ulPos;
    uint64_t ullLimit = m_options.ulChannelBufferSize;
    uint32_t ulCap = ullLimit > ullUsed ? static_cast<uint32_t>(ullLimit - ullUsed) : 0;
    return std::min(ulAvailable, ulCap);
}

void VarServices::Result(BINTAGWRITER* pWriter, bool bSwap, uint16_t usResult) {
    Put16Tag(pWriter, kTagResult, usResult, bSwap);
}

bool VarServices::Handle(const ServiceRequest& request, BINTAGWRITER* pWriter) {
    if (pWriter == nullptr) {
        return false;
    }
    using Service = void (VarServices::*)(const std::vector<VarRequestTag>&, bool, BINTAGWRITER*);
    Service pfService = nullptr;
    switch (request.usService) {
        case kSrvDefine:
            pfService = &VarServices::DefineList;
            break;
        case kSrvDelete:
            pfService = &VarServices::DeleteList;
            break;
        case kSrvRead:
            pfService = &VarServices::ReadList;
            break;
        case kSrvWrite:
            pfService = &VarServices::Write;
            break;
        case kSrvListRoots:
            pfService = &VarServices::ListRoots;
            break;
        case kSrvAddress:
            pfService = &VarServices::SymbolAddress;
            break;
        case kSrvRemove:
            pfService = &VarServices::RemoveVars;
            break;
        default:
            return false;
    }
    std::vector<VarRequestTag> tags;
    const bool bSwap = request.bSwap;
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
        if (!CollectTags(request, &tags)) {
            Result(pWriter, bSwap, kVarInvalidRequest);
            return true;
        }
        (this->*pfService)(tags, bSwap, pWriter);
    } catch (const std::bad_alloc&) {
        // Replies are built after every change is made, so what was written
        // is whole; the result says that the rest is missing.
        Result(pWriter, bSwap, kVarNoMemory);
    }
    return true;
}

void VarServices::ListRoots(const std::vector<VarRequestTag>&, bool bSwap, BINTAGWRITER* pWriter) {
    // Roots are the first components of the names, in name order; the device
    // name a client may send (0x3C) selects nothing here.
    std::vector<std::string> roots;
    for (const Symbol& s : m_symbols) {
        std::string root = s.name.substr(0, s.name.find_first_of(".["));
        bool bKnown = false;
        for (const std::string& r : roots) {
            bKnown = bKnown || KestrolinkUtlStrICmp(r.c_str(), root.c_str()) == 0;
        }
        if (!bKnown && !root.empty()) {
            roots.push_back(root);
        }
    }
    const uint64_t ullTail = TagSize(4) + kResultTagSize;
    for (size_t i = 0; i < roots.size(); ++i) {
        const std::string& r = roots[i];
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(r.size(), 0xFFFF));
        if (TagSize(2 + n) + TagSize(20) + ullTail > Room(pWriter)) {
            break;
        }
        std::vector<uint8_t> node(2 + n);
        Store16(node.data(), static_cast<uint16_t>(n), bSwap);
        memcpy(node.data() + 2, r.data(), n);
        PutTag(pWriter, kTagRootNode, node.data(), static_cast<uint32_t>(node.size()));
        uint8_t itf[20];
        Store32(itf, static_cast<uint32_t>(i), bSwap);
        uint32_t h = Fnv1a(2166136261u, r.data(), r.size());
        for (int k = 0; k < 4; ++k) {
            h = Fnv1a(h, &k, sizeof(k));
            memcpy(itf + 4 + 4 * k, &h, 4);
        }
        PutTag(pWriter, kTagInterface, itf, sizeof(itf));
    }
    Put32Tag(pWriter, kTagTimestamp, m_ulConfigTimestamp, bSwap);
    Result(pWriter, bSwap, kVarOk);
}

void VarServices::DefineList(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter) {
    struct Entry {
        std::string name;
        bool bByAddress = false;
    };
    uint32_t ulFlags = kDefaultListFlags;
    bool bHasList = false;
    uint32_t hList = 0;
    std::vector<Entry> entries;
    for (const VarRequestTag& t : tags) {
        uint32_t ul = 0;
        bool bOk = true;
        switch (t.ulId) {
            case kTagFlags:
                bOk = Get32(t, bSwap, &ulFlags);
                break;
            case kTagListHandle:
                bOk = Get32(t, bSwap, &hList);
                bHasList = true;
                break;
            case kTagCount:
            case kTagTimestamp:
                bOk = Get32(t, bSwap, &ul);
                break;
            case kTagVarName: {
                Entry e;
                bOk = GetCountedName(t, bSwap, &e.name);
                entries.push_back(std::move(e));
                break;
            }
            case kTagVarByAddress: {
                Entry e;
                e.bByAddress = true;
                bOk = t.p != nullptr && t.ulSize >= 12;
                entries.push_back(std::move(e));
                break;
            }
            default:
                break;
        }
        if (!bOk) {
            Result(pWriter, bSwap, kVarInvalidRequest);
            return;
        }
    }
    VarList* pList = nullptr;
    uint32_t hReply = hList;
    if (bHasList) {
        auto it = m_lists.find(hList);
        if (it == m_lists.end()) {
            Result(pWriter, bSwap, kVarUnknownList);
            return;
        }
        if (!it->second.bExtendable) {
            Result(pWriter, bSwap, kVarNotSupported);
            return;
        }
        pList = &it->second;
    } else {
        if (m_lists.size() >= kMaxLists) {
            Result(pWriter, bSwap, kVarNoMemory);
            return;
        }
        // Handles never repeat while lists exist, and 0 and -1 are never given.
        while (m_ulNextList == 0 || m_ulNextList == 0xFFFFFFFFu || m_lists.count(m_ulNextList) != 0) {
            ++m_ulNextList;
        }
        hReply = m_ulNextList++;
        VarList list;
        list.bExtendable = m_options.bExtendableLists;
        // Consistent access is never confirmed: reads and writes of one list
        // may span several requests, between which values can change.
        list.ulFlags = (ulFlags & ~(kFlagExtendable | kFlagConsistentConfirmed)) |
                       (list.bExtendable ? kFlagExtendable : 0);
        pList = &m_lists.emplace(hReply, std::move(list)).first->second;
    }
    Put32Tag(pWriter, kTagListHandle, hReply, bSwap);
    Put32Tag(pWriter, kTagFlags, pList->ulFlags, bSwap);
    const uint32_t ulMaxSize = MaxVariableSize();
    uint16_t usResult = kVarOk;
    for (const Entry& e : entries) {
        if (TagSize(12) + kResultTagSize > Room(pWriter)) {
            // The rest is not part of the list; the client asks again for it.
            usResult = kVarMoreFollows;
            break;
        }
        long lSym = e.bByAddress ? -1 : Find(e.name);
        uint16_t usError = kVarOk;
        if (e.bByAddress) {
            usError = kVarNotSupported;
        } else if (lSym < 0) {
            usError = kVarUnknownVariable;
        } else if (m_symbols[lSym].ulSize > ulMaxSize) {
            usError = kVarSizeMismatch;
        } else if (pList->vars.size() >= kMaxVarsPerList || m_ullListVars >= kMaxListVars ||
                   m_ullListBytes + m_symbols[lSym].ulSize > kMaxListBytes) {
            usError = kVarNoMemory;
        }
        if (usError != kVarOk) {
            Put16Tag(pWriter, kTagVarError, usError, bSwap);
            continue;
        }
        const Symbol& s = m_symbols[lSym];
        ListVar v;
        v.ulSymbol = static_cast<uint32_t>(lSym);
        v.hVar = pList->ulNextVar++;
        pList->vars.push_back(std::move(v));
        ++m_ullListVars;
        m_ullListBytes += s.ulSize;
        uint8_t ab[12];
        Store32(ab, s.ulTypeClass, bSwap);
        Store32(ab + 4, s.ulSize, bSwap);
        Store32(ab + 8, pList->vars.back().hVar, bSwap);
        PutTag(pWriter, kTagVarAccepted, ab, sizeof(ab));
    }
    Result(pWriter, bSwap, usResult);
}

void VarServices::DeleteList(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter) {
    bool bHasList = false;
    uint32_t hList = 0;
    for (const VarRequestTag& t : tags) {
        if (t.ulId == kTagListHandle) {
            if (!Get32(t, bSwap, &hList)) {
                Result(pWriter, bSwap, kVarInvalidRequest);
                return;
            }
            bHasList = true;
        }
    }
    if (!bHasList) {
        Result(pWriter, bSwap, kVarInvalidRequest);
        return;
    }
    auto it = m_lists.find(hList);
    if (it == m_lists.end()) {
        Result(pWriter, bSwap, kVarUnknownList);
        return;
    }
    for (const ListVar& v : it->second.vars) {
        --m_ullListVars;
        m_ullListBytes -= m_symbols[v.ulSymbol].ulSize;
    }
    m_lists.erase(it);
    Result(pWriter, bSwap, kVarOk);
}

void VarServices::ReadList(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter) {
    bool bHasList = false, bHasFlags = false, bHasContinue = false, bHasOffset = false;
    uint32_t hList = 0, ulFlags = 0, hContinue = 0, ulOffset = 0;
    std::vector<uint32_t> marked;
    for (const VarRequestTag& t : tags) {
        bool bOk = true;
        uint32_t ul = 0;
        switch (t.ulId) {
            case kTagListHandle:
                bOk = Get32(t, bSwap, &hList);
                bHasList = true;
                break;
            case kTagFlags:
                bOk = Get32(t, bSwap, &ulFlags);
                bHasFlags = true;
                break;
            case kTagContinueFrom:
                bOk = Get32(t, bSwap, &hContinue);
                bHasContinue = true;
                break;
            case kTagPieceOffset:
                bOk = Get32(t, bSwap, &ulOffset);
                bHasOffset = true;
                break;
            case kTagVarHandle:
                bOk = Get32(t, bSwap, &ul);
                marked.push_back(ul);
                break;
            default:
                break;
        }
        if (!bOk) {
            Result(pWriter, bSwap, kVarInvalidRequest);
            return;
        }
    }
    if (!bHasList) {
        Result(pWriter, bSwap, kVarInvalidRequest);
        return;
    }
    auto itList = m_lists.find(hList);
    if (itList == m_lists.end()) {
        Result(pWriter, bSwap, kVarUnknownList);
        return;
    }
    VarList& list = itList->second;
    const uint32_t ulEffFlags = bHasFlags ? ulFlags : list.ulFlags;
    const bool bMarkedOnly = (ulEffFlags & kFlagMarkedOnly) != 0;
    // In the marked pass the client drops 0x4 but still wants to learn which
    // of the marked values changed.
    const bool bReportChanges =
        (list.ulFlags & kFlagDataChange) != 0 && ((ulEffFlags & kFlagDataChange) != 0 || bMarkedOnly);
    auto position = [&list](uint32_t hVar) -> long {
        auto it = std::lower_bound(list.vars.begin(), list.vars.end(), hVar,
                                   [](const ListVar& v, uint32_t h) { return v.hVar < h; });
        return it != list.vars.end() && it->hVar == hVar ? static_cast<long>(it - list.vars.begin()) : -1;
    };
    // The variables this reply serves, in order; -1 for an unknown marked handle.
    std::vector<long> order;
    if (bMarkedOnly) {
        for (uint32_t h : marked) {
            order.push_back(position(h));
        }
    } else {
        long lStart = 0;
        if (bHasContinue) {
            lStart = position(hContinue);
            if (lStart < 0) {
                Result(pWriter, bSwap, kVarUnknownList);
                return;
            }
        }
        for (long i = lStart; i < static_cast<long>(list.vars.size()); ++i) {
            order.push_back(i);
        }
    }
    if (bHasOffset &&
        (order.empty() || order[0] < 0 || ulOffset >= m_symbols[list.vars[order[0]].ulSymbol].ulSize)) {
        Result(pWriter, bSwap, kVarInvalidRequest);
        return;
    }
    uint8_t head[8];
    uint32_t ulHead = 4;
    Store32(head, ulEffFlags, bSwap);
    if ((ulEffFlags & kFlagTimestamp) != 0) {
        Store32(head + 4, SysTimeGetMs(), bSwap);
        ulHead = 8;
    }
    PutTag(pWriter, kTagReadFlags, head, ulHead);
    const uint32_t ulEmptyRoom = Room(pWriter);
    uint16_t usResult = kVarOk;
    bool bAny = false;
    for (size_t k = 0; k < order.size(); ++k) {
        const uint32_t ulRoom = Room(pWriter);
        if (order[k] < 0) {
            if (TagSize(2) + kResultTagSize > ulRoom) {
                usResult = kVarMoreFollows;
                break;
            }
            Put16Tag(pWriter, kTagVarResult, kVarUnknownList, bSwap);
            bAny = true;
            continue;
        }
        ListVar& v = list.vars[order[k]];
        const Symbol& s = m_symbols[v.ulSymbol];
        const uint8_t* pCurrent = m_area.data() + s.ulOffset;
        const uint32_t ulFrom = k == 0 && bHasOffset ? ulOffset : 0;
        const uint32_t ulRest = s.ulSize - ulFrom;
        // A value in pieces is served from the snapshot taken with its first
        // piece, so that its pieces fit together.
        bool bChanged = false;
        if (ulFrom == 0) {
            bChanged = !v.bDelivered || v.last.size() != s.ulSize ||
                       (s.ulSize != 0 && memcmp(v.last.data(), pCurrent, s.ulSize) != 0);
        } else if (v.last.size() != s.ulSize) {
            v.last.assign(pCurrent, pCurrent + s.ulSize);
        }
        const uint64_t ullChangeTag = bChanged && bReportChanges ? TagSize(4) : 0;
        const uint64_t ullPieceTag = ulFrom != 0 ? TagSize(4) : 0;
        const uint64_t ullWhole = ullChangeTag + ullPieceTag + TagSize(4ull + ulRest) + kResultTagSize;
        uint32_t ulPiece = ulRest;
        if (ullWhole > ulRoom) {
            if (bAny && ullWhole <= ulEmptyRoom) {
                // Fits a reply of its own: the client continues with it.
                usResult = kVarMoreFollows;
                break;
            }
            uint64_t ullOverhead = ullChangeTag + TagSize(4) + TagSize(4) + kResultTagSize;
            ulPiece = ulRoom > ullOverhead ? static_cast<uint32_t>((ulRoom - ullOverhead) & ~7ull) : 0;
            if (ulPiece == 0) {
                usResult = kVarMoreFollows;
                break;
            }
        }
        if (ulFrom == 0) {
            v.last.assign(pCurrent, pCurrent + s.ulSize);
            v.bDelivered = true;
        }
        if (ullChangeTag != 0) {
            Put32Tag(pWriter, kTagVarHandle, v.hVar, bSwap);
        }
        if (ulPiece != ulRest || ulFrom != 0) {
            Put32Tag(pWriter, kTagPieceSize, ulPiece, bSwap);
        }
        PutValueTag(pWriter, v.last.data() + ulFrom, ulPiece);
        bAny = true;
        if (ulPiece != ulRest) {
            usResult = kVarMoreFollows;
            break;
        }
    }
    Result(pWriter, bSwap, usResult);
}

void VarServices::Write(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter) {
    struct Item {
        bool bByName = false;
        bool bDescription = false;  // a variable description (0x26): not kept by this emulator
        std::string name;
        bool bHasOffset = false;
        uint32_t ulOffset = 0;
        const uint8_t* p = nullptr;
        uint32_t ulSize = 0;
    };
    bool bHasList = false, bHasFirst = false, bByName = false;
    uint32_t hList = 0, hFirst = 0, ul = 0;
    std::vector<Item> items;
    Item pending;
    bool bPendingName = false;
    for (const VarRequestTag& t : tags) {
        bool bOk = true;
        switch (t.ulId) {
            case kTagFlags:
            case kTagTimestamp:
                bOk = Get32(t, bSwap, &ul);
                break;
            case kTagListHandle:
                bOk = Get32(t, bSwap, &hList);
                bHasList = true;
                break;
            case kTagVarHandle:
                // Only the first handle counts: the values follow it in list order.
                bOk = Get32(t, bSwap, bHasFirst ? &ul : &hFirst);
                bHasFirst = true;
                break;
            case kTagName:
            case kTagVarDescription:
                // Every name needs its value before the next name.
                bOk = !bPendingName;
                pending = Item();
                pending.bByName = true;
                pending.bDescription = t.ulId == kTagVarDescription;
                if (!pending.bDescription) {
                    GetName(t, &pending.name);
                }
                bPendingName = true;
                bByName = true;
                break;
            case kTagPieceOffset:
                bOk = Get32(t, bSwap, &pending.ulOffset) && !pending.bHasOffset;
                pending.bHasOffset = true;
                break;
            case kTagWriteValue: {
                uint32_t n = 0;
                bOk = Get32(t, bSwap, &n) && n <= t.ulSize - 4 && (bPendingName || !bByName);
                if (bOk) {
                    pending.p = t.p + 4;
                    pending.ulSize = n;
                    items.push_back(pending);
                }
                pending = Item();
                bPendingName = false;
                break;
            }
            default:
                break;
        }
        if (!bOk) {
            Result(pWriter, bSwap, kVarInvalidRequest);
            return;
        }
    }
    if (bPendingName || pending.bHasOffset || (!bByName && (!bHasList || !bHasFirst)) ||
        (bByName && std::any_of(items.begin(), items.end(), [](const Item& i) { return !i.bByName; }))) {
        Result(pWriter, bSwap, kVarInvalidRequest);
        return;
    }
    VarList* pList = nullptr;
    long lPos = -1;
    if (!bByName) {
        auto it = m_lists.find(hList);
        if (it == m_lists.end()) {
            Result(pWriter, bSwap, kVarUnknownList);
            return;
        }
        pList = &it->second;
        for (size_t i = 0; i < pList->vars.size(); ++i) {
            if (pList->vars[i].hVar == hFirst) {
                lPos = static_cast<long>(i);
                break;
            }
        }
    }
    uint16_t usResult = kVarOk;
    for (size_t k = 0; k < items.size(); ++k) {
        const Item& item = items[k];
        if (TagSize(4) + TagSize(2) + kResultTagSize > Room(pWriter)) {
            // The values not answered are not written either.
            usResult = kVarNoRoom;
            break;
        }
        long lSym = -1;
        uint16_t usVar = kVarOk;
        if (bByName) {
            lSym = item.bDescription ? -1 : Find(item.name);
            usVar = lSym < 0 ? kVarUnknownVariable : kVarOk;
        } else if (lPos < 0 || lPos + k >= pList->vars.size()) {
            usVar = kVarUnknownList;
        } else {
            lSym = pList->vars[lPos + k].ulSymbol;
        }
        if (usVar == kVarOk) {
            const Symbol& s = m_symbols[lSym];
            uint8_t* pDest = m_area.data() + s.ulOffset;
            if (item.bHasOffset) {
                // A piece: it must lie inside the variable.
                if (item.ulOffset > s.ulSize || item.ulSize > s.ulSize - item.ulOffset) {
                    usVar = kVarSizeMismatch;
                } else {
                    if (item.ulSize != 0) {
                        memcpy(pDest + item.ulOffset, item.p, item.ulSize);
                    }
                    Put32Tag(pWriter, kTagPieceSize, item.ulSize, bSwap);
                }
            } else if (item.ulSize == s.ulSize || (IsText(s.ulTypeClass) && item.ulSize < s.ulSize)) {
                // A shorter text is taken with zeros behind it.
                if (item.ulSize != 0) {
                    memcpy(pDest, item.p, item.ulSize);
                }
                memset(pDest + item.ulSize, 0, s.ulSize - item.ulSize);
            } else {
                usVar = kVarSizeMismatch;
            }
        }
        Put16Tag(pWriter, kTagVarResult, usVar, bSwap);
    }
    Result(pWriter, bSwap, usResult);
}

void VarServices::SymbolAddress(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter) {
    std::string name;
    bool bHasName = false;
    for (const VarRequestTag& t : tags) {
        if (t.ulId == kTagName && !bHasName) {
            GetName(t, &name);
            bHasName = true;
        }
    }
    if (!bHasName) {
        Result(pWriter, bSwap, kVarInvalidRequest);
        return;
    }
    long lSym = Find(name);
    if (lSym < 0) {
        Result(pWriter, bSwap, kVarUnknownVariable);
        return;
    }
    // The file's direct address, empty when it has none.
    const std::string& address = m_symbols[lSym].address;
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(address.size(), 0xFFFF));
    if (TagSize(2ull + n) + kResultTagSize > Room(pWriter)) {
        n = 0;
    }
    std::vector<uint8_t> content(2 + n);
    Store16(content.data(), static_cast<uint16_t>(n), bSwap);
    memcpy(content.data() + 2, address.data(), n);
    PutTag(pWriter, kTagAddressText, content.data(), static_cast<uint32_t>(content.size()));
    Result(pWriter, bSwap, kVarOk);
}

void VarServices::RemoveVars(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter) {
    bool bHasList = false, bHasCount = false;
    uint32_t hList = 0, ulCount = 0, ul = 0;
    std::vector<uint32_t> handles;
    for (const VarRequestTag& t : tags) {
        bool bOk = true;
        if (t.ulId == kTagListHandle) {
            bOk = Get32(t, bSwap, &hList);
            bHasList = true;
        } else if (t.ulId == kTagCount) {
            bOk = Get32(t, bSwap, &ulCount);
            bHasCount = true;
        } else if (t.ulId == kTagVarHandle) {
            bOk = Get32(t, bSwap, &ul);
            handles.push_back(ul);
        }
        if (!bOk) {
            Result(pWriter, bSwap, kVarInvalidRequest);
            return;
        }
    }
    if (!bHasList || (bHasCount && ulCount != handles.size())) {
        Result(pWriter, bSwap, kVarInvalidRequest);
        return;
    }
    auto it = m_lists.find(hList);
    if (it == m_lists.end()) {
        Result(pWriter, bSwap, kVarUnknownList);
        return;
    }
    VarList& list = it->second;
    if (!list.bExtendable) {
        Result(pWriter, bSwap, kVarServiceUnknown);
        return;
    }
    // All or nothing: an unknown handle leaves the list as it was.
    std::vector<uint32_t> sorted = handles;
    std::sort(sorted.begin(), sorted.end());
    for (uint32_t h : sorted) {
        auto itVar = std::lower_bound(list.vars.begin(), list.vars.end(), h,
                                      [](const ListVar& v, uint32_t x) { return v.hVar < x; });
        if (itVar == list.vars.end() || itVar->hVar != h) {
            Result(pWriter, bSwap, kVarUnknownList);
            return;
        }
    }
    std::vector<ListVar> kept;
    kept.reserve(list.vars.size());
    for (ListVar& v : list.vars) {
        if (std::binary_search(sorted.begin(), sorted.end(), v.hVar)) {
            --m_ullListVars;
            m_ullListBytes -= m_symbols[v.ulSymbol].ulSize;
        } else {
            kept.push_back(std::move(v));
        }
    }
    list.vars = std::move(kept);
    Result(pWriter, bSwap, kVarOk);
}

}  // namespace klemu
