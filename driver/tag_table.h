// The panel driver's tag table: the port's CSV tag file loaded into records
// addressed by position, the names built from a record and a panel request
// (array element, run-time index), and the on-disk index cache that maps a
// substituted name back to its position.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace plc_driver {

struct Struct_Tag_List_pointer {
    uint32_t Tag_Addr;
    char _name_t[256];
    char _type_t[16];
    uint8_t isArray;
    uint8_t Array_No;
    uint32_t Array_start[3];
    uint32_t Array_end[3];
    uint8_t handle_flag;
    uint8_t plctag_handle[20];
    int offset;
};

// Position 0 is never a tag; valid positions are 1 to num - 1.
extern std::vector<Struct_Tag_List_pointer> struct_tag_List_pointer;
extern int num;
// 1 once a load succeeded; 0 while loading or after a failed load. Polled by
// the read and write paths.
extern std::atomic<int> init_flag;

// Bounds of built texts: file paths, and the names handed to the SDK.
constexpr size_t kTagPathSize = 1000;
constexpr size_t kTagNameSize = 256;
// Ids above this are not tags (the position is 24 bits wide).
constexpr uint32_t kMaxTagId = 0xFFFFFF;

// Header of the GB2312 copy, whatever the original's header was.
extern const char kTagFileHeader[];

enum class TagFile { Utf8, Gb2312, IndexDir };
// PlcDir + group folder + the file's name for the recorded port. false (and
// an empty text) for ports 4 to 4095, which have no group folder, and for a
// path that does not fit.
bool BuildTagFilePath(char* out, size_t size, TagFile which);

// Loads the GB2312 tag file: 0, or 3 (file missing, no tag folder, out of memory).
uint16_t Malvora_TAG_Init_new();
// Drops the table (a reload starts from an empty one).
void ReleaseTagTable();

// Type code of a type name (19 for any name not in the table).
int datatype_judge(const char* pszType);
enum { TYPE_BOOL = 0, TYPE_BYTE = 1, TYPE_SINT = 2, TYPE_USINT = 3, TYPE_STRING = 11, TYPE_WSTRING = 17 };

// Name builders, in place on a kTagNameSize buffer: 0, or 3 when the result
// does not fit, the index list cannot be read or holds three or more indexes
// (check_name), or the index position finds no array segment (check_name_index).
int check_name(char* name, int type_id, int isArray, uint32_t reg_addr);
int check_name_index(char* name, uint16_t IndexPosition, uint32_t index_value);

// Position of a substituted name, through the index cache of the port. *ID
// holds the tag position the name came from and receives the position found,
// 0 when no record carries the name.
void Index_name_to_ID(const char* name, uint32_t* ID, uint16_t IndexPosition, uint32_t value);

}  // namespace plc_driver
