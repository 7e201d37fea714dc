// Helpers shared by the tests: running script code in a process's state and reading back
// its results as one line of text.
#pragma once
#include <string>

#include "lauxlib.h"
#include "lua.h"

// Evaluates an expression list in L and returns its results joined by spaces (floats with
// %.17g, everything else through tostring), or "error: " and the message.
inline std::string run_script(lua_State* L, const std::string& code) {
    int top = lua_gettop(L);
    std::string wrapped =
        "local r = table.pack(" + code +
        ") local o = {} for i = 1, r.n do o[i] = math.type(r[i]) == 'float' and string.format('%.17g', r[i]) "
        "or tostring(r[i]) end return table.concat(o, ' ')";
    std::string out;
    if (luaL_loadstring(L, wrapped.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
        out = std::string("error: ") + lua_tostring(L, -1);
    } else {
        out = lua_tostring(L, -1);
    }
    lua_settop(L, top);
    return out;
}
