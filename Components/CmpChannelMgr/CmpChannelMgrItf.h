// The channel manager (component CmpChannelMgr): the per-channel transport of
// layer 4. It cuts a message into numbered blocks, acknowledges, retransmits
// them with an adaptive time-out and a congestion window, reassembles the
// peer's message, checks its CRC-32, sends keep-alives and closes dead
// channels. It runs as network client only: the channel list lives in the
// channel client, which the manager reaches through imported functions.
//
// One allocation per channel (NetworkGetChBufferSize) holds the CHANNELBUFFER
// record, its block table and the message buffer, in this order.
#pragma once

#include "L4Types.h"
#include "RouterTypes.h"

// Settings of section "CmpChannelMgr".
#define CHMGRKEY_INT_CHANNELTIMEOUTMS "ChannelTimeoutMs"
#define CHMGRKEY_INT_PACKAGELOGFILTER "PackageLogFilter"
#define CHMGRKEY_INT_WINDOWSIZE "WindowSize"
#define CHMGRKEY_INT_RETRANSMISSIONTIMEOUT "RetransmissionTimeout"
#define CHMGRKEY_INT_RTOPRINTINTERVAL "RtoPrintInterval"

#define CHMGR_CHANNEL_TIMEOUT_DEFAULT 30000u
#define CHMGR_CHANNEL_TIMEOUT_MIN 5000
#define CHMGR_CHANNEL_TIMEOUT_MAX 600000
#define CHMGR_WINDOW_DEFAULT 2
#define CHMGR_WINDOW_MAX 15
#define CHMGR_RTO_DEFAULT 2000u
#define CHMGR_RTO_MIN 400u
#define CHMGR_RTO_MAX 4000u
#define CHMGR_ACK_DELAY_MS 200u
#define CHMGR_KEEPALIVE_MS 1000u
#define CHMGR_CWND_FREEZE_MS 60000u
#define CHMGR_SEND_PASS_MS 2u

// PackageLogFilter bits.
#define CHMGR_LOG_DUPLICATES 0x1
#define CHMGR_LOG_RECEIVED 0x2
#define CHMGR_LOG_SENT 0x4
#define CHMGR_LOG_ACK_COUNT 0x10
#define CHMGR_LOG_ACK_DELAY 0x20
#define CHMGR_LOG_INORDER 0x40
#define CHMGR_LOG_COMPACTION 0x80
#define CHMGR_LOG_OUTOFORDER 0x100

// Fixed part of a channel allocation in front of the block table.
#define CHANNELBUFFER_HEADER_SIZE 128u

// CHANNELBUFFER.wFlags
#define CHF_SERVER 0x0001
#define CHF_SENDMODE 0x0002
#define CHF_RELATIVE 0x0004
#define CHF_SENDPASS 0x0008
// Set from the settings when the channel is created: "WindowSize" and
// "RetransmissionTimeout" present keep window and time-out fixed.
#define CHF_FIXED_WINDOW 0x0100
#define CHF_FIXED_RTO 0x0200

// BLOCKINFO.wFlags
#define BIF_SENT 0x0001
#define BIF_OUTOFORDER 0x0002
#define BIF_RETRANSMITTED 0x0004

// NetworkGetStatus status values.
#define NETSTATUS_SENDMODE_IDLE 0x0001
#define NETSTATUS_SENDING 0x0010
#define NETSTATUS_RECEIVING 0x0011
#define NETSTATUS_WAITING 0x1000

struct BLOCKINFO {
    RTS_UI32 dwTimeStamp;
    RTS_UI32 dwStartByte;
    RTS_UI32 dwBlockNr;
    RTS_UI16 wLength;
    RTS_UI16 wFlags;  // BIF_*
};
static_assert(sizeof(BLOCKINFO) == 16, "a block-table entry is 16 bytes");

struct CHANNELSENDSTATE {
    RTS_UI32 dwNextByte;   // bytes of the message already put into blocks
    RTS_UI32 dwNextAck;    // oldest block not yet acknowledged
    RTS_UI32 dwNextBlock;  // next new block number
    RTS_UI32 dwMsgSize;
    RTS_UI32 dwMsgChecksum;
    RTS_UI32 dwLastTime;  // time the last package was sent
};

struct CHANNELRECEIVESTATE {
    RTS_UI32 dwNextByte;   // bytes of the message received in order
    RTS_UI32 dwLastAck;    // highest block acknowledged to the peer
    RTS_UI32 dwLastBlock;  // highest block received in order
    RTS_UI32 dwMsgSize;
    RTS_UI32 dwMsgChecksum;
    RTS_UI32 dwLastTime;  // time the last package arrived
};

// Transport state of one channel, at the start of its allocation. The block
// table (wNumBlockBuffers entries) and the message buffer follow at fixed
// places (ChBlockTable, ChReceiveBuffer), so the record carries no pointers
// into its own allocation and fits the 128 bytes of the allocation formula
// on 32- and 64-bit builds alike.
struct CHANNELBUFFER {
    RTS_HANDLE hRouter;    // router instance used
    RTS_UI8* pSendBuffer;  // the caller's message being sent (not a copy); null when idle
    RTS_UI32 dwCommBufferSize;
    RTS_UI32 dwCWndFreezeTime;
    RTS_UI32 dwRTT;
    RTS_UI32 dwRTO;
    CHANNELSENDSTATE sendState;
    CHANNELRECEIVESTATE recState;
    RTS_UI16 wChannelId;
    RTS_UI16 wNumBlockBuffers;  // power of 2, at least 2
    RTS_UI16 wMaxBlockSize;     // largest layer-4 package toward the peer
    RTS_UI16 wFlags;            // CHF_*
    RTS_UI16 wCWnd;
    RTS_UI16 wLastCWnd;
    RTS_UI16 wGoodCWnd;
    // Step counters of the window (below 3 x 15 and 3): one byte each keeps
    // the record within its 128 bytes on 64-bit builds.
    RTS_UI8 wCWndCheckCount;
    RTS_UI8 wGoodCWndCount;
    RTS_UI8 ucAddrOffset;  // relative offset, only for a relative peer address
    RTS_UI8 ucAddrPeerLen;
    ADDRESSCOMPONENT addrPeer[MAX_NODE_ADDR_LEN];
};
static_assert(sizeof(CHANNELBUFFER) <= CHANNELBUFFER_HEADER_SIZE,
              "channel record fits the allocation formula");

inline BLOCKINFO* ChBlockTable(CHANNELBUFFER* pCh) {
    return reinterpret_cast<BLOCKINFO*>(reinterpret_cast<RTS_UI8*>(pCh) + CHANNELBUFFER_HEADER_SIZE);
}
inline RTS_UI8* ChReceiveBuffer(CHANNELBUFFER* pCh) {
    return reinterpret_cast<RTS_UI8*>(pCh) + CHANNELBUFFER_HEADER_SIZE +
           static_cast<RTS_SIZE>(pCh->wNumBlockBuffers) * sizeof(BLOCKINFO);
}
// The peer address of the channel as a view.
inline PEERADDRESS ChPeerAddress(CHANNELBUFFER* pCh) {
    PEERADDRESS a;
    a.type = (pCh->wFlags & CHF_RELATIVE) != 0 ? AT_RELATIVE : AT_ABSOLUTE;
    a.nAddrOffset = (pCh->wFlags & CHF_RELATIVE) != 0 ? static_cast<RTS_I8>(pCh->ucAddrOffset) : 0;
    a.nLength = pCh->ucAddrPeerLen;
    a.pAddress = pCh->addrPeer;
    return a;
}

// ---- Exported functions ------------------------------------------------------------------------

// Copies the channel's record (without block table and buffer).
KL_API_FUNC(RTS_RESULT, NetworkGetChannelInfo, (CHANNELBUFFER * pChBuffer, CHANNELBUFFER* pInfo));
// Progress of the current transfer; sizes of 0x40000000 or more are shifted
// right by *pbyScalingFactor (3), idle states report 0 and -1.
KL_API_FUNC(RTS_RESULT, NetworkGetStatus,
            (CHANNELBUFFER * pChBuffer, RTS_UI16* pusStatus, RTS_UI8* pbyScalingFactor,
             RTS_I32* pnItemsComplete, RTS_I32* pnTotalItems));
// Starts sending one request; the data stay the caller's and must stay
// untouched until the response has arrived. 421 when not allowed now, 425
// when larger than the channel buffer.
KL_API_FUNC(RTS_RESULT, NetworkSendMessage, (CHANNELBUFFER * pChBuffer, PROTOCOL_DATA_UNIT pduData));
// Sets the checksum field of a meta package (at least 8 bytes) and sends it.
KL_API_FUNC(RTS_RESULT, NetworkSendMetaPkg,
            (RTS_HANDLE hRouter, PEERADDRESS addrReceiver, PROTOCOL_DATA_UNIT pduData));
// Initialises a channel allocation of dwSize bytes; returns the message
// buffer size it admits (at most dwCommBufferSize), 0 when refused. A block
// size of 0 asks the router.
KL_API_FUNC(RTS_UI32, NetworkInitChannelBuffer2,
            (CHANNELBUFFER * pChBuffer, RTS_UI32 dwSize, RTS_HANDLE hRouter, PEERADDRESS addrPeer,
             RTS_UI16 wChannelId, RTS_UI32 dwCommBufferSize, RTS_BOOL bServer, RTS_UI16 wMaxBlockSize));
KL_API_FUNC(RTS_UI32, NetworkInitChannelBuffer,
            (CHANNELBUFFER * pChBuffer, RTS_UI32 dwSize, RTS_HANDLE hRouter, PEERADDRESS addrPeer,
             RTS_UI16 wChannelId, RTS_UI32 dwCommBufferSize, RTS_BOOL bServer));
// Allocation size for a message buffer of dwCommBufferSize bytes: 16 n + 128 + M;
// 0 for a block size of 20 or less.
KL_API_FUNC(RTS_UI32, NetworkGetChBufferSize, (RTS_UI32 dwCommBufferSize, RTS_UI16 wMaxBlockSize));
// ChannelMgrHandleData: prototype in RouterTypes.h.

// ---- Internal, shared with the tests ---------------------------------------------------------------

// Largest message buffer an allocation of dwSize bytes admits, and the block
// count it uses (*pwNumBlocks may be null).
RTS_UI32 ChannelMgrGetCommBufferSize(RTS_UI32 dwSize, RTS_UI16 wMaxBlockSize, RTS_UI16* pwNumBlocks);
// One step of the congestion window (the transport calls it after every
// data block sent).
void ChannelMgrUpdateWindowSize(CHANNELBUFFER* pChBuffer, RTS_BOOL bRetransmission, RTS_UI32 ulNow);
// Counters of the transport since start-up (for tests and soak runs).
struct CHANNELMGRSTATS {
    RTS_UI32 ulBlocksSent;
    RTS_UI32 ulRetransmissions;
    RTS_UI32 ulAcksSent;
    RTS_UI32 ulKeepAlivesSent;
    RTS_UI32 ulDuplicates;
    RTS_UI32 ulOutOfOrder;
    RTS_UI32 ulChecksumErrors;
};
void ChannelMgrGetStats(CHANNELMGRSTATS* pStats);

KL_COMPONENT_ENTRY(CmpChannelMgr);
