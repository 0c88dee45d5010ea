/*
 * The service configuration registry: one JSON object per service in up
 * to three layers, 0 "/usr/kest/etc/kestservice.d/<name>.cfg" (the
 * definition, validated), 1 "/usr/kest/etc/kestservice.override/<name>.cfg"
 * (administrator overrides) and 2 "/run/kestservice/service/<name>.cfg"
 * (run-time state). The merged view takes layer 0 and replaces its
 * top-level members by those of layer 1, then of layer 2 (shallow).
 *
 * JSON objects are json-c objects; a caller releases what a Get returns
 * with json_object_put. Writers replace a layer file whole by rename; no
 * locking. A malformed layer-1 or layer-2 file is deleted when read; a
 * malformed layer-0 file is moved to kestservice.d/error by the
 * enumeration. Failures leave a code in the thread's error record.
 */
#ifndef KEST_SERVICECFG_H
#define KEST_SERVICECFG_H

#include <kest/export.h>
#include <kest/szlist.h>

KEST_BEGIN_DECLS

struct json_object;

/* Configuration-info ids: one string array each. */
enum {
    SVC_INFO_VOLUME = 0x001,               /* required_resource.volume, layer 1 */
    SVC_INFO_SHARE = 0x002,                /* required_resource.share, layer 1 */
    SVC_INFO_UPSTART = 0x004,              /* init_job_map.upstart, layer 1 */
    SVC_INFO_SYSV = 0x008,                 /* init_job_map.sysv, layer 1 */
    SVC_INFO_REQUIRED_SERVICE = 0x010,     /* required_kestservice, layer 1 */
    SVC_INFO_CONFLICT_SERVICE = 0x020,     /* conflict_kestservice, layer 1 */
    SVC_INFO_FIREWALL = 0x040,             /* firewall_section_map, layer 1 */
    SVC_INFO_CUSTOM = 0x080,               /* custom, layer 2 */
    SVC_INFO_REQUEST_SERVICE = 0x100       /* request_service, layer 1 */
};

/* Run keys. */
enum { SVC_RUN_START = 1, SVC_RUN_NO_START = 2, SVC_RUN_PAUSED = 3 };

KEST_API int XLIBCServiceCfgPathGet(int layer, const char *service, char *buffer, int size);
KEST_API struct json_object *XLIBCServiceCfgRootObjectGet(const char *service, int layer);
KEST_API struct json_object *XLIBCServiceCfgMergedGet(const char *service);
KEST_API int XLIBCServiceCfgRootObjectSet(const char *path, struct json_object *object);
KEST_API int XLIBCServiceCfgLayerSet(const char *service, struct json_object *object, int layer);
KEST_API int XLIBCServiceCfgValidate(const char *path);
/* Appends the full paths of the valid layer-0 files. */
KEST_API int XLIBCServiceCfgEnum(SzList **list);
/* Appends the service names. */
KEST_API int XLIBCServiceEnum(SzList **list);
/* 1 found (copied, truncated to size - 1), 0 absent, -1 on error. */
KEST_API int XLIBCServiceCfgStringValueGet(const char *service, const char *key, char *buffer, int size);
KEST_API int XLIBCServiceCfgRunKeyGet(const char *service, int *run_key);
KEST_API int XLIBCServiceIsEnabled(const char *service);
KEST_API int XLIBCServiceIsPackage(const char *service);
KEST_API int XLIBCServiceCfgInfoGet(const char *service, int info, SzList **list);
/* An empty or null list removes the entry. */
KEST_API int XLIBCServiceCfgInfoSet(const char *service, int info, const SzList *list);
/* Appends the array's strings not yet in the list; returns the list's count. */
KEST_API int XLIBCServiceCfgListGetFromArray(struct json_object *object, const char *key, SzList **list);

KEST_END_DECLS

#endif
