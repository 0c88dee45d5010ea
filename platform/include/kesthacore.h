/* HA core library (stand-in): its log function. */
#ifndef KESTHACORE_H
#define KESTHACORE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes one line to the system log at `priority`. */
void __halog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif
