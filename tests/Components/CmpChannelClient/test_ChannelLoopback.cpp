// Channels over loopback: the client stack (router, TCP block driver,
// channel manager and client, started through the component manager with
// its communication cycle) against kestrolink-emulator's router node with
// the channel server of layer 4. The server answers every request with the
// request's bytes complemented; its fault switches drop, duplicate and
// reorder blocks, corrupt checksums, stall and close channels.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "LoopbackFixture.h"

using namespace kltest;

namespace {

void CollectInfo(CHANNELBUFFER* pCh, void* pParam) {
    NetworkGetChannelInfo(pCh, static_cast<CHANNELBUFFER*>(pParam));
}

TEST_F(LoopbackTest, BlockSizesAndLargeMessagesEachWay) {
    klemu::ChannelServerOptions options;
    Start(options);
    RTS_UI16 h = 0;
    RTS_UI32 granted = 0;
    ASSERT_EQ(Open(0x20000, &h, &granted), ERR_OK);
    EXPECT_EQ(granted, 0x20000u);
    CHANNELBUFFER info{};
    NetClientForEachChannel(CollectInfo, &info);
    EXPECT_EQ(info.wMaxBlockSize, 492) << "three-component addresses on both sides";
    EXPECT_EQ(info.dwCommBufferSize, 0x20000u);

    std::mt19937 rng(1);
    CHANNELMGRSTATS before{}, after{};
    ChannelMgrGetStats(&before);
    ASSERT_TRUE(Exchange(h, Random(&rng, 472)));
    ChannelMgrGetStats(&after);
    EXPECT_EQ(after.ulBlocksSent - before.ulBlocksSent, 1u) << "472 bytes: one first block";
    ASSERT_TRUE(Exchange(h, Random(&rng, 473)));
    ChannelMgrGetStats(&before);
    EXPECT_EQ(before.ulBlocksSent - after.ulBlocksSent, 2u) << "473 bytes: two blocks";
    ASSERT_TRUE(Exchange(h, Random(&rng, 472 + 480)));
    ChannelMgrGetStats(&after);
    EXPECT_EQ(after.ulBlocksSent - before.ulBlocksSent, 2u);

    // 100 kB each way, and a message of the whole buffer.
    ASSERT_TRUE(Exchange(h, Random(&rng, 100000)));
    ASSERT_TRUE(Exchange(h, Random(&rng, 0x20000)));
    std::vector<uint8_t> tooBig(0x20001);
    EXPECT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{tooBig.data(), 0x20001}), ERR_L4_MSG_TOO_LARGE);
    EXPECT_EQ(m_app.NumErrors(), 0u);

    // A second request before the response: 421.
    std::vector<uint8_t> req = Random(&rng, 60000);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 60000}), ERR_OK);
    EXPECT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 60000}), ERR_L4_NOT_ALLOWED);
    ASSERT_TRUE(WaitFor([&] { return m_app.NumMessages() == 6; }, 20000));
    EXPECT_EQ(m_app.messages.back(), klemu::ChannelServerEchoResponse(req));

    EXPECT_EQ(NetClientCloseChannel(h), ERR_OK);
    EXPECT_TRUE(WaitFor([&] { return m_server->NumChannels() == 0; }, 5000))
        << "the server got the close package";
    EXPECT_EQ(m_server->Stats().ullMessages, 6u);
}

TEST_F(LoopbackTest, UnansweredOpenIsRepeatedThenFails) {
    klemu::ChannelServerOptions options;
    options.bAnswerOpens = false;
    Start(options);
    NetClientSetOpenTiming(CHCLIENT_OPEN_DELAY_MS, 300);
    RTS_UI16 h = 0;
    EXPECT_EQ(Open(4096, &h), ERR_L4_TIMEOUT);
    EXPECT_EQ(m_server->OpenRequestsSeen(), 3u);
    EXPECT_EQ(NetClientGetNumPendingRequests(), 0);
}

TEST_F(LoopbackTest, WrongChecksumIsNotDelivered) {
    klemu::ChannelServerOptions options;
    options.lCorruptCrcEvery = 2;
    Start(options);
    RTS_UI16 h = 0;
    ASSERT_EQ(Open(0x10000, &h), ERR_OK);
    std::mt19937 rng(2);
    ASSERT_TRUE(Exchange(h, Random(&rng, 3000)));
    EXPECT_FALSE(Exchange(h, Random(&rng, 3000)));
    ASSERT_EQ(m_app.NumErrors(), 1u);
    EXPECT_EQ(m_app.errors[0], ERR_L4_CHECKSUM);
    EXPECT_EQ(m_app.NumMessages(), 1u);
    EXPECT_TRUE(WaitFor([&] { return m_server->Stats().ullCloses == 1; }, 5000))
        << "close package to the server";
    EXPECT_EQ(NetClientGetNumChannels(), 0);
}

TEST_F(LoopbackTest, ReorderedBlocksAreMergedAndDeliveredOnce) {
    klemu::ChannelServerOptions options;
    options.dReorderBlocks = 0.3;
    options.dDuplicateBlocks = 0.1;
    options.ulSeed = 3;
    Start(options);
    RTS_UI16 h = 0;
    ASSERT_EQ(Open(0x10000, &h), ERR_OK);
    std::mt19937 rng(3);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(Exchange(h, Random(&rng, 20000))) << i;
    }
    EXPECT_EQ(m_app.NumMessages(), 10u);
    CHANNELMGRSTATS stats{};
    ChannelMgrGetStats(&stats);
    EXPECT_GT(stats.ulOutOfOrder, 0u);
    EXPECT_GT(stats.ulDuplicates, 0u);
}

TEST_F(LoopbackTest, SilentServerTimesTheChannelOut) {
    klemu::ChannelServerOptions options;
    options.lStallAfterMessages = 1;
    Start(options, "ChannelTimeoutMs=5000\n");
    RTS_UI16 h = 0;
    ASSERT_EQ(Open(0x10000, &h), ERR_OK);
    std::mt19937 rng(4);
    ASSERT_TRUE(Exchange(h, Random(&rng, 1000)));
    std::vector<uint8_t> req = Random(&rng, 1000);
    ASSERT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{req.data(), 1000}), ERR_OK);
    // The request is taken, the answer never comes; keep-alives of this side
    // do not keep the channel.
    ASSERT_TRUE(WaitFor(
        [&] {
            RTS_UI16 st = 0;
            RTS_UI8 scale = 0;
            RTS_I32 done = 0, total = 0;
            return NetClientGetStatus(h, &st, &scale, &done, &total) == ERR_OK && st == NETSTATUS_WAITING;
        },
        5000));
    SysTimeSetMsOffset(5001);
    ASSERT_TRUE(WaitFor([&] { return m_app.NumErrors() == 1; }, 5000));
    EXPECT_EQ(m_app.errors[0], ERR_L4_TIMEOUT);
    // The channel is released right after its error was reported (the report
    // runs without the manager's lock).
    EXPECT_TRUE(WaitFor([] { return NetClientGetNumChannels() == 0; }, 2000));
}

TEST_F(LoopbackTest, ServerClosesTheChannel) {
    klemu::ChannelServerOptions options;
    options.lCloseChannelAfter = 2;
    Start(options);
    RTS_UI16 h = 0;
    ASSERT_EQ(Open(0x10000, &h), ERR_OK);
    std::mt19937 rng(5);
    ASSERT_TRUE(Exchange(h, Random(&rng, 100)));
    ASSERT_TRUE(Exchange(h, Random(&rng, 100)));
    EXPECT_FALSE(Exchange(h, Random(&rng, 100)));
    ASSERT_EQ(m_app.NumErrors(), 1u);
    EXPECT_EQ(m_app.errors[0], 1);
    EXPECT_EQ(NetClientSend(h, PROTOCOL_DATA_UNIT{m_app.messages[0].data(), 10}), ERR_FAILED);
}

}  // namespace

namespace {

TEST(ChannelServerOptions, FaultSwitchesOfTheCommandLine) {
    klemu::ChannelServerOptions o;
    bool bKnown = false;
    std::string error;
    EXPECT_TRUE(klemu::ParseChannelServerOption("--drop-blocks", "0.1", &o, &bKnown, &error));
    EXPECT_TRUE(bKnown);
    EXPECT_DOUBLE_EQ(o.dDropBlocks, 0.1);
    EXPECT_TRUE(klemu::ParseChannelServerOption("--reorder-blocks", "1", &o, &bKnown, &error));
    EXPECT_DOUBLE_EQ(o.dReorderBlocks, 1.0);
    EXPECT_TRUE(klemu::ParseChannelServerOption("--seed", "42", &o, &bKnown, &error));
    EXPECT_EQ(o.ulSeed, 42u);
    EXPECT_TRUE(klemu::ParseChannelServerOption("--stall-after-messages", "0", &o, &bKnown, &error));
    EXPECT_EQ(o.lStallAfterMessages, 0);
    EXPECT_FALSE(klemu::ParseChannelServerOption("--duplicate-blocks", "1.5", &o, &bKnown, &error));
    EXPECT_FALSE(klemu::ParseChannelServerOption("--corrupt-crc-every", "0", &o, &bKnown, &error));
    EXPECT_FALSE(klemu::ParseChannelServerOption("--close-channel-after", "-3", &o, &bKnown, &error));
    EXPECT_FALSE(klemu::ParseChannelServerOption("--drop-blocks", "", &o, &bKnown, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(klemu::ParseChannelServerOption("--port", "0", &o, &bKnown, &error));
    EXPECT_FALSE(bKnown);
    // The test response: same length, every byte complemented.
    EXPECT_EQ(klemu::ChannelServerEchoResponse({0x00, 0x5A, 0xFF}), (std::vector<uint8_t>{0xFF, 0xA5, 0x00}));
}

}  // namespace
