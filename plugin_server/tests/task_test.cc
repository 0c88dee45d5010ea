// LUN tasks through the real service, with real clients, in a testbed (for
// the log and the iSCSI stand-in's LUN file). The waits are shortened.
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <string>

#include "kest/scsiplugin/lun_conf.h"
#include "kest/scsiplugin/naa.h"
#include "kest/scsiplugin/server.h"
#include "test_plugin.h"
#include "testbed_support.h"

using namespace kest::scsiplugin;
using namespace std::chrono_literals;
using kest::scsiplugin::test::Eventually;
using kest::scsiplugin::test::TestPlugin;
using kest::testbed::WaitForLog;

using kest::testbed::CountLog;

namespace {

const std::string kFileLun = "0123abcd-4567-89ab-cdef-0123456789ab";
const std::string kBlockLun = "89abcdef-0123-4567-89ab-cdef01234567";
const std::string kPartialLun = "11111111-2222-3333-4444-555555555555";
// Shares its first 25 characters, so its NAA identifier, with kFileLun.
const std::string kTwinLun = "0123abcd-4567-89ab-cdef-0fffffffffff";
const std::string kUnknownLun = "ffffffff-0000-0000-0000-000000000000";

void WriteLuns() {
    kest::testbed::WriteFile("/run/kest-platform/iscsi_luns",
                             "# guid type-mask name\n" + kFileLun + " 0x000F vm-store\n" + kBlockLun +
                                 " 0x0103 block-lun\n" + kPartialLun + " 0x0003 partial\n" + kTwinLun +
                                 " 0x0103 twin\n");
}


class TaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteLuns();
        TaskTimings timings;
        timings.task_age_limit = 1500ms;
        timings.start_mirror_wait = 500ms;
        timings.depart_wait = 500ms;
        ctrl_ = std::make_shared<PluginServerCtrl>(timings);
        server_ = std::make_unique<PluginServer>(ctrl_, ServerConfig{"127.0.0.1:0", "unix:/tmp/task_test.sock"});
        ASSERT_TRUE(server_->Start());
        tcp_ = grpc::CreateChannel("127.0.0.1:" + std::to_string(server_->tcp_port()), grpc::InsecureChannelCredentials());
        tool_ = PluginService::NewStub(grpc::CreateChannel("unix:/tmp/task_test.sock", grpc::InsecureChannelCredentials()));
        plugin_stub_ = PluginService::NewStub(tcp_);
    }
    void TearDown() override {
        server_->Shutdown();
        server_->Wait();
    }

    std::unique_ptr<TestPlugin> Plugin(const std::string &id) {
        auto p = std::make_unique<TestPlugin>(tcp_, id);
        EXPECT_TRUE(Eventually([&] { return ctrl_->find_client(id) != nullptr; }));
        return p;
    }

    PluginCmdResp Publish(const PluginCmd &cmd, grpc::StatusCode *code = nullptr) {
        grpc::ClientContext ctx;
        PluginCmdResp resp;
        grpc::Status st = tool_->Publish(&ctx, cmd, &resp);
        if (code) *code = st.error_code();
        EXPECT_TRUE(code || st.ok()) << st.error_message();
        return resp;
    }
    std::future<PluginCmdResp> PublishAsync(const PluginCmd &cmd) {
        return std::async(std::launch::async, [this, cmd] { return Publish(cmd); });
    }
    LunCmdResp LunOp(const LunCmd &cmd, grpc::StatusCode *code = nullptr) {
        grpc::ClientContext ctx;
        LunCmdResp resp;
        grpc::Status st = plugin_stub_->LunOp(&ctx, cmd, &resp);
        if (code) *code = st.error_code();
        EXPECT_TRUE(code || st.ok()) << st.error_message();
        return resp;
    }

    static PluginCmd InitSnapshot(const std::string &p80) {
        PluginCmd cmd;
        cmd.set_cmd_sn(7);
        cmd.set_tarn_sn("SN-1");
        auto *req = cmd.mutable_init_snapshot_req();
        req->set_src_lun_uuid("src-uuid");
        req->set_src_lun_p80(p80);
        req->set_src_lun_p83(NaaFromGuid(p80));
        req->set_dst_lun_uuid("dst-uuid");
        return cmd;
    }
    static PluginCmd MirrorDone(const std::string &task) {
        PluginCmd cmd;
        cmd.set_task_id(task);
        cmd.mutable_mirror_done_req()->set_src_lun_p80(task);
        return cmd;
    }
    static PluginCmd WaitForDepart(const std::string &task) {
        PluginCmd cmd;
        cmd.set_task_id(task);
        cmd.mutable_wait_for_depart_req()->set_src_lun_uuid("src-uuid");
        return cmd;
    }
    static PluginCmd DepartDone(const std::string &task) {
        PluginCmd cmd;
        cmd.set_task_id(task);
        cmd.mutable_depart_done_req()->set_src_lun_p80(task);
        return cmd;
    }
    static LunCmd StartMirror(const std::string &plugin, const std::string &id, const std::string &task_id = "") {
        LunCmd cmd;
        cmd.set_plugin_id(plugin);
        cmd.mutable_start_mirror_req()->set_src_lun_id(id);
        cmd.mutable_start_mirror_req()->set_task_id(task_id.empty() ? id : task_id);
        cmd.mutable_start_mirror_req()->set_type(LUN_TYPE_80);
        return cmd;
    }
    static LunCmd IsMirrorDone(const std::string &id, LunType type = LUN_TYPE_80) {
        LunCmd cmd;
        cmd.mutable_is_mirror_done_req()->set_src_lun_id(id);
        cmd.mutable_is_mirror_done_req()->set_type(type);
        return cmd;
    }
    static LunCmd DepartRelation(const std::string &id) {
        LunCmd cmd;
        cmd.mutable_depart_relation_req()->set_src_lun_id(id);
        return cmd;
    }
    // Starts an init snapshot and answers it with start-mirror as `plugin`.
    void StartTask(const std::string &p80, const std::string &plugin = "p1") {
        auto pending = PublishAsync(InitSnapshot(p80));
        ASSERT_TRUE(Eventually([&] {
            auto task = ctrl_->find_task(p80);
            return task && task->get_state() == TASK_CREATED;
        }));
        ASSERT_TRUE(LunOp(StartMirror(plugin, p80)).success());
        PluginCmdResp resp = pending.get();
        ASSERT_TRUE(resp.success());
        ASSERT_EQ(resp.init_snapshot_resp().task_id(), p80);
    }

    std::shared_ptr<PluginServerCtrl> ctrl_;
    std::unique_ptr<PluginServer> server_;
    std::shared_ptr<grpc::Channel> tcp_;
    std::unique_ptr<PluginService::Stub> tool_, plugin_stub_;
};

TEST_F(TaskTest, WholeOperationReachesTheMirroringPluginOnly) {
    auto mirroring = Plugin("p1");
    auto other = Plugin("p2");
    auto pending = PublishAsync(InitSnapshot(kFileLun));
    ASSERT_TRUE(mirroring->WaitForCommands(1));
    ASSERT_TRUE(other->WaitForCommands(1));
    PluginCmd pushed = mirroring->commands()[0];
    EXPECT_EQ(pushed.task_id(), kFileLun);
    EXPECT_EQ(pushed.cmd_sn(), 7u);
    EXPECT_EQ(pushed.tarn_sn(), "SN-1");
    EXPECT_EQ(pushed.init_snapshot_req().dst_lun_uuid(), "dst-uuid");

    ASSERT_TRUE(LunOp(StartMirror("p1", kFileLun)).success());
    PluginCmdResp init = pending.get();
    EXPECT_TRUE(init.success());
    EXPECT_EQ(init.init_snapshot_resp().task_id(), kFileLun);
    EXPECT_NE(WaitForLog("Init snapshots success(start mirror) [" + kFileLun + "]"), "");

    EXPECT_FALSE(LunOp(IsMirrorDone(kFileLun)).success());
    EXPECT_NE(WaitForLog("mirroring ... [" + kFileLun + "]"), "");
    EXPECT_TRUE(Publish(MirrorDone(kFileLun)).success());
    EXPECT_TRUE(LunOp(IsMirrorDone(kFileLun)).success());
    EXPECT_NE(WaitForLog("Check mirror done pass [" + kFileLun + "]"), "");

    auto wait = PublishAsync(WaitForDepart(kFileLun));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(LunOp(DepartRelation(kFileLun)).success());
    EXPECT_TRUE(wait.get().success());

    EXPECT_TRUE(Publish(DepartDone(kFileLun)).success());
    ASSERT_TRUE(mirroring->WaitForCommands(2));
    EXPECT_TRUE(mirroring->commands()[1].has_depart_done_req());
    EXPECT_EQ(ctrl_->task_count(), 0u);
    EXPECT_EQ(other->commands().size(), 1u);

    // The task is gone: depart-done still succeeds, mirror-done fails.
    EXPECT_TRUE(Publish(DepartDone(kFileLun)).success());
    EXPECT_FALSE(Publish(MirrorDone(kFileLun)).success());
    EXPECT_TRUE(Eventually([&] { return CountLog("Task not exists: [" + kFileLun + "]") == 2; }));
}

TEST_F(TaskTest, InitSnapshotWithoutPluginsFailsAtOnce) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Publish(InitSnapshot(kFileLun)).success());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
    EXPECT_EQ(ctrl_->task_count(), 0u);
    EXPECT_EQ(WaitForLog("Plugin list is empty, skip notify plugin").substr(0, 7), "6 user.");
}

TEST_F(TaskTest, UnansweredInitSnapshotTimesOutAndFreesTheId) {
    auto plugin = Plugin("silent");
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Publish(InitSnapshot(kBlockLun)).success());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(ctrl_->task_count(), 0u);
    EXPECT_NE(WaitForLog("Init snapshots failed [" + kBlockLun + "]").rfind("3 user.err", 0), std::string::npos);
    // The same id is accepted again at once (and again nobody answers).
    EXPECT_FALSE(Publish(InitSnapshot(kBlockLun)).success());
    EXPECT_EQ(CountLog("Init snasphot failed due to task is in progress"), 0);
}

TEST_F(TaskTest, SecondInitSnapshotWaitsForTheAgeLimit) {
    auto plugin = Plugin("p1");
    StartTask(kFileLun);
    EXPECT_FALSE(Publish(InitSnapshot(kFileLun)).success());
    EXPECT_NE(WaitForLog("Init snasphot failed due to task is in progress: [" + kFileLun + "]"), "");
    std::this_thread::sleep_for(1600ms);
    StartTask(kFileLun);
    EXPECT_NE(WaitForLog("Task [" + kFileLun + "] has been expired! try to remove it and create a new one"), "");
}

TEST_F(TaskTest, MirrorDoneOnACreatedTaskFailsAndChangesNothing) {
    auto plugin = Plugin("p1");
    auto pending = PublishAsync(InitSnapshot(kFileLun));
    ASSERT_TRUE(Eventually([&] { return ctrl_->find_task(kFileLun) != nullptr; }));
    EXPECT_FALSE(Publish(MirrorDone(kFileLun)).success());
    EXPECT_NE(WaitForLog("Mirror done failed [" + kFileLun + "]"), "");
    EXPECT_EQ(ctrl_->find_task(kFileLun)->get_state(), TASK_CREATED);
    ASSERT_TRUE(LunOp(StartMirror("p1", kFileLun)).success());
    EXPECT_TRUE(pending.get().success());
}

TEST_F(TaskTest, IsMirrorDoneDependsOnTheLun) {
    auto plugin = Plugin("p1");
    // A block or replication LUN is done at once.
    StartTask(kBlockLun);
    EXPECT_TRUE(LunOp(IsMirrorDone(kBlockLun)).success());
    EXPECT_EQ(ctrl_->find_task(kBlockLun)->get_state(), TASK_MIRROR_DONE);
    EXPECT_NE(WaitForLog("Check mirror done skip (BLUN / Replication) [" + kBlockLun + "]"), "");
    // A LUN the iSCSI configuration does not know fails even when done.
    StartTask(kUnknownLun);
    EXPECT_TRUE(Publish(MirrorDone(kUnknownLun)).success());
    EXPECT_FALSE(LunOp(IsMirrorDone(kUnknownLun)).success());
    EXPECT_NE(WaitForLog("Failed to get lun config [" + kUnknownLun + "]"), "");
    // The NAA form finds the LUN too.
    StartTask(kFileLun);
    EXPECT_TRUE(Publish(MirrorDone(kFileLun)).success());
    EXPECT_FALSE(LunOp(IsMirrorDone(kFileLun, LUN_TYPE_83)).success());  // the NAA id is not the task key
    EXPECT_TRUE(LunOp(IsMirrorDone(kFileLun, LUN_TYPE_80)).success());
}

TEST_F(TaskTest, LunOpsFindTasksBySourceLunIdOnly) {
    auto plugin = Plugin("p1");
    auto pending = PublishAsync(InitSnapshot(kFileLun));
    ASSERT_TRUE(Eventually([&] { return ctrl_->find_task(kFileLun) != nullptr; }));
    // The right task_id but another src_lun_id: no such task.
    EXPECT_FALSE(LunOp(StartMirror("p1", kBlockLun, kFileLun)).success());
    EXPECT_NE(WaitForLog("Task not exists: [" + kBlockLun + "]"), "");
    EXPECT_FALSE(LunOp(DepartRelation("other")).success());
    EXPECT_FALSE(pending.get().success());
}

TEST_F(TaskTest, UnhandledCommandsAreCancelled) {
    std::vector<LunCmd> lun_cmds(6);
    lun_cmds[0].mutable_delete_lun_req();
    lun_cmds[1].mutable_restore_lun_req();
    lun_cmds[2].mutable_create_mapped_target_req();
    lun_cmds[3].mutable_start_tp_task_req();
    lun_cmds[4].mutable_init_snapshot_ready_req();
    // lun_cmds[5] has no body at all
    for (const auto &cmd : lun_cmds) {
        grpc::StatusCode code;
        LunOp(cmd, &code);
        EXPECT_EQ(code, grpc::StatusCode::CANCELLED) << cmd.cmd_body_case();
    }
    grpc::StatusCode code;
    Publish(PluginCmd(), &code);
    EXPECT_EQ(code, grpc::StatusCode::CANCELLED);
}

TEST_F(TaskTest, LunSupportCheck) {
    const struct {
        LunType type;
        std::string id;
        bool supported;
    } cases[] = {
        {LUN_TYPE_80, kFileLun, true},        // full mask
        {LUN_TYPE_80, kBlockLun, true},       // block / replication
        {LUN_TYPE_80, kPartialLun, false},    // neither
        {LUN_TYPE_83, NaaFromGuid(kBlockLun), true},
        {LUN_TYPE_80, kUnknownLun, false},
        {LUN_TYPE_NONE, kFileLun, false},
    };
    for (const auto &c : cases) {
        LunCmd cmd;
        cmd.mutable_is_lun_support_req()->set_type(c.type);
        cmd.mutable_is_lun_support_req()->set_src_lun_id(c.id);
        LunCmdResp resp = LunOp(cmd);
        EXPECT_EQ(resp.success(), c.supported) << c.id;
        EXPECT_FALSE(resp.has_is_lun_support_resp());  // the answer travels in success
    }
    EXPECT_NE(WaitForLog("Check lun support failed [" + kPartialLun + "]").rfind("6 user.info", 0), std::string::npos);
}

TEST(LunConf, LookupByGuidAndNaa) {
    WriteLuns();
    ISCSI_LUN lun{};
    ASSERT_TRUE(GetLunConfByGUID(&lun, kBlockLun));
    EXPECT_EQ(lun.type, 0x103u);
    // Case is not folded, either way.
    std::string upper = kFileLun;
    for (char &c : upper) c = static_cast<char>(toupper(c));
    EXPECT_FALSE(GetLunConfByGUID(&lun, upper));
    EXPECT_FALSE(GetLunConfByNAA(&lun, NaaFromGuid(upper)));
    // Twins share an NAA identifier: the first in list order wins.
    ASSERT_EQ(NaaFromGuid(kTwinLun), NaaFromGuid(kFileLun));
    ASSERT_TRUE(GetLunConfByNAA(&lun, NaaFromGuid(kTwinLun)));
    EXPECT_STREQ(lun.guid, kFileLun.c_str());
    EXPECT_FALSE(GetLunConfByType(LUN_TYPE_NONE, kFileLun, &lun));
    EXPECT_FALSE(GetLunConfByGUID(nullptr, kFileLun));

    // A failed load is not found, logged once per lookup.
    unlink("/run/kest-platform/iscsi_luns");
    int before = CountLog("Failed to get config");
    EXPECT_FALSE(GetLunConfByGUID(&lun, kFileLun));
    EXPECT_FALSE(IsLunSupport(LUN_TYPE_80, kFileLun));
    EXPECT_TRUE(Eventually([&] { return CountLog("Failed to get config") == before + 2; }));
    WriteLuns();
}

}  // namespace
