// The direct transport of the V3 device client over loopback: the SDK's
// runtime (started as a connection object starts it) against in-process
// emulators: resolving by IP address, "localhost" and node name, buffer-size
// rules, the service exchange with its time-outs, late replies and duplicate
// node names.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CMItf.h"
#include "CmpChannelClientItf.h"
#include "CmpKestrolinkMain.h"
#include "CmpLogItf.h"
#include "DeviceTestSupport.h"
#include "Emulator.h"
#include "NameServiceResponder.h"
#include "PLCComARTI3.h"
#include "SysSocketUdp.h"
#include "SysTime.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The transport's protected operations, for the tests.
class TestARTI3 : public CPLCComARTI3 {
public:
    using CPLCComARTI3::CPLCComARTI3;
    using CPLCComARTI3::ResolveNodename;
    using CPLCComARTI3::SendService3;
};

std::string Dotted(std::string text) {
    for (char& c : text) {
        c = c == ':' ? '.' : c;
    }
    return text;
}

bool UdpPortsFree() {
    for (uint16_t p = 1740; p < 1744; ++p) {
        RTS_RESULT r = ERR_OK;
        RTS_HANDLE h = SysSockUdpOpen(SysSockHtonl(0x7F000001u), p, 0, 0, &r);
        if (h == RTS_INVALID_HANDLE) {
            return false;
        }
        SysSockClose(h);
    }
    return true;
}

// One exchange; the reply's bytes, or the result when it failed.
RTS_I32 Exchange(TestARTI3* pDevice, Bytes request, Bytes* pReply) {
    PROTOCOL_DATA_UNIT send = {request.data(), static_cast<RTS_UI32>(request.size())};
    PROTOCOL_DATA_UNIT recv = {nullptr, 0};
    RTS_I32 l = pDevice->SendService3(send, &recv, 0);
    pReply->clear();
    if (l == PLCCOM_OK && recv.pData != nullptr) {
        pReply->assign(recv.pData, recv.pData + recv.ulCount);
    }
    return l;
}

klemu::EmulatorOptions EmuOptions() {
    klemu::EmulatorOptions o;
    o.usPort = 0;
    o.channel.ulMaxBufferSize = 1000000;
    return o;
}

class Device3Net : public ::testing::Test {
protected:
    void SetUp() override {
        kltest::WriteFile(m_settings,
                          "[CmpLog]\nLogger.0.Name=PlcLog\n"
                          "[CmpBlkDrvTcp]\nLocalAccessOnly=1\n"
                          "[CmpBlkDrvUdp]\nUseOnlyAdapters=lo\n"
                          "[CmpNameServiceClient]\nScanTimeSeconds=1\n");
        ASSERT_EQ(SetSettingsFileName(m_settings.c_str()), ERR_OK);
        ASSERT_EQ(InitComponents(), ERR_OK);
        m_bStarted = true;
        // An open that is never answered ends after three short tries.
        NetClientSetOpenTiming(0, 200);
        LogOptions options{};
        strncpy(options.szName, "ARTI3Test", sizeof(options.szName) - 1);
        options.bEnable = 1;
        options.iType = LT_NORMAL;
        options.iFilter = 0x7FFFFFFF;
        options.iMaxEntries = 2000;
        RTS_RESULT r = ERR_FAILED;
        m_hLogger = LogCreate(&options, &r);
        ASSERT_NE(m_hLogger, RTS_INVALID_HANDLE);
    }
    void TearDown() override {
        CPLCComARTI3::SetDefaultTcpPort(0);
        NetClientSetOpenTiming(CHCLIENT_OPEN_DELAY_MS, CHCLIENT_OPEN_RETRY_MS);
        if (m_bStarted) {
            ExitComponents(1);
        }
    }
    devtest::Config Cfg() {
        devtest::Config c;
        c.config.bLogToFile = 1;
        c.config.ulLogFilter = 0xFFFFFFFFu;
        return c;
    }
    bool Logged(const std::string& text) {
        LogEntry entry;
        RTS_I32 iIndex = 0;
        int n = 0;
        for (RTS_RESULT r = LogGetFirstEntry(m_hLogger, &iIndex, &entry); r == ERR_OK && n++ < 5000;
             r = LogGetNextEntry(m_hLogger, &iIndex, &entry)) {
            if (std::string(entry.szInfo).find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    kltest::TempDir m_dir;
    std::string m_settings = m_dir.File("Kestrolink.ini");
    bool m_bStarted = false;
    RTS_HANDLE m_hLogger = RTS_INVALID_HANDLE;
};

}  // namespace

TEST_F(Device3Net, DriversOpenByAddressBufferSizesAndTheEchoExchange) {
    // Only the selected drivers are loaded; serial alone loads nothing.
    {
        devtest::Config c = Cfg();
        c.Param("DriverMask", 0x4u);
        TestARTI3 serialOnly(&c.config, &c.device, m_hLogger);
        EXPECT_TRUE(Logged("CPLCComARTI3: No driver was loaded!"));
        EXPECT_EQ(CMGetComponentByName("CmpBlkDrvUdp", nullptr), nullptr);
    }
    {
        devtest::Config c = Cfg();
        c.Param("DriverMask", 0x22u);
        TestARTI3 tcpUdp(&c.config, &c.device, m_hLogger);
        EXPECT_EQ(tcpUdp.GetStatus(), PLCCOMSTATUS_OK);
        EXPECT_NE(CMGetComponentByName("CmpBlkDrvUdp", nullptr), nullptr) << "loaded on demand";
    }

    klemu::Emulator emulator(EmuOptions());
    std::string error;
    ASSERT_TRUE(emulator.Start(&error)) << error;
    // The transport is tested with an echo; the services come last.
    emulator.Channels()->SetResponder(klemu::ChannelServerEchoResponse);

    // By IP address and port; a buffer below the least is raised to it.
    devtest::Config c = Cfg();
    c.config.ulBufferSize = 4000;
    c.Param("IpAddress", "127.0.0.1");
    c.Param("Port", static_cast<uint32_t>(emulator.Port()));
    TestARTI3 device(&c.config, &c.device, m_hLogger);
    ASSERT_EQ(device.Open(), PLCCOM_OK);
    EXPECT_EQ(device.GetCommBufferSize(), 10000u);
    EXPECT_EQ(device.GetPlcAddressText(), Dotted(emulator.Node().AddressText()));
    EXPECT_TRUE(Logged("CPLCComARTI3: Open() PlcAddress = " + Dotted(emulator.Node().AddressText())));
    EXPECT_TRUE(Logged("CPLCComARTI3: Open() open channel successfull, CommBuffersize = 10000"));
    EXPECT_EQ(device.CheckConnectResult(), PLCCOM_OK);

    const Bytes request = {0x01, 0x02, 0xF0};
    const Bytes echo = klemu::ChannelServerEchoResponse(request);
    ASSERT_EQ(echo.size(), 3u);
    Bytes reply;
    ASSERT_EQ(Exchange(&device, request, &reply), PLCCOM_OK);
    EXPECT_EQ(reply, echo);
    // Into the caller's buffer: only when it is large enough.
    Bytes req2 = request;
    PROTOCOL_DATA_UNIT send = {req2.data(), static_cast<RTS_UI32>(req2.size())};
    uint8_t abySmall[2] = {0};
    PROTOCOL_DATA_UNIT recv = {abySmall, sizeof(abySmall)};
    EXPECT_EQ(device.SendService3(send, &recv, 1), PLCCOM_FAILED);
    EXPECT_EQ(recv.pData, nullptr);
    EXPECT_EQ(recv.ulCount, 0u);
    uint8_t abyBuffer[64];
    memset(abyBuffer, 0xCC, sizeof(abyBuffer));
    recv = {abyBuffer, sizeof(abyBuffer)};
    ASSERT_EQ(device.SendService3(send, &recv, 1), PLCCOM_OK);
    EXPECT_EQ(recv.pData, abyBuffer);
    EXPECT_EQ(Bytes(abyBuffer, abyBuffer + recv.ulCount), echo);
    EXPECT_EQ(abyBuffer[echo.size()], 0xCC) << "nothing written behind the reply";
    EXPECT_EQ(device.Close(), PLCCOM_OK);
    EXPECT_EQ(Exchange(&device, request, &reply), PLCCOM_FAILED) << "closed";

    // "localhost" without a port: the default port (moved to the emulator's
    // for the test); no buffer size configured gives the default.
    CPLCComARTI3::SetDefaultTcpPort(emulator.Port());
    devtest::Config l = Cfg();
    l.Param("IpAddress", "localhost");
    TestARTI3 local(&l.config, &l.device, m_hLogger);
    ASSERT_EQ(local.Open(), PLCCOM_OK);
    EXPECT_EQ(local.GetCommBufferSize(), 512000u);
    EXPECT_EQ(local.GetPlcAddressText(), Dotted(emulator.Node().AddressText()));
    EXPECT_EQ(Exchange(&local, request, &reply), PLCCOM_OK);
    EXPECT_EQ(reply, echo);
    // A second open replaces the first channel.
    ASSERT_EQ(local.Open(), PLCCOM_OK);
    EXPECT_EQ(Exchange(&local, request, &reply), PLCCOM_OK);
    EXPECT_EQ(local.Close(), PLCCOM_OK);

    // Nobody on the port: the name service finds no node.
    devtest::Config n = Cfg();
    n.Param("IpAddress", "127.0.0.1");
    n.Param("Port", static_cast<uint32_t>(emulator.Port() == 65535 ? 65534 : emulator.Port() + 1));
    TestARTI3 nobody(&n.config, &n.device, m_hLogger);
    EXPECT_EQ(nobody.Open(), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComARTI3: No node found with ip address 127.0.0.1, port"));

    // Encryption asked for but not available: refused, nothing opened.
    devtest::Config e = Cfg();
    e.Param("IpAddress", "127.0.0.1");
    e.Param("Port", static_cast<uint32_t>(emulator.Port()));
    e.Param("EncryptCommunication", 1u);
    TestARTI3 encrypted(&e.config, &e.device, m_hLogger);
    EXPECT_EQ(encrypted.Open(), PLCCOM_FAILED);
    EXPECT_TRUE(
        Logged("CPLCComARTI3: <-Open() encrypted communication configured. But requirements "
               "(CmpOpenSSL, CmpSecureChannel) missing."));
    EXPECT_EQ(encrypted.GetCommBufferSize(), 0u);

    // Neither address nor name.
    devtest::Config none = Cfg();
    TestARTI3 unaddressed(&none.config, &none.device, m_hLogger);
    EXPECT_EQ(unaddressed.Open(), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComARTI3: <-Open() No valid PlcAddress"));
    emulator.Stop();
}

TEST_F(Device3Net, MissingRepliesTimeOutAndALateReplyIsNeverTheNextOnesAnswer) {
    // The first request marked 'S' is answered late, after the client gave up.
    klemu::Emulator slow(EmuOptions());
    std::string error;
    ASSERT_TRUE(slow.Start(&error)) << error;
    std::atomic<int> nSlow{0};
    slow.Channels()->SetResponder([&nSlow](const std::vector<uint8_t>& req) {
        if (!req.empty() && req[0] == 'S' && nSlow.fetch_add(1) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        }
        return klemu::ChannelServerEchoResponse(req);
    });
    devtest::Config c = Cfg();
    c.config.ulTimeout = 500;
    c.config.ulNumTries = 1;
    c.Param("IpAddress", "127.0.0.1");
    c.Param("Port", static_cast<uint32_t>(slow.Port()));
    TestARTI3 device(&c.config, &c.device, m_hLogger);
    ASSERT_EQ(device.Open(), PLCCOM_OK);
    Bytes reply;
    EXPECT_EQ(Exchange(&device, {'S', 1}, &reply), PLCCOM_FAILED);
    EXPECT_TRUE(reply.empty());
    ASSERT_EQ(Exchange(&device, {'N', 2}, &reply), PLCCOM_OK);
    EXPECT_EQ(reply, klemu::ChannelServerEchoResponse({'N', 2}))
        << "the reply to the request that timed out was taken instead";
    ASSERT_EQ(Exchange(&device, {'N', 3}, &reply), PLCCOM_OK);
    EXPECT_EQ(reply, klemu::ChannelServerEchoResponse({'N', 3}));
    EXPECT_EQ(device.Close(), PLCCOM_OK);
    slow.Stop();

    // A controller that stops answering: -1 once 2 x time-out x tries passed.
    klemu::EmulatorOptions o = EmuOptions();
    o.channel.lStallAfterMessages = 1;
    klemu::Emulator stalling(o);
    ASSERT_TRUE(stalling.Start(&error)) << error;
    stalling.Channels()->SetResponder(klemu::ChannelServerEchoResponse);
    devtest::Config s = Cfg();
    s.config.ulTimeout = 200;
    s.config.ulNumTries = 2;
    s.Param("IpAddress", "127.0.0.1");
    s.Param("Port", static_cast<uint32_t>(stalling.Port()));
    TestARTI3 stalled(&s.config, &s.device, m_hLogger);
    ASSERT_EQ(stalled.Open(), PLCCOM_OK);
    ASSERT_EQ(Exchange(&stalled, {1}, &reply), PLCCOM_OK);
    RTS_UI32 ulStart = SysTimeGetMs();
    EXPECT_EQ(Exchange(&stalled, {2}, &reply), PLCCOM_FAILED);
    EXPECT_GE(SysTimeElapsedMs(SysTimeGetMs(), ulStart), 800u) << "gave up before 2 x 200 ms x 2 tries";
    EXPECT_TRUE(reply.empty());
    // The reply owed for the stalled request never comes: the next request
    // is refused rather than paired with whatever arrives.
    EXPECT_EQ(Exchange(&stalled, {3}, &reply), PLCCOM_FAILED);
    EXPECT_EQ(stalled.Close(), PLCCOM_OK);
    stalling.Stop();
}

TEST_F(Device3Net, NodeNamesResolveDuplicatesAreReportedAndGoneObjectsAreNotCalledBack) {
    if (!UdpPortsFree()) {
        GTEST_SKIP() << "UDP ports 1740..1743 on 127.0.0.1 are held by another program";
    }
    auto responder = [](const char16_t* pszName, int iIndex) {
        klemu::NameServiceOptions o;
        o.identity.nodeName = pszName;
        o.iUdpPortIndex = iIndex;
        o.bUdp = true;
        return o;
    };
    // The device loads the UDP driver before the responders take their ports.
    devtest::Config c = Cfg();
    c.Param("DeviceName", "Single");
    c.Param("ResolvePlcNameTimeout", 1000u);
    TestARTI3 single(&c.config, &c.device, m_hLogger);
    klemu::NameServiceUdpResponder one(responder(u"SINGLE", 0));
    klemu::NameServiceUdpResponder twinA(responder(u"TWIN", 1));
    klemu::NameServiceUdpResponder twinB(responder(u"TWIN", 3));
    std::string error;
    ASSERT_TRUE(one.Start(&error)) << error;
    ASSERT_TRUE(twinA.Start(&error)) << error;
    ASSERT_TRUE(twinB.Start(&error)) << error;

    ASSERT_EQ(single.ResolveNodename(), PLCCOM_OK);
    const std::string singleAddress = single.GetPlcAddressText();
    EXPECT_FALSE(singleAddress.empty());
    EXPECT_EQ(single.CheckConnectResult(), PLCCOM_OK);

    devtest::Config t = Cfg();
    t.Param("DeviceName", "TWIN");
    t.Param("ResolvePlcNameTimeout", 1000u);
    TestARTI3 twin(&t.config, &t.device, m_hLogger);
    ASSERT_EQ(twin.ResolveNodename(), PLCCOM_OK);
    EXPECT_NE(twin.GetPlcAddressText(), singleAddress);
    EXPECT_EQ(twin.CheckConnectResult(), PLCCOM_DUPLICATE_PLC_NAME);
    EXPECT_TRUE(
        Logged("CPLCComBase3: <-CheckConnectResult() Several PLCs with the same node name <TWIN> exist"));
    EXPECT_EQ(twin.GetPlcAddressText(), "") << "the address is cleared";

    devtest::Config u = Cfg();
    u.Param("DeviceName", "NOBODY");
    u.Param("ResolvePlcNameTimeout", 500u);
    TestARTI3 unknown(&u.config, &u.device, m_hLogger);
    EXPECT_EQ(unknown.ResolveNodename(), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComARTI3: <-Open() Could not resolve node name <NOBODY>"));
    EXPECT_EQ(unknown.Open(), PLCCOM_FAILED);

    // Found by name, but the node speaks no channel protocol: the open fails
    // after one more lookup by name.
    ASSERT_EQ(single.Open(), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComARTI3: Open() PlcAddress = " + singleAddress));
    EXPECT_TRUE(Logged("CPLCComARTI3: <-Open() no connection to PlcAddress"));

    // Objects deleted while their query still collects answers.
    for (int i = 0; i < 5; ++i) {
        auto* p = new TestARTI3(&t.config, &t.device, m_hLogger);
        ASSERT_EQ(p->ResolveNodename(), PLCCOM_OK) << i;
        delete p;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GE(twinA.Answered(), 6u);
}
