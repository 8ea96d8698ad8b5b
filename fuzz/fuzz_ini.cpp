// Settings files are read from disk and edited in memory: load arbitrary bytes
// as an INI file, read, write and remove keys of a few components (names
// taken from the input as well as fixed ones), write the file back, reload it
// and check that every value written reads back unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "CmpSettingsItf.h"

namespace {

// One folder for the whole run, removed when the process ends.
class TempFolder {
public:
    TempFolder() {
        char templ[] = "/tmp/fuzz_ini.XXXXXX";
        const char* dir = mkdtemp(templ);
        if (dir == nullptr) {
            abort();
        }
        m_dir = dir;
        m_file = m_dir + "/fuzz.cfg";
    }
    ~TempFolder() {
        unlink(m_file.c_str());
        unlink((m_file + "_").c_str());
        rmdir(m_dir.c_str());
    }
    const std::string& File() const { return m_file; }

private:
    std::string m_dir;
    std::string m_file;
};

std::string TempFile() {
    static TempFolder s_folder;
    return s_folder.File();
}

// The first "[name]" and the first "key =" of the input, so that the edits
// also reach sections and keys the input holds.
std::string Between(const std::string& text, char open, char close) {
    size_t b = text.find(open);
    if (b == std::string::npos) {
        return std::string();
    }
    size_t e = text.find(close, b + 1);
    if (e == std::string::npos || e - b > 40) {
        return std::string();
    }
    return text.substr(b + 1, e - b - 1);
}

std::string FirstKey(const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos) {
        return std::string();
    }
    size_t start = text.find_last_of("\r\n", eq);
    start = start == std::string::npos ? 0 : start + 1;
    std::string key = text.substr(start, eq - start);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) {
        key.pop_back();
    }
    while (!key.empty() && (key[0] == ' ' || key[0] == '\t')) {
        key.erase(0, 1);
    }
    return key.size() <= 40 ? key : std::string();
}

void Check(bool bHolds) {
    if (!bHolds) {
        abort();
    }
}

struct Expect {
    std::string cmp;
    std::string key;
    std::string text;
    RTS_I32 iValue = 0;
    std::u16string wide;
    std::string bin;
    int kind = 0;  // 0 none, 1 text, 2 int, 3 wide, 4 bytes
};

void Verify(const Expect& e) {
    const char* cmp = e.cmp.c_str();
    const char* key = e.key.c_str();
    if (e.kind == 1) {
        char buf[64];
        RTS_I32 len = sizeof(buf);
        Check(SettgBeGetStringValue(cmp, key, buf, &len, nullptr) == ERR_OK && e.text == buf);
    } else if (e.kind == 2) {
        RTS_I32 v = 0;
        Check(SettgBeGetIntValue(cmp, key, &v, 0) == ERR_OK && v == e.iValue);
    } else if (e.kind == 3) {
        RTS_WCHAR buf[64];
        RTS_I32 len = 64;
        Check(SettgBeGetWStringValue(cmp, key, buf, &len, nullptr) == ERR_OK &&
              std::u16string(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(len)) == e.wide);
    } else if (e.kind == 4) {
        RTS_UI8 buf[64];
        RTS_I32 len = 64;
        Check(SettgBeGetBinValue(cmp, key, buf, &len) == ERR_OK &&
              std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(len)) == e.bin);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) {
        return 0;
    }
    std::string path = TempFile();
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    fwrite(data, 1, size, f);
    fclose(f);
    unlink((path + "_").c_str());

    RTS_RESULT r = ERR_OK;
    if (IniOpen(path.c_str(), 0, &r) == nullptr) {
        SettgBeExit();
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string section = Between(text, '[', ']');
    const std::string inputKey = FirstKey(text);
    const uint8_t sel = size > 0 ? data[0] : 0;

    // Reads into small buffers must stay inside them.
    for (const std::string& cmp : {section, std::string("CmpLog"), std::string("A")}) {
        for (const std::string& key : {inputKey, std::string("Key"), std::string("Logger.0.Enable")}) {
            char small[4];
            RTS_I32 len = sizeof(small);
            SettgBeGetStringValue(cmp.c_str(), key.c_str(), small, &len, "default");
            RTS_I32 v = 0;
            SettgBeGetIntValue(cmp.c_str(), key.c_str(), &v, 0);
            RTS_WCHAR wide[3];
            len = 3;
            SettgBeGetWStringValue(cmp.c_str(), key.c_str(), wide, &len, nullptr);
            RTS_UI8 bytes[3];
            len = 3;
            SettgBeGetBinValue(cmp.c_str(), key.c_str(), bytes, &len);
        }
    }

    // Edits inside one update bracket, so that the file is written once. A
    // later edit of the same key (names compare in any case) voids the
    // expectation of an earlier one.
    SettgBeBeginUpdate();
    Expect e[4];
    auto same = [](const std::string& a, const std::string& b) {
        return strcasecmp(a.c_str(), b.c_str()) == 0;
    };
    auto voidEarlier = [&](int upTo, const std::string& cmp, const std::string* pKey) {
        for (int i = 0; i < upTo; ++i) {
            if (same(e[i].cmp, cmp) && (pKey == nullptr || same(e[i].key, *pKey))) {
                e[i].kind = 0;
            }
        }
    };
    auto settle = [&](int i, RTS_RESULT result) {
        if (result != ERR_OK) {
            e[i].kind = 0;
            return;
        }
        voidEarlier(i, e[i].cmp, &e[i].key);
        Verify(e[i]);
    };

    e[0].cmp = section.empty() ? "CmpLog" : section;
    e[0].key = inputKey.empty() ? "Key" : inputKey;
    e[0].kind = 1;
    e[0].text = "value 1";
    settle(0, SettgBeSetStringValue(e[0].cmp.c_str(), e[0].key.c_str(), e[0].text.c_str(), 100));

    e[1].cmp = "CmpLog";
    e[1].key = "Logger.0.Enable";
    e[1].kind = 2;
    e[1].iValue = static_cast<RTS_I32>(0x80000000u | sel);
    char szInt[16];
    if ((sel & 1) != 0) {
        snprintf(szInt, sizeof(szInt), "0x%X", static_cast<unsigned>(e[1].iValue));
    } else {
        snprintf(szInt, sizeof(szInt), "%d", static_cast<int>(e[1].iValue));
    }
    settle(1, SettgBeSetStringValue(e[1].cmp.c_str(), e[1].key.c_str(), szInt, 16));

    e[2].cmp = "A";
    e[2].key = "Wide";
    e[2].kind = 3;
    e[2].wide = u" ;\"[]\\x\x4E2D";
    e[2].wide += static_cast<char16_t>(sel != 0 ? sel : 0x7F);  // a zero would end the text
    settle(2, SettgBeSetWStringValue(e[2].cmp.c_str(), e[2].key.c_str(),
                                     reinterpret_cast<const RTS_WCHAR*>(e[2].wide.data()),
                                     static_cast<RTS_I32>(e[2].wide.size())));

    e[3].cmp = section.empty() ? "A" : section;
    e[3].key = "Bytes";
    e[3].kind = 4;
    e[3].bin = text.substr(0, 16);
    if (e[3].bin.empty()) {
        e[3].bin = "x";
    }
    settle(3, SettgBeSetBinValue(e[3].cmp.c_str(), e[3].key.c_str(),
                                 reinterpret_cast<const RTS_UI8*>(e[3].bin.data()),
                                 static_cast<RTS_I32>(e[3].bin.size())));

    if ((sel & 2) != 0) {
        SettgBeRemoveKey(section.c_str(), inputKey.c_str());
        voidEarlier(4, section, &inputKey);
        const std::string key = "Key";
        SettgBeRemoveKey("CmpLog", key.c_str());
        voidEarlier(4, "CmpLog", &key);
    }
    if ((sel & 4) != 0) {
        SettgBeClearComponent("B");
        voidEarlier(4, "B", nullptr);
        SettgBeSetStringValue("B", "k", "v", 1);
    }
    Check(SettgBeEndUpdate() == ERR_OK);

    // What was written reads back the same after a reload from the disk.
    Check(SettgBeUpdateCache() == ERR_OK);
    for (const Expect& x : e) {
        Verify(x);
    }
    SettgBeExit();
    return 0;
}
