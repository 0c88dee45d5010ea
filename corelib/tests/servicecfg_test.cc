// The service configuration registry in a testbed: its three layer folders
// are the appliance's fixed paths.
#include "kest/servicecfg.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kest/error.h"
#include "test_util.h"

namespace fs = std::filesystem;
using kest::test::Read;
using kest::test::Write;

namespace {

const std::string kDir0 = "/usr/kest/etc/kestservice.d";
const std::string kDir1 = "/usr/kest/etc/kestservice.override";
const std::string kDir2 = "/run/kestservice/service";

const char *kValid = R"({"service_name": "smb", "auto_start": "YES", "init_job_map": {"upstart": ["smbd"]},
  "required_resource": {"volume": ["/volume1"]}, "is_package": "yes"})";

std::vector<std::string> Items(const SzList *l) { return std::vector<std::string>(l->items, l->items + l->count); }

class ServiceCfgTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto &d : {kDir0, kDir1, kDir2}) {
            fs::remove_all(d);
            fs::create_directories(d);
        }
        Write(kDir0 + "/smb.cfg", kValid);
    }
    std::vector<std::string> Info(const char *service, int info) {
        SzList *l = XLIBCSzListAlloc(0);
        EXPECT_EQ(XLIBCServiceCfgInfoGet(service, info, &l), 0);
        auto v = Items(l);
        XLIBCSzListFree(l);
        return v;
    }
};

TEST_F(ServiceCfgTest, ValidationTable) {
    const struct {
        const char *name, *json;
        int result;
    } cases[] = {
        {"valid", kValid, 0},
        {"no auto_start", R"({"init_job_map": {"upstart": ["a"]}})", -1},
        {"no init_job_map", R"({"auto_start": "yes"})", -1},
        {"init_job_map not an object", R"({"auto_start": "yes", "init_job_map": []})", -1},
        {"no upstart", R"({"auto_start": "yes", "init_job_map": {}})", -1},
        {"empty optional array", R"({"auto_start": "yes", "init_job_map": {"upstart": ["a"]}, "required_kestservice": []})", -1},
        {"wrong type", R"({"auto_start": 1, "init_job_map": {"upstart": ["a"]}})", -1},
        {"required_resource not an object",
         R"({"auto_start": "yes", "init_job_map": {"upstart": ["a"]}, "required_resource": "x"})", -1},
        {"not json", "{ nope", -1},
        {"an array", "[1]", -1},
    };
    for (const auto &c : cases) {
        Write(kDir0 + "/t.cfg", c.json);
        XLIBCErrSetEx(0, nullptr, 0);
        EXPECT_EQ(XLIBCServiceCfgValidate((kDir0 + "/t.cfg").c_str()), c.result) << c.name;
        if (c.result) {
            EXPECT_EQ(XLIBCErrGet(), ERR_SERVICE_CONFIG) << c.name;
        }
    }
    EXPECT_EQ(XLIBCServiceCfgValidate("/nowhere.cfg"), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_NOT_EXIST);
}

TEST_F(ServiceCfgTest, LayersMergeAndRunKeys) {
    int key = 0;
    ASSERT_EQ(XLIBCServiceCfgRunKeyGet("smb", &key), 0);
    EXPECT_EQ(key, SVC_RUN_START);
    Write(kDir2 + "/smb.cfg", R"({"pause": "yes"})");
    ASSERT_EQ(XLIBCServiceCfgRunKeyGet("smb", &key), 0);
    EXPECT_EQ(key, SVC_RUN_PAUSED);
    EXPECT_EQ(XLIBCServiceIsEnabled("smb"), 1);
    Write(kDir1 + "/smb.cfg", R"({"auto_start": "no"})");
    ASSERT_EQ(XLIBCServiceCfgRunKeyGet("smb", &key), 0);
    EXPECT_EQ(key, SVC_RUN_NO_START);
    EXPECT_EQ(XLIBCServiceIsEnabled("smb"), 0);
    Write(kDir1 + "/smb.cfg", R"({"auto_start": "maybe"})");
    EXPECT_EQ(XLIBCServiceCfgRunKeyGet("smb", &key), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_SERVICE_CONFIG);

    // The merge is shallow: a member object is replaced whole.
    Write(kDir1 + "/smb.cfg", R"({"required_resource": {"share": ["homes"]}})");
    EXPECT_TRUE(Info("smb", SVC_INFO_VOLUME).empty());
    EXPECT_EQ(Info("smb", SVC_INFO_SHARE), (std::vector<std::string>{"homes"}));
    // A layer that is not an object is deleted and reads as no overrides.
    Write(kDir1 + "/smb.cfg", "[1, 2]");
    EXPECT_EQ(Info("smb", SVC_INFO_VOLUME), (std::vector<std::string>{"/volume1"}));
    EXPECT_FALSE(fs::exists(kDir1 + "/smb.cfg"));
}

TEST_F(ServiceCfgTest, StringsAndPackages) {
    char buf[8];
    EXPECT_EQ(XLIBCServiceCfgStringValueGet("smb", "service_name", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "smb");
    EXPECT_EQ(XLIBCServiceCfgStringValueGet("smb", "absent", buf, sizeof buf), 0);
    EXPECT_EQ(XLIBCServiceCfgStringValueGet("smb", "init_job_map", buf, sizeof buf), -1);
    EXPECT_EQ(XLIBCServiceCfgStringValueGet("smb", "service_name", buf, 3), 1);
    EXPECT_STREQ(buf, "sm");
    EXPECT_EQ(XLIBCServiceIsPackage("smb"), 1);
    Write(kDir2 + "/smb.cfg", R"({"is_package": "YES"})");
    EXPECT_EQ(XLIBCServiceIsPackage("smb"), 0);  // case matters here
    EXPECT_EQ(XLIBCServiceCfgStringValueGet("nosuch", "x", buf, sizeof buf), -1);
    EXPECT_EQ(XLIBCServiceCfgStringValueGet("../../etc/passwd", "x", buf, sizeof buf), -1);
}

TEST_F(ServiceCfgTest, InfoSetWritesItsLayer) {
    SzList *names = XLIBCSzListAlloc(0);
    XLIBCSzListPush(&names, "one");
    XLIBCSzListPush(&names, "two");
    ASSERT_EQ(XLIBCServiceCfgInfoSet("smb", SVC_INFO_CUSTOM, names), 0);
    json_object *layer2 = json_object_from_file((kDir2 + "/smb.cfg").c_str());
    ASSERT_NE(layer2, nullptr);
    json_object *custom = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(layer2, "custom", &custom));
    EXPECT_EQ(json_object_array_length(custom), 2u);
    json_object_put(layer2);
    EXPECT_EQ(Info("smb", SVC_INFO_CUSTOM), (std::vector<std::string>{"one", "two"}));
    struct stat st;
    ASSERT_EQ(stat((kDir2 + "/smb.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    ASSERT_EQ(XLIBCServiceCfgInfoSet("smb", SVC_INFO_SYSV, names), 0);  // inside init_job_map, layer 1
    EXPECT_EQ(Info("smb", SVC_INFO_SYSV), (std::vector<std::string>{"one", "two"}));
    EXPECT_NE(Read(kDir1 + "/smb.cfg").find("\"sysv\""), std::string::npos);

    XLIBCSzListRemoveAll(names);
    ASSERT_EQ(XLIBCServiceCfgInfoSet("smb", SVC_INFO_CUSTOM, names), 0);
    EXPECT_TRUE(Info("smb", SVC_INFO_CUSTOM).empty());
    EXPECT_EQ(Read(kDir2 + "/smb.cfg").find("custom"), std::string::npos);
    ASSERT_EQ(XLIBCServiceCfgInfoSet("smb", SVC_INFO_REQUEST_SERVICE, nullptr), 0);
    EXPECT_EQ(XLIBCServiceCfgInfoSet("smb", 0x3, names), -1);  // not one id
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    XLIBCSzListFree(names);
    // No temporary file is left beside the layers.
    for (const auto &d : {kDir1, kDir2})
        for (auto &e : fs::directory_iterator(d)) EXPECT_EQ(e.path().extension(), ".cfg") << e.path();
}

TEST_F(ServiceCfgTest, EnumerationMovesInvalidFilesAside) {
    Write(kDir0 + "/broken.cfg", R"({"init_job_map": {"upstart": ["x"]}})");
    Write(kDir0 + "/ftp.cfg", R"({"auto_start": "no", "init_job_map": {"upstart": ["ftpd"]}})");
    Write(kDir0 + "/notes.txt", "not a service");
    SzList *names = XLIBCSzListAlloc(0);
    ASSERT_EQ(XLIBCServiceEnum(&names), 0);
    std::vector<std::string> got = Items(names);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"ftp", "smb"}));
    EXPECT_FALSE(fs::exists(kDir0 + "/broken.cfg"));
    EXPECT_TRUE(fs::exists(kDir0 + "/error/broken.cfg"));
    EXPECT_TRUE(fs::exists(kDir0 + "/notes.txt"));
    XLIBCSzListFree(names);

    // A merged view without required_resource: nothing to append, no error.
    EXPECT_TRUE(Info("ftp", SVC_INFO_VOLUME).empty());
    json_object *obj = json_tokener_parse(R"({"a": ["x", 1, "y", "x"]})");
    SzList *l = XLIBCSzListAlloc(0);
    XLIBCSzListPush(&l, "y");
    EXPECT_EQ(XLIBCServiceCfgListGetFromArray(obj, "a", &l), 2);
    EXPECT_EQ(Items(l), (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(XLIBCServiceCfgListGetFromArray(obj, "missing", &l), 0);
    EXPECT_EQ(XLIBCServiceCfgListGetFromArray(nullptr, "a", &l), -1);
    XLIBCSzListFree(l);
    json_object_put(obj);
}

}  // namespace
