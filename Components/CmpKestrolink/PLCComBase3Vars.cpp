// The online variable services of the V3 device client (service group 9):
// lists are defined on the controller by name, read, written, shrunk and
// deleted; single variables are written by name. Values travel as raw bytes
// in both directions: the client declares its byte order in the list and
// write flags instead of swapping.
//
// Everything the controller sends back is read through the bounded content
// cursor; every continuation it drives (more variables, the next piece of a
// value) has to make progress or the service fails.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "PLCComBase3.h"
#include "SysSem.h"
#include "SysTime.h"

namespace {

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Tags of service group 9.
constexpr RTS_UI32 TAG_VARLIST_HANDLE = 0x10;
constexpr RTS_UI32 TAG_IECVARACC_FLAGS = 0x13;
constexpr RTS_UI32 TAG_IECVARACC_RESULT = 0x14;
constexpr RTS_UI32 TAG_NUM_DEFINED = 0x18;
constexpr RTS_UI32 TAG_VAR_NAME_DEFINE = 0x19;
constexpr RTS_UI32 TAG_VAR_ACCEPTED = 0x1B;
constexpr RTS_UI32 TAG_IECVARACC_VAR_ERROR = 0x1C;
constexpr RTS_UI32 TAG_IECVARACC_VAR_READ = 0x1D;
constexpr RTS_UI32 TAG_VAR_WRITE = 0x1E;
constexpr RTS_UI32 TAG_VAR_HANDLE = 0x1F;
constexpr RTS_UI32 TAG_IECVARACC_VAR_RESULT = 0x20;
constexpr RTS_UI32 TAG_VAR_NAME = 0x21;
constexpr RTS_UI32 TAG_READ_FLAGS = 0x22;
constexpr RTS_UI32 TAG_READ_CONTINUE = 0x25;
constexpr RTS_UI32 TAG_VAR_DESCRIPTION = 0x26;
constexpr RTS_UI32 TAG_CONFIG_TIMESTAMP = 0x3A;
constexpr RTS_UI32 TAG_ADDRESS_TEXT = 0x3B;
constexpr RTS_UI32 TAG_PIECE_OFFSET = 0x45;
constexpr RTS_UI32 TAG_PIECE_SIZE = 0x46;

// Results of the controller.
constexpr RTS_UI16 DEV_OK = 0;
constexpr RTS_UI16 DEV_FAILED = 1;
constexpr RTS_UI16 DEV_SIZE_MISMATCH = 0xF;
constexpr RTS_UI16 DEV_LIST_UNKNOWN = 0x10;
constexpr RTS_UI16 DEV_LIST_INVALID = 0x14;
constexpr RTS_UI16 DEV_MORE = 0x1B;
constexpr RTS_UI16 DEV_CONSISTENCY_TIMEOUT = 0x22;
constexpr RTS_UI16 DEV_SYNC_NOT_ALLOWED = 0x903;

// Read reply flag: a 32-bit time stamp follows the flags.
constexpr RTS_UI32 READ_FLAG_TIMESTAMP = 0x10000;
// Write-by-name flag: the request may carry stored variable descriptions.
constexpr RTS_UI32 WRITE_FLAG_RECALL = 0x1000;

constexpr RTS_UI32 kInvalid32 = 0xFFFFFFFFu;
// A record carries its time stamp, quality and value plus 2 spare bytes.
constexpr RTS_UI32 kRecordExtra = 7;
// Bytes of a rejected variable's record.
constexpr RTS_UI32 kRejectedRecordSize = 8;
// Largest variable the client accepts from a definition reply. Values larger
// than a channel buffer travel in pieces, so the buffer is no bound; this one
// keeps a peer from making the client allocate gigabytes.
constexpr RTS_UI32 kMaxVarSize = 0x4000000;
// Room a variable by name needs besides its name and terminator.
constexpr RTS_UI32 kDefineVarOverhead = 11;
// A whole value needs its size plus this much room; a piece leaves this much
// free; below kMinPieceRoom the piece waits for the next request.
constexpr RTS_UI32 kWholeValueMargin = 14;
constexpr RTS_UI32 kPieceMargin = 24;
constexpr RTS_UI32 kMinPieceRoom = 32;
constexpr RTS_UI32 kPieceAlign = 8;

constexpr BTAG_ALIGNMENT kAlign40 = {4, 0};
constexpr BTAG_ALIGNMENT kAlign42 = {4, 2};

bool ValidSem(RTS_HANDLE hSem) {
    return hSem != RTS_INVALID_HANDLE && hSem != nullptr;
}

// Holds the caller's semaphore (when there is one) while values are stored.
class OptionalSem {
public:
    explicit OptionalSem(RTS_HANDLE hSem) : m_hSem(hSem) {}
    ~OptionalSem() { Leave(); }
    OptionalSem(const OptionalSem&) = delete;
    OptionalSem& operator=(const OptionalSem&) = delete;
    void Enter() {
        if (!m_bHeld && ValidSem(m_hSem)) {
            m_bHeld = SysSemEnter(m_hSem) == ERR_OK;
        }
    }
    void Leave() {
        if (m_bHeld) {
            SysSemLeave(m_hSem);
            m_bHeld = false;
        }
    }

private:
    RTS_HANDLE m_hSem;
    bool m_bHeld = false;
};

PlcVarValue* NewRecord(RTS_UI32 ulBytes) {
    return static_cast<PlcVarValue*>(std::calloc(1, ulBytes));
}

// The walk of a reply's top-level tags with a callable as handler.
template <class F>
RTS_RESULT WalkReply(const KlBTagApi* pApi, BINTAGREADER* pReader, F& handler) {
    return pApi->pfBTagServiceWalkTags(
        pReader,
        [](BINTAGREADER* pR, RTS_UI32 ulTagId, void* pContext) -> RTS_RESULT {
            return (*static_cast<F*>(pContext))(pR, ulTagId);
        },
        &handler);
}

// Size letter of a direct address ("%MW4": W): bytes, 0 for an unknown letter.
RTS_UI32 DirectAddressSize(const char* pszName) {
    switch (pszName[2]) {
        case 'X':
        case 'x':
        case 'B':
        case 'b':
            return 1;
        case 'W':
        case 'w':
            return 2;
        case 'D':
        case 'd':
            return 4;
        case 'L':
        case 'l':
            return 8;
        default:
            return 0;
    }
}

bool IsDirectAddress(const char* pszName) {
    return pszName[0] == '%' && strnlen(pszName, 4) >= 4;
}

// A value to write, with the buffer that holds a cut text.
struct WriteItem {
    const char* pszName = nullptr;  // writes by name
    RTS_UI32 ulIndex = 0;           // writes by list: index within the master list
    RTS_UI32 hVar = kInvalid32;
    const RTS_UI8* pData = nullptr;
    RTS_UI32 ulSize = 0;
    std::vector<RTS_UI8> text;
};

// Prepares a text value: a zeroed buffer of the variable's size holding at
// most size - 1 characters (size - 2 bytes of 16-bit units for wide texts),
// taken up to the caller's terminator or the caller's size.
void PrepareText(WriteItem* pItem, const RTS_UI8* pValue, RTS_UI32 ulCallerSize, RTS_UI32 ulVarSize,
                 bool bWide) {
    pItem->text.assign(ulVarSize, 0);
    RTS_UI32 ulRoom = bWide ? (ulVarSize >= 2 ? ulVarSize - 2 : 0) : (ulVarSize >= 1 ? ulVarSize - 1 : 0);
    ulRoom = std::min(ulRoom, ulCallerSize);
    RTS_UI32 ulCopy = 0;
    if (bWide) {
        for (ulCopy = 0; ulCopy + 2 <= ulRoom; ulCopy += 2) {
            if (pValue[ulCopy] == 0 && pValue[ulCopy + 1] == 0) {
                break;
            }
        }
    } else {
        ulCopy = static_cast<RTS_UI32>(strnlen(reinterpret_cast<const char*>(pValue), ulRoom));
    }
    if (ulCopy > 0) {
        std::memcpy(pItem->text.data(), pValue, ulCopy);
    }
    pItem->pData = pItem->text.data();
    pItem->ulSize = ulVarSize;
}

}  // namespace

// ---- Internals -------------------------------------------------------------------------------

class CPLCComBase3::VarServices {
public:
    // The tag functions, imported late when the device object was built
    // before the runtime started.
    static bool Ready(CPLCComBase3* p) {
        if (p->m_pBTag == nullptr) {
            p->m_pBTag = KlBTagImports();
        }
        return p->m_pBTag != nullptr;
    }
    // Writes a 32-bit number tag in the controller's byte order.
    static RTS_RESULT PutU32(CPLCComBase3* p, BINTAGWRITER* pW, RTS_UI32 ulTag, RTS_UI32 ulValue) {
        RTS_UI32 v = p->Swap(ulValue);
        return p->m_pBTag->pfBTagWriteSingleTag(pW, ulTag, kAlign40, 1, &v, sizeof(v));
    }
    // Reserves a 32-bit number tag to be filled in once the request is built.
    static RTS_UI8* ReserveU32(CPLCComBase3* p, BINTAGWRITER* pW, RTS_UI32 ulTag) {
        RTS_UI8* pRaw = nullptr;
        if (p->m_pBTag->pfBTagWriterStartTag(pW, ulTag, kAlign40, 0) != ERR_OK ||
            p->m_pBTag->pfBTagWriterAppendRaw(pW, &pRaw, 4) != ERR_OK ||
            p->m_pBTag->pfBTagWriterEndTag(pW, ulTag) != ERR_OK) {
            return nullptr;
        }
        return pRaw;
    }
    static void FillU32(CPLCComBase3* p, RTS_UI8* pRaw, RTS_UI32 ulValue) {
        RTS_UI32 v = p->Swap(ulValue);
        std::memcpy(pRaw, &v, sizeof(v));
    }
    static bool Cursor(CPLCComBase3* p, BINTAGREADER* pR, BTAG_CONTENT_CURSOR* pC) {
        return p->m_pBTag->pfBTagReaderGetCursor(pR, p->SwapHeader(), pC) == ERR_OK;
    }
    static bool ReadU16(CPLCComBase3* p, BINTAGREADER* pR, RTS_UI16* pus) {
        return p->m_pBTag->pfBTagReaderGetUI16(pR, p->SwapHeader(), pus) == ERR_OK;
    }
    static bool ReadU32(CPLCComBase3* p, BINTAGREADER* pR, RTS_UI32* pul) {
        return p->m_pBTag->pfBTagReaderGetUI32(pR, p->SwapHeader(), pul) == ERR_OK;
    }

    static COM3VARLIST* Find(CPLCComBase3* p, HVARLIST hVarList) {
        if (hVarList == nullptr) {
            return nullptr;
        }
        for (auto& pList : p->m_varLists) {
            if (pList.get() == hVarList) {
                return pList.get();
            }
        }
        return nullptr;
    }

    // Grows the master's arrays to ulCount variables (new entries rejected,
    // without records).
    static bool Grow(COM3VARLIST* pMaster, RTS_UI32 ulCount) {
        auto* pVars = static_cast<COM3VAR*>(std::realloc(pMaster->pVars, sizeof(COM3VAR) * ulCount));
        if (pVars == nullptr) {
            return false;
        }
        pMaster->pVars = pVars;
        auto** ppValues =
            static_cast<PlcVarValue**>(std::realloc(pMaster->ppPlcVarValue, sizeof(PlcVarValue*) * ulCount));
        if (ppValues == nullptr) {
            return false;
        }
        pMaster->ppPlcVarValue = ppValues;
        auto* pulChanged =
            static_cast<RTS_UI32*>(std::realloc(pMaster->pulChangedVarIndexList, sizeof(RTS_UI32) * ulCount));
        if (pulChanged == nullptr) {
            return false;
        }
        pMaster->pulChangedVarIndexList = pulChanged;
        for (RTS_UI32 i = pMaster->ulNumOfAllVars; i < ulCount; ++i) {
            pMaster->pVars[i] = COM3VAR{TYPE3_MAX_TYPE, kInvalid32, kInvalid32};
            pMaster->ppPlcVarValue[i] = nullptr;
        }
        return true;
    }

    static void Reject(COM3VARLIST* pMaster, RTS_UI32 ulIndex) {
        pMaster->pVars[ulIndex] = COM3VAR{TYPE3_MAX_TYPE, kInvalid32, kInvalid32};
        std::free(pMaster->ppPlcVarValue[ulIndex]);
        pMaster->ppPlcVarValue[ulIndex] = NewRecord(kRejectedRecordSize);
    }

    static bool IsRejected(const COM3VAR& var) {
        return var.hVar == kInvalid32 || var.type == TYPE3_MAX_TYPE;
    }

    // Deletes the lists of a chain on the controller (unless bLocalOnly) and
    // frees them. The first failure is returned; every list is freed anyway.
    static RTS_I32 DeleteChain(CPLCComBase3* p, COM3VARLIST* pMaster, RTS_I32 bLocalOnly) {
        RTS_I32 lResult = PLCCOM_OK;
        for (COM3VARLIST* pList = pMaster; pList != nullptr && !bLocalOnly; pList = pList->pNextSlaveList) {
            if (pList->hVarList == kInvalid32) {
                continue;
            }
            RTS_I32 r = DeleteOne(p, pList->hVarList);
            if (r != PLCCOM_OK && lResult == PLCCOM_OK) {
                lResult = r;
            }
        }
        auto it = std::find_if(p->m_varLists.begin(), p->m_varLists.end(),
                               [pMaster](const auto& pList) { return pList.get() == pMaster; });
        if (it != p->m_varLists.end()) {
            p->m_varLists.erase(it);
        } else {
            VarListDeleter()(pMaster);
        }
        return lResult;
    }

    static RTS_I32 DeleteOne(CPLCComBase3* p, RTS_UI32 hVarList) {
        BINTAGWRITER w;
        if (p->BeginService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_DELETE) != ERR_OK ||
            PutU32(p, &w, TAG_VARLIST_HANDLE, hVarList) != ERR_OK) {
            return PLCCOM_FAILED;
        }
        BINTAGREADER r;
        bool bAnswered = false;
        RTS_I32 lResult = p->ExchangeService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_DELETE, &r, &bAnswered);
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
        RTS_UI16 usResult = bAnswered ? DEV_OK : DEV_FAILED;
        auto handler = [&](BINTAGREADER* pR, RTS_UI32 ulTag) -> RTS_RESULT {
            if (ulTag == TAG_IECVARACC_RESULT || ulTag == TAG_ERROR) {
                if (!ReadU16(p, pR, &usResult)) {
                    usResult = DEV_FAILED;
                }
            }
            return ERR_OK;
        };
        if (WalkReply(p->m_pBTag, &r, handler) != ERR_OK) {
            return PLCCOM_FAILED;
        }
        return usResult == DEV_OK ? PLCCOM_OK : PLCCOM_FAILED;
    }

    static RTS_I32 Define(CPLCComBase3* p, HVARLIST* phVarList, const char* const* ppszSymbols,
                          RTS_UI32 ulNumOfSymbols, RTS_I32 bDataChange, PlcVarValue*** pppValues,
                          RTS_UI32 ulFlags);
    static RTS_I32 DefineRequest(CPLCComBase3* p, COM3VARLIST* pMaster, COM3VARLIST* pList, bool bAdding,
                                 RTS_UI32 ulBase, const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                 RTS_UI32* pulAnswered);

    struct ReadState;
    static RTS_I32 ReadList(CPLCComBase3* p, COM3VARLIST* pMaster, COM3VARLIST* pList, ReadState* pState);
    static RTS_I32 ReadReply(CPLCComBase3* p, COM3VARLIST* pMaster, COM3VARLIST* pList, BINTAGREADER* pR,
                             ReadState* pState, RTS_UI16* pusResult);

    static RTS_I32 WriteItems(CPLCComBase3* p, COM3VARLIST* pList, std::vector<WriteItem>* pItems);
};

void CPLCComBase3::VarListDeleter::operator()(COM3VARLIST* pMasterList) const noexcept {
    if (pMasterList == nullptr) {
        return;
    }
    if (pMasterList->ppPlcVarValue != nullptr) {
        for (RTS_UI32 i = 0; i < pMasterList->ulNumOfAllVars; ++i) {
            std::free(pMasterList->ppPlcVarValue[i]);
        }
    }
    std::free(pMasterList->ppPlcVarValue);
    std::free(pMasterList->pVars);
    std::free(pMasterList->pulChangedVarIndexList);
    COM3VARLIST* pSlave = pMasterList->pNextSlaveList;
    delete pMasterList;
    while (pSlave != nullptr) {
        COM3VARLIST* pNext = pSlave->pNextSlaveList;
        delete pSlave;
        pSlave = pNext;
    }
}

// ---- Definition ------------------------------------------------------------------------------

HVARLIST CPLCComBase3::DefineVarList(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                     RTS_I32 bDataChange, RTS_UI32 ulFlags, RTS_I32* plResult) {
    HVARLIST hVarList = nullptr;
    RTS_I32 lResult =
        DefineVarListBase(&hVarList, ppszSymbols, ulNumOfSymbols, bDataChange, nullptr, ulFlags);
    if (plResult != nullptr) {
        // A refused name is not a broken connection: the connection object
        // must not reconnect for it.
        *plResult = lResult == PLCCOM_OK || lResult == PLCCOM_UNKNOWN_SYMBOL ? lResult : PLCCOM_FAILED;
    }
    return lResult == PLCCOM_OK ? hVarList : nullptr;
}

RTS_I32 CPLCComBase3::AddVarsToVarList(HVARLIST hVarList, const char* const* ppszSymbols,
                                       RTS_UI32 ulNumOfSymbols, PlcVarValue*** pppValues) {
    COM3VARLIST* pMaster = VarServices::Find(this, hVarList);
    if (pMaster == nullptr) {
        return PLCCOM_FAILED;
    }
    return DefineVarListBase(&hVarList, ppszSymbols, ulNumOfSymbols,
                             (pMaster->ulFlags & KL_VARLIST_DATACHANGE) != 0 ? 1 : 0, pppValues, 0);
}

RTS_I32 CPLCComBase3::DefineVarListBase(HVARLIST* phVarList, const char* const* ppszSymbols,
                                        RTS_UI32 ulNumOfSymbols, RTS_I32 bDataChange,
                                        PlcVarValue*** pppValues, RTS_UI32 ulFlags) {
    RTS_I32 lResult =
        VarServices::Define(this, phVarList, ppszSymbols, ulNumOfSymbols, bDataChange, pppValues, ulFlags);
    if (lResult != PLCCOM_OK) {
        AddLogEntry(LOG_ERROR, lResult, "CPLCComBase3: <-DefineVarListBase() failed, iResult = %ld",
                    static_cast<long>(lResult));
    }
    return lResult;
}

RTS_I32 CPLCComBase3::VarServices::Define(CPLCComBase3* p, HVARLIST* phVarList,
                                          const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                          RTS_I32 bDataChange, PlcVarValue*** pppValues, RTS_UI32 ulFlags) {
    bool bNamesGiven = ppszSymbols != nullptr && ulNumOfSymbols != 0 && phVarList != nullptr;
    for (RTS_UI32 i = 0; bNamesGiven && i < ulNumOfSymbols; ++i) {
        bNamesGiven = ppszSymbols[i] != nullptr;
    }
    if (!bNamesGiven) {
        p->AddLogEntry(LOG_ERROR, PLCCOM_FAILED,
                       "CPLCComBase3: <-DefineVarListBase() Invalid Parameters, pszSymbols = 0x%p, "
                       "ulNumOfSymbols = 0x%ld",
                       static_cast<const void*>(ppszSymbols), static_cast<long>(ulNumOfSymbols));
        return PLCCOM_FAILED;
    }
    if (!Ready(p)) {
        return PLCCOM_FAILED;
    }
    COM3VARLIST* pMaster = nullptr;
    bool bAdding = *phVarList != nullptr;
    if (bAdding) {
        pMaster = Find(p, *phVarList);
        if (pMaster == nullptr) {
            return PLCCOM_FAILED;
        }
        if ((pMaster->ulFlags & KL_VARLIST_EXTENDABLE) == 0 || pMaster->pNextSlaveList != nullptr) {
            p->AddLogEntry(LOG_ERROR, PLCCOM_NOT_SUPPORTED,
                           "CPLCComBase3: <-DefineVarListBase(): AddVarsToVarList called, but this is not "
                           "supported by the PLC");
            return PLCCOM_NOT_SUPPORTED;
        }
    } else {
        pMaster = new (std::nothrow) COM3VARLIST();
        if (pMaster == nullptr) {
            return PLCCOM_NO_MEMORY;
        }
        RTS_UI32 ulListFlags = KL_VARLIST_DEFAULT_FLAGS | (kHostBigEndian ? KL_VARLIST_BIGENDIAN : 0u);
        if (bDataChange) {
            ulListFlags |= KL_VARLIST_DATACHANGE;
        }
        if ((ulFlags & 4u) != 0) {
            ulListFlags |= KL_VARLIST_SYNC_CONSISTENT;
        } else {
            ulListFlags |= ((ulFlags & 8u) != 0 ? KL_VARLIST_FLAG8 : 0u) |
                           ((ulFlags & 2u) != 0 ? KL_VARLIST_CONSISTENT : 0u);
        }
        pMaster->ulFlags = ulListFlags;
        pMaster->pMasterList = pMaster;
        try {
            p->m_varLists.emplace_back(pMaster);
        } catch (const std::bad_alloc&) {
            delete pMaster;
            return PLCCOM_NO_MEMORY;
        }
    }

    RTS_UI32 ulOldCount = pMaster->ulNumOfAllVars;
    RTS_UI32 ulOldMasterVars = pMaster->ulNumOfVars;
    auto fail = [&](RTS_I32 lResult) {
        if (!bAdding) {
            DeleteChain(p, pMaster, 0);
            return lResult;
        }
        for (RTS_UI32 i = ulOldCount; i < pMaster->ulNumOfAllVars; ++i) {
            std::free(pMaster->ppPlcVarValue[i]);
            pMaster->ppPlcVarValue[i] = nullptr;
        }
        pMaster->ulNumOfAllVars = ulOldCount;
        pMaster->ulNumOfVars = ulOldMasterVars;
        return lResult;
    };
    if (ulNumOfSymbols > kInvalid32 - 1 - ulOldCount || !Grow(pMaster, ulOldCount + ulNumOfSymbols)) {
        return fail(PLCCOM_NO_MEMORY);
    }
    pMaster->ulNumOfAllVars = ulOldCount + ulNumOfSymbols;

    COM3VARLIST* pList = pMaster;
    RTS_UI32 ulAnswered = 0;
    BTAG_PROGRESS progress;
    p->m_pBTag->pfBTagProgressInit(&progress, 0, ulNumOfSymbols);
    bool bFirst = true;
    while (ulAnswered < ulNumOfSymbols) {
        // Each further request (same list or a new slave list) must start with
        // a variable the last one did not get answered.
        if (!bFirst && p->m_pBTag->pfBTagProgressNext(&progress, ulAnswered) != ERR_OK) {
            return fail(PLCCOM_FAILED);
        }
        if (!bFirst && (pList->ulFlags & KL_VARLIST_EXTENDABLE) == 0) {
            auto* pSlave = new (std::nothrow) COM3VARLIST();
            if (pSlave == nullptr) {
                return fail(PLCCOM_NO_MEMORY);
            }
            pSlave->ulStartIndex = ulOldCount + ulAnswered;
            pSlave->pMasterList = pMaster;
            pSlave->ulFlags = pMaster->ulFlags;
            pList->pNextSlaveList = pSlave;
            pList = pSlave;
        }
        bFirst = false;
        RTS_UI32 ulBefore = ulAnswered;
        RTS_I32 lResult =
            DefineRequest(p, pMaster, pList, bAdding, ulOldCount, ppszSymbols, ulNumOfSymbols, &ulAnswered);
        pList->ulNumOfVars += ulAnswered - ulBefore;
        if (lResult != PLCCOM_OK) {
            return fail(lResult);
        }
    }
    if (bAdding) {
        // The new variables have no values yet.
        pMaster->bCompleteUpdateRequired = 1;
    }
    *phVarList = pMaster;
    if (pppValues != nullptr) {
        *pppValues = pMaster->ppPlcVarValue;
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase3::VarServices::DefineRequest(CPLCComBase3* p, COM3VARLIST* pMaster, COM3VARLIST* pList,
                                                 bool bAdding, RTS_UI32 ulBase,
                                                 const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                                 RTS_UI32* pulAnswered) {
    const KlBTagApi* pApi = p->m_pBTag;
    BINTAGWRITER w;
    if (p->BeginService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_DEFINE) != ERR_OK) {
        return PLCCOM_FAILED;
    }
    bool bNewList = pList->hVarList == kInvalid32;
    RTS_RESULT wr = ERR_OK;
    if ((pList->ulFlags & KL_VARLIST_EXTENDABLE) == 0 || bNewList) {
        wr = PutU32(p, &w, TAG_IECVARACC_FLAGS, pList->ulFlags);
        if (wr == ERR_OK) {
            wr = PutU32(p, &w, TAG_CONFIG_TIMESTAMP, p->m_ulConfigChangedTimestamp);
        }
    } else {
        wr = PutU32(p, &w, TAG_VARLIST_HANDLE, pList->hVarList);
    }
    RTS_UI8* pNumDefined = wr == ERR_OK ? ReserveU32(p, &w, TAG_NUM_DEFINED) : nullptr;
    if (pNumDefined == nullptr) {
        return PLCCOM_FAILED;
    }
    RTS_UI32 ulFirst = *pulAnswered;
    RTS_UI32 ulIncluded = ulFirst;
    for (; ulIncluded < ulNumOfSymbols; ++ulIncluded) {
        const char* pszName = ppszSymbols[ulIncluded];
        RTS_SIZE ulLen = strlen(pszName);
        if (ulLen + 1 > 0xFFFF || pApi->pfBTagWriterGetAvailableBuffer(&w) < ulLen + 1 + kDefineVarOverhead) {
            break;
        }
        BINTAGSAVEPOINT sp;
        pApi->pfBTagWriterCreateSavepoint(&w, &sp);
        RTS_UI16 usLen = p->Swap(static_cast<RTS_UI16>(ulLen + 1));
        if (pApi->pfBTagWriterStartTag(&w, TAG_VAR_NAME_DEFINE, kAlign42, 0) != ERR_OK ||
            pApi->pfBTagWriterAppendBlob(&w, &usLen, sizeof(usLen)) != ERR_OK ||
            pApi->pfBTagWriterAppendBlob(&w, pszName, static_cast<RTS_UI32>(ulLen + 1)) != ERR_OK ||
            pApi->pfBTagWriterAppendFillBytes(&w, 0, kAlign40) != ERR_OK ||
            pApi->pfBTagWriterEndTag(&w, TAG_VAR_NAME_DEFINE) != ERR_OK) {
            pApi->pfBTagWriterRestoreSavepoint(&w, &sp);
            break;
        }
    }
    if (ulIncluded == ulFirst) {
        // This name can never fit, so no further request could take it either.
        pApi->pfBTagWriterFinish(&w, nullptr, nullptr);
        return PLCCOM_FAILED;
    }
    FillU32(p, pNumDefined, ulIncluded);

    BINTAGREADER r;
    bool bAnswered = false;
    RTS_I32 lResult = p->ExchangeService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_DEFINE, &r, &bAnswered);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    if (!bAnswered) {
        return PLCCOM_FAILED;
    }
    RTS_I32 lDefine = PLCCOM_OK;
    auto handler = [&](BINTAGREADER* pR, RTS_UI32 ulTag) -> RTS_RESULT {
        switch (ulTag) {
            case TAG_VARLIST_HANDLE: {
                RTS_UI32 h = 0;
                if (!ReadU32(p, pR, &h)) {
                    lDefine = PLCCOM_FAILED;
                } else if (bNewList) {
                    pList->hVarList = h;
                }
                break;
            }
            case TAG_IECVARACC_FLAGS: {
                RTS_UI32 ulOnline = 0;
                if (!ReadU32(p, pR, &ulOnline)) {
                    lDefine = PLCCOM_FAILED;
                    break;
                }
                if (bAdding && pList == pMaster) {
                    if ((ulOnline & KL_VARLIST_EXTENDABLE) != (pMaster->ulFlags & KL_VARLIST_EXTENDABLE)) {
                        p->AddLogEntry(
                            LOG_ERROR, PLCCOM_NOT_SUPPORTED,
                            "CPLCComBase3: DefineVarListBase: AddVarsToVarList called, but this is "
                            "not supported by the PLC");
                        lDefine = PLCCOM_NOT_SUPPORTED;
                        break;
                    }
                } else if (bNewList && pList == pMaster) {
                    pMaster->ulFlags =
                        (pMaster->ulFlags & ~KL_VARLIST_EXTENDABLE) | (ulOnline & KL_VARLIST_EXTENDABLE);
                    if ((pMaster->ulFlags &
                         (KL_VARLIST_CONSISTENT | KL_VARLIST_SYNC_CONSISTENT | KL_VARLIST_FLAG8)) != 0) {
                        RTS_UI32 ulNeeded = KL_VARLIST_CONSISTENT_CONFIRMED | KL_VARLIST_EXTENDABLE;
                        if ((ulOnline & ulNeeded) != ulNeeded) {
                            p->AddLogEntry(
                                LOG_ERROR, PLCCOM_FAILED,
                                "CPLCComBase3: DefineVarListBase: Consistent access is not supported "
                                "by PLC");
                            lDefine = PLCCOM_FAILED;
                            break;
                        }
                        pMaster->ulFlags |= KL_VARLIST_CONSISTENT_CONFIRMED;
                    }
                }
                if (ulOnline != pList->ulFlags && ulOnline != pMaster->ulFlags) {
                    p->AddLogEntry(LOG_WARNING, 0,
                                   "CPLCComBase3: DefineVarListBase[TAG_IECVARACC_FLAGS] flags mismatch: "
                                   "OnlineFlags=%ld, Flags=%ld",
                                   static_cast<long>(ulOnline), static_cast<long>(pMaster->ulFlags));
                }
                if (pList != pMaster) {
                    pList->ulFlags = pMaster->ulFlags;
                }
                break;
            }
            case TAG_IECVARACC_RESULT: {
                RTS_UI16 us = 0;
                if (!ReadU16(p, pR, &us) || (us != DEV_OK && us != DEV_MORE)) {
                    lDefine = PLCCOM_FAILED;
                }
                break;
            }
            case TAG_VAR_ACCEPTED: {
                if (*pulAnswered >= ulIncluded) {
                    lDefine = PLCCOM_FAILED;  // an answer for a variable not asked for
                    break;
                }
                BTAG_CONTENT_CURSOR c;
                RTS_UI32 ulType = 0, ulSize = 0, hVar = 0;
                if (!Cursor(p, pR, &c) || pApi->pfBTagCursorReadUI32(&c, &ulType) != ERR_OK ||
                    pApi->pfBTagCursorReadUI32(&c, &ulSize) != ERR_OK ||
                    pApi->pfBTagCursorReadUI32(&c, &hVar) != ERR_OK) {
                    lDefine = PLCCOM_FAILED;
                    break;
                }
                RTS_UI32 ulIndex = ulBase + (*pulAnswered)++;
                if (ulSize > kMaxVarSize || hVar == kInvalid32) {
                    p->AddLogEntry(LOG_WARNING, DEV_SIZE_MISMATCH,
                                   "CPLCComBase3: DefineVarListBase: sizeof(Variable) > ChannelBufferSize, "
                                   "Result=%d",
                                   static_cast<int>(DEV_SIZE_MISMATCH));
                    Reject(pMaster, ulIndex);
                } else {
                    pMaster->pVars[ulIndex] = COM3VAR{ulType, ulSize, hVar};
                    pMaster->ppPlcVarValue[ulIndex] = NewRecord(ulSize + kRecordExtra);
                }
                if (pMaster->ppPlcVarValue[ulIndex] == nullptr) {
                    lDefine = PLCCOM_NO_MEMORY;
                }
                break;
            }
            case TAG_IECVARACC_VAR_ERROR: {
                if (*pulAnswered >= ulIncluded) {
                    lDefine = PLCCOM_FAILED;
                    break;
                }
                RTS_UI16 usCode = 0;
                if (!ReadU16(p, pR, &usCode)) {
                    lDefine = PLCCOM_FAILED;
                    break;
                }
                RTS_UI32 ulIndex = ulBase + (*pulAnswered)++;
                Reject(pMaster, ulIndex);
                if (pMaster->ppPlcVarValue[ulIndex] == nullptr) {
                    lDefine = PLCCOM_NO_MEMORY;
                } else if (usCode == DEV_SIZE_MISMATCH) {
                    p->AddLogEntry(LOG_WARNING, usCode,
                                   "CPLCComBase3: DefineVarListBase: sizeof(Variable) > ChannelBufferSize, "
                                   "Result=%d",
                                   static_cast<int>(usCode));
                } else {
                    // The controller answered: it refuses this name (unknown,
                    // or not accessible). The request fails, the connection
                    // is sound.
                    p->AddLogEntry(
                        LOG_WARNING, usCode,
                        "CPLCComBase3: DefineVarListBase: variable %lu refused by the PLC, Result=%d",
                        static_cast<unsigned long>(ulIndex), static_cast<int>(usCode));
                    lDefine = PLCCOM_UNKNOWN_SYMBOL;
                }
                break;
            }
            case TAG_ERROR: {
                RTS_UI16 us = 0;
                if (!ReadU16(p, pR, &us) || us != DEV_OK) {
                    lDefine = PLCCOM_FAILED;
                }
                break;
            }
            default:
                break;
        }
        return lDefine == PLCCOM_OK ? ERR_OK : ERR_FAILED;
    };
    RTS_RESULT walk = WalkReply(pApi, &r, handler);
    if (lDefine != PLCCOM_OK) {
        return lDefine;
    }
    if (walk != ERR_OK || (bNewList && pList->hVarList == kInvalid32)) {
        return PLCCOM_FAILED;
    }
    return PLCCOM_OK;
}

// ---- Reading ---------------------------------------------------------------------------------

struct CPLCComBase3::VarServices::ReadState {
    bool bChanged = false;      // changed values only
    bool bMarkedPass = false;   // only the variables marked in pulVarFlags
    bool bFirstRequest = true;  // of the list being read
    RTS_UI32* pulVarFlags = nullptr;
    OptionalSem* pSem = nullptr;
    bool bSemPerReply = false;
    // Master indexes to read in order, and the position of the next one.
    std::vector<RTS_UI32> order;
    RTS_UI32 ulPos = 0;
    RTS_UI32 ulPieceOffset = 0;  // of the value at ulPos, read in pieces
    std::vector<bool> recorded;  // changed indexes already recorded
    std::vector<bool> marked;    // marked pass: changed variables whose flag gets 0x2
    RTS_UI32 ulDelivered = 0;
};

RTS_I32 CPLCComBase3::SendVarList(HVARLIST hVarList, RTS_HANDLE, RTS_HANDLE hSem, RTS_I32* pbSync,
                                  RTS_I32 bGetChangedValues, RTS_UI32* pulVarFlags) {
    COM3VARLIST* pMaster = VarServices::Find(this, hVarList);
    if (pMaster == nullptr) {
        AddLogEntry(LOG_ERROR, PLCCOM_FAILED,
                    "CPLCComBase3: <-SendVarList() failed: pMasterList = NULL, Result=%ld",
                    static_cast<long>(PLCCOM_FAILED));
        return PLCCOM_FAILED;
    }
    if (pbSync != nullptr) {
        *pbSync = 1;
    }
    if (!VarServices::Ready(this)) {
        return PLCCOM_FAILED;
    }
    bool bChanged = bGetChangedValues != 0 && (pMaster->ulFlags & KL_VARLIST_DATACHANGE) != 0 &&
                    !pMaster->bCompleteUpdateRequired;
    if (bChanged) {
        if (pMaster->pulChangedVarIndexList == nullptr) {
            AddLogEntry(LOG_ERROR, PLCCOM_NO_MEMORY,
                        "CPLCComBase3: <-SendVarList failed: (No memory for ChangedVarIndexList) Result=%ld",
                        static_cast<long>(PLCCOM_NO_MEMORY));
            return PLCCOM_NO_MEMORY;
        }
        pMaster->ulNumOfChangedVars = 0;
    }
    OptionalSem sem(hSem);
    bool bConsistent = (pMaster->ulFlags & (KL_VARLIST_SYNC_CONSISTENT | KL_VARLIST_CONSISTENT)) != 0;
    if (bConsistent) {
        sem.Enter();
    }
    VarServices::ReadState state;
    RTS_I32 lResult = PLCCOM_OK;
    try {
        state.bChanged = bChanged;
        state.pulVarFlags = pulVarFlags;
        state.pSem = &sem;
        state.bSemPerReply = !bConsistent;
        state.recorded.assign(pMaster->ulNumOfAllVars, false);
        state.marked.assign(pMaster->ulNumOfAllVars, false);
        for (int iPass = (bChanged && pulVarFlags != nullptr) ? 0 : 1; iPass < 2 && lResult == PLCCOM_OK;
             ++iPass) {
            state.bMarkedPass = iPass == 0;
            for (COM3VARLIST* pList = pMaster; pList != nullptr && lResult == PLCCOM_OK;
                 pList = pList->pNextSlaveList) {
                state.order.clear();
                for (RTS_UI32 i = 0; i < pList->ulNumOfVars; ++i) {
                    RTS_UI32 ulIndex = pList->ulStartIndex + i;
                    bool bTake = !state.bMarkedPass || ((pulVarFlags[ulIndex] & 0x3u) == 0x1u &&
                                                        !VarServices::IsRejected(pMaster->pVars[ulIndex]));
                    if (bTake) {
                        state.order.push_back(ulIndex);
                    }
                }
                if (state.order.empty() && state.bMarkedPass) {
                    continue;
                }
                state.ulPos = 0;
                state.ulPieceOffset = 0;
                state.bFirstRequest = true;
                lResult = VarServices::ReadList(this, pMaster, pList, &state);
            }
        }
    } catch (const std::bad_alloc&) {
        lResult = PLCCOM_NO_MEMORY;
    }
    if (lResult == PLCCOM_CONSISTENCY_TIMEOUT) {
        sem.Enter();
        for (RTS_UI32 i = 0; i < pMaster->ulNumOfAllVars; ++i) {
            pMaster->ppPlcVarValue[i]->bQuality = 0;
        }
        pMaster->bCompleteUpdateRequired = 1;
    }
    if (lResult == PLCCOM_OK && !bChanged) {
        pMaster->ulNumOfChangedVars = kInvalid32;
        if (state.ulDelivered < pMaster->ulNumOfAllVars) {
            AddLogEntry(LOG_ERROR, PLCCOM_FAILED,
                        "CPLCComBase3: <-SendVarList failed, only %d of %d symbols read: Result=%ld",
                        static_cast<int>(state.ulDelivered), static_cast<int>(pMaster->ulNumOfAllVars),
                        static_cast<long>(PLCCOM_FAILED));
            lResult = PLCCOM_FAILED;
        } else {
            pMaster->bCompleteUpdateRequired = 0;
        }
    }
    return lResult;
}

RTS_I32 CPLCComBase3::VarServices::ReadList(CPLCComBase3* p, COM3VARLIST* pMaster, COM3VARLIST* pList,
                                            ReadState* pState) {
    const KlBTagApi* pApi = p->m_pBTag;
    BTAG_PROGRESS progress;
    pApi->pfBTagProgressInit(&progress, 0, kInvalid32);
    for (;;) {
        // Rejected variables have nothing to read: quality 0, and counted as done.
        while (!pState->bMarkedPass && pState->ulPos < pState->order.size() &&
               IsRejected(pMaster->pVars[pState->order[pState->ulPos]])) {
            pMaster->ppPlcVarValue[pState->order[pState->ulPos]]->bQuality = 0;
            ++pState->ulDelivered;
            ++pState->ulPos;
        }
        if (pState->ulPos >= pState->order.size()) {
            return PLCCOM_OK;
        }
        if (!pState->bFirstRequest) {
            RTS_UI64 ullMark = (static_cast<RTS_UI64>(pState->ulPos) << 32) | pState->ulPieceOffset;
            if (pApi->pfBTagProgressNext(&progress, ullMark) != ERR_OK) {
                p->AddLogEntry(LOG_ERROR, PLCCOM_FAILED,
                               "CPLCComBase3: <-SendVarList failed, only %d of %d symbols read: Result=%ld",
                               static_cast<int>(pState->ulDelivered),
                               static_cast<int>(pMaster->ulNumOfAllVars), static_cast<long>(PLCCOM_FAILED));
                return PLCCOM_FAILED;
            }
        }
        BINTAGWRITER w;
        if (p->BeginService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_READ) != ERR_OK) {
            return PLCCOM_FAILED;
        }
        RTS_UI32 ulSend = pList->ulFlags;
        if (pState->bFirstRequest && (pList->ulFlags & KL_VARLIST_SYNC_CONSISTENT) != 0) {
            ulSend |= KL_VARLIST_FIRST_SYNC_READ;
        }
        if (pState->bMarkedPass) {
            ulSend = (ulSend | KL_VARLIST_MARKED_ONLY) & ~KL_VARLIST_DATACHANGE;
        }
        if (!pState->bChanged) {
            ulSend &= ~KL_VARLIST_DATACHANGE;
        }
        RTS_RESULT wr = ERR_OK;
        if (ulSend != pList->ulFlags) {
            wr = PutU32(p, &w, TAG_IECVARACC_FLAGS, ulSend);
        }
        bool bContinuing = pState->ulPos > 0 || pState->ulPieceOffset > 0;
        if (pState->bMarkedPass) {
            if (wr == ERR_OK) {
                wr = PutU32(p, &w, TAG_VARLIST_HANDLE, pList->hVarList);
            }
            RTS_UI32 ulIncluded = 0;
            for (RTS_UI32 k = pState->ulPos; wr == ERR_OK && k < pState->order.size(); ++k) {
                BINTAGSAVEPOINT sp;
                pApi->pfBTagWriterCreateSavepoint(&w, &sp);
                if (PutU32(p, &w, TAG_VAR_HANDLE, pMaster->pVars[pState->order[k]].hVar) != ERR_OK) {
                    pApi->pfBTagWriterRestoreSavepoint(&w, &sp);
                    break;
                }
                ++ulIncluded;
            }
            if (wr == ERR_OK && pState->ulPieceOffset > 0) {
                wr = PutU32(p, &w, TAG_PIECE_OFFSET, pState->ulPieceOffset);
            }
            if (ulIncluded == 0) {
                wr = ERR_FAILED;
            }
        } else {
            if (wr == ERR_OK && bContinuing) {
                wr = PutU32(p, &w, TAG_READ_CONTINUE, pMaster->pVars[pState->order[pState->ulPos]].hVar);
                if (wr == ERR_OK && pState->ulPieceOffset > 0) {
                    wr = PutU32(p, &w, TAG_PIECE_OFFSET, pState->ulPieceOffset);
                }
            }
            if (wr == ERR_OK) {
                wr = PutU32(p, &w, TAG_VARLIST_HANDLE, pList->hVarList);
            }
        }
        if (wr != ERR_OK) {
            pApi->pfBTagWriterFinish(&w, nullptr, nullptr);
            return PLCCOM_FAILED;
        }
        pState->bFirstRequest = false;
        BINTAGREADER r;
        bool bAnswered = false;
        RTS_I32 lResult = p->ExchangeService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_READ, &r, &bAnswered);
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
        if (!bAnswered) {
            return PLCCOM_FAILED;
        }
        RTS_UI16 usResult = DEV_OK;
        if (pState->bSemPerReply) {
            pState->pSem->Enter();
        }
        lResult = ReadReply(p, pMaster, pList, &r, pState, &usResult);
        if (pState->bSemPerReply) {
            pState->pSem->Leave();
        }
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
        switch (usResult) {
            case DEV_OK:
                // The controller sent what it had; a marked pass continues with
                // the variables that did not fit into this request.
                if (!pState->bMarkedPass || pState->ulPos >= pState->order.size()) {
                    return PLCCOM_OK;
                }
                break;
            case DEV_MORE:
                break;
            case DEV_LIST_UNKNOWN:
            case DEV_LIST_INVALID:
                return PLCCOM_VARLIST_INVALID;
            case DEV_CONSISTENCY_TIMEOUT:
                p->AddLogEntry(LOG_WARNING, PLCCOM_CONSISTENCY_TIMEOUT, "consistency timeout expired");
                return PLCCOM_CONSISTENCY_TIMEOUT;
            case DEV_SYNC_NOT_ALLOWED:
                p->AddLogEntry(LOG_WARNING, PLCCOM_SYNC_NOT_ALLOWED,
                               "sync consistency not allowed by all applications");
                return PLCCOM_SYNC_NOT_ALLOWED;
            default:
                return PLCCOM_FAILED;
        }
    }
}

RTS_I32 CPLCComBase3::VarServices::ReadReply(CPLCComBase3* p, COM3VARLIST* pMaster, COM3VARLIST* pList,
                                             BINTAGREADER* pR, ReadState* pState, RTS_UI16* pusResult) {
    const KlBTagApi* pApi = p->m_pBTag;
    RTS_I32 lRead = PLCCOM_OK;
    RTS_UI32 ulTimeStamp = SysTimeGetMs();
    bool bPiece = false;
    RTS_UI32 ulPieceSize = 0;
    bool bSkipValue = false;  // the value after an unknown handle belongs to nobody
    auto handleIndex = [&](RTS_UI32 hVar) -> RTS_UI32 {
        for (RTS_UI32 k = 0; k < pState->order.size(); ++k) {
            if (pMaster->pVars[pState->order[k]].hVar == hVar) {
                return k;
            }
        }
        return kInvalid32;
    };
    auto handler = [&](BINTAGREADER* pRd, RTS_UI32 ulTag) -> RTS_RESULT {
        switch (ulTag) {
            case TAG_READ_FLAGS: {
                BTAG_CONTENT_CURSOR c;
                RTS_UI32 ulReplyFlags = 0;
                if (!Cursor(p, pRd, &c) || pApi->pfBTagCursorReadUI32(&c, &ulReplyFlags) != ERR_OK) {
                    lRead = PLCCOM_FAILED;
                } else if ((ulReplyFlags & READ_FLAG_TIMESTAMP) != 0 &&
                           pApi->pfBTagCursorReadUI32(&c, &ulTimeStamp) != ERR_OK) {
                    lRead = PLCCOM_FAILED;
                }
                break;
            }
            case TAG_PIECE_SIZE:
                if (!ReadU32(p, pRd, &ulPieceSize)) {
                    lRead = PLCCOM_FAILED;
                }
                bPiece = true;
                break;
            case TAG_VAR_HANDLE: {
                RTS_UI32 hVar = 0;
                if (!ReadU32(p, pRd, &hVar)) {
                    lRead = PLCCOM_FAILED;
                    break;
                }
                RTS_UI32 k = handleIndex(hVar);
                if (k == kInvalid32 || IsRejected(pMaster->pVars[pState->order[k]])) {
                    bSkipValue = !pState->bMarkedPass;
                    break;
                }
                bSkipValue = false;
                RTS_UI32 ulIndex = pState->order[k];
                if (pState->bMarkedPass) {
                    pState->marked[ulIndex] = true;
                    break;
                }
                if (k != pState->ulPos) {
                    pState->ulPos = k;
                    pState->ulPieceOffset = 0;
                }
                if (pState->bChanged && !pState->recorded[ulIndex]) {
                    pState->recorded[ulIndex] = true;
                    pMaster->pulChangedVarIndexList[pMaster->ulNumOfChangedVars++] = ulIndex;
                }
                break;
            }
            case TAG_IECVARACC_VAR_READ: {
                bool bWasPiece = bPiece;
                bPiece = false;
                if (bSkipValue) {
                    bSkipValue = false;
                    break;
                }
                while (!pState->bMarkedPass && pState->ulPos < pState->order.size() &&
                       IsRejected(pMaster->pVars[pState->order[pState->ulPos]])) {
                    pMaster->ppPlcVarValue[pState->order[pState->ulPos]]->bQuality = 0;
                    ++pState->ulDelivered;
                    ++pState->ulPos;
                }
                if (pState->ulPos >= pState->order.size()) {
                    break;  // more values than variables: not ours
                }
                RTS_UI32 ulIndex = pState->order[pState->ulPos];
                const COM3VAR& var = pMaster->pVars[ulIndex];
                PlcVarValue* pValue = pMaster->ppPlcVarValue[ulIndex];
                BTAG_CONTENT_CURSOR c;
                RTS_UI32 ulQuality = 0;
                if (!Cursor(p, pRd, &c) || pApi->pfBTagCursorReadUI32(&c, &ulQuality) != ERR_OK ||
                    ulQuality != 0) {
                    pValue->bQuality = 0;
                    lRead = PLCCOM_FAILED;
                    break;
                }
                const RTS_UI8* pData = nullptr;
                if (bWasPiece) {
                    RTS_UI32 ulRest = var.ulSize - pState->ulPieceOffset;
                    if (ulPieceSize == 0 || ulPieceSize > ulRest) {
                        p->AddLogEntry(LOG_ERROR, PLCCOM_FAILED,
                                       "CPLCComBase3: SendVarList split read failed: Symbol size=%ld, Piece "
                                       "size=%ld, Piece offset=%ld",
                                       static_cast<long>(var.ulSize), static_cast<long>(ulPieceSize),
                                       static_cast<long>(pState->ulPieceOffset));
                        pValue->bQuality = 0;
                        lRead = PLCCOM_FAILED;
                        break;
                    }
                    if (pApi->pfBTagCursorReadBytes(&c, ulPieceSize, &pData) != ERR_OK) {
                        pValue->bQuality = 0;
                        lRead = PLCCOM_FAILED;
                        break;
                    }
                    std::memcpy(PlcVarValueData(pValue) + pState->ulPieceOffset, pData, ulPieceSize);
                    pState->ulPieceOffset += ulPieceSize;
                    if (pState->ulPieceOffset < var.ulSize) {
                        break;  // the next piece comes with a further request
                    }
                } else {
                    if (pState->ulPieceOffset != 0 ||
                        pApi->pfBTagCursorReadBytes(&c, var.ulSize, &pData) != ERR_OK) {
                        pValue->bQuality = 0;
                        lRead = PLCCOM_FAILED;
                        break;
                    }
                    if (var.ulSize > 0) {
                        std::memcpy(PlcVarValueData(pValue), pData, var.ulSize);
                    }
                }
                pValue->bQuality = 1;
                pValue->ulTimeStamp = ulTimeStamp;
                if (pState->bMarkedPass && pState->marked[ulIndex] && pState->pulVarFlags != nullptr) {
                    pState->pulVarFlags[ulIndex] |= 0x2u;
                }
                pState->ulPieceOffset = 0;
                ++pState->ulDelivered;
                ++pState->ulPos;
                break;
            }
            case TAG_IECVARACC_VAR_RESULT: {
                RTS_UI16 us = 0;
                if (!ReadU16(p, pRd, &us)) {
                    lRead = PLCCOM_FAILED;
                    break;
                }
                if (us != DEV_OK && pState->ulPos < pState->order.size()) {
                    pMaster->ppPlcVarValue[pState->order[pState->ulPos]]->bQuality = 0;
                    pState->ulPieceOffset = 0;
                    ++pState->ulDelivered;
                    ++pState->ulPos;
                }
                if (us == DEV_LIST_UNKNOWN || us == DEV_FAILED) {
                    lRead = PLCCOM_FAILED;
                }
                break;
            }
            case TAG_IECVARACC_RESULT:
            case TAG_IECVARACC_VAR_ERROR:
            case TAG_ERROR: {
                RTS_UI16 us = 0;
                if (!ReadU16(p, pRd, &us)) {
                    lRead = PLCCOM_FAILED;
                } else if (*pusResult == DEV_OK) {
                    *pusResult = us;
                }
                break;
            }
            default:
                break;
        }
        return lRead == PLCCOM_OK ? ERR_OK : ERR_FAILED;
    };
    (void)pList;
    RTS_RESULT walk = WalkReply(pApi, pR, handler);
    if (lRead == PLCCOM_OK && walk != ERR_OK) {
        lRead = PLCCOM_FAILED;
    }
    return lRead;
}

RTS_I32 CPLCComBase3::GetVarList(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) {
    RTS_I32 lResult = SendVarList(hVarList, RTS_INVALID_HANDLE, RTS_INVALID_HANDLE, nullptr, 0, nullptr);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    return GetValues(hVarList, pppValues, pulNumOfValues);
}

RTS_I32 CPLCComBase3::GetValues(HVARLIST hVarList, PlcVarValue*** pppValues, RTS_UI32* pulNumOfValues) {
    COM3VARLIST* pMaster = VarServices::Find(this, hVarList);
    if (pMaster == nullptr) {
        return PLCCOM_FAILED;
    }
    if (pppValues != nullptr) {
        *pppValues = pMaster->ppPlcVarValue;
    }
    if (pulNumOfValues != nullptr) {
        *pulNumOfValues = pMaster->ulNumOfAllVars;
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase3::GetChangedValues(HVARLIST hVarList, RTS_UI32* pulVarFlags, PlcVarValue*** pppValues,
                                       RTS_UI32* pulNumOfValues, RTS_UI32** ppulChangedValuesIndexList,
                                       RTS_UI32* pulNumOfChangedValues) {
    COM3VARLIST* pMaster = VarServices::Find(this, hVarList);
    if (pMaster == nullptr || (pMaster->ulFlags & KL_VARLIST_DATACHANGE) == 0 ||
        pMaster->pulChangedVarIndexList == nullptr) {
        return PLCCOM_FAILED;
    }
    RTS_UI32* pulChanged = pMaster->pulChangedVarIndexList;
    if (pMaster->ulNumOfChangedVars == kInvalid32 || pMaster->ulNumOfChangedVars > pMaster->ulNumOfAllVars) {
        for (RTS_UI32 i = 0; i < pMaster->ulNumOfAllVars; ++i) {
            pulChanged[i] = i;
        }
        pMaster->ulNumOfChangedVars = pMaster->ulNumOfAllVars;
    } else if (pulVarFlags != nullptr) {
        for (RTS_UI32 i = 0; i < pMaster->ulNumOfAllVars; ++i) {
            if ((pulVarFlags[i] & 0x2u) == 0) {
                continue;
            }
            pulVarFlags[i] &= ~0x3u;
            bool bListed = std::find(pulChanged, pulChanged + pMaster->ulNumOfChangedVars, i) !=
                           pulChanged + pMaster->ulNumOfChangedVars;
            if (!bListed) {
                pulChanged[pMaster->ulNumOfChangedVars++] = i;
            }
        }
    }
    if (pppValues != nullptr) {
        *pppValues = pMaster->ppPlcVarValue;
    }
    if (pulNumOfValues != nullptr) {
        *pulNumOfValues = pMaster->ulNumOfAllVars;
    }
    if (ppulChangedValuesIndexList != nullptr) {
        *ppulChangedValuesIndexList = pulChanged;
    }
    if (pulNumOfChangedValues != nullptr) {
        *pulNumOfChangedValues = pMaster->ulNumOfChangedVars;
    }
    return PLCCOM_OK;
}

RTS_I32 CPLCComBase3::GetValueLengths(HVARLIST hVarList, RTS_UI32* pValueLength, RTS_UI32 ulNumOfValues,
                                      RTS_UI32 ulStartIndex) {
    COM3VARLIST* pMaster = VarServices::Find(this, hVarList);
    if (pMaster == nullptr) {
        return PLCCOM_FAILED;
    }
    if (pValueLength == nullptr || ulStartIndex > pMaster->ulNumOfAllVars ||
        ulNumOfValues > pMaster->ulNumOfAllVars - ulStartIndex) {
        return PLCCOM_INVALID_PARAMETER;
    }
    for (RTS_UI32 i = 0; i < ulNumOfValues; ++i) {
        const COM3VAR& var = pMaster->pVars[ulStartIndex + i];
        pValueLength[i] = VarServices::IsRejected(var) ? 0 : var.ulSize;
    }
    return PLCCOM_OK;
}

// ---- Deleting and shrinking ------------------------------------------------------------------

RTS_I32 CPLCComBase3::DeleteVarList(HVARLIST hVarList, RTS_I32 bDeleteLocalListOnly) {
    COM3VARLIST* pMaster = VarServices::Find(this, hVarList);
    if (pMaster == nullptr) {
        return PLCCOM_FAILED;
    }
    if (!VarServices::Ready(this)) {
        bDeleteLocalListOnly = 1;
    }
    return VarServices::DeleteChain(this, pMaster, bDeleteLocalListOnly);
}

RTS_I32 CPLCComBase3::RemoveVarsFromVarList(HVARLIST hVarList, const RTS_UI32* pulIndexList,
                                            RTS_UI32 ulNumOfIndexes, PlcVarValue*** pppValues) {
    COM3VARLIST* pMaster = VarServices::Find(this, hVarList);
    if (pMaster == nullptr || pulIndexList == nullptr || ulNumOfIndexes == 0 || !VarServices::Ready(this)) {
        return PLCCOM_FAILED;
    }
    if ((pMaster->ulFlags & KL_VARLIST_EXTENDABLE) == 0 || pMaster->pNextSlaveList != nullptr) {
        AddLogEntry(LOG_ERROR, PLCCOM_NOT_SUPPORTED,
                    "CPLCComBase3: <-RemoveVarsFromVarList(): RemoveVarsFromVarList called, but this is not "
                    "supported by the PLC");
        return PLCCOM_NOT_SUPPORTED;
    }
    std::vector<bool> remove;
    std::vector<RTS_UI32> handles;
    try {
        remove.assign(pMaster->ulNumOfAllVars, false);
        for (RTS_UI32 i = 0; i < ulNumOfIndexes; ++i) {
            RTS_UI32 ulIndex = pulIndexList[i];
            // An index outside the list or named twice refuses the whole call.
            if (ulIndex >= pMaster->ulNumOfAllVars || remove[ulIndex]) {
                return PLCCOM_INVALID_PARAMETER;
            }
            remove[ulIndex] = true;
            if (!VarServices::IsRejected(pMaster->pVars[ulIndex])) {
                handles.push_back(pMaster->pVars[ulIndex].hVar);
            }
        }
    } catch (const std::bad_alloc&) {
        return PLCCOM_NO_MEMORY;
    }
    const KlBTagApi* pApi = m_pBTag;
    RTS_UI32 ulSent = 0;
    while (ulSent < handles.size()) {
        BINTAGWRITER w;
        if (BeginService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_REMOVE) != ERR_OK ||
            VarServices::PutU32(this, &w, TAG_VARLIST_HANDLE, pMaster->hVarList) != ERR_OK) {
            return PLCCOM_FAILED;
        }
        RTS_UI8* pCount = VarServices::ReserveU32(this, &w, TAG_NUM_DEFINED);
        RTS_UI32 ulIncluded = 0;
        for (RTS_UI32 k = ulSent; pCount != nullptr && k < handles.size(); ++k) {
            BINTAGSAVEPOINT sp;
            pApi->pfBTagWriterCreateSavepoint(&w, &sp);
            if (VarServices::PutU32(this, &w, TAG_VAR_HANDLE, handles[k]) != ERR_OK) {
                pApi->pfBTagWriterRestoreSavepoint(&w, &sp);
                break;
            }
            ++ulIncluded;
        }
        if (ulIncluded == 0) {
            pApi->pfBTagWriterFinish(&w, nullptr, nullptr);
            return PLCCOM_FAILED;
        }
        VarServices::FillU32(this, pCount, ulIncluded);
        BINTAGREADER r;
        bool bAnswered = false;
        RTS_I32 lResult = ExchangeService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_REMOVE, &r, &bAnswered);
        if (lResult != PLCCOM_OK) {
            return lResult;
        }
        RTS_UI16 usResult = bAnswered ? DEV_OK : DEV_FAILED;
        auto handler = [&](BINTAGREADER* pR, RTS_UI32 ulTag) -> RTS_RESULT {
            if ((ulTag == TAG_IECVARACC_RESULT || ulTag == TAG_ERROR) && usResult == DEV_OK &&
                !VarServices::ReadU16(this, pR, &usResult)) {
                usResult = DEV_FAILED;
            }
            return ERR_OK;
        };
        if (WalkReply(pApi, &r, handler) != ERR_OK) {
            return PLCCOM_FAILED;
        }
        if (usResult == KL_DEVICE_SERVICE_UNKNOWN) {
            return PLCCOM_NOT_SUPPORTED;
        }
        if (usResult != DEV_OK) {
            return PLCCOM_FAILED;
        }
        ulSent += ulIncluded;
    }
    RTS_UI32 ulKept = 0;
    for (RTS_UI32 i = 0; i < pMaster->ulNumOfAllVars; ++i) {
        if (remove[i]) {
            std::free(pMaster->ppPlcVarValue[i]);
            continue;
        }
        pMaster->pVars[ulKept] = pMaster->pVars[i];
        pMaster->ppPlcVarValue[ulKept] = pMaster->ppPlcVarValue[i];
        ++ulKept;
    }
    pMaster->ulNumOfAllVars = ulKept;
    pMaster->ulNumOfVars = ulKept;
    // The recorded changed indexes refer to the old positions.
    pMaster->bCompleteUpdateRequired = 1;
    pMaster->ulNumOfChangedVars = kInvalid32;
    if (pppValues != nullptr) {
        *pppValues = pMaster->ppPlcVarValue;
    }
    return PLCCOM_OK;
}

// ---- Writing ---------------------------------------------------------------------------------

// Sends the items in as many requests as needed. With a list, the items are
// consecutive variables of that list, each request naming its first one;
// without, each item goes by name (or by its recalled description).
RTS_I32 CPLCComBase3::VarServices::WriteItems(CPLCComBase3* p, COM3VARLIST* pList,
                                              std::vector<WriteItem>* pItems) {
    const KlBTagApi* pApi = p->m_pBTag;
    std::vector<WriteItem>& items = *pItems;
    RTS_UI32 ulNext = 0;
    RTS_UI32 ulOffset = 0;  // of items[ulNext], sent in pieces
    RTS_I32 lResult = PLCCOM_OK;
    BTAG_PROGRESS progress;
    pApi->pfBTagProgressInit(&progress, 0, kInvalid32);
    bool bFirst = true;
    bool bRecall = pList == nullptr && p->m_bRecallAddressInformation != 0;
    while (ulNext < items.size()) {
        RTS_UI64 ullMark = (static_cast<RTS_UI64>(ulNext) << 32) | ulOffset;
        if (!bFirst && pApi->pfBTagProgressNext(&progress, ullMark) != ERR_OK) {
            return PLCCOM_FAILED;
        }
        bFirst = false;
        BINTAGWRITER w;
        if (p->BeginService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_WRITE) != ERR_OK) {
            return PLCCOM_FAILED;
        }
        RTS_UI8* pFlags = nullptr;
        RTS_RESULT wr = ERR_OK;
        if (pList != nullptr) {
            pFlags = ReserveU32(p, &w, TAG_IECVARACC_FLAGS);
            wr = pFlags == nullptr ? ERR_FAILED : PutU32(p, &w, TAG_VARLIST_HANDLE, pList->hVarList);
            if (wr == ERR_OK) {
                wr = PutU32(p, &w, TAG_VAR_HANDLE, items[ulNext].hVar);
            }
        } else {
            wr = PutU32(p, &w, TAG_IECVARACC_FLAGS,
                        (bRecall ? WRITE_FLAG_RECALL : 0u) | (kHostBigEndian ? KL_VARLIST_BIGENDIAN : 0u));
            if (wr == ERR_OK && bRecall) {
                wr = PutU32(p, &w, TAG_CONFIG_TIMESTAMP, p->m_ulConfigChangedTimestamp);
            }
        }
        if (wr != ERR_OK) {
            pApi->pfBTagWriterFinish(&w, nullptr, nullptr);
            return PLCCOM_FAILED;
        }
        RTS_UI32 ulFirst = ulNext;
        RTS_UI32 ulEnd = ulNext;       // items completely in this request
        RTS_UI32 ulPieceSent = 0;      // bytes of a piece of items[ulEnd]
        std::vector<RTS_UI32> byName;  // items sent by name, in order
        for (RTS_UI32 k = ulNext; k < items.size(); ++k) {
            // A list request carries consecutive variables only.
            if (pList != nullptr && k > ulFirst && items[k].ulIndex != items[k - 1].ulIndex + 1) {
                break;
            }
            BINTAGSAVEPOINT sp;
            pApi->pfBTagWriterCreateSavepoint(&w, &sp);
            const WriteItem& item = items[k];
            RTS_UI32 ulFrom = k == ulNext ? ulOffset : 0;
            bool bOk = true;
            bool bDesc = false;
            if (pList == nullptr) {
                auto it = bRecall ? p->m_recalledVarDescs.find(item.pszName) : p->m_recalledVarDescs.end();
                if (it != p->m_recalledVarDescs.end()) {
                    bDesc = true;
                    bOk = pApi->pfBTagWriteSingleTag(&w, TAG_VAR_DESCRIPTION, kAlign40, 1, it->second.data(),
                                                     static_cast<RTS_UI32>(it->second.size())) == ERR_OK;
                } else {
                    bOk =
                        pApi->pfBTagWriteSingleTag(&w, TAG_VAR_NAME, kAlign40, 1, item.pszName,
                                                   static_cast<RTS_UI32>(strlen(item.pszName) + 1)) == ERR_OK;
                }
            }
            RTS_UI32 ulAvail = bOk ? pApi->pfBTagWriterGetAvailableBuffer(&w) : 0;
            RTS_UI32 ulRest = item.ulSize - ulFrom;
            if (bOk && ulFrom == 0 && ulRest < ulAvail && ulAvail - ulRest > kWholeValueMargin) {
                RTS_UI32 ulLen = p->Swap(ulRest);
                bOk = pApi->pfBTagWriterStartTag(&w, TAG_VAR_WRITE, kAlign40, 0) == ERR_OK &&
                      pApi->pfBTagWriterAppendBlob(&w, &ulLen, 4) == ERR_OK &&
                      (ulRest == 0 || pApi->pfBTagWriterAppendBlob(&w, item.pData, ulRest) == ERR_OK) &&
                      pApi->pfBTagWriterAppendFillBytes(&w, 0, kAlign40) == ERR_OK &&
                      pApi->pfBTagWriterEndTag(&w, TAG_VAR_WRITE) == ERR_OK;
                if (bOk) {
                    if (pList == nullptr && !bDesc) {
                        byName.push_back(k);
                    }
                    ulEnd = k + 1;
                    continue;
                }
            } else if (bOk && ulAvail >= kMinPieceRoom) {
                RTS_UI32 ulPiece = std::min(ulRest, (ulAvail - kPieceMargin) / kPieceAlign * kPieceAlign);
                RTS_UI32 ulLen = p->Swap(ulPiece);
                bOk = PutU32(p, &w, TAG_PIECE_OFFSET, ulFrom) == ERR_OK &&
                      pApi->pfBTagWriterStartTag(&w, TAG_VAR_WRITE, kAlign40, 0) == ERR_OK &&
                      pApi->pfBTagWriterAppendBlob(&w, &ulLen, 4) == ERR_OK &&
                      pApi->pfBTagWriterAppendBlob(&w, item.pData + ulFrom, ulPiece) == ERR_OK &&
                      pApi->pfBTagWriterAppendFillBytes(&w, 0, kAlign40) == ERR_OK &&
                      pApi->pfBTagWriterEndTag(&w, TAG_VAR_WRITE) == ERR_OK;
                if (bOk) {
                    if (pList == nullptr && !bDesc) {
                        byName.push_back(k);
                    }
                    ulPieceSent = ulPiece;
                    ulEnd = k;
                    break;  // the rest of this value follows in the next request
                }
            }
            pApi->pfBTagWriterRestoreSavepoint(&w, &sp);
            break;
        }
        if (ulEnd == ulFirst && ulPieceSent == 0) {
            // Not even one piece of this value fits: no request can take it.
            pApi->pfBTagWriterFinish(&w, nullptr, nullptr);
            return PLCCOM_FAILED;
        }
        if (pFlags != nullptr) {
            RTS_UI32 ulFlags = pList->ulFlags;
            bool bAllRest = ulEnd == items.size() && ulPieceSent == 0;
            if ((pList->ulFlags & KL_VARLIST_FLAG8) != 0 && bAllRest) {
                ulFlags |= KL_VARLIST_WRITE_COMPLETES;
            }
            FillU32(p, pFlags, ulFlags);
        }
        BINTAGREADER r;
        bool bAnswered = false;
        RTS_I32 lExchange = p->ExchangeService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_WRITE, &r, &bAnswered);
        if (lExchange != PLCCOM_OK) {
            return lExchange;
        }
        if (!bAnswered) {
            return PLCCOM_FAILED;
        }
        RTS_I32 lReply = PLCCOM_OK;
        bool bAccepted = false;
        RTS_UI32 ulAccepted = 0;
        RTS_UI32 ulDesc = 0;
        auto keep = [&](RTS_I32 l) {
            if (lReply == PLCCOM_OK) {
                lReply = l;
            }
        };
        auto handler = [&](BINTAGREADER* pR, RTS_UI32 ulTag) -> RTS_RESULT {
            switch (ulTag) {
                case TAG_IECVARACC_VAR_RESULT: {
                    RTS_UI16 us = 0;
                    if (!ReadU16(p, pR, &us)) {
                        keep(PLCCOM_FAILED);
                    } else if (us == DEV_SIZE_MISMATCH) {
                        p->AddLogEntry(LOG_ERROR, PLCCOM_SIZE_MISMATCH, "symbol size did not match");
                        keep(PLCCOM_SIZE_MISMATCH);
                    } else if (us != DEV_OK) {
                        // The controller refused this variable (by name: it does
                        // not know it); the others are still written.
                        keep(pList == nullptr ? PLCCOM_UNKNOWN_SYMBOL : PLCCOM_FAILED);
                    }
                    break;
                }
                case TAG_IECVARACC_RESULT:
                case TAG_ERROR: {
                    RTS_UI16 us = 0;
                    if (!ReadU16(p, pR, &us)) {
                        keep(PLCCOM_FAILED);
                    } else if (us == DEV_SIZE_MISMATCH) {
                        keep(PLCCOM_SIZE_MISMATCH);
                    } else if (us == DEV_CONSISTENCY_TIMEOUT) {
                        p->AddLogEntry(LOG_WARNING, PLCCOM_CONSISTENCY_TIMEOUT,
                                       "consistency timeout expired");
                        keep(PLCCOM_CONSISTENCY_TIMEOUT);
                    } else if (us == DEV_SYNC_NOT_ALLOWED) {
                        p->AddLogEntry(LOG_WARNING, PLCCOM_SYNC_NOT_ALLOWED,
                                       "sync consistency not allowed by all applications");
                        keep(PLCCOM_SYNC_NOT_ALLOWED);
                    } else if (us != DEV_OK) {
                        keep(PLCCOM_FAILED);
                    }
                    break;
                }
                case TAG_PIECE_SIZE:
                    if (!ReadU32(p, pR, &ulAccepted)) {
                        keep(PLCCOM_FAILED);
                    }
                    bAccepted = true;
                    break;
                case TAG_VAR_DESCRIPTION: {
                    // Descriptions answer the variables sent by name, in order.
                    if (pList != nullptr || ulDesc >= byName.size()) {
                        break;
                    }
                    RTS_UI8* pContent = nullptr;
                    RTS_UI32 ulSize = 0;
                    if (pApi->pfBTagReaderGetContent(pR, &pContent, &ulSize) == ERR_OK && ulSize > 0) {
                        try {
                            p->m_recalledVarDescs[items[byName[ulDesc]].pszName].assign(pContent,
                                                                                        pContent + ulSize);
                        } catch (const std::bad_alloc&) {
                        }
                    }
                    ++ulDesc;
                    break;
                }
                default:
                    break;
            }
            return ERR_OK;
        };
        if (WalkReply(pApi, &r, handler) != ERR_OK) {
            keep(PLCCOM_FAILED);
        }
        if (lReply != PLCCOM_OK && lReply != PLCCOM_SIZE_MISMATCH && lReply != PLCCOM_UNKNOWN_SYMBOL) {
            return lReply;
        }
        if (lResult == PLCCOM_OK) {
            lResult = lReply;
        }
        if (ulPieceSent > 0) {
            // The controller may take less of a piece than was sent; the rest
            // goes again. Taking nothing is no progress.
            RTS_UI32 ulTaken = bAccepted ? std::min(ulAccepted, ulPieceSent) : ulPieceSent;
            if (ulTaken == 0) {
                return PLCCOM_FAILED;
            }
            RTS_UI32 ulFrom = ulEnd == ulNext ? ulOffset : 0;
            ulOffset = ulFrom + ulTaken;
            ulNext = ulEnd;
            if (ulOffset >= items[ulNext].ulSize) {
                ++ulNext;
                ulOffset = 0;
            }
        } else {
            ulNext = ulEnd;
            ulOffset = 0;
        }
    }
    return lResult;
}

RTS_I32 CPLCComBase3::WriteVarList(HVARLIST hVarList, RTS_UI32 ulNumOfSymbols, const RTS_UI8* const* ppValues,
                                   const RTS_UI32* pulValueSizes) {
    COM3VARLIST* pMaster = VarServices::Find(this, hVarList);
    if (pMaster == nullptr || ppValues == nullptr || !VarServices::Ready(this)) {
        AddLogEntry(LOG_ERROR, PLCCOM_FAILED, "CPLCComBase3: <-WriteVarList() failed: Result=%ld",
                    static_cast<long>(PLCCOM_FAILED));
        return PLCCOM_FAILED;
    }
    if (ulNumOfSymbols != pMaster->ulNumOfAllVars) {
        AddLogEntry(LOG_ERROR, PLCCOM_SIZE_MISMATCH, "CPLCComBase3: <-WriteVarList() failed: Result=%ld",
                    static_cast<long>(PLCCOM_SIZE_MISMATCH));
        return PLCCOM_SIZE_MISMATCH;
    }
    RTS_I32 lResult = PLCCOM_OK;
    try {
        for (COM3VARLIST* pList = pMaster; pList != nullptr && lResult == PLCCOM_OK;
             pList = pList->pNextSlaveList) {
            std::vector<WriteItem> items;
            for (RTS_UI32 i = 0; i < pList->ulNumOfVars; ++i) {
                RTS_UI32 ulIndex = pList->ulStartIndex + i;
                const COM3VAR& var = pMaster->pVars[ulIndex];
                if (VarServices::IsRejected(var)) {
                    continue;  // nothing to write to
                }
                if (ppValues[ulIndex] == nullptr) {
                    lResult = PLCCOM_INVALID_PARAMETER;
                    break;
                }
                RTS_UI32 ulCallerSize = pulValueSizes != nullptr ? pulValueSizes[ulIndex] : var.ulSize;
                if (ulCallerSize != var.ulSize) {
                    lResult = PLCCOM_SIZE_MISMATCH;
                    break;
                }
                items.emplace_back();
                WriteItem& item = items.back();
                item.ulIndex = ulIndex;
                item.hVar = var.hVar;
                if (var.type == TYPE3_STRING || var.type == TYPE3_WSTRING) {
                    PrepareText(&item, ppValues[ulIndex], ulCallerSize, var.ulSize,
                                var.type == TYPE3_WSTRING);
                } else {
                    item.pData = ppValues[ulIndex];
                    item.ulSize = var.ulSize;
                }
            }
            if (lResult == PLCCOM_OK && !items.empty()) {
                lResult = VarServices::WriteItems(this, pList, &items);
            }
        }
    } catch (const std::bad_alloc&) {
        lResult = PLCCOM_NO_MEMORY;
    }
    if (lResult != PLCCOM_OK) {
        AddLogEntry(LOG_ERROR, lResult, "CPLCComBase3: <-WriteVarList() failed: Result=%ld",
                    static_cast<long>(lResult));
    }
    return lResult;
}

RTS_I32 CPLCComBase3::WriteVars(const char* const* ppszSymbols, RTS_UI32 ulNumOfSymbols,
                                const RTS_UI8* const* ppValues, const RTS_UI32* pulValueSizes) {
    if (ppszSymbols == nullptr || ppValues == nullptr || ulNumOfSymbols == 0 || !VarServices::Ready(this)) {
        return PLCCOM_FAILED;
    }
    RTS_I32 lResult = PLCCOM_OK;
    try {
        std::vector<WriteItem> items(ulNumOfSymbols);
        for (RTS_UI32 i = 0; i < ulNumOfSymbols; ++i) {
            const char* pszName = ppszSymbols[i];
            if (pszName == nullptr || ppValues[i] == nullptr) {
                return PLCCOM_INVALID_PARAMETER;
            }
            WriteItem& item = items[i];
            item.pszName = pszName;
            item.ulIndex = i;
            if (pulValueSizes != nullptr) {
                item.pData = ppValues[i];
                item.ulSize = pulValueSizes[i];
            } else if (IsDirectAddress(pszName)) {
                item.pData = ppValues[i];
                item.ulSize = DirectAddressSize(pszName);
            } else {
                PlcSymbolDesc symbol{};
                if (GetSymbol(pszName, &symbol) != PLCCOM_OK) {
                    AddLogEntry(LOG_WARNING, PLCCOM_UNKNOWN_SYMBOL,
                                "CPLCComBase3: WriteVars: no size for symbol %s", pszName);
                    return PLCCOM_UNKNOWN_SYMBOL;
                }
                RTS_UI32 ulType = symbol.ulTypeId & ~DATATYPE_FLAG_MASK;
                if (ulType == DATATYPE_STRING || ulType == DATATYPE_WSTRING) {
                    PrepareText(&item, ppValues[i], symbol.ulSize, symbol.ulSize, ulType == DATATYPE_WSTRING);
                } else {
                    item.pData = ppValues[i];
                    item.ulSize = symbol.ulSize;
                }
            }
        }
        lResult = VarServices::WriteItems(this, nullptr, &items);
    } catch (const std::bad_alloc&) {
        lResult = PLCCOM_NO_MEMORY;
    }
    return lResult;
}

// ---- Symbol address --------------------------------------------------------------------------

RTS_I32 CPLCComBase3::GetSymbolAddress(RTS_UI32 ulSymbolIndex, char* pszMappedAddr, RTS_I32 lLen) {
    if (pszMappedAddr == nullptr || lLen < 1 || m_pSymbols == nullptr || ulSymbolIndex >= m_ulSymbols ||
        m_pSymbols[ulSymbolIndex].pszName == nullptr) {
        return PLCCOM_INVALID_PARAMETER;
    }
    pszMappedAddr[0] = '\0';
    if (!VarServices::Ready(this)) {
        return PLCCOM_FAILED;
    }
    const char* pszName = m_pSymbols[ulSymbolIndex].pszName;
    BINTAGWRITER w;
    if (BeginService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_ADDRESS) != ERR_OK) {
        return PLCCOM_FAILED;
    }
    if (m_pBTag->pfBTagWriteSingleTag(&w, TAG_VAR_NAME, kAlign40, 1, pszName,
                                      static_cast<RTS_UI32>(strlen(pszName) + 1)) != ERR_OK) {
        m_pBTag->pfBTagWriterFinish(&w, nullptr, nullptr);
        return PLCCOM_FAILED;
    }
    BINTAGREADER r;
    RTS_I32 lResult = ExchangeService(&w, KL_SG_IECVARACCESS, KL_SRV_VAR_ADDRESS, &r);
    if (lResult != PLCCOM_OK) {
        return lResult;
    }
    bool bFound = false;
    auto handler = [&](BINTAGREADER* pR, RTS_UI32 ulTag) -> RTS_RESULT {
        if (ulTag != TAG_ADDRESS_TEXT || bFound) {
            return ERR_OK;
        }
        BTAG_CONTENT_CURSOR c;
        RTS_UI16 usLen = 0;
        if (!VarServices::Cursor(this, pR, &c) || m_pBTag->pfBTagCursorReadUI16(&c, &usLen) != ERR_OK) {
            return ERR_OK;
        }
        RTS_UI32 ulCopy = std::min<RTS_UI32>(usLen, m_pBTag->pfBTagCursorRemaining(&c));
        ulCopy = std::min<RTS_UI32>(ulCopy, static_cast<RTS_UI32>(lLen) - 1);
        const RTS_UI8* pText = nullptr;
        if (m_pBTag->pfBTagCursorReadBytes(&c, ulCopy, &pText) == ERR_OK) {
            if (ulCopy > 0) {
                std::memcpy(pszMappedAddr, pText, ulCopy);
            }
            pszMappedAddr[ulCopy] = '\0';
            bFound = true;
        }
        return ERR_OK;
    };
    WalkReply(m_pBTag, &r, handler);
    return bFound ? PLCCOM_OK : PLCCOM_FAILED;
}
