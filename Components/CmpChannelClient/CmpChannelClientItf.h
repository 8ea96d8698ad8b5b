// The channel client (component CmpChannelClient): opens and closes layer-4
// channels with meta packages, keeps the list of open channels with their
// handles and reference counts, and calls the application back when a
// response message or an error arrives. The transport of every channel is
// the channel manager's (CmpChannelMgrItf.h).
//
// A channel is half-duplex: one request (NetClientSend), then the peer's
// response, delivered through IClientAppHandleMessage, then the next request.
#pragma once

#include "CmpChannelMgrItf.h"

#define CHCLIENT_OPEN_DELAY_MS 100u
#define CHCLIENT_OPEN_RETRY_MS 3000u
#define CHCLIENT_OPEN_TRIES 3

// Application callbacks. pBase is the application object's base interface;
// hInstance passed back is pBase itself.
typedef void (*PFICLIENTAPPHANDLEMESSAGE)(RTS_HANDLE hInstance, RTS_UI16 wChannelHandle,
                                          PROTOCOL_DATA_UNIT message);
typedef void (*PFICLIENTAPPONCHANNELERROR)(RTS_HANDLE hInstance, RTS_UI16 wChannelHandle, RTS_RESULT nError);

struct ICmpChannelClientApp {
    void* pBase;
    PFICLIENTAPPHANDLEMESSAGE IClientAppHandleMessage;
    PFICLIENTAPPONCHANNELERROR IClientAppOnChannelError;
};

// Entry of the channel list (a circular doubly-linked list).
struct CHANNELBUFFERSTATUS {
    RTS_UI32 dwRequestId;
    RTS_UI16 wChannelHandle;
    RTS_UI16 wReferences;
    RTS_BOOL bClosing;
    // The application still holds the reference the open gave it.
    RTS_BOOL bAppReference;
    CHANNELBUFFER* pChBuffer;
    ICmpChannelClientApp* pICmpChannelClientApp;
    CHANNELBUFFERSTATUS* pNext;
    CHANNELBUFFERSTATUS* pPrev;
};

// A pending open request.
struct PENDINGREQUEST {
    RTS_UI32 dwMasterRequestId;   // the id the caller polls with
    RTS_UI32 dwMessageRequestId;  // the id on the wire (changes when the open is repeated)
    ADDRESSTYPE addressType;
    RTS_UI16 wAddrOffset;
    RTS_UI16 wAddrLength;
    ADDRESSCOMPONENT addrReceiver[MAX_NODE_ADDR_LEN];
    RTS_UI32 dwTimeStamp;
    RTS_I32 nRetryCounter;
    RTS_RESULT nResult;  // ERR_PENDING while pending
    RTS_UI8 byType;      // L4_META_OPENCHANNEL_REQ
    RTS_UI32 dwCommBufferSize;
    RTS_UI16 wChannelHandle;
    RTS_BOOL bBigEndian;
    PENDINGREQUEST* pNext;
};

// Called for every channel that is not closing, with a reference held and no lock.
typedef void (*PFNETCLIENTCHANNELCALLBACK)(CHANNELBUFFER* pChBuffer, void* pParam);

// Exported, in this order.
KL_API_FUNC(RTS_RESULT, NetClientUnregisterAppInterface,
            (RTS_UI16 wChannelHandle, ICmpChannelClientApp* pApp));
KL_API_FUNC(RTS_RESULT, NetClientRegisterAppInterface, (RTS_UI16 wChannelHandle, ICmpChannelClientApp* pApp));
KL_API_FUNC(RTS_RESULT, NetClientChannelError, (CHANNELBUFFER * pChBuffer, RTS_RESULT nError));
KL_API_FUNC(RTS_RESULT, NetClientMessageReceived, (CHANNELBUFFER * pChBuffer, PROTOCOL_DATA_UNIT message));
KL_API_FUNC(RTS_RESULT, NetClientForEachChannel, (PFNETCLIENTCHANNELCALLBACK pfCallback, void* pParam));
KL_API_FUNC(RTS_RESULT, NetClientHandleMetaResponse,
            (RTS_HANDLE hRouter, PEERADDRESS addrSender, PROTOCOL_DATA_UNIT pduData));
KL_API_FUNC(RTS_RESULT, NetClientReleaseChannel, (CHANNELBUFFER * pChBuffer));
KL_API_FUNC(RTS_RESULT, NetClientGetChannel,
            (const PEERADDRESS* pAddrPeer, RTS_UI16 wChannelId, CHANNELBUFFER** ppChBuffer));
KL_API_FUNC(RTS_RESULT, NetClientGetStatus,
            (RTS_UI16 wChannelHandle, RTS_UI16* pusStatus, RTS_UI8* pbyScalingFactor,
             RTS_I32* pnItemsComplete, RTS_I32* pnTotalItems));
KL_API_FUNC(RTS_RESULT, NetClientSend, (RTS_UI16 wChannelHandle, PROTOCOL_DATA_UNIT message));
KL_API_FUNC(RTS_RESULT, NetClientCloseChannel, (RTS_UI16 wChannelHandle));
KL_API_FUNC(RTS_RESULT, NetClientOpenChannelResult,
            (RTS_UI32 dwRequestId, RTS_UI16* pwChannelHandle, RTS_UI32* pdwCommBufferSize,
             RTS_BOOL* pbBigEndianByteOrder));
KL_API_FUNC(RTS_RESULT, NetClientOpenChannel,
            (PEERADDRESS addrReceiver, RTS_UI32 dwCommBufferSize, RTS_UI32* pdwReqId));

// Test seam: the pause before the first open request and the period between
// repeats (defaults 100 ms and 3000 ms).
void NetClientSetOpenTiming(RTS_UI32 ulDelayMs, RTS_UI32 ulRetryMs);
// Number of channels in the list (closing ones included) and of pending requests.
RTS_I32 NetClientGetNumChannels(void);
RTS_I32 NetClientGetNumPendingRequests(void);

KL_COMPONENT_ENTRY(CmpChannelClient);
