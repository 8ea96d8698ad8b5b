// The emulator's service layer (see DeviceServices.h) and its group 1, the
// device services: identification, session creation, login with
// authentication types 0, 1 and 2, logout and the operation mode.
//
// The requests are read and the replies written with the stack's tag reader
// and writer, but the contents are encoded here, apart from the client's
// code, so that the client is tested against an independent reading of them.
#include "DeviceServices.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "BinTagService.h"

namespace klemu {

namespace {

constexpr BTAG_ALIGNMENT kAlign{4, 0};
constexpr uint32_t kTagError = 0xFF7F;
constexpr uint16_t kServiceUnknown = 0x302;
constexpr uint16_t kHeaderTag = 0xCD55;

constexpr uint16_t kLoginOk = 0;
constexpr uint16_t kLoginFailed = 1;
constexpr uint16_t kLoginStepAccepted = 10;
constexpr uint16_t kLoginInvalidCredentials = 0x19;
constexpr char kScrambleKey[] = "Qa7wLm3#Kp9vTz2!Hx5?Rb8*Nc4dYf6J";
constexpr size_t kRsaBlock = 60;
constexpr size_t kRsaChallenge = 32;
constexpr uint32_t kFirstSessionId = 0x2A000001;

uint16_t Swap16(uint16_t v, bool bSwap) {
    return bSwap ? static_cast<uint16_t>((v >> 8) | (v << 8)) : v;
}
uint32_t Swap32(uint32_t v, bool bSwap) {
    return bSwap ? __builtin_bswap32(v) : v;
}
uint16_t Load16(const uint8_t* p, bool bSwap) {
    uint16_t v;
    memcpy(&v, p, 2);
    return Swap16(v, bSwap);
}
uint32_t Load32(const uint8_t* p, bool bSwap) {
    uint32_t v;
    memcpy(&v, p, 4);
    return Swap32(v, bSwap);
}

// The tags of a request: top-level data tags by id, and the data tags inside
// any parent tag by id (the group-1 requests use distinct ids for both).
struct RequestTags {
    std::map<uint32_t, std::vector<uint8_t>> top;
    std::map<uint32_t, std::vector<uint8_t>> children;
    std::vector<uint32_t> parents;

    bool U32(uint32_t ulTag, bool bSwap, uint32_t* pul) const {
        auto it = top.find(ulTag);
        if (it == top.end() || it->second.size() < 4) {
            return false;
        }
        *pul = Load32(it->second.data(), bSwap);
        return true;
    }
    const std::vector<uint8_t>* Child(uint32_t ulTag) const {
        auto it = children.find(ulTag);
        return it != children.end() ? &it->second : nullptr;
    }
};

RTS_RESULT CollectChild(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    if (BTagReaderGetContent(pReader, &p, &n) == ERR_OK) {
        static_cast<RequestTags*>(pContext)->children[ulTagId].assign(p, p + n);
    }
    return ERR_OK;
}

RTS_RESULT CollectTop(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    RequestTags* pTags = static_cast<RequestTags*>(pContext);
    RTS_BOOL bData = 0;
    BTagReaderIsDataTag(pReader, &bData);
    if (bData) {
        RTS_UI8* p = nullptr;
        RTS_UI32 n = 0;
        if (BTagReaderGetContent(pReader, &p, &n) == ERR_OK) {
            pTags->top[ulTagId].assign(p, p + n);
        }
    } else {
        pTags->parents.push_back(ulTagId);
        BTagServiceWalkTags(pReader, CollectChild, pContext);
    }
    return ERR_OK;
}

RequestTags ReadTags(const ServiceRequest& request) {
    RequestTags tags;
    BINTAGREADER reader;
    if (request.ulBodySize > 0 &&
        BTagReaderInit(&reader, const_cast<uint8_t*>(request.pBody), request.ulBodySize) == ERR_OK) {
        BTagServiceWalkTags(&reader, CollectTop, &tags);
    }
    return tags;
}

// ---- Writing replies ---------------------------------------------------------------------------

bool PutBytes(BINTAGWRITER* pWriter, uint32_t ulTag, const void* p, size_t n) {
    return BTagWriteSingleTag(pWriter, ulTag, kAlign, 1, p, static_cast<RTS_UI32>(n)) == ERR_OK;
}
bool PutU32(BINTAGWRITER* pWriter, uint32_t ulTag, uint32_t ulValue, bool bSwap) {
    uint32_t v = Swap32(ulValue, bSwap);
    return PutBytes(pWriter, ulTag, &v, 4);
}
bool PutU16(BINTAGWRITER* pWriter, uint32_t ulTag, uint16_t usValue, bool bSwap) {
    uint16_t v = Swap16(usValue, bSwap);
    return PutBytes(pWriter, ulTag, &v, 2);
}
void Append16(std::vector<uint8_t>* p, uint16_t v, bool bSwap) {
    v = Swap16(v, bSwap);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&v);
    p->insert(p->end(), b, b + 2);
}
void Append32(std::vector<uint8_t>* p, uint32_t v, bool bSwap) {
    v = Swap32(v, bSwap);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&v);
    p->insert(p->end(), b, b + 4);
}
// Identification texts: a 32-bit byte count and the 16-bit characters, no terminator.
std::vector<uint8_t> CountedWString(const std::u16string& text, bool bSwap) {
    std::vector<uint8_t> out;
    Append32(&out, static_cast<uint32_t>(text.size() * 2), bSwap);
    for (char16_t c : text) {
        Append16(&out, static_cast<uint16_t>(c), bSwap);
    }
    return out;
}

std::string TextUpToZero(const uint8_t* p, size_t n) {
    size_t len = 0;
    while (len < n && p[len] != 0) {
        ++len;
    }
    return std::string(reinterpret_cast<const char*>(p), len);
}

bool ParseU32Value(const std::string& value, uint32_t* pul) {
    if (value.empty()) {
        return false;
    }
    char* pEnd = nullptr;
    unsigned long long ull = strtoull(value.c_str(), &pEnd, 0);
    if (*pEnd != '\0' || ull > 0xFFFFFFFFull) {
        return false;
    }
    *pul = static_cast<uint32_t>(ull);
    return true;
}

bool ParseDotted(const std::string& text, uint32_t* pul) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    char cExtra = 0;
    if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &cExtra) != 4 || a > 255 || b > 255 ||
        c > 255 || d > 255) {
        return false;
    }
    *pul = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

}  // namespace

// ---- The key of login type 2 ---------------------------------------------------------------

struct DeviceServices::Key {
    EVP_PKEY* pKey = nullptr;
    std::vector<uint8_t> publicDer;
    ~Key() { EVP_PKEY_free(pKey); }
};

// ---- Group 1 ----------------------------------------------------------------------------------

class DeviceServices::DeviceGroup : public IServiceGroup {
public:
    DeviceGroup(const DeviceServicesOptions& options, const Key* pKey) : m_options(options), m_pKey(pKey) {}
    uint16_t Group() const override { return 1; }
    bool Handle(const ServiceRequest& request, BINTAGWRITER* pWriter) override {
        switch (request.usService) {
            case 1:
                return Identify(request, pWriter);
            case 2:
                return Login(request, pWriter);
            case 3:
                return Logout(request, pWriter);
            case 6:
                return SetOpMode(request, pWriter);
            case 7:
                return PutU32(pWriter, 0x54, m_ulOpMode, request.bSwap);
            case 10:
                return !m_options.bSessionUnknown && CreateSession(request, pWriter);
            default:
                return false;
        }
    }

    uint32_t m_ulSessionId = 0;
    bool m_bLoggedIn = false;
    uint32_t m_ulOpMode = 1;  // DEVICE_OPMODE_DEBUG

private:
    bool Identify(const ServiceRequest& request, BINTAGWRITER* pWriter) {
        const bool s = request.bSwap;
        const NameServiceIdentity& id = m_options.identity;
        std::vector<uint8_t> target;
        Append32(&target, id.ulTargetType, s);
        Append32(&target, id.ulTargetId, s);
        Append32(&target, id.ulTargetVersion, s);
        std::vector<uint8_t> serial;
        // Big-endian devices announce the serial number with length 0.
        Append16(&serial, m_options.bBigEndian ? 0 : static_cast<uint16_t>(id.serialNumber.size()), s);
        serial.insert(serial.end(), id.serialNumber.begin(), id.serialNumber.end());
        std::vector<uint8_t> ips;
        Append16(&ips, static_cast<uint16_t>(m_options.ipList.size()), s);
        for (const DeviceServicesOptions::IpEntry& ip : m_options.ipList) {
            Append32(&ips, ip.ulAddr, s);
            Append32(&ips, ip.ulMask, s);
        }
        std::vector<uint8_t> targetName = CountedWString(id.deviceName, s);
        std::vector<uint8_t> vendorName = CountedWString(id.vendorName, s);
        std::vector<uint8_t> nodeName = CountedWString(id.nodeName, s);
        return PutBytes(pWriter, 1, target.data(), target.size()) &&
               PutBytes(pWriter, 2, targetName.data(), targetName.size()) &&
               PutBytes(pWriter, 3, vendorName.data(), vendorName.size()) &&
               PutBytes(pWriter, 4, nodeName.data(), nodeName.size()) &&
               PutU32(pWriter, 6, m_options.ulCoreVersion, s) &&
               PutU32(pWriter, 7, m_options.ulIdentFlags, s) && PutU16(pWriter, 8, id.wMaxChannels, s) &&
               PutBytes(pWriter, 9, serial.data(), serial.size()) &&
               PutBytes(pWriter, 10, ips.data(), ips.size());
    }

    bool CreateSession(const ServiceRequest& request, BINTAGWRITER* pWriter) {
        m_ulSessionId = m_ulNextSessionId++;
        m_bLoggedIn = false;
        return PutU32(pWriter, 0x46, m_options.ulAuthType, request.bSwap) &&
               PutU32(pWriter, 0x21, m_ulSessionId, request.bSwap);
    }

    bool CredentialsMatch(const std::string& user, const std::string& password) const {
        return user == m_options.user && password == m_options.password;
    }

    // Parent 0x82 (types 0, 1) or 0xFF82 (type 2) with the session, settings and result.
    bool LoginReply(BINTAGWRITER* pWriter, uint32_t ulParent, uint16_t usResult, bool bSwap) {
        return BTagWriterStartTag(pWriter, ulParent, kAlign, 0) == ERR_OK &&
               PutU32(pWriter, 0x21, m_ulSessionId, bSwap) && PutU32(pWriter, 0x24, 0, bSwap) &&
               PutU16(pWriter, 0x20, usResult, bSwap) && BTagWriterEndTag(pWriter, ulParent) == ERR_OK;
    }

    bool Login(const ServiceRequest& request, BINTAGWRITER* pWriter) {
        const bool s = request.bSwap;
        RequestTags tags = ReadTags(request);
        uint32_t ulType = m_options.ulAuthType;
        const std::vector<uint8_t>* pUser = tags.Child(0x10);
        const std::vector<uint8_t>* pPassword = tags.Child(0x11);
        std::string user = pUser != nullptr ? TextUpToZero(pUser->data(), pUser->size()) : std::string();
        if (ulType == 0) {
            m_bLoggedIn = true;
            return LoginReply(pWriter, 0x82, kLoginOk, s);
        }
        if (ulType == 1) {
            uint32_t ulChallenge = 0;
            uint32_t ulAuth = 0;
            if (!tags.U32(0x22, s, &ulAuth) || ulAuth != 1 || !tags.U32(0x23, s, &ulChallenge) ||
                pPassword == nullptr) {
                return LoginReply(pWriter, 0x82, kLoginFailed, s);
            }
            const uint8_t abyChallenge[4] = {static_cast<uint8_t>(ulChallenge & 0xFF), 0, 0, 0};
            std::vector<uint8_t> plain(pPassword->size());
            for (size_t i = 0; i < plain.size(); ++i) {
                plain[i] = static_cast<uint8_t>(
                    (*pPassword)[i] ^ static_cast<uint8_t>(abyChallenge[i % 4] + kScrambleKey[i % 32]));
            }
            bool bOk = CredentialsMatch(user, TextUpToZero(plain.data(), plain.size()));
            m_bLoggedIn = bOk;
            return LoginReply(pWriter, 0x82, bOk ? kLoginOk : kLoginInvalidCredentials, s);
        }
        uint32_t ulStep = 0;
        if (!tags.U32(0x25, s, &ulStep) || m_pKey == nullptr || m_pKey->pKey == nullptr) {
            return LoginReply(pWriter, 0xFF82, kLoginFailed, s);
        }
        if (ulStep == 1) {
            m_challenge.assign(kRsaChallenge, 0);
            if (RAND_bytes(m_challenge.data(), static_cast<int>(m_challenge.size())) != 1) {
                return LoginReply(pWriter, 0xFF82, kLoginFailed, s);
            }
            return PutBytes(pWriter, 0x27, m_pKey->publicDer.data(), m_pKey->publicDer.size()) &&
                   PutBytes(pWriter, 0x26, m_challenge.data(), m_challenge.size()) &&
                   LoginReply(pWriter, 0xFF82, kLoginStepAccepted, s);
        }
        bool bOk = false;
        size_t ulKeySize = static_cast<size_t>(EVP_PKEY_get_size(m_pKey->pKey));
        if (ulStep == 2 && !m_challenge.empty() && pPassword != nullptr && pPassword->size() >= ulKeySize) {
            EVP_PKEY_CTX* pCtx = EVP_PKEY_CTX_new_from_pkey(nullptr, m_pKey->pKey, nullptr);
            std::vector<uint8_t> plain(ulKeySize);
            size_t ulPlain = plain.size();
            if (pCtx != nullptr && EVP_PKEY_decrypt_init(pCtx) > 0 &&
                EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_OAEP_PADDING) > 0 &&
                EVP_PKEY_CTX_set_rsa_oaep_md(pCtx, EVP_sha256()) > 0 &&
                EVP_PKEY_CTX_set_rsa_mgf1_md(pCtx, EVP_sha256()) > 0 &&
                EVP_PKEY_decrypt(pCtx, plain.data(), &ulPlain, pPassword->data(), ulKeySize) > 0 &&
                ulPlain == kRsaBlock) {
                for (size_t i = 0; i < m_challenge.size() && i < kRsaBlock; ++i) {
                    plain[i] ^= m_challenge[i];
                }
                bOk = CredentialsMatch(user, TextUpToZero(plain.data(), kRsaBlock));
            }
            EVP_PKEY_CTX_free(pCtx);
        }
        m_challenge.clear();
        m_bLoggedIn = bOk;
        return LoginReply(pWriter, 0xFF82, bOk ? kLoginOk : kLoginInvalidCredentials, s);
    }

    bool Logout(const ServiceRequest& request, BINTAGWRITER* pWriter) {
        RequestTags tags = ReadTags(request);
        uint32_t ulSession = 0;
        bool bKnown = tags.U32(1, request.bSwap, &ulSession) && ulSession == m_ulSessionId && ulSession != 0;
        if (bKnown) {
            m_ulSessionId = 0;
            m_bLoggedIn = false;
        }
        return PutU16(pWriter, 0, bKnown ? 0 : 1, request.bSwap);
    }

    bool SetOpMode(const ServiceRequest& request, BINTAGWRITER* pWriter) {
        RequestTags tags = ReadTags(request);
        uint32_t ulMode = 0;
        if (!tags.U32(0x54, request.bSwap, &ulMode) || ulMode < 1 || ulMode > 3) {
            return PutU16(pWriter, 1, 2, request.bSwap);
        }
        m_ulOpMode = ulMode;
        return PutU16(pWriter, 1, 0, request.bSwap);
    }

    const DeviceServicesOptions& m_options;
    const Key* m_pKey;
    uint32_t m_ulNextSessionId = kFirstSessionId;
    std::vector<uint8_t> m_challenge;
};

// ---- The dispatcher ------------------------------------------------------------------------------

DeviceServices::DeviceServices(const DeviceServicesOptions& options) : m_options(options), m_pKey(new Key) {
    if (m_options.ulAuthType == 2 || !m_options.keyFile.empty()) {
        if (!m_options.keyFile.empty()) {
            FILE* pFile = fopen(m_options.keyFile.c_str(), "r");
            if (pFile != nullptr) {
                m_pKey->pKey = PEM_read_PrivateKey(pFile, nullptr, nullptr, nullptr);
                fclose(pFile);
            }
            if (m_pKey->pKey == nullptr || !EVP_PKEY_is_a(m_pKey->pKey, "RSA")) {
                m_error = "cannot read an RSA private key from \"" + m_options.keyFile + "\"";
            }
        } else {
            m_pKey->pKey = EVP_RSA_gen(2048);
            if (m_pKey->pKey == nullptr) {
                m_error = "cannot make an RSA key";
            }
        }
        if (m_error.empty()) {
            int n = i2d_PUBKEY(m_pKey->pKey, nullptr);
            if (n > 0) {
                m_pKey->publicDer.resize(static_cast<size_t>(n));
                unsigned char* p = m_pKey->publicDer.data();
                i2d_PUBKEY(m_pKey->pKey, &p);
            } else {
                m_error = "cannot encode the public key";
            }
        }
    }
    std::unique_ptr<DeviceGroup> group(new DeviceGroup(m_options, m_pKey.get()));
    m_pDeviceGroup = group.get();
    m_groups.push_back(std::move(group));
}

DeviceServices::~DeviceServices() = default;

void DeviceServices::AddGroup(std::unique_ptr<IServiceGroup> group) {
    if (!group) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& existing : m_groups) {
        if (existing->Group() == group->Group()) {
            if (existing.get() == m_pDeviceGroup) {
                m_pDeviceGroup = nullptr;
            }
            existing = std::move(group);
            return;
        }
    }
    m_groups.push_back(std::move(group));
}

std::vector<uint8_t> DeviceServices::Handle(const std::vector<uint8_t>& requestPdu, uint32_t ulMaxReply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (requestPdu.size() < BTAG_HEADER_SIZE) {
        return {};
    }
    const uint8_t* p = requestPdu.data();
    uint16_t usTag = Load16(p, false);
    bool bSwap = false;
    if (usTag != kHeaderTag) {
        if (Swap16(usTag, true) != kHeaderTag) {
            return {};
        }
        bSwap = true;
    }
    ServiceRequest request;
    request.bSwap = bSwap;
    uint16_t usHeaderLength = Load16(p + 2, bSwap);
    request.usGroup = Load16(p + 4, bSwap);
    request.usService = Load16(p + 6, bSwap);
    request.ulSessionId = Load32(p + 8, bSwap);
    uint32_t ulServiceLength = Load32(p + 12, bSwap);
    uint64_t ullBody = static_cast<uint64_t>(usHeaderLength) + 4;
    if (usHeaderLength < 12 || ullBody + ulServiceLength > requestPdu.size()) {
        return {};
    }
    request.pBody = p + ullBody;
    request.ulBodySize = ulServiceLength;

    // Words: the tag writer needs an aligned buffer.
    // The reply buffer is the bound of every reply: no handler can write more
    // than the client's channel takes.
    uint32_t ulReplyBuffer = m_options.ulMaxReply;
    if (ulMaxReply != 0 && ulMaxReply < ulReplyBuffer) {
        ulReplyBuffer = ulMaxReply;
    }
    std::vector<uint32_t> buffer(ulReplyBuffer / 4);
    BINTAGWRITER writer;
    if (BTagWriterInit2(&writer, reinterpret_cast<RTS_UI8*>(buffer.data()),
                        static_cast<RTS_UI32>(buffer.size() * 4), bSwap ? 1 : 0) != ERR_OK ||
        BTagWriterStartService(&writer, request.ulSessionId, kHeaderTag,
                               static_cast<RTS_UI32>(request.usGroup | BTAG_REPLY_GROUP_FLAG),
                               request.usService) != ERR_OK) {
        return {};
    }
    BINTAGSAVEPOINT start;
    BTagWriterCreateSavepoint(&writer, &start);
    bool bHandled = false;
    for (auto& group : m_groups) {
        if (group->Group() == request.usGroup) {
            bHandled = group->Handle(request, &writer);
            break;
        }
    }
    if (!bHandled) {
        BTagWriterRestoreSavepoint(&writer, &start);
        PutU16(&writer, kTagError, kServiceUnknown, bSwap);
    }
    RTS_UI8* pPdu = nullptr;
    RTS_UI32 ulSize = 0;
    if (BTagWriterFinishService(&writer, &pPdu, &ulSize) != ERR_OK || pPdu == nullptr) {
        BTagWriterFinish(&writer, nullptr, nullptr);
        return {};
    }
    BTagWriterFinish(&writer, nullptr, nullptr);
    return std::vector<uint8_t>(pPdu, pPdu + ulSize);
}

uint32_t DeviceServices::SessionId() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pDeviceGroup != nullptr ? m_pDeviceGroup->m_ulSessionId : 0;
}

bool DeviceServices::LoggedIn() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pDeviceGroup != nullptr && m_pDeviceGroup->m_bLoggedIn;
}

uint32_t DeviceServices::OpMode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pDeviceGroup != nullptr ? m_pDeviceGroup->m_ulOpMode : 0;
}

std::vector<uint8_t> DeviceServices::PublicKey() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pKey->publicDer;
}

// ---- Options ----------------------------------------------------------------------------------

bool ParseDeviceServicesOption(const std::string& name, const std::string& value,
                               DeviceServicesOptions* pOptions, bool* pbKnown, std::string* pError) {
    *pbKnown = true;
    if (name == "--session-unknown") {
        pOptions->bSessionUnknown = true;
        return true;
    }
    if (name == "--big-endian") {
        pOptions->bBigEndian = true;
        return true;
    }
    if (name == "--auth-type") {
        uint32_t ul = 0;
        if (!ParseU32Value(value, &ul) || ul > 2) {
            *pError = "--auth-type expects 0, 1 or 2";
            return false;
        }
        pOptions->ulAuthType = ul;
        pOptions->bAuthTypeGiven = true;
        return true;
    }
    if (name == "--user" || name == "--password") {
        // The scrambled password area of type 1 holds 63 characters, the
        // encrypted block of type 2 59.
        if (value.size() > 59) {
            *pError = name + " expects at most 59 characters";
            return false;
        }
        (name == "--user" ? pOptions->user : pOptions->password) = value;
        // Credentials without a type mean: check them (type 1).
        if (!pOptions->bAuthTypeGiven) {
            pOptions->ulAuthType = 1;
        }
        return true;
    }
    if (name == "--key") {
        if (value.empty()) {
            *pError = "--key expects a PEM file";
            return false;
        }
        pOptions->keyFile = value;
        return true;
    }
    if (name == "--core-version") {
        uint32_t ul = 0;
        if (!ParseDotted(value, &ul) && !ParseU32Value(value, &ul)) {
            *pError = "--core-version expects A.B.C.D or a number, got \"" + value + "\"";
            return false;
        }
        pOptions->ulCoreVersion = ul;
        return true;
    }
    if (name == "--ident-flags") {
        if (!ParseU32Value(value, &pOptions->ulIdentFlags)) {
            *pError = "invalid number for --ident-flags: \"" + value + "\"";
            return false;
        }
        return true;
    }
    if (name == "--ip") {
        size_t slash = value.find('/');
        DeviceServicesOptions::IpEntry entry;
        if (slash == std::string::npos || !ParseDotted(value.substr(0, slash), &entry.ulAddr) ||
            !ParseDotted(value.substr(slash + 1), &entry.ulMask)) {
            *pError = "--ip expects ADDR/MASK in dotted form, got \"" + value + "\"";
            return false;
        }
        if (pOptions->ipList.size() >= 16) {
            *pError = "--ip given more than 16 times";
            return false;
        }
        pOptions->ipList.push_back(entry);
        return true;
    }
    *pbKnown = false;
    return true;
}

bool DeviceServicesOptionTakesValue(const std::string& name) {
    return name != "--session-unknown" && name != "--big-endian";
}

const char* DeviceServicesUsage() {
    return "device services (identity as the name service's):\n"
           "  --auth-type 0|1|2        authentication chosen at session creation (default 0, 1 with "
           "--user/--password)\n"
           "  --user TEXT, --password TEXT  credentials checked by login types 1 and 2\n"
           "  --key FILE               PEM private RSA key of type 2 (default: a new 2048-bit key)\n"
           "  --core-version A.B.C.D   runtime core version reported (default 3.5.17.0)\n"
           "  --ident-flags N          identification flags reported\n"
           "  --ip ADDR/MASK           an IP address reported by the identification (repeatable)\n"
           "  --big-endian             a big-endian device (channel byte order, serial number quirk)\n"
           "  --session-unknown        answer session creation with \"service unknown\" (0x302)\n";
}

}  // namespace klemu
