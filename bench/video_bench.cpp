// Video out speed: a full 480 x 270 frame built from the window manager's screen (a mapped
// array and owned pages, with the line palettes in use, and enlarged for video mode 3), and the
// boot screen's frame, beside a plain loop that copies 480 x 270 32-bit pixels.
//
// Built with the project as the video_bench target; run it without arguments.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_clock.h"
#include "gfx/draw_state.h"
#include "gfx/video.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "lauxlib.h"
#include "lua.h"

namespace {

constexpr int PIXELS = VIDEO_WIDTH * VIDEO_HEIGHT;

uint64_t rng_state = 0x2545F4914F6CDD1Dull;
uint8_t next_byte() {
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 7;
    rng_state ^= rng_state << 17;
    return uint8_t(rng_state >> 24);
}

double frame_seconds() {
    int w = 0, h = 0;
    return best_seconds_per_run([&] {
        const uint32_t* f = generate_video_out(&w, &h);
        __asm__ volatile("" : : "r"(f) : "memory");
    });
}

}  // namespace

int main() {
    processes_init();
    memset(&app, 0, sizeof(app));
    boot_init();
    process_record* wm = nullptr;
    for (int i = 0; i < 3; i++) wm = create_process_from_code("", "bench", "/apps/bench.lua", "");
    if (!wm) {
        std::printf("could not create the processes\n");
        return 1;
    }
    set_current_process(wm);

    // Baseline: a plain loop over 480 x 270 32-bit pixels.
    std::vector<uint32_t> src(PIXELS), dst(PIXELS);
    for (auto& v : src) v = uint32_t(next_byte()) * 0x010101u;
    double copy_s = best_seconds_per_run([&] {
        const uint32_t* s = src.data();
        uint32_t* d = dst.data();
        for (int i = 0; i < PIXELS; i++) d[i] = s[i];
        __asm__ volatile("" : : "r"(d) : "memory");
    });
    std::printf("plain copy of %d x %d 32-bit pixels: %.4f ms\n", VIDEO_WIDTH, VIDEO_HEIGHT, copy_s * 1e3);

    // The window manager's screen in owned pages, every line palette in use.
    app.boot_ready = 1;
    app.boot_finished = 1;
    boot_get_time();
    app.frames_run += 1000;
    std::vector<uint8_t> screen(PIXELS);
    for (auto& b : screen) b = next_byte();
    poke_block(ADDR_SCREEN, screen.data(), PIXELS);
    for (int i = 0; i < 68; i++) poke(ADDR_SCANLINE_PALETTE_SELECT + i, next_byte());
    for (int i = 0; i < 256; i++) poke4(ADDR_PALETTES + 4 * i, int64_t(i) * 0x010203);
    for (int i = 0; i < 64; i++) poke(ADDR_DISPLAY_REMAP + i, 63 - i);
    double owned_s = frame_seconds();

    // The same screen as a mapped array.
    if (luaL_dostring(wm->L, "S = userdata('u8', 480, 270) _map_ram(S, 0x10000)") != LUA_OK) {
        std::printf("mapping failed: %s\n", lua_tostring(wm->L, -1));
        return 1;
    }
    poke_block(ADDR_SCREEN, screen.data(), PIXELS);
    double mapped_s = frame_seconds();

    poke(ADDR_VIDEO_MODE, 3);
    double mode3_s = frame_seconds();
    poke(ADDR_VIDEO_MODE, 0);

    // The boot screen at its fullest: outline, three lines of text.
    app.boot_ready = 0;
    app.boot_finished = 0;
    boot_init();
    boot_get_time();
    app.frames_run += 62;
    double boot_s = frame_seconds();

    struct {
        const char* name;
        double seconds;
    } rows[] = {
        {"frame from owned pages", owned_s},
        {"frame from a mapped array", mapped_s},
        {"frame in video mode 3", mode3_s},
        {"boot screen frame", boot_s},
    };
    for (auto& r : rows)
        std::printf("%-28s %8.4f ms  %6.2fx the plain copy\n", r.name, r.seconds * 1e3, r.seconds / copy_s);
    double worst = std::max(owned_s, mapped_s);
    std::printf("goal: a full frame in at most 0.2 ms: %.4f ms (%.2fx the plain copy), %s\n", worst * 1e3,
                worst / copy_s, worst <= 0.0002 ? "met" : "NOT met");
    processes_init();
    return 0;
}
