// kestdiskmanagertool: at an HA switchover, stops S.M.A.R.T. tests,
// performance tests and lit locate indicators on every disk, and tells the
// user about each interrupted test.
#include <getopt.h>
#include <signal.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hwcontrol.h"
#include "kest/kvfile.h"
#include "kest/proc.h"
#include "kest/szlist.h"
#include "kestnotify.h"
#include "keststorage.h"

#define LOG_ERROR(fmt, ...) syslog(LOG_ERR, "%s:%d " fmt, __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr uint32_t kAllDiskKinds = 47;
constexpr int kExitStop = 255;
constexpr size_t kMaxKill = 128;

// The performance-test record of a disk.
std::string RecordPath(const char *disk_path) {
    const char *name = strncmp(disk_path, "/dev/", 5) == 0 ? disk_path + 5 : disk_path;
    char path[128];
    snprintf(path, sizeof path, "%s/%s/%s", "/run/keststorage/disks/", name, "perf_test");
    return path;
}

// -1 on a read error, 0 when absent, else the value's length + 1.
int ReadRecordKey(const std::string &record, const char *key, char (&value)[8]) {
    value[0] = '\0';
    return XLIBCFileGetKeyValue(record.c_str(), key, value, sizeof value, 0);
}

// The test's process and its descendants, from one pass over the process
// table (parents before children in "ps" order).
bool KillTree(pid_t root) {
    FILE *ps = XLIBCPopen("/bin/ps", "r", "-e", "-o", "ppid,pid", nullptr);
    if (!ps) {
        LOG_ERROR("Failed to popen ps");
        return false;
    }
    std::vector<pid_t> kill_list = {root};
    char line[128];
    while (XLIBCProcFgets(line, sizeof line, ps)) {
        int ppid, pid;
        if (sscanf(line, "%d %d", &ppid, &pid) != 2) continue;
        for (size_t i = 0; i < kill_list.size(); ++i) {
            if (kill_list[i] == ppid) {
                if (kill_list.size() < kMaxKill) kill_list.push_back(pid);
                break;
            }
        }
    }
    XLIBCPclose(ps);
    for (pid_t pid : kill_list) {
        if (kill(pid, SIGKILL) != 0) {
            LOG_ERROR("Failed to kill process");
            return false;
        }
    }
    return true;
}

// Removes the record whatever happens once it was found.
struct RecordGuard {
    std::string path;
    ~RecordGuard() { unlink(path.c_str()); }
};

bool StopPerformanceTest(const char *disk_path) {
    if (KESTDiskIsPerformanceTesting(disk_path) != 1) return true;
    RecordGuard record{RecordPath(disk_path)};
    char value[8];
    if (ReadRecordKey(record.path, "pid", value) < 1) {
        LOG_ERROR("Failed to get key value");
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long pid = strtol(value, &end, 10);
    // Only a positive process id: never a signal to a group or to everyone.
    if (errno || end == value || *end || pid <= 0) return false;
    if (!KillTree(static_cast<pid_t>(pid))) return false;

    if (ReadRecordKey(record.path, "md1Remove", value) < 0) {
        LOG_ERROR("Failed to get key value");
        return false;
    }
    if (strcmp(value, "yes") == 0 && KESTDiskMd1Recover(disk_path) < 0) return false;
    if (ReadRecordKey(record.path, "diskRemove", value) < 0) {
        LOG_ERROR("Failed to get key value");
        return false;
    }
    if (strcmp(value, "yes") != 0) return true;

    SzList *list = XLIBCSzListAlloc(128);
    if (!list) {
        LOG_ERROR("Failed to allocate list");
        return false;
    }
    bool ok = true;
    if (XLIBCSzListPush(&list, disk_path) < 0) {
        LOG_ERROR("Failed to push %s to list", disk_path);
        ok = false;
    } else if (KESTSpaceDiskSysPartitionCreateAndJoin(list, 8) < 0) {
        LOG_ERROR("Failed to create partition %s", disk_path);
        ok = false;
    } else if (KESTDiskUpdateCheckFile("/tmp/.scemd_stop_check_md0", 0) < 0 ||
               KESTDiskUpdateCheckFile("/tmp/.scemd_stop_check_md1", 0) < 0) {
        LOG_ERROR("KESTDiskUpdateCheckFile failed.");
        ok = false;
    }
    XLIBCSzListFree(list);
    return ok;
}

bool SendInterruptNotification(const char *disk_path, int index) {
    const char *tag = index == 0   ? "smarttest_interrupt_by_swtichover"
                      : index == 1 ? "perftest_interrupt_by_swtichover"
                                   : nullptr;
    if (!tag) {
        LOG_ERROR("Unknown service type %d on %s", index, disk_path);
        return false;
    }
    DISK_ID id;
    memset(&id, 0, sizeof id);
    if (DiskPathParse(disk_path, &id) < 0) {
        LOG_ERROR("Failed to get disk id %s", disk_path);
        return false;
    }
    char disk_id[64] = {};
    DiskIdToString(&id, disk_id, sizeof disk_id);
    char unit[32] = {};
    if (KESTDiskLocateHostGet(disk_path, unit, sizeof unit, 1) < 0) {
        LOG_ERROR("Failed to get located hostname: %s", disk_path);
        return false;
    }
    SzHash *hash = XLIBCSzHashAlloc(1024);
    if (!hash) {
        LOG_ERROR("fail to create mail hash");
        return false;
    }
    XLIBCSzHashSetValue(&hash, "%DISK_ID%", disk_id);
    XLIBCSzHashSetValue(&hash, "%EUNIT_ID%", unit);
    bool ok = KESTSysNotifySendNotifiction(tag, reinterpret_cast<const struct SzHash *>(hash)) >= 0;
    if (!ok) LOG_ERROR("Failed to send email %s", tag);
    XLIBCSzHashFree(hash);
    return ok;
}

struct Service {
    bool (*running)(const char *);
    bool (*stop)(const char *);
    bool notify;
};

const Service kServices[] = {
    {[](const char *d) { return KESTDiskIsSmartTesting(d) != 0; }, [](const char *d) { return KESTDiskSmartTestStop(d) == 0; },
     true},
    {[](const char *d) { return KESTDiskIsPerformanceTesting(d) != 0; }, StopPerformanceTest, true},
    {[](const char *d) {
         int status = 0;
         return KESTDiskLedStatusGet(d, &status) > 0;
     },
     [](const char *d) { return KESTDiskLedStatusRestore(d) == 0; }, false},
};

int StopAllDiskService() {
    const uint32_t kinds = kAllDiskKinds;
    DISK_FILTER filter{};
    filter.kinds = &kinds;
    DISK_INFO_LIST *list = nullptr;
    if (DiskInfoEnum(&filter, &list) < 0) {
        printf("Failed to enum disks \n");
        return kExitStop;
    }
    for (DISK_INFO_LIST *node = list; node; node = node->next) {
        if (!node->disk) continue;
        const char *disk = node->disk->path;
        for (int index = 0; index < 3; ++index) {
            const Service &s = kServices[index];
            if (!s.running(disk)) continue;
            if (!s.stop(disk)) LOG_ERROR("Failed to stop %d service on %s", index, disk);
            if (s.notify && !SendInterruptNotification(disk, index))
                LOG_ERROR("Failed to send notification interrupt %d service on %s", index, disk);
        }
    }
    DiskInfoEnumFree(list);
    return kExitStop;
}

}  // namespace

int main(int argc, char **argv) {
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"stop_all_disk_service", no_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    if (getopt_long_only(argc, argv, "", kOptions, nullptr) == 's') return StopAllDiskService();
    printf("Usage:\n\t --help                         Show usage.\n\t --stop_all_disk_service        Stop disk "
           "related service on all disks.\n");
    return 0;
}
