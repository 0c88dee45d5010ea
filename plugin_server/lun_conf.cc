#include "kest/scsiplugin/lun_conf.h"

#include <cstring>

#include "kest/scsiplugin/log.h"
#include "kest/scsiplugin/naa.h"

namespace kest::scsiplugin {

namespace {

// An empty holder: zeroed, its list heads pointing at themselves.
struct LoadedConf {
    ISCSI_CONF conf{};
    LoadedConf() {
        conf.luns.next = conf.luns.prev = &conf.luns;
        conf.targets.next = conf.targets.prev = &conf.targets;
    }
    ~LoadedConf() { KESTiSCSIConfFree(&conf); }
    LoadedConf(const LoadedConf &) = delete;
    LoadedConf &operator=(const LoadedConf &) = delete;
};

bool HasAll(uint32_t mask, uint32_t bits) { return (mask & bits) == bits; }

}  // namespace

bool GetLunConfByFunc(ISCSI_LUN *out, const std::function<bool(const ISCSI_LUN &)> &pred) {
    LoadedConf loaded;
    if (!out) return false;
    ISCSI_CONF_QUERY query{};
    query.load_mask = ISCSI_LOAD_LUN;
    if (KESTiSCSIConfGet(&query, &loaded.conf) != 0) {
        SCSI_LOG(LOG_ERR, "Failed to get config");
        return false;
    }
    for (KEST_LIST_HEAD *p = loaded.conf.luns.next; p && p != &loaded.conf.luns; p = p->next) {
        const auto *lun = reinterpret_cast<const ISCSI_LUN *>(p);
        if (pred(*lun)) {
            memcpy(out, lun, sizeof *out);
            return true;
        }
    }
    return false;
}

bool GetLunConfByGUID(ISCSI_LUN *out, const std::string &id) {
    return GetLunConfByFunc(out, [&](const ISCSI_LUN &lun) { return id == lun.guid; });
}

bool GetLunConfByNAA(ISCSI_LUN *out, const std::string &id) {
    return GetLunConfByFunc(out, [&](const ISCSI_LUN &lun) { return id == NaaFromGuid(lun.guid); });
}

bool GetLunConfByType(LunType type, const std::string &id, ISCSI_LUN *out) {
    switch (type) {
        case LUN_TYPE_80:
            return GetLunConfByGUID(out, id);
        case LUN_TYPE_83:
            return GetLunConfByNAA(out, id);
        default:
            return false;
    }
}

bool IsLunSupport(LunType type, const std::string &id) {
    ISCSI_LUN lun{};
    if (!GetLunConfByType(type, id, &lun)) return false;
    return HasAll(lun.type, kLunFullMask) || HasAll(lun.type, kLunBlockOrReplicationMask);
}

}  // namespace kest::scsiplugin
