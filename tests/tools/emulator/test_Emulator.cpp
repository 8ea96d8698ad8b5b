// The emulator in-process: its options, its reading of layer-3 packages, and
// the client stack (router and TCP driver) exchanging router packages with it
// over loopback, with and without its fault switches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "BlkDrvTcpTypes.h"
#include "CMItf.h"
#include "CmpBlkDrvTcpItf.h"
#include "Emulator.h"
#include "EmulatorNode.h"
#include "EmulatorOptions.h"
#include "RouterTestRuntime.h"

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

}  // namespace
