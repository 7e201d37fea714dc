// The process memory map: fixed addresses inside every process's 16 MB address space
// that the kernel, graphics, printing and audio share.
#pragma once
#include <cstdint>

constexpr uint32_t ADDRESS_MASK = 0xFFFFFF;         // addresses are taken modulo 2^24
constexpr uint32_t ADDRESS_SPACE_SIZE = 0x1000000;  // 16 MB
constexpr uint32_t PAGE_SIZE = 0x1000;
constexpr uint32_t PAGE_COUNT = 0x1000;
constexpr uint32_t INITIAL_PAGES = 16;              // the first 64 KB exist from creation

constexpr uint32_t ADDR_GIF_REQUEST = 0x40;          // i16 x, y, width, height, scale, -, delay, silent
constexpr uint32_t ADDR_SCREENSHOT_REQUEST = 0x50;   // i16 x, y, width, height, scale, label, delay, silent
constexpr uint32_t ADDR_CAPTURE_NAME = 0x60;         // 64 bytes, a zero byte ends the name
constexpr uint32_t ADDR_DEFAULT_FONT = 0x4000;
constexpr uint32_t ADDR_PALETTES = 0x5000;
constexpr uint32_t ADDR_SCANLINE_PALETTE_SELECT = 0x5400;
constexpr uint32_t ADDR_DISPLAY_WIDTH = 0x5478;
constexpr uint32_t ADDR_DISPLAY_HEIGHT = 0x547A;
constexpr uint32_t ADDR_VIDEO_MODE = 0x547C;
constexpr uint32_t ADDR_BLIT_OPACITY_MASK = 0x547D;
constexpr uint32_t ADDR_PROCESS_FLAGS = 0x547F;
constexpr uint32_t ADDR_DISPLAY_REMAP = 0x5480;
constexpr uint32_t ADDR_PRINT_CURSOR_X = 0x54F0;     // i32
constexpr uint32_t ADDR_PRINT_CURSOR_Y = 0x54F4;     // i32
constexpr uint32_t ADDR_PRINT_HOME_X = 0x54F8;       // i32
constexpr uint32_t ADDR_DRAW_STATE = 0x5500;         // fill pattern, masks, pen, camera, clip
constexpr uint32_t ADDR_FILL_PATTERN = 0x5500;       // 8 rows, bit k = column k
constexpr uint32_t ADDR_MASKS = 0x5508;
constexpr uint32_t ADDR_READ_MASK = 0x5508;
constexpr uint32_t ADDR_WRITE_MASK = 0x5509;
constexpr uint32_t ADDR_SPRITE_TARGET_MASK = 0x550A; // textured drawing
constexpr uint32_t ADDR_SHAPE_TARGET_MASK = 0x550B;  // shapes, pixels, lines and text
constexpr uint32_t ADDR_PEN_COLOUR = 0x550C;         // u16: low byte pattern 0, high byte pattern 1
constexpr uint32_t ADDR_MAP_CELL_WIDTH = 0x550E;    // u8, 0 meaning 16
constexpr uint32_t ADDR_MAP_CELL_HEIGHT = 0x550F;   // u8, 0 meaning 16
constexpr uint32_t ADDR_CAMERA = 0x5510;
constexpr uint32_t ADDR_CAMERA_X = 0x5510;           // i32
constexpr uint32_t ADDR_CAMERA_Y = 0x5514;           // i32
constexpr uint32_t ADDR_LINE_RESTART = 0x551F;       // 1: the next line(x, y) only sets its start
constexpr uint32_t ADDR_LINE_END_X = 0x5520;         // i32, before the camera
constexpr uint32_t ADDR_LINE_END_Y = 0x5524;         // i32
constexpr uint32_t ADDR_CLIP = 0x5528;               // u16 x0, y0, x1, y1 (x1, y1 exclusive)
constexpr uint32_t ADDR_TEXTURE_WINDOW = 0x5530;     // i16 x, y offsets, then u16 width, height (0: 65536)
constexpr uint32_t SCANLINE_CLEAR_BYTES = 120;       // what pal() clears from the scanline selects
constexpr uint32_t ADDR_AUDIO_REGISTERS = 0x5538;
constexpr uint32_t ADDR_AUDIO_VOLUME = 0x5538;        // factor of every channel, 64 = unity
constexpr uint32_t ADDR_AUDIO_MUSIC_VOLUME = 0x5539;  // further factor of music channels
constexpr uint32_t ADDR_AUDIO_MIX_VOLUME = 0x553A;    // mix volume that note and sfx give
constexpr uint32_t ADDR_AUDIO_BASE_PAGE = 0x553C;     // audio data of notes and sfx at page << 16
constexpr uint32_t ADDR_AUDIO_MUSIC_PAGE = 0x553D;    // audio data of music at page << 16
constexpr uint32_t ADDR_BUTTONS = 0x5580;
constexpr uint32_t ADDR_ALT_FONT = 0x5600;
constexpr uint32_t ADDR_MOUSE_LOCK = 0x5F28;          // step scale of the locked mouse
constexpr uint32_t ADDR_MOUSE_POINTER_SCALE = 0x5F29;
constexpr uint32_t ADDR_MOUSE_LOCK_FLAGS = 0x5F2D;    // bit 2 requests the mouse lock
constexpr uint32_t ADDR_PRINT_OPTIONS = 0x5F36;
constexpr uint32_t ADDR_FONT_DEFAULT_PAGE = 0x5F56;
constexpr uint32_t ADDR_FONT_ALT_PAGE = 0x5F57;
constexpr uint32_t ADDR_PRINT_ATTRIBUTES = 0x5F58;    // 0x5F58 to 0x5F5B
constexpr uint32_t ADDR_BTNP_DELAY = 0x5F5C;
constexpr uint32_t ADDR_BTNP_REPEAT = 0x5F5D;
constexpr uint32_t ADDR_COLOUR_TABLES = 0x8000;       // four tables of 64 x 64, one page each
constexpr uint32_t COLOUR_TABLE_BYTES = 0x1000;
constexpr uint32_t ADDR_SPRITE_FLAGS = 0xC000;       // one byte for each of the 8192 sprites
constexpr uint32_t ADDR_SCREEN = 0x10000;
constexpr uint32_t ADDR_AUDIO_DATA = 0x40000;         // the default instrument
constexpr uint32_t ADDR_WAVE_TABLES = 0xF78000;       // the default waves, to the end of the space
constexpr uint32_t ADDR_MAP = 0x100000;

// Bits of the process-flags byte at ADDR_PROCESS_FLAGS.
constexpr uint8_t PFLAG_INCREMENTAL_GC = 0x01;
constexpr uint8_t PFLAG_HOLD_FRAME = 0x02;
constexpr uint8_t PFLAG_AUDIO_MUTE = 0x04;
constexpr uint8_t PFLAG_LOW_PRIORITY = 0x20;

// Bits of the print-options byte at ADDR_PRINT_OPTIONS.
constexpr uint8_t PRINT_OPTION_MAP_SPRITE_0 = 0x08;  // maps draw cells of sprite 0

// Bits of a page's flags byte.
constexpr uint8_t PAGE_WRITTEN = 0x01;
constexpr uint8_t PAGE_COLOUR_TABLE_CHANGED = 0x02;
