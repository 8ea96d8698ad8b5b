// Configuration INI files: the section reader over arbitrary bytes, and the
// reading of a whole configuration entry (records, parameters, gateway) from
// such a file, with the records released afterwards.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PLCConfig.h"
#include "PLCUtil.h"

namespace {
const char* ScratchFile() {
    static char s_path[] = "/tmp/fuzz_PlcConfigIni.XXXXXX";
    static bool s_made = false;
    if (!s_made) {
        int fd = mkstemp(s_path);
        if (fd < 0) {
            std::abort();
        }
        close(fd);
        s_made = true;
    }
    return s_path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CKestrolinkIniSection section;
    if (section.Parse(reinterpret_cast<const char*>(data), size, "PLC:Line1")) {
        section.Find("parameters");
        section.Find("value0");
    }

    const char* path = ScratchFile();
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    PlcConfig config{};
    PlcDeviceDesc device{};
    for (RTS_UI32 id = 0; id < 2; ++id) {
        config.ulId = id;
        UtlSetConfigFromIniFile(path, &config, &device);
        char text[32];
        UtlStructReadString("DeviceName", "", text, sizeof(text), &device);
        UtlStructReadULong("ConfigIsOverloadable", 0, &device);
    }
    PlcConfig copy{};
    PlcDeviceDesc deviceCopy{};
    UtlCopyPlcConfig(&copy, &config);
    UtlCopyPlcDeviceDesc(&deviceCopy, &device);
    UtlDeletePlcConfig(&copy);
    UtlDeletePlcDeviceDesc(&deviceCopy);
    UtlDeletePlcConfig(&config);
    UtlDeletePlcDeviceDesc(&device);
    GetPlcIdbyName("Line1", path);
    return 0;
}
