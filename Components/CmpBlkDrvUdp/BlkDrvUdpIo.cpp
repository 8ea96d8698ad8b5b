// Interfaces and traffic of the UDP block driver: choosing the adapters,
// opening their sockets on a free port index, registering them with the
// router, sending blocks as datagrams and handing received datagrams to the
// router.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "CmpBlkDrvUdpPrivate.h"
#include "SysSem.h"
#include "SysTask.h"
#include "SysTime.h"

using namespace klbdudp;

namespace {

constexpr RTS_UINTPTR kHandleBase = 0x0BD0DB00u;
constexpr int kMaxAdapters = 64;
// Datagrams taken from one socket in one pass, so that one busy peer does
// not starve the others.
constexpr int kMaxDatagramsPerSocket = 32;

std::atomic<PFBDUDPSENDOBSERVER> s_pfSendObserver{nullptr};

#ifdef BDUDP_LOOPBACK_ONLY
constexpr bool kLoopbackOnly = true;
#else
constexpr bool kLoopbackOnly = false;
#endif

class DriverLock {
public:
    DriverLock() : m_h(g_bdudp.hLock.load()) { SysSemEnter(m_h); }
    ~DriverLock() { SysSemLeave(m_h); }
    DriverLock(const DriverLock&) = delete;
    DriverLock& operator=(const DriverLock&) = delete;

private:
    RTS_HANDLE m_h;
};

RTS_HANDLE SlotHandle(RTS_I32 iSlot) {
    return reinterpret_cast<RTS_HANDLE>(kHandleBase + static_cast<RTS_UINTPTR>(iSlot));
}

RTS_I32 HandleSlot(RTS_HANDLE h) {
    RTS_UINTPTR v = reinterpret_cast<RTS_UINTPTR>(h);
    if (v < kHandleBase || v >= kHandleBase + static_cast<RTS_UINTPTR>(g_bdudp.nMaxInterfaces)) {
        return -1;
    }
    return static_cast<RTS_I32>(v - kHandleBase);
}

void IpText(RTS_UI32 ulIpHost, char* psz, RTS_SIZE size) {
    RTS_UI32 ulNet = SysSockHtonl(ulIpHost);
    if (SysSockInetNtoa(&ulNet, psz, static_cast<int>(size)) != ERR_OK) {
        KlStrCopy(psz, size, "?");
    }
}

bool NameInList(const char* pszList, const char* pszName) {
    const char* p = pszList;
    size_t nName = strlen(pszName);
    while (*p != '\0') {
        while (*p == ',' || *p == ' ') {
            ++p;
        }
        const char* pEnd = p;
        while (*pEnd != '\0' && *pEnd != ',' && *pEnd != ' ') {
            ++pEnd;
        }
        if (static_cast<size_t>(pEnd - p) == nName && nName > 0 && strncmp(p, pszName, nName) == 0) {
            return true;
        }
        p = pEnd;
    }
    return false;
}

const BDUDP_ITFCONFIG* FindConfig(const SYS_ADAPTER_INFO& a) {
    RTS_UI32 ulIp = SysSockNtohl(a.ulIpAddr);
    for (RTS_I32 i = 0; i < g_bdudp.nConfigs; ++i) {
        const BDUDP_ITFCONFIG& c = g_bdudp.pConfigs[i];
        bool bName = c.szAdapterName[0] != '\0' && strcmp(c.szAdapterName, a.szName) == 0;
        bool bIp = c.ulIpAddr != 0 && c.ulIpAddr == ulIp;
        if ((bName && (c.ulIpAddr == 0 || bIp)) || (c.szAdapterName[0] == '\0' && bIp)) {
            return &c;
        }
    }
    return nullptr;
}

// Whether an adapter gets an interface; *ppCfg its configuration, if any.
bool Selected(const SYS_ADAPTER_INFO& a, const BDUDP_ITFCONFIG** ppCfg, bool bLog) {
    *ppCfg = nullptr;
    if ((a.ulFlags & SYS_ADAPTER_UP) == 0 || a.ulIpAddr == 0) {
        return false;
    }
    if (kLoopbackOnly && !SysSockIsLoopbackAddr(a.ulIpAddr)) {
        if (bLog) {
            BdUdpLog(LOG_INFO, ERR_OK, "Adapter %s not used: this build uses loopback adapters only",
                     a.szName);
        }
        return false;
    }
    if (g_bdudp.szUseOnlyAdapters[0] != '\0' && !NameInList(g_bdudp.szUseOnlyAdapters, a.szName)) {
        return false;
    }
    *ppCfg = FindConfig(a);
    return *ppCfg == nullptr || !(*ppCfg)->bDoNotUse;
}

// The receive socket on the configured port index, else on the first free
// one of 2, 3, 0, 1. The first bind goes without address reuse, so that a
// port another program holds is passed over; the socket is then bound again
// with reuse, which the broadcast socket on the same port needs.
bool OpenSockets(UDPDEVICEDESC* pDev, char* pszIp) {
    RTS_UI32 ulIpNet = SysSockHtonl(pDev->ulIpAddr);
    bool bFixed = pDev->cfg.iPortIdx >= 0;
    RTS_I32 iFirst = bFixed ? pDev->cfg.iPortIdx : g_bdudp.iDefaultPortIdx;
    RTS_I32 nTries = bFixed ? 1 : BDUDP_NUM_PORTS;
    const RTS_UI32 ulOptions = SYS_UDP_BROADCAST | SYS_UDP_NONBLOCKING;
    for (RTS_I32 t = 0; t < nTries; ++t) {
        RTS_I32 iIdx = (iFirst + t) % BDUDP_NUM_PORTS;
        RTS_UI16 usPort = static_cast<RTS_UI16>(BDUDP_BASE_PORT + iIdx);
        RTS_RESULT r = ERR_OK;
        RTS_HANDLE h = SysSockUdpOpen(ulIpNet, usPort, ulOptions, BDUDP_SOCKET_RECV_BUFFER, &r);
        if (h == RTS_INVALID_HANDLE) {
            if (r == ERR_SOCK_ADDRINUSE) {
                continue;
            }
            BdUdpLog(LOG_ERROR, r, "Failed to create a receive socket");
            return false;
        }
        SysSockClose(h);
        h = SysSockUdpOpen(ulIpNet, usPort, ulOptions | SYS_UDP_REUSEADDR, BDUDP_SOCKET_RECV_BUFFER, &r);
        if (h == RTS_INVALID_HANDLE) {
            if (r == ERR_SOCK_ADDRINUSE) {
                continue;  // taken between the two binds
            }
            BdUdpLog(LOG_ERROR, r, "Failed to create a receive socket");
            return false;
        }
        pDev->ulRecvSock = h;
        pDev->iPortIdx = iIdx;
        pDev->ulBroadcastSock = RTS_INVALID_HANDLE;
        // Broadcasts to the subnet reach only a socket bound to the broadcast
        // address; loopback has none.
        bool bLoopback =
            pDev->pAdapterInfo != nullptr && (pDev->AdapterInfo.ulFlags & SYS_ADAPTER_LOOPBACK) != 0;
        if (!bLoopback && pDev->ulIpAddr != 0x7F000001u && pDev->pAdapterInfo != nullptr &&
            (pDev->AdapterInfo.ulFlags & SYS_ADAPTER_BROADCAST) != 0 && pDev->ulBroadcastAddr != 0) {
            RTS_HANDLE hB = SysSockUdpOpen(SysSockHtonl(pDev->ulBroadcastAddr), usPort,
                                           ulOptions | SYS_UDP_REUSEADDR, BDUDP_SOCKET_RECV_BUFFER, &r);
            if (hB == RTS_INVALID_HANDLE) {
                BdUdpLog(LOG_WARNING, r,
                         "Failed to create a broadcast receive socket for <ipaddress>%s</ipaddress>", pszIp);
            }
            pDev->ulBroadcastSock = hB;
        }
        return true;
    }
    BdUdpLog(LOG_ERROR, ERR_SOCK_ADDRINUSE,
             "No free receive-port found for network interface: <ipaddress>%s</ipaddress>!", pszIp);
    return false;
}

void CloseSockets(UDPDEVICEDESC* pDev) {
    if (pDev->ulRecvSock != RTS_INVALID_HANDLE) {
        SysSockClose(pDev->ulRecvSock);
        pDev->ulRecvSock = RTS_INVALID_HANDLE;
    }
    if (pDev->ulBroadcastSock != RTS_INVALID_HANDLE) {
        SysSockClose(pDev->ulBroadcastSock);
        pDev->ulBroadcastSock = RTS_INVALID_HANDLE;
    }
}

void AddInterface(const SYS_ADAPTER_INFO& a, const BDUDP_ITFCONFIG* pCfg) {
    RTS_I32 iSlot = -1;
    {
        DriverLock lock;
        for (RTS_I32 i = 0; i < g_bdudp.nMaxInterfaces; ++i) {
            if (!g_bdudp.pDevices[i].bValid) {
                iSlot = i;
                break;
            }
        }
    }
    if (iSlot < 0) {
        return;
    }
    UDPDEVICEDESC dev;
    memset(&dev, 0, sizeof(dev));
    dev.AdapterInfo = a;
    dev.pAdapterInfo = nullptr;
    if (pCfg != nullptr) {
        dev.cfg = *pCfg;
    } else {
        dev.cfg.iPortIdx = -1;
    }
    dev.ulIpAddr = SysSockNtohl(a.ulIpAddr);
    dev.ulOsNetworkMask = SysSockNtohl(a.ulNetMask);
    dev.ulLocalAddrMask = ~(dev.cfg.ulNetworkMask != 0 ? dev.cfg.ulNetworkMask : dev.ulOsNetworkMask);
    BdUdpInitAddressing(&dev);
    if ((a.ulFlags & SYS_ADAPTER_LOOPBACK) != 0) {
        dev.ulBroadcastAddr = dev.ulIpAddr;
    } else if ((a.ulFlags & SYS_ADAPTER_POINTTOPOINT) != 0) {
        dev.ulBroadcastAddr =
            dev.cfg.ulPPPRemoteAddress != 0 ? dev.cfg.ulPPPRemoteAddress : SysSockNtohl(a.ulBroadcast);
    } else if ((a.ulFlags & SYS_ADAPTER_BROADCAST) != 0) {
        dev.ulBroadcastAddr = SysSockNtohl(a.ulBroadcast);
    } else {
        dev.ulBroadcastAddr = dev.ulIpAddr | ~dev.ulOsNetworkMask;
    }
    if (dev.cfg.szName[0] != '\0') {
        KlStrCopy(dev.szName, sizeof(dev.szName), dev.cfg.szName);
    } else if (a.ulIndex != 0) {
        snprintf(dev.szName, sizeof(dev.szName), "ether %u", static_cast<unsigned>(a.ulIndex));
    } else {
        KlStrCopy(dev.szName, sizeof(dev.szName), "ether local");
    }
    dev.hNetworkInterface = RTS_INVALID_HANDLE;
    dev.ulRecvSock = RTS_INVALID_HANDLE;
    dev.ulBroadcastSock = RTS_INVALID_HANDLE;
    char szIp[16];
    char szMask[16];
    IpText(dev.ulIpAddr, szIp, sizeof(szIp));
    IpText(dev.ulOsNetworkMask, szMask, sizeof(szMask));
    UDPDEVICEDESC* pDev = &g_bdudp.pDevices[iSlot];
    // OpenSockets looks at the adapter through the record's own copy.
    dev.pAdapterInfo = &dev.AdapterInfo;
    if (!OpenSockets(&dev, szIp)) {
        return;
    }
    {
        DriverLock lock;
        *pDev = dev;
        pDev->pAdapterInfo = &pDev->AdapterInfo;
        pDev->bValid = 1;
    }
    NETWORKINTERFACEINFO2 info;
    memset(&info, 0, sizeof(info));
    info.pfBDSend = BdSend;
    info.hInterface = SlotHandle(iSlot);
    info.nMaxBlockSize = BDUDP_MAX_BLOCK_SIZE;
    info.nNetworkAddressBitSize = dev.usPortIdxOffset + 2;
    info.bServiceChannel = 0;
    BdUdpMakeNetworkAddress(&dev, dev.ulIpAddr, dev.iPortIdx, &info.addrDevice);
    KlStrCopy(info.szName, sizeof(info.szName), dev.szName);
    info.usType = RTS_BLK_DRV_TYPE_UDP;
    RTS_HANDLE hItf = RTS_INVALID_HANDLE;
    RTS_RESULT r = pfRouterRegisterNetworkInterface2 != nullptr
                       ? pfRouterRegisterNetworkInterface2(&info, &hItf)
                       : ERR_NOTINITIALIZED;
    if (r != ERR_OK) {
        BdUdpLog(LOG_ERROR, r, "Failed to register block driver instance");
        DriverLock lock;
        pDev->bValid = 0;
        CloseSockets(pDev);
        return;
    }
    {
        DriverLock lock;
        pDev->hNetworkInterface = hItf;
    }
    BdUdpLog(LOG_INFO, ERR_OK,
             "Network interface: <ipaddress>%s</ipaddress>, subnetmask <subnetmask>%s</subnetmask>", szIp,
             szMask);
}

void RemoveInterface(RTS_I32 iSlot) {
    RTS_HANDLE hItf = RTS_INVALID_HANDLE;
    UDPDEVICEDESC copy;
    {
        DriverLock lock;
        UDPDEVICEDESC* pDev = &g_bdudp.pDevices[iSlot];
        if (!pDev->bValid) {
            return;
        }
        copy = *pDev;
        hItf = pDev->hNetworkInterface;
        pDev->bValid = 0;
        pDev->hNetworkInterface = RTS_INVALID_HANDLE;
        pDev->ulRecvSock = RTS_INVALID_HANDLE;
        pDev->ulBroadcastSock = RTS_INVALID_HANDLE;
    }
    if (hItf != RTS_INVALID_HANDLE && pfRouterUnregisterNetworkInterface != nullptr) {
        pfRouterUnregisterNetworkInterface(hItf);
    }
    CloseSockets(&copy);
}

bool SameAdapter(const UDPDEVICEDESC& dev, const SYS_ADAPTER_INFO& a) {
    return dev.pAdapterInfo != nullptr && strcmp(dev.AdapterInfo.szName, a.szName) == 0 &&
           dev.AdapterInfo.ulIpAddr == a.ulIpAddr;
}

RTS_RESULT SendDatagram(const UDPDEVICEDESC* pDev, RTS_UI32 ulIp, RTS_UI16 usPort,
                        const PROTOCOL_DATA_UNIT& pdu) {
    if (kLoopbackOnly && (ulIp >> 24) != 127) {
        return ERR_FAILED;
    }
    PFBDUDPSENDOBSERVER pfObserver = s_pfSendObserver.load();
    if (pfObserver != nullptr) {
        pfObserver(ulIp, usPort, pdu.ulCount);
    }
    SOCKADDRESS sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = SOCKET_AF_INET;
    sa.sin_addr = SysSockHtonl(ulIp);
    sa.sin_port = SysSockHtons(usPort);
    RTS_RESULT r = ERR_OK;
    RTS_SIZE n = SysSockSendTo(pDev->ulRecvSock, pdu.pData, pdu.ulCount, 0, &sa, sizeof(sa), &r);
    if (r == ERR_SOCK_WOULDBLOCK) {
        return ERR_NOBUFFER;
    }
    return r == ERR_OK && n == pdu.ulCount ? ERR_OK : ERR_FAILED;
}

}  // namespace

RTS_RESULT BdSend(RTS_HANDLE hInterface, NETWORKADDRESS addrReceiver, PROTOCOL_DATA_UNIT pduData) {
    if (g_bdudp.hLock.load() == RTS_INVALID_HANDLE) {
        return ERR_NOTINITIALIZED;
    }
    if (pduData.pData == nullptr || pduData.ulCount == 0 || pduData.ulCount > BDUDP_MAX_BLOCK_SIZE) {
        return ERR_PARAMETER;
    }
    DriverLock lock;
    RTS_I32 iSlot = HandleSlot(hInterface);
    if (iSlot < 0) {
        return ERR_PARAMETER;
    }
    const UDPDEVICEDESC* pDev = &g_bdudp.pDevices[iSlot];
    if (!pDev->bValid) {
        return ERR_FAILED;
    }
    RTS_BOOL bBroadcast = 0;
    RTS_UI32 ulIp = 0;
    RTS_I32 iPortIdx = 0;
    if (BdUdpParseNetworkAddress(pDev, &addrReceiver, &bBroadcast, &ulIp, &iPortIdx) != ERR_OK) {
        return ERR_PARAMETER;
    }
    if (!bBroadcast) {
        return SendDatagram(pDev, ulIp, static_cast<RTS_UI16>(BDUDP_BASE_PORT + iPortIdx), pduData);
    }
    RTS_RESULT rAll = ERR_FAILED;
    for (RTS_I32 i = 0; i < BDUDP_NUM_PORTS; ++i) {
        RTS_RESULT r =
            SendDatagram(pDev, pDev->ulBroadcastAddr, static_cast<RTS_UI16>(BDUDP_BASE_PORT + i), pduData);
        if (r == ERR_OK || (r == ERR_NOBUFFER && rAll != ERR_OK)) {
            rAll = r;
        }
    }
    return rAll;
}

void BdUdpCheckAdapters(bool bStartup) {
    if (g_bdudp.hLock.load() == RTS_INVALID_HANDLE || g_bdudp.pDevices == nullptr) {
        return;
    }
    SYS_ADAPTER_INFO aList[kMaxAdapters];
    int n = 0;
    if (SysSockGetAdapterList(aList, kMaxAdapters, &n) == ERR_FAILED) {
        return;
    }
    if (bStartup && g_bdudp.iSortOption == 1) {
        std::stable_sort(aList, aList + n, [](const SYS_ADAPTER_INFO& x, const SYS_ADAPTER_INFO& y) {
            return SysSockNtohl(x.ulIpAddr) < SysSockNtohl(y.ulIpAddr);
        });
    }
    // Interfaces whose adapter vanished (or went down) go first, so that
    // their slots are free for the ones that appeared.
    for (RTS_I32 i = 0; i < g_bdudp.nMaxInterfaces; ++i) {
        bool bValid = false;
        UDPDEVICEDESC dev;
        {
            DriverLock lock;
            bValid = g_bdudp.pDevices[i].bValid != 0;
            dev = g_bdudp.pDevices[i];
        }
        if (!bValid) {
            continue;
        }
        bool bPresent = false;
        for (int k = 0; k < n && !bPresent; ++k) {
            const BDUDP_ITFCONFIG* pCfg = nullptr;
            bPresent = SameAdapter(dev, aList[k]) && Selected(aList[k], &pCfg, false);
        }
        if (!bPresent) {
            RemoveInterface(i);
        }
    }
    for (int k = 0; k < n; ++k) {
        const BDUDP_ITFCONFIG* pCfg = nullptr;
        if (!Selected(aList[k], &pCfg, bStartup)) {
            continue;
        }
        bool bKnown = false;
        {
            DriverLock lock;
            for (RTS_I32 i = 0; i < g_bdudp.nMaxInterfaces && !bKnown; ++i) {
                bKnown = g_bdudp.pDevices[i].bValid && SameAdapter(g_bdudp.pDevices[i], aList[k]);
            }
        }
        if (!bKnown) {
            AddInterface(aList[k], pCfg);
        }
    }
}

void BdUdpCloseAll(void) {
    if (g_bdudp.pDevices == nullptr) {
        return;
    }
    for (RTS_I32 i = 0; i < g_bdudp.nMaxInterfaces; ++i) {
        RemoveInterface(i);
    }
}

RTS_UI32 BdUdpPass(RTS_UI32 ulWaitMs) {
    if (!g_bdudp.bStarted.load()) {
        return ulWaitMs;
    }
    std::unique_lock<std::mutex> pass(g_bdudp.passMutex, std::try_to_lock);
    if (!pass.owns_lock() || !g_bdudp.bStarted.load() || g_bdudp.pDevices == nullptr) {
        return ulWaitMs;
    }
    RTS_UI32 ulNow = SysTimeGetMs();
    if (SysTimeElapsedMs(ulNow, g_bdudp.ulLastAdapterCheck) >= g_bdudp.ulUpdateCycleMs) {
        g_bdudp.ulLastAdapterCheck = ulNow;
        BdUdpCheckAdapters(false);
    }
    struct Watched {
        RTS_I32 iSlot;
        RTS_HANDLE hSock;
    };
    Watched aWatched[2 * BDUDP_MAX_INTERFACES];
    int nWatched = 0;
    SOCKET_FD_SET set;
    SysSockFdZero(&set);
    {
        DriverLock lock;
        for (RTS_I32 i = 0; i < g_bdudp.nMaxInterfaces; ++i) {
            const UDPDEVICEDESC& d = g_bdudp.pDevices[i];
            if (!d.bValid || d.hNetworkInterface == RTS_INVALID_HANDLE) {
                continue;
            }
            for (RTS_HANDLE h : {d.ulRecvSock, d.ulBroadcastSock}) {
                if (h != RTS_INVALID_HANDLE && nWatched < 2 * BDUDP_MAX_INTERFACES) {
                    aWatched[nWatched++] = Watched{i, h};
                    SysSockFdSet(h, &set);
                }
            }
        }
    }
    if (nWatched == 0) {
        return ulWaitMs;
    }
    SOCKET_TIMEVAL tv{static_cast<RTS_I32>(ulWaitMs / 1000), static_cast<RTS_I32>((ulWaitMs % 1000) * 1000)};
    RTS_I32 nReady = 0;
    RTS_RESULT r = SysSockSelect(&set, nullptr, nullptr, &tv, &nReady);
    if (r == ERR_SOCK_TIMEDOUT) {
        return 0;
    }
    if (r != ERR_OK) {
        return 20;  // a failing wait must not turn into a busy loop
    }
    RTS_UI8 abyBuffer[BDUDP_RECV_BUFFER];
    for (int w = 0; w < nWatched; ++w) {
        if (!SysSockFdIsSet(aWatched[w].hSock, &set)) {
            continue;
        }
        for (int k = 0; k < kMaxDatagramsPerSocket; ++k) {
            SOCKADDRESS from;
            int iFromSize = sizeof(from);
            RTS_RESULT rr = ERR_OK;
            RTS_SIZE n =
                SysSockRecvFrom(aWatched[w].hSock, abyBuffer, sizeof(abyBuffer), 0, &from, &iFromSize, &rr);
            if (rr != ERR_OK) {
                break;
            }
            NETWORKADDRESS naSender;
            RTS_HANDLE hNetwork = RTS_INVALID_HANDLE;
            {
                DriverLock lock;
                const UDPDEVICEDESC& d = g_bdudp.pDevices[aWatched[w].iSlot];
                if (d.bValid &&
                    (d.ulRecvSock == aWatched[w].hSock || d.ulBroadcastSock == aWatched[w].hSock) &&
                    BdUdpAcceptSender(&d, SysSockNtohl(from.sin_addr), SysSockNtohs(from.sin_port),
                                      &naSender)) {
                    hNetwork = d.hNetworkInterface;
                }
            }
            if (hNetwork != RTS_INVALID_HANDLE && n > 0 && pfRouterHandleData != nullptr) {
                PROTOCOL_DATA_UNIT pdu{abyBuffer, static_cast<RTS_UI32>(n)};
                pfRouterHandleData(hNetwork, naSender, pdu, 0);
            }
        }
    }
    return 0;
}

void BdUdpSetSendObserver(PFBDUDPSENDOBSERVER pfObserver) {
    s_pfSendObserver = pfObserver;
}

RTS_I32 BdUdpGetInterfaces(UDPDEVICEDESC* pOut, RTS_I32 nMax) {
    if (g_bdudp.hLock.load() == RTS_INVALID_HANDLE || g_bdudp.pDevices == nullptr) {
        return 0;
    }
    DriverLock lock;
    RTS_I32 n = 0;
    for (RTS_I32 i = 0; i < g_bdudp.nMaxInterfaces; ++i) {
        if (g_bdudp.pDevices[i].bValid && n < nMax) {
            pOut[n] = g_bdudp.pDevices[i];
            pOut[n].pAdapterInfo = &pOut[n].AdapterInfo;
            ++n;
        }
    }
    return n;
}

RTS_I32 BdUdpLoopbackOnlyBuild(void) {
    return kLoopbackOnly ? 1 : 0;
}
