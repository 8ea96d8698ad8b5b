// Internals of the TCP block driver shared between its files, its tests and
// its fuzz target: the connection record, the driver's state, the frame
// reassembly and the connection functions.
//
// The connection records live in a memory pool whose lock guards the list of
// records and every record's buffers and state. The router calls BdSend with
// its own lock held, so the order is router lock, then pool lock; the driver
// therefore never calls the router while it holds the pool lock.
#pragma once

#include <atomic>

#include "CmpBlkDrvTcpItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"
#include "SysSocket.h"

namespace klbdtcp {

extern PFRouterRegisterNetworkInterface2 pfRouterRegisterNetworkInterface2;
extern PFRouterUnregisterNetworkInterface pfRouterUnregisterNetworkInterface;
extern PFRouterHandleData pfRouterHandleData;
extern PFRouterGetBlkAddresses pfRouterGetBlkAddresses;
extern PFMemPoolCreateStatic pfMemPoolCreateStatic;
extern PFMemPoolDelete pfMemPoolDelete;
extern PFMemPoolGetBlock2 pfMemPoolGetBlock2;
extern PFMemPoolPutBlock pfMemPoolPutBlock;
extern PFMemPoolAddUsedBlock pfMemPoolAddUsedBlock;
extern PFMemPoolGetFirstBlock pfMemPoolGetFirstBlock;
extern PFMemPoolGetNextBlock pfMemPoolGetNextBlock;
extern PFMemPoolLock pfMemPoolLock;
extern PFMemPoolUnlock pfMemPoolUnlock;
extern PFSettgGetIntValue pfSettgGetIntValue;
extern PFSettgGetStringValue pfSettgGetStringValue;
extern PFLogAdd pfLogAdd;

// TCPCONN.ulState
#define BDTCP_STATE_FREE 0
#define BDTCP_STATE_ACCEPTED 1
#define BDTCP_STATE_CONNECTED 2
#define BDTCP_STATE_CONNECTING 6
#define BDTCP_STATE_CLOSE 8 /* added: to be closed by the supervision */

struct TCPCONN {
    RTS_HANDLE hSocket;  // RTS_INVALID_HANDLE when closed
    RTS_UI32 ulLastReceive;
    RTS_UI32 ulLastSend;
    RTS_UI32 ulState;
    RTS_I32 iNumReceived;  // bytes of the current receive frame read so far
    RTS_I32 iNumSent;      // bytes of the current send frame written; -1 = nothing pending
    RTS_UI8 msgBufferRx[BDTCP_MAX_FRAME];
    RTS_UI8 msgBufferTx[BDTCP_MAX_FRAME];
    NETWORKADDRESS PeerAddrTcpConn;
    RTS_BOOL bVisited;  // read from in the current receive pass
};

struct BdTcpState {
    RTS_HANDLE hPool = RTS_INVALID_HANDLE;
    RTS_HANDLE hInterface = RTS_INVALID_HANDLE;  // the router's handle of the interface
    RTS_HANDLE hTask = RTS_INVALID_HANDLE;
    RTS_BOOL bThreaded = 1;
    RTS_BOOL bEnableClient = 1;
    RTS_UI32 ulInactivityTimeoutMs = BDTCP_DEFAULT_INACTIVITY_S * 1000u;
    RTS_UI32 ulBindAddr = 0;    // network order; 0 = any
    RTS_UI32 ulPeerFilter = 0;  // network order; 0 = any peer
    RTS_UI32 ulOwnAddr = 0;     // network order
    char szName[ROUTER_NAME_LEN] = {0};
    NETWORKADDRESS addrDevice{};
    std::atomic<int> nSelectFailures{0};
};

extern BdTcpState g_bdtcp;

void BdTcpLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
// Address text and port of a peer's network address.
void BdTcpPeerText(const NETWORKADDRESS* pPeer, char* pszIp, RTS_SIZE size, int* piPort);

// ---- Reassembly (BlkDrvTcpConn.cpp) -------------------------------------------------------
enum BdTcpRxStatus { BDTCP_RX_INCOMPLETE, BDTCP_RX_FRAME, BDTCP_RX_BADMAGIC, BDTCP_RX_BADLENGTH };
// Bytes the current header or frame still misses: a read never takes more,
// so it never consumes bytes of the next frame.
RTS_UI32 BdTcpRxMissing(const TCPCONN* pConn);
// Accounts nNew bytes just placed at msgBufferRx + iNumReceived and checks the
// header once it is complete.
BdTcpRxStatus BdTcpRxAdvance(TCPCONN* pConn, RTS_UI32 nNew);
// Overwrites the leading bytes of the receiver address of the received block
// with the own network address and those of the sender with the peer's.
RTS_RESULT BdTcpCorrectAdresses(TCPCONN* pConn);

// ---- Connections (BlkDrvTcpConn.cpp) ------------------------------------------------------
RTS_RESULT BdSend(RTS_HANDLE hInterface, NETWORKADDRESS addrReceiver, PROTOCOL_DATA_UNIT pduData);
void BdTcpCheckConnections(void);
void BdTcpFinishClientConnects(void);
// 1 nothing received, 10 the per-pass limit of frames taken, else 0.
RTS_RESULT BdTcpReceive(const SOCKET_FD_SET* pReadable);
void BdTcpCloseAll(void);
// One polling pass: supervision, connects, then up to ulWaitMs waiting for
// readable sockets and receiving. Returns how long the caller should pause.
RTS_UI32 BdTcpPass(RTS_UI32 ulWaitMs);

#define BDTCP_MAX_FRAMES_PER_PASS 50

}  // namespace klbdtcp
