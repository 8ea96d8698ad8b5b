// Configuration records: deep copies, release, parameter queries and the
// reading of one configuration entry from an INI file (see PLCConfig.h).
#include "PLCConfig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "PLCUtil.h"

namespace {
// Defaults that mark a key as missing, kept from the files' original reader:
// a file that holds one of these texts as a value reads as if the key were absent.
const char* const kInvalidParameter = "__This__is__NOT__a__valid__PaRaMeTeR__";
const char* const kInvalidValue = "__This__is__NOT__a__valid__VaLuE__";
const char* const kInvalidWString = "__This__is__NOT__a__valid__WsTrInG__";
const char* const kHwTypeMax4 = "ElauMaX4";

// Copy of a record's text; an empty text becomes none. Throws std::bad_alloc.
char* NewText(const char* psz) {
    if (psz == nullptr || psz[0] == '\0') {
        return nullptr;
    }
    RTS_SIZE len = std::strlen(psz);
    char* p = new char[len + 1];
    std::memcpy(p, psz, len + 1);
    return p;
}

// Copy of a parameter's text as it is (empty stays empty, null stays null).
char* NewTextAsIs(const char* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    RTS_SIZE len = std::strlen(psz);
    char* p = new char[len + 1];
    std::memcpy(p, psz, len + 1);
    return p;
}

RTS_WCHAR* NewWText(const RTS_WCHAR* pwsz) {
    if (pwsz == nullptr) {
        return nullptr;
    }
    RTS_WCHAR* p = UtlWStrDup(pwsz);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

// The new text is made before the old one goes, so a failed allocation
// leaves the field as it was.
void ReplaceText(char** ppsz, const char* psz) {
    char* p = NewText(psz);
    delete[] * ppsz;
    *ppsz = p;
}

void DeleteParameter(PlcParameter* pParameter) {
    if (pParameter == nullptr) {
        return;
    }
    if (pParameter->Type == PLC_PT_STRING) {
        delete[] pParameter->Value.psz;
    } else if (pParameter->Type == PLC_PT_WSTRING) {
        delete[] pParameter->Value.pwsz;
    }
    delete pParameter;
}

void DeleteParameterDesc(PlcParameterDesc* pDesc) {
    delete[] pDesc->pszName;
    DeleteParameter(pDesc->pParameter);
    *pDesc = PlcParameterDesc{};
}

PlcParameter* CopyParameter(const PlcParameter* pSrc) {
    std::unique_ptr<PlcParameter> p(new PlcParameter());
    p->Type = pSrc->Type;
    p->Value = pSrc->Value;
    if (pSrc->Type == PLC_PT_STRING) {
        p->Value.psz = nullptr;
        p->Value.psz = NewTextAsIs(pSrc->Value.psz);
    } else if (pSrc->Type == PLC_PT_WSTRING) {
        p->Value.pwsz = nullptr;
        p->Value.pwsz = NewWText(pSrc->Value.pwsz);
    }
    return p.release();
}

bool NameIs(const PlcParameterDesc& desc, const char* pszName) {
    return desc.pszName != nullptr && std::strcmp(desc.pszName, pszName) == 0;
}

// Parameters read from a file before they join the device description;
// released here unless handed over.
class NewParameters {
public:
    NewParameters() = default;
    NewParameters(const NewParameters&) = delete;
    NewParameters& operator=(const NewParameters&) = delete;
    ~NewParameters() {
        for (PlcParameterDesc& desc : m_descs) {
            DeleteParameterDesc(&desc);
        }
    }
    void Add(const char* pszName, const char* pszValue, bool bWide) {
        std::unique_ptr<PlcParameter> pParameter(new PlcParameter());
        if (bWide) {
            pParameter->Type = PLC_PT_WSTRING;
            pParameter->Value.pwsz = UtlStrToWStrDup(pszValue);
            if (pParameter->Value.pwsz == nullptr) {
                throw std::bad_alloc();
            }
        } else {
            pParameter->Type = PLC_PT_STRING;
            pParameter->Value.psz = NewTextAsIs(pszValue);
        }
        std::unique_ptr<PlcParameter, void (*)(PlcParameter*)> owned(pParameter.release(), DeleteParameter);
        PlcParameterDesc desc{};
        m_descs.reserve(m_descs.size() + 1);
        desc.pszName = NewTextAsIs(pszName);
        desc.pParameter = owned.release();
        m_descs.push_back(desc);
    }
    RTS_SIZE Count() const { return m_descs.size(); }
    // Moves the records out; they belong to the caller from then on.
    void MoveTo(PlcParameterDesc* pDest) {
        std::copy(m_descs.begin(), m_descs.end(), pDest);
        m_descs.clear();
    }

private:
    std::vector<PlcParameterDesc> m_descs;
};

// Indexes n (0 <= n < limit) of the section's key lines prefix + n, where n
// is written as "%d" writes it; in ascending order. Walking these instead of
// every n below a count read from the file keeps the work bounded by the
// file's size, with the same result.
std::vector<RTS_I32> KeyIndexes(const CKestrolinkIniSection& section, const char* pszPrefix, RTS_I32 limit) {
    std::vector<RTS_I32> indexes;
    RTS_SIZE prefixLen = std::strlen(pszPrefix);
    for (const std::string& line : section.Lines()) {
        if (line.compare(0, prefixLen, pszPrefix) != 0) {
            continue;
        }
        RTS_SIZE pos = prefixLen;
        RTS_I64 value = 0;
        RTS_SIZE digits = 0;
        while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && digits < 11) {
            value = value * 10 + (line[pos] - '0');
            ++pos;
            ++digits;
        }
        bool bCanonical = digits > 0 && digits <= 10 && !(digits > 1 && line[prefixLen] == '0');
        if (bCanonical && pos < line.size() && line[pos] == '=' && value < limit) {
            indexes.push_back(static_cast<RTS_I32>(value));
        }
    }
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    return indexes;
}

RTS_I32 FindInt(const CKestrolinkIniSection& section, const char* pszKey, RTS_I32 iDefault) {
    const char* pszValue = section.Find(pszKey);
    return pszValue != nullptr ? static_cast<RTS_I32>(UtlStrToULong(pszValue)) : iDefault;
}

// Seconds in the file, milliseconds in the record; 0xFFFFFFFF passes
// unchanged both ways and a larger number of seconds saturates below it.
RTS_UI32 FindSeconds(const CKestrolinkIniSection& section, const char* pszKey, RTS_UI32 ulCurrentMs) {
    RTS_UI32 ulDefault = ulCurrentMs == KL_TIME_UNCHANGED ? KL_TIME_UNCHANGED : ulCurrentMs / 1000;
    RTS_UI32 ulSeconds = static_cast<RTS_UI32>(FindInt(section, pszKey, static_cast<RTS_I32>(ulDefault)));
    if (ulSeconds == KL_TIME_UNCHANGED) {
        return KL_TIME_UNCHANGED;
    }
    if (ulSeconds > (KL_TIME_UNCHANGED - 1) / 1000) {
        return KL_TIME_UNCHANGED - 1;
    }
    return ulSeconds * 1000;
}

RTS_RESULT ReadConfigEntry(const char* pszIniFile, PlcConfig* pConfig, PlcDeviceDesc* pDevice) {
    RTS_UI32 ulId = pConfig->ulId;
    bool bOverload = UtlStructReadULong("ConfigIsOverloadable", 0, pDevice) != 0;
    if (!bOverload) {
        UtlDeletePlcConfig(pConfig);
        UtlSetDefaultPlcConfig(pConfig, ulId);
        UtlDeletePlcDeviceDesc(pDevice);
    }

    CKestrolinkIniSection server;
    const char* pszName = nullptr;
    if (server.Load(pszIniFile, "Server")) {
        pszName = server.Find(("PLC" + std::to_string(ulId)).c_str());
    }
    if (pszName == nullptr) {
        return -1;
    }
    ReplaceText(&pConfig->pszName, pszName);

    CKestrolinkIniSection section;
    section.Load(pszIniFile, (std::string("PLC:") + pszName).c_str());

    const char* pszValue = section.Find("project");
    if (pszValue != nullptr) {
        ReplaceText(&pConfig->pszProjectName, pszValue);
    }
    pszValue = section.Find("dlldirectory");
    if (pszValue != nullptr) {
        ReplaceText(&pConfig->pszDllDirectory, pszValue);
    }
    pszValue = section.Find("interfacetype");
    if (pszValue != nullptr) {
        pConfig->it = UtlItfTypeFromText(pszValue);
    }

    pConfig->ulLogFilter =
        static_cast<RTS_UI32>(FindInt(section, "logfilter", static_cast<RTS_I32>(pConfig->ulLogFilter)));
    pConfig->bLogToFile = FindInt(section, "logevents", pConfig->bLogToFile) == 1 ? 1 : 0;

    pConfig->bActive = static_cast<RTS_I8>(FindInt(section, "active", pConfig->bActive));
    pConfig->bMotorola = static_cast<RTS_I8>(FindInt(section, "motorola", pConfig->bMotorola));
    pConfig->bPreCheckIdentity =
        static_cast<RTS_I8>(FindInt(section, "precheckidentity", pConfig->bPreCheckIdentity));
    pConfig->ulBufferSize =
        static_cast<RTS_UI32>(FindInt(section, "buffersize", static_cast<RTS_I32>(pConfig->ulBufferSize)));
    pConfig->ulTimeout =
        static_cast<RTS_UI32>(FindInt(section, "timeout", static_cast<RTS_I32>(pConfig->ulTimeout)));
    pConfig->ulNumTries =
        static_cast<RTS_UI32>(FindInt(section, "tries", static_cast<RTS_I32>(pConfig->ulNumTries)));
    // The file says "nologin": the flag is inverted on the way in.
    pConfig->bLogin = FindInt(section, "nologin", pConfig->bLogin != 0 ? 0 : 1) == 0 ? 1 : 0;

    RTS_UI32 ulHwVersion =
        static_cast<RTS_UI32>(FindInt(section, "max4version", static_cast<RTS_I32>(pConfig->ulHwVersion)));
    if (ulHwVersion != pConfig->ulHwVersion) {
        pConfig->ulHwVersion = ulHwVersion;
        ReplaceText(&pConfig->pszHwType, ulHwVersion != 0 ? kHwTypeMax4 : nullptr);
    }

    pConfig->ulWaitTime = FindSeconds(section, "waittime", pConfig->ulWaitTime);
    pConfig->ulReconnectTime = FindSeconds(section, "reconnecttime", pConfig->ulReconnectTime);

    const char* pszGateway = section.Find("gateway");
    const char* pszGatewayPassword = section.Find("gatewaypassword");
    const char* pszGatewayAddress = section.Find("gatewayaddress");
    const char* pszGatewayPort = section.Find("gatewayport");
    if (pszGateway != nullptr || pszGatewayPassword != nullptr || pszGatewayAddress != nullptr ||
        pszGatewayPort != nullptr) {
        if (pConfig->gwc == nullptr) {
            pConfig->gwc = new GatewayConnection();
            pConfig->gwc->ulPort = KL_DEFAULT_GATEWAY_PORT;
        }
        GatewayConnection* gwc = pConfig->gwc;
        if (pszGateway != nullptr) {
            ReplaceText(&gwc->pszDeviceName, pszGateway);
        }
        if (pszGatewayPassword != nullptr) {
            ReplaceText(&gwc->pszPassword, pszGatewayPassword);
        }
        if (pszGatewayAddress != nullptr) {
            ReplaceText(&gwc->pszAddress, pszGatewayAddress);
        }
        RTS_UI32 ulDefaultPort = bOverload                   ? gwc->ulPort
                                 : pConfig->it == IT_GATEWAY ? KL_DEFAULT_GATEWAY_PORT
                                                             : KL_DEFAULT_GATEWAY3_PORT;
        gwc->ulPort =
            static_cast<RTS_UI32>(FindInt(section, "gatewayport", static_cast<RTS_I32>(ulDefaultPort)));
    }

    pszValue = section.Find("device");
    if (pszValue != nullptr) {
        ReplaceText(&pDevice->pszName, pszValue);
    }
    pszValue = section.Find("instance");
    if (pszValue != nullptr) {
        ReplaceText(&pDevice->pszInstance, pszValue);
    }

    if (bOverload) {
        UtlStructRemoveParameter("ConfigIsOverloadable", pDevice);
    }
    RTS_I32 numParameters = FindInt(section, "parameters", 0);
    NewParameters newParameters;
    for (RTS_I32 i : KeyIndexes(section, "parameter", numParameters)) {
        std::string index = std::to_string(i);
        const char* pszParam = section.Find(("parameter" + index).c_str());
        if (pszParam == nullptr || std::strcmp(pszParam, kInvalidParameter) == 0) {
            continue;
        }
        if (bOverload) {
            UtlStructRemoveParameter(pszParam, pDevice);
        }
        pszValue = section.Find(("value" + index).c_str());
        if (pszValue == nullptr || std::strcmp(pszValue, kInvalidValue) == 0) {
            continue;
        }
        bool bWide = std::strcmp(pszParam, "DeviceName") == 0;
        if (bWide && std::strcmp(pszValue, kInvalidWString) == 0) {
            continue;
        }
        newParameters.Add(pszParam, pszValue, bWide);
    }

    // Read parameters come first, the ones kept from an overloaded
    // description after them.
    RTS_SIZE ulOld = pDevice->ppd != nullptr ? pDevice->ulNumParams : 0;
    RTS_SIZE ulTotal = newParameters.Count() + ulOld;
    PlcParameterDesc* ppd = ulTotal != 0 ? new PlcParameterDesc[ulTotal]() : nullptr;
    newParameters.MoveTo(ppd);
    if (ulOld != 0) {
        std::copy(pDevice->ppd, pDevice->ppd + ulOld, ppd + (ulTotal - ulOld));
    }
    delete[] pDevice->ppd;
    pDevice->ppd = ppd;
    pDevice->ulNumParams = static_cast<RTS_UI32>(ulTotal);
    return 0;
}
}  // namespace

void UtlSetDefaultPlcConfig(PlcConfig* pConfig, RTS_UI32 ulId) noexcept {
    if (pConfig == nullptr) {
        return;
    }
    *pConfig = PlcConfig{};
    pConfig->ulId = ulId;
    pConfig->it = IT_ARTI;
    pConfig->bActive = 1;
    pConfig->bLogin = 1;
    pConfig->ulTimeout = KL_DEFAULT_TIMEOUT;
    pConfig->ulNumTries = KL_DEFAULT_NUM_TRIES;
    pConfig->ulReconnectTime = KL_DEFAULT_RECONNECT_TIME;
    pConfig->ulLogFilter = KL_DEFAULT_LOG_FILTER;
}

int UtlCopyPlcConfig(PlcConfig* pDest, const PlcConfig* pSrc) noexcept {
    if (pDest == nullptr || pSrc == nullptr) {
        return 0;
    }
    if (pDest == pSrc) {
        return 1;
    }
    UtlDeletePlcConfig(pDest);
    try {
        PlcConfig numbers = *pSrc;
        numbers.pszName = numbers.pszHwType = numbers.pszProjectName = numbers.pszDllDirectory = nullptr;
        numbers.gwc = nullptr;
        *pDest = numbers;
        pDest->pszName = NewText(pSrc->pszName);
        pDest->pszHwType = NewText(pSrc->pszHwType);
        pDest->pszProjectName = NewText(pSrc->pszProjectName);
        pDest->pszDllDirectory = NewText(pSrc->pszDllDirectory);
        if (pSrc->gwc != nullptr) {
            pDest->gwc = new GatewayConnection();
            pDest->gwc->ulPort = pSrc->gwc->ulPort;
            pDest->gwc->pszDeviceName = NewText(pSrc->gwc->pszDeviceName);
            pDest->gwc->pszAddress = NewText(pSrc->gwc->pszAddress);
            pDest->gwc->pszPassword = NewText(pSrc->gwc->pszPassword);
        }
        return 1;
    } catch (const std::bad_alloc&) {
        UtlDeletePlcConfig(pDest);
        return 0;
    }
}

void UtlDeletePlcConfig(PlcConfig* pConfig) noexcept {
    if (pConfig == nullptr) {
        return;
    }
    delete[] pConfig->pszName;
    delete[] pConfig->pszHwType;
    delete[] pConfig->pszProjectName;
    delete[] pConfig->pszDllDirectory;
    pConfig->pszName = pConfig->pszHwType = pConfig->pszProjectName = pConfig->pszDllDirectory = nullptr;
    if (pConfig->gwc != nullptr) {
        delete[] pConfig->gwc->pszDeviceName;
        delete[] pConfig->gwc->pszAddress;
        delete[] pConfig->gwc->pszPassword;
        delete pConfig->gwc;
        pConfig->gwc = nullptr;
    }
}

int UtlCopyPlcDeviceDesc(PlcDeviceDesc* pDest, const PlcDeviceDesc* pSrc) noexcept {
    if (pDest == nullptr || pSrc == nullptr) {
        return 0;
    }
    if (pDest == pSrc) {
        return 1;
    }
    UtlDeletePlcDeviceDesc(pDest);
    try {
        pDest->pszName = NewText(pSrc->pszName);
        pDest->pszInstance = NewText(pSrc->pszInstance);
        pDest->pszProject = NewText(pSrc->pszProject);
        RTS_UI32 ulNum = pSrc->ppd != nullptr ? pSrc->ulNumParams : 0;
        if (ulNum != 0) {
            // Zeroed entries, so that a failure half-way leaves a record
            // that UtlDeletePlcDeviceDesc can release.
            pDest->ppd = new PlcParameterDesc[ulNum]();
            pDest->ulNumParams = ulNum;
            for (RTS_UI32 i = 0; i < ulNum; ++i) {
                pDest->ppd[i].ulId = pSrc->ppd[i].ulId;
                pDest->ppd[i].pszName = NewText(pSrc->ppd[i].pszName);
                if (pSrc->ppd[i].pParameter != nullptr) {
                    pDest->ppd[i].pParameter = CopyParameter(pSrc->ppd[i].pParameter);
                }
            }
        }
        return 1;
    } catch (const std::bad_alloc&) {
        UtlDeletePlcDeviceDesc(pDest);
        return 0;
    }
}

void UtlDeletePlcDeviceDesc(PlcDeviceDesc* pDevice) noexcept {
    if (pDevice == nullptr) {
        return;
    }
    delete[] pDevice->pszName;
    delete[] pDevice->pszInstance;
    delete[] pDevice->pszProject;
    pDevice->pszName = pDevice->pszInstance = pDevice->pszProject = nullptr;
    if (pDevice->ppd != nullptr) {
        for (RTS_UI32 i = 0; i < pDevice->ulNumParams; ++i) {
            DeleteParameterDesc(&pDevice->ppd[i]);
        }
        delete[] pDevice->ppd;
        pDevice->ppd = nullptr;
    }
    pDevice->ulNumParams = 0;
}

RTS_UI32 UtlStructReadULong(const char* pszName, RTS_UI32 ulDefault, const PlcDeviceDesc* pDevice) noexcept {
    if (pszName == nullptr || pDevice == nullptr || pDevice->ppd == nullptr) {
        return ulDefault;
    }
    for (RTS_UI32 i = 0; i < pDevice->ulNumParams; ++i) {
        const PlcParameterDesc& desc = pDevice->ppd[i];
        if (!NameIs(desc, pszName)) {
            continue;
        }
        const PlcParameter* pParameter = desc.pParameter;
        if (pParameter == nullptr) {
            return ulDefault;
        }
        if (pParameter->Type == PLC_PT_ULONG) {
            return pParameter->Value.dw;
        }
        if (pParameter->Type == PLC_PT_STRING && pParameter->Value.psz != nullptr) {
            return UtlStrToULong(pParameter->Value.psz);
        }
        return ulDefault;
    }
    return ulDefault;
}

int UtlStructReadString(const char* pszName, const char* pszDefault, char* pszDest, RTS_UI32 ulDest,
                        const PlcDeviceDesc* pDevice) noexcept {
    bool bWrite = pszDest != nullptr && ulDest != 0;
    if (pszName != nullptr && pDevice != nullptr && pDevice->ppd != nullptr) {
        for (RTS_UI32 i = 0; i < pDevice->ulNumParams; ++i) {
            const PlcParameterDesc& desc = pDevice->ppd[i];
            if (!NameIs(desc, pszName) || desc.pParameter == nullptr) {
                continue;
            }
            const PlcParameter* pParameter = desc.pParameter;
            if (pParameter->Type == PLC_PT_STRING) {
                if (bWrite) {
                    KlStrCopy(pszDest, ulDest, pParameter->Value.psz);
                }
                return 1;
            }
            if (pParameter->Type == PLC_PT_WSTRING) {
                if (bWrite) {
                    UtlWStrToStr(pszDest, ulDest, pParameter->Value.pwsz);
                }
                return 1;
            }
            if (pParameter->Type == PLC_PT_ULONG) {
                if (bWrite) {
                    char number[24];
                    std::snprintf(number, sizeof(number), "%lu",
                                  static_cast<unsigned long>(pParameter->Value.dw));
                    KlStrCopy(pszDest, ulDest, number);
                }
                return 1;
            }
        }
    }
    if (bWrite) {
        KlStrCopy(pszDest, ulDest, pszDefault);
    }
    return 0;
}

int UtlStructReadWString(const char* pszName, const RTS_WCHAR* pwszDefault, RTS_WCHAR* pwszDest,
                         RTS_UI32 ulDest, const PlcDeviceDesc* pDevice) noexcept {
    if (pszName != nullptr && pDevice != nullptr && pDevice->ppd != nullptr) {
        for (RTS_UI32 i = 0; i < pDevice->ulNumParams; ++i) {
            const PlcParameterDesc& desc = pDevice->ppd[i];
            if (!NameIs(desc, pszName) || desc.pParameter == nullptr) {
                continue;
            }
            const PlcParameter* pParameter = desc.pParameter;
            if (pParameter->Type == PLC_PT_WSTRING) {
                UtlWStrCopy(pwszDest, ulDest, pParameter->Value.pwsz);
                return 1;
            }
            if (pParameter->Type == PLC_PT_STRING) {
                UtlStrToWStr(pwszDest, ulDest, pParameter->Value.psz);
                return 1;
            }
            if (pParameter->Type == PLC_PT_ULONG) {
                char number[24];
                std::snprintf(number, sizeof(number), "%lu",
                              static_cast<unsigned long>(pParameter->Value.dw));
                UtlStrToWStr(pwszDest, ulDest, number);
                return 1;
            }
        }
    }
    UtlWStrCopy(pwszDest, ulDest, pwszDefault);
    return 0;
}

int UtlStructRemoveParameter(const char* pszName, PlcDeviceDesc* pDevice) noexcept {
    if (pszName == nullptr || pDevice == nullptr || pDevice->ppd == nullptr) {
        return 0;
    }
    int removed = 0;
    RTS_UI32 kept = 0;
    for (RTS_UI32 i = 0; i < pDevice->ulNumParams; ++i) {
        if (NameIs(pDevice->ppd[i], pszName)) {
            DeleteParameterDesc(&pDevice->ppd[i]);
            ++removed;
        } else {
            pDevice->ppd[kept++] = pDevice->ppd[i];
        }
    }
    for (RTS_UI32 i = kept; i < pDevice->ulNumParams; ++i) {
        pDevice->ppd[i] = PlcParameterDesc{};
    }
    pDevice->ulNumParams = kept;
    if (kept == 0) {
        delete[] pDevice->ppd;
        pDevice->ppd = nullptr;
    }
    return removed;
}

ItfType UtlItfTypeFromText(const char* pszText) noexcept {
    static const struct {
        const char* pszText;
        ItfType it;
    } kTypes[] = {{"SIMULATION", IT_SIMULATION},
                  {"ARTI", IT_ARTI},
                  {"GATEWAY", IT_GATEWAY},
                  {"DIRECT", IT_DIRECT},
                  {"GATEWAY3", IT_GATEWAY3},
                  {"SIMULATION3", IT_SIMULATION3},
                  {"ARTI3", IT_ARTI3}};
    if (pszText != nullptr) {
        for (const auto& entry : kTypes) {
            if (std::strcmp(pszText, entry.pszText) == 0) {
                return entry.it;
            }
        }
    }
    return IT_INVALID;
}

RTS_RESULT UtlSetConfigFromIniFile(const char* pszIniFile, PlcConfig* pConfig,
                                   PlcDeviceDesc* pDevice) noexcept {
    if (pConfig == nullptr || pDevice == nullptr) {
        return -1;
    }
    try {
        return ReadConfigEntry(pszIniFile, pConfig, pDevice);
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

RTS_I32 GetPlcIdbyName(const char* pszPlcName, const char* pszIniFile) noexcept {
    if (pszPlcName == nullptr || pszIniFile == nullptr) {
        return -1;
    }
    try {
        CKestrolinkIniSection server;
        if (!server.Load(pszIniFile, "Server")) {
            return -1;
        }
        RTS_I32 count = FindInt(server, "PLCs", 0);
        for (RTS_I32 n : KeyIndexes(server, "PLC", count)) {
            const char* pszName = server.Find(("PLC" + std::to_string(n)).c_str());
            if (pszName != nullptr && std::strcmp(pszName, pszPlcName) == 0) {
                return n;
            }
        }
        return -1;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

RTS_RESULT UtlSaveConfigInFile(const char* /*pszIniFile*/) noexcept {
    return -1;
}
