// Script errors raised inside native script functions while they hold buffers and strings:
// each call runs again and again with its process allowed a few more bytes each time, so that
// a memory error strikes at every point of the call. Nothing may leak (this test also runs
// with the leak checker on) and the state must work as before afterwards.
#include <gtest/gtest.h>

#include <string>

#include "app/app.h"
#include "base/machine.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "test_support.h"

namespace {

using namespace drive_test;

struct ScriptErrorLeaks : temp_drive {
    process_record* p = nullptr;
    app_config saved_config;

    void SetUp() override {
        saved_config = config;
        processes_init();
        set_default_config();
        config.headless = 1;
        memset(&app, 0, sizeof(app));
        temp_drive::SetUp();
        // Slots 0 and 1 end the program on a runtime error: the processes under test sit after them.
        p = create_process_from_code("", "test", "/apps/test.lua", "");
        ASSERT_NE(create_process_from_code("", "idle", "/apps/idle.lua", ""), nullptr);
        ASSERT_NE(create_process_from_code("", "idle", "/apps/idle.lua", ""), nullptr);
        ASSERT_NE(p, nullptr);
        set_current_process(p);
        cpu_cycles = 0;
        cpu_cycles_max = INT32_MAX;
        cpu_superyielding = 0;
    }

    void TearDown() override {
        processes_init();
        cpu_cycles_max = FRAME_CYCLE_BUDGET;
        cpu_superyielding = 0;
        temp_drive::TearDown();
        memset(&app, 0, sizeof(app));
        config = saved_config;
    }

    // Lets the process grow by room more bytes from now on; a negative room lifts the limit.
    static void allow(process_record* rec, int64_t room) {
        rec->out_of_memory = 0;
        rec->heap_baseline = room < 0 ? 0
                                      : rec->heap_bytes + rec->page_bytes + PROCESS_MEMORY_SLACK -
                                            PROCESS_MEMORY_LIMIT + room;
    }

    // Runs code in p without a limit; its one result as text, or the error.
    std::string run(const std::string& code) {
        set_current_process(p);
        lua_State* L = p->L;
        int top = lua_gettop(L);
        std::string out;
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
            out = std::string("error: ") + lua_tostring(L, -1);
        } else {
            size_t n = 0;
            const char* s = luaL_tolstring(L, -1, &n);
            out.assign(s, n);
        }
        lua_settop(L, top);
        return out;
    }

    // Runs code with a growing allowance until it gives the text it gives without a limit,
    // checking after every run that fell short that no buffer was left behind and that the
    // state still works. Returns how many runs fell short.
    int sweep(const std::string& code) {
        const std::string want = run(code);
        EXPECT_EQ(want.rfind("error: ", 0), std::string::npos) << code << ": " << want;
        kill_children();
        const uint32_t buffers = get_total_num_buffers();
        lua_State* L = p->L;
        int failures = 0;
        for (int64_t room = 0; room < 4 * 1024 * 1024; room += room < 2048 ? 16 : room / 64) {
            run("RUN = (RUN or 0) + 1 return 1");
            set_current_process(p);
            int top = lua_gettop(L);
            EXPECT_EQ(luaL_loadstring(L, code.c_str()), LUA_OK);
            lua_gc(L, LUA_GCCOLLECT);
            allow(p, room);
            int status = lua_pcall(L, 0, 1, 0);
            allow(p, -1);
            cpu_superyielding = 0;
            // A call that ran out of memory may also answer with nothing instead of raising.
            size_t n = 0;
            const char* s = status == LUA_OK ? lua_tolstring(L, -1, &n) : nullptr;
            const bool complete = s && want == std::string(s, n);
            lua_settop(L, top);
            kill_children();
            lua_gc(L, LUA_GCCOLLECT);
            EXPECT_TRUE(lua_gc(L, LUA_GCISRUNNING)) << code << " at " << room;
            EXPECT_EQ(get_total_num_buffers(), buffers) << code << " at " << room;
            EXPECT_EQ(run("local t = {} for i = 1, 50 do t[i] = 'v' .. i end return #t .. t[50]"), "50v50");
            if (complete) break;
            failures++;
        }
        EXPECT_EQ(run(code), want) << code;
        kill_children();
        return failures;
    }

    // Removes every process made after the first three, and the messages their ends sent.
    void kill_children() {
        while (get_process_count() > 3) kill_process_by_index(get_process_count() - 1);
        while (read_process_message(p, nullptr)) {
        }
    }
};

TEST_F(ScriptErrorLeaks, EveryNativeCallLeavesNothingBehindWhenMemoryRunsOut) {
    // Data made once: long keys make the mox writer look keys up by allocating copies.
    ASSERT_EQ(run(R"(
        T = {n = 1, list = {1, 2.5, "three", {deep = {true, false}}}, ud = userdata("u8", 4, 4)}
        for i = 1, 12 do T[string.rep("key", 15) .. i] = {i, "s" .. i, x = i / 3} end
        M = mox(T, 7)
        Q = '{a="x\\"y\\n\\065z",b=unmox("b64:' .. mox({1, 2, {3}}, 6):match('b64:([^"]*)') .. '")}'
        A = string.rep("abcdefghij", 300)
        B = A:sub(1, 1000) .. "changed" .. A:sub(1100)
        store("/ram/leak/t.pod", T, "--[[mox,v=1]]")
        store("/ram/leak/t.txt", "plain text\n", '--[[mox_format="raw"]]')
        _cache_store("leak", "entry", string.rep("c", 600))
        return "ok"
    )"),
              "ok");
    struct {
        const char* name;
        const char* code;
    } calls[] = {
        {"mox", "return mox(T, 7) .. mox(T, 0x21) .. mox(T, 0, 'prefix:')"},
        {"unmox", "local a, b = unmox(M), unmox(Q) return mox({a, b})"},
        // RUN counts the runs: a store that did not happen leaves the previous run's value.
        {"store", "store('/ram/leak/u.pod', {T, RUN}, '--[[mox,v=2]]') "
                  "store('/ram/leak/u.txt', 'text\\0' .. RUN, '--[[mox_format=\"raw\"]]') "
                  "local v, m = fetch('/ram/leak/u.pod') "
                  "return mox({v[1], m}) .. tostring(v[2] == RUN and fetch('/ram/leak/u.txt') == 'text\\0' .. RUN)"},
        {"fetch", "local a, m = fetch('/ram/leak/t.pod') "
                  "return mox({a, m, fetch('/ram/leak/t.txt'), _fetch_metadata_from_file('/ram/leak/t.pod'), "
                  "_cache_fetch('leak', 'entry')})"},
        {"deltas", "local d = create_delta(A, B) return apply_delta(A, d) == B and #d"},
        {"typed arrays", "local u = userdata('i16', 32, 8, string.rep('0a0b', 256)) "
                         "local v, w = userdata('f64', 4, '1.5,2.5,3,4'), vec(1, 2, 3) "
                         "return tostring(u:row(2):get(0)) .. u:column(3):get(1) .. v:get(1) .. w:get(2) .. "
                         "unmox('userdata(\"u8\",4,\"00010203\")'):get(3)"},
        {"process creation", "return type(_create_process_from_code('return 1', 'child', '/apps/c.lua')) .. "
                             "type((_create_process_from_code('x = = 1', 'bad', '/apps/b.lua')))"},
        {"messages", "send_message(pid(), {a = string.rep('x', 100), b = {1, 2, 3}}) local m = _read_message() m._sent_t = nil return mox(m)"},
        {"paths", "local l, n = ls('/ram/leak') return mox({l, n, fstat('/ram/leak/t.pod')}) .. fullpath('t.pod') .. "
                  "_normalise_userland_path('/a/../b') .. norm('/x/./y')"},
        {"strings", "return chr(65, 66, 67) .. mox(split('1,2,x,4', ',', true)) .. date('!%Y-%m-%d', 86400) .. "
                    "mox(date('!*t', 0))"},
        {"process list", "return #_get_process_list()"},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.name);
        EXPECT_GT(sweep(c.code), 0) << "no run fell short: the limit never struck";
    }
}

TEST_F(ScriptErrorLeaks, ASliceEndingInAnErrorReportsItWhateverMemoryIsLeft) {
    // The error object is a number (turned into text for the report) and the traceback is long.
    const char* code = "local function f(n) if n == 0 then error(12345) end return f(n - 1) + 1 end f(40)";
    process_record* wm = get_process(3);
    ASSERT_NE(wm, nullptr);
    bool reported = false;
    int failures = 0;
    for (int64_t room = 0; room < 1024 * 1024 && !reported; room += room < 4096 ? 32 : room / 32) {
        process_record* child = create_process_from_code(code, "child", "/apps/child.lua", "");
        ASSERT_NE(child, nullptr);
        int64_t id = child->id;
        prepare_processes_for_frame();
        allow(child, room);
        run_process_slice(child, 1.0);
        cpu_superyielding = 0;
        // An error or running out of memory removes a process with an id of 4 or more.
        EXPECT_EQ(get_process(id), nullptr) << room;
        // The window manager hears of it: the message, or that memory ran out.
        bool heard = false;
        while (pbuffer* m = read_process_message(wm, nullptr)) {
            std::string text(reinterpret_cast<const char*>(m->data), size_t(m->length));
            heard |= text.find("out of memory") != std::string::npos || text.find("*runtime error") != std::string::npos;
            reported |= text.find("content=\"12345\"") != std::string::npos;
        }
        EXPECT_TRUE(heard) << room;
        failures += !reported;
    }
    EXPECT_TRUE(reported);
    EXPECT_GT(failures, 0);
}

}  // namespace
