// Hostile drawing: batch shapes, sprites and prints as large as a script can ask for, in a child
// sliced by the root every frame. Each row (or line of text) is charged as it is drawn and the
// call goes on in the next slice, so no frame waits for the whole call; what a call that went
// on over many slices draws is what the same call drawn in one go draws.
#include <string>

#include "hostile_child.h"

namespace {

struct HostileDrawing : testing::Test {
    void SetUp() override { hostile::fresh_machine(); }
    void TearDown() override { processes_init(); }
};

// Huge calls: none finishes within the frames given, none holds a frame, none fails. (The
// targets are 2048 x 2048: making a 4096 x 4096 array alone already takes a frame's gap.)
TEST_F(HostileDrawing, HugeBatchesAndPrintsHoldNoFrame) {
    const struct {
        const char* name;
        const char* code;
    } cases[] = {
        {"line", "local T = userdata('u8', 2048, 2048) _set_draw_target(T) "
                 "local n = 262144 local t = userdata('f64', 4, n) "
                 "for i = 0, n - 1 do t:set(0, i, 0, i % 2048, 2047, 2047 - i % 2048) end "
                 "line(t)"},
        {"circ with huge radii", "_set_draw_target(userdata('u8', 480, 270)) "
                                 "local n = 3000 local t = userdata('f64', 3, n) local r = 1 << 20 "
                                 "for i = 0, n - 1 do t:set(0, i, 200 - r + i % 7, 135, r) end circ(t)"},
        {"circfill with huge radii", "_set_draw_target(userdata('u8', 480, 270)) "
                                     "local n = 3000 local t = userdata('f64', 3, n) local r = 1 << 20 "
                                     "for i = 0, n - 1 do t:set(0, i, 200 - r + i % 7, 135, r) end circfill(t)"},
        {"spr", "_set_draw_target(userdata('u8', 2048, 2048)) _set_spr(0, userdata('u8', 256, 256)) "
                "local n = 65536 local t = userdata('f64', 3, n) "
                "for i = 0, n - 1 do t:set(0, i, 0, i % 1792, i % 1792) end for k = 1, 4 do spr(t) end"},
        {"rectfill", "_set_draw_target(userdata('u8', 2048, 2048)) "
                     "local n = 262144 local t = userdata('f64', 5, n) "
                     "for i = 0, n - 1 do t:set(0, i, 0, 0, 2047, 2047, i % 64) end rectfill(t)"},
        {"8 MB print in lines", "_set_draw_target(userdata('u8', 480, 270)) "
                                "_print_t6scii(string.rep('hello world\\n', 700000))"},
        {"8 MB print in one line", "_set_draw_target(userdata('u8', 480, 270)) "
                                   "_print_t6scii(string.rep('x', 8 << 20))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hostile::fresh_machine();
        hostile::outcome o = hostile::run_child(c.code, 120);
        EXPECT_FALSE(o.ended) << "finished or failed: " << o.reports;
        EXPECT_EQ(o.reports, "");
        hostile::expect_frame_gap_held(o, c.name);
        processes_init();
    }
}

// Each call is drawn twice: once where it cannot stop (inside a string.gsub callback, where it
// runs to its end within the overrun bound) and once where it goes on over several slices.
// The two targets must agree pixel for pixel.
constexpr const char* SAME_RESULT_PRELUDE =
    "local function both(draw) "
    "  local A, B = userdata('u8', 256, 256), userdata('u8', 256, 256) "
    "  _set_draw_target(A) cls(0) camera(0, 0) color(7) line() string.gsub('x', '.', draw) "
    "  _set_draw_target(B) cls(0) camera(0, 0) color(7) line() draw() "
    "  for y = 0, 255 do for x = 0, 255 do "
    "    if A:get(x, y) ~= B:get(x, y) then error('mismatch at ' .. x .. ',' .. y) end end end "
    "end "
    "local n = 6000 local t = userdata('f64', 5, n) "
    "for i = 0, n - 1 do t:set(0, i, (i * 37) % 300 - 20, (i * 91) % 300 - 20, (i * 53) % 300 - 20, "
    "  (i * 17) % 300 - 20, 1 + i % 15) end "
    "_set_spr(3, userdata('u8', 16, 16, string.rep('0123456789abcdef', 16))) "
    "local s = userdata('f64', 5, n) "
    "for i = 0, n - 1 do s:set(0, i, 3, (i * 7) % 280 - 16, (i * 13) % 280 - 16, i % 3 - 1, i % 5 - 2) end ";

TEST_F(HostileDrawing, CallsThatGoOnInLaterSlicesDrawAsInOneGo) {
    const struct {
        const char* name;
        const char* code;
    } cases[] = {
        {"polyline", "both(function() for k = 1, 3 do line(t, 0, n, 3, 5) end end)"},
        {"segments", "both(function() for k = 1, 3 do line(t) end end)"},
        {"circ", "both(function() circ(t, 0, n, 4, 5) end)"},
        {"circfill", "both(function() circfill(t, 0, n, 4, 5) end)"},
        {"rectfill", "both(function() rectfill(t, 0, n / 4) end)"},
        {"spr", "both(function() for k = 1, 4 do spr(s) end end)"},
        {"print", "both(function() for k = 1, 2 do "
                  "_print_t6scii(string.rep('the quick brown fox\\n', 3000), 0, 0, 9) end end)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hostile::fresh_machine();
        std::string code = std::string(SAME_RESULT_PRELUDE) + c.code;
        hostile::outcome o = hostile::run_child(code.c_str(), 3000);
        EXPECT_TRUE(o.ended) << "still running after " << o.frames << " frames";
        EXPECT_EQ(o.reports, "");
        EXPECT_GT(o.frames, 5) << "never went on in a later slice";
        processes_init();
    }
}

}  // namespace
