// The emulator's router node: a controller's node address (its port and IPv4
// address, three components), the layer-3 packages it reads and writes, and
// the handler that answers the packages addressed to it. It is written apart
// from the client's router on purpose: the client stack is tested against an
// independent reading of the same wire format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace klemu {

constexpr uint8_t kL3Marker = 0xC5;
constexpr size_t kL3MaxBlock = 512;
constexpr uint8_t kPidLayer4 = 64;

// Bounded reader over received bytes: every read fails instead of reading
// past the end.
class ByteReader {
public:
    ByteReader(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    bool U8(uint8_t* pv);
    bool Bytes(size_t n, const uint8_t** pp);
    size_t Pos() const { return m_pos; }
    size_t Remaining() const { return m_n - m_pos; }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_pos = 0;
};

// A layer-3 package, addresses as component bytes (2 per component).
struct L3Package {
    uint8_t byFlag1 = 0;  // header words and hop counter / relative offset
    uint8_t byFlag2 = 0;  // relative, router error, priority
    uint8_t byServiceId = 0;
    uint8_t byMessageId = 0;
    unsigned nHeaderWords = 3;
    uint16_t usBroadcastId = 0;
    std::vector<uint8_t> receiver;
    std::vector<uint8_t> sender;
    std::vector<uint8_t> data;
};

// False for anything the router would refuse: sizes outside 6..512, another
// marker, fewer than 3 header words, addresses beyond the block.
bool ParseL3(const uint8_t* p, size_t n, L3Package* pPkg);
// Header (hop counter 15 for a new package), addresses, padding, data.
std::vector<uint8_t> BuildL3(const L3Package& pkg);

// Answers the packages addressed to the node; returns true with the reply's
// service, message id and data filled in when there is an answer.
class IPackageHandler {
public:
    virtual ~IPackageHandler() = default;
    virtual bool HandlePackage(const L3Package& request, L3Package* pReply) = 0;
};

// Until the channel server exists, layer-4 packages come back unchanged.
class EchoHandler : public IPackageHandler {
public:
    bool HandlePackage(const L3Package& request, L3Package* pReply) override;
};

class EmulatorNode {
public:
    // ulIpNet: IPv4 address in network order.
    EmulatorNode(uint32_t ulIpNet, uint16_t usPort);
    // The node's network address (port big-endian, IPv4), also its three components.
    const std::vector<uint8_t>& Address() const { return m_address; }
    std::string AddressText() const;
    void SetHandler(IPackageHandler* pHandler);
    // A block from the peer with this 6-byte network address. The addresses
    // are put right as a controller does (receiver: own, sender: the peer as
    // reached); true with *pReply set when an answer goes back.
    bool HandleBlock(const uint8_t* p, size_t n, const uint8_t* pPeerNet, std::vector<uint8_t>* pReply);
    uint64_t Handled() const;
    uint64_t Dropped() const;

private:
    std::vector<uint8_t> m_address;
    mutable std::mutex m_mutex;
    IPackageHandler* m_pHandler = nullptr;
    EchoHandler m_echo;
    uint64_t m_handled = 0;
    uint64_t m_dropped = 0;
};

}  // namespace klemu
