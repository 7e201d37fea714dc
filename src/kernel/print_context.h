// The print in progress that every process record carries; the printer (gfx/printer.h)
// fills it in and reads it back.
#pragma once
#include <cstdint>

struct process_record;
struct userdata_header;

// One process's print in progress, rebuilt from the registers at every print.
struct print_context {
    uint8_t* text;            // owned copy: the caller's bytes, the appended newline, zero padding
    int64_t pos;              // read position
    int64_t end;              // end of the interpreted bytes (the appended newline included)
    int64_t text_end;         // end of the caller's bytes: no argument is read from here on
    uint32_t font;            // address of the current font
    uint8_t font_flags;       // bit 0 adjust table present, bit 1 tabs measured from home x
    uint8_t wrap, caller_flag;
    int64_t right_margin;
    int64_t home_x, home_y;
    uint8_t fg, bg;
    userdata_header* target;
    int64_t line_height;      // tallest glyph on the line so far; 0 = character height
    int32_t wait;             // frames a stopped print would wait
    uint8_t wide, tall, stripes, pinball, edge, background, inverted, underline;
    int32_t char_width, wide_width, char_height;
    int64_t saved_x, saved_y; // where the last glyph outside a decoration was drawn
    uint8_t decoration;       // the next glyph is a decoration
    int64_t decoration_return_x, decoration_return_y;
    int32_t last_advance;
    int32_t tab_width;
    int32_t x_offset, y_offset;
    int32_t delay;            // per-glyph delay in frames; 0 = none
    uint32_t outline_mask;    // 9 bits: neighbour (dx, dy) is bit (dy + 1) * 3 + dx + 1
    int32_t outline_colour;
};

// Frees rec's text copy; called when its record is freed.
void destroy_print_buffer(process_record* rec);
