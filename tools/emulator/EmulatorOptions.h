// Command line of kestrolink-emulator.
#pragma once

#include <cstdint>
#include <string>

#include "ChannelServer.h"
#include "DeviceServices.h"
#include "NameServiceResponder.h"
#include "VarServices.h"

namespace klemu {

enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

struct EmulatorOptions {
    std::string listenAddress = "127.0.0.1";
    uint16_t usPort = 11740;  // 0: a free port is picked and printed
    std::string symbolsFile;  // symbol-configuration XML
    LogLevel logLevel = LogLevel::Info;
    bool bAllowRemote = false;  // listen on other than loopback addresses
    // Fault switches; -1 = off.
    long lCloseAfterFrames = -1;     // close a connection after this many received frames
    long lCorruptMagicAfter = -1;    // frames after this many sent ones carry the magic 00 01 17 E9
    bool bSplitFrames = false;       // send every frame byte by byte
    bool bEchoLayer4 = false;        // answer layer-4 packages with an echo (router-level tests)
    ChannelServerOptions channel;    // layer-4 server and its fault switches
    NameServiceOptions nameService;  // identity and the UDP responder
    // Group 1 and the login; its identity is nameService.identity, copied in
    // when the options are parsed.
    DeviceServicesOptions device;
    VarServicesOptions vars;  // variables (group 9)
    bool bHelp = false;
};

// The sample symbol configuration of the source tree.
std::string DefaultSymbolsFile();

// Parses argv; false with a one-line reason in *pError. Checks the listen
// address (IPv4, loopback unless --allow-remote) and that the symbols file exists.
bool ParseEmulatorOptions(int argc, const char* const* argv, EmulatorOptions* pOptions, std::string* pError);

std::string EmulatorUsage();

}  // namespace klemu
