// Shared by the connection tests: a device that fails on command (open, login,
// project check, symbols, communication), a callback that records what a
// connection reports and answers credential requests from a script, and a
// fixture that gives every test its own folder and settings file.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "CMItf.h"
#include "CmpKestrolinkMain.h"
#include "CmpLogItf.h"
#include "Kestrolink.h"
#include "PLCConfig.h"
#include "PLCUtil.h"
#include "SysTask.h"
#include "SysTime.h"
#include "TestSupport.h"

namespace conntest {

// Switches and counters of the test devices of one test; the devices come and
// go with the connection, the control block stays.
struct DeviceControl {
    std::atomic<int> failOpens{0};         // the next n opens fail (-1: all)
    std::atomic<unsigned> openBlockMs{0};  // each open takes this long first
    std::atomic<int> openResult{PLCCOM_FAILED};
    std::atomic<bool> requireCredentials{false};
    std::atomic<int> loginFailure{PLCCOM_INVALID_CREDENTIALS};
    std::atomic<int> projectCheck{PLCCOM_OK};
    std::atomic<int> connectResult{PLCCOM_OK};
    std::atomic<int> loadSymbols{PLCCOM_OK};
    std::atomic<bool> offlineSymbols{false};
    std::atomic<int> symbolAddress{PLCCOM_OK};
    std::atomic<int> status{PLCCOMSTATUS_OK};
    std::atomic<int> scanStart{PLCCOM_OK};
    std::atomic<unsigned> scanEndMs{50};

    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<int> channels{0};  // opened and not closed again
    std::atomic<int> logins{0};
    std::atomic<int> logouts{0};
    std::atomic<int> created{0};
    std::atomic<int> alive{0};
    std::atomic<int> scans{0};
    std::atomic<bool> deletedInOwnScan{false};

    std::mutex mutex;
    std::string goodUser = "admin";
    std::string goodPassword = "secret";
    std::string lastUser;
    std::string lastPassword;
    std::string clientName;
};

// Three symbols, sorted in the name order of the symbol tables.
inline PlcSymbolDesc* TestSymbols() {
    static char szA[] = "App.GVL.alpha";
    static char szB[] = "App.GVL.beta";
    static char szC[] = "App.GVL.gamma";
    static char szInt[] = "INT";
    static PlcSymbolDesc s_symbols[3] = {
        {szA, DATATYPE_INT, szInt, 0, 0, 2, {'b', 0}, 2},
        {szB, DATATYPE_INT, szInt, 0, 2, 2, {'b', 0}, 2},
        {szC, DATATYPE_INT, szInt, 0, 4, 2, {'b', 0}, 2},
    };
    return s_symbols;
}

class TestDevice : public CPLCComBase {
public:
    TestDevice(std::shared_ptr<DeviceControl> ctl, const PlcConfig* pConfig, const PlcDeviceDesc* pDevice,
               void* hLogger)
        : CPLCComBase(pConfig, pDevice, hLogger), m_ctl(std::move(ctl)) {
        m_Status = static_cast<PLCCOMSTATUS>(m_ctl->status.load());
        m_ctl->created++;
        m_ctl->alive++;
    }
    ~TestDevice() override {
        if (m_hScanTask != RTS_INVALID_HANDLE) {
            if (SysTaskGetCurrent(nullptr) == m_hScanTask) {
                m_ctl->deletedInOwnScan = true;
            } else {
                SysTaskExit(m_hScanTask, 5000);
            }
        }
        m_pSymbols = nullptr;
        m_ulSymbols = 0;
        m_ctl->alive--;
    }

    RTS_I32 Open() override {
        m_ctl->opens++;
        if (m_ctl->openBlockMs.load() != 0) {
            // One sleep: a cancellation point for a thread that gets killed.
            SysTaskWaitSleep(nullptr, m_ctl->openBlockMs.load());
        }
        int n = m_ctl->failOpens.load();
        if (n < 0) {
            return m_ctl->openResult.load();
        }
        while (n > 0 && !m_ctl->failOpens.compare_exchange_weak(n, n - 1)) {
        }
        if (n > 0) {
            return m_ctl->openResult.load();
        }
        if (!m_bOpen) {
            m_bOpen = true;
            m_ctl->channels++;
        }
        return PLCCOM_OK;
    }
    RTS_I32 Close() override {
        m_ctl->closes++;
        if (m_bOpen) {
            m_bOpen = false;
            m_ctl->channels--;
        }
        return PLCCOM_OK;
    }
    RTS_I32 CreateSession(const char* pszClientName, const char*, const char*, RTS_UI16) override {
        std::lock_guard<std::mutex> lock(m_ctl->mutex);
        m_ctl->clientName = pszClientName != nullptr ? pszClientName : "";
        return PLCCOM_OK;
    }
    RTS_I32 Login() override {
        m_ctl->logins++;
        std::lock_guard<std::mutex> lock(m_ctl->mutex);
        m_ctl->lastUser = m_pszUser ? m_pszUser.get() : "";
        m_ctl->lastPassword = m_pszPassword ? m_pszPassword.get() : "";
        if (m_ctl->requireCredentials &&
            (m_ctl->lastUser != m_ctl->goodUser || m_ctl->lastPassword != m_ctl->goodPassword)) {
            return m_ctl->loginFailure.load();
        }
        return PLCCOM_OK;
    }
    RTS_I32 Logout() override {
        m_ctl->logouts++;
        return PLCCOM_OK;
    }
    RTS_I32 CheckConnectResult() override { return m_ctl->connectResult.load(); }
    RTS_I32 CheckProjectIds() override { return m_ctl->projectCheck.load(); }
    RTS_I32 GetPlcProjectName(char* pszName, RTS_UI32 ulSize) override {
        KlStrCopy(pszName, ulSize, "TestProject");
        return PLCCOM_OK;
    }
    RTS_I32 LoadSymbols() override {
        RTS_I32 r = m_ctl->loadSymbols.load();
        if (r == PLCCOM_OK) {
            m_pSymbols = TestSymbols();
            m_ulSymbols = 3;
        }
        return r;
    }
    RTS_I32 LoadSymbolsOffline() override {
        if (!m_ctl->offlineSymbols) {
            return PLCCOM_FAILED;
        }
        m_pSymbols = TestSymbols();
        m_ulSymbols = 3;
        return PLCCOM_OK;
    }
    RTS_I32 DeleteSymbols() override {
        m_pSymbols = nullptr;
        m_ulSymbols = 0;
        return PLCCOM_OK;
    }
    RTS_I32 GetSymbols(PlcSymbolDesc** ppSymbolList, RTS_UI32* pulNumOfSymbols) override {
        if (ppSymbolList == nullptr || pulNumOfSymbols == nullptr || m_pSymbols == nullptr) {
            return PLCCOM_NO_SYMBOLS;
        }
        *ppSymbolList = m_pSymbols;
        *pulNumOfSymbols = m_ulSymbols;
        return PLCCOM_OK;
    }
    RTS_I32 GetSymbolAddress(RTS_UI32 ulSymbolIndex, char* pszMappedAddr, RTS_I32 lLen) override {
        RTS_I32 r = m_ctl->symbolAddress.load();
        if (r != PLCCOM_OK) {
            return r;
        }
        snprintf(pszMappedAddr, static_cast<size_t>(lLen), "%%MW%u", static_cast<unsigned>(ulSymbolIndex));
        return PLCCOM_OK;
    }
    HVARLIST DefineVarList(const char* const*, RTS_UI32, RTS_I32, RTS_UI32, RTS_I32* plResult) override {
        if (plResult != nullptr) {
            *plResult = PLCCOM_NOT_SUPPORTED;
        }
        return nullptr;
    }
    RTS_I32 DeleteVarList(HVARLIST, RTS_I32) override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 SendVarList(HVARLIST, RTS_HANDLE, RTS_HANDLE, RTS_I32*, RTS_I32, RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }
    RTS_I32 GetVarList(HVARLIST, PlcVarValue***, RTS_UI32*) override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 GetValues(HVARLIST, PlcVarValue***, RTS_UI32*) override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 WriteVarList(HVARLIST, RTS_UI32, const RTS_UI8* const*, const RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }
    RTS_I32 WriteVars(const char* const*, RTS_UI32, const RTS_UI8* const*, const RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }
    RTS_I32 SendService(const RTS_UI8*, RTS_UI32, RTS_UI8**, RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }

    // A scan reports one node at once (with the name service's time-out code)
    // and its end after scanEndMs, from a task of its own.
    RTS_I32 ScanNetwork(RTS_UINTPTR ulUserData, PFSCANNETWORKCALLBACK pfCallback) override {
        m_ctl->scans++;
        if (m_ctl->scanStart.load() != PLCCOM_OK) {
            return m_ctl->scanStart.load();
        }
        m_ulScanUserData = ulUserData;
        m_pfScanCallback = pfCallback;
        RTS_RESULT result = ERR_FAILED;
        m_hScanTask = SysTaskCreate("TestScan", ScanTask, this, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, &result);
        if (m_hScanTask == RTS_INVALID_HANDLE) {
            return PLCCOM_FAILED;
        }
        SysTaskResume(m_hScanTask);
        return PLCCOM_OK;
    }
    // The user name and password the device holds now.
    std::string User() const { return m_pszUser ? m_pszUser.get() : ""; }

private:
    static void ScanTask(SYS_TASK_PARAM* ptp) {
        auto* pThis = static_cast<TestDevice*>(ptp->pParam);
        NodeInfotyp2 node;
        memset(&node, 0, sizeof(node));
        char szAddr[] = "0001.A8C0";
        node.pszNodeAddr = szAddr;
        node.lResult = PLCCOM_SCAN_TIMEOUT;
        pThis->m_pfScanCallback(pThis->m_ulScanUserData, &node);
        RTS_UI32 ulStart = SysTimeGetMs();
        while (ptp->bExit.load() == 0 &&
               SysTimeElapsedMs(SysTimeGetMs(), ulStart) < pThis->m_ctl->scanEndMs.load()) {
            SysTaskWaitSleep(nullptr, 5);
        }
        NodeInfotyp2 end;
        memset(&end, 0, sizeof(end));
        end.bComplete = 1;
        pThis->m_pfScanCallback(pThis->m_ulScanUserData, &end);
    }

    std::shared_ptr<DeviceControl> m_ctl;
    bool m_bOpen = false;
    RTS_HANDLE m_hScanTask = RTS_INVALID_HANDLE;
    RTS_UINTPTR m_ulScanUserData = 0;
    PFSCANNETWORKCALLBACK m_pfScanCallback = nullptr;
};

// Device factory: every interface type of a connection gets a test device.
inline CPLCComBase* CreateTestDevice(void* pUser, CKestrolink*, ItfType, const PlcConfig* pConfig,
                                     const PlcDeviceDesc* pDevice, void* hLogger) {
    auto* pCtl = static_cast<std::shared_ptr<DeviceControl>*>(pUser);
    return new TestDevice(*pCtl, pConfig, pDevice, hLogger);
}

// Records what a connection reports and answers credential requests from a
// script (an empty script supplies no credentials).
class Recorder : public CKestrolinkCallback {
public:
    Recorder() : CKestrolinkCallback(RTS_INVALID_HANDLE, 0) {}

    long Notify(CKestrolink*, CallbackAddInfoTag info) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (info.ulType == CALLBACK_STATE_CHANGED) {
            m_states.push_back(info.AddInf.lKestrolinkState);
        } else if (info.ulType == CALLBACK_PLC_FOUND && info.AddInf.pNodeInfo2 != nullptr) {
            m_nodes.push_back(*info.AddInf.pNodeInfo2);
        }
        return 0;
    }
    long RequestCredentials(CKestrolink*, RequestCredentialsType type, char* pUserName,
                            unsigned long userSize, char* pPassword, unsigned long passwordSize) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requestTypes.push_back(type);
        bool bZeroed = userSize == KESTROLINK_CREDENTIALS_BUFFER_SIZE &&
                       passwordSize == KESTROLINK_CREDENTIALS_BUFFER_SIZE;
        for (unsigned long i = 0; bZeroed && i < userSize; ++i) {
            bZeroed = pUserName[i] == 0 && pPassword[i] == 0;
        }
        m_allBuffersZeroed = m_allBuffersZeroed && bZeroed;
        if (m_script.empty()) {
            return RESULT_NO_CREDENTIALS;
        }
        std::pair<std::string, std::string> answer = m_script.front();
        m_script.pop_front();
        // Filled to the brim, without a terminator, when the script says so.
        memset(pUserName, 'u', userSize);
        memcpy(pUserName, answer.first.c_str(),
               answer.first.size() < userSize ? answer.first.size() + 1 : userSize);
        memset(pPassword, 0, passwordSize);
        memcpy(pPassword, answer.second.c_str(), answer.second.size() + 1);
        return 0;
    }

    void Answer(const std::string& user, const std::string& password) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_script.emplace_back(user, password);
    }
    std::vector<int> States() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }
    bool Saw(int iState) {
        for (int s : States()) {
            if (s == iState) {
                return true;
            }
        }
        return false;
    }
    std::vector<RequestCredentialsType> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requestTypes;
    }
    std::vector<NodeInfotyp2> Nodes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nodes;
    }
    bool AllBuffersZeroed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_allBuffersZeroed;
    }

private:
    std::mutex m_mutex;
    std::vector<int> m_states;
    std::vector<NodeInfotyp2> m_nodes;
    std::vector<RequestCredentialsType> m_requestTypes;
    std::deque<std::pair<std::string, std::string>> m_script;
    bool m_allBuffersZeroed = true;
};

// A connection object whose internal operations the tests may call.
class TestKestrolink : public CKestrolink {
public:
    using CKestrolink::CKestrolink;
    // The threads make virtual calls on the object: they end before its
    // most derived part goes.
    ~TestKestrolink() override { StopAll(); }
    using CKestrolink::EnterOnlineAccessWithStateCheck;
    using CKestrolink::InitState;
    using CKestrolink::SetState;
    using CKestrolink::ValidateAndReadConfig;
};

// A configuration record with defaults; texts are copies owned by the record.
class Config {
public:
    explicit Config(ItfType it = IT_ARTI3) {
        UtlSetDefaultPlcConfig(&config, 0);
        config.it = it;
        config.pszName = UtlStrDup("Line1");
        config.ulReconnectTime = 1000;
        config.ulTimeout = 1000;
        config.ulNumTries = 1;
    }
    ~Config() {
        UtlDeletePlcConfig(&config);
        UtlDeletePlcDeviceDesc(&device);
    }
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

    void Text(char** ppsz, const char* psz) {
        delete[] * ppsz;
        *ppsz = UtlStrDup(psz);
    }
    void Param(const char* pszName, const char* pszValue) {
        PlcDeviceDesc add{};
        PlcParameter value{};
        value.Type = PLC_PT_STRING;
        value.Value.psz = const_cast<char*>(pszValue);
        PlcParameterDesc desc{0, const_cast<char*>(pszName), &value};
        // Rebuild the description with one more parameter (deep copies).
        std::vector<PlcParameterDesc> all(device.ppd, device.ppd + device.ulNumParams);
        all.push_back(desc);
        add.ulNumParams = static_cast<uint32_t>(all.size());
        add.ppd = all.data();
        PlcDeviceDesc copy{};
        UtlCopyPlcDeviceDesc(&copy, &add);
        UtlDeletePlcDeviceDesc(&device);
        device = copy;
    }

    PlcConfig config{};
    PlcDeviceDesc device{};
};

// Every test gets its own folder, working directory and settings file, and
// leaves no runtime user behind.
class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szCwd[4096];
        ASSERT_NE(getcwd(szCwd, sizeof(szCwd)), nullptr);
        m_oldCwd = szCwd;
        ASSERT_EQ(chdir(m_dir.Path().c_str()), 0);
        m_settings = m_dir.File("Kestrolink.ini");
        kltest::WriteFile(m_settings, "[CmpLog]\nLogger.0.Name=PlcLog\n");
        ASSERT_EQ(SetSettingsFileName(m_settings.c_str()), ERR_OK);
        m_ctl = std::make_shared<DeviceControl>();
    }
    void TearDown() override {
        EXPECT_EQ(KestrolinkGetNumInstances(), 0) << "a connection object outlived its test";
        EXPECT_EQ(m_ctl->alive.load(), 0) << "a device object outlived its connection";
        // The last object stops the runtime only partly (a fast restart for
        // the next one); a test leaves nothing of it behind.
        if (CMIsRunning()) {
            ExitComponentsFinal();
        }
        EXPECT_EQ(chdir(m_oldCwd.c_str()), 0);
    }

    // A connection on test devices.
    std::unique_ptr<TestKestrolink> Make(Config& cfg, void* hLogger = nullptr) {
        EXPECT_EQ(SetSettingsFileName(m_settings.c_str()), ERR_OK);
        auto p = std::make_unique<TestKestrolink>(&cfg.config, &cfg.device, hLogger);
        p->SetDeviceFactory(CreateTestDevice, &m_ctl);
        p->SetThreadJoinLimit(300);
        return p;
    }

    // A logger whose entries the tests read back, handed to a connection.
    RTS_HANDLE AttachLogger(CKestrolink* pKestrolink, RTS_UI32 ulFilter = 0xFFFFFEFFu) {
        LogOptions options{};
        static std::atomic<int> s_loggers{0};
        snprintf(options.szName, sizeof(options.szName), "ConnTest%d", ++s_loggers);
        options.bEnable = 1;
        options.iType = LT_NORMAL | LT_TIMESTAMP_MS;
        options.iFilter = 0x7FFFFFFF;
        options.iMaxEntries = 5000;
        RTS_RESULT result = ERR_FAILED;
        RTS_HANDLE h = LogCreate(&options, &result);
        EXPECT_EQ(result, ERR_OK);
        pKestrolink->SetLogging(1, ulFilter);
        EXPECT_EQ(pKestrolink->SetLogFile(h), RESULT_OK);
        m_hLoggers.push_back(h);
        return h;
    }
    std::vector<std::string> Lines(RTS_HANDLE hLogger) {
        std::vector<std::string> lines;
        LogEntry entry;
        RTS_I32 iIndex = 0;
        for (RTS_RESULT r = LogGetFirstEntry(hLogger, &iIndex, &entry); r == ERR_OK && lines.size() < 20000;
             r = LogGetNextEntry(hLogger, &iIndex, &entry)) {
            lines.push_back(entry.szInfo);
        }
        return lines;
    }
    bool Logged(RTS_HANDLE hLogger, const std::string& text) {
        for (const std::string& line : Lines(hLogger)) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    kltest::TempDir m_dir;
    std::string m_oldCwd;
    std::string m_settings;
    std::shared_ptr<DeviceControl> m_ctl;
    std::vector<RTS_HANDLE> m_hLoggers;
};

}  // namespace conntest
