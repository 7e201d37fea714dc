// Script functions through which the system scripts manage processes and the machine:
// creation, removal and restart, the process list, working directories and paths,
// mounts, settings, machine signals, the host window, and buttons.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "storage/capture.h"
#include "gfx/draw_state.h"
#include "gfx/video.h"
#include "kernel/api.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "net/sockets.h"
#include "platform/host.h"
#include "platform/window.h"
#include "storage/pdisk.h"
#include "userdata/userdata.h"

namespace {

constexpr uint32_t REPEAT_NEVER = 0xFFFFFFFF;

// What making a process costs its maker: a fresh script state with every library and the API
// in it, and the 136 pages of its memory the wave tables fill (measured at 0.4-3 ms of host
// time, most of it the first touch of fresh memory), then its code compiled at the rate of
// `load`. A slice makes at most two processes beyond its budget.
constexpr int64_t PROCESS_CREATION_CYCLES = FRAME_CYCLE_BUDGET / 2;
constexpr int64_t CODE_COMPILE_CYCLES_PER_BYTE = 6;
// Removing a process frees its whole heap; charged by its heap bytes.
constexpr int64_t HEAP_BYTES_FREED_PER_CYCLE = 4;

int64_t creation_cycles(size_t code_length) {
    return PROCESS_CREATION_CYCLES + (int64_t)code_length * CODE_COMPILE_CYCLES_PER_BYTE;
}

// A number truncated toward zero; a numeric string converts first; anything else gives 0.
int64_t truncated(lua_State* L, int idx) {
    if (lua_isinteger(L, idx)) return lua_tointeger(L, idx);
    if (!lua_isnumber(L, idx)) return 0;
    double d = std::trunc(lua_tonumber(L, idx));
    if (!(d > -9.2e18 && d < 9.2e18)) return 0;
    return (int64_t)d;
}

// The script integer value of a number; 0 for anything else, fractions included.
int64_t exact_integer(lua_State* L, int idx) {
    if (lua_type(L, idx) != LUA_TNUMBER) return 0;
    int ok = 0;
    lua_Integer v = lua_tointegerx(L, idx, &ok);
    return ok ? v : 0;
}

bool is_string(lua_State* L, int idx) { return lua_type(L, idx) == LUA_TSTRING; }

// A counter of claims on the audio: later claims rank higher. Never reset.
uint32_t audio_priority_counter = 1;

void copy_text(char* dst, const char* src, size_t room) {
    size_t n = strnlen(src, room - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
}

double process_priority(process_record* rec) {
    if (rec->id <= 3) return 0;
    if (config.video_process_id > 3 || rec->id == app.exclusive_process) return 10;
    if (rec->high_priority) return rec->base_priority * 2;
    uint8_t flags = peek_proc(rec, ADDR_PROCESS_FLAGS);
    if ((flags & PFLAG_LOW_PRIORITY) && !(flags & PFLAG_INCREMENTAL_GC)) return rec->base_priority * 0.1;
    return rec->base_priority;
}

void push_string_field(lua_State* L, const char* key, const char* value) {
    lua_pushstring(L, value);
    lua_setfield(L, -2, key);
}

// A delay byte of the caller's memory as a repeat counter: 0 gives dflt, 255 never.
uint32_t repeat_delay(uint32_t address, uint32_t dflt) {
    uint32_t v = peek(address);
    if (v == 0) return dflt;
    if (v >= 255) return REPEAT_NEVER;
    return v;
}

// Whether button i of the caller was just pressed or its repeat falls due.
bool button_fires(process_record* rec, int i) {
    uint8_t cur = rec->buttons_cur[i];
    uint8_t prev = rec->buttons_prev[i];
    uint32_t& counter = rec->buttons_repeat[i];
    if (cur >= 64 && prev < 64) {
        counter = repeat_delay(ADDR_BTNP_DELAY, 30);
        return true;
    }
    if (cur >= 64 && prev >= 64) {
        if (counter == REPEAT_NEVER) return false;
        if (counter >= 1) counter--;
        if (counter == 0) {
            counter = repeat_delay(ADDR_BTNP_REPEAT, 8);
            return true;
        }
    }
    return false;
}

void mount_desktop() {
    char host_path[VELT_PATH_MAX];
    velt_prefix_with_desktop_path("orvalune_desktop", host_path);
    if (host_path[0]) velt_mkdir(host_path);
    if (host_path[0] && host_directory_exists(host_path)) {
        mount_host_path("/desktop/host", host_path);
    } else {
        notify("could not mount desktop");
    }
}

}  // namespace

// --- Processes ----------------------------------------------------------------------------------

int lua54_create_process_from_code(lua_State* L) {
    if (!is_string(L, 1) || !is_string(L, 2) || !is_string(L, 3)) return 0;
    size_t code_length = 0;
    lua_tolstring(L, 1, &code_length);
    // Charged before the work, so that a caller past the bound makes no more processes.
    charge_native_work_or_raise(L, creation_cycles(code_length));
    const char* location = is_string(L, 4) ? lua_tostring(L, 4) : "";
    // A sandboxed process cannot start a child outside its sandbox by leaving the location out.
    if (!location[0] && cproc && cproc->sandboxed) location = cproc->sandbox_location;
    char location_copy[sizeof(cproc->sandbox_location)];
    copy_text(location_copy, location, sizeof(location_copy));
    process_record* rec = create_process_from_code(lua_tostring(L, 1), lua_tostring(L, 2), lua_tostring(L, 3),
                                                   location_copy);
    if (!rec) return 0;
    lua_pushinteger(L, rec->id);
    return 1;
}

int lua54_kill_process(lua_State* L) {
    int64_t id = truncated(L, 1);
    int64_t mode = q64_intp(L, 2, 0);
    process_record* rec = get_process(id);
    if (!rec) return 0;
    // The root runs every other process: only the root itself may end it.
    if (id == ROOT_PROCESS_ID && rec != cproc) return 0;
    // Removal frees the process's heap, and a restart makes it anew.
    int64_t heap_bytes = std::max<int64_t>(rec->heap_bytes, 0);
    if (mode == 0 || mode == 1) charge_native_work_or_raise(L, heap_bytes / HEAP_BYTES_FREED_PER_CYCLE);
    if (mode == 1) charge_native_work_or_raise(L, creation_cycles(rec->code ? strlen(rec->code) : 0));
    if (mode == 0) {
        // The caller and every process whose slice is below it on the stack are removed
        // once their slices have returned.
        if (rec == cproc) {
            rec->kill_pending = 1;
            cpu_superyielding = SUPERYIELD;  // its slice ends at the next instruction
        } else {
            kill_process_by_id(id);
        }
    } else if (mode == 1) {
        // A process whose script state is running cannot be rebuilt under itself: it stops at
        // its next instruction and starts again once its slices have returned.
        if (rec == cproc || rec->slice_depth > 0) {
            rec->restart_pending = 1;
            if (rec == cproc) cpu_superyielding = SUPERYIELD;
        } else {
            restart_process(rec);
        }
    }
    return 0;
}

int lua54_close_process_host_resources(lua_State* L) {
    // No process has id 0, so it has nothing to close (the socket layer reads 0 as everybody's).
    int64_t id = truncated(L, 1);
    // A sandbox reaches nothing of another process's, not even to close it.
    if (cproc && cproc->sandboxed && id != cproc->id) return 0;
    if (id != 0) delete_sockets_by_process(id);
    return 0;
}

int lua54_process_state(lua_State* L) {
    process_record* rec = get_process(exact_integer(L, 1));
    lua_pushinteger(L, rec ? rec->state : -1);
    return 1;
}

int lua54_get_process_display_size(lua_State* L) {
    process_record* rec = get_process(exact_integer(L, 1));
    lua_pushinteger(L, rec ? peek2_proc(rec, ADDR_DISPLAY_WIDTH) : 0);
    lua_pushinteger(L, rec ? peek2_proc(rec, ADDR_DISPLAY_HEIGHT) : 0);
    return 2;
}

int lua54_get_process_list(lua_State* L) {
    lua_newtable(L);
    int n = 0;
    for (int i = 0; i < get_process_count(); i++) {
        process_record* rec = get_process_by_index(i);
        if (!rec || rec->kill_pending) continue;
        lua_createtable(L, 0, 7);
        lua_pushinteger(L, rec->id);
        lua_setfield(L, -2, "id");
        push_string_field(L, "name", rec->name);
        push_string_field(L, "prog", rec->prog);
        lua_pushnumber(L, (double)rec->period_cycles / (double)frame_budget());
        lua_setfield(L, -2, "cpu");
        lua_pushinteger(L, rec->heap_bytes + rec->page_bytes - rec->heap_baseline + PROCESS_MEMORY_SLACK);
        lua_setfield(L, -2, "memory");
        lua_pushnumber(L, process_priority(rec));
        lua_setfield(L, -2, "priority");
        push_string_field(L, "pwd", rec->pwd);
        lua_rawseti(L, -2, ++n);
    }
    return 1;
}

// --- Working directory, paths and mounts --------------------------------------------------------

int lua54_pwd(lua_State* L) {
    lua_pushstring(L, cproc ? cproc->pwd : "/");
    return 1;
}

int lua54_cd(lua_State* L) {
    if (!is_string(L, 1) || !cproc) return 0;
    const char* path = lua_tostring(L, 1);
    if (lua_toboolean(L, 2)) {
        copy_text(cproc->pwd, path, sizeof(cproc->pwd));
        return 0;
    }
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return 0;
    const char* text = (const char*)norm->data;
    if (!pdisk_directory_exists(text, 1)) {
        destroy_buffer(norm);
        lua_pushstring(L, "path not found");
        return 1;
    }
    if (strlen(text) < sizeof(cproc->pwd)) strcpy(cproc->pwd, text);
    destroy_buffer(norm);
    return 0;
}

static int push_collapsed(lua_State* L, int debug) {
    if (!is_string(L, 1)) return 0;
    size_t len = 0;
    const char* path = lua_tolstring(L, 1, &len);
    pbuffer* out = collapse_path(path, (int64_t)len, debug);
    if (!out) return 0;
    push_bytes_then_destroy(L, out->data, strlen((const char*)out->data), out);
    return 1;
}

int lua54_normalise_userland_path(lua_State* L) { return push_collapsed(L, 0); }

int lua54_norm(lua_State* L) { return push_collapsed(L, 1); }

int lua54_is_well_formed_bbs_path(lua_State* L) {
    if (!is_string(L, 1)) return 0;
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);
    bool ok = true;
    for (size_t i = 6; i < len && ok; i++) {
        char c = s[i];
        ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '/' || c == '_';
    }
    lua_pushboolean(L, ok);
    return 1;
}

int lua54_mount(lua_State* L) {
    if (is_string(L, 1) && is_string(L, 2)) mount_p_path(lua_tostring(L, 1), lua_tostring(L, 2));
    return 0;
}

namespace {

// Compiling takes host time in proportion to the text, so the text is charged: one cycle for
// every LOAD_BYTES_PER_CYCLE bytes.
constexpr int LOAD_BYTES_PER_CYCLE = 16;

// Stands in for a reader function: each piece it gives is charged as it is read, so that a
// reader that never ends runs out of budget like any other code that does not yield.
int charged_reader(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_call(L, 0, 1);
    if (lua_type(L, -1) == LUA_TSTRING) spend_cpu((int64_t)lua_rawlen(L, -1) / LOAD_BYTES_PER_CYCLE);
    return 1;
}

}  // namespace

int lua54_load(lua_State* L) {
    if (lua_type(L, 1) == LUA_TSTRING) {
        spend_cpu((int64_t)lua_rawlen(L, 1) / LOAD_BYTES_PER_CYCLE);
    } else if (lua_type(L, 1) == LUA_TFUNCTION) {
        lua_pushvalue(L, 1);
        lua_pushcclosure(L, charged_reader, 1);
        lua_replace(L, 1);
    }
    return luaB_load(L);
}

// --- Machine ------------------------------------------------------------------------------------

int lua54_apply_system_settings(lua_State* L) {
    if (!lua_istable(L, 1)) {
        printf("** lua54__apply_system_settings failed; not a table\n");
        return 0;
    }
    lua_pushnil(L);
    while (lua_next(L, 1)) {
        if (lua_type(L, -2) == LUA_TSTRING) {
            int64_t value = 0;
            if (lua_type(L, -1) == LUA_TBOOLEAN) value = lua_toboolean(L, -1) ? 1 : 0;
            else value = exact_integer(L, -1);
            orvalune_apply_setting(lua_tostring(L, -2), value);
        }
        lua_pop(L, 1);
    }
    orvalune_apply_settings();
    return 0;
}

int lua54_signal(lua_State* L) {
    int64_t code = q64_intp(L, 1, 0);
    process_record* rec = cproc;
    switch (code) {
        case 15:
            if (rec) rec->audio_priority = audio_priority_counter++;
            break;
        case 16:
            if (app.audio_capture_on) {
                audio_capture_end();
            } else {
                audio_capture_start();
                charge_native_work_or_raise(L, capture_start_cost());
            }
            break;
        case 18:
            // A start ends any recording that runs, so one that fails leaves none running.
            app.gif_recording = gif_start() == 0;
            app.gif_frame_count = 0;
            charge_native_work_or_raise(L, capture_start_cost());
            break;
        case 19:
            if (app.gif_recording) {
                gif_end();
                app.gif_recording = 0;
            }
            break;
        case 21:
            request_screenshot();
            app.screenshot_requested = 1;
            break;
        case 22:
            app.last_input_ms = os_get_time();
            break;
        case 23:
            if (rec) {
                memset(rec->buttons_cur, 0, sizeof(rec->buttons_cur));
                memset(rec->buttons_release_pending, 1, sizeof(rec->buttons_release_pending));
            }
            break;
        case 33: app.quit_requested = 1; break;
        case 34: app.reboot_requested = 1; break;
        case 35: app.boot_line_style = 1; break;
        case 36: app.signal36_flag = 1; break;
        case 37: app.boot_ready = 1; break;
        case 38:
            if (rec) {
                lua_gc(L, LUA_GCCOLLECT);
                if (rec->heap_baseline == 0) rec->heap_baseline = rec->heap_bytes;
            }
            break;
        case 39:
            flush_dirty_mounts_immediately();
            delete_clean_ram_mounts();
            break;
        case 40:
            if (rec) app.exclusive_process = rec->id;
            break;
        case 41: app.exclusive_process = 0; break;
        case 43:
            if (rec) rec->high_priority = 1;
            break;
        case 44:
            if (rec) rec->high_priority = 0;
            break;
        case 46:
            // 0 means no hold, so a hold made in the first millisecond still counts.
            if (rec) rec->hold_prune_ms = std::max<uint32_t>((uint32_t)os_get_time(), 1);
            break;
        case 47:
            if (rec) rec->hold_prune_ms = 0;
            break;
        case 65: mount_desktop(); break;
        default: break;
    }
    return 0;
}

int lua54_warp_mouse(lua_State* L) {
    auto coordinate = [](int64_t v) {
        return (int32_t)(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
    };
    os_warp_mouse_pointer(coordinate(q64_intp(L, 1, 0)), coordinate(q64_intp(L, 2, 0)));
    return 0;
}

int lua54_set_host_window_icon(lua_State* L) {
    if (lua_type(L, 1) != LUA_TUSERDATA) {
        os_set_window_icon(nullptr, 0, 0, system_palette);
        return 0;
    }
    userdata_header* ud = to_userdata(L, 1);
    if (!ud || (ud->type & 31) != UTYPE_U8 || ud->width != 16 || ud->height != 16) return 0;
    os_set_window_icon(userdata_data(ud), 16, 16, system_palette);
    return 0;
}

int lua54_set_host_window_title(lua_State* L) {
    if (is_string(L, 1)) os_set_window_title(lua_tostring(L, 1));
    return 0;
}

// --- Buttons ------------------------------------------------------------------------------------

void update_process_buttons(process_record* rec, const uint8_t* host_values, bool active) {
    if (!rec) return;
    if (!active) {
        memset(rec->buttons_prev, 0, sizeof(rec->buttons_prev));
        memset(rec->buttons_cur, 0, sizeof(rec->buttons_cur));
        memset(rec->buttons_repeat, 0, sizeof(rec->buttons_repeat));
        memset(rec->buttons_release_pending, 1, sizeof(rec->buttons_release_pending));
        return;
    }
    memcpy(rec->buttons_prev, rec->buttons_cur, sizeof(rec->buttons_cur));
    memcpy(rec->buttons_cur, host_values, sizeof(rec->buttons_cur));
    for (int i = 0; i < 128; i++) poke_proc(rec, ADDR_BUTTONS + i, host_values[i]);

    for (int g = 0; g < 128; g += 8) {
        uint8_t* v = rec->buttons_cur + g;
        // Opposite directions held together cancel out.
        if (v[0] && v[1]) v[0] = v[1] = 0;
        if (v[2] && v[3]) v[2] = v[3] = 0;
        // A stick pushed beyond the unit circle is scaled back onto it.
        int64_t dx = (int64_t)v[1] - v[0];
        int64_t dy = (int64_t)v[3] - v[2];
        int64_t d2 = dx * dx + dy * dy;
        if (d2 > 65536) {
            double len = std::sqrt((double)d2);
            for (int k = 0; k < 4; k++) {
                double s = std::trunc((double)v[k] * 256.0 / len);
                v[k] = (uint8_t)(s < 0 ? 0 : s > 255 ? 255 : s);
            }
        }
    }
    for (int i = 0; i < 128; i++) {
        if (!rec->buttons_release_pending[i]) continue;
        if (rec->buttons_cur[i]) rec->buttons_cur[i] = 0;
        else rec->buttons_release_pending[i] = 0;
    }
    app.buttons_seen = 0;
    for (int i = 0; i < 128; i++) {
        if (rec->buttons_cur[i] >= 65) {
            app.last_input_ms = os_get_time();
            app.buttons_seen = 1;
            break;
        }
    }
}

int lua54_update_buttons(lua_State* L) {
    if (!cproc) return 0;
    bool active = lua_toboolean(L, 1);
    uint8_t values[128] = {};
    if (active) {
        for (int p = 0; p < 8; p++) os_get_button_states(p, values + p * 16);
    }
    update_process_buttons(cproc, values, active);
    return 0;
}

// Buttons 0..7 of every player as one bit mask, bit 8 * player + button, for those that pass test.
static uint64_t button_mask(const process_record* rec, bool (*test)(const process_record*, int)) {
    uint64_t bits = 0;
    for (int pl = 0; pl < 8; pl++) {
        for (int k = 0; k < 8; k++) {
            if (test(rec, pl * 16 + k)) bits |= (uint64_t)1 << (8 * pl + k);
        }
    }
    return bits;
}

static bool button_down(const process_record* rec, int i) { return rec->buttons_cur[i] != 0; }

static bool button_pressed_now(const process_record* rec, int i) {
    return rec->buttons_cur[i] >= 64 && rec->buttons_prev[i] < 64;
}

// Reads the button and player arguments; false (with false pushed) when there is no answer
// but a mask (b = -1) or a value.
static bool button_args(lua_State* L, int64_t* b, int64_t* p) {
    *b = q64_intp(L, 1, -1);
    *p = q64_intp(L, 2, 0);
    if (!cproc || (*b != -1 && (*b < 0 || *b > 15 || *p < 0 || *p > 7))) {
        lua_pushboolean(L, 0);
        return false;
    }
    return true;
}

int lua54_btn(lua_State* L) {
    int64_t b, p;
    if (!button_args(L, &b, &p)) return 1;
    if (b == -1) {
        lua_pushinteger(L, (lua_Integer)button_mask(cproc, button_down));
        return 1;
    }
    uint8_t v = cproc->buttons_cur[p * 16 + b];
    if (v) lua_pushinteger(L, v);
    else lua_pushboolean(L, 0);
    return 1;
}

int lua54_btnp(lua_State* L) {
    int64_t b, p;
    if (!button_args(L, &b, &p)) return 1;
    if (b == -1) {
        lua_pushinteger(L, (lua_Integer)button_mask(cproc, button_pressed_now));
        return 1;
    }
    lua_pushboolean(L, button_fires(cproc, (int)(p * 16 + b)));
    return 1;
}
