// Internals of the UDP block driver shared between its files and its tests:
// the interface record, the driver's state, the address rules and the seams
// the tests use to watch what leaves the driver.
//
// The driver lock guards the interface table. The router calls BdSend with
// its own lock held, so the order is router lock, then driver lock; the
// driver never calls the router (register, unregister, hand over a block)
// while it holds its own lock. Sockets are opened and closed only by the
// thread that receives (the driver's thread, or the communication cycle when
// there is none) and by the start and exit hooks.
#pragma once

#include <atomic>
#include <mutex>

#include "CmpBlkDrvUdpItf.h"
#include "CmpLogItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"
#include "SysSocketUdp.h"

namespace klbdudp {

extern PFRouterRegisterNetworkInterface2 pfRouterRegisterNetworkInterface2;
extern PFRouterUnregisterNetworkInterface pfRouterUnregisterNetworkInterface;
extern PFRouterHandleData pfRouterHandleData;
extern PFSettgGetIntValue pfSettgGetIntValue;
extern PFSettgGetStringValue pfSettgGetStringValue;
extern PFSettgGetWStringValue pfSettgGetWStringValue;
extern PFLogAdd pfLogAdd;

}  // namespace klbdudp

// One configured interface ("itf.<n>.*"). Addresses in host order, 0 = not set.
struct BDUDP_ITFCONFIG {
    char szAdapterName[SYS_ADAPTER_NAME_LEN];
    RTS_UI32 ulIpAddr;
    RTS_UI32 ulNetworkMask;
    char szName[ROUTER_NAME_LEN];
    RTS_I32 iPortIdx;  // -1 = not set
    RTS_UI32 ulPPPRemoteAddress;
    RTS_BOOL bDoNotUse;
};

// One interface, one per adapter address. Addresses and masks in host order.
struct UDPDEVICEDESC {
    RTS_BOOL bValid;  // sockets open; the router handle follows once registered
    RTS_UI32 ulIpAddr;
    RTS_UI32 ulLocalAddrMask;  // host mask of the node addresses
    RTS_UI32 ulOsNetworkMask;
    RTS_UI16 usLocalAddrLen;
    RTS_UI16 usPortIdxOffset;      // = host bits
    RTS_HANDLE hNetworkInterface;  // the router's handle; RTS_INVALID_HANDLE until registered
    RTS_HANDLE ulRecvSock;
    RTS_HANDLE ulBroadcastSock;  // RTS_INVALID_HANDLE when none
    RTS_I32 iPortIdx;
    SYS_ADAPTER_INFO* pAdapterInfo;  // points to AdapterInfo, or null
    SYS_ADAPTER_INFO AdapterInfo;
    BDUDP_ITFCONFIG cfg;
    RTS_UI32 ulBroadcastAddr;  // where broadcasts go
    char szName[ROUTER_NAME_LEN];
};

struct BdUdpState {
    std::atomic<RTS_HANDLE> hLock{RTS_INVALID_HANDLE};
    RTS_I32 iDefaultPortIdx = BDUDP_DEFAULT_PORT_INDEX;
    RTS_I32 iSortOption = 2;  // 2 = not read yet
    RTS_I32 nMaxInterfaces = BDUDP_DEFAULT_MAX_INTERFACES;
    RTS_UI32 ulUpdateCycleMs = BDUDP_DEFAULT_UPDATE_CYCLE_S * 1000u;
    RTS_UI32 ulLastAdapterCheck = 0;
    RTS_I32 nConfigs = 0;
    RTS_I32 nBlacklisted = 0;
    BDUDP_ITFCONFIG* pConfigs = nullptr;
    UDPDEVICEDESC* pDevices = nullptr;  // nMaxInterfaces entries
    char szUseOnlyAdapters[128] = {0};
    // The driver's own task; the communication cycle polls only while there
    // is none, and may read this while the task is being started.
    std::atomic<RTS_HANDLE> hTask{RTS_INVALID_HANDLE};
    std::atomic<RTS_BOOL> bThreaded{1};
    // Set once StartUp has finished, cleared first by ShutDown: a driver loaded
    // while the runtime runs gets its communication cycle before its start
    // hooks are through.
    std::atomic<bool> bStarted{false};
    // One polling pass at a time (the cycle and the task may overlap while the
    // task starts); ShutDown waits for a running pass.
    std::mutex passMutex;
};

extern BdUdpState g_bdudp;

void BdUdpLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

// ---- Addresses (BlkDrvUdpAddr.cpp) -------------------------------------------------------------
// Sets usLocalAddrLen and usPortIdxOffset from ulLocalAddrMask.
void BdUdpInitAddressing(UDPDEVICEDESC* pDev);
RTS_I32 BdUdpHostBits(RTS_UI32 ulHostMask);
// The network address of the peer ulIp (host order) on port index iPortIdx.
void BdUdpMakeNetworkAddress(const UDPDEVICEDESC* pDev, RTS_UI32 ulIp, RTS_I32 iPortIdx,
                             NETWORKADDRESS* pAddr);
// Splits a network address: broadcast, or the peer's IPv4 address (host
// order, network part from the own address) and port index. ERR_PARAMETER
// for a length that is neither 0 nor usLocalAddrLen.
RTS_RESULT BdUdpParseNetworkAddress(const UDPDEVICEDESC* pDev, const NETWORKADDRESS* pAddr,
                                    RTS_BOOL* pbBroadcast, RTS_UI32* pulIp, RTS_I32* piPortIdx);
// Whether a datagram from ulIp:usPort (host order) is taken, and the sender's
// network address: the port must be one of the four, the sender not this
// interface itself, and inside the part of the address space the node
// address can tell apart (else it would alias a local host).
bool BdUdpAcceptSender(const UDPDEVICEDESC* pDev, RTS_UI32 ulIp, RTS_UI16 usPort, NETWORKADDRESS* pSender);

// ---- Interfaces and traffic (BlkDrvUdpIo.cpp) ---------------------------------------------------
RTS_RESULT BdSend(RTS_HANDLE hInterface, NETWORKADDRESS addrReceiver, PROTOCOL_DATA_UNIT pduData);
// Brings the table in line with the host's adapters (adds, registers,
// unregisters, closes).
void BdUdpCheckAdapters(bool bStartup);
void BdUdpCloseAll(void);
// One pass: adapter check when due, then up to ulWaitMs waiting for
// datagrams and handing them to the router. Returns how long the caller
// should pause.
RTS_UI32 BdUdpPass(RTS_UI32 ulWaitMs);

// ---- Seams for tests ---------------------------------------------------------------------------------
// Called for every datagram just before it is sent (destination in host order).
typedef void (*PFBDUDPSENDOBSERVER)(RTS_UI32 ulDestIp, RTS_UI16 usDestPort, RTS_UI32 ulSize);
void BdUdpSetSendObserver(PFBDUDPSENDOBSERVER pfObserver);
// Copies of the valid interfaces; returns their number.
RTS_I32 BdUdpGetInterfaces(UDPDEVICEDESC* pOut, RTS_I32 nMax);
// 1 when this build refuses every adapter and destination outside 127.0.0.0/8.
RTS_I32 BdUdpLoopbackOnlyBuild(void);
