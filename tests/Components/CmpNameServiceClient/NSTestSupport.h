// Test support for the name service: identifications built byte by byte
// (apart from the client's parser), and a recorder for the callbacks of all
// three generations.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "CmpNameServiceClientItf.h"

namespace nstest {

using Bytes = std::vector<uint8_t>;

// The fields of an identification; Build() writes exactly what they say.
struct Ident {
    uint16_t wType = 0xC280;
    uint16_t wVersion = 0x0400;
    uint32_t dwId = 1;
    uint32_t ulType = 0;  // version 0x0101
    uint16_t wMaxChannels = 4;
    uint8_t bIntel = 1;
    uint8_t byAddrDifference = 0;
    Bytes parent;  // component bytes
    std::u16string node = u"PLC1";
    std::u16string device = u"Device";
    std::u16string vendor = u"Vendor";
    uint32_t ulTargetType = 0x1006, ulTargetId = 0x1234, ulTargetVersion = 0x03050000;
    uint32_t ulFlags = 0x5;
    std::string serial = "SN42";
    Bytes oem = {0xAA, 0xBB};
    uint8_t byBlkDrvType = 0;
    uint8_t byByte = 0;
    uint32_t ulDWord1 = 0, ulDWord2 = 0;
    Bytes Build() const;
};

struct Answer {
    RTS_RESULT nResult = 0;
    NODEADDRESS addr{};
    int iGeneration = 0;
    Bytes info;  // the node description as the callback saw it
    RTS_UI16 wSize = 0;
    RTS_UI8 byBlkDrvType = 0;
    RTS_HANDLE hCaller = nullptr;
    RTS_BOOL bComplete = 0;
};

// Records every callback; the static functions are the callbacks to hand over.
class Recorder {
public:
    static void Reset();
    static std::vector<Answer> All();
    static std::vector<Answer> Of(RTS_HANDLE hCaller);
    static void Cb1(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED* p, RTS_UI16 w, RTS_HANDLE h, RTS_BOOL c);
    static void Cb2(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED2* p, RTS_UI16 w, RTS_HANDLE h, RTS_BOOL c);
    static void Cb3(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED3* p, RTS_UI16 w, RTS_UI8 by, RTS_HANDLE h,
                    RTS_BOOL c);
};

// A UTF-16 text of the node description at byte offset *pOffset (host
// order), advancing past its terminator.
std::u16string TextAt(const Bytes& info, size_t* pOffset, size_t nChars);
std::u16string U16(const char* psz);
NODEADDRESS Node(std::initializer_list<uint16_t> components);

}  // namespace nstest
