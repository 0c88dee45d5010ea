// Runs inside kest-testbed with the default fixture: what a program on the
// simulated appliance sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "testbed_support.h"

using namespace kest::testbed;

namespace {

bool HasLine(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

TEST(Testbed, SeesTheFixture) {
    ASSERT_TRUE(Inside());
    EXPECT_TRUE(HasLine(ReadFile("/etc.defaults/VERSION"), "buildnumber=\"69057\""));
    EXPECT_TRUE(HasLine(ReadFile("/etc.defaults/kestinfo.conf"), "unique=\"kest_x86_64_ks2100\""));
    EXPECT_TRUE(HasLine(ReadFile("/etc/kestinfo.conf"), "unique="));
    EXPECT_EQ(ReadFile("/proc/sys/kernel/kest_hw_version"), "KS-2100-j2\n");
    EXPECT_EQ(ReadFile("/proc/sys/kernel/kest_install_flag"), "0\n");
    // The install flag is writable, as on the appliance.
    WriteFile("/proc/sys/kernel/kest_install_flag", "1\n");
    EXPECT_EQ(ReadFile("/proc/sys/kernel/kest_install_flag"), "1\n");
    WriteFile("/proc/sys/kernel/kest_install_flag", "0\n");
    char host[64] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_STREQ(host, "kestnas");
    EXPECT_EQ(ReadFile("/proc/1/comm"), "kest-testbed\n") << "not in its own PID namespace";
}

TEST(Testbed, BootPartitionMountsWithTheSystemMount) {
    struct stat st;
    ASSERT_EQ(stat("/dev/kestboot2", &st), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    ASSERT_EQ(RunShell("mkdir -p /tmp/bootmnt && /bin/mount /dev/kestboot2 /tmp/bootmnt").status, 0);
    std::string list = ReadFile("/tmp/bootmnt/checksum.kest");
    EXPECT_TRUE(HasLine(list, " zImage ")) << list;
    EXPECT_TRUE(HasLine(list, "# Kestcksum ")) << list;
    EXPECT_TRUE(HasLine(ReadFile("/proc/mounts"), "/dev/kestboot2 /tmp/bootmnt ext2 "));
    // Every entry agrees with the checksum tool the appliance has.
    RunResult sums = RunShell("cd /tmp/bootmnt && /usr/bin/cksum -o 3 zImage rd.gz grub_cksum.kest VERSION");
    EXPECT_EQ(sums.status, 0);
    std::istringstream lines(sums.output);
    for (std::string line; std::getline(lines, line);) EXPECT_TRUE(HasLine(list, line + " ")) << line;
    EXPECT_EQ(RunShell("/bin/umount /tmp/bootmnt").status, 0);

    ASSERT_EQ(RunShell("mkdir -p /tmp/b1 && /bin/mount /dev/kestboot1 /tmp/b1").status, 0);
    // vfat where the kernel has it; else the testbed says it used ext2.
    std::string type = HasLine(ReadFile("/run/kest-testbed/substitutions"), "kestboot1 vfat ext2") ? "ext2" : "vfat";
    EXPECT_TRUE(HasLine(ReadFile("/proc/mounts"), "/dev/kestboot1 /tmp/b1 " + type + " "));
    EXPECT_FALSE(ReadFile("/tmp/b1/EFI/boot/grub.conf").empty());
    EXPECT_EQ(RunShell("/bin/umount /tmp/b1").status, 0);
}

TEST(Testbed, SystemDiskHasPartitionsAndTheInstalledSystem) {
    struct stat disk, p1, p2, p3, md0;
    ASSERT_EQ(stat("/dev/sda", &disk), 0);
    ASSERT_EQ(stat("/dev/sda1", &p1), 0);
    ASSERT_EQ(stat("/dev/sda2", &p2), 0);
    ASSERT_EQ(stat("/dev/sda3", &p3), 0);
    ASSERT_EQ(stat("/dev/md0", &md0), 0);
    for (auto *s : {&disk, &p1, &p2, &p3}) EXPECT_TRUE(S_ISBLK(s->st_mode));
    EXPECT_EQ(md0.st_rdev, p1.st_rdev);
    EXPECT_NE(p1.st_rdev, p2.st_rdev);
    EXPECT_EQ(RunShell("/sbin/sfdisk --dump /dev/sda | grep -c '^/dev/sda[0-9] :'").output, "3\n");
    ASSERT_EQ(RunShell("mkdir -p /tmpRoot && /bin/mount /dev/sda1 /tmpRoot").status, 0);
    EXPECT_TRUE(HasLine(ReadFile("/tmpRoot/etc.defaults/VERSION"), "majorversion=\"7\""));
    EXPECT_EQ(RunShell("/bin/umount /tmpRoot").status, 0);
}

TEST(Testbed, VolumeHasTheGivenSizeAndIsListed) {
    struct statfs st;
    ASSERT_EQ(statfs("/volume1", &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.f_bavail) * st.f_bsize, 512ull << 20);
    EXPECT_EQ(static_cast<uint64_t>(st.f_blocks) * st.f_bsize, 512ull << 20);
    EXPECT_TRUE(HasLine(ReadFile("/proc/mounts"), "/dev/vg1/volume_1 /volume1 tmpfs "));
    EXPECT_EQ(ReadFile("/run/keststorage/volumetab"),
              "/dev/vg1/volume_1 /volume1 normal none loc-internal cnr-internal\n");
}

TEST(Testbed, CapturesSyslogWithPriority) {
    ASSERT_EQ(RunShell("logger -p user.err 'testbed err line'").status, 0);
    EXPECT_EQ(WaitForLog("testbed err line").substr(0, 9), "3 user.er");
    openlog("inside_test", LOG_PID, LOG_DAEMON);
    syslog(LOG_DEBUG, "debug from %s", "syslog()");
    closelog();
    std::string line = WaitForLog("debug from syslog()");
    EXPECT_EQ(line.rfind("7 daemon.debug inside_test[", 0), 0u) << line;
}

TEST(Testbed, FixedSemaphoreKeyAndPortAreOurs) {
    // Free here whatever the host or another testbed holds.
    int id = semget(0x91491045, 1, IPC_CREAT | IPC_EXCL | 0666);
    ASSERT_GE(id, 0) << strerror(errno);
    semctl(id, 0, IPC_RMID);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(3265);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
    EXPECT_EQ(listen(s, 1), 0);
    close(s);
    EXPECT_TRUE(HasLine(RunShell("ip -o link show lo").output, "UP"));
}

TEST(Testbed, StandInsAnswerFromScenarioAndJournal) {
    // The checksum tool is the stand-in, and it journals its calls.
    ClearJournal();
    WriteFile("/tmp/a file", "x");
    RunResult r = RunShell("/usr/bin/cksum -o 3 '/tmp/a file'");
    EXPECT_EQ(r.output, "12738659 1 /tmp/a file\n");
    ASSERT_EQ(JournalLines().size(), 1u);
    EXPECT_EQ(JournalLines()[0], "/usr/bin/cksum -o 3 '/tmp/a file'");

    // A shell stand-in: rules matched in order, default exit 0 and silence.
    WriteFile("/tmp/kesttool", "#!/bin/bash\n. /usr/lib/kest-platform/standin.sh\nstandin_run \"$@\"\n");
    chmod("/tmp/kesttool", 0755);
    SetScenario("kesttool", "# comment\n--cluster-size|0|0|3\n--fail *|4|0.1|no\\nway\n");
    ClearJournal();
    EXPECT_EQ(RunShell("/tmp/kesttool --cluster-size").output, "3\n");
    RunResult fail = RunShell("/tmp/kesttool --fail now");
    EXPECT_EQ(fail.status, 4);
    EXPECT_EQ(fail.output, "no\nway\n");
    RunResult other = RunShell("/tmp/kesttool --tarn-upgrade-prepare \"it's\"");
    EXPECT_EQ(other.status, 0);
    EXPECT_EQ(other.output, "");
    auto journal = JournalLines();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[0], "/tmp/kesttool --cluster-size");
    EXPECT_EQ(journal[2], "/tmp/kesttool --tarn-upgrade-prepare 'it'\\''s'");
}

}  // namespace
