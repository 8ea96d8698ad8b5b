// The TCP block driver over real loopback connections: the frame on the
// wire, reassembly of frames that arrive in pieces, frames that close the
// connection, a block refused while the previous frame is unwritten and sent
// later from the router's queue, the peer filter, and the inactivity close.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "CMItf.h"
#include "CmpBlkDrvTcpPrivate.h"
#include "CmpRouterPrivate.h"
#include "RouterTestRuntime.h"
#include "TcpTestPeer.h"

using namespace rttest;
using tcptest::Frame;
using tcptest::TcpTestPeer;
using namespace klbdtcp;
using namespace klrouter;

namespace {

const Bytes kOwn = {0x00, 0x00, 127, 0, 0, 1};  // port 0, 127.0.0.1
const RTS_HANDLE kTcpItf = reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>(0xFFFF));

Options TcpOptions(const std::string& extra = "") {
    Options o;
    o.bWithTcp = true;
    o.settings = "[CmpBlkDrvTcp]\nLocalAccessOnly=1\n" + extra;
    return o;
}

RTS_RESULT SendTo(const Bytes& peerNet, const Bytes& data, RTS_BOOL bQueue = 0) {
    NODEADDRESS node;
    memset(&node, 0, sizeof(node));
    node.nLength = 3;
    memcpy(node.address, peerNet.data(), 6);
    Bytes copy = data;
    return RouterSend2(nullptr, Peer(&node), PID_LAYER4, 0, RPRIO_NORMAL, Pdu(copy), bQueue);
}

// A block the peer sends: addressed loosely, the driver puts the addresses right.
Bytes PeerBlock(const Bytes& data) {
    Pkg p;
    p.receiver = {0x00, 0x00, 0x01, 0x02, 0x03, 0x04};
    p.sender = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    p.data = data;
    return p.Build();
}

size_t CountLogs(const TestRuntime& rt, const std::string& text) {
    size_t n = 0;
    for (const std::string& line : rt.Logs(CMPID_CmpBlkDrvTcp)) {
        n += line.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

TEST(BlkDrvTcp, FramesOnTheWireAndReassemblyOfPieces) {
    TestRuntime rt(TcpOptions());
    ASSERT_TRUE(rt.Started());
    EXPECT_TRUE(rt.HasLog("Local network address: <ipaddress>127.0.0.1</ipaddress>"));
    NODEADDRESS own;
    ASSERT_EQ(RouterGetHostAddress(nullptr, &own), ERR_OK);
    EXPECT_EQ(NodeBytes(own), kOwn) << "own port 0 and the bind address";
    TcpTestPeer peer;
    ASSERT_EQ(SendTo(peer.NetAddr(), {'h', 'e', 'l', 'l', 'o'}), ERR_OK);
    ASSERT_TRUE(peer.Accept(5000));
    Bytes header;
    Bytes block;
    ASSERT_TRUE(peer.ReadFrame(&header, &block, 5000));
    EXPECT_EQ(header, (Bytes{0x00, 0x01, 0x17, 0xE8, 33, 0, 0, 0})) << "magic and the whole frame's length";
    Pkg expected;
    expected.nHop = 14;
    expected.receiver = peer.NetAddr();
    expected.sender = kOwn;
    expected.data = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(block, expected.Build());

    // A frame arriving byte by byte is delivered once, with the peer's
    // address as the driver reaches it and its own as receiver.
    Bytes world = PeerBlock({'w', 'o', 'r', 'l', 'd'});
    ASSERT_TRUE(peer.WriteBytewise(Frame(BDTCP_MAGIC, static_cast<uint32_t>(world.size() + 8), world), 300));
    ASSERT_TRUE(Handlers::WaitLayer4(1, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto got = Handlers::Layer4();
    ASSERT_EQ(got.size(), 1u) << "a frame in pieces was delivered more than once";
    EXPECT_EQ(got[0].sender, peer.NetAddr());
    EXPECT_EQ(got[0].receiver, kOwn);
    EXPECT_EQ(got[0].data, (Bytes{'w', 'o', 'r', 'l', 'd'}));

    // Two frames in one write, then a full 512-byte block (frame of 520).
    Handlers::Reset();
    Bytes one = PeerBlock({1});
    Bytes two = PeerBlock({2});
    Bytes both = Frame(BDTCP_MAGIC, static_cast<uint32_t>(one.size() + 8), one);
    Bytes second = Frame(BDTCP_MAGIC, static_cast<uint32_t>(two.size() + 8), two);
    both.insert(both.end(), second.begin(), second.end());
    Bytes full = PeerBlock(Bytes(492, 0x77));
    ASSERT_EQ(full.size(), 512u);
    Bytes fullFrame = Frame(BDTCP_MAGIC, 520, full);
    both.insert(both.end(), fullFrame.begin(), fullFrame.end());
    ASSERT_TRUE(peer.Write(both));
    ASSERT_TRUE(Handlers::WaitLayer4(3, 5000));
    got = Handlers::Layer4();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].data, (Bytes{1}));
    EXPECT_EQ(got[1].data, (Bytes{2}));
    EXPECT_EQ(got[2].data.size(), 492u);
    EXPECT_EQ(peer.Accepted(), 1) << "one connection carries all frames";
}

TEST(BlkDrvTcp, BadFrameHeadersCloseTheConnection) {
    TestRuntime rt(TcpOptions());
    ASSERT_TRUE(rt.Started());
    TcpTestPeer peer;
    Bytes block = PeerBlock({9});
    struct Case {
        Bytes header;
        const char* pszLog;
    } cases[] = {
        {Frame(0xE9170100u, static_cast<uint32_t>(block.size() + 8), {}),
         "Check of MagicTag failed, received tag: <tag>0xE9170100</tag>, synchronization lost"},
        {Frame(BDTCP_MAGIC, 8, {}), "Invalid receive message length: <length>8</length>"},
        {Frame(BDTCP_MAGIC, 521, {}), "Invalid receive message length: <length>521</length>"},
    };
    size_t nClosed = 0;
    for (const Case& c : cases) {
        ASSERT_EQ(SendTo(peer.NetAddr(), {1}), ERR_OK) << c.pszLog;
        ASSERT_TRUE(peer.Accept(5000)) << c.pszLog;
        Bytes h;
        Bytes b;
        ASSERT_TRUE(peer.ReadFrame(&h, &b, 5000));
        Bytes wire = c.header;
        wire.insert(wire.end(), block.begin(), block.end());
        ASSERT_TRUE(peer.Write(wire));
        EXPECT_TRUE(peer.WaitClosed(5000)) << c.pszLog;
        EXPECT_TRUE(rt.WaitLog(c.pszLog, 2000, CMPID_CmpBlkDrvTcp));
        // The record is gone once the supervision logs the close.
        ++nClosed;
        EXPECT_TRUE(kltest::WaitFor(
            [&] {
                return CountLogs(rt, "port <port>" + std::to_string(peer.Port()) + "</port> closed") >=
                       nClosed;
            },
            3000));
    }
    EXPECT_TRUE(Handlers::Layer4().empty()) << "a block behind a bad header was delivered";
    EXPECT_EQ(peer.Accepted(), 3) << "each block after a close opens a new connection";
}

TEST(BlkDrvTcp, BusyFrameIsRefusedAndGoesOutLaterFromTheQueue) {
    TestRuntime rt(TcpOptions());
    ASSERT_TRUE(rt.Started());
    TcpTestPeer peer(4096);
    ASSERT_EQ(SendTo(peer.NetAddr(), {0}), ERR_OK);
    ASSERT_TRUE(peer.Accept(5000));
    Bytes h0;
    Bytes b0;
    ASSERT_TRUE(peer.ReadFrame(&h0, &b0, 5000)) << "connection not established";
    // The peer reads nothing: the stream fills until a frame stays partly
    // unwritten, and the next block is refused as busy.
    Bytes filler(480, 0x11);
    RTS_RESULT r = ERR_OK;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 200000 && std::chrono::steady_clock::now() < deadline; ++i) {
        r = SendTo(peer.NetAddr(), filler);
        if (r != ERR_OK) {
            break;
        }
    }
    ASSERT_EQ(r, ERR_NOBUFFER) << "the stream never filled";
    Bytes marker = {'q', 'u', 'e', 'u', 'e', 'd'};
    ASSERT_EQ(SendTo(peer.NetAddr(), marker, 1), ERR_OK)
        << "the router queues a block the driver cannot take";
    EXPECT_EQ(RouterGetQueueCount(kTcpItf), 1);

    bool bFound = false;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!bFound && std::chrono::steady_clock::now() < deadline) {
        Bytes h;
        Bytes b;
        if (!peer.ReadFrame(&h, &b, 2000)) {
            break;
        }
        ASSERT_EQ(Bytes(h.begin(), h.begin() + 4), (Bytes{0x00, 0x01, 0x17, 0xE8})) << "stream out of step";
        bFound = b.size() >= marker.size() && Bytes(b.end() - 6, b.end()) == marker;
        rt.CommCycles(1);
    }
    EXPECT_TRUE(bFound) << "the queued block never went out";
    EXPECT_EQ(RouterGetQueueCount(kTcpItf), 0);
}

TEST(BlkDrvTcp, PeerAddressFilterRefusesOtherPeers) {
    TestRuntime rt(Options{
        "[CmpBlkDrvTcp]\nLocalAddress=127.0.0.1\nPeerAddress=127.0.0.2\nipaddress=300.1.1.1\n", true, true});
    ASSERT_TRUE(rt.Started());
    EXPECT_TRUE(rt.HasLog("Only allowed peer ip address: <ipaddress>127.0.0.2</ipaddress>"));
    EXPECT_TRUE(rt.HasLog("Invalid ip address <ipaddress>300.1.1.1</ipaddress> configured"));
    EXPECT_TRUE(rt.HasLog("Local network address: <ipaddress>127.0.0.1</ipaddress>"))
        << "the bind address instead";
    TcpTestPeer peer;
    EXPECT_EQ(SendTo(peer.NetAddr(), {1}), ERR_FAILED);
    EXPECT_TRUE(rt.HasLog("Connect to banned address <ipaddress>127.0.0.1</ipaddress> port <port>" +
                          std::to_string(peer.Port()) + "</port> suppressed"));
    EXPECT_FALSE(peer.Accept(300)) << "a banned peer was connected";
}

TEST(BlkDrvTcp, IdleConnectionIsClosedAndTheNextBlockReopensIt) {
    TestRuntime rt(TcpOptions("InactivityTimeout=1\n"));
    ASSERT_TRUE(rt.Started());
    TcpTestPeer peer;
    ASSERT_EQ(SendTo(peer.NetAddr(), {1}), ERR_OK);
    ASSERT_TRUE(peer.Accept(5000));
    Bytes h;
    Bytes b;
    ASSERT_TRUE(peer.ReadFrame(&h, &b, 5000));
    EXPECT_TRUE(peer.WaitClosed(5000)) << "idle connection kept open";
    EXPECT_TRUE(rt.WaitLog("Connection to <ipaddress>127.0.0.1</ipaddress>, port <port>" +
                               std::to_string(peer.Port()) + "</port> closed by timeout",
                           2000, CMPID_CmpBlkDrvTcp));
    ASSERT_EQ(SendTo(peer.NetAddr(), {2}), ERR_OK);
    ASSERT_TRUE(peer.Accept(5000)) << "no new connection after the idle close";
    ASSERT_TRUE(peer.ReadFrame(&h, &b, 5000));
    EXPECT_EQ(b.back(), 2);
}

TEST(BlkDrvTcp, SendArgumentsAndReassemblyBounds) {
    TestRuntime rt(TcpOptions());
    ASSERT_TRUE(rt.Started());
    RTS_HANDLE hMarker = reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>(BDTCP_INTERFACE_MARKER));
    Bytes block(100, 1);
    NETWORKADDRESS to = NetAddr({0x2D, 0xDC, 127, 0, 0, 1});
    EXPECT_EQ(BdSend(reinterpret_cast<RTS_HANDLE>(0x1234), to, Pdu(block)), ERR_PARAMETER);
    EXPECT_EQ(BdSend(hMarker, NetAddr({1, 2, 3, 4}), Pdu(block)), ERR_PARAMETER);
    EXPECT_EQ(BdSend(hMarker, NetAddr({}), Pdu(block)), ERR_OK) << "broadcasts are dropped";
    EXPECT_EQ(BdSend(hMarker, NetAddr(Bytes(6, 0xFF)), Pdu(block)), ERR_OK);
    Bytes big(513, 1);
    EXPECT_EQ(BdSend(hMarker, to, Pdu(big)), ERR_FAILED) << "a block larger than the frame buffer";
    Bytes empty;
    EXPECT_EQ(BdSend(hMarker, to, Pdu(empty)), ERR_FAILED);

    // Reassembly never asks for more than the current header or frame misses.
    std::unique_ptr<TCPCONN> pConn(new TCPCONN());
    auto feed = [&](const Bytes& stream, size_t nChunk) {
        pConn->iNumReceived = 0;
        std::vector<BdTcpRxStatus> out;
        size_t pos = 0;
        while (pos < stream.size()) {
            RTS_UI32 n = BdTcpRxMissing(pConn.get());
            n = static_cast<RTS_UI32>(std::min<size_t>({n, nChunk, stream.size() - pos}));
            memcpy(pConn->msgBufferRx + pConn->iNumReceived, stream.data() + pos, n);
            pos += n;
            BdTcpRxStatus st = BdTcpRxAdvance(pConn.get(), n);
            if (st != BDTCP_RX_INCOMPLETE) {
                out.push_back(st);
                pConn->iNumReceived = 0;
                if (st != BDTCP_RX_FRAME) {
                    break;
                }
            }
        }
        return out;
    };
    Bytes data(512, 3);
    Bytes two = Frame(BDTCP_MAGIC, 520, data);
    Bytes small = Frame(BDTCP_MAGIC, 9, {4});
    two.insert(two.end(), small.begin(), small.end());
    for (size_t chunk : {1u, 7u, 8u, 13u, 600u}) {
        EXPECT_EQ(feed(two, chunk), (std::vector<BdTcpRxStatus>{BDTCP_RX_FRAME, BDTCP_RX_FRAME})) << chunk;
    }
    EXPECT_EQ(feed(Frame(0xE9170100u, 20, Bytes(12, 0)), 3), (std::vector<BdTcpRxStatus>{BDTCP_RX_BADMAGIC}));
    EXPECT_EQ(feed(Frame(BDTCP_MAGIC, 8, {}), 5), (std::vector<BdTcpRxStatus>{BDTCP_RX_BADLENGTH}));
    EXPECT_EQ(feed(Frame(BDTCP_MAGIC, 521, Bytes(513, 0)), 600),
              (std::vector<BdTcpRxStatus>{BDTCP_RX_BADLENGTH}));
    pConn->iNumReceived = 0;
    EXPECT_EQ(BdTcpRxAdvance(pConn.get(), 9), BDTCP_RX_BADLENGTH) << "more bytes than the header misses";
}

}  // namespace
