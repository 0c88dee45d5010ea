/*
 * String operations whose trimming rules make up the key-value file format.
 * Blanks are space, tab, line feed and carriage return. Lists are passed by
 * the address of their handle (kest/szlist.h). Failures leave a code in the
 * thread's error record (kest/error.h).
 */
#ifndef KEST_STRUTIL_H
#define KEST_STRUTIL_H

#include <kest/export.h>
#include <kest/szlist.h>

KEST_BEGIN_DECLS

/*
 * Trims blanks, then one pair of enclosing double quotes, into dst (null or
 * src for in place; dst must not lie inside src after its first byte).
 * Returns the result's length.
 */
KEST_API int XLIBCStrTrimSpace(char *src, char *dst);
/* Trims any byte of `set` (null: " \t\n\r") from both ends; quotes stay. */
KEST_API int XLIBCStrTrim(char *src, char *dst, const char *set);
/* Splits *cursor in place at the next delimiter, skipping empty tokens. */
KEST_API char *XLIBCStrNextToken(char **cursor, const char *delimiters);
/* Appends the non-empty tokens of str. Returns the number appended. */
KEST_API int XLIBCStrTok(const char *str, const char *delimiters, SzList **list);
/* Appends every token of str, empty ones included. */
KEST_API int XLIBCStrSep(const char *str, const char *delimiters, SzList **list);
/* Appends the trimmed key and value of "key=value"; -1 if str is no pair. */
KEST_API int XLIBCStrSepPair(const char *str, SzList **list);

KEST_END_DECLS

#endif
