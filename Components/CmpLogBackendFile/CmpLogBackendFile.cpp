// The file writer of the log. The log creates one instance per logger that
// lists class 267 and hands it the logger's entries from its dumps, one
// thread at a time per logger, so a writer needs no lock of its own.
#include "CmpLogBackendFileItf.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "CMItf.h"
#include "SysFile.h"

namespace {

// Longest file name accepted; a longer one is refused, never cut (a cut name
// would write into another file).
constexpr RTS_SIZE kMaxFileName = 4096;
constexpr RTS_SIZE kLineLen = 512;

std::atomic<PFCMRegisterClass> pfCMRegisterClass{nullptr};
std::atomic<PF_GET_API> s_pfCMGetAPI{nullptr};
std::atomic<PF_GET_API2> s_pfCMGetAPI2{nullptr};
std::atomic<PF_REGISTER_CLASS> s_pfInitRegisterClass{nullptr};

struct FileBackendInstance {
    ICmpLogBackend_C itf;  // first: the instance's base interface
};

struct FileWriter {
    std::string strFile;
    RTS_HANDLE hFile = RTS_INVALID_HANDLE;
    RTS_SIZE ulSize = 0;
    RTS_I32 iMaxFileSize = 0;
    RTS_I32 iMaxFiles = 1;
    RTS_I32 iType = 0;
};

bool EndsWithLog(const std::string& s) {
    if (s.size() < 4) {
        return false;
    }
    const char* p = s.c_str() + s.size() - 4;
    return p[0] == '.' && (p[1] | 0x20) == 'l' && (p[2] | 0x20) == 'o' && (p[3] | 0x20) == 'g';
}

// Throws std::bad_alloc only.
std::string FileName(const LogOptions& lo) {
    std::string name(lo.szName, strnlen(lo.szName, sizeof(lo.szName)));
    std::string file = EndsWithLog(name) ? name : name + ".log";
    if (lo.pszPath == nullptr || lo.pszPath[0] == '\0') {
        return file;
    }
    std::string path(lo.pszPath);
    if (EndsWithLog(path)) {
        return path;
    }
    if (path.back() != '/') {
        path += '/';
    }
    return path + file;
}

RTS_RESULT OpenFile(FileWriter* pWriter) {
    RTS_RESULT r = ERR_OK;
    pWriter->hFile = SysFileOpen(pWriter->strFile.c_str(), AM_APPEND, &r);
    if (pWriter->hFile == RTS_INVALID_HANDLE) {
        return r != ERR_OK ? r : ERR_FAILED;
    }
    RTS_RESULT rSize = ERR_OK;
    RTS_SIZE ulSize = SysFileGetSize(pWriter->strFile.c_str(), &rSize);
    pWriter->ulSize = rSize == ERR_OK ? ulSize : 0;
    return ERR_OK;
}

void CloseFile(FileWriter* pWriter) {
    if (pWriter->hFile != RTS_INVALID_HANDLE) {
        SysFileClose(pWriter->hFile);
        pWriter->hFile = RTS_INVALID_HANDLE;
    }
}

// file.(n-1) is dropped, file.k moves to file.(k+1), the file to file.1.
RTS_RESULT Rotate(FileWriter* pWriter) {
    CloseFile(pWriter);
    const std::string& base = pWriter->strFile;
    if (pWriter->iMaxFiles <= 1) {
        SysFileDelete(base.c_str());
    } else {
        SysFileDelete((base + "." + std::to_string(pWriter->iMaxFiles - 1)).c_str());
        for (RTS_I32 k = pWriter->iMaxFiles - 2; k >= 1; --k) {
            std::string from = base + "." + std::to_string(k);
            if (SysFileExists(from.c_str()) == ERR_OK) {
                SysFileRename(from.c_str(), (base + "." + std::to_string(k + 1)).c_str());
            }
        }
        SysFileRename(base.c_str(), (base + ".1").c_str());
    }
    return OpenFile(pWriter);
}

RTS_SIZE FormatLine(const FileWriter* pWriter, const LogEntry* pEntry, char* pszLine, RTS_SIZE size) {
    char szTime[64];
    if (LogTimestampToText(pWriter->iType, &pEntry->tTimestamp, szTime, sizeof(szTime)) != ERR_OK) {
        szTime[0] = '\0';
    }
    int n = snprintf(pszLine, size, "%s, Cmp=%u, Class=0x%x, Error=%d, Info=%u: ", szTime,
                     static_cast<unsigned>(pEntry->CmpId), static_cast<unsigned>(pEntry->iClassID),
                     static_cast<int>(pEntry->iErrorID), static_cast<unsigned>(pEntry->iInfoID));
    RTS_SIZE len = n < 0 ? 0 : (static_cast<RTS_SIZE>(n) < size ? static_cast<RTS_SIZE>(n) : size - 1);
    // The entry's text need not be terminated within its buffer.
    RTS_SIZE textLen = strnlen(pEntry->szInfo, sizeof(pEntry->szInfo));
    for (RTS_SIZE i = 0; i < textLen && len + 2 < size; ++i) {
        unsigned char c = static_cast<unsigned char>(pEntry->szInfo[i]);
        pszLine[len++] = c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c);
    }
    pszLine[len++] = '\n';
    pszLine[len] = '\0';
    return len;
}

RTS_HANDLE ILogBackendCreate(RTS_UI32 ClassId, RTS_HANDLE hLogger, const LogOptions* pOptions,
                             RTS_RESULT* pResult) {
    (void)ClassId;
    (void)hLogger;
    RTS_RESULT rDummy = ERR_OK;
    RTS_RESULT& r = pResult != nullptr ? *pResult : rDummy;
    if (pOptions == nullptr) {
        r = ERR_PARAMETER;
        return RTS_INVALID_HANDLE;
    }
    FileWriter* pWriter = nullptr;
    try {
        pWriter = new FileWriter;
        pWriter->strFile = FileName(*pOptions);
    } catch (...) {
        delete pWriter;
        r = ERR_NOMEMORY;
        return RTS_INVALID_HANDLE;
    }
    if (pWriter->strFile.size() >= kMaxFileName) {
        delete pWriter;
        r = ERR_BUFFERSIZE;
        return RTS_INVALID_HANDLE;
    }
    pWriter->iMaxFileSize = pOptions->iMaxFileSize;
    pWriter->iMaxFiles = pOptions->iMaxFiles < 1
                             ? 1
                             : (pOptions->iMaxFiles > LOG_BACKEND_FILE_MAX_FILES ? LOG_BACKEND_FILE_MAX_FILES
                                                                                 : pOptions->iMaxFiles);
    pWriter->iType = pOptions->iType;
    r = OpenFile(pWriter);
    if (r != ERR_OK) {
        delete pWriter;
        return RTS_INVALID_HANDLE;
    }
    return pWriter;
}

RTS_RESULT ILogBackendDelete(RTS_HANDLE hLogBackend, RTS_HANDLE hLogger) {
    (void)hLogger;
    if (hLogBackend == nullptr || hLogBackend == RTS_INVALID_HANDLE) {
        return ERR_PARAMETER;
    }
    auto* pWriter = static_cast<FileWriter*>(hLogBackend);
    CloseFile(pWriter);
    delete pWriter;
    return ERR_OK;
}

void ILogBackendAdd(RTS_HANDLE hLogBackend, RTS_HANDLE hLogger, const LogEntry* pEntry, RTS_RESULT* pResult) {
    (void)hLogger;
    RTS_RESULT rDummy = ERR_OK;
    RTS_RESULT& r = pResult != nullptr ? *pResult : rDummy;
    if (hLogBackend == nullptr || hLogBackend == RTS_INVALID_HANDLE || pEntry == nullptr) {
        r = ERR_PARAMETER;
        return;
    }
    auto* pWriter = static_cast<FileWriter*>(hLogBackend);
    char szLine[kLineLen];
    RTS_SIZE len = FormatLine(pWriter, pEntry, szLine, sizeof(szLine));
    try {
        if (pWriter->hFile == RTS_INVALID_HANDLE) {
            r = OpenFile(pWriter);
            if (r != ERR_OK) {
                return;
            }
        }
        if (pWriter->iMaxFileSize > 0 && pWriter->ulSize > 0 &&
            pWriter->ulSize + len > static_cast<RTS_SIZE>(pWriter->iMaxFileSize)) {
            r = Rotate(pWriter);
            if (r != ERR_OK) {
                return;
            }
        }
    } catch (...) {
        r = ERR_NOMEMORY;
        return;
    }
    RTS_RESULT rWrite = ERR_OK;
    RTS_SIZE written = SysFileWrite(pWriter->hFile, szLine, len, &rWrite);
    pWriter->ulSize += written;
    if (rWrite != ERR_OK || written != len) {
        // Opened again on the next entry; the entry is offered again.
        CloseFile(pWriter);
        r = rWrite != ERR_OK ? rWrite : ERR_FAILED;
        return;
    }
    r = ERR_OK;
}

const ICmpLogBackend_C s_itfTemplate = {ITFID_ICmpLogBackend, ILogBackendCreate, ILogBackendDelete,
                                        ILogBackendAdd};

RTS_RESULT SilentGetAPI(const char* pszName, RTS_VOID_FCTPTR* ppf, RTS_UI32 ulSignature) {
    PF_GET_API2 pfGet2 = s_pfCMGetAPI2.load();
    if (pfGet2 != nullptr) {
        return pfGet2(pszName, ppf, CM_IMPORT_OPTION_SILENT, ulSignature, 0);
    }
    PF_GET_API pfGet = s_pfCMGetAPI.load();
    return pfGet != nullptr ? pfGet(pszName, ppf, ulSignature) : ERR_NOTINITIALIZED;
}

RTS_RESULT ExportFunctions(void) {
    return ERR_OK;
}

RTS_RESULT ImportFunctions(void) {
    // Without the import the manager's own pointer from the entry is used.
    KL_IMPORT(SilentGetAPI, CMRegisterClass);
    return ERR_OK;
}

RTS_UI32 GetVersion(void) {
    return 0x03051114u;
}

RTS_RESULT HookFunction(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    if (ulHook == CH_INIT_SYSTEM) {
        // Registered before the log creates its backends at CH_INIT2. Not
        // unregistered at exit: the log deletes its instances in its last
        // exit hook, and the manager drops its class table after that.
        PFCMRegisterClass pfRegister = pfCMRegisterClass.load();
        if (pfRegister == nullptr) {
            pfRegister = s_pfInitRegisterClass.load();
        }
        if (pfRegister != nullptr) {
            RTS_RESULT r = pfRegister(CMPID_CmpLogBackendFile, CLASSID_CCmpLogBackendFile);
            return r == ERR_DUPLICATE ? ERR_OK : r;
        }
    }
    return ERR_OK;
}

}  // namespace

void* CmpLogBackendFileCreateInstance(RTS_UI32 ClassId, RTS_RESULT* pResult) {
    (void)ClassId;
    auto* pInstance = new (std::nothrow) FileBackendInstance{s_itfTemplate};
    if (pResult != nullptr) {
        *pResult = pInstance != nullptr ? ERR_OK : ERR_NOMEMORY;
    }
    return pInstance;
}

RTS_RESULT CmpLogBackendFileDeleteInstance(void* pIBase) {
    auto* pInstance = static_cast<FileBackendInstance*>(pIBase);
    if (pInstance == nullptr || pInstance->itf.ulItfId != ITFID_ICmpLogBackend ||
        pInstance->itf.ILogBackendAdd != ILogBackendAdd) {
        return ERR_PARAMETER;
    }
    delete pInstance;
    return ERR_OK;
}

RTS_RESULT LogBackendFileGetFileName(const LogOptions* pOptions, char* pszFile, RTS_SIZE size) {
    if (pOptions == nullptr || pszFile == nullptr) {
        return ERR_PARAMETER;
    }
    if (size == 0) {
        return ERR_BUFFERSIZE;
    }
    try {
        std::string file = FileName(*pOptions);
        if (file.size() >= size) {
            pszFile[0] = '\0';
            return ERR_BUFFERSIZE;
        }
        memcpy(pszFile, file.c_str(), file.size() + 1);
    } catch (...) {
        pszFile[0] = '\0';
        return ERR_NOMEMORY;
    }
    return ERR_OK;
}

RTS_RESULT CmpLogBackendFile__Entry(INIT_STRUCT* pInitStruct) {
    if (pInitStruct == nullptr) {
        return ERR_PARAMETER;
    }
    pInitStruct->CmpId = CMPID_CmpLogBackendFile;
    pInitStruct->pfExportFunctions = ExportFunctions;
    pInitStruct->pfImportFunctions = ImportFunctions;
    pInitStruct->pfGetVersion = GetVersion;
    pInitStruct->pfHookFunction = HookFunction;
    pInitStruct->pfCreateInstance = CmpLogBackendFileCreateInstance;
    pInitStruct->pfDeleteInstance = CmpLogBackendFileDeleteInstance;
    s_pfCMGetAPI = pInitStruct->pfCMGetAPI;
    s_pfCMGetAPI2 = pInitStruct->pfCMGetAPI2;
    s_pfInitRegisterClass = pInitStruct->pfCMRegisterClass;
    return ERR_OK;
}
