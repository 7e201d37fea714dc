// Typed arrays, vector and matrix members on f64 arrays: length, distance, dot and cross
// products, matrix products and 3-D and 2-D affine transforms.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "kernel/api.h"
#include "base/pbuffer.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

// Two scratch copies shared by every process (main thread only): slot 0 holds the left
// operand's rows, slot 1 the right operand, whenever that operand is also the destination,
// so every product reads the values from before the call.
pbuffer* scratch[2];

// Makes sure slot can take n doubles; false when the memory is not there.
bool reserve_scratch(int slot, int64_t n) {
    if (!scratch[slot]) scratch[slot] = create_buffer_2(1024, 0);
    if (!scratch[slot]) return false;
    ballocate(scratch[slot], n * 8);
    return scratch[slot]->capacity >= uint64_t(n) * 8;
}

// A copy of n doubles in scratch slot (reserved beforehand).
const double* copy_dat(int slot, const double* values, int64_t n) {
    double* copy = reinterpret_cast<double*>(scratch[slot]->data);
    memcpy(copy, values, size_t(n) * 8);
    spend_cpu(n / 256);
    return copy;
}

// One row of a product: out[c] = the sum over k of a[k] x b[k][c], accumulated with fused
// multiply-add from k = 0 upward. The loop runs along b's rows, so it reads memory in order;
// where the processor has the instruction, the fused multiply-add is done inline.
#ifndef __SANITIZE_THREAD__  // the clones' resolver would run before ThreadSanitizer starts
__attribute__((target_clones("fma", "default")))
#endif
void product_row(double* out, const double* a, const double* b, int64_t w, int64_t mw) {
    for (int64_t c = 0; c < mw; c++) out[c] = 0.0;
    for (int64_t k = 0; k < w; k++) {
        double x = a[k];
        const double* row = b + k * mw;
        for (int64_t c = 0; c < mw; c++) out[c] = std::fma(x, row[c], out[c]);
    }
}

bool is_f64(const userdata_header* h) { return h && (h->type & 31) == UTYPE_F64; }
double* elements(userdata_header* h) { return userdata_elements<double>(h); }

// The two operands of a vector member, both f64.
bool vector_pair(lua_State* L, userdata_header** u, userdata_header** v) {
    *u = to_userdata(L, 1);
    *v = to_userdata(L, 2);
    return is_f64(*u) && is_f64(*v);
}

// The destination of a product: an f64 array in argument 3, u itself for another true value,
// else null (the caller makes one). *refused when argument 3 is an array of another type.
userdata_header* given_destination(lua_State* L, userdata_header* u, bool* refused) {
    userdata_header* d = to_userdata(L, 3);
    *refused = d && !is_f64(d);
    if (d) return d;
    return lua_toboolean(L, 3) ? u : nullptr;
}

// Pushes a destination that was given: argument 3, or u (argument 1) for a true value.
void push_given(lua_State* L) { lua_pushvalue(L, to_userdata(L, 3) ? 3 : 1); }

// The destination of an affine transform, not yet pushed: given (and then as wide as u and at
// least as tall, so u's rows land on its rows), or null for a byte copy of u.
bool affine_destination(lua_State* L, userdata_header* u, userdata_header** d) {
    bool refused;
    *d = given_destination(L, u, &refused);
    return !refused && (!*d || ((*d)->width == u->width && (*d)->height >= u->height));
}

// Pushes the destination, making the byte copy of u when none was given.
userdata_header* push_affine_destination(lua_State* L, userdata_header* u, userdata_header* d) {
    if (!d) return push_duplicate_userdata(L, u);
    push_given(L);
    return d;
}

}  // namespace

int lua54_ud_magnitude(lua_State* L) {
    userdata_header* u = to_userdata(L, 1);
    if (!is_f64(u)) return 0;
    const double* p = elements(u);
    double sum = 0;
    for (uint32_t i = 0; i < u->width; i++) sum += p[i] * p[i];
    spend_cpu(u->width / 8 + 2);
    lua_pushnumber(L, std::sqrt(sum));
    return 1;
}

// Differences and their squares in single precision, the sum in double.
int lua54_ud_distance(lua_State* L) {
    userdata_header *u, *v;
    if (!vector_pair(L, &u, &v)) return 0;
    int64_t n = std::min(u->width, v->width);
    double sum = 0;
    for (int64_t i = 0; i < n; i++) {
        float d = float(elements(u)[i] - elements(v)[i]);
        sum += double(d * d);
    }
    spend_cpu(n / 8 + 2);
    lua_pushnumber(L, std::sqrt(sum));
    return 1;
}

int lua54_ud_dot(lua_State* L) {
    userdata_header *u, *v;
    if (!vector_pair(L, &u, &v)) return 0;
    int64_t n = std::min(u->width, v->width);
    double sum = 0;
    for (int64_t i = 0; i < n; i++) sum = std::fma(elements(u)[i], elements(v)[i], sum);
    spend_cpu(n / 8 + 1);
    lua_pushnumber(L, sum);
    return 1;
}

// u:cross(v, dest): into dest, u (dest true), or a copy of v.
int lua54_ud_cross(lua_State* L) {
    userdata_header *u, *v;
    if (!vector_pair(L, &u, &v)) return 0;
    bool refused;
    userdata_header* d = given_destination(L, u, &refused);
    if (refused || u->width < 3 || v->width < 3 || (d && d->width < 3)) return 0;
    const double* a = elements(u);
    const double* b = elements(v);
    double r[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    if (d) push_given(L);
    else if (!(d = push_duplicate_userdata(L, v))) return 0;
    memcpy(elements(d), r, sizeof r);
    spend_cpu(2);
    return 1;
}

namespace {

// A product small enough to run whole within a slice: at most this many multiply-adds.
constexpr int64_t MATMUL_WHOLE_WORK = 1 << 18;
// Columns of the result a piece computes together when m is the destination.
constexpr int64_t MATMUL_COLUMN_GROUP = 8;
// Doubles of the copy for A x A in place filled in one piece.
constexpr int64_t MATMUL_COPY_CHUNK = 1 << 17;

// How a split product reads its operands once results are written:
// ROWS: the destination is not m, so m keeps its values; a row of u that is also the
// destination's row is read in full before the row is written.
// COLUMNS: m is the destination and u is not: each column of the result needs only the same
// column of m, so a group of columns is copied out before it is written.
// COPY: u, m and the destination are one square array, kept as a copy on the stack.
enum matmul_mode : intptr_t { MATMUL_ROWS, MATMUL_COLUMNS, MATMUL_COPY };

// The stack of a split product: the four arguments, the destination (5) and, for COPY, the
// copy of the array (6).
constexpr int MATMUL_DEST_SLOT = 5;
constexpr int MATMUL_COPY_SLOT = 6;

// Rows of COLUMNS: out[r][c0 + g] = the sum over k of u[r][k] x m[k][c0 + g] for g below n,
// from column copy t (w rows of MATMUL_COLUMN_GROUP), each sum in the order product_row uses.
#ifndef __SANITIZE_THREAD__
__attribute__((target_clones("fma", "default")))
#endif
void product_columns(double* out, const double* u, const double* t, int64_t rows, int64_t w, int64_t mw,
                     int64_t n) {
    for (int64_t r = 0; r < rows; r++) {
        double acc[MATMUL_COLUMN_GROUP] = {};
        const double* a = u + r * w;
        for (int64_t k = 0; k < w; k++) {
            double x = a[k];
            const double* col = t + k * MATMUL_COLUMN_GROUP;
            for (int64_t g = 0; g < MATMUL_COLUMN_GROUP; g++) acc[g] = std::fma(x, col[g], acc[g]);
        }
        for (int64_t g = 0; g < n; g++) out[r * mw + g] = acc[g];
    }
}

// The copy a split A x A in place reads from: host memory owned by a small full userdata on the
// product's stack, freed when the product ends or, should it never end, when that userdata is
// collected. All such copies together are bounded; past the bound a product runs unsplit.
struct held_copy {
    double* data;
    int64_t count;
};
const char* const HELD_COPY_TYPE = "matmul copy";
constexpr int64_t HELD_COPY_LIMIT = 2 * USERDATA_MAX_BYTES;
int64_t held_copy_bytes = 0;

void release_held_copy(held_copy* h) {
    if (!h || !h->data) return;
    free(h->data);
    held_copy_bytes -= h->count * 8;
    h->data = nullptr;
}
int collect_held_copy(lua_State* L) {
    release_held_copy(static_cast<held_copy*>(luaL_testudata(L, 1, HELD_COPY_TYPE)));
    return 0;
}

// Goes on with a split product from piece ctx >> 2 (a row, or a group of columns) in mode
// ctx & 3, after looking again at the arrays on the stack.
int matmul_k(lua_State* L, int, lua_KContext ctx) {
    intptr_t mode = ctx & 3;
    int64_t next = int64_t(ctx >> 2);
    lua_settop(L, mode == MATMUL_COPY ? MATMUL_COPY_SLOT : MATMUL_DEST_SLOT);
    userdata_header* u = to_userdata(L, 1);
    userdata_header* m = to_userdata(L, 2);
    userdata_header* d = to_userdata(L, MATMUL_DEST_SLOT);
    if (!is_f64(u) || !is_f64(m) || !is_f64(d) || u->width != m->height || d->width != m->width ||
        d->height != u->height)
        return 0;
    bool shape_holds = mode == MATMUL_ROWS    ? d != m
                       : mode == MATMUL_COLUMNS ? d == m && u != m
                                                : d == m && u == m;
    int64_t w = u->width, mw = m->width, h = u->height;
    held_copy* held = nullptr;
    if (mode == MATMUL_COPY) {
        held = static_cast<held_copy*>(luaL_testudata(L, MATMUL_COPY_SLOT, HELD_COPY_TYPE));
        shape_holds = shape_holds && held && held->data && held->count == userdata_count(m);
    }
    const double* copy = held ? held->data : nullptr;
    // COPY first fills the copy a chunk a piece (a fresh block's first touch is slow on some
    // hosts), then does the rows.
    int64_t copy_chunks = mode == MATMUL_COPY ? (userdata_count(m) + MATMUL_COPY_CHUNK - 1) / MATMUL_COPY_CHUNK : 0;
    int64_t pieces = mode == MATMUL_COLUMNS ? (mw + MATMUL_COLUMN_GROUP - 1) / MATMUL_COLUMN_GROUP : h;
    pieces += copy_chunks;
    if (!shape_holds || next < 0 || next > pieces) return 0;
    if (mode == MATMUL_ROWS && d == u && !reserve_scratch(0, mw)) return 0;
    if (mode == MATMUL_COLUMNS && !reserve_scratch(1, w * MATMUL_COLUMN_GROUP)) return 0;

    // Each piece is charged as it ends, so the charges add up to the whole product's.
    int64_t per_piece = mode == MATMUL_COLUMNS ? h * w * MATMUL_COLUMN_GROUP : w * mw;
    while (next < pieces) {
        if (next < copy_chunks) {
            int64_t at = next * MATMUL_COPY_CHUNK, n = std::min(MATMUL_COPY_CHUNK, userdata_count(m) - at);
            memcpy(held->data + at, elements(m) + at, size_t(n) * 8);
            next++;
            bool overrun = charge_native_work(std::min(next * MATMUL_COPY_CHUNK, held->count) / 256 - at / 256);
            // Its charge is light, but a fresh block's pages cost the host more: a chunk a slice.
            if (lua_isyieldable(L))
                return native_work_pause(L, intptr_t(next) << 2 | mode, api_guarded_k<matmul_k>);
            if (overrun) raise_native_overrun(L);
            continue;
        }
        int64_t piece = next - copy_chunks;
        if (mode == MATMUL_COLUMNS) {
            int64_t c0 = piece * MATMUL_COLUMN_GROUP, n = std::min(MATMUL_COLUMN_GROUP, mw - c0);
            double* t = reinterpret_cast<double*>(scratch[1]->data);
            for (int64_t k = 0; k < w; k++) {
                for (int64_t g = 0; g < MATMUL_COLUMN_GROUP; g++) t[k * MATMUL_COLUMN_GROUP + g] = g < n ? elements(m)[k * mw + c0 + g] : 0.0;
            }
            product_columns(elements(d) + c0, elements(u), t, h, w, mw, n);
        } else if (mode == MATMUL_COPY) {
            product_row(elements(d) + piece * mw, copy + piece * w, copy, w, mw);
        } else if (d == u) {
            double* t = reinterpret_cast<double*>(scratch[0]->data);
            product_row(t, elements(u) + piece * w, elements(m), w, mw);
            memcpy(elements(d) + piece * mw, t, size_t(mw) * 8);
        } else {
            product_row(elements(d) + piece * mw, elements(u) + piece * w, elements(m), w, mw);
        }
        int64_t before = piece * per_piece;
        next++;
        int64_t after = std::min((piece + 1) * per_piece, h * w * mw);
        bool overrun = charge_native_work(after / 8 - before / 8);
        if (next < pieces && native_work_should_pause(L))
            return native_work_pause(L, intptr_t(next) << 2 | mode, api_guarded_k<matmul_k>);
        if (next < pieces && overrun) raise_native_overrun(L);
    }
    release_held_copy(held);
    lua_pushvalue(L, MATMUL_DEST_SLOT);
    return 1;
}

// A x A into A, large, when no copy can be held: from a copy in scratch 1, in one call that
// charges each row and ends past the overrun bound.
int matmul_unsplit_square(lua_State* L, userdata_header* a) {
    int64_t n = a->width, count = userdata_count(a);
    if (!reserve_scratch(1, count)) return 0;
    const double* copy = copy_dat(1, elements(a), count);
    for (int64_t r = 0; r < n; r++) {
        product_row(elements(a) + r * n, copy + r * n, copy, n, n);
        if (charge_native_work((r + 1) * n * n / 8 - r * n * n / 8)) raise_native_overrun(L);
    }
    lua_pushvalue(L, MATMUL_DEST_SLOT);
    return 1;
}

}  // namespace

// u:matmul(m, dest, block_rows): dest = u x m, each sum accumulated with fused multiply-add.
// Blocks only decide what is valid: every row of the result depends on its own row of u and on
// m, so a large product is done a row (or a group of columns) at a time, across slices.
int lua54_ud_matmul(lua_State* L) {
    userdata_header *u, *m;
    if (!vector_pair(L, &u, &m)) return 0;
    int64_t block = q64_intp(L, 4, u->height);
    if (block < 1 || u->height % block != 0 || u->width != m->height) return 0;
    bool refused;
    userdata_header* d = given_destination(L, u, &refused);
    if (refused || (d && (d->width != m->width || d->height != u->height))) return 0;
    int64_t w = u->width, mw = m->width;
    if (int64_t(u->height) * w * mw > MATMUL_WHOLE_WORK) {
        lua_settop(L, 4);
        if (d) push_given(L);
        else if (!(d = create_userdata_of_type(L, UTYPE_F64, 2, mw, u->height))) return 0;
        intptr_t mode = d != m ? MATMUL_ROWS : d != u ? MATMUL_COLUMNS : MATMUL_COPY;
        if (mode == MATMUL_COPY) {
            // May raise the memory error: nothing is held yet.
            held_copy* held = static_cast<held_copy*>(lua_newuserdatauv(L, sizeof(held_copy), 0));
            *held = held_copy{nullptr, 0};
            if (luaL_newmetatable(L, HELD_COPY_TYPE)) {
                lua_pushcfunction(L, collect_held_copy);
                lua_setfield(L, -2, "__gc");
            }
            lua_setmetatable(L, -2);
            int64_t count = userdata_count(m);
            if (held_copy_bytes + count * 8 > HELD_COPY_LIMIT ||
                !(held->data = static_cast<double*>(malloc(size_t(count) * 8))))
                return matmul_unsplit_square(L, m);
            held->count = count;
            held_copy_bytes += count * 8;
        }
        return matmul_k(L, LUA_OK, mode);
    }
    if ((d == u && !reserve_scratch(0, block * w)) || (d == m && !reserve_scratch(1, userdata_count(m)))) return 0;
    if (d) push_given(L);
    else if (!(d = create_userdata_of_type(L, UTYPE_F64, 2, mw, u->height))) return 0;

    const double* b = d == m ? copy_dat(1, elements(m), userdata_count(m)) : elements(m);
    for (int64_t top = 0; top < u->height; top += block) {
        const double* a = elements(u) + top * w;
        if (d == u) a = copy_dat(0, a, block * w);
        for (int64_t r = 0; r < block; r++) product_row(elements(d) + (top + r) * mw, a + r * w, b, w, mw);
    }
    spend_cpu(int64_t(u->height) * w * mw / 8);
    return 1;
}

// u:matmul3d(m, dest, block): rows of u as points (block 1) or 4-row affine matrices (block 4)
// through the 3-wide, 4-high affine m.
int lua54_ud_matmul3d(lua_State* L) {
    userdata_header *u, *m;
    if (!vector_pair(L, &u, &m)) return 0;
    int64_t block = q64_intp(L, 4, u->height);
    if (block < 1 || u->height % block != 0 || m->width < 3 || m->height != 4 || u->width < 3) return 0;
    if (block != 1 && block != 4) return 0;
    int64_t w = u->width, mw = m->width, rows = u->height;
    userdata_header* d;
    if (!affine_destination(L, u, &d)) return 0;
    if ((d == u && !reserve_scratch(0, block * w)) || (d == m && !reserve_scratch(1, userdata_count(m)))) return 0;
    if (!(d = push_affine_destination(L, u, d))) return 0;

    const double* M = d == m ? copy_dat(1, elements(m), userdata_count(m)) : elements(m);
    auto at = [&](int64_t r, int64_t c) { return M[r * mw + c]; };
    for (int64_t top = 0; top < rows; top += block) {
        const double* a = elements(u) + top * w;
        if (d == u) a = copy_dat(0, a, block == 1 ? 3 : block * w);
        double* out = elements(d) + top * w;
        if (block == 1) {
            double x = a[0], y = a[1], z = a[2];
            for (int c = 0; c < 3; c++) out[c] = std::fma(z, at(2, c), std::fma(x, at(0, c), y * at(1, c))) + at(3, c);
            continue;
        }
        // m has four rows, so a row of u wider than four reads only its first four elements.
        int64_t depth = std::min<int64_t>(w, 4);
        for (int64_t r = 0; r < 4; r++) {
            for (int c = 0; c < 3; c++) {
                double sum = 0.0;
                for (int64_t k = 0; k < depth; k++) sum = std::fma(a[r * w + k], at(k, c), sum);
                out[r * w + c] = r == 3 ? sum + at(3, c) : sum;
            }
        }
    }
    spend_cpu(rows);  // one cycle per point, or four per 4-row block
    return 1;
}

// u:matmul2d(m, dest, block): rows of u as 2-D points (block 1) or 3-row affine matrices
// (block 3) through the 2-wide, 3-high affine m.
int lua54_ud_matmul2d(lua_State* L) {
    userdata_header *u, *m;
    if (!vector_pair(L, &u, &m)) return 0;
    int64_t block = q64_intp(L, 4, u->height);
    if (m->width < 2 || m->height != 3 || u->width < 2 || (block != 1 && block != 3)) return 0;
    int64_t w = u->width, mw = m->width, rows = u->height;
    userdata_header* d;
    if (!affine_destination(L, u, &d)) return 0;
    if ((d == u && !reserve_scratch(0, 2)) || (d == m && !reserve_scratch(1, userdata_count(m)))) return 0;
    if (!(d = push_affine_destination(L, u, d))) return 0;

    const double* M = d == m ? copy_dat(1, elements(m), userdata_count(m)) : elements(m);
    auto at = [&](int64_t r, int64_t c) { return M[r * mw + c]; };
    // A trailing partial block of three rows is left alone.
    int64_t used = block == 1 ? rows : rows - rows % 3;
    for (int64_t r = 0; r < used; r++) {
        const double* a = elements(u) + r * w;
        if (d == u && block == 1) a = copy_dat(0, a, 2);
        double x = a[0], y = a[1];
        double* out = elements(d) + r * w;
        bool translate = block == 1 || r % 3 == 2;
        for (int c = 0; c < 2; c++) {
            double v = std::fma(x, at(0, c), y * at(1, c));
            out[c] = translate ? v + at(2, c) : v;
        }
    }
    spend_cpu(block == 1 ? rows / 2 + 1 : rows * 3 / 2 + 1);
    return 1;
}
