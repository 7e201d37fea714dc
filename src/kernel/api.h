// The guards around script functions and the helpers they share, and the general functions
// that belong to no other family (the registry of them all is api/registry.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

struct lua_State;
struct pbuffer;

// Raises the calling process's memory error: the process is marked out of memory (it ends
// when its slice does) and a protected call gets "not enough memory". Never returns.
int api_host_memory_error(lua_State* L);

// Calls fn behind a guard: a C++ allocation failure inside it (the host is out of memory, or
// a container was asked for more than it can hold) becomes the process's memory error instead
// of escaping into the interpreter. The interpreter is C: no C++ exception may pass through its
// frames, so every native function that the interpreter calls runs behind this guard.
int api_guarded_call(lua_State* L, int (*fn)(lua_State*));

// A script function F behind the guard, for registration.
template <int (*F)(lua_State*)>
int api_guarded(lua_State* L) {
    return api_guarded_call(L, F);
}

// The same guard for the continuation of a native call that went on in a later slice
// (native_work_pause in kernel/slice.h): register K as api_guarded_k<K>.
int api_guarded_continuation(lua_State* L, int status, intptr_t ctx, int (*k)(lua_State*, int, intptr_t));
template <int (*K)(lua_State*, int, intptr_t)>
int api_guarded_k(lua_State* L, int status, intptr_t ctx) {
    return api_guarded_continuation(L, status, ctx, K);
}


// An integer argument: integers unchanged, other numbers and numeric strings floored, else dflt.
int64_t q64_intp(lua_State* L, int index, int64_t dflt);

// --- Native code under script errors ------------------------------------------------------------
// A script error, a yield and the end of a slice longjmp over native frames: no destructor of
// theirs runs. So a script function holds no object with a destructor (std::string,
// std::vector, unique_ptr, guards) and owns no memory that only its own frame would free across
// any call that can raise (luaL_check*, lua_error, lua_call, luaL_tolstring, any push or table
// operation that allocates, which can raise a memory error). It collects its arguments first,
// works in plain buffers, releases them and then pushes its results. Work that must keep owned
// memory while it calls into the state runs as a protected call; its caller releases what the
// call owned and then raises the error again with its own status.

// Calls body in protected mode, behind the guard, with the top nargs values as its arguments
// and job after them as a light userdata, which body takes back first with take_job. Returns the status; all of
// body's results, or the error object, replace the arguments on the stack (without room for
// the call, nothing does and the status is LUA_ERRMEM).
int protected_call(lua_State* L, int (*body)(lua_State*), void* job, int nargs);
void* take_job(lua_State* L);
// Raises the error object on top of the stack again with the status of a failed protected call.
[[noreturn]] void raise_again(lua_State* L, int status);
// Pushes length bytes as a string, then destroys the buffer they came from (may be null), and
// raises any error of the push only after that.
void push_bytes_then_destroy(lua_State* L, const void* bytes, size_t length, pbuffer* owner);
// A block of at least n bytes kept by the kernel and reused by every call (null when it cannot
// grow): for bytes built just before one push or one conversion, with no other call into a
// script state in between.
char* scratch_bytes(size_t n);

uint64_t xoshiro256ss(uint64_t* state);
uint64_t xoshiro256ss_rand();
void xoshiro256ss_srand(uint64_t seed);
// Seeds a given stream as xoshiro256ss_srand seeds the current process's.
void xoshiro256ss_seed(uint64_t* state, uint64_t seed);
// MD5 digest of bytes as 32 lowercase hexadecimal characters and a terminator.
void md5(const uint8_t* bytes, size_t length, char* out);
void set_userland_clipboard_text(const char* text);
int find_multiline_end(const char* text, size_t len, int level, size_t* out_length, int* out_level);

int lua54_srand(lua_State* L);
int lua54_rnd(lua_State* L);
int lua54_add(lua_State* L);
int lua54_del(lua_State* L);
int lua54_deli(lua_State* L);
int lua54_count(lua_State* L);
int lua54_chr(lua_State* L);
int lua54_ord(lua_State* L);
int lua54_tokenoid(lua_State* L);
int lua54_abs(lua_State* L);
int lua54_sgn(lua_State* L);
int lua54_max(lua_State* L);
int lua54_min(lua_State* L);
int lua54_mid(lua_State* L);
int lua54_sqrt(lua_State* L);
int lua54_cos(lua_State* L);
int lua54_sin(lua_State* L);
int lua54_atan2(lua_State* L);
int lua54_flr(lua_State* L);
int lua54_ceil(lua_State* L);
int lua54_split(lua_State* L);
int lua54_ext(lua_State* L);
int lua54_path(lua_State* L);
int lua54_hloc(lua_State* L);
int lua54_get_userland_clipboard_text(lua_State* L);
int lua54_set_userland_clipboard_text(lua_State* L);
int lua54_strindex(lua_State* L);
int lua54_md5(lua_State* L);
int lua54_printh(lua_State* L);
int lua54_crc(lua_State* L);

// Process control, paths, machine signals, the host window and buttons.
struct process_record;
// One frame of a process's buttons from the host's 128 values (16 for each of 8 players):
// cancels opposite directions, scales sticks back onto the unit circle, holds buttons that
// must be released first, and copies the raw values to the process's memory. Inactive:
// every button reads up and must be released before it counts again.
void update_process_buttons(process_record* rec, const uint8_t* host_values, bool active);
int lua54_create_process_from_code(lua_State* L);
int lua54_kill_process(lua_State* L);
int lua54_close_process_host_resources(lua_State* L);
int lua54_process_state(lua_State* L);
int lua54_get_process_display_size(lua_State* L);
int lua54_get_process_list(lua_State* L);
int lua54_pwd(lua_State* L);
int lua54_cd(lua_State* L);
int lua54_normalise_userland_path(lua_State* L);
int lua54_norm(lua_State* L);
int lua54_is_well_formed_bbs_path(lua_State* L);
int lua54_mount(lua_State* L);
int lua54_load(lua_State* L);
int lua54_apply_system_settings(lua_State* L);
int lua54_signal(lua_State* L);
int lua54_warp_mouse(lua_State* L);
int lua54_set_host_window_icon(lua_State* L);
int lua54_set_host_window_title(lua_State* L);
int lua54_update_buttons(lua_State* L);
int lua54_btn(lua_State* L);
int lua54_btnp(lua_State* L);

// Time, date and the status query.
int lua54_time(lua_State* L);
int lua54_date(lua_State* L);
int lua54_stat(lua_State* L);
