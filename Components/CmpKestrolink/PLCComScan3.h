// The network scan over the direct transport (interface type IT_ARTI3): a
// device object that does nothing but scan. It broadcasts an identify
// request through the name service (NSResolveAll3), turns every answering
// node into a NodeInfotyp2 record and reports the records, then one record
// with bComplete set, from a thread of its own ("NetworkScan"), so that the
// client's callback never runs on a block driver's receive thread.
//
// The name service's callbacks find the object through a ticket registry,
// not through a pointer: a callback for a scan whose object has gone is
// dropped, and the object's destructor cancels its request before it frees
// anything.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PLCComBase.h"
#include "SysTask.h"
#include "kestrolink/KestrolinkTypes.h"

struct NODEADDRESS;
struct NODEINFOPACKED3;

// A NodeInfotyp2 with the storage its pointers refer to.
struct KlScanNode {
    NodeInfotyp2 info;
    std::string nodeAddr;
    std::string parentAddr;
    std::vector<uint16_t> nodeName;
    std::vector<uint16_t> deviceName;
    std::vector<uint16_t> vendorName;
    std::string serialNumber;
    std::vector<uint8_t> oemData;
    // Points info's fields at the members above (after any copy or move).
    void Bind();
};

// The record of one answering node: the node address and the parent address
// printed "%04X." per component without the last dot, the texts and fields
// of the generation-3 node description (wSize bytes, checked against the
// lengths it states), the block driver type it arrived on.
bool KlScanNodeFromNodeInfo(const NODEADDRESS& addrNode, const NODEINFOPACKED3* pInfo, RTS_UI16 wSize,
                            RTS_UI8 byBlkDrvType, KlScanNode* pNode);
// The record that ends a scan: lResult as given, bComplete 1, empty texts.
void KlScanNodeComplete(RTS_I32 lResult, KlScanNode* pNode);

class CPLCComScan3 : public CPLCComBase {
public:
    // ulScanTimeoutMs 0: the name service's "ScanTimeSeconds".
    CPLCComScan3(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger,
                 RTS_UI32 ulScanTimeoutMs = 0);
    ~CPLCComScan3() override;

    // PLCCOM_SCAN_ACTIVE when this object scans already; PLCCOM_NOT_SUPPORTED
    // without the name service; PLCCOM_FAILED when the request was refused.
    RTS_I32 ScanNetwork(RTS_UINTPTR ulUserData, PFSCANNETWORKCALLBACK pfCallback) override;

    RTS_I32 Open() override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 Close() override { return PLCCOM_OK; }
    RTS_I32 Login() override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 Logout() override { return PLCCOM_OK; }
    RTS_I32 CheckProjectIds() override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 GetPlcProjectName(char*, RTS_UI32) override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 LoadSymbols() override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 DeleteSymbols() override { return PLCCOM_OK; }
    RTS_I32 GetSymbols(PlcSymbolDesc**, RTS_UI32*) override { return PLCCOM_NOT_SUPPORTED; }
    HVARLIST DefineVarList(const char* const*, RTS_UI32, RTS_I32, RTS_UI32, RTS_I32* plResult) override;
    RTS_I32 DeleteVarList(HVARLIST, RTS_I32) override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 SendVarList(HVARLIST, RTS_HANDLE, RTS_HANDLE, RTS_I32*, RTS_I32, RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }
    RTS_I32 GetVarList(HVARLIST, PlcVarValue***, RTS_UI32*) override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 GetValues(HVARLIST, PlcVarValue***, RTS_UI32*) override { return PLCCOM_NOT_SUPPORTED; }
    RTS_I32 WriteVarList(HVARLIST, RTS_UI32, const RTS_UI8* const*, const RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }
    RTS_I32 WriteVars(const char* const*, RTS_UI32, const RTS_UI8* const*, const RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }
    RTS_I32 SendService(const RTS_UI8*, RTS_UI32, RTS_UI8**, RTS_UI32*) override {
        return PLCCOM_NOT_SUPPORTED;
    }

    // 1 once the record with bComplete has been handed to the callback.
    RTS_I32 ScanDone() const { return m_bDone.load(); }

private:
    static void NsCallback(RTS_RESULT nResult, NODEADDRESS addrNode, NODEINFOPACKED3* pNodeInfo,
                           RTS_UI16 wSize, RTS_UI8 byBlkDrvType, RTS_HANDLE hCallerRequestID,
                           RTS_BOOL bComplete);
    static void TaskEntry(SYS_TASK_PARAM* ptp);
    void Run(SYS_TASK_PARAM* ptp);
    void Push(std::unique_ptr<KlScanNode> pNode);
    void StopScan();

    RTS_UI32 m_ulScanTimeoutMs;
    RTS_UINTPTR m_ulTicket = 0;  // the caller handle given to the name service; 0 = no scan
    RTS_UINTPTR m_ulUserData = 0;
    PFSCANNETWORKCALLBACK m_pfCallback = nullptr;
    RTS_HANDLE m_hTask = RTS_INVALID_HANDLE;
    RTS_HANDLE m_hEvent = RTS_INVALID_HANDLE;
    std::mutex m_mutex;  // guards m_queue
    std::deque<std::unique_ptr<KlScanNode>> m_queue;
    std::atomic<RTS_I32> m_bDone{0};
    RTS_VOID_FCTPTR m_pfNSResolveAll3 = nullptr;
    RTS_VOID_FCTPTR m_pfNSCancelRequest = nullptr;
};
