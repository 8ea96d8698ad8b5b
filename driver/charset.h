// Character sets of the panel driver: the tag file arrives in UTF-8, the
// controller's names are matched byte for byte in GB2312, and a panel's C
// library may lack the GB2312 converter, so the driver carries the C
// library's own conversion files and installs them when they are missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plc_driver {

// One conversion file carried inside the driver. A file that the build could
// not find has size 0 and is not installed.
struct CharsetFile {
    const char* pszName;
    const uint8_t* pData;
    size_t size;
};
// The three files, in the order "libGB.so", "gconv-modules", "EUC-CN.so"
// (generated at build time from the target C library's gconv folder).
extern const CharsetFile kCharsetFiles[3];

// Root under which the conversion files are installed ("/" on a panel). The
// environment variable KESTROLINK_CHARSET_ROOT sets it for a whole process;
// SetCharsetInstallRoot overrides it (an empty text goes back to the
// environment, then "/"). Tests point it at a temporary folder.
void SetCharsetInstallRoot(const std::string& root);
std::string CharsetInstallRoot();

// Converts the text in place from UTF-8 to GB2312; name holds at least 512
// bytes. 0, or -1 when the converter is missing or the text cannot be
// converted (name is then unchanged).
int utf8_gb2312(char* name);

// Writes the GB2312 copy of the port's tag file: 0, 3 (a file could not be
// opened or the port has no tag folder), 4 (a line could not be converted).
uint16_t csv_utf8_gb2312();

// Install the missing conversion files under <root>/lib/gconv and
// <root>/usr/lib/gconv; existing files are never overwritten.
void Init_File_GB();
void Init_File_GB_usr();

// Installs the missing files into one folder; the number of files written.
int InstallCharsetFiles(const std::string& dir);

}  // namespace plc_driver
