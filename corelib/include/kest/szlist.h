/*
 * String lists (SzList) and string hashes (SzHash).
 *
 * Each container is one heap block holding its header, its pointer table and
 * copies of all its strings; it is freed with one call and may be handed
 * across library boundaries as one handle. The layouts below are part of the
 * interface.
 *
 * A container may move when it grows: every operation that can add to one
 * takes the address of the caller's handle and updates it, also when it
 * fails after growing. Strings returned by Get or Remove point into the
 * block and stay valid until the container is freed, emptied or grown.
 *
 * Not synchronised: a container belongs to one thread at a time. Failures
 * leave a code in the thread's error record (kest/error.h) unless said
 * otherwise.
 */
#ifndef KEST_SZLIST_H
#define KEST_SZLIST_H

#include <stdint.h>

#include <kest/export.h>

KEST_BEGIN_DECLS

enum {
    SZLIST_UNSORTED = 0,
    SZLIST_SORTED = 0x01,       /* byte order */
    SZLIST_SORTED_CASE = 0x10,  /* XLIBCUtf8StrCaseCmp order */
    SZLIST_OR_NEW = 0x1000      /* XLIBCSzListOr: build the union in a new list */
};

/*
 * One block of `size` bytes (at least 512). Strings are packed downward from
 * the block's end; `empty` is the block's last byte, always 0, and serves as
 * the placeholder item (recognised by pointer identity) that fills gaps.
 */
typedef struct SzList {
    int32_t size;    /* bytes in the block */
    int32_t count;   /* items */
    int32_t free;    /* unused bytes between the pointer table and the strings */
    int32_t sort;    /* SZLIST_UNSORTED, SZLIST_SORTED or SZLIST_SORTED_CASE */
    char *bottom;    /* lowest byte used by string copies */
    char *empty;     /* shared empty string, the placeholder */
    char *items[];   /* count pointers into the string area */
} SzList;

typedef struct SzHashSlot {
    char *key;    /* null with a null value: empty; null with a value: deleted */
    char *value;
} SzHashSlot;

/* Header, `buckets` slots, then a string area of `strsize` bytes filled upward. */
typedef struct SzHash {
    int32_t strsize;
    int32_t strfree;
    int32_t buckets;
    int32_t count;
    char *next;           /* where the next string copy goes */
    SzHashSlot slots[];
} SzHash;

KEST_API SzList *XLIBCSzListAlloc(int size);
KEST_API void XLIBCSzListFree(SzList *list);
KEST_API int XLIBCSzListPush(SzList **handle, const char *string);
KEST_API const char *XLIBCSzListGet(const SzList *list, int index);
KEST_API int XLIBCSzListFind(const SzList *list, const char *string);
KEST_API int XLIBCSzListCaseFind(const SzList *list, const char *string);
KEST_API const char *XLIBCSzListRemove(SzList *list, int index);
KEST_API void XLIBCSzListRemoveAll(SzList *list);
KEST_API void XLIBCSzListSort(SzList *list, int mode);
KEST_API void XLIBCSzListCompact(SzList *list);
KEST_API SzList *XLIBCSzListOr(SzList **handle, const SzList *second, int flags);
/* Frees `list` on success; on failure (null) the old list is kept. */
KEST_API SzList *XLIBCSzListExpand(SzList *list);
KEST_API int XLIBCSzListDump2Str(const SzList *list, const char *separator, char *buffer, int size);

KEST_API SzHash *XLIBCSzHashAlloc(int strsize);
KEST_API void XLIBCSzHashFree(SzHash *hash);
KEST_API int XLIBCSzHashSetValue(SzHash **handle, const char *key, const char *value);
KEST_API const char *XLIBCSzHashGetValue(const SzHash *hash, const char *key);
KEST_API const char *XLIBCSzHashRemoveKey(SzHash *hash, const char *key);
/* Appends every key to *list (when list is not null); returns the key count. */
KEST_API int XLIBCSzHashEnumKey(const SzHash *hash, SzList **list);

KEST_END_DECLS

#endif
