// The emulator's variable access (service group 9, replies as group 0x89):
// the variables of a symbol-configuration file, held in one value area, and
// the services a client uses to reach them: list the symbol roots (7),
// define a variable list (1), delete it (2), read it (3), write by list or by
// name (4), a symbol's address (10), remove variables from a list (11).
//
// Values are raw bytes in the controller's byte order, stored as the client
// sends them and returned as stored: nothing is swapped. Only the integers
// inside the tags (handles, flags, sizes) follow the request header's byte
// order. Every variable starts as zeros.
//
// Names are full names ("SampleApp.GVL.iCounter"), compared without case;
// array elements ("a[3]", "m[1,7]") and structure members ("s.x", nested)
// are variables of their own whose bytes lie inside their parent's, so a
// write to a member shows in the structure and the other way round.
//
// A reply never exceeds the channel buffer granted to the client (an option
// here, as the responder does not see the channel): values that do not fit
// continue in a further request (result 0x1B), and a value larger than what
// is left of a reply travels in pieces of a multiple of 8 bytes.
//
// Tests change values while a client runs through SetValue/SetValueText; the
// emulator can run a script of timed "set" lines (--script). The switches,
// values as text and the script live in VarServicesText.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceServices.h"
#include "SysTask.h"

namespace klemu {

// One top-level tag of a request (defined in VarServices.cpp).
struct VarRequestTag;

// Results of group 9 in tags 0x14, 0x1C and 0x20.
constexpr uint16_t kVarOk = 0;
constexpr uint16_t kVarInvalidRequest = 2;      // malformed request
constexpr uint16_t kVarNoRoom = 6;              // a write's reply would not fit the channel buffer
constexpr uint16_t kVarSizeMismatch = 0xF;      // value size differs, or variable larger than the buffer
constexpr uint16_t kVarUnknownList = 0x10;      // unknown list or variable handle
constexpr uint16_t kVarNoMemory = 0x11;         // the emulator's bounds on lists are reached
constexpr uint16_t kVarNotSupported = 0x18;     // variables by address, additions to a fixed list
constexpr uint16_t kVarMoreFollows = 0x1B;      // the reply is cut: the client continues
constexpr uint16_t kVarUnknownVariable = 0x1C;  // no variable of this name
constexpr uint16_t kVarServiceUnknown = 0x302;  // removal from a list that is not extendable

// The controller's type classes, as the definition reply (0x1B) gives them.
enum VarTypeClass : uint32_t {
    kTcBool = 0,
    kTcBit = 1,
    kTcByte = 2,
    kTcWord = 3,
    kTcDword = 4,
    kTcLword = 5,
    kTcSint = 6,
    kTcInt = 7,
    kTcDint = 8,
    kTcLint = 9,
    kTcUsint = 10,
    kTcUint = 11,
    kTcUdint = 12,
    kTcUlint = 13,
    kTcReal = 14,
    kTcLreal = 15,
    kTcString = 16,
    kTcWstring = 17,
    kTcTime = 18,
    kTcDate = 19,
    kTcDateAndTime = 20,
    kTcTimeOfDay = 21,
    kTcPointer = 22,
    kTcEnum = 25,
    kTcArray = 26,
    kTcUserdef = 28,
    kTcNone = 29,
    kTcLtime = 37,
};

struct VarServicesOptions {
    // Lists answer flag 0x10: variables can be added to and removed from them.
    bool bExtendableLists = false;
    // The channel buffer granted to the client: the bound of every reply.
    uint32_t ulChannelBufferSize = 512000;
    // Variables larger than this are refused at definition (code 0xF);
    // 0 means the channel buffer size.
    uint32_t ulMaxVariableSize = 0;
    // Byte order of values given as text (SetValueText, scripts).
    bool bBigEndian = false;
    // Script of timed "set" lines, run by StartScript; empty for none.
    std::string scriptFile;
};

// One command-line switch of this group ("--extendable-lists", "--script FILE",
// "--var-buffer-size N", "--max-var-size N"): false with a reason for a bad
// value, *pbKnown false for a switch that is not one of these.
bool ParseVarServicesOption(const std::string& name, const std::string& value, VarServicesOptions* pOptions,
                            bool* pbKnown, std::string* pError);
bool VarServicesOptionTakesValue(const std::string& name);
const char* VarServicesUsage();

class VarServices : public IServiceGroup {
public:
    explicit VarServices(const VarServicesOptions& options = VarServicesOptions());
    ~VarServices() override;
    VarServices(const VarServices&) = delete;
    VarServices& operator=(const VarServices&) = delete;

    // Replaces the variables (all zero again) and drops every list.
    bool LoadSymbols(const std::string& fileName, std::string* pError);
    bool LoadSymbolData(const char* pData, size_t ulLen, std::string* pError);

    // Drops every list, gives list handles from 1 again and zeros every value.
    void Reset();

    uint16_t Group() const override { return 9; }
    bool Handle(const ServiceRequest& request, BINTAGWRITER* pWriter) override;

    // Clamped to at least kMinChannelBufferSize, so that a reply always has
    // room for one piece of a value.
    void SetChannelBufferSize(uint32_t ulSize);
    uint32_t ChannelBufferSize() const;
    void SetMaxVariableSize(uint32_t ulSize);
    void SetExtendableLists(bool bExtendable);

    // Raw bytes from the variable's first byte (at most its size; the rest
    // stays). False for an unknown name or more bytes than the variable has.
    bool SetValue(const std::string& name, const void* pValue, size_t ulSize);
    // A value as text, by the variable's type: TRUE/FALSE or a number for
    // BOOL; integers (decimal or 0x hex) for the integer, time and
    // enumeration types; floating point for REAL and LREAL; the text
    // (optionally in double quotes, cut to fit) for STRING and WSTRING; and
    // "hex:0011AA..." raw bytes for any type.
    bool SetValueText(const std::string& name, const std::string& text, std::string* pError);
    bool GetValue(const std::string& name, std::vector<uint8_t>* pValue) const;

    size_t NumSymbols() const;
    size_t NumLists() const;

    // Runs the script of options.scriptFile (or fileName) in a task of its
    // own: lines "set NAME VALUE" (VALUE as for SetValueText), "wait MS",
    // and a final "loop" to start again; '#' starts a comment. The whole
    // script is checked against the variables first.
    bool StartScript(const std::string& fileName, std::string* pError);
    void StopScript();

    static constexpr uint32_t kMinChannelBufferSize = 256;

private:
    struct Symbol {
        std::string name;
        uint32_t ulTypeClass = 0;
        uint32_t ulSize = 0;
        uint32_t ulOffset = 0;  // in the value area
        std::string address;    // "directaddress" of the file, may be empty
    };
    struct ListVar {
        uint32_t ulSymbol = 0;
        uint32_t hVar = 0;
        bool bDelivered = false;
        std::vector<uint8_t> last;  // value as last delivered (change tracking, pieces)
    };
    struct VarList {
        uint32_t ulFlags = 0;
        bool bExtendable = false;
        uint32_t ulNextVar = 1;
        std::vector<ListVar> vars;
    };
    struct ScriptStep {
        enum Kind { Set, Wait } kind = Wait;
        uint32_t ulMs = 0;
        std::string name;
        std::vector<uint8_t> bytes;  // the encoded value
    };

    bool Load(const char* pszFile, const char* pData, size_t ulLen, std::string* pError);
    long Find(const std::string& name) const;
    long FindExact(const std::string& name) const;
    bool Encode(const Symbol& sym, const std::string& text, std::vector<uint8_t>* pBytes,
                std::string* pError) const;
    uint32_t MaxVariableSize() const;
    uint32_t Room(BINTAGWRITER* pWriter) const;
    void Result(BINTAGWRITER* pWriter, bool bSwap, uint16_t usResult);

    void ListRoots(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter);
    void DefineList(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter);
    void DeleteList(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter);
    void ReadList(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter);
    void Write(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter);
    void SymbolAddress(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter);
    void RemoveVars(const std::vector<VarRequestTag>& tags, bool bSwap, BINTAGWRITER* pWriter);

    static void ScriptEntry(SYS_TASK_PARAM* ptp);
    void RunScript(SYS_TASK_PARAM* ptp);

    mutable std::mutex m_mutex;
    VarServicesOptions m_options;
    std::vector<Symbol> m_symbols;  // sorted by name without case
    std::vector<uint8_t> m_area;
    uint32_t m_ulConfigTimestamp = 0;
    std::map<uint32_t, VarList> m_lists;
    uint32_t m_ulNextList = 1;
    uint64_t m_ullListVars = 0;
    uint64_t m_ullListBytes = 0;

    std::vector<ScriptStep> m_script;
    bool m_bScriptLoops = false;
    RTS_HANDLE m_hScriptTask = RTS_INVALID_HANDLE;
    RTS_HANDLE m_hScriptEvent = RTS_INVALID_HANDLE;
};

}  // namespace klemu
