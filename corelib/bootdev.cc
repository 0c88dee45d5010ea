#include "kest/bootdev.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "internal/raise.h"
#include "kest/proc.h"

namespace {

constexpr key_t kBootSemKey = 0x91491045;
constexpr const char *kInstallFlag = "/proc/sys/kernel/kest_install_flag";
constexpr const char *kModule = "boot/boot_lock";

bool SemAdd(int semid, short delta) {
    sembuf op{0, delta, SEM_UNDO};
    for (;;) {
        if (semop(semid, &op, 1) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// A set is ready once someone has operated on it: its creator raises it to
// 1 with semop, which stamps the operation time. An opener that comes in
// between creation and that first semop waits for it, so it never takes a
// lock whose value was not yet set.
bool WaitInitialised(int semid) {
    for (int i = 0; i < 200; ++i) {
        semid_ds ds{};
        union {
            int val;
            semid_ds *buf;
        } arg;
        arg.buf = &ds;
        if (semctl(semid, 0, IPC_STAT, arg) != 0) return false;
        if (ds.sem_otime != 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The creator died before it set the value: set it for everyone.
    sembuf op{0, 1, 0};
    return semop(semid, &op, 1) == 0;
}

bool WriteFlag(const char *value, const char *what) {
    int fd = open(kInstallFlag, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        syslog(LOG_ERR, "%s(%d): failed to open %s", kModule, __LINE__, kInstallFlag);
        return false;
    }
    bool ok = XLIBCProcWrite(fd, value, 1) == 1;
    if (!ok) syslog(LOG_ERR, "%s(%d): failed to %s refcnt on %s", kModule, __LINE__, what, kInstallFlag);
    close(fd);
    return ok;
}

int PartitionMount(const char *device, const char *mount_point, int mount) {
    if (!mount) {
        umount(mount_point);
        KESTBootUnlock();
        return 0;
    }
    if (!KESTBootLock()) return -1;
    if (KESTBootDeviceMount(device, mount_point) != 0) {
        KESTBootUnlock();
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

int KESTBootSemGet(int *semid) {
    if (!semid) return 0;
    int id = semget(kBootSemKey, 1, IPC_CREAT | IPC_EXCL | 0666);
    if (id >= 0) {
        sembuf op{0, 1, 0};  // the value 1, and the stamp openers wait for
        if (semop(id, &op, 1) != 0) return 0;
        *semid = id;
        return 1;
    }
    if (errno != EEXIST) return 0;
    id = semget(kBootSemKey, 1, 0666);
    if (id < 0 || !WaitInitialised(id)) return 0;
    *semid = id;
    return 1;
}

int KESTBootLock(void) {
    int semid = -1;
    if (!KESTBootSemGet(&semid)) {
        syslog(LOG_ERR, "KESTBootSemGet fail\n");
        syslog(LOG_ERR, "Wait fail");
        return 0;
    }
    if (!SemAdd(semid, -1)) {
        syslog(LOG_ERR, "semop fail semid %d errno %d\n", semid, errno);
        syslog(LOG_ERR, "Wait fail");
        return 0;
    }
    if (!WriteFlag("1", "inc")) {
        SemAdd(semid, 1);
        return 0;
    }
    return 1;
}

int KESTBootUnlock(void) {
    int result = WriteFlag("0", "dec") ? 1 : 0;
    int semid = -1;
    if (!KESTBootSemGet(&semid)) {
        syslog(LOG_ERR, "KESTBootSemGet fail\n");
        syslog(LOG_ERR, "Signal fail");
    } else if (!SemAdd(semid, 1)) {
        syslog(LOG_ERR, "semop fail semid %d errno %d\n", semid, errno);
        syslog(LOG_ERR, "Signal fail");
    }
    return result;
}

int KESTBootDeviceMount(const char *device, const char *mount_point) {
    if (!device || !mount_point) return -1;
    if (XLIBCExec("/bin/mkdir", "-p", mount_point, nullptr, nullptr) != 0) {
        syslog(LOG_ERR, "%s(%d): failed to mkdir.", kModule, __LINE__);
        return -1;
    }
    if (mount(device, mount_point, "ext2", MS_SILENT, nullptr) == 0) return 0;
    if (errno == EBUSY) return -1;
    if (mount(device, mount_point, "vfat", MS_SILENT, nullptr) == 0) return 0;
    if (errno != EBUSY)
        syslog(LOG_ERR, "%s(%d): failed to mount boot device %s %s (errno:%d)", kModule, __LINE__, device,
               mount_point, errno);
    return -1;
}

int KESTBootPartitionMount(const char *device, int mount) {
    return PartitionMount(device ? device : "/dev/kestboot2", "/tmp/bootmnt", mount);
}

int KESTBootEfiMount(int mount) { return PartitionMount("/dev/kestboot1", "/boot/efi", mount); }
int KESTBoot1Mount(void) { return KESTBootPartitionMount("/dev/kestboot1", 1); }
int KESTBoot1Unmount(void) { return KESTBootPartitionMount("/dev/kestboot1", 0); }
int KESTBoot2Mount(void) { return KESTBootPartitionMount("/dev/kestboot2", 1); }
int KESTBoot2Unmount(void) { return KESTBootPartitionMount("/dev/kestboot2", 0); }

}
