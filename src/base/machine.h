// The machine's shared records: the settings record `config`, the per-boot record `app`,
// the system image records and the version; start-up and the frame loop are app/app.h.
#pragma once
#include <cstdint>
#include <cstdio>
#include "base/pbuffer.h"

struct app_config {
    uint32_t fullscreen;
    uint32_t pixel_perfect;
    uint32_t stretch;
    uint32_t blit_720p;
    uint32_t allow_highdpi;
    int32_t sdl_render_driver;
    uint32_t fullscreen_window;
    int32_t pixel_scale;
    int32_t video_process_id;
    uint32_t anywhen;
    int32_t volume;
    uint32_t mute_audio;
    uint32_t swap_stereo;
    uint32_t network_access;
    uint32_t battery_saver;
    int32_t deadzone;
    char home_folder[1024];
    char desktop_folder[1024];
    char file_argument[1024];
    char stat_text[1024];
    uint32_t use_system_rom;
    uint32_t headless;
    int32_t display_index;
};

struct app_state {
    uint32_t window_active;
    uint64_t focus_regained_ms;
    uint32_t boot_line_style;
    uint32_t signal36_flag;
    uint32_t window_created;
    int64_t audio_owner;
    int64_t audio_mirror_id;
    uint32_t audio_capture_on;
    pbuffer* audio_capture_buffer;
    uint32_t gif_recording;
    uint32_t gif_frame_count;
    uint32_t screenshot_requested;
    uint32_t boot_finished;
    uint32_t boot_ready;
    uint32_t exported_cart;
    uint32_t mouse_locked;
    int32_t locked_accum_x;
    int32_t locked_accum_y;
    uint32_t mouse_lock_reset;
    int64_t exclusive_process;
    uint64_t last_input_ms;
    uint32_t battery_saver_active;
    uint32_t buttons_seen;
    uint64_t frames_run;
    uint64_t boot_frames_base;
    uint32_t reboot_requested;
    uint32_t quit_requested;
    uint32_t quit_wait_frames;
    uint32_t stat_counters[4];
};

constexpr const char* ORVALUNE_VERSION = "0.2.2b";
constexpr int DAT_FILE_MAX = 64;
constexpr uint32_t DAT_RECORD_MAX_LENGTH = 0x2000000;

extern app_config config;
extern app_state app;
extern pbuffer* dat_file[DAT_FILE_MAX];
extern int dat_file_count;
extern uint32_t platform_initialised;  // bit 0: host and socket layers are up
extern uint32_t video_hash0;
extern const char* build_date;

// Record i of the system image with its cursor at 0, or null.
pbuffer* get_dat_file(int i);

struct process_record;
extern process_record* root_process;

// Settings changed by a script take effect through these (app/app.cpp).
void orvalune_apply_setting(const char* name, int64_t value);
void orvalune_apply_settings();
