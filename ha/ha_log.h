// The HA message family: "[HA-<level>] <file>:<line>: " then the text.
#pragma once

#include <syslog.h>

#include "kest/ha.h"

#define HA_LOG_AT(priority, word, fmt, ...) \
    HALog((priority), "[HA-%s] %s:%d: " fmt, (word), __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define HA_ERROR(fmt, ...) HA_LOG_AT(LOG_ERR, "ERROR", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HA_WARN(fmt, ...) HA_LOG_AT(LOG_WARNING, "WARN", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HA_NOTICE(fmt, ...) HA_LOG_AT(LOG_NOTICE, "NOTICE", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HA_INFO(fmt, ...) HA_LOG_AT(LOG_INFO, "INFO", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HA_DEBUG(fmt, ...) HA_LOG_AT(LOG_DEBUG, "DEBUG", fmt __VA_OPT__(, ) __VA_ARGS__)
