// Placeholders for the window and host input until they land: no window opens
// and no input arrives.
#include "platform/window.h"

void os_system_init() {}
void os_apply_video_config() {}
void start_frame() {}
