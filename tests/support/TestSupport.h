// Helpers shared by the tests: temporary folders and bounded waiting.
#pragma once

#include <functional>
#include <string>

namespace kltest {

// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Polls pred every few milliseconds until it holds or ulTimeoutMs passed.
bool WaitFor(const std::function<bool()>& pred, unsigned ulTimeoutMs);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
bool FileExists(const std::string& path);

}  // namespace kltest
