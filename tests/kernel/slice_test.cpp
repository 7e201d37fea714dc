// Slices: budgets, debt and its cap, fractions, nested slices, errors by id and memory limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kernel/api.h"
#include "app/app.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "storage/mox.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

namespace {

struct Slices : testing::Test {
    void SetUp() override {
        processes_init();
        set_default_config();
        config.headless = 1;
        memset(&app, 0, sizeof(app));
        prepare_processes_for_frame();
    }
    void TearDown() override { processes_init(); }
    static process_record* make(const char* code) { return create_process_from_code(code, "p", "p", ""); }
    static std::string message_text(process_record* p) {
        pbuffer* b = read_process_message(p, nullptr);
        return b ? std::string((const char*)b->data, b->length) : "";
    }
};

TEST_F(Slices, BudgetEndsAnEndlessLoopAndItRunsAgain) {
    process_record* p = make("n = 0 while true do n = n + 1 end");
    EXPECT_EQ(run_process_slice(p, 1.0), FRAME_CYCLE_BUDGET);
    EXPECT_EQ(p->state, PSTATE_RUNNING);
    lua_getglobal(p->L, "n");
    lua_Integer first = lua_tointeger(p->L, -1);
    lua_pop(p->L, 1);
    EXPECT_GT(first, 1000);
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    lua_getglobal(p->L, "n");
    EXPECT_GT(lua_tointeger(p->L, -1), first);
    lua_pop(p->L, 1);
}

TEST_F(Slices, OverspendBecomesDebtPaidFirst) {
    process_record* p = make("while true do end");
    p->cycle_debt = 20380;
    run_process_slice(p, 1.0);
    EXPECT_LT(p->cycle_debt, 100u);  // paid out of this slice's budget
    p->cycle_debt = 30000000;
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    // The debt is first cut to ten frames' budget, then one frame's worth is paid.
    EXPECT_NEAR((double)p->cycle_debt, (double)(DEBT_CAP - FRAME_CYCLE_BUDGET), 8.0);
}

TEST_F(Slices, SpendingPastTheBudgetCarriesTheRest) {
    // Charges made by the host after the budget ran out are overspend.
    process_record* p = make("spend() coroutine.yield()");
    lua_register(p->L, "spend", [](lua_State*) -> int {
        spend_cpu(300000);
        return 0;
    });
    int32_t saved_max = cpu_cycles_max;
    EXPECT_EQ(run_process_slice(p, 1.0), FRAME_CYCLE_BUDGET);
    EXPECT_GE(p->cycle_debt, 300000u - FRAME_CYCLE_BUDGET);
    EXPECT_LT(p->cycle_debt, 300000u - FRAME_CYCLE_BUDGET + 200);
    EXPECT_EQ(cpu_cycles_max, saved_max);
}

TEST_F(Slices, FractionsShareWhatIsLeftOfTheFrame) {
    process_record* a = make("while true do end");
    process_record* b = make("while true do end");
    total_frame_cycles = 200000;
    EXPECT_EQ(run_process_slice(a, 0.5), FRAME_CYCLE_BUDGET - 200000);
    EXPECT_EQ(run_process_slice(b, 0.5), 0);  // nothing left this frame
}

TEST_F(Slices, ReturningMainChunkRemovesTheProcess) {
    process_record* p = make("x = 1");
    int64_t id = p->id;
    run_process_slice(p, 1.0);
    EXPECT_EQ(get_process(id), nullptr);
}

TEST_F(Slices, RuntimeErrorRemovesHighIdsAndTellsTheWindowManager) {
    make("while true do coroutine.yield() end");
    process_record* two = make("error('oops')");
    process_record* wm = make("while true do coroutine.yield() end");
    process_record* four = make("error('oops')");
    // Which error is fatal goes by id, wherever the process stands in the table.
    kill_process_by_index(0);
    ASSERT_EQ(get_process_by_index(0), two);
    run_process_slice(two, 0.1);
    EXPECT_EQ(get_process(2), two);  // ids below 4 stay, in the error state
    EXPECT_EQ(two->state, PSTATE_ERROR);
    run_process_slice(four, 0.1);
    EXPECT_EQ(get_process(4), nullptr);  // ids from 4 are removed
    EXPECT_EQ(message_text(wm).find("*runtime error"), std::string("{event=\"report_error\",content=\"").size());
}

TEST_F(Slices, ErrorsInTheRootOrTheShownProcessEndTheProgram) {
    process_record* root = make("error('root')");
    make("while true do coroutine.yield() end");
    process_record* three = make("error('wm')");
    process_record* four = make("error('cart')");
    EXPECT_EXIT(run_process_slice(root, 0.1), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(run_process_slice(three, 0.1), testing::ExitedWithCode(1), "");
    // In the cartridge player the shown process is 4.
    config.video_process_id = 4;
    EXPECT_EXIT(run_process_slice(four, 0.1), testing::ExitedWithCode(1), "");
    run_process_slice(three, 0.1);
    EXPECT_EQ(three->state, PSTATE_ERROR);
}

TEST_F(Slices, ErrorReportsCarryTheMessageAndTheFailedThreadsTraceback) {
    const std::pair<const char*, const char*> cases[] = {
        {"local function inner(x) error(x) end\nlocal function outer() inner(42) end\nouter()", "42"},
        {"local t = setmetatable({}, {__index = function() error({}) end})\nlocal v = t.x", nullptr},
        {"local function f(n) if n == 0 then error('deep') end return f(n - 1) + 1 end\nf(30)", "p:1: deep"},
    };
    for (auto& [code, message] : cases) {
        processes_init();
        for (int i = 0; i < 3; i++) make("while true do coroutine.yield() end");
        process_record* p = make(code);
        run_process_slice(p, 1.0);
        // What stock Lua's traceback gives for the same failed thread.
        lua_State* R = luaL_newstate();
        luaL_openlibs(R);
        lua_State* co = lua_newthread(R);
        ASSERT_EQ(luaL_loadbuffer(co, code, strlen(code), "@p"), LUA_OK);
        int n = 0;
        ASSERT_EQ(lua_resume(co, R, 0, &n), LUA_ERRRUN);
        luaL_traceback(R, co, nullptr, 0);
        std::string want = lua_tostring(R, -1);
        lua_close(R);
        // The window manager's three reports, read back through the message reader.
        std::vector<std::string> contents;
        process_record* wm = get_process(3);
        lua_State* L = wm->L;
        while (pbuffer* m = read_process_message(wm, nullptr)) {
            ASSERT_EQ(destringify_object(L, (const char*)m->data, m->length), 1);
            lua_getfield(L, -1, "content");
            contents.push_back(lua_tostring(L, -1));
            lua_pop(L, 2);
        }
        ASSERT_EQ(contents.size(), 3u) << code;
        EXPECT_EQ(contents[0], "*runtime error");
        EXPECT_EQ(contents[1], message ? message : "(error object is not a string)") << code;
        EXPECT_EQ(contents[2], want) << code;
        EXPECT_NE(want.find("in main chunk"), std::string::npos) << want;
    }
}

TEST_F(Slices, ProcessCannotResumeItselfOrItsCaller) {
    process_record* root = make(
        "local r = table.pack(_run_process_slice(1, 1.0)) "
        "result = tostring(r[1]) .. ' ' .. tostring(r[2]) .. ' ' .. tostring(r[3]) "
        "coroutine.yield()");
    run_process_slice(root, 1.0);
    lua_getglobal(root->L, "result");
    EXPECT_STREQ(lua_tostring(root->L, -1), "true 0 _run_process_slice: invalid process");
    lua_pop(root->L, 1);
    EXPECT_EQ(root->state, PSTATE_RUNNING);
}

TEST_F(Slices, NestedSliceReportsDoneAndShare) {
    process_record* root = make(
        "local done, share = _run_process_slice(2, 1.0) "
        "result = tostring(done) .. ' ' .. math.type(share) coroutine.yield()");
    set_current_process(root);
    make("flip() while true do coroutine.yield() end");
    run_process_slice(root, 1.0);
    lua_getglobal(root->L, "result");
    EXPECT_STREQ(lua_tostring(root->L, -1), "true float");
    lua_pop(root->L, 1);
}

TEST_F(Slices, SingleHugeAllocationFailsInsteadOfPassingTheLimit) {
    make("coroutine.yield()");  // the root, whose running out of memory would end the program
    process_record* p = make("local s = string.rep('x', 40 * 1024 * 1024) coroutine.yield()");
    int64_t id = p->id;
    run_process_slice(p, 1.0);
    EXPECT_EQ(get_process(id), nullptr);
}

TEST_F(Slices, SelfKillEndsTheSliceAtOnce) {
    process_record* p = make("_kill_process(pid()) _set_userland_clipboard_text('ran on') coroutine.yield()");
    lua_State* L = p->L;
    luaL_dostring(L, "_set_userland_clipboard_text('')");
    int64_t id = p->id;
    run_process_slice(p, 1.0);
    EXPECT_EQ(get_process(id), nullptr);
    process_record* q = make("");
    luaL_dostring(q->L, "return _get_userland_clipboard_text()");
    EXPECT_STREQ(lua_tostring(q->L, -1), "");
}

TEST_F(Slices, SelfRestartStopsAtOnceAndStartsAgainAfterTheSlice) {
    process_record* p = make(
        "local t = _get_userland_clipboard_text() .. 'x' _set_userland_clipboard_text(t) "
        "if #t < 2 then _kill_process(pid(), 1) end "
        "_set_userland_clipboard_text(_get_userland_clipboard_text() .. '!') coroutine.yield()");
    luaL_dostring(p->L, "_set_userland_clipboard_text('')");
    int64_t id = p->id;
    run_process_slice(p, 1.0);  // asks for the restart, goes no further
    ASSERT_EQ(get_process(id), p);
    run_process_slice(p, 1.0);  // the fresh start
    luaL_dostring(p->L, "return _get_userland_clipboard_text()");
    EXPECT_STREQ(lua_tostring(p->L, -1), "xx!");
}

TEST_F(Slices, NotANumberFractionRunsNothing) {
    process_record* root = make("r = table.pack(_run_process_slice(2, 0/0)).n coroutine.yield()");
    set_current_process(root);
    make("while true do end");
    run_process_slice(root, 1.0);
    lua_getglobal(root->L, "r");
    EXPECT_EQ(lua_tointeger(root->L, -1), 0);
}

TEST_F(Slices, EndOfFrameCopiesTheAudioOwnersPagesToTheMixer) {
    process_record* p = make("while true do coroutine.yield() end");
    app.audio_owner = p->id;
    app.audio_mirror_id = -3;
    poke_proc(p, 0x60000, 42);
    update_processes_after_frame();
    EXPECT_EQ(mixer_ram[0x60000], 42);
    app.audio_owner = -2;
}

TEST_F(Slices, SpendCpuSaturates) {
    cpu_cycles = 0;
    spend_cpu(-5);
    EXPECT_EQ(cpu_cycles, 0);
    spend_cpu(0);
    EXPECT_EQ(cpu_cycles, 1);
    spend_cpu(INT64_C(1) << 40);
    EXPECT_EQ(cpu_cycles, INT32_MAX);
    spend_cpu(INT64_MAX);  // no signed overflow on the way
    EXPECT_EQ(cpu_cycles, INT32_MAX);
    cpu_cycles = 0;
}

// A native function that does n pieces of 10,000 cycles each, pausing between pieces when the
// slice is spent; its count of pieces lives on its own stack as its second value.
int piecework_k(lua_State* L, int, lua_KContext) {
    lua_settop(L, 2);
    lua_Integer n = lua_tointeger(L, 1), done = lua_tointeger(L, 2);
    while (done < n) {
        done++;
        if (charge_native_work(10000)) raise_native_overrun(L);
        if (done < n && native_work_should_pause(L)) {
            lua_pushinteger(L, done);
            lua_replace(L, 2);
            return native_work_pause(L, 0, api_guarded_k<piecework_k>);
        }
    }
    lua_pushinteger(L, done);
    return 1;
}
int piecework(lua_State* L) {
    lua_settop(L, 1);
    lua_pushinteger(L, 0);
    return piecework_k(L, LUA_OK, 0);
}

TEST_F(Slices, NativeWorkGoesOnInTheNextSliceOrEndsPastTheBound) {
    struct { const char* code; const char* expect; int min_frames; } cases[] = {
        {"result = tostring(piecework(100))", "100", 3},
        {"local co = coroutine.wrap(function() return piecework(100) end) "
         "local r repeat r = co() until r result = tostring(r)", "100", 3},
        {"local co = coroutine.create(function() return piecework(100) end) "
         "local ok, r repeat ok, r = coroutine.resume(co, 'extra', 'values') until r result = tostring(r)", "100", 3},
        {"local ok, e = pcall(piecework, 100) result = tostring(e)", "100", 3},
        {"local ok, e = pcall(string.gsub, 'x', 'x', function() piecework(1000000) end) result = e",
         "too many cycles in non-yieldable code", 0},
    };
    for (auto& c : cases) {
        process_record* p = make((std::string(c.code) + " while true do coroutine.yield() end").c_str());
        ASSERT_TRUE(p);
        lua_pushcfunction(p->L, api_guarded<piecework>);
        lua_setglobal(p->L, "piecework");
        int frames = 0;
        std::string result;
        while (frames < 200 && result.empty()) {
            prepare_processes_for_frame();
            run_process_slice(p, 1.0);
            frames++;
            lua_getglobal(p->L, "result");
            if (const char* r = lua_tostring(p->L, -1)) result = r;
            lua_pop(p->L, 1);
        }
        EXPECT_NE(result.find(c.expect), std::string::npos) << c.code << ": " << result;
        EXPECT_GE(frames, c.min_frames) << c.code;
        kill_process(p);
        remove_killed_processes();
    }
}

}  // namespace
