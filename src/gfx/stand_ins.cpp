// Placeholders for video out, the boot screen and captures until they land: nothing is
// drawn or captured.
#include "gfx/video.h"

int32_t video_mode = 0;

void init_boot() {}
void end_frame() {}

// Until captures land no recording starts and nothing is written.
void request_screenshot() {}
int gif_start() { return 1; }
void gif_end() {}
void audio_capture_start() {}
void audio_capture_end() {}

int64_t boot_get_time() { return 0; }
