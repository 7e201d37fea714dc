// The host window and input: creation from the video settings, presentation,
// pacing, and host events turned into messages for the window manager.
#pragma once
#include <cstdint>

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;
union SDL_Event;

constexpr int32_t KEY_STATE_COUNT = 512;
constexpr int32_t FRAME_WIDTH = 480;   // the frame handed over by video out
constexpr int32_t FRAME_HEIGHT = 270;
constexpr int32_t WINDOW_TITLE_MAX = 1024;  // script texts of this length or more are ignored

// The host layer's one state block (main thread only).
struct sdl_state_block {
    int32_t window_width, window_height;    // window units; refreshed by get_dest_rect
    float locked_mouse_x, locked_mouse_y;   // display pixels while the mouse is locked
    int32_t audio_ok;                       // the host audio subsystem started
    SDL_Window* window;
    SDL_Renderer* renderer;
    SDL_Texture* texture;
    int32_t key_state[KEY_STATE_COUNT];     // 1 while a scan code counts as down this frame
};
extern sdl_state_block sdl_state;

// Size of the display image in display pixels (480 x 270 unless the shown process is 4 or
// more, whose own size is then clamped into 1..480 x 1..270).
extern int32_t display_width, display_height;
extern float renderer_scale[2];
extern int32_t preblit_scale;
// Windowed geometry saved before a re-creation, and the fullscreen setting of the last window.
extern int32_t last_win_x, last_win_y, last_win_w, last_win_h, last_fullscreen;
extern uint32_t last_t;  // host tick at the end of the previous frame

// Rectangle in window units.
struct dest_rect {
    int32_t x, y, w, h;
};

// One-time start of the host layer: subsystems, controllers, key state and audio output. A
// headless run whose audio driver is SDL's "dummy" (no sound device) plays into a silent output
// of its own and leaves the media library unloaded until a host call needs it.
void os_system_init();
// The media library's start (hints, subsystems, controllers), once; true when it is running.
// Calls that need the library's own state (clipboard, key names) make it first.
bool host_media_start();
bool host_media_started();
// Creates (or re-creates) window, renderer and streaming texture from the settings.
void os_apply_video_config();
// Where a display image of w x h pixels goes in a window of W x H units.
dest_rect fit_dest_rect(int32_t W, int32_t H, int32_t w, int32_t h, bool pixel_perfect, bool stretch,
                        bool blit_720p);
// The same for the current window and settings; refreshes the window size first.
void get_dest_rect(dest_rect* r);
// pixel_scale as a window is made from it: 0 gives 2, other values are held to 1..16.
int32_t clamp_pixel_scale(int32_t scale);
// The pre-scale factor chosen for a window of W x H units.
int32_t choose_preblit_scale(int32_t W, int32_t H, bool pixel_perfect, bool blit_720p);
// Each pixel of rows x width frame pixels (rows of pitch pixels) becomes scale x scale pixels
// in out, whose rows are width x scale pixels.
void prescale_frame(const uint32_t* frame, int32_t pitch, int32_t width, int32_t rows, int32_t scale,
                    uint32_t* out);
// The 480 x 270 frame (rows of pitch pixels) blended up to 1280 x 720 in out.
void blend_720p(const uint32_t* frame, int32_t pitch, uint32_t* out);
// Presents one 480 x 270 frame whose rows are width pixels long.
void blit_to_sdl_window_hardware(const uint32_t* frame, int32_t width);
void blit_to_sdl_window(const uint32_t* frame, int32_t width);

// Presents this iteration's frame (unless headless) and paces the loop; returns the stored tick.
uint32_t end_frame();
// Frame length in milliseconds for this frame (0, no wait, for the last frame before a quit);
// sets battery_saver_active.
uint32_t choose_frame_length(uint64_t now_ms);
// Waits in 1 ms delays while ticks() is before last + frame_ms, at most 100 of them;
// returns ticks() read afresh.
uint32_t pace_frame(uint32_t last, uint32_t frame_ms, uint32_t (*ticks)(), void (*delay)(uint32_t));
// The main loop's clock: host milliseconds since start, 32 bits.
uint32_t get_ticks();

// The window title; a text of 1024 bytes or more is ignored. Converted to UTF-8 for the host.
void os_set_window_title(const char* text);
// The title as last set, in UTF-8.
const char* os_window_title();
// A 16 x 16 grid of palette indices becomes the window icon (index 0 transparent);
// null cells give up the custom icon.
void os_set_window_icon(const uint8_t* cells, int width, int height, const uint32_t* palette);
// The 128 x 128 icon pixels (0xAARRGGBB) built by the last os_set_window_icon.
const uint32_t* os_window_icon_pixels();

// --- Host input ---------------------------------------------------------------------------------

// The per-frame input step: key state, host events, key and mouse messages to process 3.
void start_frame();
void handle_sdl_messages();
// Handles one host event as the input step does.
void handle_sdl_event(const SDL_Event* e);
// The mouse part of the input step, for a host position in window units and SDL's button mask.
void send_mouse_state(int32_t host_x, int32_t host_y, uint32_t host_buttons);
// Maps a host position through rectangle r into display pixels (limited to the display
// in fullscreen); an empty r leaves the position as it is.
void map_pointer(int32_t x, int32_t y, const dest_rect& r, bool fullscreen, int32_t* mx, int32_t* my);
// Last position and buttons sent in a mouse message (-1 until the first).
extern int32_t last_mx, last_my, last_mb;
extern int32_t mouse_lock_step_scale, mouse_lock_pointer_scale;
extern int32_t last_locked_host_mx, last_locked_host_my;

// Mouse lock request of process 3 (its bytes 0x5F2D, 0x5F28 and 0x5F29), once per frame.
void os_lock_mouse_cursor(uint8_t flags, uint8_t step_scale, uint8_t pointer_scale);
// Moves the host pointer to display pixel x, y.
void os_warp_mouse_pointer(int32_t x, int32_t y);
// Adds the input of one player (0..7) to 16 button bytes that the caller has cleared.
void os_get_button_states(int player, uint8_t* bytes);

// Key state of this frame: 1 while scan code sc (0..511) is down, else 0; sc = -1
// gives 1 when any key is down; anything else 0.
int os_key_state(int sc);
// Copies the host's name of the key that scan code sc produces into dst (size bytes);
// false, with dst empty, when it has none.
bool os_key_from_scancode(int sc, char* dst, int size);

// Where input goes on from the host: the window manager's event messages and files dropped on
// the window, set at start-up by the layers that know processes and files (app/hooks.cpp).
struct input_sinks {
    void (*send_to_wm)(const char* text);
    void (*dropped_file)(const char* host_path);
};
extern input_sinks input_sink;

// What the window shows, set at start-up by the layers that know processes and video memory
// (app/hooks.cpp): whether a process is live, the display size a process asks for (in host
// pixels, 0 for an axis it leaves), the frame to present, the work of a frame with no window,
// and the program's end after the renderer fails.
struct window_sources {
    bool (*process_live)(int64_t id);
    void (*display_size)(int64_t id, int32_t* w, int32_t* h);
    const uint32_t* (*video_out)(int* w, int* h);
    void (*headless_frame)();
    void (*fatal_exit)(int status);
};
extern window_sources window_source;
