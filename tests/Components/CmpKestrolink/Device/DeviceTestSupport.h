// Shared by the device tests: a runtime with the log and the XML parser (as a
// connection object has it when it creates a device object), a logger whose
// entries the tests read back, and configuration records built from literals.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "CMItf.h"
#include "CmpBinTagUtilItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpSettingsItf.h"
#include "CmpXMLParserItf.h"
#include "TestSupport.h"
#include "kestrolink/PlcConfig.h"

namespace devtest {

inline std::string SampleFile() {
    return std::string(KL_SOURCE_DIR) + "/examples/symbols/SampleApp.xml";
}

// Configuration records pointing at texts held here.
struct Config {
    PlcConfig config{};
    PlcDeviceDesc device{};
    // Deques: the records point at their elements, which must not move.
    std::deque<std::string> texts;
    std::deque<PlcParameter> params;
    std::vector<PlcParameterDesc> descs;

    Config() {
        config.ulTimeout = 5000;
        config.ulNumTries = 3;
    }
    char* Text(const std::string& s) {
        texts.push_back(s);
        return &texts.back()[0];
    }
    void Param(const std::string& name, const std::string& value) {
        params.push_back(PlcParameter{});
        params.back().Type = PLC_PT_STRING;
        params.back().Value.psz = Text(value);
        descs.push_back(PlcParameterDesc{0, Text(name), &params.back()});
        device.ulNumParams = static_cast<uint32_t>(descs.size());
        device.ppd = descs.data();
    }
    void Param(const std::string& name, uint32_t value) {
        params.push_back(PlcParameter{});
        params.back().Type = PLC_PT_ULONG;
        params.back().Value.dw = value;
        descs.push_back(PlcParameterDesc{0, Text(name), &params.back()});
        device.ulNumParams = static_cast<uint32_t>(descs.size());
        device.ppd = descs.data();
    }
};

// The runtime components a device object reaches by name (the V3 device
// client imports the tag functions), and one logger.
class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        static const StaticComponent kList[] = {
            {"CmpMemPool", CmpMemPool__Entry, 1},
            {"CmpSettings", CmpSettings__Entry, 1},
            {"CmpLog", CmpLog__Entry, 1},
            {"CmpXMLParser", CmpXMLParser__Entry, 0},
            {"CmpBinTagUtil", CmpBinTagUtil__Entry, 0},
            {nullptr, nullptr, 0},
        };
        ASSERT_EQ(CMInit2(nullptr, kList, CM_INIT_OPTION_NO_SETTINGS_REQUIRED), ERR_OK);
        LogOptions options{};
        strncpy(options.szName, "DeviceTest", sizeof(options.szName) - 1);
        options.bEnable = 1;
        options.iType = LT_NORMAL | LT_TIMESTAMP_MS;
        options.iFilter = 0x7FFFFFFF;
        options.iMaxEntries = 1000;
        RTS_RESULT result = ERR_FAILED;
        m_hLogger = LogCreate(&options, &result);
        ASSERT_EQ(result, ERR_OK);
        ASSERT_NE(m_hLogger, RTS_INVALID_HANDLE);
    }
    void TearDown() override {
        if (CMIsRunning()) {
            CMExit();
        }
    }
    // Texts of the logger's entries of the SDK (component 42), oldest first.
    std::vector<std::string> Lines(std::vector<LogEntry>* pEntries = nullptr) {
        std::vector<std::string> lines;
        LogEntry entry;
        RTS_I32 iIndex = 0;
        for (RTS_RESULT r = LogGetFirstEntry(m_hLogger, &iIndex, &entry); r == ERR_OK && lines.size() < 10000;
             r = LogGetNextEntry(m_hLogger, &iIndex, &entry)) {
            if (entry.CmpId == CMPID_CmpKestrolink) {
                lines.push_back(entry.szInfo);
                if (pEntries != nullptr) {
                    pEntries->push_back(entry);
                }
            }
        }
        return lines;
    }
    bool Logged(const std::string& text) {
        for (const std::string& line : Lines()) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    RTS_HANDLE m_hLogger = RTS_INVALID_HANDLE;
};

}  // namespace devtest
