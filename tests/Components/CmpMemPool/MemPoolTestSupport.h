// Fixture of the memory pool tests: starts the component through its entry,
// export, import and hook functions with a stand-in for the manager's lookup
// (the manager's hash table functions and a recording LogAdd), and collects
// every line the component logs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CmpMemPoolItf.h"

namespace mempooltest {

struct LogRecord {
    RTS_UI32 CmpId;
    RTS_UI32 iClassID;
    RTS_RESULT iErrorID;
    std::string text;
};

// Lines that reached the imported LogAdd, and lines seen by the test hook.
std::vector<LogRecord> LogAddLines();
std::vector<std::string> HookLines();
void ClearLines();

// Whether the stand-in lookup offers LogAdd at the next import.
void OfferLogAdd(bool bOffer);

// Starts the component as the manager would: entry, export, import, CH_INIT_SYSTEM.
void StartComponent();
// Runs CH_EXIT and CH_EXIT_SYSTEM.
void StopComponent();

// Blocks handed out by a pool until it reports none (at most iMax).
std::vector<void*> Drain(RTS_HANDLE hPool, int iMax = 1000);

class MemPoolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace mempooltest
