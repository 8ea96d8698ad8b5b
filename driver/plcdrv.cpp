// The panel's command interface: PlcDrvCmd dispatches the seven named
// commands to their handlers, which turn the panel's records into ev_plc
// records, call the ev_plc functions and write the results back.
#include <cstdio>
#include <cstring>

#include "plc_driver.h"

namespace plc_driver {

void set_tcp_settings(PLC_TCP_INIT_PARAMETERS* tcp, const ComAttr* attr) {
    *tcp = PLC_TCP_INIT_PARAMETERS{};
    tcp->com_device = nullptr;
    // _baud holds the address in network order (first octet at the lowest
    // address); read it byte by byte so that the host's order does not matter.
    uint8_t octets[4];
    std::memcpy(octets, &attr->_baud, sizeof(octets));
    uint32_t ulIp = (static_cast<uint32_t>(octets[0]) << 24) | (static_cast<uint32_t>(octets[1]) << 16) |
                    (static_cast<uint32_t>(octets[2]) << 8) | octets[3];
    tcp->ipaddr = static_cast<int32_t>(ulIp);
    tcp->port = static_cast<uint16_t>(attr->_checkBits * 256 + attr->_datBits);
    tcp->mode = static_cast<uint8_t>(attr->_workMode);
}

void set_serial_settings(PLC_SERIAL_INIT_PARAMETERS* serial, const ComAttr* attr) {
    // "/dev/ttyS65535" and its terminator fit.
    static char s_comDevice[16];
    std::snprintf(s_comDevice, sizeof(s_comDevice), "/dev/ttyS%d", attr->_no);
    *serial = PLC_SERIAL_INIT_PARAMETERS{};
    serial->com_device = s_comDevice;
    serial->baud = static_cast<int32_t>(attr->_baud);
    serial->data_bits = attr->_datBits;
    serial->stop_bits = attr->_stopBits;
    serial->parity = attr->_checkBits;
    serial->mode = static_cast<uint8_t>(attr->_workMode);
}

void set_settings(PLC_DRV_INIT_SETTINGS* settings, const PlcDrv* drv, const ComAttr* attr) {
    *settings = PLC_DRV_INIT_SETTINGS{};
    settings->serial_handle = drv->_fd;
    settings->driver_id = attr->_plcDrvNo;
    settings->mode = attr->_workMode;
    settings->response_timeout = attr->_plcResponceTimeout;
    settings->timeout1 = attr->_protocalTimeout1;
    settings->timeout2 = attr->_protocalTimeout2;
}

void set_regs(PLC_DRV_REG_ADDR* reg, const RegAttr* attr) {
    *reg = PLC_DRV_REG_ADDR{};
    reg->device_id = attr->_plcNo;
    reg->reg_id = attr->_regId;
    reg->reg_addr = attr->_addr;
    reg->reg_type = static_cast<uint8_t>(attr->_regType & 15);
    reg->sub_addr = attr->_subAddr;
    reg->sub_reg_id = attr->_subRegId;
}

void set_buff(PLC_DRV_BUFF* buff, const RegItm* item) {
    buff->length = item->_reg->_width;
    buff->buff = item->_buf;
}

void write_back(PlcDrv* drv, ComAttr* attr, const PLC_DRV_INIT_SETTINGS* settings) {
    drv->_fd = settings->serial_handle;
    attr->_protocalTimeout1 = settings->timeout1;
    attr->_protocalTimeout2 = settings->timeout2;
}

void Bit2Byte(PLC_DRV_BUFF* buff) {
    if (buff == nullptr || buff->buff == nullptr) {
        return;
    }
    // From the last bit down: byte j is written only after every bit that
    // lives in it (bits 8j..8j+7, all at or above j) has been read.
    for (uint32_t j = buff->length; j-- > 0;) {
        buff->buff[j] = static_cast<uint8_t>((buff->buff[j / 8] >> (j % 8)) & 1);
    }
}

void Byte2Bit(PLC_DRV_BUFF* buff, const uint8_t* inbuff) {
    if (buff == nullptr || buff->buff == nullptr || inbuff == nullptr) {
        return;
    }
    // In place, byte j is read before byte j div 8 is written.
    for (uint32_t j = 0; j < buff->length; ++j) {
        uint8_t bit = static_cast<uint8_t>(1u << (j % 8));
        if (inbuff[j] != 0) {
            buff->buff[j / 8] = static_cast<uint8_t>(buff->buff[j / 8] | bit);
        } else {
            buff->buff[j / 8] = static_cast<uint8_t>(buff->buff[j / 8] & ~bit);
        }
    }
}

namespace {

// The one driver object of the process; "Init" hands out its address.
PlcDrv s_plcDrv = {0};

// Items of the current "RdGrp" request.
PLC_DRV_REG_ADDR s_groupRegs[PLC_MAX_GROUP_ITEMS];
PLC_DRV_BUFF s_groupBuffs[PLC_MAX_GROUP_ITEMS];

uint16_t IndexPositionOf(const RegAttr* attr) {
    return static_cast<uint16_t>((attr->_flag >> 11) & 0xF);
}

// An item the handlers can convert: a register, and a buffer whenever it has elements.
bool ItemUsable(const RegItm* item) {
    return item != nullptr && item->_reg != nullptr && (item->_buf != nullptr || item->_reg->_width == 0);
}

int PlcDrv_Create(void* drv, void* param) {
    PlcDrv** ppDrv = static_cast<PlcDrv**>(drv);
    ComAttr* attr = static_cast<ComAttr*>(param);
    std::printf("----->Plc creat!\r");
    if (ppDrv == nullptr || attr == nullptr) {
        std::printf("Creat ret=%d\n", PLC_INV_PRM);
        return PLC_INV_PRM;
    }
    std::printf("PLc dreate hardware=%d\r\n", attr->_hardware);
    if (attr->_hardware != PLC_HARDWARE_ETHERNET) {
        // Nothing was initialised, so nothing is written back.
        std::printf("Creat ret=%d\n", PLC_INV_PRM);
        return PLC_INV_PRM;
    }
    PLC_TCP_INIT_PARAMETERS tcp;
    PLC_DRV_INIT_SETTINGS settings;
    set_tcp_settings(&tcp, attr);
    set_settings(&settings, &s_plcDrv, attr);
    int ret = ev_plc_init(&tcp, &settings, attr->_no);
    global_structure._no = attr->_no;
    write_back(&s_plcDrv, attr, &settings);
    *ppDrv = &s_plcDrv;
    std::printf("Creat ret=%d\n", ret);
    return ret;
}

int PlcDrv_Read(void* drv, void* param) {
    PlcDrv* pDrv = static_cast<PlcDrv*>(drv);
    void** args = static_cast<void**>(param);
    if (pDrv == nullptr || args == nullptr) {
        return PLC_INV_PRM;
    }
    RegItm* item = static_cast<RegItm*>(args[0]);
    ComAttr* attr = static_cast<ComAttr*>(args[1]);
    UserOper* user = static_cast<UserOper*>(args[2]);
    if (!ItemUsable(item) || attr == nullptr) {
        return PLC_INV_PRM;
    }
    PLC_DRV_REG_ADDR reg;
    PLC_DRV_BUFF buff;
    PLC_DRV_INIT_SETTINGS settings;
    set_regs(&reg, item->_reg);
    set_buff(&buff, item);
    set_settings(&settings, pDrv, attr);
    IndexPosition[0] = IndexPositionOf(item->_reg);
    int ret = ev_plc_read(&reg, &buff, &settings, attr->_no, user);
    write_back(pDrv, attr, &settings);
    if (reg.reg_type == 0) {
        Bit2Byte(&buff);
    }
    return ret;
}

int PlcDrv_Write(void* drv, void* param) {
    PlcDrv* pDrv = static_cast<PlcDrv*>(drv);
    void** args = static_cast<void**>(param);
    if (pDrv == nullptr || args == nullptr) {
        return PLC_INV_PRM;
    }
    RegItm* item = static_cast<RegItm*>(args[0]);
    ComAttr* attr = static_cast<ComAttr*>(args[1]);
    UserOper* user = static_cast<UserOper*>(args[2]);
    if (!ItemUsable(item) || attr == nullptr) {
        return PLC_INV_PRM;
    }
    PLC_DRV_REG_ADDR reg;
    PLC_DRV_BUFF buff;
    PLC_DRV_INIT_SETTINGS settings;
    set_regs(&reg, item->_reg);
    set_buff(&buff, item);
    set_settings(&settings, pDrv, attr);
    if (reg.reg_type == 0) {
        Byte2Bit(&buff, buff.buff);
    }
    IndexPosition[0] = IndexPositionOf(item->_reg);
    int ret = ev_plc_write(&reg, &buff, &settings, user);
    write_back(pDrv, attr, &settings);
    return ret;
}

int PlcDrv_ReadGroup(void* drv, void* param) {
    PlcDrv* pDrv = static_cast<PlcDrv*>(drv);
    void** args = static_cast<void**>(param);
    if (pDrv == nullptr || args == nullptr) {
        return PLC_INV_PRM;
    }
    RegItm* items = static_cast<RegItm*>(args[0]);
    int* pCount = static_cast<int*>(args[1]);
    ComAttr* attr = static_cast<ComAttr*>(args[2]);
    UserOper* user = static_cast<UserOper*>(args[3]);
    if (items == nullptr || pCount == nullptr || attr == nullptr) {
        return PLC_INV_PRM;
    }
    // The item arrays hold PLC_MAX_GROUP_ITEMS entries; a larger group is refused whole.
    int count = *pCount;
    if (count < 1 || count > PLC_MAX_GROUP_ITEMS) {
        return PLC_INV_PRM;
    }
    for (int i = 0; i < count; ++i) {
        if (!ItemUsable(&items[i])) {
            return PLC_INV_PRM;
        }
    }
    for (int i = 0; i < count; ++i) {
        set_regs(&s_groupRegs[i], items[i]._reg);
        set_buff(&s_groupBuffs[i], &items[i]);
        IndexPosition[i] = IndexPositionOf(items[i]._reg);
    }
    PLC_DRV_INIT_SETTINGS settings;
    set_settings(&settings, pDrv, attr);
    int ret = ev_plc_read_new(s_groupRegs, s_groupBuffs, &settings, count, user);
    write_back(pDrv, attr, &settings);
    for (int i = 0; i < count; ++i) {
        if (s_groupRegs[i].reg_type == 0) {
            Bit2Byte(&s_groupBuffs[i]);
        }
    }
    return ret;
}

int PlcDrv_Loop(void* /*drv*/, void* /*param*/) {
    return PLC_OK;
}

// The descriptor in the driver object is the panel's, never opened here, so
// the driver leaves it alone; the SDK connection stays up as well.
int PlcDrv_Destroy(void* /*drv*/, void* /*param*/) {
    std::printf("plc destroy\n");
    return PLC_OK;
}

int PlcDrv_Info(void* /*drv*/, void* param) {
    void** args = static_cast<void**>(param);
    if (args == nullptr || args[1] == nullptr) {
        return PLC_INV_PRM;
    }
    const int* pCount = static_cast<const int*>(args[0]);
    const char* pszDir = static_cast<const char*>(args[1]);
    std::printf("plc Info:paras=%d, Dir = %s\n", pCount != nullptr ? *pCount : 0, pszDir);
    std::snprintf(global_structure.PlcDir, sizeof(global_structure.PlcDir), "%s", pszDir);
    std::printf("plc Info:_no=%d, PLCDir = %s\n", global_structure._no, global_structure.PlcDir);
    csv_utf8_gb2312();
    tag_init_flag = Malvora_TAG_Init_new();
    // A failed load shows later, on the reads.
    return PLC_OK;
}

typedef int (*PlcDrvHandler)(void* drv, void* param);

struct PlcDrvCommand {
    const char* pszName;
    PlcDrvHandler pfHandler;
};

const PlcDrvCommand kCommands[] = {
    {"Init", PlcDrv_Create},     {"RdOne", PlcDrv_Read}, {"WrOne", PlcDrv_Write},
    {"RdGrp", PlcDrv_ReadGroup}, {"Loop", PlcDrv_Loop},  {"Destroy", PlcDrv_Destroy},
    {"Info", PlcDrv_Info},
};

}  // namespace
}  // namespace plc_driver

extern "C" int PlcDrvCmd(const char* cmd, void* drv, void* param) noexcept {
    if (cmd == nullptr) {
        return PLC_INV_CMD;
    }
    for (const plc_driver::PlcDrvCommand& command : plc_driver::kCommands) {
        if (std::strcmp(cmd, command.pszName) == 0) {
            return command.pfHandler(drv, param);
        }
    }
    return PLC_INV_CMD;
}
