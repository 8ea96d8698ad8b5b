// The built libkestrolink.so as a panel uses it: loaded at run time, the
// driver entry found by name, then "Init" and "Info" in the panel's order.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "TestSupport.h"
#include "kestrolink/PlcDrv.h"

TEST(PlcDrvLibrary, PanelLoadsTheLibraryAndRunsInitAndInfo) {
    void* lib = dlopen(KL_LIBKESTROLINK_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    typedef int (*PfPlcDrvCmd)(const char*, void*, void*);
    typedef int (*PfDriverInfo)(PLC_DRV_INFO*);
    auto pfCmd = reinterpret_cast<PfPlcDrvCmd>(dlsym(lib, "PlcDrvCmd"));
    auto pfInfo = reinterpret_cast<PfDriverInfo>(dlsym(lib, "ev_plc_driver_info"));
    ASSERT_NE(pfCmd, nullptr);
    ASSERT_NE(pfInfo, nullptr);
    for (const char* name :
         {"ev_plc_init", "ev_plc_read", "ev_plc_read_new", "ev_plc_write", "ev_sleep", "ev_time_set"}) {
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    }

    PLC_DRV_INFO info{0, 0};
    EXPECT_EQ(pfInfo(&info), 0);
    EXPECT_EQ(info.driver_no, PLC_DRIVER_NO);
    EXPECT_EQ(info.version, PLC_DRIVER_VERSION);

    kltest::TempDir dir;
    // "Init" installs the character-set files: into the test's folder, not the system's.
    setenv("KESTROLINK_CHARSET_ROOT", dir.Path().c_str(), 1);
    ComAttr attr{};
    attr._hardware = PLC_HARDWARE_ETHERNET;
    const uint8_t ip[4] = {127, 0, 0, 1};
    std::memcpy(&attr._baud, ip, sizeof(ip));
    attr._checkBits = 0x2D;
    attr._datBits = 0xDC;
    attr._no = 4096;
    PlcDrv* drv = nullptr;
    EXPECT_EQ(pfCmd("init", &drv, &attr), PLC_INV_CMD);
    ASSERT_EQ(pfCmd("Init", &drv, &attr), PLC_OK);
    ASSERT_NE(drv, nullptr);

    int paras = 2;
    void* args[2] = {&paras, const_cast<char*>(dir.Path().c_str())};
    EXPECT_EQ(pfCmd("Info", drv, args), PLC_OK);
    EXPECT_EQ(pfCmd("Loop", drv, nullptr), PLC_OK);
    EXPECT_EQ(pfCmd("Destroy", drv, nullptr), PLC_OK);
    // Like a panel, the test keeps the library loaded: the driver's detached
    // start-up thread may still be running inside it.
}
