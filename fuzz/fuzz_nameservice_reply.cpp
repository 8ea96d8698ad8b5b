// Fuzz target of the name-service client's answer path: arbitrary bytes are
// handed to NSClientHandleData as the content of a PID_NAMINGRESPONSE package
// (with the id of an open request written in when the first byte asks for
// it, so that accepted answers reach the callbacks of all three generations),
// and checked against the rules the parser promises: an accepted answer is
// exactly as long as its fields say, and every node description handed to a
// callback is readable to its last byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CmpNameServiceClientPrivate.h"
#include "NSPackages.h"

namespace {

#define KL_HARNESS __attribute__((no_sanitize("coverage")))

KL_HARNESS void Check(bool b) {
    if (!b) {
        abort();
    }
}

volatile uint32_t g_sink = 0;

// Reads every byte of a node description, so that a description shorter
// than its stated size shows up as an overread.
KL_HARNESS void Touch(const void* p, RTS_UI16 wSize) {
    const uint8_t* pb = static_cast<const uint8_t*>(p);
    uint32_t sum = 0;
    for (RTS_UI16 i = 0; i < wSize; ++i) {
        sum += pb[i];
    }
    g_sink = g_sink + sum;
}

KL_HARNESS void Cb1(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED* p, RTS_UI16 w, RTS_HANDLE, RTS_BOOL) {
    Check(a.nLength <= MAX_NODE_ADDR_LEN);
    Check(r != ERR_OK || (p != nullptr && w >= offsetof(NODEINFOPACKED, addrParent)));
    if (p != nullptr) {
        Touch(p, w);
    }
}
KL_HARNESS void Cb2(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED2* p, RTS_UI16 w, RTS_HANDLE, RTS_BOOL) {
    Check(a.nLength <= MAX_NODE_ADDR_LEN);
    Check(r != ERR_OK || (p != nullptr && w >= offsetof(NODEINFOPACKED2, addrParent)));
    if (p != nullptr) {
        Touch(p, w);
    }
}
KL_HARNESS void Cb3(RTS_RESULT r, NODEADDRESS a, NODEINFOPACKED3* p, RTS_UI16 w, RTS_UI8, RTS_HANDLE,
                    RTS_BOOL) {
    Check(a.nLength <= MAX_NODE_ADDR_LEN);
    if (p == nullptr) {
        return;
    }
    Check(r == ERR_OK && w >= offsetof(NODEINFOPACKED3, addrParent));
    Touch(p, w);
    // The description of generation 3 adds up to its size.
    NODEINFOPACKED3 f;
    memcpy(&f, p, offsetof(NODEINFOPACKED3, addrParent));
    uint32_t n = offsetof(NODEINFOPACKED3, addrParent) + 2u * f.wParentAddrSize +
                 2u * (f.wNodeNameLength + 1u) + 2u * (f.wDeviceNameLength + 1u) +
                 2u * (f.wVendorNameLength + 1u) + f.bySerialNumberLength + 1u + f.byOemDataLength;
    Check(n == w);
    Check(f.wParentAddrSize < 16);
}

KL_HARNESS RTS_RESULT Instance(const char*, RTS_HANDLE* ph) {
    *ph = reinterpret_cast<RTS_HANDLE>(0x1);
    return ERR_OK;
}
KL_HARNESS RTS_RESULT Send2(RTS_HANDLE, PEERADDRESS, RTS_I32, RTS_UI8, ROUTERPRIORITY, PROTOCOL_DATA_UNIT,
                            RTS_BOOL) {
    return ERR_OK;
}
KL_HARNESS RTS_RESULT MaxMessage(RTS_HANDLE, RTS_UI16, RTS_UI16* pw) {
    *pw = 470;
    return ERR_OK;
}

INIT_STRUCT g_init;

// Three open requests, one per callback generation, that never expire.
KL_HARNESS void StartClient() {
    klns::pfRouterGetInstanceByName = Instance;
    klns::pfRouterSend2 = Send2;
    klns::pfRouterGetMaxMessageSizeByAddressLength = MaxMessage;
    CmpNameServiceClient__Entry(&g_init);
    g_init.pfHookFunction(CH_INIT2, 0, 0);
    Check(NSResolveAll3(0xFFFFFFF0u, reinterpret_cast<RTS_HANDLE>(3), Cb3) == ERR_OK);
    Check(NSResolveAll2(reinterpret_cast<RTS_HANDLE>(2), Cb2) == ERR_OK);
    Check(NSResolveAll(reinterpret_cast<RTS_HANDLE>(1), Cb1) == ERR_OK);
    NSAdjustResolveTimeout(0xFFFFFFF0u, reinterpret_cast<RTS_HANDLE>(1));
    NSAdjustResolveTimeout(0xFFFFFFF0u, reinterpret_cast<RTS_HANDLE>(2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_bStarted = false;
    if (!s_bStarted) {
        StartClient();
        s_bStarted = true;
    }
    if (size < 1 || size > 1024) {
        return 0;
    }
    const uint8_t byMode = data[0];
    std::vector<uint8_t> pkg(data + 1, data + size);

    // The parser alone: an accepted answer is exactly as long as it says.
    NSAnswer answer;
    if (NSParseAnswer(pkg.data(), static_cast<RTS_UI32>(pkg.size()), &answer) == ERR_OK) {
        Check(answer.wParentAddrSize < 16);
        uint64_t ullTotal = 0;
        switch (answer.wVersion) {
            case NSPKG_VERSION_1:
                ullTotal = NSPKG_FIXED_SIZE_1;
                break;
            case NSPKG_VERSION_2:
            case NSPKG_VERSION_2A:
                ullTotal = NSPKG_FIXED_SIZE_2 + 2ull * (answer.wVendorNameLength + 1u);
                break;
            case NSPKG_VERSION_3:
                ullTotal = NSPKG_FIXED_SIZE_3 + 2ull * (answer.wVendorNameLength + 1u) +
                           answer.bySerialNumberLength + 1ull + answer.byOemDataLength;
                break;
            default:
                Check(false);
        }
        ullTotal += 2ull * answer.wParentAddrSize + 2ull * (answer.wNodeNameLength + 1u) +
                    2ull * (answer.wDeviceNameLength + 1u);
        Check(ullTotal == pkg.size());
    }

    // The whole path: the id of one of the open requests written in.
    if ((byMode & 0x3) != 0 && pkg.size() >= 8) {
        RTS_UI32 dwId =
            NSGetInternalRequestID(reinterpret_cast<RTS_HANDLE>(static_cast<uintptr_t>(byMode & 0x3)));
        for (int i = 0; i < 4; ++i) {
            pkg[4 + i] = static_cast<uint8_t>(dwId >> (8 * i));
        }
    }
    NODEADDRESS sender;
    memset(&sender, 0, sizeof(sender));
    sender.nLength = (byMode >> 4) % 16;
    memset(sender.address, 0x5A, sizeof(sender.address));
    NODEADDRESS own;
    memset(&own, 0, sizeof(own));
    own.nLength = 2;
    PEERADDRESS ps{AT_ABSOLUTE, 0, sender.nLength, sender.address};
    PEERADDRESS pr{AT_ABSOLUTE, 0, own.nLength, own.address};
    PROTOCOL_DATA_UNIT pdu{pkg.data(), static_cast<RTS_UI32>(pkg.size())};
    NSClientHandleData(nullptr, nullptr, PID_NAMINGRESPONSE, 0, ps, pr, pdu, 0);
    Check(NSGetNumRequests() == 3);
    return 0;
}
