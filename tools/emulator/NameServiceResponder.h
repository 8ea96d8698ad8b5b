// The emulator's name service: it answers identify requests and queries by
// node name with an identification of the emulated controller, over the TCP
// connection (NameServiceHandler, in front of the router node's other
// handlers) and over UDP on one of the ports 1740..1743
// (NameServiceUdpResponder, with a socket and a task of its own). Several
// emulators on one host are told apart by their node names and their UDP
// port indexes.
//
// A client that found the emulator by name talks to the UDP node address of
// the answer, so the UDP side also carries channels: its layer-4 packages go
// to the emulator's channel server (the one of the TCP side), and what the
// server sends to these peers goes back as datagrams, to loopback only.
//
// The identification is encoded here apart from the client's parser, so that
// the client is tested against an independent reading of the format.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ChannelServer.h"
#include "EmulatorNode.h"
#include "SysTask.h"

namespace klemu {

constexpr uint8_t kPidNamingRequest = 3;
constexpr uint8_t kPidNamingResponse = 4;
constexpr uint16_t kUdpBasePort = 1740;
// Largest layer-3 block the UDP block driver sends or takes.
constexpr size_t kUdpMaxBlock = 512;

struct NameServiceIdentity {
    std::u16string nodeName = u"KestrolinkEmulator";
    std::u16string deviceName = u"Kestrolink Emulator";
    std::u16string vendorName = u"Kestrolink";
    uint32_t ulTargetType = 0x1006;
    uint32_t ulTargetId = 0x16A10001;
    uint32_t ulTargetVersion = 0x03051114;
    uint16_t wMaxChannels = 4;
    uint8_t bIntelByteOrder = 1;
    uint32_t ulFlags = 0;
    std::string serialNumber = "KLEMU-0001";
    std::vector<uint8_t> oemData;
    std::vector<uint8_t> parentAddress;  // component bytes, at most 15 components
    uint8_t byBlkDrvType = 0;
    // Layout of the answer: 0x0101, 0x0102, 0x0103 or 0x0400.
    uint16_t wVersion = 0x0400;
    // Test switch: one byte more than the fields add up to (clients drop it).
    bool bExtraByte = false;
};

struct NameServiceOptions {
    NameServiceIdentity identity;
    bool bUdp = false;       // answer on UDP too
    int iUdpPortIndex = -1;  // -1: the first free of 0, 1, 3, 2
    std::string udpAddress = "127.0.0.1";
    bool bAllowRemote = false;  // a UDP address other than loopback
};

// One command-line switch of the name service ("--node-name" and the others
// of NameServiceUsage); false with a reason for a bad value, *pbKnown false
// for a switch that is not one of these.
bool ParseNameServiceOption(const std::string& name, const std::string& value, NameServiceOptions* pOptions,
                            bool* pbKnown, std::string* pError);
// False for the switches without a value ("--udp").
bool NameServiceOptionTakesValue(const std::string& name);
const char* NameServiceUsage();

// The identification answering request dwRequestID.
std::vector<uint8_t> BuildIdentification(const NameServiceIdentity& identity, uint32_t dwRequestID);
// The answer to the content of a PID_NAMINGREQUEST package: true with the
// identification for an identify request, or for a query whose name equals
// the node name (ASCII letters compared without case); false otherwise.
bool AnswerNamingRequest(const NameServiceIdentity& identity, const std::vector<uint8_t>& request,
                         std::vector<uint8_t>* pAnswer);

// Answers naming requests that reach the router node; every other package
// goes to the next handler (the channel server).
class NameServiceHandler : public IPackageHandler {
public:
    NameServiceHandler(const NameServiceIdentity& identity, IPackageHandler* pNext);
    bool HandlePackage(const L3Package& request, L3Package* pReply) override;
    uint64_t Answered() const { return m_nAnswered.load(); }

private:
    NameServiceIdentity m_identity;
    IPackageHandler* m_pNext;
    std::atomic<uint64_t> m_nAnswered{0};
};

// The UDP side: a socket on udpAddress:1740+index and the task "KlEmuNameSvc".
class NameServiceUdpResponder {
public:
    explicit NameServiceUdpResponder(const NameServiceOptions& options);
    ~NameServiceUdpResponder();
    NameServiceUdpResponder(const NameServiceUdpResponder&) = delete;
    NameServiceUdpResponder& operator=(const NameServiceUdpResponder&) = delete;

    // Channels over UDP: layer-4 packages addressed to this node go to
    // pServer (set before Start; null: dropped, as without a channel server).
    void SetChannelServer(ChannelServer* pServer) { m_pChannels = pServer; }
    // Binds and starts the task; false with a reason (a taken port included).
    bool Start(std::string* pError);
    void Stop();
    int PortIndex() const { return m_iPortIndex; }
    // The node address this emulator has on the UDP network (component bytes):
    // host part of its address and the port index, as the UDP driver forms it.
    const std::vector<uint8_t>& NodeAddress() const { return m_nodeAddress; }
    std::string NodeAddressText() const;
    uint64_t Requests() const { return m_nRequests.load(); }
    uint64_t Answered() const { return m_nAnswered.load(); }
    // Layer-4 packages taken for the channel server, and datagrams sent for it.
    uint64_t ChannelPackagesIn() const { return m_nChannelIn.load(); }
    uint64_t ChannelPackagesOut() const { return m_nChannelOut.load(); }

private:
    static void TaskEntry(SYS_TASK_PARAM* ptp);
    void Run(SYS_TASK_PARAM* ptp);
    void HandleDatagram(const uint8_t* p, size_t n, uint32_t ulFromNet, uint16_t usFromPort);
    bool IsForThisNode(const L3Package& pkg) const;
    void HandleChannelPackage(const L3Package& req, uint32_t ulFromNet, uint16_t usFromPort);
    // Sends what the channel server has for this responder's peers.
    void FlushChannels();
    bool IsOwnPeerKey(const std::vector<uint8_t>& key) const;
    bool SendBlock(const L3Package& pkg, uint32_t ulToNet, uint16_t usToPort);

    NameServiceOptions m_options;
    RTS_HANDLE m_hSocket = RTS_INVALID_HANDLE;
    RTS_HANDLE m_hTask = RTS_INVALID_HANDLE;
    int m_iPortIndex = -1;
    std::vector<uint8_t> m_nodeAddress;
    ChannelServer* m_pChannels = nullptr;
    std::atomic<uint64_t> m_nRequests{0};
    std::atomic<uint64_t> m_nAnswered{0};
    std::atomic<uint64_t> m_nChannelIn{0};
    std::atomic<uint64_t> m_nChannelOut{0};
};

// The UDP network address of ulIpNet (network order) on port index
// iPortIndex for an adapter with mask ulMaskNet, as whole components
// (a leading 0 byte when the address has an odd number of bytes).
std::vector<uint8_t> UdpNodeAddress(uint32_t ulIpNet, uint32_t ulMaskNet, int iPortIndex);

}  // namespace klemu
