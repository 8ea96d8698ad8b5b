// A raw TCP peer on 127.0.0.1 for the driver's tests (see TcpTestPeer.h).
#include "TcpTestPeer.h"

#include <chrono>
#include <cstring>

#include "SysSocket.h"
#include "SysTask.h"

namespace tcptest {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for one socket to become readable (or writable) within the deadline.
bool WaitReady(RTS_HANDLE h, bool bWrite, Clock::time_point deadline) {
    auto now = Clock::now();
    if (now >= deadline) {
        return false;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    SOCKET_FD_SET set;
    SysSockFdZero(&set);
    SysSockFdSet(h, &set);
    SOCKET_TIMEVAL tv{static_cast<RTS_I32>(ms / 1000), static_cast<RTS_I32>((ms % 1000) * 1000)};
    RTS_I32 n = 0;
    return SysSockSelect(bWrite ? nullptr : &set, bWrite ? &set : nullptr, nullptr, &tv, &n) == ERR_OK;
}

}  // namespace

TcpTestPeer::TcpTestPeer(int iReceiveBuffer) {
    RTS_RESULT r = ERR_OK;
    m_hListen = SysSockCreate(SOCKET_AF_INET, SOCKET_STREAM, SOCKET_IPPROTO_TCP, &r);
    if (iReceiveBuffer > 0) {
        SysSockSetOption(m_hListen, SOCKET_SOL, SOCKET_SO_RCVBUF, &iReceiveBuffer, sizeof(iReceiveBuffer));
    }
    SOCKADDRESS sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = SOCKET_AF_INET;
    SysSockInetAddr("127.0.0.1", &sa.sin_addr);
    SysSockBind(m_hListen, &sa, sizeof(sa));
    SysSockListen(m_hListen, 4);
    int iSize = sizeof(sa);
    SysSockGetSockName(m_hListen, &sa, &iSize);
    m_usPort = SysSockNtohs(sa.sin_port);
}

TcpTestPeer::~TcpTestPeer() {
    CloseConnection();
    if (m_hListen != RTS_INVALID_HANDLE) {
        SysSockClose(m_hListen);
    }
}

Bytes TcpTestPeer::NetAddr() const {
    return Bytes{static_cast<uint8_t>(m_usPort >> 8), static_cast<uint8_t>(m_usPort & 0xFF), 127, 0, 0, 1};
}

bool TcpTestPeer::Accept(unsigned ulTimeoutMs) {
    CloseConnection();
    if (!WaitReady(m_hListen, false, Clock::now() + std::chrono::milliseconds(ulTimeoutMs))) {
        return false;
    }
    RTS_RESULT r = ERR_OK;
    m_hConn = SysSockAccept(m_hListen, nullptr, nullptr, &r);
    if (m_hConn == RTS_INVALID_HANDLE) {
        return false;
    }
    ++m_nAccepted;
    return true;
}

bool TcpTestPeer::ReadExact(size_t n, Bytes* pOut, unsigned ulTimeoutMs) {
    pOut->assign(n, 0);
    size_t nHave = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    while (nHave < n) {
        if (m_hConn == RTS_INVALID_HANDLE || !WaitReady(m_hConn, false, deadline)) {
            return false;
        }
        RTS_RESULT r = ERR_OK;
        RTS_SIZE got = SysSockRecv(m_hConn, pOut->data() + nHave, n - nHave, 0, &r);
        if (r != ERR_OK || got == 0) {
            return false;
        }
        nHave += got;
    }
    return true;
}

bool TcpTestPeer::ReadFrame(Bytes* pHeader, Bytes* pBlock, unsigned ulTimeoutMs) {
    if (!ReadExact(8, pHeader, ulTimeoutMs)) {
        return false;
    }
    uint32_t ulSize = static_cast<uint32_t>((*pHeader)[4]) | (static_cast<uint32_t>((*pHeader)[5]) << 8) |
                      (static_cast<uint32_t>((*pHeader)[6]) << 16) |
                      (static_cast<uint32_t>((*pHeader)[7]) << 24);
    if (ulSize < 8 || ulSize > 520) {
        return false;
    }
    return ReadExact(ulSize - 8, pBlock, ulTimeoutMs);
}

bool TcpTestPeer::Write(const Bytes& bytes) {
    size_t nDone = 0;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (nDone < bytes.size()) {
        if (m_hConn == RTS_INVALID_HANDLE || !WaitReady(m_hConn, true, deadline)) {
            return false;
        }
        RTS_RESULT r = ERR_OK;
        RTS_SIZE n = SysSockSend(m_hConn, bytes.data() + nDone, bytes.size() - nDone, 0, &r);
        if (r != ERR_OK) {
            return false;
        }
        nDone += n;
    }
    return true;
}

bool TcpTestPeer::WriteBytewise(const Bytes& bytes, unsigned ulPauseUs) {
    int iOn = 1;
    SysSockSetOption(m_hConn, SOCKET_IPPROTO_TCP, SOCKET_TCP_NODELAY, &iOn, sizeof(iOn));
    for (uint8_t by : bytes) {
        if (!Write(Bytes{by})) {
            return false;
        }
        SysTaskWaitSleepUs(nullptr, ulPauseUs);
    }
    return true;
}

bool TcpTestPeer::WaitClosed(unsigned ulTimeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    uint8_t abyDiscard[4096];
    while (m_hConn != RTS_INVALID_HANDLE && WaitReady(m_hConn, false, deadline)) {
        RTS_RESULT r = ERR_OK;
        SysSockRecv(m_hConn, abyDiscard, sizeof(abyDiscard), 0, &r);
        if (r != ERR_OK) {
            return true;
        }
    }
    return false;
}

void TcpTestPeer::CloseConnection() {
    if (m_hConn != RTS_INVALID_HANDLE) {
        SysSockClose(m_hConn);
        m_hConn = RTS_INVALID_HANDLE;
    }
}

Bytes Frame(uint32_t ulMagic, uint32_t ulSize, const Bytes& block) {
    Bytes out(8);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(ulMagic >> (8 * i));
        out[4 + i] = static_cast<uint8_t>(ulSize >> (8 * i));
    }
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

}  // namespace tcptest
