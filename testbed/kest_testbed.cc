// kest-testbed: runs a command inside a simulated appliance.
//
// The command gets private mount, IPC, network, PID and UTS namespaces, an
// overlay of the host root, loop-backed block devices and volumes from a
// fixture, its own /proc/sys/kernel files, a captured /dev/log and the
// platform stand-ins. Everything the testbed makes lives in its namespaces:
// the work files sit on a tmpfs only the namespace sees, loop devices clear
// themselves when their last user goes, and the namespace's init is killed
// with its parent, so nothing outlives a run, however it ends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "manifest.h"

namespace fs = std::filesystem;
using kest::testbed::BlockDevice;
using kest::testbed::Manifest;

namespace {

constexpr int kSetupFailed = 125;
constexpr const char *kLogInside = "/run/kest-testbed/syslog.log";

struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string &what) { throw SetupError(what); }
[[noreturn]] void FailErrno(const std::string &what) { throw SetupError(what + ": " + strerror(errno)); }

struct Options {
    std::string fixture = "default";
    bool keep = false;
    bool shell = false;
    std::vector<std::string> binds;
    std::string standins = KEST_STANDIN_ROOT;
    std::string fixtures_dir = KEST_FIXTURES_DIR;
    std::vector<std::string> command;
};

// Everything the namespace's init needs, opened before anything is mounted
// over the paths they came from.
struct Context {
    Options opt;
    Manifest manifest;
    std::string fixture_dir;
    // Opened by init before it mounts over the paths they came from (a
    // bind mount needs a source in init's own mount namespace).
    int fixture_fd = -1;
    int standins_fd = -1;
    int keep_fd = -1;
    std::string keep_dir;
    std::vector<int> bind_fds;
    std::string cwd;
    pid_t outer_pid = 0;
};

void Usage(FILE *to) {
    fprintf(to,
            "usage: kest-testbed [--fixture NAME|DIR] [--keep] [--bind DIR]... [--standins DIR] -- COMMAND [ARG]...\n"
            "       kest-testbed [--fixture NAME|DIR] [--keep] [--bind DIR]... shell\n"
            "Runs COMMAND inside a simulated appliance and exits with its status.\n"
            "  --fixture  fixture name (from %s) or folder with a manifest; default 'default'\n"
            "  --keep     keep the captured log and platform journal in a folder whose path is printed\n"
            "  --bind     make a host folder visible at the same path inside\n"
            "  shell      an interactive shell inside\n",
            KEST_FIXTURES_DIR);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) FailErrno("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string &path, const std::string &data, mode_t mode = 0644) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) FailErrno("cannot create " + path);
    if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        close(fd);
        FailErrno("cannot write " + path);
    }
    close(fd);
}

void MkdirP(const std::string &path, mode_t mode = 0755) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) Fail("cannot create " + path + ": " + ec.message());
    chmod(path.c_str(), mode);
}

void Mount(const std::string &src, const std::string &target, const char *type, unsigned long flags,
           const std::string &data = "") {
    if (mount(src.c_str(), target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()) != 0)
        FailErrno("cannot mount " + (type ? std::string(type) : src) + " on " + target);
}

// Runs a program by argument vector, feeding `input`; returns its output,
// or throws with that output when it fails.
std::string Run(const std::vector<std::string> &argv, const std::string &input = "") {
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) FailErrno("pipe");
    pid_t pid = fork();
    if (pid < 0) FailErrno("fork");
    if (pid == 0) {
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(out_pipe[1], 2);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        fprintf(stderr, "cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    if (!input.empty()) {
        ssize_t n = write(in_pipe[1], input.data(), input.size());
        (void)n;
    }
    close(in_pipe[1]);
    std::string output;
    char buf[4096];
    for (ssize_t n; (n = read(out_pipe[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        output.append(buf, n);
    }
    close(out_pipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string cmd;
        for (const auto &a : argv) cmd += (cmd.empty() ? "" : " ") + a;
        while (!output.empty() && output.back() == '\n') output.pop_back();
        Fail(cmd + " failed" + (output.empty() ? "" : ": " + output));
    }
    return output;
}

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// ---- block devices -------------------------------------------------------

// Loop devices stay open here until init exits; with autoclear the kernel
// detaches each one once the last mount and descriptor are gone.
std::vector<int> g_loop_fds;

// offset and size in bytes; size 0 means to the end of the image.
dev_t AttachLoop(const std::string &image, uint64_t offset = 0, uint64_t size = 0) {
    int ctl = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (ctl < 0) FailErrno("cannot open /dev/loop-control");
    int backing = open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (backing < 0) FailErrno("cannot open " + image);
    for (int attempt = 0; attempt < 64; ++attempt) {
        int n = ioctl(ctl, LOOP_CTL_GET_FREE);
        if (n < 0) FailErrno("no free loop device");
        std::string node = "/dev/loop" + std::to_string(n);
        int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            // devtmpfs may lag behind a loop device just created.
            usleep(10000);
            continue;
        }
        loop_config cfg{};
        cfg.fd = static_cast<__u32>(backing);
        cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        cfg.info.lo_offset = offset;
        cfg.info.lo_sizelimit = size;
        snprintf(reinterpret_cast<char *>(cfg.info.lo_file_name), LO_NAME_SIZE, "%s", image.c_str());
        if (ioctl(fd, LOOP_CONFIGURE, &cfg) == 0) {
            struct stat st;
            fstat(fd, &st);
            g_loop_fds.push_back(fd);
            close(backing);
            close(ctl);
            return st.st_rdev;
        }
        int err = errno;
        close(fd);
        if (err != EBUSY) {
            errno = err;
            FailErrno("cannot attach " + image + " to " + node);
        }
    }
    Fail("cannot find a free loop device for " + image);
}

struct Extent {
    uint64_t start, size;  // bytes
};

// Where sfdisk put the partitions. The kernel here may read no partition
// tables at all, so each partition gets a loop device of its own over its
// extent of the disk image.
std::vector<Extent> PartitionExtents(const std::string &image) {
    std::vector<Extent> out;
    std::istringstream dump(Run({"sfdisk", "--dump", image}));
    for (std::string line; std::getline(dump, line);) {
        size_t st = line.find("start="), sz = line.find("size=");
        if (line.rfind(image, 0) != 0 || st == std::string::npos || sz == std::string::npos) continue;
        out.push_back({std::stoull(line.substr(st + 6)) * 512, std::stoull(line.substr(sz + 5)) * 512});
    }
    return out;
}

void MakeBlockNode(const std::string &path, dev_t dev) {
    MkdirP(fs::path(path).parent_path());
    unlink(path.c_str());
    if (mknod(path.c_str(), S_IFBLK | 0660, dev) != 0) FailErrno("cannot create " + path);
    chown(path.c_str(), 0, 6);  // group "disk"
}

std::string CreateImage(const std::string &dir, const std::string &name, uint64_t size) {
    std::string path = dir + "/" + name + ".img";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) FailErrno("cannot create " + path);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) FailErrno("cannot size " + path);
    close(fd);
    return path;
}

bool KernelHasFileSystem(const std::string &fstype) {
    std::ifstream in("/proc/filesystems");
    for (std::string line; std::getline(in, line);) {
        size_t tab = line.rfind('\t');
        if ((tab == std::string::npos ? line : line.substr(tab + 1)) == fstype) return true;
    }
    return false;
}

// What the testbed had to change because the kernel lacks a file system,
// for tests and people to read in /run/kest-testbed/substitutions.
std::string g_substitutions;

void MakeFileSystem(const std::string &node, std::string fstype, const std::string &content_dir,
                    const std::string &scratch) {
    if (fstype == "none") return;
    if (fstype == "vfat" && !KernelHasFileSystem("vfat")) {
        // Callers mount without naming the type, so ext2 stands in unseen.
        g_substitutions += fs::path(node).filename().string() + " vfat ext2 (the kernel has no vfat)\n";
        fstype = "ext2";
    }
    if (fstype == "vfat") {
        Run({"mkfs.vfat", node});
        if (content_dir.empty()) return;
        MkdirP(scratch);
        Mount(node, scratch, "vfat", 0);
        try {
            Run({"cp", "-rT", content_dir, scratch});
        } catch (...) {
            umount2(scratch.c_str(), MNT_DETACH);
            throw;
        }
        if (umount(scratch.c_str()) != 0) FailErrno("cannot unmount " + scratch);
        return;
    }
    std::vector<std::string> argv = {"mkfs." + fstype, "-F", "-q", "-m", "0"};
    if (!content_dir.empty()) {
        argv.push_back("-d");
        argv.push_back(content_dir);
    }
    argv.push_back(node);
    Run(argv);
}

// ---- the root ------------------------------------------------------------

void BuildDev(const std::string &root) {
    std::string dev = root + "/dev";
    Mount("tmpfs", dev, "tmpfs", MS_NOSUID, "mode=0755");
    const struct {
        const char *name;
        unsigned maj, min;
        mode_t mode;
    } nodes[] = {{"null", 1, 3, 0666}, {"zero", 1, 5, 0666},  {"full", 1, 7, 0666},
                 {"random", 1, 8, 0666}, {"urandom", 1, 9, 0666}, {"tty", 5, 0, 0666},
                 {"ptmx", 5, 2, 0666}};
    for (const auto &n : nodes) {
        std::string p = dev + "/" + n.name;
        if (mknod(p.c_str(), S_IFCHR | n.mode, makedev(n.maj, n.min)) != 0) FailErrno("cannot create " + p);
        chmod(p.c_str(), n.mode);
    }
    MkdirP(dev + "/pts");
    Mount("/dev/pts", dev + "/pts", nullptr, MS_BIND);
    MkdirP(dev + "/shm", 01777);
    Mount("tmpfs", dev + "/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    symlink("/proc/self/fd", (dev + "/fd").c_str());
    symlink("/proc/self/fd/0", (dev + "/stdin").c_str());
    symlink("/proc/self/fd/1", (dev + "/stdout").c_str());
    symlink("/proc/self/fd/2", (dev + "/stderr").c_str());
}

// /proc/sys/kernel is the appliance kernel's: a tmpfs with its own files,
// plus the few real entries ordinary programs read.
void BuildProc(const std::string &root, const Manifest &m) {
    Mount("proc", root + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    std::string kernel = root + "/proc/sys/kernel";
    Mount("tmpfs", kernel, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755");
    if (m.hw_version) WriteFile(kernel + "/kest_hw_version", *m.hw_version + "\n");
    WriteFile(kernel + "/kest_install_flag", "0\n");
    for (const char *name : {"hostname", "domainname", "osrelease", "ostype", "version", "pid_max", "threads-max",
                             "ngroups_max", "cap_last_cap", "overflowuid", "overflowgid", "sem", "shmmax", "shmall",
                             "shmmni", "msgmax", "msgmnb", "msgmni", "random"}) {
        std::string real = std::string("/proc/sys/kernel/") + name;
        struct stat st;
        if (stat(real.c_str(), &st) != 0) continue;
        std::string target = kernel + "/" + name;
        if (S_ISDIR(st.st_mode))
            MkdirP(target);
        else
            WriteFile(target, "");
        Mount(real, target, nullptr, MS_BIND);
    }
}

void BuildDevices(Context &ctx, const std::string &work, const std::string &root) {
    std::string images = work + "/images";
    MkdirP(images, 0700);
    std::string fixture = work + "/fixture";
    auto content = [&](const std::string &c) { return c.empty() ? std::string() : fixture + "/" + c; };
    std::vector<std::pair<std::string, dev_t>> made;
    for (const BlockDevice &d : ctx.manifest.devices) {
        std::string image = CreateImage(images, d.name, d.size);
        if (d.is_disk) {
            std::string script = "label: gpt\n";
            for (const auto &p : d.parts)
                script += p.size ? "size=" + std::to_string(p.size / 512) + "\n" : std::string(",\n");
            Run({"sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", image}, script);
        }
        dev_t dev = AttachLoop(image);
        std::string node = root + "/dev/" + d.name;
        MakeBlockNode(node, dev);
        made.emplace_back(d.name, dev);
        MakeFileSystem(node, d.fs, content(d.content), work + "/mnt");
        std::vector<Extent> extents = d.is_disk ? PartitionExtents(image) : std::vector<Extent>{};
        if (extents.size() != d.parts.size()) Fail("sfdisk made " + std::to_string(extents.size()) + " partitions on " + d.name);
        for (size_t i = 0; i < d.parts.size(); ++i) {
            dev_t pdev = AttachLoop(image, extents[i].start, extents[i].size);
            std::string pnode = root + "/dev/" + d.parts[i].name;
            MakeBlockNode(pnode, pdev);
            made.emplace_back(d.parts[i].name, pdev);
            MakeFileSystem(pnode, d.parts[i].fs, content(d.parts[i].content), work + "/mnt");
        }
    }
    for (const auto &a : ctx.manifest.aliases)
        for (const auto &[name, dev] : made)
            if (name == a.target) MakeBlockNode(root + "/dev/" + a.name, dev);
}

// Mounts from inside the root, so /proc/mounts names the devices by their
// paths on the appliance.
void MountInRoot(const std::string &root, const std::string &src, const std::string &target, const char *type) {
    pid_t pid = fork();
    if (pid < 0) FailErrno("fork");
    if (pid == 0) {
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(1);
        _exit(mount(src.c_str(), target.c_str(), type, 0, nullptr) == 0 ? 0 : 2);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("cannot mount " + src + " on " + target);
}

void BuildVolumes(Context &ctx, const std::string &work, const std::string &root) {
    std::string table;
    for (const auto &v : ctx.manifest.volumes) {
        std::string mnt = "/volume" + std::to_string(v.number);
        MkdirP(root + mnt);
        if (v.kind == "tmpfs") {
            Mount(v.dev, root + mnt, "tmpfs", 0, "size=" + std::to_string(v.size) + ",mode=0755");
        } else {
            std::string image = CreateImage(work + "/images", "volume" + std::to_string(v.number), v.size);
            dev_t dev = AttachLoop(image);
            MakeBlockNode(root + v.dev, dev);
            MakeFileSystem(root + v.dev, "ext4", "", "");
            MountInRoot(root, v.dev, mnt, "ext4");
        }
        table += v.dev + " " + mnt + " " + v.status + " " + v.task + " " + v.location + " " + v.container + "\n";
    }
    MkdirP(root + "/run/keststorage");
    WriteFile(root + "/run/keststorage/volumetab", table);
}

void LoopbackUp() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) FailErrno("socket");
    ifreq ifr{};
    snprintf(ifr.ifr_name, IFNAMSIZ, "lo");
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) FailErrno("cannot read lo flags");
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) FailErrno("cannot bring lo up");
    close(s);
}

int BindLogSocket(const std::string &path) {
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) FailErrno("socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) Fail("log socket path too long: " + path);
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) FailErrno("cannot bind " + path);
    chmod(path.c_str(), 0666);
    int size = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return s;
}

// ---- the captured log ----------------------------------------------------

const char *const kFacilities[] = {"kern",   "user",   "mail",   "daemon", "auth",   "syslog", "lpr",    "news",
                                   "uucp",   "cron",   "authpriv", "ftp",  "ntp",    "security", "console", "cron2",
                                   "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7"};
const char *const kLevels[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};

// One line a message: "<level> <facility>.<level name> <tag and text>",
// with the syslog header's priority and time stamp taken off.
std::string FormatLogLine(std::string msg) {
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\0')) msg.pop_back();
    int pri = 13;  // user.notice, what syslog assumes without a header
    if (msg.size() > 2 && msg[0] == '<') {
        size_t close = msg.find('>');
        if (close != std::string::npos && close > 1 && close < 5) {
            pri = atoi(msg.substr(1, close - 1).c_str());
            msg.erase(0, close + 1);
        }
    }
    if (msg.size() > 16 && msg[3] == ' ' && msg[6] == ' ' && msg[9] == ':' && msg[12] == ':' && msg[15] == ' ')
        msg.erase(0, 16);
    for (char &c : msg)
        if (c == '\n') c = ' ';
    int fac = (pri >> 3) < 24 ? pri >> 3 : 1;
    int level = pri & 7;
    return std::to_string(level) + " " + kFacilities[fac] + "." + kLevels[level] + " " + msg + "\n";
}

void DrainLog(int sock, int log_fd) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        std::string line = FormatLogLine(std::string(buf, n));
        ssize_t w = write(log_fd, line.data(), line.size());
        (void)w;
    }
}

void CopyKept(const Context &ctx, const std::string &root) {
    if (ctx.keep_fd < 0) return;
    for (const auto &[inside, name] :
         {std::pair{std::string(kLogInside), "syslog.log"}, std::pair{std::string("/run/kest-platform/journal"), "journal"}}) {
        std::ifstream in(root + inside, std::ios::binary);
        if (!in) continue;
        std::ostringstream s;
        s << in.rdbuf();
        int fd = openat(ctx.keep_fd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) continue;
        std::string data = s.str();
        ssize_t w = write(fd, data.data(), data.size());
        (void)w;
        close(fd);
    }
}

int StatusCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

int OpenDir(const std::string &path, const std::string &what) {
    int fd = open(path.c_str(), O_PATH | O_DIRECTORY);
    if (fd < 0) FailErrno("cannot open " + what + " " + path);
    return fd;
}

// ---- init of the namespaces ----------------------------------------------

[[noreturn]] void ExecCommand(const Context &ctx, const std::string &root) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_PDEATHSIG, 0);
    if (chroot(root.c_str()) != 0) {
        fprintf(stderr, "kest-testbed: chroot: %s\n", strerror(errno));
        _exit(kSetupFailed);
    }
    if (chdir(ctx.cwd.c_str()) != 0 && chdir("/") != 0) _exit(kSetupFailed);
    setenv("KEST_TESTBED", "1", 1);
    setenv("KEST_TESTBED_LOG", kLogInside, 1);
    setenv("HOSTNAME", ctx.manifest.hostname.c_str(), 1);
    syscall(SYS_close_range, 3U, ~0U, 0U);
    std::vector<char *> argv;
    for (const auto &a : ctx.opt.command) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    int err = errno;
    fprintf(stderr, "kest-testbed: cannot run '%s': %s\n", argv[0], strerror(err));
    _exit(err == ENOENT ? 127 : 126);
}

int RunInit(Context &ctx) {
    // Die with the testbed process: the kernel then tears down every mount,
    // the tmpfs with the images and, through autoclear, the loop devices.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&sigs, s);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    int sigfd = signalfd(-1, &sigs, SFD_CLOEXEC);

    std::string work = "/tmp/kest-testbed." + std::to_string(ctx.outer_pid);
    std::string root = work + "/root";
    int log_sock = -1, log_fd = -1;
    try {
        ctx.fixture_fd = OpenDir(ctx.fixture_dir, "fixture");
        if (fs::is_directory(ctx.opt.standins)) ctx.standins_fd = OpenDir(ctx.opt.standins, "stand-in folder");
        for (const auto &b : ctx.opt.binds) ctx.bind_fds.push_back(OpenDir(b, "bind folder"));
        Mount("none", "/", nullptr, MS_REC | MS_PRIVATE);
        Mount("kest-testbed", "/tmp", "tmpfs", 0, "mode=0700");
        for (const char *d : {"upper", "overlay-work", "root", "fixture", "mnt"}) MkdirP(work + "/" + d, 0700);
        Run({"cp", "-a", FdPath(ctx.fixture_fd) + "/.", work + "/fixture"});
        Mount("overlay", root, "overlay", 0,
              "lowerdir=/,upperdir=" + work + "/upper,workdir=" + work + "/overlay-work");
        BuildProc(root, ctx.manifest);
        Mount("sysfs", root + "/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC);
        BuildDev(root);
        Mount("tmpfs", root + "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
        Mount("tmpfs", root + "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
        for (size_t i = 0; i < ctx.bind_fds.size(); ++i) {
            MkdirP(root + ctx.opt.binds[i]);
            Mount(FdPath(ctx.bind_fds[i]), root + ctx.opt.binds[i], nullptr, MS_BIND | MS_REC);
        }
        if (fs::is_directory(work + "/fixture/tree")) Run({"cp", "-a", work + "/fixture/tree/.", root + "/"});
        if (ctx.standins_fd >= 0) Run({"cp", "-a", FdPath(ctx.standins_fd) + "/.", root + "/"});
        BuildDevices(ctx, work, root);
        BuildVolumes(ctx, work, root);
        MkdirP(root + "/run/kest-platform/scenario");
        MkdirP(root + "/run/kestsdk/lock");  // made by the appliance's boot
        WriteFile(root + "/run/kest-platform/journal", "");
        MkdirP(root + "/run/kest-testbed");
        WriteFile(root + kLogInside, "");
        WriteFile(root + "/run/kest-testbed/substitutions", g_substitutions);
        log_fd = open((root + kLogInside).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        log_sock = BindLogSocket(root + "/dev/log");
        if (sethostname(ctx.manifest.hostname.c_str(), ctx.manifest.hostname.size()) != 0) FailErrno("sethostname");
        LoopbackUp();
    } catch (const std::exception &e) {
        fprintf(stderr, "kest-testbed: %s\n", e.what());
        return kSetupFailed;
    }
    for (int fd : ctx.bind_fds) close(fd);
    close(ctx.fixture_fd);
    if (ctx.standins_fd >= 0) close(ctx.standins_fd);

    pid_t child = fork();
    if (child < 0) {
        perror("kest-testbed: fork");
        return kSetupFailed;
    }
    if (child == 0) ExecCommand(ctx, root);

    int exit_code = -1;
    while (exit_code < 0) {
        pollfd fds[2] = {{log_sock, POLLIN, 0}, {sigfd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) DrainLog(log_sock, log_fd);
        if (!(fds[1].revents & POLLIN)) continue;
        signalfd_siginfo si;
        if (read(sigfd, &si, sizeof si) != sizeof si) continue;
        if (si.ssi_signo != SIGCHLD) {
            kill(child, static_cast<int>(si.ssi_signo));
            continue;
        }
        // Init reaps every orphan of the namespace, not only its own child.
        int status;
        for (pid_t p; (p = waitpid(-1, &status, WNOHANG)) > 0;)
            if (p == child) exit_code = StatusCode(status);
    }
    // Whatever the command left running goes with it.
    kill(-1, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    DrainLog(log_sock, log_fd);
    CopyKept(ctx, root);
    umount2(root.c_str(), MNT_DETACH);
    for (int fd : g_loop_fds) close(fd);
    return exit_code;
}

// ---- the outer process ---------------------------------------------------

pid_t g_init_pid = 0;

void Forward(int sig) {
    if (g_init_pid > 0) kill(g_init_pid, sig);
}

bool FindInPath(const std::string &tool) {
    const char *env = getenv("PATH");
    std::string path = env ? env : "/usr/bin:/bin";
    std::stringstream ss(path);
    for (std::string dir; std::getline(ss, dir, ':');)
        if (!dir.empty() && access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
    return false;
}

std::string ResolveFixture(const Options &opt) {
    std::string dir = opt.fixture.find('/') == std::string::npos ? opt.fixtures_dir + "/" + opt.fixture : opt.fixture;
    if (!fs::is_regular_file(dir + "/manifest"))
        throw SetupError("unknown fixture '" + opt.fixture + "' (no manifest in " + dir + ")");
    return dir;
}


bool ParseArgs(int argc, char **argv, Options &opt) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw SetupError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--fixture") {
            opt.fixture = value();
        } else if (a == "--keep") {
            opt.keep = true;
        } else if (a == "--bind") {
            std::string dir = value();
            if (dir.empty() || dir[0] != '/') throw SetupError("--bind needs an absolute path, got '" + dir + "'");
            opt.binds.push_back(fs::path(dir).lexically_normal().string());
        } else if (a == "--standins") {
            opt.standins = value();
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            exit(0);
        } else if (a == "--") {
            ++i;
            break;
        } else if (a == "shell") {
            opt.shell = true;
            ++i;
            break;
        } else {
            throw SetupError("unknown option '" + a + "' (see --help)");
        }
    }
    for (; i < argc; ++i) opt.command.emplace_back(argv[i]);
    if (opt.shell) {
        if (!opt.command.empty()) throw SetupError("shell takes no arguments");
        opt.command = {"/bin/bash", "--norc", "-i"};
        setenv("PS1", "[testbed \\w]# ", 1);
    }
    if (opt.command.empty()) throw SetupError("no command given (see --help)");
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Context ctx;
    try {
        ParseArgs(argc, argv, ctx.opt);
        if (geteuid() != 0) throw SetupError("must run as root (it mounts and makes loop devices)");
        std::string fixture = ResolveFixture(ctx.opt);
        try {
            ctx.manifest = kest::testbed::ParseManifest(ReadFile(fixture + "/manifest"));
        } catch (const kest::testbed::ManifestError &e) {
            throw SetupError("fixture " + fixture + ": " + e.what());
        }
        for (const BlockDevice &d : ctx.manifest.devices) {
            if (!d.content.empty() && !fs::is_directory(fixture + "/" + d.content))
                throw SetupError("fixture " + fixture + ": content folder '" + d.content + "' of " + d.name + " is missing");
            for (const auto &p : d.parts)
                if (!p.content.empty() && !fs::is_directory(fixture + "/" + p.content))
                    throw SetupError("fixture " + fixture + ": content folder '" + p.content + "' of " + p.name + " is missing");
        }
        for (const std::string &tool : ctx.manifest.RequiredTools())
            if (!FindInPath(tool)) throw SetupError(tool + " not found (the fixture needs it; scripts/setup installs it)");
        ctx.fixture_dir = fixture;
        for (const auto &b : ctx.opt.binds)
            if (!fs::is_directory(b)) throw SetupError("cannot bind " + b + ": not a folder");
        char cwd[4096];
        ctx.cwd = getcwd(cwd, sizeof cwd) ? cwd : "/";
        for (const char *hidden : {"/tmp", "/run", "/dev", "/proc", "/sys"}) {
            std::string h = hidden;
            bool under = ctx.cwd == h || ctx.cwd.rfind(h + "/", 0) == 0;
            bool bound = false;
            for (const auto &b : ctx.opt.binds) bound |= ctx.cwd == b || ctx.cwd.rfind(b + "/", 0) == 0;
            if (under && !bound) ctx.opt.binds.push_back(ctx.cwd);
        }
        if (ctx.opt.keep) {
            const char *tmp = getenv("TMPDIR");
            std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kest-testbed-keep.XXXXXX";
            std::vector<char> buf(tmpl.begin(), tmpl.end());
            buf.push_back('\0');
            if (!mkdtemp(buf.data())) FailErrno("cannot create " + tmpl);
            ctx.keep_dir = buf.data();
            ctx.keep_fd = OpenDir(ctx.keep_dir, "keep folder");
            fprintf(stderr, "kest-testbed: log and journal kept in %s\n", ctx.keep_dir.c_str());
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "kest-testbed: %s\n", e.what());
        return 2;
    }
    ctx.outer_pid = getpid();

    fflush(nullptr);
    long pid = syscall(SYS_clone, CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWNET | CLONE_NEWUTS | SIGCHLD,
                       nullptr, nullptr, nullptr, 0);
    if (pid < 0) {
        fprintf(stderr, "kest-testbed: cannot create namespaces: %s\n", strerror(errno));
        return 2;
    }
    if (pid == 0) _exit(RunInit(ctx));

    g_init_pid = static_cast<pid_t>(pid);
    struct sigaction sa {};
    sa.sa_handler = Forward;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(s, &sa, nullptr);
    int status = 0;
    while (waitpid(g_init_pid, &status, 0) < 0) {
        if (errno != EINTR) {
            perror("kest-testbed: waitpid");
            return 2;
        }
    }
    return StatusCode(status);
}
