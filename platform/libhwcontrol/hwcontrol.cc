// Stand-in for the disk and hardware-control library (see hwcontrol.h).
#include "hwcontrol.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "standin_state.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

using kest::platform::Journal;
using kest::platform::Option;
using kest::platform::ShouldFail;

namespace {

struct Disk {
    std::string name;
    uint32_t unit = 0, slot = 0, kind = 0;
    unsigned parts = 0;
    bool smart = false, perf = false, led = false;
    std::string host;
};

uint32_t KindOf(const std::string &k) {
    if (k == "sata") return DISK_KIND_SATA;
    if (k == "sas") return DISK_KIND_SAS;
    if (k == "usb") return DISK_KIND_USB;
    if (k == "eunit") return DISK_KIND_EUNIT;
    if (k == "ssdcache") return DISK_KIND_SSD_CACHE;
    return 0;
}

bool Disks(std::vector<Disk> *out) {
    std::vector<std::vector<std::string>> lines;
    if (!kest::platform::ReadState("disks", &lines)) return false;
    for (const auto &w : lines) {
        if (w.size() < 4) continue;
        Disk d;
        d.name = w[0];
        d.unit = static_cast<uint32_t>(strtoul(w[1].c_str(), nullptr, 10));
        d.slot = static_cast<uint32_t>(strtoul(w[2].c_str(), nullptr, 10));
        d.kind = KindOf(w[3]);
        d.parts = static_cast<unsigned>(atoi(Option(w, "parts", "0").c_str()));
        d.smart = Option(w, "smart") == "1";
        d.perf = Option(w, "perf") == "1";
        d.led = Option(w, "led") == "1";
        d.host = Option(w, "host", "KS2100");
        out->push_back(d);
    }
    return true;
}

std::string Base(const char *path) {
    std::string p = path ? path : "";
    return p.rfind("/dev/", 0) == 0 ? p.substr(5) : p;
}

// The disk a path names, and its partition number.
bool Find(const char *path, Disk *disk, uint32_t *partition) {
    std::vector<Disk> disks;
    if (!path || !Disks(&disks)) return false;
    std::string name = Base(path);
    for (const Disk &d : disks) {
        if (name == d.name) {
            *disk = d;
            *partition = 0;
            return true;
        }
    }
    size_t digits = name.size();
    while (digits > 0 && isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    if (digits == name.size() || digits == 0) return false;
    std::string stem = name.substr(0, digits);
    // "nvme0n1p2": the partition follows a 'p' after the disk's own digits.
    if (stem.size() > 1 && stem.back() == 'p' && isdigit(static_cast<unsigned char>(stem[stem.size() - 2]))) stem.pop_back();
    for (const Disk &d : disks) {
        if (stem == d.name) {
            *disk = d;
            *partition = static_cast<uint32_t>(atoi(name.c_str() + digits));
            return true;
        }
    }
    return false;
}

int Copy(const std::string &s, char *buf, int size) {
    if (!buf || size <= 0 || s.size() >= static_cast<size_t>(size)) return -1;
    memcpy(buf, s.c_str(), s.size() + 1);
    return 0;
}

}  // namespace

EXPORT int DiskPathParse(const char *path, DISK_ID *id) {
    Disk d;
    uint32_t part = 0;
    if (!id || ShouldFail("DiskPathParse") || !Find(path, &d, &part)) return -1;
    memset(id, 0, sizeof *id);
    snprintf(id->name, sizeof id->name, "%s", d.name.c_str());
    id->unit = d.unit;
    id->slot = d.slot;
    id->partition = part;
    return 0;
}

EXPORT int DiskGetLocation(const DISK_ID *id, const char *, uint32_t *unit, uint32_t *slot) {
    if (!id || !unit || !slot || ShouldFail("DiskGetLocation")) return -1;
    *unit = id->unit;
    *slot = id->slot;
    return 0;
}

EXPORT int DiskIdToString(const DISK_ID *id, char *buf, int size) {
    if (!id) return -1;
    std::string text = id->unit == 1 ? "Disk " + std::to_string(id->slot)
                                     : "Disk " + std::to_string(id->slot) + " on unit " + std::to_string(id->unit);
    return Copy(text, buf, size);
}

EXPORT int DiskInfoEnum(const DISK_FILTER *filter, DISK_INFO_LIST **list) {
    std::vector<Disk> disks;
    if (!filter || !filter->kinds || !list || ShouldFail("DiskInfoEnum") || !Disks(&disks)) return -1;
    DISK_INFO_LIST *head = nullptr, **tail = &head;
    int count = 0;
    for (const Disk &d : disks) {
        if (!(d.kind & *filter->kinds)) continue;
        auto *node = static_cast<DISK_INFO_LIST *>(calloc(1, sizeof(DISK_INFO_LIST)));
        node->disk = static_cast<DISK_INFO *>(calloc(1, sizeof(DISK_INFO)));
        snprintf(node->disk->path, sizeof node->disk->path, "/dev/%s", d.name.c_str());
        snprintf(node->disk->name, sizeof node->disk->name, "%s", d.name.c_str());
        node->disk->unit = d.unit;
        node->disk->slot = d.slot;
        node->disk->kind = d.kind;
        *tail = node;
        tail = &node->next;
        ++count;
    }
    *list = head;
    return count;
}

EXPORT void DiskInfoEnumFree(DISK_INFO_LIST *list) {
    while (list) {
        DISK_INFO_LIST *next = list->next;
        free(list->disk);
        free(list);
        list = next;
    }
}

EXPORT int KESTDiskDevicePathGetByPosition(uint32_t slot, uint32_t unit, char *buf, int size) {
    std::vector<Disk> disks;
    if (ShouldFail("KESTDiskDevicePathGetByPosition") || !Disks(&disks)) return -1;
    for (const Disk &d : disks)
        if (d.unit == unit && d.slot == slot && d.kind != DISK_KIND_SSD_CACHE) return Copy("/dev/" + d.name, buf, size);
    return -1;
}

EXPORT int KESTDiskDevicePartitionPathGet(const char *disk_path, uint32_t partition, char *buf, int size) {
    Disk d;
    uint32_t part = 0;
    if (ShouldFail("KESTDiskDevicePartitionPathGet") || !Find(disk_path, &d, &part) || part != 0) return -1;
    if (partition == 0 || partition > d.parts) return -1;
    bool digit_end = isdigit(static_cast<unsigned char>(d.name.back()));
    return Copy("/dev/" + d.name + (digit_end ? "p" : "") + std::to_string(partition), buf, size);
}

EXPORT int KESTDiskLocateHostGet(const char *disk_path, char *buf, int size, int) {
    Disk d;
    uint32_t part = 0;
    if (ShouldFail("KESTDiskLocateHostGet") || !Find(disk_path, &d, &part)) return -1;
    return Copy(d.host, buf, size);
}

EXPORT int KESTDiskIsSmartTesting(const char *disk_path) {
    Disk d;
    uint32_t part = 0;
    return Find(disk_path, &d, &part) && d.smart ? 1 : 0;
}

EXPORT int KESTDiskSmartTestStop(const char *disk_path) {
    Journal("KESTDiskSmartTestStop", {disk_path ? disk_path : ""});
    return ShouldFail("KESTDiskSmartTestStop") ? -1 : 0;
}

EXPORT int KESTDiskIsPerformanceTesting(const char *disk_path) {
    Disk d;
    uint32_t part = 0;
    return Find(disk_path, &d, &part) && d.perf ? 1 : 0;
}

EXPORT int KESTDiskLedStatusGet(const char *disk_path, int *status) {
    Disk d;
    uint32_t part = 0;
    if (!Find(disk_path, &d, &part)) return -1;
    if (status) *status = d.led ? 1 : 0;
    return d.led ? 1 : 0;
}

EXPORT int KESTDiskLedStatusRestore(const char *disk_path) {
    Journal("KESTDiskLedStatusRestore", {disk_path ? disk_path : ""});
    return ShouldFail("KESTDiskLedStatusRestore") ? -1 : 0;
}

EXPORT int KESTDiskMd1Recover(const char *disk_path) {
    Journal("KESTDiskMd1Recover", {disk_path ? disk_path : ""});
    return ShouldFail("KESTDiskMd1Recover") ? -1 : 0;
}

EXPORT int KESTDiskUpdateCheckFile(const char *path, int flags) {
    Journal("KESTDiskUpdateCheckFile", {path ? path : "", std::to_string(flags)});
    return ShouldFail("KESTDiskUpdateCheckFile") ? -1 : 0;
}
