// lunhub: the SCSI plugin server. No command line, no configuration: it
// serves PluginService on its two fixed addresses until SIGTERM or SIGINT.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <memory>
#include <thread>

#include "kest/scsiplugin/log.h"
#include "kest/scsiplugin/server.h"

using kest::scsiplugin::PluginServer;
using kest::scsiplugin::PluginServerCtrl;

namespace {

// Created before main runs; every handler reaches it through the service.
std::shared_ptr<PluginServerCtrl> g_ctrl = std::make_shared<PluginServerCtrl>();
std::unique_ptr<PluginServer> g_server;

bool run_grpc_server() {
    rlimit limit{1024, 1024};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) SCSI_LOG(LOG_ERR, "Failed to set RLIMIT_NOFILE");

    // Termination is taken by one thread with sigwait; every other thread,
    // the server's included, starts with the signals blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    g_server = std::make_unique<PluginServer>(g_ctrl, kest::scsiplugin::ServerConfig{});
    if (!g_server->Start()) return false;
    std::thread([stop] {
        int sig = 0;
        sigwait(&stop, &sig);
        g_server->Shutdown();
    }).detach();
    g_server->Wait();
    SCSI_LOG(LOG_INFO, "Server shutdown");
    return true;
}

}  // namespace

int main() { return run_grpc_server() ? 0 : 1; }
