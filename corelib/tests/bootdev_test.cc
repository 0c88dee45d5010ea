// The boot-device lock and the boot mounts, with real processes and the
// testbed's loop-backed boot partitions.
#include "kest/bootdev.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "test_util.h"

using kest::test::Read;
using kest::test::Write;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr key_t kKey = 0x91491045;

// The flag's value: "1" is written over "0\n", as into the kernel's file.
std::string Flag() { return Read("/proc/sys/kernel/kest_install_flag").substr(0, 1); }

// Can another process take the boot lock within `within`?
bool OtherProcessLocks(std::chrono::milliseconds within) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(static_cast<unsigned>(within.count() / 1000 + 1));
        _exit(KESTBootLock() == 1 && KESTBootUnlock() == 1 ? 0 : 1);
    }
    auto deadline = Clock::now() + within;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        usleep(2000);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(BootLock, KernelFlagFollowsTheLock) {
    ASSERT_EQ(KESTBootLock(), 1);
    EXPECT_EQ(Flag(), "1");
    EXPECT_FALSE(OtherProcessLocks(300ms));
    EXPECT_EQ(KESTBootUnlock(), 1);
    EXPECT_EQ(Flag(), "0");
    EXPECT_TRUE(OtherProcessLocks(2s));
}

TEST(BootLock, AKilledHolderReleasesIt) {
    std::string ready = "/tmp/boot_holder_ready";
    pid_t holder = fork();
    if (holder == 0) {
        if (KESTBootLock() != 1) _exit(1);
        Write(ready, "1");
        pause();
        _exit(0);
    }
    while (!std::filesystem::exists(ready)) usleep(1000);
    EXPECT_FALSE(OtherProcessLocks(200ms));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(OtherProcessLocks(2s));
    unlink(ready.c_str());
}

// A set made but never initialised (its creator died at that moment) is
// taken over after a wait, instead of blocking every caller for ever.
TEST(BootLock, RegressionUninitialisedSetIsTakenOver) {
    int old = semget(kKey, 1, 0666);
    if (old >= 0) semctl(old, 0, IPC_RMID);
    ASSERT_GE(semget(kKey, 1, IPC_CREAT | IPC_EXCL | 0666), 0);
    auto t0 = Clock::now();
    ASSERT_EQ(KESTBootLock(), 1);
    EXPECT_GE(Clock::now() - t0, 500ms);
    EXPECT_EQ(KESTBootUnlock(), 1);
    int id = -1;
    ASSERT_EQ(KESTBootSemGet(&id), 1);
    EXPECT_EQ(semctl(id, 0, GETVAL), 1);
}

TEST(BootMount, Boot1InOneProcessBlocksBoot2InAnother) {
    ASSERT_EQ(KESTBoot1Mount(), 0);
    std::string mounted = "/tmp/boot2_mounted";
    pid_t other = fork();
    if (other == 0) {
        if (KESTBoot2Mount() != 0) _exit(1);
        bool has_list = std::filesystem::exists("/tmp/bootmnt/checksum.kest");
        Write(mounted, "1");
        _exit(KESTBoot2Unmount() == 0 && has_list ? 0 : 2);
    }
    usleep(300000);
    EXPECT_FALSE(std::filesystem::exists(mounted)) << "boot 2 mounted while boot 1 was held";
    EXPECT_TRUE(std::filesystem::exists("/tmp/bootmnt/EFI/boot/grub.conf"));  // still boot 1
    EXPECT_EQ(KESTBoot1Unmount(), 0);
    int status;
    waitpid(other, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(std::filesystem::exists(mounted));
    unlink(mounted.c_str());
    EXPECT_EQ(Flag(), "0");
}

TEST(BootMount, BusyDeviceFailsAndReleasesTheLock) {
    int claim = open("/dev/kestboot2", O_RDONLY | O_EXCL);
    ASSERT_GE(claim, 0);
    EXPECT_EQ(KESTBoot2Mount(), -1);
    EXPECT_EQ(Flag(), "0");
    EXPECT_TRUE(OtherProcessLocks(2s));
    close(claim);
    EXPECT_EQ(Read("/proc/mounts").find(" /tmp/bootmnt "), std::string::npos);
}

TEST(BootMount, BothBootDevicesMount) {
    ASSERT_EQ(KESTBoot2Mount(), 0);
    EXPECT_NE(Read("/proc/mounts").find("/dev/kestboot2 /tmp/bootmnt ext2 "), std::string::npos);
    EXPECT_FALSE(Read("/tmp/bootmnt/checksum.kest").empty());
    EXPECT_EQ(KESTBoot2Unmount(), 0);
    // Boot partition 1 is vfat on an appliance (ext2 where the kernel lacks vfat).
    ASSERT_EQ(KESTBootEfiMount(1), 0);
    EXPECT_TRUE(std::filesystem::exists("/boot/efi/EFI/boot/grub.conf"));
    EXPECT_EQ(KESTBootEfiMount(0), 0);
    EXPECT_EQ(Read("/proc/mounts").find(" /boot/efi "), std::string::npos);
    EXPECT_EQ(Flag(), "0");
}

TEST(BootMount, MissingDeviceFailsWithAReason) {
    EXPECT_EQ(KESTBootPartitionMount("/dev/no-such-boot", 1), -1);
    EXPECT_EQ(Flag(), "0");
    EXPECT_TRUE(OtherProcessLocks(2s));
}

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new kest::test::LeakCheck);
    return RUN_ALL_TESTS();
}
