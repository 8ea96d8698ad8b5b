// Command-line parsing of the kestrolink tool.
#include "CliOptions.h"

#include <arpa/inet.h>

#include <cstdlib>

namespace klcli {
namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* pValue) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10) {
        return false;
    }
    uint64_t value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > max) {
        return false;
    }
    *pValue = value;
    return true;
}

bool ParsePlc(const std::string& text, CliOptions* pOptions, std::string* pError) {
    std::string host = text;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        uint64_t port = 0;
        if (!ParseUnsigned(text.substr(colon + 1), 65535, &port) || port == 0) {
            *pError = "--plc expects ADDR[:PORT] with a port of 1 to 65535, got \"" + text + "\"";
            return false;
        }
        pOptions->usPort = static_cast<uint16_t>(port);
    }
    in_addr addr;
    if (host.empty() || inet_pton(AF_INET, host.c_str(), &addr) != 1) {
        *pError = "--plc expects an IPv4 address such as 127.0.0.1, got \"" + host + "\"";
        return false;
    }
    pOptions->address = host;
    return true;
}

}  // namespace

std::string CliUsage() {
    return "usage: kestrolink COMMAND [options] [arguments]\n"
           "commands:\n"
           "  read  --plc ADDR[:PORT] NAME[:TYPE]...        read variables and print their values\n"
           "  write --plc ADDR[:PORT] NAME[:TYPE]=VALUE...  write variables (all in one request)\n"
           "  info  --plc ADDR[:PORT]                       identification of the controller\n"
           "  scan                                          look for controllers on the network\n"
           "options:\n"
           "  --plc ADDR[:PORT]   controller address (port default 11740)\n"
           "  --user NAME         user name for the login (with --password)\n"
           "  --password TEXT     password for the login\n"
           "  --timeout MS        time-out of each request to the controller (default 5000)\n"
           "  --type TYPE         type of every variable given without a :TYPE suffix\n"
           "  --log FILE          write the SDK's log to FILE\n"
           "  -h, --help          this text\n"
           "types: BOOL BYTE SINT USINT WORD INT UINT DWORD DINT UDINT LWORD LINT ULINT REAL LREAL\n"
           "       TIME STRING(n) WSTRING(n) RAW(n); STRING and WSTRING alone mean 80 characters.\n"
           "Without symbols (the default) the controller resolves names but does not tell their\n"
           "types: give them as NAME:INT or --type INT. A read of a variable without a type\n"
           "needs RAW(n) (n bytes, printed as hex with the likely meanings of that size).\n"
           "Values: integers (42, -7, 16#2A), reals (1.5), TRUE/FALSE, T#1h2m3s4ms, texts.\n"
           "Names with Chinese characters are sent in GB2312, as the controller matches them.\n"
           "exit codes: 0 ok, 1 operation refused or failed, 2 usage, 3 controller unreachable\n"
           "            (scan: none found), 4 login refused, 5 unknown variable\n";
}

bool ParseCliArgs(int argc, const char* const* argv, CliOptions* pOptions, std::string* pError) {
    CliOptions o;
    bool bPassword = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] != nullptr ? argv[i] : "";
        auto value = [&](std::string* pValue) -> bool {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                *pError = arg + " needs a value";
                return false;
            }
            *pValue = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            o.bHelp = true;
        } else if (arg == "--plc") {
            if (!value(&v) || !ParsePlc(v, &o, pError)) {
                return false;
            }
        } else if (arg == "--user") {
            if (!value(&o.user)) {
                return false;
            }
            o.bCredentials = true;
        } else if (arg == "--password") {
            if (!value(&o.password)) {
                return false;
            }
            bPassword = true;
        } else if (arg == "--timeout") {
            uint64_t ms = 0;
            if (!value(&v)) {
                return false;
            }
            if (!ParseUnsigned(v, 3600000, &ms) || ms == 0) {
                *pError = "--timeout expects milliseconds from 1 to 3600000, got \"" + v + "\"";
                return false;
            }
            o.ulTimeoutMs = static_cast<uint32_t>(ms);
        } else if (arg == "--type") {
            VarType t;
            if (!value(&o.defaultType) || !ParseTypeName(o.defaultType, &t, pError)) {
                return false;
            }
        } else if (arg == "--log") {
            if (!value(&o.logFile)) {
                return false;
            }
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                o.args.push_back(argv[i] != nullptr ? argv[i] : "");
            }
        } else if (arg.size() > 1 && arg[0] == '-' && arg.compare(0, 2, "--") == 0) {
            *pError = "unknown option " + arg;
            return false;
        } else if (o.command.empty()) {
            o.command = arg;
        } else {
            o.args.push_back(arg);
        }
    }
    if (o.bHelp) {
        *pOptions = o;
        return true;
    }
    if (o.command.empty()) {
        *pError = "no command given (read, write, info or scan)";
        return false;
    }
    if (o.command != "read" && o.command != "write" && o.command != "info" && o.command != "scan") {
        *pError = "unknown command \"" + o.command + "\" (read, write, info or scan)";
        return false;
    }
    if (bPassword && !o.bCredentials) {
        *pError = "--password needs --user";
        return false;
    }
    if (o.command != "scan" && o.address.empty()) {
        *pError = o.command + " needs --plc ADDR[:PORT]";
        return false;
    }
    if ((o.command == "read" || o.command == "write") && o.args.empty()) {
        *pError = o.command + " needs at least one variable";
        return false;
    }
    if ((o.command == "info" || o.command == "scan") && !o.args.empty()) {
        *pError = o.command + " takes no arguments, got \"" + o.args[0] + "\"";
        return false;
    }
    *pOptions = o;
    return true;
}

bool ParseVarRequests(const CliOptions& options, bool bWrite, std::vector<VarRequest>* pRequests,
                      std::string* pError) {
    pRequests->clear();
    for (const std::string& arg : options.args) {
        VarRequest r;
        std::string nameAndType = arg;
        if (bWrite) {
            size_t eq = arg.find('=');
            if (eq == std::string::npos) {
                *pError = "\"" + arg + "\" has no value: write NAME=VALUE or NAME:TYPE=VALUE";
                return false;
            }
            nameAndType = arg.substr(0, eq);
            r.valueText = arg.substr(eq + 1);
        }
        std::string typeText;
        if (!SplitNameAndType(nameAndType, &r.displayName, &typeText, pError)) {
            return false;
        }
        if (r.displayName.empty()) {
            *pError = "\"" + arg + "\" has no variable name";
            return false;
        }
        if (typeText.empty()) {
            typeText = options.defaultType;
        }
        if (!typeText.empty()) {
            if (!ParseTypeName(typeText, &r.type, pError)) {
                return false;
            }
            r.bTyped = true;
            std::vector<uint8_t> bytes;
            std::string error;
            if (bWrite && !EncodeValue(r.type, r.valueText, &bytes, &error)) {
                *pError = r.displayName + ": " + error;
                return false;
            }
        }
        std::string error;
        if (!Utf8ToGb2312(r.displayName, &r.controllerName, &error)) {
            *pError = "variable name " + error;
            return false;
        }
        pRequests->push_back(r);
    }
    return true;
}

}  // namespace klcli
