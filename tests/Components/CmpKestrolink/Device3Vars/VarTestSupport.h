// Shared by the variable-service tests and the fuzz target: a V3 device
// client whose transport is a function (request PDU in, reply PDU out), a
// small controller of service group 9 behind it, and a builder of reply PDUs
// for replies no controller would send.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "BinTagService.h"
#include "PLCComBase3.h"

namespace vartest {

using Bytes = std::vector<uint8_t>;

// Builds one reply PDU of group 9 (answered as 0x89).
class ReplyBuilder {
public:
    explicit ReplyBuilder(uint16_t usService, uint32_t ulSize = 65536) : m_buffer(ulSize / 4 + 1) {
        BTagServiceStart(&m_writer, reinterpret_cast<RTS_UI8*>(m_buffer.data()), ulSize, 0, 0,
                         KL_SG_IECVARACCESS | BTAG_REPLY_GROUP_FLAG, usService);
    }
    ReplyBuilder& Tag(uint32_t ulTag, const void* p, uint32_t n, BTAG_ALIGNMENT align = {4, 0}) {
        BTagWriteSingleTag(&m_writer, ulTag, align, 1, p, n);
        return *this;
    }
    ReplyBuilder& U16(uint32_t ulTag, uint16_t v) { return Tag(ulTag, &v, 2); }
    ReplyBuilder& U32(uint32_t ulTag, uint32_t v) { return Tag(ulTag, &v, 4); }
    ReplyBuilder& U32s(uint32_t ulTag, std::vector<uint32_t> v) {
        return Tag(ulTag, v.data(), static_cast<uint32_t>(v.size() * 4));
    }
    // A value tag: quality and the bytes.
    ReplyBuilder& Value(const Bytes& data, uint32_t ulQuality = 0) {
        Bytes c(4 + data.size());
        std::memcpy(c.data(), &ulQuality, 4);
        if (!data.empty()) {
            std::memcpy(c.data() + 4, data.data(), data.size());
        }
        return Tag(0x1D, c.data(), static_cast<uint32_t>(c.size()));
    }
    // Body bytes as they are (for the fuzz target).
    ReplyBuilder& Raw(const uint8_t* p, uint32_t n) {
        m_raw.assign(p, p + n);
        return *this;
    }
    BINTAGWRITER* Writer() { return &m_writer; }
    Bytes Pdu() {
        RTS_UI8* pPdu = nullptr;
        RTS_UI32 ulSize = 0;
        BTagServiceFinish(&m_writer, &pPdu, &ulSize);
        Bytes pdu(pPdu, pPdu + ulSize);
        if (!m_raw.empty() || pdu.size() == BTAG_HEADER_SIZE) {
            pdu.resize(BTAG_HEADER_SIZE);
            pdu.insert(pdu.end(), m_raw.begin(), m_raw.end());
            uint32_t ulLen = static_cast<uint32_t>(m_raw.size());
            std::memcpy(pdu.data() + 12, &ulLen, 4);
        }
        return pdu;
    }

private:
    std::vector<uint32_t> m_buffer;
    BINTAGWRITER m_writer{};
    Bytes m_raw;
};

// Tags of a request body, top level, in order.
struct RequestTag {
    uint32_t ulTag;
    Bytes content;
    uint32_t U32() const {
        uint32_t v = 0;
        std::memcpy(&v, content.data(), content.size() >= 4 ? 4 : 0);
        return v;
    }
};
struct Request {
    uint16_t usGroup = 0;
    uint16_t usService = 0;
    std::vector<RequestTag> tags;
    Bytes pdu;
    bool Has(uint32_t ulTag) const {
        for (const RequestTag& t : tags) {
            if (t.ulTag == ulTag) {
                return true;
            }
        }
        return false;
    }
};

inline Request ParseRequest(const uint8_t* p, uint32_t n) {
    Request req;
    req.pdu.assign(p, p + n);
    if (n < BTAG_HEADER_SIZE) {
        return req;
    }
    std::memcpy(&req.usGroup, p + 4, 2);
    std::memcpy(&req.usService, p + 6, 2);
    uint32_t ulLen = 0;
    std::memcpy(&ulLen, p + 12, 4);
    if (ulLen > n - BTAG_HEADER_SIZE) {
        return req;
    }
    BINTAGREADER r;
    BTagReaderInit(&r, const_cast<uint8_t*>(p) + BTAG_HEADER_SIZE, ulLen);
    auto handler = [](BINTAGREADER* pR, RTS_UI32 ulTag, void* pCtx) -> RTS_RESULT {
        RTS_UI8* pc = nullptr;
        RTS_UI32 nc = 0;
        BTagReaderGetContent(pR, &pc, &nc);
        static_cast<Request*>(pCtx)->tags.push_back(RequestTag{ulTag, Bytes(pc, pc + nc)});
        return ERR_OK;
    };
    BTagServiceWalkTags(&r, handler, &req);
    return req;
}

// The device client with a function as its transport; every request is kept.
class TestDevice : public CPLCComBase3 {
public:
    TestDevice(const PlcConfig* pConfig, const PlcDeviceDesc* pDesc, void* hLogger, uint32_t ulBufferSize)
        : CPLCComBase3(pConfig, pDesc, hLogger) {
        AllocateSendBuffer(ulBufferSize);
    }
    RTS_I32 Open() override { return PLCCOM_OK; }
    RTS_I32 Close() override { return PLCCOM_OK; }
    // Symbols for GetSymbol / GetSymbolAddress, owned by the test.
    void UseSymbols(PlcSymbolDesc* pSymbols, RTS_UI32 ulCount) {
        m_pSymbols = pSymbols;
        m_ulSymbols = ulCount;
    }
    ~TestDevice() override {
        m_pSymbols = nullptr;
        m_ulSymbols = 0;
    }
    RTS_I32 GetSymbol(const char* pszSymbol, PlcSymbolDesc* pSymbol) override {
        for (RTS_UI32 i = 0; i < m_ulSymbols; ++i) {
            if (strcmp(m_pSymbols[i].pszName, pszSymbol) == 0) {
                *pSymbol = m_pSymbols[i];
                return PLCCOM_OK;
            }
        }
        return PLCCOM_NOT_SUPPORTED;
    }

    std::function<Bytes(const Request&)> responder;
    std::vector<Request> requests;
    // Result of the transport (PLCCOM_OK: the responder answers).
    RTS_I32 lTransport = PLCCOM_OK;

protected:
    RTS_I32 SendService3(PROTOCOL_DATA_UNIT pduSend, PROTOCOL_DATA_UNIT* ppduRecv, RTS_BOOL) override {
        requests.push_back(ParseRequest(pduSend.pData, pduSend.ulCount));
        if (requests.size() > 100000) {
            requests.erase(requests.begin(), requests.begin() + 50000);
        }
        ppduRecv->pData = nullptr;
        ppduRecv->ulCount = 0;
        if (lTransport != PLCCOM_OK || !responder) {
            return lTransport != PLCCOM_OK ? lTransport : PLCCOM_FAILED;
        }
        m_reply = responder(requests.back());
        m_replyWords.assign(m_reply.size() / 4 + 1, 0);
        std::memcpy(m_replyWords.data(), m_reply.data(), m_reply.size());
        ppduRecv->pData = reinterpret_cast<RTS_UI8*>(m_replyWords.data());
        ppduRecv->ulCount = static_cast<RTS_UI32>(m_reply.size());
        return PLCCOM_OK;
    }

private:
    Bytes m_reply;
    std::vector<uint32_t> m_replyWords;
};

// A controller of service group 9 good enough for lists of many variables,
// values in pieces, writes by list and by name. Replies are limited to
// ulReplyCap bytes like a controller's channel buffer.
class FakePlc {
public:
    struct Var {
        uint32_t ulType = TYPE3_DINT;
        Bytes value;
        bool bReject = false;  // answered with 0xF at definition
    };
    std::map<std::string, uint32_t> byName;  // name -> handle (index + 100)
    std::vector<Var> vars;
    std::map<uint32_t, std::vector<uint32_t>> lists;  // controller list -> accepted handles
    uint32_t ulNextList = 1;
    bool bExtendable = false;
    uint32_t ulReplyCap = 1400;

    void Add(const std::string& name, uint32_t ulType, Bytes value, bool bReject = false) {
        byName[name] = static_cast<uint32_t>(vars.size() + 100);
        vars.push_back(Var{ulType, std::move(value), bReject});
    }
    Var* ByHandle(uint32_t h) { return h >= 100 && h - 100 < vars.size() ? &vars[h - 100] : nullptr; }

    Bytes Handle(const Request& req) {
        ReplyBuilder b(req.usService, ulReplyCap);
        switch (req.usService) {
            case KL_SRV_VAR_DEFINE:
                Define(req, &b);
                break;
            case KL_SRV_VAR_READ:
                Read(req, &b);
                break;
            case KL_SRV_VAR_WRITE:
                Write(req, &b);
                break;
            case KL_SRV_VAR_DELETE:
                for (const RequestTag& t : req.tags) {
                    if (t.ulTag == 0x10) {
                        b.U16(0x14, lists.erase(t.U32()) == 1 ? 0 : 0x10);
                    }
                }
                break;
            default:
                b.U16(TAG_ERROR, KL_DEVICE_SERVICE_UNKNOWN);
        }
        return b.Pdu();
    }

private:
    void Define(const Request& req, ReplyBuilder* pB) {
        uint32_t hList = 0;
        uint32_t ulFlags = 0;
        for (const RequestTag& t : req.tags) {
            if (t.ulTag == 0x10) {
                hList = t.U32();
            } else if (t.ulTag == 0x13) {
                ulFlags = t.U32();
            }
        }
        if (hList == 0) {
            hList = ulNextList++;
            lists[hList];
        }
        pB->U32(0x10, hList).U32(0x13, ulFlags | (bExtendable ? 0x10u : 0u));
        bool bMore = false;
        for (const RequestTag& t : req.tags) {
            if (t.ulTag != 0x19) {
                continue;
            }
            if (BTagWriterGetAvailableBuffer(pB->Writer()) < 32) {
                bMore = true;
                break;
            }
            std::string name(reinterpret_cast<const char*>(t.content.data()) + 2);
            auto it = byName.find(name);
            if (it == byName.end() || vars[it->second - 100].bReject) {
                pB->U16(0x1C, it == byName.end() ? 0x11 : 0xF);
                if (it == byName.end()) {
                    break;
                }
                continue;
            }
            Var& v = vars[it->second - 100];
            pB->U32s(0x1B, {v.ulType, static_cast<uint32_t>(v.value.size()), it->second});
            lists[hList].push_back(it->second);
        }
        pB->U16(0x14, bMore ? 0x1B : 0);
    }

    void Read(const Request& req, ReplyBuilder* pB) {
        uint32_t hList = 0, hFrom = 0, ulOffset = 0;
        for (const RequestTag& t : req.tags) {
            if (t.ulTag == 0x10) {
                hList = t.U32();
            } else if (t.ulTag == 0x25) {
                hFrom = t.U32();
            } else if (t.ulTag == 0x45) {
                ulOffset = t.U32();
            }
        }
        auto it = lists.find(hList);
        if (it == lists.end()) {
            pB->U16(0x14, 0x10);
            return;
        }
        const std::vector<uint32_t>& handles = it->second;
        size_t k = 0;
        while (hFrom != 0 && k < handles.size() && handles[k] != hFrom) {
            ++k;
        }
        bool bMore = false;
        for (; k < handles.size(); ++k) {
            const Bytes& value = ByHandle(handles[k])->value;
            uint32_t ulAvail = BTagWriterGetAvailableBuffer(pB->Writer());
            uint32_t ulSize = static_cast<uint32_t>(value.size());
            if (ulOffset == 0 && ulSize + 24 <= ulAvail) {
                pB->Value(value);
                continue;
            }
            bMore = true;
            if (ulSize + 40 <= ulReplyCap || ulAvail < 48) {
                break;  // fits into the next reply as a whole
            }
            uint32_t ulPiece = std::min<uint32_t>(ulSize - ulOffset, (ulAvail - 40) / 8 * 8);
            pB->U32(0x46, ulPiece).Value(Bytes(value.begin() + ulOffset, value.begin() + ulOffset + ulPiece));
            break;
        }
        pB->U16(0x14, bMore ? 0x1B : 0);
    }

    void Write(const Request& req, ReplyBuilder* pB) {
        uint32_t hList = 0;
        size_t k = 0;
        Var* pVar = nullptr;
        uint32_t ulOffset = 0;
        bool bPiece = false;
        for (const RequestTag& t : req.tags) {
            if (t.ulTag == 0x10) {
                hList = t.U32();
            } else if (t.ulTag == 0x1F) {
                const std::vector<uint32_t>& handles = lists[hList];
                for (k = 0; k < handles.size() && handles[k] != t.U32(); ++k) {
                }
                pVar = k < handles.size() ? ByHandle(handles[k]) : nullptr;
            } else if (t.ulTag == 0x21) {
                auto it = byName.find(reinterpret_cast<const char*>(t.content.data()));
                pVar = it != byName.end() ? ByHandle(it->second) : nullptr;
            } else if (t.ulTag == 0x45) {
                ulOffset = t.U32();
                bPiece = true;
            } else if (t.ulTag == 0x1E) {
                uint32_t ulLen = t.U32();
                if (pVar == nullptr) {
                    pB->U16(0x20, 0x11);
                } else if (ulLen + 4 > t.content.size() || ulOffset + ulLen > pVar->value.size() ||
                           (!bPiece && ulLen != pVar->value.size())) {
                    pB->U16(0x20, 0xF);
                } else {
                    std::memcpy(pVar->value.data() + ulOffset, t.content.data() + 4, ulLen);
                    pB->U16(0x20, 0);
                    if (bPiece) {
                        pB->U32(0x46, ulLen);
                    }
                }
                if (hList != 0) {
                    const std::vector<uint32_t>& handles = lists[hList];
                    ++k;
                    pVar = k < handles.size() ? ByHandle(handles[k]) : nullptr;
                }
                bPiece = false;
                ulOffset = 0;
            }
        }
        pB->U16(0x14, 0);
    }
};

}  // namespace vartest
