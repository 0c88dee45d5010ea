#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kest/error.h"
#include "kest/szlist.h"

namespace {

struct ListDeleter {
    void operator()(SzList *l) const { XLIBCSzListFree(l); }
};

// A list of these items, sorted afterwards when a mode is given.
SzList *Make(std::vector<std::string> items, int sort = SZLIST_UNSORTED) {
    SzList *l = XLIBCSzListAlloc(0);
    for (const auto &s : items) EXPECT_GE(XLIBCSzListPush(&l, s.c_str()), 0);
    if (sort) XLIBCSzListSort(l, sort);
    return l;
}

std::vector<std::string> Items(const SzList *l) {
    std::vector<std::string> out;
    for (int i = 0; i < l->count; ++i) out.push_back(l->items[i] == l->empty ? "<placeholder>" : l->items[i]);
    return out;
}

using V = std::vector<std::string>;

TEST(SzList, NewBlockLayout) {
    SzList *l = XLIBCSzListAlloc(0);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->size, 512);
    EXPECT_EQ(l->free, 480);
    EXPECT_EQ(l->count, 0);
    EXPECT_EQ(l->empty, reinterpret_cast<char *>(l) + 511);
    EXPECT_EQ(*l->empty, '\0');
    // The first string ends exactly at the block's last byte.
    ASSERT_EQ(XLIBCSzListPush(&l, "abc"), 0);
    EXPECT_EQ(l->items[0] + 3, l->empty);
    EXPECT_EQ(l->free, 480 - (3 + 1 + 8));
    // A pushed empty string is a real item, not the placeholder.
    ASSERT_EQ(XLIBCSzListPush(&l, ""), 1);
    EXPECT_NE(l->items[1], l->empty);
    XLIBCSzListFree(l);
    XLIBCSzListFree(nullptr);
}

TEST(SzList, GrowsByDoublingAndUpdatesTheHandle) {
    SzList *l = XLIBCSzListAlloc(512);
    std::vector<int> sizes;
    for (int i = 0; i < 200; ++i) {
        char s[16];
        snprintf(s, sizeof s, "item%06d", i);  // 10 bytes
        ASSERT_EQ(XLIBCSzListPush(&l, s), i);
        if (sizes.empty() || sizes.back() != l->size) sizes.push_back(l->size);
    }
    EXPECT_EQ(sizes, (std::vector<int>{512, 1024, 2048, 4096}));
    for (int i = 0; i < 200; ++i) {
        char s[16];
        snprintf(s, sizeof s, "item%06d", i);
        EXPECT_STREQ(XLIBCSzListGet(l, i), s);
    }
    EXPECT_EQ(l->free, 4096 - 32 - 200 * (10 + 1 + 8));
    XLIBCSzListFree(l);
}

TEST(SzList, GetAndRemoveRefuseIndexesOutside) {
    std::unique_ptr<SzList, ListDeleter> l(Make({"a", "b"}));
    for (int index : {-1, 2, 100}) {
        XLIBCErrSetEx(0, nullptr, 0);
        EXPECT_EQ(XLIBCSzListGet(l.get(), index), nullptr);
        EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
        EXPECT_STREQ(XLIBCErrorGetFile(), "list_get");
        EXPECT_EQ(XLIBCSzListRemove(l.get(), index), nullptr);
    }
    int free_before = l->free;
    EXPECT_STREQ(XLIBCSzListRemove(l.get(), 0), "a");
    EXPECT_EQ(Items(l.get()), V{"b"});
    EXPECT_EQ(l->free, free_before + 8);  // string bytes are not given back
    XLIBCSzListRemoveAll(l.get());
    EXPECT_EQ(l->count, 0);
    EXPECT_EQ(l->free, 480);
}

TEST(SzList, SortedModes) {
    std::unique_ptr<SzList, ListDeleter> l(XLIBCSzListAlloc(0));
    XLIBCSzListSort(l.get(), SZLIST_SORTED);
    SzList *raw = l.release();
    for (const char *s : {"b", "a", "c", "B"}) XLIBCSzListPush(&raw, s);
    l.reset(raw);
    EXPECT_EQ(Items(l.get()), (V{"B", "a", "b", "c"}));
    EXPECT_EQ(XLIBCSzListFind(l.get(), "b"), 2);
    EXPECT_EQ(XLIBCSzListFind(l.get(), "bb"), -1);
    EXPECT_EQ(XLIBCSzListCaseFind(l.get(), "b"), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);

    std::unique_ptr<SzList, ListDeleter> c(Make({"Zeta", "alpha", "Beta"}, SZLIST_SORTED_CASE));
    EXPECT_EQ(Items(c.get()), (V{"alpha", "Beta", "Zeta"}));
    EXPECT_EQ(XLIBCSzListCaseFind(c.get(), "BETA"), 1);
    EXPECT_EQ(XLIBCSzListFind(c.get(), "Beta"), -1);  // refused in this mode
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);

    // An unsorted list: linear find, exact or ignoring case.
    std::unique_ptr<SzList, ListDeleter> u(Make({"x", "Straße", "y"}));
    EXPECT_EQ(XLIBCSzListFind(u.get(), "y"), 2);
    EXPECT_EQ(XLIBCSzListFind(u.get(), "Y"), -1);
    EXPECT_EQ(XLIBCSzListCaseFind(u.get(), "STRASSE"), 1);
}

TEST(SzList, PlaceholdersAreSkippedAndCompacted) {
    std::unique_ptr<SzList, ListDeleter> l(Make({"a", "b", "c"}));
    l->items[1] = l->empty;  // what an insertion beyond the count leaves
    EXPECT_EQ(XLIBCSzListFind(l.get(), ""), -1);
    EXPECT_EQ(XLIBCSzListFind(l.get(), "c"), 2);
    int free_before = l->free;
    XLIBCSzListCompact(l.get());
    EXPECT_EQ(Items(l.get()), (V{"a", "c"}));
    EXPECT_EQ(l->free, free_before + 8);

    l->items[0] = l->empty;
    SzList *old = l.release();
    SzList *bigger = XLIBCSzListExpand(old);
    ASSERT_NE(bigger, nullptr);
    l.reset(bigger);
    EXPECT_EQ(l->size, 1024);
    EXPECT_EQ(Items(l.get()), (V{"<placeholder>", "c"}));
    EXPECT_EQ(l->free, 1024 - 32 - 8 - (1 + 1 + 8));
}

TEST(SzList, OrTable) {
    const struct {
        const char *name;
        V first;
        int first_sort;
        V second;
        int second_sort;
        int flags;
        V result;
        int result_sort;
    } cases[] = {
        {"unsorted with unsorted", {"a", "b"}, 0, {"b", "c"}, 0, 0, {"a", "b", "c"}, 0},
        {"unsorted, repeated in second, in place", {"a"}, 0, {"c", "c", "a"}, 0, 0, {"a", "c"}, 0},
        {"unsorted, repeated in second, new list", {"a"}, 0, {"c", "c", "a"}, 0, SZLIST_OR_NEW, {"a", "c", "c"}, 0},
        {"sorted with sorted", {"b", "d"}, 1, {"a", "b", "e"}, 1, 0, {"a", "b", "d", "e"}, 1},
        {"sorted with sorted, new list", {"b", "d"}, 1, {"a", "b", "e"}, 1, SZLIST_OR_NEW, {"a", "b", "d", "e"}, 1},
        {"sorted with unsorted, in place", {"b", "d"}, 1, {"e", "a", "b"}, 0, 0, {"a", "b", "d", "e"}, 1},
        {"sorted with unsorted, new list", {"b", "d"}, 1, {"e", "a", "b"}, 0, SZLIST_OR_NEW, {"b", "d", "e", "a"}, 0},
        {"unsorted with sorted, in place", {"d", "a", "x"}, 0, {"a", "b"}, 1, 0, {"d", "x", "a", "b"}, 0},
        {"unsorted with sorted, new list", {"d", "a", "x"}, 0, {"a", "b"}, 1, SZLIST_OR_NEW, {"a", "b", "d", "x"}, 0},
        {"case-sorted with case-sorted", {"B"}, 0x10, {"a", "b", "C"}, 0x10, 0, {"a", "B", "C"}, 0x10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SzList *first = Make(c.first, c.first_sort);
        std::unique_ptr<SzList, ListDeleter> second(Make(c.second, c.second_sort));
        SzList *before = first;
        V before_items = Items(first);
        SzList *result = XLIBCSzListOr(&first, second.get(), c.flags);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(Items(result), c.result);
        EXPECT_EQ(result->sort, c.result_sort);
        if (c.flags & SZLIST_OR_NEW) {
            EXPECT_EQ(first, before);
            EXPECT_EQ(Items(first), before_items);
            XLIBCSzListFree(result);
        } else {
            EXPECT_EQ(first, result);
        }
        XLIBCSzListFree(first);
    }
    // Differently sorted lists do not combine.
    SzList *a = Make({"a"}, SZLIST_SORTED);
    std::unique_ptr<SzList, ListDeleter> b(Make({"a"}, SZLIST_SORTED_CASE));
    EXPECT_EQ(XLIBCSzListOr(&a, b.get(), 0), nullptr);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    XLIBCSzListFree(a);
}

TEST(SzList, Dump2Str) {
    std::unique_ptr<SzList, ListDeleter> l(Make({"a", "bc"}));
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(XLIBCSzListDump2Str(l.get(), ",", buf, 5), 4);
    EXPECT_STREQ(buf, "a,bc");
    EXPECT_EQ(XLIBCSzListDump2Str(l.get(), ",", buf, 4), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_JOIN_BUFFER);
    EXPECT_STREQ(buf, "a");
    EXPECT_EQ(XLIBCSzListDump2Str(l.get(), ",", buf, 0), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    std::unique_ptr<SzList, ListDeleter> empty(XLIBCSzListAlloc(0));
    EXPECT_EQ(XLIBCSzListDump2Str(empty.get(), ",", buf, 1), 0);
    EXPECT_STREQ(buf, "");
}

TEST(SzList, RefusesNullArguments) {
    SzList *null_list = nullptr;
    EXPECT_EQ(XLIBCSzListPush(nullptr, "a"), -1);
    EXPECT_EQ(XLIBCSzListPush(&null_list, "a"), -1);
    std::unique_ptr<SzList, ListDeleter> l(XLIBCSzListAlloc(0));
    SzList *raw = l.get();
    EXPECT_EQ(XLIBCSzListPush(&raw, nullptr), -1);
    EXPECT_EQ(XLIBCErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(XLIBCSzListFind(nullptr, "a"), -1);
    EXPECT_EQ(XLIBCSzListOr(nullptr, l.get(), 0), nullptr);
    EXPECT_EQ(raw->count, 0);
}

}  // namespace
