// Address rules of the UDP block driver: host part and port index in the
// fewest big-endian bytes, broadcasts, and which senders are taken.
#include <gtest/gtest.h>

#include <cstring>

#include "CmpBlkDrvUdpPrivate.h"

namespace {

UDPDEVICEDESC Device(RTS_UI32 ulIp, RTS_UI32 ulNetMask, RTS_I32 iPortIdx) {
    UDPDEVICEDESC d;
    memset(&d, 0, sizeof(d));
    d.ulIpAddr = ulIp;
    d.ulOsNetworkMask = ulNetMask;
    d.ulLocalAddrMask = ~ulNetMask;
    d.iPortIdx = iPortIdx;
    BdUdpInitAddressing(&d);
    return d;
}

std::vector<uint8_t> Bytes(const NETWORKADDRESS& a) {
    return std::vector<uint8_t>(a.address, a.address + a.nLength);
}

}  // namespace

TEST(BlkDrvUdpAddr, HostPartAndPortIndexInTheFewestBytes) {
    NETWORKADDRESS a;
    // Loopback /8: 24 host bits + 2 = 26 bits in 4 bytes.
    UDPDEVICEDESC lo = Device(0x7F000001u, 0xFF000000u, 2);
    EXPECT_EQ(lo.usPortIdxOffset, 24);
    EXPECT_EQ(lo.usLocalAddrLen, 4);
    BdUdpMakeNetworkAddress(&lo, 0x7F000001u, 2, &a);
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0x02, 0x00, 0x00, 0x01}));
    BdUdpMakeNetworkAddress(&lo, 0x7F0A0B0Cu, 1, &a);
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0x01, 0x0A, 0x0B, 0x0C}));

    // /24: 10 bits in 2 bytes.
    UDPDEVICEDESC c = Device(0xC0A80105u, 0xFFFFFF00u, 0);
    EXPECT_EQ(c.usLocalAddrLen, 2);
    BdUdpMakeNetworkAddress(&c, 0xC0A80109u, 3, &a);
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0x03, 0x09}));

    // /30: 4 bits in 1 byte; /0 and /1: the port index spills into a fifth byte.
    UDPDEVICEDESC p = Device(0x0A000001u, 0xFFFFFFFCu, 0);
    EXPECT_EQ(p.usLocalAddrLen, 1);
    BdUdpMakeNetworkAddress(&p, 0x0A000002u, 2, &a);
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0x0A}));
    UDPDEVICEDESC all = Device(0x0A000001u, 0x00000000u, 0);
    EXPECT_EQ(all.usLocalAddrLen, 5);
    BdUdpMakeNetworkAddress(&all, 0x0A000002u, 3, &a);
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0x03, 0x0A, 0x00, 0x00, 0x02}));
    UDPDEVICEDESC half = Device(0x80000001u, 0x80000000u, 0);
    EXPECT_EQ(half.usPortIdxOffset, 31);
    BdUdpMakeNetworkAddress(&half, 0x80000002u, 3, &a);
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0x01, 0x80, 0x00, 0x00, 0x02}));

    // Back again: the network part comes from the own address.
    for (const UDPDEVICEDESC* d : {&lo, &c, &all, &half}) {
        for (RTS_I32 idx = 0; idx < 3; ++idx) {
            RTS_UI32 ulPeer = (d->ulIpAddr & ~d->ulLocalAddrMask) | (0x00000102u & d->ulLocalAddrMask);
            BdUdpMakeNetworkAddress(d, ulPeer, idx, &a);
            RTS_BOOL bBroadcast = 1;
            RTS_UI32 ulIp = 0;
            RTS_I32 iIdx = -1;
            ASSERT_EQ(BdUdpParseNetworkAddress(d, &a, &bBroadcast, &ulIp, &iIdx), ERR_OK);
            EXPECT_EQ(bBroadcast, 0);
            EXPECT_EQ(ulIp, ulPeer);
            EXPECT_EQ(iIdx, idx);
        }
    }
}

TEST(BlkDrvUdpAddr, BroadcastsAndBadLengths) {
    UDPDEVICEDESC c = Device(0xC0A80105u, 0xFFFFFF00u, 2);
    NETWORKADDRESS a{};
    RTS_BOOL bBroadcast = 0;
    RTS_UI32 ulIp = 0;
    RTS_I32 iIdx = 0;
    ASSERT_EQ(BdUdpParseNetworkAddress(&c, &a, &bBroadcast, &ulIp, &iIdx), ERR_OK);
    EXPECT_EQ(bBroadcast, 1) << "length 0";
    a.nLength = 2;
    a.address[0] = 0x03;
    a.address[1] = 0xFF;
    ASSERT_EQ(BdUdpParseNetworkAddress(&c, &a, &bBroadcast, &ulIp, &iIdx), ERR_OK);
    EXPECT_EQ(bBroadcast, 1) << "host and port-index bits all ones";
    a.address[0] = 0x02;
    ASSERT_EQ(BdUdpParseNetworkAddress(&c, &a, &bBroadcast, &ulIp, &iIdx), ERR_OK);
    EXPECT_EQ(bBroadcast, 0) << "host bits all ones on port index 2 is one host";
    EXPECT_EQ(ulIp, 0xC0A801FFu);
    for (RTS_UI32 n : {1u, 3u, 8u}) {
        a.nLength = n;
        EXPECT_EQ(BdUdpParseNetworkAddress(&c, &a, &bBroadcast, &ulIp, &iIdx), ERR_PARAMETER) << n;
    }
}

TEST(BlkDrvUdpAddr, OnlySendersOnTheFourPortsAndInsideTheSubnetAreTaken) {
    UDPDEVICEDESC c = Device(0xC0A80105u, 0xFFFFFF00u, 2);
    NETWORKADDRESS a;
    EXPECT_TRUE(BdUdpAcceptSender(&c, 0xC0A80109u, 1740, &a));
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0x00, 0x09}));
    EXPECT_TRUE(BdUdpAcceptSender(&c, 0xC0A80109u, 1743, &a));
    EXPECT_EQ(Bytes(a), (std::vector<uint8_t>{0x03, 0x09}));
    EXPECT_FALSE(BdUdpAcceptSender(&c, 0xC0A80109u, 1739, &a));
    EXPECT_FALSE(BdUdpAcceptSender(&c, 0xC0A80109u, 1744, &a));
    EXPECT_FALSE(BdUdpAcceptSender(&c, 0xC0A80109u, 53, &a));
    // Our own broadcast coming back; the same host on another port index is a peer.
    EXPECT_FALSE(BdUdpAcceptSender(&c, 0xC0A80105u, 1742, &a));
    EXPECT_TRUE(BdUdpAcceptSender(&c, 0xC0A80105u, 1741, &a));
    // A sender of another network would alias the local host .9: dropped.
    EXPECT_FALSE(BdUdpAcceptSender(&c, 0xC0A80209u, 1740, &a));
    EXPECT_FALSE(BdUdpAcceptSender(&c, 0x0A000009u, 1740, &a));
}
