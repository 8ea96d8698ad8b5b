// Address rules of the UDP block driver: a peer's network address is the host
// part of its IPv4 address with the port index above it, big-endian in the
// fewest bytes that hold both. Computed in 64 bits, so that a host part of
// 31 or 32 bits pushes the port index into a fifth, leading byte.
#include "CmpBlkDrvUdpPrivate.h"

#include <cstring>

RTS_I32 BdUdpHostBits(RTS_UI32 ulHostMask) {
    RTS_I32 n = 0;
    while (n < 32 && (ulHostMask >> n) != 0) {
        ++n;
    }
    return n;
}

void BdUdpInitAddressing(UDPDEVICEDESC* pDev) {
    RTS_I32 nHostBits = BdUdpHostBits(pDev->ulLocalAddrMask);
    pDev->usPortIdxOffset = static_cast<RTS_UI16>(nHostBits);
    pDev->usLocalAddrLen = static_cast<RTS_UI16>((nHostBits + 2 + 7) / 8);
}

void BdUdpMakeNetworkAddress(const UDPDEVICEDESC* pDev, RTS_UI32 ulIp, RTS_I32 iPortIdx,
                             NETWORKADDRESS* pAddr) {
    memset(pAddr, 0, sizeof(*pAddr));
    RTS_UI64 ullValue = static_cast<RTS_UI64>(ulIp & pDev->ulLocalAddrMask) |
                        (static_cast<RTS_UI64>(iPortIdx & 3) << pDev->usPortIdxOffset);
    RTS_UI32 nLen = pDev->usLocalAddrLen;
    if (nLen > MAX_NETWORK_ADDR_LEN) {
        nLen = MAX_NETWORK_ADDR_LEN;
    }
    pAddr->nLength = nLen;
    for (RTS_UI32 i = 0; i < nLen; ++i) {
        pAddr->address[nLen - 1 - i] = static_cast<RTS_UI8>((ullValue >> (8 * i)) & 0xFF);
    }
}

RTS_RESULT BdUdpParseNetworkAddress(const UDPDEVICEDESC* pDev, const NETWORKADDRESS* pAddr,
                                    RTS_BOOL* pbBroadcast, RTS_UI32* pulIp, RTS_I32* piPortIdx) {
    *pbBroadcast = 0;
    *pulIp = 0;
    *piPortIdx = 0;
    if (pAddr->nLength == 0) {
        *pbBroadcast = 1;
        return ERR_OK;
    }
    if (pAddr->nLength != pDev->usLocalAddrLen || pAddr->nLength > MAX_NETWORK_ADDR_LEN) {
        return ERR_PARAMETER;
    }
    RTS_UI64 ullValue = 0;
    for (RTS_UI32 i = 0; i < pAddr->nLength; ++i) {
        ullValue = (ullValue << 8) | pAddr->address[i];
    }
    RTS_UI32 ulHost = static_cast<RTS_UI32>(ullValue) & pDev->ulLocalAddrMask;
    RTS_I32 iPortIdx = static_cast<RTS_I32>((ullValue >> pDev->usPortIdxOffset) & 3u);
    if (ulHost == pDev->ulLocalAddrMask && iPortIdx == 3) {
        *pbBroadcast = 1;
        return ERR_OK;
    }
    *pulIp = (pDev->ulIpAddr & ~pDev->ulLocalAddrMask) | ulHost;
    *piPortIdx = iPortIdx;
    return ERR_OK;
}

bool BdUdpAcceptSender(const UDPDEVICEDESC* pDev, RTS_UI32 ulIp, RTS_UI16 usPort, NETWORKADDRESS* pSender) {
    if (usPort < BDUDP_BASE_PORT || usPort >= BDUDP_BASE_PORT + BDUDP_NUM_PORTS) {
        return false;
    }
    RTS_I32 iPortIdx = usPort - BDUDP_BASE_PORT;
    if (ulIp == pDev->ulIpAddr && iPortIdx == pDev->iPortIdx) {
        return false;  // our own broadcast
    }
    // The node address keeps only the host part: a sender from another
    // network would be answered at the local host with the same host part.
    if ((ulIp & ~pDev->ulLocalAddrMask) != (pDev->ulIpAddr & ~pDev->ulLocalAddrMask)) {
        return false;
    }
    BdUdpMakeNetworkAddress(pDev, ulIp, iPortIdx, pSender);
    return true;
}
