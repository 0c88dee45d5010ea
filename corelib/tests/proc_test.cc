// Process execution, pipes and named locks against real child programs,
// inside a testbed (its /run/kestsdk/lock and PID namespace).
#include "kest/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "kest/error.h"
#include "kest/filelock.h"
#include "test_util.h"

using kest::test::Read;
using kest::test::TempDir;
using kest::test::Write;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::string g_self;

std::string ReadAll(FILE *f) {
    std::string out;
    char buf[256];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    return out;
}

TEST(Popen, RefusesBadModesAndStartsNothing) {
    for (const char *mode : {"rw", "", "x", "rq", "BE"}) {
        XLIBCErrSetEx(0, nullptr, 0);
        EXPECT_EQ(XLIBCPopen("/bin/true", mode, nullptr), nullptr) << mode;
        EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS) << mode;
    }
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child was started
    EXPECT_EQ(XLIBCPopen(nullptr, "r", nullptr), nullptr);
}

TEST(Popen, RoutesStandardErrorByMode) {
    const struct {
        const char *mode, *output;
    } cases[] = {{"r", "out\n"}, {"rE", "err\n"}, {"rB", "out\nerr\n"}, {"re", "out\n"}};
    for (const auto &c : cases) {
        FILE *f = XLIBCPopen("/bin/sh", c.mode, "-c", "echo out; echo err >&2", nullptr);
        ASSERT_NE(f, nullptr) << c.mode;
        EXPECT_EQ(ReadAll(f), c.output) << c.mode;
        int status = XLIBCPclose(f);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Write mode: the caller feeds the child's input.
    TempDir dir;
    std::string out = dir / "out";
    FILE *w = XLIBCPopen("/bin/sh", "w", "-c", ("cat > " + out).c_str(), nullptr);
    ASSERT_NE(w, nullptr);
    fputs("fed\n", w);
    EXPECT_EQ(WEXITSTATUS(XLIBCPclose(w)), 0);
    EXPECT_EQ(Read(out), "fed\n");
}

TEST(Exec, MissingProgramAndExitStatuses) {
    EXPECT_EQ(XLIBCExecl("/no/such/program", 0, nullptr), 255);
    FILE *f = XLIBCPopen("/no/such/program", "r", nullptr);
    ASSERT_NE(f, nullptr);
    int status = XLIBCPclose(f);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);

    EXPECT_EQ(XLIBCExecl("/bin/sh", 0, "-c", "exit 3", nullptr), 3);
    XLIBCErrSetEx(0, nullptr, 0);
    EXPECT_EQ(XLIBCExecl("/bin/sh", 0, "-c", "kill -9 $$", nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_ABNORMAL_EXIT);
    // The default flags of XLIBCExec put the child in "/".
    TempDir dir;
    std::string out = dir / "pwd";
    EXPECT_EQ(XLIBCExec("/bin/sh", "-c", ("pwd > " + out).c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(Read(out), "/\n");
    char *argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"), const_cast<char *>("exit 5"), nullptr};
    EXPECT_EQ(XLIBCExecv("/bin/sh", argv, 1), 5);
}

TEST(Exec, KeepsSaNoCldWait) {
    struct sigaction sa {}, before {}, after {};
    sa.sa_handler = SIG_DFL;
    sa.sa_flags = SA_NOCLDWAIT;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGCHLD, &sa, &before), 0);
    EXPECT_EQ(XLIBCExecl("/bin/sh", 0, "-c", "exit 7", nullptr), 7);
    sigaction(SIGCHLD, nullptr, &after);
    EXPECT_TRUE(after.sa_flags & SA_NOCLDWAIT);
    sigaction(SIGCHLD, &before, nullptr);
}

TEST(Pclose, UnknownStream) {
    FILE *f = fopen("/dev/null", "r");
    EXPECT_EQ(XLIBCPclose(f), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_PIPE_STREAM);
    fclose(f);
    EXPECT_EQ(XLIBCPclose(nullptr), -1);
}

TEST(PidFile, NumbersLettersAndSignals) {
    TempDir dir;
    std::string letters = dir / "letters.pid";
    Write(letters, "abc\n");
    EXPECT_EQ(XLIBCProcPidFileRead(letters.c_str()), 0);
    EXPECT_EQ(XLIBCProcSignalByPidFile(letters.c_str(), SIGTERM), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_OPEN);
    EXPECT_EQ(XLIBCProcPidFileRead((dir / "missing").c_str()), -1);
    EXPECT_EQ(XLIBCProcSignalByPidFile(letters.c_str(), -1), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);

    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    std::string pidfile = dir / "child.pid";
    Write(pidfile, std::to_string(child) + "\n");
    EXPECT_EQ(XLIBCProcPidFileRead(pidfile.c_str()), child);
    EXPECT_EQ(XLIBCProcAliveByPidFile(pidfile.c_str()), 1);
    EXPECT_EQ(XLIBCProcSignalByPidFile(pidfile.c_str(), SIGTERM), 0);
    int status;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(XLIBCProcAliveByPidFile(pidfile.c_str()), 0);
    EXPECT_EQ(XLIBCProcSignalByPidFile(pidfile.c_str(), SIGTERM), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_SYSTEM_CALL);
}

TEST(Fork, DetachedGrandchildRunsOnUnderInit) {
    TempDir dir;
    std::string out = dir / "ppid";
    pid_t r = XLIBCProcFork(PROC_DETACH);
    if (r == 0) {
        // The grandchild: wait for the intermediate to be gone.
        for (int i = 0; i < 500 && getppid() != 1; ++i) usleep(2000);
        Write(out + ".tmp", std::to_string(getppid()));
        rename((out + ".tmp").c_str(), out.c_str());
        _exit(0);
    }
    EXPECT_EQ(r, 1);
    for (int i = 0; i < 500 && !std::filesystem::exists(out); ++i) usleep(2000);
    EXPECT_EQ(Read(out), "1");
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // the caller has no child left
}

// The child lists its descriptors (helper mode of this binary).
std::string ChildFds(int flags) {
    TempDir dir;
    std::string out = dir / "fds";
    EXPECT_EQ(XLIBCExecl(g_self.c_str(), flags, "--list-fds", out.c_str(), nullptr), 0);
    return Read(out);
}

TEST(Fork, CloseFdsLeavesOnlyTheStandardStreams) {
    int extra = open("/dev/null", O_RDONLY);  // inheritable on purpose
    ASSERT_GT(extra, 2);
    std::string inherited = ChildFds(0);
    EXPECT_NE(inherited.find(" " + std::to_string(extra) + " "), std::string::npos) << inherited;
    EXPECT_EQ(ChildFds(PROC_CLOSE_FDS), " 0 1 2 ");
    close(extra);
}

TEST(Fork, ChildOfALockHolderDoesNotHoldTheLock) {
    ASSERT_EQ(XLIBCFileLock(FLOCK_KESTINFO | FLOCK_EXCLUSIVE | FLOCK_NONBLOCK, 0), 0);
    // A plain fork, without the close-locks flag: the fork handler does it.
    pid_t child = XLIBCProcFork(0);
    if (child == 0) {
        DIR *d = opendir("/proc/self/fd");
        bool open_lock = false;
        while (dirent *e = readdir(d)) {
            char target[256] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 && strstr(target, "lock_kestinfo")) open_lock = true;
        }
        closedir(d);
        // Believing it holds the lock, it would merely count and succeed.
        int r = XLIBCFileLock(FLOCK_KESTINFO | FLOCK_EXCLUSIVE | FLOCK_NONBLOCK, 0);
        _exit(open_lock ? 3 : r == 0 ? 2 : 0);
    }
    int status;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(XLIBCFileUnlock(FLOCK_KESTINFO), 0);
}

TEST(ProcIo, RetriedReadAndWriteRefuseBadArguments) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(XLIBCProcWrite(fds[1], "line\n", 5), 5);
    close(fds[1]);
    FILE *f = fdopen(fds[0], "r");
    char buf[16];
    errno = 42;
    EXPECT_EQ(XLIBCProcFgets(buf, sizeof buf, f), buf);
    EXPECT_EQ(errno, 42);
    EXPECT_STREQ(buf, "line\n");
    fclose(f);
    EXPECT_EQ(XLIBCProcFgets(buf, 0, stdin), nullptr);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(XLIBCProcWrite(-1, "x", 1), -1);
    EXPECT_EQ(XLIBCProcWrite(1, "x", 0), -1);
}

// ---- named locks ----------------------------------------------------------

// Holds `flags` in a child process until `release` exists; returns its pid
// once it holds them.
pid_t HoldInChild(int flags, const std::string &release) {
    TempDir *ready_dir = new TempDir;  // lives until the child is reaped
    std::string ready = *ready_dir / "ready";
    pid_t pid = fork();
    if (pid == 0) {
        if (XLIBCFileLock(flags, 0) != 0) _exit(1);
        Write(ready, "1");
        while (!std::filesystem::exists(release)) usleep(2000);
        _exit(0);
    }
    while (!std::filesystem::exists(ready)) usleep(1000);
    delete ready_dir;
    return pid;
}

void Release(pid_t pid, const std::string &release) {
    Write(release, "1");
    int status;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    unlink(release.c_str());
}

// Can another process take these locks right now?
bool OtherProcessCanTake(int flags) {
    pid_t pid = fork();
    if (pid == 0) _exit(XLIBCFileLock(flags, 0) == 0 ? 0 : 1);
    int status;
    waitpid(pid, &status, 0);
    return WEXITSTATUS(status) == 0;
}

// How many times a call opens a lock file: one open per attempt. The
// events are drained as they come, since inotify folds an unread repeat of
// the same event into the one before.
class OpenCounter {
public:
    explicit OpenCounter(const char *path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(fd_, path, IN_OPEN);
        reader_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 2) > 0) Drain();
            }
            Drain();
        });
    }
    ~OpenCounter() {
        if (reader_.joinable()) Count();
        close(fd_);
    }
    int Count() {
        stop_ = true;
        reader_.join();
        return count_;
    }

private:
    void Drain() {
        alignas(inotify_event) char buf[4096];
        for (ssize_t got; (got = read(fd_, buf, sizeof buf)) > 0;)
            for (char *p = buf; p < buf + got; p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len)
                ++count_;
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::thread reader_;
};

TEST(FileLock, ContentionWithTimeoutZeroAndOne) {
    TempDir dir;
    std::string release = dir / "release";
    pid_t holder = HoldInChild(FLOCK_KESTINFO | FLOCK_EXCLUSIVE | FLOCK_NONBLOCK, release);
    {
        OpenCounter opens("/run/kestsdk/lock/lock_kestinfo");
        EXPECT_EQ(XLIBCFileLock(0x806, 0), -1);
        EXPECT_EQ(XLIBCErrGet(), ERR_LOCK);
        EXPECT_EQ(opens.Count(), 1);  // one attempt
    }
    {
        OpenCounter opens("/run/kestsdk/lock/lock_kestinfo");
        EXPECT_EQ(XLIBCFileLock(0x806, 1), -1);
        EXPECT_EQ(opens.Count(), 21);  // one a 50 ms step for a second, and the first
    }
    Release(holder, release);
    EXPECT_EQ(XLIBCFileLock(0x806, 0), 0);
    EXPECT_EQ(XLIBCFileUnlock(FLOCK_KESTINFO), 0);
}

TEST(FileLock, ReentryCountsAndNoUpgrade) {
    ASSERT_EQ(XLIBCFileLock(0x105, 5), 0);
    ASSERT_EQ(XLIBCFileLock(0x105, 5), 0);
    EXPECT_FALSE(OtherProcessCanTake(0x106));
    EXPECT_TRUE(OtherProcessCanTake(0x105));  // shared with others
    EXPECT_EQ(XLIBCFileUnlock(FLOCK_HOST), 0);
    EXPECT_FALSE(OtherProcessCanTake(0x106));  // still held once
    EXPECT_EQ(XLIBCFileUnlock(FLOCK_HOST), 0);
    EXPECT_TRUE(OtherProcessCanTake(0x106));

    ASSERT_EQ(XLIBCFileLock(0x105, 0), 0);
    EXPECT_EQ(XLIBCFileLock(0x106, 0), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_LOCK);
    EXPECT_EQ(XLIBCFileLock(0x102, 0), -1);  // a blocking exclusive ask is no upgrade either
    EXPECT_FALSE(OtherProcessCanTake(0x106));
    EXPECT_EQ(XLIBCFileUnlock(FLOCK_HOST), 0);  // held once, so this releases
    EXPECT_TRUE(OtherProcessCanTake(0x106));
}

TEST(FileLock, NoPartialSetBetweenAttempts) {
    TempDir dir;
    std::string release = dir / "release";
    pid_t holder = HoldInChild(FLOCK_PW | FLOCK_EXCLUSIVE | FLOCK_NONBLOCK, release);
    // While we retry for the pair, lock_kestinfo (taken first) must be free
    // again between attempts.
    std::thread waiter([] { EXPECT_EQ(XLIBCFileLock(FLOCK_KESTINFO | FLOCK_PW | 6, 1), -1); });
    int free_seen = 0;
    auto end = Clock::now() + 800ms;
    while (Clock::now() < end) free_seen += OtherProcessCanTake(FLOCK_KESTINFO | 6);
    waiter.join();
    EXPECT_GT(free_seen, 0);
    EXPECT_TRUE(OtherProcessCanTake(FLOCK_KESTINFO | 6));
    Release(holder, release);
}

TEST(FileLock, CreatesMissingLockFilesReadOnly) {
    unlink("/run/kestsdk/lock/lock_win");
    EXPECT_EQ(XLIBCFileLockCheckDir(), 0);
    struct stat st;
    ASSERT_EQ(stat("/run/kestsdk/lock/lock_win", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    // A link planted at a lock file's name is not followed.
    unlink("/run/kestsdk/lock/lock_snmp");
    symlink("/tmp/planted", "/run/kestsdk/lock/lock_snmp");
    EXPECT_EQ(XLIBCFileLockCheckDir(), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_OPEN);
    EXPECT_FALSE(std::filesystem::exists("/tmp/planted"));
    unlink("/run/kestsdk/lock/lock_snmp");
    EXPECT_EQ(XLIBCFileLockCheckDir(), 0);
}

}  // namespace

int main(int argc, char **argv) {
    g_self = std::filesystem::canonical("/proc/self/exe");
    if (argc == 3 && std::string(argv[1]) == "--list-fds") {
        std::string list = " ";
        DIR *d = opendir("/proc/self/fd");
        int own = dirfd(d);
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.' || atoi(e->d_name) == own) continue;
            list += std::string(e->d_name) + " ";
        }
        closedir(d);
        Write(argv[2], list);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new kest::test::LeakCheck);
    return RUN_ALL_TESTS();
}
