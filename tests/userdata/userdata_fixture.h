// Typed-array tests: a process whose script state has the array functions, a runner that
// renders a chunk's results as text, and the cycles a native method charges.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "test_support.h"
#include "userdata/userdata.h"

struct Userdata : testing::Test {
    process_record* proc = nullptr;
    lua_State* L = nullptr;
    int base = 0;  // the process keeps its main chunk on the stack

    void SetUp() override {
        processes_init();
        cpu_cycles = 0;
        proc = create_process_from_code("", "ud", "ud", "");
        ASSERT_NE(proc, nullptr);
        set_current_process(proc);
        L = proc->L;
        lua_register(L, "userdata", lua54_userdata);
        lua_register(L, "vec", lua54_vec);
        lua_register(L, "get", lua54_get);
        lua_register(L, "set", lua54_set);
        base = lua_gettop(L);
    }
    void TearDown() override { processes_init(); }

    // Runs a chunk and renders its results: integers plainly, floats always with a point
    // or exponent, strings as they are, arrays as "ud", joined by ",".
    std::string run(const std::string& code) {
        int top = lua_gettop(L);
        std::string out;
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
            out = std::string("error: ") + lua_tostring(L, -1);
        } else {
            for (int i = top + 1; i <= lua_gettop(L); i++) out += (i > top + 1 ? "," : "") + render(i);
        }
        lua_settop(L, top);
        return out;
    }
    void check(const script_cases& cases) {
        expect_each([&](const std::string& c) { return run(c); }, cases);
    }

    std::string render(int i) {
        char text[64];
        switch (lua_type(L, i)) {
        case LUA_TNIL: return "nil";
        case LUA_TBOOLEAN: return lua_toboolean(L, i) ? "true" : "false";
        case LUA_TNUMBER:
            if (lua_isinteger(L, i)) {
                snprintf(text, sizeof text, "%lld", (long long)lua_tointeger(L, i));
            } else {
                snprintf(text, sizeof text, "%.14g", lua_tonumber(L, i));
                if (!strpbrk(text, ".eni")) strcat(text, ".0");
            }
            return text;
        case LUA_TSTRING: return lua_tostring(L, i);
        case LUA_TUSERDATA: return "ud";
        default: return lua_typename(L, lua_type(L, i));
        }
    }

    // An array's text form through the writer used by the serialiser.
    static std::string text_form(const userdata_header* h) {
        pbuffer* b = create_buffer_2(16, 0);
        EXPECT_TRUE(write_userdata_text(h, b));
        std::string s((const char*)b->data, size_t(b->length));
        destroy_buffer(b);
        return s;
    }
    // The cycles a method call charges: target:member(args) less the same call to width,
    // which charges nothing. Each is the cheapest of three runs, so that a one-off allocation
    // of the script state (a string table growing, say) falls out.
    int32_t charged(const std::string& target, const std::string& member, const std::string& args) {
        auto cheapest = [&](const std::string& code) {
            int32_t least = INT32_MAX;
            for (int i = 0; i < 3; i++) {
                int32_t before = cpu_cycles;
                run(code);
                least = std::min(least, cpu_cycles - before);
            }
            return least;
        };
        return cheapest(target + ":" + member + "(" + args + ")") - cheapest(target + ":width(" + args + ")");
    }
    // Cycles spent by a native method called on the global array `name` with integer arguments.
    int32_t charge(lua_CFunction f, const char* name, std::initializer_list<int> args, int* results = nullptr) {
        lua_pushcfunction(L, f);
        lua_getglobal(L, name);
        for (int a : args) lua_pushinteger(L, a);
        int32_t before = cpu_cycles;
        lua_call(L, (int)args.size() + 1, LUA_MULTRET);
        int32_t spent = cpu_cycles - before;
        if (results) *results = lua_gettop(L) - base;
        lua_settop(L, base);
        return spent;
    }
};
