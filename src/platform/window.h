// The host window and input: creation from the video settings, presentation,
// pacing, and host events turned into messages for the window manager.
#pragma once
#include <cstdint>

void os_system_init();
void os_apply_video_config();
void start_frame();
// Ends the frame: presents the frame that video out builds (generate_video_out) unless the
// run is headless, where only the boot sequence is kept up to date, and paces.
void end_frame();

// The window title; a text of 1024 bytes or more is ignored.
void os_set_window_title(const char* text);
// A 16 x 16 grid of palette indices becomes the window icon (index 0 transparent);
// null cells give up the custom icon.
void os_set_window_icon(const uint8_t* cells, int width, int height, const uint32_t* palette);
// Moves the host pointer to display pixel x, y.
void os_warp_mouse_pointer(int32_t x, int32_t y);
// Adds the input of one player (0..7) to 16 button bytes that the caller has cleared.
void os_get_button_states(int player, uint8_t* bytes);

// Key state of this frame: 1 while scan code sc (0..511) is down, else 0; sc = -1
// gives 1 when any key is down.
int os_key_state(int sc);
// The host's name of the key that scan code sc produces, or null when it has none.
const char* os_key_from_scancode(int sc);
