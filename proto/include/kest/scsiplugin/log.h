// Log lines of the plugin server and its tool: syslog with the prefix
// "scsi_plugin:<file>:<line>:<function> ", default identity, user facility.
#pragma once

#include <syslog.h>

#define SCSI_LOG(priority, fmt, ...) \
    syslog((priority), "scsi_plugin:%s:%d:%s " fmt, __FILE_NAME__, __LINE__, __func__ __VA_OPT__(, ) __VA_ARGS__)
