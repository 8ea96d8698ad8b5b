// The device interface base (see PLCComBase.h): configuration, logging, byte
// order, credentials, offline symbols, and the answers of the operations a
// subclass does not provide.
#include "PLCComBase.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "CMItf.h"
#include "CmpLogItf.h"
#include "PLCConfig.h"
#include "PLCUtil.h"
#include "SysFile.h"
#include "XmlSymbolParser.h"

namespace {

KlOwnedText DupText(const char* psz) {
    return KlOwnedText(UtlStrDup(psz));
}

// A copy of at most ulBufSize - 1 characters of a caller's buffer, which
// need not hold a terminator within that size; never null unless memory ran out.
KlSecretText CopyBounded(const char* psz, RTS_UI32 ulBufSize) {
    RTS_SIZE ulLen = (psz != nullptr && ulBufSize > 1) ? strnlen(psz, ulBufSize - 1) : 0;
    KlSecretText text(new (std::nothrow) char[ulLen + 1]());
    if (text && ulLen > 0) {
        std::memcpy(text.get(), psz, ulLen);
    }
    return text;
}

KlSecretText CopySecret(const char* psz) {
    if (psz == nullptr) {
        return KlSecretText();
    }
    return CopyBounded(psz, static_cast<RTS_UI32>(std::min<RTS_SIZE>(strlen(psz) + 1, 0xFFFFFFFFu)));
}

bool IsUsableFile(const std::string& name) {
    RTS_RESULT result = ERR_FAILED;
    RTS_SIZE ulSize = SysFileGetSize(name.c_str(), &result);
    return result == ERR_OK && ulSize > 0;
}

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void ReverseBytes(RTS_UI8* p, RTS_SIZE ulSize) {
    std::reverse(p, p + ulSize);
}

constexpr RTS_I32 kHostIsBigEndian =
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    1;
#else
    0;
#endif

}  // namespace

// ---- Owned texts and records -------------------------------------------------------

void KlSecretDeleter::operator()(char* psz) const noexcept {
    if (psz == nullptr) {
        return;
    }
    // Volatile stores: the wipe must not be dropped as a dead store before delete.
    for (volatile char* p = psz; *p != '\0'; ++p) {
        *p = '\0';
    }
    delete[] psz;
}

void KlProjectInfoDeleter::operator()(ProjectInfo* p) const noexcept {
    if (p == nullptr) {
        return;
    }
    delete[] p->pszProject;
    delete[] p->pszTitle;
    delete[] p->pszVersion;
    delete[] p->pszAuthor;
    delete[] p->pszDescription;
    delete p;
}

void KlApplicationInfoDeleter::operator()(ApplicationInfo2* p) const noexcept {
    if (p == nullptr) {
        return;
    }
    delete[] p->pszName;
    delete[] p->pszProject;
    delete[] p->pszAuthor;
    delete[] p->pszVersion;
    delete[] p->pszDescription;
    delete[] p->pszProfile;
    delete p;
}

// ---- Directory listing --------------------------------------------------------------

RTS_I32 CDirInfo::AddEntry(const char* szEntry, RTS_I32 bDirectory) {
    if (szEntry == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    try {
        _DirInfo entry{bDirectory, KlOwnedText(UtlStrDup(szEntry)), 0};
        if (!entry.pszEntry) {
            return PLCCOM_NO_MEMORY;
        }
        m_ppdi.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return PLCCOM_NO_MEMORY;
    }
    m_lEntries = static_cast<RTS_I32>(m_ppdi.size());
    return PLCCOM_OK;
}

RTS_I32 CDirInfo::GetEntry(char** ppszEntry, RTS_I32* pbDirectory, RTS_I32 lEntry) const {
    if (lEntry < 0 || lEntry >= m_lEntries) {
        return PLCCOM_INVALID_PARAMETER;
    }
    const _DirInfo& entry = m_ppdi[static_cast<RTS_SIZE>(lEntry)];
    if (ppszEntry != nullptr) {
        *ppszEntry = entry.pszEntry.get();
    }
    if (pbDirectory != nullptr) {
        *pbDirectory = entry.bDirectory;
    }
    return PLCCOM_OK;
}

RTS_I32 CDirInfo::AddExtra(RTS_UI32 uiExtra) {
    if (m_ppdi.empty()) {
        return PLCCOM_FAILED;
    }
    m_ppdi.back().uiExtra = uiExtra;
    return PLCCOM_OK;
}

RTS_I32 CDirInfo::GetExtra(RTS_UI32* puiExtra, RTS_I32 lEntry) const {
    if (puiExtra == nullptr || lEntry < 0 || lEntry >= m_lEntries) {
        return PLCCOM_INVALID_PARAMETER;
    }
    *puiExtra = m_ppdi[static_cast<RTS_SIZE>(lEntry)].uiExtra;
    return PLCCOM_OK;
}

// ---- Construction ----------------------------------------------------------------------

CPLCComBase::CPLCComBase(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger)
    : m_ulId(0xFFFFFFFFu),
      m_ulChannel(0xFFFFFFFFu),
      m_ulTimeout(10000),
      m_ulTries(3),
      m_ulBufferSize(0),
      m_bMotorola(0),
      m_bMotorolaHost(kHostIsBigEndian),
      m_bPreCheckIdentity(1),
      m_Status(PLCCOMSTATUS_NOT_INITIALIZED),
      m_ulLogFilter(0),
      m_hLogger(hLogger),
      m_bLogging(0),
      m_pHashTableVarTypes(new (std::nothrow) DataTypeHashTable(37)),
      m_ulSdbProjectId(0),
      m_ulSymbols(0),
      m_pSymbols(nullptr),
      m_DeviceInfo3(),
      m_bOfflineDontExpandSimpleTypeArrays(0),
      m_bOfflineDontExpandComplexTypeArrays(0),
      m_pfLogAdd(nullptr) {
    if (pPlcConfig != nullptr) {
        m_ulId = pPlcConfig->ulId;
        m_bMotorola = pPlcConfig->bMotorola;
        m_bPreCheckIdentity = pPlcConfig->bPreCheckIdentity;
        m_ulBufferSize = pPlcConfig->ulBufferSize;
        m_ulTimeout = pPlcConfig->ulTimeout;
        m_ulTries = pPlcConfig->ulNumTries;
        m_bLogging = pPlcConfig->bLogToFile;
        m_ulLogFilter = pPlcConfig->ulLogFilter;
        m_pszProject = DupText(pPlcConfig->pszProjectName);
        m_pszPlcName = DupText(pPlcConfig->pszName);
        m_pszDllDirectory = DupText(pPlcConfig->pszDllDirectory);
    }

    char szCredential[PLCCOM_CREDENTIAL_LEN + 1];
    UtlStructReadString("User", "", szCredential, sizeof(szCredential), pDeviceDesc);
    m_pszUser = CopySecret(szCredential);
    UtlStructReadString("Password", "", szCredential, sizeof(szCredential), pDeviceDesc);
    m_pszPassword = CopySecret(szCredential);
    for (volatile char& c : szCredential) {
        c = '\0';
    }

    // One more than the longest accepted path, to see whether it was cut.
    char szPath[PLCCOM_SYMBOL_PATH_LEN + 2];
    if (UtlStructReadString("SymbolFilePath", "", szPath, sizeof(szPath), pDeviceDesc) != 0) {
        RTS_SIZE ulLen = strlen(szPath);
        // An empty path would put the symbol file into the root folder.
        if (ulLen > 0 && ulLen <= PLCCOM_SYMBOL_PATH_LEN) {
            bool bHasSeparator = szPath[ulLen - 1] == '/' || szPath[ulLen - 1] == '\\';
            std::unique_ptr<char[]> path(new (std::nothrow) char[ulLen + 2]);
            if (path) {
                std::memcpy(path.get(), szPath, ulLen + 1);
                if (!bHasSeparator) {
                    path[ulLen] = '/';
                    path[ulLen + 1] = '\0';
                }
                m_pszSymbolFilePath = std::move(path);
            }
        }
    }
    m_bOfflineDontExpandSimpleTypeArrays =
        UtlStructReadULong("DontExpandSimpleTypeArrays", 0, pDeviceDesc) != 0 ? 1 : 0;
    m_bOfflineDontExpandComplexTypeArrays =
        UtlStructReadULong("DontExpandComplexTypeArrays", 0, pDeviceDesc) != 0 ? 1 : 0;
}

CPLCComBase::~CPLCComBase() {
    DeleteSymbolsOffline();
    DeleteAppInfo();
    DeletePrjInfo();
    // Not through the virtual slot: a subclass's part is gone already.
    CPLCComBase::DeleteDevInfo();
}

// ---- Identity, logging -----------------------------------------------------------------------

RTS_I32 CPLCComBase::ScanNetwork(RTS_UINTPTR, PFSCANNETWORKCALLBACK) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetConfigInteractive(PlcConfig*, PlcDeviceDesc*) {
    return PLCCOM_NOT_SUPPORTED;
}

void CPLCComBase::SetLogger(void* hLogger) {
    m_hLogger = hLogger;
}

RTS_I32 CPLCComBase::SetLogging(RTS_I32 bEnable, RTS_UI32 ulLogFilter) {
    m_ulLogFilter = ulLogFilter;
    m_bLogging = bEnable;
    return bEnable;
}

RTS_I32 CPLCComBase::AddLogEntry(RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo, ...) {
    va_list argList;
    va_start(argList, pszInfo);
    RTS_I32 lResult = AddLogEntryArg(iClassID, iErrorID, pszInfo, argList);
    va_end(argList);
    return lResult;
}

RTS_I32 CPLCComBase::AddLogEntryArg(RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo,
                                    va_list argList) {
    void* hLogger = m_hLogger.load();
    if (pszInfo == nullptr || hLogger == nullptr || hLogger == RTS_INVALID_HANDLE || m_bLogging.load() == 0 ||
        (static_cast<RTS_UI32>(iClassID) & m_ulLogFilter.load()) == 0) {
        return PLCCOM_FAILED;
    }
    RTS_VOID_FCTPTR pf = m_pfLogAdd.load();
    if (pf == nullptr) {
        // Silent: a runtime without a log must not log that it has none.
        if (CMGetAPI2("LogAdd", &pf, CM_IMPORT_OPTION_SILENT, SIG_LogAdd, 0) != ERR_OK || pf == nullptr) {
            return PLCCOM_FAILED;
        }
        m_pfLogAdd = pf;
    }
    // The caller's text is formatted here, and the finished line goes to the
    // log as a "%s" argument: a '%' in the controller's name is text, never
    // a conversion.
    char szMessage[PLCCOM_LOG_LINE_LEN];
    if (vsnprintf(szMessage, sizeof(szMessage), pszInfo, argList) < 0) {
        szMessage[0] = '\0';
    }
    // "[" + name (cut to PLCCOM_LOG_NAME_LEN) + "]: " + message, cut to the line.
    char szLine[PLCCOM_LOG_LINE_LEN];
    RTS_SIZE ulPos = 0;
    auto append = [&szLine, &ulPos](const char* psz, RTS_SIZE ulMax) {
        for (RTS_SIZE i = 0; i < ulMax && psz[i] != '\0' && ulPos + 1 < sizeof(szLine); ++i) {
            szLine[ulPos++] = psz[i];
        }
    };
    const char* pszName = m_pszPlcName.get();
    if (pszName != nullptr) {
        append("[", 1);
        append(pszName, PLCCOM_LOG_NAME_LEN);
        append("]: ", 3);
    }
    append(szMessage, sizeof(szMessage));
    szLine[ulPos] = '\0';
    PFLogAdd pfLogAdd = reinterpret_cast<PFLogAdd>(pf);
    RTS_RESULT result = pfLogAdd(static_cast<RTS_HANDLE>(hLogger), CMPID_CmpKestrolink,
                                 static_cast<RTS_UI32>(iClassID), iErrorID, 0, "%s", szLine);
    return result == ERR_OK ? PLCCOM_OK : PLCCOM_FAILED;
}

// ---- Session and project -----------------------------------------------------------------------

RTS_I32 CPLCComBase::CreateSession(const char*, const char*, const char*, RTS_UI16) {
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase::LinkToProject(const char*) {
    return PLCCOM_OK;
}

// The earlier controller generation's status request: one service byte,
// answered by a 16-bit error word and the status byte.
RTS_I32 CPLCComBase::GetPlcStatus(PLC_STATUS* pPlcStatus) {
    if (pPlcStatus == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    const RTS_UI8 byRequest = 0x10;
    RTS_UI8* pbyReply = nullptr;
    RTS_UI32 ulReplySize = 0;
    RTS_I32 lResult = SendService(&byRequest, 1, &pbyReply, &ulReplySize);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    if (pbyReply == nullptr || ulReplySize < 3) {
        return PLCCOM_FAILED;
    }
    RTS_UI16 usError = 0;
    std::memcpy(&usError, pbyReply, sizeof(usError));
    if (Swap(usError) != 0) {
        return PLCCOM_FAILED;
    }
    switch (pbyReply[2]) {
        case PLC_STATE_RUNNNING:
        case PLC_STATE_STOP:
        case PLC_STATE_STOP_ON_BP:
            *pPlcStatus = static_cast<PLC_STATUS>(pbyReply[2]);
            break;
        default:
            *pPlcStatus = PLC_STATE_UNKNOWN;
            break;
    }
    return PLCCOM_OK;
}

// The earlier generation's other online services have no device class here:
// their layouts are not known, so they answer "not supported".
RTS_I32 CPLCComBase::SetPlcStatus(PLC_STATUS) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::ResetPlc(RESET_OPTION) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetApplicationList(char***, RTS_UI32*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::CheckAppFileConsistency(RTS_I32*, const char*, RTS_I32*, RTS_I32*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetApplicationStatus(PLC_STATUS*, const char*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::SetApplicationStatus(PLC_STATUS, const char*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::ResetApplication(RESET_OPTION, const char*) {
    return PLCCOM_NOT_SUPPORTED;
}

namespace {
// Operations with a result pointer report "not supported" through it.
RTS_I32 NotSupportedResult(RTS_I32* plResult) {
    if (plResult == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    *plResult = PLCCOM_NOT_SUPPORTED;
    return PLCCOM_OK;
}
}  // namespace

RTS_I32 CPLCComBase::GetResetOriginDeviceConfig(RTS_UI32*, RTS_UI32*, char***, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::ResetOriginDevice(RTS_UI32, RTS_UI32*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::GetDeviceOpMode(DEVICE_OPERATION_MODE*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::SetDeviceOpMode(DEVICE_OPERATION_MODE, RTS_I32*) {
    return PLCCOM_NOT_SUPPORTED;
}

// ---- Symbols -------------------------------------------------------------------------------------

RTS_I32 CPLCComBase::FindSymbolFile(std::string* pFileName) const {
    pFileName->clear();
    const char* pszProject = m_pszProject.get();
    if (pszProject == nullptr || pszProject[0] == '\0') {
        return PLCCOM_FAILED;
    }
    if (m_pszSymbolFilePath) {
        const char* pszBase = pszProject;
        for (const char* p = pszProject; *p != '\0'; ++p) {
            if (*p == '/' || *p == '\\') {
                pszBase = p + 1;
            }
        }
        if (*pszBase != '\0') {
            *pFileName = m_pszSymbolFilePath.get();
            *pFileName += pszBase;
            if (IsUsableFile(*pFileName)) {
                return PLCCOM_OK;
            }
        }
    }
    *pFileName = pszProject;
    return IsUsableFile(*pFileName) ? PLCCOM_OK : PLCCOM_FAILED;
}

RTS_I32 CPLCComBase::LoadSymbolsOffline() {
    if (m_pSymbols != nullptr) {
        return PLCCOM_OK;
    }
    try {
        std::string file;
        if (FindSymbolFile(&file) != PLCCOM_OK) {
            AddLogEntry(LOG_WARNING, 1, "CPLCComBase::LoadSymbolsOffline: no symbol configuration file (%s)",
                        file.c_str());
            return PLCCOM_FAILED;
        }
        std::unique_ptr<CXmlSymbolParser> pParser(new CXmlSymbolParser(
            m_bOfflineDontExpandSimpleTypeArrays, m_bOfflineDontExpandComplexTypeArrays));
        PlcSymbolDesc* pSymbols = nullptr;
        RTS_UI32 ulSymbols = 0;
        RTS_I32 lResult = pParser->ParseSymbolFile(file.c_str(), &pSymbols, &ulSymbols, nullptr, nullptr);
        if (lResult != PLCCOM_OK) {
            AddLogEntry(LOG_ERROR, lResult, "CPLCComBase::LoadSymbolsOffline: %s rejected (Result=%ld): %s",
                        file.c_str(), static_cast<long>(lResult), pParser->GetErrorText());
            return lResult;
        }
        m_pOfflineSymbols = std::move(pParser);
        m_pSymbols = pSymbols;
        m_ulSymbols = ulSymbols;
        AddLogEntry(LOG_INFO, 0, "CPLCComBase::LoadSymbolsOffline: %ld symbols read from %s",
                    static_cast<long>(ulSymbols), file.c_str());
    } catch (const std::bad_alloc&) {
        return PLCCOM_NO_MEMORY;
    }
    return PLCCOM_OK;
}

void CPLCComBase::DeleteSymbolsOffline() {
    if (m_pOfflineSymbols) {
        m_pSymbols = nullptr;
        m_ulSymbols = 0;
        m_pOfflineSymbols.reset();
    }
}

RTS_I32 CPLCComBase::GetSymbolAddress(RTS_UI32, char*, RTS_I32) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetSymbol(const char*, PlcSymbolDesc*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::ExpandItem(const char*, PlcSymbolDesc**, RTS_UI32*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::ReleaseExpandedItems(PlcSymbolDesc*) {
    return PLCCOM_NOT_SUPPORTED;
}

// ---- Variable lists -------------------------------------------------------------------------------

RTS_I32 CPLCComBase::AddVarsToVarList(HVARLIST, const char* const*, RTS_UI32, PlcVarValue***) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::RemoveVarsFromVarList(HVARLIST, const RTS_UI32*, RTS_UI32, PlcVarValue***) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetValueLengths(HVARLIST, RTS_UI32*, RTS_UI32, RTS_UI32) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetChangedValues(HVARLIST, RTS_UI32*, PlcVarValue***, RTS_UI32*, RTS_UI32**, RTS_UI32*) {
    return PLCCOM_NOT_SUPPORTED;
}

// ---- Settings and credentials ----------------------------------------------------------------------

RTS_I32 CPLCComBase::SetMotorola(RTS_I32 bMotorola) {
    m_bMotorola = bMotorola;
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase::SetTimeout(RTS_UI32 ulTimeout) {
    m_ulTimeout = ulTimeout;
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase::SetDeviceCredentials(const char* pUserName, RTS_UI32 userNameBufSize,
                                          const char* pPassword, RTS_UI32 passwordBufSize) {
    KlSecretText user = CopyBounded(pUserName, userNameBufSize);
    KlSecretText password = CopyBounded(pPassword, passwordBufSize);
    if (!user || !password) {
        return PLCCOM_NO_MEMORY;
    }
    m_pszUser = std::move(user);
    m_pszPassword = std::move(password);
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase::BackupDeviceCredentials() {
    KlSecretText user = CopySecret(m_pszUser.get());
    KlSecretText password = CopySecret(m_pszPassword.get());
    if ((m_pszUser && !user) || (m_pszPassword && !password)) {
        return PLCCOM_NO_MEMORY;
    }
    m_pszUserBackup = std::move(user);
    m_pszPasswordBackup = std::move(password);
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase::RestoreDeviceCredentialsIfBackedUp() {
    if (m_pszUserBackup) {
        m_pszUser = std::move(m_pszUserBackup);
    }
    if (m_pszPasswordBackup) {
        m_pszPassword = std::move(m_pszPasswordBackup);
    }
    return PLCCOM_OK;
}

// ---- Files, applications, device -----------------------------------------------------------------------

RTS_I32 CPLCComBase::UploadFile(const char*, const char*, RTS_I32* plResult, bool) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::DownloadFile(const char*, const char*, RTS_I32* plResult, bool) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::FileRename(const char*, const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::FileDelete(const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::CreateDirectory(const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::RenameDirectory(const char*, const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::DeleteDirectory(const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::ReadDirectory(CDirInfo** ppdi, const char*, RTS_I32* plResult) {
    if (ppdi != nullptr) {
        *ppdi = nullptr;
    }
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::BootprojectReload(RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::BootAppRegister(const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::BootAppReload(const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::RetainSave(const char*, RTS_I32, const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::RetainRestore(const char*, RTS_I32, const char*, RTS_I32* plResult) {
    return NotSupportedResult(plResult);
}

RTS_I32 CPLCComBase::SendEcho(RTS_UI32*, RTS_UI32*, RTS_I32*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetPrjInfo(ProjectInfo**) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetAppInfo(const char*, ProjectInfo**, ApplicationInfo2**) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::ApplicationsBackup(const char*, RTS_I32, RTS_I32, RTS_I32*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::ApplicationsRestore(const char*, RTS_I32, RTS_I32*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::GetDevInfo(DeviceInfo3** ppDevInfo) {
    if (ppDevInfo == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    m_DeviceInfo3.bMotorola = m_bMotorola;
    m_DeviceInfo3.ulBufferSize = m_ulBufferSize;
    *ppDevInfo = &m_DeviceInfo3;
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase::RenamePlc(const RTS_WCHAR*) {
    return PLCCOM_NOT_SUPPORTED;
}

RTS_I32 CPLCComBase::ReadV2DevInfo() {
    return PLCCOM_NOT_SUPPORTED;
}

void CPLCComBase::DeleteDevInfo() {
    DeviceInfo3& info = m_DeviceInfo3;
    delete[] info.pszNodeAddress;
    delete[] info.pwszNodeName;
    delete[] info.pwszTargetName;
    delete[] info.pwszTargetVendorName;
    delete[] info.pszTargetVersion;
    delete[] info.pszTargetSerialNumber;
    delete[] info.pszTargetCoreVersion;
    delete[] info.pIpAddressList;
    info.pszNodeAddress = nullptr;
    info.pwszNodeName = nullptr;
    info.pwszTargetName = nullptr;
    info.pwszTargetVendorName = nullptr;
    info.pszTargetVersion = nullptr;
    info.pszTargetSerialNumber = nullptr;
    info.pszTargetCoreVersion = nullptr;
    info.pIpAddressList = nullptr;
    info.usNumOfIpAddresses = 0;
}

void CPLCComBase::DeleteAppInfo() {
    m_pAppInfo.reset();
}

void CPLCComBase::DeletePrjInfo() {
    m_pPrjInfo.reset();
}

// ---- Byte order and helpers ------------------------------------------------------------------------------

RTS_I32 CPLCComBase::Swap(void* pData, RTS_I32 lSize) {
    return Swap(pData, lSize, 1);
}

RTS_I32 CPLCComBase::Swap(void* pData, RTS_I32 lSize, RTS_I32 lCount) {
    if (!SwapNeeded() || pData == nullptr || lSize < 1 || lCount < 1) {
        return PLCCOM_FAILED;
    }
    RTS_UI8* p = static_cast<RTS_UI8*>(pData);
    for (RTS_I32 i = 0; i < lCount; ++i) {
        ReverseBytes(p, static_cast<RTS_SIZE>(lSize));
        p += lSize;
    }
    return PLCCOM_OK;
}

RTS_UI16 CPLCComBase::Swap(RTS_UI16 usValue) {
    return SwapNeeded() ? static_cast<RTS_UI16>((usValue >> 8) | (usValue << 8)) : usValue;
}

RTS_I16 CPLCComBase::Swap(RTS_I16 sValue) {
    return static_cast<RTS_I16>(Swap(static_cast<RTS_UI16>(sValue)));
}

RTS_UI32 CPLCComBase::Swap(RTS_UI32 ulValue) {
    if (!SwapNeeded()) {
        return ulValue;
    }
    return (ulValue >> 24) | ((ulValue >> 8) & 0x0000FF00u) | ((ulValue << 8) & 0x00FF0000u) |
           (ulValue << 24);
}

RTS_I32 CPLCComBase::Swap(RTS_I32 lValue) {
    return static_cast<RTS_I32>(Swap(static_cast<RTS_UI32>(lValue)));
}

void CPLCComBase::ReadData(RTS_UI8* pbyData, const RTS_UI8** ppbySrc, RTS_UI32 ulSize) {
    std::memcpy(pbyData, *ppbySrc, ulSize);
    *ppbySrc += ulSize;
}

void CPLCComBase::WriteData(RTS_UI8** ppbyDest, const RTS_UI8* pbyData, RTS_UI32 ulSize) {
    std::memcpy(*ppbyDest, pbyData, ulSize);
    *ppbyDest += ulSize;
}

RTS_UI32 CPLCComBase::GetType(const char* pszType, RTS_UI32 ulSize) {
    return m_pHashTableVarTypes ? m_pHashTableVarTypes->GetType(pszType, ulSize)
                                : static_cast<RTS_UI32>(DATATYPE_VOID);
}

RTS_I32 CPLCComBase::IsValidProjectName(const char* psz, RTS_UI32 ulSize) {
    if (psz == nullptr) {
        return 0;
    }
    for (RTS_UI32 i = 0; (ulSize == 0 || i < ulSize) && psz[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(psz[i]);
        if (!IsAsciiAlnum(c) && c != ' ' && c != '_' && c != '.') {
            return 0;
        }
    }
    return 1;
}
