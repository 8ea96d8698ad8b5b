// CEasyKestrolink: the connection object that the C interface creates. It
// adds no data to CKestrolink; its operations build a configuration for one
// transport from a few arguments and connect, so that a client needs no INI
// file.
#pragma once

#include "Kestrolink.h"

class KESTROLINK_API CEasyKestrolink : public CKestrolink {
public:
    using CKestrolink::CKestrolink;

    // Ends the threads of the connection while this part of the object still
    // exists: they make virtual calls on it.
    ~CEasyKestrolink() override;

    // The convenience connects (ConnectTcpipViaGateway ... ConnectTcpipViaArti3)
    // and the raw-service forwarders (SyncSendService ... GetDeviceSessionId)
    // take their slots here.
};
