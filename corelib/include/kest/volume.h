/*
 * Volumes and file systems: path classes and volume roots, the storage
 * stack's volume table "/run/keststorage/volumetab", mounted file systems
 * from "/proc/mounts" and statfs, directory creation with owner and mode,
 * and a volume's attribute word.
 *
 * Lists and records returned here are owned by the caller and freed with
 * the matching Free call. No state, no locks: each call reads the tables
 * once. Failures leave a code in the thread's error record (kest/error.h).
 */
#ifndef KEST_VOLUME_H
#define KEST_VOLUME_H

#include <stdint.h>
#include <sys/types.h>

#include <kest/export.h>
#include <kest/szlist.h>

KEST_BEGIN_DECLS

/* Path classes, also used as filters. */
enum {
    VOL_CLASS_VOLUME = 0x01,  /* /volumeN, /volumeN.snap_M */
    VOL_CLASS_X = 0x02,       /* /volumeXN */
    VOL_CLASS_USB = 0x04,     /* /volumeUSBN/usbshare... */
    VOL_CLASS_SATA = 0x08,    /* /volumeSATA.../satashare... */
    VOL_CLASS_GLUSTER = 0x40  /* /volumeGlusterN */
};

/* Volume table codes. */
enum {
    VOLTAB_STATUS_NORMAL = 1, VOLTAB_STATUS_CRASHED = 2,
    VOLTAB_TASK_NONE = 1, VOLTAB_TASK_BUILDING = 2,
    VOLTAB_CNR_CROSS = 1, VOLTAB_CNR_INTERNAL = 2, VOLTAB_CNR_EUNIT = 4, VOLTAB_CNR_OTHER = 8,
    VOLTAB_LOC_INTERNAL = 1, VOLTAB_LOC_EUNIT = 2, VOLTAB_LOC_USB = 4, VOLTAB_LOC_ESATA = 8
};

/* Filter answers of KESTVolumeTableEnum. */
enum { VOLTAB_KEEP = 0, VOLTAB_DROP = 1, VOLTAB_KEEP_STOP = 2, VOLTAB_ABORT = 3 };

/* Flags of the mounted-volume lists. */
enum {
    VOLINFO_WITH_GLUSTER = 0x1,  /* include volumes serving the cluster file system */
    VOLINFO_WITH_HIDDEN = 0x2    /* include volumes whose attribute has bit 0x2 */
};

typedef struct KEST_VOLUME_PATH {
    int32_t number;
    int32_t cls;
} KEST_VOLUME_PATH;

typedef struct KEST_VOLUME_ROOT {
    char root[128];
    int32_t cls;
} KEST_VOLUME_ROOT;

typedef struct KESTVOLTAB {
    char device[128];
    char mount_point[128];
    int32_t status;
    int32_t task;
    int32_t container;
    int32_t location;
    struct KESTVOLTAB *next;
} KESTVOLTAB;

typedef struct KESTVOLTAB_FILTER {
    int (*fn)(const KESTVOLTAB *record, void *context);
    void *context;
} KESTVOLTAB_FILTER;

typedef struct FS_INFO {
    char path[256];
    char device[256];
    uint64_t available;
    uint64_t total;
    int32_t access; /* 2 read-only, 1 read-write */
    int32_t type;   /* file-system type code */
    uint64_t free_inodes;
    uint64_t total_inodes;
} FS_INFO;

typedef struct tag_KESTVOLINFOLIST {
    int32_t number;
    int32_t cls;
    int32_t container;
    int32_t fs_type; /* -1 when not mounted or unknown */
    char device[32];
    int32_t mounted;
    char mount_point[32];
    uint64_t available;
    uint64_t total;
    int32_t usable;
    struct tag_KESTVOLINFOLIST *next;
} KESTVOLINFOLIST;

typedef struct KEST_FS_PATH_FILTER {
    const char *prefix; /* null: any */
    int flags;          /* 0: any; 0x1 read-write, 0x2 read-only */
} KEST_FS_PATH_FILTER;

KEST_API int KESTVolumePathParse(const char *path, KEST_VOLUME_PATH *out);
KEST_API int KESTVolumeMountPathGet(const char *path, KEST_VOLUME_ROOT *out);
/* Records from the last accepted line to the first. */
KEST_API int KESTVolumeTableEnum(KESTVOLTAB **head, const KESTVOLTAB_FILTER *filter);
KEST_API void KESTVolumeTableFree(KESTVOLTAB *head);
KEST_API KESTVOLINFOLIST *KESTMountVolInfoEnum(int first_only, int flags);
KEST_API KESTVOLINFOLIST *KESTMountVolAllEnum(int first_only, int location_mask, int flags);
KEST_API void KESTMountVolInfoFree(KESTVOLINFOLIST *head);
/* 1 found (*info set, free with KESTFSInfoFree), 0 not found or not recognised, -1 on error. */
KEST_API int KESTFSInfoGet(const char *mount_point, FS_INFO **info);
KEST_API void KESTFSInfoFree(FS_INFO *info);
KEST_API uint64_t KESTFSGetFSAvailSize(const char *path);
KEST_API int KESTFSPathEnum(const KEST_FS_PATH_FILTER *filter, SzList **list);
/*
 * Creates every missing directory of path. mode -1: 0777 under the umask;
 * any other mode exactly. Owner and group (both -1: unchanged) go to the
 * directories made by this call only. replace: a non-directory in the way
 * is replaced by a directory. *position (may be null) points into path at
 * the failing component, or its end on success.
 */
KEST_API int KESTFSMkdirP(const char *path, const char **position, int replace, uid_t owner, gid_t group, int mode);
KEST_API int KESTVolumeAttributeGet(const char *path, int32_t *attribute);
KEST_API int KESTVolumeIsUsedByGlusterfs(const char *path);

KEST_END_DECLS

#endif
