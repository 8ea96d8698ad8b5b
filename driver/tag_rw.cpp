// Register requests of the panel as variable reads and writes: the names
// come from the tag table, the values go through the SDK's synchronous calls
// on the driver's one connection, and every copy between a value and a panel
// buffer is bounded by both.
#include "tag_rw.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "kestrolink/Kestrolink.h"
#include "plc_driver.h"

namespace plc_driver {

namespace {

PfDriverPause s_pfPause = nullptr;
PfDriverConnect s_pfConnect = nullptr;

// Tags not loaded yet: the panel is kept waiting this many seconds at most.
constexpr int kTagWaitSeconds = 31;
// Scratch of the read-modify-write of a string: 10240 characters of WSTRING.
uint8_t tmp_write_string[kMaxWriteString * 2];

void Pause(unsigned int ms) {
    if (s_pfPause != nullptr) {
        s_pfPause(ms);
    } else {
        ev_sleep(ms);
    }
}

struct PreparedItem {
    char name[kTagNameSize];
    char base[kTagNameSize];  // before the element address was added
    int type;
    uint32_t position;
};

uint32_t TagPosition(const PLC_DRV_REG_ADDR* reg) {
    return (static_cast<uint32_t>(reg->sub_reg_id & 0xFF) << 16) | reg->reg_id;
}

bool ValidPosition(uint32_t p) {
    return p >= 1 && static_cast<int64_t>(p) < num && p < struct_tag_List_pointer.size();
}

int CrossBorder() {
    Pause(1000);
    std::printf(">>drv<<Access to cross-border!!!");
    return 3;
}

bool IsNarrow(int type) {
    return type == TYPE_BYTE || type == TYPE_SINT || type == TYPE_USINT;
}

// Tag position, type and name of one item. Index mode rewrites the caller's
// reg_addr with the element address carried in sub_reg_id and sub_addr.
int PrepareItem(PLC_DRV_REG_ADDR* reg, const PLC_DRV_BUFF* buff, uint16_t indexPosition, PreparedItem* out) {
    uint32_t p = TagPosition(reg);
    if (!ValidPosition(p)) {
        return CrossBorder();
    }
    if (reg->reg_type != 0 && reg->reg_type != 2 && reg->reg_type != 4 && reg->reg_type != 8) {
        std::printf("unknown data type>>>>nn");
        return 3;
    }
    if (reg->reg_type == 0 && buff->length > kMaxBitItem) {
        return 3;
    }
    out->type = datatype_judge(struct_tag_List_pointer[p]._type_t);
    std::memcpy(out->name, struct_tag_List_pointer[p]._name_t, kTagNameSize);
    out->name[kTagNameSize - 1] = '\0';
    if (indexPosition != 0) {
        if (check_name_index(out->name, indexPosition, reg->reg_addr & 0xFFFF) != 0) {
            return 3;
        }
        Index_name_to_ID(out->name, &p, indexPosition, reg->reg_addr);
        if (!ValidPosition(p)) {
            return CrossBorder();
        }
        reg->reg_addr = static_cast<uint32_t>((reg->sub_reg_id & 0xFF00) | (reg->sub_addr >> 8));
    }
    out->position = p;
    std::memcpy(out->base, out->name, kTagNameSize);
    return check_name(out->name, out->type, struct_tag_List_pointer[p].isArray, reg->reg_addr);
}

// The connection and the tag table, as every read needs them.
int ReadPreconditions(PLC_DRV_INIT_SETTINGS* settings) {
    if (init != 1) {
        std::printf("init = %d \n", init);
        closehandel(settings);
        Pause(1000);
        int ret = s_pfConnect != nullptr ? s_pfConnect(settings) : Malvora_connect_init(settings);
        if (ret != 0) {
            return PLC_ERROR;
        }
        init = 1;
    }
    if (tag_init_flag != 0) {
        std::printf(">>>>>tag init error");
        ReleaseTagTable();
        tag_init_flag = Malvora_TAG_Init_new();
        return 3;
    }
    return 0;
}

int WaitForTags() {
    for (int sleeps = 0; init_flag == 0; ++sleeps) {
        if (sleeps == kTagWaitSeconds) {
            return PLC_ERROR;
        }
        Pause(1000);
    }
    return 0;
}

void PrintItem(const char* prefix, int i, const PLC_DRV_REG_ADDR* reg, const PLC_DRV_BUFF* buff,
               const PreparedItem& item) {
    std::printf("%sreg_addr[%d]->reg_type=%d reg_id=%d reg_addr=%d sub_addr=%d sub_reg_id=%d\n", prefix, i,
                reg->reg_type, reg->reg_id, static_cast<int>(reg->reg_addr), reg->sub_addr, reg->sub_reg_id);
    std::printf("%stag_addr[%d]=%d,len[%d]->len=%d\n", prefix, i, static_cast<int>(item.position), i,
                static_cast<int>(buff->length));
    std::printf("%si=%d,tag=%s\n", prefix, i, item.name);
}

const uint8_t* DataOf(const PlcVarValue* pValue) {
    return reinterpret_cast<const uint8_t*>(pValue) + 5;
}

}  // namespace

void SetDriverPause(PfDriverPause pf) {
    s_pfPause = pf;
}

void SetDriverConnect(PfDriverConnect pf) {
    s_pfConnect = pf;
}

size_t ValueSizeOf(const char* name, int typeCode, const Struct_Tag_List_pointer& rec, uint8_t reg_type) {
    PlcSymbolDesc desc{};
    if (ulKestrolink != 0 && KestrolinkGetItem(ulKestrolink, name, &desc) == RESULT_OK && desc.ulSize != 0) {
        return desc.ulSize;
    }
    uint32_t end = rec.Array_end[0];
    switch (typeCode) {
        case 0:
        case 1:
        case 2:
        case 3:
            return 1;
        case 4:
        case 5:
        case 6:
            return 2;
        case 7:
        case 8:
        case 9:
        case 10:
        case 12:
            return 4;
        case 13:
        case 14:
        case 15:
        case 16:
        case 18:
            return 8;
        case TYPE_STRING:
            return end != 0 && end <= kMaxWriteString ? end + 1 : 81;
        case TYPE_WSTRING:
            return end != 0 && end <= kMaxWriteString ? (static_cast<size_t>(end) + 1) * 2 : 82;
        default:
            return reg_type == 0 ? 1 : reg_type;
    }
}

bool ConvertValue(const uint8_t* D, size_t size, int typeCode, uint8_t reg_type, uint32_t reg_addr,
                  PLC_DRV_BUFF* buff, uint32_t first, uint32_t count) {
    if (reg_type != 0 && reg_type != 2 && reg_type != 4 && reg_type != 8) {
        return false;
    }
    if (buff == nullptr || buff->buff == nullptr || buff->length == 0 || D == nullptr) {
        return true;
    }
    uint8_t* out = buff->buff;
    const uint32_t cap = buff->length;
    if (typeCode == TYPE_STRING) {
        if (reg_addr >= size) {
            return true;
        }
        size_t avail = std::min<size_t>(size - reg_addr, cap);
        const uint8_t* src = D + reg_addr;
        size_t len = 0;
        while (len < avail && src[len] != 0) {
            ++len;
        }
        std::memcpy(out, src, len);
        if (len < cap) {
            out[len] = 0;
        }
        return true;
    }
    if (typeCode == TYPE_WSTRING) {
        uint64_t off = static_cast<uint64_t>(reg_addr) * 2;
        if (off >= size) {
            return true;
        }
        std::memcpy(out, D + off, std::min<uint64_t>(size - off, static_cast<uint64_t>(cap) * 2));
        return true;
    }
    if (reg_type == 0) {
        std::memset(out, 0, std::min<uint32_t>(cap / 8 + 1, cap));
        for (uint32_t j = 0; j < cap && j < size; ++j) {
            if ((D[j] & 1) != 0) {
                out[j / 8] = static_cast<uint8_t>(out[j / 8] | (1u << (j % 8)));
            }
        }
        return true;
    }
    for (uint32_t j = 0; j < count; ++j) {
        uint64_t e = static_cast<uint64_t>(first) + j;
        if (e >= cap) {
            break;
        }
        uint64_t src = static_cast<uint64_t>(j) * reg_type;
        if (reg_type == 2) {
            if (IsNarrow(typeCode)) {
                if (src + 1 > size) {
                    break;
                }
                uint8_t lo = D[src];
                out[e * 2] = lo;
                out[e * 2 + 1] = (typeCode == TYPE_SINT && (lo & 0x80) != 0) ? 0xFF : 0x00;
                continue;
            }
        }
        if (src + reg_type > size) {
            break;
        }
        std::memcpy(out + e * reg_type, D + src, reg_type);
    }
    return true;
}

}  // namespace plc_driver

using namespace plc_driver;

extern "C" {

int ev_plc_read_new(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, PLC_DRV_INIT_SETTINGS* settings, int count,
                    UserOper* user) noexcept {
    if (reg == nullptr || buff == nullptr || count < 1 || count > PLC_MAX_GROUP_ITEMS) {
        return 3;
    }
    int ret = ReadPreconditions(settings);
    if (ret == 0) {
        ret = WaitForTags();
    }
    if (ret != 0) {
        return ret;
    }
    std::vector<PreparedItem> items;
    std::vector<char*> names;
    try {
        items.resize(static_cast<size_t>(count));
        names.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return 3;
    }
    for (int i = 0; i < count; ++i) {
        ret = PrepareItem(&reg[i], &buff[i], IndexPosition[i], &items[static_cast<size_t>(i)]);
        if (ret != 0) {
            return ret;
        }
        names[static_cast<size_t>(i)] = items[static_cast<size_t>(i)].name;
    }
    PlcVarValue** ppValues = nullptr;
    uint32_t ulValues = 0;
    HVARLIST hList = KestrolinkSyncReadVarsFromPlc(ulKestrolink, names.data(), static_cast<uint32_t>(count),
                                                   &ppValues, &ulValues);
    if (hList == nullptr) {
        init = 0;
        std::printf("*** Reading values failed %d***\n", static_cast<int>(ulValues));
        KestrolinkSyncReadVarsFromPlcReleaseValues(ulKestrolink, nullptr);
        for (int i = 0; i < count; ++i) {
            PrintItem("", i, &reg[i], &buff[i], items[static_cast<size_t>(i)]);
        }
        return 3;
    }
    uint32_t n = std::min<uint32_t>(ulValues, static_cast<uint32_t>(count));
    for (uint32_t i = 0; i < n; ++i) {
        if (ppValues == nullptr || ppValues[i] == nullptr) {
            continue;
        }
        const PreparedItem& item = items[i];
        size_t size =
            ValueSizeOf(item.name, item.type, struct_tag_List_pointer[item.position], reg[i].reg_type);
        ConvertValue(DataOf(ppValues[i]), size, item.type, reg[i].reg_type, reg[i].reg_addr, &buff[i], 0,
                     buff[i].length);
    }
    KestrolinkSyncReadVarsFromPlcReleaseValues(ulKestrolink, hList);
    return ev_plc_read_new_sub(reg, buff, settings, count, user);
}

int ev_plc_read(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, PLC_DRV_INIT_SETTINGS* settings, uint16_t /*_no*/,
                UserOper* user) noexcept {
    return ev_plc_read_new(reg, buff, settings, 1, user);
}

int ev_plc_read_new_sub(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, PLC_DRV_INIT_SETTINGS* settings, int count,
                        UserOper* user) noexcept {
    if (reg == nullptr || buff == nullptr || count < 1 || count > PLC_MAX_GROUP_ITEMS) {
        return 0;
    }
    bool failed = false;
    for (int i = 0; i < count; ++i) {
        uint32_t p = TagPosition(&reg[i]);
        if (!ValidPosition(p)) {
            continue;
        }
        int type = datatype_judge(struct_tag_List_pointer[p]._type_t);
        if (type == TYPE_BOOL || type == TYPE_STRING || type == TYPE_WSTRING || buff[i].length <= 1) {
            continue;
        }
        PLC_DRV_REG_ADDR regCopy = reg[i];
        PLC_DRV_BUFF buffCopy = buff[i];
        int n = buffCopy.length > kMaxSplitElements ? static_cast<int>(kMaxSplitElements) + 1
                                                    : static_cast<int>(buffCopy.length);
        if (ev_plc_read_new_sub_son(&regCopy, &buffCopy, settings, n, user, IndexPosition[i]) != 0) {
            failed = true;
        }
    }
    return failed ? PLC_ERROR : PLC_OK;
}

int ev_plc_read_new_sub_son(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, PLC_DRV_INIT_SETTINGS* settings, int n,
                            UserOper* /*user*/, uint16_t IndexPositionEntry) noexcept {
    if (reg == nullptr || buff == nullptr || n < 1 || static_cast<uint32_t>(n) > kMaxSplitElements) {
        return 3;
    }
    int ret = ReadPreconditions(settings);
    if (ret == 0) {
        ret = WaitForTags();
    }
    if (ret != 0) {
        return ret;
    }
    PreparedItem item;
    ret = PrepareItem(reg, buff, IndexPositionEntry, &item);
    if (ret != 0) {
        return ret;
    }
    std::vector<std::vector<char>> elementNames;
    std::vector<char*> names;
    try {
        elementNames.assign(static_cast<size_t>(n), std::vector<char>(kTagNameSize, '\0'));
        names.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        return 3;
    }
    const Struct_Tag_List_pointer& rec = struct_tag_List_pointer[item.position];
    std::memcpy(elementNames[0].data(), item.name, kTagNameSize);
    names[0] = elementNames[0].data();
    for (int k = 1; k < n; ++k) {
        char* name = elementNames[static_cast<size_t>(k)].data();
        std::memcpy(name, item.base, kTagNameSize);
        if (check_name(name, item.type, rec.isArray, reg->reg_addr + static_cast<uint32_t>(k)) != 0) {
            return 3;
        }
        names[static_cast<size_t>(k)] = name;
    }
    PlcVarValue** ppValues = nullptr;
    uint32_t ulValues = 0;
    HVARLIST hList = KestrolinkSyncReadVarsFromPlc(ulKestrolink, names.data(), static_cast<uint32_t>(n),
                                                   &ppValues, &ulValues);
    if (hList == nullptr) {
        init = 0;
        std::printf("ss*** Reading values failed %d***\n", static_cast<int>(ulValues));
        KestrolinkSyncReadVarsFromPlcReleaseValues(ulKestrolink, nullptr);
        PrintItem("ss", 0, reg, buff, item);
        return 3;
    }
    uint32_t count = std::min<uint32_t>(ulValues, static_cast<uint32_t>(n));
    if (ppValues != nullptr && count > 0) {
        if (item.type == TYPE_STRING || item.type == TYPE_WSTRING || reg->reg_type == 0) {
            if (ppValues[0] != nullptr) {
                size_t size = ValueSizeOf(names[0], item.type, rec, reg->reg_type);
                ConvertValue(DataOf(ppValues[0]), size, item.type, reg->reg_type, reg->reg_addr, buff, 0,
                             buff->length);
            }
        } else {
            for (uint32_t k = 0; k < count; ++k) {
                if (ppValues[k] == nullptr) {
                    continue;
                }
                size_t size = ValueSizeOf(names[k], item.type, rec, reg->reg_type);
                ConvertValue(DataOf(ppValues[k]), size, item.type, reg->reg_type, reg->reg_addr, buff, k, 1);
            }
        }
    }
    KestrolinkSyncReadVarsFromPlcReleaseValues(ulKestrolink, hList);
    return 0;
}

int ev_plc_write(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, PLC_DRV_INIT_SETTINGS* /*settings*/,
                 UserOper* /*user*/) noexcept {
    if (reg == nullptr || buff == nullptr) {
        return 3;
    }
    if (WaitForTags() != 0) {
        return PLC_ERROR;
    }
    PreparedItem item;
    int ret = PrepareItem(reg, buff, IndexPosition[0], &item);
    if (ret != 0) {
        return ret;
    }
    const Struct_Tag_List_pointer& rec = struct_tag_List_pointer[item.position];
    uint8_t* value = buff->buff;
    uint64_t size = 0;
    switch (reg->reg_type) {
        case 0:
            size = buff->length;
            break;
        case 2:
            size = IsNarrow(item.type) ? buff->length : static_cast<uint64_t>(buff->length) * 2;
            break;
        default:
            size = static_cast<uint64_t>(buff->length) * reg->reg_type;
            break;
    }
    if (item.type == TYPE_STRING || item.type == TYPE_WSTRING) {
        const uint64_t unit = item.type == TYPE_WSTRING ? 2 : 1;
        const uint32_t end = rec.Array_end[0];
        if (end < 1 || end > kMaxWriteString || buff->buff == nullptr) {
            return 3;
        }
        const uint64_t stringSize = end * unit;
        const uint64_t offset = static_cast<uint64_t>(reg->reg_addr) * unit;
        if (offset + 2 > stringSize) {
            return 3;
        }
        if (reg->reg_type == 2) {
            size = stringSize;
        } else if (size > stringSize) {
            return 3;
        }
        // The characters around the two written ones come from the controller.
        std::memset(tmp_write_string, 0, sizeof(tmp_write_string));
        char* names[1] = {item.name};
        PlcVarValue** ppValues = nullptr;
        uint32_t ulValues = 0;
        HVARLIST hList = KestrolinkSyncReadVarsFromPlc(ulKestrolink, names, 1, &ppValues, &ulValues);
        if (hList == nullptr) {
            init = 0;
            std::printf("*** Reading values failed %d***\n", static_cast<int>(ulValues));
            KestrolinkSyncReadVarsFromPlcReleaseValues(ulKestrolink, nullptr);
            return 3;
        }
        if (ulValues >= 1 && ppValues != nullptr && ppValues[0] != nullptr) {
            PLC_DRV_BUFF current = {end - 1, tmp_write_string};
            ConvertValue(DataOf(ppValues[0]), ValueSizeOf(item.name, item.type, rec, 2), item.type, 2, 0,
                         &current, 0, current.length);
        }
        KestrolinkSyncReadVarsFromPlcReleaseValues(ulKestrolink, hList);
        std::memcpy(tmp_write_string + offset, buff->buff, 2);
        value = tmp_write_string;
    }
    if (size > 0xFFFFFFFFu) {
        return 3;
    }
    char* names[1] = {item.name};
    uint8_t* values[1] = {value};
    uint32_t sizes[1] = {static_cast<uint32_t>(size)};
    if (KestrolinkSyncWriteVarsToPlc2(ulKestrolink, names, 1, values, sizes) == RESULT_OK) {
        return PLC_OK;
    }
    std::printf("*** Writing values failed ***");
    init = 0;
    return PLC_ERROR;
}

int print_err_tag(PLC_DRV_REG_ADDR* reg, PLC_DRV_BUFF* buff, int tag_addr) noexcept {
    // "Communication failed, variable:" in GB2312, as the panel's console shows it.
    static const char kFailed[] = "\xcd\xa8\xd1\xb6\xca\xa7\xb0\xdc,\xb1\xe4\xc1\xbf:";
    const char* pszName = "";
    if (tag_addr >= 1 && ValidPosition(static_cast<uint32_t>(tag_addr))) {
        pszName = struct_tag_List_pointer[static_cast<size_t>(tag_addr)]._name_t;
    }
    std::printf("%s%.255s\n", kFailed, pszName);
    if (reg != nullptr && buff != nullptr) {
        std::printf(
            "......reg_addr->reg_id=%d,reg_addr->sub_reg_id=%d,reg_addr->reg_addr=%d,buff->length=%d\n",
            reg->reg_id, reg->sub_reg_id, static_cast<int>(reg->reg_addr), static_cast<int>(buff->length));
    }
    return 0;
}

}  // extern "C"
