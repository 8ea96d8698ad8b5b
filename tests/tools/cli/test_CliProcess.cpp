// The kestrolink program as a script sees it: its exit codes and messages
// for a bad command line, an unreachable controller, and (against the
// emulator) reads, writes, an unknown variable and a refused login.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProgramRunner.h"
#include "TestSupport.h"

using namespace kltest;

namespace {
const unsigned kRunLimitMs = 60000;

ProgramResult Cli(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), KL_CLI_BINARY);
    // The SDK's runtime writes its log into the working folder.
    return RunProgram(args, dir.Path(), {}, dir.File("cli.out"), kRunLimitMs);
}

bool Has(const ProgramResult& r, const std::string& text) {
    return r.output.find(text) != std::string::npos;
}
}  // namespace

TEST(CliProgram, UsageErrorsExitWithTwoAndSayWhy) {
    TempDir dir;
    ProgramResult r = Cli(dir, {});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r, "no command given")) << r.output;
    r = Cli(dir, {"read", "--plc", "127.0.0.1", "SampleApp.GVL.x:FOO"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r, "unknown type \"FOO\"")) << r.output;
    r = Cli(dir, {"write", "--plc", "127.0.0.1", "SampleApp.GVL.iCounter:INT=70000"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r, "70000 is out of range for INT")) << r.output;
    r = Cli(dir, {"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(Has(r, "exit codes")) << r.output;
}

TEST(CliProgram, ClosedPortExitsUnreachableWithAMessage) {
    TempDir dir;
    std::string plc = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    for (const char* pszCommand : {"read", "write", "info"}) {
        std::vector<std::string> args = {pszCommand, "--plc", plc, "--timeout", "300"};
        if (std::string(pszCommand) == "read") {
            args.push_back("SampleApp.GVL.iCounter:INT");
        } else if (std::string(pszCommand) == "write") {
            args.push_back("SampleApp.GVL.iCounter:INT=1");
        }
        ProgramResult r = Cli(dir, args);
        EXPECT_EQ(r.exitCode, 3) << pszCommand << ": " << r.output;
        EXPECT_TRUE(Has(r, "cannot reach the controller at " + plc)) << r.output;
    }
}

// Needs the V3 device client: connects, reads and writes through the emulator.
TEST(CliProgram, ReadsWritesAndNamesUnknownVariablesAgainstTheEmulator) {
    TempDir dir;
    ChildEmulator emulator;
    ASSERT_TRUE(emulator.Start(KL_EMULATOR_BINARY,
                               {"--symbols", KL_SOURCE_DIR "/examples/symbols/SampleApp.xml"},
                               dir.File("emulator.out")))
        << ReadFile(dir.File("emulator.out"));
    std::string plc = "127.0.0.1:" + std::to_string(emulator.Port());

    ProgramResult r = Cli(dir, {"write", "--plc", plc, "SampleApp.GVL.iCounter:INT=-42",
                                "SampleApp.GVL.sMessage:STRING(80)=hello", "SampleApp.GVL.rSpeed:REAL=2.5",
                                "SampleApp.GVL.tCycleTime:TIME=T#1m30s", "SampleApp.GVL.xStart:BOOL=TRUE"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = Cli(dir, {"read", "--plc", plc, "SampleApp.GVL.iCounter:INT", "SampleApp.GVL.sMessage:STRING(80)",
                  "SampleApp.GVL.rSpeed:REAL", "SampleApp.GVL.tCycleTime:TIME", "SampleApp.GVL.xStart:BOOL",
                  "SampleApp.GVL.iCounter:RAW(2)"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(Has(r, "SampleApp.GVL.iCounter : INT = -42")) << r.output;
    EXPECT_TRUE(Has(r, "SampleApp.GVL.sMessage : STRING(80) = 'hello'")) << r.output;
    EXPECT_TRUE(Has(r, "SampleApp.GVL.rSpeed : REAL = 2.5")) << r.output;
    EXPECT_TRUE(Has(r, "SampleApp.GVL.tCycleTime : TIME = T#1m30s")) << r.output;
    EXPECT_TRUE(Has(r, "SampleApp.GVL.xStart : BOOL = TRUE")) << r.output;
    EXPECT_TRUE(Has(r, "SampleApp.GVL.iCounter : RAW(2) = D6 FF  (INT -42 / UINT 65494)")) << r.output;

    r = Cli(dir, {"read", "--plc", plc, "SampleApp.GVL.iCounter:INT", "SampleApp.GVL.noSuchVariable:INT"});
    EXPECT_EQ(r.exitCode, 5) << r.output;
    EXPECT_TRUE(Has(r, "does not know the variable SampleApp.GVL.noSuchVariable")) << r.output;
    EXPECT_FALSE(Has(r, "does not know the variable SampleApp.GVL.iCounter")) << r.output;

    // Without symbols and without a type the tool says how to give one.
    r = Cli(dir, {"read", "--plc", plc, "SampleApp.GVL.iCounter"});
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_TRUE(Has(r, "the type of SampleApp.GVL.iCounter is unknown")) << r.output;

    r = Cli(dir, {"info", "--plc", plc});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    // The identification the connection read from the controller.
    EXPECT_TRUE(Has(r, "node name:       KestrolinkEmulator")) << r.output;
    EXPECT_TRUE(Has(r, "vendor:          Kestrolink")) << r.output;
    EXPECT_TRUE(Has(r, "version:         3.5.17.20")) << r.output;
    EXPECT_TRUE(Has(r, "serial number:   KLEMU-0001")) << r.output;
}

// Needs the V3 device client's login.
TEST(CliProgram, RefusedLoginExitsWithFour) {
    TempDir dir;
    ChildEmulator emulator;
    ASSERT_TRUE(emulator.Start(KL_EMULATOR_BINARY,
                               {"--symbols", KL_SOURCE_DIR "/examples/symbols/SampleApp.xml", "--user",
                                "admin", "--password", "secret"},
                               dir.File("emulator.out")))
        << ReadFile(dir.File("emulator.out"));
    std::string plc = "127.0.0.1:" + std::to_string(emulator.Port());
    ProgramResult r = Cli(
        dir, {"read", "--plc", plc, "--user", "admin", "--password", "wrong", "SampleApp.GVL.iCounter:INT"});
    EXPECT_EQ(r.exitCode, 4) << r.output;
    EXPECT_TRUE(Has(r, "refused the login")) << r.output;
    r = Cli(dir,
            {"read", "--plc", plc, "--user", "admin", "--password", "secret", "SampleApp.GVL.iCounter:INT"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
}
