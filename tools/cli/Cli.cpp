// The commands of the kestrolink tool over the public C interface: one
// connection configured like the panel driver's (direct connection, address
// and port as device parameters, symbols not loaded unless asked), then the
// read, write, info or scan, and every failure said in words.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CliOptions.h"
#include "kestrolink/Kestrolink.h"

namespace klcli {
namespace {

const char* const kClientName = "kestrolink";
const char* const kClientVersion = "3.5.17.20";

std::string ResultText(long lResult) {
    const char* psz = nullptr;
    switch (lResult) {
        case RESULT_OK:
            psz = "success";
            break;
        case RESULT_FAILED:
            psz = "the operation failed";
            break;
        case RESULT_PLC_NOT_CONNECTED:
            psz = "not connected to the controller";
            break;
        case RESULT_PLC_LOGIN_FAILED:
            psz = "the login failed";
            break;
        case RESULT_CONFIG_INACTIVE:
            psz = "the configuration is inactive";
            break;
        case RESULT_ITF_NOT_SUPPORTED:
            psz = "this library has no device client for direct connections";
            break;
        case RESULT_CONNECT_IN_PROGRESS:
            psz = "a connect is already in progress";
            break;
        case RESULT_NO_SYMBOLS:
            psz = "no symbols loaded";
            break;
        case RESULT_COMM_FATAL:
            psz = "fatal communication error, channel closed";
            break;
        case RESULT_NO_CONFIGURATION:
            psz = "no usable configuration";
            break;
        case RESULT_INVALIDPARAMETER:
            psz = "invalid parameter";
            break;
        case RESULT_PLCCOM_INIT_FAILED:
            psz = "the device client could not be set up";
            break;
        case RESULT_NOT_SUPPORTED:
            psz = "not supported by the controller or the connection";
            break;
        case RESULT_TIMEOUT:
            psz = "time-out";
            break;
        case RESULT_ITEM_NOT_FOUND:
            psz = "variable not found";
            break;
        case RESULT_INIT_COMPONENTS_FAILED:
            psz = "the SDK's runtime did not start";
            break;
        case RESULT_WRITE_SIZE_MISMATCH:
            psz = "the value's size does not match the variable";
            break;
        case RESULT_NO_WRITE_ACCESS:
            psz = "no write access";
            break;
        case RESULT_CONSISTENCY_TIMEOUT:
            psz = "the controller could not access the list consistently in time";
            break;
        case RESULT_SYNC_NOT_ALLOWED:
            psz = "the controller refused synchronised access";
            break;
        case RESULT_LOGIN_FAILED_54:
        case RESULT_LOGIN_FAILED_59:
            psz = "the controller refused the login";
            break;
        case RESULT_ACCESS_DENIED:
            psz = "wrong user name or password, or missing rights";
            break;
        case RESULT_NO_USER_MANAGEMENT:
            psz = "a user name was given, but the controller has no user management";
            break;
        case RESULT_NO_CREDENTIALS:
            psz = "the controller asks for a user name and password (--user, --password)";
            break;
        default:
            psz = "unexpected result";
            break;
    }
    return std::string(psz) + " (result " + std::to_string(lResult) + ")";
}

bool IsCredentialsResult(long lResult) {
    return lResult == RESULT_PLC_LOGIN_FAILED || lResult == RESULT_LOGIN_FAILED_54 ||
           lResult == RESULT_ACCESS_DENIED || lResult == RESULT_NO_USER_MANAGEMENT ||
           lResult == RESULT_NO_CREDENTIALS || lResult == RESULT_LOGIN_FAILED_59;
}

// The connection asks for credentials after the controller refused the ones
// of the command line (given as the "User"/"Password" parameters): a
// one-shot tool has no others, so it says so, and the connect ends with the
// refusal instead of trying the same password again and again.
long OnRequestCredentials(RTS_UINTPTR /*h*/, RequestCredentialsType /*type*/, char* /*pszUserName*/,
                          unsigned long /*ulUserNameBufSize*/, char* /*pszPassword*/,
                          unsigned long /*ulPasswordBufSize*/, void* /*pCstData*/) {
    return RESULT_NO_CREDENTIALS;
}

// The configuration records and the storage their texts point into.
struct Configuration {
    char szName[32] = "kestrolink";
    char szDevice[4] = "";
    std::string values[5];
    char szNames[5][32] = {"IpAddress", "Port", "DontLoadSymbolsFromPlc", "User", "Password"};
    PlcParameterStruct params[5] = {};
    PlcParameterDescStruct descs[5] = {};
    PlcConfigStruct config = {};
    PlcDeviceDescStruct device = {};

    explicit Configuration(const CliOptions& o) {
        values[0] = o.address;
        values[1] = std::to_string(o.usPort);
        values[2] = o.bLoadSymbols ? "0" : "1";
        values[3] = o.user;
        values[4] = o.password;
        uint32_t n = o.bCredentials ? 5 : 3;
        for (uint32_t i = 0; i < n; ++i) {
            params[i].Type = PLC_PT_STRING;
            params[i].Value.psz = &values[i][0];
            descs[i].ulId = 0;
            descs[i].pszName = szNames[i];
            descs[i].pParameter = &params[i];
        }
        config.ulId = 0;
        config.pszName = szName;
        config.it = IT_ARTI3;
        config.bActive = 1;
        config.bMotorola = 0;
        config.bLogin = 1;
        config.bLogToFile = o.logFile.empty() ? 0 : 1;
        config.bPreCheckIdentity = 1;
        config.ulTimeout = o.ulTimeoutMs;
        config.ulNumTries = 1;
        config.ulWaitTime = o.ulTimeoutMs;
        // A one-shot tool: a lost connection is reported, not restored behind its back.
        config.ulReconnectTime = 0xFFFFFFFFu;
        config.ulLogFilter = 255;
        device.pszName = szDevice;
        device.ulNumParams = n;
        device.ppd = descs;
    }
};

class Session {
public:
    explicit Session(const CliOptions& options) : m_options(options), m_config(options) {}
    ~Session() {
        if (m_h != 0) {
            // The tool ends with its one connection: the SDK's runtime stops
            // completely instead of staying ready for another connection.
            KestrolinkSetFinalShutDown(m_h);
            KestrolinkExit(m_h);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    RTS_UINTPTR Handle() const { return m_h; }
    std::string Where() const { return m_options.address + ":" + std::to_string(m_options.usPort); }

    int Create() {
        m_h = KestrolinkInit(&m_config.config, &m_config.device,
                             m_options.logFile.empty() ? nullptr : m_options.logFile.c_str());
        if (m_h == 0) {
            std::fprintf(stderr, "kestrolink: the SDK could not create a connection object\n");
            return kExitFailed;
        }
        KestrolinkSetClientInformation(m_h, kClientName, KESTROLINK_VENDOR_NAME, kClientVersion, 0);
        KestrolinkSetConnectionCallbacks3(m_h, nullptr, nullptr, nullptr, nullptr, OnRequestCredentials,
                                          const_cast<CliOptions*>(&m_options));
        return kExitOk;
    }

    int Connect() {
        int rc = Create();
        if (rc != kExitOk) {
            return rc;
        }
        long lResult = KestrolinkConnect(m_h, 0xFFFFFFFFu, nullptr, m_options.bLoadSymbols ? 1 : 0);
        long lState = KestrolinkGetState(m_h);
        if (lResult == RESULT_OK && (lState == STATE_RUNNING || lState == STATE_PLC_CONNECTED)) {
            return kExitOk;
        }
        if (IsCredentialsResult(lResult) || lState == STATE_PLC_CONFIG_ERROR) {
            std::fprintf(stderr, "kestrolink: %s refused the login: %s\n", Where().c_str(),
                         ResultText(lResult == RESULT_OK ? RESULT_ACCESS_DENIED : lResult).c_str());
            return kExitCredentials;
        }
        std::fprintf(stderr, "kestrolink: cannot reach the controller at %s: %s\n", Where().c_str(),
                     lResult == RESULT_OK ? "the connection did not come up" : ResultText(lResult).c_str());
        return kExitUnreachable;
    }

    bool StillConnected() const {
        long lState = KestrolinkGetState(m_h);
        return lState == STATE_RUNNING || lState == STATE_PLC_CONNECTED;
    }

    // A name the controller does not resolve on its own.
    bool IsUnknown(const std::string& controllerName) {
        char* apsz[1] = {const_cast<char*>(controllerName.c_str())};
        int32_t lResult = 0;
        HVARLIST hList = KestrolinkSyncDefineVarList(m_h, apsz, 1, 0, &lResult);
        if (hList != nullptr) {
            KestrolinkSyncDeleteVarList(m_h, hList);
            return false;
        }
        return StillConnected();
    }

    // After a failed request: which exit code and what to say.
    int Explain(const char* pszWhat, long lResult, const std::vector<VarRequest>& requests) {
        if (!StillConnected()) {
            std::fprintf(stderr, "kestrolink: %s failed: the connection to %s was lost (%s)\n", pszWhat,
                         Where().c_str(), ResultText(lResult).c_str());
            return kExitUnreachable;
        }
        bool bUnknown = false;
        for (const VarRequest& r : requests) {
            if (IsUnknown(r.controllerName)) {
                std::fprintf(stderr, "kestrolink: the controller does not know the variable %s\n",
                             r.displayName.c_str());
                bUnknown = true;
            }
        }
        if (bUnknown) {
            return kExitUnknownVariable;
        }
        std::fprintf(stderr, "kestrolink: %s failed: %s\n", pszWhat, ResultText(lResult).c_str());
        return kExitFailed;
    }

    // Fills in the types the command line left open from the controller's symbols.
    int ResolveTypes(std::vector<VarRequest>* pRequests, bool bWrite) {
        for (VarRequest& r : *pRequests) {
            if (r.bTyped) {
                continue;
            }
            PlcSymbolDesc desc;
            std::memset(&desc, 0, sizeof(desc));
            if (KestrolinkGetItem(m_h, r.controllerName.c_str(), &desc) == RESULT_OK && desc.ulSize != 0) {
                r.type = TypeFromSymbol(desc.ulTypeId, desc.ulSize);
                r.bTyped = true;
                continue;
            }
            if (m_options.bLoadSymbols) {
                std::fprintf(stderr, "kestrolink: the controller's symbols do not contain %s\n",
                             r.displayName.c_str());
                return kExitUnknownVariable;
            }
            std::fprintf(stderr, "kestrolink: the type of %s is unknown (symbols are not loaded): %s\n",
                         r.displayName.c_str(),
                         bWrite ? "write it as NAME:TYPE=VALUE, or use --type TYPE"
                                : "read it as NAME:TYPE (NAME:RAW(n) for n raw bytes), or use --type TYPE");
            return kExitUsage;
        }
        return kExitOk;
    }

private:
    const CliOptions& m_options;
    Configuration m_config;
    RTS_UINTPTR m_h = 0;
};

std::vector<char*> NamePointers(const std::vector<VarRequest>& requests) {
    std::vector<char*> names;
    for (const VarRequest& r : requests) {
        names.push_back(const_cast<char*>(r.controllerName.c_str()));
    }
    return names;
}

int CmdRead(const CliOptions& options) {
    std::vector<VarRequest> requests;
    std::string error;
    if (!ParseVarRequests(options, false, &requests, &error)) {
        std::fprintf(stderr, "kestrolink: %s\n", error.c_str());
        return kExitUsage;
    }
    Session session(options);
    int rc = session.Connect();
    if (rc == kExitOk) {
        rc = session.ResolveTypes(&requests, false);
    }
    if (rc != kExitOk) {
        return rc;
    }
    std::vector<char*> names = NamePointers(requests);
    int32_t lResult = 0;
    HVARLIST hList = KestrolinkSyncDefineVarList(session.Handle(), names.data(),
                                                 static_cast<uint32_t>(names.size()), 0, &lResult);
    if (hList == nullptr) {
        return session.Explain("read", lResult, requests);
    }
    PlcVarValue** ppValues = nullptr;
    uint32_t ulValues = 0;
    long lRead = KestrolinkSyncReadVarListFromPlc(session.Handle(), hList, &ppValues, &ulValues);
    if (lRead != RESULT_OK || ppValues == nullptr || ulValues != requests.size()) {
        KestrolinkSyncDeleteVarList(session.Handle(), hList);
        return session.Explain("read", lRead == RESULT_OK ? RESULT_FAILED : lRead, requests);
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        const VarRequest& r = requests[i];
        const uint8_t* pData = ppValues[i] != nullptr ? ppValues[i]->byData : nullptr;
        if (pData == nullptr) {
            std::printf("%s : %s = (no value)\n", r.displayName.c_str(), r.type.name.c_str());
            continue;
        }
        if (r.type.kind == ValueKind::Raw) {
            std::string best = BestDecoding(pData, r.type.size);
            std::string text = HexBytes(pData, r.type.size) + (best.empty() ? "" : "  (" + best + ")");
            std::printf("%s : %s = %s\n", r.displayName.c_str(), r.type.name.c_str(), text.c_str());
        } else {
            std::printf("%s : %s = %s\n", r.displayName.c_str(), r.type.name.c_str(),
                        DecodeValue(r.type, pData, r.type.size).c_str());
        }
    }
    KestrolinkSyncDeleteVarList(session.Handle(), hList);
    return kExitOk;
}

int CmdWrite(const CliOptions& options) {
    std::vector<VarRequest> requests;
    std::string error;
    if (!ParseVarRequests(options, true, &requests, &error)) {
        std::fprintf(stderr, "kestrolink: %s\n", error.c_str());
        return kExitUsage;
    }
    Session session(options);
    int rc = session.Connect();
    if (rc == kExitOk) {
        rc = session.ResolveTypes(&requests, true);
    }
    if (rc != kExitOk) {
        return rc;
    }
    std::vector<std::vector<uint8_t>> values(requests.size());
    std::vector<uint8_t*> pointers;
    std::vector<uint32_t> sizes;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!EncodeValue(requests[i].type, requests[i].valueText, &values[i], &error)) {
            std::fprintf(stderr, "kestrolink: %s: %s\n", requests[i].displayName.c_str(), error.c_str());
            return kExitUsage;
        }
        pointers.push_back(values[i].data());
        sizes.push_back(static_cast<uint32_t>(values[i].size()));
    }
    std::vector<char*> names = NamePointers(requests);
    long lResult = KestrolinkSyncWriteVarsToPlc2(
        session.Handle(), names.data(), static_cast<uint32_t>(names.size()), pointers.data(), sizes.data());
    if (lResult == RESULT_WRITE_SIZE_MISMATCH) {
        std::fprintf(stderr,
                     "kestrolink: write refused: a value's size does not match its variable; check the types "
                     "given (%s)\n",
                     ResultText(lResult).c_str());
        return kExitFailed;
    }
    if (lResult != RESULT_OK) {
        return session.Explain("write", lResult, requests);
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        std::printf("%s : %s := %s\n", requests[i].displayName.c_str(), requests[i].type.name.c_str(),
                    DecodeValue(requests[i].type, values[i].data(), values[i].size()).c_str());
    }
    return kExitOk;
}

std::string Wide(const uint16_t* pwsz) {
    std::string out;
    if (pwsz == nullptr) {
        return out;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; pwsz[i] != 0 && i < 1024; ++i) {
        bytes.push_back(static_cast<uint8_t>(pwsz[i]));
        bytes.push_back(static_cast<uint8_t>(pwsz[i] >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    VarType t;
    t.kind = ValueKind::WString;
    t.size = bytes.size();
    out = DecodeValue(t, bytes.data(), bytes.size());
    return out.size() >= 2 ? out.substr(1, out.size() - 2) : out;
}

std::string VersionText(uint32_t ulVersion) {
    return std::to_string(ulVersion >> 24) + "." + std::to_string((ulVersion >> 16) & 0xFF) + "." +
           std::to_string((ulVersion >> 8) & 0xFF) + "." + std::to_string(ulVersion & 0xFF);
}

int CmdInfo(const CliOptions& options) {
    Session session(options);
    int rc = session.Connect();
    if (rc != kExitOk) {
        return rc;
    }
    std::printf("controller:      %s\n", session.Where().c_str());
    std::printf("state:           %ld\n", KestrolinkGetState(session.Handle()));
    std::printf("SDK version:     %s\n", VersionText(KestrolinkGetVersion(session.Handle())).c_str());
    DeviceInfo3* pInfo = nullptr;
    long lResult = KestrolinkGetDeviceInfo3(session.Handle(), &pInfo);
    if (lResult != RESULT_OK || pInfo == nullptr) {
        std::fprintf(stderr, "kestrolink: the device information could not be read: %s\n",
                     ResultText(lResult).c_str());
        return session.StillConnected() ? kExitFailed : kExitUnreachable;
    }
    std::printf("node address:    %s\n", pInfo->pszNodeAddress != nullptr ? pInfo->pszNodeAddress : "");
    std::printf("node name:       %s\n", Wide(pInfo->pwszNodeName).c_str());
    std::printf("device name:     %s\n", Wide(pInfo->pwszTargetName).c_str());
    std::printf("vendor:          %s\n", Wide(pInfo->pwszTargetVendorName).c_str());
    std::printf("version:         %s\n", pInfo->pszTargetVersion != nullptr ? pInfo->pszTargetVersion : "");
    std::printf("target id/type:  0x%08X / 0x%08X\n", pInfo->ulTargetId, pInfo->ulTargetType);
    std::printf("serial number:   %s\n",
                pInfo->pszTargetSerialNumber != nullptr ? pInfo->pszTargetSerialNumber : "");
    std::printf("byte order:      %s\n", pInfo->bMotorola != 0 ? "big-endian" : "little-endian");
    std::printf("buffer size:     %u\n", pInfo->ulBufferSize);
    for (uint16_t i = 0; pInfo->pIpAddressList != nullptr && i < pInfo->usNumOfIpAddresses; ++i) {
        char szIp[17] = {};
        char szMask[17] = {};
        std::memcpy(szIp, pInfo->pIpAddressList[i].szIp, 16);
        std::memcpy(szMask, pInfo->pIpAddressList[i].szMask, 16);
        std::printf("ip address:      %s / %s\n", szIp, szMask);
    }
    return kExitOk;
}

struct ScanState {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::atomic<bool> bComplete{false};
    std::atomic<long> lResult{0};
};

long OnPlcFound(RTS_UINTPTR /*h*/, NodeInfotyp2* pNode, void* pCstData) {
    ScanState* pState = static_cast<ScanState*>(pCstData);
    if (pState == nullptr || pNode == nullptr) {
        return 0;
    }
    if (pNode->bComplete != 0) {
        pState->lResult = pNode->lResult;
        pState->bComplete = true;
        return 0;
    }
    char szIds[96];
    std::snprintf(szIds, sizeof(szIds), "target id 0x%08X, type 0x%08X, version %s", pNode->ulTargetId,
                  pNode->ulTargetType, VersionText(pNode->ulTargetVersion).c_str());
    std::string line = std::string(pNode->pszNodeAddr != nullptr ? pNode->pszNodeAddr : "?") + "  \"" +
                       Wide(pNode->pwszNodeName) + "\"  " + Wide(pNode->pwszDeviceName) + " / " +
                       Wide(pNode->pwszVendorName) + "  " + szIds;
    std::lock_guard<std::mutex> lock(pState->mutex);
    pState->lines.push_back(line);
    return 0;
}

int CmdScan(const CliOptions& options) {
    Session session(options);
    int rc = session.Create();
    if (rc != kExitOk) {
        return rc;
    }
    ScanState state;
    long lResult = KestrolinkScanNetwork2(session.Handle(), nullptr, OnPlcFound, &state);
    if (lResult != RESULT_OK) {
        std::fprintf(stderr, "kestrolink: the network scan could not start: %s\n",
                     ResultText(lResult).c_str());
        return kExitFailed;
    }
    // The scan ends itself (its own time-out); this bound only guards
    // against a scan that never reports its end.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.ulTimeoutMs + 30000);
    while (!state.bComplete && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!state.bComplete) {
        std::fprintf(stderr, "kestrolink: the network scan did not end in time\n");
        return kExitFailed;
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const std::string& line : state.lines) {
        std::printf("%s\n", line.c_str());
    }
    if (state.lines.empty()) {
        std::fprintf(stderr, "kestrolink: no controller answered the scan%s\n",
                     state.lResult == RESULT_TIMEOUT ? " (time-out)" : "");
        return kExitUnreachable;
    }
    return kExitOk;
}

}  // namespace

int RunCli(const CliOptions& options) {
    if (options.command == "read") {
        return CmdRead(options);
    }
    if (options.command == "write") {
        return CmdWrite(options);
    }
    if (options.command == "info") {
        return CmdInfo(options);
    }
    return CmdScan(options);
}

}  // namespace klcli
