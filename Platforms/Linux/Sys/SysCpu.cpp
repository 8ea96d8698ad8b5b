// Atomic word operations over the compiler's atomic builtins.
#include "SysCpu.h"

namespace {
template <typename T>
RTS_RESULT TestAndSet(T* p, RTS_I32 iBit, RTS_I32 bSet) {
    const T mask = static_cast<T>(T(1) << iBit);
    if (bSet != 0) {
        T old = __atomic_fetch_or(p, mask, __ATOMIC_SEQ_CST);
        return (old & mask) != 0 ? ERR_FAILED : ERR_OK;
    }
    T old = __atomic_fetch_and(p, static_cast<T>(~mask), __ATOMIC_SEQ_CST);
    return (old & mask) != 0 ? ERR_OK : ERR_FAILED;
}
}  // namespace

RTS_RESULT SysCpuTestAndSetBit(void* pAddress, RTS_UI32 nLen, RTS_I32 iBit, RTS_I32 bSet) {
    if (pAddress == nullptr || iBit < 0 || static_cast<RTS_UI32>(iBit) >= nLen * 8) {
        return ERR_PARAMETER;
    }
    switch (nLen) {
        case 1:
            return TestAndSet(static_cast<RTS_UI8*>(pAddress), iBit, bSet);
        case 2:
            if ((reinterpret_cast<RTS_UINTPTR>(pAddress) & 1) != 0) {
                return ERR_PARAMETER;
            }
            return TestAndSet(static_cast<RTS_UI16*>(pAddress), iBit, bSet);
        case 4:
            if ((reinterpret_cast<RTS_UINTPTR>(pAddress) & 3) != 0) {
                return ERR_PARAMETER;
            }
            return TestAndSet(static_cast<RTS_UI32*>(pAddress), iBit, bSet);
        default:
            return ERR_PARAMETER;
    }
}

RTS_I32 SysCpuAtomicAdd(RTS_I32* piValue, RTS_I32 nSum, RTS_RESULT* pResult) {
    if (piValue == nullptr) {
        if (pResult != nullptr) {
            *pResult = ERR_PARAMETER;
        }
        return 0;
    }
    if (pResult != nullptr) {
        *pResult = ERR_OK;
    }
    // Wrapping addition, done on the unsigned representation.
    auto* pu = reinterpret_cast<RTS_UI32*>(piValue);
    RTS_UI32 v = __atomic_add_fetch(pu, static_cast<RTS_UI32>(nSum), __ATOMIC_SEQ_CST);
    return static_cast<RTS_I32>(v);
}
