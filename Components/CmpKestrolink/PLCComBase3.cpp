// The V3 device client's base: the imported tag functions, the device
// parameters read at construction (addressing, name resolution, encryption,
// symbol switches), the send buffer and the service exchange every service of
// the client goes through, and the raw service of the device interface.
#include "PLCComBase3.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "CMItf.h"
#include "PLCConfig.h"
#include "PLCUtil.h"
#include "SymbolUtil.h"

namespace {

// Longest texts taken from the device parameters; a longer one is ignored
// rather than cut, since a cut address, host or cipher list names another.
constexpr RTS_UI32 kMaxParamText = 255;
constexpr RTS_UI32 kMaxCipherSuite = 1023;
constexpr RTS_UI32 kResolveNameTimeoutDefault = 5000;
constexpr RTS_UI32 kResolveNameTimeoutMax = 12000;

std::mutex s_btagMutex;
KlBTagApi s_btagApi;
std::atomic<const KlBTagApi*> s_pBTagApi{nullptr};

// The parameter's text: true when present and not longer than ulMax.
bool ReadText(const char* pszName, RTS_UI32 ulMax, const PlcDeviceDesc* pDeviceDesc, std::string* pText) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ulMax + 2]);
    if (!buffer || UtlStructReadString(pszName, "", buffer.get(), ulMax + 2, pDeviceDesc) == 0) {
        return false;
    }
    if (strlen(buffer.get()) > ulMax) {
        return false;
    }
    pText->assign(buffer.get());
    return true;
}

bool EqualsNoCase(const std::string& text, const char* psz) {
    return KestrolinkUtlStrICmp(text.c_str(), psz) == 0;
}

// "0301.2A0C": hexadecimal components of at most 4 digits separated by ".".
bool ParseNodeAddress(const std::string& text, std::vector<RTS_UI16>* pAddress) {
    std::vector<RTS_UI16> address;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('.', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        size_t len = end - pos;
        if (len == 0 || len > 4) {
            return false;
        }
        RTS_UI32 ulValue = 0;
        for (size_t i = pos; i < end; ++i) {
            char c = text[i];
            RTS_UI32 ulDigit;
            if (c >= '0' && c <= '9') {
                ulDigit = static_cast<RTS_UI32>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                ulDigit = static_cast<RTS_UI32>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                ulDigit = static_cast<RTS_UI32>(c - 'A' + 10);
            } else {
                return false;
            }
            ulValue = ulValue * 16 + ulDigit;
        }
        address.push_back(static_cast<RTS_UI16>(ulValue));
        // Layer-3 addresses hold at most 15 components.
        if (address.size() > 15) {
            return false;
        }
        pos = end + 1;
    }
    *pAddress = std::move(address);
    return true;
}

std::vector<RTS_UI16> WidenText(const std::string& text) {
    std::vector<RTS_UI16> wide(text.size() + 1, 0);
    UtlStrToWStr(wide.data(), wide.size(), text.c_str());
    return wide;
}

}  // namespace

const KlBTagApi* KlBTagImports() {
    const KlBTagApi* pApi = s_pBTagApi.load(std::memory_order_acquire);
    if (pApi != nullptr) {
        return pApi;
    }
    std::lock_guard<std::mutex> lock(s_btagMutex);
    pApi = s_pBTagApi.load(std::memory_order_acquire);
    if (pApi != nullptr) {
        return pApi;
    }
    // Only a complete table is kept: a runtime that is not started yet is
    // asked again by the next device object.
    KlBTagApi api{};
    bool bComplete = true;
#define KL_BTAG_RESOLVE(name)                                                           \
    {                                                                                   \
        RTS_VOID_FCTPTR pf = nullptr;                                                   \
        if (bComplete && CMGetAPI(#name, &pf, SIG_##name) == ERR_OK && pf != nullptr) { \
            api.pf##name = reinterpret_cast<PF##name>(pf);                              \
        } else {                                                                        \
            bComplete = false;                                                          \
        }                                                                               \
    }
    KL_BTAG_IMPORTS(KL_BTAG_RESOLVE)
#undef KL_BTAG_RESOLVE
    if (!bComplete) {
        return nullptr;
    }
    s_btagApi = api;
    s_pBTagApi.store(&s_btagApi, std::memory_order_release);
    return &s_btagApi;
}

// ---- Construction ---------------------------------------------------------------------------

CPLCComBase3::CPLCComBase3(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger)
    : CPLCComBase(pPlcConfig, pDeviceDesc, hLogger), m_pBTag(KlBTagImports()) {
    std::string text;
    if (ReadText("IpAddress", kMaxParamText, pDeviceDesc, &text)) {
        m_pszTcpIpAddress = text;
    }
    RTS_UI32 ulPort = UtlStructReadULong("Port", 0, pDeviceDesc);
    m_usTcpPort = ulPort <= 0xFFFFu ? static_cast<RTS_UI16>(ulPort) : 0;

    std::string addressType;
    if (ReadText("AddressType", kMaxParamText, pDeviceDesc, &addressType)) {
        if (EqualsNoCase(addressType, "name")) {
            m_iAddressType = 1;
        } else if (EqualsNoCase(addressType, "address")) {
            m_iAddressType = 2;
        }
    }
    std::string deviceName;
    std::string address;
    if (ReadText("DeviceName", kMaxParamText, pDeviceDesc, &deviceName) && !deviceName.empty()) {
        m_nodeName = WidenText(deviceName);
        m_iAddressType = 1;
    } else if (ReadText("Address", kMaxParamText, pDeviceDesc, &address)) {
        if (address.empty()) {
            m_bConnectToSelf = 1;
        } else {
            bool bParsed = m_iAddressType != 1 && ParseNodeAddress(address, &m_PlcAddress);
            if (m_iAddressType != 2) {
                m_nodeName = WidenText(address);
            }
            if (bParsed) {
                m_iAddressType = 2;
            } else {
                m_PlcAddress.clear();
                m_iAddressType = 1;
            }
        }
    }
    m_PlcAddressType = 0;  // AT_ABSOLUTE

    m_ulResolvePlcNameTimeout =
        UtlStructReadULong("ResolvePlcNameTimeout", kResolveNameTimeoutDefault, pDeviceDesc);
    if (m_ulResolvePlcNameTimeout > kResolveNameTimeoutMax) {
        m_ulResolvePlcNameTimeout = kResolveNameTimeoutMax;
    }
    m_bEncryptCommunication = UtlStructReadULong("EncryptCommunication", 0, pDeviceDesc) != 0 ? 1 : 0;
    if (ReadText("CipherSuite", kMaxCipherSuite, pDeviceDesc, &text)) {
        m_pszCipherSuite = text;
    }
    m_bDontLoadSymbolsFromPlc = UtlStructReadULong("DontLoadSymbolsFromPlc", 0, pDeviceDesc) != 0 ? 1 : 0;
    m_bRecallAddressInformation = UtlStructReadULong("RecallAddressInformation", 0, pDeviceDesc) != 0 ? 1 : 0;
    m_bClientAddressResolution =
        (UtlStructReadULong("ClientAddressResolution", 0, pDeviceDesc) != 0 && !m_bRecallAddressInformation)
            ? 1
            : 0;
    if (ReadText("DeviceNameInProject", kMaxParamText, pDeviceDesc, &text)) {
        m_pszDeviceNameInProject = text;
    }
}

CPLCComBase3::~CPLCComBase3() {
    CPLCComBase3::DeleteSymbols();
    FreeSendBuffer();
}

CPLCComBase3Selector::CPLCComBase3Selector(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc,
                                           void* hLogger)
    : CPLCComBase3(pPlcConfig, pDeviceDesc, hLogger) {
    m_bSendMonitoringServices = UtlStructReadULong("UseMonitoringServices", 0, pDeviceDesc) != 0 ? 1 : 0;
}

// ---- Send buffer and the service exchange ---------------------------------------------------------

bool CPLCComBase3::AllocateSendBuffer(RTS_UI32 ulSize) {
    FreeSendBuffer();
    if (ulSize < BTAG_HEADER_SIZE || ulSize > 0xFFFFFFFCu) {
        return false;
    }
    // Words: the tag writer needs a 4-byte aligned buffer.
    RTS_UI32 ulWords = (ulSize + 3) / 4;
    m_pSendBuffer.reset(new (std::nothrow) RTS_UI32[ulWords]());
    if (!m_pSendBuffer) {
        return false;
    }
    m_ulSendBufferSize = ulWords * 4;
    return true;
}

void CPLCComBase3::FreeSendBuffer() {
    m_pSendBuffer.reset();
    m_ulSendBufferSize = 0;
}

RTS_I32 CPLCComBase3::SendServiceInternal(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv,
                                          RTS_BOOL bUseExternalRxBuffer) {
    return SendService3(pduSend, ppduRecv, bUseExternalRxBuffer);
}

RTS_RESULT CPLCComBase3::BeginService(BINTAGWRITER* pWriter, RTS_UI16 usGroup, RTS_UI16 usService) {
    if (m_pBTag == nullptr) {
        m_pBTag = KlBTagImports();
    }
    if (m_pBTag == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    if (pWriter == nullptr) {
        return ERR_PARAMETER;
    }
    if (!m_pSendBuffer) {
        return ERR_NOBUFFER;
    }
    return m_pBTag->pfBTagServiceStart(pWriter, SendBuffer(), m_ulSendBufferSize, SwapHeader(), m_ulSessionID,
                                       usGroup, usService);
}

RTS_I32 CPLCComBase3::ExchangeService(BINTAGWRITER* pWriter, RTS_UI16 usGroup, RTS_UI16 usService,
                                      BINTAGREADER* pReader, bool* pbAnswered) {
    if (pbAnswered != nullptr) {
        *pbAnswered = false;
    }
    if (m_pBTag == nullptr || pWriter == nullptr || pReader == nullptr) {
        return PLCCOM_FAILED;
    }
    m_pBTag->pfBTagReaderInit(pReader, nullptr, 0);
    RTS_UI8* pPdu = nullptr;
    RTS_UI32 ulPduSize = 0;
    // An overflowed request is never sent: the device would see a cut one.
    if (m_pBTag->pfBTagServiceFinish(pWriter, &pPdu, &ulPduSize) != ERR_OK || pPdu == nullptr) {
        return PLCCOM_FAILED;
    }
    PROTOCOL_DATA_UNIT pduSend{pPdu, ulPduSize};
    PROTOCOL_DATA_UNIT pduRecv{nullptr, 0};
    RTS_I32 lResult = SendServiceInternal(pduSend, &pduRecv, 0);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    RTS_RESULT r = m_pBTag->pfBTagServiceCheckReply(pduRecv.pData, pduRecv.ulCount, SwapHeader(), usGroup,
                                                    usService, nullptr, pReader);
    if (pbAnswered != nullptr) {
        *pbAnswered = r == ERR_OK;
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase3::SendService(const RTS_UI8* pbySend, RTS_UI32 ulSendSize, RTS_UI8** ppbyRecv,
                                  RTS_UI32* pulRecvSize) {
    if (pbySend == nullptr || ulSendSize == 0 || ppbyRecv == nullptr || pulRecvSize == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    *ppbyRecv = nullptr;
    *pulRecvSize = 0;
    // The caller's PDU goes out of the connection's own send buffer, which
    // the transport expects (aligned, sized to the channel).
    if (!m_pSendBuffer || ulSendSize > m_ulSendBufferSize) {
        return PLCCOM_FAILED;
    }
    std::memcpy(SendBuffer(), pbySend, ulSendSize);
    PROTOCOL_DATA_UNIT pduSend{SendBuffer(), ulSendSize};
    PROTOCOL_DATA_UNIT pduRecv{nullptr, 0};
    RTS_I32 lResult = SendServiceInternal(pduSend, &pduRecv, 0);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    *ppbyRecv = pduRecv.pData;
    *pulRecvSize = pduRecv.pData != nullptr ? pduRecv.ulCount : 0;
    return PLCCOM_OK;
}
