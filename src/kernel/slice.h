// Time slices: the per-frame cycle budget, nested slices with carried-over debt,
// the boot delay, the memory limit and the handling of a slice's end.
#pragma once
#include <cstdint>

#include "lua.h"

struct process_record;

constexpr int32_t FRAME_CYCLE_BUDGET = 0x44444;      // 279,620 cycles a frame
constexpr int32_t FAST_CYCLE_BUDGET = 0x111111;      // cartridge player without a window
constexpr int32_t DEBT_CAP = 0x2AAAA8;               // ten frames' budget
constexpr int32_t FAST_DEBT_CAP = 0xAAAAAA;
constexpr int64_t PROCESS_MEMORY_LIMIT = 0x2000000;
constexpr int64_t PROCESS_MEMORY_SLACK = 0x80000;
constexpr uint64_t BOOT_DELAY_MS = 2200;
constexpr int32_t SUPERYIELD = 0x40000000;

// Shared with the interpreter loop, which charges each instruction to cpu_cycles, and with
// the table library, which charges its work through spend_cpu: C linkage for both.
extern "C" {
extern int32_t cpu_cycles;
extern int32_t cpu_cycles_max;
extern int32_t cpu_superyielding;
void spend_cpu(int64_t n);
}
extern uint32_t total_frame_cycles;
extern uint32_t total_frame_cycles_since_wm_flip;

uint32_t get_total_frame_cycles();
uint32_t get_total_frame_cycles_since_wm_flip();

void prepare_processes_for_frame();
int32_t run_process_slice(process_record* rec, double fraction);
void update_processes_after_frame();
// The budget of one frame in the current mode.
int32_t frame_budget();

// Exits after flushing the file system, reporting failure to the host.
[[noreturn]] void kernel_fatal_exit(int status);

// --- Native work ---------------------------------------------------------------------------------
// A native call charges its work as it goes, piece by piece (rows, runs, spans, lines, bytes).
// Work that can stop between pieces ends the slice there when the budget is spent and goes on
// when the process next runs; work that cannot, or a call made where the thread cannot yield,
// runs on until it has overrun the budget by the interpreter's bound (about 30 frames' budget)
// and then ends with NATIVE_OVERRUN_MESSAGE, as the string library's work does.
extern const char* const NATIVE_OVERRUN_MESSAGE;  // "too many cycles in non-yieldable code"
// How far past the slice's budget such work may run: the interpreter's bound.
constexpr int32_t NATIVE_OVERRUN_BOUND = 1 << 23;

// Charges n cycles (saturating; nothing for n <= 0) and tells whether native work has passed
// the overrun bound, so that a loop can stop, release what it holds and then raise the error.
bool charge_native_work(int64_t n);
// Charges n cycles and raises the overrun error once past the bound. Only for callers that hold
// nothing that the error would leak.
void charge_native_work_or_raise(lua_State* L, int64_t n);
[[noreturn]] void raise_native_overrun(lua_State* L);
// Whether a call that can go on later should stop here: the running slice's budget is spent (or
// the slice was told to end) and L can yield where it is.
bool native_work_should_pause(lua_State* L);
// Ends the slice inside a native call, with L's stack kept as it is. When the process runs again,
// k(L, LUA_YIELD, ctx) continues the call; its stack holds the same values, and above them any
// values a coroutine.resume passed in (so k first sets the top it expects). k must do at least
// one piece of work before it pauses again, and must look again at everything it works on: the
// script may have changed its arrays meanwhile. Register k through api_guarded_k. Never returns.
int native_work_pause(lua_State* L, lua_KContext ctx, lua_KFunction k);

int lua54_run_process_slice(lua_State* L);
int lua54_flip(lua_State* L);
int lua54_halt(lua_State* L);
int lua54_yielded_to_escape_slice(lua_State* L);
