// The emulator's layer-4 server: channels opened by clients, request
// messages taken in blocks, response messages sent in blocks, and the fault
// switches of this layer. See ChannelServer.h.
#include "ChannelServer.h"

#include <cstdlib>
#include <cstring>

#include "BlkDrvTcpTypes.h"
#include "SysEvent.h"
#include "SysTime.h"

namespace klemu {
namespace {

constexpr uint8_t kData = 1;
constexpr uint8_t kAck = 2;
constexpr uint8_t kKeepAlive = 3;
constexpr uint8_t kOpenReq = 0xC3;
constexpr uint8_t kOpenResp = 0x83;
constexpr uint8_t kCloseReq = 0xC4;
constexpr uint8_t kCloseNotice = 0x84;
constexpr uint8_t kFirst = 0x01;
constexpr uint8_t kFromClient = 0x80;
constexpr uint32_t kAheadLimit = 64;

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0xFFFFFFFFu) {
    static uint32_t s_table[256];
    static bool s_bInit = [] {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            s_table[i] = c;
        }
        return true;
    }();
    (void)s_bInit;
    for (size_t i = 0; i < n; ++i) {
        crc = s_table[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    }
    return crc;
}

uint32_t Crc32Final(const uint8_t* p, size_t n) {
    return ~Crc32(p, n);
}

// CRC of a meta package with its checksum field taken as 0.
uint32_t MetaCrc(const uint8_t* p, size_t n) {
    static const uint8_t s_zero[4] = {0, 0, 0, 0};
    uint32_t crc = Crc32(p, 4);
    crc = Crc32(s_zero, 4, crc);
    return ~Crc32(p + 8, n - 8, crc);
}

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Put16(std::vector<uint8_t>* pOut, uint16_t v) {
    pOut->push_back(static_cast<uint8_t>(v & 0xFF));
    pOut->push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>* pOut, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        pOut->push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
    }
}

bool ParseLong(const std::string& value, long* pl) {
    char* pEnd = nullptr;
    long l = strtol(value.c_str(), &pEnd, 10);
    if (value.empty() || pEnd == nullptr || *pEnd != '\0' || l < 0) {
        return false;
    }
    *pl = l;
    return true;
}

bool ParseFraction(const std::string& value, double* pd) {
    char* pEnd = nullptr;
    double d = strtod(value.c_str(), &pEnd);
    if (value.empty() || pEnd == nullptr || *pEnd != '\0' || !(d >= 0.0 && d <= 1.0)) {
        return false;
    }
    *pd = d;
    return true;
}

}  // namespace

uint16_t ChannelBlockSizeFor(unsigned nComponents, size_t nMaxBlock) {
    unsigned hdr = 6 + 2 * nComponents;
    hdr = (hdr + 3) & ~3u;
    if (nMaxBlock > 0xFFFF) {
        nMaxBlock = 0xFFFF;
    }
    return hdr >= nMaxBlock ? 0 : static_cast<uint16_t>(nMaxBlock - hdr);
}

bool ParseChannelServerOption(const std::string& name, const std::string& value,
                              ChannelServerOptions* pOptions, bool* pbKnown, std::string* pError) {
    *pbKnown = true;
    long l = 0;
    if (name == "--drop-blocks" || name == "--duplicate-blocks" || name == "--reorder-blocks") {
        double d = 0.0;
        if (!ParseFraction(value, &d)) {
            *pError = name + " needs a fraction between 0 and 1";
            return false;
        }
        (name == "--drop-blocks"        ? pOptions->dDropBlocks
         : name == "--duplicate-blocks" ? pOptions->dDuplicateBlocks
                                        : pOptions->dReorderBlocks) = d;
        return true;
    }
    if (name == "--corrupt-crc-every" || name == "--stall-after-messages" ||
        name == "--close-channel-after" || name == "--seed") {
        if (!ParseLong(value, &l) || (name == "--corrupt-crc-every" && l == 0)) {
            *pError = name + " needs a " + (name == "--corrupt-crc-every" ? "positive" : "non-negative") +
                      " number";
            return false;
        }
        if (name == "--corrupt-crc-every") {
            pOptions->lCorruptCrcEvery = l;
        } else if (name == "--stall-after-messages") {
            pOptions->lStallAfterMessages = l;
        } else if (name == "--close-channel-after") {
            pOptions->lCloseChannelAfter = l;
        } else {
            pOptions->ulSeed = static_cast<uint32_t>(l);
        }
        return true;
    }
    *pbKnown = false;
    return true;
}

const char* ChannelServerUsage() {
    return "  --drop-blocks P           drop this fraction of outgoing data blocks and acknowledgements\n"
           "  --duplicate-blocks P      send this fraction of them twice\n"
           "  --reorder-blocks P        hold this fraction back behind the next package\n"
           "  --seed N                  seed of the fault switches (default 1)\n"
           "  --corrupt-crc-every N     every N-th response carries a wrong checksum\n"
           "  --stall-after-messages N  answer N requests, then nothing more (TCP stays open)\n"
           "  --close-channel-after N   answer N requests, then close the channel\n";
}

std::vector<uint8_t> ChannelServerEchoResponse(const std::vector<uint8_t>& request) {
    std::vector<uint8_t> response(request.size());
    for (size_t i = 0; i < request.size(); ++i) {
        response[i] = static_cast<uint8_t>(~request[i]);
    }
    return response;
}

ChannelServer::ChannelServer(const ChannelServerOptions& options)
    : m_options(options), m_responder(ChannelServerEchoResponse), m_rng(options.ulSeed) {}

void ChannelServer::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(responder);
    m_sizedResponder = nullptr;
}

void ChannelServer::SetSizedResponder(SizedResponder responder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sizedResponder = std::move(responder);
}

ChannelServerStats ChannelServer::Stats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

size_t ChannelServer::NumChannels() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_channels.size();
}

uint64_t ChannelServer::OpenRequestsSeen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ullOpenRequests;
}

std::vector<ChannelServer::Outgoing> ChannelServer::TakeOutgoing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Outgoing> out;
    out.swap(m_out);
    return out;
}

std::vector<ChannelServer::Outgoing> ChannelServer::TakeOutgoing(
    const std::function<bool(const std::vector<uint8_t>&)>& match) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Outgoing> taken;
    std::vector<Outgoing> kept;
    for (auto& o : m_out) {
        (match(o.peer) ? taken : kept).push_back(std::move(o));
    }
    m_out.swap(kept);
    return taken;
}

ChannelServer::Channel* ChannelServer::Find(const std::vector<uint8_t>& peer, uint16_t wId) {
    for (auto& p : m_channels) {
        if (p->wId == wId && p->peer == peer) {
            return p.get();
        }
    }
    return nullptr;
}

void ChannelServer::Erase(Channel* pCh) {
    for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
        if (it->get() == pCh) {
            m_channels.erase(it);
            return;
        }
    }
}

void ChannelServer::HandlePackage(const std::vector<uint8_t>& peer, const uint8_t* p, size_t n,
                                  uint16_t wMaxBlockSize) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p == nullptr || n < 2) {
        return;
    }
    const uint8_t byType = p[0];
    if ((byType & 0x80) != 0) {
        if (n < 8 || MetaCrc(p, n) != U32(p + 4)) {
            return;
        }
        if (byType == kOpenReq) {
            HandleOpen(peer, p, n, wMaxBlockSize);
        } else if (byType == kCloseReq && n >= 12) {
            Channel* pCh = Find(peer, U16(p + 8));
            if (pCh != nullptr) {
                m_stats.ullCloses++;
                Erase(pCh);
            }
        }
        return;
    }
    if (n < 4 || (p[1] & kFromClient) == 0) {
        return;
    }
    Channel* pCh = Find(peer, U16(p + 2));
    if (pCh == nullptr || pCh->bStalled) {
        return;
    }
    if (byType == kData && n >= 12) {
        HandleData(pCh, p, n);
    } else if (byType == kAck && n >= 8) {
        HandleAck(pCh, U32(p + 4));
    }
}

void ChannelServer::HandleOpen(const std::vector<uint8_t>& peer, const uint8_t* p, size_t n,
                               uint16_t wMaxBlockSize) {
    if (n < 20) {
        return;
    }
    m_ullOpenRequests++;
    if (!m_options.bAnswerOpens) {
        return;
    }
    const uint32_t dwRequestId = U32(p + 8);
    const uint32_t dwRequested = U32(p + 12);
    const uint8_t byRequestAddr = p[16];
    const uint8_t byAnswerAddr =
        m_options.iMaxAddressSize >= 0 ? static_cast<uint8_t>(m_options.iMaxAddressSize) : byRequestAddr;

    Channel* pCh = nullptr;
    for (auto& c : m_channels) {
        if (c->peer == peer && c->dwOpenRequestId == dwRequestId) {
            pCh = c.get();  // a repeated request whose answer got lost
        }
    }
    uint16_t wResult = m_options.wOpenResult;
    if (pCh == nullptr && wResult == 0) {
        uint16_t wId = 0;
        for (int i = 0; i < 0xFFFF && wId == 0; ++i) {
            uint16_t w = m_wNextId;
            m_wNextId = static_cast<uint16_t>(w == 0xFFFF ? 1 : w + 1);
            bool bUsed = false;
            for (auto& c : m_channels) {
                bUsed = bUsed || c->wId == w;
            }
            wId = bUsed ? 0 : w;
        }
        std::unique_ptr<Channel> ch(new Channel());
        ch->wId = wId;
        ch->peer = peer;
        ch->dwOpenRequestId = dwRequestId;
        ch->ulBufferSize =
            (dwRequested < m_options.ulMaxBufferSize ? dwRequested : m_options.ulMaxBufferSize) +
            m_options.ulGrantExtra;
        // The client sizes its blocks for the larger of the two address figures.
        ch->wBlockSize = byAnswerAddr > byRequestAddr ? ChannelBlockSizeFor(byAnswerAddr) : wMaxBlockSize;
        uint32_t ulPayload = ch->wBlockSize > 20 ? ch->wBlockSize - 20u : 1u;
        uint32_t ulBlocks = (ch->ulBufferSize + ulPayload - 1) / ulPayload;
        uint32_t nTable = 2;
        while (nTable < ulBlocks && nTable < 0x8000u) {
            nTable *= 2;
        }
        // The client keeps at most its table size less one block ahead of a gap.
        ch->uWindow = m_options.uWindow < nTable - 1 ? m_options.uWindow : nTable - 1;
        ch->ulLastSend = SysTimeGetMs();
        pCh = ch.get();
        m_channels.push_back(std::move(ch));
        m_stats.ullOpens++;
    }
    std::vector<uint8_t> resp;
    resp.push_back(kOpenResp);
    resp.push_back(0);
    resp.push_back(0x01);
    resp.push_back(m_options.bOldVersionResponse ? 0x00 : 0x01);
    Put32(&resp, 0);
    Put32(&resp, dwRequestId);
    Put16(&resp, wResult);
    Put16(&resp, pCh != nullptr && wResult == 0 ? pCh->wId : 0);
    Put32(&resp, pCh != nullptr && wResult == 0 ? pCh->ulBufferSize : 0);
    if (!m_options.bOldVersionResponse) {
        resp.push_back(m_options.bBigEndian ? 1 : 0);
        resp.push_back(byAnswerAddr);
        Put16(&resp, 0);
    }
    SendMeta(peer, std::move(resp));
}

bool ChannelServer::TakeInOrder(Channel* pCh, const uint8_t* p, size_t n) {
    const bool bFirst = (p[1] & kFirst) != 0;
    size_t hdr = 12;
    if (!pCh->bRxStarted) {
        if (!bFirst || n < 20) {
            return false;
        }
        uint32_t ulSize = U32(p + 12);
        if (ulSize == 0 || ulSize > pCh->ulBufferSize) {
            return false;
        }
        hdr = 20;
        if (n - hdr > ulSize || (n - hdr < ulSize && n != pCh->wBlockSize)) {
            return false;
        }
        pCh->bRxStarted = true;
        pCh->ulRxSize = ulSize;
        pCh->ulRxCrc = U32(p + 16);
        pCh->rx.clear();
        pCh->rx.reserve(ulSize);
    } else {
        if (bFirst) {
            return false;
        }
        size_t remaining = pCh->ulRxSize - pCh->rx.size();
        if (n - hdr > remaining || (n - hdr < remaining && n != pCh->wBlockSize)) {
            return false;
        }
    }
    pCh->rx.insert(pCh->rx.end(), p + hdr, p + n);
    pCh->dwLastBlock++;
    return true;
}

void ChannelServer::HandleData(Channel* pCh, const uint8_t* p, size_t n) {
    HandleAck(pCh, U32(p + 8));
    const uint32_t dwBlock = U32(p + 4);
    if (static_cast<int32_t>(dwBlock - pCh->dwLastBlock) <= 0) {
        SendAck(pCh);  // a repeat: our acknowledgement got lost
        return;
    }
    if (pCh->bSending) {
        return;  // not the client's turn
    }
    const uint32_t dwDistance = dwBlock - pCh->dwLastBlock;
    if (dwDistance == 1) {
        if (!TakeInOrder(pCh, p, n)) {
            return;
        }
        for (auto it = pCh->ahead.find(pCh->dwLastBlock + 1); it != pCh->ahead.end();
             it = pCh->ahead.find(pCh->dwLastBlock + 1)) {
            std::vector<uint8_t> block = std::move(it->second);
            pCh->ahead.erase(it);
            if (!TakeInOrder(pCh, block.data(), block.size())) {
                break;
            }
        }
    } else if (dwDistance < kAheadLimit) {
        pCh->ahead[dwBlock].assign(p, p + n);
    } else {
        return;
    }
    SendAck(pCh);
    if (pCh->bRxStarted && pCh->rx.size() == pCh->ulRxSize) {
        RequestComplete(pCh);
    }
}

void ChannelServer::RequestComplete(Channel* pCh) {
    pCh->bRxStarted = false;
    pCh->ahead.clear();
    if (Crc32Final(pCh->rx.data(), pCh->rx.size()) != pCh->ulRxCrc) {
        m_stats.ullChecksumErrors++;
        SendClose(pCh, 420);
        Erase(pCh);
        return;
    }
    m_stats.ullMessages++;
    pCh->lMessages++;
    if (m_options.lStallAfterMessages >= 0 && pCh->lMessages > m_options.lStallAfterMessages) {
        pCh->bStalled = true;
        return;
    }
    if (m_options.lCloseChannelAfter >= 0 && pCh->lMessages > m_options.lCloseChannelAfter) {
        SendClose(pCh, 1);
        Erase(pCh);
        return;
    }
    pCh->tx = m_sizedResponder ? m_sizedResponder(pCh->rx, pCh->ulBufferSize) : m_responder(pCh->rx);
    pCh->rx.clear();
    if (pCh->tx.empty() || pCh->tx.size() > pCh->ulBufferSize) {
        SendClose(pCh, 1);
        Erase(pCh);
        return;
    }
    pCh->ulTxCrc = Crc32Final(pCh->tx.data(), pCh->tx.size());
    if (m_options.lCorruptCrcEvery > 0 && pCh->lMessages % m_options.lCorruptCrcEvery == 0) {
        pCh->ulTxCrc ^= 0xFFFFFFFFu;
    }
    pCh->ulTxNext = 0;
    pCh->bSending = true;
    SendNewBlocks(pCh);
}

void ChannelServer::HandleAck(Channel* pCh, uint32_t dwAck) {
    if (dwAck - pCh->dwNextAck < pCh->dwNextBlock - pCh->dwNextAck) {
        pCh->unacked.erase(pCh->unacked.begin(), pCh->unacked.upper_bound(dwAck));
        // Numbers of one response stay far below the wrap of the map order.
        pCh->dwNextAck = dwAck + 1;
    }
    if (!pCh->bSending) {
        return;
    }
    if (pCh->dwNextAck == pCh->dwNextBlock && pCh->ulTxNext == pCh->tx.size()) {
        pCh->bSending = false;
        pCh->tx.clear();
        pCh->unacked.clear();
        return;
    }
    SendNewBlocks(pCh);
}

void ChannelServer::SendNewBlocks(Channel* pCh) {
    const uint32_t ulNow = SysTimeGetMs();
    while (pCh->dwNextBlock - pCh->dwNextAck < pCh->uWindow && pCh->ulTxNext < pCh->tx.size()) {
        const uint32_t hdr = pCh->ulTxNext == 0 ? 20 : 12;
        uint32_t len = static_cast<uint32_t>(pCh->tx.size()) - pCh->ulTxNext;
        if (len > pCh->wBlockSize - hdr) {
            len = pCh->wBlockSize - hdr;
        }
        SentBlock block;
        block.ulStart = pCh->ulTxNext;
        block.ulLength = len;
        block.ulTime = ulNow;
        pCh->unacked[pCh->dwNextBlock] = block;
        SendBlock(pCh, pCh->dwNextBlock, block, true);
        m_stats.ullBlocksSent++;
        pCh->dwNextBlock++;
        pCh->ulTxNext += len;
    }
}

void ChannelServer::SendBlock(Channel* pCh, uint32_t dwBlock, const SentBlock& block, bool bFaults) {
    const bool bFirst = block.ulStart == 0;
    std::vector<uint8_t> pkg;
    pkg.reserve(20 + block.ulLength);
    pkg.push_back(kData);
    pkg.push_back(bFirst ? kFirst : 0);
    Put16(&pkg, pCh->wId);
    Put32(&pkg, dwBlock);
    Put32(&pkg, pCh->dwLastBlock);
    if (bFirst) {
        Put32(&pkg, static_cast<uint32_t>(pCh->tx.size()));
        Put32(&pkg, pCh->ulTxCrc);
    }
    pkg.insert(pkg.end(), pCh->tx.begin() + block.ulStart, pCh->tx.begin() + block.ulStart + block.ulLength);
    pCh->ulLastSend = SysTimeGetMs();
    Emit(pCh->peer, std::move(pkg), bFaults);
}

void ChannelServer::SendAck(Channel* pCh) {
    std::vector<uint8_t> pkg;
    pkg.push_back(kAck);
    pkg.push_back(0);
    Put16(&pkg, pCh->wId);
    Put32(&pkg, pCh->dwLastBlock);
    pCh->ulLastSend = SysTimeGetMs();
    Emit(pCh->peer, std::move(pkg), true);
}

void ChannelServer::SendClose(Channel* pCh, uint16_t wError) {
    std::vector<uint8_t> pkg;
    pkg.push_back(kCloseNotice);
    pkg.push_back(0);
    pkg.push_back(0x01);
    pkg.push_back(0x01);
    Put32(&pkg, 0);
    Put16(&pkg, pCh->wId);
    Put16(&pkg, wError);
    SendMeta(pCh->peer, std::move(pkg));
}

void ChannelServer::SendMeta(const std::vector<uint8_t>& peer, std::vector<uint8_t> pkg) {
    uint32_t crc = MetaCrc(pkg.data(), pkg.size());
    for (int i = 0; i < 4; ++i) {
        pkg[4 + i] = static_cast<uint8_t>((crc >> (8 * i)) & 0xFF);
    }
    m_out.push_back(Outgoing{peer, std::move(pkg)});
}

void ChannelServer::Emit(const std::vector<uint8_t>& peer, std::vector<uint8_t> data, bool bFaults) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (bFaults && m_options.dDropBlocks > 0.0 && chance(m_rng) < m_options.dDropBlocks) {
        m_stats.ullDropped++;
        return;
    }
    if (bFaults && m_options.dReorderBlocks > 0.0 && chance(m_rng) < m_options.dReorderBlocks) {
        m_stats.ullReordered++;
        m_held.push_back(Outgoing{peer, std::move(data)});
        return;
    }
    const bool bDuplicate =
        bFaults && m_options.dDuplicateBlocks > 0.0 && chance(m_rng) < m_options.dDuplicateBlocks;
    if (bDuplicate) {
        m_stats.ullDuplicated++;
        m_out.push_back(Outgoing{peer, data});
    }
    m_out.push_back(Outgoing{peer, std::move(data)});
    for (auto& held : m_held) {
        m_out.push_back(std::move(held));
    }
    m_held.clear();
}

void ChannelServer::Cycle() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint32_t ulNow = SysTimeGetMs();
    for (auto& c : m_channels) {
        Channel* pCh = c.get();
        if (pCh->bStalled) {
            continue;
        }
        if (pCh->bSending) {
            for (auto& entry : pCh->unacked) {
                if (ulNow - entry.second.ulTime >= m_options.ulRtoMs) {
                    entry.second.ulTime = ulNow;
                    m_stats.ullRetransmissions++;
                    SendBlock(pCh, entry.first, entry.second, true);
                }
            }
        }
        if (ulNow - pCh->ulLastSend >= m_options.ulKeepAliveMs) {
            std::vector<uint8_t> pkg;
            pkg.push_back(kKeepAlive);
            pkg.push_back(0);
            Put16(&pkg, pCh->wId);
            pCh->ulLastSend = ulNow;
            m_out.push_back(Outgoing{pCh->peer, std::move(pkg)});
        }
    }
    // Held-back packages whose successor never came.
    for (auto& held : m_held) {
        m_out.push_back(std::move(held));
    }
    m_held.clear();
}

// ---- Binding to the router node --------------------------------------------------------------

ChannelServerHandler::ChannelServerHandler(ChannelServer* pServer, std::vector<uint8_t> nodeAddress,
                                           RawSender sender, IPackageHandler* pNext)
    : m_pServer(pServer),
      m_nodeAddress(std::move(nodeAddress)),
      m_sender(std::move(sender)),
      m_pNext(pNext) {}

ChannelServerHandler::~ChannelServerHandler() {
    Stop();
}

bool ChannelServerHandler::Start() {
    if (m_hTask != RTS_INVALID_HANDLE) {
        return true;
    }
    RTS_RESULT r = ERR_OK;
    m_hEvent = SysEventCreate(nullptr, &r);
    if (m_hEvent == RTS_INVALID_HANDLE) {
        return false;
    }
    m_hTask = SysTaskCreate("KlChannelServer", TaskEntry, this, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, &r);
    if (m_hTask == RTS_INVALID_HANDLE) {
        SysEventDelete(m_hEvent);
        m_hEvent = RTS_INVALID_HANDLE;
        return false;
    }
    SysTaskResume(m_hTask);
    return true;
}

void ChannelServerHandler::Stop() {
    if (m_hTask != RTS_INVALID_HANDLE) {
        SysTaskSetExit(m_hTask);
        SysEventSet(m_hEvent);
        SysTaskExit(m_hTask, 2000);
        m_hTask = RTS_INVALID_HANDLE;
    }
    if (m_hEvent != RTS_INVALID_HANDLE) {
        SysEventDelete(m_hEvent);
        m_hEvent = RTS_INVALID_HANDLE;
    }
}

bool ChannelServerHandler::HandlePackage(const L3Package& request, L3Package* pReply) {
    if (request.byServiceId != kPidLayer4) {
        return m_pNext != nullptr && m_pNext->HandlePackage(request, pReply);
    }
    uint16_t wBlockSize =
        ChannelBlockSizeFor(static_cast<unsigned>((request.sender.size() + request.receiver.size()) / 2));
    m_pServer->HandlePackage(request.sender, request.data.data(), request.data.size(), wBlockSize);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ChannelServer::Outgoing> out = m_pServer->TakeOutgoing(IsNodeAddressKey);
    bool bReply = false;
    if (!out.empty() && m_queue.empty() && m_nInFlight == 0 && out[0].peer == request.sender) {
        pReply->byServiceId = kPidLayer4;
        pReply->byMessageId = 0;
        pReply->data = std::move(out[0].data);
        bReply = true;
    }
    for (size_t i = bReply ? 1 : 0; i < out.size(); ++i) {
        m_queue.push_back(std::move(out[i]));
    }
    if (!m_queue.empty() && m_hEvent != RTS_INVALID_HANDLE) {
        SysEventSet(m_hEvent);
    }
    return bReply;
}

void ChannelServerHandler::TaskEntry(SYS_TASK_PARAM* ptp) {
    ChannelServerHandler* pThis = static_cast<ChannelServerHandler*>(ptp->pParam);
    while (ptp->bExit.load() == 0) {
        SysEventWait(pThis->m_hEvent, 5);
        pThis->Pump();
    }
}

std::vector<uint8_t> ChannelServerHandler::Frame(const ChannelServer::Outgoing& out) const {
    L3Package pkg;
    pkg.byFlag1 = static_cast<uint8_t>(15u << 3);
    pkg.byFlag2 = static_cast<uint8_t>(1u << 6);
    pkg.byServiceId = kPidLayer4;
    pkg.byMessageId = 0;
    pkg.nHeaderWords = 3;
    pkg.receiver = out.peer;
    pkg.sender = m_nodeAddress;
    pkg.data = out.data;
    std::vector<uint8_t> block = BuildL3(pkg);
    if (block.size() > kL3MaxBlock) {
        return {};
    }
    std::vector<uint8_t> frame(BDTCP_HEADER_SIZE + block.size());
    BdTcpPutFrameHeader(frame.data(), static_cast<RTS_UI32>(block.size()));
    memcpy(frame.data() + BDTCP_HEADER_SIZE, block.data(), block.size());
    return frame;
}

void ChannelServerHandler::Pump() {
    m_pServer->Cycle();
    std::vector<ChannelServer::Outgoing> out;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        out.swap(m_queue);
        for (auto& o : m_pServer->TakeOutgoing(IsNodeAddressKey)) {
            out.push_back(std::move(o));
        }
        m_nInFlight = out.size();
    }
    // One write per run of packages to the same client, in their order.
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < out.size(); ++i) {
        std::vector<uint8_t> frame = Frame(out[i]);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        if (i + 1 == out.size() || out[i + 1].peer != out[i].peer) {
            if (!bytes.empty()) {
                m_sender(out[i].peer, bytes);
            }
            bytes.clear();
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nInFlight = 0;
}

}  // namespace klemu
