// UTF-8 to GB2312 for the tag file (through the C library's iconv) and the
// installer of the C library's GB2312 conversion files. Only system calls
// touch the file system here: no shell ever sees a path.
#include "charset.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "plc_driver.h"
#include "tag_table.h"

namespace plc_driver {

namespace {

std::mutex s_rootLock;

// Set by SetCharsetInstallRoot; empty = environment, then "/". Built on first
// use, so that a setting made while other objects start up is not lost.
std::string& Root() {
    // Never destroyed: the start-up thread of "Init" reads it and may still
    // run while the process ends.
    static std::string* s_pRoot = new std::string();
    return *s_pRoot;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Reads one line of at most size - 1 bytes into a zeroed buffer; the rest of
// a longer line is dropped so that it never comes back as a line of its own.
// false at end of file.
bool ReadLine(FILE* f, char* buf, size_t size, bool* pbCut) {
    std::memset(buf, 0, size);
    *pbCut = false;
    if (std::fgets(buf, static_cast<int>(size), f) == nullptr) {
        return false;
    }
    size_t len = std::strlen(buf);
    if (len == size - 1 && buf[len - 1] != '\n') {
        *pbCut = true;
        int c;
        while ((c = std::fgetc(f)) != EOF && c != '\n') {
        }
    }
    return true;
}

// A line cut short must not end inside a UTF-8 sequence (the converter would
// refuse it): step back to a character start and end the line as usual.
void EndCutLine(char* buf, size_t size) {
    size_t len = std::strlen(buf);
    if (len + 2 >= size) {
        len = size - 3;
    }
    while (len > 0 && (static_cast<unsigned char>(buf[len]) & 0xC0) == 0x80) {
        --len;
    }
    buf[len] = '\r';
    buf[len + 1] = '\n';
    buf[len + 2] = '\0';
}

bool MakeDirs(const std::string& path) {
    // Each level in turn; an existing one is fine.
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            std::string part = path.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Written under a temporary name and renamed when complete: a reader never
// sees half a module, and a failed write leaves nothing behind.
bool InstallOne(const std::string& path, const CharsetFile& file) {
    std::string tmp = path + ".kltmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, file.pData, file.size) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) {
        return true;
    }
    unlink(tmp.c_str());
    return false;
}

void InstallInto(const char* pszBanner, const char* pszSubDir) {
    std::printf("%s", pszBanner);
    bool any = false;
    for (const CharsetFile& file : kCharsetFiles) {
        any = any || file.size != 0;
    }
    if (!any) {
        std::printf("character-set files: none built in, nothing to install\n");
        return;
    }
    std::string root = CharsetInstallRoot();
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    std::string dir = (root == "/" ? std::string() : root) + pszSubDir;
    InstallCharsetFiles(dir);
    sync();
}

}  // namespace

void SetCharsetInstallRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(s_rootLock);
    Root() = root;
}

std::string CharsetInstallRoot() {
    {
        std::lock_guard<std::mutex> lock(s_rootLock);
        if (!Root().empty()) {
            return Root();
        }
    }
    const char* pszEnv = std::getenv("KESTROLINK_CHARSET_ROOT");
    return (pszEnv != nullptr && pszEnv[0] != '\0') ? std::string(pszEnv) : std::string("/");
}

int InstallCharsetFiles(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 && !MakeDirs(dir)) {
        return 0;
    }
    int written = 0;
    for (const CharsetFile& file : kCharsetFiles) {
        if (file.size == 0) {
            continue;
        }
        std::string path = dir + "/" + file.pszName;
        if (access(path.c_str(), F_OK) == 0) {
            continue;
        }
        std::printf("%s build\r", path.c_str());
        // A file that cannot be created is skipped.
        if (InstallOne(path, file)) {
            ++written;
        }
    }
    return written;
}

void Init_File_GB() {
    InstallInto("Init_File_GB...\r", "/lib/gconv");
}

void Init_File_GB_usr() {
    InstallInto("Init_File_GB..usr...\r", "/usr/lib/gconv");
}

int utf8_gb2312(char* name) {
    if (name == nullptr) {
        return -1;
    }
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::perror("iconv_open");
        std::printf("iconv_open err");
        return -1;
    }
    char in[512] = {};
    char out[512] = {};
    size_t inLeft = strnlen(name, sizeof(in) - 1);
    std::memcpy(in, name, inLeft);
    char* pIn = in;
    char* pOut = out;
    size_t outLeft = sizeof(out) - 1;  // the terminator stays
    if (iconv(cd, &pIn, &inLeft, &pOut, &outLeft) == static_cast<size_t>(-1)) {
        std::perror("iconv");
        std::printf("iconv>>>>>>>err");
        iconv_close(cd);
        return -1;
    }
    std::memcpy(name, out, std::strlen(out) + 1);
    iconv_close(cd);
    return 0;
}

uint16_t csv_utf8_gb2312() {
    char fileName[kTagPathSize] = {};
    char fileGbName[kTagPathSize] = {};
    bool okName = BuildTagFilePath(fileName, sizeof(fileName), TagFile::Utf8);
    bool okGb = BuildTagFilePath(fileGbName, sizeof(fileGbName), TagFile::Gb2312);
    std::printf("file_name=%s\n file_gb_name=%s\n", fileName, fileGbName);
    if (!okName) {
        std::printf("file :%s open error \r\n", fileName);
        return 3;
    }
    FilePtr in(std::fopen(fileName, "rb"));
    if (in == nullptr) {
        std::printf("file :%s open error \r\n", fileName);
        return 3;
    }
    if (!okGb) {
        std::printf("file :%s open error \r\n", fileGbName);
        return 3;
    }
    FilePtr out(std::fopen(fileGbName, "wb"));
    if (out == nullptr) {
        std::printf("file :%s open error \r\n", fileGbName);
        return 3;
    }
    char line[512];
    bool bCut = false;
    ReadLine(in.get(), line, sizeof(line), &bCut);  // the header is replaced
    std::fputs(kTagFileHeader, out.get());
    while (ReadLine(in.get(), line, sizeof(line), &bCut)) {
        if (bCut) {
            EndCutLine(line, sizeof(line));
        }
        if (utf8_gb2312(line) != 0) {
            std::printf("utf8_gb2312 error !!!");
            return 4;
        }
        std::fputs(line, out.get());
    }
    std::printf("gb end file ....\r");
    return 0;
}

}  // namespace plc_driver
