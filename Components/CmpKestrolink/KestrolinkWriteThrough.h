// The write-through read cache: after a successful synchronous write the
// written values are copied straight into every cyclic list that holds the
// same variable, so that a reader of the cyclic list sees the write at once
// instead of one update cycle later, and the list's data-change callback is
// told.
//
// The algorithm is a template over the connection object and the cyclic list
// so that the cyclic lists instantiate it where their list type is complete.
// TOwner provides CycEnterListAccess(), CycLeaveListAccess(),
// CycEnterVarAccess(TList*) (nonzero when the value lock was taken),
// CycLeaveVarAccess(TList*) and CycGenerateDatachangeCallback(TList*); TList
// provides ulNumOfValues, ppszSymbolList, ppValues, pulValueLength and
// pulVarFlags.
//
// Lock order: the caller holds the online lock; the table lock is taken next,
// then each affected list's value lock.
#pragma once

#include <new>
#include <vector>

#include "PLCComBase.h"
#include "SymbolUtil.h"

// Bit of a list's per-variable flags: the value came from a write, not from
// the controller.
#define KL_VARFLAG_WRITTEN_THROUGH 0x1u

template <class TOwner, class TList>
void KlWriteThroughReadCache(TOwner* pOwner, TList* const* ppTable, RTS_UI32 ulLists,
                             const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                             const RTS_UI8* const* ppbyValues, const RTS_UI32* pulValueSizes) {
    if (ppszSymbols == nullptr || ppbyValues == nullptr || ulNumOfSymbols == 0) {
        return;
    }
    pOwner->CycEnterListAccess();
    std::vector<TList*> touched;
    bool bRoom = true;
    try {
        touched.reserve(ulLists);
    } catch (const std::bad_alloc&) {
        bRoom = false;
    }
    for (RTS_UI32 ulList = 0; bRoom && ppTable != nullptr && ulList < ulLists; ++ulList) {
        TList* pList = ppTable[ulList];
        if (pList == nullptr || pList->ppszSymbolList == nullptr) {
            continue;
        }
        bool bLocked = false;
        bool bSkip = false;
        for (RTS_UI32 ulPos = 0; !bSkip && ulPos < pList->ulNumOfValues; ++ulPos) {
            const char* pszName = pList->ppszSymbolList[ulPos];
            for (RTS_UI32 i = 0; i < ulNumOfSymbols; ++i) {
                if (pszName == nullptr || KestrolinkUtlStrICmp(pszName, ppszSymbols[i]) != 0) {
                    continue;
                }
                if (!bLocked) {
                    if (pOwner->CycEnterVarAccess(pList) == 0) {
                        bSkip = true;  // the list is going away
                        break;
                    }
                    bLocked = true;
                    touched.push_back(pList);  // within the reserved room
                }
                PlcVarValue* pValue = pList->ppValues != nullptr ? pList->ppValues[ulPos] : nullptr;
                if (pValue != nullptr && ppbyValues[i] != nullptr && pList->pulValueLength != nullptr) {
                    // Never more than the cached record holds, nor more than
                    // the caller said its buffer holds.
                    RTS_UI32 ulLen = pList->pulValueLength[ulPos];
                    if (pulValueSizes != nullptr && pulValueSizes[i] < ulLen) {
                        ulLen = pulValueSizes[i];
                    }
                    RTS_UI8* pbyData = PlcVarValueData(pValue);
                    for (RTS_UI32 b = 0; b < ulLen; ++b) {
                        pbyData[b] = ppbyValues[i][b];
                    }
                }
                if (pList->pulVarFlags != nullptr) {
                    pList->pulVarFlags[ulPos] |= KL_VARFLAG_WRITTEN_THROUGH;
                }
            }
        }
    }
    for (TList* pList : touched) {
        pOwner->CycGenerateDatachangeCallback(pList);
        pOwner->CycLeaveVarAccess(pList);
    }
    pOwner->CycLeaveListAccess();
}
