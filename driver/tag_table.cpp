// Loading the tag table from the port's GB2312 tag file, building variable
// names from records and requests, and the index cache folder of the port.
// Every text built here is bounded; paths go only to system calls.
#include "tag_table.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "plc_driver.h"

namespace plc_driver {

std::vector<Struct_Tag_List_pointer> struct_tag_List_pointer;
int num = 0;
std::atomic<int> init_flag{0};

const char kTagFileHeader[] = "Id,Name,DataType,IsArray,Start,End,Maxvalue,Minvalue,StationNo,Comments\r\n";
static_assert(sizeof(kTagFileHeader) - 1 == 73, "the header of the GB2312 copy is 73 bytes");

namespace {

constexpr size_t kCacheRecordSize = 32;

const char* const kTypeNames[] = {"BOOL",  "BYTE",  "SINT",  "USINT",   "WORD",   "INT",  "UINT",
                                  "DWORD", "DINT",  "UDINT", "REAL",    "STRING", "TIME", "LINT",
                                  "ULINT", "SLINT", "LWORD", "WSTRING", "LREAL"};

// snprintf that reports a cut instead of handing one out.
template <typename... Args>
bool Format(char* out, size_t size, const char* fmt, Args... args) {
    if (size == 0) {
        return false;
    }
    int n = std::snprintf(out, size, fmt, args...);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

// A decimal number at p, saturating instead of wrapping (a huge Id must not
// come back as a small one).
uint32_t ReadDecimal(const char* p) {
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFu) {
            return 0xFFFFFFFFu;
        }
        ++p;
    }
    return static_cast<uint32_t>(v);
}

// Parses one tag line into rec (cleared first); true when the line reached
// its "End" column.
bool ParseTagLine(const char* line, Struct_Tag_List_pointer* rec) {
    std::memset(rec, 0, sizeof(*rec));
    size_t nameLen = 0;
    size_t typeLen = 0;
    int field = 0;
    for (size_t i = 0; i < 256 && line[i] != '\0'; ++i) {
        char c = line[i];
        if (c == ',') {
            ++field;
            if (field == 3) {
                rec->isArray = static_cast<uint8_t>(ReadDecimal(&line[i + 1]));
            } else if (field == 4) {
                rec->Array_start[0] = ReadDecimal(&line[i + 1]);
            } else if (field == 5) {
                rec->Array_end[0] = ReadDecimal(&line[i + 1]);
                return true;
            }
            continue;
        }
        if (field == 1 && nameLen < sizeof(rec->_name_t) - 1) {
            rec->_name_t[nameLen++] = c;
        } else if (field == 2 && typeLen < sizeof(rec->_type_t) - 1) {
            rec->_type_t[typeLen++] = c;
        }
    }
    return false;
}

// The index cache starts empty at every load: the files of that one folder
// are removed, nothing below it.
void PrepareCacheDir(const char* dir) {
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        return;
    }
    DIR* d = opendir(dir);
    if (d == nullptr) {
        return;
    }
    int dfd = dirfd(d);
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
            continue;
        }
        unlinkat(dfd, e->d_name, 0);  // fails harmlessly on a folder
    }
    closedir(d);
}

bool IsValidPosition(uint32_t p) {
    return p >= 1 && static_cast<int64_t>(p) < num && p < struct_tag_List_pointer.size();
}

// Reads a cache record: true with the position (0 = nothing matched) when the
// file holds a full record that fits the current table.
bool ReadCacheRecord(const char* path, uint32_t* pPosition) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char rec[kCacheRecordSize + 1] = {};
    ssize_t got = read(fd, rec, kCacheRecordSize);
    close(fd);
    if (got != static_cast<ssize_t>(kCacheRecordSize)) {
        return false;
    }
    if (rec[0] == '\0') {
        *pPosition = 0;
        return true;
    }
    size_t digits = 0;
    while (rec[digits] >= '0' && rec[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits > 8 || rec[digits] != '\0') {
        return false;
    }
    uint32_t position = ReadDecimal(rec);
    if (!IsValidPosition(position)) {
        return false;
    }
    *pPosition = position;
    return true;
}

uint32_t SearchTable(const char* name) {
    for (size_t p = 1; p < struct_tag_List_pointer.size() && static_cast<int64_t>(p) < num; ++p) {
        if (std::strncmp(struct_tag_List_pointer[p]._name_t, name, kTagNameSize) == 0) {
            return static_cast<uint32_t>(p);
        }
    }
    return 0;
}

}  // namespace

bool BuildTagFilePath(char* out, size_t size, TagFile which) {
    if (out == nullptr || size == 0) {
        return false;
    }
    out[0] = '\0';
    unsigned no = global_structure._no;
    const char* pszGroup = nullptr;
    if (no < 4) {
        pszGroup = "/Serial/";
    } else if (no >= 4096) {
        pszGroup = "/Ethernet/";
    } else {
        return false;
    }
    const char* dir = global_structure.PlcDir;
    switch (which) {
        case TagFile::Utf8:
            return Format(out, size, "%.255s%sdrv_%u.csv", dir, pszGroup, no);
        case TagFile::Gb2312:
            return Format(out, size, "%.255s%sdrv_%u_gb.csv", dir, pszGroup, no);
        case TagFile::IndexDir:
            return Format(out, size, "%.255s%sIndex_ID_%u", dir, pszGroup, no);
    }
    return false;
}

void ReleaseTagTable() {
    std::vector<Struct_Tag_List_pointer>().swap(struct_tag_List_pointer);
    num = 0;
}

uint16_t Malvora_TAG_Init_new() {
    init_flag = 0;
    ReleaseTagTable();
    char fileGbName[kTagPathSize] = {};
    char cacheDir[kTagPathSize] = {};
    if (BuildTagFilePath(cacheDir, sizeof(cacheDir), TagFile::IndexDir)) {
        PrepareCacheDir(cacheDir);
    }
    try {
        struct_tag_List_pointer.assign(2, Struct_Tag_List_pointer{});
    } catch (const std::bad_alloc&) {
        return 3;
    }
    num = 1;
    bool okPath = BuildTagFilePath(fileGbName, sizeof(fileGbName), TagFile::Gb2312);
    std::printf("file_name=%s\n", fileGbName);
    FILE* f = okPath ? std::fopen(fileGbName, "rb") : nullptr;
    if (f == nullptr) {
        std::printf("file :%s open error \r\n", fileGbName);
        return 3;
    }
    char line[256];
    bool header = true;
    while (true) {
        std::memset(line, 0, sizeof(line));
        if (std::fgets(line, sizeof(line), f) == nullptr) {
            break;
        }
        size_t len = std::strlen(line);
        if (len == sizeof(line) - 1 && line[len - 1] != '\n') {
            // The rest of an over-long line is not a line of its own.
            int c;
            while ((c = std::fgetc(f)) != EOF && c != '\n') {
            }
        }
        if (header) {
            header = false;
            continue;
        }
        uint32_t id = ReadDecimal(line);
        if (id > kMaxTagId) {
            continue;
        }
        if (static_cast<int64_t>(id) > num) {
            num = static_cast<int>(id);
        }
        try {
            // New records, gap records among them, come zeroed.
            struct_tag_List_pointer.resize(static_cast<size_t>(num) + 1);
        } catch (const std::bad_alloc&) {
            std::fclose(f);
            ReleaseTagTable();
            return 3;
        }
        Struct_Tag_List_pointer& rec = struct_tag_List_pointer[static_cast<size_t>(num)];
        bool complete = ParseTagLine(line, &rec);
        rec.Tag_Addr = id;
        if (complete) {
            ++num;
        }
        struct_tag_List_pointer[static_cast<size_t>(num) - 1].handle_flag = 0;
    }
    std::printf("end file ....\r");
    std::fclose(f);
    init_flag = 1;
    std::printf("\n\n.............tag_init over>>>>>>\n");
    return 0;
}

int datatype_judge(const char* pszType) {
    if (pszType == nullptr) {
        return 19;
    }
    for (int i = 0; i < static_cast<int>(sizeof(kTypeNames) / sizeof(kTypeNames[0])); ++i) {
        if (std::strcmp(pszType, kTypeNames[i]) == 0) {
            return i;
        }
    }
    return 19;
}

int check_name(char* name, int type_id, int isArray, uint32_t reg_addr) {
    if (name == nullptr) {
        return 3;
    }
    std::string text(name, strnlen(name, kTagNameSize - 1));
    for (char& c : text) {
        if (c == ':') {
            c = ',';
        }
    }
    std::string result;
    if (type_id == TYPE_STRING || type_id == TYPE_WSTRING || isArray != 1) {
        result = text;
    } else if (text.empty() || text.back() != ']') {
        result = text + "[" + std::to_string(reg_addr) + "]";
    } else {
        size_t open = text.rfind('[');
        if (open == std::string::npos) {
            return 3;
        }
        std::string list = text.substr(open + 1, text.size() - open - 2);
        std::string indexes;
        int count = 0;
        size_t start = 0;
        while (true) {
            size_t comma = list.find(',', start);
            std::string item =
                list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            size_t b = item.find_first_not_of(' ');
            size_t e = item.find_last_not_of(' ');
            item = b == std::string::npos ? std::string() : item.substr(b, e - b + 1);
            size_t digitsFrom = (!item.empty() && item[0] == '-') ? 1 : 0;
            if (item.size() == digitsFrom || item.size() > 11 ||
                item.find_first_not_of("0123456789", digitsFrom) != std::string::npos) {
                return 3;
            }
            // At most two leading indexes: the element address is the third.
            if (++count > 2) {
                return 3;
            }
            indexes += item + ",";
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        result = text.substr(0, open) + "[" + indexes + std::to_string(reg_addr) + "]";
    }
    if (result.size() >= kTagNameSize) {
        return 3;
    }
    std::memcpy(name, result.c_str(), result.size() + 1);
    return 0;
}

int check_name_index(char* name, uint16_t IndexPosition, uint32_t index_value) {
    if (name == nullptr) {
        return 3;
    }
    std::string text(name, strnlen(name, kTagNameSize - 1));
    std::string head;
    std::string tail;
    char cut = 0;
    unsigned dots = 0;
    for (size_t i = text.size(); i-- > 1;) {
        if (text[i] == '.') {
            ++dots;
        }
        if (dots != IndexPosition) {
            continue;
        }
        if (text[i] == '.' && text[i - 1] == ']') {
            tail = text.substr(i);
            --i;  // past the "]"
            continue;
        }
        if (text[i] == ':' || text[i] == '[') {
            head = text.substr(0, i);
            cut = text[i];
            break;
        }
    }
    if (cut == 0) {
        return 3;  // no array segment at that position
    }
    std::string result = head + (cut == '[' ? "[" : ",") + std::to_string(index_value) + "]" + tail;
    if (result.size() >= kTagNameSize) {
        return 3;
    }
    std::memcpy(name, result.c_str(), result.size() + 1);
    return 0;
}

void Index_name_to_ID(const char* name, uint32_t* ID, uint16_t IndexPosition, uint32_t value) {
    if (name == nullptr || ID == nullptr) {
        return;
    }
    char dir[kTagPathSize] = {};
    char path[kTagPathSize] = {};
    bool havePath =
        BuildTagFilePath(dir, sizeof(dir), TagFile::IndexDir) &&
        Format(path, sizeof(path), "%s/%u_%u_%u", dir, *ID, static_cast<unsigned>(IndexPosition), value);
    uint32_t position = 0;
    if (havePath && access(path, F_OK) == 0 && ReadCacheRecord(path, &position)) {
        *ID = position;
        return;
    }
    // No usable record: the table decides, and the answer is kept for next time.
    std::printf("Index_ID no found in file,file_name=%s\n", path);
    position = SearchTable(name);
    std::printf("*ID=%d ,tmp_buff=%s\n", static_cast<int>(position), name);
    if (havePath) {
        char rec[kCacheRecordSize] = {};
        if (position != 0) {
            Format(rec, sizeof(rec), "%u", position);
        }
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t w = write(fd, rec, sizeof(rec));
            close(fd);
            if (w != static_cast<ssize_t>(sizeof(rec))) {
                unlink(path);
            }
        }
    }
    *ID = position;
    std::printf("index over ID=%d\n", static_cast<int>(position));
}

}  // namespace plc_driver
