// Linux implementation of the platform's events: a counter of 0 or 1 under a
// mutex with a condition on the monotonic clock. Raising is test-and-raise in
// one step under the mutex, so concurrent sets never raise it twice.
#include "SysEvent.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>
#include <string>

namespace {
struct SysEvent {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int iCount = 0;
    std::string name;
};
bool Valid(RTS_HANDLE h) {
    return h != nullptr && h != RTS_INVALID_HANDLE;
}
}  // namespace

RTS_HANDLE SysEventCreate(const char* pszName, RTS_RESULT* pResult) {
    auto* pEvent = new (std::nothrow) SysEvent();
    if (pEvent == nullptr) {
        if (pResult != nullptr) {
            *pResult = ERR_NOMEMORY;
        }
        return RTS_INVALID_HANDLE;
    }
    // Named events are kept by name for diagnostics only: every user of an
    // event lives in this process.
    if (pszName != nullptr) {
        pEvent->name = pszName;
    }
    pthread_mutex_init(&pEvent->mutex, nullptr);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&pEvent->cond, &ca);
    pthread_condattr_destroy(&ca);
    if (pResult != nullptr) {
        *pResult = ERR_OK;
    }
    return pEvent;
}

RTS_RESULT SysEventDelete(RTS_HANDLE hEvent) {
    if (!Valid(hEvent)) {
        return ERR_PARAMETER;
    }
    auto* pEvent = static_cast<SysEvent*>(hEvent);
    pthread_cond_destroy(&pEvent->cond);
    pthread_mutex_destroy(&pEvent->mutex);
    delete pEvent;
    return ERR_OK;
}

RTS_RESULT SysEventSet(RTS_HANDLE hEvent) {
    if (!Valid(hEvent)) {
        return ERR_PARAMETER;
    }
    auto* pEvent = static_cast<SysEvent*>(hEvent);
    pthread_mutex_lock(&pEvent->mutex);
    if (pEvent->iCount == 0) {
        pEvent->iCount = 1;
        pthread_cond_signal(&pEvent->cond);
    }
    pthread_mutex_unlock(&pEvent->mutex);
    return ERR_OK;
}

RTS_RESULT SysEventWait(RTS_HANDLE hEvent, RTS_UI32 ulTimeoutMs) {
    if (!Valid(hEvent)) {
        return ERR_PARAMETER;
    }
    auto* pEvent = static_cast<SysEvent*>(hEvent);
    RTS_RESULT result = ERR_OK;
    pthread_mutex_lock(&pEvent->mutex);
    if (ulTimeoutMs == RTS_TIMEOUT_INFINITE) {
        while (pEvent->iCount == 0) {
            pthread_cond_wait(&pEvent->cond, &pEvent->mutex);
        }
    } else if (ulTimeoutMs != 0) {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += ulTimeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(ulTimeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (pEvent->iCount == 0) {
            int rc = pthread_cond_timedwait(&pEvent->cond, &pEvent->mutex, &deadline);
            if (rc == ETIMEDOUT) {
                break;
            }
            if (rc != 0 && rc != EINTR) {
                result = ERR_FAILED;
                break;
            }
        }
    }
    if (result == ERR_OK) {
        if (pEvent->iCount != 0) {
            pEvent->iCount = 0;
        } else {
            result = ERR_TIMEOUT;
        }
    }
    pthread_mutex_unlock(&pEvent->mutex);
    return result;
}
