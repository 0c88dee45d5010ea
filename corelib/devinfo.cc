#include "kest/devinfo.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "internal/raise.h"
#include "kest/file.h"
#include "kest/kvfile.h"
#include "kest/proc.h"

namespace {

constexpr const char *kDefaults = "/etc.defaults/kestinfo.conf";
constexpr const char *kLive = "/etc/kestinfo.conf";
constexpr const char *kModule = "device_identity";

// -1 until computed.
int g_raid = -1, g_dual_head = -1, g_ali = -1, g_minidock = -1;

// The answer of a marker pair, or of the configuration key, which then
// leaves the matching marker behind.
int Marked(const char *yes_marker, const char *no_marker, const char *file, const char *key) {
    if (XLIBCFileExist(yes_marker)) return 1;
    if (XLIBCFileExist(no_marker)) return 0;
    int answer = XLIBCFileCheckKeyValue(file, key, "yes", 0) == 1 ? 1 : 0;
    const char *marker = answer ? yes_marker : no_marker;
    if (XLIBCFileTouch(marker) != 0) {
        KEST_LOG(LOG_ERR, kModule, "Failed to touch '%s'", marker);
        return -1 - answer;  // the caller decides what a failed marker means
    }
    return answer;
}

}  // namespace

extern "C" {

int XLIBCSupportGet(const char *key) {
    if (!key) return 0;
    char value[5];
    if (XLIBCFileGetKeyValue(kDefaults, key, value, sizeof value, 0) <= 0) return 0;
    return strcasecmp(value, "yes") == 0 ? 1 : 0;
}

int XLIBCSupportRAID(void) {
    if (g_raid < 0) g_raid = XLIBCSupportGet("supportraid");
    return g_raid;
}

int XLIBCSupportDualHead(void) {
    if (g_dual_head < 0) {
        int r = Marked("/tmp/.dualhead", "/tmp/.not.dualhead", kDefaults, "support_dual_head");
        g_dual_head = r >= 0 ? r : -1 - r;  // a failed marker leaves the answer as it was
    }
    return g_dual_head;
}

int XLIBCIsAliTARN(void) {
    if (g_ali < 0) {
        char value[16] = {};
        g_ali = XLIBCFileGetKeyValue(kDefaults, "ali_tarn", value, sizeof value, 0) > 0 && strcmp(value, "yes") == 0;
    }
    return g_ali;
}

int XLIBCIsMinidock(void) {
    if (g_minidock < 0) g_minidock = XLIBCSupportGet("minidock");
    return g_minidock;
}

int XLIBCSystemDRRunning(void) {
    int r = Marked("/tmp/.systemdr.running", "/tmp/.systemdr.not.running", kLive, "runsystemdr");
    if (r == -2) return 1;  // running, only its marker failed
    return r == 1 ? 1 : 0;
}

int XLIBCHwVersionGet(char *buffer, int size) {
    if (!buffer || size <= 0) return -1;
    memset(buffer, 0, static_cast<size_t>(size));
    FILE *f = fopen("/proc/sys/kernel/kest_hw_version", "re");
    if (!f) return -1;
    char *line = XLIBCProcFgets(buffer, size, f);
    fclose(f);
    if (!line) return -1;
    if (char *cut = strstr(buffer, "-j")) *cut = '\0';
    return 0;
}

int XLIBCDiskSysDevicePathGet(char *buffer, int size) {
    if (!buffer || size <= 0) {
        KEST_LOG(LOG_ERR, kModule, "out put szDevPath can not be NULL and path length can't be zero");
        return -1;
    }
    if (XLIBCSupportRAID())
        snprintf(buffer, static_cast<size_t>(size), "/dev/md0");
    else
        snprintf(buffer, static_cast<size_t>(size), "%s/%sa1", "/dev", "sd");
    return 0;
}

}
