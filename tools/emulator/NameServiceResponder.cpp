// The emulator's name service over TCP (a handler of the router node) and
// over UDP (a socket and task of its own).
#include "NameServiceResponder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SysSocketUdp.h"

namespace klemu {

namespace {

constexpr uint16_t kPkgResolveName = 0xC201;
constexpr uint16_t kPkgResolveAddr = 0xC202;
constexpr uint16_t kPkgIdentification = 0xC280;
constexpr RTS_UI32 kSelectWaitMs = 20;
// With channels the task also sends what the channel server's timers
// produced (retransmissions, keep-alives), so it looks more often.
constexpr RTS_UI32 kChannelSelectWaitMs = 5;
// First byte of the channel server's key for a UDP peer (with the port index
// of this responder in the low bits); the key then holds the peer's IPv4
// address (network order), its port (big-endian) and its node address, and
// so has an odd length, never that of a node-address key.
constexpr uint8_t kUdpPeerTag = 0xD0;
constexpr size_t kUdpPeerKeyHead = 7;
constexpr RTS_UI32 kTaskExitWaitMs = 2000;
constexpr size_t kMaxDatagram = 600;

void Put16(std::vector<uint8_t>* p, uint32_t v) {
    p->push_back(static_cast<uint8_t>(v & 0xFF));
    p->push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void Put32(std::vector<uint8_t>* p, uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p, v >> 16);
}

void PutText(std::vector<uint8_t>* p, const std::u16string& s) {
    for (char16_t c : s) {
        Put16(p, c);
    }
    Put16(p, 0);
}

char16_t Fold(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

std::u16string Widen(const std::string& s) {
    std::u16string out;
    for (unsigned char c : s) {
        out.push_back(c);
    }
    return out;
}

bool ParseU32(const std::string& value, uint32_t* pul) {
    if (value.empty()) {
        return false;
    }
    char* pEnd = nullptr;
    unsigned long long ull = strtoull(value.c_str(), &pEnd, 0);
    if (*pEnd != '\0' || ull > 0xFFFFFFFFull) {
        return false;
    }
    *pul = static_cast<uint32_t>(ull);
    return true;
}

}  // namespace

std::vector<uint8_t> BuildIdentification(const NameServiceIdentity& id, uint32_t dwRequestID) {
    const bool bV1 = id.wVersion == 0x0101;
    const bool bV3 = id.wVersion == 0x0400;
    std::vector<uint8_t> out;
    Put16(&out, kPkgIdentification);
    Put16(&out, id.wVersion);
    Put32(&out, dwRequestID);
    const uint32_t nParent = static_cast<uint32_t>(id.parentAddress.size() / 2);
    if (bV1) {
        Put32(&out, id.ulTargetType);
        Put16(&out, id.wMaxChannels);
        out.push_back(id.bIntelByteOrder);
        out.push_back(0);
        Put16(&out, nParent);
        Put16(&out, static_cast<uint32_t>(id.nodeName.size()));
        Put16(&out, static_cast<uint32_t>(id.deviceName.size()));
    } else {
        Put16(&out, id.wMaxChannels);
        out.push_back(id.bIntelByteOrder);
        out.push_back(0);
        Put16(&out, nParent);
        Put16(&out, static_cast<uint32_t>(id.nodeName.size()));
        Put16(&out, static_cast<uint32_t>(id.deviceName.size()));
        Put16(&out, static_cast<uint32_t>(id.vendorName.size()));
        Put32(&out, id.ulTargetType);
        Put32(&out, id.ulTargetId);
        Put32(&out, id.ulTargetVersion);
        if (bV3) {
            Put32(&out, id.ulFlags);
            out.push_back(static_cast<uint8_t>(id.serialNumber.size()));
            out.push_back(static_cast<uint8_t>(id.oemData.size()));
            out.push_back(id.byBlkDrvType);
            out.push_back(0);
            Put32(&out, 0);
            Put32(&out, 0);
        }
    }
    out.insert(out.end(), id.parentAddress.begin(), id.parentAddress.begin() + 2 * nParent);
    PutText(&out, id.nodeName);
    PutText(&out, id.deviceName);
    if (!bV1) {
        PutText(&out, id.vendorName);
    }
    if (bV3) {
        out.insert(out.end(), id.serialNumber.begin(), id.serialNumber.end());
        out.push_back(0);
        out.insert(out.end(), id.oemData.begin(), id.oemData.end());
    }
    if (id.bExtraByte) {
        out.push_back(0);
    }
    return out;
}

bool AnswerNamingRequest(const NameServiceIdentity& id, const std::vector<uint8_t>& request,
                         std::vector<uint8_t>* pAnswer) {
    if (request.size() < 8) {
        return false;
    }
    uint16_t wType = static_cast<uint16_t>(request[0] | (request[1] << 8));
    uint32_t dwId = static_cast<uint32_t>(request[4]) | (static_cast<uint32_t>(request[5]) << 8) |
                    (static_cast<uint32_t>(request[6]) << 16) | (static_cast<uint32_t>(request[7]) << 24);
    if (wType == kPkgResolveName) {
        std::u16string name;
        size_t i = 8;
        bool bTerminated = false;
        for (; i + 1 < request.size(); i += 2) {
            char16_t c = static_cast<char16_t>(request[i] | (request[i + 1] << 8));
            if (c == 0) {
                bTerminated = true;
                break;
            }
            name.push_back(c);
        }
        if (!bTerminated || name.size() != id.nodeName.size()) {
            return false;
        }
        for (size_t k = 0; k < name.size(); ++k) {
            if (Fold(name[k]) != Fold(id.nodeName[k])) {
                return false;
            }
        }
    } else if (wType != kPkgResolveAddr) {
        return false;
    }
    *pAnswer = BuildIdentification(id, dwId);
    return true;
}

bool ParseNameServiceOption(const std::string& name, const std::string& value, NameServiceOptions* pOptions,
                            bool* pbKnown, std::string* pError) {
    *pbKnown = true;
    NameServiceIdentity& id = pOptions->identity;
    if (name == "--udp") {
        pOptions->bUdp = true;
        return true;
    }
    if (name == "--node-name" || name == "--device-name" || name == "--vendor-name") {
        if (value.empty() || value.size() > 64) {
            *pError = name + " expects a text of 1 to 64 characters";
            return false;
        }
        (name == "--node-name"     ? id.nodeName
         : name == "--device-name" ? id.deviceName
                                   : id.vendorName) = Widen(value);
        return true;
    }
    if (name == "--serial-number") {
        if (value.size() > 64) {
            *pError = "--serial-number expects at most 64 characters";
            return false;
        }
        id.serialNumber = value;
        return true;
    }
    if (name == "--target-id" || name == "--target-type" || name == "--target-version") {
        uint32_t ul = 0;
        if (!ParseU32(value, &ul)) {
            *pError = "invalid number for " + name + ": \"" + value + "\"";
            return false;
        }
        (name == "--target-id"     ? id.ulTargetId
         : name == "--target-type" ? id.ulTargetType
                                   : id.ulTargetVersion) = ul;
        return true;
    }
    if (name == "--ns-version") {
        uint32_t ul = 0;
        if (!ParseU32(value, &ul) || (ul != 0x0101 && ul != 0x0102 && ul != 0x0103 && ul != 0x0400)) {
            *pError = "--ns-version expects 0x0101, 0x0102, 0x0103 or 0x0400";
            return false;
        }
        id.wVersion = static_cast<uint16_t>(ul);
        return true;
    }
    if (name == "--udp-port-index") {
        uint32_t ul = 0;
        if (!ParseU32(value, &ul) || ul > 3) {
            *pError = "--udp-port-index expects 0 to 3";
            return false;
        }
        pOptions->iUdpPortIndex = static_cast<int>(ul);
        pOptions->bUdp = true;
        return true;
    }
    if (name == "--udp-address") {
        RTS_UI32 ulAddr = 0;
        if (SysSockInetAddr(value.c_str(), &ulAddr) != ERR_OK) {
            *pError = "invalid IPv4 address in --udp-address \"" + value + "\"";
            return false;
        }
        pOptions->udpAddress = value;
        pOptions->bUdp = true;
        return true;
    }
    *pbKnown = false;
    return true;
}

bool NameServiceOptionTakesValue(const std::string& name) {
    return name != "--udp";
}

const char* NameServiceUsage() {
    return "name service:\n"
           "  --node-name TEXT         node name answered to scans and name queries (default "
           "KestrolinkEmulator)\n"
           "  --device-name TEXT, --vendor-name TEXT, --serial-number TEXT\n"
           "  --target-type N, --target-id N, --target-version N\n"
           "  --ns-version V           layout of the identification: 0x0101, 0x0102, 0x0103 or 0x0400\n"
           "  --udp                    answer on UDP too (127.0.0.1, ports 1740..1743)\n"
           "  --udp-port-index N       UDP port 1740+N (default: the first free of 0, 1, 3, 2)\n"
           "  --udp-address ADDR       IPv4 address of the UDP socket (loopback unless --allow-remote)\n";
}

// ---- TCP: a handler of the router node -------------------------------------------------------

NameServiceHandler::NameServiceHandler(const NameServiceIdentity& identity, IPackageHandler* pNext)
    : m_identity(identity), m_pNext(pNext) {}

bool NameServiceHandler::HandlePackage(const L3Package& request, L3Package* pReply) {
    if (request.byServiceId != kPidNamingRequest) {
        return m_pNext != nullptr && m_pNext->HandlePackage(request, pReply);
    }
    if (!AnswerNamingRequest(m_identity, request.data, &pReply->data)) {
        return false;
    }
    pReply->byServiceId = kPidNamingResponse;
    pReply->byMessageId = request.byMessageId;
    ++m_nAnswered;
    return true;
}

// ---- UDP --------------------------------------------------------------------------------------

std::vector<uint8_t> UdpNodeAddress(uint32_t ulIpNet, uint32_t ulMaskNet, int iPortIndex) {
    uint32_t ulHostMask = ~SysSockNtohl(ulMaskNet);
    int nHostBits = 0;
    while (nHostBits < 32 && (ulHostMask >> nHostBits) != 0) {
        ++nHostBits;
    }
    uint64_t ullValue =
        (SysSockNtohl(ulIpNet) & ulHostMask) | (static_cast<uint64_t>(iPortIndex & 3) << nHostBits);
    size_t nBytes = static_cast<size_t>((nHostBits + 2 + 7) / 8);
    std::vector<uint8_t> out(nBytes + (nBytes % 2), 0);
    for (size_t i = 0; i < nBytes; ++i) {
        out[out.size() - 1 - i] = static_cast<uint8_t>((ullValue >> (8 * i)) & 0xFF);
    }
    return out;
}

NameServiceUdpResponder::NameServiceUdpResponder(const NameServiceOptions& options) : m_options(options) {}

NameServiceUdpResponder::~NameServiceUdpResponder() {
    Stop();
}

std::string NameServiceUdpResponder::NodeAddressText() const {
    std::string out;
    char sz[8];
    for (size_t i = 0; i + 1 < m_nodeAddress.size(); i += 2) {
        snprintf(sz, sizeof(sz), "%s%02X%02X", i == 0 ? "" : ":", m_nodeAddress[i], m_nodeAddress[i + 1]);
        out += sz;
    }
    return out;
}

bool NameServiceUdpResponder::Start(std::string* pError) {
    if (m_hTask != RTS_INVALID_HANDLE) {
        *pError = "name service already started";
        return false;
    }
    RTS_UI32 ulAddr = 0;
    if (SysSockInetAddr(m_options.udpAddress.c_str(), &ulAddr) != ERR_OK) {
        *pError = "invalid UDP address " + m_options.udpAddress;
        return false;
    }
    if (!m_options.bAllowRemote && !SysSockIsLoopbackAddr(ulAddr)) {
        *pError = "UDP address " + m_options.udpAddress + " is not a loopback address (see --allow-remote)";
        return false;
    }
    // The mask of the adapter that holds the address decides the node address.
    uint32_t ulMask = SysSockHtonl(0xFF000000u);
    SYS_ADAPTER_INFO aList[32];
    int n = 0;
    SysSockGetAdapterList(aList, 32, &n);
    for (int i = 0; i < n; ++i) {
        if (aList[i].ulIpAddr == ulAddr && aList[i].ulNetMask != 0) {
            ulMask = aList[i].ulNetMask;
        }
    }
    static const int aiAuto[] = {0, 1, 3, 2};
    const int nTries = m_options.iUdpPortIndex >= 0 ? 1 : 4;
    RTS_RESULT r = ERR_FAILED;
    for (int t = 0; t < nTries && m_hSocket == RTS_INVALID_HANDLE; ++t) {
        int iIdx = m_options.iUdpPortIndex >= 0 ? m_options.iUdpPortIndex : aiAuto[t];
        // Without address reuse: a port that a client or another emulator
        // holds is refused rather than shared.
        m_hSocket = SysSockUdpOpen(ulAddr, static_cast<RTS_UI16>(kUdpBasePort + iIdx), SYS_UDP_NONBLOCKING,
                                   65536, &r);
        if (m_hSocket != RTS_INVALID_HANDLE) {
            m_iPortIndex = iIdx;
        }
    }
    if (m_hSocket == RTS_INVALID_HANDLE) {
        *pError = r == ERR_SOCK_ADDRINUSE ? "no free UDP port of 1740..1743 on " + m_options.udpAddress
                                          : "cannot open the UDP socket on " + m_options.udpAddress;
        return false;
    }
    m_nodeAddress = UdpNodeAddress(ulAddr, ulMask, m_iPortIndex);
    m_hTask = SysTaskCreate("KlEmuNameSvc", TaskEntry, this, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, &r);
    if (m_hTask == RTS_INVALID_HANDLE) {
        *pError = "cannot start the name-service task";
        SysSockClose(m_hSocket);
        m_hSocket = RTS_INVALID_HANDLE;
        return false;
    }
    SysTaskResume(m_hTask);
    return true;
}

void NameServiceUdpResponder::Stop() {
    if (m_hTask != RTS_INVALID_HANDLE) {
        SysTaskExit(m_hTask, kTaskExitWaitMs);
        m_hTask = RTS_INVALID_HANDLE;
    }
    if (m_hSocket != RTS_INVALID_HANDLE) {
        SysSockClose(m_hSocket);
        m_hSocket = RTS_INVALID_HANDLE;
    }
}

void NameServiceUdpResponder::TaskEntry(SYS_TASK_PARAM* ptp) {
    static_cast<NameServiceUdpResponder*>(ptp->pParam)->Run(ptp);
}

void NameServiceUdpResponder::Run(SYS_TASK_PARAM* ptp) {
    uint8_t abyBuffer[kMaxDatagram];
    const RTS_UI32 ulWaitMs = m_pChannels != nullptr ? kChannelSelectWaitMs : kSelectWaitMs;
    while (ptp->bExit.load() == 0) {
        SOCKET_FD_SET rd;
        SysSockFdZero(&rd);
        SysSockFdSet(m_hSocket, &rd);
        SOCKET_TIMEVAL tv{0, static_cast<RTS_I32>(ulWaitMs * 1000)};
        RTS_I32 nReady = 0;
        if (SysSockSelect(&rd, nullptr, nullptr, &tv, &nReady) == ERR_OK) {
            for (int k = 0; k < 32; ++k) {
                SOCKADDRESS from;
                int iSize = sizeof(from);
                RTS_RESULT r = ERR_OK;
                RTS_SIZE n = SysSockRecvFrom(m_hSocket, abyBuffer, sizeof(abyBuffer), 0, &from, &iSize, &r);
                if (r != ERR_OK) {
                    break;
                }
                HandleDatagram(abyBuffer, n, from.sin_addr, SysSockNtohs(from.sin_port));
            }
        }
        if (m_pChannels != nullptr) {
            // The TCP side's task runs the same timers; whichever comes first
            // sends what is due, the other finds nothing.
            m_pChannels->Cycle();
            FlushChannels();
        }
    }
}

bool NameServiceUdpResponder::IsForThisNode(const L3Package& pkg) const {
    // The receiver ends with this node's address (a unicast through a
    // gateway carries the path in front of it).
    return pkg.receiver.size() >= m_nodeAddress.size() &&
           memcmp(pkg.receiver.data() + pkg.receiver.size() - m_nodeAddress.size(), m_nodeAddress.data(),
                  m_nodeAddress.size()) == 0;
}

bool NameServiceUdpResponder::SendBlock(const L3Package& pkg, uint32_t ulToNet, uint16_t usToPort) {
    std::vector<uint8_t> block = BuildL3(pkg);
    if (block.size() > kUdpMaxBlock) {
        return false;
    }
    SOCKADDRESS to;
    memset(&to, 0, sizeof(to));
    to.sin_family = SOCKET_AF_INET;
    to.sin_addr = ulToNet;
    to.sin_port = SysSockHtons(usToPort);
    RTS_RESULT r = ERR_OK;
    RTS_SIZE nSent = SysSockSendTo(m_hSocket, block.data(), block.size(), 0, &to, sizeof(to), &r);
    return r == ERR_OK && nSent == block.size();
}

void NameServiceUdpResponder::HandleDatagram(const uint8_t* p, size_t n, uint32_t ulFromNet,
                                             uint16_t usFromPort) {
    // Peers of the name service send from their own port of the four.
    if (usFromPort < kUdpBasePort || usFromPort >= kUdpBasePort + 4) {
        return;
    }
    L3Package req;
    if (!ParseL3(p, n, &req) || (req.byFlag2 & 0x10) != 0) {
        return;
    }
    if (req.byServiceId == kPidLayer4) {
        HandleChannelPackage(req, ulFromNet, usFromPort);
        return;
    }
    if (req.byServiceId != kPidNamingRequest) {
        return;
    }
    ++m_nRequests;
    // A broadcast has no receiver.
    if (!req.receiver.empty() && !IsForThisNode(req)) {
        return;
    }
    L3Package reply;
    if (!AnswerNamingRequest(m_options.identity, req.data, &reply.data)) {
        return;
    }
    reply.byFlag1 = static_cast<uint8_t>(15u << 3);
    reply.byFlag2 = static_cast<uint8_t>(req.byFlag2 & 0xC0u);
    reply.byServiceId = kPidNamingResponse;
    reply.byMessageId = req.byMessageId;
    reply.nHeaderWords = 3;
    reply.receiver = req.sender;
    reply.sender = m_nodeAddress;
    if (SendBlock(reply, ulFromNet, usFromPort)) {
        ++m_nAnswered;
    }
}

void NameServiceUdpResponder::HandleChannelPackage(const L3Package& req, uint32_t ulFromNet,
                                                   uint16_t usFromPort) {
    // Channels are unicasts with an address to answer to, and stay on the
    // loopback whatever address the socket has.
    if (m_pChannels == nullptr || req.receiver.empty() || req.sender.empty() || !IsForThisNode(req) ||
        SysSockIsLoopbackAddr(ulFromNet) == 0) {
        return;
    }
    std::vector<uint8_t> key(kUdpPeerKeyHead);
    key[0] = static_cast<uint8_t>(kUdpPeerTag | (m_iPortIndex & 3));
    memcpy(key.data() + 1, &ulFromNet, 4);
    key[5] = static_cast<uint8_t>(usFromPort >> 8);
    key[6] = static_cast<uint8_t>(usFromPort & 0xFF);
    key.insert(key.end(), req.sender.begin(), req.sender.end());
    // The answers carry the client's address and this node's: the channel's
    // blocks are sized so that both fit in one datagram of the driver.
    const uint16_t wMaxBlockSize = ChannelBlockSizeFor(
        static_cast<unsigned>((req.sender.size() + m_nodeAddress.size()) / 2), kUdpMaxBlock);
    ++m_nChannelIn;
    m_pChannels->HandlePackage(key, req.data.data(), req.data.size(), wMaxBlockSize);
    FlushChannels();
}

bool NameServiceUdpResponder::IsOwnPeerKey(const std::vector<uint8_t>& key) const {
    return key.size() >= kUdpPeerKeyHead && key.size() % 2 == 1 &&
           key[0] == static_cast<uint8_t>(kUdpPeerTag | (m_iPortIndex & 3));
}

void NameServiceUdpResponder::FlushChannels() {
    std::vector<ChannelServer::Outgoing> out =
        m_pChannels->TakeOutgoing([this](const std::vector<uint8_t>& key) { return IsOwnPeerKey(key); });
    for (const auto& o : out) {
        uint32_t ulToNet = 0;
        memcpy(&ulToNet, o.peer.data() + 1, 4);
        const uint16_t usToPort = static_cast<uint16_t>((o.peer[5] << 8) | o.peer[6]);
        if (SysSockIsLoopbackAddr(ulToNet) == 0) {
            continue;
        }
        L3Package pkg;
        pkg.byFlag1 = static_cast<uint8_t>(15u << 3);
        pkg.byFlag2 = static_cast<uint8_t>(1u << 6);
        pkg.byServiceId = kPidLayer4;
        pkg.byMessageId = 0;
        pkg.nHeaderWords = 3;
        pkg.receiver.assign(o.peer.begin() + kUdpPeerKeyHead, o.peer.end());
        pkg.sender = m_nodeAddress;
        pkg.data = o.data;
        if (SendBlock(pkg, ulToNet, usToPort)) {
            ++m_nChannelOut;
        }
    }
}

}  // namespace klemu
