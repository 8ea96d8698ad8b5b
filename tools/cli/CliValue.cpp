// Text <-> bytes for the kestrolink tool. The controller's layouts are
// little-endian (the sample controller and the emulator are); strings are
// NUL-terminated in a fixed-size area of length + 1 characters.
#include "CliValue.h"

#include <iconv.h>

#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrolink/PlcSymbol.h"

namespace klcli {
namespace {

// The controller's default string length.
const size_t kDefaultStringLength = 80;
// Longest STRING/WSTRING/RAW a person may name; a bound for the buffers.
const size_t kMaxLength = 65535;

std::string Upper(const std::string& text) {
    std::string s = text;
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return std::string();
    }
    size_t e = text.find_last_not_of(" \t");
    return text.substr(b, e - b + 1);
}

struct ScalarType {
    const char* pszName;
    ValueKind kind;
    size_t size;
};

const ScalarType kScalars[] = {
    {"BOOL", ValueKind::Bool, 1},   {"BYTE", ValueKind::Unsigned, 1},  {"USINT", ValueKind::Unsigned, 1},
    {"SINT", ValueKind::Signed, 1}, {"WORD", ValueKind::Unsigned, 2},  {"UINT", ValueKind::Unsigned, 2},
    {"INT", ValueKind::Signed, 2},  {"DWORD", ValueKind::Unsigned, 4}, {"UDINT", ValueKind::Unsigned, 4},
    {"DINT", ValueKind::Signed, 4}, {"LWORD", ValueKind::Unsigned, 8}, {"ULINT", ValueKind::Unsigned, 8},
    {"LINT", ValueKind::Signed, 8}, {"REAL", ValueKind::Real, 4},      {"LREAL", ValueKind::Real, 8},
    {"TIME", ValueKind::Time, 4},
};

VarType Scalar(const char* pszName) {
    for (const ScalarType& s : kScalars) {
        if (std::strcmp(s.pszName, pszName) == 0) {
            VarType t;
            t.kind = s.kind;
            t.size = s.size;
            t.name = s.pszName;
            return t;
        }
    }
    return VarType();
}

VarType Sized(ValueKind kind, size_t length) {
    VarType t;
    t.kind = kind;
    switch (kind) {
        case ValueKind::String:
            t.size = length + 1;
            t.name = "STRING(" + std::to_string(length) + ")";
            break;
        case ValueKind::WString:
            t.size = 2 * (length + 1);
            t.name = "WSTRING(" + std::to_string(length) + ")";
            break;
        default:
            t.kind = ValueKind::Raw;
            t.size = length;
            t.name = "RAW(" + std::to_string(length) + ")";
            break;
    }
    return t;
}

// Magnitude and sign of an integer literal; false when it is not one or
// does not fit 64 bits.
bool ParseInteger(const std::string& input, bool* pNegative, uint64_t* pMagnitude) {
    std::string text = Trim(input);
    bool bNegative = false;
    size_t pos = 0;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        bNegative = text[pos] == '-';
        ++pos;
    }
    unsigned base = 10;
    std::string up = Upper(text.substr(pos));
    if (up.compare(0, 3, "16#") == 0) {
        base = 16;
        pos += 3;
    } else if (up.compare(0, 2, "0X") == 0) {
        base = 16;
        pos += 2;
    } else if (up.compare(0, 2, "8#") == 0) {
        base = 8;
        pos += 2;
    } else if (up.compare(0, 2, "2#") == 0) {
        base = 2;
        pos += 2;
    }
    uint64_t value = 0;
    bool bDigit = false;
    for (; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '_' && bDigit) {
            continue;  // IEC digit separator
        }
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (d >= base) {
            return false;
        }
        if (value > (UINT64_MAX - d) / base) {
            return false;
        }
        value = value * base + d;
        bDigit = true;
    }
    if (!bDigit) {
        return false;
    }
    *pNegative = bNegative && value != 0;
    *pMagnitude = value;
    return true;
}

void PutLittleEndian(uint64_t value, size_t size, std::vector<uint8_t>* pBytes) {
    pBytes->assign(size, 0);
    for (size_t i = 0; i < size; ++i) {
        (*pBytes)[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t GetLittleEndian(const uint8_t* pData, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size && i < 8; ++i) {
        value |= static_cast<uint64_t>(pData[i]) << (8 * i);
    }
    return value;
}

int64_t SignExtend(uint64_t value, size_t size) {
    if (size >= 8) {
        return static_cast<int64_t>(value);
    }
    uint64_t sign = 1ull << (8 * size - 1);
    return static_cast<int64_t>((value ^ sign) - sign);
}

// The shortest decimal text that reads back as the same float or double.
std::string FormatReal(double value, bool bSingle) {
    char sz[64];
    for (int precision = 6; precision <= 17; ++precision) {
        std::snprintf(sz, sizeof(sz), "%.*g", precision, value);
        if (bSingle ? std::strtof(sz, nullptr) == static_cast<float>(value)
                    : std::strtod(sz, nullptr) == value) {
            break;
        }
    }
    return sz;
}

bool ParseTime(const std::string& input, uint32_t* pMs, std::string* pError) {
    std::string text = Upper(Trim(input));
    bool bPrefixed = false;
    if (text.compare(0, 5, "TIME#") == 0) {
        text = text.substr(5);
        bPrefixed = true;
    } else if (text.compare(0, 2, "T#") == 0) {
        text = text.substr(2);
        bPrefixed = true;
    }
    if (text.empty()) {
        *pError = "empty TIME value";
        return false;
    }
    if (text[0] == '-') {
        *pError = "TIME cannot be negative";
        return false;
    }
    uint64_t total = 0;
    size_t pos = 0;
    bool bAny = false;
    while (pos < text.size()) {
        if (text[pos] == '_') {
            ++pos;
            continue;
        }
        uint64_t number = 0;
        size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (number > 1000000000000ull) {
                *pError = "TIME value out of range (0 to T#49d17h2m47s295ms)";
                return false;
            }
            number = number * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        if (pos == start) {
            *pError = "\"" + input + "\" is not a TIME (examples: T#1h2m3s4ms, T#250ms, 1500)";
            return false;
        }
        uint64_t unit = 0;
        if (text.compare(pos, 2, "MS") == 0) {
            unit = 1;
            pos += 2;
        } else if (pos < text.size() && text[pos] == 'D') {
            unit = 86400000;
            ++pos;
        } else if (pos < text.size() && text[pos] == 'H') {
            unit = 3600000;
            ++pos;
        } else if (pos < text.size() && text[pos] == 'M') {
            unit = 60000;
            ++pos;
        } else if (pos < text.size() && text[pos] == 'S') {
            unit = 1000;
            ++pos;
        } else if (pos == text.size() && !bAny && !bPrefixed) {
            unit = 1;  // plain milliseconds
        } else {
            *pError = "\"" + input + "\" is not a TIME (examples: T#1h2m3s4ms, T#250ms, 1500)";
            return false;
        }
        total += number * unit;
        if (total > UINT32_MAX) {
            *pError = "TIME value out of range (0 to T#49d17h2m47s295ms)";
            return false;
        }
        bAny = true;
    }
    *pMs = static_cast<uint32_t>(total);
    return true;
}

// A person's quotes around a string value are not part of it.
std::string Unquote(const std::string& text, char quote) {
    if (text.size() >= 2 && text.front() == quote && text.back() == quote) {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

bool Utf8ToUtf16(const std::string& utf8, std::vector<uint16_t>* pUnits, std::string* pError) {
    pUnits->clear();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        uint32_t cp;
        size_t len;
        if (p[i] < 0x80) {
            cp = p[i];
            len = 1;
        } else if ((p[i] & 0xE0) == 0xC0) {
            cp = p[i] & 0x1F;
            len = 2;
        } else if ((p[i] & 0xF0) == 0xE0) {
            cp = p[i] & 0x0F;
            len = 3;
        } else if ((p[i] & 0xF8) == 0xF0) {
            cp = p[i] & 0x07;
            len = 4;
        } else {
            *pError = "the text is not valid UTF-8";
            return false;
        }
        if (i + len > n) {
            *pError = "the text is not valid UTF-8";
            return false;
        }
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                *pError = "the text is not valid UTF-8";
                return false;
            }
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            *pError = "the text is not valid UTF-8";
            return false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            pUnits->push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            pUnits->push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            pUnits->push_back(static_cast<uint16_t>(cp));
        }
        i += len;
    }
    return true;
}

void AppendUtf8(uint32_t cp, std::string* pOut) {
    if (cp < 0x80) {
        *pOut += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *pOut += static_cast<char>(0xC0 | (cp >> 6));
        *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *pOut += static_cast<char>(0xE0 | (cp >> 12));
        *pOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *pOut += static_cast<char>(0xF0 | (cp >> 18));
        *pOut += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *pOut += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseTypeName(const std::string& input, VarType* pType, std::string* pError) {
    std::string text = Upper(Trim(input));
    VarType t = Scalar(text.c_str());
    if (!t.name.empty()) {
        *pType = t;
        return true;
    }
    if (text == "STRING") {
        *pType = Sized(ValueKind::String, kDefaultStringLength);
        return true;
    }
    if (text == "WSTRING") {
        *pType = Sized(ValueKind::WString, kDefaultStringLength);
        return true;
    }
    size_t open = text.find('(');
    if (open != std::string::npos && text.back() == ')') {
        std::string head = text.substr(0, open);
        std::string digits = text.substr(open + 1, text.size() - open - 2);
        bool bNegative = false;
        uint64_t length = 0;
        if ((head == "STRING" || head == "WSTRING" || head == "RAW") && !digits.empty() &&
            digits.find_first_not_of("0123456789") == std::string::npos &&
            ParseInteger(digits, &bNegative, &length)) {
            if (length > kMaxLength || (head == "RAW" && length == 0)) {
                *pError = "length " + digits + " of " + head + " must be 1 to " + std::to_string(kMaxLength);
                return false;
            }
            ValueKind kind = head == "STRING" ? ValueKind::String
                                              : (head == "WSTRING" ? ValueKind::WString : ValueKind::Raw);
            *pType = Sized(kind, static_cast<size_t>(length));
            return true;
        }
    }
    *pError = "unknown type \"" + input +
              "\" (known: BOOL, BYTE, SINT, USINT, WORD, INT, UINT, DWORD, DINT, UDINT, LWORD, LINT, ULINT, "
              "REAL, LREAL, TIME, STRING(n), WSTRING(n), RAW(n))";
    return false;
}

VarType TypeFromSymbol(uint32_t ulTypeClass, uint32_t ulSize) {
    if ((ulTypeClass & DATATYPE_KIND_MASK) != 0 && (ulTypeClass & DATATYPE_KIND_MASK) != DATATYPE_KIND_ENUM) {
        return Sized(ValueKind::Raw, ulSize);
    }
    const char* pszName = nullptr;
    switch (ulTypeClass & DATATYPE_CLASS_MASK) {
        case DATATYPE_BOOL:
        case DATATYPE_BIT:
            pszName = "BOOL";
            break;
        case DATATYPE_SINT:
            pszName = "SINT";
            break;
        case DATATYPE_USINT:
            pszName = "USINT";
            break;
        case DATATYPE_BYTE:
            pszName = "BYTE";
            break;
        case DATATYPE_INT:
            pszName = "INT";
            break;
        case DATATYPE_UINT:
            pszName = "UINT";
            break;
        case DATATYPE_WORD:
            pszName = "WORD";
            break;
        case DATATYPE_DINT:
            pszName = "DINT";
            break;
        case DATATYPE_UDINT:
            pszName = "UDINT";
            break;
        case DATATYPE_DWORD:
            pszName = "DWORD";
            break;
        case DATATYPE_REAL:
            pszName = "REAL";
            break;
        case DATATYPE_LREAL:
            pszName = "LREAL";
            break;
        case DATATYPE_TIME:
            pszName = "TIME";
            break;
        case DATATYPE_LINT:
            pszName = "LINT";
            break;
        case DATATYPE_ULINT:
            pszName = "ULINT";
            break;
        case DATATYPE_LWORD:
            pszName = "LWORD";
            break;
        case DATATYPE_STRING:
            return ulSize > 0 ? Sized(ValueKind::String, ulSize - 1) : Sized(ValueKind::Raw, 0);
        case DATATYPE_WSTRING:
            return ulSize >= 2 ? Sized(ValueKind::WString, ulSize / 2 - 1) : Sized(ValueKind::Raw, ulSize);
        default:
            break;
    }
    if (pszName != nullptr) {
        VarType t = Scalar(pszName);
        // An enumeration or a scalar whose size disagrees is shown by its bytes.
        if (t.size == ulSize) {
            return t;
        }
    }
    return Sized(ValueKind::Raw, ulSize);
}

bool SplitNameAndType(const std::string& text, std::string* pName, std::string* pTypeText,
                      std::string* pError) {
    size_t lastBracket = text.rfind(']');
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || (lastBracket != std::string::npos && colon < lastBracket)) {
        *pName = text;
        pTypeText->clear();
        return true;
    }
    std::string name = text.substr(0, colon);
    std::string typeText = text.substr(colon + 1);
    VarType t;
    if (name.empty()) {
        *pError = "\"" + text + "\" has no variable name before the ':'";
        return false;
    }
    if (!ParseTypeName(typeText, &t, pError)) {
        return false;
    }
    *pName = name;
    *pTypeText = typeText;
    return true;
}

bool EncodeValue(const VarType& type, const std::string& input, std::vector<uint8_t>* pBytes,
                 std::string* pError) {
    switch (type.kind) {
        case ValueKind::Bool: {
            std::string t = Upper(Trim(input));
            if (t == "TRUE" || t == "1") {
                pBytes->assign(1, 1);
            } else if (t == "FALSE" || t == "0") {
                pBytes->assign(1, 0);
            } else {
                *pError = "\"" + input + "\" is not a BOOL (TRUE, FALSE, 1 or 0)";
                return false;
            }
            return true;
        }
        case ValueKind::Unsigned:
        case ValueKind::Signed: {
            bool bNegative = false;
            uint64_t magnitude = 0;
            if (!ParseInteger(input, &bNegative, &magnitude)) {
                *pError = "\"" + input + "\" is not an integer";
                return false;
            }
            size_t bits = 8 * type.size;
            std::string range;
            bool bFits;
            uint64_t value;
            if (type.kind == ValueKind::Unsigned) {
                uint64_t max = bits >= 64 ? UINT64_MAX : (1ull << bits) - 1;
                bFits = !bNegative && magnitude <= max;
                value = magnitude;
                range = "0 to " + std::to_string(max);
            } else {
                uint64_t maxPositive = (1ull << (bits - 1)) - 1;
                bFits = bNegative ? magnitude <= maxPositive + 1 : magnitude <= maxPositive;
                value = bNegative ? (~magnitude + 1) : magnitude;
                range = "-" + std::to_string(maxPositive + 1) + " to " + std::to_string(maxPositive);
            }
            if (!bFits) {
                *pError = Trim(input) + " is out of range for " + type.name + " (" + range + ")";
                return false;
            }
            PutLittleEndian(value, type.size, pBytes);
            return true;
        }
        case ValueKind::Real: {
            std::string t = Trim(input);
            if (t.empty()) {
                *pError = "empty " + type.name + " value";
                return false;
            }
            char* pEnd = nullptr;
            errno = 0;
            double d = std::strtod(t.c_str(), &pEnd);
            if (pEnd == t.c_str() || *pEnd != '\0' || std::isnan(d)) {
                *pError = "\"" + input + "\" is not a number";
                return false;
            }
            if (std::isinf(d) || (type.size == 4 && std::fabs(d) > FLT_MAX)) {
                *pError = t + " is out of range for " + type.name;
                return false;
            }
            if (type.size == 4) {
                float f = static_cast<float>(d);
                uint32_t u;
                std::memcpy(&u, &f, sizeof(u));
                PutLittleEndian(u, 4, pBytes);
            } else {
                uint64_t u;
                std::memcpy(&u, &d, sizeof(u));
                PutLittleEndian(u, 8, pBytes);
            }
            return true;
        }
        case ValueKind::Time: {
            uint32_t ms = 0;
            if (!ParseTime(input, &ms, pError)) {
                return false;
            }
            PutLittleEndian(ms, 4, pBytes);
            return true;
        }
        case ValueKind::String: {
            std::string gb;
            if (!Utf8ToGb2312(Unquote(input, '\''), &gb, pError)) {
                return false;
            }
            if (gb.size() + 1 > type.size) {
                *pError = "text of " + std::to_string(gb.size()) + " bytes does not fit " + type.name;
                return false;
            }
            pBytes->assign(type.size, 0);
            std::memcpy(pBytes->data(), gb.data(), gb.size());
            return true;
        }
        case ValueKind::WString: {
            std::vector<uint16_t> units;
            if (!Utf8ToUtf16(Unquote(input, '"'), &units, pError)) {
                return false;
            }
            if (2 * (units.size() + 1) > type.size) {
                *pError = "text of " + std::to_string(units.size()) + " characters does not fit " + type.name;
                return false;
            }
            pBytes->assign(type.size, 0);
            for (size_t i = 0; i < units.size(); ++i) {
                (*pBytes)[2 * i] = static_cast<uint8_t>(units[i]);
                (*pBytes)[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
            }
            return true;
        }
        case ValueKind::Raw: {
            std::vector<uint8_t> bytes;
            std::string hex;
            for (char c : input) {
                if (c != ' ' && c != '\t' && c != ':' && c != '-') {
                    hex += c;
                }
            }
            if (Upper(hex).compare(0, 2, "0X") == 0) {
                hex = hex.substr(2);
            }
            if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                *pError = "\"" + input + "\" is not a row of hex bytes (for example 2A 00 FF)";
                return false;
            }
            for (size_t i = 0; i < hex.size(); i += 2) {
                bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
            }
            if (bytes.size() != type.size) {
                *pError = type.name + " takes exactly " + std::to_string(type.size) + " bytes, got " +
                          std::to_string(bytes.size());
                return false;
            }
            *pBytes = bytes;
            return true;
        }
    }
    *pError = "unsupported type";
    return false;
}

std::string DecodeValue(const VarType& type, const uint8_t* pData, size_t size) {
    if (pData == nullptr || size < type.size) {
        return "(no value)";
    }
    switch (type.kind) {
        case ValueKind::Bool:
            return pData[0] != 0 ? "TRUE" : "FALSE";
        case ValueKind::Unsigned:
            return std::to_string(GetLittleEndian(pData, type.size));
        case ValueKind::Signed:
            return std::to_string(SignExtend(GetLittleEndian(pData, type.size), type.size));
        case ValueKind::Real:
            if (type.size == 4) {
                uint32_t u = static_cast<uint32_t>(GetLittleEndian(pData, 4));
                float f;
                std::memcpy(&f, &u, sizeof(f));
                return FormatReal(f, true);
            } else {
                uint64_t u = GetLittleEndian(pData, 8);
                double d;
                std::memcpy(&d, &u, sizeof(d));
                return FormatReal(d, false);
            }
        case ValueKind::Time:
            return FormatTime(static_cast<uint32_t>(GetLittleEndian(pData, 4)));
        case ValueKind::String: {
            size_t n = 0;
            while (n < type.size && pData[n] != 0) {
                ++n;
            }
            return "'" + Gb2312ToUtf8(std::string(reinterpret_cast<const char*>(pData), n)) + "'";
        }
        case ValueKind::WString: {
            std::string out = "\"";
            for (size_t i = 0; i + 1 < type.size; i += 2) {
                uint32_t unit = pData[i] | (static_cast<uint32_t>(pData[i + 1]) << 8);
                if (unit == 0) {
                    break;
                }
                if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < type.size) {
                    uint32_t low = pData[i + 2] | (static_cast<uint32_t>(pData[i + 3]) << 8);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), &out);
                        i += 2;
                        continue;
                    }
                }
                AppendUtf8(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit, &out);
            }
            return out + "\"";
        }
        case ValueKind::Raw:
            return HexBytes(pData, type.size);
    }
    return std::string();
}

std::string HexBytes(const uint8_t* pData, size_t size) {
    std::string out;
    char sz[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(sz, sizeof(sz), i == 0 ? "%02X" : " %02X", pData[i]);
        out += sz;
    }
    return out;
}

std::string BestDecoding(const uint8_t* pData, size_t size) {
    auto as = [&](const char* pszType) {
        return std::string(pszType) + " " + DecodeValue(Scalar(pszType), pData, size);
    };
    switch (size) {
        case 1:
            return as("BYTE") + " / " + as("SINT") + " / " + as("BOOL");
        case 2:
            return as("INT") + " / " + as("UINT");
        case 4:
            return as("DINT") + " / " + as("UDINT") + " / " + as("REAL") + " / " + as("TIME");
        case 8:
            return as("LINT") + " / " + as("ULINT") + " / " + as("LREAL");
        default:
            break;
    }
    // A text: printable bytes up to a terminator.
    size_t n = 0;
    while (n < size && pData[n] >= 0x20 && pData[n] != 0x7F) {
        ++n;
    }
    if (n > 0 && n < size && pData[n] == 0) {
        return DecodeValue(Sized(ValueKind::String, size - 1), pData, size);
    }
    return std::string();
}

std::string FormatTime(uint32_t ulMs) {
    if (ulMs == 0) {
        return "T#0ms";
    }
    static const struct {
        uint32_t ulUnit;
        const char* pszSuffix;
    } kUnits[] = {{86400000, "d"}, {3600000, "h"}, {60000, "m"}, {1000, "s"}, {1, "ms"}};
    std::string out = "T#";
    for (const auto& u : kUnits) {
        uint32_t n = ulMs / u.ulUnit;
        ulMs %= u.ulUnit;
        if (n != 0) {
            out += std::to_string(n) + u.pszSuffix;
        }
    }
    return out;
}

bool Utf8ToGb2312(const std::string& utf8, std::string* pGb, std::string* pError) {
    if (IsAscii(utf8)) {
        *pGb = utf8;
        return true;
    }
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        *pError = "the C library cannot convert UTF-8 to GB2312 here (iconv_open: " +
                  std::string(std::strerror(errno)) + ")";
        return false;
    }
    std::string in = utf8;
    // GB2312 never takes more bytes than UTF-8 for the same character.
    std::vector<char> out(in.size() + 4);
    char* pIn = &in[0];
    size_t inLeft = in.size();
    char* pOut = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &pIn, &inLeft, &pOut, &outLeft);
    int err = errno;
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) {
        size_t at = in.size() - inLeft;
        *pError = err == EILSEQ ? "\"" + utf8 + "\": the character at byte " + std::to_string(at) +
                                      " has no GB2312 form, or the text is not UTF-8"
                                : "\"" + utf8 + "\" is not complete UTF-8";
        return false;
    }
    pGb->assign(out.data(), out.size() - outLeft);
    return true;
}

std::string Gb2312ToUtf8(const std::string& gb) {
    if (IsAscii(gb)) {
        return gb;
    }
    iconv_t cd = iconv_open("UTF-8", "GB2312");
    std::string result;
    char sz[8];
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (char c : gb) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x80) {
                result += c;
            } else {
                std::snprintf(sz, sizeof(sz), "\\x%02X", u);
                result += sz;
            }
        }
        return result;
    }
    std::string in = gb;
    char* pIn = &in[0];
    size_t inLeft = in.size();
    while (inLeft > 0) {
        char buf[256];
        char* pOut = buf;
        size_t outLeft = sizeof(buf);
        size_t rc = iconv(cd, &pIn, &inLeft, &pOut, &outLeft);
        int err = errno;
        result.append(buf, sizeof(buf) - outLeft);
        if (rc == static_cast<size_t>(-1) && err != E2BIG) {
            // Show the byte that does not convert and go on after it.
            std::snprintf(sz, sizeof(sz), "\\x%02X", static_cast<unsigned char>(*pIn));
            result += sz;
            ++pIn;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return result;
}

}  // namespace klcli
