// The panel driver's process-wide state and its internal functions. The
// driver serves one controller connection per process; the panel calls it
// from one thread, so this state is not locked. Like any client of the SDK,
// the driver sees only the public headers under include/.
#pragma once

#include <cstdint>

#include "kestrolink/Kestrolink.h"
#include "kestrolink/PlcConfig.h"
#include "kestrolink/PlcDrv.h"

namespace plc_driver {

// Start record of the character-set thread, and the place where "Init" and
// "Info" keep the port number and project directory that locate the tag file.
struct Tag_init_struct {
    PLC_DRV_INIT_SETTINGS* settings;
    uint16_t _no;
    char PlcDir[256];
};

// Storage behind the configuration records that DefineStartupsInStruct
// fills; it outlives the SDK connection, which points into it.
struct Plc_user_set_Parameter_Struct {
    char pConfig_pszName[128];
    char pDevice_pszName[128];
    char pDevice_ppd_pszName[3][128];
    char pDevice_ppd_pParameter_Value_psz[3][128];
    PlcParameterDescStruct pDevice_ppd[3];
    PlcParameterStruct pDevice_ppd_parameter[3];
};

extern std::uintptr_t ulKestrolink;  // SDK handle of the connection; 0 = none
extern int init;                     // 1 while connected
extern char malvora_plc_ip[100];     // controller address as dotted text
extern char ip_buff[20];
extern uint16_t PORT;
extern uint16_t _no_plc;
extern Tag_init_struct global_structure;
extern Plc_user_set_Parameter_Struct plc_user_set_Parameter_Struct;
// Run-time index position of each item of the current request (0 = none).
extern uint16_t IndexPosition[PLC_MAX_GROUP_ITEMS];
// Result of the last tag table load: 0 = loaded.
extern uint16_t tag_init_flag;

// Record conversions between the panel's records and the ev_plc records.
void set_tcp_settings(PLC_TCP_INIT_PARAMETERS* tcp, const ComAttr* attr);
void set_serial_settings(PLC_SERIAL_INIT_PARAMETERS* serial, const ComAttr* attr);
void set_settings(PLC_DRV_INIT_SETTINGS* settings, const PlcDrv* drv, const ComAttr* attr);
void set_regs(PLC_DRV_REG_ADDR* reg, const RegAttr* attr);
void set_buff(PLC_DRV_BUFF* buff, const RegItm* item);
void write_back(PlcDrv* drv, ComAttr* attr, const PLC_DRV_INIT_SETTINGS* settings);

// Bit buffers: the panel keeps one byte per bit, the read and write paths
// packed bits (bit j in bit j mod 8 of byte j div 8); both work in place.
void Bit2Byte(PLC_DRV_BUFF* buff);
void Byte2Bit(PLC_DRV_BUFF* buff, const uint8_t* inbuff);

// Body of the detached thread that ev_plc_init starts; releases its record.
void tag_init(void* arg);

// Tag table import (conversion of the tag file and its load).
uint16_t csv_utf8_gb2312();
uint16_t Malvora_TAG_Init_new();

}  // namespace plc_driver

extern "C" {
// Fills the driver's fixed connection configuration; false for a null record.
KESTROLINK_API bool DefineStartupsInStruct(PlcConfigStruct* pConfig, PlcDeviceDescStruct* pDevice) noexcept;
// Connects to the recorded controller through the C interface: 0 (init 1,
// ulKestrolink the connection) or -1 (nothing left behind: the next attempt
// starts again from KestrolinkInit).
KESTROLINK_API int Malvora_connect_init(PLC_DRV_INIT_SETTINGS* settings) noexcept;
// Ends the connection and releases its handle, if there is one.
KESTROLINK_API void closehandel(PLC_DRV_INIT_SETTINGS* settings) noexcept;
// Credentials requested by the SDK at login. The driver has none to give.
KESTROLINK_API long RequestCredentialsCallback(RTS_UINTPTR hKestrolink,
                                               RequestCredentialsType requestCredentialsType,
                                               char* pszUserName, unsigned long ulUserNameSize,
                                               char* pszPassword, unsigned long ulPasswordSize,
                                               void* pCstData) noexcept;
}

// The identification the driver reports to the controller.
#define PLC_DRIVER_CLIENT_NAME "TORNIK_HMI"
#define PLC_DRIVER_CLIENT_VERSION "3.5.17.20"
