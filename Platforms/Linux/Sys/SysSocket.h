// Sockets of the platform layer: thin wrappers over the BSD socket calls, the
// only place of the system that includes the OS socket headers. A socket is a
// handle (the descriptor at pointer width); addresses, option names and the
// socket sets of SysSockSelect are the layer's own, so that callers never see
// an OS structure. Every call reports its outcome as a result code; a
// non-blocking call that cannot finish now says so with ERR_SOCK_WOULDBLOCK
// (ERR_SOCK_INPROGRESS for a connect), never with a generic failure.
#pragma once

#include "CmpStd.h"

// Result codes of the socket layer.
#define ERR_SOCK_WOULDBLOCK 0x1201   /* non-blocking operation cannot complete now */
#define ERR_SOCK_INPROGRESS 0x1202   /* non-blocking connect started, not finished */
#define ERR_SOCK_CLOSED 0x1203       /* the peer closed the connection */
#define ERR_SOCK_TIMEDOUT 0x1204     /* select: nothing became ready in time */
#define ERR_SOCK_CONNREFUSED 0x1205  /* connect refused or reset by the peer */
#define ERR_SOCK_ADDRINUSE 0x1206    /* bind: address already in use */
#define ERR_SOCK_NOTCONNECTED 0x1207 /* operation needs a connected socket */
#define ERR_SOCK_HOSTNOTFOUND 0x1208 /* name could not be resolved */

// Address families, types and protocols.
#define SOCKET_AF_INET 2
#define SOCKET_STREAM 1
#define SOCKET_DGRAM 2
#define SOCKET_IPPROTO_IP 0
#define SOCKET_IPPROTO_TCP 6
#define SOCKET_IPPROTO_UDP 17

// Option levels and options (SysSockSetOption / SysSockGetOption).
#define SOCKET_SOL 0xFFFF
#define SOCKET_SO_REUSEADDR 0x0004
#define SOCKET_SO_KEEPALIVE 0x0008
#define SOCKET_SO_BROADCAST 0x0020
#define SOCKET_SO_SNDBUF 0x1001
#define SOCKET_SO_RCVBUF 0x1002
#define SOCKET_SO_ERROR 0x1007    /* get only: pending error as a socket result code (0 = none) */
#define SOCKET_TCP_NODELAY 0x0001 /* level SOCKET_IPPROTO_TCP */

// SysSockIoctl commands.
#define SOCKET_FIONBIO 1  /* *piParameter != 0: non-blocking mode */
#define SOCKET_FIONREAD 2 /* *piParameter: number of bytes readable now */

// SysSockShutdown
#define SOCKET_SD_RECEIVE 0
#define SOCKET_SD_SEND 1
#define SOCKET_SD_BOTH 2

// Addresses in network byte order.
#define SOCKET_INADDR_ANY 0x00000000u
#define SOCKET_INADDR_NONE 0xFFFFFFFFu

// IPv4 socket address; port and address in network byte order.
struct SOCKADDRESS {
    RTS_UI16 sin_family;
    RTS_UI16 sin_port;
    RTS_UI32 sin_addr;
    RTS_UI8 sin_zero[8];
};
static_assert(sizeof(SOCKADDRESS) == 16, "SOCKADDRESS layout");

// A set of sockets for SysSockSelect. It is bounded by its count, not by the
// value of a descriptor, so a high descriptor number can never write past it.
#define SOCKET_FD_SETSIZE 256
struct SOCKET_FD_SET {
    RTS_UI32 fd_count;
    RTS_HANDLE fd_array[SOCKET_FD_SETSIZE];
};

struct SOCKET_TIMEVAL {
    RTS_I32 tv_sec;
    RTS_I32 tv_usec;
};

void SysSockFdZero(SOCKET_FD_SET* pSet);
// ERR_NOBUFFER when the set is full; adding a member twice keeps one entry.
RTS_RESULT SysSockFdSet(RTS_HANDLE hSocket, SOCKET_FD_SET* pSet);
int SysSockFdIsSet(RTS_HANDLE hSocket, const SOCKET_FD_SET* pSet);

RTS_HANDLE SysSockCreate(int iAddressFamily, int diType, int diProtocol, RTS_RESULT* pResult);
RTS_RESULT SysSockClose(RTS_HANDLE hSocket);
RTS_RESULT SysSockSetOption(RTS_HANDLE hSocket, int iLevel, int iOption, const void* pOptionValue,
                            int iOptionLen);
RTS_RESULT SysSockGetOption(RTS_HANDLE hSocket, int iLevel, int iOption, void* pOptionValue,
                            int* piOptionLen);
RTS_RESULT SysSockIoctl(RTS_HANDLE hSocket, int iCommand, int* piParameter);
RTS_RESULT SysSockBind(RTS_HANDLE hSocket, const SOCKADDRESS* pSockAddr, int iSockAddrSize);
RTS_RESULT SysSockListen(RTS_HANDLE hSocket, int iMaxConnections);
// The accepted socket is blocking, whatever the listening socket's mode.
RTS_HANDLE SysSockAccept(RTS_HANDLE hSocket, SOCKADDRESS* pSockAddr, int* piSockAddrSize,
                         RTS_RESULT* pResult);
// On a non-blocking socket a connect that has started returns ERR_SOCK_INPROGRESS.
RTS_RESULT SysSockConnect(RTS_HANDLE hSocket, const SOCKADDRESS* pSockAddr, int iSockAddrSize);
RTS_RESULT SysSockGetSockName(RTS_HANDLE hSocket, SOCKADDRESS* pSockAddr, int* piSockAddrSize);
RTS_RESULT SysSockGetPeerName(RTS_HANDLE hSocket, SOCKADDRESS* pSockAddr, int* piSockAddrSize);
RTS_RESULT SysSockShutdown(RTS_HANDLE hSocket, int iHow);

// Waits up to the time-out (null: no limit) for a member of the read set to
// become readable, of the write set writable, or of the error set to fail.
// Each given set keeps only its ready members; *pnReady is their total.
// ERR_SOCK_TIMEDOUT when none became ready.
RTS_RESULT SysSockSelect(SOCKET_FD_SET* pfdRead, SOCKET_FD_SET* pfdWrite, SOCKET_FD_SET* pfdExcept,
                         const SOCKET_TIMEVAL* ptvTimeout, RTS_I32* pnReady);

// Byte counts transferred; 0 with the reason in *pResult otherwise. A peer's
// orderly close is ERR_SOCK_CLOSED. Sends never raise SIGPIPE.
RTS_SIZE SysSockRecv(RTS_HANDLE hSocket, void* pbyBuffer, RTS_SIZE ulBufferSize, int iFlags,
                     RTS_RESULT* pResult);
RTS_SIZE SysSockSend(RTS_HANDLE hSocket, const void* pbyBuffer, RTS_SIZE ulBufferSize, int iFlags,
                     RTS_RESULT* pResult);
RTS_SIZE SysSockRecvFrom(RTS_HANDLE hSocket, void* pbyBuffer, RTS_SIZE ulBufferSize, int iFlags,
                         SOCKADDRESS* pFrom, int* piFromSize, RTS_RESULT* pResult);
RTS_SIZE SysSockSendTo(RTS_HANDLE hSocket, const void* pbyBuffer, RTS_SIZE ulBufferSize, int iFlags,
                       const SOCKADDRESS* pTo, int iToSize, RTS_RESULT* pResult);

// Dotted IPv4 text to an address in network order; ERR_PARAMETER for
// anything else (also "255.255.255.255" is parsed, not taken as an error).
RTS_RESULT SysSockInetAddr(const char* pszAddress, RTS_UI32* pInAddr);
// Address in network order to dotted text; the buffer must hold 16 bytes.
RTS_RESULT SysSockInetNtoa(const RTS_UI32* pInAddr, char* pszAddress, int iAddressSize);
RTS_RESULT SysSockGetHostName(char* pszHostName, int iNameLength);
// The IPv4 addresses (network order) a host name resolves to, at most iMax.
RTS_RESULT SysSockGetHostByName(const char* pszHostName, RTS_UI32* pulAddresses, int iMax, int* piCount);

RTS_UI32 SysSockHtonl(RTS_UI32 ulHost);
RTS_UI32 SysSockNtohl(RTS_UI32 ulNet);
RTS_UI16 SysSockHtons(RTS_UI16 usHost);
RTS_UI16 SysSockNtohs(RTS_UI16 usNet);
