// Load driver for the plugin server: N plugins subscribed over TCP
// loopback; how long one broadcast takes to reach all of them, and how many
// PluginConnList calls a second the server answers. Each figure stands
// beside a bare gRPC server of the same build answering an empty unary call.
#include <grpcpp/grpcpp.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kest/scsiplugin/server.h"
#include "plugin_service.grpc.pb.h"

using namespace kest::scsiplugin;
using Clock = std::chrono::steady_clock;

namespace {

// The baseline: the same service answering an empty list, no registry.
class BareService final : public PluginService::Service {
    grpc::Status PluginConnList(grpc::ServerContext *, const google::protobuf::Empty *, PluginClientList *) override {
        return grpc::Status::OK;
    }
};

double CallsPerSecond(const std::shared_ptr<grpc::Channel> &channel, std::chrono::milliseconds duration) {
    auto stub = PluginService::NewStub(channel);
    int calls = 0;
    auto end = Clock::now() + duration;
    auto start = Clock::now();
    while (Clock::now() < end) {
        grpc::ClientContext ctx;
        PluginClientList list;
        if (!stub->PluginConnList(&ctx, google::protobuf::Empty(), &list).ok()) abort();
        ++calls;
    }
    return calls / std::chrono::duration<double>(Clock::now() - start).count();
}

double UnaryMicros(const std::shared_ptr<grpc::Channel> &channel) {
    auto stub = PluginService::NewStub(channel);
    const int n = 200;
    auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        grpc::ClientContext ctx;
        PluginClientList list;
        stub->PluginConnList(&ctx, google::protobuf::Empty(), &list);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / n;
}

// The baseline server of the same build, on an ephemeral loopback port.
class BareServer {
public:
    BareServer() {
        grpc::ServerBuilder builder;
        builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
        builder.RegisterService(&service_);
        server_ = builder.BuildAndStart();
        if (!server_) abort();
        channel_ = grpc::CreateChannel("127.0.0.1:" + std::to_string(port_), grpc::InsecureChannelCredentials());
    }
    ~BareServer() { server_->Shutdown(); }
    const std::shared_ptr<grpc::Channel> &channel() const { return channel_; }

private:
    BareService service_;
    int port_ = 0;
    std::unique_ptr<grpc::Server> server_;
    std::shared_ptr<grpc::Channel> channel_;
};

struct Arrivals {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
};

void RunOne(int plugins) {
    auto ctrl = std::make_shared<PluginServerCtrl>();
    std::string sock = "unix:/tmp/lunhub_load." + std::to_string(getpid()) + ".sock";
    PluginServer server(ctrl, ServerConfig{"127.0.0.1:0", sock});
    if (!server.Start()) abort();
    auto channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(server.tcp_port()), grpc::InsecureChannelCredentials());

    Arrivals arrivals;
    std::vector<std::unique_ptr<grpc::ClientContext>> contexts;
    std::vector<std::thread> readers;
    auto stub = PluginService::NewStub(channel);
    for (int i = 0; i < plugins; ++i) {
        contexts.push_back(std::make_unique<grpc::ClientContext>());
        grpc::ClientContext *ctx = contexts.back().get();
        readers.emplace_back([&, ctx, i] {
            PluginClient req;
            req.set_plugin_id("load-" + std::to_string(i));
            auto reader = stub->Subscribe(ctx, req);
            PluginCmd cmd;
            while (reader->Read(&cmd)) {
                std::lock_guard<std::mutex> g(arrivals.lock);
                ++arrivals.count;
                arrivals.changed.notify_all();
            }
            reader->Finish();
        });
    }
    while (ctrl->list_clients().list_size() < plugins) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const int rounds = 5;
    double total_ms = 0;
    PluginCmd cmd;
    cmd.mutable_mirror_done_req()->set_src_lun_p80("load");
    for (int r = 1; r <= rounds; ++r) {
        auto start = Clock::now();
        ctrl->push_all(cmd);
        std::unique_lock<std::mutex> g(arrivals.lock);
        arrivals.changed.wait(g, [&] { return arrivals.count >= r * plugins; });
        total_ms += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    double push_ms = total_ms / rounds;
    double list_rate = CallsPerSecond(channel, std::chrono::milliseconds(1000));

    // The baseline, measured in the same run.
    double bare_rate, bare_us;
    {
        BareServer bare;
        bare_rate = CallsPerSecond(bare.channel(), std::chrono::milliseconds(1000));
        bare_us = UnaryMicros(bare.channel());
    }

    printf("N=%-4d push to all: %8.2f ms (%6.1f x one empty unary call of %.0f us)   "
           "PluginConnList: %7.0f calls/s (%.2f x bare %7.0f calls/s)\n",
           plugins, push_ms, push_ms * 1000 / bare_us, bare_us, list_rate, list_rate / bare_rate, bare_rate);

    for (auto &ctx : contexts) ctx->TryCancel();
    for (auto &t : readers) t.join();
    server.Shutdown();
    server.Wait();
}

// Full operations (init snapshot to depart done), `luns` at once, with 10
// plugins subscribed; a LUN's plugin answers as soon as it can.
void RunOperations(int luns) {
    auto ctrl = std::make_shared<PluginServerCtrl>();
    std::string sock = "unix:/tmp/lunhub_ops." + std::to_string(getpid()) + ".sock";
    PluginServer server(ctrl, ServerConfig{"127.0.0.1:0", sock});
    if (!server.Start()) abort();
    auto tcp = grpc::CreateChannel("127.0.0.1:" + std::to_string(server.tcp_port()), grpc::InsecureChannelCredentials());
    auto local = grpc::CreateChannel(sock, grpc::InsecureChannelCredentials());
    std::vector<std::unique_ptr<grpc::ClientContext>> contexts;
    std::vector<std::thread> readers;
    auto sub_stub = PluginService::NewStub(tcp);
    for (int i = 0; i < 10; ++i) {
        contexts.push_back(std::make_unique<grpc::ClientContext>());
        readers.emplace_back([&, ctx = contexts.back().get(), i] {
            PluginClient req;
            req.set_plugin_id("plugin-" + std::to_string(i));
            auto reader = sub_stub->Subscribe(ctx, req);
            PluginCmd cmd;
            while (reader->Read(&cmd)) {
            }
            reader->Finish();
        });
    }
    while (ctrl->list_clients().list_size() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    std::mutex stats_lock;
    double init_us = 0, lunop_us = 0;
    long lunops = 0;
    auto tool = PluginService::NewStub(local);
    auto plugin = PluginService::NewStub(tcp);
    auto publish = [&](const PluginCmd &cmd) {
        grpc::ClientContext ctx;
        PluginCmdResp resp;
        return tool->Publish(&ctx, cmd, &resp).ok() && resp.success();
    };
    auto lun_op = [&](const LunCmd &cmd) {
        auto start = Clock::now();
        grpc::ClientContext ctx;
        LunCmdResp resp;
        bool ok = plugin->LunOp(&ctx, cmd, &resp).ok() && resp.success();
        double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        std::lock_guard<std::mutex> g(stats_lock);
        lunop_us += us;
        ++lunops;
        return ok;
    };
    auto state = [&](const std::string &key) {
        auto task = ctrl->find_task(key);
        return task ? task->get_state() : -1;
    };
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < luns; ++i) {
        std::string key = "lun-" + std::to_string(i);
        threads.emplace_back([&, key] {
            PluginCmd cmd;
            cmd.mutable_init_snapshot_req()->set_src_lun_p80(key);
            auto t0 = Clock::now();
            if (!publish(cmd)) abort();
            double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            {
                std::lock_guard<std::mutex> g(stats_lock);
                init_us += us;
            }
            cmd.Clear();
            cmd.set_task_id(key);
            cmd.mutable_mirror_done_req();
            if (!publish(cmd)) abort();
            cmd.Clear();
            cmd.set_task_id(key);
            cmd.mutable_wait_for_depart_req();
            if (!publish(cmd)) abort();
            cmd.Clear();
            cmd.set_task_id(key);
            cmd.mutable_depart_done_req();
            if (!publish(cmd)) abort();
        });
        threads.emplace_back([&, key] {
            LunCmd cmd;
            cmd.set_plugin_id("plugin-0");
            cmd.mutable_start_mirror_req()->set_src_lun_id(key);
            while (!lun_op(cmd)) std::this_thread::sleep_for(std::chrono::microseconds(200));
            while (state(key) != TASK_MIRROR_DONE) std::this_thread::sleep_for(std::chrono::microseconds(200));
            cmd.Clear();
            cmd.mutable_depart_relation_req()->set_src_lun_id(key);
            if (!lun_op(cmd)) abort();
        });
    }
    for (auto &t : threads) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    double bare_us = UnaryMicros(BareServer().channel());

    double init_avg = init_us / luns, lunop_avg = lunop_us / static_cast<double>(lunops);
    printf("LUNs=%-4d %7.1f operations/s   init snapshot %8.0f us (%5.1f x bare %.0f us)   "
           "LunOp %6.0f us (%4.1f x bare)\n",
           luns, luns / seconds, init_avg, init_avg / bare_us, bare_us, lunop_avg, lunop_avg / bare_us);
    for (auto &ctx : contexts) ctx->TryCancel();
    for (auto &t : readers) t.join();
    server.Shutdown();
    server.Wait();
}

}  // namespace

// lunhub_load                 the broadcast and listing figures for 10, 100, 500 plugins
// lunhub_load N...            the same for N plugins
// lunhub_load --ops [L...]    full operations for 1, 10, 100 LUNs at once (or L)
int main(int argc, char **argv) {
    bool ops = argc > 1 && std::string(argv[1]) == "--ops";
    std::vector<int> sizes = ops ? std::vector<int>{1, 10, 100} : std::vector<int>{10, 100, 500};
    if (argc > (ops ? 2 : 1)) {
        sizes.clear();
        for (int i = ops ? 2 : 1; i < argc; ++i) sizes.push_back(atoi(argv[i]));
    }
    for (int n : sizes) ops ? RunOperations(n) : RunOne(n);
    return 0;
}
