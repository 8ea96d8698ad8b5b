/* The C interface as a C program sees it: the record layout C computes, and
   calls through the C declarations. */
#include "kestrolink/Kestrolink.h"

size_t KlCApiLayout(size_t* pOut, size_t n);
unsigned long KlCApiZeroHandle(void);

size_t KlCApiLayout(size_t* pOut, size_t n) {
    const size_t layout[] = {offsetof(PlcVarValue, ulTimeStamp),
                             offsetof(PlcVarValue, bQuality),
                             offsetof(PlcVarValue, byData),
                             sizeof(PlcVarValue),
                             sizeof(DeviceInfo3),
                             offsetof(DeviceInfo3, ulSettings),
                             sizeof(CallbackAddInfoTag),
                             sizeof(NodeInfotyp2)};
    size_t count = sizeof(layout) / sizeof(layout[0]);
    size_t i;
    for (i = 0; i < n && i < count; ++i) {
        pOut[i] = layout[i];
    }
    return count;
}

/* Every answer for handle 0, packed into one number: version, state, exit. */
unsigned long KlCApiZeroHandle(void) {
    int32_t lResult = -1;
    char* apszNames[1] = {0};
    HVARLIST hList = KestrolinkSyncDefineVarList(0, apszNames, 1, 0, &lResult);
    if (hList != 0 || lResult != 1) {
        return 0;
    }
    return (unsigned long)KestrolinkGetVersion(0) + (unsigned long)KestrolinkGetState(0) +
           (unsigned long)KestrolinkExit(0);
}
