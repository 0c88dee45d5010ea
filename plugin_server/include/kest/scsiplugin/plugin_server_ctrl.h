// The controller of the plugin server: the registry of subscribed plugins.
//
// Lock order: the registry lock before a plugin record's lock. Listing and
// broadcasting hold the registry lock for the whole walk. Nothing is
// persisted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kest/scsiplugin/plugin_client.h"
#include "plugin_cmd.pb.h"

namespace kest::scsiplugin {

class PluginServerCtrl {
public:
    // Replaces (and then disconnects) a record already under the same id.
    // While the server shuts down, the record is disconnected at once.
    void register_client(const std::shared_ptr<plugin_client> &client);
    std::shared_ptr<plugin_client> find_client(const std::string &plugin_id);
    void remove_client(const std::string &plugin_id);
    // Removes the entry only while it is still `expected`, so a
    // subscription that replaced it meanwhile stays registered.
    void remove_client(const std::string &plugin_id, const std::shared_ptr<plugin_client> &expected);
    // Connected plugins whose call is live.
    PluginClientList list_clients();
    // Pushes to every connected plugin; drops those whose call is cancelled.
    void push_all(const PluginCmd &cmd);
    bool has_clients();
    size_t client_count();

    // Shutdown: release every waiting subscription and refuse new ones.
    void disconnect_all();

    // Subscribe handlers still running, so shutdown can let them answer
    // OK before the server cancels what is left.
    void subscription_started();
    void subscription_ended();
    bool wait_subscriptions_ended(std::chrono::milliseconds timeout);

private:
    std::mutex registry_lock_;
    std::unordered_map<std::string, std::shared_ptr<plugin_client>> registry_;
    bool closing_ = false;

    std::mutex active_lock_;
    std::condition_variable active_changed_;
    int active_subscriptions_ = 0;
};

}  // namespace kest::scsiplugin
