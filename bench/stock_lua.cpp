// Stock Lua 5.4.2 for the benchmarks' baselines. This is the only translation unit that sees the
// stock headers; it is compiled with a header that gives their names the "stock_" prefix.
#include "stock_lua.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_clock.h"

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}

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

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// userdata(type, width, [height,] hex): a full userdata of the elements' bytes.
int stock_userdata(lua_State* L) {
    const char* type = luaL_checkstring(L, 1);
    int n = lua_gettop(L);
    lua_Integer width = luaL_checkinteger(L, 2);
    lua_Integer height = n >= 4 ? luaL_checkinteger(L, 3) : 1;
    size_t hex_length = 0;
    const char* hex = luaL_checklstring(L, n, &hex_length);
    int size = type[0] == 'u' ? 1 : type[1] == '1' ? 2 : type[1] == '3' ? 4 : 8;
    size_t bytes = size_t(width * height * size);
    unsigned char* data = static_cast<unsigned char*>(lua_newuserdatauv(L, bytes, 0));
    for (size_t i = 0; i < bytes && 2 * i + 1 < hex_length; i++)
        data[i] = static_cast<unsigned char>(hex_digit(hex[2 * i]) * 16 + hex_digit(hex[2 * i + 1]));
    return 1;
}

}  // namespace

double time_stock_load(const char* text, size_t length, int rounds) {
    lua_State* L = luaL_newstate();
    if (!L) return -1;
    luaL_openlibs(L);
    lua_register(L, "userdata", stock_userdata);
    std::string chunk = "return ";
    chunk.append(text, length);
    double best = INFINITY;
    for (int r = 0; r < rounds; r++) {
        double start = thread_seconds();
        if (luaL_loadbufferx(L, chunk.data(), chunk.size(), "=bench", "t") != LUA_OK ||
            lua_pcall(L, 0, 1, 0) != LUA_OK) {
            fprintf(stderr, "stock load failed: %s\n", lua_tostring(L, -1));
            lua_close(L);
            return -1;
        }
        best = std::min(best, thread_seconds() - start);
        lua_pop(L, 1);
        lua_gc(L, LUA_GCCOLLECT);
    }
    lua_close(L);
    return best;
}

double time_stock_calls(const char* code, size_t code_size, long long n, int runs) {
    lua_State* L = luaL_newstate();
    if (!L) return -1;
    luaL_openlibs(L);
    if (luaL_loadbufferx(L, code, code_size, "=bench", "t") != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
        fprintf(stderr, "stock chunk failed: %s\n", lua_tostring(L, -1));
        lua_close(L);
        return -1;
    }
    std::vector<double> times;
    for (int r = 0; r <= runs; r++) {
        lua_pushvalue(L, -1);
        lua_pushinteger(L, n);
        double start = thread_seconds();
        int status = lua_pcall(L, 1, 0, 0);
        double t = thread_seconds() - start;
        if (status != LUA_OK) {
            lua_close(L);
            return -1;
        }
        if (r > 0) times.push_back(t);
    }
    lua_close(L);
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[size_t(runs / 2)];
}
