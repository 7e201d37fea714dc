// The script API registry and the helpers that script functions share.
#include "kernel/api.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "audio/mudo.h"
#include "gfx/draw_state.h"
#include "gfx/printer.h"
#include "gfx/shapes.h"
#include "gfx/sprites.h"
#include "gfx/video.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "userdata/userdata.h"
#include "kernel/slice.h"
#include "net/gurl.h"
#include "storage/anywhen.h"
#include "storage/file_api.h"
#include "storage/mox.h"
#include "base/pbuffer.h"
#include "lauxlib.h"
#include "ldo.h"
#include "lua.h"

int64_t q64_intp(lua_State* L, int index, int64_t dflt) {
    int type = lua_type(L, index);
    if (type != LUA_TNUMBER && type != LUA_TSTRING) return dflt;
    // Integers, and numbers or numerals with an integral value in range, in one call.
    int ok = 0;
    lua_Integer i = lua_tointegerx(L, index, &ok);
    if (ok) return i;
    double d = lua_tonumberx(L, index, &ok);
    if (!ok) return dflt;
    d = std::floor(d);
    if (!(d >= -9.2233720368547758e18 && d < 9.2233720368547758e18)) return dflt;
    return (int64_t)d;
}

namespace {

struct push_job {
    const void* bytes;
    size_t length;
};

int push_bytes_body(lua_State* L) {
    const push_job* job = static_cast<const push_job*>(take_job(L));
    lua_pushlstring(L, static_cast<const char*>(job->bytes), job->length);
    return 1;
}

char* scratch_block = nullptr;
size_t scratch_capacity = 0;

}  // namespace

int api_guarded_call(lua_State* L, int (*fn)(lua_State*)) {
    bool failed = false;
    int results = 0;
    try {
        results = fn(L);
    } catch (const std::bad_alloc&) {
        failed = true;
    } catch (const std::length_error&) {
        failed = true;
    }
    // Raised only once the handler has finished with the exception.
    return failed ? api_host_memory_error(L) : results;
}

static_assert(std::is_same_v<lua_KContext, intptr_t>, "continuations take an intptr_t context");

int api_guarded_continuation(lua_State* L, int status, intptr_t ctx, int (*k)(lua_State*, int, intptr_t)) {
    bool failed = false;
    int results = 0;
    try {
        results = k(L, status, ctx);
    } catch (const std::bad_alloc&) {
        failed = true;
    } catch (const std::length_error&) {
        failed = true;
    }
    return failed ? api_host_memory_error(L) : results;
}

namespace {

struct protected_frame {
    int (*body)(lua_State*);
    void* job;
};

int run_protected_body(lua_State* L) {
    const protected_frame* frame = static_cast<const protected_frame*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    lua_pushlightuserdata(L, frame->job);
    return api_guarded_call(L, frame->body);
}

}  // namespace

int protected_call(lua_State* L, int (*body)(lua_State*), void* job, int nargs) {
    if (!lua_checkstack(L, 2)) {
        // No room even for the call: a stack at its limit is out of memory, whose error needs
        // no object on the stack.
        lua_pop(L, nargs);
        return LUA_ERRMEM;
    }
    protected_frame frame{body, job};
    lua_pushcfunction(L, run_protected_body);
    lua_insert(L, -(nargs + 1));
    lua_pushlightuserdata(L, &frame);
    return lua_pcall(L, nargs + 1, LUA_MULTRET, 0);
}

void* take_job(lua_State* L) {
    void* job = lua_touserdata(L, -1);
    lua_pop(L, 1);
    return job;
}

void raise_again(lua_State* L, int status) {
    // A memory error stays a memory error on its way up: the slice's end tells them apart.
    luaD_throw(L, status);
}

void push_bytes_then_destroy(lua_State* L, const void* bytes, size_t length, pbuffer* owner) {
    push_job job{bytes, length};
    int status = protected_call(L, push_bytes_body, &job, 0);
    destroy_buffer(owner);
    if (status != LUA_OK) raise_again(L, status);
}

char* scratch_bytes(size_t n) {
    if (n > scratch_capacity || !scratch_block) {
        size_t want = n < 256 ? 256 : n;
        char* grown = static_cast<char*>(realloc(scratch_block, want));
        if (!grown) return nullptr;
        scratch_block = grown;
        scratch_capacity = want;
    }
    return scratch_block;
}

namespace {

// Functions of families that are not built yet: each answers with nothing.
template <int N>
int stand_in(lua_State*) {
    return 0;
}

struct api_entry {
    const char* name;
    lua_CFunction fn;
};

constexpr api_entry api_functions[] = {
    // table functions
    {"deli", lua54_deli},
    {"add", lua54_add},
    {"del", lua54_del},
    {"count", lua54_count},
    // time and status
    {"time", lua54_time},
    {"t", lua54_time},
    {"stat", lua54_stat},
    {"date", lua54_date},
    // drawing and printing
    {"cls", lua54_cls},
    {"fillp", lua54_fillp},
    {"pset", lua54_pset},
    {"pget", lua54_pget},
    {"fset", lua54_fset},
    {"fget", lua54_fget},
    {"mset", lua54_mset},
    {"mget", lua54_mget},
    {"camera", lua54_camera},
    {"clip", lua54_clip},
    {"rectfill", lua54_rectfill},
    {"rect", lua54_rect},
    {"ovalfill", lua54_ovalfill},
    {"circfill", lua54_circfill},
    {"oval", lua54_oval},
    {"circ", lua54_circ},
    {"rrect", lua54_rrect},
    {"rrectfill", lua54_rrectfill},
    {"line", lua54_line},
    {"tline3d", lua54_tline3d},
    {"sspr", lua54_sspr},
    {"spr", lua54_spr},
    {"_draw_map", lua54_draw_map},
    {"blit", lua54_blit},
    {"_print_t6scii", lua54_print_t6scii},
    {"_printh", lua54_printh},
    {"printh", lua54_printh},
    {"_count_p", lua54_count_p},
    {"cursor", lua54_cursor},
    {"color", lua54_color},
    {"pal", lua54_pal},
    {"palt", lua54_palt},
    // audio
    {"note", lua54_play_note},
    {"sfx", lua54_play_track},
    {"music", lua54_play_music},
    // serialisation, files, fetch and history
    {"_mox", lua54_mox},
    {"_mox_raw", lua54_mox},
    {"mox", lua54_mox},
    {"unmox", lua54_unmox},
    {"create_delta", lua54_create_delta},
    {"apply_delta", lua54_apply_delta},
    {"_fetch_local", lua54_fetch_local},
    {"fetch", lua54_fetch_local},
    {"_store_local", lua54_store_local},
    {"store", lua54_store_local},
    {"_cache_store", lua54_cache_store},
    {"_cache_fetch", lua54_cache_fetch},
    {"_fetch_anywhen", lua54_fetch_anywhen},
    {"_fetch_anywhen_metadata", lua54_fetch_anywhen_metadata},
    {"_list_anywhen_by_day", lua54_list_anywhen_by_day},
    {"_list_anywhen_by_loc", lua54_list_anywhen_by_loc},
    {"_list_anywhen_folder_moment", lua54_list_anywhen_folder_moment},
    {"_anywhen_get_attr", lua54_anywhen_get_attr},
    {"_fetch_remote", lua54_fetch_remote},
    {"_fetch_remote_result", lua54_fetch_remote_result},
    {"_fetch_metadata_from_file", lua54_fetch_metadata_from_file},
    {"_store_metadata_str_to_file", lua54_store_metadata_str_to_file},
    {"_ls", lua54_ls},
    {"ls", lua54_ls},
    {"_mkdir", lua54_mkdir},
    {"mkdir", lua54_mkdir},
    {"_fstat", lua54_fstat},
    {"fstat", lua54_fstat},
    {"_fullpath", lua54_fullpath},
    {"fullpath", lua54_fullpath},
    {"cp", lua54_fcopy},
    {"_fcopy", lua54_fcopy},
    {"_fdelete", lua54_fdelete},
    // messages
    {"pid", lua54_pid},
    {"_send_message_raw", lua54_send_message},
    {"send_message", lua54_send_message},
    {"_read_message", lua54_read_message},
    // characters, random numbers, maths
    {"chr", lua54_chr},
    {"ord", lua54_ord},
    {"tokenoid", lua54_tokenoid},
    {"rnd", lua54_rnd},
    {"srand", lua54_srand},
    {"abs", lua54_abs},
    {"sgn", lua54_sgn},
    {"max", lua54_max},
    {"min", lua54_min},
    {"mid", lua54_mid},
    {"sqrt", lua54_sqrt},
    {"cos", lua54_cos},
    {"sin", lua54_sin},
    {"atan2", lua54_atan2},
    {"flr", lua54_flr},
    {"ceil", lua54_ceil},
    // typed arrays
    {"userdata", lua54_userdata},
    {"vec", lua54_vec},
    {"get", lua54_get},
    {"set", lua54_set},
    // frame
    {"_flip", lua54_flip},
    {"flip", lua54_flip},
    // strings and paths
    {"split", lua54_split},
    {"_ext", lua54_ext},
    {"_path", lua54_path},
    {"_hloc", lua54_hloc},
    {"_get_userland_clipboard_text", lua54_get_userland_clipboard_text},
    {"_set_userland_clipboard_text", lua54_set_userland_clipboard_text},
    // slices and process control
    {"_yielded_to_escape_slice", lua54_yielded_to_escape_slice},
    {"_create_process_from_code", lua54_create_process_from_code},
    {"_run_process_slice", lua54_run_process_slice},
    {"_kill_process", lua54_kill_process},
    {"_close_process_host_resources", lua54_close_process_host_resources},
    {"_halt", lua54_halt},
    // mounts, drawing target, folders
    {"_mount", lua54_mount},
    {"mount", lua54_mount},
    {"_set_draw_target", lua54_set_draw_target},
    {"_pwd", lua54_pwd},
    {"pwd", lua54_pwd},
    {"_cd", lua54_cd},
    {"cd", lua54_cd},
    {"_normalise_userland_path", lua54_normalise_userland_path},
    {"norm", lua54_norm},
    {"_is_well_formed_bbs_path", lua54_is_well_formed_bbs_path},
    // code, video, processes, system
    {"load", lua54_load},
    {"_blit_process_video", lua54_blit_process_video},
    {"_process_state", lua54_process_state},
    {"_get_process_display_size", lua54_get_process_display_size},
    {"_get_process_list", lua54_get_process_list},
    {"_apply_system_settings", lua54_apply_system_settings},
    {"_signal", lua54_signal},
    {"_warp_mouse", lua54_warp_mouse},
    {"_set_spr", lua54_set_spr},
    {"_map_ram", lua54_map_ram},
    {"_unmap_ram", lua54_unmap_ram},
    {"_update_buttons", lua54_update_buttons},
    {"_set_host_window_icon", lua54_set_host_window_icon},
    {"_set_host_window_title", lua54_set_host_window_title},
    // digests
    {"_md5", lua54_md5},
    {"_crc", lua54_crc},
    {"_strindex", lua54_strindex},
    // buttons and memory
    {"btn", lua54_btn},
    {"btnp", lua54_btnp},
    {"peek", lua54_peek},
    {"poke", lua54_poke},
    {"peek2", lua54_peek2},
    {"poke2", lua54_poke2},
    {"peek4", lua54_peek4},
    {"poke4", lua54_poke4},
    {"peek8", lua54_peek8},
    {"poke8", lua54_poke8},
    {"_ppeek", lua54_ppeek},
    {"_ppeek4", lua54_ppeek4},
    {"memcpy", lua54_memcpy},
    {"memset", lua54_memset},
};

// Each function as the script sees it: behind the guard against host allocation failures.
// Aliases share one guard, as they share one function.
template <size_t... I>
constexpr std::array<int (*)(lua_State*), sizeof...(I)> guard_all(std::index_sequence<I...>) {
    return {{&api_guarded<api_functions[I].fn>...}};
}

constexpr auto guarded_functions = guard_all(std::make_index_sequence<std::size(api_functions)>{});

}  // namespace

int api_host_memory_error(lua_State* L) {
    // The process ends as when its own heap runs out; a protected call sees Lua's own text.
    if (cproc) cproc->out_of_memory = 1;
    cpu_superyielding = SUPERYIELD;
    lua_pushliteral(L, "not enough memory");
    return lua_error(L);
}

void api_for_each_function(void (*visit)(const char*, int (*)(lua_State*), void*), void* ctx) {
    for (const api_entry& e : api_functions) visit(e.name, e.fn, ctx);
}

void api_add_c_functions(lua_State* L) {
    for (size_t i = 0; i < std::size(api_functions); i++) {
        lua_pushcfunction(L, guarded_functions[i]);
        lua_setglobal(L, api_functions[i].name);
    }
}
