#include "kest/scsiplugin/plugin_server_ctrl.h"

namespace kest::scsiplugin {

void PluginServerCtrl::register_client(const std::shared_ptr<plugin_client> &client) {
    std::lock_guard<std::mutex> guard(registry_lock_);
    if (closing_) {
        client->disconnect();
        return;
    }
    auto it = registry_.find(client->plugin_id());
    if (it == registry_.end()) {
        registry_.emplace(client->plugin_id(), client);
        return;
    }
    std::shared_ptr<plugin_client> old = it->second;
    it->second = client;
    old->disconnect();
}

std::shared_ptr<plugin_client> PluginServerCtrl::find_client(const std::string &plugin_id) {
    std::lock_guard<std::mutex> guard(registry_lock_);
    auto it = registry_.find(plugin_id);
    return it == registry_.end() ? nullptr : it->second;
}

void PluginServerCtrl::remove_client(const std::string &plugin_id) {
    std::lock_guard<std::mutex> guard(registry_lock_);
    registry_.erase(plugin_id);
}

void PluginServerCtrl::remove_client(const std::string &plugin_id, const std::shared_ptr<plugin_client> &expected) {
    std::lock_guard<std::mutex> guard(registry_lock_);
    auto it = registry_.find(plugin_id);
    if (it != registry_.end() && it->second == expected) registry_.erase(it);
}

PluginClientList PluginServerCtrl::list_clients() {
    std::lock_guard<std::mutex> guard(registry_lock_);
    PluginClientList list;
    for (const auto &[id, client] : registry_) {
        if (!client->live()) continue;
        PluginClient *entry = list.add_list();
        entry->set_plugin_id(id);
        entry->set_type(client->type());
        entry->set_ip(client->ip());
    }
    return list;
}

void PluginServerCtrl::push_all(const PluginCmd &cmd) {
    std::lock_guard<std::mutex> guard(registry_lock_);
    for (auto it = registry_.begin(); it != registry_.end();) {
        const std::shared_ptr<plugin_client> &client = it->second;
        if (!client->connected()) {
            ++it;
            continue;
        }
        if (client->cancelled()) {
            client->disconnect();
            it = registry_.erase(it);
            continue;
        }
        client->push_cmd(cmd);
        ++it;
    }
}

bool PluginServerCtrl::has_clients() {
    std::lock_guard<std::mutex> guard(registry_lock_);
    return !registry_.empty();
}

size_t PluginServerCtrl::client_count() {
    std::lock_guard<std::mutex> guard(registry_lock_);
    return registry_.size();
}

void PluginServerCtrl::disconnect_all() {
    {
        std::lock_guard<std::mutex> guard(registry_lock_);
        closing_ = true;
        for (auto &[id, client] : registry_) client->disconnect();
        registry_.clear();
    }
    // Never with the registry lock held.
    std::lock_guard<std::mutex> table(task_table_lock_);
    tasks_closing_ = true;
    for (auto &[id, task] : tasks_) {
        std::lock_guard<std::mutex> guard(task->lock);
        task->wakeup.notify_all();
    }
}

void PluginServerCtrl::subscription_started() {
    std::lock_guard<std::mutex> guard(active_lock_);
    ++active_subscriptions_;
}

void PluginServerCtrl::subscription_ended() {
    std::lock_guard<std::mutex> guard(active_lock_);
    --active_subscriptions_;
    active_changed_.notify_all();
}

bool PluginServerCtrl::wait_subscriptions_ended(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(active_lock_);
    return active_changed_.wait_for(guard, timeout, [this] { return active_subscriptions_ == 0; });
}

}  // namespace kest::scsiplugin
