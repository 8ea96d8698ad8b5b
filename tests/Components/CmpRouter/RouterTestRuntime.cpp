// Test support for the communication stack (see RouterTestRuntime.h).
#include "RouterTestRuntime.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "CMItf.h"
#include "CmpBlkDrvTcpItf.h"
#include "CmpChecksumItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"

namespace rttest {

namespace {

std::mutex g_mutex;
std::vector<Delivery> g_layer4;
std::vector<Delivery> g_naming;
void (*g_pfLayer4Hook)(const Delivery&) = nullptr;

Delivery Record(RTS_HANDLE hRouter, RTS_HANDLE hItf, RTS_UI8 bySvc, RTS_UI8 byMsg, const PEERADDRESS& s,
                const PEERADDRESS& r, const PROTOCOL_DATA_UNIT& pdu, RTS_I32 nErr) {
    Delivery d;
    d.hRouter = hRouter;
    d.hInterface = hItf;
    d.byServiceId = bySvc;
    d.byMessageId = byMsg;
    d.senderType = s.type;
    const uint8_t* ps = reinterpret_cast<const uint8_t*>(s.pAddress);
    const uint8_t* pr = reinterpret_cast<const uint8_t*>(r.pAddress);
    d.sender.assign(ps, ps + 2 * s.nLength);
    d.receiver.assign(pr, pr + 2 * r.nLength);
    if (pdu.ulCount > 0) {
        d.data.assign(pdu.pData, pdu.pData + pdu.ulCount);
    }
    d.nRouterError = nErr;
    return d;
}

RTS_RESULT TestLayer4(RTS_HANDLE hRouter, RTS_HANDLE hNetworkInterface, RTS_UI8 byServiceId,
                      RTS_UI8 byMessageId, PEERADDRESS addrSender, PEERADDRESS addrReceiver,
                      PROTOCOL_DATA_UNIT pduData, RTS_I32 nRouterError) {
    Delivery d = Record(hRouter, hNetworkInterface, byServiceId, byMessageId, addrSender, addrReceiver,
                        pduData, nRouterError);
    void (*pfHook)(const Delivery&) = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_layer4.push_back(d);
        pfHook = g_pfLayer4Hook;
    }
    if (pfHook != nullptr) {
        pfHook(d);
    }
    return ERR_OK;
}

RTS_RESULT TestNaming(RTS_HANDLE hRouter, RTS_HANDLE hNetworkInterface, RTS_UI8 byServiceId,
                      RTS_UI8 byMessageId, PEERADDRESS addrSender, PEERADDRESS addrReceiver,
                      PROTOCOL_DATA_UNIT pduData, RTS_I32 nRouterError) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_naming.push_back(Record(hRouter, hNetworkInterface, byServiceId, byMessageId, addrSender, addrReceiver,
                              pduData, nRouterError));
    return ERR_OK;
}

PF_REGISTER_API s_pfRegister = nullptr;

RTS_RESULT HandlersExport() {
    s_pfRegister("ChannelMgrHandleData", reinterpret_cast<RTS_VOID_FCTPTR>(&TestLayer4), 0,
                 SIG_ChannelMgrHandleData);
    s_pfRegister("NSClientHandleData", reinterpret_cast<RTS_VOID_FCTPTR>(&TestNaming), 0,
                 SIG_NSClientHandleData);
    return ERR_OK;
}

RTS_RESULT HandlersEntry(INIT_STRUCT* p) {
    p->CmpId = 0x7E60;
    p->pfExportFunctions = HandlersExport;
    s_pfRegister = p->pfCMRegisterAPI;
    return ERR_OK;
}

static_assert(std::is_same<decltype(&TestLayer4), PFChannelMgrHandleData>::value,
              "layer-4 handler prototype");
static_assert(std::is_same<decltype(&TestNaming), PFNSClientHandleData>::value,
              "name-service handler prototype");

}  // namespace

void Handlers::Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_layer4.clear();
    g_naming.clear();
    g_pfLayer4Hook = nullptr;
}

std::vector<Delivery> Handlers::Layer4() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_layer4;
}

std::vector<Delivery> Handlers::Naming() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_naming;
}

bool Handlers::WaitLayer4(size_t n, unsigned ulTimeoutMs) {
    return kltest::WaitFor([n] { return Layer4().size() >= n; }, ulTimeoutMs);
}

void Handlers::SetLayer4Hook(void (*pfHook)(const Delivery&)) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pfLayer4Hook = pfHook;
}

std::string BaseSettings() {
    return "[CmpLog]\nLogger.0.Name=PlcLog\nLogger.0.MaxEntries=5000\n";
}

TestRuntime::TestRuntime(const Options& options) {
    Handlers::Reset();
    std::string file = m_dir.File("Kestrolink.ini");
    kltest::WriteFile(file, BaseSettings() + options.settings);
    std::vector<StaticComponent> list = {
        {"CmpMemPool", CmpMemPool__Entry, 1}, {"CmpSettings", CmpSettings__Entry, 1},
        {"CmpLog", CmpLog__Entry, 1},         {"CmpChecksum", CmpChecksum__Entry, 0},
        {"CmpRouter", CmpRouter__Entry, 0},
    };
    if (options.bWithTcp) {
        list.push_back({"CmpBlkDrvTcp", CmpBlkDrvTcp__Entry, 0});
    }
    if (options.bWithHandlers) {
        list.push_back({"CmpTestHandlers", HandlersEntry, 0});
    }
    list.push_back({nullptr, nullptr, 0});
    // The manager keeps the list while it runs.
    static std::vector<StaticComponent> s_list;
    s_list = list;
    m_bStarted = CMInit2(file.c_str(), s_list.data(), 0) == ERR_OK;
}

TestRuntime::~TestRuntime() {
    if (CMIsRunning()) {
        CMExit();
    }
    Handlers::Reset();
}

void TestRuntime::CommCycles(int n) {
    for (int i = 0; i < n; ++i) {
        CMCallHook(CH_COMM_CYCLE, 0, 0, 0);
    }
}

std::vector<std::string> TestRuntime::Logs(RTS_UI32 ulCmpId) const {
    std::vector<std::string> out;
    RTS_RESULT r = ERR_OK;
    RTS_HANDLE hLog = LogOpen(LOG_STD_LOGGER_NAME, &r);
    if (hLog == RTS_INVALID_HANDLE || r != ERR_OK) {
        return out;
    }
    RTS_I32 iIndex = 0;
    LogEntry e;
    int nMax = 100000;
    for (RTS_RESULT w = LogGetFirstEntry(hLog, &iIndex, &e); w == ERR_OK && nMax-- > 0;
         w = LogGetNextEntry(hLog, &iIndex, &e)) {
        if (ulCmpId == 0 || e.CmpId == ulCmpId) {
            out.emplace_back(e.szInfo, strnlen(e.szInfo, sizeof(e.szInfo)));
        }
    }
    return out;
}

bool TestRuntime::HasLog(const std::string& text, RTS_UI32 ulCmpId) const {
    for (const std::string& line : Logs(ulCmpId)) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool TestRuntime::WaitLog(const std::string& text, unsigned ulTimeoutMs, RTS_UI32 ulCmpId) const {
    return kltest::WaitFor([&] { return HasLog(text, ulCmpId); }, ulTimeoutMs);
}

FakeDriver::FakeDriver(const char* pszName, RTS_UI16 usType, RTS_I32 nBits, const Bytes& device) {
    memset(&info, 0, sizeof(info));
    info.pfBDSend = &FakeDriver::Send;
    info.hInterface = this;
    info.nMaxBlockSize = 512;
    info.nNetworkAddressBitSize = nBits;
    info.addrDevice = NetAddr(device);
    KlStrCopy(info.szName, sizeof(info.szName), pszName);
    info.usType = usType;
}

FakeDriver::~FakeDriver() {
    Unregister();
}

RTS_RESULT FakeDriver::Register() {
    return RouterRegisterNetworkInterface2(&info, &m_hItf);
}

RTS_RESULT FakeDriver::Unregister() {
    if (m_hItf == RTS_INVALID_HANDLE || !CMIsRunning()) {
        return ERR_OK;
    }
    RTS_RESULT r = RouterUnregisterNetworkInterface(m_hItf);
    m_hItf = RTS_INVALID_HANDLE;
    return r;
}

void FakeDriver::SetResult(RTS_RESULT r) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_result = r;
}

std::vector<FakeDriver::Sent> FakeDriver::SentBlocks() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sent;
}

void FakeDriver::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sent.clear();
}

RTS_RESULT FakeDriver::Receive(const Bytes& block, const Bytes& from) const {
    Bytes copy = block;
    PROTOCOL_DATA_UNIT pdu{copy.data(), static_cast<RTS_UI32>(copy.size())};
    return RouterHandleData(m_hItf, NetAddr(from), pdu, 0);
}

RTS_RESULT FakeDriver::Send(RTS_HANDLE hInterface, NETWORKADDRESS addr, PROTOCOL_DATA_UNIT pdu) {
    auto* pThis = static_cast<FakeDriver*>(hInterface);
    std::lock_guard<std::mutex> lock(pThis->m_mutex);
    if (pThis->m_result == ERR_OK) {
        pThis->m_sent.push_back(Sent{addr, Bytes(pdu.pData, pdu.pData + pdu.ulCount)});
    }
    return pThis->m_result;
}

Bytes Pkg::Build() const {
    Bytes out;
    out.push_back(0xC5);
    out.push_back(static_cast<uint8_t>(((nHop & 0x1F) << 3) | (nHeaderWords & 7)));
    out.push_back(static_cast<uint8_t>((nPrio << 6) | (bRouterError ? 0x20 : 0) | (bRelative ? 0x10 : 0)));
    out.push_back(byService);
    out.push_back(byMessageId);
    out.push_back(static_cast<uint8_t>(((sender.size() / 2) << 4) | (receiver.size() / 2)));
    if (nHeaderWords >= 4) {
        out.push_back(static_cast<uint8_t>(usBroadcastId >> 8));
        out.push_back(static_cast<uint8_t>(usBroadcastId));
    }
    for (unsigned i = 4; i < nHeaderWords; ++i) {
        out.push_back(0);
        out.push_back(0);
    }
    out.insert(out.end(), receiver.begin(), receiver.end());
    out.insert(out.end(), sender.begin(), sender.end());
    if (out.size() % 4 != 0) {
        out.push_back(0);
        out.push_back(0);
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

NODEADDRESS Node(std::initializer_list<uint16_t> components) {
    NODEADDRESS a;
    memset(&a, 0, sizeof(a));
    for (uint16_t c : components) {
        a.address[a.nLength].by[0] = static_cast<RTS_UI8>(c >> 8);
        a.address[a.nLength].by[1] = static_cast<RTS_UI8>(c & 0xFF);
        ++a.nLength;
    }
    return a;
}

Bytes NodeBytes(const NODEADDRESS& addr) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(addr.address);
    return Bytes(p, p + 2 * addr.nLength);
}

PEERADDRESS Peer(NODEADDRESS* pAddr) {
    return PEERADDRESS{AT_ABSOLUTE, 0, pAddr->nLength, pAddr->address};
}

PROTOCOL_DATA_UNIT Pdu(Bytes& bytes) {
    return PROTOCOL_DATA_UNIT{bytes.data(), static_cast<RTS_UI32>(bytes.size())};
}

NETWORKADDRESS NetAddr(const Bytes& bytes) {
    NETWORKADDRESS a;
    memset(&a, 0, sizeof(a));
    a.nLength = static_cast<RTS_UI32>(bytes.size() < 8 ? bytes.size() : 8);
    if (a.nLength > 0) {
        memcpy(a.address, bytes.data(), a.nLength);
    }
    return a;
}

Bytes NetBytes(const NETWORKADDRESS& addr) {
    return Bytes(addr.address, addr.address + (addr.nLength < 8 ? addr.nLength : 8));
}

}  // namespace rttest
