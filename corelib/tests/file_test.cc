#include "kest/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kest/error.h"
#include "kest/kvfile.h"
#include "test_util.h"

using kest::test::Read;
using kest::test::TempDir;
using kest::test::Write;

namespace {

std::vector<std::string> Sorted(const SzList *l) {
    std::vector<std::string> v(l->items, l->items + l->count);
    std::sort(v.begin(), v.end());
    return v;
}

TEST(EnumDir, SelectsByTypeAndPattern) {
    TempDir dir;
    Write(dir / "a.cfg", "");
    Write(dir / "b.CFG", "");
    Write(dir / "#c.cfg", "");
    std::filesystem::create_directory(dir / "sub.cfg");
    mkfifo((dir / "pipe.cfg").c_str(), 0600);
    symlink("a.cfg", (dir / "link.cfg").c_str());
    symlink("missing", (dir / "dangling.cfg").c_str());
    using V = std::vector<std::string>;
    const struct {
        const char *pattern;
        int flags;
        V names;
    } cases[] = {
        {nullptr, 0, {"#c.cfg", "a.cfg", "b.CFG", "link.cfg", "sub.cfg"}},
        {nullptr, ENUM_DIR_DIRS, {"sub.cfg"}},
        {nullptr, ENUM_DIR_FILES, {"#c.cfg", "a.cfg", "b.CFG", "link.cfg"}},
        {".cfg", ENUM_DIR_FILES | LINE_MATCH_SUFFIX, {"a.cfg", "link.cfg"}},  // "#..." reads as a comment
        {".cfg", ENUM_DIR_FILES | LINE_MATCH_SUFFIX | LINE_MATCH_CASE, {"a.cfg", "b.CFG", "link.cfg"}},
        {"a", LINE_MATCH_PREFIX, {"a.cfg"}},
    };
    for (const auto &c : cases) {
        SzList *l = XLIBCSzListAlloc(0);
        EXPECT_EQ(XLIBCFileEnumDir(dir.path().c_str(), c.pattern, &l, c.flags), static_cast<int>(c.names.size()));
        EXPECT_EQ(Sorted(l), c.names) << (c.pattern ? c.pattern : "(all)") << " " << c.flags;
        XLIBCSzListFree(l);
    }
    SzList *l = XLIBCSzListAlloc(0);
    EXPECT_EQ(XLIBCFileEnumDir((dir / "none").c_str(), nullptr, &l, 0), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_OPEN);
    XLIBCSzListFree(l);
}

TEST(Touch, CreatesOnlyWhatIsMissing) {
    TempDir dir;
    std::string f = dir / "flag";
    EXPECT_EQ(XLIBCFileExist(f.c_str()), 0);
    EXPECT_EQ(XLIBCFileTouch(f.c_str()), 0);
    EXPECT_EQ(XLIBCFileExist(f.c_str()), 1);
    Write(f, "kept");
    EXPECT_EQ(XLIBCFileTouch(f.c_str()), 0);
    EXPECT_EQ(Read(f), "kept");
    EXPECT_EQ(XLIBCFileExist(dir.path().c_str()), 0);
    EXPECT_EQ(XLIBCFileTouch(dir.path().c_str()), -1);
    EXPECT_EQ(XLIBCFileTouch(nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
}

// A flag file in /tmp is a fixed name anyone can plant a link at.
TEST(Touch, RegressionDoesNotFollowAPlantedLink) {
    TempDir dir;
    std::string target = dir / "elsewhere";
    std::string link = dir / "flag";
    symlink(target.c_str(), link.c_str());
    EXPECT_EQ(XLIBCFileTouch(link.c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(target));
    // A FIFO at the path does not block the caller.
    std::string fifo = dir / "fifo";
    mkfifo(fifo.c_str(), 0600);
    EXPECT_EQ(XLIBCFileTouch(fifo.c_str()), -1);
}

TEST(ErrorLogAppend, AppendsLines) {
    TempDir dir;
    std::string f = dir / "log";
    EXPECT_EQ(XLIBCErrorLogAppend(f.c_str(), "one"), 0);
    EXPECT_EQ(XLIBCErrorLogAppend(f.c_str(), "two"), 0);
    EXPECT_EQ(Read(f), "one\ntwo\n");
    EXPECT_EQ(XLIBCErrorLogAppend(dir.path().c_str(), "x"), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_OPEN);
    EXPECT_EQ(XLIBCErrorLogAppend(f.c_str(), nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
}

}  // namespace
