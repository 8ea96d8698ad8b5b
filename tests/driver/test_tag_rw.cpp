// Reads and writes of panel registers through the C interface, on the V3
// simulation device serving the sample application: the read connects first,
// values arrive in the panel's layouts, multi-element items are split, and a
// string register is written into the controller's text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "CmpKestrolinkMain.h"
#include "DriverTestSupport.h"
#include "plc_driver.h"
#include "tag_rw.h"
#include "tag_table.h"

using namespace plc_driver;

namespace {
std::string s_ini;

int ConnectSimulation(PLC_DRV_INIT_SETTINGS*) {
    ulKestrolink = KestrolinkInitByFile(0, s_ini.c_str(), nullptr);
    if (ulKestrolink == 0) {
        return -1;
    }
    KestrolinkSetFinalShutDown(ulKestrolink);
    if (KestrolinkConnect(ulKestrolink, 0xFFFFFFFFu, nullptr, 1) != RESULT_OK) {
        return -1;
    }
    init = 1;
    return 0;
}

int NoController(PLC_DRV_INIT_SETTINGS*) {
    return -1;
}

PLC_DRV_REG_ADDR Reg(uint32_t position, uint8_t regType, uint32_t addr) {
    PLC_DRV_REG_ADDR reg{};
    reg.reg_id = static_cast<uint16_t>(position & 0xFFFF);
    reg.sub_reg_id = static_cast<uint16_t>(position >> 16);
    reg.reg_type = regType;
    reg.reg_addr = addr;
    return reg;
}

void WriteVar(const char* name, const void* data, uint32_t size) {
    char* names[1] = {const_cast<char*>(name)};
    uint8_t* values[1] = {static_cast<uint8_t*>(const_cast<void*>(data))};
    uint32_t sizes[1] = {size};
    ASSERT_EQ(KestrolinkSyncWriteVarsToPlc2(ulKestrolink, names, 1, values, sizes), RESULT_OK) << name;
}
}  // namespace

TEST(TagReadWrite, RegistersReadAndWriteTheSimulatedController) {
    kltest::TempDir project;
    char szCwd[4096];
    ASSERT_NE(getcwd(szCwd, sizeof(szCwd)), nullptr);
    ASSERT_EQ(chdir(project.Path().c_str()), 0);
    s_ini = project.File("plcs.ini");
    kltest::WriteFile(
        s_ini, std::string("[Server]\nPLCs=1\nPLC0=Sim\n[PLC:Sim]\ninterfacetype=SIMULATION3\nproject=") +
                   KL_SOURCE_DIR + "/examples/symbols/SampleApp.xml\nreconnecttime=1000\n");
    ASSERT_EQ(drvtest::LoadTags(project,
                                "1,SampleApp.GVL.siTemperature,SINT,0,0,0\r\n"
                                "2,SampleApp.GVL.sMessage,STRING,0,0,81\r\n"
                                "3,SampleApp.GVL.aiValues,INT,1,0,9\r\n"
                                "4,SampleApp.GVL.iCounter,INT,0,0,0\r\n"
                                "5,SampleApp.GVL.diPosition,DINT,0,0,0\r\n"),
              0);
    std::memset(IndexPosition, 0, sizeof(IndexPosition));
    PLC_DRV_INIT_SETTINGS settings{};

    // Not connected: a failed connect gives 2 after the pause, the next one connects.
    closehandel(&settings);
    init = 0;
    drvtest::TakePausedMs();
    uint8_t out[64] = {};
    PLC_DRV_REG_ADDR reg = Reg(4, 2, 0);
    PLC_DRV_BUFF buff{1, out};
    EXPECT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), PLC_ERROR);
    EXPECT_EQ(drvtest::TakePausedMs(), 1000u);
    SetDriverConnect(ConnectSimulation);
    int16_t counter = 1234;
    reg = Reg(4, 2, 0);
    EXPECT_EQ(ev_plc_write(&reg, &buff, &settings, nullptr), PLC_ERROR);  // writes never connect
    ASSERT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), PLC_OK);
    ASSERT_NE(ulKestrolink, 0u);
    EXPECT_EQ(init, 1);

    // A 16-bit register written and read back.
    std::memcpy(out, &counter, 2);
    EXPECT_EQ(ev_plc_write(&reg, &buff, &settings, nullptr), PLC_OK);
    std::memset(out, 0, sizeof(out));
    ASSERT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), PLC_OK);
    EXPECT_EQ(std::memcmp(out, &counter, 2), 0);

    // SINT -2 as a register: sign extended.
    const int8_t minusTwo = -2;
    WriteVar("SampleApp.GVL.siTemperature", &minusTwo, 1);
    reg = Reg(1, 2, 0);
    std::memset(out, 0, sizeof(out));
    ASSERT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), PLC_OK);
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(out[1], 0xFF);

    // A string from character 2, then one register written at offset 4.
    char text[81] = "ABCDEF";
    WriteVar("SampleApp.GVL.sMessage", text, sizeof(text));
    reg = Reg(2, 2, 2);
    buff.length = 10;
    std::memset(out, 0xAA, sizeof(out));
    ASSERT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), PLC_OK);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "CDEF");
    std::memcpy(out, "xy", 2);
    reg = Reg(2, 2, 4);
    buff.length = 1;
    EXPECT_EQ(ev_plc_write(&reg, &buff, &settings, nullptr), PLC_OK);
    reg = Reg(2, 2, 0);
    buff.length = 20;
    std::memset(out, 0, sizeof(out));
    ASSERT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), PLC_OK);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "ABCDxy");
    reg = Reg(2, 2, 80);  // two bytes at 80 do not fit the 81 bytes of the string
    EXPECT_EQ(ev_plc_write(&reg, &buff, &settings, nullptr), 3);

    // A group: an INT array item of 3 elements at 5 (split read), and a DINT.
    int16_t values[10] = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90};
    WriteVar("SampleApp.GVL.aiValues", values, sizeof(values));
    int32_t position = -123456;
    WriteVar("SampleApp.GVL.diPosition", &position, 4);
    PLC_DRV_REG_ADDR group[2] = {Reg(3, 2, 5), Reg(5, 4, 0)};
    uint8_t arr[6] = {};
    uint8_t dint[4] = {};
    PLC_DRV_BUFF groupBuff[2] = {{3, arr}, {1, dint}};
    ASSERT_EQ(ev_plc_read_new(group, groupBuff, &settings, 2, nullptr), PLC_OK);
    EXPECT_EQ(std::memcmp(arr, &values[5], 6), 0);
    EXPECT_EQ(std::memcmp(dint, &position, 4), 0);

    // Positions outside the table and unknown register types: 3, nothing sent.
    drvtest::TakePausedMs();
    for (uint32_t bad : {0u, 6u, 0x10000u + 1}) {
        reg = Reg(bad, 2, 0);
        EXPECT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), 3) << bad;
        EXPECT_EQ(ev_plc_write(&reg, &buff, &settings, nullptr), 3) << bad;
    }
    EXPECT_EQ(drvtest::TakePausedMs(), 6000u);
    reg = Reg(4, 3, 0);
    EXPECT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), 3);
    uint8_t bits[8192] = {};
    PLC_DRV_BUFF bitBuff{8192, bits};
    reg = Reg(4, 0, 0);
    EXPECT_EQ(ev_plc_read(&reg, &bitBuff, &settings, 0, nullptr), 3);
    EXPECT_EQ(ev_plc_write(&reg, &bitBuff, &settings, nullptr), 3);
    PLC_DRV_BUFF longBuff{1025, bits};
    reg = Reg(3, 2, 0);
    EXPECT_EQ(ev_plc_read_new_sub_son(&reg, &longBuff, &settings, 1025, nullptr, 0), 3);

    // An unknown name is refused by the controller: 3 and the connection marked lost.
    ASSERT_EQ(drvtest::LoadTags(project, "1,SampleApp.GVL.nothing,INT,0,0,0\r\n"), 0);
    reg = Reg(1, 2, 0);
    buff.length = 1;
    EXPECT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), 3);
    EXPECT_EQ(init, 0);
    // A failed load makes the next read reload and fail.
    tag_init_flag = 3;
    EXPECT_EQ(ev_plc_read(&reg, &buff, &settings, 0, nullptr), 3);
    EXPECT_EQ(tag_init_flag, 0);

    SetDriverConnect(NoController);
    closehandel(&settings);
    init = 0;
    if (CMIsRunning()) {
        ExitComponentsFinal();
    }
    EXPECT_EQ(chdir(szCwd), 0);
}
