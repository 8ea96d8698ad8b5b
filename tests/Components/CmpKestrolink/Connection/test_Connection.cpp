// The connection state machine: synchronous and asynchronous connects, the
// reconnect thread, credential requests, failing project checks and symbol
// loads, offline symbols, disconnect and destruction in the middle of a
// connect, against the V3 simulation device and test devices.
#include <chrono>
#include <future>
#include <thread>

#include "ConnectionTestSupport.h"

using namespace conntest;

namespace {

std::string SampleFile() {
    return std::string(KL_SOURCE_DIR) + "/examples/symbols/SampleApp.xml";
}

}  // namespace

TEST_F(ConnectionTest, SynchronousConnectToTheSimulationRunsAndServesItems) {
    Config cfg(IT_SIMULATION3);
    cfg.Text(&cfg.config.pszProjectName, SampleFile().c_str());
    ASSERT_EQ(SetSettingsFileName(m_settings.c_str()), ERR_OK);
    Recorder rec;
    auto p = std::make_unique<TestKestrolink>(&cfg.config, &cfg.device, nullptr);

    PlcSymbolDesc item{};
    EXPECT_EQ(p->GetItem("SampleApp.GVL.xStart", &item), RESULT_PLC_NOT_CONNECTED)
        << "items before the connect";
    ASSERT_EQ(p->Connect(0xFFFFFFFFu, &rec, 1), RESULT_OK);
    EXPECT_EQ(p->GetState(), STATE_RUNNING);
    EXPECT_EQ(rec.States(), (std::vector<int>{STATE_PLC_NOT_CONNECTED, STATE_PLC_CONNECTED,
                                              STATE_SYMBOLS_LOADED, STATE_RUNNING}));

    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulSymbols = 0;
    ASSERT_EQ(p->GetAllItems(&pSymbols, &ulSymbols), RESULT_OK);
    ASSERT_GT(ulSymbols, 10u);
    EXPECT_EQ(p->GetItem("sampleapp.gvl.XSTART", &item), RESULT_OK) << "names are found ignoring case";
    ASSERT_NE(item.pszName, nullptr);
    EXPECT_STREQ(item.pszName, "SampleApp.GVL.xStart");
    EXPECT_EQ(p->GetItem("SampleApp.GVL.nothing", &item), RESULT_ITEM_NOT_FOUND);
    EXPECT_EQ(p->GetItem(nullptr, &item), RESULT_INVALIDPARAMETER);
    char szAddr[32] = "";
    EXPECT_EQ(p->GetAddressOfMappedItem("SampleApp.GVL.xStart", szAddr, sizeof(szAddr)), RESULT_OK);
    EXPECT_STREQ(szAddr, "%IX0.0");
    EXPECT_EQ(p->GetAddressOfMappedItem("SampleApp.GVL.nothing", szAddr, sizeof(szAddr)),
              RESULT_ITEM_NOT_FOUND);
    EXPECT_EQ(p->GetState(), STATE_RUNNING) << "a lookup miss leaves the connection alone";
    EXPECT_EQ(p->LoadSymbolsFromPlc(1), RESULT_OK);

    // The online lock: a zero time-out never gets it; item access holds it
    // and a leave without an enter releases nothing.
    EXPECT_EQ(p->EnterOnlineAccess(0), RESULT_TIMEOUT);
    ASSERT_EQ(p->EnterItemAccess(), RESULT_OK);
    RTS_I32 lOther = -100;
    std::thread other([&] { lOther = p->EnterOnlineAccess(300); });
    other.join();
    EXPECT_EQ(lOther, RESULT_TIMEOUT) << "item access must hold the online lock";
    EXPECT_EQ(p->LeaveItemAccess(), RESULT_OK);
    ASSERT_EQ(p->EnterOnlineAccess(RTS_TIMEOUT_INFINITE), RESULT_OK);
    EXPECT_EQ(p->LeaveItemAccess(), RESULT_OK);
    std::thread other2([&] { lOther = p->EnterOnlineAccess(300); });
    other2.join();
    EXPECT_EQ(lOther, RESULT_TIMEOUT) << "a leave without an enter released the lock";
    EXPECT_EQ(p->LeaveOnlineAccess(), RESULT_OK);
    std::thread other3([&] {
        lOther = p->EnterOnlineAccess(1000);
        if (lOther == RESULT_OK) {
            p->LeaveOnlineAccess();
        }
    });
    other3.join();
    EXPECT_EQ(lOther, RESULT_OK);

    // Connected already: no new cycle.
    size_t ulStates = rec.States().size();
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, &rec, 1), RESULT_OK);
    EXPECT_EQ(rec.States().size(), ulStates);

    EXPECT_EQ(p->Disconnect(), RESULT_OK);
    EXPECT_EQ(p->GetState(), STATE_DISCONNECT);
    EXPECT_EQ(p->GetPlcComObject(), nullptr);
    EXPECT_EQ(rec.States().back(), STATE_DISCONNECT);
    ulStates = rec.States().size();
    EXPECT_EQ(p->Disconnect(), RESULT_FAILED) << "second disconnect";
    EXPECT_EQ(p->GetAllItems(&pSymbols, &ulSymbols), RESULT_PLC_NOT_CONNECTED);
    p->SetState(STATE_PLC_NOT_CONNECTED);
    EXPECT_EQ(rec.States().size(), ulStates) << "no state callback after the disconnect";
}

TEST_F(ConnectionTest, ConnectRefusesUnusableConfigurationsAndDevices) {
    {
        Config cfg;
        cfg.config.bActive = 0;
        auto p = Make(cfg);
        EXPECT_EQ(p->Disconnect(), RESULT_FAILED) << "never connected";
        EXPECT_EQ(p->Disconnect(), RESULT_FAILED);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_CONFIG_INACTIVE);
        EXPECT_EQ(p->GetPlcComObject(), nullptr);
        EXPECT_EQ(m_ctl->created.load(), 0);
    }
    {
        // No device class for the interface type.
        Config cfg(IT_DIRECT);
        ASSERT_EQ(SetSettingsFileName(m_settings.c_str()), ERR_OK);
        TestKestrolink k(&cfg.config, &cfg.device, nullptr);
        EXPECT_EQ(k.Connect(0xFFFFFFFFu, nullptr, 0), RESULT_ITF_NOT_SUPPORTED);
        EXPECT_EQ(k.GetPlcComObject(), nullptr);
    }
    {
        // A device object that reports a bad status is kept.
        Config cfg;
        m_ctl->status = PLCCOMSTATUS_NO_ENCRYPTION_POSSIBLE;
        auto p = Make(cfg);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_PLCCOM_INIT_FAILED);
        EXPECT_NE(p->GetPlcComObject(), nullptr);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_PLCCOM_INIT_FAILED);
        EXPECT_EQ(m_ctl->created.load(), 1);
        EXPECT_EQ(m_ctl->opens.load(), 0);
        EXPECT_EQ(p->Disconnect(), RESULT_OK);
        EXPECT_EQ(m_ctl->alive.load(), 0);
        m_ctl->status = PLCCOMSTATUS_OK;
    }
    {
        // An INI file without an entry for the object: no configuration, also
        // after good records, until a disconnect.
        std::string ini = m_dir.File("plcs.ini");
        kltest::WriteFile(ini, "[Server]\nPLCs=1\nPLC0=Line1\n[PLC:Line1]\ninterfacetype=NOPE\n");
        Config cfg;
        Recorder rec;
        auto p = Make(cfg);
        p->SetStateChangedCallback(&rec);
        PlcConfig* pHeld = nullptr;
        p->GetConfig(&pHeld, nullptr);
        pHeld->ulId = 1;
        EXPECT_EQ(p->SetConfig(ini.c_str()), RESULT_FAILED);
        EXPECT_EQ(p->GetState(), STATE_NO_CONFIGURATION);
        EXPECT_TRUE(rec.States().empty()) << "no callback before a device object exists";
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_NO_CONFIGURATION);
        EXPECT_EQ(p->SetConfig(&cfg.config, &cfg.device), RESULT_OK);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_NO_CONFIGURATION);
        EXPECT_EQ(p->Disconnect(), RESULT_FAILED);
        EXPECT_EQ(p->GetState(), STATE_DISCONNECT);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_OK);
        EXPECT_EQ(p->GetState(), STATE_RUNNING);

        // An entry whose interface type is unknown.
        pHeld = nullptr;
        p->GetConfig(&pHeld, nullptr);
        pHeld->ulId = 0;
        EXPECT_EQ(p->Disconnect(), RESULT_OK);
        EXPECT_EQ(p->SetConfig(ini.c_str()), RESULT_OK);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_NO_CONFIGURATION);
    }
}

TEST_F(ConnectionTest, StateRulesAndNotifications) {
    Config cfg;
    Recorder rec;
    auto p = Make(cfg);
    p->SetStateChangedCallback(&rec);
    p->SetState(STATE_PLC_CONNECT_ERROR);
    EXPECT_EQ(p->GetState(), STATE_PLC_CONNECT_ERROR);
    EXPECT_TRUE(rec.States().empty()) << "no callback before a device object exists";

    ASSERT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_OK) << "a null callback keeps the stored one";
    EXPECT_EQ(rec.States(), (std::vector<int>{STATE_PLC_NOT_CONNECTED, STATE_PLC_CONNECTED, STATE_RUNNING}));
    p->SetState(STATE_RUNNING);
    EXPECT_EQ(rec.States().size(), 3u) << "setting the current state sends no callback";
    p->SetState(STATE_DISCONNECT);
    p->SetState(STATE_RUNNING);
    EXPECT_EQ(p->GetState(), STATE_DISCONNECT) << "STATE_DISCONNECT is sticky";
    p->InitState();
    p->InitState();
    EXPECT_EQ(rec.States(),
              (std::vector<int>{STATE_PLC_NOT_CONNECTED, STATE_PLC_CONNECTED, STATE_RUNNING, STATE_DISCONNECT,
                                STATE_PLC_NOT_CONNECTED, STATE_PLC_NOT_CONNECTED}))
        << "InitState leaves STATE_DISCONNECT and always notifies";
    p->SetState(STATE_TERMINATE);
    p->SetState(STATE_DISCONNECT);
    p->InitState();
    EXPECT_EQ(p->GetState(), STATE_TERMINATE) << "STATE_TERMINATE is final";
    p->SetState(static_cast<KESTROLINK_STATE>(42));
    EXPECT_EQ(p->GetState(), STATE_TERMINATE);
}

TEST_F(ConnectionTest, AsynchronousConnectTimesOutAndComesUpLater) {
    Config cfg;
    cfg.config.ulWaitTime = 300;
    m_ctl->failOpens = -1;
    Recorder rec;
    auto p = Make(cfg);
    RTS_UI32 ulStart = SysTimeGetMs();
    EXPECT_EQ(p->Connect(0, &rec, 0), RESULT_PLC_NOT_CONNECTED);
    EXPECT_GE(SysTimeElapsedMs(SysTimeGetMs(), ulStart), 300u) << "returned before the wait time";
    EXPECT_NE(p->GetReconnectCycles(), 1) << "returned before the first cycle ended";
    EXPECT_TRUE(rec.Saw(STATE_PLC_NOT_CONNECTED));
    EXPECT_TRUE(rec.Saw(STATE_PLC_CONNECT_ERROR));
    EXPECT_EQ(p->GetLastError(), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->Connect(0, &rec, 0), RESULT_CONNECT_IN_PROGRESS) << "the reconnect thread is still trying";

    // The controller becomes reachable: the next cycle, one reconnect time
    // later, brings the connection up and says so through the callback.
    m_ctl->failOpens = 0;
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetState() == STATE_RUNNING; }, 1000 + 1000));
    EXPECT_EQ(rec.States().back(), STATE_RUNNING);
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetReconnectCycles() == 0; }, 1000))
        << "thread ends when running";
    EXPECT_EQ(p->Connect(0, &rec, 0), RESULT_OK);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);

    // Without waiting for the first cycle: the call returns while the cycle
    // is still in the device's open.
    cfg.config.ulWaitTime = 100;
    ASSERT_EQ(p->SetConfig(&cfg.config, nullptr), RESULT_OK);
    m_ctl->openBlockMs = 600;
    EXPECT_EQ(p->Connect(0xFFFFFFFEu, &rec, 0), RESULT_PLC_NOT_CONNECTED) << "no verdict is not success";
    EXPECT_EQ(p->GetReconnectCycles(), 1);
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetState() == STATE_RUNNING; }, 2000));
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
}

TEST_F(ConnectionTest, CredentialsAreRequestedUntilTheControllerAcceptsThem) {
    m_ctl->requireCredentials = true;
    {
        Config cfg;
        Recorder rec;
        auto p = Make(cfg);
        rec.Answer("wrong", "x");
        rec.Answer("admin", "secret");
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, &rec, 0), RESULT_OK);
        EXPECT_EQ(p->GetState(), STATE_RUNNING);
        EXPECT_EQ(rec.Requests(), (std::vector<RequestCredentialsType>{REQ_CREDENTIALS_V3_PLC_USR_PWD,
                                                                       REQ_CREDENTIALS_V3_PLC_USR_PWD}));
        EXPECT_TRUE(rec.AllBuffersZeroed()) << "buffers must be zeroed before every request";
        EXPECT_EQ(m_ctl->logins.load(), 3);
        EXPECT_EQ(p->Disconnect(), RESULT_OK);
        EXPECT_EQ(m_ctl->logouts.load(), 1);
    }
    {
        // A user name that fills its buffer without a terminator is cut to
        // 255 characters; then no more credentials: rejected for good.
        Config cfg;
        Recorder rec;
        auto p = Make(cfg);
        rec.Answer(std::string(400, 'u'), "secret");
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, &rec, 0), RESULT_ACCESS_DENIED);
        {
            std::lock_guard<std::mutex> lock(m_ctl->mutex);
            EXPECT_EQ(m_ctl->lastUser, std::string(255, 'u'));
        }
        EXPECT_EQ(rec.Requests().size(), 2u);
        EXPECT_EQ(p->GetState(), STATE_PLC_CONFIG_ERROR);
        EXPECT_EQ(p->GetLastError(), RESULT_ACCESS_DENIED);
    }
    {
        // No callback, and the base callback (which supplies none).
        Config cfg;
        CKestrolinkCallback none(RTS_INVALID_HANDLE, 0);
        auto p = Make(cfg);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_ACCESS_DENIED);
        EXPECT_EQ(none.RequestCredentials(p.get(), REQ_CREDENTIALS_V3_PLC_USR_PWD, nullptr, 0, nullptr, 0),
                  RESULT_NO_CREDENTIALS);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, &none, 0), RESULT_ACCESS_DENIED);
        EXPECT_EQ(p->GetState(), STATE_PLC_CONFIG_ERROR);
    }
    {
        // Older controllers are asked for a password only; a user name
        // without user management maps to 57.
        Config cfg(IT_ARTI);
        m_ctl->loginFailure = PLCCOM_USERMGMT_NOT_ACTIVE;
        Recorder rec;
        auto p = Make(cfg);
        EXPECT_EQ(p->Connect(0xFFFFFFFFu, &rec, 0), RESULT_NO_USER_MANAGEMENT);
        EXPECT_EQ(rec.Requests(), (std::vector<RequestCredentialsType>{REQ_CREDENTIALS_V2_PLC_PWD}));
        EXPECT_EQ(p->GetState(), STATE_PLC_CONFIG_ERROR);
    }
}

TEST_F(ConnectionTest, RejectedCredentialsStopTheReconnectThreadUntilDisconnect) {
    Config cfg;
    cfg.config.ulWaitTime = 200;
    m_ctl->requireCredentials = true;
    Recorder rec;
    auto p = Make(cfg);
    rec.Answer("wrong", "x");
    EXPECT_EQ(p->Connect(0, &rec, 0), RESULT_ACCESS_DENIED);
    EXPECT_EQ(p->GetState(), STATE_PLC_CONFIG_ERROR);
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetReconnectCycles() == 0; }, 1000));
    int iOpens = m_ctl->opens.load();
    SysTaskWaitSleep(nullptr, 1200);
    EXPECT_EQ(m_ctl->opens.load(), iOpens) << "no attempts after rejected credentials";
    EXPECT_EQ(p->Connect(0, &rec, 0), RESULT_CONNECT_IN_PROGRESS);
    EXPECT_EQ(p->GetState(), STATE_PLC_CONFIG_ERROR);

    // After a disconnect a new connect tries again (the credentials are fixed).
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
    m_ctl->requireCredentials = false;
    EXPECT_EQ(p->Connect(0, &rec, 0), RESULT_OK);
    EXPECT_EQ(p->GetState(), STATE_RUNNING);

    // Missing rights on a running connection: the reconnect thread gives up
    // at once, without opening again.
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
    ASSERT_EQ(p->Connect(0xFFFFFFFFu, &rec, 1), RESULT_OK);
    m_ctl->symbolAddress = PLCCOM_INVALID_CREDENTIALS;
    char szAddr[16];
    iOpens = m_ctl->opens.load();
    EXPECT_EQ(p->GetAddressOfMappedItem("App.GVL.alpha", szAddr, sizeof(szAddr)), RESULT_FAILED);
    EXPECT_EQ(p->GetLastError(), RESULT_ACCESS_DENIED);
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetState() == STATE_PLC_CONFIG_ERROR; }, 1000));
    EXPECT_EQ(m_ctl->opens.load(), iOpens);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
}

TEST_F(ConnectionTest, FailedSymbolLoadsProjectChecksAndConnectResults) {
    Config cfg;
    auto p = Make(cfg);
    m_ctl->projectCheck = PLCCOM_FAILED;
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 1), RESULT_NO_SYMBOLS);
    EXPECT_EQ(p->GetState(), STATE_NO_SYMBOLS);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulSymbols = 0;
    EXPECT_EQ(p->GetAllItems(&pSymbols, &ulSymbols), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->LoadSymbolsFromPlc(1), RESULT_PLC_NOT_CONNECTED);

    m_ctl->projectCheck = PLCCOM_COMM_FATAL;
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 1), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->GetState(), STATE_PLC_NOT_CONNECTED) << "a fatal error closes the channel";
    m_ctl->projectCheck = PLCCOM_OK;

    m_ctl->loadSymbols = PLCCOM_FAILED;
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 1), RESULT_NO_SYMBOLS);
    EXPECT_EQ(p->GetState(), STATE_NO_SYMBOLS);
    m_ctl->loadSymbols = PLCCOM_COMM_FATAL;
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 1), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->GetState(), STATE_PLC_NOT_CONNECTED);
    m_ctl->loadSymbols = PLCCOM_OK;

    m_ctl->connectResult = PLCCOM_DUPLICATE_PLC_NAME;
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_DUPLICATE_PLC_NAME);
    EXPECT_NE(p->GetState(), STATE_RUNNING);
    m_ctl->connectResult = PLCCOM_OK;

    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    EXPECT_EQ(p->GetAllItems(&pSymbols, &ulSymbols), RESULT_OK);
    EXPECT_EQ(ulSymbols, 3u);
    EXPECT_EQ(m_ctl->opens.load(), 6);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
}

TEST_F(ConnectionTest, ADeviceThatDiesIsBroughtBackByTheReconnectThread) {
    Config cfg;
    Recorder rec;
    auto p = Make(cfg);
    RTS_HANDLE hLogger = AttachLogger(p.get());
    ASSERT_EQ(p->Connect(0xFFFFFFFFu, &rec, 1), RESULT_OK);
    char szAddr[16] = "";
    EXPECT_EQ(p->GetAddressOfMappedItem("app.gvl.beta", szAddr, sizeof(szAddr)), RESULT_OK);
    EXPECT_STREQ(szAddr, "%MW1");

    // The channel dies; the first reconnect attempt fails as well.
    m_ctl->symbolAddress = PLCCOM_COMM_FATAL;
    m_ctl->failOpens = 1;
    RTS_UI32 ulFailed = SysTimeGetMs();
    EXPECT_EQ(p->GetAddressOfMappedItem("App.GVL.beta", szAddr, sizeof(szAddr)), RESULT_FAILED);
    EXPECT_NE(p->GetState(), STATE_RUNNING);
    m_ctl->symbolAddress = PLCCOM_OK;
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetState() == STATE_RUNNING; }, 1000 + 1000))
        << "not back within the reconnect time and one second";
    EXPECT_GE(SysTimeElapsedMs(SysTimeGetMs(), ulFailed), 900u)
        << "the second attempt waits for the reconnect time";
    EXPECT_EQ(m_ctl->opens.load(), 3);
    EXPECT_TRUE(rec.Saw(STATE_PLC_NOT_CONNECTED));
    EXPECT_EQ(rec.States().back(), STATE_RUNNING);
    EXPECT_TRUE(Logged(hLogger, "[Line1]: CKestrolink: Communication error occurred"));
    EXPECT_TRUE(Logged(hLogger, "[Line1]: CKestrolink: Start reconnect"));
    EXPECT_EQ(p->GetAddressOfMappedItem("App.GVL.gamma", szAddr, sizeof(szAddr)), RESULT_OK);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);

    // With reconnecting switched off the connection stays down.
    cfg.config.ulReconnectTime = 0xFFFFFFFFu;
    cfg.config.bLogToFile = 1;
    cfg.config.ulLogFilter = 0xFFFFFEFFu;
    ASSERT_EQ(p->SetConfig(&cfg.config, nullptr), RESULT_OK);
    ASSERT_EQ(p->Connect(0, &rec, 1), RESULT_OK) << "reconnecting off: every connect is synchronous";
    m_ctl->symbolAddress = PLCCOM_COMM_FATAL;
    EXPECT_EQ(p->GetAddressOfMappedItem("App.GVL.beta", szAddr, sizeof(szAddr)), RESULT_FAILED);
    EXPECT_EQ(p->GetState(), STATE_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->GetReconnectCycles(), 0);
    EXPECT_TRUE(Logged(hLogger, "CKestrolink: Start ReconnectThread denied by configuration"));
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
}

TEST_F(ConnectionTest, SymbolsAreLoadedOfflineWhenTheControllerCannotBeReached) {
    Config cfg;
    cfg.config.ulWaitTime = 300;
    m_ctl->failOpens = -1;
    m_ctl->offlineSymbols = true;
    Recorder rec;
    auto p = Make(cfg);
    EXPECT_EQ(p->Connect(0, &rec, 1), RESULT_SYMBOLS_LOADED_OFFLINE);
    EXPECT_EQ(p->GetState(), STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED);
    PlcSymbolDesc* pSymbols = nullptr;
    RTS_UI32 ulSymbols = 0;
    EXPECT_EQ(p->GetAllItems(&pSymbols, &ulSymbols), RESULT_OK);
    EXPECT_EQ(ulSymbols, 3u);
    PlcSymbolDesc item{};
    EXPECT_EQ(p->GetItem("APP.GVL.GAMMA", &item), RESULT_OK);
    EXPECT_STREQ(item.pszName, "App.GVL.gamma");
    EXPECT_EQ(p->LoadSymbolsFromPlc(1), RESULT_PLC_NOT_CONNECTED)
        << "offline symbols are not a running connection";

    // The next cycle drops the offline symbols and does not load them again.
    EXPECT_TRUE(
        kltest::WaitFor([&] { return p->GetState() != STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED; }, 2000));
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetReconnectCycles() >= 3; }, 2000));
    EXPECT_NE(p->GetState(), STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED);
    EXPECT_EQ(p->GetAllItems(&pSymbols, &ulSymbols), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);

    // A synchronous connect never loads offline.
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, &rec, 1), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
}

TEST_F(ConnectionTest, DisconnectDuringAReconnectCycle) {
    Config cfg;
    cfg.config.ulWaitTime = 100;
    m_ctl->failOpens = -1;
    auto p = Make(cfg);
    RTS_HANDLE hLogger = AttachLogger(p.get());

    // The thread sleeps between cycles: it ends at once.
    EXPECT_EQ(p->Connect(0, nullptr, 0), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
    EXPECT_EQ(p->GetReconnectCycles(), 0);
    EXPECT_EQ(m_ctl->alive.load(), 0);

    // The thread hangs in the device's open longer than its join limit
    // (retries x timeout = 1000 ms): it is killed, the result says so, and no
    // thread or lock is left behind for the next connect.
    m_ctl->openBlockMs = 4000;
    EXPECT_EQ(p->Connect(0xFFFFFFFEu, nullptr, 0), RESULT_PLC_NOT_CONNECTED);
    EXPECT_EQ(p->GetReconnectCycles(), 1);
    EXPECT_EQ(p->Disconnect(), RESULT_COMM_FATAL);
    EXPECT_EQ(p->GetState(), STATE_DISCONNECT);
    EXPECT_EQ(p->GetPlcComObject(), nullptr);
    EXPECT_EQ(m_ctl->alive.load(), 0) << "the device object of a killed thread must still go";
    EXPECT_TRUE(Logged(hLogger,
                       "CKestrolink::TerminateReconnectThread(): Exit ReconnectThread failed, please check "
                       "the timeouts"));
    m_ctl->openBlockMs = 0;
    m_ctl->failOpens = 0;
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_OK)
        << "the killed thread left the online lock taken";
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
}

TEST_F(ConnectionTest, DestructionWhileConnecting) {
    {
        // A client thread waits in an asynchronous connect.
        Config cfg;
        cfg.config.ulWaitTime = 5000;
        m_ctl->failOpens = -1;
        auto p = Make(cfg);
        TestKestrolink* pRaw = p.get();
        std::atomic<RTS_I32> lResult{-100};
        std::atomic<bool> bDone{false};
        std::thread client([&] {
            lResult = pRaw->Connect(0, nullptr, 0);
            bDone = true;
        });
        EXPECT_TRUE(kltest::WaitFor([&] { return m_ctl->opens.load() >= 1; }, 2000));
        p.reset();
        client.join();
        EXPECT_TRUE(bDone.load());
        EXPECT_EQ(lResult.load(), RESULT_PLC_NOT_CONNECTED);
        EXPECT_EQ(m_ctl->alive.load(), 0);
    }
    {
        // The reconnect thread is inside the device's open.
        Config cfg;
        cfg.config.ulWaitTime = 100;
        m_ctl->failOpens = 0;
        m_ctl->openBlockMs = 400;
        int iOpens = m_ctl->opens.load();
        auto p = Make(cfg);
        EXPECT_EQ(p->Connect(0xFFFFFFFEu, nullptr, 0), RESULT_PLC_NOT_CONNECTED);
        p.reset();
        EXPECT_EQ(m_ctl->alive.load(), 0);
        EXPECT_EQ(m_ctl->opens.load(), iOpens + 1);
        EXPECT_EQ(m_ctl->channels.load(), 0) << "the channel was not closed";
    }
}

TEST_F(ConnectionTest, ConnectOnlyOpensTheChannelAndMakesOneAttempt) {
    Config cfg;
    cfg.Param("ConnectOnly", "1");
    auto p = Make(cfg);
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    EXPECT_EQ(p->GetState(), STATE_PLC_CONNECTED);
    EXPECT_EQ(m_ctl->logins.load(), 0);
    EXPECT_EQ(p->EnterOnlineAccessWithStateCheck(0), RESULT_PLC_NOT_CONNECTED);
    ASSERT_EQ(p->EnterOnlineAccessWithStateCheck(1), RESULT_OK);
    p->LeaveOnlineAccess();
    EXPECT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 1), RESULT_OK);
    EXPECT_EQ(m_ctl->opens.load(), 1);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);

    cfg.config.ulWaitTime = 100;
    ASSERT_EQ(p->SetConfig(&cfg.config, nullptr), RESULT_OK);
    m_ctl->failOpens = -1;
    EXPECT_EQ(p->Connect(0, nullptr, 0), RESULT_PLC_NOT_CONNECTED);
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetReconnectCycles() == 0; }, 1000));
    SysTaskWaitSleep(nullptr, 1100);
    EXPECT_EQ(m_ctl->opens.load(), 2) << "connect-only makes a single attempt";
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
}

// An application's state callback may hand work to another thread and wait
// for it; that thread's request must not find the connection locked by the
// thread that reported the change.
class LockProbe : public Recorder {
public:
    explicit LockProbe(CKestrolink** ppConn) : m_ppConn(ppConn) {}
    long Notify(CKestrolink* pConn, CallbackAddInfoTag info) override {
        Recorder::Notify(pConn, info);
        if (info.ulType == CALLBACK_STATE_CHANGED && *m_ppConn != nullptr) {
            CKestrolink* p = *m_ppConn;
            auto fut = std::async(std::launch::async, [p] {
                if (p->EnterOnlineAccess(300) != RESULT_OK) {
                    return false;
                }
                p->LeaveOnlineAccess();
                return true;
            });
            bool bDone = fut.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_probes++;
            if (!bDone || !fut.get()) {
                m_blocked++;
            }
        }
        return 0;
    }
    int Probes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_probes;
    }
    int Blocked() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blocked;
    }

private:
    CKestrolink** m_ppConn;
    std::mutex m_mutex;
    int m_probes = 0;
    int m_blocked = 0;
};

TEST_F(ConnectionTest, StateCallbacksRunWithoutTheConnectionsLocks) {
    Config cfg;
    CKestrolink* pConn = nullptr;
    LockProbe probe(&pConn);
    auto p = Make(cfg);
    pConn = p.get();
    // Connect (connect lock held while the states change), a failed request
    // (online lock held when the error is handled), the reconnect thread
    // bringing the connection back, and Disconnect.
    ASSERT_EQ(p->Connect(0xFFFFFFFFu, &probe, 1), RESULT_OK);
    char szAddr[16] = "";
    m_ctl->symbolAddress = PLCCOM_COMM_FATAL;
    EXPECT_EQ(p->GetAddressOfMappedItem("App.GVL.beta", szAddr, sizeof(szAddr)), RESULT_FAILED);
    m_ctl->symbolAddress = PLCCOM_OK;
    EXPECT_TRUE(kltest::WaitFor([&] { return p->GetState() == STATE_RUNNING; }, 1000 + 2000));
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
    EXPECT_GE(probe.Probes(), 5);
    EXPECT_EQ(probe.Blocked(), 0) << "a state callback ran while the connection was locked";
    EXPECT_TRUE(probe.Saw(STATE_PLC_NOT_CONNECTED));
}
