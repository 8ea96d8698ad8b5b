#include "TestSupport.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kltest {
namespace {
void RemoveTree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (struct dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                RemoveTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}
}  // namespace

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base != nullptr ? base : "/tmp") + "/kltest.XXXXXX";
    char* p = mkdtemp(&templ[0]);
    if (p == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = p;
}

TempDir::~TempDir() {
    RemoveTree(m_path);
}

bool WaitFor(const std::function<bool()>& pred, unsigned ulTimeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace kltest
