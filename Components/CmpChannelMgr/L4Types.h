// Wire format of layer 4 of the communication stack (the channel protocol),
// shared by the channel manager, the channel client and the emulator's
// channel server: package types and flags, the fixed sizes of every package,
// the result codes of the channel layer, and a bounded little-endian reader
// and writer. All layer-4 fields are little-endian; every package travels as
// the content of a router package with service PID_LAYER4, message id 0.
//
// The records below give the field order only: packages are read and
// written byte by byte through L4Reader / L4Put*.
#pragma once

#include <cstddef>
#include <cstring>

#include "CmpStd.h"

// ---- Package types (byPkgType) ---------------------------------------------------------
#define L4_PKG_DATA 1
#define L4_PKG_ACKNOWLEDGE 2
#define L4_PKG_KEEPALIVE 3
#define L4_PKG_META 0x80        /* bit 7: meta package */
#define L4_PKG_META_CLIENT 0x40 /* bit 6 of a meta package: sent by the client side */
#define L4_META_OPENCHANNEL_REQ 0xC3
#define L4_META_OPENCHANNEL_RESP 0x83
#define L4_META_CLOSECHANNEL_REQ 0xC4
#define L4_META_CLOSECHANNEL 0x84

// ---- byFlags of blocks, acknowledgements and keep-alives ----------------------------------
#define PTF_FIRSTPACKAGE 0x01
#define PTF_MISSINGPACKAGE 0x02
#define PTF_CLIENT 0x80

// ---- Sizes -------------------------------------------------------------------------------
#define L4_PREFIX_SIZE 4 /* byPkgType, byFlags, wChannelId */
#define L4_DATA_HEADER_SIZE 12
#define L4_DATAFIRST_HEADER_SIZE 20
#define L4_ACKNOWLEDGE_SIZE 8
#define L4_KEEPALIVE_SIZE 4
#define L4_META_HEADER_SIZE 8
#define L4_META_CHECKSUM_OFFSET 4
#define L4_OPENCHANNEL_REQ_SIZE 20
#define L4_OPENCHANNEL_RESP_SIZE 24
#define L4_OPENCHANNEL_RESP_OLD_SIZE 20 /* wVersion 0x0100: no byte order, no address size */
#define L4_CLOSECHANNEL_SIZE 12
#define L4_META_VERSION 0x0101     /* bytes 01 01 */
#define L4_META_VERSION_OLD 0x0100 /* bytes 00 01 */

// A block of a channel never carries more than a router package's content;
// the sizes of an open response are refused beyond these bounds.
#define L4_MAX_ADDRESS_SIZE 32
#define L4_MAX_PACKAGE_SIZE 512

// Open response wResult values.
#define L4_OPEN_ACCEPTED 0
#define L4_OPEN_NO_CHANNEL 1 /* the server has no free channel */
#define L4_OPEN_NO_MEMORY 2  /* the server cannot hold the buffer */

// Open response byFlags.
#define L4_OPENFLAG_BIGENDIAN 0x01

// ---- Result codes of the channel layer ----------------------------------------------------
#define ERR_L4_INVALID_META 0x120   /* 288: bad or short meta package */
#define ERR_L4_NO_CHANNEL 391       /* open refused: wResult 1 */
#define ERR_L4_NO_SERVER_MEMORY 400 /* open refused: wResult 2 */
#define ERR_L4_TIMEOUT 418          /* open unanswered after three tries, or channel time-out */
#define ERR_L4_BUFFER_MISMATCH 419  /* granted buffer larger than requested */
#define ERR_L4_CHECKSUM 420         /* checksum of a received message wrong */
#define ERR_L4_NOT_ALLOWED 421      /* not the client's turn to send, or a message is being sent */
#define ERR_L4_MSG_TOO_LARGE 425    /* message larger than the channel buffer */
#define ERR_L4_NOMEMORY 426         /* no memory for the channel */

// ---- Records (field order) ------------------------------------------------------------------

struct L4PACKAGE {
    RTS_UI8 byPkgType;
    RTS_UI8 byFlags;
};

struct L4DATA {
    RTS_UI8 byPkgType;
    RTS_UI8 byFlags;
    RTS_UI16 wChannelId;
    RTS_UI32 dwBlock;
    RTS_UI32 dwAckBlock;
};

struct L4DATAFIRST {
    RTS_UI8 byPkgType;
    RTS_UI8 byFlags;
    RTS_UI16 wChannelId;
    RTS_UI32 dwBlock;
    RTS_UI32 dwAckBlock;
    RTS_UI32 dwMsgLength;
    RTS_UI32 dwMsgChecksum;
};

struct L4ACKNOWLEDGE {
    RTS_UI8 byPkgType;
    RTS_UI8 byFlags;
    RTS_UI16 wChannelId;
    RTS_UI32 dwAckBlock;
};

struct L4KEEPALIVE {
    RTS_UI8 byPkgType;
    RTS_UI8 byFlags;
    RTS_UI16 wChannelId;
};

struct L4METAPACKAGE {
    RTS_UI8 byPkgType;
    RTS_UI8 byFlags;
    RTS_UI16 wVersion;
    RTS_UI32 dwChecksum;
};

struct L4OPENCHANNEL_REQ_2 {
    L4METAPACKAGE hdr;
    RTS_UI32 dwRequestId;
    RTS_UI32 dwCommBufferSize;
    RTS_UI8 byMaxAddressSize;
    RTS_UI8 byDummy;
    RTS_UI16 wDummy;
};

struct L4OPENCHANNEL_RESP {
    L4METAPACKAGE hdr;
    RTS_UI32 dwRequestId;
    RTS_UI16 wResult;
    RTS_UI16 wChannelId;
    RTS_UI32 dwCommBufferSize;
    RTS_UI8 byFlags;
    RTS_UI8 byMaxAddressSize;
    RTS_UI16 wDummy;
};

struct L4CLOSECHANNEL_REQ {
    L4METAPACKAGE hdr;
    RTS_UI16 wChannelId;
    RTS_UI16 wError;
};

static_assert(sizeof(L4DATA) == L4_DATA_HEADER_SIZE && sizeof(L4DATAFIRST) == L4_DATAFIRST_HEADER_SIZE,
              "data block headers");
static_assert(sizeof(L4ACKNOWLEDGE) == L4_ACKNOWLEDGE_SIZE && sizeof(L4KEEPALIVE) == L4_KEEPALIVE_SIZE,
              "acknowledgement and keep-alive");
static_assert(sizeof(L4METAPACKAGE) == L4_META_HEADER_SIZE &&
                  sizeof(L4OPENCHANNEL_REQ_2) == L4_OPENCHANNEL_REQ_SIZE &&
                  sizeof(L4OPENCHANNEL_RESP) == L4_OPENCHANNEL_RESP_SIZE &&
                  sizeof(L4CLOSECHANNEL_REQ) == L4_CLOSECHANNEL_SIZE,
              "meta packages");
static_assert(offsetof(L4DATAFIRST, dwMsgChecksum) == 16 && offsetof(L4OPENCHANNEL_RESP, byFlags) == 20,
              "field offsets");

// ---- Little-endian access -------------------------------------------------------------------

inline void L4PutU16(RTS_UI8* p, RTS_UI16 v) {
    p[0] = static_cast<RTS_UI8>(v & 0xFF);
    p[1] = static_cast<RTS_UI8>(v >> 8);
}

inline void L4PutU32(RTS_UI8* p, RTS_UI32 v) {
    p[0] = static_cast<RTS_UI8>(v & 0xFF);
    p[1] = static_cast<RTS_UI8>((v >> 8) & 0xFF);
    p[2] = static_cast<RTS_UI8>((v >> 16) & 0xFF);
    p[3] = static_cast<RTS_UI8>(v >> 24);
}

inline RTS_UI16 L4GetU16(const RTS_UI8* p) {
    return static_cast<RTS_UI16>(p[0] | (p[1] << 8));
}

inline RTS_UI32 L4GetU32(const RTS_UI8* p) {
    return static_cast<RTS_UI32>(p[0]) | (static_cast<RTS_UI32>(p[1]) << 8) |
           (static_cast<RTS_UI32>(p[2]) << 16) | (static_cast<RTS_UI32>(p[3]) << 24);
}

// Bounded reader over a received package: every read fails instead of
// reading past the end, and a failed read leaves the reader failed.
class L4Reader {
public:
    L4Reader(const RTS_UI8* pData, RTS_SIZE size) : m_p(pData), m_size(pData != nullptr ? size : 0) {}
    bool U8(RTS_UI8* pv) {
        if (!Need(1)) {
            return false;
        }
        *pv = m_p[m_pos++];
        return true;
    }
    bool U16(RTS_UI16* pv) {
        if (!Need(2)) {
            return false;
        }
        *pv = L4GetU16(m_p + m_pos);
        m_pos += 2;
        return true;
    }
    bool U32(RTS_UI32* pv) {
        if (!Need(4)) {
            return false;
        }
        *pv = L4GetU32(m_p + m_pos);
        m_pos += 4;
        return true;
    }
    bool Skip(RTS_SIZE n) {
        if (!Need(n)) {
            return false;
        }
        m_pos += n;
        return true;
    }
    RTS_SIZE Remaining() const { return m_ok ? m_size - m_pos : 0; }
    const RTS_UI8* Current() const { return m_p + m_pos; }
    bool Ok() const { return m_ok; }

private:
    bool Need(RTS_SIZE n) {
        if (!m_ok || n > m_size - m_pos) {
            m_ok = false;
            return false;
        }
        return true;
    }
    const RTS_UI8* m_p;
    RTS_SIZE m_size;
    RTS_SIZE m_pos = 0;
    bool m_ok = true;
};

// CRC-32 of a meta package computed as if its checksum field were 0, without
// writing into the package (it may be a received, borrowed block). The caller
// has checked that the package holds at least the meta header.
// CrcUpdate(crc, data, size) and CrcFinish(crc) are the IEEE 802.3 CRC-32.
template <typename FUpdate, typename FFinish>
RTS_UI32 L4MetaChecksum(const RTS_UI8* pData, RTS_SIZE size, FUpdate crcUpdate, FFinish crcFinish) {
    static const RTS_UI8 s_abyZero[4] = {0, 0, 0, 0};
    RTS_UI32 crc = crcUpdate(0xFFFFFFFFu, pData, L4_META_CHECKSUM_OFFSET);
    crc = crcUpdate(crc, s_abyZero, sizeof(s_abyZero));
    crc = crcUpdate(crc, pData + L4_META_HEADER_SIZE, size - L4_META_HEADER_SIZE);
    return crcFinish(crc);
}
