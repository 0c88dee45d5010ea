// kestiscsigrpctool: publishes one LUN-operation command to lunhub over its
// local socket, or lists the connected plugins as JSON. One call per run;
// the outcome is the exit status (0, or 255 on any failure).
#include <getopt.h>
#include <grpcpp/grpcpp.h>
#include <json/json.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "kest/scsiplugin/log.h"
#include "kest/scsiplugin/naa.h"
#include "kestsdk.h"
#include "plugin_service.grpc.pb.h"

using namespace kest::scsiplugin;

namespace {

constexpr const char *kServerAddress = "unix:///tmp/iscsi/plugin_server.sock";
constexpr int kFailure = -1;

// Read once per process, kept once read successfully.
std::string g_serial;

bool GetTARNSerialNumber(PluginCmd *cmd) {
    if (g_serial.empty()) {
        char buf[36] = {};
        if (XLIBGetSerialNumber(buf, sizeof buf) < 0) {
            SCSI_LOG(LOG_ERR, "Failed to get serial number from flash.");
        } else {
            buf[sizeof buf - 1] = '\0';
            g_serial = buf;
        }
    }
    if (g_serial.empty()) return false;
    cmd->set_tarn_sn(g_serial);
    return true;
}

std::unique_ptr<PluginService::Stub> Stub() {
    return PluginService::NewStub(grpc::CreateChannel(kServerAddress, grpc::InsecureChannelCredentials()));
}

// One Publish; success only with status OK and success true.
bool Send(const PluginCmd &cmd, PluginCmdResp *resp) {
    grpc::ClientContext ctx;
    return Stub()->Publish(&ctx, cmd, resp).ok() && resp->success();
}

// The function name in the log line is the command's.
#define FILL_HEADER_OR_FAIL(cmd)                                   \
    do {                                                           \
        if (!GetTARNSerialNumber(&(cmd))) {                        \
            SCSI_LOG(LOG_ERR, "Failed to fill plugin cmd header"); \
            return false;                                          \
        }                                                          \
    } while (0)

bool init_snapshot(const std::string &src_uuid, const std::string &src_p80, const std::string &dst_uuid) {
    PluginCmd cmd;
    FILL_HEADER_OR_FAIL(cmd);
    InitSnapshotReq *req = cmd.mutable_init_snapshot_req();
    req->set_src_lun_uuid(src_uuid);
    req->set_src_lun_p80(src_p80);
    req->set_src_lun_p83(NaaFromGuid(src_p80));
    req->set_dst_lun_uuid(dst_uuid);
    req->set_is_for_replica(false);
    PluginCmdResp resp;
    if (!Send(cmd, &resp)) return false;
    std::cout << resp.init_snapshot_resp().task_id() << std::flush;
    return true;
}

bool mirror_done(const std::string &src_uuid, const std::string &src_p80, const std::string &task_id) {
    PluginCmd cmd;
    FILL_HEADER_OR_FAIL(cmd);
    cmd.set_task_id(task_id);
    MirrorDoneReq *req = cmd.mutable_mirror_done_req();
    req->set_src_lun_uuid(src_uuid);
    req->set_src_lun_p80(src_p80);
    req->set_src_lun_p83(NaaFromGuid(src_p80));
    PluginCmdResp resp;
    return Send(cmd, &resp);
}

bool wait_for_depart(const std::string &src_uuid, const std::string &dst_uuid, const std::string &task_id) {
    PluginCmd cmd;
    FILL_HEADER_OR_FAIL(cmd);
    cmd.set_task_id(task_id);
    WaitForDepartReq *req = cmd.mutable_wait_for_depart_req();
    req->set_src_lun_uuid(src_uuid);
    req->set_dst_lun_uuid(dst_uuid);
    PluginCmdResp resp;
    return Send(cmd, &resp);
}

bool depart_done(const std::string &src_uuid, const std::string &src_p80, const std::string &dst_uuid,
                 const std::string &task_id) {
    PluginCmd cmd;
    FILL_HEADER_OR_FAIL(cmd);
    cmd.set_task_id(task_id);
    DepartDoneReq *req = cmd.mutable_depart_done_req();
    req->set_src_lun_uuid(src_uuid);
    req->set_src_lun_p80(src_p80);
    req->set_src_lun_p83(NaaFromGuid(src_p80));
    req->set_dst_lun_uuid(dst_uuid);
    PluginCmdResp resp;
    return Send(cmd, &resp);
}

void list_conns() {
    grpc::ClientContext ctx;
    PluginClientList list;
    // A failed call leaves the list empty, which prints null.
    Stub()->PluginConnList(&ctx, google::protobuf::Empty(), &list);
    Json::Value conns;  // null until the first append
    for (const PluginClient &client : list.list()) {
        Json::Value entry(Json::objectValue);
        if (client.type() == PluginClient::VMWARE) {
            entry["type"] = "VMware";
        } else if (client.type() == PluginClient::WINDOWS) {
            entry["type"] = "Windows";
        } else {
            SCSI_LOG(LOG_ERR, "Unknown Plugin client type");
            continue;
        }
        entry["ip"] = client.ip();
        conns.append(entry);
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::cout << Json::writeString(writer, conns) << std::endl;
}

void Usage(const char *argv0) {
    const char *name = strrchr(argv0, '/');
    printf("Usage: %s [OPTIONS]\n  OPTIONS are:\n    --exec_cmd [cmd]\n    --list_conns\n    -h,--help   Print this message\n",
           name ? name + 1 : argv0);
}

int Run(int argc, char **argv) {
    static const option kOptions[] = {
        {"exec_cmd", required_argument, nullptr, 'e'},
        {"list_conns", no_argument, nullptr, 'l'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int opt = getopt_long_only(argc, argv, "", kOptions, nullptr);
    if (opt == 'e') {
        std::string cmd = optarg;
        if (cmd == "init_snapshot" && argc == 6) return init_snapshot(argv[3], argv[4], argv[5]) ? 0 : kFailure;
        if (cmd == "mirror_done" && argc == 6) return mirror_done(argv[3], argv[4], argv[5]) ? 0 : kFailure;
        if (cmd == "wait_for_depart" && argc == 6) return wait_for_depart(argv[3], argv[4], argv[5]) ? 0 : kFailure;
        if (cmd == "depart_done" && argc == 7) return depart_done(argv[3], argv[4], argv[5], argv[6]) ? 0 : kFailure;
        printf("invalid command\n");
        return kFailure;
    }
    if (opt == 'l') {
        list_conns();
        return 0;
    }
    Usage(argv[0]);
    return kFailure;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {
        printf("std::exception caught: %s\n", e.what());
    } catch (...) {
        printf("unknown exception caught in %s\n", "int main(int, char**)");
    }
    return kFailure;
}
