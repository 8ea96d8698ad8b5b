// The variable services' reply parsers (definition, read, write by list and
// by name) fed arbitrary reply bodies: the first input byte picks the
// service, the rest is the body behind a valid reply header. A list of three
// variables (one of them large, read in pieces) is defined first by a
// well-formed reply, so that read and write replies meet a real list.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CMItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "../tests/Components/CmpKestrolink/Device3Vars/VarTestSupport.h"

namespace {

bool StartRuntime() {
    static const StaticComponent kList[] = {
        {"CmpMemPool", CmpMemPool__Entry, 1},
        {"CmpSettings", CmpSettings__Entry, 1},
        {"CmpLog", CmpLog__Entry, 1},
        {"CmpBinTagUtil", CmpBinTagUtil__Entry, 1},
        {nullptr, nullptr, 0},
    };
    if (CMInit2(nullptr, kList, CM_INIT_OPTION_NO_SETTINGS_REQUIRED) != ERR_OK) {
        return false;
    }
    // Stopped at exit so that the runtime's own memory is not reported as a leak.
    atexit([] { CMExit(); });
    return KlBTagImports() != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool bStarted = StartRuntime();
    if (!bStarted || size < 1) {
        return 0;
    }
    PlcConfig config{};
    vartest::TestDevice device(&config, nullptr, nullptr, 512);
    const char* names[] = {"A.x", "A.big", "A.s"};
    const uint8_t* pBody = data + 1;
    uint32_t ulBody = static_cast<uint32_t>(size - 1);
    uint8_t bySelect = data[0] % 4;
    device.responder = [&](const vartest::Request& req) {
        if (req.usService == KL_SRV_VAR_DEFINE && bySelect != 0) {
            return vartest::ReplyBuilder(1)
                .U32(0x10, 7)
                .U32(0x13, 0x10058)
                .U32s(0x1B, {8, 4, 100})
                .U32s(0x1B, {26, 3000, 101})
                .U32s(0x1B, {16, 6, 102})
                .U16(0x14, 0)
                .Pdu();
        }
        vartest::ReplyBuilder b(req.usService);
        return b.Raw(pBody, ulBody).Pdu();
    };
    RTS_I32 lResult = 0;
    HVARLIST h = device.DefineVarList(names, 3, 1, 0, &lResult);
    if (h == nullptr) {
        return 0;
    }
    switch (bySelect) {
        case 1: {
            RTS_I32 bSync = 0;
            RTS_UI32 flags[3] = {1, 0, 1};
            device.SendVarList(h, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, &bSync, 1, flags);
            device.SendVarList(h, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, &bSync, 0, nullptr);
            break;
        }
        case 2: {
            static uint8_t value[3000];
            const RTS_UI8* pValues[] = {value, value, reinterpret_cast<const RTS_UI8*>("ABCDEFGH")};
            device.WriteVarList(h, 3, pValues, nullptr);
            break;
        }
        default: {
            static uint8_t value[3000];
            const RTS_UI8* pValues[] = {value, value, value};
            RTS_UI32 sizes[] = {4, 3000, 6};
            device.WriteVars(names, 3, pValues, sizes);
            break;
        }
    }
    device.DeleteVarList(h, 1);
    return 0;
}
