// Configuration INI reader and text helpers: the reader's strict rules
// (no trimming, no spaces around "=", section found by substring), bounded
// results, number prefixes and wide text.
#include <gtest/gtest.h>

#include <string>

#include "PLCUtil.h"
#include "TestSupport.h"

namespace {
std::u16string Wide(const RTS_WCHAR* p) {
    std::u16string s;
    for (; p != nullptr && *p != 0; ++p) {
        s.push_back(static_cast<char16_t>(*p));
    }
    return s;
}
}  // namespace

TEST(PLCUtil, NumberTextsTakeIecPrefixesAndWrapAt32Bits) {
    EXPECT_EQ(UtlStrToULong("16#1388"), 5000u);
    EXPECT_EQ(UtlStrToULong("16#ffFF"), 0xFFFFu);
    EXPECT_EQ(UtlStrToULong("8#17"), 15u);
    EXPECT_EQ(UtlStrToULong("2#101"), 5u);
    EXPECT_EQ(UtlStrToULong("2#1012"), 5u);  // stops at the first digit outside the base
    EXPECT_EQ(UtlStrToULong("  42abc"), 42u);
    EXPECT_EQ(UtlStrToULong("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(UtlStrToULong("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(UtlStrToULong("4294967296"), 0u);
    EXPECT_EQ(UtlStrToULong("x"), 0u);
    EXPECT_EQ(UtlStrToULong(nullptr), 0u);
}

TEST(PLCUtil, WideConversionIsBoundedAndKeepsCharactersWhole) {
    // "Aé€😀": 1, 2, 3 and 4 UTF-8 bytes; 1, 1, 1 and 2 UTF-16 units.
    const char* utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    RTS_WCHAR wide[16];
    EXPECT_EQ(UtlStrToWStr(wide, 16, utf8), 5u);
    EXPECT_EQ(Wide(wide), u"A\u00E9\u20AC\U0001F600");
    char back[16];
    EXPECT_EQ(UtlWStrToStr(back, sizeof(back), wide), 10u);
    EXPECT_STREQ(back, utf8);

    // A surrogate pair that does not fit is left out whole.
    EXPECT_EQ(UtlStrToWStr(wide, 5, utf8), 3u);
    EXPECT_EQ(Wide(wide), u"A\u00E9\u20AC");
    // So is a multi-byte character.
    EXPECT_EQ(UtlWStrToStr(back, 5, wide), 3u);
    EXPECT_STREQ(back, "A\xC3\xA9");

    // Size 0 writes nothing.
    back[0] = 'x';
    wide[0] = 'x';
    EXPECT_EQ(UtlWStrToStr(back, 0, wide), 0u);
    EXPECT_EQ(UtlStrToWStr(wide, 0, utf8), 0u);
    EXPECT_EQ(back[0], 'x');
    EXPECT_EQ(wide[0], 'x');

    // A byte that starts no UTF-8 sequence stands for itself; a lone surrogate becomes U+FFFD.
    EXPECT_EQ(UtlStrToWStr(wide, 16, "\xE9t\xC3"), 3u);
    EXPECT_EQ(Wide(wide), u"\u00E9t\u00C3");
    const RTS_WCHAR lone[] = {0xD800, 'a', 0};
    UtlWStrToStr(back, sizeof(back), lone);
    EXPECT_STREQ(back,
                 "\xEF\xBF\xBD"
                 "a");
}

TEST(PLCUtil, IniReaderFollowsTheStrictFileRules) {
    kltest::TempDir dir;
    std::string file = dir.File("cfg.ini");
    // The tail of an over-long line must not be taken as a line of its own.
    std::string longLine = std::string(KL_INI_MAX_LINE, 'x') + "hidden=1\n";
    kltest::WriteFile(file,
                      "key=before\n"
                      "junk [PLC:A] junk\r\n"
                      "spaced = 3000\r"
                      "raw=  two words \r\n"
                      ";comment=1\n"
                      "keyx=2\n"
                      "key=first\n"
                      "key=second\n"
                      "hex=16#1388\n"
                      "neg=-5\n"
                      "dbl=2.5\n"
                      "empty=\n" +
                          longLine +
                          "after=ok\n"
                          "; see [Next] below\n"
                          "late=1\n"
                          "[Next]\n"
                          "next=1\n");
    const char* f = file.c_str();
    char buf[64];

    // The section opens at the first line that contains "[PLC:A]"; the
    // first line of the key counts.
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "key", "dflt", buf, sizeof(buf), f), 1);
    EXPECT_STREQ(buf, "first");
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "raw", "dflt", buf, sizeof(buf), f), 1);
    EXPECT_STREQ(buf, "  two words ");
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "spaced", "dflt", buf, sizeof(buf), f), 0);
    EXPECT_STREQ(buf, "dflt");
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "spaced ", "dflt", buf, sizeof(buf), f), 1);
    EXPECT_STREQ(buf, " 3000");
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", ";comment", "dflt", buf, sizeof(buf), f), 0);
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "empty", "dflt", buf, sizeof(buf), f), 1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "hidden", "dflt", buf, sizeof(buf), f), 0);
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "after", "dflt", buf, sizeof(buf), f), 1);
    // Any line with a bracket pair ends the section, even a comment; that
    // comment then opens section Next, which the real header line ends again.
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "late", "dflt", buf, sizeof(buf), f), 0);
    EXPECT_EQ(KestrolinkUtlIniReadString("Next", "late", "dflt", buf, sizeof(buf), f), 1);
    EXPECT_EQ(KestrolinkUtlIniReadString("Next", "next", "dflt", buf, sizeof(buf), f), 0);
    EXPECT_EQ(KestrolinkUtlIniReadString("Missing", "key", "dflt", buf, sizeof(buf), f), 0);
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "key", "dflt", buf, sizeof(buf), dir.File("none").c_str()),
              0);
    EXPECT_STREQ(buf, "dflt");

    // Results are cut to the destination; size 0 writes nothing.
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "raw", "dflt", buf, 5, f), 1);
    EXPECT_STREQ(buf, "  tw");
    buf[0] = 'z';
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "raw", "dflt", buf, 0, f), 1);
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "missing", "dflt", buf, 0, f), 0);
    EXPECT_EQ(buf[0], 'z');
    std::string longValue(600, 'v');
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", "missing", longValue.c_str(), buf, sizeof(buf), f), 0);
    EXPECT_EQ(std::string(buf), longValue.substr(0, sizeof(buf) - 1));

    EXPECT_EQ(KestrolinkUtlIniReadInt("PLC:A", "hex", 7, f), 5000);
    EXPECT_EQ(KestrolinkUtlIniReadInt("PLC:A", "neg", 7, f), -5);
    EXPECT_EQ(KestrolinkUtlIniReadInt("PLC:A", "spaced", 7, f), 7);
    EXPECT_DOUBLE_EQ(KestrolinkUtlIniReadDouble("PLC:A", "dbl", 1.0, f), 2.5);
    EXPECT_DOUBLE_EQ(KestrolinkUtlIniReadDouble("PLC:A", "nodbl", 1.0, f), 1.0);

    RTS_WCHAR wide[8];
    const RTS_WCHAR wdefault[] = {'d', 0};
    EXPECT_EQ(KestrolinkUtlIniReadWString("PLC:A", "raw", wdefault, wide, 4, f), 1);
    EXPECT_EQ(Wide(wide), u"  t");
    EXPECT_EQ(KestrolinkUtlIniReadWString("PLC:A", "nokey", wdefault, wide, 8, f), 0);
    EXPECT_EQ(Wide(wide), u"d");

    // Null arguments give the default.
    EXPECT_EQ(KestrolinkUtlIniReadString(nullptr, "key", "dflt", buf, sizeof(buf), f), 0);
    EXPECT_EQ(KestrolinkUtlIniReadString("PLC:A", nullptr, nullptr, buf, sizeof(buf), f), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(KestrolinkUtlIniReadInt("PLC:A", "hex", 7, nullptr), 7);
}

TEST(PLCUtil, IniLinesEndAtCrLfOrCrLfAcrossChunks) {
    // Lines split over the reader's chunks, with every line ending.
    std::string text = "[S]\r\na=1\rb=2\nc=3\r\n";
    // A comment line long enough to put the next CR LF across the file
    // reader's 4096-byte chunk border; the last line has no ending.
    text += std::string(4096 - 1 - text.size(), ';') + "\r\nd=4";
    ASSERT_EQ(text.find("\r\nd=4"), 4095u);
    CKestrolinkIniSection section;
    ASSERT_TRUE(section.Parse(text.data(), text.size(), "S"));
    ASSERT_NE(section.Find("a"), nullptr);
    EXPECT_STREQ(section.Find("a"), "1");
    EXPECT_STREQ(section.Find("b"), "2");
    EXPECT_STREQ(section.Find("c"), "3");
    ASSERT_NE(section.Find("d"), nullptr);
    EXPECT_STREQ(section.Find("d"), "4");
    EXPECT_EQ(section.Lines().size(), 4u);

    kltest::TempDir dir;
    kltest::WriteFile(dir.File("f.ini"), text);
    CKestrolinkIniSection fromFile;
    ASSERT_TRUE(fromFile.Load(dir.File("f.ini").c_str(), "S"));
    EXPECT_EQ(fromFile.Lines(), section.Lines());
    EXPECT_FALSE(fromFile.Load(dir.Path().c_str(), "S"));  // a folder is no file
}
