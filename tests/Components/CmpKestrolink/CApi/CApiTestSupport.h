// Shared by the C interface tests: a folder per test that is also the working
// directory (the SDK's settings and log files land there), a configuration
// file with simulation entries, and name and value arrays in the shapes the C
// interface takes.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "kestrolink/Kestrolink.h"

namespace capitest {

inline std::string SampleFile() {
    return std::string(KL_SOURCE_DIR) + "/examples/symbols/SampleApp.xml";
}

// Names as the C interface takes them (char**), owning their text.
class Names {
public:
    Names(std::initializer_list<std::string> names) : m_text(names) {
        for (std::string& s : m_text) {
            m_ptrs.push_back(&s[0]);
        }
    }
    char** Get() { return m_ptrs.data(); }
    uint32_t Count() const { return static_cast<uint32_t>(m_ptrs.size()); }

private:
    std::vector<std::string> m_text;
    std::vector<char*> m_ptrs;
};

// The data bytes of a value record, read from byte 5 of the record.
template <typename T>
T ValueOf(const PlcVarValue* pValue) {
    T v{};
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(pValue) + 5, sizeof(v));
    return v;
}

class CApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szCwd[4096];
        ASSERT_NE(getcwd(szCwd, sizeof(szCwd)), nullptr);
        m_oldCwd = szCwd;
        ASSERT_EQ(chdir(m_dir.Path().c_str()), 0);
        m_ini = m_dir.File("plcs.ini");
        const std::string entry =
            "interfacetype=SIMULATION3\nproject=" + SampleFile() + "\nreconnecttime=1000\n";
        kltest::WriteFile(m_ini, "[Server]\nPLCs=2\nPLC0=Sim\nPLC1=SimCache\n[PLC:Sim]\n" + entry +
                                     "[PLC:SimCache]\n" + entry +
                                     "parameters=1\nparameter0=WriteThroughReadCache\nvalue0=1\n");
    }
    void TearDown() override { EXPECT_EQ(chdir(m_oldCwd.c_str()), 0); }

    // A connection to entry ulId, connected synchronously, or 0.
    RTS_UINTPTR Connected(uint32_t ulId) {
        RTS_UINTPTR h = KestrolinkInitByFile(ulId, m_ini.c_str(), nullptr);
        EXPECT_NE(h, 0u);
        if (h == 0) {
            return 0;
        }
        KestrolinkSetFinalShutDown(h);
        EXPECT_EQ(KestrolinkConnect(h, 0xFFFFFFFFu, nullptr, 1), RESULT_OK);
        EXPECT_EQ(KestrolinkGetState(h), STATE_RUNNING);
        return h;
    }

    kltest::TempDir m_dir;
    std::string m_oldCwd;
    std::string m_ini;
};

}  // namespace capitest
