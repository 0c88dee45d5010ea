// The real lunhub binary inside a testbed: its fixed addresses, its log
// lines, its open-file limit and a clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_plugin.h"
#include "testbed_support.h"

using namespace kest::scsiplugin;
using kest::scsiplugin::test::Eventually;
using kest::scsiplugin::test::TestPlugin;
using kest::testbed::LogLines;
using kest::testbed::WaitForLog;

using kest::testbed::CountLog;

namespace {


pid_t Start(std::vector<std::string> prefix = {}) {
    prefix.push_back(LUNHUB_BIN);
    return kest::testbed::Spawn(prefix);
}

using kest::testbed::WaitExit;

bool Listening(int count) {
    return Eventually([&] { return CountLog("Server listening on unix:///tmp/iscsi/plugin_server.sock") >= count; });
}

std::shared_ptr<grpc::Channel> Tcp() { return grpc::CreateChannel("127.0.0.1:3265", grpc::InsecureChannelCredentials()); }
std::shared_ptr<grpc::Channel> Local() {
    return grpc::CreateChannel("unix:///tmp/iscsi/plugin_server.sock", grpc::InsecureChannelCredentials());
}

// The tests share one testbed and run in order: lunhub exits between them.
TEST(Lunhub, WithoutItsSocketFolderItExitsWithAReason) {
    rmdir("/tmp/iscsi");
    pid_t pid = Start();
    EXPECT_NE(WaitExit(pid, std::chrono::seconds(10)), 0);
    EXPECT_NE(WaitForLog("Failed to start server on 0.0.0.0:3265 and unix:///tmp/iscsi/plugin_server.sock"), "");
}

TEST(Lunhub, ServesBothAddressesAndStopsOnSigterm) {
    mkdir("/tmp/iscsi", 0755);
    pid_t pid = Start();
    ASSERT_TRUE(Listening(1));
    std::string tcp_line = WaitForLog("Server listening on 0.0.0.0:3265");
    EXPECT_EQ(tcp_line.rfind("6 user.info ", 0), 0u) << tcp_line;
    EXPECT_NE(tcp_line.find("scsi_plugin:server.cc:"), std::string::npos) << tcp_line;

    TestPlugin plugin(Tcp(), "vm-host-1");
    auto local = PluginService::NewStub(Local());
    ASSERT_TRUE(Eventually([&] {
        grpc::ClientContext ctx;
        PluginClientList list;
        return local->PluginConnList(&ctx, google::protobuf::Empty(), &list).ok() && list.list_size() == 1 &&
               list.list(0).ip() == "127.0.0.1";
    }));
    // The command methods answer on both listeners (a body-less command is
    // refused with CANCELLED).
    for (auto channel : {Tcp(), Local()}) {
        auto stub = PluginService::NewStub(channel);
        grpc::ClientContext c1, c2;
        LunCmdResp lun_resp;
        PluginCmdResp pub_resp;
        EXPECT_EQ(stub->LunOp(&c1, LunCmd(), &lun_resp).error_code(), grpc::StatusCode::CANCELLED);
        EXPECT_EQ(stub->Publish(&c2, PluginCmd(), &pub_resp).error_code(), grpc::StatusCode::CANCELLED);
    }
    {
        TestPlugin leaving(Local(), "local-tool");
        ASSERT_TRUE(Eventually([&] { return CountLog("Connected: Plugin ID=local-tool IP=Unknown") == 1; }));
        grpc::ClientContext ctx;
        PluginClient req;
        req.set_plugin_id("local-tool");
        google::protobuf::Empty empty;
        EXPECT_TRUE(local->UnSubscribe(&ctx, req, &empty).ok());
        grpc::Status status;
        EXPECT_TRUE(leaving.WaitEnded(&status) && status.ok());
    }

    // An idle subscriber does not hold the stop up.
    auto start = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, std::chrono::seconds(5)), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(1));
    printf("SIGTERM to exit with one idle subscriber: %lld ms\n",
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_NE(WaitForLog("Server shutdown"), "");
    grpc::Status status;
    ASSERT_TRUE(plugin.WaitEnded(&status));
    EXPECT_TRUE(status.ok()) << status.error_message();
}

TEST(Lunhub, StartsWhenTheOpenFileLimitCannotBeRaised) {
    mkdir("/tmp/iscsi", 0755);
    // Without CAP_SYS_RESOURCE a hard limit of 512 cannot go up to 1024.
    pid_t pid = Start({"/usr/bin/setpriv", "--bounding-set=-sys_resource", "--inh-caps=-sys_resource",
                       "/usr/bin/prlimit", "--nofile=512:512"});
    ASSERT_TRUE(Listening(2));
    std::string line = WaitForLog("Failed to set RLIMIT_NOFILE");
    EXPECT_EQ(line.rfind("3 user.err ", 0), 0u) << line;
    EXPECT_NE(line.find("scsi_plugin:main.cc:"), std::string::npos) << line;
    auto local = PluginService::NewStub(Local());
    grpc::ClientContext ctx;
    PluginClientList list;
    EXPECT_TRUE(local->PluginConnList(&ctx, google::protobuf::Empty(), &list).ok());
    kill(pid, SIGINT);
    EXPECT_EQ(WaitExit(pid, std::chrono::seconds(5)), 0);
}

}  // namespace
