// The tag loader fed arbitrary tag files: the bytes become the port's UTF-8
// tag file, which is converted to GB2312 and loaded, and the loaded table is
// checked against the loader's own limits.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "charset.h"
#include "plc_driver.h"
#include "tag_table.h"

namespace {
std::string ProjectDir() {
    static std::string dir;
    if (dir.empty()) {
        char templ[] = "/tmp/fuzz_tag_csv.XXXXXX";
        const char* made = mkdtemp(templ);
        if (made == nullptr) {
            std::abort();
        }
        dir = made;
        mkdir((dir + "/Ethernet").c_str(), 0755);
    }
    return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plc_driver;
    // Ids of six digits and more grow the table to hundreds of megabytes, slow
    // runs near the fuzzer's memory limit; the loader's own bound is tested by the unit tests.
    for (size_t i = 0, run = 0; i < size; ++i) {
        bool lineStart = i == 0 || data[i - 1] == '\n';
        run = (data[i] >= '0' && data[i] <= '9') ? (lineStart ? 1 : (run != 0 ? run + 1 : 0)) : 0;
        if (run >= 6) {
            return 0;
        }
    }
    std::string dir = ProjectDir();
    global_structure._no = 4096;
    std::snprintf(global_structure.PlcDir, sizeof(global_structure.PlcDir), "%s", dir.c_str());
    FILE* f = std::fopen((dir + "/Ethernet/drv_4096.csv").c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    csv_utf8_gb2312();
    // The loader also runs on a partial copy, as it does after a failed conversion.
    if (Malvora_TAG_Init_new() == 0) {
        if (num < 1 || static_cast<size_t>(num) > struct_tag_List_pointer.size()) {
            std::abort();
        }
        for (const Struct_Tag_List_pointer& rec : struct_tag_List_pointer) {
            if (strnlen(rec._name_t, sizeof(rec._name_t)) == sizeof(rec._name_t) ||
                strnlen(rec._type_t, sizeof(rec._type_t)) == sizeof(rec._type_t) ||
                rec.Tag_Addr > kMaxTagId) {
                std::abort();
            }
        }
    }
    return 0;
}
