// Request lines and register buffers of the panel host.
#include "PanelScript.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace klpanel {
namespace {

// A request of the panel never carries more elements than this.
const uint32_t kMaxCount = 8192;

bool ParseNumber(const std::string& text, int64_t min, int64_t max, int64_t* pValue) {
    if (text.empty()) {
        return false;
    }
    // Decimal, or hex with 0x; a leading 0 does not mean octal to a panel.
    size_t sign = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    int base = text.compare(sign, 2, "0x") == 0 || text.compare(sign, 2, "0X") == 0 ? 16 : 10;
    errno = 0;
    char* pEnd = nullptr;
    long long value = std::strtoll(text.c_str(), &pEnd, base);
    if (errno != 0 || pEnd == text.c_str() || *pEnd != '\0' || value < min || value > max) {
        return false;
    }
    *pValue = value;
    return true;
}

// Splits at blanks; 'quoted' and "quoted" texts stay one token (quotes kept).
bool Tokenize(const std::string& line, std::vector<std::string>* pTokens, std::string* pError) {
    pTokens->clear();
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') {
            break;
        }
        std::string token;
        if (c == '\'' || c == '"') {
            size_t end = line.find(c, i + 1);
            if (end == std::string::npos) {
                *pError = std::string("unterminated text: missing closing ") + c;
                return false;
            }
            token = line.substr(i, end - i + 1);
            i = end + 1;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                token += line[i++];
            }
        }
        pTokens->push_back(token);
    }
    return true;
}

size_t RegBytes(RegWidth width) {
    return width == RegWidth::Bit ? 1 : static_cast<size_t>(width);
}

// TAG ADDR TYPE WIDTH [@P=V] from tokens[pos..]; advances pos.
bool ParseItem(const std::vector<std::string>& t, size_t* pPos, PanelItem* pItem, std::string* pError) {
    size_t pos = *pPos;
    if (pos + 4 > t.size()) {
        *pError = "an item needs TAG ADDR TYPE WIDTH (for example: 3 0 16 1)";
        return false;
    }
    int64_t v = 0;
    if (!ParseNumber(t[pos], 1, 0xFFFFFF, &v)) {
        *pError = "tag \"" + t[pos] + "\" is not a tag ID from 1 to 16777215";
        return false;
    }
    pItem->ulTag = static_cast<uint32_t>(v);
    if (!ParseNumber(t[pos + 1], 0, 0xFFFFFFFFll, &v)) {
        *pError = "element address \"" + t[pos + 1] + "\" is not a number from 0 to 4294967295";
        return false;
    }
    pItem->ulAddr = static_cast<uint32_t>(v);
    const std::string& type = t[pos + 2];
    if (type == "bit") {
        pItem->width = RegWidth::Bit;
    } else if (type == "16") {
        pItem->width = RegWidth::W16;
    } else if (type == "32") {
        pItem->width = RegWidth::W32;
    } else if (type == "64") {
        pItem->width = RegWidth::W64;
    } else {
        *pError = "register type \"" + type + "\" is not one of bit, 16, 32, 64";
        return false;
    }
    if (!ParseNumber(t[pos + 3], 1, kMaxCount, &v)) {
        *pError =
            "width \"" + t[pos + 3] + "\" is not an element count from 1 to " + std::to_string(kMaxCount);
        return false;
    }
    pItem->usCount = static_cast<uint16_t>(v);
    pos += 4;
    if (pos < t.size() && !t[pos].empty() && t[pos][0] == '@') {
        const std::string& idx = t[pos];
        size_t eq = idx.find('=');
        int64_t p = 0;
        int64_t value = 0;
        if (eq == std::string::npos || !ParseNumber(idx.substr(1, eq - 1), 1, 15, &p) ||
            !ParseNumber(idx.substr(eq + 1), 0, 65535, &value)) {
            *pError = "index mode \"" + idx + "\" must be @P=V with P 1 to 15 and V 0 to 65535";
            return false;
        }
        if (pItem->ulAddr > 0xFFFF) {
            *pError = "in index mode the element address must be 0 to 65535";
            return false;
        }
        pItem->byIndexPos = static_cast<uint8_t>(p);
        pItem->usIndexValue = static_cast<uint16_t>(value);
        ++pos;
    }
    *pPos = pos;
    return true;
}

void PutLittleEndian(uint64_t value, size_t size, std::vector<uint8_t>* pOut) {
    for (size_t i = 0; i < size; ++i) {
        pOut->push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// VALUE tokens -> the panel's buffer for the item; exactly the buffer's size.
bool EncodeValues(const PanelItem& item, const std::vector<std::string>& tokens, size_t pos,
                  std::vector<uint8_t>* pOut, std::string* pError) {
    pOut->clear();
    size_t elementBytes = RegBytes(item.width);
    size_t size = ItemBufferSize(item);
    bool bText = false;
    for (; pos < tokens.size(); ++pos) {
        const std::string& tok = tokens[pos];
        if (tok.size() >= 2 && (tok[0] == '\'' || tok[0] == '"')) {
            if (item.width != RegWidth::W16) {
                *pError = "texts go into 16-bit registers only";
                return false;
            }
            std::string text = tok.substr(1, tok.size() - 2);
            pOut->insert(pOut->end(), text.begin(), text.end());
            if (pOut->size() % 2 != 0) {
                pOut->push_back(0);
            }
            bText = true;
            continue;
        }
        int64_t v = 0;
        bool bReal = tok.find_first_of(".eE") != std::string::npos && tok.compare(0, 2, "0x") != 0 &&
                     tok.compare(0, 2, "0X") != 0;
        if (item.width == RegWidth::Bit) {
            if (tok != "0" && tok != "1") {
                *pError = "bit value \"" + tok + "\" is not 0 or 1";
                return false;
            }
            pOut->push_back(tok == "1" ? 1 : 0);
        } else if (bReal && item.width != RegWidth::W16) {
            char* pEnd = nullptr;
            double d = std::strtod(tok.c_str(), &pEnd);
            if (pEnd == tok.c_str() || *pEnd != '\0' || !std::isfinite(d) ||
                (item.width == RegWidth::W32 && std::fabs(d) > 3.4028234663852886e38)) {
                *pError = "\"" + tok + "\" is not a real that fits the register";
                return false;
            }
            if (item.width == RegWidth::W32) {
                float f = static_cast<float>(d);
                uint32_t u;
                std::memcpy(&u, &f, sizeof(u));
                PutLittleEndian(u, 4, pOut);
            } else {
                uint64_t u;
                std::memcpy(&u, &d, sizeof(u));
                PutLittleEndian(u, 8, pOut);
            }
        } else {
            int64_t min =
                item.width == RegWidth::W16 ? -32768 : (item.width == RegWidth::W32 ? INT32_MIN : INT64_MIN);
            int64_t max = item.width == RegWidth::W16
                              ? 65535
                              : (item.width == RegWidth::W32 ? 0xFFFFFFFFll : INT64_MAX);
            bool bOk = ParseNumber(tok, min, max, &v);
            uint64_t u = static_cast<uint64_t>(v);
            if (!bOk && item.width == RegWidth::W64) {
                // Unsigned 64-bit values above INT64_MAX.
                errno = 0;
                char* pEnd = nullptr;
                u = std::strtoull(tok.c_str(), &pEnd, tok.compare(0, 2, "0x") == 0 ? 16 : 10);
                bOk = !tok.empty() && tok[0] != '-' && errno == 0 && pEnd != tok.c_str() && *pEnd == '\0';
            }
            if (!bOk) {
                *pError = "\"" + tok + "\" is not a value of a " + std::to_string(8 * elementBytes) +
                          "-bit register (from " + std::to_string(min) + " to " + std::to_string(max) + ")";
                return false;
            }
            PutLittleEndian(u, elementBytes, pOut);
        }
    }
    if (pOut->empty()) {
        *pError = "no values given";
        return false;
    }
    if (pOut->size() > size) {
        *pError = std::to_string(pOut->size() / elementBytes) + " elements given for a width of " +
                  std::to_string(item.usCount);
        return false;
    }
    if (pOut->size() < size) {
        if (!bText) {
            *pError = std::to_string(pOut->size() / elementBytes) + " values given for a width of " +
                      std::to_string(item.usCount);
            return false;
        }
        pOut->resize(size, 0);  // a text is padded with NUL
    }
    return true;
}

}  // namespace

std::string PanelUsage() {
    return "usage: panel-host --plc ADDR:PORT --project DIR [--port-no N] [--lib PATH]\n"
           "                  [--charset-root DIR] [--script FILE] [REQUEST...]\n"
           "Loads the panel driver library and calls it as an operator panel does: \"Init\",\n"
           "\"Info\", the requests in order, \"Destroy\".\n"
           "  --plc ADDR:PORT  the controller (IPv4 address and TCP port)\n"
           "  --project DIR    the panel project folder (holds Ethernet/drv_<port-no>.csv)\n"
           "  --port-no N      the panel port number (default 4096, the first Ethernet port)\n"
           "  --lib PATH       the driver library (default libkestrolink.so of the build)\n"
           "  --script FILE    request lines from FILE, before those of the command line\n"
           "  --charset-root DIR  install the driver's GB2312 conversion files under DIR\n"
           "                   instead of / (sets KESTROLINK_CHARSET_ROOT)\n"
           "requests (one argument or script line each):\n"
           "  rd  TAG ADDR TYPE WIDTH [@P=V] [== VALUE...]   \"RdOne\"; == checks the values\n"
           "  wr  TAG ADDR TYPE WIDTH [@P=V] VALUE...        \"WrOne\"\n"
           "  grp ITEM ; ITEM ...                            \"RdGrp\" (ITEM = TAG ADDR TYPE WIDTH [@P=V])\n"
           "  local NAME VALUE...                            set the panel's local registers NAME[0..]\n"
           "  TYPE: bit, 16, 32 or 64; @P=V: run-time index position P (1-15), index value V\n"
           "  VALUE: 42, -7, 0x2A, 1.5 (32/64-bit), 0/1 (bits), 'text' (16-bit, 2 chars per register)\n"
           "exit codes: 0 all requests PLC_OK (and == matched), 1 a request failed,\n"
           "            2 usage or script error, 3 the library could not be loaded\n";
}

bool ParsePanelArgs(int argc, const char* const* argv, PanelOptions* pOptions, std::string* pError) {
    PanelOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] != nullptr ? argv[i] : "";
        auto value = [&](std::string* pValue) -> bool {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                *pError = arg + " needs a value";
                return false;
            }
            *pValue = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            o.bHelp = true;
        } else if (arg == "--lib") {
            if (!value(&o.libraryPath)) {
                return false;
            }
        } else if (arg == "--plc") {
            if (!value(&v)) {
                return false;
            }
            size_t colon = v.rfind(':');
            int64_t port = 0;
            in_addr addr;
            if (colon == std::string::npos || inet_pton(AF_INET, v.substr(0, colon).c_str(), &addr) != 1 ||
                !ParseNumber(v.substr(colon + 1), 1, 65535, &port)) {
                *pError = "--plc expects IPv4-ADDR:PORT (for example 127.0.0.1:11740), got \"" + v + "\"";
                return false;
            }
            o.address = v.substr(0, colon);
            o.usPort = static_cast<uint16_t>(port);
        } else if (arg == "--project") {
            if (!value(&o.projectDir)) {
                return false;
            }
            if (o.projectDir.empty() || o.projectDir.size() > 255) {
                *pError = "--project expects a folder path of 1 to 255 characters";
                return false;
            }
        } else if (arg == "--port-no") {
            int64_t n = 0;
            if (!value(&v)) {
                return false;
            }
            if (!ParseNumber(v, 0, 65535, &n)) {
                *pError = "--port-no expects a number from 0 to 65535, got \"" + v + "\"";
                return false;
            }
            o.usPortNo = static_cast<uint16_t>(n);
        } else if (arg == "--charset-root") {
            if (!value(&o.charsetRoot)) {
                return false;
            }
        } else if (arg == "--script") {
            if (!value(&o.scriptFile)) {
                return false;
            }
        } else if (arg.compare(0, 2, "--") == 0) {
            *pError = "unknown option " + arg;
            return false;
        } else {
            o.requestLines.push_back(arg);
        }
    }
    if (!o.bHelp) {
        if (o.address.empty()) {
            *pError = "--plc ADDR:PORT is required";
            return false;
        }
        if (o.projectDir.empty()) {
            *pError = "--project DIR is required";
            return false;
        }
    }
    *pOptions = o;
    return true;
}

bool ParseRequestLine(const std::string& line, PanelRequest* pRequest, bool* pbEmpty, std::string* pError) {
    std::vector<std::string> t;
    *pbEmpty = false;
    if (!Tokenize(line, &t, pError)) {
        return false;
    }
    if (t.empty()) {
        *pbEmpty = true;
        return true;
    }
    PanelRequest r;
    r.text = line;
    size_t pos = 1;
    const std::string& cmd = t[0];
    if (cmd == "rd" || cmd == "wr") {
        r.command = cmd == "rd" ? PanelCommand::Read : PanelCommand::Write;
        PanelItem item;
        if (!ParseItem(t, &pos, &item, pError)) {
            return false;
        }
        r.items.push_back(item);
        if (r.command == PanelCommand::Write) {
            if (!EncodeValues(item, t, pos, &r.values, pError)) {
                return false;
            }
        } else if (pos < t.size()) {
            if (t[pos] != "==") {
                *pError = "unexpected \"" + t[pos] + "\" after the item (expected == VALUE...)";
                return false;
            }
            if (!EncodeValues(item, t, pos + 1, &r.values, pError)) {
                return false;
            }
            r.bExpect = true;
        }
    } else if (cmd == "grp") {
        r.command = PanelCommand::ReadGroup;
        while (pos < t.size()) {
            PanelItem item;
            if (!ParseItem(t, &pos, &item, pError)) {
                return false;
            }
            r.items.push_back(item);
            if (pos < t.size()) {
                if (t[pos] != ";") {
                    *pError = "unexpected \"" + t[pos] + "\" in a group (items are separated by ' ; ')";
                    return false;
                }
                ++pos;
            }
        }
        if (r.items.empty()) {
            *pError = "grp needs at least one item";
            return false;
        }
        if (r.items.size() > PLC_MAX_GROUP_ITEMS) {
            *pError = "a group holds at most " + std::to_string(PLC_MAX_GROUP_ITEMS) + " items";
            return false;
        }
    } else if (cmd == "local") {
        r.command = PanelCommand::Local;
        if (t.size() < 3) {
            *pError = "local needs NAME VALUE...";
            return false;
        }
        r.localName = t[1];
        for (pos = 2; pos < t.size(); ++pos) {
            int64_t v = 0;
            if (!ParseNumber(t[pos], -32768, 65535, &v)) {
                *pError = "\"" + t[pos] + "\" is not a 16-bit register value";
                return false;
            }
            r.localValues.push_back(static_cast<uint16_t>(v));
        }
    } else {
        *pError = "unknown request \"" + cmd + "\" (rd, wr, grp or local)";
        return false;
    }
    *pRequest = r;
    return true;
}

bool ParseScript(const std::string& text, const std::string& fileName, std::vector<PanelRequest>* pRequests,
                 std::string* pError) {
    size_t lineNo = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        ++lineNo;
        PanelRequest r;
        bool bEmpty = false;
        std::string error;
        if (!ParseRequestLine(line, &r, &bEmpty, &error)) {
            *pError = fileName + ":" + std::to_string(lineNo) + ": " + error;
            return false;
        }
        if (!bEmpty) {
            r.where = fileName + ":" + std::to_string(lineNo);
            pRequests->push_back(r);
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return true;
}

size_t ItemBufferSize(const PanelItem& item) {
    return static_cast<size_t>(item.usCount) * RegBytes(item.width);
}

RegAttr MakeRegAttr(const PanelItem& item) {
    RegAttr reg;
    std::memset(&reg, 0, sizeof(reg));
    reg._regType = static_cast<V_UINT8>(item.width);
    reg._regId = static_cast<V_UINT16>(item.ulTag & 0xFFFF);
    reg._subRegId = static_cast<V_UINT16>((item.ulTag >> 16) & 0xFF);
    reg._width = item.usCount;
    if (item.byIndexPos == 0) {
        reg._addr = item.ulAddr;
    } else {
        // Index mode: the index value in _addr, the element address split
        // over the high bytes of _subRegId and _subAddr.
        reg._flag = static_cast<V_UINT32>(item.byIndexPos & 0xF) << 11;
        reg._addr = item.usIndexValue;
        reg._subRegId = static_cast<V_UINT16>(reg._subRegId | (item.ulAddr & 0xFF00));
        reg._subAddr = static_cast<V_UINT16>((item.ulAddr & 0xFF) << 8);
    }
    return reg;
}

std::string FormatBuffer(const PanelItem& item, const uint8_t* pBuffer) {
    size_t size = ItemBufferSize(item);
    std::string hex;
    char sz[64];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(sz, sizeof(sz), i == 0 ? "%02X" : " %02X", pBuffer[i]);
        hex += sz;
    }
    std::string decoded;
    size_t n = item.usCount;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* p = pBuffer + k * RegBytes(item.width);
        std::string one;
        switch (item.width) {
            case RegWidth::Bit:
                one = p[0] != 0 ? "1" : "0";
                break;
            case RegWidth::W16: {
                uint16_t u = static_cast<uint16_t>(p[0] | (p[1] << 8));
                std::snprintf(sz, sizeof(sz), "%u", u);
                one = sz;
                if (static_cast<int16_t>(u) < 0) {
                    std::snprintf(sz, sizeof(sz), "(%d)", static_cast<int16_t>(u));
                    one += sz;
                }
                break;
            }
            case RegWidth::W32: {
                uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                             (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
                float f;
                std::memcpy(&f, &u, sizeof(f));
                std::snprintf(sz, sizeof(sz), "%d|%g", static_cast<int32_t>(u), static_cast<double>(f));
                one = sz;
                break;
            }
            case RegWidth::W64: {
                uint64_t u = 0;
                for (int b = 0; b < 8; ++b) {
                    u |= static_cast<uint64_t>(p[b]) << (8 * b);
                }
                double d;
                std::memcpy(&d, &u, sizeof(d));
                std::snprintf(sz, sizeof(sz), "%lld|%.17g", static_cast<long long>(u), d);
                one = sz;
                break;
            }
        }
        decoded += (k == 0 ? "" : " ") + one;
    }
    std::string out = "[" + hex + "] = " + decoded;
    if (item.width == RegWidth::W16) {
        // Registers that carry a text show it as well.
        std::string text;
        bool bPrintable = true;
        for (size_t i = 0; i < size && pBuffer[i] != 0; ++i) {
            if (pBuffer[i] < 0x20 || pBuffer[i] > 0x7E) {
                bPrintable = false;
                break;
            }
            text += static_cast<char>(pBuffer[i]);
        }
        if (bPrintable && text.size() >= 2) {
            out += "  text '" + text + "'";
        }
    }
    if (item.width == RegWidth::W32) {
        out += "  (int|real)";
    } else if (item.width == RegWidth::W64) {
        out += "  (int|lreal)";
    }
    return out;
}

std::string ResultName(int iResult) {
    switch (iResult) {
        case PLC_OK:
            return "PLC_OK";
        case PLC_NAK:
            return "PLC_NAK";
        case PLC_ERROR:
            return "PLC_ERROR (not connected, tags not loaded, or write refused)";
        case 3:
            return "3 (request failed: read refused, tag out of range, or tag file not loaded)";
        case PLC_INV_CMD:
            return "PLC_INV_CMD";
        case PLC_INV_DRV:
            return "PLC_INV_DRV";
        case PLC_INV_PRM:
            return "PLC_INV_PRM";
        case PLC_OTHER_ERR:
            return "PLC_OTHER_ERR";
        default:
            return std::to_string(iResult) + " (unknown result)";
    }
}

void LocalRegisters::Set(const std::string& name, const std::vector<uint16_t>& values) {
    m_registers[name] = values;
}

const std::vector<uint16_t>* LocalRegisters::Find(const std::string& name) const {
    auto it = m_registers.find(name);
    return it == m_registers.end() ? nullptr : &it->second;
}

int LocalRegisters::Read(const std::string& name, int iAddr, int iCount, void* pBuffer,
                         int iElementSize) const {
    const std::vector<uint16_t>* pRegs = Find(name);
    if (pRegs == nullptr || pBuffer == nullptr || iElementSize != 2 || iAddr < 0 || iCount < 0 ||
        static_cast<size_t>(iAddr) + static_cast<size_t>(iCount) > pRegs->size()) {
        return -1;
    }
    uint8_t* p = static_cast<uint8_t*>(pBuffer);
    for (int i = 0; i < iCount; ++i) {
        uint16_t v = (*pRegs)[static_cast<size_t>(iAddr + i)];
        p[2 * i] = static_cast<uint8_t>(v);
        p[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    return 0;
}

int LocalRegisters::Write(const std::string& name, int iAddr, int iCount, const void* pBuffer,
                          int iElementSize) {
    auto it = m_registers.find(name);
    if (it == m_registers.end() || pBuffer == nullptr || iElementSize != 2 || iAddr < 0 || iCount < 0 ||
        static_cast<size_t>(iAddr) + static_cast<size_t>(iCount) > it->second.size()) {
        return -1;
    }
    const uint8_t* p = static_cast<const uint8_t*>(pBuffer);
    for (int i = 0; i < iCount; ++i) {
        it->second[static_cast<size_t>(iAddr + i)] = static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    }
    return 0;
}

}  // namespace klpanel
