// Drawing registers, colour tables, fill patterns, clip and the span writer, driven from
// scripts in a process with a small draw target.
#include <random>

#include "gfx/gfx_fixture.h"

namespace {

using DrawState = GfxTest;

TEST_F(DrawState, FillPatternsChooseThePenByte) {
    expect_each([&](const std::string& c) { return run(c); },
                {{"fillp(0x8000) return peek(0x5500, 8)", "17 0 0 0 17 0 0 0"},
                 {"fillp(0x1248) return peek(0x5500, 4)", "136 68 34 17"},
                 {"fillp(0x80, 1, 0, 0, 0, 0, 0, 0x0f) return peek(0x5500, 8)", "1 128 0 0 0 0 0 240"},
                 {"fillp() return peek(0x5500, 8)", "0 0 0 0 0 0 0 0"}});
    // Pen 0x0807 with the top-left pixel of each 4 x 4 cell set: 8 there, 7 elsewhere.
    exec("rectfill(0, 0, 15, 4, (1 << 32) | (0x8000 << 16) | 0x0807)");
    EXPECT_EQ(grid().substr(0, 17 * 5),
              "8777877787778777\n7777777777777777\n7777777777777777\n7777777777777777\n8777877787778777\n");
    EXPECT_EQ(run("return peek(0x5500), peek2(0x550c)"), "17 2055");
    // Without a draw target fillp changes nothing.
    ASSERT_NE(create_process_from_code("", "bare", "/apps/bare.lua", ""), nullptr);
    process_record* bare = get_process_by_index(get_process_count() - 1);
    set_current_process(bare);
    EXPECT_EQ(run_script(bare->L, "(function() fillp(0xffff) return peek(0x5500) end)()"), "0");
}

TEST_F(DrawState, PipelineTablesAndMasks) {
    struct {
        const char* setup;
        int before;
        int after;
    } cases[] = {
        {"poke(0x5508, 0xff, 0xff, 0, 0) pal(3, 9)", 0, 0xC9},        // solid row with both table bits
        {"poke(0x5508, 0xff, 0x3f, 0, 0) pal(3, 9)", 0x80, 0x89},     // write mask keeps bits 6-7
        {"poke(0x5508, 0x03, 0xff, 0, 0) pal(3, 9)", 0, 0xC9},        // read mask: 7 & 3 = 3
        {"poke(0x5508, 0xff, 0xff, 0, 0) pal(3, 9, 0x40)", 0, 0xC3},  // table 1 changed, table 0 draws 3
        {"poke(0x5508, 0xff, 0xff, 0x3f, 0x3f) palt(3, true)", 5, 5}, // transparent: destination kept
        {"poke(0x5508, 0xff, 0xff, 0x3f, 0x3f) palt(3, true) palt(3, false)", 5, 0xC3},
        {"poke(0x5508, 0xff, 0xff, 0xff, 0xff)", 0x45, 0x45},          // table 1 keeps the destination
        {"poke(0x5508, 0xff, 0xff, 0xff, 0xff) palt(0)", 0x05, 0xC3},   // palt(bits): 3 solid
        {"poke(0x5508, 0xff, 0xff, 0xff, 0xff) palt(1 << 3)", 0x05, 0x05},
    };
    for (auto& k : cases) {
        ASSERT_EQ(exec(std::string("pal() ") + k.setup), "") << k.setup;
        pixels()[0] = uint8_t(k.before);
        exec("pset(0, 0, 3)");
        EXPECT_EQ(pixels()[0], k.after) << k.setup;
    }
}

TEST_F(DrawState, PalFormsAndResets) {
    int64_t t0 = ADDR_COLOUR_TABLES;
    // A new process installs all four tables with its first pal().
    process_record* fixture = p;
    p = create_process_from_code("", "fresh", "/apps/fresh.lua", "");
    EXPECT_EQ(cost("pal"), 4 * 8 + 1);
    EXPECT_EQ(cost("pal"), 1);
    p = fixture;
    // The fixture's pal() installed every default table; nothing is marked now.
    EXPECT_EQ(cost("pal"), 1);
    exec("poke(0x9005, 1) poke(0xb000, 1)");
    EXPECT_EQ(cost("pal, 0"), 16);
    EXPECT_EQ(cost("pal, 0"), 0);
    for (int t = 0; t < 4; t++)
        for (int i = 0; i < 4096; i += 97)
            ASSERT_EQ(peek(t0 + t * 4096 + i), default_colours.coltabs[t * 4096 + i]) << t << " " << i;
    EXPECT_EQ(run("pal(2) return peek4(0x5000 + 4 * 12), peek4(0x5000 + 4 * 76), peek4(0x5000 + 4 * 40)"),
              std::to_string(0x29adff) + " " + std::to_string(0x29adff) + " 0");
    EXPECT_EQ(run("pal(5, 0x123456, 2) pal(261, 7, 2) return peek4(0x5014)"), "7");
    EXPECT_EQ(run("pal(3, 70, 1) return peek(0x5483)"), "6");
    EXPECT_EQ(run("pal(1) return peek(0x5483), peek(0x54bf)"), "3 63");
    EXPECT_EQ(cost("pal, {[1] = 9, [2] = 10, x = 3}, 1"), 4);
    EXPECT_EQ(run("return peek(0x5481, 2)"), "9 10");
    EXPECT_EQ(run("pal(7, 8, 5) return peek(0x8000 + 7 * 64)"), std::to_string(0xC7));  // other modes: nothing
    // pal() clears the scanline selects up to the display size, then tables and remap.
    EXPECT_EQ(run("poke(0x5400, 1) poke(0x5477, 2) poke(0x5478, 3) pal(3, 9) pal(4, 4, 1) pal() "
                  "return peek(0x5400), peek(0x5477), peek(0x5478), peek(0x80c0), peek(0x5484)"),
              "0 0 3 195 4");
    EXPECT_EQ(run("pal(3, 9) pal(-1) return peek(0x80c0)"), "195");
    EXPECT_EQ(run("pal(3, 9) pal(7) return peek(0x80c0)"), "201");
}

TEST_F(DrawState, StateSettersAndTheirResults) {
    expect_each([&](const std::string& c) { return run(c); },
                {{"return camera(5, -6)", "0 0"},
                 {"return camera()", "5 -6"},
                 {"color() return peek2(0x550c)", "6"},
                 {"color(0x1234) return peek2(0x550c)", "4660"},
                 {"cursor(3, 4, 9) return peek4(0x54f0), peek4(0x54f4), peek2(0x550c)", "3 4 9"},
                 {"cursor() return peek4(0x54f0), peek4(0x54f4), peek2(0x550c)", "0 0 9"},
                 {"cursor(1, 1, (1 << 32) | (0x8000 << 16) | 5) return peek(0x5500), peek2(0x550c)", "17 5"}});
}

TEST_F(DrawState, ClipRectangle) {
    // Each case starts from the full target (16 x 12).
    expect_each([&](const std::string& c) { return run("clip() " + c); },
                {{"clip(5, 5, 5, 5) return clip(0, 0, 100, 100, true)", "5 5 5 5 false"},
                 {"clip(5, 5, 5, 5) clip(0, 0, 100, 100, true) return clip()", "5 5 5 5 false"},
                 {"clip(10, 10, 5, 5) return clip()", "10 10 5 2 false"},
                 {"return clip(-5, -5, 3, 3)", "0 0 16 12 true"},
                 {"clip(-5, -5, 3, 3) return peek2(0x5528, 4)", "0 0 0 0"},
                 {"clip(-5, -5, 4, 4) return clip()", "0 0 0 0 false"},
                 {"return clip(2, 3, 100, 100)", "0 0 16 12 false"},
                 {"clip(2, 3, 100, 100) return clip()", "2 3 14 9 false"},
                 {"clip(4, 4, 4, 4) return clip(6, 6, -5, 5, true)", "4 4 4 4 true"},
                 {"return clip(2, 2, 0, 5)", "0 0 16 12 true"},
                 {"clip(2 ^ 62, 1, 1 << 62, 1) return clip()", "16 1 0 1 false"}});
    // A clip left of the target draws nothing; poking 0xffff as x1 reaches the right edge.
    exec("clip(-5, -5, 3, 3) rectfill(0, 0, 15, 11, 7)");
    for (int i = 0; i < width * height; i++) ASSERT_EQ(pixels()[i], 0) << i;
    exec("clip(0, 1, 4, 2) poke2(0x552c, 0xffff) rectfill(0, 0, 15, 11, 7)");
    EXPECT_EQ(grid().substr(0, 17 * 4), "................\n7777777777777777\n7777777777777777\n................\n");
    // A target wider than the registers can say is drawn to its far edge.
    target(70000, 1);
    exec("rectfill(0, 0, 69999, 0, 7)");
    EXPECT_EQ(pixels()[69999], 7);
    EXPECT_EQ(run("return clip()"), "0 0 70000 1 false");
    // Without a draw target clip gives nothing.
    process_record* bare = create_process_from_code("", "bare", "/apps/bare.lua", "");
    set_current_process(bare);
    EXPECT_EQ(run_script(bare->L, "select('#', clip(1, 1, 2, 2))"), "0");
}

TEST_F(DrawState, ClipFollowsAReshapedTarget) {
    // The registers still say 16 x 12, but the array now holds 4 x 4: drawing stays inside it.
    exec("clip() T:mutate('u8', 4, 4) rectfill(-10, -10, 40, 40, 7)");
    for (int i = 0; i < 16; i++) EXPECT_EQ(pixels()[i], 7) << i;
    for (int i = 16; i < 16 * 12; i++) ASSERT_EQ(pixels()[i], 0) << i;
    // Reshaped again to 8 x 2: the same registers now cover the new shape.
    exec("T:mutate('u8', 8, 2) rectfill(0, 0, 40, 40, 8)");
    EXPECT_EQ(run("return clip()"), "0 0 8 2 false");
    for (int i = 0; i < 16; i++) EXPECT_EQ(pixels()[i], 8) << i;
    for (int i = 16; i < 16 * 12; i++) ASSERT_EQ(pixels()[i], 0) << i;
}

// The five steps of the colour pipeline for one pixel, straight from the registers.
uint8_t reference_pixel(int x, int y, uint8_t d) {
    uint16_t pen = uint16_t(peek2(ADDR_PEN_COLOUR));
    uint8_t s = ((peek(ADDR_FILL_PATTERN + (y & 7)) >> (x & 7)) & 1) ? uint8_t(pen >> 8) : uint8_t(pen);
    uint8_t r = peek(ADDR_READ_MASK), w = peek(ADDR_WRITE_MASK), t = peek(ADDR_SHAPE_TARGET_MASK);
    uint8_t sm = s & r, dm = d & t;
    uint8_t e = peek(ADDR_COLOUR_TABLES + ((sm | dm) >> 6) * 4096 + (sm & 63) * 64 + (dm & 63));
    return uint8_t((e & w) | (d & ~w));
}

TEST_F(DrawState, SpansMatchThePerPixelRule) {
    std::mt19937_64 rng(21);
    for (int round = 0; round < 400; round++) {
        int w = round % 3 == 0 ? 24 : 8 + int(rng() % 30);
        target(w, 4);
        for (int i = 0; i < 4 * 4096; i++) poke(ADDR_COLOUR_TABLES + i, int64_t(rng()));
        // Target masks 0 and 63 take the fast paths; the pen sometimes carries table bits.
        static const uint8_t target_masks[] = {0, 63, 0xff, 0xc0, 0x3f};
        uint8_t tm = round % 4 == 3 ? uint8_t(rng()) : target_masks[rng() % 5];
        uint8_t masks[4] = {uint8_t(rng() % 2 ? 0x3f : rng()), uint8_t(rng() % 2 ? 0xff : rng()), 0, tm};
        for (int i = 0; i < 4; i++) poke(ADDR_READ_MASK + i, masks[i]);
        poke2(ADDR_PEN_COLOUR, int64_t(rng()));
        for (int i = 0; i < 8; i++) poke(ADDR_FILL_PATTERN + i, rng() % 3 == 0 ? 0 : int64_t(rng()));
        std::vector<uint8_t> before(size_t(w) * 4);
        for (auto& b : before) b = uint8_t(rng());
        memcpy(pixels(), before.data(), before.size());
        int x0 = int(rng() % (w + 8)) - 4, x1 = int(rng() % (w + 8)) - 4, y = int(rng() % 4);
        exec("rectfill(" + std::to_string(x0) + ", " + std::to_string(y) + ", " + std::to_string(x1) + ", " +
             std::to_string(y) + ")");
        int lo = std::max(std::min(x0, x1), 0), hi = std::min(std::max(x0, x1), w - 1);
        for (int x = 0; x < w; x++) {
            uint8_t d = before[size_t(y * w + x)];
            uint8_t want = x >= lo && x <= hi ? reference_pixel(x, y, d) : d;
            ASSERT_EQ(pixels()[y * w + x], want) << "round " << round << " x " << x << " target mask " << int(tm);
        }
    }
}

TEST_F(DrawState, SpanCosts) {
    // Target mask 0 on a target whose width is a multiple of 8: whole aligned groups are free.
    target(32, 4);
    struct {
        const char* masks;
        const char* call;
        int64_t cycles;  // the span cost; rectfill charges a third of it
    } cases[] = {
        {"0x3f, 0xff, 0, 0", "rectfill, 0, 0, 31, 0", 3 / 3},      // four whole groups: 0 / 2 + 3
        {"0x3f, 0xff, 0, 0", "rectfill, 3, 0, 20, 0", 8 / 3},      // 5 + 5 pixels around one group
        {"0x3f, 0xff, 0, 0", "rectfill, 1, 0, 6, 0", 4 / 3},       // no group: 5 / 2 + 2
        {"0x3f, 0xff, 0, 63", "rectfill, 0, 0, 31, 0", 17 / 3},    // table 0 directly: 31 / 2 + 2
        {"0xff, 0xff, 0, 0xff", "rectfill, 0, 0, 31, 0", 25 / 3},  // per pixel: 31 * 3 / 4 + 2
        {"0x3f, 0xff, 0, 0", "rectfill, 0, 0, 31, 3", 12 / 3},
    };
    for (auto& k : cases) {
        exec(std::string("poke(0x5508, ") + k.masks + ")");
        EXPECT_EQ(cost(k.call), k.cycles) << k.masks << " " << k.call;
    }
    target(30, 4);
    exec("poke(0x5508, 0x3f, 0xff, 0, 0)");
    EXPECT_EQ(cost("rectfill, 0, 0, 29, 0"), (29 / 2 + 2) / 3);
}

}  // namespace
