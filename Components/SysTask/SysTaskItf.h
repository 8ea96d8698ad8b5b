// The task component's entry; the task functions are the platform layer's.
#pragma once

#include "CmpStd.h"

KL_COMPONENT_ENTRY(SysTask);
