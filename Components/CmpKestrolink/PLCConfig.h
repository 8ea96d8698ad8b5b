// Ownership and queries of the connection configuration records
// (kestrolink/PlcConfig.h) and the reading of a configuration entry from an
// INI file. The connection object keeps one PlcConfig and one PlcDeviceDesc
// and manages them only through these functions: every text, the gateway
// record, the parameter array and each parameter are owned by the record and
// allocated with new/new[].
#pragma once

#include "CmpStd.h"
#include "kestrolink/PlcConfig.h"

// Defaults of a new configuration.
constexpr RTS_UI32 KL_DEFAULT_TIMEOUT = 10000;
constexpr RTS_UI32 KL_DEFAULT_NUM_TRIES = 3;
constexpr RTS_UI32 KL_DEFAULT_RECONNECT_TIME = 20000;
constexpr RTS_UI32 KL_DEFAULT_LOG_FILTER = 15;
constexpr RTS_UI32 KL_DEFAULT_GATEWAY_PORT = 1210;
constexpr RTS_UI32 KL_DEFAULT_GATEWAY3_PORT = 1217;
// ulWaitTime / ulReconnectTime value that is never scaled (no reconnect).
constexpr RTS_UI32 KL_TIME_UNCHANGED = 0xFFFFFFFFu;

// Sets every field of an empty configuration to its default (interface
// IT_ARTI, active, login, time-out 10000 ms, 3 tries, reconnect 20000 ms, log
// filter 15) with the given entry number. Owned texts must have been released.
void UtlSetDefaultPlcConfig(PlcConfig* pConfig, RTS_UI32 ulId) noexcept;

// Deep copy: pDest is emptied first, numbers and flags are copied, each text
// that is not empty is copied (an empty text becomes none) and the gateway
// record is copied. 0 if either is null or memory ran out (pDest is then
// empty), 1 otherwise; copying a record onto itself changes nothing.
int UtlCopyPlcConfig(PlcConfig* pDest, const PlcConfig* pSrc) noexcept;
// Releases the texts and the gateway record and sets them to none.
void UtlDeletePlcConfig(PlcConfig* pConfig) noexcept;

// The same for device descriptions: names, instance and project follow the
// empty-becomes-none rule; every parameter is copied with its value (string
// and wide-string values are copied as they are).
int UtlCopyPlcDeviceDesc(PlcDeviceDesc* pDest, const PlcDeviceDesc* pSrc) noexcept;
// Releases every text, parameter and the array; ulNumParams becomes 0.
void UtlDeletePlcDeviceDesc(PlcDeviceDesc* pDevice) noexcept;

// The first parameter of that name decides: PLC_PT_ULONG gives dw,
// PLC_PT_STRING the text as a number (UtlStrToULong); any other type, no such
// parameter or a null argument gives ulDefault.
RTS_UI32 UtlStructReadULong(const char* pszName, RTS_UI32 ulDefault, const PlcDeviceDesc* pDevice) noexcept;
// The first parameter of that name that is a string, a wide string or a
// number, as text cut to ulDest - 1 characters: 1. Otherwise the default is
// copied: 0. A destination size of 0 writes nothing.
int UtlStructReadString(const char* pszName, const char* pszDefault, char* pszDest, RTS_UI32 ulDest,
                        const PlcDeviceDesc* pDevice) noexcept;
// The same with a wide-text result (ulDest in 16-bit units).
int UtlStructReadWString(const char* pszName, const RTS_WCHAR* pwszDefault, RTS_WCHAR* pwszDest,
                         RTS_UI32 ulDest, const PlcDeviceDesc* pDevice) noexcept;
// Removes and releases every parameter of that name; returns how many.
int UtlStructRemoveParameter(const char* pszName, PlcDeviceDesc* pDevice) noexcept;

// Interface type of its INI text ("ARTI3" and the others); IT_INVALID for
// any other text.
ItfType UtlItfTypeFromText(const char* pszText) noexcept;

// Reads configuration entry pConfig->ulId of an INI file into the records
// (the work of the connection object's SetConfig(char* pszIniFile)). Unless
// the current device description has "ConfigIsOverloadable" set, the records
// start from defaults; otherwise the file's values overload them. Logging
// settings read from the file are stored in bLogToFile/ulLogFilter. Returns 0,
// or -1 when [Server] has no entry "PLC<id>"; the caller then enters
// STATE_NO_CONFIGURATION, and on 0 applies the logging settings and
// normalises the records (ValidateAndReadConfig).
RTS_RESULT UtlSetConfigFromIniFile(const char* pszIniFile, PlcConfig* pConfig,
                                   PlcDeviceDesc* pDevice) noexcept;

// The entry number whose [Server] "PLC<n>" equals the name exactly, for n
// below [Server] "PLCs"; -1 when none does or an argument is null.
RTS_I32 GetPlcIdbyName(const char* pszPlcName, const char* pszIniFile) noexcept;

// Writing a configuration file is not supported: -1, nothing is written.
RTS_RESULT UtlSaveConfigInFile(const char* pszIniFile) noexcept;
