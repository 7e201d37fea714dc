// pxu blocks: the compact binary form of a typed array inside mox text, with raw bytes,
// run-length coding, or run-length coding through a small move-to-front palette.
#pragma once
#include <cstdint>

struct lua_State;
struct pbuffer;
struct userdata_header;

// Modes (high four bits of the block's sixth byte).
constexpr int PXU_MODE_RAW = 0x10;
constexpr int PXU_MODE_PALETTE = 0x20;
constexpr int PXU_MODE_RLE = 0x80;
// Set in the mode byte when the sizes are u32 rather than u8.
constexpr int PXU_WIDE_SIZES = 0x08;

// Appends a block for the array at the end of buffer: "pxu", a zero byte, the type and
// dimensions byte, the mode byte, the sizes, then the data in the mode's coding. bits is the
// palette index width of mode 0x20, clamped to 1..6. Returns the bytes appended; 0 with
// nothing appended for an unknown mode, a null argument or a buffer that cannot take it.
int64_t write_binary_pxu(const userdata_header* array, pbuffer* buffer, int bits, int mode);

// Reads the block that starts at position (its "pxu" tag) and ends no later than end.
// Pushes the new typed array and returns the position after the block; returns null with
// nothing pushed when the block is cut short, names an unknown mode, a palette width
// outside 1..6 or an array that cannot be made.
const char* get_binary_pxu(lua_State* L, const char* position, const char* end);
