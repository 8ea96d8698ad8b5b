// The panel host's requests: the command line, the request lines (from the
// command line or a script file), the register buffers a request carries
// and their printing, and the small local register store behind the
// panel's UserOper callbacks. Nothing here touches the driver, so it can be
// tested on its own.
//
// Request lines, one per line ('#' starts a comment):
//   rd  TAG ADDR TYPE WIDTH [@P=V] [== VALUE...]   "RdOne"; == checks the values read
//   wr  TAG ADDR TYPE WIDTH [@P=V] VALUE...        "WrOne"
//   grp ITEM ; ITEM ; ...                          "RdGrp", ITEM = TAG ADDR TYPE WIDTH [@P=V]
//   local NAME VALUE...                            set 16-bit local registers NAME[0..]
// TYPE is the register width: bit, 16, 32 or 64. @P=V is index mode: run-time
// index position P (1 to 15) with index value V. VALUEs: integers (decimal,
// 0x hex, negative), reals (32 and 64 only: 1.5), bits 0/1, and for 16-bit
// registers 'text' packed two characters per register.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kestrolink/PlcDrv.h"

namespace klpanel {

struct PanelOptions {
    std::string libraryPath;  // empty: the default
    std::string address;
    uint16_t usPort = 0;
    std::string projectDir;
    uint16_t usPortNo = 4096;  // the panel's first Ethernet port
    std::string scriptFile;
    std::string charsetRoot;  // root for the driver's character-set files (empty: the driver's default)
    std::vector<std::string> requestLines;
    bool bHelp = false;
};

bool ParsePanelArgs(int argc, const char* const* argv, PanelOptions* pOptions, std::string* pError);
std::string PanelUsage();

enum class RegWidth { Bit = 0, W16 = 2, W32 = 4, W64 = 8 };

struct PanelItem {
    uint32_t ulTag = 0;   // tag ID of the tag file (position in the tag table)
    uint32_t ulAddr = 0;  // element address
    RegWidth width = RegWidth::W16;
    uint16_t usCount = 1;    // elements (the register's _width)
    uint8_t byIndexPos = 0;  // 0: no run-time index
    uint16_t usIndexValue = 0;
};

enum class PanelCommand { Read, ReadGroup, Write, Local };

struct PanelRequest {
    PanelCommand command = PanelCommand::Read;
    std::vector<PanelItem> items;
    std::vector<uint8_t> values;  // write: the panel's buffer; read: the expected bytes
    bool bExpect = false;
    std::string localName;              // local
    std::vector<uint16_t> localValues;  // local
    std::string where;                  // "script.txt:3" or "request 2", for messages
    std::string text;                   // the line as given
};

// One request line; false with a reason (without the place, which the
// caller adds). Blank and comment lines give *pbEmpty.
bool ParseRequestLine(const std::string& line, PanelRequest* pRequest, bool* pbEmpty, std::string* pError);
// Every line of a script; false with "FILE:LINE: reason" for the first bad one.
bool ParseScript(const std::string& text, const std::string& fileName, std::vector<PanelRequest>* pRequests,
                 std::string* pError);

// Bytes of the panel's buffer for an item: one byte per bit, else the
// register width times the count.
size_t ItemBufferSize(const PanelItem& item);

// The panel's register record for an item (tag ID split into _regId and
// _subRegId, index mode in _flag, _subRegId and _subAddr).
RegAttr MakeRegAttr(const PanelItem& item);

// The buffer as hex, and decoded by the register width.
std::string FormatBuffer(const PanelItem& item, const uint8_t* pBuffer);

// Name of a driver result ("PLC_OK", "3 (request failed)").
std::string ResultName(int iResult);

// The panel's local registers, reached by the UserOper callbacks
// (name, element address, element count, buffer, bytes per element).
class LocalRegisters {
public:
    void Set(const std::string& name, const std::vector<uint16_t>& values);
    // 0, or -1 for an unknown name, a range outside the registers or a bad size.
    int Read(const std::string& name, int iAddr, int iCount, void* pBuffer, int iElementSize) const;
    int Write(const std::string& name, int iAddr, int iCount, const void* pBuffer, int iElementSize);
    const std::vector<uint16_t>* Find(const std::string& name) const;

private:
    std::map<std::string, std::vector<uint16_t>> m_registers;
};

}  // namespace klpanel
