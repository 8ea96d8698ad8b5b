// The online variable services of the V3 device client: lists defined,
// read, written and deleted against a small group-9 controller, and the
// replies a controller should never send.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CMItf.h"
#include "DeviceTestSupport.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "SysSem.h"
#include "VarTestSupport.h"

using vartest::Bytes;
using vartest::FakePlc;
using vartest::ReplyBuilder;
using vartest::Request;
using vartest::TestDevice;

namespace {

Bytes Le32(uint32_t v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

class VarServices : public devtest::RuntimeTest {
protected:
    void SetUp() override {
        devtest::RuntimeTest::SetUp();
        ASSERT_NE(KlBTagImports(), nullptr);
    }
    void TearDown() override {
        device_.reset();
        devtest::RuntimeTest::TearDown();
    }
    TestDevice* Device(uint32_t ulBuffer) {
        config_.ulTimeout = 5000;
        device_ = std::make_unique<TestDevice>(&config_, &desc_, nullptr, ulBuffer);
        device_->responder = [this](const Request& req) { return plc_.Handle(req); };
        return device_.get();
    }
    // Reads the list and returns value i's bytes (empty when invalid).
    Bytes ValueOf(PlcVarValue** ppValues, RTS_UI32 i, RTS_UI32 ulSize) {
        if (ppValues[i]->bQuality != 1) {
            return {};
        }
        return Bytes(PlcVarValueData(ppValues[i]), PlcVarValueData(ppValues[i]) + ulSize);
    }

    PlcConfig config_{};
    PlcDeviceDesc desc_{};
    FakePlc plc_;
    std::unique_ptr<TestDevice> device_;
};

TEST_F(VarServices, ThousandVariablesThroughASmallBufferChainOrExtendAndEveryOneIsAnswered) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < 1000; ++i) {
        names.push_back("Application.PLC_PRG.var" + std::to_string(i));
        plc_.Add(names.back(), TYPE3_DINT, Le32(i * 7));
    }
    std::vector<const char*> pNames;
    for (const std::string& n : names) {
        pNames.push_back(n.c_str());
    }
    for (bool bExtendable : {false, true}) {
        SCOPED_TRACE(bExtendable ? "extendable" : "chained");
        plc_.bExtendable = bExtendable;
        plc_.lists.clear();
        for (uint32_t i = 0; i < 1000; ++i) {
            plc_.vars[i].value = Le32(i * 7);
        }
        TestDevice* pDev = Device(1400);
        RTS_I32 lResult = -99;
        HVARLIST h = pDev->DefineVarList(pNames.data(), 1000, 0, 0, &lResult);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(lResult, 0);
        if (bExtendable) {
            EXPECT_EQ(plc_.lists.size(), 1u) << "an extendable list grows on the controller";
        } else {
            EXPECT_GT(plc_.lists.size(), 1u) << "a list that cannot grow chains slave lists";
        }
        EXPECT_GT(pDev->requests.size(), 5u) << "1,000 names cannot go in one 1,400-byte request";
        size_t ulOnPlc = 0;
        for (auto& l : plc_.lists) {
            ulOnPlc += l.second.size();
        }
        EXPECT_EQ(ulOnPlc, 1000u);
        for (const Request& req : pDev->requests) {
            EXPECT_LE(req.pdu.size(), 1400u);
        }

        PlcVarValue** ppValues = nullptr;
        RTS_UI32 ulCount = 0;
        ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
        ASSERT_EQ(ulCount, 1000u);
        for (uint32_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(ValueOf(ppValues, i, 4), Le32(i * 7)) << "variable " << i;
        }
        std::vector<RTS_UI32> lengths(1000);
        EXPECT_EQ(pDev->GetValueLengths(h, lengths.data(), 1000, 0), 0);
        EXPECT_EQ(lengths[999], 4u);
        EXPECT_EQ(pDev->GetValueLengths(h, lengths.data(), 2, 999), PLCCOM_INVALID_PARAMETER);

        // Write by list, read back; a size that differs refuses the write.
        std::vector<Bytes> newValues;
        std::vector<const RTS_UI8*> pValues;
        std::vector<RTS_UI32> sizes(1000, 4);
        for (uint32_t i = 0; i < 1000; ++i) {
            newValues.push_back(Le32(0x1000000 + i));
        }
        for (const Bytes& v : newValues) {
            pValues.push_back(v.data());
        }
        sizes[3] = 2;
        EXPECT_EQ(pDev->WriteVarList(h, 1000, pValues.data(), sizes.data()), PLCCOM_SIZE_MISMATCH);
        EXPECT_EQ(pDev->WriteVarList(h, 999, pValues.data(), nullptr), PLCCOM_SIZE_MISMATCH);
        sizes[3] = 4;
        ASSERT_EQ(pDev->WriteVarList(h, 1000, pValues.data(), sizes.data()), 0);
        ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
        for (uint32_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(ValueOf(ppValues, i, 4), Le32(0x1000000 + i)) << "variable " << i;
        }

        // Write by name, read back.
        Bytes one = Le32(42);
        const RTS_UI8* pOne = one.data();
        RTS_UI32 ulFour = 4;
        ASSERT_EQ(pDev->WriteVars(&pNames[500], 1, &pOne, &ulFour), 0);
        ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
        EXPECT_EQ(ValueOf(ppValues, 500, 4), one);

        EXPECT_EQ(pDev->DeleteVarList(h, 0), 0);
        EXPECT_TRUE(plc_.lists.empty()) << "every controller list of the chain is deleted";
        EXPECT_EQ(pDev->GetValues(h, &ppValues, &ulCount), PLCCOM_FAILED) << "a deleted handle is unknown";
    }
}

TEST_F(VarServices, RejectedVariableKeepsTheListAndBigValuesTravelInPieces) {
    Bytes big(10000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    plc_.Add("A.big", TYPE3_ARRAY, big);
    plc_.Add("A.huge", TYPE3_ARRAY, Bytes(8), true);
    plc_.Add("A.small", TYPE3_INT, Bytes{1, 2});
    const char* names[] = {"A.big", "A.huge", "A.small"};
    TestDevice* pDev = Device(600);
    RTS_I32 lResult = -99;
    HVARLIST h = pDev->DefineVarList(names, 3, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    PlcVarValue** ppValues = nullptr;
    RTS_UI32 ulCount = 0;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
        EXPECT_EQ(ValueOf(ppValues, 0, 10000), big);
        EXPECT_EQ(ppValues[1]->bQuality, 0) << "a rejected variable never becomes valid";
        EXPECT_EQ(ValueOf(ppValues, 2, 2), (Bytes{1, 2}));
    }
    size_t ulPieces = 0;
    for (const Request& req : pDev->requests) {
        ulPieces += req.Has(0x45) ? 1 : 0;
    }
    EXPECT_GT(ulPieces, 10u) << "the array arrives in pieces";

    // Written in pieces too: multiples of 8, read back whole.
    Bytes changed(big.rbegin(), big.rend());
    Bytes two{9, 9};
    Bytes rejected(8);
    const RTS_UI8* pValues[] = {changed.data(), rejected.data(), two.data()};
    pDev->requests.clear();
    ASSERT_EQ(pDev->WriteVarList(h, 3, pValues, nullptr), 0);
    for (const Request& req : pDev->requests) {
        EXPECT_LE(req.pdu.size(), 600u);
        for (const auto& t : req.tags) {
            if (t.ulTag == 0x1E && req.Has(0x45) && t.U32() != 10000 % 8) {
                EXPECT_EQ(t.U32() % 8, 0u);
            }
        }
    }
    ASSERT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ValueOf(ppValues, 0, 10000), changed);
    EXPECT_EQ(ValueOf(ppValues, 2, 2), two);

    // A last piece that runs past the array's end fails the read.
    pDev->responder = [](const Request& req) {
        uint32_t ulOffset = 0;
        for (const auto& t : req.tags) {
            ulOffset = t.ulTag == 0x45 ? t.U32() : ulOffset;
        }
        uint32_t ulPiece = ulOffset == 0 ? 9992 : 16;
        return ReplyBuilder(3).U32(0x46, ulPiece).Value(Bytes(ulPiece)).U16(0x14, 0x1B).Pdu();
    };
    EXPECT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), PLCCOM_FAILED);
    // A piece of 0 bytes, or a reply without progress, too; both end.
    pDev->responder = [](const Request&) {
        return ReplyBuilder(3).U32(0x46, 0).Value({}).U16(0x14, 0x1B).Pdu();
    };
    EXPECT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), PLCCOM_FAILED);
    pDev->requests.clear();
    pDev->responder = [](const Request&) { return ReplyBuilder(3).U16(0x14, 0x1B).Pdu(); };
    EXPECT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), PLCCOM_FAILED);
    EXPECT_EQ(pDev->requests.size(), 1u) << "no second request without progress";
}

TEST_F(VarServices, ConsistencyTimeoutInvalidatesAllAndNextChangedReadReportsEverything) {
    plc_.bExtendable = true;
    plc_.Add("A.x", TYPE3_DINT, Le32(1));
    plc_.Add("A.y", TYPE3_DINT, Le32(2));
    plc_.Add("A.z", TYPE3_DINT, Le32(3));
    const char* names[] = {"A.x", "A.y", "A.z"};
    TestDevice* pDev = Device(1400);
    auto* pResponder = &plc_;
    HVARLIST h = nullptr;
    ASSERT_EQ(pDev->DefineVarListBase(&h, names, 3, 1, nullptr, 0), 0);
    RTS_HANDLE hSem = SysSemCreate(nullptr);
    RTS_I32 bSync = 0;
    ASSERT_EQ(pDev->SendVarList(h, RTS_INVALID_HANDLE, hSem, &bSync, 0, nullptr), 0);
    EXPECT_EQ(bSync, 1);

    // Changed values: 0x1F names the variable whose value follows; unknown
    // and repeated handles are ignored, each index is reported once.
    pDev->responder = [](const Request&) {
        return ReplyBuilder(3)
            .U32(0x1F, 101)
            .Value(Le32(20))
            .U32(0x1F, 999)
            .Value(Le32(77))
            .U32(0x1F, 101)
            .Value(Le32(21))
            .U16(0x14, 0)
            .Pdu();
    };
    ASSERT_EQ(pDev->SendVarList(h, RTS_INVALID_HANDLE, hSem, &bSync, 1, nullptr), 0);
    PlcVarValue** ppValues = nullptr;
    RTS_UI32 ulCount = 0, ulChanged = 0;
    RTS_UI32* pulChanged = nullptr;
    ASSERT_EQ(pDev->GetChangedValues(h, nullptr, &ppValues, &ulCount, &pulChanged, &ulChanged), 0);
    ASSERT_EQ(ulChanged, 1u);
    EXPECT_EQ(pulChanged[0], 1u);
    EXPECT_EQ(ValueOf(ppValues, 1, 4), Le32(21));
    EXPECT_EQ(ValueOf(ppValues, 0, 4), Le32(1));

    // Time-out with a time stamp needs all 8 bytes of the flags tag.
    pDev->responder = [](const Request&) {
        return ReplyBuilder(3).U32(0x22, 0x10000).Value(Le32(5)).U16(0x14, 0).Pdu();
    };
    EXPECT_EQ(pDev->SendVarList(h, RTS_INVALID_HANDLE, hSem, &bSync, 1, nullptr), PLCCOM_FAILED);

    pDev->responder = [](const Request&) {
        return ReplyBuilder(3).U32s(0x22, {0x10000, 1234}).Value(Le32(5)).U16(0x14, 0x22).Pdu();
    };
    EXPECT_EQ(pDev->SendVarList(h, RTS_INVALID_HANDLE, hSem, &bSync, 1, nullptr), PLCCOM_CONSISTENCY_TIMEOUT);
    ASSERT_EQ(pDev->GetValues(h, &ppValues, &ulCount), 0);
    for (RTS_UI32 i = 0; i < 3; ++i) {
        EXPECT_EQ(ppValues[i]->bQuality, 0) << i;
    }
    pDev->requests.clear();
    pDev->responder = [pResponder](const Request& req) { return pResponder->Handle(req); };
    ASSERT_EQ(pDev->SendVarList(h, RTS_INVALID_HANDLE, hSem, &bSync, 1, nullptr), 0);
    ASSERT_FALSE(pDev->requests.empty());
    EXPECT_TRUE(pDev->requests[0].Has(0x13)) << "the complete read leaves out the data-change flag";
    EXPECT_EQ(pDev->requests[0].tags[0].U32() & KL_VARLIST_DATACHANGE, 0u);
    ASSERT_EQ(pDev->GetChangedValues(h, nullptr, &ppValues, &ulCount, &pulChanged, &ulChanged), 0);
    EXPECT_EQ(ulChanged, 3u);
    EXPECT_EQ(ValueOf(ppValues, 2, 4), Le32(3));
    SysSemDelete(hSem);

    // Marked variables (written through a cache) are read first, alone.
    RTS_UI32 flags[3] = {0, 1, 0};
    pDev->requests.clear();
    pDev->responder = [](const Request& req) {
        if (req.Has(0x1F)) {
            return ReplyBuilder(3).U32(0x1F, 101).Value(Le32(66)).U16(0x14, 0).Pdu();
        }
        return ReplyBuilder(3).U16(0x14, 0).Pdu();
    };
    ASSERT_EQ(pDev->SendVarList(h, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, &bSync, 1, flags), 0);
    ASSERT_GE(pDev->requests.size(), 2u);
    EXPECT_EQ(pDev->requests[0].tags[0].U32() & (KL_VARLIST_MARKED_ONLY | KL_VARLIST_DATACHANGE),
              KL_VARLIST_MARKED_ONLY);
    EXPECT_EQ(flags[1] & 0x2u, 0x2u);
    ASSERT_EQ(pDev->GetChangedValues(h, flags, &ppValues, &ulCount, &pulChanged, &ulChanged), 0);
    EXPECT_EQ(ulChanged, 1u);
    EXPECT_EQ(flags[1], 0u);
    EXPECT_EQ(ValueOf(ppValues, 1, 4), Le32(66));
}

TEST_F(VarServices, MalformedDefinitionAndReadRepliesFailSafely) {
    plc_.Add("A.x", TYPE3_DINT, Le32(1));
    plc_.Add("A.y", TYPE3_DINT, Le32(2));
    const char* names[] = {"A.x", "A.y"};
    TestDevice* pDev = Device(1400);
    RTS_I32 lResult = 0;

    // More answers than variables asked for.
    pDev->responder = [](const Request&) {
        return ReplyBuilder(1)
            .U32(0x10, 5)
            .U32(0x13, 0x10048)
            .U32s(0x1B, {8, 4, 100})
            .U32s(0x1B, {8, 4, 101})
            .U32s(0x1B, {8, 4, 102})
            .U16(0x14, 0)
            .Pdu();
    };
    EXPECT_EQ(pDev->DefineVarList(names, 2, 0, 0, &lResult), nullptr);
    EXPECT_EQ(lResult, -1);
    // A size that would overflow the record is a rejected variable.
    pDev->responder = [](const Request&) {
        return ReplyBuilder(1)
            .U32(0x10, 5)
            .U32(0x13, 0x10048)
            .U32s(0x1B, {8, 0xFFFFFFFF, 100})
            .U32s(0x1B, {8, 4, 101})
            .U16(0x14, 0)
            .Pdu();
    };
    HVARLIST h = pDev->DefineVarList(names, 2, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    RTS_UI32 lengths[2] = {9, 9};
    EXPECT_EQ(pDev->GetValueLengths(h, lengths, 2, 0), 0);
    EXPECT_EQ(lengths[0], 0u);
    EXPECT_EQ(lengths[1], 4u);
    // A value shorter than the variable (fill bytes count as value bytes,
    // so only a tag without them is short): quality 0, failed read.
    pDev->responder = [](const Request&) { return ReplyBuilder(3).Value({}).U16(0x14, 0).Pdu(); };
    PlcVarValue** ppValues = nullptr;
    RTS_UI32 ulCount = 0;
    EXPECT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), PLCCOM_FAILED);
    EXPECT_EQ(ppValues, nullptr);
    ASSERT_EQ(pDev->GetValues(h, &ppValues, &ulCount), 0);
    EXPECT_EQ(ppValues[1]->bQuality, 0);
    // Fewer values than variables, a list the controller lost, a dead link.
    pDev->responder = [](const Request&) { return ReplyBuilder(3).U16(0x14, 0).Pdu(); };
    EXPECT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), PLCCOM_FAILED);
    pDev->responder = [](const Request&) { return ReplyBuilder(3).U16(0x14, 0x10).Pdu(); };
    EXPECT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), PLCCOM_VARLIST_INVALID);
    pDev->lTransport = PLCCOM_NO_CONNECTION;
    EXPECT_EQ(pDev->GetVarList(h, &ppValues, &ulCount), PLCCOM_NO_CONNECTION);
    EXPECT_EQ(pDev->DeleteVarList(h, 1), 0) << "the local list goes without a request";
    pDev->lTransport = PLCCOM_OK;

    // A name that can never fit, and a controller that answers nothing.
    std::string longName(2000, 'n');
    const char* pLong = longName.c_str();
    pDev->requests.clear();
    pDev->responder = [this](const Request& req) { return plc_.Handle(req); };
    EXPECT_EQ(pDev->DefineVarList(&pLong, 1, 0, 0, &lResult), nullptr);
    EXPECT_TRUE(pDev->requests.empty());
    pDev->responder = [](const Request&) { return ReplyBuilder(1).U32(0x10, 5).U16(0x14, 0x1B).Pdu(); };
    EXPECT_EQ(pDev->DefineVarList(names, 2, 0, 0, &lResult), nullptr);
    EXPECT_LE(pDev->requests.size(), 4u) << "no chain of empty lists";
    // Adding to a list the controller cannot extend.
    pDev->responder = [this](const Request& req) { return plc_.Handle(req); };
    h = pDev->DefineVarList(names, 1, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(pDev->AddVarsToVarList(h, &names[1], 1, nullptr), PLCCOM_NOT_SUPPORTED);
    RTS_UI32 index = 0;
    EXPECT_EQ(pDev->RemoveVarsFromVarList(h, &index, 1, nullptr), PLCCOM_NOT_SUPPORTED);
}

TEST_F(VarServices, WritesCutTextsAndReportUnknownNamesApart) {
    plc_.Add("A.s", TYPE3_STRING, Bytes(6));
    plc_.Add("A.w", TYPE3_WSTRING, Bytes(1));
    plc_.Add("A.x", TYPE3_DINT, Le32(0));
    TestDevice* pDev = Device(1400);
    const char* names[] = {"A.s", "A.w"};
    RTS_I32 lResult = 0;
    HVARLIST h = pDev->DefineVarList(names, 2, 0, 0, &lResult);
    ASSERT_NE(h, nullptr);
    const char* text = "ABCDEFGH";
    const RTS_UI8* pValues[] = {reinterpret_cast<const RTS_UI8*>(text),
                                reinterpret_cast<const RTS_UI8*>(text)};
    pDev->requests.clear();
    ASSERT_EQ(pDev->WriteVarList(h, 2, pValues, nullptr), 0);
    ASSERT_EQ(pDev->requests.size(), 1u);
    std::vector<Bytes> values;
    for (const auto& t : pDev->requests[0].tags) {
        if (t.ulTag == 0x1E) {
            values.push_back(Bytes(t.content.begin() + 4, t.content.begin() + 4 + t.U32()));
        }
    }
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0], (Bytes{'A', 'B', 'C', 'D', 'E', 0}));
    EXPECT_EQ(values[1], Bytes(1, 0)) << "a wide text of one byte carries no character";

    // By name: direct addresses take the size of their letter, other names
    // the symbol's; a name the controller does not know is not a broken link.
    PlcSymbolDesc symbols[2] = {};
    symbols[0].pszName = const_cast<char*>("A.s");
    symbols[0].ulTypeId = DATATYPE_STRING;
    symbols[0].ulSize = 6;
    symbols[1].pszName = const_cast<char*>("A.x");
    symbols[1].ulTypeId = 7;
    symbols[1].ulSize = 4;
    pDev->UseSymbols(symbols, 2);
    const char* byName[] = {"A.s", "%MW10", "%QL2"};
    pDev->requests.clear();
    pDev->responder = [](const Request&) {
        return ReplyBuilder(4).U16(0x20, 0).U16(0x20, 0).U16(0x20, 0).Pdu();
    };
    const RTS_UI8* pThree[] = {pValues[0], pValues[0], pValues[0]};
    ASSERT_EQ(pDev->WriteVars(byName, 3, pThree, nullptr), 0);
    values.clear();
    for (const auto& t : pDev->requests[0].tags) {
        if (t.ulTag == 0x1E) {
            values.push_back(Bytes(t.content.begin() + 4, t.content.begin() + 4 + t.U32()));
        }
    }
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], (Bytes{'A', 'B', 'C', 'D', 'E', 0}));
    EXPECT_EQ(values[1].size(), 2u);
    EXPECT_EQ(values[2].size(), 8u);
    const char* unknown[] = {"A.nothere"};
    EXPECT_EQ(pDev->WriteVars(unknown, 1, pThree, nullptr), PLCCOM_UNKNOWN_SYMBOL);
    RTS_UI32 ulFour = 4;
    pDev->responder = [](const Request&) { return ReplyBuilder(4).U16(0x20, 0x11).U16(0x14, 0).Pdu(); };
    EXPECT_EQ(pDev->WriteVars(unknown, 1, pThree, &ulFour), PLCCOM_UNKNOWN_SYMBOL);
    pDev->responder = [](const Request&) { return ReplyBuilder(4).U16(0x20, 0xF).Pdu(); };
    EXPECT_EQ(pDev->WriteVars(unknown, 1, pThree, &ulFour), PLCCOM_SIZE_MISMATCH);
    pDev->responder = [](const Request&) { return ReplyBuilder(4).U16(0x14, 0x22).Pdu(); };
    EXPECT_EQ(pDev->WriteVars(unknown, 1, pThree, &ulFour), PLCCOM_CONSISTENCY_TIMEOUT);
    pDev->responder = [](const Request&) { return ReplyBuilder(4).U16(TAG_ERROR, 0x302).Pdu(); };
    EXPECT_EQ(pDev->WriteVars(unknown, 1, pThree, &ulFour), PLCCOM_FAILED);

    // Symbol address: cut to the caller's buffer and the tag, always terminated.
    char szAddr[8];
    EXPECT_EQ(pDev->GetSymbolAddress(0, szAddr, 0), PLCCOM_INVALID_PARAMETER);
    EXPECT_EQ(pDev->GetSymbolAddress(2, szAddr, 8), PLCCOM_INVALID_PARAMETER);
    pDev->responder = [](const Request&) {
        Bytes c{40, 0, '%', 'M', 'W', '1', '0', '0', '0', '0', '0', '0'};
        return ReplyBuilder(10).Tag(0x3B, c.data(), static_cast<uint32_t>(c.size())).Pdu();
    };
    ASSERT_EQ(pDev->GetSymbolAddress(0, szAddr, 8), 0);
    EXPECT_STREQ(szAddr, "%MW1000");
    pDev->requests.clear();
    pDev->responder = [](const Request&) { return ReplyBuilder(10).Pdu(); };
    EXPECT_EQ(pDev->GetSymbolAddress(1, szAddr, 8), PLCCOM_FAILED);
    EXPECT_STREQ(reinterpret_cast<const char*>(pDev->requests[0].tags[0].content.data()), "A.x");
    pDev->lTransport = PLCCOM_NO_CONNECTION;
    EXPECT_EQ(pDev->GetSymbolAddress(1, szAddr, 8), PLCCOM_NO_CONNECTION);
}

}  // namespace
