// The symbol-configuration reader: the sample application's file turned into
// symbols, type codes, sizes and value-area offsets; the expansion switches;
// the documents it must reject as a whole; and hostile documents.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "CMItf.h"
#include "CmpXMLParserItf.h"
#include "SymbolUtil.h"
#include "TestSupport.h"
#include "XmlSymbolParser.h"

namespace {

const StaticComponent kComponents[] = {
    {"CmpXMLParser", CmpXMLParser__Entry, 0},
    {nullptr, nullptr, 0},
};

const char* const kTypes =
    "<TypeList>"
    "<TypeSimple name=\"T_INT\" size=\"2\" swapsize=\"2\" typeclass=\"Int\" iecname=\"INT\"/>"
    "<TypeSimple name=\"T_BOOL\" size=\"1\" swapsize=\"1\" typeclass=\"Bool\" iecname=\"BOOL\"/>"
    "<TypeArray name=\"T_A\" size=\"6\" iecname=\"ARRAY [1..3] OF INT\" basetype=\"T_INT\">"
    "<ArrayDim minrange=\"1\" maxrange=\"3\"/></TypeArray>"
    "</TypeList>";

std::string Doc(const std::string& nodes, const std::string& types = kTypes) {
    return "<Symbolconfiguration><Header><ProjectInfo appname=\"App\"/></Header>" + types + "<NodeList>" +
           nodes + "</NodeList></Symbolconfiguration>";
}

struct Parsed {
    RTS_I32 lResult = 1;
    std::map<std::string, PlcSymbolDesc> symbols;
    std::vector<std::string> order;
    RTS_UI32 ulArea = 0;
    std::string error;
};

class XmlSymbolParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CMInit2(nullptr, kComponents, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    }
    void TearDown() override {
        if (CMIsRunning()) {
            CMExit();
        }
    }
    static void Collect(CXmlSymbolParser& parser, RTS_I32 lResult, PlcSymbolDesc* pSymbols, RTS_UI32 ulNum,
                        RTS_UI32 ulArea, Parsed* pOut) {
        pOut->lResult = lResult;
        pOut->ulArea = ulArea;
        pOut->error = parser.GetErrorText();
        for (RTS_UI32 i = 0; i < ulNum; ++i) {
            pOut->symbols[pSymbols[i].pszName] = pSymbols[i];
            pOut->order.push_back(pSymbols[i].pszName);
            // Each symbol's bytes lie inside the value area.
            EXPECT_LE(static_cast<RTS_UI64>(pSymbols[i].ulOffset) + std::max<RTS_UI32>(pSymbols[i].ulSize, 1),
                      ulArea)
                << pSymbols[i].pszName;
        }
    }
    Parsed Parse(const std::string& doc, RTS_BOOL bNoSimple = 0, RTS_BOOL bNoComplex = 0, RTS_BOOL bMon = 0) {
        CXmlSymbolParser parser(bNoSimple, bNoComplex, bMon);
        PlcSymbolDesc* pSymbols = nullptr;
        RTS_UI32 ulNum = 7;
        RTS_UI32 ulArea = 0;
        RTS_I32 lResult = parser.ParseSymbolData(doc.data(), doc.size(), &pSymbols, &ulNum, nullptr, &ulArea);
        Parsed out;
        Collect(parser, lResult, pSymbols, ulNum, bMon != 0 ? 0xFFFFFFFFu : ulArea, &out);
        if (lResult != PLCCOM_OK) {
            EXPECT_EQ(pSymbols, nullptr);
            EXPECT_EQ(ulNum, 0u);
        }
        return out;
    }
    static std::string SampleFile() { return std::string(KL_SOURCE_DIR) + "/examples/symbols/SampleApp.xml"; }
};

TEST_F(XmlSymbolParserTest, SampleApplicationGivesItsSymbolsTypesSizesAndOffsets) {
    CXmlSymbolParser parser(0, 0);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulNum = 0;
    char** ppszAddr = nullptr;
    RTS_UI32 ulArea = 0;
    ASSERT_EQ(parser.ParseSymbolFile(SampleFile().c_str(), &pSymbols, &ulNum, &ppszAddr, &ulArea), PLCCOM_OK)
        << parser.GetErrorText();
    EXPECT_STREQ(parser.GetAppName(), "SampleApp");
    EXPECT_STREQ(parser.GetDataGuid(), "{6f1c2a9e-3b47-4d1a-9c2e-5a8b7d0e4f13}");
    // 18 + 10 + 12 + 13 in the GVL (one with a Chinese name), 4 + 15 in PLC_PRG.
    ASSERT_EQ(ulNum, 72u);
    EXPECT_EQ(ulArea, 464u);
    for (RTS_UI32 i = 1; i < ulNum; ++i) {
        ASSERT_LT(KestrolinkUtlStrICmp(pSymbols[i - 1].pszName, pSymbols[i].pszName), 0)
            << "sorted, no duplicates";
    }
    struct Expect {
        const char* name;
        RTS_UI32 type;
        RTS_UI32 size;
        const char* iec;
        const char* access;
        RTS_UI32 offset;
        RTS_UI8 swap;
    };
    const Expect expected[] = {
        {"xStart", 0, 1, "BOOL", "b", 0, 1},
        {"byStatus", 3, 1, "BYTE", "r", 1, 1},
        {"siTemperature", 1, 1, "SINT", "b", 2, 1},
        {"iCounter", 4, 2, "INT", "b", 4, 2},
        {"uiSetpoint", 5, 2, "UINT", "b", 6, 2},
        {"diPosition", 7, 4, "DINT", "b", 8, 4},
        {"udiCycles", 8, 4, "UDINT", "r", 12, 4},
        {"liTotalCount", 20, 8, "LINT", "b", 16, 8},
        {"rSpeed", 10, 4, "REAL", "b", 24, 4},
        {"lrPrecise", 11, 8, "LREAL", "b", 32, 8},
        {"tCycleTime", 12, 4, "TIME", "b", 40, 4},
        {"sMessage", 13, 81, "STRING(80)", "b", 44, 1},
        {"wsLabel", 23, 82, "WSTRING(40)", "b", 126, 2},
        {"aiValues", 0x20004, 20, "ARRAY [0..9] OF INT", "b", 208, 2},
        {"aiValues[3]", 4, 2, "INT", "b", 214, 2},
        {"adiMatrix", 0x20007, 48, "ARRAY [1..3, 1..4] OF DINT", "b", 232, 4},
        {"adiMatrix[2,3]", 7, 4, "DINT", "b", 256, 4},
        {"adiMatrix[3,4]", 7, 4, "DINT", "b", 276, 4},
        {"stAxis", 0x10003, 120, "ST_Axis", "b", 280, 0},
        {"stAxis.sName", 13, 81, "STRING(80)", "b", 280, 1},
        {"stAxis.stActual", 0x10003, 16, "ST_Position", "b", 380, 0},
        {"stAxis.stActual.rY", 10, 4, "REAL", "b", 384, 4},
        {"stAxis.eMode", 0x80006, 2, "E_AxisMode", "b", 396, 2},
        {"xResetRequest", 0, 1, "BOOL", "w", 400, 1},
    };
    Parsed all;
    Collect(parser, PLCCOM_OK, pSymbols, ulNum, ulArea, &all);
    for (const Expect& e : expected) {
        std::string name = std::string("SampleApp.GVL.") + e.name;
        ASSERT_EQ(all.symbols.count(name), 1u) << name;
        const PlcSymbolDesc& d = all.symbols[name];
        EXPECT_EQ(d.ulTypeId, e.type) << name;
        EXPECT_EQ(d.ulSize, e.size) << name;
        EXPECT_STREQ(d.pszType, e.iec) << name;
        EXPECT_STREQ(d.szAccess, e.access) << name;
        EXPECT_EQ(d.ulOffset, e.offset) << name;
        EXPECT_EQ(d.bySwapSize, e.swap) << name;
        EXPECT_EQ(d.usRefId, 0u) << name;
    }
    EXPECT_EQ(all.symbols["SampleApp.PLC_PRG.astWaypoints"].ulTypeId, 0x20013u);
    EXPECT_EQ(all.symbols["SampleApp.PLC_PRG.astWaypoints[2].xValid"].ulOffset, 460u);
    EXPECT_STREQ(all.symbols["SampleApp.PLC_PRG.xDone"].szAccess, "r");
    // The mapped addresses run parallel to the sorted symbols.
    RTS_UI32 iStart = GetIndex("sampleapp.gvl.XSTART", pSymbols, ulNum);
    ASSERT_LT(iStart, ulNum);
    EXPECT_STREQ(ppszAddr[iStart], "%IX0.0");
    EXPECT_STREQ(ppszAddr[GetIndex("SampleApp.GVL.byStatus", pSymbols, ulNum)], "%QB0");
    EXPECT_EQ(ppszAddr[GetIndex("SampleApp.GVL.iCounter", pSymbols, ulNum)], nullptr);

    // With monitoring addresses: the file's area and offset, children at
    // their place in the parent.
    CXmlSymbolParser mon(0, 0, 1);
    ASSERT_EQ(mon.ParseSymbolFile(SampleFile().c_str(), &pSymbols, &ulNum, nullptr, nullptr), PLCCOM_OK);
    const PlcSymbolDesc& m = pSymbols[GetIndex("SampleApp.GVL.adiMatrix[2,3]", pSymbols, ulNum)];
    EXPECT_EQ(m.usRefId, 1u);
    EXPECT_EQ(m.ulOffset, 228u + 24u);
    const PlcSymbolDesc& w = pSymbols[GetIndex("SampleApp.PLC_PRG.astWaypoints[1].rX", pSymbols, ulNum)];
    EXPECT_EQ(w.usRefId, 2u);
    EXPECT_EQ(w.ulOffset, 8u + 16u);

    // The expansion switches.
    kltest::TempDir dir;
    std::string doc = kltest::ReadFile(SampleFile());
    EXPECT_EQ(Parse(doc, 1, 0).symbols.size(), 72u - 22u) << "arrays of INT and DINT kept whole";
    EXPECT_EQ(Parse(doc, 0, 1).symbols.size(), 72u - 15u) << "the array of structures kept whole";
    EXPECT_EQ(Parse(doc, 1, 1).symbols.size(), 72u - 37u);
}

TEST_F(XmlSymbolParserTest, ArraysStructuresAndValueAreaRules) {
    Parsed p = Parse(Doc("<Node name=\"P\"><Node name=\"a\" type=\"T_A\" access=\"Read\"/></Node>"));
    ASSERT_EQ(p.lResult, PLCCOM_OK) << p.error;
    EXPECT_EQ(p.order, (std::vector<std::string>{"P.a", "P.a[1]", "P.a[2]", "P.a[3]"}));
    EXPECT_EQ(p.symbols["P.a[3]"].ulOffset, 4u);
    EXPECT_EQ(Parse(Doc("<Node name=\"a\" type=\"T_A\" access=\"Read\"/>"), 1).order,
              std::vector<std::string>{"a"});

    std::string types = std::string(kTypes).replace(
        std::string(kTypes).find("</TypeList>"), 11,
        "<TypeArray name=\"T_A4\" size=\"32\" iecname=\"ARRAY [0..1,0..1,0..1,0..1] OF INT\" "
        "basetype=\"T_INT\">"
        "<ArrayDim maxrange=\"1\"/><ArrayDim maxrange=\"1\"/><ArrayDim maxrange=\"1\"/><ArrayDim "
        "maxrange=\"1\"/>"
        "</TypeArray>"
        "<TypeArray name=\"T_BIG\" size=\"4000\" iecname=\"ARRAY [-999..1000] OF INT\" basetype=\"T_INT\">"
        "<ArrayDim minrange=\"-999\" maxrange=\"1000\"/></TypeArray>"
        "<TypeSimple name=\"T_ZERO\" size=\"0\" iecname=\"BIT\"/>"
        "<TypeUserDef name=\"T_S\" size=\"4\" iecname=\"S\">"
        "<UserDefElement iecname=\"x\" type=\"T_BOOL\"/><UserDefElement iecname=\"y\" type=\"T_BOOL\"/>"
        "<UserDefElement iecname=\"i\" type=\"T_INT\" compileroffset=\"2\"/>"
        "<UserDefElement iecname=\"ref\" type=\"T_A\" vartype=\"VAR_IN_OUT\"/>"
        "<UserDefElement iecname=\"prop\" type=\"T_INT\" propertytype=\"get\"/></TypeUserDef>"
        "<TypeUserDef name=\"T_LOOP\" size=\"8\" iecname=\"LOOP\">"
        "<UserDefElement iecname=\"self\" type=\"T_LOOP\" compileroffset=\"0\"/></TypeUserDef>"
        "<TypeUserDef name=\"T_TIGHT\" size=\"2\" iecname=\"TIGHT\">"
        "<UserDefElement iecname=\"i\" type=\"T_INT\" compileroffset=\"1\"/></TypeUserDef>"
        "</TypeList>");
    p =
        Parse(Doc("<Node name=\"a4\" type=\"T_A4\" access=\"ReadWrite\"/>"
                  "<Node name=\"big\" type=\"T_BIG\" access=\"ReadWrite\"/>"
                  "<Node name=\"z\" type=\"T_ZERO\" access=\"None\" referencetype=\"yes\"/>"
                  "<Node name=\"s\" type=\"T_S\" access=\"ReadWrite\"/>",
                  types));
    ASSERT_EQ(p.lResult, PLCCOM_OK) << p.error;
    EXPECT_EQ(p.symbols.count("a4"), 1u);
    EXPECT_EQ(p.symbols.count("a4[0,0,0,0]"), 0u) << "four dimensions are not expanded";
    EXPECT_EQ(p.symbols["big[-999]"].ulOffset + 2 * 1999, p.symbols["big[1000]"].ulOffset);
    const PlcSymbolDesc& z = p.symbols["z"];
    EXPECT_EQ(z.ulSize, 0u);
    EXPECT_STREQ(z.szAccess, "n");
    EXPECT_EQ(z.ulTypeId, DATATYPE_BIT | DATATYPE_FLAG_REFERENCE);
    EXPECT_EQ(z.bySwapSize, 0u);
    // Members without an offset follow the previous one.
    const PlcSymbolDesc& s = p.symbols["s"];
    EXPECT_EQ(s.ulOffset % 8, 0u);
    EXPECT_EQ(p.symbols["s.y"].ulOffset, s.ulOffset + 1);
    EXPECT_EQ(p.symbols["s.i"].ulOffset, s.ulOffset + 2);
    // A reference or property member has a range of its own outside the
    // structure's 4 bytes, and is flagged.
    EXPECT_EQ(p.symbols["s.ref"].ulTypeId, 0x20004u | DATATYPE_FLAG_REFERENCE);
    EXPECT_GE(p.symbols["s.ref"].ulOffset, s.ulOffset + 4);
    EXPECT_EQ(p.symbols.count("s.ref[3]"), 1u);
    EXPECT_EQ(p.symbols["s.prop"].ulTypeId, DATATYPE_INT | DATATYPE_FLAG_PROPERTY);
    EXPECT_GE(p.symbols["s.prop"].ulOffset, s.ulOffset + 4);

    // A structure containing itself, and a member beyond its structure.
    p = Parse(Doc("<Node name=\"l\" type=\"T_LOOP\" access=\"Read\"/>", types));
    EXPECT_EQ(p.lResult, PLCCOM_FAILED);
    EXPECT_NE(p.error.find("deeper"), std::string::npos) << p.error;
    p = Parse(Doc("<Node name=\"t\" type=\"T_TIGHT\" access=\"Read\"/>", types));
    EXPECT_EQ(p.lResult, PLCCOM_FAILED);
    EXPECT_NE(p.error.find("does not fit"), std::string::npos) << p.error;
}

TEST_F(XmlSymbolParserTest, DocumentsBreakingARuleAreRejectedAsAWhole) {
    const std::string ok = "<Node name=\"ok\" type=\"T_INT\" access=\"Read\"/>";
    ASSERT_EQ(Parse(Doc(ok)).lResult, PLCCOM_OK);
    Parsed p = Parse(Doc(ok + "<Node name=\"bad\" type=\"T_INT\"/>"));
    EXPECT_EQ(p.lResult, PLCCOM_FAILED);
    EXPECT_NE(p.error.find("bad without access"), std::string::npos) << p.error;
    EXPECT_EQ(Parse(Doc(ok + "<Node type=\"T_INT\" access=\"Read\"/>")).lResult, PLCCOM_FAILED);
    EXPECT_EQ(Parse(Doc("<Node><Node name=\"x\" type=\"T_INT\" access=\"Read\"/></Node>")).lResult,
              PLCCOM_FAILED);
    EXPECT_EQ(Parse(Doc(ok + "<Node name=\"u\" type=\"T_NONE\" access=\"Read\"/>")).lResult,
              PLCCOM_UNKNOWN_TYPE);
    std::string noBase =
        "<TypeList><TypeArray name=\"T_A\" size=\"6\" iecname=\"ARRAY [1..3] OF X\" basetype=\"T_X\">"
        "<ArrayDim minrange=\"1\" maxrange=\"3\"/></TypeArray></TypeList>";
    EXPECT_EQ(Parse(Doc("<Node name=\"a\" type=\"T_A\" access=\"Read\"/>", noBase)).lResult,
              PLCCOM_UNKNOWN_TYPE);
    // An unknown element type makes the array complex (0x20013); its type
    // is needed only to expand it.
    EXPECT_EQ(Parse(Doc("<Node name=\"a\" type=\"T_A\" access=\"Read\"/>", noBase), 0, 1).lResult, PLCCOM_OK);
    EXPECT_EQ(Parse(Doc(ok, "<TypeList><TypeSimple name=\"T_INT\" size=\"2\"/></TypeList>")).lResult,
              PLCCOM_FAILED)
        << "TypeSimple without iecname";
    EXPECT_EQ(Parse(Doc(ok, "<TypeList><TypeSimple name=\"T_INT\" size=\"2x\" iecname=\"INT\"/></TypeList>"))
                  .lResult,
              PLCCOM_FAILED);
    EXPECT_EQ(Parse(Doc(ok,
                        "<TypeList><TypeUserDef name=\"T_INT\"><UserDefElement iecname=\"a\"/></TypeUserDef>"
                        "</TypeList>"))
                  .lResult,
              PLCCOM_FAILED)
        << "UserDefElement without type";
    // Monitoring addresses need area and offset.
    EXPECT_EQ(Parse(Doc(ok), 0, 0, 1).lResult, PLCCOM_FAILED);
    EXPECT_EQ(
        Parse(Doc("<Node name=\"m\" type=\"T_INT\" access=\"Read\" area=\"70000\" offset=\"0\"/>"), 0, 0, 1)
            .lResult,
        PLCCOM_FAILED)
        << "an area beyond 16 bits";
    // No variable node, or not a symbol configuration.
    EXPECT_EQ(Parse(Doc("<Node name=\"empty\"/>")).lResult, PLCCOM_NO_SYMBOLS);
    EXPECT_EQ(Parse("<Other><NodeList>" + ok + "</NodeList></Other>").lResult, PLCCOM_FAILED);
    std::string cut = Doc(ok);
    EXPECT_EQ(Parse(cut.substr(0, cut.size() - 5)).lResult, PLCCOM_FAILED);
    // Unknown and misplaced elements are skipped with their contents; names
    // are case-sensitive.
    p = Parse(Doc(ok +
                  "<Extra><Node name=\"hidden\" type=\"T_INT\" access=\"Read\"/></Extra>"
                  "<node name=\"lower\" type=\"T_INT\" access=\"Read\"/>"
                  "<Node name=\"c\" type=\"T_INT\" access=\"Read\"><Node name=\"inner\"/><Comment/></Node>"));
    ASSERT_EQ(p.lResult, PLCCOM_OK) << p.error;
    EXPECT_EQ(p.order, (std::vector<std::string>{"c", "ok"}));

    // The folder prefix holds at most 252 characters.
    std::string leaf = "<Node name=\"v\" type=\"T_INT\" access=\"Read\"/>";
    EXPECT_EQ(Parse(Doc("<Node name=\"" + std::string(251, 'f') + "\">" + leaf + "</Node>")).lResult,
              PLCCOM_OK);
    EXPECT_EQ(Parse(Doc("<Node name=\"" + std::string(252, 'f') + "\">" + leaf + "</Node>")).lResult,
              PLCCOM_FAILED);

    // Missing arguments.
    CXmlSymbolParser parser(0, 0);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulNum = 0;
    EXPECT_EQ(parser.ParseSymbolFile(nullptr, &pSymbols, &ulNum, nullptr, nullptr), PLCCOM_INVALID_PARAMETER);
    EXPECT_EQ(parser.ParseSymbolFile("", &pSymbols, &ulNum, nullptr, nullptr), PLCCOM_INVALID_PARAMETER);
    EXPECT_EQ(parser.ParseSymbolFile(SampleFile().c_str(), nullptr, &ulNum, nullptr, nullptr),
              PLCCOM_INVALID_PARAMETER);
    EXPECT_EQ(parser.ParseSymbolData("x", 1, &pSymbols, nullptr, nullptr, nullptr), PLCCOM_INVALID_PARAMETER);
    kltest::TempDir dir;
    EXPECT_EQ(parser.ParseSymbolFile(dir.File("none.xml").c_str(), &pSymbols, &ulNum, nullptr, nullptr),
              PLCCOM_FAILED);
    EXPECT_NE(std::string(parser.GetErrorText()).find("cannot read"), std::string::npos);
}

TEST_F(XmlSymbolParserTest, HostileDocumentsStayWithinBounds) {
    // Deeply nested unknown elements cost nothing; deeply nested folders
    // end at the prefix bound.
    std::string deep;
    for (int i = 0; i < 50000; ++i) {
        deep += "<x>";
    }
    for (int i = 0; i < 50000; ++i) {
        deep += "</x>";
    }
    EXPECT_EQ(Parse(Doc("<Node name=\"v\" type=\"T_INT\" access=\"Read\"/>" + deep)).lResult, PLCCOM_OK);
    std::string folders;
    for (int i = 0; i < 5000; ++i) {
        folders += "<Node name=\"f\">";
    }
    Parsed p = Parse(Doc(folders));
    EXPECT_EQ(p.lResult, PLCCOM_FAILED);
    EXPECT_NE(p.error.find("prefix"), std::string::npos) << p.error;

    // A huge name is refused; a huge ignored attribute is harmless.
    EXPECT_EQ(Parse(Doc("<Node name=\"" + std::string(1 << 20, 'n') + "\" type=\"T_INT\" access=\"Read\"/>"))
                  .lResult,
              PLCCOM_FAILED);
    EXPECT_EQ(Parse(Doc("<Node name=\"v\" type=\"T_INT\" access=\"Read\" note=\"" +
                        std::string(1 << 20, 'n') + "\"/>"))
                  .lResult,
              PLCCOM_OK);

    // Limits on symbols and on the value area.
    std::string types =
        "<TypeList><TypeSimple name=\"T_INT\" size=\"2\" iecname=\"INT\"/>"
        "<TypeArray name=\"T_HUGE\" size=\"4000000000\" iecname=\"ARRAY [0..1999999999] OF INT\" "
        "basetype=\"T_INT\">"
        "<ArrayDim minrange=\"0\" maxrange=\"1999999999\"/></TypeArray></TypeList>";
    std::string doc = Doc("<Node name=\"h\" type=\"T_HUGE\" access=\"Read\"/>", types);
    CXmlSymbolParser parser(0, 0);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulNum = 0;
    EXPECT_EQ(parser.ParseSymbolData(doc.data(), doc.size(), &pSymbols, &ulNum, nullptr, nullptr),
              PLCCOM_FAILED);
    EXPECT_NE(std::string(parser.GetErrorText()).find("value area"), std::string::npos)
        << parser.GetErrorText();
    parser.SetLimits(100, 0xFFFFFFFFu);
    EXPECT_EQ(parser.ParseSymbolData(doc.data(), doc.size(), &pSymbols, &ulNum, nullptr, nullptr),
              PLCCOM_FAILED);
    EXPECT_NE(std::string(parser.GetErrorText()).find("more than 100"), std::string::npos)
        << parser.GetErrorText();
    EXPECT_EQ(parser.ParseSymbolData(doc.data(), doc.size(), &pSymbols, &ulNum, nullptr, nullptr),
              PLCCOM_FAILED)
        << "a parser is used again";
}

}  // namespace
