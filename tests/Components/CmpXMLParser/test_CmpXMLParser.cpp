// The XML parser component, reached through the component manager as other
// components reach it: 16-bit texts towards the handlers, documents fed in
// pieces or read from files, stopping from a handler, and documents built to
// hurt (external entities, entity expansion, deep nesting, huge values).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "CMItf.h"
#include "CmpXMLParserItf.h"
#include "TestSupport.h"

namespace {

const StaticComponent kComponents[] = {
    {"CmpXMLParser", CmpXMLParser__Entry, 0},
    {nullptr, nullptr, 0},
};

std::u16string U16(const RTS_WCHAR* pwsz) {
    std::u16string s;
    for (; pwsz != nullptr && *pwsz != 0; ++pwsz) {
        s.push_back(static_cast<char16_t>(*pwsz));
    }
    return s;
}

struct Recorder {
    RTS_HANDLE hParser = RTS_INVALID_HANDLE;
    PFStopXMLParser pfStop = nullptr;
    std::vector<std::u16string> events;  // "<name a=v ...", "/name"
    std::u16string text;
    int starts = 0;
    std::u16string stopAt;  // StopXMLParser at this start tag
    RTS_SIZE longestValue = 0;
};

void OnStart(void* pUser, const RTS_WCHAR* pwszName, const RTS_WCHAR** ppwszAttrs) {
    Recorder* r = static_cast<Recorder*>(pUser);
    ++r->starts;
    if (r->starts > 1000) {
        return;  // deep documents: count only
    }
    std::u16string e = u"<" + U16(pwszName);
    for (const RTS_WCHAR** pp = ppwszAttrs; *pp != nullptr; pp += 2) {
        std::u16string value = U16(pp[1]);
        r->longestValue = std::max(r->longestValue, value.size());
        if (value.size() < 100) {
            e += u" " + U16(pp[0]) + u"=" + value;
        }
    }
    r->events.push_back(e);
    if (!r->stopAt.empty() && U16(pwszName) == r->stopAt) {
        r->pfStop(r->hParser);
    }
}

void OnEnd(void* pUser, const RTS_WCHAR* pwszName) {
    Recorder* r = static_cast<Recorder*>(pUser);
    if (r->starts <= 1000) {
        r->events.push_back(u"/" + U16(pwszName));
    }
}

void OnText(void* pUser, const RTS_WCHAR* pwszData, RTS_I32 iLen) {
    Recorder* r = static_cast<Recorder*>(pUser);
    ASSERT_EQ(pwszData[iLen], 0) << "runs are terminated";
    r->text += U16(pwszData);
}

class XmlParserComponent : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CMInit2(nullptr, kComponents, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
        Import("CreateXMLParser3", SIG_CreateXMLParser3, &pfCreate);
        Import("SetXMLElementHandler", SIG_SetXMLElementHandler, &pfSetElement);
        Import("SetXMLCharacterDataHandler", SIG_SetXMLCharacterDataHandler, &pfSetText);
        Import("ParseXML2", SIG_ParseXML2, &pfParse);
        Import("StopXMLParser", SIG_StopXMLParser, &pfStop);
        Import("GetXMLErrorInfo", SIG_GetXMLErrorInfo, &pfError);
        Import("FreeXMLParser", SIG_FreeXMLParser, &pfFree);
    }
    void TearDown() override {
        if (CMIsRunning()) {
            CMExit();
        }
    }
    template <typename PF>
    void Import(const char* pszName, RTS_UI32 ulSig, PF* ppf) {
        RTS_VOID_FCTPTR pf = nullptr;
        ASSERT_EQ(CMGetAPI(pszName, &pf, ulSig), ERR_OK) << pszName;
        *ppf = reinterpret_cast<PF>(pf);
    }
    RTS_HANDLE Create(const char* pszFile, Recorder* r) {
        RTS_RESULT result = ERR_FAILED;
        RTS_HANDLE h = pfCreate(pszFile, nullptr, r, &result);
        EXPECT_EQ(result, ERR_OK);
        pfSetElement(h, OnStart, OnEnd);
        pfSetText(h, OnText);
        r->hParser = h;
        r->pfStop = pfStop;
        return h;
    }
    RTS_RESULT ParseAll(const std::string& doc, Recorder* r) {
        RTS_HANDLE h = Create(nullptr, r);
        RTS_RESULT result = pfParse(h, doc.data(), static_cast<RTS_I32>(doc.size()), 1);
        pfFree(h);
        return result;
    }

    PFCreateXMLParser3 pfCreate = nullptr;
    PFSetXMLElementHandler pfSetElement = nullptr;
    PFSetXMLCharacterDataHandler pfSetText = nullptr;
    PFParseXML2 pfParse = nullptr;
    PFStopXMLParser pfStop = nullptr;
    PFGetXMLErrorInfo pfError = nullptr;
    PFFreeXMLParser pfFree = nullptr;
};

TEST_F(XmlParserComponent, ElementsAttributesAndTextArriveAsUtf16EvenFedByteByByte) {
    // "Größe" in UTF-8, and U+1F600 outside the 16-bit plane.
    std::string doc =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<root a=\"Gr\xC3\xB6\xC3\x9F"
        "e\" b=\"&#x1F600;\">text&amp;more<child x=\"1\"/>tail</root>";
    Recorder r;
    RTS_HANDLE h = Create(nullptr, &r);
    for (size_t i = 0; i < doc.size(); ++i) {
        ASSERT_EQ(pfParse(h, doc.data() + i, 1, 0), ERR_OK) << "at byte " << i;
    }
    EXPECT_EQ(pfParse(h, nullptr, 0, 1), ERR_OK);
    pfFree(h);
    std::vector<std::u16string> expected = {u"<root a=Gr\u00F6\u00DFe b=\U0001F600", u"<child x=1", u"/child",
                                            u"/root"};
    EXPECT_EQ(r.events, expected);
    EXPECT_EQ(r.text, u"text&moretail");
    std::u16string b = expected[0].substr(expected[0].size() - 2);
    EXPECT_EQ(static_cast<unsigned>(b[0]), 0xD83Du);
    EXPECT_EQ(static_cast<unsigned>(b[1]), 0xDE00u);

    // A document in another declared encoding reaches the handlers alike.
    Recorder latin;
    EXPECT_EQ(ParseAll("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r v=\"\xE9\"/>", &latin), ERR_OK);
    EXPECT_EQ(latin.events.front(), u"<r v=\u00E9");
}

TEST_F(XmlParserComponent, StopFromAHandlerEndsTheParseWithoutFurtherEvents) {
    Recorder r;
    r.stopAt = u"stop";
    EXPECT_EQ(ParseAll("<a><b/>\n<stop/>\n<c/><d>text</d></a>", &r), ERR_FAILED);
    std::vector<std::u16string> expected = {u"<a", u"<b", u"/b", u"<stop"};
    EXPECT_EQ(r.events, expected);
    EXPECT_TRUE(r.text.empty() || r.text == u"\n");

    // Malformed input: the error's line and text.
    Recorder bad;
    RTS_HANDLE h = Create(nullptr, &bad);
    std::string doc = "<a>\n<b>\n</a>";
    EXPECT_EQ(pfParse(h, doc.data(), static_cast<RTS_I32>(doc.size()), 1), ERR_FAILED);
    RTS_UI32 ulLine = 0;
    char szText[8];
    EXPECT_EQ(pfError(h, &ulLine, nullptr, szText, sizeof(szText)), ERR_OK);
    EXPECT_EQ(ulLine, 3u);
    EXPECT_EQ(strlen(szText), sizeof(szText) - 1) << "error text cut to the buffer";
    EXPECT_EQ(pfParse(h, doc.data(), -1, 1), ERR_PARAMETER);
    pfFree(h);

    // Handles that are not parsers.
    EXPECT_EQ(pfParse(RTS_INVALID_HANDLE, "<a/>", 4, 1), ERR_PARAMETER);
    EXPECT_EQ(pfParse(nullptr, "<a/>", 4, 1), ERR_PARAMETER);
    EXPECT_EQ(pfStop(RTS_INVALID_HANDLE), ERR_PARAMETER);
    EXPECT_EQ(pfSetElement(nullptr, OnStart, OnEnd), ERR_PARAMETER);
    EXPECT_EQ(pfFree(RTS_INVALID_HANDLE), ERR_PARAMETER);
}

TEST_F(XmlParserComponent, FilesAreReadInPiecesAndMissingFilesReported) {
    kltest::TempDir dir;
    // Larger than several read pieces, with an element across each border.
    std::string doc = "<list>\n";
    int n = 0;
    while (doc.size() < 5 * XMLPARSER_READ_CHUNK) {
        doc += "  <item id=\"" + std::to_string(n++) + "\" name=\"element\"/>\n";
    }
    doc += "</list>\n";
    kltest::WriteFile(dir.File("big.xml"), doc);
    Recorder r;
    RTS_HANDLE h = Create(dir.File("big.xml").c_str(), &r);
    EXPECT_EQ(pfParse(h, nullptr, 0, 1), ERR_OK);
    pfFree(h);
    EXPECT_EQ(r.starts, n + 1);
    ASSERT_GT(r.events.size(), 3u);
    EXPECT_EQ(r.events[1], u"<item id=0 name=element");

    Recorder missing;
    h = Create(dir.File("none.xml").c_str(), &missing);
    EXPECT_EQ(pfParse(h, nullptr, 0, 1), ERR_NO_OBJECT);
    pfFree(h);
    Recorder noFile;
    h = Create(nullptr, &noFile);
    EXPECT_EQ(pfParse(h, nullptr, 0, 1), ERR_FAILED) << "no file and no data: an empty document";
    pfFree(h);
}

TEST_F(XmlParserComponent, HostileDocumentsFailOrPassWithoutHarm) {
    kltest::TempDir dir;
    kltest::WriteFile(dir.File("secret.txt"), "SECRET");
    // External entities are never read.
    Recorder ext;
    std::string doc = "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + dir.File("secret.txt") + "\">]><r>&x;</r>";
    EXPECT_EQ(ParseAll(doc, &ext), ERR_FAILED);
    EXPECT_EQ(ext.text.find(u"SECRET"), std::u16string::npos);
    Recorder extDtd;
    EXPECT_EQ(ParseAll("<!DOCTYPE r SYSTEM \"file://" + dir.File("secret.txt") + "\"><r>ok</r>", &extDtd),
              ERR_OK);
    EXPECT_EQ(extDtd.text, u"ok");

    // Exponential entity expansion is refused.
    std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lollollollollollollollollollol\">";
    for (int i = 1; i <= 10; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            laughs += "&l" + std::to_string(i - 1) + ";";
        }
        laughs += "\">";
    }
    laughs += "]><r>&l10;</r>";
    Recorder bomb;
    EXPECT_EQ(ParseAll(laughs, &bomb), ERR_FAILED);
    EXPECT_LT(bomb.text.size(), 100000000u);

    // Deep nesting and a value of 4 MiB.
    const int depth = 100000;
    std::string deep;
    for (int i = 0; i < depth; ++i) {
        deep += "<a>";
    }
    for (int i = 0; i < depth; ++i) {
        deep += "</a>";
    }
    Recorder nested;
    EXPECT_EQ(ParseAll(deep, &nested), ERR_OK);
    EXPECT_EQ(nested.starts, depth);
    Recorder huge;
    EXPECT_EQ(ParseAll("<r v=\"" + std::string(4 << 20, 'x') + "\"/>", &huge), ERR_OK);
    EXPECT_EQ(huge.longestValue, static_cast<RTS_SIZE>(4 << 20));
}

}  // namespace
