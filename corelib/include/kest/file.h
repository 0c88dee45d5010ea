/*
 * Small file helpers: directory listing, touch, existence, error-log lines.
 * Failures leave a code in the thread's error record (kest/error.h).
 */
#ifndef KEST_FILE_H
#define KEST_FILE_H

#include <kest/export.h>
#include <kest/szlist.h>

KEST_BEGIN_DECLS

/*
 * Appends the names of dir's entries (not "." or "..") in directory order.
 * flags: ENUM_DIR_DIRS, ENUM_DIR_FILES (neither: both), and with a pattern
 * the XLIBCFileLineMatch flags (kest/kvfile.h). Returns the list's count.
 */
KEST_API int XLIBCFileEnumDir(const char *dir, const char *pattern, SzList **list, int flags);
/* Creates an empty file unless a regular file is already there. */
KEST_API int XLIBCFileTouch(const char *path);
/* 1 for an existing regular file (links followed), else 0. */
KEST_API int XLIBCFileExist(const char *path);
/* Appends message and a newline, synced. */
KEST_API int XLIBCErrorLogAppend(const char *path, const char *message);

KEST_END_DECLS

#endif
