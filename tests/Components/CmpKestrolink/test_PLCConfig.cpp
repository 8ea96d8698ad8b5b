// Configuration records: deep copies and their release, parameter queries,
// and reading a configuration entry from an INI file.
#include <gtest/gtest.h>

#include <string>

#include "PLCConfig.h"
#include "PLCUtil.h"
#include "TestSupport.h"

namespace {
std::u16string Wide(const RTS_WCHAR* p) {
    std::u16string s;
    for (; p != nullptr && *p != 0; ++p) {
        s.push_back(static_cast<char16_t>(*p));
    }
    return s;
}

std::string Text(const char* psz) {
    return psz != nullptr ? psz : "<none>";
}

std::string ParamText(const PlcDeviceDesc& device, RTS_UI32 i) {
    const PlcParameter* p = device.ppd[i].pParameter;
    return Text(device.ppd[i].pszName) + "=" +
           (p->Type == PLC_PT_STRING ? Text(p->Value.psz) : "<not a string>");
}

// Records owned by the library, released at the end of a test.
struct OwnedRecords {
    PlcConfig config{};
    PlcDeviceDesc device{};
    ~OwnedRecords() {
        UtlDeletePlcConfig(&config);
        UtlDeletePlcDeviceDesc(&device);
    }
};

// A caller's description (literal texts) with the given string parameters.
struct CallerDevice {
    PlcParameter params[4]{};
    PlcParameterDesc descs[4]{};
    PlcDeviceDesc device{};
    CallerDevice(std::initializer_list<std::pair<const char*, const char*>> list) {
        RTS_UI32 n = 0;
        for (const auto& entry : list) {
            params[n].Type = PLC_PT_STRING;
            params[n].Value.psz = const_cast<char*>(entry.second);
            descs[n].pszName = const_cast<char*>(entry.first);
            descs[n].pParameter = &params[n];
            ++n;
        }
        device.ulNumParams = n;
        device.ppd = descs;
    }
};
}  // namespace

TEST(PLCConfig, CopiesAreDeepEmptyTextsBecomeNoneAndSelfCopyIsHarmless) {
    GatewayConnection gw{const_cast<char*>("gwdev"), const_cast<char*>(""), 1217,
                         const_cast<char*>("secret")};
    PlcConfig src{};
    UtlSetDefaultPlcConfig(&src, 4);
    src.pszName = const_cast<char*>("PLC1");
    src.pszHwType = const_cast<char*>("");
    src.pszProjectName = const_cast<char*>("proj");
    src.it = IT_GATEWAY3;
    src.ulTimeout = 1234;
    src.bMotorola = 1;
    src.gwc = &gw;

    OwnedRecords owned;
    EXPECT_EQ(UtlCopyPlcConfig(&owned.config, &src), 1);
    EXPECT_EQ(UtlCopyPlcConfig(&owned.config, &src), 1);  // replaces the first copy
    PlcConfig& dst = owned.config;
    EXPECT_NE(dst.pszName, src.pszName);
    EXPECT_EQ(Text(dst.pszName), "PLC1");
    EXPECT_EQ(dst.pszHwType, nullptr);
    EXPECT_EQ(Text(dst.pszProjectName), "proj");
    EXPECT_EQ(dst.pszDllDirectory, nullptr);
    EXPECT_EQ(dst.ulId, 4u);
    EXPECT_EQ(dst.it, IT_GATEWAY3);
    EXPECT_EQ(dst.ulTimeout, 1234u);
    EXPECT_EQ(dst.bMotorola, 1);
    EXPECT_EQ(dst.ulReconnectTime, 20000u);
    ASSERT_NE(dst.gwc, nullptr);
    EXPECT_NE(dst.gwc, &gw);
    EXPECT_EQ(Text(dst.gwc->pszDeviceName), "gwdev");
    EXPECT_EQ(dst.gwc->pszAddress, nullptr);
    EXPECT_EQ(Text(dst.gwc->pszPassword), "secret");
    EXPECT_EQ(dst.gwc->ulPort, 1217u);

    // The same record as source and destination must survive.
    EXPECT_EQ(UtlCopyPlcConfig(&dst, &dst), 1);
    EXPECT_EQ(Text(dst.pszName), "PLC1");
    EXPECT_EQ(Text(dst.gwc->pszPassword), "secret");
    EXPECT_EQ(UtlCopyPlcConfig(nullptr, &src), 0);
    EXPECT_EQ(UtlCopyPlcConfig(&dst, nullptr), 0);

    UtlDeletePlcConfig(&dst);
    EXPECT_EQ(dst.pszName, nullptr);
    EXPECT_EQ(dst.pszProjectName, nullptr);
    EXPECT_EQ(dst.gwc, nullptr);

    // Device descriptions, with every parameter type.
    RTS_WCHAR wname[] = {'D', 'e', 'v', 0};
    PlcParameter params[4]{};
    params[0].Type = PLC_PT_STRING;
    params[0].Value.psz = const_cast<char*>("127.0.0.1");
    params[1].Type = PLC_PT_WSTRING;
    params[1].Value.pwsz = wname;
    params[2].Type = PLC_PT_ULONG;
    params[2].Value.dw = 11740;
    params[3].Type = PLC_PT_STRING;
    params[3].Value.psz = const_cast<char*>("");
    PlcParameterDesc descs[5] = {{1, const_cast<char*>("IpAddress"), &params[0]},
                                 {2, const_cast<char*>("DeviceName"), &params[1]},
                                 {3, const_cast<char*>("Port"), &params[2]},
                                 {4, const_cast<char*>("Empty"), &params[3]},
                                 {5, const_cast<char*>("NoValue"), nullptr}};
    PlcDeviceDesc device{const_cast<char*>(""), const_cast<char*>("inst"), nullptr, 5, descs};
    EXPECT_EQ(UtlCopyPlcDeviceDesc(&owned.device, &device), 1);
    EXPECT_EQ(UtlCopyPlcDeviceDesc(&owned.device, &device), 1);
    PlcDeviceDesc& dev = owned.device;
    EXPECT_EQ(dev.pszName, nullptr);
    EXPECT_EQ(Text(dev.pszInstance), "inst");
    ASSERT_EQ(dev.ulNumParams, 5u);
    ASSERT_NE(dev.ppd, descs);
    EXPECT_EQ(dev.ppd[0].ulId, 1u);
    EXPECT_NE(dev.ppd[0].pParameter, &params[0]);
    EXPECT_NE(dev.ppd[0].pParameter->Value.psz, params[0].Value.psz);
    EXPECT_EQ(ParamText(dev, 0), "IpAddress=127.0.0.1");
    EXPECT_NE(dev.ppd[1].pParameter->Value.pwsz, wname);
    EXPECT_EQ(Wide(dev.ppd[1].pParameter->Value.pwsz), u"Dev");
    EXPECT_EQ(dev.ppd[2].pParameter->Value.dw, 11740u);
    EXPECT_EQ(ParamText(dev, 3), "Empty=");  // a parameter's empty value stays a value
    EXPECT_EQ(dev.ppd[4].pParameter, nullptr);

    EXPECT_EQ(UtlCopyPlcDeviceDesc(&dev, &dev), 1);
    EXPECT_EQ(ParamText(dev, 0), "IpAddress=127.0.0.1");
    UtlDeletePlcDeviceDesc(&dev);
    EXPECT_EQ(dev.ppd, nullptr);
    EXPECT_EQ(dev.ulNumParams, 0u);
    EXPECT_EQ(dev.pszInstance, nullptr);
}

TEST(PLCConfig, ParameterQueriesFollowNameAndType) {
    RTS_WCHAR wname[] = {'W', 'i', 'd', 'e', 0};
    PlcParameter params[6]{};
    params[0].Type = PLC_PT_REAL;
    params[0].Value.r = 1.5f;
    params[1].Type = PLC_PT_ULONG;
    params[1].Value.dw = 77;
    params[2].Type = PLC_PT_STRING;
    params[2].Value.psz = const_cast<char*>("2#101");
    params[3].Type = PLC_PT_STRING;
    params[3].Value.psz = const_cast<char*>("16#1388");
    params[4].Type = PLC_PT_WSTRING;
    params[4].Value.pwsz = wname;
    params[5].Type = PLC_PT_STRING;
    params[5].Value.psz = const_cast<char*>("a long text value");
    PlcParameterDesc descs[6] = {
        {0, const_cast<char*>("Mixed"), &params[0]}, {0, const_cast<char*>("Mixed"), &params[1]},
        {0, const_cast<char*>("Bits"), &params[2]},  {0, const_cast<char*>("Hex"), &params[3]},
        {0, const_cast<char*>("Name"), &params[4]},  {0, const_cast<char*>("Text"), &params[5]}};
    PlcDeviceDesc device{nullptr, nullptr, nullptr, 6, descs};

    EXPECT_EQ(UtlStructReadULong("Bits", 9, &device), 5u);
    EXPECT_EQ(UtlStructReadULong("Hex", 9, &device), 5000u);
    EXPECT_EQ(UtlStructReadULong("Mixed", 9, &device), 9u);  // the first of the name decides
    EXPECT_EQ(UtlStructReadULong("Name", 9, &device), 9u);
    EXPECT_EQ(UtlStructReadULong("bits", 9, &device), 9u);  // names are case-sensitive
    EXPECT_EQ(UtlStructReadULong(nullptr, 9, &device), 9u);
    EXPECT_EQ(UtlStructReadULong("Bits", 9, nullptr), 9u);

    char buf[8];
    EXPECT_EQ(UtlStructReadString("Mixed", "d", buf, sizeof(buf), &device), 1);  // REAL skipped
    EXPECT_STREQ(buf, "77");
    EXPECT_EQ(UtlStructReadString("Name", "d", buf, sizeof(buf), &device), 1);
    EXPECT_STREQ(buf, "Wide");
    EXPECT_EQ(UtlStructReadString("Text", "d", buf, sizeof(buf), &device), 1);
    EXPECT_STREQ(buf, "a long ");
    EXPECT_EQ(UtlStructReadString("None", "default text", buf, sizeof(buf), &device), 0);
    EXPECT_STREQ(buf, "default");
    buf[0] = 'q';
    EXPECT_EQ(UtlStructReadString("Text", "d", buf, 0, &device), 1);
    EXPECT_EQ(UtlStructReadString("None", "d", buf, 0, &device), 0);
    EXPECT_EQ(buf[0], 'q');

    RTS_WCHAR wbuf[8];
    const RTS_WCHAR wdefault[] = {'x', 0};
    EXPECT_EQ(UtlStructReadWString("Text", wdefault, wbuf, 4, &device), 1);
    EXPECT_EQ(Wide(wbuf), u"a l");
    EXPECT_EQ(UtlStructReadWString("Mixed", wdefault, wbuf, 8, &device), 1);
    EXPECT_EQ(Wide(wbuf), u"77");
    EXPECT_EQ(UtlStructReadWString("None", wdefault, wbuf, 8, &device), 0);
    EXPECT_EQ(Wide(wbuf), u"x");

    // Removal releases every parameter of the name and keeps the others in order.
    OwnedRecords owned;
    CallerDevice caller({{"A", "1"}, {"B", "2"}, {"A", "3"}, {"C", "4"}});
    ASSERT_EQ(UtlCopyPlcDeviceDesc(&owned.device, &caller.device), 1);
    EXPECT_EQ(UtlStructRemoveParameter("A", &owned.device), 2);
    ASSERT_EQ(owned.device.ulNumParams, 2u);
    EXPECT_EQ(ParamText(owned.device, 0), "B=2");
    EXPECT_EQ(ParamText(owned.device, 1), "C=4");
    EXPECT_EQ(UtlStructRemoveParameter("A", &owned.device), 0);
    EXPECT_EQ(UtlStructRemoveParameter("B", &owned.device), 1);
    EXPECT_EQ(UtlStructRemoveParameter("C", &owned.device), 1);
    EXPECT_EQ(owned.device.ulNumParams, 0u);
    EXPECT_EQ(owned.device.ppd, nullptr);
}

namespace {
const char* const kConfigFile =
    "[Server]\n"
    "PLCs=3\n"
    "PLC0=Line1\n"
    "PLC1=Line2\n"
    "PLC2=Gw\n"
    "[PLC:Line1]\n"
    "interfacetype=ARTI3\n"
    "timeout=16#1388\n"
    "waittime=5\n"
    "nologin=1\n"
    "tries = 7\n"
    "parameters=2\n"
    "parameter0=IpAddress\n"
    "value0=127.0.0.1\n"
    "parameter1=Port\n"
    "\n"
    "[PLC:Line2]\n"
    "interfacetype=GATEWAY3\n"
    "project=\n"
    "dlldirectory=/opt/kl\n"
    "logfilter=16#FF\n"
    "logevents=1\n"
    "active=0\n"
    "motorola=1\n"
    "precheckidentity=1\n"
    "buffersize=4096\n"
    "max4version=2\n"
    "reconnecttime=4294967295\n"
    "waittime=5000000\n"
    "gateway=gwdevice\n"
    "gatewayaddress=localhost\n"
    "device=Malvora V3\n"
    "instance=inst1\n"
    "parameters=3\n"
    "parameter0=DeviceName\n"
    "value0=Dev\xC3\xA9\n"
    "parameter1=__This__is__NOT__a__valid__PaRaMeTeR__\n"
    "value1=x\n"
    "parameter2=Password\n"
    "value2=\n"
    "[PLC:Gw]\n"
    "interfacetype=GATEWAY\n"
    "gatewaypassword=pw\n";
}  // namespace

TEST(PLCConfig, IniEntryGivesTheFileValuesOverDefaults) {
    kltest::TempDir dir;
    std::string file = dir.File("plc.ini");
    kltest::WriteFile(file, kConfigFile);

    // The current records are discarded: nothing of them may survive.
    OwnedRecords owned;
    PlcConfig old{};
    UtlSetDefaultPlcConfig(&old, 0);
    old.pszProjectName = const_cast<char*>("oldproject");
    old.ulTimeout = 1;
    ASSERT_EQ(UtlCopyPlcConfig(&owned.config, &old), 1);
    CallerDevice caller({{"User", "u"}});
    ASSERT_EQ(UtlCopyPlcDeviceDesc(&owned.device, &caller.device), 1);

    ASSERT_EQ(UtlSetConfigFromIniFile(file.c_str(), &owned.config, &owned.device), 0);
    const PlcConfig& c = owned.config;
    EXPECT_EQ(Text(c.pszName), "Line1");
    EXPECT_EQ(c.it, IT_ARTI3);
    EXPECT_EQ(c.ulTimeout, 5000u);
    EXPECT_EQ(c.ulWaitTime, 5000u);
    EXPECT_EQ(c.ulReconnectTime, 20000u);
    EXPECT_EQ(c.bLogin, 0);
    EXPECT_EQ(c.ulNumTries, 3u);  // "tries = 7" is not the key's line
    EXPECT_EQ(c.pszProjectName, nullptr);
    EXPECT_EQ(c.bActive, 1);
    EXPECT_EQ(c.bLogToFile, 0);
    EXPECT_EQ(c.ulLogFilter, 15u);
    EXPECT_EQ(c.gwc, nullptr);
    ASSERT_EQ(owned.device.ulNumParams, 1u);  // Port has no value
    EXPECT_EQ(ParamText(owned.device, 0), "IpAddress=127.0.0.1");
    EXPECT_EQ(owned.device.ppd[0].ulId, 0u);

    owned.config.ulId = 1;
    ASSERT_EQ(UtlSetConfigFromIniFile(file.c_str(), &owned.config, &owned.device), 0);
    EXPECT_EQ(Text(c.pszName), "Line2");
    EXPECT_EQ(c.it, IT_GATEWAY3);
    EXPECT_EQ(c.pszProjectName, nullptr);
    EXPECT_EQ(Text(c.pszDllDirectory), "/opt/kl");
    EXPECT_EQ(c.ulLogFilter, 0xFFu);
    EXPECT_EQ(c.bLogToFile, 1);
    EXPECT_EQ(c.bActive, 0);
    EXPECT_EQ(c.bMotorola, 1);
    EXPECT_EQ(c.bPreCheckIdentity, 1);
    EXPECT_EQ(c.ulBufferSize, 4096u);
    EXPECT_EQ(c.ulHwVersion, 2u);
    EXPECT_EQ(Text(c.pszHwType), "ElauMaX4");
    EXPECT_EQ(c.ulReconnectTime, 0xFFFFFFFFu);  // "no reconnect" is not scaled
    EXPECT_EQ(c.ulWaitTime, 0xFFFFFFFEu);       // too many seconds saturate instead of wrapping
    ASSERT_NE(c.gwc, nullptr);
    EXPECT_EQ(Text(c.gwc->pszDeviceName), "gwdevice");
    EXPECT_EQ(Text(c.gwc->pszAddress), "localhost");
    EXPECT_EQ(c.gwc->pszPassword, nullptr);
    EXPECT_EQ(c.gwc->ulPort, 1217u);
    EXPECT_EQ(Text(owned.device.pszName), "Malvora V3");
    EXPECT_EQ(Text(owned.device.pszInstance), "inst1");
    ASSERT_EQ(owned.device.ulNumParams, 2u);
    ASSERT_EQ(owned.device.ppd[0].pParameter->Type, PLC_PT_WSTRING);
    EXPECT_EQ(Wide(owned.device.ppd[0].pParameter->Value.pwsz), u"Dev\u00E9");
    EXPECT_EQ(ParamText(owned.device, 1), "Password=");

    owned.config.ulId = 2;
    ASSERT_EQ(UtlSetConfigFromIniFile(file.c_str(), &owned.config, &owned.device), 0);
    EXPECT_EQ(c.it, IT_GATEWAY);
    ASSERT_NE(c.gwc, nullptr);
    EXPECT_EQ(Text(c.gwc->pszPassword), "pw");
    EXPECT_EQ(c.gwc->ulPort, 1210u);
    EXPECT_EQ(c.pszHwType, nullptr);
    EXPECT_EQ(owned.device.ulNumParams, 0u);

    // A missing entry fails and leaves default records.
    owned.config.ulId = 3;
    EXPECT_EQ(UtlSetConfigFromIniFile(file.c_str(), &owned.config, &owned.device), -1);
    EXPECT_EQ(c.ulId, 3u);
    EXPECT_EQ(c.pszName, nullptr);
    EXPECT_EQ(c.gwc, nullptr);
    EXPECT_EQ(c.ulTimeout, 10000u);
    EXPECT_EQ(UtlSetConfigFromIniFile(dir.File("missing.ini").c_str(), &owned.config, &owned.device), -1);

    kltest::WriteFile(file, "[Server]\nPLC0=X\n[PLC:X]\ninterfacetype=arti3\n");
    owned.config.ulId = 0;
    ASSERT_EQ(UtlSetConfigFromIniFile(file.c_str(), &owned.config, &owned.device), 0);
    EXPECT_EQ(c.it, IT_INVALID);
    EXPECT_EQ(UtlItfTypeFromText("SIMULATION3"), IT_SIMULATION3);
    EXPECT_EQ(UtlItfTypeFromText("DIRECT"), IT_DIRECT);
}

TEST(PLCConfig, IniEntryOverloadsTheRecordsWhenTheDescriptionAllowsIt) {
    kltest::TempDir dir;
    std::string file = dir.File("plc.ini");
    kltest::WriteFile(file,
                      "[Server]\nPLC0=Line1\n[PLC:Line1]\n"
                      "gatewayaddress=localhost\n"
                      "parameters=3\n"
                      "parameter0=IpAddress\nvalue0=new\n"
                      "parameter1=Password\nvalue1=p\n"
                      "parameter2=User\n");

    OwnedRecords owned;
    PlcConfig current{};
    UtlSetDefaultPlcConfig(&current, 0);
    GatewayConnection gw{nullptr, nullptr, 4000, nullptr};
    current.gwc = &gw;
    current.ulTimeout = 3000;
    current.ulReconnectTime = 7000;
    current.bLogin = 0;
    ASSERT_EQ(UtlCopyPlcConfig(&owned.config, &current), 1);
    CallerDevice caller({{"IpAddress", "old"}, {"ConfigIsOverloadable", "1"}, {"User", "u"}, {"Keep", "k"}});
    ASSERT_EQ(UtlCopyPlcDeviceDesc(&owned.device, &caller.device), 1);

    ASSERT_EQ(UtlSetConfigFromIniFile(file.c_str(), &owned.config, &owned.device), 0);
    EXPECT_EQ(owned.config.ulTimeout, 3000u);
    EXPECT_EQ(owned.config.ulReconnectTime, 7000u);
    EXPECT_EQ(owned.config.bLogin, 0);
    ASSERT_NE(owned.config.gwc, nullptr);
    EXPECT_EQ(owned.config.gwc->ulPort, 4000u);
    EXPECT_EQ(Text(owned.config.gwc->pszAddress), "localhost");
    // Read parameters first, then the kept ones; "User" named without a value
    // is removed, and the overload marker itself is gone.
    ASSERT_EQ(owned.device.ulNumParams, 3u);
    EXPECT_EQ(ParamText(owned.device, 0), "IpAddress=new");
    EXPECT_EQ(ParamText(owned.device, 1), "Password=p");
    EXPECT_EQ(ParamText(owned.device, 2), "Keep=k");
}

TEST(PLCConfig, CountsFromTheFileAreBoundedByItsLines) {
    kltest::TempDir dir;
    std::string file = dir.File("plc.ini");
    kltest::WriteFile(file,
                      "[Server]\nPLCs=2147483647\nPLC7=Far\nPLC0=Line1\nPLC007=Padded\n"
                      "[PLC:Line1]\nparameters=2147483647\n"
                      "parameter100000=B\nvalue100000=2\n"
                      "parameter0=A\nvalue0=1\n"
                      "parameter01=Padded\nvalue01=3\n"
                      "parameter2147483647=Beyond\nvalue2147483647=4\n");
    OwnedRecords owned;
    ASSERT_EQ(UtlSetConfigFromIniFile(file.c_str(), &owned.config, &owned.device), 0);
    ASSERT_EQ(owned.device.ulNumParams, 2u);
    EXPECT_EQ(ParamText(owned.device, 0), "A=1");
    EXPECT_EQ(ParamText(owned.device, 1), "B=2");

    EXPECT_EQ(GetPlcIdbyName("Far", file.c_str()), 7);
    EXPECT_EQ(GetPlcIdbyName("Line1", file.c_str()), 0);
    EXPECT_EQ(GetPlcIdbyName("Padded", file.c_str()), -1);
}

TEST(PLCConfig, EntryNumberByNameAndNoSaving) {
    kltest::TempDir dir;
    std::string file = dir.File("plc.ini");
    kltest::WriteFile(file, kConfigFile);
    EXPECT_EQ(GetPlcIdbyName("Line2", file.c_str()), 1);
    EXPECT_EQ(GetPlcIdbyName("Gw", file.c_str()), 2);
    EXPECT_EQ(GetPlcIdbyName("line2", file.c_str()), -1);
    EXPECT_EQ(GetPlcIdbyName("Nope", file.c_str()), -1);
    EXPECT_EQ(GetPlcIdbyName(nullptr, file.c_str()), -1);
    EXPECT_EQ(GetPlcIdbyName("Line2", nullptr), -1);
    kltest::WriteFile(file, "[Server]\nPLCs=1\nPLC0=Line1\nPLC1=Line2\n");
    EXPECT_EQ(GetPlcIdbyName("Line2", file.c_str()), -1);  // beyond the count

    std::string target = dir.File("saved.ini");
    EXPECT_EQ(UtlSaveConfigInFile(target.c_str()), -1);
    EXPECT_FALSE(kltest::FileExists(target));
}
