// Shape rasterisers: pixels, lines, rectangles, ellipses and rounded rectangles drawn through
// the colour pipeline into the current draw target, and the script functions behind them.
#pragma once
#include <cstdint>

#include "gfx/draw_state.h"
#include "kernel/slice.h"
#include "lua.h"

// Ellipse boxes and corner radii are clamped to this many pixels either side of the origin, so
// the 64-bit step arithmetic cannot overflow and no walk runs longer than a few million steps.
// The clip never reaches past 65,535, so only ellipses far larger than any target change.
constexpr int64_t ELLIPSE_LIMIT = int64_t(1) << 20;

// Every rasteriser takes camera-adjusted coordinates and returns its cost count.

// A line through pixel centres in 16.16 fixed point; only the steps inside the clip are
// walked. Returns the number of points drawn.
int64_t draw_line(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1);
// A filled box (corners in any order, inclusive); inverted: everything in the clip outside it.
// Returns the summed span costs.
int64_t draw_rectfill(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, bool inverted);
// Ellipse outline and filled ellipse inscribed in a box.
int64_t draw_oval(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1);
int64_t draw_filloval(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, bool inverted);
// The ellipse walk around centre xc, yc with half-axes a, b; the right and lower halves are
// shifted by xodd and yodd. The outline plots points (one per step plus one per point), the
// fill draws spans (eight per step plus the span costs).
int64_t draw_ellipse_1(draw_context& c, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t xodd, int64_t yodd);
int64_t fill_ellipse_1(draw_context& c, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t xodd, int64_t yodd,
                       bool inverted);
// True when the clip lies so far inside the ellipse that no point of its outline can show.
bool ellipse_outline_hidden(const draw_context& c, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t xodd,
                            int64_t yodd);
// A rounded rectangle at x, y of size w x h with corner radius r, outline or filled.
int64_t draw_rrect(draw_context& c, int64_t x, int64_t y, int64_t w, int64_t h, int64_t r);
int64_t draw_rrectfill(draw_context& c, int64_t x, int64_t y, int64_t w, int64_t h, int64_t r, bool inverted);
// Every row of the clip in full; returns the span costs.
int64_t fill_clip(draw_context& c);

// ---- batch tables ------------------------------------------------------------------------------

// The most rows one batch call draws.
constexpr int64_t BATCH_MAX_ROWS = 262144;
// The most columns any batch form reads.
constexpr int BATCH_MAX_COLUMNS = 12;

// Rows of numbers read from an f64 array given as a drawing function's first argument.
struct batch_rows {
    const uint8_t* data;
    int64_t total;  // elements in the array
    int64_t first, count, columns, stride;
};

// True when argument 1 is an f64 array; then its rows are described by arguments 2-5 (first
// element, row count, columns up to max_columns, stride), defaulting to the array's rows.
bool batch_begin(lua_State* L, int max_columns, batch_rows* b);

// The stack slots a batch call keeps while it runs: the five batch arguments (missing ones nil)
// and whatever state the form adds above them.
constexpr int BATCH_ARGS = 5;

// The continuation of a batch that paused: the stack back to the batch's arguments, then the
// rows from the one it stopped at (its context).
template <int (*Batch)(lua_State*, int64_t)>
int batch_k(lua_State* L, int, lua_KContext ctx) {
    lua_settop(L, BATCH_ARGS);
    return Batch(L, int64_t(ctx));
}

// Calls row(values) for each row in reach from row number from on, values[0..columns) being
// the row's numbers as they are and the rest of the BATCH_MAX_COLUMNS values 0. A row is in
// reach while its start lies inside the array with room for all its columns, so a negative
// first element or stride never reads before the array. row returns its raw cost; each row is
// charged per_row plus its cost / divisor (remainders carried) as soon as it is drawn.
//
// Before each row after the first, the run stops when the slice is spent and L can yield:
// *paused is then set and the caller saves its state and ends the slice with
// native_work_pause, to go on from the returned row number. Where L cannot yield the rows go
// on until the overrun bound, which raises the overrun error (a batch holds nothing).
// Returns the number of the next row (rows read when nothing paused).
template <typename Row>
int64_t batch_run(lua_State* L, const batch_rows& b, int64_t from, int64_t per_row, int64_t divisor, bool* paused,
                  Row row) {
    *paused = false;
    int64_t limit = b.total - b.columns;
    int64_t start, offset;
    if (__builtin_mul_overflow(from, b.stride, &offset) || __builtin_add_overflow(b.first, offset, &start)) return from;
    int64_t done = from, carry = 0;
    for (; done < b.count && start >= 0 && start <= limit; done++, start += b.stride) {
        if (done > from && native_work_should_pause(L)) {
            *paused = true;
            return done;
        }
        double v[BATCH_MAX_COLUMNS] = {};
        for (int64_t k = 0; k < b.columns; k++) __builtin_memcpy(&v[k], b.data + (start + k) * 8, 8);
        carry += row(static_cast<const double*>(v));
        int64_t charge = per_row + carry / divisor;
        carry %= divisor;
        if (charge_native_work(charge) && !lua_isyieldable(L)) raise_native_overrun(L);
    }
    return done;
}

// Script functions.
int lua54_cls(lua_State* L);
int lua54_pset(lua_State* L);
int lua54_pget(lua_State* L);
int lua54_line(lua_State* L);
int lua54_rect(lua_State* L);
int lua54_rectfill(lua_State* L);
int lua54_oval(lua_State* L);
int lua54_ovalfill(lua_State* L);
int lua54_circ(lua_State* L);
int lua54_circfill(lua_State* L);
int lua54_rrect(lua_State* L);
int lua54_rrectfill(lua_State* L);
