#include "kest/filelock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "internal/filelock_child.h"
#include "internal/raise.h"

namespace {

struct LockFile {
    unsigned bit;
    const char *path;
};

// In taking order: lock_kestinfo, pw, gr, rc, host, smb, exports, nw, then
// the rest by bit.
constexpr LockFile kLocks[] = {
    {0x00000800, "/run/kestsdk/lock/lock_kestinfo"},    {0x00000010, "/run/kestsdk/lock/lock_pw"},
    {0x00000020, "/run/kestsdk/lock/lock_gr"},          {0x00000080, "/run/kestsdk/lock/lock_rc"},
    {0x00000100, "/run/kestsdk/lock/lock_host"},        {0x00000040, "/run/kestsdk/lock/lock_smb"},
    {0x00000200, "/run/kestsdk/lock/lock_exports"},     {0x00000400, "/run/kestsdk/lock/lock_nw"},
    {0x00001000, "/run/kestsdk/lock/lock_apple"},       {0x00002000, "/run/kestsdk/lock/lock_snmp"},
    {0x00004000, "/run/kestsdk/lock/lock_win"},         {0x00008000, "/run/kestsdk/lock/lock_tapebkp"},
    {0x00010000, "/run/kestsdk/lock/lock_connect"},     {0x00020000, "/run/kestsdk/lock/lock_usbidmap"},
    {0x00040000, "/run/kestsdk/lock/lock_duseruid"},    {0x00080000, "/run/kestsdk/lock/lock_dusergid"},
    {0x00100000, "/run/kestsdk/lock/lock_fstab"},       {0x00200000, "/run/kestsdk/lock/lock_hotswap"},
    {0x00400000, "/run/kestsdk/lock/lock_space"},       {0x00800000, "/run/kestsdk/lock/lock_ttys1"},
    {0x01000000, "/run/kestsdk/lock/lock_srvmgr"},      {0x02000000, "/run/kestsdk/lock/lock_kestmount"},
    {0x04000000, "/run/kestsdk/lock/lock_lunbkptask"},  {0x08000000, "/run/kestsdk/lock/lock_lunbkp_env"},
    {0x10000000, "/run/kestsdk/lock/lock_pkg"},         {0x20000000, "/run/kestsdk/lock/lock_ftp_currlog"},
    {0x40000000, "/run/kestsdk/lock/lock_sshd_refernce"}, {0x80000000, "/run/kestsdk/lock/lock_sftp_currlog"},
};
constexpr int kCount = sizeof kLocks / sizeof kLocks[0];

struct Held {
    FILE *stream = nullptr;
    int count = 0;
    int op = 0;
};

// This thread's copy of the table.
thread_local Held t_held[kCount];

bool IsShared(int op) { return (op & 3) == LOCK_SH; }
bool IsExclusive(int op) { return (op & 3) == LOCK_EX; }

void ChildAfterFork() { kest::core::CloseThreadLockStreams(); }

__attribute__((constructor)) void RegisterForkHandler() {
    if (pthread_atfork(nullptr, nullptr, ChildAfterFork) != 0)
        KEST_LOG(LOG_ERR, "file_lock", "Failed to register fork handler (%m)");
}

}  // namespace

namespace kest::core {

void CloseThreadLockStreams() {
    for (Held &h : t_held) {
        if (h.stream) fclose(h.stream);
        h = Held{};
    }
}

}  // namespace kest::core

extern "C" {

int XLIBCFileLockCheckDir(void) {
    static const char *const kModule = "file_lock_check_dir";
    for (const LockFile &l : kLocks) {
        struct stat st;
        if (stat(l.path, &st) == 0 && S_ISREG(st.st_mode)) continue;
        // Never through a link, never blocking on a FIFO.
        int fd = open(l.path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0444);
        if (fd < 0) {
            KEST_RAISE(ERR_OPEN, kModule);
            return -1;
        }
        if (fchmod(fd, 0444) != 0) KEST_LOG(LOG_ERR, kModule, "fchmod failed, %m");
        close(fd);
    }
    return 0;
}

int XLIBCFileUnlock(int bits) {
    static const char *const kModule = "file_unlock";
    int result = 0;
    for (int i = 0; i < kCount; ++i) {
        Held &h = t_held[i];
        if (!(static_cast<unsigned>(bits) & kLocks[i].bit) || !h.stream) continue;
        if (h.count >= 2) {
            --h.count;
            continue;
        }
        if (flock(fileno(h.stream), LOCK_UN) != 0) {
            KEST_RAISE(ERR_UNLOCK, kModule);
            result = -1;
        }
        if (fclose(h.stream) != 0) result = -1;
        h = Held{};
    }
    return result;
}

int XLIBCFileLock(int flags, int timeout) {
    static const char *const kModule = "file_lock";
    if (XLIBCFileLockCheckDir() < 0) return -1;
    const int op = flags & 0xF;
    const unsigned wanted = static_cast<unsigned>(flags) & ~0xFu;
    for (long waited_ms = 0;; waited_ms += 50) {
        unsigned taken = 0;
        bool failed = false;
        for (int i = 0; i < kCount && !failed; ++i) {
            if (!(wanted & kLocks[i].bit)) continue;
            Held &h = t_held[i];
            if (h.stream) {
                ++h.count;
                taken |= kLocks[i].bit;
                // A shared hold is no exclusive one: refuse rather than count.
                if (IsShared(h.op) && IsExclusive(op)) {
                    XLIBCFileUnlock(static_cast<int>(taken));
                    KEST_RAISE(ERR_LOCK, kModule);
                    return -1;
                }
                continue;
            }
            FILE *f = fopen(kLocks[i].path, "re");
            if (!f) continue;  // stays untaken: the attempt fails below
            h.stream = f;
            h.count = 1;
            taken |= kLocks[i].bit;
            if (flock(fileno(f), op) != 0) {
                failed = true;
                break;
            }
            h.op = op;
        }
        if (!failed && taken == wanted) return 0;
        // Nothing of the set stays held between attempts.
        XLIBCFileUnlock(static_cast<int>(taken));
        if (timeout == 0 || (timeout > 0 && waited_ms >= timeout * 1000L)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    KEST_RAISE(ERR_LOCK, kModule);
    return -1;
}

}
