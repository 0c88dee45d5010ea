// kestdiskmanagertool in a testbed: the disk stand-in's activities, a real
// performance-test process tree, the platform journal and the log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testbed_support.h"

namespace fs = std::filesystem;
using namespace kest::testbed;

namespace {

const std::string kTool = TOOL_BIN;
const std::string kUsage =
    "Usage:\n\t --help                         Show usage.\n\t --stop_all_disk_service        Stop disk related "
    "service on all disks.\n";



// Gone, or a zombie waiting for init.
bool Dead(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    size_t close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

void Record(const std::string &disk, const std::string &content) {
    fs::create_directories("/run/keststorage/disks/" + disk);
    WriteFile("/run/keststorage/disks/" + disk + "/perf_test", content);
}

bool RecordExists(const std::string &disk) { return fs::exists("/run/keststorage/disks/" + disk + "/perf_test"); }

// A performance test: a parent with two children, one of which has a child.
struct ProcessTree {
    pid_t parent = -1;
    std::vector<pid_t> descendants;
    ProcessTree() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        parent = fork();
        if (parent == 0) {
            close(fds[0]);
            pid_t c1 = fork();
            if (c1 == 0) {
                pid_t g = fork();
                if (g == 0) {
                    pause();
                    _exit(0);
                }
                EXPECT_EQ(write(fds[1], &g, sizeof g), static_cast<ssize_t>(sizeof g));
                pause();
                _exit(0);
            }
            pid_t c2 = fork();
            if (c2 == 0) {
                pause();
                _exit(0);
            }
            EXPECT_EQ(write(fds[1], &c1, sizeof c1), static_cast<ssize_t>(sizeof c1));
            EXPECT_EQ(write(fds[1], &c2, sizeof c2), static_cast<ssize_t>(sizeof c2));
            pause();
            _exit(0);
        }
        close(fds[1]);
        for (int i = 0; i < 3; ++i) {
            pid_t p;
            EXPECT_EQ(read(fds[0], &p, sizeof p), static_cast<ssize_t>(sizeof p));
            descendants.push_back(p);
        }
        close(fds[0]);
    }
    ~ProcessTree() {
        kill(parent, SIGKILL);
        for (pid_t p : descendants) kill(p, SIGKILL);
        waitpid(parent, nullptr, 0);
    }
    bool AllDead() {
        int status = 0;
        if (waitpid(parent, &status, WNOHANG) != parent && !Dead(parent)) return false;
        for (pid_t p : descendants)
            if (!Eventually([&] { return Dead(p); })) return false;
        return true;
    }
};

class DiskManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all("/run/keststorage/disks");
        unlink("/run/kest-platform/fail");
        ClearJournal();
    }
};

TEST_F(DiskManagerTest, StopsEveryActivityAndNotifies) {
    WriteFile("/run/kest-platform/disks",
              "sda 1 1 sata smart=1\n"
              "sdb 1 2 sata perf=1\n"
              "sdc 1 3 sata led=1\n"
              "sdd 1 4 sata\n"
              "sde 2 1 eunit smart=1 host=KS-EU1\n");
    ProcessTree test;
    pid_t bystander = fork();
    if (bystander == 0) {
        pause();
        _exit(0);
    }
    Record("sdb", "pid=" + std::to_string(test.parent) + "\nmd1Remove=\"yes\"\ndiskRemove=yes\n");

    RunResult r = RunShell(kTool + " --stop_all_disk_service");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "");
    EXPECT_TRUE(test.AllDead());
    EXPECT_FALSE(Dead(bystander));
    EXPECT_FALSE(RecordExists("sdb"));
    EXPECT_EQ(JournalLines(), (std::vector<std::string>{
                                  "KESTDiskSmartTestStop /dev/sda",
                                  "KESTSysNotifySendNotifiction smarttest_interrupt_by_swtichover %DISK_ID%=Disk 1 "
                                  "%EUNIT_ID%=KS2100",
                                  "KESTDiskMd1Recover /dev/sdb",
                                  "KESTSpaceDiskSysPartitionCreateAndJoin /dev/sdb 8",
                                  "KESTDiskUpdateCheckFile /tmp/.scemd_stop_check_md0 0",
                                  "KESTDiskUpdateCheckFile /tmp/.scemd_stop_check_md1 0",
                                  "KESTSysNotifySendNotifiction perftest_interrupt_by_swtichover %DISK_ID%=Disk 2 "
                                  "%EUNIT_ID%=KS2100",
                                  "KESTDiskLedStatusRestore /dev/sdc",
                                  "KESTDiskSmartTestStop /dev/sde",
                                  "KESTSysNotifySendNotifiction smarttest_interrupt_by_swtichover %DISK_ID%=Disk 1 "
                                  "on unit 2 %EUNIT_ID%=KS-EU1",
                              }));
    kill(bystander, SIGKILL);
    waitpid(bystander, nullptr, 0);
}

TEST_F(DiskManagerTest, RecordProblems) {
    const struct {
        const char *name, *record;
        bool stopped;  // the stop succeeded
        bool md1;      // md1 recovery journaled
    } cases[] = {
        {"no pid", "md1Remove=yes\n", false, false},
        {"pid zero", "pid=0\nmd1Remove=yes\n", false, false},
        {"pid minus one", "pid=-1\nmd1Remove=yes\n", false, false},
        {"pid with letters", "pid=12ab\nmd1Remove=yes\n", false, false},
        {"yes with a blank (trimmed)", "PID\nmd1Remove=yes \n", true, true},
        {"yesno", "PID\nmd1Remove=yesno\n", true, false},
        {"md1 absent", "PID\n", true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        WriteFile("/run/kest-platform/disks", "sdb 1 2 sata perf=1\n");
        ProcessTree test;
        std::string record = c.record;
        if (record.rfind("PID", 0) == 0) record.replace(0, 3, "pid=" + std::to_string(test.parent));
        Record("sdb", record);
        int stop_failed = CountLog("Failed to stop 1 service on /dev/sdb");
        EXPECT_EQ(RunShell(kTool + " --stop_all_disk_service").status, 255);
        EXPECT_FALSE(RecordExists("sdb"));
        EXPECT_EQ(test.AllDead(), c.stopped);
        auto journal = JournalLines();
        bool md1 = std::find(journal.begin(), journal.end(), "KESTDiskMd1Recover /dev/sdb") != journal.end();
        EXPECT_EQ(md1, c.md1);
        // The notification goes out even after a failed stop.
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal.back().rfind("KESTSysNotifySendNotifiction perftest_interrupt_by_swtichover", 0), 0u);
        if (!c.stopped) {
            EXPECT_TRUE(Eventually([&] { return CountLog("Failed to stop 1 service on /dev/sdb") > stop_failed; }));
        }
    }
    EXPECT_NE(WaitForLog("Failed to get key value"), "");
    std::string line = WaitForLog("Failed to stop 1 service on /dev/sdb");
    EXPECT_EQ(line.rfind("3 user.err ", 0), 0u) << line;
    EXPECT_NE(line.find("kestdiskmanagertool.cc:"), std::string::npos) << line;
}

TEST_F(DiskManagerTest, FailedStopsAndNotificationsAreLogged) {
    WriteFile("/run/kest-platform/disks", "sda 1 1 sata smart=1 led=1\n");
    WriteFile("/run/kest-platform/fail", "KESTDiskSmartTestStop\nKESTSysNotifySendNotifiction\nKESTDiskLedStatusRestore\n");
    EXPECT_EQ(RunShell(kTool + " --stop_all_disk_service").status, 255);
    EXPECT_NE(WaitForLog("Failed to stop 0 service on /dev/sda"), "");
    EXPECT_NE(WaitForLog("Failed to send email smarttest_interrupt_by_swtichover"), "");
    EXPECT_NE(WaitForLog("Failed to send notification interrupt 0 service on /dev/sda"), "");
    EXPECT_NE(WaitForLog("Failed to stop 2 service on /dev/sda"), "");
    EXPECT_EQ(CountLog("Failed to send notification interrupt 2"), 0);  // the indicator has none
}

TEST_F(DiskManagerTest, NothingToStop) {
    WriteFile("/run/kest-platform/disks", "sda 1 1 sata\nsdb 1 2 sata\n");
    size_t lines = LogLines().size();
    EXPECT_EQ(RunShell(kTool + " --stop_all_disk_service").status, 255);
    usleep(200000);
    EXPECT_EQ(LogLines().size(), lines);
    EXPECT_TRUE(JournalLines().empty());
}

TEST_F(DiskManagerTest, UsageAndEnumerationFailure) {
    for (const char *args : {"--help", "", "--frobnicate", "-help"}) {
        RunResult r = RunShell(kTool + " " + args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.output, kUsage) << args;
    }
    EXPECT_EQ(RunShell(kTool + " -stop_all_disk_service").status, 255);  // one dash works too
    WriteFile("/run/kest-platform/fail", "DiskInfoEnum\n");
    RunResult r = RunShell(kTool + " --stop_all_disk_service");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "Failed to enum disks \n");
}

}  // namespace
