// The checksum component: two table-driven CRCs. The tables are built at
// compile time, so the functions work before any hook has run and from any
// thread.
#include "CmpChecksumItf.h"

#include <array>

namespace {

PF_REGISTER_API s_pfCMRegisterAPI = nullptr;

constexpr std::array<RTS_UI16, 256> MakeCrc16Table() {
    std::array<RTS_UI16, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        RTS_UI16 c = static_cast<RTS_UI16>(i << 8);
        for (int k = 0; k < 8; ++k) {
            c = static_cast<RTS_UI16>((c & 0x8000u) != 0 ? (c << 1) ^ 0x1021u : c << 1);
        }
        t[i] = c;
    }
    return t;
}

constexpr std::array<RTS_UI32, 256> MakeCrc32Table() {
    std::array<RTS_UI32, 256> t{};
    for (RTS_UI32 i = 0; i < 256; ++i) {
        RTS_UI32 c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        t[i] = c;
    }
    return t;
}

constexpr std::array<RTS_UI16, 256> kCrc16Table = MakeCrc16Table();
constexpr std::array<RTS_UI32, 256> kCrc32Table = MakeCrc32Table();

RTS_RESULT ExportFunctions(void) {
    if (s_pfCMRegisterAPI == nullptr) {
        return ERR_NOTINITIALIZED;
    }
    KL_EXPORT(s_pfCMRegisterAPI, CRC16Update);
    KL_EXPORT(s_pfCMRegisterAPI, CRC16Finish);
    KL_EXPORT(s_pfCMRegisterAPI, CRC32Update);
    KL_EXPORT(s_pfCMRegisterAPI, CRC32Finish);
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32, RTS_UINTPTR, RTS_UINTPTR) {
    return ERR_OK;
}

}  // namespace

RTS_UI16 CRC16Update(RTS_UI16 usCrc, const void* pData, RTS_SIZE ulSize) {
    if (pData == nullptr) {
        return usCrc;
    }
    const RTS_UI8* p = static_cast<const RTS_UI8*>(pData);
    for (RTS_SIZE i = 0; i < ulSize; ++i) {
        usCrc = static_cast<RTS_UI16>((usCrc << 8) ^ kCrc16Table[((usCrc >> 8) ^ p[i]) & 0xFFu]);
    }
    return usCrc;
}

RTS_UI16 CRC16Finish(RTS_UI16 usCrc) {
    return usCrc;
}

RTS_UI32 CRC32Update(RTS_UI32 ulCrc, const void* pData, RTS_SIZE ulSize) {
    if (pData == nullptr) {
        return ulCrc;
    }
    const RTS_UI8* p = static_cast<const RTS_UI8*>(pData);
    for (RTS_SIZE i = 0; i < ulSize; ++i) {
        ulCrc = (ulCrc >> 8) ^ kCrc32Table[(ulCrc ^ p[i]) & 0xFFu];
    }
    return ulCrc;
}

RTS_UI32 CRC32Finish(RTS_UI32 ulCrc) {
    return ~ulCrc;
}

RTS_RESULT CmpChecksum__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpChecksum;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    s_pfCMRegisterAPI = pInitStruct->pfCMRegisterAPI;
    return ERR_OK;
}
