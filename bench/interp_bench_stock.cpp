// The stock side of interp_bench: runs a script in unpatched Lua 5.4.2, built from the same
// tarball as the dialect. This is the only translation unit that sees the stock headers.
#include <cstddef>
#include <cstdio>

#include "bench_clock.h"

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}

// Runs `code` once in a fresh state with the standard libraries. Returns the seconds spent
// running the compiled chunk (compiling it is not timed), or -1 when it fails. `result` gets
// the chunk's first result as text, or the error message.
double run_stock(const char* code, size_t code_size, char* result, size_t result_size) {
    lua_State* L = luaL_newstate();
    if (!L) {
        snprintf(result, result_size, "cannot create a stock state");
        return -1;
    }
    luaL_openlibs(L);
    double seconds = -1;
    if (luaL_loadbufferx(L, code, code_size, "=bench", "t") == LUA_OK) {
        double start = thread_seconds();
        int status = lua_pcall(L, 0, 1, 0);
        double stop = thread_seconds();
        if (status == LUA_OK) seconds = stop - start;
    }
    const char* text = luaL_tolstring(L, -1, nullptr);
    snprintf(result, result_size, "%s", text ? text : "?");
    lua_close(L);
    return seconds;
}
