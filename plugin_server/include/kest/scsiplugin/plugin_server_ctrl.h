// The controller of the plugin server: the registry of subscribed plugins
// and the table of LUN tasks, with the handlers that drive the tasks.
//
// Lock order: the registry lock before a plugin record's lock; the task-table
// lock before a task's lock; the registry and the task table are never held
// together. Listing and broadcasting hold the registry lock for the whole
// walk. Nothing is persisted.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kest/scsiplugin/plugin_client.h"
#include "lun_cmd.pb.h"
#include "plugin_cmd.pb.h"

namespace kest::scsiplugin {

enum TaskState : int32_t {
    TASK_CREATED = 0,
    TASK_MIRRORING = 2,
    TASK_MIRROR_DONE = 3,
    TASK_DEPARTED = 4,
};

// One snapshot-mirror-depart operation on a source LUN, shared between the
// table and the handlers waiting on it.
struct plugin_task {
    plugin_task(std::string task_id, std::chrono::system_clock::time_point now) : id(std::move(task_id)), created(now) {}
    int32_t state = TASK_CREATED;
    const std::string id;
    std::string owner;  // plugin_id to receive the depart-done command
    std::condition_variable wakeup;
    std::mutex lock;
    const std::chrono::system_clock::time_point created;

    // Stores the new state and wakes every waiter.
    void set_state(int32_t new_state);
    int32_t get_state();
};

// The waits are the system's; tests may shorten them.
struct TaskTimings {
    std::chrono::milliseconds task_age_limit{std::chrono::seconds(300)};
    std::chrono::milliseconds start_mirror_wait{std::chrono::seconds(60)};
    std::chrono::milliseconds depart_wait{std::chrono::seconds(60)};
};

class PluginServerCtrl {
public:
    explicit PluginServerCtrl(TaskTimings timings = {}) : timings_(timings) {}

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

    // Shutdown: release every waiting subscription and refuse new ones, and
    // end every wait on a task.
    void disconnect_all();

    // The task table (under the task-table lock).
    // False while a task of this id is younger than the age limit; an older
    // one is replaced. The new task is handed back through `created`.
    bool add_task(const std::string &id, std::shared_ptr<plugin_task> *created = nullptr);
    std::shared_ptr<plugin_task> find_task(const std::string &id);
    void remove_task(const std::string &id, const std::shared_ptr<plugin_task> &expected);
    size_t task_count();

    // Publish handlers.
    void handle_cmd_init_snapshot(const PluginCmd &cmd, PluginCmdResp *resp);
    void handle_cmd_mirror_done(const PluginCmd &cmd, PluginCmdResp *resp);
    void handle_cmd_wait_for_depart(const PluginCmd &cmd, PluginCmdResp *resp);
    void handle_cmd_depart_done(const PluginCmd &cmd, PluginCmdResp *resp);
    // LunOp handlers.
    void handle_cmd_is_lun_support(const LunCmd &cmd, LunCmdResp *resp);
    void handle_cmd_is_mirror_done(const LunCmd &cmd, LunCmdResp *resp);
    void handle_cmd_depart_relation(const LunCmd &cmd, LunCmdResp *resp);
    void handle_cmd_start_mirror(const LunCmd &cmd, LunCmdResp *resp);

    // Subscribe handlers still running, so shutdown can let them answer
    // OK before the server cancels what is left.
    void subscription_started();
    void subscription_ended();
    bool wait_subscriptions_ended(std::chrono::milliseconds timeout);

private:
    // Waits on the task until it reaches `state`, the wait runs out or the
    // server closes; returns the state read last.
    int32_t wait_for_state(const std::shared_ptr<plugin_task> &task, int32_t state, std::chrono::milliseconds wait);

    const TaskTimings timings_;

    std::mutex registry_lock_;
    std::unordered_map<std::string, std::shared_ptr<plugin_client>> registry_;
    bool closing_ = false;

    std::mutex task_table_lock_;
    std::unordered_map<std::string, std::shared_ptr<plugin_task>> tasks_;
    std::atomic<bool> tasks_closing_{false};

    std::mutex active_lock_;
    std::condition_variable active_changed_;
    int active_subscriptions_ = 0;
};

}  // namespace kest::scsiplugin
