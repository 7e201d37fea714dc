// Placeholders for video out, the boot screen and captures until they land: nothing is
// drawn or captured.
#include "gfx/video.h"

int32_t video_mode = 0;

void init_boot() {}
void init_default_coltabs() {}
void end_frame() {}

const uint32_t system_palette[64] = {
    0x000000, 0x1d2b53, 0x7e2553, 0x008751, 0xab5236, 0x5f574f, 0xc2c3c7, 0xfff1e8,
    0xff004d, 0xffa300, 0xffec27, 0x00e436, 0x29adff, 0x83769c, 0xff77a8, 0xffccaa,
    0x2463b0, 0x00a5a1, 0x654688, 0x125359, 0x70322e, 0x452d32, 0xa28879, 0xffacc5,
    0xb9003e, 0xe26b13, 0x95f04b, 0x00b251, 0x64dff6, 0xbd9adf, 0xe40dab, 0xf49671,
};

// Until captures land no recording starts and nothing is written.
void request_screenshot() {}
int gif_start() { return 1; }
void gif_end() {}
void audio_capture_start() {}
void audio_capture_end() {}

int64_t boot_get_time() { return 0; }
