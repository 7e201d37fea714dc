// Draw state and colour pipeline: the drawing registers in each process's memory, the
// colour tables, pen, fill pattern and clip, and the pixel and span writers every rasteriser uses.
#pragma once
#include <algorithm>
#include <cstdint>

#include "base/memmap.h"

struct lua_State;
struct process_record;
struct userdata_header;

// ---- shared defaults ------------------------------------------------------------------------

// The 64 colours of the system palette, 0x00RRGGBB (entries 32-63 are black).
extern const uint32_t system_palette[64];
// The four default colour tables (table 0: row 0 the identity, rows 1-63 solid colour r | 0xC0;
// tables 1-3: the destination kept, with the table's own bits), the identity display remap and
// the default RGB palette (entry i = system colour i & 63). Read-only data made at build time.
struct colour_defaults {
    uint8_t coltabs[4 * COLOUR_TABLE_BYTES];
    uint8_t display_remap[64];
    uint32_t rgb_palette[256];
};
extern const colour_defaults default_colours;

// ---- integer steps ------------------------------------------------------------------------------

inline int64_t floor_div(int64_t n, int64_t d) {  // d > 0
    int64_t q = n / d;
    return (n % d != 0 && n < 0) ? q - 1 : q;
}
inline int64_t ceil_div(int64_t n, int64_t d) {  // d > 0
    int64_t q = n / d;
    return (n % d != 0 && n > 0) ? q + 1 : q;
}

// Narrows lo..hi to the steps k with lower <= start + k * step <= upper: the part of a walk
// that stays inside a clip.
inline void narrow_steps(int64_t start, int64_t step, int64_t lower, int64_t upper, int64_t& lo, int64_t& hi) {
    if (step == 0) {
        if (start < lower || start > upper) hi = lo - 1;
        return;
    }
    if (step > 0) {
        lo = std::max(lo, ceil_div(lower - start, step));
        hi = std::min(hi, floor_div(upper - start, step));
    } else {
        lo = std::max(lo, ceil_div(start - upper, -step));
        hi = std::min(hi, floor_div(start - lower, -step));
    }
}

// ---- one primitive's view of the state ---------------------------------------------------------

// Everything a rasteriser needs, loaded once per drawing call from the current process: the
// target's bytes (width x height, row-major), the refreshed clip cache, the camera, the colour
// tables, the fill pattern, the pen and the three masks in force.
struct draw_context {
    process_record* rec;
    uint8_t* pixels;
    int32_t width, height;
    int32_t clip_x0, clip_y0, clip_x1, clip_y1;  // x0 <= x < x1, y0 <= y < y1
    int32_t camera_x, camera_y;
    const uint8_t* tables[4];                     // 64 x 64 each: row = source, column = destination
    uint8_t pattern[8];                           // row y & 7, bit x & 7 selects the pen's high byte
    uint16_t pen;
    uint8_t read_mask, write_mask, target_mask;
};

// Loads the context for the current process with the target mask at target_mask_address
// (ADDR_SHAPE_TARGET_MASK for shapes and text, ADDR_SPRITE_TARGET_MASK for textured drawing)
// and refreshes its clip cache. False, with nothing loaded, without a process or draw target.
bool draw_begin(draw_context* c, uint32_t target_mask_address = ADDR_SHAPE_TARGET_MASK);
// Reloads pen and fill pattern after set_colp changed them in the middle of a call.
void draw_reload_pen(draw_context* c);

// Brings rec's clip cache up to date with its clip registers and draw target: x0 and y0 are
// read as i16 and x1 and y1 as u16 (0xFFFF and anything past the target mean its far edge),
// every value is clamped to the target and x1 >= x0, y1 >= y0.
void refresh_clip_cache(process_record* rec);

// The colour pipeline for source colour s (before the read mask) over destination byte d.
inline uint8_t pipeline_pixel(const draw_context& c, uint8_t s, uint8_t d) {
    uint8_t sm = s & c.read_mask, dm = d & c.target_mask;
    uint8_t e = c.tables[(sm | dm) >> 6][(sm & 63) * 64 + (dm & 63)];
    return uint8_t((e & c.write_mask) | (d & ~c.write_mask));
}

// The pen byte the fill pattern gives at x, y.
inline uint8_t pattern_source(const draw_context& c, int64_t x, int64_t y) {
    return ((c.pattern[y & 7] >> (x & 7)) & 1) ? uint8_t(c.pen >> 8) : uint8_t(c.pen);
}

// One pixel with the pen at camera-adjusted x, y, through the clip cache and the pipeline.
inline void putpixel(draw_context& c, int64_t x, int64_t y) {
    if (x < c.clip_x0 || x >= c.clip_x1 || y < c.clip_y0 || y >= c.clip_y1) return;
    uint8_t* p = c.pixels + y * c.width + x;
    *p = pipeline_pixel(c, pattern_source(c, x, y), *p);
}
// The same without the clip test: the caller guarantees x, y lie inside the clip.
inline void put_shape_pixel_noclip(draw_context& c, int64_t x, int64_t y) {
    uint8_t* p = c.pixels + y * c.width + x;
    *p = pipeline_pixel(c, pattern_source(c, x, y), *p);
}
// The target byte at x, y; 0 outside the target (the clip does not count).
inline uint8_t getpixel(const draw_context& c, int64_t x, int64_t y) {
    if (x < 0 || x >= c.width || y < 0 || y >= c.height) return 0;
    return c.pixels[y * c.width + x];
}

// The span x0..x1 (inclusive) of row y with the pen, clipped; returns its cycle cost. Fast
// paths (target mask 0; target mask 63 with no table bits in the masked pen) give exactly the
// pixels of the per-pixel pipeline.
int64_t draw_hline(draw_context& c, int64_t x0, int64_t x1, int64_t y);
// The parts of row y outside x0..x1 within the clip; returns the summed cost.
int64_t draw_hline_inv(draw_context& c, int64_t x0, int64_t x1, int64_t y);

// ---- pen, pattern and palette ----------------------------------------------------------------

// Decodes a 64-bit colour value into the current process's registers: the pen = low 16 bits;
// with bit 32, bits 16-31 are a 4x4 fill pattern; with bit 35, the invert flag is set.
void set_colp(int64_t v);
// A number at stack index i goes through set_colp; returns the pen in force.
uint16_t colp(lua_State* L, int i);
// Expands a 16-bit 4x4 pattern (bit 15 top left, rows of four) into the eight pattern rows.
void fillp_16(int64_t p);
// One entry of a colour table (mode 0), the display remap (1) or the RGB palette (2).
void set_palette_entry(int64_t index, int64_t value, int64_t mode);

// Sets up a drawing process of the host's own (the boot screen, the cartridge label) in rec:
// its first pages are `pages` (INITIAL_PAGES of PAGE_SIZE bytes), it draws into `target`,
// with the identity remap and colour tables, both font pages on the system font, `colours`
// entries of `palette` and a clip of clip_w x clip_h. The current process is kept.
void init_host_drawing_process(process_record* rec, uint8_t* pages, userdata_header* target,
                               const uint32_t* palette, int colours, int clip_w, int clip_h);

// Script functions.
int lua54_color(lua_State* L);
int lua54_cursor(lua_State* L);
int lua54_camera(lua_State* L);
int lua54_clip(lua_State* L);
int lua54_fillp(lua_State* L);
int lua54_pal(lua_State* L);
int lua54_palt(lua_State* L);
