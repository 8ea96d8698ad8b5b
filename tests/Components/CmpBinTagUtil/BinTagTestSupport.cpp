#include "BinTagTestSupport.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TestSupport.h"

namespace bttest {

// Op codes of the writer fuzz target.
enum : uint8_t { kOpStart = 0, kOpEnd, kOpBlob, kOpString, kOpFill, kOpDummy, kOpRaw, kOpSave, kOpRestore };

Bytes B(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v) {
        b.push_back(static_cast<uint8_t>(x));
    }
    return b;
}

std::string Hex(const Bytes& b) {
    std::string s;
    char sz[4];
    for (size_t i = 0; i < b.size(); ++i) {
        snprintf(sz, sizeof(sz), i == 0 ? "%02x" : " %02x", b[i]);
        s += sz;
    }
    return s;
}

Bytes Slice(const uint8_t* p, size_t n) {
    return p == nullptr ? Bytes() : Bytes(p, p + n);
}

void DumpSeed(const char* pszTarget, const std::string& name, const Bytes& data) {
    const char* pszDir = getenv("KL_SEED_CORPUS_DIR");
    if (pszDir == nullptr || pszDir[0] == '\0') {
        return;
    }
    std::string dir = std::string(pszDir) + "/" + pszTarget;
    mkdir(dir.c_str(), 0755);
    kltest::WriteFile(dir + "/" + name, std::string(data.begin(), data.end()));
}

RecWriter::RecWriter(uint32_t ulSize, bool bSwap, uint32_t ulSession, uint16_t usGroup, uint16_t usService)
    : m_buffer((ulSize + 3) / 4 + 1, 0xDEADBEEFu) {
    uint32_t ulUnits = ulSize >= 20 ? (ulSize - 20) / 4 : 0;
    m_ops = {static_cast<uint8_t>(bSwap ? 1 : 0), static_cast<uint8_t>(ulUnits & 0xFF),
             static_cast<uint8_t>((ulUnits >> 8) & 0xFF)};
    BTagWriterInit2(&w, reinterpret_cast<RTS_UI8*>(m_buffer.data()), ulSize, bSwap ? 1 : 0);
    BTagWriterStartService(&w, ulSession, BTAG_HEADER_TAG_SERVICE, usGroup, usService);
}

RTS_RESULT RecWriter::Start(uint32_t ulId, BTAG_ALIGNMENT a, uint32_t ulMinLen) {
    m_ops.push_back(kOpStart);
    if (ulId < 0xF0) {
        m_ops.push_back(static_cast<uint8_t>(ulId));
    } else {
        m_ops.push_back(0xF0);
        for (int i = 0; i < 4; ++i) {
            m_ops.push_back(static_cast<uint8_t>(ulId >> (8 * i)));
        }
    }
    uint8_t byAlign = static_cast<uint8_t>((a.usRemainder & 3) | (a.usModulus != 4 ? 4 : 0) |
                                           (a.usRemainder >= 4 ? 8 : 0) | ((ulMinLen & 15) << 4));
    m_ops.push_back(byAlign);
    return BTagWriterStartTag(&w, ulId, a, ulMinLen);
}

RTS_RESULT RecWriter::End(uint32_t ulId) {
    m_ops.push_back(kOpEnd);
    bool bRight = w.nStackPos >= 0 && w.tagStack[w.nStackPos].ulTagId == ulId;
    m_ops.push_back(bRight ? 0 : 1);
    return BTagWriterEndTag(&w, ulId);
}

RTS_RESULT RecWriter::Blob(const Bytes& b) {
    for (size_t i = 0; i < b.size(); i += 255) {
        size_t n = b.size() - i < 255 ? b.size() - i : 255;
        m_ops.push_back(kOpBlob);
        m_ops.push_back(static_cast<uint8_t>(n));
        m_ops.insert(m_ops.end(), b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + n));
    }
    return BTagWriterAppendBlob(&w, b.data(), static_cast<RTS_UI32>(b.size()));
}

RTS_RESULT RecWriter::Fill(BTAG_ALIGNMENT a) {
    m_ops.push_back(kOpFill);
    m_ops.push_back(
        static_cast<uint8_t>((a.usRemainder & 3) | (a.usModulus == 8 ? 4 : 0) | (a.usModulus == 0 ? 8 : 0)));
    return BTagWriterAppendFillBytes(&w, 0, a);
}

RTS_RESULT RecWriter::Dummy(uint8_t by, uint32_t n) {
    m_ops.insert(m_ops.end(), {kOpDummy, by, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                               static_cast<uint8_t>(n >> 16)});
    return BTagWriterAppendDummyBytes(&w, by, n);
}

RTS_RESULT RecWriter::Raw(uint32_t n, uint8_t** pp) {
    m_ops.insert(m_ops.end(), {kOpRaw, static_cast<uint8_t>(n)});
    return BTagWriterAppendRaw(&w, pp, n);
}

RTS_RESULT RecWriter::Save(BINTAGSAVEPOINT* sp) {
    m_ops.push_back(kOpSave);
    ++m_nSaves;
    return BTagWriterCreateSavepoint(&w, sp);
}

RTS_RESULT RecWriter::Restore(const BINTAGSAVEPOINT* sp) {
    m_ops.insert(m_ops.end(), {kOpRestore, 0});
    return BTagWriterRestoreSavepoint(&w, sp);
}

Bytes RecWriter::Tags() const {
    return Slice(w.pBuffer, w.ulPos);
}

Bytes RecWriter::Pdu() {
    RTS_UI8* p = nullptr;
    RTS_UI32 n = 0;
    if (BTagWriterFinishService(&w, &p, &n) != ERR_OK) {
        return {};
    }
    Bytes pdu = Slice(p, n);
    BTagWriterFinish(&w, nullptr, nullptr);
    return pdu;
}

void RecWriter::Dump(const std::string& name) const {
    DumpSeed("fuzz_bintag_writer", name, m_ops);
}

}  // namespace bttest
