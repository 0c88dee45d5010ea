// Is HA running, is this node active, the HA configuration and its cache,
// and this node's host name.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "ha_log.h"
#include "kest/error.h"
#include "kest/file.h"
#include "kest/filelock.h"
#include "kest/kvfile.h"
#include "kest/szlist.h"

namespace {

constexpr const char *kRunningFlag = "/tmp/.ha.running";
constexpr const char *kNotRunningFlag = "/tmp/.ha.not.running";
constexpr const char *kActiveFlag = "/tmp/ha_role_active";
constexpr const char *kHaConf = "/usr/kest/etc/packages/ZuzoZaridazazidu/ha.conf";
constexpr const char *kCache = "/tmp/.ha.conf";
constexpr int kValueSize = 1024;

const char *const kKeys[] = {
    "drbd_if", "drbd_if_origin", "drbd_ip0", "drbd_ip1", "drbd_netmask", "drbd_bond_mode_origin", "drbd_mtu_origin",
    "host0", "host1", "ip0", "ip1", "ping_serv_ip", "corosync_key", "ha_sn", "ha_sn_custom", "ha_model",
    "ha_unique", "ha_hostname", "ha_if_main", "ha_gateway", "begin_time", "is_hybrid", "model_group", "model0",
    "model1", "maxdisks0", "maxdisks1", "sn0", "sn1", "lan_num",
    // indexed from here (30)
    "ha_if", "ha_ip", "ha_netmask", "ha_if_enabled", "ha_bond_if", "ha_bond_ip", "ha_bond_netmask",
    "ha_bond_if_enabled", "ha_mac_", "mac0_", "mac1_"};
constexpr int kLastType = 40;

bool KeyName(int type, int index, char (&key)[32]) {
    if (type < 0 || type > kLastType) return false;
    if (type < HA_CONF_HA_IF) return snprintf(key, sizeof key, "%s", kKeys[type]) > 0;
    if (index < 0 || index > 11) return false;
    return snprintf(key, sizeof key, "%s%d", kKeys[type], index) > 0;
}

// 1 with the value, 0 when the file does not have the key, -1 on error.
int ReadKey(const char *path, const char *key, std::string *value) {
    SzList *wanted = XLIBCSzListAlloc(kValueSize);
    SzHash *hash = XLIBCSzHashAlloc(kValueSize);
    int result = -1;
    if (!wanted || !hash) {
        HA_ERROR("%s", strerror(ENOMEM));
        XLIBCErrSetEx(ERR_OUT_OF_MEMORY, "ha_conf_get", __LINE__);
    } else if (XLIBCSzListPush(&wanted, key) < 0) {
        HA_ERROR("Failed to push key into list");
    } else if (XLIBCFileGetKeys(path, wanted, &hash, "=") != 1) {
        result = 0;
    } else if (const char *v = XLIBCSzHashGetValue(hash, key); !v) {
        HA_ERROR("Failed to get value from hash");
    } else if (strlen(v) >= kValueSize) {
        HA_ERROR("%s", strerror(ENOBUFS));
    } else {
        *value = v;
        result = 1;
    }
    XLIBCSzListFree(wanted);
    XLIBCSzHashFree(hash);
    return result;
}

}  // namespace

extern "C" {

void HALog(int priority, const char *format, ...) {
    openlog(nullptr, LOG_PID | LOG_CONS, LOG_USER);
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

int HAIsRunning(void) {
    if (XLIBCFileExist(kRunningFlag)) return 1;
    if (XLIBCFileExist(kNotRunningFlag)) return 0;
    if (XLIBCFileCheckKeyValue("/etc.defaults/kestinfo.conf", "support_ha", "yes", 0) == 1 &&
        XLIBCFileCheckKeyValue("/etc/kestinfo.conf", "runha", "yes", 0) == 1)
        return 1;
    XLIBCFileTouch(kNotRunningFlag);
    return 0;
}

int HAIsActive(void) { return HAIsRunning() == 1 && XLIBCFileExist(kActiveFlag) ? 1 : 0; }

int HAConfGet(int type, int index, char *out, int size) {
    if (!out || size <= 0) {
        HA_ERROR("%s", strerror(EINVAL));
        return -1;
    }
    char key[32];
    if (!KeyName(type, index, key)) {
        HA_ERROR("Failed to get the key of conf type %d, idx %d", type, index);
        return -1;
    }
    const bool cacheable = type != HA_CONF_COROSYNC_KEY;
    std::string value;
    int found = 0;
    if (cacheable && XLIBCFileExist(kCache)) found = ReadKey(kCache, key, &value);
    if (found < 0) return -1;
    if (found == 0) {
        if (ReadKey(kHaConf, key, &value) != 1) return -1;
        if (cacheable && XLIBCFileSetKeyValue(kCache, key, value.c_str(), nullptr) != 1) HA_ERROR("Failed to set key");
    }
    snprintf(out, static_cast<size_t>(size), "%s", value.c_str());
    return 0;
}

int HAHostnameGet(char *out) {
    static const char *const kModule = "ha_hostname_get";
    if (!out) {
        XLIBCErrSetEx(ERR_BAD_PARAMETERS, kModule, __LINE__);
        return -1;
    }
    if (XLIBCFileLock(FLOCK_HOST | FLOCK_SHARED | FLOCK_NONBLOCK, 5) != 0) {
        XLIBCErrSetEx(ERR_LOCK, kModule, __LINE__);
        return -1;
    }
    char name[64] = {};
    if (gethostname(name, sizeof name) != 0 || name[sizeof name - 1] != '\0') {
        XLIBCErrSetEx(ERR_SYSTEM_CALL, kModule, __LINE__);
        XLIBCFileUnlock(FLOCK_HOST);
        return -1;
    }
    if (char *dot = strchr(name, '.')) *dot = '\0';
    snprintf(out, 64, "%s", name);
    XLIBCFileUnlock(FLOCK_HOST);
    return name[0] ? 1 : 0;
}

int HAHostnameOriginalGet(char *out) {
    if (!out) {
        HA_ERROR("Bad parameter.");
        return -1;
    }
    FILE *f = fopen("/tmp/.ha.hostname.original", "re");
    if (!f) f = fopen("/var/lib/ha/ha.hostname.original", "re");
    if (f) {
        char line[64] = {};
        bool got = fgets(line, sizeof line, f) != nullptr;
        fclose(f);
        if (got && line[0] != '\0' && line[0] != '\n') {
            snprintf(out, 64, "%s", line);
            return 1;
        }
    }
    int r = HAHostnameGet(out);
    if (r != 1)
        HA_ERROR("Failed to get hostname.[0x%04X %s:%d]", XLIBCErrGet(),
                 XLIBCErrorGetFile() ? XLIBCErrorGetFile() : "", XLIBCErrorGetLine());
    return r;
}

}
