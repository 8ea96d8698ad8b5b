// The driver's connect through the C interface, in the test program itself:
// a controller address where nothing answers fails the connect, and the
// driver keeps neither a handle nor a connected flag (nor a running SDK).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "CmpKestrolinkMain.h"
#include "TestSupport.h"
#include "plc_driver.h"

using namespace plc_driver;

namespace {
// A loopback port that nothing listens on: bound once by the system's
// choice, then given back.
uint16_t UnusedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    close(fd);
    return ntohs(addr.sin_port);
}
}  // namespace

TEST(PlcDrvConnect, AFailedConnectLeavesNoHandleAndStartsAfreshNextTime) {
    kltest::TempDir dir;
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
    ASSERT_EQ(PlcDrvCmd("Init", &drv, &attr), PLC_OK);
    EXPECT_STREQ(malvora_plc_ip, "127.0.0.1");

    PLC_DRV_INIT_SETTINGS settings{};
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(Malvora_connect_init(&settings), -1) << attempt;
        EXPECT_EQ(ulKestrolink, 0u) << attempt;
        EXPECT_EQ(init, 0) << attempt;
        EXPECT_EQ(KestrolinkGetNumInstances(), 0) << "a connection object outlived the failed connect";
        EXPECT_EQ(KestrolinkIdleTaskRunning(), 0);
    }
    closehandel(&settings);
    EXPECT_EQ(ulKestrolink, 0u);
    // A panel keeps the stopped runtime for a fast restart; the test takes
    // it down completely.
    if (CMIsRunning()) {
        ExitComponentsFinal();
    }
    EXPECT_EQ(chdir(szCwd), 0);
}
