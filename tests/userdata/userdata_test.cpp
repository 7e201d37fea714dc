// Typed arrays: constructors, text forms, accessors, metamethods and the small methods.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/memory.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "test_support.h"
#include "userdata/userdata_fixture.h"
#include "userdata/userdata.h"

namespace {

// --- Constructors and text forms ----------------------------------------------------------------

TEST_F(Userdata, TypeNamesFollowFirstAndSecondCharacter) {
    struct { const char* name; int code; } cases[] = {
        {"u8", 3},  {"i16", 12}, {"i32", 13}, {"i64", 14}, {"f64", 22}, {"f32", 13}, {"u32", 13},
        {"u16", 12}, {"f16", 12}, {"f", 22},   {"u64", 3},  {"int", 14}, {"", 3},     {"x", 3},
    };
    for (auto& c : cases) EXPECT_EQ(str_to_utype(c.name, strlen(c.name)), c.code) << c.name;
    EXPECT_EQ(str_to_utype(nullptr, 5), 3);
    EXPECT_EQ(str_to_utype("f32", 1), 22);  // only the given length is read
    EXPECT_STREQ(get_utype_string(12), "i16");
    EXPECT_STREQ(get_utype_string(22), "f64");
    EXPECT_STREQ(get_utype_string(4), "?");
    EXPECT_STREQ(get_utype_string(200), "?");
    EXPECT_STREQ(type_str[22 & 15], "f64");
}

TEST_F(Userdata, ScriptConstructorDimensionsDataAndSizeRefusals) {
    check({
        {"return userdata('u8', 4):attribs()", "4,1,u8,1"}, {"return userdata('i16', 3, 2):attribs()", "3,2,i16,2"},
        {"return userdata('u8', 3, '0102ff'):get()", "1,2,255"},
        {"local u = userdata('u8', 2, 2, '01020304') return u:attribs()", "2,2,u8,2"},
        {"return userdata('u8', 2, 2, '01020304'):get()", "1,2,3,4"},
        {"return userdata('u8', 2, 3):attribs()", "2,3,u8,2"},  // a third number is a height, not data
        {"return userdata('f64', 3, '1.5,,2'):get()", "1.5,0.0,2.0"},
        {"return userdata('i64', 1, 'hex:fffffffffffffffe'):get()", "-2"},
        {"return userdata('i32', 2, 'ffffffff00000010'):get()", "-1,16"},
        {"return userdata(nil, 2):attribs()", "2,1,u8,1"},
        {"return userdata('u8', 0)", ""}, {"return userdata('u8', -3)", ""}, {"return userdata('u8')", ""},
        {"return userdata('u8', 4, 0)", ""}, {"return userdata('i64', 2048, 1025)", ""},
        {"return #userdata('u8', 16777216)", "16777216"}, {"return userdata('u8', 16777217)", ""},
        // Sizes that would wrap in 32 or 64 bits are refused, not truncated.
        {"return userdata('u8', 4294967297)", ""}, {"return userdata('u8', 65536, 65536)", ""},
        {"return userdata('i64', 0x2000000000000001)", ""},
    });
    EXPECT_EQ(create_userdata(L, "u8", 2, 3, 4, 4, nullptr, 0), nullptr);
    EXPECT_EQ(create_userdata(L, "u8", 2, 0, 4, 4, nullptr, 0), nullptr);
    EXPECT_EQ(lua_gettop(L), base);
}

TEST_F(Userdata, TextForms) {
    check({
        // [gfx]: sixty-four levels; characters outside the alphabet give 0, short text
        // leaves the rest 0, and a shorter bracketed text is an ordinary type name.
        {"local u = userdata('[gfx]02030aZ_-9') return u:attribs()", "2,3,u8,2"},
        {"return userdata('[gfx]02030aZ_-9'):get()", "0,10,61,62,63,9"},
        {"return userdata('[gfx]0301z!'):get()", "35,0,0"}, {"return userdata('[gfx]02', 2):attribs()", "2,1,u8,1"},
        {"return userdata('[gfx]0000')", ""},
        // [map]: signed cells.
        {"local u = userdata('[map]0101ffff') return u:attribs()", "1,1,i16,2"},
        {"return userdata('[map]0101ffff'):get()", "-1"},
        {"return userdata('[map]02018000007F'):get()", "-32768,127"},
        {"return userdata('[map]0201123'):get()", "0,0"},
        // Hexadecimal text stops inside an element; non-hex reads as 0.
        {"return userdata('i16', 3, '0001ff'):get()", "1,0,0"},
        {"return userdata('u8', 3, 'hex:0a0B'):get()", "10,11,0"}, {"return userdata('u8', 2, 'zz10'):get()", "0,16"},
        {"return userdata('u8', 2, '01020304'):get()", "1,2"},
        {"return userdata('u8', 3, '01\\0002'):get()", "1,0,0"},
        // A decimal list stops at a quote or parenthesis.
        {"return userdata('f64', 3, '1.5,2,-3e2'):get()", "1.5,2.0,-300.0"},
        {"return userdata('f64', 3, ' 4 , 5'):get()", "4.0,5.0,0.0"},
        {"return userdata('f64', 3, '1,2\")3'):get()", "1.0,2.0,0.0"},
        {"return userdata('f64', 3, '7),8,9'):get()", "7.0,0.0,0.0"},
        {"return userdata('f64', 2, 'x,9'):get()", "0.0,9.0"},
        {"return userdata('f64', 2, 'hex:3,4'):get()", "3.0,4.0"},
    });
    std::string all = "[gfx]4001" "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
    userdata_header* h = create_userdata(L, all.data(), all.size(), 1, 0, 0, nullptr, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(h->width, 64u);
    for (int i = 0; i < 64; i++) EXPECT_EQ(userdata_data(h)[i], i);
    lua_settop(L, base);
}

TEST_F(Userdata, ReadersStopAtTheGivenLength) {
    userdata_header* h = create_userdata(L, "u8", 2, 1, 4, 1, "0102030405", 4);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::string((const char*)userdata_data(h), 4), std::string("\x01\x02\0\0", 4));
    // A number cut by the length is read only as far as the length.
    h = create_userdata(L, "f64", 3, 1, 3, 1, "1.5,2,3", 2);
    ASSERT_NE(h, nullptr);
    double v[3];
    memcpy(v, userdata_data(h), sizeof v);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[1], 0.0);
    // A bracketed form inside a longer text: pixels end with the length.
    const char* mox = "[gfx]0201ab\"),x=1";
    h = create_userdata(L, mox, 11, 2, 0, 0, nullptr, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(userdata_data(h)[0], 10);
    EXPECT_EQ(userdata_data(h)[1], 11);
    h = create_userdata(L, mox, 10, 2, 0, 0, nullptr, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(userdata_data(h)[1], 0);
    // The size digits must lie inside the length.
    h = create_userdata(L, mox, 8, 1, 3, 1, nullptr, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->type, UTYPE_U8);
    EXPECT_EQ(h->width, 3u);
    lua_settop(L, base);
}

TEST_F(Userdata, TextConstructionGetClearAndCrcAreCharged) {
    int32_t before = cpu_cycles;
    ASSERT_NE(create_userdata(L, "i32", 3, 2, 64, 4, "", 0), nullptr);
    int32_t with_text = cpu_cycles - before;
    before = cpu_cycles;
    ASSERT_NE(create_userdata(L, "i32", 3, 2, 64, 4, nullptr, 0), nullptr);
    EXPECT_EQ(with_text - (cpu_cycles - before), 64 * 4 * 32 / 32);
    lua_settop(L, base);
    run("b = userdata('i16', 4, '0001000200030004') u = userdata('i64', 16, 2) u:set(0, 0, 1, 2, 3) u:set(15, 1, 9)");
    int results = 0;
    EXPECT_EQ(charge(lua54_get_0, "b", {0, 4}, &results), 2);
    EXPECT_EQ(results, 4);
    EXPECT_EQ(charge(lua54_ud_clear, "u", {}), 16 * 2 * 8 / 64);
    EXPECT_EQ(charge(lua54_ud_crc, "u", {}), 16 * 2 * 8 / 8);
    // In-place reshaping is charged by its size, so that a loop of them cannot hold up the machine.
    run("big = userdata('u8', 480, 270) wide = userdata('f64', 100, 30)");
    EXPECT_EQ(charged("big", "transpose", "true"), 480 * 270 / 24);
    EXPECT_EQ(charged("wide", "lerp", "0, 99, 1, 30, 100"), 99 * 30 / 12);
    EXPECT_EQ(run("local s = 0 for i = 0, #u - 1 do s = s + u[i] end return s"), "0");
}

TEST_F(Userdata, VecFieldsAndDuplicates) {
    check({
        {"local v = vec(1, '2.5', {}, 4) return #v, v:attribs()", "4,4,1,f64,1"},
        {"local v = vec(1, '2.5', {}, 4) return v:get()", "1.0,2.5,0.0,4.0"},
        {"local v = vec(1, 2, 3, 4, 5, 6, 7) return v.x, v.y, v.z, v.u, v.v, v.w, v.t", "1.0,2.0,3.0,4.0,5.0,6.0,7.0"},
        {"return vec('a', 2)", ""}, {"return vec()", ""},
        {"local v = vec(1, 2) v.y = 9 v.x = 'x' return v:get()", "0.0,9.0"},
    });
    // A duplicate is a byte copy with the method table.
    userdata_header* h = create_userdata(L, "i16", 3, 2, 3, 2, "0001000200030004", 16);
    ASSERT_NE(h, nullptr);
    userdata_header* d = push_duplicate_userdata(L, h);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d, h);
    EXPECT_EQ(memcmp(d, h, 16 + 12), 0);
    lua_setglobal(L, "d");
    lua_settop(L, base);
    EXPECT_EQ(run("return d:get()"), "1,2,3,4,0,0");
    EXPECT_EQ(run("return d:height()"), "2");
}

// --- Accessors and metamethods ------------------------------------------------------------------

TEST_F(Userdata, GetBoundsAndPadding) {
    run("a = userdata('u8', 2, 2, '01020304') b = userdata('i16', 4, '0001000200030004')");
    check({
        {"return get(a)", "1,2,3,4"}, {"return a:get(1, 1)", "4"}, {"return a:get(0, 1, 2)", "3,4"},
        {"return a:get(2, 0)", "0.0"}, {"return a:get(0, 2)", "0.0"}, {"return a:get(-1, 0)", "0.0"},
        {"return b:get(5)", "0.0"}, {"return b:get(3, 4)", "4,0,0,0"}, {"return b:get(1, 0)", ""},
        {"return b:get('x')", "1,2,3,4"}, {"return get(42)", ""}, {"return #{get(userdata('u8', 2000000))}", "0"},
    });
}

TEST_F(Userdata, SetWritesRunsAndTruncates) {
    check({
        {"a = userdata('u8', 3, 2) f = userdata('f64', 3) return set(a, 2, 0, 7, 8, 9, 10, 11, 12, 13)", ""},
        {"return a:get()", "0,0,7,8,9,10"}, {"a:set(1.9, 1.9, 300, -1) return a:get(0, 1, 3)", "8,44,255"},
        {"a:set(-0.5, 0, 5) return a[0]", "5"},  // truncates toward zero: position 0
        {"a:set(3, 0, 99) a:set(0, 2, 99) a:set(0, 0) return a:get()", "5,0,7,8,44,255"},
        {"f:set('1', 2.5, '3', {}) return f:get()", "0.0,2.5,3.0"}, {"f:set(0, 1e300) return f[0]", "1e+300"},
        {"i = userdata('i64', 1) i:set(0, -5) return i[0]", "-5"},
    });
}

TEST_F(Userdata, IndexRoundingAndAxisLetters) {
    check({
        {"u = userdata('u8', 8, '0001020304050607') return u[1.5], u[2], u[2.0], u[-1], u[8], u['1'], u[true]",
         "0,2,2,nil,nil,nil,nil"},
        {"return u.x, u.y, u.z, u.u, u.v, u.w, u.t, u.a", "0,1,2,3,4,5,6,nil"},
        {"return u.xy, u[''], type(u.width)", "nil,nil,function"}, {"u[1.5] = 99 return u[0], u[1]", "0,99"},
        {"u.t = 300 u[8] = 1 u[-1] = 1 u.name = 1 u.q = 1 u[true] = 1 return u:get()", "0,99,2,3,4,5,44,7"},
        {"u[3] = 'no' return u[3], #u", "0,8"},
    });
}

TEST_F(Userdata, TostringForms) {
    check({
        {"return tostring(vec(1, 2.5))", "(1, 2.5)"}, {"return tostring(vec(1, 2, 3))", "(1, 2, 3)"},
        {"return tostring(vec(1, 2, 3, 4))", "(1, 2, 3, 4)"},
        {"return tostring(vec(1, 2, 3, 4, 0.1))", "(1, 2, 3, 4, 0.1)"},
        {"return tostring(userdata('f64', 2, 3, '1,2,3,4,5,6'))", "(1, 2)"},
        {"return tostring(userdata('f64', 3, 4, '1,2,3,4,5,6,7,8,9,10,11,12'))",
         "(1, 2, 3),\n(4, 5, 6),\n(7, 8, 9),\n(10, 11, 12)"},
        {"return tostring(userdata('f64', 3, 2, '1,2,3,4,5,6'))", "(1, 2, 3)"},
    });
    std::string t = run("return tostring(vec(1, 2, 3, 4, 5, 6))");
    EXPECT_EQ(t.rfind("userdata: 0x", 0), 0u) << t;
    userdata_header* h = create_userdata(L, "u8", 2, 1, 2, 1, nullptr, 0);
    lua_setglobal(L, "p");
    char expect[64];
    snprintf(expect, sizeof expect, "userdata: 0x%x", unsigned(uintptr_t(h) & 0xFFFFFFFFu));
    EXPECT_EQ(run("return tostring(p)"), expect);
}

TEST_F(Userdata, MethodTableHasEveryEntryAndNoExtras) {
    const char* names[] = {
        "sort", "convert", "copy", "take", "clear", "__add", "__sub", "__mul", "__div", "__idiv",
        "__mod", "__pow", "__band", "__bor", "__bxor", "__shl", "__shr", "add", "sub", "mul", "div",
        "idiv", "mod", "pow", "band", "bor", "bxor", "shl", "shr", "max", "min", "abs", "sgn",
        "sgn0", "__len", "__tostring", "__index", "__newindex", "set", "get", "blit", "peek",
        "poke", "width", "height", "attribs", "mutate", "lerp", "magnitude", "distance", "dot",
        "cross", "matmul", "matmul3d", "matmul2d", "transpose", "row", "column", "crc",
    };
    EXPECT_EQ(run("local n = 0 for k, v in pairs(USERDATA) do n = n + 1 end return n"), "59");
    for (const char* n : names) EXPECT_EQ(run(std::string("return type(USERDATA['") + n + "'])"), "function") << n;
    check({
        {"return USERDATA.add == USERDATA.__add, USERDATA.get == USERDATA.set", "true,false"},
        {"return USERDATA.__eq, USERDATA.__gc, USERDATA.__call", "nil,nil,nil"},
        {"return getmetatable(vec(1)) == USERDATA", "true"},
    });
}

// --- Small methods ------------------------------------------------------------------------------

TEST_F(Userdata, WidthHeightAttribsRowsColumnsAndCrc) {
    run("m = userdata('i16', 3, 2, '000100020003000400050006')");
    check({
        {"local u = userdata('i32', 5) return u:width(), u:height()", "5,nil"},
        {"local u = userdata('f64', 5, 6) return u:width(), u:height(), #u", "5,6,30"},
        {"return userdata('f64', 5, 6):attribs()", "5,6,f64,2"},
        {"return USERDATA.width(1)", ""}, {"return USERDATA.attribs({})", ""},
        {"return m:row(1):attribs()", "3,1,i16,2"}, {"return m:row(1):get()", "4,5,6"},
        {"return m:row(0):get()", "1,2,3"}, {"return m:column(2):attribs()", "1,2,i16,2"},
        {"return m:column(2):get()", "3,6"},
        {"return m:row(2)", ""}, {"return m:row(-1)", ""}, {"return m:row()", ""},
        {"return m:column(3)", ""}, {"return m:column(-1)", ""}, {"return m:column()", ""},
        {"local r = m:row(0) r[0] = 9 return m[0]", "1"},
        // The crc of "123456789", over the data bytes in use.
        {"return userdata('u8', 9, '313233343536373839'):crc()", "3421780262"},
        {"local u = userdata('u8', 12, '313233343536373839') u:mutate('u8', 9) return u:crc()", "3421780262"},
    });
}

TEST_F(Userdata, MutateReinterpretsInPlaceWithoutGrowing) {
    const std::string larger = "new size is larger than old size";
    const std::string kinds = "can not mutate between integer and float data types";
    run("u = userdata('u8', 16, '0100000002000000030000000400000f') w = userdata('u8', 16)");
    check({
        {"return u:mutate('i32')", ""}, {"return u:attribs()", "4,1,i32,1"}, {"return u:get()", "1,2,3,251658244"},
        {"return u:mutate('f64')", kinds}, {"return u:mutate('i16', 2, 4)", ""}, {"return u:attribs()", "2,4,i16,2"},
        {"return u:mutate('u8', 8)", ""}, {"return u:attribs()", "8,1,u8,1"},
        {"return u:mutate('u8', 17)", larger}, {"return u:attribs()", "8,1,u8,1"},
        // The limit is the size in use now, not the block's: the array cannot grow back.
        {"return u:mutate('u8', 4, 4)", larger},
        {"return u:mutate('u8', '4.9', 2)", ""}, {"return u:attribs()", "4,2,u8,2"},
        {"return u:mutate('u8', 0, 0)", ""}, {"return u:attribs()", "4,2,u8,2"},  // both fall back to the old size
        {"return u:mutate('i16', nil, 2)", ""}, {"return u:attribs()", "2,2,i16,2"},  // dims stay as they were
        {"local f = vec(1, 2) return f:mutate('i64')", kinds},
        {"f = vec(1, 2) return f:mutate('f64', 1, 2)", ""}, {"return f:attribs()", "1,2,f64,2"},
        // Sizes are compared without wrapping.
        {"return w:mutate('u8', 65536, 65536)", larger}, {"return w:mutate('i64', 0x20000000, 2)", larger},
        {"return w:mutate('u8', 1e300, 1)", larger}, {"return w:mutate('u8', 4294967312, 1)", larger},
        {"return w:attribs()", "16,1,u8,1"}, {"return w:get(15), w[16]", "0,nil"},
        // Too few bytes for one element leave no columns; copies of such an array are arrays too.
        {"z = userdata('u8', 7) return z:mutate('i64')", ""}, {"return z:attribs()", "0,1,i64,1"},
        {"return z:sgn0():attribs()", "0,1,i64,1"},
    });
}

TEST_F(Userdata, PeekAndPokeCopyThroughProcessMemory) {
    run("a = userdata('i16', 4, '0001fffe7fff8000')");
    EXPECT_EQ(run("return a:poke(0x80000) == a"), "true");
    EXPECT_EQ(peek2(0x80000), 1);
    EXPECT_EQ(peek2(0x80002), -2);
    EXPECT_EQ(peek2(0x80006), -32768);
    EXPECT_EQ(run("b = userdata('i16', 4) b:peek(0x80000, 1, 2) return b:get()"), "0,1,-2,0");
    run("c = userdata('u8', 4, '0a0b0c0d') c:poke(0x90000, 2)");  // offset 2: elements 2 and 3
    run("c:poke(0x90010, -5, 1) c:poke(0x90020, 4)");  // nothing left past offset 4
    EXPECT_EQ((std::vector<int>{peek(0x90000), peek(0x90001), peek(0x90002), peek(0x90010), peek(0x90011),
                                peek(0x90020)}),
              (std::vector<int>{0x0c, 0x0d, 0, 0x0a, 0, 0}));
    run("d = userdata('i64', 1, 'fedcba9876543210') d:poke(0xA0000) e = userdata('i64', 1) e:peek(0xA0000)");
    EXPECT_EQ(run("return e[0] == d[0]"), "true");
    EXPECT_EQ(run("return vec(1, 2):poke(0x80000)"), "");
    EXPECT_EQ(peek2(0x80000), 1);
}

// --- Arguments that are not arrays --------------------------------------------------------------

TEST_F(Userdata, ForeignBlocksAreNotArrays) {
    auto block = [&](const char* name, size_t size, userdata_header h) {
        auto* u = static_cast<userdata_header*>(lua_newuserdatauv(L, size, 0));
        memset(u, 0, size);
        *u = h;
        lua_setglobal(L, name);
        return u;
    };
    userdata_header* h = block("long_claim", 24, {UTYPE_U8, 1, {0, 0}, 1000, 1, 0});  // claims more than it holds
    userdata_header* s = block("short_block", 16, {UTYPE_U8, 1, {0, 0}, 0, 1, 0});   // too short for any data
    block("bad_type", 24, {5, 1, {0, 0}, 2, 1, 0});
    block("bad_dims", 24, {UTYPE_U8, 3, {0, 0}, 2, 1, 0});
    // Width x height beyond any block: the size check itself must not wrap.
    block("wrapping_size", 24, {UTYPE_I64, 2, {0, 0}, 0xFFFFFFFFu, 0xFFFFFFFFu, 0});
    for (const char* name : {"long_claim", "short_block", "bad_type", "bad_dims", "wrapping_size"}) {
        std::string n = name;
        EXPECT_EQ(run("return USERDATA.get(" + n + ")"), "") << name;
        EXPECT_EQ(run("return USERDATA.__len(" + n + ")"), "") << name;
        EXPECT_EQ(run("return USERDATA.crc(" + n + ")"), "") << name;
        EXPECT_EQ(run("return USERDATA.mutate(" + n + ", 'u8', 4)"), "") << name;
        EXPECT_EQ(run("return USERDATA.__index(" + n + ", 5)"), "") << name;
        EXPECT_EQ(run("USERDATA.__newindex(" + n + ", 5, 1) USERDATA.set(" + n + ", 0, 1) "
                      "USERDATA.clear(" + n + ") return USERDATA.row(" + n + ", 0)"), "") << name;
    }
    EXPECT_EQ(h->width, 1000u);
    EXPECT_EQ(s->width, 0u);
    // A light userdata is no array either.
    lua_pushlightuserdata(L, h);
    lua_setglobal(L, "light");
    EXPECT_EQ(run("return get(light)"), "");
    EXPECT_EQ(run("return USERDATA.width(light)"), "");
}

// --- Text writer --------------------------------------------------------------------------------

TEST_F(Userdata, WriterFormsAndRoundTrip) {
    userdata_header* h = create_userdata(L, "i16", 3, 1, 2, 1, "ffff0001", 8);
    EXPECT_EQ(text_form(h), "userdata(\"i16\",2,\"ffff0001\")");
    h = create_userdata(L, "f64", 3, 1, 2, 1, "1.5,2", 5);
    EXPECT_EQ(text_form(h), "userdata(\"f64\",2,\"1.5,2\")");
    h = create_userdata(L, "f64", 3, 1, 4, 1, "100,0.25,-1e+20,1e-7", 21);
    EXPECT_EQ(text_form(h), "userdata(\"f64\",4,\"100,0.25,-1e+20,1e-07\")");
    h = create_userdata(L, "u8", 2, 2, 2, 2, "0aff10", 6);
    EXPECT_EQ(text_form(h), "userdata(\"u8\",2,2,\"0aff1000\")");
    h = create_userdata(L, "i64", 3, 1, 2, 1, nullptr, 0);
    int64_t vals[2] = {-2, 0x0123456789abcdefLL};
    memcpy(userdata_data(h), vals, sizeof vals);
    EXPECT_EQ(text_form(h), "userdata(\"i64\",2,\"fffffffffffffffe0123456789abcdef\")");
    h = create_userdata(L, "i32", 3, 1, 1, 1, "80000000", 8);
    EXPECT_EQ(text_form(h), "userdata(\"i32\",1,\"80000000\")");

    // Whatever the writer emits for data, the reader turns back into the same bytes, also
    // for a large array.
    userdata_header* src = create_userdata(L, "f64", 3, 1, 5, 1, nullptr, 0);
    double d[5] = {0.1, -3.25, 1e300, 123456789.125, -0.0};
    memcpy(userdata_data(src), d, sizeof d);
    pbuffer* b = create_buffer_2(16, 0);
    ASSERT_TRUE(write_userdata_data_text(src, b));
    userdata_header* back = create_userdata(L, "f64", 3, 1, 5, 1, (const char*)b->data, size_t(b->length));
    ASSERT_NE(back, nullptr);
    double r[5];
    memcpy(r, userdata_data(back), sizeof r);
    for (int i = 0; i < 4; i++) EXPECT_DOUBLE_EQ(r[i], d[i]) << i;
    bclear(b);
    h = create_userdata(L, "u8", 2, 1, 100000, 1, nullptr, 0);
    for (int i = 0; i < 100000; i++) userdata_data(h)[i] = uint8_t(i * 7);
    ASSERT_TRUE(write_userdata_data_text(h, b));
    ASSERT_EQ(b->length, 200000);
    back = create_userdata(L, "u8", 2, 1, 100000, 1, (const char*)b->data, size_t(b->length));
    EXPECT_EQ(memcmp(userdata_data(back), userdata_data(h), 100000), 0);
    destroy_buffer(b);
    lua_settop(L, base);
}

}  // namespace
