// The host window: start of the host layer, window, renderer and texture from the display
// settings, title and icon, the destination rectangle, presentation and frame pacing.
#include "platform/window.h"
#include "platform/sdl_library.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/machine.h"
#include "base/memmap.h"
#include "platform/audio_device.h"
#include "platform/controllers.h"
#include "platform/host.h"
#include "platform/host_text.h"

sdl_state_block sdl_state;
int32_t display_width = FRAME_WIDTH;
int32_t display_height = FRAME_HEIGHT;
float renderer_scale[2] = {1.0f, 1.0f};
int32_t preblit_scale = 2;
int32_t last_win_x = SDL_WINDOWPOS_UNDEFINED;
int32_t last_win_y = SDL_WINDOWPOS_UNDEFINED;
int32_t last_win_w = 0;
int32_t last_win_h = 0;
int32_t last_fullscreen = 0;
uint32_t last_t = 0;

window_sources window_source;

namespace {

constexpr int32_t BIG_SRC_WIDTH = 1920;
constexpr int32_t BIG_SRC_HEIGHT = 1080;
constexpr int32_t WIDE_WIDTH = 1280;
constexpr int32_t WIDE_HEIGHT = 720;
constexpr int32_t ICON_SIZE = 128;

// Pre-scale buffer: 480 x 270 at factor 4, or 1280 x 720.
uint32_t big_src[BIG_SRC_WIDTH * BIG_SRC_HEIGHT];

// Room for the UTF-8 form of any title under 1024 t6scii bytes (at most 7 bytes each).
char sdl_window_title[WINDOW_TITLE_MAX * 8] = "Orvalune";
uint32_t window_icon_dat[ICON_SIZE * ICON_SIZE];
int32_t use_custom_window_icon = 0;

__attribute__((format(printf, 1, 2))) void log_line(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    velt_debug(line);
}

bool smooth_scaling() { return !(config.pixel_perfect || config.blit_720p); }

void set_scale_quality() {
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, smooth_scaling() ? "linear" : "nearest");
}

void apply_window_icon() {
    if (!sdl_state.window) return;
    SDL_Surface* s = SDL_CreateRGBSurfaceFrom(window_icon_dat, ICON_SIZE, ICON_SIZE, 32, ICON_SIZE * 4,
                                              0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000);
    if (!s) return;
    SDL_SetWindowIcon(sdl_state.window, s);
    SDL_FreeSurface(s);
}

// The display size from the shown process when it is 4 or more; false when it gives none.
bool read_display_size() {
    if (config.video_process_id < 4) return true;
    int32_t w = 0, h = 0;
    if (window_source.display_size) window_source.display_size(config.video_process_id, &w, &h);
    if (w == 0 && h == 0) return false;
    printf("vproc %d: %d %d\n", config.video_process_id, w, h);
    // The frame is 480 x 270: a larger display could not be filled, and an axis given as 0
    // keeps the size it had.
    if (w > 0) display_width = std::min(w, FRAME_WIDTH);
    if (h > 0) display_height = std::min(h, FRAME_HEIGHT);
    return true;
}

void destroy_window() {
    if (sdl_state.texture) SDL_DestroyTexture(sdl_state.texture);
    if (sdl_state.renderer) SDL_DestroyRenderer(sdl_state.renderer);
    if (sdl_state.window) SDL_DestroyWindow(sdl_state.window);
    sdl_state.texture = nullptr;
    sdl_state.renderer = nullptr;
    sdl_state.window = nullptr;
}

[[noreturn]] void renderer_failed(const char* what) {
    puts("could not create renderer");
    log_line("could not create renderer (%s): %s\n", what, SDL_GetError());
    if (window_source.fatal_exit) window_source.fatal_exit(1);
    exit(1);
}

inline uint32_t half(uint32_t p) { return (p >> 1) & 0x7F7F7F7F; }
inline uint32_t quarter(uint32_t p) { return (p >> 2) & 0x3F3F3F3F; }

void upload(const uint32_t* pixels, int32_t width, int32_t height, int32_t pitch_bytes) {
    int tw = 0, th = 0;
    if (SDL_QueryTexture(sdl_state.texture, nullptr, nullptr, &tw, &th) != 0) return;
    // Only as much as both the texture and the prepared pixels hold.
    SDL_Rect r = {0, 0, std::min(tw, width), std::min(th, height)};
    if (r.w < 1 || r.h < 1) return;
    SDL_UpdateTexture(sdl_state.texture, &r, pixels, pitch_bytes);
}

}  // namespace

// --- Host start ---------------------------------------------------------------------------------

namespace {

int32_t media_state = 0;  // 0 not started, 1 running, -1 the library could not be loaded

// A headless run that names SDL's "dummy" audio driver has no sound device to play to.
bool plays_into_nothing() {
    const char* driver = getenv("SDL_AUDIODRIVER");
    return config.headless && driver && strcasecmp(driver, "dummy") == 0;
}

}  // namespace

bool host_media_started() { return media_state > 0; }

bool host_media_start() {
    if (media_state != 0) return media_state > 0;
    media_state = -1;
    if (!sdl_library_load()) return false;
    media_state = 1;
    if (plays_into_nothing()) {
        // Only what a key's name and the clipboard need: controllers stay unread, and the call
        // that brought the library in does not wait for a scan of the host's input devices.
        SDL_Init(SDL_INIT_VIDEO);
        return true;
    }
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO | SDL_INIT_JOYSTICK | SDL_INIT_HAPTIC | SDL_INIT_GAMECONTROLLER |
             SDL_INIT_EVENTS | SDL_INIT_SENSOR);
    if (SDL_Init(SDL_INIT_AUDIO) == 0) {
        sdl_state.audio_ok = 1;
    } else {
        velt_debug("** audio init failed");
        log_line(" %s\n", SDL_GetError());
    }
    velt_joystick_init();
    if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
    return true;
}

void os_system_init() {
    // A headless run needs no display at all.
    if (config.headless) setenv("SDL_VIDEODRIVER", "dummy", 0);
    snprintf(sdl_window_title, sizeof(sdl_window_title), "%s", "Orvalune");
    memset(sdl_state.key_state, 0, sizeof(sdl_state.key_state));
    bool silent = plays_into_nothing();
    if (!silent && !host_media_start()) {
        // Without the library there is no window to make.
        if (!config.headless) {
            log_line("** could not start the window: %s\n", sdl_library_error());
            if (window_source.fatal_exit) window_source.fatal_exit(1);
            exit(1);
        }
        // Headless, the sound is mixed into the silent output instead.
        velt_debug("** audio init failed");
        log_line(" %s\n", sdl_library_error());
        silent = true;
    }
    if (silent) {
        audio_use_silent_output(true);
        sdl_state.audio_ok = 1;
    }
    audio_open_output_device();
}

// --- Window creation ----------------------------------------------------------------------------

int32_t clamp_pixel_scale(int32_t scale) {
    if (scale == 0) return 2;
    return std::clamp(scale, 1, 16);
}

int32_t choose_preblit_scale(int32_t W, int32_t H, bool pixel_perfect, bool blit_720p) {
    if (pixel_perfect || blit_720p) return 1;
    if (W >= 1440 && H >= 810) return 4;
    if (W >= 960 && H >= 540) return 3;
    return 2;
}

void os_apply_video_config() {
    if (config.headless || config.video_process_id == 0) return;
    if (!window_source.process_live || !window_source.process_live(config.video_process_id)) return;
    if (!read_display_size()) return;
    app.window_created = 1;
    if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");

    if (sdl_state.window && !last_fullscreen) {
        SDL_GetWindowPosition(sdl_state.window, &last_win_x, &last_win_y);
        SDL_GetWindowSize(sdl_state.window, &last_win_w, &last_win_h);
    }
    int monitor = sdl_state.window ? SDL_GetWindowDisplayIndex(sdl_state.window) : 0;
    int displays = SDL_GetNumVideoDisplays();
    if (config.display_index >= 0) {
        if (config.display_index < displays) monitor = config.display_index;
        config.display_index = -1;
    }
    SDL_DisplayMode desktop = {};
    SDL_GetDesktopDisplayMode(monitor, &desktop);
    destroy_window();

    config.pixel_scale = clamp_pixel_scale(config.pixel_scale);
    int32_t w = display_width * config.pixel_scale;
    int32_t h = display_height * config.pixel_scale;
    int32_t x = last_win_x, y = last_win_y;
    SDL_Rect bounds;
    if (monitor >= 0 && monitor < displays && SDL_GetDisplayBounds(monitor, &bounds) == 0) {
        if (config.fullscreen) {
            x = bounds.x;
            y = bounds.y;
        } else {
            x = bounds.x + (bounds.w - w) / 2;
            y = bounds.y + (bounds.h - h) / 2;
        }
    }
    uint32_t flags = SDL_WINDOW_SHOWN;
    if (config.allow_highdpi) flags |= SDL_WINDOW_ALLOW_HIGHDPI;
    if (config.fullscreen) {
        flags |= config.fullscreen_window ? SDL_WINDOW_BORDERLESS : SDL_WINDOW_FULLSCREEN_DESKTOP;
        if (desktop.w > 0 && desktop.h > 0) {
            w = desktop.w;
            h = desktop.h;
        }
    } else {
        flags |= SDL_WINDOW_RESIZABLE;
        if (last_win_w >= 1) w = last_win_w;
        if (last_win_h > 0) h = last_win_h;
    }
    last_fullscreen = (int32_t)config.fullscreen;
    log_line("creating SDL window %d %d flags %d\n", w, h, (int)flags);
    sdl_state.window_width = w;
    sdl_state.window_height = h;

    sdl_state.window = SDL_CreateWindow(sdl_window_title, x, y, w, h, flags);
    if (!sdl_state.window) renderer_failed("no window");
    sdl_state.renderer = SDL_CreateRenderer(sdl_state.window, -1, SDL_RENDERER_PRESENTVSYNC);
    if (!sdl_state.renderer) renderer_failed("no renderer");
    set_scale_quality();

    renderer_scale[0] = renderer_scale[1] = 1.0f;
    int ow = 0, oh = 0;
    SDL_GetRendererOutputSize(sdl_state.renderer, &ow, &oh);
    if (ow != sdl_state.window_width && sdl_state.window_width > 0 && sdl_state.window_height > 0) {
        renderer_scale[0] = (float)ow / (float)sdl_state.window_width;
        renderer_scale[1] = (float)oh / (float)sdl_state.window_height;
    }
    log_line("renderer_scale: %f,%f\n", renderer_scale[0], renderer_scale[1]);
    SDL_RenderSetScale(sdl_state.renderer, renderer_scale[0], renderer_scale[1]);

    SDL_SetRenderDrawColor(sdl_state.renderer, 0, 0, 0, 255);
    SDL_RenderClear(sdl_state.renderer);
    SDL_RenderPresent(sdl_state.renderer);

    preblit_scale = choose_preblit_scale(w, h, config.pixel_perfect, config.blit_720p);
    int32_t tw = config.blit_720p ? WIDE_WIDTH : display_width * preblit_scale;
    int32_t th = config.blit_720p ? WIDE_HEIGHT : display_height * preblit_scale;
    sdl_state.texture = SDL_CreateTexture(sdl_state.renderer, SDL_PIXELFORMAT_ARGB8888,
                                          SDL_TEXTUREACCESS_STREAMING, tw, th);
    if (!sdl_state.texture) log_line("** could not create a %d x %d texture: %s\n", tw, th, SDL_GetError());
    if (use_custom_window_icon) apply_window_icon();
}

// --- Destination rectangle ----------------------------------------------------------------------

dest_rect fit_dest_rect(int32_t W, int32_t H, int32_t w, int32_t h, bool pixel_perfect, bool stretch,
                        bool blit_720p) {
    dest_rect r = {0, 0, 0, 0};
    W = std::max(W, 0);
    H = std::max(H, 0);
    if (blit_720p) {
        r.w = WIDE_WIDTH;
        r.h = WIDE_HEIGHT;
    } else if (w < 1 || h < 1) {
        return r;
    } else if (pixel_perfect && stretch) {
        r.w = w * (W / w);
        r.h = h * (H / h);
    } else if (pixel_perfect) {
        int32_t s = std::max(std::min(W / w, H / h), 1);
        r.w = w * s;
        r.h = h * s;
    } else if (stretch) {
        r.w = W;
        r.h = H;
    } else if ((double)w / h > (double)W / H) {
        r.w = W;
        r.h = (int32_t)((float)h * (float)W / (float)w);
    } else {
        r.w = (int32_t)((float)w * (float)H / (float)h);
        r.h = H;
    }
    r.x = (W - r.w) / 2;
    r.y = (H - r.h) / 2;
    return r;
}

void get_dest_rect(dest_rect* r) {
    if (sdl_state.window) SDL_GetWindowSize(sdl_state.window, &sdl_state.window_width, &sdl_state.window_height);
    *r = fit_dest_rect(sdl_state.window_width, sdl_state.window_height, display_width, display_height,
                       config.pixel_perfect, config.stretch, config.blit_720p);
}

// --- Presentation -------------------------------------------------------------------------------

void prescale_frame(const uint32_t* frame, int32_t pitch, int32_t width, int32_t rows, int32_t scale,
                    uint32_t* out) {
    int32_t out_width = width * scale;
    for (int32_t y = 0; y < rows; y++) {
        const uint32_t* src = frame + (size_t)y * pitch;
        uint32_t* dst = out + (size_t)y * scale * out_width;
        uint32_t* d = dst;
        for (int32_t x = 0; x < width; x++) {
            uint32_t p = src[x];
            for (int32_t k = 0; k < scale; k++) *d++ = p;
        }
        for (int32_t k = 1; k < scale; k++) memcpy(dst + (size_t)k * out_width, dst, (size_t)out_width * 4);
    }
}

void blend_720p(const uint32_t* frame, int32_t pitch, uint32_t* out) {
    for (int32_t y = 0; y < WIDE_HEIGHT; y++) {
        const uint32_t* src = frame + (size_t)((y * 3) >> 3) * pitch;
        uint32_t* dst = out + (size_t)y * WIDE_WIDTH;
        for (int32_t g = 0; g < FRAME_WIDTH / 3; g++) {
            uint32_t a = src[0], b = src[1], c = src[2];
            dst[0] = a;
            dst[1] = a;
            dst[2] = half(a) + quarter(a) + quarter(b);
            dst[3] = b;
            dst[4] = b;
            dst[5] = half(b) + half(c);
            dst[6] = c;
            dst[7] = c;
            src += 3;
            dst += 8;
        }
        uint32_t* prev = out + (size_t)(y - 1) * WIDE_WIDTH;
        const uint32_t* cur = out + (size_t)y * WIDE_WIDTH;
        if (y % 8 == 3) {
            for (int32_t i = 0; i < WIDE_WIDTH; i++) prev[i] = half(prev[i]) + quarter(prev[i]) + quarter(cur[i]);
        } else if (y % 8 == 6) {
            for (int32_t i = 0; i < WIDE_WIDTH; i++) prev[i] = half(prev[i]) + half(cur[i]);
        }
    }
}

void blit_to_sdl_window_hardware(const uint32_t* frame, int32_t width) {
    if (!sdl_state.renderer || !frame || width < FRAME_WIDTH) return;
    set_scale_quality();
    if (sdl_state.texture) {
        if (config.blit_720p) {
            blend_720p(frame, width, big_src);
            upload(big_src, WIDE_WIDTH, WIDE_HEIGHT, WIDE_WIDTH * 4);
        } else if (preblit_scale >= 2 && preblit_scale <= 4) {
            int32_t s = preblit_scale;
            prescale_frame(frame, width, FRAME_WIDTH, FRAME_HEIGHT, s, big_src);
            upload(big_src, FRAME_WIDTH * s, FRAME_HEIGHT * s, FRAME_WIDTH * 4 * s);
        } else {
            upload(frame, FRAME_WIDTH, FRAME_HEIGHT, width * 4);
        }
    }
    SDL_SetRenderDrawColor(sdl_state.renderer, 0, 0, 0, 255);
    SDL_SetRenderDrawBlendMode(sdl_state.renderer, SDL_BLENDMODE_NONE);
    SDL_RenderClear(sdl_state.renderer);
    SDL_Rect all = {0, 0, sdl_state.window_width, sdl_state.window_height};
    SDL_RenderFillRect(sdl_state.renderer, &all);
    dest_rect r;
    get_dest_rect(&r);
    if (r.w == 0 || r.h == 0) {
        velt_debug("** failed: blit_to_sdl_window_hardware can not find blit dest_rect\n");
        return;
    }
    SDL_Rect d = {r.x, r.y, r.w, r.h};
    SDL_RenderCopy(sdl_state.renderer, sdl_state.texture, nullptr, &d);
    SDL_RenderPresent(sdl_state.renderer);
}

void blit_to_sdl_window(const uint32_t* frame, int32_t width) { blit_to_sdl_window_hardware(frame, width); }

// --- Frame end and pacing -----------------------------------------------------------------------

uint32_t get_ticks() { return (uint32_t)os_get_time(); }

uint32_t choose_frame_length(uint64_t now_ms) {
    app.battery_saver_active = config.battery_saver && app.boot_finished && app.last_input_ms + 500 < now_ms;
    // The loop ends at the start of the next iteration (a reboot, which comes first there,
    // would clear the request): nothing follows that a wait would pace.
    if (app.quit_requested && !app.reboot_requested && app.exclusive_process == 0) return 0;
    return app.battery_saver_active ? 32 : 16;
}

uint32_t pace_frame(uint32_t last, uint32_t frame_ms, uint32_t (*ticks)(), void (*delay)(uint32_t)) {
    for (int i = 0; i < 100 && (uint32_t)(ticks() - last) < frame_ms; i++) delay(1);
    return ticks();
}

uint32_t end_frame() {
    if (config.headless) {
        // Nothing is shown, but the boot sequence still runs its course.
        if (window_source.headless_frame) window_source.headless_frame();
    } else {
        int w = 0, h = 0;
        const uint32_t* frame = window_source.video_out ? window_source.video_out(&w, &h) : nullptr;
        if (frame && sdl_state.window) blit_to_sdl_window_hardware(frame, w);
    }
    uint32_t frame_ms = choose_frame_length(os_get_time());
    last_t = pace_frame(last_t, frame_ms, get_ticks, os_sleep);
    return last_t;
}

// --- Title and icon -----------------------------------------------------------------------------

void os_set_window_title(const char* text) {
    if (!text || strnlen(text, WINDOW_TITLE_MAX) >= (size_t)WINDOW_TITLE_MAX) return;
    pbuffer* utf8 = encode_host_text(text);
    if (!utf8) return;
    size_t n = std::min((size_t)utf8->length, sizeof(sdl_window_title) - 1);
    memcpy(sdl_window_title, utf8->data, n);
    sdl_window_title[n] = 0;
    destroy_buffer(utf8);
    if (sdl_state.window) SDL_SetWindowTitle(sdl_state.window, sdl_window_title);
}

const char* os_window_title() { return sdl_window_title; }

void os_set_window_icon(const uint8_t* cells, int, int, const uint32_t* palette) {
    if (!cells || !palette) {
        use_custom_window_icon = 0;
        return;
    }
    use_custom_window_icon = 1;
    for (int y = 0; y < ICON_SIZE; y++) {
        for (int x = 0; x < ICON_SIZE; x++) {
            uint8_t c = cells[(y >> 3) * 16 + (x >> 3)];
            window_icon_dat[y * ICON_SIZE + x] = c ? (palette[c & 63] | 0xFF000000u) : 0;
        }
    }
    apply_window_icon();
}

const uint32_t* os_window_icon_pixels() { return window_icon_dat; }
