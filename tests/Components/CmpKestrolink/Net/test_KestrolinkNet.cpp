// The SDK end to end over loopback: connection objects made through the C
// interface (configured as the panel driver configures them: IT_ARTI3,
// "IpAddress", "Port", "DontLoadSymbolsFromPlc" 1) against the in-process
// emulator: connect by address and by node name, the login types with the
// credentials callback, a controller that goes away and comes back, every
// variable type of the sample application written and read back, and reads
// under lost, duplicated and reordered blocks and a stalled channel.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CMItf.h"
#include "CmpChannelClientItf.h"
#include "CmpKestrolinkMain.h"
#include "DeviceTestSupport.h"
#include "Emulator.h"
#include "SysSocketUdp.h"
#include "SysTime.h"
#include "TestSupport.h"
#include "kestrolink/Kestrolink.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[maybe_unused]] bool UdpPortsFree() {
    for (uint16_t p = 1740; p < 1744; ++p) {
        RTS_RESULT r = ERR_OK;
        RTS_HANDLE h = SysSockUdpOpen(SysSockHtonl(0x7F000001u), p, 0, 0, &r);
        if (h == RTS_INVALID_HANDLE) {
            return false;
        }
        SysSockClose(h);
    }
    return true;
}

// The panel driver's configuration, pointed at a port of the loopback.
struct DriverConfig : devtest::Config {
    explicit DriverConfig(uint16_t usPort) {
        config.pszName = Text("PLC_Inst0");
        config.it = IT_ARTI3;
        config.bActive = 1;
        config.bLogin = 1;
        config.bLogToFile = 1;
        config.bPreCheckIdentity = 1;
        config.ulTimeout = 5000;
        config.ulNumTries = 3;
        config.ulWaitTime = 5000;
        config.ulReconnectTime = 5000;
        config.ulLogFilter = 255;
        device.pszName = Text("");
        if (usPort != 0) {
            Param("IpAddress", "127.0.0.1");
            Param("Port", std::to_string(usPort));
        }
        Param("DontLoadSymbolsFromPlc", "1");
    }
};

klemu::EmulatorOptions EmuOptions(uint16_t usPort = 0) {
    klemu::EmulatorOptions o;
    o.usPort = usPort;
    o.logLevel = klemu::LogLevel::Error;
    return o;
}

// An emulator on a port given back a moment ago may find it still taken for
// a short while.
std::unique_ptr<klemu::Emulator> StartEmulator(const klemu::EmulatorOptions& o) {
    std::string error;
    for (int i = 0; i < 50; ++i) {
        auto p = std::make_unique<klemu::Emulator>(o);
        if (p->Start(&error)) {
            return p;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "emulator did not start: " << error;
    return nullptr;
}

// Names as the C interface takes them.
class Names {
public:
    Names() = default;
    explicit Names(const std::vector<std::string>& names) {
        for (const std::string& n : names) {
            Add(n);
        }
    }
    void Add(const std::string& name) {
        m_text.push_back(name);
        m_ptrs.clear();
        for (std::string& s : m_text) {
            m_ptrs.push_back(&s[0]);
        }
    }
    char** Get() { return m_ptrs.data(); }
    uint32_t Count() const { return static_cast<uint32_t>(m_ptrs.size()); }

private:
    std::deque<std::string> m_text;
    std::vector<char*> m_ptrs;
};

template <typename T>
Bytes Raw(T v) {
    Bytes b(sizeof(v));
    std::memcpy(b.data(), &v, sizeof(v));
    return b;
}

[[maybe_unused]] Bytes Text(const std::string& s, size_t ulSize) {
    Bytes b(ulSize, 0);
    std::memcpy(b.data(), s.data(), std::min(s.size(), ulSize - 1));
    return b;
}

[[maybe_unused]] Bytes WText(const std::u16string& s, size_t ulSize) {
    Bytes b(ulSize, 0);
    for (size_t i = 0; i < s.size() && 2 * i + 2 < ulSize; ++i) {
        b[2 * i] = static_cast<uint8_t>(s[i] & 0xFF);
        b[2 * i + 1] = static_cast<uint8_t>(s[i] >> 8);
    }
    return b;
}

Bytes DataOf(const PlcVarValue* p, size_t ulSize) {
    const uint8_t* pData = reinterpret_cast<const uint8_t*>(p) + 5;
    return Bytes(pData, pData + ulSize);
}

// One-shot read of names through the C interface; false when it failed.
[[maybe_unused]] bool ReadVars(RTS_UINTPTR h, Names* pNames, const std::vector<size_t>& sizes,
                               std::vector<Bytes>* pOut) {
    PlcVarValue** ppValues = nullptr;
    uint32_t ulNum = 0;
    HVARLIST hRead = KestrolinkSyncReadVarsFromPlc(h, pNames->Get(), pNames->Count(), &ppValues, &ulNum);
    if (hRead == nullptr) {
        return false;
    }
    pOut->clear();
    bool bOk = ulNum == pNames->Count() && ppValues != nullptr;
    for (uint32_t i = 0; bOk && i < ulNum; ++i) {
        bOk = ppValues[i] != nullptr;
        if (bOk) {
            pOut->push_back(DataOf(ppValues[i], sizes[i]));
        }
    }
    EXPECT_EQ(KestrolinkSyncReadVarsFromPlcReleaseValues(h, hRead), RESULT_OK);
    return bOk;
}

// What the callbacks of a connection saw.
struct Observer {
    std::mutex mutex;
    std::vector<long> states;
    std::vector<RequestCredentialsType> requests;
    // Answers of the credentials callback, in turn; then "none".
    std::vector<std::pair<std::string, std::string>> answers;

    static long OnState(RTS_UINTPTR, long lState, void* pCstData) {
        auto* p = static_cast<Observer*>(pCstData);
        std::lock_guard<std::mutex> lock(p->mutex);
        p->states.push_back(lState);
        return 0;
    }
    static long OnCredentials(RTS_UINTPTR, RequestCredentialsType type, char* pszUser, unsigned long ulUser,
                              char* pszPassword, unsigned long ulPassword, void* pCstData) {
        auto* p = static_cast<Observer*>(pCstData);
        std::lock_guard<std::mutex> lock(p->mutex);
        size_t n = p->requests.size();
        p->requests.push_back(type);
        // Bounded: a login that keeps failing is not asked about for ever.
        if (n >= p->answers.size() || n >= 5) {
            return RESULT_NO_CREDENTIALS;
        }
        snprintf(pszUser, ulUser, "%s", p->answers[n].first.c_str());
        snprintf(pszPassword, ulPassword, "%s", p->answers[n].second.c_str());
        return 0;
    }
    bool Saw(long lState) {
        std::lock_guard<std::mutex> lock(mutex);
        for (long s : states) {
            if (s == lState) {
                return true;
            }
        }
        return false;
    }
    size_t Requests() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests.size();
    }
};

class KestrolinkNet : public ::testing::Test {
protected:
    void SetUp() override {
        char szCwd[4096];
        ASSERT_NE(getcwd(szCwd, sizeof(szCwd)), nullptr);
        m_oldCwd = szCwd;
        // The connection objects write their log files into the working
        // directory.
        ASSERT_EQ(chdir(m_dir.Path().c_str()), 0);
        const std::string settings = m_dir.File("Kestrolink.ini");
        kltest::WriteFile(settings,
                          "[CmpBlkDrvTcp]\nLocalAccessOnly=1\n"
                          "[CmpBlkDrvUdp]\nUseOnlyAdapters=lo\n"
                          "[CmpNameServiceClient]\nScanTimeSeconds=1\n");
        ASSERT_EQ(SetSettingsFileName(settings.c_str()), ERR_OK);
        // The runtime stays up between the connection objects of a test.
        ASSERT_EQ(InitComponents(), ERR_OK);
        m_bStarted = true;
    }
    void TearDown() override {
        for (RTS_UINTPTR h : m_handles) {
            KestrolinkDisconnect(h);
            KestrolinkExit(h);
        }
        m_handles.clear();
        if (m_bStarted) {
            ExitComponents(1);
        }
        EXPECT_EQ(chdir(m_oldCwd.c_str()), 0);
    }

    // A connection object of the C interface; ended by TearDown.
    RTS_UINTPTR Init(DriverConfig* pCfg, Observer* pObserver = nullptr) {
        RTS_UINTPTR h = KestrolinkInit(&pCfg->config, &pCfg->device, nullptr);
        EXPECT_NE(h, 0u);
        if (h != 0) {
            m_handles.push_back(h);
            KestrolinkSetClientInformation(h, "KestrolinkNetTest", KESTROLINK_VENDOR_NAME, "1.0", 0);
            if (pObserver != nullptr) {
                EXPECT_EQ(KestrolinkSetConnectionCallbacks3(h, Observer::OnState, pObserver, nullptr, nullptr,
                                                            Observer::OnCredentials, pObserver),
                          RESULT_OK);
            }
        }
        return h;
    }
    void Exit(RTS_UINTPTR h) {
        for (size_t i = 0; i < m_handles.size(); ++i) {
            if (m_handles[i] == h) {
                m_handles.erase(m_handles.begin() + static_cast<long>(i));
                break;
            }
        }
        EXPECT_EQ(KestrolinkDisconnect(h), RESULT_OK);
        EXPECT_EQ(KestrolinkExit(h), RESULT_OK);
    }
    static bool WaitState(RTS_UINTPTR h, long lState, unsigned ulMs) {
        return kltest::WaitFor([&] { return KestrolinkGetState(h) == lState; }, ulMs);
    }

    kltest::TempDir m_dir;
    std::string m_oldCwd;
    bool m_bStarted = false;
    std::vector<RTS_UINTPTR> m_handles;
};

}  // namespace

// The soak build holds the long run alone.
#ifndef KL_NET_SOAK

TEST_F(KestrolinkNet, ConnectsByAddressSynchronouslyAndAsynchronously) {
    auto emu = StartEmulator(EmuOptions());
    ASSERT_NE(emu, nullptr);
    int32_t v = 4711;
    ASSERT_TRUE(emu->Vars()->SetValue("SampleApp.GVL.diPosition", &v, sizeof(v)));

    // Synchronously, as the driver connects.
    DriverConfig cfg(emu->Port());
    RTS_UINTPTR h = Init(&cfg);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
    EXPECT_EQ(KestrolinkGetLastError(h), RESULT_OK);
    Names names({"SampleApp.GVL.diPosition"});
    std::vector<Bytes> values;
    ASSERT_TRUE(ReadVars(h, &names, {4}, &values));
    EXPECT_EQ(values[0], Raw(v));
    EXPECT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK) << "running: nothing to do";
    // Asynchronously (the reconnect thread's first cycle) on a second object.
    DriverConfig async(emu->Port());
    async.config.ulReconnectTime = 1000;
    RTS_UINTPTR hAsync = Init(&async);
    ASSERT_EQ(KestrolinkConnect(hAsync, 0, nullptr, 1), RESULT_OK);
    EXPECT_EQ(KestrolinkGetState(hAsync), STATE_RUNNING);
    ASSERT_TRUE(ReadVars(hAsync, &names, {4}, &values));
    EXPECT_EQ(values[0], Raw(v));
    Exit(hAsync);
    Exit(h);
    emu->Stop();
}

// The name is resolved by a UDP broadcast, and the answer names the
// emulator's UDP node: the channel is opened and the variables are read over
// UDP, not over the TCP port.
TEST_F(KestrolinkNet, ConnectsByNodeName) {
    if (!UdpPortsFree()) {
        GTEST_SKIP() << "UDP ports 1740..1743 on 127.0.0.1 are held by another program";
    }
    klemu::EmulatorOptions o = EmuOptions();
    o.nameService.identity.nodeName = u"KLNETTEST";
    o.nameService.bUdp = true;
    o.nameService.iUdpPortIndex = 0;
    auto emu = StartEmulator(o);
    ASSERT_NE(emu, nullptr);
    int32_t v = 4712;
    ASSERT_TRUE(emu->Vars()->SetValue("SampleApp.GVL.diPosition", &v, sizeof(v)));
    DriverConfig byName(0);
    byName.Param("DeviceName", "KLNETTEST");
    byName.Param("ResolvePlcNameTimeout", 1000u);
    RTS_UINTPTR h = Init(&byName);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
    Names names({"SampleApp.GVL.diPosition"});
    std::vector<Bytes> values;
    ASSERT_TRUE(ReadVars(h, &names, {4}, &values));
    EXPECT_EQ(values[0], Raw(v));
    EXPECT_EQ(emu->Accepted(), 0) << "the channel went over TCP";
    Exit(h);
    emu->Stop();
}

TEST_F(KestrolinkNet, LoginTypesAndTheCredentialsCallback) {
    for (uint32_t ulAuth : {1u, 2u}) {
        SCOPED_TRACE("auth type " + std::to_string(ulAuth));
        klemu::EmulatorOptions o = EmuOptions();
        o.device.ulAuthType = ulAuth;
        o.device.bAuthTypeGiven = true;
        o.device.user = "operator";
        o.device.password = "Kl-secret#1";
        auto emu = StartEmulator(o);
        ASSERT_NE(emu, nullptr);

        // Right credentials in the configuration: no question asked.
        {
            DriverConfig cfg(emu->Port());
            cfg.Param("User", "operator");
            cfg.Param("Password", "Kl-secret#1");
            Observer observer;
            RTS_UINTPTR h = Init(&cfg, &observer);
            ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
            EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
            EXPECT_TRUE(emu->Services()->LoggedIn());
            EXPECT_EQ(observer.Requests(), 0u);
            Exit(h);
        }
        // A wrong password asks the callback: a wrong answer asks again, the
        // right one logs in.
        {
            DriverConfig cfg(emu->Port());
            cfg.Param("User", "operator");
            cfg.Param("Password", "wrong");
            Observer observer;
            observer.answers = {{"operator", "still wrong"}, {"operator", "Kl-secret#1"}};
            RTS_UINTPTR h = Init(&cfg, &observer);
            ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
            EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
            ASSERT_EQ(observer.Requests(), 2u);
            EXPECT_EQ(observer.requests[0], REQ_CREDENTIALS_V3_PLC_USR_PWD);
            EXPECT_EQ(observer.requests[1], REQ_CREDENTIALS_V3_PLC_USR_PWD);
            Names names({"SampleApp.GVL.iCounter"});
            std::vector<Bytes> values;
            EXPECT_TRUE(ReadVars(h, &names, {2}, &values));
            Exit(h);
        }
        // No credentials at all, and a callback that has none: the login is
        // refused for good.
        {
            DriverConfig cfg(emu->Port());
            Observer observer;
            RTS_UINTPTR h = Init(&cfg, &observer);
            EXPECT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_ACCESS_DENIED);
            EXPECT_EQ(KestrolinkGetState(h), STATE_PLC_CONFIG_ERROR);
            EXPECT_EQ(observer.Requests(), 1u);
            EXPECT_TRUE(observer.Saw(STATE_PLC_CONFIG_ERROR));
            Exit(h);
        }
        emu->Stop();
    }
}

TEST_F(KestrolinkNet, AControllerThatGoesAwayAndComesBackIsReconnected) {
    auto emu = StartEmulator(EmuOptions());
    ASSERT_NE(emu, nullptr);
    const uint16_t usPort = emu->Port();
    DriverConfig cfg(usPort);
    cfg.config.ulReconnectTime = 1000;
    cfg.config.ulTimeout = 1000;
    cfg.config.ulNumTries = 2;
    Observer observer;
    RTS_UINTPTR h = Init(&cfg, &observer);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    ASSERT_EQ(KestrolinkGetState(h), STATE_RUNNING);
    Names names({"SampleApp.GVL.udiCycles"});
    std::vector<Bytes> values;
    ASSERT_TRUE(ReadVars(h, &names, {4}, &values));

    emu->Stop();
    emu.reset();
    // The next read notices; the connection leaves STATE_RUNNING.
    EXPECT_FALSE(ReadVars(h, &names, {4}, &values));
    EXPECT_TRUE(WaitState(h, STATE_PLC_NOT_CONNECTED, 10000) || KestrolinkGetState(h) != STATE_RUNNING);
    EXPECT_TRUE(observer.Saw(STATE_PLC_NOT_CONNECTED));
    // Away for more than one reconnect cycle.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_NE(KestrolinkGetState(h), STATE_RUNNING);
    EXPECT_FALSE(ReadVars(h, &names, {4}, &values)) << "not running: refused";

    klemu::EmulatorOptions o = EmuOptions(usPort);
    emu = StartEmulator(o);
    ASSERT_NE(emu, nullptr);
    const RTS_UI32 ulBack = SysTimeGetMs();
    uint32_t ulCycles = 0xC0FFEE;
    ASSERT_TRUE(emu->Vars()->SetValue("SampleApp.GVL.udiCycles", &ulCycles, sizeof(ulCycles)));
    ASSERT_TRUE(WaitState(h, STATE_RUNNING, 15000));
    const RTS_UI32 ulElapsed = SysTimeElapsedMs(SysTimeGetMs(), ulBack);
    EXPECT_LE(ulElapsed, cfg.config.ulReconnectTime + 1000u) << "reconnect cycle missed";
    ASSERT_TRUE(ReadVars(h, &names, {4}, &values));
    EXPECT_EQ(values[0], Raw(ulCycles));
    Exit(h);
    emu->Stop();
}

TEST_F(KestrolinkNet, EveryVariableTypeWrittenAndReadBackByNamesAndByList) {
    auto emu = StartEmulator(EmuOptions());
    ASSERT_NE(emu, nullptr);
    DriverConfig cfg(emu->Port());
    cfg.config.ulReconnectTime = 1000;
    RTS_UINTPTR h = Init(&cfg);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);

    struct Var {
        std::string name;
        Bytes first;   // written by names
        Bytes second;  // written by list
        Bytes third;   // set in the emulator
    };
    const std::string g = "SampleApp.GVL.";
    const std::vector<Var> vars = {
        {g + "xStart", Raw<uint8_t>(1), Raw<uint8_t>(0), Raw<uint8_t>(1)},
        {g + "byStatus", Raw<uint8_t>(0xA5), Raw<uint8_t>(0x5A), Raw<uint8_t>(0xFF)},
        {g + "siTemperature", Raw<int8_t>(-42), Raw<int8_t>(127), Raw<int8_t>(-128)},
        {g + "iCounter", Raw<int16_t>(-12345), Raw<int16_t>(32767), Raw<int16_t>(1)},
        {g + "uiSetpoint", Raw<uint16_t>(54321), Raw<uint16_t>(1), Raw<uint16_t>(65535)},
        {g + "diPosition", Raw<int32_t>(-123456789), Raw<int32_t>(2147483647), Raw<int32_t>(-1)},
        {g + "udiCycles", Raw<uint32_t>(4000000000u), Raw<uint32_t>(7), Raw<uint32_t>(0xDEADBEEF)},
        {g + "liTotalCount", Raw<int64_t>(-1234567890123LL), Raw<int64_t>(INT64_MAX), Raw<int64_t>(42)},
        {g + "rSpeed", Raw<float>(3.25f), Raw<float>(-0.5f), Raw<float>(1e30f)},
        {g + "lrPrecise", Raw<double>(2.718281828459045), Raw<double>(-1e-300), Raw<double>(3.0)},
        {g + "tCycleTime", Raw<uint32_t>(1500), Raw<uint32_t>(86400000u), Raw<uint32_t>(10)},
        {g + "sMessage", Text("hello emulator", 81), Text(std::string(80, 'x'), 81), Text("", 81)},
        {g + "wsLabel", WText(u"\u00dcnic\u00f6de \u6e29\u5ea6", 82), WText(std::u16string(40, u'w'), 82),
         WText(u"z", 82)},
        {g + "aiValues[3]", Raw<int16_t>(777), Raw<int16_t>(-777), Raw<int16_t>(3)},
        {g + "aiValues[9]", Raw<int16_t>(999), Raw<int16_t>(-9), Raw<int16_t>(9)},
        {g + "adiMatrix[2,3]", Raw<int32_t>(-99), Raw<int32_t>(23), Raw<int32_t>(230)},
        {g + "stAxis.stTarget.rX", Raw<float>(1.5f), Raw<float>(2.5f), Raw<float>(-3.5f)},
        {g + "stAxis.uiErrorCode", Raw<uint16_t>(0x1234), Raw<uint16_t>(0x4321), Raw<uint16_t>(0)},
        {g + "stAxis.sName", Text("X axis", 81), Text("Y axis", 81), Text("Z", 81)},
        {"SampleApp.PLC_PRG.astWaypoints[1].rY", Raw<float>(0.125f), Raw<float>(8.0f), Raw<float>(-8.0f)},
        {"SampleApp.PLC_PRG.iStep", Raw<int16_t>(5), Raw<int16_t>(6), Raw<int16_t>(7)},
    };
    Names names;
    std::vector<size_t> sizes;
    std::vector<uint32_t> sizes32;
    for (const Var& v : vars) {
        names.Add(v.name);
        sizes.push_back(v.first.size());
        sizes32.push_back(static_cast<uint32_t>(v.first.size()));
    }
    auto valuePtrs = [&](Bytes Var::*pMember, std::vector<Bytes>* pStore) {
        std::vector<uint8_t*> ptrs;
        pStore->clear();
        for (const Var& v : vars) {
            pStore->push_back(v.*pMember);
        }
        for (Bytes& b : *pStore) {
            ptrs.push_back(b.data());
        }
        return ptrs;
    };

    // By names, with sizes; the emulator holds what was written, and a read
    // by names gives it back.
    std::vector<Bytes> store;
    std::vector<uint8_t*> ptrs = valuePtrs(&Var::first, &store);
    ASSERT_EQ(KestrolinkSyncWriteVarsToPlc2(h, names.Get(), names.Count(), ptrs.data(), sizes32.data()),
              RESULT_OK);
    for (const Var& v : vars) {
        Bytes held;
        ASSERT_TRUE(emu->Vars()->GetValue(v.name, &held)) << v.name;
        EXPECT_EQ(held, v.first) << v.name;
    }
    std::vector<Bytes> values;
    ASSERT_TRUE(ReadVars(h, &names, sizes, &values));
    for (size_t i = 0; i < vars.size(); ++i) {
        EXPECT_EQ(values[i], vars[i].first) << vars[i].name;
    }
    // Members and elements lie inside their parents.
    Names whole({g + "stAxis", g + "aiValues", g + "adiMatrix", "SampleApp.PLC_PRG.astWaypoints"});
    ASSERT_TRUE(ReadVars(h, &whole, {120, 20, 48, 48}, &values));
    EXPECT_EQ(Bytes(values[0].begin() + 84, values[0].begin() + 88), Raw<float>(1.5f));
    EXPECT_EQ(Bytes(values[0].begin() + 118, values[0].begin() + 120), Raw<uint16_t>(0x1234));
    EXPECT_EQ(Bytes(values[1].begin() + 6, values[1].begin() + 8), Raw<int16_t>(777));
    // [2,3] of [1..3, 1..4]: row 1 (second) , column 2 (third) -> element 6.
    EXPECT_EQ(Bytes(values[2].begin() + 24, values[2].begin() + 28), Raw<int32_t>(-99));
    EXPECT_EQ(Bytes(values[3].begin() + 20, values[3].begin() + 24), Raw<float>(0.125f));

    // By list: written with and without sizes, read back equal.
    int32_t lResult = -100;
    HVARLIST hList =
        KestrolinkSyncDefineVarList(h, names.Get(), names.Count(), VARLIST_FLAG_WRITE_ACCESS, &lResult);
    ASSERT_NE(hList, nullptr);
    EXPECT_EQ(lResult, RESULT_OK);
    ptrs = valuePtrs(&Var::second, &store);
    ASSERT_EQ(KestrolinkSyncWriteVarListToPlc(h, hList, names.Count(), ptrs.data(), sizes32.data()),
              RESULT_OK);
    PlcVarValue** ppValues = nullptr;
    uint32_t ulNum = 0;
    ASSERT_EQ(KestrolinkSyncReadVarListFromPlc(h, hList, &ppValues, &ulNum), RESULT_OK);
    ASSERT_EQ(ulNum, names.Count());
    for (size_t i = 0; i < vars.size(); ++i) {
        EXPECT_EQ(DataOf(ppValues[i], sizes[i]), vars[i].second) << vars[i].name;
    }
    ptrs = valuePtrs(&Var::first, &store);
    ASSERT_EQ(KestrolinkSyncWriteVarListToPlc(h, hList, names.Count(), ptrs.data(), nullptr), RESULT_OK);
    ASSERT_EQ(KestrolinkSyncReadVarListFromPlc(h, hList, &ppValues, &ulNum), RESULT_OK);
    for (size_t i = 0; i < vars.size(); ++i) {
        EXPECT_EQ(DataOf(ppValues[i], sizes[i]), vars[i].first) << vars[i].name;
    }

    // Values changed in the controller are seen by the next read, of the
    // list and by names.
    for (const Var& v : vars) {
        ASSERT_TRUE(emu->Vars()->SetValue(v.name, v.third.data(), v.third.size())) << v.name;
    }
    ASSERT_EQ(KestrolinkSyncReadVarListFromPlc(h, hList, &ppValues, &ulNum), RESULT_OK);
    for (size_t i = 0; i < vars.size(); ++i) {
        EXPECT_EQ(DataOf(ppValues[i], sizes[i]), vars[i].third) << vars[i].name;
    }
    ASSERT_TRUE(ReadVars(h, &names, sizes, &values));
    for (size_t i = 0; i < vars.size(); ++i) {
        EXPECT_EQ(values[i], vars[i].third) << vars[i].name;
    }

    // A list without write access refuses writes.
    HVARLIST hReadOnly = KestrolinkSyncDefineVarList(h, names.Get(), names.Count(), 0, &lResult);
    ASSERT_NE(hReadOnly, nullptr);
    EXPECT_EQ(KestrolinkSyncWriteVarListToPlc(h, hReadOnly, names.Count(), ptrs.data(), nullptr),
              RESULT_NO_WRITE_ACCESS);
    // Deleted lists are gone in the controller too.
    EXPECT_GE(emu->Vars()->NumLists(), 2u);
    EXPECT_EQ(KestrolinkSyncDeleteVarList(h, hList), RESULT_OK);
    EXPECT_EQ(KestrolinkSyncDeleteVarList(h, hReadOnly), RESULT_OK);
    EXPECT_EQ(emu->Vars()->NumLists(), 0u) << "device lists left behind";

    // An unknown name fails the read and the write, not the connection.
    Names unknown({g + "iCounter", g + "noSuchVariable"});
    EXPECT_FALSE(ReadVars(h, &unknown, {2, 2}, &values));
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
    EXPECT_EQ(KestrolinkSyncDefineVarList(h, unknown.Get(), unknown.Count(), 0, &lResult), nullptr);
    EXPECT_NE(lResult, RESULT_OK);
    Bytes two(2, 0);
    uint8_t* twoPtrs[2] = {two.data(), two.data()};
    EXPECT_NE(KestrolinkSyncWriteVarsToPlc(h, unknown.Get(), unknown.Count(), twoPtrs), RESULT_OK);
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
    ASSERT_TRUE(ReadVars(h, &names, sizes, &values)) << "the connection still serves";
    EXPECT_EQ(values[3], vars[3].third);
    EXPECT_EQ(emu->Vars()->NumLists(), 0u);

    // A size the variable does not have is refused by the controller; the
    // refusal is the request's fault, the connection stays up.
    std::vector<uint32_t> wrong = sizes32;
    wrong[3] = 4;
    Bytes big(8, 0x11);
    std::vector<uint8_t*> wptrs = ptrs;
    wptrs[3] = big.data();
    EXPECT_EQ(KestrolinkSyncWriteVarsToPlc2(h, names.Get(), names.Count(), wptrs.data(), wrong.data()),
              RESULT_WRITE_SIZE_MISMATCH);
    Bytes held;
    ASSERT_TRUE(emu->Vars()->GetValue(g + "iCounter", &held));
    EXPECT_EQ(held, vars[3].third) << "nothing of the refused write arrived";
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING) << "a refused size is no reason to reconnect";
    Exit(h);
    emu->Stop();
}

// Failures come out of the C interface below zero on every host: a -1 of the
// connection object must not turn into 4294967295 on its way to a 64-bit
// caller's long.
TEST_F(KestrolinkNet, CInterfaceReturnsFailuresBelowZero) {
    auto emu = StartEmulator(EmuOptions());
    ASSERT_NE(emu, nullptr);
    DriverConfig cfg(emu->Port());
    RTS_UINTPTR h = Init(&cfg);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    Names unknown({"SampleApp.GVL.noSuchVariable"});
    Bytes two(2, 0);
    uint8_t* ptrs[1] = {two.data()};
    EXPECT_EQ(KestrolinkSyncWriteVarsToPlc(h, unknown.Get(), unknown.Count(), ptrs), RESULT_FAILED);
    EXPECT_EQ(KestrolinkSyncWriteVarsToPlc2(h, unknown.Get(), unknown.Count(), ptrs, nullptr), RESULT_FAILED);
    EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
    Exit(h);
    emu->Stop();
}

#endif  // KL_NET_SOAK

namespace {

// A controller with 100 variables of four types (strings make the replies
// span several blocks).
struct HundredVars {
    std::vector<std::string> names;
    std::vector<size_t> sizes;
    std::string xml;

    HundredVars() {
        static const char* const kTypes[] = {"T_DINT", "T_LREAL", "T_INT", "T_STRING_80"};
        static const size_t kSizes[] = {4, 8, 2, 81};
        std::string nodes;
        size_t ulOffset = 0;
        for (int i = 0; i < 100; ++i) {
            const std::string name = "v" + std::to_string(i);
            names.push_back("Soak.GVL." + name);
            sizes.push_back(kSizes[i % 4]);
            nodes += "<Node name=\"" + name + "\" type=\"" + kTypes[i % 4] +
                     "\" access=\"ReadWrite\" area=\"1\" offset=\"" + std::to_string(ulOffset) + "\" />\n";
            ulOffset += (kSizes[i % 4] + 7) / 8 * 8;
        }
        xml =
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Symbolconfiguration><Header>"
            "<Version>1.0.0.0</Version><ProjectInfo name=\"Soak\" devicename=\"Device\" appname=\"Soak\" "
            "dataguid=\"{6f1c2a9e-3b47-4d1a-9c2e-5a8b7d0e4f14}\" /></Header><TypeList>"
            "<TypeSimple name=\"T_INT\" size=\"2\" swapsize=\"2\" typeclass=\"Int\" iecname=\"INT\" />"
            "<TypeSimple name=\"T_DINT\" size=\"4\" swapsize=\"4\" typeclass=\"DInt\" iecname=\"DINT\" />"
            "<TypeSimple name=\"T_LREAL\" size=\"8\" swapsize=\"8\" typeclass=\"LReal\" iecname=\"LREAL\" />"
            "<TypeSimple name=\"T_STRING_80\" size=\"81\" swapsize=\"1\" typeclass=\"String\" "
            "iecname=\"STRING(80)\" /></TypeList><NodeList><Node name=\"Soak\"><Node name=\"GVL\">\n" +
            nodes + "</Node></Node></NodeList></Symbolconfiguration>\n";
    }
    // Value number k of variable i, as the controller holds it.
    Bytes Value(size_t i, uint32_t k) const {
        Bytes b(sizes[i], 0);
        if (sizes[i] == 81) {
            const std::string text = "value " + std::to_string(k) + " of " + std::to_string(i);
            std::memcpy(b.data(), text.data(), text.size());
        } else {
            uint64_t v = (static_cast<uint64_t>(k) << 16) ^ (i * 0x9E3779B9u);
            std::memcpy(b.data(), &v, sizes[i]);
        }
        return b;
    }
};

}  // namespace

// Reads of a 100-variable list through a channel that loses, doubles and
// reorders blocks; the controller changes some values between the reads.
class KestrolinkNetFaults : public KestrolinkNet {
protected:
    void ReadUnderFaults(int nReads) {
        HundredVars vars;
        const std::string file = m_dir.File("Soak.xml");
        kltest::WriteFile(file, vars.xml);
        klemu::EmulatorOptions o = EmuOptions();
        o.symbolsFile = file;
        o.channel.dDropBlocks = 0.05;
        o.channel.dDuplicateBlocks = 0.05;
        o.channel.dReorderBlocks = 0.05;
        o.channel.ulSeed = 20261206;
        o.channel.ulRtoMs = 20;
        auto emu = StartEmulator(o);
        ASSERT_NE(emu, nullptr);
        std::vector<uint32_t> version(vars.names.size(), 0);
        for (size_t i = 0; i < vars.names.size(); ++i) {
            Bytes b = vars.Value(i, 0);
            ASSERT_TRUE(emu->Vars()->SetValue(vars.names[i], b.data(), b.size())) << vars.names[i];
        }
        DriverConfig cfg(emu->Port());
        RTS_UINTPTR h = Init(&cfg);
        ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
        Names names(vars.names);
        int32_t lResult = -100;
        HVARLIST hList = KestrolinkSyncDefineVarList(h, names.Get(), names.Count(), 0, &lResult);
        ASSERT_NE(hList, nullptr) << lResult;
        int nFailed = 0;
        int nWrong = 0;
        const RTS_UI32 ulStart = SysTimeGetMs();
        for (int n = 0; n < nReads && nFailed + nWrong < 10; ++n) {
            // Every third read follows changes of a few variables.
            if (n % 3 == 0) {
                for (size_t j = 0; j < 4; ++j) {
                    size_t i = (static_cast<size_t>(n) * 7 + j * 31) % vars.names.size();
                    Bytes b = vars.Value(i, ++version[i]);
                    ASSERT_TRUE(emu->Vars()->SetValue(vars.names[i], b.data(), b.size()));
                }
            }
            PlcVarValue** ppValues = nullptr;
            uint32_t ulNum = 0;
            if (KestrolinkSyncReadVarListFromPlc(h, hList, &ppValues, &ulNum) != RESULT_OK ||
                ulNum != names.Count()) {
                ADD_FAILURE() << "read " << n << " failed, state " << KestrolinkGetState(h);
                ++nFailed;
                ASSERT_TRUE(WaitState(h, STATE_RUNNING, 20000));
                continue;
            }
            for (size_t i = 0; i < vars.names.size(); ++i) {
                if (DataOf(ppValues[i], vars.sizes[i]) != vars.Value(i, version[i])) {
                    ADD_FAILURE() << "read " << n << ": " << vars.names[i] << " differs";
                    ++nWrong;
                    break;
                }
            }
        }
        const klemu::ChannelServerStats stats = emu->Channels()->Stats();
        std::printf(
            "%d reads in %u ms; blocks sent %llu, dropped %llu, duplicated %llu, retransmitted %llu\n",
            nReads, SysTimeElapsedMs(SysTimeGetMs(), ulStart),
            static_cast<unsigned long long>(stats.ullBlocksSent),
            static_cast<unsigned long long>(stats.ullDropped),
            static_cast<unsigned long long>(stats.ullDuplicated),
            static_cast<unsigned long long>(stats.ullRetransmissions));
        EXPECT_GT(stats.ullDropped, 0u) << "the faults were switched on";
        EXPECT_GT(stats.ullDuplicated, 0u);
        EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
        EXPECT_EQ(KestrolinkSyncDeleteVarList(h, hList), RESULT_OK);
        Exit(h);
        emu->Stop();
    }
};

#ifdef KL_NET_SOAK

TEST_F(KestrolinkNetFaults, TenThousandReadsUnderLostDuplicatedAndReorderedBlocks) {
    ReadUnderFaults(10000);
}

#else

TEST_F(KestrolinkNetFaults, AThousandReadsUnderLostDuplicatedAndReorderedBlocks) {
    ReadUnderFaults(1000);
}

TEST_F(KestrolinkNetFaults, AStalledChannelFailsTheReadInTimeAndTheConnectionRecovers) {
    klemu::EmulatorOptions o = EmuOptions();
    // Answers the connect and a few reads, then nothing more.
    o.channel.lStallAfterMessages = 12;
    auto emu = StartEmulator(o);
    ASSERT_NE(emu, nullptr);
    const uint16_t usPort = emu->Port();
    DriverConfig cfg(usPort);
    // The least time-out a configuration keeps.
    cfg.config.ulTimeout = 1000;
    cfg.config.ulNumTries = 2;
    cfg.config.ulReconnectTime = 1000;
    Observer observer;
    RTS_UINTPTR h = Init(&cfg, &observer);
    ASSERT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    Names names({"SampleApp.GVL.iCounter"});
    int32_t lResult = -100;
    HVARLIST hList = KestrolinkSyncDefineVarList(h, names.Get(), names.Count(), 0, &lResult);
    ASSERT_NE(hList, nullptr);
    PlcVarValue** ppValues = nullptr;
    uint32_t ulNum = 0;
    long lRead = RESULT_OK;
    RTS_UI32 ulFailed = 0;
    int n = 0;
    for (; n < 40 && lRead == RESULT_OK; ++n) {
        const RTS_UI32 ulStart = SysTimeGetMs();
        lRead = KestrolinkSyncReadVarListFromPlc(h, hList, &ppValues, &ulNum);
        ulFailed = SysTimeElapsedMs(SysTimeGetMs(), ulStart);
    }
    ASSERT_NE(lRead, RESULT_OK) << "the channel never stalled";
    EXPECT_GT(n, 1) << "some reads were answered";
    EXPECT_LE(ulFailed, 2u * cfg.config.ulTimeout * cfg.config.ulNumTries + 1000u);
    EXPECT_TRUE(observer.Saw(STATE_PLC_NOT_CONNECTED));
    EXPECT_NE(KestrolinkGetState(h), STATE_RUNNING);
    // The lists of the stalled connection are gone with it; the client's
    // handle is released locally.
    EXPECT_EQ(KestrolinkSyncDeleteVarList(h, hList), RESULT_OK);

    // Another controller answers on the same port.
    emu->Stop();
    emu.reset();
    emu = StartEmulator(EmuOptions(usPort));
    ASSERT_NE(emu, nullptr);
    int16_t iCounter = 321;
    ASSERT_TRUE(emu->Vars()->SetValue("SampleApp.GVL.iCounter", &iCounter, sizeof(iCounter)));
    ASSERT_TRUE(WaitState(h, STATE_RUNNING, 20000));
    std::vector<Bytes> values;
    ASSERT_TRUE(ReadVars(h, &names, {2}, &values));
    EXPECT_EQ(values[0], Raw(iCounter));
    Exit(h);
    emu->Stop();
}

#endif  // KL_NET_SOAK
