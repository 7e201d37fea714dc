// Typed arrays, members that move elements: conversion between element types (or into an
// index map with a palette), gathering by an index array, sorting rows, transposing and ramps.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "kernel/api.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

// One element converted: from f64 floored, then truncated to 64 bits (i64) or 32 bits (the
// others, saturating) and cut to the target's width; integers sign-extended (u8 zero-extended)
// and cut; to f64 exactly.
template <class D, class S> D convert_element(S v) {
    if constexpr (std::is_same_v<D, double>) {
        return double(v);
    } else if constexpr (std::is_same_v<S, double>) {
        double f = std::floor(v);
        if constexpr (std::is_same_v<D, int64_t>) return userdata_trunc<int64_t>(f);
        else return D(userdata_trunc<int32_t>(f));
    } else {
        return D(int64_t(v));
    }
}

// The palette key of a value: integers as they are, f64 truncated toward zero to 64 bits.
template <class T> int64_t palette_key(T v) {
    if constexpr (std::is_same_v<T, double>) return userdata_trunc<int64_t>(v);
    else return int64_t(v);
}

// Up to 256 distinct values in order of first appearance, found through a small hash table.
struct palette {
    int64_t values[256];
    int count = 0;
    int16_t slot[512];  // palette index + 1, 0 for an empty slot
    palette() { memset(slot, 0, sizeof slot); }
    // The value's index, adding it while there is room; 255 once the palette is full.
    uint8_t index_of(int64_t v) {
        uint32_t h = uint32_t((uint64_t(v) * 0x9E3779B97F4A7C15ull) >> 55);
        for (;; h = (h + 1) & 511) {
            if (slot[h] == 0) break;
            if (values[slot[h] - 1] == v) return uint8_t(slot[h] - 1);
        }
        if (count == 256) return 255;
        values[count] = v;
        slot[h] = int16_t(++count);
        return uint8_t(count - 1);
    }
};

// Elements (or steps) one piece of a split member does before it may stop.
constexpr int64_t SPLIT_PIECE = 1 << 16;

// A split member's state: a local at first, copied onto the stack at slot when the call first
// pauses (which may raise the memory error: nothing is held then).
template <class S> S* state_at(lua_State* L, int slot) {
    if (lua_type(L, slot) != LUA_TUSERDATA || lua_rawlen(L, slot) != sizeof(S)) return nullptr;
    return static_cast<S*>(lua_touserdata(L, slot));
}
template <class S> int pause_with_state(lua_State* L, S* st, bool on_stack, lua_KFunction k) {
    if (!on_stack) *static_cast<S*>(lua_newuserdatauv(L, sizeof(S), 0)) = *st;
    return native_work_pause(L, 0, k);
}
// Charges the cost so far past what was charged. After a piece that did not finish: 1 when the
// call should pause, and otherwise raises the overrun error once past the bound; 0 to go on.
int charge_piece(lua_State* L, int64_t cost, int64_t* charged, bool finished) {
    bool overrun = charge_native_work(cost - *charged);
    *charged = std::max(*charged, cost);
    if (finished) return 0;
    if (native_work_should_pause(L)) return 1;
    if (overrun) raise_native_overrun(L);
    return 0;
}

// u:convert("u8", true): the index map and the palette, a piece at a time. The stack: the
// three arguments, the map (4) and the state (5).
constexpr int PALETTE_MAP_SLOT = 4;
constexpr int PALETTE_STATE_SLOT = 5;

struct palette_state {
    palette p;
    int64_t done, charged;
    int32_t code;
};

int palette_run(lua_State* L, palette_state* st, bool on_stack);
int palette_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, PALETTE_STATE_SLOT);
    palette_state* st = state_at<palette_state>(L, PALETTE_STATE_SLOT);
    return st ? palette_run(L, st, true) : 0;
}

int palette_run(lua_State* L, palette_state* st, bool on_stack) {
    userdata_header* u = to_userdata(L, 1);
    userdata_header* map = to_userdata(L, PALETTE_MAP_SLOT);
    if (!u || !map || (u->type & 31) != st->code || (map->type & 31) != UTYPE_U8 ||
        userdata_count(map) != userdata_count(u) || st->done < 0 || st->p.count < 0 || st->p.count > 256)
        return 0;
    int64_t n = userdata_count(u);
    for (;;) {
        int64_t end = std::min(n, st->done + SPLIT_PIECE);
        with_element_type(st->code, [&](auto tag) {
            using T = decltype(tag);
            const T* src = userdata_elements<T>(u);
            uint8_t* out = userdata_data(map);
            for (int64_t i = st->done; i < end; i++) out[i] = st->p.index_of(palette_key(src[i]));
        });
        st->done = std::max(st->done, end);
        bool finished = st->done >= n;
        if (charge_piece(L, st->done, &st->charged, finished))
            return pause_with_state(L, st, on_stack, api_guarded_k<palette_k>);
        if (finished) break;
    }
    lua_pushvalue(L, PALETTE_MAP_SLOT);
    userdata_header* pal = create_userdata_of_type(L, st->code, 1, st->p.count, 1);
    if (!pal) return 0;
    with_element_type(st->code, [&](auto tag) {
        using T = decltype(tag);
        for (int i = 0; i < st->p.count; i++) userdata_elements<T>(pal)[i] = T(st->p.values[i]);
    });
    return 2;
}

int convert_to_palette(lua_State* L, userdata_header* u) {
    lua_settop(L, PALETTE_MAP_SLOT - 1);
    if (!create_userdata_of_type(L, UTYPE_U8, u->dimensions, u->width, u->height)) return 0;
    palette_state st;
    st.done = 0, st.charged = 0, st.code = u->type & 31;
    return palette_run(L, &st, false);
}

// Sort state: the key column, the order and the comparison count.
struct sort_key {
    int64_t column;
    bool descending;
    int64_t comparisons;
};

// Orders keys ascending or descending, with every NaN after all numbers either way, so the
// order stays a strict weak one.
template <class T> bool key_before(T x, T y, bool descending) {
    if constexpr (std::is_same_v<T, double>) {
        if (std::isnan(x)) return false;
        if (std::isnan(y)) return true;
    }
    return descending ? y < x : x < y;
}

template <class T> int compare_rows(const void* p, const void* q, void* state) {
    auto* k = static_cast<sort_key*>(state);
    k->comparisons++;
    T x = static_cast<const T*>(p)[k->column], y = static_cast<const T*>(q)[k->column];
    return key_before(x, y, k->descending) ? -1 : key_before(y, x, k->descending) ? 1 : 0;
}

template <class T> void sort_records(userdata_header* u, int64_t records, int64_t width, sort_key* k) {
    T* p = userdata_elements<T>(u);
    if (width == 1) {
        std::sort(p, p + records, [k](T x, T y) {
            k->comparisons++;
            return key_before(x, y, k->descending);
        });
    } else {
        qsort_r(p, size_t(records), size_t(width) * sizeof(T), compare_rows<T>, k);
    }
}

// A sort small enough to run whole: records x log2(records) x record bytes (at least 8) at
// most this. Larger sorts run as a quicksort whose pending ranges live in a sort_state, a
// partition or a short range at a time, across slices.
constexpr int64_t SORT_WHOLE_WORK = 1 << 22;
constexpr int64_t SORT_PIECE_COMPARISONS = 1 << 16;
constexpr int64_t SORT_SHORT_RANGE = 16;
constexpr int SORT_STACK = 64;  // a quicksort that goes on with the shorter half needs log2(records)
constexpr int SORT_STATE_SLOT = 4;

struct sort_state {
    int64_t column, records, width;
    int32_t code;
    int32_t descending;
    int64_t comparisons, charged;
    int32_t depth;
    int64_t lo[SORT_STACK], hi[SORT_STACK];  // the ranges still to sort, [lo, hi)
};

// What the comparisons so far cost in all: c + c x (record bytes / 128), c = comparisons x 3 / 4.
int64_t sort_cost(const sort_state& s, int element_size) {
    userdata_wide c = userdata_wide(s.comparisons) * 3 / 4;
    return userdata_charge(c + c * (userdata_wide(s.width) * element_size / 128));
}

template <class T> struct sorter {
    T* p;
    sort_state* s;
    T key(int64_t r) const { return p[r * s->width + s->column]; }
    bool before(T x, T y) const {
        s->comparisons++;
        return key_before(x, y, s->descending != 0);
    }
    void swap_records(int64_t a, int64_t b) const {
        if (s->width == 1) std::swap(p[a], p[b]);
        else std::swap_ranges(p + a * s->width, p + (a + 1) * s->width, p + b * s->width);
    }
    void insertion(int64_t lo, int64_t hi) const {
        for (int64_t i = lo + 1; i < hi; i++)
            for (int64_t j = i; j > lo && before(key(j), key(j - 1)); j--) swap_records(j, j - 1);
    }
    // Hoare's partition around the median of the first, middle and last keys: returns the last
    // record of the lower part; both parts are non-empty.
    int64_t partition(int64_t lo, int64_t hi) const {
        int64_t mid = lo + (hi - lo) / 2, last = hi - 1;
        if (before(key(mid), key(lo))) swap_records(mid, lo);
        if (before(key(last), key(mid))) {
            swap_records(last, mid);
            if (before(key(mid), key(lo))) swap_records(mid, lo);
        }
        T pivot = key(mid);
        int64_t i = lo - 1, j = hi;
        for (;;) {
            do i++; while (i < last && before(key(i), pivot));
            do j--; while (j > lo && before(pivot, key(j)));
            if (i >= j) return std::min(j, hi - 2);
            swap_records(i, j);
        }
    }
    // Sorts pending ranges until about a piece of comparisons is done; true when none is left.
    bool run() const {
        int64_t start = s->comparisons;
        while (s->depth > 0) {
            if (s->comparisons - start >= SORT_PIECE_COMPARISONS) return false;
            s->depth--;
            int64_t lo = s->lo[s->depth], hi = s->hi[s->depth];
            if (lo < 0 || hi > s->records || hi - lo < 2) continue;
            if (hi - lo <= SORT_SHORT_RANGE) {
                insertion(lo, hi);
                continue;
            }
            int64_t j = partition(lo, hi);
            // The longer half waits; the shorter goes next, so the stack stays shallow.
            int64_t a0 = lo, a1 = j + 1, b0 = j + 1, b1 = hi;
            if (a1 - a0 < b1 - b0) std::swap(a0, b0), std::swap(a1, b1);
            if (s->depth > SORT_STACK - 2) continue;  // cannot happen with halves ever shorter
            s->lo[s->depth] = a0, s->hi[s->depth] = a1, s->depth++;
            s->lo[s->depth] = b0, s->hi[s->depth] = b1, s->depth++;
        }
        return true;
    }
};

// Goes on with a split sort whose state is at SORT_STATE_SLOT, after looking again at the array.
int sort_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, SORT_STATE_SLOT);
    userdata_header* u = to_userdata(L, 1);
    if (!u || lua_type(L, SORT_STATE_SLOT) != LUA_TUSERDATA || lua_rawlen(L, SORT_STATE_SLOT) != sizeof(sort_state))
        return 0;
    sort_state* s = static_cast<sort_state*>(lua_touserdata(L, SORT_STATE_SLOT));
    bool rows = u->height > 1;
    if (s->code != (u->type & 31) || s->width != (rows ? int64_t(u->width) : 1) ||
        s->records != (rows ? int64_t(u->height) : userdata_count(u)) || s->column < 0 || s->column >= s->width ||
        s->depth < 0 || s->depth > SORT_STACK)
        return 0;
    int size = userdata_element_size(s->code);
    for (;;) {
        bool done = with_element_type(s->code, [&](auto tag) {
            using T = decltype(tag);
            return sorter<T>{userdata_elements<T>(u), s}.run();
        });
        int64_t cost = sort_cost(*s, size);
        int64_t charge = cost - s->charged;
        s->charged = cost;
        bool overrun = charge_native_work(charge);
        if (done) break;
        if (native_work_should_pause(L)) return native_work_pause(L, 0, api_guarded_k<sort_k>);
        if (overrun) raise_native_overrun(L);
    }
    lua_pushinteger(L, s->comparisons);
    return 1;
}

// The difference of a ramp's ends in the element type: u8 modulo 256, i16 and i32 wrapped to
// their width, i64 wrapped to 64 bits, f64 exactly.
template <class T> double ramp_difference(T start, T end) {
    if constexpr (std::is_same_v<T, double>) return end - start;
    else if constexpr (std::is_same_v<T, int64_t>) return double(int64_t(uint64_t(end) - uint64_t(start)));
    else return double(T(int64_t(end) - int64_t(start)));
}

template <class T> T ramp_element(double v) {
    if constexpr (std::is_same_v<T, double>) return v;
    else return T(userdata_trunc<int64_t>(v));
}

}  // namespace

namespace {

// A conversion into a new array, a piece at a time. The stack: the three arguments, the new
// array (4) and the state (5). Charged by the elements converted, by the source type; an array
// of the same type is copied at the copying rate of take.
constexpr int CONVERT_DEST_SLOT = 4;
constexpr int CONVERT_STATE_SLOT = 5;

struct convert_state {
    int64_t done, charged;
    int32_t from, to;
};

int64_t convert_cost(const convert_state& st, int64_t n) {
    if (st.from == st.to) return n / (st.from == UTYPE_I64 || st.from == UTYPE_F64 ? 12 : 24);
    return st.from == UTYPE_F64 ? n * 2 : st.from == UTYPE_I64 ? n : n / 2;
}

int convert_run(lua_State* L, convert_state* st, bool on_stack);
int convert_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, CONVERT_STATE_SLOT);
    convert_state* st = state_at<convert_state>(L, CONVERT_STATE_SLOT);
    return st ? convert_run(L, st, true) : 0;
}

int convert_run(lua_State* L, convert_state* st, bool on_stack) {
    userdata_header* u = to_userdata(L, 1);
    userdata_header* d = to_userdata(L, CONVERT_DEST_SLOT);
    if (!u || !d || (u->type & 31) != st->from || (d->type & 31) != st->to || userdata_count(d) != userdata_count(u) ||
        st->done < 0)
        return 0;
    int64_t n = userdata_count(u);
    for (;;) {
        int64_t at = std::min(st->done, n), end = std::min(n, at + SPLIT_PIECE);
        if (st->from == st->to) {
            int size = userdata_element_size(st->from);
            memcpy(userdata_data(d) + at * size, userdata_data(u) + at * size, size_t(end - at) * size);
        } else {
            with_element_type(st->from, [&](auto s) {
                with_element_type(st->to, [&](auto t) {
                    using S = decltype(s);
                    using D = decltype(t);
                    const S* src = userdata_elements<S>(u);
                    D* dst = userdata_elements<D>(d);
                    for (int64_t i = at; i < end; i++) dst[i] = convert_element<D>(src[i]);
                });
            });
        }
        st->done = end;
        bool finished = end >= n;
        if (charge_piece(L, convert_cost(*st, end), &st->charged, finished))
            return pause_with_state(L, st, on_stack, api_guarded_k<convert_k>);
        if (finished) break;
    }
    lua_pushvalue(L, CONVERT_DEST_SLOT);
    return 1;
}

// A gather, a piece at a time. The stack: the nine arguments, the destination (10) and the
// state (11). Everything the arguments give is worked out again each time the call goes on.
constexpr int TAKE_DEST_SLOT = 10;
constexpr int TAKE_STATE_SLOT = 11;

struct take_state {
    int64_t k;              // the step under way (0 at first: walking starts at the first useful one)
    int64_t source, start;  // its index value and the first element of its run it copies
    int64_t n, pos;         // elements the step copies, and of them done; n < 0: not begun
    int64_t budget;         // elements (and steps) the call may still visit
    int64_t copied, walked; // elements copied and steps walked so far
    int64_t charged;
    int32_t code;
};

int take_run(lua_State* L, take_state* st, bool on_stack);
int take_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, TAKE_STATE_SLOT);
    take_state* st = state_at<take_state>(L, TAKE_STATE_SLOT);
    return st ? take_run(L, st, true) : 0;
}

int take_run(lua_State* L, take_state* st, bool on_stack) {
    using W = userdata_wide;
    userdata_header* u = to_userdata(L, 1);
    userdata_header* idx = to_userdata(L, 2);
    userdata_header* dest = to_userdata(L, TAKE_DEST_SLOT);
    int code = st->code;
    if (!u || !idx || !dest || (idx->type & 31) != UTYPE_I32 || (u->type & 31) != code || (dest->type & 31) != code)
        return 0;
    int64_t idx_offset = q64_intp(L, 4, 0), dest_offset = q64_intp(L, 5, 0);
    int64_t span = q64_intp(L, 6, 1), idx_stride = q64_intp(L, 7, 1);
    int64_t dest_stride = q64_intp(L, 8, span);
    int64_t idx_count = userdata_count(idx);
    int64_t count = q64_intp(L, 9, span == 1 ? idx_count : int64_t(idx->width));
    if (span < 1) return 0;

    // Steps: as many as count allows and the index array holds from idx_offset on; only steps
    // whose index position lies inside idx do anything, so only those are walked.
    W steps = 0;
    if (idx_stride > 0 && count > 0) {
        steps = count;
        if (idx_offset <= idx_count) steps = std::min<W>(steps, (W(idx_count) - idx_offset) / idx_stride);
    }
    W first = 0, end = steps;
    userdata_keep_inside(first, end, idx_offset, idx_stride, idx_count);

    const int32_t* index = userdata_elements<int32_t>(idx);
    int size = userdata_element_size(code);
    int64_t u_count = userdata_count(u), dest_count = userdata_count(dest);
    uint8_t* from = userdata_data(u);
    uint8_t* to = userdata_data(dest);
    W per_step = code == UTYPE_I64 || code == UTYPE_F64 ? 12 : 24;
    for (;;) {
        int64_t work = 0;
        bool finished = false;
        while (work < SPLIT_PIECE) {
            if (st->n < 0) {
                W k = std::max<W>(first, st->k);
                if (k >= end || st->budget <= 0) {
                    finished = true;
                    break;
                }
                st->k = int64_t(k);
                W s = index[int64_t(idx_offset + k * idx_stride)];
                W p = dest_offset + k * dest_stride;
                // The run of span elements, cut to the parts inside u and inside dest.
                W t0 = 0, t1 = span;
                userdata_keep_inside(t0, t1, s, 1, u_count);
                userdata_keep_inside(t0, t1, p, 1, dest_count);
                work++;
                if (t0 >= t1) {
                    st->k++, st->budget--, st->walked++;
                    continue;
                }
                st->source = int64_t(s), st->start = int64_t(t0), st->pos = 0;
                st->n = int64_t(std::min<W>(t1 - t0, st->budget));
                st->budget -= st->n;
            }
            // The step's run, in pieces that copy as one move would: from its end down when the
            // run moves up within one array.
            W s = st->source, p = dest_offset + W(st->k) * dest_stride, t0 = st->start;
            if (st->n < 0 || st->pos < 0 || st->pos > st->n || s + t0 < 0 || s + t0 + st->n > u_count ||
                p + t0 < 0 || p + t0 + st->n > dest_count)
                return 0;  // the arrays changed under the call
            int64_t c = std::min(st->n - st->pos, std::max<int64_t>(SPLIT_PIECE - work, 1));
            bool downward = from == to && p > s;
            W at = t0 + (downward ? st->n - st->pos - c : st->pos);
            memmove(to + int64_t(p + at) * size, from + int64_t(s + at) * size, size_t(c) * size);
            st->pos += c, st->copied += c, work += c;
            if (st->pos == st->n) st->k++, st->budget--, st->walked++, st->n = -1;
        }
        // Charged as it goes by the elements copied and steps walked; the rest of the whole
        // charge (for the steps that were never walked) when it ends.
        int64_t cost = userdata_charge(W(st->copied) / per_step + W(st->walked) / 6);
        if (finished) cost = std::max(cost, userdata_charge(steps * span / per_step + steps / 6));
        if (charge_piece(L, cost, &st->charged, finished))
            return pause_with_state(L, st, on_stack, api_guarded_k<take_k>);
        if (finished) break;
    }
    lua_pushvalue(L, TAKE_DEST_SLOT);
    return 1;
}

}  // namespace

int lua54_ud_convert(lua_State* L) {
    userdata_header* u = to_userdata(L, 1);
    if (!u) return 0;
    size_t len = 0;
    const char* name = lua_isstring(L, 2) ? lua_tolstring(L, 2, &len) : nullptr;
    if (name && len == 2 && memcmp(name, "u8", 2) == 0 && lua_toboolean(L, 3)) return convert_to_palette(L, u);
    convert_state st = {0, 0, u->type & 31, str_to_utype(name, len)};
    lua_settop(L, CONVERT_DEST_SLOT - 1);
    if (!create_userdata_of_type(L, st.to, u->dimensions, u->width, u->height)) return 0;
    return convert_run(L, &st, false);
}

// u:take(idx, dest, idx_offset, dest_offset, span, idx_stride, dest_stride, count)
int lua54_ud_take(lua_State* L) {
    userdata_header* u = to_userdata(L, 1);
    userdata_header* idx = to_userdata(L, 2);
    if (!u || !idx || (idx->type & 31) != UTYPE_I32) return 0;
    int code = u->type & 31;
    userdata_header* dest = to_userdata(L, 3);
    bool into_u = !dest && lua_toboolean(L, 3);
    int64_t span = q64_intp(L, 6, 1);
    int64_t count = q64_intp(L, 9, span == 1 ? userdata_count(idx) : int64_t(idx->width));
    if (span < 1 || (dest && (dest->type & 31) != code)) return 0;
    lua_settop(L, TAKE_DEST_SLOT - 1);
    if (dest) {
        lua_pushvalue(L, 3);
    } else if (into_u) {
        lua_pushvalue(L, 1);
    } else {
        dest = span == 1 ? create_userdata_of_type(L, code, idx->dimensions, idx->width, idx->height)
                         : create_userdata_of_type(L, code, 2, span, count);
        if (!dest) return 0;
    }
    take_state st = {};
    st.n = -1, st.budget = USERDATA_WORK_LIMIT, st.code = code;
    return take_run(L, &st, false);
}

// u:sort(column, descending) -> the number of comparisons
int lua54_ud_sort(lua_State* L) {
    userdata_header* u = to_userdata(L, 1);
    if (!u) return 0;
    bool rows = u->height > 1;
    int64_t width = rows ? u->width : 1;
    int64_t records = rows ? u->height : userdata_count(u);
    sort_key key = {q64_intp(L, 2, 0), lua_gettop(L) >= 3 && lua_toboolean(L, 3), 0};
    if (key.column < 0 || key.column >= width) return 0;
    int64_t log2 = 1;
    while (log2 < 63 && (int64_t(1) << log2) < records) log2++;
    if (records * log2 * std::max<int64_t>(width * userdata_element_size(u->type & 31), 8) > SORT_WHOLE_WORK) {
        lua_settop(L, SORT_STATE_SLOT - 1);
        // May raise the memory error: nothing is held yet.
        sort_state* s = static_cast<sort_state*>(lua_newuserdatauv(L, sizeof(sort_state), 0));
        *s = sort_state{};
        s->column = key.column, s->records = records, s->width = width;
        s->code = u->type & 31, s->descending = key.descending;
        s->depth = 1, s->lo[0] = 0, s->hi[0] = records;
        return sort_k(L, LUA_OK, 0);
    }
    with_element_type(u->type, [&](auto tag) { sort_records<decltype(tag)>(u, records, width, &key); });
    int64_t c = key.comparisons * 3 / 4;
    spend_cpu(c + c * (width * userdata_element_size(u->type & 31) / 128));
    lua_pushinteger(L, key.comparisons);
    return 1;
}

namespace {

// A transpose, a piece of rows at a time: into d (d(x, y) = u(y, x)) over the rectangle both
// arrays hold, or in place over the leading square when d is u, each pair swapped once. The
// stack: u, the second argument, the destination (3) and the state (4). Charged at the copying
// rate of take, so a loop of large transposes cannot hold up every other process.
constexpr int TRANSPOSE_DEST_SLOT = 3;
constexpr int TRANSPOSE_STATE_SLOT = 4;

struct transpose_state {
    int64_t y, x;  // the row of d (or of the square) under way, and the next element in it
    int64_t visited, charged;
    int32_t code, in_place;
};

// Goes on from where st stands for about a piece; true when done.
template <class T> bool transpose_piece(userdata_header* u, userdata_header* d, transpose_state* st) {
    T* s = userdata_elements<T>(u);
    int64_t uw = u->width, work = 0;
    if (st->in_place) {
        int64_t side = std::min<int64_t>(u->width, u->height);
        for (; st->y < side; st->y++, st->x = 0) {
            int64_t y = st->y, end = std::min(y, st->x + std::max<int64_t>(SPLIT_PIECE - work, 1));
            for (int64_t x = st->x; x < end; x++) std::swap(s[x + y * uw], s[y + x * uw]);
            work += end - st->x + 1;
            st->visited += 2 * (end - st->x);
            st->x = end;
            if (end < y || work >= SPLIT_PIECE) {
                if (end >= y) st->y++, st->x = 0;
                return st->y >= side;
            }
        }
        return true;
    }
    T* t = userdata_elements<T>(d);
    int64_t dw = d->width;
    int64_t w = std::min<int64_t>(d->width, u->height), h = std::min<int64_t>(d->height, u->width);
    for (; st->y < h; st->y++, st->x = 0) {
        int64_t y = st->y, end = std::min(w, st->x + std::max<int64_t>(SPLIT_PIECE - work, 1));
        for (int64_t x = st->x; x < end; x++) t[x + y * dw] = s[y + x * uw];
        work += end - st->x + 1;
        st->visited += end - st->x;
        st->x = end;
        if (end < w || work >= SPLIT_PIECE) {
            if (end >= w) st->y++, st->x = 0;
            return st->y >= h;
        }
    }
    return true;
}

int transpose_run(lua_State* L, transpose_state* st, bool on_stack);
int transpose_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, TRANSPOSE_STATE_SLOT);
    transpose_state* st = state_at<transpose_state>(L, TRANSPOSE_STATE_SLOT);
    return st ? transpose_run(L, st, true) : 0;
}

int transpose_run(lua_State* L, transpose_state* st, bool on_stack) {
    userdata_header* u = to_userdata(L, 1);
    userdata_header* d = to_userdata(L, TRANSPOSE_DEST_SLOT);
    if (!u || !d || (u->type & 31) != st->code || (d->type & 31) != st->code || (d == u) != (st->in_place != 0) ||
        st->y < 0 || st->x < 0)
        return 0;
    int64_t per = st->code == UTYPE_I64 || st->code == UTYPE_F64 ? 12 : 24;
    for (;;) {
        bool finished = with_element_type(st->code, [&](auto tag) { return transpose_piece<decltype(tag)>(u, d, st); });
        int64_t cost = st->visited / per;
        if (finished) cost = std::max(cost, userdata_count(u) / per);
        if (charge_piece(L, cost, &st->charged, finished))
            return pause_with_state(L, st, on_stack, api_guarded_k<transpose_k>);
        if (finished) break;
    }
    lua_pushvalue(L, TRANSPOSE_DEST_SLOT);
    return 1;
}

// A ramp fill, a piece at a time. The stack: the six arguments, u again (7) and the state (8).
constexpr int LERP_STATE_SLOT = 8;

struct lerp_state {
    int64_t r, i;  // the run under way and its next inner element
    int64_t budget, charged;
    int32_t code;
};

// Goes on from where st stands for about a piece; true when done. Runs are done in order and
// a run's ends are never written by the run itself, so pieces give what one pass gives.
template <class T>
bool lerp_piece(userdata_header* u, lerp_state* st, int64_t offset, int64_t length, int64_t step, int64_t count,
                int64_t stride) {
    T* p = userdata_elements<T>(u);
    int64_t work = 0;
    for (; st->r < count && st->budget > 0; st->r++, st->budget -= length, st->i = 1) {
        T* run = p + offset + st->r * stride;
        T start = run[0];
        double d = ramp_difference(start, run[length * step]);
        int64_t i = std::max<int64_t>(st->i, 1), end = std::min(length, i + std::max<int64_t>(SPLIT_PIECE - work, 1));
        for (; i < end; i++) run[i * step] = ramp_element<T>(double(start) + d * double(i) / double(length));
        work += end - st->i + 1;
        st->i = end;
        if (end < length) return false;
        if (work >= SPLIT_PIECE) {
            st->r++, st->budget -= length, st->i = 1;
            return st->r >= count || st->budget <= 0;
        }
    }
    return true;
}

int lerp_run(lua_State* L, lerp_state* st, bool on_stack);
int lerp_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, LERP_STATE_SLOT);
    lerp_state* st = state_at<lerp_state>(L, LERP_STATE_SLOT);
    return st ? lerp_run(L, st, true) : 0;
}

int lerp_run(lua_State* L, lerp_state* st, bool on_stack) {
    userdata_header* u = to_userdata(L, 1);
    if (!u || (u->type & 31) != st->code || st->r < 0) return 0;
    int64_t offset = q64_intp(L, 2, 0), length = q64_intp(L, 3, int64_t(u->width) - 1);
    int64_t step = q64_intp(L, 4, 1), count = q64_intp(L, 5, u->height);
    int64_t stride = q64_intp(L, 6, u->width);
    if (length < 1 || count < 1 || stride < 1 || step < 1 || offset < 0) return 0;
    userdata_wide last = userdata_wide(offset) + userdata_wide(length) * step + userdata_wide(count - 1) * stride;
    if (last >= userdata_count(u)) return 0;
    if (length >= 2) {
        // Within the range checked above every product and sum below fits in 64 bits.
        for (;;) {
            bool finished = with_element_type(st->code, [&](auto tag) {
                return lerp_piece<decltype(tag)>(u, st, offset, length, step, count, stride);
            });
            // Charged by the elements written, as element-wise work is.
            int64_t used = st->r * length + (st->i - 1);
            if (finished) used = USERDATA_WORK_LIMIT - std::max<int64_t>(st->budget, 0);
            if (charge_piece(L, std::min(used, USERDATA_WORK_LIMIT) / 12, &st->charged, finished))
                return pause_with_state(L, st, on_stack, api_guarded_k<lerp_k>);
            if (finished) break;
        }
    }
    lua_pushvalue(L, 1);
    return 1;
}

}  // namespace

// u:transpose(dest)
int lua54_ud_transpose(lua_State* L) {
    userdata_header* u = to_userdata(L, 1);
    if (!u) return 0;
    int code = u->type & 31;
    userdata_header* dest = to_userdata(L, 2);
    transpose_state st = {0, 0, 0, 0, code, 0};
    lua_settop(L, TRANSPOSE_DEST_SLOT - 1);
    if (dest) {
        if ((dest->type & 31) != code) return 0;
        st.in_place = dest == u;
        lua_pushvalue(L, 2);
    } else if (lua_toboolean(L, 2)) {
        st.in_place = 1;
        lua_pushvalue(L, 1);
    } else {
        if (!create_userdata_of_type(L, code, 2, u->height, u->width)) return 0;
    }
    return transpose_run(L, &st, false);
}

// u:lerp(offset, length, element_stride, count, stride): each run's inner elements become a
// straight ramp between its two end elements.
int lua54_ud_lerp(lua_State* L) {
    userdata_header* u = to_userdata(L, 1);
    if (!u) return 0;
    lerp_state st = {0, 1, USERDATA_WORK_LIMIT, 0, u->type & 31};
    lua_settop(L, LERP_STATE_SLOT - 2);
    lua_pushvalue(L, 1);
    return lerp_run(L, &st, false);
}
