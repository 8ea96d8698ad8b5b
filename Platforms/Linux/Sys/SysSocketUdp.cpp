// Datagram sockets and the adapter list of the platform layer.
#include "SysSocketUdp.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

RTS_RESULT SysSockGetAdapterList(SYS_ADAPTER_INFO* pList, int iMax, int* piCount) {
    if (piCount == nullptr || (pList == nullptr && iMax > 0) || iMax < 0) {
        return ERR_PARAMETER;
    }
    *piCount = 0;
    struct ifaddrs* pAll = nullptr;
    if (getifaddrs(&pAll) != 0) {
        return ERR_FAILED;
    }
    RTS_RESULT r = ERR_OK;
    for (struct ifaddrs* p = pAll; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET || p->ifa_name == nullptr) {
            continue;
        }
        if (*piCount >= iMax) {
            r = ERR_BUFFERSIZE;
            break;
        }
        SYS_ADAPTER_INFO& info = pList[*piCount];
        memset(&info, 0, sizeof(info));
        KlStrCopy(info.szName, sizeof(info.szName), p->ifa_name);
        info.ulIndex = if_nametoindex(p->ifa_name);
        info.ulIpAddr = reinterpret_cast<const struct sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
        if (p->ifa_netmask != nullptr && p->ifa_netmask->sa_family == AF_INET) {
            info.ulNetMask = reinterpret_cast<const struct sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr;
        }
        if ((p->ifa_flags & IFF_UP) != 0) {
            info.ulFlags |= SYS_ADAPTER_UP;
        }
        if ((p->ifa_flags & IFF_LOOPBACK) != 0) {
            info.ulFlags |= SYS_ADAPTER_LOOPBACK;
        }
        // ifa_broadaddr and ifa_dstaddr share their storage; the flags say which it is.
        if ((p->ifa_flags & (IFF_BROADCAST | IFF_POINTOPOINT)) != 0 && p->ifa_ifu.ifu_broadaddr != nullptr &&
            p->ifa_ifu.ifu_broadaddr->sa_family == AF_INET) {
            info.ulBroadcast =
                reinterpret_cast<const struct sockaddr_in*>(p->ifa_ifu.ifu_broadaddr)->sin_addr.s_addr;
            info.ulFlags |=
                (p->ifa_flags & IFF_POINTOPOINT) != 0 ? SYS_ADAPTER_POINTTOPOINT : SYS_ADAPTER_BROADCAST;
        }
        ++*piCount;
    }
    freeifaddrs(pAll);
    return r;
}

RTS_HANDLE SysSockUdpOpen(RTS_UI32 ulAddr, RTS_UI16 usPort, RTS_UI32 ulOptions, int iRecvBuffer,
                          RTS_RESULT* pResult) {
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h = SysSockCreate(SOCKET_AF_INET, SOCKET_DGRAM, SOCKET_IPPROTO_UDP, &r);
    if (h == RTS_INVALID_HANDLE) {
        if (pResult != nullptr) {
            *pResult = r != ERR_OK ? r : ERR_FAILED;
        }
        return RTS_INVALID_HANDLE;
    }
    int iOn = 1;
    if ((ulOptions & SYS_UDP_REUSEADDR) != 0) {
        r = SysSockSetOption(h, SOCKET_SOL, SOCKET_SO_REUSEADDR, &iOn, sizeof(iOn));
    }
    if (r == ERR_OK && (ulOptions & SYS_UDP_BROADCAST) != 0) {
        r = SysSockSetOption(h, SOCKET_SOL, SOCKET_SO_BROADCAST, &iOn, sizeof(iOn));
    }
    if (r == ERR_OK && iRecvBuffer > 0) {
        r = SysSockSetOption(h, SOCKET_SOL, SOCKET_SO_RCVBUF, &iRecvBuffer, sizeof(iRecvBuffer));
    }
    if (r == ERR_OK) {
        SOCKADDRESS sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = SOCKET_AF_INET;
        sa.sin_addr = ulAddr;
        sa.sin_port = SysSockHtons(usPort);
        r = SysSockBind(h, &sa, sizeof(sa));
    }
    if (r == ERR_OK && (ulOptions & SYS_UDP_NONBLOCKING) != 0) {
        r = SysSockIoctl(h, SOCKET_FIONBIO, &iOn);
    }
    if (pResult != nullptr) {
        *pResult = r;
    }
    if (r != ERR_OK) {
        SysSockClose(h);
        return RTS_INVALID_HANDLE;
    }
    return h;
}

int SysSockIsLoopbackAddr(RTS_UI32 ulAddr) {
    return (SysSockNtohl(ulAddr) >> 24) == 127 ? 1 : 0;
}
