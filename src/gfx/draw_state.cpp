// Draw state and colour pipeline: register decoding, the clip cache, the span writer with its
// fast paths, and the state-setting script functions.
#include "gfx/draw_state.h"

#include <algorithm>
#include <cstring>

#include "gfx/system_font.h"
#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

constexpr uint32_t system_palette[64] = {
    0x000000, 0x1d2b53, 0x7e2553, 0x008751, 0xab5236, 0x5f574f, 0xc2c3c7, 0xfff1e8,
    0xff004d, 0xffa300, 0xffec27, 0x00e436, 0x29adff, 0x83769c, 0xff77a8, 0xffccaa,
    0x2463b0, 0x00a5a1, 0x654688, 0x125359, 0x70322e, 0x452d32, 0xa28879, 0xffacc5,
    0xb9003e, 0xe26b13, 0x95f04b, 0x00b251, 0x64dff6, 0xbd9adf, 0xe40dab, 0xf49671,
};

namespace {

constexpr colour_defaults make_colour_defaults() {
    colour_defaults d{};
    for (int t = 0; t < 4; t++) {
        for (int r = 0; r < 64; r++) {
            uint8_t* row = d.coltabs + t * COLOUR_TABLE_BYTES + r * 64;
            for (int c = 0; c < 64; c++) {
                if (t == 0) row[c] = r == 0 ? uint8_t(c) : uint8_t(r | 0xC0);
                else row[c] = uint8_t((t << 6) | c);
            }
        }
    }
    for (int i = 0; i < 64; i++) d.display_remap[i] = uint8_t(i);
    for (int i = 0; i < 256; i++) d.rgb_palette[i] = system_palette[i & 63];
    return d;
}

}  // namespace

constinit const colour_defaults default_colours = make_colour_defaults();

namespace {

// Colour tables whose page is not one contiguous 4 KB stretch are gathered here.
uint8_t table_scratch[4][COLOUR_TABLE_BYTES];

const uint8_t* colour_table(process_record* rec, int t) {
    uint32_t base = ADDR_COLOUR_TABLES + uint32_t(t) * COLOUR_TABLE_BYTES;
    uint32_t stretch = 0;
    const uint8_t* p = locate_proc(rec, base, &stretch);
    if (p && stretch >= COLOUR_TABLE_BYTES) return p;
    for (uint32_t i = 0; i < COLOUR_TABLE_BYTES; i++) table_scratch[t][i] = peek_proc(rec, base + i);
    return table_scratch[t];
}

inline uint8_t reverse_bits(uint8_t b) {
    b = uint8_t((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = uint8_t((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return uint8_t((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// Eight bytes in which byte j is the result for column x + j of a span.
uint64_t pattern_word(uint8_t r0, uint8_t r1, uint8_t row, int64_t x) {
    uint64_t w = 0;
    for (int j = 0; j < 8; j++) {
        uint8_t v = ((row >> ((x + j) & 7)) & 1) ? r1 : r0;
        w |= uint64_t(v) << (8 * j);
    }
    return w;
}

// count bytes from p, the byte for column x of p[i] being byte (i & 7) of word, under the
// write mask.
void fill_word(uint8_t* p, int64_t count, uint64_t word, uint8_t write_mask) {
    if (write_mask == 0xFF) {
        uint8_t b = uint8_t(word);
        if (word == b * 0x0101010101010101ull) {
            memset(p, b, size_t(count));
            return;
        }
        int64_t i = 0;
        for (; i + 8 <= count; i += 8) memcpy(p + i, &word, 8);
        for (; i < count; i++) p[i] = uint8_t(word >> (8 * (i & 7)));
        return;
    }
    uint64_t keep = ~(uint64_t(write_mask) * 0x0101010101010101ull);
    uint64_t add = word & ~keep;
    int64_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t old;
        memcpy(&old, p + i, 8);
        old = (old & keep) | add;
        memcpy(p + i, &old, 8);
    }
    for (; i < count; i++) p[i] = uint8_t((p[i] & ~write_mask) | (uint8_t(word >> (8 * (i & 7))) & write_mask));
}

// n register bytes from address on: straight from the page when they lie in one stretch (page
// 5 always does), byte by byte otherwise.
void read_registers(process_record* rec, uint32_t address, uint8_t* out, uint32_t n) {
    uint32_t stretch = 0;
    const uint8_t* p = locate_proc(rec, address, &stretch);
    if (p && stretch >= n) {
        memcpy(out, p, n);
        return;
    }
    for (uint32_t i = 0; i < n; i++) out[i] = peek_proc(rec, address + i);
}

inline uint32_t little_endian(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v |= uint32_t(p[i]) << (8 * i);
    return v;
}

inline int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// Reads a script argument as a coordinate-sized integer that sums cannot overflow.
inline int64_t arg_int(lua_State* L, int i, int64_t dflt) {
    return clamp64(q64_intp(L, i, dflt), -(int64_t(1) << 40), int64_t(1) << 40);
}

}  // namespace

// ---- clip cache and context ---------------------------------------------------------------------

void refresh_clip_cache(process_record* rec) {
    if (!rec) return;
    const userdata_header* t = rec->draw_target;
    uint8_t bytes[8];
    read_registers(rec, ADDR_CLIP, bytes, 8);
    uint64_t key = uint64_t(little_endian(bytes, 4)) | uint64_t(little_endian(bytes + 4, 4)) << 32;
    uint32_t w = t ? t->width : 0, h = t ? t->height : 0;
    clip_cache& cc = rec->clip;
    if (cc.key == key && cc.target == t && cc.width == w && cc.height == h) return;
    int64_t x0 = clamp64(int16_t(key & 0xFFFF), 0, w);
    int64_t y0 = clamp64(int16_t((key >> 16) & 0xFFFF), 0, h);
    uint32_t rx1 = uint32_t(key >> 32) & 0xFFFF, ry1 = uint32_t(key >> 48) & 0xFFFF;
    int64_t x1 = rx1 == 0xFFFF ? w : std::min<int64_t>(rx1, w);
    int64_t y1 = ry1 == 0xFFFF ? h : std::min<int64_t>(ry1, h);
    cc.x0 = int32_t(x0);
    cc.y0 = int32_t(y0);
    cc.x1 = int32_t(std::max(x1, x0));
    cc.y1 = int32_t(std::max(y1, y0));
    cc.key = key;
    cc.target = t;
    cc.width = w;
    cc.height = h;
}

void draw_reload_pen(draw_context* c) {
    c->pen = uint16_t(peek2_proc(c->rec, ADDR_PEN_COLOUR));
    for (int i = 0; i < 8; i++) c->pattern[i] = peek_proc(c->rec, ADDR_FILL_PATTERN + i);
}

bool draw_begin(draw_context* c, uint32_t target_mask_address) {
    process_record* rec = cproc;
    if (!rec || !rec->draw_target) return false;
    userdata_header* t = rec->draw_target;
    refresh_clip_cache(rec);
    c->rec = rec;
    c->pixels = userdata_data(t);
    c->width = int32_t(t->width);
    c->height = int32_t(t->height);
    c->clip_x0 = rec->clip.x0;
    c->clip_y0 = rec->clip.y0;
    c->clip_x1 = rec->clip.x1;
    c->clip_y1 = rec->clip.y1;
    for (int i = 0; i < 4; i++) c->tables[i] = colour_table(rec, i);
    // Pattern, masks, pen and camera: the 24 bytes from 0x5500.
    uint8_t r[24];
    read_registers(rec, ADDR_DRAW_STATE, r, sizeof r);
    memcpy(c->pattern, r + (ADDR_FILL_PATTERN - ADDR_DRAW_STATE), 8);
    c->read_mask = r[ADDR_READ_MASK - ADDR_DRAW_STATE];
    c->write_mask = r[ADDR_WRITE_MASK - ADDR_DRAW_STATE];
    c->target_mask = target_mask_address >= ADDR_DRAW_STATE && target_mask_address < ADDR_DRAW_STATE + sizeof r
                         ? r[target_mask_address - ADDR_DRAW_STATE]
                         : peek_proc(rec, target_mask_address);
    c->pen = uint16_t(little_endian(r + (ADDR_PEN_COLOUR - ADDR_DRAW_STATE), 2));
    c->camera_x = int32_t(little_endian(r + (ADDR_CAMERA_X - ADDR_DRAW_STATE), 4));
    c->camera_y = int32_t(little_endian(r + (ADDR_CAMERA_Y - ADDR_DRAW_STATE), 4));
    return true;
}

// ---- spans -------------------------------------------------------------------------------------

int64_t draw_hline(draw_context& c, int64_t x0, int64_t x1, int64_t y) {
    if (y < c.clip_y0 || y >= c.clip_y1 || x1 < c.clip_x0 || x0 >= c.clip_x1) return 0;
    int64_t xs = std::max<int64_t>(x0, c.clip_x0), xe = std::min<int64_t>(x1, c.clip_x1 - 1);
    int64_t span = xe - xs;  // pixels less one
    uint8_t* p = c.pixels + y * c.width + xs;
    int64_t count = span + 1;
    uint8_t row = c.pattern[y & 7];
    uint8_t s0 = uint8_t(c.pen) & c.read_mask, s1 = uint8_t(c.pen >> 8) & c.read_mask;
    uint8_t w = c.write_mask;

    if (c.target_mask == 0) {
        // Every destination reads as 0: two possible results, chosen by the pattern bit.
        uint8_t r0 = c.tables[s0 >> 6][(s0 & 63) * 64], r1 = c.tables[s1 >> 6][(s1 & 63) * 64];
        if (count > 0) {
            if (w == 0xFF && (row == 0 || row == 0xFF || r0 == r1)) memset(p, row == 0xFF ? r1 : r0, size_t(count));
            else fill_word(p, count, pattern_word(r0, r1, row, xs), w);
        }
        if (c.width % 8 == 0) {
            int64_t group_start = (xs + 7) & ~int64_t(7), group_end = (xe + 1) & ~int64_t(7);
            if (group_end > group_start) return ((group_start - xs) + (xe + 1 - group_end)) / 2 + 3;
        }
        return std::max<int64_t>(span / 2 + 2, 0);
    }
    if (c.target_mask == 63 && ((s0 | s1) & 0xC0) == 0) {
        // No table bits on either side: table 0, indexed by the destination's colour.
        const uint8_t* row0 = c.tables[0] + s0 * 64;
        const uint8_t* row1 = c.tables[0] + s1 * 64;
        uint8_t keep = uint8_t(~w);
        if (row == 0 || row0 == row1 || row == 0xFF) {
            const uint8_t* r = row == 0xFF ? row1 : row0;
            if (w == 0xFF) {
                for (int64_t i = 0; i < count; i++) p[i] = r[p[i] & 63];
            } else {
                for (int64_t i = 0; i < count; i++) p[i] = uint8_t((r[p[i] & 63] & w) | (p[i] & keep));
            }
        } else {
            for (int64_t i = 0; i < count; i++) {
                const uint8_t* r = ((row >> ((xs + i) & 7)) & 1) ? row1 : row0;
                p[i] = uint8_t((r[p[i] & 63] & w) | (p[i] & keep));
            }
        }
        return std::max<int64_t>(span / 2 + 2, 0);
    }
    uint8_t t = c.target_mask, keep = uint8_t(~w);
    for (int64_t i = 0; i < count; i++) {
        uint8_t s = ((row >> ((xs + i) & 7)) & 1) ? s1 : s0;
        uint8_t d = p[i], dm = d & t;
        uint8_t e = c.tables[(s | dm) >> 6][(s & 63) * 64 + (dm & 63)];
        p[i] = uint8_t((e & w) | (d & keep));
    }
    return std::max<int64_t>(span * 3 / 4 + 2, 0);
}

int64_t draw_hline_inv(draw_context& c, int64_t x0, int64_t x1, int64_t y) {
    return draw_hline(c, int64_t(c.clip_x0) - 1, std::min(x0, x1) - 1, y) +
           draw_hline(c, std::max(x0, x1) + 1, int64_t(c.clip_x1) + 1, y);
}

// ---- pen, pattern and palette ----------------------------------------------------------------

void fillp_16(int64_t p) {
    for (int r = 0; r < 4; r++) {
        uint8_t nibble = uint8_t((p >> (12 - 4 * r)) & 0xF);
        uint8_t low = uint8_t(reverse_bits(nibble) >> 4);  // first bit of the row -> column 0
        uint8_t b = uint8_t(low | (low << 4));
        poke(ADDR_FILL_PATTERN + r, b);
        poke(ADDR_FILL_PATTERN + r + 4, b);
    }
}

void set_colp(int64_t v) {
    if (!cproc) return;
    poke2(ADDR_PEN_COLOUR, v & 0xFFFF);
    if (v & (int64_t(1) << 32)) fillp_16((v >> 16) & 0xFFFF);
    if (v & (int64_t(1) << 35)) cproc->invert_flag = 1;
}

uint16_t colp(lua_State* L, int i) {
    if (lua_type(L, i) == LUA_TNUMBER) set_colp(q64_intp(L, i, 0));
    return uint16_t(peek2(ADDR_PEN_COLOUR));
}

void set_palette_entry(int64_t index, int64_t value, int64_t mode) {
    switch (mode & 63) {
    case 0: {
        int64_t table = ((index | mode) >> 6) & 3;
        q64_memset(ADDR_COLOUR_TABLES + table * COLOUR_TABLE_BYTES + (index & 63) * 64, (value | 0xC0) & 0xFF, 64);
        break;
    }
    case 1:
        poke(ADDR_DISPLAY_REMAP + (index & 63), value & 63);
        break;
    case 2:
        poke4(ADDR_PALETTES + (index & 255) * 4, value);
        break;
    default:
        break;
    }
}

namespace {

// pal(0): colour tables marked changed go back to the defaults; returns the cost.
int64_t reset_colour_tables() {
    int64_t cost = 0;
    for (int t = 0; t < 4; t++) {
        uint32_t page = (ADDR_COLOUR_TABLES >> 12) + uint32_t(t);
        if (!(cproc->pages.flags[page] & PAGE_COLOUR_TABLE_CHANGED)) continue;
        poke_block(ADDR_COLOUR_TABLES + t * COLOUR_TABLE_BYTES, default_colours.coltabs + t * COLOUR_TABLE_BYTES,
                   COLOUR_TABLE_BYTES);
        cproc->pages.flags[page] &= uint8_t(~PAGE_COLOUR_TABLE_CHANGED);
        cost += 8;
    }
    return cost;
}

void reset_display_remap() { poke_block(ADDR_DISPLAY_REMAP, default_colours.display_remap, 64); }

void reset_rgb_palette() {
    uint8_t bytes[1024];
    for (int i = 0; i < 256; i++)
        for (int k = 0; k < 4; k++) bytes[i * 4 + k] = uint8_t(default_colours.rgb_palette[i] >> (8 * k));
    poke_block(ADDR_PALETTES, bytes, sizeof bytes);
}

// pal(): the scanline selects and the rest of their block cleared in page 5's own memory,
// then the colour tables and the display remap reset; returns the cost.
int64_t reset_all() {
    uint32_t page = ADDR_SCANLINE_PALETTE_SELECT >> 12;
    uint8_t* own = page_owned(cproc->pages, page);  // present from the process's creation
    if (own) {
        memset(own + (ADDR_SCANLINE_PALETTE_SELECT & 0xFFF), 0, SCANLINE_CLEAR_BYTES);
        mark_page_written(cproc->pages, page);
    }
    int64_t cost = reset_colour_tables();
    reset_display_remap();
    return cost + 1;
}

void set_row(int64_t table, int64_t colour, const uint8_t* bytes) {
    poke_block(ADDR_COLOUR_TABLES + (table & 3) * COLOUR_TABLE_BYTES + (colour & 63) * 64, bytes, 64);
}

// A colour table row made transparent (the identity with table bits hi) or solid.
void set_transparency(int64_t table, int64_t colour, bool transparent, uint8_t hi) {
    uint8_t bytes[64];
    for (int k = 0; k < 64; k++) bytes[k] = transparent ? uint8_t(hi | k) : uint8_t((colour | 0xC0) & 0xFF);
    set_row(table, colour, bytes);
}

}  // namespace

// ---- script functions ------------------------------------------------------------------------

int lua54_color(lua_State* L) {
    if (cproc) poke2(ADDR_PEN_COLOUR, q64_intp(L, 1, 6) & 0xFFFF);
    return 0;
}

int lua54_cursor(lua_State* L) {
    if (!cproc) return 0;
    poke4(ADDR_PRINT_CURSOR_X, q64_intp(L, 1, 0));
    poke4(ADDR_PRINT_CURSOR_Y, q64_intp(L, 2, 0));
    colp(L, 3);
    return 0;
}

int lua54_camera(lua_State* L) {
    if (!cproc) return 0;
    int32_t old_x = peek4(ADDR_CAMERA_X), old_y = peek4(ADDR_CAMERA_Y);
    poke4(ADDR_CAMERA_X, q64_intp(L, 1, 0));
    poke4(ADDR_CAMERA_Y, q64_intp(L, 2, 0));
    lua_pushinteger(L, old_x);
    lua_pushinteger(L, old_y);
    return 2;
}

int lua54_clip(lua_State* L) {
    process_record* rec = cproc;
    if (!rec || !rec->draw_target) return 0;
    refresh_clip_cache(rec);
    const clip_cache old = rec->clip;
    int64_t w = rec->draw_target->width, h = rec->draw_target->height;
    int64_t x0 = 0, y0 = 0, x1 = w, y1 = h;
    if (lua_gettop(L) >= 4) {
        int64_t x = arg_int(L, 1, 0), y = arg_int(L, 2, 0);
        int64_t cw = arg_int(L, 3, 0), ch = arg_int(L, 4, 0);
        if (lua_toboolean(L, 5)) {
            x0 = std::max<int64_t>(std::min<int64_t>(x, old.x1), old.x0);
            y0 = std::max<int64_t>(std::min<int64_t>(y, old.y1), old.y0);
            x1 = std::max<int64_t>(std::min<int64_t>(x + cw, old.x1), old.x0);
            y1 = std::max<int64_t>(std::min<int64_t>(y + ch, old.y1), old.y0);
        } else {
            x0 = std::max<int64_t>(x, 0);
            y0 = std::max<int64_t>(y, 0);
            x1 = std::min(x + cw, w);
            y1 = std::min(y + ch, h);
        }
    }
    // A rectangle reaching left of or above the target ends there: it never wraps into a
    // register value that reads as the far edge.
    x0 = clamp64(x0, 0, w);
    y0 = clamp64(y0, 0, h);
    x1 = clamp64(x1, x0, w);
    y1 = clamp64(y1, y0, h);
    poke2(ADDR_CLIP, std::min<int64_t>(x0, 0xFFFF));
    poke2(ADDR_CLIP + 2, std::min<int64_t>(y0, 0xFFFF));
    poke2(ADDR_CLIP + 4, std::min<int64_t>(x1, 0xFFFF));
    poke2(ADDR_CLIP + 6, std::min<int64_t>(y1, 0xFFFF));
    refresh_clip_cache(rec);
    const clip_cache& now = rec->clip;
    lua_pushinteger(L, old.x0);
    lua_pushinteger(L, old.y0);
    lua_pushinteger(L, old.x1 - old.x0);
    lua_pushinteger(L, old.y1 - old.y0);
    lua_pushboolean(L, now.x1 <= now.x0 || now.y1 <= now.y0);
    return 5;
}

int lua54_fillp(lua_State* L) {
    if (!cproc || !cproc->draw_target) return 0;
    if (lua_gettop(L) == 8) {
        for (int i = 0; i < 8; i++) poke(ADDR_FILL_PATTERN + i, reverse_bits(uint8_t(q64_intp(L, i + 1, 0))));
    } else {
        fillp_16(q64_intp(L, 1, 0) & 0xFFFF);
    }
    return 0;
}

int lua54_pal(lua_State* L) {
    if (!cproc) return 0;
    int n = lua_gettop(L);
    if (n >= 1 && lua_type(L, 1) == LUA_TTABLE) {
        int64_t mode = q64_intp(L, 2, 0);
        int64_t pairs = 0;
        lua_pushnil(L);
        while (lua_next(L, 1)) {
            if (lua_isinteger(L, -2)) {
                set_palette_entry(lua_tointeger(L, -2), q64_intp(L, -1, 0), mode);
                pairs++;
            }
            lua_pop(L, 1);
        }
        if (pairs > 0) spend_cpu(2 * pairs);
        return 0;
    }
    if (n >= 2) {
        set_palette_entry(q64_intp(L, 1, 0), q64_intp(L, 2, 0), q64_intp(L, 3, 0));
        return 0;
    }
    int64_t which = -1;
    if (n == 1) {
        if (!lua_isnumber(L, 1)) return 0;
        which = q64_intp(L, 1, 0);
    }
    int64_t cost = 0;
    switch (which) {
    case -1:
        cost = reset_all();
        break;
    case 0:
        cost = reset_colour_tables();
        break;
    case 1:
        reset_display_remap();
        cost = 1;
        break;
    case 2:
        reset_rgb_palette();
        cost = 1;
        break;
    default:
        break;
    }
    if (cost > 0) spend_cpu(cost);
    return 0;
}

int lua54_palt(lua_State* L) {
    if (!cproc) return 0;
    if (lua_gettop(L) >= 2) {
        int64_t c = q64_intp(L, 1, 0);
        set_transparency((c >> 6) & 3, c & 63, lua_toboolean(L, 2), uint8_t(c & 0xC0));
        return 0;
    }
    uint64_t bits = uint64_t(q64_intp(L, 1, 1));
    uint8_t rows[COLOUR_TABLE_BYTES];
    for (int i = 0; i < 64; i++)
        for (int k = 0; k < 64; k++) rows[i * 64 + k] = ((bits >> i) & 1) ? uint8_t(k) : uint8_t(i | 0xC0);
    poke_block(ADDR_COLOUR_TABLES, rows, COLOUR_TABLE_BYTES);
    return 0;
}

void init_host_drawing_process(process_record* rec, uint8_t* pages, userdata_header* target,
                               const uint32_t* palette, int colours, int clip_w, int clip_h) {
    memset(rec, 0, sizeof(*rec));
    page_table& pt = rec->pages;
    for (uint32_t p = 0; p < INITIAL_PAGES; p++) {
        set_page_owned(pt, p, pages + size_t(p) * PAGE_SIZE);
        pt.page[p] = pages + size_t(p) * PAGE_SIZE;
        pt.mapped[p] = PAGE_SIZE;
    }
    rec->page_bytes = INITIAL_PAGES * PAGE_SIZE;
    rec->draw_target = target;
    rec->state = PSTATE_RUNNING;

    process_record* previous = cproc;
    cproc = rec;
    for (int i = 0; i < 64; i++) poke(ADDR_DISPLAY_REMAP + i, i);
    for (int c = 0; c < 64; c++) q64_memset(ADDR_COLOUR_TABLES + c * 64, c, 64);
    poke4(ADDR_MASKS, 0x3F3F3F3F);  // read, write and both target masks
    poke(ADDR_FONT_DEFAULT_PAGE, ADDR_DEFAULT_FONT >> 8);
    poke(ADDR_FONT_ALT_PAGE, ADDR_ALT_FONT >> 8);
    poke_block(ADDR_DEFAULT_FONT, system_font, SYSTEM_FONT_SIZE);
    for (int i = 0; i < colours; i++) poke4(ADDR_PALETTES + 4 * i, palette[i]);
    poke2(ADDR_CLIP, 0);
    poke2(ADDR_CLIP + 2, 0);
    poke2(ADDR_CLIP + 4, clip_w);
    poke2(ADDR_CLIP + 6, clip_h);
    cproc = previous;
}
