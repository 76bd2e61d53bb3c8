// The pointer list: a NULL-terminated array whose count, capacity and item
// ownership live in a hidden header in front of element 0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "aplist.h"

namespace {

int released;
void count_release(void*)
{
    released++;
}

char item_a[] = "a", item_b[] = "b", item_c[] = "c";

TEST(ApList, CreateGivesAnEmptyTerminatedTaggedList)
{
    APLIST l = ap_create(0, nullptr);
    ASSERT_NE(l, nullptr);
    ap_header* h = ap_tohead(l);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->capacity, 1);  // raised from 0
    EXPECT_EQ(h->count, 0);
    EXPECT_EQ(h->no_free, 1);  // no release function: the list owns nothing
    EXPECT_EQ(h->tag, AP_TAG);
    EXPECT_EQ(l[0], nullptr);
    EXPECT_EQ(l[1], nullptr);  // the terminator slot
    EXPECT_EQ(ap_len(l), 0);
    EXPECT_EQ(ap_valid(l), 0);
    ap_del(l);

    APLIST owning = ap_create(3, std::free);
    EXPECT_EQ(ap_tohead(owning)->no_free, 0);
    EXPECT_EQ(ap_tohead(owning)->release, std::free);
    ap_destroy(owning);
}

TEST(ApList, AppendingToAFullListDoublesItAndKeepsOrder)
{
    APLIST l = ap_create(5, nullptr);
    static int values[41];
    for (int i = 0; i < 41; i++) {
        ASSERT_EQ(ap_add_item(&l, &values[i]), 0);
        int expect_cap = i < 5 ? 5 : i < 10 ? 10 : i < 20 ? 20 : i < 40 ? 40 : 80;
        EXPECT_EQ(ap_tohead(l)->capacity, expect_cap) << "after item " << i;
        EXPECT_EQ(ap_len(l), i + 1);
        EXPECT_EQ(l[i + 1], nullptr);
    }
    for (int i = 0; i < 41; i++) EXPECT_EQ(l[i], &values[i]);
    EXPECT_EQ(ap_rlen(l), 41);
    ap_del(l);
}

TEST(ApList, LenCountsByScanningWhileTheCountIsZero)
{
    APLIST l = ap_create(5, nullptr);
    l[0] = item_a;
    l[1] = item_b;
    EXPECT_EQ(ap_tohead(l)->count, 0);
    EXPECT_EQ(ap_len(l), 2);
    EXPECT_EQ(ap_tohead(l)->count, 2);  // stored, and trusted from now on
    l[2] = item_c;
    EXPECT_EQ(ap_len(l), 2);
    EXPECT_EQ(ap_rlen(l), 3);  // rlen ignores the header
    ap_del(l);
}

TEST(ApList, DestroyReleasesItemsOnlyWhenTheListOwnsThem)
{
    released = 0;
    APLIST borrowed = ap_create(2, nullptr);
    ap_add_item(&borrowed, item_a);
    ap_add_item(&borrowed, item_b);
    ap_destroy(borrowed);
    EXPECT_EQ(released, 0);

    APLIST owning = ap_create(2, count_release);
    ap_add_item(&owning, item_a);
    ap_add_item(&owning, item_b);
    ap_add_item(&owning, item_c);  // grows: the release function moves along
    ap_destroy(owning);
    EXPECT_EQ(released, 3);

    // With the count still 0 the items are found by scanning to the NULL.
    released = 0;
    APLIST scanned = ap_create(4, count_release);
    scanned[0] = item_a;
    scanned[1] = item_b;
    ap_destroy(scanned);
    EXPECT_EQ(released, 2);
}

TEST(ApList, DelNeverReleasesItems)
{
    released = 0;
    APLIST l = ap_create(2, count_release);
    ap_add_item(&l, item_a);
    ap_del(l);
    EXPECT_EQ(released, 0);
}

TEST(ApList, ExpandCarriesCountOwnershipAndItemsOver)
{
    released = 0;
    APLIST l = ap_create(2, count_release);
    ap_add_item(&l, item_a);
    ap_add_item(&l, item_b);
    APLIST big = ap_expand(l, 7);
    ASSERT_NE(big, nullptr);
    ap_header* h = ap_tohead(big);
    EXPECT_EQ(h->capacity, 9);  // len + extra
    EXPECT_EQ(h->count, 2);
    EXPECT_EQ(h->no_free, 0);
    EXPECT_EQ(h->release, count_release);
    EXPECT_EQ(big[0], item_a);
    EXPECT_EQ(big[1], item_b);
    EXPECT_EQ(big[2], nullptr);
    EXPECT_EQ(released, 0);  // the old block went, its items stayed
    ap_destroy(big);
    EXPECT_EQ(released, 2);
}

TEST(ApList, NullListsAreRefusedOrIgnored)
{
    APLIST none = nullptr;
    EXPECT_EQ(ap_len(nullptr), 0);
    EXPECT_EQ(ap_rlen(nullptr), 0);
    EXPECT_EQ(ap_valid(nullptr), -1);
    EXPECT_EQ(ap_add_item(&none, item_a), -1);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(ap_expand(nullptr, 3), nullptr);
    ap_del(nullptr);
    ap_destroy(nullptr);
}

TEST(ApList, AnArrayWithoutTheTagIsCountedButNeverFreed)
{
    // A plain NULL-terminated array with readable zero bytes in front of it.
    alignas(ap_header) unsigned char block[sizeof(ap_header) + 3 * sizeof(void*)] = {};
    void** plain = reinterpret_cast<void**>(block + sizeof(ap_header));
    plain[0] = item_a;
    plain[1] = item_b;
    EXPECT_EQ(ap_tohead(plain), nullptr);
    EXPECT_EQ(ap_valid(plain), -1);
    EXPECT_EQ(ap_len(plain), 2);
    ap_del(plain);  // refused: not ours to free
    ap_destroy(plain);
    EXPECT_EQ(plain[0], item_a);
}

TEST(ApList, ConvertsToAndFromPlainStringArrays)
{
    char* src[] = {item_a, item_b, item_c, nullptr};
    APLIST l = nullptr;
    EXPECT_EQ(charlist2ap(src, &l), 3);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(ap_tohead(l)->release, std::free);
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(static_cast<char*>(l[i]), src[i]);
        EXPECT_NE(l[i], src[i]);  // heap copies
    }

    char** back = nullptr;
    EXPECT_EQ(ap2charlist(&l, &back), 3);
    ASSERT_NE(back, nullptr);
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(back[i], src[i]);
        EXPECT_NE(static_cast<void*>(back[i]), l[i]);
        std::free(back[i]);
    }
    EXPECT_EQ(back[3], nullptr);
    std::free(back);
    ap_destroy(l);

    char* empty[] = {nullptr};
    APLIST e = reinterpret_cast<APLIST>(&e);  // must be overwritten
    EXPECT_EQ(charlist2ap(empty, &e), 0);
    EXPECT_EQ(e, nullptr);

    APLIST none = nullptr;
    char** arr = src;
    EXPECT_EQ(ap2charlist(&none, &arr), 0);
    EXPECT_EQ(arr, nullptr);
    APLIST blank = ap_create(1, nullptr);
    arr = src;
    EXPECT_EQ(ap2charlist(&blank, &arr), 0);
    EXPECT_EQ(arr, nullptr);
    ap_del(blank);
}

}  // namespace
