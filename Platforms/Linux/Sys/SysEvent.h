// Events of the platform layer: a counting semaphore used as a binary flag.
// Several sets before one wait release one wait.
#pragma once

#include "CmpStd.h"

RTS_HANDLE SysEventCreate(const char* pszName, RTS_RESULT* pResult);
RTS_RESULT SysEventDelete(RTS_HANDLE hEvent);
RTS_RESULT SysEventSet(RTS_HANDLE hEvent);
// ulTimeoutMs: RTS_TIMEOUT_INFINITE waits without limit, 0 only tests.
RTS_RESULT SysEventWait(RTS_HANDLE hEvent, RTS_UI32 ulTimeoutMs);
