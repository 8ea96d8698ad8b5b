// 1,000 request/response exchanges of random sizes up to 64 kB over
// loopback through the emulator's channel server with 10 % of its blocks and
// acknowledgements dropped, 5 % duplicated and 5 % reordered (seeded). Prints
// the retransmission counts and the time taken. KL_SOAK_EXCHANGES sets
// another count, KL_SOAK_CLEAN switches the faults off (for comparisons).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "LoopbackFixture.h"

using namespace kltest;

namespace {

// 1,000 exchanges of random sizes up to 64 kB through 10 % dropped, 5 %
// duplicated and 5 % reordered blocks and acknowledgements.
TEST_F(LoopbackTest, ThousandExchangesThroughLossyServer) {
    klemu::ChannelServerOptions options;
    options.dDropBlocks = getenv("KL_SOAK_CLEAN") != nullptr ? 0.0 : 0.10;
    options.dDuplicateBlocks = getenv("KL_SOAK_CLEAN") != nullptr ? 0.0 : 0.05;
    options.dReorderBlocks = getenv("KL_SOAK_CLEAN") != nullptr ? 0.0 : 0.05;
    options.ulSeed = 11;
    options.ulRtoMs = 15;
    Start(options);
    RTS_UI16 h = 0;
    ASSERT_EQ(Open(0x10000, &h), ERR_OK);
    std::mt19937 rng(12);
    std::uniform_int_distribution<size_t> size(1, 0x10000);
    const auto t0 = std::chrono::steady_clock::now();
    int completed = 0;
    const char* pszCount = getenv("KL_SOAK_EXCHANGES");
    const int nExchanges = pszCount != nullptr ? atoi(pszCount) : 1000;
    for (int i = 0; i < nExchanges; ++i) {
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(600)) {
            break;
        }
        if (!Exchange(h, Random(&rng, size(rng)), 30000)) {
            ADD_FAILURE() << "exchange " << i;
            break;
        }
        ++completed;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    CHANNELMGRSTATS client{};
    ChannelMgrGetStats(&client);
    klemu::ChannelServerStats server = m_server->Stats();
    printf(
        "soak: %d exchanges in %.1f s; client: %u blocks, %u retransmissions, %u acks, %u duplicates, "
        "%u out of order; server: %llu blocks, %llu retransmissions, %llu dropped, %llu duplicated, "
        "%llu reordered\n",
        completed, seconds, client.ulBlocksSent, client.ulRetransmissions, client.ulAcksSent,
        client.ulDuplicates, client.ulOutOfOrder, static_cast<unsigned long long>(server.ullBlocksSent),
        static_cast<unsigned long long>(server.ullRetransmissions),
        static_cast<unsigned long long>(server.ullDropped),
        static_cast<unsigned long long>(server.ullDuplicated),
        static_cast<unsigned long long>(server.ullReordered));
    EXPECT_EQ(completed, nExchanges);
    EXPECT_EQ(m_app.NumErrors(), 0u);
    EXPECT_GT(server.ullDropped, 0u);
}

}  // namespace
