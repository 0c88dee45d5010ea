#include "kest/scsiplugin/server.h"

#include "kest/scsiplugin/log.h"

namespace kest::scsiplugin {

PluginServer::PluginServer(std::shared_ptr<PluginServerCtrl> ctrl, ServerConfig config)
    : ctrl_(std::move(ctrl)), config_(std::move(config)) {}

PluginServer::~PluginServer() {
    Shutdown();
    if (server_) server_->Wait();
}

bool PluginServer::Start() {
    service_ = std::make_unique<PluginServiceImpl>(ctrl_);
    grpc::ServerBuilder builder;
    builder.AddListeningPort(config_.tcp_address, grpc::InsecureServerCredentials(), &tcp_port_);
    builder.AddListeningPort(config_.unix_address, grpc::InsecureServerCredentials());
    builder.RegisterService(service_.get());
    server_ = builder.BuildAndStart();
    if (!server_) {
        SCSI_LOG(LOG_ERR, "Failed to start server on %s and %s", config_.tcp_address.c_str(),
                 config_.unix_address.c_str());
        return false;
    }
    SCSI_LOG(LOG_INFO, "Server listening on %s", config_.tcp_address.c_str());
    SCSI_LOG(LOG_INFO, "Server listening on %s", config_.unix_address.c_str());
    return true;
}

void PluginServer::Wait() {
    if (server_) server_->Wait();
}

void PluginServer::Shutdown() {
    if (!server_) return;
    std::call_once(shutdown_once_, [this] {
        // Subscribe handlers wait on their records, not on the call: they
        // must be released before the server can finish its calls.
        ctrl_->disconnect_all();
        ctrl_->wait_subscriptions_ended(std::chrono::milliseconds(200));
        server_->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(50));
    });
}

}  // namespace kest::scsiplugin
