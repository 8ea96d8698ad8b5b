// The router (component CmpRouter), layer 3 of the communication stack: node
// addresses, the package header, where a package goes next, the send queues
// of the network interfaces, local delivery to the protocol handlers and the
// address service. Block drivers register their interfaces here and hand
// every received block to RouterHandleData; the layers above send through
// RouterSend2.
//
// The operations that use router state return ERR_NOTINITIALIZED before the
// router has started; RouterGetBlkAddresses and RouterCompareAddresses work on
// their arguments alone. A router handle is a reference to an instance; a
// null or all-ones router handle means instance 0.
#pragma once

#include "RouterTypes.h"

// Settings of section "CmpRouter".
#define ROUTERKEY_INT_MAXROUTERS "MaxRouters"
#define ROUTERKEY_INT_LOOPDETECTION "EnableLoopDetection"
#define ROUTERKEY_INT_PARALLELROUTING "EnableParallelRouting"
#define ROUTERKEY_STRING_MAINNET "MainNet"
#define ROUTERKEY_INT_NUMSUBNETS "NumSubnets"
#define ROUTERKEY_STRING_NAME "Name"
#define ROUTERKEY_INT_ADDRESSUPDATEINTERVAL "AddressUpdateInterval"
#define ROUTERKEY_STRING_SUBNET "Subnet"
#define ROUTERKEY_STRING_INTERFACE "Interface"
// Milliseconds a queued block may wait for its interface (default 3000).
#define ROUTERKEY_INT_SENDQUEUETIMEOUT "SendQueueTimeout"

#define ROUTER_MAX_INSTANCES 16
#define ROUTER_MAX_SUBNETS 15
#define ROUTER_QUEUE_LENGTH 3      /* blocks one interface may hold queued */
#define ROUTER_QUEUE_POOL_BLOCKS 5 /* queued blocks of all interfaces together */
#define ROUTER_BROADCASTID_SLOTS 20
#define ROUTER_BROADCASTID_HOLD_MS 10000u
#define ROUTER_BLOCKSIZE_CACHE_LINES 5

KL_API_FUNC(RTS_RESULT, RouterGetBlkDrvType, (RTS_HANDLE hInterface, RTS_UI8* pbyBlkDrvType));
KL_API_FUNC(RTS_RESULT, RouterGetParentAddress, (RTS_HANDLE hRouter, NODEADDRESS* pAddrParent));
KL_API_FUNC(RTS_RESULT, RouterGetHostAddress, (RTS_HANDLE hRouter, NODEADDRESS* pAddrHost));
KL_API_FUNC(RTS_RESULT, RouterSend,
            (RTS_HANDLE hRouter, PEERADDRESS addrReceiver, RTS_I32 nProtocolId, RTS_UI8 byMessageId,
             ROUTERPRIORITY prio, PROTOCOL_DATA_UNIT pduData));
KL_API_FUNC(RTS_RESULT, RouterSend2,
            (RTS_HANDLE hRouter, PEERADDRESS addrReceiver, RTS_I32 nProtocolId, RTS_UI8 byMessageId,
             ROUTERPRIORITY prio, PROTOCOL_DATA_UNIT pduData, RTS_BOOL bUseQueue));
KL_API_FUNC(RTS_RESULT, RouterGetMaxAddressSize,
            (RTS_HANDLE hRouter, PEERADDRESS addrPeer, RTS_UI8* pbyMaxSize));
KL_API_FUNC(RTS_RESULT, RouterGetMaxMessageSizeByAddressLength,
            (RTS_HANDLE hRouter, RTS_UI16 wAddrLengthSum, RTS_UI16* pwMaxSize));
KL_API_FUNC(RTS_RESULT, RouterGetMaxMessageSize,
            (RTS_HANDLE hRouter, PEERADDRESS addrPeer, RTS_UI16* pwMaxSize));
KL_API_FUNC(RTS_RESULT, RouterGetName, (RTS_HANDLE hRouter, char* pszName, RTS_I32 nMaxLen));
KL_API_FUNC(RTS_RESULT, RouterGetInstanceByName, (const char* pszName, RTS_HANDLE* phRouter));
KL_API_FUNC(RTS_RESULT, RouterCalculateNodeAddr,
            (RTS_UI16 usBlkDrvType, RTS_UI8 byNetworkAddressBitSize, const NETWORKADDRESS* pNetworkAddr,
             NODEADDRESS* pNodeAddr));
KL_API_FUNC(RTS_BOOL, RouterCompareAddresses, (const PEERADDRESS* pAddr1, const PEERADDRESS* pAddr2));
// Parses a package header: ERR_PARAMETER for missing out-arguments, ERR_FAILED
// for a malformed block. The addresses are views into the block.
KL_API_FUNC(RTS_RESULT, RouterGetBlkAddresses,
            (PROTOCOL_DATA_UNIT pduData, PEERADDRESS* pAddrReceiver, PEERADDRESS* pAddrSender,
             RTS_I32* pnDataOffset));
// Entry of every block a driver receives; 0 whenever the router is started,
// also for a dropped block.
KL_API_FUNC(RTS_RESULT, RouterHandleData,
            (RTS_HANDLE hNetwork, NETWORKADDRESS naSender, PROTOCOL_DATA_UNIT pduData,
             RTS_BOOL bIsBroadcast));
KL_API_FUNC(RTS_RESULT, RouterUnregisterNetworkInterface, (RTS_HANDLE hSubnet));
KL_API_FUNC(RTS_RESULT, RouterRegisterOnDemandNWInterface,
            (const NETWORKINTERFACEINFO* pInterfaceInfo, const ONDEMANDNETWORKINTERFACE* pOnDemand,
             RTS_HANDLE* phSubnet));
KL_API_FUNC(RTS_RESULT, RouterRegisterNetworkInterface,
            (const NETWORKINTERFACEINFO* pInterfaceInfo, RTS_HANDLE* phSubnet));
KL_API_FUNC(RTS_RESULT, RouterRegisterNetworkInterface2,
            (const NETWORKINTERFACEINFO2* pInterfaceInfo, RTS_HANDLE* phSubnet));

// ---- Entries for programs on the controller side (external table) -------------------------

struct RTR_AddrComponent {
    RTS_UI8 by[2];
};
struct RTR_NodeAddress {
    RTS_UI16 nAddrComponentCount;
    RTR_AddrComponent AddrComponents[MAX_NODE_ADDR_LEN];
};
static_assert(sizeof(RTR_NodeAddress) == 32, "RTR_NodeAddress layout");

struct routergetinstancebyname_struct {
    const char* stName;
    RTS_HANDLE* phRouter;
    RTS_RESULT RouterGetInstanceByName;
};
struct routergetname_struct {
    RTS_HANDLE hRouter;
    char* pszName;
    RTS_I32 nMaxLen;
    RTS_RESULT RouterGetName;
};
struct routergethostaddress_struct {
    RTS_HANDLE hRouter;
    RTR_NodeAddress* pAddr;
    RTS_RESULT RouterGetHostAddress;
};
struct routergetparentaddress_struct {
    RTS_HANDLE hRouter;
    RTR_NodeAddress* pAddr;
    RTS_RESULT RouterGetParentAddress;
};

KL_API_FUNC(void, routergetinstancebyname, (routergetinstancebyname_struct * p));
KL_API_FUNC(void, routergetname, (routergetname_struct * p));
KL_API_FUNC(void, routergethostaddress, (routergethostaddress_struct * p));
KL_API_FUNC(void, routergetparentaddress, (routergetparentaddress_struct * p));

KL_COMPONENT_ENTRY(CmpRouter);
