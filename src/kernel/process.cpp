// The process table: creation, removal, restart, the script allocator and message queues.
#include "kernel/process.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/api.h"
#include "kernel/hooks.h"
#include "kernel/memory.h"
#include "base/machine.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "platform/host.h"
#include "script/libs.h"

kernel_hooks kernel_hook;
process_record* cproc = nullptr;
int64_t process_id = 1;

// Records live at fixed addresses in the pool; the packed table holds pointers to them,
// so removing a process never moves a record that someone still points at. Records and their
// initial pages are cleared by handing their pages back, so that only the parts a process
// touches take memory. The strides are not multiples of the host page: the same field of
// every record, and the same register of every process, fall in different cache sets.
struct alignas(64) pool_slot {
    process_record rec;
};
static_assert(sizeof(pool_slot) % 4096 != 0);
alignas(4096) static pool_slot process_pool[MAX_PROCESSES];
struct alignas(4096) initial_slot {
    uint8_t bytes[INITIAL_PAGES * PAGE_SIZE + PAGE_SIZE];  // the last page is never used
};
static initial_slot initial_blocks[MAX_PROCESSES];
static bool pool_used[MAX_PROCESSES];

static int pool_index(const process_record* rec) {
    const pool_slot* slot = reinterpret_cast<const pool_slot*>(rec);
    return slot >= process_pool && slot < process_pool + MAX_PROCESSES ? (int)(slot - process_pool) : -1;
}

// The record's initial pages, or null for a record outside the pool.
static uint8_t* initial_block(const process_record* rec) {
    int i = pool_index(rec);
    return i >= 0 ? initial_blocks[i].bytes : nullptr;
}
process_record* process_slots[MAX_PROCESSES];
int process_count = 0;

// Live records by id: open addressing with linear probing, twice as many slots as records.
// Ids grow through a boot and are never reused, so a record's entry only comes and goes with
// the record's place in the table.
constexpr uint32_t ID_SLOTS = 2 * MAX_PROCESSES;
static process_record* by_id[ID_SLOTS];

static uint32_t id_slot(int64_t id) {
    return (uint32_t)(((uint64_t)id * 0x9E3779B97F4A7C15ull) >> 54) & (ID_SLOTS - 1);
}

static void index_id(process_record* rec) {
    uint32_t i = id_slot(rec->id);
    while (by_id[i]) i = (i + 1) & (ID_SLOTS - 1);
    by_id[i] = rec;
}

static void unindex_id(process_record* rec) {
    uint32_t i = id_slot(rec->id);
    while (by_id[i] && by_id[i] != rec) i = (i + 1) & (ID_SLOTS - 1);
    if (!by_id[i]) return;
    // Backward-shift deletion: move up every later entry whose probe run passes the hole.
    by_id[i] = nullptr;
    for (uint32_t j = (i + 1) & (ID_SLOTS - 1); by_id[j]; j = (j + 1) & (ID_SLOTS - 1)) {
        uint32_t home = id_slot(by_id[j]->id);
        bool between = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (between) continue;
        by_id[i] = by_id[j];
        by_id[j] = nullptr;
        i = j;
    }
}

// The record with this id, also one marked for removal.
static process_record* find_id(int64_t id) {
    for (uint32_t i = id_slot(id); by_id[i]; i = (i + 1) & (ID_SLOTS - 1)) {
        if (by_id[i]->id == id) return by_id[i];
    }
    return nullptr;
}

// Puts the records from slot `from` on in their places after a move.
static void renumber_from(int from) {
    for (int i = from; i < process_count; i++) process_slots[i]->table_index = i;
}

static pbuffer* rpm_buffer = nullptr;
// Set while every process is being removed: finalisers that run then cannot create new ones.
static bool removing_all = false;

void kernel_assert_failed(const char* cond, const char* file, int line, const char* func) {
    printf("\n** ASSERT failed: %s :: %s:%d in %s()\n\n", cond, file, line, func);
    fflush(stdout);
    exit(1);
}

static void copy_text(char* dst, const char* src, size_t room) {
    size_t n = src ? strnlen(src, room - 1) : 0;
    if (n) memcpy(dst, src, n);
    dst[n] = 0;
}

static process_record* pool_take() {
    for (int i = 0; i < MAX_PROCESSES; i++) {
        if (!pool_used[i]) {
            pool_used[i] = true;
            return &process_pool[i].rec;
        }
    }
    return nullptr;
}

static void pool_release(process_record* rec) {
    int i = pool_index(rec);
    clear_to_fresh_pages(rec, sizeof(*rec));
    if (i >= 0) pool_used[i] = false;
}

void set_current_process(process_record* rec) {
    if (!rec) kernel_assert_failed("proc", "process", 1196, "set_current_process");
    cproc = rec;
}

// Makes rec current, or leaves no process current when there is none to return to.
static void restore_current(process_record* rec) {
    cproc = rec;
}

// A creation that cannot go on: its code copy and state go, the caller's process is current
// again, and the creation reports failure.
static int abandon_creation(process_record* rec, process_record* previous) {
    free(rec->code);
    rec->code = nullptr;
    if (rec->L) lua_close(rec->L);
    rec->L = nullptr;
    restore_current(previous);
    return 1;
}

process_record* get_process(int64_t id) {
    process_record* rec = find_id(id);
    return rec && !rec->kill_pending ? rec : nullptr;
}


static int index_of(const process_record* rec) {
    if (!rec) return -1;
    int i = rec->table_index;
    return i >= 0 && i < process_count && process_slots[i] == rec ? i : -1;
}

// Opens the libraries and registers the script API in a new state.
static int open_process_state(lua_State* L) {
    open_process_libraries(L);
    if (kernel_hook.open_state) kernel_hook.open_state(L);
    return 0;
}

int init_process(process_record* rec, int64_t id, const char* code, const char* name, const char* prog,
                 const char* location) {
    clear_to_fresh_pages(rec, sizeof(*rec));
    rec->id = id;
    rec->created_ms = os_get_time();
    copy_text(rec->name, name, sizeof(rec->name));
    copy_text(rec->prog, prog, sizeof(rec->prog));
    if (location) copy_text(rec->sandbox_location, location, sizeof(rec->sandbox_location));
    rec->sandboxed = rec->sandbox_location[0] ? 1 : 0;

    bool system_path = strncmp(rec->prog, "/system/", 8) == 0;
    rec->flags = system_path ? PROCESS_FLAG_SYSTEM : 0;
    if (rec->sandboxed) rec->flags = system_path ? 3 : 2;
    if (strcmp(rec->prog, "/system/apps/terminal.lua") == 0) rec->flags &= ~PROCESS_FLAG_SYSTEM;

    process_record* previous = cproc;
    rec->parent_id = previous ? previous->id : 0;
    rec->draw_target = nullptr;
    rec->base_priority = 1.0;
    strcpy(rec->pwd, "/");

    set_current_process(rec);
    rec->L = lua_newstate(l_alloc, rec);
    if (!rec->L) {
        restore_current(previous);
        return 1;
    }
    // A fresh state has no error handler of its own: running out of memory while it is set up
    // must come back here rather than end the program.
    lua_pushcfunction(rec->L, open_process_state);
    if (lua_pcall(rec->L, 0, 0, 0) != LUA_OK) return abandon_creation(rec, previous);

    size_t len = code ? strlen(code) : 0;
    rec->code = (char*)calloc(len + 16, 1);
    if (!rec->code) return abandon_creation(rec, previous);
    if (len) memcpy(rec->code, code, len);
    char chunkname[256];
    snprintf(chunkname, sizeof(chunkname), "@%s", rec->name);
    if (luaL_loadbufferx(rec->L, rec->code, len, chunkname, "t") != LUA_OK) {
        // The message lives on the state's stack until the state closes below.
        const char* msg = lua_tostring(rec->L, -1);
        const char* message = msg ? msg : "";
        report_error("*syntax error");
        report_error(message);
        velt_debug("syntax error. ** could not create process **\n");
        snprintf(velt_debug_string, sizeof(velt_debug_string), "%s\n", message);
        velt_debug(velt_debug_string);
        return abandon_creation(rec, previous);
    }

    // The first 64 kB exist from creation: the record's own block of fresh pages, which take
    // memory only once touched.
    uint8_t* initial = initial_block(rec);
    bool have_pages = initial != nullptr;
    for (uint32_t p = 0; have_pages && p < INITIAL_PAGES; p++) {
        have_pages = set_page_owned(rec->pages, p, initial + size_t(p) * PAGE_SIZE);
        if (!have_pages) break;
        rec->pages.page[p] = initial + size_t(p) * PAGE_SIZE;
        rec->pages.mapped[p] = PAGE_SIZE;
    }
    if (!have_pages) {
        free_page_tables(rec->pages);
        return abandon_creation(rec, previous);
    }
    rec->page_bytes += INITIAL_PAGES * PAGE_SIZE;
    for (uint32_t p = 8; p <= 11; p++) rec->pages.flags[p] |= PAGE_COLOUR_TABLE_CHANGED;
    rec->state = PSTATE_RUNNING;
    if (kernel_hook.process_started) kernel_hook.process_started(rec);
    restore_current(previous);
    return 0;
}

process_record* create_process_from_code(const char* code, const char* name, const char* prog,
                                         const char* location) {
    snprintf(velt_debug_string, sizeof(velt_debug_string), "creating process %lld %s %s\n",
             (long long)process_id, name ? name : "", prog ? prog : "");
    velt_debug(velt_debug_string);
    int64_t id = process_id++;
    if (process_count >= MAX_PROCESSES || removing_all) return nullptr;
    process_record* rec = pool_take();
    if (!rec) return nullptr;
    int slot = process_count++;
    process_slots[slot] = rec;
    if (init_process(rec, id, code, name, prog, location) != 0) {
        process_count--;
        process_slots[process_count] = nullptr;
        pool_release(rec);
        return nullptr;
    }
    rec->table_index = slot;
    index_id(rec);
    return rec;
}

void destroy_print_buffer(process_record* rec) {
    if (!rec) return;
    free(rec->print.text);
    rec->print.text = nullptr;
}

// --- Script states freed in pieces ------------------------------------------------------------

// The states of removed processes, freed a bounded number of objects a frame (freeing a heap
// of a million objects takes longer than a frame).
constexpr int CLOSING_CAPACITY = 16;
constexpr int CLOSE_OBJECTS_PER_FRAME = 100000;
constexpr int64_t CLOSE_AT_ONCE_BYTES = 1 << 20;
static lua_State* closing_states[CLOSING_CAPACITY];
static int closing_count = 0;

// Frees up to `objects` objects of the closing states, oldest first; none of their frees is
// charged to any process.
static void step_closing_states(int64_t objects) {
    process_record* previous = cproc;
    cproc = nullptr;
    while (closing_count > 0 && objects > 0) {
        int n = (int)std::min<int64_t>(objects, INT_MAX);
        objects -= n;
        if (!lua_closestep(closing_states[0], n)) break;
        closing_count--;
        memmove(closing_states, closing_states + 1, sizeof(closing_states[0]) * closing_count);
    }
    cproc = previous;
}

static bool defer_closing(lua_State* L) {
    if (closing_count == CLOSING_CAPACITY) step_closing_states(INT_MAX);
    if (closing_count == CLOSING_CAPACITY) return false;
    closing_states[closing_count++] = L;
    return true;
}

void free_closing_states(bool all) {
    if (all) {
        while (closing_count > 0) step_closing_states(INT_MAX);
    } else {
        step_closing_states(CLOSE_OBJECTS_PER_FRAME);
    }
}

void free_process(process_record* rec) {
    if (!rec) return;
    if (app.exclusive_process == rec->id) app.exclusive_process = 0;
    if (app.audio_owner == rec->id) app.audio_owner = 0;
    if (rec->L) {
        process_record* previous = cproc;
        set_current_process(rec);
        // Finalisers run while the state closes: they must not find it open.
        lua_State* L = rec->L;
        rec->L = nullptr;
        // The close handlers and finalisers that run now (a to-be-closed variable left open by
        // an error runs its handler here a second time) have no slice of their own: together
        // they get one frame's budget before they end with the overrun error, like code that
        // cannot yield. Nothing of theirs is charged to whoever removes the process.
        int32_t saved_cycles = cpu_cycles, saved_max = cpu_cycles_max, saved_super = cpu_superyielding;
        cpu_cycles_max = 0;
        cpu_cycles = NATIVE_OVERRUN_BOUND - FRAME_CYCLE_BUDGET;
        cpu_superyielding = 0;
        lua_closebegin(L);
        // A big heap is freed over the next frames; its bytes are nobody's from here on.
        if (rec->heap_bytes <= CLOSE_AT_ONCE_BYTES || !defer_closing(L)) lua_closestep(L, INT_MAX);
        rec->heap_bytes = 0;
        cpu_cycles = saved_cycles;
        cpu_cycles_max = saved_max;
        cpu_superyielding = saved_super;
        restore_current(previous == rec ? nullptr : previous);
    }
    page_table& pt = rec->pages;
    uint8_t* initial = initial_block(rec);
    for (uint32_t b = 0; b < PAGE_BLOCKS; b++) {
        if (!pt.owned[b]) continue;
        for (uint32_t k = 0; k < PAGE_BLOCK; k++) {
            uint8_t* own = pt.owned[b][k];
            bool in_initial = initial && own >= initial && own < initial + INITIAL_PAGES * PAGE_SIZE;
            if (!in_initial) free(own);
        }
    }
    free_page_tables(pt);
    if (initial) clear_to_fresh_pages(initial, INITIAL_PAGES * PAGE_SIZE);
    clear_to_fresh_pages(&pt, sizeof(pt));
    rec->page_bytes = 0;
    free(rec->sprites);
    rec->sprites = nullptr;
    destroy_print_buffer(rec);
    destroy_buffer(rec->message_queue);
    rec->message_queue = nullptr;
    free(rec->code);
    rec->code = nullptr;
    if (kernel_hook.process_gone) kernel_hook.process_gone(rec);
    rec->download_bytes = nullptr;
}

static void remove_at(int i) {
    process_record* rec = process_slots[i];
    // Gone for everybody from here on; a finaliser that kills it again only marks it.
    rec->kill_pending = 1;
    if (rec->parent_id != 0) {
        process_record* parent = get_process(rec->parent_id);
        if (parent) {
            char text[256];
            snprintf(text, sizeof(text), "{event=\"child_completed\",_from=2,_sent_t=%lld,proc_id=%lld}",
                     (long long)os_get_time(), (long long)rec->id);
            send_process_message_string(parent, text);
        }
    }
    rec->slice_depth++;
    free_process(rec);
    rec->slice_depth--;
    // The record may have moved while its script state closed; find it again.
    i = index_of(rec);
    if (i < 0) return;
    for (int j = i; j < process_count - 1; j++) process_slots[j] = process_slots[j + 1];
    process_count--;
    process_slots[process_count] = nullptr;
    renumber_from(i);
    unindex_id(rec);
    if (cproc == rec) cproc = nullptr;
    pool_release(rec);
}

void kill_process_by_index(int i) {
    if (i < 0 || i >= process_count) return;
    process_record* rec = process_slots[i];
    if (rec->slice_depth > 0) {
        // Its script state is still running below us: remove it once its slice returns.
        rec->kill_pending = 1;
        // When it is the running process, its slice ends at the next instruction.
        if (rec == cproc) cpu_superyielding = SUPERYIELD;
        return;
    }
    remove_at(i);
}

void kill_process(process_record* rec) {
    if (rec) kill_process_by_index(index_of(rec));
}

void kill_process_by_id(int64_t id) { kill_process_by_index(index_of(find_id(id))); }

void remove_killed_processes() {
    for (int i = process_count - 1; i >= 0; i--) {
        if (i < process_count && process_slots[i]->kill_pending && process_slots[i]->slice_depth == 0) remove_at(i);
    }
}

static int64_t current_process_id() { return cproc ? cproc->id : 0; }

void processes_init() {
    velt_log_process_id = current_process_id;
    removing_all = true;
    while (process_count > 0) {
        process_slots[process_count - 1]->slice_depth = 0;
        remove_at(process_count - 1);
    }
    removing_all = false;
    free_closing_states(true);
    process_id = 1;
    cproc = nullptr;
    if (kernel_hook.processes_cleared) kernel_hook.processes_cleared();
}

void restart_process(process_record* rec) {
    if (!rec) return;
    char* code = strdup(rec->code ? rec->code : "");
    char name[64], prog[256], location[64];
    memcpy(name, rec->name, sizeof(name));
    memcpy(prog, rec->prog, sizeof(prog));
    memcpy(location, rec->sandbox_location, sizeof(location));
    if (app.audio_owner == rec->id) {
        os_lock_audio();
        if (kernel_hook.stop_all_audio) kernel_hook.stop_all_audio();
        os_unlock_audio();
    }
    app.audio_owner = -2;
    int64_t id = rec->id;
    rec->slice_depth++;  // a finaliser that kills it while it closes only marks it
    free_process(rec);
    rec->slice_depth--;
    // init_process clears the record; its place in the tables stays (finalisers run by the
    // close above may have moved it).
    int slot = rec->table_index;
    if (init_process(rec, id, code, name, prog, location) == 0) {
        rec->table_index = slot;
        // The fresh record starts with the garbage collector in incremental mode.
        page_owned(rec->pages, ADDR_PROCESS_FLAGS >> 12)[ADDR_PROCESS_FLAGS & 0xFFF] = 1;
    } else {
        // The stored code no longer compiles: the slot cannot be kept.
        rec->table_index = slot;
        int i = index_of(rec);
        unindex_id(rec);
        if (i >= 0) {
            for (int j = i; j < process_count - 1; j++) process_slots[j] = process_slots[j + 1];
            process_count--;
            process_slots[process_count] = nullptr;
            renumber_from(i);
            if (cproc == rec) cproc = nullptr;
            pool_release(rec);
        }
    }
    free(code);
}

int count_recent_sandboxed_processes() {
    uint64_t now = os_get_time();
    int n = 0;
    for (int i = 0; i < process_count; i++) {
        if (process_slots[i]->sandbox_location[0] && now - process_slots[i]->created_ms < 10000) n++;
    }
    return n;
}

// --- Messages -----------------------------------------------------------------------------------

static int32_t queue_append(process_record* rec, const void* bytes, int32_t len) {
    if (!rec) return 0;
    if (len < 0) return 0;
    pbuffer* q = rec->message_queue;
    if (!q) {
        // Made with the first message, and grown as messages come.
        q = create_buffer_2(std::min<int32_t>(len + 4, MESSAGE_QUEUE_INITIAL), BUFFER_TAG_MESSAGE);
        if (!q) return 0;
        rec->message_queue = q;
        rec->queue_read = 0;
    }
    if (q->length - rec->queue_read > MESSAGE_QUEUE_LIMIT) return 0;
    if ((int64_t)q->length + 4 + len > PBUFFER_MAX_LENGTH) return 0;
    int32_t before = q->length;
    q->cursor = before;
    // A message that does not fit whole is not queued at all: half an entry would make the
    // reader drop every message after it.
    if (bwrite_uint32((uint32_t)len, q) != 4 || (len > 0 && bwrite(bytes, 1, len, q) != len)) {
        q->length = before;
        q->cursor = before;
        return 0;
    }
    return len + 4;
}

int32_t send_process_message(process_record* rec, const pbuffer* msg) {
    if (!rec || !msg) return 0;
    return queue_append(rec, msg->data, msg->length);
}

int32_t send_process_message_string(process_record* rec, const char* text) {
    if (!rec || !text) return 0;
    return queue_append(rec, text, (int32_t)strlen(text));
}

pbuffer* read_process_message(process_record* rec, pbuffer* dst) {
    if (!rec || !rec->message_queue) return nullptr;
    pbuffer* q = rec->message_queue;
    int32_t left = q->length - rec->queue_read;
    if (left < 4) {
        bclear(q);
        rec->queue_read = 0;
        return nullptr;
    }
    const uint8_t* p = q->data + rec->queue_read;
    uint32_t len = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
    if (len > (uint32_t)(left - 4)) {
        // A damaged entry: nothing after it can be trusted.
        bclear(q);
        rec->queue_read = 0;
        return nullptr;
    }
    pbuffer* out = dst;
    if (!out) {
        if (!rpm_buffer) rpm_buffer = create_buffer_2(len, BUFFER_TAG_MESSAGE);
        out = rpm_buffer;
    }
    bclear(out);
    bwrite(p + 4, 1, len, out);
    to_cstr(out);
    rec->queue_read += 4 + (int32_t)len;
    if (rec->queue_read >= q->length) {
        bclear(q);
        rec->queue_read = 0;
    } else if (rec->queue_read >= 65536 && rec->queue_read * 2 >= q->length) {
        // Drop the bytes already read once they make up most of the queue.
        int32_t keep = q->length - rec->queue_read;
        bcrop(q, rec->queue_read, keep);
        rec->queue_read = 0;
    }
    q->cursor = q->length;
    return out;
}

// Builds {event="...",content="TEXT"<tail>} in a fresh buffer.
static pbuffer* event_with_content(const char* event, const char* text, const char* tail) {
    pbuffer* b = create_buffer_2(1024, BUFFER_TAG_MESSAGE);
    bappend_str(b, "{event=\"");
    bappend_str(b, event);
    bappend_str(b, "\",content=\"");
    bappend_str_escaped(b, text);
    bappend_str(b, "\"");
    bappend_str(b, tail);
    bappend_str(b, "}");
    return b;
}

void report_error(const char* text) {
    if (!text) text = "unknown error";
    char tail[160];
    snprintf(tail, sizeof(tail), ",_from=%lld,_sent_t=%lld,_flags=%d", (long long)(cproc ? cproc->id : 0),
             (long long)os_get_time(), (int)(cproc ? cproc->flags : 0));
    pbuffer* b = event_with_content("report_error", text, tail);
    process_record* wm = get_process(3);
    if (wm) send_process_message(wm, b);
    destroy_buffer(b);
    snprintf(velt_debug_string, sizeof(velt_debug_string), "SYSTEM ERROR: %s\n", text);
    velt_debug(velt_debug_string);
}

void notify(const char* text) {
    process_record* wm = get_process(3);
    if (!wm) return;
    pbuffer* b = event_with_content("user_notification", text ? text : "", "");
    send_process_message(wm, b);
    destroy_buffer(b);
}

// --- The allocator ------------------------------------------------------------------------------

// Kept out of line, so that the allocator's common path stays short.
[[gnu::noinline]] static void* free_block(uint64_t* header) {
    if (header) {
        if (cproc) cproc->heap_bytes -= (int64_t)*header;
        free(header);
    }
    return nullptr;
}

[[gnu::noinline]] static void* refuse_block(int final_attempt, bool by_limit) {
    // A block refused by the limit is retried at once, without the emergency collection.
    if (by_limit && !final_attempt) lua_noemergencygc = 1;
    if (final_attempt) {
        if (cproc) cproc->out_of_memory = 1;
        cpu_superyielding = SUPERYIELD;
    }
    return nullptr;
}

// Whether growing a block of rec's by delta accounted bytes takes it past its memory limit.
static bool passes_limit(const process_record* rec, size_t accounted_size, uint64_t delta) {
    int64_t after = rec->heap_bytes + (int64_t)delta + rec->page_bytes - rec->heap_baseline + PROCESS_MEMORY_SLACK;
    if (rec->download_bytes) after += rec->download_bytes->load(std::memory_order_relaxed);
    return accounted_size >= (size_t)PROCESS_MEMORY_LIMIT || after > PROCESS_MEMORY_LIMIT;
}

// The size from which the next new block is wanted zeroed (0: none), and whether one was made.
static size_t zeroed_block_size = 0;
static bool zeroed_block_made = false;

void request_zeroed_block(size_t min_size) {
    zeroed_block_size = min_size;
    zeroed_block_made = false;
}

bool end_zeroed_block_request() {
    bool made = zeroed_block_made;
    zeroed_block_size = 0;
    zeroed_block_made = false;
    return made;
}

[[gnu::noinline]] static void* grow_block(void* block, size_t new_size, int final_attempt, size_t accounted_size) {
    uint64_t* header = block ? (uint64_t*)block - 1 : nullptr;
    // The charge of spend_cpu, made here on the allocator's hot path.
    int64_t cycles = (int64_t)cpu_cycles + (int64_t)(new_size >> 7) + 4;
    cpu_cycles = cycles < INT32_MAX ? (int32_t)cycles : INT32_MAX;
    process_record* rec = cproc;
    uint64_t old_accounted = header ? *header : 0;
    // One allocation may not take a process past its memory limit: it fails like any other,
    // without the emergency collection (of the whole heap in one go, which would hold the
    // machine); the process is then out of memory.
    if (rec && accounted_size > old_accounted && passes_limit(rec, accounted_size, accounted_size - old_accounted))
        return refuse_block(final_attempt, true);
    if (new_size >= SIZE_MAX / 2) return refuse_block(final_attempt, true);
    size_t bytes = new_size + sizeof(uint64_t);
    bool zeroed = !header && zeroed_block_size && new_size >= zeroed_block_size;
    uint64_t* grown = (uint64_t*)(header ? realloc(header, bytes) : zeroed ? calloc(1, bytes) : malloc(bytes));
    if (!grown) return refuse_block(final_attempt, false);
    if (zeroed) zeroed_block_size = 0, zeroed_block_made = true;
    *grown = accounted_size;
    if (rec) rec->heap_bytes += (int64_t)accounted_size - (int64_t)old_accounted;
    return grown + 1;
}

void* l_alloc(void*, void* block, size_t, size_t new_size, int final_attempt, size_t accounted_size) {
    if (new_size == 0) return free_block(block ? (uint64_t*)block - 1 : nullptr);
    return grow_block(block, new_size, final_attempt, accounted_size);
}

// --- Script functions ---------------------------------------------------------------------------

int lua54_pid(lua_State* L) {
    lua_pushinteger(L, cproc ? cproc->id : 0);
    return 1;
}
