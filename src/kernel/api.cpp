// The script API registry and the helpers that script functions share.
#include "kernel/api.h"

#include <cmath>

#include "kernel/process.h"
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

void api_add_c_functions(lua_State* L) {
    static const luaL_Reg functions[] = {
        {"pid", lua54_pid},
        {"send_message", lua54_send_message},
        {"_send_message_raw", lua54_send_message},
        {"_read_message", lua54_read_message},
        {"_run_process_slice", lua54_run_process_slice},
        {"flip", lua54_flip},
        {"_flip", lua54_flip},
        {"_halt", lua54_halt},
        {"_yielded_to_escape_slice", lua54_yielded_to_escape_slice},
    };
    for (const luaL_Reg& f : functions) {
        lua_pushcfunction(L, f.func);
        lua_setglobal(L, f.name);
    }
}
