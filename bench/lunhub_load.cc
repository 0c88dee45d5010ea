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
    BareService bare;
    grpc::ServerBuilder builder;
    int bare_port = 0;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &bare_port);
    builder.RegisterService(&bare);
    auto bare_server = builder.BuildAndStart();
    auto bare_channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(bare_port), grpc::InsecureChannelCredentials());
    double bare_rate = CallsPerSecond(bare_channel, std::chrono::milliseconds(1000));
    double bare_us = UnaryMicros(bare_channel);
    bare_server->Shutdown();

    printf("N=%-4d push to all: %8.2f ms (%6.1f x one empty unary call of %.0f us)   "
           "PluginConnList: %7.0f calls/s (%.2f x bare %7.0f calls/s)\n",
           plugins, push_ms, push_ms * 1000 / bare_us, bare_us, list_rate, list_rate / bare_rate, bare_rate);

    for (auto &ctx : contexts) ctx->TryCancel();
    for (auto &t : readers) t.join();
    server.Shutdown();
    server.Wait();
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<int> sizes = {10, 100, 500};
    if (argc > 1) {
        sizes.clear();
        for (int i = 1; i < argc; ++i) sizes.push_back(atoi(argv[i]));
    }
    for (int n : sizes) RunOne(n);
    return 0;
}
