// Values of the kestrolink command-line tool: the IEC types a person names on
// the command line, the text <-> bytes conversion for each of them, and the
// character-set conversion of names and texts towards the controller. Knows
// nothing of the SDK, so that it can be tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace klcli {

enum class ValueKind { Bool, Unsigned, Signed, Real, Time, String, WString, Raw };

struct VarType {
    ValueKind kind = ValueKind::Raw;
    size_t size = 0;   // bytes of the variable in the controller
    std::string name;  // as printed: "INT", "STRING(80)", "RAW(6)"
};

// "INT", "lreal", "STRING", "STRING(20)", "WSTRING(8)", "RAW(6)" ...; case
// does not matter. STRING and WSTRING without a length are 80 characters
// long, the controller's own default. False with a reason.
bool ParseTypeName(const std::string& text, VarType* pType, std::string* pError);

// The type of a variable as the SDK describes it (type class of its symbol,
// low 16 bits of the type code, and its size). Arrays, structures and
// classes without a scalar meaning come back as RAW(size).
VarType TypeFromSymbol(uint32_t ulTypeClass, uint32_t ulSize);

// "NAME:TYPE" -> NAME and TYPE when the part after the last ':' (outside
// brackets) names a type; otherwise the whole text is the name. False with a
// reason when the suffix looks like a type but is not a valid one.
bool SplitNameAndType(const std::string& text, std::string* pName, std::string* pTypeText,
                      std::string* pError);

// Text -> the variable's bytes in the controller's (little-endian) order.
// Integers accept decimal, 16#.. / 0x.. hex and 2#.. binary, and are refused
// outside their type's range; BOOL accepts TRUE/FALSE/1/0; TIME accepts
// T#1h2m3s4ms, TIME#.. or plain milliseconds; STRING texts longer than the
// variable are refused; RAW accepts hex bytes. False with a reason.
bool EncodeValue(const VarType& type, const std::string& text, std::vector<uint8_t>* pBytes,
                 std::string* pError);

// The variable's bytes as text, the inverse of EncodeValue (strings stop at
// their terminator; a RAW value prints as hex bytes).
std::string DecodeValue(const VarType& type, const uint8_t* pData, size_t size);

// "2A 00 FF".
std::string HexBytes(const uint8_t* pData, size_t size);

// What the bytes of a variable of unknown type can mean, judged by their
// count: "INT 42 / UINT 42" for two bytes, and so on.
std::string BestDecoding(const uint8_t* pData, size_t size);

// Milliseconds as IEC text: T#1h2m3s4ms, T#0ms.
std::string FormatTime(uint32_t ulMs);

// UTF-8 -> GB2312 through iconv. Pure ASCII comes back unchanged without
// iconv. False with a reason when a character has no GB2312 form.
bool Utf8ToGb2312(const std::string& utf8, std::string* pGb, std::string* pError);
// GB2312 -> UTF-8 for display; bytes that do not convert are shown as \xNN.
std::string Gb2312ToUtf8(const std::string& gb);

}  // namespace klcli
