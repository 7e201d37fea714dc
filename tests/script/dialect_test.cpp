// The script dialect as a process sees it: numerals, escapes, one-line statements, the
// print shorthand, compound assignment, memory reads and the libraries of a process.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "script/libs.h"
#include "test_support.h"

namespace {

std::string printed;  // what the test's print received: "(a,b)" per call

int capture_print(lua_State* L) {
    printed += "(";
    for (int i = 1; i <= lua_gettop(L); i++) {
        if (i > 1) printed += ",";
        printed += luaL_tolstring(L, i, nullptr);
        lua_pop(L, 1);
    }
    printed += ")";
    return 0;
}

int check_table_rwl(lua_State* L) {
    checktab(L, 1, 1 | 2 | 4);
    lua_pushboolean(L, 1);
    return 1;
}

// Stands in for a typed array: a full userdata counted from 0, #u = 4, u[i] = 10 i.
int array_len(lua_State* L) {
    lua_pushinteger(L, 4);
    return 1;
}
int array_index(lua_State* L) {
    lua_pushinteger(L, luaL_checkinteger(L, 2) * 10);
    return 1;
}

// A global userdata whose metatable has the given metamethods (any function will do).
void set_table_like(lua_State* L, const char* name, bool newindex, bool len) {
    lua_newuserdatauv(L, 8, 0);
    lua_newtable(L);
    lua_pushcfunction(L, array_index);
    lua_setfield(L, -2, "__index");
    if (newindex) {
        lua_pushcfunction(L, array_index);
        lua_setfield(L, -2, "__newindex");
    }
    if (len) {
        lua_pushcfunction(L, array_len);
        lua_setfield(L, -2, "__len");
    }
    lua_setmetatable(L, -2);
    lua_setglobal(L, name);
}

void* plain_alloc(void*, void* block, size_t, size_t new_size, int, size_t) {
    if (new_size == 0) {
        free(block);
        return nullptr;
    }
    return realloc(block, new_size);
}

struct Dialect : testing::Test {
    process_record* p = nullptr;
    lua_State* L = nullptr;
    // A state with the process libraries and an allocator that charges nothing, so that
    // the cycles counted are the libraries' own.
    lua_State* bare = nullptr;
    int32_t saved_max = 0;

    void SetUp() override {
        processes_init();
        memset(&app, 0, sizeof(app));
        p = create_process_from_code("", "dialect", "dialect", "");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
        L = p->L;
        saved_max = cpu_cycles_max;
        cpu_cycles = 0;
        cpu_cycles_max = INT32_MAX / 2;
        cpu_superyielding = 0;
        // The kernel's own load is built on luaB_load; register that directly.
        lua_pushcfunction(L, luaB_load);
        lua_setglobal(L, "load");
        printed.clear();
        bare = lua_newstate(plain_alloc, nullptr);
        ASSERT_NE(bare, nullptr);
        open_process_libraries(bare);
    }
    void TearDown() override {
        if (bare) lua_close(bare);
        cpu_cycles_max = saved_max;
        cpu_cycles = 0;
        processes_init();
    }

    std::string show(int i) {
        switch (lua_type(L, i)) {
            case LUA_TNIL: return "nil";
            case LUA_TBOOLEAN: return lua_toboolean(L, i) ? "true" : "false";
            case LUA_TSTRING: return "\"" + std::string(lua_tostring(L, i)) + "\"";
            case LUA_TNUMBER: {
                std::string s = luaL_tolstring(L, i, nullptr);
                lua_pop(L, 1);
                return s;
            }
            default: return luaL_typename(L, i);
        }
    }

    // Compiles src as the chunk "x" in text mode and runs it: its results separated by
    // ", ", or "compile: <message>" or "error: <message>". With a budget, it runs on a new
    // thread in slices of that many cycles instead.
    std::string run(const std::string& src, int32_t budget = 0) {
        int top = lua_gettop(L);
        int status = budget ? run_in_slices(L, src, budget) : luaL_loadbufferx(L, src.data(), src.size(), "=x", "t");
        std::string out;
        if (status == LUA_ERRSYNTAX) {
            out = std::string("compile: ") + lua_tostring(L, -1);
        } else if (status != LUA_OK || (!budget && lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK)) {
            const char* msg = lua_tostring(L, -1);
            out = std::string("error: ") + (msg ? msg : "?");
        } else {
            for (int i = top + 1; i <= lua_gettop(L); i++) out += (i > top + 1 ? ", " : "") + show(i);
        }
        lua_settop(L, top);
        return out;
    }
    // Each case, then again in stress mode: in slices of 4 to 40 cycles, so that the budget
    // stops it at nearly every instruction, with the same result.
    void check(const script_cases& cases) {
        expect_each([&](const std::string& c) { return run(c); }, cases);
        int32_t budget = 4;
        for (const auto& [code, want] : cases) {
            EXPECT_EQ(run(code, budget), want) << code << " (in slices of " << budget << " cycles)";
            budget = budget % 40 + 3;
        }
    }

    // A table resize's charge, for the slots it makes and visits.
    static int64_t resize_charge(int64_t slots) { return (LUA_WORKOBJECT * LUA_WORKSCAN + slots) / LUA_WORKSCAN; }

    // Cycles charged by calling table.<name> in the bare state from native code on the
    // given arguments (global names or integers), so that no instruction is counted.
    int64_t table_charge(const char* name, std::initializer_list<const char*> args) {
        lua_State* S = bare;
        int top = lua_gettop(S);
        lua_getglobal(S, "table");
        lua_getfield(S, -1, name);
        for (const char* a : args) {
            char* end = nullptr;
            long long v = strtoll(a, &end, 10);
            if (end && *end == 0 && end != a) lua_pushinteger(S, v);
            else lua_getglobal(S, a);
        }
        int32_t before = cpu_cycles;
        EXPECT_EQ(lua_pcall(S, (int)args.size(), LUA_MULTRET, 0), LUA_OK) << lua_tostring(S, -1);
        int64_t spent = (int64_t)cpu_cycles - before;
        lua_settop(S, top);
        return spent;
    }
};

// --- Numerals -------------------------------------------------------------------------------

TEST_F(Dialect, BinaryNumeralsInSourceAndStrings) {
    std::string ones(65, '1');
    check({
        {"return 0b101, 0B11, 0b0, 0b0001", "5, 3, 0, 1"}, {"return math.type(0b101)", "\"integer\""},
        {"return tonumber('0b11'), tonumber('-0b101'), tonumber(' 0b11 '), tonumber('+0B1')", "3, -5, 3, 1"},
        // 65 ones wrap around like an overlong hexadecimal integer.
        {"return 0b" + ones + ", tonumber('0b" + ones + "'), 0x" + std::string(17, 'f'), "-1, -1, -1"},
        {"return tonumber('0b1' .. string.rep('0', 63))", "-9223372036854775808"},
        // Fractions and exponents.
        {"return tonumber('0b1.1'), tonumber('0b.1'), tonumber('0b1p3'), tonumber('0b1p-1')", "1.5, 0.5, 8.0, 0.5"},
        {"return tonumber('0b1.1p+2'), tonumber('-0b1.1'), tonumber(' 0b10.01 ')", "6.0, -1.5, 2.25"},
        {"return 0b1.1, 0b.1, 0b11.0", "1.5, 0.5, 3.0"},
        // Digits past the 64th significant one still scale the value.
        {"return tonumber('0b1' .. string.rep('0', 70) .. '.0') == 2.0^70", "true"},
        {"return tonumber('0b0.' .. string.rep('0', 80) .. '1') == 2.0^-81", "true"},
        // Absurd exponents saturate instead of overflowing.
        {"return tonumber('0b1p99999999999999') == math.huge, tonumber('0b1p-99999999999999')", "true, 0.0"},
        {"return '0b11' + 1, '0b1.1' * 2", "4, 3.0"},  // string arithmetic reads binary
        // Malformed.
        {"return tonumber('0b'), tonumber('0b2'), tonumber('0b12'), tonumber('0b1.1.1')", "nil, nil, nil, nil"},
        {"return tonumber('0b1p'), tonumber('0bp1'), tonumber('0b1 x'), tonumber('0b1e5')", "nil, nil, nil, nil"},
        {"return 0b12", "compile: x:1: malformed number near '0b12'"},
        {"return 0b1p3", "compile: x:1: malformed number near '0b1p'"},
        {"return 0b", "compile: x:1: malformed number near '0b'"},
        // Other numerals are unchanged.
        {"return 0xb, 0x1.8, 0xB1, tonumber('0x1b'), 1e2, tonumber('0x1p4')", "11, 1.5, 177, 27, 100.0, 16.0"},
        {"return tonumber('inf'), tonumber('nan'), tonumber('1b')", "nil, nil, nil"},
    });
}

// --- Escapes and operator tokens -------------------------------------------------------------

TEST_F(Dialect, EscapesAndOperatorTokens) {
    check({
        {"return ('\\*\\#\\-\\|\\+\\^'):byte(1, -1)", "1, 2, 3, 4, 5, 6"},
        {"return #'a\\*b', '\\*' == '\\1'", "3, true"},
        {"return '\\q'", "compile: x:1: invalid escape sequence near ''\\q'"},
        {"return 5 ^^ 3, ^^0, 6 ~ 3, 2 ^ 3", "6, -1, 5, 8.0"},
        {"return 3 != 4, 3 != 3, 'a' != 'b'", "true, false, true"},
        {"return 7 \\ 2, -7 \\ 2, 7.5 \\ 2", "3, -4, 3.0"}, {"return !x", "compile: x:1: unexpected symbol near '!'"},
        // Added tokens are named unquoted.
        {"+= 1", "compile: x:1: unexpected symbol near +="},
        {"x = ..= 1", "compile: x:1: unexpected symbol near ..="},
        {"x = 1 != 2 ^^= 3", "compile: x:1: unexpected symbol near ^^="},
        // Never produced as one token: each splits into a shift and a comparison.
        {"local x = 1 x >>>= 1", "compile: x:1: syntax error near '>>'"},
        {"local x = 1 x <<>= 1", "compile: x:1: syntax error near '<<'"},
        {"local x = 1 x //= 1", "compile: x:1: syntax error near '//'"},
    });
}

// --- One-line if and while --------------------------------------------------------------------

TEST_F(Dialect, OneLineIfAndElse) {
    check({
        {"local y = 0 local x = 1 if (x > 0) y = 1\nreturn y", "1"},
        {"local y = 0 local x = -1 if (x > 0) y = 1\nreturn y", "0"},
        {"local y = 0 if (true) y = 1 y = y + 1\nreturn y", "2"},
        {"local y = 0 if (false) y = 1 y = y + 1\nreturn y", "0"},
        {"g_eof = 0 if (true) g_eof = 3", ""}, {"return g_eof", "3"},
        {"local y = 0 if (true) then y = 1 end return y", "1"},
        {"local x if (false) x = 1 else x = 2\nreturn x", "2"}, {"local x if (true) x = 1 else x = 2\nreturn x", "1"},
        {"local x = 0 if (false) x = 1 else x = 2 x = x * 10\nreturn x", "20"},
        {"local x if (a) x = 1 elseif (b) x = 2", "compile: x:1: 'then' expected near 'x'"},
        {"if (true) return 1 else return 2 else", "compile: x:1: <eof> expected near 'else'"},
        // The condition must be one group on the line.
        {"local y if x > 0 y = 1", "compile: x:1: 'then' expected near 'y'"},
        {"local y if (a) and (b) y = 1", "compile: x:1: 'then' expected near 'y'"},
        {"a, b = true, true local y = 0 if ((a) and (b)) y = 1\nreturn y", "1"},
        {"if (a) (f)()", "compile: x:1: 'then' expected near <eof>"},
        {"local r if (f)() r = 1", "compile: x:1: 'then' expected near 'r'"},
        {"local r if (true)\n r = 1 end return r", "compile: x:2: 'then' expected near 'r'"},
        {"local r if (true) -- why\n r = 1 end return r", "compile: x:2: 'then' expected near 'r'"},
    });
}

TEST_F(Dialect, OneLineStatementsEndWithTheirLine) {
    check({
        // An 'end' that closes the enclosing function ends the one-line if too.
        {"local function f(a) if (a) return 1 end return f(true)", "1"},
        {"local i = 0 repeat i = i + 1 if (i > 100) break until i >= 3 return i", "3"},
        {"local i = 0 while true do i = i + 1 if (i == 5) break\nend return i", "5"},
        {"local i = 0 while true do i = i + 1 if (i >= 5) break i = 100\nend return i", "5"},
        {"if (true) return 1 2", "compile: x:1: <eol> expected near '2'"},
        {"if (true) return 1 --[[\n]] 2", "compile: x:2: <eol> expected (to close 'if' at line 1) near '2'"},
        // A body that does not fit on its line meets the end of the line inside.
        {"if (true) local f = function()\nend",
         "compile: x:2: 'end' expected (to close 'function' at line 1) near <eol>"},
        {"local t if (true) t = {\n1}", "compile: x:2: unexpected symbol near <eol>"},
        // A line break in a long string or long comment is not the end of the line.
        {"local s if (true) s = [[a\nb]] s = s .. '!'\nreturn s", "\"a\nb!\""},
        {"local s = 0 if (true) s = 1 --[[ a\nb ]] s = s + 1\nreturn s", "2"},
        {"local s if (true) s = 'a\\\nb' s = s .. '!'\nreturn s", "\"a\nb!\""},
        {"local s if (true) s = 'a\\z\n   b' s = s .. '!'\nreturn s", "\"ab!\""},
        // Nested one-line statements share the line break; spaces or a comment before it do
        // not carry an owed end of line over to the next line.
        {"local r = 0 if (true) if (true) r = 5\nreturn r", "5"},
        {"local r = 0 if (false) if (true) r = 5\nr = r + 1 return r", "1"},
        {"local r = 0 if (false) if (true) r = 5   \nr = r + 1 return r", "1"},
        {"local r = 0 if (false) if (true) r = 5 -- note\nr = r + 1 return r", "1"},
        {"local i, n = 0, 0 if (true) while (i < 4) i += 1 n += 2\nreturn i, n", "4, 8"},
        // One-line while.
        {"local i = 0 while (i < 10) i += 1\nreturn i", "10"},
        {"local i = 0 while (i < 3) do i = i + 1 end return i", "3"},
        {"local i = 0 while (nil) i = 1\nreturn i", "0"},
        {"local i = 0 while i < 3 i = i + 1", "compile: x:1: 'do' expected near 'i'"},
        {"local i = 0 while (i < 3)\n i = i + 1", "compile: x:2: 'do' expected near 'i'"},
        {"while (true)", "compile: x:1: 'do' expected near <eof>"},
        {"while (i) and (j) i = 1", "compile: x:1: 'do' expected near 'i'"},
        {"while (false) return 1 --[[\n]] 2", "compile: x:2: <eol> expected (to close 'while' at line 1) near '2'"},
        {"local i = 0 while (true) i += 1 if (i > 3) break\nreturn i", "4"},
    });
}

// --- The print shorthand ---------------------------------------------------------------------

TEST_F(Dialect, QuestionMarkPrintsWithThePrintInScope) {
    lua_pushcfunction(L, capture_print);
    lua_setglobal(L, "print");
    const std::pair<const char*, const char*> prints[] = {
        {"?\n? 1, 'a'\n? nil, false", "()(1,a)(nil,false)"},
        {"local function f() return 1, 2, 3 end ? f()\n? f(), 5", "(1,2,3)(1,5)"},
        {"if (true) ? 'a'\n? 'b'", "(a)(b)"},
        {"? ? 1", "(1)(nil)"},  // the inner shorthand is an expression: print's one result (none, so nil)
    };
    for (auto& [code, want] : prints) {
        printed.clear();
        EXPECT_EQ(run(code), "") << code;
        EXPECT_EQ(printed, want) << code;
    }
    check({
        {"local n local function print(...) n = select('#', ...) end ? 1, 2, 3\nreturn n", "3"},
        {"local function print(a) return a * 2 end local x = ? 21\nreturn x", "42"},
        // The line break ending the arguments is consumed: the next line continues.
        {"local function print(a) return a * 2 end local x = ? 21\n+ 1 return x", "43"},
        {"print = nil ? 1", "error: x:1: attempt to call a nil value (global 'print')"},
        {"? 1 end", "compile: x:1: <eol> expected near 'end'"},
        {"? 1 --[[\n]] 2", "compile: x:2: <eol> expected (to close ? at line 1) near '2'"},
        {"? (1\n)", "compile: x:2: ')' expected (to close '(' at line 1) near <eol>"},
    });
}

// --- Compound assignment ---------------------------------------------------------------------

TEST_F(Dialect, EveryCompoundOperator) {
    struct Case {
        const char *init, *op, *rhs, *want;
    };
    const Case cases[] = {
        {"5", "+=", "2", "7"},     {"5", "-=", "2", "3"},       {"5", "*=", "1 + 2", "15"},
        {"5", "/=", "2", "2.5"},   {"7", "%=", "4", "3"},       {"2", "^=", "2 + 1", "8.0"},
        {"7", "\\=", "2", "3"},    {"6", "&=", "3", "2"},       {"6", "|=", "1", "7"},
        {"5", "^^=", "3", "6"},    {"1", "<<=", "4", "16"},     {"16", ">>=", "2", "4"},
        {"'a'", "..=", "'b' .. 'c'", "\"abc\""},
    };
    for (const Case& c : cases) {
        std::string op = std::string(" ") + c.op + " " + c.rhs;
        EXPECT_EQ(run(std::string("local x = ") + c.init + " x" + op + " return x"), c.want) << c.op << " local";
        EXPECT_EQ(run(std::string("gx = ") + c.init + " gx" + op + " return gx"), c.want) << c.op << " global";
        EXPECT_EQ(run(std::string("local t = {k = ") + c.init + "} t.k" + op + " return t.k"), c.want)
            << c.op << " field";
    }
    check({
        {"local x = 5 local function f() x += 2 end f() return x", "7"}, {"local x = '10' x += 1 return x", "11"},
        {"local x = 1 x += nil or 2 return x", "3"},
        // The target must be a writable variable.
        {"f() += 1", "compile: x:1: syntax error near +="},
        {"local x = 1 (x) += 1", "compile: x:1: syntax error near +="},
        {"local x <const> = 1 x += 1", "compile: x:1: attempt to assign to const variable 'x'"},
        {"local x <close> = nil x ..= 'a'", "compile: x:1: attempt to assign to const variable 'x'"},
        {"local a, b = 1, 2 a, b += 1", "compile: x:1: '=' expected near +="},
    });
}

TEST_F(Dialect, CompoundTargetEvaluatedOnceAndItsHiddenLocalsEndWithTheStatement) {
    check({
        {"local n = 0 local t = {5} local function f() n = n + 1 return 1 end t[f()] += 1 return t[1], n", "6, 1"},
        {"local n = 0 local a = {b = {c = 10}} local function g() n = n + 1 return a end g().b.c -= 1 return a.b.c, n",
         "9, 1"},
        {"local reads, writes = 0, 0 local store = {x = 1} "
         "local t = setmetatable({}, {__index = function(_, k) reads = reads + 1 return store[k] end, "
         "__newindex = function(_, k, v) writes = writes + 1 store[k] = v end}) t.x += 4 return store.x, reads, writes",
         "5, 1, 1"},
        {"local t = {a = {1, 2, 3}} local i = 2 t.a[i] *= 10 return t.a[2]", "20"},
        {"local t = {v = 1} t.v += t.v + 1 return t.v", "3"},
        {"local i <const> = 1 local t = {} t[i + 1] = 5 t[i + 1] += 1 return t[2], t[1]", "6, nil"},
        // A goto may pass a compound assignment to a label with statements after it.
        {"local t = {{1}} do goto skip t[1][1] += 1 ::skip:: t[1][1] = t[1][1] + 5 end return t[1][1]", "6"},
    });
    std::string many = "local t = {a = {n = 0}}\n";
    for (int i = 0; i < 300; i++) many += "t.a.n += 1\n";
    EXPECT_EQ(run(many + "return t.a.n"), "300");
    // They still count while the right-hand side is compiled.
    std::string full = "local t = {a = {n = 0}}\n";
    for (int i = 0; i < 199; i++) full += "local v" + std::to_string(i) + "\n";
    EXPECT_EQ(run(full + "t.a.n += 1"),
              "compile: x:201: too many local variables (limit is 200) in main function near +=");
    EXPECT_EQ(run(full + "t.a = 1"), "");
}

// --- Memory reads ------------------------------------------------------------------------------

TEST_F(Dialect, MemoryReadOperators) {
    poke(0x100, 7);
    poke2(0x200, 0xFFFE);
    poke4(0x300, 0x80000000);
    poke8(0x400, -5);
    poke(0x10, 3);
    check({
        {"return @0x100, %0x200, $0x300, *0x400", "7, -2, -2147483648, -5"},
        {"local a = 0x100 return @a + 1, -@a, @a * 2, 2 * *0x400", "8, -7, 14, -10"},
        // The operand binds tighter than '^' on its right: @a ^ 2 is @(a ^ 2).
        {"local a = 16 return @a ^ 2, (@a) ^ 2", "7, 9.0"}, {"return 7 % %0x200, %0x200 % 5, @0x100.0", "-1, 3, 7"},
        {"local a = 1.5 return @a", "error: x:1: attempt to perform arithmetic on a number value (local 'a')"},
        {"return @nil", "error: x:1: attempt to perform arithmetic on a nil value"},
        {"@a = 1", "compile: x:1: unexpected symbol near '@'"},
    });
}

// --- Libraries ---------------------------------------------------------------------------------

TEST_F(Dialect, LibrarySetOfAProcess) {
    check({
        {"return dofile, loadfile, xpcall, require, io, os, package, table.sort, string.dump",
         "nil, nil, nil, nil, nil, nil, nil, nil, nil"},
        {"xpcall(print)", "error: x:1: attempt to call a nil value (global 'xpcall')"},
        {"table.sort({})", "error: x:1: attempt to call a nil value (field 'sort')"},
        {"string.dump(print)", "error: x:1: attempt to call a nil value (field 'dump')"},
        {"return os.time()", "error: x:1: attempt to index a nil value (global 'os')"},
        {"return _VERSION, ('abc'):upper()", "\"Lua 5.4\", \"ABC\""},
    });
    // Not in stress mode: stopped by the budget, a wrapped coroutine returns nothing.
    EXPECT_EQ(run("return coroutine.wrap(function() return 5 end)()"), "5");
    // The bare state: exactly seven libraries, the base functions, and no load.
    lua_getfield(bare, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    int count = 0;
    for (lua_pushnil(bare); lua_next(bare, -2); lua_pop(bare, 1)) count++;
    lua_pop(bare, 1);
    EXPECT_EQ(count, 7);
    auto expect_type = [&](std::initializer_list<const char*> names, int type) {
        for (const char* name : names) {
            EXPECT_EQ(lua_getglobal(bare, name), type) << name;
            lua_pop(bare, 1);
        }
    };
    expect_type({"_G", "coroutine", "table", "string", "math", "utf8", "debug"}, LUA_TTABLE);
    expect_type({"assert", "collectgarbage", "error", "getmetatable", "ipairs", "next", "pairs", "pcall", "print",
                 "warn", "rawequal", "rawlen", "rawget", "rawset", "select", "setmetatable", "tonumber", "tonum",
                 "tostring", "type"},
                LUA_TFUNCTION);
    expect_type({"load", "dofile", "loadfile", "xpcall", "require", "io", "os", "package"}, LUA_TNIL);
}

TEST_F(Dialect, TonumAndLoad) {
    check({
        {"return tonum('0b101'), tonum(' 12 '), tonum('0x10'), tonum('1e2')", "5, 12, 16, 100.0"},
        {"return tonum(true), tonum(false), tonum(3.5), tonum(7)", "1, 0, 3.5, 7"},
        {"return select('#', tonum('12a')), select('#', tonum(nil)), select('#', tonum({})), select('#', tonum()), "
         "select('#', tonum('1\\0'))",
         "0, 0, 0, 0, 0"},
        {"return tonumber('0b11'), tonumber('12a')", "3, nil"},
        // load compiles text only.
        {"return load('return 1')()", "1"},
        {"return load('\\27Lua rest')", "nil, \"attempt to load a binary chunk (mode is 't')\""},
        {"return load('\\27Lua rest', 'n', 'b')", "nil, \"attempt to load a binary chunk (mode is 't')\""},
        {"return load('return 2', 'n', 'b')()", "2"}, {"return load('return y', 'n', 't', {y = 7})()", "7"},
        {"return load('return y', '=n', 't', nil)()", "error: n:1: attempt to index a nil value (upvalue '_ENV')"},
        {"return load('x = = 1', '=c')", "nil, \"c:1: unexpected symbol near '='\""},
        {"local parts, i = {'return ', '3'}, 0 return load(function() i = i + 1 return parts[i] end)()", "3"},
        {"return load(function() return {} end)", "nil, \"x:1: reader function must return a string\""},
        {"load({})", "error: x:1: bad argument #1 to 'load' (function expected, got table)"},
        {"load('x', {})", "error: x:1: bad argument #2 to 'load' (string expected, got table)"},
    });
}

TEST_F(Dialect, TableLibraryCharges) {
    ASSERT_EQ(luaL_dostring(bare, "t = {} for i = 1, 1000 do t[i] = i end small = {1, 2, 3} empty = {}"), LUA_OK);
    EXPECT_EQ(table_charge("insert", {"t", "1", "0"}), 1000);
    EXPECT_EQ(table_charge("remove", {"t", "1"}), 1000);
    ASSERT_EQ(luaL_dostring(bare, "assert(#t == 1000)"), LUA_OK);
    EXPECT_EQ(table_charge("remove", {"t", "1"}), 999);
    EXPECT_EQ(table_charge("remove", {"t"}), 1);
    EXPECT_EQ(table_charge("insert", {"t", "5"}), 0);
    EXPECT_EQ(table_charge("insert", {"t", "1000", "5"}), 1);
    EXPECT_EQ(table_charge("remove", {"t", "1000"}), 1);
    EXPECT_EQ(table_charge("remove", {"t", "1000"}), 0);  // #t + 1: nothing moved
    // pack also makes its table, three array slots and a hash slot for n; move grows small.
    EXPECT_EQ(table_charge("pack", {"1", "2", "3"}), 6 + LUA_WORKOBJECT + resize_charge(3 + 1));
    EXPECT_EQ(table_charge("unpack", {"small"}), 6);
    EXPECT_EQ(table_charge("unpack", {"empty"}), 0);
    // concat and move charge the elements they read, 6 cycles each.
    EXPECT_EQ(table_charge("concat", {"small"}), 18);
    EXPECT_EQ(table_charge("move", {"small", "1", "3", "2"}), 18 + resize_charge(4 + 3));
    EXPECT_EQ(table_charge("concat", {"empty"}), 0);
    EXPECT_EQ(run("return table.pack(1, 2, 3).n"), "3");
}

TEST_F(Dialect, UnpackOfATypedArrayStartsAtZero) {
    set_table_like(L, "u", false, true);
    set_table_like(bare, "u", false, true);
    // Without bounds: indices 0 to #u, one value more than the elements.
    check({
        {"return table.unpack(u)", "0, 10, 20, 30, 40"}, {"return table.unpack(u, nil, 1)", "0, 10"},
        {"return table.unpack(u, 1, 2)", "10, 20"}, {"return table.unpack(u, 2)", "20, 30, 40"},
    });
    // Its length and its five elements are six metamethod calls.
    EXPECT_EQ(table_charge("unpack", {"u"}), 10 + 6 * LUA_WORKMETA);
}

TEST_F(Dialect, TableLibraryMessagesHugeLengthsAndTableLikeValues) {
    lua_pushcfunction(L, check_table_rwl);
    lua_setglobal(L, "ct");
    set_table_like(L, "all", true, true);
    set_table_like(L, "nolen", true, false);
    check({
        {"table.concat({1, {}, 3})", "error: x:1: invalid value (table) at index 2 in table for 'concat'"},
        {"table.concat({}, '', math.maxinteger - 1, math.maxinteger)",
         "error: x:1: invalid value (nil) at index 9223372036854775806 in table for 'concat'"},
        {"table.insert({}, 1, 2, 3)", "error: x:1: wrong number of arguments to 'insert'"},
        {"table.insert({}, 5, 1)", "error: x:1: bad argument #2 to 'insert' (position out of bounds)"},
        {"table.unpack({}, 1, 1e8)", "error: x:1: too many results to unpack"},
        // The slot past a length of math.maxinteger wraps around instead of overflowing.
        {"local t = setmetatable({}, {__len = function() return math.maxinteger end}) "
         "table.insert(t, 'v') return t[math.mininteger]",
         "\"v\""},
        {"return ct({}), ct(all)", "true, true"},
        {"ct(5)", "error: x:1: bad argument #1 to 'ct' (table expected, got number)"},
        {"ct('abc')", "error: x:1: bad argument #1 to 'ct' (table expected, got string)"},
        {"ct(nolen)", "error: x:1: bad argument #1 to 'ct' (table expected, got userdata)"},
    });
}

}  // namespace
