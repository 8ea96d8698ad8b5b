// The V3 simulation device over the sample application's symbol file:
// symbols, state and project answers, variable lists, writes that stay inside
// their variable, lists across a symbol reload, local file services and two
// threads using lists at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DeviceTestSupport.h"
#include "PLCComSim3.h"
#include "SymbolUtil.h"

namespace {

using devtest::Config;

// Exposes the value area, so that a test can see every byte a write touched.
class Sim3Probe : public CPLCComSim3 {
public:
    using CPLCComSim3::CPLCComSim3;
    const RTS_UI8* Area() const { return m_pbyCache.get(); }
    RTS_UI32 AreaSize() const { return m_ulCacheSize; }
};

class Sim3Test : public devtest::RuntimeTest {
protected:
    std::unique_ptr<Sim3Probe> MakeDevice(const std::string& project, Config* pCfg = nullptr) {
        Config local;
        Config& cfg = pCfg != nullptr ? *pCfg : local;
        cfg.config.it = IT_SIMULATION3;
        cfg.config.pszName = cfg.Text("Sim");
        if (!project.empty()) {
            cfg.config.pszProjectName = cfg.Text(project);
        }
        cfg.config.bLogToFile = 1;
        cfg.config.ulLogFilter = 0xFFFFFFFFu;
        std::unique_ptr<Sim3Probe> p(new Sim3Probe(&cfg.config, &cfg.device, m_hLogger));
        EXPECT_EQ(p->GetStatus(), PLCCOMSTATUS_OK);
        return p;
    }
    static PlcSymbolDesc Symbol(CPLCComBase& dev, const char* pszName) {
        PlcSymbolDesc* pSymbols = nullptr;
        RTS_UI32 ulCount = 0;
        EXPECT_EQ(dev.GetSymbols(&pSymbols, &ulCount), 0);
        RTS_UI32 ulIndex = GetIndex(pszName, pSymbols, ulCount);
        EXPECT_LT(ulIndex, ulCount) << pszName;
        return ulIndex < ulCount ? pSymbols[ulIndex] : PlcSymbolDesc{};
    }
    // The value of one variable, read through a list of its own.
    static std::vector<RTS_UI8> Read(CPLCComBase& dev, const char* pszName, RTS_UI32 ulSize) {
        RTS_I32 lResult = -1;
        HVARLIST h = dev.DefineVarList(&pszName, 1, 0, 0, &lResult);
        EXPECT_EQ(lResult, 0) << pszName;
        if (h == nullptr) {
            return {};
        }
        PlcVarValue** ppValues = nullptr;
        RTS_UI32 ulCount = 0;
        EXPECT_EQ(dev.GetVarList(h, &ppValues, &ulCount), 0);
        EXPECT_EQ(ulCount, 1u);
        EXPECT_EQ(ppValues[0]->bQuality, 1);
        const RTS_UI8* p = PlcVarValueData(ppValues[0]);
        std::vector<RTS_UI8> out(p, p + ulSize);
        EXPECT_EQ(dev.DeleteVarList(h, 0), 0);
        return out;
    }
    // Every value-area byte outside [ulOffset, ulOffset + ulSize) is zero.
    static void ExpectZeroOutside(const Sim3Probe& dev, RTS_UI32 ulOffset, RTS_UI32 ulSize) {
        for (RTS_UI32 i = 0; i < dev.AreaSize(); ++i) {
            if (i < ulOffset || i >= ulOffset + ulSize) {
                ASSERT_EQ(dev.Area()[i], 0) << "byte " << i;
            }
        }
    }
};

TEST_F(Sim3Test, ServesTheSymbolFileStateAndProject) {
    std::unique_ptr<Sim3Probe> dev = MakeDevice(devtest::SampleFile());
    EXPECT_EQ(dev->Open() + dev->Login() + dev->CheckProjectIds(), 0);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulCount = 0;
    ASSERT_EQ(dev->GetSymbols(&pSymbols, &ulCount), 0);
    ASSERT_GT(ulCount, 40u);
    EXPECT_TRUE(Logged("[Sim]: CPLCComSim3::LoadSymbols: symbolconfiguration file " + devtest::SampleFile() +
                       " is used"));
    EXPECT_TRUE(Logged("[Sim]: CPLCComSim3::LoadSymbols: " + std::to_string(ulCount) +
                       " symbols read by XML parser"));
    EXPECT_TRUE(
        Logged("[Sim]: CPLCComSim3: <-GetSymbols() " + std::to_string(ulCount) + " Symbols available"));
    EXPECT_EQ(dev->GetSymbols(&pSymbols, nullptr), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComSim3: <-GetSymbols() Invalid Parameters, pulNumOfSymbols = 0x"));

    // Mapped addresses and the project name, bounded like every text handed out.
    char szText[16];
    RTS_UI32 ulStart = GetIndex("SampleApp.GVL.xStart", pSymbols, ulCount);
    ASSERT_EQ(dev->GetSymbolAddress(ulStart, szText, sizeof(szText)), 0);
    EXPECT_STREQ(szText, "%IX0.0");
    ASSERT_EQ(dev->GetSymbolAddress(ulStart, szText, 3), 0);
    EXPECT_STREQ(szText, "%I");
    ASSERT_EQ(dev->GetSymbolAddress(GetIndex("SampleApp.GVL.iCounter", pSymbols, ulCount), szText, 16), 0);
    EXPECT_STREQ(szText, "");
    EXPECT_EQ(dev->GetSymbolAddress(ulCount, szText, 16), PLCCOM_INVALID_PARAMETER);
    EXPECT_EQ(dev->GetSymbolAddress(ulStart, szText, 0), PLCCOM_INVALID_PARAMETER);
    ASSERT_EQ(dev->GetPlcProjectName(szText, 8), 0);
    EXPECT_EQ(std::string(szText), devtest::SampleFile().substr(0, 7));
    EXPECT_EQ(dev->GetPlcProjectName(szText, 0), PLCCOM_INVALID_PARAMETER);

    PLC_STATUS status = PLC_STATE_UNKNOWN;
    EXPECT_EQ(dev->GetPlcStatus(&status), 0);
    EXPECT_EQ(status, PLC_STATE_RUNNNING);
    EXPECT_EQ(dev->GetPlcStatus(nullptr), 0);
    EXPECT_EQ(dev->ResetPlc(PLC_RESET_ORIGIN), 0);
    EXPECT_EQ(dev->GetPlcStatus(&status), 0);
    EXPECT_EQ(status, PLC_STATE_STOP);
    EXPECT_EQ(dev->SetPlcStatus(PLC_STATE_RUNNNING), 0);
    EXPECT_EQ(dev->GetPlcStatus(&status), 0);
    EXPECT_EQ(status, PLC_STATE_RUNNNING);
    DeviceInfo3* pInfo = nullptr;
    EXPECT_EQ(dev->GetDevInfo(&pInfo), PLCCOM_NOT_SUPPORTED);
}

TEST_F(Sim3Test, ChoosesTheSymbolFileAndReportsWhyNoneIsUsable) {
    std::unique_ptr<Sim3Probe> none = MakeDevice("");
    EXPECT_EQ(none->LoadSymbols(), PLCCOM_FAILED);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulCount = 7;
    EXPECT_EQ(none->GetSymbols(&pSymbols, &ulCount), PLCCOM_NO_SYMBOLS);
    EXPECT_EQ(ulCount, 0u);
    EXPECT_TRUE(Logged("[Sim]: CPLCComSim3: <-GetSymbols() No symbols"));

    kltest::TempDir dir;
    std::unique_ptr<Sim3Probe> missing = MakeDevice(dir.File("Missing.xml"));
    EXPECT_EQ(missing->LoadSymbols(), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComSim3::LoadSymbols: Unable to open symbolconfiguration file " +
                       dir.File("Missing.xml")));
    kltest::WriteFile(dir.File("Broken.xml"), "<Symbolconfiguration><NodeList><Node name=\"a\" type=\"T\"");
    std::unique_ptr<Sim3Probe> broken = MakeDevice(dir.File("Broken.xml"));
    RTS_I32 lResult = broken->LoadSymbols();
    EXPECT_NE(lResult, 0);
    EXPECT_TRUE(Logged("CPLCComSim3::LoadSymbols: XmlParser failed with result " + std::to_string(lResult)));
}

TEST_F(Sim3Test, EdgeCasesOfListsAndWrites) {
    std::unique_ptr<Sim3Probe> dev = MakeDevice(devtest::SampleFile());
    const char* pszMessage = "SampleApp.GVL.sMessage";
    const char* pszCounter = "SampleApp.GVL.iCounter";
    const char* pszSpeed = "SampleApp.GVL.rSpeed";
    ASSERT_EQ(Symbol(*dev, pszMessage).ulSize, 81u);

    // "abc" into a STRING(80) writes its 4 bytes; the rest keeps its value.
    std::string filler(80, 'x');
    const RTS_UI8* pValue = reinterpret_cast<const RTS_UI8*>(filler.c_str());
    ASSERT_EQ(dev->WriteVars(&pszMessage, 1, &pValue, nullptr), 0);
    RTS_UI8 abc[81];
    std::memset(abc, 'Z', sizeof(abc));
    std::memcpy(abc, "abc", 4);
    const RTS_UI8* pAbc = abc;
    const RTS_UI32 ulSize81 = 81;
    ASSERT_EQ(dev->WriteVars(&pszMessage, 1, &pAbc, &ulSize81), 0);
    std::vector<RTS_UI8> text = Read(*dev, pszMessage, 81);
    ASSERT_EQ(text.size(), 81u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text.data())), "abc");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text.data()) + 4, 76), std::string(76, 'x'));
    EXPECT_EQ(text[80], 0);

    // A wrong size is reported, and the value is stored all the same.
    const RTS_UI8 counter[4] = {0x39, 0x30, 0xEE, 0xEE};
    const RTS_UI8* pCounter = counter;
    const RTS_UI32 ulSize4 = 4;
    EXPECT_EQ(dev->WriteVars(&pszCounter, 1, &pCounter, &ulSize4), PLCCOM_SIZE_MISMATCH);
    EXPECT_TRUE(Logged("CPLCComSim3::WriteVars: Size does not match for symbol SampleApp.GVL.iCounter"));
    EXPECT_EQ(Read(*dev, pszCounter, 2), (std::vector<RTS_UI8>{0x39, 0x30}));

    // One unknown name: no list, and adding to a list changes nothing.
    const char* three[] = {pszCounter, "SampleApp.GVL.NoSuchVariable", pszSpeed};
    RTS_I32 lResult = 0;
    EXPECT_EQ(dev->DefineVarList(three, 3, 0, 0, &lResult), nullptr);
    EXPECT_NE(lResult, 0);
    HVARLIST h = dev->DefineVarList(&pszMessage, 1, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(lResult, 0);
    PlcVarValue** ppValues = nullptr;
    EXPECT_EQ(dev->AddVarsToVarList(h, three, 3, &ppValues), PLCCOM_FAILED);
    EXPECT_EQ(ppValues, nullptr);
    RTS_UI32 ulCount = 0;
    ASSERT_EQ(dev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ulCount, 1u);
    EXPECT_STREQ(reinterpret_cast<char*>(PlcVarValueData(ppValues[0])), "abc");
    EXPECT_EQ(dev->DeleteVarList(h, 0), 0);

    // After a reset the controller reports STOP.
    PLC_STATUS status = PLC_STATE_RUNNNING;
    ASSERT_EQ(dev->ResetPlc(PLC_RESET_COLD), 0);
    ASSERT_EQ(dev->GetPlcStatus(&status), 0);
    EXPECT_EQ(status, PLC_STATE_STOP);

    // Two lists holding the same variable see each other's writes.
    const char* listA[] = {pszCounter, pszSpeed};
    HVARLIST hA = dev->DefineVarList(listA, 2, 0, 0, &lResult);
    HVARLIST hB = dev->DefineVarList(&pszSpeed, 1, 0, 0, &lResult);
    ASSERT_NE(hA, nullptr);
    ASSERT_NE(hB, nullptr);
    float fSpeed = 1.5f;
    const RTS_UI8* pSpeed = reinterpret_cast<const RTS_UI8*>(&fSpeed);
    ASSERT_EQ(dev->WriteVarList(hB, 1, &pSpeed, nullptr), 0);
    ASSERT_EQ(dev->GetVarList(hA, &ppValues, &ulCount), 0);
    ASSERT_EQ(ulCount, 2u);
    float fRead = 0;
    std::memcpy(&fRead, PlcVarValueData(ppValues[1]), sizeof(fRead));
    EXPECT_EQ(fRead, 1.5f);
    fSpeed = -7.25f;
    RTS_I16 sCounter = -12;
    const RTS_UI8* both[] = {reinterpret_cast<const RTS_UI8*>(&sCounter), pSpeed};
    const RTS_UI32 sizes[] = {2, 4};
    ASSERT_EQ(dev->WriteVarList(hA, 2, both, sizes), 0);
    RTS_I32 bSync = 0;
    EXPECT_EQ(dev->SendVarList(hB, nullptr, nullptr, &bSync, 0, nullptr), 0);
    EXPECT_EQ(bSync, 1);
    ASSERT_EQ(dev->GetValues(hB, &ppValues, &ulCount), 0);
    std::memcpy(&fRead, PlcVarValueData(ppValues[0]), sizeof(fRead));
    EXPECT_EQ(fRead, -7.25f);
    EXPECT_EQ(dev->DeleteVarList(hA, 0), 0);
    EXPECT_EQ(dev->DeleteVarList(hB, 1), 0);
}

TEST_F(Sim3Test, EveryVariableOfTheSampleReadsBackWhatWasWritten) {
    std::unique_ptr<Sim3Probe> dev = MakeDevice(devtest::SampleFile());
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulCount = 0;
    ASSERT_EQ(dev->GetSymbols(&pSymbols, &ulCount), 0);
    std::set<RTS_UI32> types;
    for (RTS_UI32 i = 0; i < ulCount; ++i) {
        const PlcSymbolDesc& sym = pSymbols[i];
        const RTS_UI32 ulSize = std::max<RTS_UI32>(sym.ulSize, 1);
        types.insert(sym.ulTypeId);
        std::vector<RTS_UI8> value(ulSize);
        RTS_UI32 ulCompare = ulSize;
        if (sym.ulTypeId == DATATYPE_STRING) {
            std::string s = "text " + std::to_string(i);
            std::memcpy(value.data(), s.c_str(), s.size() + 1);
            ulCompare = static_cast<RTS_UI32>(s.size() + 1);
        } else if (sym.ulTypeId == DATATYPE_WSTRING) {
            const RTS_UI16 units[] = {0x57, 0x20AC, static_cast<RTS_UI16>(0x30 + i % 10), 0};
            std::memcpy(value.data(), units, sizeof(units));
            ulCompare = sizeof(units);
        } else {
            for (RTS_UI32 k = 0; k < ulSize; ++k) {
                value[k] = static_cast<RTS_UI8>(i * 7 + k + 1);
            }
        }
        // By name and through a list, alternately.
        const RTS_UI8* pValue = value.data();
        const char* pszName = sym.pszName;
        if (i % 2 == 0) {
            ASSERT_EQ(dev->WriteVars(&pszName, 1, &pValue, &sym.ulSize), 0) << pszName;
        } else {
            RTS_I32 lResult = -1;
            HVARLIST h = dev->DefineVarList(&pszName, 1, 0, 0, &lResult);
            ASSERT_NE(h, nullptr) << pszName;
            ASSERT_EQ(dev->WriteVarList(h, 1, &pValue, &sym.ulSize), 0) << pszName;
            ASSERT_EQ(dev->DeleteVarList(h, 0), 0);
        }
        std::vector<RTS_UI8> back = Read(*dev, pszName, ulSize);
        ASSERT_EQ(back.size(), ulSize);
        EXPECT_EQ(std::vector<RTS_UI8>(back.begin(), back.begin() + ulCompare),
                  std::vector<RTS_UI8>(value.begin(), value.begin() + ulCompare))
            << pszName;
    }
    // The sample has every simple type, an enumeration, arrays and structures.
    const RTS_UI32 expected[] = {
        DATATYPE_BOOL,    DATATYPE_BYTE, DATATYPE_SINT, DATATYPE_INT,   DATATYPE_UINT, DATATYPE_DINT,
        DATATYPE_UDINT,   DATATYPE_LINT, DATATYPE_REAL, DATATYPE_LREAL, DATATYPE_TIME, DATATYPE_STRING,
        DATATYPE_WSTRING, 0x80006u,      0x20004u,      0x20007u,       0x10003u};
    for (RTS_UI32 ulType : expected) {
        EXPECT_EQ(types.count(ulType), 1u) << std::hex << ulType;
    }

    // A member written through its structure reads back through the member.
    PlcSymbolDesc axis = Symbol(*dev, "SampleApp.GVL.stAxis");
    PlcSymbolDesc code = Symbol(*dev, "SampleApp.GVL.stAxis.uiErrorCode");
    ASSERT_GE(code.ulOffset, axis.ulOffset);
    std::vector<RTS_UI8> whole(axis.ulSize, 0);
    whole[code.ulOffset - axis.ulOffset] = 0x34;
    whole[code.ulOffset - axis.ulOffset + 1] = 0x12;
    const RTS_UI8* pWhole = whole.data();
    const char* pszAxis = axis.pszName;
    ASSERT_EQ(dev->WriteVars(&pszAxis, 1, &pWhole, nullptr), 0);
    EXPECT_EQ(Read(*dev, code.pszName, 2), (std::vector<RTS_UI8>{0x34, 0x12}));
}

TEST_F(Sim3Test, OversizeWritesStayInsideTheVariable) {
    std::vector<RTS_UI8> longWide;
    for (int i = 0; i < 200; ++i) {
        longWide.insert(longWide.end(), {'W', 0});
    }
    std::vector<RTS_UI8> wideStored(longWide.begin(), longWide.begin() + 80);
    wideStored.insert(wideStored.end(), {0, 0});
    auto text = [](char c) {
        std::vector<RTS_UI8> v(80, static_cast<RTS_UI8>(c));
        v.push_back(0);
        return v;
    };
    struct Case {
        const char* pszName;
        std::vector<RTS_UI8> value;
        bool bGiveSize;
        bool bByList;
        RTS_I32 lExpected;
        std::vector<RTS_UI8> stored;  // the variable's bytes afterwards
    };
    const std::vector<RTS_UI8> longText(300, 'A'), shortText(81, 'B'), longInt(8, 0xFF);
    const RTS_I32 lMismatch = PLCCOM_SIZE_MISMATCH;
    const Case cases[] = {
        {"SampleApp.GVL.sMessage", longText, true, false, lMismatch, text('A')},
        {"SampleApp.GVL.sMessage", longText, true, true, lMismatch, text('A')},
        {"SampleApp.GVL.sMessage", shortText, false, true, 0, text('B')},
        {"SampleApp.GVL.wsLabel", longWide, true, false, lMismatch, wideStored},
        {"SampleApp.GVL.wsLabel", longWide, true, true, lMismatch, wideStored},
        {"SampleApp.GVL.iCounter", longInt, true, false, lMismatch, {0xFF, 0xFF}},
        {"SampleApp.GVL.iCounter", longInt, true, true, lMismatch, {0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        // A fresh device each time: only the written variable may be non-zero.
        std::unique_ptr<Sim3Probe> dev = MakeDevice(devtest::SampleFile());
        PlcSymbolDesc sym = Symbol(*dev, c.pszName);
        ASSERT_EQ(c.stored.size(), sym.ulSize) << c.pszName;
        const RTS_UI8* pValue = c.value.data();
        const RTS_UI32 ulSize = static_cast<RTS_UI32>(c.value.size());
        const RTS_UI32* pulSize = c.bGiveSize ? &ulSize : nullptr;
        if (c.bByList) {
            RTS_I32 lResult = -1;
            HVARLIST h = dev->DefineVarList(&c.pszName, 1, 0, 0, &lResult);
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(dev->WriteVarList(h, 1, &pValue, pulSize), c.lExpected);
        } else {
            EXPECT_EQ(dev->WriteVars(&c.pszName, 1, &pValue, pulSize), c.lExpected);
        }
        EXPECT_EQ(std::vector<RTS_UI8>(dev->Area() + sym.ulOffset, dev->Area() + sym.ulOffset + sym.ulSize),
                  c.stored)
            << c.pszName;
        ExpectZeroOutside(*dev, sym.ulOffset, sym.ulSize);
    }

    // A count that differs from the list's: only the entries both sides have.
    std::unique_ptr<Sim3Probe> dev = MakeDevice(devtest::SampleFile());
    const char* names[] = {"SampleApp.GVL.iCounter", "SampleApp.GVL.uiSetpoint"};
    RTS_I32 lResult = -1;
    HVARLIST h = dev->DefineVarList(names, 2, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    const RTS_UI8 one[2] = {1, 0};
    const RTS_UI8* ones[] = {one, one, one};
    EXPECT_EQ(dev->WriteVarList(h, 1, ones, nullptr), PLCCOM_INVALID_PARAMETER);
    EXPECT_TRUE(
        Logged("CPLCComSim3::WriteVarList: ulNumOfSymbols 1 does not match to pVarlist->ulSymbols 2"));
    EXPECT_EQ(Read(*dev, names[0], 2), (std::vector<RTS_UI8>{1, 0}));
    EXPECT_EQ(Read(*dev, names[1], 2), (std::vector<RTS_UI8>{0, 0}));
    EXPECT_EQ(dev->WriteVarList(h, 3, ones, nullptr), PLCCOM_INVALID_PARAMETER);
    EXPECT_EQ(Read(*dev, names[1], 2), (std::vector<RTS_UI8>{1, 0}));
    // Writing by name stops at the first unknown name; earlier names stay written.
    const char* mixed[] = {names[1], "SampleApp.GVL.Nope", names[0]};
    const RTS_UI8 two[2] = {2, 0};
    const RTS_UI8* twos[] = {two, two, two};
    EXPECT_EQ(dev->WriteVars(mixed, 3, twos, nullptr), PLCCOM_FAILED);
    EXPECT_EQ(Read(*dev, names[1], 2), (std::vector<RTS_UI8>{2, 0}));
    EXPECT_EQ(Read(*dev, names[0], 2), (std::vector<RTS_UI8>{1, 0}));
}

TEST_F(Sim3Test, ListsGrowShrinkAndSurviveASymbolReload) {
    std::unique_ptr<Sim3Probe> dev = MakeDevice(devtest::SampleFile());
    const char* pszStart = "SampleApp.GVL.xStart";
    const char* more[] = {"SampleApp.GVL.iCounter", "SampleApp.GVL.rSpeed", "SampleApp.PLC_PRG.iStep"};
    RTS_I32 lResult = -1;
    // Symbols load on demand: no LoadSymbols before the definition.
    HVARLIST h = dev->DefineVarList(&pszStart, 1, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    PlcVarValue** ppValues = nullptr;
    ASSERT_EQ(dev->AddVarsToVarList(h, more, 3, &ppValues), 0);
    RTS_UI32 ulCount = 0;
    ASSERT_EQ(dev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ulCount, 4u);

    // Positions outside the list, named twice, or more than the list holds:
    // refused before anything is removed.
    const RTS_UI32 outside[] = {1, 4};
    const RTS_UI32 twice[] = {2, 2};
    const RTS_UI32 tooMany[] = {0, 1, 2, 3, 0};
    EXPECT_EQ(dev->RemoveVarsFromVarList(h, outside, 2, &ppValues), PLCCOM_FAILED);
    EXPECT_EQ(dev->RemoveVarsFromVarList(h, twice, 2, &ppValues), PLCCOM_FAILED);
    EXPECT_EQ(dev->RemoveVarsFromVarList(h, tooMany, 5, &ppValues), PLCCOM_FAILED);
    EXPECT_EQ(dev->RemoveVarsFromVarList(h, nullptr, 1, &ppValues), PLCCOM_FAILED);
    // Any order of positions removes the named entries.
    const RTS_UI32 remove[] = {3, 0};
    ASSERT_EQ(dev->RemoveVarsFromVarList(h, remove, 2, &ppValues), 0);
    RTS_I16 sCounter = 4711;
    float fSpeed = 2.5f;
    const RTS_UI8* values[] = {reinterpret_cast<const RTS_UI8*>(&sCounter),
                               reinterpret_cast<const RTS_UI8*>(&fSpeed)};
    ASSERT_EQ(dev->WriteVarList(h, 2, values, nullptr), 0);
    ASSERT_EQ(dev->GetVarList(h, &ppValues, &ulCount), 0);
    ASSERT_EQ(ulCount, 2u);
    RTS_I16 sRead = 0;
    std::memcpy(&sRead, PlcVarValueData(ppValues[0]), sizeof(sRead));
    EXPECT_EQ(sRead, 4711);

    // A reload starts from zeros; the list finds its variables again.
    ASSERT_EQ(dev->DeleteSymbols(), 0);
    ASSERT_EQ(dev->GetVarList(h, &ppValues, &ulCount), 0);
    ASSERT_EQ(ulCount, 2u);
    std::memcpy(&sRead, PlcVarValueData(ppValues[0]), sizeof(sRead));
    EXPECT_EQ(sRead, 0);

    // Against another symbol file: a variable that is gone makes the list
    // invalid; one that grew gets a larger value record.
    kltest::TempDir dir;
    auto symbolFile = [&dir](const char* pszName, const char* pszSize) {
        kltest::WriteFile(dir.File("SampleApp.xml"),
                          std::string("<Symbolconfiguration><TypeList><TypeSimple name=\"T\" size=\"") +
                              pszSize +
                              "\" iecname=\"LREAL\"/></TypeList><NodeList><Node name=\"SampleApp\"><Node "
                              "name=\"GVL\"><Node name=\"" +
                              pszName +
                              "\" type=\"T\" access=\"ReadWrite\"/></Node></Node></NodeList>"
                              "</Symbolconfiguration>");
    };
    symbolFile("rSpeed", "4");
    Config cfg;
    cfg.Param("SymbolFilePath", dir.Path());
    std::unique_ptr<Sim3Probe> other = MakeDevice(devtest::SampleFile(), &cfg);
    EXPECT_EQ(other->DefineVarList(more, 2, 0, 0, &lResult), nullptr);
    HVARLIST hOther = other->DefineVarList(&more[1], 1, 0, 0, &lResult);
    ASSERT_NE(hOther, nullptr);
    symbolFile("rOther", "4");
    ASSERT_EQ(other->DeleteSymbols(), 0);
    EXPECT_EQ(other->GetVarList(hOther, &ppValues, &ulCount), PLCCOM_VARLIST_INVALID);
    EXPECT_EQ(other->WriteVarList(hOther, 1, &values[1], nullptr), PLCCOM_VARLIST_INVALID);
    symbolFile("rSpeed", "8");
    ASSERT_EQ(other->DeleteSymbols(), 0);
    const double dSpeed = 1e300;
    const RTS_UI8* pSpeed = reinterpret_cast<const RTS_UI8*>(&dSpeed);
    ASSERT_EQ(other->WriteVarList(hOther, 1, &pSpeed, nullptr), 0);
    ASSERT_EQ(other->GetVarList(hOther, &ppValues, &ulCount), 0);
    double dRead = 0;
    std::memcpy(&dRead, PlcVarValueData(ppValues[0]), sizeof(dRead));
    EXPECT_EQ(dRead, 1e300);

    // A deleted handle is refused everywhere.
    ASSERT_EQ(dev->DeleteVarList(h, 0), 0);
    EXPECT_EQ(dev->DeleteVarList(h, 0), PLCCOM_FAILED);
    EXPECT_EQ(dev->GetVarList(h, &ppValues, &ulCount), PLCCOM_FAILED);
    EXPECT_EQ(dev->WriteVarList(h, 2, values, nullptr), PLCCOM_INVALID_PARAMETER);
    RTS_I32 bSync = 0;
    EXPECT_EQ(dev->SendVarList(h, nullptr, nullptr, &bSync, 0, nullptr), PLCCOM_FAILED);
}

TEST_F(Sim3Test, FileServicesActOnLocalFiles) {
    std::unique_ptr<Sim3Probe> dev = MakeDevice(devtest::SampleFile());
    kltest::TempDir dir;
    const std::string host = dir.File("host.txt");
    const std::string plc = dir.File("plc.txt");
    kltest::WriteFile(host, "retain data");
    RTS_I32 lResult = 99;
    EXPECT_EQ(dev->DownloadFile(host.c_str(), plc.c_str(), &lResult, true), 0);
    EXPECT_EQ(lResult, 0);
    EXPECT_EQ(kltest::ReadFile(plc), "retain data");
    // A file copied onto itself keeps its contents.
    EXPECT_EQ(dev->UploadFile(plc.c_str(), plc.c_str(), &lResult, false), 0);
    EXPECT_EQ(lResult, 0);
    EXPECT_EQ(kltest::ReadFile(plc), "retain data");
    // A missing source leaves the destination as it was.
    EXPECT_EQ(dev->DownloadFile(dir.File("none.txt").c_str(), plc.c_str(), &lResult, true), 0);
    EXPECT_EQ(lResult, PLCCOM_FAILED);
    EXPECT_EQ(kltest::ReadFile(plc), "retain data");
    EXPECT_FALSE(kltest::FileExists(plc + ".part"));

    EXPECT_EQ(dev->FileRename(plc.c_str(), host.c_str(), &lResult), 0);
    EXPECT_EQ(lResult, 0);
    EXPECT_FALSE(kltest::FileExists(plc));
    EXPECT_EQ(dev->FileDelete(host.c_str(), &lResult), 0);
    EXPECT_EQ(lResult, 0);
    EXPECT_EQ(dev->FileDelete(host.c_str(), &lResult), 0);
    EXPECT_EQ(lResult, PLCCOM_FAILED);
    CDirInfo* pDir = nullptr;
    EXPECT_EQ(dev->ReadDirectory(&pDir, dir.Path().c_str(), &lResult), 0);
    EXPECT_EQ(lResult, PLCCOM_NOT_SUPPORTED);
}

TEST_F(Sim3Test, TwoThreadsReadAndWriteListsAtOnce) {
    std::unique_ptr<Sim3Probe> dev = MakeDevice(devtest::SampleFile());
    const char* names[] = {"SampleApp.GVL.diPosition", "SampleApp.GVL.sMessage",
                           "SampleApp.GVL.liTotalCount"};
    constexpr int kRounds = 400;
    std::atomic<int> failures{0};
    auto worker = [&](RTS_I32 lThread) {
        RTS_I32 lResult = -1;
        HVARLIST h = dev->DefineVarList(names, 3, 0, 0, &lResult);
        if (h == nullptr) {
            ++failures;
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (RTS_I32 i = 0; i < kRounds && std::chrono::steady_clock::now() < deadline; ++i) {
            // Both values of one write name the same thread and round.
            RTS_I32 lPosition = lThread * 1000000 + i;
            std::string text = "thread " + std::to_string(lPosition);
            std::vector<RTS_UI8> message(81, 0);
            std::memcpy(message.data(), text.c_str(), text.size());
            RTS_I64 llTotal = lPosition;
            const RTS_UI8* values[] = {reinterpret_cast<const RTS_UI8*>(&lPosition), message.data(),
                                       reinterpret_cast<const RTS_UI8*>(&llTotal)};
            if (i % 2 == 0) {
                failures += dev->WriteVarList(h, 3, values, nullptr) != 0;
            } else {
                failures += dev->WriteVars(names, 3, values, nullptr) != 0;
            }
            PlcVarValue** ppValues = nullptr;
            RTS_UI32 ulCount = 0;
            if (dev->GetVarList(h, &ppValues, &ulCount) != 0 || ulCount != 3) {
                ++failures;
                continue;
            }
            RTS_I32 lRead = 0;
            std::memcpy(&lRead, PlcVarValueData(ppValues[0]), sizeof(lRead));
            const char* pszText = reinterpret_cast<const char*>(PlcVarValueData(ppValues[1]));
            RTS_I64 llRead = 0;
            std::memcpy(&llRead, PlcVarValueData(ppValues[2]), sizeof(llRead));
            // A read sees whole writes of either thread, never a mix.
            bool bKnown = lRead / 1000000 == 1 || lRead / 1000000 == 2;
            if (!bKnown || llRead != lRead || std::string(pszText) != "thread " + std::to_string(lRead)) {
                ++failures;
            }
        }
        failures += dev->DeleteVarList(h, 0) != 0;
    };
    std::thread first(worker, 1);
    std::thread second(worker, 2);
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
