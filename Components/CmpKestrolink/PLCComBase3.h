// The V3 device client: the device interface for V3 controllers. It builds
// service requests (service header and binary tags) in its send buffer and
// reads the replies; the transport of a request and its reply is left to a
// subclass (SendService3): the direct connection (CPLCComARTI3) today, the
// gateway later.
//
// What is here: identification, session creation, login (authentication
// types 0, 1 and 2), logout, the keep-alive, the operation mode, listing the
// symbol roots (with "DontLoadSymbolsFromPlc" the controller resolves every
// variable by its full name), and the online variable services of service
// group 9 (define, read, write, delete lists; write by name; symbol address).
//
// Like every device object it is used by one thread at a time (the connection
// object's online lock); only the transport's callbacks run on other threads.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BinTagService.h"
#include "PLCComBase.h"
#include "RouterTypes.h"

// ---- Imported tag functions ----------------------------------------------------------
// The device client reaches the tag writer and reader through the component
// manager like any component; the table is filled once, when the first device
// object is built after the runtime started.
#define KL_BTAG_IMPORTS(X)          \
    X(BTagWriterInit2)              \
    X(BTagWriterStartService)       \
    X(BTagWriterStartTag)           \
    X(BTagWriterAppendBlob)         \
    X(BTagWriterAppendString)       \
    X(BTagWriterAppendWString)      \
    X(BTagWriterAppendGUID)         \
    X(BTagWriterAppendRaw)          \
    X(BTagWriterAppendFillBytes)    \
    X(BTagWriterAppendDummyBytes)   \
    X(BTagWriterEndTag)             \
    X(BTagWriteSingleTag)           \
    X(BTagWriterGetAvailableBuffer) \
    X(BTagWriterCreateSavepoint)    \
    X(BTagWriterRestoreSavepoint)   \
    X(BTagWriterFinishService)      \
    X(BTagWriterFinish)             \
    X(BTagReaderInit)               \
    X(BTagReaderMoveNext)           \
    X(BTagReaderPeekNext)           \
    X(BTagReaderSkipContent)        \
    X(BTagReaderGetTagId)           \
    X(BTagReaderGetTagLen)          \
    X(BTagReaderIsDataTag)          \
    X(BTagReaderGetContent)         \
    X(BTagReaderGetComplexContent)  \
    X(BTagReaderGetString)          \
    X(BTagReaderCreateSavepoint)    \
    X(BTagReaderRestoreSavepoint)   \
    X(BTagServiceStart)             \
    X(BTagServiceFinish)            \
    X(BTagServiceCheckReply)        \
    X(BTagServiceWalkTags)          \
    X(BTagReaderGetCursor)          \
    X(BTagReaderGetUI16)            \
    X(BTagReaderGetUI32)            \
    X(BTagCursorInit)               \
    X(BTagCursorRemaining)          \
    X(BTagCursorReadUI8)            \
    X(BTagCursorReadUI16)           \
    X(BTagCursorReadUI32)           \
    X(BTagCursorReadUI64)           \
    X(BTagCursorReadBytes)          \
    X(BTagCursorReadCounted)        \
    X(BTagCursorReadCountedString)  \
    X(BTagProgressInit)             \
    X(BTagProgressNext)

struct KlBTagApi {
#define KL_BTAG_FIELD(name) PF##name pf##name;
    KL_BTAG_IMPORTS(KL_BTAG_FIELD)
#undef KL_BTAG_FIELD
};
// The table, or null when a function is missing (the runtime is not started
// or the tag component is absent); then every service fails with -1.
const KlBTagApi* KlBTagImports();

// ---- Service groups, services and tags --------------------------------------------------
#define KL_SG_DEVICE 1u
#define KL_SG_IECVARACCESS 9u
#define KL_SRV_DEVICE_IDENTIFY 1u
#define KL_SRV_DEVICE_LOGIN 2u
#define KL_SRV_DEVICE_LOGOUT 3u
#define KL_SRV_DEVICE_ECHO 5u
#define KL_SRV_DEVICE_SET_OPMODE 6u
#define KL_SRV_DEVICE_GET_OPMODE 7u
#define KL_SRV_DEVICE_SESSION 10u
#define KL_SRV_VAR_DEFINE 1u
#define KL_SRV_VAR_DELETE 2u
#define KL_SRV_VAR_READ 3u
#define KL_SRV_VAR_WRITE 4u
#define KL_SRV_VAR_LIST_ROOTS 7u
#define KL_SRV_VAR_ADDRESS 10u
#define KL_SRV_VAR_REMOVE 11u
// Tag of any reply: a 16-bit result of the device for the whole service.
#define TAG_ERROR 0xFF7Fu
// The device does not know the service.
#define KL_DEVICE_SERVICE_UNKNOWN 0x302u

// Authentication types.
#define KL_AUTH_NONE 0u
#define KL_AUTH_SCRAMBLED 1u
#define KL_AUTH_RSA 2u
// Client protocol version sent at session creation.
#define KL_CLIENT_PROTOCOL_VERSION "3.5.17.20"

// Type classes of the controller (TypeClass3); 50 marks a rejected variable.
enum TypeClass3 : RTS_UI32 {
    TYPE3_BOOL = 0,
    TYPE3_BIT = 1,
    TYPE3_BYTE = 2,
    TYPE3_WORD = 3,
    TYPE3_DWORD = 4,
    TYPE3_LWORD = 5,
    TYPE3_SINT = 6,
    TYPE3_INT = 7,
    TYPE3_DINT = 8,
    TYPE3_LINT = 9,
    TYPE3_USINT = 10,
    TYPE3_UINT = 11,
    TYPE3_UDINT = 12,
    TYPE3_ULINT = 13,
    TYPE3_REAL = 14,
    TYPE3_LREAL = 15,
    TYPE3_STRING = 16,
    TYPE3_WSTRING = 17,
    TYPE3_TIME = 18,
    TYPE3_DATE = 19,
    TYPE3_DATEANDTIME = 20,
    TYPE3_TIMEOFDAY = 21,
    TYPE3_POINTER = 22,
    TYPE3_REFERENCE = 23,
    TYPE3_SUBRANGE = 24,
    TYPE3_ENUM = 25,
    TYPE3_ARRAY = 26,
    TYPE3_PARAMS = 27,
    TYPE3_USERDEF = 28,
    TYPE3_NONE = 29,
    TYPE3_ANY = 30,
    TYPE3_LTIME = 37,
    TYPE3_INTERFACE = 49,
    TYPE3_MAX_TYPE = 50
};

// ---- Variable lists ----------------------------------------------------------------------
// List flags (also sent to the controller in tag 0x13).
#define KL_VARLIST_BIGENDIAN 0x1u
#define KL_VARLIST_CONSISTENT 0x2u
#define KL_VARLIST_DATACHANGE 0x4u
#define KL_VARLIST_ALWAYS_08 0x8u
#define KL_VARLIST_EXTENDABLE 0x10u
#define KL_VARLIST_MARKED_ONLY 0x20u
#define KL_VARLIST_ALWAYS_40 0x40u
#define KL_VARLIST_SYNC_CONSISTENT 0x80u
#define KL_VARLIST_FLAG8 0x100u
#define KL_VARLIST_CONSISTENT_CONFIRMED 0x200u
#define KL_VARLIST_FIRST_SYNC_READ 0x400u
#define KL_VARLIST_WRITE_COMPLETES 0x800u
#define KL_VARLIST_ALWAYS_10000 0x10000u
// A new list starts with these.
#define KL_VARLIST_DEFAULT_FLAGS 0x10048u

struct COM3VAR {
    RTS_UI32 type;    // TypeClass3; TYPE3_MAX_TYPE for a rejected variable
    RTS_UI32 ulSize;  // bytes; 0xFFFFFFFF for a rejected variable
    RTS_UI32 hVar;    // the controller's handle; 0xFFFFFFFF for a rejected variable
};

// One controller list. The handle the connection object holds points to the
// first (master) list; variables that did not fit into one controller list
// live in slave lists chained behind it.
struct COM3VARLIST {
    RTS_UI32 hVarList = 0xFFFFFFFFu;        // the controller's handle; -1 until assigned
    RTS_UI32 ulStartIndex = 0;              // first variable of this list within the master's
    RTS_UI32 ulNumOfVars = 0;               // variables handled by this list
    RTS_UI32 ulNumOfAllVars = 0;            // variables of the whole chain (master only)
    PlcVarValue** ppPlcVarValue = nullptr;  // one value record per variable (master only)
    COM3VAR* pVars = nullptr;               // one entry per variable (master only; slaves index into it)
    COM3VARLIST* pMasterList = nullptr;
    COM3VARLIST* pNextSlaveList = nullptr;
    RTS_UI32 ulFlags = KL_VARLIST_DEFAULT_FLAGS;
    RTS_UI32* pulChangedVarIndexList = nullptr;
    RTS_UI32 ulNumOfChangedVars = 0;  // 0xFFFFFFFF: every value is to be taken
    RTS_I32 bCompleteUpdateRequired = 0;
};

// ---- The device client ------------------------------------------------------------------

class CPLCComBase3 : public CPLCComBase {
public:
    CPLCComBase3(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger);
    ~CPLCComBase3() override;

    // Session, identification and login (PLCComBase3Session.cpp).
    RTS_I32 CreateSession(const char* pszClientName, const char* pszClientVendorName,
                          const char* pszClientVersion, RTS_UI16 usClientSpecific) override;
    RTS_I32 Login() override;
    RTS_I32 Logout() override;
    RTS_I32 CheckConnection() override;
    RTS_UI32 GetSessionId() override { return m_ulSessionID; }
    RTS_I32 GetDeviceOpMode(DEVICE_OPERATION_MODE* pOpMode) override;
    RTS_I32 SetDeviceOpMode(DEVICE_OPERATION_MODE OpMode, RTS_I32* plResult) override;
    RTS_I32 CheckProjectIds() override;
    RTS_I32 GetPlcProjectName(char* pszName, RTS_UI32 ulSize) override;
    RTS_I32 SendService(const RTS_UI8* pbySend, RTS_UI32 ulSendSize, RTS_UI8** ppbyRecv,
                        RTS_UI32* pulRecvSize) override;

    // Symbols (PLCComBase3Session.cpp): the roots are listed; browsing the
    // symbol tree is not part of this client yet, so only the configuration
    // with "DontLoadSymbolsFromPlc" loads.
    RTS_I32 LoadSymbols() override;
    RTS_I32 DeleteSymbols() override;
    RTS_I32 GetSymbols(PlcSymbolDesc** ppSymbolList, RTS_UI32* pulNumOfSymbols) override;
    RTS_I32 GetSymbol(const char* pszSymbol, PlcSymbolDesc* pSymbol) override;

    // Variable services (PLCComBase3Vars.cpp).
    HVARLIST DefineVarList(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols, RTS_I32 bDataChange,
                           RTS_UI32 ulFlags, RTS_I32* plResult) override;
    RTS_I32 DefineVarListBase(HVARLIST* phVarList, const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                              RTS_I32 bDataChange, PlcVarValue*** pppValues, RTS_UI32 ulFlags);
    RTS_I32 AddVarsToVarList(HVARLIST hVarList, const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                             PlcVarValue*** pppValues) override;
    RTS_I32 RemoveVarsFromVarList(HVARLIST hVarList, const RTS_UI32* pulIndexList, RTS_UI32 ulNumOfIndexes,
                                  PlcVarValue*** pppValues) override;
    RTS_I32 DeleteVarList(HVARLIST hVarList, RTS_I32 bDeleteLocalListOnly) override;
    RTS_I32 SendVarList(HVARLIST hVarList, RTS_HANDLE hEvent, RTS_HANDLE hSem, RTS_I32* pbSync,
                        RTS_I32 bGetChangedValues, RTS_UI32* pulVarFlags) override;
    RTS_I32 GetValues(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) override;
    RTS_I32 GetChangedValues(HVARLIST hVarList, RTS_UI32* pulVarFlags, PlcVarValue*** pppValues,
                             RTS_UI32* pulNumOfValues, RTS_UI32** ppulChangedValuesIndexList,
                             RTS_UI32* pulNumOfChangedValues) override;
    RTS_I32 GetValueLengths(HVARLIST hVarList, RTS_UI32* pValueLength, RTS_UI32 ulNumOfValues,
                            RTS_UI32 ulStartIndex) override;
    RTS_I32 GetVarList(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) override;
    RTS_I32 WriteVarList(HVARLIST hVarList, RTS_UI32 ulNumOfSymbols, const RTS_UI8* const* ppValues,
                         const RTS_UI32* pulValueSizes) override;
    RTS_I32 WriteVars(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols, const RTS_UI8* const* ppValues,
                      const RTS_UI32* pulValueSizes) override;
    RTS_I32 GetSymbolAddress(RTS_UI32 ulSymbolIndex, char* pszMappedAddr, RTS_I32 lLen) override;

    // Password scrambling of authentication type 1: 0; 2 for a missing
    // argument; 24 for another type; 15 with the needed size in
    // *pnPasswordCryptedSize when the output is too small.
    static RTS_RESULT MyUserMgrCryptPassword(const char* pszPassword, RTS_UI8* pszPasswordCrypted,
                                             RTS_UI32* pnPasswordCryptedSize, RTS_UI32 ulCryptType,
                                             RTS_UI32 ulChallenge);
    // A challenge from the system's random generator.
    static RTS_UI32 MyUserMgrGetChallenge();

protected:
    // The transport: sends one request PDU and returns the reply PDU (a view
    // into the transport's receive buffer valid until the next call, or, with
    // bUseExternalRxBuffer, copied into the buffer ppduRecv->pData of capacity
    // ppduRecv->ulCount). 0, PLCCOM_NO_CONNECTION for a broken connection,
    // else -1; on failure *ppduRecv is cleared.
    virtual RTS_I32 SendService3(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv,
                                 RTS_BOOL bUseExternalRxBuffer) = 0;
    // What the service code calls: SendService3 (the secure channel will
    // route it through its own thread).
    RTS_I32 SendServiceInternal(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv,
                                RTS_BOOL bUseExternalRxBuffer);

    // The service exchange. BeginService starts a request of the group and
    // service in the send buffer with the current session id; ERR_OK, or a
    // failure (no send buffer, tag functions missing).
    RTS_RESULT BeginService(BINTAGWRITER* pWriter, RTS_UI16 usGroup, RTS_UI16 usService);
    // Finishes the request, sends it and checks the reply. 0 with *pReader on
    // the reply's body; a reply that answers another service leaves *pReader
    // on an empty body and *pbAnswered (optional) false, still returning 0.
    // A failed exchange returns the transport's result (PLCCOM_NO_CONNECTION
    // or -1), a request that overflowed the send buffer -1.
    RTS_I32 ExchangeService(BINTAGWRITER* pWriter, RTS_UI16 usGroup, RTS_UI16 usService,
                            BINTAGREADER* pReader, bool* pbAnswered = nullptr);
    // Allocates the send buffer (4-byte aligned, size rounded up to 4).
    bool AllocateSendBuffer(RTS_UI32 ulSize);
    void FreeSendBuffer();
    RTS_UI8* SendBuffer() { return reinterpret_cast<RTS_UI8*>(m_pSendBuffer.get()); }
    RTS_UI32 SendBufferSize() const { return m_ulSendBufferSize; }
    // Whether header and tag numbers must be swapped (controller's byte order).
    RTS_BOOL SwapHeader() const { return SwapNeeded() ? 1 : 0; }

    const KlBTagApi* m_pBTag;

    // Session.
    RTS_UI32 m_ulSessionID = 0;
    RTS_UI32 m_ulAuthType = 0;
    RTS_UI32 m_ulConfigChangedTimestamp = 0;
    // Addressing (read at construction from the device parameters).
    std::string m_pszTcpIpAddress;
    RTS_UI16 m_usTcpPort = 0;
    RTS_I32 m_iAddressType = 0;        // 0 unset, 1 by name, 2 by address
    std::vector<RTS_UI16> m_nodeName;  // node name (16-bit, terminated), empty when none
    RTS_I32 m_bConnectToSelf = 0;
    RTS_UI8 m_PlcAddressType = 0;  // AT_ABSOLUTE 0, AT_RELATIVE 1
    RTS_UI16 m_PlcAddressOffset = 0;
    std::vector<RTS_UI16> m_PlcAddress;  // the controller's node address components
    RTS_UI32 m_ulResolvePlcNameTimeout = 5000;
    RTS_I32 m_bEncryptCommunication = 0;
    std::string m_pszCipherSuite;
    // Symbols.
    RTS_I32 m_bDontLoadSymbolsFromPlc = 0;
    RTS_I32 m_bClientAddressResolution = 0;
    RTS_I32 m_bRecallAddressInformation = 0;
    std::string m_pszDeviceNameInProject;
    RTS_I32 m_nLeafNodes = 0;  // -1: loading switched off by "DontLoadSymbolsFromPlc"
    std::vector<std::string> m_rootNodes;

private:
    std::unique_ptr<RTS_UI32[]> m_pSendBuffer;
    RTS_UI32 m_ulSendBufferSize = 0;

    // Variable services (PLCComBase3Vars.cpp): the master lists handed out
    // (a handle from a client is checked against them; they are freed with the
    // device object), and the controller's variable descriptions returned by
    // writes by name, kept per name for later writes with
    // "RecallAddressInformation".
    struct VarListDeleter {
        void operator()(COM3VARLIST* pMasterList) const noexcept;
    };
    class VarServices;
    std::vector<std::unique_ptr<COM3VARLIST, VarListDeleter>> m_varLists;
    std::map<std::string, std::vector<RTS_UI8>> m_recalledVarDescs;
};

// Chooses between the online variable services and the symbol-file
// (monitoring) variant by "UseMonitoringServices"; only the online variant
// exists today, so a configuration that asks for the other is refused when
// it connects.
class CPLCComBase3Selector : public CPLCComBase3 {
public:
    CPLCComBase3Selector(const PlcConfig* pPlcConfig, const PlcDeviceDesc* pDeviceDesc, void* hLogger);

protected:
    RTS_I32 m_bSendMonitoringServices = 0;
};
