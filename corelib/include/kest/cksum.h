/*
 * Checksum lists ("checksum.kest"): each entry records a file's checksum
 * line (what "/usr/bin/cksum -o 3" prints), its size and a spot sample of
 * its content; an optional trailer "# Kestcksum SIZES PROBES SUMS" totals
 * them.
 *
 * Both functions return their result code directly (0 or a code of
 * kest/error.h); only a path-resolution failure also logs. Verification
 * uses the scratch file /tmp/cksum.tmp: run one verification at a time.
 */
#ifndef KEST_CKSUM_H
#define KEST_CKSUM_H

#include <kest/export.h>

KEST_BEGIN_DECLS

/*
 * The sample of a file: *probe is the requested probe position (negative:
 * choose one) and becomes the probe position (size + sample offset);
 * *sum and *size receive the sample sum and the size.
 */
KEST_API int XLIBCCksumSample(const char *path, long long *probe, long long *sum, long long *size);
/* Verifies dir against dir/checksum.kest (the trailer is optional). */
KEST_API int XLIBCCksumCheckDir(const char *dir);

KEST_END_DECLS

#endif
