// Host input: the per-frame key state, host events turned into messages for the window
// manager (process 3), the pointer mapped into display pixels, and the mouse lock.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/sdl_library.h"
#include "base/machine.h"
#include "base/pbuffer.h"
#include "platform/audio_device.h"
#include "platform/controllers.h"
#include "platform/host.h"
#include "platform/window.h"

input_sinks input_sink;

int32_t last_mx = -1, last_my = -1, last_mb = -1;
int32_t mouse_lock_step_scale = 64, mouse_lock_pointer_scale = 64;
int32_t last_locked_host_mx = 0, last_locked_host_my = 0;

namespace {

int32_t last_key_state[KEY_STATE_COUNT];
// The buttons pressed since the last poll: a click shorter than a frame still reads as down for
// the frame it fell in, and as up in the next.
uint32_t buttons_pressed_since_poll = 0;

void send_to_wm(const char* text) {
    if (input_sink.send_to_wm) input_sink.send_to_wm(text);
}

// A float held to a range that any int32 holds, then truncated toward zero.
int32_t trunc_to_int(float v) {
    if (!(v == v)) return 0;
    return (int32_t)std::clamp(v, -2.0e9f, 2.0e9f);
}

void window_size(int32_t* w, int32_t* h) {
    *w = *h = 0;
    if (sdl_state.window) SDL_GetWindowSize(sdl_state.window, w, h);
}

void warp_host_pointer(int32_t x, int32_t y) {
    if (sdl_state.window) SDL_WarpMouseInWindow(sdl_state.window, x, y);
}

void warp_to_centre() {
    int32_t w, h;
    window_size(&w, &h);
    if (w < 2 || h < 2) return;
    warp_host_pointer(w / 2, h / 2);
    last_locked_host_mx = w / 2;
    last_locked_host_my = h / 2;
}

// Whole steps of 64 taken out of an accumulator toward zero; the rest stays in it.
int32_t take_steps(int32_t* accum) {
    int32_t steps = *accum / 64;
    *accum -= steps * 64;
    return steps;
}

void clamp_locked_pointer() {
    sdl_state.locked_mouse_x = std::clamp(sdl_state.locked_mouse_x, 0.0f, (float)(display_width - 1));
    sdl_state.locked_mouse_y = std::clamp(sdl_state.locked_mouse_y, 0.0f, (float)(display_height - 1));
}

// One host motion event while the mouse is locked.
void locked_motion(int32_t ex, int32_t ey) {
    int32_t w, h;
    window_size(&w, &h);
    if (w < 2 || h < 2) {
        last_locked_host_mx = ex;
        last_locked_host_my = ey;
        return;
    }
    int32_t ddx = ex - last_locked_host_mx;
    int32_t ddy = ey - last_locked_host_my;
    dest_rect r;
    get_dest_rect(&r);
    float sx = std::max((float)r.w / (float)display_width, 0.1f);
    float sy = std::max((float)r.h / (float)display_height, 0.1f);
    float dx = (float)ddx / sx;
    float dy = (float)ddy / sy;
    if (app.mouse_lock_reset) {
        app.mouse_lock_reset = 0;
        app.locked_accum_x = 0;
        app.locked_accum_y = 0;
    } else {
        app.locked_accum_x = trunc_to_int((float)app.locked_accum_x + dx * (float)mouse_lock_step_scale);
        app.locked_accum_y = trunc_to_int((float)app.locked_accum_y + dy * (float)mouse_lock_step_scale);
    }
    sdl_state.locked_mouse_x =
        (float)((double)sdl_state.locked_mouse_x + (double)(dx * (float)mouse_lock_pointer_scale) / 64.0);
    sdl_state.locked_mouse_y =
        (float)((double)sdl_state.locked_mouse_y + (double)(dy * (float)mouse_lock_pointer_scale) / 64.0);
    clamp_locked_pointer();
    // The warp's own motion event lands on the centre; warping again would never end.
    if (ex != w / 2 || ey != h / 2) warp_to_centre();
}

void window_event(const SDL_WindowEvent& w) {
    switch (w.event) {
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_MAXIMIZED:
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_FOCUS_GAINED:
        app.window_active = 1;
        app.focus_regained_ms = os_get_time();
        if (sdl_state.window) SDL_RaiseWindow(sdl_state.window);
        break;
    case SDL_WINDOWEVENT_HIDDEN:
    case SDL_WINDOWEVENT_MINIMIZED:
    case SDL_WINDOWEVENT_FOCUS_LOST:
        if (sdl_state.window && w.windowID == SDL_GetWindowID(sdl_state.window)) app.window_active = 0;
        break;
    case SDL_WINDOWEVENT_CLOSE:
        app.quit_requested = 1;
        break;
    default:
        break;
    }
}

// In fullscreen the host pointer is kept inside the destination rectangle.
void confine_pointer(const dest_rect& r) {
    if (!config.fullscreen || !sdl_state.window || r.w < 1 || r.h < 1 || !host_media_started()) return;
    int x = 0, y = 0;
    SDL_GetMouseState(&x, &y);
    int cx = std::clamp(x, r.x, r.x + r.w - 1);
    int cy = std::clamp(y, r.y, r.y + r.h - 1);
    if (cx != x || cy != y) warp_host_pointer(cx, cy);
}

}  // namespace

void handle_sdl_event(const SDL_Event* e) {
    char text[256];
    app.last_input_ms = os_get_time();
    switch (e->type) {
    case SDL_QUIT:
        app.quit_requested = 1;
        break;
    case SDL_WINDOWEVENT:
        window_event(e->window);
        break;
    case SDL_KEYDOWN: {
        int sc = (int)e->key.keysym.scancode;
        if (sc >= 0 && sc < KEY_STATE_COUNT) sdl_state.key_state[sc] = 1;
        break;
    }
    case SDL_TEXTINPUT: {
        char host_text[sizeof(e->text.text) + 1];
        memcpy(host_text, e->text.text, sizeof(e->text.text));
        host_text[sizeof(e->text.text)] = 0;
        snprintf(text, sizeof(text), "{event=\"textinput\",text=\"%s\"}", escape_lua_string(host_text));
        send_to_wm(text);
        break;
    }
    case SDL_MOUSEMOTION:
        if (app.mouse_locked) locked_motion(e->motion.x, e->motion.y);
        break;
    case SDL_MOUSEBUTTONDOWN:
        if (e->button.button >= 1 && e->button.button <= 32) buttons_pressed_since_poll |= SDL_BUTTON(e->button.button);
        break;
    case SDL_MOUSEWHEEL:
        snprintf(text, sizeof(text), "{event=\"mousewheel\",wheel_x=%d,wheel_y=%d}", (int)e->wheel.x,
                 (int)e->wheel.y);
        send_to_wm(text);
        break;
    case SDL_DROPFILE:
        // The host hands over a string of its own that the receiver frees.
        if (e->drop.file) {
            if (input_sink.dropped_file) input_sink.dropped_file(e->drop.file);
            SDL_free(e->drop.file);
        }
        if (sdl_state.window) SDL_RaiseWindow(sdl_state.window);
        break;
    case SDL_DROPTEXT:
        if (e->drop.file) SDL_free(e->drop.file);
        break;
    case SDL_CONTROLLERDEVICEADDED:
        joystick_device_added(e->cdevice.which, true);
        break;
    case SDL_CONTROLLERDEVICEREMOVED:
        joystick_device_removed(e->cdevice.which, true);
        break;
    case SDL_JOYDEVICEADDED:
        joystick_device_added(e->jdevice.which, false);
        break;
    case SDL_JOYDEVICEREMOVED:
        joystick_device_removed(e->jdevice.which, false);
        break;
    case SDL_AUDIODEVICEADDED:
        if (!e->adevice.iscapture) audio_device_added((int32_t)e->adevice.which);
        break;
    case SDL_AUDIODEVICEREMOVED:
        if (!e->adevice.iscapture) audio_device_removed(e->adevice.which);
        break;
    default:
        break;
    }
}

void map_pointer(int32_t x, int32_t y, const dest_rect& r, bool fullscreen, int32_t* mx, int32_t* my) {
    if (r.w < 1 || r.h < 1) {
        *mx = x;
        *my = y;
        return;
    }
    *mx = (int32_t)((int64_t)(x - r.x) * display_width / r.w);
    *my = (int32_t)((int64_t)(y - r.y) * display_height / r.h);
    if (fullscreen) {
        *mx = std::clamp(*mx, 0, display_width - 1);
        *my = std::clamp(*my, 0, display_height - 1);
    }
}

void send_mouse_state(int32_t host_x, int32_t host_y, uint32_t host_buttons) {
    char text[256];
    if (host_buttons) app.last_input_ms = os_get_time();
    int32_t mb = ((host_buttons & SDL_BUTTON_LMASK) ? 1 : 0) | ((host_buttons & SDL_BUTTON_RMASK) ? 2 : 0) |
                 ((host_buttons & SDL_BUTTON_MMASK) ? 4 : 0);
    dest_rect r;
    get_dest_rect(&r);
    int32_t mx, my;
    map_pointer(host_x, host_y, r, config.fullscreen, &mx, &my);
    if (app.mouse_locked) {
        mx = trunc_to_int(sdl_state.locked_mouse_x);
        my = trunc_to_int(sdl_state.locked_mouse_y);
    }
    if (mx != last_mx || my != last_my || mb != last_mb) {
        snprintf(text, sizeof(text), "{event=\"mouse\",mx=%d,my=%d,mb=%d}", mx, my, mb);
        send_to_wm(text);
        last_mx = mx;
        last_my = my;
        last_mb = mb;
    }
    if (app.mouse_locked) {
        int32_t dx = take_steps(&app.locked_accum_x);
        int32_t dy = take_steps(&app.locked_accum_y);
        if (dx || dy) {
            snprintf(text, sizeof(text), "{event=\"mouselockedmove\",locked_dx=%d,locked_dy=%d}", dx, dy);
            send_to_wm(text);
        }
    } else {
        app.locked_accum_x = 0;
        app.locked_accum_y = 0;
    }
}

void handle_sdl_messages() {
    char text[64];
    int n = 0;
    // Without the media library (a headless run that has no sound device) no key is down and
    // no host event comes.
    bool media = host_media_started();
    const Uint8* host_keys = media ? SDL_GetKeyboardState(&n) : nullptr;
    n = std::clamp(n, 0, KEY_STATE_COUNT);
    if (media) SDL_ShowCursor(0);
    memcpy(last_key_state, sdl_state.key_state, sizeof(last_key_state));
    for (int i = 0; i < KEY_STATE_COUNT; i++) sdl_state.key_state[i] = i < n && host_keys ? host_keys[i] : 0;

    buttons_pressed_since_poll = 0;
    SDL_Event e;
    while (media && SDL_PollEvent(&e)) handle_sdl_event(&e);

    // Keys read as up for a moment after the window comes back, so the key that brought
    // it back is not taken as input.
    if (os_get_time() <= app.focus_regained_ms + 100) memset(sdl_state.key_state, 0, sizeof(sdl_state.key_state));

    for (int sc = 0; sc < KEY_STATE_COUNT; sc++) {
        if (sdl_state.key_state[sc] && !last_key_state[sc]) {
            snprintf(text, sizeof(text), "{event=\"keydown\",scancode=%d}", sc);
            send_to_wm(text);
        } else if (!sdl_state.key_state[sc] && last_key_state[sc]) {
            snprintf(text, sizeof(text), "{event=\"keyup\",scancode=%d}", sc);
            send_to_wm(text);
        }
    }

    if (media && sdl_state.window_width >= 1 && sdl_state.window_height >= 1) {
        int x = 0, y = 0;
        uint32_t buttons = SDL_GetMouseState(&x, &y) | buttons_pressed_since_poll;
        send_mouse_state(x, y, buttons);
    }
}

void start_frame() { handle_sdl_messages(); }

// --- Mouse lock and pointer warp ----------------------------------------------------------------

void os_lock_mouse_cursor(uint8_t flags, uint8_t step_scale, uint8_t pointer_scale) {
    mouse_lock_step_scale = step_scale;
    mouse_lock_pointer_scale = pointer_scale;
    bool want = (flags & 4) != 0;
    dest_rect r;
    get_dest_rect(&r);
    if (want && !app.mouse_locked) {
        int x = 0, y = 0;
        if (host_media_started()) SDL_GetMouseState(&x, &y);
        if (r.w >= 1 && r.h >= 1) {
            sdl_state.locked_mouse_x = (float)(x - r.x) * (float)display_width / (float)r.w;
            sdl_state.locked_mouse_y = (float)(y - r.y) * (float)display_height / (float)r.h;
        } else {
            sdl_state.locked_mouse_x = (float)x;
            sdl_state.locked_mouse_y = (float)y;
        }
        clamp_locked_pointer();
        warp_to_centre();
        app.mouse_lock_reset = 1;
        confine_pointer(r);
    } else if (!want && app.mouse_locked) {
        if (r.w >= 1 && r.h >= 1) {
            warp_host_pointer(
                trunc_to_int(sdl_state.locked_mouse_x * (float)r.w / (float)display_width + (float)r.x),
                trunc_to_int(sdl_state.locked_mouse_y * (float)r.h / (float)display_height + (float)r.y));
        }
    } else {
        confine_pointer(r);
    }
    app.mouse_locked = flags & 4;
}

void os_warp_mouse_pointer(int32_t x, int32_t y) {
    sdl_state.locked_mouse_x = (float)x;
    sdl_state.locked_mouse_y = (float)y;
    dest_rect r;
    get_dest_rect(&r);
    if (r.w < 1 || r.h < 1) return;
    warp_host_pointer(trunc_to_int((float)x * (float)r.w / (float)display_width + (float)r.x),
                      trunc_to_int((float)y * (float)r.h / (float)display_height + (float)r.y));
}

// --- Key state ----------------------------------------------------------------------------------

int os_key_state(int sc) {
    if (sc == -1) {
        for (int i = 0; i < KEY_STATE_COUNT; i++) {
            if (sdl_state.key_state[i]) return 1;
        }
        return 0;
    }
    if (sc < 0 || sc >= KEY_STATE_COUNT) return 0;
    return sdl_state.key_state[sc] ? 1 : 0;
}

bool os_key_from_scancode(int sc, char* dst, int size) {
    if (!dst || size < 1) return false;
    dst[0] = 0;
    if (sc < 0 || sc >= SDL_NUM_SCANCODES || !host_media_start()) return false;
    // The host may keep the name in a buffer that its next call overwrites: copy it at once.
    const char* name = SDL_GetKeyName(SDL_GetKeyFromScancode((SDL_Scancode)sc));
    if (!name || !name[0]) return false;
    snprintf(dst, (size_t)size, "%s", name);
    return true;
}
