// One subscribed plugin: the open Subscribe call it is reached through.
//
// The call's context and writer belong to the Subscribe handler and are
// valid only until it returns; it returns only after disconnect(). Every use
// of them happens under the record's lock while it is still connected, so
// other threads (pushes, listing) may hold the record longer than the call.
#pragma once

#include <grpcpp/grpcpp.h>
#include <grpcpp/support/sync_stream.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "plugin_cmd.pb.h"

namespace kest::scsiplugin {

// The IPv4 address of a peer string "ipv4:ADDR:PORT", or "Unknown" for
// anything else (unix sockets, IPv6, malformed). Never reads or writes past
// its 64-byte buffer, whatever the peer string.
std::string ParsePeerAddress(const std::string &peer);

class plugin_client {
public:
    plugin_client(grpc::ServerContext *context, const PluginClient *request,
                  grpc::ServerWriter<PluginCmd> *writer);

    const std::string &plugin_id() const { return plugin_id_; }
    PluginClient::Type type() const { return type_; }

    // The peer's address, read once: a call's peer does not change.
    const std::string &ip() const { return ip_; }
    bool connected();
    // True while connected and the call has been cancelled (client gone).
    bool cancelled();
    // Connected and not cancelled.
    bool live();

    // Writes the command to the stream when the peer has an IPv4 address
    // and the record is still connected; logs either way.
    void push_cmd(const PluginCmd &cmd);
    void disconnect();
    void wait_disconnect();

private:
    grpc::ServerContext *context_;
    grpc::ServerWriter<PluginCmd> *writer_;
    const std::string plugin_id_;
    const PluginClient::Type type_;
    const std::string ip_;
    std::mutex lock_;
    std::condition_variable wakeup_;
    bool connected_ = true;
};

}  // namespace kest::scsiplugin
