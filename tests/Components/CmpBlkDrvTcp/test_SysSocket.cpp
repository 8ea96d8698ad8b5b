// The platform's socket layer as the TCP driver uses it: bounded socket
// sets, select with time-outs, non-blocking reads and connects, the
// peer's close, and address text both ways.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "SysSocket.h"

namespace {

RTS_HANDLE Listener(SOCKADDRESS* pAddr) {
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE h = SysSockCreate(SOCKET_AF_INET, SOCKET_STREAM, SOCKET_IPPROTO_TCP, &r);
    memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sin_family = SOCKET_AF_INET;
    SysSockInetAddr("127.0.0.1", &pAddr->sin_addr);
    EXPECT_EQ(SysSockBind(h, pAddr, sizeof(*pAddr)), ERR_OK);
    EXPECT_EQ(SysSockListen(h, 2), ERR_OK);
    int iSize = sizeof(*pAddr);
    EXPECT_EQ(SysSockGetSockName(h, pAddr, &iSize), ERR_OK);
    return h;
}

TEST(SysSocket, SetsAddressesAndArguments) {
    SOCKET_FD_SET set;
    SysSockFdZero(&set);
    for (RTS_UINTPTR i = 0; i < SOCKET_FD_SETSIZE; ++i) {
        ASSERT_EQ(SysSockFdSet(reinterpret_cast<RTS_HANDLE>(i), &set), ERR_OK);
    }
    EXPECT_EQ(SysSockFdSet(reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>(5)), &set), ERR_OK)
        << "member twice";
    EXPECT_EQ(set.fd_count, static_cast<RTS_UI32>(SOCKET_FD_SETSIZE));
    EXPECT_EQ(SysSockFdSet(reinterpret_cast<RTS_HANDLE>(static_cast<RTS_UINTPTR>(9999)), &set), ERR_NOBUFFER);
    EXPECT_EQ(SysSockFdSet(RTS_INVALID_HANDLE, &set), ERR_PARAMETER);

    RTS_UI32 ul = 0;
    EXPECT_EQ(SysSockInetAddr("255.255.255.255", &ul), ERR_OK);
    EXPECT_EQ(ul, 0xFFFFFFFFu);
    EXPECT_EQ(SysSockInetAddr("1.2.3", &ul), ERR_PARAMETER);
    EXPECT_EQ(SysSockInetAddr("1.2.3.256", &ul), ERR_PARAMETER);
    ASSERT_EQ(SysSockInetAddr("192.168.10.20", &ul), ERR_OK);
    EXPECT_EQ(SysSockNtohl(ul), 0xC0A80A14u);
    char szSmall[8] = "xxxxxxx";
    EXPECT_EQ(SysSockInetNtoa(&ul, szSmall, sizeof(szSmall)), ERR_BUFFERSIZE);
    char sz[16];
    ASSERT_EQ(SysSockInetNtoa(&ul, sz, sizeof(sz)), ERR_OK);
    EXPECT_STREQ(sz, "192.168.10.20");
    EXPECT_EQ(SysSockClose(RTS_INVALID_HANDLE), ERR_PARAMETER);
    RTS_RESULT r = ERR_OK;
    EXPECT_EQ(SysSockCreate(99, SOCKET_STREAM, 0, &r), RTS_INVALID_HANDLE);
    EXPECT_EQ(r, ERR_PARAMETER);
}

TEST(SysSocket, NonBlockingConnectReadAndClose) {
    SOCKADDRESS addr;
    RTS_HANDLE hListen = Listener(&addr);
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hClient = SysSockCreate(SOCKET_AF_INET, SOCKET_STREAM, SOCKET_IPPROTO_TCP, &r);
    int iOn = 1;
    ASSERT_EQ(SysSockIoctl(hClient, SOCKET_FIONBIO, &iOn), ERR_OK);
    r = SysSockConnect(hClient, &addr, sizeof(addr));
    EXPECT_TRUE(r == ERR_OK || r == ERR_SOCK_INPROGRESS) << r;
    SOCKET_FD_SET wr;
    SysSockFdZero(&wr);
    SysSockFdSet(hClient, &wr);
    SOCKET_TIMEVAL tv{5, 0};
    RTS_I32 n = 0;
    ASSERT_EQ(SysSockSelect(nullptr, &wr, nullptr, &tv, &n), ERR_OK);
    int iError = -1;
    int iLen = sizeof(iError);
    ASSERT_EQ(SysSockGetOption(hClient, SOCKET_SOL, SOCKET_SO_ERROR, &iError, &iLen), ERR_OK);
    EXPECT_EQ(iError, 0);
    RTS_HANDLE hServer = SysSockAccept(hListen, nullptr, nullptr, &r);
    ASSERT_NE(hServer, RTS_INVALID_HANDLE);

    uint8_t aby[16];
    EXPECT_EQ(SysSockRecv(hClient, aby, sizeof(aby), 0, &r), 0u);
    EXPECT_EQ(r, ERR_SOCK_WOULDBLOCK);
    SOCKET_FD_SET rd;
    SysSockFdZero(&rd);
    SysSockFdSet(hClient, &rd);
    SOCKET_TIMEVAL shortWait{0, 20000};
    EXPECT_EQ(SysSockSelect(&rd, nullptr, nullptr, &shortWait, &n), ERR_SOCK_TIMEDOUT);
    EXPECT_EQ(rd.fd_count, 0u);

    ASSERT_EQ(SysSockSend(hServer, "abc", 3, 0, &r), 3u);
    SysSockFdSet(hClient, &rd);
    ASSERT_EQ(SysSockSelect(&rd, nullptr, nullptr, &tv, &n), ERR_OK);
    int iAvail = 0;
    ASSERT_EQ(SysSockIoctl(hClient, SOCKET_FIONREAD, &iAvail), ERR_OK);
    EXPECT_EQ(iAvail, 3);
    EXPECT_EQ(SysSockRecv(hClient, aby, sizeof(aby), 0, &r), 3u);

    SysSockClose(hServer);
    SysSockFdSet(hClient, &rd);
    ASSERT_EQ(SysSockSelect(&rd, nullptr, nullptr, &tv, &n), ERR_OK)
        << "a closed peer makes the socket readable";
    EXPECT_EQ(SysSockRecv(hClient, aby, sizeof(aby), 0, &r), 0u);
    EXPECT_EQ(r, ERR_SOCK_CLOSED);
    // Writing to a closed peer is an error, never a signal.
    for (int i = 0; i < 3 && r != ERR_SOCK_CONNREFUSED && r != ERR_SOCK_NOTCONNECTED; ++i) {
        SysSockSend(hClient, "x", 1, 0, &r);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(r == ERR_SOCK_CONNREFUSED || r == ERR_SOCK_NOTCONNECTED) << r;
    SysSockClose(hClient);
    SysSockClose(hListen);
}

}  // namespace
