// The C interface as a client program uses it: handles, a simulation
// configured in an INI file, synchronous lists and one-shot reads and writes,
// value records, events and C callbacks, the cyclic-list calls of a build
// without cyclic lists, and the answers for handle 0.
//
// Whether the SDK deleted (or kept) an event is seen through the program's
// own operator delete (AllocationProbe.h): an event handle is the address of
// the event's record. Events come from the platform layer, as a program on
// this platform makes them.
#include <mutex>
#include <vector>

#include "AllocationProbe.h"
#include "CApiTestSupport.h"
#include "SysEvent.h"

using namespace capitest;
using namespace allocprobe;

extern "C" size_t KlCApiLayout(size_t* pOut, size_t n);
extern "C" unsigned long KlCApiZeroHandle(void);

namespace {

RTS_HANDLE NewEvent() {
    RTS_RESULT result = ERR_FAILED;
    RTS_HANDLE h = SysEventCreate(nullptr, &result);
    EXPECT_EQ(result, ERR_OK);
    return h;
}

}  // namespace

namespace {

struct StateLog {
    std::mutex mutex;
    std::vector<long> states;
    RTS_UINTPTR hSeen = 0;
};

long OnState2(RTS_UINTPTR hKestrolink, long lState, void* pCstData) {
    auto* pLog = static_cast<StateLog*>(pCstData);
    std::lock_guard<std::mutex> lock(pLog->mutex);
    pLog->states.push_back(lState);
    pLog->hSeen = hKestrolink;
    return 0;
}

long OnList(RTS_UINTPTR, HCYCLIST, void*) {
    return 0;
}

void OnFound(RTS_UINTPTR, NodeInfotyp2*) {}

}  // namespace

TEST_F(CApiTest, HandlesAreCreatedEndedAndZeroNeverReachesAnObject) {
    EXPECT_EQ(KestrolinkGetVersion(0), 0x03051114u);

    // A C program sees the same records and the same answers.
    size_t layout[8] = {};
    ASSERT_EQ(KlCApiLayout(layout, 8), 8u);
    const size_t cxx[8] = {offsetof(PlcVarValue, ulTimeStamp),
                           4,
                           5,
                           6,
                           sizeof(DeviceInfo3),
                           offsetof(DeviceInfo3, ulSettings),
                           sizeof(CallbackAddInfoTag),
                           sizeof(NodeInfotyp2)};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(layout[i], cxx[i]) << i;
    }
    EXPECT_EQ(KlCApiZeroHandle(), 0x03051114ul + STATE_PLC_NOT_CONNECTED + 1);

    // Handle 0: every function answers without an object.
    int32_t lResult = -100;
    Names names{"SampleApp.GVL.iCounter"};
    EXPECT_EQ(KestrolinkExit(0), 1);
    EXPECT_EQ(KestrolinkGetState(0), STATE_PLC_NOT_CONNECTED);
    EXPECT_EQ(KestrolinkGetName(0), nullptr);
    EXPECT_EQ(KestrolinkGetLogging(0), 0);
    EXPECT_EQ(KestrolinkConnect(0, 0xFFFFFFFFu, nullptr, 1), 1);
    EXPECT_EQ(KestrolinkDisconnect(0), 1);
    EXPECT_EQ(KestrolinkSetConnectionCallbacks(0, nullptr, nullptr), 1);
    EXPECT_EQ(KestrolinkSetConnectionCallbacks2(0, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(KestrolinkSetConnectionCallbacks3(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(KestrolinkScanNetwork(0, nullptr, OnFound), 1);
    EXPECT_EQ(KestrolinkLeaveOnlineAccess(0), 1);
    EXPECT_EQ(KestrolinkSyncDefineVarList(0, names.Get(), names.Count(), 0, &lResult), nullptr);
    EXPECT_EQ(lResult, 1);
    lResult = -100;
    EXPECT_EQ(KestrolinkCycDefineVarList2(0, names.Get(), names.Count(), 100, nullptr, nullptr, 0, &lResult),
              nullptr);
    EXPECT_EQ(lResult, 1);
    PlcVarValue** ppValues = nullptr;
    uint32_t ulValues = 0;
    EXPECT_EQ(KestrolinkSyncReadVarsFromPlc(0, names.Get(), names.Count(), &ppValues, &ulValues), nullptr);
    EXPECT_EQ(KestrolinkCycGetUpdateRate(0, nullptr), 1u);
    EXPECT_EQ(KestrolinkCycGetOperatingRate(0, nullptr), 1u);
    KestrolinkCycEnterVarAccess(0, nullptr);
    KestrolinkCycLeaveVarAccess(0, nullptr);

    // A configuration file without the entry yields no handle.
    EXPECT_EQ(KestrolinkInitByFile(7, m_ini.c_str(), nullptr), 0u);
    EXPECT_EQ(KestrolinkInitByFilePlcName("Nope", m_ini.c_str(), nullptr), 0u);

    RTS_UINTPTR hByName = KestrolinkInitByFilePlcName("SimCache", m_ini.c_str(), nullptr);
    ASSERT_NE(hByName, 0u);
    EXPECT_STREQ(KestrolinkGetName(hByName), "SimCache");
    EXPECT_EQ(KestrolinkGetVersion(hByName), 0x03051114u);

    RTS_UINTPTR hBare = KestrolinkInit2(IT_SIMULATION3, nullptr);
    ASSERT_NE(hBare, 0u);
    PlcConfig* pHeld = nullptr;
    EXPECT_EQ(KestrolinkGetConfig(hBare, &pHeld, nullptr), RESULT_OK);
    ASSERT_NE(pHeld, nullptr);
    EXPECT_EQ(pHeld->it, IT_SIMULATION3);

    RTS_UINTPTR hRecords = KestrolinkInit(nullptr, nullptr, nullptr);
    ASSERT_NE(hRecords, 0u);
    EXPECT_EQ(KestrolinkSetClientInformation(hRecords, "Client", "Vendor", "1.0", 7), RESULT_OK);
    // Not connected: the list calls are refused by the state check.
    lResult = -100;
    EXPECT_EQ(KestrolinkSyncDefineVarList(hRecords, names.Get(), names.Count(), 0, &lResult), nullptr);
    EXPECT_EQ(lResult, RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(KestrolinkGetState(hRecords), STATE_PLC_NOT_CONNECTED);

    KestrolinkSetFinalShutDown(hRecords);
    EXPECT_EQ(KestrolinkExit(hRecords), RESULT_OK);
    EXPECT_EQ(KestrolinkExit(hBare), RESULT_OK);
    EXPECT_EQ(KestrolinkExit(hByName), RESULT_OK);
}

TEST_F(CApiTest, SyncListsReadAndWriteTheSimulation) {
    RTS_UINTPTR h = Connected(0);
    ASSERT_NE(h, 0u);

    PlcSymbolDesc* pSymbols = nullptr;
    uint32_t ulSymbols = 0;
    ASSERT_EQ(KestrolinkGetAllItems(h, &pSymbols, &ulSymbols), RESULT_OK);
    EXPECT_GT(ulSymbols, 20u);
    PlcSymbolDesc item{};
    ASSERT_EQ(KestrolinkGetItem(h, "sampleapp.gvl.ICOUNTER", &item), RESULT_OK);
    EXPECT_EQ(item.ulSize, 2u);

    // A writable list: values go in, and come back from byte 5 of each record.
    Names names{"SampleApp.GVL.iCounter", "SampleApp.GVL.diPosition", "SampleApp.GVL.sMessage"};
    int32_t lResult = -100;
    HVARLIST hList =
        KestrolinkSyncDefineVarList(h, names.Get(), names.Count(), VARLIST_FLAG_WRITE_ACCESS, &lResult);
    ASSERT_NE(hList, nullptr);
    EXPECT_EQ(lResult, RESULT_OK);
    int16_t iCounter = 1234;
    int32_t diPosition = -5;
    char szMessage[81] = "hello";
    uint8_t* apValues[3] = {reinterpret_cast<uint8_t*>(&iCounter), reinterpret_cast<uint8_t*>(&diPosition),
                            reinterpret_cast<uint8_t*>(szMessage)};
    uint32_t aulSizes[3] = {2, 4, 81};
    EXPECT_EQ(KestrolinkSyncWriteVarListToPlc(h, hList, 3, apValues, aulSizes), RESULT_OK);
    PlcVarValue** ppValues = nullptr;
    uint32_t ulValues = 0;
    ASSERT_EQ(KestrolinkSyncReadVarListFromPlc(h, hList, &ppValues, &ulValues), RESULT_OK);
    ASSERT_EQ(ulValues, 3u);
    EXPECT_EQ(static_cast<void*>(ppValues[0]->byData), reinterpret_cast<uint8_t*>(ppValues[0]) + 5);
    EXPECT_EQ(ppValues[0]->bQuality, 1);
    EXPECT_EQ(ValueOf<int16_t>(ppValues[0]), 1234);
    EXPECT_EQ(ValueOf<int32_t>(ppValues[1]), -5);
    EXPECT_STREQ(reinterpret_cast<const char*>(ppValues[2]) + 5, "hello");

    // A list without write access refuses writes and changes nothing.
    Names readOnly{"SampleApp.GVL.iCounter"};
    HVARLIST hReadOnly = KestrolinkSyncDefineVarList(h, readOnly.Get(), readOnly.Count(), 0, &lResult);
    ASSERT_NE(hReadOnly, nullptr);
    int16_t iOther = 99;
    uint8_t* apOther[1] = {reinterpret_cast<uint8_t*>(&iOther)};
    EXPECT_EQ(KestrolinkSyncWriteVarListToPlc(h, hReadOnly, 1, apOther, nullptr), RESULT_NO_WRITE_ACCESS);
    ASSERT_EQ(KestrolinkSyncReadVarListFromPlc(h, hReadOnly, &ppValues, &ulValues), RESULT_OK);
    EXPECT_EQ(ValueOf<int16_t>(ppValues[0]), 1234);

    // Refused arguments touch nothing.
    lResult = -100;
    EXPECT_EQ(KestrolinkSyncDefineVarList(h, nullptr, 1, 0, &lResult), nullptr);
    EXPECT_EQ(lResult, RESULT_INVALIDPARAMETER);
    EXPECT_EQ(KestrolinkSyncDefineVarList(h, names.Get(), 0, 0, &lResult), nullptr);
    EXPECT_EQ(lResult, RESULT_INVALIDPARAMETER);
    EXPECT_EQ(KestrolinkSyncReadVarListFromPlc(h, hList, nullptr, &ulValues), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(KestrolinkSyncWriteVarListToPlc(h, hList, 0, apValues, nullptr), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(KestrolinkSyncWriteVarsToPlc(h, names.Get(), names.Count(), nullptr), RESULT_INVALIDPARAMETER);

    // Released lists are gone: a second release is refused, not a double free.
    EXPECT_EQ(KestrolinkSyncDeleteVarList(h, hReadOnly), RESULT_OK);
    EXPECT_EQ(KestrolinkSyncDeleteVarList(h, hReadOnly), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(KestrolinkSyncReadVarListFromPlc(h, hReadOnly, &ppValues, &ulValues), RESULT_INVALIDPARAMETER);

    // One-shot access by names, with and without sizes.
    Names one{"SampleApp.GVL.uiSetpoint", "SampleApp.GVL.lrPrecise"};
    uint16_t uiSetpoint = 40000;
    double lrPrecise = 2.5;
    uint8_t* apOne[2] = {reinterpret_cast<uint8_t*>(&uiSetpoint), reinterpret_cast<uint8_t*>(&lrPrecise)};
    EXPECT_EQ(KestrolinkSyncWriteVarsToPlc(h, one.Get(), one.Count(), apOne), RESULT_OK);
    HVARLIST hRead = KestrolinkSyncReadVarsFromPlc(h, one.Get(), one.Count(), &ppValues, &ulValues);
    ASSERT_NE(hRead, nullptr);
    ASSERT_EQ(ulValues, 2u);
    EXPECT_EQ(ValueOf<uint16_t>(ppValues[0]), 40000);
    EXPECT_EQ(ValueOf<double>(ppValues[1]), 2.5);
    EXPECT_EQ(KestrolinkSyncReadVarsFromPlcReleaseValues(h, hRead), RESULT_OK);
    EXPECT_EQ(KestrolinkSyncReadVarsFromPlcReleaseValues(h, hRead), RESULT_INVALIDPARAMETER);
    // A size the variable does not have is refused as such; the connection
    // stays up.
    uint32_t aulWrongSizes[2] = {2, 4};
    EXPECT_EQ(KestrolinkSyncWriteVarsToPlc2(h, one.Get(), one.Count(), apOne, aulWrongSizes),
              RESULT_WRITE_SIZE_MISMATCH);
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);

    // A name the controller does not know: no list, nothing to release.
    Names unknown{"SampleApp.GVL.nothing"};
    ppValues = reinterpret_cast<PlcVarValue**>(&ulValues);
    EXPECT_EQ(KestrolinkSyncReadVarsFromPlc(h, unknown.Get(), unknown.Count(), &ppValues, &ulValues),
              nullptr);
    EXPECT_EQ(ppValues, nullptr);
    EXPECT_EQ(ulValues, 0u);
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING) << "an unknown name is no reason to reconnect";

    // While not connected a list is released locally.
    EXPECT_EQ(KestrolinkDisconnect(h), RESULT_OK);
    EXPECT_EQ(KestrolinkSyncReadVarListFromPlc(h, hList, &ppValues, &ulValues), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(KestrolinkSyncDeleteVarList(h, hList), RESULT_OK);
    EXPECT_EQ(KestrolinkExit(h), RESULT_OK);
}

TEST_F(CApiTest, ListsKeepLongNamesForTheWriteThroughCache) {
    RTS_UINTPTR h = Connected(1);
    ASSERT_NE(h, 0u);
    // One name of exactly 29 and one of 32 characters, each alone in its list.
    for (const char* pszName : {"SampleApp.GVL.stAxis.stActual", "SampleApp.GVL.stAxis.uiErrorCode"}) {
        Names names{pszName};
        int32_t lResult = -100;
        HVARLIST hList =
            KestrolinkSyncDefineVarList(h, names.Get(), names.Count(), VARLIST_FLAG_WRITE_ACCESS, &lResult);
        ASSERT_NE(hList, nullptr) << pszName;
        EXPECT_EQ(lResult, RESULT_OK);
        uint8_t abyValue[16] = {7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        uint8_t* apValues[1] = {abyValue};
        EXPECT_EQ(KestrolinkSyncWriteVarListToPlc(h, hList, 1, apValues, nullptr), RESULT_OK) << pszName;
        PlcVarValue** ppValues = nullptr;
        uint32_t ulValues = 0;
        ASSERT_EQ(KestrolinkSyncReadVarListFromPlc(h, hList, &ppValues, &ulValues), RESULT_OK);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(ppValues[0])[5], 7);
        EXPECT_EQ(KestrolinkSyncDeleteVarList(h, hList), RESULT_OK);
    }
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING) << "a list definition must never break the connection";
    EXPECT_EQ(KestrolinkExit(h), RESULT_OK);
}

TEST_F(CApiTest, EventsAndStateCallbacksOfAConnection) {
    RTS_UINTPTR h = KestrolinkInitByFile(0, m_ini.c_str(), nullptr);
    ASSERT_NE(h, 0u);
    KestrolinkSetFinalShutDown(h);

    // Without C callbacks the event tells of state changes; the same event
    // twice stays alive, a disconnect deletes it.
    RTS_HANDLE hEvent = NewEvent();
    Watch(hEvent);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, hEvent, 1), RESULT_OK);
    EXPECT_EQ(SysEventWait(hEvent, 0), ERR_OK);
    EXPECT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, hEvent, 1), RESULT_OK);
    EXPECT_FALSE(Freed(hEvent)) << "a second connect with the same event deleted it";
    EXPECT_EQ(SysEventSet(hEvent), ERR_OK);
    EXPECT_EQ(KestrolinkDisconnect(h), RESULT_OK);
    EXPECT_TRUE(Freed(hEvent)) << "the disconnect left the event behind";

    // Another event replaces the first one, which goes at once.
    RTS_HANDLE hFirst = NewEvent();
    RTS_HANDLE hSecond = NewEvent();
    Watch(hFirst);
    Watch(hSecond);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, hFirst, 1), RESULT_OK);
    EXPECT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, hSecond, 1), RESULT_OK);
    EXPECT_TRUE(Freed(hFirst));
    EXPECT_FALSE(Freed(hSecond));
    EXPECT_EQ(KestrolinkDisconnect(h), RESULT_OK);
    EXPECT_TRUE(Freed(hSecond));

    // C callbacks replace the event and carry the handle and their data.
    StateLog log;
    EXPECT_EQ(KestrolinkSetConnectionCallbacks2(h, OnState2, &log, nullptr, nullptr), RESULT_OK);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        EXPECT_EQ(log.states, (std::vector<long>{STATE_PLC_NOT_CONNECTED, STATE_PLC_CONNECTED,
                                                 STATE_SYMBOLS_LOADED, STATE_RUNNING}));
        EXPECT_EQ(log.hSeen, h);
    }
    // An event given to a connect that is never released goes with the handle.
    RTS_HANDLE hLast = NewEvent();
    Watch(hLast);
    EXPECT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, hLast, 1), RESULT_OK);
    EXPECT_EQ(KestrolinkExit(h), RESULT_OK);
    EXPECT_TRUE(Freed(hLast));
    UnwatchAll();
}

TEST_F(CApiTest, CyclicListCallsAreRefusedHonestlyAndLeaveEventsToTheCaller) {
    RTS_UINTPTR h = Connected(0);
    ASSERT_NE(h, 0u);
    Names names{"SampleApp.GVL.iCounter"};
    int32_t lResult = -100;

    // Events that are no events make no objects: the same work as none at all.
    const RTS_HANDLE hNoEvents[] = {nullptr, reinterpret_cast<RTS_HANDLE>(~static_cast<uintptr_t>(0)),
                                    reinterpret_cast<RTS_HANDLE>(static_cast<uintptr_t>(0xFFFFFFFFu))};
    // The first call may size the wrapper's tables once.
    EXPECT_EQ(KestrolinkCycDefineVarList2(h, names.Get(), names.Count(), 100, nullptr, nullptr, 0, &lResult),
              nullptr);
    long alAllocations[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        long lBefore = Allocations();
        EXPECT_EQ(KestrolinkCycDefineVarList2(h, names.Get(), names.Count(), 100, hNoEvents[i], hNoEvents[i],
                                              0, &lResult),
                  nullptr);
        alAllocations[i] = Allocations() - lBefore;
        EXPECT_EQ(lResult, RESULT_NOT_SUPPORTED);
    }
    EXPECT_EQ(alAllocations[1], alAllocations[0]);
    EXPECT_EQ(alAllocations[2], alAllocations[0]);

    // Two real events make two objects; the refused call leaves both events
    // with the caller.
    RTS_HANDLE hReady = NewEvent();
    RTS_HANDLE hChanged = NewEvent();
    Watch(hReady);
    Watch(hChanged);
    long lBefore = Allocations();
    EXPECT_EQ(KestrolinkCycDefineVarList2(h, names.Get(), names.Count(), 100, hReady, hChanged, 0, &lResult),
              nullptr);
    EXPECT_EQ(Allocations() - lBefore, alAllocations[0] + 2);
    EXPECT_EQ(lResult, RESULT_NOT_SUPPORTED);
    EXPECT_EQ(KestrolinkCycUpdateVarList(h, reinterpret_cast<HCYCLIST>(&lResult), names.Get(), names.Count(),
                                         100, hReady, hChanged),
              nullptr);
    EXPECT_FALSE(Freed(hReady)) << "a refused call deleted the caller's event";
    EXPECT_FALSE(Freed(hChanged));
    EXPECT_EQ(SysEventSet(hReady), ERR_OK);
    EXPECT_EQ(SysEventDelete(hReady), ERR_OK);
    EXPECT_EQ(SysEventDelete(hChanged), ERR_OK);
    UnwatchAll();

    // The other generations and list calls: "not supported", never success.
    lResult = -100;
    EXPECT_EQ(KestrolinkCycDefineVarList3(h, names.Get(), names.Count(), 100, OnList, nullptr, OnList,
                                          nullptr, 0, &lResult),
              nullptr);
    EXPECT_EQ(lResult, RESULT_NOT_SUPPORTED);
    lResult = -100;
    EXPECT_EQ(
        KestrolinkCycDefineVarList4(h, names.Get(), names.Count(), 100, OnList, nullptr, nullptr, nullptr,
                                    VARLIST_FLAG_KEEP_VARLIST_ON_DISCONNECT, &lResult, OnList, nullptr),
        nullptr);
    EXPECT_EQ(lResult, RESULT_NOT_SUPPORTED);
    EXPECT_EQ(KestrolinkCycDeleteVarList(h, nullptr), RESULT_INVALID_CYCLIST);
    HCYCLIST hNoList = reinterpret_cast<HCYCLIST>(&lResult);
    EXPECT_EQ(KestrolinkCycDeleteVarList2(h, hNoList, 0), RESULT_NOT_SUPPORTED);
    EXPECT_EQ(KestrolinkCycEnableList(h, hNoList), RESULT_NOT_SUPPORTED);
    EXPECT_EQ(KestrolinkCycGetUpdateRate(h, hNoList), 0xFFFFFFFFu);
    PlcVarValue** ppValues = nullptr;
    uint32_t ulValues = 5;
    EXPECT_EQ(KestrolinkCycReadVars(h, hNoList, &ppValues, &ulValues), RESULT_NOT_SUPPORTED);
    EXPECT_EQ(ulValues, 0u);

    // A scan needs a callback (a scan that starts would go out on the
    // network: the wrapper test covers running scans).
    EXPECT_EQ(KestrolinkScanNetwork(h, nullptr, nullptr), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(KestrolinkScanNetwork2(h, nullptr, nullptr, nullptr), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(KestrolinkExit(h), RESULT_OK);
}
