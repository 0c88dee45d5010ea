/*
 * Per-thread error record of the core library.
 *
 * Conventions of every core-library header:
 *  - Functions return an int (-1 on failure, 0/1/count on success) or a
 *    pointer (null on failure). The reason for the last failure is left in
 *    the calling thread's error record: code, module name, line.
 *  - The record is overwritten by each new error of the same thread and
 *    never cleared by a successful call: read it right after a failure.
 *  - Threads never see each other's records; nothing here takes a lock.
 *
 * Callers log it as "[0x%04X %s:%d]" with XLIBCErrGet(), XLIBCErrorGetFile()
 * and XLIBCErrorGetLine().
 */
#ifndef KEST_ERROR_H
#define KEST_ERROR_H

#include <kest/export.h>

KEST_BEGIN_DECLS

enum {
    ERR_BUFFER_SIZE = 0x0100,        /* a result does not fit the caller's buffer */
    ERR_OUT_OF_MEMORY = 0x0200,
    ERR_LOCK = 0x0400,               /* a lock could not be obtained */
    ERR_UNLOCK = 0x0500,             /* a lock could not be released */
    ERR_NOT_EXIST = 0x0700,          /* a file does not exist */
    ERR_NOT_DIRECTORY = 0x0800,      /* a path exists and is not a directory */
    ERR_OPEN = 0x0900,               /* cannot open or create, or wrong type of path */
    ERR_READ = 0x0A00,
    ERR_WRITE = 0x0B00,              /* write, flush, sync, owner, mode or close failed */
    ERR_BAD_PARAMETERS = 0x0D00,
    ERR_KEY_NOT_FOUND = 0x2000,
    ERR_SEEK = 0x2600,
    ERR_STAT = 0x2700,
    ERR_RENAME = 0x2800,
    ERR_ABNORMAL_EXIT = 0x2A00,      /* a program did not run to a normal exit */
    ERR_EMPTY_DIRECTORY_NAME = 0x3100,
    ERR_FILE_TOO_SHORT = 0x3200,
    ERR_MISMATCH = 0x3800,
    ERR_MKDIR = 0x3C00,
    ERR_SERVICE_CONFIG = 0x4000,
    ERR_UNICODE = 0x8000,
    ERR_SYSTEM_CALL = 0x8100,
    ERR_VOLUME_INFO = 0x8300,
    ERR_FORK = 0x9700,
    ERR_PATH_COMPONENT = 0xA100,     /* a path component is not a directory */
    ERR_JOIN_BUFFER = 0xBF00,        /* output buffer too small for a joined text */
    ERR_PIPE_STREAM = 0xE300,        /* pipe stream unknown or child not reaped */
    ERR_VOLUME_TABLE = 0xF100
};

/* Stores code, module (a constant string that outlives the thread) and line. */
KEST_API void XLIBCErrSetEx(int code, const char *module, int line);
KEST_API int XLIBCErrGet(void);
/* The module name of the last error, or null when the thread had none. */
KEST_API const char *XLIBCErrorGetFile(void);
KEST_API int XLIBCErrorGetLine(void);

KEST_END_DECLS

#endif
