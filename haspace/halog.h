// The HA message family through the HA core library's log function.
#pragma once

#include "kesthacore.h"

#define HASPACE_LOG(priority, word, fmt, ...) \
    __halog((priority), "[HA-%s] %s:%d: " fmt, (word), __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define HASPACE_ERROR(fmt, ...) HASPACE_LOG(3, "ERROR", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HASPACE_WARN(fmt, ...) HASPACE_LOG(4, "WARN", fmt __VA_OPT__(, ) __VA_ARGS__)
#define HASPACE_NOTICE(fmt, ...) HASPACE_LOG(5, "NOTICE", fmt __VA_OPT__(, ) __VA_ARGS__)
