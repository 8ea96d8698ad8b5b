// CEasyKestrolink: the connection object of the C interface.
#include "EasyKestrolink.h"

CEasyKestrolink::~CEasyKestrolink() {
    StopAll();
}
