// The TCP block driver (component CmpBlkDrvTcp), layer 2 of the
// communication stack: one network interface registered with the router,
// client connections opened on the first block to a peer, every block framed
// on the stream (BlkDrvTcpTypes.h), received frames reassembled and handed to
// the router. The driver exports no functions of its own: the router reaches
// it through the send function of the interface description.
#pragma once

#include "BlkDrvTcpTypes.h"
#include "RouterTypes.h"

// Settings of section "CmpBlkDrvTcp".
#define BDTCPKEY_INT_ENABLECLIENT "EnableClient"
#define BDTCPKEY_INT_INACTIVITYTIMEOUT "InactivityTimeout" /* seconds */
#define BDTCPKEY_INT_LOCALACCESSONLY "LocalAccessOnly"
#define BDTCPKEY_STRING_LOCALADDRESS "LocalAddress"
#define BDTCPKEY_STRING_PEERADDRESS "PeerAddress"
#define BDTCPKEY_STRING_IPADDRESS "ipaddress"
#define BDTCPKEY_STRING_NAME "Name"

#define BDTCP_DEFAULT_NAME "BlkDrvTcp"
#define BDTCP_DEFAULT_INACTIVITY_S 60
// The driver's own handle in its interface description.
#define BDTCP_INTERFACE_MARKER 0x12345678u

KL_COMPONENT_ENTRY(CmpBlkDrvTcp);
