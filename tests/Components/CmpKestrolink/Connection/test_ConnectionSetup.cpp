// Set-up of a connection object: configuration from records, INI files and
// text, its normalisation, client information, version, logging (name prefix,
// filter, log file) and the network scan's argument checks and callbacks.
#include <sys/stat.h>

#include <thread>

#include "ConnectionTestSupport.h"
#include "SysFile.h"

using namespace conntest;

TEST_F(ConnectionTest, ConfigurationIsCopiedNormalisedAndHandedOut) {
    Config cfg;
    cfg.config.ulTimeout = 500;
    cfg.config.ulNumTries = 0;
    cfg.config.ulReconnectTime = 0xFFFFFFFFu;
    cfg.config.bLogin = 0;
    cfg.Text(&cfg.device.pszProject, "FromDevice");
    auto p = Make(cfg);
    PlcConfig* pHeld = nullptr;
    PlcDeviceDesc* pHeldDevice = nullptr;
    EXPECT_EQ(p->GetConfig(&pHeld, &pHeldDevice), RESULT_OK);
    ASSERT_NE(pHeld, nullptr);
    ASSERT_NE(pHeldDevice, nullptr);
    EXPECT_NE(pHeld, &cfg.config) << "the object keeps its own copy";
    EXPECT_EQ(pHeld->ulTimeout, 1000u);
    EXPECT_EQ(pHeld->ulNumTries, 1u);
    EXPECT_EQ(pHeld->ulReconnectTime, 0xFFFFFFFFu);
    EXPECT_EQ(pHeld->bLogin, 1) << "login is forced for the V3 direct transport";
    EXPECT_STREQ(pHeld->pszProjectName, "FromDevice") << "the project name moves to the configuration";
    EXPECT_EQ(pHeldDevice->pszProject, nullptr);
    EXPECT_STREQ(cfg.device.pszProject, "FromDevice") << "the caller's record stays the caller's";

    // A record to copy into gets a deep copy.
    PlcConfig copy{};
    PlcConfig* pCopy = &copy;
    EXPECT_EQ(p->GetConfig(&pCopy, nullptr), RESULT_OK);
    EXPECT_EQ(pCopy, &copy);
    EXPECT_STREQ(copy.pszName, "Line1");
    EXPECT_NE(copy.pszName, pHeld->pszName);
    UtlDeletePlcConfig(&copy);

    EXPECT_EQ(p->SetConfig(static_cast<PlcConfig*>(nullptr), nullptr), RESULT_INVALIDPARAMETER);
    Config invalid(IT_INVALID);
    EXPECT_EQ(p->SetConfig(&invalid.config, nullptr), RESULT_NO_CONFIGURATION);
    EXPECT_EQ(pHeld->it, IT_ARTI3) << "a refused configuration changes nothing";

    Config sim(IT_SIMULATION3);
    sim.config.ulReconnectTime = 0;
    EXPECT_EQ(p->SetConfig(&sim.config, nullptr), RESULT_OK);
    EXPECT_EQ(pHeld->ulReconnectTime, 20000u);
    sim.config.ulReconnectTime = 200;
    EXPECT_EQ(p->SetConfig(&sim.config, nullptr), RESULT_OK);
    EXPECT_EQ(pHeld->ulReconnectTime, 1000u);
    Config gateway(IT_GATEWAY);
    gateway.config.bLogin = 0;
    EXPECT_EQ(p->SetConfig(&gateway.config, &gateway.device), RESULT_OK);
    EXPECT_EQ(pHeld->bLogin, 0);
    EXPECT_STREQ(pHeldDevice->pszInstance, "DefaultInstance");
    EXPECT_EQ(p->SetConfigInteractive(), RESULT_FAILED);
    EXPECT_EQ(p->SetConfig(&cfg.config, &cfg.device), RESULT_OK);
    EXPECT_EQ(p->SetConfigInteractive(), RESULT_NOT_SUPPORTED);
    EXPECT_EQ(p->SaveConfigInFile(m_dir.File("out.ini").c_str()), RESULT_FAILED);
    EXPECT_FALSE(kltest::FileExists(m_dir.File("out.ini")));

    // Client information, version and time-outs.
    EXPECT_EQ(p->GetTimeout(), 0u);
    EXPECT_EQ(p->SetTimeout(2000), RESULT_FAILED) << "no device object yet";
    EXPECT_EQ(p->SetClientInformation("Panel", "Maker", "1.0", 7), RESULT_OK);
    ASSERT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_OK);
    {
        std::lock_guard<std::mutex> lock(m_ctl->mutex);
        EXPECT_EQ(m_ctl->clientName, "Panel");
    }
    EXPECT_EQ(p->SetClientInformation("Other", nullptr, nullptr, 0), RESULT_FAILED);
    EXPECT_EQ(p->SetTimeout(2000), RESULT_OK);
    EXPECT_EQ(p->GetTimeout(), 2000u);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
    ASSERT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_OK);
    {
        std::lock_guard<std::mutex> lock(m_ctl->mutex);
        EXPECT_EQ(m_ctl->clientName, "Panel") << "client information is frozen by the first connect";
    }
    EXPECT_EQ(p->Disconnect(), RESULT_OK);

    char szVersion[16];
    memset(szVersion, 'x', sizeof(szVersion));
    EXPECT_EQ(p->GetVersion(nullptr, 0), 0x03051114u);
    EXPECT_EQ(p->GetVersion(szVersion, 0), 0x03051114u);
    EXPECT_EQ(szVersion[0], 'x');
    EXPECT_EQ(p->GetVersion(szVersion, 4), 0x03051114u);
    EXPECT_STREQ(szVersion, "3.5");
    EXPECT_EQ(p->GetVersion(szVersion, sizeof(szVersion)), 0x03051114u);
    EXPECT_STREQ(szVersion, "3.5.17.20");
}

TEST_F(ConnectionTest, ConfigurationFromIniFilesAndText) {
    std::string ini = m_dir.File("plcs.ini");
    kltest::WriteFile(ini,
                      "[Server]\nPLCs=2\nPLC0=Line1\nPLC1=Line2\n"
                      "[PLC:Line1]\ninterfacetype=ARTI3\ntimeout=16#1388\nwaittime=1\nreconnecttime=2\n"
                      "parameters=1\nparameter0=ConnectOnly\nvalue0=1\n"
                      "[PLC:Line2]\ninterfacetype=SIMULATION3\nnologin=1\n");
    {
        CKestrolink k(1u, ini.c_str(), nullptr);
        EXPECT_STREQ(k.GetName(), "Line2");
        EXPECT_EQ(k.GetId(), 1u);
        PlcConfig* pHeld = nullptr;
        k.GetConfig(&pHeld, nullptr);
        EXPECT_EQ(pHeld->it, IT_SIMULATION3);
        EXPECT_EQ(pHeld->bLogin, 0);
    }
    {
        CKestrolink k("Line1", ini.c_str(), nullptr);
        EXPECT_EQ(k.GetId(), 0u);
        PlcConfig* pHeld = nullptr;
        k.GetConfig(&pHeld, nullptr);
        EXPECT_EQ(pHeld->it, IT_ARTI3);
        EXPECT_EQ(pHeld->ulTimeout, 5000u);
        EXPECT_EQ(pHeld->ulWaitTime, 1000u);
        EXPECT_EQ(pHeld->ulReconnectTime, 2000u);
        EXPECT_NE(k.GetState(), STATE_NO_CONFIGURATION);
    }
    {
        CKestrolink k("Line9", ini.c_str(), nullptr);
        EXPECT_EQ(k.GetState(), STATE_NO_CONFIGURATION);
        EXPECT_EQ(k.Connect(0xFFFFFFFFu, nullptr, 0), RESULT_NO_CONFIGURATION);
    }

    // Text: written to "ConfigTemp.ini" in the working directory, exactly
    // ulConfigLen bytes of it, and the file is gone afterwards.
    Config cfg;
    auto p = Make(cfg);
    std::string text = "[Server]\r\nPLC0=Line3\r\n[PLC:Line3]\r\ninterfacetype=ARTI3\r\ntimeout=3000\r\n";
    EXPECT_EQ(p->SetConfig(text.c_str(), static_cast<RTS_UI32>(text.size()), "\r\n"), RESULT_OK);
    EXPECT_STREQ(p->GetName(), "Line3");
    PlcConfig* pHeld = nullptr;
    p->GetConfig(&pHeld, nullptr);
    EXPECT_EQ(pHeld->ulTimeout, 3000u);
    EXPECT_FALSE(kltest::FileExists(m_dir.File("ConfigTemp.ini")));
    std::string cut = text + "garbage that is not part of the configuration";
    RTS_UI32 ulCut = static_cast<RTS_UI32>(text.find("timeout"));
    EXPECT_EQ(p->SetConfig(cut.c_str(), ulCut, "\r\n"), RESULT_OK);
    EXPECT_EQ(pHeld->ulTimeout, 10000u) << "bytes past ulConfigLen were read";
    EXPECT_EQ(p->SetConfig(nullptr, 10, "\n"), RESULT_INVALIDPARAMETER);

    // The file cannot be written: -1.
    ASSERT_EQ(mkdir(m_dir.File("ConfigTemp.ini").c_str(), 0700), 0);
    EXPECT_EQ(p->SetConfig(text.c_str(), static_cast<RTS_UI32>(text.size()), "\n"), RESULT_FAILED);
    rmdir(m_dir.File("ConfigTemp.ini").c_str());

    // Two objects configured from text at once each get their own entry.
    Config cfg2;
    auto q = Make(cfg2);
    std::string text2 = "[Server]\nPLC0=Line4\n[PLC:Line4]\ninterfacetype=ARTI3\n";
    std::atomic<int> iWrong{0};
    std::thread a([&] {
        for (int i = 0; i < 30; ++i) {
            if (p->SetConfig(text.c_str(), static_cast<RTS_UI32>(text.size()), "\n") != RESULT_OK ||
                strcmp(p->GetName(), "Line3") != 0) {
                ++iWrong;
            }
        }
    });
    for (int i = 0; i < 30; ++i) {
        if (q->SetConfig(text2.c_str(), static_cast<RTS_UI32>(text2.size()), "\n") != RESULT_OK ||
            strcmp(q->GetName(), "Line4") != 0) {
            ++iWrong;
        }
    }
    a.join();
    EXPECT_EQ(iWrong.load(), 0) << "the temporary file was shared without a lock";
    EXPECT_FALSE(kltest::FileExists(m_dir.File("ConfigTemp.ini")));
}

TEST_F(ConnectionTest, LoggingFormatsTheTextFirstAndHidesPasswords) {
    Config cfg;
    cfg.Text(&cfg.config.pszName, "Line%s%n");
    cfg.config.gwc = new GatewayConnection();
    cfg.config.gwc->pszPassword = UtlStrDup("topsecret");
    cfg.Param("Password", "pw123");
    auto p = Make(cfg);
    EXPECT_EQ(p->GetLogging(), 0);
    RTS_HANDLE hLogger = AttachLogger(p.get());
    EXPECT_EQ(p->GetLogging(), 1);
    EXPECT_EQ(p->GetLogFile(), hLogger);

    EXPECT_EQ(p->AddLogEntry(42u, LOG_INFO, 0, "value %d", 5), RESULT_OK);
    EXPECT_EQ(Lines(hLogger).back(), "[Line%s%n]: value 5") << "a '%' in the name was taken as a conversion";
    auto viaList = [&](const char* pszFormat, ...) {
        va_list args;
        va_start(args, pszFormat);
        RTS_I32 r = p->AddLogEntry(42u, LOG_WARNING, 0, pszFormat, &args);
        va_end(args);
        return r;
    };
    EXPECT_EQ(viaList("%s and %d", "text", 7), RESULT_OK);
    EXPECT_EQ(Lines(hLogger).back(), "[Line%s%n]: text and 7");

    // A long name is cut to 127 characters, the line to 255.
    cfg.Text(&cfg.config.pszName, std::string(200, 'N').c_str());
    ASSERT_EQ(p->SetConfig(&cfg.config, nullptr), RESULT_OK);
    p->SetLogging(1, 0xFFFFFEFFu);
    EXPECT_EQ(p->AddLogEntry(42u, LOG_INFO, 0, "%s", std::string(300, 't').c_str()), RESULT_OK);
    std::string line = Lines(hLogger).back();
    EXPECT_EQ(line.size(), 255u);
    EXPECT_EQ(line.substr(0, 131), "[" + std::string(127, 'N') + "]: ");

    // The class filter and the switch.
    size_t ulLines = Lines(hLogger).size();
    p->SetLogging(1, LOG_ERROR);
    EXPECT_EQ(p->AddLogEntry(42u, LOG_INFO, 0, "filtered"), RESULT_FAILED);
    p->SetLogging(0, 0xFFFFFFFFu);
    EXPECT_EQ(p->AddLogEntry(42u, LOG_ERROR, 0, "switched off"), RESULT_FAILED);
    EXPECT_EQ(Lines(hLogger).size(), ulLines);

    // The configuration is logged at the first connect, passwords hidden.
    cfg.Text(&cfg.config.pszName, "Line1");
    cfg.config.bLogToFile = 1;
    cfg.config.ulLogFilter = 0xFFFFFEFFu;
    ASSERT_EQ(p->SetConfig(&cfg.config, &cfg.device), RESULT_OK);
    ASSERT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_OK);
    EXPECT_TRUE(Logged(hLogger, "[Line1]: ---------- Configuration ----------"));
    EXPECT_TRUE(Logged(hLogger, "[Line1]: Kestrolink Version: 3.5.17.20"));
    EXPECT_TRUE(Logged(hLogger, "[Line1]: m_pPlcConfig->ulTimeout = 1000, m_pPlcConfig->ulNumTries = 1"));
    EXPECT_TRUE(Logged(hLogger, "m_pPlcConfig->it = IT_ARTI3"));
    EXPECT_TRUE(Logged(hLogger, "m_pPlcConfig->gwc->pszPassword = XXX :-)"));
    EXPECT_TRUE(Logged(hLogger, "parameter0 = Password, value0 = XXX :-)"));
    EXPECT_TRUE(Logged(hLogger, "[Line1]: CKestrolink: SetState=STATE_RUNNING"));
    EXPECT_TRUE(Logged(hLogger, "[Line1]: CKestrolink: Interface: IT_ARTI3 used"));
    EXPECT_TRUE(Logged(hLogger, "[Line1]: CKestrolink: <-Connect(lResult=0)"));
    for (const std::string& l : Lines(hLogger)) {
        EXPECT_EQ(l.find("topsecret"), std::string::npos) << l;
        EXPECT_EQ(l.find("pw123"), std::string::npos) << l;
    }
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
}

TEST_F(ConnectionTest, SetLogFileCreatesTheLogFile) {
    Config cfg;
    auto p = Make(cfg);
    EXPECT_EQ(p->SetLogFile(static_cast<const char*>(nullptr)), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(p->SetLogFile(""), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(p->SetLogFile(static_cast<void*>(nullptr)), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(p->SetLogFile(RTS_INVALID_HANDLE), RESULT_INVALIDPARAMETER);
    EXPECT_EQ(p->SetLogFile("Kestrolink.log"), RESULT_LOGGING_OFF);
    EXPECT_EQ(p->GetLogFile(), RTS_INVALID_HANDLE);

    // With a device object, switching logging on opens "Kestrolink.log" in
    // the working directory.
    ASSERT_EQ(p->Connect(0xFFFFFFFFu, nullptr, 0), RESULT_OK);
    EXPECT_EQ(p->SetLogging(1, LOG_INFO | LOG_ERROR), 1);
    EXPECT_NE(p->GetLogFile(), RTS_INVALID_HANDLE);
    EXPECT_EQ(p->AddLogEntry(42u, LOG_INFO, 0, "into the file"), RESULT_OK);
    EXPECT_EQ(p->Disconnect(), RESULT_OK);
    EXPECT_TRUE(kltest::WaitFor(
        [&] {
            return kltest::ReadFile(m_dir.File("Kestrolink.log")).find("[Line1]: into the file") !=
                   std::string::npos;
        },
        2000))
        << kltest::ReadFile(m_dir.File("Kestrolink.log"));

    // A path: the logger is named after the file part, the file lies there.
    ASSERT_EQ(mkdir(m_dir.File("logs").c_str(), 0700), 0);
    EXPECT_EQ(p->SetLogFile(m_dir.File("logs/Other.log").c_str()), RESULT_OK);
    EXPECT_EQ(p->AddLogEntry(42u, LOG_ERROR, 0, "elsewhere"), RESULT_OK);
    EXPECT_TRUE(kltest::WaitFor(
        [&] { return kltest::ReadFile(m_dir.File("logs/Other.log")).find("elsewhere") != std::string::npos; },
        2000));
}

TEST_F(ConnectionTest, NetworkScanReportsThroughTheCallbackAndEndsOutsideIt) {
    Config cfg;
    Recorder rec;
    {
        ASSERT_EQ(SetSettingsFileName(m_settings.c_str()), ERR_OK);
        TestKestrolink k(&cfg.config, &cfg.device, nullptr);
        EXPECT_EQ(k.ScanNetwork(nullptr, nullptr), RESULT_INVALIDPARAMETER);
        EXPECT_EQ(k.IsScanRunning(), 0);
    }
    auto p = Make(cfg);
    EXPECT_EQ(p->ScanNetwork(nullptr, &rec), RESULT_OK);
    EXPECT_EQ(p->IsScanRunning(), 1);
    Recorder other;
    EXPECT_EQ(p->ScanNetwork(nullptr, &other), RESULT_SCAN_RUNNING);
    EXPECT_TRUE(kltest::WaitFor([&] { return p->IsScanRunning() == 0; }, 2000));
    std::vector<NodeInfotyp2> nodes = rec.Nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].lResult, RESULT_TIMEOUT) << "the scan's time-out code is translated";
    EXPECT_EQ(nodes[0].bComplete, 0);
    EXPECT_EQ(nodes[1].bComplete, 1);
    EXPECT_TRUE(other.Nodes().empty());
    EXPECT_FALSE(m_ctl->deletedInOwnScan.load()) << "the scan device was deleted inside its own callback";

    // The finished scan's device goes with the next scan.
    GatewayConnection gateway{};
    EXPECT_EQ(p->ScanNetwork(&gateway, &rec), RESULT_OK);
    EXPECT_TRUE(kltest::WaitFor([&] { return p->IsScanRunning() == 0; }, 2000));
    EXPECT_EQ(m_ctl->alive.load(), 1);

    m_ctl->scanStart = PLCCOM_SCAN_ACTIVE;
    EXPECT_EQ(p->ScanNetwork(nullptr, &rec), RESULT_SCAN_RUNNING);
    EXPECT_EQ(p->IsScanRunning(), 0) << "a failed start leaves no scan running";
    m_ctl->scanStart = PLCCOM_NOT_SUPPORTED;
    EXPECT_EQ(p->ScanNetwork(nullptr, &rec), RESULT_NOT_SUPPORTED);
    m_ctl->scanStart = PLCCOM_NO_MEMORY;
    EXPECT_EQ(p->ScanNetwork(nullptr, &rec), RESULT_FAILED);
    m_ctl->scanStart = PLCCOM_OK;
    m_ctl->status = PLCCOMSTATUS_NOT_SUPPORTED;
    EXPECT_EQ(p->ScanNetwork(nullptr, &rec), RESULT_NOT_SUPPORTED);
    m_ctl->status = PLCCOMSTATUS_NO_DLL_FOUND;
    EXPECT_EQ(p->ScanNetwork(nullptr, &rec), RESULT_FAILED);
    m_ctl->status = PLCCOMSTATUS_OK;

    // Destruction waits for the end of a running scan.
    m_ctl->scanEndMs = 300;
    size_t ulNodes = rec.Nodes().size();
    EXPECT_EQ(p->ScanNetwork(nullptr, &rec), RESULT_OK);
    p.reset();
    nodes = rec.Nodes();
    ASSERT_EQ(nodes.size(), ulNodes + 2);
    EXPECT_EQ(nodes.back().bComplete, 1);
}
