// The script API registry: every global function that a new process's script state gets, in
// one table, each behind the guard against host allocation failures.
#include "api/registry.h"

#include <array>
#include <cstddef>
#include <iterator>
#include <utility>

#include "audio/mudo.h"
#include "gfx/draw_state.h"
#include "gfx/printer.h"
#include "gfx/shapes.h"
#include "gfx/sprites.h"
#include "gfx/video.h"
#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "net/gurl.h"
#include "storage/anywhen.h"
#include "storage/file_api.h"
#include "storage/mox.h"
#include "userdata/userdata.h"

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

void api_for_each_function(void (*visit)(const char*, int (*)(lua_State*), void*), void* ctx) {
    for (const api_entry& e : api_functions) visit(e.name, e.fn, ctx);
}

void api_add_c_functions(lua_State* L) {
    for (size_t i = 0; i < std::size(api_functions); i++) {
        lua_pushcfunction(L, guarded_functions[i]);
        lua_setglobal(L, api_functions[i].name);
    }
}
