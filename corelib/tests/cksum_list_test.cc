// Checksum lists in a testbed: the appliance's checksum tool, its /tmp and
// its boot partition; and the model capability queries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kest/bootdev.h"
#include "kest/cksum.h"
#include "kest/devinfo.h"
#include "kest/error.h"
#include "test_util.h"

namespace fs = std::filesystem;
using kest::test::Read;
using kest::test::TempDir;
using kest::test::Write;

namespace {

// The checksum tool's line for a file, as a list records it.
std::string ToolLine(const std::string &dir, const std::string &name) {
    std::string cmd = "cd '" + dir + "' && /usr/bin/cksum -o 3 '" + name + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char buf[512] = {};
    if (!fgets(buf, sizeof buf, p)) buf[0] = '\0';
    pclose(p);
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

struct Entry {
    std::string line;
    long long size, probe, sum;
};

// What a writer of lists records for a file.
Entry MakeEntry(const std::string &dir, const std::string &name) {
    long long probe = -1, sum = 0, size = 0;
    EXPECT_EQ(XLIBCCksumSample((dir + "/" + name).c_str(), &probe, &sum, &size), 0);
    struct stat st;
    lstat((dir + "/" + name).c_str(), &st);
    std::string tool = S_ISLNK(st.st_mode) ? "0 " + std::to_string(st.st_size) + " " + name : ToolLine(dir, name);
    return {tool + " " + std::to_string(probe) + " " + std::to_string(sum), size, probe, sum};
}

std::string Trailer(const std::vector<Entry> &entries, long long size_delta = 0) {
    long long sizes = 0, probes = 0, sums = 0;
    for (const auto &e : entries) sizes += e.size, probes += e.probe, sums += e.sum;
    return "# Kestcksum " + std::to_string(sizes + size_delta) + " " + std::to_string(probes) + " " + std::to_string(sums) + "\n";
}

class CksumListTest : public ::testing::Test {
protected:
    void SetUp() override {
        Write(dir_ / "zImage", std::string(3000, 'k') + "kernel");
        Write(dir_ / "rd.gz", "ramdisk bytes");
        Write(dir_ / "a", "ab");
        a_ = MakeEntry(dir_.path(), "zImage");
        b_ = MakeEntry(dir_.path(), "rd.gz");
        c_ = MakeEntry(dir_.path(), "a");
    }
    int Check(const std::string &list) {
        Write(dir_ / "checksum.kest", list);
        return XLIBCCksumCheckDir(dir_.path().c_str());
    }
    TempDir dir_;
    Entry a_, b_, c_;
};

TEST_F(CksumListTest, ListsAndTheirVerdicts) {
    std::string all = a_.line + "\n" + b_.line + "\n" + c_.line + "\n";
    const struct {
        const char *name;
        std::string list;
        int result;
    } cases[] = {
        {"all entries, no trailer", all, 0},
        {"all entries and a trailer", all + Trailer({a_, b_, c_}), 0},
        {"leading blanks and tabs", " \t" + a_.line + "\n", 0},
        {"lines after the trailer are not read", a_.line + "\n" + Trailer({a_}) + "garbage\n", 0},
        {"a wrong first total", all + Trailer({a_, b_, c_}, 1), ERR_MISMATCH},
        {"only a trailer", "# Kestcksum 0 0 0\n", ERR_MISMATCH},
        {"a blank line", a_.line + "\n\n" + b_.line + "\n", ERR_MISMATCH},
        {"a comment that is no trailer", a_.line + "\n# a note\n", ERR_MISMATCH},
        {"four fields", "1 2 zImage 3\n", ERR_MISMATCH},
        {"a field over 15 characters", "1234567890123456 3006 zImage 3010 300\n", ERR_MISMATCH},
        {"an empty list", "", ERR_MISMATCH},
        {"a wrong size", "1 3 a " + std::to_string(c_.probe + 1) + " " + std::to_string(c_.sum) + "\n", ERR_MISMATCH},
        {"a wrong checksum", "1" + c_.line + "\n", ERR_MISMATCH},
    };
    for (const auto &c : cases) EXPECT_EQ(Check(c.list), c.result) << c.name;
}

TEST_F(CksumListTest, ContentChangesAreFound) {
    std::string list = a_.line + "\n";
    ASSERT_EQ(Check(list), 0);
    // A changed byte at the probe position.
    std::string content = Read(dir_ / "zImage");
    long long offset = a_.probe - a_.size;
    content[static_cast<size_t>(offset)] ^= 1;
    Write(dir_ / "zImage", content);
    EXPECT_EQ(Check(list), ERR_MISMATCH);
    // Truncated below its recorded probe value.
    Write(dir_ / "zImage", "short");
    EXPECT_EQ(Check(list), ERR_FILE_TOO_SHORT);
}

TEST_F(CksumListTest, PathsMustStayInside) {
    fs::create_directory(dir_ / "boot");
    fs::create_directory(dir_ / "boot2");
    Write(dir_ / "boot2/outside", "secret");
    Entry e = MakeEntry((dir_ / "boot2"), "outside");
    std::string entry_tail = e.line.substr(e.line.find(" outside ") + 9);
    std::string crc_size = e.line.substr(0, e.line.find(" outside"));
    // Through a parent-directory component into a sibling whose name
    // begins like the directory's.
    Write(dir_ / "boot/checksum.kest", crc_size + " ../boot2/outside " + entry_tail + "\n");
    EXPECT_EQ(XLIBCCksumCheckDir((dir_ / "boot").c_str()), ERR_MISMATCH);
    // A link pointing out is refused too; one pointing in is checked as a link.
    symlink("../boot2/outside", (dir_ / "boot/escape").c_str());
    Write(dir_ / "boot/checksum.kest", MakeEntry(dir_ / "boot", "escape").line + "\n");
    EXPECT_EQ(XLIBCCksumCheckDir((dir_ / "boot").c_str()), ERR_MISMATCH);
    symlink("zImage", (dir_ / "kernel").c_str());
    Entry link = MakeEntry(dir_.path(), "kernel");
    EXPECT_EQ(link.line.rfind("0 6 kernel ", 0), 0u) << link.line;
    EXPECT_EQ(Check(link.line + "\n"), 0);
    // Missing pieces.
    EXPECT_EQ(XLIBCCksumCheckDir(""), ERR_EMPTY_DIRECTORY_NAME);
    EXPECT_EQ(XLIBCCksumCheckDir(nullptr), ERR_EMPTY_DIRECTORY_NAME);
    EXPECT_EQ(XLIBCCksumCheckDir((dir_ / "nowhere").c_str()), ERR_OPEN);
    EXPECT_EQ(Check("1 1 missing 1 1\n"), ERR_MISMATCH);
}

// Root writes /tmp/cksum.tmp at a fixed name in a world-writable folder.
TEST_F(CksumListTest, RegressionScratchFileIsNeverFollowedOrBorrowed) {
    std::string list = a_.line + "\n" + b_.line + "\n";
    unlink("/tmp/cksum.tmp");
    unlink("/tmp/planted-target");
    symlink("/tmp/planted-target", "/tmp/cksum.tmp");
    EXPECT_EQ(Check(list), 0);
    EXPECT_FALSE(fs::exists("/tmp/planted-target"));
    struct stat st;
    ASSERT_EQ(lstat("/tmp/cksum.tmp", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // Someone else's file of that name is not written into.
    unlink("/tmp/cksum.tmp");
    Write("/tmp/cksum.tmp", "theirs");
    chown("/tmp/cksum.tmp", 1234, 1234);
    int fd = open("/tmp/cksum.tmp", O_RDONLY);  // they keep it open
    EXPECT_EQ(Check(list), 0);
    char buf[8] = {};
    EXPECT_EQ(pread(fd, buf, sizeof buf - 1, 0), 6);
    EXPECT_STREQ(buf, "theirs");
    close(fd);
    ASSERT_EQ(lstat("/tmp/cksum.tmp", &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    // A FIFO there does not hang the verification.
    unlink("/tmp/cksum.tmp");
    mkfifo("/tmp/cksum.tmp", 0666);
    EXPECT_EQ(Check(list), 0);
}

TEST(CksumSample, FixedValuesAndSmallFiles) {
    TempDir dir;
    const struct {
        std::string path;
        long long probe, sum, size;
    } fixed[] = {
        {"/dev/kestboot2", 117, 2552, 0},
        {"/dev/null", 130, 1814, 0},
    };
    for (const auto &f : fixed) {
        long long probe = -1, sum = 0, size = 7;
        ASSERT_EQ(XLIBCCksumSample(f.path.c_str(), &probe, &sum, &size), 0) << f.path;
        EXPECT_EQ(probe, f.probe);
        EXPECT_EQ(sum, f.sum);
        EXPECT_EQ(size, f.size);
    }
    mkfifo((dir / "fifo").c_str(), 0600);
    long long probe = -1, sum = 0, size = 0;
    ASSERT_EQ(XLIBCCksumSample((dir / "fifo").c_str(), &probe, &sum, &size), 0);
    EXPECT_EQ(sum, 1824);
    Write(dir / "empty", "");
    ASSERT_EQ(XLIBCCksumSample((dir / "empty").c_str(), &probe, &sum, &size), 0);
    EXPECT_EQ(sum, 2767);
    EXPECT_EQ(size, 0);
    // Files under four bytes are summed whole from the start.
    Write(dir / "three", "abc");
    probe = -1;
    ASSERT_EQ(XLIBCCksumSample((dir / "three").c_str(), &probe, &sum, &size), 0);
    EXPECT_EQ(sum, 'a' + 'b' + 'c');
    EXPECT_EQ(probe, 3);
    // A requested probe: offset = probe - size, moved back near the end.
    Write(dir / "ten", "0123456789");
    probe = 10 + 9;
    ASSERT_EQ(XLIBCCksumSample((dir / "ten").c_str(), &probe, &sum, &size), 0);
    EXPECT_EQ(probe, 10 + 5);
    EXPECT_EQ(sum, '5' + '6' + '7' + '8');
    probe = 5;  // below the size
    EXPECT_EQ(XLIBCCksumSample((dir / "ten").c_str(), &probe, &sum, &size), ERR_FILE_TOO_SHORT);
    EXPECT_EQ(XLIBCCksumSample((dir / "missing").c_str(), &probe, &sum, &size), ERR_STAT);
}

TEST(CksumSample, TheFixtureBootPartitionVerifies) {
    ASSERT_EQ(KESTBoot2Mount(), 0);
    EXPECT_EQ(XLIBCCksumCheckDir("/tmp/bootmnt"), 0);
    EXPECT_EQ(KESTBoot2Unmount(), 0);
}

// ---- model capabilities ---------------------------------------------------

// Each query in a fresh process: the answers are cached per process.
int InChild(const std::function<int()> &query) {
    pid_t pid = fork();
    if (pid == 0) _exit(query());
    int status;
    waitpid(pid, &status, 0);
    return WEXITSTATUS(status);
}

void SetDefaults(const std::string &key, const std::string &value) {
    std::string text = Read("/etc.defaults/kestinfo.conf"), out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + "=", 0) != 0) out += line + "\n";
    if (!value.empty()) out += key + "=" + value + "\n";
    Write("/etc.defaults/kestinfo.conf", out);
}

TEST(Capabilities, RaidAndOtherKeys) {
    const struct {
        const char *value;
        int supported;
    } cases[] = {{"\"yes\"", 1}, {"YES", 1}, {"yes   ", 1}, {"\"no\"", 0}, {"yesss", 0}, {"", 0}};
    for (const auto &c : cases) {
        SetDefaults("supportraid", c.value);
        EXPECT_EQ(InChild([] { return XLIBCSupportRAID(); }), c.supported) << c.value;
        EXPECT_EQ(InChild([] {
                      char dev[32];
                      XLIBCDiskSysDevicePathGet(dev, sizeof dev);
                      return std::string(dev) == "/dev/md0" ? 1 : std::string(dev) == "/dev/sda1" ? 0 : 9;
                  }),
                  c.supported);
    }
    SetDefaults("supportraid", "\"no\"");
    SetDefaults("ali_tarn", "YES");
    EXPECT_EQ(InChild([] { return XLIBCIsAliTARN(); }), 0);  // exactly "yes"
    SetDefaults("ali_tarn", "yes");
    EXPECT_EQ(InChild([] { return XLIBCIsAliTARN(); }), 1);
    SetDefaults("ali_tarn", "no");
    SetDefaults("minidock", "Yes");
    EXPECT_EQ(InChild([] { return XLIBCIsMinidock(); }), 1);
    EXPECT_EQ(XLIBCSupportGet(nullptr), 0);
    EXPECT_EQ(XLIBCDiskSysDevicePathGet(nullptr, 4), -1);
}

TEST(Capabilities, DualHeadMarkers) {
    unlink("/tmp/.dualhead");
    unlink("/tmp/.not.dualhead");
    SetDefaults("support_dual_head", "yes");
    EXPECT_EQ(InChild([] { return XLIBCSupportDualHead(); }), 1);
    EXPECT_TRUE(fs::exists("/tmp/.dualhead"));
    SetDefaults("support_dual_head", "");
    EXPECT_EQ(InChild([] { return XLIBCSupportDualHead(); }), 1);  // the marker answers
    unlink("/tmp/.dualhead");
    EXPECT_EQ(InChild([] { return XLIBCSupportDualHead(); }), 0);
    EXPECT_TRUE(fs::exists("/tmp/.not.dualhead"));
    SetDefaults("support_dual_head", "no");

    unlink("/tmp/.systemdr.running");
    unlink("/tmp/.systemdr.not.running");
    EXPECT_EQ(XLIBCSystemDRRunning(), 0);
    EXPECT_TRUE(fs::exists("/tmp/.systemdr.not.running"));
    unlink("/tmp/.systemdr.not.running");
    Write("/tmp/.systemdr.running", "");
    EXPECT_EQ(XLIBCSystemDRRunning(), 1);
    unlink("/tmp/.systemdr.running");
}

TEST(Capabilities, HardwareVersion) {
    char buf[64];
    ASSERT_EQ(XLIBCHwVersionGet(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "KS-2100");  // the fixture's "KS-2100-j2" cut before "-j"
    Write("/proc/sys/kernel/kest_hw_version", "KS-3000\n");
    ASSERT_EQ(XLIBCHwVersionGet(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "KS-3000\n");  // no "-j": the newline stays
    Write("/proc/sys/kernel/kest_hw_version", "KS-2100-j2\n");
    EXPECT_EQ(XLIBCHwVersionGet(nullptr, 4), -1);
}

}  // namespace
