#include "kest/scsiplugin/plugin_service.h"

#include "kest/scsiplugin/log.h"

namespace kest::scsiplugin {

grpc::Status PluginServiceImpl::Subscribe(grpc::ServerContext *context, const PluginClient *request,
                                          grpc::ServerWriter<PluginCmd> *writer) {
    ctrl_->subscription_started();
    struct Ended {
        PluginServerCtrl *ctrl;
        ~Ended() { ctrl->subscription_ended(); }
    } ended{ctrl_.get()};
    auto client = std::make_shared<plugin_client>(context, request, writer);
    SCSI_LOG(LOG_INFO, "Connected: Plugin ID=%s IP=%s", request->plugin_id().c_str(), client->ip().c_str());
    ctrl_->register_client(client);
    client->wait_disconnect();
    SCSI_LOG(LOG_INFO, "Disconnect: Plugin ID=%s IP=%s", request->plugin_id().c_str(),
             ParsePeerAddress(context->peer()).c_str());
    return grpc::Status::OK;
}

grpc::Status PluginServiceImpl::UnSubscribe(grpc::ServerContext *, const PluginClient *request,
                                            google::protobuf::Empty *) {
    if (std::shared_ptr<plugin_client> client = ctrl_->find_client(request->plugin_id())) {
        client->disconnect();
        ctrl_->remove_client(client->plugin_id(), client);
    }
    return grpc::Status::OK;
}

grpc::Status PluginServiceImpl::PluginConnList(grpc::ServerContext *, const google::protobuf::Empty *,
                                               PluginClientList *response) {
    *response = ctrl_->list_clients();
    return grpc::Status::OK;
}

grpc::Status PluginServiceImpl::LunOp(grpc::ServerContext *, const LunCmd *, LunCmdResp *) {
    return grpc::Status::CANCELLED;
}

grpc::Status PluginServiceImpl::Publish(grpc::ServerContext *, const PluginCmd *, PluginCmdResp *) {
    return grpc::Status::CANCELLED;
}

}  // namespace kest::scsiplugin
