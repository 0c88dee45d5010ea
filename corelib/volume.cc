#include "kest/volume.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal/raise.h"
#include "kest/devinfo.h"
#include "kest/file.h"
#include "kest/kvfile.h"
#include "kest/strutil.h"

namespace {

constexpr const char *kVolumeTable = "/run/keststorage/volumetab";

// The record's fixed fields are shorter than the table's.
template <size_t N>
void CopyTruncated(char (&dst)[N], const char *src) {
    size_t n = strnlen(src, N - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

bool AllDigits(const char *begin, const char *end) {
    if (begin == end) return false;
    for (const char *p = begin; p < end; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

// /proc/mounts writes blanks and backslashes in paths as octal escapes.
std::string Unescape(const char *s) {
    std::string out;
    for (; *s; ++s) {
        if (s[0] == '\\' && s[1] >= '0' && s[1] <= '7' && s[2] >= '0' && s[2] <= '7' && s[3] >= '0' && s[3] <= '7') {
            out += static_cast<char>((s[1] - '0') * 64 + (s[2] - '0') * 8 + (s[3] - '0'));
            s += 3;
        } else {
            out += *s;
        }
    }
    return out;
}

struct MountEntry {
    std::string device, mount_point, type, options;
};

bool ReadMounts(std::vector<MountEntry> *out) {
    FILE *f = fopen("/proc/mounts", "re");
    if (!f) return false;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        char dev[1024], mnt[1024], type[256], opts[2048];
        if (sscanf(line, "%1023s %1023s %255s %2047s", dev, mnt, type, opts) != 4) continue;
        if (strcmp(type, "aufs") == 0) continue;
        out->push_back({Unescape(dev), Unescape(mnt), type, opts});
    }
    fclose(f);
    return true;
}

int TypeCode(const std::string &name, long magic) {
    struct Named {
        const char *name;
        int code;
    };
    static const Named kNames[] = {{"ext4", 2},           {"fuseblk.ntfs", 5},     {"fuse.ntfs", 5},
                                   {"fuse.glusterfs", 10}, {"fuse.gvfsd-fuse", 12}, {"fuse.kesthbkpvfs", 20},
                                   {"fuse.kestdedup-fused", 22}};
    for (const Named &n : kNames)
        if (name == n.name) return n.code;
    struct Magic {
        unsigned long magic;
        int code;
    };
    static const Magic kMagics[] = {{0x4d44, 0},      {0xef53, 1},      {0x1021994, 1},  {0x9123683e, 3},
                                    {0x5346544e, 5},  {0xfe534d42, 6},  {0xff534d42, 6}, {0x482b, 7},
                                    {0x9660, 8},      {0x15013346, 9},  {0x24051905, 11}, {0x61756673, 13},
                                    {0x6969, 14},     {0x2011bab0, 18}};
    for (const Magic &m : kMagics)
        if ((static_cast<unsigned long>(magic) & 0xffffffffUL) == m.magic) return m.code;
    return -1;
}

int LocationCode(const char *s) {
    if (!strcmp(s, "loc-internal")) return VOLTAB_LOC_INTERNAL;
    if (!strcmp(s, "loc-eunit")) return VOLTAB_LOC_EUNIT;
    if (!strcmp(s, "loc-usb")) return VOLTAB_LOC_USB;
    if (!strcmp(s, "loc-esata")) return VOLTAB_LOC_ESATA;
    return 0;
}

int ContainerCode(const char *s) {
    if (!strcmp(s, "cnr-cross")) return VOLTAB_CNR_CROSS;
    if (!strcmp(s, "cnr-internal")) return VOLTAB_CNR_INTERNAL;
    if (!strcmp(s, "cnr-eunit")) return VOLTAB_CNR_EUNIT;
    return VOLTAB_CNR_OTHER;
}

int KeepLocations(const KESTVOLTAB *record, void *context) {
    int mask = *static_cast<int *>(context);
    return (record->location & mask) ? VOLTAB_KEEP : VOLTAB_DROP;
}

// Entries for the table records, appended to *list; false when a mount
// point cannot be parsed.
bool BuildVolumeList(const KESTVOLTAB *table, int first_only, int flags, KESTVOLINFOLIST **list) {
    static const char *const kModule = "volume_internal_lib";
    KESTVOLINFOLIST *built = nullptr;
    for (const KESTVOLTAB *r = table; r; r = r->next) {
        if (r->location & (VOLTAB_LOC_INTERNAL | VOLTAB_LOC_EUNIT)) {
            if (KESTVolumeIsUsedByGlusterfs(r->mount_point) == 1 && !(flags & VOLINFO_WITH_GLUSTER)) continue;
            int32_t attribute = 0;
            if (KESTVolumeAttributeGet(r->mount_point, &attribute) != 0) {
                KEST_LOG(LOG_ERR, kModule, "Failed to get volume attribute over [%s]", r->mount_point);
                continue;
            }
            if ((attribute & 0x2) && !(flags & VOLINFO_WITH_HIDDEN)) continue;
        }
        KEST_VOLUME_PATH vp{};
        if (KESTVolumePathParse(r->mount_point, &vp) != 1) {
            KEST_LOG(LOG_ERR, kModule, "Failed to parse volume path: %s", r->mount_point);
            KESTMountVolInfoFree(built);
            return false;
        }
        auto *v = static_cast<KESTVOLINFOLIST *>(calloc(1, sizeof(KESTVOLINFOLIST)));
        if (!v) {
            KESTMountVolInfoFree(built);
            return false;
        }
        v->number = vp.number;
        v->cls = vp.cls;
        v->container = r->container;
        v->fs_type = -1;
        CopyTruncated(v->device, r->device);
        CopyTruncated(v->mount_point, r->mount_point);
        FS_INFO *fs = nullptr;
        int found = KESTFSInfoGet(r->mount_point, &fs);
        if (found < 0) KEST_LOG(LOG_ERR, kModule, "Failed to get file system information: %s", r->mount_point);
        bool read_only = false;
        if (found == 1 && fs) {
            v->mounted = 1;
            v->fs_type = fs->type;
            v->available = fs->available;
            v->total = fs->total;
            read_only = fs->access == 2;
        }
        KESTFSInfoFree(fs);
        v->usable = (r->status == VOLTAB_STATUS_CRASHED || read_only) ? 0 : 1;
        v->next = built;
        built = v;
        if (first_only) break;
    }
    KESTVOLINFOLIST **tail = list;
    while (*tail) tail = &(*tail)->next;
    *tail = built;
    return true;
}

KESTVOLINFOLIST *SortByNumber(KESTVOLINFOLIST *list) {
    std::vector<KESTVOLINFOLIST *> items;
    for (KESTVOLINFOLIST *v = list; v; v = v->next) items.push_back(v);
    std::stable_sort(items.begin(), items.end(), [](auto *a, auto *b) { return a->number < b->number; });
    for (size_t i = 0; i < items.size(); ++i) items[i]->next = i + 1 < items.size() ? items[i + 1] : nullptr;
    return items.empty() ? nullptr : items[0];
}

}  // namespace

extern "C" {

int KESTVolumePathParse(const char *path, KEST_VOLUME_PATH *out) {
    if (!path || !out) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "volume_path_parse");
        return -1;
    }
    struct Prefix {
        const char *text;
        int cls;
    };
    static const Prefix kPrefixes[] = {{"/volumeX", VOL_CLASS_X},
                                       {"/volumeUSB", VOL_CLASS_USB},
                                       {"/volumeSATA", VOL_CLASS_SATA},
                                       {"/volumeGluster", VOL_CLASS_GLUSTER},
                                       {"/volume", VOL_CLASS_VOLUME}};
    for (const Prefix &p : kPrefixes) {
        size_t n = strlen(p.text);
        if (strncmp(path, p.text, n) != 0) continue;
        const char *rest = path + n;
        if (p.cls == VOL_CLASS_VOLUME || p.cls == VOL_CLASS_X) {
            const char *end = strchr(rest, '/');
            if (!end) end = rest + strlen(rest);
            if (!AllDigits(rest, end)) break;
        }
        out->number = atoi(rest);
        out->cls = p.cls;
        return 1;
    }
    KEST_LOG(LOG_DEBUG, "volume_path_parse", "NOT supported volume path: %s", path);
    return 0;
}

int KESTVolumeMountPathGet(const char *path, KEST_VOLUME_ROOT *out) {
    if (!path || !out) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "volume_path_parse");
        return -1;
    }
    int a = 0, b = 0, c = 0;
    char share[128] = {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    auto set = [&](int cls, const char *fmt, auto... args) {
        snprintf(out->root, sizeof out->root, fmt, args...);
        out->cls = cls;
        return 0;
    };
    if (sscanf(path, "/volume%d.snap_%d/", &a, &b) == 2) return set(VOL_CLASS_VOLUME, "/volume%d.snap_%d", a, b);
    if (sscanf(path, "/volume%d/", &a) == 1) return set(VOL_CLASS_VOLUME, "/volume%d", a);
    if (sscanf(path, "/volumeGluster%d/", &a) == 1) return set(VOL_CLASS_GLUSTER, "/volumeGluster%d", a);
    if (sscanf(path, "/volumeX%d/", &a) == 1) return set(VOL_CLASS_X, "/volumeX%d", a);
    if (sscanf(path, "/volumeUSB%d/usbshare%d-%d", &a, &b, &c) == 3)
        return set(VOL_CLASS_USB, "/volumeUSB%d/usbshare%d-%d", a, b, c);
    if (sscanf(path, "/volumeUSB%d/%127[^/]", &a, share) == 2 && strncmp(share, "usbshare", 8) == 0)
        return set(VOL_CLASS_USB, "/volumeUSB%d/%s", a, share);
    if (sscanf(path, "/volumeSATA%d/satashare%d-%d", &a, &b, &c) == 3)
        return set(VOL_CLASS_SATA, "/volumeSATA%d/satashare%d-%d", a, b, c);
    if (sscanf(path, "/volumeSATA%d/%127[^/]", &a, share) == 2 && strcmp(share, "satashare") == 0)
        return set(VOL_CLASS_SATA, "/volumeSATA%d/satashare", a);
    if (strncmp(path, "/volumeSATA/satashare", 21) == 0) {
        if (sscanf(path, "/volumeSATA/satashare%d-%d", &a, &b) == 2)
            return set(VOL_CLASS_SATA, "/volumeSATA/satashare%d-%d", a, b);
        return set(VOL_CLASS_SATA, "%s", "/volumeSATA/satashare");
    }
#pragma GCC diagnostic pop
    return -1;
}

int KESTVolumeTableEnum(KESTVOLTAB **head, const KESTVOLTAB_FILTER *filter) {
    static const char *const kModule = "volume_table_enum";
    if (!head) {
        KEST_LOG(LOG_ERR, kModule, "Bad parameters");
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    *head = nullptr;
    struct stat st;
    if (stat(kVolumeTable, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    SzList *lines = XLIBCSzListAlloc(0);
    if (!lines || XLIBCFileReadLines(kVolumeTable, &lines) != 0) {
        KEST_LOG(LOG_DEBUG, kModule, "Fail to open [%s]", kVolumeTable);
        XLIBCSzListFree(lines);
        return -1;
    }
    SzList *fields = XLIBCSzListAlloc(0);
    int result = 0;
    for (int i = 0; i < lines->count && fields; ++i) {
        const char *line = lines->items[i];
        XLIBCSzListRemoveAll(fields);
        if (XLIBCStrTok(line, " \t\n", &fields) != 6) {
            KEST_LOG(LOG_DEBUG, kModule, "Wrong volume table row format [%s]", line);
            continue;
        }
        const char *dev = fields->items[0], *mnt = fields->items[1], *loc = fields->items[4];
        int location = LocationCode(loc);
        if (!location || strlen(dev) >= 128 || strlen(mnt) >= 128) {
            if (!location) KEST_LOG(LOG_DEBUG, kModule, "Invalid location [%s] in volumetab column", loc);
            KEST_LOG(LOG_DEBUG, kModule, "Fail to parse volume table column from [%s]", line);
            KEST_RAISE(ERR_VOLUME_TABLE, kModule);
            continue;
        }
        auto *r = static_cast<KESTVOLTAB *>(calloc(1, sizeof(KESTVOLTAB)));
        if (!r) {
            KEST_LOG(LOG_ERR, kModule, "calloc failed. %m");
            continue;
        }
        snprintf(r->device, sizeof r->device, "%s", dev);
        snprintf(r->mount_point, sizeof r->mount_point, "%s", mnt);
        r->status = strcmp(fields->items[2], "crashed") == 0 ? VOLTAB_STATUS_CRASHED : VOLTAB_STATUS_NORMAL;
        r->task = strcmp(fields->items[3], "building") == 0 ? VOLTAB_TASK_BUILDING : VOLTAB_TASK_NONE;
        r->location = location;
        r->container = ContainerCode(fields->items[5]);
        int verdict = filter && filter->fn ? filter->fn(r, filter->context) : VOLTAB_KEEP;
        if (verdict == VOLTAB_ABORT) {
            free(r);
            KESTVolumeTableFree(*head);
            *head = nullptr;
            result = -1;
            break;
        }
        if (verdict == VOLTAB_DROP) {
            free(r);
            continue;
        }
        r->next = *head;
        *head = r;
        if (verdict == VOLTAB_KEEP_STOP) break;
    }
    XLIBCSzListFree(fields);
    XLIBCSzListFree(lines);
    return result;
}

void KESTVolumeTableFree(KESTVOLTAB *head) {
    while (head) {
        KESTVOLTAB *next = head->next;
        free(head);
        head = next;
    }
}

KESTVOLINFOLIST *KESTMountVolInfoEnum(int first_only, int flags) {
    static const char *const kModule = "volume_mount_vol_info_enum";
    int mask = VOLTAB_LOC_INTERNAL | VOLTAB_LOC_EUNIT;
    KESTVOLTAB_FILTER filter{KeepLocations, &mask};
    KESTVOLTAB *table = nullptr;
    if (KESTVolumeTableEnum(&table, &filter) != 0) {
        KEST_LOG(LOG_ERR, kModule, "Fail to enum volume table");
        KEST_RAISE(ERR_VOLUME_TABLE, kModule);
        return nullptr;
    }
    KESTVOLINFOLIST *list = nullptr;
    if (!BuildVolumeList(table, first_only, flags, &list)) {
        KEST_LOG(LOG_ERR, kModule, "Fail to get vol info list by vol tab list");
        KEST_RAISE(ERR_VOLUME_INFO, kModule);
        KESTVolumeTableFree(table);
        return nullptr;
    }
    KESTVolumeTableFree(table);
    XLIBCErrSetEx(0, kModule, __LINE__);
    return SortByNumber(list);
}

KESTVOLINFOLIST *KESTMountVolAllEnum(int first_only, int location_mask, int flags) {
    static const char *const kModule = "volume_mount_vol_info_enum";
    if (location_mask == 0) location_mask = VOLTAB_LOC_INTERNAL;
    KESTVOLINFOLIST *list = nullptr;
    if (location_mask & (VOLTAB_LOC_INTERNAL | VOLTAB_LOC_EUNIT)) list = KESTMountVolInfoEnum(first_only, flags);
    int external = location_mask & (VOLTAB_LOC_USB | VOLTAB_LOC_ESATA);
    if (!external) return list;
    KESTVOLTAB_FILTER filter{KeepLocations, &external};
    KESTVOLTAB *table = nullptr;
    if (KESTVolumeTableEnum(&table, &filter) != 0) {
        KEST_LOG(LOG_ERR, kModule, "Fail to enum volume table");
        KEST_LOG(LOG_ERR, kModule, "Fail to enum external volume");
        return list;
    }
    if (!BuildVolumeList(table, first_only, 0, &list)) {
        KEST_LOG(LOG_ERR, kModule, "Fail to get vol info list by vol tab list");
        KEST_LOG(LOG_ERR, kModule, "Fail to enum external volume");
    }
    KESTVolumeTableFree(table);
    return list;
}

void KESTMountVolInfoFree(KESTVOLINFOLIST *head) {
    while (head) {
        KESTVOLINFOLIST *next = head->next;
        free(head);
        head = next;
    }
}

int KESTFSInfoGet(const char *mount_point, FS_INFO **info) {
    static const char *const kModule = "fs_info_get";
    if (!mount_point || !info) {
        KEST_LOG(LOG_ERR, kModule, "bad parameter");
        return -1;
    }
    *info = nullptr;
    std::vector<MountEntry> mounts;
    if (!ReadMounts(&mounts)) {
        KEST_LOG(LOG_ERR, kModule, "Failed to open /proc/mounts, errno=%m");
        KEST_LOG(LOG_ERR, kModule, "FSInfoGetAll(): rgpFSInfo is NULL");
        return -1;
    }
    for (const MountEntry &m : mounts) {
        if (m.mount_point != mount_point) continue;
        struct statfs st;
        if (statfs(mount_point, &st) != 0) {
            KEST_LOG(LOG_ERR, kModule, "Failed to statfs %s", mount_point);
            return 0;
        }
        int type = TypeCode(m.type, static_cast<long>(st.f_type));
        if (type < 0) return 0;
        auto *fs = static_cast<FS_INFO *>(calloc(1, sizeof(FS_INFO)));
        if (!fs) {
            KEST_LOG(LOG_ERR, kModule, "Failed to calloc for %s", mount_point);
            KEST_RAISE(ERR_OUT_OF_MEMORY, kModule);
            return -1;
        }
        snprintf(fs->path, sizeof fs->path, "%s", m.mount_point.c_str());
        snprintf(fs->device, sizeof fs->device, "%s", m.device.c_str());
        fs->access = (m.options.rfind("ro", 0) == 0 || m.options.find("corrupt") != std::string::npos) ? 2 : 1;
        fs->type = type;
        fs->available = static_cast<uint64_t>(st.f_bsize) * st.f_bavail;
        fs->total = static_cast<uint64_t>(st.f_bsize) * st.f_blocks;
        fs->free_inodes = st.f_ffree;
        fs->total_inodes = st.f_files;
        *info = fs;
        return 1;
    }
    return 0;
}

void KESTFSInfoFree(FS_INFO *info) { free(info); }

uint64_t KESTFSGetFSAvailSize(const char *path) {
    if (!path) {
        syslog(LOG_ERR, "%s(%d)bad parameter", "fs_info_get", __LINE__);
        return 0;
    }
    struct statfs st;
    if (statfs(path, &st) != 0) return 0;
    return static_cast<uint64_t>(st.f_bsize) * st.f_bavail;
}

int KESTFSPathEnum(const KEST_FS_PATH_FILTER *filter, SzList **list) {
    if (!list || !*list) {
        KEST_LOG(LOG_DEBUG, "fs_info_get", "bad parameter");
        return -1;
    }
    std::vector<MountEntry> mounts;
    if (!ReadMounts(&mounts)) return -1;
    for (const MountEntry &m : mounts) {
        if (filter && filter->prefix && m.mount_point.rfind(filter->prefix, 0) != 0) continue;
        if (filter && filter->flags) {
            if (m.options.rfind("ro", 0) == 0 && !(filter->flags & 0x2)) continue;
            if (m.options.rfind("rw", 0) == 0 && !(filter->flags & 0x1)) continue;
        }
        if (XLIBCSzListPush(list, m.mount_point.c_str()) < 0) return -1;
    }
    return 0;
}

int KESTFSMkdirP(const char *path, const char **position, int replace, uid_t owner, gid_t group, int mode) {
    static const char *const kModule = "fs_mkdir_p";
    if (!path || !*path) {
        KEST_LOG(LOG_ERR, kModule, "Invaild Argument (%s)=[%d]\n", !path ? "((void *)0) != szPath" : "0 != *szPath", 0);
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    const bool chown_new = !(owner == static_cast<uid_t>(-1) && group == static_cast<gid_t>(-1));
    if (owner == static_cast<uid_t>(-1)) owner = geteuid();
    if (group == static_cast<gid_t>(-1)) group = getegid();
    mode_t old_mask = 0;
    if (mode != -1) old_mask = umask(0);
    const mode_t dir_mode = mode == -1 ? 0777 : static_cast<mode_t>(mode);
    int result = 0;
    std::string p = path;
    size_t at = p[0] == '/' ? 1 : 0;
    while (at <= p.size()) {
        size_t slash = p.find('/', at);
        size_t end = slash == std::string::npos ? p.size() : slash;
        if (end == at) {  // "//" or a trailing "/"
            at = end + 1;
            continue;
        }
        std::string prefix = p.substr(0, end);
        const bool last = p.find_first_not_of('/', end) == std::string::npos;
        struct stat st, lst;
        bool exists = lstat(prefix.c_str(), &lst) == 0;
        if (exists && stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            at = end + 1;
            continue;
        }
        if (exists) {
            if (!replace) {
                if (position) *position = path + at;
                KEST_RAISE(last ? ERR_NOT_DIRECTORY : ERR_PATH_COMPONENT, kModule);
                errno = last ? EEXIST : ENOTDIR;
                result = -1;
                break;
            }
            unlink(prefix.c_str());
        }
        if (mkdir(prefix.c_str(), dir_mode) != 0) {
            if (!(errno == EEXIST && stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
                if (position) *position = path + at;
                KEST_RAISE(ERR_MKDIR, kModule);
                result = -1;
                break;
            }
        } else if (chown_new && chown(prefix.c_str(), owner, group) != 0) {
            // The directory stands; a failed chown is not the caller's to undo.
        }
        at = end + 1;
    }
    if (mode != -1) umask(old_mask);
    if (result == 0 && position) *position = path + strlen(path);
    return result;
}

int KESTVolumeAttributeGet(const char *path, int32_t *attribute) {
    static const char *const kModule = "volume_attribute_get";
    if (!path || !attribute) {
        KEST_LOG(LOG_ERR, kModule, "Bad Parameter.");
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    KEST_VOLUME_ROOT root{};
    if (KESTVolumeMountPathGet(path, &root) != 0) return -1;
    char value[1025] = {};
    ssize_t n = getxattr(root.root, "user.kest.vol.attr", value, 1024);
    if (n >= 0) {
        if (n > 0) value[n - 1] = '\0';
        int parsed = 0;
        if (sscanf(value, "%d", &parsed) != 1) {
            KEST_LOG(LOG_ERR, kModule, "Failed to read formatted data from string, errno:[%d], szValue:[%s]", errno, value);
            return -1;
        }
        *attribute = parsed;
        return 0;
    }
    FS_INFO *fs = nullptr;
    int found = KESTFSInfoGet(root.root, &fs);
    KESTFSInfoFree(fs);
    if (found < 0) {
        KEST_LOG(LOG_ERR, kModule, "Fail to get file system information of [%s]", root.root);
        return -1;
    }
    *attribute = found == 1 ? 1 : 0;
    return 0;
}

int KESTVolumeIsUsedByGlusterfs(const char *path) {
    static const char *const kModule = "volume_internal_lib";
    if (!path) {
        KEST_LOG(LOG_ERR, kModule, "Bad Parameter.");
        return -1;
    }
    if (XLIBCFileCheckKeyValue("/etc/kestinfo.conf", "join_tarn_cms", "yes", 0) != 1) return 0;
    const char *conf = "/var/packages/BrickPoolPkg/etc/kestgluster.conf";
    char id[128] = {}, role[16] = {};
    int got_id = XLIBCFileGetKeyValue(conf, "gluster_id", id, sizeof id, 0);
    int got_role = got_id < 0 ? -1 : XLIBCFileGetKeyValue(conf, "role", role, sizeof role, 0);
    if (got_id < 0 || got_role < 0) {
        KEST_LOG(LOG_ERR, kModule, "Failed to check storage node of glusterservice.");
        return -1;
    }
    char *end = nullptr;
    long r = strtol(role, &end, 10);
    bool node = got_id > 1 && got_role > 0 && end != role && *end == '\0' && r >= 1 && r <= 15 && (r & 0x1);
    if (!node) return 0;
    KEST_VOLUME_ROOT root{};
    if (KESTVolumeMountPathGet(path, &root) != 0) return 0;
    if (!(root.cls == VOL_CLASS_VOLUME || (root.cls == VOL_CLASS_X && XLIBCSupportDualHead()))) return 0;
    SzList *names = XLIBCSzListAlloc(0);
    if (!names) {
        KEST_LOG(LOG_ERR, kModule, "Failed to alloc list.");
        return -1;
    }
    int n = XLIBCFileEnumDir(root.root, "@brick", &names, 0);
    XLIBCSzListFree(names);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

}
