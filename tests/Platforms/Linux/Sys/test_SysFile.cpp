// File wrappers: round trip, rename over an existing file, missing files.
#include <gtest/gtest.h>

#include "SysFile.h"
#include "TestSupport.h"

TEST(SysFile, WriteReadRenameCopyDelete) {
    kltest::TempDir dir;
    std::string a = dir.File("a.txt");
    RTS_RESULT r = ERR_FAILED;
    RTS_HANDLE h = SysFileOpen(a.c_str(), AM_WRITE, &r);
    ASSERT_EQ(r, ERR_OK);
    EXPECT_EQ(SysFileWrite(h, "hello", 5, &r), 5u);
    EXPECT_EQ(SysFileFlush(h), ERR_OK);
    EXPECT_EQ(SysFileClose(h), ERR_OK);
    EXPECT_EQ(SysFileGetSize(a.c_str(), &r), 5u);

    std::string b = dir.File("b.txt");
    kltest::WriteFile(b, "old contents");
    EXPECT_EQ(SysFileRename(a.c_str(), b.c_str()), ERR_OK);
    EXPECT_EQ(kltest::ReadFile(b), "hello");
    EXPECT_EQ(SysFileExists(a.c_str()), ERR_NO_OBJECT);

    RTS_SIZE copied = 0;
    EXPECT_EQ(SysFileCopy(a.c_str(), b.c_str(), &copied), ERR_OK);
    EXPECT_EQ(copied, 5u);
    EXPECT_EQ(kltest::ReadFile(a), "hello");

    char buf[16] = {0};
    h = SysFileOpen(a.c_str(), AM_READ, &r);
    EXPECT_EQ(SysFileRead(h, buf, sizeof(buf), &r), 5u);
    SysFileClose(h);
    EXPECT_STREQ(buf, "hello");

    EXPECT_EQ(SysFileDelete(a.c_str()), ERR_OK);
    EXPECT_EQ(SysFileDelete(a.c_str()), ERR_NO_OBJECT);
    h = SysFileOpen(a.c_str(), AM_READ, &r);
    EXPECT_EQ(h, RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_NO_OBJECT);
    EXPECT_EQ(SysFileClose(RTS_INVALID_HANDLE), ERR_PARAMETER);
}
