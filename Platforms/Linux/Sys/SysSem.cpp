// Linux implementation of the platform's recursive locks.
#include "SysSem.h"

#include <pthread.h>

#include <new>

namespace {
bool Valid(RTS_HANDLE h) {
    return h != nullptr && h != RTS_INVALID_HANDLE;
}
}  // namespace

RTS_HANDLE SysSemCreate(RTS_RESULT* pResult) {
    auto* pMutex = new (std::nothrow) pthread_mutex_t;
    if (pMutex == nullptr) {
        if (pResult != nullptr) {
            *pResult = ERR_NOMEMORY;
        }
        return RTS_INVALID_HANDLE;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(pMutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        delete pMutex;
        if (pResult != nullptr) {
            *pResult = ERR_FAILED;
        }
        return RTS_INVALID_HANDLE;
    }
    if (pResult != nullptr) {
        *pResult = ERR_OK;
    }
    return pMutex;
}

RTS_RESULT SysSemDelete(RTS_HANDLE hSem) {
    if (!Valid(hSem)) {
        return ERR_PARAMETER;
    }
    auto* pMutex = static_cast<pthread_mutex_t*>(hSem);
    pthread_mutex_destroy(pMutex);
    delete pMutex;
    return ERR_OK;
}

RTS_RESULT SysSemEnter(RTS_HANDLE hSem) {
    if (!Valid(hSem)) {
        return ERR_PARAMETER;
    }
    return pthread_mutex_lock(static_cast<pthread_mutex_t*>(hSem)) == 0 ? ERR_OK : ERR_FAILED;
}

RTS_RESULT SysSemLeave(RTS_HANDLE hSem) {
    if (!Valid(hSem)) {
        return ERR_FAILED;
    }
    return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(hSem)) == 0 ? ERR_OK : ERR_FAILED;
}

RTS_RESULT SysSemTry(RTS_HANDLE hSem) {
    if (!Valid(hSem)) {
        return ERR_PARAMETER;
    }
    return pthread_mutex_trylock(static_cast<pthread_mutex_t*>(hSem)) == 0 ? ERR_OK : ERR_FAILED;
}
