// Sprites, stretched sprites and map layers drawn through the textured colour pipeline, the
// sprite table and flags, and the palette conversions of stored images.
#include "gfx/sprites.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "gfx/shapes.h"
#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

bool texture_fast(const draw_context& c) {
    uint64_t pattern;
    memcpy(&pattern, c.pattern, 8);
    return c.read_mask == 63 && c.target_mask == 63 && pattern == 0;
}

const userdata_header* sprite_slot(const process_record* rec, int64_t n) {
    if (!rec || !rec->sprites || n < 0 || n >= MAX_SPRITES) return nullptr;
    return rec->sprites[n];
}

// ---- rasterisers -----------------------------------------------------------------------------------

int64_t draw_spr(const draw_context& c, const userdata_header* sprite, int64_t sx, int64_t sy, int64_t dx,
                 int64_t dy, int64_t w, int64_t h, bool flip_x, bool flip_y) {
    if (!sprite || (sprite->type & 31) != UTYPE_U8) return 0;
    int64_t sw = sprite->width, sh = sprite->height;
    if (sx >= sw || sy >= sh || dx >= c.clip_x1 || dy >= c.clip_y1) return 0;
    // The source rectangle within the (mirrored) sprite, then the destination within the clip.
    if (sx < 0) {
        dx -= sx;
        w += sx;
        sx = 0;
    }
    if (sy < 0) {
        dy -= sy;
        h += sy;
        sy = 0;
    }
    w = std::min(w, sw - sx);
    h = std::min(h, sh - sy);
    if (dx < c.clip_x0) {
        sx += c.clip_x0 - dx;
        w -= c.clip_x0 - dx;
        dx = c.clip_x0;
    }
    if (dy < c.clip_y0) {
        sy += c.clip_y0 - dy;
        h -= c.clip_y0 - dy;
        dy = c.clip_y0;
    }
    w = std::min<int64_t>(w, c.clip_x1 - dx);
    h = std::min<int64_t>(h, c.clip_y1 - dy);
    if (w < 1 || h < 1) return 0;

    bool fast = texture_fast(c);
    // Rows of the (mirrored) sprite, and of the target, one after another.
    int64_t first_row = flip_y ? sh - 1 - sy : sy, row_step = flip_y ? -sw : sw;
    const uint8_t* from = userdata_data(sprite) + first_row * sw + (flip_x ? sw - 1 - sx : sx);
    uint8_t* to = c.pixels + dy * c.width + dx;
    if (fast) {
        const uint8_t* t0 = c.tables[0];
        uint8_t write = c.write_mask;
        for (int64_t j = 0; j < h; j++, from += row_step, to += c.width) {
            if (flip_x) texture_run_fast(t0, write, to, w, texels_backward{from});
            else texture_run_fast(t0, write, to, w, texels_forward{from});
        }
    } else {
        for (int64_t j = 0; j < h; j++, from += row_step, to += c.width) {
            if (flip_x) texture_run_full(c, to, dx, dy + j, w, texels_backward{from});
            else texture_run_full(c, to, dx, dy + j, w, texels_forward{from});
        }
    }
    return fast ? w * h / 2 : w * h;
}

namespace {

// Texel offsets of one chunk of destination columns.
constexpr int64_t SCALE_CHUNK = 1024;
int32_t scale_columns[SCALE_CHUNK];

// The texel offset of step k of n over len texels, sampled at the step's centre. Callers keep
// n and len within 2^31, so the product cannot overflow.
inline int64_t scaled_texel(int64_t k, int64_t len, int64_t n) { return (2 * k + 1) * len / (2 * n); }

}  // namespace

int64_t draw_scaled(const draw_context& c, const userdata_header* sprite, int64_t sx, int64_t sy, int64_t sw,
                    int64_t sh, int64_t dx, int64_t dy, int64_t dw, int64_t dh, bool flip_x, bool flip_y,
                    bool transpose, bool rows_as_lines) {
    if (!sprite || (sprite->type & 31) != UTYPE_U8 || sw < 1 || sh < 1 || dw < 1 || dh < 1) return 0;
    int64_t width = sprite->width, height = sprite->height;
    // What the destination's columns and rows sweep: a start, a length and the sprite's extent.
    int64_t col_start = transpose ? sy : sx, col_len = transpose ? sh : sw, col_limit = transpose ? height : width;
    int64_t row_start = transpose ? sx : sy, row_len = transpose ? sw : sh, row_limit = transpose ? width : height;
    int64_t x_lo = std::max<int64_t>(dx, c.clip_x0), x_hi = std::min<int64_t>(dx + dw, c.clip_x1);
    int64_t y_lo = std::max<int64_t>(dy, c.clip_y0), y_hi = std::min<int64_t>(dy + dh, c.clip_y1);
    if (x_lo >= x_hi || y_lo >= y_hi) return 0;

    bool fast = texture_fast(c);
    const uint8_t* pixels = userdata_data(sprite);
    int64_t columns = 0, rows = 0;
    for (int64_t chunk = x_lo; chunk < x_hi; chunk += SCALE_CHUNK) {
        int64_t n = std::min(SCALE_CHUNK, x_hi - chunk);
        // The texel moves monotonically across the columns, so the valid ones form one run.
        int64_t first = n, last = -1;
        for (int64_t k = 0; k < n; k++) {
            int64_t i = chunk + k - dx;
            int64_t t = col_start + scaled_texel(flip_x ? dw - 1 - i : i, col_len, dw);
            if (t < 0 || t >= col_limit) continue;
            scale_columns[k] = int32_t(t);
            first = std::min(first, k);
            last = k;
        }
        if (last < first) continue;
        int64_t run = last - first + 1;
        columns += run;
        int64_t x = chunk + first;
        const int32_t* cols = scale_columns + first;
        int64_t visible_rows = 0;
        for (int64_t y = y_lo; y < y_hi; y++) {
            int64_t j = y - dy;
            int64_t t = row_start + scaled_texel(flip_y ? dh - 1 - j : j, row_len, dh);
            if (t < 0 || t >= row_limit) continue;
            visible_rows++;
            uint8_t* to = c.pixels + y * c.width + x;
            if (transpose) texture_run(c, fast, to, x, y, run, texels_picked{pixels + t, cols, width});
            else texture_run(c, fast, to, x, y, run, texels_picked{pixels + t * width, cols, 1});
        }
        rows = visible_rows;
    }
    if (columns == 0 || rows == 0) return 0;
    if (rows_as_lines) return rows * (fast ? columns / 2 : columns);
    return columns * (fast ? rows / 2 : rows);
}

namespace {

// The flag bytes of all sprites, gathered from the process's memory for one map call.
uint8_t sprite_flags_copy[MAX_SPRITES];

void gather_sprite_flags(process_record* rec) {
    for (uint32_t done = 0; done < MAX_SPRITES;) {
        uint32_t stretch = 0;
        const uint8_t* p = locate_proc(rec, ADDR_SPRITE_FLAGS + done, &stretch);
        uint32_t n = std::min<uint32_t>(stretch, MAX_SPRITES - done);
        memcpy(sprite_flags_copy + done, p, n);
        done += n;
    }
}


}  // namespace

int64_t draw_map(const draw_context& c, const userdata_header* map, int64_t mx, int64_t my, int64_t x, int64_t y,
                 int64_t w, int64_t h, int64_t layers, int64_t cell_w, int64_t cell_h, int64_t* pixels) {
    *pixels = 0;
    if (!map || (map->type & 31) != UTYPE_I16 || cell_w < 1 || cell_h < 1) return 0;
    int64_t map_w = map->width, map_h = map->height;
    // Cells left of or above the map move the start along and are dropped from the count.
    if (mx < 0) {
        x -= mx * cell_w;
        w += mx;
        mx = 0;
    }
    if (my < 0) {
        y -= my * cell_h;
        h += my;
        my = 0;
    }
    w = std::min(w, map_w - mx);
    h = std::min(h, map_h - my);
    // Whole cells outside the clip are skipped.
    if (x < c.clip_x0) {
        int64_t skip = (c.clip_x0 - x) / cell_w;
        mx += skip;
        x += skip * cell_w;
        w -= skip;
    }
    if (y < c.clip_y0) {
        int64_t skip = (c.clip_y0 - y) / cell_h;
        my += skip;
        y += skip * cell_h;
        h -= skip;
    }
    w = std::min(w, ceil_div(c.clip_x1 - x, cell_w));
    h = std::min(h, ceil_div(c.clip_y1 - y, cell_h));
    if (w < 1 || h < 1) return 0;

    process_record* rec = c.rec;
    if (layers != 0) gather_sprite_flags(rec);
    bool draw_zero = peek_proc(rec, ADDR_PRINT_OPTIONS) & PRINT_OPTION_MAP_SPRITE_0;
    const uint8_t* cells = userdata_data(map);
    userdata_header* const* slots = rec->sprites;
    int64_t sum = 0;
    for (int64_t j = 0; j < h; j++) {
        const uint8_t* row = cells + ((my + j) * map_w + mx) * 2;
        int64_t py = y + j * cell_h;
        for (int64_t i = 0; i < w; i++) {
            uint16_t v;
            memcpy(&v, row + i * 2, 2);
            int64_t index = v & 0x1FFF;
            const userdata_header* s = slots ? slots[index] : nullptr;
            if (!s || (index == 0 && !draw_zero)) continue;
            if (layers != 0 && (sprite_flags_copy[index] & layers) == 0) continue;
            int64_t px = x + i * cell_w;
            bool fx = v & 0x4000, fy = v & 0x8000;
            if (int64_t(s->width) == cell_w && int64_t(s->height) == cell_h && !(v & 0x2000))
                sum += draw_spr(c, s, 0, 0, px, py, cell_w, cell_h, fx, fy);
            else
                sum += draw_scaled(c, s, 0, 0, s->width, s->height, px, py, cell_w, cell_h, fx, fy, v & 0x2000, true);
        }
    }
    *pixels = sum;
    return 2 * w * h;
}

// ---- palette conversions ---------------------------------------------------------------------

namespace {

void read_palette(uint32_t* palette) {
    for (int i = 0; i < 64; i++) palette[i] = uint32_t(peek4(ADDR_PALETTES + i * 4));
}

}  // namespace

void convert_bitmap_8_to_32(const uint8_t* in, uint8_t* out, int64_t count) {
    uint32_t palette[64];
    read_palette(palette);
    for (int64_t i = 0; i < count; i++) {
        uint32_t rgb = palette[in[i] & 63];
        out[i * 4] = uint8_t(rgb >> 16);
        out[i * 4 + 1] = uint8_t(rgb >> 8);
        out[i * 4 + 2] = uint8_t(rgb);
        out[i * 4 + 3] = 255;
    }
}

void convert_bitmap_32_to_8(const uint8_t* in, uint8_t* out, int64_t count) {
    uint32_t palette[64];
    read_palette(palette);
    for (int64_t i = 0; i < count; i++) {
        int r = in[i * 4], g = in[i * 4 + 1], b = in[i * 4 + 2];
        int best = 0;
        int64_t best_distance = INT64_MAX;
        for (int k = 0; k < 64; k++) {
            int dr = r - int((palette[k] >> 16) & 255), dg = g - int((palette[k] >> 8) & 255), db = b - int(palette[k] & 255);
            int64_t d = 2 * dr * dr + 7 * dg * dg + db * db;
            if (d < best_distance) {
                best_distance = d;
                best = k;
            }
        }
        out[i] = uint8_t(best);
    }
}

// ---- script functions ----------------------------------------------------------------------------

namespace {

constexpr int64_t ARG_LIMIT = int64_t(1) << 31;  // every product of two arguments fits 64 bits

inline int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }
inline int64_t arg_int(lua_State* L, int i, int64_t dflt) { return clamp64(q64_intp(L, i, dflt), -ARG_LIMIT, ARG_LIMIT); }
inline int64_t number_to_int(double d) {
    d = std::floor(d);
    return d != d ? 0 : d >= double(ARG_LIMIT) ? ARG_LIMIT : d <= -double(ARG_LIMIT) ? -ARG_LIMIT : int64_t(d);
}

inline void charge(int64_t sum, int64_t divisor) {
    if (sum > 0) spend_cpu(sum / divisor);
}

// The sprite a script argument names: a typed array as it is, or a number's slot.
const userdata_header* sprite_arg(lua_State* L, int i) {
    if (lua_type(L, i) == LUA_TUSERDATA) return to_userdata(L, i);
    if (!lua_isnumber(L, i)) return nullptr;
    return sprite_slot(cproc, q64_intp(L, i, -1));
}

bool has_target() { return cproc && cproc->draw_target; }

// The registry table that holds every array of the sprite table, so the collector cannot free
// a sprite the table still points at.
char sprite_arrays_key;

}  // namespace

namespace {


// Rows from row number from on; a batch that pauses goes on in its continuation, which looks up the
// target, the array and every sprite again.
int spr_batch(lua_State* L, int64_t from) {
    batch_rows b;
    if (!has_target() || !batch_begin(L, 5, &b)) return 0;
    draw_context c;
    draw_begin(&c, ADDR_SPRITE_TARGET_MASK);
    bool paused;
    int64_t next = batch_run(L, b, from, 2, 3, &paused, [&](const double* v) -> int64_t {
        double n = std::floor(v[0]);
        if (!(n >= 0 && n < double(SPRITE_NUMBERS))) return 0;
        const userdata_header* s = sprite_slot(c.rec, int64_t(n));
        if (!s) return 0;
        return draw_spr(c, s, 0, 0, number_to_int(v[1]), number_to_int(v[2]), s->width, s->height, v[3] < 0,
                        v[4] < 0);
    });
    if (paused) native_work_pause(L, lua_KContext(next), api_guarded_k<batch_k<spr_batch>>);
    return 0;
}

}  // namespace

int lua54_spr(lua_State* L) {
    if (!has_target()) return 0;
    batch_rows b;
    if (batch_begin(L, 5, &b)) {
        lua_settop(L, BATCH_ARGS);
        return spr_batch(L, 0);
    }
    const userdata_header* s = sprite_arg(L, 1);
    if (!s) return 0;
    draw_context c;
    draw_begin(&c, ADDR_SPRITE_TARGET_MASK);
    charge(draw_spr(c, s, 0, 0, arg_int(L, 2, 0) - c.camera_x, arg_int(L, 3, 0) - c.camera_y, s->width, s->height,
                    lua_toboolean(L, 4), lua_toboolean(L, 5)),
           3);
    return 0;
}

int lua54_sspr(lua_State* L) {
    if (!has_target()) return 0;
    const userdata_header* s = sprite_arg(L, 1);
    if (!s || (s->type & 31) != UTYPE_U8) return 0;
    int64_t sx = arg_int(L, 2, 0), sy = arg_int(L, 3, 0);
    int64_t sw = lua_isnoneornil(L, 4) ? s->width : arg_int(L, 4, 0);
    int64_t sh = lua_isnoneornil(L, 5) ? s->height : arg_int(L, 5, 0);
    if (sw < 1 || sh < 1) return 0;
    int64_t dw = lua_isnoneornil(L, 8) ? sw : arg_int(L, 8, 0);
    int64_t dh = lua_isnoneornil(L, 9) ? sh : arg_int(L, 9, 0);
    bool flip_x = lua_toboolean(L, 10), flip_y = lua_toboolean(L, 11);
    draw_context c;
    draw_begin(&c, ADDR_SPRITE_TARGET_MASK);
    int64_t dx = arg_int(L, 6, 0) - c.camera_x, dy = arg_int(L, 7, 0) - c.camera_y;
    // A negative size mirrors the sprite into the rectangle that ends at dx, dy.
    if (dw < 0) {
        flip_x = !flip_x;
        dx += dw;
        dw = -dw;
    }
    if (dh < 0) {
        flip_y = !flip_y;
        dy += dh;
        dh = -dh;
    }
    if (dw < 1 || dh < 1) return 0;
    charge(draw_scaled(c, s, sx, sy, sw, sh, dx, dy, dw, dh, flip_x, flip_y, false, dw > dh), 3);
    return 0;
}

int lua54_draw_map(lua_State* L) {
    if (!has_target()) return 0;
    userdata_header* map = to_userdata(L, 1);
    if (!map || (map->type & 31) != UTYPE_I16) return 0;
    int64_t mx = arg_int(L, 2, 0), my = arg_int(L, 3, 0);
    int64_t w = lua_isnoneornil(L, 6) ? int64_t(map->width) - mx : arg_int(L, 6, 0);
    int64_t h = lua_isnoneornil(L, 7) ? int64_t(map->height) - my : arg_int(L, 7, 0);
    int64_t layers = q64_intp(L, 8, 0);
    draw_context c;
    draw_begin(&c, ADDR_SPRITE_TARGET_MASK);
    int64_t cell_w = peek(ADDR_MAP_CELL_WIDTH), cell_h = peek(ADDR_MAP_CELL_HEIGHT);
    cell_w = lua_isnoneornil(L, 9) ? (cell_w ? cell_w : 16) : arg_int(L, 9, 0);
    cell_h = lua_isnoneornil(L, 10) ? (cell_h ? cell_h : 16) : arg_int(L, 10, 0);
    int64_t pixels = 0;
    int64_t cells = draw_map(c, map, mx, my, arg_int(L, 4, 0) - c.camera_x, arg_int(L, 5, 0) - c.camera_y, w, h,
                             layers, cell_w, cell_h, &pixels);
    charge(cells, 1);
    charge(pixels, 3);
    return 0;
}

int lua54_mget(lua_State* L) {
    process_record* rec = cproc;
    const userdata_header* map = rec ? rec->map_userdata : nullptr;
    if (!map || (map->type & 31) != UTYPE_I16) return 0;
    int64_t x = q64_intp(L, 1, -1), y = q64_intp(L, 2, -1);
    if (x < 0 || y < 0 || x >= int64_t(map->width) || y >= int64_t(map->height)) return 0;
    int16_t v;
    memcpy(&v, userdata_data(map) + (y * map->width + x) * 2, 2);
    lua_pushinteger(L, v);
    return 1;
}

int lua54_mset(lua_State* L) {
    process_record* rec = cproc;
    userdata_header* map = rec ? rec->map_userdata : nullptr;
    if (!map || (map->type & 31) != UTYPE_I16) return 0;
    int64_t x = q64_intp(L, 1, -1), y = q64_intp(L, 2, -1);
    if (x < 0 || y < 0 || x >= int64_t(map->width) || y >= int64_t(map->height)) return 0;
    int16_t v = int16_t(q64_intp(L, 3, 0));
    memcpy(userdata_data(map) + (y * map->width + x) * 2, &v, 2);
    return 0;
}

int lua54_fget(lua_State* L) {
    if (!cproc) return 0;
    uint8_t flags = peek(ADDR_SPRITE_FLAGS + (q64_intp(L, 1, 0) & (MAX_SPRITES - 1)));
    if (lua_gettop(L) >= 2) {
        int64_t bit = q64_intp(L, 2, 0) & 31;
        lua_pushboolean(L, bit < 8 && ((flags >> bit) & 1));
        return 1;
    }
    lua_pushinteger(L, flags);
    return 1;
}

int lua54_fset(lua_State* L) {
    if (!cproc) return 0;
    int64_t address = ADDR_SPRITE_FLAGS + (q64_intp(L, 1, 0) & (MAX_SPRITES - 1));
    int n = lua_gettop(L);
    if (n >= 3) {
        int64_t bit = q64_intp(L, 2, 0) & 31;
        if (bit >= 8) return 0;
        uint8_t flags = peek(address);
        flags = lua_toboolean(L, 3) ? uint8_t(flags | (1 << bit)) : uint8_t(flags & ~(1 << bit));
        poke(address, flags);
    } else {
        poke(address, n == 2 ? q64_intp(L, 2, 0) & 255 : 0);
    }
    return 0;
}

int lua54_set_spr(lua_State* L) {
    process_record* rec = cproc;
    if (!rec) return 0;
    int64_t slot = q64_intp(L, 1, 0) & (MAX_SPRITES - 1);
    userdata_header* ud = to_userdata(L, 2);
    // The table of slots is made with the first sprite set.
    if (!rec->sprites) {
        rec->sprites = (userdata_header**)calloc(MAX_SPRITES, sizeof(userdata_header*));
        if (!rec->sprites) {
            lua_pushliteral(L, "not enough memory");
            return lua_error(L);
        }
    }
    // The registry entry is written first: should that fail, the slot is left as it was.
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &sprite_arrays_key) != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_newtable(L);  // may run a finaliser that makes the table first
        if (lua_rawgetp(L, LUA_REGISTRYINDEX, &sprite_arrays_key) == LUA_TTABLE) {
            lua_remove(L, -2);
        } else {
            lua_pop(L, 1);
            lua_pushvalue(L, -1);
            lua_rawsetp(L, LUA_REGISTRYINDEX, &sprite_arrays_key);
        }
    }
    if (ud) lua_pushvalue(L, 2);
    else lua_pushnil(L);
    lua_rawseti(L, -2, slot);
    lua_pop(L, 1);
    rec->sprites[slot] = ud ? ud : get_null_sprite();
    return 0;
}

userdata_header* get_null_sprite() {
    static struct {
        userdata_header h;
        uint8_t pixels[16 * 16];
    } null_sprite = {{3, 2, {0, 0}, 16, 16, 0}, {}};
    return &null_sprite.h;
}
