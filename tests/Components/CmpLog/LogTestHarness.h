// Runs the log component without the component manager: its entry, import and
// hook functions are called directly, and the functions it imports come from a
// fake lookup the test fills (real pools and settings, fake instances and
// component names). A recording backend class stands in for real backends.
#pragma once

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CMItf.h"
#include "CmpLogBackendFileItf.h"
#include "CmpLogItf.h"

namespace logtest {

constexpr RTS_UI32 kTestCmp = 0x5555;
// Recording backend classes; kTestClassBase + 0 ... + 3.
constexpr RTS_UI32 kTestClassBase = 0x7001;

struct Recorded {
    RTS_UI32 ClassId;
    LogEntry entry;
};

struct Recorder {
    std::mutex m;
    std::vector<Recorded> entries;
    std::atomic<int> iCreates{0};
    std::atomic<int> iDeletes{0};
    std::atomic<int> iInstanceDeletes{0};
    std::atomic<int> iRefuse{0};  // adds still to refuse

    void Reset() {
        std::lock_guard<std::mutex> lock(m);
        entries.clear();
        iCreates = 0;
        iDeletes = 0;
        iInstanceDeletes = 0;
        iRefuse = 0;
    }
    // Info ids of the entries of one component handed to one class, in order.
    std::vector<RTS_UI32> InfoIds(RTS_UI32 ClassId = kTestClassBase, RTS_UI32 CmpId = kTestCmp) {
        std::lock_guard<std::mutex> lock(m);
        std::vector<RTS_UI32> out;
        for (const Recorded& r : entries) {
            if (r.ClassId == ClassId && r.entry.CmpId == CmpId) {
                out.push_back(r.entry.iInfoID);
            }
        }
        return out;
    }
};

inline Recorder g_rec;

struct TestHandle {
    RTS_UI32 ClassId;
};

inline RTS_HANDLE TestCreate(RTS_UI32 ClassId, RTS_HANDLE, const LogOptions*, RTS_RESULT* pResult) {
    ++g_rec.iCreates;
    *pResult = ERR_OK;
    return new TestHandle{ClassId};
}

inline RTS_RESULT TestDelete(RTS_HANDLE h, RTS_HANDLE) {
    ++g_rec.iDeletes;
    delete static_cast<TestHandle*>(h);
    return ERR_OK;
}

inline void TestAdd(RTS_HANDLE h, RTS_HANDLE, const LogEntry* pEntry, RTS_RESULT* pResult) {
    if (g_rec.iRefuse.load() > 0) {
        --g_rec.iRefuse;
        *pResult = ERR_FAILED;
        return;
    }
    std::lock_guard<std::mutex> lock(g_rec.m);
    g_rec.entries.push_back(Recorded{static_cast<TestHandle*>(h)->ClassId, *pEntry});
}

struct TestInstance {
    ICmpLogBackend_C itf;
};

struct FakeManager {
    std::map<std::string, RTS_VOID_FCTPTR> apis;
    std::string strCmpName;     // CMGetCmpName's answer for kTestCmp
    bool bFileBackend = false;  // class 267 instances are real file writers
    std::vector<std::string> exported;
    void* pLastInstance = nullptr;  // the test backend instance created last
};

inline FakeManager g_fake;

inline RTS_RESULT FakeGetAPI(const char* pszName, RTS_VOID_FCTPTR* ppf, RTS_UI32) {
    auto it = g_fake.apis.find(pszName);
    if (it == g_fake.apis.end()) {
        return ERR_NO_OBJECT;
    }
    *ppf = it->second;
    return ERR_OK;
}

inline RTS_RESULT FakeRegisterAPI(const char* pszName, RTS_VOID_FCTPTR, int, RTS_UI32) {
    g_fake.exported.push_back(pszName);
    return ERR_OK;
}

inline RTS_HANDLE FakeCreateInstance(RTS_UI32 ClassId, RTS_RESULT* pResult) {
    if (ClassId >= kTestClassBase && ClassId < kTestClassBase + 4) {
        *pResult = ERR_OK;
        auto* p = new TestInstance{{ITFID_ICmpLogBackend, TestCreate, TestDelete, TestAdd}};
        g_fake.pLastInstance = p;
        return p;
    }
    if (ClassId == CLASSID_CCmpLogBackendFile && g_fake.bFileBackend) {
        return CmpLogBackendFileCreateInstance(ClassId, pResult);
    }
    *pResult = ERR_NO_OBJECT;
    return RTS_INVALID_HANDLE;
}

inline RTS_RESULT FakeDeleteInstance2(RTS_UI32 ClassId, void* pIBase) {
    if (ClassId == CLASSID_CCmpLogBackendFile) {
        return CmpLogBackendFileDeleteInstance(pIBase);
    }
    ++g_rec.iInstanceDeletes;
    delete static_cast<TestInstance*>(pIBase);
    return ERR_OK;
}

inline RTS_RESULT FakeGetCmpName(RTS_UI32 CmpId, char* pszName, int nMaxLen) {
    if (CmpId != kTestCmp || g_fake.strCmpName.empty()) {
        return ERR_NO_OBJECT;
    }
    return KlStrCopy(pszName, static_cast<RTS_SIZE>(nMaxLen), g_fake.strCmpName.c_str());
}

// The log between CH_INIT_SYSTEM and CH_EXIT_SYSTEM. Fill g_fake.apis first.
class LogRuntime {
public:
    explicit LogRuntime(bool bInit2 = true) {
        memset(&m_init, 0, sizeof(m_init));
        m_init.pfCMGetAPI = FakeGetAPI;
        m_init.pfCMRegisterAPI = FakeRegisterAPI;
        g_fake.apis["CMCreateInstance"] = reinterpret_cast<RTS_VOID_FCTPTR>(FakeCreateInstance);
        g_fake.apis["CMDeleteInstance2"] = reinterpret_cast<RTS_VOID_FCTPTR>(FakeDeleteInstance2);
        g_fake.apis["CMGetCmpName"] = reinterpret_cast<RTS_VOID_FCTPTR>(FakeGetCmpName);
        CmpLog__Entry(&m_init);
        m_init.pfImportFunctions();
        Hook(CH_INIT_SYSTEM);
        Hook(CH_INIT_SYSTEM2);
        if (bInit2) {
            Hook(CH_INIT2);
        }
    }
    ~LogRuntime() { Stop(); }
    LogRuntime(const LogRuntime&) = delete;
    LogRuntime& operator=(const LogRuntime&) = delete;

    RTS_RESULT Hook(RTS_UI32 ulHook, RTS_UINTPTR p1 = 0, RTS_UINTPTR p2 = 0) {
        return m_init.pfHookFunction(ulHook, p1, p2);
    }
    void Stop() {
        if (!m_bStopped) {
            m_bStopped = true;
            Hook(CH_EXIT3);
            Hook(CH_EXIT2);
            Hook(CH_EXIT_SYSTEM);
        }
    }
    INIT_STRUCT& Init() { return m_init; }

private:
    INIT_STRUCT m_init;
    bool m_bStopped = false;
};

inline LogOptions Options(const char* pszName, RTS_I32 iType, RTS_UI32 ulFilter, RTS_I32 iMaxEntries,
                          char* pszPath = nullptr) {
    LogOptions lo;
    memset(&lo, 0, sizeof(lo));
    KlStrCopy(lo.szName, sizeof(lo.szName), pszName);
    lo.bEnable = 1;
    lo.iType = iType;
    lo.iFilter = static_cast<RTS_I32>(ulFilter);
    lo.iMaxEntries = iMaxEntries;
    lo.iMaxFileSize = 100000;
    lo.iMaxFiles = 3;
    lo.pszPath = pszPath;
    return lo;
}

inline RTS_HANDLE Create(const LogOptions& lo) {
    RTS_RESULT r = ERR_OK;
    return LogCreate(&lo, &r);
}

// Texts of all entries of a logger, oldest first.
inline std::vector<std::string> Texts(RTS_HANDLE hLog, RTS_UI32 CmpId = 0xFFFFFFFFu) {
    std::vector<std::string> out;
    LogEntry e;
    for (RTS_I32 i = 0; LogGetEntryByQueueIndex(hLog, i, &e) == ERR_OK && i < LOG_MAX_ENTRIES; ++i) {
        if (CmpId == 0xFFFFFFFFu || e.CmpId == CmpId) {
            out.push_back(e.szInfo);
        }
    }
    return out;
}

}  // namespace logtest
