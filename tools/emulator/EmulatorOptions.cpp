// Command line of kestrolink-emulator.
#include "EmulatorOptions.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "SysFile.h"
#include "SysSocket.h"

#ifndef KL_EMULATOR_DEFAULT_SYMBOLS
#define KL_EMULATOR_DEFAULT_SYMBOLS "examples/symbols/SampleApp.xml"
#endif

namespace klemu {

namespace {

bool ParseNumber(const char* psz, long lMin, long lMax, long* pl) {
    if (psz == nullptr || *psz == '\0') {
        return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    long l = strtol(psz, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || l < lMin || l > lMax) {
        return false;
    }
    *pl = l;
    return true;
}

bool ParseListen(const std::string& text, EmulatorOptions* pOptions, std::string* pError) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        *pError = "--listen expects ADDR:PORT, got \"" + text + "\"";
        return false;
    }
    std::string addr = text.substr(0, colon);
    long lPort = 0;
    if (!ParseNumber(text.c_str() + colon + 1, 0, 65535, &lPort)) {
        *pError = "invalid port in --listen \"" + text + "\"";
        return false;
    }
    RTS_UI32 ulAddr = 0;
    if (SysSockInetAddr(addr.c_str(), &ulAddr) != ERR_OK) {
        *pError = "invalid IPv4 address in --listen \"" + text + "\"";
        return false;
    }
    pOptions->listenAddress = addr;
    pOptions->usPort = static_cast<uint16_t>(lPort);
    return true;
}

}  // namespace

std::string DefaultSymbolsFile() {
    return KL_EMULATOR_DEFAULT_SYMBOLS;
}

std::string EmulatorUsage() {
    return std::string(
               "usage: kestrolink-emulator [--listen ADDR:PORT] [--symbols FILE] [--log-level "
               "error|warning|info|debug]\n"
               "                           [--allow-remote] [--close-after-frames N] [--corrupt-magic-after "
               "N]\n"
               "                           [--split-frames] [--echo-layer4]\n"
               "  --listen ADDR:PORT       address to accept client connections on (default "
               "127.0.0.1:11740;\n"
               "                           port 0 picks a free port and prints it)\n"
               "  --symbols FILE           symbol-configuration XML (default the sample of the source tree)\n"
               "  --allow-remote           accept a listen address other than loopback\n"
               "  --close-after-frames N   close a connection after N received frames\n"
               "  --corrupt-magic-after N  send frames with the magic 00 01 17 E9 after N good ones\n"
               "  --split-frames           send every frame byte by byte\n"
               "  --echo-layer4            answer every layer-4 package with its own bytes (no channels)\n") +
           NameServiceUsage() + DeviceServicesUsage() + VarServicesUsage() + ChannelServerUsage();
}

bool ParseEmulatorOptions(int argc, const char* const* argv, EmulatorOptions* pOptions, std::string* pError) {
    EmulatorOptions o;
    o.symbolsFile = DefaultSymbolsFile();
    std::string listen;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] != nullptr ? argv[i] : "";
        auto value = [&](const char** pp) -> bool {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                *pError = arg + " needs a value";
                return false;
            }
            *pp = argv[++i];
            return true;
        };
        const char* pszValue = nullptr;
        if (arg == "--help" || arg == "-h") {
            o.bHelp = true;
        } else if (arg == "--listen") {
            if (!value(&pszValue)) {
                return false;
            }
            listen = pszValue;
        } else if (arg == "--symbols") {
            if (!value(&pszValue)) {
                return false;
            }
            o.symbolsFile = pszValue;
        } else if (arg == "--log-level") {
            if (!value(&pszValue)) {
                return false;
            }
            std::string level = pszValue;
            if (level == "error") {
                o.logLevel = LogLevel::Error;
            } else if (level == "warning") {
                o.logLevel = LogLevel::Warning;
            } else if (level == "info") {
                o.logLevel = LogLevel::Info;
            } else if (level == "debug") {
                o.logLevel = LogLevel::Debug;
            } else {
                *pError = "unknown log level \"" + level + "\"";
                return false;
            }
        } else if (arg == "--allow-remote") {
            o.bAllowRemote = true;
        } else if (arg == "--close-after-frames" || arg == "--corrupt-magic-after") {
            long l = 0;
            if (!value(&pszValue)) {
                return false;
            }
            if (!ParseNumber(pszValue, 0, LONG_MAX, &l)) {
                *pError = arg + " expects a number, got \"" + pszValue + "\"";
                return false;
            }
            (arg == "--close-after-frames" ? o.lCloseAfterFrames : o.lCorruptMagicAfter) = l;
        } else if (arg == "--split-frames") {
            o.bSplitFrames = true;
        } else if (arg == "--echo-layer4") {
            o.bEchoLayer4 = true;
        } else {
            // The name service's and the layer-4 server's switches.
            bool bKnown = false;
            std::string next = i + 1 < argc && argv[i + 1] != nullptr ? argv[i + 1] : "";
            bool bTakesValue = NameServiceOptionTakesValue(arg);
            if (!ParseNameServiceOption(arg, bTakesValue ? next : std::string(), &o.nameService, &bKnown,
                                        pError)) {
                return false;
            }
            if (bKnown) {
                i += bTakesValue ? 1 : 0;
                continue;
            }
            bTakesValue = DeviceServicesOptionTakesValue(arg);
            if (bTakesValue && i + 1 >= argc &&
                (arg == "--auth-type" || arg == "--user" || arg == "--password" || arg == "--key" ||
                 arg == "--core-version" || arg == "--ident-flags" || arg == "--ip")) {
                *pError = arg + " needs a value";
                return false;
            }
            if (!ParseDeviceServicesOption(arg, bTakesValue ? next : std::string(), &o.device, &bKnown,
                                           pError)) {
                return false;
            }
            if (bKnown) {
                i += bTakesValue ? 1 : 0;
                continue;
            }
            bTakesValue = VarServicesOptionTakesValue(arg);
            if (bTakesValue && i + 1 >= argc) {
                *pError = arg + " needs a value";
                return false;
            }
            if (!ParseVarServicesOption(arg, bTakesValue ? next : std::string(), &o.vars, &bKnown, pError)) {
                return false;
            }
            if (bKnown) {
                i += bTakesValue ? 1 : 0;
                continue;
            }
            // The layer-4 server's switches all take a value.
            if (!ParseChannelServerOption(arg, next, &o.channel, &bKnown, pError)) {
                return false;
            }
            if (!bKnown) {
                *pError = "unknown option \"" + arg + "\"";
                return false;
            }
            ++i;
        }
    }
    o.nameService.bAllowRemote = o.bAllowRemote;
    // One device: the services identify it as the name service does, and the
    // channel reports the byte order the services answer in.
    if (o.device.bBigEndian) {
        o.channel.bBigEndian = true;
        o.nameService.identity.bIntelByteOrder = 0;
    }
    o.device.identity = o.nameService.identity;
    o.vars.bBigEndian = o.channel.bBigEndian;
    if (o.bHelp) {
        *pOptions = o;
        return true;
    }
    if (!listen.empty() && !ParseListen(listen, &o, pError)) {
        return false;
    }
    RTS_UI32 ulAddr = 0;
    SysSockInetAddr(o.listenAddress.c_str(), &ulAddr);
    if ((SysSockNtohl(ulAddr) >> 24) != 127 && !o.bAllowRemote) {
        *pError = "refusing to listen on " + o.listenAddress +
                  ", which is not a loopback address (use --allow-remote)";
        return false;
    }
    if (SysFileExists(o.symbolsFile.c_str()) != ERR_OK) {
        *pError = "symbols file \"" + o.symbolsFile + "\" not found";
        return false;
    }
    *pOptions = o;
    return true;
}

}  // namespace klemu
