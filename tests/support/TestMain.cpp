// Test entry: GoogleTest with a fixed seed and no output buffering, so that
// a test that hangs shows where.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    // The panel driver installs its character-set files under "/" unless told
    // otherwise; no test (nor a program a test starts) may touch the machine's
    // folders, so every test process points it into the build tree. A test
    // that needs another root sets its own.
    setenv("KESTROLINK_CHARSET_ROOT", KL_TEST_CHARSET_ROOT, 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
