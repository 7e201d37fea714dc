// Shape rasterisers and their script functions: cls, pset, pget, line, rect, rectfill, oval,
// ovalfill, circ, circfill, rrect and rrectfill, with the batch forms that read f64 arrays.
#include "gfx/shapes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

constexpr int64_t ARG_LIMIT = int64_t(1) << 40;   // script coordinates, before the camera
constexpr int64_t LINE_LIMIT = int64_t(1) << 42;  // keeps every 16.16 product inside 64 bits

inline int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

inline int64_t arg_int(lua_State* L, int i, int64_t dflt) {
    return clamp64(q64_intp(L, i, dflt), -ARG_LIMIT, ARG_LIMIT);
}


inline void charge(int64_t sum, int64_t divisor) {
    if (sum > 0) spend_cpu(sum / divisor);
}

inline bool has_target() { return cproc && cproc->draw_target; }

// The state of the ellipse walk shared by the outline and the fill.
struct ellipse_walk {
    int64_t a2, b2, crit1, crit2, crit3, x, y, t, dxt, dyt, d2xt, d2yt;

    ellipse_walk(int64_t a, int64_t b) {
        a2 = a * a;
        b2 = b * b;
        crit1 = -(a2 / 4 + a % 2 + b2);
        crit2 = -(b2 / 4 + b % 2 + a2);
        crit3 = -(b2 / 4 + b % 2);
        x = 0;
        y = b;
        t = -a2 * y;
        dxt = 0;
        dyt = -2 * a2 * y;
        d2xt = 2 * b2;
        d2yt = 2 * a2;
    }
    bool x_only() const { return t + b2 * x <= crit1 || t + a2 * y <= crit3; }
    bool y_only() const { return t - a2 * y > crit2; }
    void step_x() {
        x++;
        dxt += d2xt;
        t += dxt;
    }
    void step_y() {
        y--;
        dyt += d2yt;
        t += dyt;
    }
    void step_both() {
        x++;
        dxt += d2xt;
        y--;
        dyt += d2yt;
        t += dxt + dyt;
    }
};

// Whole-clip shortcut of the filled ellipses: the clip lies inside the ellipse's 7/10 box.
bool covers_clip(const draw_context& c, int64_t w, int64_t xc, int64_t yc, int64_t a, int64_t b) {
    int64_t ra = a * 7 / 10, rb = b * 7 / 10;
    return w > int64_t(c.clip_x1) - c.clip_x0 && xc - ra < c.clip_x0 && c.clip_x1 <= xc + ra &&
           yc - rb < c.clip_y0 && yc + rb >= c.clip_y1;
}

// Where the rest of an ellipse walk can still reach the clip. The walk's x only grows and its y
// only shrinks, so the upper row (yc - y) moves down to yc, the lower (yc + y + yodd) up to
// yc + yodd, the left column out to xc - a and the right one out to xc + a + xodd: once a row
// or column has left the clip on the side it moves away from (or can never get in), it stays
// out for the rest of the walk.
struct walk_reach {
    bool top, bottom, left, right;
};
inline walk_reach ellipse_reach(const draw_context& c, int64_t xc, int64_t yc, int64_t a, int64_t x, int64_t y,
                                int64_t xodd, int64_t yodd) {
    walk_reach r;
    r.top = yc - y < c.clip_y1 && yc >= c.clip_y0;
    r.bottom = yc + y + yodd >= c.clip_y0 && yc + yodd < c.clip_y1;
    r.left = xc - x >= c.clip_x0 && xc - a < c.clip_x1;
    r.right = xc + x + xodd < c.clip_x1 && xc + a + xodd >= c.clip_x0;
    return r;
}

bool box_outside_clip(const draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    return x1 < c.clip_x0 || x0 >= c.clip_x1 || y1 < c.clip_y0 || y0 >= c.clip_y1;
}

void sort_box(int64_t& x0, int64_t& y0, int64_t& x1, int64_t& y1) {
    if (x1 < x0) std::swap(x0, x1);
    if (y1 < y0) std::swap(y0, y1);
}

}  // namespace

// ---- rasterisers ---------------------------------------------------------------------------------

int64_t draw_line(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    x0 = clamp64(x0, -LINE_LIMIT, LINE_LIMIT);
    y0 = clamp64(y0, -LINE_LIMIT, LINE_LIMIT);
    x1 = clamp64(x1, -LINE_LIMIT, LINE_LIMIT);
    y1 = clamp64(y1, -LINE_LIMIT, LINE_LIMIT);
    if (y1 < y0) {
        std::swap(x0, x1);
        std::swap(y0, y1);
    }
    int64_t dx = x1 - x0, dy = y1 - y0;
    int64_t n = std::max(dx < 0 ? -dx : dx, dy);
    if (n == 0) {
        if (x0 < c.clip_x0 || x0 >= c.clip_x1 || y0 < c.clip_y0 || y0 >= c.clip_y1) return 0;
        put_shape_pixel_noclip(c, x0, y0);
        return 1;
    }
    int64_t sx = dx * 65536 / n, sy = dy * 65536 / n;
    // The fixed-point start of each axis: the pixel's centre.
    int64_t ax = x0 * 65536 + 0x8000, ay = y0 * 65536 + 0x8000;
    int64_t lo = 0, hi = n;
    narrow_steps(ax, sx, int64_t(c.clip_x0) * 65536, int64_t(c.clip_x1) * 65536 - 1, lo, hi);
    narrow_steps(ay, sy, int64_t(c.clip_y0) * 65536, int64_t(c.clip_y1) * 65536 - 1, lo, hi);
    if (lo > hi) return 0;
    if (c.target_mask == 0) {
        // The destination does not reach the table lookup: two possible results.
        uint8_t s0 = uint8_t(c.pen) & c.read_mask, s1 = uint8_t(c.pen >> 8) & c.read_mask;
        uint8_t r[2] = {c.tables[s0 >> 6][(s0 & 63) * 64], c.tables[s1 >> 6][(s1 & 63) * 64]};
        uint8_t w = c.write_mask, keep = uint8_t(~w);
        for (int64_t i = lo; i <= hi; i++) {
            int64_t x = (ax + i * sx) >> 16, y = (ay + i * sy) >> 16;
            uint8_t* px = c.pixels + y * c.width + x;
            *px = uint8_t((r[(c.pattern[y & 7] >> (x & 7)) & 1] & w) | (*px & keep));
        }
        return hi - lo + 1;
    }
    for (int64_t i = lo; i <= hi; i++) put_shape_pixel_noclip(c, (ax + i * sx) >> 16, (ay + i * sy) >> 16);
    return hi - lo + 1;
}

int64_t fill_clip(draw_context& c) {
    int64_t cost = 0;
    for (int64_t y = c.clip_y0; y < c.clip_y1; y++) cost += draw_hline(c, c.clip_x0, int64_t(c.clip_x1) - 1, y);
    return cost;
}

int64_t draw_rectfill(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, bool inverted) {
    sort_box(x0, y0, x1, y1);
    int64_t first = std::max<int64_t>(y0, c.clip_y0), last = std::min<int64_t>(y1, int64_t(c.clip_y1) - 1);
    int64_t cost = 0;
    if (!inverted) {
        for (int64_t y = first; y <= last; y++) cost += draw_hline(c, x0, x1, y);
        return cost;
    }
    int64_t above_end = std::min<int64_t>(y0 - 1, int64_t(c.clip_y1) - 1);
    for (int64_t y = std::max<int64_t>(-1, c.clip_y0); y <= above_end; y++) cost += draw_hline(c, -1, c.width, y);
    int64_t below_end = std::min<int64_t>(c.height, int64_t(c.clip_y1) - 1);
    for (int64_t y = std::max<int64_t>(y1 + 1, c.clip_y0); y <= below_end; y++) cost += draw_hline(c, -1, c.width, y);
    for (int64_t y = first; y <= last; y++) {
        cost += draw_hline(c, -1, x0 - 1, y);
        cost += draw_hline(c, x1 + 1, c.width, y);
    }
    return cost;
}

int64_t draw_ellipse_1(draw_context& c, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t xodd, int64_t yodd) {
    if (a < 0 || b < 0) return 0;
    ellipse_walk e(a, b);
    int64_t cost = 0;
    while (e.y >= 0 && e.x <= a) {
        int64_t x = e.x, y = e.y;
        // The rest of the walk plots only points that the clip would drop.
        walk_reach r = ellipse_reach(c, xc, yc, a, x, y, xodd, yodd);
        if (!((r.right && r.bottom) || (r.left && r.top) || (r.right && r.top) || (r.left && r.bottom))) break;
        bool x_axis = x == 0 && xodd == 0, y_axis = y == 0 && yodd == 0;
        putpixel(c, xc + x + xodd, yc + y + yodd);
        cost++;
        if (!x_axis && !y_axis) {
            putpixel(c, xc - x, yc - y);
            cost++;
        }
        if (!y_axis) {
            putpixel(c, xc + x + xodd, yc - y);
            cost++;
        }
        if (!x_axis) {
            putpixel(c, xc - x, yc + y + yodd);
            cost++;
        }
        if (e.x_only()) e.step_x();
        else if (e.y_only()) e.step_y();
        else e.step_both();
        cost++;
    }
    return cost;
}

int64_t fill_ellipse_1(draw_context& c, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t xodd, int64_t yodd,
                       bool inverted) {
    if (a < 0 || b < 0) return 0;
    ellipse_walk e(a, b);
    int64_t cost = 0;
    auto span = [&](int64_t x0, int64_t x1, int64_t y) {
        return inverted ? draw_hline_inv(c, x0, x1, y) : draw_hline(c, x0, x1, y);
    };
    while (e.y >= 0 && e.x <= a) {
        if (e.x_only()) {
            e.step_x();
        } else {
            // The row is finished: y is about to decrease.
            int64_t x = e.x, y = e.y;
            // The rest of the walk draws only on rows outside the clip (inverted too: the
            // spans outside an ellipse's span lie on the same row).
            walk_reach r = ellipse_reach(c, xc, yc, a, x, y, xodd, yodd);
            if (!r.top && !r.bottom) break;
            cost += span(xc - x, xc + x + xodd, yc - y);
            if (!(y == 0 && yodd == 0)) cost += span(xc - x, xc + x + xodd, yc + y + yodd);
            if (e.y_only()) e.step_y();
            else e.step_both();
        }
        cost += 8;
    }
    if (inverted) {
        int64_t above_end = std::min<int64_t>(yc - b - 1, int64_t(c.clip_y1) - 1);
        for (int64_t y = c.clip_y0; y <= above_end; y++) cost += draw_hline(c, c.clip_x0, int64_t(c.clip_x1) - 1, y);
        for (int64_t y = std::max<int64_t>(yc + b + yodd + 1, c.clip_y0); y < c.clip_y1; y++)
            cost += draw_hline(c, c.clip_x0, int64_t(c.clip_x1) - 1, y);
    }
    return cost;
}

bool ellipse_outline_hidden(const draw_context& c, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t xodd,
                            int64_t yodd) {
    if (c.clip_x1 <= c.clip_x0 || c.clip_y1 <= c.clip_y0) return true;
    if (a < 1 || b < 1) return false;
    // Every point of the walk lies within two pixels of the true ellipse on its outer side, so
    // when the clip's farthest corner, two pixels further out, is still inside the ellipse,
    // nothing of the outline falls into the clip.
    auto reach = [](int64_t lo, int64_t hi, int64_t centre, int64_t odd) {
        int64_t d = std::max(std::abs(lo - centre), std::abs(hi - centre));
        return d + std::abs(odd) + 2;
    };
    int64_t X = reach(c.clip_x0, int64_t(c.clip_x1) - 1, xc, xodd);
    int64_t Y = reach(c.clip_y0, int64_t(c.clip_y1) - 1, yc, yodd);
    using u128 = unsigned __int128;
    u128 aa = u128(a) * u128(a), bb = u128(b) * u128(b);
    return u128(X) * u128(X) * bb + u128(Y) * u128(Y) * aa < aa * bb;
}

int64_t draw_oval(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    sort_box(x0, y0, x1, y1);
    x0 = clamp64(x0, -ELLIPSE_LIMIT, ELLIPSE_LIMIT);
    y0 = clamp64(y0, -ELLIPSE_LIMIT, ELLIPSE_LIMIT);
    x1 = clamp64(x1, -ELLIPSE_LIMIT, ELLIPSE_LIMIT);
    y1 = clamp64(y1, -ELLIPSE_LIMIT, ELLIPSE_LIMIT);
    int64_t w = x1 - x0, h = y1 - y0;
    if (h < 2 || w < 2) return draw_rectfill(c, x0, y0, x1, y1, false);
    if (box_outside_clip(c, x0, y0, x1, y1)) return 0;
    int64_t xc = (x0 + x1) >> 1, yc = (y0 + y1) >> 1, a = w >> 1, b = h >> 1;
    if (ellipse_outline_hidden(c, xc, yc, a, b, w & 1, h & 1)) return 0;
    return draw_ellipse_1(c, xc, yc, a, b, w & 1, h & 1);
}

int64_t draw_filloval(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, bool inverted) {
    sort_box(x0, y0, x1, y1);
    x0 = clamp64(x0, -ELLIPSE_LIMIT, ELLIPSE_LIMIT);
    y0 = clamp64(y0, -ELLIPSE_LIMIT, ELLIPSE_LIMIT);
    x1 = clamp64(x1, -ELLIPSE_LIMIT, ELLIPSE_LIMIT);
    y1 = clamp64(y1, -ELLIPSE_LIMIT, ELLIPSE_LIMIT);
    int64_t w = x1 - x0, h = y1 - y0;
    if (h < 2 || w < 2) return draw_rectfill(c, x0, y0, x1, y1, inverted);
    int64_t xc = (x0 + x1) >> 1, yc = (y0 + y1) >> 1, a = w >> 1, b = h >> 1;
    if (covers_clip(c, w, xc, yc, a, b)) return inverted ? 0 : fill_clip(c);
    if (!inverted && box_outside_clip(c, x0, y0, x1, y1)) return 0;
    return fill_ellipse_1(c, xc, yc, a, b, w & 1, h & 1, inverted);
}

namespace {

// The corner radius that fits: at most half the shorter side less one, never above the
// ellipse limit.
int64_t corner_radius(int64_t w, int64_t h, int64_t r) {
    return std::min(std::min((std::min(w, h) >> 1) - 1, r), ELLIPSE_LIMIT - 1);
}

}  // namespace

int64_t draw_rrect(draw_context& c, int64_t x, int64_t y, int64_t w, int64_t h, int64_t r) {
    r = corner_radius(w, h, r);
    int64_t right = x + w - 1, bottom = y + h - 1;
    if (r < 1) {
        int64_t cost = draw_line(c, x, y, right, y);
        if (bottom != y) cost += draw_line(c, x, bottom, right, bottom);
        if (bottom - y >= 2) {
            cost += draw_line(c, x, y + 1, x, bottom - 1);
            cost += draw_line(c, right, y + 1, right, bottom - 1);
        }
        return cost;
    }
    int64_t cost = 0;
    int64_t xodd = w - 2 * r - 3, yodd = h - 2 * r - 3;
    if (!box_outside_clip(c, x, y, x + 2 * r + 2 + xodd, y + 2 * r + 2 + yodd))
        cost += draw_ellipse_1(c, x + r + 1, y + r + 1, r + 1, r + 1, xodd, yodd);
    int64_t x_from = x + r + 2, x_to = x + w - r - 3;
    if (x_from <= x_to) {
        cost += draw_line(c, x_from, y, x_to, y);
        cost += draw_line(c, x_from, bottom, x_to, bottom);
    }
    int64_t y_from = y + r + 2, y_to = y + h - r - 3;
    if (y_from <= y_to) {
        cost += draw_line(c, x, y_from, x, y_to);
        cost += draw_line(c, right, y_from, right, y_to);
    }
    return cost;
}

int64_t draw_rrectfill(draw_context& c, int64_t x, int64_t y, int64_t w, int64_t h, int64_t r, bool inverted) {
    r = corner_radius(w, h, r);
    if (r < 1) return draw_rectfill(c, x, y, x + w - 1, y + h - 1, inverted);
    int64_t a = r + 1, xc = x + r + 1, yc = y + r + 1;
    if (covers_clip(c, 2 * r + 2, xc, yc, a, a)) return inverted ? 0 : fill_clip(c);
    int64_t cost = fill_ellipse_1(c, xc, yc, a, a, w - 2 * r - 3, h - 2 * r - 3, inverted);
    int64_t first = std::max<int64_t>(y + r + 2, c.clip_y0);
    int64_t last = std::min<int64_t>(y + h - r - 3, int64_t(c.clip_y1) - 1);
    for (int64_t row = first; row <= last; row++)
        cost += inverted ? draw_hline_inv(c, x, x + w - 1, row) : draw_hline(c, x, x + w - 1, row);
    return cost;
}

// ---- batch tables --------------------------------------------------------------------------------

bool batch_begin(lua_State* L, int max_columns, batch_rows* b) {
    userdata_header* u = to_userdata(L, 1);
    if (!u || (u->type & 31) != UTYPE_F64) return false;
    b->data = userdata_data(u);
    b->total = userdata_count(u);
    b->first = q64_intp(L, 2, 0);
    b->count = std::min<int64_t>(q64_intp(L, 3, u->height), BATCH_MAX_ROWS);
    b->columns = clamp64(q64_intp(L, 4, u->width), 0, std::min(max_columns, BATCH_MAX_COLUMNS));
    b->stride = clamp64(q64_intp(L, 5, u->width), -ARG_LIMIT, ARG_LIMIT);
    return true;
}

namespace {

// A batch row's first five values floored to coordinate-sized integers.
struct row_ints {
    int64_t v[5];
};
row_ints floor_row(const double* d) {
    row_ints r;
    for (int k = 0; k < 5; k++) {
        double f = std::floor(d[k]);
        r.v[k] = f != f ? 0 : f >= double(ARG_LIMIT) ? ARG_LIMIT : f <= -double(ARG_LIMIT) ? -ARG_LIMIT : int64_t(f);
    }
    return r;
}

// Starts a batch call: the batch arguments fill their slots (missing ones nil) so that every
// later slice finds the stack as this one left it.
void batch_settle(lua_State* L) { lua_settop(L, BATCH_ARGS); }

}  // namespace

// ---- script functions ----------------------------------------------------------------------------

int lua54_cls(lua_State* L) {
    if (!has_target()) return 0;
    userdata_header* t = cproc->draw_target;
    int64_t n = userdata_count(t);
    memset(userdata_data(t), int(q64_intp(L, 1, 0) & 255), size_t(n));
    poke4(ADDR_PRINT_CURSOR_X, 0);
    poke4(ADDR_PRINT_CURSOR_Y, 0);
    spend_cpu(n / 64);
    return 0;
}

namespace {


// Rows from row number from on; a batch that pauses goes on in its continuation.
int pset_batch(lua_State* L, int64_t from) {
    batch_rows b;
    if (!has_target() || !batch_begin(L, 3, &b)) return 0;
    draw_context c;
    draw_begin(&c);
    bool paused;
    int64_t next = batch_run(L, b, from, 2, 1, &paused, [&](const double* d) -> int64_t {
        row_ints r = floor_row(d);
        if (b.columns >= 3) {
            set_colp(r.v[2]);
            draw_reload_pen(&c);
        }
        putpixel(c, r.v[0] - c.camera_x, r.v[1] - c.camera_y);
        return 0;
    });
    if (paused) native_work_pause(L, lua_KContext(next), api_guarded_k<batch_k<pset_batch>>);
    return 0;
}

}  // namespace

int lua54_pset(lua_State* L) {
    if (!has_target()) return 0;
    batch_rows b;
    if (batch_begin(L, 3, &b)) {
        batch_settle(L);
        return pset_batch(L, 0);
    }
    if (lua_gettop(L) < 2) return 0;
    colp(L, 3);
    draw_context c;
    draw_begin(&c);
    putpixel(c, arg_int(L, 1, 0) - c.camera_x, arg_int(L, 2, 0) - c.camera_y);
    return 0;
}

int lua54_pget(lua_State* L) {
    if (!has_target() || lua_gettop(L) < 2) return 0;
    draw_context c;
    draw_begin(&c);
    lua_pushinteger(L, getpixel(c, arg_int(L, 1, 0) - c.camera_x, arg_int(L, 2, 0) - c.camera_y));
    return 1;
}

namespace {

// The polyline forms keep their last point (camera-adjusted) in the two slots above the
// batch arguments.
constexpr int LINE_SLOTS = BATCH_ARGS + 2;

int line_batch(lua_State* L, int64_t from);
int line_k(lua_State* L, int, lua_KContext ctx) {
    lua_settop(L, LINE_SLOTS);
    return line_batch(L, int64_t(ctx));
}

int line_batch(lua_State* L, int64_t from) {
    batch_rows b;
    if (!has_target() || !batch_begin(L, 5, &b)) return 0;
    draw_context c;
    draw_begin(&c);
    int64_t px = lua_tointeger(L, BATCH_ARGS + 1), py = lua_tointeger(L, BATCH_ARGS + 2);
    bool paused;
    int64_t next = batch_run(L, b, from, 3, 1, &paused, [&](const double* d) -> int64_t {
        row_ints r = floor_row(d);
        const int64_t* v = r.v;
        if (b.columns >= 4) {
            if (b.columns >= 5) {
                set_colp(v[4]);
                draw_reload_pen(&c);
            }
            return draw_line(c, v[0] - c.camera_x, v[1] - c.camera_y, v[2] - c.camera_x, v[3] - c.camera_y);
        }
        if (b.columns == 3) {
            set_colp(v[2]);
            draw_reload_pen(&c);
        }
        int64_t x = v[0] - c.camera_x, y = v[1] - c.camera_y;
        int64_t points = draw_line(c, px, py, x, y);
        px = x;
        py = y;
        return points;
    });
    if (paused) {
        lua_pushinteger(L, px);
        lua_replace(L, BATCH_ARGS + 1);
        lua_pushinteger(L, py);
        lua_replace(L, BATCH_ARGS + 2);
        native_work_pause(L, lua_KContext(next), api_guarded_k<line_k>);
    }
    return 0;
}

}  // namespace

int lua54_line(lua_State* L) {
    if (!has_target()) return 0;
    batch_rows b;
    if (batch_begin(L, 5, &b)) {
        draw_context c;
        draw_begin(&c);
        batch_settle(L);
        lua_pushinteger(L, int64_t(peek4(ADDR_LINE_END_X)) - c.camera_x);
        lua_pushinteger(L, int64_t(peek4(ADDR_LINE_END_Y)) - c.camera_y);
        return line_batch(L, 0);
    }
    int n = lua_gettop(L);
    if (n <= 1) {
        colp(L, 1);
        poke(ADDR_LINE_RESTART, 1);
        return 0;
    }
    if (n <= 3) {
        int64_t x = arg_int(L, 1, 0), y = arg_int(L, 2, 0);
        if (peek(ADDR_LINE_RESTART) == 1) {
            poke(ADDR_LINE_RESTART, 0);
            poke4(ADDR_LINE_END_X, x);
            poke4(ADDR_LINE_END_Y, y);
            return 0;
        }
        colp(L, 3);
        draw_context c;
        draw_begin(&c);
        int64_t ex = peek4(ADDR_LINE_END_X), ey = peek4(ADDR_LINE_END_Y);
        int64_t points = draw_line(c, x - c.camera_x, y - c.camera_y, ex - c.camera_x, ey - c.camera_y);
        poke4(ADDR_LINE_END_X, x);
        poke4(ADDR_LINE_END_Y, y);
        charge(points, 1);
        return 0;
    }
    colp(L, 5);
    draw_context c;
    draw_begin(&c);
    int64_t x1 = arg_int(L, 3, 0), y1 = arg_int(L, 4, 0);
    int64_t points = draw_line(c, arg_int(L, 1, 0) - c.camera_x, arg_int(L, 2, 0) - c.camera_y, x1 - c.camera_x,
                               y1 - c.camera_y);
    poke4(ADDR_LINE_END_X, x1);
    poke4(ADDR_LINE_END_Y, y1);
    charge(points, 1);
    return 0;
}

namespace {

// The four box coordinates of arguments 1-4, camera-adjusted.
struct box {
    int64_t x0, y0, x1, y1;
};
box box_args(lua_State* L, const draw_context& c) {
    return {arg_int(L, 1, 0) - c.camera_x, arg_int(L, 2, 0) - c.camera_y, arg_int(L, 3, 0) - c.camera_x,
            arg_int(L, 4, 0) - c.camera_y};
}

// A filled shape's colour argument: the invert flag is cleared first, so only this colour
// can set it; returns whether it did.
bool filled_colour(lua_State* L, int i) {
    cproc->invert_flag = 0;
    colp(L, i);
    return cproc->invert_flag != 0;
}

int64_t draw_rect(draw_context& c, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    int64_t cost = draw_line(c, x0, y0, x1, y0);
    if (y1 != y0) cost += draw_line(c, x0, y1, x1, y1);
    int64_t top = std::min(y0, y1), bottom = std::max(y0, y1);
    if (bottom - top >= 2) {
        cost += draw_line(c, x0, top + 1, x0, bottom - 1);
        cost += draw_line(c, x1, top + 1, x1, bottom - 1);
    }
    return cost;
}

// circ and circfill of one circle; r < 0 draws nothing (or, filled and inverted, the clip).
int64_t circle(draw_context& c, int64_t x, int64_t y, int64_t r, bool filled, bool inverted) {
    if (r < 0) return filled && inverted ? fill_clip(c) : 0;
    return filled ? draw_filloval(c, x - r, y - r, x + r, y + r, inverted) : draw_oval(c, x - r, y - r, x + r, y + r);
}

int circle_batch(lua_State* L, bool filled, int64_t from);
template <bool FILLED>
int circle_k(lua_State* L, int, lua_KContext ctx) {
    lua_settop(L, BATCH_ARGS);
    return circle_batch(L, FILLED, int64_t(ctx));
}

int circle_batch(lua_State* L, bool filled, int64_t from) {
    batch_rows b;
    if (!has_target() || !batch_begin(L, 4, &b)) return 0;
    draw_context c;
    draw_begin(&c);
    bool paused;
    int64_t next = batch_run(L, b, from, 2, 3, &paused, [&](const double* d) -> int64_t {
        row_ints r = floor_row(d);
        cproc->invert_flag = 0;
        if (b.columns >= 4) {
            set_colp(r.v[3]);
            draw_reload_pen(&c);
        }
        int64_t radius = b.columns >= 3 ? r.v[2] : 4;
        return circle(c, r.v[0] - c.camera_x, r.v[1] - c.camera_y, radius, filled, filled && cproc->invert_flag);
    });
    if (paused)
        native_work_pause(L, lua_KContext(next), filled ? api_guarded_k<circle_k<true>> : api_guarded_k<circle_k<false>>);
    return 0;
}

int circle_function(lua_State* L, bool filled) {
    if (!has_target()) return 0;
    batch_rows b;
    if (batch_begin(L, 4, &b)) {
        batch_settle(L);
        return circle_batch(L, filled, 0);
    }
    bool inverted = filled ? filled_colour(L, 4) : (colp(L, 4), false);
    draw_context c;
    draw_begin(&c);
    charge(circle(c, arg_int(L, 1, 0) - c.camera_x, arg_int(L, 2, 0) - c.camera_y, arg_int(L, 3, 4), filled, inverted),
           3);
    return 0;
}

int rrect_function(lua_State* L, bool filled) {
    if (!has_target() || (!filled && lua_gettop(L) < 2)) return 0;
    bool inverted = filled ? filled_colour(L, 6) : (colp(L, 6), false);
    draw_context c;
    draw_begin(&c);
    int64_t x = arg_int(L, 1, 0) - c.camera_x, y = arg_int(L, 2, 0) - c.camera_y;
    int64_t w = arg_int(L, 3, 0), h = arg_int(L, 4, 0), r = arg_int(L, 5, 0);
    int64_t sum = 0;
    if (w < 1 || h < 1) sum = filled && inverted ? fill_clip(c) : 0;
    else sum = filled ? draw_rrectfill(c, x, y, w, h, r, inverted) : draw_rrect(c, x, y, w, h, r);
    charge(sum, 3);
    return 0;
}

}  // namespace

int lua54_rect(lua_State* L) {
    if (!has_target() || lua_gettop(L) < 4) return 0;
    colp(L, 5);
    draw_context c;
    draw_begin(&c);
    box bx = box_args(L, c);
    charge(draw_rect(c, bx.x0, bx.y0, bx.x1, bx.y1), 3);
    return 0;
}

namespace {


int rectfill_batch(lua_State* L, int64_t from) {
    batch_rows b;
    if (!has_target() || !batch_begin(L, 5, &b)) return 0;
    draw_context c;
    draw_begin(&c);
    bool paused;
    int64_t next = batch_run(L, b, from, 2, 3, &paused, [&](const double* d) -> int64_t {
        row_ints r = floor_row(d);
        const int64_t* v = r.v;
        cproc->invert_flag = 0;
        if (b.columns >= 5) {
            set_colp(v[4]);
            draw_reload_pen(&c);
        }
        return draw_rectfill(c, v[0] - c.camera_x, v[1] - c.camera_y, v[2] - c.camera_x, v[3] - c.camera_y,
                             cproc->invert_flag != 0);
    });
    if (paused) native_work_pause(L, lua_KContext(next), api_guarded_k<batch_k<rectfill_batch>>);
    return 0;
}

}  // namespace

int lua54_rectfill(lua_State* L) {
    if (!has_target()) return 0;
    batch_rows b;
    if (batch_begin(L, 5, &b)) {
        batch_settle(L);
        return rectfill_batch(L, 0);
    }
    if (lua_gettop(L) < 4) return 0;
    bool inverted = filled_colour(L, 5);
    draw_context c;
    draw_begin(&c);
    box bx = box_args(L, c);
    charge(draw_rectfill(c, bx.x0, bx.y0, bx.x1, bx.y1, inverted), 3);
    return 0;
}

int lua54_oval(lua_State* L) {
    if (!has_target()) return 0;
    colp(L, 5);
    draw_context c;
    draw_begin(&c);
    box bx = box_args(L, c);
    charge(draw_oval(c, bx.x0, bx.y0, bx.x1, bx.y1), 1);
    return 0;
}

int lua54_ovalfill(lua_State* L) {
    if (!has_target()) return 0;
    bool inverted = filled_colour(L, 5);
    draw_context c;
    draw_begin(&c);
    box bx = box_args(L, c);
    charge(draw_filloval(c, bx.x0, bx.y0, bx.x1, bx.y1, inverted), 3);
    return 0;
}

int lua54_circ(lua_State* L) { return circle_function(L, false); }
int lua54_circfill(lua_State* L) { return circle_function(L, true); }
int lua54_rrect(lua_State* L) { return rrect_function(L, false); }
int lua54_rrectfill(lua_State* L) { return rrect_function(L, true); }
