#include <sys/stat.h>
#include <syslog.h>

#include <cstring>

#include "halog.h"
#include "hwcontrol.h"
#include "kest/haspace.h"
#include "keststorage.h"

namespace KEST::HA::Lib::Space {

std::string ShortForm(const DiskLocation &loc);

namespace {

constexpr int kAllSpaces = 23;
constexpr uint64_t kNoSize = ~0ull;

struct DiskList {
    DISK_INFO_LIST *head = nullptr;
    bool taken = false;
    ~DiskList() {
        if (taken) DiskInfoEnumFree(head);
    }
};

struct SpaceList {
    SPACE_INFO *head = nullptr;
    ~SpaceList() {
        if (head) KESTSpaceInfoFree(head);
    }
};

bool IsBlockDevice(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

}  // namespace

std::unique_ptr<DiskLocation> HAGetDiskLocByDev(const std::string &dev) {
    DISK_ID id;
    memset(&id, 0, sizeof id);
    if (DiskPathParse(dev.c_str(), &id) < 0) {
        HASPACE_ERROR("Failed to get disk info");
        return nullptr;
    }
    uint32_t unit = 0, slot = 0;
    if (DiskGetLocation(&id, dev.c_str(), &unit, &slot) < 0) {
        HASPACE_ERROR("Failed to get the disk location");
        return nullptr;
    }
    return CreateDiskLoc(unit, slot, id.partition);
}

std::string HAGetDevByDiskLoc(const DiskLocation &loc) {
    DiskList ssd;
    char path[128] = {};
    bool found = KESTDiskDevicePathGetByPosition(loc.slot, loc.unit, path, sizeof path) >= 0;
    if (!found) {
        HASPACE_ERROR("Failed to get dev path from %u-%u-%u", loc.unit, loc.slot, loc.partition);
        const uint32_t ssd_cache = DISK_KIND_SSD_CACHE;
        DISK_FILTER filter{};
        filter.kinds = &ssd_cache;
        ssd.taken = true;
        if (DiskInfoEnum(&filter, &ssd.head) < 0) {
            HASPACE_ERROR("Failed to disk info enum of ssd cache");
        } else {
            for (DISK_INFO_LIST *node = ssd.head; node; node = node->next) {
                if (!node->disk) continue;
                std::unique_ptr<DiskLocation> at = HAGetDiskLocByDev(node->disk->path);
                if (!at) {
                    HASPACE_ERROR("Failed to get the disk location");
                    break;
                }
                if (at->unit == loc.unit && at->slot == loc.slot) {
                    snprintf(path, sizeof path, "%s", node->disk->path);
                    HASPACE_ERROR("but find ssd %s on %u-%u", path, loc.unit, loc.slot);
                    found = true;
                    break;
                }
            }
        }
    }
    if (found && loc.partition != 0) {
        char part[128] = {};
        if (KESTDiskDevicePartitionPathGet(path, loc.partition, part, sizeof part) < 0) {
            HASPACE_ERROR("Failed to get part path from %u-%u-%u", loc.unit, loc.slot, loc.partition);
            found = false;
        } else {
            memcpy(path, part, sizeof path);
        }
    }
    if (found && IsBlockDevice(path)) return path;
    HASPACE_ERROR("Failed to get dev by %s", loc.GetStringFull().c_str());
    return "";
}

std::string HAGetDevByDiskLoc(const std::unique_ptr<DiskLocation> &loc) { return HAGetDevByDiskLoc(*loc); }

std::string HAGetPoolSpaceIDByPath(const std::string &path) {
    SpaceList spaces;
    if (!KESTSpaceInfoEnum(kAllSpaces, &spaces.head) || !spaces.head) {
        HASPACE_ERROR("Failed to enum all space");
        return path;
    }
    for (SPACE_INFO *s = spaces.head; s; s = s->next)
        if (path == s->path)
            return KEST::VUI::STORAGE_MANAGER::StorageUtil::ToUISpaceID(SPACE_REF_POOL_PATH, s->pool_path);
    return path;
}

uint64_t GetSpaceMinSize(const _space_info_ *space) {
    SPACE_MIN_SIZE_REQ req{};
    req.space = space;
    uint64_t size = 0;
    if (KESTSpaceMinDiskSizeGet(&req, &size) < 0) {
        syslog(LOG_ERR, "%s:%d Failed to get minial disk size of space: [%s]", __FILE_NAME__, __LINE__,
               space ? space->path : "");
        return kNoSize;
    }
    // Nothing allocated on the first member yet: no minimum.
    if (space->members && space->members->allocated_size == 0) return 0;
    return size;
}

bool IsRemoteDiskSizeEnough(const std::unique_ptr<DiskLocation> &loc, const Json::Value &remote,
                            const _space_info_ *space) {
    static const std::string k100 = "100";
    static const std::string k200 = "200";
    const std::string key = ShortForm(*loc);
    Json::Value entry;
    if (!remote.isNull()) {
        if (remote.isMember(key) && !remote[key].isNull()) {
            entry = remote[key];
        } else {
            std::string other = key;
            if (other.compare(0, 3, k100) == 0)
                other.replace(0, 3, k200);
            else if (other.compare(0, 3, k200) == 0)
                other.replace(0, 3, k100);
            if (remote.isMember(other)) entry = remote[other];
        }
    }
    if (entry.isNull()) {
        HASPACE_NOTICE("Failed to get remote disk type from location %s", key.c_str());
        return false;
    }
    uint64_t min = GetSpaceMinSize(space);
    uint64_t size = entry.get("HD_SIZE", 0).asUInt64();
    HASPACE_NOTICE("%s size %llu < %llu", "IsRemoteDiskSizeEnough", static_cast<unsigned long long>(size),
                   static_cast<unsigned long long>(min));
    return min <= size;
}

}  // namespace KEST::HA::Lib::Space
