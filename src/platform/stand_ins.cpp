// Placeholders for the window and host input until they land: no window opens, no frame
// is shown or paced, and no input arrives.
#include "platform/window.h"

#include "gfx/video.h"
#include "kernel/app.h"

void end_frame() {
    if (config.headless) {
        update_boot_sequence();
        return;
    }
    int w = 0, h = 0;
    generate_video_out(&w, &h);  // nothing to present it on yet
}

void os_system_init() {}
void os_apply_video_config() {}
void start_frame() {}
void os_set_window_title(const char*) {}
void os_set_window_icon(const uint8_t*, int, int, const uint32_t*) {}
void os_warp_mouse_pointer(int32_t, int32_t) {}
void os_get_button_states(int, uint8_t*) {}

int os_key_state(int) { return 0; }
const char* os_key_from_scancode(int) { return nullptr; }
