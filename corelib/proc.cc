#include "kest/proc.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "internal/filelock_child.h"
#include "internal/raise.h"

namespace {

// Open pipes, so later children close them and XLIBCPclose finds the
// child. The descriptor is kept beside the stream: a child must not touch
// a stream another thread may have locked at the fork.
struct PipeRecord {
    FILE *stream;
    int fd;
    pid_t pid;
    PipeRecord *next;
};

std::mutex g_registry_lock;
PipeRecord *g_registry = nullptr;

int WaitRetry(pid_t pid, int *status) {
    for (;;) {
        pid_t r = waitpid(pid, status, 0);
        if (r >= 0 || errno != EINTR) return r < 0 ? -1 : 0;
    }
}

void NullStdio() {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
}

// Keeps SA_NOCLDWAIT off while a child's status is collected.
class ChildStatusGuard {
public:
    ChildStatusGuard() {
        if (sigaction(SIGCHLD, nullptr, &old_) == 0 && (old_.sa_flags & SA_NOCLDWAIT)) {
        struct sigaction without = old_;
            without.sa_flags &= ~SA_NOCLDWAIT;
            restore_ = sigaction(SIGCHLD, &without, nullptr) == 0;
        }
    }
    ~ChildStatusGuard() {
        if (restore_) sigaction(SIGCHLD, &old_, nullptr);
    }

private:
    struct sigaction old_ {};
    bool restore_ = false;
};

// Runs as the owner of the program file; false (logged) when it cannot.
bool SwitchToOwner(const char *path) {
    if (!path) {
        syslog(LOG_DAEMON | LOG_ERR, "ERROR: path shall NOT be NULL");
        return false;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        syslog(LOG_DAEMON | LOG_ERR, "ERROR: stat(%s) [%s]", path, strerror(errno));
        return false;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) size = 16384;
    std::vector<char> buf;
    try {
        buf.resize(static_cast<size_t>(size));
    } catch (...) {
        syslog(LOG_DAEMON | LOG_ERR, "ERROR: malloc(%ld) [%s]", size, strerror(ENOMEM));
        return false;
    }
    passwd pw{}, *found = nullptr;
    int err = getpwuid_r(st.st_uid, &pw, buf.data(), buf.size(), &found);
    if (err != 0 || !found) {
        syslog(LOG_DAEMON | LOG_ERR, "ERROR: getpwuid(%d) [%s]", static_cast<int>(st.st_uid),
               strerror(err ? err : ENOENT));
        return false;
    }
    if (initgroups(pw.pw_name, pw.pw_gid) != 0) return false;
    if (st.st_gid == 1) {
        if (getegid() != pw.pw_gid && setegid(pw.pw_gid) != 0) return false;
        if (geteuid() != pw.pw_uid && seteuid(pw.pw_uid) != 0) return false;
        return true;
    }
    return setresgid(pw.pw_gid, pw.pw_gid, pw.pw_gid) == 0 && setresuid(pw.pw_uid, pw.pw_uid, pw.pw_uid) == 0;
}

std::vector<char *> BuildArgv(const char *path, va_list ap) {
    std::vector<char *> argv = {const_cast<char *>(path)};
    while (const char *arg = va_arg(ap, const char *)) argv.push_back(const_cast<char *>(arg));
    argv.push_back(nullptr);
    return argv;
}

// Forks with `flags`, runs the program in the child, waits for it.
int RunAndWait(const char *path, char *const argv[], int flags) {
    static const char *const kModule = "proc_execl";
    ChildStatusGuard guard;
    pid_t pid = XLIBCProcFork(flags);
    if (pid == 0) {
        if ((flags & PROC_OWNER_SWITCH) && !SwitchToOwner(path)) _exit(255);
        execv(path, argv);
        _exit(255);
    }
    if (pid < 0) {
        KEST_RAISE(ERR_ABNORMAL_EXIT, kModule);
        return -1;
    }
    int status = 0;
    if (WaitRetry(pid, &status) != 0) {
        if (errno == ECHILD) return 0;
        KEST_RAISE(ERR_ABNORMAL_EXIT, kModule);
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    KEST_RAISE(ERR_ABNORMAL_EXIT, kModule);
    return -1;
}

}  // namespace

extern "C" {

pid_t XLIBCProcFork(int flags) {
    static const char *const kModule = "proc_fork";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        KEST_RAISE(ERR_FORK, kModule);
        return -1;
    }
    if (pid > 0) {
        if (!(flags & PROC_DETACH)) return pid;
        int status = 0;
        if (WaitRetry(pid, &status) != 0) return errno == ECHILD ? 1 : -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : -1;
    }
    if (flags & PROC_RESET_NICE) setpriority(PRIO_PROCESS, 0, 0);
    if (flags & PROC_CLEAR_ENV) {
        const char *path = getenv("PATH");
        std::string saved = path ? path : "";
        clearenv();
        if (path) setenv("PATH", saved.c_str(), 1);
    }
    if (flags & (PROC_CLOSE_LOCKS | PROC_CLOSE_FDS)) kest::core::CloseThreadLockStreams();
    if (flags & PROC_NULL_STDIO) NullStdio();
    if (flags & PROC_CLOSE_FDS) syscall(SYS_close_range, 3U, ~0U, 0U);
    if (flags & PROC_DETACH) {
        pid_t grandchild = fork();
        if (grandchild < 0) {
            KEST_LOG(LOG_ERR, kModule, "Failed to fork(). errno=[%d/%m]", errno);
            _exit(255);
        }
        if (grandchild > 0) _exit(0);
        usleep(1);
    }
    if (flags & PROC_SETSID) setsid();
    if (flags & PROC_CHDIR_ROOT) {
        if (chdir("/") != 0) {
            // Nothing to report from here; the program runs where it is.
        }
    }
    return 0;
}

int XLIBCExecl(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    std::vector<char *> argv = BuildArgv(path, ap);
    va_end(ap);
    return RunAndWait(path, argv.data(), flags);
}

int XLIBCExec(const char *path, const char *arg1, const char *arg2, const char *arg3, const char *arg4) {
    return XLIBCExecl(path, PROC_FLAGS_DEFAULT, arg1, arg2, arg3, arg4, static_cast<const char *>(nullptr));
}

int XLIBCExecv(const char *path, char *const argv[], int wait) {
    if (wait) {
        int r = RunAndWait(path, argv, PROC_NULL_STDIO);
        return r;
    }
    ChildStatusGuard guard;
    pid_t r = XLIBCProcFork(PROC_DETACH | PROC_NULL_STDIO);
    if (r == 0) {
        execv(path, argv);
        _exit(255);
    }
    return r == 1 ? 0 : -1;
}

FILE *XLIBCPopenV(const char *path, const char *mode, char *const argv[]) {
    static const char *const kModule = "proc_popen";
    if (!path || !mode || !argv) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return nullptr;
    }
    bool read = false, write = false, both = false, err_only = false, keep_cloexec = false, owner = false;
    for (const char *m = mode; *m; ++m) {
        switch (*m) {
            case 'r': read = true; break;
            case 'w': write = true; break;
            case 'B': both = true; break;
            case 'E': err_only = true; break;
            case 'e': keep_cloexec = true; break;
            case 'p': owner = true; break;
            default:
                KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
                return nullptr;
        }
    }
    if (read == write) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return nullptr;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        KEST_RAISE(ERR_SYSTEM_CALL, kModule);
        return nullptr;
    }
    auto *record = static_cast<PipeRecord *>(calloc(1, sizeof(PipeRecord)));
    if (!record) {
        close(fds[0]);
        close(fds[1]);
        KEST_RAISE(ERR_OUT_OF_MEMORY, kModule);
        return nullptr;
    }
    const int mine = read ? fds[0] : fds[1];
    const int theirs = read ? fds[1] : fds[0];

    pid_t pid;
    {
        std::lock_guard<std::mutex> guard(g_registry_lock);
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            auto attach = [](int fd, int target) {
                if (fd == target) {
                    if (fcntl(fd, F_SETFD, 0) != 0) KEST_LOG(LOG_ERR, kModule, "fcntl failed, %m");
                } else {
                    dup2(fd, target);
                }
            };
            bool out_to_pipe = false, err_to_pipe = false, in_to_pipe = false;
            if (read) {
                if (!err_only) {
                    attach(theirs, 1);
                    out_to_pipe = true;
                }
                if (both || err_only) {
                    attach(theirs, 2);
                    err_to_pipe = true;
                }
            } else {
                attach(theirs, 0);
                in_to_pipe = true;
            }
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                if (!in_to_pipe) dup2(null, 0);
                if (!out_to_pipe) dup2(null, 1);
                if (!err_to_pipe) dup2(null, 2);
                if (null > 2) close(null);
            }
            for (PipeRecord *r = g_registry; r; r = r->next)
                if (r->fd > 2) close(r->fd);
            if (owner && !SwitchToOwner(path)) _exit(127);
            execv(path, argv);
            _exit(127);
        }
        if (pid > 0) record->pid = pid;
    }
    close(theirs);
    if (pid < 0) {
        close(mine);
        free(record);
        KEST_RAISE(ERR_FORK, kModule);
        return nullptr;
    }
    if (!keep_cloexec && fcntl(mine, F_SETFD, 0) != 0) KEST_LOG(LOG_ERR, kModule, "fcntl failed, %m");
    FILE *stream = fdopen(mine, read ? "r" : "w");
    if (!stream) {
        close(mine);
        free(record);
        // The child is ours to reap, even though nobody reads it.
        int status;
        WaitRetry(pid, &status);
        KEST_RAISE(ERR_OPEN, kModule);
        return nullptr;
    }
    record->stream = stream;
    record->fd = mine;
    std::lock_guard<std::mutex> guard(g_registry_lock);
    record->next = g_registry;
    g_registry = record;
    return stream;
}

FILE *XLIBCPopen(const char *path, const char *mode, ...) {
    if (!path || !mode) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "proc_popen");
        return nullptr;
    }
    va_list ap;
    va_start(ap, mode);
    std::vector<char *> argv;
    try {
        argv = BuildArgv(path, ap);
    } catch (...) {
        va_end(ap);
        KEST_RAISE(ERR_OUT_OF_MEMORY, "proc_popen");
        return nullptr;
    }
    va_end(ap);
    return XLIBCPopenV(path, mode, argv.data());
}

int XLIBCPclose(FILE *stream) {
    static const char *const kModule = "proc_popen";
    if (!stream) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    pid_t pid = -1;
    {
        std::lock_guard<std::mutex> guard(g_registry_lock);
        for (PipeRecord **p = &g_registry; *p; p = &(*p)->next) {
            if ((*p)->stream != stream) continue;
            PipeRecord *found = *p;
            *p = found->next;
            pid = found->pid;
            fclose(found->stream);
            free(found);
            break;
        }
    }
    if (pid < 0) {
        KEST_RAISE(ERR_PIPE_STREAM, kModule);
        return -1;
    }
    int status = 0;
    if (WaitRetry(pid, &status) != 0) {
        if (errno == ECHILD) return 0;
        KEST_RAISE(ERR_PIPE_STREAM, kModule);
        return -1;
    }
    return status;
}

pid_t XLIBCProcForkCloseIO(void) {
    pid_t pid = fork();
    if (pid < 0) {
        KEST_LOG(LOG_ERR, "proc_fork", "fork error, errno=%m");
        return -1;
    }
    if (pid == 0) NullStdio();
    return pid;
}

char *XLIBCProcFgets(char *buffer, int size, FILE *stream) {
    if (!buffer || !stream || size < 1) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "proc_fgets");
        return nullptr;
    }
    int saved = errno;
    char *r = nullptr;
    for (int attempt = 0; attempt < 3; ++attempt) {
        errno = 0;
        r = fgets(buffer, size, stream);
        if (r || errno != EINTR) break;
        clearerr(stream);
    }
    errno = saved;
    return r;
}

ssize_t XLIBCProcWrite(int fd, const void *data, size_t length) {
    if (!data || length == 0 || fd < 0) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "proc_write");
        return -1;
    }
    int saved = errno;
    ssize_t r = -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        r = write(fd, data, length);
        if (r >= 0 || errno != EINTR) break;
    }
    errno = saved;
    return r;
}

pid_t XLIBCProcPidFileRead(const char *path) {
    if (!path) return -1;
    FILE *f = fopen(path, "re");
    if (!f) return -1;
    unsigned long pid = 0;
    char newline = 0;
    int n = fscanf(f, "%lu%c", &pid, &newline);
    fclose(f);
    if (n < 1 || pid > 0x7fffffff) return 0;
    return static_cast<pid_t>(pid);
}

int XLIBCProcSignalByPidFile(const char *path, int signal) {
    static const char *const kModule = "proc_signal_by_pid_file";
    if (!path || signal < 0) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    pid_t pid = XLIBCProcPidFileRead(path);
    if (pid < 1) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    if (kill(pid, signal) != 0) {
        KEST_RAISE(ERR_SYSTEM_CALL, kModule);
        return -1;
    }
    return 0;
}

int XLIBCProcAliveByPidFile(const char *path) {
    pid_t pid = XLIBCProcPidFileRead(path);
    return pid > 0 && kill(pid, 0) == 0 ? 1 : 0;
}

}
