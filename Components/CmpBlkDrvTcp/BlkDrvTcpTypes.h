// Wire format of the TCP block driver, shared by the driver and the emulator:
// the 8-byte frame header around every layer-3 block on the stream, and the
// 6-byte network address of a TCP peer.
//
// Frame (both fields little-endian):
//   0  ulMagic  BDTCP_MAGIC, so the bytes on the wire are 00 01 17 E8
//   4  ulSize   length of the whole frame including these 8 bytes (9..520)
//   8  data     the layer-3 block (1..512 bytes)
//
// Network address of a peer (nNetworkAddressBitSize 48): bytes 0..1 the TCP
// port big-endian, bytes 2..5 the IPv4 address in network order. As a node
// address this is three components: port, high and low half of the address.
#pragma once

#include "CmpStd.h"

#define BDTCP_MAGIC 0xE8170100u
#define BDTCP_HEADER_SIZE 8u
#define BDTCP_MAX_DATA 512u
#define BDTCP_MAX_FRAME (BDTCP_HEADER_SIZE + BDTCP_MAX_DATA)
#define BDTCP_NETADDR_LEN 6u
#define BDTCP_NETADDR_BITS 48
#define BDTCP_DEFAULT_PORT 11740

inline void BdTcpPutU32LE(RTS_UI8* p, RTS_UI32 v) {
    p[0] = static_cast<RTS_UI8>(v & 0xFF);
    p[1] = static_cast<RTS_UI8>((v >> 8) & 0xFF);
    p[2] = static_cast<RTS_UI8>((v >> 16) & 0xFF);
    p[3] = static_cast<RTS_UI8>((v >> 24) & 0xFF);
}

inline RTS_UI32 BdTcpGetU32LE(const RTS_UI8* p) {
    return static_cast<RTS_UI32>(p[0]) | (static_cast<RTS_UI32>(p[1]) << 8) |
           (static_cast<RTS_UI32>(p[2]) << 16) | (static_cast<RTS_UI32>(p[3]) << 24);
}

// Writes the frame header for a block of ulDataSize bytes.
inline void BdTcpPutFrameHeader(RTS_UI8* pFrame, RTS_UI32 ulDataSize) {
    BdTcpPutU32LE(pFrame, BDTCP_MAGIC);
    BdTcpPutU32LE(pFrame + 4, ulDataSize + BDTCP_HEADER_SIZE);
}
