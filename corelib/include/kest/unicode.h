/*
 * UTF-8 comparison and upper-casing with the root locale's rules (so the
 * sharp s upper-cases to "SS"). The collator is opened on first use and kept
 * for the life of the process; that first use is not guarded, so make it
 * from one thread. Failures leave a code in the thread's error record.
 */
#ifndef KEST_UNICODE_H
#define KEST_UNICODE_H

#include <kest/export.h>

KEST_BEGIN_DECLS

/* -1, 0 or 1 as a sorts before, equal to or after b, ignoring case; -2 on error. */
KEST_API int XLIBCUtf8StrCaseCmp(const char *a, const char *b);

/*
 * Upper-cases src into dst of `size` bytes. Returns the upper-cased length
 * (terminator excluded) whether or not it fitted; when it does not fit, dst
 * becomes the empty string. Size 0 only measures. -1 on error.
 */
KEST_API int XLIBCUtf8StrUpper(const char *src, char *dst, int size);

KEST_END_DECLS

#endif
