// The dialect's interpreter: opcode set, cycle charging and forced stops at the end of a
// slice, memory-read opcodes, integer division by zero and the stack limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lcode.h"
#include "lobject.h"
#include "lopcodes.h"
#include "lopnames.h"
#include "lstate.h"
#include "lua.h"
#include "lualib.h"
#include "test_support.h"

namespace {

constexpr int32_t NO_LIMIT = 0x7FFFFFFF;

void* plain_alloc(void*, void* block, size_t, size_t new_size, int, size_t) {
    return new_size ? realloc(block, new_size) : (free(block), nullptr);
}

const Proto* proto_at(lua_State* L, int idx) { return ((const LClosure*)lua_topointer(L, idx))->p; }

// superyield(): what a kernel call does to end the slice early.
int lua_superyield(lua_State*) {
    cpu_superyielding = SUPERYIELD;
    return 0;
}

// cycles(): the count as a kernel call reads it.
int lua_cycles(lua_State* L) {
    lua_pushinteger(L, cpu_cycles);
    return 1;
}

struct Interpreter : testing::Test {
    lua_State* L = nullptr;
    int32_t saved_cycles = 0, saved_max = 0, saved_super = 0;
    int last_results = 0;

    void SetUp() override {
        saved_cycles = cpu_cycles;
        saved_max = cpu_cycles_max;
        saved_super = cpu_superyielding;
        cpu_cycles = 0;
        cpu_cycles_max = NO_LIMIT;
        cpu_superyielding = 0;
        L = lua_newstate(plain_alloc, nullptr);
        ASSERT_NE(L, nullptr);
        const luaL_Reg libs[] = {{LUA_GNAME, luaopen_base}, {LUA_COLIBNAME, luaopen_coroutine},
                                 {LUA_TABLIBNAME, luaopen_table}, {LUA_STRLIBNAME, luaopen_string},
                                 {LUA_MATHLIBNAME, luaopen_math}};
        for (const luaL_Reg& lib : libs) luaL_requiref(L, lib.name, lib.func, 1);
        lua_settop(L, 0);
        lua_register(L, "superyield", lua_superyield);
    }
    void TearDown() override {
        if (L) lua_close(L);
        cpu_cycles = saved_cycles;
        cpu_cycles_max = saved_max;
        cpu_superyielding = saved_super;
    }

    // A new thread (kept alive by the registry) with the chunk loaded, ready to resume.
    lua_State* start(const char* code) {
        lua_State* th = lua_newthread(L);
        luaL_ref(L, LUA_REGISTRYINDEX);
        EXPECT_EQ(luaL_loadstring(th, code), LUA_OK) << lua_tostring(th, -1);
        return th;
    }
    // One slice of `budget` cycles, as the kernel runs it.
    int slice(lua_State* th, int32_t budget, int32_t start_cycles = 0) {
        cpu_cycles = start_cycles;
        cpu_cycles_max = budget;
        cpu_superyielding = 0;
        int status = lua_resume(th, nullptr, 0, &last_results);
        if (status == LUA_YIELD) lua_pop(th, last_results);
        return status;
    }
    // Cycles charged by running the chunk to its end.
    int64_t cycles_of(const char* code) {
        lua_State* th = start(code);
        EXPECT_EQ(slice(th, NO_LIMIT), LUA_OK) << code << ": " << lua_tostring(th, -1);
        return cpu_cycles;
    }
    // Runs a chunk without a limit on the main thread: its first result, or the error.
    std::string run(const std::string& code) {
        cpu_cycles = 0;
        cpu_cycles_max = NO_LIMIT;
        std::string out;
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
            out = std::string("error: ") + (lua_tostring(L, -1) ? lua_tostring(L, -1) : "?");
        } else {
            const char* s = luaL_tolstring(L, -1, nullptr);
            out = s ? s : "";
        }
        lua_settop(L, 0);
        return out;
    }
    // Globals are read through the main thread: a stopped thread has no room above its frame.
    std::string global_string(const char* name) {
        lua_getglobal(L, name);
        std::string out = luaL_tolstring(L, -1, nullptr);
        lua_pop(L, 2);
        return out;
    }
    lua_Integer global_int(const char* name) {
        lua_getglobal(L, name);
        lua_Integer v = lua_tointeger(L, -1);
        lua_pop(L, 1);
        return v;
    }
};

// --- Opcode set ---------------------------------------------------------------------------------

TEST(OpcodeSet, FourReadsFollowNotAndLaterOpcodesMoveUpByFour) {
    EXPECT_EQ((std::vector<int>{NUM_OPCODES, OP_NOT, OP_PEEK, OP_PEEK2, OP_PEEK4, OP_PEEK8, OP_LEN, OP_JMP, OP_CALL,
                                OP_RETURN, OP_VARARGPREP, OP_EXTRAARG}),
              (std::vector<int>{87, 51, 52, 53, 54, 55, 56, 60, 72, 74, 85, 86}));
    EXPECT_STREQ(opnames[OP_PEEK], "PEEK");
    EXPECT_STREQ(opnames[OP_PEEK8], "PEEK8");
    EXPECT_STREQ(opnames[OP_LEN], "LEN");
    EXPECT_STREQ(opnames[OP_EXTRAARG], "EXTRAARG");
    EXPECT_EQ(opnames[NUM_OPCODES], nullptr);
    // Modes: those of the same opcode before the insertion, one byte each in its order.
    const uint8_t unchanged[83] = {
        0x08, 0x0A, 0x0A, 0x09, 0x09, 0x08, 0x08, 0x08, 0x08, 0x08, 0x00, 0x08, 0x08, 0x08, 0x08,
        0x00, 0x00, 0x00, 0x00, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08,
        0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08,
        0x08, 0x80, 0x80, 0x80, 0x08, 0x08, 0x08, 0x08, 0x08, 0x00, 0x00, 0x04, 0x10, 0x10, 0x10,
        0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x18, 0x68, 0x68, 0x20, 0x00, 0x00, 0x09, 0x09,
        0x01, 0x00, 0x09, 0x20, 0x09, 0x48, 0x28, 0x03};
    for (int op = 0; op < NUM_OPCODES; op++) {
        uint8_t expected = op < 52 ? unchanged[op] : op < 56 ? 0x08 : unchanged[op - 4];
        EXPECT_EQ(luaP_opmodes[op], expected) << opnames[op];
    }
    // Unary operators map onto their opcodes by offset from UNM.
    EXPECT_EQ((std::vector<int>{OPR_NOT, OPR_PEEK, OPR_PEEK8, OPR_LEN, OPR_NOUNOPR}),
              (std::vector<int>{2, 3, 6, 7, 8}));
    const std::pair<UnOpr, OpCode> unary[] = {{OPR_MINUS, OP_UNM},   {OPR_BNOT, OP_BNOT},   {OPR_PEEK, OP_PEEK},
                                             {OPR_PEEK2, OP_PEEK2}, {OPR_PEEK4, OP_PEEK4}, {OPR_PEEK8, OP_PEEK8},
                                             {OPR_LEN, OP_LEN}};
    for (auto& [opr, op] : unary) EXPECT_EQ((int)OP_UNM + (int)opr, (int)op) << opnames[op];
}

// --- Cycle charge -------------------------------------------------------------------------------

TEST_F(Interpreter, StatementsCostOneCycleForCheapInstructionsAndTwoForOthers) {
    const std::pair<const char*, int64_t> cases[] = {
        {"", 4},             // VARARGPREP and RETURN, 2 each
        {"local a = 1", 5},  // LOADI
        {"local a, b = 1, 2; local c = a + b", 7},  // LOADI, LOADI, ADD (the MMBIN after it is skipped)
        {"local a, b = 1, 2; local c = a * b", 8},
        // LOADI and nine cheap immediate/constant operations.
        {"local a = 1; a = a - 1; a = a - 1000; a = a + 1000; a = a & 3; a = a | 3; a = a ~ 3; a = a >> 1;"
         "a = a << 1; a = 1 << a", 14},
        // Two LOADI, SUB BAND BOR BXOR SHL SHR UNM at 1, MUL at 2.
        {"local a, b = 1, 2; a = a - b; a = a & b; a = a | b; a = a ~ b; a = a << b; a = a >> b; a = -a;"
         "a = a * b", 15},
        // LOADF 2, LOADK LOADNIL LOADTRUE LOADFALSE MOVE LOADK at 1.
        {"local a = 1.0; local b = 1.5; local c = nil; local d = true; local e = false; local f = a;"
         "local g = 2^40", 12},
        // BNOT and NOT cost 2, one more than the MOVE of "local b = a".
        {"local a = 1; local b = ~a", 7}, {"local a = 1; local b = not a", 7}, {"local a = 1; local b = a", 6}};
    for (auto& [code, cycles] : cases) EXPECT_EQ(cycles_of(code), cycles) << code;
}

TEST_F(Interpreter, EveryExecutedInstructionIsChargedByItsKind) {
    // Straight-line code: every instruction runs once except the metamethod fallbacks.
    const OpCode cheap[] = {OP_MOVE,  OP_LOADI, OP_LOADK, OP_LOADKX, OP_LOADFALSE, OP_LOADTRUE,
                            OP_LOADNIL, OP_ADDI, OP_ADDK, OP_SUBK, OP_BANDK, OP_BORK,
                            OP_BXORK, OP_SHRI, OP_SHLI, OP_ADD, OP_SUB, OP_BAND,
                            OP_BOR, OP_BXOR, OP_SHL, OP_SHR, OP_UNM};
    // Beside the instructions, the objects made: the table, made with three array slots and
    // then resized to four and one hash slot for x, and the closure.
    auto resize = [](int64_t slots) { return (LUA_WORKOBJECT * LUA_WORKSCAN + slots) / LUA_WORKSCAN; };
    const std::pair<const char*, int64_t> chunks[] = {
        {"local t = {1, 2, 3}; local n = #t; local s = 'a' .. 'b' .. n; t.x = s; local y = t.x",
         LUA_WORKOBJECT + resize(3) + resize(4 + 3 + 1)},
        {"local a, b = 7, 2; local c = a // b; c = a % b; c = a / b; c = a ^ b", 0},
        {"local a = 3; local b = a + 1.5; b = -b; b = b * 2; b = b - a; local c = ~a; g = c", 0},
        {"local function f(x) return x end; local r = f(1); r = select('#', f(1), f(2))", LUA_WORKOBJECT}};
    for (auto [chunk, made] : chunks) {
        ASSERT_EQ(luaL_loadstring(L, chunk), LUA_OK);
        const Proto* p = proto_at(L, -1);
        int64_t expected = 0;
        for (int i = 0; i < p->sizecode; i++) {
            OpCode op = GET_OPCODE(p->code[i]);
            if (op == OP_MMBIN || op == OP_MMBINI || op == OP_MMBINK || op == OP_EXTRAARG) continue;
            bool is_cheap = false;
            for (OpCode c : cheap) is_cheap |= c == op;
            expected += is_cheap ? 1 : 2;
        }
        // The function of the last chunk runs only its RETURN1, three times.
        int64_t callee = 0;
        if (p->sizep > 0) {
            EXPECT_EQ(GET_OPCODE(p->p[0]->code[0]), OP_RETURN1);
            callee = 3 * 2;
        }
        lua_pop(L, 1);
        EXPECT_EQ(cycles_of(chunk), expected + callee + made) << chunk;
    }
}

TEST_F(Interpreter, NativeCodeSeesTheChargeOfEveryInstructionBeforeIt) {
    lua_register(L, "cycles", lua_cycles);
    // GETTABUP and CALL between the two reads.
    EXPECT_EQ(run("local a = cycles(); local b = cycles(); return b - a"), "4");
    // LOADI and ADDI at 1, then GETTABUP and CALL.
    EXPECT_EQ(run("local a = cycles(); local x = 1; x = x + 1; local b = cycles(); return b - a"), "6");
    // MOVE and CALL in the caller, GETTABUP and TAILCALL in the Lua function it calls.
    EXPECT_EQ(run("local function f() return cycles() end; local a = cycles(); local b = f(); return b - a"),
              "7");
    // From an __index function: GETFIELD in the caller, the metamethod's call, GETTABUP and
    // TAILCALL in the function.
    EXPECT_EQ(run("local t = setmetatable({}, {__index = function() return cycles() end})\n"
                  "local b = t.x; local c = t.x; return c - b"),
              std::to_string(6 + LUA_WORKMETA));
}

// Errors cost their raising, catching and message; a yield is no error and costs only its
// instructions and the resume. No charge of the interpreter's own work wraps the count around.
int raise_error(lua_State* L) {
    lua_pushliteral(L, "failed");
    return lua_error(L);
}

TEST_F(Interpreter, ErrorsAreChargedYieldsAreNotAndNoChargeWraps) {
    lua_register(L, "cycles", lua_cycles);
    // GETTABUP, GETTABUP, LOADK, CALL and GETTABUP, CALL, then the error with a short message.
    EXPECT_EQ(run("local a = cycles() pcall(error, 'x') local b = cycles() return b - a"),
              std::to_string(11 + LUA_WORKERROR));
    EXPECT_EQ(run("local m = string.rep('m', 400) local a = cycles() pcall(error, m) local b = cycles() "
                  "return b - a"),
              std::to_string(11 + LUA_WORKERROR + 400 / LUA_WORKSCAN));
    // MOVE, CALL, GETTABUP and CALL in the caller, JMP, GETTABUP, GETFIELD and CALL in the
    // coroutine, and the resume's own charge.
    EXPECT_EQ(run("local co = coroutine.wrap(function() while true do coroutine.yield() end end) co() "
                  "local a = cycles() co() local b = cycles() return b - a"),
              "31");
    // Near the top of the count, an error, objects made and a collector step all saturate.
    for (int32_t room : {1, LUA_WORKERROR}) {
        cpu_cycles = INT32_MAX - room;
        lua_pushcfunction(L, raise_error);
        EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRRUN);
        EXPECT_EQ(cpu_cycles, INT32_MAX) << room;
        cpu_cycles = INT32_MAX - room;
        lua_createtable(L, 1000, 1000);
        EXPECT_EQ(cpu_cycles, INT32_MAX) << room;
        cpu_cycles = INT32_MAX - room;
        lua_newuserdatauv(L, 16, 100);
        EXPECT_EQ(cpu_cycles, INT32_MAX) << room;
        lua_settop(L, 0);
        ASSERT_EQ(luaL_dostring(L, "garbage = {} for i = 1, 10000 do garbage[i] = {} end garbage = nil"),
                  LUA_OK);
        cpu_cycles = INT32_MAX - room;
        lua_gc(L, LUA_GCSTEP, 0);
        EXPECT_EQ(cpu_cycles, INT32_MAX) << room;
    }
    cpu_cycles = 0;
}

TEST_F(Interpreter, ASliceOfCheapInstructionsStopsOneCycleOverItsBudget) {
    std::string code = "local a = 0\n";
    for (int i = 0; i < 1000; i++) code += "a = a + 1\n";
    code += "done = a";
    lua_State* th = start(code.c_str());
    // VARARGPREP 2, LOADI 1, then ADDI at 1 each: the instruction begun at 500 is the last.
    EXPECT_EQ(slice(th, 500), LUA_YIELD);
    EXPECT_EQ(cpu_cycles, 501);
    EXPECT_EQ(slice(th, 300), LUA_YIELD);
    EXPECT_EQ(cpu_cycles, 302);  // the frame's mark from the last stop lets one more through
    EXPECT_EQ(slice(th, NO_LIMIT), LUA_OK);
    EXPECT_EQ(global_int("done"), 1000);
}

// --- Forced stop at the end of a slice ----------------------------------------------------------

TEST_F(Interpreter, EndlessLoopStopsWhenTheBudgetRunsOutAndResumesThere) {
    lua_State* th = start("while true do end");
    EXPECT_EQ(th->yielded_to_escape_slice, 0);
    // VARARGPREP then JMPs of 2: the test at 1002 holds.
    EXPECT_EQ(slice(th, 1000), LUA_YIELD);
    EXPECT_EQ(cpu_cycles, 1002);
    EXPECT_EQ(th->yielded_to_escape_slice, 1);
    EXPECT_EQ(last_results, 0);
    // The stopped frame keeps its mark until its next over-budget test, so the next stop
    // comes one instruction later.
    EXPECT_EQ(slice(th, 1000), LUA_YIELD);
    EXPECT_EQ(cpu_cycles, 1004);
    EXPECT_EQ(slice(th, 1000), LUA_YIELD);
    EXPECT_EQ(cpu_cycles, 1004);
}

TEST_F(Interpreter, ResumedOverBudgetRunsExactlyTheInterruptedInstruction) {
    lua_State* th = start("n = 0; while true do n = n + 1 end");
    EXPECT_EQ(slice(th, 200), LUA_YIELD);
    lua_Integer n = global_int("n");
    for (int i = 0; i < 50; i++) {
        EXPECT_EQ(slice(th, 200, 5000), LUA_YIELD);
        EXPECT_NEAR(cpu_cycles, 5001.5, 0.5);
    }
    // GETTABUP, ADDI, SETTABUP, JMP: 50 single instructions make 12 or 13 more additions.
    EXPECT_NEAR(global_int("n") - n, 12.5, 0.5);
}

TEST_F(Interpreter, SlicedRunDoesTheSameWorkForTheSameCycles) {
    const char* code = "local s = 0; for i = 1, 20000 do s = s + i * 2 - i end; total = s; return s";
    int64_t whole = cycles_of(code);
    for (int32_t budget : {1, 2, 3, 7, 100, 1001, 30000}) {
        lua_State* th = start(code);
        int64_t sum = 0;
        int slices = 0, status;
        for (; (status = slice(th, budget)) == LUA_YIELD; slices++) {
            sum += cpu_cycles;
            ASSERT_LT(slices, 200000);
        }
        sum += cpu_cycles;
        ASSERT_EQ(status, LUA_OK) << lua_tostring(th, -1);
        EXPECT_EQ(lua_tointeger(th, -1), 200010000) << budget;
        EXPECT_EQ(sum, whole) << budget;
        EXPECT_GE(slices, whole / (budget + 4) - 1) << budget;
    }
}

TEST_F(Interpreter, LiveValuesSurviveACollectionAtEveryStoppingPoint) {
    // Multiple results feeding a call, a table constructor and a return, with fresh
    // strings and tables held only in registers, collected between all slices.
    const char* code =
        "local function f(...) return ... end\n"
        "local acc = {}\n"
        "for i = 1, 12 do\n"
        "  local t = {f(i, tostring(i), {i})}\n"
        "  local s = table.concat({f('a', tostring(i * 3), 'b')})\n"
        "  local x, y, z = f(string.rep('x', i), i * 2, {i})\n"
        "  acc[#acc + 1] = s .. #t .. t[3][1] .. x .. y .. z[1] .. select('#', f(1, 2, 3))\n"
        "end\n"
        "return table.concat(acc, ',')";
    lua_State* th = start(code);
    ASSERT_EQ(slice(th, NO_LIMIT), LUA_OK);
    std::string expected = lua_tostring(th, -1);
    ASSERT_NE(expected.find("a36b312xxxxxxxxxxxx24123"), std::string::npos) << expected;
    for (int32_t budget = 1; budget <= 400; budget++) {
        th = start(code);
        int status, slices = 0;
        while ((status = slice(th, budget)) == LUA_YIELD) {
            lua_gc(L, LUA_GCCOLLECT);
            ASSERT_LT(++slices, 100000);
        }
        ASSERT_EQ(status, LUA_OK) << budget << ": " << lua_tostring(th, -1);
        ASSERT_EQ(expected, lua_tostring(th, -1)) << budget;
        lua_settop(L, 0);
    }
}

TEST_F(Interpreter, SuperyieldStopsBeforeTheNextInstruction) {
    lua_State* th = start("step = 1; superyield(); step = 2; while true do end");
    EXPECT_EQ(slice(th, 1000000), LUA_YIELD);
    EXPECT_EQ(global_int("step"), 1);
    EXPECT_LT(cpu_cycles, 100);
    EXPECT_EQ(th->yielded_to_escape_slice, 1);
    EXPECT_EQ(slice(th, 1000), LUA_YIELD);
    EXPECT_EQ(global_int("step"), 2);
}

TEST_F(Interpreter, CodeThatCannotYieldRunsOnUntilItIsBack) {
    // A gsub replacement function runs through lua_call: it is not stopped, even when the
    // kernel asks for the end of the slice, and the thread stops once gsub has returned.
    lua_State* th = start("n = 0\nstring.gsub(string.rep('x', 50), '.', function() for i = 1, 10 do n = n + 1 end end)"
                          "\nafter = true\nwhile true do end");
    EXPECT_EQ(slice(th, 50), LUA_YIELD);
    EXPECT_EQ(global_int("n"), 500);
    EXPECT_EQ(global_string("after"), "nil");
    EXPECT_GT(cpu_cycles, 3000);
    EXPECT_EQ(th->yielded_to_escape_slice, 1);

    th = start("m = 0\nstring.gsub('xyz', '.', function() superyield(); m = m + 1 end)\nafter = true\n"
               "while true do end");
    EXPECT_EQ(slice(th, 100000), LUA_YIELD);
    EXPECT_EQ(global_int("m"), 3);
    EXPECT_EQ(global_string("after"), "nil");
    EXPECT_EQ(slice(th, 100000), LUA_YIELD);
    EXPECT_EQ(global_string("after"), "true");
}

TEST_F(Interpreter, MainThreadCalledFromCIsNotStoppedButRunawayCodeEndsWithAnError) {
    cpu_cycles_max = 100;
    ASSERT_EQ(luaL_loadstring(L, "local s = 0; for i = 1, 1000 do s = s + i end; return s"), LUA_OK);
    cpu_cycles = 0;
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    EXPECT_EQ(lua_tointeger(L, -1), 500500);
    EXPECT_GT(cpu_cycles, 2000);
    EXPECT_EQ(L->yielded_to_escape_slice, 0);
    lua_settop(L, 0);
    // Runaway code there ends with an error.
    cpu_cycles_max = 1000;
    cpu_cycles = 0;
    ASSERT_EQ(luaL_loadstring(L, "while true do end"), LUA_OK);
    ASSERT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRRUN);
    EXPECT_NE(std::string(lua_tostring(L, -1)).find(":1: too many cycles in non-yieldable code"), std::string::npos)
        << lua_tostring(L, -1);
    // The error costs its raising and catching and its message.
    int64_t error_charge = LUA_WORKERROR + (int64_t)lua_rawlen(L, -1) / LUA_WORKSCAN;
    EXPECT_NEAR((int64_t)cpu_cycles - 1000, (1 << 23) + 5 + error_charge, 4);
    lua_settop(L, 0);

    // Caught in yieldable code, the error leaves a thread that the next test stops.
    lua_State* th = start("local ok, e = pcall(string.gsub, 'a', '.', function() while true do end end)\n"
                          "caught = e\nwhile true do end");
    // Back in yieldable code far over budget, it stops right after the pcall.
    EXPECT_EQ(slice(th, 1000), LUA_YIELD);
    EXPECT_EQ(global_string("caught"), "nil");
    EXPECT_EQ(slice(th, 1000), LUA_YIELD);
    EXPECT_NE(global_string("caught").find(":1: too many cycles in non-yieldable code"), std::string::npos)
        << global_string("caught");
    // Uncaught, it ends the thread with an error.
    th = start("string.gsub('a', '.', function() while true do end end)");
    EXPECT_EQ(slice(th, 1000), LUA_ERRRUN);
    EXPECT_NE(std::string(lua_tostring(th, -1)).find("too many cycles"), std::string::npos);
}

// --- Coroutines ---------------------------------------------------------------------------------

TEST_F(Interpreter, CoroutineStoppedByTheBudgetReturnsTrueAndNoValues) {
    lua_State* th = start(
        "co = coroutine.create(function() local i = 0; while true do i = i + 1; progress = i end end)\n"
        "r1 = table.pack(coroutine.resume(co))\n"
        "p1 = progress\n"
        "r2 = table.pack(coroutine.resume(co, 'ignored', 'values'))\n"
        "p2 = progress\n"
        "done = true\n"
        "while true do end");
    // The coroutine uses up each slice; its resumer stops right after it returns.
    int slices = 0;
    while (global_string("done") != "true") {
        ASSERT_EQ(slice(th, 5000), LUA_YIELD);
        ASSERT_LT(++slices, 20);
    }
    lua_getglobal(L, "co");
    lua_State* co = lua_tothread(L, -1);
    lua_pop(L, 1);
    ASSERT_NE(co, nullptr);
    EXPECT_EQ(co->yielded_to_escape_slice, 1);
    EXPECT_EQ(lua_status(co), LUA_YIELD);
    EXPECT_EQ(run("return r1.n .. ' ' .. tostring(r1[1] == true) .. ' ' .. r2.n"), "1 true 1");
    EXPECT_GT(global_int("p1"), 100);
    EXPECT_GT(global_int("p2"), global_int("p1"));
}

TEST_F(Interpreter, StoppedFrameKeepsItsSizeWhateverRoomIsAskedOfIt) {
    // coroutine.resume asks for room for its arguments and debug.getinfo for 3 slots; a
    // stopped frame ends at its top, so that room is added to the frame until it is resumed.
    lua_State* th = start("local a, b, c = 1, 2, 3; while true do a = a + b + c end");
    const Proto* p = ((const LClosure*)lua_topointer(th, 1))->p;
    for (int round = 0; round < 3000; round++) {
        ASSERT_EQ(slice(th, 9), LUA_YIELD);
        ASSERT_EQ(th->ci->top - th->ci->func, 1 + p->maxstacksize) << round;
        ASSERT_TRUE(lua_checkstack(th, 64)) << round;
    }
    EXPECT_LT(th->stack_last - th->stack, 1000);
}

TEST_F(Interpreter, ValuesPassedToAStoppedCoroutineAreDropped) {
    // Stopped between a multiple-result call and the call that takes its results, the
    // coroutine must not see the values of the resume that continues it.
    lua_State* th = start(
        "local function f() return 1, 2, 3 end\n"
        "local co = coroutine.create(function()\n"
        "  while true do local n = select('#', f()); if n ~= 3 then bad = n end; count = (count or 0) + 1 end\n"
        "end)\n"
        "for round = 1, 300 do coroutine.resume(co, 'junk', 'junk') end\n"
        "done = true");
    int status;
    int32_t budget = 1;
    while ((status = slice(th, budget)) == LUA_YIELD) budget = budget % 97 + 1;
    ASSERT_EQ(status, LUA_OK) << lua_tostring(th, -1);
    EXPECT_EQ(global_string("bad"), "nil");
    EXPECT_GT(global_int("count"), 100);
}

TEST_F(Interpreter, CoroutineResumedInsideNonYieldableCodeIsStillStopped) {
    lua_State* th = start(
        "local co = coroutine.wrap(function() while true do end end)\n"
        "string.gsub('ab', '.', function() co(); calls = (calls or 0) + 1 end)\n"
        "after = true");
    EXPECT_EQ(slice(th, 2000), LUA_YIELD);
    EXPECT_EQ(global_int("calls"), 2);
    EXPECT_EQ(slice(th, 2000), LUA_OK);
    EXPECT_EQ(global_string("after"), "true");
}

// --- Integer division and modulo ----------------------------------------------------------------

TEST_F(Interpreter, HooksSeeTheEventsOfStockLua) {
    // Line, count and call hooks share the interpreter's test before every instruction with the
    // budget; the events are those stock Lua 5.4.2 reports for the same chunk.
    luaL_requiref(L, LUA_DBLIBNAME, luaopen_debug, 1);
    lua_settop(L, 0);
    EXPECT_EQ(run(R"(local lines = {}
debug.sethook(function(ev, line) lines[#lines + 1] = line end, "l")
local a = 1
local b = 2
for i = 1, 3 do
  a = a + i
end
local function f(x)
  return x * 2
end
b = f(a) + f(b)
debug.sethook()
local counts = 0
debug.sethook(function() counts = counts + 1 end, "", 7)
local s = 0
for i = 1, 1000 do s = s + i % 7 end
debug.sethook()
local calls = {}
debug.sethook(function(ev) calls[#calls + 1] = ev end, "cr")
f(1)
debug.sethook()
return table.concat(lines, ",") .. " " .. counts .. " " .. table.concat(calls, ","))"),
              "3,4,5,6,5,6,5,6,5,10,11,9,9,12 1001 return,call,return,call");
}

TEST_F(Interpreter, DivisionByZeroGivesValuesForIntegersAndIeeeResultsForFloats) {
    const std::string max = "9223372036854775807", min = "-9223372036854775807";
    expect_each([&](const std::string& c) { return run(c); },
                {
                    {"local z = 0; return 7 // z", max}, {"local z = 0; return -7 // z", min},
                    {"local z = 0; return 0 // z", max}, {"local z = 0; return math.mininteger // z", min},
                    {"local z = 0; return 5 % z", "0"}, {"local z = 0; return -5 % z", "0"},
                    {"local z = -1; return 5 % z", "0"},
                    {"local z = -1; return math.mininteger // z == math.mininteger", "true"},
                    {"local z = -1; return math.mininteger % z", "0"},
                    // Constant divisors (not folded; computed by the constant-operand opcodes).
                    {"local a = 7; return a // 0", max}, {"local a = -7; return a // 0", min},
                    {"local a = 5; return a % 0", "0"}, {"return 7 // 0", max}, {"return -7 // 0", min},
                    {"return 5 % 0", "0"}, {"return 5 % -1", "0"},
                    // Ordinary results are unchanged.
                    {"local a, b = -7, 2; return a // b, a % b", "-4"}, {"local a, b = -7, 2; return a % b", "1"},
                    {"local a, b = 7, -2; return a % b", "-1"}, {"return 7 // 2", "3"},
                    {"local z = 0.0; return 7.0 // z", "inf"}, {"local z = 0; return -7.0 // z", "-inf"},
                    {"local z = 0.0; local r = 5.0 % z; return r ~= r", "true"},
                    {"local z = 0.0; local r = 0.0 // z; return r ~= r", "true"},
                });
    // Through the API the same rules hold.
    lua_pushinteger(L, -9);
    lua_pushinteger(L, 0);
    lua_arith(L, LUA_OPIDIV);
    EXPECT_EQ(lua_tointeger(L, -1), -INT64_MAX);
    lua_pushinteger(L, 0);
    lua_arith(L, LUA_OPMOD);
    EXPECT_EQ(lua_tointeger(L, -1), 0);
    lua_settop(L, 0);
}

TEST_F(Interpreter, ConstantFoldingStillRefusesAZeroDivisor) {
    for (const char* code : {"return 7 // 0", "return 7 % 0"}) {
        ASSERT_EQ(luaL_loadstring(L, code), LUA_OK);
        const Proto* p = proto_at(L, -1);
        bool computed = false;
        for (int i = 0; i < p->sizecode; i++) {
            OpCode op = GET_OPCODE(p->code[i]);
            computed |= op == OP_IDIVK || op == OP_MODK || op == OP_IDIV || op == OP_MOD;
        }
        EXPECT_TRUE(computed) << code;
        lua_pop(L, 1);
    }
    ASSERT_EQ(luaL_loadstring(L, "return 7 // 2"), LUA_OK);
    EXPECT_EQ(GET_OPCODE(proto_at(L, -1)->code[1]), OP_LOADI);
    lua_pop(L, 1);
}

// --- Stack limit --------------------------------------------------------------------------------

int stack_at_error = 0;

// Message handler: notes the stack size while the error is handled.
int note_stack_size(lua_State* L) {
    stack_at_error = (int)(L->stack_last - L->stack);
    return 1;
}

TEST_F(Interpreter, EndlessRecursionFailsWithStackOverflowAtTheLimit) {
    lua_pushcfunction(L, note_stack_size);
    ASSERT_EQ(luaL_loadstring(L, "depth = 0\nlocal function f() depth = depth + 1; return 1 + f() end\nreturn f()"),
              LUA_OK);
    stack_at_error = 0;
    ASSERT_EQ(lua_pcall(L, 0, 1, 1), LUA_ERRRUN);
    EXPECT_NE(std::string(lua_tostring(L, -1)).find("stack overflow"), std::string::npos) << lua_tostring(L, -1);
    EXPECT_EQ(stack_at_error, 100200);  // the handler works in the 200 slots past the limit
    lua_settop(L, 0);
    // Each nested call of f starts one slot above its caller (its function sits in the
    // caller's first register), so the depth reached is just under the slot limit.
    lua_Integer depth = global_int("depth");
    EXPECT_GT(depth, 99900);
    EXPECT_LE(depth, 100000);
    // Nor can the API grow a stack past the limit.
    lua_State* th = lua_newthread(L);
    EXPECT_FALSE(lua_checkstack(th, 100001));
    EXPECT_TRUE(lua_checkstack(th, 99000));
    EXPECT_EQ(LUAI_MAXSTACK, 100000);
}

// --- Memory reads -------------------------------------------------------------------------------

struct MemoryReads : Interpreter {
    process_record* rec = nullptr;
    void SetUp() override {
        Interpreter::SetUp();
        processes_init();
        memset(&app, 0, sizeof(app));
        rec = create_process_from_code("", "mem", "/apps/mem.lua", "");
        ASSERT_NE(rec, nullptr);
        set_current_process(rec);
    }
    void TearDown() override {
        processes_init();
        Interpreter::TearDown();
    }
    // Reads with the n-th memory-read operator (@ % $ *) at the address in a local.
    std::string read(int n, const char* address) {
        const char* op[] = {"@", "%", "$", "*"};
        return run(std::string("local a = ") + address + "\nreturn " + op[n] + "a");
    }
};

TEST_F(MemoryReads, OperatorsCompileToOneReadOfTheOperandRegister) {
    const OpCode expected[] = {OP_PEEK, OP_PEEK2, OP_PEEK4, OP_PEEK8};
    const char* op[] = {"@", "%", "$", "*"};
    for (int n = 0; n < 4; n++) {
        std::string code = std::string("local x, a = 1, 2; return ") + op[n] + "a";
        ASSERT_EQ(luaL_loadstring(L, code.c_str()), LUA_OK) << lua_tostring(L, -1);
        // VARARGPREP, LOADI, LOADI, the read of register 1 (a local keeps its register).
        Instruction i = proto_at(L, -1)->code[3];
        EXPECT_EQ(GET_OPCODE(i), expected[n]) << code;
        EXPECT_EQ(GETARG_B(i), 1);
        EXPECT_EQ(GETARG_A(i), 2);
        lua_pop(L, 1);
    }
    // A constant operand is not folded.
    ASSERT_EQ(luaL_loadstring(L, "return @16"), LUA_OK);
    const Proto* p = proto_at(L, -1);
    EXPECT_EQ(GET_OPCODE(p->code[1]), OP_LOADI);
    EXPECT_EQ(GET_OPCODE(p->code[2]), OP_PEEK);
    lua_pop(L, 1);
    // Each read costs 2 cycles.
    EXPECT_EQ(cycles_of("local a = 1; local b = @a") - cycles_of("local a = 1; local b = a"), 1);
}

TEST_F(MemoryReads, ResultsAreSignExtendedByWidthAndIntegralFloatsAreAddresses) {
    poke8(0x8000, (int64_t)0xFEDCBA9876543210ull);
    EXPECT_EQ(read(0, "0x8000"), "16");
    EXPECT_EQ(read(0, "0x8007"), "254");
    EXPECT_EQ(read(1, "0x8006"), std::to_string((int16_t)0xFEDC));
    EXPECT_EQ(read(1, "0x8000"), std::to_string(0x3210));
    EXPECT_EQ(read(2, "0x8004"), std::to_string((int32_t)0xFEDCBA98));
    EXPECT_EQ(read(3, "0x8000"), std::to_string((int64_t)0xFEDCBA9876543210ull));
    poke4(0x9000, 0x7FFFFFFF);
    EXPECT_EQ(read(2, "0x9000"), "2147483647");
    poke2(0x9000, 0x8000);
    EXPECT_EQ(read(1, "0x9000"), "-32768");
    EXPECT_EQ(run("return @0x8000 + @0x8001"), std::to_string(0x10 + 0x32));
    poke(16, 77);
    EXPECT_EQ(read(0, "16.0"), "77");
    EXPECT_EQ(read(0, "16"), "77");
    EXPECT_EQ(read(0, "-2^63"), std::to_string(peek(INT64_MIN)));
    EXPECT_EQ(read(0, "math.mininteger"), std::to_string(peek(INT64_MIN)));
}

TEST_F(MemoryReads, OtherOperandsAreArithmeticErrors) {
    const std::string number = ":2: attempt to perform arithmetic on a number value (local 'a')";
    const std::pair<std::string, std::string> cases[] = {
        {read(0, "1.5"), number}, {read(1, "2^63"), number}, {read(2, "0/0"), number}, {read(3, "1/0"), number},
        {read(0, "'16'"), ":2: attempt to perform arithmetic on a string value (local 'a')"},
        {read(0, "nil"), ":2: attempt to perform arithmetic on a nil value (local 'a')"},
        // No metamethod is consulted.
        {read(0, "setmetatable({}, {__unm = function() return 1 end})"),
         "attempt to perform arithmetic on a table value"},
        {run("return @g"), "a nil value (global 'g')"}};
    for (auto& [got, want] : cases) EXPECT_NE(got.find(want), std::string::npos) << got;
    EXPECT_EQ(run("return (pcall(function() return @{} end))"), "false");
}

// --- A process under the kernel ------------------------------------------------------------------

// A stopped state's frame ends at its top: make room before reading from it.
lua_Integer process_global(lua_State* L, const char* name) {
    if (!lua_checkstack(L, 1)) return -1;
    lua_getglobal(L, name);
    lua_Integer v = lua_tointeger(L, -1);
    lua_pop(L, 1);
    return v;
}

TEST(ProcessSlice, LoopingProcessEndsItsSliceOnBudgetAndRunsAgain) {
    processes_init();
    memset(&app, 0, sizeof(app));
    process_record* rec = create_process_from_code("n = 0 while true do n = n + 1 end", "loop", "/apps/loop.lua", "");
    ASSERT_NE(rec, nullptr);
    int64_t id = rec->id;

    prepare_processes_for_frame();
    int32_t outer_cycles = cpu_cycles;
    EXPECT_EQ(run_process_slice(rec, 1.0), frame_budget());
    ASSERT_EQ(get_process(id), rec);
    EXPECT_EQ(rec->state, PSTATE_RUNNING);
    EXPECT_EQ(lua_status(rec->L), LUA_YIELD);
    EXPECT_EQ(rec->L->yielded_to_escape_slice, 1);
    EXPECT_LE(rec->cycle_debt, 2u);
    EXPECT_EQ(cpu_cycles, outer_cycles);  // the caller's count is back
    lua_Integer n1 = process_global(rec->L, "n");
    EXPECT_NEAR((double)n1, frame_budget() / 7.0, 10.0);  // GETTABUP 2, ADDI 1, SETTABUP 2, JMP 2

    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(rec, 1.0), frame_budget());
    EXPECT_NEAR((double)(process_global(rec->L, "n") - n1), frame_budget() / 7.0, 10.0);

    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(rec, 0.25), (int32_t)(frame_budget() * 0.25));
    EXPECT_EQ(get_process(id)->state, PSTATE_RUNNING);
    processes_init();
}

}  // namespace
