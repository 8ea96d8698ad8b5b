// kestrolink-emulator: a stand-in Malvora V3 controller for tests and
// development. Runs until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <string>

#include "Emulator.h"
#include "EmulatorOptions.h"
#include "SysTask.h"

namespace {
volatile std::sig_atomic_t g_bStop = 0;
void OnSignal(int) {
    g_bStop = 1;
}
}  // namespace

int main(int argc, char** argv) {
    klemu::EmulatorOptions options;
    std::string error;
    if (!klemu::ParseEmulatorOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "kestrolink-emulator: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.bHelp) {
        fputs(klemu::EmulatorUsage().c_str(), stdout);
        return 0;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    klemu::Emulator emulator(options);
    if (!emulator.Start(&error)) {
        fprintf(stderr, "kestrolink-emulator: %s\n", error.c_str());
        return 1;
    }
    printf("%s\n", emulator.StartupLine().c_str());
    fflush(stdout);
    while (g_bStop == 0) {
        SysTaskWaitSleep(nullptr, 50);
    }
    emulator.Stop();
    return 0;
}
