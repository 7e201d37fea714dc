// The t6scii printer: exact pixels of glyphs, attribute switches, control codes and commands,
// texts cut off inside a command, the return values, and the stripping of control codes.
#include "gfx/gfx_fixture.h"
#include "gfx/printer.h"
#include "gfx/system_font.h"

namespace {

// A small font at 0x6000 (3 wide, 6 wide for codes 128-255, 4 high) with glyphs for 'a', 'b',
// code 7 and code 200, and an alternate 2 x 2 font at 0x7000.
const char* fonts =
    "poke(0x6000, 3, 6, 4, 0, 0, 0, 0, 0) poke(0x6000 + 97 * 8, 3, 5, 6, 0)"
    "poke(0x6000 + 98 * 8, 7, 7) poke(0x6000 + 56, 5, 2, 5) poke(0x6000 + 200 * 8, 0x3f, 0x21, 0x3f)"
    "poke(0x7000, 2, 2, 2) poke(0x7000 + 97 * 8, 1, 2) poke(0x5f56, 0x60, 0x70)";

struct Printer : GfxTest {
    void SetUp() override {
        GfxTest::SetUp();
        ASSERT_EQ(exec(fonts), "");
    }
    // A fresh w x h target with the print registers and the cursor back at their defaults.
    void fresh(int w = 12, int h = 6) {
        target(w, h);
        ASSERT_EQ(exec("poke(0x5f58, 0, 0, 0, 0) poke(0x5f36, 0) cursor(0, 0)"), "");
    }
};

struct pixel_case {
    const char* code;
    std::vector<std::string> rows;  // the target's top rows; the rest stay blank
    int w = 12, h = 6;
};

std::string expected(const pixel_case& c) {
    std::string out;
    for (int y = 0; y < c.h; y++)
        out += (size_t(y) < c.rows.size() && !c.rows[size_t(y)].empty() ? c.rows[size_t(y)] : std::string(size_t(c.w), '.')) + "\n";
    return out;
}

void check_cases(Printer& t, const std::vector<pixel_case>& cases) {
    for (const auto& c : cases) {
        t.fresh(c.w, c.h);
        ASSERT_EQ(t.exec(c.code), "") << c.code;
        EXPECT_EQ(t.grid(), expected(c)) << c.code;
    }
}

TEST_F(Printer, GlyphsAndAttributeSwitches) {
    check_cases(*this, {
        {"_print_t6scii('aa', 0, 0, 7)", {"77.77.......", "7.77.7......", ".77.77......"}},
        {"_print_t6scii('\\200', 0, 0, 7)", {"777777......", "7....7......", "777777......"}},
        // wide, tall, tall with stripes, and inverted stripes that fill the gaps
        {"poke(0x5f58, 0x05) _print_t6scii('a', 0, 0, 7)", {"7777........", "77..77......", "..7777......"}},
        {"poke(0x5f58, 0x09) _print_t6scii('a', 0, 0, 7)", {"77..", "77..", "7.7.", "7.7.", ".77.", ".77."}, 4},
        {"poke(0x5f58, 0x49) _print_t6scii('a', 0, 0, 7)", {"77..", "....", "7.7.", "....", ".77.", "...."}, 4},
        {"poke(0x5f58, 0x69) _print_t6scii('a', 0, 0, 7)", {"..7.", "777.", ".7..", "777.", "7...", "777."}, 4},
        {"poke(0x5f58, 0x21) _print_t6scii('a', 0, 0, 7)", {"..7.", ".7..", "7...", "777."}, 4},
        // solid background without and with the edge, and wide with the edge
        {"poke(0x5f58, 0x11) _print_t6scii('a', 1, 1, 0x0507)", {"......", ".775..", ".757..", ".577..", ".555.."}, 6},
        {"poke(0x5f58, 0x13) _print_t6scii('a', 1, 1, 0x0507)", {"5555..", "5775..", "5757..", "5577.."}, 6},
        {"poke(0x5f58, 0x17) _print_t6scii('a', 2, 2, 0x0507)",
         {"..........", "55555555..", "55777755..", "55775577..", "55557777.."}, 10},
        // the alternate font only when bit 0 says the attributes count
        {"poke(0x5f58, 0x81) _print_t6scii('aa', 0, 0, 7)", {"7.7.........", ".7.7........"}},
        {"poke(0x5f58, 0x80) _print_t6scii('aa', 0, 0, 7)", {"77.77.......", "7.77.7......", ".77.77......"}},
        // the fill pattern: the colour's high byte (0, nothing) where its bit is set
        {"fillp(0x8000) _print_t6scii('aa', 0, 0, 7) fillp()", {".7.7........", "7.77.7......", ".77.77......"}},
    });
}

TEST_F(Printer, ControlCodes) {
    check_cases(*this, {
        // 1: repeat three times, then skip with 0; 2: background on
        {"_print_t6scii('\\1\\51a\\1\\48b', 0, 0, 7)", {"77.77.77....", "7.77.77.7...", ".77.77.77..."}},
        {"_print_t6scii('\\2\\53a', 1, 1, 7)", {"5555........", "5775........", "5757........", "5577........"}},
        // 3, 4, 5: relative moves by n - 16
        {"_print_t6scii('\\3ia\\4ha\\5ija', 0, 0, 7)",
         {"..77........", "..7.777.....", "...777.7....", "......77....", "..........77", "..........7."}},
        // 7: its glyph; 8: back by the last advance
        {"_print_t6scii('\\7a\\8b', 0, 0, 7)", {"7.7777......", ".7.777......", "7.7.77......"}},
        // a code whose argument byte is 0 draws its own glyph (3: bytes 24-31 of the font)
        {"poke(0x6018, 5) _print_t6scii('\\3\\0a', 0, 0, 7) poke(0x6018, 0)", {"7.7........."}},
        // 9: tab of three widths; 10: newline
        {"_print_t6scii('a\\9a\\na', 0, 0, 7)",
         {"77.......77.", "7.7......7.7", ".77.......77", "............", "77..........", "7.7........."}},
        // 11: a decoration two rows above the previous glyph, then back after it
        {"_print_t6scii('a\\11qba', 0, 2, 7)", {"777.........", "777.........", "77.77.......", "7.77.7......", ".77.77......"}},
        // 12: foreground; 13: back to home x
        {"_print_t6scii('a\\12\\57a\\13b', 0, 0, 7)", {"99999.......", "9999.9......", ".77.99......"}},
        // 14, 15: alternate and default font
        {"_print_t6scii('a\\14a\\15a', 0, 0, 7)", {"77.7.77.....", "7.7.77.7....", ".77...77...."}},
    });
    EXPECT_EQ(run("_print_t6scii('\\12\\57a', 0, 0, 7) return peek2(0x550c)"), "9");
}

TEST_F(Printer, Commands) {
    check_cases(*this, {
        {"_print_t6scii('\\6j11a', 0, 0, 7)", {"", "", "", "", "....77......", "....7.7....."}},
        {"_print_t6scii('a\\6c5a', 0, 0, 7)",
         {"775555555555", "757555555555", "577555555555", "555555555555", "555555555555", "555555555555"}},
        {"_print_t6scii('\\6d1ab', 0, 0, 7)", {"77..........", "7.7.........", ".77........."}},
        // outlines: right neighbour; centre only (nothing); up, right and the three below
        {"_print_t6scii('\\6o810a', 0, 0, 7)", {"778.........", "7878........", ".778........"}},
        {"_print_t6scii('\\6o$0ga\\6-oa', 1, 1, 7)", {"............", ".77.77......", ".7.77.7.....", "..77.77....."}},
        {"_print_t6scii('\\6o9f2a', 1, 1, 7)",
         {".99.........", ".779........", "97979.......", "99779.......", ".9999......."}},
        // right margin and wrap, tab width, character width and height
        {"_print_t6scii('\\6r2aaa', 0, 0, 7)",
         {"77.77.......", "7.77.7......", ".77.77......", "............", "77..........", "7.7........."}},
        {"poke(0x5f36, 0x80) _print_t6scii('aaa', 0, 0, 7)",
         {"77.77...", "7.77.7..", ".77.77..", "", "77......", "7.7....."}, 8, 6},
        {"_print_t6scii('\\6$\\6r1aa', 0, 0, 7)",
         {"77..........", "7.7.........", ".77.........", "............", "77..........", "7.7........."}},
        {"_print_t6scii('\\6s1a\\9a', 0, 0, 7)", {"77....77....", "7.7...7.7...", ".77....77..."}},
        {"_print_t6scii('\\6x4aa\\6y2a', 0, 0, 7)", {"77..77..77..", "7.7.7.7.7.7.", ".77..77....."}},
        // switches on and off
        {"_print_t6scii('\\6ua\\6-ua', 0, 0, 7)", {"77.77.......", "7.77.7......", ".77.77......", "", "777........."}},
        {"poke(0x5f58, 1) _print_t6scii('\\6#a\\6-#a', 1, 1, 0x0507)",
         {"............", ".77577......", ".7577.7.....", ".577.77.....", ".555........"}},
        {"_print_t6scii('\\6=\\6ta\\6-=a', 0, 0, 7)",
         {"77.77.......", "...77.......", "7.77.7......", "...7.7......", ".77.77......", "....77......"}},
        {"poke(0x5f58, 1) _print_t6scii('\\6#\\6ba\\6-ba', 1, 1, 0x0507)",
         {"5555........", "5775775.....", "5757757.....", "5577577.....", "....555....."}},
        {"_print_t6scii('\\6ia\\6-ia', 0, 0, 7)", {"..777.......", ".7.7.7......", "7...77......", "777........."}},
        {"_print_t6scii('\\6pa', 0, 0, 7)", {"7777........", "............", "77..77......", "", "..7777......"}},
        {"_print_t6scii('\\6wa\\6-wa', 0, 0, 7)", {"7777..77....", "77..777.7...", "..7777.77..."}},
        // home, jump, back home
        {"_print_t6scii('a\\6h\\6j11a\\6ga', 0, 0, 7)",
         {"77.77.......", "7.77.7......", ".77.77......", "", "....77......", "....7.7....."}},
        // inline 8 x 8 glyphs from raw bytes and from hexadecimal digits
        {"_print_t6scii('\\6.\\1\\2\\4\\8\\0\\0\\0\\255a', 0, 0, 7)",
         {"7.......77..", ".7......7.7.", "..7......77.", "...7........", "", "", "", "77777777...."}, 12, 8},
        {"_print_t6scii('\\6:0102040800FF80Aba', 0, 0, 7)",
         {"7.......77..", ".7......7.7.", "..7......77.", "...7........", "", "77777777....", ".......7....",
          "77.7.7.7...."}, 12, 8},
    });
}

TEST_F(Printer, WaitsStopThePrint) {
    fresh();
    const char text[] = "a\x06" "1b";
    set_current_process(p);
    EXPECT_EQ(print_t6scii(p->draw_target, text, 4, 0, 7), 1);
    EXPECT_EQ(grid(), expected({"", {"77..........", "7.7.........", ".77........."}}));
    EXPECT_EQ(print_t6scii(p->draw_target, "ab", 2, 0, 7), 0);
    EXPECT_EQ(print_t6scii(nullptr, "ab", 2, 0, 7), 0);  // not the process's target
}

TEST_F(Printer, CutOffCommandsReadNothingPastTheEnd) {
    // Each text stops inside a command or its arguments: what is complete is drawn, the cut
    // command is ignored and the appended newline still follows.
    script_cases cases = {
        {"_print_t6scii('a\\6j1', 0, 0, 7) return peek4(0x54f0), peek4(0x54f4)", "0 4"},
        {"poke(0x5f36, 4) _print_t6scii('a\\6j1', 0, 0, 7) return peek4(0x54f0), peek4(0x54f4)", "3 0"},
        {"poke(0x5f36, 4) return _print_t6scii('a\\6', 0, 0, 7)", "3 0"},
        {"poke(0x5f36, 4) return _print_t6scii('a\\6-', 0, 0, 7)", "3 0"},
        {"poke(0x5f36, 4) return _print_t6scii('a\\2', 0, 0, 7)", "6 0"},
        {"poke(0x5f36, 4) return _print_t6scii('a\\1', 0, 0, 7)", "6 0"},
        {"poke(0x5f36, 4) return _print_t6scii('a\\1\\51', 0, 0, 7)", "3 0"},
        {"poke(0x5f36, 4) return _print_t6scii('a\\5i', 0, 0, 7)", "3 0"},
        {"poke(0x5f36, 4) return _print_t6scii('a\\6:0102', 0, 0, 7)", "3 0"},
        {"poke(0x5f36, 4) return _print_t6scii('a\\6.\\1\\2', 0, 0, 7)", "3 0"},
        {"poke(0x5f36, 4) local x = _print_t6scii('a\\6@0050', 0, 0, 7) return x, peek(0x50)", "3 0"},
        // pokes: count cut by the end, count within, and the rest of the text (zero bytes too)
        {"poke(0x5f36, 4) local x = _print_t6scii('a\\6@00500004xy', 0, 0, 7) return x, peek(0x50, 4)",
         "3 120 121 0 0"},
        {"poke(0x5f36, 4) local x = _print_t6scii('\\6@00500002xya', 0, 0, 7) return x, peek(0x50, 3)", "3 120 121 0"},
        {"local x, y = _print_t6scii('\\6!0050xy\\0za', 0, 0, 7) return x, y, peek(0x50, 5)", "0 0 120 121 0 122 97"},
        {"return _print_t6scii('\\6@5f360001\\4ab', 0, 0, 7)", "6 4"},
        {"_print_t6scii('\\6@5f360001\\4ab', 0, 0, 7) return peek(0x5f36), peek4(0x54f0), peek4(0x54f4)", "4 0 4"},
    };
    expect_each([&](const std::string& c) { fresh(); return run(c); }, cases);

    // The engine itself, given bytes beyond the length it is told.
    set_current_process(p);
    poke(ADDR_PRINT_OPTIONS, 4);
    const char jump[] = "\x06j12";
    poke4(ADDR_PRINT_CURSOR_X, 0);
    poke4(ADDR_PRINT_CURSOR_Y, 0);
    print_t6scii(p->draw_target, jump, 3, 0, 7);
    EXPECT_EQ(peek4(ADDR_PRINT_CURSOR_X), 0);
    EXPECT_EQ(peek4(ADDR_PRINT_CURSOR_Y), 0);
    const char data[] = "\x06@00600004xyzw";
    print_t6scii(p->draw_target, data, 12, 0, 7);
    EXPECT_EQ(run("return peek(0x60, 4)"), "120 121 0 0");
}

TEST_F(Printer, SystemFontAndEightByEightFont) {
    set_current_process(p);
    poke_block(ADDR_DEFAULT_FONT, system_font, SYSTEM_FONT_SIZE);
    check_cases(*this, {
        // adjust table: 'i' is two wide, 'A' five
        {"poke(0x5f56, 0x40) _print_t6scii('iAi', 0, 0, 7)",
         {"7......7..", "...77.....", "7.7..7.7..", "7.7777.7..", "7.7..7.7..", "7.7..7.7.."}, 10, 6},
        // header bytes 0, 0, 0 count as 8, 8, 8
        {"poke(0x5f56, 0x60) poke(0x6000, 0, 0, 0) poke(0x6000 + 97 * 8, 0x81, 0, 0, 0, 0, 0, 0, 0xff) _print_t6scii('aa', 0, 0, 7)",
         {"7......77......7", "", "", "", "", "", "", "7777777777777777"}, 16, 8},
    });
    EXPECT_EQ(run("poke(0x5f36, 4) return _print_t6scii('aa', 0, 0, 7)"), "16 0");
}

TEST_F(Printer, ArgumentsAndResults) {
    script_cases cases = {
        // two glyphs advance two widths, then the newline returns to home x one line lower
        {"local x, y = _print_t6scii('ab', 2, 1, 7) return x, y, peek4(0x54f0), peek4(0x54f4)", "8 5 2 5"},
        {"poke(0x5f36, 4) local x, y = _print_t6scii('ab', 2, 1, 7) return x, y, peek4(0x54f0)", "8 1 8"},
        // wrapping tests the glyph's own width, even when drawn wide
        {"poke(0x5f36, 0x84) return _print_t6scii('\\6wa', 9, 0, 7)", "15 0"},
        {"poke(0x5f36, 0x84) return _print_t6scii('\\6wa', 10, 0, 7)", "16 4"},
        // from the cursor, with a second argument as colour
        {"cursor(3, 2) poke(0x5f36, 4) local x, y = _print_t6scii('a', 9) return x, y, peek4(0x54f8), peek2(0x550c)",
         "6 2 3 9"},
        {"cursor(3, 2) poke(0x5f36, 4) return _print_t6scii('a', 9, nil, nil)", "6 2"},
        // numeric strings and fractions truncated toward zero; a missing y keeps the cursor
        {"cursor(0, 5) poke(0x5f36, 4) return _print_t6scii('a', '2.9', nil)", "5 5"},
        {"poke(0x5f36, 4) return _print_t6scii('a', -1.5, 1.5)", "2 1"},
        {"poke(0x5f36, 4) return _print_t6scii(12, 0, 0)", "6 0"},
        // nothing processed: the cursor itself
        {"return _print_t6scii('', 4, 3)", "4 7"},
        {"poke(0x5f36, 4) return _print_t6scii('', 4, 3)", "4 3"},
        {"return _print_t6scii({}, 0, 0)", ""},
        {"return _print_t6scii()", ""},
        {"return _count_p(1, nil, 3, nil)", "4"},
        {"return _count_p()", "0"},
    };
    expect_each([&](const std::string& c) { fresh(); return run(c); }, cases);
    // Each character costs its bytes; a glyph a third of its pixel work (a 3 x 4 box).
    fresh();
    EXPECT_EQ(cost("_print_t6scii, 'a', 0, 0, 7"), 4 + 2);
    EXPECT_EQ(cost("_print_t6scii, '\\6j11', 0, 0, 7"), 4 + 1);
    process_record* bare = create_process_from_code("", "bare", "/bare.lua", "");
    set_current_process(bare);
    EXPECT_EQ(run_script(bare->L, "_print_t6scii('a')"), "");
}

TEST_F(Printer, StripControls) {
    const char text[] = "T\x06@5f360001\x04it\x0c" "8le\x01";
    char out[sizeof text];
    size_t n = strip_print_controls(text, sizeof text - 1, out);
    EXPECT_EQ(std::string(out, n), "T@5f360001it8le");
}

}  // namespace
