// The monotonic clock of the system. The millisecond counter wraps at 32 bits:
// compare times only through unsigned differences (SysTimeElapsedMs).
#pragma once

#include "CmpStd.h"

RTS_UI32 SysTimeGetMs(void);
RTS_UI64 SysTimeGetUs(void);
RTS_UI64 SysTimeGetNs(void);
// Seconds of the real-time clock (time stamps in logs).
RTS_UI32 SysTimeRtcGet(RTS_RESULT* pResult);
// Real-time clock in microseconds.
RTS_UI64 SysTimeRtcHighResGet(RTS_RESULT* pResult);

// Milliseconds from ulStart to ulNow, correct across the 32-bit wrap.
inline RTS_UI32 SysTimeElapsedMs(RTS_UI32 ulNow, RTS_UI32 ulStart) {
    return ulNow - ulStart;
}

// Test seam: shifts the millisecond counter so that tests can place it just
// before the 32-bit wrap.
void SysTimeSetMsOffset(RTS_UI32 ulOffset);
