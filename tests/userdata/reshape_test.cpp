// Typed arrays, members that move elements: convert, take, sort, transpose and lerp.
#include <gtest/gtest.h>

#include <string>

#include "userdata/userdata_fixture.h"

namespace {

TEST_F(Userdata, ConvertBetweenTypes) {
    check({
        {"return vec(-1.5, 2.7):convert('i32'):get()", "-2,2"},
        {"return userdata('i16', 1, '012c'):convert('u8'):get()", "44"},
        {"return vec(300.5, -0.5, 1e20, -1e20, 0/0):convert('u8'):get()", "44,255,255,0,0"},
        {"return vec(1e20, -1e20, 0/0, -2.5):convert('i32'):get()", "2147483647,-2147483648,0,-3"},
        {"return vec(1e300, -1e300, 2^53 + 0.5):convert('i64'):get()",
         "9223372036854775807,-9223372036854775808,9007199254740992"},
        {"return userdata('u8', 2, 'c8ff'):convert('i16'):get()", "200,255"},
        {"return userdata('i16', 2, 'ffff8000'):convert('u8'):get()", "255,0"},
        {"return userdata('i16', 2, 'ffff8000'):convert('i64'):get()", "-1,-32768"},
        {"return userdata('i64', 1, '7fffffffffffffff'):convert('i32'):get()", "-1"},
        {"return userdata('u8', 2, 'c8ff'):convert('f64'):get()", "200.0,255.0"},
        {"return userdata('i64', 1, '8000000000000000'):convert('f'):get()", "-9.2233720368548e+18"},
        {"return userdata('i32', 3, 2):convert('i16'):attribs()", "3,2,i16,2"},
        {"return vec(7.9):convert():attribs()", "1,1,u8,1"},
        {"local u = userdata('i16', 2, '00010002') local c = u:convert('i16') c[0] = 9 return u[0], c:get()", "1,9,2"},
        {"return select('#', userdata('u8', 16777216):convert('i16'))", "0"},  // too large
    });
}

TEST_F(Userdata, ConvertToIndexMapAndPalette) {
    check({
        {"local m, p = userdata('u8', 3, '070709'):convert('u8', true) return m:get()", "0,0,1"},
        {"local m, p = userdata('u8', 3, '070709'):convert('u8', true) return p:attribs()", "2,1,u8,1"},
        {"local m, p = userdata('u8', 3, '070709'):convert('u8', true) return p:get()", "7,9"},
        {"local m, p = userdata('i16', 2, 2, 'ffff0005ffff8000'):convert('u8', true) return m:attribs()", "2,2,u8,2"},
        {"local m, p = userdata('i16', 2, 2, 'ffff0005ffff8000'):convert('u8', true) return p:get()", "-1,5,-32768"},
        // f64 values are truncated toward zero first, so 1.2 and 1.7 share an entry.
        {"local m, p = vec(1.2, 1.7, -1.5, 0/0):convert('u8', true) return m:get()", "0,0,1,2"},
        {"local m, p = vec(1.2, 1.7, -1.5, 0/0):convert('u8', true) return p:get()", "1.0,-1.0,0.0"},
        {"return select('#', userdata('u8', 3):convert('u8', false))", "1"},
        {"return select('#', userdata('u8', 3):convert('u08', true))", "1"},
    });
    // Past 256 distinct values every new one maps to 255.
    run("local u = userdata('i32', 300) for i = 0, 299 do u[i] = i * 1000 end m, p = u:convert('u8', true)");
    check({
        {"return #p, p[0], p[255], m[255], m[256], m[299]", "256,0,255000,255,255,255"},
        {"local n = 0 for i = 256, 299 do if m[i] == 255 then n = n + 1 end end return n", "44"},
    });
}

TEST_F(Userdata, TakeGathersElementsAndRuns) {
    run("u = userdata('u8', 3, '0a141e') idx = userdata('i32', 4) idx:set(0, 2, 0, -1, 2) "
        "s = userdata('i16', 6, '000100020003000400050006') pairs = userdata('i32', 2) pairs:set(0, 4, 0)");
    check({
        {"return u:take(idx):get()", "30,10,0,30"}, {"return u:take(idx):attribs()", "4,1,u8,1"},
        {"return u:copy(idx):get()", "30,10,0,30"},
        // Runs of span elements, one row each, cut at the ends of both arrays.
        {"return s:take(pairs, nil, 0, 0, 2):attribs()", "2,2,i16,2"},
        {"return s:take(pairs, nil, 0, 0, 2):get()", "5,6,1,2"},
        {"local p = userdata('i32', 2) p:set(0, 5, -1) return s:take(p, nil, 0, 0, 3):get()", "6,0,0,0,1,2"},
        {"local d = userdata('i16', 3) return s:take(pairs, d, 0, 1, 2):get()", "0,5,6"},
        // Offsets, strides and counts of the index array.
        {"local d = userdata('u8', 4) return u:take(idx, d, 1, 2):get()", "0,0,10,0"},
        {"local i = userdata('i32', 6) i:set(0, 0, 9, 1, 9, 2, 9) return u:take(i, nil, 0, 0, 1, 2):get()",
         "10,20,30,0,0,0"},
        {"local i = userdata('i32', 3) i:set(0, 0, 1, 2) return u:take(i, nil, -1, 0, 1, 1, 1, math.maxinteger):get()",
         "0,10,20"},
        {"return u:take(idx, nil, 0, 0, 1, 1, 1, 2):get()", "30,10,0,0"},
        {"return u:take(idx, nil, 0, 0, 1, 0):get()", "0,0,0,0"},
        // Into u itself, into another array, and the refusals.
        {"local v = userdata('u8', 3, '0a141e') local r = v:take(idx, true) return r == v, v:get()", "true,30,30,30"},
        {"return select('#', u:take(userdata('i16', 2))) + select('#', u:take(5)) + select('#', USERDATA.take(5, idx))", "0"},
        {"return select('#', u:take(idx, userdata('i16', 4)))", "0"},
        {"return select('#', u:take(idx, nil, 0, 0, 0))", "0"},
    });
    // Counts and offsets far outside the index array walk only the steps inside it.
    lua_pushcfunction(L, lua54_ud_take);
    lua_getglobal(L, "u");
    lua_getglobal(L, "idx");
    lua_pushnil(L);
    for (int64_t v : {INT64_MIN, int64_t(0), int64_t(1), int64_t(1), int64_t(1), INT64_MAX}) lua_pushinteger(L, v);
    lua_call(L, 9, 1);
    lua_setglobal(L, "far");
    cpu_cycles = 0;  // the charge of that many steps fills the slice
    EXPECT_EQ(run("return far:get()"), "0,0,0,0");
}

TEST_F(Userdata, SortOrdersRecordsByOneColumn) {
    check({
        {"local u = userdata('i16', 3, '0003ffff0002') u:sort() return u:get()", "-1,2,3"},
        {"local u = userdata('i16', 3, '0003ffff0002') u:sort(0, true) return u:get()", "3,2,-1"},
        {"local u = userdata('u8', 3, 'c80580') u:sort() return u:get()", "5,128,200"},
        {"local u = userdata('i16', 3, 1, '0003ffff0002') u:sort() return u:get()", "-1,2,3"},
        // Rows of a 2-D array, by their third elements.
        {"local u = userdata('i32', 3, 2) u:set(0, 0, 1, 2, 9, 4, 5, 1) u:sort(2) return u:get()", "4,5,1,1,2,9"},
        {"local u = userdata('i32', 3, 2) u:set(0, 0, 1, 2, 9, 4, 5, 1) return select('#', u:sort(3)) + select('#', u:sort(-1))", "0"},
        {"return userdata('i16', 3, '0003ffff0002'):sort(1)", ""},
        {"local u = userdata('i64', 2, 2) return math.type(u:sort(1)), u:sort(1) > 0", "integer,true"},
        // NaN goes after every number, whichever the direction.
        {"local v = vec(3, 0/0, 1, 0/0, 2) v:sort() return v[0], v[1], v[2], v[3] ~= v[3], v[4] ~= v[4]",
         "1.0,2.0,3.0,true,true"},
        {"local v = vec(3, 0/0, 1, 0/0, 2) v:sort(0, true) return v[0], v[1], v[2], v[3] ~= v[3], v[4] ~= v[4]",
         "3.0,2.0,1.0,true,true"},
        {"local m = userdata('f64', 2, 3, '0,1,5,2,-1,3') m[0] = 0/0 m:sort(0) return m[0], m[1], m[2], m[3], m[4] ~= m[4], m[5]",
         "-1.0,3.0,5.0,2.0,true,1.0"},
    });
    // A large array with many NaNs comes out ordered, NaNs last.
    EXPECT_EQ(run("local v = userdata('f64', 5000) for i = 0, 4999 do v[i] = i % 7 == 0 and 0/0 or (i * 7919) % 1000 end "
                  "v:sort() local ok, seen_nan = true, false for i = 0, 4999 do "
                  "if v[i] ~= v[i] then seen_nan = true elseif seen_nan or (i > 0 and v[i] < v[i - 1]) then ok = false end "
                  "end return ok, seen_nan"),
              "true,true");
}

TEST_F(Userdata, TransposeIntoNewSameOrGivenArray) {
    run("u = userdata('i16', 3, 2, '000100020003000400050006')");
    check({
        {"return u:transpose():attribs()", "2,3,i16,2"}, {"return u:transpose():get()", "1,4,2,5,3,6"},
        {"local c = u:convert('i16') return c:transpose(true) == c, c:get()", "true,1,4,3,2,5,6"},
        {"local c = u:convert('i16') c:transpose(c) return c:attribs()", "3,2,i16,2"},
        {"local d = userdata('i16', 2, 2) return u:transpose(d) == d, d:get()", "true,1,4,2,5"},
        {"local d = userdata('i16', 4, 4) u:transpose(d) return d:get(0, 0, 8)", "1,4,0,0,2,5,0,0"},
        {"return u:transpose(userdata('u8', 2, 3))", ""},
        {"return vec(1, 2, 3):transpose():attribs()", "1,3,f64,2"},
    });
}

TEST_F(Userdata, LerpFillsRampsBetweenEnds) {
    check({
        {"return userdata('u8', 5, '0000000064'):lerp():get()", "0,25,50,75,100"},
        {"return userdata('u8', 3, 'c80064'):lerp():get()", "200,22,100"},  // the difference wraps in u8
        {"return vec(0, 0, 1):lerp():get()", "0.0,0.5,1.0"},
        {"return userdata('i16', 3, 'fff60000000a'):lerp():get()", "-10,0,10"},
        {"return userdata('i32', 4, 'fffffffd000000000000000000000000'):lerp():get()", "-3,-2,-1,0"},
        {"return userdata('u8', 3, 2, '00000a000014'):lerp():get()", "0,5,10,0,10,20"},
        {"return userdata('u8', 5, '0000000008'):lerp(0, 2, 2):get()", "0,0,4,0,8"},
        {"local u = userdata('u8', 2, '0009') return u:lerp(0, 1) == u, u:get()", "true,0,9"},
        // Ranges past the end, or counts below 1, return nothing.
        {"return userdata('u8', 5):lerp(1)", ""}, {"return userdata('u8', 5):lerp(0, 0)", ""},
        {"return userdata('u8', 5):lerp(-1, 2)", ""}, {"return userdata('u8', 5):lerp(0, 2, 0)", ""},
        {"return userdata('u8', 5):lerp(0, 2, 1, 1, 0)", ""},
        // The range is checked without wrapping in 32 bits.
        {"return userdata('u8', 5):lerp(0, 2, 2147483647)", ""},
        {"return userdata('u8', 5):lerp(0, 2, 1, 4294967297, 4294967295)", ""},
        {"return userdata('u8', 5):lerp(0, math.maxinteger, math.maxinteger)", ""},
    });
    // Runs longer than the element type's range still ramp by their own length.
    check({
        {"local u = userdata('u8', 257) u[256] = 255 u:lerp() return u[128], u[255]", "127,254"},
        {"local u = userdata('i16', 40001) u[40000] = 20000 u:lerp() return u[20000], u[39999]", "10000,19999"},
    });
}

}  // namespace
