// Internals of the name-service client shared with its tests and its fuzz
// target: the request table, the functions imported from other components
// (tests put fakes in their place) and the entry of the router.
//
// Lock order: the router calls NSClientHandleData without its own lock held,
// and the client never calls the router while it holds the name-service lock;
// callbacks run with no lock of the client held.
#pragma once

#include "CmpLogItf.h"
#include "CmpNameServiceClientItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"

namespace klns {

extern PFRouterGetInstanceByName pfRouterGetInstanceByName;
extern PFRouterSend2 pfRouterSend2;
extern PFRouterGetMaxMessageSizeByAddressLength pfRouterGetMaxMessageSizeByAddressLength;
extern PFRouterCalculateNodeAddr pfRouterCalculateNodeAddr;
extern PFRouterGetHostAddress pfRouterGetHostAddress;
extern PFRouterGetBlkDrvType pfRouterGetBlkDrvType;
extern PFSettgGetIntValue pfSettgGetIntValue;
extern PFLogAdd pfLogAdd;

}  // namespace klns

struct REQUESTELEM {
    RTS_BOOL bUsed;
    RTS_UI32 dwInternalRequestID;
    RTS_HANDLE hCallerRequestID;
    RTS_UI32 dwTimeStamp;
    RTS_I32 nRequestType;  // RT_*
    PFHANDLENSRESPONSE pfCallback;
    PFHANDLENSRESPONSE2 pfCallback2;
    PFHANDLENSRESPONSE3 pfCallback3;
    RTS_UI32 dwTimeout;     // ms
    NODEADDRESS* pAddInfo;  // owned: the node asked, for unicast requests
    RTS_BOOL bFinishWithFirstNode;
};

struct REQUESTLIST {
    RTS_UI32 dwLastRequestID;
    REQUESTELEM aRequests[NS_MAX_REQUESTS];
};

// The router's entry for PID_NAMINGRESPONSE (prototype PFNSClientHandleData).
RTS_RESULT NSClientHandleData(RTS_HANDLE hRouter, RTS_HANDLE hNetworkInterface, RTS_UI8 byServiceId,
                              RTS_UI8 byMessageId, PEERADDRESS addrSender, PEERADDRESS addrReceiver,
                              PROTOCOL_DATA_UNIT pduData, RTS_I32 nRouterError);

// Open requests (tests).
RTS_I32 NSGetNumRequests(void);
// The internal id of the open request of a caller handle, 0 when none (tests).
RTS_UI32 NSGetInternalRequestID(RTS_HANDLE hCallerRequestID);
// The configured default time-out in ms.
RTS_UI32 NSGetScanTimeMs(void);
