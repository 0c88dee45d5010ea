// Many plugins connecting, listing, being replaced and unsubscribing from
// several threads while broadcasts run. Built also under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kest/scsiplugin/server.h"
#include "test_plugin.h"

using namespace kest::scsiplugin;
using kest::scsiplugin::test::Eventually;
using kest::scsiplugin::test::TestPlugin;

namespace {

constexpr int kPlugins = 200;
constexpr int kWorkers = 4;

TEST(RegistryStress, ConcurrentSubscribersAndPushes) {
    auto ctrl = std::make_shared<PluginServerCtrl>();
    std::string sock = "unix:/tmp/stress_test." + std::to_string(getpid()) + ".sock";
    PluginServer server(ctrl, ServerConfig{"127.0.0.1:0", sock});
    ASSERT_TRUE(server.Start());
    auto tcp = grpc::CreateChannel("127.0.0.1:" + std::to_string(server.tcp_port()), grpc::InsecureChannelCredentials());
    auto local = grpc::CreateChannel(sock, grpc::InsecureChannelCredentials());

    std::atomic<bool> done{false};
    std::atomic<int> pushes{0}, lists{0};
    std::thread pusher([&] {
        PluginCmd cmd;
        cmd.mutable_mirror_done_req()->set_src_lun_p80("stress");
        while (!done) {
            ctrl->push_all(cmd);
            ++pushes;
        }
    });
    std::thread lister([&] {
        auto stub = PluginService::NewStub(local);
        while (!done) {
            grpc::ClientContext ctx;
            PluginClientList list;
            EXPECT_TRUE(stub->PluginConnList(&ctx, google::protobuf::Empty(), &list).ok());
            EXPECT_LE(list.list_size(), kPlugins);
            ++lists;
        }
    });

    std::vector<std::thread> workers;
    std::atomic<int> ended_ok{0};
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            auto stub = PluginService::NewStub(tcp);
            std::vector<std::unique_ptr<TestPlugin>> mine;
            for (int i = w; i < kPlugins; i += kWorkers)
                mine.push_back(std::make_unique<TestPlugin>(i % 5 ? tcp : local, "plugin-" + std::to_string(i)));
            // Every third plugin is replaced by a new subscription of its id.
            std::vector<std::unique_ptr<TestPlugin>> replacements;
            for (size_t k = 0; k < mine.size(); k += 3)
                replacements.push_back(std::make_unique<TestPlugin>(tcp, mine[k]->id()));
            for (auto *group : {&mine, &replacements}) {
                for (auto &p : *group) {
                    grpc::ClientContext ctx;
                    PluginClient req;
                    req.set_plugin_id(p->id());
                    google::protobuf::Empty empty;
                    EXPECT_TRUE(stub->UnSubscribe(&ctx, req, &empty).ok());
                }
            }
            for (auto *group : {&mine, &replacements}) {
                for (auto &p : *group) {
                    grpc::Status status;
                    // A subscription may still be on its way in when its
                    // id is unsubscribed; unsubscribe again until it ends.
                    while (!p->WaitEnded(&status, std::chrono::milliseconds(200))) {
                        grpc::ClientContext ctx;
                        PluginClient req;
                        req.set_plugin_id(p->id());
                        google::protobuf::Empty empty;
                        stub->UnSubscribe(&ctx, req, &empty);
                    }
                    if (status.ok()) ++ended_ok;
                }
            }
        });
    }
    for (auto &t : workers) t.join();
    done = true;
    pusher.join();
    lister.join();
    EXPECT_EQ(ended_ok.load(), kPlugins + (kPlugins / kWorkers + 2) / 3 * kWorkers);
    EXPECT_TRUE(Eventually([&] { return ctrl->client_count() == 0; }));
    EXPECT_GT(pushes.load(), 0);
    EXPECT_GT(lists.load(), 0);
    server.Shutdown();
    server.Wait();
}

}  // namespace
