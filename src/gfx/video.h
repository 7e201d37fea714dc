// Video out and the boot screen: builds the 480x270 frame from the shown process's
// screen each frame and hands it to the host window.
#pragma once
#include <cstdint>

extern int32_t video_mode;  // the shown process's video mode as last applied

void init_boot();
// Builds the frame, feeds captures, presents and paces.
void end_frame();

// Captures, asked for by the machine signals: a screenshot request read from the
// caller's request block, a GIF recording (gif_start gives 0 when it started), and
// the raw audio capture.
void request_screenshot();
int gif_start();
void gif_end();
void audio_capture_start();
void audio_capture_end();

// Milliseconds since the boot screen started.
int64_t boot_get_time();
