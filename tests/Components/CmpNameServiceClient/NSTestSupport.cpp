// Test support for the name service (see NSTestSupport.h).
#include "NSTestSupport.h"

#include <cstring>

namespace nstest {

namespace {

std::mutex g_mutex;
std::vector<Answer> g_answers;

void Le16(Bytes* p, uint32_t v) {
    p->push_back(static_cast<uint8_t>(v & 0xFF));
    p->push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void Le32(Bytes* p, uint32_t v) {
    Le16(p, v & 0xFFFF);
    Le16(p, v >> 16);
}

void Text(Bytes* p, const std::u16string& s) {
    for (char16_t c : s) {
        Le16(p, c);
    }
    Le16(p, 0);
}

void Record(int iGen, RTS_RESULT r, const NODEADDRESS& a, const void* p, RTS_UI16 w, RTS_UI8 by, RTS_HANDLE h,
            RTS_BOOL c) {
    Answer ans;
    ans.nResult = r;
    ans.addr = a;
    ans.iGeneration = iGen;
    if (p != nullptr) {
        ans.info.assign(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + w);
    }
    ans.wSize = w;
    ans.byBlkDrvType = by;
    ans.hCaller = h;
    ans.bComplete = c;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_answers.push_back(ans);
}

}  // namespace

Bytes Ident::Build() const {
    Bytes out;
    Le16(&out, wType);
    Le16(&out, wVersion);
    Le32(&out, dwId);
    const uint32_t nParent = static_cast<uint32_t>(parent.size() / 2);
    if (wVersion == 0x0101) {
        Le32(&out, ulType);
        Le16(&out, wMaxChannels);
        out.push_back(bIntel);
        out.push_back(0);
        Le16(&out, nParent);
        Le16(&out, static_cast<uint32_t>(node.size()));
        Le16(&out, static_cast<uint32_t>(device.size()));
    } else {
        Le16(&out, wMaxChannels);
        out.push_back(bIntel);
        out.push_back(byAddrDifference);
        Le16(&out, nParent);
        Le16(&out, static_cast<uint32_t>(node.size()));
        Le16(&out, static_cast<uint32_t>(device.size()));
        Le16(&out, static_cast<uint32_t>(vendor.size()));
        Le32(&out, ulTargetType);
        Le32(&out, ulTargetId);
        Le32(&out, ulTargetVersion);
        if (wVersion == 0x0400) {
            Le32(&out, ulFlags);
            out.push_back(static_cast<uint8_t>(serial.size()));
            out.push_back(static_cast<uint8_t>(oem.size()));
            out.push_back(byBlkDrvType);
            out.push_back(byByte);
            Le32(&out, ulDWord1);
            Le32(&out, ulDWord2);
        }
    }
    out.insert(out.end(), parent.begin(), parent.end());
    Text(&out, node);
    Text(&out, device);
    if (wVersion != 0x0101) {
        Text(&out, vendor);
    }
    if (wVersion == 0x0400) {
        out.insert(out.end(), serial.begin(), serial.end());
        out.push_back(0);
        out.insert(out.end(), oem.begin(), oem.end());
    }
    return out;
}

void Recorder::Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_answers.clear();
}

std::vector<Answer> Recorder::All() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_answers;
}

std::vector<Answer> Recorder::Of(RTS_HANDLE hCaller) {
    std::vector<Answer> out;
    for (const Answer& a : All()) {
        if (a.hCaller == hCaller) {
            out.push_back(a);
        }
    }
    return out;
}

void Recorder::Cb1(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED* p, RTS_UI16 w, RTS_HANDLE h, RTS_BOOL c) {
    Record(1, r, a, p, w, 0, h, c);
}

void Recorder::Cb2(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED2* p, RTS_UI16 w, RTS_HANDLE h, RTS_BOOL c) {
    Record(2, r, a, p, w, 0, h, c);
}

void Recorder::Cb3(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED3* p, RTS_UI16 w, RTS_UI8 by, RTS_HANDLE h,
                   RTS_BOOL c) {
    Record(3, r, a, p, w, by, h, c);
}

std::u16string TextAt(const Bytes& info, size_t* pOffset, size_t nChars) {
    std::u16string out;
    for (size_t i = 0; i < nChars && *pOffset + 2 * i + 1 < info.size(); ++i) {
        char16_t c;
        memcpy(&c, info.data() + *pOffset + 2 * i, 2);
        out.push_back(c);
    }
    *pOffset += 2 * (nChars + 1);
    return out;
}

std::u16string U16(const char* psz) {
    std::u16string out;
    for (; *psz != '\0'; ++psz) {
        out.push_back(static_cast<unsigned char>(*psz));
    }
    return out;
}

NODEADDRESS Node(std::initializer_list<uint16_t> components) {
    NODEADDRESS a;
    memset(&a, 0, sizeof(a));
    for (uint16_t c : components) {
        a.address[a.nLength].by[0] = static_cast<RTS_UI8>(c >> 8);
        a.address[a.nLength].by[1] = static_cast<RTS_UI8>(c & 0xFF);
        ++a.nLength;
    }
    return a;
}

}  // namespace nstest
