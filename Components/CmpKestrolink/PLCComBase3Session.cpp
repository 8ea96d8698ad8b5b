// The V3 device client's session services (service group 1): identification,
// session creation, login with authentication types 0, 1 and 2, logout, the
// keep-alive and the operation mode; and the symbol side this client has
// today: listing the symbol roots (service 9/7), enough for the configuration
// in which the controller resolves every variable by its full name.
//
// Every reply is read through the bounded tag reader and content cursors: a
// tag whose content is shorter than what it announces is skipped, never read
// past.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "PLCComBase3.h"
#include "PLCUtil.h"
#include "SysSocket.h"
#include "SysTime.h"

namespace {

constexpr BTAG_ALIGNMENT kAlign{4, 0};
// Text tags the device reads as strings start their content at 2 modulo 4.
constexpr BTAG_ALIGNMENT kAlignText{4, 2};

// Identification tags.
constexpr RTS_UI32 kTagTarget = 1;
constexpr RTS_UI32 kTagTargetName = 2;
constexpr RTS_UI32 kTagVendorName = 3;
constexpr RTS_UI32 kTagNodeName = 4;
constexpr RTS_UI32 kTagCoreVersion = 6;
constexpr RTS_UI32 kTagIdentFlags = 7;
constexpr RTS_UI32 kTagChannels = 8;
constexpr RTS_UI32 kTagSerialNumber = 9;
constexpr RTS_UI32 kTagIpList = 10;
// Session and login tags.
constexpr RTS_UI32 kTagLoginResult = 0x20;
constexpr RTS_UI32 kTagSessionId = 0x21;
constexpr RTS_UI32 kTagAuthType = 0x22;
constexpr RTS_UI32 kTagChallenge = 0x23;
constexpr RTS_UI32 kTagSettings = 0x24;
constexpr RTS_UI32 kTagLoginStep = 0x25;
constexpr RTS_UI32 kTagRsaChallenge = 0x26;
constexpr RTS_UI32 kTagPublicKey = 0x27;
constexpr RTS_UI32 kTagCredentials = 0x81;
constexpr RTS_UI32 kTagUser = 0x10;
constexpr RTS_UI32 kTagPassword = 0x11;
constexpr RTS_UI32 kTagLoginReply = 0x82;
constexpr RTS_UI32 kTagLoginReplyEx = 0xFF82;
constexpr RTS_UI32 kTagClientInfo = 0x83;
constexpr RTS_UI32 kTagClientSpecific = 0x40;
constexpr RTS_UI32 kTagClientName = 0x41;
constexpr RTS_UI32 kTagClientVendor = 0x42;
constexpr RTS_UI32 kTagClientHost = 0x43;
constexpr RTS_UI32 kTagClientVersion = 0x44;
constexpr RTS_UI32 kTagClientProtocol = 0x45;
constexpr RTS_UI32 kTagAuthTypes = 0x46;
constexpr RTS_UI32 kTagLogoutSession = 1;
constexpr RTS_UI32 kTagLogoutResult = 0;
constexpr RTS_UI32 kTagOpMode = 0x54;
// Symbol roots (service 9/7).
constexpr RTS_UI32 kTagRootNode = 0x30;
constexpr RTS_UI32 kTagConfigTimestamp = 0x3A;
constexpr RTS_UI32 kTagDeviceNameInProject = 0x3C;

constexpr RTS_UI32 kClientSpecificBase = 0x59500000u;
// Authentication types the client offers: 1 and 2.
constexpr RTS_UI32 kSupportedAuthTypes = 3;
// Devices from this core version on know session creation (3.5.16.0).
constexpr RTS_UI32 kCoreVersionWithSessions = 0x03051000u;

// Login results of the device.
constexpr RTS_UI16 kLoginOk = 0;
constexpr RTS_UI16 kLoginStepAccepted = 10;
constexpr RTS_UI16 kLoginInvalidCredentials = 0x19;
constexpr RTS_UI16 kLoginUserMgmtRequired = 0x46;
constexpr RTS_UI16 kLoginUserMgmtNotActive = 0x47;

// Password scrambling of type 1.
constexpr RTS_UI32 kCryptType1 = 1;
constexpr RTS_UI32 kPasswordArea = 64;
constexpr RTS_UI32 kMinScrambled = 32;
constexpr char kScrambleKey[] = "Qa7wLm3#Kp9vTz2!Hx5?Rb8*Nc4dYf6J";
static_assert(sizeof(kScrambleKey) == 33, "the scramble key is 32 characters");
constexpr RTS_UI32 kScrambledBuffer = 255;
// Type 2: the password block encrypted under the device's key.
constexpr RTS_UI32 kRsaBlock = 60;

// Host description: host name and DNS suffix bounds.
constexpr int kMaxHostName = 511;

RTS_UI32 ToDevice(RTS_BOOL bSwap, RTS_UI32 ulValue) {
    return bSwap ? __builtin_bswap32(ulValue) : ulValue;
}

RTS_RESULT WriteU32Tag(const KlBTagApi* pApi, BINTAGWRITER* pWriter, RTS_UI32 ulTag, RTS_UI32 ulValue,
                       RTS_BOOL bSwap) {
    RTS_UI32 ulWire = ToDevice(bSwap, ulValue);
    return pApi->pfBTagWriteSingleTag(pWriter, ulTag, kAlign, 0, &ulWire, sizeof(ulWire));
}

// A zero-terminated text filled to the next 4-byte boundary.
RTS_RESULT WriteTextTag(const KlBTagApi* pApi, BINTAGWRITER* pWriter, RTS_UI32 ulTag, const char* psz,
                        BTAG_ALIGNMENT align) {
    RTS_RESULT r = pApi->pfBTagWriterStartTag(pWriter, ulTag, align, 0);
    if (r == ERR_OK) {
        r = pApi->pfBTagWriterAppendString(pWriter, psz != nullptr ? psz : "");
    }
    if (r == ERR_OK) {
        r = pApi->pfBTagWriterAppendFillBytes(pWriter, 0, kAlign);
    }
    if (r == ERR_OK) {
        r = pApi->pfBTagWriterEndTag(pWriter, ulTag);
    }
    return r;
}

char* DupChars(const char* p, size_t n) {
    char* psz = new (std::nothrow) char[n + 1];
    if (psz != nullptr) {
        std::memcpy(psz, p, n);
        psz[n] = '\0';
    }
    return psz;
}

char* DupVersion(RTS_UI32 ulVersion) {
    char sz[32];
    snprintf(sz, sizeof(sz), "%u.%u.%u.%u", (ulVersion >> 24) & 0xFFu, (ulVersion >> 16) & 0xFFu,
             (ulVersion >> 8) & 0xFFu, ulVersion & 0xFFu);
    return DupChars(sz, strlen(sz));
}

// "a.b.c.d" back into one number; false for any other text.
bool ParseVersion(const char* psz, RTS_UI32* pulVersion) {
    if (psz == nullptr) {
        return false;
    }
    unsigned a = 0, b = 0, c = 0, d = 0;
    char cExtra = 0;
    if (sscanf(psz, "%u.%u.%u.%u%c", &a, &b, &c, &d, &cExtra) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255) {
        return false;
    }
    *pulVersion = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

void FormatIp(RTS_UI32 ulAddr, char* psz, size_t ulSize) {
    snprintf(psz, ulSize, "%u.%u.%u.%u", (ulAddr >> 24) & 0xFFu, (ulAddr >> 16) & 0xFFu,
             (ulAddr >> 8) & 0xFFu, ulAddr & 0xFFu);
}

template <typename T>
void Replace(T** ppOld, T* pNew) {
    delete[] * ppOld;
    *ppOld = pNew;
}

// The narrow form of a device text for log lines.
std::string Narrow(const RTS_WCHAR* pwsz) {
    if (pwsz == nullptr) {
        return std::string();
    }
    char sz[256];
    UtlWStrToStr(sz, sizeof(sz), pwsz);
    return sz;
}

// ---- Identification --------------------------------------------------------------------------

struct IdentContext {
    const KlBTagApi* pApi;
    RTS_BOOL bSwap;
    bool bBigEndianDevice;
    DeviceInfo3* pInfo;
};

// Tags 2, 3, 4: a 32-bit byte count n, then n bytes of 16-bit characters.
// Only whole characters are taken; a count beyond the tag skips the text.
RTS_WCHAR* ReadCountedWString(const KlBTagApi* pApi, BTAG_CONTENT_CURSOR* pCursor) {
    RTS_UI32 ulBytes = 0;
    if (pApi->pfBTagCursorReadUI32(pCursor, &ulBytes) != ERR_OK ||
        ulBytes > pApi->pfBTagCursorRemaining(pCursor)) {
        return nullptr;
    }
    RTS_UI32 ulChars = ulBytes / 2;
    RTS_WCHAR* pwsz = new (std::nothrow) RTS_WCHAR[static_cast<size_t>(ulChars) + 1];
    if (pwsz == nullptr) {
        return nullptr;
    }
    for (RTS_UI32 i = 0; i < ulChars; ++i) {
        RTS_UI16 usChar = 0;
        pApi->pfBTagCursorReadUI16(pCursor, &usChar);
        pwsz[i] = usChar;
    }
    pwsz[ulChars] = 0;
    return pwsz;
}

RTS_RESULT IdentTag(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    IdentContext* pCtx = static_cast<IdentContext*>(pContext);
    const KlBTagApi* pApi = pCtx->pApi;
    DeviceInfo3* pInfo = pCtx->pInfo;
    BTAG_CONTENT_CURSOR c;
    if (pApi->pfBTagReaderGetCursor(pReader, pCtx->bSwap, &c) != ERR_OK) {
        return ERR_OK;  // a parent tag where data is expected: skipped
    }
    RTS_UI32 ulLen = pApi->pfBTagCursorRemaining(&c);
    switch (ulTagId) {
        case kTagTarget:
            if (ulLen >= 12) {
                RTS_UI32 ulVersion = 0;
                pApi->pfBTagCursorReadUI32(&c, &pInfo->ulTargetType);
                pApi->pfBTagCursorReadUI32(&c, &pInfo->ulTargetId);
                pApi->pfBTagCursorReadUI32(&c, &ulVersion);
                Replace(&pInfo->pszTargetVersion, DupVersion(ulVersion));
            }
            break;
        case kTagTargetName:
        case kTagVendorName:
        case kTagNodeName: {
            RTS_WCHAR* pwsz = ReadCountedWString(pApi, &c);
            if (pwsz != nullptr) {
                Replace(ulTagId == kTagTargetName   ? &pInfo->pwszTargetName
                        : ulTagId == kTagVendorName ? &pInfo->pwszTargetVendorName
                                                    : &pInfo->pwszNodeName,
                        pwsz);
            }
            break;
        }
        case kTagCoreVersion:
            if (ulLen >= 4) {
                RTS_UI32 ulCore = 0;
                pApi->pfBTagCursorReadUI32(&c, &ulCore);
                Replace(&pInfo->pszTargetCoreVersion, DupVersion(ulCore));
            }
            break;
        case kTagIdentFlags:
            if (ulLen >= 4) {
                pApi->pfBTagCursorReadUI32(&c, &pInfo->ulTargetIdentFlags);
            }
            break;
        case kTagChannels:
            if (ulLen >= 2) {
                pApi->pfBTagCursorReadUI16(&c, &pInfo->usTargetChannels);
            }
            break;
        case kTagSerialNumber:
            if (ulLen >= 3 && ulLen < 65535) {
                RTS_UI16 usLen = 0;
                pApi->pfBTagCursorReadUI16(&c, &usLen);
                RTS_UI32 ulSerial = usLen;
                // Big-endian devices announce 0 and fill the rest of the tag.
                if (ulSerial == 0 && pCtx->bBigEndianDevice) {
                    ulSerial = ulLen - 2;
                }
                const RTS_UI8* p = nullptr;
                if (ulSerial > 0 && ulSerial <= ulLen - 2 &&
                    pApi->pfBTagCursorReadBytes(&c, ulSerial, &p) == ERR_OK) {
                    Replace(&pInfo->pszTargetSerialNumber,
                            DupChars(reinterpret_cast<const char*>(p), ulSerial));
                }
            }
            break;
        case kTagIpList: {
            Replace(&pInfo->pIpAddressList, static_cast<IpInfoTag*>(nullptr));
            pInfo->usNumOfIpAddresses = 0;
            RTS_UI32 ulCount = 0;
            const RTS_UI8* p = nullptr;
            if (pApi->pfBTagCursorReadCounted(&c, 2, 8, &ulCount, &p) != ERR_OK || ulCount == 0) {
                break;
            }
            IpInfoTag* pList = new (std::nothrow) IpInfoTag[ulCount]();
            if (pList == nullptr) {
                break;
            }
            BTAG_CONTENT_CURSOR items;
            pApi->pfBTagCursorInit(&items, p, ulCount * 8, pCtx->bSwap);
            for (RTS_UI32 i = 0; i < ulCount; ++i) {
                RTS_UI32 ulIp = 0, ulMask = 0;
                pApi->pfBTagCursorReadUI32(&items, &ulIp);
                pApi->pfBTagCursorReadUI32(&items, &ulMask);
                FormatIp(ulIp, pList[i].szIp, sizeof(pList[i].szIp));
                FormatIp(ulMask, pList[i].szMask, sizeof(pList[i].szMask));
            }
            pInfo->pIpAddressList = pList;
            pInfo->usNumOfIpAddresses = static_cast<RTS_UI16>(ulCount);
            break;
        }
        default:
            break;
    }
    return ERR_OK;
}

// ---- Session creation and login replies -------------------------------------------------------

struct SessionContext {
    const KlBTagApi* pApi;
    RTS_BOOL bSwap;
    bool bHaveAuthType = false;
    RTS_UI32 ulAuthType = 0;
    bool bHaveSessionId = false;
    RTS_UI32 ulSessionId = 0;
    bool bHaveError = false;
    RTS_UI16 usError = 0;
};

RTS_RESULT SessionTag(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    SessionContext* pCtx = static_cast<SessionContext*>(pContext);
    switch (ulTagId) {
        case kTagAuthTypes:
            pCtx->bHaveAuthType =
                pCtx->pApi->pfBTagReaderGetUI32(pReader, pCtx->bSwap, &pCtx->ulAuthType) == ERR_OK;
            break;
        case kTagSessionId:
            pCtx->bHaveSessionId =
                pCtx->pApi->pfBTagReaderGetUI32(pReader, pCtx->bSwap, &pCtx->ulSessionId) == ERR_OK;
            break;
        case TAG_ERROR:
            pCtx->bHaveError =
                pCtx->pApi->pfBTagReaderGetUI16(pReader, pCtx->bSwap, &pCtx->usError) == ERR_OK;
            break;
        default:
            break;
    }
    return ERR_OK;
}

struct LoginContext {
    LoginContext(const KlBTagApi* pApiIn, RTS_BOOL bSwapIn) : pApi(pApiIn), bSwap(bSwapIn) {}
    const KlBTagApi* pApi;
    RTS_BOOL bSwap;
    bool bHaveResult = false;
    RTS_UI16 usResult = 0;
    bool bHaveSessionId = false;
    RTS_UI32 ulSessionId = 0;
    bool bHaveSettings = false;
    RTS_UI32 ulSettings = 0;
    bool bHaveKey = false;
    std::vector<RTS_UI8> key;
    bool bHaveChallenge = false;
    std::vector<RTS_UI8> challenge;
};

RTS_RESULT LoginReplyChild(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    LoginContext* pCtx = static_cast<LoginContext*>(pContext);
    const KlBTagApi* pApi = pCtx->pApi;
    switch (ulTagId) {
        case kTagSessionId:
            pCtx->bHaveSessionId =
                pApi->pfBTagReaderGetUI32(pReader, pCtx->bSwap, &pCtx->ulSessionId) == ERR_OK;
            break;
        case kTagSettings:
            pCtx->bHaveSettings =
                pApi->pfBTagReaderGetUI32(pReader, pCtx->bSwap, &pCtx->ulSettings) == ERR_OK;
            break;
        case kTagLoginResult:
            pCtx->bHaveResult = pApi->pfBTagReaderGetUI16(pReader, pCtx->bSwap, &pCtx->usResult) == ERR_OK;
            break;
        default:
            break;
    }
    return ERR_OK;
}

bool ReadBytes(const KlBTagApi* pApi, BINTAGREADER* pReader, std::vector<RTS_UI8>* pBytes) {
    RTS_UI8* p = nullptr;
    RTS_UI32 ulSize = 0;
    if (pApi->pfBTagReaderGetContent(pReader, &p, &ulSize) != ERR_OK || ulSize == 0) {
        return false;
    }
    pBytes->assign(p, p + ulSize);
    return true;
}

RTS_RESULT LoginTag(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    LoginContext* pCtx = static_cast<LoginContext*>(pContext);
    switch (ulTagId) {
        case kTagLoginReply:
        case kTagLoginReplyEx:
            pCtx->pApi->pfBTagServiceWalkTags(pReader, LoginReplyChild, pContext);
            break;
        case kTagPublicKey:
            pCtx->bHaveKey = ReadBytes(pCtx->pApi, pReader, &pCtx->key);
            break;
        case kTagRsaChallenge:
            pCtx->bHaveChallenge = ReadBytes(pCtx->pApi, pReader, &pCtx->challenge);
            break;
        default:
            break;
    }
    return ERR_OK;
}

// ---- Logout, operation mode, roots -----------------------------------------------------------------

struct ResultContext {
    const KlBTagApi* pApi;
    RTS_BOOL bSwap;
    RTS_UI32 ulResultTag;
    bool bHaveResult = false;
    RTS_UI16 usResult = 0;
    bool bHaveError = false;
    RTS_UI16 usError = 0;
    bool bHaveMode = false;
    RTS_UI32 ulMode = 0;
};

RTS_RESULT ResultTag(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    ResultContext* pCtx = static_cast<ResultContext*>(pContext);
    const KlBTagApi* pApi = pCtx->pApi;
    if (ulTagId == pCtx->ulResultTag) {
        pCtx->bHaveResult = pApi->pfBTagReaderGetUI16(pReader, pCtx->bSwap, &pCtx->usResult) == ERR_OK;
    } else if (ulTagId == TAG_ERROR) {
        pCtx->bHaveError = pApi->pfBTagReaderGetUI16(pReader, pCtx->bSwap, &pCtx->usError) == ERR_OK;
    } else if (ulTagId == kTagOpMode) {
        pCtx->bHaveMode = pApi->pfBTagReaderGetUI32(pReader, pCtx->bSwap, &pCtx->ulMode) == ERR_OK;
    }
    return ERR_OK;
}

struct RootsContext {
    RootsContext(const KlBTagApi* pApiIn, RTS_BOOL bSwapIn) : pApi(pApiIn), bSwap(bSwapIn) {}
    const KlBTagApi* pApi;
    RTS_BOOL bSwap;
    std::vector<std::string> roots;
    bool bHaveTimestamp = false;
    RTS_UI32 ulTimestamp = 0;
};

RTS_RESULT RootsTag(BINTAGREADER* pReader, RTS_UI32 ulTagId, void* pContext) {
    RootsContext* pCtx = static_cast<RootsContext*>(pContext);
    const KlBTagApi* pApi = pCtx->pApi;
    if (ulTagId == kTagRootNode) {
        BTAG_CONTENT_CURSOR c;
        RTS_UI32 ulLen = 0;
        const RTS_UI8* p = nullptr;
        if (pApi->pfBTagReaderGetCursor(pReader, pCtx->bSwap, &c) == ERR_OK &&
            pApi->pfBTagCursorReadCounted(&c, 2, 1, &ulLen, &p) == ERR_OK && ulLen > 0) {
            RTS_UI32 n = 0;
            while (n < ulLen && p[n] != 0) {
                ++n;
            }
            pCtx->roots.emplace_back(reinterpret_cast<const char*>(p), n);
        }
    } else if (ulTagId == kTagConfigTimestamp) {
        pCtx->bHaveTimestamp = pApi->pfBTagReaderGetUI32(pReader, pCtx->bSwap, &pCtx->ulTimestamp) == ERR_OK;
    }
    return ERR_OK;
}

// ---- Type 2: the device's public key ----------------------------------------------------------

struct PkeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

// The key arrives as DER SubjectPublicKeyInfo; a text that starts with
// "-----BEGIN" is taken as PEM of the same. Only RSA keys serve.
PkeyPtr ImportPublicKey(const std::vector<RTS_UI8>& key) {
    static const char kPem[] = "-----BEGIN";
    PkeyPtr pkey;
    if (key.empty() || key.size() > 0x7FFFFFFFu) {
        return pkey;
    }
    if (key.size() >= sizeof(kPem) - 1 && std::memcmp(key.data(), kPem, sizeof(kPem) - 1) == 0) {
        BIO* pBio = BIO_new_mem_buf(key.data(), static_cast<int>(key.size()));
        if (pBio != nullptr) {
            pkey.reset(PEM_read_bio_PUBKEY(pBio, nullptr, nullptr, nullptr));
            BIO_free(pBio);
        }
    } else {
        // Fill bytes of the tag may follow the key; they are not part of it.
        const unsigned char* p = key.data();
        pkey.reset(d2i_PUBKEY(nullptr, &p, static_cast<long>(key.size())));
    }
    if (pkey && !EVP_PKEY_is_a(pkey.get(), "RSA")) {
        pkey.reset();
    }
    return pkey;
}

PkeyCtxPtr OaepContext(EVP_PKEY* pKey) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) <= 0) {
        ctx.reset();
    }
    return ctx;
}

}  // namespace

// ---- Password scrambling and challenge --------------------------------------------------------------

RTS_RESULT CPLCComBase3::MyUserMgrCryptPassword(const char* pszPassword, RTS_UI8* pszPasswordCrypted,
                                                RTS_UI32* pnPasswordCryptedSize, RTS_UI32 ulCryptType,
                                                RTS_UI32 ulChallenge) {
    if (pszPassword == nullptr || pszPasswordCrypted == nullptr || pnPasswordCryptedSize == nullptr) {
        return ERR_PARAMETER;
    }
    if (ulCryptType != kCryptType1) {
        return ERR_NOT_SUPPORTED;
    }
    // The password area holds 63 characters and a terminator; the scrambled
    // length is bounded by the area, so a longer password is cut there and
    // nothing behind the area is ever read.
    RTS_UI8 abyArea[kPasswordArea] = {0};
    RTS_UI32 ulLen = static_cast<RTS_UI32>(strnlen(pszPassword, kPasswordArea - 1));
    std::memcpy(abyArea, pszPassword, ulLen);
    RTS_UI32 n = ulLen + 1;
    if (n < kMinScrambled) {
        n = kMinScrambled;
    }
    n = (n + 3) & ~3u;
    if (*pnPasswordCryptedSize < n) {
        *pnPasswordCryptedSize = n;
        OPENSSL_cleanse(abyArea, sizeof(abyArea));
        return ERR_BUFFERSIZE;
    }
    const RTS_UI8 abyChallenge[4] = {static_cast<RTS_UI8>(ulChallenge & 0xFFu), 0, 0, 0};
    for (RTS_UI32 i = 0; i < n; ++i) {
        RTS_UI8 byMask =
            static_cast<RTS_UI8>(abyChallenge[i % 4] + static_cast<RTS_UI8>(kScrambleKey[i % 32]));
        pszPasswordCrypted[i] = static_cast<RTS_UI8>(abyArea[i] ^ byMask);
    }
    *pnPasswordCryptedSize = n;
    OPENSSL_cleanse(abyArea, sizeof(abyArea));
    return ERR_OK;
}

RTS_UI32 CPLCComBase3::MyUserMgrGetChallenge() {
    RTS_UI8 aby[4] = {0};
    if (RAND_bytes(aby, sizeof(aby)) == 1) {
        return (static_cast<RTS_UI32>(aby[0]) << 24) | (static_cast<RTS_UI32>(aby[1]) << 16) |
               (static_cast<RTS_UI32>(aby[2]) << 8) | aby[3];
    }
    // Without the system's generator: the clock mixed as the protocol's own
    // generator does, in unsigned 32-bit arithmetic.
    unsigned int uSeed = SysTimeGetMs();
    RTS_UI32 r1 = static_cast<RTS_UI32>(rand_r(&uSeed));
    RTS_UI32 r2 = static_cast<RTS_UI32>(rand_r(&uSeed));
    return r1 + r2 * r1 * 65536u;
}

// ---- Identification and session -----------------------------------------------------------------

namespace {

// "0301.2A0C": each component as %04X, most significant byte first.
char* NodeAddressText(const std::vector<RTS_UI16>& address) {
    std::string text;
    for (RTS_UI16 us : address) {
        char sz[8];
        snprintf(sz, sizeof(sz), "%04X.", static_cast<unsigned>(us));
        text += sz;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return DupChars(text.data(), text.size());
}

// Host name, ".", and the DNS suffix of the first adapter that has one. The
// platform layer reports no per-adapter DNS suffix, so the suffix is empty.
std::string HostDescription() {
    char szHost[kMaxHostName + 1] = {0};
    if (SysSockGetHostName(szHost, sizeof(szHost)) != ERR_OK) {
        szHost[0] = '\0';
    }
    szHost[kMaxHostName] = '\0';
    return std::string(szHost) + ".";
}

}  // namespace

RTS_I32 CPLCComBase3::CreateSession(const char* pszClientName, const char* pszClientVendorName,
                                    const char* pszClientVersion, RTS_UI16 usClientSpecific) {
    DeleteDevInfo();
    m_ulSessionID = 0;
    m_ulAuthType = 0;
    m_DeviceInfo3.ulBufferSize = m_ulBufferSize;
    m_DeviceInfo3.bMotorola = m_bMotorola;
    m_DeviceInfo3.DeviceSessionId = 0;
    m_DeviceInfo3.pszNodeAddress = NodeAddressText(m_PlcAddress);

    BINTAGWRITER writer;
    BINTAGREADER reader;
    bool bAnswered = false;
    if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_IDENTIFY) != ERR_OK) {
        return PLCCOM_FAILED;
    }
    RTS_I32 lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_IDENTIFY, &reader, &bAnswered);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    if (bAnswered) {
        IdentContext ctx{m_pBTag, SwapHeader(), m_bMotorola != 0, &m_DeviceInfo3};
        m_pBTag->pfBTagServiceWalkTags(&reader, IdentTag, &ctx);
    }
    const DeviceInfo3& info = m_DeviceInfo3;
    AddLogEntry(LOG_INFO, 0, "CPLCComBase3: CreateSession() to %s, Device: %s",
                Narrow(info.pwszNodeName).c_str(), Narrow(info.pwszTargetName).c_str());
    if (info.pszTargetVersion != nullptr) {
        AddLogEntry(LOG_INFO, 0, "CPLCComBase3: CreateSession() Vendor: %s, Version: %s",
                    Narrow(info.pwszTargetVendorName).c_str(), info.pszTargetVersion);
    } else {
        AddLogEntry(LOG_INFO, 0, "CPLCComBase3: CreateSession() Vendor: %s, TargetVersion unknown",
                    Narrow(info.pwszTargetVendorName).c_str());
    }
    if (info.pszTargetCoreVersion != nullptr) {
        AddLogEntry(LOG_INFO, 0, "CPLCComBase3: CreateSession() RtsCoreVersion: %s",
                    info.pszTargetCoreVersion);
    } else {
        AddLogEntry(LOG_INFO, 0, "CPLCComBase3: CreateSession() RtsCoreVersion unknown");
    }
    AddLogEntry(LOG_DEBUG, 0, "CPLCComBase3: CreateSession() AddInfo: ID: 0x%08lX, Type: 0x%08lX",
                static_cast<unsigned long>(info.ulTargetId), static_cast<unsigned long>(info.ulTargetType));
    AddLogEntry(LOG_DEBUG, 0, "CPLCComBase3: CreateSession() AddInfo: Flags: 0x%08lX, Channels: %u",
                static_cast<unsigned long>(info.ulTargetIdentFlags),
                static_cast<unsigned>(info.usTargetChannels));
    AddLogEntry(LOG_DEBUG, 0, "CPLCComBase3: CreateSession() AddInfo: SerialNumber: %s",
                info.pszTargetSerialNumber != nullptr ? info.pszTargetSerialNumber : "");
    for (RTS_UI16 i = 0; i < info.usNumOfIpAddresses && info.pIpAddressList != nullptr; ++i) {
        AddLogEntry(LOG_DEBUG, 0, "CPLCComBase3: CreateSession() AddInfo: IpAddress: %s, Mask: %s",
                    info.pIpAddressList[i].szIp, info.pIpAddressList[i].szMask);
    }

    // Session creation.
    const KlBTagApi* pApi = m_pBTag;
    const RTS_BOOL bSwap = SwapHeader();
    std::string host = HostDescription();
    if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_SESSION) != ERR_OK) {
        return PLCCOM_FAILED;
    }
    RTS_RESULT r = pApi->pfBTagWriterStartTag(&writer, kTagClientInfo, kAlign, 0);
    if (r == ERR_OK) {
        r = WriteU32Tag(pApi, &writer, kTagClientSpecific, kClientSpecificBase | usClientSpecific, bSwap);
    }
    if (r == ERR_OK && pszClientName != nullptr) {
        r = WriteTextTag(pApi, &writer, kTagClientName, pszClientName, kAlign);
    }
    if (r == ERR_OK && pszClientVendorName != nullptr) {
        r = WriteTextTag(pApi, &writer, kTagClientVendor, pszClientVendorName, kAlign);
    }
    if (r == ERR_OK) {
        r = WriteTextTag(pApi, &writer, kTagClientHost, host.c_str(), kAlign);
    }
    if (r == ERR_OK && pszClientVersion != nullptr) {
        r = WriteTextTag(pApi, &writer, kTagClientVersion, pszClientVersion, kAlign);
    }
    if (r == ERR_OK) {
        r = WriteTextTag(pApi, &writer, kTagClientProtocol, KL_CLIENT_PROTOCOL_VERSION, kAlign);
    }
    if (r == ERR_OK) {
        r = pApi->pfBTagWriterEndTag(&writer, kTagClientInfo);
    }
    if (r == ERR_OK) {
        r = WriteU32Tag(pApi, &writer, kTagAuthTypes, kSupportedAuthTypes, bSwap);
    }
    if (r != ERR_OK) {
        return PLCCOM_FAILED;
    }
    lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_SESSION, &reader, &bAnswered);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    if (!bAnswered) {
        AddLogEntry(LOG_ERROR, 0,
                    "CPLCComBase3: <-CreateSession() failed (could not create session), Result = %d", 1);
        return PLCCOM_FAILED;
    }
    SessionContext ctx{pApi, bSwap};
    pApi->pfBTagServiceWalkTags(&reader, SessionTag, &ctx);
    if (ctx.bHaveError && ctx.usError != 0) {
        if (ctx.usError != KL_DEVICE_SERVICE_UNKNOWN) {
            AddLogEntry(LOG_ERROR, 0,
                        "CPLCComBase3: <-CreateSession() failed (could not create session), Result = %d",
                        static_cast<int>(ctx.usError));
            return PLCCOM_FAILED;
        }
        RTS_UI32 ulCore = 0;
        if (ParseVersion(m_DeviceInfo3.pszTargetCoreVersion, &ulCore) && ulCore >= kCoreVersionWithSessions) {
            AddLogEntry(LOG_ERROR, 0,
                        "CPLCComBase3: <-CreateSession() failed (could not create session), but PLC should "
                        "support it");
            return PLCCOM_FAILED;
        }
        // An older device without sessions: it logs in with a scrambled password.
        m_ulAuthType = KL_AUTH_SCRAMBLED;
        return PLCCOM_OK;
    }
    if (ctx.bHaveAuthType) {
        if (ctx.ulAuthType > KL_AUTH_RSA) {
            AddLogEntry(LOG_ERROR, 0, "CPLCComBase3: <-CreateSession() failed, AuthType 0x%lX unsupported ",
                        static_cast<unsigned long>(ctx.ulAuthType));
            return PLCCOM_FAILED;
        }
        m_ulAuthType = ctx.ulAuthType;
    }
    if (ctx.bHaveSessionId) {
        m_ulSessionID = ctx.ulSessionId;
        m_DeviceInfo3.DeviceSessionId = ctx.ulSessionId;
    }
    return PLCCOM_OK;
}

// ---- Login ----------------------------------------------------------------------------------

namespace {

// A failed send of a login round: a broken connection stays recognisable.
RTS_I32 LoginSendFailure(RTS_I32 lResult) {
    return lResult == PLCCOM_NO_CONNECTION ? PLCCOM_NO_CONNECTION : PLCCOM_FAILED;
}

RTS_RESULT WriteCredentialsStart(const KlBTagApi* pApi, BINTAGWRITER* pWriter, const char* pszUser) {
    RTS_RESULT r = pApi->pfBTagWriterStartTag(pWriter, kTagCredentials, kAlign, 0);
    if (r == ERR_OK) {
        r = WriteTextTag(pApi, pWriter, kTagUser, pszUser, kAlignText);
    }
    return r;
}

}  // namespace

RTS_I32 CPLCComBase3::Login() {
    if (m_pBTag == nullptr) {
        m_pBTag = KlBTagImports();
        if (m_pBTag == nullptr) {
            return PLCCOM_FAILED;
        }
    }
    const KlBTagApi* pApi = m_pBTag;
    const RTS_BOOL bSwap = SwapHeader();
    const char* pszUser = m_pszUser ? m_pszUser.get() : "";
    const char* pszPassword = m_pszPassword ? m_pszPassword.get() : "";
    BINTAGWRITER writer;
    BINTAGREADER reader;
    bool bAnswered = false;

    if (m_ulAuthType == KL_AUTH_RSA) {
        // Round 1: the device's key and challenge.
        if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_LOGIN) != ERR_OK ||
            WriteU32Tag(pApi, &writer, kTagAuthType, KL_AUTH_RSA, bSwap) != ERR_OK ||
            WriteU32Tag(pApi, &writer, kTagLoginStep, 1, bSwap) != ERR_OK) {
            return PLCCOM_FAILED;
        }
        RTS_I32 lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_LOGIN, &reader, &bAnswered);
        if (lResult != PLCCOM_OK) {
            return LoginSendFailure(lResult);
        }
        if (!bAnswered) {
            return PLCCOM_FAILED;
        }
        LoginContext first{pApi, bSwap};
        pApi->pfBTagServiceWalkTags(&reader, LoginTag, &first);
        // Key, challenge and the step's result all belong to the first round.
        if (!first.bHaveKey || !first.bHaveChallenge || !first.bHaveResult ||
            (first.usResult != kLoginOk && first.usResult != kLoginStepAccepted)) {
            AddLogEntry(LOG_ERROR, 0, "CPLCComBase3: <-Login() failed, incomplete key exchange");
            return PLCCOM_FAILED;
        }
        PkeyPtr pKey = ImportPublicKey(first.key);
        PkeyCtxPtr pCtx = pKey ? OaepContext(pKey.get()) : PkeyCtxPtr();
        if (!pCtx) {
            AddLogEntry(LOG_ERROR, 0, "CPLCComBase3: <-Login() failed, public key of the device not usable");
            return PLCCOM_FAILED;
        }
        RTS_UI8 abyBlock[kRsaBlock] = {0};
        std::memcpy(abyBlock, pszPassword, strnlen(pszPassword, kRsaBlock - 1));
        size_t ulXor = first.challenge.size() < kRsaBlock ? first.challenge.size() : kRsaBlock;
        for (size_t i = 0; i < ulXor; ++i) {
            abyBlock[i] ^= first.challenge[i];
        }
        // Round 2: the password encrypted straight into its tag.
        RTS_I32 lBuild = PLCCOM_FAILED;
        size_t ulCipher = 0;
        if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_LOGIN) == ERR_OK &&
            WriteU32Tag(pApi, &writer, kTagAuthType, KL_AUTH_RSA, bSwap) == ERR_OK &&
            WriteU32Tag(pApi, &writer, kTagLoginStep, 2, bSwap) == ERR_OK &&
            WriteCredentialsStart(pApi, &writer, pszUser) == ERR_OK &&
            pApi->pfBTagWriterStartTag(&writer, kTagPassword, kAlign, 0) == ERR_OK &&
            EVP_PKEY_encrypt(pCtx.get(), nullptr, &ulCipher, abyBlock, sizeof(abyBlock)) > 0) {
            RTS_UI8* pCipher = nullptr;
            size_t ulWritten = ulCipher;
            if (ulCipher > pApi->pfBTagWriterGetAvailableBuffer(&writer)) {
                AddLogEntry(LOG_ERROR, 0, "CPLCComBase3: <-Login() failed, Result = %d", ERR_BUFFERSIZE);
            } else if (pApi->pfBTagWriterAppendRaw(&writer, &pCipher, static_cast<RTS_UI32>(ulCipher)) ==
                           ERR_OK &&
                       EVP_PKEY_encrypt(pCtx.get(), pCipher, &ulWritten, abyBlock, sizeof(abyBlock)) > 0 &&
                       ulWritten == ulCipher &&
                       pApi->pfBTagWriterAppendFillBytes(&writer, 0, kAlign) == ERR_OK &&
                       pApi->pfBTagWriterEndTag(&writer, kTagPassword) == ERR_OK &&
                       pApi->pfBTagWriterEndTag(&writer, kTagCredentials) == ERR_OK) {
                lBuild = PLCCOM_OK;
            }
        }
        OPENSSL_cleanse(abyBlock, sizeof(abyBlock));
        if (lBuild != PLCCOM_OK) {
            return PLCCOM_FAILED;
        }
        lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_LOGIN, &reader, &bAnswered);
        if (lResult != PLCCOM_OK) {
            return LoginSendFailure(lResult);
        }
        LoginContext second{pApi, bSwap};
        if (bAnswered) {
            pApi->pfBTagServiceWalkTags(&reader, LoginTag, &second);
        }
        if (second.bHaveSettings) {
            m_DeviceInfo3.ulSettings = second.ulSettings;
        }
        RTS_UI16 usResult = second.bHaveResult ? second.usResult : 1;
        switch (usResult) {
            case kLoginOk:
                AddLogEntry(LOG_INFO, 0, "CPLCComBase3: <-Login() successful, SessionId = 0x%X, Result = %d",
                            m_ulSessionID, 0);
                return PLCCOM_OK;
            case kLoginInvalidCredentials:
                AddLogEntry(LOG_ERROR, 0, "Kestrolink Error: Invalid credentials for user=%s!", pszUser);
                return PLCCOM_INVALID_CREDENTIALS;
            case kLoginUserMgmtNotActive:
                AddLogEntry(LOG_ERROR, 0,
                            "Kestrolink Error: Logged in with a user name, but user mgt. not active.");
                return PLCCOM_USERMGMT_NOT_ACTIVE;
            case kLoginUserMgmtRequired:
                AddLogEntry(LOG_ERROR, 0, "Kestrolink Error: User Management has to be activated.");
                return PLCCOM_USERMGMT_REQUIRED;
            default:
                return PLCCOM_FAILED;
        }
    }

    // Types 0 and 1.
    if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_LOGIN) != ERR_OK) {
        return PLCCOM_FAILED;
    }
    if (m_ulAuthType == KL_AUTH_SCRAMBLED) {
        RTS_UI32 ulChallenge = MyUserMgrGetChallenge();
        RTS_UI8 abyScrambled[kScrambledBuffer] = {0};
        RTS_UI32 ulScrambled = sizeof(abyScrambled);
        RTS_RESULT r =
            MyUserMgrCryptPassword(pszPassword, abyScrambled, &ulScrambled, kCryptType1, ulChallenge);
        if (r == ERR_OK) {
            r = WriteU32Tag(pApi, &writer, kTagAuthType, m_ulAuthType, bSwap);
        }
        if (r == ERR_OK) {
            r = WriteU32Tag(pApi, &writer, kTagChallenge, ulChallenge, bSwap);
        }
        if (r == ERR_OK) {
            r = WriteCredentialsStart(pApi, &writer, pszUser);
        }
        if (r == ERR_OK) {
            r = pApi->pfBTagWriteSingleTag(&writer, kTagPassword, kAlign, 1, abyScrambled, ulScrambled);
        }
        if (r == ERR_OK) {
            r = pApi->pfBTagWriterEndTag(&writer, kTagCredentials);
        }
        OPENSSL_cleanse(abyScrambled, sizeof(abyScrambled));
        if (r != ERR_OK) {
            return PLCCOM_FAILED;
        }
    }
    RTS_I32 lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_LOGIN, &reader, &bAnswered);
    if (lResult != PLCCOM_OK) {
        return LoginSendFailure(lResult);
    }
    LoginContext ctx{pApi, bSwap};
    if (bAnswered) {
        pApi->pfBTagServiceWalkTags(&reader, LoginTag, &ctx);
    }
    if (ctx.bHaveSessionId) {
        m_ulSessionID = ctx.ulSessionId;
        m_DeviceInfo3.DeviceSessionId = ctx.ulSessionId;
    }
    if (ctx.bHaveSettings) {
        m_DeviceInfo3.ulSettings = ctx.ulSettings;
    }
    // A missing result counts as 1, which is a failure, not a credentials question.
    RTS_UI16 usResult = 1;
    if (ctx.bHaveResult) {
        usResult = ctx.usResult;
        if (usResult == 1 || usResult == 2 || usResult == 0x14 || usResult == kLoginInvalidCredentials) {
            AddLogEntry(LOG_ERROR, 0, "Kestrolink Error: Invalid credentials for user=%s!", pszUser);
            usResult = kLoginInvalidCredentials;
        }
    }
    switch (usResult) {
        case kLoginOk:
            AddLogEntry(LOG_INFO, 0, "CPLCComBase3: <-Login() successful, SessionId = 0x%X, Result = %d",
                        m_ulSessionID, 0);
            return PLCCOM_OK;
        case kLoginInvalidCredentials:
            return PLCCOM_INVALID_CREDENTIALS;
        case kLoginUserMgmtNotActive:
            return PLCCOM_USERMGMT_NOT_ACTIVE;
        default:
            return PLCCOM_FAILED;
    }
}

RTS_I32 CPLCComBase3::Logout() {
    RTS_I32 lResult = PLCCOM_OK;
    if (m_ulSessionID != 0) {
        BINTAGWRITER writer;
        BINTAGREADER reader;
        bool bAnswered = false;
        RTS_UI32 ulSession = m_ulSessionID;
        if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_LOGOUT) != ERR_OK ||
            WriteU32Tag(m_pBTag, &writer, kTagLogoutSession, ulSession, SwapHeader()) != ERR_OK) {
            lResult = PLCCOM_FAILED;
        } else {
            lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_LOGOUT, &reader, &bAnswered);
        }
        if (lResult == PLCCOM_OK) {
            ResultContext ctx{m_pBTag, SwapHeader(), kTagLogoutResult};
            if (bAnswered) {
                m_pBTag->pfBTagServiceWalkTags(&reader, ResultTag, &ctx);
            }
            int iResult = ctx.bHaveResult ? ctx.usResult : 1;
            if (iResult == 0) {
                AddLogEntry(LOG_INFO, 0,
                            "CPLCComBase3: Logout() from Device successful, SessionId = %ld, Result = %d",
                            static_cast<long>(ulSession), iResult);
            } else {
                AddLogEntry(LOG_ERROR, 0,
                            "CPLCComBase3: Logout() from Device failed, SessionId = %ld, Result = %d",
                            static_cast<long>(ulSession), iResult);
            }
        }
        m_ulSessionID = 0;
    }
    DeleteDevInfo();
    return lResult;
}

RTS_I32 CPLCComBase3::CheckConnection() {
    BINTAGWRITER writer;
    BINTAGREADER reader;
    RTS_I32 lResult = PLCCOM_FAILED;
    if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_IDENTIFY) == ERR_OK) {
        lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_IDENTIFY, &reader);
    }
    if (lResult != PLCCOM_OK) {
        AddLogEntry(LOG_ERROR, 0, "CPLCComBase3: <-CheckConnection() failed, lResult=%ld",
                    static_cast<long>(lResult));
    }
    return lResult;
}

// ---- Operation mode -----------------------------------------------------------------------

RTS_I32 CPLCComBase3::GetDeviceOpMode(DEVICE_OPERATION_MODE* pOpMode) {
    if (pOpMode == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    *pOpMode = DEVICE_OPMODE_UNKNOWN;
    BINTAGWRITER writer;
    BINTAGREADER reader;
    bool bAnswered = false;
    if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_GET_OPMODE) != ERR_OK) {
        return PLCCOM_FAILED;
    }
    RTS_I32 lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_GET_OPMODE, &reader, &bAnswered);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    ResultContext ctx{m_pBTag, SwapHeader(), TAG_ERROR};
    if (bAnswered) {
        m_pBTag->pfBTagServiceWalkTags(&reader, ResultTag, &ctx);
    }
    if (ctx.bHaveResult && ctx.usResult == KL_DEVICE_SERVICE_UNKNOWN) {
        return PLCCOM_NOT_SUPPORTED;
    }
    if (!ctx.bHaveMode || ctx.ulMode < DEVICE_OPMODE_DEBUG || ctx.ulMode > DEVICE_OPMODE_OPERATIONAL) {
        return PLCCOM_SERVICE_FAILED;
    }
    *pOpMode = static_cast<DEVICE_OPERATION_MODE>(ctx.ulMode);
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase3::SetDeviceOpMode(DEVICE_OPERATION_MODE OpMode, RTS_I32* plResult) {
    if (plResult == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    DEVICE_OPERATION_MODE current = DEVICE_OPMODE_UNKNOWN;
    RTS_I32 lResult = GetDeviceOpMode(&current);
    if (lResult != PLCCOM_OK) {
        *plResult = lResult;
        return lResult;
    }
    if (current == OpMode) {
        *plResult = PLCCOM_OK;
        return PLCCOM_OK;
    }
    if ((OpMode == DEVICE_OPMODE_LOCKED || OpMode == DEVICE_OPMODE_OPERATIONAL) &&
        current != DEVICE_OPMODE_DEBUG) {
        *plResult = PLCCOM_OPMODE_NOT_ALLOWED;
        return PLCCOM_OK;
    }
    // A change needs the applications checked first (present, running, boot
    // project consistent, nothing forced), and this client has no
    // application services to ask: it refuses rather than change the mode
    // unchecked.
    AddLogEntry(LOG_WARNING, 0,
                "CPLCComBase3: <-SetDeviceOpMode() not supported: the application checks are not available");
    *plResult = PLCCOM_NOT_SUPPORTED;
    return PLCCOM_NOT_SUPPORTED;
}

// ---- Project and symbols ----------------------------------------------------------------------

RTS_I32 CPLCComBase3::CheckProjectIds() {
    // No symbols are loaded from the device, so there is no project id to
    // compare; the identification service checks that the device still answers.
    BINTAGWRITER writer;
    BINTAGREADER reader;
    RTS_I32 lResult = PLCCOM_FAILED;
    if (BeginService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_IDENTIFY) == ERR_OK) {
        lResult = ExchangeService(&writer, KL_SG_DEVICE, KL_SRV_DEVICE_IDENTIFY, &reader);
    }
    return lResult == PLCCOM_OK ? PLCCOM_OK : PLCCOM_COMM_FATAL;
}

RTS_I32 CPLCComBase3::GetPlcProjectName(char*, RTS_UI32) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase3::LoadSymbols() {
    m_rootNodes.clear();
    m_nLeafNodes = 0;
    BINTAGWRITER writer;
    BINTAGREADER reader;
    bool bAnswered = false;
    if (BeginService(&writer, KL_SG_IECVARACCESS, KL_SRV_VAR_LIST_ROOTS) != ERR_OK) {
        return PLCCOM_FAILED;
    }
    if (!m_pszDeviceNameInProject.empty() &&
        WriteTextTag(m_pBTag, &writer, kTagDeviceNameInProject, m_pszDeviceNameInProject.c_str(),
                     kAlignText) != ERR_OK) {
        return PLCCOM_FAILED;
    }
    RTS_I32 lResult =
        ExchangeService(&writer, KL_SG_IECVARACCESS, KL_SRV_VAR_LIST_ROOTS, &reader, &bAnswered);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    RootsContext ctx{m_pBTag, SwapHeader()};
    if (bAnswered) {
        m_pBTag->pfBTagServiceWalkTags(&reader, RootsTag, &ctx);
    }
    if (ctx.bHaveTimestamp) {
        m_ulConfigChangedTimestamp = ctx.ulTimestamp;
    }
    if (ctx.roots.empty()) {
        AddLogEntry(LOG_ERROR, 0, "CPLCComBase3: No symbols available on PLC");
        return PLCCOM_FAILED;
    }
    m_rootNodes = std::move(ctx.roots);
    AddLogEntry(LOG_INFO, 0, "CPLCComBase3: LoadSymbols() %ld RootNodes found",
                static_cast<long>(m_rootNodes.size()));
    if (m_bDontLoadSymbolsFromPlc) {
        m_nLeafNodes = -1;
        AddLogEntry(LOG_INFO, 0,
                    "CPLCComBase3: <-LoadSymbols() No Symbols loaded, because DontLoadSymbolsFromPlc is set");
        return PLCCOM_OK;
    }
    AddLogEntry(
        LOG_ERROR, 0,
        "CPLCComBase3: <-LoadSymbols() Browsing the symbol tree is not supported by this client yet, set "
        "DontLoadSymbolsFromPlc");
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase3::DeleteSymbols() {
    m_rootNodes.clear();
    m_nLeafNodes = 0;
    DeleteSymbolsOffline();
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase3::GetSymbols(PlcSymbolDesc** ppSymbolList, RTS_UI32* pulNumOfSymbols) {
    if (pulNumOfSymbols == nullptr) {
        return PLCCOM_FAILED;
    }
    if (ppSymbolList != nullptr) {
        *ppSymbolList = nullptr;
    }
    *pulNumOfSymbols = 0;
    if (m_nLeafNodes == -1) {
        *pulNumOfSymbols = 0xFFFFFFFFu;
        return PLCCOM_OK;
    }
    // Symbols read from the local file while the device was unreachable.
    if (SymbolsAreOffline() && m_pSymbols != nullptr) {
        if (ppSymbolList != nullptr) {
            *ppSymbolList = m_pSymbols;
        }
        *pulNumOfSymbols = m_ulSymbols;
        return PLCCOM_OK;
    }
    AddLogEntry(LOG_ERROR, 0, "CPLCComBase3: <-GetSymbols() No symbols");
    return PLCCOM_NO_SYMBOLS;
}

RTS_I32 CPLCComBase3::GetSymbol(const char*, PlcSymbolDesc*) {
    return PLCCOM_NOT_SUPPORTED;
}
