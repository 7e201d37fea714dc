// The process table: up to 512 script processes with their ids, life cycle, script
// allocator and message queues, and the kernel's own messages to the window manager.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstddef>
#include "base/memmap.h"
#include "base/pbuffer.h"
#include "kernel/print_context.h"

struct lua_State;
struct userdata_header;

constexpr int MAX_PROCESSES = 512;
constexpr int32_t MESSAGE_QUEUE_LIMIT = 0x1000000;
constexpr int32_t MESSAGE_QUEUE_INITIAL = 16384;
// Sprite slots a process can fill (_set_spr takes the slot number modulo this); numbers up
// to 16,383 name a sprite, and those past the table are always empty.
constexpr int MAX_SPRITES = 8192;
constexpr int64_t ROOT_PROCESS_ID = 1;      // the first process of every boot

enum process_state : int32_t { PSTATE_RUNNING = 0, PSTATE_FINISHED = 1, PSTATE_ERROR = 2 };
constexpr uint32_t PROCESS_FLAG_SYSTEM = 1;
constexpr uint32_t PROCESS_FLAG_SANDBOXED = 2;

// Per-page tables that only some pages need are kept in blocks of this many pages, each
// allocated when the first of its pages needs it.
constexpr uint32_t PAGE_BLOCK = 64;
constexpr uint32_t PAGE_BLOCKS = PAGE_COUNT / PAGE_BLOCK;
static_assert(PAGE_BLOCK == 64, "a block of pages is one word of the page bit maps");

struct page_table {
    uint8_t* page[PAGE_COUNT];        // where the first `mapped` bytes of each page live
    uint16_t mapped[PAGE_COUNT];      // 0..4096
    uint8_t flags[PAGE_COUNT];        // PAGE_WRITTEN, PAGE_COLOUR_TABLE_CHANGED; a write sets 255
    uint64_t userdata_map[PAGE_COUNT / 64];  // page points into a typed array
    // The page points, in full, at a read-only copy shared by every process (the default audio
    // data): reads see it directly, and the first write gives the process its own copy.
    uint64_t shared_map[PAGE_COUNT / 64];
    // The process's own zeroed block of each page, null until touched (page_owned, memory.h);
    // a null block of pointers is a block of null pages.
    uint8_t** owned[PAGE_BLOCKS];
    // The typed array each page points into, or null (page_array); the same blocks.
    userdata_header** array[PAGE_BLOCKS];
    // The pages whose PAGE_WRITTEN bit is set, each once, in the order they were first written:
    // what the end-of-frame copy to the mixer visits. Kept by mark_page_written (memory.h); it
    // grows as pages are written. When it cannot grow, written_all is set and the copy visits
    // every page with PAGE_WRITTEN instead.
    uint16_t* written;
    int32_t written_count;
    int32_t written_capacity;
    int32_t written_all;
};

// The clip rectangle as the rasterisers use it, worked out from the clip registers for one
// draw target and kept until the registers or the target change.
struct clip_cache {
    int32_t x0, x1, y0, y1;           // x0 <= x < x1, y0 <= y < y1, within the target
    uint64_t key;                     // the eight register bytes it came from
    const userdata_header* target;    // and the target with its size at the time
    uint32_t width, height;
};

struct process_record {
    int64_t id;
    int64_t parent_id;
    uint64_t created_ms;
    char name[64];
    char prog[256];
    char sandbox_location[64];
    uint32_t sandboxed;
    uint32_t flags;
    int32_t state;
    lua_State* L;
    char* code;
    char pwd[256];
    int64_t clock_frames;
    double base_priority;
    uint32_t high_priority;

    // cycle counters of the slice scheduler
    uint32_t flip_cycles;             // cycles since the last flip
    uint32_t period_cycles;           // cycles of the last completed flip period
    uint32_t flipped;                 // flipped in this frame
    uint32_t frames_since_flip;
    uint32_t fps;
    uint32_t cycle_debt;              // overspend carried into later slices
    uint32_t allotted_this_frame;
    uint32_t allotted_last_frame;

    userdata_header* draw_target;
    clip_cache clip;
    uint32_t invert_flag;             // set by a colour with bit 35; read by the filled shapes
    print_context print;              // the print in progress and its text copy
    page_table pages;
    // MAX_SPRITES slots, held in the script state's registry while set; null until the first
    // _set_spr, and then every slot is empty.
    userdata_header** sprites;
    userdata_header* map_userdata;

    uint8_t buttons_prev[128];
    uint8_t buttons_cur[128];
    uint8_t buttons_release_pending[128];
    uint32_t buttons_repeat[128];

    uint32_t audio_priority;
    pbuffer* message_queue;
    int32_t queue_read;               // offset of the first unread entry in message_queue
    uint64_t rng_state[4];

    int64_t heap_bytes;
    int64_t heap_baseline;
    int64_t page_bytes;
    int64_t out_of_memory;
    // Found past its memory limit at the end of a slice: held (its slices collect its garbage
    // instead of running it) until collector cycles have ended, the first of them begun after
    // the hold. Then it runs on, or is out of memory.
    int64_t limit_collecting;
    int64_t limit_cycles_ended;
    // What the bodies of its downloads hold (kept by the fetch jobs, net/gurl.h), counted
    // against the memory limit by the allocator; null until its first download.
    const std::atomic<int64_t>* download_bytes;
    uint32_t hold_prune_ms;

    // Kept by the kernel so that a process is never freed under a running slice.
    int32_t slice_depth;              // slices of this process on the C stack
    uint32_t kill_pending;            // remove once its slices have returned
    uint32_t restart_pending;         // restart once its slices have returned
    int32_t table_index;              // its slot in the process table
};

extern process_record* cproc;
extern int64_t process_id;           // the id the next creation takes

// Creation and removal.
process_record* create_process_from_code(const char* code, const char* name, const char* prog,
                                         const char* location);
int init_process(process_record* rec, int64_t id, const char* code, const char* name,
                 const char* prog, const char* location);
void kill_process_by_index(int i);
void kill_process_by_id(int64_t id);
void kill_process(process_record* rec);
void free_process(process_record* rec);
void restart_process(process_record* rec);
void processes_init();
// Removes every process marked for killing whose slices have all returned.
void remove_killed_processes();
// Frees a bounded piece of the script states of removed processes still being freed; `all`
// frees them whole.
void free_closing_states(bool all);

// The record of a live process (not one marked for removal), found in constant time.
process_record* get_process(int64_t id);
// The packed table: slots 0 .. process_count - 1 are in use. Only process.cpp changes them.
extern process_record* process_slots[MAX_PROCESSES];
extern int process_count;

inline process_record* get_process_by_index(int i) {
    return (unsigned)i < (unsigned)process_count ? process_slots[i] : nullptr;
}
inline int get_process_count() { return process_count; }
void set_current_process(process_record* rec);
int count_recent_sandboxed_processes();

// Messages.
int32_t send_process_message(process_record* rec, const pbuffer* msg);
int32_t send_process_message_string(process_record* rec, const char* text);
pbuffer* read_process_message(process_record* rec, pbuffer* dst);
void report_error(const char* text);
void notify(const char* text);

// The allocator of every script state.
void* l_alloc(void* ud, void* block, size_t old_size, size_t new_size, int final_attempt,
              size_t accounted_size);
// Asks that the next new script block of at least min_size bytes come already zero from the
// host: a large block then arrives as untouched zero pages, so making it writes nothing and its
// pages are first touched by the work that uses them. Accounting is the same as for any block.
// The request lapses once such a block is made.
void request_zeroed_block(size_t min_size);
// Withdraws the request; true when a zeroed block was made for it (a state with another
// allocator never makes one, so its caller clears the block itself).
bool end_zeroed_block_request();

// Script functions.
int lua54_pid(lua_State* L);

// Stops the program after an internal inconsistency.
[[noreturn]] void kernel_assert_failed(const char* cond, const char* file, int line, const char* func);
