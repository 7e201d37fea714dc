// Textured drawing throughput: 16 x 16 spr calls tiling a whole 480 x 270 target (single calls
// and one batch call) and a _draw_map of a full screen of 8 x 8 cells, each beside a plain copy
// loop over the same pixels in the same process; and the cost of remapping one page with many
// arrays mapped, beside one pass over the page table.
//
// Built with the project as the sprites_bench target; run it without arguments.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_clock.h"
#include "bench_machine.h"
#include "gfx/draw_state.h"
#include "gfx/sprites.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

constexpr int W = 480, H = 270;

lua_State* L = nullptr;

void call(lua_CFunction f, std::initializer_list<int64_t> args) { bench_call(L, f, args); }
bool run_code(const char* code) { return bench_run_code(L, code); }

userdata_header* global_array(const char* name) {
    lua_getglobal(L, name);
    userdata_header* u = to_userdata(L, -1);
    lua_pop(L, 1);
    return u;
}

// A plain byte loop copying a size x size image to each position, clipped to the screen.
void copy_loop(uint8_t* screen, const uint8_t* image, int size, const std::vector<int>& xy) {
    for (size_t i = 0; i < xy.size(); i += 2) {
        int x = xy[i], y = xy[i + 1];
        int w = std::min(size, W - x), h = std::min(size, H - y);
        for (int j = 0; j < h; j++) {
            uint8_t* d = screen + (y + j) * W + x;
            const uint8_t* s = image + j * size;
            for (int k = 0; k < w; k++) d[k] = s[k];
        }
    }
    __asm__ volatile("" : : "r"(screen) : "memory");
}

void report(const char* name, double pixels, double seconds, double copy_rate) {
    double rate = pixels / seconds;
    std::printf("%-44s %9.1f Mpixels/s  %6.3fx copy loop\n", name, rate / 1e6, rate / copy_rate);
}

}  // namespace

int main() {
    L = bench_drawing_process();
    if (!L) return 1;
    process_record* p = cproc;
    // A 16 x 16 sprite in slot 1 and four 8 x 8 sprites in slots 2-5, about one texel in eight
    // transparent; a 60 x 34 map of the small ones.
    if (!run_code("screen = userdata('u8', 480, 270) _set_draw_target(screen) pal() math.randomseed(1) "
                  "local function sprite(n) local s = userdata('u8', n, n) for i = 0, n * n - 1 do "
                  "s[i] = math.random(0, 7) == 0 and 0 or math.random(1, 31) end return s end "
                  "big = sprite(16) _set_spr(1, big) for i = 2, 5 do _set_spr(i, sprite(8)) end "
                  "M = userdata('i16', 60, 34) for i = 0, 60 * 34 - 1 do M[i] = 2 + i % 4 end"))
        return 1;
    uint8_t* screen = userdata_data(p->draw_target);
    const uint8_t* big = userdata_data(global_array("big"));

    std::vector<int> tiles16, tiles8;
    for (int y = 0; y < H; y += 16)
        for (int x = 0; x < W; x += 16) tiles16.insert(tiles16.end(), {x, y});
    for (int y = 0; y < H; y += 8)
        for (int x = 0; x < W; x += 8) tiles8.insert(tiles8.end(), {x, y});
    const double pixels = double(W) * H;
    const int calls = int(tiles16.size() / 2);

    double copy16_s = best_seconds_per_run([&] { copy_loop(screen, big, 16, tiles16); });
    double copy16_rate = pixels / copy16_s;
    // The map's baseline copies one 8 x 8 image per cell, as the map draws one sprite per cell.
    const uint8_t* small = userdata_data(sprite_slot(p, 2));
    double copy8_s = best_seconds_per_run([&] { copy_loop(screen, small, 8, tiles8); });
    double copy8_rate = pixels / copy8_s;
    std::printf("target %d x %d; %d spr calls of 16 x 16 tile it; copy loops: 16 x 16 %.1f Mpixels/s, 8 x 8 %.1f Mpixels/s\n",
                W, H, calls, copy16_rate / 1e6, copy8_rate / 1e6);

    // The batch: one row (n, x, y) for each tile.
    if (!run_code("R = userdata('f64', 3, 510)")) return 1;
    double* rows = reinterpret_cast<double*>(userdata_data(global_array("R")));
    for (int i = 0; i < calls; i++) {
        rows[i * 3] = 1;
        rows[i * 3 + 1] = tiles16[i * 2];
        rows[i * 3 + 2] = tiles16[i * 2 + 1];
    }

    struct {
        const char* name;
        const char* masks;
    } settings[] = {
        {"fast path, write mask 0xff", "poke(0x5508, 63, 0xff, 63)"},
        {"fast path, write mask 0x3f", "poke(0x5508, 63, 0x3f, 63)"},
        {"whole pipeline", "poke(0x5508, 0xff, 0xff, 0xff)"},
    };
    double spr_rate = 0;
    for (auto& s : settings) {
        if (!run_code(s.masks)) return 1;
        char name[96];
        double t = best_seconds_per_run([&] {
            for (size_t i = 0; i < tiles16.size(); i += 2) call(lua54_spr, {1, tiles16[i], tiles16[i + 1]});
        });
        if (spr_rate == 0) spr_rate = pixels / t;
        std::snprintf(name, sizeof name, "spr 16x16, %s", s.name);
        report(name, pixels, t, copy16_rate);
        std::printf("%-44s %9.2f M calls/s\n", "", calls / t / 1e6);

        lua_getglobal(L, "R");
        int r = lua_gettop(L);
        t = best_seconds_per_run([&] {
            lua_pushcfunction(L, lua54_spr);
            lua_pushvalue(L, r);
            lua_call(L, 1, 0);
            cpu_cycles = 0;
        });
        lua_pop(L, 1);
        std::snprintf(name, sizeof name, "spr batch of %d, %s", calls, s.name);
        report(name, pixels, t, copy16_rate);

        lua_getglobal(L, "M");
        int m = lua_gettop(L);
        t = best_seconds_per_run([&] {
            lua_pushcfunction(L, lua54_draw_map);
            lua_pushvalue(L, m);
            for (int a : {0, 0, 0, 0, 60, 34, 0, 8, 8}) lua_pushinteger(L, a);
            lua_call(L, 10, 0);
            cpu_cycles = 0;
        });
        lua_pop(L, 1);
        std::snprintf(name, sizeof name, "map 60x34 of 8x8, %s", s.name);
        report(name, pixels, t, copy8_rate);
    }

    // Remapping: 512 arrays of one page each mapped from 0x200000 on, then one page mapped and
    // unmapped again and again, beside a single pass over the page table.
    if (!run_code("held = {} for i = 0, 511 do held[i] = userdata('u8', 4096) _map_ram(held[i], 0x200000 + i * 4096) end "
                  "spare = userdata('u8', 4096)"))
        return 1;
    lua_getglobal(L, "spare");
    int spare = lua_gettop(L);
    double remap_s = best_seconds_per_run([&] {
        for (int i = 0; i < 100; i++) {
            lua_pushcfunction(L, lua54_map_ram);
            lua_pushvalue(L, spare);
            lua_pushinteger(L, 0x300000);
            lua_call(L, 2, 0);
            lua_pushcfunction(L, lua54_unmap_ram);
            lua_pushvalue(L, spare);
            lua_call(L, 1, 0);
        }
        cpu_cycles = 0;
    }) / 200;
    lua_pop(L, 1);
    const userdata_header* spare_header = global_array("spare");
    volatile uint64_t found = 0;
    double scan_s = best_seconds_per_run([&] {
        uint64_t n = 0;
        for (uint32_t i = 0; i < PAGE_COUNT; i++) n += page_array(p->pages, i) == spare_header ? 1 : 0;
        found = found + n;
    });
    std::printf("remap with 512 arrays mapped: %.0f ns per _map_ram or _unmap_ram call, %.3fx one page-table scan (%.0f ns)\n",
                remap_s * 1e9, remap_s / scan_s, scan_s * 1e9);

    double ratio = spr_rate / copy16_rate;
    std::printf("goal: spr at least 1 Gpixel/s: %.2f Gpixels/s (%.3fx copy loop), %s\n", spr_rate / 1e9, ratio,
                spr_rate >= 1e9 ? "met" : "NOT met");
    processes_init();
    return 0;
}
