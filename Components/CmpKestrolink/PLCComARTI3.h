// The direct transport of the V3 device client (interface type IT_ARTI3):
// it loads the block drivers it is configured for, finds the controller's
// node address through the name service (from an IP address and port, from
// a node name, or the local runtime itself), opens one channel to it with
// the channel client and exchanges one service request and its reply at a
// time over that channel.
//
// The name service and the channel client call back from their own threads.
// Those callbacks find the device object through a process-wide registry (a
// ticket per name-service request, the channel handle for the channel), never
// through a pointer they were given: a callback for a request that is no
// longer current, or for an object that has gone, is dropped.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "PLCComBase3.h"

struct NODEINFOPACKED3;

// Block drivers selectable by "DriverMask".
#define KL_DRIVERMASK_TCP 0x2u
#define KL_DRIVERMASK_COM 0x4u
#define KL_DRIVERMASK_SHM 0x10u
#define KL_DRIVERMASK_UDP 0x20u

// Channel buffer sizes: the default when none is configured and the least
// that is ever asked for.
#define KL_ARTI3_DEFAULT_BUFFER_SIZE 512000u
#define KL_ARTI3_MIN_BUFFER_SIZE 10000u
#define KL_ARTI3_DEFAULT_TCP_PORT 11740u

class CPLCComARTI3 : public CPLCComBase3Selector {
public:
    CPLCComARTI3(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger);
    ~CPLCComARTI3() override;

    RTS_I32 Open() override;
    RTS_I32 Close() override;
    // After Open: 0 when exactly one device answered to the node name (or no
    // name was resolved), PLCCOM_DUPLICATE_PLC_NAME for several, -1 for none.
    RTS_I32 CheckConnectResult() override;

    // The channel buffer size the controller granted (0 while closed).
    RTS_UI32 GetCommBufferSize() const { return m_ulCommBufferSize; }
    // The node address the channel was opened to, "%04X." per component
    // without the last dot; empty while none is known.
    std::string GetPlcAddressText() const;

    // Test seams, process-wide: the port used when "IpAddress" comes without
    // "Port" (0: 11740), and the longest wait for a name-service answer and
    // for a previous name resolution (0: 20000 ms).
    static void SetDefaultTcpPort(RTS_UI16 usPort);
    static void SetResolveWaitLimit(RTS_UI32 ulMs);

protected:
    RTS_I32 SendService3(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv,
                         RTS_BOOL bUseExternalRxBuffer) override;
    // Resolves m_nodeName into m_PlcAddress: 0, or -1 with the previous
    // address kept. The query stays open for CheckConnectResult to count the
    // devices that answer.
    RTS_I32 ResolveNodename();

private:
    // The one pending service of the channel. A reply is taken only while a
    // request is outstanding; after a time-out the reply the controller still
    // owes is dropped when it comes (the channel is half-duplex, so the next
    // message on it is that reply).
    struct SendService3Async {
        RTS_I32 bDone = 0;
        RTS_RESULT result = ERR_TIMEOUT;
        RTS_HANDLE hEvent = RTS_INVALID_HANDLE;
        RTS_UI32 ulRecvSize = 0;
        RTS_UI16 usChannel = 0;
        bool bOutstanding = false;
        bool bReplyOwed = false;
    };

    struct Imports;

    static void NsCallback(RTS_RESULT nResult, NODEADDRESS addrNode, NODEINFOPACKED3* pNodeInfo,
                           RTS_UI16 wSize, RTS_UI8 byBlkDrvType, RTS_HANDLE hCallerRequestID,
                           RTS_BOOL bComplete);
    static void ClientAppHandleMessage(RTS_HANDLE hInstance, RTS_UI16 wChannelHandle,
                                       PROTOCOL_DATA_UNIT pduData);
    static void ClientAppOnChannelError(RTS_HANDLE hInstance, RTS_UI16 wChannelHandle, RTS_RESULT nError);

    void OnNsAnswer(RTS_RESULT nResult, const NODEADDRESS& addrNode, RTS_BOOL bComplete);
    void OnMessage(PROTOCOL_DATA_UNIT pduData);
    void OnChannelError(RTS_RESULT nError);

    void LoadDrivers();
    bool ImportFunctions();
    // Starts a name-service request under a new ticket (the previous one is
    // cancelled first); false when the name service refused it.
    bool StartBlkDrvResolution(RTS_UI8 byBlkDrvType, RTS_UI8 byFlags, RTS_UI8 byAddrBitLength,
                               const NETWORKADDRESS* pNetworkAddr);
    bool StartNameResolution(RTS_UI32 ulTimeoutMs);
    // Waits in 100 ms steps until an answer came, the request ended or
    // ulMaxWaitMs passed; true when the request ended or answered.
    bool WaitForResolution(RTS_UI32 ulMaxWaitMs, bool bUntilComplete);
    void CancelResolution();
    RTS_I32 OpenConnection();
    RTS_I32 ResolveIpAddress();
    RTS_I32 ResolveSelf();
    RTS_RESULT OpenChannel(RTS_UI32 ulBufferSize, RTS_UI16* pusChannel, RTS_UI32* pulGranted,
                           RTS_BOOL* pbBigEndian);
    void CloseChannel(RTS_I32* plResult);
    std::string NodeNameText() const;
    RTS_UI32 ResolveNameTimeout() const;

    Imports* m_pImports;
    RTS_UI32 m_ulDriverMask;
    RTS_UI32 m_ulConfiguredBufferSize;
    RTS_UI32 m_ulCommBufferSize = 0;
    RTS_UI16 m_usChannel = 0;
    bool m_bChannelOpen = false;
    // Guards the pending service, the receive buffer and the resolution
    // state; taken by the callbacks (inside the registry lock) and by the
    // device's own thread.
    mutable std::mutex m_mutex;
    SendService3Async m_tSendService3Async;
    std::vector<RTS_UI8> m_rxBuffer;
    // Name resolution: 0 idle, 1 running, 2 the name service reported the
    // end or an error.
    RTS_I32 m_DetectAddressState = 0;
    RTS_UINTPTR m_ulNsTicket = 0;
    RTS_UI32 m_nDevicesFound = 0;
    std::vector<RTS_UI16> m_foundAddress;
    bool m_bNameResolutionUsed = false;
    RTS_HANDLE m_hSecureChannel = RTS_INVALID_HANDLE;  // the secure channel joins later
};
