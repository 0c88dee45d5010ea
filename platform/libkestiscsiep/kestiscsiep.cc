// Stand-in for the iSCSI endpoint library. The LUNs come from
// /run/kest-platform/iscsi_luns, one a line: "GUID TYPE-MASK [NAME]", the
// mask in C notation (0x10F). '#' starts a comment. A missing file is a
// failed load, as is a line that cannot be read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "kestiscsiep.h"

namespace {

constexpr const char *kLunFile = "/run/kest-platform/iscsi_luns";

void ListInit(KEST_LIST_HEAD *head) { head->next = head->prev = head; }

void ListAppend(KEST_LIST_HEAD *head, KEST_LIST_HEAD *item) {
    item->prev = head->prev;
    item->next = head;
    head->prev->next = item;
    head->prev = item;
}

bool Empty(const KEST_LIST_HEAD *head) { return !head->next || head->next == head; }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int KESTiSCSIConfGet(const ISCSI_CONF_QUERY *query, ISCSI_CONF *conf) {
    if (!query || !conf) return -1;
    if (Empty(&conf->luns)) ListInit(&conf->luns);
    if (Empty(&conf->targets)) ListInit(&conf->targets);
    if (!(query->load_mask & ISCSI_LOAD_LUN)) return 0;
    std::ifstream in(kLunFile);
    if (!in) return -1;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string guid, mask, name;
        if (!(words >> guid >> mask)) return -2;
        words >> name;
        char *end = nullptr;
        unsigned long type = strtoul(mask.c_str(), &end, 0);
        if (!end || *end || guid.size() >= sizeof(ISCSI_LUN::guid)) return -2;
        auto *lun = static_cast<ISCSI_LUN *>(calloc(1, sizeof(ISCSI_LUN)));
        if (!lun) return -3;
        snprintf(lun->guid, sizeof lun->guid, "%s", guid.c_str());
        snprintf(lun->name, sizeof lun->name, "%s", name.c_str());
        lun->type = static_cast<uint32_t>(type);
        ListAppend(&conf->luns, &lun->list);
    }
    return 0;
}

__attribute__((visibility("default"))) void KESTiSCSIConfFree(ISCSI_CONF *conf) {
    if (!conf || Empty(&conf->luns)) return;
    for (KEST_LIST_HEAD *p = conf->luns.next; p != &conf->luns;) {
        KEST_LIST_HEAD *next = p->next;
        free(reinterpret_cast<ISCSI_LUN *>(p));
        p = next;
    }
    ListInit(&conf->luns);
}

}
