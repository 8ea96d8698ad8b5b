// Test support for the communication stack: a runtime of the real components
// (pools, settings, log, checksum, router, optionally the TCP driver) started
// through the component manager with a settings file of the test's own, a
// stand-in component that exports the layer-4 and name-service handlers and
// records what the router delivers, fake block drivers that record what the
// router sends, and a package builder written apart from the router's.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "CmpRouterItf.h"
#include "TestSupport.h"

namespace rttest {

using Bytes = std::vector<uint8_t>;

// What the router handed to a protocol handler.
struct Delivery {
    RTS_HANDLE hRouter = nullptr;
    RTS_HANDLE hInterface = nullptr;
    uint8_t byServiceId = 0;
    uint8_t byMessageId = 0;
    ADDRESSTYPE senderType = AT_ABSOLUTE;
    Bytes sender;  // component bytes
    Bytes receiver;
    Bytes data;
    RTS_I32 nRouterError = 0;
};

// The stand-in handlers of the layers above the router.
class Handlers {
public:
    static void Reset();
    static std::vector<Delivery> Layer4();
    static std::vector<Delivery> Naming();
    // Waits (bounded) until the layer-4 handler has seen n packages.
    static bool WaitLayer4(size_t n, unsigned ulTimeoutMs);
    // Called inside the layer-4 handler (router lock released), e.g. to answer.
    static void SetLayer4Hook(void (*pfHook)(const Delivery&));
};

struct Options {
    std::string settings;  // INI text added to the runtime's settings file
    bool bWithTcp = false;
    bool bWithHandlers = true;
};

// A started runtime; stopped (CMExit) when the object goes away.
class TestRuntime {
public:
    explicit TestRuntime(const Options& options);
    ~TestRuntime();
    TestRuntime(const TestRuntime&) = delete;
    TestRuntime& operator=(const TestRuntime&) = delete;
    bool Started() const { return m_bStarted; }
    void CommCycles(int n);
    // Texts of the standard logger's entries of one component (0: all).
    std::vector<std::string> Logs(RTS_UI32 ulCmpId = 0) const;
    bool HasLog(const std::string& text, RTS_UI32 ulCmpId = 0) const;
    // Waits (bounded) until a log line containing the text appears.
    bool WaitLog(const std::string& text, unsigned ulTimeoutMs, RTS_UI32 ulCmpId = 0) const;
    const kltest::TempDir& Dir() const { return m_dir; }

private:
    kltest::TempDir m_dir;
    bool m_bStarted = false;
};

// A block driver that records every block the router hands it.
class FakeDriver {
public:
    struct Sent {
        NETWORKADDRESS next;
        Bytes block;
    };
    FakeDriver(const char* pszName, RTS_UI16 usType, RTS_I32 nBits, const Bytes& device);
    ~FakeDriver();
    RTS_RESULT Register();
    RTS_RESULT Unregister();
    RTS_HANDLE Handle() const { return m_hItf; }
    void SetResult(RTS_RESULT r);
    std::vector<Sent> SentBlocks() const;
    void Clear();
    // Hands a block to the router as received from the neighbour 'from'.
    RTS_RESULT Receive(const Bytes& block, const Bytes& from = Bytes()) const;
    NETWORKINTERFACEINFO2 info;

private:
    static RTS_RESULT Send(RTS_HANDLE hInterface, NETWORKADDRESS addr, PROTOCOL_DATA_UNIT pdu);
    mutable std::mutex m_mutex;
    std::vector<Sent> m_sent;
    RTS_RESULT m_result = ERR_OK;
    RTS_HANDLE m_hItf = RTS_INVALID_HANDLE;
};

// A layer-3 package, built independently of the router.
struct Pkg {
    unsigned nHeaderWords = 3;
    unsigned nHop = 15;  // or the relative offset
    bool bRelative = false;
    bool bRouterError = false;
    unsigned nPrio = 1;
    uint8_t byService = PID_LAYER4;
    uint8_t byMessageId = 0;
    uint16_t usBroadcastId = 0;
    Bytes receiver;  // component bytes
    Bytes sender;
    Bytes data;
    Bytes Build() const;
};

NODEADDRESS Node(std::initializer_list<uint16_t> components);
Bytes NodeBytes(const NODEADDRESS& addr);
PEERADDRESS Peer(NODEADDRESS* pAddr);
PROTOCOL_DATA_UNIT Pdu(Bytes& bytes);
NETWORKADDRESS NetAddr(const Bytes& bytes);
Bytes NetBytes(const NETWORKADDRESS& addr);
// The standard settings of these tests: the log's standard logger.
std::string BaseSettings();

}  // namespace rttest
