// The file writer: file names, line format, rotation at the size limit, and
// the whole chain started by the component manager.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "LogTestHarness.h"
#include "TestSupport.h"

using namespace logtest;

namespace {

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(kltest::ReadFile(path));
    std::string line;
    while (std::getline(in, line) && out.size() < 100000) {
        out.push_back(line);
    }
    return out;
}

// Info ids of the test component's lines in a file.
std::vector<int> InfoIds(const std::string& path) {
    std::vector<int> out;
    static const std::regex re(", Cmp=21845, Class=0x2, Error=0, Info=([0-9]+): ");
    for (const std::string& line : Lines(path)) {
        std::smatch m;
        if (std::regex_search(line, m, re)) {
            out.push_back(std::stoi(m[1]));
        }
    }
    return out;
}

RTS_HANDLE AttachFile(RTS_HANDLE hLog) {
    RTS_RESULT r = ERR_FAILED;
    void* pIBase = CmpLogBackendFileCreateInstance(CLASSID_CCmpLogBackendFile, &r);
    EXPECT_EQ(r, ERR_OK);
    r = LogAttachBackend(hLog, CLASSID_CCmpLogBackendFile, pIBase, CmpLogBackendFileDeleteInstance);
    EXPECT_EQ(r, ERR_OK);
    if (r != ERR_OK) {
        CmpLogBackendFileDeleteInstance(pIBase);
    }
    return hLog;
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = FakeManager{};
        g_rec.Reset();
    }
};

TEST_F(LogFileTest, FileNamesAndOneLinePerEntry) {
    char szPath[64] = "/tmp/logs";
    char szFile[128];
    LogOptions lo = Options("PlcLog", LOG_STD_TYPE, LOG_STD_FILTER, 10);
    EXPECT_EQ(LogBackendFileGetFileName(&lo, szFile, sizeof(szFile)), ERR_OK);
    EXPECT_STREQ(szFile, "PlcLog.log");
    lo.pszPath = szPath;
    EXPECT_EQ(LogBackendFileGetFileName(&lo, szFile, sizeof(szFile)), ERR_OK);
    EXPECT_STREQ(szFile, "/tmp/logs/PlcLog.log");
    KlStrCopy(lo.szName, sizeof(lo.szName), "Kestrolink.log");
    EXPECT_EQ(LogBackendFileGetFileName(&lo, szFile, sizeof(szFile)), ERR_OK);
    EXPECT_STREQ(szFile, "/tmp/logs/Kestrolink.log") << "no second extension";
    KlStrCopy(szPath, sizeof(szPath), "/var/x/Own.LOG");
    EXPECT_EQ(LogBackendFileGetFileName(&lo, szFile, sizeof(szFile)), ERR_OK);
    EXPECT_STREQ(szFile, "/var/x/Own.LOG") << "a path naming a log file is the file";
    EXPECT_EQ(LogBackendFileGetFileName(&lo, szFile, 14), ERR_BUFFERSIZE);
    EXPECT_STREQ(szFile, "") << "a file name is refused, never cut";

    kltest::TempDir dir;
    std::string folder = dir.Path();
    LogRuntime rt;
    RTS_HANDLE h =
        Create(Options("Lines", LT_NORMAL | LT_DUMP_ALWAYS | LT_TIMESTAMP_RTC_HIGHRES, 0xFF, 50, &folder[0]));
    ASSERT_NE(h, RTS_INVALID_HANDLE);
    AttachFile(h);
    ASSERT_EQ(LogAdd(h, kTestCmp, LOG_WARNING, -3, 7, "two\nlines\tand %s", "100%"), ERR_OK);
    std::vector<std::string> lines = Lines(dir.File("Lines.log"));
    ASSERT_GE(lines.size(), 2u);
    // The options logged at creation were in the ring before the backend came.
    EXPECT_NE(lines.front().find(", Cmp=19, Class=0x1, Error=0, Info=0: <logoptions>"), std::string::npos)
        << lines.front();
    EXPECT_TRUE(std::regex_match(
        lines.back(), std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}Z, "
                                 "Cmp=21845, Class=0x2, Error=-3, Info=7: two lines and 100%")))
        << lines.back();

    // A class is attached once; a foreign base interface is refused.
    RTS_RESULT r = ERR_OK;
    void* pSecond = CmpLogBackendFileCreateInstance(CLASSID_CCmpLogBackendFile, &r);
    EXPECT_EQ(LogAttachBackend(h, CLASSID_CCmpLogBackendFile, pSecond, CmpLogBackendFileDeleteInstance),
              ERR_DUPLICATE);
    EXPECT_EQ(CmpLogBackendFileDeleteInstance(pSecond), ERR_OK);
    RTS_UI32 aulNotABackend[8] = {0};
    EXPECT_EQ(LogAttachBackend(h, 0x7777, aulNotABackend, nullptr), ERR_PARAMETER);
    EXPECT_EQ(CmpLogBackendFileDeleteInstance(aulNotABackend), ERR_PARAMETER);
}

TEST_F(LogFileTest, RotatesAtTheSizeLimitKeepingMaxFiles) {
    kltest::TempDir dir;
    std::string folder = dir.Path();
    LogRuntime rt;
    LogOptions lo =
        Options("Rot", LT_NORMAL | LT_DUMP_ALWAYS | LT_TIMESTAMP_MS, LOG_WARNING, 100, &folder[0]);
    lo.iMaxFileSize = 300;
    lo.iMaxFiles = 3;
    RTS_HANDLE hRot = AttachFile(Create(lo));
    KlStrCopy(lo.szName, sizeof(lo.szName), "One");
    lo.iMaxFiles = 1;
    RTS_HANDLE hOne = AttachFile(Create(lo));
    for (int i = 1; i <= 40; ++i) {
        ASSERT_EQ(LogAdd(hRot, kTestCmp, LOG_WARNING, ERR_OK, static_cast<RTS_UI32>(i), "entry %02d %s", i,
                         "............................"),
                  ERR_OK);
        ASSERT_EQ(LogAdd(hOne, kTestCmp, LOG_WARNING, ERR_OK, static_cast<RTS_UI32>(i), "entry %02d", i),
                  ERR_OK);
    }
    std::vector<int> all;
    for (const char* pszFile : {"Rot.log.2", "Rot.log.1", "Rot.log"}) {
        std::string path = dir.File(pszFile);
        ASSERT_TRUE(kltest::FileExists(path)) << pszFile;
        std::string text = kltest::ReadFile(path);
        EXPECT_LE(text.size(), 300u) << pszFile;
        EXPECT_FALSE(text.empty()) << pszFile;
        std::vector<int> ids = InfoIds(path);
        all.insert(all.end(), ids.begin(), ids.end());
    }
    EXPECT_FALSE(kltest::FileExists(dir.File("Rot.log.3")));
    // The three files hold the newest entries without a gap, the newest last.
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back(), 40);
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i], all[i - 1] + 1);
    }
    EXPECT_GT(all.size(), 6u);

    EXPECT_FALSE(kltest::FileExists(dir.File("One.log.1")));
    EXPECT_LE(kltest::ReadFile(dir.File("One.log")).size(), 300u);
    EXPECT_EQ(InfoIds(dir.File("One.log")).back(), 40);
}

TEST_F(LogFileTest, ThroughTheComponentManager) {
    kltest::TempDir dir;
    std::string ini = dir.File("Kestrolink.ini");
    kltest::WriteFile(ini, "[CmpLog]\nLogger.0.Name=PlcLog\nLogger.0.Path=" + dir.Path() + "\n");
    const StaticComponent list[] = {
        {"CmpMemPool", CmpMemPool__Entry, 1},
        {"CmpSettings", CmpSettings__Entry, 1},
        {"CmpLog", CmpLog__Entry, 1},
        {"CmpLogBackendFile", CmpLogBackendFile__Entry, 0},
        {nullptr, nullptr, 0},
    };
    ASSERT_EQ(CMInit2(ini.c_str(), list, 0), ERR_OK);
    EXPECT_EQ(LogAdd(nullptr, kTestCmp, LOG_WARNING, ERR_OK, 1, "through the manager %s", "100%"), ERR_OK);
    // The standard logger's entries reach the file from the communication
    // cycle, four per pass; the rest at the latest when the runtime stops.
    for (int i = 0; i < 3; ++i) {
        CMCallHook(CH_COMM_CYCLE, 0, 0, 0);
    }
    std::string path = dir.File("PlcLog.log");
    EXPECT_TRUE(kltest::FileExists(path));
    EXPECT_EQ(CMExit(), ERR_OK);
    std::string text = kltest::ReadFile(path);
    EXPECT_NE(text.find("Info=1: through the manager 100%\n"), std::string::npos);
    EXPECT_NE(text.find("Component <cmp>CmpLog</cmp>"), std::string::npos);
    EXPECT_NE(text.find("<MaxEntries>500</MaxEntries>"), std::string::npos);
    // Each line once: the line of the test entry appears a single time.
    EXPECT_EQ(text.find("through the manager"), text.rfind("through the manager"));
    EXPECT_EQ(LogAdd(nullptr, kTestCmp, LOG_WARNING, ERR_OK, 2, "after the runtime"), ERR_OK);
}

}  // namespace
