// Linux implementation of the file wrappers. Handles are heap records holding
// the descriptor, so that 0 (stdin) is never a valid file handle.
#include "SysFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

namespace {
struct SysFileHandle {
    int fd;
};

RTS_RESULT ErrnoResult(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return ERR_NO_OBJECT;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERR_NO_ACCESS_RIGHTS;
        case ENOMEM:
            return ERR_NOMEMORY;
        case ENAMETOOLONG:
            return ERR_PARAMETER;
        default:
            return ERR_FAILED;
    }
}

void Set(RTS_RESULT* p, RTS_RESULT r) {
    if (p != nullptr) {
        *p = r;
    }
}

SysFileHandle* Handle(RTS_HANDLE h) {
    if (h == nullptr || h == RTS_INVALID_HANDLE) {
        return nullptr;
    }
    return static_cast<SysFileHandle*>(h);
}
}  // namespace

RTS_HANDLE SysFileOpen(const char* pszFile, ACCESS_MODE am, RTS_RESULT* pResult) {
    if (pszFile == nullptr || pszFile[0] == '\0') {
        Set(pResult, ERR_PARAMETER);
        return RTS_INVALID_HANDLE;
    }
    int flags = O_CLOEXEC;
    switch (am) {
        case AM_READ:
            flags |= O_RDONLY;
            break;
        case AM_WRITE:
            flags |= O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case AM_APPEND:
            flags |= O_WRONLY | O_CREAT | O_APPEND;
            break;
        case AM_READ_PLUS:
            flags |= O_RDWR;
            break;
        case AM_WRITE_PLUS:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case AM_APPEND_PLUS:
            flags |= O_RDWR | O_CREAT | O_APPEND;
            break;
        default:
            Set(pResult, ERR_PARAMETER);
            return RTS_INVALID_HANDLE;
    }
    int fd = open(pszFile, flags, 0644);
    if (fd < 0) {
        Set(pResult, ErrnoResult(errno));
        return RTS_INVALID_HANDLE;
    }
    auto* pHandle = new (std::nothrow) SysFileHandle{fd};
    if (pHandle == nullptr) {
        close(fd);
        Set(pResult, ERR_NOMEMORY);
        return RTS_INVALID_HANDLE;
    }
    Set(pResult, ERR_OK);
    return pHandle;
}

RTS_RESULT SysFileClose(RTS_HANDLE hFile) {
    SysFileHandle* pHandle = Handle(hFile);
    if (pHandle == nullptr) {
        return ERR_PARAMETER;
    }
    int rc = close(pHandle->fd);
    delete pHandle;
    return rc == 0 ? ERR_OK : ERR_FAILED;
}

RTS_SIZE SysFileRead(RTS_HANDLE hFile, void* pbyBuffer, RTS_SIZE ulSize, RTS_RESULT* pResult) {
    SysFileHandle* pHandle = Handle(hFile);
    if (pHandle == nullptr || (pbyBuffer == nullptr && ulSize != 0)) {
        Set(pResult, ERR_PARAMETER);
        return 0;
    }
    RTS_SIZE done = 0;
    while (done < ulSize) {
        ssize_t n = read(pHandle->fd, static_cast<char*>(pbyBuffer) + done, ulSize - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            Set(pResult, ErrnoResult(errno));
            return done;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<RTS_SIZE>(n);
    }
    Set(pResult, ERR_OK);
    return done;
}

RTS_SIZE SysFileWrite(RTS_HANDLE hFile, const void* pbyBuffer, RTS_SIZE ulSize, RTS_RESULT* pResult) {
    SysFileHandle* pHandle = Handle(hFile);
    if (pHandle == nullptr || (pbyBuffer == nullptr && ulSize != 0)) {
        Set(pResult, ERR_PARAMETER);
        return 0;
    }
    RTS_SIZE done = 0;
    while (done < ulSize) {
        ssize_t n = write(pHandle->fd, static_cast<const char*>(pbyBuffer) + done, ulSize - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            Set(pResult, n < 0 ? ErrnoResult(errno) : ERR_FAILED);
            return done;
        }
        done += static_cast<RTS_SIZE>(n);
    }
    Set(pResult, ERR_OK);
    return done;
}

RTS_RESULT SysFileFlush(RTS_HANDLE hFile) {
    SysFileHandle* pHandle = Handle(hFile);
    if (pHandle == nullptr) {
        return ERR_PARAMETER;
    }
    return fsync(pHandle->fd) == 0 ? ERR_OK : ERR_FAILED;
}

RTS_RESULT SysFileDelete(const char* pszFile) {
    if (pszFile == nullptr) {
        return ERR_PARAMETER;
    }
    return unlink(pszFile) == 0 ? ERR_OK : ErrnoResult(errno);
}

RTS_RESULT SysFileRename(const char* pszOldFile, const char* pszNewFile) {
    if (pszOldFile == nullptr || pszNewFile == nullptr) {
        return ERR_PARAMETER;
    }
    return rename(pszOldFile, pszNewFile) == 0 ? ERR_OK : ErrnoResult(errno);
}

RTS_SIZE SysFileGetSize(const char* pszFile, RTS_RESULT* pResult) {
    struct stat st;
    if (pszFile == nullptr) {
        Set(pResult, ERR_PARAMETER);
        return 0;
    }
    if (stat(pszFile, &st) != 0) {
        Set(pResult, ErrnoResult(errno));
        return 0;
    }
    Set(pResult, ERR_OK);
    return static_cast<RTS_SIZE>(st.st_size);
}

RTS_RESULT SysFileExists(const char* pszFile) {
    struct stat st;
    if (pszFile == nullptr) {
        return ERR_PARAMETER;
    }
    return stat(pszFile, &st) == 0 ? ERR_OK : ERR_NO_OBJECT;
}

RTS_RESULT SysFileCopy(const char* pszDestFile, const char* pszSourceFile, RTS_SIZE* pulCopied) {
    if (pulCopied != nullptr) {
        *pulCopied = 0;
    }
    RTS_RESULT result = ERR_OK;
    RTS_HANDLE hIn = SysFileOpen(pszSourceFile, AM_READ, &result);
    if (hIn == RTS_INVALID_HANDLE) {
        return result;
    }
    RTS_HANDLE hOut = SysFileOpen(pszDestFile, AM_WRITE, &result);
    if (hOut == RTS_INVALID_HANDLE) {
        SysFileClose(hIn);
        return result;
    }
    char buffer[4096];
    RTS_SIZE total = 0;
    for (;;) {
        RTS_SIZE n = SysFileRead(hIn, buffer, sizeof(buffer), &result);
        if (result != ERR_OK || n == 0) {
            break;
        }
        RTS_SIZE w = SysFileWrite(hOut, buffer, n, &result);
        total += w;
        if (result != ERR_OK) {
            break;
        }
    }
    if (result == ERR_OK) {
        result = SysFileFlush(hOut);
    }
    SysFileClose(hIn);
    RTS_RESULT closeResult = SysFileClose(hOut);
    if (result == ERR_OK) {
        result = closeResult;
    }
    if (pulCopied != nullptr) {
        *pulCopied = total;
    }
    return result;
}
