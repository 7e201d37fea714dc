// Perspective-correct textured lines from a sprite or a map, through the process's texture
// window, and the tline3d script function with its batch form.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "gfx/shapes.h"
#include "gfx/sprites.h"
#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

// Line end points are kept within this distance of the origin; no target reaches that far.
constexpr double COORD_LIMIT = double(int64_t(1) << 30);
// Texture coordinates in 16.16 are kept within this, so steps between them cannot overflow.
constexpr double FIXED_LIMIT = double(int64_t(1) << 52);

inline int64_t to_fixed(double u) {
    double f = std::floor(u * 65536.0);
    if (!(f == f)) return 0;
    return f >= FIXED_LIMIT ? int64_t(FIXED_LIMIT) : f <= -FIXED_LIMIT ? -int64_t(FIXED_LIMIT) : int64_t(f);
}


// u / w, v / w and 1 / w at both ends, and where along the line each pixel takes them.
struct perspective {
    double U0, dU, V0, dV, Q0, dQ;
    double lead, len;  // the first pixel's distance from the start (0 without prestep), the length

    // True u and v at pixel k, in 16.16.
    void at(int64_t k, int64_t* u, int64_t* v) const {
        double t = len > 0 ? (lead + double(k)) / len : 0.0;
        double q = Q0 + t * dQ;
        *u = to_fixed((U0 + t * dU) / q);
        *v = to_fixed((V0 + t * dV) / q);
    }
};

}  // namespace

int64_t draw_tline3d(const draw_context& c, const userdata_header* source, const tline_args& a) {
    if (!source) return 0;
    int code = source->type & 31;
    bool from_map = code == UTYPE_I16;
    if (code != UTYPE_U8 && !from_map) return 0;
    // The texel position wraps by the source's size less one: an array narrowed to no rows or
    // columns has no texels to wrap into.
    if (source->width < 1 || source->height < 1) return 0;
    if (!(a.w0 > 0) || !(a.w1 > 0)) return 0;
    if (!std::isfinite(a.x0) || !std::isfinite(a.y0) || !std::isfinite(a.x1) || !std::isfinite(a.y1)) return 0;
    double x0 = std::clamp(a.x0, -COORD_LIMIT, COORD_LIMIT), y0 = std::clamp(a.y0, -COORD_LIMIT, COORD_LIMIT);
    double x1 = std::clamp(a.x1, -COORD_LIMIT, COORD_LIMIT), y1 = std::clamp(a.y1, -COORD_LIMIT, COORD_LIMIT);

    // Pixels are stepped one by one along the major axis: those whose centres (whole numbers)
    // lie on the line, both ends included unless the last is omitted.
    bool x_major = std::fabs(x1 - x0) >= std::fabs(y1 - y0);
    double a0 = x_major ? x0 : y0, a1 = x_major ? x1 : y1;
    double m0 = x_major ? y0 : x0, m1 = x_major ? y1 : x1;
    int64_t dir = a1 >= a0 ? 1 : -1;
    int64_t i0 = int64_t(dir > 0 ? std::ceil(a0) : std::floor(a0));
    int64_t i1 = int64_t(dir > 0 ? std::floor(a1) : std::ceil(a1));
    int64_t count = dir * (i1 - i0) + 1;
    if (a.flags & 0x100) count--;
    if (count < 1) return 0;
    double len = std::fabs(a1 - a0);
    double lead = double(dir) * (double(i0) - a0);
    double slope = len > 0 ? (m1 - m0) / len : 0.0;
    // The minor coordinate in 16.16, rounded to the nearest pixel centre.
    int64_t minor0 = to_fixed(m0 + lead * slope + 0.5), minor_step = int64_t(slope * 65536.0);

    int64_t lo = 0, hi = count - 1;
    int64_t major_lo = x_major ? c.clip_x0 : c.clip_y0, major_hi = (x_major ? c.clip_x1 : c.clip_y1) - 1;
    int64_t minor_lo = x_major ? c.clip_y0 : c.clip_x0, minor_hi = (x_major ? c.clip_y1 : c.clip_x1) - 1;
    narrow_steps(i0, dir, major_lo, major_hi, lo, hi);
    narrow_steps(minor0, minor_step, minor_lo * 65536, minor_hi * 65536 + 65535, lo, hi);
    if (lo > hi) return 0;

    perspective p;
    p.Q0 = 1.0 / a.w0;
    p.dQ = 1.0 / a.w1 - p.Q0;
    p.U0 = a.u0 * p.Q0;
    p.dU = a.u1 / a.w1 - p.U0;
    p.V0 = a.v0 * p.Q0;
    p.dV = a.v1 / a.w1 - p.V0;
    p.len = len;
    p.lead = (a.flags & 0x200) ? 0.0 : lead;
    bool exact = a.flags & 0x400;

    // The texture window, and the source's size as a mask.
    process_record* rec = c.rec;
    int64_t win_x = peek2_proc(rec, ADDR_TEXTURE_WINDOW), win_y = peek2_proc(rec, ADDR_TEXTURE_WINDOW + 2);
    int64_t win_w = uint16_t(peek2_proc(rec, ADDR_TEXTURE_WINDOW + 4));
    int64_t win_h = uint16_t(peek2_proc(rec, ADDR_TEXTURE_WINDOW + 6));
    int64_t mask_w = (win_w ? win_w : 65536) - 1, mask_h = (win_h ? win_h : 65536) - 1;
    int64_t src_w = source->width, src_h = source->height;
    const uint8_t* src = userdata_data(source);
    bool fast = texture_fast(c);
    uint8_t write = c.write_mask, keep = uint8_t(~write);
    const uint8_t* t0 = c.tables[0];

    int64_t u = 0, v = 0, du = 0, dv = 0;
    for (int64_t k = lo; k <= hi; k++) {
        if (exact) {
            p.at(k, &u, &v);
        } else if (k == lo || k % 8 == 0) {
            // True coordinates every 8 pixels from the line's start, stepped between.
            int64_t ka = k - k % 8, kb = std::min(ka + 8, count - 1);
            int64_t ub, vb;
            p.at(ka, &u, &v);
            p.at(kb, &ub, &vb);
            du = kb > ka ? (ub - u) / (kb - ka) : 0;
            dv = kb > ka ? (vb - v) / (kb - ka) : 0;
            u += (k - ka) * du;
            v += (k - ka) * dv;
        }
        int64_t major = i0 + dir * k, minor = (minor0 + k * minor_step) >> 16;
        int64_t x = x_major ? major : minor, y = x_major ? minor : major;
        int64_t tx = (((u >> 16) & mask_w) + win_x) & (src_w - 1);
        int64_t ty = (((v >> 16) & mask_h) + win_y) & (src_h - 1);
        uint8_t* dst = c.pixels + y * c.width + x;
        if (!from_map) {
            uint8_t s = src[ty * src_w + tx];
            *dst = fast ? uint8_t((t0[((s & 63) << 6) | (*dst & 63)] & write) | (*dst & keep))
                        : texture_pixel(c, s, *dst, x, y);
        } else {
            uint16_t cell;
            memcpy(&cell, src + (ty * src_w + tx) * 2, 2);
            const userdata_header* sprite = sprite_slot(rec, cell & 0x1FFF);
            if (!sprite || (sprite->type & 31) != UTYPE_U8 || sprite->width < 1 || sprite->height < 1) {
                *dst = texture_pixel(c, 0, *dst, x, y);
            } else {
                int64_t sw = sprite->width, sh = sprite->height;
                int64_t px = ((u & 0xFFFF) * sw) >> 16, py = ((v & 0xFFFF) * sh) >> 16;
                if (cell & 0x4000) px = ~px;
                if (cell & 0x8000) py = ~py;
                uint8_t s = userdata_data(sprite)[(py & (sh - 1)) * sw + (px & (sw - 1))];
                *dst = uint8_t((t0[((s & 63) << 6) | (*dst & 63)] & write) | (*dst & keep));
            }
        }
        if (!exact) {
            u += du;
            v += dv;
        }
    }
    int64_t drawn = hi - lo + 1;
    if (from_map) return exact ? drawn : 2 * drawn / 3;
    if (fast) return exact ? drawn / 2 : drawn / 3;
    return exact ? 2 * drawn / 3 : 2 * drawn / 5;
}

namespace {

inline double number_arg(lua_State* L, int i, double dflt) {
    int ok = 0;
    double d = lua_tonumberx(L, i, &ok);
    return ok ? d : dflt;
}

inline int64_t double_to_int(double d) {
    d = std::floor(d);
    return d != d ? 0 : d >= 9.2e18 ? INT64_MAX : d <= -9.2e18 ? INT64_MIN : int64_t(d);
}

}  // namespace

namespace {


// Rows from row number from on; a batch that pauses goes on in its continuation.
int tline3d_batch(lua_State* L, int64_t from) {
    process_record* rec = cproc;
    batch_rows b;
    if (!rec || !rec->draw_target || !batch_begin(L, 12, &b)) return 0;
    draw_context c;
    draw_begin(&c, ADDR_SPRITE_TARGET_MASK);
    bool paused;
    int64_t next = batch_run(L, b, from, 3, 1, &paused, [&](const double* v) -> int64_t {
        const userdata_header* s = sprite_slot(rec, double_to_int(v[0]) & (MAX_SPRITES - 1));
        tline_args a;
        a.x0 = v[1] - c.camera_x;
        a.y0 = v[2] - c.camera_y;
        a.x1 = v[3] - c.camera_x;
        a.y1 = v[4] - c.camera_y;
        a.u0 = v[5];
        a.v0 = v[6];
        a.u1 = b.columns > 7 ? v[7] : a.u0 + (a.x1 - a.x0);
        a.v1 = b.columns > 8 ? v[8] : a.v0 + (a.y1 - a.y0);
        a.w0 = b.columns > 9 ? v[9] : 1.0;
        a.w1 = b.columns > 10 ? v[10] : 1.0;
        a.flags = b.columns > 11 ? double_to_int(v[11]) : 0;
        return draw_tline3d(c, s, a);
    });
    if (paused) native_work_pause(L, lua_KContext(next), api_guarded_k<batch_k<tline3d_batch>>);
    return 0;
}

}  // namespace

int lua54_tline3d(lua_State* L) {
    process_record* rec = cproc;
    if (!rec || !rec->draw_target) return 0;
    batch_rows b;
    if (batch_begin(L, 12, &b)) {
        lua_settop(L, BATCH_ARGS);
        return tline3d_batch(L, 0);
    }
    if (lua_gettop(L) < 4) return 0;
    const userdata_header* source = nullptr;
    if (lua_type(L, 1) == LUA_TUSERDATA) source = to_userdata(L, 1);
    else if (lua_isnumber(L, 1)) source = sprite_slot(rec, q64_intp(L, 1, -1));
    if (!source) return 0;
    draw_context c;
    draw_begin(&c, ADDR_SPRITE_TARGET_MASK);
    tline_args a;
    a.x0 = number_arg(L, 2, 0) - c.camera_x;
    a.y0 = number_arg(L, 3, 0) - c.camera_y;
    a.x1 = number_arg(L, 4, 0) - c.camera_x;
    a.y1 = number_arg(L, 5, 0) - c.camera_y;
    a.u0 = number_arg(L, 6, 0);
    a.v0 = number_arg(L, 7, 0);
    a.u1 = lua_isnoneornil(L, 8) ? a.u0 + (a.x1 - a.x0) : number_arg(L, 8, 0);
    a.v1 = lua_isnoneornil(L, 9) ? a.v0 + (a.y1 - a.y0) : number_arg(L, 9, 0);
    a.w0 = lua_isnoneornil(L, 10) ? 1.0 : number_arg(L, 10, 0);
    a.w1 = lua_isnoneornil(L, 11) ? 1.0 : number_arg(L, 11, 0);
    a.flags = q64_intp(L, 12, 0);
    int64_t cost = draw_tline3d(c, source, a);
    if (cost > 0) spend_cpu(cost);
    return 0;
}
