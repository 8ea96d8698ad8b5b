// The tag table: the UTF-8 tag file converted to GB2312 and loaded by Id,
// the names built from records and requests, the index cache on disk, the
// value conversions towards the panel, and the character-set installer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "DriverTestSupport.h"
#include "charset.h"
#include "plc_driver.h"
#include "tag_rw.h"
#include "tag_table.h"

using namespace plc_driver;

namespace {
std::string Name(const char* in, int type, int isArray, uint32_t addr, int* pRet) {
    char buf[kTagNameSize] = {};
    std::snprintf(buf, sizeof(buf), "%s", in);
    *pRet = check_name(buf, type, isArray, addr);
    return buf;
}

std::string Indexed(const char* in, uint16_t p, uint32_t value, int* pRet) {
    char buf[kTagNameSize] = {};
    std::snprintf(buf, sizeof(buf), "%s", in);
    *pRet = check_name_index(buf, p, value);
    return buf;
}
}  // namespace

TEST(TagTable, LoaderPlacesRecordsByIdAndRefusesWhatDoesNotFit) {
    kltest::TempDir project;
    ASSERT_EQ(drvtest::LoadTags(project, ""), 0);
    EXPECT_EQ(num, 1);
    EXPECT_EQ(init_flag, 1);
    // The copy's header is the fixed one, whatever the original had.
    std::string gb = kltest::ReadFile(project.Path() + "/Ethernet/drv_4096_gb.csv");
    EXPECT_EQ(gb.size(), 73u);

    std::string longType(40, 'T');
    ASSERT_EQ(drvtest::LoadTags(project,
                                "1,GVL.a,INT,0,0,0,,,,\r\n"
                                "2,GVL.s,STRING,1,0,20,,,,\r\n"
                                "5,GVL.arr,DINT,1,2,9,,,,\r\n"
                                "16777216,GVL.huge,INT,0,0,0\r\n"
                                "3,GVL.back," +
                                    longType + ",0,0,4\r\n7,GVL.short,INT\r\n7,GVL.full,INT,0,0,1\r\n"),
              0);
    ASSERT_EQ(num, 8);  // 1, 2, 5, the Id 3 line at 6; the incomplete 7 overwritten
    EXPECT_STREQ(struct_tag_List_pointer[1]._name_t, "GVL.a");
    EXPECT_STREQ(struct_tag_List_pointer[2]._type_t, "STRING");
    EXPECT_EQ(struct_tag_List_pointer[2].isArray, 1);
    EXPECT_EQ(struct_tag_List_pointer[2].Array_end[0], 20u);
    for (int gap : {0, 3, 4}) {
        EXPECT_STREQ(struct_tag_List_pointer[gap]._name_t, "") << gap;
        EXPECT_EQ(struct_tag_List_pointer[gap].Tag_Addr, 0u) << gap;
    }
    EXPECT_EQ(struct_tag_List_pointer[5].Tag_Addr, 5u);
    EXPECT_EQ(struct_tag_List_pointer[5].Array_start[0], 2u);
    EXPECT_EQ(struct_tag_List_pointer[5].Array_end[0], 9u);
    // Ids never move backwards: the Id 3 line went to the next free position.
    EXPECT_EQ(struct_tag_List_pointer[6].Tag_Addr, 3u);
    EXPECT_STREQ(struct_tag_List_pointer[6]._name_t, "GVL.back");
    EXPECT_EQ(std::strlen(struct_tag_List_pointer[6]._type_t), 15u);
    EXPECT_STREQ(struct_tag_List_pointer[7]._name_t, "GVL.full");
    EXPECT_EQ(struct_tag_List_pointer[7].Tag_Addr, 7u);

    // A GB2312 name: the UTF-8 file's name arrives converted, byte for byte.
    ASSERT_EQ(drvtest::LoadTags(project, "1,GVL.\xe6\xb8\xa9\xe5\xba\xa6,INT,0,0,0\r\n"), 0);
    EXPECT_STREQ(struct_tag_List_pointer[1]._name_t, "GVL.\xce\xc2\xb6\xc8");
    // A line that is not UTF-8 stops the conversion with 4.
    kltest::WriteFile(project.Path() + "/Ethernet/drv_4096.csv", "h\r\n1,GVL.\xff\xfe,INT,0,0,0\r\n");
    EXPECT_EQ(csv_utf8_gb2312(), 4);

    // Missing file: 3 and not loaded; ports 4..4095 touch nothing at all.
    kltest::TempDir empty;
    std::snprintf(global_structure.PlcDir, sizeof(global_structure.PlcDir), "%s", empty.Path().c_str());
    EXPECT_EQ(csv_utf8_gb2312(), 3);
    EXPECT_EQ(Malvora_TAG_Init_new(), 3);
    EXPECT_EQ(init_flag, 0);
    global_structure._no = 100;
    EXPECT_EQ(Malvora_TAG_Init_new(), 3);
    struct stat st;
    EXPECT_NE(stat((empty.Path() + "/Ethernet").c_str(), &st), 0);
    // A project folder too long for a path is refused the same way.
    global_structure._no = 4096;
    std::snprintf(global_structure.PlcDir, sizeof(global_structure.PlcDir), "%s/%s", empty.Path().c_str(),
                  std::string(250, 'x').c_str());
    char path[kTagPathSize];
    EXPECT_TRUE(BuildTagFilePath(path, sizeof(path), TagFile::Gb2312));
    EXPECT_FALSE(BuildTagFilePath(path, 40, TagFile::Gb2312));
    EXPECT_STREQ(path, "");
}

TEST(TagTable, NameBuildersAppendElementsAndSubstituteIndexes) {
    int ret = -1;
    EXPECT_EQ(Name("GVL.arr", 5, 1, 5, &ret), "GVL.arr[5]");
    EXPECT_EQ(Name("GVL.m[1]", 8, 1, 7, &ret), "GVL.m[1,7]");
    EXPECT_EQ(Name("GVL.c[1:2]", 8, 1, 7, &ret), "GVL.c[1,2,7]");
    EXPECT_EQ(Name("GVL.n[-3]", 8, 1, 0, &ret), "GVL.n[-3,0]");
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(Name("GVL.a:b", 5, 0, 9, &ret), "GVL.a,b");
    EXPECT_EQ(Name("GVL.s", TYPE_STRING, 1, 3, &ret), "GVL.s");
    EXPECT_EQ(Name("GVL.w", TYPE_WSTRING, 1, 3, &ret), "GVL.w");
    EXPECT_EQ(ret, 0);
    // Three leading indexes, unreadable ones, or a result beyond 255: refused, name untouched.
    for (const char* bad : {"GVL.c[1:2:3]", "GVL.c[i]", "GVL.c[]", "GVL.c[1,,2]"}) {
        EXPECT_EQ(Name(bad, 8, 1, 7, &ret), bad);
        EXPECT_EQ(ret, 3) << bad;
    }
    std::string longName(250, 'n');
    EXPECT_EQ(Name(longName.c_str(), 8, 1, 4000000000u, &ret), longName);
    EXPECT_EQ(ret, 3);

    EXPECT_EQ(Indexed("GVL.arr[3].x", 1, 7, &ret), "GVL.arr[7].x");
    EXPECT_EQ(Indexed("GVL.m[1:2].x", 1, 7, &ret), "GVL.m[1,7].x");
    EXPECT_EQ(Indexed("GVL.a[1].b[2].c", 2, 9, &ret), "GVL.a[9].b[2].c");
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(Indexed("GVL.plain.x", 1, 7, &ret), "GVL.plain.x");
    EXPECT_EQ(ret, 3);
    EXPECT_EQ(Indexed("GVL.arr[3].x", 4, 7, &ret), "GVL.arr[3].x");
    EXPECT_EQ(ret, 3);
    std::string tail = "G.a[1]." + std::string(247, 't');
    EXPECT_EQ(Indexed(tail.c_str(), 1, 65535, &ret), tail);
    EXPECT_EQ(ret, 3);
}

TEST(TagTable, IndexCacheAnswersRepeatedLookupsAndFallsBackToTheTable) {
    kltest::TempDir project;
    ASSERT_EQ(drvtest::LoadTags(project, "1,GVL.a[1].x,INT,0,0,0\r\n2,GVL.a[2].x,INT,0,0,0\r\n"), 0);
    std::string dir = project.Path() + "/Ethernet/Index_ID_4096";
    uint32_t id = 1;
    Index_name_to_ID("GVL.a[2].x", &id, 1, 2);
    EXPECT_EQ(id, 2u);
    std::string rec = kltest::ReadFile(dir + "/1_1_2");
    ASSERT_EQ(rec.size(), 32u);
    EXPECT_EQ(rec, std::string("2") + std::string(31, '\0'));

    // The second lookup reads the file, not the table.
    std::strcpy(struct_tag_List_pointer[2]._name_t, "renamed");
    id = 1;
    Index_name_to_ID("GVL.a[2].x", &id, 1, 2);
    EXPECT_EQ(id, 2u);

    // Nothing matched: 0, kept as 32 NUL bytes.
    id = 1;
    Index_name_to_ID("GVL.none", &id, 1, 9);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(kltest::ReadFile(dir + "/1_1_9"), std::string(32, '\0'));

    // A short or out-of-range record is not trusted: the table decides.
    kltest::WriteFile(dir + "/1_1_3", "2");
    kltest::WriteFile(dir + "/1_1_4", std::string("99") + std::string(30, '\0'));
    id = 1;
    Index_name_to_ID("GVL.a[1].x", &id, 1, 3);
    EXPECT_EQ(id, 1u);
    id = 1;
    Index_name_to_ID("GVL.a[1].x", &id, 1, 4);
    EXPECT_EQ(id, 1u);

    // Every load empties the cache folder.
    kltest::WriteFile(project.Path() + "/Ethernet/drv_4096.csv", "h\r\n1,GVL.b,INT,0,0,0\r\n");
    ASSERT_EQ(csv_utf8_gb2312(), 0);
    ASSERT_EQ(Malvora_TAG_Init_new(), 0);
    EXPECT_FALSE(kltest::FileExists(dir + "/1_1_2"));
    struct stat st;
    EXPECT_EQ(stat(dir.c_str(), &st), 0);
}

TEST(TagTable, ValuesConvertIntoThePanelsRegistersWithinBothBounds) {
    uint8_t out[16];
    PLC_DRV_BUFF buff{1, out};
    const uint8_t sint[1] = {0xFE};
    std::memset(out, 0xAA, sizeof(out));
    ASSERT_TRUE(ConvertValue(sint, 1, TYPE_SINT, 2, 0, &buff, 0, 1));
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(out[1], 0xFF);
    const uint8_t usint[1] = {254};
    ASSERT_TRUE(ConvertValue(usint, 1, TYPE_USINT, 2, 0, &buff, 0, 1));
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(out[1], 0x00);

    // A value shorter than the request: the copy stops at the value's end.
    std::memset(out, 0xAA, sizeof(out));
    const uint8_t ints[4] = {1, 2, 3, 4};
    buff.length = 4;
    ASSERT_TRUE(ConvertValue(ints, 4, 5, 2, 0, &buff, 0, 4));
    EXPECT_EQ(std::memcmp(out, ints, 4), 0);
    EXPECT_EQ(out[4], 0xAA);
    ASSERT_TRUE(ConvertValue(ints, 4, 5, 4, 0, &buff, 3, 1));  // element 3 of a 4-byte register
    EXPECT_EQ(std::memcmp(out + 12, ints, 4), 0);
    EXPECT_FALSE(ConvertValue(ints, 4, 5, 3, 0, &buff, 0, 1));

    const char text[] = "ABCDEF";
    std::memset(out, 0xAA, sizeof(out));
    buff.length = 10;
    ConvertValue(reinterpret_cast<const uint8_t*>(text), sizeof(text), TYPE_STRING, 2, 2, &buff, 0, 10);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "CDEF");
    buff.length = 3;  // the panel's capacity bounds the copy
    std::memset(out, 0xAA, sizeof(out));
    ConvertValue(reinterpret_cast<const uint8_t*>(text), sizeof(text), TYPE_STRING, 2, 0, &buff, 0, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "ABC\xAA");
    std::memset(out, 0xAA, sizeof(out));
    ConvertValue(reinterpret_cast<const uint8_t*>(text), sizeof(text), TYPE_STRING, 2, 7, &buff, 0, 3);
    ConvertValue(reinterpret_cast<const uint8_t*>(text), sizeof(text), TYPE_WSTRING, 2, 4, &buff, 0, 3);
    EXPECT_EQ(out[0], 0xAA);  // an offset at or beyond the value copies nothing

    // Bits: bit 0 of each value byte, packed; round trip through the panel's form.
    const uint8_t bools[10] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 1};
    std::memset(out, 0xAA, sizeof(out));
    buff.length = 10;
    ConvertValue(bools, sizeof(bools), TYPE_BOOL, 0, 0, &buff, 0, 10);
    EXPECT_EQ(out[0], 0x0D);
    EXPECT_EQ(out[1], 0x03);
    Bit2Byte(&buff);
    EXPECT_EQ(std::memcmp(out, bools, sizeof(bools)), 0);
    Byte2Bit(&buff, out);
    EXPECT_EQ(out[0], 0x0D);
    EXPECT_EQ(out[1] & 0x03, 0x03);
}

TEST(TagTable, CharsetFilesAreInstalledOnceAndNeverOverwritten) {
    kltest::TempDir root;
    std::string previous = CharsetInstallRoot();
    SetCharsetInstallRoot(root.Path());
    Init_File_GB();
    Init_File_GB_usr();
    for (const char* sub : {"/lib/gconv/", "/usr/lib/gconv/"}) {
        for (const CharsetFile& file : kCharsetFiles) {
            std::string path = root.Path() + sub + file.pszName;
            if (file.size == 0) {
                EXPECT_FALSE(kltest::FileExists(path)) << path;
                continue;
            }
            std::string data = kltest::ReadFile(path);
            ASSERT_EQ(data.size(), file.size) << path;
            EXPECT_EQ(std::memcmp(data.data(), file.pData, file.size), 0) << path;
            EXPECT_FALSE(kltest::FileExists(path + ".kltmp"));
        }
    }
    kltest::WriteFile(root.Path() + "/lib/gconv/gconv-modules", "mine");
    EXPECT_EQ(InstallCharsetFiles(root.Path() + "/lib/gconv"), 0);
    EXPECT_EQ(kltest::ReadFile(root.Path() + "/lib/gconv/gconv-modules"), "mine");
    // The modules list names the GB2312 converter that is installed beside it.
    if (kCharsetFiles[1].size != 0) {
        std::string modules(reinterpret_cast<const char*>(kCharsetFiles[1].pData), kCharsetFiles[1].size);
        EXPECT_NE(modules.find("GB2312"), std::string::npos);
    }
    SetCharsetInstallRoot(previous);
}
