// The emulator's router node: reads and writes layer-3 packages and answers
// the ones addressed to this node.
#include "EmulatorNode.h"

#include <cstdio>
#include <cstring>

namespace klemu {

bool ByteReader::U8(uint8_t* pv) {
    if (m_pos >= m_n) {
        return false;
    }
    *pv = m_p[m_pos++];
    return true;
}

bool ByteReader::Bytes(size_t n, const uint8_t** pp) {
    if (n > m_n - m_pos) {
        return false;
    }
    *pp = m_p + m_pos;
    m_pos += n;
    return true;
}

bool ParseL3(const uint8_t* p, size_t n, L3Package* pPkg) {
    if (p == nullptr || n < 6 || n > kL3MaxBlock) {
        return false;
    }
    ByteReader rd(p, n);
    uint8_t byMarker = 0;
    uint8_t byLengths = 0;
    if (!rd.U8(&byMarker) || byMarker != kL3Marker || !rd.U8(&pPkg->byFlag1) || !rd.U8(&pPkg->byFlag2) ||
        !rd.U8(&pPkg->byServiceId) || !rd.U8(&pPkg->byMessageId) || !rd.U8(&byLengths)) {
        return false;
    }
    pPkg->nHeaderWords = pPkg->byFlag1 & 0x07u;
    if (pPkg->nHeaderWords < 3) {
        return false;
    }
    const uint8_t* pExtra = nullptr;
    if (!rd.Bytes(2 * pPkg->nHeaderWords - 6, &pExtra)) {
        return false;
    }
    pPkg->usBroadcastId = pPkg->nHeaderWords == 4 ? static_cast<uint16_t>((pExtra[0] << 8) | pExtra[1]) : 0;
    size_t nReceiver = 2u * (byLengths & 0x0Fu);
    size_t nSender = 2u * (byLengths >> 4);
    const uint8_t* pR = nullptr;
    const uint8_t* pS = nullptr;
    if (!rd.Bytes(nReceiver, &pR) || !rd.Bytes(nSender, &pS)) {
        return false;
    }
    const uint8_t* pPad = nullptr;
    if (rd.Pos() % 4 != 0 && !rd.Bytes(2, &pPad)) {
        return false;
    }
    pPkg->receiver.assign(pR, pR + nReceiver);
    pPkg->sender.assign(pS, pS + nSender);
    const uint8_t* pData = nullptr;
    size_t nData = rd.Remaining();
    rd.Bytes(nData, &pData);
    pPkg->data.assign(pData, pData + nData);
    return true;
}

std::vector<uint8_t> BuildL3(const L3Package& pkg) {
    std::vector<uint8_t> out;
    unsigned nWords = pkg.nHeaderWords == 4 ? 4u : 3u;
    out.push_back(kL3Marker);
    out.push_back(static_cast<uint8_t>((pkg.byFlag1 & 0xF8u) | nWords));
    out.push_back(pkg.byFlag2);
    out.push_back(pkg.byServiceId);
    out.push_back(pkg.byMessageId);
    out.push_back(static_cast<uint8_t>(((pkg.sender.size() / 2) << 4) | ((pkg.receiver.size() / 2) & 0x0Fu)));
    if (nWords == 4) {
        out.push_back(static_cast<uint8_t>(pkg.usBroadcastId >> 8));
        out.push_back(static_cast<uint8_t>(pkg.usBroadcastId & 0xFF));
    }
    out.insert(out.end(), pkg.receiver.begin(), pkg.receiver.end());
    out.insert(out.end(), pkg.sender.begin(), pkg.sender.end());
    if (out.size() % 4 != 0) {
        out.push_back(0);
        out.push_back(0);
    }
    out.insert(out.end(), pkg.data.begin(), pkg.data.end());
    return out;
}

bool EchoHandler::HandlePackage(const L3Package& request, L3Package* pReply) {
    if (request.byServiceId != kPidLayer4) {
        return false;
    }
    pReply->byServiceId = request.byServiceId;
    pReply->byMessageId = request.byMessageId;
    pReply->data = request.data;
    return true;
}

EmulatorNode::EmulatorNode(uint32_t ulIpNet, uint16_t usPort) {
    uint8_t abyIp[4];
    memcpy(abyIp, &ulIpNet, 4);
    m_address = {static_cast<uint8_t>(usPort >> 8),
                 static_cast<uint8_t>(usPort & 0xFF),
                 abyIp[0],
                 abyIp[1],
                 abyIp[2],
                 abyIp[3]};
    m_pHandler = &m_echo;
}

std::string EmulatorNode::AddressText() const {
    char sz[32];
    snprintf(sz, sizeof(sz), "%02X%02X:%02X%02X:%02X%02X", m_address[0], m_address[1], m_address[2],
             m_address[3], m_address[4], m_address[5]);
    return sz;
}

void EmulatorNode::SetHandler(IPackageHandler* pHandler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pHandler = pHandler != nullptr ? pHandler : &m_echo;
}

uint64_t EmulatorNode::Handled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handled;
}

uint64_t EmulatorNode::Dropped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

bool EmulatorNode::HandleBlock(const uint8_t* p, size_t n, const uint8_t* pPeerNet,
                               std::vector<uint8_t>* pReply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    L3Package req;
    // Relative receivers belong to the address service of subnets, which a
    // controller on a TCP main net does not serve.
    if (!ParseL3(p, n, &req) || (req.byFlag2 & 0x10) != 0 || req.receiver.size() < m_address.size() ||
        req.sender.size() < m_address.size()) {
        ++m_dropped;
        return false;
    }
    memcpy(req.receiver.data(), m_address.data(), m_address.size());
    memcpy(req.sender.data(), pPeerNet, m_address.size());
    if (req.receiver != m_address) {
        ++m_dropped;  // a node further down: this controller routes no further
        return false;
    }
    L3Package reply;
    if (!m_pHandler->HandlePackage(req, &reply)) {
        ++m_dropped;
        return false;
    }
    reply.byFlag1 = static_cast<uint8_t>(15u << 3);
    reply.byFlag2 = static_cast<uint8_t>(req.byFlag2 & 0xC0u);
    reply.nHeaderWords = 3;
    reply.receiver = req.sender;
    reply.sender = m_address;
    if (reply.data.size() + 6 + reply.receiver.size() + reply.sender.size() + 2 > kL3MaxBlock) {
        ++m_dropped;
        return false;
    }
    *pReply = BuildL3(reply);
    ++m_handled;
    return true;
}

}  // namespace klemu
