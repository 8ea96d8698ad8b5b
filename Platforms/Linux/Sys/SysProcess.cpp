// Linux implementation of child processes over fork/execv/waitpid.
#include "SysProcess.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

int SysProcessRunAndWait(const char* pszPath, const char* const* argv) {
    if (pszPath == nullptr || argv == nullptr || argv[0] == nullptr) {
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        execv(pszPath, const_cast<char* const*>(argv));
        _exit(127);
    }
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, 0);
        if (r == pid) {
            return status;
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
    }
}
