// Test support for the UDP block driver and the name service over loopback:
// a runtime of the real stack components (pools, settings, log, checksum,
// router, and as asked the TCP and UDP drivers and the name-service client)
// started through the component manager with a settings file of the test's
// own and driven by a communication cycle every 10 ms; a raw datagram peer
// on 127.0.0.1; and the check that the fixed UDP ports are free.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "CMItf.h"
#include "TestSupport.h"

namespace udptest {

using Bytes = std::vector<uint8_t>;

// True when 127.0.0.1:1740..1743 can all be bound now; else false with the
// first port that something else holds.
bool PortsFree(std::string* pWhy);

struct Options {
    bool bTcp = false;
    bool bUdp = true;
    bool bNameService = true;
    std::string udpSettings;  // lines of section "CmpBlkDrvUdp"
    std::string settings;     // further sections of the runtime's settings file
};

// The settings every runtime of these tests has: the standard logger, the
// UDP driver on the loopback adapter only, the TCP driver on loopback only.
std::string BaseSettings(const std::string& udpLines = std::string());

class StackRuntime {
public:
    explicit StackRuntime(const Options& options);
    ~StackRuntime();
    StackRuntime(const StackRuntime&) = delete;
    StackRuntime& operator=(const StackRuntime&) = delete;
    bool Started() const { return m_bStarted; }
    bool HasLog(const std::string& text) const;
    // Stops the cycle and the runtime (also done by the destructor).
    void Stop();

private:
    kltest::TempDir m_dir;
    bool m_bStarted = false;
    std::atomic<bool> m_bStop{false};
    std::thread m_cycle;
};

// A datagram socket on 127.0.0.1:usPort (0: any free port).
class UdpPeer {
public:
    explicit UdpPeer(uint16_t usPort);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;
    bool Open() const { return m_h != RTS_INVALID_HANDLE; }
    uint16_t Port() const { return m_usPort; }
    bool SendTo(const Bytes& data, uint16_t usPort, const char* pszAddr = "127.0.0.1");
    // The next datagram within the time-out, with its source port.
    bool Receive(Bytes* pData, uint16_t* pusFromPort, unsigned ulTimeoutMs);

private:
    RTS_HANDLE m_h = RTS_INVALID_HANDLE;
    uint16_t m_usPort = 0;
};

// A layer-3 package (component bytes for the addresses), written apart from
// the router.
struct Pkg {
    bool bBroadcastHeader = false;
    uint8_t byService = 4;
    Bytes receiver;
    Bytes sender;
    Bytes data;
    Bytes Build() const;
};
// Splits a block; false when it is not a well-formed package.
bool ParsePkg(const Bytes& block, Pkg* pPkg, unsigned* pnHeaderWords);

}  // namespace udptest
