// The online variable services of the V3 device client against the
// emulator's own group 9 (VarServices behind the DeviceServices dispatcher,
// called in-process): many variables through a small channel buffer, a
// variable the controller refuses, a large array in pieces, data-change
// lists, texts cut to their variable, and a client of the other byte order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CMItf.h"
#include "DeviceTestSupport.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "DeviceServices.h"
#include "TestSupport.h"
#include "VarServices.h"
#include "VarTestSupport.h"

using vartest::Bytes;
using vartest::ParseRequest;
using vartest::Request;

namespace {

const char kSymbols[] = R"xml(<?xml version="1.0" encoding="utf-8"?>
<Symbolconfiguration>
  <Header><ProjectInfo appname="App" dataguid="{00000000-0000-0000-0000-000000000002}" /></Header>
  <TypeList>
    <TypeSimple name="T_INT" size="2" swapsize="2" typeclass="Int" iecname="INT" />
    <TypeSimple name="T_DINT" size="4" swapsize="4" typeclass="DInt" iecname="DINT" />
    <TypeSimple name="T_STRING_5" size="6" swapsize="1" typeclass="String" iecname="STRING(5)" />
    <TypeSimple name="T_STRING_80" size="81" swapsize="1" typeclass="String" iecname="STRING(80)" />
    <TypeArray name="T_ARR" size="4000" nativesize="4000" typeclass="Array" iecname="ARRAY [0..999] OF DINT"
               basetype="T_DINT"><ArrayDim minrange="0" maxrange="999" /></TypeArray>
    <TypeArray name="T_BIG" size="10000" nativesize="10000" typeclass="Array" iecname="ARRAY [0..4999] OF INT"
               basetype="T_INT"><ArrayDim minrange="0" maxrange="4999" /></TypeArray>
  </TypeList>
  <NodeList><Node name="App"><Node name="GVL">
    <Node name="arr" type="T_ARR" access="ReadWrite" />
    <Node name="big" type="T_BIG" access="ReadWrite" />
    <Node name="s5" type="T_STRING_5" access="ReadWrite" />
    <Node name="txt" type="T_STRING_80" access="ReadWrite" />
    <Node name="x" type="T_DINT" access="ReadWrite" />
    <Node name="y" type="T_DINT" access="ReadWrite" />
  </Node></Node></NodeList>
</Symbolconfiguration>
)xml";

Bytes Le32(uint32_t v) {
    return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                 static_cast<uint8_t>(v >> 24)};
}

std::string Element(uint32_t i) {
    return "App.GVL.arr[" + std::to_string(i) + "]";
}

// The device client whose transport is the emulator's service layer, with
// the reply bounded by the channel buffer the client was granted.
class EmuDevice : public CPLCComBase3 {
public:
    EmuDevice(const PlcConfig* pConfig, const PlcDeviceDesc* pDesc, klemu::DeviceServices* pServices,
              uint32_t ulBuffer)
        : CPLCComBase3(pConfig, pDesc, nullptr), m_pServices(pServices), m_ulBuffer(ulBuffer) {
        m_Status = PLCCOMSTATUS_OK;
        AllocateSendBuffer(ulBuffer);
    }
    ~EmuDevice() override { m_pSymbols = nullptr; }
    RTS_I32 Open() override { return PLCCOM_OK; }
    RTS_I32 Close() override { return PLCCOM_OK; }
    void UseSymbols(PlcSymbolDesc* pSymbols, RTS_UI32 ulCount) {
        m_pSymbols = pSymbols;
        m_ulSymbols = ulCount;
    }
    RTS_I32 GetSymbol(const char* pszSymbol, PlcSymbolDesc* pSymbol) override {
        for (RTS_UI32 i = 0; m_pSymbols != nullptr && i < m_ulSymbols; ++i) {
            if (strcmp(m_pSymbols[i].pszName, pszSymbol) == 0) {
                *pSymbol = m_pSymbols[i];
                return PLCCOM_OK;
            }
        }
        return PLCCOM_NOT_SUPPORTED;
    }
    // Both directions as sent (little-endian headers parse into tags).
    std::vector<Bytes> sent;
    std::vector<Bytes> received;
    void Clear() {
        sent.clear();
        received.clear();
    }
    std::vector<Request> Parsed(const std::vector<Bytes>& pdus, uint16_t usService) const {
        std::vector<Request> out;
        for (const Bytes& pdu : pdus) {
            Request r = ParseRequest(pdu.data(), static_cast<uint32_t>(pdu.size()));
            if (r.usService == usService) {
                out.push_back(std::move(r));
            }
        }
        return out;
    }

protected:
    RTS_I32 SendService3(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv, RTS_BOOL) override {
        *ppduRecv = PROTOCOL_DATA_UNIT{nullptr, 0};
        sent.emplace_back(pduSend.pData, pduSend.pData + pduSend.ulCount);
        Bytes reply = m_pServices->Handle(sent.back(), m_ulBuffer);
        if (reply.empty() || sent.size() > 20000) {
            return PLCCOM_FAILED;
        }
        received.push_back(reply);
        // Words: the reader wants the reply aligned like a receive buffer.
        m_replyWords.assign(reply.size() / 4 + 1, 0);
        std::memcpy(m_replyWords.data(), reply.data(), reply.size());
        *ppduRecv = PROTOCOL_DATA_UNIT{reinterpret_cast<RTS_UI8*>(m_replyWords.data()),
                                       static_cast<RTS_UI32>(reply.size())};
        return PLCCOM_OK;
    }

private:
    klemu::DeviceServices* m_pServices;
    uint32_t m_ulBuffer;
    std::vector<uint32_t> m_replyWords;
    PlcSymbolDesc* m_pSymbols = nullptr;
    RTS_UI32 m_ulSymbols = 0;
};

class VarServicesOnEmulator : public devtest::RuntimeTest {
protected:
    void SetUp() override {
        devtest::RuntimeTest::SetUp();
        ASSERT_NE(KlBTagImports(), nullptr);
        kltest::WriteFile(dir_.File("Symbols.xml"), kSymbols);
    }
    void TearDown() override {
        device_.reset();
        services_.reset();
        devtest::RuntimeTest::TearDown();
    }
    // A fresh emulator (group 1 and the variables) and a client on it.
    EmuDevice* Start(klemu::VarServicesOptions vo, uint32_t ulBuffer, bool bBigEndian = false) {
        device_.reset();
        vo.ulChannelBufferSize = ulBuffer;
        auto vars = std::make_unique<klemu::VarServices>(vo);
        std::string error;
        EXPECT_TRUE(vars->LoadSymbols(dir_.File("Symbols.xml"), &error)) << error;
        vars_ = vars.get();
        klemu::DeviceServicesOptions o;
        o.bBigEndian = bBigEndian;
        services_ = std::make_unique<klemu::DeviceServices>(o);
        services_->AddGroup(std::move(vars));
        config_.ulTimeout = 5000;
        config_.bMotorola = bBigEndian ? 1 : 0;
        device_ = std::make_unique<EmuDevice>(&config_, &desc_, services_.get(), ulBuffer);
        return device_.get();
    }
    Bytes Stored(const std::string& name) {
        Bytes v;
        EXPECT_TRUE(vars_->GetValue(name, &v)) << name;
        return v;
    }
    static Bytes ValueOf(PlcVarValue* const* ppValues, RTS_UI32 i, RTS_UI32 ulSize) {
        if (ppValues[i]->bQuality != 1) {
            return {};
        }
        return Bytes(PlcVarValueData(ppValues[i]), PlcVarValueData(ppValues[i]) + ulSize);
    }
    // Every exchange stays inside the channel buffer both ways.
    void ExpectWithin(uint32_t ulBuffer) {
        for (const Bytes& pdu : device_->sent) {
            EXPECT_LE(pdu.size(), ulBuffer);
        }
        for (const Bytes& pdu : device_->received) {
            EXPECT_LE(pdu.size(), ulBuffer);
        }
    }

    kltest::TempDir dir_;
    PlcConfig config_{};
    PlcDeviceDesc desc_{};
    std::unique_ptr<klemu::DeviceServices> services_;
    klemu::VarServices* vars_ = nullptr;  // owned by services_
    std::unique_ptr<EmuDevice> device_;
};

TEST_F(VarServicesOnEmulator, ThousandVariablesChainedOrInOneExtendableListReadWrittenAndDeleted) {
    std::vector<std::string> names;
    std::vector<const char*> pNames;
    for (uint32_t i = 0; i < 1000; ++i) {
        names.push_back(Element(i));
    }
    for (const std::string& n : names) {
        pNames.push_back(n.c_str());
    }
    for (bool bExtendable : {false, true}) {
        SCOPED_TRACE(bExtendable ? "extendable" : "chained");
        klemu::VarServicesOptions vo;
        vo.bExtendableLists = bExtendable;
        EmuDevice* pDev = Start(vo, 1400);
        RTS_I32 lResult = -99;
        HVARLIST h = pDev->DefineVarList(pNames.data(), 1000, 0, 0, &lResult);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(lResult, 0);
        if (bExtendable) {
            EXPECT_EQ(vars_->NumLists(), 1u);
        } else {
            EXPECT_GT(vars_->NumLists(), 5u) << "1,000 names do not fit one 1,400-byte list";
        }
        size_t ulAccepted = 0;
        for (const Request& r : pDev->Parsed(pDev->received, KL_SRV_VAR_DEFINE)) {
            for (const auto& t : r.tags) {
                ulAccepted += t.ulTag == 0x1B ? 1 : 0;
                EXPECT_NE(t.ulTag, 0x1Cu) << "no variable is refused";
            }
        }
        EXPECT_EQ(ulAccepted, 1000u);
        std::vector<RTS_UI32> lengths(1000, 0);
        ASSERT_EQ(pDev->GetValueLengths(h, lengths.data(), 1000, 0), 0);
        EXPECT_EQ(std::count(lengths.begin(), lengths.end(), 4u), 1000);

        // Values set in the controller arrive at their own index.
        for (uint32_t i = 0; i < 1000; ++i) {
            ASSERT_TRUE(vars_->SetValue(names[i], Le32(i * 7 + 1).data(), 4));
        }
        pDev->Clear();
        PlcVarValue** ppValues = nullptr;
        RTS_UI32 ulCount = 0;
        ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
        ASSERT_EQ(ulCount, 1000u);
        for (uint32_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(ValueOf(ppValues, i, 4), Le32(i * 7 + 1)) << "variable " << i;
        }
        EXPECT_GT(pDev->sent.size(), 2u) << "1,000 values need several replies";

        // By list: each value lands in its own variable.
        std::vector<Bytes> values;
        std::vector<const RTS_UI8*> pValues;
        for (uint32_t i = 0; i < 1000; ++i) {
            values.push_back(Le32(0x1000000 + i));
        }
        for (const Bytes& v : values) {
            pValues.push_back(v.data());
        }
        ASSERT_EQ(pDev->WriteVarList(h, 1000, pValues.data(), nullptr), 0);
        for (uint32_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(Stored(names[i]), values[i]) << "variable " << i;
        }
        ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
        for (uint32_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(ValueOf(ppValues, i, 4), values[i]) << "variable " << i;
        }

        // By name, all at once: the requests repeat until every one is sent.
        values.clear();
        pValues.clear();
        for (uint32_t i = 0; i < 1000; ++i) {
            values.push_back(Le32(0x2000000 + i * 3));
        }
        for (const Bytes& v : values) {
            pValues.push_back(v.data());
        }
        std::vector<RTS_UI32> sizes(1000, 4);
        pDev->Clear();
        ASSERT_EQ(pDev->WriteVars(pNames.data(), 1000, pValues.data(), sizes.data()), 0);
        EXPECT_GT(pDev->sent.size(), 5u);
        for (uint32_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(Stored(names[i]), values[i]) << "variable " << i;
        }
        ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
        for (uint32_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(ValueOf(ppValues, i, 4), values[i]) << "variable " << i;
        }
        ExpectWithin(1400);

        EXPECT_EQ(pDev->DeleteVarList(h, 0), 0);
        EXPECT_EQ(vars_->NumLists(), 0u) << "every controller list of the chain is deleted";
    }
}

TEST_F(VarServicesOnEmulator, VariableRefusedWithCode0xFLeavesTheListUsableAndNeverValid) {
    klemu::VarServicesOptions vo;
    vo.ulMaxVariableSize = 64;  // the STRING(80) has 81 bytes
    EmuDevice* pDev = Start(vo, 1400);
    const char* names[] = {"App.GVL.x", "App.GVL.txt", "App.GVL.y"};
    RTS_I32 lResult = -99;
    HVARLIST h = pDev->DefineVarList(names, 3, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(lResult, 0);
    std::vector<Request> defines = pDev->Parsed(pDev->received, KL_SRV_VAR_DEFINE);
    ASSERT_EQ(defines.size(), 1u);
    std::vector<uint32_t> refused;
    for (const auto& t : defines[0].tags) {
        if (t.ulTag == 0x1C) {
            refused.push_back(t.content[0] | (t.content[1] << 8));
        }
    }
    EXPECT_EQ(refused, std::vector<uint32_t>{0xF});
    RTS_UI32 lengths[3] = {9, 9, 9};
    ASSERT_EQ(pDev->GetValueLengths(h, lengths, 3, 0), 0);
    EXPECT_EQ(lengths[0], 4u);
    EXPECT_EQ(lengths[1], 0u);
    EXPECT_EQ(lengths[2], 4u);

    ASSERT_TRUE(vars_->SetValue("App.GVL.x", Le32(11).data(), 4));
    ASSERT_TRUE(vars_->SetValue("App.GVL.y", Le32(22).data(), 4));
    ASSERT_TRUE(vars_->SetValue("App.GVL.txt", "hello", 6));
    PlcVarValue** ppValues = nullptr;
    RTS_UI32 ulCount = 0;
    for (uint32_t round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
        ASSERT_EQ(ulCount, 3u);
        EXPECT_EQ(ValueOf(ppValues, 0, 4), Le32(11 + round));
        EXPECT_EQ(ppValues[1]->bQuality, 0);
        EXPECT_EQ(ValueOf(ppValues, 2, 4), Le32(22 + round));
        // The refused variable takes no place on the controller: the value
        // after it is written to the next variable, not into the gap.
        Bytes x = Le32(12 + round), y = Le32(23 + round), ignored(81, 'z');
        const RTS_UI8* pValues[] = {x.data(), ignored.data(), y.data()};
        ASSERT_EQ(pDev->WriteVarList(h, 3, pValues, nullptr), 0);
        EXPECT_EQ(Stored("App.GVL.x"), x);
        EXPECT_EQ(Stored("App.GVL.y"), y);
        EXPECT_EQ(Stored("App.GVL.txt")[0], 'h');
    }
    EXPECT_EQ(pDev->DeleteVarList(h, 0), 0);
    EXPECT_EQ(vars_->NumLists(), 0u);
}

TEST_F(VarServicesOnEmulator, TenThousandByteArrayTravelsInPiecesBothWays) {
    klemu::VarServicesOptions vo;
    vo.ulMaxVariableSize = 0x10000;
    EmuDevice* pDev = Start(vo, 4096);
    Bytes big(10000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 13 + i / 256 + 1);
    }
    ASSERT_TRUE(vars_->SetValue("App.GVL.big", big.data(), big.size()));
    ASSERT_TRUE(vars_->SetValue("App.GVL.x", Le32(5).data(), 4));
    const char* names[] = {"App.GVL.x", "App.GVL.big", "App.GVL.y"};
    RTS_I32 lResult = -99;
    HVARLIST h = pDev->DefineVarList(names, 3, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    pDev->Clear();
    PlcVarValue** ppValues = nullptr;
    RTS_UI32 ulCount = 0;
    ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ValueOf(ppValues, 0, 4), Le32(5));
    EXPECT_EQ(ValueOf(ppValues, 1, 10000), big);
    EXPECT_EQ(ValueOf(ppValues, 2, 4), Le32(0));
    // The pieces the controller sent add up to the array exactly.
    uint32_t ulPieces = 0, ulSum = 0;
    for (const Request& r : pDev->Parsed(pDev->received, KL_SRV_VAR_READ)) {
        for (const auto& t : r.tags) {
            if (t.ulTag == 0x46) {
                ++ulPieces;
                ulSum += t.U32();
                EXPECT_EQ(t.U32() % 8, 0u);
            }
        }
    }
    EXPECT_GE(ulPieces, 3u);
    EXPECT_EQ(ulSum, 10000u);
    size_t ulOffsets = 0;
    for (const Request& r : pDev->Parsed(pDev->sent, KL_SRV_VAR_READ)) {
        ulOffsets += r.Has(0x45) ? 1 : 0;
    }
    EXPECT_GE(ulOffsets, 2u) << "the client asks for the following pieces by offset";
    ExpectWithin(4096);

    // Written in pieces by list, then by name, and read back.
    Bytes reversed(big.rbegin(), big.rend());
    Bytes x = Le32(6), y = Le32(7);
    const RTS_UI8* pValues[] = {x.data(), reversed.data(), y.data()};
    pDev->Clear();
    ASSERT_EQ(pDev->WriteVarList(h, 3, pValues, nullptr), 0);
    size_t ulWritePieces = 0;
    for (const Request& r : pDev->Parsed(pDev->sent, KL_SRV_VAR_WRITE)) {
        ulWritePieces += r.Has(0x45) ? 1 : 0;
    }
    EXPECT_GE(ulWritePieces, 2u);
    EXPECT_EQ(Stored("App.GVL.big"), reversed);
    EXPECT_EQ(Stored("App.GVL.y"), y);
    ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ValueOf(ppValues, 1, 10000), reversed);

    Bytes third(10000);
    for (size_t i = 0; i < third.size(); ++i) {
        third[i] = static_cast<uint8_t>(i % 251);
    }
    const char* byName[] = {"App.GVL.big"};
    const RTS_UI8* pThird = third.data();
    RTS_UI32 ulSize = 10000;
    ASSERT_EQ(pDev->WriteVars(byName, 1, &pThird, &ulSize), 0);
    EXPECT_EQ(Stored("App.GVL.big"), third);
    ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ValueOf(ppValues, 1, 10000), third);
    ExpectWithin(4096);
}

TEST_F(VarServicesOnEmulator, DataChangeListsReportExactlyTheChangedIndexes) {
    EmuDevice* pDev = Start(klemu::VarServicesOptions(), 1400);
    // Enough variables for a chain of lists and continued reads.
    constexpr uint32_t kCount = 300;
    std::vector<std::string> names;
    std::vector<const char*> pNames;
    for (uint32_t i = 0; i < kCount; ++i) {
        names.push_back(Element(i));
    }
    for (const std::string& n : names) {
        pNames.push_back(n.c_str());
    }
    HVARLIST h = nullptr;
    ASSERT_EQ(pDev->DefineVarListBase(&h, pNames.data(), kCount, 1, nullptr, 0), 0);
    ASSERT_GT(vars_->NumLists(), 1u);
    auto changedRead = [&](RTS_UI32* pulFlags) {
        PlcVarValue** ppValues = nullptr;
        RTS_UI32 ulCount = 0, ulChanged = 0;
        RTS_UI32* pulChanged = nullptr;
        RTS_I32 bSync = 0;
        std::vector<RTS_UI32> out;
        EXPECT_EQ(pDev->SendVarList(h, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, &bSync, 1, pulFlags), 0);
        EXPECT_EQ(pDev->GetChangedValues(h, pulFlags, &ppValues, &ulCount, &pulChanged, &ulChanged), 0);
        EXPECT_EQ(ulCount, names.size());
        for (RTS_UI32 i = 0; i < ulChanged && i < ulCount && i < names.size(); ++i) {
            out.push_back(pulChanged[i]);
            // Each reported value is the controller's.
            Bytes stored = Stored(names.at(pulChanged[i]));
            EXPECT_EQ(ValueOf(ppValues, pulChanged[i], static_cast<RTS_UI32>(stored.size())), stored)
                << pulChanged[i];
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    std::vector<RTS_UI32> all(kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        all[i] = i;
    }
    EXPECT_EQ(changedRead(nullptr), all) << "a new list delivers everything";
    EXPECT_TRUE(changedRead(nullptr).empty());

    for (uint32_t i : {3u, 150u, 299u}) {
        ASSERT_TRUE(vars_->SetValue(names[i], Le32(1000 + i).data(), 4));
    }
    ASSERT_TRUE(vars_->SetValue(names[7], Le32(0).data(), 4));  // the same value again
    EXPECT_EQ(changedRead(nullptr), (std::vector<RTS_UI32>{3, 150, 299}));
    EXPECT_TRUE(changedRead(nullptr).empty());

    // A full read in between takes every value but leaves no changes behind.
    ASSERT_TRUE(vars_->SetValue(names[0], Le32(77).data(), 4));
    PlcVarValue** ppValues = nullptr;
    RTS_UI32 ulCount = 0;
    ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ValueOf(ppValues, 0, 4), Le32(77));
    EXPECT_TRUE(changedRead(nullptr).empty());

    // Marked variables (written through a cache) are read first: a changed
    // marked one is reported through its flag, the others as usual.
    std::vector<RTS_UI32> flags(kCount, 0);
    flags[10] = 1;
    flags[200] = 1;
    ASSERT_TRUE(vars_->SetValue(names[10], Le32(555).data(), 4));
    ASSERT_TRUE(vars_->SetValue(names[250], Le32(666).data(), 4));
    EXPECT_EQ(changedRead(flags.data()), (std::vector<RTS_UI32>{10, 250}));
    EXPECT_EQ(flags[10], 0u);
    EXPECT_EQ(flags[200], 1u) << "an unchanged marked variable stays marked";
    EXPECT_TRUE(changedRead(nullptr).empty());
    ExpectWithin(1400);
    EXPECT_EQ(pDev->DeleteVarList(h, 0), 0);
    EXPECT_EQ(vars_->NumLists(), 0u);

    // A value that travels in pieces: reported once, whole, and only when
    // it changed; a change behind it is still found.
    klemu::VarServicesOptions vo;
    vo.ulMaxVariableSize = 0x10000;
    pDev = Start(vo, 1400);
    names = {"App.GVL.x", "App.GVL.big", "App.GVL.y"};
    pNames = {names[0].c_str(), names[1].c_str(), names[2].c_str()};
    h = nullptr;  // a handle given in is a list to add to
    ASSERT_EQ(pDev->DefineVarListBase(&h, pNames.data(), 3, 1, nullptr, 0), 0);
    EXPECT_EQ(changedRead(nullptr), (std::vector<RTS_UI32>{0, 1, 2}));
    EXPECT_TRUE(changedRead(nullptr).empty());
    Bytes big(10000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 31 + 5);
    }
    ASSERT_TRUE(vars_->SetValue("App.GVL.big", big.data(), big.size()));
    EXPECT_EQ(changedRead(nullptr), (std::vector<RTS_UI32>{1}));
    ASSERT_TRUE(vars_->SetValue("App.GVL.y", Le32(8).data(), 4));
    EXPECT_EQ(changedRead(nullptr), (std::vector<RTS_UI32>{2}));
    EXPECT_TRUE(changedRead(nullptr).empty());
    size_t ulPieces = 0;
    for (const Request& r : pDev->Parsed(pDev->received, KL_SRV_VAR_READ)) {
        ulPieces += r.Has(0x46) ? 1 : 0;
    }
    EXPECT_GE(ulPieces, 10u) << "the array is read in pieces";
    ExpectWithin(1400);
}

TEST_F(VarServicesOnEmulator, TextLongerThanItsStringIsCutToFitWithTerminator) {
    EmuDevice* pDev = Start(klemu::VarServicesOptions(), 1400);
    const char* names[] = {"App.GVL.s5", "App.GVL.x"};
    RTS_I32 lResult = -99;
    HVARLIST h = pDev->DefineVarList(names, 2, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    const char* text = "ABCDEFGH";
    const Bytes cut{'A', 'B', 'C', 'D', 'E', 0};
    Bytes x = Le32(9);
    const RTS_UI8* pValues[] = {reinterpret_cast<const RTS_UI8*>(text), x.data()};
    ASSERT_TRUE(vars_->SetValue("App.GVL.s5", "zzzzzz", 6));
    ASSERT_EQ(pDev->WriteVarList(h, 2, pValues, nullptr), 0);
    EXPECT_EQ(Stored("App.GVL.s5"), cut);
    // With the variable's own size given, the same.
    ASSERT_TRUE(vars_->SetValue("App.GVL.s5", "zzzzzz", 6));
    RTS_UI32 sizes[] = {6, 4};
    ASSERT_EQ(pDev->WriteVarList(h, 2, pValues, sizes), 0);
    EXPECT_EQ(Stored("App.GVL.s5"), cut);
    PlcVarValue** ppValues = nullptr;
    RTS_UI32 ulCount = 0;
    ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ValueOf(ppValues, 0, 6), cut);

    // By name without sizes: the symbol's size and type decide.
    PlcSymbolDesc symbol{};
    symbol.pszName = const_cast<char*>("App.GVL.s5");
    symbol.ulTypeId = DATATYPE_STRING;
    symbol.ulSize = 6;
    pDev->UseSymbols(&symbol, 1);
    ASSERT_TRUE(vars_->SetValue("App.GVL.s5", "zzzzzz", 6));
    ASSERT_EQ(pDev->WriteVars(names, 1, pValues, nullptr), 0);
    EXPECT_EQ(Stored("App.GVL.s5"), cut);
}

TEST_F(VarServicesOnEmulator, BigEndianClientIsAnsweredInItsOwnByteOrder) {
    klemu::VarServicesOptions vo;
    vo.ulMaxVariableSize = 0x10000;
    vo.bBigEndian = true;
    EmuDevice* pDev = Start(vo, 1400, true);
    Bytes big(10000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    ASSERT_TRUE(vars_->SetValue("App.GVL.big", big.data(), big.size()));
    std::string error;
    ASSERT_TRUE(vars_->SetValueText("App.GVL.x", "0x01020304", &error)) << error;
    std::vector<std::string> names = {"App.GVL.x", "App.GVL.big", "App.GVL.y"};
    for (uint32_t i = 0; i < 200; ++i) {
        names.push_back(Element(i));
        ASSERT_TRUE(vars_->SetValue(names.back(), Le32(i + 1).data(), 4));
    }
    std::vector<const char*> pNames;
    for (const std::string& n : names) {
        pNames.push_back(n.c_str());
    }
    const RTS_UI32 n = static_cast<RTS_UI32>(names.size());
    RTS_I32 lResult = -99;
    HVARLIST h = pDev->DefineVarList(pNames.data(), n, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    ASSERT_FALSE(pDev->sent.empty());
    EXPECT_EQ(pDev->sent[0][0], 0xCD) << "the header goes in the controller's byte order";
    EXPECT_EQ(pDev->sent[0][1], 0x55);
    ASSERT_FALSE(pDev->received.empty());
    EXPECT_EQ(pDev->received[0][0], 0xCD) << "and the reply too";
    std::vector<RTS_UI32> lengths(n, 0);
    ASSERT_EQ(pDev->GetValueLengths(h, lengths.data(), n, 0), 0);
    EXPECT_EQ(lengths[1], 10000u);
    EXPECT_EQ(lengths[n - 1], 4u);

    // Values are raw bytes: as the controller holds them, never swapped.
    PlcVarValue** ppValues = nullptr;
    RTS_UI32 ulCount = 0;
    ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ValueOf(ppValues, 0, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(ValueOf(ppValues, 1, 10000), big);
    for (uint32_t i = 0; i < 200; ++i) {
        ASSERT_EQ(ValueOf(ppValues, 3 + i, 4), Le32(i + 1)) << i;
    }

    std::vector<Bytes> values;
    for (uint32_t i = 0; i < n; ++i) {
        values.push_back(i == 1 ? Bytes(big.rbegin(), big.rend()) : Le32(0xA0000000u + i));
    }
    std::vector<const RTS_UI8*> pValues;
    for (const Bytes& v : values) {
        pValues.push_back(v.data());
    }
    ASSERT_EQ(pDev->WriteVarList(h, n, pValues.data(), nullptr), 0);
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(Stored(names[i]), values[i]) << names[i];
    }
    ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(ValueOf(ppValues, i, static_cast<RTS_UI32>(values[i].size())), values[i]) << names[i];
    }
    Bytes one = Le32(0x55AA1234);
    const RTS_UI8* pOne = one.data();
    RTS_UI32 ulFour = 4;
    ASSERT_EQ(pDev->WriteVars(&pNames[2], 1, &pOne, &ulFour), 0);
    EXPECT_EQ(Stored("App.GVL.y"), one);
    for (const Bytes& pdu : pDev->sent) {
        ASSERT_GE(pdu.size(), 2u);
        EXPECT_EQ(pdu[0], 0xCD);
    }
    ExpectWithin(1400);
    EXPECT_EQ(pDev->DeleteVarList(h, 0), 0);
    EXPECT_EQ(vars_->NumLists(), 0u);
}

}  // namespace
