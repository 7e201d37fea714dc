// The host window and input: creation from the video settings, presentation,
// pacing, and host events turned into messages for the window manager.
#pragma once

void os_system_init();
void os_apply_video_config();
void start_frame();
