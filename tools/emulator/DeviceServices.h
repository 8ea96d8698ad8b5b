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
#include "NameServiceResponder.h"

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

// What group 1 answers. The identity (names, target type, id and version,
// channels, serial number) is the name service's, so that a scan and the
// identification of a channel describe the same device.
struct DeviceServicesOptions {
    NameServiceIdentity identity;
    uint32_t ulCoreVersion = 0x03051100;  // identification tag 6 (3.5.17.0)
    uint32_t ulIdentFlags = 0;            // identification tag 7
    struct IpEntry {
        uint32_t ulAddr = 0;  // host order, 0x7F000001 is 127.0.0.1
        uint32_t ulMask = 0;
    };
    std::vector<IpEntry> ipList;  // identification tag 10
    uint32_t ulAuthType = 0;      // chosen at session creation: 0, 1 or 2
    bool bAuthTypeGiven = false;  // --auth-type given; else --user/--password choose 1
    std::string user;             // checked by login types 1 and 2
    std::string password;
    // PEM private RSA key of login type 2; empty: a 2048-bit key is made at start.
    std::string keyFile;
    // The device is big-endian: the channel reports it, and a big-endian
    // identification announces its serial number with length 0, as such
    // devices do. Tag contents always follow the request header's order.
    bool bBigEndian = false;
    // Test switch: session creation (1/10) is answered with 0x302.
    bool bSessionUnknown = false;
    // Largest reply PDU.
    uint32_t ulMaxReply = 0x40000;
};

// One command-line switch of the device services ("--auth-type" and the
// others of DeviceServicesUsage); false with a reason for a bad value,
// *pbKnown false for a switch that is not one of these.
bool ParseDeviceServicesOption(const std::string& name, const std::string& value,
                               DeviceServicesOptions* pOptions, bool* pbKnown, std::string* pError);
// False for the switches without a value ("--session-unknown", "--big-endian").
bool DeviceServicesOptionTakesValue(const std::string& name);
const char* DeviceServicesUsage();

// The dispatcher, with group 1 built in.
class DeviceServices {
public:
    explicit DeviceServices(const DeviceServicesOptions& options);
    ~DeviceServices();
    DeviceServices(const DeviceServices&) = delete;
    DeviceServices& operator=(const DeviceServices&) = delete;

    // False when the key of login type 2 could not be read or made (Error()
    // tells why); Handle then answers every login with result 1.
    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }

    // A group of its own replaces one of the same number.
    void AddGroup(std::unique_ptr<IServiceGroup> group);
    // The reply PDU to a request PDU; empty for bytes that are no request.
    // Thread-safe: one request at a time.
    // ulMaxReply: the largest reply the client's channel takes (0: only
    // the options' bound applies).
    std::vector<uint8_t> Handle(const std::vector<uint8_t>& requestPdu, uint32_t ulMaxReply = 0);

    // State of group 1, for tests.
    uint32_t SessionId() const;
    bool LoggedIn() const;
    uint32_t OpMode() const;
    // The DER SubjectPublicKeyInfo sent in tag 0x27.
    std::vector<uint8_t> PublicKey() const;

private:
    class DeviceGroup;
    struct Key;
    DeviceServicesOptions m_options;
    std::string m_error;
    mutable std::mutex m_mutex;
    std::unique_ptr<Key> m_pKey;
    DeviceGroup* m_pDeviceGroup = nullptr;  // owned by m_groups
    std::vector<std::unique_ptr<IServiceGroup>> m_groups;
};

}  // namespace klemu
