// Internals shared by the tag writer, the tag reader and the component shell:
// the variable-length integer form, the bounds of length fields, byte swapping
// and the file-stream writer's shared buffer.
#pragma once

#include <cstring>

#include "CmpBinTagUtilItf.h"

namespace bintag {

inline RTS_UI16 Swap16(RTS_UI16 v) {
    return static_cast<RTS_UI16>((v >> 8) | (v << 8));
}
inline RTS_UI32 Swap32(RTS_UI32 v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Largest length a field of that many bytes holds; fields of 5 bytes and more
// hold any 32-bit length.
inline RTS_UI64 FieldBound(RTS_UI32 ulWidth) {
    switch (ulWidth) {
        case 0:
            return 0;
        case 1:
            return 0x7Fu;
        case 2:
            return 0x3FFFu;
        case 3:
            return 0x1FFFFFu;
        case 4:
            return 0xFFFFFFFu;
        default:
            return 0xFFFFFFFFu;
    }
}

// Bytes of the minimal variable-length form of a value.
inline RTS_UI32 MbuiSize(RTS_UI32 ulValue) {
    RTS_UI32 n = 1;
    while (ulValue >= 0x80u) {
        ulValue >>= 7;
        ++n;
    }
    return n;
}

// Writes the value in exactly ulWidth bytes, padding with empty groups. A value
// too wide for the field leaves its low bits there and reports ERR_PARAMETER.
inline RTS_RESULT WriteMbui(RTS_UI8* p, RTS_UI32 ulWidth, RTS_UI32 ulValue) {
    RTS_UI64 v = ulValue;
    for (RTS_UI32 i = 0; i < ulWidth; ++i) {
        RTS_UI8 b = static_cast<RTS_UI8>(v & 0x7Fu);
        v >>= 7;
        if (i + 1 < ulWidth) {
            b = static_cast<RTS_UI8>(b | 0x80u);
        }
        p[i] = b;
    }
    return v == 0 ? ERR_OK : ERR_PARAMETER;
}

// The file-stream writer's shared buffer. Only the writer that acquired it may
// enlarge it; the in-use mark is an atomic test-and-set so that two threads
// starting file-stream writers at once cannot both get it.
RTS_RESULT SharedBufferAcquire(RTS_UI8** ppBuffer, RTS_UI32* pulSize);
// Grows the held buffer to ulNewSize bytes keeping its first ulUsed bytes.
RTS_RESULT SharedBufferEnlarge(RTS_UI32 ulUsed, RTS_UI32 ulNewSize, RTS_UI8** ppBuffer);
void SharedBufferRelease(void);
// Component shutdown: an enlarged buffer not in use goes back to the initial one.
void SharedBufferShutdown(void);
bool SharedBufferIsEnlarged(void);

}  // namespace bintag
