// kestrolink-emulator's server: listening socket, connections, the listening
// side of the stream framing and the fault switches.
#include "Emulator.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "BlkDrvTcpTypes.h"
#include "SysSocket.h"

namespace klemu {

namespace {

constexpr size_t kMaxConnections = 16;
constexpr RTS_UI32 kSelectWaitMs = 20;
constexpr RTS_UI32 kTaskExitWaitMs = 2000;
// Outgoing bytes a client may leave unread before it is dropped.
constexpr size_t kMaxPending = 1u << 20;
constexpr RTS_UI32 kSplitPauseUs = 100;

const char* LevelText(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warning:
            return "warning";
        case LogLevel::Info:
            return "info";
        default:
            return "debug";
    }
}

}  // namespace

struct Emulator::Conn {
    RTS_HANDLE hSocket = RTS_INVALID_HANDLE;
    uint8_t abyPeer[BDTCP_NETADDR_LEN] = {0};
    std::string peerText;
    uint8_t abyRx[BDTCP_MAX_FRAME] = {0};
    size_t nRx = 0;
    std::vector<uint8_t> tx;  // bytes still to send
    size_t nTxDone = 0;
    long lFramesIn = 0;
    long lFramesOut = 0;
    bool bClose = false;          // close now
    bool bCloseWhenSent = false;  // close once everything queued is out
};

Emulator::Emulator(const EmulatorOptions& options) : m_options(options) {}

Emulator::~Emulator() {
    Stop();
}

void Emulator::Log(LogLevel level, const char* pszFormat, ...) {
    if (static_cast<int>(level) > static_cast<int>(m_options.logLevel)) {
        return;
    }
    char szText[512];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    fprintf(stderr, "kestrolink-emulator: %s: %s\n", LevelText(level), szText);
}

bool Emulator::Start(std::string* pError) {
    if (m_hTask != RTS_INVALID_HANDLE) {
        *pError = "already started";
        return false;
    }
    RTS_UI32 ulAddr = 0;
    if (SysSockInetAddr(m_options.listenAddress.c_str(), &ulAddr) != ERR_OK) {
        *pError = "invalid listen address " + m_options.listenAddress;
        return false;
    }
    RTS_RESULT r = ERR_OK;
    m_hListen = SysSockCreate(SOCKET_AF_INET, SOCKET_STREAM, SOCKET_IPPROTO_TCP, &r);
    if (m_hListen == RTS_INVALID_HANDLE) {
        *pError = "cannot create the listening socket";
        return false;
    }
    int iOn = 1;
    SysSockSetOption(m_hListen, SOCKET_SOL, SOCKET_SO_REUSEADDR, &iOn, sizeof(iOn));
    SOCKADDRESS sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = SOCKET_AF_INET;
    sa.sin_addr = ulAddr;
    sa.sin_port = SysSockHtons(m_options.usPort);
    r = SysSockBind(m_hListen, &sa, sizeof(sa));
    if (r == ERR_OK) {
        r = SysSockListen(m_hListen, 8);
    }
    int iSize = sizeof(sa);
    if (r == ERR_OK) {
        r = SysSockGetSockName(m_hListen, &sa, &iSize);
    }
    if (r == ERR_OK) {
        r = SysSockIoctl(m_hListen, SOCKET_FIONBIO, &iOn);
    }
    if (r != ERR_OK) {
        *pError = "cannot listen on " + m_options.listenAddress + ":" + std::to_string(m_options.usPort) +
                  (r == ERR_SOCK_ADDRINUSE ? " (address in use)" : "");
        SysSockClose(m_hListen);
        m_hListen = RTS_INVALID_HANDLE;
        return false;
    }
    m_usPort = SysSockNtohs(sa.sin_port);
    m_pNode.reset(new EmulatorNode(ulAddr, m_usPort));
    // Layer 4: the channel server answers the node's channel packages; its
    // own task sends what its timers produce to the client concerned. With
    // --echo-layer4 the node's echo answers them instead.
    if (!m_options.bEchoLayer4) {
        // The services answer every request message of a channel.
        DeviceServicesOptions deviceOptions = m_options.device;
        deviceOptions.identity = m_options.nameService.identity;
        m_pDeviceServices.reset(new DeviceServices(deviceOptions));
        std::string error;
        auto pVars = std::make_unique<VarServices>(m_options.vars);
        bool bOk = m_pDeviceServices->Ok();
        if (!bOk) {
            error = m_pDeviceServices->Error();
        } else if (!pVars->LoadSymbols(
                       m_options.symbolsFile.empty() ? DefaultSymbolsFile() : m_options.symbolsFile,
                       &error)) {
            bOk = false;
        } else if (!m_options.vars.scriptFile.empty() && !pVars->StartScript(std::string(), &error)) {
            bOk = false;
        }
        if (!bOk) {
            *pError = error;
            m_pDeviceServices.reset();
            SysSockClose(m_hListen);
            m_hListen = RTS_INVALID_HANDLE;
            return false;
        }
        m_pVarServices = pVars.get();
        m_pDeviceServices->AddGroup(std::move(pVars));
        m_pChannelServer.reset(new ChannelServer(m_options.channel));
        DeviceServices* pServices = m_pDeviceServices.get();
        m_pChannelServer->SetSizedResponder(
            [pServices](const std::vector<uint8_t>& request, uint32_t ulBufferSize) {
                return pServices->Handle(request, ulBufferSize);
            });
        m_pChannelHandler.reset(new ChannelServerHandler(
            m_pChannelServer.get(), m_pNode->Address(),
            [this](const std::vector<uint8_t>& peer, const std::vector<uint8_t>& frames) {
                SendToPeer(peer, frames);
            }));
        // The name service answers identify and name requests in front of it.
        m_pNameService.reset(new NameServiceHandler(m_options.nameService.identity, m_pChannelHandler.get()));
        m_pNode->SetHandler(m_pNameService.get());
        if (!m_pChannelHandler->Start()) {
            *pError = "cannot start the channel server";
            SysSockClose(m_hListen);
            m_hListen = RTS_INVALID_HANDLE;
            return false;
        }
    }
    if (m_options.nameService.bUdp) {
        m_pUdpResponder.reset(new NameServiceUdpResponder(m_options.nameService));
        // A client that resolved the node name opens its channel over UDP.
        m_pUdpResponder->SetChannelServer(m_pChannelServer.get());
        if (!m_pUdpResponder->Start(pError)) {
            m_pUdpResponder.reset();
            if (m_pChannelHandler) {
                m_pChannelHandler->Stop();
            }
            SysSockClose(m_hListen);
            m_hListen = RTS_INVALID_HANDLE;
            return false;
        }
    }
    m_hTask = SysTaskCreate("KlEmulator", TaskEntry, this, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, &r);
    if (m_hTask == RTS_INVALID_HANDLE) {
        *pError = "cannot start the server task";
        SysSockClose(m_hListen);
        m_hListen = RTS_INVALID_HANDLE;
        return false;
    }
    SysTaskResume(m_hTask);
    return true;
}

void Emulator::Stop() {
    if (m_hTask != RTS_INVALID_HANDLE) {
        SysTaskExit(m_hTask, kTaskExitWaitMs);
        m_hTask = RTS_INVALID_HANDLE;
    }
    if (m_pUdpResponder) {
        m_pUdpResponder->Stop();
    }
    if (m_pChannelHandler) {
        m_pChannelHandler->Stop();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& pConn : m_conns) {
        SysSockClose(pConn->hSocket);
    }
    m_conns.clear();
    if (m_hListen != RTS_INVALID_HANDLE) {
        SysSockClose(m_hListen);
        m_hListen = RTS_INVALID_HANDLE;
    }
}

std::string Emulator::StartupLine() const {
    return "kestrolink-emulator: listening on " + m_options.listenAddress + ":" + std::to_string(m_usPort) +
           ", node address " + (m_pNode ? m_pNode->AddressText() : std::string("-")) + ", symbols " +
           m_options.symbolsFile +
           (m_pUdpResponder
                ? ", name service on UDP port " + std::to_string(1740 + m_pUdpResponder->PortIndex()) +
                      " as " + m_pUdpResponder->NodeAddressText()
                : std::string());
}

int Emulator::Connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_conns.size());
}

void Emulator::SendRaw(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& pConn : m_conns) {
        pConn->tx.insert(pConn->tx.end(), bytes.begin(), bytes.end());
    }
}

void Emulator::SendToPeer(const std::vector<uint8_t>& peer, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& pConn : m_conns) {
        if (peer.size() == sizeof(pConn->abyPeer) && memcmp(peer.data(), pConn->abyPeer, peer.size()) == 0) {
            pConn->tx.insert(pConn->tx.end(), bytes.begin(), bytes.end());
        }
    }
}

void Emulator::TaskEntry(SYS_TASK_PARAM* ptp) {
    static_cast<Emulator*>(ptp->pParam)->Run(ptp);
}

void Emulator::QueueFrame(Conn* pConn, const std::vector<uint8_t>& block) {
    uint8_t abyHeader[BDTCP_HEADER_SIZE];
    BdTcpPutFrameHeader(abyHeader, static_cast<RTS_UI32>(block.size()));
    if (m_options.lCorruptMagicAfter >= 0 && pConn->lFramesOut >= m_options.lCorruptMagicAfter) {
        abyHeader[3] = 0xE9;  // 00 01 17 E9: the client loses synchronisation
    }
    ++pConn->lFramesOut;
    pConn->tx.insert(pConn->tx.end(), abyHeader, abyHeader + sizeof(abyHeader));
    pConn->tx.insert(pConn->tx.end(), block.begin(), block.end());
}

void Emulator::Accept() {
    SOCKADDRESS sa;
    int iSize = sizeof(sa);
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h = SysSockAccept(m_hListen, &sa, &iSize, &r);
    if (h == RTS_INVALID_HANDLE) {
        return;
    }
    ++m_nAccepted;
    char szIp[16] = "?";
    SysSockInetNtoa(&sa.sin_addr, szIp, sizeof(szIp));
    uint16_t usPort = SysSockNtohs(sa.sin_port);
    if (m_conns.size() >= kMaxConnections) {
        Log(LogLevel::Warning, "connection from %s:%u refused: %zu clients connected", szIp, usPort,
            m_conns.size());
        SysSockClose(h);
        return;
    }
    int iOn = 1;
    SysSockIoctl(h, SOCKET_FIONBIO, &iOn);
    SysSockSetOption(h, SOCKET_IPPROTO_TCP, SOCKET_TCP_NODELAY, &iOn, sizeof(iOn));
    std::unique_ptr<Conn> pConn(new Conn);
    pConn->hSocket = h;
    pConn->abyPeer[0] = static_cast<uint8_t>(usPort >> 8);
    pConn->abyPeer[1] = static_cast<uint8_t>(usPort & 0xFF);
    memcpy(pConn->abyPeer + 2, &sa.sin_addr, 4);
    pConn->peerText = std::string(szIp) + ":" + std::to_string(usPort);
    Log(LogLevel::Info, "client %s connected", pConn->peerText.c_str());
    m_conns.push_back(std::move(pConn));
}

void Emulator::Read(Conn* pConn) {
    // Bounded by what the socket holds: every round reads at least one byte.
    for (int nRound = 0; nRound < 64 && !pConn->bClose && !pConn->bCloseWhenSent; ++nRound) {
        size_t nMissing = pConn->nRx < BDTCP_HEADER_SIZE ? BDTCP_HEADER_SIZE - pConn->nRx
                                                         : BdTcpGetU32LE(pConn->abyRx + 4) - pConn->nRx;
        RTS_RESULT r = ERR_OK;
        RTS_SIZE n = SysSockRecv(pConn->hSocket, pConn->abyRx + pConn->nRx, nMissing, 0, &r);
        if (r == ERR_SOCK_WOULDBLOCK) {
            return;
        }
        if (r != ERR_OK || n == 0) {
            Log(LogLevel::Info, "client %s closed the connection", pConn->peerText.c_str());
            pConn->bClose = true;
            return;
        }
        pConn->nRx += n;
        if (pConn->nRx == BDTCP_HEADER_SIZE) {
            RTS_UI32 ulMagic = BdTcpGetU32LE(pConn->abyRx);
            RTS_UI32 ulSize = BdTcpGetU32LE(pConn->abyRx + 4);
            if (ulMagic != BDTCP_MAGIC || ulSize <= BDTCP_HEADER_SIZE || ulSize > BDTCP_MAX_FRAME) {
                Log(LogLevel::Warning, "client %s: bad frame header (magic 0x%08X, size %u), closing",
                    pConn->peerText.c_str(), ulMagic, ulSize);
                pConn->bClose = true;
                return;
            }
            continue;
        }
        if (pConn->nRx < BDTCP_HEADER_SIZE || pConn->nRx < BdTcpGetU32LE(pConn->abyRx + 4)) {
            continue;
        }
        size_t nBlock = pConn->nRx - BDTCP_HEADER_SIZE;
        pConn->nRx = 0;
        ++pConn->lFramesIn;
        ++m_nFramesReceived;
        std::vector<uint8_t> reply;
        if (m_pNode->HandleBlock(pConn->abyRx + BDTCP_HEADER_SIZE, nBlock, pConn->abyPeer, &reply)) {
            QueueFrame(pConn, reply);
            Log(LogLevel::Debug, "client %s: block of %zu bytes answered with %zu", pConn->peerText.c_str(),
                nBlock, reply.size());
        } else {
            Log(LogLevel::Debug, "client %s: block of %zu bytes dropped", pConn->peerText.c_str(), nBlock);
        }
        if (m_options.lCloseAfterFrames >= 0 && pConn->lFramesIn >= m_options.lCloseAfterFrames) {
            Log(LogLevel::Info, "client %s: closing after %ld frames", pConn->peerText.c_str(),
                pConn->lFramesIn);
            pConn->bCloseWhenSent = true;
        }
    }
}

void Emulator::Flush(Conn* pConn) {
    while (pConn->nTxDone < pConn->tx.size()) {
        size_t nChunk = m_options.bSplitFrames ? 1 : pConn->tx.size() - pConn->nTxDone;
        RTS_RESULT r = ERR_OK;
        RTS_SIZE n = SysSockSend(pConn->hSocket, pConn->tx.data() + pConn->nTxDone, nChunk, 0, &r);
        if (r == ERR_SOCK_WOULDBLOCK) {
            break;
        }
        if (r != ERR_OK || n == 0) {
            pConn->bClose = true;
            return;
        }
        pConn->nTxDone += n;
        if (m_options.bSplitFrames) {
            // A pause after every byte, so that each one travels on its own.
            SysTaskWaitSleepUs(nullptr, kSplitPauseUs);
        }
    }
    if (pConn->nTxDone == pConn->tx.size()) {
        pConn->tx.clear();
        pConn->nTxDone = 0;
        if (pConn->bCloseWhenSent) {
            pConn->bClose = true;
        }
    } else if (pConn->tx.size() - pConn->nTxDone > kMaxPending) {
        Log(LogLevel::Warning, "client %s reads nothing, closing", pConn->peerText.c_str());
        pConn->bClose = true;
    }
}

void Emulator::Run(SYS_TASK_PARAM* ptp) {
    while (ptp->bExit.load() == 0) {
        SOCKET_FD_SET rd;
        SOCKET_FD_SET wr;
        SysSockFdZero(&rd);
        SysSockFdZero(&wr);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            SysSockFdSet(m_hListen, &rd);
            for (auto& pConn : m_conns) {
                SysSockFdSet(pConn->hSocket, &rd);
                if (pConn->nTxDone < pConn->tx.size()) {
                    SysSockFdSet(pConn->hSocket, &wr);
                }
            }
        }
        SOCKET_TIMEVAL tv{0, static_cast<RTS_I32>(kSelectWaitMs * 1000)};
        RTS_I32 nReady = 0;
        RTS_RESULT r = SysSockSelect(&rd, &wr, nullptr, &tv, &nReady);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (r == ERR_OK && SysSockFdIsSet(m_hListen, &rd)) {
            Accept();
        }
        for (auto& pConn : m_conns) {
            if (r == ERR_OK && SysSockFdIsSet(pConn->hSocket, &rd)) {
                Read(pConn.get());
            }
            if (!pConn->bClose) {
                Flush(pConn.get());
            }
        }
        for (auto it = m_conns.begin(); it != m_conns.end();) {
            if ((*it)->bClose) {
                Log(LogLevel::Info, "connection to %s closed", (*it)->peerText.c_str());
                SysSockClose((*it)->hSocket);
                it = m_conns.erase(it);
            } else {
                ++it;
            }
        }
    }
}

}  // namespace klemu
