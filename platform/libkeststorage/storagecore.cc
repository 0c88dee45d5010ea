// Stand-in for the storage core library (see keststorage.h).
#include "keststorage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kest/szlist.h"
#include "standin_state.h"

#define EXPORT __attribute__((visibility("default")))

using kest::platform::Journal;
using kest::platform::ShouldFail;

extern "C" {

EXPORT SPACE_INFO *KESTSpaceInfoEnum(int kinds, SPACE_INFO **list) {
    if (list) *list = nullptr;
    std::vector<std::vector<std::string>> lines;
    if (kinds == 0 || ShouldFail("KESTSpaceInfoEnum") || !kest::platform::ReadState("spaces", &lines)) return nullptr;
    SPACE_INFO *head = nullptr, **tail = &head;
    for (const auto &w : lines) {
        if (w.size() < 5) continue;
        auto *s = static_cast<SPACE_INFO *>(calloc(1, sizeof(SPACE_INFO)));
        snprintf(s->path, sizeof s->path, "%s", w[0].c_str());
        snprintf(s->pool_path, sizeof s->pool_path, "%s", w[1].c_str());
        s->min_fails = w[2] == "fail";
        s->min_disk_size = strtoull(w[2].c_str(), nullptr, 10);
        s->members = static_cast<SPACE_MEMBER *>(calloc(1, sizeof(SPACE_MEMBER)));
        snprintf(s->members->path, sizeof s->members->path, "%s", w[1].c_str());
        s->members->allocated_size = strtoull(w[3].c_str(), nullptr, 10);
        *tail = s;
        tail = &s->next;
    }
    if (list) *list = head;
    return head;
}

EXPORT void KESTSpaceInfoFree(SPACE_INFO *list) {
    while (list) {
        SPACE_INFO *next = list->next;
        for (SPACE_MEMBER *m = list->members; m;) {
            SPACE_MEMBER *n = m->next;
            free(m);
            m = n;
        }
        free(list);
        list = next;
    }
}

EXPORT int KESTSpaceMinDiskSizeGet(const SPACE_MIN_SIZE_REQ *req, uint64_t *size) {
    if (!req || !req->space || !size || req->space->min_fails || ShouldFail("KESTSpaceMinDiskSizeGet")) return -1;
    *size = req->space->min_disk_size;
    return 0;
}

EXPORT int KESTSpaceDiskSysPartitionCreateAndJoin(const struct SzList *disks, int flags) {
    std::vector<std::string> args;
    for (int i = 0; disks && i < disks->count; ++i) args.emplace_back(disks->items[i]);
    args.push_back(std::to_string(flags));
    Journal("KESTSpaceDiskSysPartitionCreateAndJoin", args);
    return ShouldFail("KESTSpaceDiskSysPartitionCreateAndJoin") ? -1 : 0;
}

}

