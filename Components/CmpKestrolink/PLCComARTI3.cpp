// The direct transport of the V3 device client: block drivers, address
// resolution through the name service, the channel and the exchange of one
// service at a time (see PLCComARTI3.h).
#include "PLCComARTI3.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "CMItf.h"
#include "CmpChannelClientItf.h"
#include "CmpNameServiceClientItf.h"
#include "PLCConfig.h"
#include "PLCUtil.h"
#include "SysCpu.h"
#include "SysEvent.h"
#include "SysSocket.h"
#include "SysTask.h"
#include "SysTime.h"

namespace {

constexpr RTS_UI32 kResolveStepMs = 100;
constexpr RTS_UI32 kResolveWaitMs = 20000;
constexpr RTS_UI32 kSelfWaitMs = 10000;
constexpr RTS_UI32 kOpenPollMs = 50;
// The channel client ends an unanswered open after its own three tries; this
// only bounds the poll should it ever keep reporting "pending".
constexpr RTS_UI32 kOpenPollLimitMs = 120000;
constexpr RTS_UI32 kReplyStepMs = 500;
constexpr RTS_UI32 kDriverLockRetryMs = 30;
constexpr RTS_UI32 kMaxWaitBudgetMs = 0x7FFFFFFFu;
constexpr int kIssueRetries = 5;
constexpr RTS_UI32 kIssueRetryMs = 10;
// Tickets are the caller handles given to the name service; they live in a
// range of their own, apart from those of the network scan.
constexpr RTS_UINTPTR kTicketBase = static_cast<RTS_UINTPTR>(1) << (8 * sizeof(RTS_UINTPTR) - 2);
// Transport results that mean the connection is gone.
constexpr RTS_RESULT kResultConnectionLost1 = 0x183;
constexpr RTS_RESULT kResultConnectionLost2 = 0x304;

std::atomic<RTS_UI16> g_usDefaultTcpPort{0};
std::atomic<RTS_UI32> g_ulResolveWaitLimitMs{0};

// Serialises driver loading across all device objects of the process.
alignas(4) RTS_UI32 g_bLoadingDrivers = 0;

// Current name-service requests by ticket and open channels by handle. A
// callback holds this lock while it hands its result to the object, so an
// object that has left the registry is never reached again.
std::mutex g_registryMutex;
std::map<RTS_UINTPTR, CPLCComARTI3*>& NsRegistry() {
    static std::map<RTS_UINTPTR, CPLCComARTI3*> s_registry;
    return s_registry;
}
std::map<RTS_UI16, CPLCComARTI3*>& ChannelRegistry() {
    static std::map<RTS_UI16, CPLCComARTI3*> s_registry;
    return s_registry;
}
std::atomic<RTS_UINTPTR> g_ulNextTicket{kTicketBase};

RTS_UI32 ResolveWaitLimit() {
    RTS_UI32 ul = g_ulResolveWaitLimitMs.load();
    return ul != 0 ? ul : kResolveWaitMs;
}

std::string AddressText(const std::vector<RTS_UI16>& address, const char* pszFormat) {
    std::string out;
    char sz[8];
    for (RTS_UI16 w : address) {
        snprintf(sz, sizeof(sz), pszFormat, static_cast<unsigned>(w >> 8), static_cast<unsigned>(w & 0xFF));
        out += sz;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

std::vector<RTS_UI16> AddressOf(const NODEADDRESS& addr) {
    std::vector<RTS_UI16> out;
    RTS_UI32 n = addr.nLength <= MAX_NODE_ADDR_LEN ? addr.nLength : 0;
    for (RTS_UI32 i = 0; i < n; ++i) {
        out.push_back(static_cast<RTS_UI16>((addr.address[i].by[0] << 8) | addr.address[i].by[1]));
    }
    return out;
}

RTS_I32 MapTransportResult(RTS_RESULT r) {
    if (r == ERR_OK) {
        return PLCCOM_OK;
    }
    return r == kResultConnectionLost1 || r == kResultConnectionLost2 ? PLCCOM_NO_CONNECTION : PLCCOM_FAILED;
}

struct DriverEntry {
    RTS_UI32 ulMask;
    const char* pszName;
};
// Serial and shared-memory drivers are not part of this SDK: their bits are
// accepted and ignored.
const DriverEntry kDrivers[] = {{KL_DRIVERMASK_TCP, "CmpBlkDrvTcp"}, {KL_DRIVERMASK_UDP, "CmpBlkDrvUdp"}};

class DriverLoadLock {
public:
    DriverLoadLock() {
        while (SysCpuTestAndSetBit(&g_bLoadingDrivers, 4, 0, 1) != ERR_OK) {
            SysTaskWaitSleep(nullptr, kDriverLockRetryMs);
        }
    }
    ~DriverLoadLock() { SysCpuTestAndSetBit(&g_bLoadingDrivers, 4, 0, 0); }
    DriverLoadLock(const DriverLoadLock&) = delete;
    DriverLoadLock& operator=(const DriverLoadLock&) = delete;
};

ICmpChannelClientApp* ChannelApp() {
    // The channel client reads the interface record after it has released
    // its lock, so the record outlives every device object: one static record
    // for all of them, and the object is found by the channel handle.
    static ICmpChannelClientApp s_app = {nullptr, nullptr, nullptr};
    return &s_app;
}

// A broadcast the router refuses as a repeat (its id comes from the
// millisecond clock, so two queries within one millisecond collide) or
// cannot take right now is tried again a few times.
template <typename F>
RTS_RESULT IssueWithRetry(F issue) {
    RTS_RESULT r = issue();
    for (int i = 0; i < kIssueRetries && (r == ERR_DUPLICATE || r == ERR_NOBUFFER); ++i) {
        SysTaskWaitSleep(nullptr, kIssueRetryMs);
        r = issue();
    }
    return r;
}

template <typename PF>
bool Import(const char* pszName, RTS_UI32 ulSignature, PF* ppf) {
    RTS_VOID_FCTPTR p = nullptr;
    if (CMGetAPI(pszName, &p, ulSignature) != ERR_OK || p == nullptr) {
        *ppf = nullptr;
        return false;
    }
    *ppf = reinterpret_cast<PF>(p);
    return true;
}

}  // namespace

struct CPLCComARTI3::Imports {
    PFNSResolveBlkDrvAddress3 pfNSResolveBlkDrvAddress3 = nullptr;
    PFNSResolveName3 pfNSResolveName3 = nullptr;
    PFNSCancelRequest pfNSCancelRequest = nullptr;
    PFNetClientOpenChannel pfNetClientOpenChannel = nullptr;
    PFNetClientOpenChannelResult pfNetClientOpenChannelResult = nullptr;
    PFNetClientRegisterAppInterface pfNetClientRegisterAppInterface = nullptr;
    PFNetClientUnregisterAppInterface pfNetClientUnregisterAppInterface = nullptr;
    PFNetClientSend pfNetClientSend = nullptr;
    PFNetClientCloseChannel pfNetClientCloseChannel = nullptr;
    bool bComplete = false;
};

void CPLCComARTI3::SetDefaultTcpPort(RTS_UI16 usPort) {
    g_usDefaultTcpPort = usPort;
}

void CPLCComARTI3::SetResolveWaitLimit(RTS_UI32 ulMs) {
    g_ulResolveWaitLimitMs = ulMs;
}

CPLCComARTI3::CPLCComARTI3(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger)
    : CPLCComBase3Selector(pPlcConfig, pDeviceDesc, hLogger), m_pImports(new Imports) {
    m_ulDriverMask = UtlStructReadULong("DriverMask", 0xFFFFFFFFu, pDeviceDesc);
    m_ulConfiguredBufferSize = m_ulBufferSize;
    {
        ICmpChannelClientApp* pApp = ChannelApp();
        std::lock_guard<std::mutex> lock(g_registryMutex);
        pApp->pBase = pApp;
        pApp->IClientAppHandleMessage = ClientAppHandleMessage;
        pApp->IClientAppOnChannelError = ClientAppOnChannelError;
    }
    LoadDrivers();
    ImportFunctions();
    if (m_Status == PLCCOMSTATUS_NOT_INITIALIZED) {
        m_Status = PLCCOMSTATUS_OK;
    }
}

CPLCComARTI3::~CPLCComARTI3() {
    CancelResolution();
    CloseChannel(nullptr);
    delete m_pImports;
}

void CPLCComARTI3::LoadDrivers() {
    PFCMGetComponentByName pfGetByName = nullptr;
    PFCMLoadComponent pfLoad = nullptr;
    PFCMInitComponent pfInit = nullptr;
    PFCMGetHookEntries pfHookEntries = nullptr;
    bool bManager = Import("CMGetComponentByName", SIG_CMGetComponentByName, &pfGetByName) &&
                    Import("CMLoadComponent", SIG_CMLoadComponent, &pfLoad) &&
                    Import("CMInitComponent", SIG_CMInitComponent, &pfInit) &&
                    Import("CMGetHookEntries", SIG_CMGetHookEntries, &pfHookEntries);
    int nPresent = 0;
    DriverLoadLock lock;
    for (const DriverEntry& d : kDrivers) {
        if ((m_ulDriverMask & d.ulMask) == 0) {
            continue;
        }
        RTS_RESULT r = ERR_FAILED;
        if (bManager && pfGetByName(d.pszName, &r) != nullptr) {
            ++nPresent;
            continue;
        }
        COMPONENT_ENTRY* pEntry = bManager ? pfLoad(d.pszName, &r) : nullptr;
        if (pEntry != nullptr) {
            r = pfInit(pEntry);
        }
        if (pEntry == nullptr || r != ERR_OK) {
            AddLogEntry(LOG_ERROR, r, "CPLCComARTI3: %s could not be loaded!", d.pszName);
            continue;
        }
        // A component loaded while the runtime runs goes through the start
        // hooks on its own: the runtime's sequences are over.
        if (pEntry->pfHookFunction != nullptr) {
            int nHooks = 0;
            const RTS_ID_TO_NAME* pHooks = pfHookEntries(CH_INIT_SYSTEM, CH_INIT_FINISHED, &nHooks);
            for (int i = 0; pHooks != nullptr && i <= nHooks; ++i) {
                pEntry->pfHookFunction(pHooks[i].id, 0, 0);
            }
        }
        ++nPresent;
    }
    if (nPresent == 0) {
        AddLogEntry(LOG_ERROR, 0, "CPLCComARTI3: No driver was loaded!");
    }
}

bool CPLCComARTI3::ImportFunctions() {
    Imports& i = *m_pImports;
    if (i.bComplete) {
        return true;
    }
    bool b = Import("NSResolveBlkDrvAddress3", SIG_NSResolveBlkDrvAddress3, &i.pfNSResolveBlkDrvAddress3);
    b = Import("NSResolveName3", SIG_NSResolveName3, &i.pfNSResolveName3) && b;
    b = Import("NSCancelRequest", SIG_NSCancelRequest, &i.pfNSCancelRequest) && b;
    b = Import("NetClientOpenChannel", SIG_NetClientOpenChannel, &i.pfNetClientOpenChannel) && b;
    b = Import("NetClientOpenChannelResult", SIG_NetClientOpenChannelResult,
               &i.pfNetClientOpenChannelResult) &&
        b;
    b = Import("NetClientRegisterAppInterface", SIG_NetClientRegisterAppInterface,
               &i.pfNetClientRegisterAppInterface) &&
        b;
    b = Import("NetClientUnregisterAppInterface", SIG_NetClientUnregisterAppInterface,
               &i.pfNetClientUnregisterAppInterface) &&
        b;
    b = Import("NetClientSend", SIG_NetClientSend, &i.pfNetClientSend) && b;
    b = Import("NetClientCloseChannel", SIG_NetClientCloseChannel, &i.pfNetClientCloseChannel) && b;
    i.bComplete = b;
    return b;
}

std::string CPLCComARTI3::GetPlcAddressText() const {
    return AddressText(m_PlcAddress, "%02X%02X.");
}

std::string CPLCComARTI3::NodeNameText() const {
    char sz[256];
    sz[0] = '\0';
    if (!m_nodeName.empty()) {
        std::vector<RTS_WCHAR> name(m_nodeName.begin(), m_nodeName.end());
        name.push_back(0);
        UtlWStrToStr(sz, sizeof(sz), name.data());
    }
    return sz;
}

RTS_UI32 CPLCComARTI3::ResolveNameTimeout() const {
    // Explicit, so that the query never falls back to the scan time of the
    // name service, and never longer than the wait for its answer.
    RTS_UI32 ul = m_ulResolvePlcNameTimeout != 0 ? m_ulResolvePlcNameTimeout : 5000;
    return ul < ResolveWaitLimit() ? ul : ResolveWaitLimit();
}

// ---- Name-service requests -------------------------------------------------------------------------------

void CPLCComARTI3::NsCallback(RTS_RESULT nResult, NODEADDRESS addrNode, NODEINFOPACKED3*, RTS_UI16, RTS_UI8,
                              RTS_HANDLE hCallerRequestID, RTS_BOOL bComplete) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = NsRegistry().find(reinterpret_cast<RTS_UINTPTR>(hCallerRequestID));
    if (it != NsRegistry().end()) {
        it->second->OnNsAnswer(nResult, addrNode, bComplete);
    }
}

void CPLCComARTI3::OnNsAnswer(RTS_RESULT nResult, const NODEADDRESS& addrNode, RTS_BOOL bComplete) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nResult == ERR_OK && addrNode.nLength > 0 && addrNode.nLength <= MAX_NODE_ADDR_LEN) {
        std::vector<RTS_UI16> address = AddressOf(addrNode);
        if (m_nDevicesFound == 0) {
            m_foundAddress = address;
            m_nDevicesFound = 1;
        } else if (address != m_foundAddress) {
            m_nDevicesFound++;
        }
    }
    if (bComplete || nResult != ERR_OK) {
        m_DetectAddressState = 2;
    }
}

bool CPLCComARTI3::StartBlkDrvResolution(RTS_UI8 byBlkDrvType, RTS_UI8 byFlags, RTS_UI8 byAddrBitLength,
                                         const NETWORKADDRESS* pNetworkAddr) {
    CancelResolution();
    RTS_UINTPTR ulTicket = g_ulNextTicket.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_DetectAddressState = 1;
        m_nDevicesFound = 0;
        m_foundAddress.clear();
        m_ulNsTicket = ulTicket;
    }
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        NsRegistry()[ulTicket] = this;
    }
    RTS_RESULT r = IssueWithRetry([&] {
        return m_pImports->pfNSResolveBlkDrvAddress3(byBlkDrvType, byFlags, byAddrBitLength, pNetworkAddr, 0,
                                                     reinterpret_cast<RTS_HANDLE>(ulTicket), NsCallback);
    });
    if (r != ERR_OK) {
        CancelResolution();
        return false;
    }
    return true;
}

bool CPLCComARTI3::StartNameResolution(RTS_UI32 ulTimeoutMs) {
    CancelResolution();
    std::vector<RTS_WCHAR> name(m_nodeName.begin(), m_nodeName.end());
    if (name.empty() || name.back() != 0) {
        name.push_back(0);
    }
    RTS_UINTPTR ulTicket = g_ulNextTicket.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_DetectAddressState = 1;
        m_nDevicesFound = 0;
        m_foundAddress.clear();
        m_ulNsTicket = ulTicket;
    }
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        NsRegistry()[ulTicket] = this;
    }
    RTS_RESULT r = IssueWithRetry([&] {
        return m_pImports->pfNSResolveName3(name.data(), ulTimeoutMs, 0,
                                            reinterpret_cast<RTS_HANDLE>(ulTicket), NsCallback);
    });
    if (r != ERR_OK) {
        CancelResolution();
        return false;
    }
    return true;
}

bool CPLCComARTI3::WaitForResolution(RTS_UI32 ulMaxWaitMs, bool bUntilComplete) {
    RTS_UI32 ulStart = SysTimeGetMs();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_DetectAddressState != 1 || (!bUntilComplete && m_nDevicesFound > 0)) {
                return true;
            }
        }
        RTS_UI32 ulElapsed = SysTimeElapsedMs(SysTimeGetMs(), ulStart);
        if (ulElapsed >= ulMaxWaitMs) {
            return false;
        }
        RTS_UI32 ulStep = ulMaxWaitMs - ulElapsed;
        SysTaskWaitSleep(nullptr, ulStep < kResolveStepMs ? ulStep : kResolveStepMs);
    }
}

void CPLCComARTI3::CancelResolution() {
    RTS_UINTPTR ulTicket = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ulTicket = m_ulNsTicket;
        m_ulNsTicket = 0;
        if (m_DetectAddressState == 1) {
            m_DetectAddressState = 2;
        }
    }
    if (ulTicket == 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        NsRegistry().erase(ulTicket);
    }
    // Outside the registry lock: a callback of this request may be waiting
    // for it, and the cancel waits for such a callback to end.
    if (m_pImports->pfNSCancelRequest != nullptr) {
        m_pImports->pfNSCancelRequest(reinterpret_cast<RTS_HANDLE>(ulTicket));
    }
}

RTS_I32 CPLCComARTI3::ResolveIpAddress() {
    RTS_UI16 usPort = m_usTcpPort;
    if (usPort == 0) {
        usPort = g_usDefaultTcpPort.load() != 0 ? g_usDefaultTcpPort.load()
                                                : static_cast<RTS_UI16>(KL_ARTI3_DEFAULT_TCP_PORT);
    }
    const char* pszAddress = m_pszTcpIpAddress.c_str();
    RTS_UI32 ulIpNet = 0;
    if (SysSockInetAddr(pszAddress, &ulIpNet) != ERR_OK) {
        RTS_RESULT r = ERR_FAILED;
        if (strcmp(pszAddress, "localhost") == 0) {
            ulIpNet = SysSockHtonl(0x7F000001u);
            r = ERR_OK;
        } else {
            int nCount = 0;
            r = SysSockGetHostByName(pszAddress, &ulIpNet, 1, &nCount);
            if (nCount < 1) {
                r = ERR_FAILED;
            }
        }
        if (r != ERR_OK) {
            AddLogEntry(LOG_ERROR, r,
                        "CPLCComARTI3: No valid ip address or hostname of PLC could not be resolved. '%s'",
                        pszAddress);
            return PLCCOM_FAILED;
        }
        char szIp[20] = {0};
        SysSockInetNtoa(&ulIpNet, szIp, sizeof(szIp));
        AddLogEntry(LOG_INFO, 0, "CPLCComARTI3: Hostname of PLC given. Resolved '%s' to '%s'.", pszAddress,
                    szIp);
    }
    RTS_UI32 ulIpHost = SysSockNtohl(ulIpNet);
    NETWORKADDRESS na;
    memset(&na, 0, sizeof(na));
    na.nLength = 6;
    na.address[0] = static_cast<RTS_UI8>(usPort >> 8);
    na.address[1] = static_cast<RTS_UI8>(usPort & 0xFF);
    na.address[2] = static_cast<RTS_UI8>(ulIpHost >> 24);
    na.address[3] = static_cast<RTS_UI8>((ulIpHost >> 16) & 0xFF);
    na.address[4] = static_cast<RTS_UI8>((ulIpHost >> 8) & 0xFF);
    na.address[5] = static_cast<RTS_UI8>(ulIpHost & 0xFF);
    bool bAnswered = StartBlkDrvResolution(RTS_BLK_DRV_TYPE_TCP, 0, 48, &na) &&
                     WaitForResolution(ResolveWaitLimit(), false);
    RTS_UI32 nFound = 0;
    std::vector<RTS_UI16> found;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        nFound = m_nDevicesFound;
        found = m_foundAddress;
    }
    CancelResolution();
    if (!bAnswered) {
        AddLogEntry(LOG_ERROR, 0, "CPLCComARTI3: No route found to ip address %s", pszAddress);
        return PLCCOM_FAILED;
    }
    if (nFound == 0) {
        AddLogEntry(LOG_ERROR, 0, "CPLCComARTI3: No node found with ip address %s, port %d", pszAddress,
                    static_cast<int>(usPort));
        return PLCCOM_FAILED;
    }
    m_PlcAddress = found;
    m_PlcAddressType = AT_ABSOLUTE;
    m_PlcAddressOffset = 0;
    return PLCCOM_OK;
}

RTS_I32 CPLCComARTI3::ResolveSelf() {
    NETWORKADDRESS na;
    memset(&na, 0, sizeof(na));
    RTS_UI32 ulWait = m_ulTimeout > kSelfWaitMs ? m_ulTimeout : kSelfWaitMs;
    if (StartBlkDrvResolution(RTS_BLK_DRV_TYPE_NONE, NS_BLKDRV_FLAG_SELF, 0, &na)) {
        WaitForResolution(ulWait, false);
    }
    std::vector<RTS_UI16> found;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        found = m_foundAddress;
    }
    CancelResolution();
    if (!found.empty()) {
        m_PlcAddress = found;
        m_PlcAddressType = AT_ABSOLUTE;
        m_PlcAddressOffset = 0;
        std::string text = AddressText(found, "%02X%02X.");
        m_nodeName.assign(text.begin(), text.end());
        m_nodeName.push_back(0);
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComARTI3::ResolveNodename() {
    if (!ImportFunctions()) {
        return PLCCOM_FAILED;
    }
    RTS_I32 iState = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        iState = m_DetectAddressState;
    }
    if (iState == 1 && !WaitForResolution(ResolveWaitLimit(), true)) {
        AddLogEntry(
            LOG_WARNING, 0,
            "CPLCComARTI3: ResolveNodename(): The last call of ResolveNodename was abnormally aborted "
            "because it did not terminate correctly!");
    }
    std::string name = NodeNameText();
    bool bAnswered =
        StartNameResolution(ResolveNameTimeout()) && WaitForResolution(ResolveWaitLimit(), false);
    std::vector<RTS_UI16> found;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bAnswered = bAnswered && m_nDevicesFound > 0;
        found = m_foundAddress;
    }
    if (!bAnswered) {
        CancelResolution();
        AddLogEntry(LOG_ERROR, 0, "CPLCComARTI3: <-Open() Could not resolve node name <%s>", name.c_str());
        return PLCCOM_FAILED;
    }
    m_PlcAddress = found;
    m_PlcAddressType = AT_ABSOLUTE;
    m_PlcAddressOffset = 0;
    m_bNameResolutionUsed = true;
    return PLCCOM_OK;
}

RTS_I32 CPLCComARTI3::CheckConnectResult() {
    if (!m_bNameResolutionUsed) {
        return PLCCOM_OK;
    }
    WaitForResolution(ResolveNameTimeout(), true);
    CancelResolution();
    RTS_UI32 nFound = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        nFound = m_nDevicesFound;
    }
    if (nFound == 1) {
        return PLCCOM_OK;
    }
    if (nFound > 1) {
        m_PlcAddress.clear();
        AddLogEntry(
            LOG_ERROR, 0,
            "CPLCComBase3: <-CheckConnectResult() Several PLCs with the same node name <%s> exist in the "
            "network",
            NodeNameText().c_str());
        return PLCCOM_DUPLICATE_PLC_NAME;
    }
    return PLCCOM_FAILED;
}

// ---- Channel ---------------------------------------------------------------------------------------------

RTS_RESULT CPLCComARTI3::OpenChannel(RTS_UI32 ulBufferSize, RTS_UI16* pusChannel, RTS_UI32* pulGranted,
                                     RTS_BOOL* pbBigEndian) {
    std::vector<ADDRESSCOMPONENT> components(m_PlcAddress.size());
    for (size_t i = 0; i < m_PlcAddress.size(); ++i) {
        components[i].by[0] = static_cast<RTS_UI8>(m_PlcAddress[i] >> 8);
        components[i].by[1] = static_cast<RTS_UI8>(m_PlcAddress[i] & 0xFF);
    }
    PEERADDRESS peer;
    peer.type = m_PlcAddressType == AT_RELATIVE ? AT_RELATIVE : AT_ABSOLUTE;
    peer.nAddrOffset = m_PlcAddressOffset;
    peer.nLength = static_cast<RTS_UI32>(components.size());
    peer.pAddress = components.data();
    RTS_UI32 dwRequestId = 0;
    RTS_RESULT r = m_pImports->pfNetClientOpenChannel(peer, ulBufferSize, &dwRequestId);
    if (r != ERR_PENDING && r != ERR_OK) {
        return r;
    }
    RTS_UI32 ulStart = SysTimeGetMs();
    for (;;) {
        r = m_pImports->pfNetClientOpenChannelResult(dwRequestId, pusChannel, pulGranted, pbBigEndian);
        if (r != ERR_PENDING) {
            return r;
        }
        if (SysTimeElapsedMs(SysTimeGetMs(), ulStart) >= kOpenPollLimitMs) {
            return ERR_TIMEOUT;
        }
        SysTaskWaitSleep(nullptr, kOpenPollMs);
    }
}

RTS_I32 CPLCComARTI3::Open() {
    RTS_I32 lResult = OpenConnection();
    if (lResult != PLCCOM_OK) {
        // A name query kept open for CheckConnectResult is of no use now.
        CancelResolution();
        m_bNameResolutionUsed = false;
    }
    return lResult;
}

RTS_I32 CPLCComARTI3::OpenConnection() {
    if (m_bChannelOpen) {
        CloseChannel(nullptr);
    }
    if (m_bEncryptCommunication) {
        // The secure channel is not part of this build yet (m_hSecureChannel
        // stays unset): refuse rather than talk in plain text.
        AddLogEntry(
            LOG_ERROR, 0,
            "CPLCComARTI3: <-Open() encrypted communication configured. But requirements (CmpOpenSSL, "
            "CmpSecureChannel) missing.");
        return PLCCOM_FAILED;
    }
    if (!ImportFunctions()) {
        AddLogEntry(LOG_ERROR, ERR_NOTINITIALIZED,
                    "CPLCComARTI3: <-Open() name service or channel client not available");
        return PLCCOM_FAILED;
    }
    RTS_UI32 ulBufferSize = m_ulConfiguredBufferSize;
    if (ulBufferSize == 0) {
        ulBufferSize = KL_ARTI3_DEFAULT_BUFFER_SIZE;
    } else if (ulBufferSize < KL_ARTI3_MIN_BUFFER_SIZE) {
        ulBufferSize = KL_ARTI3_MIN_BUFFER_SIZE;
    }
    m_bMotorola = 0;
    m_bNameResolutionUsed = false;

    if (!m_pszTcpIpAddress.empty()) {
        if (ResolveIpAddress() != PLCCOM_OK) {
            return PLCCOM_FAILED;
        }
    } else if (m_bConnectToSelf) {
        ResolveSelf();
    }
    if (m_PlcAddress.empty()) {
        if (m_nodeName.empty() || m_nodeName[0] == 0) {
            AddLogEntry(LOG_ERROR, 0, "CPLCComARTI3: <-Open() No valid PlcAddress");
            return PLCCOM_FAILED;
        }
        if (ResolveNodename() != PLCCOM_OK) {
            return PLCCOM_FAILED;
        }
    }

    AddLogEntry(LOG_INFO, 0, "CPLCComARTI3: Open() PlcAddress = %s", GetPlcAddressText().c_str());
    RTS_UI16 usChannel = 0;
    RTS_UI32 ulGranted = 0;
    RTS_BOOL bBigEndian = 0;
    RTS_RESULT r = OpenChannel(ulBufferSize, &usChannel, &ulGranted, &bBigEndian);
    if (r != ERR_OK && m_iAddressType != 2 && !m_nodeName.empty() && m_nodeName[0] != 0) {
        // The controller may have moved (new IP address behind the same
        // name): look it up again once.
        if (ResolveNodename() == PLCCOM_OK) {
            AddLogEntry(LOG_INFO, 0, "CPLCComARTI3: Open() PlcAddress = %s", GetPlcAddressText().c_str());
            r = OpenChannel(ulBufferSize, &usChannel, &ulGranted, &bBigEndian);
        }
    }
    if (r != ERR_OK) {
        AddLogEntry(LOG_ERROR, r, "CPLCComARTI3: <-Open() no connection to PlcAddress");
        return PLCCOM_FAILED;
    }

    RTS_RESULT rEvent = ERR_OK;
    RTS_HANDLE hEvent = SysEventCreate(nullptr, &rEvent);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tSendService3Async = SendService3Async();
        m_tSendService3Async.hEvent = hEvent;
        m_tSendService3Async.usChannel = usChannel;
    }
    m_usChannel = usChannel;
    m_bChannelOpen = true;
    m_ulCommBufferSize = ulGranted;
    m_bMotorola = bBigEndian ? 1 : 0;
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        ChannelRegistry()[usChannel] = this;
    }
    r = m_pImports->pfNetClientRegisterAppInterface(usChannel, ChannelApp());
    if (hEvent == RTS_INVALID_HANDLE || r != ERR_OK) {
        AddLogEntry(LOG_ERROR, r != ERR_OK ? r : rEvent,
                    "CPLCComARTI3: <-Open() no connection to PlcAddress");
        CloseChannel(nullptr);
        return PLCCOM_FAILED;
    }
    bool bAllocated = false;
    try {
        m_rxBuffer.assign(ulGranted, 0);
        bAllocated = AllocateSendBuffer(ulGranted);
    } catch (const std::bad_alloc&) {
        bAllocated = false;
    }
    if (!bAllocated) {
        AddLogEntry(LOG_ERROR, ERR_NOMEMORY,
                    "CPLCComARTI3: <-Open() out of memory or misaligned, tried to get %ld Bytes",
                    static_cast<long>((static_cast<RTS_UI64>(ulGranted) + 3u) & ~static_cast<RTS_UI64>(3u)));
        CloseChannel(nullptr);
        return PLCCOM_FAILED;
    }
    m_ulBufferSize = ulGranted;
    m_ulChannel = usChannel;
    AddLogEntry(LOG_INFO, 0,
                "CPLCComARTI3: Open() open channel successfull, CommBuffersize = %ld, bMotorola = %ld",
                static_cast<long>(ulGranted), static_cast<long>(m_bMotorola));
    return PLCCOM_OK;
}

void CPLCComARTI3::CloseChannel(RTS_I32* plResult) {
    if (m_bChannelOpen) {
        {
            std::lock_guard<std::mutex> lock(g_registryMutex);
            auto it = ChannelRegistry().find(m_usChannel);
            if (it != ChannelRegistry().end() && it->second == this) {
                ChannelRegistry().erase(it);
            }
        }
        m_pImports->pfNetClientUnregisterAppInterface(m_usChannel, ChannelApp());
        RTS_RESULT r = m_pImports->pfNetClientCloseChannel(m_usChannel);
        if (r != ERR_OK) {
            AddLogEntry(LOG_ERROR, r,
                        "CPLCComARTI3: <-Close() close Channel failed, Result = %ld, Channel = %ld",
                        static_cast<long>(r), static_cast<long>(m_usChannel));
            if (plResult != nullptr) {
                *plResult = PLCCOM_FAILED;
            }
        }
        m_bChannelOpen = false;
    }
    RTS_HANDLE hEvent = RTS_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        hEvent = m_tSendService3Async.hEvent;
        m_tSendService3Async = SendService3Async();
        m_rxBuffer.clear();
        m_rxBuffer.shrink_to_fit();
    }
    if (hEvent != RTS_INVALID_HANDLE) {
        SysEventDelete(hEvent);
    }
    FreeSendBuffer();
    m_ulCommBufferSize = 0;
    m_ulChannel = 0xFFFFFFFFu;
    m_hSecureChannel = RTS_INVALID_HANDLE;
}

RTS_I32 CPLCComARTI3::Close() {
    RTS_I32 lResult = PLCCOM_OK;
    CancelResolution();
    DeleteSymbols();
    CloseChannel(&lResult);
    return lResult;
}

// ---- Service exchange ------------------------------------------------------------------------------------

void CPLCComARTI3::ClientAppHandleMessage(RTS_HANDLE, RTS_UI16 wChannelHandle, PROTOCOL_DATA_UNIT pduData) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = ChannelRegistry().find(wChannelHandle);
    if (it != ChannelRegistry().end()) {
        it->second->OnMessage(pduData);
    }
}

void CPLCComARTI3::ClientAppOnChannelError(RTS_HANDLE, RTS_UI16 wChannelHandle, RTS_RESULT nError) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = ChannelRegistry().find(wChannelHandle);
    if (it != ChannelRegistry().end()) {
        it->second->OnChannelError(nError);
    }
}

void CPLCComARTI3::OnMessage(PROTOCOL_DATA_UNIT pduData) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SendService3Async& t = m_tSendService3Async;
    if (t.bReplyOwed) {
        // The reply to a request that timed out: never the answer to the
        // request sent after it.
        t.bReplyOwed = false;
        if (t.hEvent != RTS_INVALID_HANDLE) {
            SysEventSet(t.hEvent);
        }
        return;
    }
    if (!t.bOutstanding) {
        return;  // nobody asked
    }
    t.bOutstanding = false;
    if (pduData.pData == nullptr || pduData.ulCount > m_rxBuffer.size()) {
        t.result = ERR_BUFFERSIZE;
        t.ulRecvSize = 0;
    } else {
        if (pduData.ulCount > 0) {
            memcpy(m_rxBuffer.data(), pduData.pData, pduData.ulCount);
        }
        t.ulRecvSize = pduData.ulCount;
        t.result = ERR_OK;
    }
    t.bDone = 1;
    if (t.hEvent != RTS_INVALID_HANDLE) {
        SysEventSet(t.hEvent);
    }
}

void CPLCComARTI3::OnChannelError(RTS_RESULT nError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SendService3Async& t = m_tSendService3Async;
    t.result = nError != ERR_OK ? nError : ERR_FAILED;
    t.bDone = 1;
    t.bOutstanding = false;
    t.bReplyOwed = false;
    if (t.hEvent != RTS_INVALID_HANDLE) {
        SysEventSet(t.hEvent);
    }
}

RTS_I32 CPLCComARTI3::SendService3(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv,
                                   RTS_BOOL bUseExternalRxBuffer) {
    PROTOCOL_DATA_UNIT external = {nullptr, 0};
    if (ppduRecv != nullptr) {
        external = *ppduRecv;
        ppduRecv->pData = nullptr;
        ppduRecv->ulCount = 0;
    }
    if (!m_bChannelOpen || ppduRecv == nullptr) {
        return PLCCOM_FAILED;
    }
    RTS_UI64 ullBudget = 2ull * m_ulTimeout * m_ulTries;
    const RTS_UI32 ulBudget =
        ullBudget > kMaxWaitBudgetMs ? kMaxWaitBudgetMs : static_cast<RTS_UI32>(ullBudget);
    const RTS_UI32 ulStart = SysTimeGetMs();
    RTS_HANDLE hEvent = RTS_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        hEvent = m_tSendService3Async.hEvent;
    }
    // The channel takes no new request before the reply a timed-out request
    // still owes has come in; wait for it (within this request's budget) so
    // that it is dropped, not taken as this request's reply.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_tSendService3Async.bReplyOwed) {
                m_tSendService3Async.bDone = 0;
                m_tSendService3Async.result = ERR_TIMEOUT;
                m_tSendService3Async.ulRecvSize = 0;
                m_tSendService3Async.bOutstanding = true;
                break;
            }
        }
        RTS_UI32 ulElapsed = SysTimeElapsedMs(SysTimeGetMs(), ulStart);
        if (ulElapsed >= ulBudget) {
            AddLogEntry(
                LOG_ERROR, ERR_TIMEOUT,
                "CPLCComARTI3: <-SendService3() reply to an earlier request still missing, Channel = %ld",
                static_cast<long>(m_usChannel));
            return PLCCOM_FAILED;
        }
        RTS_UI32 ulStep = ulBudget - ulElapsed;
        SysEventWait(hEvent, ulStep < kReplyStepMs ? ulStep : kReplyStepMs);
    }

    RTS_RESULT r = m_pImports->pfNetClientSend(m_usChannel, pduSend);
    if (r != ERR_OK) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_tSendService3Async.bOutstanding = false;
        }
        AddLogEntry(LOG_ERROR, r,
                    "CPLCComARTI3: <-SendService3() NetClientSend failed, Result = %ld, Channel = %ld",
                    static_cast<long>(r), static_cast<long>(m_usChannel));
        return PLCCOM_FAILED;
    }

    RTS_RESULT result = ERR_TIMEOUT;
    RTS_UI32 ulRecvSize = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            SendService3Async& t = m_tSendService3Async;
            if (t.bDone) {
                result = t.result;
                ulRecvSize = t.ulRecvSize;
                break;
            }
            if (SysTimeElapsedMs(SysTimeGetMs(), ulStart) >= ulBudget) {
                // Whatever this request's reply does later, it is dropped.
                t.bOutstanding = false;
                t.bReplyOwed = true;
                result = ERR_TIMEOUT;
                break;
            }
        }
        RTS_UI32 ulElapsed = SysTimeElapsedMs(SysTimeGetMs(), ulStart);
        RTS_UI32 ulStep = ulElapsed < ulBudget ? ulBudget - ulElapsed : 0;
        SysEventWait(hEvent, ulStep < kReplyStepMs ? ulStep : kReplyStepMs);
    }
    if (result != ERR_OK) {
        AddLogEntry(LOG_ERROR, result, "CPLCComARTI3: <-SendService3() no reply, Result = %ld, Channel = %ld",
                    static_cast<long>(result), static_cast<long>(m_usChannel));
        return MapTransportResult(result);
    }
    if (bUseExternalRxBuffer) {
        if (external.pData == nullptr || external.ulCount < ulRecvSize) {
            AddLogEntry(
                LOG_ERROR, ERR_BUFFERSIZE,
                "CPLCComARTI3: <-SendService3() Receive buffer too small, %ld Bytes needed, %ld given",
                static_cast<long>(ulRecvSize), static_cast<long>(external.ulCount));
            return PLCCOM_FAILED;
        }
        memcpy(external.pData, m_rxBuffer.data(), ulRecvSize);
        ppduRecv->pData = external.pData;
    } else {
        ppduRecv->pData = m_rxBuffer.data();
    }
    ppduRecv->ulCount = ulRecvSize;
    return PLCCOM_OK;
}
