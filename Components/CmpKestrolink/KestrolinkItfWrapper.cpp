// The callback objects of the C interface: the per-handle wrapper that calls
// the client's C functions (or sets its event), and the cyclic list callback.
#include "KestrolinkItfWrapper.h"

#include <algorithm>
#include <new>
#include <utility>

#include "EasyKestrolink.h"
#include "SysEvent.h"

RTS_UINTPTR KlItfHandleOf(CKestrolink* pKestrolink) {
    // Every object of the C interface is a CEasyKestrolink; its address is the handle.
    return reinterpret_cast<RTS_UINTPTR>(static_cast<CEasyKestrolink*>(pKestrolink));
}

// ---- Wrapper ---------------------------------------------------------------------------------

CKESTROLINKWrapperCallback::CKESTROLINKWrapperCallback() : CKestrolinkCallback(nullptr, 1) {}

CKESTROLINKWrapperCallback::~CKESTROLINKWrapperCallback() {
    for (const OwnedNotification& owned : m_owned) {
        Destroy(owned.pObject, false);
    }
    m_owned.clear();
    // The base deletes the event; a handle that is no event must not reach it.
    if (!KlItfIsEvent(m_hEvent)) {
        m_hEvent = nullptr;
    }
}

bool CKESTROLINKWrapperCallback::AnyCallbackLocked() const {
    return m_pfPlcFoundCallback != nullptr || m_pfVerifyPlcCertCallback != nullptr ||
           m_pfStateChangeCallback != nullptr || m_pfPlcFoundCallback2 != nullptr ||
           m_pfVerifyPlcCertCallback2 != nullptr || m_pfRequestCredentialsCallback != nullptr ||
           m_pfStateChangeCallback2 != nullptr || m_pfReadAppStateCallback != nullptr;
}

long CKESTROLINKWrapperCallback::Notify(CKestrolink* pKestrolink, CallbackAddInfoTag info) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!AnyCallbackLocked()) {
        // Under the lock: SetEvent cannot delete the event meanwhile.
        if (KlItfIsEvent(m_hEvent)) {
            SysEventSet(m_hEvent);
            return 1;
        }
        return 0;
    }
    if (pKestrolink == nullptr) {
        return 0;
    }
    RTS_UINTPTR hKestrolink = KlItfHandleOf(pKestrolink);
    switch (info.ulType) {
        case CALLBACK_PLC_FOUND: {
            KESTROLINKSCANNETWORKCALLBACK pfFound = m_pfPlcFoundCallback;
            KESTROLINKSCANNETWORKCALLBACK2 pfFound2 = m_pfPlcFoundCallback2;
            void* pCstData = m_pScanCstData;
            lock.unlock();
            NodeInfotyp2* pNode = info.AddInf.pNodeInfo2;
            if (pfFound != nullptr) {
                pfFound(hKestrolink, pNode);
            } else if (pfFound2 != nullptr) {
                pfFound2(hKestrolink, pNode, pCstData);
            }
            // Marked over only once the last record has been handed over, so
            // that KestrolinkExit never ends the object under a running callback.
            if (pNode != nullptr) {
                m_bIsNetworkScanInProgress = pNode->bComplete ? 0 : 1;
            }
            break;
        }
        case CALLBACK_APP_STATE_CHANGED: {
            KESTROLINKREADAPPSTATECALLBACK pfAppState = m_pfReadAppStateCallback;
            void* pCstData = m_pReadAppStateCstData;
            lock.unlock();
            if (pfAppState != nullptr) {
                pfAppState(hKestrolink, info.AddInf.pAppStateListCmp, pCstData);
            }
            break;
        }
        case CALLBACK_STATE_CHANGED: {
            KESTROLINKSTATECHANGECALLBACK pfState = m_pfStateChangeCallback;
            KESTROLINKSTATECHANGECALLBACK2 pfState2 = m_pfStateChangeCallback2;
            void* pCstData = m_pStateCstData;
            lock.unlock();
            if (pfState != nullptr) {
                pfState(hKestrolink, info.AddInf.lKestrolinkState);
            } else if (pfState2 != nullptr) {
                pfState2(hKestrolink, info.AddInf.lKestrolinkState, pCstData);
            }
            break;
        }
        default:
            break;
    }
    return 0;
}

long CKESTROLINKWrapperCallback::VerifyPlcCertificate(CKestrolink* pKestrolink, char* pszBase64PlcCert,
                                                      unsigned long ulBase64PlcCertSize, long lVerifyResult) {
    if (pKestrolink == nullptr) {
        return lVerifyResult;
    }
    KESTROLINKVERIFYPLCCERTCALLBACK pfVerify;
    KESTROLINKVERIFYPLCCERTCALLBACK2 pfVerify2;
    void* pCstData;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pfVerify = m_pfVerifyPlcCertCallback;
        pfVerify2 = m_pfVerifyPlcCertCallback2;
        pCstData = m_pVerifyCstData;
    }
    RTS_UINTPTR hKestrolink = KlItfHandleOf(pKestrolink);
    if (pfVerify != nullptr) {
        return pfVerify(hKestrolink, pszBase64PlcCert, ulBase64PlcCertSize, lVerifyResult);
    }
    if (pfVerify2 != nullptr) {
        return pfVerify2(hKestrolink, pszBase64PlcCert, ulBase64PlcCertSize, lVerifyResult, pCstData);
    }
    return lVerifyResult;
}

long CKESTROLINKWrapperCallback::RequestCredentials(CKestrolink* pKestrolink, RequestCredentialsType type,
                                                    char* pUserName, unsigned long userNameBufSize,
                                                    char* pPassword, unsigned long passwordBufSize) {
    KESTROLINKREQUESTCREDENTIALSCALLBACK pfRequest;
    void* pCstData;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pfRequest = m_pfRequestCredentialsCallback;
        pCstData = m_pRequestCredentialsCstData;
    }
    if (pKestrolink == nullptr || pfRequest == nullptr) {
        return RESULT_NO_CREDENTIALS;
    }
    return pfRequest(KlItfHandleOf(pKestrolink), type, pUserName, userNameBufSize, pPassword, passwordBufSize,
                     pCstData);
}

void CKESTROLINKWrapperCallback::SetEvent(RTS_HANDLE hEvent) {
    RTS_HANDLE hOld;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // The same event again is the one in use: it must stay alive.
        if (hEvent == m_hEvent) {
            return;
        }
        hOld = m_hEvent;
        m_hEvent = hEvent;
    }
    if (m_bDeleteEvent && KlItfIsEvent(hOld)) {
        SysEventDelete(hOld);
    }
}

void CKESTROLINKWrapperCallback::SetConnectionCallbacks(KESTROLINKSTATECHANGECALLBACK pfState,
                                                        KESTROLINKVERIFYPLCCERTCALLBACK pfVerify) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pfStateChangeCallback = pfState;
    m_pfVerifyPlcCertCallback = pfVerify;
}

void CKESTROLINKWrapperCallback::SetConnectionCallbacks2(KESTROLINKSTATECHANGECALLBACK2 pfState2,
                                                         void* pStateCstData,
                                                         KESTROLINKVERIFYPLCCERTCALLBACK2 pfVerify2,
                                                         void* pVerifyCstData) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pfStateChangeCallback2 = pfState2;
    m_pStateCstData = pStateCstData;
    m_pfVerifyPlcCertCallback2 = pfVerify2;
    m_pVerifyCstData = pVerifyCstData;
}

void CKESTROLINKWrapperCallback::SetRequestCredentialsCallback(KESTROLINKREQUESTCREDENTIALSCALLBACK pfRequest,
                                                               void* pCstData) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pfRequestCredentialsCallback = pfRequest;
    m_pRequestCredentialsCstData = pCstData;
}

void CKESTROLINKWrapperCallback::SetReadAppStateCallback(KESTROLINKREADAPPSTATECALLBACK pfReadAppState,
                                                         void* pCstData) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pfReadAppStateCallback = pfReadAppState;
    m_pReadAppStateCstData = pCstData;
}

bool CKESTROLINKWrapperCallback::StartScan(KESTROLINKSCANNETWORKCALLBACK pfFound,
                                           KESTROLINKSCANNETWORKCALLBACK2 pfFound2, void* pCstData) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int iExpected = 0;
    if (!m_bIsNetworkScanInProgress.compare_exchange_strong(iExpected, 1)) {
        return false;
    }
    m_pfPlcFoundCallback = pfFound;
    m_pfPlcFoundCallback2 = pfFound2;
    m_pScanCstData = pCstData;
    return true;
}

void CKESTROLINKWrapperCallback::EndScan() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pfPlcFoundCallback = nullptr;
    m_pfPlcFoundCallback2 = nullptr;
    m_pScanCstData = nullptr;
    m_bIsNetworkScanInProgress = 0;
}

// ---- Notification objects of cyclic lists ---------------------------------------------------

void CKESTROLINKWrapperCallback::Destroy(CKestrolinkCallback* pObject, bool bKeepEvent) {
    if (pObject == nullptr) {
        return;
    }
    if (bKeepEvent || !KlItfIsEvent(pObject->m_hEvent)) {
        pObject->m_bDeleteEvent = 0;
    }
    delete pObject;
}

void CKESTROLINKWrapperCallback::SettleNotifications(HCYCLIST hCycList, CKestrolinkCallback* const* ppCreated,
                                                     int iCreated, CKestrolinkCallback* const* ppUsed,
                                                     int iUsed) {
    auto isUsed = [ppUsed, iUsed](CKestrolinkCallback* p) {
        return std::find(ppUsed, ppUsed + iUsed, p) != ppUsed + iUsed;
    };
    // Objects to destroy once the lock is given up, and whether the caller
    // keeps the object's event.
    std::vector<std::pair<CKestrolinkCallback*, bool>> doomed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        try {
            doomed.reserve(m_owned.size() + static_cast<size_t>(iCreated));
            m_owned.reserve(m_owned.size() + static_cast<size_t>(iCreated));
        } catch (const std::bad_alloc&) {
            // Nothing can be recorded: every object stays alive (and is lost
            // rather than destroyed while a list may still use it).
            return;
        }
        if (hCycList != nullptr) {
            for (auto it = m_owned.begin(); it != m_owned.end();) {
                if (it->hCycList == hCycList && !isUsed(it->pObject)) {
                    doomed.emplace_back(it->pObject, false);
                    it = m_owned.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (int i = 0; i < iCreated; ++i) {
            CKestrolinkCallback* p = ppCreated[i];
            bool bSeen = false;
            for (int j = 0; j < i; ++j) {
                bSeen = bSeen || ppCreated[j] == p;
            }
            if (p == nullptr || bSeen) {
                continue;
            }
            if (hCycList != nullptr && isUsed(p)) {
                m_owned.push_back(OwnedNotification{hCycList, p});
            } else {
                doomed.emplace_back(p, true);
            }
        }
    }
    for (const auto& d : doomed) {
        Destroy(d.first, d.second);
    }
}

std::vector<CKestrolinkCallback*> CKESTROLINKWrapperCallback::TakeNotifications(HCYCLIST hCycList) {
    std::vector<CKestrolinkCallback*> taken;
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
        taken.reserve(m_owned.size());
    } catch (const std::bad_alloc&) {
        return taken;  // they stay owned here, and go with the wrapper
    }
    for (auto it = m_owned.begin(); it != m_owned.end();) {
        if (it->hCycList == hCycList) {
            taken.push_back(it->pObject);
            it = m_owned.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void CKESTROLINKWrapperCallback::ReturnNotifications(HCYCLIST hCycList,
                                                     const std::vector<CKestrolinkCallback*>& objects) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (CKestrolinkCallback* p : objects) {
        try {
            m_owned.push_back(OwnedNotification{hCycList, p});
        } catch (const std::bad_alloc&) {
            // Lost rather than destroyed while the list may still use it.
        }
    }
}

// ---- Cyclic list callback ------------------------------------------------------------------

CKestrolinkVarListCallback::CKestrolinkVarListCallback(KESTROLINKVARLISTCALLBACK pfVarListCallback,
                                                       void* pCstData)
    : CKestrolinkCallback(nullptr, 0), m_pfVarListCallback(pfVarListCallback), m_pCstData(pCstData) {}

long CKestrolinkVarListCallback::Notify(CKestrolink* pKestrolink, CallbackAddInfoTag info) {
    if (m_pfVarListCallback == nullptr || pKestrolink == nullptr ||
        (info.ulType != CALLBACK_CYCLIST_UPDATE_READY && info.ulType != CALLBACK_CYCLIST_DATA_CHANGED &&
         info.ulType != CALLBACK_CYCLIST_REACTIVATED)) {
        return 0;
    }
    return m_pfVarListCallback(KlItfHandleOf(pKestrolink), info.AddInf.hCycList, m_pCstData);
}
