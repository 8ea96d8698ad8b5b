// Internals of the channel manager shared between its files: the imported
// functions, the module settings, the lock and the transport functions.
//
// Lock order: the channel client's lock may be taken while the manager's is
// not held, never the other way round. Router sends, the CRC check of a
// received message and calls into the channel client run without the
// manager's lock; a channel stays alive across them through the reference
// its caller holds.
#pragma once

#include <atomic>

#include "CmpChannelClientItf.h"
#include "CmpChannelMgrItf.h"
#include "CmpChecksumItf.h"
#include "CmpLogItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"

namespace klchmgr {

extern PFRouterSend pfRouterSend;
extern PFRouterGetMaxMessageSize pfRouterGetMaxMessageSize;
extern PFCRC32Update pfCRC32Update;
extern PFCRC32Finish pfCRC32Finish;
extern PFSettgGetIntValue pfSettgGetIntValue;
extern PFLogAdd pfLogAdd;
extern PFNetClientGetChannel pfNetClientGetChannel;
extern PFNetClientReleaseChannel pfNetClientReleaseChannel;
extern PFNetClientForEachChannel pfNetClientForEachChannel;
extern PFNetClientMessageReceived pfNetClientMessageReceived;
extern PFNetClientChannelError pfNetClientChannelError;
extern PFNetClientHandleMetaResponse pfNetClientHandleMetaResponse;

struct ChannelMgrState {
    RTS_HANDLE hLock = RTS_INVALID_HANDLE;
    std::atomic<RTS_UI32> ulChannelTimeoutMs{CHMGR_CHANNEL_TIMEOUT_DEFAULT};
    std::atomic<RTS_UI32> ulPackageLogFilter{1};
    std::atomic<RTS_UI32> ulRtoPrintInterval{0xFFFFFFFFu};
    std::atomic<RTS_UI32> ulAckedBlocks{0};
    std::atomic<RTS_UI32> aulStats[7];
    // The communication cycle may still run while the runtime shuts down:
    // the exit hooks stop it from starting and wait for a running one.
    std::atomic<RTS_I32> nCyclesRunning{0};
    std::atomic<RTS_I32> bExiting{0};
};
extern ChannelMgrState g_chmgr;

enum ChMgrStat { ST_BLOCKS, ST_RETX, ST_ACKS, ST_KEEPALIVES, ST_DUPLICATES, ST_OUTOFORDER, ST_CHECKSUM };
inline void ChMgrCount(ChMgrStat s) {
    g_chmgr.aulStats[s].fetch_add(1);
}

// Takes the manager's lock for a scope; without a lock (before start-up) it
// does nothing.
class ChMgrLock {
public:
    ChMgrLock();
    ~ChMgrLock();
    ChMgrLock(const ChMgrLock&) = delete;
    ChMgrLock& operator=(const ChMgrLock&) = delete;
};

void ChMgrLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
bool ChMgrTrace(RTS_UI32 ulFilterBit);
RTS_UI32 ChMgrCrc32(const RTS_UI8* pData, RTS_SIZE size);

// ---- Transport (ChannelTransport.cpp) --------------------------------------------------------

// One send pass on the channel (skipped when another pass runs on it).
void SendNextBlocks(CHANNELBUFFER* pCh);
// Handles a data block, acknowledgement or keep-alive of an open channel
// (the caller checked the minimum sizes and holds a channel reference).
void HandleL4Data(CHANNELBUFFER* pCh, const RTS_UI8* pData, RTS_UI32 ulSize);
// One step of the congestion window after a data block was sent.
void UpdateWindowSize(CHANNELBUFFER* pCh, bool bRetransmission, RTS_UI32 ulNow);
// Cyclic check of one channel: time-out, then a send pass.
void CheckChannel(CHANNELBUFFER* pCh, void* pParam);

}  // namespace klchmgr
