// kestrolink: read and write controller variables from a shell, identify a
// controller and scan for controllers, over the SDK's public C interface.
#include <cstdio>
#include <string>

#include "CliOptions.h"

namespace klcli {
int RunCli(const CliOptions& options);
}

int main(int argc, char** argv) {
    klcli::CliOptions options;
    std::string error;
    if (!klcli::ParseCliArgs(argc, argv, &options, &error)) {
        std::fprintf(stderr, "kestrolink: %s (see --help)\n", error.c_str());
        return klcli::kExitUsage;
    }
    if (options.bHelp) {
        std::fputs(klcli::CliUsage().c_str(), stdout);
        return klcli::kExitOk;
    }
    return klcli::RunCli(options);
}
