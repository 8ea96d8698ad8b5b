// Test support for the UDP block driver (see UdpTestRuntime.h).
#include "UdpTestRuntime.h"

#include <chrono>
#include <cstring>

#include "CmpBlkDrvTcpItf.h"
#include "CmpBlkDrvUdpItf.h"
#include "CmpChecksumItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpNameServiceClientItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"
#include "SysSocketUdp.h"

namespace udptest {

bool PortsFree(std::string* pWhy) {
    RTS_UI32 ulLoopback = SysSockHtonl(0x7F000001u);
    for (uint16_t p = 1740; p < 1744; ++p) {
        RTS_RESULT r = ERR_OK;
        RTS_HANDLE h = SysSockUdpOpen(ulLoopback, p, 0, 0, &r);
        if (h == RTS_INVALID_HANDLE) {
            *pWhy = "UDP port " + std::to_string(p) + " on 127.0.0.1 is held by another program (result " +
                    std::to_string(r) + "); the test needs 1740..1743 free";
            return false;
        }
        SysSockClose(h);
    }
    return true;
}

std::string BaseSettings(const std::string& udpLines) {
    return "[CmpLog]\nLogger.0.Name=PlcLog\nLogger.0.MaxEntries=5000\n"
           "[CmpBlkDrvTcp]\nLocalAccessOnly=1\n"
           "[CmpBlkDrvUdp]\nUseOnlyAdapters=lo\n" +
           udpLines;
}

StackRuntime::StackRuntime(const Options& options) {
    std::string file = m_dir.File("Kestrolink.ini");
    kltest::WriteFile(file, BaseSettings(options.udpSettings) + options.settings);
    std::vector<StaticComponent> list = {
        {"CmpMemPool", CmpMemPool__Entry, 1}, {"CmpSettings", CmpSettings__Entry, 1},
        {"CmpLog", CmpLog__Entry, 1},         {"CmpChecksum", CmpChecksum__Entry, 0},
        {"CmpRouter", CmpRouter__Entry, 0},
    };
    if (options.bTcp) {
        list.push_back({"CmpBlkDrvTcp", CmpBlkDrvTcp__Entry, 0});
    }
    if (options.bUdp) {
        list.push_back({"CmpBlkDrvUdp", CmpBlkDrvUdp__Entry, 0});
    }
    if (options.bNameService) {
        list.push_back({"CmpNameServiceClient", CmpNameServiceClient__Entry, 0});
    }
    list.push_back({nullptr, nullptr, 0});
    // The manager keeps the list while it runs.
    static std::vector<StaticComponent> s_list;
    s_list = list;
    m_bStarted = CMInit2(file.c_str(), s_list.data(), 0) == ERR_OK;
    if (m_bStarted) {
        m_cycle = std::thread([this] {
            while (!m_bStop.load()) {
                CMCallHook(CH_COMM_CYCLE, 0, 0, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
}

StackRuntime::~StackRuntime() {
    Stop();
}

void StackRuntime::Stop() {
    m_bStop = true;
    if (m_cycle.joinable()) {
        m_cycle.join();
    }
    if (CMIsRunning()) {
        CMExit();
    }
}

bool StackRuntime::HasLog(const std::string& text) const {
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hLog = LogOpen(LOG_STD_LOGGER_NAME, &r);
    if (hLog == RTS_INVALID_HANDLE || r != ERR_OK) {
        return false;
    }
    RTS_I32 iIndex = 0;
    LogEntry e;
    int nMax = 100000;
    for (RTS_RESULT w = LogGetFirstEntry(hLog, &iIndex, &e); w == ERR_OK && nMax-- > 0;
         w = LogGetNextEntry(hLog, &iIndex, &e)) {
        if (std::string(e.szInfo, strnlen(e.szInfo, sizeof(e.szInfo))).find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

UdpPeer::UdpPeer(uint16_t usPort) {
    RTS_RESULT r = ERR_OK;
    m_h = SysSockUdpOpen(SysSockHtonl(0x7F000001u), usPort, SYS_UDP_NONBLOCKING, 0, &r);
    if (m_h != RTS_INVALID_HANDLE) {
        SOCKADDRESS sa;
        int iSize = sizeof(sa);
        SysSockGetSockName(m_h, &sa, &iSize);
        m_usPort = SysSockNtohs(sa.sin_port);
    }
}

UdpPeer::~UdpPeer() {
    if (m_h != RTS_INVALID_HANDLE) {
        SysSockClose(m_h);
    }
}

bool UdpPeer::SendTo(const Bytes& data, uint16_t usPort, const char* pszAddr) {
    SOCKADDRESS sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = SOCKET_AF_INET;
    sa.sin_port = SysSockHtons(usPort);
    if (SysSockInetAddr(pszAddr, &sa.sin_addr) != ERR_OK || !SysSockIsLoopbackAddr(sa.sin_addr)) {
        return false;  // these tests talk to loopback only
    }
    RTS_RESULT r = ERR_OK;
    SysSockSendTo(m_h, data.data(), data.size(), 0, &sa, sizeof(sa), &r);
    return r == ERR_OK;
}

bool UdpPeer::Receive(Bytes* pData, uint16_t* pusFromPort, unsigned ulTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    uint8_t buf[2048];
    while (std::chrono::steady_clock::now() < deadline) {
        SOCKADDRESS from;
        int iSize = sizeof(from);
        RTS_RESULT r = ERR_OK;
        RTS_SIZE n = SysSockRecvFrom(m_h, buf, sizeof(buf), 0, &from, &iSize, &r);
        if (r == ERR_OK) {
            pData->assign(buf, buf + n);
            *pusFromPort = SysSockNtohs(from.sin_port);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

Bytes Pkg::Build() const {
    Bytes out;
    unsigned nWords = bBroadcastHeader ? 4 : 3;
    out.push_back(0xC5);
    out.push_back(static_cast<uint8_t>((15u << 3) | nWords));
    out.push_back(0x40);  // priority normal
    out.push_back(byService);
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(((sender.size() / 2) << 4) | (receiver.size() / 2)));
    if (bBroadcastHeader) {
        out.push_back(0x12);
        out.push_back(0x34);
    }
    out.insert(out.end(), receiver.begin(), receiver.end());
    out.insert(out.end(), sender.begin(), sender.end());
    if (out.size() % 4 != 0) {
        out.push_back(0);
        out.push_back(0);
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

bool ParsePkg(const Bytes& b, Pkg* pPkg, unsigned* pnHeaderWords) {
    if (b.size() < 6 || b.size() > 512 || b[0] != 0xC5 || (b[1] & 7) < 3) {
        return false;
    }
    unsigned nWords = b[1] & 7u;
    size_t nR = 2u * (b[5] & 0x0Fu);
    size_t nS = 2u * (b[5] >> 4);
    size_t pos = 2u * nWords;
    if (pos + nR + nS > b.size()) {
        return false;
    }
    pPkg->bBroadcastHeader = nWords == 4;
    pPkg->byService = b[3];
    pPkg->receiver.assign(b.begin() + pos, b.begin() + pos + nR);
    pPkg->sender.assign(b.begin() + pos + nR, b.begin() + pos + nR + nS);
    pos += nR + nS;
    if (pos % 4 != 0) {
        pos += 2;
    }
    if (pos > b.size()) {
        return false;
    }
    pPkg->data.assign(b.begin() + pos, b.end());
    *pnHeaderWords = nWords;
    return true;
}

}  // namespace udptest
