// Textured drawing: sprites from the sprite table or given directly, stretched sprites, map
// layers, perspective textured lines, sprite flags, rectangle copies and palette conversions.
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Where a run of texels comes from: at(k) is texel k, eight(k) texels k to k + 7 as one word
// (texel k + q in bits 8q to 8q + 7).
struct texels_forward {  // consecutive bytes
    const uint8_t* p;
    uint8_t at(int64_t k) const { return p[k]; }
    uint64_t eight(int64_t k) const {
        uint64_t v;
        memcpy(&v, p + k, 8);
        return v;
    }
};
struct texels_backward {  // consecutive bytes read from end down
    const uint8_t* end;
    uint8_t at(int64_t k) const { return end[-k]; }
    uint64_t eight(int64_t k) const {
        uint64_t v;
        memcpy(&v, end - k - 7, 8);
        return __builtin_bswap64(v);
    }
};
struct texels_picked {  // bytes at base + index[k] * stride
    const uint8_t* base;
    const int32_t* index;
    int64_t stride;
    uint8_t at(int64_t k) const { return base[index[k] * stride]; }
    uint64_t eight(int64_t k) const {
        uint64_t v = 0;
        for (int q = 0; q < 8; q++) v |= uint64_t(at(k + q)) << (8 * q);
        return v;
    }
};
static_assert(std::endian::native == std::endian::little, "texel words are read and written little-endian");

// Table 0 looked up for eight texels over eight destination bytes, both given as words. The
// eight table indices are formed side by side in a vector register where there is one.
[[gnu::always_inline]] inline uint64_t table0_eight(const uint8_t* t0, uint64_t s, uint64_t d) {
#if defined(__SSE2__)
    const __m128i low6 = _mm_set1_epi16(63), zero = _mm_setzero_si128();
    __m128i sv = _mm_unpacklo_epi8(_mm_cvtsi64_si128(int64_t(s)), zero);
    __m128i dv = _mm_unpacklo_epi8(_mm_cvtsi64_si128(int64_t(d)), zero);
    __m128i index = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(sv, low6), 6), _mm_and_si128(dv, low6));
    uint64_t lo = uint64_t(_mm_cvtsi128_si64(index)), hi = uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(index, index)));
    return uint64_t(t0[lo & 0xFFFF]) | uint64_t(t0[(lo >> 16) & 0xFFFF]) << 8 | uint64_t(t0[(lo >> 32) & 0xFFFF]) << 16 |
           uint64_t(t0[lo >> 48]) << 24 | uint64_t(t0[hi & 0xFFFF]) << 32 | uint64_t(t0[(hi >> 16) & 0xFFFF]) << 40 |
           uint64_t(t0[(hi >> 32) & 0xFFFF]) << 48 | uint64_t(t0[hi >> 48]) << 56;
#else
    constexpr uint64_t low6 = 0x3F3F3F3F3F3F3F3Full;
    s &= low6;
    d &= low6;
    auto at = [&](int q) { return uint64_t(t0[(((s >> (8 * q)) & 63) << 6) | ((d >> (8 * q)) & 63)]) << (8 * q); };
    return at(0) | at(1) | at(2) | at(3) | at(4) | at(5) | at(6) | at(7);
#endif
}

// n texels onto the bytes from dst on through table 0 and the write mask: the fast path, for
// when texture_fast(c) holds. Eight bytes are taken at a time, texels, destination and result
// staying in registers. The caller guarantees the run lies inside the clip.
template <class Texels>
[[gnu::always_inline]] inline void texture_run_fast(const uint8_t* t0, uint8_t write_mask, uint8_t* dst, int64_t n, const Texels& src) {
    uint64_t write = write_mask * 0x0101010101010101ull;
    int64_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t d;
        memcpy(&d, dst + k, 8);
        uint64_t e = (table0_eight(t0, src.eight(k), d) & write) | (d & ~write);
        memcpy(dst + k, &e, 8);
    }
    for (; k < n; k++) {
        uint8_t d = dst[k];
        dst[k] = uint8_t((t0[((src.at(k) & 63u) << 6) | (d & 63u)] & write_mask) | (d & ~write_mask));
    }
}

// The same through the whole textured pipeline, the first texel at x, y of the target. The
// registers are copied to locals first: stores to the target could otherwise alias them.
template <class Texels>
inline void texture_run_full(const draw_context& c, uint8_t* dst, int64_t x, int64_t y, int64_t n, const Texels& src) {
    const uint8_t* tables[4] = {c.tables[0], c.tables[1], c.tables[2], c.tables[3]};
    const uint8_t read = c.read_mask, target = c.target_mask, write = c.write_mask, keep = uint8_t(~write);
    // The pattern row turned so that bit k is the bit for pixel x + k, twice over for the wrap.
    uint32_t row = c.pattern[y & 7];
    row = ((row | (row << 8)) >> (x & 7)) & 0xFF;
    for (int64_t k = 0; k < n; k++) {
        uint8_t d = dst[k], sm = src.at(k) & read, dm = d & target;
        int t = ((sm | dm) >> 6) | (((row >> (k & 7)) & 1) << 1);
        dst[k] = uint8_t((tables[t][(sm & 63) * 64 + (dm & 63)] & write) | (d & keep));
    }
}

// Either of the two, as fast says.
template <class Texels>
inline void texture_run(const draw_context& c, bool fast, uint8_t* dst, int64_t x, int64_t y, int64_t n,
                        const Texels& src) {
    if (fast) texture_run_fast(c.tables[0], c.write_mask, dst, n, src);
    else texture_run_full(c, dst, x, y, n, src);
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

// The empty 16x16 sprite that stands in for a slot with nothing set.
userdata_header* get_null_sprite();
