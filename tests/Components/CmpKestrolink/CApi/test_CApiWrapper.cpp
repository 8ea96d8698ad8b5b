// What the C interface keeps for a handle, seen from inside: the callback
// wrapper (C functions, events, the scan flag), the ownership of the
// notification objects of cyclic lists across define, update and delete, and
// the write-through read cache. A connection object with fake cyclic lists
// and a fake scan stands in for the lists and the network that this build
// does not have; it is attached to the C interface the way the creators do.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "AllocationProbe.h"
#include "CApiTestSupport.h"
#include "CmpKestrolinkMain.h"
#include "EasyKestrolink.h"
#include "KestrolinkItfWrapper.h"
#include "KestrolinkWriteThrough.h"
#include "SysEvent.h"
#include "SysTime.h"

using namespace capitest;
using namespace allocprobe;

namespace {

// One fake cyclic list, and a fake scan that runs until told otherwise.
class FakeLists : public CEasyKestrolink {
public:
    enum Mode { kAccept, kRefuseEarly, kRefuseAfterStore };
    struct List {
        CKestrolinkCallback* ap[3];
        bool bValid;
    };

    FakeLists() : CEasyKestrolink(RTS_INVALID_HANDLE) {}
    ~FakeLists() override { StopAll(); }

    HCYCLIST CycDefineVarList(const char* const*, RTS_UI32, RTS_UI32, CKestrolinkCallback* pUpdateReady,
                              CKestrolinkCallback* pDataChange, RTS_HANDLE, RTS_UI32, RTS_I32* plResult,
                              CKestrolinkCallback* pReactivate) override {
        m_list = List{{pUpdateReady, pDataChange, pReactivate}, true};
        *plResult = RESULT_OK;
        return &m_list;
    }
    HCYCLIST CycUpdateVarList(HCYCLIST h, const char* const*, RTS_UI32, RTS_UI32,
                              CKestrolinkCallback* pUpdateReady, CKestrolinkCallback* pDataChange, RTS_HANDLE,
                              RTS_UI32, RTS_I32* plResult, CKestrolinkCallback* pReactivate) override {
        if (h != &m_list || !m_list.bValid || m_mode == kRefuseEarly) {
            *plResult = RESULT_INVALIDPARAMETER;
            return nullptr;
        }
        m_list.ap[0] = pUpdateReady;
        m_list.ap[1] = pDataChange;
        m_list.ap[2] = pReactivate;
        // A device that refuses the new list after the callbacks were stored.
        *plResult = m_mode == kRefuseAfterStore ? RESULT_FAILED : RESULT_OK;
        return m_mode == kRefuseAfterStore ? nullptr : &m_list;
    }
    RTS_I32 CycDeleteVarList(HCYCLIST h, RTS_I32) override {
        if (h != &m_list || !m_list.bValid) {
            return RESULT_INVALID_CYCLIST;
        }
        m_list = List{{nullptr, nullptr, nullptr}, false};
        return RESULT_OK;
    }
    RTS_I32 CycGetNotificationObjects(HCYCLIST h, CKestrolinkCallback** pp0, CKestrolinkCallback** pp1,
                                      CKestrolinkCallback** pp2) override {
        bool bValid = h == &m_list && m_list.bValid;
        *pp0 = bValid ? m_list.ap[0] : nullptr;
        *pp1 = bValid ? m_list.ap[1] : nullptr;
        *pp2 = bValid ? m_list.ap[2] : nullptr;
        return bValid ? RESULT_OK : RESULT_INVALID_CYCLIST;
    }
    RTS_I32 ScanNetwork(GatewayConnection*, CKestrolinkCallback* pFound) override {
        m_pScanCallback = pFound;
        return RESULT_OK;
    }

    // Tells the registered objects of the list, as an update thread would.
    long Tell(int iSlot, RTS_UI32 ulType) {
        CallbackAddInfoTag info{};
        info.ulType = ulType;
        info.AddInf.hCycList = &m_list;
        return m_list.ap[iSlot]->Notify(this, info);
    }

    List m_list{{nullptr, nullptr, nullptr}, false};
    Mode m_mode = kAccept;
    CKestrolinkCallback* m_pScanCallback = nullptr;
};

class WrapperTest : public CApiTest {
protected:
    void SetUp() override {
        CApiTest::SetUp();
        ASSERT_EQ(SetSettingsFileName(m_dir.File("Kestrolink.ini").c_str()), ERR_OK);
        m_pObject = new FakeLists();
        m_pObject->SetFinalShutDown();
        m_pWrapper = new CKESTROLINKWrapperCallback();
        m_pObject->pCstData = m_pWrapper;
        m_h = reinterpret_cast<RTS_UINTPTR>(static_cast<CEasyKestrolink*>(m_pObject));
    }
    void TearDown() override {
        if (m_h != 0) {
            EXPECT_EQ(KestrolinkExit(m_h), RESULT_OK);
        }
        UnwatchAll();
        CApiTest::TearDown();
    }

    FakeLists* m_pObject = nullptr;
    CKESTROLINKWrapperCallback* m_pWrapper = nullptr;
    RTS_UINTPTR m_h = 0;
};

struct Seen {
    RTS_UINTPTR h = 0;
    HCYCLIST hList = nullptr;
    int calls = 0;
};

long OnList(RTS_UINTPTR h, HCYCLIST hList, void* pCstData) {
    auto* pSeen = static_cast<Seen*>(pCstData);
    pSeen->h = h;
    pSeen->hList = hList;
    ++pSeen->calls;
    return 56;
}

RTS_HANDLE NewEvent() {
    RTS_RESULT result = ERR_FAILED;
    RTS_HANDLE h = SysEventCreate(nullptr, &result);
    EXPECT_EQ(result, ERR_OK);
    return h;
}

struct ScanLog {
    std::atomic<int> nodes{0};
    std::atomic<bool> bFinal{false};
    std::atomic<RTS_UINTPTR> h{0};
};

long OnFound2(RTS_UINTPTR h, NodeInfotyp2* pNode, void* pCstData) {
    auto* pLog = static_cast<ScanLog*>(pCstData);
    pLog->h = h;
    ++pLog->nodes;
    if (pNode->bComplete) {
        // Slow on purpose: the end must wait for the whole last callback.
        SysTaskWaitSleep(nullptr, 50);
        pLog->bFinal = true;
    }
    return 0;
}

void OnFound(RTS_UINTPTR, NodeInfotyp2*) {}

}  // namespace

TEST_F(WrapperTest, NotificationObjectsLiveExactlyAsLongAsAListUsesThem) {
    Names names{"SampleApp.GVL.iCounter"};
    int32_t lResult = -100;
    Seen ready;
    Seen changed;
    HCYCLIST hList = KestrolinkCycDefineVarList3(m_h, names.Get(), names.Count(), 100, OnList, &ready, OnList,
                                                 &changed, 0, &lResult);
    ASSERT_EQ(hList, &m_pObject->m_list);
    CKestrolinkCallback* pReady = m_pObject->m_list.ap[0];
    CKestrolinkCallback* pChanged = m_pObject->m_list.ap[1];
    ASSERT_NE(pReady, nullptr);
    ASSERT_NE(pChanged, nullptr);
    EXPECT_EQ(m_pObject->m_list.ap[2], nullptr);

    // The C function hears list events only, with the handle, the list and its data.
    EXPECT_EQ(m_pObject->Tell(0, CALLBACK_CYCLIST_UPDATE_READY), 56);
    EXPECT_EQ(m_pObject->Tell(1, CALLBACK_CYCLIST_DATA_CHANGED), 56);
    EXPECT_EQ(m_pObject->Tell(1, CALLBACK_CYCLIST_REACTIVATED), 56);
    EXPECT_EQ(m_pObject->Tell(0, CALLBACK_STATE_CHANGED), 0);
    EXPECT_EQ(m_pObject->Tell(0, CALLBACK_PLC_FOUND), 0);
    EXPECT_EQ(ready.calls, 1);
    EXPECT_EQ(changed.calls, 2);
    EXPECT_EQ(ready.h, m_h);
    EXPECT_EQ(ready.hList, hList);

    // An update refused before it changed the list: the list still uses its
    // objects, which stay; the ones made for the call go.
    Watch(pReady);
    Watch(pChanged);
    m_pObject->m_mode = FakeLists::kRefuseEarly;
    EXPECT_EQ(KestrolinkCycUpdateVarList3(m_h, hList, names.Get(), names.Count(), 100, OnList, &ready,
                                          nullptr, nullptr, 0, &lResult),
              nullptr);
    EXPECT_FALSE(Freed(pReady));
    EXPECT_FALSE(Freed(pChanged));
    EXPECT_EQ(m_pObject->Tell(0, CALLBACK_CYCLIST_UPDATE_READY), 56);

    // A successful update with events: the old objects go, the new ones own the events.
    m_pObject->m_mode = FakeLists::kAccept;
    RTS_HANDLE hReadyEvent = NewEvent();
    RTS_HANDLE hChangedEvent = NewEvent();
    Watch(hReadyEvent);
    Watch(hChangedEvent);
    EXPECT_EQ(KestrolinkCycUpdateVarList2(m_h, hList, names.Get(), names.Count(), 100, hReadyEvent,
                                          hChangedEvent, 0, &lResult),
              hList);
    EXPECT_TRUE(Freed(pReady));
    EXPECT_TRUE(Freed(pChanged));
    CKestrolinkCallback* pEventObject = m_pObject->m_list.ap[0];
    ASSERT_NE(pEventObject, nullptr);
    EXPECT_EQ(pEventObject->m_hEvent, hReadyEvent);
    EXPECT_EQ(m_pObject->Tell(0, CALLBACK_CYCLIST_UPDATE_READY), 1);
    EXPECT_EQ(SysEventWait(hReadyEvent, 0), ERR_OK);

    // An update the device refused after the list took the new objects: they
    // are used and stay; the event objects go with their events.
    m_pObject->m_mode = FakeLists::kRefuseAfterStore;
    EXPECT_EQ(KestrolinkCycUpdateVarList3(m_h, hList, names.Get(), names.Count(), 100, OnList, &ready,
                                          nullptr, nullptr, 0, &lResult),
              nullptr);
    EXPECT_TRUE(Freed(hReadyEvent));
    EXPECT_TRUE(Freed(hChangedEvent));
    CKestrolinkCallback* pKept = m_pObject->m_list.ap[0];
    Watch(pKept);
    ready.calls = 0;
    EXPECT_EQ(m_pObject->Tell(0, CALLBACK_CYCLIST_UPDATE_READY), 56);
    EXPECT_EQ(ready.calls, 1);

    // The caller's own objects: the C layer's go, the caller's are never touched.
    m_pObject->m_mode = FakeLists::kAccept;
    CKestrolinkCallback mine(nullptr, 0);
    EXPECT_EQ(KestrolinkCycUpdateVarList(m_h, hList, names.Get(), names.Count(), 100, &mine, nullptr, 0,
                                         &lResult, nullptr),
              hList);
    EXPECT_TRUE(Freed(pKept));
    EXPECT_EQ(m_pObject->m_list.ap[0], &mine);

    // One event for both notifications: one object, deleted once.
    RTS_HANDLE hBoth = NewEvent();
    Watch(hBoth);
    EXPECT_EQ(
        KestrolinkCycUpdateVarList2(m_h, hList, names.Get(), names.Count(), 100, hBoth, hBoth, 0, &lResult),
        hList);
    CKestrolinkCallback* pBoth = m_pObject->m_list.ap[0];
    EXPECT_EQ(m_pObject->m_list.ap[1], pBoth);
    Watch(pBoth);

    // A delete that fails keeps everything; a delete that works takes the
    // objects first and destroys them after the list is gone.
    EXPECT_EQ(KestrolinkCycDeleteVarList2(m_h, &lResult, 1), RESULT_INVALID_CYCLIST);
    EXPECT_FALSE(Freed(pBoth));
    EXPECT_EQ(KestrolinkCycDeleteVarList(m_h, hList), RESULT_OK);
    EXPECT_TRUE(Freed(pBoth));
    EXPECT_TRUE(Freed(hBoth));

    // What a list still uses when the handle ends goes with it.
    hList =
        KestrolinkCycDefineVarList4(m_h, names.Get(), names.Count(), 100, nullptr, nullptr, nullptr, nullptr,
                                    VARLIST_FLAG_KEEP_VARLIST_ON_DISCONNECT, &lResult, OnList, &ready);
    ASSERT_EQ(hList, &m_pObject->m_list);
    CKestrolinkCallback* pReactivate = m_pObject->m_list.ap[2];
    ASSERT_NE(pReactivate, nullptr);
    Watch(pReactivate);
    EXPECT_EQ(KestrolinkExit(m_h), RESULT_OK);
    m_h = 0;
    EXPECT_TRUE(Freed(pReactivate));
}

TEST_F(WrapperTest, OneScanAtATimeAndExitWaitsForItsEnd) {
    ScanLog log;
    EXPECT_EQ(KestrolinkScanNetwork2(m_h, nullptr, nullptr, &log), RESULT_INVALIDPARAMETER);
    ASSERT_EQ(KestrolinkScanNetwork2(m_h, nullptr, OnFound2, &log), RESULT_OK);
    EXPECT_EQ(KestrolinkScanNetwork(m_h, nullptr, OnFound), RESULT_SCAN_RUNNING);
    EXPECT_EQ(KestrolinkScanNetwork2(m_h, nullptr, OnFound2, &log), RESULT_SCAN_RUNNING);
    ASSERT_EQ(m_pObject->m_pScanCallback, m_pWrapper);

    NodeInfotyp2 node{};
    CallbackAddInfoTag info{};
    info.ulType = CALLBACK_PLC_FOUND;
    info.AddInf.pNodeInfo2 = &node;
    m_pWrapper->Notify(m_pObject, info);
    EXPECT_EQ(log.nodes.load(), 1);
    EXPECT_EQ(log.h.load(), m_h);
    EXPECT_TRUE(m_pWrapper->IsNetworkScanInProgress());
    node.bComplete = 1;
    m_pWrapper->Notify(m_pObject, info);
    EXPECT_FALSE(m_pWrapper->IsNetworkScanInProgress());
    EXPECT_TRUE(log.bFinal.load());

    // A new scan may start; the handle's end waits until its last record was
    // handed over completely.
    log.bFinal = false;
    ASSERT_EQ(KestrolinkScanNetwork2(m_h, nullptr, OnFound2, &log), RESULT_OK);
    CKESTROLINKWrapperCallback* pWrapper = m_pWrapper;
    FakeLists* pObject = m_pObject;
    std::thread scan([pWrapper, pObject] {
        SysTaskWaitSleep(nullptr, 150);
        NodeInfotyp2 last{};
        last.bComplete = 1;
        CallbackAddInfoTag end{};
        end.ulType = CALLBACK_PLC_FOUND;
        end.AddInf.pNodeInfo2 = &last;
        pWrapper->Notify(pObject, end);
    });
    EXPECT_EQ(KestrolinkExit(m_h), RESULT_OK);
    m_h = 0;
    EXPECT_TRUE(log.bFinal.load()) << "the handle ended inside the scan's last callback";
    scan.join();
}

namespace {
struct Calls {
    std::atomic<int> state1{0};
    std::atomic<int> state2{0};
    std::atomic<long> lastState{-100};
    std::atomic<void*> pData{nullptr};
    RTS_UINTPTR h = 0;
};
Calls* g_pCalls = nullptr;

long State1(RTS_UINTPTR h, long lState) {
    g_pCalls->h = h;
    g_pCalls->lastState = lState;
    ++g_pCalls->state1;
    return 0;
}
long State2(RTS_UINTPTR, long lState, void* pCstData) {
    g_pCalls->lastState = lState;
    g_pCalls->pData = pCstData;
    ++g_pCalls->state2;
    return 0;
}
long Verify1(RTS_UINTPTR, char*, unsigned long, long lVerifyResult) {
    return lVerifyResult + 100;
}
long Verify2(RTS_UINTPTR, char*, unsigned long ulSize, long lVerifyResult, void* pCstData) {
    g_pCalls->pData = pCstData;
    return lVerifyResult + static_cast<long>(ulSize);
}
long Credentials(RTS_UINTPTR, RequestCredentialsType type, char* pszUser, unsigned long ulUserSize,
                 char* pszPassword, unsigned long ulPasswordSize, void* pCstData) {
    g_pCalls->pData = pCstData;
    snprintf(pszUser, ulUserSize, "user%d", static_cast<int>(type));
    snprintf(pszPassword, ulPasswordSize, "pw");
    return 0;
}
}  // namespace

TEST_F(WrapperTest, WrapperCallsTheRegisteredFunctionsOrSetsTheEvent) {
    Calls calls;
    g_pCalls = &calls;
    int data = 0;
    char szUser[16] = "";
    char szPassword[16] = "";
    char szCert[] = "abc";

    // Nothing registered: credentials are refused, the verdict stands, and a
    // state change sets the event.
    EXPECT_EQ(m_pWrapper->RequestCredentials(m_pObject, REQ_CREDENTIALS_V3_PLC_USR_PWD, szUser,
                                             sizeof(szUser), szPassword, sizeof(szPassword)),
              RESULT_NO_CREDENTIALS);
    EXPECT_EQ(m_pWrapper->VerifyPlcCertificate(m_pObject, szCert, 3, 7), 7);
    RTS_HANDLE hEvent = NewEvent();
    m_pWrapper->SetEvent(hEvent);
    CallbackAddInfoTag info{};
    info.ulType = CALLBACK_STATE_CHANGED;
    info.AddInf.lKestrolinkState = STATE_RUNNING;
    EXPECT_EQ(m_pWrapper->Notify(m_pObject, info), 1);
    EXPECT_EQ(SysEventWait(hEvent, 0), ERR_OK);

    // The data forms, with their data; credentials only for an object.
    EXPECT_EQ(KestrolinkSetConnectionCallbacks3(m_h, State2, &data, Verify2, &data, Credentials, &calls),
              RESULT_OK);
    EXPECT_EQ(m_pWrapper->Notify(m_pObject, info), 0);
    EXPECT_EQ(SysEventWait(hEvent, 0), ERR_TIMEOUT) << "with C functions registered the event is not set";
    EXPECT_EQ(calls.state2.load(), 1);
    EXPECT_EQ(calls.lastState.load(), STATE_RUNNING);
    EXPECT_EQ(calls.pData.load(), &data);
    EXPECT_EQ(m_pWrapper->VerifyPlcCertificate(m_pObject, szCert, 3, 7), 10);
    EXPECT_EQ(m_pWrapper->VerifyPlcCertificate(nullptr, szCert, 3, 7), 7);
    EXPECT_EQ(m_pWrapper->RequestCredentials(nullptr, REQ_CREDENTIALS_V3_PLC_USR_PWD, szUser, sizeof(szUser),
                                             szPassword, sizeof(szPassword)),
              RESULT_NO_CREDENTIALS);
    EXPECT_EQ(m_pWrapper->RequestCredentials(m_pObject, REQ_CREDENTIALS_V2_PLC_PWD, szUser, sizeof(szUser),
                                             szPassword, sizeof(szPassword)),
              0);
    EXPECT_STREQ(szUser, "user1");
    EXPECT_EQ(calls.pData.load(), &calls);

    // The plain forms come first when both are registered.
    EXPECT_EQ(KestrolinkSetConnectionCallbacks(m_h, State1, Verify1), RESULT_OK);
    info.AddInf.lKestrolinkState = STATE_PLC_NOT_CONNECTED;
    m_pWrapper->Notify(m_pObject, info);
    EXPECT_EQ(calls.state1.load(), 1);
    EXPECT_EQ(calls.state2.load(), 1);
    EXPECT_EQ(calls.h, m_h);
    EXPECT_EQ(m_pWrapper->VerifyPlcCertificate(m_pObject, szCert, 3, 7), 107);
    EXPECT_EQ(m_pWrapper->Notify(nullptr, info), 0);
    EXPECT_EQ(calls.state1.load(), 1);

    // All cleared: the event again.
    KestrolinkSetConnectionCallbacks(m_h, nullptr, nullptr);
    KestrolinkSetConnectionCallbacks3(m_h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(m_pWrapper->Notify(m_pObject, info), 1);
    EXPECT_EQ(SysEventWait(hEvent, 0), ERR_OK);
    g_pCalls = nullptr;
}

namespace {
// A cyclic list and its owner as the write-through cache sees them.
struct FakeCycList {
    RTS_UI32 ulNumOfValues = 0;
    char** ppszSymbolList = nullptr;
    PlcVarValue** ppValues = nullptr;
    RTS_UI32* pulValueLength = nullptr;
    RTS_UI32* pulVarFlags = nullptr;
    bool bValid = true;
    int iLocks = 0;
    int iChanges = 0;
};

struct FakeOwner {
    int iTableLocks = 0;
    int iMaxTableLocks = 0;
    void CycEnterListAccess() { iMaxTableLocks = ++iTableLocks; }
    void CycLeaveListAccess() { --iTableLocks; }
    RTS_I32 CycEnterVarAccess(FakeCycList* p) {
        if (!p->bValid) {
            return 0;
        }
        ++p->iLocks;
        return 1;
    }
    void CycLeaveVarAccess(FakeCycList* p) { --p->iLocks; }
    void CycGenerateDatachangeCallback(FakeCycList* p) {
        EXPECT_EQ(p->iLocks, 1) << "the change is reported under the list's value lock";
        ++p->iChanges;
    }
};

// Value records of 8 data bytes each, filled with 0xEE.
struct Records {
    explicit Records(int n) : raw(static_cast<size_t>(n), std::vector<uint8_t>(13, 0xEE)) {
        for (auto& r : raw) {
            ptrs.push_back(reinterpret_cast<PlcVarValue*>(r.data()));
        }
    }
    const uint8_t* Data(int i) const { return raw[static_cast<size_t>(i)].data() + 5; }
    std::vector<std::vector<uint8_t>> raw;
    std::vector<PlcVarValue*> ptrs;
};
}  // namespace

TEST(WriteThroughCache, WrittenValuesReachEveryListHoldingTheName) {
    Names namesA{"App.GVL.a", "app.gvl.B", "APP.GVL.A"};
    Records valuesA(3);
    RTS_UI32 lengthsA[3] = {2, 4, 8};
    RTS_UI32 flagsA[3] = {0, 0, 0};
    FakeCycList a;
    a.ulNumOfValues = 3;
    a.ppszSymbolList = namesA.Get();
    a.ppValues = valuesA.ptrs.data();
    a.pulValueLength = lengthsA;
    a.pulVarFlags = flagsA;

    Names namesB{"App.GVL.other"};
    Records valuesB(1);
    RTS_UI32 lengthsB[1] = {8};
    FakeCycList b;
    b.ulNumOfValues = 1;
    b.ppszSymbolList = namesB.Get();
    b.ppValues = valuesB.ptrs.data();
    b.pulValueLength = lengthsB;

    Names namesC{"app.gvl.b"};
    Records valuesC(1);
    RTS_UI32 lengthsC[1] = {4};
    FakeCycList c = b;
    c.ppszSymbolList = namesC.Get();
    c.ppValues = valuesC.ptrs.data();
    c.pulValueLength = lengthsC;

    FakeCycList gone = c;
    gone.bValid = false;
    Records valuesGone(1);
    gone.ppValues = valuesGone.ptrs.data();

    FakeCycList* table[4] = {&a, &b, &c, &gone};
    FakeOwner owner;
    Names written{"app.gvl.A", "App.Gvl.b"};
    const uint8_t abyA[4] = {1, 2, 3, 4};
    const uint8_t abyB[4] = {9, 8, 7, 6};
    const RTS_UI8* apValues[2] = {abyA, abyB};
    const RTS_UI32 aulSizes[2] = {4, 1};
    KlWriteThroughReadCache(&owner, table, 4, written.Get(), 2, apValues, aulSizes);

    // Cut to the cached length (2 of 4), or to the written size (1 of 4).
    EXPECT_EQ(std::vector<uint8_t>(valuesA.Data(0), valuesA.Data(0) + 3), (std::vector<uint8_t>{1, 2, 0xEE}));
    EXPECT_EQ(std::vector<uint8_t>(valuesA.Data(1), valuesA.Data(1) + 2), (std::vector<uint8_t>{9, 0xEE}));
    EXPECT_EQ(std::vector<uint8_t>(valuesA.Data(2), valuesA.Data(2) + 5),
              (std::vector<uint8_t>{1, 2, 3, 4, 0xEE}));
    EXPECT_EQ(flagsA[0] & 1u, 1u);
    EXPECT_EQ(flagsA[1] & 1u, 1u);
    EXPECT_EQ(flagsA[2] & 1u, 1u);
    EXPECT_EQ(valuesC.Data(0)[0], 9);
    EXPECT_EQ(valuesC.Data(0)[1], 0xEE);
    EXPECT_EQ(valuesB.Data(0)[0], 0xEE);
    EXPECT_EQ(valuesGone.Data(0)[0], 0xEE) << "a list that is going away is left alone";

    // One change report per touched list, every lock given back.
    EXPECT_EQ(a.iChanges, 1);
    EXPECT_EQ(b.iChanges, 0);
    EXPECT_EQ(c.iChanges, 1);
    EXPECT_EQ(gone.iChanges, 0);
    EXPECT_EQ(a.iLocks + b.iLocks + c.iLocks + gone.iLocks, 0);
    EXPECT_EQ(owner.iTableLocks, 0);
    EXPECT_EQ(owner.iMaxTableLocks, 1);

    // Nothing written: nothing locked.
    owner.iMaxTableLocks = 0;
    KlWriteThroughReadCache(&owner, table, 4, written.Get(), 2, nullptr, aulSizes);
    EXPECT_EQ(owner.iMaxTableLocks, 0);
    EXPECT_EQ(a.iChanges, 1);
}
