// A writer killed at any moment leaves a complete file, old or new, and at most the one temporary file it was holding.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>

#include "kest/kvfile.h"
#include "test_util.h"

using kest::test::Read;
using kest::test::TempDir;
using kest::test::Write;

namespace {

std::string Content(int version) {
    std::string s = "# generation\n";
    for (int i = 0; i < 200; ++i) s += "key" + std::to_string(i) + "=" + std::to_string(version) + "\n";
    return s;
}

// Whole: every line there, in order, each with a whole value.
bool Whole(const std::string &s) {
    std::string expect_prefix = "# generation\n";
    if (s.compare(0, expect_prefix.size(), expect_prefix) != 0) return false;
    size_t at = expect_prefix.size();
    for (int i = 0; i < 200; ++i) {
        std::string key = "key" + std::to_string(i) + "=";
        if (s.compare(at, key.size(), key) != 0) return false;
        at += key.size();
        if (at + 2 > s.size() || (s[at] != '0' && s[at] != '1') || s[at + 1] != '\n') return false;
        at += 2;
    }
    return at == s.size();
}

TEST(KvFileCrash, KilledWritersNeverLeaveAPartialFile) {
    TempDir dir;
    std::string f = dir / "conf";
    std::mt19937 rng(42);
    int kills = 0;
    for (int round = 0; round < 150; ++round) {
        Write(f, Content(0));
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Rewrites the whole file, then single keys, over and over.
            for (int n = 1;; ++n) {
                SzHash *set = XLIBCSzHashAlloc(0);
                for (int i = 0; i < 200; ++i)
                    XLIBCSzHashSetValue(&set, ("key" + std::to_string(i)).c_str(), std::to_string(n % 2).c_str());
                XLIBCFileSetKeys(f.c_str(), set, nullptr, nullptr);
                XLIBCSzHashFree(set);
                for (int i = 0; i < 200; i += 37)
                    XLIBCFileSetKeyValue(f.c_str(), ("key" + std::to_string(i)).c_str(), std::to_string(n % 2 ^ 1).c_str(),
                                         nullptr);
            }
        }
        usleep(std::uniform_int_distribution<int>(0, 3000)(rng));
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        ++kills;
        std::string now = Read(f);
        EXPECT_TRUE(Whole(now)) << "round " << round << ":\n" << now.substr(0, 200);
        int entries = kest::test::CountEntries(dir.path());
        EXPECT_LE(entries, 2) << "more than the killed writer's one temporary file";
        for (auto &e : std::filesystem::directory_iterator(dir.path()))
            if (e.path() != f) std::filesystem::remove(e.path());
    }
    EXPECT_EQ(kills, 150);
}

}  // namespace
