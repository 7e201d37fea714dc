// Typed arrays, vector and matrix members: magnitude, distance, dot, cross and the products.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "userdata/userdata_fixture.h"

namespace {

TEST_F(Userdata, VectorMembers) {
    // The distance squares single-precision differences.
    float d = float(0.1);
    char single[64];
    snprintf(single, sizeof single, "%.17g", std::sqrt(double(d * d)));
    check({
        {"return userdata('f64', 3, 2, '3,4,0,100,100,100'):magnitude()", "5.0"},
        {"return vec(0, 0):distance(vec(3, 4)), vec(1, 2, 3):distance(vec(1, 2))", "5.0,0.0"},
        {std::string("return vec(0.1):distance(vec(0)) == ") + single, "true"},
        {"return vec(1, 2, 3):dot(vec(4, 5, 6)), vec(1, 2, 3):dot(vec(4))", "32.0,4.0"},
        // Each product is added with one rounding, from the first element on.
        {"local x = 1 + 2^-27 return vec(-1, x):dot(vec(1, x)) == 2^-26 + 2^-54", "true"},
        {"return vec(1, 0, 0):cross(vec(0, 1, 0)):get()", "0.0,0.0,1.0"},
        {"local v = vec(0, 1, 0, 7) local r = vec(1, 0, 0):cross(v) return r ~= v, r:get()", "true,0.0,0.0,1.0,7.0"},
        {"local u = vec(1, 0, 0) return u:cross(vec(0, 1, 0), true) == u, u:get()", "true,0.0,0.0,1.0"},
        {"local u = vec(1, 2, 3) u:cross(u, true) return u:get()", "0.0,0.0,0.0"},
        {"local d = vec(9, 9, 9) vec(0, 1, 0):cross(vec(0, 0, 1), d) return d:get()", "1.0,0.0,0.0"},
        {"return select('#', vec(1, 0):cross(vec(0, 1, 0)))", "0"},
        {"return select('#', vec(1, 0, 0):cross(vec(1, 2, 3), vec(1, 2)))", "0"},
        {"return select('#', vec(1, 0, 0):cross(vec(0, 1, 0), userdata('i32', 3)))", "0"},
        {"return select('#', userdata('i32', 2):magnitude()) + select('#', vec(1):dot(userdata('i64', 1)))", "0"},
    });
}

TEST_F(Userdata, MatrixProduct) {
    run("a = userdata('f64', 2, 2, '1,2,3,4') b = userdata('f64', 2, 2, '5,6,7,8')");
    check({
        {"return a:matmul(b):get()", "19.0,22.0,43.0,50.0"},
        {"return userdata('f64', 2, 3):matmul(userdata('f64', 4, 2)):attribs()", "4,3,f64,2"},
        {"return select('#', userdata('f64', 2, 3):matmul(userdata('f64', 4, 3)))", "0"},
        // Into a itself, or into the right operand: computed from the values before the call.
        {"local c = a:convert('f64') return c:matmul(b, true) == c, c:get()", "true,19.0,22.0,43.0,50.0"},
        {"local c = a:convert('f64') c:matmul(c, true) return c:get()", "7.0,10.0,15.0,22.0"},
        {"local m = b:convert('f64') return a:matmul(m, m) == m, m:get()", "true,19.0,22.0,43.0,50.0"},
        {"local c = a:convert('f64') c:matmul(b, true, 1) return c:get()", "19.0,22.0,43.0,50.0"},
        // Blocks must divide the height; destinations must have the product's size.
        {"return select('#', a:matmul(b, nil, 3)) + select('#', a:matmul(b, nil, 0))", "0"},
        {"return select('#', a:matmul(b, userdata('f64', 2, 3))) + select('#', a:matmul(b, userdata('i64', 2, 2)))",
         "0"},
        {"return select('#', a:matmul(userdata('f64', 3, 2), true))", "0"},
    });
}

TEST_F(Userdata, AffineTransforms) {
    run("t = userdata('f64', 3, 4, '1,0,0,0,1,0,0,0,1,10,20,30') "
        "rot = userdata('f64', 2, 3, '0,1,-1,0,5,6')");
    check({
        {"return vec(1, 2, 3):matmul3d(t):get()", "11.0,22.0,33.0"},
        {"local p = userdata('f64', 4, 2, '1,2,3,9,0,0,0,8') p:matmul3d(t, true, 1) return p:get()",
         "11.0,22.0,33.0,9.0,10.0,20.0,30.0,8.0"},
        {"return select('#', vec(1, 2, 3):matmul3d(userdata('f64', 3, 3)))", "0"},
        {"return select('#', userdata('f64', 3, 2):matmul3d(t))", "0"},  // default block 2
        // Composition: translations add up.
        {"local c = t:convert('f64') c:matmul3d(t, true) return c:get(0, 3, 3)", "20.0,40.0,60.0"},
        {"local c = t:convert('f64') c:matmul3d(c, true) return c:get(0, 3, 3)", "20.0,40.0,60.0"},
        // A row of u wider than m is tall reads m's four rows only; later columns stay.
        {"local u = userdata('f64', 5, 4, '1,0,0,0,99,0,1,0,0,99,0,0,1,0,99,1,2,3,1,99') "
         "local r = u:matmul3d(t, nil, 4) return r:get(0, 3, 5)", "21.0,42.0,63.0,1.0,99.0"},
        // A given destination must hold every row of u, laid out like u.
        {"local d = userdata('f64', 3, 1) return select('#', userdata('f64', 3, 2):matmul3d(t, d, 1)), d:get()",
         "0,0.0,0.0,0.0"},
        {"local d = userdata('f64', 4, 2) return select('#', userdata('f64', 3, 2):matmul3d(t, d, 1))", "0"},
        {"local d = userdata('f64', 3, 3) userdata('f64', 3, 2, '1,1,1,2,2,2'):matmul3d(t, d, 1) return d:get()",
         "11.0,21.0,31.0,12.0,22.0,32.0,0.0,0.0,0.0"},
        {"return select('#', vec(1, 2, 3):matmul3d(t, userdata('i64', 3)))", "0"},
        // 2-D: points, and 3-row matrices with a trailing partial block left alone.
        {"return vec(1, 2):matmul2d(rot):get()", "3.0,7.0"},
        {"local p = userdata('f64', 2, 5, '1,2,0,0,1,0,0,1,2,2') return p:matmul2d(rot, nil, 1):get()",
         "3.0,7.0,5.0,6.0,5.0,7.0,4.0,6.0,3.0,8.0"},
        {"return select('#', userdata('f64', 2, 5):matmul2d(rot))", "0"},
        {"local m = userdata('f64', 2, 4, '1,0,0,1,1,1,9,9') return m:matmul2d(rot, nil, 3):get()",
         "0.0,1.0,-1.0,0.0,4.0,7.0,9.0,9.0"},
        {"return select('#', vec(1, 2):matmul2d(userdata('f64', 2, 2)))", "0"},
    });
}

TEST_F(Userdata, ProductCharges) {
    run("a = userdata('f64', 16, 16) p = userdata('f64', 3, 40) t = userdata('f64', 3, 4)");
    EXPECT_EQ(charged("a", "matmul", "a, true"), 16 * 16 * 16 / 8 + 1 + 1);  // plus two scratch copies
    EXPECT_EQ(charged("p", "matmul3d", "t, true, 1"), 40 + 40);  // one per point, one per row copy
    EXPECT_EQ(charged("p", "matmul2d", "t, true, 1"), 0);  // t is not a 2-D transform: nothing done
}

}  // namespace
