// Tag read and write of the panel driver: a panel register request becomes
// variable names (through the tag table), goes to the controller through the
// SDK's synchronous calls on the driver's connection, and the values are
// converted between the controller's layouts and the panel's registers. The
// read path also restores a lost connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrolink/PlcDrv.h"
#include "tag_table.h"

namespace plc_driver {

// Working limits of one request.
constexpr uint32_t kMaxSplitElements = 1024;
constexpr uint32_t kMaxBitItem = 8191;
constexpr uint32_t kMaxWriteString = 10240;  // characters; twice the bytes for WSTRING

// Seams. Each setter takes null to go back to the default.
// Pauses of the driver (the 1 s before a refused position, the 1 s before a
// reconnect, the waits for the tag table); default: ev_sleep.
typedef void (*PfDriverPause)(unsigned int ms);
void SetDriverPause(PfDriverPause pf);
// Makes the connection the reads use (ulKestrolink, init = 1): 0 or -1.
// Default: Malvora_connect_init, i.e. the controller that "Init" recorded.
typedef int (*PfDriverConnect)(PLC_DRV_INIT_SETTINGS* settings);
void SetDriverConnect(PfDriverConnect pf);

// Size in bytes of the value the SDK hands out for a built name: the symbol's
// size when the SDK knows the symbol, else what the tag's type says (one
// element; for strings the End column's characters plus the terminator).
size_t ValueSizeOf(const char* name, int typeCode, const Struct_Tag_List_pointer& rec, uint8_t reg_type);

// Converts one value (D, size bytes) into the panel's buffer: strings from
// character reg_addr, bits, or `count` elements of reg_type bytes placed from
// element `first` on. Never reads past size nor writes past the buffer's
// capacity (length elements). false for an unknown reg_type.
bool ConvertValue(const uint8_t* D, size_t size, int typeCode, uint8_t reg_type, uint32_t reg_addr,
                  PLC_DRV_BUFF* buff, uint32_t first, uint32_t count);

}  // namespace plc_driver

extern "C" {
// The split read: the further elements of multi-element items, 0 or 2.
KESTROLINK_API int ev_plc_read_new_sub(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff,
                                       PLC_DRV_INIT_SETTINGS* settings, int count, UserOper* user) noexcept;
// The n elements of one item in one call: 0, 2 or 3.
KESTROLINK_API int ev_plc_read_new_sub_son(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff,
                                           PLC_DRV_INIT_SETTINGS* settings, int n, UserOper* user,
                                           uint16_t IndexPositionEntry) noexcept;
// Diagnostic line for a failed tag (GB2312); not called by the driver itself.
KESTROLINK_API int print_err_tag(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, int tag_addr) noexcept;
}
