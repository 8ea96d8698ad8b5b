// Files of the platform layer: thin wrappers over POSIX.
#pragma once

#include "CmpStd.h"

enum ACCESS_MODE {
    AM_READ = 0,
    AM_WRITE = 1,
    AM_APPEND = 2,
    AM_READ_PLUS = 3,
    AM_WRITE_PLUS = 4,
    AM_APPEND_PLUS = 5
};

RTS_HANDLE SysFileOpen(const char* pszFile, ACCESS_MODE am, RTS_RESULT* pResult);
RTS_RESULT SysFileClose(RTS_HANDLE hFile);
RTS_SIZE SysFileRead(RTS_HANDLE hFile, void* pbyBuffer, RTS_SIZE ulSize, RTS_RESULT* pResult);
RTS_SIZE SysFileWrite(RTS_HANDLE hFile, const void* pbyBuffer, RTS_SIZE ulSize, RTS_RESULT* pResult);
// Pushes written data to the disk (fsync).
RTS_RESULT SysFileFlush(RTS_HANDLE hFile);
RTS_RESULT SysFileDelete(const char* pszFile);
RTS_RESULT SysFileRename(const char* pszOldFile, const char* pszNewFile);
// Size of a file by name; ERR_NO_OBJECT when it does not exist.
RTS_SIZE SysFileGetSize(const char* pszFile, RTS_RESULT* pResult);
RTS_RESULT SysFileCopy(const char* pszDestFile, const char* pszSourceFile, RTS_SIZE* pulCopied);
RTS_RESULT SysFileExists(const char* pszFile);
