// Connections of the TCP block driver: sending a block (connecting first when
// there is no connection to the peer), non-blocking connects and writes,
// reassembly of received frames, the address correction of received blocks,
// and the supervision that closes failed and idle connections.
//
// Everything here runs under the pool lock except the hand-over of a
// received block to the router, which happens after the lock is released.
#include <cstring>

#include "CmpBlkDrvTcpPrivate.h"
#include "SysTime.h"

using namespace klbdtcp;

namespace {

class PoolLock {
public:
    PoolLock() { pfMemPoolLock(g_bdtcp.hPool); }
    ~PoolLock() { pfMemPoolUnlock(g_bdtcp.hPool); }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;
};

bool PoolReady() {
    return g_bdtcp.hPool != RTS_INVALID_HANDLE && pfMemPoolLock != nullptr &&
           pfMemPoolGetFirstBlock != nullptr;
}

TCPCONN* First() {
    return static_cast<TCPCONN*>(pfMemPoolGetFirstBlock(g_bdtcp.hPool, nullptr));
}

TCPCONN* Next(TCPCONN* p) {
    return static_cast<TCPCONN*>(pfMemPoolGetNextBlock(g_bdtcp.hPool, p, nullptr));
}

RTS_UI32 BaseState(const TCPCONN* p) {
    return p->ulState & ~static_cast<RTS_UI32>(BDTCP_STATE_CLOSE);
}

bool IsOpen(const TCPCONN* p) {
    RTS_UI32 s = p->ulState;
    return s == BDTCP_STATE_ACCEPTED || s == BDTCP_STATE_CONNECTED;
}

bool SamePeer(const NETWORKADDRESS& a, const NETWORKADDRESS& b) {
    return a.nLength == b.nLength && a.nLength <= MAX_NETWORK_ADDR_LEN &&
           memcmp(a.address, b.address, a.nLength) == 0;
}

void ToSockAddr(const NETWORKADDRESS& peer, SOCKADDRESS* pSa) {
    memset(pSa, 0, sizeof(*pSa));
    pSa->sin_family = SOCKET_AF_INET;
    memcpy(&pSa->sin_port, peer.address, 2);
    memcpy(&pSa->sin_addr, peer.address + 2, 4);
}

RTS_UI32 PeerIp(const NETWORKADDRESS& peer) {
    RTS_UI32 ul = 0;
    memcpy(&ul, peer.address + 2, 4);
    return ul;
}

void MarkClose(TCPCONN* p) {
    p->ulState |= BDTCP_STATE_CLOSE;
}

// Writes the unsent rest of the send frame: 0 complete, 6 still pending, 1 failed.
RTS_RESULT SendTcpMessage(TCPCONN* p) {
    RTS_UI32 ulFrame = BdTcpGetU32LE(p->msgBufferTx + 4);
    while (p->iNumSent >= 0 && static_cast<RTS_UI32>(p->iNumSent) < ulFrame) {
        RTS_RESULT r = ERR_OK;
        RTS_SIZE n = SysSockSend(p->hSocket, p->msgBufferTx + p->iNumSent,
                                 ulFrame - static_cast<RTS_UI32>(p->iNumSent), 0, &r);
        if (r == ERR_SOCK_WOULDBLOCK) {
            return ERR_NOBUFFER;
        }
        if (r != ERR_OK || n == 0) {
            char szIp[16];
            int iPort = 0;
            BdTcpPeerText(&p->PeerAddrTcpConn, szIp, sizeof(szIp), &iPort);
            BdTcpLog(LOG_ERROR, r, "Failed to send data to <ipaddress>%s</ipaddress>, port <port>%d</port>",
                     szIp, iPort);
            MarkClose(p);
            return ERR_FAILED;
        }
        p->iNumSent += static_cast<RTS_I32>(n);
    }
    p->iNumSent = -1;
    return ERR_OK;
}

void PutFrame(TCPCONN* p, const PROTOCOL_DATA_UNIT& pdu) {
    BdTcpPutFrameHeader(p->msgBufferTx, pdu.ulCount);
    memcpy(p->msgBufferTx + BDTCP_HEADER_SIZE, pdu.pData, pdu.ulCount);
    p->iNumSent = 0;
}

void Connected(TCPCONN* p) {
    char szIp[16];
    int iPort = 0;
    BdTcpPeerText(&p->PeerAddrTcpConn, szIp, sizeof(szIp), &iPort);
    BdTcpLog(LOG_INFO, ERR_OK, "Connected to address <ipaddress>%s</ipaddress>, port <port>%d</port>", szIp,
             iPort);
    p->ulState = BDTCP_STATE_CONNECTED;
    RTS_UI32 ulNow = SysTimeGetMs();
    p->ulLastReceive = ulNow;
    p->ulLastSend = ulNow;
    SendTcpMessage(p);
}

// Opens a connection to the peer and takes the first block into its send frame.
RTS_RESULT StartClientConnect(const NETWORKADDRESS& peer, const PROTOCOL_DATA_UNIT& pdu) {
    char szIp[16];
    int iPort = 0;
    BdTcpPeerText(&peer, szIp, sizeof(szIp), &iPort);
    if (g_bdtcp.ulPeerFilter != 0 && PeerIp(peer) != g_bdtcp.ulPeerFilter) {
        BdTcpLog(LOG_WARNING, ERR_FAILED,
                 "Connect to banned address <ipaddress>%s</ipaddress> port <port>%d</port> suppressed", szIp,
                 iPort);
        return ERR_FAILED;
    }
    BdTcpLog(LOG_INFO, ERR_OK, "Try to connect to address <ipaddress>%s</ipaddress>, port <port>%d</port>...",
             szIp, iPort);
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hSocket = SysSockCreate(SOCKET_AF_INET, SOCKET_STREAM, SOCKET_IPPROTO_TCP, &r);
    if (hSocket == RTS_INVALID_HANDLE) {
        BdTcpLog(LOG_ERROR, r, "Failed to create a client socket");
        return ERR_FAILED;
    }
    int iOn = 1;
    SysSockSetOption(hSocket, SOCKET_SOL, SOCKET_SO_REUSEADDR, &iOn, sizeof(iOn));
    SOCKADDRESS local;
    memset(&local, 0, sizeof(local));
    local.sin_family = SOCKET_AF_INET;
    local.sin_addr = g_bdtcp.ulBindAddr;
    r = SysSockBind(hSocket, &local, sizeof(local));
    if (r == ERR_OK) {
        r = SysSockIoctl(hSocket, SOCKET_FIONBIO, &iOn);
    }
    if (r != ERR_OK) {
        BdTcpLog(LOG_ERROR, r, "Failed to config the client socket");
        SysSockClose(hSocket);
        return ERR_FAILED;
    }
    if (SysSockSetOption(hSocket, SOCKET_SOL, SOCKET_SO_KEEPALIVE, &iOn, sizeof(iOn)) != ERR_OK) {
        BdTcpLog(LOG_WARNING, ERR_FAILED, "Could not set socket option KEEPALIVE");
    }
    // Every block is one small frame: waiting to coalesce them would only add latency.
    if (SysSockSetOption(hSocket, SOCKET_IPPROTO_TCP, SOCKET_TCP_NODELAY, &iOn, sizeof(iOn)) != ERR_OK) {
        BdTcpLog(LOG_WARNING, ERR_FAILED, "Could not disable the nagle algorithm");
    }
    SOCKADDRESS remote;
    ToSockAddr(peer, &remote);
    r = SysSockConnect(hSocket, &remote, sizeof(remote));
    if (r != ERR_OK && r != ERR_SOCK_INPROGRESS && r != ERR_SOCK_WOULDBLOCK) {
        BdTcpLog(LOG_ERROR, r,
                 "Connect call to address <ipaddress>%s</ipaddress>, port <port>%d</port> failed", szIp,
                 iPort);
        SysSockClose(hSocket);
        return ERR_FAILED;
    }
    RTS_RESULT rGet = ERR_OK;
    auto* p = static_cast<TCPCONN*>(pfMemPoolGetBlock2(g_bdtcp.hPool, 1, "CmpBlkDrvTcp", &rGet));
    if (p == nullptr) {
        BdTcpLog(LOG_ERROR, ERR_NOMEMORY, "Could not allocate memory");
        SysSockClose(hSocket);
        return ERR_FAILED;
    }
    p->hSocket = hSocket;
    p->PeerAddrTcpConn = peer;
    p->iNumReceived = 0;
    p->bVisited = 0;
    PutFrame(p, pdu);
    pfMemPoolAddUsedBlock(p);
    if (r == ERR_OK) {
        Connected(p);
    } else {
        p->ulState = BDTCP_STATE_CONNECTING;
    }
    return ERR_OK;
}

void CloseConn(TCPCONN* p, bool bTimeout) {
    char szIp[16];
    int iPort = 0;
    BdTcpPeerText(&p->PeerAddrTcpConn, szIp, sizeof(szIp), &iPort);
    if (bTimeout) {
        BdTcpLog(LOG_INFO, ERR_TIMEOUT,
                 "Connection to <ipaddress>%s</ipaddress>, port <port>%d</port> closed by timeout", szIp,
                 iPort);
    } else {
        BdTcpLog(LOG_INFO, ERR_OK, "Connection to <ipaddress>%s</ipaddress>, port <port>%d</port> closed",
                 szIp, iPort);
    }
    if (p->hSocket != RTS_INVALID_HANDLE) {
        SysSockClose(p->hSocket);
        p->hSocket = RTS_INVALID_HANDLE;
    }
    p->ulState = BDTCP_STATE_FREE;
    pfMemPoolPutBlock(p);
}

enum ReadResult { READ_NONE, READ_FRAME, READ_CLOSED };

// Reads what the socket holds of the current frame, never more than it misses.
ReadResult ReadConn(TCPCONN* p) {
    bool bFirstVisit = p->bVisited == 0;
    p->bVisited = 1;
    bool bGotAny = false;
    // Each round reads at least one byte or returns; a frame has at most 520.
    for (RTS_UI32 nRound = 0; nRound <= BDTCP_MAX_FRAME; ++nRound) {
        bool bHeader = p->iNumReceived < static_cast<RTS_I32>(BDTCP_HEADER_SIZE);
        RTS_UI32 ulMissing = BdTcpRxMissing(p);
        int iAvail = 0;
        RTS_RESULT r = SysSockIoctl(p->hSocket, SOCKET_FIONREAD, &iAvail);
        if (r != ERR_OK) {
            BdTcpLog(LOG_ERROR, r,
                     bHeader ? "Get number of received header bytes failed"
                             : "Get number of received bytes failed");
            MarkClose(p);
            return READ_CLOSED;
        }
        if (iAvail <= 0) {
            if (bFirstVisit && !bGotAny) {
                // Readable without a byte to read: the peer has gone.
                BdTcpLog(LOG_INFO, ERR_OK, "Connection closed by peer");
                MarkClose(p);
                return READ_CLOSED;
            }
            return READ_NONE;
        }
        RTS_UI32 ulWant =
            static_cast<RTS_UI32>(iAvail) < ulMissing ? static_cast<RTS_UI32>(iAvail) : ulMissing;
        RTS_SIZE n = SysSockRecv(p->hSocket, p->msgBufferRx + p->iNumReceived, ulWant, 0, &r);
        if (r == ERR_SOCK_WOULDBLOCK) {
            return READ_NONE;
        }
        if (r != ERR_OK || n == 0) {
            if (r == ERR_SOCK_CLOSED) {
                BdTcpLog(LOG_INFO, ERR_OK, "Connection closed by peer");
            } else if (bHeader) {
                BdTcpLog(
                    LOG_ERROR, r,
                    "Receive of header failed, <expected length>%d</expected length>, <length>%d</length>, "
                    "<result>%d</result>",
                    static_cast<int>(ulWant), static_cast<int>(n), static_cast<int>(r));
            } else {
                BdTcpLog(LOG_ERROR, r,
                         "Receive failed, <expected length>%d</expected length>, <length>%d</length>, "
                         "<result>%d</result>",
                         static_cast<int>(ulWant), static_cast<int>(n), static_cast<int>(r));
            }
            MarkClose(p);
            return READ_CLOSED;
        }
        bGotAny = true;
        switch (BdTcpRxAdvance(p, static_cast<RTS_UI32>(n))) {
            case BDTCP_RX_BADMAGIC:
                BdTcpLog(LOG_ERROR, ERR_FAILED,
                         "Check of MagicTag failed, received tag: <tag>0x%08lX</tag>, synchronization lost",
                         static_cast<unsigned long>(BdTcpGetU32LE(p->msgBufferRx)));
                MarkClose(p);
                return READ_CLOSED;
            case BDTCP_RX_BADLENGTH:
                BdTcpLog(LOG_ERROR, ERR_FAILED, "Invalid receive message length: <length>%ld</length>",
                         static_cast<long>(BdTcpGetU32LE(p->msgBufferRx + 4)));
                MarkClose(p);
                return READ_CLOSED;
            case BDTCP_RX_FRAME:
                return READ_FRAME;
            case BDTCP_RX_INCOMPLETE:
                break;
        }
    }
    return READ_NONE;
}

}  // namespace

namespace klbdtcp {

void BdTcpPeerText(const NETWORKADDRESS* pPeer, char* pszIp, RTS_SIZE size, int* piPort) {
    RTS_UI32 ulIp = PeerIp(*pPeer);
    if (SysSockInetNtoa(&ulIp, pszIp, static_cast<int>(size)) != ERR_OK) {
        KlStrCopy(pszIp, size, "?");
    }
    *piPort = (pPeer->address[0] << 8) | pPeer->address[1];
}

RTS_UI32 BdTcpRxMissing(const TCPCONN* pConn) {
    if (pConn->iNumReceived < static_cast<RTS_I32>(BDTCP_HEADER_SIZE)) {
        return BDTCP_HEADER_SIZE - static_cast<RTS_UI32>(pConn->iNumReceived < 0 ? 0 : pConn->iNumReceived);
    }
    RTS_UI32 ulSize = BdTcpGetU32LE(pConn->msgBufferRx + 4);
    RTS_UI32 ulHave = static_cast<RTS_UI32>(pConn->iNumReceived);
    return ulSize > ulHave && ulSize <= BDTCP_MAX_FRAME ? ulSize - ulHave : 0;
}

BdTcpRxStatus BdTcpRxAdvance(TCPCONN* pConn, RTS_UI32 nNew) {
    if (nNew == 0) {
        return BDTCP_RX_INCOMPLETE;
    }
    if (nNew > BdTcpRxMissing(pConn)) {
        return BDTCP_RX_BADLENGTH;
    }
    pConn->iNumReceived += static_cast<RTS_I32>(nNew);
    if (pConn->iNumReceived == static_cast<RTS_I32>(BDTCP_HEADER_SIZE)) {
        if (BdTcpGetU32LE(pConn->msgBufferRx) != BDTCP_MAGIC) {
            return BDTCP_RX_BADMAGIC;
        }
        RTS_UI32 ulSize = BdTcpGetU32LE(pConn->msgBufferRx + 4);
        if (ulSize <= BDTCP_HEADER_SIZE || ulSize > BDTCP_MAX_FRAME) {
            return BDTCP_RX_BADLENGTH;
        }
        return BDTCP_RX_INCOMPLETE;
    }
    if (pConn->iNumReceived > static_cast<RTS_I32>(BDTCP_HEADER_SIZE) &&
        static_cast<RTS_UI32>(pConn->iNumReceived) == BdTcpGetU32LE(pConn->msgBufferRx + 4)) {
        return BDTCP_RX_FRAME;
    }
    return BDTCP_RX_INCOMPLETE;
}

RTS_RESULT BdTcpCorrectAdresses(TCPCONN* pConn) {
    RTS_UI32 ulFrame = BdTcpGetU32LE(pConn->msgBufferRx + 4);
    if (ulFrame <= BDTCP_HEADER_SIZE || ulFrame > BDTCP_MAX_FRAME || pfRouterGetBlkAddresses == nullptr) {
        return ERR_FAILED;
    }
    PROTOCOL_DATA_UNIT pdu{pConn->msgBufferRx + BDTCP_HEADER_SIZE, ulFrame - BDTCP_HEADER_SIZE};
    PEERADDRESS receiver;
    PEERADDRESS sender;
    RTS_RESULT r = pfRouterGetBlkAddresses(pdu, &receiver, &sender, nullptr);
    if (r != ERR_OK) {
        return r;
    }
    // The peer knows neither our address as we announce it nor its own as we
    // reach it (address translation on the way): both are put right here.
    RTS_UI32 nOwn = g_bdtcp.addrDevice.nLength;
    RTS_UI32 nPeer = pConn->PeerAddrTcpConn.nLength;
    if (2u * receiver.nLength < nOwn || 2u * sender.nLength < nPeer) {
        return ERR_FAILED;
    }
    memcpy(receiver.pAddress, g_bdtcp.addrDevice.address, nOwn);
    memcpy(sender.pAddress, pConn->PeerAddrTcpConn.address, nPeer);
    return ERR_OK;
}

RTS_RESULT BdSend(RTS_HANDLE hInterface, NETWORKADDRESS addrReceiver, PROTOCOL_DATA_UNIT pduData) {
    if (reinterpret_cast<RTS_UINTPTR>(hInterface) != BDTCP_INTERFACE_MARKER ||
        (addrReceiver.nLength != 0 && addrReceiver.nLength != BDTCP_NETADDR_LEN)) {
        return ERR_PARAMETER;
    }
    bool bBroadcast = addrReceiver.nLength == 0;
    if (!bBroadcast) {
        bBroadcast = true;
        for (RTS_UI32 i = 0; i < BDTCP_NETADDR_LEN; ++i) {
            bBroadcast = bBroadcast && addrReceiver.address[i] == 0xFF;
        }
    }
    if (bBroadcast) {
        return ERR_OK;  // a stream has no broadcast: the block is dropped
    }
    // The frame buffer holds 512 data bytes: a larger block is refused, not cut.
    if (pduData.pData == nullptr || pduData.ulCount == 0 || pduData.ulCount > BDTCP_MAX_DATA) {
        return ERR_FAILED;
    }
    if (!PoolReady()) {
        return ERR_FAILED;
    }
    PoolLock lock;
    TCPCONN* p = First();
    while (p != nullptr && !SamePeer(p->PeerAddrTcpConn, addrReceiver)) {
        p = Next(p);
    }
    if (p != nullptr) {
        if (BaseState(p) == BDTCP_STATE_CONNECTING || (p->ulState & BDTCP_STATE_CLOSE) != 0) {
            // Busy until connected, or until a closed one has gone and a new
            // connection can be opened: the router queues the block.
            return ERR_NOBUFFER;
        }
        if (!IsOpen(p)) {
            return ERR_FAILED;
        }
        if (p->iNumSent >= 0) {
            RTS_RESULT r = SendTcpMessage(p);
            if (r != ERR_OK) {
                return r;
            }
        }
        PutFrame(p, pduData);
        p->ulLastSend = SysTimeGetMs();
        return SendTcpMessage(p) == ERR_FAILED ? ERR_FAILED : ERR_OK;
    }
    if (!g_bdtcp.bEnableClient) {
        return ERR_FAILED;
    }
    return StartClientConnect(addrReceiver, pduData);
}

void BdTcpFinishClientConnects(void) {
    if (!PoolReady()) {
        return;
    }
    PoolLock lock;
    bool bFailureSeen = false;
    for (TCPCONN* p = First(); p != nullptr; p = Next(p)) {
        if (p->ulState != BDTCP_STATE_CONNECTING) {
            continue;
        }
        SOCKET_FD_SET wr;
        SOCKET_FD_SET ex;
        SysSockFdZero(&wr);
        SysSockFdZero(&ex);
        SysSockFdSet(p->hSocket, &wr);
        SysSockFdSet(p->hSocket, &ex);
        SOCKET_TIMEVAL tv{0, 0};
        RTS_I32 nReady = 0;
        if (SysSockSelect(nullptr, &wr, &ex, &tv, &nReady) != ERR_OK) {
            continue;  // still in progress
        }
        int iError = 0;
        int iLen = sizeof(iError);
        if (SysSockGetOption(p->hSocket, SOCKET_SOL, SOCKET_SO_ERROR, &iError, &iLen) != ERR_OK) {
            iError = ERR_FAILED;
        }
        if (SysSockFdIsSet(p->hSocket, &ex) || iError != 0) {
            if (!bFailureSeen) {
                char szIp[16];
                int iPort = 0;
                BdTcpPeerText(&p->PeerAddrTcpConn, szIp, sizeof(szIp), &iPort);
                BdTcpLog(LOG_ERROR, iError,
                         "Connect to address <ipaddress>%s</ipaddress>, port <port>%d</port> failed", szIp,
                         iPort);
                MarkClose(p);
                bFailureSeen = true;
            }
        } else if (SysSockFdIsSet(p->hSocket, &wr)) {
            Connected(p);
        }
    }
}

void BdTcpCheckConnections(void) {
    if (!PoolReady()) {
        return;
    }
    PoolLock lock;
    RTS_UI32 ulNow = SysTimeGetMs();
    for (TCPCONN* p = First(); p != nullptr; p = Next(p)) {
        if (IsOpen(p) && p->iNumSent >= 0) {
            SendTcpMessage(p);
        }
    }
    for (TCPCONN* p = First(); p != nullptr; p = Next(p)) {
        bool bMarked = (p->ulState & BDTCP_STATE_CLOSE) != 0;
        bool bIdle = IsOpen(p) && (SysTimeElapsedMs(ulNow, p->ulLastSend) > g_bdtcp.ulInactivityTimeoutMs ||
                                   SysTimeElapsedMs(ulNow, p->ulLastReceive) > g_bdtcp.ulInactivityTimeoutMs);
        if (bMarked || bIdle) {
            // One per pass: the list must not change under the walk.
            CloseConn(p, !bMarked);
            return;
        }
    }
}

RTS_RESULT BdTcpReceive(const SOCKET_FD_SET* pReadable) {
    if (!PoolReady() || pfRouterHandleData == nullptr) {
        return ERR_FAILED;
    }
    {
        PoolLock lock;
        for (TCPCONN* p = First(); p != nullptr; p = Next(p)) {
            p->bVisited = 0;
        }
    }
    int nFrames = 0;
    while (nFrames < BDTCP_MAX_FRAMES_PER_PASS) {
        RTS_UI8 abyBlock[BDTCP_MAX_DATA];
        RTS_UI32 ulBlock = 0;
        NETWORKADDRESS peer;
        bool bFrame = false;
        {
            PoolLock lock;
            for (TCPCONN* p = First(); p != nullptr && !bFrame; p = Next(p)) {
                if (!IsOpen(p) || !SysSockFdIsSet(p->hSocket, pReadable)) {
                    continue;
                }
                if (ReadConn(p) != READ_FRAME) {
                    continue;
                }
                RTS_UI32 ulFrame = BdTcpGetU32LE(p->msgBufferRx + 4);
                p->iNumReceived = 0;
                p->ulLastReceive = SysTimeGetMs();
                RTS_RESULT r = BdTcpCorrectAdresses(p);
                if (r != ERR_OK) {
                    BdTcpLog(LOG_ERROR, r, "Receive failed in CorrectAdresses(), <result>%d</result>",
                             static_cast<int>(r));
                    MarkClose(p);
                    continue;
                }
                ulBlock = ulFrame - BDTCP_HEADER_SIZE;
                memcpy(abyBlock, p->msgBufferRx + BDTCP_HEADER_SIZE, ulBlock);
                peer = p->PeerAddrTcpConn;
                bFrame = true;
            }
        }
        if (!bFrame) {
            break;
        }
        ++nFrames;
        PROTOCOL_DATA_UNIT pdu{abyBlock, ulBlock};
        pfRouterHandleData(g_bdtcp.hInterface, peer, pdu, 0);
    }
    if (nFrames == 0) {
        return ERR_FAILED;
    }
    return nFrames >= BDTCP_MAX_FRAMES_PER_PASS ? ERR_PENDING : ERR_OK;
}

void BdTcpCloseAll(void) {
    if (!PoolReady()) {
        return;
    }
    PoolLock lock;
    // Bounded by the records in the pool: each round frees one.
    for (TCPCONN* p = First(); p != nullptr; p = First()) {
        CloseConn(p, false);
    }
}

RTS_UI32 BdTcpPass(RTS_UI32 ulWaitMs) {
    BdTcpCheckConnections();
    BdTcpFinishClientConnects();
    SOCKET_FD_SET readable;
    SysSockFdZero(&readable);
    if (PoolReady()) {
        PoolLock lock;
        for (TCPCONN* p = First(); p != nullptr; p = Next(p)) {
            if (IsOpen(p)) {
                SysSockFdSet(p->hSocket, &readable);
            }
        }
    }
    if (readable.fd_count == 0) {
        return ulWaitMs;
    }
    SOCKET_TIMEVAL tv{static_cast<RTS_I32>(ulWaitMs / 1000), static_cast<RTS_I32>((ulWaitMs % 1000) * 1000)};
    RTS_I32 nReady = 0;
    RTS_RESULT r = SysSockSelect(&readable, nullptr, nullptr, &tv, &nReady);
    if (r == ERR_OK) {
        RTS_RESULT rr = BdTcpReceive(&readable);
        return rr == ERR_PENDING ? 1u : (rr == ERR_FAILED ? 5u : 0u);
    }
    if (r == ERR_SOCK_TIMEDOUT) {
        return 0;
    }
    if (g_bdtcp.nSelectFailures.fetch_add(1) < 5) {
        BdTcpLog(LOG_WARNING, r, "CAL_SysSockSelect failed, this may decrease the communication performance");
    }
    return 20;
}

}  // namespace klbdtcp
