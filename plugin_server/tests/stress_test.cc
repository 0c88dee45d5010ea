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

// Many LUN operations at once: each waiting Publish is released by the
// LunOp meant for it, and no wait outlives its operation.
TEST(TaskStress, ConcurrentOperationsOnDifferentLuns) {
    constexpr int kLuns = 40;
    auto ctrl = std::make_shared<PluginServerCtrl>();
    std::string sock = "unix:/tmp/task_stress." + std::to_string(getpid()) + ".sock";
    PluginServer server(ctrl, ServerConfig{"127.0.0.1:0", sock});
    ASSERT_TRUE(server.Start());
    auto tcp = grpc::CreateChannel("127.0.0.1:" + std::to_string(server.tcp_port()), grpc::InsecureChannelCredentials());
    auto local = grpc::CreateChannel(sock, grpc::InsecureChannelCredentials());
    TestPlugin observer(tcp, "observer");
    ASSERT_TRUE(Eventually([&] { return ctrl->has_clients(); }));

    auto publish = [&](const PluginCmd &cmd) {
        grpc::ClientContext ctx;
        PluginCmdResp resp;
        auto stub = PluginService::NewStub(local);
        bool ok = stub->Publish(&ctx, cmd, &resp).ok() && resp.success();
        return std::make_pair(ok, resp.init_snapshot_resp().task_id());
    };
    auto lun_op = [&](const LunCmd &cmd) {
        grpc::ClientContext ctx;
        LunCmdResp resp;
        auto stub = PluginService::NewStub(tcp);
        return stub->LunOp(&ctx, cmd, &resp).ok() && resp.success();
    };
    auto state = [&](const std::string &key) {
        auto task = ctrl->find_task(key);
        return task ? task->get_state() : -1;
    };

    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kLuns; ++i) {
        std::string key = "lun-" + std::to_string(i);
        threads.emplace_back([&, key] {  // the tool's side
            PluginCmd init;
            init.mutable_init_snapshot_req()->set_src_lun_p80(key);
            auto [ok, task_id] = publish(init);
            EXPECT_TRUE(ok) << key;
            EXPECT_EQ(task_id, key);
            PluginCmd done;
            done.set_task_id(key);
            done.mutable_mirror_done_req();
            EXPECT_TRUE(publish(done).first) << key;
            PluginCmd wait;
            wait.set_task_id(key);
            wait.mutable_wait_for_depart_req();
            EXPECT_TRUE(publish(wait).first) << key;
            PluginCmd depart;
            depart.set_task_id(key);
            depart.mutable_depart_done_req();
            EXPECT_TRUE(publish(depart).first) << key;
            ++finished;
        });
        threads.emplace_back([&, key] {  // the plugin's side
            LunCmd start;
            start.set_plugin_id("observer");
            start.mutable_start_mirror_req()->set_src_lun_id(key);
            while (!lun_op(start)) std::this_thread::yield();
            LunCmd poll;
            poll.mutable_is_mirror_done_req()->set_src_lun_id(key);
            poll.mutable_is_mirror_done_req()->set_type(LUN_TYPE_80);
            while (state(key) != TASK_MIRROR_DONE) lun_op(poll);  // no LUN file here: never passes
            LunCmd depart;
            depart.mutable_depart_relation_req()->set_src_lun_id(key);
            EXPECT_TRUE(lun_op(depart)) << key;
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(finished.load(), kLuns);
    EXPECT_EQ(ctrl->task_count(), 0u);
    // Every depart-done went to the owner, the plugin that mirrored.
    EXPECT_TRUE(observer.WaitForCommands(2 * kLuns));
    server.Shutdown();
    server.Wait();
}

}  // namespace
