// Fuzz target: the V3 device client's readers of group-1 replies
// (identification, session creation, login types 1 and 2, logout, operation
// mode) and of the symbol roots. The first input byte picks the operation and
// the byte order; the rest is the body of every reply, behind a header that
// answers the request it follows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BinTagService.h"
#include "CMItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "PLCComBase3.h"

namespace {

class FuzzDevice3 : public CPLCComBase3Selector {
public:
    FuzzDevice3(const PlcConfig* pConfig, const PlcDeviceDesc* pDevice)
        : CPLCComBase3Selector(pConfig, pDevice, nullptr) {
        AllocateSendBuffer(0x4000);
    }
    RTS_I32 Open() override { return PLCCOM_OK; }
    RTS_I32 Close() override { return PLCCOM_OK; }
    void SetAuthType(RTS_UI32 ul) { m_ulAuthType = ul; }
    void SetSession(RTS_UI32 ul) { m_ulSessionID = ul; }

    const uint8_t* pBody = nullptr;
    size_t ulBody = 0;

protected:
    RTS_I32 SendService3(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv, RTS_BOOL) override {
        if (pduSend.ulCount < 20) {
            return PLCCOM_FAILED;
        }
        // The reply's header: the request's, with the reply group and the body's length.
        m_reply.assign(pduSend.pData, pduSend.pData + 20);
        bool bSwap = m_reply[0] == 0xCD;
        m_reply[bSwap ? 5 : 4] |= 0x80;
        uint32_t ulLen = static_cast<uint32_t>(ulBody);
        for (int i = 0; i < 4; ++i) {
            m_reply[12 + (bSwap ? 3 - i : i)] = static_cast<uint8_t>(ulLen >> (8 * i));
        }
        m_reply.insert(m_reply.end(), pBody, pBody + ulBody);
        *ppduRecv = PROTOCOL_DATA_UNIT{m_reply.data(), static_cast<RTS_UI32>(m_reply.size())};
        return PLCCOM_OK;
    }

private:
    std::vector<uint8_t> m_reply;
};

bool g_bStarted = false;

bool StartRuntime() {
    static const StaticComponent kList[] = {
        {"CmpMemPool", CmpMemPool__Entry, 1},
        {"CmpSettings", CmpSettings__Entry, 1},
        {"CmpBinTagUtil", CmpBinTagUtil__Entry, 0},
        {nullptr, nullptr, 0},
    };
    if (CMInit2(nullptr, kList, CM_INIT_OPTION_NO_SETTINGS_REQUIRED) != ERR_OK) {
        return false;
    }
    // Stopped at exit, so that the runtime's own memory is no leak.
    atexit([] { CMExit(); });
    return KlBTagImports() != nullptr;
}

}  // namespace

// The runtime lives for the whole run; started here, outside the per-input
// leak check.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_bStarted = StartRuntime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_bStarted || size < 1 || size > 0x3000) {
        return 0;
    }
    PlcConfig config{};
    config.bMotorola = (data[0] & 0x80) != 0 ? 1 : 0;
    PlcParameter value{};
    value.Type = PLC_PT_ULONG;
    value.Value.dw = 1;
    char szName[] = "DontLoadSymbolsFromPlc";
    PlcParameterDesc desc{0, szName, &value};
    PlcDeviceDesc device{};
    device.ulNumParams = 1;
    device.ppd = &desc;
    FuzzDevice3 dev(&config, &device);
    dev.pBody = data + 1;
    dev.ulBody = size - 1;
    const char szUser[] = "user";
    const char szPassword[] = "password";
    dev.SetDeviceCredentials(szUser, sizeof(szUser), szPassword, sizeof(szPassword));
    switch (data[0] & 0x7F) {
        case 0:
            dev.CreateSession("Fuzz", "Vendor", "1.0", 1);
            break;
        case 1:
            dev.SetAuthType(1);
            dev.Login();
            break;
        case 2:
            dev.SetAuthType(2);
            dev.Login();
            break;
        case 3: {
            DEVICE_OPERATION_MODE mode;
            RTS_I32 lResult = 0;
            dev.GetDeviceOpMode(&mode);
            dev.SetDeviceOpMode(DEVICE_OPMODE_LOCKED, &lResult);
            dev.SetSession(7);
            dev.Logout();
            break;
        }
        default:
            dev.LoadSymbols();
            break;
    }
    return 0;
}
