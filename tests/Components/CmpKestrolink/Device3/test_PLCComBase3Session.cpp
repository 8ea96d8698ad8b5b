// The V3 device client's identification, session creation, login, logout,
// operation mode and symbol roots: against the emulator's service layer
// called in-process, and against scripted replies for what a well-behaved
// device never sends.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BinTagService.h"
#include "DeviceServices.h"
#include "DeviceTestSupport.h"
#include "PLCComBase3.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The device client with its transport replaced: each request goes to the
// emulator's services or to a script.
class TestDevice3 : public CPLCComBase3Selector {
public:
    TestDevice3(devtest::Config& c, void* hLogger, RTS_UI32 ulSendBuffer = 0x10000)
        : CPLCComBase3Selector(&c.config, &c.device, hLogger) {
        m_Status = PLCCOMSTATUS_OK;
        AllocateSendBuffer(ulSendBuffer);
        SetLogging(1, 0xFFFFFFFFu);
    }
    RTS_I32 Open() override { return PLCCOM_OK; }
    RTS_I32 Close() override { return PLCCOM_OK; }

    klemu::DeviceServices* pServices = nullptr;
    std::function<Bytes(const Bytes&)> script;
    RTS_I32 lTransportResult = PLCCOM_OK;
    std::vector<Bytes> requests;

    RTS_UI32 AuthType() const { return m_ulAuthType; }
    RTS_I32 LeafNodes() const { return m_nLeafNodes; }
    const DeviceInfo3& Info() const { return m_DeviceInfo3; }
    void SetAddress(std::vector<RTS_UI16> address) { m_PlcAddress = std::move(address); }

protected:
    RTS_I32 SendService3(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv, RTS_BOOL) override {
        requests.emplace_back(pduSend.pData, pduSend.pData + pduSend.ulCount);
        *ppduRecv = PROTOCOL_DATA_UNIT{nullptr, 0};
        if (lTransportResult != PLCCOM_OK) {
            return lTransportResult;
        }
        m_reply = script ? script(requests.back()) : pServices->Handle(requests.back());
        *ppduRecv = PROTOCOL_DATA_UNIT{m_reply.data(), static_cast<RTS_UI32>(m_reply.size())};
        return PLCCOM_OK;
    }

private:
    Bytes m_reply;
};

uint16_t Group(const Bytes& pdu) {
    return static_cast<uint16_t>(pdu[4] | (pdu[5] << 8));
}
uint16_t Service(const Bytes& pdu) {
    return static_cast<uint16_t>(pdu[6] | (pdu[7] << 8));
}

// A reply PDU (little-endian) whose body the callback writes.
Bytes Reply(uint16_t usGroup, uint16_t usService, const std::function<void(BINTAGWRITER*)>& body) {
    std::vector<uint32_t> buffer(4096);
    BINTAGWRITER w;
    BTagWriterInit2(&w, reinterpret_cast<RTS_UI8*>(buffer.data()), static_cast<RTS_UI32>(buffer.size() * 4),
                    0);
    BTagWriterStartService(&w, 0, BTAG_HEADER_TAG_SERVICE, usGroup | 0x80u, usService);
    if (body) {
        body(&w);
    }
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    EXPECT_EQ(BTagWriterFinishService(&w, &p, &n), ERR_OK);
    BTagWriterFinish(&w, nullptr, nullptr);
    return Bytes(p, p + n);
}
void Tag(BINTAGWRITER* w, RTS_UI32 ulTag, const Bytes& content) {
    BTagWriteSingleTag(w, ulTag, BTAG_ALIGNMENT{4, 0}, 1, content.data(),
                       static_cast<RTS_UI32>(content.size()));
}
// A data tag whose content is exactly these bytes (no fill): its content
// starts where the tag's end falls on a 4-byte boundary.
void TagExact(BINTAGWRITER* w, RTS_UI32 ulTag, const Bytes& content) {
    RTS_UI16 usRemainder = static_cast<RTS_UI16>((4 - content.size() % 4) % 4);
    BTagWriteSingleTag(w, ulTag, BTAG_ALIGNMENT{4, usRemainder}, 0, content.data(),
                       static_cast<RTS_UI32>(content.size()));
}
Bytes U16(uint16_t v) {
    return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}
Bytes U32(uint32_t v) {
    return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                 static_cast<uint8_t>(v >> 24)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& b : parts) {
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// The tags of a request body, flat: {parent (0xFFFFFFFF at top level), id, content}.
struct FlatTag {
    RTS_UI32 ulParent;
    RTS_UI32 ulTag;
    Bytes content;
};
std::vector<FlatTag> Tags(const Bytes& pdu) {
    std::vector<FlatTag> tags;
    Bytes body(pdu.begin() + 20, pdu.end());
    BINTAGREADER reader;
    BTagReaderInit(&reader, body.data(), static_cast<RTS_UI32>(body.size()));
    RTS_UI32 ulTop = 0, ulTag = 0, ulSize = 0;
    RTS_RESULT r = ERR_OK;
    for (RTS_UI8* p = BTagReaderGetFirstTag(&reader, &ulTop, &ulTag, &ulSize, &r);
         r == ERR_OK && tags.size() < 100; p = BTagReaderGetNextTag(&reader, &ulTop, &ulTag, &ulSize, &r)) {
        tags.push_back(FlatTag{ulTop, ulTag, Bytes(p, p + ulSize)});
    }
    return tags;
}
const FlatTag* Find(const std::vector<FlatTag>& tags, RTS_UI32 ulParent, RTS_UI32 ulTag) {
    for (const FlatTag& t : tags) {
        if (t.ulParent == ulParent && t.ulTag == ulTag) {
            return &t;
        }
    }
    return nullptr;
}
std::string Text(const FlatTag* t) {
    return t == nullptr ? std::string("<none>")
                        : std::string(reinterpret_cast<const char*>(t->content.data()));
}

std::string Narrow(const RTS_WCHAR* pwsz) {
    std::string s;
    for (; pwsz != nullptr && *pwsz != 0; ++pwsz) {
        s.push_back(static_cast<char>(*pwsz));
    }
    return s;
}

class Device3Session : public devtest::RuntimeTest {
protected:
    void SetUp() override {
        devtest::RuntimeTest::SetUp();
        m_config.config.pszName = m_config.Text("Plc3");
        m_config.Param("User", "operator");
        m_config.Param("Password", "s3cret");
    }
    std::unique_ptr<TestDevice3> Device(klemu::DeviceServices* pServices) {
        std::unique_ptr<TestDevice3> device(new TestDevice3(m_config, m_hLogger));
        device->pServices = pServices;
        return device;
    }
    static klemu::DeviceServicesOptions Options(uint32_t ulAuthType) {
        klemu::DeviceServicesOptions o;
        o.ulAuthType = ulAuthType;
        o.user = "operator";
        o.password = "s3cret";
        return o;
    }
    devtest::Config m_config;
};

TEST_F(Device3Session, SessionRequestAndIdentificationAgainstTheEmulator) {
    klemu::DeviceServicesOptions o = Options(0);
    o.identity.nodeName = u"Press7";
    o.ulCoreVersion = 0x03051300;
    o.ipList = {{0xC0A80A05, 0xFFFFFF00}, {0x0A000001, 0xFF000000}};
    klemu::DeviceServices services(o);
    auto device = Device(&services);
    device->SetAddress({0x0301, 0x2A0C});
    ASSERT_EQ(device->CreateSession("Panel", "Maker", "1.2", 0x1234), PLCCOM_OK);

    ASSERT_EQ(device->requests.size(), 2u);
    const Bytes& ident = device->requests[0];
    EXPECT_EQ(ident.size(), 20u) << "identification carries no tags";
    EXPECT_EQ(Group(ident), 1);
    EXPECT_EQ(Service(ident), 1);
    const Bytes& session = device->requests[1];
    EXPECT_EQ(Service(session), 10);
    std::vector<FlatTag> tags = Tags(session);
    const FlatTag* pSpecific = Find(tags, 0x83, 0x40);
    ASSERT_NE(pSpecific, nullptr);
    EXPECT_EQ(pSpecific->content, U32(0x59501234));
    EXPECT_EQ(Text(Find(tags, 0x83, 0x41)), "Panel");
    EXPECT_EQ(Text(Find(tags, 0x83, 0x42)), "Maker");
    EXPECT_EQ(Text(Find(tags, 0x83, 0x44)), "1.2");
    EXPECT_EQ(Text(Find(tags, 0x83, 0x45)), "3.5.17.20");
    std::string host = Text(Find(tags, 0x83, 0x43));
    EXPECT_NE(host.find('.'), std::string::npos) << host;
    for (RTS_UI32 id : {0x41u, 0x42u, 0x43u, 0x44u, 0x45u}) {
        const FlatTag* t = Find(tags, 0x83, id);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->content.size() % 4, 0u) << "text tag " << id << " is filled to 4 bytes";
    }
    // Tag 0x46 = 3 closes the request: id, a 3-byte length field, the value.
    Bytes tail(session.end() - 8, session.end());
    EXPECT_EQ(tail, (Bytes{0x46, 0x84, 0x80, 0x00, 3, 0, 0, 0}));

    const DeviceInfo3& info = device->Info();
    EXPECT_STREQ(info.pszNodeAddress, "0301.2A0C");
    EXPECT_EQ(Narrow(info.pwszNodeName), "Press7");
    EXPECT_EQ(Narrow(info.pwszTargetName), "Kestrolink Emulator");
    EXPECT_EQ(Narrow(info.pwszTargetVendorName), "Kestrolink");
    EXPECT_STREQ(info.pszTargetVersion, "3.5.17.20");
    EXPECT_STREQ(info.pszTargetCoreVersion, "3.5.19.0");
    EXPECT_EQ(info.ulTargetId, 0x16A10001u);
    EXPECT_EQ(info.usTargetChannels, 4);
    EXPECT_STREQ(info.pszTargetSerialNumber, "KLEMU-0001");
    ASSERT_EQ(info.usNumOfIpAddresses, 2);
    EXPECT_STREQ(info.pIpAddressList[0].szIp, "192.168.10.5");
    EXPECT_STREQ(info.pIpAddressList[1].szMask, "255.0.0.0");
    EXPECT_EQ(device->GetSessionId(), services.SessionId());
    EXPECT_NE(device->GetSessionId(), 0u);
    EXPECT_EQ(info.DeviceSessionId, device->GetSessionId());
    EXPECT_TRUE(Logged("CPLCComBase3: CreateSession() to Press7, Device: Kestrolink Emulator"));
    EXPECT_TRUE(Logged("CPLCComBase3: CreateSession() RtsCoreVersion: 3.5.19.0"));

    // Logout with a session: 1/3 with the session id, then the info is gone.
    RTS_UI32 ulSession = device->GetSessionId();
    EXPECT_EQ(device->Logout(), PLCCOM_OK);
    ASSERT_EQ(device->requests.size(), 3u);
    EXPECT_EQ(Service(device->requests[2]), 3);
    std::vector<FlatTag> logoutTags = Tags(device->requests[2]);
    const FlatTag* pLogout = Find(logoutTags, 0xFFFFFFFF, 1);
    ASSERT_NE(pLogout, nullptr);
    EXPECT_EQ(pLogout->content, U32(ulSession));
    EXPECT_EQ(services.SessionId(), 0u);
    EXPECT_EQ(device->GetSessionId(), 0u);
    EXPECT_EQ(device->Info().pwszNodeName, nullptr);
    EXPECT_TRUE(Logged("CPLCComBase3: Logout() from Device successful"));
    // Without a session nothing is sent, and the info is still cleared.
    EXPECT_EQ(device->Logout(), PLCCOM_OK);
    EXPECT_EQ(device->requests.size(), 3u);
}

TEST_F(Device3Session, BigEndianDeviceAnswersInItsOrderAndAnnouncesItsSerialNumberAsZero) {
    klemu::DeviceServicesOptions o = Options(1);
    o.bBigEndian = true;
    klemu::DeviceServices services(o);
    m_config.config.bMotorola = 1;
    auto device = Device(&services);
    ASSERT_EQ(device->CreateSession("Panel", nullptr, nullptr, 0), PLCCOM_OK);
    EXPECT_EQ(device->requests[0][0], 0xCD) << "the header goes out big-endian";
    EXPECT_STREQ(device->Info().pszTargetVersion, "3.5.17.20");
    ASSERT_NE(device->Info().pszTargetSerialNumber, nullptr);
    EXPECT_STREQ(device->Info().pszTargetSerialNumber, "KLEMU-0001");
    EXPECT_EQ(device->AuthType(), 1u);
    std::vector<FlatTag> tags = Tags(device->requests[1]);
    EXPECT_EQ(Find(tags, 0x83, 0x42), nullptr) << "a null vendor is left out";
    EXPECT_EQ(device->Login(), PLCCOM_OK);
    EXPECT_TRUE(services.LoggedIn());
}

TEST_F(Device3Session, LoginTypesSucceedWithTheRightPasswordOnly) {
    for (uint32_t ulType : {0u, 1u, 2u}) {
        SCOPED_TRACE("auth type " + std::to_string(ulType));
        klemu::DeviceServices services(Options(ulType));
        ASSERT_TRUE(services.Ok()) << services.Error();
        auto device = Device(&services);
        ASSERT_EQ(device->CreateSession("Panel", "Maker", "1.0", 0), PLCCOM_OK);
        EXPECT_EQ(device->AuthType(), ulType);
        EXPECT_EQ(device->Login(), PLCCOM_OK);
        EXPECT_TRUE(services.LoggedIn());
        EXPECT_TRUE(Logged("CPLCComBase3: <-Login() successful"));
        if (ulType == 0) {
            continue;
        }
        const char szWrong[] = "not-it";
        ASSERT_EQ(device->SetDeviceCredentials("operator", 9, szWrong, sizeof(szWrong)), PLCCOM_OK);
        EXPECT_EQ(device->Login(), PLCCOM_INVALID_CREDENTIALS);
        EXPECT_FALSE(services.LoggedIn());
        EXPECT_TRUE(Logged("Kestrolink Error: Invalid credentials for user=operator!"));
        if (ulType == 2) {
            // Round 2 carries the user and a 2048-bit ciphertext.
            std::vector<FlatTag> round2 = Tags(device->requests.back());
            const FlatTag* pCipher = Find(round2, 0x81, 0x11);
            ASSERT_NE(pCipher, nullptr);
            EXPECT_EQ(pCipher->content.size(), 256u);
            EXPECT_EQ(Text(Find(round2, 0x81, 0x10)), "operator");
        }
    }
}

TEST_F(Device3Session, ServiceUnknownAtSessionCreationDependsOnTheCoreVersion) {
    klemu::DeviceServicesOptions o = Options(1);
    o.bSessionUnknown = true;
    o.ulCoreVersion = 0x03050F00;  // 3.5.15.0: an older device without sessions
    {
        klemu::DeviceServices services(o);
        auto device = Device(&services);
        EXPECT_EQ(device->CreateSession("Panel", "Maker", "1.0", 0), PLCCOM_OK);
        EXPECT_EQ(device->AuthType(), 1u);
        EXPECT_EQ(device->GetSessionId(), 0u);
        EXPECT_EQ(device->Login(), PLCCOM_OK);
        EXPECT_TRUE(services.LoggedIn());
    }
    o.ulCoreVersion = 0x03051000;  // 3.5.16.0 should know sessions
    klemu::DeviceServices services(o);
    auto device = Device(&services);
    EXPECT_EQ(device->CreateSession("Panel", "Maker", "1.0", 0), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("but PLC should support it"));
}

TEST_F(Device3Session, MalformedIdentificationTagsAreBoundedAndSkipped) {
    auto device = Device(nullptr);
    device->script = [](const Bytes& request) {
        if (Service(request) == 1) {
            return Reply(1, 1, [](BINTAGWRITER* w) {
                Tag(w, 1, Cat({U32(1), U32(2)}));                          // 8 of 12 bytes: ignored
                Tag(w, 2, Cat({U32(400), U16('A'), U16('B')}));            // count beyond the tag
                Tag(w, 3, Cat({U32(5), U16('V'), U16('W'), Bytes{'X'}}));  // odd count: 2 characters
                TagExact(w, 4, Bytes{1, 0});                               // no room for the count
                TagExact(w, 6, Bytes{1, 2});                               // short core version
                Tag(w, 9, Cat({U16(40), Bytes{'S', 'N'}}));                // serial longer than the tag
                Tag(w, 10, Cat({U16(3), Bytes(18, 0xAB)}));                // 3 addresses in 20 bytes
                Tag(w, 0x77, Bytes{9, 9, 9, 9});                           // unknown: skipped
                Tag(w, 8, U16(7));
            });
        }
        return Reply(1, 10, [](BINTAGWRITER* w) {
            Tag(w, 0x46, U32(1));
            Tag(w, 0x21, U32(0x55));
        });
    };
    ASSERT_EQ(device->CreateSession("Panel", "Maker", "1.0", 0), PLCCOM_OK);
    const DeviceInfo3& info = device->Info();
    EXPECT_EQ(info.pszTargetVersion, nullptr);
    EXPECT_EQ(info.pwszTargetName, nullptr);
    EXPECT_EQ(Narrow(info.pwszTargetVendorName), "VW");
    EXPECT_EQ(info.pwszNodeName, nullptr);
    EXPECT_EQ(info.pszTargetCoreVersion, nullptr);
    EXPECT_EQ(info.pszTargetSerialNumber, nullptr);
    EXPECT_EQ(info.usNumOfIpAddresses, 0);
    EXPECT_EQ(info.pIpAddressList, nullptr);
    EXPECT_EQ(info.usTargetChannels, 7) << "tags after the bad ones are still read";
    EXPECT_EQ(device->GetSessionId(), 0x55u);
    EXPECT_TRUE(Logged("CPLCComBase3: CreateSession() RtsCoreVersion unknown"));

    // Unsupported authentication type, and a reply to another service.
    device->script = [](const Bytes& request) {
        return Service(request) == 1 ? Reply(1, 1, nullptr)
                                     : Reply(1, 10, [](BINTAGWRITER* w) { Tag(w, 0x46, U32(5)); });
    };
    EXPECT_EQ(device->CreateSession("Panel", "Maker", "1.0", 0), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComBase3: <-CreateSession() failed, AuthType 0x5 unsupported"));
    device->script = [](const Bytes&) { return Reply(1, 7, nullptr); };
    EXPECT_EQ(device->CreateSession("Panel", "Maker", "1.0", 0), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComBase3: <-CreateSession() failed (could not create session), Result = 1"));
}

TEST_F(Device3Session, LoginRepliesWithoutResultKeyOrChallengeFail) {
    auto device = Device(nullptr);
    device->script = [](const Bytes& request) {
        return Service(request) == 1 ? Reply(1, 1, nullptr)
                                     : Reply(1, 10, [](BINTAGWRITER* w) { Tag(w, 0x46, U32(1)); });
    };
    ASSERT_EQ(device->CreateSession("Panel", "Maker", "1.0", 0), PLCCOM_OK);
    auto loginReply = [](std::function<void(BINTAGWRITER*)> children) {
        return [children](const Bytes&) {
            return Reply(1, 2, [children](BINTAGWRITER* w) {
                BTagWriterStartTag(w, 0x82, BTAG_ALIGNMENT{4, 0}, 0);
                children(w);
                BTagWriterEndTag(w, 0x82);
            });
        };
    };
    device->script = loginReply([](BINTAGWRITER* w) { Tag(w, 0x21, U32(0x77)); });
    EXPECT_EQ(device->Login(), PLCCOM_FAILED) << "a reply without result";
    EXPECT_EQ(device->GetSessionId(), 0x77u) << "the login may replace the session id";
    device->script = loginReply([](BINTAGWRITER* w) { Tag(w, 0x20, U16(0x14)); });
    EXPECT_EQ(device->Login(), PLCCOM_INVALID_CREDENTIALS);
    device->script = loginReply([](BINTAGWRITER* w) { Tag(w, 0x20, U16(0x47)); });
    EXPECT_EQ(device->Login(), PLCCOM_USERMGMT_NOT_ACTIVE);
    // The scrambled password of "s3cret" fills 32 bytes.
    std::vector<FlatTag> loginTags = Tags(device->requests.back());
    const FlatTag* pPassword = Find(loginTags, 0x81, 0x11);
    ASSERT_NE(pPassword, nullptr);
    EXPECT_EQ(pPassword->content.size(), 32u);
    device->lTransportResult = PLCCOM_NO_CONNECTION;
    EXPECT_EQ(device->Login(), PLCCOM_NO_CONNECTION);
    device->lTransportResult = -1;
    EXPECT_EQ(device->Login(), PLCCOM_FAILED);
    device->lTransportResult = PLCCOM_OK;

    // Type 2: the first round must bring key, challenge and an accepting result.
    device->script = [](const Bytes& request) {
        return Service(request) == 1 ? Reply(1, 1, nullptr)
                                     : Reply(1, 10, [](BINTAGWRITER* w) { Tag(w, 0x46, U32(2)); });
    };
    ASSERT_EQ(device->CreateSession("Panel", "Maker", "1.0", 0), PLCCOM_OK);
    klemu::DeviceServices services(Options(2));
    Bytes key = services.PublicKey();
    size_t nRounds = 0;
    for (int missing = 0; missing < 4; ++missing) {
        SCOPED_TRACE("variant " + std::to_string(missing));
        device->script = [&, missing](const Bytes&) {
            ++nRounds;
            return Reply(1, 2, [&, missing](BINTAGWRITER* w) {
                if (missing != 0) {
                    Tag(w, 0x27, key);
                }
                if (missing != 1) {
                    Tag(w, 0x26, Bytes(32, 0x5A));
                }
                if (missing != 2) {
                    BTagWriterStartTag(w, 0xFF82, BTAG_ALIGNMENT{4, 0}, 0);
                    Tag(w, 0x20, U16(missing == 3 ? 0x19 : 10));
                    BTagWriterEndTag(w, 0xFF82);
                }
            });
        };
        nRounds = 0;
        EXPECT_EQ(device->Login(), PLCCOM_FAILED);
        EXPECT_EQ(nRounds, 1u) << "no second round after an incomplete first";
    }
}

TEST_F(Device3Session, PasswordScramblingLengthsAndBounds) {
    RTS_UI8 out[255];
    RTS_UI32 n = sizeof(out);
    ASSERT_EQ(CPLCComBase3::MyUserMgrCryptPassword("", out, &n, 1, 0x1234), ERR_OK);
    EXPECT_EQ(n, 32u);
    // Byte 0 of an empty password is the mask itself: low challenge byte + key byte.
    EXPECT_EQ(out[0], static_cast<RTS_UI8>(0x34 + 'Q'));
    EXPECT_EQ(out[1], static_cast<RTS_UI8>('a'));
    std::string forty(40, 'p');
    n = sizeof(out);
    ASSERT_EQ(CPLCComBase3::MyUserMgrCryptPassword(forty.c_str(), out, &n, 1, 0), ERR_OK);
    EXPECT_EQ(n, 44u);
    EXPECT_EQ(out[0], static_cast<RTS_UI8>('p' ^ 'Q'));
    // A password longer than the 64-byte area is cut to 63 characters.
    std::string longPassword(100, 'x');
    RTS_UI8 cut[255];
    RTS_UI32 nCut = sizeof(cut);
    n = sizeof(out);
    ASSERT_EQ(CPLCComBase3::MyUserMgrCryptPassword(longPassword.c_str(), out, &n, 1, 7), ERR_OK);
    ASSERT_EQ(CPLCComBase3::MyUserMgrCryptPassword(longPassword.substr(0, 63).c_str(), cut, &nCut, 1, 7),
              ERR_OK);
    EXPECT_EQ(n, 64u);
    EXPECT_EQ(Bytes(out, out + n), Bytes(cut, cut + nCut));
    n = 31;
    EXPECT_EQ(CPLCComBase3::MyUserMgrCryptPassword("", out, &n, 1, 0), ERR_BUFFERSIZE);
    EXPECT_EQ(n, 32u);
    EXPECT_EQ(CPLCComBase3::MyUserMgrCryptPassword("", out, &n, 2, 0), ERR_NOT_SUPPORTED);
    EXPECT_EQ(CPLCComBase3::MyUserMgrCryptPassword(nullptr, out, &n, 1, 0), ERR_PARAMETER);
    EXPECT_EQ(CPLCComBase3::MyUserMgrCryptPassword("", out, nullptr, 1, 0), ERR_PARAMETER);
}

TEST_F(Device3Session, OperationModeKeepAliveAndProjectChecks) {
    klemu::DeviceServices services(Options(0));
    auto device = Device(&services);
    DEVICE_OPERATION_MODE mode = DEVICE_OPMODE_UNKNOWN;
    EXPECT_EQ(device->GetDeviceOpMode(nullptr), PLCCOM_INVALID_PARAMETER);
    ASSERT_EQ(device->GetDeviceOpMode(&mode), PLCCOM_OK);
    EXPECT_EQ(mode, DEVICE_OPMODE_DEBUG);
    RTS_I32 lResult = 99;
    size_t nBefore = device->requests.size();
    EXPECT_EQ(device->SetDeviceOpMode(DEVICE_OPMODE_DEBUG, &lResult), PLCCOM_OK);
    EXPECT_EQ(lResult, PLCCOM_OK);
    EXPECT_EQ(device->requests.size(), nBefore + 1) << "only the mode was read";
    EXPECT_EQ(device->SetDeviceOpMode(DEVICE_OPMODE_OPERATIONAL, &lResult), PLCCOM_NOT_SUPPORTED);
    EXPECT_EQ(lResult, PLCCOM_NOT_SUPPORTED);
    EXPECT_EQ(Service(device->requests.back()), 7) << "no 1/6 without the application checks";
    EXPECT_EQ(services.OpMode(), 1u);
    EXPECT_EQ(device->SetDeviceOpMode(DEVICE_OPMODE_DEBUG, nullptr), PLCCOM_INVALID_PARAMETER);

    device->script = [](const Bytes&) { return Reply(1, 7, [](BINTAGWRITER* w) { Tag(w, 0x54, U32(3)); }); };
    EXPECT_EQ(device->SetDeviceOpMode(DEVICE_OPMODE_LOCKED, &lResult), PLCCOM_OK);
    EXPECT_EQ(lResult, PLCCOM_OPMODE_NOT_ALLOWED);
    device->script = [](const Bytes&) { return Reply(1, 7, [](BINTAGWRITER* w) { Tag(w, 0x54, U32(9)); }); };
    EXPECT_EQ(device->GetDeviceOpMode(&mode), PLCCOM_SERVICE_FAILED);
    device->script = [](const Bytes&) {
        return Reply(1, 7, [](BINTAGWRITER* w) { Tag(w, TAG_ERROR, U16(0x302)); });
    };
    EXPECT_EQ(device->GetDeviceOpMode(&mode), PLCCOM_NOT_SUPPORTED);
    EXPECT_EQ(mode, DEVICE_OPMODE_UNKNOWN);

    device->script = nullptr;
    EXPECT_EQ(device->CheckConnection(), PLCCOM_OK);
    EXPECT_EQ(device->CheckProjectIds(), PLCCOM_OK);
    device->lTransportResult = PLCCOM_NO_CONNECTION;
    EXPECT_EQ(device->CheckConnection(), PLCCOM_NO_CONNECTION);
    EXPECT_TRUE(Logged("CPLCComBase3: <-CheckConnection() failed, lResult=-547"));
    EXPECT_EQ(device->CheckProjectIds(), PLCCOM_COMM_FATAL);
    char szName[8] = "x";
    EXPECT_EQ(device->GetPlcProjectName(szName, sizeof(szName)), PLCCOM_NOT_SUPPORTED);
}

TEST_F(Device3Session, SymbolRootsAndTheRequestThatDoesNotFit) {
    m_config.Param("DontLoadSymbolsFromPlc", 1u);
    m_config.Param("DeviceNameInProject", "Device");
    auto device = Device(nullptr);
    auto roots = [](const Bytes&) {
        return Reply(9, 7, [](BINTAGWRITER* w) {
            Tag(w, 0x30, Cat({U16(11), Bytes{'A', 'p', 'p', 'l', 'i', 'c', 'a', 't', 'i', 'o', 'n'}}));
            Tag(w, 0x38, Bytes(20, 0));
            Tag(w, 0x30, Cat({U16(200), Bytes{'X'}}));  // name longer than the tag: skipped
            Tag(w, 0x3A, U32(0xABCD));
            Tag(w, 0x14, U16(0));
        });
    };
    device->script = roots;
    EXPECT_EQ(device->LoadSymbols(), PLCCOM_OK);
    EXPECT_EQ(device->LeafNodes(), -1);
    EXPECT_EQ(Text(Find(Tags(device->requests.back()), 0xFFFFFFFF, 0x3C)), "Device");
    EXPECT_TRUE(Logged("CPLCComBase3: LoadSymbols() 1 RootNodes found"));
    EXPECT_TRUE(Logged("No Symbols loaded, because DontLoadSymbolsFromPlc is set"));
    PlcSymbolDesc* pList = reinterpret_cast<PlcSymbolDesc*>(1);
    RTS_UI32 ulCount = 0;
    EXPECT_EQ(device->GetSymbols(&pList, &ulCount), PLCCOM_OK);
    EXPECT_EQ(pList, nullptr);
    EXPECT_EQ(ulCount, 0xFFFFFFFFu);
    EXPECT_EQ(device->GetSymbols(&pList, nullptr), PLCCOM_FAILED);
    EXPECT_EQ(device->GetSymbol("Application.x", nullptr), PLCCOM_NOT_SUPPORTED);
    device->DeleteSymbols();
    EXPECT_EQ(device->GetSymbols(&pList, &ulCount), PLCCOM_NO_SYMBOLS);
    device->script = [](const Bytes&) { return Reply(9, 7, nullptr); };
    EXPECT_EQ(device->LoadSymbols(), PLCCOM_FAILED);
    EXPECT_TRUE(Logged("CPLCComBase3: No symbols available on PLC"));

    devtest::Config browse;
    TestDevice3 browsing(browse, m_hLogger);
    browsing.script = roots;
    EXPECT_EQ(browsing.LoadSymbols(), PLCCOM_NOT_SUPPORTED);

    // A send buffer too small for the session request: nothing is sent.
    TestDevice3 small(m_config, m_hLogger, 64);
    small.script = [](const Bytes&) { return Reply(1, 1, nullptr); };
    std::string longName(100, 'n');
    EXPECT_EQ(small.CreateSession(longName.c_str(), "Maker", "1.0", 0), PLCCOM_FAILED);
    ASSERT_EQ(small.requests.size(), 1u) << "only the identification went out";

    // The raw service: the caller's PDU out, the reply back.
    Bytes raw = {0x55, 0xCD, 0x10, 0x00, 0x01, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    small.script = [](const Bytes& request) { return Reply(1, Service(request), nullptr); };
    RTS_UI8* pReply = nullptr;
    RTS_UI32 ulReply = 0;
    ASSERT_EQ(small.SendService(raw.data(), static_cast<RTS_UI32>(raw.size()), &pReply, &ulReply), PLCCOM_OK);
    EXPECT_EQ(small.requests.back(), raw);
    ASSERT_EQ(ulReply, 20u);
    EXPECT_EQ(pReply[4], 0x81);
    EXPECT_EQ(small.SendService(raw.data(), 65, &pReply, &ulReply), PLCCOM_FAILED)
        << "larger than the send buffer";
    EXPECT_EQ(small.SendService(nullptr, 4, &pReply, &ulReply), PLCCOM_INVALID_PARAMETER);
}

}  // namespace
