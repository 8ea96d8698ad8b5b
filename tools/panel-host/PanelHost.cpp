// panel-host: an operator panel in a test tube. Loads the driver library at
// run time, as a panel does, and walks it through "Init", "Info", the
// requested "RdOne" / "RdGrp" / "WrOne" and "Destroy", printing every result
// and register buffer. It knows the driver only through include/kestrolink/PlcDrv.h.
#include <arpa/inet.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "PanelScript.h"

namespace klpanel {
namespace {

typedef int (*PfPlcDrvCmd)(const char* cmd, void* drv, void* param);
typedef void (*PfCloseHandle)(PLC_DRV_INIT_SETTINGS* settings);

// Room behind every register buffer: a string read copies up to its
// terminator, which the panel's width does not bound.
const size_t kBufferSlack = 4096;

// The UserOper callbacks carry no context: one store per process.
LocalRegisters g_localRegisters;

int LocalRead(char* pszRegName, int iAddr, int iCount, void* pBuffer, int iElementSize) {
    int rc =
        pszRegName != nullptr ? g_localRegisters.Read(pszRegName, iAddr, iCount, pBuffer, iElementSize) : -1;
    std::printf("    local read %s[%d] x%d -> %d\n", pszRegName != nullptr ? pszRegName : "(null)", iAddr,
                iCount, rc);
    return rc;
}

int LocalWrite(char* pszRegName, int iAddr, int iCount, void* pBuffer, int iElementSize) {
    int rc =
        pszRegName != nullptr ? g_localRegisters.Write(pszRegName, iAddr, iCount, pBuffer, iElementSize) : -1;
    std::printf("    local write %s[%d] x%d -> %d\n", pszRegName != nullptr ? pszRegName : "(null)", iAddr,
                iCount, rc);
    return rc;
}

const char* WidthName(RegWidth width) {
    switch (width) {
        case RegWidth::Bit:
            return "bit";
        case RegWidth::W16:
            return "16-bit";
        case RegWidth::W32:
            return "32-bit";
        case RegWidth::W64:
            return "64-bit";
    }
    return "?";
}

std::string ItemText(const PanelItem& item) {
    std::string text = "tag " + std::to_string(item.ulTag) + " addr " + std::to_string(item.ulAddr) + " " +
                       WidthName(item.width) + " x" + std::to_string(item.usCount);
    if (item.byIndexPos != 0) {
        text += " index @" + std::to_string(item.byIndexPos) + "=" + std::to_string(item.usIndexValue);
    }
    return text;
}

struct ItemStorage {
    RegAttr reg;
    std::vector<uint8_t> buffer;
};

void Prepare(const PanelItem& item, ItemStorage* pStorage, RegItm* pRegItm) {
    pStorage->reg = MakeRegAttr(item);
    pStorage->buffer.assign(ItemBufferSize(item) + kBufferSlack, 0);
    pRegItm->_reg = &pStorage->reg;
    pRegItm->_len = static_cast<int>(ItemBufferSize(item));
    pRegItm->_buf = pStorage->buffer.data();
}

bool LoadRequests(const PanelOptions& options, std::vector<PanelRequest>* pRequests, std::string* pError) {
    if (!options.scriptFile.empty()) {
        std::ifstream in(options.scriptFile, std::ios::binary);
        if (!in) {
            *pError = "cannot open the script " + options.scriptFile;
            return false;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        if (!ParseScript(ss.str(), options.scriptFile, pRequests, pError)) {
            return false;
        }
    }
    for (size_t i = 0; i < options.requestLines.size(); ++i) {
        PanelRequest r;
        bool bEmpty = false;
        std::string error;
        std::string where = "request " + std::to_string(i + 1) + " (\"" + options.requestLines[i] + "\")";
        if (!ParseRequestLine(options.requestLines[i], &r, &bEmpty, &error)) {
            *pError = where + ": " + error;
            return false;
        }
        if (!bEmpty) {
            r.where = where;
            pRequests->push_back(r);
        }
    }
    return true;
}

}  // namespace

int RunPanelHost(const PanelOptions& options, const std::string& defaultLibrary) {
    std::vector<PanelRequest> requests;
    std::string error;
    if (!LoadRequests(options, &requests, &error)) {
        std::fprintf(stderr, "panel-host: %s\n", error.c_str());
        return 2;
    }
    if (!options.charsetRoot.empty()) {
        // Read by the driver when it installs its conversion files.
        setenv("KESTROLINK_CHARSET_ROOT", options.charsetRoot.c_str(), 1);
    }
    std::string library = options.libraryPath.empty() ? defaultLibrary : options.libraryPath;
    void* pLib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pLib == nullptr) {
        const char* pszWhy = dlerror();
        std::fprintf(stderr, "panel-host: cannot load the driver library %s: %s\n", library.c_str(),
                     pszWhy != nullptr ? pszWhy : "unknown reason");
        return 3;
    }
    PfPlcDrvCmd pfCmd = reinterpret_cast<PfPlcDrvCmd>(dlsym(pLib, "PlcDrvCmd"));
    if (pfCmd == nullptr) {
        std::fprintf(stderr, "panel-host: %s has no entry point PlcDrvCmd: not a panel driver\n",
                     library.c_str());
        return 3;
    }
    std::printf("panel-host: driver %s\n", library.c_str());

    ComAttr attr;
    std::memset(&attr, 0, sizeof(attr));
    attr._hardware = PLC_HARDWARE_ETHERNET;
    attr._no = options.usPortNo;
    attr._plcDrvNo = PLC_DRIVER_NO;
    attr._plcResponceTimeout = 1000;
    // The address in network order: first octet at the lowest address.
    in_addr addr;
    inet_pton(AF_INET, options.address.c_str(), &addr);
    std::memcpy(&attr._baud, &addr.s_addr, sizeof(attr._baud));
    attr._checkBits = static_cast<V_UINT8>(options.usPort >> 8);
    attr._datBits = static_cast<V_UINT8>(options.usPort & 0xFF);

    PlcDrv* pDrv = nullptr;
    std::printf("== Init: controller %s:%u, panel port %u\n", options.address.c_str(), options.usPort,
                options.usPortNo);
    std::fflush(stdout);
    int rc = pfCmd("Init", &pDrv, &attr);
    std::printf("   Init -> %s\n", ResultName(rc).c_str());
    if (rc != PLC_OK || pDrv == nullptr) {
        std::fprintf(stderr, "panel-host: the driver refused \"Init\": %s\n", ResultName(rc).c_str());
        return 1;
    }

    char szDir[256];
    std::snprintf(szDir, sizeof(szDir), "%s", options.projectDir.c_str());
    int iParams = 2;
    void* infoArgs[2] = {&iParams, szDir};
    std::printf("== Info: project %s\n", szDir);
    std::fflush(stdout);
    rc = pfCmd("Info", pDrv, infoArgs);
    std::printf("   Info -> %s\n", ResultName(rc).c_str());

    UserOper user;
    user._flag = 1;
    user._locRd = LocalRead;
    user._locWr = LocalWrite;

    int nFailed = 0;
    for (size_t n = 0; n < requests.size(); ++n) {
        const PanelRequest& r = requests[n];
        std::printf("== [%zu] %s   (%s)\n", n + 1, r.text.c_str(), r.where.c_str());
        std::fflush(stdout);
        if (r.command == PanelCommand::Local) {
            g_localRegisters.Set(r.localName, r.localValues);
            std::printf("   local %s = %zu registers\n", r.localName.c_str(), r.localValues.size());
            continue;
        }
        std::vector<ItemStorage> storage(r.items.size());
        std::vector<RegItm> regItms(r.items.size());
        for (size_t i = 0; i < r.items.size(); ++i) {
            Prepare(r.items[i], &storage[i], &regItms[i]);
        }
        ComAttr* pAttr = &attr;
        if (r.command == PanelCommand::Write) {
            std::memcpy(storage[0].buffer.data(), r.values.data(), r.values.size());
            std::printf("   %s: %s\n", ItemText(r.items[0]).c_str(),
                        FormatBuffer(r.items[0], storage[0].buffer.data()).c_str());
            void* args[3] = {&regItms[0], pAttr, &user};
            std::fflush(stdout);
            rc = pfCmd("WrOne", pDrv, args);
            std::printf("   WrOne -> %s\n", ResultName(rc).c_str());
        } else if (r.command == PanelCommand::Read) {
            void* args[3] = {&regItms[0], pAttr, &user};
            rc = pfCmd("RdOne", pDrv, args);
            std::printf("   RdOne -> %s\n", ResultName(rc).c_str());
        } else {
            int iCount = static_cast<int>(regItms.size());
            void* args[4] = {regItms.data(), &iCount, pAttr, &user};
            rc = pfCmd("RdGrp", pDrv, args);
            std::printf("   RdGrp -> %s\n", ResultName(rc).c_str());
        }
        if (rc != PLC_OK) {
            ++nFailed;
            continue;
        }
        if (r.command != PanelCommand::Write) {
            for (size_t i = 0; i < r.items.size(); ++i) {
                std::printf("   %s: %s\n", ItemText(r.items[i]).c_str(),
                            FormatBuffer(r.items[i], storage[i].buffer.data()).c_str());
            }
        }
        if (r.bExpect && std::memcmp(storage[0].buffer.data(), r.values.data(), r.values.size()) != 0) {
            std::printf("   MISMATCH: expected %s\n", FormatBuffer(r.items[0], r.values.data()).c_str());
            ++nFailed;
        }
    }

    std::printf("== Destroy\n");
    std::fflush(stdout);
    rc = pfCmd("Destroy", pDrv, nullptr);
    std::printf("   Destroy -> %s\n", ResultName(rc).c_str());
    // "Destroy" leaves the driver's controller connection up (a panel keeps
    // running); a host that ends must close it before the library's threads
    // meet the process exit.
    PfCloseHandle pfClose = reinterpret_cast<PfCloseHandle>(dlsym(pLib, "closehandel"));
    if (pfClose != nullptr) {
        pfClose(nullptr);
    }
    std::printf("panel-host: %zu requests, %d failed\n", requests.size(), nFailed);
    std::fflush(stdout);
    return nFailed == 0 ? 0 : 1;
}

}  // namespace klpanel
