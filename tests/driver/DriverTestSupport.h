// Shared by the driver's tests: a project folder holding the port's tag
// file, and the driver's seams set so that no test sleeps, installs outside
// its temporary folder or dials a controller it did not choose.
#pragma once

#include <string>

#include "TestSupport.h"
#include "kestrolink/PlcDrv.h"

namespace drvtest {

// Port 4096 ("/Ethernet/") in the given project folder; writes the UTF-8
// tag file with the given lines after a header, converts and loads it.
// Returns the load's result.
int LoadTags(const kltest::TempDir& project, const std::string& lines);

// Milliseconds the driver paused since the last call.
unsigned TakePausedMs();

}  // namespace drvtest
