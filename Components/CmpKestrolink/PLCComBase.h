// The device interface of the SDK: the one object through which a connection
// object talks to a controller. Each interface type has a subclass (the V3
// device client with its direct and gateway transports, the V3 simulation
// device); the base holds what all of them share (identity and timing from the
// configuration, byte order, logging, the type-name table, the symbol array,
// project, application and device information, the login credentials) and
// answers "not supported" (PLCCOM_NOT_SUPPORTED) for the optional operations.
//
// A device object is used by one thread at a time: the connection object calls
// it only while it holds its online lock. The exceptions are the logging
// switches (SetLogger, SetLogging), which a client may change while another
// thread logs, and are therefore atomic.
#pragma once

#include <atomic>
#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "CmpStd.h"
#include "HelperClasses.h"
#include "kestrolink/Kestrolink.h"
#include "kestrolink/PlcConfig.h"
#include "kestrolink/PlcSymbol.h"

class CXmlSymbolParser;

// ---- Device results --------------------------------------------------------------
// 0 or negative. The connection object interprets them (reconnect, state).
#ifndef PLCCOM_OK
#define PLCCOM_OK 0
#endif
#ifndef PLCCOM_FAILED
#define PLCCOM_FAILED (-1)
#endif
#define PLCCOM_NOT_SUPPORTED (-2)
#define PLCCOM_SCAN_ACTIVE (-203)
#define PLCCOM_COMM_FATAL (-301)
#ifndef PLCCOM_NO_SYMBOLS
#define PLCCOM_NO_SYMBOLS (-503)
#endif
#ifndef PLCCOM_UNKNOWN_TYPE
#define PLCCOM_UNKNOWN_TYPE (-504)
#endif
#define PLCCOM_VARLIST_INVALID (-513)
#define PLCCOM_NO_APPLICATION (-515)
#define PLCCOM_GATEWAY_SHUTDOWN (-516)
#ifndef PLCCOM_INVALID_PARAMETER
#define PLCCOM_INVALID_PARAMETER (-517)
#endif
#ifndef PLCCOM_NO_MEMORY
#define PLCCOM_NO_MEMORY (-518)
#endif
#define PLCCOM_UNKNOWN_SYMBOL (-519)
#define PLCCOM_SCAN_TIMEOUT (-522)
#define PLCCOM_NOT_EXPANDABLE (-523)
#define PLCCOM_NO_ACCESS_RIGHTS (-525)
#define PLCCOM_DUPLICATE_PLC_NAME (-526)
#define PLCCOM_SIZE_MISMATCH (-527)
#define PLCCOM_CONSISTENCY_TIMEOUT (-528)
#define PLCCOM_SYNC_NOT_ALLOWED (-529)
#define PLCCOM_SERVICE_FAILED (-530)
#define PLCCOM_APPLICATION_NOT_RUNNING (-534)
#define PLCCOM_OPMODE_NOT_ALLOWED (-535)
#define PLCCOM_BOOTPROJECT_INCONSISTENT (-537)
#define PLCCOM_OPMODE_DENIED (-544)
#define PLCCOM_FORCES_ACTIVE (-545)
#define PLCCOM_NO_CONNECTION (-547)
#define PLCCOM_INVALID_CREDENTIALS (-548)
#define PLCCOM_USERMGMT_NOT_ACTIVE (-550)
#define PLCCOM_USERMGMT_REQUIRED (-551)

// Longest controller name in a log line, and the line itself.
#define PLCCOM_LOG_NAME_LEN 127
#define PLCCOM_LOG_LINE_LEN 256
// Longest user name or password read from the device parameters.
#define PLCCOM_CREDENTIAL_LEN 255
// Longest "SymbolFilePath" accepted; a longer one is ignored rather than cut,
// since a cut path would name another folder.
#define PLCCOM_SYMBOL_PATH_LEN 1023

// ---- Records and enumerations of the client interface -----------------------------
// The records a client sees (value records, list handles, status enumerations,
// project, application and device information) are those of the public C
// interface; the remaining ones are the device layer's own.
extern "C" {

// Node record of a network scan (filled by the name service client).
struct NodeInfoTag2;
// Reports each node found and the end of a scan; ulUserData is the value
// handed to ScanNetwork (pointer-sized: the connection object passes itself).
typedef void (*PFSCANNETWORKCALLBACK)(RTS_UINTPTR ulUserData, struct NodeInfoTag2* pNodeInfo2);

}  // extern "C"

static_assert(std::is_same<RTS_WCHAR, uint16_t>::value, "wide texts of the client records are 16-bit units");

// Bytes to allocate for a value record with room for ulSize data bytes.
inline RTS_SIZE PlcVarValueRecordSize(RTS_UI32 ulSize) {
    RTS_SIZE ulBytes = offsetof(PlcVarValueStruct, byData) + static_cast<RTS_SIZE>(ulSize);
    return ulBytes < sizeof(PlcVarValueStruct) ? sizeof(PlcVarValueStruct) : ulBytes;
}
// The data bytes of a value record, addressed from the record's start so that
// the declared one-byte array does not bound them.
inline RTS_UI8* PlcVarValueData(PlcVarValue* pValue) {
    return reinterpret_cast<RTS_UI8*>(pValue) + offsetof(PlcVarValueStruct, byData);
}

typedef enum PLCCOMSTATUS_ENUM {
    PLCCOMSTATUS_OK = 0,
    PLCCOMSTATUS_NOT_INITIALIZED = 1,
    PLCCOMSTATUS_NO_DLL_FOUND = 2,
    PLCCOMSTATUS_NOT_SUPPORTED = 3,
    PLCCOMSTATUS_NO_ENCRYPTION_POSSIBLE = 4
} PLCCOMSTATUS;

// ---- Directory listing ----------------------------------------------------------

struct _DirInfo {
    RTS_I32 bDirectory;
    std::unique_ptr<char[]> pszEntry;
    RTS_UI32 uiExtra;
};

// A directory listing handed out by ReadDirectory; the client deletes it.
class CDirInfo {
public:
    CDirInfo() = default;
    virtual ~CDirInfo() = default;
    CDirInfo(const CDirInfo&) = delete;
    CDirInfo& operator=(const CDirInfo&) = delete;

    // PLCCOM_OK, PLCCOM_INVALID_PARAMETER (null entry), PLCCOM_NO_MEMORY.
    RTS_I32 AddEntry(const char* szEntry, RTS_I32 bDirectory);
    RTS_I32 GetNumOfEntries() const { return m_lEntries; }
    // The entry's text stays owned by the listing.
    RTS_I32 GetEntry(char** ppszEntry, RTS_I32* pbDirectory, RTS_I32 lEntry) const;
    // Attaches a value to the entry added last.
    RTS_I32 AddExtra(RTS_UI32 uiExtra);
    RTS_I32 GetExtra(RTS_UI32* puiExtra, RTS_I32 lEntry) const;

protected:
    std::vector<_DirInfo> m_ppdi;
    RTS_I32 m_lEntries = 0;
};

// ---- Owned texts -------------------------------------------------------------------

using KlOwnedText = std::unique_ptr<char[]>;
// Overwrites a credential before its memory is freed.
struct KlSecretDeleter {
    void operator()(char* psz) const noexcept;
};
using KlSecretText = std::unique_ptr<char[], KlSecretDeleter>;

struct KlProjectInfoDeleter {
    void operator()(ProjectInfo* p) const noexcept;
};
struct KlApplicationInfoDeleter {
    void operator()(ApplicationInfo2* p) const noexcept;
};

// ---- The device interface ------------------------------------------------------------

class CPLCComBase {
public:
    CPLCComBase(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger);
    CPLCComBase(const CPLCComBase&) = delete;
    CPLCComBase& operator=(const CPLCComBase&) = delete;

    // Virtual operations, in their fixed slot order.
    virtual ~CPLCComBase();
    virtual PLCCOMSTATUS GetStatus() { return m_Status; }
    virtual RTS_I32 ScanNetwork(RTS_UINTPTR ulUserData, PFSCANNETWORKCALLBACK pfCallback);
    virtual RTS_I32 GetConfigInteractive(PlcConfig* pPlcConfig, PlcDeviceDesc* pDeviceDesc);
    virtual void SetLogger(void* hLogger);
    // Returns bEnable.
    virtual RTS_I32 SetLogging(RTS_I32 bEnable, RTS_UI32 ulLogFilter);
    // Writes "[<controller name>]: " and the formatted text to the logger, if
    // there is one, logging is on and the class is in the filter. 0 when the
    // line went to the logger, else PLCCOM_FAILED.
    virtual RTS_I32 AddLogEntry(RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo, ...)
        __attribute__((format(printf, 4, 5)));
    virtual RTS_I32 Open() = 0;
    virtual RTS_I32 Close() = 0;
    virtual RTS_I32 CreateSession(const char* pszClientName, const char* pszClientVendorName,
                                  const char* pszClientVersion, RTS_UI16 usClientSpecific);
    virtual RTS_I32 Login() = 0;
    virtual RTS_I32 Logout() = 0;
    virtual RTS_I32 CheckConnectResult() { return PLCCOM_OK; }
    virtual RTS_I32 LinkToProject(const char* pszProject);
    // 0 if the loaded symbols belong to the running project.
    virtual RTS_I32 CheckProjectIds() = 0;
    virtual RTS_I32 CheckConnection() { return PLCCOM_OK; }
    virtual RTS_UI32 GetSDBProjectID() { return m_ulSdbProjectId; }
    virtual RTS_I32 GetPlcProjectName(char* pszName, RTS_UI32 ulSize) = 0;
    virtual RTS_I32 GetPlcStatus(PLC_STATUS* pPlcStatus);
    virtual RTS_I32 SetPlcStatus(PLC_STATUS PlcStatus);
    virtual RTS_I32 ResetPlc(RESET_OPTION ResetOption);
    virtual RTS_I32 GetApplicationList(char*** pppszApplications, RTS_UI32* pulNumOfApplications);
    virtual RTS_I32 CheckAppFileConsistency(RTS_I32* plResult, const char* pszApplication,
                                            RTS_I32* plBootProjectResult, RTS_I32* plArchiveResult);
    virtual RTS_I32 GetApplicationStatus(PLC_STATUS* pAppStatus, const char* pszApplication);
    virtual RTS_I32 SetApplicationStatus(PLC_STATUS AppStatus, const char* pszApplication);
    virtual RTS_I32 ResetApplication(RESET_OPTION ResetOption, const char* pszApplication);
    virtual RTS_I32 GetResetOriginDeviceConfig(RTS_UI32* pulConfigOptions, RTS_UI32* pulRights,
                                               char*** pppszDescriptions, RTS_I32* plResult);
    virtual RTS_I32 ResetOriginDevice(RTS_UI32 ulConfiguration, RTS_UI32* pulResults, RTS_I32* plResult);
    virtual RTS_I32 GetDeviceOpMode(DEVICE_OPERATION_MODE* pOpMode);
    virtual RTS_I32 SetDeviceOpMode(DEVICE_OPERATION_MODE OpMode, RTS_I32* plResult);
    // Fills m_pSymbols / m_ulSymbols from the controller.
    virtual RTS_I32 LoadSymbols() = 0;
    // Reads the symbols from the local symbol-configuration file (see
    // FindSymbolFile) when the controller cannot be reached. 0 also when
    // symbols are loaded already; PLCCOM_FAILED without a usable file; else
    // the symbol file reader's result.
    virtual RTS_I32 LoadSymbolsOffline();
    virtual RTS_I32 DeleteSymbols() = 0;
    virtual RTS_I32 GetSymbols(PlcSymbolDesc** ppSymbolList, RTS_UI32* pulNumOfSymbols) = 0;
    virtual RTS_I32 GetSymbolAddress(RTS_UI32 ulSymbolIndex, char* pszMappedAddr, RTS_I32 lLen);
    virtual RTS_I32 GetSymbol(const char* pszSymbol, PlcSymbolDesc* pSymbol);
    virtual RTS_I32 ExpandItem(const char* pszSymbol, PlcSymbolDesc** ppSymbolList,
                               RTS_UI32* pulNumOfSymbols);
    virtual RTS_I32 ReleaseExpandedItems(PlcSymbolDesc* pSymbolList);
    // A device list handle, or null; the result goes behind plResult.
    virtual HVARLIST DefineVarList(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                   RTS_I32 bDataChange, RTS_UI32 ulFlags, RTS_I32* plResult) = 0;
    virtual RTS_I32 DeleteVarList(HVARLIST hVarList, RTS_I32 bDeleteLocalListOnly) = 0;
    virtual RTS_I32 AddVarsToVarList(HVARLIST hVarList, const char* const* ppszSymbols,
                                     RTS_UI32 ulNumOfSymbols, PlcVarValue*** pppValues);
    virtual RTS_I32 RemoveVarsFromVarList(HVARLIST hVarList, const RTS_UI32* pulIndexList,
                                          RTS_UI32 ulNumOfIndexes, PlcVarValue*** pppValues);
    virtual RTS_I32 GetValueLengths(HVARLIST hVarList, RTS_UI32* pValueLength, RTS_UI32 ulNumOfValues,
                                    RTS_UI32 ulStartIndex);
    // Sends the read request of a list: completes at once (sets the flag
    // behind pbSync) or signals hEvent later, storing the reply under hSem.
    virtual RTS_I32 SendVarList(HVARLIST hVarList, RTS_HANDLE hEvent, RTS_HANDLE hSem, RTS_I32* pbSync,
                                RTS_I32 bGetChangedValues, RTS_UI32* pulVarFlags) = 0;
    virtual RTS_I32 GetVarList(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) = 0;
    virtual RTS_I32 GetValues(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) = 0;
    virtual RTS_I32 GetChangedValues(HVARLIST hVarList, RTS_UI32* pulVarFlags, PlcVarValue*** pppValues,
                                     RTS_UI32* pulNumOfValues, RTS_UI32** ppulChangedValuesIndexList,
                                     RTS_UI32* pulNumOfChangedValues);
    virtual RTS_I32 WriteVarList(HVARLIST hVarList, RTS_UI32 ulNumOfSymbols, const RTS_UI8* const* ppValues,
                                 const RTS_UI32* pulValueSizes) = 0;
    virtual RTS_I32 WriteVars(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                              const RTS_UI8* const* ppValues, const RTS_UI32* pulValueSizes) = 0;
    // One raw service; the reply buffer stays the device object's until the next call.
    virtual RTS_I32 SendService(const RTS_UI8* pbySend, RTS_UI32 ulSendSize, RTS_UI8** ppbyRecv,
                                RTS_UI32* pulRecvSize) = 0;
    virtual RTS_I32 SetMotorola(RTS_I32 bMotorola);
    virtual RTS_I32 SetTimeout(RTS_UI32 ulTimeout);
    virtual RTS_UI32 GetTimeout() { return m_ulTimeout; }
    virtual RTS_UI32 GetRetries() { return m_ulTries; }
    virtual RTS_UI32 GetChannel() { return m_ulChannel; }
    // Replaces user and password by copies of at most size - 1 characters of
    // the caller's buffers (which need not be terminated). PLCCOM_OK or
    // PLCCOM_NO_MEMORY (nothing changed).
    virtual RTS_I32 SetDeviceCredentials(const char* pUserName, RTS_UI32 userNameBufSize,
                                         const char* pPassword, RTS_UI32 passwordBufSize);
    virtual RTS_I32 BackupDeviceCredentials();
    virtual RTS_I32 RestoreDeviceCredentialsIfBackedUp();
    virtual RTS_I32 UploadFile(const char* pszPlc, const char* pszHost, RTS_I32* plResult,
                               bool bUseStandardPath);
    virtual RTS_I32 DownloadFile(const char* pszHost, const char* pszPlc, RTS_I32* plResult,
                                 bool bUseStandardPath);
    virtual RTS_I32 FileRename(const char* pszOldName, const char* pszNewName, RTS_I32* plResult);
    virtual RTS_I32 FileDelete(const char* pszFile, RTS_I32* plResult);
    virtual RTS_I32 CreateDirectory(const char* pszDir, RTS_I32* plResult);
    virtual RTS_I32 RenameDirectory(const char* pszOldDir, const char* pszNewDir, RTS_I32* plResult);
    virtual RTS_I32 DeleteDirectory(const char* pszDir, RTS_I32* plResult);
    virtual RTS_I32 ReadDirectory(CDirInfo** ppdi, const char* pszBaseDir, RTS_I32* plResult);
    virtual RTS_I32 BootprojectReload(RTS_I32* plResult);
    virtual RTS_I32 BootAppRegister(const char* pszApplication, RTS_I32* plResult);
    virtual RTS_I32 BootAppReload(const char* pszApplication, RTS_I32* plResult);
    virtual RTS_I32 RetainSave(const char* pszRetainFile, RTS_I32 lBufferLen, const char* pszApplication,
                               RTS_I32* plResult);
    virtual RTS_I32 RetainRestore(const char* pszRetainFile, RTS_I32 lBufferLen, const char* pszApplication,
                                  RTS_I32* plResult);
    virtual RTS_I32 SendEcho(RTS_UI32* pulSendDataLen, RTS_UI32* pulReceiveDataLen, RTS_I32* plResult);
    virtual RTS_I32 GetPrjInfo(ProjectInfo** ppPrjInfo);
    virtual RTS_I32 GetAppInfo(const char* pszApplication, ProjectInfo** ppPrjInfo,
                               ApplicationInfo2** ppAppInfo);
    virtual RTS_I32 ApplicationsBackup(const char* pszBackupFile, RTS_I32 bForceBackup, RTS_I32 bCreateTbf,
                                       RTS_I32* plResult);
    virtual RTS_I32 ApplicationsRestore(const char* pszBackupFile, RTS_I32 bStartBootprojects,
                                        RTS_I32* plResult);
    virtual RTS_UI32 GetSessionId() { return 0; }
    // The device information, owned by the device object.
    virtual RTS_I32 GetDevInfo(DeviceInfo3** ppDevInfo);
    virtual RTS_I32 RenamePlc(const RTS_WCHAR* pwszNodeName);
    virtual RTS_I32 ReadV2DevInfo();
    virtual void DeleteDevInfo();

    // Byte order. Each Swap acts only when the controller's byte order differs
    // from the host's: the in-place forms then reverse the bytes and return 0,
    // else they return PLCCOM_FAILED and leave the data alone.
    RTS_I32 Swap(void* pData, RTS_I32 lSize);
    RTS_I32 Swap(void* pData, RTS_I32 lSize, RTS_I32 lCount);
    RTS_UI16 Swap(RTS_UI16 usValue);
    RTS_I16 Swap(RTS_I16 sValue);
    RTS_UI32 Swap(RTS_UI32 ulValue);
    RTS_I32 Swap(RTS_I32 lValue);

    // Copy ulSize bytes and advance the cursor. The caller checks the room.
    static void ReadData(RTS_UI8* pbyData, const RTS_UI8** ppbySrc, RTS_UI32 ulSize);
    static void WriteData(RTS_UI8** ppbyDest, const RTS_UI8* pbyData, RTS_UI32 ulSize);

    // Type code of an IEC type name (the device's type-name table).
    RTS_UI32 GetType(const char* pszType, RTS_UI32 ulSize);
    // 1 when the first ulSize characters (0: the whole text) are letters,
    // digits, blanks, '_' or '.', else 0.
    static RTS_I32 IsValidProjectName(const char* psz, RTS_UI32 ulSize);

    void DeleteAppInfo();
    void DeletePrjInfo();

protected:
    // The local symbol-configuration file: the "SymbolFilePath" folder plus
    // the file-name part of the project name, if that file exists and is not
    // empty; else the project name itself taken as a path, likewise. 0 and the
    // file's name, or PLCCOM_FAILED (no project, or no usable file; the name
    // then holds the last candidate tried).
    RTS_I32 FindSymbolFile(std::string* pFileName) const;
    // Releases symbols loaded by LoadSymbolsOffline (none: nothing happens).
    // Subclasses call it from DeleteSymbols.
    void DeleteSymbolsOffline();
    bool SymbolsAreOffline() const { return m_pOfflineSymbols != nullptr; }
    // The va_list form of AddLogEntry, for subclasses with their own front ends.
    RTS_I32 AddLogEntryArg(RTS_I32 iClassID, RTS_I32 iErrorID, const char* pszInfo, va_list argList);
    bool SwapNeeded() const { return (m_bMotorola != 0) != (m_bMotorolaHost != 0); }

    RTS_UI32 m_ulId;
    KlOwnedText m_pszProject;
    KlOwnedText m_pszSymbolFilePath;
    KlOwnedText m_pszDllDirectory;
    RTS_UI32 m_ulChannel;
    RTS_UI32 m_ulTimeout;
    RTS_UI32 m_ulTries;
    RTS_UI32 m_ulBufferSize;
    RTS_I32 m_bMotorola;
    RTS_I32 m_bMotorolaHost;
    RTS_I32 m_bPreCheckIdentity;
    PLCCOMSTATUS m_Status;
    std::atomic<RTS_UI32> m_ulLogFilter;
    std::atomic<void*> m_hLogger;
    std::atomic<RTS_I32> m_bLogging;
    std::unique_ptr<DataTypeHashTable> m_pHashTableVarTypes;
    RTS_UI32 m_ulSdbProjectId;
    // The symbol table, sorted by KestrolinkUtlStrICmp. Its memory belongs to
    // whoever loaded it (the subclass, or the offline reader below).
    RTS_UI32 m_ulSymbols;
    PlcSymbolDesc* m_pSymbols;
    std::unique_ptr<ProjectInfo, KlProjectInfoDeleter> m_pPrjInfo;
    std::unique_ptr<ApplicationInfo2, KlApplicationInfoDeleter> m_pAppInfo;
    KlOwnedText m_pszPlcName;
    DeviceInfo3 m_DeviceInfo3;
    KlSecretText m_pszUser;
    KlSecretText m_pszPassword;
    KlSecretText m_pszUserBackup;
    KlSecretText m_pszPasswordBackup;

private:
    // Symbols read by LoadSymbolsOffline, with the switches it reads them with.
    std::unique_ptr<CXmlSymbolParser> m_pOfflineSymbols;
    RTS_I32 m_bOfflineDontExpandSimpleTypeArrays;
    RTS_I32 m_bOfflineDontExpandComplexTypeArrays;
    // LogAdd of the log component, resolved on first use.
    std::atomic<RTS_VOID_FCTPTR> m_pfLogAdd;
};
