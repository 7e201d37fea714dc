// Textured drawing: sprites from the sprite table or given directly, stretched sprites, map
// layers, perspective textured lines, sprite flags, rectangle copies and palette conversions.
#pragma once
#include <cstdint>

#include "gfx/draw_state.h"

struct lua_State;
struct process_record;
struct userdata_header;

// Sprite numbers below this name a slot of the sprite table; others name no sprite.
constexpr int64_t SPRITE_NUMBERS = 16384;

// ---- the textured pixel ----------------------------------------------------------------------

// The colour pipeline for a texel s over destination byte d at x, y: the sprite target mask is
// in c.target_mask (draw_begin with ADDR_SPRITE_TARGET_MASK), and a set pattern bit at the
// destination adds 2 to the table number instead of choosing a pen byte.
inline uint8_t texture_pixel(const draw_context& c, uint8_t s, uint8_t d, int64_t x, int64_t y) {
    uint8_t sm = s & c.read_mask, dm = d & c.target_mask;
    int t = ((sm | dm) >> 6) | (((c.pattern[y & 7] >> (x & 7)) & 1) << 1);
    uint8_t e = c.tables[t][(sm & 63) * 64 + (dm & 63)];
    return uint8_t((e & c.write_mask) | (d & ~c.write_mask));
}

// True when read and target masks are 63 and no pattern bit is set: every texel then goes
// through table 0 by its own colour and the destination's, as texture_pixel would.
bool texture_fast(const draw_context& c);

// n texels src(0..n-1) onto the bytes from dst on, the first at x, y of the target; fast as
// texture_fast(c) says. The caller guarantees the run lies inside the clip.
template <class Src>
inline void texture_run(const draw_context& c, bool fast, uint8_t* dst, int64_t x, int64_t y, int64_t n, Src src) {
    if (fast) {
        const uint8_t* t0 = c.tables[0];
        uint8_t w = c.write_mask;
        if (w == 0xFF) {
            for (int64_t k = 0; k < n; k++) dst[k] = t0[((src(k) & 63) << 6) | (dst[k] & 63)];
        } else {
            uint8_t keep = uint8_t(~w);
            for (int64_t k = 0; k < n; k++) {
                uint8_t d = dst[k];
                dst[k] = uint8_t((t0[((src(k) & 63) << 6) | (d & 63)] & w) | (d & keep));
            }
        }
        return;
    }
    for (int64_t k = 0; k < n; k++) dst[k] = texture_pixel(c, src(k), dst[k], x + k, y);
}

// ---- rasterisers (camera-adjusted coordinates; each returns its cost count) --------------------

// The w x h rectangle at sx, sy of a u8 sprite at dx, dy, clipped to the sprite and the clip;
// flips mirror the whole sprite first, the rectangle applying to the mirrored image. The cost
// is the pixel count, halved on the fast path. Anything but a u8 sprite draws nothing.
int64_t draw_spr(const draw_context& c, const userdata_header* sprite, int64_t sx, int64_t sy, int64_t dx,
                 int64_t dy, int64_t w, int64_t h, bool flip_x, bool flip_y);

// A scaled copy: destination pixel (i, j) of the dw x dh rectangle at dx, dy shows the texel at
// column sx + (2i' + 1) sw / (2 dw) and row sy + (2j' + 1) sh / (2 dh) (floored), with i' = dw - 1 - i
// when flipped in x and j' likewise in y: nearest texels sampled at pixel centres. Transposed,
// the destination's columns run down the source rows and its rows across the source columns
// (column sx + (2j' + 1) sw / (2 dh), row sy + (2i' + 1) sh / (2 dw)). Texels outside the
// sprite are not drawn. rows_as_lines selects the cost rule: true charges every destination
// row as one textured line, false every destination column; a line costs its points, halved
// (rounding down) on the fast path.
int64_t draw_scaled(const draw_context& c, const userdata_header* sprite, int64_t sx, int64_t sy, int64_t sw,
                    int64_t sh, int64_t dx, int64_t dy, int64_t dw, int64_t dh, bool flip_x, bool flip_y,
                    bool transpose, bool rows_as_lines);

// One textured line in the process's texture window, from a u8 sprite (texture coordinates
// in pixels) or an i16 map (coordinates in cells), with u / w, v / w and 1 / w interpolated
// along the line.
struct tline_args {
    double x0, y0, x1, y1;
    double u0, v0, u1, v1;
    double w0, w1;
    int64_t flags;  // 0x100 omits the last pixel, 0x200 no sub-pixel prestep, 0x400 exact
};
int64_t draw_tline3d(const draw_context& c, const userdata_header* source, const tline_args& a);

// The map layer of an i16 map: cells mx, my onward (w x h of them) drawn at x, y with cells of
// cell_w x cell_h pixels. Returns 2 per visible cell plus, separately in *pixels, the summed
// pixel costs of the sprites drawn.
int64_t draw_map(const draw_context& c, const userdata_header* map, int64_t mx, int64_t my, int64_t x, int64_t y,
                 int64_t w, int64_t h, int64_t layers, int64_t cell_w, int64_t cell_h, int64_t* pixels);

// Copies the w x h rectangle at sx, sy of src to dx, dy of dst as raw elements (no masks or
// tables); both arrays must have the same element type. The destination is clipped to the
// rectangle clip_x0 <= x < clip_x1, clip_y0 <= y < clip_y1 (which must lie within dst), the
// source to its array. Overlapping rows of one array are copied as if through a buffer.
// Returns the copy cost, 0 when nothing was copied.
int64_t blit(const userdata_header* src, userdata_header* dst, int64_t sx, int64_t sy, int64_t dx, int64_t dy,
             int64_t w, int64_t h, int64_t clip_x0, int64_t clip_y0, int64_t clip_x1, int64_t clip_y1);

// ---- the sprite table and palette conversions ----------------------------------------------------

// The sprite that number n names in rec's table, or null (n outside 0-16383, or an empty slot).
const userdata_header* sprite_slot(const process_record* rec, int64_t n);

// Pixels through the current process's 64-colour palette at 0x5000 (0x00RRGGBB): each byte
// becomes the bytes R, G, B, 255 of its colour (& 63); each R, G, B, A pixel becomes the index
// of the nearest colour by 2 dR^2 + 7 dG^2 + dB^2, the lower index on a tie.
void convert_bitmap_8_to_32(const uint8_t* in, uint8_t* out, int64_t count);
void convert_bitmap_32_to_8(const uint8_t* in, uint8_t* out, int64_t count);

// Script functions.
int lua54_spr(lua_State* L);
int lua54_sspr(lua_State* L);
int lua54_draw_map(lua_State* L);
int lua54_tline3d(lua_State* L);
int lua54_mget(lua_State* L);
int lua54_mset(lua_State* L);
int lua54_fget(lua_State* L);
int lua54_fset(lua_State* L);
int lua54_set_spr(lua_State* L);
int lua54_blit(lua_State* L);
