// Layer-3 packages: parsing in place, the package check, building headers,
// broadcast ids with duplicate suppression, the local broadcast address test,
// the rewrite of packages that pass between parallel router instances, the
// largest message toward a peer and the block-size cache.
//
// A received block is read only through RouterParsePackage, which checks every
// length against the block before any address is looked at.
#include <atomic>
#include <cstring>

#include "CmpRouterPrivate.h"
#include "SysSem.h"
#include "SysTime.h"

using namespace klrouter;

namespace {

class RouterLock {
public:
    RouterLock() { SysSemEnter(g_router.hLock); }
    ~RouterLock() { SysSemLeave(g_router.hLock); }
    RouterLock(const RouterLock&) = delete;
    RouterLock& operator=(const RouterLock&) = delete;
};

RTS_I32 SignedOffset(RTS_UI8 byFlag1) {
    RTS_I32 v = (byFlag1 >> RPH_HOPCOUNT_SHIFT) & 0x1F;
    return (v & 0x10) != 0 ? v - 32 : v;
}

RTS_UI8* WriteComponents(RTS_UI8* p, const ADDRESSCOMPONENT* pAddr, RTS_UI32 n) {
    if (n > 0) {
        memcpy(p, pAddr, 2u * n);
    }
    return p + 2u * n;
}

// Header bytes followed by the two address lists and the padding; returns the data offset.
RTS_I32 WriteHeader(RTS_UI8* pBuf, RTS_UI32 nWords, RTS_UI8 byFlag1, RTS_UI8 byFlag2, RTS_UI8 byServiceId,
                    RTS_UI8 byMessageId, const ADDRESSCOMPONENT* pReceiver, RTS_UI32 nReceiver,
                    const ADDRESSCOMPONENT* pSender, RTS_UI32 nSender) {
    pBuf[0] = ROUTER_PKG_MARKER;
    pBuf[1] = static_cast<RTS_UI8>((byFlag1 & ~RPH_HEADERWORDS_MASK) | (nWords & RPH_HEADERWORDS_MASK));
    pBuf[2] = byFlag2;
    pBuf[3] = byServiceId;
    pBuf[4] = byMessageId;
    pBuf[5] = static_cast<RTS_UI8>((nSender << 4) | (nReceiver & 0x0F));
    RTS_UI8* p = pBuf + 2 * nWords;
    p = WriteComponents(p, pReceiver, nReceiver);
    p = WriteComponents(p, pSender, nSender);
    RTS_I32 nOffset = RouterDataOffset(nWords, nReceiver, nSender);
    while (p < pBuf + nOffset) {
        *p++ = 0;
    }
    return nOffset;
}

}  // namespace

namespace klrouter {

RTS_I32 RouterDataOffset(RTS_UI32 nHeaderWords, RTS_UI32 nReceiverLen, RTS_UI32 nSenderLen) {
    RTS_I32 nOffset = static_cast<RTS_I32>(2 * nHeaderWords + 2 * (nReceiverLen + nSenderLen));
    return (nOffset % 4) != 0 ? nOffset + 2 : nOffset;
}

RTS_RESULT RouterParsePackage(RTS_UI8* pBuf, RTS_UI32 ulSize, RouterPackage* pPkg) {
    if (pBuf == nullptr || pPkg == nullptr || ulSize < sizeof(ROUTERPKGHEADER) ||
        ulSize > ROUTER_MAX_BLOCK_SIZE) {
        return ERR_FAILED;
    }
    if (pBuf[0] != ROUTER_PKG_MARKER) {
        return ERR_FAILED;
    }
    RTS_UI32 nWords = pBuf[1] & RPH_HEADERWORDS_MASK;
    if (nWords < ROUTER_HEADER_WORDS) {
        return ERR_FAILED;
    }
    RTS_UI32 nReceiver = pBuf[5] & 0x0Fu;
    RTS_UI32 nSender = pBuf[5] >> 4;
    RTS_I32 nOffset = RouterDataOffset(nWords, nReceiver, nSender);
    if (ulSize < static_cast<RTS_UI32>(nOffset)) {
        return ERR_FAILED;
    }
    pPkg->pBuf = pBuf;
    pPkg->ulSize = ulSize;
    pPkg->nHeaderWords = nWords;
    pPkg->nDataOffset = nOffset;
    // The components are byte pairs without alignment: a view is safe on any target.
    pPkg->addrReceiver.pAddress = reinterpret_cast<ADDRESSCOMPONENT*>(pBuf + 2 * nWords);
    pPkg->addrReceiver.nLength = nReceiver;
    pPkg->addrSender.pAddress = reinterpret_cast<ADDRESSCOMPONENT*>(pBuf + 2 * nWords + 2 * nReceiver);
    pPkg->addrSender.nLength = nSender;
    if ((pBuf[2] & RPH_FLAG2_RELATIVE) != 0) {
        pPkg->addrReceiver.type = AT_RELATIVE;
        pPkg->addrReceiver.nAddrOffset = SignedOffset(pBuf[1]);
        pPkg->addrSender.type = AT_RELATIVE;
        pPkg->addrSender.nAddrOffset = -pPkg->addrReceiver.nAddrOffset;
    } else {
        pPkg->addrReceiver.type = AT_ABSOLUTE;
        pPkg->addrReceiver.nAddrOffset = 0;
        pPkg->addrSender.type = AT_ABSOLUTE;
        pPkg->addrSender.nAddrOffset = 0;
    }
    return ERR_OK;
}

RTS_RESULT RouterCheckPackage(const RouterPackage* pPkg) {
    const PEERADDRESS& r = pPkg->addrReceiver;
    const PEERADDRESS& s = pPkg->addrSender;
    RTS_UI8 bySvc = pPkg->ServiceId();
    if (s.type == AT_RELATIVE) {
        bool bOk = bySvc == PID_ADDRESSNOTIFICATION && r.type == AT_RELATIVE &&
                   r.nAddrOffset == static_cast<RTS_I32>(r.nLength);
        return bOk ? ERR_OK : ERR_NET_NOROUTE;
    }
    if (s.nLength == 0) {
        return ERR_NET_NOROUTE;
    }
    if (r.nLength > 0 || bySvc == PID_NAMINGREQUEST) {
        return ERR_OK;
    }
    if ((bySvc == PID_ADDRESSREQUEST || bySvc == PID_ADDRESSNOTIFICATION) && pPkg->HopCount() == 1) {
        return ERR_OK;
    }
    return ERR_NET_NOROUTE;
}

RTS_RESULT RouterInitializeHeader(const ROUTERINSTANCE* pInst, const PEERADDRESS* pReceiver,
                                  RTS_UI8 byServiceId, RTS_UI8 byMessageId, ROUTERPRIORITY prio,
                                  RTS_UI8* pBuf, RTS_I32* pnDataOffset) {
    if (pReceiver->nLength > MAX_NODE_ADDR_LEN ||
        (pReceiver->nLength > 0 && pReceiver->pAddress == nullptr)) {
        return ERR_PARAMETER;
    }
    RTS_UI8 byFlag2 = static_cast<RTS_UI8>((static_cast<RTS_UI32>(prio) & 3u) << RPH_FLAG2_PRIO_SHIFT);
    const ADDRESSCOMPONENT* pR = pReceiver->pAddress;
    RTS_UI32 nR = pReceiver->nLength;
    const NODEADDRESS& own = pInst->addrRouter;
    RTS_UI32 nOwn = own.nLength <= MAX_NODE_ADDR_LEN ? own.nLength : MAX_NODE_ADDR_LEN;
    if (pReceiver->type == AT_ABSOLUTE) {
        RTS_UI8 byFlag1 = static_cast<RTS_UI8>(ROUTER_HOPCOUNT_INIT << RPH_HOPCOUNT_SHIFT);
        *pnDataOffset = WriteHeader(pBuf, ROUTER_HEADER_WORDS, byFlag1, byFlag2, byServiceId, byMessageId, pR,
                                    nR, own.address, nOwn);
        return ERR_OK;
    }
    if (pReceiver->type != AT_RELATIVE) {
        return ERR_PARAMETER;
    }
    RTS_I32 nOffset = pReceiver->nAddrOffset;
    if (nOffset > 0) {
        // Components already passed are dropped: the package starts at the offset.
        if (static_cast<RTS_UI32>(nOffset) > nR) {
            return ERR_NET_INVALIDOFFSET;
        }
        pR += nOffset;
        nR -= static_cast<RTS_UI32>(nOffset);
        nOffset = 0;
    }
    // A negative offset names the levels above: the sender is that many of
    // the own address's last components, and it must fit the 5-bit field.
    if (nOffset < -15 || static_cast<RTS_UI32>(-nOffset) > nOwn) {
        return ERR_NET_INVALIDOFFSET;
    }
    RTS_UI32 nS = static_cast<RTS_UI32>(-nOffset);
    RTS_UI8 byFlag1 = static_cast<RTS_UI8>((static_cast<RTS_UI32>(nOffset) & 0x1Fu) << RPH_HOPCOUNT_SHIFT);
    *pnDataOffset =
        WriteHeader(pBuf, ROUTER_HEADER_WORDS, byFlag1, static_cast<RTS_UI8>(byFlag2 | RPH_FLAG2_RELATIVE),
                    byServiceId, byMessageId, pR, nR, own.address + (nOwn - nS), nS);
    return ERR_OK;
}

RTS_RESULT RouterInitializeBroadcastHeader(const ROUTERINSTANCE* pInst, RTS_UI8 byServiceId,
                                           RTS_UI8 byMessageId, ROUTERPRIORITY prio, RTS_UI8* pBuf,
                                           RTS_I32* pnDataOffset) {
    const NODEADDRESS& own = pInst->addrRouter;
    RTS_UI32 nOwn = own.nLength <= MAX_NODE_ADDR_LEN ? own.nLength : MAX_NODE_ADDR_LEN;
    RTS_UI8 byFlag1 = static_cast<RTS_UI8>(ROUTER_HOPCOUNT_INIT << RPH_HOPCOUNT_SHIFT);
    RTS_UI8 byFlag2 = static_cast<RTS_UI8>((static_cast<RTS_UI32>(prio) & 3u) << RPH_FLAG2_PRIO_SHIFT);
    *pnDataOffset = WriteHeader(pBuf, ROUTER_HEADER_WORDS_BC, byFlag1, byFlag2, byServiceId, byMessageId,
                                nullptr, 0, own.address, nOwn);
    RTS_UI16 usId = RouterNewBroadcastId(pInst);
    pBuf[6] = static_cast<RTS_UI8>(usId >> 8);
    pBuf[7] = static_cast<RTS_UI8>(usId & 0xFF);
    return ERR_OK;
}

RTS_UI16 RouterNewBroadcastId(const ROUTERINSTANCE* pInst) {
    // The time that enters the id advances with every id, even within one
    // millisecond: two broadcasts of one node in the same millisecond would
    // otherwise carry the same id, and every router (this one included)
    // would drop the second as a repeat.
    static std::atomic<RTS_UI32> s_ulLastTime{0};
    RTS_UI32 ulNow = SysTimeGetMs();
    RTS_UI32 ulLast = s_ulLastTime.load();
    RTS_UI32 ulUse;
    do {
        ulUse = static_cast<RTS_I32>(ulNow - ulLast) > 0 ? ulNow : ulLast + 1u;
    } while (!s_ulLastTime.compare_exchange_weak(ulLast, ulUse));
    ulNow = ulUse;
    RTS_UI16 usId = 0;
    if (pfCRC16Update != nullptr) {
        RTS_UI32 nOwn =
            pInst->addrRouter.nLength <= MAX_NODE_ADDR_LEN ? pInst->addrRouter.nLength : MAX_NODE_ADDR_LEN;
        usId = pfCRC16Update(CRC16_INIT, &ulNow, sizeof(ulNow));
        usId = pfCRC16Update(usId, pInst->addrRouter.address, 2u * nOwn);
    }
    return usId != 0 ? usId : static_cast<RTS_UI16>(ulNow | 1u);
}

RTS_RESULT RouterCheckBroadcastId(RTS_UI16 usId) {
    RTS_UI32 ulNow = SysTimeGetMs();
    BROADCASTID* pSlot = nullptr;
    for (BROADCASTID& e : g_router.broadcastIds.aIds) {
        bool bLive = e.usId != 0 && SysTimeElapsedMs(ulNow, e.ulTime) < ROUTER_BROADCASTID_HOLD_MS;
        if (bLive && e.usId == usId) {
            return ERR_DUPLICATE;
        }
        if (!bLive) {
            pSlot = pSlot == nullptr ? &e : pSlot;
        }
    }
    if (pSlot == nullptr) {
        // Every slot holds a live id: the oldest makes room.
        pSlot = &g_router.broadcastIds.aIds[0];
        for (BROADCASTID& e : g_router.broadcastIds.aIds) {
            if (SysTimeElapsedMs(ulNow, e.ulTime) > SysTimeElapsedMs(ulNow, pSlot->ulTime)) {
                pSlot = &e;
            }
        }
    }
    pSlot->usId = usId;
    pSlot->ulTime = ulNow;
    return ERR_OK;
}

void RouterForgetBroadcastId(RTS_UI16 usId) {
    for (BROADCASTID& e : g_router.broadcastIds.aIds) {
        if (e.usId == usId) {
            e.usId = 0;
        }
    }
}

void RouterClearBroadcastIds(void) {
    RTS_UI32 ulPast = SysTimeGetMs() - (ROUTER_BROADCASTID_HOLD_MS + 1u);
    for (BROADCASTID& e : g_router.broadcastIds.aIds) {
        e.usId = 0;
        e.ulTime = ulPast;
    }
}

RTS_RESULT RouterSuppressLocalBroadcastAddresses(RTS_UI16 usType, RTS_I32 nBitSize,
                                                 const NETWORKADDRESS* pAddr) {
    if (usType == RTS_BLK_DRV_TYPE_COM || usType == 3 || nBitSize == 1) {
        return ERR_OK;
    }
    RTS_UI32 nBytes = nBitSize > 0 ? static_cast<RTS_UI32>(nBitSize + 7) / 8 : 0;
    if (pAddr->nLength > MAX_NETWORK_ADDR_LEN || pAddr->nLength < nBytes) {
        return ERR_NET_NOROUTE;
    }
    RTS_I32 nSkip = (usType == RTS_BLK_DRV_TYPE_UDP && nBitSize > 2) ? 2 : 0;
    for (RTS_I32 k = nSkip; k < nBitSize; ++k) {
        RTS_UI8 by = pAddr->address[pAddr->nLength - 1 - static_cast<RTS_UI32>(k / 8)];
        if (((by >> (k % 8)) & 1u) == 0) {
            return ERR_OK;
        }
    }
    return ERR_NET_NOROUTE;
}

bool RouterAddrEquals(const ADDRESSCOMPONENT* pA, RTS_UI32 nA, const ADDRESSCOMPONENT* pB, RTS_UI32 nB) {
    if (nA != nB) {
        return false;
    }
    return nA == 0 || memcmp(pA, pB, 2u * nA) == 0;
}

bool RouterIndexSharesComponent(RTS_I32 nBitSize) {
    return nBitSize >= 1 && ((nBitSize - 1) % 16) + 1 <= 12;
}

RTS_RESULT RouterTranslatePackage(const ROUTERINSTANCE* pFrom, const ROUTERINSTANCE* pTo,
                                  const RouterPackage* pPkg, RTS_UI8* pOut, RTS_UI32* pulOutSize) {
    const PEERADDRESS& r = pPkg->addrReceiver;
    const PEERADDRESS& s = pPkg->addrSender;
    if (r.type != AT_ABSOLUTE) {
        return ERR_NOT_SUPPORTED;
    }
    bool bShareTo = RouterIndexSharesComponent(pTo->Mainnet.info.nNetworkAddressBitSize);
    bool bShareFrom = RouterIndexSharesComponent(pFrom->Mainnet.info.nNetworkAddressBitSize);
    const NODEADDRESS& ownFrom = pFrom->addrRouter;
    const NODEADDRESS& ownTo = pTo->addrRouter;

    // Receiver: the part below the source instance, without its index nibble.
    ADDRESSCOMPONENT aR[MAX_NODE_ADDR_LEN];
    RTS_UI32 nR = 0;
    if (r.nLength > 0) {
        if (r.nLength <= ownFrom.nLength ||
            !RouterAddrEquals(r.pAddress, ownFrom.nLength, ownFrom.address, ownFrom.nLength)) {
            return ERR_FAILED;
        }
        RTS_UI32 nFirst = ownFrom.nLength + (bShareTo ? 0u : 1u);
        if (nFirst >= r.nLength) {
            return ERR_FAILED;
        }
        nR = r.nLength - nFirst;
        memcpy(aR, r.pAddress + nFirst, 2u * nR);
        if (bShareTo) {
            aR[0].by[0] &= 0x0F;
        }
    }

    // Sender: the target instance's address, the source index, the old sender.
    RTS_I32 nIndex = pFrom->iInstance + g_router.nParallelRouterOffset;
    if (nIndex > 15 || s.nLength == 0) {
        return ERR_FAILED;
    }
    ADDRESSCOMPONENT aS[MAX_NODE_ADDR_LEN + 2];
    RTS_UI32 nS = ownTo.nLength;
    if (nS > MAX_NODE_ADDR_LEN) {
        return ERR_FAILED;
    }
    memcpy(aS, ownTo.address, 2u * nS);
    RTS_UI8 byIndex = static_cast<RTS_UI8>(nIndex << 4);
    if (bShareFrom) {
        // The nibble can only be OR-ed in where the sender leaves it free,
        // or the way back could not take it out again.
        if ((s.pAddress[0].by[0] & 0xF0) != 0 || nS + s.nLength > MAX_NODE_ADDR_LEN) {
            return ERR_FAILED;
        }
        memcpy(aS + nS, s.pAddress, 2u * s.nLength);
        aS[nS].by[0] |= byIndex;
        nS += s.nLength;
    } else {
        if (nS + 1 + s.nLength > MAX_NODE_ADDR_LEN) {
            return ERR_FAILED;
        }
        aS[nS].by[0] = byIndex;
        aS[nS].by[1] = 0;
        memcpy(aS + nS + 1, s.pAddress, 2u * s.nLength);
        nS += 1 + s.nLength;
    }

    RTS_UI32 nWords = pPkg->nHeaderWords;
    RTS_UI32 ulData = pPkg->ulSize - static_cast<RTS_UI32>(pPkg->nDataOffset);
    RTS_I32 nNewOffset = RouterDataOffset(nWords, nR, nS);
    if (static_cast<RTS_UI32>(nNewOffset) + ulData > ROUTER_MAX_BLOCK_SIZE) {
        return ERR_FAILED;
    }
    // Header words beyond the first six bytes (the broadcast id) are kept.
    memcpy(pOut, pPkg->pBuf, 2 * nWords);
    WriteHeader(pOut, nWords, pPkg->pBuf[1], pPkg->pBuf[2], pPkg->ServiceId(), pPkg->MessageId(), aR, nR, aS,
                nS);
    memcpy(pOut + nNewOffset, pPkg->pBuf + pPkg->nDataOffset, ulData);
    *pulOutSize = static_cast<RTS_UI32>(nNewOffset) + ulData;
    return ERR_OK;
}

// ---- Block-size cache ------------------------------------------------------------------------
// Kept most recently used first; lines move to the front when used.

void RouterCacheReset(void) {
    for (CACHELINE& line : g_router.aCache) {
        line.hRouter = nullptr;
        line.naNode.nLength = 0;
        line.nMaxBlockSize = ROUTER_MAX_BLOCK_SIZE;
    }
}

namespace {
void MoveToFront(RTS_I32 i) {
    CACHELINE line = g_router.aCache[i];
    for (RTS_I32 k = i; k > 0; --k) {
        g_router.aCache[k] = g_router.aCache[k - 1];
    }
    g_router.aCache[0] = line;
}

RTS_I32 FindLine(RTS_HANDLE hRouter, const NODEADDRESS* pNode) {
    for (RTS_I32 i = 0; i < ROUTER_BLOCKSIZE_CACHE_LINES; ++i) {
        const CACHELINE& line = g_router.aCache[i];
        if (line.hRouter == hRouter &&
            RouterAddrEquals(line.naNode.address, line.naNode.nLength, pNode->address, pNode->nLength)) {
            return i;
        }
    }
    return -1;
}
}  // namespace

RTS_I32 RouterCacheLookup(RTS_HANDLE hRouter, const NODEADDRESS* pNode) {
    RTS_I32 i = FindLine(hRouter, pNode);
    if (i < 0) {
        return ROUTER_MAX_BLOCK_SIZE;
    }
    MoveToFront(i);
    return g_router.aCache[0].nMaxBlockSize;
}

void RouterCacheUpdate(RTS_HANDLE hRouter, const NODEADDRESS* pNode, RTS_I32 nMaxBlockSize) {
    RTS_I32 i = FindLine(hRouter, pNode);
    if (i < 0) {
        i = ROUTER_BLOCKSIZE_CACHE_LINES - 1;
        g_router.aCache[i].hRouter = hRouter;
        g_router.aCache[i].naNode = *pNode;
    }
    g_router.aCache[i].nMaxBlockSize = nMaxBlockSize;
    MoveToFront(i);
}

}  // namespace klrouter

// ---- Exported operations on packages and sizes --------------------------------------------

RTS_RESULT RouterGetBlkAddresses(PROTOCOL_DATA_UNIT pduData, PEERADDRESS* pAddrReceiver,
                                 PEERADDRESS* pAddrSender, RTS_I32* pnDataOffset) {
    if (pAddrReceiver == nullptr || pAddrSender == nullptr) {
        return ERR_PARAMETER;
    }
    RouterPackage pkg;
    if (RouterParsePackage(pduData.pData, pduData.ulCount, &pkg) != ERR_OK) {
        return ERR_FAILED;
    }
    *pAddrReceiver = pkg.addrReceiver;
    *pAddrSender = pkg.addrSender;
    if (pnDataOffset != nullptr) {
        *pnDataOffset = pkg.nDataOffset;
    }
    return ERR_OK;
}

RTS_BOOL RouterCompareAddresses(const PEERADDRESS* pAddr1, const PEERADDRESS* pAddr2) {
    if (pAddr1 == nullptr || pAddr2 == nullptr || pAddr1->type != pAddr2->type) {
        return 0;
    }
    if (pAddr1->type == AT_RELATIVE && pAddr1->nAddrOffset != pAddr2->nAddrOffset) {
        return 0;
    }
    if (pAddr1->nLength > MAX_NODE_ADDR_LEN ||
        (pAddr1->nLength > 0 && (pAddr1->pAddress == nullptr || pAddr2->pAddress == nullptr))) {
        return pAddr1->nLength == pAddr2->nLength && pAddr1->nLength == 0;
    }
    return RouterAddrEquals(pAddr1->pAddress, pAddr1->nLength, pAddr2->pAddress, pAddr2->nLength) ? 1 : 0;
}

RTS_RESULT RouterGetMaxMessageSize(RTS_HANDLE hRouter, PEERADDRESS addrPeer, RTS_UI16* pwMaxSize) {
    if (g_router.bInitialized.load() == 0) {
        return ERR_NOTINITIALIZED;
    }
    if (pwMaxSize == nullptr || addrPeer.nLength > MAX_NODE_ADDR_LEN ||
        (addrPeer.nLength > 0 && addrPeer.pAddress == nullptr)) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    ROUTERINSTANCE* pInst = RouterInstanceOf(hRouter);
    if (pInst == nullptr) {
        return ERR_PARAMETER;
    }
    const NODEADDRESS& own = pInst->addrRouter;
    RTS_I32 nHeader = 0;
    NODEADDRESS abs;
    abs.nLength = 0;
    if (addrPeer.type == AT_RELATIVE) {
        nHeader = 6 + 2 * (static_cast<RTS_I32>(addrPeer.nLength) - addrPeer.nAddrOffset);
        // Made absolute from the own address: the levels above, then the peer's part.
        RTS_I32 nUp = addrPeer.nAddrOffset < 0 ? -addrPeer.nAddrOffset : 0;
        RTS_I32 nSkip = addrPeer.nAddrOffset > 0 ? addrPeer.nAddrOffset : 0;
        RTS_I32 nKeep = static_cast<RTS_I32>(own.nLength) - nUp;
        for (RTS_I32 i = 0; i < nKeep && abs.nLength < MAX_NODE_ADDR_LEN; ++i) {
            abs.address[abs.nLength++] = own.address[i];
        }
        for (RTS_I32 i = nSkip; i < static_cast<RTS_I32>(addrPeer.nLength) && abs.nLength < MAX_NODE_ADDR_LEN;
             ++i) {
            abs.address[abs.nLength++] = addrPeer.pAddress[i];
        }
    } else {
        nHeader = 6 + 2 * static_cast<RTS_I32>(addrPeer.nLength + own.nLength);
        abs.nLength = addrPeer.nLength;
        if (addrPeer.nLength > 0) {
            memcpy(abs.address, addrPeer.pAddress, 2u * addrPeer.nLength);
        }
    }
    if (nHeader % 4 != 0) {
        nHeader += 2;
    }
    RTS_I32 nBlock = RouterCacheLookup(pInst, &abs);
    if (nHeader >= nBlock) {
        *pwMaxSize = 0;
        return ERR_NET_MSGTOOLARGE;
    }
    *pwMaxSize = static_cast<RTS_UI16>(nBlock - nHeader);
    return ERR_OK;
}

RTS_RESULT RouterGetMaxMessageSizeByAddressLength(RTS_HANDLE hRouter, RTS_UI16 wAddrLengthSum,
                                                  RTS_UI16* pwMaxSize) {
    if (g_router.bInitialized.load() == 0) {
        return ERR_NOTINITIALIZED;
    }
    if (pwMaxSize == nullptr) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    if (RouterInstanceOf(hRouter) == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_I32 nHeader = 6 + 2 * static_cast<RTS_I32>(wAddrLengthSum);
    if (nHeader % 4 != 0) {
        nHeader += 2;
    }
    if (nHeader >= ROUTER_MAX_BLOCK_SIZE) {
        *pwMaxSize = 0;
        return ERR_NET_MSGTOOLARGE;
    }
    *pwMaxSize = static_cast<RTS_UI16>(ROUTER_MAX_BLOCK_SIZE - nHeader);
    return ERR_OK;
}

RTS_RESULT RouterGetMaxAddressSize(RTS_HANDLE hRouter, PEERADDRESS addrPeer, RTS_UI8* pbyMaxSize) {
    if (g_router.bInitialized.load() == 0) {
        return ERR_NOTINITIALIZED;
    }
    if (pbyMaxSize == nullptr) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    ROUTERINSTANCE* pInst = RouterInstanceOf(hRouter);
    if (pInst == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_UI32 nSum = pInst->addrRouter.nLength + addrPeer.nLength;
    *pbyMaxSize = static_cast<RTS_UI8>(nSum > 0xFF ? 0xFF : nSum);
    return nSum < 2 ? ERR_FAILED : ERR_OK;
}
