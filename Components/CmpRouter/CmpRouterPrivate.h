// Internals of the router shared between its files, its tests and its fuzz
// target: the instance and interface records, the parsed view of a package,
// the module state and the functions the files call across.
//
// All state below is guarded by the router lock (g_router.hLock), a recursive
// platform lock. Exported operations take it once; the internal functions
// expect it held. It is released only around the call into layer 4 and the
// name service, so that those layers may send from their handlers.
#pragma once

#include <atomic>

#include "CmpChecksumItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"

namespace klrouter {

// Functions of other components, resolved when the runtime starts.
extern PFCRC16Update pfCRC16Update;
extern PFMemPoolCreateStatic pfMemPoolCreateStatic;
extern PFMemPoolDelete pfMemPoolDelete;
extern PFMemPoolGetBlock pfMemPoolGetBlock;
extern PFMemPoolPutBlock pfMemPoolPutBlock;
extern PFSettgGetIntValue pfSettgGetIntValue;
extern PFSettgGetStringValue pfSettgGetStringValue;
extern PFLogAdd pfLogAdd;
extern PFChannelMgrHandleData pfChannelMgrHandleData;
extern PFNSClientHandleData pfNSClientHandleData;

// One block waiting in an interface's send queue.
struct QUEUEDBLOCK {
    NETWORKADDRESS naNextNode;
    RTS_UI32 ulTimestamp;
    RTS_UI32 ulSize;
    RTS_UI8 abyData[ROUTER_MAX_BLOCK_SIZE];
};

struct NETWORKINTERFACE {
    NETWORKINTERFACEINFO2 info;
    RTS_I32 nLocalAddressLength;  // components this network adds to an address
    RTS_I32 nSubnetBytes;         // bytes of the local part in front of the network address
    RTS_UI8 bySubnetMask;         // 0xF0 when the subnet id shares its byte with the network address
    RTS_UI8 subnetId[4];          // byte 0: subnet index in the high nibble
    RTS_UI32 ulLastAddressUpdate;
    RTS_UI32 ulAddressUpdateInterval;  // ms; 0 = no address updates
    RTS_I32 nQueueCount;
    QUEUEDBLOCK* hQueue[ROUTER_QUEUE_LENGTH];  // oldest first
    RTS_BOOL bValid;
    RTS_HANDLE hNetworkInterface;
    char szConfigName[ROUTER_NAME_LEN];
    RTS_UI32 ulLastUsage;  // time of the last unregistration
    RTS_BOOL bEverUsed;
    RTS_UI32 ulConfigAddressUpdateInterval;  // ms, all ones when not configured
};

struct ROUTERINSTANCE {
    NETWORKINTERFACE Mainnet;
    RTS_I32 nNumSubnets;
    NETWORKINTERFACE* pSubnets;
    RTS_I32 nAvailParentSubnetBits;
    char szName[ROUTER_NAME_LEN];
    NETWORKADDRESS naParent;  // length 0: no parent known
    NODEADDRESS addrParent;
    NODEADDRESS addrRouter;
    RTS_I32 iInstance;
    RTS_BOOL bConfigured;
};

struct BROADCASTID {
    RTS_UI16 usId;  // 0 = free
    RTS_UI32 ulTime;
};
struct BROADCASTID_LIST {
    BROADCASTID aIds[ROUTER_BROADCASTID_SLOTS];
};

// Block-size cache line; the ring keeps the most recently used line first.
struct CACHELINE {
    RTS_HANDLE hRouter;
    NODEADDRESS naNode;
    RTS_I32 nMaxBlockSize;
};

// A package parsed in place: the addresses are views into pBuf.
struct RouterPackage {
    RTS_UI8* pBuf;
    RTS_UI32 ulSize;
    RTS_UI32 nHeaderWords;
    PEERADDRESS addrReceiver;
    PEERADDRESS addrSender;
    RTS_I32 nDataOffset;
    RTS_UI8 ServiceId() const { return pBuf[3]; }
    RTS_UI8 MessageId() const { return pBuf[4]; }
    RTS_UI8 HopCount() const { return static_cast<RTS_UI8>(pBuf[1] >> RPH_HOPCOUNT_SHIFT); }
    bool HasBroadcastId() const { return nHeaderWords == ROUTER_HEADER_WORDS_BC; }
    RTS_UI16 BroadcastId() const { return static_cast<RTS_UI16>((pBuf[6] << 8) | pBuf[7]); }
};

struct RouterState {
    RTS_HANDLE hLock = RTS_INVALID_HANDLE;
    std::atomic<int> bInitialized{0};
    RTS_I32 nMaxRouters = 0;  // instances allocated
    RTS_I32 nConfiguredRouters = 0;
    RTS_I32 nParallelRouterOffset = 8;
    RTS_I32 nParallelRouting = 2;
    RTS_BOOL bLoopDetection = 1;
    ROUTERINSTANCE* pRouters = nullptr;
    BROADCASTID_LIST broadcastIds{};
    CACHELINE aCache[ROUTER_BLOCKSIZE_CACHE_LINES]{};
    RTS_I32 iCacheFirst = 0;  // ring index of the most recently used line
    RTS_HANDLE hQueuePool = RTS_INVALID_HANDLE;
    RTS_UI32 ulQueueTimeout = 3000;
    RTS_UI32 ulLastAddressPass = 0;
    RTS_BOOL bPrintAddresses = 0;
};

extern RouterState g_router;

// ---- CmpRouter.cpp ---------------------------------------------------------------------
void RouterLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
ROUTERINSTANCE* RouterInstanceOf(RTS_HANDLE hRouter);
NETWORKINTERFACE* RouterInterfaceOf(RTS_HANDLE hInterface);
ROUTERINSTANCE* RouterInstanceOfInterface(const NETWORKINTERFACE* pItf);
// Address printed as 4 hexadecimal digits per component joined by ":".
void RouterAddressText(const ADDRESSCOMPONENT* pAddr, RTS_UI32 nLength, char* pszText, RTS_SIZE size);

// ---- RouterPackage.cpp -----------------------------------------------------------------
// The data offset of a package with these header words and address lengths.
RTS_I32 RouterDataOffset(RTS_UI32 nHeaderWords, RTS_UI32 nReceiverLen, RTS_UI32 nSenderLen);
// ERR_FAILED unless the block is 6..512 bytes, starts with the marker, has at
// least 3 header words and holds its addresses.
RTS_RESULT RouterParsePackage(RTS_UI8* pBuf, RTS_UI32 ulSize, RouterPackage* pPkg);
RTS_RESULT RouterCheckPackage(const RouterPackage* pPkg);
// Builds a header into pBuf (512 bytes) for a package of this instance;
// *pnDataOffset receives where the data go.
RTS_RESULT RouterInitializeHeader(const ROUTERINSTANCE* pInst, const PEERADDRESS* pReceiver,
                                  RTS_UI8 byServiceId, RTS_UI8 byMessageId, ROUTERPRIORITY prio,
                                  RTS_UI8* pBuf, RTS_I32* pnDataOffset);
RTS_RESULT RouterInitializeBroadcastHeader(const ROUTERINSTANCE* pInst, RTS_UI8 byServiceId,
                                           RTS_UI8 byMessageId, ROUTERPRIORITY prio, RTS_UI8* pBuf,
                                           RTS_I32* pnDataOffset);
RTS_UI16 RouterNewBroadcastId(const ROUTERINSTANCE* pInst);
// ERR_DUPLICATE when the id was seen within the hold time; records it otherwise.
RTS_RESULT RouterCheckBroadcastId(RTS_UI16 usId);
void RouterForgetBroadcastId(RTS_UI16 usId);
void RouterClearBroadcastIds(void);
// ERR_NET_NOROUTE when the address is a broadcast address of that network.
RTS_RESULT RouterSuppressLocalBroadcastAddresses(RTS_UI16 usType, RTS_I32 nBitSize,
                                                 const NETWORKADDRESS* pAddr);
bool RouterAddrEquals(const ADDRESSCOMPONENT* pA, RTS_UI32 nA, const ADDRESSCOMPONENT* pB, RTS_UI32 nB);
// 1 when the index nibble shares the first component with a network address of this bit size.
bool RouterIndexSharesComponent(RTS_I32 nBitSize);
// Rewrites a package routed from instance pFrom into instance pTo (into pOut, 512 bytes).
RTS_RESULT RouterTranslatePackage(const ROUTERINSTANCE* pFrom, const ROUTERINSTANCE* pTo,
                                  const RouterPackage* pPkg, RTS_UI8* pOut, RTS_UI32* pulOutSize);
void RouterCacheReset(void);
RTS_I32 RouterCacheLookup(RTS_HANDLE hRouter, const NODEADDRESS* pNode);
void RouterCacheUpdate(RTS_HANDLE hRouter, const NODEADDRESS* pNode, RTS_I32 nMaxBlockSize);

// ---- RouterRouting.cpp -----------------------------------------------------------------
RTS_RESULT RouterRoutePackage(ROUTERINSTANCE* pInst, RTS_UI8* pBuf, RTS_UI32 ulSize, NETWORKINTERFACE* pFrom,
                              const NETWORKADDRESS* pnaSender, RTS_BOOL bUseQueue);
RTS_RESULT RouterSendToNetwork(NETWORKINTERFACE* pItf, const NETWORKADDRESS* pnaNextNode, RTS_UI8* pBuf,
                               RTS_UI32 ulSize, RTS_BOOL bUseQueue, RTS_BOOL bBroadcast);
void RouterEmptyQueue(NETWORKINTERFACE* pItf);
void RouterServiceQueues(void);

// ---- RouterAddrSrvc.cpp ----------------------------------------------------------------
RTS_RESULT AddrSrvcGetInitialAddress(const NETWORKINTERFACE* pMainnet, NODEADDRESS* pAddr);
RTS_RESULT AddrSrvcHandlePackage(ROUTERINSTANCE* pInst, NETWORKINTERFACE* pFrom,
                                 const NETWORKADDRESS* pnaSender, const RouterPackage* pPkg,
                                 const RTS_UI8* pContent, RTS_UI32 ulContentSize);
RTS_RESULT SendAddressNotification(ROUTERINSTANCE* pInst, NETWORKINTERFACE* pSubnet);
void UpdateAddresses(void);
void AddrSrvcLogAddress(const ROUTERINSTANCE* pInst);

// Test seams, not exported.
RTS_I32 RouterGetParallelRouterOffset(void);
RTS_I32 RouterGetQueueCount(RTS_HANDLE hInterface);

}  // namespace klrouter
