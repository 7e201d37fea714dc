// A process with a small u8 draw target for the drawing tests: solid default colour tables,
// masks that keep a drawn colour's own value, and the target read back as text.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gfx/draw_state.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "test_support.h"
#include "userdata/userdata.h"

struct GfxTest : testing::Test {
    process_record* p = nullptr;
    int width = 16, height = 12;

    void SetUp() override {
        processes_init();
        memset(&app, 0, sizeof(app));
        p = create_process_from_code("", "gfx", "/apps/gfx.lua", "");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
        // Read all of the source, keep the destination's table bits out of the lookup, and
        // write only bits 0-5, so a pixel drawn in colour c reads back as c.
        ASSERT_EQ(exec("pal() poke(0x5508, 0xff, 0x3f, 0, 0)"), "");
        target(width, height);
    }
    void TearDown() override { processes_init(); }

    // A fresh w x h target, kept in the global T.
    void target(int w, int h) {
        width = w;
        height = h;
        ASSERT_EQ(exec("T = userdata('u8', " + std::to_string(w) + ", " + std::to_string(h) + ") _set_draw_target(T)"), "");
    }
    // Runs statements in the process; what they return, joined by spaces, or the error.
    std::string run(const std::string& code) {
        set_current_process(p);
        return run_script(p->L, "(function() " + code + " end)()");
    }
    std::string exec(const std::string& code) {
        set_current_process(p);
        return exec_script(p->L, code);
    }
    uint8_t* pixels() { return userdata_data(p->draw_target); }
    // The target as rows of characters: '.' for 0, then 1-9, a-z for the colours.
    std::string grid() {
        std::string out;
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                uint8_t v = pixels()[y * width + x];
                out += v == 0 ? '.' : v < 10 ? char('0' + v) : v < 36 ? char('a' + v - 10) : '#';
            }
            out += '\n';
        }
        return out;
    }
    // Cycles charged by one call: code evaluates to the function and its arguments, which are
    // then called directly, so only the function's own charge counts.
    int64_t cost(const std::string& code) {
        set_current_process(p);
        lua_State* L = p->L;
        int top = lua_gettop(L);
        if (luaL_loadstring(L, ("return " + code).c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
            ADD_FAILURE() << code << ": " << lua_tostring(L, -1);
            lua_settop(L, top);
            return -1;
        }
        int32_t before = cpu_cycles;
        EXPECT_EQ(lua_pcall(L, lua_gettop(L) - top - 1, 0, 0), LUA_OK) << code;
        lua_settop(L, top);
        return int64_t(cpu_cycles) - before;
    }
};
