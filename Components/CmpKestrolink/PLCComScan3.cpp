// Network scan over the direct transport: the name service's answers become
// NodeInfotyp2 records, reported from the scan's own thread.
#include "PLCComScan3.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "CMItf.h"
#include "CmpNameServiceClientItf.h"
#include "SysEvent.h"
#include "SysTask.h"

namespace {

constexpr RTS_UI32 kTaskExitWaitMs = 2000;
constexpr RTS_UI32 kPollMs = 100;

// Tickets of running scans. A name-service callback holds this lock while it
// hands its record over, so an object that has left the registry gets none.
std::mutex g_registryMutex;
std::map<RTS_UINTPTR, CPLCComScan3*>& Registry() {
    static std::map<RTS_UINTPTR, CPLCComScan3*> s_registry;
    return s_registry;
}
std::atomic<RTS_UINTPTR> g_ulNextTicket{1};

std::string AddressText(const RTS_UI8* pComponents, RTS_UI32 nComponents) {
    std::string out;
    char sz[8];
    for (RTS_UI32 i = 0; i < nComponents; ++i) {
        snprintf(sz, sizeof(sz), "%02X%02X.", pComponents[2 * i], pComponents[2 * i + 1]);
        out += sz;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

// A wide text of nChars characters at p, and its terminator.
std::vector<uint16_t> WideText(const RTS_UI8* p, RTS_UI32 nChars) {
    std::vector<uint16_t> out(nChars + 1, 0);
    if (nChars > 0) {
        memcpy(out.data(), p, 2 * nChars);
    }
    out[nChars] = 0;
    return out;
}

}  // namespace

void KlScanNode::Bind() {
    info.pszNodeAddr = &nodeAddr[0];
    info.pszParentAddr = &parentAddr[0];
    info.pwszNodeName = nodeName.data();
    info.pwszDeviceName = deviceName.data();
    info.pwszVendorName = vendorName.data();
    info.pszSerialNumber = &serialNumber[0];
    info.pbyOemData = oemData.empty() ? nullptr : oemData.data();
    info.ulOemDataLength = static_cast<uint32_t>(oemData.size());
}

bool KlScanNodeFromNodeInfo(const NODEADDRESS& addrNode, const NODEINFOPACKED3* pInfo, RTS_UI16 wSize,
                            RTS_UI8 byBlkDrvType, KlScanNode* pNode) {
    const RTS_UI32 ulFixed = offsetof(NODEINFOPACKED3, addrParent);
    if (pInfo == nullptr || pNode == nullptr || wSize < ulFixed || addrNode.nLength > MAX_NODE_ADDR_LEN) {
        return false;
    }
    NODEINFOPACKED3 fixed;
    memcpy(&fixed, pInfo, ulFixed);
    const RTS_UI32 nParent = fixed.wParentAddrSize;
    const RTS_UI32 ulNeeded = ulFixed + 2u * nParent + 2u * (fixed.wNodeNameLength + 1u) +
                              2u * (fixed.wDeviceNameLength + 1u) + 2u * (fixed.wVendorNameLength + 1u) +
                              fixed.bySerialNumberLength + 1u + fixed.byOemDataLength;
    if (nParent > MAX_NODE_ADDR_LEN || ulNeeded != wSize) {
        return false;
    }
    const RTS_UI8* p = reinterpret_cast<const RTS_UI8*>(pInfo) + ulFixed;
    KlScanNode node;
    memset(&node.info, 0, sizeof(node.info));
    node.nodeAddr = AddressText(reinterpret_cast<const RTS_UI8*>(addrNode.address), addrNode.nLength);
    node.parentAddr = AddressText(p, nParent);
    p += 2 * nParent;
    node.nodeName = WideText(p, fixed.wNodeNameLength);
    p += 2 * (fixed.wNodeNameLength + 1u);
    node.deviceName = WideText(p, fixed.wDeviceNameLength);
    p += 2 * (fixed.wDeviceNameLength + 1u);
    node.vendorName = WideText(p, fixed.wVendorNameLength);
    p += 2 * (fixed.wVendorNameLength + 1u);
    node.serialNumber.assign(reinterpret_cast<const char*>(p), fixed.bySerialNumberLength);
    p += fixed.bySerialNumberLength + 1u;
    node.oemData.assign(p, p + fixed.byOemDataLength);
    node.info.lResult = 0;
    node.info.bComplete = 0;
    node.info.ulTargetType = fixed.ulTargetType;
    node.info.ulTargetId = fixed.ulTargetId;
    node.info.ulTargetVersion = fixed.ulTargetVersion;
    node.info.wMaxChannels = fixed.wMaxChannels;
    node.info.ulFlags = fixed.ulFlags;
    node.info.byIntelByteOrder = fixed.bIntelByteOrder;
    node.info.wRtsBlkDrvType = byBlkDrvType;
    *pNode = std::move(node);
    pNode->Bind();
    return true;
}

void KlScanNodeComplete(RTS_I32 lResult, KlScanNode* pNode) {
    memset(&pNode->info, 0, sizeof(pNode->info));
    pNode->nodeAddr.clear();
    pNode->parentAddr.clear();
    pNode->nodeName.assign(1, 0);
    pNode->deviceName.assign(1, 0);
    pNode->vendorName.assign(1, 0);
    pNode->serialNumber.clear();
    pNode->oemData.clear();
    pNode->info.lResult = lResult;
    pNode->info.bComplete = 1;
    pNode->Bind();
}

CPLCComScan3::CPLCComScan3(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger,
                           RTS_UI32 ulScanTimeoutMs)
    : CPLCComBase(pPlcConfig, pDeviceDesc, hLogger), m_ulScanTimeoutMs(ulScanTimeoutMs) {
    if (CMGetAPI("NSResolveAll3", &m_pfNSResolveAll3, SIG_NSResolveAll3) != ERR_OK ||
        CMGetAPI("NSCancelRequest", &m_pfNSCancelRequest, SIG_NSCancelRequest) != ERR_OK ||
        m_pfNSResolveAll3 == nullptr || m_pfNSCancelRequest == nullptr) {
        m_Status = PLCCOMSTATUS_NOT_SUPPORTED;
        return;
    }
    RTS_RESULT r = ERR_OK;
    m_hEvent = SysEventCreate(nullptr, &r);
    m_Status = m_hEvent != RTS_INVALID_HANDLE ? PLCCOMSTATUS_OK : PLCCOMSTATUS_NOT_INITIALIZED;
}

CPLCComScan3::~CPLCComScan3() {
    StopScan();
    if (m_hEvent != RTS_INVALID_HANDLE) {
        SysEventDelete(m_hEvent);
    }
}

void CPLCComScan3::StopScan() {
    if (m_ulTicket != 0) {
        {
            std::lock_guard<std::mutex> lock(g_registryMutex);
            Registry().erase(m_ulTicket);
        }
        // Nothing reaches this object any more; the table row goes too.
        reinterpret_cast<PFNSCancelRequest>(m_pfNSCancelRequest)(reinterpret_cast<RTS_HANDLE>(m_ulTicket));
        m_ulTicket = 0;
    }
    if (m_hTask != RTS_INVALID_HANDLE) {
        SysTaskExit(m_hTask, kTaskExitWaitMs);
        m_hTask = RTS_INVALID_HANDLE;
    }
}

RTS_I32 CPLCComScan3::ScanNetwork(RTS_UINTPTR ulUserData, PFSCANNETWORKCALLBACK pfCallback) {
    if (m_Status == PLCCOMSTATUS_NOT_SUPPORTED) {
        return PLCCOM_NOT_SUPPORTED;
    }
    if (m_Status != PLCCOMSTATUS_OK || pfCallback == nullptr) {
        return PLCCOM_FAILED;
    }
    if (m_ulTicket != 0) {
        return PLCCOM_SCAN_ACTIVE;
    }
    m_ulUserData = ulUserData;
    m_pfCallback = pfCallback;
    m_bDone = 0;
    RTS_RESULT r = ERR_OK;
    m_hTask = SysTaskCreate("NetworkScan", TaskEntry, this, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, &r);
    if (m_hTask == RTS_INVALID_HANDLE) {
        AddLogEntry(LOG_ERROR, r, "CPLCComScan3: ScanNetwork() could not start the scan thread");
        return PLCCOM_FAILED;
    }
    SysTaskResume(m_hTask);
    m_ulTicket = g_ulNextTicket.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        Registry()[m_ulTicket] = this;
    }
    r = reinterpret_cast<PFNSResolveAll3>(m_pfNSResolveAll3)(
        m_ulScanTimeoutMs, reinterpret_cast<RTS_HANDLE>(m_ulTicket), NsCallback);
    if (r != ERR_OK) {
        AddLogEntry(LOG_ERROR, r, "CPLCComScan3: ScanNetwork() NSResolveAll3 failed, Result = %ld",
                    static_cast<long>(r));
        StopScan();
        return PLCCOM_FAILED;
    }
    return PLCCOM_OK;
}

void CPLCComScan3::NsCallback(RTS_RESULT nResult, NODEADDRESS addrNode, NODEINFOPACKED3* pNodeInfo,
                              RTS_UI16 wSize, RTS_UI8 byBlkDrvType, RTS_HANDLE hCallerRequestID,
                              RTS_BOOL bComplete) {
    std::unique_ptr<KlScanNode> pNode;
    if (nResult == ERR_OK && pNodeInfo != nullptr) {
        pNode.reset(new (std::nothrow) KlScanNode);
        if (pNode != nullptr &&
            !KlScanNodeFromNodeInfo(addrNode, pNodeInfo, wSize, byBlkDrvType, pNode.get())) {
            pNode.reset();
        }
    }
    std::unique_ptr<KlScanNode> pEnd;
    if (bComplete) {
        pEnd.reset(new (std::nothrow) KlScanNode);
        if (pEnd != nullptr) {
            KlScanNodeComplete(
                nResult == ERR_TIMEOUT || nResult == ERR_OK ? PLCCOM_SCAN_TIMEOUT : PLCCOM_FAILED,
                pEnd.get());
        }
    }
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = Registry().find(reinterpret_cast<RTS_UINTPTR>(hCallerRequestID));
    if (it == Registry().end()) {
        return;  // a scan that is no longer current
    }
    if (pNode != nullptr) {
        it->second->Push(std::move(pNode));
    }
    if (pEnd != nullptr) {
        it->second->Push(std::move(pEnd));
    }
}

void CPLCComScan3::Push(std::unique_ptr<KlScanNode> pNode) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(pNode));
    }
    SysEventSet(m_hEvent);
}

void CPLCComScan3::TaskEntry(SYS_TASK_PARAM* ptp) {
    static_cast<CPLCComScan3*>(ptp->pParam)->Run(ptp);
}

void CPLCComScan3::Run(SYS_TASK_PARAM* ptp) {
    while (ptp->bExit.load() == 0 && m_bDone.load() == 0) {
        SysEventWait(m_hEvent, kPollMs);
        for (;;) {
            std::unique_ptr<KlScanNode> pNode;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_queue.empty()) {
                    break;
                }
                pNode = std::move(m_queue.front());
                m_queue.pop_front();
            }
            bool bComplete = pNode->info.bComplete != 0;
            if (bComplete) {
                // Set first: the callback may hand the object to its deleter.
                m_bDone = 1;
            }
            m_pfCallback(m_ulUserData, &pNode->info);
            if (bComplete) {
                return;
            }
        }
    }
}

HVARLIST CPLCComScan3::DefineVarList(const char* const*, RTS_UI32, RTS_I32, RTS_UI32, RTS_I32* plResult) {
    if (plResult != nullptr) {
        *plResult = PLCCOM_NOT_SUPPORTED;
    }
    return nullptr;
}
