#include "manifest.h"

#include <gtest/gtest.h>

using kest::testbed::ManifestError;
using kest::testbed::ParseManifest;
using kest::testbed::ParseSize;

TEST(Manifest, ReadsEveryEntry) {
    auto m = ParseManifest(
        "# comment\n"
        "hostname box  # trailing comment\n"
        "hw_version KS-1-j1\n"
        "device kestboot2 size=64M fs=ext2 content=boot2\n"
        "disk sda size=1G\n"
        "part sda1 size=256M fs=ext4 content=tree\n"
        "part sda2 size=rest\n"
        "alias md0 sda1\n"
        "volume 2 ext4 size=128M location=loc-usb\n"
        "volume 1 tmpfs size=512M dev=/dev/md2 status=crashed\n");
    EXPECT_EQ(m.hostname, "box");
    EXPECT_EQ(m.hw_version.value_or(""), "KS-1-j1");
    ASSERT_EQ(m.devices.size(), 2u);
    EXPECT_EQ(m.devices[0].fs, "ext2");
    EXPECT_EQ(m.devices[0].content, "boot2");
    EXPECT_TRUE(m.devices[1].is_disk);
    ASSERT_EQ(m.devices[1].parts.size(), 2u);
    EXPECT_EQ(m.devices[1].parts[0].size, 256u << 20);
    EXPECT_EQ(m.devices[1].parts[1].size, 0u);
    ASSERT_EQ(m.aliases.size(), 1u);
    EXPECT_EQ(m.aliases[0].target, "sda1");
    ASSERT_EQ(m.volumes.size(), 2u);
    EXPECT_EQ(m.volumes[0].dev, "/dev/vg1/volume_2");
    EXPECT_EQ(m.volumes[0].location, "loc-usb");
    EXPECT_EQ(m.volumes[1].dev, "/dev/md2");
    EXPECT_EQ(m.volumes[1].status, "crashed");
    EXPECT_EQ(m.RequiredTools(), (std::vector<std::string>{"mkfs.ext2", "mkfs.ext4", "sfdisk"}));
}

TEST(Manifest, RefusesMalformedLines) {
    const struct {
        const char *text;
        const char *message;
    } cases[] = {
        {"frobnicate x\n", "line 1: unknown entry 'frobnicate'"},
        {"device kestboot2 fs=ext2\n", "size is missing"},
        {"device kestboot2 size=64Q\n", "bad size unit"},
        {"device kestboot2 size=64M fs=zfs\n", "unknown file system 'zfs'"},
        {"device kestboot2 size=64M colour=red\n", "unknown key 'colour'"},
        {"device kestboot2 size=64M content=boot2\n", "content needs a file system"},
        {"device kestboot2 size=64M fs=ext2 content=../../etc\n", "inside the fixture"},
        {"device a/b size=64M\n", "bad device name"},
        {"device sda size=64M\ndevice sda size=64M\n", "line 2: device 'sda' given twice"},
        {"part sda1 size=1M\n", "part must follow its disk"},
        {"disk sda size=64M\npart sda2 size=1M\n", "expected partition 'sda1'"},
        {"disk sda size=64M\npart sda1 size=rest\npart sda2 size=1M\n", "size=rest"},
        {"alias md0 sda1\n", "not defined above"},
        {"volume x tmpfs size=1M\n", "bad volume number"},
        {"volume 1 btrfs size=1M\n", "tmpfs or ext4"},
        {"volume 1 tmpfs size=1M\nvolume 1 tmpfs size=1M\n", "given twice"},
        {"volume 1 tmpfs size=1M dev=/etc/passwd\n", "under /dev"},
        {"hostname\n", "takes one word"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseManifest(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const ManifestError &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(Manifest, Sizes) {
    EXPECT_EQ(ParseSize("512"), 512u);
    EXPECT_EQ(ParseSize("4K"), 4096u);
    EXPECT_EQ(ParseSize("64M"), 64u << 20);
    EXPECT_EQ(ParseSize("2G"), 2ull << 30);
    for (const char *bad : {"", "M", "-1", "1T", "12.5M", "9999999999999"}) EXPECT_THROW(ParseSize(bad), ManifestError) << bad;
}
