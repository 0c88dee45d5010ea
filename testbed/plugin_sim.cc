// kest-plugin-sim: a host-side plugin for the testbed. It subscribes over
// TCP like a plugin on a virtualisation host and follows the protocol: an
// init snapshot is answered with start-mirror, then is-mirror-done is
// polled until it passes, then depart-relation is sent. Every command it
// receives is printed, one line each.
#include <getopt.h>
#include <grpcpp/grpcpp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plugin_service.grpc.pb.h"

using namespace kest::scsiplugin;

namespace {

struct Options {
    std::string server = "127.0.0.1:3265";
    std::string id;
    PluginClient::Type type = PluginClient::VMWARE;
    bool silent = false;
    int delay_ms = 0;
    int poll_ms = 200;
    int vanish_after = 0;
};

std::atomic<bool> g_stop{false};
// Tasks whose depart-done arrived: their polling stops.
std::mutex g_done_lock;
std::set<std::string> g_done;

bool TaskDone(const std::string &task) {
    std::lock_guard<std::mutex> g(g_done_lock);
    return g_done.count(task) > 0;
}
grpc::ClientContext *g_subscription = nullptr;

// One line of the simulator's transcript: the words joined by blanks.
void Say(std::initializer_list<std::string> words) {
    std::string line;
    for (const auto &w : words) line += (line.empty() ? "" : " ") + w;
    printf("%s\n", line.c_str());
    fflush(stdout);
}

bool LunOp(PluginService::Stub &stub, const LunCmd &cmd) {
    grpc::ClientContext ctx;
    LunCmdResp resp;
    return stub.LunOp(&ctx, cmd, &resp).ok() && resp.success();
}

void Sleep(int ms) {
    for (int waited = 0; waited < ms && !g_stop; waited += 10) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The plugin's side of one operation.
void FollowTask(const Options &opt, std::shared_ptr<grpc::Channel> channel, std::string task) {
    auto stub = PluginService::NewStub(channel);
    Sleep(opt.delay_ms);
    LunCmd start;
    start.set_plugin_id(opt.id);
    start.mutable_start_mirror_req()->set_task_id(task);
    start.mutable_start_mirror_req()->set_type(LUN_TYPE_80);
    start.mutable_start_mirror_req()->set_src_lun_id(task);
    Say({"start_mirror", task + ":", LunOp(*stub, start) ? "ok" : "failed"});
    LunCmd poll;
    poll.set_plugin_id(opt.id);
    poll.mutable_is_mirror_done_req()->set_task_id(task);
    poll.mutable_is_mirror_done_req()->set_type(LUN_TYPE_80);
    poll.mutable_is_mirror_done_req()->set_src_lun_id(task);
    while (!g_stop && !TaskDone(task) && !LunOp(*stub, poll)) Sleep(opt.poll_ms);
    if (g_stop || TaskDone(task)) return;
    Say({"is_mirror_done", task + ":", "ok"});
    Sleep(opt.delay_ms);
    LunCmd depart;
    depart.set_plugin_id(opt.id);
    depart.mutable_depart_relation_req()->set_task_id(task);
    depart.mutable_depart_relation_req()->set_type(LUN_TYPE_80);
    depart.mutable_depart_relation_req()->set_src_lun_id(task);
    Say({"depart_relation", task + ":", LunOp(*stub, depart) ? "ok" : "failed"});
}

const char *Kind(const PluginCmd &cmd) {
    switch (cmd.cmd_body_case()) {
        case PluginCmd::kInitSnapshotReq: return "init_snapshot";
        case PluginCmd::kMirrorDoneReq: return "mirror_done";
        case PluginCmd::kWaitForDepartReq: return "wait_for_depart";
        case PluginCmd::kDepartDoneReq: return "depart_done";
        default: return "empty";
    }
}

void Usage() {
    printf("usage: kest-plugin-sim [--server HOST:PORT] [--id ID] [--type vmware|windows|unknown]\n"
           "                       [--silent] [--delay MS] [--poll MS] [--vanish-after N]\n"
           "  --silent        print commands but never answer them\n"
           "  --delay         wait MS before each answer\n"
           "  --vanish-after  drop the connection without unsubscribing after N commands\n");
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    opt.id = "sim-" + std::to_string(getpid());
    static const option kOptions[] = {
        {"server", required_argument, nullptr, 's'}, {"id", required_argument, nullptr, 'i'},
        {"type", required_argument, nullptr, 't'},   {"silent", no_argument, nullptr, 'q'},
        {"delay", required_argument, nullptr, 'd'},  {"poll", required_argument, nullptr, 'p'},
        {"vanish-after", required_argument, nullptr, 'v'}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
        switch (c) {
            case 's': opt.server = optarg; break;
            case 'i': opt.id = optarg; break;
            case 't':
                if (std::string(optarg) == "vmware") opt.type = PluginClient::VMWARE;
                else if (std::string(optarg) == "windows") opt.type = PluginClient::WINDOWS;
                else if (std::string(optarg) == "unknown") opt.type = PluginClient::UNKNOWN;
                else { fprintf(stderr, "kest-plugin-sim: unknown type '%s'\n", optarg); return 2; }
                break;
            case 'q': opt.silent = true; break;
            case 'd': opt.delay_ms = atoi(optarg); break;
            case 'p': opt.poll_ms = atoi(optarg); break;
            case 'v': opt.vanish_after = atoi(optarg); break;
            case 'h': Usage(); return 0;
            default: Usage(); return 2;
        }
    }

    auto channel = grpc::CreateChannel(opt.server, grpc::InsecureChannelCredentials());
    auto stub = PluginService::NewStub(channel);
    grpc::ClientContext context;
    g_subscription = &context;
    // SIGTERM and SIGINT: leave politely.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::thread([stop, &opt, channel] {
        int sig;
        sigwait(&stop, &sig);
        g_stop = true;
        auto s = PluginService::NewStub(channel);
        grpc::ClientContext ctx;
        PluginClient me;
        me.set_plugin_id(opt.id);
        google::protobuf::Empty empty;
        s->UnSubscribe(&ctx, me, &empty);
        g_subscription->TryCancel();
    }).detach();

    PluginClient me;
    me.set_plugin_id(opt.id);
    me.set_type(opt.type);
    auto reader = stub->Subscribe(&context, me);
    Say({"subscribed", opt.id, "to", opt.server});
    std::vector<std::thread> tasks;
    PluginCmd cmd;
    int received = 0;
    while (reader->Read(&cmd)) {
        Say({"received", Kind(cmd), "task=" + cmd.task_id()});
        if (opt.vanish_after > 0 && ++received >= opt.vanish_after) {
            Say({"vanishing", opt.id});
            _exit(0);
        }
        if (cmd.has_depart_done_req()) {
            std::lock_guard<std::mutex> g(g_done_lock);
            g_done.insert(cmd.task_id());
        }
        if (!opt.silent && cmd.has_init_snapshot_req()) tasks.emplace_back(FollowTask, opt, channel, cmd.task_id());
    }
    grpc::Status status = reader->Finish();
    g_stop = true;
    for (auto &t : tasks) t.join();
    Say({"stream ended:", status.ok() ? "OK" : status.error_message()});
    return 0;
}
