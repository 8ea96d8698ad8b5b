// The emulator's server side of layer 4 (the channel protocol): it answers
// open-channel requests, takes request messages in blocks (acknowledging,
// storing blocks that arrive ahead of a gap, checking the CRC-32), answers
// each with a response message sent in blocks within a window, retransmits
// what the client does not acknowledge, sends keep-alives and honours close
// packages. Fault switches drop, duplicate or reorder its outgoing blocks and
// acknowledgements (seeded, so a run can be repeated), corrupt the checksum
// of every n-th response, stall, or close a channel after n messages.
//
// ChannelServer knows nothing of sockets or layer 3: packages go in through
// HandlePackage with the peer's node address as its key and come out through
// TakeOutgoing. ChannelServerHandler binds it to the emulator's router node
// (EmulatorNode) and runs the timers in a task of its own.
//
// It is written apart from the client's channel manager on purpose: the
// client is tested against an independent reading of the same protocol.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "EmulatorNode.h"
#include "SysTask.h"

namespace klemu {

struct ChannelServerOptions {
    uint32_t ulMaxBufferSize = 0x40000;  // granted = min(requested, this)
    bool bBigEndian = false;             // byte-order flag of the open response
    // Test behaviour of the open response.
    uint32_t ulGrantExtra = 0;         // grant this much more than requested
    int iMaxAddressSize = -1;          // byMaxAddressSize answered; -1 = the request's
    uint16_t wOpenResult = 0;          // wResult answered (0 = accepted)
    bool bAnswerOpens = true;          // false: open requests are never answered
    bool bOldVersionResponse = false;  // 20-byte response with wVersion 0x0100
    unsigned uWindow = 15;             // blocks of a response sent ahead of acknowledgements
    uint32_t ulRtoMs = 100;            // retransmission time-out
    uint32_t ulKeepAliveMs = 1000;
    // Fault switches (probabilities 0..1; counts -1 = off).
    double dDropBlocks = 0.0;
    double dDuplicateBlocks = 0.0;
    double dReorderBlocks = 0.0;
    long lCorruptCrcEvery = -1;
    long lStallAfterMessages = -1;
    long lCloseChannelAfter = -1;
    uint32_t ulSeed = 1;
};

// One command-line switch of this layer ("--drop-blocks" with its value and
// the others above); false with a reason for a bad value, and *pbKnown false
// for a switch that is not one of this layer's.
bool ParseChannelServerOption(const std::string& name, const std::string& value,
                              ChannelServerOptions* pOptions, bool* pbKnown, std::string* pError);
const char* ChannelServerUsage();

// Channel peers are keyed by bytes. The router node keys its TCP clients by
// their node address, whole 2-byte components; the UDP side keys its clients
// with keys of odd length, so that the two never meet and each transport
// takes only its own packages from TakeOutgoing.
inline bool IsNodeAddressKey(const std::vector<uint8_t>& peer) {
    return peer.size() % 2 == 0;
}

// Largest layer-4 package behind a layer-3 header for this many address
// components (sender and receiver together) in blocks of at most nMaxBlock
// bytes (the block driver's limit).
uint16_t ChannelBlockSizeFor(unsigned nComponents, size_t nMaxBlock = kL3MaxBlock);

// The test response of the channel layer on its own (tests that exercise the
// channel without services): the request's bytes, each complemented.
std::vector<uint8_t> ChannelServerEchoResponse(const std::vector<uint8_t>& request);

struct ChannelServerStats {
    uint64_t ullOpens = 0;
    uint64_t ullMessages = 0;  // complete requests with a correct checksum
    uint64_t ullChecksumErrors = 0;
    uint64_t ullBlocksSent = 0;  // new response blocks
    uint64_t ullRetransmissions = 0;
    uint64_t ullDropped = 0;  // by the fault switches
    uint64_t ullDuplicated = 0;
    uint64_t ullReordered = 0;
    uint64_t ullCloses = 0;  // close packages received
};

class ChannelServer {
public:
    struct Outgoing {
        std::vector<uint8_t> peer;  // node address bytes of the client
        std::vector<uint8_t> data;  // the layer-4 package
    };
    using Responder = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& request)>;
    // A responder told the channel's buffer size: no response may be larger.
    using SizedResponder =
        std::function<std::vector<uint8_t>(const std::vector<uint8_t>& request, uint32_t ulBufferSize)>;

    explicit ChannelServer(const ChannelServerOptions& options);
    void SetResponder(Responder responder);
    void SetSizedResponder(SizedResponder responder);

    // A layer-4 package from the client with this node address; wMaxBlockSize
    // is the largest layer-4 package toward it.
    void HandlePackage(const std::vector<uint8_t>& peer, const uint8_t* p, size_t n, uint16_t wMaxBlockSize);
    // Retransmissions, keep-alives and held-back packages that are due.
    void Cycle();
    std::vector<Outgoing> TakeOutgoing();
    // Only the packages whose peer key matches; the others stay, in order,
    // for the transport they belong to.
    std::vector<Outgoing> TakeOutgoing(const std::function<bool(const std::vector<uint8_t>&)>& match);

    ChannelServerStats Stats() const;
    size_t NumChannels() const;
    // Every open request seen (retries included), for tests.
    uint64_t OpenRequestsSeen() const;

private:
    struct SentBlock {
        uint32_t ulStart = 0;
        uint32_t ulLength = 0;
        uint32_t ulTime = 0;
    };
    struct Channel {
        uint16_t wId = 0;
        std::vector<uint8_t> peer;
        uint32_t dwOpenRequestId = 0;
        uint16_t wBlockSize = 0;
        uint32_t ulBufferSize = 0;
        unsigned uWindow = 1;
        // Receiving a request.
        uint32_t dwLastBlock = 0;  // highest client block taken in order
        bool bRxStarted = false;
        uint32_t ulRxSize = 0;
        uint32_t ulRxCrc = 0;
        std::vector<uint8_t> rx;
        std::map<uint32_t, std::vector<uint8_t>> ahead;  // blocks behind a gap, as received
        // Sending a response.
        bool bSending = false;
        std::vector<uint8_t> tx;
        uint32_t ulTxCrc = 0;
        uint32_t ulTxNext = 0;
        uint32_t dwNextBlock = 1;
        uint32_t dwNextAck = 1;
        std::map<uint32_t, SentBlock> unacked;
        uint32_t ulLastSend = 0;
        long lMessages = 0;
        bool bStalled = false;
    };

    Channel* Find(const std::vector<uint8_t>& peer, uint16_t wId);
    void HandleOpen(const std::vector<uint8_t>& peer, const uint8_t* p, size_t n, uint16_t wMaxBlockSize);
    void HandleData(Channel* pCh, const uint8_t* p, size_t n);
    bool TakeInOrder(Channel* pCh, const uint8_t* p, size_t n);
    void HandleAck(Channel* pCh, uint32_t dwAck);
    void RequestComplete(Channel* pCh);
    void SendNewBlocks(Channel* pCh);
    void SendBlock(Channel* pCh, uint32_t dwBlock, const SentBlock& block, bool bFaults);
    void SendAck(Channel* pCh);
    void SendClose(Channel* pCh, uint16_t wError);
    void SendMeta(const std::vector<uint8_t>& peer, std::vector<uint8_t> pkg);
    // Applies the fault switches to a data block or acknowledgement.
    void Emit(const std::vector<uint8_t>& peer, std::vector<uint8_t> data, bool bFaults);
    void Erase(Channel* pCh);

    ChannelServerOptions m_options;
    Responder m_responder;
    SizedResponder m_sizedResponder;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Channel>> m_channels;
    uint16_t m_wNextId = 1;
    std::vector<Outgoing> m_out;
    std::vector<Outgoing> m_held;  // reordered: sent behind the next package
    std::mt19937 m_rng;
    ChannelServerStats m_stats;
    uint64_t m_ullOpenRequests = 0;
};

// Binds a channel server to the emulator's router node: layer-4 packages of
// the node come in through IPackageHandler, and a task ("KlChannelServer")
// runs the timers and hands every outgoing package for a node-address key,
// wrapped in a layer-3 header and a TCP frame, to the raw sender.
class ChannelServerHandler : public IPackageHandler {
public:
    // Sends TCP frames to the client whose node address (its 6-byte network
    // address: port and IPv4 address) is peer.
    using RawSender =
        std::function<void(const std::vector<uint8_t>& peer, const std::vector<uint8_t>& frames)>;
    // pNext (may be null) answers the packages of other services.
    ChannelServerHandler(ChannelServer* pServer, std::vector<uint8_t> nodeAddress, RawSender sender,
                         IPackageHandler* pNext = nullptr);
    ~ChannelServerHandler() override;
    ChannelServerHandler(const ChannelServerHandler&) = delete;
    ChannelServerHandler& operator=(const ChannelServerHandler&) = delete;

    bool Start();
    void Stop();
    bool HandlePackage(const L3Package& request, L3Package* pReply) override;

private:
    static void TaskEntry(SYS_TASK_PARAM* ptp);
    void Pump();
    std::vector<uint8_t> Frame(const ChannelServer::Outgoing& out) const;

    ChannelServer* m_pServer;
    // Packages waiting for the task, and how many it is sending right now:
    // a package goes back as the node's direct reply only when nothing older
    // is still on its way, so that the order of the packages is kept.
    std::mutex m_mutex;
    std::vector<ChannelServer::Outgoing> m_queue;
    size_t m_nInFlight = 0;
    std::vector<uint8_t> m_nodeAddress;
    RawSender m_sender;
    IPackageHandler* m_pNext;
    RTS_HANDLE m_hTask = RTS_INVALID_HANDLE;
    RTS_HANDLE m_hEvent = RTS_INVALID_HANDLE;
};

}  // namespace klemu
