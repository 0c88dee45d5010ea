// Temporary folders and file helpers for the core library's tests.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kest::test {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kestcore_test.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

inline void Write(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline std::string Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline int CountEntries(const std::string &dir) {
    int n = 0;
    for (auto &e : std::filesystem::directory_iterator(dir)) (void)e, ++n;
    return n;
}

}  // namespace kest::test

#include <gtest/gtest.h>
#include <sys/wait.h>

namespace kest::test {

// Open descriptors other than sockets (the C library keeps its syslog
// connection open once used).
inline int CountFiles() {
    int n = 0;
    for (auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(e.path(), ec).string();
        if (!ec && target.rfind("socket:", 0) != 0) ++n;
    }
    return n;
}

// What a test binary must leave as it found it: descriptors, children,
// mounts. Register with ::testing::AddGlobalTestEnvironment.
class LeakCheck : public ::testing::Environment {
public:
    void SetUp() override {
        fds_ = CountFiles();
        mounts_ = Read("/proc/self/mounts");
    }
    void TearDown() override {
        EXPECT_EQ(CountFiles(), fds_) << "descriptors leaked";
        EXPECT_EQ(Read("/proc/self/mounts"), mounts_) << "mounts leaked";
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "children left behind";
    }

private:
    int fds_ = 0;
    std::string mounts_;
};

}  // namespace kest::test
