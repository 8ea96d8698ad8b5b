// The kestrolink tool's values and command line, without a controller:
// every type's text survives a trip to bytes and back, values outside a
// type's range are refused, names and texts cross into GB2312, and a bad
// command line is refused with a reason before anything connects.
#include <gtest/gtest.h>

#include <iconv.h>

#include "CliOptions.h"
#include "CliValue.h"

using namespace klcli;

namespace {
VarType Type(const char* pszName) {
    VarType t;
    std::string error;
    EXPECT_TRUE(ParseTypeName(pszName, &t, &error)) << pszName << ": " << error;
    return t;
}

std::vector<uint8_t> Encode(const char* pszType, const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(EncodeValue(Type(pszType), text, &bytes, &error)) << pszType << " " << text << ": " << error;
    return bytes;
}

std::string Refusal(const char* pszType, const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(EncodeValue(Type(pszType), text, &bytes, &error)) << pszType << " " << text;
    return error;
}

bool Gb2312Available() {
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    iconv_close(cd);
    return true;
}

bool Parse(std::vector<const char*> args, CliOptions* pOptions, std::string* pError) {
    args.insert(args.begin(), "kestrolink");
    return ParseCliArgs(static_cast<int>(args.size()), args.data(), pOptions, pError);
}
}  // namespace

TEST(CliValue, EveryTypeRoundTripsThroughItsBytes) {
    struct Case {
        const char* pszType;
        const char* pszText;
        const char* pszPrinted;  // what a read shows
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"BOOL", "true", "TRUE", {1}},
        {"BYTE", "16#FF", "255", {0xFF}},
        {"SINT", "-128", "-128", {0x80}},
        {"USINT", "200", "200", {200}},
        {"INT", "-2", "-2", {0xFE, 0xFF}},
        {"INT", "32767", "32767", {0xFF, 0x7F}},
        {"UINT", "0x1234", "4660", {0x34, 0x12}},
        {"WORD", "2#1000_0000_0000_0001", "32769", {0x01, 0x80}},
        {"DINT", "-100000", "-100000", {0x60, 0x79, 0xFE, 0xFF}},
        {"UDINT", "4294967295", "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"LINT", "-9223372036854775808", "-9223372036854775808", {0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"ULINT", "18446744073709551615", "18446744073709551615", std::vector<uint8_t>(8, 0xFF)},
        {"REAL", "1.5", "1.5", {0, 0, 0xC0, 0x3F}},
        {"REAL", "0.1", "0.1", {0xCD, 0xCC, 0xCC, 0x3D}},
        {"LREAL", "0.1", "0.1", {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}},
        {"TIME", "T#1h2m3s4ms", "T#1h2m3s4ms", {0xFC, 0xCE, 0x38, 0x00}},
        {"TIME", "1500", "T#1s500ms", {0xDC, 0x05, 0, 0}},
        {"TIME", "t#0ms", "T#0ms", {0, 0, 0, 0}},
        {"STRING(4)", "'ab'", "'ab'", {'a', 'b', 0, 0, 0}},
        {"WSTRING(3)",
         "\"\xC3\xA4\xE2\x82\xAC\"",
         "\"\xC3\xA4\xE2\x82\xAC\"",
         {0xE4, 0, 0xAC, 0x20, 0, 0, 0, 0}},
        {"WSTRING(2)", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\"", {0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
        {"RAW(3)", "0a 0B ff", "0A 0B FF", {0x0A, 0x0B, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pszType) + " " + c.pszText);
        std::vector<uint8_t> bytes = Encode(c.pszType, c.pszText);
        EXPECT_EQ(bytes, c.bytes);
        VarType t = Type(c.pszType);
        ASSERT_EQ(t.size, bytes.size());
        std::string printed = DecodeValue(t, bytes.data(), bytes.size());
        EXPECT_EQ(printed, c.pszPrinted);
        // What a read prints is accepted by a write and gives the same bytes.
        EXPECT_EQ(Encode(c.pszType, printed), bytes);
    }
    // A string stops at its terminator, not at the end of its area.
    const uint8_t text[] = {'h', 'i', 0, 'x', 0};
    EXPECT_EQ(DecodeValue(Type("STRING(4)"), text, sizeof(text)), "'hi'");
    // Too few bytes for the type: nothing is read past them.
    EXPECT_EQ(DecodeValue(Type("DINT"), text, 3), "(no value)");
    EXPECT_EQ(FormatTime(86400000u + 1), "T#1d1ms");
}

TEST(CliValue, ValuesOutsideTheirTypeAreRefused) {
    EXPECT_NE(Refusal("INT", "32768").find("out of range for INT (-32768 to 32767)"), std::string::npos);
    Refusal("INT", "-32769");
    Refusal("SINT", "128");
    Refusal("SINT", "-129");
    Refusal("BYTE", "256");
    Refusal("UINT", "-1");
    Refusal("WORD", "16#10000");
    Refusal("UDINT", "4294967296");
    Refusal("DINT", "2147483648");
    Refusal("LINT", "9223372036854775808");
    Refusal("ULINT", "18446744073709551616");
    Refusal("ULINT", "-1");
    Refusal("INT", "12a");
    Refusal("INT", "");
    Refusal("INT", "1.5");
    Refusal("REAL", "1e39");
    Refusal("REAL", "nan");
    Refusal("LREAL", "1e999");
    Refusal("BOOL", "yes");
    Refusal("TIME", "T#50d");
    Refusal("TIME", "-5");
    Refusal("TIME", "T#5x");
    EXPECT_NE(Refusal("STRING(3)", "abcd").find("does not fit STRING(3)"), std::string::npos);
    Refusal("WSTRING(1)", "ab");
    Refusal("RAW(2)", "01");
    Refusal("RAW(2)", "0g 01");
}

TEST(CliValue, TypeNamesAndNameSuffixes) {
    EXPECT_EQ(Type("lreal").name, "LREAL");
    EXPECT_EQ(Type("string").size, 81u);
    EXPECT_EQ(Type("WSTRING").size, 162u);
    EXPECT_EQ(Type("STRING(20)").size, 21u);
    VarType t;
    std::string error;
    EXPECT_FALSE(ParseTypeName("RAW(0)", &t, &error));
    EXPECT_FALSE(ParseTypeName("STRING(x)", &t, &error));
    EXPECT_FALSE(ParseTypeName("FOO", &t, &error));
    EXPECT_NE(error.find("unknown type \"FOO\""), std::string::npos);

    std::string name, type;
    ASSERT_TRUE(SplitNameAndType("GVL.m[1,2]:dint", &name, &type, &error));
    EXPECT_EQ(name, "GVL.m[1,2]");
    EXPECT_EQ(type, "dint");
    ASSERT_TRUE(SplitNameAndType("GVL.m[1:2]", &name, &type, &error));  // a ':' inside brackets is not a type
    EXPECT_EQ(name, "GVL.m[1:2]");
    EXPECT_TRUE(type.empty());
    EXPECT_FALSE(SplitNameAndType("GVL.x:FOO", &name, &type, &error));
    EXPECT_FALSE(SplitNameAndType(":INT", &name, &type, &error));

    // Types as the symbols describe them.
    EXPECT_EQ(TypeFromSymbol(4 /* INT */, 2).name, "INT");
    EXPECT_EQ(TypeFromSymbol(13 /* STRING */, 81).name, "STRING(80)");
    EXPECT_EQ(TypeFromSymbol(23 /* WSTRING */, 82).name, "WSTRING(40)");
    EXPECT_EQ(TypeFromSymbol(0x00020000u | 4 /* ARRAY OF INT */, 20).name, "RAW(20)");
    EXPECT_EQ(TypeFromSymbol(4, 4).name, "RAW(4)");  // a size that disagrees with the class

    // A value of unknown type, shown by what its size allows.
    const uint8_t two[] = {0xFE, 0xFF};
    EXPECT_EQ(BestDecoding(two, 2), "INT -2 / UINT 65534");
    EXPECT_EQ(HexBytes(two, 2), "FE FF");
}

TEST(CliValue, NamesAndTextsCrossIntoGb2312) {
    std::string gb, error;
    ASSERT_TRUE(Utf8ToGb2312("SampleApp.GVL.iCounter", &gb, &error));
    EXPECT_EQ(gb, "SampleApp.GVL.iCounter");
    if (!Gb2312Available()) {
        GTEST_SKIP() << "the C library has no GB2312 converter here";
    }
    ASSERT_TRUE(Utf8ToGb2312("GVL.\xE6\xB8\xA9\xE5\xBA\xA6\xE8\xAE\xBE\xE5\xAE\x9A", &gb, &error)) << error;
    EXPECT_EQ(gb, "GVL.\xCE\xC2\xB6\xC8\xC9\xE8\xB6\xA8");
    EXPECT_EQ(Gb2312ToUtf8(gb), "GVL.\xE6\xB8\xA9\xE5\xBA\xA6\xE8\xAE\xBE\xE5\xAE\x9A");
    EXPECT_FALSE(Utf8ToGb2312("\xF0\x9F\x98\x80", &gb, &error));  // no GB2312 form
    EXPECT_FALSE(Utf8ToGb2312("a\xE6\xB8", &gb, &error));         // cut UTF-8
    EXPECT_EQ(Gb2312ToUtf8("a\xFF"
                           "b"),
              "a\\xFFb");
    // A STRING value carries the same encoding as the names.
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(EncodeValue(Type("STRING(4)"), "\xE6\xB8\xA9\xE5\xBA\xA6", &bytes, &error)) << error;
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0xCE, 0xC2, 0xB6, 0xC8, 0}));
    EXPECT_EQ(DecodeValue(Type("STRING(4)"), bytes.data(), bytes.size()), "'\xE6\xB8\xA9\xE5\xBA\xA6'");
}

TEST(CliArgs, CommandLineIsCheckedBeforeAnyConnection) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"read", "--plc", "127.0.0.1", "--timeout", "250", "A:INT", "B"}, &o, &error)) << error;
    EXPECT_EQ(o.command, "read");
    EXPECT_EQ(o.address, "127.0.0.1");
    EXPECT_EQ(o.usPort, kDefaultPort);
    EXPECT_EQ(o.ulTimeoutMs, 250u);
    EXPECT_EQ(o.args, (std::vector<std::string>{"A:INT", "B"}));
    ASSERT_TRUE(
        Parse({"write", "X:INT=5", "--plc", "127.0.0.1:1217", "--user", "u", "--password", "p"}, &o, &error));
    EXPECT_EQ(o.usPort, 1217);
    EXPECT_TRUE(o.bCredentials);
    EXPECT_EQ(o.password, "p");

    const std::vector<std::vector<const char*>> bad = {
        {},
        {"frob", "--plc", "127.0.0.1"},
        {"read", "A"},
        {"read", "--plc", "127.0.0.1"},
        {"read", "--plc", "host.example:1", "A"},
        {"read", "--plc", "127.0.0.1:0", "A"},
        {"read", "--plc", "127.0.0.1:65536", "A"},
        {"read", "--plc", "127.0.0.1", "--timeout", "0", "A"},
        {"read", "--plc", "127.0.0.1", "--timeout", "x", "A"},
        {"read", "--plc", "127.0.0.1", "--type", "FOO", "A"},
        {"read", "--plc", "127.0.0.1", "--password", "p", "A"},
        {"read", "--plc", "127.0.0.1", "--bogus", "A"},
        {"read", "--plc"},
        {"info", "--plc", "127.0.0.1", "extra"},
    };
    for (const auto& args : bad) {
        error.clear();
        EXPECT_FALSE(Parse(args, &o, &error)) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(error.empty());
    }

    std::vector<VarRequest> requests;
    ASSERT_TRUE(Parse({"write", "--plc", "127.0.0.1", "--type", "DINT", "A=7", "B:INT=-1", "C:STRING=x=y"},
                      &o, &error));
    ASSERT_TRUE(ParseVarRequests(o, true, &requests, &error)) << error;
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].type.name, "DINT");
    EXPECT_EQ(requests[1].type.name, "INT");
    EXPECT_EQ(requests[2].valueText, "x=y");
    ASSERT_TRUE(Parse({"write", "--plc", "127.0.0.1", "A:INT=40000"}, &o, &error));
    EXPECT_FALSE(ParseVarRequests(o, true, &requests, &error));
    EXPECT_NE(error.find("A: 40000 is out of range for INT"), std::string::npos) << error;
    ASSERT_TRUE(Parse({"write", "--plc", "127.0.0.1", "A:INT"}, &o, &error));
    EXPECT_FALSE(ParseVarRequests(o, true, &requests, &error));
    EXPECT_NE(error.find("has no value"), std::string::npos);
    // Untyped names pass the parse; the type is looked for after connecting.
    ASSERT_TRUE(Parse({"read", "--plc", "127.0.0.1", "A"}, &o, &error));
    ASSERT_TRUE(ParseVarRequests(o, false, &requests, &error));
    EXPECT_FALSE(requests[0].bTyped);
}
