/*
 * Storage core and storage-management libraries (stand-ins): the
 * appliance's spaces.
 *
 * The stand-in reads /run/kest-platform/spaces, one space a line:
 *   PATH POOL_PATH MIN_DISK_SIZE MEMBER_SIZE UI_ID
 * MIN_DISK_SIZE "fail" makes the minimum query fail for that space.
 * MEMBER_SIZE is the bytes allocated to the space on its first member; a
 * space whose first member has nothing allocated yet sets no minimum, and
 * this is the member value that gates the minimum (see
 * KESTSpaceMinDiskSizeGet's callers).
 */
#ifndef KESTSTORAGE_H
#define KESTSTORAGE_H

#include <stdint.h>

#ifdef __cplusplus
#include <string>
extern "C" {
#endif

typedef struct _space_member_ {
    char path[128];          /* member device */
    uint64_t allocated_size; /* 0: nothing allocated, no minimum */
    struct _space_member_ *next;
} SPACE_MEMBER;

typedef struct _space_info_ {
    char path[128];      /* "/volume1": first, so the record reads as its path */
    char pool_path[128]; /* "/dev/vg1" */
    SPACE_MEMBER *members;
    uint64_t min_disk_size; /* private to the library */
    int min_fails;          /* private to the library */
    struct _space_info_ *next;
} SPACE_INFO;

typedef struct _space_min_size_req_ {
    const SPACE_INFO *space;
    uint64_t reserved[3];
} SPACE_MIN_SIZE_REQ;

/* Null when no space matches or the spaces cannot be read. */
SPACE_INFO *KESTSpaceInfoEnum(int kinds, SPACE_INFO **list);
void KESTSpaceInfoFree(SPACE_INFO *list);
int KESTSpaceMinDiskSizeGet(const SPACE_MIN_SIZE_REQ *req, uint64_t *size);
struct SzList;
int KESTSpaceDiskSysPartitionCreateAndJoin(const struct SzList *disks, int flags);

#ifdef __cplusplus
}

enum _space_reference_type_ { SPACE_REF_PATH = 1, SPACE_REF_POOL_PATH = 4 };

namespace KEST::VUI::STORAGE_MANAGER {
class StorageUtil {
public:
    /* The web interface's id of a space, found by its pool path. */
    static std::string ToUISpaceID(_space_reference_type_ type, const std::string &reference);
};
}  // namespace KEST::VUI::STORAGE_MANAGER
#endif

#endif
