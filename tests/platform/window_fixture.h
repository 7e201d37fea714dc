// Shared set-up of the window and input tests: the host layer started once under SDL's
// dummy drivers, processes 1 to 3 (the window manager) and a window made from settings.
#pragma once
#include <gtest/gtest.h>

#include <SDL.h>
#include <cstring>
#include <string>
#include <unistd.h>

#include "base/machine.h"
#include "kernel/process.h"
#include "platform/host.h"
#include "platform/window.h"

namespace window_test {

inline void host_up() {
    static bool started = false;
    if (started) return;
    started = true;
    os_system_init();
}

// The whole debug log as written so far.
inline std::string debug_log() {
    if (!velt_debug_file) return "";
    fflush(velt_debug_file);
    char link[64], path[4096];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fileno(velt_debug_file));
    ssize_t n = readlink(link, path, sizeof(path) - 1);
    if (n <= 0) return "";
    path[n] = 0;
    std::string out;
    if (FILE* f = fopen(path, "rb")) {
        char chunk[4096];
        for (size_t k; (k = fread(chunk, 1, sizeof(chunk), f)) > 0;) out.append(chunk, k);
        fclose(f);
    }
    return out;
}

struct WindowTest : testing::Test {
    app_config saved_config;
    process_record* wm = nullptr;

    void SetUp() override {
        host_up();
        saved_config = config;
        processes_init();
        memset(&app, 0, sizeof(app));
        config.headless = 0;
        config.fullscreen = 0;
        config.pixel_perfect = 1;
        config.stretch = 0;
        config.blit_720p = 0;
        config.pixel_scale = 0;
        config.fullscreen_window = 0;
        config.video_process_id = 3;
        config.display_index = -1;
        display_width = FRAME_WIDTH;
        display_height = FRAME_HEIGHT;
        last_win_w = last_win_h = 0;
        last_win_x = last_win_y = SDL_WINDOWPOS_UNDEFINED;
        last_fullscreen = 0;
        for (const char* name : {"one", "two", "wm"}) wm = create_process_from_code("", name, name, "");
    }

    void TearDown() override {
        close_window();
        processes_init();
        memset(&app, 0, sizeof(app));
        config = saved_config;
        display_width = FRAME_WIDTH;
        display_height = FRAME_HEIGHT;
    }

    static void close_window() {
        if (sdl_state.texture) SDL_DestroyTexture(sdl_state.texture);
        if (sdl_state.renderer) SDL_DestroyRenderer(sdl_state.renderer);
        if (sdl_state.window) SDL_DestroyWindow(sdl_state.window);
        sdl_state.texture = nullptr;
        sdl_state.renderer = nullptr;
        sdl_state.window = nullptr;
        sdl_state.window_width = sdl_state.window_height = 0;
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
        }
    }

    // A window re-sized by the host to w x h.
    static void resize(int w, int h) {
        SDL_SetWindowSize(sdl_state.window, w, h);
        dest_rect r;
        get_dest_rect(&r);
    }

    std::string next_message() {
        pbuffer* b = read_process_message(wm, nullptr);
        return b ? std::string((const char*)b->data, b->length) : std::string("<none>");
    }
    std::string all_messages() {
        std::string out;
        for (pbuffer* b; (b = read_process_message(wm, nullptr));) out += std::string((const char*)b->data, b->length) + "\n";
        return out;
    }
};

}  // namespace window_test
