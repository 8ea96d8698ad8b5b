// The seams of the driver are set before any test runs: pauses are counted
// instead of slept, the character-set files go into a temporary folder, and
// a read that must connect fails at once unless a test chose a connection.
#include "DriverTestSupport.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "charset.h"
#include "plc_driver.h"
#include "tag_rw.h"
#include "tag_table.h"

namespace drvtest {
namespace {
std::atomic<unsigned> s_pausedMs{0};

void CountPause(unsigned int ms) {
    s_pausedMs += ms;
}

int NoController(PLC_DRV_INIT_SETTINGS*) {
    return -1;
}

struct DriverSeams {
    kltest::TempDir root;
    DriverSeams() {
        plc_driver::SetDriverPause(CountPause);
        plc_driver::SetDriverConnect(NoController);
        plc_driver::SetCharsetInstallRoot(root.Path());
    }
};
DriverSeams s_seams;
}  // namespace

unsigned TakePausedMs() {
    return s_pausedMs.exchange(0);
}

int LoadTags(const kltest::TempDir& project, const std::string& lines) {
    mkdir((project.Path() + "/Ethernet").c_str(), 0755);
    kltest::WriteFile(project.Path() + "/Ethernet/drv_4096.csv", "Id,Name,Type\r\n" + lines);
    plc_driver::global_structure._no = 4096;
    std::snprintf(plc_driver::global_structure.PlcDir, sizeof(plc_driver::global_structure.PlcDir), "%s",
                  project.Path().c_str());
    if (plc_driver::csv_utf8_gb2312() != 0) {
        return -1;
    }
    plc_driver::tag_init_flag = plc_driver::Malvora_TAG_Init_new();
    return plc_driver::tag_init_flag;
}

}  // namespace drvtest
