// The testbed seen from the host: exit statuses, bad input, isolation of
// two runs, and nothing left behind however a run ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string g_self;

struct Result {
    int status;
    std::string out;  // standard output and error
};

Result Sh(const std::string &cmd) {
    Result r{-1, {}};
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string Testbed(const std::string &args) { return std::string(KEST_TESTBED_BIN) + " " + args; }

std::string Slurp(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Loop devices whose backing file belongs to the testbed started as `pid`.
int LoopsOf(pid_t pid) {
    std::string marker = "/kest-testbed." + std::to_string(pid) + "/";
    int count = 0;
    for (const auto &e : fs::directory_iterator("/sys/block")) {
        std::string name = e.path().filename();
        if (name.rfind("loop", 0) != 0) continue;
        if (Slurp(e.path().string() + "/loop/backing_file").find(marker) != std::string::npos) ++count;
    }
    return count;
}

bool WaitNoLoops(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
        if (LoopsOf(pid) == 0) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string HostMounts() { return Slurp("/proc/self/mountinfo"); }

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/testbed_host_test.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Starts the testbed in the background and returns its pid.
pid_t Spawn(const std::vector<std::string> &args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv = {const_cast<char *>(KEST_TESTBED_BIN)};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Gives up early when `runner` (if given) has already exited.
bool WaitForFile(const std::string &path, std::chrono::milliseconds timeout = 30s, pid_t runner = 0) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!fs::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (runner > 0 && waitpid(runner, nullptr, WNOHANG) == runner) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(TestbedHost, PassesTheCommandsExitStatus) {
    EXPECT_EQ(Sh(Testbed("--fixture bare -- /bin/sh -c 'exit 7'")).status, 7);
    EXPECT_EQ(Sh(Testbed("--fixture bare -- /bin/true")).status, 0);
    // Killed by a signal: 128 + signal, as a shell reports it.
    EXPECT_EQ(Sh(Testbed("--fixture bare -- /bin/sh -c 'kill -9 $$'")).status, 137);
}

TEST(TestbedHost, BadInputGivesOneClearLine) {
    TempDir t;
    fs::create_directories(t.path() + "/broken");
    std::ofstream(t.path() + "/broken/manifest") << "device kestboot2 size=64M fs=zfs\n";
    fs::create_directories(t.path() + "/nocontent");
    std::ofstream(t.path() + "/nocontent/manifest") << "device kestboot2 size=8M fs=ext2 content=boot2\n";
    fs::create_directories(t.path() + "/vfat");
    std::ofstream(t.path() + "/vfat/manifest") << "device kestboot1 size=8M fs=vfat\n";
    const struct {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"--fixture nosuchfixture -- /bin/true", 2, "kest-testbed: unknown fixture 'nosuchfixture'"},
        {"--fixture " + t.path() + "/broken -- /bin/true", 2, "manifest line 1: unknown file system 'zfs'"},
        {"--fixture " + t.path() + "/nocontent -- /bin/true", 2, "content folder 'boot2' of kestboot2 is missing"},
        {"--fixture bare -- /no/such/program", 127, "kest-testbed: cannot run '/no/such/program': No such file"},
        {"--fixture bare", 2, "kest-testbed: no command given"},
        {"--frobnicate -- /bin/true", 2, "kest-testbed: unknown option '--frobnicate'"},
        {"--bind relative -- /bin/true", 2, "absolute path"},
        // The image tools are looked up where the testbed will run them.
        {"--fixture " + t.path() + "/vfat -- /bin/true", 2, "mkfs.vfat not found"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        std::string env = c.message == "mkfs.vfat not found" ? "PATH=/usr/bin:/bin " : "";
        Result r = Sh(env + Testbed(c.args));
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    }
}

TEST(TestbedHost, LeavesNothingBehindWhenTheCommandIsKilled) {
    std::string before = HostMounts();
    pid_t pid = Spawn({"--", "/bin/sh", "-c", "kill -9 $$"});
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 137);
    EXPECT_TRUE(WaitNoLoops(pid));
    EXPECT_EQ(HostMounts(), before);
    EXPECT_FALSE(fs::exists("/tmp/kest-testbed." + std::to_string(pid)));
}

TEST(TestbedHost, LeavesNothingBehindWhenTheTestbedIsKilled) {
    TempDir t;
    std::string before = HostMounts();
    std::string ready = t.path() + "/ready";
    pid_t pid = Spawn({"--bind", t.path(), "--", "/bin/sh", "-c", "touch " + ready + "; exec sleep 600"});
    ASSERT_TRUE(WaitForFile(ready, 30s, pid));
    EXPECT_GT(LoopsOf(pid), 0);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(WaitNoLoops(pid));
    EXPECT_EQ(HostMounts(), before);
    // The sleeping command went with its namespace.
    EXPECT_EQ(Sh("pgrep -f '^sleep 600$'").out, "");
}

TEST(TestbedHost, KeepsLogAndJournalWhenAsked) {
    Result r = Sh(Testbed("--fixture bare --keep -- /bin/sh -c 'logger -p daemon.warning kept-line; /usr/bin/cksum </dev/null; sleep 0.2'"));
    ASSERT_EQ(r.status, 0) << r.out;
    size_t at = r.out.find("kept in ");
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string dir = r.out.substr(at + 8);
    dir.erase(dir.find('\n'));
    EXPECT_NE(Slurp(dir + "/syslog.log").find("4 daemon.warning "), std::string::npos);
    EXPECT_NE(Slurp(dir + "/journal").find("/usr/bin/cksum"), std::string::npos);
    fs::remove_all(dir);
}

// Two appliances at once: each takes the fixed semaphore key and port.
TEST(TestbedHost, TwoTestbedsAreIsolated) {
    TempDir t;
    std::string bin_dir = fs::path(g_self).parent_path();
    pid_t a = Spawn({"--fixture", "bare", "--bind", t.path(), "--bind", bin_dir, "--", g_self, "--helper", t.path(), "a", "b"});
    pid_t b = Spawn({"--fixture", "bare", "--bind", t.path(), "--bind", bin_dir, "--", g_self, "--helper", t.path(), "b", "a"});
    int sa = 0, sb = 0;
    waitpid(a, &sa, 0);
    waitpid(b, &sb, 0);
    EXPECT_EQ(WEXITSTATUS(sa), 0) << Slurp(t.path() + "/a.err");
    EXPECT_EQ(WEXITSTATUS(sb), 0) << Slurp(t.path() + "/b.err");
}

TEST(TestbedHost, StartAndStopTime) {
    const int runs = 3;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) ASSERT_EQ(Sh(Testbed("-- /bin/true")).status, 0);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / runs;
    auto bare_start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) ASSERT_EQ(Sh(Testbed("--fixture bare -- /bin/true")).status, 0);
    double bare = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - bare_start).count() / runs;
    RecordProperty("default_fixture_ms", static_cast<int>(ms));
    RecordProperty("bare_fixture_ms", static_cast<int>(bare));
    printf("testbed start+stop: default fixture %.0f ms, bare fixture %.0f ms (mean of %d)\n", ms, bare, runs);
}

// Inside a testbed: take the key and the port, say so, wait for the other
// run to have done the same while still holding both.
int Helper(const std::string &dir, const std::string &me, const std::string &other) {
    FILE *err = fopen((dir + "/" + me + ".err").c_str(), "w");
    int id = semget(0x91491045, 1, IPC_CREAT | IPC_EXCL | 0666);
    if (id < 0) {
        fprintf(err, "semget: %s\n", strerror(errno));
        return 1;
    }
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(3265);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(s, 1) != 0) {
        fprintf(err, "bind 0.0.0.0:3265: %s\n", strerror(errno));
        return 1;
    }
    std::ofstream(dir + "/" + me + ".ready") << "1";
    if (!WaitForFile(dir + "/" + other + ".ready")) {
        fprintf(err, "the other testbed never got ready\n");
        return 1;
    }
    std::this_thread::sleep_for(100ms);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    g_self = fs::canonical("/proc/self/exe");
    if (argc == 5 && std::string(argv[1]) == "--helper") return Helper(argv[2], argv[3], argv[4]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
