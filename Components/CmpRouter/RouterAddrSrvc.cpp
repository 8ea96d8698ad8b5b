// Node addresses: the initial address from the main net's device address,
// the node address of a peer given by a block driver's network address, and
// the address service (address requests on main nets, notifications into
// subnets, and taking over the address a parent announces).
#include <cstring>

#include "CmpRouterPrivate.h"
#include "SysSem.h"
#include "SysTime.h"

using namespace klrouter;

namespace {

constexpr RTS_UI32 kAddressPassIntervalMs = 1000;
constexpr RTS_UI8 kSubnetBits = 4;

class RouterLock {
public:
    RouterLock() { SysSemEnter(g_router.hLock); }
    ~RouterLock() { SysSemLeave(g_router.hLock); }
    RouterLock(const RouterLock&) = delete;
    RouterLock& operator=(const RouterLock&) = delete;
};

// The network address right-aligned in whole components (a zero byte in
// front when its length is odd); returns the number of components.
RTS_UI32 RightAligned(const NETWORKADDRESS* pna, ADDRESSCOMPONENT* pOut) {
    RTS_UI32 nComps = (pna->nLength + 1) / 2;
    RTS_UI8* p = reinterpret_cast<RTS_UI8*>(pOut);
    memset(p, 0, 2u * nComps);
    memcpy(p + (2u * nComps - pna->nLength), pna->address, pna->nLength);
    return nComps;
}

// Local part of a peer below this node: the index nibble shares the first
// component with the network address when the address leaves four bits free.
RTS_RESULT AppendLocalPart(NODEADDRESS* pAddr, RTS_UI32 nIndex, RTS_I32 nBitSize, const NETWORKADDRESS* pna) {
    ADDRESSCOMPONENT aPart[MAX_NETWORK_ADDR_LEN / 2 + 1];
    RTS_UI32 nPart = RightAligned(pna, aPart);
    bool bShare = RouterIndexSharesComponent(nBitSize);
    RTS_UI32 nTotal = pAddr->nLength + nPart + (bShare ? 0u : 1u);
    if (nTotal > MAX_NODE_ADDR_LEN || nIndex > 15) {
        return ERR_FAILED;
    }
    RTS_UI8 byIndex = static_cast<RTS_UI8>(nIndex << 4);
    if (bShare) {
        if ((aPart[0].by[0] & 0xF0) != 0) {
            return ERR_FAILED;
        }
        aPart[0].by[0] |= byIndex;
    } else {
        pAddr->address[pAddr->nLength].by[0] = byIndex;
        pAddr->address[pAddr->nLength].by[1] = 0;
        ++pAddr->nLength;
    }
    memcpy(pAddr->address + pAddr->nLength, aPart, 2u * nPart);
    pAddr->nLength += nPart;
    return ERR_OK;
}

RTS_UI8 FreeParentSubnetBits(const ROUTERINSTANCE* pInst) {
    if (pInst->naParent.nLength > 0) {
        return static_cast<RTS_UI8>(pInst->nAvailParentSubnetBits);
    }
    RTS_I32 n =
        16 * static_cast<RTS_I32>(pInst->addrRouter.nLength) - pInst->Mainnet.info.nNetworkAddressBitSize;
    return static_cast<RTS_UI8>(n < 0 ? 0 : (n > 0xFF ? 0xFF : n));
}

// Takes over the address a parent announced on the main net.
RTS_RESULT TakeNotification(ROUTERINSTANCE* pInst, const NETWORKADDRESS* pnaSender, const RTS_UI8* pContent,
                            RTS_UI32 ulContent) {
    if (ulContent < sizeof(ADDR_NOTIFICATION_PACKAGE) || pContent[0] != 1) {
        return ERR_OK;
    }
    RTS_UI8 byMinor = pContent[1];
    RTS_UI32 nParent = pContent[3];
    RTS_UI32 nSubnetBits = pContent[offsetof(ADDR_NOTIFICATION_PACKAGE, bySubnetBits)];
    RTS_I32 nMainBits = pInst->Mainnet.info.nNetworkAddressBitSize;
    if (nParent > MAX_NODE_ADDR_LEN || nSubnetBits > 32 || nMainBits < 1 || nMainBits > 64) {
        return ERR_OK;
    }
    RTS_UI32 nBytes = 2 * ((nSubnetBits + static_cast<RTS_UI32>(nMainBits) + 15) / 16);
    if (nParent + nBytes / 2 > MAX_NODE_ADDR_LEN) {
        return ERR_OK;
    }
    RTS_UI8 abyLocal[2 * MAX_NODE_ADDR_LEN];
    memset(abyLocal, 0, sizeof(abyLocal));
    RTS_UI32 nIdBytes = (nSubnetBits + 7) / 8;
    memcpy(abyLocal, pContent + offsetof(ADDR_NOTIFICATION_PACKAGE, subnetId), nIdBytes);
    // The own network address right-aligned; where it overlaps the subnet id
    // the two share the byte.
    RTS_UI32 nNetBytes = (static_cast<RTS_UI32>(nMainBits) + 7) / 8;
    const NETWORKADDRESS& dev = pInst->Mainnet.info.addrDevice;
    for (RTS_UI32 i = 0; i < nNetBytes; ++i) {
        RTS_UI8 by = 0;
        if (i + dev.nLength >= nNetBytes) {
            by = dev.address[i + dev.nLength - nNetBytes];
        }
        abyLocal[nBytes - nNetBytes + i] |= by;
    }
    NODEADDRESS addr;
    memset(&addr, 0, sizeof(addr));
    memcpy(addr.address, pContent + offsetof(ADDR_NOTIFICATION_PACKAGE, addrParent), 2u * nParent);
    memcpy(reinterpret_cast<RTS_UI8*>(addr.address) + 2u * nParent, abyLocal, nBytes);
    addr.nLength = nParent + nBytes / 2;

    bool bChanged =
        !RouterAddrEquals(addr.address, addr.nLength, pInst->addrRouter.address, pInst->addrRouter.nLength);
    pInst->addrRouter = addr;
    memset(&pInst->addrParent, 0, sizeof(pInst->addrParent));
    memcpy(pInst->addrParent.address, pContent + offsetof(ADDR_NOTIFICATION_PACKAGE, addrParent),
           2u * nParent);
    pInst->addrParent.nLength = nParent;
    if (pnaSender != nullptr) {
        pInst->naParent = *pnaSender;
    }
    if (byMinor != 0) {
        pInst->nAvailParentSubnetBits = pContent[offsetof(ADDR_NOTIFICATION_PACKAGE, byParentSubnetBits)];
    }
    if (bChanged) {
        AddrSrvcLogAddress(pInst);
    }
    return ERR_OK;
}

}  // namespace

namespace klrouter {

RTS_RESULT AddrSrvcGetInitialAddress(const NETWORKINTERFACE* pMainnet, NODEADDRESS* pAddr) {
    const NETWORKADDRESS& dev = pMainnet->info.addrDevice;
    if (dev.nLength == 0 || dev.nLength > MAX_NETWORK_ADDR_LEN) {
        return ERR_FAILED;
    }
    memset(pAddr, 0, sizeof(*pAddr));
    pAddr->nLength = RightAligned(&dev, pAddr->address);
    return ERR_OK;
}

void AddrSrvcLogAddress(const ROUTERINSTANCE* pInst) {
    char szAddr[5 * MAX_NODE_ADDR_LEN + 1];
    RouterAddressText(pInst->addrRouter.address, pInst->addrRouter.nLength, szAddr, sizeof(szAddr));
    RouterLog(LOG_INFO, ERR_OK, "Setting router <instance>%d</instance> address to <address>(%s)</address>",
              static_cast<int>(pInst->iInstance), szAddr);
}

RTS_RESULT SendAddressNotification(ROUTERINSTANCE* pInst, NETWORKINTERFACE* pSubnet) {
    // The relative broadcast address of the subnet: its local part all ones
    // but for the subnet id in front.
    RTS_UI32 nLocal = static_cast<RTS_UI32>(pSubnet->nLocalAddressLength);
    RTS_UI32 nSubnetBytes = static_cast<RTS_UI32>(pSubnet->nSubnetBytes);
    if (nLocal == 0 || nLocal > MAX_NODE_ADDR_LEN) {
        return ERR_FAILED;
    }
    ADDRESSCOMPONENT aReceiver[MAX_NODE_ADDR_LEN];
    RTS_UI8* p = reinterpret_cast<RTS_UI8*>(aReceiver);
    memset(p, 0xFF, 2u * nLocal);
    for (RTS_UI32 b = 0; b < nSubnetBytes && b < 2u * nLocal; ++b) {
        p[b] = b < sizeof(pSubnet->subnetId) ? pSubnet->subnetId[b] : 0;
    }
    if (nSubnetBytes < 2u * nLocal) {
        RTS_UI8 byId = pSubnet->subnetId[nSubnetBytes < 4 ? nSubnetBytes : 3];
        p[nSubnetBytes] = static_cast<RTS_UI8>(static_cast<RTS_UI8>(~pSubnet->bySubnetMask) |
                                               (byId & pSubnet->bySubnetMask));
    }
    PEERADDRESS receiver{AT_RELATIVE, 0, nLocal, aReceiver};

    ADDR_NOTIFICATION_PACKAGE nf;
    memset(&nf, 0, sizeof(nf));
    nf.byVersionMajor = 1;
    nf.byVersionMinor = 1;
    nf.byFlags = ADDRNF_RECURSIVE;
    RTS_UI32 nOwn =
        pInst->addrRouter.nLength <= MAX_NODE_ADDR_LEN ? pInst->addrRouter.nLength : MAX_NODE_ADDR_LEN;
    nf.byAddrParentLen = static_cast<RTS_UI8>(nOwn);
    memcpy(nf.addrParent, pInst->addrRouter.address, 2u * nOwn);
    nf.subnetId[0] = pSubnet->subnetId[0];
    nf.bySubnetBits = kSubnetBits;
    nf.byParentSubnetBits = FreeParentSubnetBits(pInst);

    RTS_UI8 abyBuf[ROUTER_MAX_BLOCK_SIZE];
    RTS_I32 nOffset = 0;
    RTS_RESULT r =
        RouterInitializeHeader(pInst, &receiver, PID_ADDRESSNOTIFICATION, 0, RPRIO_NORMAL, abyBuf, &nOffset);
    if (r != ERR_OK || static_cast<RTS_UI32>(nOffset) + sizeof(nf) > ROUTER_MAX_BLOCK_SIZE) {
        return ERR_FAILED;
    }
    memcpy(abyBuf + nOffset, &nf, sizeof(nf));
    return RouterRoutePackage(pInst, abyBuf, static_cast<RTS_UI32>(nOffset) + sizeof(nf), nullptr, nullptr,
                              0);
}

RTS_RESULT AddrSrvcHandlePackage(ROUTERINSTANCE* pInst, NETWORKINTERFACE* pFrom,
                                 const NETWORKADDRESS* pnaSender, const RouterPackage* pPkg,
                                 const RTS_UI8* pContent, RTS_UI32 ulContentSize) {
    bool bMainnet = pFrom == &pInst->Mainnet;
    RTS_UI8 bySvc = pPkg->ServiceId();
    if (!bMainnet) {
        if (bySvc == PID_ADDRESSREQUEST) {
            return SendAddressNotification(pInst, pFrom);
        }
        RouterLog(
            LOG_WARNING, ERR_OK,
            "Received an addressnotification from subnet <name>%s</name>. => Multiple parent nodes in this "
            "subnet!",
            pFrom->info.szName);
        return ERR_OK;
    }
    if (bySvc == PID_ADDRESSREQUEST) {
        return ERR_OK;
    }
    return TakeNotification(pInst, pnaSender, pContent, ulContentSize);
}

void UpdateAddresses(void) {
    RTS_UI32 ulNow = SysTimeGetMs();
    if (SysTimeElapsedMs(ulNow, g_router.ulLastAddressPass) <= kAddressPassIntervalMs) {
        return;
    }
    auto due = [ulNow](const NETWORKINTERFACE* pItf) {
        return pItf->bValid && pItf->ulAddressUpdateInterval != 0 &&
               SysTimeElapsedMs(ulNow, pItf->ulLastAddressUpdate) >= pItf->ulAddressUpdateInterval;
    };
    ROUTERINSTANCE* apMain[ROUTER_MAX_INSTANCES];
    int nMain = 0;
    ROUTERINSTANCE* apSubInst[ROUTER_MAX_SUBNETS];
    NETWORKINTERFACE* apSub[ROUTER_MAX_SUBNETS];
    int nSub = 0;
    for (RTS_I32 i = 0; i < g_router.nMaxRouters; ++i) {
        ROUTERINSTANCE* pInst = &g_router.pRouters[i];
        if (nMain < ROUTER_MAX_INSTANCES && due(&pInst->Mainnet)) {
            apMain[nMain++] = pInst;
        }
        for (RTS_I32 j = 0; j < pInst->nNumSubnets && nSub < ROUTER_MAX_SUBNETS; ++j) {
            if (due(&pInst->pSubnets[j])) {
                apSubInst[nSub] = pInst;
                apSub[nSub++] = &pInst->pSubnets[j];
            }
        }
    }
    bool bBusy = false;
    for (int k = 0; k < nMain; ++k) {
        ROUTERINSTANCE* pInst = apMain[k];
        // Address request: a broadcast on the main net only, one hop.
        PEERADDRESS receiver{AT_ABSOLUTE, 0, 0, nullptr};
        RTS_UI8 abyBuf[ROUTER_MAX_BLOCK_SIZE];
        RTS_I32 nOffset = 0;
        if (RouterInitializeHeader(pInst, &receiver, PID_ADDRESSREQUEST, 0, RPRIO_NORMAL, abyBuf, &nOffset) !=
            ERR_OK) {
            continue;
        }
        abyBuf[1] = static_cast<RTS_UI8>((abyBuf[1] & RPH_HEADERWORDS_MASK) | (1u << RPH_HOPCOUNT_SHIFT));
        NETWORKADDRESS naBroadcast;
        memset(&naBroadcast, 0, sizeof(naBroadcast));
        RTS_RESULT r =
            RouterSendToNetwork(&pInst->Mainnet, &naBroadcast, abyBuf, static_cast<RTS_UI32>(nOffset), 0, 1);
        if (r == ERR_OK) {
            pInst->Mainnet.ulLastAddressUpdate = ulNow;
        } else if (r == ERR_NOBUFFER) {
            bBusy = true;
        }
    }
    for (int k = 0; k < nSub; ++k) {
        RTS_RESULT r = SendAddressNotification(apSubInst[k], apSub[k]);
        if (r == ERR_OK) {
            apSub[k]->ulLastAddressUpdate = ulNow;
        } else if (r == ERR_NOBUFFER) {
            bBusy = true;
        }
    }
    if (!bBusy) {
        g_router.ulLastAddressPass = ulNow;
    }
}

}  // namespace klrouter

RTS_RESULT RouterCalculateNodeAddr(RTS_UI16 usBlkDrvType, RTS_UI8 byNetworkAddressBitSize,
                                   const NETWORKADDRESS* pNetworkAddr, NODEADDRESS* pNodeAddr) {
    if (g_router.bInitialized.load() == 0) {
        return ERR_NOTINITIALIZED;
    }
    if (pNetworkAddr == nullptr || pNodeAddr == nullptr || pNetworkAddr->nLength > MAX_NETWORK_ADDR_LEN) {
        return ERR_PARAMETER;
    }
    RouterLock lock;
    ROUTERINSTANCE* pFirst = &g_router.pRouters[0];
    if (usBlkDrvType == RTS_BLK_DRV_TYPE_NONE) {
        *pNodeAddr = pFirst->addrRouter;
        return ERR_OK;
    }
    if (pNetworkAddr->nLength == 0) {
        return ERR_PARAMETER;
    }
    RTS_I32 nSearch = g_router.nParallelRouting != 0 ? g_router.nMaxRouters : 1;
    ROUTERINSTANCE* pInst = nullptr;
    NETWORKINTERFACE* pItf = nullptr;
    RTS_I32 iSubnet = -1;
    for (RTS_I32 i = 0; i < nSearch && pItf == nullptr; ++i) {
        ROUTERINSTANCE* p = &g_router.pRouters[i];
        if (p->Mainnet.bValid && p->Mainnet.info.usType == usBlkDrvType) {
            pInst = p;
            pItf = &p->Mainnet;
            break;
        }
        for (RTS_I32 j = 0; j < p->nNumSubnets; ++j) {
            if (p->pSubnets[j].bValid && p->pSubnets[j].info.usType == usBlkDrvType) {
                pInst = p;
                pItf = &p->pSubnets[j];
                iSubnet = j;
                break;
            }
        }
    }
    if (pItf == nullptr || pItf->info.nNetworkAddressBitSize != byNetworkAddressBitSize) {
        return ERR_FAILED;
    }
    NODEADDRESS addr;
    memset(&addr, 0, sizeof(addr));
    RTS_RESULT r = ERR_OK;
    if (pInst == pFirst && iSubnet < 0) {
        addr.nLength = RightAligned(pNetworkAddr, addr.address);
    } else if (pInst == pFirst) {
        addr = pFirst->addrRouter;
        r = AppendLocalPart(&addr, static_cast<RTS_UI32>(iSubnet), byNetworkAddressBitSize, pNetworkAddr);
    } else if (iSubnet < 0) {
        addr = pFirst->addrRouter;
        r = AppendLocalPart(&addr, static_cast<RTS_UI32>(pInst->iInstance + g_router.nParallelRouterOffset),
                            byNetworkAddressBitSize, pNetworkAddr);
    } else {
        // A subnet of a parallel instance has no address seen from instance 0.
        r = ERR_FAILED;
    }
    if (r != ERR_OK || addr.nLength > MAX_NODE_ADDR_LEN) {
        return ERR_FAILED;
    }
    *pNodeAddr = addr;
    return ERR_OK;
}
