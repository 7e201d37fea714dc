// Video out: exact frames through palettes, remap, line palettes and the low-resolution
// modes, the boot sequence and its boot screen against golden images, and screen copies
// between processes with their clipping and charges.
#include <gtest/gtest.h>
#include <lodepng.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gfx/draw_state.h"
#include "gfx/video.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "platform/host.h"
#include "test_support.h"
#include "userdata/userdata.h"

namespace {

uint64_t stub_clock_ms = 0;
uint64_t stub_clock() { return stub_clock_ms; }

struct Video : testing::Test {
    app_config saved_config;
    void SetUp() override {
        saved_config = config;
        processes_init();
        memset(&app, 0, sizeof(app));
        config.video_process_id = 3;
        config.headless = 0;
        boot_init();
        stub_clock_ms = 0;
        boot_host_clock = stub_clock;
        app.frames_run = 1;
    }
    void TearDown() override {
        processes_init();
        boot_host_clock = os_get_time;
        config = saved_config;
    }
    // Processes 1 to n, the last one current.
    process_record* start(int n) {
        process_record* rec = nullptr;
        for (int i = 1; i <= n; i++) rec = create_process_from_code("", "p", "/p.lua", "");
        set_current_process(rec);
        return rec;
    }
    // The frame boot_frames frames after the boot screen started.
    const uint32_t* frame_at(int64_t boot_frames) {
        boot_get_time();
        app.frames_run = app.boot_frames_base + uint64_t(boot_frames);
        int w = 0, h = 0;
        const uint32_t* f = generate_video_out(&w, &h);
        if (f) {
            EXPECT_EQ(w, VIDEO_WIDTH);
            EXPECT_EQ(h, VIDEO_HEIGHT);
        }
        return f;
    }
};

std::string golden_path(const std::string& name) { return std::string(ORVALUNE_TEST_DIR) + "/gfx/golden/" + name; }

// Compares the frame with a golden PNG; ORVALUNE_WRITE_GOLDEN=1 writes the PNG instead.
void expect_golden(const uint32_t* frame, const std::string& name) {
    ASSERT_NE(frame, nullptr);
    std::string path = golden_path(name);
    if (getenv("ORVALUNE_WRITE_GOLDEN")) {
        std::vector<unsigned char> rgb(size_t(VIDEO_WIDTH) * VIDEO_HEIGHT * 3);
        for (int i = 0; i < VIDEO_WIDTH * VIDEO_HEIGHT; i++) {
            rgb[3 * i] = uint8_t(frame[i] >> 16);
            rgb[3 * i + 1] = uint8_t(frame[i] >> 8);
            rgb[3 * i + 2] = uint8_t(frame[i]);
        }
        ASSERT_EQ(lodepng_encode24_file(path.c_str(), rgb.data(), VIDEO_WIDTH, VIDEO_HEIGHT), 0u) << path;
        return;
    }
    unsigned char* rgba = nullptr;
    unsigned w = 0, h = 0;
    ASSERT_EQ(lodepng_decode32_file(&rgba, &w, &h, path.c_str()), 0u) << path;
    ASSERT_EQ(w, unsigned(VIDEO_WIDTH));
    ASSERT_EQ(h, unsigned(VIDEO_HEIGHT));
    int wrong = 0, first = -1;
    for (int i = 0; i < VIDEO_WIDTH * VIDEO_HEIGHT; i++) {
        uint32_t want = uint32_t(rgba[4 * i]) << 16 | uint32_t(rgba[4 * i + 1]) << 8 | rgba[4 * i + 2];
        if (frame[i] != want && wrong++ == 0) first = i;
    }
    free(rgba);
    EXPECT_EQ(wrong, 0) << name << ": first at " << first % VIDEO_WIDTH << ", " << first / VIDEO_WIDTH;
}

TEST_F(Video, BootScreenFrames) {
    start(3);
    struct {
        int64_t frames;
        uint64_t clock;
        const char* name;
    } cases[] = {
        {38, 630, "boot_038.png"},
        {45, 750, "boot_045.png"},
        {60, 1000, "boot_060.png"},
        {80, 1330, "boot_080.png"},
    };
    for (auto& c : cases) {
        stub_clock_ms = c.clock;
        expect_golden(frame_at(c.frames), c.name);
    }
    // The status line once the host clock passes 4,000 ms, and when a system process failed.
    stub_clock_ms = 5000;
    expect_golden(frame_at(90), "boot_slow.png");
    get_process(2)->state = PSTATE_ERROR;
    expect_golden(frame_at(90), "boot_failed_process.png");
    // The other line style.
    app.boot_line_style = 1;
    expect_golden(frame_at(45), "boot_045_style.png");
    // A non-zero first byte of process 1 shows the error screen.
    get_process(2)->state = PSTATE_RUNNING;
    poke_proc(get_process(1), 0, 3);
    expect_golden(frame_at(90), "boot_error.png");
}


// Entry i of the test palette: palette number (i >> 6) + 1 in the high bits, colour i & 63.
uint32_t entry(int i) { return uint32_t((i >> 6) + 1) << 20 | uint32_t(i & 63); }

void set_test_palette(process_record* rec) {
    set_current_process(rec);
    for (int i = 0; i < 256; i++) poke4(ADDR_PALETTES + 4 * i, entry(i));
    for (int i = 0; i < 64; i++) poke(ADDR_DISPLAY_REMAP + i, i);
}

TEST_F(Video, PalettesRemapAndLineSelection) {
    process_record* wm = start(3);
    app.boot_ready = 1;
    set_test_palette(wm);
    poke(ADDR_DISPLAY_REMAP + 7, 0xC5);                   // colour 7 shows as 5; high bits ignored
    poke4(ADDR_PALETTES + 4 * 9, 0xFF000000 | entry(9));  // no alpha reaches the frame
    for (int x = 0; x < 64; x++) poke(ADDR_SCREEN + x, x);
    poke(ADDR_SCREEN + 64, 0xC5);
    poke(ADDR_SCREEN + 65, 0x47);
    poke(ADDR_SCANLINE_PALETTE_SELECT, 0xE4);             // lines 0-3: palettes 0, 1, 2, 3
    for (int y = 1; y < 6; y++) poke(ADDR_SCREEN + VIDEO_WIDTH * y, 9);
    const uint32_t* f = frame_at(200);
    ASSERT_NE(f, nullptr);
    for (int x = 0; x < 64; x++) EXPECT_EQ(f[x], entry(x == 7 ? 5 : x)) << x;
    EXPECT_EQ(f[64], entry(5));
    EXPECT_EQ(f[65], entry(5));
    EXPECT_EQ(f[66], entry(0));
    const int line_palette[6] = {0, 1, 2, 3, 0, 0};
    for (int y = 1; y < 6; y++) EXPECT_EQ(f[VIDEO_WIDTH * y], entry(line_palette[y] * 64 + 9)) << y;
    EXPECT_EQ(f[VIDEO_WIDTH * 3 + 1], entry(3 * 64));
    EXPECT_EQ(video_line_palette[3], 3u);

    // A reboot request dims every channel by half.
    app.reboot_requested = 1;
    f = frame_at(201);
    EXPECT_EQ(f[3], (entry(3) >> 1) & 0x7F7F7F7F);
    app.reboot_requested = 0;

    // Bytes beyond a mapped array's end read as 0, whatever the owned page holds there.
    ASSERT_EQ(exec_script(wm->L, "_map_ram(userdata('u8', 100), 0x20000) poke(0x20000 + 200, 33)"), "");
    EXPECT_EQ(peek(0x20000 + 200), 33);
    f = frame_at(202);
    int at = 0x20000 + 200 - ADDR_SCREEN;
    EXPECT_EQ(f[at], entry(0));
    EXPECT_EQ(f[at - 200 + 99], entry(0));

    // A process that holds its frame gives none.
    poke(ADDR_PROCESS_FLAGS, PFLAG_HOLD_FRAME);
    EXPECT_EQ(frame_at(203), nullptr);
}

TEST_F(Video, LowResolutionModesEnlargeInPlace) {
    process_record* wm = start(3);
    app.boot_ready = 1;
    set_test_palette(wm);
    uint8_t row[VIDEO_WIDTH];
    for (int y = 0; y < VIDEO_HEIGHT; y++) {
        for (int x = 0; x < VIDEO_WIDTH; x++) row[x] = uint8_t((x * 7 + y * 13) & 63);
        poke_block(ADDR_SCREEN + VIDEO_WIDTH * y, row, VIDEO_WIDTH);
    }
    poke(ADDR_SCANLINE_PALETTE_SELECT, 0xE4);
    for (int mode : {0, 3, 4}) {
        set_current_process(wm);
        poke(ADDR_VIDEO_MODE, mode);
        int s = mode == 3 ? 2 : mode == 4 ? 3 : 1;
        const uint32_t* f = frame_at(200 + mode);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(video_mode, mode);
        EXPECT_EQ(video_mode_scale(), s);
        int wrong = 0;
        for (int y = 0; y < VIDEO_HEIGHT; y++) {
            int sy = y / s, p = sy < 4 ? sy : 0;
            for (int x = 0; x < VIDEO_WIDTH; x++)
                if (f[y * VIDEO_WIDTH + x] != entry(p * 64 + (((x / s) * 7 + sy * 13) & 63))) wrong++;
        }
        EXPECT_EQ(wrong, 0) << "mode " << mode;
    }
}

TEST_F(Video, BootSequence) {
    // Without a window manager the boot screen stays, however long the boot takes.
    start(2);
    boot_get_time();
    app.frames_run = 1000;
    EXPECT_EQ(update_boot_sequence(), boot_record());
    EXPECT_EQ(app.boot_finished, 0u);
    process_record* wm = create_process_from_code("", "wm", "/wm.lua", "");
    // The first 2,200 ms show the boot screen even with a window manager.
    boot_init();
    app.frames_run = 10;
    EXPECT_EQ(update_boot_sequence(), boot_record());
    app.frames_run = 10 + 132;  // 2,191 ms
    EXPECT_EQ(update_boot_sequence(), boot_record());
    EXPECT_EQ(app.boot_finished, 0u);
    app.frames_run = 10 + 133;  // 2,207 ms: the sequence ends, the screen waits for the ready signal
    EXPECT_EQ(update_boot_sequence(), boot_record());
    EXPECT_EQ(app.boot_finished, 1u);
    app.boot_ready = 1;
    EXPECT_EQ(update_boot_sequence(), wm);

    // Cartridge-player mode: nothing until process 3 exists, then it at once.
    processes_init();
    memset(&app, 0, sizeof(app));
    config.video_process_id = 4;
    start(2);
    int w = 0, h = 0;
    EXPECT_EQ(generate_video_out(&w, &h), nullptr);
    wm = create_process_from_code("", "wm", "/wm.lua", "");
    EXPECT_EQ(update_boot_sequence(), wm);
    EXPECT_EQ(app.boot_finished + app.boot_ready, 2u);
}

// Process 3 shows a 16 x 4 screen of bytes y * 16 + x + 1; process 4 copies it into its target.
struct BlitProcessVideo : Video {
    process_record* source = nullptr;
    process_record* caller = nullptr;
    void SetUp() override {
        Video::SetUp();
        source = start(3);
        poke2(ADDR_DISPLAY_WIDTH, 16);
        poke2(ADDR_DISPLAY_HEIGHT, 4);
        for (int i = 0; i < 64; i++) poke(ADDR_SCREEN + i, i + 1);
        caller = create_process_from_code("", "caller", "/caller.lua", "");
        target(8, 6);
    }
    void target(int w, int h) {
        set_current_process(caller);
        ASSERT_EQ(exec_script(caller->L, "T = userdata('u8', " + std::to_string(w) + ", " + std::to_string(h) +
                                             ") _set_draw_target(T)"),
                  "");
    }
    std::string call(const std::string& args) {
        set_current_process(caller);
        return run_script(caller->L, "_blit_process_video(" + args + ")");
    }
    // The 8 x 6 target as rows of bytes in hex, '..' for 0.
    std::string rows() {
        set_current_process(caller);
        std::string out;
        const uint8_t* px = userdata_data(caller->draw_target);
        for (int y = 0; y < 6; y++) {
            for (int x = 0; x < 8; x++) {
                char b[4];
                snprintf(b, sizeof b, px[y * 8 + x] ? "%02x" : "..", px[y * 8 + x]);
                out += b;
            }
            out += "\n";
        }
        return out;
    }
    // Cycles charged by the call itself: the function and its arguments are evaluated first.
    int64_t cost(const std::string& args) {
        set_current_process(caller);
        lua_State* L = caller->L;
        int top = lua_gettop(L);
        if (luaL_loadstring(L, ("return _blit_process_video, " + args).c_str()) != LUA_OK ||
            lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
            ADD_FAILURE() << args;
            lua_settop(L, top);
            return -1;
        }
        int32_t before = cpu_cycles;
        EXPECT_EQ(lua_pcall(L, lua_gettop(L) - top - 1, 0, 0), LUA_OK) << args;
        lua_settop(L, top);
        return int64_t(cpu_cycles) - before;
    }
};

TEST_F(BlitProcessVideo, CopiesClipsAndMasks) {
    struct {
        const char* args;
        const char* want;
    } cases[] = {
        {"3", "0102030405060708\n1112131415161718\n2122232425262728\n3132333435363738\n................\n"
              "................\n"},
        {"3, 2, 1, 4, 2, 10, 1", "................\n....1b1c1d1e....\n....2b2c2d2e....\n................\n"
                                 "................\n................\n"},
        // The source rectangle ends at the source's screen: nothing from past its last column or row.
        {"3, 0, 0, 8, 8, 12, 2", "2d2e2f30........\n3d3e3f40........\n................\n................\n"
                                 "................\n................\n"},
        {"3, 0, 0, 4, 1, -2, 0", "....0102........\n................\n................\n................\n"
                                 "................\n................\n"},
        {"3, -3, 5, 8, 8, 0, 0", "................\n................\n................\n................\n"
                                 "................\n0405060708......\n"},
    };
    for (auto& c : cases) {
        target(8, 6);
        EXPECT_EQ(call(c.args), "") << c.args;
        EXPECT_EQ(rows(), c.want) << c.args;
    }
    // With the opacity mask only bytes sharing a bit with it are written.
    set_current_process(source);
    poke(ADDR_BLIT_OPACITY_MASK, 0x10);
    target(8, 6);
    call("3");
    EXPECT_EQ(rows(), "................\n1112131415161718\n................\n3132333435363738\n"
                      "................\n................\n");
}

TEST_F(BlitProcessVideo, UnmappedBytesRefusalsAndCharges) {
    // Rows of a 480-wide screen on a page never touched read as colour 8.
    set_current_process(source);
    poke2(ADDR_DISPLAY_WIDTH, VIDEO_WIDTH);
    poke2(ADDR_DISPLAY_HEIGHT, VIDEO_HEIGHT);
    target(8, 6);
    call("3, 0, 0, 2, 1, 0, 200");
    EXPECT_EQ(rows().substr(0, 17), "0808............\n");

    EXPECT_EQ(call("99"), "true");
    source->state = PSTATE_ERROR;
    EXPECT_EQ(call("3"), "true");
    source->state = PSTATE_RUNNING;
    set_current_process(source);
    poke(ADDR_PROCESS_FLAGS, PFLAG_HOLD_FRAME);
    EXPECT_EQ(call("3"), "true");
    set_current_process(source);
    poke(ADDR_PROCESS_FLAGS, 0);

    target(VIDEO_WIDTH, VIDEO_HEIGHT);
    EXPECT_EQ(cost("3"), 0);                    // a plain full-screen copy is free
    EXPECT_EQ(cost("3, 0, 0, 100, 100"), 10000 / 64);
    EXPECT_EQ(cost("3, 400, 0, 100, 100"), 8000 / 64);  // what was copied, after the clip
    set_current_process(source);
    poke(ADDR_BLIT_OPACITY_MASK, 0x3F);
    EXPECT_EQ(cost("3, 0, 0, 100, 100"), 10000 / 8);
    EXPECT_EQ(cost("3"), 129600 / 8);

    process_record* bare = create_process_from_code("", "bare", "/bare.lua", "");
    set_current_process(bare);
    EXPECT_EQ(run_script(bare->L, "_blit_process_video(3)"), "");
}

}  // namespace
