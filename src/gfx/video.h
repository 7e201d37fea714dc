// Video out and the boot screen: builds the 480x270 frame from the shown process's
// screen each frame and hands it to the host window.
#pragma once
#include <cstdint>

extern int32_t video_mode;  // the shown process's video mode as last applied

void init_boot();
void init_default_coltabs();
// Builds the frame, feeds captures, presents and paces.
void end_frame();
