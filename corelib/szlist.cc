#include "kest/szlist.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "internal/raise.h"
#include "kest/unicode.h"

namespace {

constexpr int kHeader = 32;
constexpr int kPointer = 8;
constexpr int kMinSize = 512;

static_assert(sizeof(SzList) == kHeader, "list header layout");
static_assert(sizeof(char *) == kPointer, "list items are 8-byte pointers");

bool IsPlaceholder(const SzList *list, const char *item) { return item == list->empty; }

int StringCost(const char *s) { return static_cast<int>(strlen(s)) + 1 + kPointer; }

SzList *NewBlock(int size) {
    auto *list = static_cast<SzList *>(malloc(static_cast<size_t>(size)));
    if (!list) return nullptr;
    list->size = size;
    list->count = 0;
    list->free = size - kHeader;
    list->sort = SZLIST_UNSORTED;
    char *base = reinterpret_cast<char *>(list);
    list->bottom = base + size;
    list->empty = base + size - 1;
    *list->empty = '\0';
    return list;
}

// Copies s below the string bottom; the caller has checked the room.
char *CopyString(SzList *list, const char *s) {
    size_t len = strlen(s) + 1;
    list->bottom -= len;
    memcpy(list->bottom, s, len);
    return list->bottom;
}

int ByteCompare(const char *a, const char *b) {
    int c = strcmp(a, b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

using Compare = int (*)(const char *, const char *);

Compare CompareFor(int sort) { return sort == SZLIST_SORTED_CASE ? XLIBCUtf8StrCaseCmp : ByteCompare; }

// Index of an equal item, or -(low + 1) where it would go. A comparison
// error ends the search as not found at the current low.
int BinarySearch(const SzList *list, const char *s, Compare cmp) {
    int low = 0, high = list->count - 1;
    while (low <= high) {
        int middle = (low + high) / 2;
        int c = cmp(s, list->items[middle]);
        if (c == -2) break;
        if (c < 0)
            high = middle - 1;
        else if (c > 0)
            low = middle + 1;
        else
            return middle;
    }
    return -(low + 1);
}

int LinearFind(const SzList *list, const char *s, bool ignore_case) {
    for (int i = 0; i < list->count; ++i) {
        const char *item = list->items[i];
        if (IsPlaceholder(list, item)) continue;
        if (ignore_case ? XLIBCUtf8StrCaseCmp(s, item) == 0 : strcmp(s, item) == 0) return i;
    }
    return -1;
}

// Find by the list's own mode: binary search when sorted, else linear.
int FindByMode(const SzList *list, const char *s) {
    if (list->sort == SZLIST_SORTED || list->sort == SZLIST_SORTED_CASE) {
        int at = BinarySearch(list, s, CompareFor(list->sort));
        return at >= 0 ? at : -1;
    }
    return LinearFind(list, s, false);
}

SzList *Expand(SzList *list) {
    if (list->size > (1 << 29)) {
        KEST_RAISE(ERR_OUT_OF_MEMORY, "list_expand");
        return nullptr;
    }
    SzList *bigger = NewBlock(list->size * 2);
    if (!bigger) {
        KEST_RAISE(ERR_OUT_OF_MEMORY, "list_expand");
        return nullptr;
    }
    bigger->sort = list->sort;
    bigger->count = list->count;
    for (int i = 0; i < list->count; ++i) {
        const char *item = list->items[i];
        if (IsPlaceholder(list, item)) {
            bigger->items[i] = bigger->empty;
            bigger->free -= kPointer;
        } else {
            bigger->items[i] = CopyString(bigger, item);
            bigger->free -= StringCost(item);
        }
    }
    free(list);
    return bigger;
}

// Stores s at index (ignored in a sorted list), growing the block as needed.
int Insert(SzList **handle, const char *s, int index) {
    static const char *const kModule = "list_insert";
    if (!handle || !*handle || !s || index < 0) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return -1;
    }
    SzList *list = *handle;
    if (list->sort == SZLIST_SORTED || list->sort == SZLIST_SORTED_CASE) {
        int at = BinarySearch(list, s, CompareFor(list->sort));
        index = at >= 0 ? at : -(at + 1);
    }
    long needed = static_cast<long>(strlen(s)) + 1 + kPointer;
    if (index > list->count) needed += static_cast<long>(index - list->count) * kPointer;
    while (list->free < needed) {
        SzList *bigger = Expand(list);
        if (!bigger) {
            KEST_RAISE(ERR_OUT_OF_MEMORY, kModule);
            return -1;
        }
        *handle = list = bigger;
    }
    char *copy = CopyString(list, s);
    if (index < list->count) {
        memmove(&list->items[index + 1], &list->items[index],
                static_cast<size_t>(list->count - index) * sizeof(char *));
        ++list->count;
    } else {
        for (int i = list->count; i < index; ++i) list->items[i] = list->empty;
        list->count = index + 1;
    }
    list->items[index] = copy;
    list->free -= static_cast<int>(needed);
    return index;
}

void DropPlaceholders(SzList *list) {
    int kept = 0;
    for (int i = 0; i < list->count; ++i)
        if (!IsPlaceholder(list, list->items[i])) list->items[kept++] = list->items[i];
    list->free += (list->count - kept) * kPointer;
    list->count = kept;
}

int UsedBytes(const SzList *list) { return list->size - list->free; }

// Pushes each item of `from` that keep() accepts; false when a push failed.
template <typename Keep>
bool PushEach(SzList **to, const SzList *from, Keep keep) {
    for (int i = 0; i < from->count; ++i) {
        const char *item = from->items[i];
        if (IsPlaceholder(from, item) || !keep(item)) continue;
        if (Insert(to, item, (*to)->count) < 0) return false;
    }
    return true;
}

}  // namespace

extern "C" {

SzList *XLIBCSzListAlloc(int size) {
    SzList *list = NewBlock(std::max(size, kMinSize));
    if (!list) KEST_RAISE(ERR_OUT_OF_MEMORY, "list_alloc");
    return list;
}

void XLIBCSzListFree(SzList *list) { free(list); }

int XLIBCSzListPush(SzList **handle, const char *string) {
    if (!handle || !*handle) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "list_insert");
        return -1;
    }
    return Insert(handle, string, (*handle)->count);
}

const char *XLIBCSzListGet(const SzList *list, int index) {
    if (!list || index < 0 || index >= list->count) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "list_get");
        return nullptr;
    }
    return list->items[index];
}

int XLIBCSzListFind(const SzList *list, const char *string) {
    if (!list || !string || list->sort == SZLIST_SORTED_CASE) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "list_find");
        return -1;
    }
    if (list->sort == SZLIST_SORTED) {
        int at = BinarySearch(list, string, ByteCompare);
        return at >= 0 ? at : -1;
    }
    return LinearFind(list, string, false);
}

int XLIBCSzListCaseFind(const SzList *list, const char *string) {
    if (!list || !string || list->sort == SZLIST_SORTED) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "list_case_find");
        return -1;
    }
    if (list->sort == SZLIST_SORTED_CASE) {
        int at = BinarySearch(list, string, XLIBCUtf8StrCaseCmp);
        return at >= 0 ? at : -1;
    }
    return LinearFind(list, string, true);
}

const char *XLIBCSzListRemove(SzList *list, int index) {
    if (!list || index < 0 || index >= list->count) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "list_remove");
        return nullptr;
    }
    const char *item = list->items[index];
    memmove(&list->items[index], &list->items[index + 1], static_cast<size_t>(list->count - index - 1) * sizeof(char *));
    --list->count;
    list->free += kPointer;
    return item;
}

void XLIBCSzListRemoveAll(SzList *list) {
    if (!list) return;
    list->count = 0;
    list->bottom = reinterpret_cast<char *>(list) + list->size;
    list->free = list->size - kHeader;
}

void XLIBCSzListSort(SzList *list, int mode) {
    if (!list) return;
    if (list->sort == SZLIST_UNSORTED && (mode & (SZLIST_SORTED | SZLIST_SORTED_CASE))) {
        DropPlaceholders(list);
        Compare cmp = (mode & SZLIST_SORTED) ? ByteCompare : XLIBCUtf8StrCaseCmp;
        std::stable_sort(list->items, list->items + list->count,
                         [cmp](const char *a, const char *b) { return cmp(a, b) == -1; });
    }
    list->sort = mode;
}

void XLIBCSzListCompact(SzList *list) {
    if (list) DropPlaceholders(list);
}

SzList *XLIBCSzListOr(SzList **handle, const SzList *second, int flags) {
    static const char *const kModule = "list_or";
    if (!handle || !*handle || !second) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return nullptr;
    }
    SzList *first = *handle;
    if (first->sort != second->sort && first->sort != SZLIST_UNSORTED && second->sort != SZLIST_UNSORTED) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        return nullptr;
    }
    const bool in_place = !(flags & SZLIST_OR_NEW);
    if (in_place) DropPlaceholders(first);

    // The union is built in a fresh block either way; in place it then
    // replaces the first list, so a failure leaves that list as it was.
    int size = UsedBytes(first) + UsedBytes(second);
    if (in_place) size = std::max(size, first->size);
    SzList *result = XLIBCSzListAlloc(size);
    if (!result) return nullptr;

    bool ok;
    const bool first_sorted = first->sort != SZLIST_UNSORTED;
    const bool second_sorted = second->sort != SZLIST_UNSORTED;
    if (!first_sorted && second_sorted) {
        auto not_in_second = [&](const char *s) { return FindByMode(second, s) < 0; };
        auto all = [](const char *) { return true; };
        ok = in_place ? PushEach(&result, first, not_in_second) && PushEach(&result, second, all)
                      : PushEach(&result, second, all) && PushEach(&result, first, not_in_second);
    } else {
        // Sorted lists merge through sorted insertion; a sorted first list
        // with an unsorted second stays unsorted as a new list.
        if (first_sorted && (in_place || second_sorted)) result->sort = first->sort;
        const SzList *against_first = first;
        ok = PushEach(&result, first, [](const char *) { return true; }) &&
             PushEach(&result, second, [&](const char *s) {
                 // In place, a repeated item of the second list goes in once.
                 const SzList *pool = in_place ? result : against_first;
                 if (pool->sort == SZLIST_UNSORTED || first->sort == SZLIST_UNSORTED)
                     return LinearFind(pool, s, false) < 0;
                 int at = BinarySearch(pool, s, CompareFor(first->sort));
                 return at < 0;
             });
    }
    if (!ok) {
        XLIBCSzListFree(result);
        return nullptr;
    }
    if (in_place) {
        XLIBCSzListFree(first);
        *handle = result;
    }
    return result;
}

SzList *XLIBCSzListExpand(SzList *list) {
    if (!list) {
        KEST_RAISE(ERR_BAD_PARAMETERS, "list_expand");
        return nullptr;
    }
    return Expand(list);
}

int XLIBCSzListDump2Str(const SzList *list, const char *separator, char *buffer, int size) {
    static const char *const kModule = "list_dump_2_str";
    if (!list || !separator || !buffer || size < 1) {
        KEST_RAISE(ERR_BAD_PARAMETERS, kModule);
        KEST_LOG(LOG_ERR, kModule, "Parameter error");
        return -1;
    }
    memset(buffer, 0, static_cast<size_t>(size));
    size_t len = 0, sep_len = strlen(separator);
    for (int i = 0; i < list->count; ++i) {
        size_t piece = strlen(list->items[i]) + (i > 0 ? sep_len : 0);
        if (len + piece + 1 > static_cast<size_t>(size)) {
            KEST_RAISE(ERR_JOIN_BUFFER, kModule);
            return -1;
        }
        if (i > 0) memcpy(buffer + len, separator, sep_len);
        strcpy(buffer + len + (i > 0 ? sep_len : 0), list->items[i]);
        len += piece;
    }
    return static_cast<int>(len);
}

}
