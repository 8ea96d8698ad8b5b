// The file writer of the log (component CmpLogBackendFile): a log backend of
// class CLASSID_CCmpLogBackendFile (267) that appends one text line per entry
// to a file and rotates the file at a size limit.
//
// Line format: time stamp, component id, class, error id, info id, text:
//   2026-12-06T08:57:02.123456Z, Cmp=19, Class=0x1, Error=0, Info=0: text
// Control characters in the text are written as spaces, so an entry is always
// one line. The file is the logger's pszPath when that names a ".log" file,
// else the logger's name plus ".log" (not doubled) in the folder pszPath, or in
// the working directory without a path. When a line would take the file past
// iMaxFileSize bytes, file.(n-1) is dropped, file.k becomes file.(k+1) and the
// file becomes file.1, so at most iMaxFiles files exist (1 ... 99).
#pragma once

#include "CmpLogItf.h"
#include "CmpStd.h"

#define LOG_BACKEND_FILE_MAX_FILES 99

// The instance factory the component manager calls; also usable without the
// manager together with LogAttachBackend.
void* CmpLogBackendFileCreateInstance(RTS_UI32 ClassId, RTS_RESULT* pResult);
RTS_RESULT CmpLogBackendFileDeleteInstance(void* pIBase);

// Name of the file a backend writes for these options; ERR_BUFFERSIZE (and an
// empty text) when it does not fit the buffer.
RTS_RESULT LogBackendFileGetFileName(const LogOptions* pOptions, char* pszFile, RTS_SIZE size);

KL_COMPONENT_ENTRY(CmpLogBackendFile);
