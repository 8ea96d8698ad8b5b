// Name-service packages: exact request bytes, the checks an identification
// must pass, and its conversion between the three callback generations.
#include <gtest/gtest.h>

#include <cstring>

#include "NSPackages.h"
#include "NSTestSupport.h"

using namespace nstest;

namespace {

RTS_RESULT Parse(const Bytes& b, NSAnswer* pAnswer) {
    return NSParseAnswer(b.data(), static_cast<RTS_UI32>(b.size()), pAnswer);
}

RTS_RESULT Parse(const Bytes& b) {
    NSAnswer a;
    return Parse(b, &a);
}

}  // namespace

TEST(NSPackages, RequestsHaveTheFixedBytes) {
    RTS_UI8 buf[64];
    const RTS_WCHAR name[] = {'P', 'L', 'C', 0};
    ASSERT_EQ(NSBuildRequest(NSPKG_RESOLVENAME, 0x11223344u, name, 3, buf, sizeof(buf)), 16u);
    const Bytes byName = {0x01, 0xC2, 0x00, 0x04, 0x44, 0x33, 0x22, 0x11, 'P', 0, 'L', 0, 'C', 0, 0, 0};
    EXPECT_EQ(Bytes(buf, buf + 16), byName);
    ASSERT_EQ(NSBuildRequest(NSPKG_RESOLVEADDR, 7, nullptr, 0, buf, sizeof(buf)), 8u);
    const Bytes identify = {0x02, 0xC2, 0x00, 0x04, 0x07, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(buf, buf + 8), identify);
    // Room is checked, names included.
    EXPECT_EQ(NSBuildRequest(NSPKG_RESOLVENAME, 1, name, 3, buf, 15), 0u);
    EXPECT_EQ(NSBuildRequest(NSPKG_RESOLVENAME, 1, nullptr, 0, buf, sizeof(buf)), 0u);

    ASSERT_EQ(NSBuildEmptyIdentification(9, buf, sizeof(buf)), NSPKG_EMPTY_IDENTIFICATION_SIZE);
    NSAnswer a;
    ASSERT_EQ(NSParseAnswer(buf, NSPKG_EMPTY_IDENTIFICATION_SIZE, &a), ERR_OK);
    EXPECT_EQ(a.wVersion, NSPKG_VERSION_1);
    EXPECT_EQ(a.dwRequestID, 9u);
    EXPECT_EQ(a.wNodeNameLength, 0);
}

TEST(NSPackages, EveryLayoutIsReadAndItsFieldsKept) {
    Ident id;
    id.parent = {0x00, 0x01, 0x7F, 0x02};
    NSAnswer a;
    const Bytes b3 = id.Build();  // the answer's views point into it
    ASSERT_EQ(Parse(b3, &a), ERR_OK);
    EXPECT_EQ(a.wVersion, 0x0400);
    EXPECT_EQ(a.wParentAddrSize, 2);
    EXPECT_EQ(a.ulTargetId, 0x1234u);
    EXPECT_EQ(a.ulFlags, 5u);
    EXPECT_EQ(a.bySerialNumberLength, 4);
    EXPECT_EQ(a.byOemDataLength, 2);
    EXPECT_EQ(memcmp(a.pSerialNumber, "SN42", 5), 0);

    for (uint16_t v : {0x0101, 0x0102, 0x0103}) {
        id.wVersion = v;
        ASSERT_EQ(Parse(id.Build(), &a), ERR_OK) << std::hex << v;
        EXPECT_EQ(a.wVersion, v);
    }
    // Peers that write the version big-endian: 0x0201 and 0x0301 are read
    // as 0x0102 and 0x0103.
    for (uint16_t v : {0x0201, 0x0301}) {
        id.wVersion = 0x0102;
        Bytes b = id.Build();
        b[2] = static_cast<uint8_t>(v & 0xFF);
        b[3] = static_cast<uint8_t>(v >> 8);
        ASSERT_EQ(Parse(b, &a), ERR_OK);
        EXPECT_EQ(a.wVersion, v == 0x0201 ? 0x0102 : 0x0103);
    }
}

TEST(NSPackages, MalformedIdentificationsAreRefusedWithTheirCodes) {
    Ident good;
    for (uint16_t v : {0x0101, 0x0102, 0x0400}) {
        good.wVersion = v;
        Bytes b = good.Build();
        ASSERT_EQ(Parse(b), ERR_OK);
        // One byte more than the fields and strings add up to, or one less.
        Bytes longer = b;
        longer.push_back(0);
        EXPECT_EQ(Parse(longer), ERR_NET_PKG_INVALID) << std::hex << v;
        EXPECT_EQ(Parse(Bytes(b.begin(), b.end() - 1)), ERR_NET_PKG_INVALID);
        // Every prefix is refused, and never read past.
        for (size_t n = 0; n < b.size(); ++n) {
            EXPECT_NE(Parse(Bytes(b.begin(), b.begin() + n)), ERR_OK) << n;
        }
    }
    good.wVersion = 0x0400;

    Ident id = good;
    id.wType = 0xC281;
    EXPECT_EQ(Parse(id.Build()), ERR_NET_PKG_NOTHANDLED);
    id = good;
    id.wVersion = 0x0500;
    EXPECT_EQ(Parse(id.Build()), ERR_NET_PKG_VERSION);
    EXPECT_EQ(Parse(Bytes{0x80, 0xC2, 0x00, 0x04, 1, 0, 0}), ERR_NET_PKG_INVALID)
        << "shorter than the header";

    // The reserved fields of version 0x0400 are 0.
    id = good;
    id.byByte = 1;
    EXPECT_EQ(Parse(id.Build()), ERR_NET_PKG_INVALID);
    id = good;
    id.ulDWord1 = 1;
    EXPECT_EQ(Parse(id.Build()), ERR_NET_PKG_INVALID);
    id = good;
    id.ulDWord2 = 0x80000000u;
    EXPECT_EQ(Parse(id.Build()), ERR_NET_PKG_INVALID);

    // A parent address of 16 components is one too many; 15 are accepted.
    id = good;
    id.parent.assign(30, 0x11);
    EXPECT_EQ(Parse(id.Build()), ERR_OK);
    id.parent.assign(32, 0x11);
    EXPECT_EQ(Parse(id.Build()), ERR_NET_PKG_INVALID);

    // Each terminator must stand exactly at its string's stated length.
    Bytes b = good.Build();
    const size_t nodeEnd = NSPKG_FIXED_SIZE_3 + 2 * good.node.size();
    for (size_t pos : {nodeEnd, nodeEnd + 2 + 2 * good.device.size(),
                       nodeEnd + 4 + 2 * (good.device.size() + good.vendor.size())}) {
        Bytes bad = b;
        bad[pos] = 'x';
        EXPECT_EQ(Parse(bad), ERR_NET_PKG_INVALID) << pos;
    }
    Bytes badSerial = b;
    badSerial[b.size() - good.oem.size() - 1] = 'x';
    EXPECT_EQ(Parse(badSerial), ERR_NET_PKG_INVALID) << "serial number without its terminator";

    // A name length near the 16-bit maximum cannot wrap the total.
    Bytes huge = b;
    huge[14] = 0xFF;
    huge[15] = 0xFF;
    EXPECT_EQ(Parse(huge), ERR_NET_PKG_INVALID);
}

TEST(NSPackages, ConversionBetweenGenerationsCarriesWhatExistsAndZeroesTheRest) {
    // An old answer for a generation-3 caller: the target fields it lacks are 0.
    Ident v1;
    v1.wVersion = 0x0101;
    v1.ulType = 0x77;
    v1.parent = {0x12, 0x34};
    NSAnswer a;
    const Bytes b1 = v1.Build();  // the answer's views point into it
    ASSERT_EQ(Parse(b1, &a), ERR_OK);
    alignas(8) RTS_UI8 buf[NS_NODEINFO_MAX];
    RTS_UI32 n = NSBuildNodeInfo(&a, 3, buf, sizeof(buf));
    ASSERT_GT(n, 0u);
    NODEINFOPACKED3 info3;
    memcpy(&info3, buf, offsetof(NODEINFOPACKED3, addrParent));
    EXPECT_EQ(info3.ulTargetType, 0u);
    EXPECT_EQ(info3.ulTargetId, 0u);
    EXPECT_EQ(info3.ulTargetVersion, 0u);
    EXPECT_EQ(info3.wParentAddrSize, 1);
    EXPECT_EQ(info3.wVendorNameLength, 0);
    EXPECT_EQ(info3.bySerialNumberLength, 0);
    Bytes out(buf, buf + n);
    size_t off = offsetof(NODEINFOPACKED3, addrParent);
    EXPECT_EQ(out[off], 0x12);
    EXPECT_EQ(out[off + 1], 0x34);
    off += 2;
    EXPECT_EQ(TextAt(out, &off, info3.wNodeNameLength), u"PLC1");
    EXPECT_EQ(TextAt(out, &off, info3.wDeviceNameLength), u"Device")
        << "the type name becomes the device name";
    EXPECT_EQ(TextAt(out, &off, 0), u"");
    EXPECT_EQ(out[off], 0) << "empty serial number";
    EXPECT_EQ(off + 1, n);

    // A new answer for a generation-1 caller: name and type name stay.
    Ident v3;
    const Bytes b3 = v3.Build();
    ASSERT_EQ(Parse(b3, &a), ERR_OK);
    n = NSBuildNodeInfo(&a, 1, buf, sizeof(buf));
    NODEINFOPACKED info1;
    memcpy(&info1, buf, offsetof(NODEINFOPACKED, addrParent));
    EXPECT_EQ(info1.ulType, 0u);
    EXPECT_EQ(info1.wNameLength, 4);
    EXPECT_EQ(info1.wTypeLength, 6);
    out.assign(buf, buf + n);
    off = offsetof(NODEINFOPACKED, addrParent);
    EXPECT_EQ(TextAt(out, &off, 4), u"PLC1");
    EXPECT_EQ(TextAt(out, &off, 6), u"Device");
    EXPECT_EQ(off, n);

    // Generation 3 keeps serial number and OEM data; generation 2 is its leading part.
    n = NSBuildNodeInfo(&a, 3, buf, sizeof(buf));
    out.assign(buf, buf + n);
    EXPECT_EQ(Bytes(out.end() - 2, out.end()), v3.oem);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[n - 7]), 4), "SN42");
    RTS_UI32 n2 = NSBuildNodeInfo(&a, 2, buf, sizeof(buf));
    NODEINFOPACKED2 info2;
    memcpy(&info2, buf, offsetof(NODEINFOPACKED2, addrParent));
    EXPECT_EQ(info2.ulTargetVersion, v3.ulTargetVersion);
    EXPECT_EQ(n2, n - offsetof(NODEINFOPACKED3, addrParent) + offsetof(NODEINFOPACKED2, addrParent) - 5 - 2);

    // A buffer too small or an unknown generation writes nothing.
    EXPECT_EQ(NSBuildNodeInfo(&a, 3, buf, n - 1), 0u);
    EXPECT_EQ(NSBuildNodeInfo(&a, 4, buf, sizeof(buf)), 0u);
}
