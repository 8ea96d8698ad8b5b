// Locks of the platform layer: recursive mutexes, the only locks of the system.
#pragma once

#include "CmpStd.h"

RTS_HANDLE SysSemCreate(RTS_RESULT* pResult);
RTS_RESULT SysSemDelete(RTS_HANDLE hSem);
RTS_RESULT SysSemEnter(RTS_HANDLE hSem);
RTS_RESULT SysSemLeave(RTS_HANDLE hSem);
RTS_RESULT SysSemTry(RTS_HANDLE hSem);

// Scoped holder for a platform lock.
class SysSemGuard {
public:
    explicit SysSemGuard(RTS_HANDLE hSem) : m_hSem(hSem) { SysSemEnter(m_hSem); }
    ~SysSemGuard() { SysSemLeave(m_hSem); }
    SysSemGuard(const SysSemGuard&) = delete;
    SysSemGuard& operator=(const SysSemGuard&) = delete;

private:
    RTS_HANDLE m_hSem;
};
