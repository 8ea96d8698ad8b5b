// The device interface base: what it takes from the configuration, the
// answers of the optional operations, byte swapping, credentials and their
// backup, logging through the runtime's log, and symbols read offline from
// the local symbol-configuration file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeviceTestSupport.h"
#include "PLCComBase.h"
#include "SymbolUtil.h"

namespace {

using devtest::Config;

// Trivial answers for what a subclass must provide; SendService answers
// with a scripted reply.
class TestDevice : public CPLCComBase {
public:
    using CPLCComBase::CPLCComBase;
    using CPLCComBase::m_bPreCheckIdentity;
    using CPLCComBase::m_pSymbols;
    using CPLCComBase::m_pszPassword;
    using CPLCComBase::m_pszPlcName;
    using CPLCComBase::m_pszSymbolFilePath;
    using CPLCComBase::m_pszUser;
    using CPLCComBase::m_ulBufferSize;
    using CPLCComBase::m_ulId;
    using CPLCComBase::m_ulSymbols;

    RTS_I32 Open() override { return 0; }
    RTS_I32 Close() override { return 0; }
    RTS_I32 Login() override { return 0; }
    RTS_I32 Logout() override { return 0; }
    RTS_I32 CheckProjectIds() override { return 0; }
    RTS_I32 GetPlcProjectName(char*, RTS_UI32) override { return 0; }
    RTS_I32 LoadSymbols() override { return PLCCOM_FAILED; }
    RTS_I32 DeleteSymbols() override {
        DeleteSymbolsOffline();
        return 0;
    }
    RTS_I32 GetSymbols(PlcSymbolDesc**, RTS_UI32*) override { return PLCCOM_FAILED; }
    HVARLIST DefineVarList(const char* const*, RTS_UI32, RTS_I32, RTS_UI32, RTS_I32*) override {
        return nullptr;
    }
    RTS_I32 DeleteVarList(HVARLIST, RTS_I32) override { return 0; }
    RTS_I32 SendVarList(HVARLIST, RTS_HANDLE, RTS_HANDLE, RTS_I32*, RTS_I32, RTS_UI32*) override { return 0; }
    RTS_I32 GetVarList(HVARLIST, PlcVarValue***, RTS_UI32*) override { return 0; }
    RTS_I32 GetValues(HVARLIST, PlcVarValue***, RTS_UI32*) override { return 0; }
    RTS_I32 WriteVarList(HVARLIST, RTS_UI32, const RTS_UI8* const*, const RTS_UI32*) override { return 0; }
    RTS_I32 WriteVars(const char* const*, RTS_UI32, const RTS_UI8* const*, const RTS_UI32*) override {
        return 0;
    }
    RTS_I32 SendService(const RTS_UI8* pbySend, RTS_UI32 ulSendSize, RTS_UI8** ppbyRecv,
                        RTS_UI32* pulRecvSize) override {
        sent.assign(pbySend, pbySend + ulSendSize);
        *ppbyRecv = reply.data();
        *pulRecvSize = static_cast<RTS_UI32>(reply.size());
        return lSendResult;
    }

    std::vector<RTS_UI8> sent;
    std::vector<RTS_UI8> reply;
    RTS_I32 lSendResult = 0;
};

template <typename T>
std::string Text(const T& p) {
    return p ? std::string(p.get()) : std::string("(none)");
}

TEST(PLCComBase, TakesIdentityTimingAndCredentialsFromTheConfiguration) {
    TestDevice bare(nullptr, nullptr, RTS_INVALID_HANDLE);
    EXPECT_EQ(bare.m_ulId, 0xFFFFFFFFu);
    EXPECT_EQ(bare.GetChannel(), 0xFFFFFFFFu);
    EXPECT_EQ(bare.GetTimeout(), 10000u);
    EXPECT_EQ(bare.GetRetries(), 3u);
    EXPECT_EQ(bare.m_bPreCheckIdentity, 1);
    EXPECT_EQ(bare.GetStatus(), PLCCOMSTATUS_NOT_INITIALIZED);
    EXPECT_EQ(Text(bare.m_pszUser) + Text(bare.m_pszPassword), "");

    Config cfg;
    cfg.config.ulId = 7;
    cfg.config.ulTimeout = 2500;
    cfg.config.ulNumTries = 2;
    cfg.config.ulBufferSize = 1400;
    cfg.config.pszName = cfg.Text("Press1");
    cfg.Param("User", std::string(300, 'u'));
    cfg.Param("Password", "secret");
    cfg.Param("SymbolFilePath", "/var/symbols");
    TestDevice dev(&cfg.config, &cfg.device, RTS_INVALID_HANDLE);
    cfg.texts[0][0] = 'X';  // the device keeps its own copies
    EXPECT_EQ(dev.m_ulId, 7u);
    EXPECT_EQ(dev.GetTimeout(), 2500u);
    EXPECT_EQ(dev.GetRetries(), 2u);
    EXPECT_EQ(dev.m_ulBufferSize, 1400u);
    EXPECT_EQ(Text(dev.m_pszPlcName), "Press1");
    EXPECT_EQ(Text(dev.m_pszUser), std::string(PLCCOM_CREDENTIAL_LEN, 'u'));
    EXPECT_EQ(Text(dev.m_pszPassword), "secret");
    EXPECT_EQ(Text(dev.m_pszSymbolFilePath), "/var/symbols/");

    // The folder ends in exactly one separator; an empty or overlong path is
    // no path at all.
    const std::pair<std::string, std::string> paths[] = {
        {"C:\\symbols\\", "C:\\symbols\\"},
        {"", "(none)"},
        {std::string(PLCCOM_SYMBOL_PATH_LEN + 1, 'p'), "(none)"},
        {std::string(PLCCOM_SYMBOL_PATH_LEN, 'p'), std::string(PLCCOM_SYMBOL_PATH_LEN, 'p') + "/"},
    };
    for (const auto& path : paths) {
        Config c;
        c.Param("SymbolFilePath", path.first);
        TestDevice d(nullptr, &c.device, RTS_INVALID_HANDLE);
        EXPECT_EQ(Text(d.m_pszSymbolFilePath), path.second) << path.first.size();
    }
    EXPECT_EQ(CPLCComBase::IsValidProjectName("Line 4_v1.2", 0), 1);
    EXPECT_EQ(CPLCComBase::IsValidProjectName("Line/4", 0), 0);
    EXPECT_EQ(CPLCComBase::IsValidProjectName("Line/4", 4), 1);
}

TEST(PLCComBase, OptionalOperationsAnswerNotSupported) {
    TestDevice dev(nullptr, nullptr, RTS_INVALID_HANDLE);
    EXPECT_EQ(dev.ScanNetwork(0, nullptr), PLCCOM_NOT_SUPPORTED);
    EXPECT_EQ(dev.GetSymbol("a", nullptr), PLCCOM_NOT_SUPPORTED);
    EXPECT_EQ(dev.AddVarsToVarList(nullptr, nullptr, 0, nullptr), PLCCOM_NOT_SUPPORTED);
    EXPECT_EQ(dev.SetPlcStatus(PLC_STATE_STOP), PLCCOM_NOT_SUPPORTED);
    EXPECT_EQ(dev.LoadSymbolsOffline(), PLCCOM_FAILED);  // no project, no symbol file
    EXPECT_EQ(dev.CheckConnectResult(), 0);
    // Operations with a result pointer answer through it.
    RTS_I32 lResult = 0;
    EXPECT_EQ(dev.BootAppRegister("App", &lResult), 0);
    EXPECT_EQ(lResult, PLCCOM_NOT_SUPPORTED);
    CDirInfo sentinel;
    CDirInfo* pDir = &sentinel;
    lResult = 0;
    EXPECT_EQ(dev.ReadDirectory(&pDir, "/", &lResult), 0);
    EXPECT_EQ(lResult, PLCCOM_NOT_SUPPORTED);
    EXPECT_EQ(pDir, nullptr);
    EXPECT_EQ(dev.DeleteDirectory("d", nullptr), PLCCOM_INVALID_PARAMETER);

    // The device information is the object's own record, refreshed on request.
    EXPECT_EQ(dev.GetDevInfo(nullptr), PLCCOM_INVALID_PARAMETER);
    dev.SetMotorola(1);
    dev.m_ulBufferSize = 1400;
    DeviceInfo3* pInfo = nullptr;
    ASSERT_EQ(dev.GetDevInfo(&pInfo), 0);
    EXPECT_EQ(pInfo->bMotorola, 1);
    EXPECT_EQ(pInfo->ulBufferSize, 1400u);
    pInfo->pIpAddressList = new IpInfo[2]();
    pInfo->usNumOfIpAddresses = 2;
    dev.DeleteDevInfo();
    EXPECT_EQ(pInfo->pIpAddressList, nullptr);
    EXPECT_EQ(pInfo->usNumOfIpAddresses, 0);
}

TEST(PLCComBase, SwapsOnlyBetweenDifferentByteOrders) {
    TestDevice dev(nullptr, nullptr, RTS_INVALID_HANDLE);
    RTS_UI8 bytes[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(dev.Swap(static_cast<RTS_UI16>(0x1234)), 0x1234);
    EXPECT_EQ(dev.Swap(static_cast<RTS_UI32>(0x12345678u)), 0x12345678u);
    EXPECT_EQ(dev.Swap(bytes, 4), PLCCOM_FAILED);
    EXPECT_EQ(bytes[0], 1);

    dev.SetMotorola(1);
    EXPECT_EQ(dev.Swap(static_cast<RTS_UI16>(0x1234)), 0x3412);
    EXPECT_EQ(dev.Swap(static_cast<RTS_I16>(0x0180)), static_cast<RTS_I16>(0x8001));
    EXPECT_EQ(dev.Swap(static_cast<RTS_UI32>(0x12345678u)), 0x78563412u);
    EXPECT_EQ(dev.Swap(static_cast<RTS_I32>(0x000000FF)), static_cast<RTS_I32>(0xFF000000u));
    EXPECT_EQ(dev.Swap(bytes, 4), 0);
    EXPECT_EQ(std::vector<RTS_UI8>(bytes, bytes + 6), (std::vector<RTS_UI8>{4, 3, 2, 1, 5, 6}));
    EXPECT_EQ(dev.Swap(bytes, 2, 3), 0);
    EXPECT_EQ(std::vector<RTS_UI8>(bytes, bytes + 6), (std::vector<RTS_UI8>{3, 4, 1, 2, 6, 5}));
    EXPECT_EQ(dev.Swap(bytes, 0), PLCCOM_FAILED);
    EXPECT_EQ(dev.Swap(nullptr, 4), PLCCOM_FAILED);

    // The earlier generation's status request reads its error word in the
    // controller's order: 00 01 is 1 on a big-endian controller.
    dev.reply = {0x00, 0x01, 0x01};
    PLC_STATUS status = PLC_STATE_RUNNNING;
    EXPECT_EQ(dev.GetPlcStatus(&status), PLCCOM_FAILED);
    EXPECT_EQ(dev.sent, std::vector<RTS_UI8>{0x10});
    dev.reply = {0x00, 0x00, 0x01};
    EXPECT_EQ(dev.GetPlcStatus(&status), 0);
    EXPECT_EQ(status, PLC_STATE_STOP);
    dev.reply = {0x00, 0x00};
    EXPECT_EQ(dev.GetPlcStatus(&status), PLCCOM_FAILED);
    dev.lSendResult = PLCCOM_COMM_FATAL;
    EXPECT_EQ(dev.GetPlcStatus(&status), PLCCOM_COMM_FATAL);
}

TEST(PLCComBase, CredentialsAreBoundedAndRestoredFromTheBackup) {
    Config cfg;
    cfg.Param("User", "operator");
    cfg.Param("Password", "configured");
    TestDevice dev(nullptr, &cfg.device, RTS_INVALID_HANDLE);

    // A login dialog's buffers need not be terminated within their size.
    const char user[4] = {'a', 'b', 'c', 'd'};
    const char password[3] = {'x', 'y', 'z'};
    EXPECT_EQ(dev.BackupDeviceCredentials(), 0);
    EXPECT_EQ(dev.SetDeviceCredentials(user, sizeof(user), password, sizeof(password)), 0);
    EXPECT_EQ(Text(dev.m_pszUser) + "/" + Text(dev.m_pszPassword), "abc/xy");
    EXPECT_EQ(dev.SetDeviceCredentials("typed", 256, password, 0), 0);
    EXPECT_EQ(Text(dev.m_pszUser) + "/" + Text(dev.m_pszPassword), "typed/");

    // Closing the channel brings the configured credentials back, once.
    EXPECT_EQ(dev.RestoreDeviceCredentialsIfBackedUp(), 0);
    EXPECT_EQ(Text(dev.m_pszUser) + "/" + Text(dev.m_pszPassword), "operator/configured");
    EXPECT_EQ(dev.SetDeviceCredentials("other", 6, nullptr, 3), 0);
    EXPECT_EQ(dev.RestoreDeviceCredentialsIfBackedUp(), 0);
    EXPECT_EQ(Text(dev.m_pszUser) + "/" + Text(dev.m_pszPassword), "other/");
}

class PLCComBaseRuntime : public devtest::RuntimeTest {};

TEST_F(PLCComBaseRuntime, LogsTheFormattedTextBehindTheControllerName) {
    Config cfg;
    cfg.config.pszName = cfg.Text("Plc%s%n%d");
    cfg.config.bLogToFile = 1;
    cfg.config.ulLogFilter = LOG_INFO | LOG_ERROR;
    TestDevice dev(&cfg.config, nullptr, m_hLogger);

    EXPECT_EQ(dev.AddLogEntry(LOG_INFO, 3, "value %d of %s", 5, "x%s"), 0);
    EXPECT_EQ(dev.AddLogEntry(LOG_DEBUG, 0, "filtered"), PLCCOM_FAILED);
    std::vector<LogEntry> entries;
    std::vector<std::string> lines = Lines(&entries);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[Plc%s%n%d]: value 5 of x%s");
    EXPECT_EQ(entries[0].iClassID, static_cast<RTS_UI32>(LOG_INFO));
    EXPECT_EQ(entries[0].iErrorID, 3);

    // Switched off, or without a valid logger: nothing is written.
    EXPECT_EQ(dev.SetLogging(0, LOG_INFO), 0);
    EXPECT_EQ(dev.AddLogEntry(LOG_INFO, 0, "off"), PLCCOM_FAILED);
    EXPECT_EQ(dev.SetLogging(1, LOG_INFO | LOG_DEBUG), 1);
    EXPECT_EQ(dev.AddLogEntry(LOG_DEBUG, 0, "on again"), 0);
    dev.SetLogger(RTS_INVALID_HANDLE);
    EXPECT_EQ(dev.AddLogEntry(LOG_INFO, 0, "invalid logger"), PLCCOM_FAILED);
    dev.SetLogger(nullptr);
    EXPECT_EQ(dev.AddLogEntry(LOG_INFO, 0, "no logger"), PLCCOM_FAILED);
    lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "[Plc%s%n%d]: on again");

    // A long name is cut to 127 characters, the whole line to the entry's 255;
    // without a name the text stands alone.
    Config longCfg;
    longCfg.config.pszName = longCfg.Text(std::string(200, 'n'));
    longCfg.config.bLogToFile = 1;
    longCfg.config.ulLogFilter = LOG_INFO;
    TestDevice longName(&longCfg.config, nullptr, m_hLogger);
    EXPECT_EQ(longName.AddLogEntry(LOG_INFO, 0, "%s", std::string(400, 'm').c_str()), 0);
    longCfg.config.pszName = nullptr;
    TestDevice anonymous(&longCfg.config, nullptr, m_hLogger);
    EXPECT_EQ(anonymous.AddLogEntry(LOG_INFO, 0, "100%% plain"), 0);
    lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "[" + std::string(127, 'n') + "]: " + std::string(255 - 131, 'm'));
    EXPECT_EQ(lines[3], "100% plain");
}

TEST_F(PLCComBaseRuntime, LoadsSymbolsOfflineFromTheLocalSymbolFile) {
    kltest::TempDir dir;
    kltest::WriteFile(dir.File("SampleApp.xml"), kltest::ReadFile(devtest::SampleFile()));

    // The symbol file folder plus the project's file name comes first.
    Config cfg;
    cfg.config.pszProjectName = cfg.Text("/nowhere/projects/SampleApp.xml");
    cfg.config.pszName = cfg.Text("Offline");
    cfg.config.bLogToFile = 1;
    cfg.config.ulLogFilter = 0xFFFFFFFFu;
    cfg.Param("SymbolFilePath", dir.Path());
    TestDevice dev(&cfg.config, &cfg.device, m_hLogger);
    ASSERT_EQ(dev.LoadSymbolsOffline(), 0);
    ASSERT_GT(dev.m_ulSymbols, 20u);
    for (RTS_UI32 i = 1; i < dev.m_ulSymbols; ++i) {
        EXPECT_LE(KestrolinkUtlStrICmp(dev.m_pSymbols[i - 1].pszName, dev.m_pSymbols[i].pszName), 0);
    }
    RTS_UI32 ulIndex = GetIndex("sampleapp.gvl.ICOUNTER", dev.m_pSymbols, dev.m_ulSymbols);
    ASSERT_LT(ulIndex, dev.m_ulSymbols);
    EXPECT_EQ(dev.m_pSymbols[ulIndex].ulTypeId, static_cast<RTS_UI32>(DATATYPE_INT));
    EXPECT_EQ(dev.m_pSymbols[ulIndex].ulSize, 2u);
    EXPECT_TRUE(Logged("[Offline]: CPLCComBase::LoadSymbolsOffline: "));
    const RTS_UI32 ulExpanded = dev.m_ulSymbols;
    PlcSymbolDesc* pFirst = dev.m_pSymbols;
    EXPECT_EQ(dev.LoadSymbolsOffline(), 0);  // loaded already
    EXPECT_EQ(dev.m_pSymbols, pFirst);
    EXPECT_EQ(dev.DeleteSymbols(), 0);
    EXPECT_EQ(dev.m_pSymbols, nullptr);
    EXPECT_EQ(dev.m_ulSymbols, 0u);

    // The project path itself, with the array expansion switched off.
    Config direct;
    direct.config.pszProjectName = direct.Text(devtest::SampleFile());
    direct.Param("DontExpandSimpleTypeArrays", 1u);
    TestDevice unexpanded(&direct.config, &direct.device, RTS_INVALID_HANDLE);
    ASSERT_EQ(unexpanded.LoadSymbolsOffline(), 0);
    EXPECT_LT(unexpanded.m_ulSymbols, ulExpanded);
    EXPECT_EQ(GetIndex("SampleApp.GVL.aiValues[0]", unexpanded.m_pSymbols, unexpanded.m_ulSymbols),
              unexpanded.m_ulSymbols);

    // An empty, a missing and a broken file give no symbols.
    kltest::WriteFile(dir.File("Empty.xml"), "");
    kltest::WriteFile(dir.File("Broken.xml"), "<Symbolconfiguration><NodeList>");
    for (const char* pszFile : {"Empty.xml", "Missing.xml", "Broken.xml"}) {
        Config c;
        c.config.pszProjectName = c.Text(dir.File(pszFile));
        TestDevice d(&c.config, nullptr, RTS_INVALID_HANDLE);
        EXPECT_NE(d.LoadSymbolsOffline(), 0) << pszFile;
        EXPECT_EQ(d.m_pSymbols, nullptr);
        EXPECT_EQ(d.m_ulSymbols, 0u);
    }
}

}  // namespace
