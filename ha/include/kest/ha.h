/*
 * HA cluster queries: is HA running on this appliance, is this node the
 * active one, what the HA configuration says, and the state of the pair.
 *
 * Conventions: int results as each function says, no exceptions, no state
 * in memory. The library's own files are the not-running flag
 * "/tmp/.ha.not.running" (created when HA is found off, never removed) and
 * the value cache "/tmp/.ha.conf" (grows, never refreshed). Log lines go
 * through HALog with the prefix "[HA-<level>] <file>:<line>: ".
 * Single-threaded use.
 */
#ifndef KEST_HA_H
#define KEST_HA_H

#ifdef __cplusplus
extern "C" {
#endif

/* Key types of HAConfGet (indexed types take an index 0..11). */
enum {
    HA_CONF_HOST0 = 7,
    HA_CONF_HOST1 = 8,
    HA_CONF_COROSYNC_KEY = 12, /* never cached */
    HA_CONF_HA_IF = 30         /* first indexed type */
};

/* Node selectors of HANodeStateGet. */
enum {
    HA_NODE_SELF = 1,
    HA_NODE_OTHER = 2,
    HA_NODE_HOST0 = 3,
    HA_NODE_HOST1 = 4
};

/* Status flags of HANodeStatusGet. */
enum {
    HA_ST_UNCLEAN = 0x02,
    HA_ST_ONLINE = 0x04,
    HA_ST_OFFLINE = 0x08,
    HA_ST_STANDBY = 0x10,
    HA_ST_ONFAIL = 0x20,
    HA_ST_PENDING = 0x40
};

void HALog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
int HAIsRunning(void);
int HAIsActive(void);
/* 0 with the value (truncated to size) in out; -1 on any failure. */
int HAConfGet(int type, int index, char *out, int size);
/* out holds 64 bytes. 1 and the name; 0 when the system host name is empty; -1 on failure. */
int HAHostnameOriginalGet(char *out);
int HAHostnameGet(char *out);

int HADaemonsAlive(void);
int HANodeStatusGet(const char *name);
int HANodeStateGet(int selector);
int HAClusterStateGet(void);
/* 1 yes, 0 no passive server, -1 cannot tell. */
int HAHasPassiveServer(void);

#ifdef __cplusplus
}
#endif

#endif
