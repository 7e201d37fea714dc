// Time slices: the per-frame cycle budget, nested slices with carried-over debt,
// the boot delay, the memory limit and the handling of a slice's end.
#pragma once
#include <cstdint>

struct lua_State;
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

int lua54_run_process_slice(lua_State* L);
int lua54_flip(lua_State* L);
int lua54_halt(lua_State* L);
int lua54_yielded_to_escape_slice(lua_State* L);
