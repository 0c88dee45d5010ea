#include "kest/servicecfg.h"

#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <string>

#include "internal/raise.h"
#include "internal/replace_file.h"
#include "kest/file.h"
#include "kest/volume.h"

namespace {

constexpr const char *kLayer0Dir = "/usr/kest/etc/kestservice.d";
constexpr const char *kErrorDir = "/usr/kest/etc/kestservice.d/error";
constexpr const char *kLayerFormats[] = {"/usr/kest/etc/kestservice.d/%s.cfg",
                                         "/usr/kest/etc/kestservice.override/%s.cfg",
                                         "/run/kestservice/service/%s.cfg"};

struct Row {
    const char *key;
    const char *inside;  // null: top level
    json_type type;
    bool required;
};

const Row kValidation[] = {
    {"service_name", nullptr, json_type_string, false},
    {"user_controllable", nullptr, json_type_string, false},
    {"support_one_click_enable", nullptr, json_type_string, false},
    {"auto_start", nullptr, json_type_string, true},
    {"volume", "required_resource", json_type_array, false},
    {"share", "required_resource", json_type_array, false},
    {"custom", "required_resource", json_type_array, false},
    {"init_job_map", nullptr, json_type_object, true},
    {"upstart", "init_job_map", json_type_array, true},
    {"sysv", "init_job_map", json_type_array, false},
    {"required_kestservice", nullptr, json_type_array, false},
    {"conflict_kestservice", nullptr, json_type_array, false},
    {"firewall_section_map", nullptr, json_type_array, false},
    {"status_hook", nullptr, json_type_string, false},
    {"start_hook", nullptr, json_type_string, false},
    {"stop_hook", nullptr, json_type_string, false},
    {"restart_hook", nullptr, json_type_string, false},
    {"reload_hook", nullptr, json_type_string, false},
    {"display_name", nullptr, json_type_string, false},
    {"skip_bootup_check", nullptr, json_type_string, false},
    {"request_service", nullptr, json_type_array, false},
    {"set_start_on_bootup", nullptr, json_type_string, false},
    {"set_stop_on_bootup", nullptr, json_type_string, false},
};

struct Info {
    int id;
    const char *key;
    const char *inside;
    int layer;
};

const Info kInfos[] = {
    {SVC_INFO_VOLUME, "volume", "required_resource", 1},
    {SVC_INFO_SHARE, "share", "required_resource", 1},
    {SVC_INFO_UPSTART, "upstart", "init_job_map", 1},
    {SVC_INFO_SYSV, "sysv", "init_job_map", 1},
    {SVC_INFO_REQUIRED_SERVICE, "required_kestservice", nullptr, 1},
    {SVC_INFO_CONFLICT_SERVICE, "conflict_kestservice", nullptr, 1},
    {SVC_INFO_FIREWALL, "firewall_section_map", nullptr, 1},
    {SVC_INFO_CUSTOM, "custom", nullptr, 2},
    {SVC_INFO_REQUEST_SERVICE, "request_service", nullptr, 1},
};

const Info *FindInfo(int id) {
    for (const Info &i : kInfos)
        if (i.id == id) return &i;
    return nullptr;
}

// Owns one reference.
struct Json {
    json_object *obj = nullptr;
    explicit Json(json_object *o = nullptr) : obj(o) {}
    ~Json() {
        if (obj) json_object_put(obj);
    }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;
    json_object *release() {
        json_object *o = obj;
        obj = nullptr;
        return o;
    }
};

json_object *Member(json_object *obj, const char *key) {
    json_object *value = nullptr;
    return obj && json_object_object_get_ex(obj, key, &value) ? value : nullptr;
}

bool IsRegular(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// One validation row; false (logged) when the file breaks it.
bool CheckRow(json_object *root, const Row &row) {
    static const char *const kModule = "servicecfg_validate";
    json_object *scope = root;
    if (row.inside) {
        scope = Member(root, row.inside);
        if (!scope) {
            if (!row.required) return true;
            KEST_LOG(LOG_ERR, kModule, "required object [%s] is not exist", row.inside);
            return false;
        }
        if (!json_object_is_type(scope, json_type_object)) {
            KEST_LOG(LOG_ERR, kModule, "[%s] is not a json type object", row.inside);
            return false;
        }
    }
    json_object *value = Member(scope, row.key);
    if (!value) {
        if (!row.required) return true;
        KEST_LOG(LOG_ERR, kModule, "required key [%s] not exist", row.key);
        return false;
    }
    if (!json_object_is_type(value, row.type)) {
        KEST_LOG(LOG_ERR, kModule, "[%s] json type is not correct", row.key);
        return false;
    }
    if (row.type == json_type_array && json_object_array_length(value) == 0) {
        KEST_LOG(LOG_ERR, kModule, "[%s] json array is empty", row.key);
        return false;
    }
    return true;
}

std::string LayerPath(const char *service, int layer) {
    char path[512];
    if (XLIBCServiceCfgPathGet(layer, service, path, sizeof path) != 0) return "";
    return path;
}

}  // namespace

extern "C" {

int XLIBCServiceCfgPathGet(int layer, const char *service, char *buffer, int size) {
    if (layer < 0 || layer > 2 || !service || !*service || !buffer || size <= 0 || strchr(service, '/')) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "servicecfg_config_path_get");
        return -1;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = snprintf(buffer, static_cast<size_t>(size), kLayerFormats[layer], service);
#pragma GCC diagnostic pop
    if (n < 0 || n >= size) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "servicecfg_config_path_get");
        return -1;
    }
    return 0;
}

int XLIBCServiceCfgValidate(const char *path) {
    static const char *const kModule = "servicecfg_validate";
    if (!path) {
        KEST_LOG(LOG_ERR, kModule, "Bad Parameters.");
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    if (access(path, R_OK) != 0) {
        KEST_RAISE(errno == ENOENT ? ERR_NOT_EXIST : ERR_SYSTEM_CALL, kModule);
        return -1;
    }
    Json root(json_object_from_file(path));
    if (!root.obj) {
        KEST_LOG(LOG_ERR, kModule, "[%s] is not a json format file.", path);
        KEST_RAISE(ERR_SERVICE_CONFIG, kModule);
        return -1;
    }
    for (const Row &row : kValidation) {
        if (!json_object_is_type(root.obj, json_type_object) || !CheckRow(root.obj, row)) {
            KEST_LOG(LOG_ERR, kModule, "[%s] CheckFromat failed", path);
            KEST_RAISE(ERR_SERVICE_CONFIG, kModule);
            return -1;
        }
    }
    return 0;
}

json_object *XLIBCServiceCfgRootObjectGet(const char *service, int layer) {
    static const char *const kModule = "servicecfg_root_object_get";
    if (!service) {
        KEST_LOG(LOG_ERR, kModule, "Invaild Argument (%s)=[%d]\n", "((void *)0) != szServ", 0);
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return nullptr;
    }
    std::string path = LayerPath(service, layer);
    if (path.empty()) {
        KEST_LOG(LOG_ERR, kModule, "Fail to get config for service [%s]", service);
        return nullptr;
    }
    if (layer == 0 && !IsRegular(path.c_str())) {
        KEST_LOG(LOG_ERR, kModule, "service config for service [%s] is not exist", service);
        return nullptr;
    }
    Json root(IsRegular(path.c_str()) ? json_object_from_file(path.c_str()) : nullptr);
    if (!root.obj) root.obj = json_object_new_object();
    if (!root.obj) {
        KEST_LOG(LOG_ERR, kModule, "Failed to create json object for service [%s]", service);
        return nullptr;
    }
    if (layer != 0) {
        if (!json_object_is_type(root.obj, json_type_object)) {
            KEST_LOG(LOG_ERR, kModule, "Incorrect object format on service [%s] type [%d] config, remove file [%s]",
                     service, layer, path.c_str());
            unlink(path.c_str());
            return nullptr;
        }
        return root.release();
    }
    if (!json_object_is_type(root.obj, json_type_object)) {
        KEST_LOG(LOG_ERR, kModule, "Incorrect object format on service [%s]", service);
        return nullptr;
    }
    if (XLIBCServiceCfgValidate(path.c_str()) != 0) {
        KEST_LOG(LOG_ERR, kModule, "Failed to validate service file [%s]", path.c_str());
        return nullptr;
    }
    return root.release();
}

json_object *XLIBCServiceCfgMergedGet(const char *service) {
    Json merged(XLIBCServiceCfgRootObjectGet(service, 0));
    if (!merged.obj) return nullptr;
    for (int layer = 1; layer <= 2; ++layer) {
        Json over(XLIBCServiceCfgRootObjectGet(service, layer));
        if (!over.obj) continue;
        json_object_object_foreach(over.obj, key, value) {
            json_object_object_del(merged.obj, key);
            json_object_object_add(merged.obj, key, json_object_get(value));
        }
    }
    return merged.release();
}

int XLIBCServiceCfgRootObjectSet(const char *path, json_object *object) {
    static const char *const kModule = "servicecfg_root_object_set";
    if (!path || !object) {
        KEST_LOG(LOG_ERR, kModule, "Invaild Argument (%s)=[%d]\n", !path ? "((void *)0) != szPath" : "NULL != pObj", 0);
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    std::string p = path;
    size_t slash = p.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        KEST_LOG(LOG_ERR, kModule, "faild to get dir path [%s]", path);
        return -1;
    }
    std::string dir = p.substr(0, slash);
    if (KESTFSMkdirP(dir.c_str(), nullptr, 1, 0, 0, 0755) != 0 && errno != EEXIST) {
        KEST_LOG(LOG_ERR, kModule, "KESTFSMkdirP(%s) failed. " KEST_ERR_FMT " (%m)", dir.c_str(), KEST_ERR_ARGS);
        return -1;
    }
    // Replaced whole and synced, so a reader or a power cut never meets a
    // half-written configuration.
    kest::core::ReplaceFile out(p);
    if (!out.Open()) {
        KEST_RAISE(ERR_OPEN, kModule);
        return -1;
    }
    const char *text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PRETTY);
    if (!text || fputs(text, out.stream()) == EOF || fputc('\n', out.stream()) == EOF ||
        !out.Finish(static_cast<uid_t>(-1), 0, 0644)) {
        KEST_RAISE(ERR_WRITE, kModule);
        return -1;
    }
    if (!out.Commit()) {
        KEST_RAISE(ERR_RENAME, kModule);
        return -1;
    }
    return 0;
}

int XLIBCServiceCfgLayerSet(const char *service, json_object *object, int layer) {
    if (!service || !object) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "servicecfg_root_object_set");
        return -1;
    }
    std::string path = LayerPath(service, layer);
    if (path.empty()) return -1;
    return XLIBCServiceCfgRootObjectSet(path.c_str(), object);
}

int XLIBCServiceCfgEnum(SzList **list) {
    static const char *const kModule = "servicecfg_enum";
    if (!list || !*list) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    SzList *names = XLIBCSzListAlloc(1024);
    if (!names) return -1;
    if (XLIBCFileEnumDir(kLayer0Dir, nullptr, &names, 0) < 0) {
        XLIBCSzListFree(names);
        return -1;
    }
    int result = 0;
    for (int i = 0; i < names->count; ++i) {
        std::string name = names->items[i];
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".cfg") != 0) continue;
        std::string path = std::string(kLayer0Dir) + "/" + name;
        if (XLIBCServiceCfgValidate(path.c_str()) == 0) {
            if (XLIBCSzListPush(list, path.c_str()) < 0) {
                result = -1;
                break;
            }
            continue;
        }
        if (mkdir(kErrorDir, 0755) != 0 && errno != EEXIST)
            KEST_LOG(LOG_ERR, kModule, "Failed to mkdir [%s] errno=%d/%m", kErrorDir, errno);
        std::string target = std::string(kErrorDir) + "/" + name;
        if (rename(path.c_str(), target.c_str()) != 0)
            KEST_LOG(LOG_ERR, kModule, "Failed to move file [%s] to [%s] errno=%d/%m", path.c_str(), target.c_str(), errno);
    }
    XLIBCSzListFree(names);
    return result;
}

int XLIBCServiceEnum(SzList **list) {
    if (!list || !*list) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "service_enum");
        return -1;
    }
    SzList *paths = XLIBCSzListAlloc(512);
    if (!paths) return -1;
    int result = XLIBCServiceCfgEnum(&paths);
    for (int i = 0; result == 0 && i < paths->count; ++i) {
        std::string path = paths->items[i];
        std::string name = path.substr(path.rfind('/') + 1);
        name.resize(name.size() - 4);
        if (XLIBCSzListPush(list, name.c_str()) < 0) result = -1;
    }
    XLIBCSzListFree(paths);
    return result;
}

int XLIBCServiceCfgStringValueGet(const char *service, const char *key, char *buffer, int size) {
    static const char *const kModule = "servicecfg_string_value_get";
    if (!service || !key || !buffer || size < 1) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    Json merged(XLIBCServiceCfgMergedGet(service));
    if (!merged.obj) return -1;
    json_object *value = Member(merged.obj, key);
    if (!value) return 0;
    if (!json_object_is_type(value, json_type_string)) {
        KEST_RAISE(ERR_SERVICE_CONFIG, kModule);
        return -1;
    }
    snprintf(buffer, static_cast<size_t>(size), "%s", json_object_get_string(value));
    return 1;
}

int XLIBCServiceCfgRunKeyGet(const char *service, int *run_key) {
    static const char *const kModule = "servicecfg_service_runkey_get";
    if (!service || !run_key) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    char auto_start[6] = {}, pause[6] = {};
    if (XLIBCServiceCfgStringValueGet(service, "auto_start", auto_start, sizeof auto_start) != 1) return -1;
    if (XLIBCServiceCfgStringValueGet(service, "pause", pause, sizeof pause) < 0) return -1;
    if (strcasecmp(auto_start, "yes") == 0) {
        *run_key = strcasecmp(pause, "yes") == 0 ? SVC_RUN_PAUSED : SVC_RUN_START;
    } else if (strcasecmp(auto_start, "no") == 0) {
        *run_key = SVC_RUN_NO_START;
    } else if (strcasecmp(auto_start, "pause") == 0) {
        *run_key = SVC_RUN_PAUSED;
    } else {
        KEST_RAISE(ERR_SERVICE_CONFIG, kModule);
        return -1;
    }
    return 0;
}

int XLIBCServiceIsEnabled(const char *service) {
    int key = 0;
    return XLIBCServiceCfgRunKeyGet(service, &key) == 0 && (key == SVC_RUN_START || key == SVC_RUN_PAUSED) ? 1 : 0;
}

int XLIBCServiceIsPackage(const char *service) {
    char value[8] = {};
    return XLIBCServiceCfgStringValueGet(service, "is_package", value, sizeof value) == 1 && strcmp(value, "yes") == 0
               ? 1
               : 0;
}

int XLIBCServiceCfgListGetFromArray(json_object *object, const char *key, SzList **list) {
    if (!object || !key || !list || !*list) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "servicecfg_list_get_from_array");
        return -1;
    }
    json_object *array = Member(object, key);
    if (!array || !json_object_is_type(array, json_type_array)) return 0;
    for (size_t i = 0; i < json_object_array_length(array); ++i) {
        json_object *item = json_object_array_get_idx(array, i);
        if (!json_object_is_type(item, json_type_string)) continue;
        const char *s = json_object_get_string(item);
        if (XLIBCSzListFind(*list, s) >= 0) continue;
        if (XLIBCSzListPush(list, s) < 0) return -1;
    }
    return (*list)->count;
}

int XLIBCServiceCfgInfoGet(const char *service, int info, SzList **list) {
    static const char *const kModule = "servicecfg_config_info_get";
    const Info *row = FindInfo(info);
    if (!service || !list || !*list || !row) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    Json merged(XLIBCServiceCfgMergedGet(service));
    if (!merged.obj) return -1;
    if (!json_object_is_type(merged.obj, json_type_object)) {
        KEST_RAISE(ERR_SERVICE_CONFIG, kModule);
        return -1;
    }
    json_object *scope = merged.obj;
    if (row->inside) {
        scope = Member(merged.obj, row->inside);
        if (!scope) return 0;
        if (!json_object_is_type(scope, json_type_object)) {
            KEST_RAISE(ERR_SERVICE_CONFIG, kModule);
            return -1;
        }
    }
    return XLIBCServiceCfgListGetFromArray(scope, row->key, list) < 0 ? -1 : 0;
}

int XLIBCServiceCfgInfoSet(const char *service, int info, const SzList *list) {
    static const char *const kModule = "servicecfg_config_info_set";
    const Info *row = FindInfo(info);
    if (!service || !row) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    Json layer(XLIBCServiceCfgRootObjectGet(service, row->layer));
    if (!layer.obj) {
        KEST_LOG(LOG_ERR, kModule, "Failed to get json object for set service config info");
        return -1;
    }
    if (!json_object_is_type(layer.obj, json_type_object)) {
        KEST_RAISE(ERR_SERVICE_CONFIG, kModule);
        return -1;
    }
    json_object *scope = layer.obj;
    if (row->inside) {
        scope = Member(layer.obj, row->inside);
        if (!scope || !json_object_is_type(scope, json_type_object)) {
            json_object_object_del(layer.obj, row->inside);
            scope = json_object_new_object();
            json_object_object_add(layer.obj, row->inside, scope);
        }
    }
    json_object_object_del(scope, row->key);
    if (list && list->count > 0) {
        json_object *array = json_object_new_array();
        for (int i = 0; i < list->count; ++i) json_object_array_add(array, json_object_new_string(list->items[i]));
        json_object_object_add(scope, row->key, array);
    }
    return XLIBCServiceCfgLayerSet(service, layer.obj, row->layer);
}

}
