/*
 * Key-value configuration files: lines key=value, read and rewritten.
 *
 * The format: a line whose very first byte is '#' or ';' is a comment. The
 * key is the text before the first '=', the value the text after it; both
 * are trimmed of blanks (space, tab, line feed, carriage return) and then of
 * one pair of enclosing double quotes. No escapes. Keys compare exactly.
 * Section headers "[name]" do not scope keys.
 *
 * Writers replace the file whole: a temporary file "<path>.XXXXXX" in the
 * same directory, flushed and synced, given the old owner, group and mode,
 * renamed over the path, and the directory synced. On failure the old file
 * is untouched and the temporary file removed. Writers take no locks: two
 * concurrent writers can lose one update, readers always see a whole file
 * (use the named locks to exclude each other).
 *
 * Lists and hashes are passed by the address of their handle where an
 * operation may grow them (kest/szlist.h). Failures leave a code in the
 * thread's error record (kest/error.h).
 */
#ifndef KEST_KVFILE_H
#define KEST_KVFILE_H

#include <kest/export.h>
#include <kest/szlist.h>

KEST_BEGIN_DECLS

enum {
    KV_LAST_MATCH = 0x01,       /* XLIBCFileGetKeyValue: the last matching line decides */
    LINE_MATCH_PREFIX = 0x02,   /* XLIBCFileLineMatch / XLIBCFileEnumDir */
    LINE_MATCH_SUFFIX = 0x04,
    ENUM_DIR_DIRS = 0x40,       /* XLIBCFileEnumDir: directories */
    ENUM_DIR_FILES = 0x80,      /* XLIBCFileEnumDir: regular files */
    LINE_MATCH_CASE = 0x400     /* compare upper-cased by Unicode rules */
};

/*
 * Value of `key` into buffer (may be null with size 0 to measure). Returns
 * the value's length + 1 when found, 0 when not found (code 0x2000 is still
 * recorded), -1 on error (0x0100 when it does not fit: buffer untouched).
 */
KEST_API int XLIBCFileGetKeyValue(const char *path, const char *key, char *buffer, int size, int flags);
/* 1 if the value equals `expected` ignoring ASCII case, 0 if not or on error, `def` if absent. */
KEST_API int XLIBCFileCheckKeyValue(const char *path, const char *key, const char *expected, int def);
/* Replaces the first line of the key (dropping later ones) or appends; format null = "%s=%s\n". */
KEST_API int XLIBCFileSetKeyValue(const char *path, const char *key, const char *value, const char *format);
/* Reads keys split at any of `separators` into *hash; wanted may be null for all. */
KEST_API int XLIBCFileGetKeys(const char *path, const SzList *wanted, SzHash **hash, const char *separators);
/*
 * Rewrites the first line of each key in `set` and drops the first line of
 * each key in `remove` (may be null); appends the keys of `set` not found.
 * Consumes the keys it used from both hashes. Returns lines changed.
 */
KEST_API int XLIBCFileSetKeys(const char *path, SzHash *set, SzHash *remove, const char *format);
KEST_API int XLIBCFileGetPair(const char *path, SzHash **hash);
KEST_API int XLIBCFileEnumSection(const char *path, SzList **list);
KEST_API int XLIBCFileLineKeyMatch(const char *line, const char *key);
KEST_API int XLIBCFileLineMatch(const char *text, const char *pattern, int flags);
/* Appends the file's lines (newlines kept; pieces of 1023 bytes at most). 0 at end of file. */
KEST_API int XLIBCFileReadLines(const char *path, SzList **list);

KEST_END_DECLS

#endif
