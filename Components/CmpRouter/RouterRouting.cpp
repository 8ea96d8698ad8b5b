// Where a package goes: the route toward an absolute receiver, relative
// receivers into subnets, broadcasts to every interface (and to the parallel
// instances), sending to a network with the interfaces' send queues, local
// delivery to the protocol handlers, and the two entries RouterSend2 and
// RouterHandleData.
//
// Packages are assembled and parsed in 512-byte buffers on the stack; queued
// blocks come from the static queue pool. Nothing on this path allocates.
#include <cstring>

#include "CmpRouterPrivate.h"
#include "SysSem.h"
#include "SysTime.h"

using namespace klrouter;

namespace {

// Parallel instances route into one another; a bound on the chain keeps a
// misconfigured nibble from looping.
constexpr int kMaxRouteDepth = ROUTER_MAX_INSTANCES;

class RouterLock {
public:
    RouterLock() { SysSemEnter(g_router.hLock); }
    ~RouterLock() { SysSemLeave(g_router.hLock); }
    RouterLock(const RouterLock&) = delete;
    RouterLock& operator=(const RouterLock&) = delete;
};

const RTS_UI8* Bytes(const ADDRESSCOMPONENT* p) {
    return reinterpret_cast<const RTS_UI8*>(p);
}

// Takes nBytes at byte nStart of an address of nLength components into a
// network address, the first byte masked; 259 when the address is too short.
RTS_RESULT TakeNetworkAddress(const PEERADDRESS& addr, RTS_UI32 nStart, RTS_UI32 nBytes, RTS_UI8 byMask,
                              NETWORKADDRESS* pna) {
    if (nBytes > MAX_NETWORK_ADDR_LEN || nStart + nBytes > 2u * addr.nLength) {
        return ERR_NET_NOROUTE;
    }
    pna->nLength = nBytes;
    memset(pna->address, 0, sizeof(pna->address));
    if (nBytes > 0) {
        memcpy(pna->address, Bytes(addr.pAddress) + nStart, nBytes);
        pna->address[0] &= byMask;
    }
    return ERR_OK;
}

// Next hop toward an absolute receiver: an interface of this instance with
// the neighbour's network address, or a parallel instance.
RTS_RESULT GetRoute(ROUTERINSTANCE* pInst, const PEERADDRESS& r, RTS_UI32 nCapacity, NETWORKINTERFACE** ppItf,
                    NETWORKADDRESS* pnaNext, ROUTERINSTANCE** ppParallel) {
    const NODEADDRESS& own = pInst->addrRouter;
    RTS_UI32 nOwn = own.nLength;
    if (nOwn > MAX_NODE_ADDR_LEN) {
        return ERR_PARAMETER;
    }
    if (r.nLength > nOwn && RouterAddrEquals(r.pAddress, nOwn, own.address, nOwn)) {
        RTS_UI32 x = r.pAddress[nOwn].by[0] >> 4;
        RTS_UI32 nOffset = static_cast<RTS_UI32>(g_router.nParallelRouterOffset);
        if (g_router.nParallelRouting != 0 && x >= nOffset) {
            RTS_UI32 k = x - nOffset;
            if (k >= static_cast<RTS_UI32>(g_router.nMaxRouters)) {
                return ERR_NET_NOROUTE;
            }
            ROUTERINSTANCE* pK = &g_router.pRouters[k];
            if (pK == pInst) {
                return ERR_NET_NOROUTE;
            }
            RTS_UI32 nDev = pK->Mainnet.info.addrDevice.nLength;
            if (nOwn >= MAX_NODE_ADDR_LEN || nDev > nCapacity) {
                return ERR_NOBUFFER;
            }
            // The receiver must hold the device address it is read from.
            NETWORKADDRESS na;
            RTS_RESULT rr = TakeNetworkAddress(r, 2u * nOwn, nDev, 0x0F, &na);
            if (rr != ERR_OK) {
                return rr;
            }
            *pnaNext = na;
            *ppParallel = pK;
            return ERR_OK;
        }
        if (x >= static_cast<RTS_UI32>(pInst->nNumSubnets) || !pInst->pSubnets[x].bValid) {
            return ERR_NET_NOROUTE;
        }
        NETWORKINTERFACE* pSub = &pInst->pSubnets[x];
        if (r.nLength < nOwn + static_cast<RTS_UI32>(pSub->nLocalAddressLength)) {
            return ERR_NET_NOROUTE;
        }
        RTS_UI32 nDev = pSub->info.addrDevice.nLength;
        if (nDev > nCapacity) {
            return ERR_NOBUFFER;
        }
        RTS_RESULT rr = TakeNetworkAddress(r, 2u * nOwn + static_cast<RTS_UI32>(pSub->nSubnetBytes), nDev,
                                           static_cast<RTS_UI8>(~pSub->bySubnetMask), pnaNext);
        if (rr != ERR_OK) {
            return rr;
        }
        *ppItf = pSub;
        return ERR_OK;
    }
    NETWORKINTERFACE* pMain = &pInst->Mainnet;
    if (!pMain->bValid) {
        return ERR_NET_NOROUTE;
    }
    if (pInst->naParent.nLength > 0) {
        *pnaNext = pInst->naParent;
    } else {
        RTS_UI32 nDev = pMain->info.addrDevice.nLength;
        if (nDev > nCapacity) {
            return ERR_NOBUFFER;
        }
        RTS_RESULT rr = TakeNetworkAddress(r, static_cast<RTS_UI32>(pMain->nSubnetBytes), nDev,
                                           static_cast<RTS_UI8>(~pMain->bySubnetMask), pnaNext);
        if (rr != ERR_OK) {
            return rr;
        }
    }
    *ppItf = pMain;
    return ERR_OK;
}

RTS_RESULT Enqueue(NETWORKINTERFACE* pItf, const NETWORKADDRESS* pnaNext, const RTS_UI8* pBuf,
                   RTS_UI32 ulSize) {
    if (pItf->nQueueCount >= ROUTER_QUEUE_LENGTH || ulSize > ROUTER_MAX_BLOCK_SIZE ||
        g_router.hQueuePool == RTS_INVALID_HANDLE || pfMemPoolGetBlock == nullptr) {
        return ERR_NOBUFFER;
    }
    auto* pBlock = static_cast<QUEUEDBLOCK*>(pfMemPoolGetBlock(g_router.hQueuePool, nullptr));
    if (pBlock == nullptr) {
        return ERR_NOBUFFER;
    }
    pBlock->naNextNode = *pnaNext;
    pBlock->ulTimestamp = SysTimeGetMs();
    pBlock->ulSize = ulSize;
    memcpy(pBlock->abyData, pBuf, ulSize);
    pItf->hQueue[pItf->nQueueCount++] = pBlock;
    return ERR_OK;
}

void RemoveQueued(NETWORKINTERFACE* pItf, RTS_I32 i) {
    QUEUEDBLOCK* pBlock = pItf->hQueue[i];
    for (RTS_I32 k = i; k + 1 < pItf->nQueueCount; ++k) {
        pItf->hQueue[k] = pItf->hQueue[k + 1];
    }
    pItf->hQueue[--pItf->nQueueCount] = nullptr;
    if (pfMemPoolPutBlock != nullptr) {
        pfMemPoolPutBlock(pBlock);
    }
}

bool IsNotHandled(RTS_RESULT r) {
    return r == ERR_NET_PKG_INVALID || r == ERR_NET_PKG_NOTHANDLED || r == ERR_NET_PKG_VERSION;
}

template <typename PF>
RTS_RESULT CallHandler(PF pf, ROUTERINSTANCE* pInst, NETWORKINTERFACE* pFrom, const RouterPackage* pPkg,
                       RTS_UI8* pContent, RTS_UI32 ulContent, RTS_I32 nRouterError) {
    if (pf == nullptr) {
        return ERR_NET_PKG_NOTHANDLED;
    }
    RTS_HANDLE hItf = pFrom != nullptr ? pFrom->hNetworkInterface : RTS_INVALID_HANDLE;
    PROTOCOL_DATA_UNIT pdu{pContent, ulContent};
    // The layers above send from their handlers: the router lock is not held
    // across the call (they take their own locks after it, never before).
    SysSemLeave(g_router.hLock);
    RTS_RESULT r = pf(pInst, hItf, pPkg->ServiceId(), pPkg->MessageId(), pPkg->addrSender, pPkg->addrReceiver,
                      pdu, nRouterError);
    SysSemEnter(g_router.hLock);
    return r;
}

// Hands a package for this node to its protocol handler.
RTS_RESULT HandleLocally(ROUTERINSTANCE* pInst, const RouterPackage* pPkg, NETWORKINTERFACE* pFrom,
                         const NETWORKADDRESS* pnaSender) {
    RTS_UI8* pContent = pPkg->pBuf + pPkg->nDataOffset;
    RTS_UI32 ulContent = pPkg->ulSize - static_cast<RTS_UI32>(pPkg->nDataOffset);
    RTS_I32 nRouterError = 0;
    if ((pPkg->pBuf[2] & RPH_FLAG2_ROUTERERROR) != 0) {
        // Router error layout: the code (big-endian like the rest of the
        // header), two reserved bytes, then the content. A short package
        // carries no content; one without a code reports error 1.
        if (ulContent < 2) {
            nRouterError = 1;
            ulContent = 0;
        } else {
            nRouterError = (pContent[0] << 8) | pContent[1];
            if (ulContent < 4) {
                ulContent = 0;
            } else {
                pContent += 4;
                ulContent -= 4;
            }
        }
    }
    switch (pPkg->ServiceId()) {
        case PID_ADDRESSREQUEST:
        case PID_ADDRESSNOTIFICATION: {
            // The address service answers only for the networks of its own
            // instance; a package that crossed from another instance is dropped.
            if (pFrom == nullptr || pFrom->ulAddressUpdateInterval == 0 ||
                RouterInstanceOfInterface(pFrom) != pInst) {
                return ERR_OK;
            }
            RTS_RESULT r = AddrSrvcHandlePackage(pInst, pFrom, pnaSender, pPkg, pContent, ulContent);
            if (r == ERR_NOBUFFER) {
                pFrom->ulLastAddressUpdate = SysTimeGetMs() - pFrom->ulAddressUpdateInterval;
            }
            return r == ERR_NET_PKG_NOTHANDLED ? r : ERR_OK;
        }
        case PID_NAMINGRESPONSE:
            return CallHandler(pfNSClientHandleData, pInst, pFrom, pPkg, pContent, ulContent, nRouterError);
        case PID_LAYER4:
            return CallHandler(pfChannelMgrHandleData, pInst, pFrom, pPkg, pContent, ulContent, nRouterError);
        default:
            return ERR_NET_PKG_NOTHANDLED;
    }
}

RTS_RESULT RouteAt(ROUTERINSTANCE* pInst, RTS_UI8* pBuf, RTS_UI32 ulSize, NETWORKINTERFACE* pFrom,
                   const NETWORKADDRESS* pnaSender, RTS_BOOL bUseQueue, int nDepth);

void SendToInstance(ROUTERINSTANCE* pInst, RTS_UI8* pBuf, RTS_UI32 ulSize, NETWORKINTERFACE* pFrom) {
    NETWORKADDRESS naBroadcast;
    memset(&naBroadcast, 0, sizeof(naBroadcast));
    for (RTS_I32 j = 0; j < pInst->nNumSubnets; ++j) {
        NETWORKINTERFACE* pSub = &pInst->pSubnets[j];
        if (pSub->bValid && pSub != pFrom) {
            RouterSendToNetwork(pSub, &naBroadcast, pBuf, ulSize, 1, 1);
        }
    }
    if (pInst->Mainnet.bValid && &pInst->Mainnet != pFrom) {
        RouterSendToNetwork(&pInst->Mainnet, &naBroadcast, pBuf, ulSize, 1, 1);
    }
}

RTS_RESULT RouteBroadcast(ROUTERINSTANCE* pInst, const RouterPackage* pPkg, NETWORKINTERFACE* pFrom,
                          const NETWORKADDRESS* pnaSender, bool bForward, int nDepth) {
    bool bTracked = pPkg->HasBroadcastId() && g_router.bLoopDetection;
    if (bTracked && RouterCheckBroadcastId(pPkg->BroadcastId()) == ERR_DUPLICATE) {
        return ERR_DUPLICATE;
    }
    if (bForward) {
        SendToInstance(pInst, pPkg->pBuf, pPkg->ulSize, pFrom);
    }
    if (pPkg->ServiceId() != PID_LAYER4) {
        RTS_RESULT r = HandleLocally(pInst, pPkg, pFrom, pnaSender);
        if (r != ERR_OK && !IsNotHandled(r) && bTracked) {
            // Not taken here: a repetition must be accepted.
            RouterForgetBroadcastId(pPkg->BroadcastId());
        }
    }
    bool bParallel = g_router.nParallelRouting == 1 || (g_router.nParallelRouting == 2 && pFrom == nullptr);
    if (bForward && bParallel && nDepth == 0) {
        for (RTS_I32 k = 0; k < g_router.nMaxRouters; ++k) {
            ROUTERINSTANCE* pK = &g_router.pRouters[k];
            if (pK == pInst || !(k < g_router.nConfiguredRouters || pK->Mainnet.bValid)) {
                continue;
            }
            RTS_UI8 abyCopy[ROUTER_MAX_BLOCK_SIZE];
            RTS_UI32 ulCopy = 0;
            if (RouterTranslatePackage(pInst, pK, pPkg, abyCopy, &ulCopy) == ERR_OK) {
                SendToInstance(pK, abyCopy, ulCopy, pFrom);
            }
        }
    }
    return ERR_OK;
}

RTS_RESULT RouteAt(ROUTERINSTANCE* pInst, RTS_UI8* pBuf, RTS_UI32 ulSize, NETWORKINTERFACE* pFrom,
                   const NETWORKADDRESS* pnaSender, RTS_BOOL bUseQueue, int nDepth) {
    RouterPackage pkg;
    if (RouterParsePackage(pBuf, ulSize, &pkg) != ERR_OK) {
        return ERR_FAILED;
    }
    const PEERADDRESS& r = pkg.addrReceiver;
    bool bLocal = false;
    bool bBroadcast = false;
    bool bForward = true;
    NETWORKINTERFACE* pOut = nullptr;
    ROUTERINSTANCE* pParallel = nullptr;
    NETWORKADDRESS naNext;
    memset(&naNext, 0, sizeof(naNext));

    if (r.type == AT_ABSOLUTE) {
        if (r.nLength == 0) {
            bBroadcast = true;
        } else if (RouterAddrEquals(r.pAddress, r.nLength, pInst->addrRouter.address,
                                    pInst->addrRouter.nLength)) {
            bLocal = true;
        } else {
            RTS_RESULT rr = GetRoute(pInst, r, MAX_NETWORK_ADDR_LEN, &pOut, &naNext, &pParallel);
            if (rr != ERR_OK) {
                return rr;
            }
        }
        RTS_UI32 nHop = pkg.HopCount();
        if (nHop > 0) {
            --nHop;
            pBuf[1] = static_cast<RTS_UI8>((pBuf[1] & RPH_HEADERWORDS_MASK) | (nHop << RPH_HOPCOUNT_SHIFT));
        }
        bForward = nHop > 0;
    } else if (r.type == AT_RELATIVE) {
        RTS_I32 nOffset = r.nAddrOffset;
        RTS_I32 nLength = static_cast<RTS_I32>(r.nLength);
        if (nOffset < 0 || nOffset > nLength) {
            return ERR_NET_NOROUTE;
        }
        if (nOffset == nLength) {
            bLocal = true;
        } else {
            RTS_I32 x = r.pAddress[nOffset].by[0] >> 4;
            if (x >= pInst->nNumSubnets || !pInst->pSubnets[x].bValid) {
                return ERR_NET_NOROUTE;
            }
            NETWORKINTERFACE* pSub = &pInst->pSubnets[x];
            if (nOffset + pSub->nLocalAddressLength != nLength) {
                return ERR_NET_NOROUTE;
            }
            RTS_RESULT rr = TakeNetworkAddress(
                r, 2u * static_cast<RTS_UI32>(nOffset) + static_cast<RTS_UI32>(pSub->nSubnetBytes),
                pSub->info.addrDevice.nLength, static_cast<RTS_UI8>(~pSub->bySubnetMask), &naNext);
            if (rr != ERR_OK) {
                return rr;
            }
            nOffset += pSub->nLocalAddressLength;
            pBuf[1] = static_cast<RTS_UI8>((pBuf[1] & RPH_HEADERWORDS_MASK) |
                                           ((static_cast<RTS_UI32>(nOffset) & 0x1Fu) << RPH_HOPCOUNT_SHIFT));
            pOut = pSub;
        }
    } else {
        RouterLog(LOG_ERROR, ERR_FAILED, "Invalid addressType <type>%d</type>", static_cast<int>(r.type));
        return ERR_FAILED;
    }

    if (bLocal) {
        return HandleLocally(pInst, &pkg, pFrom, pnaSender);
    }
    if (bBroadcast) {
        return RouteBroadcast(pInst, &pkg, pFrom, pnaSender, bForward, nDepth);
    }
    if (!bForward) {
        return ERR_OK;
    }
    if (pParallel != nullptr) {
        if (nDepth >= kMaxRouteDepth) {
            return ERR_NET_NOROUTE;
        }
        RTS_UI8 abyCopy[ROUTER_MAX_BLOCK_SIZE];
        RTS_UI32 ulCopy = 0;
        if (RouterTranslatePackage(pInst, pParallel, &pkg, abyCopy, &ulCopy) != ERR_OK) {
            return ERR_NET_NOROUTE;
        }
        return RouteAt(pParallel, abyCopy, ulCopy, pFrom, pnaSender, bUseQueue, nDepth + 1);
    }
    if (pOut == nullptr || !pOut->bValid || (pOut == &pInst->Mainnet && pOut == pFrom)) {
        return ERR_NET_NOROUTE;
    }
    return RouterSendToNetwork(pOut, &naNext, pBuf, ulSize, bUseQueue, 0);
}

}  // namespace

namespace klrouter {

RTS_RESULT RouterRoutePackage(ROUTERINSTANCE* pInst, RTS_UI8* pBuf, RTS_UI32 ulSize, NETWORKINTERFACE* pFrom,
                              const NETWORKADDRESS* pnaSender, RTS_BOOL bUseQueue) {
    return RouteAt(pInst, pBuf, ulSize, pFrom, pnaSender, bUseQueue, 0);
}

RTS_RESULT RouterSendToNetwork(NETWORKINTERFACE* pItf, const NETWORKADDRESS* pnaNextNode, RTS_UI8* pBuf,
                               RTS_UI32 ulSize, RTS_BOOL bUseQueue, RTS_BOOL bBroadcast) {
    if (!pItf->bValid || pItf->info.pfBDSend == nullptr) {
        return ERR_NET_NOROUTE;
    }
    RouterPackage pkg;
    if (RouterParsePackage(pBuf, ulSize, &pkg) != ERR_OK || RouterCheckPackage(&pkg) != ERR_OK) {
        return ERR_NET_NOROUTE;
    }
    // A unicast must not reach every node of the network by way of its
    // broadcast address. Relative receivers are the address service's
    // notifications, which go to the whole subnet on purpose.
    if (!bBroadcast && pkg.addrReceiver.type == AT_ABSOLUTE &&
        RouterSuppressLocalBroadcastAddresses(pItf->info.usType, pItf->info.nNetworkAddressBitSize,
                                              pnaNextNode) != ERR_OK) {
        return ERR_NET_NOROUTE;
    }
    if (!bUseQueue || pItf->nQueueCount == 0) {
        PROTOCOL_DATA_UNIT pdu{pBuf, ulSize};
        RTS_RESULT r = pItf->info.pfBDSend(pItf->info.hInterface, *pnaNextNode, pdu);
        if (r == ERR_NOBUFFER && bUseQueue) {
            return Enqueue(pItf, pnaNextNode, pBuf, ulSize);
        }
        return r;
    }
    return Enqueue(pItf, pnaNextNode, pBuf, ulSize);
}

void RouterEmptyQueue(NETWORKINTERFACE* pItf) {
    while (pItf->nQueueCount > 0) {
        RemoveQueued(pItf, pItf->nQueueCount - 1);
    }
}

void RouterServiceQueues(void) {
    RTS_UI32 ulNow = SysTimeGetMs();
    auto service = [ulNow](NETWORKINTERFACE* pItf) {
        // Every restart follows a removal, so the walk ends after at most
        // as many restarts as there are queued blocks.
        bool bRemoved = true;
        while (bRemoved && pItf->nQueueCount > 0) {
            bRemoved = false;
            for (RTS_I32 i = 0; i < pItf->nQueueCount; ++i) {
                QUEUEDBLOCK* pBlock = pItf->hQueue[i];
                RTS_RESULT r = ERR_FAILED;
                if (pItf->bValid && pItf->info.pfBDSend != nullptr) {
                    PROTOCOL_DATA_UNIT pdu{pBlock->abyData, pBlock->ulSize};
                    r = pItf->info.pfBDSend(pItf->info.hInterface, pBlock->naNextNode, pdu);
                }
                if (r == ERR_OK || SysTimeElapsedMs(ulNow, pBlock->ulTimestamp) > g_router.ulQueueTimeout) {
                    RemoveQueued(pItf, i);
                    bRemoved = true;
                    break;
                }
            }
        }
    };
    for (RTS_I32 i = 0; i < g_router.nMaxRouters; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        service(&pInst->Mainnet);
        for (RTS_I32 j = 0; j < pInst->nNumSubnets; ++j) {
            service(&pInst->pSubnets[j]);
        }
    }
}

}  // namespace klrouter

RTS_RESULT RouterSend2(RTS_HANDLE hRouter, PEERADDRESS addrReceiver, RTS_I32 nProtocolId, RTS_UI8 byMessageId,
                       ROUTERPRIORITY prio, PROTOCOL_DATA_UNIT pduData, RTS_BOOL bUseQueue) {
    if (g_router.bInitialized.load() == 0) {
        return ERR_NOTINITIALIZED;
    }
    if ((pduData.ulCount > 0 && pduData.pData == nullptr) || nProtocolId < 0 || nProtocolId > 0xFF ||
        addrReceiver.nLength > MAX_NODE_ADDR_LEN ||
        (addrReceiver.nLength > 0 && addrReceiver.pAddress == nullptr)) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    ROUTERINSTANCE* pInst = RouterInstanceOf(hRouter);
    if (pInst == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_UI8 abyBuf[ROUTER_MAX_BLOCK_SIZE];
    RTS_I32 nOffset = 0;
    RTS_UI8 byService = static_cast<RTS_UI8>(nProtocolId);
    if (addrReceiver.type == AT_ABSOLUTE && addrReceiver.nLength == 0) {
        if (nProtocolId != PID_NAMINGREQUEST) {
            return ERR_PARAMETER;
        }
        RouterInitializeBroadcastHeader(pInst, byService, byMessageId, prio, abyBuf, &nOffset);
    } else {
        RTS_RESULT r =
            RouterInitializeHeader(pInst, &addrReceiver, byService, byMessageId, prio, abyBuf, &nOffset);
        if (r != ERR_OK) {
            return r;
        }
    }
    if (pduData.ulCount > ROUTER_MAX_BLOCK_SIZE - static_cast<RTS_UI32>(nOffset)) {
        return ERR_NET_MSGTOOLARGE;
    }
    if (pduData.ulCount > 0) {
        memcpy(abyBuf + nOffset, pduData.pData, pduData.ulCount);
    }
    return RouterRoutePackage(pInst, abyBuf, static_cast<RTS_UI32>(nOffset) + pduData.ulCount, nullptr,
                              nullptr, bUseQueue);
}

RTS_RESULT RouterSend(RTS_HANDLE hRouter, PEERADDRESS addrReceiver, RTS_I32 nProtocolId, RTS_UI8 byMessageId,
                      ROUTERPRIORITY prio, PROTOCOL_DATA_UNIT pduData) {
    return RouterSend2(hRouter, addrReceiver, nProtocolId, byMessageId, prio, pduData, 0);
}

RTS_RESULT RouterHandleData(RTS_HANDLE hNetwork, NETWORKADDRESS naSender, PROTOCOL_DATA_UNIT pduData,
                            RTS_BOOL bIsBroadcast) {
    (void)bIsBroadcast;  // the receiver address tells
    if (g_router.bInitialized.load() == 0) {
        return ERR_NOTINITIALIZED;
    }
    if (pduData.pData == nullptr || pduData.ulCount < sizeof(ROUTERPKGHEADER) ||
        pduData.ulCount > ROUTER_MAX_BLOCK_SIZE) {
        return ERR_OK;
    }
    if (naSender.nLength > MAX_NETWORK_ADDR_LEN) {
        naSender.nLength = MAX_NETWORK_ADDR_LEN;
    }
    RouterLock lock;
    NETWORKINTERFACE* pFrom = RouterInterfaceOf(hNetwork);
    if (pFrom == nullptr || !pFrom->bValid) {
        return ERR_OK;
    }
    ROUTERINSTANCE* pInst = RouterInstanceOfInterface(pFrom);
    if (pInst == nullptr) {
        return ERR_OK;
    }
    // The hop counter and offsets are rewritten on the way: work on a copy,
    // the driver's buffer stays as it was.
    RTS_UI8 abyBuf[ROUTER_MAX_BLOCK_SIZE];
    memcpy(abyBuf, pduData.pData, pduData.ulCount);
    RouterPackage pkg;
    if (RouterParsePackage(abyBuf, pduData.ulCount, &pkg) != ERR_OK || RouterCheckPackage(&pkg) != ERR_OK) {
        return ERR_OK;
    }
    RouterRoutePackage(pInst, abyBuf, pduData.ulCount, pFrom, &naSender, 1);
    return ERR_OK;
}
