// Shape rasterisers: exact pixel sets, line forms and batches, clipping against a per-point
// reference, the invert flag, cycle charges, and coordinates far outside any target.
#include <random>

#include "gfx/gfx_fixture.h"
#include "gfx/shapes.h"

namespace {

using Shapes = GfxTest;

std::string rows(std::initializer_list<const char*> lines, int width = 16, int height = 12) {
    std::string out;
    for (const char* l : lines) out += std::string(l) + "\n";
    for (size_t i = lines.size(); i < size_t(height); i++) out += std::string(size_t(width), '.') + "\n";
    return out;
}

TEST_F(Shapes, ExactPixelSets) {
    struct {
        const char* code;
        std::string want;
    } cases[] = {
        {"circfill(3, 3, 0, 7)", rows({"................", "................", "................", "...7............"})},
        {"circfill(5, 5, 1, 7)",
         rows({"................", "................", "................", "................", ".....7..........",
               "....777.........", ".....7.........."})},
        {"circ(5, 5, 2, 7)",
         rows({"................", "................", "................", "....777.........", "...7...7........",
               "...7...7........", "...7...7........", "....777........."})},
        {"circfill(5, 5, 3, 7)",
         rows({"................", "................", "....777.........", "...77777........", "..7777777.......",
               "..7777777.......", "..7777777.......", "...77777........", "....777........."})},
        {"oval(0, 0, 1, 9, 7)", rows({"77..............", "77..............", "77..............", "77..............",
                                      "77..............", "77..............", "77..............", "77..............",
                                      "77..............", "77.............."})},
        {"oval(10, 6, 1, 1, 7)",
         rows({"................", "...777777.......", "..7......7......", ".7........7.....", ".7........7.....",
               "..7......7......", "...777777......."})},
        {"ovalfill(1, 1, 10, 6, 7)",
         rows({"................", "...777777.......", "..77777777......", ".7777777777.....", ".7777777777.....",
               "..77777777......", "...777777......."})},
        {"rect(6, 4, 1, 1, 7)", rows({"................", ".777777.........", ".7....7.........", ".7....7.........",
                                      ".777777........."})},
        {"rectfill(5, 5, 1, 1, 7)",
         rows({"................", ".77777..........", ".77777..........", ".77777..........", ".77777..........",
               ".77777.........."})},
        {"rrect(0, 0, 10, 10, 100, 7)",
         rows({"...7777.........", "..7....7........", ".7......7.......", "7........7......", "7........7......",
               "7........7......", "7........7......", ".7......7.......", "..7....7........", "...7777........."})},
        {"rrectfill(1, 1, 9, 7, 2, 7)",
         rows({"................", "...77777........", "..7777777.......", ".777777777......", ".777777777......",
               ".777777777......", "..7777777.......", "...77777........"})},
        {"rrect(1, 1, 14, 3, 1, 7)", rows({"................", ".77777777777777.", ".7............7.", ".77777777777777."})},
    };
    for (auto& k : cases) {
        target(16, 12);
        ASSERT_EQ(exec(k.code), "");
        EXPECT_EQ(grid(), k.want) << k.code;
    }
    // The radius is limited to what fits.
    target(16, 12);
    exec("rrect(0, 0, 10, 10, 4, 7)");
    std::string four = grid();
    target(16, 12);
    exec("rrect(0, 0, 10, 10, 100, 7)");
    EXPECT_EQ(grid(), four);
}

TEST_F(Shapes, LineForms) {
    target(24, 12);
    // A fresh process has no restart flag and its line end at 0, 0.
    exec("line(3, 3, 7)");
    EXPECT_EQ(grid().substr(0, 25 * 4), "7.......................\n.7......................\n..7.....................\n...7....................\n");
    EXPECT_EQ(run("return peek4(0x5520), peek4(0x5524)"), "3 3");
    target(24, 12);
    exec("line(8)");
    EXPECT_EQ(cost("line, 10, 10"), 0);
    EXPECT_EQ(run("return peek(0x551f), peek4(0x5520), peek4(0x5524), peek2(0x550c)"), "0 10 10 8");
    EXPECT_EQ(grid(), rows({}, 24));
    EXPECT_EQ(cost("line, 20, 10"), 11);
    EXPECT_EQ(grid().substr(25 * 10, 25), "..........88888888888...\n");
    // The four-argument form keeps the restart flag and stores its end.
    exec("line() line(0, 0, 2, 0, 9)");
    EXPECT_EQ(run("return peek(0x551f), peek4(0x5520), peek4(0x5524)"), "1 2 0");
    // The stored end is in script coordinates; the camera applies to both ends.
    target(24, 12);
    exec("poke(0x551f, 0) line(0, 0, 5, 5, 7) camera(-2, 0) line(5, 7)");
    EXPECT_EQ(grid().substr(25 * 5, 25 * 3), ".....7.7................\n.......7................\n.......7................\n");
}

TEST_F(Shapes, BatchTables) {
    target(16, 8);
    struct {
        const char* code;
        std::string want;
        int64_t cycles;  // -1: not checked
    } cases[] = {
        // pset: x, y, colour per row; two cycles per point.
        {"pset, userdata('f64', 3, 3, '1,1,7,2,2,8,3,3,9')", rows({"................", ".7..............",
                                                                   "..8.............", "...9............"}, 16, 8), 6},
        // Rows packed two to an array row: first index 1, four rows of two columns, stride 2.
        {"pset, userdata('f64', 9, 1, '0,1,1,2,1,3,1,4,1'), 1, 4, 2, 2",
         rows({"................", ".5555..........."}, 16, 8), 8},
        // A negative first index or a stride that walks off the front stops before the array.
        {"pset, userdata('f64', 2, 2, '1,1,2,2'), -2", rows({}, 16, 8), -1},
        {"pset, userdata('f64', 2, 2, '1,1,2,2'), 2, 5, 2, -2",
         rows({"................", ".5..............", "..5............."}, 16, 8), 4},
        {"pset, userdata('f64', 2, 2, '1,1,2,2'), 3", rows({}, 16, 8), -1},
        {"pset, userdata('f64', 2, 2, '1,1,2,2'), 0, 0", rows({}, 16, 8), -1},
        // Lines: a polyline from the stored end (0, 0) through each point, then segments.
        {"line, userdata('f64', 2, 2, '4,0,4,2')", rows({"55555...........", "....5...........", "....5..........."}, 16, 8),
         2 * 3 + 5 + 3},
        {"line, userdata('f64', 3, 2, '2,0,7,2,2,8')", rows({"778.............", "..8.............", "..8............."}, 16, 8),
         -1},
        {"line, userdata('f64', 1, 2, '3,6')", rows({"5555555.........", "................"}, 16, 8), -1},
        {"line, userdata('f64', 5, 2, '0,1,3,1,9,5,5,5,7,8')",
         rows({"................", "9999............", "................", "................", "................",
               ".....8..........", ".....8..........", ".....8.........."},
              16, 8),
         2 * 3 + 4 + 3},
        // Filled boxes, one colour each; the second inverted alone, the third not.
        {"rectfill, userdata('f64', 5, 3, '0,0,1,1,7,3,0,15,1,' .. ((1 << 35) + 9) .. ',4,1,4,1,6')",
         rows({"999.............", "999.6...........", "9999999999999999", "9999999999999999", "9999999999999999",
               "9999999999999999", "9999999999999999", "9999999999999999"},
              16, 8),
         -1},
        // Circles without a radius column get radius 4.
        {"circfill, userdata('f64', 2, 1, '4,4')",
         rows({"...555..........", ".5555555........", ".5555555........", "555555555.......", "555555555.......",
               "555555555.......", ".5555555........", ".5555555........"},
              16, 8),
         -1},
    };
    for (auto& k : cases) {
        target(16, 8);
        exec("color(5) line(0, 0, 0, 0) cls()");
        int64_t cycles = cost(k.code);
        EXPECT_EQ(grid(), k.want) << k.code;
        if (k.cycles >= 0) {
            EXPECT_EQ(cycles, k.cycles) << k.code;
        }
    }
    // The batch leaves the stored line end alone.
    exec("line(1, 2, 1, 2) line(userdata('f64', 2, 2, '4,0,4,2'))");
    EXPECT_EQ(run("return peek4(0x5520), peek4(0x5524)"), "1 2");
}

TEST_F(Shapes, InvertFlagBelongsToTheFilledShapesColour) {
    target(8, 6);
    exec("rectfill(2, 2, 5, 3, 7 | (1 << 35))");
    EXPECT_EQ(grid(), "77777777\n77777777\n77....77\n77....77\n77777777\n77777777\n");
    exec("cls() pset(0, 0, 8 | (1 << 35)) rectfill(2, 2, 3, 3, 9)");
    EXPECT_EQ(grid(), "8.......\n........\n..99....\n..99....\n........\n........\n");
    exec("cls() clip(1, 1, 6, 4) circfill(0, 0, -1, 6 | (1 << 35)) rrectfill(0, 0, 0, 4, 1, 5 | (1 << 35))");
    EXPECT_EQ(grid(), "........\n.555555.\n.555555.\n.555555.\n.555555.\n........\n");
    exec("cls() clip() ovalfill(-20, -20, 30, 30, 4 | (1 << 35)) ovalfill(-20, -20, 30, 30, 3)");
    EXPECT_EQ(grid(), "33333333\n33333333\n33333333\n33333333\n33333333\n33333333\n");
}

TEST_F(Shapes, ClsCameraAndPget) {
    exec("clip(2, 2, 2, 2) poke(0x5508, 0, 0, 0, 0) cursor(5, 6) cls(3 + 256)");
    for (int i = 0; i < width * height; i++) ASSERT_EQ(pixels()[i], 3) << i;
    EXPECT_EQ(run("return peek4(0x54f0), peek4(0x54f4)"), "0 0");
    EXPECT_EQ(cost("cls"), 16 * 12 / 64);
    exec("poke(0x5508, 0xff, 0x3f, 0, 0) clip() camera(2, 3) pset(5, 5, 7)");
    EXPECT_EQ(pixels()[2 * 16 + 3], 7);
    EXPECT_EQ(run("return pget(5, 5), pget(-3, 4), pget(100, 100), select('#', pget(1))"), "7 0 0 0");
}

TEST_F(Shapes, Costs) {
    struct {
        const char* call;
        int64_t cycles;
    } cases[] = {
        {"pset, 1, 1", 0},
        {"line, 0, 0, 10, 0", 11},
        {"line, -5, 0, 3, 0", 4},
        {"line, 0, -1, 10, -1", 0},
        {"rect, 0, 0, 3, 3", 12 / 3},
        {"rectfill, 0, 0, 15, 11", 12 * 3 / 3},  // whole aligned rows cost 3 each
        {"oval, 4, 4, 6, 6", 6},                 // two steps, four points
        {"circ, 5, 5, 1", 6 / 3},
        {"circfill, 5, 5, 1", (2 * 8 + 2 + 2 + 3) / 3},
        {"circ, 5, 5, -1", 0},
        {"circ, 100, 100, 3", 0},
    };
    for (auto& k : cases) EXPECT_EQ(cost(k.call), k.cycles) << k.call;
}

// The points of a line as the fixed-point rule places them, each tested against the clip.
int reference_line(std::vector<uint8_t>& img, int w, int h, int cx0, int cy0, int cx1, int cy1, int64_t x0,
                   int64_t y0, int64_t x1, int64_t y1) {
    if (y1 < y0) {
        std::swap(x0, x1);
        std::swap(y0, y1);
    }
    int64_t dx = x1 - x0, dy = y1 - y0, n = std::max(std::abs(dx), dy);
    int64_t sx = n ? dx * 65536 / n : 0, sy = n ? dy * 65536 / n : 0;
    int count = 0;
    for (int64_t i = 0; i <= n; i++) {
        int64_t x = (x0 * 65536 + 0x8000 + i * sx) >> 16, y = (y0 * 65536 + 0x8000 + i * sy) >> 16;
        if (x < cx0 || x >= cx1 || y < cy0 || y >= cy1 || x >= w || y >= h) continue;
        img[size_t(y * w + x)] = 7;
        count++;
    }
    return count;
}

TEST_F(Shapes, LinesAreClippedPointByPoint) {
    std::mt19937_64 rng(7);
    target(40, 30);
    for (int round = 0; round < 3000; round++) {
        int cx0 = int(rng() % 20), cy0 = int(rng() % 15);
        int cx1 = cx0 + int(rng() % 25), cy1 = cy0 + int(rng() % 20);
        int64_t span = round % 10 == 0 ? 3000 : 60;
        int64_t c[4];
        for (auto& v : c) v = int64_t(rng() % uint64_t(2 * span)) - span + 20;
        std::vector<uint8_t> want(40 * 30, 0);
        int64_t n = reference_line(want, 40, 30, cx0, cy0, std::min(cx1, 40), std::min(cy1, 30), c[0], c[1], c[2], c[3]);
        char code[160];
        // Target masks 0 and 63 take different paths to the same solid colour.
        snprintf(code, sizeof code, "clip(%d, %d, %d, %d) cls() poke(0x550b, %d)", cx0, cy0, cx1 - cx0, cy1 - cy0,
                 round % 2 ? 63 : 0);
        exec(code);
        snprintf(code, sizeof code, "line, %lld, %lld, %lld, %lld, 7", (long long)c[0], (long long)c[1],
                 (long long)c[2], (long long)c[3]);
        EXPECT_EQ(cost(code), n) << code;
        ASSERT_EQ(0, memcmp(pixels(), want.data(), want.size())) << code << " clip " << cx0 << "," << cy0 << "," << cx1
                                                                 << "," << cy1;
    }
}

TEST_F(Shapes, HiddenOutlinesReallyAreHidden) {
    std::mt19937_64 rng(3);
    target(64, 64);
    int hidden = 0;
    for (int round = 0; round < 4000; round++) {
        int64_t a = 1 + int64_t(rng() % (round % 2 ? 40 : 400)), b = 1 + int64_t(rng() % (round % 3 ? 40 : 400));
        int64_t xc = int64_t(rng() % 200) - 68, yc = int64_t(rng() % 200) - 68;
        int64_t xodd = int64_t(rng() % 2), yodd = int64_t(rng() % 2);
        int x0 = int(rng() % 60), y0 = int(rng() % 60);
        char code[96];
        snprintf(code, sizeof code, "cls() clip(%d, %d, %d, %d)", x0, y0, 1 + int(rng() % 20), 1 + int(rng() % 20));
        exec(code);
        draw_context c;
        ASSERT_TRUE(draw_begin(&c));
        if (!ellipse_outline_hidden(c, xc, yc, a, b, xodd, yodd)) continue;
        hidden++;
        draw_ellipse_1(c, xc, yc, a, b, xodd, yodd);
        for (int i = 0; i < 64 * 64; i++) ASSERT_EQ(pixels()[i], 0) << a << " " << b << " " << xc << " " << yc;
    }
    EXPECT_GT(hidden, 200);
}

TEST_F(Shapes, CoordinatesFarOutsideTheTarget) {
    struct {
        const char* code;
        int drawn;  // pixels set afterwards; -1: only that it finishes
    } cases[] = {
        {"rectfill(math.mininteger, math.mininteger, math.maxinteger, math.maxinteger)", 16 * 12},
        {"circfill(8, 6, 1 << 62)", 16 * 12},
        {"circfill(8, 6, 1 << 40, 5 | (1 << 35))", 0},
        {"circ(8, 6, 1 << 40)", 0},
        {"circ(8, 6, 1 << 19)", 0},
        {"oval(math.mininteger, math.mininteger, math.maxinteger, math.maxinteger)", 0},
        {"ovalfill(math.mininteger, 0, math.maxinteger, 11)", -1},
        {"circ(-999992, 6, 1000000)", -1},
        {"circfill(-999992, 6, 1000000)", -1},
        {"oval(math.mininteger, -5, math.maxinteger, math.maxinteger)", -1},  // the longest walk there is
        {"line(math.mininteger, 5, math.maxinteger, 5)", 16},
        {"line(math.mininteger, math.mininteger, math.maxinteger, math.maxinteger)", -1},
        {"rect(math.mininteger, 0, math.maxinteger, 11)", 32},
        {"rrect(math.mininteger, math.mininteger, math.maxinteger, math.maxinteger, math.maxinteger)", -1},
        {"rrectfill(-8, -6, 1 << 50, 1 << 50, 1 << 50)", -1},
        {"rrectfill(math.mininteger, 0, math.maxinteger, math.maxinteger, 3)", -1},
        {"camera(math.mininteger, math.maxinteger) circfill(0, 0, 1 << 62) line(0, 0, 1, 1) pset(2 ^ 70, -2 ^ 70)", -1},
        {"pset(userdata('f64', 2, 2, '1e300,-1e300,' .. (0/0) .. ',' .. (1/0)))", -1},
    };
    for (auto& k : cases) {
        target(16, 12);
        ASSERT_EQ(exec("color(7) " + std::string(k.code)), "") << k.code;
        int drawn = 0;
        for (int i = 0; i < 16 * 12; i++) drawn += pixels()[i] != 0;
        if (k.drawn >= 0) {
            EXPECT_EQ(drawn, k.drawn) << k.code;
        }
    }
    // The huge circle that crosses the target leaves an arc along its edge.
    target(16, 12);
    exec("circ(-999992, 6, 1000000, 7)");
    EXPECT_EQ(grid().substr(17 * 6, 17), "........7.......\n");
}

TEST_F(Shapes, TheTargetOutlivesItsLastReference) {
    EXPECT_EQ(run("_set_draw_target(userdata('u8', 8, 8)) T = nil collectgarbage() collectgarbage() "
                  "for i = 1, 200 do local _ = userdata('u8', 8, 8) end collectgarbage() "
                  "rectfill(0, 0, 7, 7, 7) return pget(3, 3)"),
              "7");
}

TEST_F(Shapes, NothingWithoutADrawTarget) {
    process_record* bare = create_process_from_code("", "bare", "/apps/bare.lua", "");
    set_current_process(bare);
    for (const char* call : {"cls(1)", "pset(1, 1)", "pget(1, 1)", "line(1, 1, 2, 2)", "rect(0, 0, 1, 1)",
                             "rectfill(0, 0, 1, 1)", "oval(0, 0, 4, 4)", "ovalfill(0, 0, 4, 4)", "circ(1, 1)",
                             "circfill(1, 1)", "rrect(0, 0, 4, 4, 1)", "rrectfill(0, 0, 4, 4, 1)", "clip()",
                             "fillp(1)", "pset(userdata('f64', 2, 1))", "line(userdata('f64', 2, 1))"})
        EXPECT_EQ(run_script(bare->L, std::string("select('#', ") + call + ")"), "0") << call;
    EXPECT_EQ(run_script(bare->L, "(function() line() return peek(0x551f) end)()"), "0");
}

}  // namespace
