// A raw TCP peer on 127.0.0.1 for the driver's tests: it accepts the
// driver's connections and reads and writes exact bytes, with every wait
// bounded. Built on the platform's socket layer.
#pragma once

#include <cstdint>
#include <vector>

#include "CmpStd.h"

namespace tcptest {

using Bytes = std::vector<uint8_t>;

class TcpTestPeer {
public:
    // iReceiveBuffer > 0 shrinks the receive buffer of accepted connections.
    explicit TcpTestPeer(int iReceiveBuffer = 0);
    ~TcpTestPeer();
    TcpTestPeer(const TcpTestPeer&) = delete;
    TcpTestPeer& operator=(const TcpTestPeer&) = delete;
    uint16_t Port() const { return m_usPort; }
    // The peer's network address as the driver writes it: port, 127.0.0.1.
    Bytes NetAddr() const;
    // Waits for the next connection; a previous one is closed.
    bool Accept(unsigned ulTimeoutMs);
    int Accepted() const { return m_nAccepted; }
    bool ReadExact(size_t n, Bytes* pOut, unsigned ulTimeoutMs);
    // One frame: checks nothing, returns header and block apart.
    bool ReadFrame(Bytes* pHeader, Bytes* pBlock, unsigned ulTimeoutMs);
    bool Write(const Bytes& bytes);
    bool WriteBytewise(const Bytes& bytes, unsigned ulPauseUs);
    // True when the driver closed the connection within the time.
    bool WaitClosed(unsigned ulTimeoutMs);
    void CloseConnection();

private:
    RTS_HANDLE m_hListen = RTS_INVALID_HANDLE;
    RTS_HANDLE m_hConn = RTS_INVALID_HANDLE;
    uint16_t m_usPort = 0;
    int m_nAccepted = 0;
};

// A frame around a block, or any header the test wants.
Bytes Frame(uint32_t ulMagic, uint32_t ulSize, const Bytes& block);

}  // namespace tcptest
