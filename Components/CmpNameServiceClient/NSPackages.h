// Packages of the name service, apart from any state: building requests,
// checking a received identification (untrusted network input) and turning a
// checked one into the node description of a callback generation. Used by
// the client component, its tests and its fuzz target.
#pragma once

#include "CmpNameServiceClientItf.h"

// Room for a converted node description of any generation: an answer fits
// one router block, and conversion adds at most the fields of the larger
// layouts, an empty vendor name and an empty serial number.
#define NS_NODEINFO_MAX 1024u

// A checked answer: its fields in host order and where the variable parts
// start inside the package (strings still UTF-16LE there).
struct NSAnswer {
    RTS_UI16 wVersion;  // NSPKG_VERSION_1, _2, _2A or _3 (byte-swapped forms mapped)
    RTS_UI32 dwRequestID;
    RTS_UI32 ulType;  // version 0x0101 only
    RTS_UI16 wMaxChannels;
    RTS_UI8 bIntelByteOrder;
    RTS_UI8 byAddrDifference;
    RTS_UI16 wParentAddrSize;
    RTS_UI16 wNodeNameLength;
    RTS_UI16 wDeviceNameLength;  // the type name of version 0x0101
    RTS_UI16 wVendorNameLength;
    RTS_UI32 ulTargetType;
    RTS_UI32 ulTargetId;
    RTS_UI32 ulTargetVersion;
    RTS_UI32 ulFlags;
    RTS_UI8 bySerialNumberLength;
    RTS_UI8 byOemDataLength;
    RTS_UI8 byBlkDrvType;
    const RTS_UI8* pParent;
    const RTS_UI8* pNodeName;
    const RTS_UI8* pDeviceName;
    const RTS_UI8* pVendorName;    // null for version 0x0101
    const RTS_UI8* pSerialNumber;  // null below version 0x0400
    const RTS_UI8* pOemData;
};

// Checks an identification: ERR_NET_PKG_NOTHANDLED for another package type,
// ERR_NET_PKG_VERSION for an unknown version, ERR_NET_PKG_INVALID for
// anything malformed (short, reserved fields set, parent address of 16 or
// more components, a string without its terminator at its stated length, a
// total length other than the fields add up to). The views in *pAnswer point
// into p.
RTS_RESULT NSParseAnswer(const RTS_UI8* p, RTS_UI32 ulSize, NSAnswer* pAnswer);

// Writes the node description of generation 1, 2 or 3 for a checked answer
// into pBuffer (4-byte aligned). Fields the answer's version lacks are 0;
// strings are carried over in host order. Returns the bytes written, 0 when
// the buffer is too small or the generation unknown.
RTS_UI32 NSBuildNodeInfo(const NSAnswer* pAnswer, int iGeneration, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize);

// Writes a request: header and, for NSPKG_RESOLVENAME, the name with its
// terminator. Returns the bytes written, 0 when they do not fit.
RTS_UI32 NSBuildRequest(RTS_UI16 wPkgType, RTS_UI32 dwRequestID, const RTS_WCHAR* pwszName,
                        RTS_UI32 nNameLength, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize);

// The identification this node gives of itself when asked through block
// driver type 0: version 0x0101 with empty fields (26 bytes).
RTS_UI32 NSBuildEmptyIdentification(RTS_UI32 dwRequestID, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize);
#define NSPKG_EMPTY_IDENTIFICATION_SIZE 26u
