// A component in its own shared library: found through "ComponentEntry",
// it counts the hooks it receives so that a test can see it was started.
#include <atomic>

#include "CmpStd.h"

namespace {
std::atomic<int> g_hooks{0};
std::atomic<int> g_commCycles{0};
RTS_RESULT Hook(RTS_UI32 ulHook, RTS_UINTPTR, RTS_UINTPTR) {
    if (ulHook == CH_COMM_CYCLE) {
        ++g_commCycles;
    } else {
        ++g_hooks;
    }
    return ERR_OK;
}
}  // namespace

extern "C" RTS_RESULT ComponentEntry(INIT_STRUCT* p) {
    p->CmpId = 0x7E57;
    p->pfHookFunction = Hook;
    return ERR_OK;
}

extern "C" int TestComponentHookCount(void) {
    return g_hooks.load();
}
extern "C" int TestComponentCommCycles(void) {
    return g_commCycles.load();
}
