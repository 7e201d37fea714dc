// The USERDATA method table of every new script state: the typed arrays' own methods with
// the ones that other families lend them (blit from drawing, crc from the file formats).
#include "api/registry.h"
#include "gfx/sprites.h"
#include "kernel/api.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/delta.h"
#include "userdata/userdata.h"

int lua54_ud_crc(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    // Charged as the text digest charges the same routine, so a loop over a large array
    // ends its slice instead of holding up every process.
    int64_t bytes = userdata_bytes(h);
    spend_cpu(bytes / 8);
    lua_pushinteger(L, crc32b(userdata_data(h), bytes));
    return 1;
}

// a:blit(dst, ...) is blit(a, dst, ...).
int lua54_ud_blit(lua_State* L) { return lua54_blit(L); }

// --- The method table ---------------------------------------------------------------------------

void add_userdata_metatable_functions(lua_State* L) {
    static const luaL_Reg methods[] = {
        {"sort", api_guarded<lua54_ud_sort>},         {"convert", api_guarded<lua54_ud_convert>},
        {"copy", api_guarded<lua54_ud_copy>},         {"take", api_guarded<lua54_ud_take>},
        {"clear", api_guarded<lua54_ud_clear>},       {"__add", api_guarded<lua54_ud_add>},
        {"__sub", api_guarded<lua54_ud_sub>},         {"__mul", api_guarded<lua54_ud_mul>},
        {"__div", api_guarded<lua54_ud_div>},         {"__idiv", api_guarded<lua54_ud_idiv>},
        {"__mod", api_guarded<lua54_ud_mod>},         {"__pow", api_guarded<lua54_ud_pow>},
        {"__band", api_guarded<lua54_ud_band>},       {"__bor", api_guarded<lua54_ud_bor>},
        {"__bxor", api_guarded<lua54_ud_bxor>},       {"__shl", api_guarded<lua54_ud_shl>},
        {"__shr", api_guarded<lua54_ud_shr>},         {"add", api_guarded<lua54_ud_add>},
        {"sub", api_guarded<lua54_ud_sub>},           {"mul", api_guarded<lua54_ud_mul>},
        {"div", api_guarded<lua54_ud_div>},           {"idiv", api_guarded<lua54_ud_idiv>},
        {"mod", api_guarded<lua54_ud_mod>},           {"pow", api_guarded<lua54_ud_pow>},
        {"band", api_guarded<lua54_ud_band>},         {"bor", api_guarded<lua54_ud_bor>},
        {"bxor", api_guarded<lua54_ud_bxor>},         {"shl", api_guarded<lua54_ud_shl>},
        {"shr", api_guarded<lua54_ud_shr>},           {"max", api_guarded<lua54_ud_max>},
        {"min", api_guarded<lua54_ud_min>},           {"abs", api_guarded<lua54_ud_abs>},
        {"sgn", api_guarded<lua54_ud_sgn>},           {"sgn0", api_guarded<lua54_ud_sgn0>},
        {"__len", api_guarded<lua54_ud_len>},         {"__tostring", api_guarded<lua54_ud_tostring>},
        {"__index", api_guarded<lua54_ud_index>},     {"__newindex", api_guarded<lua54_ud_newindex>},
        {"set", api_guarded<lua54_ud_set>},           {"get", api_guarded<lua54_ud_get>},
        {"blit", api_guarded<lua54_ud_blit>},         {"peek", api_guarded<lua54_ud_peek>},
        {"poke", api_guarded<lua54_ud_poke>},         {"width", api_guarded<lua54_ud_width>},
        {"height", api_guarded<lua54_ud_height>},     {"attribs", api_guarded<lua54_ud_attribs>},
        {"mutate", api_guarded<lua54_ud_mutate>},     {"lerp", api_guarded<lua54_ud_lerp>},
        {"magnitude", api_guarded<lua54_ud_magnitude>}, {"distance", api_guarded<lua54_ud_distance>},
        {"dot", api_guarded<lua54_ud_dot>},           {"cross", api_guarded<lua54_ud_cross>},
        {"matmul", api_guarded<lua54_ud_matmul>},     {"matmul3d", api_guarded<lua54_ud_matmul3d>},
        {"matmul2d", api_guarded<lua54_ud_matmul2d>}, {"transpose", api_guarded<lua54_ud_transpose>},
        {"row", api_guarded<lua54_ud_row>},           {"column", api_guarded<lua54_ud_column>},
        {"crc", api_guarded<lua54_ud_crc>},
    };
    // Behind the guard against C++ allocation failures, as every function of the script API.
    static_assert(sizeof(methods) / sizeof(methods[0]) == 59, "USERDATA holds 59 entries");
    lua_createtable(L, 0, 0);
    for (const luaL_Reg& m : methods) {
        lua_pushcfunction(L, m.func);
        lua_setfield(L, -2, m.name);
    }
    lua_setglobal(L, "USERDATA");
}
