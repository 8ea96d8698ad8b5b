// Linux implementation of the socket layer. Sockets are created close-on-exec
// (child processes of the system must not keep connections open), selects are
// made with poll() so that no descriptor number is limited by FD_SETSIZE, and
// sends pass MSG_NOSIGNAL so that a peer's reset never raises SIGPIPE.
#include "SysSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

bool ValidHandle(RTS_HANDLE h) {
    return h != RTS_INVALID_HANDLE && reinterpret_cast<RTS_UINTPTR>(h) <= static_cast<RTS_UINTPTR>(INT_MAX);
}

int Fd(RTS_HANDLE h) {
    return static_cast<int>(reinterpret_cast<RTS_UINTPTR>(h));
}

RTS_HANDLE HandleOf(int fd) {
    return reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>(fd));
}

RTS_RESULT FromErrno(int e) {
    switch (e) {
        case 0:
            return ERR_OK;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return ERR_SOCK_WOULDBLOCK;
        case EINPROGRESS:
        case EALREADY:
            return ERR_SOCK_INPROGRESS;
        case ECONNREFUSED:
        case ECONNRESET:
        case ECONNABORTED:
            return ERR_SOCK_CONNREFUSED;
        case EADDRINUSE:
            return ERR_SOCK_ADDRINUSE;
        case ENOTCONN:
        case EPIPE:
            return ERR_SOCK_NOTCONNECTED;
        case ETIMEDOUT:
            return ERR_SOCK_TIMEDOUT;
        case EBADF:
        case EINVAL:
        case ENOTSOCK:
        case EFAULT:
            return ERR_PARAMETER;
        case ENOMEM:
        case ENOBUFS:
            return ERR_NOMEMORY;
        default:
            return ERR_FAILED;
    }
}

void SetResult(RTS_RESULT* pResult, RTS_RESULT r) {
    if (pResult != nullptr) {
        *pResult = r;
    }
}

bool MapOption(int iLevel, int iOption, int* piLevel, int* piOption) {
    if (iLevel == SOCKET_SOL) {
        *piLevel = SOL_SOCKET;
        switch (iOption) {
            case SOCKET_SO_REUSEADDR:
                *piOption = SO_REUSEADDR;
                return true;
            case SOCKET_SO_KEEPALIVE:
                *piOption = SO_KEEPALIVE;
                return true;
            case SOCKET_SO_BROADCAST:
                *piOption = SO_BROADCAST;
                return true;
            case SOCKET_SO_SNDBUF:
                *piOption = SO_SNDBUF;
                return true;
            case SOCKET_SO_RCVBUF:
                *piOption = SO_RCVBUF;
                return true;
            case SOCKET_SO_ERROR:
                *piOption = SO_ERROR;
                return true;
            default:
                return false;
        }
    }
    if (iLevel == SOCKET_IPPROTO_TCP && iOption == SOCKET_TCP_NODELAY) {
        *piLevel = IPPROTO_TCP;
        *piOption = TCP_NODELAY;
        return true;
    }
    return false;
}

void ToOs(const SOCKADDRESS* p, struct sockaddr_in* pOs) {
    memset(pOs, 0, sizeof(*pOs));
    pOs->sin_family = AF_INET;
    pOs->sin_port = p->sin_port;
    pOs->sin_addr.s_addr = p->sin_addr;
}

void FromOs(const struct sockaddr_in* pOs, SOCKADDRESS* p) {
    memset(p, 0, sizeof(*p));
    p->sin_family = SOCKET_AF_INET;
    p->sin_port = pOs->sin_port;
    p->sin_addr = pOs->sin_addr.s_addr;
}

bool AddrArgs(const SOCKADDRESS* pSockAddr, int iSockAddrSize) {
    return pSockAddr != nullptr && iSockAddrSize >= static_cast<int>(sizeof(SOCKADDRESS)) &&
           pSockAddr->sin_family == SOCKET_AF_INET;
}

int MsgFlags(int iFlags) {
    // The layer passes no flags of its own yet; only the peek flag is known.
    return (iFlags & 0x2) != 0 ? MSG_PEEK : 0;
}

using NameFn = int (*)(int, struct sockaddr*, socklen_t*);
RTS_RESULT GetName(NameFn fn, RTS_HANDLE hSocket, SOCKADDRESS* pSockAddr, int* piSockAddrSize) {
    if (!ValidHandle(hSocket) || pSockAddr == nullptr || piSockAddrSize == nullptr ||
        *piSockAddrSize < static_cast<int>(sizeof(SOCKADDRESS))) {
        return ERR_PARAMETER;
    }
    struct sockaddr_in sa;
    socklen_t len = sizeof(sa);
    if (fn(Fd(hSocket), reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) {
        return FromErrno(errno);
    }
    if (sa.sin_family != AF_INET) {
        return ERR_NOT_SUPPORTED;
    }
    FromOs(&sa, pSockAddr);
    *piSockAddrSize = static_cast<int>(sizeof(SOCKADDRESS));
    return ERR_OK;
}

}  // namespace

void SysSockFdZero(SOCKET_FD_SET* pSet) {
    if (pSet != nullptr) {
        pSet->fd_count = 0;
    }
}

RTS_RESULT SysSockFdSet(RTS_HANDLE hSocket, SOCKET_FD_SET* pSet) {
    if (pSet == nullptr || !ValidHandle(hSocket)) {
        return ERR_PARAMETER;
    }
    if (pSet->fd_count > SOCKET_FD_SETSIZE) {
        return ERR_PARAMETER;
    }
    if (SysSockFdIsSet(hSocket, pSet)) {
        return ERR_OK;
    }
    if (pSet->fd_count == SOCKET_FD_SETSIZE) {
        return ERR_NOBUFFER;
    }
    pSet->fd_array[pSet->fd_count++] = hSocket;
    return ERR_OK;
}

int SysSockFdIsSet(RTS_HANDLE hSocket, const SOCKET_FD_SET* pSet) {
    if (pSet == nullptr) {
        return 0;
    }
    RTS_UI32 n = pSet->fd_count < SOCKET_FD_SETSIZE ? pSet->fd_count : SOCKET_FD_SETSIZE;
    for (RTS_UI32 i = 0; i < n; ++i) {
        if (pSet->fd_array[i] == hSocket) {
            return 1;
        }
    }
    return 0;
}

RTS_HANDLE SysSockCreate(int iAddressFamily, int diType, int diProtocol, RTS_RESULT* pResult) {
    if (iAddressFamily != SOCKET_AF_INET || (diType != SOCKET_STREAM && diType != SOCKET_DGRAM)) {
        SetResult(pResult, ERR_PARAMETER);
        return RTS_INVALID_HANDLE;
    }
    int type = (diType == SOCKET_STREAM ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC;
    int proto = 0;
    if (diProtocol == SOCKET_IPPROTO_TCP) {
        proto = IPPROTO_TCP;
    } else if (diProtocol == SOCKET_IPPROTO_UDP) {
        proto = IPPROTO_UDP;
    }
    int fd = socket(AF_INET, type, proto);
    if (fd < 0) {
        SetResult(pResult, FromErrno(errno));
        return RTS_INVALID_HANDLE;
    }
    SetResult(pResult, ERR_OK);
    return HandleOf(fd);
}

RTS_RESULT SysSockClose(RTS_HANDLE hSocket) {
    if (!ValidHandle(hSocket)) {
        return ERR_PARAMETER;
    }
    // close() releases the descriptor even when it reports EINTR: never retry.
    return close(Fd(hSocket)) == 0 || errno == EINTR ? ERR_OK : FromErrno(errno);
}

RTS_RESULT SysSockSetOption(RTS_HANDLE hSocket, int iLevel, int iOption, const void* pOptionValue,
                            int iOptionLen) {
    int level = 0;
    int option = 0;
    if (!ValidHandle(hSocket) || pOptionValue == nullptr || iOptionLen < 1 ||
        !MapOption(iLevel, iOption, &level, &option) || option == SO_ERROR) {
        return ERR_PARAMETER;
    }
    if (setsockopt(Fd(hSocket), level, option, pOptionValue, static_cast<socklen_t>(iOptionLen)) != 0) {
        return FromErrno(errno);
    }
    return ERR_OK;
}

RTS_RESULT SysSockGetOption(RTS_HANDLE hSocket, int iLevel, int iOption, void* pOptionValue,
                            int* piOptionLen) {
    int level = 0;
    int option = 0;
    if (!ValidHandle(hSocket) || pOptionValue == nullptr || piOptionLen == nullptr ||
        *piOptionLen < static_cast<int>(sizeof(int)) || !MapOption(iLevel, iOption, &level, &option)) {
        return ERR_PARAMETER;
    }
    int value = 0;
    socklen_t len = sizeof(value);
    if (getsockopt(Fd(hSocket), level, option, &value, &len) != 0) {
        return FromErrno(errno);
    }
    if (option == SO_ERROR) {
        value = static_cast<int>(FromErrno(value));
    }
    memcpy(pOptionValue, &value, sizeof(value));
    *piOptionLen = static_cast<int>(sizeof(value));
    return ERR_OK;
}

RTS_RESULT SysSockIoctl(RTS_HANDLE hSocket, int iCommand, int* piParameter) {
    if (!ValidHandle(hSocket) || piParameter == nullptr) {
        return ERR_PARAMETER;
    }
    int fd = Fd(hSocket);
    if (iCommand == SOCKET_FIONBIO) {
        int flags = fcntl(fd, F_GETFL, 0);
        if (flags < 0) {
            return FromErrno(errno);
        }
        flags = *piParameter != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        return fcntl(fd, F_SETFL, flags) == 0 ? ERR_OK : FromErrno(errno);
    }
    if (iCommand == SOCKET_FIONREAD) {
        int n = 0;
        if (ioctl(fd, FIONREAD, &n) != 0) {
            return FromErrno(errno);
        }
        *piParameter = n < 0 ? 0 : n;
        return ERR_OK;
    }
    return ERR_PARAMETER;
}

RTS_RESULT SysSockBind(RTS_HANDLE hSocket, const SOCKADDRESS* pSockAddr, int iSockAddrSize) {
    if (!ValidHandle(hSocket) || !AddrArgs(pSockAddr, iSockAddrSize)) {
        return ERR_PARAMETER;
    }
    struct sockaddr_in sa;
    ToOs(pSockAddr, &sa);
    if (bind(Fd(hSocket), reinterpret_cast<const struct sockaddr*>(&sa), sizeof(sa)) != 0) {
        return FromErrno(errno);
    }
    return ERR_OK;
}

RTS_RESULT SysSockListen(RTS_HANDLE hSocket, int iMaxConnections) {
    if (!ValidHandle(hSocket) || iMaxConnections < 1) {
        return ERR_PARAMETER;
    }
    return listen(Fd(hSocket), iMaxConnections) == 0 ? ERR_OK : FromErrno(errno);
}

RTS_HANDLE SysSockAccept(RTS_HANDLE hSocket, SOCKADDRESS* pSockAddr, int* piSockAddrSize,
                         RTS_RESULT* pResult) {
    if (!ValidHandle(hSocket) ||
        (pSockAddr != nullptr &&
         (piSockAddrSize == nullptr || *piSockAddrSize < static_cast<int>(sizeof(SOCKADDRESS))))) {
        SetResult(pResult, ERR_PARAMETER);
        return RTS_INVALID_HANDLE;
    }
    struct sockaddr_in sa;
    socklen_t len = sizeof(sa);
    int fd = accept4(Fd(hSocket), reinterpret_cast<struct sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        SetResult(pResult, FromErrno(errno));
        return RTS_INVALID_HANDLE;
    }
    if (pSockAddr != nullptr) {
        FromOs(&sa, pSockAddr);
        *piSockAddrSize = static_cast<int>(sizeof(SOCKADDRESS));
    }
    SetResult(pResult, ERR_OK);
    return HandleOf(fd);
}

RTS_RESULT SysSockConnect(RTS_HANDLE hSocket, const SOCKADDRESS* pSockAddr, int iSockAddrSize) {
    if (!ValidHandle(hSocket) || !AddrArgs(pSockAddr, iSockAddrSize)) {
        return ERR_PARAMETER;
    }
    struct sockaddr_in sa;
    ToOs(pSockAddr, &sa);
    if (connect(Fd(hSocket), reinterpret_cast<const struct sockaddr*>(&sa), sizeof(sa)) != 0) {
        // An interrupted connect goes on in the background like a non-blocking one.
        return errno == EINTR ? ERR_SOCK_INPROGRESS : FromErrno(errno);
    }
    return ERR_OK;
}

RTS_RESULT SysSockGetSockName(RTS_HANDLE hSocket, SOCKADDRESS* pSockAddr, int* piSockAddrSize) {
    return GetName(getsockname, hSocket, pSockAddr, piSockAddrSize);
}

RTS_RESULT SysSockGetPeerName(RTS_HANDLE hSocket, SOCKADDRESS* pSockAddr, int* piSockAddrSize) {
    return GetName(getpeername, hSocket, pSockAddr, piSockAddrSize);
}

RTS_RESULT SysSockShutdown(RTS_HANDLE hSocket, int iHow) {
    if (!ValidHandle(hSocket)) {
        return ERR_PARAMETER;
    }
    int how = iHow == SOCKET_SD_RECEIVE ? SHUT_RD : (iHow == SOCKET_SD_SEND ? SHUT_WR : SHUT_RDWR);
    return shutdown(Fd(hSocket), how) == 0 ? ERR_OK : FromErrno(errno);
}

RTS_RESULT SysSockSelect(SOCKET_FD_SET* pfdRead, SOCKET_FD_SET* pfdWrite, SOCKET_FD_SET* pfdExcept,
                         const SOCKET_TIMEVAL* ptvTimeout, RTS_I32* pnReady) {
    SOCKET_FD_SET* apSets[3] = {pfdRead, pfdWrite, pfdExcept};
    const short aEvents[3] = {POLLIN, POLLOUT, 0};
    struct pollfd aPoll[3 * SOCKET_FD_SETSIZE];
    nfds_t n = 0;
    for (int s = 0; s < 3; ++s) {
        SOCKET_FD_SET* pSet = apSets[s];
        if (pSet == nullptr) {
            continue;
        }
        if (pSet->fd_count > SOCKET_FD_SETSIZE) {
            return ERR_PARAMETER;
        }
        for (RTS_UI32 i = 0; i < pSet->fd_count; ++i) {
            if (!ValidHandle(pSet->fd_array[i])) {
                return ERR_PARAMETER;
            }
            aPoll[n].fd = Fd(pSet->fd_array[i]);
            aPoll[n].events = aEvents[s];
            aPoll[n].revents = 0;
            ++n;
        }
    }
    int timeoutMs = -1;
    if (ptvTimeout != nullptr) {
        if (ptvTimeout->tv_sec < 0 || ptvTimeout->tv_usec < 0) {
            return ERR_PARAMETER;
        }
        long long ms = static_cast<long long>(ptvTimeout->tv_sec) * 1000 + (ptvTimeout->tv_usec + 999) / 1000;
        timeoutMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }
    int rc = 0;
    do {
        rc = poll(aPoll, n, timeoutMs);
    } while (rc < 0 && errno == EINTR && timeoutMs == 0);
    if (rc < 0) {
        return errno == EINTR ? ERR_SOCK_TIMEDOUT : FromErrno(errno);
    }
    RTS_I32 nReady = 0;
    nfds_t k = 0;
    for (int s = 0; s < 3; ++s) {
        SOCKET_FD_SET* pSet = apSets[s];
        if (pSet == nullptr) {
            continue;
        }
        RTS_UI32 keep = 0;
        for (RTS_UI32 i = 0; i < pSet->fd_count; ++i, ++k) {
            short re = aPoll[k].revents;
            bool bReady = false;
            if (s == 0) {
                // A closed or failed socket is readable: the read reports why.
                bReady = (re & (POLLIN | POLLHUP | POLLERR)) != 0;
            } else if (s == 1) {
                bReady = (re & (POLLOUT | POLLERR | POLLHUP)) != 0;
            } else {
                bReady = (re & (POLLERR | POLLNVAL)) != 0;
            }
            if (bReady) {
                pSet->fd_array[keep++] = pSet->fd_array[i];
            }
        }
        pSet->fd_count = keep;
        nReady += static_cast<RTS_I32>(keep);
    }
    if (pnReady != nullptr) {
        *pnReady = nReady;
    }
    return nReady > 0 ? ERR_OK : ERR_SOCK_TIMEDOUT;
}

RTS_SIZE SysSockRecv(RTS_HANDLE hSocket, void* pbyBuffer, RTS_SIZE ulBufferSize, int iFlags,
                     RTS_RESULT* pResult) {
    if (!ValidHandle(hSocket) || (pbyBuffer == nullptr && ulBufferSize > 0)) {
        SetResult(pResult, ERR_PARAMETER);
        return 0;
    }
    if (ulBufferSize == 0) {
        SetResult(pResult, ERR_OK);
        return 0;
    }
    ssize_t n = 0;
    do {
        n = recv(Fd(hSocket), pbyBuffer, ulBufferSize, MsgFlags(iFlags));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetResult(pResult, FromErrno(errno));
        return 0;
    }
    SetResult(pResult, n == 0 ? ERR_SOCK_CLOSED : ERR_OK);
    return static_cast<RTS_SIZE>(n);
}

RTS_SIZE SysSockSend(RTS_HANDLE hSocket, const void* pbyBuffer, RTS_SIZE ulBufferSize, int iFlags,
                     RTS_RESULT* pResult) {
    (void)iFlags;
    if (!ValidHandle(hSocket) || (pbyBuffer == nullptr && ulBufferSize > 0)) {
        SetResult(pResult, ERR_PARAMETER);
        return 0;
    }
    ssize_t n = 0;
    do {
        n = send(Fd(hSocket), pbyBuffer, ulBufferSize, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetResult(pResult, FromErrno(errno));
        return 0;
    }
    SetResult(pResult, ERR_OK);
    return static_cast<RTS_SIZE>(n);
}

RTS_SIZE SysSockRecvFrom(RTS_HANDLE hSocket, void* pbyBuffer, RTS_SIZE ulBufferSize, int iFlags,
                         SOCKADDRESS* pFrom, int* piFromSize, RTS_RESULT* pResult) {
    if (!ValidHandle(hSocket) || pbyBuffer == nullptr ||
        (pFrom != nullptr &&
         (piFromSize == nullptr || *piFromSize < static_cast<int>(sizeof(SOCKADDRESS))))) {
        SetResult(pResult, ERR_PARAMETER);
        return 0;
    }
    struct sockaddr_in sa;
    socklen_t len = sizeof(sa);
    ssize_t n = 0;
    do {
        n = recvfrom(Fd(hSocket), pbyBuffer, ulBufferSize, MsgFlags(iFlags),
                     reinterpret_cast<struct sockaddr*>(&sa), &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetResult(pResult, FromErrno(errno));
        return 0;
    }
    if (pFrom != nullptr) {
        FromOs(&sa, pFrom);
        *piFromSize = static_cast<int>(sizeof(SOCKADDRESS));
    }
    SetResult(pResult, ERR_OK);
    return static_cast<RTS_SIZE>(n);
}

RTS_SIZE SysSockSendTo(RTS_HANDLE hSocket, const void* pbyBuffer, RTS_SIZE ulBufferSize, int iFlags,
                       const SOCKADDRESS* pTo, int iToSize, RTS_RESULT* pResult) {
    (void)iFlags;
    if (!ValidHandle(hSocket) || (pbyBuffer == nullptr && ulBufferSize > 0) || !AddrArgs(pTo, iToSize)) {
        SetResult(pResult, ERR_PARAMETER);
        return 0;
    }
    struct sockaddr_in sa;
    ToOs(pTo, &sa);
    ssize_t n = 0;
    do {
        n = sendto(Fd(hSocket), pbyBuffer, ulBufferSize, MSG_NOSIGNAL,
                   reinterpret_cast<const struct sockaddr*>(&sa), sizeof(sa));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetResult(pResult, FromErrno(errno));
        return 0;
    }
    SetResult(pResult, ERR_OK);
    return static_cast<RTS_SIZE>(n);
}

RTS_RESULT SysSockInetAddr(const char* pszAddress, RTS_UI32* pInAddr) {
    if (pszAddress == nullptr || pInAddr == nullptr) {
        return ERR_PARAMETER;
    }
    struct in_addr a;
    if (inet_pton(AF_INET, pszAddress, &a) != 1) {
        return ERR_PARAMETER;
    }
    *pInAddr = a.s_addr;
    return ERR_OK;
}

RTS_RESULT SysSockInetNtoa(const RTS_UI32* pInAddr, char* pszAddress, int iAddressSize) {
    if (pInAddr == nullptr || pszAddress == nullptr || iAddressSize < INET_ADDRSTRLEN) {
        return pszAddress != nullptr && iAddressSize > 0 ? ERR_BUFFERSIZE : ERR_PARAMETER;
    }
    struct in_addr a;
    a.s_addr = *pInAddr;
    return inet_ntop(AF_INET, &a, pszAddress, static_cast<socklen_t>(iAddressSize)) != nullptr ? ERR_OK
                                                                                               : ERR_FAILED;
}

RTS_RESULT SysSockGetHostName(char* pszHostName, int iNameLength) {
    if (pszHostName == nullptr || iNameLength < 1) {
        return ERR_PARAMETER;
    }
    char szName[256];
    if (gethostname(szName, sizeof(szName)) != 0) {
        pszHostName[0] = '\0';
        return FromErrno(errno);
    }
    szName[sizeof(szName) - 1] = '\0';
    return KlStrCopy(pszHostName, static_cast<RTS_SIZE>(iNameLength), szName);
}

RTS_RESULT SysSockGetHostByName(const char* pszHostName, RTS_UI32* pulAddresses, int iMax, int* piCount) {
    if (pszHostName == nullptr || pulAddresses == nullptr || iMax < 1 || piCount == nullptr) {
        return ERR_PARAMETER;
    }
    *piCount = 0;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* pList = nullptr;
    if (getaddrinfo(pszHostName, nullptr, &hints, &pList) != 0 || pList == nullptr) {
        return ERR_SOCK_HOSTNOTFOUND;
    }
    int n = 0;
    for (struct addrinfo* p = pList; p != nullptr && n < iMax; p = p->ai_next) {
        if (p->ai_family != AF_INET || p->ai_addr == nullptr || p->ai_addrlen < sizeof(struct sockaddr_in)) {
            continue;
        }
        struct sockaddr_in sa;
        memcpy(&sa, p->ai_addr, sizeof(sa));
        bool bDuplicate = false;
        for (int i = 0; i < n; ++i) {
            bDuplicate = bDuplicate || pulAddresses[i] == sa.sin_addr.s_addr;
        }
        if (!bDuplicate) {
            pulAddresses[n++] = sa.sin_addr.s_addr;
        }
    }
    freeaddrinfo(pList);
    *piCount = n;
    return n > 0 ? ERR_OK : ERR_SOCK_HOSTNOTFOUND;
}

RTS_UI32 SysSockHtonl(RTS_UI32 ulHost) {
    return htonl(ulHost);
}
RTS_UI32 SysSockNtohl(RTS_UI32 ulNet) {
    return ntohl(ulNet);
}
RTS_UI16 SysSockHtons(RTS_UI16 usHost) {
    return htons(usHost);
}
RTS_UI16 SysSockNtohs(RTS_UI16 usNet) {
    return ntohs(usNet);
}
