// The cluster daemons, the node status file, node and pair states.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "ha_log.h"
#include "kest/proc.h"

namespace {

constexpr const char *kStatusFile = "/tmp/ha/ha_node_status";

struct Word {
    const char *text;
    int flag;
};
constexpr Word kWords[] = {{"UNCLEAN", HA_ST_UNCLEAN}, {"ONLINE", HA_ST_ONLINE},   {"OFFLINE", HA_ST_OFFLINE},
                           {"STANDBY", HA_ST_STANDBY}, {"ONFAIL", HA_ST_ONFAIL},   {"PENDING", HA_ST_PENDING}};

enum NodeState { kUndetermined = 0, kOffSelf = 1, kOffOther = 2, kOnline = 3, kOnlineCond = 4, kOfflineCond = 5,
                 kOffline = 6, kFailed = 7 };

int FlagsOf(const char *status) {
    int flags = 0;
    for (const Word &w : kWords)
        if (strstr(status, w.text)) flags |= w.flag;
    return flags;
}

// The own name as the HA package saved it, without its line end: the
// configured names never carry one.
std::string WithoutLineEnd(const char *name) {
    std::string s(name);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace

extern "C" {

int HADaemonsAlive(void) {
    int corosync = XLIBCProcAliveByPidFile("/var/run/corosync.pid");
    int pacemaker = XLIBCProcAliveByPidFile("/var/run/pacemaker.pid");
    if (corosync != pacemaker) HA_ERROR("ERROR. corosync:%d. pcmk:%d.", corosync, pacemaker);
    return corosync && pacemaker ? 1 : 0;
}

int HANodeStatusGet(const char *name) {
    std::map<std::string, int> nodes;
    if (FILE *f = fopen(kStatusFile, "re")) {
        char *line = nullptr;
        size_t cap = 0;
        for (ssize_t n; (n = getline(&line, &cap, f)) >= 0;) {
            if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
            char *colon = strchr(line, ':');
            if (!colon) continue;
            *colon = '\0';
            nodes[line] = FlagsOf(colon + 1);
        }
        free(line);
        fclose(f);
    } else {
        HA_ERROR("Failed to open /tmp/ha/ha_node_status: %m");
    }
    if (!name) {
        HA_ERROR("%s", strerror(EINVAL));
        return 0;
    }
    auto it = nodes.find(name);
    return it == nodes.end() ? 0 : it->second;
}

int HANodeStateGet(int selector) {
    if (selector == 0) return kUndetermined;
    if (!HAIsRunning() || !HADaemonsAlive()) return selector == HA_NODE_SELF || selector == HA_NODE_HOST0 ? kOffSelf : kOffOther;
    char own[64] = {};
    int r = HAHostnameOriginalGet(own);
    if (r == 0 || r == -1) HA_ERROR("Failed to get host name");
    char host0[64] = {}, host1[64] = {};
    if (HAConfGet(HA_CONF_HOST0, 0, host0, sizeof host0) != 0) host0[0] = '\0';
    if (HAConfGet(HA_CONF_HOST1, 0, host1, sizeof host1) != 0) host1[0] = '\0';

    const char *selected = nullptr;
    if (selector == HA_NODE_SELF || selector == HA_NODE_OTHER) {
        std::string me = WithoutLineEnd(own);
        if (me == host0) {
            selected = selector == HA_NODE_SELF ? host0 : host1;
        } else if (me == host1) {
            selected = selector == HA_NODE_SELF ? host1 : host0;
        } else {
            HA_INFO("Failed to check node %d", selector);
            return kUndetermined;
        }
    } else if (selector == HA_NODE_HOST0) {
        selected = host0;
    } else if (selector == HA_NODE_HOST1) {
        selected = host1;
    } else {
        return kUndetermined;
    }
    if (!selected[0]) return kOffOther;
    int flags = HANodeStatusGet(selected);
    HA_INFO("node:%d. crmst:0x%x", selector, flags);
    if (flags & HA_ST_ONFAIL) return kFailed;
    if ((flags & ~HA_ST_UNCLEAN) == HA_ST_OFFLINE) return kOffline;
    if (flags & HA_ST_OFFLINE) return kOfflineCond;
    if (flags & HA_ST_ONLINE) return flags == HA_ST_ONLINE ? kOnline : kOnlineCond;
    return kUndetermined;
}

int HAClusterStateGet(void) {
    if (!HAIsRunning() || !HADaemonsAlive()) return 4;
    int a = HANodeStateGet(HA_NODE_HOST0);
    int b = HANodeStateGet(HA_NODE_HOST1);
    if (a == kOffSelf || b == kOffSelf) return 4;
    if (a == kOnline && b == kOnline) return 1;
    if (a == kFailed || b == kFailed) return 3;
    if ((a == kOnline && b == kOffOther) || (a == kOffOther && b == kOnline)) return 5;
    return 2;
}

int HAHasPassiveServer(void) {
    switch (HAClusterStateGet()) {
        case 1:
        case 2:
            return 1;
        case 5:
            return 0;
        default:
            return -1;
    }
}

}
