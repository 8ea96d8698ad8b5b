// panel-host: calls the panel driver library the way an operator panel does.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "PanelScript.h"

namespace klpanel {
int RunPanelHost(const PanelOptions& options, const std::string& defaultLibrary);
}

namespace {
// libkestrolink.so next to this program, else the one of the build tree.
std::string DefaultLibrary() {
    char szExe[4096];
    ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (n > 0) {
        std::string exe(szExe, static_cast<size_t>(n));
        std::string beside = exe.substr(0, exe.rfind('/') + 1) + "libkestrolink.so";
        if (access(beside.c_str(), R_OK) == 0) {
            return beside;
        }
    }
    return KL_PANELHOST_DEFAULT_LIB;
}
}  // namespace

int main(int argc, char** argv) {
    klpanel::PanelOptions options;
    std::string error;
    if (!klpanel::ParsePanelArgs(argc, argv, &options, &error)) {
        std::fprintf(stderr, "panel-host: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(klpanel::PanelUsage().c_str(), stdout);
        return 0;
    }
    return klpanel::RunPanelHost(options, DefaultLibrary());
}
