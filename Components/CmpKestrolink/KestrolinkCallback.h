// Base class of every callback a client hands to a connection object: state
// changes, cyclic-list and scan events, certificate checks and credential
// requests all arrive through its virtual operations. The C interface derives
// its wrapper from it; a client program may derive its own.
//
// The operations keep the long / unsigned long parameters of the published
// class; the connection object converts to and from its 32-bit values.
#pragma once

#include "CmpStd.h"
#include "kestrolink/KestrolinkTypes.h"

class CKestrolink;

class KESTROLINK_API CKestrolinkCallback {
public:
    // The callback owns hEvent and deletes it when it goes.
    explicit CKestrolinkCallback(RTS_HANDLE hEvent);
    CKestrolinkCallback(RTS_HANDLE hEvent, int bDeleteEvent);

    // Deletes m_hEvent when it is owned and is neither null nor invalid.
    virtual ~CKestrolinkCallback();
    // Sets m_hEvent (when it is neither null nor invalid) and returns 1; else 0.
    virtual long Notify(CKestrolink* pKestrolink, CallbackAddInfoTag info);
    // Accepts what the TLS layer decided: returns lVerifyResult unchanged.
    virtual long VerifyPlcCertificate(CKestrolink* pKestrolink, char* pszBase64PlcCert,
                                      unsigned long ulBase64PlcCertSize, long lVerifyResult);
    // Fills the buffers (terminated, at most size - 1 characters each) and
    // returns 0, or any other value when no credentials are supplied. The base
    // supplies none: RESULT_NO_CREDENTIALS (58).
    virtual long RequestCredentials(CKestrolink* pKestrolink, RequestCredentialsType type, char* pUserName,
                                    unsigned long userNameBufSize, char* pPassword,
                                    unsigned long passwordBufSize);

    CKestrolinkCallback(const CKestrolinkCallback&) = delete;
    CKestrolinkCallback& operator=(const CKestrolinkCallback&) = delete;

    RTS_HANDLE m_hEvent;
    int m_bDeleteEvent;
};

// A usable event handle: neither null nor the invalid handle.
inline bool KlIsValidHandle(RTS_HANDLE h) {
    return h != nullptr && h != RTS_INVALID_HANDLE;
}
