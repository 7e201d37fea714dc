// Video out: choosing what the frame shows, converting the shown screen to 32-bit colour
// through its palettes, remap and line palettes, the low-resolution enlargements, and copies
// of one process's screen into another's draw target.
#include "gfx/video.h"

#include <algorithm>
#include <cstring>

#include "gfx/draw_state.h"
#include "kernel/api.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "platform/host.h"
#include "userdata/userdata.h"

int32_t video_mode = 0;
uint32_t back_page[VIDEO_WIDTH * VIDEO_HEIGHT];
uint32_t video_palette[256];
uint32_t video_line_palette[VIDEO_HEIGHT];

void read_process_space(process_record* rec, uint32_t a, uint8_t* out, uint32_t n, uint8_t fill) {
    const page_table& pt = rec->pages;
    while (n > 0) {
        a &= ADDRESS_MASK;
        uint32_t page = a >> 12, offset = a & (PAGE_SIZE - 1);
        uint32_t run = std::min(n, PAGE_SIZE - offset);
        int32_t mapped = pt.page[page] ? pt.mapped[page] : 0;
        uint32_t have = int32_t(offset) < mapped ? std::min<uint32_t>(run, uint32_t(mapped) - offset) : 0;
        if (have) memcpy(out, pt.page[page] + offset, have);
        if (have < run) memset(out + have, fill, run - have);
        out += run;
        a += run;
        n -= run;
    }
}

namespace {

// A register block of rec's page 5 (always owned from creation), copied out.
void read_registers(process_record* rec, uint32_t a, uint8_t* out, uint32_t n) {
    read_process_space(rec, a, out, n, 0);
}

void build_palette(process_record* rec) {
    uint8_t rgb[1024], remap[64];
    read_registers(rec, ADDR_PALETTES, rgb, sizeof rgb);
    read_registers(rec, ADDR_DISPLAY_REMAP, remap, sizeof remap);
    for (int i = 0; i < 256; i++) {
        int e = (i & 0xC0) | (remap[i & 63] & 63);
        uint32_t v = uint32_t(rgb[4 * e]) | uint32_t(rgb[4 * e + 1]) << 8 | uint32_t(rgb[4 * e + 2]) << 16;
        video_palette[i] = app.reboot_requested ? (v >> 1) & 0x7F7F7F7F : v;
    }
    uint8_t select[VIDEO_HEIGHT / 4 + 1];
    read_registers(rec, ADDR_SCANLINE_PALETTE_SELECT, select, sizeof select);
    for (int y = 0; y < VIDEO_HEIGHT; y++) video_line_palette[y] = (select[y >> 2] >> ((y & 3) * 2)) & 3;
}

// The screen at ADDR_SCREEN, 480 bytes a row, through the palettes, in page-bounded runs.
void convert_screen(process_record* rec) {
    const page_table& pt = rec->pages;
    uint32_t* out = back_page;
    for (int y = 0; y < VIDEO_HEIGHT; y++) {
        const uint32_t* pal = video_palette + video_line_palette[y] * 64;
        uint32_t a = ADDR_SCREEN + uint32_t(y) * VIDEO_WIDTH;
        int x = 0;
        while (x < VIDEO_WIDTH) {
            uint32_t page = a >> 12, offset = a & (PAGE_SIZE - 1);
            int run = int(std::min<uint32_t>(uint32_t(VIDEO_WIDTH - x), PAGE_SIZE - offset));
            int32_t mapped = pt.page[page] ? pt.mapped[page] : 0;
            int have = int32_t(offset) < mapped ? std::min(run, int(mapped - int32_t(offset))) : 0;
            if (have > 0) {
                const uint8_t* src = pt.page[page] + offset;
                for (int i = 0; i < have; i++) out[x + i] = pal[src[i] & 63];
            }
            for (int i = have; i < run; i++) out[x + i] = pal[0];
            x += run;
            a += uint32_t(run);
        }
        out += VIDEO_WIDTH;
    }
}

// Enlarges the top-left (480 / S) x (270 / S) pixels S times in place, bottom row first; a row
// with the same source row as the one below copies that row.
template <int S>
void enlarge() {
    for (int y = VIDEO_HEIGHT - 1; y >= 0; y--) {
        uint32_t* dst = back_page + y * VIDEO_WIDTH;
        if (y + 1 < VIDEO_HEIGHT && (y + 1) / S == y / S) {
            memcpy(dst, dst + VIDEO_WIDTH, VIDEO_WIDTH * sizeof(uint32_t));
        } else {
            // Never the row itself: rows 0 to S - 1 share source row 0 and all but the last
            // of them copy the one below.
            const uint32_t* src = back_page + (y / S) * VIDEO_WIDTH;
            for (int x = 0; x < VIDEO_WIDTH / S; x++)
                for (int k = 0; k < S; k++) dst[x * S + k] = src[x];
        }
        video_line_palette[y] = video_line_palette[y / S];
    }
}

inline int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// The copy's source rows, gathered before anything is written (source and target may share
// memory).
uint8_t blit_buffer[SCREEN_BYTES];

}  // namespace

process_record* update_boot_sequence() {
    process_record* wm = get_process(3);
    if (config.video_process_id > 3) {
        if (!wm) return nullptr;
        app.boot_finished = 1;
        app.boot_ready = 1;
        return wm;
    }
    if (!wm || boot_get_time() < BOOT_SEQUENCE_MS) return boot_record();
    if (!app.boot_finished) {
        velt_debug("@@ finished_boot_sequence\n");
        app.boot_finished = 1;
    }
    return app.boot_ready ? wm : boot_record();
}

void (*video_frame_hook)() = nullptr;

const uint32_t* generate_video_out(int* w, int* h) {
    process_record* shown = update_boot_sequence();
    if (!shown) return nullptr;
    if (shown == boot_record()) draw_boot();
    uint8_t flags = 0;
    read_registers(shown, ADDR_PROCESS_FLAGS, &flags, 1);
    if (flags & PFLAG_HOLD_FRAME) return nullptr;
    build_palette(shown);
    convert_screen(shown);
    // The recording and the screenshot take the frame before it is enlarged.
    if (video_frame_hook) video_frame_hook();
    uint8_t mode = 0;
    read_registers(shown, ADDR_VIDEO_MODE, &mode, 1);
    video_mode = mode;
    if (mode == 3) enlarge<2>();
    if (mode == 4) enlarge<3>();
    if (w) *w = VIDEO_WIDTH;
    if (h) *h = VIDEO_HEIGHT;
    return back_page;
}

int video_mode_scale() {
    process_record* rec = get_process(config.video_process_id);
    if (!rec) return 1;
    uint8_t mode = 0;
    read_registers(rec, ADDR_VIDEO_MODE, &mode, 1);
    return mode == 3 ? 2 : mode == 4 ? 3 : 1;
}

int64_t blit_from_ram(process_record* proc, uint32_t base, userdata_header* target, int64_t sx, int64_t sy,
                      int64_t dx, int64_t dy, int64_t w, int64_t h, uint8_t mask, int64_t* pixels) {
    if (pixels) *pixels = 0;
    process_record* rec = cproc;
    if (!proc || !target || !rec) return 0;
    constexpr int64_t LIMIT = int64_t(1) << 40;
    sx = clamp64(sx, -LIMIT, LIMIT);
    sy = clamp64(sy, -LIMIT, LIMIT);
    dx = clamp64(dx, -LIMIT, LIMIT);
    dy = clamp64(dy, -LIMIT, LIMIT);
    w = clamp64(w, 0, LIMIT);
    h = clamp64(h, 0, LIMIT);

    // The source's screen: its display width by display height, inside the screen's pages.
    uint8_t size[4];
    read_registers(proc, ADDR_DISPLAY_WIDTH, size, 4);
    int64_t stride = size[0] | size[1] << 8, rows = size[2] | size[3] << 8;
    if (stride == 0) return 0;
    rows = std::min<int64_t>(rows, SCREEN_BYTES / stride);
    if (sx < 0) { dx -= sx; w += sx; sx = 0; }
    if (sy < 0) { dy -= sy; h += sy; sy = 0; }
    w = std::min(w, stride - sx);
    h = std::min(h, rows - sy);

    // The destination: the caller's clip, which lies within its target.
    refresh_clip_cache(rec);
    const clip_cache& cc = rec->clip;
    if (cc.target != target) return 0;
    if (dx < cc.x0) { sx += cc.x0 - dx; w -= cc.x0 - dx; dx = cc.x0; }
    if (dy < cc.y0) { sy += cc.y0 - dy; h -= cc.y0 - dy; dy = cc.y0; }
    w = std::min(w, cc.x1 - dx);
    h = std::min(h, cc.y1 - dy);
    if (w <= 0 || h <= 0) return 0;

    for (int64_t r = 0; r < h; r++)
        read_process_space(proc, uint32_t(base + (sy + r) * stride + sx), blit_buffer + r * w, uint32_t(w),
                   UNMAPPED_BLIT_COLOUR);
    uint8_t* dst = userdata_data(target);
    for (int64_t r = 0; r < h; r++) {
        uint8_t* d = dst + (dy + r) * int64_t(target->width) + dx;
        const uint8_t* s = blit_buffer + r * w;
        if (mask == 0) {
            memcpy(d, s, size_t(w));
        } else {
            for (int64_t i = 0; i < w; i++)
                if (s[i] & mask) d[i] = s[i];
        }
    }
    if (pixels) *pixels = w * h;
    return w * h / 4;
}

int lua54_blit_process_video(lua_State* L) {
    process_record* rec = cproc;
    if (!rec || !rec->draw_target) return 0;
    refresh_clip_cache(rec);
    int64_t id = 0;
    if (lua_type(L, 1) == LUA_TNUMBER) {
        int ok = 0;
        lua_Integer v = lua_tointegerx(L, 1, &ok);
        if (ok) id = v;
    }
    process_record* src = get_process(id);
    if (!src || src->state == PSTATE_ERROR) {
        lua_pushboolean(L, 1);
        return 1;
    }
    uint8_t regs[8];
    read_registers(src, ADDR_DISPLAY_WIDTH, regs, 8);  // width, height, mode, mask, -, flags
    int64_t x = q64_intp(L, 2, 0), y = q64_intp(L, 3, 0);
    int64_t w = q64_intp(L, 4, regs[0] | regs[1] << 8), h = q64_intp(L, 5, regs[2] | regs[3] << 8);
    int64_t sx = q64_intp(L, 6, 0), sy = q64_intp(L, 7, 0);
    if (regs[7] & PFLAG_HOLD_FRAME) {
        lua_pushboolean(L, 1);
        return 1;
    }
    uint8_t mask = regs[5];
    int64_t pixels = 0;
    blit_from_ram(src, ADDR_SCREEN, rec->draw_target, sx, sy, x, y, w, h, mask, &pixels);
    if (!(w == VIDEO_WIDTH && h == VIDEO_HEIGHT && mask == 0)) spend_cpu(mask ? pixels / 8 : pixels / 64);
    return 0;
}
