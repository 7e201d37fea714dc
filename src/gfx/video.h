// Video out and the boot screen: the 480x270 32-bit frame built each frame from the shown
// process's palettes and screen, the boot screen the host draws itself, and screen copies.
#pragma once
#include <cstdint>

struct lua_State;
struct process_record;
struct userdata_header;

constexpr int VIDEO_WIDTH = 480;
constexpr int VIDEO_HEIGHT = 270;
constexpr uint32_t SCREEN_BYTES = 0x20000;      // the screen's 32 pages from ADDR_SCREEN
constexpr int64_t BOOT_SEQUENCE_MS = 2200;      // the boot screen shows at least this long
constexpr uint8_t UNMAPPED_BLIT_COLOUR = 8;     // what a screen copy reads where nothing is mapped

extern int32_t video_mode;  // the shown process's video mode in the last frame
// The last frame, 0x00RRGGBB, row-major.
extern uint32_t back_page[VIDEO_WIDTH * VIDEO_HEIGHT];
// The last frame's output palette (four palettes of 64) and each line's palette (0-3).
extern uint32_t video_palette[256];
extern uint32_t video_line_palette[VIDEO_HEIGHT];
// Called once a frame with the frame converted, before it is enlarged: the GIF recording and
// the screenshot read it (set at start-up, app/hooks.cpp).
extern void (*video_frame_hook)();

// Builds the frame: returns back_page and sets *w, *h to 480, 270, or returns null when there
// is no new frame (nothing to show, or the shown process holds its frame).
const uint32_t* generate_video_out(int* w, int* h);
// Decides what this frame shows and keeps the boot flags, logging the end of the boot
// sequence once: process 3, the boot screen's record, or null. generate_video_out calls it;
// a run without video output calls it alone once per frame.
process_record* update_boot_sequence();
// 2 when the video process is in video mode 3, 3 in mode 4, else 1.
int video_mode_scale();

// Copies n bytes of rec's space from address a through its page table, touching nothing:
// bytes beyond a page's mapped part read as fill.
void read_process_space(process_record* rec, uint32_t a, uint8_t* out, uint32_t n, uint8_t fill);

// Copies a w x h rectangle from proc's memory at base + sy x stride + sx (stride = proc's
// display width) into target at dx, dy, clipped to the source's screen (display width x
// display height bytes, within the screen's pages) and to the current process's clip. With a
// non-zero mask only source bytes with (byte & mask) != 0 are written. Returns the copied
// pixel count / 4; *pixels gets the count itself.
int64_t blit_from_ram(process_record* proc, uint32_t base, userdata_header* target, int64_t sx, int64_t sy,
                      int64_t dx, int64_t dy, int64_t w, int64_t h, uint8_t mask, int64_t* pixels = nullptr);

// ---- boot screen --------------------------------------------------------------------------------

// Marks the boot screen for a fresh start; called at every (re)boot.
void boot_init();
// Builds the boot screen's record and screen on first use.
void init_boot();
// Draws one boot frame and returns the boot screen's record.
process_record* draw_boot();
// The boot screen's record (built or not).
process_record* boot_record();
// Milliseconds since the boot screen started, counted in frames of 16.6 ms.
int64_t boot_get_time();
// Ease in-out on t clamped to 0..1.
double nll(double t);
// The host clock the boot screen's status line reads; tests replace it.
extern uint64_t (*boot_host_clock)();

// Script functions.
int lua54_blit_process_video(lua_State* L);
