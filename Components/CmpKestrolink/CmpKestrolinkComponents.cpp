// The SDK's built-in component list: the runtime components first (as system
// components, so that pools, settings and log are up before the others start),
// then the stack and the SDK's own component.
#include "CmpBinTagUtilItf.h"
#include "CmpBlkDrvTcpItf.h"
#include "CmpChannelClientItf.h"
#include "CmpChannelMgrItf.h"
#include "CmpChecksumItf.h"
#include "CmpKestrolinkItf.h"
#include "CmpKestrolinkMain.h"
#include "CmpLogBackendFileItf.h"
#include "CmpLogItf.h"
#include "CmpMemPoolItf.h"
#include "CmpNameServiceClientItf.h"
#include "CmpRouterItf.h"
#include "CmpSettingsItf.h"
#include "CmpXMLParserItf.h"

const StaticComponent* KestrolinkStaticComponents(void) {
    static const StaticComponent s_list[] = {
        {"CmpMemPool", CmpMemPool__Entry, 1},
        {"CmpSettings", CmpSettings__Entry, 1},
        {"CmpLog", CmpLog__Entry, 1},
        {"CmpLogBackendFile", CmpLogBackendFile__Entry, 0},
        {"CmpChecksum", CmpChecksum__Entry, 0},
        {"CmpBinTagUtil", CmpBinTagUtil__Entry, 0},
        {"CmpRouter", CmpRouter__Entry, 0},
        {"CmpBlkDrvTcp", CmpBlkDrvTcp__Entry, 0},
        {"CmpChannelMgr", CmpChannelMgr__Entry, 0},
        {"CmpChannelClient", CmpChannelClient__Entry, 0},
        {"CmpNameServiceClient", CmpNameServiceClient__Entry, 0},
        {"CmpXMLParser", CmpXMLParser__Entry, 0},
        {"CmpKestrolink", CmpKestrolink__Entry, 0},
        {nullptr, nullptr, 0},
    };
    return s_list;
}
