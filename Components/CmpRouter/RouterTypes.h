// Shared wire types of layer 3 of the communication stack: node and network
// addresses, the borrowed byte range, the bytes of the package header, the
// description a block driver registers its network interface with, the
// result codes of the communication layers, and the prototypes of the
// protocol handlers the router hands local packages to. Included by the
// router, the block drivers, the layers above and the emulator; it holds
// declarations only.
#pragma once

#include <cstddef>

#include "CmpStd.h"

// ---- Bounds -------------------------------------------------------------------

#define MAX_NODE_ADDR_LEN 15      /* components of a node address */
#define MAX_NETWORK_ADDR_LEN 8    /* bytes of a block driver's network address */
#define ROUTER_MAX_BLOCK_SIZE 512 /* one layer-3 package */
#define ROUTER_NAME_LEN 20        /* interface and instance names, terminator included */
#define ROUTER_PKG_MARKER 0xC5
#define ROUTER_HOPCOUNT_INIT 15
#define ROUTER_HEADER_WORDS 3    /* plain header */
#define ROUTER_HEADER_WORDS_BC 4 /* header with broadcast id */

// ---- Result codes of the communication layers -----------------------------------

#define ERR_NET_NOTALLOWED_AS_SUBNET 32 /* interface type cannot be a subnet */
#define ERR_NET_MSGTOOLARGE 0x102       /* data too large for one block */
#define ERR_NET_NOROUTE 0x103           /* no route, or package rejected */
#define ERR_NET_INVALIDOFFSET 0x106     /* relative offset beyond the address */
#define ERR_NET_PKG_INVALID 0x120       /* package malformed for its protocol */
#define ERR_NET_PKG_NOTHANDLED 0x121    /* no local handler for the package */
#define ERR_NET_PKG_VERSION 0x122       /* unknown protocol version */

// ---- Addresses ------------------------------------------------------------------

// One 16-bit address component; by[0] is the high byte and is sent first.
struct ADDRESSCOMPONENT {
    RTS_UI8 by[2];
};

// An absolute node address: the path from the top of the hierarchy. Length 0
// means broadcast.
struct NODEADDRESS {
    RTS_UI32 nLength;
    ADDRESSCOMPONENT address[MAX_NODE_ADDR_LEN];
};

enum ADDRESSTYPE { AT_ABSOLUTE = 0, AT_RELATIVE = 1 };

// A view of an address that lives elsewhere (usually inside a received
// package); it owns nothing.
struct PEERADDRESS {
    ADDRESSTYPE type;
    RTS_I32 nAddrOffset;
    RTS_UI32 nLength;
    ADDRESSCOMPONENT* pAddress;
};

// A block driver's address of a neighbour on one network (TCP and UDP: IPv4
// address and port). Length 0 means broadcast on that network.
struct NETWORKADDRESS {
    RTS_UI32 nLength;
    RTS_UI8 address[MAX_NETWORK_ADDR_LEN];
};

// A borrowed byte range: the callee never frees it.
struct PROTOCOL_DATA_UNIT {
    RTS_UI8* pData;
    RTS_UI32 ulCount;
};

enum ROUTERPRIORITY { RPRIO_LOW = 0, RPRIO_NORMAL = 1, RPRIO_HIGH = 2, RPRIO_EMERGENCY = 3 };

// Protocol identifiers (byServiceId of the header).
enum ProtocolId {
    PID_ADDRESSREQUEST = 1,
    PID_ADDRESSNOTIFICATION = 2,
    PID_NAMINGREQUEST = 3,
    PID_NAMINGRESPONSE = 4,
    PID_LAYER4 = 64
};

// ---- Layer-3 package header (all multi-byte values big-endian) -----------------------
// The records give the field order; packages are read and written byte by byte.

struct ROUTERPKGHEADER {
    RTS_UI8 byPkgMarker;  // ROUTER_PKG_MARKER
    RTS_UI8 byFlag1;      // header words (bits 0..2), hop counter or signed relative offset (bits 3..7)
    RTS_UI8 byFlag2;      // relative receiver (bit 4), router error (bit 5), priority (bits 6..7)
    RTS_UI8 byServiceId;
    RTS_UI8 byMessageId;
    RTS_UI8 byAddrLength;  // receiver components (bits 0..3), sender components (bits 4..7)
};

struct ROUTERPKGHEADER2 {
    RTS_UI8 byPkgMarker;
    RTS_UI8 byFlag1;
    RTS_UI8 byFlag2;
    RTS_UI8 byServiceId;
    RTS_UI8 byMessageId;
    RTS_UI8 byAddrLength;
    RTS_UI8 byUid1;  // broadcast id, high byte
    RTS_UI8 byUid2;  // broadcast id, low byte
};

#define RPH_HEADERWORDS_MASK 0x07
#define RPH_HOPCOUNT_SHIFT 3
#define RPH_FLAG2_RELATIVE 0x10
#define RPH_FLAG2_ROUTERERROR 0x20
#define RPH_FLAG2_PRIO_SHIFT 6

// Content of PID_ADDRESSNOTIFICATION (42 bytes).
struct ADDR_NOTIFICATION_PACKAGE {
    RTS_UI8 byVersionMajor;  // 1
    RTS_UI8 byVersionMinor;  // 1
    RTS_UI8 byFlags;         // ADDRNF_*
    RTS_UI8 byAddrParentLen;
    ADDRESSCOMPONENT addrParent[MAX_NODE_ADDR_LEN];
    RTS_UI8 subnetId[4];  // left-aligned subnet id bits of the receiving network
    RTS_UI8 bySubnetBits;
    RTS_UI8 byParentSubnetBits;
    RTS_UI8 byReserved[2];
};
#define ADDRNF_STORE 1
#define ADDRNF_OVERWRITE 2
#define ADDRNF_RECURSIVE 4

// ---- Network interfaces of block drivers --------------------------------------------

// Block driver types (usType).
#define RTS_BLK_DRV_TYPE_NONE 0
#define RTS_BLK_DRV_TYPE_TCP 1
#define RTS_BLK_DRV_TYPE_COM 2
#define RTS_BLK_DRV_TYPE_SHM 4
#define RTS_BLK_DRV_TYPE_UDP 5

// A driver's send function: 0 taken, ERR_NOBUFFER (6) cannot take the block now.
typedef RTS_RESULT (*PFBDSEND)(RTS_HANDLE hInterface, NETWORKADDRESS addrReceiver,
                               PROTOCOL_DATA_UNIT pduData);

struct NETWORKINTERFACEINFO {
    PFBDSEND pfBDSend;
    RTS_HANDLE hInterface;  // the driver's own handle, passed back on every send
    RTS_I32 nMaxBlockSize;
    RTS_I32 nNetworkAddressBitSize;
    RTS_BOOL bServiceChannel;
    NETWORKADDRESS addrDevice;  // this node's own address on that network
    char szName[ROUTER_NAME_LEN];
};

struct NETWORKINTERFACEINFO2 {
    PFBDSEND pfBDSend;
    RTS_HANDLE hInterface;
    RTS_I32 nMaxBlockSize;
    RTS_I32 nNetworkAddressBitSize;
    RTS_BOOL bServiceChannel;
    NETWORKADDRESS addrDevice;
    char szName[ROUTER_NAME_LEN];
    RTS_UI16 usType;  // RTS_BLK_DRV_TYPE_*
    RTS_UI16 usDummy;
    void* pTypeSpecific;
};

// Interfaces that connect on demand; the router takes the description only.
struct ONDEMANDNETWORKINTERFACE;

// ---- Protocol handlers of local packages ------------------------------------------------
// Exported by the channel manager and the name-service client under these
// names; they define their functions with exactly these prototypes and do not
// declare them again (the signature is computed here, once).

KL_API(RTS_RESULT, ChannelMgrHandleData,
       (RTS_HANDLE hRouter, RTS_HANDLE hNetworkInterface, RTS_UI8 byServiceId, RTS_UI8 byMessageId,
        PEERADDRESS addrSender, PEERADDRESS addrReceiver, PROTOCOL_DATA_UNIT pduData, RTS_I32 nRouterError));
KL_API(RTS_RESULT, NSClientHandleData,
       (RTS_HANDLE hRouter, RTS_HANDLE hNetworkInterface, RTS_UI8 byServiceId, RTS_UI8 byMessageId,
        PEERADDRESS addrSender, PEERADDRESS addrReceiver, PROTOCOL_DATA_UNIT pduData, RTS_I32 nRouterError));

// ---- Layouts -----------------------------------------------------------------------------

static_assert(sizeof(ADDRESSCOMPONENT) == 2 && alignof(ADDRESSCOMPONENT) == 1, "address component");
static_assert(sizeof(NODEADDRESS) == 36 && offsetof(NODEADDRESS, address) == 4, "NODEADDRESS layout");
static_assert(sizeof(NETWORKADDRESS) == 12 && offsetof(NETWORKADDRESS, address) == 4,
              "NETWORKADDRESS layout");
static_assert(sizeof(ROUTERPKGHEADER) == 6 && sizeof(ROUTERPKGHEADER2) == 8, "package headers");
static_assert(sizeof(ADDR_NOTIFICATION_PACKAGE) == 42 &&
                  offsetof(ADDR_NOTIFICATION_PACKAGE, subnetId) == 34 &&
                  offsetof(ADDR_NOTIFICATION_PACKAGE, bySubnetBits) == 38,
              "address notification layout");
static_assert(sizeof(ADDRESSTYPE) == 4, "address type is a 32-bit value");
static_assert(offsetof(PEERADDRESS, nAddrOffset) == 4 && offsetof(PEERADDRESS, nLength) == 8 &&
                  offsetof(PEERADDRESS, pAddress) == (sizeof(void*) == 4 ? 12 : 16),
              "PEERADDRESS layout");
static_assert(offsetof(NETWORKINTERFACEINFO2, addrDevice) == offsetof(NETWORKINTERFACEINFO, addrDevice) &&
                  offsetof(NETWORKINTERFACEINFO2, szName) == offsetof(NETWORKINTERFACEINFO, szName),
              "the second interface description extends the first");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(PEERADDRESS) == 16 && sizeof(PROTOCOL_DATA_UNIT) == 8, "32-bit layouts");
static_assert(offsetof(NETWORKINTERFACEINFO, addrDevice) == 20 && sizeof(NETWORKINTERFACEINFO) == 52 &&
                  offsetof(NETWORKINTERFACEINFO2, usType) == 52 && sizeof(NETWORKINTERFACEINFO2) == 60,
              "interface descriptions of the 32-bit target");
#else
static_assert(sizeof(PEERADDRESS) == 24 && sizeof(PROTOCOL_DATA_UNIT) == 16, "64-bit layouts");
static_assert(offsetof(NETWORKINTERFACEINFO, addrDevice) == 28 && sizeof(NETWORKINTERFACEINFO) == 64 &&
                  offsetof(NETWORKINTERFACEINFO2, usType) == 60 && sizeof(NETWORKINTERFACEINFO2) == 72,
              "interface descriptions of 64-bit builds");
#endif
