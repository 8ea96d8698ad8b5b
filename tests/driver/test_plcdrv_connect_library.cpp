// The driver's connect as a panel reaches it: the built libkestrolink.so
// loaded at run time, "Init" for a loopback port where no controller
// listens, then Malvora_connect_init. It fails, and leaves nothing behind:
// no SDK runtime keeps running, and the next attempt fails the same way.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "TestSupport.h"
#include "kestrolink/PlcDrv.h"

namespace {
uint16_t UnusedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    close(fd);
    return ntohs(addr.sin_port);
}

// Threads of this process with that name (the SDK names its tasks).
int ThreadsNamed(const std::string& name) {
    int n = 0;
    DIR* pDir = opendir("/proc/self/task");
    if (pDir == nullptr) {
        return -1;
    }
    for (dirent* pEntry = readdir(pDir); pEntry != nullptr; pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') {
            continue;
        }
        std::string comm = kltest::ReadFile(std::string("/proc/self/task/") + pEntry->d_name + "/comm");
        if (comm.compare(0, name.size(), name) == 0) {
            ++n;
        }
    }
    closedir(pDir);
    return n;
}
}  // namespace

TEST(PlcDrvConnectLibrary, ConnectWithoutControllerFailsAndLeavesNothingBehind) {
    void* lib = dlopen(KL_LIBKESTROLINK_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    typedef int (*PfPlcDrvCmd)(const char*, void*, void*);
    typedef int (*PfConnect)(PLC_DRV_INIT_SETTINGS*);
    typedef void (*PfClose)(PLC_DRV_INIT_SETTINGS*);
    auto pfCmd = reinterpret_cast<PfPlcDrvCmd>(dlsym(lib, "PlcDrvCmd"));
    auto pfConnect = reinterpret_cast<PfConnect>(dlsym(lib, "Malvora_connect_init"));
    auto pfClose = reinterpret_cast<PfClose>(dlsym(lib, "closehandel"));
    ASSERT_NE(pfCmd, nullptr);
    ASSERT_NE(pfConnect, nullptr);
    ASSERT_NE(pfClose, nullptr);

    kltest::TempDir dir;
    // "Init" installs the character-set files: into the test's folder, not the system's.
    setenv("KESTROLINK_CHARSET_ROOT", dir.Path().c_str(), 1);
    char szCwd[4096];
    ASSERT_NE(getcwd(szCwd, sizeof(szCwd)), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);

    uint16_t port = UnusedLoopbackPort();
    ComAttr attr{};
    attr._hardware = PLC_HARDWARE_ETHERNET;
    const uint8_t ip[4] = {127, 0, 0, 1};
    std::memcpy(&attr._baud, ip, sizeof(ip));
    attr._checkBits = static_cast<uint8_t>(port >> 8);
    attr._datBits = static_cast<uint8_t>(port & 0xFF);
    PlcDrv* drv = nullptr;
    ASSERT_EQ(pfCmd("Init", &drv, &attr), PLC_OK);

    PLC_DRV_INIT_SETTINGS settings{};
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(pfConnect(&settings), -1) << attempt;
        // The handle went with the failure: its object stopped the runtime.
        EXPECT_EQ(ThreadsNamed("KestrolinkIdle"), 0) << attempt;
    }
    pfClose(&settings);

    // A panel that ends tells the SDK so: the last object then stops the
    // runtime completely.
    typedef uintptr_t (*PfInit)(void*, void*, const char*);
    typedef long (*PfHandle)(uintptr_t);
    auto pfInit = reinterpret_cast<PfInit>(dlsym(lib, "KestrolinkInit"));
    auto pfFinal = reinterpret_cast<PfHandle>(dlsym(lib, "KestrolinkSetFinalShutDown"));
    auto pfExit = reinterpret_cast<PfHandle>(dlsym(lib, "KestrolinkExit"));
    ASSERT_NE(pfInit, nullptr);
    ASSERT_NE(pfFinal, nullptr);
    ASSERT_NE(pfExit, nullptr);
    uintptr_t h = pfInit(nullptr, nullptr, nullptr);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(ThreadsNamed("KestrolinkIdle"), 1) << "the probe must see a running runtime";
    EXPECT_EQ(pfFinal(h), 0);
    EXPECT_EQ(pfExit(h), 0);
    EXPECT_EQ(ThreadsNamed("KestrolinkIdle"), 0);
    EXPECT_EQ(chdir(szCwd), 0);
    // Like a panel, the test keeps the library loaded: the driver's detached
    // start-up thread may still be running inside it.
}
