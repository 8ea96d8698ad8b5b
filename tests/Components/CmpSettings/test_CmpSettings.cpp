// Settings component: the INI text as read and written, the update bracket,
// further files and their section filters, write protection, recovery of an
// interrupted write, byte blocks and wide texts, and the component inside a
// running runtime.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

#include "CMItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "TestSupport.h"

namespace {

using kltest::ReadFile;
using kltest::TempDir;
using kltest::WriteFile;

// Inode of a file: a write-back replaces the file by its "_" twin, so an
// unchanged inode means the file was not rewritten.
ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Opens a database for one test and closes it whatever the test's outcome.
class Database {
public:
    explicit Database(const std::string& path) { m_result = SettgSetDatabaseName(path.c_str()); }
    ~Database() { SettgBeExit(); }
    RTS_RESULT Result() const { return m_result; }

private:
    RTS_RESULT m_result;
};

std::string GetString(const char* cmp, const char* key, RTS_RESULT* pResult = nullptr, int bCached = 0) {
    char buf[1024];
    RTS_I32 len = sizeof(buf);
    RTS_RESULT r = SettgGetStringValue(cmp, key, buf, &len, "<none>", bCached);
    if (pResult != nullptr) {
        *pResult = r;
    }
    return std::string(buf, static_cast<size_t>(len));
}

RTS_I32 GetInt(const char* cmp, const char* key, RTS_RESULT* pResult = nullptr, int bCached = 0) {
    RTS_I32 v = -12345;
    RTS_RESULT r = SettgGetIntValue(cmp, key, &v, -777, bCached);
    if (pResult != nullptr) {
        *pResult = r;
    }
    return v;
}

std::u16string GetWide(const char* cmp, const char* key, RTS_I32 size, RTS_RESULT* pResult) {
    std::vector<RTS_WCHAR> buf(static_cast<size_t>(size) + 1, 0xBEEF);
    RTS_I32 len = size;
    *pResult = SettgGetWStringValue(cmp, key, buf.data(), &len, nullptr, 0);
    EXPECT_EQ(buf[static_cast<size_t>(size)], 0xBEEF) << "wrote past the buffer";
    return std::u16string(reinterpret_cast<const char16_t*>(buf.data()), static_cast<size_t>(len));
}

TEST(CmpSettings, ReadsTheIniTextAsWritten) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    WriteFile(path,
              "; [CmpLog] in a comment starts nothing\n"
              "[CmpLog]\n"
              "  Logger.0.Enable = 1 ; note\n"
              "\tHex=0x1F\n"
              "Dec=010\n"
              "Neg=-5\n"
              "AllBits=0xFFFFFFFF\n"
              "Quoted = \"some text\" ; comment\n"
              ";Commented=5\n"
              "Spaced Key\t= v\r\n"
              "[Other]\n"
              "Dec=99\n");
    Database db(path);
    ASSERT_EQ(db.Result(), ERR_OK);

    RTS_RESULT r = ERR_FAILED;
    EXPECT_EQ(GetInt("cmplog", "logger.0.enable", &r), 1);
    EXPECT_EQ(r, ERR_OK);
    EXPECT_EQ(GetInt("CmpLog", "Hex"), 31);
    EXPECT_EQ(GetInt("CmpLog", "Dec"), 10);
    EXPECT_EQ(GetInt("Other", "Dec"), 99);
    EXPECT_EQ(GetInt("CmpLog", "Neg"), -5);
    EXPECT_EQ(GetInt("CmpLog", "AllBits"), -1);
    EXPECT_EQ(GetString("CmpLog", "Quoted"), "some text");
    EXPECT_EQ(GetString("CmpLog", "spaced key"), "v");
    EXPECT_EQ(GetInt("CmpLog", "Commented", &r), -777);
    EXPECT_EQ(r, ERR_FAILED);
    EXPECT_EQ(GetString("Missing", "Key", &r), "<none>");
    EXPECT_EQ(r, ERR_FAILED);

    // Caller buffers: cut with a terminator, and size 0 writes nothing.
    char small[5] = {'x', 'x', 'x', 'x', 'x'};
    RTS_I32 len = 4;
    EXPECT_EQ(SettgGetStringValue("CmpLog", "Quoted", small, &len, nullptr, 0), ERR_BUFFERSIZE);
    EXPECT_EQ(len, 3);
    EXPECT_STREQ(small, "som");
    EXPECT_EQ(small[4], 'x');
    char untouched = 'u';
    len = 0;
    EXPECT_EQ(SettgGetStringValue("CmpLog", "Quoted", &untouched, &len, nullptr, 0), ERR_BUFFERSIZE);
    EXPECT_EQ(untouched, 'u');
    EXPECT_EQ(len, 0);

    char name[512];
    EXPECT_EQ(SettgGetDatabaseName(name, sizeof(name)), ERR_OK);
    EXPECT_EQ(std::string(name), path);
    char tiny[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(SettgGetDatabaseName(tiny, 3), ERR_BUFFERSIZE);
    EXPECT_EQ(tiny[2], '\0');
    EXPECT_EQ(tiny[3], 'x');
    EXPECT_EQ(SettgGetDatabaseName(&untouched, 0), ERR_BUFFERSIZE);
    EXPECT_EQ(untouched, 'u');
}

TEST(CmpSettings, WritesKeysIntoTheirSectionWithLfLineEnds) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    WriteFile(path, "[A]\nx=1\n\n[B]\ny=2");
    Database db(path);
    ASSERT_EQ(db.Result(), ERR_OK);

    EXPECT_EQ(SettgSetIntValue("A", "Hex", 31, 16), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("A", "Neg", -5, 10), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("A", "Bin", 5, 2), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("A", "Other", 7, 8), ERR_OK);  // any other base is 10
    EXPECT_EQ(SettgSetIntValue("B", "z", 3, 10), ERR_OK);
    EXPECT_EQ(SettgSetStringValue("New", "k", "v", 1), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("a", "X", 5, 10), ERR_OK);  // replaced in place, key keeps its spelling
    EXPECT_EQ(ReadFile(path),
              "[A]\nx=5\nHex=0x1F\nNeg=-5\nBin=101\nOther=7\n\n[B]\ny=2\nz=3\n\n[New]\nk=v\n");
    EXPECT_EQ(GetInt("A", "Hex"), 31);

    // Equal values write nothing.
    ino_t before = Inode(path);
    EXPECT_EQ(SettgSetIntValue("A", "Hex", 31, 10), ERR_OK);
    EXPECT_EQ(SettgSetStringValue("New", "k", "v", 1), ERR_OK);
    EXPECT_EQ(Inode(path), before);

    // The whole value is compared, not a prefix of it.
    std::string longValue(300, 'a');
    EXPECT_EQ(SettgSetStringValue("A", "Long", longValue.c_str(), 300), ERR_OK);
    before = Inode(path);
    EXPECT_EQ(SettgSetStringValue("A", "Long", longValue.c_str(), 300), ERR_OK);
    EXPECT_EQ(Inode(path), before);
    std::string changed = longValue;
    changed[280] = 'b';
    EXPECT_EQ(SettgSetStringValue("A", "Long", changed.c_str(), 300), ERR_OK);
    EXPECT_NE(Inode(path), before);
    EXPECT_EQ(GetString("A", "Long"), changed);
    // The length limits the value; a longer stored value is not "equal".
    EXPECT_EQ(SettgSetStringValue("A", "Long", changed.c_str(), 10), ERR_OK);
    EXPECT_EQ(GetString("A", "Long"), std::string(10, 'a'));

    // What another writer put on the disk is seen only when asked for.
    WriteFile(path, "[A]\nx=42\n");
    EXPECT_EQ(GetInt("A", "x"), 5);
    EXPECT_EQ(GetInt("A", "x", nullptr, 1), 42);
}

TEST(CmpSettings, RefusesValuesAndNamesTheReaderWouldCut) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    WriteFile(path, "[A]\nx=1\n");
    Database db(path);
    ASSERT_EQ(db.Result(), ERR_OK);
    for (const char* bad : {"a]b", "[x", "a;b", "say \"hi\"", "line\nbreak", "tab\there", "cr\r"}) {
        EXPECT_EQ(SettgSetStringValue("A", "x", bad, 100), ERR_NOT_SUPPORTED) << bad;
    }
    EXPECT_EQ(ReadFile(path), "[A]\nx=1\n");

    std::string longName(SETTG_MAX_NAME_LEN, 'k');
    std::string longest(SETTG_MAX_NAME_LEN - 1, 'k');
    RTS_RESULT r = ERR_OK;
    EXPECT_EQ(SettgSetIntValue("A", longName.c_str(), 1, 10), ERR_PARAMETER);
    EXPECT_EQ(SettgSetIntValue(longName.c_str(), "x", 1, 10), ERR_PARAMETER);
    EXPECT_EQ(GetInt("A", longName.c_str(), &r), -777);
    EXPECT_EQ(r, ERR_PARAMETER);
    EXPECT_EQ(SettgSetIntValue("A]", "x", 1, 10), ERR_PARAMETER);
    EXPECT_EQ(SettgSetIntValue("A", "k=v", 1, 10), ERR_PARAMETER);
    EXPECT_EQ(SettgSetIntValue("A", "", 1, 10), ERR_PARAMETER);
    EXPECT_EQ(SettgSetIntValue("A", "x ", 1, 10), ERR_PARAMETER);  // would be read as "x"
    EXPECT_EQ(ReadFile(path), "[A]\nx=1\n");
    EXPECT_EQ(SettgSetIntValue("A", longest.c_str(), 1, 10), ERR_OK);
    EXPECT_EQ(GetInt("A", longest.c_str()), 1);
}

TEST(CmpSettings, UpdateBracketWritesOnceAtTheEnd) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    WriteFile(path, "[A]\n");
    Database db(path);
    ASSERT_EQ(db.Result(), ERR_OK);
    EXPECT_EQ(SettgEndUpdate(), ERR_NOTINITIALIZED);

    ino_t before = Inode(path);
    EXPECT_EQ(SettgBeginUpdate(), ERR_OK);
    EXPECT_EQ(SettgBeginUpdate(), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("A", "a", 1, 10), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("A", "b", 2, 10), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("A", "c", 3, 10), ERR_OK);
    EXPECT_EQ(GetInt("A", "b"), 2) << "readers see the memory copy at once";
    // No reload from the disk inside a bracket: it would drop the changes.
    EXPECT_EQ(GetInt("A", "c", nullptr, 1), 3);
    EXPECT_EQ(SettgEndUpdate(), ERR_PENDING);
    EXPECT_EQ(ReadFile(path), "[A]\n");
    EXPECT_EQ(Inode(path), before);
    EXPECT_FALSE(kltest::FileExists(path + "_"));
    EXPECT_EQ(SettgEndUpdate(), ERR_OK);
    EXPECT_EQ(ReadFile(path), "[A]\na=1\nb=2\nc=3\n");
    EXPECT_FALSE(kltest::FileExists(path + "_"));
    EXPECT_EQ(SettgEndUpdate(), ERR_NOTINITIALIZED);

    // A change still inside a bracket when the database closes is stored.
    EXPECT_EQ(SettgBeginUpdate(), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("A", "d", 4, 10), ERR_OK);
    EXPECT_EQ(SettgBeExit(), ERR_OK);
    EXPECT_EQ(SettgEndUpdate(), ERR_OK);
    EXPECT_EQ(ReadFile(path), "[A]\na=1\nb=2\nc=3\nd=4\n");
}

TEST(CmpSettings, FurtherFilesTakeTheirSectionsAndProtectionIsKept) {
    TempDir dir;
    std::string master = dir.File("Kestrolink.ini");
    WriteFile(master,
              "[CmpSettings]\n"
              "FileReference.0=Extra.cfg, CmpLog\n"
              "FileReference.1=Locked.cfg,  CmpLocked\n"
              "FileReference.1.IsWriteProtected=1\n");
    WriteFile(dir.File("Extra.cfg"), "[CmpFoo]\nHidden=1\n");
    WriteFile(dir.File("Locked.cfg"), "[CmpLocked]\nk=1\n");
    {
        Database db(master);
        ASSERT_EQ(db.Result(), ERR_OK);
        EXPECT_EQ(ReadFile(dir.File("Extra.cfg")), "[CmpFoo]\nHidden=1\n\n[CmpLog]\n");

        EXPECT_EQ(SettgSetIntValue("CmpLog", "New", 1, 10), ERR_OK);
        EXPECT_EQ(SettgSetIntValue("CmpFoo", "Other", 2, 10), ERR_OK);
        EXPECT_EQ(ReadFile(dir.File("Extra.cfg")), "[CmpFoo]\nHidden=1\n\n[CmpLog]\nNew=1\n");
        EXPECT_NE(ReadFile(master).find("[CmpFoo]\nOther=2\n"), std::string::npos);
        // The filter hides what the further file holds outside its sections.
        RTS_RESULT r = ERR_OK;
        GetInt("CmpFoo", "Hidden", &r);
        EXPECT_EQ(r, ERR_FAILED);

        EXPECT_EQ(GetInt("CmpLocked", "k"), 1);
        EXPECT_EQ(SettgSetIntValue("CmpLocked", "k", 2, 10), ERR_NO_ACCESS_RIGHTS);
        EXPECT_EQ(SettgRemoveKey("CmpLocked", "k"), ERR_NO_ACCESS_RIGHTS);
        EXPECT_EQ(SettgClearComponent("CmpLocked"), ERR_NO_ACCESS_RIGHTS);
        EXPECT_EQ(ReadFile(dir.File("Locked.cfg")), "[CmpLocked]\nk=1\n");
        // A new key of the protected file's section goes to a file that takes
        // every section.
        EXPECT_EQ(SettgSetIntValue("CmpLocked", "n", 2, 10), ERR_OK);
        EXPECT_NE(ReadFile(master).find("[CmpLocked]\nn=2\n"), std::string::npos);
        EXPECT_EQ(ReadFile(dir.File("Locked.cfg")), "[CmpLocked]\nk=1\n");
    }
    // A write-protected master takes no writes at all.
    WriteFile(master, "[CmpSettings]\nIsWriteProtected=1\n");
    Database db(master);
    ASSERT_EQ(db.Result(), ERR_OK);
    EXPECT_EQ(SettgSetIntValue("CmpFoo", "x", 1, 10), ERR_NO_ACCESS_RIGHTS);
    EXPECT_EQ(SettgRemoveKey("CmpSettings", "IsWriteProtected"), ERR_NO_ACCESS_RIGHTS);
    EXPECT_EQ(ReadFile(master), "[CmpSettings]\nIsWriteProtected=1\n");
}

TEST(CmpSettings, RecoversTheSideFileOfAnInterruptedWrite) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    // Crash between deleting the file and renaming the complete "_" file.
    WriteFile(path + "_", "[A]\nx=2\n");
    {
        Database db(path);
        ASSERT_EQ(db.Result(), ERR_OK);
        EXPECT_EQ(GetInt("A", "x"), 2);
        EXPECT_FALSE(kltest::FileExists(path + "_"));
        EXPECT_EQ(ReadFile(path), "[A]\nx=2\n");
    }
    // Crash while the "_" file was written: the old file wins.
    WriteFile(path + "_", "[A]\nx=");
    {
        Database db(path);
        ASSERT_EQ(db.Result(), ERR_OK);
        EXPECT_EQ(GetInt("A", "x"), 2);
        EXPECT_EQ(SettgSetIntValue("A", "x", 3, 10), ERR_OK);
        EXPECT_FALSE(kltest::FileExists(path + "_"));
    }
    EXPECT_EQ(ReadFile(path), "[A]\nx=3\n");
}

TEST(CmpSettings, MissingMasterComesFromTheTemplateAndNamesAreNeverCut) {
    TempDir dir;
    std::string tmpl = ReadFile(std::string(KL_SOURCE_DIR) + "/Components/CmpSettings/Master.cfg");
    ASSERT_FALSE(tmpl.empty());
    // Without a template the database stays closed.
    EXPECT_EQ(SettgSetDatabaseName(dir.File("Runtime").c_str()), ERR_NO_OBJECT);
    char name[8];
    EXPECT_EQ(SettgGetDatabaseName(name, sizeof(name)), ERR_NOTINITIALIZED);
    EXPECT_EQ(GetInt("CM", "CommCycleInterval"), -777);

    WriteFile(dir.File("Master.cfg"), tmpl);
    {
        Database db(dir.File("Runtime"));
        ASSERT_EQ(db.Result(), ERR_OK);
        EXPECT_EQ(ReadFile(dir.File("Runtime.cfg")), tmpl);
        EXPECT_EQ(GetInt("CM", "CommCycleInterval"), 10);
        EXPECT_EQ(GetInt("CmpLog", "Logger.0.Filter"), 0x1002F);
        EXPECT_EQ(GetInt("ComponentManager", "DisablingOperations"), 1);
    }
    // 251 characters + ".cfg" no longer fit the 255-byte name field.
    std::string base = dir.Path() + "/";
    std::string fits = base + std::string(250 - base.size(), 'n');
    std::string tooLong = base + std::string(251 - base.size(), 'n');
    EXPECT_EQ(SettgSetDatabaseName(tooLong.c_str()), ERR_PARAMETER);
    EXPECT_FALSE(kltest::FileExists(tooLong + ".cfg"));
    EXPECT_FALSE(kltest::FileExists((tooLong + ".cfg").substr(0, 254)));
    EXPECT_EQ(SettgSetDatabaseName((base + std::string(300, 'n') + ".ini").c_str()), ERR_PARAMETER);
    Database db(fits);
    ASSERT_EQ(db.Result(), ERR_OK);
    EXPECT_TRUE(kltest::FileExists(fits + ".cfg"));
}

TEST(CmpSettings, RemovesKeysAndClearsComponents) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    WriteFile(path, "[A]\nx=1\n  y = 2 ; c\r\nz=3\n\n[B]\nk=1\n");
    Database db(path);
    ASSERT_EQ(db.Result(), ERR_OK);
    EXPECT_EQ(SettgRemoveKey("a", "Y"), ERR_OK);
    EXPECT_EQ(ReadFile(path), "[A]\nx=1\nz=3\n\n[B]\nk=1\n");
    EXPECT_EQ(SettgRemoveKey("A", "y"), ERR_NO_OBJECT);
    EXPECT_EQ(SettgClearComponent("A"), ERR_OK);
    EXPECT_EQ(ReadFile(path), "[A]\n[B]\nk=1\n");
    RTS_RESULT r = ERR_OK;
    GetInt("A", "x", &r);
    EXPECT_EQ(r, ERR_FAILED);
    EXPECT_EQ(GetInt("B", "k"), 1);
    EXPECT_EQ(SettgClearComponent("C"), ERR_NO_OBJECT);
    EXPECT_EQ(SettgSetIntValue("A", "n", 1, 10), ERR_OK);
    EXPECT_EQ(ReadFile(path), "[A]\nn=1\n[B]\nk=1\n");
}

TEST(CmpSettings, ByteBlocksRoundTripAndBadDigitsStayInBounds) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    WriteFile(path,
              "[Bin]\n"
              "Short=0A000000aabb\n"  // claims 10 bytes, holds 2
              "Odd=03000000aab\n"     // a lone digit does not make a byte
              "NoLength=0300\n"
              "NotHex=zz000000aa\n"
              "Empty=\n"
              "Huge=ffffffff01\n");
    Database db(path);
    ASSERT_EQ(db.Result(), ERR_OK);

    const RTS_UI8 data[5] = {0x00, 0x7F, 0x80, 0xAB, 0xFF};
    ASSERT_EQ(SettgBeSetBinValue("Bin", "Data", data, 5), ERR_OK);
    EXPECT_NE(ReadFile(path).find("Data=05000000007f80abff\n"), std::string::npos);
    RTS_UI8 out[8] = {0};
    RTS_I32 len = 8;
    EXPECT_EQ(SettgBeGetBinValue("Bin", "Data", out, &len), ERR_OK);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(0, memcmp(out, data, 5));

    RTS_UI8 guarded[4] = {0x11, 0x11, 0x11, 0x11};
    len = 3;
    EXPECT_EQ(SettgBeGetBinValue("Bin", "Data", guarded, &len), ERR_BUFFERSIZE);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(guarded[2], 0x80);
    EXPECT_EQ(guarded[3], 0x11) << "wrote past the caller's length";

    len = 8;
    EXPECT_EQ(SettgBeGetBinValue("Bin", "Short", out, &len), ERR_OK);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(out[1], 0xBB);
    len = 8;
    EXPECT_EQ(SettgBeGetBinValue("Bin", "Odd", out, &len), ERR_OK);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(out[0], 0xAA);
    len = 8;
    EXPECT_EQ(SettgBeGetBinValue("Bin", "Huge", out, &len), ERR_OK);
    EXPECT_EQ(len, 1);
    for (const char* key : {"NoLength", "NotHex", "Empty", "Missing"}) {
        len = 8;
        EXPECT_EQ(SettgBeGetBinValue("Bin", key, out, &len), ERR_FAILED) << key;
        EXPECT_EQ(len, 0) << key;
    }
    len = 0;
    EXPECT_EQ(SettgBeGetBinValue("Bin", "Data", guarded, &len), ERR_FAILED);
    EXPECT_EQ(len, 0);
    len = 8;
    EXPECT_EQ(SettgBeGetBinValue("Bin", "Data", nullptr, &len), ERR_OK);
    EXPECT_EQ(len, 5);
}

TEST(CmpSettings, WideTextsRoundTripWithEveryCharacter) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    WriteFile(path, "[W]\nPlain=a\\00b\\00\nLoose=xy\n");
    Database db(path);
    ASSERT_EQ(db.Result(), ERR_OK);

    RTS_RESULT r = ERR_FAILED;
    EXPECT_EQ(GetWide("W", "Plain", 16, &r), u"ab");
    EXPECT_EQ(r, ERR_OK);
    EXPECT_EQ(GetWide("W", "Loose", 16, &r), u"xy");

    const std::u16string text = u" A;\"[]\\=\t\x4E2D\x00FF end ";
    const auto* pText = reinterpret_cast<const RTS_WCHAR*>(text.c_str());
    ASSERT_EQ(SettgSetWStringValue("W", "Text", pText, static_cast<RTS_I32>(text.size())), ERR_OK);
    std::string file = ReadFile(path);
    std::string line = file.substr(file.find("Text="));
    line = line.substr(0, line.find('\n'));
    EXPECT_EQ(line.find_first_of(";\"[]", 0), std::string::npos) << line;
    EXPECT_NE(line.find("A\\00"), std::string::npos);
    EXPECT_NE(line.find("\\2d\\4e"), std::string::npos);
    EXPECT_EQ(GetWide("W", "Text", 64, &r), text);
    EXPECT_EQ(r, ERR_OK);

    // Cut with a terminator; size 0 writes nothing.
    EXPECT_EQ(GetWide("W", "Text", 4, &r), text.substr(0, 3));
    EXPECT_EQ(r, ERR_BUFFERSIZE);
    EXPECT_EQ(GetWide("W", "Text", 0, &r), u"");
    EXPECT_EQ(r, ERR_BUFFERSIZE);

    ino_t before = Inode(path);
    EXPECT_EQ(SettgSetWStringValue("W", "Text", pText, static_cast<RTS_I32>(text.size())), ERR_OK);
    EXPECT_EQ(Inode(path), before);

    const RTS_WCHAR def[] = {'d', 0};
    RTS_WCHAR out[4] = {0};
    RTS_I32 len = 4;
    EXPECT_EQ(SettgGetWStringValue("W", "Missing", out, &len, def, 0), ERR_FAILED);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(out[0], 'd');
}

TEST(CmpSettings, WritersOnTwoThreadsLoseNothing) {
    TempDir dir;
    std::string path = dir.File("Kestrolink.ini");
    WriteFile(path, "[T]\n");
    Database db(path);
    ASSERT_EQ(db.Result(), ERR_OK);
    auto writer = [](const char* prefix) {
        for (int i = 0; i < 20; ++i) {
            char key[32];
            snprintf(key, sizeof(key), "%s%d", prefix, i);
            SettgSetIntValue("T", key, i, 10);
        }
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();
    for (int i = 0; i < 20; ++i) {
        char key[32];
        snprintf(key, sizeof(key), "a%d", i);
        EXPECT_EQ(GetInt("T", key, nullptr, 1), i);
        snprintf(key, sizeof(key), "b%d", i);
        EXPECT_EQ(GetInt("T", key, nullptr, 1), i);
    }
}

// ---- Inside a runtime ---------------------------------------------------------

std::vector<std::string> g_logLines;
PF_REGISTER_API g_pfFakeLogRegister = nullptr;

RTS_RESULT FakeLogAdd(RTS_HANDLE, RTS_UI32 CmpId, RTS_UI32, RTS_RESULT, RTS_UI32, const char* pszInfo, ...) {
    char text[256];
    va_list args;
    va_start(args, pszInfo);
    vsnprintf(text, sizeof(text), pszInfo, args);
    va_end(args);
    g_logLines.push_back(std::to_string(CmpId) + ":" + text);
    return ERR_OK;
}

RTS_RESULT FakeLogExport(void) {
    PFLogAdd pf = FakeLogAdd;
    return g_pfFakeLogRegister("LogAdd", reinterpret_cast<RTS_VOID_FCTPTR>(pf), 0, SIG_LogAdd);
}
RTS_RESULT FakeLogImport(void) {
    return ERR_OK;
}
RTS_UI32 FakeLogVersion(void) {
    return 0x03051114u;
}
RTS_RESULT FakeLogHook(RTS_UI32, RTS_UINTPTR, RTS_UINTPTR) {
    return ERR_OK;
}

RTS_RESULT FakeLog__Entry(INIT_STRUCT* p) {
    p->CmpId = CMPID_CmpLog;
    p->pfExportFunctions = FakeLogExport;
    p->pfImportFunctions = FakeLogImport;
    p->pfGetVersion = FakeLogVersion;
    p->pfHookFunction = FakeLogHook;
    g_pfFakeLogRegister = p->pfCMRegisterAPI;
    return ERR_OK;
}

std::vector<std::string> g_poolLines;
void PoolLog(RTS_UI32, RTS_RESULT, const char* pszText) {
    g_poolLines.push_back(pszText);
}

TEST(CmpSettings, RuntimeOpensTheDatabaseWithPooledRecordsAndClosesIt) {
    TempDir dir;
    std::string master = dir.File("Kestrolink.ini");
    WriteFile(master,
              "[CmpSettings]\nSplitDatabases=1\nFileReference.0=Extra.cfg\nFileReference.1=More.cfg\n"
              "[CM]\nCommCycleInterval=20\n");
    const StaticComponent list[] = {
        {"CmpMemPool", CmpMemPool__Entry, 1},
        {"CmpSettings", CmpSettings__Entry, 1},
        {"CmpLog", FakeLog__Entry, 0},
        {nullptr, nullptr, 0},
    };
    g_logLines.clear();
    g_poolLines.clear();
    MemPoolSetLogHook(PoolLog);
    ASSERT_EQ(CMInit2(master.c_str(), list, 0), ERR_OK);

    RTS_VOID_FCTPTR pf = nullptr;
    ASSERT_EQ(CMGetAPI("SettgGetIntValue", &pf, SIG_SettgGetIntValue), ERR_OK);
    RTS_I32 value = 0;
    EXPECT_EQ(reinterpret_cast<PFSettgGetIntValue>(pf)("CM", "CommCycleInterval", &value, 10, 0), ERR_OK);
    EXPECT_EQ(value, 20);
    // Three open files take more records than the pool's static area holds.
    EXPECT_TRUE(kltest::FileExists(dir.File("More.cfg")));
    EXPECT_EQ(SettgSetIntValue("CmpNew", "k", 1, 10), ERR_OK);
    bool bLogged = false;
    for (const std::string& line : g_logLines) {
        bLogged = bLogged || line == "26:Setting SplitDatabases is no longer supported.";
    }
    EXPECT_TRUE(bLogged);

    EXPECT_EQ(CMExit(), ERR_OK);
    MemPoolSetLogHook(nullptr);
    char name[8];
    EXPECT_EQ(SettgGetDatabaseName(name, sizeof(name)), ERR_NOTINITIALIZED);
    for (const std::string& line : g_poolLines) {
        EXPECT_EQ(line.find("Cmp=CmpSettings"), std::string::npos) << line;
    }
}

}  // namespace
