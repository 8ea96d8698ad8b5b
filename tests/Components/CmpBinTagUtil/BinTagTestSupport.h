// Helpers of the binary-tag tests: byte strings, a writer that also records
// its operations in the byte code of the writer fuzz target, and the dump of
// the tests' traffic as seed corpora (only when KL_SEED_CORPUS_DIR names the
// fuzz/corpus folder to fill; normally nothing is written).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BinTagService.h"

namespace bttest {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v);
std::string Hex(const Bytes& b);
Bytes Slice(const uint8_t* p, size_t n);

// Writes one seed file to $KL_SEED_CORPUS_DIR/<target>/<name> when that is set.
void DumpSeed(const char* pszTarget, const std::string& name, const Bytes& data);

constexpr BTAG_ALIGNMENT kAlign0{4, 0};
constexpr BTAG_ALIGNMENT kAlign2{4, 2};

// A memory writer over its own aligned buffer, recording each operation as the
// writer fuzz target decodes it (fuzz/fuzz_bintag_writer.cpp).
class RecWriter {
public:
    explicit RecWriter(uint32_t ulSize, bool bSwap = false, uint32_t ulSession = 0, uint16_t usGroup = 1,
                       uint16_t usService = 1);
    RTS_RESULT Start(uint32_t ulId, BTAG_ALIGNMENT a = kAlign0, uint32_t ulMinLen = 0);
    RTS_RESULT End(uint32_t ulId);
    RTS_RESULT Blob(const Bytes& b);
    RTS_RESULT Fill(BTAG_ALIGNMENT a = kAlign0);
    RTS_RESULT Dummy(uint8_t by, uint32_t n);
    RTS_RESULT Raw(uint32_t n, uint8_t** pp);
    RTS_RESULT Save(BINTAGSAVEPOINT* sp);
    RTS_RESULT Restore(const BINTAGSAVEPOINT* sp);
    // The tag area written so far.
    Bytes Tags() const;
    // FinishService and Finish: the whole PDU.
    Bytes Pdu();
    void Dump(const std::string& name) const;

    BINTAGWRITER w{};
    std::vector<uint32_t> m_buffer;

private:
    Bytes m_ops;
    int m_nSaves = 0;
};

}  // namespace bttest
