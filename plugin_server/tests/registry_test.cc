// The server in-process on a temporary unix socket and an ephemeral
// loopback port, driven by real gRPC clients. Runs inside a testbed so the
// log lines can be read.
#include <gtest/gtest.h>

#include <string>

#include "kest/scsiplugin/server.h"
#include "test_plugin.h"
#include "testbed_support.h"

using namespace kest::scsiplugin;
using kest::scsiplugin::test::Eventually;
using kest::scsiplugin::test::TestPlugin;
using kest::testbed::WaitForLog;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ctrl_ = std::make_shared<PluginServerCtrl>();
        server_ = std::make_unique<PluginServer>(ctrl_, ServerConfig{"127.0.0.1:0", "unix:/tmp/registry_test.sock"});
        ASSERT_TRUE(server_->Start());
        tcp_ = grpc::CreateChannel("127.0.0.1:" + std::to_string(server_->tcp_port()), grpc::InsecureChannelCredentials());
        unix_ = grpc::CreateChannel("unix:/tmp/registry_test.sock", grpc::InsecureChannelCredentials());
        stub_ = PluginService::NewStub(tcp_);
    }
    void TearDown() override {
        server_->Shutdown();
        server_->Wait();
    }

    PluginClientList List() {
        grpc::ClientContext ctx;
        google::protobuf::Empty empty;
        PluginClientList list;
        EXPECT_TRUE(stub_->PluginConnList(&ctx, empty, &list).ok());
        return list;
    }
    bool Listed(const std::string &id) {
        PluginClientList list = List();
        for (const auto &c : list.list())
            if (c.plugin_id() == id) return true;
        return false;
    }
    grpc::Status UnSubscribe(const std::string &id) {
        grpc::ClientContext ctx;
        PluginClient req;
        req.set_plugin_id(id);
        google::protobuf::Empty empty;
        return stub_->UnSubscribe(&ctx, req, &empty);
    }
    static PluginCmd Command(const std::string &task) {
        PluginCmd cmd;
        cmd.set_task_id(task);
        cmd.mutable_mirror_done_req()->set_src_lun_p80(task);
        return cmd;
    }

    std::shared_ptr<PluginServerCtrl> ctrl_;
    std::unique_ptr<PluginServer> server_;
    std::shared_ptr<grpc::Channel> tcp_, unix_;
    std::unique_ptr<PluginService::Stub> stub_;
};

TEST_F(RegistryTest, TcpSubscriberIsListedAndReceivesPushes) {
    TestPlugin plugin(tcp_, "tcp-1", PluginClient::WINDOWS);
    ASSERT_TRUE(Eventually([&] { return Listed("tcp-1"); }));
    PluginClientList list = List();
    ASSERT_EQ(list.list_size(), 1);
    EXPECT_EQ(list.list(0).ip(), "127.0.0.1");
    EXPECT_EQ(list.list(0).type(), PluginClient::WINDOWS);
    EXPECT_NE(WaitForLog("scsi_plugin:plugin_service.cc:"), "");
    EXPECT_NE(WaitForLog("Connected: Plugin ID=tcp-1 IP=127.0.0.1"), "");

    ctrl_->push_all(Command("task-a"));
    ASSERT_TRUE(plugin.WaitForCommands(1));
    EXPECT_EQ(plugin.commands()[0].task_id(), "task-a");
    EXPECT_TRUE(plugin.commands()[0].has_mirror_done_req());
    EXPECT_EQ(WaitForLog("push command to plugin_id=tcp-1 ip=127.0.0.1").substr(0, 7), "6 user.");
}

TEST_F(RegistryTest, UnixSocketSubscriberIsUnknownAndNeverWritten) {
    TestPlugin plugin(unix_, "local-1");
    ASSERT_TRUE(Eventually([&] { return Listed("local-1"); }));
    EXPECT_EQ(List().list(0).ip(), "Unknown");
    ctrl_->push_all(Command("t1"));
    ctrl_->push_all(Command("t2"));
    ASSERT_TRUE(UnSubscribe("local-1").ok());
    grpc::Status status;
    ASSERT_TRUE(plugin.WaitEnded(&status));
    EXPECT_TRUE(status.ok());
    EXPECT_TRUE(plugin.commands().empty());
    ASSERT_TRUE(Eventually([] {
        int n = 0;
        for (const auto &l : kest::testbed::LogLines()) n += l.find("Unknown ip address, plugin_id=local-1") != std::string::npos;
        return n == 2;
    }));
}

TEST_F(RegistryTest, SecondSubscribeWithTheSameIdReplacesTheFirst) {
    TestPlugin first(tcp_, "dup");
    ASSERT_TRUE(Eventually([&] { return ctrl_->client_count() == 1; }));
    TestPlugin second(tcp_, "dup");
    grpc::Status status;
    ASSERT_TRUE(first.WaitEnded(&status));
    EXPECT_TRUE(status.ok()) << status.error_message();
    EXPECT_NE(WaitForLog("Disconnect: Plugin ID=dup IP=127.0.0.1"), "");
    EXPECT_EQ(ctrl_->client_count(), 1u);
    ctrl_->push_all(Command("after"));
    ASSERT_TRUE(second.WaitForCommands(1));
    EXPECT_TRUE(first.commands().empty());
}

TEST_F(RegistryTest, UnSubscribeEndsTheStreamAndUnknownIdsChangeNothing) {
    TestPlugin plugin(tcp_, "leaving");
    TestPlugin stays(tcp_, "staying");
    ASSERT_TRUE(Eventually([&] { return ctrl_->client_count() == 2; }));
    EXPECT_TRUE(UnSubscribe("nobody").ok());
    EXPECT_EQ(ctrl_->client_count(), 2u);
    EXPECT_TRUE(UnSubscribe("leaving").ok());
    grpc::Status status;
    ASSERT_TRUE(plugin.WaitEnded(&status));
    EXPECT_TRUE(status.ok());
    EXPECT_EQ(ctrl_->client_count(), 1u);
    EXPECT_FALSE(Listed("leaving"));
    EXPECT_TRUE(Listed("staying"));
}

TEST_F(RegistryTest, VanishedSubscriberStaysUntilAPushFindsItCancelled) {
    TestPlugin gone(tcp_, "gone");
    ASSERT_TRUE(Eventually([&] { return Listed("gone"); }));
    gone.Vanish();
    grpc::Status status;
    ASSERT_TRUE(gone.WaitEnded(&status));
    ASSERT_TRUE(Eventually([&] { return !Listed("gone"); }));
    EXPECT_EQ(ctrl_->client_count(), 1u);
    EXPECT_TRUE(ctrl_->has_clients());
    ctrl_->push_all(Command("probe"));
    EXPECT_EQ(ctrl_->client_count(), 0u);
    EXPECT_NE(WaitForLog("Disconnect: Plugin ID=gone"), "");
}

TEST_F(RegistryTest, ShutdownReleasesWaitingSubscriptions) {
    TestPlugin a(tcp_, "a");
    TestPlugin b(unix_, "b");
    ASSERT_TRUE(Eventually([&] { return ctrl_->client_count() == 2; }));
    auto start = std::chrono::steady_clock::now();
    server_->Shutdown();
    server_->Wait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    grpc::Status status;
    EXPECT_TRUE(a.WaitEnded(&status));
    EXPECT_TRUE(b.WaitEnded(&status));
}

TEST(PeerAddress, ParsesOnlyIpv4Peers) {
    const struct {
        std::string peer, address;
    } cases[] = {
        {"ipv4:127.0.0.1:40000", "127.0.0.1"},
        {"ipv4:10.1.2.3:3265", "10.1.2.3"},
        {"unix:/tmp/iscsi/plugin_server.sock", "Unknown"},
        {"ipv6:[::1]:5000", "Unknown"},
        {"ipv4:1.2.3.4", "Unknown"},
        {"ipv4::5", "Unknown"},
        {"", "Unknown"},
        // Longer than the 64-byte buffer: refused, not written past it.
        {"ipv4:" + std::string(200, '9') + ":1", "Unknown"},
        {"ipv4:" + std::string(63, '7') + ":1", std::string(63, '7')},
    };
    for (const auto &c : cases) EXPECT_EQ(ParsePeerAddress(c.peer), c.address) << c.peer.substr(0, 40);
}

}  // namespace
