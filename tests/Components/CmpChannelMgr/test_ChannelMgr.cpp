// The channel client and manager over a recording router: open and close
// packages byte for byte, open retries and refusals, block cutting with the
// first-block header, acknowledgements, retransmission with the adaptive
// time-out, the congestion window, out-of-order storing, checksum errors,
// keep-alives and the channel time-out. The clock is moved by hand.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "ChannelTestSupport.h"

using namespace kltest;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return v;
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override { Start(""); }
    void TearDown() override {
        if (CMIsRunning()) {
            CMExit();
        }
        SysTimeSetMsOffset(0);
    }
    void Start(const std::string& extraSettings) {
        if (CMIsRunning()) {
            CMExit();
        }
        FakeRouter::Get().Reset();
        m_offset = 0;
        SysTimeSetMsOffset(0);
        std::string ini = m_dir.File("Kestrolink.ini");
        WriteFile(ini, "[CmpChannelMgr]\n" + extraSettings);
        static const StaticComponent kList[] = {
            {"CmpMemPool", CmpMemPool__Entry, 1},
            {"CmpSettings", CmpSettings__Entry, 1},
            {"CmpLog", CmpLog__Entry, 1},
            {"CmpChecksum", CmpChecksum__Entry, 0},
            {"CmpRouter", FakeRouter__Entry, 0},
            {"CmpChannelMgr", CmpChannelMgr__Entry, 0},
            {"CmpChannelClient", CmpChannelClient__Entry, 0},
            {nullptr, nullptr, 0},
        };
        ASSERT_EQ(CMInit2(ini.c_str(), kList, 0), ERR_OK);
        NetClientSetOpenTiming(0, CHCLIENT_OPEN_RETRY_MS);
    }
    void Advance(RTS_UI32 ms) {
        m_offset += ms;
        SysTimeSetMsOffset(m_offset);
    }
    void Cycle() { CMCallHook(CH_COMM_CYCLE, 0, 0, 0); }
    PEERADDRESS Peer() {
        PEERADDRESS a{AT_ABSOLUTE, 0, 3, m_peer};
        return a;
    }
    RTS_RESULT Deliver(const std::vector<uint8_t>& pkg) { return CallChannelMgrHandleData(Peer(), pkg); }
    // Opens a channel with id wId, granted size dwGranted; returns its handle.
    RTS_UI16 Open(uint16_t wId = 7, uint32_t dwGranted = 0x10000) {
        RTS_UI32 reqId = 0;
        EXPECT_EQ(NetClientOpenChannel(Peer(), 0x10000, &reqId), ERR_PENDING);
        FakeRouter::Get().Take();
        Deliver(OpenResponse(reqId, 0, wId, dwGranted));
        RTS_UI16 wHandle = 0;
        RTS_UI32 dwSize = 0;
        RTS_BOOL bBig = 0;
        EXPECT_EQ(NetClientOpenChannelResult(reqId, &wHandle, &dwSize, &bBig), ERR_OK);
        EXPECT_EQ(NetClientRegisterAppInterface(wHandle, &m_app.itf), ERR_OK);
        return wHandle;
    }
    CHANNELBUFFER Info(uint16_t wId = 7) {
        CHANNELBUFFER info{};
        CHANNELBUFFER* pCh = nullptr;
        PEERADDRESS peer = Peer();
        EXPECT_EQ(NetClientGetChannel(&peer, wId, &pCh), ERR_OK);
        if (pCh != nullptr) {
            NetworkGetChannelInfo(pCh, &info);
            NetClientReleaseChannel(pCh);
        }
        return info;
    }
    // Sends a whole response of the server starting at block dwFirst.
    void Respond(const std::vector<uint8_t>& msg, uint32_t dwFirst, uint32_t dwAck, uint16_t wId = 7) {
        size_t pos = 0;
        uint32_t b = dwFirst;
        while (pos < msg.size()) {
            bool bFirst = pos == 0;
            size_t n = std::min<size_t>(msg.size() - pos, bFirst ? 472 : 480);
            Deliver(DataBlock(wId, b++, dwAck, msg.data() + pos, n, bFirst, static_cast<uint32_t>(msg.size()),
                              Crc32(msg)));
            pos += n;
        }
    }

    TempDir m_dir;
    RTS_UI32 m_offset = 0;
    ADDRESSCOMPONENT m_peer[3] = {{{0x2D, 0xDC}}, {{0x7F, 0x00}}, {{0x00, 0x01}}};
    AppRecorder m_app;
};

TEST(ChannelSizes, AllocationFormulaAndItsInverse) {
    // 16 n + 128 + M, n the block count for payloads of wMaxBlockSize - 20
    // rounded up to a power of 2 (at least 2).
    EXPECT_EQ(NetworkGetChBufferSize(472, 492), 16u * 2 + 128 + 472);
    EXPECT_EQ(NetworkGetChBufferSize(944, 492), 16u * 2 + 128 + 944);
    EXPECT_EQ(NetworkGetChBufferSize(945, 492), 16u * 4 + 128 + 945);
    EXPECT_EQ(NetworkGetChBufferSize(100000, 492), 16u * 256 + 128 + 100000);
    for (RTS_UI32 m : {1u, 471u, 472u, 473u, 1888u, 1889u, 5000u, 65536u, 100000u, 262144u}) {
        RTS_UI16 n = 0;
        EXPECT_EQ(ChannelMgrGetCommBufferSize(NetworkGetChBufferSize(m, 492), 492, &n), m) << m;
        EXPECT_GE(n * 472u, m);
    }
    // A block with no room behind the first-block header, or a table beyond
    // 16 bits, gives no channel.
    EXPECT_EQ(NetworkGetChBufferSize(1000, 20), 0u);
    EXPECT_EQ(NetworkGetChBufferSize(1000, 0), 0u);
    EXPECT_EQ(NetworkGetChBufferSize(0xFFFFFFFFu, 492), 0u);
    EXPECT_EQ(ChannelMgrGetCommBufferSize(127, 492, nullptr), 0u);
    EXPECT_EQ(ChannelMgrGetCommBufferSize(4096, 20, nullptr), 0u);
}

TEST(ChannelWindow, GrowsHalvesAndFreezes) {
    CHANNELBUFFER ch{};
    ch.wCWnd = 2;
    ch.wLastCWnd = 2;
    RTS_UI32 t = 1000;
    for (int i = 0; i < 5; ++i) {
        ChannelMgrUpdateWindowSize(&ch, 0, t);
    }
    EXPECT_EQ(ch.wCWnd, 2);
    ChannelMgrUpdateWindowSize(&ch, 0, t);  // 3 x 2 steps
    EXPECT_EQ(ch.wCWnd, 3);
    for (int i = 0; i < 400; ++i) {
        ChannelMgrUpdateWindowSize(&ch, 0, t);
    }
    EXPECT_EQ(ch.wCWnd, CHMGR_WINDOW_MAX);
    // Losses: halved (rounding up) once per window of steps.
    auto loss = [&](int steps) {
        for (int i = 0; i < steps; ++i) {
            ChannelMgrUpdateWindowSize(&ch, 1, t);
        }
    };
    ch.wCWndCheckCount = 0;
    loss(15);
    EXPECT_EQ(ch.wCWnd, 8);
    EXPECT_EQ(ch.wLastCWnd, 15);
    // Losses twice at the same window freeze it there for 60 s.
    ch.wCWnd = 6;
    ch.wLastCWnd = 6;
    ch.wGoodCWnd = 0;
    ch.wGoodCWndCount = 0;
    ch.wCWndCheckCount = 0;
    loss(6);  // good 6, count 1; window 3
    EXPECT_EQ(ch.wCWnd, 3);
    ch.wCWnd = 6;
    ch.wLastCWnd = 6;
    loss(6);  // count 2
    EXPECT_EQ(ch.wGoodCWndCount, 2);
    ch.wCWnd = 6;
    ch.wLastCWnd = 6;
    loss(6);  // frozen at 6
    EXPECT_EQ(ch.wCWnd, 6);
    EXPECT_EQ(ch.wGoodCWndCount, 3);
    for (int i = 0; i < 100; ++i) {
        ChannelMgrUpdateWindowSize(&ch, 0, t + 1000);
    }
    EXPECT_EQ(ch.wCWnd, 6) << "a frozen window does not grow";
    ChannelMgrUpdateWindowSize(&ch, 0, t + 60001);  // released
    EXPECT_EQ(ch.wGoodCWndCount, 2);
    for (int i = 0; i < 18; ++i) {
        ChannelMgrUpdateWindowSize(&ch, 0, t + 60002);
    }
    EXPECT_EQ(ch.wCWnd, 7);
    // Never below 1.
    ch.wCWnd = 1;
    ch.wLastCWnd = 1;
    ch.wGoodCWndCount = 0;
    loss(3);
    EXPECT_EQ(ch.wCWnd, 1);
}

TEST_F(ChannelTest, OpenRequestResponseAndRefusals) {
    RTS_UI32 reqId = 0;
    ADDRESSCOMPONENT none[1] = {};
    EXPECT_EQ(NetClientOpenChannel(PEERADDRESS{AT_ABSOLUTE, 0, 0, none}, 100, &reqId), ERR_PARAMETER);
    ASSERT_EQ(NetClientOpenChannel(Peer(), 0x10000, &reqId), ERR_PENDING);
    auto sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<uint8_t>& req = sent[0].data;
    ASSERT_EQ(req.size(), 20u);
    EXPECT_EQ(sent[0].peer, (std::vector<uint8_t>{0x2D, 0xDC, 0x7F, 0x00, 0x00, 0x01}));
    std::vector<uint8_t> zeroed = req;
    zeroed[4] = zeroed[5] = zeroed[6] = zeroed[7] = 0;
    EXPECT_EQ((std::vector<uint8_t>(req.begin(), req.begin() + 4)),
              (std::vector<uint8_t>{0xC3, 0x00, 0x01, 0x01}));
    EXPECT_EQ(Get32(req, 4), Crc32(zeroed));
    EXPECT_EQ(Get32(req, 8), reqId);
    EXPECT_EQ(Get32(req, 12), 0x10000u);
    EXPECT_EQ(req[16], 8) << "own 3 + peer 3 + 2 components";
    EXPECT_EQ((std::vector<uint8_t>(req.begin() + 17, req.end())), (std::vector<uint8_t>{0, 0, 0}));

    // Short, damaged and foreign responses change nothing.
    std::vector<uint8_t> resp = OpenResponse(reqId, 0, 7, 0x8000, 1);
    std::vector<uint8_t> bad = resp;
    bad[12] ^= 1;
    EXPECT_EQ(Deliver(bad), ERR_L4_INVALID_META);
    std::vector<uint8_t> shortResp = SealMeta(std::vector<uint8_t>(resp.begin(), resp.begin() + 23));
    EXPECT_EQ(Deliver(shortResp), ERR_L4_INVALID_META);
    EXPECT_EQ(Deliver(std::vector<uint8_t>(resp.begin(), resp.begin() + 5)), ERR_OK);
    EXPECT_EQ(Deliver(std::vector<uint8_t>(resp.begin(), resp.begin() + 1)), ERR_L4_INVALID_META);
    EXPECT_EQ(Deliver(OpenResponse(reqId + 1, 0, 7, 0x8000)), ERR_OK);
    EXPECT_EQ(NetClientOpenChannelResult(reqId, nullptr, nullptr, nullptr), ERR_PENDING);

    EXPECT_EQ(Deliver(resp), ERR_OK);
    EXPECT_EQ(Deliver(resp), ERR_OK);  // a repeat finds no pending request
    RTS_UI16 wHandle = 0;
    RTS_UI32 dwSize = 0;
    RTS_BOOL bBig = 0;
    EXPECT_EQ(NetClientOpenChannelResult(reqId, &wHandle, &dwSize, &bBig), ERR_OK);
    EXPECT_NE(wHandle, 0);
    EXPECT_EQ(dwSize, 0x8000u);
    EXPECT_EQ(bBig, 1);
    EXPECT_EQ(NetClientGetNumChannels(), 1);
    EXPECT_EQ(NetClientOpenChannelResult(reqId, &wHandle, &dwSize, &bBig), ERR_PARAMETER);

    // Refusals and a larger grant than asked for.
    auto openWith = [&](const std::function<std::vector<uint8_t>(RTS_UI32)>& answer) {
        RTS_UI32 id = 0;
        EXPECT_EQ(NetClientOpenChannel(Peer(), 0x10000, &id), ERR_PENDING);
        FakeRouter::Get().Take();
        Deliver(answer(id));
        return NetClientOpenChannelResult(id, nullptr, nullptr, nullptr);
    };
    EXPECT_EQ(openWith([](RTS_UI32 id) { return OpenResponse(id, 1, 0, 0); }), ERR_L4_NO_CHANNEL);
    EXPECT_EQ(openWith([](RTS_UI32 id) { return OpenResponse(id, 2, 0, 0); }), ERR_L4_NO_SERVER_MEMORY);
    EXPECT_EQ(openWith([](RTS_UI32 id) { return OpenResponse(id, 9, 0, 0); }), ERR_FAILED);
    EXPECT_EQ(openWith([](RTS_UI32 id) { return OpenResponse(id, 0, 9, 0x10001); }), ERR_L4_BUFFER_MISMATCH);
    auto closes = FakeRouter::Get().Take();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].data.size(), 12u);
    EXPECT_EQ(closes[0].data[0], 0xC4);
    EXPECT_EQ(Get16(closes[0].data, 8), 9);
    EXPECT_EQ(Get16(closes[0].data, 10), ERR_L4_BUFFER_MISMATCH);
    // An address size that leaves no room for a block fails with a close package.
    EXPECT_EQ(openWith([](RTS_UI32 id) { return OpenResponse(id, 0, 10, 0x1000, 0, 255); }), ERR_FAILED);
    EXPECT_EQ(FakeRouter::Get().Take().size(), 1u);
    EXPECT_EQ(openWith([](RTS_UI32 id) { return OpenResponse(id, 0, 10, 0x1000, 0, 33); }), ERR_FAILED);
    EXPECT_EQ(FakeRouter::Get().Take().size(), 1u);
    EXPECT_EQ(NetClientGetNumChannels(), 1);
    // The old 20-byte response.
    EXPECT_EQ(openWith([](RTS_UI32 id) {
                  std::vector<uint8_t> p = {0x83, 0, 0x00, 0x01, 0, 0, 0, 0};
                  Put32(&p, id);
                  Put16(&p, 0);
                  Put16(&p, 11);
                  Put32(&p, 0x2000);
                  return SealMeta(p);
              }),
              ERR_OK);
    EXPECT_EQ(NetClientGetNumChannels(), 2);
    EXPECT_EQ(NetClientGetNumPendingRequests(), 0);
}

TEST_F(ChannelTest, DuplicateChannelIdAndLargerPeerAddressSize) {
    Open(7);
    RTS_UI32 reqId = 0;
    ASSERT_EQ(NetClientOpenChannel(Peer(), 0x10000, &reqId), ERR_PENDING);
    FakeRouter::Get().Take();
    Deliver(OpenResponse(reqId, 0, 7, 0x1000));
    auto sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 2u) << "close of the stale id, then the open again";
    EXPECT_EQ(sent[0].data[0], 0xC4);
    EXPECT_EQ(Get16(sent[0].data, 8), 7);
    EXPECT_EQ(Get16(sent[0].data, 10), 1);
    ASSERT_EQ(sent[1].data[0], 0xC3);
    RTS_UI32 newId = Get32(sent[1].data, 8);
    EXPECT_NE(newId, reqId);
    // The peer asks for longer addresses than ours: blocks shrink to 484.
    Deliver(OpenResponse(newId, 0, 8, 0x1000, 0, 10));
    RTS_UI16 wHandle = 0;
    ASSERT_EQ(NetClientOpenChannelResult(reqId, &wHandle, nullptr, nullptr), ERR_OK);
    EXPECT_EQ(Info(8).wMaxBlockSize, 484);
    std::vector<uint8_t> msg = Pattern(465, 3);
    ASSERT_EQ(NetClientSend(wHandle, PROTOCOL_DATA_UNIT{msg.data(), 465}), ERR_OK);
    sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data.size(), 484u);
    EXPECT_EQ(sent[1].data.size(), 13u);
}

TEST_F(ChannelTest, UnansweredOpenIsSentThreeTimesThen418) {
    RTS_UI32 reqId = 0;
    ASSERT_EQ(NetClientOpenChannel(Peer(), 4096, &reqId), ERR_PENDING);
    std::vector<SentPackage> all = FakeRouter::Get().Take();
    // The clock runs on between the steps: checks keep a margin.
    for (int step = 0; step < 3; ++step) {
        Advance(2900);
        EXPECT_EQ(NetClientOpenChannelResult(reqId, nullptr, nullptr, nullptr), ERR_PENDING);
        EXPECT_TRUE(FakeRouter::Get().Take().empty());
        Advance(100);
        RTS_RESULT r = NetClientOpenChannelResult(reqId, nullptr, nullptr, nullptr);
        if (step < 2) {
            EXPECT_EQ(r, ERR_PENDING);
            auto sent = FakeRouter::Get().Take();
            all.insert(all.end(), sent.begin(), sent.end());
        } else {
            EXPECT_EQ(r, ERR_L4_TIMEOUT);
        }
    }
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].data, all[1].data) << "repeated with the same id";
    EXPECT_EQ(all[1].data, all[2].data);
    EXPECT_EQ(NetClientGetNumPendingRequests(), 0);
}

TEST_F(ChannelTest, BlocksAcknowledgementsAndTheTurnToSend) {
    RTS_UI16 h = Open();
    // One payload of wMaxBlockSize - 20 is one first block.
    std::vector<uint8_t> msg = Pattern(472, 1);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{msg.data(), 472}), ERR_OK);
    EXPECT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{msg.data(), 472}), ERR_L4_NOT_ALLOWED);
    auto sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<uint8_t>& b = sent[0].data;
    ASSERT_EQ(b.size(), 492u);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1], 0x81);
    EXPECT_EQ(Get16(b, 2), 7);
    EXPECT_EQ(Get32(b, 4), 1u);
    EXPECT_EQ(Get32(b, 8), 0u);
    EXPECT_EQ(Get32(b, 12), 472u);
    EXPECT_EQ(Get32(b, 16), Crc32(msg));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 20, b.end()), msg);
    RTS_UI16 st = 0;
    RTS_UI8 scale = 9;
    RTS_I32 done = 0, total = 0;
    ASSERT_EQ(NetClientGetStatus(h, &st, &scale, &done, &total), ERR_OK);
    EXPECT_EQ(st, NETSTATUS_SENDING);
    EXPECT_EQ(done, 472);
    EXPECT_EQ(total, 472);

    Deliver(Ack(7, 1));
    ASSERT_EQ(NetClientGetStatus(h, &st, &scale, &done, &total), ERR_OK);
    EXPECT_EQ(st, NETSTATUS_WAITING);
    EXPECT_EQ(total, -1);
    EXPECT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{msg.data(), 10}), ERR_L4_NOT_ALLOWED)
        << "waiting for the response";

    std::vector<uint8_t> resp = Pattern(100, 9);
    Respond(resp, 1, 1);
    ASSERT_EQ(m_app.NumMessages(), 1u);
    EXPECT_EQ(m_app.messages[0], resp);
    ASSERT_EQ(NetClientGetStatus(h, &st, &scale, &done, &total), ERR_OK);
    EXPECT_EQ(st, NETSTATUS_SENDMODE_IDLE);

    // One byte more than a first block: two blocks, the response acknowledged in the first.
    msg = Pattern(473, 2);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{msg.data(), 473}), ERR_OK);
    sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data.size(), 492u);
    EXPECT_EQ(Get32(sent[0].data, 4), 2u);
    EXPECT_EQ(Get32(sent[0].data, 8), 1u) << "piggy-backed acknowledgement";
    EXPECT_EQ(sent[1].data.size(), 13u);
    EXPECT_EQ(sent[1].data[1], 0x80);
    EXPECT_EQ(Get32(sent[1].data, 4), 3u);
    EXPECT_EQ(sent[1].data[12], msg[472]);
    Deliver(Ack(7, 3));

    std::vector<uint8_t> big(0x10001);
    Respond(resp, 2, 3);
    EXPECT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{big.data(), 0x10001}), ERR_L4_MSG_TOO_LARGE);

    // The window: two blocks at first, more as acknowledgements come.
    msg = Pattern(480 * 6, 4);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{msg.data(), static_cast<RTS_UI32>(msg.size())}), ERR_OK);
    sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(Get32(sent[0].data, 4), 4u);
    Deliver(Ack(7, 4));
    // Block 6 is the sixth new block of the channel (3 x 2 steps): the window
    // grows to 3, so block 7 follows at once.
    sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(Get32(sent[0].data, 4), 6u);
    EXPECT_EQ(Get32(sent[1].data, 4), 7u);
    EXPECT_EQ(Info().wCWnd, 3);
    // A missing-package request for a block never sent is only logged.
    Deliver(Ack(7, 50, PTF_MISSINGPACKAGE));
    EXPECT_EQ(Info().sendState.dwNextAck, 5u);
}

TEST_F(ChannelTest, RetransmissionAndAdaptiveTimeout) {
    RTS_UI16 h = Open();
    EXPECT_EQ(Info().dwRTO, CHMGR_RTO_DEFAULT);
    std::vector<uint8_t> msg = Pattern(472 + 480, 5);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{msg.data(), static_cast<RTS_UI32>(msg.size())}), ERR_OK);
    auto first = FakeRouter::Get().Take();
    ASSERT_EQ(first.size(), 2u);
    // Nothing sent for a second: a keep-alive, even while blocks wait.
    Advance(1000);
    Cycle();
    auto keepAlive = FakeRouter::Get().Take();
    ASSERT_EQ(keepAlive.size(), 1u);
    EXPECT_EQ(keepAlive[0].data[0], 3);
    Advance(950);
    Cycle();
    EXPECT_TRUE(FakeRouter::Get().Take().empty());
    Advance(50);
    Cycle();
    auto again = FakeRouter::Get().Take();
    ASSERT_EQ(again.size(), 1u) << "only the oldest block";
    EXPECT_EQ(again[0].data, first[0].data);
    // Block 2 (480 of 492 bytes) was sent once: its acknowledgement measures
    // the round trip (2000 ms) and moves the time-out.
    Deliver(Ack(7, 2));
    const RTS_UI32 rtt = Info().dwRTT;
    EXPECT_GE(rtt, 2000u);
    EXPECT_LT(rtt, 2100u);
    EXPECT_EQ(Info().dwRTO, ((2000u / 3) * 4 + rtt) / 5 * 3);

    // Quick answers drive the time-out down to its floor.
    for (uint32_t i = 0; i < 12; ++i) {
        Respond(Pattern(10, 1), 1 + i, 2 + i);
        std::vector<uint8_t> full = Pattern(472, 6);
        ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{full.data(), 472}), ERR_OK);
        FakeRouter::Get().Take();
        Deliver(Ack(7, 3 + i));
    }
    EXPECT_EQ(Info().dwRTO, CHMGR_RTO_MIN);
}

TEST_F(ChannelTest, FixedWindowAndTimeoutFromTheSettings) {
    Start("WindowSize=4\nRetransmissionTimeout=150\n");
    RTS_UI16 h = Open();
    std::vector<uint8_t> msg = Pattern(472 + 480 * 9, 7);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{msg.data(), static_cast<RTS_UI32>(msg.size())}), ERR_OK);
    EXPECT_EQ(FakeRouter::Get().Take().size(), 4u);
    for (uint32_t b = 1; b <= 6; ++b) {
        Deliver(Ack(7, b));
    }
    EXPECT_EQ(Info().wCWnd, 4);
    EXPECT_EQ(Info().dwRTO, 150u);
    FakeRouter::Get().Take();
    Advance(150);
    Cycle();
    auto sent = FakeRouter::Get().Take();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(Get32(sent[0].data, 4), 7u);
    EXPECT_EQ(Info().wCWnd, 4);
}

TEST_F(ChannelTest, OutOfOrderBlocksAreStoredAndMergedOnce) {
    RTS_UI16 h = Open();
    std::vector<uint8_t> req = Pattern(20, 1);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 20}), ERR_OK);
    Deliver(Ack(7, 1));
    FakeRouter::Get().Take();
    std::vector<uint8_t> resp = Pattern(472 + 480 * 3 + 100, 3);
    const uint32_t crc = Crc32(resp);
    auto block = [&](uint32_t nr) {
        size_t start = nr == 1 ? 0 : 472 + 480 * (nr - 2);
        size_t len = std::min<size_t>(resp.size() - start, nr == 1 ? 472 : 480);
        return DataBlock(7, nr, 1, resp.data() + start, len, nr == 1, static_cast<uint32_t>(resp.size()),
                         crc);
    };
    // Blocks 3 and 5 ahead of the first, block 4 after it, then 2.
    Deliver(block(3));
    Deliver(block(5));
    Deliver(block(3));
    Deliver(block(1));
    EXPECT_EQ(m_app.NumMessages(), 0u);
    // A block number far ahead (or wrapped) is refused, not placed.
    Deliver(DataBlock(7, 1 + 0x80000000u, 1, resp.data(), 480));
    Deliver(DataBlock(7, 1 + 200, 1, resp.data(), 480));
    Deliver(block(4));
    EXPECT_EQ(m_app.NumMessages(), 0u);
    Deliver(block(2));
    ASSERT_EQ(m_app.NumMessages(), 1u);
    EXPECT_EQ(m_app.messages[0], resp);
    Deliver(block(5));
    Deliver(block(2));
    EXPECT_EQ(m_app.NumMessages(), 1u) << "delivered once";
    // The duplicates bring an acknowledgement of the last block again.
    FakeRouter::Get().Take();
    Advance(CHMGR_ACK_DELAY_MS);
    Cycle();
    auto sent = FakeRouter::Get().Take();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().data[0], 2);
    EXPECT_EQ(Get32(sent.back().data, 4), 5u);

    // The first block missing too: the later blocks sit 8 bytes lower.
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 20}), ERR_OK);
    Deliver(Ack(7, 2));
    resp = Pattern(472 + 480 + 7, 8);
    std::vector<uint8_t> b1 =
        DataBlock(7, 6, 2, resp.data(), 472, true, static_cast<uint32_t>(resp.size()), Crc32(resp));
    Deliver(DataBlock(7, 8, 2, resp.data() + 952, 7));
    Deliver(DataBlock(7, 7, 2, resp.data() + 472, 480));
    Deliver(b1);
    ASSERT_EQ(m_app.NumMessages(), 2u);
    EXPECT_EQ(m_app.messages[1], resp);
}

TEST_F(ChannelTest, MalformedBlocksAreDropped) {
    RTS_UI16 h = Open();
    std::vector<uint8_t> req = Pattern(20, 1);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 20}), ERR_OK);
    // While the client sends, the server's blocks are dropped.
    std::vector<uint8_t> resp = Pattern(30, 2);
    Deliver(DataBlock(7, 1, 0, resp.data(), 30, true, 30, Crc32(resp)));
    Deliver(Ack(7, 1));
    EXPECT_EQ(m_app.NumMessages(), 0u);
    // Short packages, a client-side flag, unknown types, an unknown channel.
    for (size_t n : {2u, 3u, 7u, 11u}) {
        std::vector<uint8_t> p = DataBlock(7, 1, 0, resp.data(), 30, true, 30, Crc32(resp));
        p.resize(n);
        EXPECT_EQ(Deliver(p), ERR_OK);
    }
    EXPECT_EQ(Deliver({3, 0}), ERR_OK);
    std::vector<uint8_t> clientFlag = DataBlock(7, 1, 0, resp.data(), 30, true, 30, Crc32(resp));
    clientFlag[1] |= 0x80;
    Deliver(clientFlag);
    Deliver({9, 0, 7, 0});
    Deliver(DataBlock(8, 1, 0, resp.data(), 30, true, 30, Crc32(resp)));
    // A first block announcing more than the buffer, one without the flag,
    // one too short for its header, a short middle block.
    Deliver(DataBlock(7, 1, 0, resp.data(), 30, true, 0x10001, 0));
    Deliver(DataBlock(7, 1, 0, resp.data(), 30, false));
    Deliver(std::vector<uint8_t>{1, 1, 7, 0, 1, 0, 0, 0, 0, 0, 0, 0, 30, 0, 0, 0});
    std::vector<uint8_t> two = Pattern(600, 4);
    Deliver(DataBlock(7, 1, 0, two.data(), 400, true, 600, Crc32(two)));
    EXPECT_EQ(m_app.NumMessages(), 0u);
    EXPECT_EQ(Info().recState.dwLastBlock, 0u);
    Deliver(DataBlock(7, 1, 0, resp.data(), 30, true, 30, Crc32(resp)));
    ASSERT_EQ(m_app.NumMessages(), 1u);
    EXPECT_EQ(m_app.messages[0], resp);
}

TEST_F(ChannelTest, WrongChecksumClosesTheChannelWith420) {
    RTS_UI16 h = Open();
    std::vector<uint8_t> req = Pattern(20, 1);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 20}), ERR_OK);
    Deliver(Ack(7, 1));
    FakeRouter::Get().Take();
    std::vector<uint8_t> resp = Pattern(50, 2);
    Deliver(DataBlock(7, 1, 1, resp.data(), 50, true, 50, Crc32(resp) ^ 1));
    EXPECT_EQ(m_app.NumMessages(), 0u);
    ASSERT_EQ(m_app.NumErrors(), 1u);
    EXPECT_EQ(m_app.errors[0], ERR_L4_CHECKSUM);
    EXPECT_EQ(m_app.handles[0], h);
    auto sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data[0], 0xC4);
    EXPECT_EQ(Get16(sent[0].data, 8), 7);
    EXPECT_EQ(Get16(sent[0].data, 10), ERR_L4_CHECKSUM);
    EXPECT_EQ(NetClientGetNumChannels(), 0);
    EXPECT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 20}), ERR_FAILED);
    EXPECT_EQ(NetClientCloseChannel(h), ERR_FAILED);
}

TEST_F(ChannelTest, DelayedAckKeepAliveAndChannelTimeout) {
    RTS_UI16 h = Open();
    Advance(950);
    Cycle();
    EXPECT_TRUE(FakeRouter::Get().Take().empty());
    Advance(50);
    Cycle();
    auto sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{3, 0x80, 7, 0}));

    std::vector<uint8_t> req = Pattern(20, 1);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 20}), ERR_OK);
    Deliver(Ack(7, 1));
    FakeRouter::Get().Take();
    std::vector<uint8_t> resp = Pattern(472 + 100, 2);
    Deliver(DataBlock(7, 1, 1, resp.data(), 472, true, static_cast<uint32_t>(resp.size()), Crc32(resp)));
    Advance(150);
    Cycle();
    EXPECT_TRUE(FakeRouter::Get().Take().empty()) << "one block waits up to 200 ms for its acknowledgement";
    Advance(50);
    Cycle();
    sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{2, 0x80, 7, 0, 1, 0, 0, 0}));

    // Nothing arrives: keep-alives go out, and after 30 s the channel closes.
    for (int i = 0; i < 29; ++i) {
        Advance(1000);
        Cycle();
    }
    EXPECT_EQ(m_app.NumErrors(), 0u);
    Advance(1001);
    Cycle();
    ASSERT_EQ(m_app.NumErrors(), 1u);
    EXPECT_EQ(m_app.errors[0], ERR_L4_TIMEOUT);
    sent = FakeRouter::Get().Take();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().data[0], 0xC4);
    EXPECT_EQ(Get16(sent.back().data, 10), ERR_L4_TIMEOUT);
    EXPECT_EQ(NetClientGetNumChannels(), 0);
}

TEST_F(ChannelTest, CloseFromEitherSide) {
    RTS_UI16 h1 = Open(7);
    RTS_UI16 h2 = Open(8);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(Deliver(CloseNotice(8, 5)), ERR_OK);
    ASSERT_EQ(m_app.NumErrors(), 1u);
    EXPECT_EQ(m_app.errors[0], 5);
    EXPECT_EQ(m_app.handles[0], h2);
    EXPECT_EQ(NetClientGetNumChannels(), 1);
    FakeRouter::Get().Take();
    EXPECT_EQ(NetClientCloseChannel(h1), ERR_OK);
    auto sent = FakeRouter::Get().Take();
    ASSERT_EQ(sent.size(), 1u);
    std::vector<uint8_t> expect = {0xC4, 0, 1, 1, 0, 0, 0, 0, 7, 0, 0, 0};
    EXPECT_EQ(sent[0].data, SealMeta(expect));
    EXPECT_EQ(NetClientGetNumChannels(), 0);
    EXPECT_EQ(NetClientCloseChannel(h1), ERR_FAILED);
    EXPECT_EQ(NetClientRegisterAppInterface(h1, &m_app.itf), ERR_PARAMETER);
    EXPECT_EQ(NetClientRegisterAppInterface(1, nullptr), ERR_PARAMETER);
}

}  // namespace
