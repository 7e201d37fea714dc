// The registry's names and the general script functions, run as scripts inside a process.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "api/registry.h"
#include "kernel/api.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "test_support.h"

namespace {

struct Script : testing::Test {
    process_record* p = nullptr;
    void SetUp() override {
        processes_init();
        p = create_process_from_code("", "test", "test", "");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
    }
    void TearDown() override { processes_init(); }

    std::string run(const std::string& code) { return run_script(p->L, code); }
    std::string exec(const std::string& code) { return exec_script(p->L, code); }
};

TEST(Registry, EveryNameOnceWithSharedFunctionsForAliases) {
    std::vector<std::string> names;
    std::set<void*> functions;
    struct ctx_t { std::vector<std::string>* names; std::set<void*>* fns; } ctx{&names, &functions};
    api_for_each_function(
        [](const char* name, int (*fn)(lua_State*), void* c) {
            auto* x = (ctx_t*)c;
            x->names->push_back(name);
            x->fns->insert((void*)fn);
        },
        &ctx);
    EXPECT_EQ(names.size(), 155u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 155u);
    EXPECT_EQ(functions.size(), 139u);
    EXPECT_EQ(names.front(), "deli");
    EXPECT_EQ(names.back(), "memset");
}

int throw_bad_alloc(lua_State*) { throw std::bad_alloc(); }
int throw_length_error(lua_State*) {
    std::string s;
    s.reserve(s.max_size() + 1);
    return 0;
}
int raise_plain(lua_State* L) { return luaL_error(L, "plain"); }
int return_two(lua_State* L) {
    lua_pushinteger(L, 1);
    lua_pushinteger(L, 2);
    return 2;
}

TEST_F(Script, HostAllocationFailureInAFunctionIsTheProcessMemoryError) {
    lua_register(p->L, "bad_alloc", api_guarded<throw_bad_alloc>);
    lua_register(p->L, "length_error", api_guarded<throw_length_error>);
    lua_register(p->L, "two", api_guarded<return_two>);
    lua_register(p->L, "plain", api_guarded<raise_plain>);
    // Results and script errors pass the guard unchanged.
    EXPECT_EQ(run("two()"), "1 2");
    EXPECT_EQ(run("pcall(plain)"), "false plain");
    EXPECT_EQ(p->out_of_memory, 0);
    for (const char* f : {"bad_alloc", "length_error"}) {
        p->out_of_memory = 0;
        EXPECT_EQ(run(std::string("pcall(") + f + ")"), "false not enough memory") << f;
        EXPECT_EQ(p->out_of_memory, 1) << f;
    }
    cpu_superyielding = 0;
}

TEST_F(Script, TableFunctions) {
    EXPECT_EQ(run("(function() local t = {1, 2, 3} add(t, 9, 2) return table.concat(t, ',') end)()"), "1,9,2,3");
    EXPECT_EQ(run("add({1}, 5)"), "5");
    EXPECT_NE(run("add({1}, 5, 4)").find("position out of bounds"), std::string::npos);
    // One past the end appends; two past the end (or before the start) is refused.
    EXPECT_EQ(run("(function() local t = {1, 2} add(t, 9, 3) return table.concat(t, ',') end)()"), "1,2,9");
    EXPECT_EQ(run("(function() local t = {} add(t, 9, 1) return #t, t[1] end)()"), "1 9");
    for (const char* bad : {"add({1, 2}, 9, 4)", "add({}, 9, 2)", "add({1}, 9, 0)"})
        EXPECT_NE(run(bad).find("position out of bounds"), std::string::npos) << bad;
    EXPECT_NE(run("add({}, 1, 1, 1)").find("wrong number of arguments to 'insert'"), std::string::npos);
    EXPECT_EQ(run("add({})"), "");
    EXPECT_EQ(run("(function() local t = {4, 5, 4} local v = del(t, 4) return v, #t, t[1] end)()"), "4 2 5");
    EXPECT_EQ(run("del({1}, 3)"), "");
    EXPECT_EQ(run("deli({})"), "");
    EXPECT_EQ(run("(function() local t = {1, 2, 3} return deli(t), #t end)()"), "3 2");
    EXPECT_EQ(run("(function() local t = {1, 2, 3} return deli(t, 1), t[1], #t end)()"), "1 2 2");
    EXPECT_EQ(run("deli({1, 2}, nil)"), "");
    EXPECT_EQ(run("count({1, 2, 1}), count({1, 2, 1}, 1), count(5)"), "3 2");
}

TEST_F(Script, Characters) {
    EXPECT_EQ(run("chr(72, 105, 256 + 33)"), "Hi!");
    EXPECT_EQ(run("chr()"), "");
    EXPECT_EQ(run("ord('abc', 2, 3)"), "98 99 nil");
    EXPECT_EQ(run("ord('abc')"), "97");
    EXPECT_EQ(run("ord('abc', 1, 0)"), "");
    EXPECT_EQ(run("_strindex('abc', 2), _strindex('abc', 4), _strindex('abc')"), "b nil nil");
}

TEST_F(Script, Tokenizer) {
    EXPECT_EQ(run("tokenoid('local x = 1')"), "local 6 1");
    EXPECT_EQ(run("tokenoid('local x = 1', 6)"), "  7 0");
    EXPECT_EQ(run("tokenoid('0x1f+1')"), "0x1f 5 2");
    EXPECT_EQ(run("tokenoid('\"a\\\\\"b\" x')"), "\"a\\\"b\" 7 4");
    EXPECT_EQ(run("tokenoid('-- note\\nx')"), "-- note 8 3");
    EXPECT_EQ(run("tokenoid('--[[ open')"), "--[[ open 10 3 768");
    EXPECT_EQ(run("tokenoid('still ]] x', 1, 768)"), "still ]] 9 3");
    EXPECT_EQ(run("tokenoid('[==[ s ]==]')"), "[==[ s ]==] 12 4");
    EXPECT_EQ(run("tokenoid('+')"), "+ 2 5");
    EXPECT_EQ(run("tokenoid('a ]] b', 1, 0x300 + 200)"), "a ]] b 7 3 968");
    EXPECT_EQ(run("tokenoid('abc', 9)"), "");
    EXPECT_EQ(run("tokenoid({})"), "");
}

TEST_F(Script, Maths) {
    EXPECT_EQ(run("flr(-0.5), flr(3), ceil(2.1), flr('x')"), "-1 3 3 0");
    EXPECT_EQ(run("cos(0.25), sin(0.25), cos(0), sin(0.75)"), "0 -1 1 1");
    EXPECT_EQ(run("math.abs(cos(-0.25)) < 1e-4 and cos(-0.25) ~= 0"), "true");
    EXPECT_EQ(run("atan2(1, 0)"), "-0");
    EXPECT_EQ(run("math.abs(atan2(0, 1) + 0.25) < 1e-4, math.abs(atan2(-1, 0) + 0.5) < 1e-4"), "true true");
    EXPECT_EQ(run("max(3), max(-3), max(-2.5), min(1, 2.5)"), "3 0 0 1");
    EXPECT_EQ(run("math.type(max(-2.5)), math.type(min(1, 2.5)), math.type(max(1, '7.5'))"), "float float integer");
    EXPECT_EQ(run("max(1, '7.5')"), "7");
    EXPECT_EQ(run("mid(3, 1, 2), mid(1, 1, 2), mid(1.5, 0, 9)"), "2 1 1.5");
    EXPECT_EQ(run("abs(math.mininteger) == math.maxinteger, abs(-2), abs(-2.5), abs('x')"), "true 2 2.5 0");
    EXPECT_EQ(run("sgn(-3), sgn(0), sgn('x'), sgn('-1')"), "-1 1 1 -1");
    EXPECT_EQ(run("sqrt(16), sqrt('x')"), "4 0");
}

TEST_F(Script, RandomStreamsRepeatWhenSeeded) {
    std::string a = run("(function() srand(42) return rnd(), rnd(100), rnd({7, 8, 9}) end)()");
    EXPECT_EQ(run("(function() srand(42) return rnd(), rnd(100), rnd({7, 8, 9}) end)()"), a);
    EXPECT_EQ(run("rnd({})"), "");
    EXPECT_EQ(run("(function() for i = 1, 1000 do local r = rnd() if r < 0 or r >= 1 then return false end end "
                  "return true end)()"),
              "true");
    uint64_t s[4] = {1, 2, 3, 4};
    EXPECT_EQ(xoshiro256ss(s), 11520u);  // the published generator's first output for this state
    EXPECT_EQ(xoshiro256ss(s), 0u);
}

TEST_F(Script, Splitting) {
    EXPECT_EQ(run("(function() local t = split('1,,b') return #t, math.type(t[1]), t[1], t[2] == '', t[3] end)()"),
              "3 integer 1 true b");
    EXPECT_EQ(run("table.unpack(split('abc', 2))"), "ab c");
    EXPECT_EQ(run("table.unpack(split('12', ''))"), "1 2");
    EXPECT_EQ(run("math.type(split('12', '')[1])"), "float");
    EXPECT_EQ(run("table.unpack(split('a;b c', '; '))"), "a b c");
    EXPECT_EQ(run("table.unpack(split('1,2', ',', false))"), "1 2");
    EXPECT_EQ(run("math.type(split('1,2', ',', false)[1])"), "nil");
    EXPECT_EQ(run("#split('abc', 99), #split('a,', ',')"), "1 2");
    // A piece holding a zero byte stays a string and leaves nothing behind on the stack.
    EXPECT_EQ(run("(function() local t = split('1\\0,2') return #t, type(t[1]), t[2] end)()"), "2 string 2");
    // Any byte can be a separator, zero and bytes from 128 included; a long set of separators
    // is looked up per byte, not scanned for each byte of the text.
    EXPECT_EQ(run("table.concat(split('a\\0b\\200c\\255d', '\\255\\0\\200'), '|')"), "a|b|c|d");
    EXPECT_EQ(run("#split(('a,'):rep(100000), ('x'):rep(1000000) .. ',')"), "100001");
}

TEST_F(Script, PathPieces) {
    EXPECT_EQ(run("_ext('foo.q64.png'), _ext('main.lua'), _ext('Main.LUA'), _ext('.lua')"), "q64.png lua nil nil");
    EXPECT_EQ(run("_ext('a/b.txt#x.png'), _ext('noext'), _ext('.q64.png'), _ext('x.')"), "txt nil q64.png nil");
    // A name that begins with a dot has no extension of its own, but its double one counts.
    EXPECT_EQ(run("_ext('.q64.rom'), _ext('a.q64.rom'), _ext('.rom'), _ext('.'), _ext('..'), _ext('a..lua')"),
              "q64.rom q64.rom nil nil nil lua");
    EXPECT_EQ(run("_path('a/b#c#d'), _hloc('a/b#c#d'), _hloc('a/b')"), "a/b c#d nil");
}

TEST_F(Script, ClipboardIsSharedBetweenProcesses) {
    exec("_set_userland_clipboard_text('shared text')");
    process_record* other = create_process_from_code("", "other", "other", "");
    lua_State* L = other->L;
    luaL_loadstring(L, "return _get_userland_clipboard_text()");
    lua_pcall(L, 0, 1, 0);
    EXPECT_STREQ(lua_tostring(L, -1), "shared text");
    lua_pop(L, 1);
    exec("_set_userland_clipboard_text(5)");
    EXPECT_EQ(run("_get_userland_clipboard_text()"), "shared text");
}

TEST_F(Script, Digests) {
    EXPECT_EQ(run("_md5('')"), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(run("_md5('The quick brown fox jumps over the lazy dog')"), "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(run("_md5(string.rep('a', 1000))"), "cabe45dcc9ae5b66ba86600cca6b8ba8");
    // Lengths around the padding boundaries: the length field fits in the last block or
    // needs one more; bytes (i * 37 + 200) % 256, so high bytes are covered too.
    exec("function pattern(n) local t = {} for i = 0, n - 1 do t[i + 1] = string.char((i * 37 + 200) % 256) end "
         "return table.concat(t) end");
    const std::pair<int, const char*> digests[] = {{55, "1d1362818c09f4c25a41182caf0c95dd"},
                                                   {56, "305bc9622190b9acd78f4ee45233c95b"},
                                                   {63, "98cae7cc53cfb41a0569e45a9ccdd40a"},
                                                   {64, "32292acc90ca352c0e71b648f4033483"},
                                                   {65, "df9ac84ba1bf31fc5acb98c02a2bc2dd"}};
    for (auto [n, want] : digests) EXPECT_EQ(run("_md5(pattern(" + std::to_string(n) + "))"), want) << n;
    EXPECT_EQ(run("_crc('123456789'), _crc({})"), "3421780262");
}

TEST_F(Script, MemoryFunctions) {
    EXPECT_EQ(run("(function() poke(0x8000, 1, 2, 258) return peek(0x8000, 3) end)()"), "1 2 2");
    EXPECT_EQ(run("peek(0, 0)"), "");
    EXPECT_EQ(run("peek(0, 65537)"), "");
    EXPECT_EQ(run("(function() poke2(0x9000, -2) return peek2(0x9000), peek(0x9001) end)()"), "-2 255");
    EXPECT_EQ(run("(function() poke4(0x9000, 0x80000000, 7) return peek4(0x9000, 2) end)()"), "-2147483648 7");
    EXPECT_EQ(run("(function() poke8(0x9000, 1.5) return peek8(0x9000) end)()"), "0");
    EXPECT_EQ(run("(function() poke(0x9000, 9) memcpy(0x9100, 0x9000, 1) memset(0x9200, 0x1FF, 2) "
                  "return peek(0x9100), peek(0x9201) end)()"),
              "9 255");
    EXPECT_EQ(run("(function() poke(0x9300, 5) memcpy(0x9300, 0, -1) return peek(0x9300) end)()"), "5");
    EXPECT_EQ(run("(function() poke(0x9400, 77) return _ppeek(pid(), 0x9400), _ppeek(999, 0x9400) end)()"), "77 0");
    // Addresses and positions at the ends of the integer range wrap without overflow.
    EXPECT_EQ(run("(function() poke4(math.maxinteger, 0x01020304) return peek4(math.maxinteger), "
                  "peek(math.maxinteger, 2) end)()"),
              "16909060 4 3");
    EXPECT_EQ(run("ord('abc', math.maxinteger, 2)"), "nil nil");
    EXPECT_EQ(run("(function() poke4(0x9500, '5') return peek4(0x9500), _ppeek('1', 0x9400) end)()"), "0 0");
}

TEST_F(Script, DrawTargetSetsTheClipRegisters) {
    EXPECT_EQ(run("(function() local u = userdata('u8', 65838, 3) _set_draw_target(u) "
                  "return peek2(0x5528), peek2(0x552A), peek2(0x552C), peek2(0x552E) end)()"),
              "0 0 -1 3");  // 0xffff: as far as the target reaches
    EXPECT_NE(p->draw_target, nullptr);
    EXPECT_EQ(run("_set_draw_target(5)"), "");
}

}  // namespace
