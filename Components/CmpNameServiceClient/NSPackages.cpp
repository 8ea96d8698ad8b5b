// Packages of the name service: requests out, identifications in. An
// identification comes from any node of the network, so every length in it
// is checked against the bytes that are really there before it is used, and
// the whole package must be exactly as long as its fields say.
#include "NSPackages.h"

#include <cstring>

namespace {

// Bounded little-endian reader: every read fails instead of passing the end.
class NSReader {
public:
    NSReader(const RTS_UI8* p, RTS_UI32 n) : m_p(p), m_n(n) {}
    bool U8(RTS_UI8* pv) {
        if (m_n - m_pos < 1) {
            return false;
        }
        *pv = m_p[m_pos++];
        return true;
    }
    bool U16(RTS_UI16* pv) {
        if (m_n - m_pos < 2) {
            return false;
        }
        *pv = static_cast<RTS_UI16>(m_p[m_pos] | (m_p[m_pos + 1] << 8));
        m_pos += 2;
        return true;
    }
    bool U32(RTS_UI32* pv) {
        if (m_n - m_pos < 4) {
            return false;
        }
        *pv = static_cast<RTS_UI32>(m_p[m_pos]) | (static_cast<RTS_UI32>(m_p[m_pos + 1]) << 8) |
              (static_cast<RTS_UI32>(m_p[m_pos + 2]) << 16) | (static_cast<RTS_UI32>(m_p[m_pos + 3]) << 24);
        m_pos += 4;
        return true;
    }
    bool Bytes(RTS_UI32 n, const RTS_UI8** pp) {
        if (n > m_n - m_pos) {
            return false;
        }
        *pp = m_p + m_pos;
        m_pos += n;
        return true;
    }
    // A UTF-16LE string of nChars characters whose terminator must follow
    // exactly there.
    bool WString(RTS_UI32 nChars, const RTS_UI8** pp) {
        const RTS_UI8* p = nullptr;
        if (!Bytes(2 * (nChars + 1), &p) || p[2 * nChars] != 0 || p[2 * nChars + 1] != 0) {
            return false;
        }
        *pp = p;
        return true;
    }
    RTS_UI32 Pos() const { return m_pos; }

private:
    const RTS_UI8* m_p;
    RTS_UI32 m_n;
    RTS_UI32 m_pos = 0;
};

void PutU16(RTS_UI8* p, RTS_UI16 v) {
    p[0] = static_cast<RTS_UI8>(v & 0xFF);
    p[1] = static_cast<RTS_UI8>(v >> 8);
}

void PutU32(RTS_UI8* p, RTS_UI32 v) {
    PutU16(p, static_cast<RTS_UI16>(v & 0xFFFF));
    PutU16(p + 2, static_cast<RTS_UI16>(v >> 16));
}

// Copies a string of nChars characters and its terminator from the wire
// (UTF-16LE, or nothing for an absent string) into host order; returns the
// position behind it.
RTS_UI8* PutWString(RTS_UI8* pDest, const RTS_UI8* pWire, RTS_UI32 nChars) {
    for (RTS_UI32 i = 0; i <= nChars; ++i) {
        RTS_WCHAR c = 0;
        if (pWire != nullptr && i < nChars) {
            c = static_cast<RTS_WCHAR>(pWire[2 * i] | (pWire[2 * i + 1] << 8));
        }
        memcpy(pDest + 2 * i, &c, sizeof(c));
    }
    return pDest + 2 * (nChars + 1);
}

RTS_UI32 FixedSize(RTS_UI16 wVersion) {
    switch (wVersion) {
        case NSPKG_VERSION_1:
            return NSPKG_FIXED_SIZE_1;
        case NSPKG_VERSION_2:
        case NSPKG_VERSION_2A:
            return NSPKG_FIXED_SIZE_2;
        default:
            return NSPKG_FIXED_SIZE_3;
    }
}

}  // namespace

RTS_RESULT NSParseAnswer(const RTS_UI8* p, RTS_UI32 ulSize, NSAnswer* pAnswer) {
    if (p == nullptr || pAnswer == nullptr) {
        return ERR_PARAMETER;
    }
    memset(pAnswer, 0, sizeof(*pAnswer));
    NSReader rd(p, ulSize);
    RTS_UI16 wType = 0;
    RTS_UI16 wVersion = 0;
    if (!rd.U16(&wType) || !rd.U16(&wVersion) || !rd.U32(&pAnswer->dwRequestID)) {
        return ERR_NET_PKG_INVALID;
    }
    if (wType != NSPKG_IDENTIFICATION) {
        return ERR_NET_PKG_NOTHANDLED;
    }
    // Peers that write the version big-endian.
    if (wVersion == 0x0201u) {
        wVersion = NSPKG_VERSION_2;
    } else if (wVersion == 0x0301u) {
        wVersion = NSPKG_VERSION_2A;
    }
    if (wVersion != NSPKG_VERSION_1 && wVersion != NSPKG_VERSION_2 && wVersion != NSPKG_VERSION_2A &&
        wVersion != NSPKG_VERSION_3) {
        return ERR_NET_PKG_VERSION;
    }
    pAnswer->wVersion = wVersion;
    const RTS_UI32 ulFixed = FixedSize(wVersion);
    // At least the fixed part and one terminator.
    if (ulSize < ulFixed + 2) {
        return ERR_NET_PKG_INVALID;
    }
    bool bOk = true;
    if (wVersion == NSPKG_VERSION_1) {
        RTS_UI8 byDummy = 0;
        bOk = rd.U32(&pAnswer->ulType) && rd.U16(&pAnswer->wMaxChannels) &&
              rd.U8(&pAnswer->bIntelByteOrder) && rd.U8(&byDummy) && rd.U16(&pAnswer->wParentAddrSize) &&
              rd.U16(&pAnswer->wNodeNameLength) && rd.U16(&pAnswer->wDeviceNameLength);
    } else {
        bOk = rd.U16(&pAnswer->wMaxChannels) && rd.U8(&pAnswer->bIntelByteOrder) &&
              rd.U8(&pAnswer->byAddrDifference) && rd.U16(&pAnswer->wParentAddrSize) &&
              rd.U16(&pAnswer->wNodeNameLength) && rd.U16(&pAnswer->wDeviceNameLength) &&
              rd.U16(&pAnswer->wVendorNameLength) && rd.U32(&pAnswer->ulTargetType) &&
              rd.U32(&pAnswer->ulTargetId) && rd.U32(&pAnswer->ulTargetVersion);
        if (bOk && wVersion == NSPKG_VERSION_3) {
            RTS_UI8 byByte = 0;
            RTS_UI32 ulDWord1 = 0;
            RTS_UI32 ulDWord2 = 0;
            bOk = rd.U32(&pAnswer->ulFlags) && rd.U8(&pAnswer->bySerialNumberLength) &&
                  rd.U8(&pAnswer->byOemDataLength) && rd.U8(&pAnswer->byBlkDrvType) && rd.U8(&byByte) &&
                  rd.U32(&ulDWord1) && rd.U32(&ulDWord2) && byByte == 0 && ulDWord1 == 0 && ulDWord2 == 0;
        }
    }
    if (!bOk || rd.Pos() != ulFixed || pAnswer->wParentAddrSize >= 16) {
        return ERR_NET_PKG_INVALID;
    }
    // The exact total, computed wide so that no length can wrap it.
    RTS_UI64 ullTotal = static_cast<RTS_UI64>(ulFixed) + 2ull * pAnswer->wParentAddrSize +
                        2ull * (pAnswer->wNodeNameLength + 1u) + 2ull * (pAnswer->wDeviceNameLength + 1u);
    if (wVersion != NSPKG_VERSION_1) {
        ullTotal += 2ull * (pAnswer->wVendorNameLength + 1u);
    }
    if (wVersion == NSPKG_VERSION_3) {
        ullTotal += pAnswer->bySerialNumberLength + 1ull + pAnswer->byOemDataLength;
    }
    if (ullTotal != ulSize) {
        return ERR_NET_PKG_INVALID;
    }
    bOk = rd.Bytes(2u * pAnswer->wParentAddrSize, &pAnswer->pParent) &&
          rd.WString(pAnswer->wNodeNameLength, &pAnswer->pNodeName) &&
          rd.WString(pAnswer->wDeviceNameLength, &pAnswer->pDeviceName);
    if (bOk && wVersion != NSPKG_VERSION_1) {
        bOk = rd.WString(pAnswer->wVendorNameLength, &pAnswer->pVendorName);
    }
    if (bOk && wVersion == NSPKG_VERSION_3) {
        bOk = rd.Bytes(pAnswer->bySerialNumberLength + 1u, &pAnswer->pSerialNumber) &&
              pAnswer->pSerialNumber[pAnswer->bySerialNumberLength] == 0 &&
              rd.Bytes(pAnswer->byOemDataLength, &pAnswer->pOemData);
    }
    if (!bOk || rd.Pos() != ulSize) {
        return ERR_NET_PKG_INVALID;
    }
    return ERR_OK;
}

RTS_UI32 NSBuildNodeInfo(const NSAnswer* pAnswer, int iGeneration, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize) {
    if (pAnswer == nullptr || pBuffer == nullptr) {
        return 0;
    }
    const RTS_UI32 nParent = 2u * pAnswer->wParentAddrSize;
    const bool bV3 = pAnswer->wVersion == NSPKG_VERSION_3;
    const bool bV1 = pAnswer->wVersion == NSPKG_VERSION_1;
    const RTS_UI32 nVendor = bV1 ? 0u : pAnswer->wVendorNameLength;
    const RTS_UI32 nSerial = bV3 ? pAnswer->bySerialNumberLength : 0u;
    const RTS_UI32 nOem = bV3 ? pAnswer->byOemDataLength : 0u;
    RTS_UI32 ulFixed = 0;
    RTS_UI32 ulSize = 0;
    switch (iGeneration) {
        case 1:
            ulFixed = offsetof(NODEINFOPACKED, addrParent);
            ulSize = ulFixed + nParent + 2u * (pAnswer->wNodeNameLength + 1u) +
                     2u * (pAnswer->wDeviceNameLength + 1u);
            break;
        case 2:
            ulFixed = offsetof(NODEINFOPACKED2, addrParent);
            ulSize = ulFixed + nParent + 2u * (pAnswer->wNodeNameLength + 1u) +
                     2u * (pAnswer->wDeviceNameLength + 1u) + 2u * (nVendor + 1u);
            break;
        case 3:
            ulFixed = offsetof(NODEINFOPACKED3, addrParent);
            ulSize = ulFixed + nParent + 2u * (pAnswer->wNodeNameLength + 1u) +
                     2u * (pAnswer->wDeviceNameLength + 1u) + 2u * (nVendor + 1u) + nSerial + 1u + nOem;
            break;
        default:
            return 0;
    }
    if (ulSize > ulBufferSize || ulSize > 0xFFFFu) {
        return 0;
    }
    memset(pBuffer, 0, ulSize);
    if (iGeneration == 1) {
        NODEINFOPACKED info;
        memset(&info, 0, sizeof(info));
        info.ulType = pAnswer->ulType;
        info.wMaxChannels = pAnswer->wMaxChannels;
        info.bIntelByteOrder = pAnswer->bIntelByteOrder;
        info.wParentAddrSize = pAnswer->wParentAddrSize;
        info.wNameLength = pAnswer->wNodeNameLength;
        info.wTypeLength = pAnswer->wDeviceNameLength;
        memcpy(pBuffer, &info, ulFixed);
    } else {
        NODEINFOPACKED3 info;
        memset(&info, 0, sizeof(info));
        info.wMaxChannels = pAnswer->wMaxChannels;
        info.bIntelByteOrder = pAnswer->bIntelByteOrder;
        info.byAddrDifference = pAnswer->byAddrDifference;
        info.wParentAddrSize = pAnswer->wParentAddrSize;
        info.wNodeNameLength = pAnswer->wNodeNameLength;
        info.wDeviceNameLength = pAnswer->wDeviceNameLength;
        info.wVendorNameLength = static_cast<RTS_UI16>(nVendor);
        info.ulTargetType = pAnswer->ulTargetType;
        info.ulTargetId = pAnswer->ulTargetId;
        info.ulTargetVersion = pAnswer->ulTargetVersion;
        info.ulFlags = pAnswer->ulFlags;
        info.bySerialNumberLength = static_cast<RTS_UI8>(nSerial);
        info.byOemDataLength = static_cast<RTS_UI8>(nOem);
        info.byBlkDrvType = pAnswer->byBlkDrvType;
        // The second generation is the leading part of the third.
        memcpy(pBuffer, &info, ulFixed);
    }
    RTS_UI8* pOut = pBuffer + ulFixed;
    if (nParent > 0) {
        memcpy(pOut, pAnswer->pParent, nParent);
        pOut += nParent;
    }
    pOut = PutWString(pOut, pAnswer->pNodeName, pAnswer->wNodeNameLength);
    pOut = PutWString(pOut, pAnswer->pDeviceName, pAnswer->wDeviceNameLength);
    if (iGeneration >= 2) {
        pOut = PutWString(pOut, pAnswer->pVendorName, nVendor);
    }
    if (iGeneration == 3) {
        if (nSerial > 0) {
            memcpy(pOut, pAnswer->pSerialNumber, nSerial);
        }
        pOut[nSerial] = 0;
        pOut += nSerial + 1;
        if (nOem > 0) {
            memcpy(pOut, pAnswer->pOemData, nOem);
        }
    }
    static_assert(offsetof(NODEINFOPACKED2, ulTargetVersion) == offsetof(NODEINFOPACKED3, ulTargetVersion),
                  "the second generation is the leading part of the third");
    return ulSize;
}

RTS_UI32 NSBuildRequest(RTS_UI16 wPkgType, RTS_UI32 dwRequestID, const RTS_WCHAR* pwszName,
                        RTS_UI32 nNameLength, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize) {
    if (pBuffer == nullptr) {
        return 0;
    }
    const bool bName = wPkgType == NSPKG_RESOLVENAME;
    if (bName && pwszName == nullptr) {
        return 0;
    }
    RTS_UI64 ullSize = NSPKG_HEADER_SIZE + (bName ? 2ull * (nNameLength + 1ull) : 0ull);
    if (ullSize > ulBufferSize) {
        return 0;
    }
    PutU16(pBuffer, wPkgType);
    PutU16(pBuffer + 2, NSPKG_VERSION_REQUEST);
    PutU32(pBuffer + 4, dwRequestID);
    if (bName) {
        for (RTS_UI32 i = 0; i <= nNameLength; ++i) {
            PutU16(pBuffer + NSPKG_HEADER_SIZE + 2 * i, i < nNameLength ? pwszName[i] : 0);
        }
    }
    return static_cast<RTS_UI32>(ullSize);
}

RTS_UI32 NSBuildEmptyIdentification(RTS_UI32 dwRequestID, RTS_UI8* pBuffer, RTS_UI32 ulBufferSize) {
    if (pBuffer == nullptr || ulBufferSize < NSPKG_EMPTY_IDENTIFICATION_SIZE) {
        return 0;
    }
    memset(pBuffer, 0, NSPKG_EMPTY_IDENTIFICATION_SIZE);
    PutU16(pBuffer, NSPKG_IDENTIFICATION);
    PutU16(pBuffer + 2, NSPKG_VERSION_1);
    PutU32(pBuffer + 4, dwRequestID);
    return NSPKG_EMPTY_IDENTIFICATION_SIZE;
}
