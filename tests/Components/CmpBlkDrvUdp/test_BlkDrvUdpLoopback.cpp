// The UDP block driver over real loopback sockets, through the router and the
// name-service client: the ports it takes, what it sends where, what it
// takes from whom, and that nothing it sends can leave the machine.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>

#include "CmpBlkDrvUdpPrivate.h"
#include "CmpNameServiceClientPrivate.h"
#include "SysTask.h"
#include "UdpTestRuntime.h"

using namespace udptest;

namespace {

std::mutex g_sentMutex;
std::vector<std::pair<RTS_UI32, RTS_UI16>> g_sent;
void Observe(RTS_UI32 ulIp, RTS_UI16 usPort, RTS_UI32) {
    std::lock_guard<std::mutex> lock(g_sentMutex);
    g_sent.emplace_back(ulIp, usPort);
}
std::vector<std::pair<RTS_UI32, RTS_UI16>> Sent() {
    std::lock_guard<std::mutex> lock(g_sentMutex);
    return g_sent;
}

std::mutex g_answerMutex;
std::vector<std::pair<Bytes, RTS_RESULT>> g_answers;  // node address bytes, result
void OnAnswer(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED3*, RTS_UI16, RTS_UI8, RTS_HANDLE, RTS_BOOL) {
    std::lock_guard<std::mutex> lock(g_answerMutex);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(a.address);
    g_answers.emplace_back(Bytes(p, p + 2 * a.nLength), r);
}
std::vector<std::pair<Bytes, RTS_RESULT>> Answers() {
    std::lock_guard<std::mutex> lock(g_answerMutex);
    return g_answers;
}

// An identification with an empty node description of version 0x0101.
Bytes Identification(const Bytes& request) {
    Bytes out = {0x80, 0xC2, 0x01, 0x01, request[4], request[5], request[6], request[7]};
    out.resize(26, 0);
    return out;
}

class BlkDrvUdpLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!PortsFree(&why)) {
            GTEST_SKIP() << why;
        }
        std::lock_guard<std::mutex> lock(g_sentMutex);
        g_sent.clear();
        std::lock_guard<std::mutex> lock2(g_answerMutex);
        g_answers.clear();
    }
    void TearDown() override { BdUdpSetSendObserver(nullptr); }
};

}  // namespace

TEST_F(BlkDrvUdpLoopback, LoopbackOnlyAndEveryDatagramGoesTo127) {
    StackRuntime rt(Options{});
    ASSERT_TRUE(rt.Started());
    BdUdpSetSendObserver(Observe);
    UDPDEVICEDESC aItf[BDUDP_MAX_INTERFACES];
    RTS_I32 n = BdUdpGetInterfaces(aItf, BDUDP_MAX_INTERFACES);
    ASSERT_GE(n, 1) << "the loopback adapter";
    for (RTS_I32 i = 0; i < n; ++i) {
        EXPECT_EQ(aItf[i].ulIpAddr >> 24, 127u) << "interface " << i << " is not on loopback";
        EXPECT_EQ(aItf[i].ulBroadcastAddr >> 24, 127u);
    }
    EXPECT_EQ(aItf[0].iPortIdx, BDUDP_DEFAULT_PORT_INDEX) << "port index 2 when it is free";
    EXPECT_TRUE(rt.HasLog("Network interface: <ipaddress>127."));

    // A scan: the broadcast reaches a peer on every port of the four.
    UdpPeer peer(1740);
    ASSERT_TRUE(peer.Open());
    ASSERT_EQ(NSResolveAll3(3000, reinterpret_cast<RTS_HANDLE>(1), OnAnswer), ERR_OK);
    Bytes block;
    uint16_t usFrom = 0;
    ASSERT_TRUE(peer.Receive(&block, &usFrom, 2000));
    EXPECT_EQ(usFrom, 1740 + aItf[0].iPortIdx) << "sent from the interface's own port";
    Pkg req;
    unsigned nWords = 0;
    ASSERT_TRUE(ParsePkg(block, &req, &nWords));
    EXPECT_EQ(nWords, 4u) << "broadcast header";
    EXPECT_EQ(req.byService, PID_NAMINGREQUEST);
    EXPECT_TRUE(req.receiver.empty());
    ASSERT_GE(req.data.size(), 8u);

    // The peer answers from port index 0; the client sees it at host 1 on index 0.
    Pkg ans;
    ans.receiver = req.sender;
    ans.sender = {0x00, 0x00, 0x00, 0x01};
    ans.data = Identification(req.data);
    ASSERT_TRUE(peer.SendTo(ans.Build(), static_cast<uint16_t>(1740 + aItf[0].iPortIdx)));
    ASSERT_TRUE(kltest::WaitFor([] { return !Answers().empty(); }, 3000));
    EXPECT_EQ(Answers()[0].first, ans.sender);
    EXPECT_EQ(Answers()[0].second, ERR_OK);

    // Unicast to that node: one datagram to 127.0.0.1:1740.
    NODEADDRESS node{};
    node.nLength = 2;
    memcpy(node.address, ans.sender.data(), 4);
    ASSERT_EQ(NSResolveAddress3(&node, 3000, reinterpret_cast<RTS_HANDLE>(2), OnAnswer), ERR_OK);
    ASSERT_TRUE(peer.Receive(&block, &usFrom, 2000));
    ASSERT_TRUE(ParsePkg(block, &req, &nWords));
    EXPECT_EQ(nWords, 3u);
    EXPECT_EQ(req.receiver, ans.sender);

    std::vector<std::pair<RTS_UI32, RTS_UI16>> sent = Sent();
    ASSERT_GE(sent.size(), 5u) << "four broadcast datagrams and one unicast";
    std::set<RTS_UI16> ports;
    for (const auto& s : sent) {
        EXPECT_EQ(s.first >> 24, 127u) << "a datagram to " << std::hex << s.first;
        EXPECT_GE(s.second, 1740);
        EXPECT_LE(s.second, 1743);
        ports.insert(s.second);
    }
    EXPECT_EQ(ports.size(), 4u) << "broadcasts go to all four ports";
    EXPECT_EQ(BdUdpLoopbackOnlyBuild(), 1) << "the test build must refuse non-loopback adapters";

    // The driver's socket is released with the runtime.
    rt.Stop();
    UdpPeer again(static_cast<uint16_t>(1740 + aItf[0].iPortIdx));
    EXPECT_TRUE(again.Open());
}

TEST_F(BlkDrvUdpLoopback, DatagramsFromOtherPortsOrTheDriverItselfAreDropped) {
    StackRuntime rt(Options{});
    ASSERT_TRUE(rt.Started());
    UDPDEVICEDESC itf;
    ASSERT_EQ(BdUdpGetInterfaces(&itf, 1), 1);
    const uint16_t usOwn = static_cast<uint16_t>(1740 + itf.iPortIdx);
    UdpPeer peer(1741);
    UdpPeer stranger(0);
    ASSERT_TRUE(peer.Open());
    ASSERT_TRUE(stranger.Open());
    ASSERT_EQ(NSResolveAll3(3000, reinterpret_cast<RTS_HANDLE>(3), OnAnswer), ERR_OK);
    Bytes block;
    uint16_t usFrom = 0;
    ASSERT_TRUE(peer.Receive(&block, &usFrom, 2000));
    Pkg req;
    unsigned nWords = 0;
    ASSERT_TRUE(ParsePkg(block, &req, &nWords));
    Pkg ans;
    ans.receiver = req.sender;
    ans.sender = {0x01, 0x00, 0x00, 0x01};
    ans.data = Identification(req.data);
    // From a port outside 1740..1743: dropped by the driver.
    ASSERT_TRUE(stranger.SendTo(ans.Build(), usOwn));
    SysTaskWaitSleep(nullptr, 300);
    EXPECT_TRUE(Answers().empty());
    // The same from the peer's port is taken.
    ASSERT_TRUE(peer.SendTo(ans.Build(), usOwn));
    ASSERT_TRUE(kltest::WaitFor([] { return Answers().size() == 1; }, 3000));
    // A block of 513 bytes or garbage never reaches the name service.
    Bytes big(513, 0xC5);
    ASSERT_TRUE(peer.SendTo(big, usOwn));
    ASSERT_TRUE(peer.SendTo(Bytes{1, 2, 3}, usOwn));
    SysTaskWaitSleep(nullptr, 200);
    EXPECT_EQ(Answers().size(), 1u);
}

TEST_F(BlkDrvUdpLoopback, TakenPortsMoveTheDriverOnAndAllTakenLeaveNoInterface) {
    {
        UdpPeer holder(1742);
        ASSERT_TRUE(holder.Open());
        StackRuntime rt(Options{});
        ASSERT_TRUE(rt.Started());
        UDPDEVICEDESC itf;
        ASSERT_EQ(BdUdpGetInterfaces(&itf, 1), 1);
        EXPECT_EQ(itf.iPortIdx, 3) << "2 is taken: the next index";
    }
    {
        UdpPeer h0(1740), h1(1741), h2(1742), h3(1743);
        StackRuntime rt(Options{});
        ASSERT_TRUE(rt.Started());
        UDPDEVICEDESC itf;
        EXPECT_EQ(BdUdpGetInterfaces(&itf, 1), 0);
        EXPECT_TRUE(rt.HasLog("No free receive-port found for network interface: <ipaddress>127."));
    }
    {
        // A fixed port index is kept, and nothing else is tried.
        Options o;
        o.udpSettings = "itf.0.AdapterName=lo\nitf.0.portindex=1\nitf.0.name=loopback udp\n";
        StackRuntime rt(o);
        ASSERT_TRUE(rt.Started());
        UDPDEVICEDESC itf;
        ASSERT_EQ(BdUdpGetInterfaces(&itf, 1), 1);
        EXPECT_EQ(itf.iPortIdx, 1);
        EXPECT_STREQ(itf.szName, "loopback udp");
    }
    {
        Options o;
        o.udpSettings = "MaxInterfaces=99\nitf.0.AdapterName=lo\nitf.0.DoNotUse=1\n";
        StackRuntime rt(o);
        ASSERT_TRUE(rt.Started());
        UDPDEVICEDESC itf;
        EXPECT_EQ(BdUdpGetInterfaces(&itf, 1), 0) << "a blacklisted adapter gets no interface";
        EXPECT_TRUE(rt.HasLog("Number of interfaces is set to <numitfs>15</numitfs>"));
    }
}
