// Child processes for the tools' tests.
#include "ProgramRunner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include "TestSupport.h"

extern char** environ;

namespace kltest {
namespace {

// The launcher of a cross build (qemu), '|'-separated, comes first.
std::vector<std::string> WithLauncher(const std::vector<std::string>& argv) {
    std::vector<std::string> all;
    std::string launcher = KL_PROGRAM_LAUNCHER;
    for (size_t pos = 0; !launcher.empty() && pos <= launcher.size();) {
        size_t bar = launcher.find('|', pos);
        all.push_back(launcher.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
        pos = bar == std::string::npos ? launcher.size() + 1 : bar + 1;
    }
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
}

pid_t Spawn(const std::vector<std::string>& argvIn, const std::string& cwd,
            const std::vector<std::string>& env, const std::string& outputFile) {
    std::vector<std::string> args = WithLauncher(argvIn);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** p = environ; *p != nullptr; ++p) {
        envStrings.push_back(*p);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : envStrings) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    }
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for the child within the time, then kills it; its exit code or -1.
int Reap(pid_t pid, unsigned ulTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    int status = 0;
    while (true) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env, const std::string& outputFile,
                         unsigned ulTimeoutMs) {
    ProgramResult result;
    pid_t pid = Spawn(argv, cwd, env, outputFile);
    if (pid < 0) {
        return result;
    }
    result.exitCode = Reap(pid, ulTimeoutMs);
    result.output = ReadFile(outputFile);
    return result;
}

uint16_t ClosedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

ChildEmulator::~ChildEmulator() {
    Stop();
}

bool ChildEmulator::Start(const std::string& binary, const std::vector<std::string>& args,
                          const std::string& outputFile) {
    std::vector<std::string> argv = {binary, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), args.begin(), args.end());
    m_pid = Spawn(argv, std::string(), {}, outputFile);
    if (m_pid < 0) {
        return false;
    }
    std::regex line("listening on 127\\.0\\.0\\.1:([0-9]+)");
    bool bUp = WaitFor(
        [&] {
            std::smatch m;
            std::string out = ReadFile(outputFile);
            if (std::regex_search(out, m, line)) {
                m_usPort = static_cast<uint16_t>(std::stoi(m[1].str()));
                return true;
            }
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;  // ended without coming up
                return true;
            }
            return false;
        },
        10000);
    return bUp && m_usPort != 0;
}

void ChildEmulator::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        Reap(m_pid, 5000);  // kills and reaps it when it does not end in time
        m_pid = -1;
    }
}

}  // namespace kltest
