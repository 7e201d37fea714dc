// Listings and the folder-first natural order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "storage/listing.h"

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

TEST(NaturalOrder, FoldersComeFirst) {
    EXPECT_LT(compare_str_item("zeta/", "alpha"), 0);
    EXPECT_GT(compare_str_item("alpha", "zeta/"), 0);
}

TEST(NaturalOrder, LettersIgnoreCase) {
    EXPECT_LT(compare_str_item("apple", "Banana"), 0);
    EXPECT_LT(compare_str_item("Apple", "banana"), 0);
    // Names that differ only in case still have a fixed order.
    EXPECT_NE(compare_str_item("ABC", "abc"), 0);
    EXPECT_EQ(sign(compare_str_item("ABC", "abc")), -sign(compare_str_item("abc", "ABC")));
}

TEST(NaturalOrder, NumbersCompareByValue) {
    EXPECT_LT(compare_str_item("file2", "file10"), 0);
    EXPECT_LT(compare_str_item("file", "file2"), 0);
    EXPECT_LT(compare_str_item("file.lua", "file2.lua"), 0);
    EXPECT_LT(compare_str_item("a9b", "a10a"), 0);
    EXPECT_LT(compare_str_item("v1.9", "v1.10"), 0);
}

TEST(NaturalOrder, LongDigitRunsDoNotOverflow) {
    EXPECT_LT(compare_str_item("a99999999999999999999999", "a100000000000000000000000"), 0);
    EXPECT_LT(compare_str_item("a18446744073709551615", "a18446744073709551616"), 0);
    EXPECT_GT(compare_str_item("a4294967296", "a4294967295"), 0);
    EXPECT_LT(compare_str_item("x007", "x8"), 0);
}

TEST(NaturalOrder, DotAndSlashBeforeDigitsBeforeOtherBytes) {
    EXPECT_LT(compare_str_item("a.b", "a1"), 0);
    EXPECT_LT(compare_str_item("a1", "a_b"), 0);
    EXPECT_LT(compare_str_item("a1", "a-b"), 0);
    // The three-way cycle of '-', '.' and a digit cannot occur.
    const char* x = "a-";
    const char* y = "a.";
    const char* z = "a1";
    bool xy = compare_str_item(x, y) < 0, yz = compare_str_item(y, z) < 0, zx = compare_str_item(z, x) < 0;
    EXPECT_FALSE(xy && yz && zx);
    EXPECT_FALSE(!xy && !yz && !zx);
}

TEST(NaturalOrder, OnlyIdenticalNamesAreEqual) {
    EXPECT_EQ(compare_str_item("same", "same"), 0);
    EXPECT_NE(compare_str_item("a01", "a1"), 0);
    EXPECT_EQ(compare_str_item(nullptr, ""), 0);
}

std::string random_name(std::mt19937& rng) {
    static const char alphabet[] = "aAbB019-._/#";
    int n = int(rng() % 6);
    std::string s;
    for (int i = 0; i < n; i++) s += alphabet[rng() % (sizeof(alphabet) - 1)];
    return s;
}

TEST(NaturalOrder, IsAStrictTotalOrder) {
    std::mt19937 rng(7);
    std::vector<std::string> names;
    for (int i = 0; i < 120; i++) names.push_back(random_name(rng));
    for (const auto& a : names) {
        for (const auto& b : names) {
            int ab = sign(compare_str_item(a.c_str(), b.c_str()));
            EXPECT_EQ(ab, -sign(compare_str_item(b.c_str(), a.c_str())));
            EXPECT_EQ(ab == 0, a == b);
            if (ab >= 0) continue;
            for (const auto& c : names) {
                if (compare_str_item(b.c_str(), c.c_str()) < 0) {
                    ASSERT_LT(compare_str_item(a.c_str(), c.c_str()), 0) << a << " " << b << " " << c;
                }
            }
        }
    }
}

TEST(SortItems, SortsAPermutation) {
    std::mt19937 rng(11);
    std::vector<std::string> names;
    for (int i = 0; i < 3000; i++) names.push_back(random_name(rng));
    std::vector<const char*> items;
    for (const auto& n : names) items.push_back(n.c_str());
    sort_str_items(items.data(), int32_t(items.size()));
    for (size_t i = 1; i < items.size(); i++) ASSERT_LE(compare_str_item(items[i - 1], items[i]), 0);
    std::vector<std::string> got(items.begin(), items.end());
    std::sort(got.begin(), got.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(got, names);
    sort_str_items(nullptr, 5);
    sort_str_items(items.data(), 0);
}

TEST(Listing, AddFindDeleteSort) {
    listing* l = create_listing();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->count, 0);
    for (const char* n : {"file10", "b/", "File2", "a", "file2"}) EXPECT_EQ(listing_add(l, n), 1);
    EXPECT_EQ(listing_index_for_key(l, "a"), 3);
    EXPECT_EQ(listing_index_for_key(l, "zz"), -1);
    EXPECT_EQ(listing_del(l, "a"), 1);
    EXPECT_EQ(listing_del(l, "a"), 0);
    EXPECT_EQ(l->count, 4);
    listing_sort(l);
    std::vector<std::string> order;
    for (int32_t i = 0; i < l->count; i++) order.push_back(reinterpret_cast<const char*>(l->item[i]->data));
    EXPECT_EQ(order, (std::vector<std::string>{"b/", "File2", "file2", "file10"}));
    destroy_listing(l);
    destroy_listing(nullptr);
}

TEST(Listing, RefusesPastItsRoom) {
    listing* l = create_listing();
    for (int32_t i = 0; i < LISTING_MAX; i++) ASSERT_EQ(listing_add(l, ""), 1);
    EXPECT_EQ(listing_add(l, "more"), 0);
    EXPECT_EQ(l->count, LISTING_MAX);
    destroy_listing(l);
}

}  // namespace
