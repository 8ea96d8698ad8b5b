// Runs the project's programs as child processes for the tools' tests: a
// program with its output captured in a file, and kestrolink-emulator on a
// free loopback port. Every wait is bounded; children end by their PID.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kltest {

struct ProgramResult {
    int exitCode = -1;   // -1: did not exit by itself (killed at the time limit) or did not start
    std::string output;  // standard output and standard error, interleaved
};

// Runs argv[0] (through the cross-build launcher, if any) in folder cwd with
// extra "NAME=VALUE" environment entries; output goes to outputFile.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env, const std::string& outputFile,
                         unsigned ulTimeoutMs);

// A loopback port where nothing listens (bound once, then released).
uint16_t ClosedLoopbackPort();

class ChildEmulator {
public:
    ~ChildEmulator();
    // Starts the emulator on 127.0.0.1:0 with the extra arguments and reads
    // its port from the startup line; false when it did not come up in time.
    bool Start(const std::string& binary, const std::vector<std::string>& args,
               const std::string& outputFile);
    void Stop();
    uint16_t Port() const { return m_usPort; }

private:
    pid_t m_pid = -1;
    uint16_t m_usPort = 0;
};

}  // namespace kltest
