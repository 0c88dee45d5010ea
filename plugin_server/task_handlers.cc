// The task table of PluginServerCtrl and the handlers behind Publish and
// LunOp: a task follows one snapshot-mirror-depart operation on a LUN.
#include "kest/scsiplugin/log.h"
#include "kest/scsiplugin/lun_conf.h"
#include "kest/scsiplugin/plugin_server_ctrl.h"

namespace kest::scsiplugin {

using Clock = std::chrono::system_clock;

void plugin_task::set_state(int32_t new_state) {
    std::lock_guard<std::mutex> guard(lock);
    state = new_state;
    wakeup.notify_all();
}

int32_t plugin_task::get_state() {
    std::lock_guard<std::mutex> guard(lock);
    return state;
}

bool PluginServerCtrl::add_task(const std::string &id, std::shared_ptr<plugin_task> *created) {
    std::lock_guard<std::mutex> guard(task_table_lock_);
    Clock::time_point now = Clock::now();
    auto it = tasks_.find(id);
    if (it != tasks_.end()) {
        if (now - it->second->created < timings_.task_age_limit) return false;
        SCSI_LOG(LOG_ERR, "Task [%s] has been expired! try to remove it and create a new one", id.c_str());
        tasks_.erase(it);
    }
    auto task = std::make_shared<plugin_task>(id, now);
    tasks_.emplace(id, task);
    if (created) *created = task;
    return true;
}

std::shared_ptr<plugin_task> PluginServerCtrl::find_task(const std::string &id) {
    std::lock_guard<std::mutex> guard(task_table_lock_);
    auto it = tasks_.find(id);
    return it == tasks_.end() ? nullptr : it->second;
}

void PluginServerCtrl::remove_task(const std::string &id, const std::shared_ptr<plugin_task> &expected) {
    std::lock_guard<std::mutex> guard(task_table_lock_);
    auto it = tasks_.find(id);
    if (it != tasks_.end() && it->second == expected) tasks_.erase(it);
}

size_t PluginServerCtrl::task_count() {
    std::lock_guard<std::mutex> guard(task_table_lock_);
    return tasks_.size();
}

int32_t PluginServerCtrl::wait_for_state(const std::shared_ptr<plugin_task> &task, int32_t state,
                                         std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> guard(task->lock);
    Clock::time_point deadline = Clock::now() + wait;
    while (task->state != state && !tasks_closing_) {
        if (task->wakeup.wait_until(guard, deadline) == std::cv_status::timeout) break;
    }
    return task->state;
}

void PluginServerCtrl::handle_cmd_init_snapshot(const PluginCmd &cmd, PluginCmdResp *resp) {
    if (!has_clients()) {
        SCSI_LOG(LOG_INFO, "Plugin list is empty, skip notify plugin");
        resp->set_success(false);
        return;
    }
    const std::string &key = cmd.init_snapshot_req().src_lun_p80();
    SCSI_LOG(LOG_INFO, "Init snapshots broadcast [%s]", key.c_str());
    // Our own reference: the entry may be removed while we wait.
    std::shared_ptr<plugin_task> task;
    if (!add_task(key, &task)) {
        SCSI_LOG(LOG_ERR, "Init snasphot failed due to task is in progress: [%s]", key.c_str());
        resp->set_success(false);
        return;
    }
    PluginCmd copy = cmd;
    copy.set_task_id(key);
    push_all(copy);
    if (wait_for_state(task, TASK_MIRRORING, timings_.start_mirror_wait) == TASK_MIRRORING) {
        SCSI_LOG(LOG_INFO, "Init snapshots success(start mirror) [%s]", key.c_str());
        resp->mutable_init_snapshot_resp()->set_task_id(key);
        resp->set_success(true);
        return;
    }
    SCSI_LOG(LOG_ERR, "Init snapshots failed [%s]", key.c_str());
    resp->set_success(false);
    remove_task(key, task);
}

void PluginServerCtrl::handle_cmd_mirror_done(const PluginCmd &cmd, PluginCmdResp *resp) {
    const std::string &key = cmd.task_id();
    SCSI_LOG(LOG_INFO, "Mirror done [%s]", key.c_str());
    std::shared_ptr<plugin_task> task = find_task(key);
    if (!task) {
        SCSI_LOG(LOG_ERR, "Task not exists: [%s]", key.c_str());
        resp->set_success(false);
        return;
    }
    bool moved = false;
    {
        std::lock_guard<std::mutex> guard(task->lock);
        if (task->state == TASK_MIRRORING) {
            task->state = TASK_MIRROR_DONE;
            task->wakeup.notify_all();
            moved = true;
        }
    }
    if (moved) {
        SCSI_LOG(LOG_INFO, "Mirror done success [%s]", key.c_str());
    } else {
        SCSI_LOG(LOG_ERR, "Mirror done failed [%s]", key.c_str());
    }
    resp->set_success(moved);
}

void PluginServerCtrl::handle_cmd_wait_for_depart(const PluginCmd &cmd, PluginCmdResp *resp) {
    const std::string &key = cmd.task_id();
    SCSI_LOG(LOG_INFO, "Wait for depart relation [%s]", key.c_str());
    std::shared_ptr<plugin_task> task = find_task(key);
    if (!task) {
        SCSI_LOG(LOG_ERR, "Task not exists: [%s]", key.c_str());
        resp->set_success(false);
        return;
    }
    if (wait_for_state(task, TASK_DEPARTED, timings_.depart_wait) == TASK_DEPARTED) {
        SCSI_LOG(LOG_INFO, "Wait for depart relation success [%s]", key.c_str());
        resp->set_success(true);
    } else {
        SCSI_LOG(LOG_ERR, "Wait for depart relation failed [%s]", key.c_str());
        resp->set_success(false);
    }
}

void PluginServerCtrl::handle_cmd_depart_done(const PluginCmd &cmd, PluginCmdResp *resp) {
    const std::string &key = cmd.task_id();
    SCSI_LOG(LOG_INFO, "Depart relation done [%s]", key.c_str());
    std::shared_ptr<plugin_task> task = find_task(key);
    if (!task) {
        SCSI_LOG(LOG_ERR, "Task not exists: [%s]", key.c_str());
        resp->set_success(true);
        return;
    }
    std::string owner;
    {
        std::lock_guard<std::mutex> guard(task->lock);
        owner = task->owner;
    }
    if (std::shared_ptr<plugin_client> client = find_client(owner)) client->push_cmd(cmd);
    remove_task(key, task);
    resp->set_success(true);
}

void PluginServerCtrl::handle_cmd_is_lun_support(const LunCmd &cmd, LunCmdResp *resp) {
    const IsLunSupportReq &req = cmd.is_lun_support_req();
    SCSI_LOG(LOG_INFO, "Check lun support [%s]", req.src_lun_id().c_str());
    if (IsLunSupport(req.type(), req.src_lun_id())) {
        SCSI_LOG(LOG_INFO, "Check lun support pass [%s]", req.src_lun_id().c_str());
        resp->set_success(true);
    } else {
        SCSI_LOG(LOG_INFO, "Check lun support failed [%s]", req.src_lun_id().c_str());
        resp->set_success(false);
    }
}

// The three handlers below hold the task-table lock from start to end.

void PluginServerCtrl::handle_cmd_start_mirror(const LunCmd &cmd, LunCmdResp *resp) {
    const std::string &key = cmd.start_mirror_req().src_lun_id();
    std::lock_guard<std::mutex> table(task_table_lock_);
    SCSI_LOG(LOG_INFO, "Start mirror [%s]", key.c_str());
    auto it = tasks_.find(key);
    if (it == tasks_.end()) {
        SCSI_LOG(LOG_ERR, "Task not exists: [%s]", key.c_str());
        resp->set_success(false);
        return;
    }
    plugin_task &task = *it->second;
    std::lock_guard<std::mutex> guard(task.lock);
    // The plugin that mirrors is the one to hear depart-done.
    task.owner = cmd.plugin_id();
    task.state = TASK_MIRRORING;
    task.wakeup.notify_all();
    resp->set_success(true);
}

void PluginServerCtrl::handle_cmd_is_mirror_done(const LunCmd &cmd, LunCmdResp *resp) {
    const IsMirrorDoneReq &req = cmd.is_mirror_done_req();
    const std::string &key = req.src_lun_id();
    std::lock_guard<std::mutex> table(task_table_lock_);
    SCSI_LOG(LOG_INFO, "Check mirror done [%s]", key.c_str());
    auto it = tasks_.find(key);
    if (it == tasks_.end()) {
        SCSI_LOG(LOG_ERR, "Task not exists: [%s]", key.c_str());
        resp->set_success(false);
        return;
    }
    plugin_task &task = *it->second;
    ISCSI_LUN lun{};
    if (!GetLunConfByType(req.type(), key, &lun)) {
        SCSI_LOG(LOG_ERR, "Failed to get lun config [%s]", key.c_str());
        resp->set_success(false);
        return;
    }
    if ((lun.type & kLunBlockOrReplicationMask) == kLunBlockOrReplicationMask) {
        task.set_state(TASK_MIRROR_DONE);
        SCSI_LOG(LOG_INFO, "Check mirror done skip (BLUN / Replication) [%s]", key.c_str());
        resp->set_success(true);
        return;
    }
    if (task.get_state() == TASK_MIRROR_DONE) {
        SCSI_LOG(LOG_INFO, "Check mirror done pass [%s]", key.c_str());
        resp->set_success(true);
        return;
    }
    SCSI_LOG(LOG_INFO, "mirroring ... [%s]", key.c_str());
    resp->set_success(false);
}

void PluginServerCtrl::handle_cmd_depart_relation(const LunCmd &cmd, LunCmdResp *resp) {
    const std::string &key = cmd.depart_relation_req().src_lun_id();
    std::lock_guard<std::mutex> table(task_table_lock_);
    SCSI_LOG(LOG_INFO, "Depart relation start [%s]", key.c_str());
    auto it = tasks_.find(key);
    if (it == tasks_.end()) {
        SCSI_LOG(LOG_ERR, "Task not exists: [%s]", key.c_str());
        resp->set_success(false);
        return;
    }
    it->second->set_state(TASK_DEPARTED);
    resp->set_success(true);
}

}  // namespace kest::scsiplugin
