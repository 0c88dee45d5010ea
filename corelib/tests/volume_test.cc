// Volumes and file systems in a testbed with tmpfs and ext4 volumes.
#include "kest/volume.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kest/error.h"
#include "test_util.h"

namespace fs = std::filesystem;
using kest::test::Read;
using kest::test::TempDir;
using kest::test::Write;

namespace {

const std::string kTable = Read("/run/keststorage/volumetab");

struct Volumes {
    KESTVOLINFOLIST *head;
    explicit Volumes(KESTVOLINFOLIST *h) : head(h) {}
    ~Volumes() { KESTMountVolInfoFree(head); }
    std::vector<int> Numbers() const {
        std::vector<int> n;
        for (auto *v = head; v; v = v->next) n.push_back(v->number);
        return n;
    }
    const KESTVOLINFOLIST *Get(int number) const {
        for (auto *v = head; v; v = v->next)
            if (v->number == number) return v;
        return nullptr;
    }
};

TEST(VolumePath, ParseAndRoot) {
    const struct {
        const char *path;
        int result, number, cls;
    } parse[] = {
        {"/volume1/share", 1, 1, VOL_CLASS_VOLUME}, {"/volume12", 1, 12, VOL_CLASS_VOLUME},
        {"/volumeUSB2/usbshare1", 1, 2, VOL_CLASS_USB}, {"/volumeX3/a", 1, 3, VOL_CLASS_X},
        {"/volumeSATA1/satashare", 1, 1, VOL_CLASS_SATA}, {"/volumeGluster4", 1, 4, VOL_CLASS_GLUSTER},
        {"/volume1abc", 0, 0, 0}, {"/volumes", 0, 0, 0}, {"/volume", 0, 0, 0}, {"/tmp/x", 0, 0, 0},
    };
    for (const auto &c : parse) {
        KEST_VOLUME_PATH out{};
        EXPECT_EQ(KESTVolumePathParse(c.path, &out), c.result) << c.path;
        if (c.result == 1) {
            EXPECT_EQ(out.number, c.number) << c.path;
            EXPECT_EQ(out.cls, c.cls) << c.path;
        }
    }
    EXPECT_EQ(KESTVolumePathParse(nullptr, nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);

    const struct {
        const char *path, *root;
        int cls;
    } roots[] = {
        {"/volume3.snap_5/dir/file", "/volume3.snap_5", VOL_CLASS_VOLUME},
        {"/volume1", "/volume1", VOL_CLASS_VOLUME},
        {"/volume1/a/b", "/volume1", VOL_CLASS_VOLUME},
        {"/volumeGluster2/x", "/volumeGluster2", VOL_CLASS_GLUSTER},
        {"/volumeX1/x", "/volumeX1", VOL_CLASS_X},
        {"/volumeUSB1/usbshare1-2/x", "/volumeUSB1/usbshare1-2", VOL_CLASS_USB},
        {"/volumeUSB1/usbshare3/x", "/volumeUSB1/usbshare3", VOL_CLASS_USB},
        {"/volumeSATA1/satashare1-2/x", "/volumeSATA1/satashare1-2", VOL_CLASS_SATA},
        {"/volumeSATA1/satashare/x", "/volumeSATA1/satashare", VOL_CLASS_SATA},
        {"/volumeSATA/satashare2-1/x", "/volumeSATA/satashare2-1", VOL_CLASS_SATA},
        {"/volumeSATA/satashare", "/volumeSATA/satashare", VOL_CLASS_SATA},
    };
    for (const auto &c : roots) {
        KEST_VOLUME_ROOT out{};
        ASSERT_EQ(KESTVolumeMountPathGet(c.path, &out), 0) << c.path;
        EXPECT_STREQ(out.root, c.root) << c.path;
        EXPECT_EQ(out.cls, c.cls) << c.path;
    }
    KEST_VOLUME_ROOT out{};
    EXPECT_EQ(KESTVolumeMountPathGet("/volumeUSB1/other/x", &out), -1);
    EXPECT_EQ(KESTVolumeMountPathGet("/tmp", &out), -1);
}

class VolumeTableTest : public ::testing::Test {
protected:
    void TearDown() override { Write("/run/keststorage/volumetab", kTable); }
};

TEST_F(VolumeTableTest, MalformedLinesAreSkipped) {
    Write("/run/keststorage/volumetab",
          "/dev/a /volume1 normal none loc-internal cnr-internal\n"
          "/dev/b /volume2 normal none loc-internal\n"
          "/dev/c /volume3 crashed building loc-cloud cnr-internal\n"
          "/dev/d /volume4 crashed building loc-usb cnr-cross\n");
    XLIBCErrSetEx(0, nullptr, 0);
    KESTVOLTAB *head = nullptr;
    ASSERT_EQ(KESTVolumeTableEnum(&head, nullptr), 0);
    EXPECT_EQ(XLIBCErrGet(), ERR_VOLUME_TABLE);
    ASSERT_NE(head, nullptr);
    // From the last accepted line to the first.
    EXPECT_STREQ(head->device, "/dev/d");
    EXPECT_EQ(head->status, VOLTAB_STATUS_CRASHED);
    EXPECT_EQ(head->task, VOLTAB_TASK_BUILDING);
    EXPECT_EQ(head->location, VOLTAB_LOC_USB);
    EXPECT_EQ(head->container, VOLTAB_CNR_CROSS);
    ASSERT_NE(head->next, nullptr);
    EXPECT_STREQ(head->next->device, "/dev/a");
    EXPECT_EQ(head->next->next, nullptr);
    KESTVolumeTableFree(head);

    // The filter decides: stop after the first kept, or abort.
    KESTVOLTAB_FILTER stop{[](const KESTVOLTAB *, void *) { return static_cast<int>(VOLTAB_KEEP_STOP); }, nullptr};
    ASSERT_EQ(KESTVolumeTableEnum(&head, &stop), 0);
    EXPECT_STREQ(head->device, "/dev/a");
    EXPECT_EQ(head->next, nullptr);
    KESTVolumeTableFree(head);
    KESTVOLTAB_FILTER abort{[](const KESTVOLTAB *, void *) { return static_cast<int>(VOLTAB_ABORT); }, nullptr};
    EXPECT_EQ(KESTVolumeTableEnum(&head, &abort), -1);
    EXPECT_EQ(head, nullptr);

    unlink("/run/keststorage/volumetab");
    ASSERT_EQ(KESTVolumeTableEnum(&head, nullptr), 0);
    EXPECT_EQ(head, nullptr);
    Volumes none(KESTMountVolInfoEnum(0, 0));
    EXPECT_TRUE(none.Numbers().empty());
    EXPECT_EQ(KESTVolumeTableEnum(nullptr, nullptr), -1);
}

TEST_F(VolumeTableTest, MountedVolumesFromTableAndKernel) {
    Volumes all(KESTMountVolInfoEnum(0, 0));
    EXPECT_EQ(all.Numbers(), (std::vector<int>{1, 2, 3}));
    const KESTVOLINFOLIST *v1 = all.Get(1), *v2 = all.Get(2), *v3 = all.Get(3);
    ASSERT_TRUE(v1 && v2 && v3);
    EXPECT_EQ(v1->mounted, 1);
    EXPECT_EQ(v1->fs_type, 1);  // tmpfs
    EXPECT_EQ(v1->total, 64ull << 20);
    EXPECT_EQ(v1->available, 64ull << 20);
    EXPECT_EQ(v1->usable, 1);
    EXPECT_STREQ(v1->device, "/dev/vg1/volume_1");
    EXPECT_EQ(v2->fs_type, 2);  // ext4 by its name, though its magic is ext2's
    EXPECT_EQ(v2->container, VOLTAB_CNR_EUNIT);
    EXPECT_EQ(v3->usable, 0);  // crashed
    Volumes first(KESTMountVolInfoEnum(1, 0));
    EXPECT_EQ(first.Numbers().size(), 1u);

    // A healthy volume mounted read-only is not usable either.
    ASSERT_EQ(mount(nullptr, "/volume1", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    Volumes ro(KESTMountVolInfoEnum(0, 0));
    EXPECT_EQ(ro.Get(1)->usable, 0);
    ASSERT_EQ(mount(nullptr, "/volume1", nullptr, MS_REMOUNT, nullptr), 0);

    // A volume whose attribute has bit 0x2 is left out unless asked for.
    ASSERT_EQ(setxattr("/volume2", "user.kest.vol.attr", "2", 2, 0), 0);
    Volumes hidden(KESTMountVolInfoEnum(0, 0));
    EXPECT_EQ(hidden.Numbers(), (std::vector<int>{1, 3}));
    Volumes shown(KESTMountVolInfoEnum(0, VOLINFO_WITH_HIDDEN));
    EXPECT_EQ(shown.Numbers(), (std::vector<int>{1, 2, 3}));
    removexattr("/volume2", "user.kest.vol.attr");

    // External volumes come only with their location bits.
    Write("/run/keststorage/volumetab", kTable + "/dev/sdq1 /volumeUSB1/usbshare normal none loc-usb cnr-other\n");
    Volumes internal(KESTMountVolAllEnum(0, 0, 0));
    EXPECT_EQ(internal.Numbers(), (std::vector<int>{1, 2, 3}));
    Volumes with_usb(KESTMountVolAllEnum(0, VOLTAB_LOC_INTERNAL | VOLTAB_LOC_EUNIT | VOLTAB_LOC_USB, 0));
    ASSERT_EQ(with_usb.Numbers().size(), 4u);
    const KESTVOLINFOLIST *usb = with_usb.head;
    while (usb->next) usb = usb->next;
    EXPECT_EQ(usb->cls, VOL_CLASS_USB);
    EXPECT_EQ(usb->mounted, 0);
    EXPECT_EQ(usb->fs_type, -1);
}

TEST(FsInfo, MountedFileSystems) {
    FS_INFO *info = nullptr;
    ASSERT_EQ(KESTFSInfoGet("/volume1", &info), 1);
    EXPECT_STREQ(info->device, "/dev/vg1/volume_1");
    EXPECT_EQ(info->access, 1);
    EXPECT_EQ(info->available, 64ull << 20);
    KESTFSInfoFree(info);
    EXPECT_EQ(KESTFSInfoGet("/volume1/not-a-mount", &info), 0);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(KESTFSInfoGet(nullptr, &info), -1);
    EXPECT_EQ(KESTFSGetFSAvailSize("/volume3"), 16ull << 20);
    EXPECT_EQ(KESTFSGetFSAvailSize("/no/such/path"), 0u);

    SzList *list = XLIBCSzListAlloc(0);
    KEST_FS_PATH_FILTER volumes{"/volume", 0};
    ASSERT_EQ(KESTFSPathEnum(&volumes, &list), 0);
    EXPECT_EQ(list->count, 3);
    XLIBCSzListRemoveAll(list);
    KEST_FS_PATH_FILTER read_only{"/", 0x2};
    ASSERT_EQ(KESTFSPathEnum(&read_only, &list), 0);
    for (int i = 0; i < list->count; ++i) EXPECT_STRNE(list->items[i], "/volume1");
    XLIBCSzListFree(list);
}

TEST(FsMkdirP, ModesOwnersAndObstacles) {
    TempDir dir;
    mode_t old = umask(022);
    const char *pos = nullptr;
    std::string deep = dir / "a/b/c";
    ASSERT_EQ(KESTFSMkdirP(deep.c_str(), &pos, 0, 1234, 5678, 0700), 0);
    EXPECT_EQ(pos, deep.c_str() + deep.size());
    struct stat st;
    ASSERT_EQ(stat(deep.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    ASSERT_EQ(stat(dir.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);  // only what the call made
    EXPECT_EQ(umask(022), 022u);

    Write(dir / "file", "x");
    std::string through = dir / "file/sub";
    EXPECT_EQ(KESTFSMkdirP(through.c_str(), &pos, 0, -1, -1, -1), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(XLIBCErrGet(), ERR_PATH_COMPONENT);
    EXPECT_STREQ(pos, "file/sub");
    std::string last = dir / "file";
    EXPECT_EQ(KESTFSMkdirP(last.c_str(), &pos, 0, -1, -1, -1), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(XLIBCErrGet(), ERR_NOT_DIRECTORY);
    EXPECT_EQ(KESTFSMkdirP(through.c_str(), nullptr, 1, -1, -1, -1), 0);
    EXPECT_TRUE(fs::is_directory(through));
    EXPECT_EQ(KESTFSMkdirP("", nullptr, 0, -1, -1, -1), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    umask(old);
}

TEST(VolumeAttribute, FromTheExtendedAttribute) {
    int32_t attribute = -5;
    ASSERT_EQ(KESTVolumeAttributeGet("/volume1/some/dir", &attribute), 0);
    EXPECT_EQ(attribute, 1);  // none set, mounted
    ASSERT_EQ(setxattr("/volume1", "user.kest.vol.attr", "6", 2, 0), 0);
    ASSERT_EQ(KESTVolumeAttributeGet("/volume1", &attribute), 0);
    EXPECT_EQ(attribute, 6);
    ASSERT_EQ(setxattr("/volume1", "user.kest.vol.attr", "zz", 3, 0), 0);
    EXPECT_EQ(KESTVolumeAttributeGet("/volume1", &attribute), -1);
    removexattr("/volume1", "user.kest.vol.attr");
    EXPECT_EQ(KESTVolumeAttributeGet("/tmp", &attribute), -1);
    EXPECT_EQ(KESTVolumeAttributeGet(nullptr, &attribute), -1);
}

TEST(VolumeGluster, StorageNodeAndBricks) {
    EXPECT_EQ(KESTVolumeIsUsedByGlusterfs("/volume1"), 0);  // not a storage node
    std::string conf = Read("/etc/kestinfo.conf");
    Write("/etc/kestinfo.conf", conf + "join_tarn_cms=\"yes\"\n");
    EXPECT_EQ(KESTVolumeIsUsedByGlusterfs("/volume1"), -1);  // the package is missing
    fs::create_directories("/var/packages/BrickPoolPkg/etc");
    Write("/var/packages/BrickPoolPkg/etc/kestgluster.conf", "gluster_id=\"g1\"\nrole=\"3\"\n");
    EXPECT_EQ(KESTVolumeIsUsedByGlusterfs("/volume1"), 0);  // no brick yet
    fs::create_directory("/volume1/@brick1");
    EXPECT_EQ(KESTVolumeIsUsedByGlusterfs("/volume1/x"), 1);
    Volumes without(KESTMountVolInfoEnum(0, 0));
    EXPECT_EQ(without.Get(1), nullptr);
    Volumes with(KESTMountVolInfoEnum(0, VOLINFO_WITH_GLUSTER));
    EXPECT_NE(with.Get(1), nullptr);
    Write("/var/packages/BrickPoolPkg/etc/kestgluster.conf", "gluster_id=\"g1\"\nrole=\"2\"\n");
    EXPECT_EQ(KESTVolumeIsUsedByGlusterfs("/volume1"), 0);  // role without bit 0x1
    fs::remove("/volume1/@brick1");
    Write("/etc/kestinfo.conf", conf);
}

}  // namespace
