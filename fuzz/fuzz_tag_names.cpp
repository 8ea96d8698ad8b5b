// The name builders fed arbitrary records and requests: a tag name with its
// type, array flag, element address, index position and index value goes
// through the run-time index substitution and the element name builder, and
// the result must stay a terminated text of the name buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tag_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plc_driver;
    // Request fields first, the tag name after them.
    if (size < 10) {
        return 0;
    }
    int type = data[0] % 20;
    int isArray = data[1] & 1;
    uint32_t regAddr = static_cast<uint32_t>(data[2]) | (static_cast<uint32_t>(data[3]) << 8) |
                       (static_cast<uint32_t>(data[4]) << 16) | (static_cast<uint32_t>(data[5]) << 24);
    uint16_t position = static_cast<uint16_t>(data[6] % 16);
    uint32_t indexValue = static_cast<uint32_t>(data[7]) | (static_cast<uint32_t>(data[8]) << 8);
    bool indexed = (data[9] & 1) != 0;
    char name[kTagNameSize] = {};
    size_t n = size - 10 < kTagNameSize - 1 ? size - 10 : kTagNameSize - 1;
    std::memcpy(name, data + 10, n);
    char before[kTagNameSize];
    std::memcpy(before, name, sizeof(name));
    if (indexed && position != 0) {
        if (check_name_index(name, position, indexValue) != 0 &&
            std::memcmp(before, name, sizeof(name)) != 0) {
            std::abort();  // a refused request leaves the name alone
        }
        if (strnlen(name, sizeof(name)) == sizeof(name)) {
            std::abort();
        }
    }
    std::memcpy(before, name, sizeof(name));
    if (check_name(name, type, isArray, regAddr) != 0 && std::memcmp(before, name, sizeof(name)) != 0) {
        std::abort();
    }
    if (strnlen(name, sizeof(name)) == sizeof(name)) {
        std::abort();
    }
    return 0;
}
