#include "storage/listing.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int32_t BUFFER_TAG_LISTING = 76;

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Rank of one non-digit byte in the walk; a digit run ranks 3.
int byte_rank(uint8_t c) {
    if (c == '.') return 1;
    if (c == '/') return 2;
    if (c >= 'a' && c <= 'z') c = uint8_t(c - 'a' + 'A');
    return 4 + c;
}

// Compares the digit runs at a and b as decimal numbers of any length and moves both
// past their runs.
int compare_digit_runs(const uint8_t*& a, const uint8_t*& b) {
    while (*a == '0' && is_digit(a[1])) a++;
    while (*b == '0' && is_digit(b[1])) b++;
    const uint8_t* ea = a;
    const uint8_t* eb = b;
    while (is_digit(*ea)) ea++;
    while (is_digit(*eb)) eb++;
    int result = 0;
    if (ea - a != eb - b) {
        result = (ea - a) < (eb - b) ? -1 : 1;
    } else {
        int c = memcmp(a, b, size_t(ea - a));
        result = c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    a = ea;
    b = eb;
    return result;
}

int natural_compare(const uint8_t* a, const uint8_t* b) {
    for (;;) {
        if (!*a || !*b) {
            if (!*a && !*b) return 0;
            return !*a ? -1 : 1;
        }
        bool da = is_digit(*a);
        bool db = is_digit(*b);
        if (da && db) {
            int c = compare_digit_runs(a, b);
            if (c) return c;
            continue;
        }
        int ra = da ? 3 : byte_rank(*a);
        int rb = db ? 3 : byte_rank(*b);
        if (ra != rb) return ra < rb ? -1 : 1;
        a++;
        b++;
    }
}

bool ends_with_slash(const char* s) {
    size_t n = strlen(s);
    return n > 0 && s[n - 1] == '/';
}

template <typename T, typename Less>
void merge_sort(T* items, T* scratch, int32_t n, Less less) {
    if (n < 2) return;
    int32_t half = n / 2;
    merge_sort(items, scratch, half, less);
    merge_sort(items + half, scratch, n - half, less);
    int32_t i = 0, j = half, k = 0;
    while (i < half && j < n) {
        // Taking from the left on ties keeps the sort stable.
        if (less(items[j], items[i])) scratch[k++] = items[j++];
        else scratch[k++] = items[i++];
    }
    while (i < half) scratch[k++] = items[i++];
    while (j < n) scratch[k++] = items[j++];
    for (int32_t m = 0; m < n; m++) items[m] = scratch[m];
}

const char* item_text(const pbuffer* b) {
    if (!b || !b->data || b->length < 0) return "";
    return reinterpret_cast<const char*>(b->data);
}

}  // namespace

int compare_str_item(const char* a, const char* b) {
    if (!a) a = "";
    if (!b) b = "";
    bool fa = ends_with_slash(a);
    bool fb = ends_with_slash(b);
    if (fa != fb) return fa ? -1 : 1;
    int c = natural_compare(reinterpret_cast<const uint8_t*>(a), reinterpret_cast<const uint8_t*>(b));
    if (c) return c;
    c = strcmp(a, b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compare_listing_item(const pbuffer* a, const pbuffer* b) { return compare_str_item(item_text(a), item_text(b)); }

void sort_str_items(const char** items, int32_t n) {
    if (!items || n < 2) return;
    std::vector<const char*> scratch(static_cast<size_t>(n));
    merge_sort(items, scratch.data(), n, [](const char* a, const char* b) { return compare_str_item(a, b) < 0; });
}

listing* create_listing() {
    listing* l = static_cast<listing*>(calloc(1, sizeof(listing)));
    return l;
}

void destroy_listing(listing* l) {
    if (!l) return;
    for (int32_t i = 0; i < l->count; i++) destroy_buffer(l->item[i]);
    free(l);
}

int listing_add(listing* l, const char* text) {
    if (!l || !text || l->count >= LISTING_MAX) return 0;
    size_t n = strlen(text);
    pbuffer* b = create_buffer_2(int64_t(n) + 1, BUFFER_TAG_LISTING);
    if (!b) return 0;
    if (n) bwrite(text, 1, int64_t(n), b);
    to_cstr(b);
    l->item[l->count++] = b;
    return 1;
}

int32_t listing_index_for_key(listing* l, const char* key) {
    if (!l || !key) return -1;
    for (int32_t i = 0; i < l->count; i++) {
        if (strcmp(item_text(l->item[i]), key) == 0) return i;
    }
    return -1;
}

int listing_del(listing* l, const char* key) {
    int32_t i = listing_index_for_key(l, key);
    if (i < 0) return 0;
    destroy_buffer(l->item[i]);
    memmove(&l->item[i], &l->item[i + 1], sizeof(pbuffer*) * size_t(l->count - i - 1));
    l->count--;
    l->item[l->count] = nullptr;
    return 1;
}

void listing_sort(listing* l) {
    if (!l || l->count < 2) return;
    std::vector<pbuffer*> scratch(static_cast<size_t>(l->count));
    merge_sort(l->item, scratch.data(), l->count,
               [](const pbuffer* a, const pbuffer* b) { return compare_listing_item(a, b) < 0; });
}
