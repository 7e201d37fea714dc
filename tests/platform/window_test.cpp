// The host window: destination rectangles, pre-scale and the 720p blend, pacing, window
// creation under SDL's dummy driver, presentation read back from the renderer, title and icon.
#include <gtest/gtest.h>

#include <SDL.h>
#include <string>
#include <vector>

#include "gfx/draw_state.h"
#include "base/memmap.h"
#include "kernel/memory.h"
#include "platform/host_text.h"
#include "window_fixture.h"

using namespace window_test;

namespace {

struct rect_case {
    int W, H, w, h;
    bool pixel_perfect, stretch, wide;
    dest_rect want;
};

TEST(DestRect, EachSettingCombination) {
    const rect_case cases[] = {
        {1000, 600, 480, 270, true, false, false, {20, 30, 960, 540}},
        {400, 300, 480, 270, true, false, false, {-40, 15, 480, 270}},
        {1000, 600, 480, 270, true, true, false, {20, 30, 960, 540}},
        {1500, 600, 480, 270, true, true, false, {30, 30, 1440, 540}},
        {400, 600, 480, 270, true, true, false, {200, 30, 0, 540}},  // nothing fits across
        {1000, 1000, 480, 270, false, false, false, {0, 219, 1000, 562}},
        {1000, 400, 480, 270, false, false, false, {144, 0, 711, 400}},
        {1000, 600, 480, 270, false, true, false, {0, 0, 1000, 600}},
        {1000, 600, 480, 270, true, true, true, {-140, -60, 1280, 720}},
        {0, 0, 480, 270, false, false, false, {0, 0, 0, 0}},
        {1000, 600, 0, 270, true, false, false, {0, 0, 0, 0}},  // no display: no division
    };
    for (const rect_case& c : cases) {
        dest_rect r = fit_dest_rect(c.W, c.H, c.w, c.h, c.pixel_perfect, c.stretch, c.wide);
        SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " pp " << c.pixel_perfect << " st " << c.stretch
                                        << " wide " << c.wide);
        EXPECT_EQ(r.x, c.want.x);
        EXPECT_EQ(r.y, c.want.y);
        EXPECT_EQ(r.w, c.want.w);
        EXPECT_EQ(r.h, c.want.h);
    }
}

TEST(WindowScales, PixelScaleAndPreScale) {
    EXPECT_EQ(clamp_pixel_scale(0), 2);
    EXPECT_EQ(clamp_pixel_scale(20), 16);
    EXPECT_EQ(clamp_pixel_scale(-3), 1);
    EXPECT_EQ(clamp_pixel_scale(5), 5);
    EXPECT_EQ(choose_preblit_scale(1440, 810, false, false), 4);
    EXPECT_EQ(choose_preblit_scale(1440, 809, false, false), 3);
    EXPECT_EQ(choose_preblit_scale(960, 540, false, false), 3);
    EXPECT_EQ(choose_preblit_scale(959, 540, false, false), 2);
    EXPECT_EQ(choose_preblit_scale(1920, 1080, true, false), 1);
    EXPECT_EQ(choose_preblit_scale(1920, 1080, false, true), 1);
}

std::vector<uint32_t> frame_of(uint32_t (*pixel)(int x, int y)) {
    std::vector<uint32_t> f(FRAME_WIDTH * FRAME_HEIGHT);
    for (int y = 0; y < FRAME_HEIGHT; y++)
        for (int x = 0; x < FRAME_WIDTH; x++) f[y * FRAME_WIDTH + x] = pixel(x, y);
    return f;
}

TEST(Blend720p, WhiteFrameAndVerticalPattern) {
    std::vector<uint32_t> out(1280 * 720);
    auto white = frame_of([](int, int) { return 0x00FFFFFFu; });
    blend_720p(white.data(), FRAME_WIDTH, out.data());
    for (int x = 0; x < 1280; x++) {
        uint32_t want = x % 8 == 2 ? 0x00FDFDFD : x % 8 == 5 ? 0x00FEFEFE : 0x00FFFFFF;
        ASSERT_EQ(out[x], want) << x;
        ASSERT_EQ(out[719 * 1280 + x], want) << x;
    }
    // Rows alternate white, black, white...: each block of eight reads A A A B B B C C with
    // rows 2 and 5 blended like the columns.
    auto rows = frame_of([](int, int y) { return y % 2 ? 0u : 0x00FFFFFFu; });
    blend_720p(rows.data(), FRAME_WIDTH, out.data());
    const uint32_t want_rows[8] = {0xFFFFFF, 0xFFFFFF, 0xBEBEBE, 0, 0, 0x7F7F7F, 0xFFFFFF, 0xFFFFFF};
    for (int y = 0; y < 8; y++) EXPECT_EQ(out[y * 1280], want_rows[y]) << y;
}

TEST(PreScale, EachPixelBecomesABlock) {
    const uint32_t frame[2 * 3] = {1, 2, 3, 4, 5, 6};  // two rows of three, pitch 3
    std::vector<uint32_t> out(6 * 9);
    prescale_frame(frame, 3, 3, 2, 3, out.data());
    for (int y = 0; y < 6; y++)
        for (int x = 0; x < 9; x++) ASSERT_EQ(out[y * 9 + x], frame[(y / 3) * 3 + x / 3]) << x << "," << y;
}

// A clock for pace_frame that advances by step with every delay.
uint32_t fake_now = 0, fake_step = 0;
int delays = 0;
uint32_t fake_ticks() { return fake_now; }
void fake_delay(uint32_t ms) {
    delays++;
    fake_now += fake_step * ms;
}

TEST(Pacing, WaitsOutTheFrameInMillisecondSteps) {
    struct pace_case {
        uint32_t last, now, step, frame_ms;
        int want_delays;
        uint32_t want_tick;
    } cases[] = {
        {1000, 1000, 1, 16, 16, 1016},
        {1000, 1005, 1, 32, 27, 1032},
        {1000, 1040, 1, 16, 0, 1040},    // the frame took longer
        {1000, 1000, 0, 16, 100, 1000},  // a clock that stands still
        {0xFFFFFFF8u, 0xFFFFFFF8u, 1, 16, 16, 8},
    };
    for (const pace_case& c : cases) {
        fake_now = c.now;
        fake_step = c.step;
        delays = 0;
        EXPECT_EQ(pace_frame(c.last, c.frame_ms, fake_ticks, fake_delay), c.want_tick);
        EXPECT_EQ(delays, c.want_delays);
    }
}

TEST(Pacing, BatterySaverNeedsTheSettingTheBootAndHalfASecondIdle) {
    app_config saved = config;
    memset(&app, 0, sizeof(app));
    config.battery_saver = 1;
    app.boot_finished = 1;
    app.last_input_ms = 1000;
    EXPECT_EQ(choose_frame_length(1501), 32u);
    EXPECT_EQ(app.battery_saver_active, 1u);
    EXPECT_EQ(choose_frame_length(1500), 16u);
    EXPECT_EQ(app.battery_saver_active, 0u);
    app.boot_finished = 0;
    EXPECT_EQ(choose_frame_length(5000), 16u);
    app.boot_finished = 1;
    config.battery_saver = 0;
    EXPECT_EQ(choose_frame_length(5000), 16u);
    // The frame after which the loop quits is not waited out; one that waits for an exclusive
    // process is.
    app.quit_requested = 1;
    EXPECT_EQ(choose_frame_length(5000), 0u);
    app.reboot_requested = 1;
    EXPECT_EQ(choose_frame_length(5000), 16u);
    app.reboot_requested = 0;
    app.exclusive_process = 7;
    EXPECT_EQ(choose_frame_length(5000), 16u);
    config = saved;
    memset(&app, 0, sizeof(app));
}

using Window = WindowTest;

TEST_F(Window, CreationLogsSizeFlagsAndScale) {
    struct creation_case {
        int32_t pixel_scale, stored, w, h;
    } cases[] = {{0, 2, 960, 540}, {20, 16, 7680, 4320}, {-3, 1, 480, 270}};
    for (const creation_case& c : cases) {
        config.pixel_scale = c.pixel_scale;
        os_apply_video_config();
        ASSERT_NE(sdl_state.renderer, nullptr);
        EXPECT_EQ(app.window_created, 1u);
        EXPECT_EQ(config.pixel_scale, c.stored);
        int w = 0, h = 0;
        SDL_GetWindowSize(sdl_state.window, &w, &h);
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
        uint32_t flags = SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE;
        std::string line = "creating SDL window " + std::to_string(c.w) + " " + std::to_string(c.h) + " flags " +
                           std::to_string(flags) + "\n";
        EXPECT_NE(debug_log().find(line), std::string::npos) << line;
        close_window();
        last_win_w = last_win_h = 0;  // a fresh window each time, not the saved geometry
    }
    EXPECT_NE(debug_log().find("renderer_scale: 1.000000,1.000000\n"), std::string::npos);
}

TEST_F(Window, FullscreenTakesTheDesktopAndLeavingItRestoresTheWindowedSize) {
    os_apply_video_config();
    resize(1000, 600);
    config.fullscreen = 1;
    os_apply_video_config();
    SDL_DisplayMode desktop;
    ASSERT_EQ(SDL_GetDesktopDisplayMode(0, &desktop), 0);
    EXPECT_EQ(sdl_state.window_width, desktop.w);
    EXPECT_EQ(sdl_state.window_height, desktop.h);
    EXPECT_TRUE(SDL_GetWindowFlags(sdl_state.window) & SDL_WINDOW_FULLSCREEN_DESKTOP);
    config.fullscreen = 0;
    os_apply_video_config();
    int w = 0, h = 0;
    SDL_GetWindowSize(sdl_state.window, &w, &h);
    EXPECT_EQ(w, 1000);
    EXPECT_EQ(h, 600);
}

TEST_F(Window, NothingBeforeTheShownProcessOrWhenHeadless) {
    config.headless = 1;
    os_apply_video_config();
    EXPECT_EQ(sdl_state.window, nullptr);
    config.headless = 0;
    config.video_process_id = 4;
    os_apply_video_config();
    EXPECT_EQ(sdl_state.window, nullptr);
    EXPECT_EQ(app.window_created, 0u);
}

TEST_F(Window, DisplaySizeOfProcessFourIsHeldToTheFrame) {
    config.video_process_id = 4;
    process_record* cart = create_process_from_code("", "cart", "cart", "");
    auto set_size = [&](int w, int h) {
        poke_proc(cart, ADDR_DISPLAY_WIDTH, w & 255);
        poke_proc(cart, ADDR_DISPLAY_WIDTH + 1, w >> 8);
        poke_proc(cart, ADDR_DISPLAY_HEIGHT, h & 255);
        poke_proc(cart, ADDR_DISPLAY_HEIGHT + 1, h >> 8);
    };
    set_size(0, 0);
    os_apply_video_config();
    EXPECT_EQ(app.window_created, 0u);

    set_size(60000, 100);
    os_apply_video_config();
    ASSERT_NE(sdl_state.renderer, nullptr);
    EXPECT_EQ(display_width, 480);
    EXPECT_EQ(display_height, 100);

    set_size(0, 50);  // an axis given as 0 keeps its size
    os_apply_video_config();
    EXPECT_EQ(display_width, 480);
    EXPECT_EQ(display_height, 50);
    int tw = 0, th = 0;
    SDL_QueryTexture(sdl_state.texture, nullptr, nullptr, &tw, &th);
    EXPECT_EQ(tw, 480);
    EXPECT_EQ(th, 50);
    // Presenting reads only the frame, and mapping the pointer divides by nothing empty.
    std::vector<uint32_t> frame(FRAME_WIDTH * FRAME_HEIGHT, 0x123456);
    blit_to_sdl_window_hardware(frame.data(), FRAME_WIDTH);
    int32_t mx, my;
    dest_rect r;
    get_dest_rect(&r);
    map_pointer(r.x + r.w - 1, r.y + r.h - 1, r, false, &mx, &my);
    EXPECT_EQ(mx, 479);
    EXPECT_EQ(my, 49);
}

// The window's pixels as the renderer holds them.
std::vector<uint32_t> read_back(int w, int h) {
    std::vector<uint32_t> px(w * h);
    EXPECT_EQ(SDL_RenderReadPixels(sdl_state.renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, px.data(), w * 4), 0)
        << SDL_GetError();
    for (uint32_t& p : px) p &= 0xFFFFFF;
    return px;
}

uint32_t pattern(int x, int y) { return (uint32_t)(x * 531 + y * 7919) & 0xFFFFFF; }

TEST_F(Window, PresentedFramesShowScaledAndBlended) {
    auto frame = frame_of(pattern);
    // Pixel-perfect, 1000 x 600: twice the frame at (20, 30), black around it.
    os_apply_video_config();
    resize(1000, 600);
    blit_to_sdl_window_hardware(frame.data(), FRAME_WIDTH);
    auto px = read_back(1000, 600);
    for (int y = 0; y < 600; y++) {
        for (int x = 0; x < 1000; x++) {
            bool inside = x >= 20 && x < 980 && y >= 30 && y < 570;
            uint32_t want = inside ? pattern((x - 20) / 2, (y - 30) / 2) : 0;
            ASSERT_EQ(px[y * 1000 + x], want) << x << "," << y;
        }
    }
    // The 720p blend in a window of exactly that size.
    close_window();
    config.blit_720p = 1;
    config.pixel_perfect = 0;
    last_win_w = 1280;
    last_win_h = 720;
    os_apply_video_config();
    blit_to_sdl_window_hardware(frame.data(), FRAME_WIDTH);
    std::vector<uint32_t> want(1280 * 720);
    blend_720p(frame.data(), FRAME_WIDTH, want.data());
    EXPECT_EQ(read_back(1280, 720), want);
}

TEST_F(Window, EmptyDestinationPresentsNothing) {
    config.stretch = 1;
    os_apply_video_config();
    resize(400, 200);
    std::vector<uint32_t> frame(FRAME_WIDTH * FRAME_HEIGHT, 0xFFFFFF);
    blit_to_sdl_window_hardware(frame.data(), FRAME_WIDTH);
    EXPECT_STREQ(last_debug_msg, "** failed: blit_to_sdl_window_hardware can not find blit dest_rect\n");
}

TEST_F(Window, WindowFailureExitsWithFailureAndTheHostsReason) {
    // A saved window geometry that the host refuses.
    last_win_w = 20000;
    last_win_h = 20000;
    EXPECT_EXIT(os_apply_video_config(), testing::ExitedWithCode(1), "");
    std::string log = debug_log();
    size_t at = log.find("could not create renderer (no window): ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(log.find('\n', at), at + strlen("could not create renderer (no window): "));  // the host's reason
}

TEST_F(Window, TitleIsConvertedAndBoundedAndSurvivesRecreation) {
    std::string title(1023, 'a');
    os_set_window_title(title.c_str());
    EXPECT_EQ(std::string(os_window_title()), title);
    os_set_window_title(std::string(1024, 'b').c_str());
    EXPECT_EQ(std::string(os_window_title()), title);

    const char system_text[] = "w\x9a\x10!";  // t6scii glyphs become UTF-8 for the host
    os_set_window_title(system_text);
    pbuffer* utf8 = encode_host_text(system_text);
    std::string want((const char*)utf8->data, utf8->length);
    destroy_buffer(utf8);
    EXPECT_GT(want.size(), 4u);
    os_apply_video_config();
    EXPECT_EQ(std::string(SDL_GetWindowTitle(sdl_state.window)), want);
    os_set_window_title("Orvalune");
    EXPECT_STREQ(SDL_GetWindowTitle(sdl_state.window), "Orvalune");
}

TEST_F(Window, IconCellsUsePaletteWithOnlyZeroTransparent) {
    uint8_t cells[256] = {};
    cells[0] = 64;
    cells[1] = 7;
    cells[255] = 0;
    os_set_window_icon(cells, 16, 16, system_palette);
    const uint32_t* px = os_window_icon_pixels();
    EXPECT_EQ(px[0], system_palette[0] | 0xFF000000u);
    EXPECT_EQ(px[7 * 128 + 7], system_palette[0] | 0xFF000000u);
    EXPECT_EQ(px[8], system_palette[7] | 0xFF000000u);
    EXPECT_EQ(px[127 * 128 + 127], 0u);
    os_apply_video_config();  // the window takes the custom icon on creation
    os_set_window_icon(nullptr, 0, 0, system_palette);
}

}  // namespace
