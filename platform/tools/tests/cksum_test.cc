// The checksum stand-in must print what GNU cksum prints for the POSIX CRC.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "standin_state.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int status;
    std::string out;
};

Result Sh(const std::string &command) {
    Result r{-1, {}};
    FILE *p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

class CksumTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (Sh("/usr/bin/cksum --version 2>/dev/null").out.find("GNU coreutils") == std::string::npos)
            GTEST_SKIP() << "no GNU cksum to compare with";
        char tmpl[] = "/tmp/cksum_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }
    std::string Write(const std::string &name, const std::string &bytes) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string dir_;
};

TEST_F(CksumTest, AgreesWithGnuCksum) {
    std::mt19937 rng(7);
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (char &c : large) c = static_cast<char>(rng());
    const struct {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"one byte", "a"},
        {"with blanks in name", "hello world\n"},
        {"length 256", std::string(256, 'x')},
        {"large", large},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = Write(c.name, c.bytes);
        std::string quoted = kest::platform::QuoteWord(path);
        Result gnu = Sh("cd / && /usr/bin/cksum " + quoted);
        Result ours = Sh(std::string("cd / && ") + STANDIN_CKSUM + " -o 3 " + quoted);
        EXPECT_EQ(ours.status, 0);
        EXPECT_EQ(ours.out, gnu.out);
        // Standard input: no name on the line.
        EXPECT_EQ(Sh(std::string(STANDIN_CKSUM) + " < " + quoted).out,
                  Sh("/usr/bin/cksum < " + quoted).out);
    }
}

TEST_F(CksumTest, RelativeNameAndSeveralFiles) {
    Write("a", "1");
    Write("b", "22");
    std::string cd = "cd " + dir_ + " && ";
    EXPECT_EQ(Sh(cd + STANDIN_CKSUM + " -o 3 a b").out, Sh(cd + "/usr/bin/cksum a b").out);
}

TEST_F(CksumTest, RefusesBadUse) {
    Write("a", "1");
    std::string cd = "cd " + dir_ + " && ";
    // A missing file is reported, the others still printed, status 1.
    Result missing = Sh(cd + STANDIN_CKSUM + " -o 3 nofile a 2>/dev/null");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, Sh(cd + "/usr/bin/cksum a").out);
    EXPECT_EQ(Sh(cd + STANDIN_CKSUM + " -o 1 a 2>/dev/null").status, 1);
    EXPECT_EQ(Sh(cd + STANDIN_CKSUM + " -x a 2>/dev/null").status, 1);
    EXPECT_EQ(Sh(cd + STANDIN_CKSUM + " -o 2>/dev/null").status, 1);
}

TEST(QuoteWord, QuotesLikeAShell) {
    EXPECT_EQ(kest::platform::QuoteWord("--cluster-size"), "--cluster-size");
    EXPECT_EQ(kest::platform::QuoteWord("a b"), "'a b'");
    EXPECT_EQ(kest::platform::QuoteWord("it's"), "'it'\\''s'");
    EXPECT_EQ(kest::platform::QuoteWord(""), "''");
}

}  // namespace
