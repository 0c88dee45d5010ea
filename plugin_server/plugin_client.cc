#include "kest/scsiplugin/plugin_client.h"

#include <cstdio>

#include "kest/scsiplugin/log.h"

namespace kest::scsiplugin {

std::string ParsePeerAddress(const std::string &peer) {
    char address[64];
    int port = 0;
    // The width keeps the address inside its buffer.
    if (sscanf(peer.c_str(), "ipv4:%63[^:]:%d", address, &port) == 2) return address;
    return "Unknown";
}

plugin_client::plugin_client(grpc::ServerContext *context, const PluginClient *request,
                             grpc::ServerWriter<PluginCmd> *writer)
    : context_(context),
      writer_(writer),
      plugin_id_(request->plugin_id()),
      type_(request->type()),
      ip_(ParsePeerAddress(context->peer())) {}

bool plugin_client::connected() {
    std::lock_guard<std::mutex> guard(lock_);
    return connected_;
}

bool plugin_client::cancelled() {
    std::lock_guard<std::mutex> guard(lock_);
    return connected_ && context_->IsCancelled();
}

bool plugin_client::live() {
    std::lock_guard<std::mutex> guard(lock_);
    return connected_ && !context_->IsCancelled();
}

void plugin_client::push_cmd(const PluginCmd &cmd) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!connected_) return;
    if (ip_ == "Unknown") {
        SCSI_LOG(LOG_INFO, "Unknown ip address, plugin_id=%s", plugin_id_.c_str());
        return;
    }
    SCSI_LOG(LOG_INFO, "push command to plugin_id=%s ip=%s", plugin_id_.c_str(), ip_.c_str());
    writer_->Write(cmd);
}

void plugin_client::disconnect() {
    std::lock_guard<std::mutex> guard(lock_);
    connected_ = false;
    wakeup_.notify_all();
}

void plugin_client::wait_disconnect() {
    std::unique_lock<std::mutex> guard(lock_);
    wakeup_.wait(guard, [this] { return !connected_; });
}

}  // namespace kest::scsiplugin
