#include "kest/kvfile.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kest/error.h"
#include "test_util.h"

using kest::test::CountEntries;
using kest::test::Read;
using kest::test::TempDir;
using kest::test::Write;

namespace {

TEST(GetKeyValue, ReadsByTheFormatRules) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f,
          "# comment=no\n"
          ";k1=no\n"
          "  #hash=yes\n"
          "plain=1\n"
          "quoted=\"two words\"\n"
          " spaced = \"a b\" \n"
          "inner=\"a\"b\"\n"
          "blank=   \n"
          "quotes=\"\"\n"
          "eq=a=b\n"
          "UPPER=1\n"
          "noval=\n"
          "noval=later\n"
          "onlykey\n"
          "twice=first\n"
          "twice=second\n"
          "[section]\n"
          "last=no newline");
    const struct {
        const char *key;
        int flags;
        int result;
        const char *value;
    } cases[] = {
        {"plain", 0, 2, "1"},
        {"quoted", 0, 10, "two words"},
        {"spaced", 0, 4, "a b"},
        {"inner", 0, 4, "a\"b"},
        {"blank", 0, 1, ""},
        {"quotes", 0, 1, ""},
        {"eq", 0, 4, "a=b"},
        {"#hash", 0, 4, "yes"},  // not a comment: the # is not the first byte
        {"upper", 0, 0, nullptr},
        {"noval", 0, 0, nullptr},  // stops at the first matching line
        {"noval", KV_LAST_MATCH, 6, "later"},
        {"onlykey", 0, 0, nullptr},
        {"twice", 0, 6, "first"},
        {"twice", KV_LAST_MATCH, 7, "second"},
        {"last", 0, 11, "no newline"},
        {"comment", 0, 0, nullptr},
        {"k1", 0, 0, nullptr},
        {"missing", 0, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.key) + " flags " + std::to_string(c.flags));
        char buf[64] = "untouched";
        XLIBCErrSetEx(0, nullptr, 0);
        EXPECT_EQ(XLIBCFileGetKeyValue(f.c_str(), c.key, buf, sizeof buf, c.flags), c.result);
        if (c.value) {
            EXPECT_STREQ(buf, c.value);
        } else {
            EXPECT_STREQ(buf, "untouched");
            EXPECT_EQ(XLIBCErrGet(), ERR_KEY_NOT_FOUND);
        }
        EXPECT_EQ(XLIBCFileGetKeyValue(f.c_str(), c.key, nullptr, 0, c.flags), c.result);
    }
}

TEST(GetKeyValue, BufferLimits) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "k15=123456789012345\nk16=1234567890123456\n");
    char buf[16];
    EXPECT_EQ(XLIBCFileGetKeyValue(f.c_str(), "k15", buf, sizeof buf, 0), 16);
    EXPECT_STREQ(buf, "123456789012345");
    strcpy(buf, "old");
    EXPECT_EQ(XLIBCFileGetKeyValue(f.c_str(), "k16", buf, sizeof buf, 0), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BUFFER_SIZE);
    EXPECT_STREQ(buf, "old");
}

TEST(GetKeyValue, BadInput) {
    TempDir dir;
    char buf[8];
    const struct {
        const char *path, *key;
        char *buffer;
        int size, flags, code;
    } cases[] = {
        {nullptr, "k", buf, 8, 0, ERR_BAD_PARAMETERS},
        {"/etc/hostname", nullptr, buf, 8, 0, ERR_BAD_PARAMETERS},
        {"/etc/hostname", "k", nullptr, 8, 0, ERR_BAD_PARAMETERS},
        {"/etc/hostname", "k", buf, 8, -1, ERR_BAD_PARAMETERS},
        {"/nonexistent/file", "k", buf, 8, 0, ERR_OPEN},
        {dir.path().c_str(), "k", buf, 8, 0, ERR_OPEN},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(XLIBCFileGetKeyValue(c.path, c.key, c.buffer, c.size, c.flags), -1);
        EXPECT_EQ(XLIBCErrGet(), c.code);
        EXPECT_STREQ(XLIBCErrorGetFile(), "file_get_key_value");
    }
}

TEST(CheckKeyValue, ComparesIgnoringCase) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "support=YES\nother=no\nlong=" + std::string(600, 'x') + "\n");
    EXPECT_EQ(XLIBCFileCheckKeyValue(f.c_str(), "support", "yes", 7), 1);
    EXPECT_EQ(XLIBCFileCheckKeyValue(f.c_str(), "other", "yes", 7), 0);
    EXPECT_EQ(XLIBCFileCheckKeyValue(f.c_str(), "absent", "yes", 7), 7);
    EXPECT_EQ(XLIBCFileCheckKeyValue(f.c_str(), "long", "yes", 7), 0);
    EXPECT_EQ(XLIBCFileCheckKeyValue((dir / "none").c_str(), "support", "yes", 7), 0);
    EXPECT_EQ(XLIBCFileCheckKeyValue(f.c_str(), nullptr, "yes", 7), 0);
}

TEST(SetKeyValue, RewriteRules) {
    const struct {
        const char *name, *before, *key, *value, *format, *after;
    } cases[] = {
        {"replace keeps the old key text", "a=1\n  k = \"old\"\nb=2\n", "k", "new", nullptr, "a=1\n  k =new\nb=2\n"},
        {"later lines of the key are dropped", "k=1\nx=2\nk=3\n", "k", "9", nullptr, "k=9\nx=2\n"},
        {"append after a last line without newline", "a=1", "k", "v", nullptr, "a=1\nk=v\n"},
        {"append to an empty file", "", "k", "v", nullptr, "k=v\n"},
        {"quoted format", "# c\nk=1\n", "k", "a b", "%s=\"%s\"\n", "# c\nk=\"a b\"\n"},
        {"comments and sections are kept", ";k=x\n[s]\n", "k", "v", nullptr, ";k=x\n[s]\nk=v\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string f = dir / "conf";
        Write(f, c.before);
        EXPECT_EQ(XLIBCFileSetKeyValue(f.c_str(), c.key, c.value, c.format), 1);
        EXPECT_EQ(Read(f), c.after);
        EXPECT_EQ(CountEntries(dir.path()), 1) << "temporary file left behind";
    }
}

TEST(SetKeyValue, KeepsOwnerGroupAndMode) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "k=1\n");
    ASSERT_EQ(chown(f.c_str(), 1234, 5678), 0);
    ASSERT_EQ(chmod(f.c_str(), 0640), 0);
    EXPECT_EQ(XLIBCFileSetKeyValue(f.c_str(), "k", "2", nullptr), 1);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    SzHash *set = XLIBCSzHashAlloc(0);
    XLIBCSzHashSetValue(&set, "k", "3");
    ASSERT_EQ(chmod(f.c_str(), 0600), 0);
    EXPECT_EQ(XLIBCFileSetKeys(f.c_str(), set, nullptr, nullptr), 1);
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    XLIBCSzHashFree(set);
}

TEST(SetKeyValue, CreatesMissingFilesAndRefusesDirectories) {
    TempDir dir;
    std::string f = dir / "new.conf";
    EXPECT_EQ(XLIBCFileSetKeyValue(f.c_str(), "k", "v", nullptr), 1);
    EXPECT_EQ(Read(f), "k=v\n");
    EXPECT_EQ(XLIBCFileSetKeyValue(dir.path().c_str(), "k", "v", nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_OPEN);
    EXPECT_EQ(CountEntries(dir.path()), 1);
    EXPECT_EQ(XLIBCFileSetKeyValue((dir / "no/such/dir").c_str(), "k", "v", nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_OPEN);
    EXPECT_EQ(XLIBCFileSetKeyValue(f.c_str(), nullptr, "v", nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
}

// Root creating a missing file must not write wherever a planted link points.
TEST(SetKeyValue, RegressionDanglingLinkIsNotFollowed) {
    TempDir dir;
    std::string target = dir / "target";
    std::string link = dir / "conf";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(XLIBCFileSetKeyValue(link.c_str(), "k", "v", nullptr), 1);
    EXPECT_FALSE(std::filesystem::exists(target));
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(Read(link), "k=v\n");
}

TEST(SetKeyValue, FullDiskLeavesTheOldFileAndNoTemporary) {
    TempDir dir;
    std::string mnt = dir / "small";
    std::filesystem::create_directory(mnt);
    // A mount namespace of this test process's own: the host sees nothing.
    if (getuid() != 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    std::string f = mnt + "/conf";
    std::string old = "k=1\n" + std::string(40000, '#') + "\n";
    Write(f, old);
    EXPECT_EQ(XLIBCFileSetKeyValue(f.c_str(), "k", "2", nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_WRITE);
    EXPECT_EQ(Read(f), old);
    EXPECT_EQ(CountEntries(mnt), 1);
    umount(mnt.c_str());
}

TEST(GetKeys, WantedListDecidesWhichLineWins) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "# c=1\nk=first\nother = \"x y\"\nk=last\nempty=\n  :=skip\nnosep\n");
    SzHash *h = XLIBCSzHashAlloc(0);
    EXPECT_EQ(XLIBCFileGetKeys(f.c_str(), nullptr, &h, "="), 4);
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "k"), "last");
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "other"), "x y");
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "empty"), "");
    EXPECT_STREQ(XLIBCSzHashGetValue(h, ":"), "skip");
    XLIBCSzHashFree(h);

    h = XLIBCSzHashAlloc(0);
    SzList *wanted = XLIBCSzListAlloc(0);
    XLIBCSzListPush(&wanted, "k");
    XLIBCSzListPush(&wanted, "absent");
    EXPECT_EQ(XLIBCFileGetKeys(f.c_str(), wanted, &h, "="), 1);
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "k"), "first");
    EXPECT_EQ(wanted->count, 2);  // the caller's list is not consumed
    XLIBCSzListFree(wanted);
    XLIBCSzHashFree(h);
}

TEST(SetKeys, ReplacesFirstLineRemovesAndAppends) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "k=1\n# note\nx=2\nk=3\ngone=4\n");
    SzHash *set = XLIBCSzHashAlloc(0);
    SzHash *remove = XLIBCSzHashAlloc(0);
    XLIBCSzHashSetValue(&set, "k", "9");
    XLIBCSzHashSetValue(&set, "new", "n");
    XLIBCSzHashSetValue(&remove, "gone", "");
    XLIBCSzHashSetValue(&remove, "notthere", "");
    EXPECT_EQ(XLIBCFileSetKeys(f.c_str(), set, remove, nullptr), 3);
    EXPECT_EQ(Read(f), "k=9\n# note\nx=2\nk=3\nnew=n\n");
    // What is left: the appended key, and the key that was not found.
    EXPECT_EQ(set->count, 1);
    EXPECT_NE(XLIBCSzHashGetValue(set, "new"), nullptr);
    EXPECT_EQ(remove->count, 1);
    EXPECT_NE(XLIBCSzHashGetValue(remove, "notthere"), nullptr);
    XLIBCSzHashFree(set);
    XLIBCSzHashFree(remove);
    EXPECT_EQ(CountEntries(dir.path()), 1);
}

// Appending right after an old last line without a newline would have
// changed that line's value.
TEST(SetKeys, RegressionAppendAfterLastLineWithoutNewline) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "a=1");
    SzHash *set = XLIBCSzHashAlloc(0);
    XLIBCSzHashSetValue(&set, "b", "2");
    EXPECT_EQ(XLIBCFileSetKeys(f.c_str(), set, nullptr, "%s=\"%s\"\n"), 1);
    EXPECT_EQ(Read(f), "a=1\nb=\"2\"\n");
    char buf[8];
    EXPECT_EQ(XLIBCFileGetKeyValue(f.c_str(), "a", buf, sizeof buf, 0), 2);
    XLIBCSzHashFree(set);
}

TEST(SetKeys, CreatesAMissingFileWithMode0644) {
    TempDir dir;
    std::string f = dir / "new";
    SzHash *set = XLIBCSzHashAlloc(0);
    XLIBCSzHashSetValue(&set, "k", "v");
    EXPECT_EQ(XLIBCFileSetKeys(f.c_str(), set, nullptr, nullptr), 1);
    EXPECT_EQ(Read(f), "k=v\n");
    struct stat st;
    stat(f.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(XLIBCFileSetKeys(dir.path().c_str(), set, nullptr, nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_OPEN);
    XLIBCSzHashFree(set);
}

TEST(GetPair, LaterLinesReplaceEarlier) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "a = 1\n#b=2\nnot a pair\n=novalue\na=\"3\"\nc=\n");
    SzHash *h = XLIBCSzHashAlloc(0);
    EXPECT_EQ(XLIBCFileGetPair(f.c_str(), &h), 2);
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "a"), "3");
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "c"), "");
    XLIBCSzHashFree(h);
}

TEST(EnumSection, NamesBetweenFirstOpenAndLastClose) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "[one]\n[ two words ]  \n[a]b]\n [indented]\nk=v\n[unclosed\n[" + std::string(1030, 'x') + "]\n");
    SzList *l = XLIBCSzListAlloc(0);
    EXPECT_EQ(XLIBCFileEnumSection(f.c_str(), &l), -1);  // the 1024-byte header
    XLIBCSzListRemoveAll(l);
    Write(f, "[one]\n[ two words ]  \n[a]b]\n [indented]\nk=v\n[unclosed\n");
    EXPECT_EQ(XLIBCFileEnumSection(f.c_str(), &l), 3);
    EXPECT_STREQ(l->items[0], "one");
    EXPECT_STREQ(l->items[1], " two words ");
    EXPECT_STREQ(l->items[2], "a]b");
    XLIBCSzListFree(l);
}

TEST(LineMatch, FlagsTable) {
    const struct {
        const char *text, *pattern;
        int flags, result;
    } cases[] = {
        {"hello world\n", "lo w", 0, 1},
        {"hello world\n", "hello", LINE_MATCH_PREFIX, 1},
        {"hello world\n", "world", LINE_MATCH_PREFIX, 0},
        {"hello world\n", "world", LINE_MATCH_SUFFIX, 1},
        {"hello world\nmore", "world", LINE_MATCH_SUFFIX, 1},
        {"hello world", "world", LINE_MATCH_SUFFIX, 1},
        {"hello world\n", "hello", LINE_MATCH_SUFFIX, 0},
        {"Straße", "STRASSE", LINE_MATCH_CASE, 1},
        {"Straße", "STRASSE", 0, 0},
        {"# comment", "comment", 0, 0},
        {"abc", "abc", -1, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(XLIBCFileLineMatch(c.text, c.pattern, c.flags), c.result) << c.text << "|" << c.pattern;
}

TEST(LineKeyMatch, ByTrimmedKey) {
    EXPECT_EQ(XLIBCFileLineKeyMatch("  key = v\n", "key"), 1);
    EXPECT_EQ(XLIBCFileLineKeyMatch("\"key\"=v\n", "key"), 1);
    EXPECT_EQ(XLIBCFileLineKeyMatch("key\n", "key"), 1);
    EXPECT_EQ(XLIBCFileLineKeyMatch("Key=v\n", "key"), 0);
    EXPECT_EQ(XLIBCFileLineKeyMatch("#key=v\n", "#key"), 0);
    EXPECT_EQ(XLIBCFileLineKeyMatch(nullptr, "key"), 0);
}

TEST(ReadLines, PiecesOfAtMost1023Bytes) {
    TempDir dir;
    std::string f = dir / "conf";
    Write(f, "one\n" + std::string(1500, 'x') + "\nlast");
    SzList *l = XLIBCSzListAlloc(0);
    EXPECT_EQ(XLIBCFileReadLines(f.c_str(), &l), 0);
    ASSERT_EQ(l->count, 4);
    EXPECT_STREQ(l->items[0], "one\n");
    EXPECT_EQ(strlen(l->items[1]), 1023u);
    EXPECT_EQ(strlen(l->items[2]), 478u);
    EXPECT_STREQ(l->items[3], "last");
    XLIBCSzListFree(l);
}

}  // namespace
