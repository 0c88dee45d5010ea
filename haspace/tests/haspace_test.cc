// libkesthaspace in a testbed: loop-backed disks and partitions, the disk
// and storage stand-ins, the captured log.
#include "kest/haspace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "keststorage.h"
#include "testbed_support.h"

using namespace KEST::HA::Lib::Space;
using kest::testbed::LogLines;
using kest::testbed::WaitForLog;
using kest::testbed::WriteFile;

using kest::testbed::CountLog;

using kest::testbed::Eventually;

namespace {



std::string Str(const std::unique_ptr<DiskLocation> &loc) {
    std::ostringstream s;
    s << loc;
    return s.str();
}

TEST(DiskLocationText, AcceptedAndRefused) {
    const struct {
        std::string text;
        bool accepted;
        uint32_t unit, slot, partition;
    } cases[] = {
        {"1-2", true, 1, 2, 0},         {"1-2-3", true, 1, 2, 3},      {"01-002-0003", true, 1, 2, 3},
        {"2147483647-0", true, 2147483647u, 0, 0},
        {"1-2-", false, 0, 0, 0},        {"-1-2", false, 0, 0, 0},      {" 1-2", false, 0, 0, 0},
        {"1-2 ", false, 0, 0, 0},        {"1-2-3-4", false, 0, 0, 0},   {"1_2", false, 0, 0, 0},
        {"", false, 0, 0, 0},            {"+1-2", false, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("'" + c.text + "'");
        int before = CountLog("Unknown disk location: " + c.text);
        DiskLocation loc(c.text);
        EXPECT_EQ(loc.unit, c.unit);
        EXPECT_EQ(loc.slot, c.slot);
        EXPECT_EQ(loc.partition, c.partition);
        if (!c.accepted) {
            ASSERT_TRUE(Eventually([&] { return CountLog("Unknown disk location: " + c.text) == before + 1; }));
        }
    }
    std::string warn = WaitForLog("Unknown disk location: 1_2");
    EXPECT_EQ(warn.rfind("4 user.warning ", 0), 0u) << warn;
    EXPECT_NE(warn.find("[HA-WARN] disk_location.cc:"), std::string::npos) << warn;
    EXPECT_THROW(DiskLocation("2147483648-0"), std::out_of_range);
    EXPECT_THROW(CreateDiskLoc(std::string("1-2147483648")), std::out_of_range);
}

TEST(DiskLocationText, FactoriesAndStream) {
    EXPECT_EQ(Str(CreateDiskLoc(5, 7)), "5-7-0");
    EXPECT_EQ(Str(CreateDiskLoc(100, 3, 2)), "100-3-2");
    EXPECT_EQ(Str(CreateDiskLoc(std::string("1-2"))), "1-2-0");
    EXPECT_EQ(Str(CreateDiskLoc(std::string("bad"))), "0-0-0");
    EXPECT_EQ(CreateDiskLoc(4294967295u, 1)->GetStringFull(), "4294967295-1-0");
}

TEST(DeviceLookup, DeviceToLocation) {
    EXPECT_EQ(HAGetDiskLocByDev("/dev/sda2")->GetStringFull(), "1-1-2");
    EXPECT_EQ(HAGetDiskLocByDev("sdb")->GetStringFull(), "1-2-0");
    EXPECT_EQ(HAGetDiskLocByDev("/dev/nvme0n1")->GetStringFull(), "1-5-0");
    EXPECT_EQ(HAGetDiskLocByDev("/dev/nope"), nullptr);
    EXPECT_NE(WaitForLog("Failed to get disk info"), "");
}

TEST(DeviceLookup, LocationToDevice) {
    WriteFile("/dev/sdc", "not a block device");
    std::filesystem::create_directory("/dev/sdd");
    const struct {
        unsigned unit, slot, partition;
        std::string dev;
    } cases[] = {
        {1, 1, 0, "/dev/sda"}, {1, 1, 2, "/dev/sda2"}, {1, 2, 2, "/dev/sdb2"}, {1, 2, 0, "/dev/sdb"},
        {1, 3, 0, ""},  // a regular file
        {1, 4, 0, ""},  // a directory
        {1, 2, 4, ""},  // no such partition
        {9, 9, 0, ""},  // nothing there, no SSD cache either
    };
    for (const auto &c : cases) {
        auto loc = CreateDiskLoc(c.unit, c.slot, c.partition);
        EXPECT_EQ(HAGetDevByDiskLoc(loc), c.dev) << loc->GetStringFull();
        EXPECT_EQ(HAGetDevByDiskLoc(*loc), c.dev) << loc->GetStringFull();
        struct stat st;
        if (!c.dev.empty()) {
            EXPECT_TRUE(stat(c.dev.c_str(), &st) == 0 && S_ISBLK(st.st_mode));
        }
    }
    EXPECT_NE(WaitForLog("Failed to get part path from 1-2-4"), "");
    EXPECT_NE(WaitForLog("Failed to get dev by 1-2-4"), "");
    EXPECT_NE(WaitForLog("Failed to get dev by 1-3-0"), "");
    EXPECT_NE(WaitForLog("Failed to get dev path from 9-9-0"), "");
}

TEST(DeviceLookup, SsdCacheFallbackTakesTheFirstMatch) {
    EXPECT_EQ(HAGetDevByDiskLoc(CreateDiskLoc(1, 5)), "/dev/nvme0n1");
    std::string line = WaitForLog("but find ssd /dev/nvme0n1 on 1-5");
    EXPECT_EQ(line.rfind("3 user.err ", 0), 0u) << line;
    EXPECT_NE(WaitForLog("Failed to get dev path from 1-5-0"), "");
    // A cache disk that cannot be placed ends the search.
    WriteFile("/run/kest-platform/fail", "DiskGetLocation\n");
    EXPECT_EQ(HAGetDevByDiskLoc(CreateDiskLoc(1, 5)), "");
    WriteFile("/run/kest-platform/fail", "DiskInfoEnum\n");
    EXPECT_EQ(HAGetDevByDiskLoc(CreateDiskLoc(1, 5)), "");
    EXPECT_NE(WaitForLog("Failed to disk info enum of ssd cache"), "");
    unlink("/run/kest-platform/fail");
}

struct Spaces {
    SPACE_INFO *list = nullptr;
    Spaces() { KESTSpaceInfoEnum(23, &list); }
    ~Spaces() { KESTSpaceInfoFree(list); }
    const SPACE_INFO *Get(const std::string &path) const {
        for (SPACE_INFO *s = list; s; s = s->next)
            if (path == s->path) return s;
        return nullptr;
    }
};

TEST(SpaceQuery, PoolSpaceIdByPath) {
    EXPECT_EQ(HAGetPoolSpaceIDByPath("/volume1"), "reuse_1");
    EXPECT_EQ(HAGetPoolSpaceIDByPath("/volume3"), "reuse_3");
    EXPECT_EQ(HAGetPoolSpaceIDByPath("/Volume1"), "/Volume1");  // case-sensitive
    EXPECT_EQ(HAGetPoolSpaceIDByPath("/volume9"), "/volume9");
    WriteFile("/run/kest-platform/fail", "KESTSpaceInfoEnum\n");
    EXPECT_EQ(HAGetPoolSpaceIDByPath("/volume1"), "/volume1");
    EXPECT_NE(WaitForLog("Failed to enum all space"), "");
    unlink("/run/kest-platform/fail");
}

TEST(SpaceQuery, RemoteDiskSize) {
    Spaces spaces;
    const SPACE_INFO *v1 = spaces.Get("/volume1");  // minimum 1000
    const SPACE_INFO *v2 = spaces.Get("/volume2");  // minimum query fails
    const SPACE_INFO *v3 = spaces.Get("/volume3");  // no minimum (gated)
    ASSERT_TRUE(v1 && v2 && v3);
    EXPECT_EQ(GetSpaceMinSize(v1), 1000u);
    EXPECT_EQ(GetSpaceMinSize(v3), 0u);
    EXPECT_EQ(GetSpaceMinSize(v2), 18446744073709551615ull);
    std::string line = WaitForLog("Failed to get minial disk size of space: [/volume2]");
    EXPECT_EQ(line.rfind("3 user.err ", 0), 0u) << line;
    EXPECT_NE(line.find("space_query.cc:"), std::string::npos);

    Json::Value remote(Json::objectValue);
    remote["200-3"]["HD_SIZE"] = Json::UInt64(1000);
    remote["100-4"]["HD_SIZE"] = Json::UInt64(999);
    remote["2000-1"]["HD_SIZE"] = Json::UInt64(5000);
    remote["1-1"] = Json::Value(Json::objectValue);  // no HD_SIZE
    remote["1-2"]["HD_SIZE"] = Json::UInt64(18446744073709551615ull);
    const struct {
        const char *name;
        std::unique_ptr<DiskLocation> loc;
        const SPACE_INFO *space;
        bool enough;
    } cases[] = {
        {"100 finds 200, equal size", CreateDiskLoc(100, 3), v1, true},
        {"200 finds 100, smaller", CreateDiskLoc(200, 4), v1, false},
        {"1000-1 rewritten to 2000-1", CreateDiskLoc(1000, 1), v1, true},
        {"no rewrite for 1-3", CreateDiskLoc(1, 3), v1, false},
        {"missing HD_SIZE against a minimum", CreateDiskLoc(1, 1), v1, false},
        {"missing HD_SIZE without a minimum", CreateDiskLoc(1, 1), v3, true},
        {"failed minimum", CreateDiskLoc(200, 3), v2, false},
        {"failed minimum, all bits set", CreateDiskLoc(1, 2), v2, true},
    };
    for (const auto &c : cases) EXPECT_EQ(IsRemoteDiskSizeEnough(c.loc, remote, c.space), c.enough) << c.name;
    EXPECT_FALSE(IsRemoteDiskSizeEnough(CreateDiskLoc(100, 3), Json::Value(), v1));
    std::string notice = WaitForLog("Failed to get remote disk type from location 1-3");
    EXPECT_EQ(notice.rfind("5 user.notice ", 0), 0u) << notice;
    EXPECT_NE(WaitForLog("IsRemoteDiskSizeEnough size 1000 < 1000"), "");
}

}  // namespace
