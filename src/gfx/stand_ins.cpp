// Placeholders for video out and the boot screen until they land: nothing is drawn.
#include "gfx/video.h"

int32_t video_mode = 0;

void init_boot() {}
void init_default_coltabs() {}
void end_frame() {}
