// The name-service client (component CmpNameServiceClient): finds nodes of the
// controller network and identifies them. A request is a router package of
// service PID_NAMINGREQUEST (a broadcast scan, a broadcast query for a node
// name, or an identify request to one node); every node that answers sends an
// identification (PID_NAMINGRESPONSE), which the router hands to
// NSClientHandleData. Answers reach the caller's callback; every request ends
// with one callback whose complete flag is set, by an answer or by its
// time-out (result ERR_TIMEOUT).
//
// Wire format (all fields little-endian, strings UTF-16LE with a terminating
// 0 character):
//   request  8-byte NAMESERVICEPKG header, for a query by name followed by
//            the name with its terminator
//   answer   the header with wPkgType NSPKG_IDENTIFICATION, then a node
//            description whose layout the version selects (NODEINFOPACKED,
//            NODEINFOPACKED2 or NODEINFOPACKED3), then its variable part:
//            parent address components, node name, type or device name,
//            vendor name (versions above 0x0101), serial number (ASCII with a
//            terminating 0) and OEM data (version 0x0400 only).
//
// The records below are what the callbacks receive: the same layout with the
// fields in host byte order, the variable part directly behind the fixed
// fields (addrParent), converted to the callback's generation.
#pragma once

#include <cstddef>

#include "RouterTypes.h"

#ifndef CMPID_CmpNameServiceClient
#define CMPID_CmpNameServiceClient 37
#endif

// Settings of section "CmpNameServiceClient".
#define NSCKEY_INT_SCANTIMESECONDS "ScanTimeSeconds"
#define NSC_DEFAULT_SCAN_TIME_S 10
#define NSC_MAX_SCAN_TIME_S 100

// ---- Wire constants ------------------------------------------------------------------

#define NSPKG_RESOLVENAME 0xC201u    /* NSRESOLVENAMEPKG: query by node name */
#define NSPKG_RESOLVEADDR 0xC202u    /* NSRESOLVEADDRPKG: identify (scan or one node) */
#define NSPKG_IDENTIFICATION 0xC280u /* NSIDENTIFICATIONPKG: the answer */

#define NSPKG_VERSION_1 0x0101u
#define NSPKG_VERSION_2 0x0102u
#define NSPKG_VERSION_2A 0x0103u
#define NSPKG_VERSION_3 0x0400u
#define NSPKG_VERSION_REQUEST NSPKG_VERSION_3

#define NSPKG_HEADER_SIZE 8u
// Fixed part of an answer, header included, per layout.
#define NSPKG_FIXED_SIZE_1 22u
#define NSPKG_FIXED_SIZE_2 32u
#define NSPKG_FIXED_SIZE_3 48u
#define NSPKG_MAX_PARENT_COMPONENTS 15u

// NSResolveBlkDrvAddress2/3 byFlags: answer at once with this node's own
// address (block driver type 0 only).
#define NS_BLKDRV_FLAG_SELF 0x02u

// Request types of the request table.
#define RT_RESOLVENAME 0
#define RT_RESOLVEADDRESS 1
#define RT_RESOLVEALL 2
#define RT_RESOLVEBLKDRVADDRESS 3

#define NS_MAX_REQUESTS 80

// ---- Records -----------------------------------------------------------------------------

struct NAMESERVICEPKG {
    RTS_UI16 wPkgType;
    RTS_UI16 wVersion;
    RTS_UI32 dwRequestID;
};

// Answer version 0x0101. Variable part: parent address, node name, type name.
struct NODEINFOPACKED {
    RTS_UI32 ulType;
    RTS_UI16 wMaxChannels;
    RTS_UI8 bIntelByteOrder;
    RTS_UI8 byDummy;
    RTS_UI16 wParentAddrSize;  // components
    RTS_UI16 wNameLength;      // characters without the terminator
    RTS_UI16 wTypeLength;
    ADDRESSCOMPONENT addrParent[1];
};

// Answer versions 0x0102 and 0x0103. Variable part: parent address, node
// name, device name, vendor name.
struct NODEINFOPACKED2 {
    RTS_UI16 wMaxChannels;
    RTS_UI8 bIntelByteOrder;
    RTS_UI8 byAddrDifference;
    RTS_UI16 wParentAddrSize;
    RTS_UI16 wNodeNameLength;
    RTS_UI16 wDeviceNameLength;
    RTS_UI16 wVendorNameLength;
    RTS_UI32 ulTargetType;
    RTS_UI32 ulTargetId;
    RTS_UI32 ulTargetVersion;
    ADDRESSCOMPONENT addrParent[1];
};

// Answer version 0x0400. Variable part: as NODEINFOPACKED2, then the serial
// number and the OEM data.
struct NODEINFOPACKED3 {
    RTS_UI16 wMaxChannels;
    RTS_UI8 bIntelByteOrder;
    RTS_UI8 byAddrDifference;
    RTS_UI16 wParentAddrSize;
    RTS_UI16 wNodeNameLength;
    RTS_UI16 wDeviceNameLength;
    RTS_UI16 wVendorNameLength;
    RTS_UI32 ulTargetType;
    RTS_UI32 ulTargetId;
    RTS_UI32 ulTargetVersion;
    RTS_UI32 ulFlags;
    RTS_UI8 bySerialNumberLength;
    RTS_UI8 byOemDataLength;
    RTS_UI8 byBlkDrvType;
    RTS_UI8 byByte;     // 0 on the wire
    RTS_UI32 ulDWord1;  // 0 on the wire
    RTS_UI32 ulDWord2;  // 0 on the wire
    ADDRESSCOMPONENT addrParent[1];
};

static_assert(sizeof(NAMESERVICEPKG) == NSPKG_HEADER_SIZE, "NAMESERVICEPKG layout");
static_assert(offsetof(NODEINFOPACKED, addrParent) == NSPKG_FIXED_SIZE_1 - NSPKG_HEADER_SIZE,
              "NODEINFOPACKED");
static_assert(offsetof(NODEINFOPACKED2, addrParent) == NSPKG_FIXED_SIZE_2 - NSPKG_HEADER_SIZE,
              "NODEINFOPACKED2");
static_assert(offsetof(NODEINFOPACKED3, addrParent) == NSPKG_FIXED_SIZE_3 - NSPKG_HEADER_SIZE,
              "NODEINFOPACKED3");
static_assert(offsetof(NODEINFOPACKED3, ulFlags) == 24 && offsetof(NODEINFOPACKED3, ulDWord1) == 32,
              "NODEINFOPACKED3 layout");

// Callbacks, by generation: result, the answering node, its description (null
// with size 0 for a time-out), the description's size in bytes, [generation
// 3: the block driver type of the interface the answer arrived on,] the
// caller's request handle, and the complete flag (the request has ended).
typedef void (*PFHANDLENSRESPONSE)(RTS_RESULT nResult, NODEADDRESS addrNode, NODEINFOPACKED* pNodeInfo,
                                   RTS_UI16 wNodeInfoSize, RTS_HANDLE hCallerRequestID, RTS_BOOL bComplete);
typedef void (*PFHANDLENSRESPONSE2)(RTS_RESULT nResult, NODEADDRESS addrNode, NODEINFOPACKED2* pNodeInfo,
                                    RTS_UI16 wNodeInfoSize, RTS_HANDLE hCallerRequestID, RTS_BOOL bComplete);
typedef void (*PFHANDLENSRESPONSE3)(RTS_RESULT nResult, NODEADDRESS addrNode, NODEINFOPACKED3* pNodeInfo,
                                    RTS_UI16 wNodeInfoSize, RTS_UI8 byBlkDrvType, RTS_HANDLE hCallerRequestID,
                                    RTS_BOOL bComplete);

// ---- Exported functions ------------------------------------------------------------------
// Results of the requests: 0 sent; ERR_FAILED no router, or the request does
// not fit one package; ERR_PARAMETER a missing or invalid argument;
// ERR_NUMPENDING the request table is full; ERR_NOMEMORY; otherwise the
// router's result (nothing is called back for a request that was refused).
// A time-out of 0 means "ScanTimeSeconds"; the functions without a time-out
// use it too. The caller's handle identifies the request towards
// NSAdjustResolveTimeout and NSCancelRequest.

// The request of hCallerRequestID now ends dwTimeout ms from now;
// ERR_NO_OBJECT when no such request is open.
KL_API_FUNC(RTS_RESULT, NSAdjustResolveTimeout, (RTS_UI32 dwTimeout, RTS_HANDLE hCallerRequestID));
// Network scan: collects answers until the time-out.
KL_API_FUNC(RTS_RESULT, NSResolveAll3,
            (RTS_UI32 dwTimeout, RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE3 pfCallback));
KL_API_FUNC(RTS_RESULT, NSResolveAll2, (RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE2 pfCallback));
KL_API_FUNC(RTS_RESULT, NSResolveAll, (RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE pfCallback));
// The node behind a block driver's network address (e.g. TCP port and IPv4
// address, 48 bits). byAddrBitLength above 64 is ERR_PARAMETER.
KL_API_FUNC(RTS_RESULT, NSResolveBlkDrvAddress3,
            (RTS_UI8 byBlkDrvType, RTS_UI8 byFlags, RTS_UI8 byAddrBitLength,
             const NETWORKADDRESS* pNetworkAddr, RTS_UI32 dwTimeout, RTS_HANDLE hCallerRequestID,
             PFHANDLENSRESPONSE3 pfCallback));
KL_API_FUNC(RTS_RESULT, NSResolveBlkDrvAddress2,
            (RTS_UI8 byBlkDrvType, RTS_UI8 byFlags, RTS_UI8 byAddrBitLength,
             const NETWORKADDRESS* pNetworkAddr, RTS_HANDLE hCallerRequestID,
             PFHANDLENSRESPONSE2 pfCallback));
// Identify one node by its node address; completed by its first answer.
KL_API_FUNC(RTS_RESULT, NSResolveAddress3,
            (const NODEADDRESS* pAddrNode, RTS_UI32 dwTimeout, RTS_HANDLE hCallerRequestID,
             PFHANDLENSRESPONSE3 pfCallback));
KL_API_FUNC(RTS_RESULT, NSResolveAddress2,
            (const NODEADDRESS* pAddrNode, RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE2 pfCallback));
KL_API_FUNC(RTS_RESULT, NSResolveAddress,
            (const NODEADDRESS* pAddrNode, RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE pfCallback));
// Query by node name (terminated UTF-16); every node of that name answers.
KL_API_FUNC(RTS_RESULT, NSResolveName3,
            (const RTS_WCHAR* pwszName, RTS_UI32 dwTimeout, RTS_BOOL bFinishWithFirstNode,
             RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE3 pfCallback));
KL_API_FUNC(RTS_RESULT, NSResolveName,
            (const RTS_WCHAR* pwszName, RTS_HANDLE hCallerRequestID, PFHANDLENSRESPONSE pfCallback));
// NSClientHandleData (the router's entry for PID_NAMINGRESPONSE) has the
// prototype PFNSClientHandleData of RouterTypes.h.

// Ends every open request of hCallerRequestID without a callback, for a
// waiter that gives up. When it returns, no callback for that handle runs any
// more on another thread (bounded wait); it may be called from inside such a
// callback. ERR_NO_OBJECT when nothing was open.
KL_API_FUNC(RTS_RESULT, NSCancelRequest, (RTS_HANDLE hCallerRequestID));

KL_COMPONENT_ENTRY(CmpNameServiceClient);
