// Linux implementation of the system clocks.
#include "SysTime.h"

#include <time.h>

#include <atomic>

namespace {
std::atomic<RTS_UI32> s_ulMsOffset{0};

RTS_UI64 Monotonic(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<RTS_UI64>(ts.tv_sec) * 1000000000ull + static_cast<RTS_UI64>(ts.tv_nsec);
}
}  // namespace

RTS_UI32 SysTimeGetMs(void) {
    return static_cast<RTS_UI32>(Monotonic(CLOCK_MONOTONIC) / 1000000ull) + s_ulMsOffset.load();
}

RTS_UI64 SysTimeGetUs(void) {
    return Monotonic(CLOCK_MONOTONIC) / 1000ull;
}

RTS_UI64 SysTimeGetNs(void) {
    return Monotonic(CLOCK_MONOTONIC);
}

RTS_UI32 SysTimeRtcGet(RTS_RESULT* pResult) {
    if (pResult != nullptr) {
        *pResult = ERR_OK;
    }
    return static_cast<RTS_UI32>(time(nullptr));
}

RTS_UI64 SysTimeRtcHighResGet(RTS_RESULT* pResult) {
    if (pResult != nullptr) {
        *pResult = ERR_OK;
    }
    return Monotonic(CLOCK_REALTIME) / 1000ull;
}

void SysTimeSetMsOffset(RTS_UI32 ulOffset) {
    s_ulMsOffset.store(ulOffset);
}
