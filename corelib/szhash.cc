#include <cstdlib>
#include <cstring>

#include "internal/raise.h"
#include "kest/szlist.h"

namespace {

constexpr int kInitialBuckets = 31;
constexpr int kMinStringArea = 512;

static_assert(sizeof(SzHash) == 24, "hash header layout");
static_assert(sizeof(SzHashSlot) == 16, "hash slot layout");

size_t BlockSize(int buckets, int strsize) {
    return sizeof(SzHash) + static_cast<size_t>(buckets) * sizeof(SzHashSlot) + static_cast<size_t>(strsize);
}

SzHash *NewHash(int buckets, int strsize) {
    auto *hash = static_cast<SzHash *>(calloc(1, BlockSize(buckets, strsize)));
    if (!hash) return nullptr;
    hash->strsize = strsize;
    hash->strfree = strsize;
    hash->buckets = buckets;
    hash->next = reinterpret_cast<char *>(&hash->slots[buckets]);
    return hash;
}

// Sum of the key's little-endian 32-bit words, the tail zero-padded.
uint32_t HashKey(const char *key) {
    size_t n = strlen(key);
    uint32_t sum = 0;
    const auto *p = reinterpret_cast<const unsigned char *>(key);
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        sum += static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 |
               static_cast<uint32_t>(p[i + 2]) << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
    uint32_t tail = 0;
    for (size_t shift = 0; i < n; ++i, shift += 8) tail |= static_cast<uint32_t>(p[i]) << shift;
    return sum + tail;
}

bool IsEmpty(const SzHashSlot &s) { return !s.key && !s.value; }

int Home(const SzHash *hash, const char *key) { return static_cast<int>(HashKey(key) % static_cast<uint32_t>(hash->buckets)); }

// Slot holding key, or -1. Deleted slots are passed over; an empty slot
// ends the probe.
int Lookup(const SzHash *hash, const char *key) {
    int home = Home(hash, key);
    for (int n = 0; n < hash->buckets; ++n) {
        int i = (home + n) % hash->buckets;
        const SzHashSlot &s = hash->slots[i];
        if (IsEmpty(s)) return -1;
        if (s.key && strcmp(s.key, key) == 0) return i;
    }
    return -1;
}

// Where a new key goes: its home slot if empty, else the first slot with
// a null key after it.
int FreeSlot(const SzHash *hash, const char *key) {
    int home = Home(hash, key);
    if (IsEmpty(hash->slots[home])) return home;
    for (int n = 1; n < hash->buckets; ++n) {
        int i = (home + n) % hash->buckets;
        if (!hash->slots[i].key) return i;
    }
    return -1;
}

char *CopyString(SzHash *hash, const char *s) {
    size_t len = strlen(s) + 1;
    char *copy = hash->next;
    memcpy(copy, s, len);
    hash->next += len;
    hash->strfree -= static_cast<int>(len);
    return copy;
}

bool TooFull(const SzHash *hash) {
    return static_cast<double>(hash->buckets - hash->count) / hash->buckets < 0.25;
}

// Makes room for `needed` string bytes and one more key; false on failure.
bool Grow(SzHash **handle, int needed) {
    SzHash *hash = *handle;
    bool too_full = TooFull(hash);
    if (needed < hash->strfree && !too_full) return true;
    long buckets = too_full ? 4L * hash->buckets - 5 : hash->buckets;
    long strsize = hash->strsize;
    if (needed >= hash->strfree) {
        long per_key = hash->count ? hash->strsize / hash->count : needed;
        strsize += per_key * (hash->buckets - hash->count) + needed;
    }
    if (buckets > (1L << 24) || strsize > (1L << 30)) return false;
    SzHash *bigger = NewHash(static_cast<int>(buckets), static_cast<int>(strsize));
    if (!bigger) return false;
    for (int i = 0; i < hash->buckets; ++i) {
        const SzHashSlot &s = hash->slots[i];
        if (!s.key) continue;
        int at = FreeSlot(bigger, s.key);
        bigger->slots[at].key = CopyString(bigger, s.key);
        bigger->slots[at].value = CopyString(bigger, s.value);
        ++bigger->count;
    }
    free(hash);
    *handle = bigger;
    return true;
}

}  // namespace

extern "C" {

SzHash *XLIBCSzHashAlloc(int strsize) {
    SzHash *hash = NewHash(kInitialBuckets, strsize < kMinStringArea ? kMinStringArea : strsize);
    if (!hash) KEST_RAISE(ERR_OUT_OF_MEMORY, "hash_allocator");
    return hash;
}

void XLIBCSzHashFree(SzHash *hash) { free(hash); }

int XLIBCSzHashSetValue(SzHash **handle, const char *key, const char *value) {
    if (!handle || !*handle || !key || !value) return -1;
    int at = Lookup(*handle, key);
    int value_len = static_cast<int>(strlen(value));
    if (at >= 0) {
        SzHashSlot &s = (*handle)->slots[at];
        if (value_len <= static_cast<int>(strlen(s.value))) {
            memcpy(s.value, value, static_cast<size_t>(value_len) + 1);
            return at;
        }
        if (!Grow(handle, value_len + 1)) return -1;
        at = Lookup(*handle, key);
        (*handle)->slots[at].value = CopyString(*handle, value);
        return at;
    }
    int needed = static_cast<int>(strlen(key)) + 1 + value_len + 1;
    if (!Grow(handle, needed)) return -1;
    SzHash *hash = *handle;
    at = FreeSlot(hash, key);
    if (at < 0) return -1;
    hash->slots[at].key = CopyString(hash, key);
    hash->slots[at].value = CopyString(hash, value);
    ++hash->count;
    return at;
}

const char *XLIBCSzHashGetValue(const SzHash *hash, const char *key) {
    if (!hash || !key) return nullptr;
    int at = Lookup(hash, key);
    return at >= 0 ? hash->slots[at].value : nullptr;
}

const char *XLIBCSzHashRemoveKey(SzHash *hash, const char *key) {
    if (!hash || !key) return nullptr;
    int at = Lookup(hash, key);
    if (at < 0) return nullptr;
    // The value pointer stays as the deleted mark.
    hash->slots[at].key = nullptr;
    --hash->count;
    return hash->slots[at].value;
}

int XLIBCSzHashEnumKey(const SzHash *hash, SzList **list) {
    if (!hash) return -1;
    if (hash->count == 0) return 0;
    if (list) {
        for (int i = 0; i < hash->buckets; ++i)
            if (hash->slots[i].key && XLIBCSzListPush(list, hash->slots[i].key) < 0) return -1;
    }
    return hash->count;
}

}
