// The boot screen: a private process record with its own screen that the host draws into
// while the system starts (an animated outline, the version text and a status line).
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gfx/draw_state.h"
#include "gfx/printer.h"
#include "gfx/system_font.h"
#include "gfx/video.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "platform/host.h"
#include "userdata/userdata.h"

uint64_t (*boot_host_clock)() = os_get_time;

namespace {

const uint32_t boot_palette[32] = {
    0x000000, 0x1d2b53, 0x7e2553, 0x008751, 0xab5236, 0x5f574f, 0xc2c3c7, 0xfff1e8,
    0xff004d, 0xffa300, 0xffec27, 0x00e436, 0x29adff, 0x83769c, 0xff77a8, 0xffccaa,
    0x134284, 0x135fc6, 0x922d95, 0x125359, 0x742f29, 0x492d38, 0xa28879, 0xffacc5,
    0xc3004c, 0xeb6b00, 0x90f642, 0x00b251, 0x83ebf5, 0xbd9adf, 0xe40dab, 0xff856d,
};

constexpr uint8_t PEN_TITLE = 7, PEN_SUBTITLE = 6, PEN_STATUS = 14, ERROR_BACKGROUND = 1;
constexpr int64_t TEXT_X = 35, TEXT_Y = 200;

// The record, its first 16 pages and its screen, a u8 array of 480 x 270 made by hand.
process_record boot_proc;
alignas(16) uint8_t boot_pages[INITIAL_PAGES][PAGE_SIZE];
struct {
    userdata_header header;
    uint8_t pixels[VIDEO_WIDTH * VIDEO_HEIGHT];
} boot_screen_array;
static_assert(offsetof(decltype(boot_screen_array), pixels) == sizeof(userdata_header), "pixels follow the header");
userdata_header* const boot_back = &boot_screen_array.header;
bool boot_built = false;
bool boot_clock_fresh = true;

uint8_t* boot_screen() { return userdata_data(boot_back); }

inline double clamp01(double t) { return t < 0 ? 0 : t > 1 ? 1 : t; }

// The part a..b (fractions of its length) of the segment from x0, y0 to x1, y1, stepped in
// 16.16 along its longer axis.
void draw_segment(int64_t x0, int64_t y0, int64_t x1, int64_t y1, double a, double b, int phase) {
    int64_t fx0 = (x0 << 16) + int64_t(a * double((x1 - x0) << 16));
    int64_t fy0 = (y0 << 16) + int64_t(a * double((y1 - y0) << 16));
    int64_t fx1 = (x0 << 16) + int64_t(b * double((x1 - x0) << 16));
    int64_t fy1 = (y0 << 16) + int64_t(b * double((y1 - y0) << 16));
    int64_t steps = std::max(std::llabs(fx1 - fx0), std::llabs(fy1 - fy0)) >> 16;
    int64_t sx = steps ? (fx1 - fx0) / steps : 0, sy = steps ? (fy1 - fy0) / steps : 0;
    uint8_t* screen = boot_screen();
    int64_t fx = fx0, fy = fy0;
    for (int64_t n = 0; n <= steps; n++, fx += sx, fy += sy) {
        int64_t x = fx >> 16, y = fy >> 16;
        if (x < 0 || x >= VIDEO_WIDTH || y < 0 || y >= VIDEO_HEIGHT) continue;
        int64_t shade = (x >> 5) + (y >> 5);
        screen[y * VIDEO_WIDTH + x] = app.boot_line_style ? uint8_t(28 + (phase + n % 3 + shade) % 3)
                                                          : uint8_t(8 + (phase + n + shade) % 12);
    }
}

// The part f0..f1 of the two-segment path (x0, y0) -> (x1, y1) -> (x2, y2): the first half of
// the fraction range runs along the first segment, the second half along the second.
void draw_path(int64_t x0, int64_t y0, int64_t x1, int64_t y1, int64_t x2, int64_t y2, double f0, double f1,
               int phase) {
    double a0 = clamp01(f0 * 2), a1 = clamp01(f1 * 2);
    if (a1 > a0) draw_segment(x0, y0, x1, y1, a0, a1, phase);
    double b0 = clamp01(f0 * 2 - 1), b1 = clamp01(f1 * 2 - 1);
    if (b1 > b0) draw_segment(x1, y1, x2, y2, b0, b1, phase);
}

void print_line(const char* text, uint8_t pen) {
    print_t6scii(boot_back, text, int64_t(strlen(text)), 0, pen);
}

}  // namespace

double nll(double t) {
    t = clamp01(t);
    if (t < 0.5) return 2 * t * t;
    if (t > 0.5) return 1 - 2 * (1 - t) * (1 - t);
    return t;
}

void boot_init() { boot_clock_fresh = true; }

int64_t boot_get_time() {
    if (boot_clock_fresh) {
        app.boot_frames_base = app.frames_run;
        boot_clock_fresh = false;
    }
    return int64_t(double(app.frames_run - app.boot_frames_base) * 16.6);
}

process_record* boot_record() { return &boot_proc; }

void init_boot() {
    if (boot_built) return;
    constexpr uint32_t screen_size = VIDEO_WIDTH * VIDEO_HEIGHT;
    boot_back->type = UTYPE_U8;
    boot_back->dimensions = 2;
    boot_back->width = VIDEO_WIDTH;
    boot_back->height = VIDEO_HEIGHT;

    init_host_drawing_process(&boot_proc, &boot_pages[0][0], boot_back, boot_palette, 32, VIDEO_WIDTH,
                              VIDEO_HEIGHT);
    page_table& pt = boot_proc.pages;
    for (uint32_t i = 0; i * PAGE_SIZE < screen_size; i++) {
        uint32_t p = (ADDR_SCREEN >> 12) + i;
        pt.page[p] = boot_screen() + i * PAGE_SIZE;
        pt.mapped[p] = int32_t(std::min(PAGE_SIZE, screen_size - i * PAGE_SIZE));
        pt.userdata_map[p >> 6] |= uint64_t(1) << (p & 63);
    }
    boot_built = true;
}

process_record* draw_boot() {
    init_boot();
    process_record* previous = cproc;
    cproc = &boot_proc;
    refresh_clip_cache(&boot_proc);
    uint8_t* screen = boot_screen();
    char text[128];
    poke4(ADDR_PRINT_HOME_X, TEXT_X);
    poke4(ADDR_PRINT_CURSOR_X, TEXT_X);
    poke4(ADDR_PRINT_CURSOR_Y, TEXT_Y);

    process_record* first = get_process(1);
    uint8_t failure = first ? peek_proc(first, 0) : 0;
    if (failure) {
        memset(screen, ERROR_BACKGROUND, VIDEO_WIDTH * VIDEO_HEIGHT);
        snprintf(text, sizeof text, "** system error %d **\n", failure);
        print_line(text, PEN_STATUS);
        cproc = previous;
        return &boot_proc;
    }

    double t = double(boot_get_time()) / 1000.0 * 2 - 1;
    memset(screen, 0, VIDEO_WIDTH * VIDEO_HEIGHT);
    double e_end = nll(clamp01(t)), e_start = nll(clamp01(t - 0.5));
    if (e_start < 1 && e_end > 0) {
        for (int k = 0; k < 3; k++) {
            int64_t i = 3 * k, r = VIDEO_WIDTH - 1 - i, b = VIDEO_HEIGHT - 1 - i;
            draw_path(i, i, r, i, r, b, e_start, e_end, k);
            draw_path(i, i, i, b, r, b, e_start, e_end, k + 5);
        }
    }

    if (t > 0.7) {
        snprintf(text, sizeof text, "\x06:3f7f5077057f7e00 Orvalune Workstation OS %s", ORVALUNE_VERSION);
        print_line(text, PEN_TITLE);
    }
    if (t > 1.0) print_line("A fantasy workstation: 480x270, 64 colours, 16 voices", PEN_SUBTITLE);
    if (t > 1.2) {
        snprintf(text, sizeof text, "booting..\n");
        if (app.boot_finished && !app.boot_ready) snprintf(text, sizeof text, "booting...\n");
        uint64_t now = boot_host_clock();
        if (now >= 4001) snprintf(text, sizeof text, "booting....\n");
        if (now >= 7001) snprintf(text, sizeof text, "booting.....\n");
        for (int64_t id = 1; id <= 3; id++) {
            process_record* rec = get_process(id);
            if (rec && rec->state != PSTATE_RUNNING)
                snprintf(text, sizeof text, "[* system error %lld:%lld **]\n", (long long)id, (long long)rec->state);
        }
        print_line(text, PEN_STATUS);
    }
    cproc = previous;
    return &boot_proc;
}
