// A plugin for tests: subscribes on a background thread and collects what
// the server pushes, until the stream ends.
#pragma once

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugin_service.grpc.pb.h"

namespace kest::scsiplugin::test {

class TestPlugin {
public:
    TestPlugin(std::shared_ptr<grpc::Channel> channel, std::string id,
               PluginClient::Type type = PluginClient::VMWARE)
        : stub_(PluginService::NewStub(channel)), id_(std::move(id)) {
        PluginClient request;
        request.set_plugin_id(id_);
        request.set_type(type);
        thread_ = std::thread([this, request] {
            auto reader = stub_->Subscribe(&context_, request);
            PluginCmd cmd;
            while (reader->Read(&cmd)) {
                std::lock_guard<std::mutex> g(lock_);
                received_.push_back(cmd);
                changed_.notify_all();
            }
            grpc::Status status = reader->Finish();
            std::lock_guard<std::mutex> g(lock_);
            status_ = status;
            ended_ = true;
            changed_.notify_all();
        });
    }
    ~TestPlugin() {
        context_.TryCancel();
        thread_.join();
    }

    const std::string &id() const { return id_; }

    bool WaitForCommands(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> g(lock_);
        return changed_.wait_for(g, timeout, [&] { return received_.size() >= n || ended_; }) && received_.size() >= n;
    }
    std::vector<PluginCmd> commands() {
        std::lock_guard<std::mutex> g(lock_);
        return received_;
    }
    // Waits for the stream to end and returns its status.
    bool WaitEnded(grpc::Status *status, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> g(lock_);
        if (!changed_.wait_for(g, timeout, [&] { return ended_; })) return false;
        *status = status_;
        return true;
    }
    // The client vanishing: the call is cancelled from this side.
    void Vanish() { context_.TryCancel(); }

private:
    std::unique_ptr<PluginService::Stub> stub_;
    std::string id_;
    grpc::ClientContext context_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<PluginCmd> received_;
    grpc::Status status_;
    bool ended_ = false;
};

// Polls until pred() holds, at most `timeout`.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace kest::scsiplugin::test
