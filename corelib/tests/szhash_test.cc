#include <gtest/gtest.h>

#include <string>

#include "kest/szlist.h"

namespace {

TEST(SzHash, KeepsSlotsUntilAQuarterIsLeftThenGrows) {
    SzHash *h = XLIBCSzHashAlloc(0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->buckets, 31);
    EXPECT_EQ(h->strsize, 512);
    for (int i = 0; i < 24; ++i) {
        std::string k = "key" + std::to_string(i);
        ASSERT_GE(XLIBCSzHashSetValue(&h, k.c_str(), ("v" + std::to_string(i)).c_str()), 0);
    }
    EXPECT_EQ(h->buckets, 31);
    ASSERT_GE(XLIBCSzHashSetValue(&h, "key24", "v24"), 0);
    EXPECT_EQ(h->buckets, 119);
    EXPECT_EQ(h->count, 25);
    for (int i = 0; i < 25; ++i)
        EXPECT_STREQ(XLIBCSzHashGetValue(h, ("key" + std::to_string(i)).c_str()), ("v" + std::to_string(i)).c_str());
    for (int i = 25; i < 100; ++i) XLIBCSzHashSetValue(&h, ("key" + std::to_string(i)).c_str(), "v");
    EXPECT_EQ(h->buckets, 471);
    XLIBCSzHashFree(h);
}

TEST(SzHash, OverwritesInPlaceOnlyWhenTheValueFits) {
    SzHash *h = XLIBCSzHashAlloc(0);
    XLIBCSzHashSetValue(&h, "k", "long value");
    int free_before = h->strfree;
    XLIBCSzHashSetValue(&h, "k", "short");
    EXPECT_EQ(h->strfree, free_before);
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "k"), "short");
    XLIBCSzHashSetValue(&h, "k", "a much longer value");
    EXPECT_EQ(h->strfree, free_before - 20);
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "k"), "a much longer value");
    EXPECT_EQ(h->count, 1);
    XLIBCSzHashFree(h);
}

TEST(SzHash, SlotsFollowTheHashFunction) {
    SzHash *h = XLIBCSzHashAlloc(0);
    EXPECT_EQ(XLIBCSzHashSetValue(&h, "", "empty"), 0);
    // "abcd" is one word 0x64636261; "abcde" adds the tail 'e'.
    EXPECT_EQ(XLIBCSzHashSetValue(&h, "abcd", "1"), static_cast<int>(0x64636261u % 31));
    EXPECT_EQ(XLIBCSzHashSetValue(&h, "abcde", "2"), static_cast<int>((0x64636261u + 'e') % 31));
    XLIBCSzHashFree(h);
}

// "#" (35) and "a" (97) share home slot 4.
TEST(SzHash, RemovalKeepsLaterProbesWorking) {
    SzHash *h = XLIBCSzHashAlloc(0);
    EXPECT_EQ(XLIBCSzHashSetValue(&h, "#", "first"), 4);
    EXPECT_EQ(XLIBCSzHashSetValue(&h, "a", "second"), 5);
    EXPECT_STREQ(XLIBCSzHashRemoveKey(h, "#"), "first");
    EXPECT_EQ(h->count, 1);
    EXPECT_EQ(h->slots[4].key, nullptr);
    EXPECT_NE(h->slots[4].value, nullptr);  // the deleted mark
    EXPECT_STREQ(XLIBCSzHashGetValue(h, "a"), "second");
    EXPECT_EQ(XLIBCSzHashGetValue(h, "#"), nullptr);
    EXPECT_EQ(XLIBCSzHashRemoveKey(h, "#"), nullptr);
    // Setting "a" again finds its slot, not the deleted one.
    EXPECT_EQ(XLIBCSzHashSetValue(&h, "a", "third"), 5);
    XLIBCSzHashFree(h);
}

TEST(SzHash, EnumKeyInSlotOrder) {
    SzHash *h = XLIBCSzHashAlloc(0);
    SzList *l = XLIBCSzListAlloc(0);
    EXPECT_EQ(XLIBCSzHashEnumKey(h, &l), 0);
    XLIBCSzHashSetValue(&h, "c", "1");  // 99 % 31 = 6
    XLIBCSzHashSetValue(&h, "a", "1");  // 4
    XLIBCSzHashSetValue(&h, "b", "1");  // 5
    EXPECT_EQ(XLIBCSzHashEnumKey(h, &l), 3);
    ASSERT_EQ(l->count, 3);
    EXPECT_STREQ(l->items[0], "a");
    EXPECT_STREQ(l->items[2], "c");
    EXPECT_EQ(XLIBCSzHashEnumKey(h, nullptr), 3);
    EXPECT_EQ(XLIBCSzHashSetValue(&h, nullptr, "v"), -1);
    EXPECT_EQ(XLIBCSzHashSetValue(nullptr, "k", "v"), -1);
    XLIBCSzListFree(l);
    XLIBCSzHashFree(h);
}

}  // namespace
