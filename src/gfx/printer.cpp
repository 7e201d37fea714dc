// The t6scii printer: the print context, control codes, commands, glyph drawing with its
// attribute switches, and the script functions _print_t6scii and _count_p.
#include "gfx/printer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "gfx/draw_state.h"
#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

int64_t print_max_x = 0, print_max_y = 0;
bool print_max_set = false;

namespace {

enum step_result { STEP_GO = 0, STEP_WAIT = 1, STEP_END = 2 };

// A command argument character: '0'-'9' are 0-9, 'a'-'z' are 10-35, anything else 0.
inline int arg_digit(uint8_t ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'z') return ch - 'a' + 10;
    return 0;
}

// A hexadecimal digit of the inline glyph commands, either case; anything else 0.
inline int hex_digit(uint8_t ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return 0;
}


// Cursor registers, kept in the process's memory so that the drawing state stays the truth.
inline int64_t cursor_x() { return peek4(ADDR_PRINT_CURSOR_X); }
inline int64_t cursor_y() { return peek4(ADDR_PRINT_CURSOR_Y); }
inline void set_cursor(int64_t x, int64_t y) {
    poke4(ADDR_PRINT_CURSOR_X, x);
    poke4(ADDR_PRINT_CURSOR_Y, y);
}

struct printer {
    print_context& p;
    draw_context dc;

    uint8_t font_byte(uint32_t i) const { return peek(int64_t(p.font) + i); }

    // Widths, height, offsets, flags and tab width from the current font's header, then the
    // non-zero nibbles of the size registers.
    void load_font_metrics() {
        uint8_t b0 = font_byte(0), b1 = font_byte(1), b2 = font_byte(2);
        if ((b0 | b1 | b2) == 0) b0 = b1 = b2 = 8;
        p.char_width = b0;
        p.wide_width = b1;
        p.char_height = b2;
        p.x_offset = font_byte(3);
        p.y_offset = font_byte(4);
        p.font_flags = font_byte(5);
        uint8_t font_tab = font_byte(6);
        uint8_t sizes = peek(ADDR_PRINT_ATTRIBUTES + 1), wide_tab = peek(ADDR_PRINT_ATTRIBUTES + 2),
                offsets = peek(ADDR_PRINT_ATTRIBUTES + 3);
        if (sizes & 15) p.char_width = sizes & 15;
        if (sizes >> 4) p.char_height = sizes >> 4;
        if (wide_tab & 15) p.wide_width = wide_tab & 15;
        if (offsets & 15) p.x_offset = offsets & 15;
        if (offsets >> 4) p.y_offset = offsets >> 4;
        if (wide_tab >> 4) p.tab_width = p.char_width * (1 + (wide_tab >> 4));
        else p.tab_width = font_tab ? font_tab : 3 * p.char_width;
    }

    void select_font(uint32_t page_register) {
        p.font = uint32_t(peek(page_register)) << 8;
        load_font_metrics();
    }

    // The next argument byte, or false when the caller's text has ended (the position then
    // stays where it is, so a byte 0 there still ends the print).
    bool take(uint8_t* b) {
        if (p.pos >= p.text_end || p.text[p.pos] == 0) return false;
        *b = p.text[p.pos++];
        return true;
    }
    bool take_digit(int* v) {
        uint8_t b;
        if (!take(&b)) return false;
        *v = arg_digit(b);
        return true;
    }

    void newline() {
        set_cursor(p.home_x, cursor_y() + (p.line_height ? p.line_height : p.char_height));
        p.line_height = 0;
    }

    // One pixel of colour through the clip and the whole pipeline: where the fill pattern's
    // bit is set the colour's high byte is drawn (0, nothing, for a plain colour).
    inline void plot(int64_t x, int64_t y, uint16_t colour) {
        if (x < dc.clip_x0 || x >= dc.clip_x1 || y < dc.clip_y0 || y >= dc.clip_y1) return;
        uint8_t* d = dc.pixels + y * dc.width + x;
        uint8_t s = ((dc.pattern[y & 7] >> (x & 7)) & 1) ? uint8_t(colour >> 8) : uint8_t(colour);
        *d = pipeline_pixel(dc, s, *d);
    }

    // Draws one glyph from its eight rows; code picks the width and adjust nibble, inline
    // glyphs are 8 x 8. Returns STEP_WAIT when a per-glyph delay stops the print.
    int draw_character(const uint8_t rows[8], int code, bool is_inline, bool edge) {
        bool wide = p.wide || p.pinball, tall = p.tall || p.pinball, stripes = p.stripes || p.pinball;
        int64_t width, height;
        int raise = 0;
        if (is_inline) {
            width = 8;
            height = 8;
        } else {
            width = code >= 128 ? p.wide_width : p.char_width;
            height = p.char_height;
            if (p.font_flags & 1) {
                int nibble = (font_byte(uint32_t(code) >> 1) >> ((code & 1) * 4)) & 15;
                width += ((nibble + 4) & 7) - 4;
                if (nibble & 8) raise = 1;
            }
        }
        width = std::max<int64_t>(width, 0);
        int64_t advance = wide ? width * 2 : width;

        if (!p.decoration) {
            if (p.wrap && cursor_x() > p.right_margin - width) newline();
            p.saved_x = cursor_x();
            p.saved_y = cursor_y();
        }
        int64_t px = cursor_x() + p.x_offset - dc.camera_x;
        int64_t py = cursor_y() + p.y_offset - dc.camera_y - raise;
        int gw = int(std::min<int64_t>(width, 8)), gh = int(std::min<int64_t>(height, 8));
        int sw = wide ? gw * 2 : gw, sh = tall ? gh * 2 : gh;
        int64_t work = int64_t(sw) * sh;

        if (p.background) {
            int64_t bw = (edge ? 1 : 0) + gw, bh = gh;
            if (wide) bw *= 2;
            if (tall) bh *= 2;
            int64_t bx = px - (edge ? (wide ? 2 : 1) : 0), by = py - (edge ? (tall ? 2 : 1) : 0);
            int64_t x0 = std::max<int64_t>(bx, dc.clip_x0), x1 = std::min<int64_t>(bx + bw, dc.clip_x1);
            int64_t y0 = std::max<int64_t>(by, dc.clip_y0), y1 = std::min<int64_t>(by + bh, dc.clip_y1);
            for (int64_t y = y0; y < y1 && x0 < x1; y++) memset(dc.pixels + y * dc.width + x0, p.bg, size_t(x1 - x0));
            work += bw * bh;
        }

        // The glyph as a bitmap of up to 16 x 16 pixels after the switches, one row per word.
        uint32_t bits[16] = {};
        uint32_t full = (uint32_t(1) << gw) - 1;
        for (int y = 0; y < sh; y++) {
            int r = tall ? y >> 1 : y;
            uint32_t row = rows[r] & full;
            if (p.inverted) row ^= full;
            if (tall && stripes && (y & 1)) row = p.inverted ? full : 0;
            if (wide) {
                uint32_t w = 0;
                for (int k = 0; k < gw; k++)
                    if ((row >> k) & 1) w |= uint32_t(3) << (2 * k);
                row = w;
            }
            bits[y] = row;
        }

        if (p.outline_mask) {
            // Rows -1 .. sh of the stamped outline, shifted one column right so that column -1
            // is bit 0.
            uint32_t ring[18] = {};
            for (int dy = -1; dy <= 1; dy++)
                for (int dx = -1; dx <= 1; dx++) {
                    if (!((p.outline_mask >> ((dy + 1) * 3 + dx + 1)) & 1)) continue;
                    for (int y = 0; y < sh; y++) ring[y + dy + 1] |= bits[y] << (1 + dx);
                }
            uint8_t colour = uint8_t(p.outline_colour & 63);
            for (int y = 0; y < sh + 2; y++) {
                uint32_t own = (y >= 1 && y <= sh) ? bits[y - 1] << 1 : 0;
                uint32_t r = ring[y] & ~own;
                for (int k = 0; r; k++, r >>= 1)
                    if (r & 1) plot(px + k - 1, py + y - 1, colour);
            }
            work += int64_t(sw + 2) * (sh + 2);
        }

        for (int y = 0; y < sh; y++) {
            uint32_t r = bits[y];
            for (int k = 0; r; k++, r >>= 1)
                if (r & 1) plot(px + k, py + y, p.fg);
        }
        if (p.underline) {
            for (int64_t k = 0; k < advance; k++) plot(px + k, py + sh, p.fg);
            work += advance;
        }
        if (work > 0) spend_cpu(work / 3);

        set_cursor(cursor_x() + advance, cursor_y());
        p.line_height = std::max<int64_t>(p.line_height, tall ? height * 2 : height);
        p.last_advance = int32_t(advance);
        if (p.decoration) {
            set_cursor(p.decoration_return_x, p.decoration_return_y);
            p.decoration = 0;
        }
        if (p.delay) {
            p.wait = p.delay - 1;
            return STEP_WAIT;
        }
        return STEP_GO;
    }

    int draw_code(int code) {
        uint8_t rows[8];
        for (int r = 0; r < 8; r++) rows[r] = font_byte(uint32_t(code) * 8 + uint32_t(r));
        return draw_character(rows, code, false, p.edge);
    }

    // Pokes n bytes of the text from the read position at address a, one cycle each.
    void poke_text(int64_t a, int64_t n) {
        n = std::min(n, p.text_end - p.pos);
        if (n <= 0) return;
        poke_block(a, p.text + p.pos, n);
        p.pos += n;
        spend_cpu(n);
    }

    bool take_hex4(int64_t* v) {
        int64_t a = 0;
        for (int i = 0; i < 4; i++) {
            int d;
            if (!take_digit(&d)) return false;
            a = a * 16 + d;
        }
        *v = a;
        return true;
    }

    int command() {
        uint8_t letter;
        if (!take(&letter)) return STEP_GO;
        bool on = true;
        if (letter == '-') {
            on = false;
            if (!take(&letter)) return STEP_GO;
        }
        int a = 0, b = 0;
        switch (letter) {
        case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
            p.wait = (1 << (letter - '1')) - 1;
            return STEP_WAIT;
        case 'c': {
            if (!take_digit(&a)) break;
            int64_t n = int64_t(dc.width) * dc.height;
            memset(dc.pixels, a & 63, size_t(n));
            set_cursor(0, 0);
            spend_cpu(n / 64);
            break;
        }
        case 'd':
            if (take_digit(&a)) p.delay = a;
            break;
        case 'g':
            set_cursor(p.home_x, p.home_y);
            break;
        case 'h':
            p.home_x = cursor_x();
            p.home_y = cursor_y();
            break;
        case 'j':
            if (take_digit(&a) && take_digit(&b)) set_cursor(4 * a, 4 * b);
            break;
        case 'o': {
            if (!on) {
                p.outline_mask = 0;
                break;
            }
            uint8_t c;
            if (!take(&c) || !take_digit(&a) || !take_digit(&b)) break;
            p.outline_colour = c == '$' ? p.fg : c == '!' ? p.fg + 0x10000 : arg_digit(c) & 63;
            p.outline_mask = uint32_t(a << 5 | b) & 0x1FF;
            break;
        }
        case 'r':
            if (take_digit(&a)) {
                p.right_margin = 4 * a;
                p.wrap = 1;
            }
            break;
        case 's':
            if (take_digit(&a)) p.tab_width = a * p.char_width;
            break;
        case 'x':
            if (take_digit(&a)) {
                p.wide_width += a - p.char_width;
                p.char_width = a;
            }
            break;
        case 'y':
            if (take_digit(&a)) p.char_height = a;
            break;
        case 'u': p.underline = on; break;
        case '#': p.background = on; break;
        case '$': p.wrap = on; break;
        case '=': p.stripes = on; break;
        case 'b': p.edge = on; break;
        case 'i': p.inverted = on; break;
        case 'p': p.pinball = on; break;
        case 't': p.tall = on; break;
        case 'w': p.wide = on; break;
        case '@': {
            int64_t address, count;
            if (take_hex4(&address) && take_hex4(&count)) poke_text(address, count);
            break;
        }
        case '!': {
            int64_t address;
            if (!take_hex4(&address)) break;
            poke_text(address, p.text_end - p.pos);
            return STEP_END;
        }
        case '.': case ',': {
            if (p.text_end - p.pos < 8) {
                p.pos = p.text_end;
                break;
            }
            uint8_t rows[8];
            memcpy(rows, p.text + p.pos, 8);
            p.pos += 8;
            return draw_character(rows, 0, true, letter == ',' && p.edge);
        }
        case ':': case ';': {
            if (p.text_end - p.pos < 16) {
                p.pos = p.text_end;
                break;
            }
            uint8_t rows[8];
            for (int r = 0; r < 8; r++)
                rows[r] = uint8_t(hex_digit(p.text[p.pos + 2 * r]) << 4 | hex_digit(p.text[p.pos + 2 * r + 1]));
            p.pos += 16;
            return draw_character(rows, 0, true, letter == ';' && p.edge);
        }
        default:
            break;
        }
        return STEP_GO;
    }

    // Codes that take no argument and may be repeated by code 1.
    static bool repeatable(uint8_t c) { return c >= 16 || c == 7 || c == 8 || c == 9 || c == 10 || c >= 13; }

    int simple(uint8_t c) {
        switch (c) {
        case 8:
            set_cursor(cursor_x() - p.last_advance, cursor_y());
            return STEP_GO;
        case 9:
            if (p.tab_width > 0) {
                int64_t base = (p.font_flags & 2) ? p.home_x : 0;
                int64_t rel = cursor_x() - base;
                set_cursor(base + (floor_div(rel, p.tab_width) + 1) * p.tab_width, cursor_y());
            }
            return STEP_GO;
        case 10:
            newline();
            return STEP_GO;
        case 13:
            set_cursor(p.home_x, cursor_y());
            return STEP_GO;
        case 14:
            select_font(ADDR_FONT_ALT_PAGE);
            return STEP_GO;
        case 15:
            select_font(ADDR_FONT_DEFAULT_PAGE);
            return STEP_GO;
        default:
            return draw_code(c);
        }
    }

    // Interprets one character with its arguments.
    int step() {
        uint8_t c = p.text[p.pos];
        if (c == 0) return STEP_END;
        p.pos++;
        if (repeatable(c)) return simple(c);
        // A code whose argument byte is 0 draws its own glyph instead.
        if (c != 6 && p.text[p.pos] == 0) return draw_code(c);
        int a = 0, b = 0;
        switch (c) {
        case 1: {
            uint8_t next;
            if (!take_digit(&a) || !take(&next)) return STEP_GO;
            if (!repeatable(next)) {
                p.pos--;  // not repeatable: runs once, as the next character
                return STEP_GO;
            }
            for (int i = 0; i < a; i++) {
                int r = simple(next);
                if (r != STEP_GO) return r;
            }
            return STEP_GO;
        }
        case 2:
            if (take_digit(&a)) {
                p.bg = uint8_t(a & 63);
                p.background = 1;
            }
            return STEP_GO;
        case 3:
            if (take_digit(&a)) set_cursor(cursor_x() + a - 16, cursor_y());
            return STEP_GO;
        case 4:
            if (take_digit(&a)) set_cursor(cursor_x(), cursor_y() + a - 16);
            return STEP_GO;
        case 5:
            if (take_digit(&a) && take_digit(&b)) set_cursor(cursor_x() + a - 16, cursor_y() + b - 16);
            return STEP_GO;
        case 6:
            return command();
        case 11:
            if (take_digit(&a)) {
                p.decoration = 1;
                p.decoration_return_x = cursor_x();
                p.decoration_return_y = cursor_y();
                set_cursor(p.saved_x + (a & 3) - 2, p.saved_y + (a >> 2) - 8);
            }
            return STEP_GO;
        case 12:
            if (take_digit(&a)) {
                p.fg = uint8_t(a & 63);
                poke2(ADDR_PEN_COLOUR, p.fg);
            }
            return STEP_GO;
        default:
            return STEP_GO;
        }
    }
};

void note_furthest() {
    int64_t x = cursor_x(), y = cursor_y();
    if (!print_max_set) {
        print_max_x = x;
        print_max_y = y;
        print_max_set = true;
        return;
    }
    print_max_x = std::max(print_max_x, x);
    print_max_y = std::max(print_max_y, y);
}

// A number or numeric string truncated toward zero into the cursor's range; false otherwise.
bool coordinate(lua_State* L, int i, int64_t* out) {
    int t = lua_type(L, i);
    if (t != LUA_TNUMBER && t != LUA_TSTRING) return false;
    if (lua_isinteger(L, i)) {
        *out = std::clamp<int64_t>(lua_tointeger(L, i), INT32_MIN, INT32_MAX);
        return true;
    }
    int ok = 0;
    double d = lua_tonumberx(L, i, &ok);
    if (!ok) return false;
    d = std::trunc(d);
    *out = d != d ? 0 : int64_t(std::clamp(d, double(INT32_MIN), double(INT32_MAX)));
    return true;
}

}  // namespace

void init_print_context(process_record* rec) {
    if (!rec) return;
    free(rec->print.text);
    memset(&rec->print, 0, sizeof(rec->print));
}

void continue_print_text() {}

size_t strip_print_controls(const char* text, size_t length, char* out) {
    size_t n = 0;
    for (size_t i = 0; i < length; i++)
        if (uint8_t(text[i]) >= 16) out[n++] = text[i];
    return n;
}

int print_t6scii(userdata_header* target, const char* text, int64_t length, int flags, uint16_t pen) {
    return print_t6scii_begin(target, text, length, flags, pen) ? print_run(nullptr) : 0;
}

bool print_t6scii_begin(userdata_header* target, const char* text, int64_t length, int flags, uint16_t pen) {
    print_max_set = false;
    process_record* rec = cproc;
    if (!text || !rec || length < 0) return false;
    print_context& p = rec->print;
    init_print_context(rec);
    printer pr{p, {}};
    if (!draw_begin(&pr.dc) || rec->draw_target != target) return false;
    p.text = static_cast<uint8_t*>(calloc(size_t(length) + 5, 1));
    if (!p.text) return false;
    memcpy(p.text, text, size_t(length));
    p.text_end = length;
    p.end = length;
    p.target = target;

    uint8_t attributes = peek(ADDR_PRINT_ATTRIBUTES);
    if (!(attributes & 1)) attributes = 2;
    pr.select_font((attributes & 0x81) == 0x81 ? ADDR_FONT_ALT_PAGE : ADDR_FONT_DEFAULT_PAGE);
    p.edge = (attributes >> 1) & 1;
    p.wide = (attributes >> 2) & 1;
    p.tall = (attributes >> 3) & 1;
    p.background = (attributes >> 4) & 1;
    p.inverted = (attributes >> 5) & 1;
    p.stripes = (attributes >> 6) & 1;
    p.last_advance = p.char_width;
    p.wrap = (flags & PRINT_WRAP) ? 1 : 0;
    p.caller_flag = (flags & PRINT_CALLER_FLAG) ? 1 : 0;
    p.right_margin = int64_t(pr.dc.clip_x1) + pr.dc.camera_x;
    p.home_x = peek4(ADDR_PRINT_HOME_X);
    p.home_y = cursor_y();
    p.fg = uint8_t(pen & 63);
    p.bg = uint8_t((pen >> 8) & 63);
    if (!(peek(ADDR_PRINT_OPTIONS) & 4)) p.text[p.end++] = '\n';
    return true;
}

namespace {

// A print that can stop looks at the slice at every line's end and at least this often.
constexpr int64_t PRINT_PIECE = 4096;
constexpr int PRINT_PAUSED = 2;

}  // namespace

int print_run(lua_State* L) {
    process_record* rec = cproc;
    if (!rec) return 0;
    print_context& p = rec->print;
    printer pr{p, {}};
    // A print that went on in a later slice draws only into the target it began with.
    if (!p.text || !draw_begin(&pr.dc) || rec->draw_target != p.target) {
        destroy_print_buffer(rec);
        return 0;
    }
    int64_t piece_start = p.pos;
    while (p.pos < p.end) {
        int64_t start = p.pos;
        int r = pr.step();
        if (r == STEP_END) break;
        int64_t used = std::max<int64_t>(p.pos - start, 1);
        note_furthest();
        if (!L || r == STEP_WAIT) {
            spend_cpu(used);
            if (r == STEP_WAIT) return 1;
            continue;
        }
        bool over = charge_native_work(used);
        if ((p.text[start] == '\n' || p.pos - piece_start >= PRINT_PIECE) && p.pos < p.end) {
            piece_start = p.pos;
            if (native_work_should_pause(L)) return PRINT_PAUSED;
        }
        if (over && !lua_isyieldable(L)) {
            destroy_print_buffer(rec);
            raise_native_overrun(L);
        }
    }
    destroy_print_buffer(rec);
    return 0;
}

namespace {

// The furthest point of a print that goes on in a later slice is kept on its stack, which
// then holds nothing else: x, y and whether one was recorded.
int print_k(lua_State* L, int, lua_KContext);

void print_script_run(lua_State* L) {
    if (print_run(L) != PRINT_PAUSED) return;
    lua_settop(L, 0);
    lua_pushinteger(L, print_max_x);
    lua_pushinteger(L, print_max_y);
    lua_pushboolean(L, print_max_set);
    native_work_pause(L, 0, api_guarded_k<print_k>);
}

int print_script_results(lua_State* L) {
    lua_pushinteger(L, print_max_set ? print_max_x : cursor_x());
    lua_pushinteger(L, print_max_set ? print_max_y : cursor_y());
    return 2;
}

int print_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, 3);
    print_max_x = lua_tointeger(L, 1);
    print_max_y = lua_tointeger(L, 2);
    print_max_set = lua_toboolean(L, 3);
    print_script_run(L);
    return print_script_results(L);
}

}  // namespace

int lua54_print_t6scii(lua_State* L) {
    process_record* rec = cproc;
    if (!rec || !rec->draw_target) return 0;
    int t = lua_type(L, 1);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
    int n = lua_gettop(L);
    // Everything is read from the stack before drawing starts.
    size_t length = 0;
    const char* text = lua_tolstring(L, 1, &length);
    if (n < 3 || (n == 4 && lua_isnil(L, 3) && lua_isnil(L, 4))) {
        poke4(ADDR_PRINT_HOME_X, cursor_x());
        if (n >= 2 && lua_type(L, 2) == LUA_TNUMBER) set_colp(q64_intp(L, 2, 0));
    } else {
        int64_t v;
        if (coordinate(L, 2, &v)) poke4(ADDR_PRINT_CURSOR_X, v);
        if (coordinate(L, 3, &v)) poke4(ADDR_PRINT_CURSOR_Y, v);
        poke4(ADDR_PRINT_HOME_X, cursor_x());
        if (lua_type(L, 4) == LUA_TNUMBER) set_colp(q64_intp(L, 4, 0));
    }
    int flags = (peek(ADDR_PRINT_OPTIONS) & 0x80) ? PRINT_WRAP : 0;
    if (print_t6scii_begin(rec->draw_target, text, int64_t(length), flags, uint16_t(peek2(ADDR_PEN_COLOUR))))
        print_script_run(L);
    return print_script_results(L);
}

int lua54_count_p(lua_State* L) {
    lua_pushinteger(L, lua_gettop(L));
    return 1;
}
