// The t6scii printer: text in the system's 8-bit character set drawn into the current draw
// target with fonts that live in the process's own memory, control codes and inline commands.
#pragma once
#include <cstddef>
#include <cstdint>
#include "kernel/print_context.h"

struct lua_State;
struct process_record;
struct userdata_header;

// Flags of print_t6scii.
constexpr int PRINT_WRAP = 16;         // wrap at the clip's right edge
constexpr int PRINT_CALLER_FLAG = 32;  // kept for internal callers; changes nothing yet

// The furthest cursor position reached by the current print, and whether any was recorded.
extern int64_t print_max_x, print_max_y;
extern bool print_max_set;

// The engine: prints length bytes of text (a newline is appended unless bit 2 of 0x5F36 is
// set) into target for the current process, with pen's low byte as foreground and its high
// byte as background colour. Returns 1 when a wait stopped the print, else 0.
int print_t6scii(userdata_header* target, const char* text, int64_t length, int flags, uint16_t pen);
// The engine in two halves: begin sets up the print (false when there is nothing to print),
// print_run interprets it until its end (0) or a wait (1). Given a script state, print_run
// returns 2 at a line's end (or within a long line) once the slice is spent and L can yield,
// the print kept in the process's context to go on from there, and raises the overrun error
// past the bound where L cannot yield.
bool print_t6scii_begin(userdata_header* target, const char* text, int64_t length, int flags, uint16_t pen);
int print_run(lua_State* L);
// Resumes a print that a wait stopped: nothing resumes prints, so this does nothing.
void continue_print_text();
// Clears rec's print context.
void init_print_context(process_record* rec);

// Copies length bytes of text to out (room for length bytes) without the bytes below 16, so
// that text taken from a file prints as plain glyphs and can run no control code or command.
// Returns the number of bytes written.
size_t strip_print_controls(const char* text, size_t length, char* out);

// Script functions.
int lua54_print_t6scii(lua_State* L);
int lua54_count_p(lua_State* L);
