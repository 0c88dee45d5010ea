// The five handlers of PluginService. No state of their own: everything
// lives in the controller they are given.
#pragma once

#include <memory>

#include "kest/scsiplugin/plugin_server_ctrl.h"
#include "plugin_service.grpc.pb.h"

namespace kest::scsiplugin {

class PluginServiceImpl final : public PluginService::Service {
public:
    explicit PluginServiceImpl(std::shared_ptr<PluginServerCtrl> ctrl) : ctrl_(std::move(ctrl)) {}

    grpc::Status Subscribe(grpc::ServerContext *context, const PluginClient *request,
                           grpc::ServerWriter<PluginCmd> *writer) override;
    grpc::Status UnSubscribe(grpc::ServerContext *context, const PluginClient *request,
                             google::protobuf::Empty *response) override;
    grpc::Status LunOp(grpc::ServerContext *context, const LunCmd *request, LunCmdResp *response) override;
    grpc::Status Publish(grpc::ServerContext *context, const PluginCmd *request, PluginCmdResp *response) override;
    grpc::Status PluginConnList(grpc::ServerContext *context, const google::protobuf::Empty *request,
                                PluginClientList *response) override;

private:
    std::shared_ptr<PluginServerCtrl> ctrl_;
};

}  // namespace kest::scsiplugin
