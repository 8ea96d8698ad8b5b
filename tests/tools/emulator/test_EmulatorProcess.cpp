// kestrolink-emulator as a program: started as a child process on port 0,
// its startup line read, router packages exchanged with it over loopback,
// and the child ended by its PID. Every wait is bounded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CMItf.h"
#include "RouterTestRuntime.h"

extern char** environ;

using namespace rttest;

namespace {

using Clock = std::chrono::steady_clock;

class ChildEmulator {
public:
    ~ChildEmulator() { Stop(); }

    bool Start(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        // The launcher (qemu for a cross build) comes first, '|'-separated.
        std::vector<std::string> all;
        std::string launcher = KL_EMULATOR_LAUNCHER;
        for (size_t pos = 0; !launcher.empty() && pos <= launcher.size();) {
            size_t bar = launcher.find('|', pos);
            all.push_back(launcher.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
            pos = bar == std::string::npos ? launcher.size() + 1 : bar + 1;
        }
        all.push_back(KL_EMULATOR_BINARY);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        int rc = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_fdOut = fds[0];
        if (rc != 0) {
            m_pid = -1;
            return false;
        }
        return true;
    }

    // The first line the child writes, within the time.
    bool ReadLine(std::string* pLine, unsigned ulTimeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ulTimeoutMs);
        pLine->clear();
        while (Clock::now() < deadline) {
            struct pollfd p = {m_fdOut, POLLIN, 0};
            int ms = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (poll(&p, 1, ms < 1 ? 1 : ms) <= 0) {
                continue;
            }
            char c = 0;
            if (read(m_fdOut, &c, 1) != 1) {
                return false;
            }
            if (c == '\n') {
                return true;
            }
            *pLine += c;
        }
        return false;
    }

    // Waits for the child's end; its wait status, or -1 when it did not end.
    int WaitExit(unsigned ulTimeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ulTimeoutMs);
        while (m_pid > 0) {
            int status = 0;
            pid_t r = waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                return status;
            }
            if (r < 0 || Clock::now() >= deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    // SIGTERM to this child only, then SIGKILL if it does not end in time.
    int Stop() {
        int status = -1;
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            status = WaitExit(5000);
            if (m_pid > 0) {
                kill(m_pid, SIGKILL);
                status = WaitExit(5000);
            }
        }
        if (m_fdOut >= 0) {
            close(m_fdOut);
            m_fdOut = -1;
        }
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_fdOut = -1;
};

TEST(EmulatorProcess, StartsOnAFreePortAndExchangesRouterPackages) {
    kltest::TempDir dir;
    std::string symbols = dir.File("Symbols.xml");
    kltest::WriteFile(symbols, "<Symbolconfiguration/>");
    ChildEmulator child;
    ASSERT_TRUE(child.Start(
        {"--listen", "127.0.0.1:0", "--symbols", symbols, "--log-level", "error", "--echo-layer4"}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line, 10000)) << "no startup line";
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        line, m,
        std::regex("kestrolink-emulator: listening on 127\\.0\\.0\\.1:([0-9]+), node address "
                   "([0-9A-F]{4}):7F00:0001, symbols (.*)")))
        << line;
    unsigned long ulPort = std::stoul(m[1].str());
    ASSERT_GT(ulPort, 0u);
    ASSERT_LT(ulPort, 65536u);
    EXPECT_EQ(std::stoul(m[2].str(), nullptr, 16), ulPort) << "node address starts with the port";
    EXPECT_EQ(m[3].str(), symbols);

    Options ro;
    ro.bWithTcp = true;
    ro.settings = "[CmpBlkDrvTcp]\nLocalAccessOnly=1\n";
    {
        TestRuntime rt(ro);
        ASSERT_TRUE(rt.Started());
        NODEADDRESS node = Node({static_cast<uint16_t>(ulPort), 0x7F00, 0x0001});
        for (uint8_t i = 0; i < 3; ++i) {
            Bytes data = {'m', i};
            ASSERT_EQ(RouterSend(nullptr, Peer(&node), PID_LAYER4, i, RPRIO_NORMAL, Pdu(data)), ERR_OK);
            ASSERT_TRUE(Handlers::WaitLayer4(i + 1u, 5000))
                << "no answer from the emulator to message " << int(i);
        }
        auto got = Handlers::Layer4();
        ASSERT_EQ(got.size(), 3u);
        for (uint8_t i = 0; i < 3; ++i) {
            EXPECT_EQ(got[i].data, (Bytes{'m', i}));
            EXPECT_EQ(got[i].byMessageId, i);
            EXPECT_EQ(got[i].sender, NodeBytes(node));
        }
    }
    int status = child.Stop();
    ASSERT_TRUE(WIFEXITED(status)) << "the emulator did not end on SIGTERM";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(EmulatorProcess, RefusesARemoteListenAddressAndAMissingSymbolsFile) {
    kltest::TempDir dir;
    std::string symbols = dir.File("Symbols.xml");
    kltest::WriteFile(symbols, "<Symbolconfiguration/>");
    for (auto args : std::vector<std::vector<std::string>>{
             {"--listen", "10.1.2.3:11740", "--symbols", symbols},
             {"--listen", "127.0.0.1:0", "--symbols", dir.File("none.xml")}}) {
        ChildEmulator child;
        ASSERT_TRUE(child.Start(args));
        int status = child.WaitExit(10000);
        ASSERT_TRUE(WIFEXITED(status)) << args[1];
        EXPECT_EQ(WEXITSTATUS(status), 2) << args[1];
    }
}

}  // namespace
