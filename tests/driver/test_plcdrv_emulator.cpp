// The panel's requests end to end: the built libkestrolink.so loaded at run
// time as a panel loads it, driven only through PlcDrvCmd ("Init", "Info",
// "RdOne", "RdGrp", "WrOne"), against an in-process emulator over loopback.
// Each test writes its own tag file into a project folder; the values are
// set and checked in the emulator's store. The driver's pauses are real
// here (one second before a refused position and before every connect), so
// the tests keep those paths few.
//
// The driver serves one connection per process: the suite shares one
// emulator and one "Init"; a test that replaces the emulator starts the new
// one on the same port.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Emulator.h"
#include "EmulatorOptions.h"
#include "TestSupport.h"
#include "kestrolink/PlcDrv.h"

namespace {

typedef int (*PfPlcDrvCmd)(const char*, void*, void*);
typedef void (*PfCloseHandle)(PLC_DRV_INIT_SETTINGS*);

const char kSymbols[] = KL_SOURCE_DIR "/examples/symbols/SampleApp.xml";
const uint16_t kPanelPort = 4096;
// The register types of a request.
const uint8_t kBit = 0;
const uint8_t kReg16 = 2;
const uint8_t kReg32 = 4;

std::string TagLine(int id, const std::string& name, const std::string& type, int isArray, int start,
                    int end) {
    return std::to_string(id) + "," + name + "," + type + "," + std::to_string(isArray) + "," +
           std::to_string(start) + "," + std::to_string(end) + ",0,0,0,\r\n";
}

// One register reference of the panel. The tag position's bits 16..23 travel
// in _subRegId; bits 11..14 of _flag select a run-time index position.
struct Register {
    RegAttr attr{};
    RegItm item{};
    std::vector<uint8_t> buffer;

    Register(uint32_t tag, uint32_t addr, uint8_t regType, uint16_t width, size_t bufferSize,
             uint8_t fill = 0)
        : buffer(bufferSize, fill) {
        attr._regId = static_cast<V_UINT16>(tag & 0xFFFF);
        attr._subRegId = static_cast<V_UINT16>((tag >> 16) & 0xFF);
        attr._addr = addr;
        attr._regType = regType;
        attr._width = width;
        item._reg = &attr;
        item._buf = buffer.data();
        item._len = static_cast<int>(buffer.size());
    }
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;
    void IndexPosition(unsigned p) { attr._flag = (attr._flag & ~(0xFu << 11)) | ((p & 0xFu) << 11); }
    int16_t I16() const { return static_cast<int16_t>(buffer[0] | (buffer[1] << 8)); }
};

// The driver reports its progress on standard output: what one request
// printed tells which way it went.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::string& path) : m_path(path) {
        std::fflush(stdout);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        m_saved = fd >= 0 ? dup(STDOUT_FILENO) : -1;
        if (m_saved >= 0 && dup2(fd, STDOUT_FILENO) < 0) {
            close(m_saved);
            m_saved = -1;
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    ~StdoutCapture() { Take(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    // Restores standard output; what was printed meanwhile.
    std::string Take() {
        if (m_saved >= 0) {
            std::fflush(stdout);
            dup2(m_saved, STDOUT_FILENO);
            close(m_saved);
            m_saved = -1;
        }
        return kltest::ReadFile(m_path);
    }

private:
    std::string m_path;
    int m_saved = -1;
};

class PanelOnEmulator : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new kltest::TempDir;
        // The SDK reads its settings and writes its files beside the process:
        // in the suite's folder, as are the driver's character-set files.
        // Traffic stays on loopback, and a channel whose controller went
        // silent ends after 5 s instead of 30 s, so that a read to a lost
        // controller fails within that time.
        ASSERT_NE(getcwd(s_szCwd, sizeof(s_szCwd)), nullptr);
        ASSERT_EQ(chdir(s_dir->Path().c_str()), 0);
        kltest::WriteFile(s_dir->File("Kestrolink.ini"),
                          "[CmpBlkDrvTcp]\nLocalAccessOnly=1\n"
                          "[CmpBlkDrvUdp]\nUseOnlyAdapters=lo\n"
                          "[CmpChannelMgr]\nChannelTimeoutMs=5000\n");
        ASSERT_EQ(mkdir(s_dir->File("charset").c_str(), 0755), 0);
        setenv("KESTROLINK_CHARSET_ROOT", s_dir->File("charset").c_str(), 1);

        StartEmulator(0);
        ASSERT_NE(s_emulator, nullptr);

        // Like a panel, the suite keeps the library loaded: the driver's
        // detached start-up thread may still be running inside it.
        s_lib = dlopen(KL_LIBKESTROLINK_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(s_lib, nullptr) << dlerror();
        s_pfCmd = reinterpret_cast<PfPlcDrvCmd>(dlsym(s_lib, "PlcDrvCmd"));
        s_pfClose = reinterpret_cast<PfCloseHandle>(dlsym(s_lib, "closehandel"));
        ASSERT_NE(s_pfCmd, nullptr);
        ASSERT_NE(s_pfClose, nullptr);

        s_attr = ComAttr{};
        s_attr._hardware = PLC_HARDWARE_ETHERNET;
        const uint8_t ip[4] = {127, 0, 0, 1};
        std::memcpy(&s_attr._baud, ip, sizeof(ip));
        s_attr._checkBits = static_cast<V_UINT8>(s_usPort >> 8);
        s_attr._datBits = static_cast<V_UINT8>(s_usPort & 0xFF);
        s_attr._no = kPanelPort;
        ASSERT_EQ(s_pfCmd("Init", &s_drv, &s_attr), PLC_OK);
        ASSERT_NE(s_drv, nullptr);
    }

    static void TearDownTestSuite() {
        // "Destroy" leaves the connection up; a host that ends closes it
        // before the library's threads meet the process exit.
        if (s_pfCmd != nullptr && s_drv != nullptr) {
            EXPECT_EQ(s_pfCmd("Destroy", s_drv, nullptr), PLC_OK);
        }
        if (s_pfClose != nullptr) {
            s_pfClose(nullptr);
        }
        s_emulator.reset();
        if (s_szCwd[0] != '\0') {
            EXPECT_EQ(chdir(s_szCwd), 0);
        }
        delete s_dir;
        s_dir = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(s_pfCmd, nullptr);
        ASSERT_NE(s_drv, nullptr);
        ASSERT_NE(s_emulator, nullptr);
    }

    // port 0 picks a free one; a replacement takes the port of the first.
    static void StartEmulator(uint16_t usPort) {
        std::string listen = "127.0.0.1:" + std::to_string(usPort);
        const char* argv[] = {"kestrolink-emulator", "--listen", listen.c_str(), "--symbols", kSymbols,
                              "--log-level",         "error"};
        klemu::EmulatorOptions options;
        std::string error;
        ASSERT_TRUE(klemu::ParseEmulatorOptions(7, argv, &options, &error)) << error;
        s_emulator.reset(new klemu::Emulator(options));
        if (!s_emulator->Start(&error)) {
            s_emulator.reset();
            FAIL() << error;
        }
        s_usPort = s_emulator->Port();
    }

    // The port's tag file (UTF-8, header line first) in a fresh project
    // folder, loaded by "Info".
    void LoadTags(const std::string& lines) {
        m_project.reset(new kltest::TempDir);
        ASSERT_EQ(mkdir((m_project->Path() + "/Ethernet").c_str(), 0755), 0);
        kltest::WriteFile(
            EthernetFile("drv_4096.csv"),
            "Id,Name,DataType,IsArray,Start,End,Maxvalue,Minvalue,StationNo,Comments\r\n" + lines);
        int paras = 2;
        void* args[2] = {&paras, const_cast<char*>(m_project->Path().c_str())};
        ASSERT_EQ(s_pfCmd("Info", s_drv, args), PLC_OK);
    }
    std::string EthernetFile(const std::string& name) const {
        return m_project->Path() + "/Ethernet/" + name;
    }

    int Read(Register& r) {
        UserOper user{};
        void* args[3] = {&r.item, &s_attr, &user};
        return s_pfCmd("RdOne", s_drv, args);
    }
    int Write(Register& r) {
        UserOper user{};
        void* args[3] = {&r.item, &s_attr, &user};
        return s_pfCmd("WrOne", s_drv, args);
    }
    int ReadGroup(const std::vector<Register*>& regs) {
        std::vector<RegItm> items;
        for (Register* r : regs) {
            items.push_back(r->item);
        }
        int count = static_cast<int>(items.size());
        UserOper user{};
        void* args[4] = {items.data(), &count, &s_attr, &user};
        return s_pfCmd("RdGrp", s_drv, args);
    }

    static void Set(const std::string& name, const void* pValue, size_t size) {
        ASSERT_NE(s_emulator->Vars(), nullptr);
        ASSERT_TRUE(s_emulator->Vars()->SetValue(name, pValue, size)) << name;
    }
    template <typename T>
    static void SetNumber(const std::string& name, T value) {
        Set(name, &value, sizeof(value));
    }
    static void SetText(const std::string& name, const std::string& text, size_t size) {
        std::vector<char> bytes(size, '\0');
        std::memcpy(bytes.data(), text.data(), std::min(text.size(), size - 1));
        Set(name, bytes.data(), bytes.size());
    }
    static std::vector<uint8_t> Get(const std::string& name) {
        std::vector<uint8_t> value;
        EXPECT_TRUE(s_emulator->Vars() != nullptr && s_emulator->Vars()->GetValue(name, &value)) << name;
        return value;
    }

    std::unique_ptr<kltest::TempDir> m_project;

    static kltest::TempDir* s_dir;
    static char s_szCwd[4096];
    static std::unique_ptr<klemu::Emulator> s_emulator;
    static uint16_t s_usPort;
    static void* s_lib;
    static PfPlcDrvCmd s_pfCmd;
    static PfCloseHandle s_pfClose;
    static ComAttr s_attr;
    static PlcDrv* s_drv;
};

kltest::TempDir* PanelOnEmulator::s_dir = nullptr;
char PanelOnEmulator::s_szCwd[4096] = {};
std::unique_ptr<klemu::Emulator> PanelOnEmulator::s_emulator;
uint16_t PanelOnEmulator::s_usPort = 0;
void* PanelOnEmulator::s_lib = nullptr;
PfPlcDrvCmd PanelOnEmulator::s_pfCmd = nullptr;
PfCloseHandle PanelOnEmulator::s_pfClose = nullptr;
ComAttr PanelOnEmulator::s_attr{};
PlcDrv* PanelOnEmulator::s_drv = nullptr;

const char kHeaderGb[] = "Id,Name,DataType,IsArray,Start,End,Maxvalue,Minvalue,StationNo,Comments\r\n";

}  // namespace

TEST_F(PanelOnEmulator, TagFileShapesDecideTheVariablesRead) {
    // A header alone: no tags, so the first position is already out of range.
    LoadTags("");
    EXPECT_EQ(kltest::ReadFile(EthernetFile("drv_4096_gb.csv")), kHeaderGb);
    Register reg(1, 0, kReg16, 1, 2);
    EXPECT_EQ(Read(reg), 3);

    // IDs 1, 2, 5: each at its own position; 3 and 4 are gaps, 6 is past the end.
    LoadTags(TagLine(1, "SampleApp.GVL.iCounter", "INT", 0, 0, 0) +
             TagLine(2, "SampleApp.GVL.uiSetpoint", "UINT", 0, 0, 0) +
             TagLine(5, "SampleApp.GVL.diPosition", "DINT", 0, 0, 0));
    SetNumber<int16_t>("SampleApp.GVL.iCounter", 1111);
    SetNumber<uint16_t>("SampleApp.GVL.uiSetpoint", 2222);
    SetNumber<int32_t>("SampleApp.GVL.diPosition", -333333);
    Register r1(1, 0, kReg16, 1, 2);
    Register r2(2, 0, kReg16, 1, 2);
    Register r5(5, 0, kReg32, 1, 4);
    ASSERT_EQ(Read(r1), PLC_OK);
    EXPECT_EQ(r1.I16(), 1111);
    ASSERT_EQ(Read(r2), PLC_OK);
    EXPECT_EQ(static_cast<uint16_t>(r2.I16()), 2222);
    ASSERT_EQ(Read(r5), PLC_OK);
    int32_t position = 0;
    std::memcpy(&position, r5.buffer.data(), 4);
    EXPECT_EQ(position, -333333);
    Register r6(6, 0, kReg16, 1, 2, 0xAA);
    EXPECT_EQ(Read(r6), 3);
    EXPECT_EQ(r6.buffer, std::vector<uint8_t>(2, 0xAA)) << "nothing read";

    // A STRING flagged as array keeps its name for any element address; ":"
    // between indexes becomes ","; a row of the 2-D array takes the address
    // as its last index; index-mode tags of a structure array.
    LoadTags(TagLine(1, "SampleApp.GVL.sMessage", "STRING", 1, 0, 81) +
             TagLine(2, "SampleApp.GVL.adiMatrix[2:3]", "DINT", 0, 0, 0) +
             TagLine(3, "SampleApp.GVL.adiMatrix[3]", "DINT", 1, 1, 4) +
             TagLine(4, "SampleApp.PLC_PRG.astWaypoints[0].rX", "REAL", 0, 0, 0) +
             TagLine(5, "SampleApp.PLC_PRG.astWaypoints[1].rX", "REAL", 0, 0, 0) +
             TagLine(6, "SampleApp.PLC_PRG.astWaypoints[2].rX", "REAL", 0, 0, 0));
    SetText("SampleApp.GVL.sMessage", "ABCDEF", 81);
    SetNumber<int32_t>("SampleApp.GVL.adiMatrix[2,3]", 23);
    SetNumber<int32_t>("SampleApp.GVL.adiMatrix[3,4]", 34);
    SetNumber<float>("SampleApp.PLC_PRG.astWaypoints[1].rX", 1.5f);
    SetNumber<float>("SampleApp.PLC_PRG.astWaypoints[2].rX", 2.5f);
    for (uint32_t addr : {0u, 2u}) {
        Register text(1, addr, kReg16, 10, 20, 0xAA);
        ASSERT_EQ(Read(text), PLC_OK) << addr;
        EXPECT_STREQ(reinterpret_cast<const char*>(text.buffer.data()), addr == 0 ? "ABCDEF" : "CDEF");
    }
    Register cell(2, 0, kReg32, 1, 4);
    ASSERT_EQ(Read(cell), PLC_OK);
    int32_t value = 0;
    std::memcpy(&value, cell.buffer.data(), 4);
    EXPECT_EQ(value, 23);
    Register row(3, 4, kReg32, 1, 4);
    ASSERT_EQ(Read(row), PLC_OK);
    std::memcpy(&value, row.buffer.data(), 4);
    EXPECT_EQ(value, 34);

    // Index mode: position 1 of the name takes the run-time index 2, and the
    // tag of that name is found in the table and kept in the cache.
    const std::string cacheFile = EthernetFile("Index_ID_4096/4_1_2");
    Register indexed(4, 2, kReg32, 1, 4);
    indexed.IndexPosition(1);
    ASSERT_EQ(Read(indexed), PLC_OK);
    float rx = 0;
    std::memcpy(&rx, indexed.buffer.data(), 4);
    EXPECT_EQ(rx, 2.5f);
    EXPECT_EQ(kltest::ReadFile(cacheFile), std::string("6") + std::string(31, '\0'));
    Register other(4, 1, kReg32, 1, 4);
    other.IndexPosition(1);
    ASSERT_EQ(Read(other), PLC_OK);
    std::memcpy(&rx, other.buffer.data(), 4);
    EXPECT_EQ(rx, 1.5f);
    EXPECT_EQ(kltest::ReadFile(EthernetFile("Index_ID_4096/4_1_1")),
              std::string("5") + std::string(31, '\0'));
    // The same request again is answered by the cache file, not by the
    // table: a record that says "nothing matched" refuses it.
    kltest::WriteFile(cacheFile, std::string(32, '\0'));
    Register again(4, 2, kReg32, 1, 4);
    again.IndexPosition(1);
    EXPECT_EQ(Read(again), 3);
    // Every load starts with an empty cache.
    int paras = 2;
    void* args[2] = {&paras, const_cast<char*>(m_project->Path().c_str())};
    ASSERT_EQ(s_pfCmd("Info", s_drv, args), PLC_OK);
    EXPECT_FALSE(kltest::FileExists(cacheFile));
    Register reloaded(4, 2, kReg32, 1, 4);
    reloaded.IndexPosition(1);
    ASSERT_EQ(Read(reloaded), PLC_OK);
    std::memcpy(&rx, reloaded.buffer.data(), 4);
    EXPECT_EQ(rx, 2.5f);
}

TEST_F(PanelOnEmulator, RegisterLayoutsArraysAndTheStringWrite) {
    LoadTags(TagLine(1, "SampleApp.GVL.siTemperature", "SINT", 0, 0, 0) +
             TagLine(2, "SampleApp.GVL.byStatus", "BYTE", 0, 0, 0) +
             TagLine(3, "SampleApp.GVL.byStatus", "USINT", 0, 0, 0) +
             TagLine(4, "SampleApp.GVL.sMessage", "STRING", 0, 0, 10) +
             TagLine(5, "SampleApp.GVL.aiValues", "INT", 1, 0, 9) +
             TagLine(6, "SampleApp.GVL.diPosition", "DINT", 0, 0, 0));

    // Narrow types in a 16-bit register: SINT sign-extended, BYTE and USINT not.
    SetNumber<int8_t>("SampleApp.GVL.siTemperature", -2);
    SetNumber<uint8_t>("SampleApp.GVL.byStatus", 254);
    Register sint(1, 0, kReg16, 1, 2, 0xAA);
    ASSERT_EQ(Read(sint), PLC_OK);
    EXPECT_EQ(sint.buffer, (std::vector<uint8_t>{0xFE, 0xFF}));
    for (uint32_t tag : {2u, 3u}) {
        Register narrow(tag, 0, kReg16, 1, 2, 0xAA);
        ASSERT_EQ(Read(narrow), PLC_OK) << tag;
        EXPECT_EQ(narrow.buffer, (std::vector<uint8_t>{0xFE, 0x00})) << tag;
    }
    SetNumber<int8_t>("SampleApp.GVL.siTemperature", 5);
    ASSERT_EQ(Read(sint), PLC_OK);
    EXPECT_EQ(sint.buffer, (std::vector<uint8_t>{0x05, 0x00}));

    // A string from character 2.
    SetText("SampleApp.GVL.sMessage", "ABCDEF", 81);
    Register text(4, 2, kReg16, 10, 20, 0xAA);
    ASSERT_EQ(Read(text), PLC_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(text.buffer.data()), "CDEF");

    // One register into a string of End 10 at offset 4: the 9 characters
    // around it come from the controller, 10 bytes are written.
    SetText("SampleApp.GVL.sMessage", "ABCDEFGHIJKLMNOP", 81);
    Register pair(4, 4, kReg16, 1, 2);
    std::memcpy(pair.buffer.data(), "xy", 2);
    ASSERT_EQ(Write(pair), PLC_OK);
    std::vector<uint8_t> expected(81, 0);
    std::memcpy(expected.data(), "ABCDxyGHI", 9);
    EXPECT_EQ(Get("SampleApp.GVL.sMessage"), expected);

    // An INT array item of 3 at address 5: arr[5], then arr[5..7] in the
    // split read; nothing beyond the item's three registers is touched.
    const int16_t values[10] = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90};
    Set("SampleApp.GVL.aiValues", values, sizeof(values));
    Register arr(5, 5, kReg16, 3, 8, 0xAA);
    ASSERT_EQ(Read(arr), PLC_OK);
    std::vector<uint8_t> arrExpected(8, 0xAA);
    std::memcpy(arrExpected.data(), &values[5], 6);
    EXPECT_EQ(arr.buffer, arrExpected);

    // The same item in a group beside a DINT.
    SetNumber<int32_t>("SampleApp.GVL.diPosition", -123456);
    Register arrInGroup(5, 5, kReg16, 3, 6);
    Register dint(6, 0, kReg32, 1, 4);
    ASSERT_EQ(ReadGroup({&arrInGroup, &dint}), PLC_OK);
    EXPECT_EQ(std::memcmp(arrInGroup.buffer.data(), &values[5], 6), 0);
    int32_t position = 0;
    std::memcpy(&position, dint.buffer.data(), 4);
    EXPECT_EQ(position, -123456);

    // Position 0 is never a tag.
    Register none(0, 0, kReg16, 1, 2, 0xAA);
    EXPECT_EQ(Read(none), 3);
    EXPECT_EQ(none.buffer, std::vector<uint8_t>(2, 0xAA));
}

TEST_F(PanelOnEmulator, ChineseNameIsSentInGb2312) {
    LoadTags(TagLine(1, "SampleApp.GVL.温度设定", "INT", 0, 0, 0));
    // The loaded copy holds the name in GB2312, byte for byte.
    const std::string gbName = "SampleApp.GVL.\xCE\xC2\xB6\xC8\xC9\xE8\xB6\xA8";
    EXPECT_EQ(kltest::ReadFile(EthernetFile("drv_4096_gb.csv")),
              std::string(kHeaderGb) + "1," + gbName + ",INT,0,0,0,0,0,0,\r\n");

    SetNumber<int16_t>("SampleApp.GVL.温度设定", 1234);
    Register reg(1, 0, kReg16, 1, 2);
    ASSERT_EQ(Read(reg), PLC_OK);
    EXPECT_EQ(reg.I16(), 1234);
    int16_t setpoint = -4321;
    std::memcpy(reg.buffer.data(), &setpoint, 2);
    ASSERT_EQ(Write(reg), PLC_OK);
    EXPECT_EQ(Get(gbName), (std::vector<uint8_t>{0x1F, 0xEF}));
}

TEST_F(PanelOnEmulator, BitItemsArePackedAndUnpacked) {
    LoadTags(TagLine(1, "SampleApp.GVL.xStart", "BOOL", 0, 0, 0) +
             TagLine(2, "SampleApp.PLC_PRG.xDone", "BOOL", 0, 0, 0) +
             TagLine(3, "SampleApp.GVL.byStatus", "BYTE", 0, 0, 0));

    // One byte per bit towards the panel; only bit 0 of the controller's byte counts.
    SetNumber<uint8_t>("SampleApp.GVL.xStart", 1);
    SetNumber<uint8_t>("SampleApp.PLC_PRG.xDone", 0xFE);
    SetNumber<uint8_t>("SampleApp.GVL.byStatus", 0x03);
    Register start(1, 0, kBit, 1, 1, 0xAA);
    Register done(2, 0, kBit, 1, 1, 0xAA);
    Register status(3, 0, kBit, 1, 1, 0xAA);
    ASSERT_EQ(ReadGroup({&start, &done, &status}), PLC_OK);
    EXPECT_EQ(start.buffer[0], 1);
    EXPECT_EQ(done.buffer[0], 0);
    EXPECT_EQ(status.buffer[0], 1);

    // Eight bits of a one-byte variable: the bits it does not have read as 0.
    Register eight(1, 0, kBit, 8, 8, 0xAA);
    ASSERT_EQ(Read(eight), PLC_OK);
    EXPECT_EQ(eight.buffer, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));

    // A panel byte per bit, sent packed.
    Register set(2, 0, kBit, 1, 1);
    set.buffer[0] = 1;
    ASSERT_EQ(Write(set), PLC_OK);
    EXPECT_EQ(Get("SampleApp.PLC_PRG.xDone"), std::vector<uint8_t>{0x01});
    Register reread(2, 0, kBit, 1, 1, 0xAA);
    ASSERT_EQ(Read(reread), PLC_OK);
    EXPECT_EQ(reread.buffer[0], 1);
    Register clear(1, 0, kBit, 1, 1);
    ASSERT_EQ(Write(clear), PLC_OK);
    EXPECT_EQ(Get("SampleApp.GVL.xStart"), std::vector<uint8_t>{0x00});
}

TEST_F(PanelOnEmulator, LostControllerFailsOneReadThenTheNextReconnects) {
    LoadTags(TagLine(1, "SampleApp.GVL.iCounter", "INT", 0, 0, 0));
    SetNumber<int16_t>("SampleApp.GVL.iCounter", 11);
    Register reg(1, 0, kReg16, 1, 2);
    ASSERT_EQ(Read(reg), PLC_OK);
    EXPECT_EQ(reg.I16(), 11);
    EXPECT_EQ(s_emulator->Connections(), 1);

    // The controller goes away: the next read fails and marks the connection lost.
    const uint16_t usPort = s_usPort;
    s_emulator.reset();
    Register lost(1, 0, kReg16, 1, 2, 0xAA);
    StdoutCapture lostOut(s_dir->File("lost.out"));
    EXPECT_EQ(Read(lost), 3);
    std::string printed = lostOut.Take();
    EXPECT_EQ(lost.buffer, std::vector<uint8_t>(2, 0xAA));
    EXPECT_NE(printed.find("*** Reading values failed"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("init = "), std::string::npos)
        << "the connection still counted as up: " << printed;

    // Back on the same port: the read after that connects first, then reads.
    StartEmulator(usPort);
    ASSERT_NE(s_emulator, nullptr);
    ASSERT_EQ(s_usPort, usPort);
    SetNumber<int16_t>("SampleApp.GVL.iCounter", 22);
    Register back(1, 0, kReg16, 1, 2);
    StdoutCapture backOut(s_dir->File("back.out"));
    ASSERT_EQ(Read(back), PLC_OK);
    printed = backOut.Take();
    EXPECT_EQ(back.I16(), 22);
    // Marked lost: this read let the old handle go and connected anew.
    EXPECT_NE(printed.find("init = 0 \n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("KestrolinkConnectTcpipViaArti PLCC_DN_TCPIP:0 "), std::string::npos) << printed;
    EXPECT_GE(s_emulator->Accepted(), 1);
    EXPECT_EQ(s_emulator->Connections(), 1) << "the old handle was closed before the new connect";
    int16_t counter = 33;
    std::memcpy(back.buffer.data(), &counter, 2);
    ASSERT_EQ(Write(back), PLC_OK);
    EXPECT_EQ(Get("SampleApp.GVL.iCounter"), (std::vector<uint8_t>{33, 0}));
}
