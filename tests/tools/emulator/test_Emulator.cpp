// The emulator in-process: its options, its reading of layer-3 packages, the
// client stack (router and TCP driver) exchanging router packages with it
// over loopback, with and without its fault switches, and channels carried
// over its UDP name-service socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "BlkDrvTcpTypes.h"
#include "CMItf.h"
#include "CmpBlkDrvTcpItf.h"
#include "Emulator.h"
#include "EmulatorNode.h"
#include "EmulatorOptions.h"
#include "NameServiceResponder.h"
#include "RouterTestRuntime.h"
#include "SysSocketUdp.h"
#include "SysTime.h"

using namespace rttest;

namespace {

bool Parse(std::vector<std::string> args, klemu::EmulatorOptions* pOptions, std::string* pError) {
    std::vector<const char*> argv = {"kestrolink-emulator"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    return klemu::ParseEmulatorOptions(static_cast<int>(argv.size()), argv.data(), pOptions, pError);
}

TEST(EmulatorOptions, ListenAddressSymbolsAndFaultSwitches) {
    kltest::TempDir dir;
    std::string symbols = dir.File("Symbols.xml");
    kltest::WriteFile(symbols, "<Symbolconfiguration/>");
    klemu::EmulatorOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--symbols", symbols}, &o, &error)) << error;
    EXPECT_EQ(o.listenAddress, "127.0.0.1");
    EXPECT_EQ(o.usPort, 11740);
    EXPECT_EQ(o.lCloseAfterFrames, -1);
    EXPECT_FALSE(o.bSplitFrames);
    ASSERT_TRUE(Parse({"--listen", "127.0.0.2:0", "--symbols", symbols, "--close-after-frames", "3",
                       "--corrupt-magic-after", "0", "--split-frames", "--log-level", "debug"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.listenAddress, "127.0.0.2");
    EXPECT_EQ(o.usPort, 0);
    EXPECT_EQ(o.lCloseAfterFrames, 3);
    EXPECT_EQ(o.lCorruptMagicAfter, 0);
    EXPECT_TRUE(o.bSplitFrames);
    EXPECT_EQ(o.logLevel, klemu::LogLevel::Debug);

    EXPECT_FALSE(Parse({"--listen", "192.168.1.10:11740", "--symbols", symbols}, &o, &error));
    EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
    EXPECT_TRUE(
        Parse({"--listen", "192.168.1.10:11740", "--allow-remote", "--symbols", symbols}, &o, &error));
    for (auto bad : std::vector<std::vector<std::string>>{{"--listen", "127.0.0.1"},
                                                          {"--listen", "127.0.0.1:65536"},
                                                          {"--listen", "localhost:5"},
                                                          {"--close-after-frames", "-1"},
                                                          {"--corrupt-magic-after", "x"},
                                                          {"--log-level", "loud"},
                                                          {"--bogus"},
                                                          {"--symbols"},
                                                          {"--symbols", dir.File("missing.xml")}}) {
        EXPECT_FALSE(Parse(bad, &o, &error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(EmulatorNode, ReadsPackagesWithinTheirBoundsAndAnswersLayerFour) {
    klemu::L3Package p;
    p.receiver = {0x2D, 0xDC, 0x7F, 0x00, 0x00, 0x01};
    p.sender = {0x00, 0x00, 0x7F, 0x00, 0x00, 0x01};
    p.byServiceId = klemu::kPidLayer4;
    p.byMessageId = 5;
    p.byFlag1 = 14 << 3;
    p.data = {1, 2, 3};
    std::vector<uint8_t> block = klemu::BuildL3(p);
    ASSERT_EQ(block.size(), 23u);
    klemu::L3Package back;
    ASSERT_TRUE(klemu::ParseL3(block.data(), block.size(), &back));
    EXPECT_EQ(back.receiver, p.receiver);
    EXPECT_EQ(back.data, p.data);
    for (size_t n = 0; n < 20; ++n) {
        EXPECT_FALSE(klemu::ParseL3(block.data(), n, &back)) << "block cut to " << n;
    }
    std::vector<uint8_t> badMarker = block;
    badMarker[0] = 0xC4;
    EXPECT_FALSE(klemu::ParseL3(badMarker.data(), badMarker.size(), &back));

    uint32_t ulIp = 0;
    memcpy(&ulIp, "\x7F\x00\x00\x01", 4);
    klemu::EmulatorNode node(ulIp, 11740);
    EXPECT_EQ(node.AddressText(), "2DDC:7F00:0001");
    const uint8_t abyPeer[6] = {0xC3, 0x50, 0x7F, 0x00, 0x00, 0x01};
    std::vector<uint8_t> reply;
    ASSERT_TRUE(node.HandleBlock(block.data(), block.size(), abyPeer, &reply));
    klemu::L3Package r;
    ASSERT_TRUE(klemu::ParseL3(reply.data(), reply.size(), &r));
    EXPECT_EQ(r.receiver, std::vector<uint8_t>(abyPeer, abyPeer + 6)) << "answered to the peer as reached";
    EXPECT_EQ(r.sender, node.Address());
    EXPECT_EQ(r.byMessageId, 5);
    EXPECT_EQ(r.data, p.data);
    p.byServiceId = 99;
    block = klemu::BuildL3(p);
    EXPECT_FALSE(node.HandleBlock(block.data(), block.size(), abyPeer, &reply));
}

// A client runtime (router and TCP driver) beside an emulator on port 0.
class EmulatorExchange : public ::testing::Test {
protected:
    void StartEmulator(const std::vector<std::string>& extra) {
        symbols_ = dir_.File("Symbols.xml");
        kltest::WriteFile(symbols_, "<Symbolconfiguration/>");
        std::vector<std::string> args = {"--listen",    "127.0.0.1:0", "--symbols",    symbols_,
                                         "--log-level", "error",       "--echo-layer4"};
        args.insert(args.end(), extra.begin(), extra.end());
        klemu::EmulatorOptions o;
        std::string error;
        ASSERT_TRUE(Parse(args, &o, &error)) << error;
        emu_.reset(new klemu::Emulator(o));
        ASSERT_TRUE(emu_->Start(&error)) << error;
        ASSERT_NE(emu_->Port(), 0);
        Options ro;
        ro.bWithTcp = true;
        ro.settings = "[CmpBlkDrvTcp]\nLocalAccessOnly=1\n";
        rt_.reset(new TestRuntime(ro));
        ASSERT_TRUE(rt_->Started());
        const std::vector<uint8_t>& a = emu_->Node().Address();
        memset(&node_, 0, sizeof(node_));
        node_.nLength = 3;
        memcpy(node_.address, a.data(), a.size());
    }
    void TearDown() override {
        rt_.reset();
        if (emu_) {
            emu_->Stop();
        }
    }
    RTS_RESULT Send(const Bytes& data) {
        Bytes copy = data;
        return RouterSend(nullptr, Peer(&node_), PID_LAYER4, 3, RPRIO_NORMAL, Pdu(copy));
    }
    kltest::TempDir dir_;
    std::string symbols_;
    std::unique_ptr<klemu::Emulator> emu_;
    std::unique_ptr<TestRuntime> rt_;
    NODEADDRESS node_;
};

TEST_F(EmulatorExchange, RouterPackagesGoToTheEmulatorAndComeBack) {
    StartEmulator({});
    char szPort[8];
    snprintf(szPort, sizeof(szPort), "%04X", emu_->Port());
    EXPECT_EQ(emu_->Node().AddressText(), std::string(szPort) + ":7F00:0001") << "port and IPv4 address";
    EXPECT_EQ(emu_->StartupLine(),
              "kestrolink-emulator: listening on 127.0.0.1:" + std::to_string(emu_->Port()) +
                  ", node address " + emu_->Node().AddressText() + ", symbols " + symbols_);
    // 492 bytes fill a block between two three-component nodes.
    std::vector<Bytes> messages = {{'p', 'i', 'n', 'g'}, Bytes(492, 0x3C), {0}};
    for (size_t i = 0; i < messages.size(); ++i) {
        ASSERT_EQ(Send(messages[i]), ERR_OK);
        ASSERT_TRUE(Handlers::WaitLayer4(i + 1, 5000)) << "no answer to message " << i;
    }
    auto got = Handlers::Layer4();
    ASSERT_EQ(got.size(), messages.size());
    NODEADDRESS own;
    ASSERT_EQ(RouterGetHostAddress(nullptr, &own), ERR_OK);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].data, messages[i]) << i;
        EXPECT_EQ(got[i].sender, emu_->Node().Address()) << i;
        EXPECT_EQ(got[i].receiver, NodeBytes(own)) << i;
        EXPECT_EQ(got[i].byMessageId, 3) << i;
    }
    EXPECT_EQ(emu_->Accepted(), 1);
    EXPECT_EQ(emu_->FramesReceived(), messages.size());
    Bytes tooBig(493, 1);
    EXPECT_EQ(Send(tooBig), ERR_NET_MSGTOOLARGE);
}

TEST_F(EmulatorExchange, SplitFramesAreDeliveredOnce) {
    StartEmulator({"--split-frames"});
    ASSERT_EQ(Send(Bytes(100, 0x42)), ERR_OK);
    ASSERT_TRUE(Handlers::WaitLayer4(1, 5000));
    EXPECT_FALSE(Handlers::WaitLayer4(2, 300)) << "a frame in single bytes was delivered twice";
    EXPECT_EQ(Handlers::Layer4()[0].data, Bytes(100, 0x42));
}

TEST_F(EmulatorExchange, CorruptMagicLosesSynchronisation) {
    StartEmulator({"--corrupt-magic-after", "0"});
    ASSERT_EQ(Send({1, 2}), ERR_OK);
    EXPECT_TRUE(
        rt_->WaitLog("Check of MagicTag failed, received tag: <tag>0xE9170100</tag>, synchronization lost",
                     5000, CMPID_CmpBlkDrvTcp));
    EXPECT_TRUE(kltest::WaitFor([&] { return emu_->Connections() == 0; }, 5000)) << "connection kept open";
    EXPECT_TRUE(Handlers::Layer4().empty());
}

TEST_F(EmulatorExchange, ClosedConnectionIsOpenedAgainByTheNextPackage) {
    StartEmulator({"--close-after-frames", "1"});
    ASSERT_EQ(Send({1}), ERR_OK);
    ASSERT_TRUE(Handlers::WaitLayer4(1, 5000)) << "answer before the close";
    EXPECT_TRUE(rt_->WaitLog("Connection closed by peer", 5000, CMPID_CmpBlkDrvTcp));
    std::string closed = "port <port>" + std::to_string(emu_->Port()) + "</port> closed";
    ASSERT_TRUE(rt_->WaitLog(closed, 5000, CMPID_CmpBlkDrvTcp));
    ASSERT_EQ(Send({2}), ERR_OK);
    ASSERT_TRUE(Handlers::WaitLayer4(2, 5000)) << "no answer on the new connection";
    EXPECT_EQ(Handlers::Layer4()[1].data, Bytes{2});
    EXPECT_EQ(emu_->Accepted(), 2);
}

TEST_F(EmulatorExchange, RawFramesFromTheEmulatorReachTheClient) {
    StartEmulator({});
    ASSERT_EQ(Send({1}), ERR_OK);
    ASSERT_TRUE(Handlers::WaitLayer4(1, 5000));
    // An unsolicited package of the controller, framed by hand.
    Pkg p;
    p.receiver = {0, 0, 0, 0, 0, 0};
    p.sender = emu_->Node().Address();
    p.data = {'u', 'p'};
    Bytes block = p.Build();
    std::vector<uint8_t> frame(BDTCP_HEADER_SIZE + block.size());
    BdTcpPutFrameHeader(frame.data(), static_cast<RTS_UI32>(block.size()));
    std::copy(block.begin(), block.end(), frame.begin() + BDTCP_HEADER_SIZE);
    emu_->SendRaw(frame);
    ASSERT_TRUE(Handlers::WaitLayer4(2, 5000));
    EXPECT_EQ(Handlers::Layer4()[1].data, (Bytes{'u', 'p'}));
}

// ---- Channels over UDP ---------------------------------------------------------------------

uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1u) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
    }
    return ~crc;
}

void Put16(Bytes* p, uint32_t v) {
    p->push_back(static_cast<uint8_t>(v & 0xFF));
    p->push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void Put32(Bytes* p, uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p, v >> 16);
}

uint32_t Get32(const Bytes& b, size_t at) {
    return b.size() < at + 4
               ? 0
               : static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
                     (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// An open request for a buffer of ulBuffer bytes, its checksum over the
// package with the checksum field taken as 0.
Bytes OpenRequest(uint32_t dwRequestId, uint32_t ulBuffer) {
    Bytes p = {0xC3, 0, 1, 1};
    Put32(&p, 0);
    Put32(&p, dwRequestId);
    Put32(&p, ulBuffer);
    p.push_back(4);
    p.push_back(0);
    Put16(&p, 0);
    uint32_t crc = Crc32(p.data(), p.size());
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = static_cast<uint8_t>((crc >> (8 * i)) & 0xFF);
    }
    return p;
}

// A client of the UDP responder on another of the four ports, speaking
// layer 3 and 4 by hand.
struct UdpClient {
    RTS_HANDLE h = RTS_INVALID_HANDLE;
    uint16_t usPort = 0;
    Bytes address;
    ~UdpClient() {
        if (h != RTS_INVALID_HANDLE) {
            SysSockClose(h);
        }
    }
    bool Open(int iSkipIndex) {
        for (int i = 0; i < 4 && h == RTS_INVALID_HANDLE; ++i) {
            RTS_RESULT r = ERR_OK;
            if (i != iSkipIndex) {
                h = SysSockUdpOpen(SysSockHtonl(0x7F000001u), static_cast<RTS_UI16>(1740 + i),
                                   SYS_UDP_NONBLOCKING, 0, &r);
                usPort = static_cast<uint16_t>(1740 + i);
            }
        }
        address = klemu::UdpNodeAddress(SysSockHtonl(0x7F000001u), SysSockHtonl(0xFF000000u), usPort - 1740);
        return h != RTS_INVALID_HANDLE;
    }
    void Send(const klemu::NameServiceUdpResponder& to, const Bytes& data, Bytes receiver = {}) {
        klemu::L3Package p;
        p.byFlag1 = 15 << 3;
        p.byFlag2 = 1 << 6;
        p.byServiceId = klemu::kPidLayer4;
        p.receiver = receiver.empty() ? to.NodeAddress() : receiver;
        p.sender = address;
        p.data = data;
        Bytes block = klemu::BuildL3(p);
        SOCKADDRESS sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = SOCKET_AF_INET;
        sa.sin_addr = SysSockHtonl(0x7F000001u);
        sa.sin_port = SysSockHtons(static_cast<RTS_UI16>(1740 + to.PortIndex()));
        RTS_RESULT r = ERR_OK;
        SysSockSendTo(h, block.data(), block.size(), 0, &sa, sizeof(sa), &r);
        EXPECT_EQ(r, ERR_OK);
    }
    // The next datagram within ulWaitMs, as received.
    bool Receive(Bytes* pDatagram, uint32_t ulWaitMs = 3000) {
        const uint32_t ulStart = SysTimeGetMs();
        while (SysTimeGetMs() - ulStart < ulWaitMs) {
            SOCKET_FD_SET rd;
            SysSockFdZero(&rd);
            SysSockFdSet(h, &rd);
            SOCKET_TIMEVAL tv{0, 20000};
            RTS_I32 nReady = 0;
            SysSockSelect(&rd, nullptr, nullptr, &tv, &nReady);
            uint8_t ab[2048];
            SOCKADDRESS from;
            int iSize = sizeof(from);
            RTS_RESULT r = ERR_OK;
            RTS_SIZE n = SysSockRecvFrom(h, ab, sizeof(ab), 0, &from, &iSize, &r);
            if (r == ERR_OK) {
                pDatagram->assign(ab, ab + n);
                return true;
            }
        }
        return false;
    }
};

TEST(NameServiceUdpResponder, CarriesChannelsOfUdpPeersApartFromTheRouterNodes) {
    klemu::ChannelServerOptions co;
    co.ulRtoMs = 50;
    co.ulKeepAliveMs = 60000;
    klemu::ChannelServer server(co);  // answers each request with its bytes complemented
    klemu::NameServiceOptions no;
    no.bUdp = true;
    klemu::NameServiceUdpResponder responder(no);
    responder.SetChannelServer(&server);
    std::string error;
    if (!responder.Start(&error)) {
        GTEST_SKIP() << error;
    }
    UdpClient client;
    if (!client.Open(responder.PortIndex())) {
        GTEST_SKIP() << "no second free UDP port of 1740..1743 on 127.0.0.1";
    }

    // A package for another node is not this node's channel; the open that
    // follows is answered from the node address the name service gives.
    Bytes other = responder.NodeAddress();
    other.back() ^= 0x40;
    client.Send(responder, OpenRequest(7, 4096), other);
    client.Send(responder, OpenRequest(8, 4096));
    Bytes datagram;
    ASSERT_TRUE(client.Receive(&datagram));
    klemu::L3Package in;
    ASSERT_TRUE(klemu::ParseL3(datagram.data(), datagram.size(), &in));
    EXPECT_EQ(in.byServiceId, klemu::kPidLayer4);
    EXPECT_EQ(in.sender, responder.NodeAddress());
    EXPECT_EQ(in.receiver, client.address);
    ASSERT_GE(in.data.size(), 24u);
    EXPECT_EQ(in.data[0], 0x83);
    EXPECT_EQ(Get32(in.data, 8), 8u) << "answer to the second request";
    EXPECT_EQ(in.data[12] | (in.data[13] << 8), 0) << "accepted";
    const uint16_t wId = static_cast<uint16_t>(in.data[14] | (in.data[15] << 8));
    EXPECT_EQ(Get32(in.data, 16), 4096u);
    EXPECT_EQ(server.OpenRequestsSeen(), 1u);

    // A TCP client's package stays for the router node's side.
    const Bytes tcpPeer = {0xC3, 0x50, 0x7F, 0x00, 0x00, 0x01};
    Bytes open9 = OpenRequest(9, 4096);
    server.HandlePackage(tcpPeer, open9.data(), open9.size(), 492);
    SysTaskWaitSleep(nullptr, 30);  // several rounds of the responder's task
    auto tcpOut = server.TakeOutgoing(klemu::IsNodeAddressKey);
    ASSERT_EQ(tcpOut.size(), 1u);
    EXPECT_EQ(tcpOut[0].peer, tcpPeer);
    EXPECT_EQ(server.NumChannels(), 2u);

    // A request of three blocks: with four-byte addresses on both ends a
    // block is 496 bytes, so that header and block make one 512-byte datagram.
    Bytes request(1000);
    for (size_t i = 0; i < request.size(); ++i) {
        request[i] = static_cast<uint8_t>(i * 7);
    }
    const size_t aCut[] = {0, 476, 960, 1000};
    for (uint32_t b = 1; b <= 3; ++b) {
        Bytes blk = {1, static_cast<uint8_t>(0x80 | (b == 1 ? 1 : 0))};
        Put16(&blk, wId);
        Put32(&blk, b);
        Put32(&blk, 0);
        if (b == 1) {
            Put32(&blk, static_cast<uint32_t>(request.size()));
            Put32(&blk, Crc32(request.data(), request.size()));
        }
        blk.insert(blk.end(), request.begin() + aCut[b - 1], request.begin() + aCut[b]);
        client.Send(responder, blk);
    }
    // The response comes in blocks; unacknowledged, the first comes again
    // from the server's timer.
    std::map<uint32_t, Bytes> blocks;
    size_t nLargest = 0;
    int nFirstSeen = 0;
    uint32_t dwAcked = 0;
    for (int i = 0; i < 200 && (blocks.size() < 3 || nFirstSeen < 2) && client.Receive(&datagram); ++i) {
        nLargest = std::max(nLargest, datagram.size());
        ASSERT_TRUE(klemu::ParseL3(datagram.data(), datagram.size(), &in));
        ASSERT_EQ(in.receiver, client.address);
        if (in.data.size() >= 8 && in.data[0] == 2) {
            dwAcked = Get32(in.data, 4);
        } else if (in.data.size() > 12 && in.data[0] == 1) {
            uint32_t dwBlock = Get32(in.data, 4);
            nFirstSeen += dwBlock == 1 ? 1 : 0;
            blocks[dwBlock] = in.data;
        }
    }
    EXPECT_EQ(dwAcked, 3u) << "every request block taken";
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_GE(nFirstSeen, 2) << "no retransmission over UDP";
    EXPECT_EQ(nLargest, klemu::kUdpMaxBlock);
    EXPECT_EQ(Get32(blocks[1], 12), request.size());
    Bytes response(blocks[1].begin() + 20, blocks[1].end());
    response.insert(response.end(), blocks[2].begin() + 12, blocks[2].end());
    response.insert(response.end(), blocks[3].begin() + 12, blocks[3].end());
    EXPECT_EQ(response, klemu::ChannelServerEchoResponse(request));
    EXPECT_EQ(Get32(blocks[1], 16), Crc32(response.data(), response.size()));
    EXPECT_GE(responder.ChannelPackagesIn(), 4u);
    EXPECT_GE(responder.ChannelPackagesOut(), 5u);
    EXPECT_EQ(responder.Requests(), 0u) << "channel packages are no naming requests";
    responder.Stop();
}

}  // namespace
