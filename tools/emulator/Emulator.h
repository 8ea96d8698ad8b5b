// kestrolink-emulator's server: a stand-in Malvora V3 controller. It accepts
// client connections on one TCP port, speaks the listening side of the TCP
// block driver's framing and hands every block to its router node, whose
// answers go back framed the same way. Fault switches of the options make it
// misbehave on purpose (close early, corrupt the frame magic, split frames).
//
// One task of the platform layer ("KlEmulator") serves all connections; the
// object can run in-process (tests) or inside the program.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ChannelServer.h"
#include "DeviceServices.h"
#include "VarServices.h"
#include "EmulatorNode.h"
#include "NameServiceResponder.h"
#include "EmulatorOptions.h"
#include "SysTask.h"

namespace klemu {

class Emulator {
public:
    explicit Emulator(const EmulatorOptions& options);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Binds, listens and starts the server task; false with a reason.
    bool Start(std::string* pError);
    // Ends the task (bounded wait) and closes every socket.
    void Stop();

    uint16_t Port() const { return m_usPort; }
    EmulatorNode& Node() { return *m_pNode; }
    // "kestrolink-emulator: listening on ADDR:PORT, node address XXXX:XXXX:XXXX, symbols FILE"
    std::string StartupLine() const;

    // Bytes queued as they are to every connected client (tests inject
    // malformed frames with it).
    void SendRaw(const std::vector<uint8_t>& bytes);
    // Bytes queued to the client whose 6-byte network address is peer.
    void SendToPeer(const std::vector<uint8_t>& peer, const std::vector<uint8_t>& bytes);
    ChannelServer* Channels() { return m_pChannelServer.get(); }
    // The service layer answering the channel's requests (null with
    // --echo-layer4 or before Start).
    DeviceServices* Services() { return m_pDeviceServices.get(); }
    // The variables (group 9), owned by the services; null with --echo-layer4.
    VarServices* Vars() { return m_pVarServices; }
    int Accepted() const { return m_nAccepted.load(); }
    int Connections() const;
    uint64_t FramesReceived() const { return m_nFramesReceived.load(); }

private:
    struct Conn;
    static void TaskEntry(SYS_TASK_PARAM* ptp);
    void Run(SYS_TASK_PARAM* ptp);
    void Accept();
    void Read(Conn* pConn);
    void Flush(Conn* pConn);
    void QueueFrame(Conn* pConn, const std::vector<uint8_t>& block);
    void Log(LogLevel level, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));

    EmulatorOptions m_options;
    std::unique_ptr<EmulatorNode> m_pNode;
    // Declared before the channel server: it answers from the server's
    // responder and must outlive it.
    std::unique_ptr<DeviceServices> m_pDeviceServices;
    VarServices* m_pVarServices = nullptr;
    std::unique_ptr<ChannelServer> m_pChannelServer;
    std::unique_ptr<ChannelServerHandler> m_pChannelHandler;
    std::unique_ptr<NameServiceHandler> m_pNameService;
    std::unique_ptr<NameServiceUdpResponder> m_pUdpResponder;
    RTS_HANDLE m_hListen = RTS_INVALID_HANDLE;
    RTS_HANDLE m_hTask = RTS_INVALID_HANDLE;
    uint16_t m_usPort = 0;
    mutable std::mutex m_mutex;  // guards the connection list and every connection's buffers
    std::vector<std::unique_ptr<Conn>> m_conns;
    std::atomic<int> m_nAccepted{0};
    std::atomic<uint64_t> m_nFramesReceived{0};
};

}  // namespace klemu
