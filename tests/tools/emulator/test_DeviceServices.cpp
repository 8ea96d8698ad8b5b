// The emulator's service layer on its own: the dispatcher's answers to what
// no group handles and to bytes that are no request, the header's byte
// order, and the command-line switches of the device services.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BinTagService.h"
#include "DeviceServices.h"
#include "EmulatorOptions.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Request(uint16_t usGroup, uint16_t usService, bool bBigEndian) {
    Bytes pdu = {0x55,
                 0xCD,
                 0x10,
                 0x00,
                 static_cast<uint8_t>(usGroup),
                 0,
                 static_cast<uint8_t>(usService),
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0};
    if (bBigEndian) {
        for (size_t i = 0; i < 8; i += 2) {
            std::swap(pdu[i], pdu[i + 1]);
        }
    }
    return pdu;
}

// A group that answers service 1 with one tag and knows nothing else.
class FixedGroup : public klemu::IServiceGroup {
public:
    uint16_t Group() const override { return 9; }
    bool Handle(const klemu::ServiceRequest& request, BINTAGWRITER* pWriter) override {
        if (request.usService != 1) {
            return false;
        }
        uint32_t ul = 0xA5;
        return BTagWriteSingleTag(pWriter, 0x14, BTAG_ALIGNMENT{4, 0}, 0, &ul, 4) == ERR_OK;
    }
};

TEST(DeviceServices, DispatchUnknownServicesAndByteOrder) {
    klemu::DeviceServices services{klemu::DeviceServicesOptions()};
    ASSERT_TRUE(services.Ok());
    // Unknown group: the reply is the header and TAG_ERROR 0xFF7F = 0x302.
    Bytes reply = services.Handle(Request(0x33, 4, false));
    ASSERT_EQ(reply.size(), 28u);
    EXPECT_EQ(reply[4], 0xB3);
    EXPECT_EQ(reply[6], 4);
    EXPECT_EQ(Bytes(reply.begin() + 20, reply.end()), (Bytes{0xFF, 0xFE, 0x03, 0x04, 0x02, 0x03, 0, 0}));
    // A big-endian request is answered big-endian, contents included.
    reply = services.Handle(Request(1, 7, true));
    ASSERT_GE(reply.size(), 28u);
    EXPECT_EQ(reply[0], 0xCD);
    EXPECT_EQ(reply[5], 0x81);
    EXPECT_EQ(Bytes(reply.end() - 4, reply.end()), (Bytes{0, 0, 0, 1})) << "operation mode debug";
    // No request: no answer.
    EXPECT_TRUE(services.Handle(Bytes(19, 0)).empty());
    EXPECT_TRUE(services.Handle(Bytes(20, 0)).empty());
    Bytes cut = Request(1, 1, false);
    cut[12] = 8;  // announces a body that did not arrive
    EXPECT_TRUE(services.Handle(cut).empty());

    services.AddGroup(std::unique_ptr<klemu::IServiceGroup>(new FixedGroup));
    reply = services.Handle(Request(9, 1, false));
    ASSERT_EQ(reply.size(), 28u);
    EXPECT_EQ(reply[20], 0x14);
    EXPECT_EQ(reply[24], 0xA5);
    reply = services.Handle(Request(9, 2, false));
    ASSERT_EQ(reply.size(), 28u);
    EXPECT_EQ(reply[20], 0xFF) << "a service the group does not know";
}

TEST(DeviceServices, OptionsShareTheNameServiceIdentity) {
    kltest::TempDir dir;
    std::string symbols = dir.File("Symbols.xml");
    kltest::WriteFile(symbols, "<Symbolconfiguration/>");
    std::vector<std::string> args = {"kestrolink-emulator",
                                     "--symbols",
                                     symbols,
                                     "--node-name",
                                     "Line4",
                                     "--auth-type",
                                     "2",
                                     "--user",
                                     "op",
                                     "--password",
                                     "pw",
                                     "--core-version",
                                     "3.5.15.0",
                                     "--ip",
                                     "10.1.2.3/255.255.0.0",
                                     "--big-endian",
                                     "--session-unknown"};
    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    klemu::EmulatorOptions o;
    std::string error;
    ASSERT_TRUE(klemu::ParseEmulatorOptions(static_cast<int>(argv.size()), argv.data(), &o, &error)) << error;
    EXPECT_EQ(o.device.identity.nodeName, u"Line4");
    EXPECT_EQ(o.device.ulAuthType, 2u);
    EXPECT_EQ(o.device.user, "op");
    EXPECT_EQ(o.device.password, "pw");
    EXPECT_EQ(o.device.ulCoreVersion, 0x03050F00u);
    ASSERT_EQ(o.device.ipList.size(), 1u);
    EXPECT_EQ(o.device.ipList[0].ulAddr, 0x0A010203u);
    EXPECT_EQ(o.device.ipList[0].ulMask, 0xFFFF0000u);
    EXPECT_TRUE(o.device.bSessionUnknown);
    EXPECT_TRUE(o.channel.bBigEndian) << "the channel reports the device's byte order";

    for (auto bad : std::vector<std::vector<std::string>>{{"--auth-type", "3"},
                                                          {"--core-version", "3.5.x"},
                                                          {"--ip", "10.1.2.3"},
                                                          {"--user"},
                                                          {"--password", std::string(60, 'p')}}) {
        std::vector<const char*> v = {"kestrolink-emulator", "--symbols", symbols.c_str()};
        for (const std::string& a : bad) {
            v.push_back(a.c_str());
        }
        EXPECT_FALSE(klemu::ParseEmulatorOptions(static_cast<int>(v.size()), v.data(), &o, &error)) << bad[0];
    }
    klemu::DeviceServicesOptions withMissingKey;
    withMissingKey.keyFile = dir.File("missing.pem");
    klemu::DeviceServices services(withMissingKey);
    EXPECT_FALSE(services.Ok());
    EXPECT_NE(services.Error().find("missing.pem"), std::string::npos);
}

}  // namespace
