// Inside the core library: raising errors and logging with the location prefix.
#pragma once

#include <syslog.h>

#include "kest/error.h"

// Every error is raised with its module name and the line of the failure.
#define KEST_RAISE(code, module) XLIBCErrSetEx((code), (module), __LINE__)

// "%s:%d " prefix with the module name and line, then the message.
#define KEST_LOG(priority, module, fmt, ...) \
    syslog((priority), "%s:%d " fmt, (module), __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// The bracket that ends a message about a failed core-library call.
#define KEST_ERR_FMT "[0x%04X %s:%d]"
#define KEST_ERR_ARGS XLIBCErrGet(), XLIBCErrorGetFile(), XLIBCErrorGetLine()
