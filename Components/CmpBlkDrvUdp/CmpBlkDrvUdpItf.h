// The UDP block driver (component CmpBlkDrvUdp), layer 2 of the communication
// stack over UDP/IPv4: one router interface per network adapter, each with a
// receive socket on one of the ports 1740..1743 (1740 + port index), every
// layer-3 block carried as exactly one datagram, broadcasts sent to the
// adapter's broadcast address on all four ports. The driver exports no
// functions: the router reaches it through the send function of each
// interface description.
//
// Network address of a peer (usLocalAddrLen bytes, big-endian): the host part
// of its IPv4 address with the 2-bit port index above it,
//   value = (IPv4 & host mask) | (port index << host bits),
// in the fewest bytes that hold host bits + 2 (nNetworkAddressBitSize). A
// length of 0, or host and port-index bits all ones, is a broadcast.
#pragma once

#include "RouterTypes.h"

#ifndef CMPID_CmpBlkDrvUdp
#define CMPID_CmpBlkDrvUdp 38
#endif

// Settings of section "CmpBlkDrvUdp".
#define BDUDPKEY_INT_MAXINTERFACES "MaxInterfaces"
#define BDUDPKEY_INT_UPDATECYCLETIME "UdpSysSocketUpdateCycleTime" /* seconds */
#define BDUDPKEY_INT_SORTADAPTERS "SortAdaptersAtStartup"
// Comma-separated adapter names ("lo"): when set, no other adapter is used.
#define BDUDPKEY_STRING_USEONLYADAPTERS "UseOnlyAdapters"
// Per configured interface n: "itf.<n>.<key>".
#define BDUDPKEY_ITF_PREFIX "itf"
#define BDUDPKEY_ITF_ADAPTERNAME "AdapterName"
#define BDUDPKEY_ITF_ADAPTERNAMEUNICODE "AdapterNameUnicode"
#define BDUDPKEY_ITF_IPADDRESS "ipaddress"
#define BDUDPKEY_ITF_NETWORKMASK "networkmask"
#define BDUDPKEY_ITF_NAME "name"
#define BDUDPKEY_ITF_PORTINDEX "portindex"
#define BDUDPKEY_ITF_PPPREMOTEADDRESS "PPPRemoteAddress"
#define BDUDPKEY_ITF_DONOTUSE "DoNotUse"

#define BDUDP_BASE_PORT 1740
#define BDUDP_NUM_PORTS 4
#define BDUDP_DEFAULT_PORT_INDEX 2
#define BDUDP_MAX_BLOCK_SIZE 512
#define BDUDP_RECV_BUFFER 600 /* one datagram; larger ones are cut and dropped by the router */
#define BDUDP_SOCKET_RECV_BUFFER 65536
#define BDUDP_DEFAULT_MAX_INTERFACES 10
#define BDUDP_MAX_INTERFACES 15
#define BDUDP_DEFAULT_UPDATE_CYCLE_S 5

KL_COMPONENT_ENTRY(CmpBlkDrvUdp);
