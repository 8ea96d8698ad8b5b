// The callback objects of the C interface. Each handle gets one
// CKESTROLINKWrapperCallback (kept in the connection object's pCstData): it
// turns the object's callbacks into the plain C functions and the event a
// client registered, marks a running network scan, and owns the notification
// objects the C layer makes for cyclic lists. CKestrolinkVarListCallback
// turns a cyclic list's notifications into one C function.
//
// The wrapper's lock guards the registered functions, their data, the event
// and the owned objects. It is held only to read or change them, never while
// a client function runs or the connection object is called.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "KestrolinkCallback.h"
#include "kestrolink/Kestrolink.h"

class CEasyKestrolink;

// An event handle a client means: neither null nor all bits set, at pointer
// width or at 32 bits (the value a program written for 32-bit handles passes).
inline bool KlItfIsEvent(RTS_HANDLE h) {
    return KlIsValidHandle(h) && reinterpret_cast<RTS_UINTPTR>(h) != 0xFFFFFFFFu;
}

// The C handle of a connection object.
RTS_UINTPTR KlItfHandleOf(CKestrolink* pKestrolink);

class CKESTROLINKWrapperCallback : public CKestrolinkCallback {
public:
    // Owns its event (none at first).
    CKESTROLINKWrapperCallback();
    // Destroys the notification objects it still owns.
    ~CKESTROLINKWrapperCallback() override;

    long Notify(CKestrolink* pKestrolink, CallbackAddInfoTag info) override;
    long VerifyPlcCertificate(CKestrolink* pKestrolink, char* pszBase64PlcCert,
                              unsigned long ulBase64PlcCertSize, long lVerifyResult) override;
    long RequestCredentials(CKestrolink* pKestrolink, RequestCredentialsType type, char* pUserName,
                            unsigned long userNameBufSize, char* pPassword,
                            unsigned long passwordBufSize) override;

    // The event set on state changes when no C function is registered. The
    // previous one is deleted, unless it is the same handle.
    void SetEvent(RTS_HANDLE hEvent);

    void SetConnectionCallbacks(KESTROLINKSTATECHANGECALLBACK pfState,
                                KESTROLINKVERIFYPLCCERTCALLBACK pfVerify);
    void SetConnectionCallbacks2(KESTROLINKSTATECHANGECALLBACK2 pfState2, void* pStateCstData,
                                 KESTROLINKVERIFYPLCCERTCALLBACK2 pfVerify2, void* pVerifyCstData);
    void SetRequestCredentialsCallback(KESTROLINKREQUESTCREDENTIALSCALLBACK pfRequest, void* pCstData);
    void SetReadAppStateCallback(KESTROLINKREADAPPSTATECALLBACK pfReadAppState, void* pCstData);

    // Stores the scan callback and marks the scan running; false (nothing
    // stored) while another scan runs.
    bool StartScan(KESTROLINKSCANNETWORKCALLBACK pfFound, KESTROLINKSCANNETWORKCALLBACK2 pfFound2,
                   void* pCstData);
    // Forgets the scan callback: the scan did not start.
    void EndScan();
    bool IsNetworkScanInProgress() const { return m_bIsNetworkScanInProgress.load() != 0; }

    // Ownership of the notification objects the C layer made for cyclic
    // lists. After a define or update call for hCycList (null when a
    // definition failed): ppCreated are the objects made for this call (null
    // entries allowed), ppUsed the objects the list uses now (none for a list
    // that is not valid). Owned objects of the list that it no longer uses
    // are destroyed with their events; objects made for this call that it
    // does not use are destroyed too, but leave their events to the caller,
    // whose call did not take them.
    void SettleNotifications(HCYCLIST hCycList, CKestrolinkCallback* const* ppCreated, int iCreated,
                             CKestrolinkCallback* const* ppUsed, int iUsed);
    // Takes the objects owned for a list out of the wrapper's care.
    std::vector<CKestrolinkCallback*> TakeNotifications(HCYCLIST hCycList);
    // Gives them back (the list could not be deleted).
    void ReturnNotifications(HCYCLIST hCycList, const std::vector<CKestrolinkCallback*>& objects);

    // The registered functions and their data, in the published order.
    KESTROLINKSCANNETWORKCALLBACK m_pfPlcFoundCallback{nullptr};
    KESTROLINKVERIFYPLCCERTCALLBACK m_pfVerifyPlcCertCallback{nullptr};
    KESTROLINKSTATECHANGECALLBACK m_pfStateChangeCallback{nullptr};
    KESTROLINKSCANNETWORKCALLBACK2 m_pfPlcFoundCallback2{nullptr};
    KESTROLINKVERIFYPLCCERTCALLBACK2 m_pfVerifyPlcCertCallback2{nullptr};
    KESTROLINKREQUESTCREDENTIALSCALLBACK m_pfRequestCredentialsCallback{nullptr};
    KESTROLINKSTATECHANGECALLBACK2 m_pfStateChangeCallback2{nullptr};
    KESTROLINKREADAPPSTATECALLBACK m_pfReadAppStateCallback{nullptr};
    std::atomic<int> m_bIsNetworkScanInProgress{0};
    void* m_pScanCstData{nullptr};
    void* m_pStateCstData{nullptr};
    void* m_pVerifyCstData{nullptr};
    void* m_pRequestCredentialsCstData{nullptr};
    void* m_pReadAppStateCstData{nullptr};

private:
    struct OwnedNotification {
        HCYCLIST hCycList;
        CKestrolinkCallback* pObject;
    };
    bool AnyCallbackLocked() const;
    static void Destroy(CKestrolinkCallback* pObject, bool bKeepEvent);

    mutable std::mutex m_mutex;
    std::vector<OwnedNotification> m_owned;
};

// Tells one C function of the update-ready, data-change and reactivation
// notifications (types 1, 2 and 6) of a cyclic list.
class CKestrolinkVarListCallback : public CKestrolinkCallback {
public:
    CKestrolinkVarListCallback(KESTROLINKVARLISTCALLBACK pfVarListCallback, void* pCstData);
    ~CKestrolinkVarListCallback() override = default;
    long Notify(CKestrolink* pKestrolink, CallbackAddInfoTag info) override;

    KESTROLINKVARLISTCALLBACK m_pfVarListCallback;
    void* m_pCstData;
};
