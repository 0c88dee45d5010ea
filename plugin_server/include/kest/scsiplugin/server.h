// The plugin server as a library: lunhub's main runs it on the fixed
// addresses; tests run it in-process on addresses of their own.
#pragma once

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "kest/scsiplugin/plugin_server_ctrl.h"
#include "kest/scsiplugin/plugin_service.h"

namespace kest::scsiplugin {

constexpr const char *kTcpAddress = "0.0.0.0:3265";
constexpr const char *kUnixAddress = "unix:///tmp/iscsi/plugin_server.sock";

struct ServerConfig {
    std::string tcp_address = kTcpAddress;
    std::string unix_address = kUnixAddress;
};

class PluginServer {
public:
    PluginServer(std::shared_ptr<PluginServerCtrl> ctrl, ServerConfig config);
    ~PluginServer();

    // Binds both addresses and starts serving; logs the two "Server
    // listening on" lines. False, with the reason logged, when either
    // address cannot be bound.
    bool Start();
    // The TCP port actually bound (useful with port 0).
    int tcp_port() const { return tcp_port_; }
    // Blocks until Shutdown() has finished.
    void Wait();
    // Releases every waiting subscription, then stops the server. Safe to
    // call from any thread, more than once.
    void Shutdown();

private:
    std::shared_ptr<PluginServerCtrl> ctrl_;
    ServerConfig config_;
    std::unique_ptr<PluginServiceImpl> service_;
    std::unique_ptr<grpc::Server> server_;
    std::once_flag shutdown_once_;
    int tcp_port_ = 0;
};

}  // namespace kest::scsiplugin
