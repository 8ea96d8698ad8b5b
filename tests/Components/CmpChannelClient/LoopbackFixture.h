// Fixture of the loopback tests of the channel layer: the client stack
// (router, TCP block driver, channel manager and client, started through the
// component manager with its communication cycle) against kestrolink-
// emulator's router node with the channel server of layer 4, whose answer
// to every request is the request's bytes complemented.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ChannelServer.h"
#include "ChannelTestSupport.h"
#include "CmpBlkDrvTcpItf.h"
#include "Emulator.h"

namespace kltest {

class LoopbackTest : public ::testing::Test {
protected:
    void TearDown() override { Stop(); }

    void Start(const klemu::ChannelServerOptions& serverOptions, const std::string& settings = "") {
        SysTimeSetMsOffset(0);
        klemu::EmulatorOptions options;
        options.usPort = 0;
        options.logLevel = klemu::LogLevel::Error;
        m_emulator.reset(new klemu::Emulator(options));
        std::string error;
        ASSERT_TRUE(m_emulator->Start(&error)) << error;
        m_server.reset(new klemu::ChannelServer(serverOptions));
        klemu::Emulator* pEmulator = m_emulator.get();
        m_handler.reset(new klemu::ChannelServerHandler(
            m_server.get(), m_emulator->Node().Address(),
            [pEmulator](const std::vector<uint8_t>&, const std::vector<uint8_t>& frames) {
                pEmulator->SendRaw(frames);
            }));
        m_emulator->Node().SetHandler(m_handler.get());
        ASSERT_TRUE(m_handler->Start());
        const std::vector<uint8_t>& addr = m_emulator->Node().Address();
        ASSERT_EQ(addr.size(), 6u);
        for (int i = 0; i < 3; ++i) {
            m_peer[i].by[0] = addr[2 * i];
            m_peer[i].by[1] = addr[2 * i + 1];
        }

        std::string ini = m_dir.File("Kestrolink.ini");
        WriteFile(ini, "[CmpChannelMgr]\n" + settings);
        static const StaticComponent kList[] = {
            {"CmpMemPool", CmpMemPool__Entry, 1},
            {"CmpSettings", CmpSettings__Entry, 1},
            {"CmpLog", CmpLog__Entry, 1},
            {"CmpChecksum", CmpChecksum__Entry, 0},
            {"CmpRouter", CmpRouter__Entry, 0},
            {"CmpBlkDrvTcp", CmpBlkDrvTcp__Entry, 0},
            {"CmpChannelMgr", CmpChannelMgr__Entry, 0},
            {"CmpChannelClient", CmpChannelClient__Entry, 0},
            {nullptr, nullptr, 0},
        };
        ASSERT_EQ(CMInit2(ini.c_str(), kList, CM_INIT_OPTION_COMM_CYCLE_TASK), ERR_OK);
        NetClientSetOpenTiming(CHCLIENT_OPEN_DELAY_MS, CHCLIENT_OPEN_RETRY_MS);
    }

    void Stop() {
        if (CMIsRunning()) {
            CMExit();
        }
        if (m_emulator) {
            m_emulator->Stop();
        }
        if (m_handler) {
            m_handler->Stop();
        }
        m_handler.reset();
        m_emulator.reset();
        m_server.reset();
        SysTimeSetMsOffset(0);
    }

    PEERADDRESS Peer() { return PEERADDRESS{AT_ABSOLUTE, 0, 3, m_peer}; }

    // Opens a channel; the result of the open.
    RTS_RESULT Open(RTS_UI32 dwSize, RTS_UI16* pwHandle, RTS_UI32* pdwGranted = nullptr) {
        RTS_UI32 reqId = 0;
        RTS_RESULT r = NetClientOpenChannel(Peer(), dwSize, &reqId);
        if (r != ERR_PENDING) {
            return r;
        }
        RTS_UI32 dwGranted = 0;
        RTS_BOOL bBig = 0;
        WaitFor(
            [&] {
                return (r = NetClientOpenChannelResult(reqId, pwHandle, &dwGranted, &bBig)) != ERR_PENDING;
            },
            15000);
        if (pdwGranted != nullptr) {
            *pdwGranted = dwGranted;
        }
        if (r == ERR_OK) {
            EXPECT_EQ(NetClientRegisterAppInterface(*pwHandle, &m_app.itf), ERR_OK);
        }
        return r;
    }

    // One request and its response; false when no (correct) response came.
    bool Exchange(RTS_UI16 wHandle, const std::vector<uint8_t>& request, unsigned ulTimeoutMs = 20000) {
        size_t before = m_app.NumMessages();
        RTS_RESULT r = NetClientSend(wHandle, PROTOCOL_DATA_UNIT{const_cast<uint8_t*>(request.data()),
                                                                 static_cast<RTS_UI32>(request.size())});
        if (r != ERR_OK) {
            ADD_FAILURE() << "send " << r;
            return false;
        }
        if (!WaitFor([&] { return m_app.NumMessages() > before || m_app.NumErrors() > 0; }, ulTimeoutMs)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_app.mutex);
        return m_app.messages.size() == before + 1 &&
               m_app.messages.back() == klemu::ChannelServerEchoResponse(request);
    }

    static std::vector<uint8_t> Random(std::mt19937* pRng, size_t n) {
        std::vector<uint8_t> v(n);
        for (auto& b : v) {
            b = static_cast<uint8_t>((*pRng)());
        }
        return v;
    }

    TempDir m_dir;
    std::unique_ptr<klemu::Emulator> m_emulator;
    std::unique_ptr<klemu::ChannelServer> m_server;
    std::unique_ptr<klemu::ChannelServerHandler> m_handler;
    ADDRESSCOMPONENT m_peer[3] = {};
    AppRecorder m_app;
};

}  // namespace kltest
