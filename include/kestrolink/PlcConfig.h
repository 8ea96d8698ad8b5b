/* Connection configuration records of the Kestrolink SDK: the interface type,
   the connection settings (PlcConfig), the gateway to use and the device
   description with its named parameters. Client programs fill these records
   and hand them to the C interface; the SDK keeps deep copies. Usable from C
   and C++.

   The records cross the library boundary, so their layout is fixed: fields
   keep their order and fixed widths, text and record fields are pointers.
   Layout on the 32-bit ARM target (byte offsets):
     PlcConfig          64 bytes: ulId 0, pszName 4, it 8, bActive 12, bMotorola 13,
                        bLogin 14, bLogToFile 15, bPreCheckIdentity 16, ulTimeout 20,
                        ulNumTries 24, ulWaitTime 28, ulReconnectTime 32, pszHwType 36,
                        ulHwVersion 40, ulBufferSize 44, pszProjectName 48,
                        pszDllDirectory 52, gwc 56, ulLogFilter 60
     GatewayConnection  16 bytes: pszDeviceName 0, pszAddress 4, ulPort 8, pszPassword 12
     PlcParameter       16 bytes: Type 0, Value 8 (the union is 8-aligned for its double)
     PlcParameterDesc   12 bytes: ulId 0, pszName 4, pParameter 8
     PlcDeviceDesc      20 bytes: pszName 0, pszInstance 4, pszProject 8, ulNumParams 12, ppd 16
   Layout on 64-bit Linux:
     PlcConfig          96 bytes: ulId 0, pszName 8, it 16, bActive 20 .. bPreCheckIdentity 24,
                        ulTimeout 28, ulNumTries 32, ulWaitTime 36, ulReconnectTime 40,
                        pszHwType 48, ulHwVersion 56, ulBufferSize 60, pszProjectName 64,
                        pszDllDirectory 72, gwc 80, ulLogFilter 88
     GatewayConnection  32 bytes: pszDeviceName 0, pszAddress 8, ulPort 16, pszPassword 24
     PlcParameter       16 bytes: Type 0, Value 8
     PlcParameterDesc   24 bytes: ulId 0, pszName 8, pParameter 16
     PlcDeviceDesc      40 bytes: pszName 0, pszInstance 8, pszProject 16, ulNumParams 24, ppd 32 */
#ifndef KESTROLINK_PLCCONFIG_H
#define KESTROLINK_PLCCONFIG_H

#include <stddef.h>
#include <stdint.h>

#include "kestrolink/KestrolinkExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Interface type (transport) of a connection. */
typedef enum ItfType {
    IT_INVALID = 0,
    IT_SIMULATION = 1,
    IT_ARTI = 2,
    IT_GATEWAY = 3,
    IT_DIRECT = 4,
    IT_GATEWAY3 = 5,
    IT_SIMULATION3 = 6,
    IT_ARTI3 = 7
} ItfType;

/* Gateway to connect through; owned by the PlcConfig that points to it. */
typedef struct GatewayConnectionStruct {
    char* pszDeviceName;
    char* pszAddress;
    uint32_t ulPort;
    char* pszPassword;
} GatewayConnectionStruct, GatewayConnection;

/* Connection settings. Times are milliseconds; ulReconnectTime 0xFFFFFFFF
   switches reconnecting off. */
typedef struct PlcConfigStruct {
    uint32_t ulId;
    char* pszName;
    ItfType it;
    int8_t bActive;
    int8_t bMotorola;
    int8_t bLogin;
    int8_t bLogToFile;
    int8_t bPreCheckIdentity;
    uint32_t ulTimeout;
    uint32_t ulNumTries;
    uint32_t ulWaitTime;
    uint32_t ulReconnectTime;
    char* pszHwType;
    uint32_t ulHwVersion;
    uint32_t ulBufferSize;
    char* pszProjectName;
    char* pszDllDirectory;
    GatewayConnectionStruct* gwc;
    uint32_t ulLogFilter;
} PlcConfigStruct, PlcConfig;

typedef enum PlcParameterType {
    PLC_PT_VOID = 0,
    PLC_PT_ULONG = 1,
    PLC_PT_REAL = 2,
    PLC_PT_LREAL = 3,
    PLC_PT_STRING = 4,
    PLC_PT_WSTRING = 5
} PlcParameterType;

/* Value of a device parameter, selected by PlcParameter.Type. pwsz holds
   16-bit wide text (PLC_PT_WSTRING); it shares the storage of the other
   members, so the union's size and alignment are those of its double. */
typedef union PlcParameterValueUnion {
    uint32_t dw;
    float r;
    double lr;
    char* psz;
    uint16_t* pwsz;
} PlcParameterValueUnion, PlcParameterValue;

typedef struct PlcParameterStruct {
    PlcParameterType Type;
    PlcParameterValueUnion Value;
} PlcParameterStruct, PlcParameter;

typedef struct PlcParameterDescStruct {
    uint32_t ulId;
    char* pszName;
    PlcParameterStruct* pParameter;
} PlcParameterDescStruct, PlcParameterDesc;

/* Device interface name, instance, project and ulNumParams parameters in
   the array ppd. */
typedef struct PlcDeviceDescStruct {
    char* pszName;
    char* pszInstance;
    char* pszProject;
    uint32_t ulNumParams;
    PlcParameterDescStruct* ppd;
} PlcDeviceDescStruct, PlcDeviceDesc;

#ifdef __cplusplus
}
#endif

KESTROLINK_STATIC_ASSERT(sizeof(ItfType) == 4, "ItfType is a 32-bit field");
KESTROLINK_STATIC_ASSERT(sizeof(PlcParameterType) == 4, "PlcParameterType is a 32-bit field");
KESTROLINK_STATIC_ASSERT(sizeof(PlcParameterValueUnion) == 8, "PlcParameterValueUnion size");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, bActive) == 2 * sizeof(void*) + 4, "PlcConfig.bActive");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, bPreCheckIdentity) == 2 * sizeof(void*) + 8,
                         "PlcConfig.bPreCheckIdentity");

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
KESTROLINK_STATIC_ASSERT(sizeof(PlcConfigStruct) == 64, "PlcConfig size (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, it) == 8, "PlcConfig.it (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, ulTimeout) == 20, "PlcConfig.ulTimeout (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, pszHwType) == 36, "PlcConfig.pszHwType (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, gwc) == 56, "PlcConfig.gwc (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, ulLogFilter) == 60, "PlcConfig.ulLogFilter (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(GatewayConnectionStruct) == 16, "GatewayConnection size (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(GatewayConnectionStruct, ulPort) == 8, "GatewayConnection.ulPort (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PlcParameterDescStruct) == 12, "PlcParameterDesc size (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcParameterDescStruct, pParameter) == 8,
                         "PlcParameterDesc.pParameter (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PlcDeviceDescStruct) == 20, "PlcDeviceDesc size (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcDeviceDescStruct, ulNumParams) == 12,
                         "PlcDeviceDesc.ulNumParams (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcDeviceDescStruct, ppd) == 16, "PlcDeviceDesc.ppd (32-bit)");
#if defined(__arm__)
/* The ARM EABI aligns double to 8 bytes inside records (i386 would not). */
KESTROLINK_STATIC_ASSERT(sizeof(PlcParameterStruct) == 16, "PlcParameter size (ARM)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcParameterStruct, Value) == 8, "PlcParameter.Value (ARM)");
#endif
#elif defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
KESTROLINK_STATIC_ASSERT(sizeof(PlcConfigStruct) == 96, "PlcConfig size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, it) == 16, "PlcConfig.it (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, ulTimeout) == 28, "PlcConfig.ulTimeout (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, pszHwType) == 48, "PlcConfig.pszHwType (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, gwc) == 80, "PlcConfig.gwc (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcConfigStruct, ulLogFilter) == 88, "PlcConfig.ulLogFilter (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(GatewayConnectionStruct) == 32, "GatewayConnection size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(GatewayConnectionStruct, ulPort) == 16,
                         "GatewayConnection.ulPort (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PlcParameterStruct) == 16, "PlcParameter size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcParameterStruct, Value) == 8, "PlcParameter.Value (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PlcParameterDescStruct) == 24, "PlcParameterDesc size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcParameterDescStruct, pParameter) == 16,
                         "PlcParameterDesc.pParameter (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PlcDeviceDescStruct) == 40, "PlcDeviceDesc size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcDeviceDescStruct, ulNumParams) == 24,
                         "PlcDeviceDesc.ulNumParams (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PlcDeviceDescStruct, ppd) == 32, "PlcDeviceDesc.ppd (64-bit)");
#endif

#endif /* KESTROLINK_PLCCONFIG_H */
