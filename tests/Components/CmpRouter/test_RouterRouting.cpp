// Routing: forwarding into a subnet and the hop counter, broadcasts with
// duplicate suppression, interface registration and instance numbering,
// parallel instances, the send queues and the address service.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "CMItf.h"
#include "CmpRouterPrivate.h"
#include "RouterTestRuntime.h"
#include "SysTime.h"

using namespace rttest;
using namespace klrouter;

namespace {

const Bytes kTcpOwn = {0x00, 0x00, 0x0A, 0x00, 0x00, 0x05};
const Bytes kTcpPeer = {0x2D, 0xDC, 0x0A, 0x00, 0x00, 0x07};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Restores the millisecond clock whatever a test did to it.
struct ClockShift {
    ~ClockShift() { SysTimeSetMsOffset(0); }
};

TEST(RouterRouting, ForwardingIntoASubnetFollowsTheHopCounter) {
    TestRuntime rt(Options{"[CmpRouter]\n0.NumSubnets=1\n0.Subnet.0.Interface=com0\n"});
    ASSERT_TRUE(rt.Started());
    EXPECT_TRUE(rt.HasLog("Number of router instances is reduced to <instances>15</instances>."));
    EXPECT_TRUE(
        rt.HasLog("<instances>15</instances> router instances configured, first parallel router offset "
                  "<offset>1</offset>"));
    FakeDriver tcp("BlkDrvTcp", RTS_BLK_DRV_TYPE_TCP, 48, kTcpOwn);
    FakeDriver com("com0", RTS_BLK_DRV_TYPE_COM, 8, {0x01});
    ASSERT_EQ(tcp.Register(), ERR_OK);
    ASSERT_EQ(com.Register(), ERR_OK);
    EXPECT_EQ(com.Handle(), nullptr) << "subnet 0 of instance 0";
    EXPECT_TRUE(rt.HasLog(
        "Network interface <interface>com0</interface> at router <instance>0.0</instance> registered"));

    // A serial peer 0x22 below this node: own address, then one component
    // with the subnet index in its high nibble.
    NODEADDRESS node;
    NETWORKADDRESS serialPeer = NetAddr({0x22});
    ASSERT_EQ(RouterCalculateNodeAddr(RTS_BLK_DRV_TYPE_COM, 8, &serialPeer, &node), ERR_OK);
    EXPECT_EQ(NodeBytes(node), Concat({kTcpOwn, {0x00, 0x22}}));

    Pkg in;
    in.receiver = NodeBytes(node);
    in.sender = kTcpPeer;
    in.data = {7, 7};
    for (unsigned hop : {0u, 1u}) {
        in.nHop = hop;
        ASSERT_EQ(tcp.Receive(in.Build(), kTcpPeer), ERR_OK);
    }
    EXPECT_TRUE(com.SentBlocks().empty()) << "a package whose hop counter ran out was forwarded";
    in.nHop = 2;
    ASSERT_EQ(tcp.Receive(in.Build(), kTcpPeer), ERR_OK);
    auto sent = com.SentBlocks();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(NetBytes(sent[0].next), (Bytes{0x22}));
    Pkg expected = in;
    expected.nHop = 1;
    EXPECT_EQ(sent[0].block, expected.Build());
    EXPECT_TRUE(tcp.SentBlocks().empty());

    // Broadcast name requests are passed on once per id within 10 s.
    ClockShift restore;
    com.Clear();
    Pkg bc;
    bc.nHeaderWords = 4;
    bc.usBroadcastId = 0x1234;
    bc.byService = PID_NAMINGREQUEST;
    bc.sender = kTcpPeer;
    bc.data = {1};
    ASSERT_EQ(tcp.Receive(bc.Build(), kTcpPeer), ERR_OK);
    ASSERT_EQ(tcp.Receive(bc.Build(), kTcpPeer), ERR_OK);
    EXPECT_EQ(com.SentBlocks().size(), 1u) << "second broadcast with the same id passed on";
    Pkg other = bc;
    other.usBroadcastId = 0x1235;
    ASSERT_EQ(tcp.Receive(other.Build(), kTcpPeer), ERR_OK);
    EXPECT_EQ(com.SentBlocks().size(), 2u) << "another id is another broadcast";
    SysTimeSetMsOffset(9000);
    ASSERT_EQ(tcp.Receive(bc.Build(), kTcpPeer), ERR_OK);
    EXPECT_EQ(com.SentBlocks().size(), 2u) << "repeat accepted within 10 s";
    SysTimeSetMsOffset(10001);
    ASSERT_EQ(tcp.Receive(bc.Build(), kTcpPeer), ERR_OK);
    EXPECT_EQ(com.SentBlocks().size(), 3u) << "repeat after 10 s refused";
    EXPECT_TRUE(tcp.SentBlocks().empty()) << "a broadcast went back into the network it came from";
}

TEST(RouterRouting, RegistrationSlotsHandlesAndRefusals) {
    TestRuntime rt(Options{"[CmpRouter]\n0.NumSubnets=1\n0.Subnet.0.Interface=tcpsub\n"});
    ASSERT_TRUE(rt.Started());
    FakeDriver tcp("BlkDrvTcp", RTS_BLK_DRV_TYPE_TCP, 48, kTcpOwn);
    ASSERT_EQ(tcp.Register(), ERR_OK);
    RTS_HANDLE hAgain = RTS_INVALID_HANDLE;
    EXPECT_EQ(RouterRegisterNetworkInterface2(&tcp.info, &hAgain), ERR_DUPLICATE);
    EXPECT_EQ(hAgain, tcp.Handle()) << "a second registration under the name returns the existing handle";

    FakeDriver tcpSub("tcpsub", RTS_BLK_DRV_TYPE_TCP, 48, {0, 0, 10, 0, 0, 6});
    EXPECT_EQ(tcpSub.Register(), ERR_NET_NOTALLOWED_AS_SUBNET);
    EXPECT_TRUE(rt.HasLog("Network interface <interface>tcpsub</interface> is not allowed as subnet"));

    // The device address is copied into 8 bytes: longer ones are refused.
    FakeDriver tooLong("long", RTS_BLK_DRV_TYPE_SHM, 64, {1, 2, 3, 4, 5, 6, 7, 8});
    tooLong.info.addrDevice.nLength = 9;
    EXPECT_EQ(tooLong.Register(), ERR_PARAMETER);
    EXPECT_TRUE(
        rt.HasLog("Tried to register network interface <interface>long</interface> with invalid address"));
    FakeDriver allOnes("ones", RTS_BLK_DRV_TYPE_SHM, 16, {0xFF, 0xFF});
    EXPECT_EQ(allOnes.Register(), ERR_PARAMETER) << "a broadcast address as own address";
    FakeDriver noBits("nobits", RTS_BLK_DRV_TYPE_SHM, 0, {1});
    EXPECT_EQ(noBits.Register(), ERR_PARAMETER);

    RTS_UI8 byType = 0xFF;
    EXPECT_EQ(RouterGetBlkDrvType(tcp.Handle(), &byType), ERR_OK);
    EXPECT_EQ(byType, RTS_BLK_DRV_TYPE_TCP);
    EXPECT_EQ(RouterGetBlkDrvType(reinterpret_cast<RTS_HANDLE>(0x00050005), &byType), ERR_FAILED);
    EXPECT_EQ(byType, 0);
    EXPECT_EQ(RouterUnregisterNetworkInterface(RTS_INVALID_HANDLE), ERR_PARAMETER);
    EXPECT_EQ(RouterUnregisterNetworkInterface(reinterpret_cast<RTS_HANDLE>(0x00050005)), ERR_NO_OBJECT);
    EXPECT_TRUE(rt.HasLog("Tried to unregister an invalid network interface <interface>0x50005</interface>"));

    RTS_HANDLE hRouter = nullptr;
    ASSERT_EQ(RouterGetInstanceByName("Router3", &hRouter), ERR_OK);
    char szName[8] = "xxxxxxx";
    EXPECT_EQ(RouterGetName(hRouter, szName, 0), ERR_BUFFERSIZE);
    EXPECT_STREQ(szName, "xxxxxxx") << "a buffer of size 0 was written";
    EXPECT_EQ(RouterGetName(hRouter, szName, 5), ERR_BUFFERSIZE);
    EXPECT_STREQ(szName, "Rout");
    EXPECT_EQ(RouterGetInstanceByName("NoSuchRouter", &hRouter), ERR_FAILED);
    EXPECT_EQ(RouterGetName(reinterpret_cast<RTS_HANDLE>(0x1234), szName, sizeof(szName)), ERR_PARAMETER);
    routergetname_struct ext{nullptr, szName, static_cast<RTS_I32>(sizeof(szName)), -1};
    routergetname(&ext);
    EXPECT_EQ(ext.RouterGetName, ERR_OK);
    EXPECT_STREQ(szName, "Router0");

    ASSERT_EQ(tcp.Unregister(), ERR_OK);
    EXPECT_TRUE(rt.HasLog("Network interface <interface>BlkDrvTcp</interface> unregistered"));
}

TEST(RouterRouting, TcpThenUdpMakesTwoInstancesAndPackagesCrossBetweenThem) {
    TestRuntime rt(Options{});
    ASSERT_TRUE(rt.Started());
    EXPECT_TRUE(
        rt.HasLog("<instances>16</instances> router instances configured, first parallel router offset "
                  "<offset>0</offset>"));
    FakeDriver tcp("BlkDrvTcp", RTS_BLK_DRV_TYPE_TCP, 48, kTcpOwn);
    // A UDP network with 16 host bits: 18-bit addresses in 3 bytes.
    FakeDriver udp("ether 0", RTS_BLK_DRV_TYPE_UDP, 18, {0x00, 0x01, 0x02});
    ASSERT_EQ(tcp.Register(), ERR_OK);
    ASSERT_EQ(udp.Register(), ERR_OK);
    EXPECT_EQ(reinterpret_cast<RTS_UINTPTR>(tcp.Handle()), 0x0000FFFFu);
    EXPECT_EQ(reinterpret_cast<RTS_UINTPTR>(udp.Handle()), 0x0001FFFFu) << "UDP is instance 1's main net";

    NETWORKADDRESS udpPeer = NetAddr({0x00, 0x02, 0x07});
    NODEADDRESS node;
    ASSERT_EQ(RouterCalculateNodeAddr(RTS_BLK_DRV_TYPE_UDP, 18, &udpPeer, &node), ERR_OK);
    EXPECT_EQ(NodeBytes(node), Concat({kTcpOwn, {0x10, 0x00, 0x02, 0x07}})) << "index 1 in the high nibble";
    EXPECT_EQ(RouterCalculateNodeAddr(RTS_BLK_DRV_TYPE_UDP, 17, &udpPeer, &node), ERR_FAILED);
    EXPECT_EQ(RouterCalculateNodeAddr(7, 18, &udpPeer, &node), ERR_FAILED);
    NETWORKADDRESS tcpPeer = NetAddr(kTcpPeer);
    ASSERT_EQ(RouterCalculateNodeAddr(RTS_BLK_DRV_TYPE_TCP, 48, &tcpPeer, &node), ERR_OK);
    EXPECT_EQ(NodeBytes(node), kTcpPeer) << "a neighbour on instance 0's main net";
    ASSERT_EQ(RouterCalculateNodeAddr(RTS_BLK_DRV_TYPE_NONE, 0, &tcpPeer, &node), ERR_OK);
    EXPECT_EQ(NodeBytes(node), kTcpOwn);

    // Sent from instance 0 it crosses into instance 1 and goes out over UDP.
    ASSERT_EQ(RouterCalculateNodeAddr(RTS_BLK_DRV_TYPE_UDP, 18, &udpPeer, &node), ERR_OK);
    Bytes data = {'h', 'i'};
    ASSERT_EQ(RouterSend(nullptr, Peer(&node), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data)), ERR_OK);
    auto sent = udp.SentBlocks();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(NetBytes(sent[0].next), (Bytes{0x00, 0x02, 0x07}));
    Bytes udpOwn = {0x00, 0x00, 0x01, 0x02};
    // Hop counter 13 (two instances), 2 receiver and 6 sender components:
    // instance 1's address, instance 0's index component, the old sender.
    Bytes expected = Concat({{0xC5, 0x6B, 0x40, 0x40, 0x00, 0x62},
                             {0x00, 0x00, 0x02, 0x07},
                             udpOwn,
                             {0x00, 0x00},
                             kTcpOwn,
                             {0x00, 0x00, 'h', 'i'}});
    EXPECT_EQ(sent[0].block, expected);
    EXPECT_TRUE(tcp.SentBlocks().empty());

    // The answer comes back over UDP and is delivered in instance 0 with the
    // peer's node address as instance 0 sees it.
    Pkg answer;
    answer.receiver = Concat({udpOwn, {0x00, 0x00}, kTcpOwn});
    answer.sender = {0x00, 0x00, 0x02, 0x07};
    answer.data = {'o', 'k'};
    ASSERT_EQ(udp.Receive(answer.Build(), {0x00, 0x02, 0x07}), ERR_OK);
    auto got = Handlers::Layer4();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(RouterCalculateNodeAddr(RTS_BLK_DRV_TYPE_UDP, 18, &udpPeer, &node), ERR_OK);
    EXPECT_EQ(got[0].sender, NodeBytes(node));
    EXPECT_EQ(got[0].receiver, kTcpOwn);
    EXPECT_EQ(got[0].data, answer.data);

    // A receiver that ends before instance 1's device address: no route.
    NODEADDRESS cut = Node({0x0000, 0x0A00, 0x0005, 0x1000});
    EXPECT_EQ(RouterSend(nullptr, Peer(&cut), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data)), ERR_NET_NOROUTE);
    // An index nibble naming this very instance, or one not allocated, neither.
    NODEADDRESS self = Node({0x0000, 0x0A00, 0x0005, 0x0000, 0x0001});
    EXPECT_EQ(RouterSend(nullptr, Peer(&self), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data)), ERR_NET_NOROUTE);
    EXPECT_EQ(udp.SentBlocks().size(), 1u);
}

TEST(RouterRouting, SendQueueHoldsThreeBlocksPerInterfaceAndDropsStaleOnes) {
    TestRuntime rt(Options{"[CmpRouter]\nSendQueueTimeout=150\n"});
    ASSERT_TRUE(rt.Started());
    ClockShift restore;
    FakeDriver tcp("BlkDrvTcp", RTS_BLK_DRV_TYPE_TCP, 48, kTcpOwn);
    FakeDriver udp("ether 0", RTS_BLK_DRV_TYPE_UDP, 18, {0x00, 0x01, 0x02});
    ASSERT_EQ(tcp.Register(), ERR_OK);
    ASSERT_EQ(udp.Register(), ERR_OK);
    NODEADDRESS peer = Node({0x2DDC, 0x0A00, 0x0007});
    NODEADDRESS udpNode = Node({0x0000, 0x0A00, 0x0005, 0x1000, 0x0207});
    auto send = [&](NODEADDRESS* pTo, uint8_t byTag, RTS_BOOL bQueue) {
        Bytes data = {byTag};
        return RouterSend2(nullptr, Peer(pTo), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data), bQueue);
    };
    tcp.SetResult(ERR_NOBUFFER);
    udp.SetResult(ERR_NOBUFFER);
    EXPECT_EQ(send(&peer, 0, 0), ERR_NOBUFFER) << "without the queue a busy driver's answer is the caller's";
    for (uint8_t tag = 1; tag <= 3; ++tag) {
        EXPECT_EQ(send(&peer, tag, 1), ERR_OK) << static_cast<int>(tag);
    }
    EXPECT_EQ(send(&peer, 4, 1), ERR_NOBUFFER) << "a fourth block on one interface";
    EXPECT_EQ(RouterGetQueueCount(tcp.Handle()), 3);
    EXPECT_EQ(send(&udpNode, 5, 1), ERR_OK);
    EXPECT_EQ(send(&udpNode, 6, 1), ERR_OK);
    EXPECT_EQ(send(&udpNode, 7, 1), ERR_NOBUFFER) << "the pool holds five blocks for all interfaces";

    rt.CommCycles(2);
    EXPECT_EQ(RouterGetQueueCount(tcp.Handle()), 3) << "blocks dropped although young and the driver busy";
    tcp.SetResult(ERR_OK);
    rt.CommCycles(1);
    auto sent = tcp.SentBlocks();
    ASSERT_EQ(sent.size(), 3u);
    for (uint8_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].block.back(), i + 1) << "queued blocks go out oldest first";
    }
    EXPECT_EQ(RouterGetQueueCount(tcp.Handle()), 0);

    // A block the driver never takes is dropped after the time-out, measured
    // with unsigned differences across the wrap of the millisecond clock.
    udp.SetResult(ERR_NOBUFFER);
    SysTimeSetMsOffset(0);
    RTS_UI32 ulShift = 0xFFFFFF80u - SysTimeGetMs();
    SysTimeSetMsOffset(ulShift);
    tcp.Clear();
    tcp.SetResult(ERR_NOBUFFER);
    EXPECT_EQ(send(&peer, 8, 1), ERR_OK);
    SysTimeSetMsOffset(ulShift + 100);
    rt.CommCycles(1);
    EXPECT_EQ(RouterGetQueueCount(tcp.Handle()), 1) << "dropped before its time (its deadline wraps)";
    SysTimeSetMsOffset(ulShift + 400);
    rt.CommCycles(1);
    EXPECT_EQ(RouterGetQueueCount(tcp.Handle()), 0) << "stale block kept";
    EXPECT_EQ(RouterGetQueueCount(udp.Handle()), 0);
    tcp.SetResult(ERR_OK);
    rt.CommCycles(1);
    EXPECT_TRUE(tcp.SentBlocks().empty()) << "a dropped block was sent later";
}

TEST(RouterRouting, AddressServiceAsksOnTheMainNetAndTakesTheParentsAddress) {
    TestRuntime rt(Options{});
    ASSERT_TRUE(rt.Started());
    // A shared-memory main net has address updates (every 60 s by default).
    FakeDriver shm("shm0", RTS_BLK_DRV_TYPE_SHM, 8, {0x05});
    ASSERT_EQ(shm.Register(), ERR_OK);
    rt.CommCycles(1);
    auto sent = shm.SentBlocks();
    ASSERT_EQ(sent.size(), 1u) << "address request due at once";
    EXPECT_EQ(sent[0].next.nLength, 0u);
    EXPECT_EQ(sent[0].block, (Bytes{0xC5, 0x0B, 0x40, 0x01, 0x00, 0x10, 0x00, 0x05})) << "hop counter 1";
    rt.CommCycles(3);
    EXPECT_EQ(shm.SentBlocks().size(), 1u) << "asked again before the interval";

    auto notification = [](uint8_t byMajor, uint8_t bySubnet, size_t nSize) {
        Bytes c(42, 0);
        c[0] = byMajor;
        c[1] = 1;
        c[2] = ADDRNF_RECURSIVE;
        c[3] = 1;
        c[4] = 0x00;
        c[5] = 0x01;
        c[34] = bySubnet;
        c[38] = 4;
        c[39] = 8;
        c.resize(nSize);
        return c;
    };
    Pkg nf;
    nf.nHop = 1;
    nf.byService = PID_ADDRESSNOTIFICATION;
    nf.sender = {0x00, 0x01};
    nf.data = notification(1, 0x40, 42);
    Pkg twoHops = nf;
    twoHops.nHop = 2;
    Pkg wrongMajor = nf;
    wrongMajor.data = notification(2, 0x40, 42);
    Pkg cut = nf;
    cut.data = notification(1, 0x40, 41);
    for (const Pkg& ignored : {twoHops, wrongMajor, cut}) {
        ASSERT_EQ(shm.Receive(ignored.Build(), {0x01}), ERR_OK);
    }
    NODEADDRESS own;
    ASSERT_EQ(RouterGetHostAddress(nullptr, &own), ERR_OK);
    EXPECT_EQ(NodeBytes(own), (Bytes{0x00, 0x05})) << "an invalid notification changed the address";

    nf.data = notification(1, 0x30, 42);
    ASSERT_EQ(shm.Receive(nf.Build(), {0x01}), ERR_OK);
    ASSERT_EQ(RouterGetHostAddress(nullptr, &own), ERR_OK);
    // Parent address, then the subnet id sharing its byte with the own address.
    EXPECT_EQ(NodeBytes(own), (Bytes{0x00, 0x01, 0x30, 0x05}));
    NODEADDRESS parent;
    ASSERT_EQ(RouterGetParentAddress(nullptr, &parent), ERR_OK);
    EXPECT_EQ(NodeBytes(parent), (Bytes{0x00, 0x01}));
    EXPECT_TRUE(rt.HasLog("Setting router <instance>0</instance> address to <address>(0001:3005)</address>"));

    // With a parent, everything not below this node goes up to it.
    shm.Clear();
    NODEADDRESS far = Node({0x0002, 0x0009});
    Bytes data = {1};
    ASSERT_EQ(RouterSend(nullptr, Peer(&far), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data)), ERR_OK);
    sent = shm.SentBlocks();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(NetBytes(sent[0].next), (Bytes{0x01}));
}

}  // namespace
