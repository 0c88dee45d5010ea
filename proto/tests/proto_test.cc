#include <gtest/gtest.h>

#include "kest/scsiplugin/naa.h"
#include "lun_cmd.pb.h"
#include "plugin_cmd.pb.h"
#include "plugin_service.grpc.pb.h"

using namespace kest::scsiplugin;

TEST(Naa, FromGuid) {
    EXPECT_EQ(NaaFromGuid("0123abcd-4567-89ab-cdef-0123456789ab"), "60014050123abcdd4567d89abdcdefd0");
    EXPECT_EQ(NaaFromGuid("0123abcd-4567-89ab-cdef-0123456789ab").size(), 32u);
    EXPECT_EQ(NaaFromGuid("ab-cd"), "6001405abdcd");
    EXPECT_EQ(NaaFromGuid(""), "6001405");
}

// The wire numbers are the contract with plugins built elsewhere.
TEST(Protocol, FieldNumbersAndOneofs) {
    EXPECT_EQ(PluginClient::kPluginIdFieldNumber, 1);
    EXPECT_EQ(PluginClient::kTypeFieldNumber, 3);
    EXPECT_EQ(PluginClient::WINDOWS, 2);
    EXPECT_EQ(PluginCmd::kDepartDoneReqFieldNumber, 7);
    EXPECT_EQ(PluginCmdResp::kInitSnapshotRespFieldNumber, 3);
    EXPECT_EQ(LunCmd::kPluginIdFieldNumber, 2);
    EXPECT_EQ(LunCmd::kStartMirrorReqFieldNumber, 10);
    EXPECT_EQ(LunCmd::kInitSnapshotReadyReqFieldNumber, 11);
    EXPECT_EQ(LunCmdResp::kErrorFieldNumber, 5);
    EXPECT_EQ(LunCmdResp::kDepartRelationRespFieldNumber, 8);
    EXPECT_EQ(TGT_DELETE_FAIL, 302);
    EXPECT_EQ(LUN_TYPE_83, 2);

    PluginCmd cmd;
    cmd.mutable_mirror_done_req()->set_src_lun_p80("x");
    cmd.mutable_init_snapshot_req();
    EXPECT_EQ(cmd.cmd_body_case(), PluginCmd::kInitSnapshotReq);  // one body at a time
    EXPECT_FALSE(cmd.has_mirror_done_req());

    // A LunCmd carrying only field 10 decodes as a start-mirror request.
    LunCmd parsed;
    ASSERT_TRUE(parsed.ParseFromString(std::string("\x52\x03\x0a\x01t", 5)));
    EXPECT_EQ(parsed.cmd_body_case(), LunCmd::kStartMirrorReq);
    EXPECT_EQ(parsed.start_mirror_req().task_id(), "t");
}

TEST(Protocol, MethodPaths) {
    const auto *service = google::protobuf::DescriptorPool::generated_pool()->FindServiceByName("kest.scsiplugin.PluginService");
    ASSERT_NE(service, nullptr);
    ASSERT_EQ(service->method_count(), 5);
    const char *names[] = {"Subscribe", "UnSubscribe", "LunOp", "Publish", "PluginConnList"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(service->method(i)->name(), names[i]);
    EXPECT_EQ(service->full_name(), "kest.scsiplugin.PluginService");
    EXPECT_TRUE(service->method(0)->server_streaming());
}
