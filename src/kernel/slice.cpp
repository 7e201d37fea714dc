// Time slices: budgets, debt, the memory limit and what happens when a slice ends.
#include "kernel/slice.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/api.h"
#include "kernel/hooks.h"
#include "base/machine.h"
#include "base/memmap.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "lauxlib.h"
#include "lua.h"
#include "lstate.h"
#include "platform/host.h"
#include "platform/window.h"

int32_t cpu_cycles = 0;
int32_t cpu_cycles_max = FRAME_CYCLE_BUDGET;
int32_t cpu_superyielding = 0;
uint32_t total_frame_cycles = 0;
uint32_t total_frame_cycles_since_wm_flip = 0;

uint32_t get_total_frame_cycles() { return total_frame_cycles; }
uint32_t get_total_frame_cycles_since_wm_flip() { return total_frame_cycles_since_wm_flip; }

void spend_cpu(int64_t n) {
    if (n < 0) return;
    // Saturate rather than wrap: a huge charge simply ends the slice. The count itself may be
    // anything from INT32_MIN (debt paid in advance is never negative, but be safe) upward.
    int64_t room = (int64_t)INT32_MAX - cpu_cycles;
    int64_t charge = std::max<int64_t>(n, 1);
    cpu_cycles = charge >= room ? INT32_MAX : (int32_t)(cpu_cycles + charge);
}

const char* const NATIVE_OVERRUN_MESSAGE = "too many cycles in non-yieldable code";

bool charge_native_work(int64_t n) {
    if (n > 0) {
        int64_t room = (int64_t)INT32_MAX - cpu_cycles;
        cpu_cycles = n >= room ? INT32_MAX : (int32_t)(cpu_cycles + n);
    }
    // The interpreter's own test, so that native work and code that cannot yield share one bound.
    return lua_chargework(nullptr, 0) != 0;
}

void raise_native_overrun(lua_State* L) {
    luaL_error(L, "%s", NATIVE_OVERRUN_MESSAGE);
    __builtin_unreachable();
}

void charge_native_work_or_raise(lua_State* L, int64_t n) {
    if (charge_native_work(n)) raise_native_overrun(L);
}

bool native_work_should_pause(lua_State* L) {
    return (cpu_cycles | cpu_superyielding) > cpu_cycles_max && lua_isyieldable(L);
}

int native_work_pause(lua_State* L, lua_KContext ctx, lua_KFunction k) {
    L->yielded_to_escape_slice = 1;
    return lua_yieldk(L, 0, ctx, k);
}

static bool fast_mode() { return config.video_process_id > 3 && app.window_created == 0; }

int32_t frame_budget() { return fast_mode() ? FAST_CYCLE_BUDGET : FRAME_CYCLE_BUDGET; }

void kernel_fatal_exit(int status) {
    // The program ends here: changed cartridges are written back even for a process that
    // owned the machine.
    app.exclusive_process = 0;
    if (kernel_hook.writing_back) kernel_hook.writing_back();
    fflush(stdout);
    exit(status);
}

void prepare_processes_for_frame() {
    for (int i = 0; i < get_process_count(); i++) {
        process_record* p = get_process_by_index(i);
        p->allotted_last_frame = p->allotted_this_frame;
        p->allotted_this_frame = 0;
        if (p->flipped) {
            p->fps = 60 / (p->frames_since_flip + 1);
            p->flipped = 0;
            p->frames_since_flip = 0;
            p->period_cycles = p->flip_cycles;
            p->flip_cycles = 0;
            if (p->id == 3) total_frame_cycles_since_wm_flip = 0;
        } else {
            p->frames_since_flip += 1;
        }
    }
    total_frame_cycles = 0;
    // Work charged outside any slice (collections at the top level) is nobody's debt.
    cpu_cycles = 0;
}

static bool boot_delay_passed() {
    double boot_ms = (double)(app.frames_run - app.boot_frames_base) * 16.6;
    return boot_ms >= (double)BOOT_DELAY_MS;
}

// Cuts a traceback where the system's own frames begin.
static void report_traceback(const char* traceback) {
    static char cut[16384];
    snprintf(cut, sizeof(cut), "%s", traceback ? traceback : "");
    char* sys = strstr(cut, "/system/");
    if (sys) *sys = 0;
    report_error(cut);
}

// The root and the process on screen cannot be replaced while the machine runs: an error
// in either ends the program.
static const char* fatal_error_title(const process_record* rec) {
    if (rec->id == ROOT_PROCESS_ID) return "** RUNTIME ERROR IN KERNEL **";
    if (rec->id == config.video_process_id) return "** RUNTIME ERROR IN WINDOW MANAGER **";
    return nullptr;
}

[[noreturn]] static void exit_on_fatal_error(const char* title, const char* message) {
    printf("%s\n%s\n", title, message);
    snprintf(velt_debug_string, sizeof(velt_debug_string), "%s\n", title);
    velt_debug(velt_debug_string);
    snprintf(velt_debug_string, sizeof(velt_debug_string), "%s\n", message);
    velt_debug(velt_debug_string);
    kernel_fatal_exit(1);
}

// The error message and the traceback of a thread that a slice ended with an error. Both are
// made in protected mode on that thread (which is dead, but keeps its frames for the traceback,
// one level below this call), since turning a number into text or building the traceback may
// run out of memory, and no error handler is left to catch that.
static int describe_error(lua_State* L) {
    take_job(L);
    lua_pushvalue(L, 1);
    const char* m = lua_tostring(L, -1);
    if (!m) lua_pushstring(L, "(error object is not a string)");
    luaL_traceback(L, L, nullptr, 1);
    return 2;
}

static void handle_slice_error(process_record* rec, int status) {
    lua_State* L = rec->L;
    // Copies, since the state may close before they are last used; nothing below can raise.
    char* message = nullptr;
    char* traceback = nullptr;
    if (lua_checkstack(L, 4)) {
        int top = lua_gettop(L);
        lua_pushvalue(L, -1);
        if (protected_call(L, describe_error, nullptr, 1) == LUA_OK) {
            message = strdup(lua_tostring(L, -2));
            traceback = strdup(lua_tostring(L, -1));
        } else if (const char* m = lua_tostring(L, -1)) {
            message = strdup(m);
        }
        lua_settop(L, top);
    }
    const char* shown = message ? message : "(error object is not a string)";
    rec->state = PSTATE_ERROR;
    snprintf(velt_debug_string, sizeof(velt_debug_string), "run_process_slice() for process %ld error: %d %s\n",
             (long)rec->id, status, shown);
    velt_debug(velt_debug_string);
    snprintf(velt_debug_string, sizeof(velt_debug_string), "--------\ntraceback:\n%s\n---------\n",
             traceback ? traceback : "");
    velt_debug(velt_debug_string);
    report_error("*runtime error");
    report_error(shown);
    report_traceback(traceback ? traceback : "");
    free(traceback);

    const char* fatal = fatal_error_title(rec);
    if (fatal) exit_on_fatal_error(fatal, shown);
    free(message);
    if (rec->id >= 4) kill_process(rec);
}

// Whether a record known from before a slice is still the live process with this id: records
// never move, a removed one is cleared and ids are never reused, so this is get_process(id) ==
// rec without the look-up.
static bool still_there(const process_record* rec, int64_t id) {
    return rec && rec->id == id && !rec->kill_pending;
}

// Collector steps a held process's slice makes (each about 50,000 units of the collector's
// work), and the cycles it needs to have seen end.
constexpr int LIMIT_COLLECT_STEPS = 8;
constexpr int64_t LIMIT_COLLECT_CYCLES = 2;

static bool over_memory_limit(const process_record* rec) {
    return rec->heap_bytes + rec->page_bytes - rec->heap_baseline + PROCESS_MEMORY_SLACK > PROCESS_MEMORY_LIMIT;
}

// A slice of a process held past its memory limit: a piece of the full collection that tells
// whether it is out of memory (the cycle under way when it was held may have kept garbage,
// so the one after it must end too), made in the process's own slice.
static void collect_over_limit(process_record* rec, int32_t cap) {
    if (rec->limit_collecting == 1) {
        // In steps of the usual size, whatever the script set.
        lua_gc(rec->L, LUA_GCINC, 200, 100, 13);
        rec->limit_collecting = 2;
    }
    for (int i = 0; i < LIMIT_COLLECT_STEPS && rec->limit_cycles_ended < LIMIT_COLLECT_CYCLES; i++) {
        if (lua_gc(rec->L, LUA_GCSTEP, 0)) rec->limit_cycles_ended++;
    }
    cpu_cycles = std::max(cpu_cycles, cap);
}

// A process's collector starts each cycle, whatever its pause, no later than halfway from what
// the last cycle kept to the memory limit: with the usual pause a heap that keeps more than
// half the limit would reach it with its garbage, and an allocation the limit refuses gets no
// emergency collection. The limit is given in the collector's own bytes, from the room the
// limit leaves now.
static void set_collector_soft_limit(process_record* rec) {
    int64_t used = rec->heap_bytes + rec->page_bytes - rec->heap_baseline + PROCESS_MEMORY_SLACK;
    int64_t total = (int64_t)lua_gc(rec->L, LUA_GCCOUNT) * 1024 + lua_gc(rec->L, LUA_GCCOUNTB);
    int64_t mark = total + PROCESS_MEMORY_LIMIT - used;
    lua_setgcsoftlimit(rec->L, (size_t)std::max<int64_t>(mark, 1));
}

int32_t run_process_slice(process_record* rec, double fraction) {
    if (!rec) return 0;
    if (rec->id >= 4 && app.exclusive_process != 0 && app.exclusive_process != rec->id) return 0;
    if (!config.headless && config.video_process_id <= 3 && rec->id >= 4 && !boot_delay_passed()) return 0;
    if (rec->state != PSTATE_RUNNING || !rec->L || rec->kill_pending) return 0;

    int32_t base = frame_budget();
    int64_t cap = std::min<int64_t>((int64_t)base - total_frame_cycles, (int64_t)(base * fraction));
    if (cap < 1) return 0;

    process_record* saved = cproc;
    int64_t saved_id = saved ? saved->id : 0;
    int32_t saved_cycles = cpu_cycles, saved_max = cpu_cycles_max, saved_super = cpu_superyielding;
    set_current_process(rec);

    cpu_cycles_max = (int32_t)cap;
    rec->allotted_this_frame += (uint32_t)cap;
    int64_t debt = std::min<int64_t>(rec->cycle_debt, fast_mode() ? FAST_DEBT_CAP : DEBT_CAP);
    int64_t paid = std::max<int64_t>(std::min<int64_t>(cap, debt), 0);
    cpu_cycles = (int32_t)paid;
    rec->cycle_debt = (uint32_t)(debt - paid);
    cpu_superyielding = 0;

    rec->slice_depth++;
    int nresults = 0;
    int status = LUA_YIELD;
    if (rec->limit_collecting) {
        collect_over_limit(rec, (int32_t)cap);
    } else {
        set_collector_soft_limit(rec);
        // Resuming from the caller's thread keeps the C-stack guard across nested slices.
        status = lua_resume(rec->L, saved ? saved->L : nullptr, 0, &nresults);
    }
    rec->slice_depth--;

    int64_t used = (uint32_t)cpu_cycles;
    if (used > cap) {
        rec->cycle_debt += (uint32_t)(used - cap);
        used = cap;
    }
    cpu_cycles = saved_cycles;
    cpu_cycles_max = saved_max;
    // A caller that was killed or restarted meanwhile stops at its next instruction.
    cpu_superyielding = (saved && (saved->kill_pending || saved->restart_pending)) ? SUPERYIELD : saved_super;

    rec->flip_cycles += (uint32_t)used;
    if (still_there(saved, saved_id)) saved->flip_cycles += (uint32_t)used;
    total_frame_cycles += (uint32_t)used;
    total_frame_cycles_since_wm_flip += (uint32_t)used;

    // A memory error that reached the top of the slice is the process running out of memory,
    // whichever allocation site raised it.
    if (status == LUA_ERRMEM) rec->out_of_memory = 1;
    // Past the limit, it is held while a full collection is made over its next slices; only
    // a process still past it then is out of memory.
    bool over = over_memory_limit(rec);
    if (!rec->out_of_memory && !rec->limit_collecting && over) rec->limit_collecting = 1;
    if (rec->limit_collecting && rec->limit_cycles_ended >= LIMIT_COLLECT_CYCLES) {
        rec->limit_collecting = 0;
        rec->limit_cycles_ended = 0;
        if (over) rec->out_of_memory = 1;
    }
    bool over_limit = rec->out_of_memory != 0;
    if (over_limit) {
        rec->state = PSTATE_FINISHED;
        report_error("*runtime error: out of memory");
        // Nothing runs without the root.
        if (rec->id == ROOT_PROCESS_ID) exit_on_fatal_error("** RUNTIME ERROR IN KERNEL **", "out of memory");
        kill_process(rec);
    } else if (rec->kill_pending) {
        kill_process(rec);
    } else if (rec->restart_pending && rec->slice_depth == 0) {
        restart_process(rec);
    } else if (status == LUA_YIELD) {
        if (nresults > 0) lua_pop(rec->L, nresults);
    } else if (status == LUA_OK) {
        rec->state = PSTATE_FINISHED;
        kill_process(rec);
    } else {
        handle_slice_error(rec, status);
    }

    cproc = still_there(saved, saved_id) ? saved : nullptr;
    return (int32_t)used;
}

void update_processes_after_frame() {
    bool skip_prune = false;
    uint64_t now = os_get_time();
    for (int i = 0; i < get_process_count(); i++) {
        process_record* p = get_process_by_index(i);
        if (p->flipped) p->clock_frames += std::min<uint32_t>(p->frames_since_flip + 1, 3);
        if (app.battery_saver_active) p->clock_frames += std::min<uint32_t>(p->frames_since_flip + 1, 3);
        if (p->state == PSTATE_RUNNING && p->L) {
            set_current_process(p);
            uint8_t* page = p->pages.page[ADDR_PROCESS_FLAGS >> 12];
            if (page && (page[ADDR_PROCESS_FLAGS & 0xFFF] & PFLAG_INCREMENTAL_GC))
                lua_gc(p->L, LUA_GCINC, 107, 18, 0);
        }
        if (p->hold_prune_ms && now < (uint64_t)p->hold_prune_ms + 100) skip_prune = true;
    }
    // Out of memory, or marked for removal while its slice ran: removed now, from the last
    // slot to the first.
    for (int i = get_process_count() - 1; i >= 0; i--) {
        process_record* p = get_process_by_index(i);
        if (!p) continue;
        if (p->out_of_memory) {
            if (p->id == ROOT_PROCESS_ID) exit_on_fatal_error("** RUNTIME ERROR IN KERNEL **", "out of memory");
            kill_process_by_index(i);
        } else if (p->kill_pending && p->slice_depth == 0) {
            kill_process_by_index(i);
        }
    }
    // The window manager asks for the mouse lock through its own memory.
    if (process_record* wm = get_process(3)) {
        os_lock_mouse_cursor(peek_proc(wm, ADDR_MOUSE_LOCK_FLAGS), peek_proc(wm, ADDR_MOUSE_LOCK),
                             peek_proc(wm, ADDR_MOUSE_POINTER_SCALE));
    }
    free_closing_states(false);
    // The mixer's copy of the audio owner's written pages, the sockets and the mounts.
    if (kernel_hook.slices_done) kernel_hook.slices_done(!skip_prune);
    process_record* first = get_process_by_index(0);
    if (first) {
        set_current_process(first);
    } else {
        cproc = nullptr;
        // Nothing is left to run: a headless run has nothing more to show.
        if (config.headless) app.quit_requested = 1;
    }
}

// --- Script functions ---------------------------------------------------------------------------

int lua54_run_process_slice(lua_State* L) {
    int64_t id = q64_intp(L, 1, 0);
    int is_number = 0;
    double fraction = lua_tonumberx(L, 2, &is_number);
    if (!is_number || !(fraction > 0.0)) return 0;  // also NaN
    fraction = std::min(fraction, 1.0);
    process_record* rec = get_process(id);
    if (!rec) {
        lua_pushboolean(L, 1);
        lua_pushinteger(L, 0);
        lua_pushstring(L, "_run_process_slice: bad process id");
        return 3;
    }
    if (!rec->L || rec->slice_depth > 0) {
        // A process whose slice is already on the stack (the caller or one of its callers)
        // cannot be resumed again.
        lua_pushboolean(L, 1);
        lua_pushinteger(L, 0);
        lua_pushstring(L, "_run_process_slice: invalid process");
        return 3;
    }
    if (rec->flipped) {
        lua_pushboolean(L, 1);
        lua_pushinteger(L, 0);
        return 2;
    }
    int32_t used = run_process_slice(rec, fraction);
    if (!still_there(rec, id) || !rec->L) {
        lua_pushboolean(L, 1);
        lua_pushinteger(L, 0);
        lua_pushstring(L, "_run_process_slice: could not find lua state");
        return 3;
    }
    bool done = lua_status(rec->L) != LUA_YIELD || rec->flipped;
    lua_pushboolean(L, done);
    lua_pushnumber(L, (double)used / (double)frame_budget());
    return 2;
}

int lua54_flip(lua_State* L) {
    int64_t skip = q64_intp(L, 1, 0);
    if (cproc && !(skip & 1)) {
        uint8_t* page = cproc->pages.page[ADDR_PROCESS_FLAGS >> 12];
        if (page) page[ADDR_PROCESS_FLAGS & 0xFFF] &= (uint8_t)~PFLAG_HOLD_FRAME;
        cproc->flipped = 1;
        cproc->hold_prune_ms = 0;
    }
    cpu_superyielding = SUPERYIELD;
    return 0;
}

int lua54_halt(lua_State*) {
    if (cproc) cproc->state = PSTATE_FINISHED;
    cpu_superyielding = SUPERYIELD;
    return 0;
}

int lua54_yielded_to_escape_slice(lua_State* L) {
    if (lua_gettop(L) == 1 && lua_type(L, 1) == LUA_TNUMBER) {
        L->yielded_to_escape_slice = lua_tonumber(L, 1) != 0 ? SUPERYIELD : 0;
        return 0;
    }
    lua_pushboolean(L, L->yielded_to_escape_slice != 0);
    return 1;
}
