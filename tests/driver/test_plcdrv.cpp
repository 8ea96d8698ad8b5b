// The panel driver through its records: command dispatch, "Init" and the
// connection configuration it leads to, the refused inputs, the register
// handlers' conversions and the utility entry points.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "plc_driver.h"

extern "C" size_t KlCLayout(size_t* pOut, size_t n);
extern "C" int KlCDriverInfo(PLC_DRV_INFO* pInfo);

using namespace plc_driver;

namespace {
ComAttr TcpAttr(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t portHigh, uint8_t portLow) {
    ComAttr attr{};
    attr._hardware = PLC_HARDWARE_ETHERNET;
    const uint8_t ip[4] = {a, b, c, d};
    std::memcpy(&attr._baud, ip, sizeof(ip));
    attr._checkBits = portHigh;
    attr._datBits = portLow;
    attr._no = 4096;
    attr._plcDrvNo = 315;
    attr._protocalTimeout1 = 111;
    attr._protocalTimeout2 = 222;
    return attr;
}

std::string Param(const PlcDeviceDescStruct& device, const char* pszName) {
    for (uint32_t i = 0; i < device.ulNumParams; ++i) {
        if (std::strcmp(device.ppd[i].pszName, pszName) == 0) {
            EXPECT_EQ(device.ppd[i].pParameter->Type, PLC_PT_STRING);
            EXPECT_EQ(device.ppd[i].ulId, 0u);
            return device.ppd[i].pParameter->Value.psz;
        }
    }
    return "<missing>";
}
}  // namespace

TEST(PlcDrv, CommandNamesAreExactAndUnknownOnesDoNothing) {
    ComAttr attr = TcpAttr(10, 0, 0, 9, 0x2D, 0xDC);
    PlcDrv* drv = nullptr;
    std::string before = malvora_plc_ip;
    for (const char* cmd : {"init", "INIT", "Init ", "", "Read", "destroy", "info"}) {
        EXPECT_EQ(PlcDrvCmd(cmd, &drv, &attr), PLC_INV_CMD) << cmd;
    }
    EXPECT_EQ(PlcDrvCmd(nullptr, &drv, &attr), PLC_INV_CMD);
    EXPECT_EQ(drv, nullptr);
    EXPECT_EQ(malvora_plc_ip, before);
    EXPECT_EQ(PlcDrvCmd("Loop", nullptr, nullptr), PLC_OK);
}

TEST(PlcDrv, InitRecordsAddressAndPortAndTheConnectionConfigurationUsesThem) {
    ComAttr attr = TcpAttr(192, 168, 1, 88, 0x2D, 0xDC);
    PlcDrv* drv = nullptr;
    ASSERT_EQ(PlcDrvCmd("Init", &drv, &attr), PLC_OK);
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(malvora_plc_ip, "192.168.1.88");
    EXPECT_EQ(PORT, 11740);
    EXPECT_EQ(global_structure._no, 4096);
    EXPECT_EQ(_no_plc, 4096);
    EXPECT_EQ(attr._protocalTimeout1, 111u);
    EXPECT_EQ(attr._protocalTimeout2, 222u);
    EXPECT_EQ(init, 0);  // no connection is made before the first read
    EXPECT_EQ(ulKestrolink, 0u);

    PlcConfigStruct config;
    PlcDeviceDescStruct device;
    ASSERT_TRUE(DefineStartupsInStruct(&config, &device));
    EXPECT_STREQ(config.pszName, "PLC_Inst0");
    EXPECT_EQ(config.ulId, 0u);
    EXPECT_EQ(config.it, IT_ARTI3);
    EXPECT_EQ(config.bActive, 1);
    EXPECT_EQ(config.bMotorola, 0);
    EXPECT_EQ(config.bLogin, 1);
    EXPECT_EQ(config.bLogToFile, 1);
    EXPECT_EQ(config.bPreCheckIdentity, 1);
    EXPECT_EQ(config.ulTimeout, 5000u);
    EXPECT_EQ(config.ulNumTries, 3u);
    EXPECT_EQ(config.ulWaitTime, 5000u);
    EXPECT_EQ(config.ulReconnectTime, 5000u);
    EXPECT_EQ(config.pszHwType, nullptr);
    EXPECT_EQ(config.pszProjectName, nullptr);
    EXPECT_EQ(config.pszDllDirectory, nullptr);
    EXPECT_EQ(config.gwc, nullptr);
    EXPECT_EQ(config.ulLogFilter, 255u);
    EXPECT_STREQ(device.pszName, "");
    EXPECT_EQ(device.pszInstance, nullptr);
    EXPECT_EQ(device.pszProject, nullptr);
    ASSERT_EQ(device.ulNumParams, 3u);
    EXPECT_EQ(Param(device, "IpAddress"), "192.168.1.88");
    EXPECT_EQ(Param(device, "Port"), "11740");
    EXPECT_EQ(Param(device, "DontLoadSymbolsFromPlc"), "1");

    // A second start records one address, not two joined.
    attr = TcpAttr(127, 0, 0, 1, 0xC3, 0x50);
    ASSERT_EQ(PlcDrvCmd("Init", &drv, &attr), PLC_OK);
    EXPECT_STREQ(malvora_plc_ip, "127.0.0.1");
    ASSERT_TRUE(DefineStartupsInStruct(&config, &device));
    EXPECT_EQ(Param(device, "IpAddress"), "127.0.0.1");
    EXPECT_EQ(Param(device, "Port"), "50000");

    PLC_TCP_INIT_PARAMETERS tcp{};
    tcp.ipaddr = static_cast<int32_t>(0xFFFFFFFEu);
    tcp.port = 65535;
    EXPECT_EQ(ev_plc_init(&tcp, nullptr, 1), 0);
    EXPECT_EQ(ev_plc_init(&tcp, nullptr, 1), 0);
    EXPECT_STREQ(malvora_plc_ip, "255.255.255.254");
    EXPECT_EQ(_no_plc, 1);
    ASSERT_TRUE(DefineStartupsInStruct(&config, &device));
    EXPECT_EQ(Param(device, "Port"), "65535");

    EXPECT_EQ(ev_plc_init(nullptr, nullptr, 1), 1);
    EXPECT_FALSE(DefineStartupsInStruct(nullptr, &device));
    EXPECT_FALSE(DefineStartupsInStruct(&config, nullptr));
}

TEST(PlcDrv, InitOnOtherHardwareIsRefusedAndWritesNothingBack) {
    ComAttr attr = TcpAttr(10, 1, 2, 3, 0, 80);
    PlcDrv* initial = nullptr;
    ASSERT_EQ(PlcDrvCmd("Init", &initial, &attr), PLC_OK);
    std::string address = malvora_plc_ip;

    for (uint8_t hardware : {0, 1, 3, 255}) {
        ComAttr other = TcpAttr(10, 9, 9, 9, 1, 2);
        other._hardware = hardware;
        other._protocalTimeout1 = 0xDEAD;
        ComAttr before = other;
        PlcDrv* drv = reinterpret_cast<PlcDrv*>(&before);  // any value that must stay
        EXPECT_EQ(PlcDrvCmd("Init", &drv, &other), PLC_INV_PRM);
        EXPECT_EQ(std::memcmp(&other, &before, sizeof(ComAttr)), 0);
        EXPECT_EQ(drv, reinterpret_cast<PlcDrv*>(&before));
        EXPECT_EQ(malvora_plc_ip, address);
    }
    PlcDrv* drv = nullptr;
    EXPECT_EQ(PlcDrvCmd("Init", nullptr, &attr), PLC_INV_PRM);
    EXPECT_EQ(PlcDrvCmd("Init", &drv, nullptr), PLC_INV_PRM);
    EXPECT_EQ(drv, nullptr);
}

TEST(PlcDrv, DestroyClosesNothingItDidNotOpen) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    PlcDrv drv{fds[0]};
    EXPECT_EQ(PlcDrvCmd("Destroy", &drv, nullptr), PLC_OK);
    EXPECT_NE(fcntl(fds[0], F_GETFD), -1);

    // The same descriptor serves ev_time_set: time-out, then readable; a
    // negative time must not wait for ever.
    EXPECT_EQ(ev_time_set(fds[0], 10), 0);
    EXPECT_EQ(ev_time_set(fds[0], -1), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_GT(ev_time_set(fds[0], 1000), 0);
    EXPECT_EQ(ev_time_set(fds[1] + 1000, 0), -1);
    EXPECT_EQ(ev_time_set(-1, 0), -1);
    close(fds[0]);
    close(fds[1]);
}

TEST(PlcDrv, RegisterHandlersConvertTheItemsAndRefuseBadGroups) {
    ComAttr attr = TcpAttr(127, 0, 0, 1, 0x2D, 0xDC);
    PlcDrv* drv = nullptr;
    ASSERT_EQ(PlcDrvCmd("Init", &drv, &attr), PLC_OK);

    uint8_t data[16] = {};
    RegAttr reg{};
    reg._flag = (5u << 11) | 0x80000000u;
    reg._regType = 0x12;  // only the low four bits count
    reg._width = 2;
    RegItm item{&reg, 4, data};
    UserOper user{};
    void* one[3] = {&item, &attr, &user};
    int ret = PlcDrvCmd("RdOne", drv, one);
    EXPECT_NE(ret, PLC_INV_PRM);
    EXPECT_NE(ret, PLC_OK);  // nothing can be read without a tag table
    EXPECT_EQ(IndexPosition[0], 5);
    EXPECT_EQ(attr._protocalTimeout1, 111u);

    RegItm noReg{nullptr, 0, data};
    RegItm noBuf{&reg, 0, nullptr};
    void* bad1[3] = {&noReg, &attr, &user};
    void* bad2[3] = {&noBuf, &attr, &user};
    void* bad3[3] = {&item, nullptr, &user};
    for (const char* cmd : {"RdOne", "WrOne"}) {
        EXPECT_EQ(PlcDrvCmd(cmd, drv, bad1), PLC_INV_PRM) << cmd;
        EXPECT_EQ(PlcDrvCmd(cmd, drv, bad2), PLC_INV_PRM) << cmd;
        EXPECT_EQ(PlcDrvCmd(cmd, drv, bad3), PLC_INV_PRM) << cmd;
        EXPECT_EQ(PlcDrvCmd(cmd, drv, nullptr), PLC_INV_PRM) << cmd;
        EXPECT_EQ(PlcDrvCmd(cmd, nullptr, one), PLC_INV_PRM) << cmd;
    }

    // Groups outside 1..1024 never reach the item arrays.
    std::vector<RegAttr> regs(PLC_MAX_GROUP_ITEMS + 1, reg);
    std::vector<RegItm> items(PLC_MAX_GROUP_ITEMS + 1);
    for (size_t i = 0; i < items.size(); ++i) {
        regs[i]._flag = static_cast<uint32_t>((i % 16) << 11);
        items[i] = RegItm{&regs[i], 4, data};
    }
    int count = 0;
    void* group[4] = {items.data(), &count, &attr, &user};
    IndexPosition[0] = 0xABCD;
    for (int bad : {0, -1, PLC_MAX_GROUP_ITEMS + 1, INT_MAX, INT_MIN}) {
        count = bad;
        EXPECT_EQ(PlcDrvCmd("RdGrp", drv, group), PLC_INV_PRM) << bad;
    }
    count = 3;
    items[2]._reg = nullptr;
    EXPECT_EQ(PlcDrvCmd("RdGrp", drv, group), PLC_INV_PRM);
    EXPECT_EQ(IndexPosition[0], 0xABCD);
    items[2]._reg = &regs[2];
    count = PLC_MAX_GROUP_ITEMS;
    EXPECT_NE(PlcDrvCmd("RdGrp", drv, group), PLC_INV_PRM);
    EXPECT_EQ(IndexPosition[0], 0);
    EXPECT_EQ(IndexPosition[PLC_MAX_GROUP_ITEMS - 1], 15);

    // A bit write packs the panel's one byte per bit in place before writing.
    uint8_t bits[9] = {1, 0, 1, 1, 0, 0, 0, 0, 1};
    RegAttr bitReg{};
    bitReg._width = 9;
    RegItm bitItem{&bitReg, 9, bits};
    void* write[3] = {&bitItem, &attr, &user};
    EXPECT_NE(PlcDrvCmd("WrOne", drv, write), PLC_INV_PRM);
    EXPECT_EQ(bits[0], 0x0D);
    EXPECT_EQ(bits[1], 0x01);
}

TEST(PlcDrv, BitBuffersExpandAndPackInPlace) {
    uint8_t data[12] = {0xA5, 0x02, 0x77};
    PLC_DRV_BUFF buff{10, data};
    Bit2Byte(&buff);
    const uint8_t expanded[10] = {1, 0, 1, 0, 0, 1, 0, 1, 0, 1};
    EXPECT_EQ(std::memcmp(data, expanded, sizeof(expanded)), 0);
    EXPECT_EQ(data[10], 0);  // nothing beyond the length
    Byte2Bit(&buff, data);
    EXPECT_EQ(data[0], 0xA5);
    EXPECT_EQ(data[1] & 0x03, 0x02);

    PLC_DRV_BUFF empty{0, data};
    data[0] = 0x5A;
    Bit2Byte(&empty);
    Byte2Bit(&empty, data);
    EXPECT_EQ(data[0], 0x5A);
}

TEST(PlcDrv, InfoKeepsTheProjectDirectoryBoundedAndAlwaysSucceeds) {
    kltest::TempDir dir;
    int paras = 2;
    void* args[2] = {&paras, const_cast<char*>(dir.Path().c_str())};
    EXPECT_EQ(PlcDrvCmd("Info", nullptr, args), PLC_OK);
    EXPECT_EQ(std::string(global_structure.PlcDir), dir.Path());
    EXPECT_EQ(tag_init_flag, 3);  // no tag file there

    std::string longDir = dir.Path() + "/" + std::string(300, 'd');
    args[1] = const_cast<char*>(longDir.c_str());
    EXPECT_EQ(PlcDrvCmd("Info", nullptr, args), PLC_OK);
    EXPECT_EQ(std::string(global_structure.PlcDir), longDir.substr(0, 255));

    void* noDir[2] = {&paras, nullptr};
    EXPECT_EQ(PlcDrvCmd("Info", nullptr, noDir), PLC_INV_PRM);
    EXPECT_EQ(PlcDrvCmd("Info", nullptr, nullptr), PLC_INV_PRM);
}

TEST(PlcDrv, DriverInfoCredentialsAndTheCView) {
    PLC_DRV_INFO info{0, 0};
    EXPECT_EQ(ev_plc_driver_info(&info), 0);
    EXPECT_EQ(info.driver_no, 315);
    EXPECT_EQ(info.version, 1);
    EXPECT_EQ(ev_plc_driver_info(nullptr), 1);
    info = PLC_DRV_INFO{0, 0};
    EXPECT_EQ(KlCDriverInfo(&info), 0);
    EXPECT_EQ(info.driver_no, 315);

    // Without credentials the SDK must be told so, and the buffers stay as they were.
    for (int type : {0, 1, 2, 9}) {
        char user[8] = "keep";
        char password[8] = "keep";
        EXPECT_EQ(RequestCredentialsCallback(0, static_cast<RequestCredentialsType>(type), user, sizeof(user),
                                             password, sizeof(password), nullptr),
                  58);
        EXPECT_STREQ(user, "keep");
        EXPECT_STREQ(password, "keep");
    }

    const size_t cxx[] = {sizeof(PlcConfigStruct),
                          offsetof(PlcConfigStruct, ulLogFilter),
                          sizeof(GatewayConnectionStruct),
                          sizeof(PlcParameterStruct),
                          offsetof(PlcParameterStruct, Value),
                          sizeof(PlcParameterDescStruct),
                          sizeof(PlcDeviceDescStruct),
                          sizeof(ComAttr),
                          offsetof(ComAttr, _tcpPort),
                          sizeof(RegAttr),
                          sizeof(RegItm),
                          sizeof(UserOper),
                          sizeof(PLC_TCP_INIT_PARAMETERS),
                          sizeof(PLC_DRV_INIT_SETTINGS),
                          sizeof(PLC_DRV_REG_ADDR),
                          sizeof(PLC_DRV_BUFF)};
    size_t c[sizeof(cxx) / sizeof(cxx[0])] = {};
    ASSERT_EQ(KlCLayout(c, sizeof(c) / sizeof(c[0])), sizeof(c) / sizeof(c[0]));
    for (size_t i = 0; i < sizeof(c) / sizeof(c[0]); ++i) {
        EXPECT_EQ(c[i], cxx[i]) << "entry " << i;
    }

    PLC_SERIAL_INIT_PARAMETERS serial;
    ComAttr attr = TcpAttr(0, 0, 0, 0, 0, 0);
    attr._no = 65535;
    set_serial_settings(&serial, &attr);
    EXPECT_STREQ(serial.com_device, "/dev/ttyS65535");
}
