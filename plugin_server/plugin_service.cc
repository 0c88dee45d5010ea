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

grpc::Status PluginServiceImpl::LunOp(grpc::ServerContext *, const LunCmd *request, LunCmdResp *response) {
    switch (request->cmd_body_case()) {
        case LunCmd::kIsLunSupportReq:
            ctrl_->handle_cmd_is_lun_support(*request, response);
            break;
        case LunCmd::kIsMirrorDoneReq:
            ctrl_->handle_cmd_is_mirror_done(*request, response);
            break;
        case LunCmd::kDepartRelationReq:
            ctrl_->handle_cmd_depart_relation(*request, response);
            break;
        case LunCmd::kStartMirrorReq:
            ctrl_->handle_cmd_start_mirror(*request, response);
            break;
        default:
            return grpc::Status::CANCELLED;
    }
    return grpc::Status::OK;
}

grpc::Status PluginServiceImpl::Publish(grpc::ServerContext *, const PluginCmd *request, PluginCmdResp *response) {
    switch (request->cmd_body_case()) {
        case PluginCmd::kInitSnapshotReq:
            ctrl_->handle_cmd_init_snapshot(*request, response);
            break;
        case PluginCmd::kMirrorDoneReq:
            ctrl_->handle_cmd_mirror_done(*request, response);
            break;
        case PluginCmd::kWaitForDepartReq:
            ctrl_->handle_cmd_wait_for_depart(*request, response);
            break;
        case PluginCmd::kDepartDoneReq:
            ctrl_->handle_cmd_depart_done(*request, response);
            break;
        default:
            return grpc::Status::CANCELLED;
    }
    return grpc::Status::OK;
}

}  // namespace kest::scsiplugin
