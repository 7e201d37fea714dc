// Placeholders for captures until they land: nothing is captured or written.
#include "gfx/video.h"

void request_screenshot() {}
int gif_start() { return 1; }
void gif_end() {}
void audio_capture_start() {}
void audio_capture_end() {}
void update_gif_recording(const uint32_t*, const uint32_t*) {}
void update_screenshot(const uint32_t*) {}
