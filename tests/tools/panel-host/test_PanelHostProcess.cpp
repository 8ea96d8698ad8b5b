// panel-host as a program: its exit codes for bad requests and a missing
// library, a controller that is not there, and (against the emulator) the
// sample project's demo requests end to end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ProgramRunner.h"
#include "TestSupport.h"

using namespace kltest;

namespace {
const unsigned kRunLimitMs = 120000;

// A copy of the sample project: the driver writes its GB2312 copy and index
// cache next to the tag file.
std::string CopyProject(const TempDir& dir) {
    std::string project = dir.File("project");
    std::string ethernet = project + "/Ethernet";
    EXPECT_EQ(system(("mkdir -p '" + ethernet + "' '" + dir.File("charset") + "'").c_str()), 0);
    WriteFile(ethernet + "/drv_4096.csv", ReadFile(KL_SOURCE_DIR "/examples/project/Ethernet/drv_4096.csv"));
    return project;
}

ProgramResult PanelHost(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), KL_PANELHOST_BINARY);
    args.insert(args.begin() + 1, {"--lib", KL_LIBKESTROLINK_PATH, "--charset-root", dir.File("charset")});
    return RunProgram(args, dir.Path(), {}, dir.File("panel-host.out"), kRunLimitMs);
}

bool Has(const ProgramResult& r, const std::string& text) {
    return r.output.find(text) != std::string::npos;
}
}  // namespace

TEST(PanelHostProgram, BadRequestsAndMissingLibraryAreRefusedBeforeInit) {
    TempDir dir;
    WriteFile(dir.File("bad.txt"), "rd 4 0 16 1\nwr 4 0 16 1 99999\n");
    ProgramResult r =
        PanelHost(dir, {"--plc", "127.0.0.1:1", "--project", dir.Path(), "--script", dir.File("bad.txt")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r, "bad.txt:2: \"99999\" is not a value of a 16-bit register")) << r.output;
    EXPECT_FALSE(Has(r, "Init")) << r.output;

    r = PanelHost(dir, {"--plc", "127.0.0.1:1", "--project", dir.Path(), "rd 4 0 16"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r, "request 1 (\"rd 4 0 16\"): an item needs TAG ADDR TYPE WIDTH")) << r.output;

    r = PanelHost(dir, {"--plc", "127.0.0.1:1"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r, "--project DIR is required")) << r.output;

    r = RunProgram({KL_PANELHOST_BINARY, "--lib", dir.File("nothing.so"), "--plc", "127.0.0.1:1", "--project",
                    dir.Path(), "rd 4 0 16 1"},
                   dir.Path(), {}, dir.File("out2"), kRunLimitMs);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(Has(r, "cannot load the driver library")) << r.output;
}

TEST(PanelHostProgram, UnreachableControllerFailsTheRequestsAndEnds) {
    TempDir dir;
    std::string project = CopyProject(dir);
    std::string plc = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    ProgramResult r = PanelHost(dir, {"--plc", plc, "--project", project, "rd 4 0 16 1", "wr 4 0 16 1 5"});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_TRUE(Has(r, "Init -> PLC_OK")) << r.output;
    EXPECT_TRUE(Has(r, "Info -> PLC_OK")) << r.output;
    EXPECT_TRUE(Has(r, "RdOne -> PLC_ERROR")) << r.output;
    EXPECT_TRUE(Has(r, "Destroy -> PLC_OK")) << r.output;
    EXPECT_TRUE(Has(r, "2 requests, 2 failed")) << r.output;
}

// Needs the V3 device client and the driver's tag table: the demo panel's
// reads, writes and read-backs of every kind against the emulator.
TEST(PanelHostProgram, SampleProjectRequestsAgainstTheEmulator) {
    TempDir dir;
    std::string project = CopyProject(dir);
    ChildEmulator emulator;
    ASSERT_TRUE(emulator.Start(KL_EMULATOR_BINARY,
                               {"--symbols", KL_SOURCE_DIR "/examples/symbols/SampleApp.xml"},
                               dir.File("emulator.out")))
        << ReadFile(dir.File("emulator.out"));
    std::string plc = "127.0.0.1:" + std::to_string(emulator.Port());
    ProgramResult r = PanelHost(dir, {"--plc", plc, "--project", project, "--script",
                                      KL_SOURCE_DIR "/examples/project/panel-demo.txt"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(Has(r, "MISMATCH")) << r.output;
    EXPECT_TRUE(Has(r, ", 0 failed")) << r.output;
    // The string written as two characters reads back as text.
    EXPECT_TRUE(Has(r, "text 'Hi'")) << r.output;
    // The driver's files stay in the project copy and the character-set root.
    EXPECT_TRUE(FileExists(project + "/Ethernet/drv_4096_gb.csv"));
}
