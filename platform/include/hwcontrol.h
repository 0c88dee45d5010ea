/*
 * Disk and hardware-control library (stand-in): the appliance's disks, by
 * device path and by position, and their activities.
 *
 * The stand-in reads /run/kest-platform/disks, one disk a line:
 *   NAME UNIT SLOT KIND [parts=N] [smart=1] [perf=1] [led=1] [host=NAME]
 * NAME without "/dev/", KIND one of sata, sas, usb, eunit, ssdcache.
 * Calls that change something are appended to /run/kest-platform/journal;
 * a function named in /run/kest-platform/fail fails.
 */
#ifndef HWCONTROL_H
#define HWCONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Disk kinds, one bit each; filters combine them. */
#define DISK_KIND_SATA 0x01u
#define DISK_KIND_SAS 0x02u
#define DISK_KIND_USB 0x04u
#define DISK_KIND_EUNIT 0x08u
#define DISK_KIND_SSD_CACHE 0x20u /* 32 */

typedef struct _tag_disk_id_ {
    char name[32];      /* "sda", "nvme0n1" */
    uint32_t unit;
    uint32_t slot;
    uint32_t partition; /* 0: the whole disk */
} DISK_ID;

typedef struct _tag_disk_info_ {
    char path[128]; /* "/dev/sda" */
    char name[32];
    uint32_t unit;
    uint32_t slot;
    uint32_t kind;
} DISK_INFO;

typedef struct _tag_disk_info_list_ {
    DISK_INFO *disk; /* may be null */
    struct _tag_disk_info_list_ *next;
} DISK_INFO_LIST;

typedef struct _tag_disk_filter_ {
    const uint32_t *kinds; /* mask of DISK_KIND_* to list */
    uint32_t reserved[4];
} DISK_FILTER;

int DiskPathParse(const char *path, DISK_ID *id);
int DiskGetLocation(const DISK_ID *id, const char *path, uint32_t *unit, uint32_t *slot);
int DiskIdToString(const DISK_ID *id, char *buf, int size);
int DiskInfoEnum(const DISK_FILTER *filter, DISK_INFO_LIST **list);
void DiskInfoEnumFree(DISK_INFO_LIST *list);
/* The whole-disk path of the disk in a slot (SSD-cache devices sit in no slot). */
int KESTDiskDevicePathGetByPosition(uint32_t slot, uint32_t unit, char *buf, int size);
int KESTDiskDevicePartitionPathGet(const char *disk_path, uint32_t partition, char *buf, int size);
int KESTDiskLocateHostGet(const char *disk_path, char *buf, int size, int flags);
int KESTDiskIsSmartTesting(const char *disk_path);
int KESTDiskSmartTestStop(const char *disk_path);
int KESTDiskIsPerformanceTesting(const char *disk_path);
int KESTDiskLedStatusGet(const char *disk_path, int *status);
int KESTDiskLedStatusRestore(const char *disk_path);
int KESTDiskMd1Recover(const char *disk_path);
int KESTDiskUpdateCheckFile(const char *path, int flags);

#ifdef __cplusplus
}
#endif

#endif
