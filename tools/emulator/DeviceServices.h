// The emulator's service layer: what a V3 controller answers to the service
// PDUs that arrive as channel messages. DeviceServices takes a request PDU
// (20-byte service header and binary tags), checks the header, and hands the
// body to the handler of its service group; the handler writes the reply's
// tags and DeviceServices puts the reply header in front (group | 0x80, the
// request's service, the session id). A group nobody handles, or a service a
// handler does not know, is answered with TAG_ERROR 0xFF7F = 0x302.
//
// Group 1 (device services: identification, session, login, logout,
// operation mode) lives in DeviceServices.cpp; group 9 (variable access) in
// VarServices.cpp. Tests call Handle directly, in-process; the emulator binds
// it to the channel server as its responder.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CmpBinTagUtilItf.h"

namespace klemu {

// One decoded request, numbers in host order.
struct ServiceRequest {
    uint16_t usGroup = 0;
    uint16_t usService = 0;
    uint32_t ulSessionId = 0;
    bool bSwap = false;  // the client's header arrived in the other byte order
    const uint8_t* pBody = nullptr;
    uint32_t ulBodySize = 0;
};

// A handler of one service group. Handle writes the reply's tags with pWriter
// (a memory writer over the reply buffer, the header already started) and
// returns true; false means "service unknown" (the layer answers 0x302).
// Handlers are called under the layer's lock, one request at a time.
class IServiceGroup {
public:
    virtual ~IServiceGroup() = default;
    virtual uint16_t Group() const = 0;
    virtual bool Handle(const ServiceRequest& request, BINTAGWRITER* pWriter) = 0;
};

}  // namespace klemu
