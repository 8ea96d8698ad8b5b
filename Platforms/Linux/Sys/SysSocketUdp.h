// Datagram sockets and the host's network adapters, for the UDP block driver
// and the tools that stand in for its peers. An addition to SysSocket.h (whose
// handles, addresses and calls these use): the list of IPv4 adapters with
// their masks and broadcast addresses, and the opening of a bound datagram
// socket with the options a datagram peer needs.
#pragma once

#include "SysSocket.h"

// SYS_ADAPTER_INFO.ulFlags
#define SYS_ADAPTER_UP 0x1
#define SYS_ADAPTER_LOOPBACK 0x2
#define SYS_ADAPTER_BROADCAST 0x4    /* ulBroadcast is the directed broadcast */
#define SYS_ADAPTER_POINTTOPOINT 0x8 /* ulBroadcast is the remote peer */

#define SYS_ADAPTER_NAME_LEN 32

// One IPv4 address of an adapter (an adapter with several addresses appears
// once per address). Addresses in network order.
struct SYS_ADAPTER_INFO {
    char szName[SYS_ADAPTER_NAME_LEN];
    RTS_UI32 ulIndex;  // the operating system's interface index
    RTS_UI32 ulIpAddr;
    RTS_UI32 ulNetMask;
    RTS_UI32 ulBroadcast;  // 0 when the adapter has none
    RTS_UI32 ulFlags;      // SYS_ADAPTER_*
};

// Fills up to iMax entries (in the order the system lists them) and sets
// *piCount to their number. ERR_BUFFERSIZE when there were more than iMax.
RTS_RESULT SysSockGetAdapterList(SYS_ADAPTER_INFO* pList, int iMax, int* piCount);

// SysSockUdpOpen options
#define SYS_UDP_REUSEADDR 0x1 /* allow sockets bound to the same address and port */
#define SYS_UDP_BROADCAST 0x2 /* allow sending to broadcast addresses */
#define SYS_UDP_NONBLOCKING 0x4

// A datagram socket bound to ulAddr:usPort (network order address, host order
// port; port 0 picks a free one). iRecvBuffer > 0 sets the receive buffer.
// RTS_INVALID_HANDLE with the reason (ERR_SOCK_ADDRINUSE for a taken port).
RTS_HANDLE SysSockUdpOpen(RTS_UI32 ulAddr, RTS_UI16 usPort, RTS_UI32 ulOptions, int iRecvBuffer,
                          RTS_RESULT* pResult);

// 1 for an address of 127.0.0.0/8 (network order).
int SysSockIsLoopbackAddr(RTS_UI32 ulAddr);
