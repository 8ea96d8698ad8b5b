/* Panel driver interface of libkestrolink.so: the records an operator panel
   hands to the driver (ComAttr, RegItm, RegAttr, UserOper, PlcDrv), the
   ev_plc records, the result codes and the exported entry points. The panel
   loads the library, looks up PlcDrvCmd (or the ev_plc_* functions) and calls
   them from one thread. Usable from C and C++.

   Layout on the 32-bit ARM target (byte offsets):
     ComAttr 60 bytes: _flag 0, _hardware 4, _protocolType 5, _maxListLen 6, _no 8,
       _workMode 10, _resvered 12, _datBits 14, _checkBits 15, _baud 16, _stopBits 20,
       _masterSlaveMode 21, _plcDrvNo 22, _plcResponceTimeout 24, _protocalTimeout1 28,
       _protocalTimeout2 32, _slaveNo 36, _maxBlockWords 38, _maxBlockBits 40,
       _maxSpaceWords 42 .. _broadNo 47, _serverId 48, _tcpIp 52, _tcpPort 56
     RegAttr 24 bytes: _flag 0, _flag2 4, _serverId 6, _portNo 8, _plcNo 10, _regType 11,
       _regId 12, _width 14, _addr 16, _subRegId 20, _subAddr 22
     RegItm 12 bytes: _reg 0, _len 4, _buf 8
     UserOper 12 bytes: _flag 0, _locRd 4, _locWr 8
     PLC_TCP_INIT_PARAMETERS 12 bytes: com_device 0, ipaddr 4, port 8, stop_bits 10, mode 11
     PLC_SERIAL_INIT_PARAMETERS 12 bytes: com_device 0, baud 4, parity 8, data_bits 9,
       stop_bits 10, mode 11
     PLC_DRV_INIT_SETTINGS 20 bytes: serial_handle 0, mode 4, driver_id 6,
       response_timeout 8, timeout1 12, timeout2 16
     PLC_DRV_REG_ADDR 16 bytes: device_id 0, reg_type 2, reg_id 4, reg_addr 8,
       sub_addr 12, sub_reg_id 14
     PLC_DRV_BUFF 8 bytes: length 0, buff 4
     PLC_DRV_INFO 4 bytes: driver_no 0, version 2
   On 64-bit Linux the records without pointers keep these offsets; ComAttr is
   72 bytes (_serverId 48, _tcpIp 56, _tcpPort 64), RegItm 24 (_reg 0, _len 8,
   _buf 16), UserOper 24 (_flag 0, _locRd 8, _locWr 16), PLC_TCP_INIT_PARAMETERS
   16 (ipaddr 8, port 12, stop_bits 14, mode 15), PLC_SERIAL_INIT_PARAMETERS 16
   (baud 8, parity 12 .. mode 15), PLC_DRV_BUFF 16 (length 0, buff 8). */
#ifndef KESTROLINK_PLCDRV_H
#define KESTROLINK_PLCDRV_H

#include <stddef.h>
#include <stdint.h>

#include "kestrolink/KestrolinkExport.h"

/* No C++ exception leaves an entry point of the driver. */
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

typedef uint8_t V_UINT8;
typedef uint16_t V_UINT16;
typedef uint32_t V_UINT32;

/* Driver number and version reported by ev_plc_driver_info. */
#define PLC_DRIVER_NO 315
#define PLC_DRIVER_VERSION 1

/* The only ComAttr._hardware value the driver serves: Ethernet/TCP. */
#define PLC_HARDWARE_ETHERNET 2

/* Most items one "RdGrp" request may carry. */
#define PLC_MAX_GROUP_ITEMS 1024

typedef enum PlcDrvRet {
    PLC_OK = 0,
    PLC_NAK = 1,
    PLC_ERROR = 2,
    PLC_INV_CMD = 16,
    PLC_INV_DRV = 17,
    PLC_INV_PRM = 18,
    PLC_OTHER_ERR = 255
} PlcDrvRet;

/* Communication attributes of one panel port. For TCP, _baud holds the
   controller's IPv4 address with the first octet in the lowest-addressed
   byte, and _checkBits/_datBits the high/low byte of its port. */
typedef struct ComAttr {
    V_UINT32 _flag;
    V_UINT8 _hardware;
    V_UINT8 _protocolType;
    V_UINT16 _maxListLen;
    V_UINT16 _no;
    V_UINT16 _workMode;
    V_UINT16 _resvered;
    V_UINT8 _datBits;
    V_UINT8 _checkBits;
    V_UINT32 _baud;
    V_UINT8 _stopBits;
    V_UINT8 _masterSlaveMode;
    V_UINT16 _plcDrvNo;
    V_UINT32 _plcResponceTimeout;
    V_UINT32 _protocalTimeout1;
    V_UINT32 _protocalTimeout2;
    V_UINT16 _slaveNo;
    V_UINT16 _maxBlockWords;
    V_UINT16 _maxBlockBits;
    V_UINT8 _maxSpaceWords;
    V_UINT8 _maxSpaceBits;
    V_UINT8 _comIntervals;
    V_UINT8 _almInfDispTms;
    V_UINT8 _nRetrys;
    V_UINT8 _broadNo;
    void* _serverId;
    void* _tcpIp;
    void* _tcpPort;
} ComAttr;

/* One panel register reference; bits 11 to 14 of _flag carry the run-time
   index position. */
typedef struct RegAttr {
    V_UINT32 _flag;
    V_UINT16 _flag2;
    V_UINT16 _serverId;
    V_UINT16 _portNo;
    V_UINT8 _plcNo;
    V_UINT8 _regType;
    V_UINT16 _regId;
    V_UINT16 _width;
    V_UINT32 _addr;
    V_UINT16 _subRegId;
    V_UINT16 _subAddr;
} RegAttr;

typedef struct RegItm {
    RegAttr* _reg;
    int _len;
    V_UINT8* _buf;
} RegItm;

/* Access to the panel's own local registers. */
typedef int (*LocalOper)(char* pszRegName, int iArg1, int iArg2, void* pBuffer, int iArg3);

typedef struct UserOper {
    int _flag;
    LocalOper _locRd;
    LocalOper _locWr;
} UserOper;

/* The driver object handed out by "Init"; _fd is a descriptor value the
   driver carries for the panel. */
typedef struct PlcDrv {
    int _fd;
} PlcDrv;

typedef struct PLC_TCP_INIT_PARAMETERS {
    char* com_device;
    int32_t ipaddr; /* first octet in the most significant byte */
    uint16_t port;
    uint8_t stop_bits;
    uint8_t mode;
} PLC_TCP_INIT_PARAMETERS;

typedef struct PLC_SERIAL_INIT_PARAMETERS {
    char* com_device;
    int32_t baud;
    uint8_t parity;
    uint8_t data_bits;
    uint8_t stop_bits;
    uint8_t mode;
} PLC_SERIAL_INIT_PARAMETERS;

typedef struct PLC_DRV_INIT_SETTINGS {
    int32_t serial_handle;
    uint16_t mode;
    uint16_t driver_id;
    uint32_t response_timeout;
    uint32_t timeout1;
    uint32_t timeout2;
} PLC_DRV_INIT_SETTINGS;

typedef struct PLC_DRV_REG_ADDR {
    uint16_t device_id;
    uint8_t reg_type;
    uint16_t reg_id;
    uint32_t reg_addr;
    uint16_t sub_addr;
    uint16_t sub_reg_id;
} PLC_DRV_REG_ADDR;

typedef struct PLC_DRV_BUFF {
    uint32_t length; /* element count: bits, registers or characters */
    uint8_t* buff;
} PLC_DRV_BUFF;

typedef struct PLC_DRV_INFO {
    uint16_t driver_no;
    uint16_t version;
} PLC_DRV_INFO;

/* Command interface: "Init", "RdOne", "WrOne", "RdGrp", "Loop", "Destroy",
   "Info" (case-sensitive); any other name gives PLC_INV_CMD. */
KESTROLINK_API int PlcDrvCmd(const char* cmd, void* drv, void* param) KESTROLINK_NOTHROW;

/* ev_plc function interface. */
KESTROLINK_API int ev_plc_init(PLC_TCP_INIT_PARAMETERS* tcp, PLC_DRV_INIT_SETTINGS* settings,
                               uint16_t _no) KESTROLINK_NOTHROW;
KESTROLINK_API int ev_plc_read(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, PLC_DRV_INIT_SETTINGS* settings,
                               uint16_t _no, UserOper* user) KESTROLINK_NOTHROW;
KESTROLINK_API int ev_plc_read_new(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, PLC_DRV_INIT_SETTINGS* settings,
                                   int count, UserOper* user) KESTROLINK_NOTHROW;
KESTROLINK_API int ev_plc_write(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, PLC_DRV_INIT_SETTINGS* settings,
                                UserOper* user) KESTROLINK_NOTHROW;
KESTROLINK_API int ev_plc_driver_info(PLC_DRV_INFO* info) KESTROLINK_NOTHROW;
/* Slave mode is not supported: never returns. */
KESTROLINK_API int ev_plc_slave_main(short slaveId, int* piLocalBits, short* psLocalWords, int iSemId,
                                     PLC_DRV_INIT_SETTINGS* settings) KESTROLINK_NOTHROW;
KESTROLINK_API void ev_sleep(unsigned int ms) KESTROLINK_NOTHROW;
/* Waits until fd is readable or ms milliseconds passed: > 0 readable,
   0 time-out, < 0 error. */
KESTROLINK_API int ev_time_set(int fd, int ms) KESTROLINK_NOTHROW;
KESTROLINK_API int ReCommunicationSet(PLC_DRV_INIT_SETTINGS* settings) KESTROLINK_NOTHROW;
KESTROLINK_API int CommunicationSet(PLC_TCP_INIT_PARAMETERS* tcp,
                                    PLC_DRV_INIT_SETTINGS* settings) KESTROLINK_NOTHROW;

#ifdef __cplusplus
}
#endif

KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _no) == 8, "ComAttr._no");
KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _datBits) == 14, "ComAttr._datBits");
KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _baud) == 16, "ComAttr._baud");
KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _plcDrvNo) == 22, "ComAttr._plcDrvNo");
KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _protocalTimeout2) == 32, "ComAttr._protocalTimeout2");
KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _broadNo) == 47, "ComAttr._broadNo");
KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _serverId) == 48, "ComAttr._serverId");
KESTROLINK_STATIC_ASSERT(sizeof(RegAttr) == 24, "RegAttr size");
KESTROLINK_STATIC_ASSERT(offsetof(RegAttr, _regType) == 11, "RegAttr._regType");
KESTROLINK_STATIC_ASSERT(offsetof(RegAttr, _addr) == 16, "RegAttr._addr");
KESTROLINK_STATIC_ASSERT(offsetof(RegAttr, _subAddr) == 22, "RegAttr._subAddr");
KESTROLINK_STATIC_ASSERT(sizeof(PlcDrv) == 4, "PlcDrv size");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_DRV_INIT_SETTINGS) == 20, "PLC_DRV_INIT_SETTINGS size");
KESTROLINK_STATIC_ASSERT(offsetof(PLC_DRV_INIT_SETTINGS, timeout2) == 16, "PLC_DRV_INIT_SETTINGS.timeout2");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_DRV_REG_ADDR) == 16, "PLC_DRV_REG_ADDR size");
KESTROLINK_STATIC_ASSERT(offsetof(PLC_DRV_REG_ADDR, reg_id) == 4, "PLC_DRV_REG_ADDR.reg_id");
KESTROLINK_STATIC_ASSERT(offsetof(PLC_DRV_REG_ADDR, sub_reg_id) == 14, "PLC_DRV_REG_ADDR.sub_reg_id");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_DRV_INFO) == 4, "PLC_DRV_INFO size");

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
KESTROLINK_STATIC_ASSERT(sizeof(ComAttr) == 60, "ComAttr size (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _tcpPort) == 56, "ComAttr._tcpPort (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(RegItm) == 12, "RegItm size (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(RegItm, _buf) == 8, "RegItm._buf (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(UserOper) == 12, "UserOper size (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_TCP_INIT_PARAMETERS) == 12, "PLC_TCP_INIT_PARAMETERS size (32-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PLC_TCP_INIT_PARAMETERS, port) == 8,
                         "PLC_TCP_INIT_PARAMETERS.port (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_SERIAL_INIT_PARAMETERS) == 12,
                         "PLC_SERIAL_INIT_PARAMETERS size (32-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_DRV_BUFF) == 8, "PLC_DRV_BUFF size (32-bit)");
#elif defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
KESTROLINK_STATIC_ASSERT(sizeof(ComAttr) == 72, "ComAttr size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(ComAttr, _tcpPort) == 64, "ComAttr._tcpPort (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(RegItm) == 24, "RegItm size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(RegItm, _buf) == 16, "RegItm._buf (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(UserOper) == 24, "UserOper size (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_TCP_INIT_PARAMETERS) == 16, "PLC_TCP_INIT_PARAMETERS size (64-bit)");
KESTROLINK_STATIC_ASSERT(offsetof(PLC_TCP_INIT_PARAMETERS, port) == 12,
                         "PLC_TCP_INIT_PARAMETERS.port (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_SERIAL_INIT_PARAMETERS) == 16,
                         "PLC_SERIAL_INIT_PARAMETERS size (64-bit)");
KESTROLINK_STATIC_ASSERT(sizeof(PLC_DRV_BUFF) == 16, "PLC_DRV_BUFF size (64-bit)");
#endif

#endif /* KESTROLINK_PLCDRV_H */
