/* The C interface of the Kestrolink SDK: one handle per connection object,
   created by KestrolinkInit (or one of its siblings) and ended by
   KestrolinkExit. Every function takes that handle first and forwards to the
   connection object; a handle of 0 never reaches an object (the functions
   then return 1, a null list or nothing, as noted). Usable from C and C++.

   Ownership rules a client must know:
   - value records (PlcVarValue) handed out by a read belong to the list that
     produced them and stay valid until that list is read again or released;
     the client never frees them;
   - an event handed to KestrolinkConnect belongs to the SDK from then on and
     is deleted by the next KestrolinkConnect with another event, by
     KestrolinkDisconnect or by KestrolinkExit;
   - events and callbacks handed to the cyclic-list calls are kept by the SDK
     while the list uses them; a call that fails leaves the events with the
     caller.

   Layout of the records defined here (byte offsets), 32-bit ARM / 64-bit Linux:
     PlcVarValue   packed: ulTimeStamp 0, bQuality 4, byData 5 (on both)
     IpInfo        32 bytes: szIp 0, szMask 16 (on both)
     DeviceInfo3   64 / 104 bytes: ulTargetId 20 / 40, bMotorola 36 / 56,
                   pszTargetSerialNumber 40 / 64, usTargetChannels 52 / 84,
                   pIpAddressList 56 / 88, ulSettings 60 / 96 */
#ifndef KESTROLINK_KESTROLINK_H
#define KESTROLINK_KESTROLINK_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "kestrolink/KestrolinkExport.h"
#include "kestrolink/KestrolinkTypes.h"
#include "kestrolink/PlcConfig.h"
#include "kestrolink/PlcSymbol.h"

/* No C++ exception leaves a function of the interface. */
#ifndef KESTROLINK_NOTHROW
#if defined(__cplusplus)
#define KESTROLINK_NOTHROW noexcept
#else
#define KESTROLINK_NOTHROW
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Handle of a connection object (its address; 0 = none) and a platform
   handle (events); the same types as inside the SDK. */
typedef uintptr_t RTS_UINTPTR;
typedef void* RTS_HANDLE;

/* Version of the SDK: one byte per number, major first (3.5.17.20), and the
   vendor name the SDK's own clients report to a controller. */
#define KESTROLINK_VERSION 0x03051114u
#define KESTROLINK_VENDOR_NAME "Kestrolink"

/* Flags of a variable list. */
#define VARLIST_FLAG_WRITE_ACCESS 0x1u                  /* the list may be written */
#define VARLIST_FLAG_CONSISTENT_SYNCHRONIZED_WRITE 0x8u /* written as one consistent block */
#define VARLIST_FLAG_KEEP_VARLIST_ON_DISCONNECT 0x10u   /* cyclic lists: kept over a lost connection */

/* A synchronous variable list, and a cyclic one: opaque. */
typedef void* HVARLIST;
typedef void* HCYCLIST;

/* One value as a read hands it out: the data bytes start directly after the
   quality byte (byte 5) and are as long as the variable. The record is packed
   so that this holds on every host; read ulTimeStamp through the record (or
   memcpy it), never through a pointer to the field. */
#pragma pack(push, 1)
typedef struct PlcVarValueStruct {
    uint32_t ulTimeStamp;
    uint8_t bQuality;
    uint8_t byData[1];
} PlcVarValueStruct, PlcVarValue;
#pragma pack(pop)

typedef enum PLC_STATUS_ENUM {
    PLC_STATE_RUNNNING = 0,
    PLC_STATE_STOP = 1,
    PLC_STATE_STOP_ON_BP = 2,
    PLC_STATE_UNKNOWN = 255
} PLC_STATUS;

typedef enum RESET_OPTION_ENUM { PLC_RESET_WARM = 0, PLC_RESET_COLD = 1, PLC_RESET_ORIGIN = 2 } RESET_OPTION;

typedef enum DEVICE_OPERATION_MODE_ENUM {
    DEVICE_OPMODE_UNKNOWN = 0,
    DEVICE_OPMODE_DEBUG = 1,
    DEVICE_OPMODE_LOCKED = 2,
    DEVICE_OPMODE_OPERATIONAL = 3
} DEVICE_OPERATION_MODE;

/* Project and application information; the texts belong to the SDK. */
typedef struct ProjectInfoTag {
    char* pszProject;
    char* pszTitle;
    char* pszVersion;
    char* pszAuthor;
    char* pszDescription;
} ProjectInfoTag, ProjectInfo;

typedef struct ApplicationInfoTag2 {
    char* pszName;
    char* pszProject;
    char* pszAuthor;
    char* pszVersion;
    char* pszDescription;
    char* pszProfile;
} ApplicationInfoTag2, ApplicationInfo2;

typedef struct IpInfoTag {
    char szIp[16];
    char szMask[16];
} IpInfoTag, IpInfo;

/* Device information; the texts and the address list belong to the SDK.
   Wide texts are 16-bit code units. */
typedef struct DeviceInfoTag3 {
    char* pszNodeAddress;
    uint16_t* pwszNodeName;
    uint16_t* pwszTargetName;
    uint16_t* pwszTargetVendorName;
    char* pszTargetVersion;
    uint32_t ulTargetId;
    uint32_t ulTargetType;
    uint32_t ulBufferSize;
    uint32_t DeviceSessionId;
    int32_t bMotorola;
    char* pszTargetSerialNumber;
    char* pszTargetCoreVersion;
    uint32_t ulTargetIdentFlags;
    uint16_t usTargetChannels;
    uint16_t usNumOfIpAddresses;
    IpInfoTag* pIpAddressList;
    uint32_t ulSettings;
} DeviceInfoTag3, DeviceInfo3;

/* ---- Callbacks. Each runs on a thread of the SDK, never on the caller's. ---- */

/* A node found by a network scan, and its end (bComplete 1). */
typedef void (*KESTROLINKSCANNETWORKCALLBACK)(RTS_UINTPTR hKestrolink, NodeInfotyp2* pNodeInfo);
typedef long (*KESTROLINKSCANNETWORKCALLBACK2)(RTS_UINTPTR hKestrolink, NodeInfotyp2* pNodeInfo,
                                               void* pCstData);
/* The controller's certificate and the TLS layer's verdict; the result is
   the verdict to use. */
typedef long (*KESTROLINKVERIFYPLCCERTCALLBACK)(RTS_UINTPTR hKestrolink, char* pszBase64PlcCert,
                                                unsigned long ulBase64PlcCertSize, long lVerifyResult);
typedef long (*KESTROLINKVERIFYPLCCERTCALLBACK2)(RTS_UINTPTR hKestrolink, char* pszBase64PlcCert,
                                                 unsigned long ulBase64PlcCertSize, long lVerifyResult,
                                                 void* pCstData);
/* A new connection state (KESTROLINK_STATE). */
typedef long (*KESTROLINKSTATECHANGECALLBACK)(RTS_UINTPTR hKestrolink, long lState);
typedef long (*KESTROLINKSTATECHANGECALLBACK2)(RTS_UINTPTR hKestrolink, long lState, void* pCstData);
/* Credentials for a login: fill the zeroed buffers (terminated) and return
   0, or return any other value to supply none. */
typedef long (*KESTROLINKREQUESTCREDENTIALSCALLBACK)(RTS_UINTPTR hKestrolink,
                                                     RequestCredentialsType requestCredentialsType,
                                                     char* pszUserName, unsigned long ulUserNameBufSize,
                                                     char* pszPassword, unsigned long ulPasswordBufSize,
                                                     void* pCstData);
/* Changed application states. */
typedef long (*KESTROLINKREADAPPSTATECALLBACK)(RTS_UINTPTR hKestrolink,
                                               struct AppStateListCmpTag* pAppStateListCmp, void* pCstData);
/* A cyclic list finished an update, has changed values, or could not be
   defined again after a reconnect. */
typedef long (*KESTROLINKVARLISTCALLBACK)(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, void* pCstData);

/* ---- Creation and end ---- */

/* With the given configuration (both may be null). A log file switches
   logging on when no configuration was given. 0 only when no object could
   be made. */
KESTROLINK_API RTS_UINTPTR KestrolinkInit(PlcConfig* pPlcConfig, PlcDeviceDesc* pDeviceDesc,
                                          const char* pszLogFile) KESTROLINK_NOTHROW;
/* Without configuration, for the interface type it. */
KESTROLINK_API RTS_UINTPTR KestrolinkInit2(ItfType it, const char* pszLogFile) KESTROLINK_NOTHROW;
/* From entry ulId (or the entry named pszPlcName) of a configuration INI
   file, which also becomes the runtime's settings file; 0 when the file
   holds no such entry. */
KESTROLINK_API RTS_UINTPTR KestrolinkInitByFile(uint32_t ulId, const char* pszIniFile,
                                                const char* pszLogFile) KESTROLINK_NOTHROW;
KESTROLINK_API RTS_UINTPTR KestrolinkInitByFilePlcName(const char* pszPlcName, const char* pszIniFile,
                                                       const char* pszLogFile) KESTROLINK_NOTHROW;
/* Waits for a running network scan to end, disconnects and destroys the
   object; the handle is invalid afterwards. */
KESTROLINK_API long KestrolinkExit(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
/* The last object to go stops the SDK's runtime completely. */
KESTROLINK_API long KestrolinkSetFinalShutDown(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
/* KESTROLINK_VERSION, whatever the handle. */
KESTROLINK_API uint32_t KestrolinkGetVersion(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;

/* ---- Connection ---- */

/* ulTimeout 0xFFFFFFFF connects synchronously in the caller's thread. */
KESTROLINK_API long KestrolinkConnect(RTS_UINTPTR hKestrolink, uint32_t ulTimeout,
                                      RTS_HANDLE hStateChangedEvent, int32_t bLoadSymbols) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkDisconnect(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
/* A KESTROLINK_STATE; STATE_PLC_NOT_CONNECTED for handle 0. */
KESTROLINK_API long KestrolinkGetState(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
/* The configured controller name (owned by the object), or null. */
KESTROLINK_API const char* KestrolinkGetName(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkGetLastError(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkStartKeeplive(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkStopKeeplive(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
/* Before the first connect only. */
KESTROLINK_API long KestrolinkSetClientInformation(RTS_UINTPTR hKestrolink, const char* pszClientName,
                                                   const char* pszClientVendorName,
                                                   const char* pszClientVersion,
                                                   uint16_t usClientSpecific) KESTROLINK_NOTHROW;

/* ---- Configuration ---- */

KESTROLINK_API long KestrolinkSetConfig(RTS_UINTPTR hKestrolink, PlcConfig* pPlcConfig,
                                        PlcDeviceDesc* pDeviceDesc) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSetConfigByString(RTS_UINTPTR hKestrolink, const char* pszConfig,
                                                uint32_t ulConfigLen,
                                                const char* pszLineEnd) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSetConfigByFile(RTS_UINTPTR hKestrolink,
                                              const char* pszIniFile) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSetConfigInteractive(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
/* A null *pp receives the object's own record; a non-null one a copy. */
KESTROLINK_API long KestrolinkGetConfig(RTS_UINTPTR hKestrolink, PlcConfig** ppPlcConfig,
                                        PlcDeviceDesc** ppDeviceDesc) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSaveConfigInFile(RTS_UINTPTR hKestrolink,
                                               const char* pszIniFile) KESTROLINK_NOTHROW;

/* ---- Callbacks ---- */

KESTROLINK_API long KestrolinkSetConnectionCallbacks(
    RTS_UINTPTR hKestrolink, KESTROLINKSTATECHANGECALLBACK pfStateChangeCallback,
    KESTROLINKVERIFYPLCCERTCALLBACK pfVerifyPlcCertCallback) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSetConnectionCallbacks2(
    RTS_UINTPTR hKestrolink, KESTROLINKSTATECHANGECALLBACK2 pfStateChangeCallback2, void* pStateCstData,
    KESTROLINKVERIFYPLCCERTCALLBACK2 pfVerifyPlcCertCallback2, void* pVerifyCstData) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSetConnectionCallbacks3(
    RTS_UINTPTR hKestrolink, KESTROLINKSTATECHANGECALLBACK2 pfStateChangeCallback2, void* pStateCstData,
    KESTROLINKVERIFYPLCCERTCALLBACK2 pfVerifyPlcCertCallback2, void* pVerifyCstData,
    KESTROLINKREQUESTCREDENTIALSCALLBACK pfRequestCredentialsCallback,
    void* pRequestCredentialsCstData) KESTROLINK_NOTHROW;
/* 9 without a callback, 22 while a scan runs. */
KESTROLINK_API long KestrolinkScanNetwork(RTS_UINTPTR hKestrolink, GatewayConnection* pGatewayConnection,
                                          KESTROLINKSCANNETWORKCALLBACK pfPlcFoundCallback)
    KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkScanNetwork2(RTS_UINTPTR hKestrolink, GatewayConnection* pGatewayConnection,
                                           KESTROLINKSCANNETWORKCALLBACK2 pfPlcFoundCallback2,
                                           void* pScanCstData) KESTROLINK_NOTHROW;

/* ---- Logging ---- */

KESTROLINK_API long KestrolinkSetLogging(RTS_UINTPTR hKestrolink, int32_t bEnable,
                                         uint32_t ulLogFilter) KESTROLINK_NOTHROW;
/* 0 for handle 0. */
KESTROLINK_API long KestrolinkGetLogging(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSetLogFileCapacity(RTS_UINTPTR hKestrolink, int32_t iMaxFileSize,
                                                 int32_t iMaxFiles) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSetLogFile(RTS_UINTPTR hKestrolink, const char* pszLogFile) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkAddLogEntry(RTS_UINTPTR hKestrolink, uint32_t CmpId, int32_t iClassID,
                                          int32_t iErrorID, const char* pszInfo, ...) KESTROLINK_NOTHROW
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;
KESTROLINK_API long KestrolinkAddLogEntryArg(RTS_UINTPTR hKestrolink, uint32_t CmpId, int32_t iClassID,
                                             int32_t iErrorID, const char* pszInfo,
                                             va_list* pArgList) KESTROLINK_NOTHROW;

/* ---- Symbols and items ---- */

KESTROLINK_API long KestrolinkLoadSymbolsFromPlc(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkLoadSymbolsFromPlc2(RTS_UINTPTR hKestrolink,
                                                  int32_t bLoadSymbolsOnReconnect) KESTROLINK_NOTHROW;
/* The symbol array stays the object's. */
KESTROLINK_API long KestrolinkGetAllItems(RTS_UINTPTR hKestrolink, PlcSymbolDesc** ppSymbolList,
                                          uint32_t* pulNumOfSymbols) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkEnterItemAccess(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkLeaveItemAccess(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkEnterOnlineAccess(RTS_UINTPTR hKestrolink,
                                                uint32_t ulTimeout) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkLeaveOnlineAccess(RTS_UINTPTR hKestrolink) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkGetItem(RTS_UINTPTR hKestrolink, const char* pszSymbol,
                                      PlcSymbolDesc* pSymbol) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkGetAddressOfMappedItem(RTS_UINTPTR hKestrolink, const char* pszSymbol,
                                                     char* pszMappedAddr, int32_t lLen) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkExpandItem(RTS_UINTPTR hKestrolink, const char* pszSymbol,
                                         PlcSymbolDesc** ppSymbolList,
                                         uint32_t* pulNumOfSymbols) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkReleaseExpandedItems(RTS_UINTPTR hKestrolink,
                                                   PlcSymbolDesc* pSymbolList) KESTROLINK_NOTHROW;
/* The controller's identification as the connection read it (node and
   target names, vendor, versions, serial number, addresses). The record
   belongs to the connection and stays valid until it reconnects or ends. */
KESTROLINK_API long KestrolinkGetDeviceInfo3(RTS_UINTPTR hKestrolink,
                                             DeviceInfo3** ppDeviceInfo) KESTROLINK_NOTHROW;

/* ---- Synchronous variable access ----
   Results: 0; 1 not running; 9 invalid parameter; 11 definition refused by
   the device; the four below; -1 any other failure. */
#define RESULT_WRITE_SIZE_MISMATCH 32 /* a write by names gave a size the variable does not have */
#define RESULT_NO_WRITE_ACCESS 33     /* the list was defined without VARLIST_FLAG_WRITE_ACCESS */
#define RESULT_CONSISTENCY_TIMEOUT \
    34                             /* the controller could not read or write the list consistently in time */
#define RESULT_SYNC_NOT_ALLOWED 35 /* the controller refused synchronised access to the list */

/* A list of names to read (and, with VARLIST_FLAG_WRITE_ACCESS, to write)
   again and again; null on failure, the result goes behind plResult. */
KESTROLINK_API HVARLIST KestrolinkSyncDefineVarList(RTS_UINTPTR hKestrolink, char** ppszSymbols,
                                                    uint32_t ulNumOfSymbols, uint32_t ulFlags,
                                                    int32_t* plResult) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSyncDeleteVarList(RTS_UINTPTR hKestrolink,
                                                HVARLIST hSyncVarList) KESTROLINK_NOTHROW;
/* One value record per name, in the order of the names. */
KESTROLINK_API long KestrolinkSyncReadVarListFromPlc(RTS_UINTPTR hKestrolink, HVARLIST hSyncVarList,
                                                     PlcVarValue*** pppValues,
                                                     uint32_t* pulNumOfValues) KESTROLINK_NOTHROW;
/* pulValueSizes may be null (each value as long as its variable). */
KESTROLINK_API long KestrolinkSyncWriteVarListToPlc(RTS_UINTPTR hKestrolink, HVARLIST hSyncVarList,
                                                    uint32_t ulNumOfSymbols, uint8_t** ppbyValues,
                                                    uint32_t* pulValueSizes) KESTROLINK_NOTHROW;
/* One-shot read; the returned handle (null on failure) keeps the values
   until KestrolinkSyncReadVarsFromPlcReleaseValues. */
KESTROLINK_API HVARLIST KestrolinkSyncReadVarsFromPlc(RTS_UINTPTR hKestrolink, char** ppszSymbols,
                                                      uint32_t ulNumOfSymbols, PlcVarValue*** pppValues,
                                                      uint32_t* pulNumOfValues) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSyncReadVarsFromPlcReleaseValues(RTS_UINTPTR hKestrolink,
                                                               HVARLIST hSyncRead) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSyncWriteVarsToPlc(RTS_UINTPTR hKestrolink, char** ppszSymbols,
                                                 uint32_t ulNumOfSymbols,
                                                 uint8_t** ppbyValues) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkSyncWriteVarsToPlc2(RTS_UINTPTR hKestrolink, char** ppszSymbols,
                                                  uint32_t ulNumOfSymbols, uint8_t** ppbyValues,
                                                  uint32_t* pulValueSizes) KESTROLINK_NOTHROW;

/* ---- Cyclic variable lists ----
   Four ways to be told of updates: callback objects (C++ only, below),
   events, C callbacks, and C callbacks with a reactivation callback. An event
   that is 0 or all bits set (also 0xFFFFFFFF) and a null function mean "not
   wanted". */

/* Events; the same as KestrolinkCycDefineVarList2 with flags 0 and no result. */
KESTROLINK_API HCYCLIST KestrolinkCycDefineVarList(RTS_UINTPTR hKestrolink, char** ppszSymbols,
                                                   uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                                   RTS_HANDLE hUpdateReadyEvent,
                                                   RTS_HANDLE hDataChangeEvent) KESTROLINK_NOTHROW;
KESTROLINK_API HCYCLIST KestrolinkCycUpdateVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                                   char** ppszSymbols, uint32_t ulNumOfSymbols,
                                                   uint32_t ulUpdateRate, RTS_HANDLE hUpdateReadyEvent,
                                                   RTS_HANDLE hDataChangeEvent) KESTROLINK_NOTHROW;
KESTROLINK_API HCYCLIST KestrolinkCycDefineVarList2(RTS_UINTPTR hKestrolink, char** ppszSymbols,
                                                    uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                                    RTS_HANDLE hUpdateReadyEvent, RTS_HANDLE hDataChangeEvent,
                                                    uint32_t ulFlags, int32_t* plResult) KESTROLINK_NOTHROW;
KESTROLINK_API HCYCLIST KestrolinkCycUpdateVarList2(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                                    char** ppszSymbols, uint32_t ulNumOfSymbols,
                                                    uint32_t ulUpdateRate, RTS_HANDLE hUpdateReadyEvent,
                                                    RTS_HANDLE hDataChangeEvent, uint32_t ulFlags,
                                                    int32_t* plResult) KESTROLINK_NOTHROW;
KESTROLINK_API HCYCLIST KestrolinkCycDefineVarList3(RTS_UINTPTR hKestrolink, char** ppszSymbols,
                                                    uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                                    KESTROLINKVARLISTCALLBACK pfUpdateReadyCallback,
                                                    void* pUpdateReadyCstData,
                                                    KESTROLINKVARLISTCALLBACK pfDataChangedCallback,
                                                    void* pDataChangedCstData, uint32_t ulFlags,
                                                    int32_t* plResult) KESTROLINK_NOTHROW;
KESTROLINK_API HCYCLIST KestrolinkCycUpdateVarList3(
    RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols, uint32_t ulNumOfSymbols,
    uint32_t ulUpdateRate, KESTROLINKVARLISTCALLBACK pfUpdateReadyCallback, void* pUpdateReadyCstData,
    KESTROLINKVARLISTCALLBACK pfDataChangedCallback, void* pDataChangedCstData, uint32_t ulFlags,
    int32_t* plResult) KESTROLINK_NOTHROW;
KESTROLINK_API HCYCLIST KestrolinkCycDefineVarList4(
    RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
    KESTROLINKVARLISTCALLBACK pfUpdateReadyCallback, void* pUpdateReadyCstData,
    KESTROLINKVARLISTCALLBACK pfDataChangedCallback, void* pDataChangedCstData, uint32_t ulFlags,
    int32_t* plResult, KESTROLINKVARLISTCALLBACK pfReactivateInactiveVarListCallback,
    void* pReactivateInactiveVarListCstData) KESTROLINK_NOTHROW;
KESTROLINK_API HCYCLIST KestrolinkCycUpdateVarList4(
    RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols, uint32_t ulNumOfSymbols,
    uint32_t ulUpdateRate, KESTROLINKVARLISTCALLBACK pfUpdateReadyCallback, void* pUpdateReadyCstData,
    KESTROLINKVARLISTCALLBACK pfDataChangedCallback, void* pDataChangedCstData, uint32_t ulFlags,
    int32_t* plResult, KESTROLINKVARLISTCALLBACK pfReactivateInactiveVarListCallback,
    void* pReactivateInactiveVarListCstData) KESTROLINK_NOTHROW;
/* KestrolinkCycDeleteVarList2 with bKeepalive 1. */
KESTROLINK_API long KestrolinkCycDeleteVarList(RTS_UINTPTR hKestrolink,
                                               HCYCLIST hCycVarList) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkCycDeleteVarList2(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                                int32_t bKeepalive) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkCycAddSymbolsToVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                                     char** ppszSymbols,
                                                     uint32_t ulNumOfSymbolsToAdd) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkCycRemoveSymbolsFromVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                                          char** ppszSymbols,
                                                          uint32_t ulNumOfSymbolsToRemove) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkCycEnableList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkCycDisableList(RTS_UINTPTR hKestrolink,
                                             HCYCLIST hCycVarList) KESTROLINK_NOTHROW;
/* The list's own value array: read it between KestrolinkCycEnterVarAccess
   and KestrolinkCycLeaveVarAccess. */
KESTROLINK_API long KestrolinkCycReadVars(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                          PlcVarValue*** pppValues,
                                          uint32_t* pulNumOfValues) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkCycReadChangedVars(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                                 PlcVarValue*** pppChangedValues,
                                                 uint32_t** ppChangedValuesIndex,
                                                 uint32_t* pulNumOfChangedValues) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkCycSetUpdateRate(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                               uint32_t ulUpdateRate) KESTROLINK_NOTHROW;
/* 1 for handle 0, 0xFFFFFFFF for an invalid list. */
KESTROLINK_API uint32_t KestrolinkCycGetUpdateRate(RTS_UINTPTR hKestrolink,
                                                   HCYCLIST hCycVarList) KESTROLINK_NOTHROW;
KESTROLINK_API uint32_t KestrolinkCycGetOperatingRate(RTS_UINTPTR hKestrolink,
                                                      HCYCLIST hCycVarList) KESTROLINK_NOTHROW;
KESTROLINK_API long KestrolinkCycGetSymbolList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList,
                                               char*** pppCycSymbolList) KESTROLINK_NOTHROW;
KESTROLINK_API void KestrolinkCycEnterVarAccess(RTS_UINTPTR hKestrolink,
                                                HCYCLIST hCycVarList) KESTROLINK_NOTHROW;
KESTROLINK_API void KestrolinkCycLeaveVarAccess(RTS_UINTPTR hKestrolink,
                                                HCYCLIST hCycVarList) KESTROLINK_NOTHROW;

#ifdef __cplusplus
}  // extern "C"

/* Callback objects (C++ only, for programs that link the SDK's classes): the
   caller's objects are used as they are and stay the caller's. */
class CKestrolinkCallback;
HCYCLIST KestrolinkCycDefineVarList(RTS_UINTPTR hKestrolink, char** ppszSymbols, uint32_t ulNumOfSymbols,
                                    uint32_t ulUpdateRate, CKestrolinkCallback* pUpdateReadyCallback,
                                    CKestrolinkCallback* pDataChangeCallback, uint32_t ulFlags,
                                    int32_t* plResult,
                                    CKestrolinkCallback* pReactivateInactiveVarListCallback) noexcept;
HCYCLIST KestrolinkCycUpdateVarList(RTS_UINTPTR hKestrolink, HCYCLIST hCycVarList, char** ppszSymbols,
                                    uint32_t ulNumOfSymbols, uint32_t ulUpdateRate,
                                    CKestrolinkCallback* pUpdateReadyCallback,
                                    CKestrolinkCallback* pDataChangeCallback, uint32_t ulFlags,
                                    int32_t* plResult,
                                    CKestrolinkCallback* pReactivateInactiveVarListCallback) noexcept;
#endif

KESTROLINK_STATIC_ASSERT(offsetof(PlcVarValueStruct, bQuality) == 4, "PlcVarValue.bQuality");
KESTROLINK_STATIC_ASSERT(offsetof(PlcVarValueStruct, byData) == 5, "PlcVarValue.byData right after bQuality");
KESTROLINK_STATIC_ASSERT(sizeof(PlcVarValueStruct) == 6, "PlcVarValue is packed");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_STATUS) == 4, "PLC_STATUS is a 32-bit value");
KESTROLINK_STATIC_ASSERT(sizeof(RESET_OPTION) == 4, "RESET_OPTION is a 32-bit value");
KESTROLINK_STATIC_ASSERT(sizeof(DEVICE_OPERATION_MODE) == 4, "DEVICE_OPERATION_MODE is a 32-bit value");
KESTROLINK_STATIC_ASSERT(sizeof(IpInfoTag) == 32, "IpInfo size");
KESTROLINK_STATIC_ASSERT(sizeof(ProjectInfoTag) == 5 * sizeof(void*), "ProjectInfo size");
KESTROLINK_STATIC_ASSERT(sizeof(ApplicationInfoTag2) == 6 * sizeof(void*), "ApplicationInfo2 size");

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, ulTargetId) == 20, "DeviceInfo3.ulTargetId (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, bMotorola) == 36, "DeviceInfo3.bMotorola (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, pszTargetSerialNumber) == 40,
                         "DeviceInfo3.pszTargetSerialNumber (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, usTargetChannels) == 52,
                         "DeviceInfo3.usTargetChannels (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, pIpAddressList) == 56,
                         "DeviceInfo3.pIpAddressList (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, ulSettings) == 60, "DeviceInfo3.ulSettings (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(DeviceInfoTag3) == 64, "DeviceInfo3 size (32-bit)");
#elif defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, ulTargetId) == 40, "DeviceInfo3.ulTargetId (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, bMotorola) == 56, "DeviceInfo3.bMotorola (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, pszTargetSerialNumber) == 64,
                         "DeviceInfo3.pszTargetSerialNumber (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, usTargetChannels) == 84,
                         "DeviceInfo3.usTargetChannels (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, pIpAddressList) == 88,
                         "DeviceInfo3.pIpAddressList (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(DeviceInfoTag3, ulSettings) == 96, "DeviceInfo3.ulSettings (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(DeviceInfoTag3) == 104, "DeviceInfo3 size (64-bit)");
#endif

#endif /* KESTROLINK_KESTROLINK_H */
