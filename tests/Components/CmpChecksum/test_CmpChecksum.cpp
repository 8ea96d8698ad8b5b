// The checksums against their published check values, piecewise against
// whole, and their lookup through the component manager.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CMItf.h"
#include "CmpChecksumItf.h"

namespace {

TEST(CmpChecksum, CheckValuesPiecesAndEmptyInput) {
    const char* pszCheck = "123456789";
    EXPECT_EQ(CRC16Finish(CRC16Update(CRC16_INIT, pszCheck, 9)), 0x29B1u);
    EXPECT_EQ(CRC32Finish(CRC32Update(CRC32_INIT, pszCheck, 9)), 0xCBF43926u);
    // Known vectors with one byte and with zeros.
    const RTS_UI8 abyA[1] = {'A'};
    EXPECT_EQ(CRC16Update(CRC16_INIT, abyA, 1), 0xB915u);
    const RTS_UI8 abyZeros[4] = {0, 0, 0, 0};
    EXPECT_EQ(CRC32Finish(CRC32Update(CRC32_INIT, abyZeros, 4)), 0x2144DF1Cu);

    std::string text = "The router's broadcast ids and the channel's messages";
    for (size_t cut = 0; cut <= text.size(); cut += 7) {
        RTS_UI16 c16 =
            CRC16Update(CRC16Update(CRC16_INIT, text.data(), cut), text.data() + cut, text.size() - cut);
        EXPECT_EQ(c16, CRC16Update(CRC16_INIT, text.data(), text.size())) << cut;
        RTS_UI32 c32 =
            CRC32Update(CRC32Update(CRC32_INIT, text.data(), cut), text.data() + cut, text.size() - cut);
        EXPECT_EQ(CRC32Finish(c32), CRC32Finish(CRC32Update(CRC32_INIT, text.data(), text.size()))) << cut;
    }
    EXPECT_EQ(CRC16Update(0x1234, nullptr, 10), 0x1234u);
    EXPECT_EQ(CRC32Update(0x12345678u, "x", 0), 0x12345678u);
}

TEST(CmpChecksum, FunctionsAreFoundThroughTheComponentManager) {
    static const StaticComponent list[] = {{"CmpChecksum", CmpChecksum__Entry, 0}, {nullptr, nullptr, 0}};
    ASSERT_EQ(CMInit2(nullptr, list, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
    RTS_VOID_FCTPTR pf = nullptr;
    ASSERT_EQ(CMGetAPI("CRC16Update", &pf, SIG_CRC16Update), ERR_OK);
    auto pfCrc16 = reinterpret_cast<PFCRC16Update>(pf);
    EXPECT_EQ(pfCrc16(CRC16_INIT, "123456789", 9), 0x29B1u);
    ASSERT_EQ(CMGetAPI("CRC32Finish", &pf, SIG_CRC32Finish), ERR_OK);
    EXPECT_NE(CMGetAPI("CRC32Update", &pf, SIG_CRC16Update), ERR_OK)
        << "lookup with a wrong prototype accepted";
    CMExit();
}

}  // namespace
