// The router's packages: exact bytes on the wire, the receive path's checks
// of malformed blocks, local delivery to the protocol handlers with the router
// error layout, and the largest message that fits one block.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "CMItf.h"
#include "CmpRouterPrivate.h"
#include "RouterTestRuntime.h"
#include "SysSem.h"
#include "SysTask.h"

using namespace rttest;
using namespace klrouter;

namespace {

const Bytes kTcpOwn = {0x00, 0x00, 0x0A, 0x00, 0x00, 0x05};   // port 0, 10.0.0.5
const Bytes kTcpPeer = {0x2D, 0xDC, 0x0A, 0x00, 0x00, 0x07};  // port 11740, 10.0.0.7

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

NODEADDRESS NodeOf(const Bytes& b) {
    NODEADDRESS a;
    memset(&a, 0, sizeof(a));
    a.nLength = static_cast<RTS_UI32>(b.size() / 2);
    memcpy(a.address, b.data(), b.size());
    return a;
}

TEST(RouterPackages, ExactBytesOfUnicastAndBroadcastPackages) {
    TestRuntime rt(Options{});
    ASSERT_TRUE(rt.Started());
    FakeDriver tcp("BlkDrvTcp", RTS_BLK_DRV_TYPE_TCP, 48, kTcpOwn);
    ASSERT_EQ(tcp.Register(), ERR_OK);
    EXPECT_EQ(reinterpret_cast<RTS_UINTPTR>(tcp.Handle()), 0xFFFFu) << "main net of instance 0";
    NODEADDRESS own;
    ASSERT_EQ(RouterGetHostAddress(nullptr, &own), ERR_OK);
    EXPECT_EQ(NodeBytes(own), kTcpOwn) << "a TCP node starts with port 0 and its IPv4 address";

    NODEADDRESS peer = NodeOf(kTcpPeer);
    Bytes data = {'A', 'B', 'C'};
    ASSERT_EQ(RouterSend2(nullptr, Peer(&peer), PID_LAYER4, 0x42, RPRIO_HIGH, Pdu(data), 0), ERR_OK);
    auto sent = tcp.SentBlocks();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(NetBytes(sent[0].next), kTcpPeer);
    // Marker, 3 header words with the hop counter (15, less the one of this
    // router), priority high, service 64, message id, 3+3 components,
    // receiver, sender, 2 padding bytes, data.
    Bytes expected = {0xC5, 0x73, 0x80, 0x40, 0x42, 0x33};
    expected = Concat(Concat(Concat(expected, kTcpPeer), kTcpOwn), {0x00, 0x00, 'A', 'B', 'C'});
    EXPECT_EQ(sent[0].block, expected);

    PEERADDRESS r;
    PEERADDRESS s;
    RTS_I32 nOffset = 0;
    EXPECT_EQ(RouterGetBlkAddresses(Pdu(sent[0].block), &r, &s, &nOffset), ERR_OK);
    EXPECT_EQ(nOffset, 20);
    EXPECT_EQ(r.nLength, 3u);
    EXPECT_EQ(s.nLength, 3u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(s.pAddress), sent[0].block.data() + 12)
        << "addresses are views into the block";
    PEERADDRESS peerView = Peer(&peer);
    EXPECT_TRUE(RouterCompareAddresses(&r, &peerView));
    EXPECT_FALSE(RouterCompareAddresses(&s, &peerView));
    PEERADDRESS rel1{AT_RELATIVE, 1, 3, peer.address};
    PEERADDRESS rel2{AT_RELATIVE, 2, 3, peer.address};
    EXPECT_FALSE(RouterCompareAddresses(&rel1, &rel2)) << "relative addresses differ by their offsets";
    EXPECT_EQ(RouterGetBlkAddresses(Pdu(sent[0].block), nullptr, &s, nullptr), ERR_PARAMETER);
    Bytes shortBlock(sent[0].block.begin(), sent[0].block.begin() + 19);
    EXPECT_EQ(RouterGetBlkAddresses(Pdu(shortBlock), &r, &s, nullptr), ERR_FAILED)
        << "block ends inside the header";

    // Broadcasts are for name-service requests only; they carry a broadcast id.
    tcp.Clear();
    PEERADDRESS everyone{AT_ABSOLUTE, 0, 0, nullptr};
    EXPECT_EQ(RouterSend2(nullptr, everyone, PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data), 1), ERR_PARAMETER);
    ASSERT_EQ(RouterSend2(nullptr, everyone, PID_NAMINGREQUEST, 7, RPRIO_NORMAL, Pdu(data), 1), ERR_OK);
    sent = tcp.SentBlocks();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].next.nLength, 0u) << "a broadcast goes to the network's broadcast address";
    const Bytes& b = sent[0].block;
    ASSERT_EQ(b.size(), 16u + 3u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 6), (Bytes{0xC5, 0x74, 0x40, 0x03, 0x07, 0x30}));
    EXPECT_NE((b[6] << 8) | b[7], 0) << "broadcast id";
    EXPECT_EQ(Bytes(b.begin() + 8, b.begin() + 14), kTcpOwn);
    EXPECT_EQ(Bytes(b.begin() + 14, b.begin() + 16), (Bytes{0, 0}));

    // Broadcasts sent back to back, most within one millisecond, each get an
    // id of their own: none is refused as a repeat, none is dropped.
    tcp.Clear();
    std::set<int> ids;
    for (int i = 0; i < 15; ++i) {
        ASSERT_EQ(RouterSend2(nullptr, everyone, PID_NAMINGREQUEST, 7, RPRIO_NORMAL, Pdu(data), 1), ERR_OK)
            << "broadcast " << i;
    }
    for (const auto& blk : tcp.SentBlocks()) {
        ids.insert((blk.block[6] << 8) | blk.block[7]);
    }
    EXPECT_EQ(ids.size(), 15u);
}

TEST(RouterPackages, ReceivePathDropsMalformedBlocksAndDeliversTheRest) {
    TestRuntime rt(Options{});
    ASSERT_TRUE(rt.Started());
    FakeDriver tcp("BlkDrvTcp", RTS_BLK_DRV_TYPE_TCP, 48, kTcpOwn);
    ASSERT_EQ(tcp.Register(), ERR_OK);
    Pkg good;
    good.receiver = kTcpOwn;
    good.sender = kTcpPeer;
    good.byMessageId = 9;
    good.data = {1, 2, 3, 4};
    Bytes block = good.Build();

    Bytes five(block.begin(), block.begin() + 5);
    Bytes big = block;
    big.resize(513, 0xEE);
    Bytes badMarker = block;
    badMarker[0] = 0xC4;
    Bytes twoWords = block;
    twoWords[1] = static_cast<uint8_t>((twoWords[1] & 0xF8) | 2);
    Bytes truncated(block.begin(), block.begin() + 18);  // before the data offset of 20
    Pkg noSender = good;
    noSender.sender.clear();
    Pkg toOther = good;
    toOther.receiver = kTcpPeer;  // a neighbour on the network it came from
    for (const Bytes& bad : {five, big, badMarker, twoWords, truncated, noSender.Build(), toOther.Build()}) {
        EXPECT_EQ(tcp.Receive(bad, kTcpPeer), ERR_OK) << "the driver is never told about a drop";
    }
    EXPECT_TRUE(Handlers::Layer4().empty()) << "a malformed block reached layer 4";
    EXPECT_TRUE(tcp.SentBlocks().empty()) << "a package went back out of the network it came from";

    ASSERT_EQ(tcp.Receive(block, kTcpPeer), ERR_OK);
    auto got = Handlers::Layer4();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].byServiceId, PID_LAYER4);
    EXPECT_EQ(got[0].byMessageId, 9);
    EXPECT_EQ(got[0].sender, kTcpPeer);
    EXPECT_EQ(got[0].receiver, kTcpOwn);
    EXPECT_EQ(got[0].data, good.data);
    EXPECT_EQ(got[0].hInterface, tcp.Handle());
    EXPECT_EQ(got[0].nRouterError, 0);

    // Router errors: the code is the first word (big-endian), the content
    // starts 4 bytes in; shorter contents carry no data.
    struct Case {
        Bytes content;
        RTS_I32 nError;
        Bytes data;
    } cases[] = {{{0x01, 0x02, 0xAA, 0xBB, 'x', 'y'}, 0x0102, {'x', 'y'}},
                 {{0x01, 0x02, 0xAA}, 0x0102, {}},
                 {{0x01, 0x02}, 0x0102, {}},
                 {{0x07}, 1, {}},
                 {{}, 1, {}}};
    for (const Case& c : cases) {
        Handlers::Reset();
        Pkg e = good;
        e.bRouterError = true;
        e.data = c.content;
        ASSERT_EQ(tcp.Receive(e.Build(), kTcpPeer), ERR_OK);
        got = Handlers::Layer4();
        ASSERT_EQ(got.size(), 1u) << c.content.size();
        EXPECT_EQ(got[0].nRouterError, c.nError) << c.content.size();
        EXPECT_EQ(got[0].data, c.data) << c.content.size();
    }

    // Naming responses go to the name service; unknown services nowhere.
    Handlers::Reset();
    Pkg naming = good;
    naming.byService = PID_NAMINGRESPONSE;
    Pkg unknown = good;
    unknown.byService = 99;
    ASSERT_EQ(tcp.Receive(naming.Build(), kTcpPeer), ERR_OK);
    ASSERT_EQ(tcp.Receive(unknown.Build(), kTcpPeer), ERR_OK);
    EXPECT_EQ(Handlers::Naming().size(), 1u);
    EXPECT_TRUE(Handlers::Layer4().empty());
}

std::atomic<int> g_lockFreeInHandler{-1};

void TryRouterLock(SYS_TASK_PARAM*) {
    bool bFree = SysSemTry(g_router.hLock) == ERR_OK;
    if (bFree) {
        SysSemLeave(g_router.hLock);
    }
    g_lockFreeInHandler = bFree ? 1 : 0;
}

void ProbeRouterLock(const Delivery&) {
    // Another task must be able to take the router lock while layer 4 runs.
    RTS_HANDLE hTask =
        SysTaskCreate("LockProbe", TryRouterLock, nullptr, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, nullptr);
    if (hTask != RTS_INVALID_HANDLE) {
        SysTaskResume(hTask);
        kltest::WaitFor([] { return g_lockFreeInHandler.load() != -1; }, 5000);
        SysTaskExit(hTask, 5000);
    }
    NODEADDRESS peer = Node({0x2DDC, 0x0A00, 0x0007});
    Bytes answer = {'o', 'k'};
    RouterSend(nullptr, Peer(&peer), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(answer));
}

TEST(RouterPackages, LayerFourRunsWithoutTheRouterLockAndMaySend) {
    TestRuntime rt(Options{});
    ASSERT_TRUE(rt.Started());
    FakeDriver tcp("BlkDrvTcp", RTS_BLK_DRV_TYPE_TCP, 48, kTcpOwn);
    ASSERT_EQ(tcp.Register(), ERR_OK);
    g_lockFreeInHandler = -1;
    Handlers::SetLayer4Hook(ProbeRouterLock);
    Pkg in;
    in.receiver = kTcpOwn;
    in.sender = kTcpPeer;
    in.data = {1};
    ASSERT_EQ(tcp.Receive(in.Build(), kTcpPeer), ERR_OK);
    EXPECT_EQ(g_lockFreeInHandler.load(), 1) << "router lock held during the layer-4 call";
    auto sent = tcp.SentBlocks();
    ASSERT_EQ(sent.size(), 1u) << "the answer sent from the handler";
    EXPECT_EQ(Bytes(sent[0].block.end() - 2, sent[0].block.end()), (Bytes{'o', 'k'}));
}

TEST(RouterPackages, LargestMessageForASixteenByteHeader) {
    TestRuntime rt(Options{});
    ASSERT_TRUE(rt.Started());
    // A 4-byte device address gives a node address of 2 components; with a
    // 3-component peer the header takes 6 + 2 * 5 = 16 bytes.
    FakeDriver shm("shm0", RTS_BLK_DRV_TYPE_SHM, 32, {0, 0, 0, 9});
    ASSERT_EQ(shm.Register(), ERR_OK);
    NODEADDRESS peer = Node({0x0000, 0x0011, 0x0001});
    RTS_UI16 wMax = 0;
    ASSERT_EQ(RouterGetMaxMessageSize(nullptr, Peer(&peer), &wMax), ERR_OK);
    EXPECT_EQ(wMax, 496);
    ASSERT_EQ(RouterGetMaxMessageSizeByAddressLength(nullptr, 5, &wMax), ERR_OK);
    EXPECT_EQ(wMax, 496);
    ASSERT_EQ(RouterGetMaxMessageSizeByAddressLength(nullptr, 4, &wMax), ERR_OK);
    EXPECT_EQ(wMax, 496) << "14 bytes are padded to 16";
    EXPECT_EQ(RouterGetMaxMessageSizeByAddressLength(nullptr, 253, &wMax), ERR_NET_MSGTOOLARGE);
    EXPECT_EQ(wMax, 0);

    Bytes data(497, 0x5A);
    EXPECT_EQ(RouterSend2(nullptr, Peer(&peer), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data), 0),
              ERR_NET_MSGTOOLARGE);
    EXPECT_TRUE(shm.SentBlocks().empty());
    data.resize(496);
    ASSERT_EQ(RouterSend2(nullptr, Peer(&peer), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data), 0), ERR_OK);
    auto sent = shm.SentBlocks();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].block.size(), 512u);
    EXPECT_EQ(NetBytes(sent[0].next), (Bytes{0, 0, 0, 0x11}));

    RTS_UI8 bySize = 0;
    EXPECT_EQ(RouterGetMaxAddressSize(nullptr, Peer(&peer), &bySize), ERR_OK);
    EXPECT_EQ(bySize, 5);
    PEERADDRESS none{AT_ABSOLUTE, 0, 0, nullptr};
    NODEADDRESS own;
    ASSERT_EQ(RouterGetHostAddress(nullptr, &own), ERR_OK);
    EXPECT_EQ(own.nLength, 2u);
    EXPECT_EQ(RouterGetMaxAddressSize(nullptr, none, &bySize), ERR_OK);
}

TEST(RouterPackages, EveryOperationWaitsForTheRouterToStart) {
    ASSERT_FALSE(CMIsRunning());
    NODEADDRESS peer = Node({1, 2, 3});
    Bytes data = {1};
    RTS_UI16 w = 0;
    RTS_HANDLE h = nullptr;
    NETWORKINTERFACEINFO2 info{};
    EXPECT_EQ(RouterSend2(nullptr, Peer(&peer), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(data), 0),
              ERR_NOTINITIALIZED);
    EXPECT_EQ(RouterHandleData(reinterpret_cast<RTS_HANDLE>(0xFFFF), NETWORKADDRESS{}, Pdu(data), 0),
              ERR_NOTINITIALIZED);
    EXPECT_EQ(RouterRegisterNetworkInterface2(&info, &h), ERR_NOTINITIALIZED);
    EXPECT_EQ(h, RTS_INVALID_HANDLE);
    EXPECT_EQ(RouterGetMaxMessageSize(nullptr, Peer(&peer), &w), ERR_NOTINITIALIZED);
    // Parsing needs no router.
    Pkg p;
    p.receiver = {0, 1};
    p.sender = {0, 2};
    Bytes block = p.Build();
    PEERADDRESS r;
    PEERADDRESS s;
    EXPECT_EQ(RouterGetBlkAddresses(Pdu(block), &r, &s, nullptr), ERR_OK);
}

}  // namespace
