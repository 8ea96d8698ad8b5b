// The transport of one channel: cutting the request into numbered blocks,
// the send pass (retransmission, new blocks, acknowledgements, keep-alives),
// acknowledgements with the adaptive retransmission time-out, the congestion
// window with its freeze rule, and storing the peer's blocks in order or
// ahead of a gap until the response is complete.
//
// Block numbers of both directions count on across messages; the block
// table is shared by the two directions, which is safe because a channel is
// half-duplex: the peer's blocks are only taken outside send mode.
#include <cstdio>
#include <cstring>

#include "CmpChannelMgrPrivate.h"
#include "SysTime.h"

namespace klchmgr {
namespace {

enum PkgKind { PK_NONE, PK_NEW, PK_RETX, PK_ACK, PK_KEEPALIVE };

struct OutPkg {
    RTS_UI8 ab[L4_MAX_PACKAGE_SIZE];
    RTS_UI32 ulSize = 0;
    RTS_UI32 dwBlock = 0;
    RTS_UI32 dwAck = 0;
};

BLOCKINFO* Entry(CHANNELBUFFER* pCh, RTS_UI32 dwBlock) {
    return &ChBlockTable(pCh)[dwBlock & (pCh->wNumBlockBuffers - 1u)];
}

bool Later(RTS_UI32 a, RTS_UI32 b) {
    return static_cast<RTS_I32>(a - b) > 0;
}

void ClearTable(CHANNELBUFFER* pCh) {
    memset(ChBlockTable(pCh), 0, sizeof(BLOCKINFO) * pCh->wNumBlockBuffers);
}

// Builds a data block from the caller's message.
void BuildBlock(CHANNELBUFFER* pCh, const BLOCKINFO* pEntry, OutPkg* pOut) {
    const bool bFirst = pEntry->dwStartByte == 0;
    RTS_UI8* p = pOut->ab;
    p[0] = L4_PKG_DATA;
    p[1] = static_cast<RTS_UI8>(PTF_CLIENT | (bFirst ? PTF_FIRSTPACKAGE : 0));
    L4PutU16(p + 2, pCh->wChannelId);
    L4PutU32(p + 4, pEntry->dwBlockNr);
    L4PutU32(p + 8, pCh->recState.dwLastBlock);
    RTS_UI32 hdr = L4_DATA_HEADER_SIZE;
    if (bFirst) {
        L4PutU32(p + 12, pCh->sendState.dwMsgSize);
        L4PutU32(p + 16, pCh->sendState.dwMsgChecksum);
        hdr = L4_DATAFIRST_HEADER_SIZE;
    }
    memcpy(p + hdr, pCh->pSendBuffer + pEntry->dwStartByte, pEntry->wLength);
    pOut->ulSize = hdr + pEntry->wLength;
    pOut->dwBlock = pEntry->dwBlockNr;
    pOut->dwAck = pCh->recState.dwLastBlock;
}

bool AckDue(CHANNELBUFFER* pCh, RTS_UI32 ulNow) {
    const CHANNELRECEIVESTATE& r = pCh->recState;
    RTS_UI32 unacked = r.dwLastBlock - r.dwLastAck;
    if (unacked == 0 || unacked > 0x7FFFFFFFu) {
        return false;
    }
    if (unacked >= 2) {
        if (ChMgrTrace(CHMGR_LOG_ACK_COUNT)) {
            ChMgrLog(LOG_COM, ERR_OK, "Acknowledge due: %u blocks unacknowledged",
                     static_cast<unsigned>(unacked));
        }
        return true;
    }
    if (ulNow - Entry(pCh, r.dwLastBlock)->dwTimeStamp >= CHMGR_ACK_DELAY_MS) {
        if (ChMgrTrace(CHMGR_LOG_ACK_DELAY)) {
            ChMgrLog(LOG_COM, ERR_OK, "Acknowledge due: block %u waited %u ms",
                     static_cast<unsigned>(r.dwLastBlock), static_cast<unsigned>(CHMGR_ACK_DELAY_MS));
        }
        return true;
    }
    return false;
}

// Chooses the next package of a send pass (under the lock).
PkgKind Choose(CHANNELBUFFER* pCh, RTS_UI32 ulNow, OutPkg* pOut) {
    CHANNELSENDSTATE& s = pCh->sendState;
    if ((pCh->wFlags & CHF_SENDMODE) != 0 && pCh->pSendBuffer != nullptr) {
        if (s.dwNextAck != s.dwNextBlock) {
            BLOCKINFO* pOldest = Entry(pCh, s.dwNextAck);
            if (ulNow - pOldest->dwTimeStamp >= pCh->dwRTO) {
                pOldest->dwTimeStamp = ulNow;
                pOldest->wFlags |= BIF_RETRANSMITTED;
                BuildBlock(pCh, pOldest, pOut);
                return PK_RETX;
            }
        }
        if (s.dwNextBlock - s.dwNextAck < pCh->wCWnd && s.dwNextByte < s.dwMsgSize) {
            const RTS_UI32 hdr = s.dwNextByte == 0 ? L4_DATAFIRST_HEADER_SIZE : L4_DATA_HEADER_SIZE;
            RTS_UI32 len = s.dwMsgSize - s.dwNextByte;
            if (len > pCh->wMaxBlockSize - hdr) {
                len = pCh->wMaxBlockSize - hdr;
            }
            BLOCKINFO* pEntry = Entry(pCh, s.dwNextBlock);
            pEntry->dwTimeStamp = ulNow;
            pEntry->dwStartByte = s.dwNextByte;
            pEntry->dwBlockNr = s.dwNextBlock;
            pEntry->wLength = static_cast<RTS_UI16>(len);
            pEntry->wFlags = BIF_SENT;
            BuildBlock(pCh, pEntry, pOut);
            s.dwNextByte += len;
            s.dwNextBlock++;
            return PK_NEW;
        }
    }
    if (AckDue(pCh, ulNow)) {
        RTS_UI8* p = pOut->ab;
        p[0] = L4_PKG_ACKNOWLEDGE;
        p[1] = PTF_CLIENT;
        L4PutU16(p + 2, pCh->wChannelId);
        L4PutU32(p + 4, pCh->recState.dwLastBlock);
        pOut->ulSize = L4_ACKNOWLEDGE_SIZE;
        pOut->dwAck = pCh->recState.dwLastBlock;
        return PK_ACK;
    }
    if (ulNow - s.dwLastTime >= CHMGR_KEEPALIVE_MS) {
        RTS_UI8* p = pOut->ab;
        p[0] = L4_PKG_KEEPALIVE;
        p[1] = PTF_CLIENT;
        L4PutU16(p + 2, pCh->wChannelId);
        pOut->ulSize = L4_KEEPALIVE_SIZE;
        return PK_KEEPALIVE;
    }
    return PK_NONE;
}

}  // namespace

void UpdateWindowSize(CHANNELBUFFER* pCh, bool bRetransmission, RTS_UI32 ulNow) {
    if ((pCh->wFlags & CHF_FIXED_WINDOW) != 0) {
        return;
    }
    constexpr RTS_UI8 kFrozen = 3;
    if (pCh->wCWndCheckCount < 0xFF) {
        pCh->wCWndCheckCount++;
    }
    if (pCh->wGoodCWndCount == kFrozen && ulNow - pCh->dwCWndFreezeTime > CHMGR_CWND_FREEZE_MS) {
        pCh->wGoodCWndCount = 2;
        pCh->wCWndCheckCount = 0;
    }
    if (!bRetransmission) {
        if (pCh->wGoodCWndCount != kFrozen && pCh->wCWndCheckCount >= 3u * pCh->wCWnd) {
            pCh->wCWndCheckCount = 0;
            pCh->wLastCWnd = pCh->wCWnd;
            if (pCh->wCWnd < CHMGR_WINDOW_MAX) {
                pCh->wCWnd++;
            }
        }
        return;
    }
    if (pCh->wCWndCheckCount < pCh->wCWnd) {
        return;
    }
    pCh->wCWndCheckCount = 0;
    if (pCh->wGoodCWndCount == 2 && pCh->wLastCWnd == pCh->wGoodCWnd) {
        // Losses came twice at the same window: stay there for a while.
        pCh->wCWnd = pCh->wGoodCWnd;
        pCh->wGoodCWndCount = kFrozen;
        pCh->dwCWndFreezeTime = ulNow;
        return;
    }
    if (pCh->wGoodCWndCount == kFrozen || pCh->wLastCWnd == 1) {
        pCh->wGoodCWnd = 0;
        pCh->wGoodCWndCount = 0;
    } else if (pCh->wLastCWnd == pCh->wGoodCWnd) {
        pCh->wGoodCWndCount++;
    } else {
        pCh->wGoodCWnd = pCh->wLastCWnd;
        pCh->wGoodCWndCount = 1;
    }
    pCh->wLastCWnd = pCh->wCWnd;
    pCh->wCWnd = static_cast<RTS_UI16>((pCh->wCWnd + 1) / 2);
    if (pCh->wCWnd < 1) {
        pCh->wCWnd = 1;
    }
}

namespace {

void HandleAcknowledge(CHANNELBUFFER* pCh, RTS_UI32 dwAck, RTS_UI8 byFlags, RTS_UI32 ulNow) {
    CHANNELSENDSTATE& s = pCh->sendState;
    const RTS_UI32 outstanding = s.dwNextBlock - s.dwNextAck;
    if (dwAck - s.dwNextAck >= outstanding) {
        if ((byFlags & PTF_MISSINGPACKAGE) != 0 && !Later(s.dwNextBlock, dwAck)) {
            ChMgrLog(LOG_WARNING, ERR_OK,
                     "L4Base-HandleAcknowledge: Detected a 'missing package' request for an unsent package");
        }
        return;
    }
    BLOCKINFO* pAcked = Entry(pCh, dwAck);
    if ((pCh->wFlags & CHF_FIXED_RTO) == 0 && (pAcked->wFlags & BIF_RETRANSMITTED) == 0) {
        pCh->dwRTT = ulNow - pAcked->dwTimeStamp;
        if (pAcked->wLength * 4u >= pCh->wMaxBlockSize * 3u) {
            RTS_UI32 rto = ((pCh->dwRTO / 3) * 4 + pCh->dwRTT) / 5 * 3;
            pCh->dwRTO = rto < CHMGR_RTO_MIN ? CHMGR_RTO_MIN : (rto > CHMGR_RTO_MAX ? CHMGR_RTO_MAX : rto);
        }
    }
    RTS_UI32 ulInterval = g_chmgr.ulRtoPrintInterval.load();
    RTS_UI32 ulCount = g_chmgr.ulAckedBlocks.fetch_add(1) + 1;
    if (ulInterval != 0xFFFFFFFFu && ulInterval != 0 && ulCount % ulInterval == 0) {
        ChMgrLog(LOG_INFO, ERR_OK,
                 "# Received ACK for block <block>%d</block>: RTT <rtt>%d</rtt> ms, new RTO <rto>%d</rto> ms",
                 static_cast<int>(dwAck), static_cast<int>(pCh->dwRTT), static_cast<int>(pCh->dwRTO));
    }
    for (RTS_UI32 b = s.dwNextAck; b != dwAck + 1; ++b) {
        memset(Entry(pCh, b), 0, sizeof(BLOCKINFO));
    }
    s.dwNextAck = dwAck + 1;
    if (s.dwNextAck == s.dwNextBlock && pCh->pSendBuffer != nullptr && s.dwNextByte == s.dwMsgSize) {
        // The request is complete: the peer's turn to answer.
        pCh->wFlags &= static_cast<RTS_UI16>(~CHF_SENDMODE);
        pCh->pSendBuffer = nullptr;
        pCh->recState.dwNextByte = 0;
        pCh->recState.dwMsgSize = 0;
        pCh->recState.dwMsgChecksum = 0;
        ClearTable(pCh);
    }
}

const char* kInOrder = "L4Base-StoreInOrderDataChecked: ";

bool DropBlock(const char* pszFormat, RTS_UI32 a, RTS_UI32 b = 0) {
    char szText[160];
    snprintf(szText, sizeof(szText), pszFormat, static_cast<int>(a), static_cast<int>(b));
    ChMgrLog(LOG_WARNING, ERR_OK, "%s", szText);
    return false;
}

// Takes the next block in order; returns true when the message is complete.
bool StoreInOrder(CHANNELBUFFER* pCh, RTS_UI32 dwBlock, const RTS_UI8* p, RTS_UI32 ulSize, RTS_UI32 ulNow) {
    CHANNELRECEIVESTATE& r = pCh->recState;
    const bool bFirst = (p[1] & PTF_FIRSTPACKAGE) != 0;
    const bool bStarted = r.dwMsgSize != 0;
    RTS_UI32 hdr = L4_DATA_HEADER_SIZE;
    RTS_UI32 msgSize = r.dwMsgSize;
    char szFormat[200];
    if (!bStarted) {
        if (!bFirst) {
            snprintf(szFormat, sizeof(szFormat), "%s%s", kInOrder,
                     "Expected flag PTF_FIRSTPACKAGE not set for block nr <block>%d</block>");
            return DropBlock(szFormat, dwBlock);
        }
        if (ulSize < L4_DATAFIRST_HEADER_SIZE) {
            snprintf(szFormat, sizeof(szFormat), "%s%s", kInOrder,
                     "Invalid package size <size>%d</size> for the first package");
            return DropBlock(szFormat, ulSize);
        }
        msgSize = L4GetU32(p + 12);
        if (msgSize > pCh->dwCommBufferSize) {
            return DropBlock(
                "L4Base->StoreInOrderDataChecked: Message size <size>%d</size> exceeds communication buffer",
                msgSize);
        }
        if (msgSize == 0) {
            snprintf(szFormat, sizeof(szFormat), "%s%s", kInOrder,
                     "Invalid package size <size>%d</size> for the first package");
            return DropBlock(szFormat, ulSize);
        }
        hdr = L4_DATAFIRST_HEADER_SIZE;
    } else if (bFirst) {
        snprintf(szFormat, sizeof(szFormat), "%s%s", kInOrder,
                 "Unexpected flag PTF_FIRSTPACKAGE for block nr <block>%d<block>");
        return DropBlock(szFormat, dwBlock);
    }
    const RTS_UI32 len = ulSize - hdr;
    const RTS_UI32 full = pCh->wMaxBlockSize - hdr;
    if (len > full || (r.dwNextByte + len < msgSize && len != full)) {
        snprintf(szFormat, sizeof(szFormat), "%s%s", kInOrder,
                 "Block <block>%d</block> has wrong size <size>%d</size>");
        return DropBlock(szFormat, dwBlock, ulSize);
    }
    if (len > msgSize - r.dwNextByte) {
        snprintf(szFormat, sizeof(szFormat), "%s%s", kInOrder,
                 "Block <block>%d</block> exceeds message size <size>%d</size>");
        return DropBlock(szFormat, dwBlock, msgSize);
    }
    if (!bStarted) {
        r.dwMsgSize = msgSize;
        r.dwMsgChecksum = L4GetU32(p + 16);
    }
    RTS_UI8* pBuf = ChReceiveBuffer(pCh);
    memcpy(pBuf + r.dwNextByte, p + hdr, len);
    BLOCKINFO* pEntry = Entry(pCh, dwBlock);
    pEntry->dwTimeStamp = ulNow;
    pEntry->dwStartByte = r.dwNextByte;
    pEntry->dwBlockNr = dwBlock;
    pEntry->wLength = static_cast<RTS_UI16>(len);
    pEntry->wFlags = 0;
    r.dwNextByte += len;
    r.dwLastBlock = dwBlock;
    if (ChMgrTrace(CHMGR_LOG_INORDER)) {
        ChMgrLog(LOG_COM, ERR_OK, "Stored block %u in order (%u of %u bytes)", static_cast<unsigned>(dwBlock),
                 static_cast<unsigned>(r.dwNextByte), static_cast<unsigned>(r.dwMsgSize));
    }

    // Count in the blocks that arrived ahead of this one; their data already
    // sit at their computed places.
    RTS_UI32 earliest = ulNow;
    const RTS_UI32 fullLater = pCh->wMaxBlockSize - L4_DATA_HEADER_SIZE;
    while (r.dwNextByte < r.dwMsgSize) {
        BLOCKINFO* pNext = Entry(pCh, r.dwLastBlock + 1);
        if ((pNext->wFlags & BIF_OUTOFORDER) == 0 || pNext->dwBlockNr != r.dwLastBlock + 1) {
            break;
        }
        const RTS_UI32 nextLen = pNext->wLength;
        if (pNext->dwStartByte != r.dwNextByte) {
            ChMgrLog(LOG_ERROR, ERR_OK,
                     "%sFatal error - startbyte of out of order block overlaps with data of previous "
                     "received block",
                     kInOrder);
            memset(pNext, 0, sizeof(*pNext));
            break;
        }
        if (nextLen > r.dwMsgSize - r.dwNextByte ||
            (r.dwNextByte + nextLen < r.dwMsgSize && nextLen != fullLater)) {
            snprintf(szFormat, sizeof(szFormat), "%s%s", kInOrder,
                     "Block <block>%d</block> has wrong size <size>%d</size>");
            DropBlock(szFormat, pNext->dwBlockNr, nextLen + L4_DATA_HEADER_SIZE);
            memset(pNext, 0, sizeof(*pNext));
            break;
        }
        if (ulNow - pNext->dwTimeStamp > ulNow - earliest) {
            earliest = pNext->dwTimeStamp;
        }
        pNext->wFlags = 0;
        r.dwNextByte += nextLen;
        r.dwLastBlock++;
        if (ChMgrTrace(CHMGR_LOG_COMPACTION)) {
            ChMgrLog(LOG_COM, ERR_OK, "Merged block %u stored out of order",
                     static_cast<unsigned>(r.dwLastBlock));
        }
    }
    Entry(pCh, r.dwLastBlock)->dwTimeStamp = earliest;
    if (r.dwNextByte == r.dwMsgSize) {
        pCh->wFlags |= CHF_SENDMODE;
        return true;
    }
    return false;
}

void StoreOutOfOrder(CHANNELBUFFER* pCh, RTS_UI32 dwBlock, RTS_UI32 dwDistance, const RTS_UI8* p,
                     RTS_UI32 ulSize, RTS_UI32 ulNow) {
    CHANNELRECEIVESTATE& r = pCh->recState;
    if ((p[1] & PTF_FIRSTPACKAGE) != 0) {
        DropBlock(
            "L4Base-StoreInOrderDataChecked: Unexpected flag PTF_FIRSTPACKAGE for block nr <block>%d<block>",
            dwBlock);
        return;
    }
    const bool bStarted = r.dwMsgSize != 0;
    const RTS_UI32 len = ulSize - L4_DATA_HEADER_SIZE;
    const RTS_UI32 full = pCh->wMaxBlockSize - L4_DATA_HEADER_SIZE;
    if (len == 0 || len > full) {
        DropBlock("L4Base-StoreOutOfOrderDataChecked: Block <block>%d</block> has wrong size <size>%d</size>",
                  dwBlock, ulSize);
        return;
    }
    // The distance was checked against the window, so the product is small.
    RTS_UI64 pos = static_cast<RTS_UI64>(r.dwNextByte) + static_cast<RTS_UI64>(full) * (dwDistance - 1u);
    if (!bStarted) {
        pos -= L4_DATAFIRST_HEADER_SIZE - L4_DATA_HEADER_SIZE;
    }
    const RTS_UI64 limit = bStarted ? r.dwMsgSize : pCh->dwCommBufferSize;
    if (pos + len > limit) {
        DropBlock(
            "L4Base-StoreOutOfOrderDataChecked: Block <block>%d</block> data exceeds the channel buffer "
            "<size>%d</size>",
            dwBlock, static_cast<RTS_UI32>(limit));
        return;
    }
    if (bStarted && pos + len < r.dwMsgSize && len != full) {
        DropBlock("L4Base-StoreOutOfOrderDataChecked: Block <block>%d</block> has wrong size <size>%d</size>",
                  dwBlock, ulSize);
        return;
    }
    BLOCKINFO* pEntry = Entry(pCh, dwBlock);
    if ((pEntry->wFlags & BIF_OUTOFORDER) != 0 && pEntry->dwBlockNr == dwBlock) {
        ChMgrCount(ST_DUPLICATES);
        return;
    }
    memcpy(ChReceiveBuffer(pCh) + pos, p + L4_DATA_HEADER_SIZE, len);
    pEntry->dwTimeStamp = ulNow;
    pEntry->dwStartByte = static_cast<RTS_UI32>(pos);
    pEntry->dwBlockNr = dwBlock;
    pEntry->wLength = static_cast<RTS_UI16>(len);
    pEntry->wFlags = BIF_OUTOFORDER;
    ChMgrCount(ST_OUTOFORDER);
    if (ChMgrTrace(CHMGR_LOG_OUTOFORDER)) {
        ChMgrLog(LOG_COM, ERR_OK, "Stored block %u out of order at byte %u", static_cast<unsigned>(dwBlock),
                 static_cast<unsigned>(pos));
    }
}

// Returns true when the peer's message is complete.
bool HandleL4DataPackage(CHANNELBUFFER* pCh, const RTS_UI8* p, RTS_UI32 ulSize, RTS_UI32 ulNow) {
    CHANNELRECEIVESTATE& r = pCh->recState;
    const RTS_UI32 dwBlock = L4GetU32(p + 4);
    if (!Later(dwBlock, r.dwLastBlock)) {
        // Our acknowledgement got lost: send it again.
        r.dwLastAck = r.dwLastBlock - 1;
        ChMgrCount(ST_DUPLICATES);
        if (ChMgrTrace(CHMGR_LOG_DUPLICATES)) {
            ChMgrLog(LOG_COM, ERR_OK,
                     "Received duplicate of block <block>%d</block>, last ack=<lastack>%d</lastack>, "
                     "ts=<ts>%d</ts>",
                     static_cast<int>(dwBlock), static_cast<int>(r.dwLastAck), static_cast<int>(ulNow));
        }
        return false;
    }
    if ((pCh->wFlags & CHF_SENDMODE) != 0) {
        ChMgrLog(LOG_WARNING, ERR_OK,
                 "Received block <block>%d</block> while in sendmode. Dropping package. (Last "
                 "ack=<lastack>%d</lastack>, "
                 "ts=<ts>%d</ts>)",
                 static_cast<int>(dwBlock), static_cast<int>(r.dwLastAck), static_cast<int>(ulNow));
        return false;
    }
    // Unsigned distance, checked against the window before it is used to
    // place data: a forged block number cannot wrap back into the buffer.
    const RTS_UI32 dwDistance = dwBlock - r.dwLastBlock;
    if (dwDistance == 1) {
        return StoreInOrder(pCh, dwBlock, p, ulSize, ulNow);
    }
    if (dwDistance > pCh->wNumBlockBuffers - 1u) {
        ChMgrLog(LOG_WARNING, ERR_OK,
                 "L4Base-StoreOutOfOrderDataChecked: Sender exceeded window of <blocks>%d<blocks> "
                 "unacknowledged blocks",
                 static_cast<int>(pCh->wNumBlockBuffers - 1));
        return false;
    }
    StoreOutOfOrder(pCh, dwBlock, dwDistance, p, ulSize, ulNow);
    return false;
}

}  // namespace

void HandleL4Data(CHANNELBUFFER* pCh, const RTS_UI8* p, RTS_UI32 ulSize) {
    bool bComplete = false;
    RTS_UI8* pMsg = nullptr;
    RTS_UI32 ulMsgSize = 0;
    RTS_UI32 ulChecksum = 0;
    {
        ChMgrLock lock;
        const RTS_UI32 ulNow = SysTimeGetMs();
        pCh->recState.dwLastTime = ulNow;
        if (p[0] == L4_PKG_DATA) {
            HandleAcknowledge(pCh, L4GetU32(p + 8), p[1], ulNow);
            bComplete = HandleL4DataPackage(pCh, p, ulSize, ulNow);
        } else if (p[0] == L4_PKG_ACKNOWLEDGE) {
            HandleAcknowledge(pCh, L4GetU32(p + 4), p[1], ulNow);
        }
        if (bComplete) {
            pMsg = ChReceiveBuffer(pCh);
            ulMsgSize = pCh->recState.dwMsgSize;
            ulChecksum = pCh->recState.dwMsgChecksum;
        }
    }
    if (!bComplete) {
        return;
    }
    if (ChMgrCrc32(pMsg, ulMsgSize) == ulChecksum) {
        if (pfNetClientMessageReceived != nullptr) {
            PROTOCOL_DATA_UNIT msg{pMsg, ulMsgSize};
            pfNetClientMessageReceived(pCh, msg);
        }
    } else {
        ChMgrCount(ST_CHECKSUM);
        if (pfNetClientChannelError != nullptr) {
            pfNetClientChannelError(pCh, ERR_L4_CHECKSUM);
        }
    }
}

void SendNextBlocks(CHANNELBUFFER* pCh) {
    {
        ChMgrLock lock;
        if ((pCh->wFlags & CHF_SENDPASS) != 0) {
            return;
        }
        pCh->wFlags |= CHF_SENDPASS;
    }
    const RTS_UI32 ulStart = SysTimeGetMs();
    // Bounded twice: by the 2 ms of a pass and by a count that a window of
    // 15 blocks never reaches.
    for (int i = 0; i < 64; ++i) {
        OutPkg out;
        PkgKind kind = PK_NONE;
        PEERADDRESS peer;
        RTS_HANDLE hRouter = nullptr;
        {
            ChMgrLock lock;
            kind = Choose(pCh, SysTimeGetMs(), &out);
            peer = ChPeerAddress(pCh);
            hRouter = pCh->hRouter;
        }
        if (kind == PK_NONE) {
            break;
        }
        PROTOCOL_DATA_UNIT pdu{out.ab, out.ulSize};
        RTS_RESULT r = pfRouterSend != nullptr ? pfRouterSend(hRouter, peer, PID_LAYER4, 0, RPRIO_NORMAL, pdu)
                                               : ERR_NOTINITIALIZED;
        const RTS_UI32 ulNow = SysTimeGetMs();
        {
            ChMgrLock lock;
            if (r == ERR_OK) {
                pCh->sendState.dwLastTime = ulNow;
                if (kind != PK_KEEPALIVE) {
                    pCh->recState.dwLastAck = out.dwAck;
                }
                switch (kind) {
                    case PK_NEW:
                        ChMgrCount(ST_BLOCKS);
                        UpdateWindowSize(pCh, false, ulNow);
                        break;
                    case PK_RETX:
                        ChMgrCount(ST_RETX);
                        UpdateWindowSize(pCh, true, ulNow);
                        break;
                    case PK_ACK:
                        ChMgrCount(ST_ACKS);
                        break;
                    default:
                        ChMgrCount(ST_KEEPALIVES);
                        break;
                }
                if (ChMgrTrace(CHMGR_LOG_SENT)) {
                    ChMgrLog(LOG_COM, ERR_OK, "Sent package type %u, block %u, ack %u, %u bytes",
                             static_cast<unsigned>(out.ab[0]), static_cast<unsigned>(out.dwBlock),
                             static_cast<unsigned>(out.dwAck), static_cast<unsigned>(out.ulSize));
                }
            } else {
                // A new block the router could not take goes out in a later pass.
                if (kind == PK_NEW && pCh->sendState.dwNextBlock == out.dwBlock + 1) {
                    BLOCKINFO* pEntry = Entry(pCh, out.dwBlock);
                    pCh->sendState.dwNextByte = pEntry->dwStartByte;
                    pCh->sendState.dwNextBlock = out.dwBlock;
                    memset(pEntry, 0, sizeof(*pEntry));
                }
                if (r == ERR_NET_MSGTOOLARGE) {
                    ChMgrLog(LOG_ERROR, r, "L4Base-CheckSendBuffer: Router refused package (ERR_MSGSIZE)");
                }
            }
        }
        if (r != ERR_OK || kind != PK_NEW || ulNow - ulStart >= CHMGR_SEND_PASS_MS) {
            break;
        }
    }
    ChMgrLock lock;
    pCh->wFlags &= static_cast<RTS_UI16>(~CHF_SENDPASS);
}

void CheckChannel(CHANNELBUFFER* pCh, void* pParam) {
    (void)pParam;
    bool bTimeout = false;
    RTS_UI32 ulNow = 0;
    RTS_UI32 ulLast = 0;
    char szAddr[80];
    {
        ChMgrLock lock;
        ulNow = SysTimeGetMs();
        ulLast = pCh->recState.dwLastTime;
        bTimeout = ulNow - ulLast > g_chmgr.ulChannelTimeoutMs.load();
        if (bTimeout) {
            RTS_SIZE used = 0;
            szAddr[0] = '\0';
            for (RTS_UI32 i = 0; i < pCh->ucAddrPeerLen && i < MAX_NODE_ADDR_LEN; ++i) {
                int n = snprintf(szAddr + used, sizeof(szAddr) - used, "%s%02X%02X", i == 0 ? "" : ":",
                                 pCh->addrPeer[i].by[0], pCh->addrPeer[i].by[1]);
                if (n < 0 || used + static_cast<RTS_SIZE>(n) > 75) {
                    KlStrCopy(szAddr, sizeof(szAddr), "INVALID");
                    break;
                }
                used += static_cast<RTS_SIZE>(n);
            }
        }
    }
    if (bTimeout) {
        ChMgrLog(LOG_WARNING, ERR_L4_TIMEOUT,
                 "Channel timeout (<curtime>%u</curtime>, <lasttime>%u</lasttime>)",
                 static_cast<unsigned>(ulNow), static_cast<unsigned>(ulLast));
        ChMgrLog(LOG_WARNING, ERR_L4_TIMEOUT, "Closing connection to <address>%s</address>", szAddr);
        if (pfNetClientChannelError != nullptr) {
            pfNetClientChannelError(pCh, ERR_L4_TIMEOUT);
        }
        return;
    }
    SendNextBlocks(pCh);
}

}  // namespace klchmgr

using namespace klchmgr;

void ChannelMgrUpdateWindowSize(CHANNELBUFFER* pChBuffer, RTS_BOOL bRetransmission, RTS_UI32 ulNow) {
    UpdateWindowSize(pChBuffer, bRetransmission != 0, ulNow);
}

RTS_RESULT NetworkSendMessage(CHANNELBUFFER* pChBuffer, PROTOCOL_DATA_UNIT pduData) {
    if (pChBuffer == nullptr || pduData.pData == nullptr || pduData.ulCount == 0) {
        return ERR_PARAMETER;
    }
    const RTS_UI32 crc = ChMgrCrc32(pduData.pData, pduData.ulCount);
    {
        ChMgrLock lock;
        if ((pChBuffer->wFlags & CHF_SENDMODE) == 0 || pChBuffer->pSendBuffer != nullptr) {
            return ERR_L4_NOT_ALLOWED;
        }
        if (pduData.ulCount > pChBuffer->dwCommBufferSize) {
            return ERR_L4_MSG_TOO_LARGE;
        }
        pChBuffer->pSendBuffer = pduData.pData;
        pChBuffer->sendState.dwMsgSize = pduData.ulCount;
        pChBuffer->sendState.dwMsgChecksum = crc;
        pChBuffer->sendState.dwNextByte = 0;
        // The entry timed the delayed acknowledgement of the response; the
        // first block carries that acknowledgement and may need the entry.
        memset(Entry(pChBuffer, pChBuffer->recState.dwLastBlock), 0, sizeof(BLOCKINFO));
    }
    SendNextBlocks(pChBuffer);
    return ERR_OK;
}
