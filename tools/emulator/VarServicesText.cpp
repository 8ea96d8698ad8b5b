// The emulator's variable services, the parts that are driven from outside
// the protocol: the command-line switches, values given as text, and the
// script task that changes values while clients run. See VarServices.h.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "SysEvent.h"
#include "SysTime.h"
#include "VarServices.h"

namespace klemu {

namespace {

constexpr size_t kMaxScriptSteps = 100000;
constexpr uint32_t kMaxWaitMs = 3600000;
constexpr uint32_t kMinLoopMs = 10;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return std::string();
    }
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool ParseU32(const std::string& text, uint32_t ulMin, uint32_t ulMax, uint32_t* pul) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    unsigned long long v = strtoull(text.c_str(), &pEnd, 10);
    if (errno != 0 || pEnd == nullptr || *pEnd != '\0' || v < ulMin || v > ulMax) {
        return false;
    }
    *pul = static_cast<uint32_t>(v);
    return true;
}

void PutNumber(uint64_t v, uint32_t n, bool bBigEndian, uint8_t* p) {
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t b = static_cast<uint8_t>(v >> (8 * i));
        p[bBigEndian ? n - 1 - i : i] = b;
    }
}

// UTF-8 to 16-bit code units; characters outside the basic plane and bad
// bytes become '?'.
std::vector<uint16_t> Utf16(const std::string& s) {
    std::vector<uint16_t> out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 3;
        if (c >= 0x80 && (c & 0xC0) == 0x80) {
            out.push_back('?');
            ++i;
            continue;
        }
        unsigned v = n == 0 ? c : n == 1 ? (c & 0x1F) : n == 2 ? (c & 0x0F) : (c & 0x07);
        bool bOk = i + n < s.size() || n == 0;
        for (size_t k = 1; bOk && k <= n; ++k) {
            unsigned cc = static_cast<unsigned char>(s[i + k]);
            bOk = (cc & 0xC0) == 0x80;
            v = (v << 6) | (cc & 0x3F);
        }
        if (!bOk) {
            out.push_back('?');
            ++i;
            continue;
        }
        out.push_back(v <= 0xFFFF && (v < 0xD800 || v > 0xDFFF) ? static_cast<uint16_t>(v) : '?');
        i += n + 1;
    }
    return out;
}

}  // namespace

// ---- options ------------------------------------------------------------------------------

bool ParseVarServicesOption(const std::string& name, const std::string& value, VarServicesOptions* pOptions,
                            bool* pbKnown, std::string* pError) {
    *pbKnown = true;
    if (name == "--extendable-lists") {
        pOptions->bExtendableLists = true;
        return true;
    }
    if (name == "--script") {
        if (value.empty()) {
            *pError = "--script needs a file name";
            return false;
        }
        pOptions->scriptFile = value;
        return true;
    }
    if (name == "--var-buffer-size" || name == "--max-var-size") {
        uint32_t ul = 0;
        uint32_t ulMin = name == "--var-buffer-size" ? VarServices::kMinChannelBufferSize : 1;
        if (!ParseU32(value, ulMin, 0xFFFFFFFFu, &ul)) {
            *pError = name + " needs a number of at least " + std::to_string(ulMin);
            return false;
        }
        (name == "--var-buffer-size" ? pOptions->ulChannelBufferSize : pOptions->ulMaxVariableSize) = ul;
        return true;
    }
    *pbKnown = false;
    return true;
}

bool VarServicesOptionTakesValue(const std::string& name) {
    return name == "--script" || name == "--var-buffer-size" || name == "--max-var-size";
}

const char* VarServicesUsage() {
    return "  --extendable-lists        variable lists accept additions and removals (list flag 0x10)\n"
           "  --var-buffer-size N       channel buffer of the clients, the bound of every variable reply\n"
           "                            (default 512000, at least 256)\n"
           "  --max-var-size N          refuse variables larger than N bytes (default: the buffer size)\n"
           "  --script FILE             change variables while running; FILE holds lines\n"
           "                              set NAME VALUE   (TRUE/FALSE, numbers, \"text\", hex:00A1...)\n"
           "                              wait MS          (pause, at most 3600000)\n"
           "                              loop             (last line: start again)\n"
           "                            and '#' comments; values of numbers follow the byte order\n"
           "                            announced to the clients\n";
}

bool VarServices::SetValueText(const std::string& name, const std::string& text, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    long i = Find(name);
    if (i < 0) {
        if (pError != nullptr) {
            *pError = "unknown variable \"" + name + "\"";
        }
        return false;
    }
    std::vector<uint8_t> bytes;
    std::string error;
    if (!Encode(m_symbols[i], text, &bytes, &error)) {
        if (pError != nullptr) {
            *pError = error;
        }
        return false;
    }
    if (!bytes.empty()) {
        memcpy(m_area.data() + m_symbols[i].ulOffset, bytes.data(), bytes.size());
    }
    return true;
}

bool VarServices::Encode(const Symbol& sym, const std::string& rawText, std::vector<uint8_t>* pBytes,
                         std::string* pError) const {
    std::string text = Trim(rawText);
    const uint32_t n = sym.ulSize;
    if (text.compare(0, 4, "hex:") == 0) {
        std::string hex = text.substr(4);
        if (hex.size() % 2 != 0 || hex.size() / 2 > n) {
            *pError = "hex value of " + std::to_string(hex.size() / 2) + " bytes for a variable of " +
                      std::to_string(n);
            return false;
        }
        pBytes->clear();
        for (size_t k = 0; k < hex.size(); k += 2) {
            char sz[3] = {hex[k], hex[k + 1], 0};
            char* pEnd = nullptr;
            unsigned long b = strtoul(sz, &pEnd, 16);
            if (pEnd != sz + 2 || !isxdigit(static_cast<unsigned char>(sz[0]))) {
                *pError = "bad hex digits \"" + std::string(sz) + "\"";
                return false;
            }
            pBytes->push_back(static_cast<uint8_t>(b));
        }
        return true;
    }
    pBytes->assign(n, 0);
    const bool bBig = m_options.bBigEndian;
    switch (sym.ulTypeClass) {
        case kTcString:
        case kTcWstring: {
            if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
                text = text.substr(1, text.size() - 2);
            }
            if (sym.ulTypeClass == kTcString) {
                size_t len = n == 0 ? 0 : std::min<size_t>(text.size(), n - 1);
                memcpy(pBytes->data(), text.data(), len);
            } else {
                std::vector<uint16_t> w = Utf16(text);
                size_t len = n < 2 ? 0 : std::min<size_t>(w.size(), n / 2 - 1);
                for (size_t k = 0; k < len; ++k) {
                    PutNumber(w[k], 2, bBig, pBytes->data() + 2 * k);
                }
            }
            return true;
        }
        case kTcReal:
        case kTcLreal: {
            errno = 0;
            char* pEnd = nullptr;
            double d = strtod(text.c_str(), &pEnd);
            if (text.empty() || errno != 0 || *pEnd != '\0' || (n != 4 && n != 8)) {
                *pError = "\"" + text + "\" is no floating-point value for " + sym.name;
                return false;
            }
            if (n == 4) {
                float f = static_cast<float>(d);
                uint32_t ul;
                memcpy(&ul, &f, 4);
                PutNumber(ul, 4, bBig, pBytes->data());
            } else {
                uint64_t ull;
                memcpy(&ull, &d, 8);
                PutNumber(ull, 8, bBig, pBytes->data());
            }
            return true;
        }
        case kTcBool:
        case kTcBit:
            if (n >= 1 && (text == "TRUE" || text == "true" || text == "1")) {
                (*pBytes)[0] = 1;
                return true;
            }
            if (n >= 1 && (text == "FALSE" || text == "false" || text == "0")) {
                return true;
            }
            *pError = "\"" + text + "\" is no BOOL value";
            return false;
        case kTcArray:
        case kTcUserdef:
        case kTcNone:
            *pError = sym.name + " takes only hex: values";
            return false;
        default:
            break;
    }
    if (n != 1 && n != 2 && n != 4 && n != 8) {
        *pError = sym.name + " takes only hex: values";
        return false;
    }
    const bool bSigned = sym.ulTypeClass == kTcSint || sym.ulTypeClass == kTcInt ||
                         sym.ulTypeClass == kTcDint || sym.ulTypeClass == kTcLint;
    const unsigned bits = 8 * n;
    errno = 0;
    char* pEnd = nullptr;
    uint64_t v = 0;
    bool bOk = !text.empty();
    if (bOk && text[0] == '-') {
        // Negative numbers only for the signed classes and enumerations.
        bOk = bSigned || sym.ulTypeClass == kTcEnum;
        long long ll = strtoll(text.c_str(), &pEnd, 0);
        long long llMin = bits == 64 ? LLONG_MIN : -(1ll << (bits - 1));
        bOk = bOk && errno == 0 && *pEnd == '\0' && ll >= llMin;
        v = static_cast<uint64_t>(ll);
    } else if (bOk) {
        unsigned long long ull = strtoull(text.c_str(), &pEnd, 0);
        unsigned long long ullMax =
            bSigned ? (bits == 64 ? static_cast<unsigned long long>(LLONG_MAX) : (1ull << (bits - 1)) - 1)
                    : (bits == 64 ? ULLONG_MAX : (1ull << bits) - 1);
        bOk = errno == 0 && *pEnd == '\0' && text[0] != '+' && ull <= ullMax;
        v = ull;
    }
    if (!bOk) {
        *pError = "\"" + text + "\" is no value for " + sym.name + " (" + std::to_string(n) + " bytes)";
        return false;
    }
    PutNumber(v, n, bBig, pBytes->data());
    return true;
}
// ---- script ----------------------------------------------------------------------------------

bool VarServices::StartScript(const std::string& fileName, std::string* pError) {
    StopScript();
    std::string file = fileName.empty() ? m_options.scriptFile : fileName;
    std::ifstream in(file);
    if (!in) {
        *pError = "cannot read script \"" + file + "\"";
        return false;
    }
    std::vector<ScriptStep> steps;
    bool bLoop = false;
    uint64_t ullWaits = 0;
    std::string line;
    unsigned lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string where = file + ":" + std::to_string(lineNo) + ": ";
        size_t hash = line.find('#');
        // A '#' inside a quoted text is part of it.
        if (hash != std::string::npos && line.find('"') < hash) {
            hash = std::string::npos;
        }
        std::string text = Trim(line.substr(0, hash));
        if (text.empty()) {
            continue;
        }
        if (bLoop) {
            *pError = where + "nothing may follow \"loop\"";
            return false;
        }
        if (steps.size() >= kMaxScriptSteps) {
            *pError = where + "too many lines";
            return false;
        }
        std::istringstream words(text);
        std::string verb;
        words >> verb;
        if (verb == "loop") {
            bLoop = true;
            continue;
        }
        ScriptStep step;
        if (verb == "wait") {
            std::string ms, extra;
            words >> ms >> extra;
            if (!ParseU32(ms, 0, kMaxWaitMs, &step.ulMs) || !extra.empty()) {
                *pError = where + "\"wait\" needs milliseconds (0 to 3600000)";
                return false;
            }
            step.kind = ScriptStep::Wait;
            ullWaits += step.ulMs;
        } else if (verb == "set") {
            words >> step.name;
            std::string value;
            std::getline(words, value);
            step.kind = ScriptStep::Set;
            std::lock_guard<std::mutex> lock(m_mutex);
            long lSym = Find(step.name);
            std::string error;
            if (lSym < 0) {
                *pError = where + "unknown variable \"" + step.name + "\"";
                return false;
            }
            if (!Encode(m_symbols[lSym], value, &step.bytes, &error)) {
                *pError = where + error;
                return false;
            }
        } else {
            *pError = where + "unknown command \"" + verb + "\"";
            return false;
        }
        steps.push_back(std::move(step));
    }
    if (bLoop && ullWaits < kMinLoopMs) {
        *pError =
            file + ": a looping script must wait at least " + std::to_string(kMinLoopMs) + " ms per round";
        return false;
    }
    m_script = std::move(steps);
    m_bScriptLoops = bLoop;
    RTS_RESULT r = ERR_OK;
    m_hScriptEvent = SysEventCreate(nullptr, &r);
    if (m_hScriptEvent == RTS_INVALID_HANDLE) {
        *pError = "no event for the script task";
        return false;
    }
    m_hScriptTask = SysTaskCreate("KlVarScript", ScriptEntry, this, TASKPRIO_NORMAL_BASE, 0, 0, nullptr, &r);
    if (m_hScriptTask == RTS_INVALID_HANDLE) {
        SysEventDelete(m_hScriptEvent);
        m_hScriptEvent = RTS_INVALID_HANDLE;
        *pError = "cannot start the script task";
        return false;
    }
    SysTaskResume(m_hScriptTask);
    return true;
}

void VarServices::StopScript() {
    if (m_hScriptTask != RTS_INVALID_HANDLE) {
        SysTaskSetExit(m_hScriptTask);
        SysEventSet(m_hScriptEvent);
        SysTaskExit(m_hScriptTask, 2000);
        m_hScriptTask = RTS_INVALID_HANDLE;
    }
    if (m_hScriptEvent != RTS_INVALID_HANDLE) {
        SysEventDelete(m_hScriptEvent);
        m_hScriptEvent = RTS_INVALID_HANDLE;
    }
}

void VarServices::ScriptEntry(SYS_TASK_PARAM* ptp) {
    static_cast<VarServices*>(ptp->pParam)->RunScript(ptp);
}

void VarServices::RunScript(SYS_TASK_PARAM* ptp) {
    do {
        for (const ScriptStep& step : m_script) {
            if (ptp->bExit.load() != 0) {
                return;
            }
            if (step.kind == ScriptStep::Wait) {
                uint32_t ulStart = SysTimeGetMs();
                for (;;) {
                    uint32_t ulElapsed = SysTimeGetMs() - ulStart;
                    if (ulElapsed >= step.ulMs || ptp->bExit.load() != 0) {
                        break;
                    }
                    SysEventWait(m_hScriptEvent, std::min<uint32_t>(step.ulMs - ulElapsed, 100));
                }
                continue;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            long lSym = Find(step.name);
            if (lSym >= 0 && step.bytes.size() <= m_symbols[lSym].ulSize && !step.bytes.empty()) {
                memcpy(m_area.data() + m_symbols[lSym].ulOffset, step.bytes.data(), step.bytes.size());
            }
        }
    } while (m_bScriptLoops && ptp->bExit.load() == 0);
}

}  // namespace klemu
