/*
 * iSCSI endpoint library (stand-in): the appliance's LUN configuration.
 *
 * KESTiSCSIConfGet fills a holder with every LUN record, in a stable order,
 * on an intrusive list; KESTiSCSIConfFree releases all of it and is called
 * once after every load, successful or not. Records may be copied whole.
 */
#ifndef KESTISCSIEP_H
#define KESTISCSIEP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ISCSI_LOAD_LUN 0x7000u /* load mask: the LUN records */

typedef struct KEST_LIST_HEAD {
    struct KEST_LIST_HEAD *next, *prev;
} KEST_LIST_HEAD;

typedef struct _tag_iscsi_lun_ {
    KEST_LIST_HEAD list; /* link in the holder's LUN list */
    char guid[64];       /* UUID-shaped text, NUL-terminated */
    char name[64];
    uint32_t type;       /* type mask */
    uint64_t size;       /* bytes */
} ISCSI_LUN;

typedef struct _tag_iscsi_conf_query_ {
    uint32_t load_mask; /* what to load */
    uint32_t reserved[7];
} ISCSI_CONF_QUERY;

typedef struct _tag_iscsi_conf_ {
    KEST_LIST_HEAD luns;    /* ISCSI_LUN records */
    KEST_LIST_HEAD targets; /* not used here */
} ISCSI_CONF;

/* 0 on success; any other value is failure (the holder may hold a part). */
int KESTiSCSIConfGet(const ISCSI_CONF_QUERY *query, ISCSI_CONF *conf);
void KESTiSCSIConfFree(ISCSI_CONF *conf);

#ifdef __cplusplus
}
#endif

#endif
