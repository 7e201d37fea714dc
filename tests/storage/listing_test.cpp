// Listings and the folder-first natural order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "storage/listing.h"

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

TEST(ListingOrder, FoldersFirstThenNaturalOrder) {
    // Each pair in order: folders first; letters ignore case; numbers by value, however long;
    // "." and "/" before digits before other bytes.
    const char* before[][2] = {
        {"zeta/", "alpha"}, {"apple", "Banana"}, {"Apple", "banana"}, {"file2", "file10"}, {"file", "file2"},
        {"file.lua", "file2.lua"}, {"a9b", "a10a"}, {"v1.9", "v1.10"},
        {"a99999999999999999999999", "a100000000000000000000000"}, {"a18446744073709551615", "a18446744073709551616"},
        {"a4294967295", "a4294967296"}, {"x007", "x8"}, {"a.b", "a1"}, {"a1", "a_b"}, {"a1", "a-b"}};
    for (const auto& p : before) {
        EXPECT_LT(compare_str_item(p[0], p[1]), 0) << p[0] << " " << p[1];
        EXPECT_GT(compare_str_item(p[1], p[0]), 0) << p[1] << " " << p[0];
    }
    // Only identical names are equal: names that differ only in case or in leading zeros
    // still have a fixed order.
    EXPECT_EQ(compare_str_item("same", "same"), 0);
    EXPECT_EQ(compare_str_item(nullptr, ""), 0);
    for (auto [a, b] : {std::pair{"ABC", "abc"}, {"a01", "a1"}}) {
        EXPECT_NE(compare_str_item(a, b), 0) << a;
        EXPECT_EQ(sign(compare_str_item(a, b)), -sign(compare_str_item(b, a))) << a;
    }
    // The three-way cycle of '-', '.' and a digit cannot occur.
    bool xy = compare_str_item("a-", "a.") < 0, yz = compare_str_item("a.", "a1") < 0;
    bool zx = compare_str_item("a1", "a-") < 0;
    EXPECT_FALSE(xy && yz && zx);
    EXPECT_FALSE(!xy && !yz && !zx);
}

std::string random_name(std::mt19937& rng) {
    static const char alphabet[] = "aAbB019-._/#";
    int n = int(rng() % 6);
    std::string s;
    for (int i = 0; i < n; i++) s += alphabet[rng() % (sizeof(alphabet) - 1)];
    return s;
}

TEST(ListingOrder, IsAStrictTotalOrder) {
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

TEST(ListingOrder, SortingGivesAnOrderedPermutation) {
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

TEST(Listing, AddFindDeleteSortAndRefusePastItsRoom) {
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

    l = create_listing();
    for (int32_t i = 0; i < LISTING_MAX; i++) ASSERT_EQ(listing_add(l, ""), 1);
    EXPECT_EQ(listing_add(l, "more"), 0);
    EXPECT_EQ(l->count, LISTING_MAX);
    destroy_listing(l);
}

}  // namespace
