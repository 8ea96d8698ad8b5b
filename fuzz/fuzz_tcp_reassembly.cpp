// The TCP block driver's reassembly on arbitrary byte streams cut at
// arbitrary points. The first two input bytes seed the cut points, the rest
// is the stream. Every complete frame gets its addresses corrected and goes
// to the router, as on a connection; a bad header ends the "connection" and
// the rest of the stream starts a new one.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CMItf.h"
#include "CmpBlkDrvTcpPrivate.h"
#include "CmpChecksumItf.h"
#include "CmpMemPoolItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"

using namespace klbdtcp;

namespace {

volatile uint8_t g_sink = 0;

RTS_RESULT Layer4(RTS_HANDLE, RTS_HANDLE, RTS_UI8, RTS_UI8, PEERADDRESS, PEERADDRESS,
                  PROTOCOL_DATA_UNIT pduData, RTS_I32) {
    for (RTS_UI32 i = 0; i < pduData.ulCount; ++i) {
        g_sink = static_cast<uint8_t>(g_sink + pduData.pData[i]);
    }
    return ERR_OK;
}

PF_REGISTER_API s_pfRegister = nullptr;
RTS_RESULT HandlersExport() {
    s_pfRegister("ChannelMgrHandleData", reinterpret_cast<RTS_VOID_FCTPTR>(&Layer4), 0,
                 SIG_ChannelMgrHandleData);
    return ERR_OK;
}
RTS_RESULT HandlersEntry(INIT_STRUCT* p) {
    p->CmpId = 0x7E62;
    p->pfExportFunctions = HandlersExport;
    s_pfRegister = p->pfCMRegisterAPI;
    return ERR_OK;
}

struct Runtime {
    std::string dir;
    std::string file;
    Runtime() {
        char templ[] = "/tmp/fuzz_tcp.XXXXXX";
        const char* p = mkdtemp(templ);
        if (p == nullptr) {
            abort();
        }
        dir = p;
        file = dir + "/Kestrolink.ini";
        FILE* f = fopen(file.c_str(), "w");
        if (f == nullptr) {
            abort();
        }
        fputs("[CmpBlkDrvTcp]\nLocalAccessOnly=1\n", f);
        fclose(f);
        static const StaticComponent list[] = {{"CmpMemPool", CmpMemPool__Entry, 1},
                                               {"CmpSettings", CmpSettings__Entry, 1},
                                               {"CmpChecksum", CmpChecksum__Entry, 0},
                                               {"CmpRouter", CmpRouter__Entry, 0},
                                               {"CmpBlkDrvTcp", CmpBlkDrvTcp__Entry, 0},
                                               {"CmpFuzzHandlers", HandlersEntry, 0},
                                               {nullptr, nullptr, 0}};
        if (CMInit2(file.c_str(), list, 0) != ERR_OK || g_bdtcp.hInterface == RTS_INVALID_HANDLE) {
            abort();
        }
    }
    ~Runtime() {
        CMExit();
        unlink(file.c_str());
        rmdir(dir.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Runtime rt;
    if (size < 2) {
        return 0;
    }
    uint32_t ulRand = (static_cast<uint32_t>(data[0]) << 8 | data[1]) * 2654435761u + 1u;
    const uint8_t* pStream = data + 2;
    size_t nStream = size - 2;
    std::unique_ptr<TCPCONN> pConn(new TCPCONN());
    memset(pConn.get(), 0, sizeof(TCPCONN));
    pConn->PeerAddrTcpConn.nLength = 6;
    const uint8_t abyPeer[6] = {0x2D, 0xDC, 127, 0, 0, 1};
    memcpy(pConn->PeerAddrTcpConn.address, abyPeer, 6);
    size_t pos = 0;
    // Every round takes at least one byte of the stream.
    while (pos < nStream) {
        ulRand ^= ulRand << 13;
        ulRand ^= ulRand >> 17;
        ulRand ^= ulRand << 5;
        size_t nCut = 1 + ulRand % 64;
        size_t nMissing = BdTcpRxMissing(pConn.get());
        if (nMissing == 0 || nMissing > BDTCP_MAX_FRAME) {
            abort();  // a read would take nothing, or more than the buffer holds
        }
        size_t n = nCut < nMissing ? nCut : nMissing;
        n = n < nStream - pos ? n : nStream - pos;
        if (static_cast<size_t>(pConn->iNumReceived) + n > BDTCP_MAX_FRAME) {
            abort();
        }
        memcpy(pConn->msgBufferRx + pConn->iNumReceived, pStream + pos, n);
        pos += n;
        switch (BdTcpRxAdvance(pConn.get(), static_cast<RTS_UI32>(n))) {
            case BDTCP_RX_FRAME: {
                RTS_UI32 ulFrame = BdTcpGetU32LE(pConn->msgBufferRx + 4);
                pConn->iNumReceived = 0;
                if (BdTcpCorrectAdresses(pConn.get()) == ERR_OK) {
                    PROTOCOL_DATA_UNIT pdu{pConn->msgBufferRx + BDTCP_HEADER_SIZE,
                                           ulFrame - BDTCP_HEADER_SIZE};
                    RouterHandleData(g_bdtcp.hInterface, pConn->PeerAddrTcpConn, pdu, 0);
                }
                break;
            }
            case BDTCP_RX_BADMAGIC:
            case BDTCP_RX_BADLENGTH:
                pConn->iNumReceived = 0;
                break;
            case BDTCP_RX_INCOMPLETE:
                break;
        }
    }
    return 0;
}
