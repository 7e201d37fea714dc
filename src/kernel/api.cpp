// The script API registry and the helpers that script functions share.
#include "kernel/api.h"

#include <cmath>

#include "kernel/memory.h"
#include "kernel/process.h"
#include "userdata/userdata.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"

int64_t q64_intp(lua_State* L, int index, int64_t dflt) {
    if (lua_isinteger(L, index)) return lua_tointeger(L, index);
    if (lua_isnumber(L, index)) {
        double d = std::floor(lua_tonumber(L, index));
        if (!(d >= -9.2233720368547758e18 && d < 9.2233720368547758e18)) return dflt;
        return (int64_t)d;
    }
    return dflt;
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

const api_entry api_functions[] = {
    // table functions
    {"deli", lua54_deli},
    {"add", lua54_add},
    {"del", lua54_del},
    {"count", lua54_count},
    // time and status
    {"time", stand_in<0>},
    {"t", stand_in<0>},
    {"stat", stand_in<1>},
    {"date", stand_in<2>},
    // drawing and printing
    {"cls", stand_in<3>},
    {"fillp", stand_in<4>},
    {"pset", stand_in<5>},
    {"pget", stand_in<6>},
    {"fset", stand_in<7>},
    {"fget", stand_in<8>},
    {"mset", stand_in<9>},
    {"mget", stand_in<10>},
    {"camera", stand_in<11>},
    {"clip", stand_in<12>},
    {"rectfill", stand_in<13>},
    {"rect", stand_in<14>},
    {"ovalfill", stand_in<15>},
    {"circfill", stand_in<16>},
    {"oval", stand_in<17>},
    {"circ", stand_in<18>},
    {"rrect", stand_in<19>},
    {"rrectfill", stand_in<20>},
    {"line", stand_in<21>},
    {"tline3d", stand_in<22>},
    {"sspr", stand_in<23>},
    {"spr", stand_in<24>},
    {"_draw_map", stand_in<25>},
    {"blit", stand_in<26>},
    {"_print_t6scii", stand_in<27>},
    {"_printh", stand_in<28>},
    {"printh", stand_in<28>},
    {"_count_p", stand_in<29>},
    {"cursor", stand_in<30>},
    {"color", stand_in<31>},
    {"pal", stand_in<32>},
    {"palt", stand_in<33>},
    // audio
    {"note", stand_in<34>},
    {"sfx", stand_in<35>},
    {"music", stand_in<36>},
    // serialisation, files, fetch and history
    {"_mox", stand_in<37>},
    {"_mox_raw", stand_in<37>},
    {"mox", stand_in<37>},
    {"unmox", stand_in<38>},
    {"create_delta", stand_in<39>},
    {"apply_delta", stand_in<40>},
    {"_fetch_local", stand_in<41>},
    {"fetch", stand_in<41>},
    {"_store_local", stand_in<42>},
    {"store", stand_in<42>},
    {"_cache_store", stand_in<43>},
    {"_cache_fetch", stand_in<44>},
    {"_fetch_anywhen", stand_in<45>},
    {"_fetch_anywhen_metadata", stand_in<46>},
    {"_list_anywhen_by_day", stand_in<47>},
    {"_list_anywhen_by_loc", stand_in<48>},
    {"_list_anywhen_folder_moment", stand_in<49>},
    {"_anywhen_get_attr", stand_in<50>},
    {"_fetch_remote", stand_in<51>},
    {"_fetch_remote_result", stand_in<52>},
    {"_fetch_metadata_from_file", stand_in<53>},
    {"_store_metadata_str_to_file", stand_in<54>},
    {"_ls", stand_in<55>},
    {"ls", stand_in<55>},
    {"_mkdir", stand_in<56>},
    {"mkdir", stand_in<56>},
    {"_fstat", stand_in<57>},
    {"fstat", stand_in<57>},
    {"_fullpath", stand_in<58>},
    {"fullpath", stand_in<58>},
    {"cp", stand_in<59>},
    {"_fcopy", stand_in<59>},
    {"_fdelete", stand_in<60>},
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
    {"_create_process_from_code", stand_in<65>},
    {"_run_process_slice", lua54_run_process_slice},
    {"_kill_process", stand_in<66>},
    {"_close_process_host_resources", stand_in<67>},
    {"_halt", lua54_halt},
    // mounts, drawing target, folders
    {"_mount", stand_in<68>},
    {"mount", stand_in<68>},
    {"_set_draw_target", lua54_set_draw_target},
    {"_pwd", stand_in<70>},
    {"pwd", stand_in<70>},
    {"_cd", stand_in<71>},
    {"cd", stand_in<71>},
    {"_normalise_userland_path", stand_in<72>},
    {"norm", stand_in<73>},
    {"_is_well_formed_bbs_path", stand_in<74>},
    // code, video, processes, system
    {"load", stand_in<75>},
    {"_blit_process_video", stand_in<76>},
    {"_process_state", stand_in<77>},
    {"_get_process_display_size", stand_in<78>},
    {"_get_process_list", stand_in<79>},
    {"_apply_system_settings", stand_in<80>},
    {"_signal", stand_in<81>},
    {"_warp_mouse", stand_in<82>},
    {"_set_spr", stand_in<83>},
    {"_map_ram", lua54_map_ram},
    {"_unmap_ram", lua54_unmap_ram},
    {"_update_buttons", stand_in<86>},
    {"_set_host_window_icon", stand_in<87>},
    {"_set_host_window_title", stand_in<88>},
    // digests
    {"_md5", lua54_md5},
    {"_crc", lua54_crc},
    {"_strindex", lua54_strindex},
    // buttons and memory
    {"btn", stand_in<89>},
    {"btnp", stand_in<90>},
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

}  // namespace

void api_for_each_function(void (*visit)(const char*, int (*)(lua_State*), void*), void* ctx) {
    for (const api_entry& e : api_functions) visit(e.name, e.fn, ctx);
}

void api_add_c_functions(lua_State* L) {
    for (const api_entry& e : api_functions) {
        lua_pushcfunction(L, e.fn);
        lua_setglobal(L, e.name);
    }
}
