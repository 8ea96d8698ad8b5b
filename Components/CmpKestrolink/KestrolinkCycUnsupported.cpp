// The cyclic list operations of CKestrolink in a build that has no cyclic
// lists yet: every definition is refused with RESULT_NOT_SUPPORTED and no list
// handle is ever valid, so nothing here pretends to run an update. The C
// interface already forwards to these operations and manages the
// notification objects it makes for them; the cyclic lists replace this file.
#include "Kestrolink.h"

namespace {

HCYCLIST Refuse(RTS_I32* plResult) {
    if (plResult != nullptr) {
        *plResult = RESULT_NOT_SUPPORTED;
    }
    return nullptr;
}

}  // namespace

HCYCLIST CKestrolink::CycDefineVarList(const char* const*, RTS_UI32, RTS_UI32, CKestrolinkCallback*,
                                       CKestrolinkCallback*, RTS_HANDLE, RTS_UI32, RTS_I32* plResult,
                                       CKestrolinkCallback*) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-CycDefineVarList(Result=%ld), cyclic lists not supported",
                static_cast<long>(RESULT_NOT_SUPPORTED));
    return Refuse(plResult);
}

HCYCLIST CKestrolink::CycUpdateVarList(HCYCLIST, const char* const*, RTS_UI32, RTS_UI32, CKestrolinkCallback*,
                                       CKestrolinkCallback*, RTS_HANDLE, RTS_UI32, RTS_I32* plResult,
                                       CKestrolinkCallback*) {
    AddLogEntry(LOG_DEBUG, 0, "CKestrolink: <-CycUpdateVarList(Result=%ld), cyclic lists not supported",
                static_cast<long>(RESULT_NOT_SUPPORTED));
    return Refuse(plResult);
}

RTS_I32 CKestrolink::CycDeleteVarList(HCYCLIST hCycVarList, RTS_I32) {
    return hCycVarList == nullptr ? RESULT_INVALID_CYCLIST : RESULT_NOT_SUPPORTED;
}

RTS_I32 CKestrolink::CycEnableList(HCYCLIST) {
    return RESULT_NOT_SUPPORTED;
}

RTS_I32 CKestrolink::CycDisableList(HCYCLIST) {
    return RESULT_NOT_SUPPORTED;
}

RTS_I32 CKestrolink::CycIsValidList(HCYCLIST) {
    return 0;
}

RTS_I32 CKestrolink::CycEnterVarAccess(HCYCLIST) {
    return 0;
}

void CKestrolink::CycLeaveVarAccess(HCYCLIST) {}

RTS_I32 CKestrolink::CycReadVars(HCYCLIST, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) {
    if (pppValues != nullptr) {
        *pppValues = nullptr;
    }
    if (pulNumOfValues != nullptr) {
        *pulNumOfValues = 0;
    }
    return RESULT_NOT_SUPPORTED;
}

RTS_I32 CKestrolink::CycReadChangedVars(HCYCLIST, PlcVarValue*** pppChangedValues,
                                        RTS_UI32** ppChangedValuesIndex, RTS_UI32* pulNumOfChangedValues) {
    if (pppChangedValues != nullptr) {
        *pppChangedValues = nullptr;
    }
    if (ppChangedValuesIndex != nullptr) {
        *ppChangedValuesIndex = nullptr;
    }
    if (pulNumOfChangedValues != nullptr) {
        *pulNumOfChangedValues = 0;
    }
    return RESULT_NOT_SUPPORTED;
}

RTS_UI32 CKestrolink::CycGetUpdateRate(HCYCLIST) {
    return 0xFFFFFFFFu;
}

RTS_UI32 CKestrolink::CycGetOperatingRate(HCYCLIST) {
    return 0xFFFFFFFFu;
}

RTS_I32 CKestrolink::CycSetUpdateRate(HCYCLIST, RTS_UI32) {
    return RESULT_NOT_SUPPORTED;
}

RTS_I32 CKestrolink::CycGetSymbolList(HCYCLIST, char*** pppCycSymbolList) {
    if (pppCycSymbolList != nullptr) {
        *pppCycSymbolList = nullptr;
    }
    return RESULT_NOT_SUPPORTED;
}

RTS_UI32 CKestrolink::CycGetNumOfLists() {
    return 0;
}

HCYCLIST CKestrolink::CycGetVarListByIndex(RTS_UI32) {
    return nullptr;
}

RTS_I32 CKestrolink::CycGetVarListIndex(HCYCLIST) {
    return -1;
}

RTS_I32 CKestrolink::CycAddSymbolsToVarList(HCYCLIST, const char* const*, RTS_UI32) {
    return RESULT_NOT_SUPPORTED;
}

RTS_I32 CKestrolink::CycRemoveSymbolsFromVarList(HCYCLIST, const char* const*, RTS_UI32) {
    return RESULT_NOT_SUPPORTED;
}

RTS_I32 CKestrolink::CycRemoveSymbolsFromVarList(HCYCLIST, const RTS_UI32*, RTS_UI32) {
    return RESULT_NOT_SUPPORTED;
}

RTS_I32 CKestrolink::CycGetNotificationObjects(HCYCLIST, CKestrolinkCallback** ppUpdateReadyCallback,
                                               CKestrolinkCallback** ppDataChangeCallback,
                                               CKestrolinkCallback** ppReactivateInactiveVarListCallback) {
    for (CKestrolinkCallback** pp :
         {ppUpdateReadyCallback, ppDataChangeCallback, ppReactivateInactiveVarListCallback}) {
        if (pp != nullptr) {
            *pp = nullptr;
        }
    }
    return RESULT_NOT_SUPPORTED;
}

// Without cyclic lists no list holds a written variable; the cyclic lists
// instantiate KlWriteThroughReadCache (KestrolinkWriteThrough.h) here.
void CKestrolink::CycWriteThroughReadCache(const char* const*, RTS_UI32, const RTS_UI8* const*,
                                           const RTS_UI32*) {}
