/* Connection states, result values, the callback record and the scan's node
   record of the Kestrolink SDK, as client programs see them through the C interface and the
   connection class. Usable from C and C++.

   The records cross the library boundary (CallbackAddInfoTag by value: a
   32-bit type followed by one pointer-sized word), so their layout is fixed.
   Layout on the 32-bit ARM target (byte offsets):
     CallbackAddInfoTag   8 bytes: ulType 0, AddInf 4
     NodeInfotyp2        72 bytes: lResult 0, bComplete 4, pszNodeAddr 8, ulTargetType 28,
                         pszSerialNumber 44, ulOemDataLength 52, byIntelByteOrder 60,
                         ulGwClientGwVersion 68
   Layout on 64-bit Linux:
     CallbackAddInfoTag  16 bytes: ulType 0, AddInf 8
     NodeInfotyp2       104 bytes: lResult 0, bComplete 4, pszNodeAddr 8, ulTargetType 48,
                         pszSerialNumber 64, ulOemDataLength 80, byIntelByteOrder 88,
                         ulGwClientGwVersion 96 */
#ifndef KESTROLINK_KESTROLINKTYPES_H
#define KESTROLINK_KESTROLINKTYPES_H

#include <stddef.h>
#include <stdint.h>

#include "kestrolink/KestrolinkExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* State of a connection object; also the value a state callback carries. */
typedef enum KESTROLINK_STATE_ENUM {
    STATE_TERMINATE = -1,                       /* being destroyed; final */
    STATE_PLC_NOT_CONNECTED = 0,                /* no channel to the controller */
    STATE_PLC_CONNECTED = 1,                    /* channel open and logged in */
    STATE_NO_SYMBOLS = 2,                       /* symbol load or project check failed */
    STATE_SYMBOLS_LOADED = 3,                   /* symbols loaded, project not yet confirmed */
    STATE_RUNNING = 4,                          /* online operations allowed */
    STATE_DISCONNECT = 5,                       /* the client disconnected; sticky */
    STATE_NO_CONFIGURATION = 6,                 /* no usable configuration */
    STATE_PLC_NOT_CONNECTED_SYMBOLS_LOADED = 7, /* unreachable, symbols loaded offline */
    STATE_PLC_CONNECT_ERROR = 8,                /* the last connect attempt failed */
    STATE_PLC_CONFIG_ERROR = 9                  /* credentials rejected; no more retries */
} KESTROLINK_STATE;

/* Result values of the connection object and the C interface. */
#define RESULT_OK 0
#define RESULT_FAILED (-1)
#define RESULT_PLC_NOT_CONNECTED 1       /* not connected, or not in the state the operation needs */
#define RESULT_PLC_LOGIN_FAILED 2        /* login failed for another reason */
#define RESULT_INVALID_CYCLIST 3         /* invalid cyclic list handle */
#define RESULT_CONFIG_INACTIVE 4         /* configuration has bActive 0 */
#define RESULT_NO_SYMBOLS 5              /* symbols not loaded, or the project check failed */
#define RESULT_ITF_NOT_SUPPORTED 6       /* no device object for the interface type */
#define RESULT_COMM_FATAL 7              /* fatal communication error; channel closed */
#define RESULT_NO_CONFIGURATION 8        /* no usable configuration */
#define RESULT_INVALIDPARAMETER 9        /* invalid parameter */
#define RESULT_PLCCOM_INIT_FAILED 10     /* the device object reported a bad status */
#define RESULT_NOT_SUPPORTED 11          /* not supported by the interface or device */
#define RESULT_TIMEOUT 13                /* online lock not taken in time; scan timed out */
#define RESULT_CONNECT_IN_PROGRESS 15    /* a connect is already in progress */
#define RESULT_SYMBOLS_LOADED_OFFLINE 16 /* controller unreachable, symbols loaded offline */
#define RESULT_NOT_READY 17              /* values or reply not ready yet */
#define RESULT_ITEM_NOT_FOUND 20         /* symbol not found; queue full or empty */
#define RESULT_INIT_COMPONENTS_FAILED 21 /* the SDK's runtime did not start */
#define RESULT_SCAN_RUNNING 22           /* a network scan is already running */
#define RESULT_LOGGING_OFF 23            /* logging is switched off; invalid symbol count */
#define RESULT_ITEM_NOT_EXPANDABLE 25    /* item cannot be expanded */
#define RESULT_DUPLICATE_PLC_NAME 31     /* several controllers answer to the node name */
#define RESULT_LOGIN_FAILED_54 54        /* login refused (device result -547) */
#define RESULT_ACCESS_DENIED 55          /* wrong credentials or missing rights */
#define RESULT_RETRY_LATER 56            /* data-change callback: report the changes again */
#define RESULT_NO_USER_MANAGEMENT 57     /* a user name was given, the controller has no users */
#define RESULT_NO_CREDENTIALS 58         /* the client supplied no credentials */
#define RESULT_LOGIN_FAILED_59 59        /* login refused (device result -551) */

/* What a credential request asks for. */
typedef enum RequestCredentialsTypeEnum {
    REQ_CREDENTIALS_V2_GW_PWD = 0,     /* gateway password */
    REQ_CREDENTIALS_V2_PLC_PWD = 1,    /* controller password (older controllers) */
    REQ_CREDENTIALS_V3_PLC_USR_PWD = 2 /* user name and password */
} RequestCredentialsType;

/* Size of the user-name and password buffers of a credential request,
   terminator included. */
#define KESTROLINK_CREDENTIALS_BUFFER_SIZE 256

/* Callback types (CallbackAddInfoTag.ulType). */
#define CALLBACK_STATE_CHANGED 0
#define CALLBACK_CYCLIST_UPDATE_READY 1
#define CALLBACK_CYCLIST_DATA_CHANGED 2
#define CALLBACK_ASYNC_SERVICE_READY 3
#define CALLBACK_PLC_FOUND 4
#define CALLBACK_APP_STATE_CHANGED 5
#define CALLBACK_CYCLIST_REACTIVATED 6

struct NodeInfoTag;
struct AppStateListCmpTag;

/* One controller found by a network scan, or the end of the scan (bComplete
   1). Filled by the scan; valid during the callback only. lResult: 0, 13
   (the scan timed out) or -1. Wide texts are 16-bit code units. */
typedef struct NodeInfoTag2 {
    int32_t lResult;
    int32_t bComplete;
    char* pszNodeAddr;
    char* pszParentAddr;
    uint16_t* pwszNodeName;
    uint16_t* pwszDeviceName;
    uint16_t* pwszVendorName;
    uint32_t ulTargetType;
    uint32_t ulTargetId;
    uint32_t ulTargetVersion;
    uint16_t wMaxChannels;
    uint16_t wReserved;
    char* pszSerialNumber;
    uint8_t* pbyOemData;
    uint32_t ulOemDataLength;
    uint32_t ulFlags;
    uint8_t byIntelByteOrder;
    uint8_t byReserved;
    uint16_t wRtsBlkDrvType;
    uint16_t wGwBlkDrvType;
    uint16_t wGwRtsNsVersion;
    uint32_t ulGwClientGwVersion;
} NodeInfotyp2;

/* What a callback reports: the type and one word whose meaning depends on
   it. Passed by value. */
typedef struct CallbackAddInfoTagStruct {
    uint32_t ulType;
    union {
        void* hCycList;
        int32_t lKestrolinkState;
        int32_t iInvokeId;
        struct NodeInfoTag* pNodeInfo;
        struct NodeInfoTag2* pNodeInfo2;
        struct AppStateListCmpTag* pAppStateListCmp;
    } AddInf;
} CallbackAddInfoTag;

#ifdef __cplusplus
}
#endif

KESTROLINK_STATIC_ASSERT(sizeof(KESTROLINK_STATE) == 4, "KESTROLINK_STATE is a 32-bit value");
KESTROLINK_STATIC_ASSERT(sizeof(RequestCredentialsType) == 4, "RequestCredentialsType is a 32-bit value");
KESTROLINK_STATIC_ASSERT(offsetof(CallbackAddInfoTag, ulType) == 0, "CallbackAddInfoTag.ulType");
KESTROLINK_STATIC_ASSERT(offsetof(CallbackAddInfoTag, AddInf) == sizeof(void*), "CallbackAddInfoTag.AddInf");
KESTROLINK_STATIC_ASSERT(sizeof(CallbackAddInfoTag) == 2 * sizeof(void*), "CallbackAddInfoTag size");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, pszNodeAddr) == 8, "NodeInfotyp2.pszNodeAddr");

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, ulTargetType) == 28, "NodeInfotyp2.ulTargetType (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, pszSerialNumber) == 44,
                         "NodeInfotyp2.pszSerialNumber (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, ulOemDataLength) == 52,
                         "NodeInfotyp2.ulOemDataLength (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, byIntelByteOrder) == 60,
                         "NodeInfotyp2.byIntelByteOrder (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, ulGwClientGwVersion) == 68,
                         "NodeInfotyp2.ulGwClientGwVersion (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(NodeInfotyp2) == 72, "NodeInfotyp2 size (32-bit)");
#elif defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, ulTargetType) == 48, "NodeInfotyp2.ulTargetType (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, pszSerialNumber) == 64,
                         "NodeInfotyp2.pszSerialNumber (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, ulOemDataLength) == 80,
                         "NodeInfotyp2.ulOemDataLength (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, byIntelByteOrder) == 88,
                         "NodeInfotyp2.byIntelByteOrder (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(NodeInfotyp2, ulGwClientGwVersion) == 96,
                         "NodeInfotyp2.ulGwClientGwVersion (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(NodeInfotyp2) == 104, "NodeInfotyp2 size (64-bit)");
#endif

#endif /* KESTROLINK_KESTROLINKTYPES_H */
