// The name-service client against a fake router: what it sends, how answers
// reach the callbacks, the request table with its bounds and expiry, and the
// cancellation of requests whose waiter has gone.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "CmpNameServiceClientPrivate.h"
#include "NSTestSupport.h"
#include "SysTask.h"
#include "SysTime.h"
#include "TestSupport.h"

using namespace nstest;

namespace {

struct Sent {
    Bytes receiver;
    RTS_I32 nProtocol;
    RTS_UI8 byMessageId;
    ROUTERPRIORITY prio;
    RTS_BOOL bQueue;
    Bytes data;
};

struct FakeRouter {
    std::mutex mutex;
    std::vector<Sent> sent;
    RTS_RESULT sendResult = ERR_OK;
    RTS_RESULT instanceResult = ERR_OK;
    RTS_UI16 wMaxMessage = 512 - 6 - 30 - 2;
    NETWORKADDRESS lastNetAddr{};
    RTS_UI8 byLastBits = 0;
};
FakeRouter* g_router = nullptr;

RTS_RESULT FakeInstance(const char*, RTS_HANDLE* ph) {
    *ph = reinterpret_cast<RTS_HANDLE>(0x1);
    return g_router->instanceResult;
}
RTS_RESULT FakeSend2(RTS_HANDLE, PEERADDRESS r, RTS_I32 nProtocol, RTS_UI8 byMsg, ROUTERPRIORITY prio,
                     PROTOCOL_DATA_UNIT pdu, RTS_BOOL bQueue) {
    std::lock_guard<std::mutex> lock(g_router->mutex);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(r.pAddress);
    g_router->sent.push_back(Sent{Bytes(p, p + 2 * r.nLength), nProtocol, byMsg, prio, bQueue,
                                  Bytes(pdu.pData, pdu.pData + pdu.ulCount)});
    return g_router->sendResult;
}
RTS_RESULT FakeMaxMessage(RTS_HANDLE, RTS_UI16 wSum, RTS_UI16* pw) {
    EXPECT_EQ(wSum, 15);
    *pw = g_router->wMaxMessage;
    return ERR_OK;
}
RTS_RESULT FakeCalculate(RTS_UI16 usType, RTS_UI8 byBits, const NETWORKADDRESS* pNa, NODEADDRESS* pNode) {
    g_router->lastNetAddr = *pNa;
    g_router->byLastBits = byBits;
    if (usType != RTS_BLK_DRV_TYPE_TCP || pNa->nLength != 6) {
        return ERR_FAILED;
    }
    memset(pNode, 0, sizeof(*pNode));
    pNode->nLength = 3;
    memcpy(pNode->address, pNa->address, 6);
    return ERR_OK;
}
RTS_RESULT FakeHost(RTS_HANDLE, NODEADDRESS* p) {
    *p = Node({0x0042, 0x0007});
    return ERR_OK;
}
RTS_RESULT FakeBlkDrvType(RTS_HANDLE, RTS_UI8* p) {
    *p = RTS_BLK_DRV_TYPE_UDP;
    return ERR_OK;
}
RTS_I32 g_scanSeconds = 0;
RTS_RESULT FakeSetting(const char*, const char* pszKey, RTS_I32* p, RTS_I32 iDefault, int) {
    *p = strcmp(pszKey, NSCKEY_INT_SCANTIMESECONDS) == 0 && g_scanSeconds != 0 ? g_scanSeconds : iDefault;
    return ERR_OK;
}

class NSClient : public ::testing::Test {
protected:
    void SetUp() override {
        g_router = &m_router;
        Recorder::Reset();
        klns::pfRouterGetInstanceByName = FakeInstance;
        klns::pfRouterSend2 = FakeSend2;
        klns::pfRouterGetMaxMessageSizeByAddressLength = FakeMaxMessage;
        klns::pfRouterCalculateNodeAddr = FakeCalculate;
        klns::pfRouterGetHostAddress = FakeHost;
        klns::pfRouterGetBlkDrvType = FakeBlkDrvType;
        klns::pfSettgGetIntValue = FakeSetting;
        klns::pfLogAdd = nullptr;
        ASSERT_EQ(CmpNameServiceClient__Entry(&m_init), ERR_OK);
        ASSERT_EQ(m_init.pfHookFunction(CH_INIT2, 0, 0), ERR_OK);
    }
    void TearDown() override {
        m_init.pfHookFunction(CH_EXIT3, 0, 0);
        m_init.pfHookFunction(CH_EXIT2, 0, 0);
        g_scanSeconds = 0;
        g_router = nullptr;
    }
    void Cycle(int n = 1) {
        for (int i = 0; i < n; ++i) {
            m_init.pfHookFunction(CH_COMM_CYCLE, 0, 0);
        }
    }
    std::vector<Sent> SentPkgs() {
        std::lock_guard<std::mutex> lock(m_router.mutex);
        return m_router.sent;
    }
    // The id the client put into the last package it sent.
    uint32_t LastId() {
        std::vector<Sent> s = SentPkgs();
        EXPECT_FALSE(s.empty());
        if (s.empty() || s.back().data.size() < 8) {
            return 0;
        }
        const Bytes& d = s.back().data;
        return static_cast<uint32_t>(d[4] | (d[5] << 8) | (d[6] << 16) | (static_cast<uint32_t>(d[7]) << 24));
    }
    RTS_RESULT Deliver(const Bytes& pkg, const NODEADDRESS& sender, RTS_UI8 bySvc = PID_NAMINGRESPONSE) {
        Bytes copy = pkg;
        NODEADDRESS s = sender;
        NODEADDRESS own = Node({0x0042, 0x0007});
        PEERADDRESS ps{AT_ABSOLUTE, 0, s.nLength, s.address};
        PEERADDRESS pr{AT_ABSOLUTE, 0, own.nLength, own.address};
        return NSClientHandleData(nullptr, reinterpret_cast<RTS_HANDLE>(0x2), bySvc, 0, ps, pr,
                                  PROTOCOL_DATA_UNIT{copy.data(), static_cast<RTS_UI32>(copy.size())}, 0);
    }
    static RTS_HANDLE H(uintptr_t v) { return reinterpret_cast<RTS_HANDLE>(v); }

    FakeRouter m_router;
    INIT_STRUCT m_init{};
};

}  // namespace

TEST_F(NSClient, ScanIsABroadcastThatCollectsAnswersUntilItsTimeOut) {
    ASSERT_EQ(NSResolveAll3(3000, H(1), Recorder::Cb3), ERR_OK);
    std::vector<Sent> s = SentPkgs();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_TRUE(s[0].receiver.empty()) << "broadcast to the empty address";
    EXPECT_EQ(s[0].nProtocol, PID_NAMINGREQUEST);
    EXPECT_EQ(s[0].byMessageId, 0);
    EXPECT_EQ(s[0].prio, RPRIO_NORMAL);
    EXPECT_EQ(s[0].bQueue, 1);
    ASSERT_EQ(s[0].data.size(), 8u);
    EXPECT_EQ(s[0].data[0], 0x02);
    EXPECT_EQ(s[0].data[1], 0xC2);

    Ident a;
    a.dwId = LastId();
    a.wVersion = 0x0101;  // an old node
    EXPECT_EQ(Deliver(a.Build(), Node({0, 1})), ERR_OK);
    Ident b;
    b.dwId = LastId();
    b.node = u"PLC2";
    EXPECT_EQ(Deliver(b.Build(), Node({0, 2})), ERR_OK);
    Ident stranger = b;
    stranger.dwId = LastId() + 1000;
    EXPECT_EQ(Deliver(stranger.Build(), Node({0, 3})), ERR_OK) << "answers to unknown ids are ignored";
    Bytes longer = b.Build();
    longer.push_back(0);
    EXPECT_EQ(Deliver(longer, Node({0, 4})), ERR_NET_PKG_INVALID);
    EXPECT_EQ(Deliver(b.Build(), Node({0, 5}), PID_LAYER4), ERR_NET_PKG_NOTHANDLED);

    std::vector<Answer> got = Recorder::All();
    ASSERT_EQ(got.size(), 2u) << "malformed and foreign answers never reach the callback";
    EXPECT_EQ(got[0].nResult, ERR_OK);
    EXPECT_EQ(got[0].bComplete, 0);
    EXPECT_EQ(got[0].addr.nLength, 2u);
    EXPECT_EQ(got[0].addr.address[1].by[1], 1);
    EXPECT_EQ(got[0].byBlkDrvType, RTS_BLK_DRV_TYPE_UDP);
    NODEINFOPACKED3 info;
    memcpy(&info, got[0].info.data(), offsetof(NODEINFOPACKED3, addrParent));
    EXPECT_EQ(info.ulTargetType, 0u) << "version 0x0101 has no target fields";
    EXPECT_EQ(info.ulTargetId, 0u);
    EXPECT_EQ(info.ulTargetVersion, 0u);
    memcpy(&info, got[1].info.data(), offsetof(NODEINFOPACKED3, addrParent));
    EXPECT_EQ(info.ulTargetId, b.ulTargetId);

    // The scan stays open until its time-out, which ends it with result 5.
    Cycle(3);
    EXPECT_EQ(Recorder::All().size(), 2u);
    EXPECT_EQ(NSAdjustResolveTimeout(0, H(1)), ERR_OK);
    SysTaskWaitSleep(nullptr, 2);
    Cycle();
    got = Recorder::All();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].nResult, ERR_TIMEOUT);
    EXPECT_EQ(got[2].bComplete, 1);
    EXPECT_EQ(got[2].addr.nLength, 0u);
    EXPECT_EQ(got[2].wSize, 0);
    EXPECT_TRUE(got[2].info.empty());
    EXPECT_EQ(NSGetNumRequests(), 0);
    EXPECT_EQ(NSAdjustResolveTimeout(1000, H(1)), ERR_NO_OBJECT) << "a finished request";
}

TEST_F(NSClient, ResolvingCompletesWithTheFirstAnswerOrWhenAskedTo) {
    NODEADDRESS target = Node({0x2C1C, 0x7F00, 0x0001});
    ASSERT_EQ(NSResolveAddress3(&target, 0, H(2), Recorder::Cb3), ERR_OK);
    std::vector<Sent> s = SentPkgs();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].receiver, (Bytes{0x2C, 0x1C, 0x7F, 0x00, 0x00, 0x01})) << "unicast to the node";
    Ident a;
    a.dwId = LastId();
    EXPECT_EQ(Deliver(a.Build(), target), ERR_OK);
    EXPECT_EQ(Deliver(a.Build(), target), ERR_OK);
    std::vector<Answer> got = Recorder::Of(H(2));
    ASSERT_EQ(got.size(), 1u) << "the first answer completes an address request";
    EXPECT_EQ(got[0].bComplete, 1);
    EXPECT_EQ(NSGetNumRequests(), 0);

    // By name: the query carries the name; without finish-with-first-node
    // every answer comes, with it the first one ends the query.
    const RTS_WCHAR name[] = {'P', 'L', 'C', '1', 0};
    ASSERT_EQ(NSResolveName3(name, 0, 0, H(3), Recorder::Cb3), ERR_OK);
    Bytes query = SentPkgs().back().data;
    EXPECT_EQ(query, (Bytes{0x01, 0xC2, 0x00, 0x04, query[4], query[5], query[6], query[7], 'P', 0, 'L', 0,
                            'C', 0, '1', 0, 0, 0}));
    a.dwId = LastId();
    Deliver(a.Build(), Node({0, 1}));
    Deliver(a.Build(), Node({0, 2}));
    got = Recorder::Of(H(3));
    ASSERT_EQ(got.size(), 2u) << "two nodes of the same name are both reported";
    EXPECT_EQ(got[0].bComplete, 0);
    EXPECT_EQ(got[1].addr.address[1].by[1], 2);
    ASSERT_EQ(NSResolveName3(name, 0, 1, H(4), Recorder::Cb3), ERR_OK);
    a.dwId = LastId();
    Deliver(a.Build(), Node({0, 1}));
    Deliver(a.Build(), Node({0, 2}));
    got = Recorder::Of(H(4));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bComplete, 1);

    // The older generations get their own layouts.
    ASSERT_EQ(NSResolveAddress(&target, H(5), Recorder::Cb1), ERR_OK);
    a.dwId = LastId();
    Deliver(a.Build(), target);
    ASSERT_EQ(NSResolveAddress2(&target, H(6), Recorder::Cb2), ERR_OK);
    a.dwId = LastId();
    Deliver(a.Build(), target);
    got = Recorder::Of(H(5));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].iGeneration, 1);
    NODEINFOPACKED info1;
    memcpy(&info1, got[0].info.data(), offsetof(NODEINFOPACKED, addrParent));
    EXPECT_EQ(info1.wNameLength, 4);
    got = Recorder::Of(H(6));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].iGeneration, 2);
    EXPECT_EQ(got[0].wSize, got[0].info.size());

    // A name the router cannot carry in one package is refused.
    std::vector<RTS_WCHAR> longName(300, 'n');
    longName.push_back(0);
    EXPECT_EQ(NSResolveName3(longName.data(), 0, 0, H(7), Recorder::Cb3), ERR_FAILED);
    m_router.wMaxMessage = 8 + 2 * 5 - 1;
    EXPECT_EQ(NSResolveName3(name, 0, 0, H(7), Recorder::Cb3), ERR_FAILED) << "8 + 2 x (4 + 1) bytes needed";
    m_router.wMaxMessage = 8 + 2 * 5;
    EXPECT_EQ(NSResolveName3(name, 0, 0, H(7), Recorder::Cb3), ERR_OK);
    EXPECT_EQ(NSResolveName3(nullptr, 0, 0, H(7), Recorder::Cb3), ERR_PARAMETER);
    EXPECT_EQ(NSResolveAll3(0, H(7), nullptr), ERR_PARAMETER);
}

TEST_F(NSClient, BlockDriverAddressesAreBoundedAndSelfIsAnsweredAtOnce) {
    NETWORKADDRESS na{};
    na.nLength = 6;
    const uint8_t abyAddr[6] = {0x2D, 0xDC, 127, 0, 0, 1};
    memcpy(na.address, abyAddr, 6);
    ASSERT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_TCP, 0, 48, &na, 0, H(10), Recorder::Cb3), ERR_OK);
    EXPECT_EQ(SentPkgs().back().receiver, Bytes(abyAddr, abyAddr + 6));
    EXPECT_EQ(m_router.byLastBits, 48);

    // A bit length beyond the 8 bytes of a network address is refused
    // before anything is copied.
    size_t nSent = SentPkgs().size();
    for (RTS_UI8 bits : {65, 200, 255}) {
        EXPECT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_TCP, 0, bits, &na, 0, H(11), Recorder::Cb3),
                  ERR_PARAMETER);
        EXPECT_EQ(NSResolveBlkDrvAddress2(RTS_BLK_DRV_TYPE_TCP, 0, bits, &na, H(11), Recorder::Cb2),
                  ERR_PARAMETER);
    }
    EXPECT_EQ(SentPkgs().size(), nSent);
    // A length of 0 becomes the bytes the bit length needs.
    NETWORKADDRESS zero = na;
    zero.nLength = 0;
    EXPECT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_TCP, 0, 48, &zero, 0, H(12), Recorder::Cb3), ERR_OK);
    EXPECT_EQ(m_router.lastNetAddr.nLength, 6u);
    zero.nLength = 0;
    EXPECT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_TCP, 0, 64, &zero, 0, H(12), Recorder::Cb3),
              ERR_FAILED)
        << "the router's result";
    EXPECT_EQ(m_router.lastNetAddr.nLength, 8u);
    NETWORKADDRESS tooLong = na;
    tooLong.nLength = 9;
    EXPECT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_TCP, 0, 48, &tooLong, 0, H(12), Recorder::Cb3),
              ERR_PARAMETER);
    EXPECT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_TCP, 0, 48, nullptr, 0, H(12), Recorder::Cb3),
              ERR_PARAMETER);

    // This node itself: no package, one callback with the own address and an
    // empty identification.
    nSent = SentPkgs().size();
    ASSERT_EQ(NSResolveBlkDrvAddress3(RTS_BLK_DRV_TYPE_NONE, NS_BLKDRV_FLAG_SELF, 0, nullptr, 0, H(13),
                                      Recorder::Cb3),
              ERR_OK);
    EXPECT_EQ(SentPkgs().size(), nSent);
    std::vector<Answer> got = Recorder::Of(H(13));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].nResult, ERR_OK);
    EXPECT_EQ(got[0].bComplete, 1);
    EXPECT_EQ(got[0].addr.nLength, 2u);
    EXPECT_EQ(got[0].addr.address[0].by[1], 0x42);
    ASSERT_EQ(
        NSResolveBlkDrvAddress2(RTS_BLK_DRV_TYPE_NONE, NS_BLKDRV_FLAG_SELF, 0, nullptr, H(14), Recorder::Cb2),
        ERR_OK);
    got = Recorder::Of(H(14));
    ASSERT_EQ(got.size(), 1u);
    // 26 bytes of version 0x0101 become the fixed part of the second
    // generation and three empty strings.
    EXPECT_EQ(got[0].wSize, offsetof(NODEINFOPACKED2, addrParent) + 6);
}

TEST_F(NSClient, TableHoldsEightyRequestsAndExpiresOnePerCycle) {
    for (int i = 0; i < NS_MAX_REQUESTS; ++i) {
        ASSERT_EQ(NSResolveAll3(60000, H(100 + i), Recorder::Cb3), ERR_OK) << i;
    }
    EXPECT_EQ(NSResolveAll3(60000, H(999), Recorder::Cb3), ERR_NUMPENDING) << "the 81st request";
    EXPECT_EQ(NSGetNumRequests(), NS_MAX_REQUESTS);

    // Ids are consecutive.
    EXPECT_EQ(NSGetInternalRequestID(H(101)), NSGetInternalRequestID(H(100)) + 1);

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(NSAdjustResolveTimeout(0, H(100 + i)), ERR_OK);
    }
    SysTaskWaitSleep(nullptr, 2);
    Cycle();
    EXPECT_EQ(Recorder::All().size(), 1u) << "at most one request expires per cycle";
    Cycle(2);
    std::vector<Answer> got = Recorder::All();
    ASSERT_EQ(got.size(), 3u);
    for (const Answer& a : got) {
        EXPECT_EQ(a.nResult, ERR_TIMEOUT);
        EXPECT_EQ(a.bComplete, 1);
    }

    // A refused send leaves no request behind and calls nothing back.
    m_router.sendResult = ERR_NET_NOROUTE;
    int nBefore = NSGetNumRequests();
    EXPECT_EQ(NSResolveAll3(0, H(998), Recorder::Cb3), ERR_NET_NOROUTE);
    EXPECT_EQ(NSGetNumRequests(), nBefore);
    m_router.sendResult = ERR_OK;
    m_router.instanceResult = ERR_FAILED;
    EXPECT_EQ(NSResolveAll3(0, H(998), Recorder::Cb3), ERR_FAILED) << "no router";

    // Exit drops everything without callbacks.
    size_t nAnswers = Recorder::All().size();
    m_init.pfHookFunction(CH_EXIT3, 0, 0);
    EXPECT_EQ(NSGetNumRequests(), 0);
    EXPECT_EQ(Recorder::All().size(), nAnswers);
}

TEST_F(NSClient, TimeOutDefaultsToScanTimeSeconds) {
    EXPECT_EQ(NSGetScanTimeMs(), 10000u);
    for (RTS_I32 s : {0, 101, -3}) {
        g_scanSeconds = s;
        m_init.pfHookFunction(CH_INIT2, 0, 0);
        EXPECT_EQ(NSGetScanTimeMs(), 10000u) << s;
    }
    g_scanSeconds = 100;
    m_init.pfHookFunction(CH_INIT2, 0, 0);
    EXPECT_EQ(NSGetScanTimeMs(), 100000u);
    g_scanSeconds = 1;
    m_init.pfHookFunction(CH_INIT2, 0, 0);
    ASSERT_EQ(NSResolveAll(H(20), Recorder::Cb1), ERR_OK);
    Cycle();
    EXPECT_TRUE(Recorder::All().empty());
    EXPECT_TRUE(kltest::WaitFor(
        [&] {
            Cycle();
            return !Recorder::All().empty();
        },
        5000));
    EXPECT_EQ(Recorder::All()[0].nResult, ERR_TIMEOUT);
}

namespace {
std::atomic<int> g_inCallback{0};
std::atomic<int> g_releaseCallback{0};
std::atomic<int> g_callbacksAfterCancel{0};
std::atomic<int> g_cancelled{0};
void SlowCallback(RTS_RESULT, NODEADDRESS, NODEINFOPACKED3*, RTS_UI16, RTS_UI8, RTS_HANDLE, RTS_BOOL) {
    if (g_cancelled.load()) {
        ++g_callbacksAfterCancel;
    }
    g_inCallback = 1;
    for (int i = 0; i < 2000 && g_releaseCallback.load() == 0; ++i) {
        SysTaskWaitSleep(nullptr, 1);
    }
    g_inCallback = 0;
}
}  // namespace

TEST_F(NSClient, CancelEndsARequestAndWaitsForItsRunningCallback) {
    // Cancelled before any answer: no callback ever, not even the time-out.
    ASSERT_EQ(NSResolveAll3(0, H(30), Recorder::Cb3), ERR_OK);
    uint32_t dwId = LastId();
    EXPECT_EQ(NSCancelRequest(H(30)), ERR_OK);
    Ident a;
    a.dwId = dwId;
    Deliver(a.Build(), Node({0, 1}));
    EXPECT_EQ(NSAdjustResolveTimeout(0, H(30)), ERR_NO_OBJECT);
    Cycle(2);
    EXPECT_TRUE(Recorder::Of(H(30)).empty());
    EXPECT_EQ(NSCancelRequest(H(30)), ERR_NO_OBJECT);

    // A callback already running on another thread: the cancel returns only
    // after it, and nothing is called back after the cancel returned.
    ASSERT_EQ(NSResolveAll3(0, H(31), SlowCallback), ERR_OK);
    a.dwId = LastId();
    std::thread answerer([&] { Deliver(a.Build(), Node({0, 1})); });
    ASSERT_TRUE(kltest::WaitFor([] { return g_inCallback.load() == 1; }, 5000));
    std::thread releaser([] {
        SysTaskWaitSleep(nullptr, 50);
        g_releaseCallback = 1;
    });
    EXPECT_EQ(NSCancelRequest(H(31)), ERR_OK);
    EXPECT_EQ(g_inCallback.load(), 0) << "the cancel waited for the running callback";
    g_cancelled = 1;
    Deliver(a.Build(), Node({0, 2}));
    answerer.join();
    releaser.join();
    EXPECT_EQ(g_callbacksAfterCancel.load(), 0);
}
