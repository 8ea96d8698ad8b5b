// The channel manager component: its shape (entry, exports, imports, hooks),
// the settings, channel set-up and sizes, status, meta package sending and
// the router's layer-4 entry. The transport of blocks lives in
// ChannelTransport.cpp.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "CMItf.h"
#include "CmpChannelMgrPrivate.h"
#include "SysSem.h"
#include "SysTask.h"
#include "SysTime.h"

namespace klchmgr {
PFRouterSend pfRouterSend = nullptr;
PFRouterGetMaxMessageSize pfRouterGetMaxMessageSize = nullptr;
PFCRC32Update pfCRC32Update = nullptr;
PFCRC32Finish pfCRC32Finish = nullptr;
PFSettgGetIntValue pfSettgGetIntValue = nullptr;
PFLogAdd pfLogAdd = nullptr;
PFNetClientGetChannel pfNetClientGetChannel = nullptr;
PFNetClientReleaseChannel pfNetClientReleaseChannel = nullptr;
PFNetClientForEachChannel pfNetClientForEachChannel = nullptr;
PFNetClientMessageReceived pfNetClientMessageReceived = nullptr;
PFNetClientChannelError pfNetClientChannelError = nullptr;
PFNetClientHandleMetaResponse pfNetClientHandleMetaResponse = nullptr;

ChannelMgrState g_chmgr;
}  // namespace klchmgr

using namespace klchmgr;

namespace {

constexpr const char* kCmpName = "CmpChannelMgr";
constexpr RTS_UI32 kExitWaitMs = 2000;

PF_REGISTER_API s_pfCMRegisterAPI = nullptr;
PF_GET_API s_pfCMGetAPI = nullptr;
PF_GET_API2 s_pfCMGetAPI2 = nullptr;

// *pbSet tells whether the key is present.
RTS_I32 SettingInt(const char* pszKey, RTS_I32 iDefault, bool* pbSet = nullptr) {
    return SettgReadInt(pfSettgGetIntValue, kCmpName, pszKey, iDefault, pbSet);
}

void ReadStartupSettings() {
    bool bSet = false;
    RTS_I32 timeout = SettingInt(CHMGRKEY_INT_CHANNELTIMEOUTMS, CHMGR_CHANNEL_TIMEOUT_DEFAULT, &bSet);
    if (bSet) {
        if (timeout < CHMGR_CHANNEL_TIMEOUT_MIN || timeout > CHMGR_CHANNEL_TIMEOUT_MAX) {
            ChMgrLog(LOG_WARNING, ERR_PARAMETER,
                     "Invalid configuration of channel timeout. Using default of <timeout>%d</timeout> ms",
                     static_cast<int>(CHMGR_CHANNEL_TIMEOUT_DEFAULT));
            timeout = CHMGR_CHANNEL_TIMEOUT_DEFAULT;
        } else {
            ChMgrLog(LOG_INFO, ERR_OK, "Setting custom channel timeout to <timeout>%d</timeout> ms",
                     static_cast<int>(timeout));
        }
    }
    g_chmgr.ulChannelTimeoutMs = static_cast<RTS_UI32>(timeout);
    g_chmgr.ulPackageLogFilter = static_cast<RTS_UI32>(SettingInt(CHMGRKEY_INT_PACKAGELOGFILTER, 1));
    ChMgrLog(LOG_INFO, ERR_OK, "Running as network client");
}

// Block count rounded up to a power of 2 (at least 2); 0 when it would not
// fit the 16-bit table size.
RTS_UI32 BlockCountFor(RTS_UI64 ullMsgSize, RTS_UI32 ulPayload) {
    RTS_UI64 blocks = (ullMsgSize + ulPayload - 1) / ulPayload;
    RTS_UI32 n = 2;
    while (n < blocks) {
        n *= 2;
        if (n > 0x8000u) {
            return 0;
        }
    }
    return n;
}

}  // namespace

// ---- Shared helpers ---------------------------------------------------------------------------

namespace klchmgr {

ChMgrLock::ChMgrLock() {
    if (g_chmgr.hLock != RTS_INVALID_HANDLE) {
        SysSemEnter(g_chmgr.hLock);
    }
}

ChMgrLock::~ChMgrLock() {
    if (g_chmgr.hLock != RTS_INVALID_HANDLE) {
        SysSemLeave(g_chmgr.hLock);
    }
}

void ChMgrLog(RTS_UI32 ulClass, RTS_RESULT iError, const char* pszFormat, ...) {
    PFLogAdd pfLog = pfLogAdd;
    if (pfLog == nullptr) {
        return;
    }
    char szText[LOG_INFO_LEN];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    pfLog(nullptr, CMPID_CmpChannelMgr, ulClass, iError, 0, "%s", szText);
}

bool ChMgrTrace(RTS_UI32 ulFilterBit) {
    return (g_chmgr.ulPackageLogFilter.load() & ulFilterBit) != 0;
}

RTS_UI32 ChMgrCrc32(const RTS_UI8* pData, RTS_SIZE size) {
    if (pfCRC32Update == nullptr || pfCRC32Finish == nullptr) {
        return 0;
    }
    return pfCRC32Finish(pfCRC32Update(CRC32_INIT, pData, size));
}

}  // namespace klchmgr

RTS_UI32 ChannelMgrGetCommBufferSize(RTS_UI32 dwSize, RTS_UI16 wMaxBlockSize, RTS_UI16* pwNumBlocks) {
    if (pwNumBlocks != nullptr) {
        *pwNumBlocks = 0;
    }
    if (wMaxBlockSize <= L4_DATAFIRST_HEADER_SIZE) {
        return 0;
    }
    const RTS_UI64 payload = wMaxBlockSize - L4_DATAFIRST_HEADER_SIZE;
    RTS_UI64 best = 0;
    RTS_UI32 bestN = 0;
    for (RTS_UI32 n = 2; n <= 0x8000u; n *= 2) {
        RTS_UI64 overhead = 16ull * n + CHANNELBUFFER_HEADER_SIZE;
        if (dwSize < overhead) {
            break;
        }
        RTS_UI64 v = dwSize - overhead;
        if (v > n * payload) {
            v = n * payload;
        }
        if (v <= best) {
            break;
        }
        best = v;
        bestN = n;
    }
    if (pwNumBlocks != nullptr) {
        *pwNumBlocks = static_cast<RTS_UI16>(bestN);
    }
    return static_cast<RTS_UI32>(best);
}

void ChannelMgrGetStats(CHANNELMGRSTATS* pStats) {
    if (pStats == nullptr) {
        return;
    }
    pStats->ulBlocksSent = g_chmgr.aulStats[ST_BLOCKS].load();
    pStats->ulRetransmissions = g_chmgr.aulStats[ST_RETX].load();
    pStats->ulAcksSent = g_chmgr.aulStats[ST_ACKS].load();
    pStats->ulKeepAlivesSent = g_chmgr.aulStats[ST_KEEPALIVES].load();
    pStats->ulDuplicates = g_chmgr.aulStats[ST_DUPLICATES].load();
    pStats->ulOutOfOrder = g_chmgr.aulStats[ST_OUTOFORDER].load();
    pStats->ulChecksumErrors = g_chmgr.aulStats[ST_CHECKSUM].load();
}

// ---- Exported operations ----------------------------------------------------------------------

RTS_UI32 NetworkGetChBufferSize(RTS_UI32 dwCommBufferSize, RTS_UI16 wMaxBlockSize) {
    if (wMaxBlockSize <= L4_DATAFIRST_HEADER_SIZE) {
        return 0;
    }
    RTS_UI32 n = BlockCountFor(dwCommBufferSize, wMaxBlockSize - L4_DATAFIRST_HEADER_SIZE);
    if (n == 0) {
        return 0;
    }
    RTS_UI64 total = 16ull * n + CHANNELBUFFER_HEADER_SIZE + dwCommBufferSize;
    return total > 0xFFFFFFFFull ? 0 : static_cast<RTS_UI32>(total);
}

RTS_UI32 NetworkInitChannelBuffer2(CHANNELBUFFER* pChBuffer, RTS_UI32 dwSize, RTS_HANDLE hRouter,
                                   PEERADDRESS addrPeer, RTS_UI16 wChannelId, RTS_UI32 dwCommBufferSize,
                                   RTS_BOOL bServer, RTS_UI16 wMaxBlockSize) {
    if (pChBuffer == nullptr) {
        return 0;
    }
    if ((reinterpret_cast<RTS_UINTPTR>(pChBuffer) & 3u) != 0) {
        ChMgrLog(
            LOG_ERROR, ERR_PARAMETER,
            "pChBuffer not aligned on a <boundary>%d</boundary> boundary. Refusing to create the channel", 4);
        return 0;
    }
    if (addrPeer.nLength > MAX_NODE_ADDR_LEN || (addrPeer.nLength > 0 && addrPeer.pAddress == nullptr) ||
        dwSize < CHANNELBUFFER_HEADER_SIZE) {
        return 0;
    }
    if (wMaxBlockSize == 0) {
        if (pfRouterGetMaxMessageSize == nullptr ||
            pfRouterGetMaxMessageSize(hRouter, addrPeer, &wMaxBlockSize) != ERR_OK) {
            return 0;
        }
    }
    // A block must carry at least one byte behind the first-block header;
    // a smaller one would leave no payload (and underflow the sizes below).
    if (wMaxBlockSize <= L4_DATAFIRST_HEADER_SIZE || wMaxBlockSize > L4_MAX_PACKAGE_SIZE) {
        return 0;
    }
    RTS_UI16 wNumBlocks = 0;
    RTS_UI32 size = ChannelMgrGetCommBufferSize(dwSize, wMaxBlockSize, &wNumBlocks);
    if (size == 0) {
        return 0;
    }
    if (size > dwCommBufferSize) {
        size = dwCommBufferSize;
    }
    RTS_UI32 ulNow = SysTimeGetMs();
    bool bFixedWindow = false;
    bool bFixedRto = false;
    RTS_I32 window = SettingInt(CHMGRKEY_INT_WINDOWSIZE, CHMGR_WINDOW_DEFAULT, &bFixedWindow);
    RTS_I32 rto =
        SettingInt(CHMGRKEY_INT_RETRANSMISSIONTIMEOUT, static_cast<RTS_I32>(CHMGR_RTO_DEFAULT), &bFixedRto);
    RTS_I32 printInterval = SettingInt(CHMGRKEY_INT_RTOPRINTINTERVAL, -1);
    window = window < 1 ? 1 : (window > CHMGR_WINDOW_MAX ? CHMGR_WINDOW_MAX : window);
    if (rto <= 0) {
        rto = static_cast<RTS_I32>(CHMGR_RTO_DEFAULT);
    }

    ChMgrLock lock;
    memset(pChBuffer, 0, CHANNELBUFFER_HEADER_SIZE + 16u * wNumBlocks);
    pChBuffer->hRouter = hRouter;
    pChBuffer->wChannelId = wChannelId;
    pChBuffer->dwCommBufferSize = size;
    pChBuffer->wNumBlockBuffers = wNumBlocks;
    pChBuffer->wMaxBlockSize = wMaxBlockSize;
    pChBuffer->wFlags =
        static_cast<RTS_UI16>((bServer ? CHF_SERVER : CHF_SENDMODE) | (bFixedWindow ? CHF_FIXED_WINDOW : 0) |
                              (bFixedRto ? CHF_FIXED_RTO : 0));
    if (addrPeer.type == AT_RELATIVE) {
        pChBuffer->wFlags |= CHF_RELATIVE;
        pChBuffer->ucAddrOffset = static_cast<RTS_UI8>(addrPeer.nAddrOffset);
    }
    pChBuffer->ucAddrPeerLen = static_cast<RTS_UI8>(addrPeer.nLength);
    if (addrPeer.nLength > 0) {
        memcpy(pChBuffer->addrPeer, addrPeer.pAddress, addrPeer.nLength * sizeof(ADDRESSCOMPONENT));
    }
    pChBuffer->wCWnd = static_cast<RTS_UI16>(window);
    pChBuffer->wLastCWnd = pChBuffer->wCWnd;
    pChBuffer->dwRTO = static_cast<RTS_UI32>(rto);
    pChBuffer->dwRTT = 0;
    pChBuffer->sendState.dwNextAck = 1;
    pChBuffer->sendState.dwNextBlock = 1;
    pChBuffer->sendState.dwLastTime = ulNow;
    pChBuffer->recState.dwLastTime = ulNow;
    pChBuffer->dwCWndFreezeTime = ulNow;
    g_chmgr.ulRtoPrintInterval = static_cast<RTS_UI32>(printInterval);
    return size;
}

RTS_UI32 NetworkInitChannelBuffer(CHANNELBUFFER* pChBuffer, RTS_UI32 dwSize, RTS_HANDLE hRouter,
                                  PEERADDRESS addrPeer, RTS_UI16 wChannelId, RTS_UI32 dwCommBufferSize,
                                  RTS_BOOL bServer) {
    return NetworkInitChannelBuffer2(pChBuffer, dwSize, hRouter, addrPeer, wChannelId, dwCommBufferSize,
                                     bServer, 0);
}

RTS_RESULT NetworkGetChannelInfo(CHANNELBUFFER* pChBuffer, CHANNELBUFFER* pInfo) {
    if (pChBuffer == nullptr || pInfo == nullptr) {
        return ERR_PARAMETER;
    }
    ChMgrLock lock;
    *pInfo = *pChBuffer;
    return ERR_OK;
}

RTS_RESULT NetworkGetStatus(CHANNELBUFFER* pChBuffer, RTS_UI16* pusStatus, RTS_UI8* pbyScalingFactor,
                            RTS_I32* pnItemsComplete, RTS_I32* pnTotalItems) {
    if (pChBuffer == nullptr || pusStatus == nullptr || pbyScalingFactor == nullptr ||
        pnItemsComplete == nullptr || pnTotalItems == nullptr) {
        return ERR_PARAMETER;
    }
    RTS_UI32 done = 0;
    RTS_UI32 total = 0;
    bool bProgress = false;
    {
        ChMgrLock lock;
        if ((pChBuffer->wFlags & CHF_SENDMODE) != 0) {
            if (pChBuffer->pSendBuffer != nullptr) {
                *pusStatus = NETSTATUS_SENDING;
                done = pChBuffer->sendState.dwNextByte;
                total = pChBuffer->sendState.dwMsgSize;
                bProgress = true;
            } else {
                *pusStatus = NETSTATUS_SENDMODE_IDLE;
            }
        } else if (pChBuffer->recState.dwNextByte > 0) {
            *pusStatus = NETSTATUS_RECEIVING;
            done = pChBuffer->recState.dwNextByte;
            total = pChBuffer->recState.dwMsgSize;
            bProgress = true;
        } else {
            *pusStatus = NETSTATUS_WAITING;
        }
    }
    if (!bProgress) {
        *pbyScalingFactor = 0;
        *pnItemsComplete = 0;
        *pnTotalItems = -1;
        return ERR_OK;
    }
    RTS_UI8 scale = (done >= 0x40000000u || total >= 0x40000000u) ? 3 : 0;
    *pbyScalingFactor = scale;
    *pnItemsComplete = static_cast<RTS_I32>(done >> scale);
    *pnTotalItems = static_cast<RTS_I32>(total >> scale);
    return ERR_OK;
}

RTS_RESULT NetworkSendMetaPkg(RTS_HANDLE hRouter, PEERADDRESS addrReceiver, PROTOCOL_DATA_UNIT pduData) {
    if (pduData.pData == nullptr || pduData.ulCount < L4_META_HEADER_SIZE) {
        return ERR_PARAMETER;
    }
    if (pfRouterSend == nullptr || pfCRC32Update == nullptr || pfCRC32Finish == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    RTS_UI32 crc = L4MetaChecksum(pduData.pData, pduData.ulCount, pfCRC32Update, pfCRC32Finish);
    L4PutU32(pduData.pData + L4_META_CHECKSUM_OFFSET, crc);
    return pfRouterSend(hRouter, addrReceiver, PID_LAYER4, 0, RPRIO_NORMAL, pduData);
}

RTS_RESULT ChannelMgrHandleData(RTS_HANDLE hRouter, RTS_HANDLE hNetworkInterface, RTS_UI8 byServiceId,
                                RTS_UI8 byMessageId, PEERADDRESS addrSender, PEERADDRESS addrReceiver,
                                PROTOCOL_DATA_UNIT pduData, RTS_I32 nRouterError) {
    (void)hNetworkInterface;
    (void)byServiceId;
    (void)byMessageId;
    (void)addrReceiver;
    (void)nRouterError;
    const RTS_UI8* p = pduData.pData;
    const RTS_UI32 n = p != nullptr ? pduData.ulCount : 0;
    if (n < 2) {
        return ERR_L4_INVALID_META;
    }
    const RTS_UI8 byType = p[0];
    if (ChMgrTrace(CHMGR_LOG_RECEIVED)) {
        ChMgrLog(LOG_COM, ERR_OK, "Received package type %u, %u bytes", static_cast<unsigned>(byType),
                 static_cast<unsigned>(n));
    }
    if ((byType & L4_PKG_META) != 0) {
        // The checksum covers the whole package with its own field as 0: it
        // is computed over the received bytes as they are, never in place.
        if (n < L4_META_HEADER_SIZE) {
            return ERR_OK;
        }
        if (pfCRC32Update == nullptr || pfCRC32Finish == nullptr ||
            L4MetaChecksum(p, n, pfCRC32Update, pfCRC32Finish) != L4GetU32(p + L4_META_CHECKSUM_OFFSET)) {
            return ERR_L4_INVALID_META;
        }
        if ((byType & L4_PKG_META_CLIENT) != 0) {
            return ERR_OK;  // a request to a server: this node serves no channels
        }
        return pfNetClientHandleMetaResponse != nullptr
                   ? pfNetClientHandleMetaResponse(hRouter, addrSender, pduData)
                   : ERR_OK;
    }
    if (addrSender.type != AT_ABSOLUTE) {
        return ERR_OK;
    }
    if (byType != L4_PKG_DATA && byType != L4_PKG_ACKNOWLEDGE && byType != L4_PKG_KEEPALIVE) {
        ChMgrLog(LOG_WARNING, ERR_OK, "L4Base-HandleL4Data: Unexpected package type <type>%d</type>",
                 static_cast<int>(byType));
        return ERR_OK;
    }
    // The channel id sits behind the 2-byte prefix: no lookup without it.
    if (n < L4_PREFIX_SIZE || (byType == L4_PKG_DATA && n < L4_DATA_HEADER_SIZE) ||
        (byType == L4_PKG_ACKNOWLEDGE && n < L4_ACKNOWLEDGE_SIZE)) {
        return ERR_OK;
    }
    if ((p[1] & PTF_CLIENT) != 0) {
        return ERR_OK;  // would belong to a server channel
    }
    if (pfNetClientGetChannel == nullptr || pfNetClientReleaseChannel == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    CHANNELBUFFER* pCh = nullptr;
    if (pfNetClientGetChannel(&addrSender, L4GetU16(p + 2), &pCh) != ERR_OK || pCh == nullptr) {
        return ERR_OK;
    }
    HandleL4Data(pCh, p, n);
    SendNextBlocks(pCh);
    pfNetClientReleaseChannel(pCh);
    return ERR_OK;
}

// ---- Component shape -------------------------------------------------------------------------

namespace {

RTS_RESULT ExportFunctions(void) {
    if (s_pfCMRegisterAPI == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    KL_EXPORT(s_pfCMRegisterAPI, NetworkGetChannelInfo);
    KL_EXPORT(s_pfCMRegisterAPI, NetworkGetStatus);
    KL_EXPORT(s_pfCMRegisterAPI, NetworkSendMessage);
    KL_EXPORT(s_pfCMRegisterAPI, NetworkSendMetaPkg);
    KL_EXPORT(s_pfCMRegisterAPI, NetworkInitChannelBuffer2);
    KL_EXPORT(s_pfCMRegisterAPI, NetworkInitChannelBuffer);
    KL_EXPORT(s_pfCMRegisterAPI, NetworkGetChBufferSize);
    KL_EXPORT(s_pfCMRegisterAPI, ChannelMgrHandleData);
    return ERR_OK;
}

// Settings and log are optional (defaults and silence without them).
RTS_RESULT ImportFunctions(void) {
    KL_IMPORT(s_pfCMGetAPI, RouterSend);
    KL_IMPORT(s_pfCMGetAPI, RouterGetMaxMessageSize);
    KL_IMPORT(s_pfCMGetAPI, CRC32Update);
    KL_IMPORT(s_pfCMGetAPI, CRC32Finish);
    KL_IMPORT(s_pfCMGetAPI, NetClientGetChannel);
    KL_IMPORT(s_pfCMGetAPI, NetClientReleaseChannel);
    KL_IMPORT(s_pfCMGetAPI, NetClientForEachChannel);
    KL_IMPORT(s_pfCMGetAPI, NetClientMessageReceived);
    KL_IMPORT(s_pfCMGetAPI, NetClientChannelError);
    KL_IMPORT(s_pfCMGetAPI, NetClientHandleMetaResponse);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, SettgGetIntValue);
    KL_IMPORT_OPTIONAL(s_pfCMGetAPI2, LogAdd);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    switch (ulHook) {
        case CH_INIT2:
            g_chmgr.bExiting = 0;
            ReadStartupSettings();
            if (g_chmgr.hLock == RTS_INVALID_HANDLE) {
                RTS_RESULT r = ERR_OK;
                RTS_HANDLE h = SysSemCreate(&r);
                if (h == RTS_INVALID_HANDLE) {
                    return r;
                }
                g_chmgr.hLock = h;
            }
            break;
        case CH_COMM_CYCLE:
            g_chmgr.nCyclesRunning.fetch_add(1);
            if (g_chmgr.bExiting.load() == 0 && g_chmgr.hLock != RTS_INVALID_HANDLE &&
                pfNetClientForEachChannel != nullptr) {
                pfNetClientForEachChannel(CheckChannel, nullptr);
            }
            g_chmgr.nCyclesRunning.fetch_sub(1);
            break;
        case CH_EXIT3: {
            g_chmgr.bExiting = 1;
            RTS_UI32 ulStart = SysTimeGetMs();
            while (g_chmgr.nCyclesRunning.load() > 0 && SysTimeGetMs() - ulStart < kExitWaitMs) {
                SysTaskWaitSleep(nullptr, 1);
            }
            break;
        }
        case CH_EXIT2:
            if (g_chmgr.hLock != RTS_INVALID_HANDLE) {
                SysSemDelete(g_chmgr.hLock);
                g_chmgr.hLock = RTS_INVALID_HANDLE;
            }
            break;
        default:
            break;
    }
    return ERR_OK;
}

}  // namespace

RTS_RESULT CmpChannelMgr__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpChannelMgr;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    return ERR_OK;
}
