// Shape drawing throughput: cls, rectfill and ovalfill of a whole 480 x 270 target and 10,000
// random lines, called as script functions, beside a plain memset and a plain per-byte table loop
// over the same bytes in the same process.
//
// Built with the project as the shapes_bench target; run it without arguments.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_clock.h"
#include "bench_machine.h"
#include "gfx/draw_state.h"
#include "gfx/shapes.h"
#include "base/machine.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

constexpr int W = 480, H = 270;
constexpr int LINE_COUNT = 10000;

lua_State* L = nullptr;
uint8_t* screen = nullptr;

void call(lua_CFunction f, std::initializer_list<int64_t> args) { bench_call(L, f, args); }
bool run_code(const char* code) { return bench_run_code(L, code); }

uint64_t rng_state = 0x2545F4914F6CDD1Dull;
int64_t next_random(int64_t lo, int64_t hi) {
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 7;
    rng_state ^= rng_state << 17;
    return lo + int64_t((rng_state >> 11) % uint64_t(hi - lo + 1));
}

void report(const char* name, double pixels, double seconds, double memset_rate, double loop_rate) {
    double rate = pixels / seconds;
    std::printf("%-30s %12.1f Mpixels/s  %7.3fx memset  %7.3fx loop\n", name, rate / 1e6, rate / memset_rate,
                rate / loop_rate);
}

}  // namespace

int main() {
    L = bench_drawing_process();
    if (!L) return 1;
    process_record* p = cproc;
    if (!run_code("screen = userdata('u8', 480, 270) _set_draw_target(screen) pal()")) return 1;
    screen = userdata_data(p->draw_target);
    const size_t bytes = size_t(W) * H;

    // Baselines over the same bytes.
    uint8_t fill = 0;
    double memset_s = best_seconds_per_run([&] {
        memset(screen, fill++, bytes);
        __asm__ volatile("" : : "r"(screen) : "memory");
    });
    uint8_t table[64];
    for (int i = 0; i < 64; i++) table[i] = uint8_t(63 - i);
    double loop_s = best_seconds_per_run([&] {
        for (size_t i = 0; i < bytes; i++) screen[i] = table[screen[i] & 63];
        __asm__ volatile("" : : "r"(screen) : "memory");
    });
    double memset_rate = double(bytes) / memset_s, loop_rate = double(bytes) / loop_s;
    std::printf("target %d x %d; baselines: memset %.1f Mpixels/s, per-byte table loop %.1f Mpixels/s\n", W, H,
                memset_rate / 1e6, loop_rate / 1e6);

    int64_t colour = 0;
    double cls_s = best_seconds_per_run([&] { call(lua54_cls, {++colour & 63}); });
    report("cls", double(bytes), cls_s, memset_rate, loop_rate);

    // Three mask settings: destination ignored (solid fills), table 0 by destination colour, and
    // the whole pipeline per pixel.
    struct {
        const char* name;
        const char* masks;
    } settings[] = {
        {"target mask 0", "poke(0x5508, 0x3f, 0xff, 0, 0)"},
        {"target mask 63", "poke(0x5508, 0x3f, 0xff, 63, 63)"},
        {"target mask 0xff", "poke(0x5508, 0xff, 0xff, 0xff, 0xff)"},
    };
    double ovalfill_pixels = 0;
    for (auto& s : settings) {
        if (!run_code(s.masks)) return 1;
        char name[64];
        double t = best_seconds_per_run([&] { call(lua54_rectfill, {0, 0, W - 1, H - 1, ++colour & 63}); });
        std::snprintf(name, sizeof name, "rectfill, %s", s.name);
        report(name, double(bytes), t, memset_rate, loop_rate);

        if (ovalfill_pixels == 0) {
            // Pixels the ellipse covers, counted once on a cleared target.
            call(lua54_cls, {0});
            call(lua54_ovalfill, {0, 0, W - 1, H - 1, 7});
            for (size_t i = 0; i < bytes; i++) ovalfill_pixels += screen[i] != 0;
        }
        t = best_seconds_per_run([&] { call(lua54_ovalfill, {0, 0, W - 1, H - 1, ++colour & 63}); });
        std::snprintf(name, sizeof name, "ovalfill, %s", s.name);
        report(name, ovalfill_pixels, t, memset_rate, loop_rate);
    }

    // 10,000 random lines, some reaching past the target's edges.
    if (!run_code("poke(0x5508, 0x3f, 0xff, 0, 0)")) return 1;
    std::vector<int64_t> ends(size_t(LINE_COUNT) * 4);
    for (size_t i = 0; i < ends.size(); i += 4) {
        ends[i] = next_random(-40, W + 40);
        ends[i + 1] = next_random(-40, H + 40);
        ends[i + 2] = next_random(-40, W + 40);
        ends[i + 3] = next_random(-40, H + 40);
    }
    draw_context c;
    draw_begin(&c);
    double line_pixels = 0;
    for (size_t i = 0; i < ends.size(); i += 4) line_pixels += double(draw_line(c, ends[i], ends[i + 1], ends[i + 2], ends[i + 3]));
    double lines_s = best_seconds_per_run([&] {
        for (size_t i = 0; i < ends.size(); i += 4)
            call(lua54_line, {ends[i], ends[i + 1], ends[i + 2], ends[i + 3], 9});
    });
    char name[64];
    std::snprintf(name, sizeof name, "%d lines (%.0f pixels)", LINE_COUNT, line_pixels);
    report(name, line_pixels, lines_s, memset_rate, loop_rate);
    std::printf("%d lines: %.2f ms, %.0f lines/s\n", LINE_COUNT, lines_s * 1e3, LINE_COUNT / lines_s);

    double cls_ratio = (double(bytes) / cls_s) / memset_rate;
    std::printf("goal: cls at least 0.5x memset: %.3fx, %s\n", cls_ratio, cls_ratio >= 0.5 ? "met" : "NOT met");
    processes_init();
    return 0;
}
