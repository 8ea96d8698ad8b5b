// Child processes of the platform layer.
#pragma once

#include "CmpStd.h"

// Runs argv[0] with the arguments argv (null-terminated) in a child process
// and waits for it. Returns the wait status, -1 when the child cannot be
// created or the wait fails. The child ends with 127 if the program cannot be
// started. No shell is involved unless the caller names one.
int SysProcessRunAndWait(const char* pszPath, const char* const* argv);
