// The platform components that every runtime contains.
#include "CMPrivate.h"

#include "SysTaskItf.h"

const StaticComponent* CMBuiltinSystemComponents(void) {
    static const StaticComponent s_list[] = {
        {"SysTask", SysTask__Entry, 1},
        {nullptr, nullptr, 0},
    };
    return s_list;
}
