// Atomic operations on 32-bit words of the platform layer.
#pragma once

#include "CmpStd.h"

// bSet = 1: set bit iBit of the word at pAddress; 0 when it was clear before,
// ERR_FAILED when it was set already. bSet = 0: clear it; 0 when it was set
// before, ERR_FAILED when it was clear. nLen is the word's size (1, 2 or 4).
RTS_RESULT SysCpuTestAndSetBit(void* pAddress, RTS_UI32 nLen, RTS_I32 iBit, RTS_I32 bSet);
// Adds nSum to the word at piValue atomically and returns the new value.
RTS_I32 SysCpuAtomicAdd(RTS_I32* piValue, RTS_I32 nSum, RTS_RESULT* pResult);
