// Stand-in for the HA core library's log function.
#include "kesthacore.h"

#include <syslog.h>

#include <cstdarg>

extern "C" __attribute__((visibility("default"))) void __halog(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}
