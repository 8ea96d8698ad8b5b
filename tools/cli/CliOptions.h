// Command line of the kestrolink tool, and the variable requests it names.
// Parsing knows nothing of the SDK: a typo is refused before any connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CliValue.h"

namespace klcli {

// Exit codes that scripts can test.
enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,           // the controller refused the operation, or the SDK failed
    kExitUsage = 2,            // bad command line, value or type
    kExitUnreachable = 3,      // no connection to the controller (or no controller found by scan)
    kExitCredentials = 4,      // the controller refused the login
    kExitUnknownVariable = 5,  // the controller does not know a variable
};

const uint16_t kDefaultPort = 11740;

struct CliOptions {
    std::string command;  // "read", "write", "info", "scan"
    std::string address;  // IPv4 address of the controller
    uint16_t usPort = kDefaultPort;
    bool bCredentials = false;  // --user given
    std::string user;
    std::string password;
    uint32_t ulTimeoutMs = 5000;
    std::string defaultType;  // --type: for variables without a type suffix
    // Learn the types from the controller's symbols: needs the symbol browsing
    // the SDK does not have yet, so it stays off (no option sets it).
    bool bLoadSymbols = false;
    std::string logFile;  // --log FILE: the SDK's log
    std::vector<std::string> args;
    bool bHelp = false;
};

// False with a one-line reason.
bool ParseCliArgs(int argc, const char* const* argv, CliOptions* pOptions, std::string* pError);
std::string CliUsage();

// One variable of a read or write.
struct VarRequest {
    std::string displayName;     // as typed (UTF-8)
    std::string controllerName;  // as the controller matches it (GB2312)
    bool bTyped = false;         // type from a suffix or --type
    VarType type;
    std::string valueText;  // write: the value as typed
};

// NAME[:TYPE] (read) or NAME[:TYPE]=VALUE (write) for each argument; a typed
// write value is checked here already. False with a reason.
bool ParseVarRequests(const CliOptions& options, bool bWrite, std::vector<VarRequest>* pRequests,
                      std::string* pError);

}  // namespace klcli
