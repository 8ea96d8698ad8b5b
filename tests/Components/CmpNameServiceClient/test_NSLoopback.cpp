// Resolving and scanning over loopback: the name-service client with the real
// router and block drivers against emulators (the TCP emulator with its
// name-service handler, and UDP name-service responders on ports 1740..1743),
// and the connection object's network scan over the direct transport.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "CmpBlkDrvUdpItf.h"
#include "CmpChecksumItf.h"
#include "CmpKestrolinkMain.h"
#include "CmpNameServiceClientPrivate.h"
#include "Emulator.h"
#include "Kestrolink.h"
#include "KestrolinkCallback.h"
#include "NSTestSupport.h"
#include "NameServiceResponder.h"
#include "PLCComScan3.h"
#include "CmpRouterItf.h"
#include "SysTask.h"
#include "UdpTestRuntime.h"

using nstest::Answer;
using nstest::Recorder;
using udptest::Bytes;

namespace {

RTS_HANDLE H(uintptr_t v) {
    return reinterpret_cast<RTS_HANDLE>(v);
}

Bytes AddrBytes(const NODEADDRESS& a) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(a.address);
    return Bytes(p, p + 2 * a.nLength);
}

std::u16string NodeName(const Answer& a) {
    if (a.info.size() < offsetof(NODEINFOPACKED3, addrParent)) {
        return u"?";
    }
    NODEINFOPACKED3 info;
    memcpy(&info, a.info.data(), offsetof(NODEINFOPACKED3, addrParent));
    size_t off = offsetof(NODEINFOPACKED3, addrParent) + 2u * info.wParentAddrSize;
    return nstest::TextAt(a.info, &off, info.wNodeNameLength);
}

bool Completed(RTS_HANDLE h) {
    for (const Answer& a : Recorder::Of(h)) {
        if (a.bComplete) {
            return true;
        }
    }
    return false;
}

klemu::NameServiceOptions Responder(const char16_t* pszName, int iPortIndex) {
    klemu::NameServiceOptions o;
    o.identity.nodeName = pszName;
    o.iUdpPortIndex = iPortIndex;
    o.bUdp = true;
    return o;
}

class NSLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!udptest::PortsFree(&why)) {
            GTEST_SKIP() << why;
        }
        Recorder::Reset();
    }
};

}  // namespace

TEST_F(NSLoopback, ResolvingTheEmulatorByIpAddressAndPortGivesItsNodeAddress) {
    klemu::EmulatorOptions eo;
    eo.usPort = 0;
    klemu::Emulator emulator(eo);
    std::string error;
    ASSERT_TRUE(emulator.Start(&error)) << error;
    klemu::NameServiceIdentity id;
    id.nodeName = u"EmuTcp";
    klemu::NameServiceHandler handler(id, nullptr);
    emulator.Node().SetHandler(&handler);

    for (bool bWithUdp : {false, true}) {
        SCOPED_TRACE(bWithUdp ? "TCP and UDP drivers" : "TCP driver only");
        Recorder::Reset();
        udptest::Options o;
        o.bTcp = true;
        o.bUdp = bWithUdp;
        udptest::StackRuntime rt(o);
        ASSERT_TRUE(rt.Started());
        NETWORKADDRESS na{};
        na.nLength = 6;
        const uint8_t abyAddr[6] = {static_cast<uint8_t>(emulator.Port() >> 8),
                                    static_cast<uint8_t>(emulator.Port() & 0xFF),
                                    127,
                                    0,
                                    0,
                                    1};
        memcpy(na.address, abyAddr, 6);
        ASSERT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_TCP, 0, 48, &na, 5000, H(1), Recorder::Cb3),
                  ERR_OK);
        ASSERT_TRUE(kltest::WaitFor([] { return Completed(H(1)); }, 8000));
        std::vector<Answer> got = Recorder::Of(H(1));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].nResult, ERR_OK);
        EXPECT_EQ(got[0].byBlkDrvType, RTS_BLK_DRV_TYPE_TCP);
        EXPECT_EQ(NodeName(got[0]), u"EmuTcp");
        NODEADDRESS expected{};
        ASSERT_EQ(RouterCalculateNodeAddr(RTS_BLK_DRV_TYPE_TCP, 48, &na, &expected), ERR_OK);
        EXPECT_EQ(AddrBytes(got[0].addr), AddrBytes(expected));
        if (!bWithUdp) {
            EXPECT_EQ(AddrBytes(got[0].addr), emulator.Node().Address())
                << "port and IPv4 address, 3 components";
        }

        // Nothing listens on the port: the request ends with its time-out.
        na.address[1] = static_cast<uint8_t>(na.address[1] ^ 0x01);
        ASSERT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_TCP, 0, 48, &na, 500, H(2), Recorder::Cb3),
                  ERR_OK);
        ASSERT_TRUE(kltest::WaitFor([] { return Completed(H(2)); }, 5000));
        got = Recorder::Of(H(2));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].nResult, ERR_TIMEOUT);
    }
    EXPECT_GE(handler.Answered(), 2u);
    emulator.Stop();
}

TEST_F(NSLoopback, NamesFindTheirNodesDuplicatesAreBothReportedAndScansSeeEveryNodeOnce) {
    klemu::NameServiceUdpResponder twinA(Responder(u"TWIN", 0));
    klemu::NameServiceUdpResponder twinB(Responder(u"TWIN", 1));
    klemu::NameServiceUdpResponder single(Responder(u"SINGLE", 3));
    std::string error;
    ASSERT_TRUE(twinA.Start(&error)) << error;
    ASSERT_TRUE(twinB.Start(&error)) << error;
    ASSERT_TRUE(single.Start(&error)) << error;
    udptest::StackRuntime rt(udptest::Options{});
    ASSERT_TRUE(rt.Started());

    const RTS_WCHAR szSingle[] = {'S', 'I', 'N', 'G', 'L', 'E', 0};
    ASSERT_EQ(NSResolveName3(szSingle, 1000, 0, H(1), Recorder::Cb3), ERR_OK);
    ASSERT_TRUE(kltest::WaitFor([] { return Completed(H(1)); }, 5000));
    std::vector<Answer> got = Recorder::Of(H(1));
    ASSERT_EQ(got.size(), 2u) << "one node, then the end of the query";
    EXPECT_EQ(NodeName(got[0]), u"SINGLE");
    EXPECT_EQ(AddrBytes(got[0].addr), single.NodeAddress());
    EXPECT_EQ(got[0].byBlkDrvType, RTS_BLK_DRV_TYPE_UDP);
    EXPECT_EQ(got[1].nResult, ERR_TIMEOUT);

    // Two nodes of one name: both answer (the device client turns this into
    // a duplicate-name error).
    const RTS_WCHAR szTwin[] = {'t', 'w', 'i', 'n', 0};
    ASSERT_EQ(NSResolveName3(szTwin, 1000, 0, H(2), Recorder::Cb3), ERR_OK);
    ASSERT_TRUE(kltest::WaitFor([] { return Completed(H(2)); }, 5000));
    got = Recorder::Of(H(2));
    ASSERT_EQ(got.size(), 3u);
    std::set<Bytes> twins = {AddrBytes(got[0].addr), AddrBytes(got[1].addr)};
    EXPECT_EQ(twins, (std::set<Bytes>{twinA.NodeAddress(), twinB.NodeAddress()}));
    EXPECT_EQ(got[2].bComplete, 1);
    // Finish with the first node: one answer ends the query.
    ASSERT_EQ(NSResolveName3(szTwin, 1000, 1, H(3), Recorder::Cb3), ERR_OK);
    ASSERT_TRUE(kltest::WaitFor([] { return Completed(H(3)); }, 5000));
    SysTaskWaitSleep(nullptr, 200);
    got = Recorder::Of(H(3));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].nResult, ERR_OK);

    // The node found by name answers at its node address.
    NODEADDRESS node = got[0].addr;
    ASSERT_EQ(NSResolveAddress3(&node, 2000, H(4), Recorder::Cb3), ERR_OK);
    ASSERT_TRUE(kltest::WaitFor([] { return Completed(H(4)); }, 5000));
    got = Recorder::Of(H(4));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].nResult, ERR_OK);
    EXPECT_EQ(AddrBytes(got[0].addr), AddrBytes(node));

    // A scan with 3000 ms: every node once with the complete flag clear, then
    // one final callback with result 5.
    ASSERT_EQ(NSResolveAll3(3000, H(5), Recorder::Cb3), ERR_OK);
    ASSERT_TRUE(kltest::WaitFor([] { return Completed(H(5)); }, 8000));
    got = Recorder::Of(H(5));
    ASSERT_EQ(got.size(), 4u);
    std::set<Bytes> all;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].nResult, ERR_OK);
        EXPECT_EQ(got[i].bComplete, 0);
        all.insert(AddrBytes(got[i].addr));
    }
    EXPECT_EQ(all.size(), 3u) << "each node once";
    EXPECT_EQ(got[3].nResult, ERR_TIMEOUT);
    EXPECT_EQ(got[3].bComplete, 1);
    EXPECT_EQ(NSGetNumRequests(), 0);
}

TEST_F(NSLoopback, AScanObjectThatGoesAwayIsNeverCalledBack) {
    klemu::NameServiceUdpResponder node(Responder(u"LATE", 0));
    std::string error;
    ASSERT_TRUE(node.Start(&error)) << error;
    udptest::StackRuntime rt(udptest::Options{});
    ASSERT_TRUE(rt.Started());
    static std::atomic<int> s_calls{0};
    s_calls = 0;
    for (int i = 0; i < 5; ++i) {
        auto* pScan = new CPLCComScan3(nullptr, nullptr, nullptr, 10000);
        ASSERT_EQ(pScan->GetStatus(), PLCCOMSTATUS_OK);
        ASSERT_EQ(pScan->ScanNetwork(0, [](RTS_UINTPTR, NodeInfotyp2*) { ++s_calls; }), PLCCOM_OK);
        EXPECT_EQ(pScan->ScanNetwork(0, [](RTS_UINTPTR, NodeInfotyp2*) {}), PLCCOM_SCAN_ACTIVE);
        // Gone while the answer is on its way (or just arrived).
        SysTaskWaitSleep(nullptr, static_cast<RTS_UI32>(i * 2));
        delete pScan;
        int nCalls = s_calls.load();
        EXPECT_EQ(NSGetNumRequests(), 0) << "the request went with its waiter";
        SysTaskWaitSleep(nullptr, 50);
        EXPECT_EQ(s_calls.load(), nCalls) << "a callback after the object was deleted";
    }
    EXPECT_GE(node.Requests(), 5u);
}

namespace {

struct FoundNode {
    int32_t lResult;
    int32_t bComplete;
    std::string nodeAddr;
    std::u16string nodeName;
    std::string serial;
    uint16_t wRtsBlkDrvType;
};

class ScanRecorder : public CKestrolinkCallback {
public:
    ScanRecorder() : CKestrolinkCallback(nullptr, 0) {}
    long Notify(CKestrolink*, CallbackAddInfoTag info) override {
        if (info.ulType != CALLBACK_PLC_FOUND || info.AddInf.pNodeInfo2 == nullptr) {
            return 0;
        }
        const NodeInfotyp2* p = info.AddInf.pNodeInfo2;
        FoundNode n{p->lResult,
                    p->bComplete,
                    p->pszNodeAddr != nullptr ? p->pszNodeAddr : "?",
                    u"",
                    p->pszSerialNumber != nullptr ? p->pszSerialNumber : "?",
                    p->wRtsBlkDrvType};
        for (const uint16_t* pw = p->pwszNodeName; pw != nullptr && *pw != 0 && n.nodeName.size() < 100;
             ++pw) {
            n.nodeName.push_back(*pw);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nodes.push_back(n);
        return 1;
    }
    std::vector<FoundNode> Nodes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nodes;
    }

private:
    std::mutex m_mutex;
    std::vector<FoundNode> m_nodes;
};

CPLCComBase* CreateScanDevice(void*, CKestrolink*, ItfType it, const PlcConfig* pConfig,
                              const PlcDeviceDesc* pDesc, void* hLogger) {
    return it == IT_ARTI3 ? new CPLCComScan3(pConfig, pDesc, hLogger, 1500) : nullptr;
}

}  // namespace

TEST_F(NSLoopback, ConnectionObjectScanReportsEveryEmulatorOnceThenTheCompletionRecord) {
    klemu::NameServiceOptions a = Responder(u"PLC_A", 0);
    a.identity.serialNumber = "SN-A";
    klemu::NameServiceUdpResponder nodeA(a);
    klemu::NameServiceUdpResponder nodeB(Responder(u"PLC_B", 3));
    std::string error;
    ASSERT_TRUE(nodeA.Start(&error)) << error;
    ASSERT_TRUE(nodeB.Start(&error)) << error;

    kltest::TempDir dir;
    std::string settings = dir.File("Kestrolink.ini");
    kltest::WriteFile(settings, udptest::BaseSettings() + "[CmpNameServiceClient]\nScanTimeSeconds=2\n");
    static const StaticComponent s_extra[] = {
        {"CmpChecksum", CmpChecksum__Entry, 0},
        {"CmpRouter", CmpRouter__Entry, 0},
        {"CmpBlkDrvUdp", CmpBlkDrvUdp__Entry, 0},
        {"CmpNameServiceClient", CmpNameServiceClient__Entry, 0},
        {nullptr, nullptr, 0},
    };
    KestrolinkSetExtraComponents(s_extra);
    ASSERT_EQ(SetSettingsFileName(settings.c_str()), ERR_OK);
    ScanRecorder rec;
    {
        CKestrolink k(nullptr);
        k.SetDeviceFactory(CreateScanDevice, nullptr);
        ASSERT_EQ(k.ScanNetwork(nullptr, &rec), RESULT_OK);
        ScanRecorder other;
        EXPECT_EQ(k.ScanNetwork(nullptr, &other), RESULT_SCAN_RUNNING);
        ASSERT_TRUE(kltest::WaitFor([&] { return k.IsScanRunning() == 0; }, 8000));
        EXPECT_TRUE(other.Nodes().empty());
    }
    if (CMIsRunning()) {
        ExitComponentsFinal();
    }
    KestrolinkSetExtraComponents(nullptr);

    std::vector<FoundNode> nodes = rec.Nodes();
    ASSERT_EQ(nodes.size(), 3u);
    std::set<std::u16string> names;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(nodes[i].lResult, RESULT_OK);
        EXPECT_EQ(nodes[i].bComplete, 0);
        EXPECT_EQ(nodes[i].wRtsBlkDrvType, RTS_BLK_DRV_TYPE_UDP);
        names.insert(nodes[i].nodeName);
        const klemu::NameServiceUdpResponder& r = nodes[i].nodeName == u"PLC_A" ? nodeA : nodeB;
        std::string expected = r.NodeAddressText();
        for (char& c : expected) {
            c = c == ':' ? '.' : c;
        }
        EXPECT_EQ(nodes[i].nodeAddr, expected);
        if (nodes[i].nodeName == u"PLC_A") {
            EXPECT_EQ(nodes[i].serial, "SN-A");
        }
    }
    EXPECT_EQ(names, (std::set<std::u16string>{u"PLC_A", u"PLC_B"}));
    EXPECT_EQ(nodes[2].bComplete, 1) << "the completion record comes last";
    EXPECT_EQ(nodes[2].lResult, RESULT_TIMEOUT);
}
