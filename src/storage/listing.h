// Listings: counted lists of name strings with the folder-first natural order used by
// folder listings and the file-history folder query.
#pragma once
#include <cstdint>
#include "base/pbuffer.h"

constexpr int32_t LISTING_MAX = 65536;

struct listing {
    int32_t count;
    pbuffer* item[LISTING_MAX];
};

listing* create_listing();
// Destroys the strings and the listing; nothing for null.
void destroy_listing(listing* l);
// Appends a copy of text: 1, or 0 when the listing is full (or an argument is null).
int listing_add(listing* l, const char* text);
// Index of the first string equal to key, or -1.
int32_t listing_index_for_key(listing* l, const char* key);
// Destroys the first string equal to key and moves the later ones down: 1, or 0 when absent.
int listing_del(listing* l, const char* key);
// Sorts by the folder-first natural order.
void listing_sort(listing* l);

// The folder-first natural order (negative: a first; 0 only for identical strings):
// names ending in '/' before the others; then, walking both names, digit runs compare as
// numbers of any length, other bytes case-insensitively, with '.' and '/' ahead of a digit
// run and a digit run ahead of every other byte; a name that ends first comes first.
// Names that tie (case, leading zeros) fall back to their bytes, so the order is total.
int compare_str_item(const char* a, const char* b);
int compare_listing_item(const pbuffer* a, const pbuffer* b);

// Stable sort of n strings by compare_str_item (merge sort; n >= 0).
void sort_str_items(const char** items, int32_t n);
