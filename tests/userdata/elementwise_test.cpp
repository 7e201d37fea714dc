// Typed arrays, element-wise members: each type at its edges, operands and destinations,
// clipping of spans, charges, and a property test against a plain reference loop.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "userdata/userdata_fixture.h"

namespace {

TEST_F(Userdata, ElementEdgesOfEachType) {
    check({
        // u8 works in unsigned 32 bits and keeps the low byte; numbers are read as unsigned.
        {"return (userdata('u8', 1, 'ff') + 1)[0]", "0"}, {"return (2 - userdata('u8', 1, '05'))[0]", "253"},
        {"return (userdata('u8', 1, '05') - 2)[0]", "3"}, {"return (userdata('u8', 1, '05') + -1)[0]", "4"},
        {"return (userdata('u8', 1, '05') / 0)[0]", "255"}, {"return (userdata('u8', 1, '00') // 0)[0]", "255"},
        {"return (userdata('u8', 1, 'c8') / -1)[0]", "0"}, {"return (userdata('u8', 1, '05') + 1e10)[0]", "4"},
        {"return (userdata('u8', 1, 'c8') >> 1)[0], (userdata('u8', 1, '81') << 1)[0]", "100,2"},
        {"return (userdata('u8', 1, '81') << 8)[0], (userdata('u8', 1, '81') << 32)[0]", "0,129"},
        {"return userdata('u8', 1, 'c8'):abs()[0], userdata('u8', 1, 'c8'):sgn()[0], userdata('u8', 1, '00'):sgn0()[0]",
         "200,1,0"},
        {"return userdata('u8', 1, '07'):max(300)[0], userdata('u8', 1, '07'):mod(0)[0]", "44,0"},
        {"return (userdata('u8', 1, '02') ^ 8)[0], (userdata('u8', 1, '10') ^ 2)[0]", "0,0"},
        // i16 works in signed 32 bits: division by zero gives +-32767.
        {"return (userdata('i16', 1, '8000') - 1)[0]", "32767"}, {"return (userdata('i16', 1, 'fffb') / 0)[0]", "-32767"},
        {"return (userdata('i16', 1, '0000') / 0)[0]", "32767"}, {"return (userdata('i16', 1, '8000') / -1)[0]", "-32768"},
        {"return userdata('i16', 1, '8000'):abs()[0]", "-32768"},
        {"return (userdata('i16', 1, 'fffc') >> 1)[0], (userdata('i16', 1, '0001') << -1)[0]", "-2,0"},
        {"return (userdata('i16', 1, '0001') << 15)[0], (userdata('i16', 1, '4000') * 4)[0]", "-32768,0"},
        // i32: the smallest value divided by -1 wraps instead of trapping.
        {"return (userdata('i32', 1, '00000005') / 0)[0]", "2147483647"},
        {"return (userdata('i32', 1, '80000000') / -1)[0], (userdata('i32', 1, '80000000') // -1)[0]",
         "-2147483648,-2147483648"},
        {"return (userdata('i32', 1, '80000000') % -1)[0], (userdata('i32', 1, '7fffffff') + 1)[0]", "0,-2147483648"},
        {"return (userdata('i32', 1, '00000003') << 32)[0], (userdata('i32', 1, '00000001') << 31)[0]", "3,-2147483648"},
        {"return (userdata('i32', 1, 'ffffff00') >> 40)[0]", "-1"},
        {"return (userdata('i32', 1, '00000003') + 2.9)[0], (userdata('i32', 1, '00000003') + -2.9)[0]", "5,1"},
        {"return (userdata('i32', 1, '00000003') + 1e300)[0], (userdata('i32', 1, '00000003') + (0/0))[0]",
         "-2147483646,3"},
        {"return (userdata('i32', 1, '00010000') ^ 2)[0], (userdata('i32', 1, '00000002') ^ 40)[0]", "0,2147483647"},
        {"return (3 ^ userdata('i32', 1, '00000002'))[0], (userdata('i32', 1, '00000002') ^ 0.5)[0]", "9,1"},
        {"return (7 % userdata('i32', 1, 'fffffffd'))[0], (-7 % userdata('i32', 1, '00000003'))[0]", "-2,2"},
        {"return userdata('i32', 1, '00000007'):mod(0)[0], userdata('i32', 1, '80000000'):abs()[0]", "0,-2147483648"},
        {"local a = userdata('i32', 3) a:set(0, -9, 0, 9) return a:sgn():get()", "-1,1,1"},
        {"local a = userdata('i32', 3) a:set(0, -9, 0, 9) return a:sgn0():get()", "-1,0,1"},
        // i64: division by zero gives +-(2^47 - 1), shifts count modulo 64.
        {"return (userdata('i64', 1, '0000000000000007') / 0)[0]", "140737488355327"},
        {"return (userdata('i64', 1, 'fffffffffffffff9') // 0)[0]", "-140737488355327"},
        {"return (userdata('i64', 1, '8000000000000000') / -1)[0]", "-9223372036854775808"},
        {"return (userdata('i64', 1, '0000000000000001') << 63)[0], (userdata('i64', 1, '0000000000000005') << 64)[0]",
         "-9223372036854775808,5"},
        {"return (userdata('i64', 1, '0000000000000001') + 1e30)[0]", "-9223372036854775808"},
        {"return (userdata('i64', 1, '0000000000000003') ^ 2)[0], (userdata('i64', 1, '0000000000000002') ^ 0.5)[0]",
         "9,1"},
        // f64: IEEE arithmetic, with the largest finite double for a zero divisor.
        {"return vec(-7):idiv(2)[0], (vec(7) // 2)[0], (vec(-1) / 0)[0] == -math.huge", "-4.0,3.0,false"},
        {"return (vec(-1) / 0)[0], (vec(0) / 0)[0], (vec(1) // 0)[0]",
         "-1.7976931348623e+308,1.7976931348623e+308,1.7976931348623e+308"},
        {"return (vec(-7) % 3)[0], (vec(7) % -3)[0], (vec(7) % 0)[0], (vec(5.5) % 2)[0]", "2.0,-2.0,0.0,1.5"},
        {"return (vec(3) ^ 2)[0], (vec(2) ^ 0.5)[0]", "9.0,1.4142135623731"},
        {"return vec(0/0):sgn()[0], vec(0/0):sgn0()[0], vec(-0.0):sgn0()[0], vec(-2.5):abs()[0]", "-1.0,-1.0,0.0,2.5"},
        {"local n = vec(1):max(0/0)[0] return n ~= n, vec(0/0):max(1)[0], vec(1):min(2)[0]", "true,1.0,1.0"},
        {"local v = vec(1) return select('#', v:band(v)) + select('#', v:bor(1)) + select('#', v:shr(1))", "0"},
        {"local v = vec(1) v:band(v, true) return v[0]", "1.0"},
    });
}

TEST_F(Userdata, OperandsAndDestinations) {
    run("a = userdata('i32', 4) a:set(0, 1, 2, 3, 4) b = userdata('i32', 4) b:set(0, 10, 20, 30, 40)");
    check({
        {"return (a + b):get()", "11,22,33,44"}, {"return (b - a):get()", "9,18,27,36"},
        {"return (2 - a):get()", "1,0,-1,-2"}, {"return (a * 2):get()", "2,4,6,8"},
        {"return (b // a):get()", "10,10,10,10"}, {"return (b % a):get()", "0,0,0,0"},
        {"return (a & 1):get()", "1,0,1,0"}, {"return (a | 8):get()", "9,10,11,12"},
        {"return (a ~ 1):get()", "0,3,2,5"}, {"return (1 << a):get()", "2,4,8,16"},
        {"return (-64 >> a):get()", "-32,-16,-8,-4"}, {"return USERDATA.sub(100, a):get()", "99,98,97,96"},
        {"return USERDATA.add('3', a):get()", "4,5,6,7"},
        // A missing or unusable operand, or arrays of two types, give nothing.
        {"return a:add()", ""}, {"return a:add(nil, true)", ""}, {"return a:add({})", ""},
        {"return USERDATA.add(1, 2)", ""}, {"return USERDATA.add({}, a)", ""},
        {"return a:add(userdata('i16', 4))", ""}, {"return a:copy(userdata('u8', 4))", ""},
        // Unary members transform a itself when b is absent.
        {"local n = userdata('i32', 2) n:set(0, -3, 4) local r = n:abs() return r[0], r[1], n[0], n[1]", "3,4,-3,4"},
        {"local n = userdata('i32', 2) n:set(0, -3, 4) return n:abs(nil, true) == n, n:get()", "true,3,4"},
        {"local n = userdata('i32', 3) return n:copy(7):get()", "7,7,7"},
        {"local n = userdata('i32', 2) return n:sgn(-5):get()", "-1,-1"},
        {"return USERDATA.abs(5, userdata('i32', 2, 'fffffffe00000001')):get()", "2,1"},
        // Destinations: a copy (a unchanged), a itself, or a same-shaped array of the same type.
        {"local r = a:add(1) return r ~= a, a[0], r[0]", "true,1,2"},
        {"local r = a:add(1, true) return r == a, a:get()", "true,2,3,4,5"},
        {"local d = userdata('i32', 4) local r = a:add(b, d) return r == d, d:get()", "true,12,23,34,45"},
        {"local d = userdata('i32', 2, 2) return select('#', a:add(b, d)), d:get()", "0,0,0,0,0"},
        {"local d = userdata('i16', 4) return select('#', a:add(b, d)), d:get()", "0,0,0,0,0"},
        {"local d = userdata('i32', 5) return a:add(b, d)", ""},
        // A shorter b covers only its own elements; a's others are kept.
        {"local c = userdata('i32', 5) c:set(0, 1, 1, 1, 1, 1) return (c + a):get()", "3,4,5,6,1"},
        {"local i = userdata('i32', 3) i:set(0, 2, 0, -1) return userdata('u8', 3, '0a141e'):copy(i):get()",
         "30,10,0"},
    });
}

TEST_F(Userdata, SpansStridesAndClipping) {
    run("m = userdata('i16', 4, 2, '00010002000300040005000600070008') r = userdata('i16', 4, '000a0014001e0028')");
    check({
        // Three elements of r added to the first three of each row.
        {"return m:add(r, nil, 0, 0, 3, 0, 4, 2):get()", "11,22,33,4,15,26,37,8"},
        // More spans than length: the same pairs, visited the other way round.
        {"return m:add(r, nil, 0, 0, 1, 1, 1, 3):get()", "11,22,33,4,5,6,7,8"},
        {"return m:add(1, nil, 0, 5, 100):get()", "1,2,3,4,5,7,8,9"},
        {"return m:add(1, nil, 0, -2, 4):get()", "2,3,3,4,5,6,7,8"},
        {"return m:add(r, nil, 2, 0, 4):get()", "31,42,3,4,5,6,7,8"},
        {"return m:add(r, nil, -1, 0, 3):get()", "1,12,23,4,5,6,7,8"},
        // Negative strides walk spans backwards; a zero stride reuses the same elements.
        {"return m:add(1, nil, 0, 6, 2, 0, -3, 3):get()", "2,3,3,5,6,6,8,9"},
        {"return m:copy(r, nil, 0, 0, 2, 0, 2, 4):get()", "10,20,10,20,10,20,10,20"},
        {"return m:add(1, nil, 0, 0, 2, 0, 0, 3):get()", "2,3,3,4,5,6,7,8"},  // each pass reads m
        {"local c = m:copy() return c:add(1, true, 0, 0, 2, 0, 0, 3):get()", "4,5,3,4,5,6,7,8"},
        // Copying within one array runs forward, element after element.
        {"local v = userdata('i32', 5) v:set(0, 1, 2, 3, 4, 5) return v:copy(v, true, 0, 1, 4):get()", "1,1,1,1,1"},
        {"local v = userdata('i32', 5) v:set(0, 1, 2, 3, 4, 5) return v:copy(v, true, 1, 0, 4):get()", "2,3,4,5,5"},
        // 64-bit offsets, strides and counts never wrap into the array.
        {"return m:add(1, nil, 0, math.mininteger, math.maxinteger):get()", "1,2,3,4,5,6,7,8"},
        {"return m:add(1, nil, 0, 0, 1, 0, math.maxinteger, 3):get()", "2,2,3,4,5,6,7,8"},
        {"return m:add(1, nil, 0, math.maxinteger, 1, 0, math.mininteger + 7, 3):get()", "1,2,3,4,5,6,8,8"},
        {"return m:add(r, nil, math.maxinteger, 0, 4, -1, 1, 2):get()", "1,2,3,4,5,6,7,8"},
        {"return m:add(1, nil, 0, 0, 0):get()", "1,2,3,4,5,6,7,8"},
        {"return m:add(1, nil, 0, 0, 4, 1, 1, -1):get()", "1,2,3,4,5,6,7,8"},
    });
    // Repeating the same run without end is cut off, and the call returns.
    EXPECT_EQ(run("local c = userdata('i64', 1) c:add(1, true, 0, 0, 1, 0, 0, math.maxinteger) "
                  "return c[0] > 1000000 and c[0] <= 4 * 16777216"), "true");
}

TEST_F(Userdata, ElementwiseCharges) {
    run("big = userdata('u8', 960) f = userdata('f64', 960) q = userdata('i64', 4, 100)");
    EXPECT_EQ(charged("big", "add", "1, true"), 960 / 24 + 0);  // E/K + O/2 with one span
    // Plus the copy: its bytes, its allocation and the userdata made.
    EXPECT_EQ(charged("big", "add", "1"), 960 / 24 + 960 / 128 + ((16 + 960) >> 7) + 4 + LUA_WORKOBJECT);
    EXPECT_EQ(charged("f", "div", "3, true"), 960 / 4);
    EXPECT_EQ(charged("big", "pow", "3, true"), 960 / 2);
    EXPECT_EQ(charged("q", "mul", "3, true, 0, 0, 4, 1, 4, 100"), 400 / 8 + 4 / 2);  // swapped: O is the length
    EXPECT_EQ(charged("q", "mul", "3, true, 0, 0, 100, 1, 4, 4"), 400 / 8 + 4 / 2);
    EXPECT_EQ(charged("q", "mul", "3, true, 0, 390, 100, 1, 4, 4"), (10 + 6 + 2) / 8 + 4 / 2);  // clipped runs
}

// --- Property test: random shapes, offsets, strides and operand forms against a plain loop ------

// The reference: every (span, position) pair in visiting order, indices checked one by one,
// each result computed exactly and cut to the element's width.
struct reference {
    int code;
    std::string op;

    static int64_t wrap(int code, __int128 v) {
        switch (code) {
        case UTYPE_U8: return uint8_t(v);
        case UTYPE_I16: return int16_t(v);
        case UTYPE_I32: return int32_t(v);
        default: return int64_t(v);
        }
    }
    double real(double a, double b) const {
        if (op == "copy") return b;
        if (op == "add") return a + b;
        if (op == "sub") return a - b;
        if (op == "mul") return a * b;
        if (op == "div") return b == 0 ? (a < 0 ? -DBL_MAX : DBL_MAX) : a / b;
        if (op == "max") return a > b ? a : b;
        if (op == "min") return a < b ? a : b;
        if (op == "abs") return b < 0 ? -b : b;
        return b > 0 ? 1 : b == 0 ? 0 : -1;  // sgn0
    }
    int64_t integer(__int128 a, __int128 b) const {
        int width = code == UTYPE_I64 ? 64 : 32;
        __int128 limit = code == UTYPE_U8 ? 255 : code == UTYPE_I16 ? 32767 : code == UTYPE_I32 ? 2147483647
                                                                                                : (__int128(1) << 47) - 1;
        if (op == "copy") return wrap(code, b);
        if (op == "add") return wrap(code, a + b);
        if (op == "sub") return wrap(code, a - b);
        if (op == "mul") return wrap(code, a * b);
        if (op == "div") return wrap(code, b == 0 ? (a < 0 ? -limit : limit) : a / b);
        if (op == "mod") {
            if (b == 0) return 0;
            __int128 r = a % b;
            return wrap(code, r != 0 && (r < 0) != (b < 0) ? r + b : r);
        }
        if (op == "band") return wrap(code, a & b);
        if (op == "bor") return wrap(code, a | b);
        if (op == "bxor") return wrap(code, a ^ b);
        int count = int(int64_t(b) & (width - 1));
        if (op == "shl") return wrap(code, __int128(uint64_t(a) << count));
        if (op == "shr") return wrap(code, a >> count);
        if (op == "max") return wrap(code, a > b ? a : b);
        if (op == "min") return wrap(code, a < b ? a : b);
        if (op == "abs") return wrap(code, b < 0 ? -b : b);
        return wrap(code, b > 0 ? 1 : b == 0 ? 0 : -1);  // sgn0
    }
};

TEST_F(Userdata, ElementwiseMatchesAReferenceLoop) {
    const char* types[] = {"u8", "i16", "i32", "i64", "f64"};
    const char* int_ops[] = {"copy", "add", "sub", "mul", "div", "mod", "band", "bor", "bxor", "shl", "shr",
                             "max", "min", "abs", "sgn0"};
    const char* real_ops[] = {"copy", "add", "sub", "mul", "div", "max", "min", "abs", "sgn0"};
    std::mt19937_64 rng(20240611);
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    // Mostly small values around the arrays, now and then one far outside them.
    auto number = [&](int64_t lo, int64_t hi) {
        int r = int(pick(0, 19));
        return r == 0 ? INT64_MAX - pick(0, 10) : r == 1 ? INT64_MIN + pick(0, 10) : pick(lo, hi);
    };
    for (int iter = 0; iter < 3000; iter++) {
        int t = int(pick(0, 4));
        int code = str_to_utype(types[t], strlen(types[t]));
        reference ref{code, code == UTYPE_F64 ? real_ops[pick(0, 8)] : int_ops[pick(0, 14)]};
        int size = userdata_element_size(code);
        int64_t aw = pick(1, 12), ah = pick(1, 4), bn = pick(1, 30);
        int form = int(pick(0, 3));  // 0: arrays, 1: number right, 2: number left, 3: b is a itself
        int dest_form = int(pick(0, 2));  // 0: copy, 1: a itself, 2: another array
        bool unary = ref.op == "copy" || ref.op == "abs" || ref.op == "sgn0";
        if (unary && form == 2) form = 0;
        int64_t number_operand = pick(-300, 300);
        if (ref.op == "shl" || ref.op == "shr") number_operand = pick(-70, 70);
        int64_t b_offset = number(-6, 30), a_offset = number(-6, 40), length = number(-1, 20);
        int64_t b_stride = number(-8, 8), a_stride = number(-8, 8), spans = number(-1, 20);
        if ((length > 64 || length < -1) && (spans > 64 || spans < -1)) spans = pick(0, 20);
        if (spans > 64 && spans > length && a_stride == 0) a_stride = 1;  // endless repeats are cut elsewhere

        // Arrays with random contents, kept in C++ for the reference as well.
        auto fill = [&](int64_t n) {
            std::vector<uint8_t> bytes(size_t(n * size));
            for (auto& x : bytes) x = uint8_t(pick(0, 255));
            if (code == UTYPE_F64)
                for (int64_t i = 0; i < n; i++) {
                    double v = double(pick(-2000, 2000)) / 8;
                    memcpy(&bytes[size_t(i * 8)], &v, 8);
                }
            return bytes;
        };
        std::vector<uint8_t> a = fill(aw * ah), b = fill(bn), d = fill(aw * ah);
        auto push_array = [&](const std::vector<uint8_t>& bytes, int64_t w, int64_t h) {
            userdata_header* u = create_userdata_of_type(L, code, h > 1 ? 2 : 1, w, h);
            memcpy(userdata_data(u), bytes.data(), bytes.size());
            return u;
        };
        lua_getglobal(L, "USERDATA");
        lua_getfield(L, -1, ref.op.c_str());
        userdata_header* ua = nullptr;
        if (form == 2) lua_pushinteger(L, number_operand);
        ua = push_array(a, aw, ah);
        if (form == 1) lua_pushinteger(L, number_operand);
        if (form == 0) push_array(b, bn, 1);
        if (form == 3) lua_pushvalue(L, -1);
        userdata_header* ud = nullptr;
        if (dest_form == 0) lua_pushnil(L);
        if (dest_form == 1) lua_pushboolean(L, 1);
        if (dest_form == 2) ud = push_array(d, aw, ah);
        for (int64_t v : {b_offset, a_offset, length, b_stride, a_stride, spans}) lua_pushinteger(L, v);
        ASSERT_EQ(lua_pcall(L, 9, 1, 0), LUA_OK);
        userdata_header* out = to_userdata(L, -1);
        ASSERT_NE(out, nullptr) << ref.op;
        EXPECT_TRUE(dest_form == 0 ? out != ua : out == (dest_form == 1 ? ua : ud));

        // The same pairs in the same order, with plain loops over C++ copies.
        std::vector<uint8_t> want = dest_form == 2 ? d : a;
        std::vector<uint8_t>& src_a = dest_form == 1 ? want : a;  // in place: a reads its own results
        std::vector<uint8_t>& src_b = form == 3 ? src_a : b;
        int64_t na = aw * ah, nb = form == 3 ? na : bn;
        auto load = [&](const std::vector<uint8_t>& v, int64_t i) -> __int128 {
            const uint8_t* p = &v[size_t(i * size)];
            switch (code) {
            case UTYPE_U8: return *p;
            case UTYPE_I16: { int16_t x; memcpy(&x, p, 2); return x; }
            case UTYPE_I32: { int32_t x; memcpy(&x, p, 4); return x; }
            default: { int64_t x; memcpy(&x, p, 8); return x; }
            }
        };
        __int128 scalar = code == UTYPE_U8 ? __int128(uint32_t(number_operand))
                          : code == UTYPE_I64 ? __int128(number_operand) : __int128(int32_t(number_operand));
        bool swapped = spans > length;
        int64_t outer = swapped ? length : spans, inner = swapped ? spans : length;
        __int128 a_step = swapped ? a_stride : 1, b_step = swapped ? b_stride : 1;
        bool b_array = form == 0 || form == 3;
        auto element = [&](__int128 ai, __int128 bi) {
            uint8_t* at = &want[size_t(ai * size)];
            if (code == UTYPE_F64) {
                double x, y;
                memcpy(&x, &src_a[size_t(ai * 8)], 8);
                if (!b_array) y = double(number_operand);
                else memcpy(&y, &src_b[size_t(bi * 8)], 8);
                if (form == 2) std::swap(x, y);
                double r = ref.real(x, y);
                memcpy(at, &r, 8);
            } else {
                __int128 x = load(src_a, int64_t(ai));
                __int128 y = b_array ? load(src_b, int64_t(bi)) : scalar;
                if (form == 2) std::swap(x, y);
                int64_t r = ref.integer(x, y);
                memcpy(at, &r, size_t(size));
            }
        };
        for (int64_t o = 0; o < outer; o++) {
            __int128 i0 = swapped ? 0 : o, j0 = swapped ? o : 0;
            __int128 a_base = a_offset + i0 * a_stride + j0, b_base = b_offset + i0 * b_stride + j0;
            // Step by step, jumping over stretches where an index lies before its array.
            for (__int128 k = 0; k < inner;) {
                __int128 next = k + 1;
                bool valid = true, done = false;
                auto check_index = [&](__int128 index, __int128 step, __int128 n) {
                    if (index >= 0 && index < n) return;
                    valid = false;
                    if (step > 0 && index < 0) next = std::max(next, k + (-index + step - 1) / step);
                    else if (step < 0 && index >= n) next = std::max(next, k + (index - n - step) / -step);
                    else done = true;  // moving away, or standing still outside
                };
                check_index(a_base + k * a_step, a_step, na);
                if (b_array) check_index(b_base + k * b_step, b_step, nb);
                if (done) break;
                if (valid) element(a_base + k * a_step, b_base + k * b_step);
                k = next;
            }
        }
        ASSERT_EQ(memcmp(userdata_data(out), want.data(), want.size()), 0)
            << types[t] << " " << ref.op << " form " << form << " dest " << dest_form << " a " << aw << "x" << ah
            << " b " << bn << " args " << b_offset << "," << a_offset << "," << length << "," << b_stride << ","
            << a_stride << "," << spans;
        lua_settop(L, base);
    }
}

}  // namespace
