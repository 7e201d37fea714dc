// Textured drawing: exact pixels of sprites, stretched sprites, maps and textured lines through
// the masks and tables, sprite slots and flags, blit between and within arrays, and random
// sspr and blit calls against a per-pixel reference.
#include <random>
#include <vector>

#include "gfx/gfx_fixture.h"
#include "gfx/sprites.h"

namespace {

struct Sprites : GfxTest {
    void SetUp() override {
        GfxTest::SetUp();
        // Textured drawing reads the destination through the sprite target mask: 63 makes colour 0
        // (the identity row of table 0) leave the destination as it was.
        ASSERT_EQ(exec("poke(0x550a, 63)"), "");
    }
    // Makes a global u8 array from rows of '.', '0'-'9' and 'a'-'z' (colours 0-35).
    void image(const std::string& name, std::initializer_list<const char*> rows) {
        std::string hex;
        size_t w = std::string(*rows.begin()).size();
        for (const char* r : rows) {
            for (const char* p = r; *p; p++) {
                int v = *p == '.' ? 0 : *p <= '9' ? *p - '0' : *p - 'a' + 10;
                char b[3];
                snprintf(b, sizeof b, "%02x", v);
                hex += b;
            }
        }
        ASSERT_EQ(exec(name + " = userdata('u8', " + std::to_string(w) + ", " + std::to_string(rows.size()) + ", '" +
                       hex + "')"),
                  "");
    }
    // The expected target: each line padded with '.' to the width, missing lines all '.'.
    std::string rows(std::initializer_list<const char*> lines) {
        std::string out;
        for (const char* l : lines) out += std::string(l) + std::string(size_t(width) - strlen(l), '.') + "\n";
        for (size_t i = lines.size(); i < size_t(height); i++) out += std::string(size_t(width), '.') + "\n";
        return out;
    }
};

TEST_F(Sprites, SpritesFlipsAndTransparency) {
    image("A", {"12.", "345", "6.7"});
    struct {
        const char* code;
        std::string want;
    } cases[] = {
        {"spr(A, 1, 1)", rows({"................", ".12.............", ".345............", ".6.7............"})},
        {"spr(A, 0, 0, true)", rows({".21.............", "543.............", "7.6............."})},
        {"spr(A, 0, 0, false, true)", rows({"6.7.............", "345.............", "12.............."})},
        {"spr(A, 0, 0, 1, 1)", rows({"7.6.............", "543.............", ".21............."})},
        // Clipped at the target's left and top edges, and by the clip rectangle.
        {"spr(A, -1, -2)", rows({".7"})},
        {"clip(1, 0, 2, 16) spr(A, 0, 0)", rows({".2", ".45", "..7"})},
        {"camera(-2, -1) spr(A, 0, 0)", rows({"................", "..12............", "..345...........", "..6.7..........."})},
        {"spr(A, 14, 10, true)", rows({"", "", "", "", "", "", "", "", "", "", "...............2", "..............54"})},
        // Colour 5 made transparent, colour 3 drawn as 9.
        {"palt(5, true) pal(3, 9) spr(A, 0, 0)", rows({"12..............", "94..............", "6.7............."})},
        // A read mask of 3 keeps two bits of every texel.
        {"poke(0x5508, 3) spr(A, 0, 0)", rows({"12..............", "3.1.............", "2.3............."})},
    };
    for (auto& k : cases) {
        target(16, 12);
        ASSERT_EQ(exec("clip() camera() pal() palt() poke(0x5508, 0xff) cls(0)"), "");
        ASSERT_EQ(exec(k.code), "");
        EXPECT_EQ(grid(), k.want) << k.code;
    }
}

TEST_F(Sprites, MasksTablesAndPatternOverADestination) {
    image("A", {"1.2", "3.4"});
    target(4, 2);
    ASSERT_EQ(exec("cls(0x45) spr(A, 0, 0)"), "");
    // Colour 0 keeps the destination whole; a drawn texel keeps the destination's top bits
    // under the write mask 0x3f.
    EXPECT_EQ(run("return T:get(0, 0, 8)"), "65 69 66 69 67 69 68 69");
    // Table bits in the destination select that table: table 1 keeps the destination.
    ASSERT_EQ(exec("cls(0x45) poke(0x550a, 0xff) spr(A, 0, 0)"), "");
    EXPECT_EQ(run("return T:get(0, 0, 8)"), "69 69 69 69 69 69 69 69");
    // A set pattern bit at the destination adds 2 to the table number: table 2 keeps it too.
    ASSERT_EQ(exec("cls(0) poke(0x550a, 63) fillp(0xa5a5) spr(A, 0, 0) fillp()"), "");
    EXPECT_EQ(grid(), "....\n3.4.\n");
    // A write mask of 0x0f leaves the high nibble of the destination.
    ASSERT_EQ(exec("cls(0x30) poke(0x5509, 0x0f) spr(A, 0, 0)"), "");
    EXPECT_EQ(run("return T:get(0, 0, 4)"), "49 48 50 48");
}

TEST_F(Sprites, SlotsNumbersAndCosts) {
    image("A", {"12", "34"});
    ASSERT_EQ(exec("_set_spr(8193, A) cls(0)"), "");
    EXPECT_EQ(run("spr(1, 0, 0) return pget(1, 1)"), "4");
    // Numbers outside 0-16383 and empty slots draw nothing; a float number is floored.
    EXPECT_EQ(run("cls(0) spr(20000, 0, 0) spr(9000, 0, 0) spr(-1, 0, 0) spr(2, 0, 0) return pget(0, 0)"), "0");
    EXPECT_EQ(run("spr(1.9, 3, 3) spr('1', 5, 5) return pget(3, 3), pget(5, 5)"), "1 1");
    // A slot set without an array holds the shared empty 16 x 16 sprite.
    ASSERT_EQ(exec("_set_spr(2) cls(7) poke(0x550a, 0) spr(2, -8, -8)"), "");
    EXPECT_EQ(run("return pget(7, 7), pget(8, 8)"), "0 7");
    // Costs: draw cost / 3, the fast path (masks 63, no pattern) charging half a cycle a pixel.
    target(64, 64);
    ASSERT_EQ(exec("B = userdata('u8', 32, 32) poke(0x5508, 63, 0xff, 63)"), "");
    EXPECT_EQ(cost("spr, B, 0, 0"), 1024 / 2 / 3);
    EXPECT_EQ(cost("spr, B, -16, 0"), 512 / 2 / 3);
    ASSERT_EQ(exec("poke(0x5508, 0xff)"), "");
    EXPECT_EQ(cost("spr, B, 0, 0"), 1024 / 3);
}

TEST_F(Sprites, SpriteArraysStayHeldByTheirSlots) {
    ASSERT_EQ(exec("W = setmetatable({}, {__mode = 'v'}) W[1] = userdata('u8', 2, 2, '05050505') _set_spr(4, W[1])"),
              "");
    EXPECT_EQ(run("collectgarbage() collectgarbage() return W[1] ~= nil"), "true");
    EXPECT_EQ(run("cls(0) spr(4, 0, 0) return pget(1, 1)"), "5");
    ASSERT_EQ(exec("_set_spr(4, userdata('u8', 1, 1))"), "");
    EXPECT_EQ(run("collectgarbage() collectgarbage() return W[1] == nil"), "true");
}

TEST_F(Sprites, BatchRows) {
    image("A", {"12", "34"});
    ASSERT_EQ(exec("_set_spr(1, A) camera(5, 5)"), "");
    // Rows n, x, y, flip_x, flip_y: negative values flip; the camera is not applied; missing
    // sprites are skipped but still charged.
    ASSERT_EQ(exec("R = userdata('f64', 5, 3) R:set(0, 0, 1, 0, 0, 0, 0,  1, 3, 0, -1, -1,  9000, 6, 0, 0, 0)"), "");
    EXPECT_EQ(cost("spr, R"), 2 * 3 + 8 / 3);
    EXPECT_EQ(grid(), rows({"12.43...........", "34.21..........."}));
    // Two columns of a longer row each; first element and stride pick the rows.
    ASSERT_EQ(exec("cls(0) R2 = userdata('f64', 6, 1) R2:set(0, 0, 1, 8, 0, 1, 11, 0) spr(R2, 0, 2, 3, 3)"), "");
    EXPECT_EQ(grid(), rows({"........12.12", "........34.34"}));
    ASSERT_EQ(exec("cls(0) spr(R2, 3, 2, 3, -3)"), "");
    EXPECT_EQ(grid(), rows({"........12.12", "........34.34"}));
    // A negative first element or stride never reaches before the array.
    ASSERT_EQ(exec("cls(0) spr(R2, -3, 2, 3, 3) spr(R2, 3, 2, 3, -100)"), "");
    EXPECT_EQ(grid(), rows({"...........12", "...........34"}));
}

TEST_F(Sprites, StretchedSprites) {
    image("A", {"12", "34"});
    target(16, 8);
    struct {
        const char* code;
        std::string want;
    } cases[] = {
        {"sspr(A, 0, 0, 2, 2, 0, 0, 4, 4)", rows({"1122", "1122", "3344", "3344"})},
        {"sspr(A, 0, 0, nil, nil, 1, 0, 3, 1)", rows({".344"})},
        {"sspr(A, 1, 0, 1, 2, 0, 0, 2, 2)", rows({"22", "44"})},
        // Negative sizes mirror into the rectangle ending at dx, dy.
        {"sspr(A, 0, 0, 2, 2, 4, 4, -4, -4)", rows({"4433", "4433", "2211", "2211"})},
        {"sspr(A, 0, 0, 2, 2, 0, 0, 4, 2, true, false)", rows({"2211", "4433"})},
        // Source columns left of the sprite draw nothing: the rest stays where it belongs.
        {"sspr(A, -1, 0, 3, 1, 0, 0, 6, 2)", rows({"..1122", "..1122"})},
        {"sspr(A, -1, 0, 3, 1, 0, 0, 6, 2, true)", rows({"2211..", "2211.."})},
        {"sspr(A, 1, 1, 4, 4, 0, 0, 8, 8)", rows({"44", "44"})},
        {"camera(-1, -1) sspr(A, 0, 0, 2, 2, 0, 0, 2, 2)", rows({"", ".12", ".34"})},
        {"sspr(A, 0, 0, 0, 2, 0, 0, 4, 4) sspr(A, 0, 0, 2, 2, 0, 0, 0, 4)", rows({})},
    };
    for (auto& k : cases) {
        target(16, 8);
        ASSERT_EQ(exec("camera()"), "");
        ASSERT_EQ(exec(k.code), "");
        EXPECT_EQ(grid().substr(0, 6 * 17), k.want.substr(0, 6 * 17)) << k.code;
    }
    // An 8 x 8 sprite stretched mirrored to 16 x 16 from x = 10 - 16.
    target(16, 16);
    ASSERT_EQ(exec("B = userdata('u8', 8, 8) for i = 0, 7 do B:set(i, 0, i + 1) end sspr(B, 0, 0, 8, 8, 10, 10, -16, 16)"),
              "");
    EXPECT_EQ(grid().substr(0, 16), std::string(16, '.'));
    EXPECT_EQ(grid().substr(10 * 17, 10), "5544332211");
    // Costs: columns drawn as lines when dw <= dh, rows otherwise; half a cycle a point on the
    // fast path, each line rounding down.
    target(32, 32);
    ASSERT_EQ(exec("poke(0x5508, 63, 0xff, 63)"), "");
    EXPECT_EQ(cost("sspr, A, 0, 0, 2, 2, 0, 0, 3, 5"), 3 * (5 / 2) / 3);
    EXPECT_EQ(cost("sspr, A, 0, 0, 2, 2, 0, 0, 5, 3"), 3 * (5 / 2) / 3);
}

// A map of cells drawn through the sprite table, with a map mapped at 0x100000 for mget.
TEST_F(Sprites, MapLayers) {
    target(24, 8);
    image("S1", {"1.", ".1"});
    image("S2", {"22", ".2"});
    image("S3", {"3333", "4444"});
    ASSERT_EQ(exec("_set_spr(1, S1) _set_spr(2, S2) _set_spr(3, S3) _set_spr(0, S2)"), "");
    ASSERT_EQ(exec("M = userdata('i16', 4, 2) M:set(0, 0, 1, 2, 0, 0x4002, 0x8002, 0x2002, 3, 0)"), "");
    struct {
        const char* code;
        std::string want;
    } cases[] = {
        {"_draw_map(M, 0, 0, 0, 0, nil, nil, 0, 2, 2)",
         rows({"1.22..22", ".1.2..2.", ".22.33", "222244"})},
        // Sprite 0 cells drawn only with the option bit; flags pick layers.
        {"poke(0x5f36, 8) _draw_map(M, 3, 1, 0, 0, 1, 1, 0, 2, 2)", rows({"22", ".2"})},
        {"fset(2, 0x04) _draw_map(M, 0, 0, 0, 0, 4, 1, 4, 2, 2)", rows({"..22..22", "...2..2."})},
        // Cells of 4 x 2 stretch every sprite across them.
        {"_draw_map(M, 0, 0, 0, 0, 2, 1, 0, 4, 2)", rows({"11..2222", "..11..22"})},
        // The default cell size comes from 0x550e and 0x550f; the camera moves the layer.
        {"poke(0x550e, 2, 2) camera(-1, 0) _draw_map(M, 1, 1, 0, 0, 2)", rows({".2.33", ".2244"})},
        // Cells left of the map move the start; the count of cells shrinks with them.
        {"_draw_map(M, -1, 0, 0, 0, 2, 1, 0, 2, 2)", rows({"..1.", "...1"})},
        // Zero or negative cell sizes draw nothing.
        {"_draw_map(M, 0, 0, 0, 0, 4, 2, 0, 0, 2) _draw_map(M, 0, 0, 0, 0, 4, 2, 0, 2, -2)", rows({})},
    };
    for (auto& k : cases) {
        target(24, 8);
        ASSERT_EQ(exec("camera() poke(0x550e, 0, 0) poke(0x5f36, 0) fset(2, 0)"), "");
        ASSERT_EQ(exec(k.code), "");
        EXPECT_EQ(grid().substr(0, 4 * 25), k.want.substr(0, 4 * 25)) << k.code;
    }
    // Clipped cells: only those touching the clip are visited, 2 cycles each.
    target(24, 8);
    ASSERT_EQ(exec("poke(0x5508, 63, 0x3f, 63) clip(3, 0, 2, 2)"), "");
    EXPECT_EQ(cost("_draw_map, M, 0, 0, 0, 0, 4, 2, 0, 2, 2"), 2 * 2 + 1);
    EXPECT_EQ(grid().substr(0, 2 * 25), "...2....................\n...2....................\n");

    // mget and mset reach the map mapped at 0x100000.
    EXPECT_EQ(run("return mget(0, 0)"), "");
    ASSERT_EQ(exec("_map_ram(M, 0x100000)"), "");
    EXPECT_EQ(run("return mget(3, 0), mget(0, 1), mget(1, 1)"), "16386 -32766 8194");
    EXPECT_EQ(run("return select('#', mget(4, 0)), select('#', mget(0, 2)), select('#', mget(-1, 0))"), "0 0 0");
    ASSERT_EQ(exec("mset(1, 1, 0x12345) mset(9, 9, 1) mset(-1, 0, 1)"), "");
    EXPECT_EQ(run("return mget(1, 1), M:get(1, 1)"), "9029 9029");
}

TEST_F(Sprites, SpriteFlags) {
    EXPECT_EQ(run("fset(3, 9, true) return fget(3)"), "0");
    EXPECT_EQ(run("fset(3, 2, true) fset(3, 33, true) return fget(3), fget(3, 1), fget(3, 34), peek(0xc003)"),
              "6 true true 6");
    EXPECT_EQ(run("fset(8195, 0x181) return fget(3), fget(3, 8)"), "129 false");
    EXPECT_EQ(run("fset(3, 7, false) fset(4, 1) fset(4) return fget(3), fget(4)"), "1 0");
}

TEST_F(Sprites, TexturedLines) {
    image("A", {"1234", "5678", "9abc", "defg"});
    ASSERT_EQ(exec("_set_spr(1, A)"), "");
    target(12, 6);
    struct {
        const char* code;
        std::string want;
    } cases[] = {
        {"tline3d(1, 0, 0, 5, 0, 0, 0)", rows({"123412"})},
        {"tline3d(A, 5, 1, 0, 1, 0, 1)", rows({"", "856785"})},
        {"tline3d(1, 0, 0, 0, 3, 1, 0)", rows({"2", "6", "a", "e"})},
        {"tline3d(1, 0, 0, 3, 3, 0, 0)", rows({"1", ".6", "..b", "...g"})},
        // Both ends are drawn; flag 0x100 leaves the last out.
        {"tline3d(1, 0, 0, 3, 0, 0, 0, 3, 0, 1, 1, 0x100)", rows({"123"})},
        // Texture coordinates stretched over the line and stepped backwards.
        {"tline3d(1, 0, 0, 7, 0, 0, 0, 3.5, 0)", rows({"11223344"})},
        {"tline3d(1, 0, 0, 3, 0, 3.5, 2)", rows({"c9ab"})},
        // A fractional start draws from the next pixel centre, with the coordinates stepped there
        // unless 0x200 asks for them as given.
        {"tline3d(1, 0.5, 0, 3, 0, 0, 0, 5, 0)", rows({".242"})},
        {"tline3d(1, 0.5, 0, 3, 0, 0, 0, 5, 0, 1, 1, 0x200)", rows({".131"})},
        // The texture window: two columns wide, offset by one.
        {"poke2(0x5530, 1, 0, 2, 0) tline3d(1, 0, 0, 5, 0, 0, 0)", rows({"232323"})},
        // Perspective: with w growing to 3, the texels crowd toward the far end.
        {"tline3d(1, 0, 0, 7, 0, 0, 0, 3.9, 0, 1, 3, 0x400)", rows({"11112234"})},
        {"camera(-2, -1) tline3d(1, 0, 0, 3, 0, 0, 0)", rows({"", "..1234"})},
    };
    for (auto& k : cases) {
        target(12, 6);
        ASSERT_EQ(exec("camera() poke2(0x5530, 0, 0, 0, 0)"), "");
        ASSERT_EQ(exec(k.code), "");
        EXPECT_EQ(grid(), k.want) << k.code;
    }
    // Nothing with fewer than four arguments or a weight that is not positive.
    target(12, 6);
    ASSERT_EQ(exec("tline3d(1, 0, 0) tline3d(1, 0, 0, 5, 0, 0, 0, 5, 0, 0, 1) tline3d(1, 0, 0, 5, 0, 0, 0, 5, 0, 1, 0/0)"),
              "");
    EXPECT_EQ(grid(), rows({}));
    // A clipped line keeps its texels where they were.
    ASSERT_EQ(exec("camera() clip(2, 0, 3, 6) tline3d(1, 0, 0, 11, 0, 0, 0) tline3d(1, -100, 1, 11, 1, 0, 0, 111, 0, 1, 1, 0x400)"),
              "");
    EXPECT_EQ(grid(), rows({"..341", "..341"}));
    // Costs: a third of a cycle a pixel on the fast path.
    target(12, 6);
    ASSERT_EQ(exec("poke(0x5508, 63, 0xff, 63)"), "");
    EXPECT_EQ(cost("tline3d, 1, 0, 0, 11, 0, 0, 0"), 12 / 3);
    EXPECT_EQ(cost("tline3d, 1, 0, 0, 11, 0, 0, 0, 11, 0, 1, 1, 0x400"), 12 / 2);
    // Batch rows of up to twelve values.
    target(12, 6);
    ASSERT_EQ(exec("R = userdata('f64', 7, 2) R:set(0, 0, 1, 0, 0, 3, 0, 0, 0,  1, 0, 2, 3, 2, 0, 3) poke(0x5508, 0xff, 0x3f)"),
              "");
    EXPECT_EQ(cost("tline3d, R"), 3 * 2 + 2 * (2 * 4 / 5));
    EXPECT_EQ(grid(), rows({"1234", "", "defg"}));
}

TEST_F(Sprites, TexturedLinesFromAMap) {
    image("S1", {"12", "34"});
    image("S2", {"56", "78"});
    ASSERT_EQ(exec("_set_spr(1, S1) _set_spr(2, S2) M = userdata('i16', 2, 2) M:set(0, 0, 1, 0x4002, 0, 2)"), "");
    target(12, 6);
    // Map coordinates in cells: each cell's sprite across one unit of u; cell (1, 0) is sprite 2
    // flipped in x; an empty cell draws colour 0 through the pipeline.
    ASSERT_EQ(exec("cls(9) tline3d(M, 0, 0, 7, 0, 0, 0, 3.5, 0)"), "");
    EXPECT_EQ(grid().substr(0, 12), "126512659999");
    // With the sprite target mask 0, colour 0 replaces the destination.
    ASSERT_EQ(exec("cls(9) poke(0x550a, 0) tline3d(M, 0, 1, 3, 1, 0, 1.5, 1.5, 1.5) tline3d(M, 0, 2, 3, 2, 0, 1, 1.5, 1)"), "");
    EXPECT_EQ(grid().substr(13, 26), "..78" + std::string(8, '9') + "\n..56" + std::string(8, '9') + "\n");
    // A map narrowed to no columns by mutate is no texture: nothing drawn, nothing read.
    ASSERT_EQ(exec("Q = userdata('u8', 1, 1) Q:mutate('i16')"), "");
    EXPECT_EQ(run("return Q:width()"), "0");
    ASSERT_EQ(exec("cls(9) poke(0x550a, 0) tline3d(Q, 0, 1, 7, 1, 0, 0)"), "");
    EXPECT_EQ(grid().substr(13, 13), std::string(12, '9') + "\n");
}

TEST_F(Sprites, BlitCopies) {
    struct {
        const char* code;
        std::string want;
    } cases[] = {
        // A row shifted right by one and left by one within itself, without smearing.
        {"blit(T, T, 0, 0, 1, 0, 7, 1)", "..123456\n89abcdef\nghijklmn\nopqrstuv\n"},
        {"blit(T, T, 1, 0, 0, 0, 7, 1)", "12345677\n89abcdef\nghijklmn\nopqrstuv\n"},
        // Overlapping rows: down and right by one, then up and left by one (the source's size).
        {"blit(T, T, 0, 0, 1, 1, 7, 3)", ".1234567\n8.123456\ng89abcde\noghijklm\n"},
        {"blit(T, T, 1, 1, 0, 0)", "9abcdef7\nhijklmnf\npqrstuvn\nopqrstuv\n"},
        // The clip limits copies into the draw target; sources beyond their array are clipped.
        {"clip(2, 1, 3, 2) blit(T, T, 0, 0, 1, 1)", ".1234567\n89123def\ngh9ablmn\nopqrstuv\n"},
        {"blit(T, nil, -2, -1, 0, 0, 4, 3)", ".1234567\n89.1cdef\ngh89klmn\nopqrstuv\n"},
        {"blit(nil, T, 6, 3, 0, 0)", "uv234567\n89abcdef\nghijklmn\nopqrstuv\n"},
    };
    for (auto& k : cases) {
        target(8, 4);
        ASSERT_EQ(exec("for i = 0, 31 do T[i] = i end"), "");
        ASSERT_EQ(exec(k.code), "");
        EXPECT_EQ(grid(), k.want) << k.code;
    }
}

TEST_F(Sprites, BlitBetweenArrays) {
    ASSERT_EQ(exec("A = userdata('i16', 3, 2) A:set(0, 0, -1, 2, 3, 4, 5, 300) B = userdata('i16', 4, 4)"), "");
    // Elements of any matching type, other arrays ignoring the draw target's clip.
    EXPECT_EQ(run("clip(0, 0, 1, 1) blit(A, B, 1, 0, 2, 3) return B:get(0, 3, 4)"), "0 0 2 3");
    EXPECT_EQ(run("A:blit(B, 0, 1, -1, 0) return B:get(0, 0, 4)"), "5 300 0 0");
    // Arrays of other types, a missing array or an empty rectangle copy nothing.
    EXPECT_EQ(run("local C = userdata('u8', 4, 4) blit(A, C) blit(A, B, 0, 0, 0, 0, 0, 2) blit(A, 'x') "
                  "return C:get(0, 0), B:get(1, 0)"),
              "0 300");
    // The cost: h x (w + 64) / 64, h x (4w + 256) / 64 for a copy within one row of one array.
    ASSERT_EQ(exec("D = userdata('u8', 100, 4)"), "");
    EXPECT_EQ(cost("blit, D, D, 0, 0, 0, 1, 100, 2"), 2 * 164 / 64);
    EXPECT_EQ(cost("blit, D, D, 0, 0, 10, 0, 90, 2"), 2 * (360 + 256) / 64);
}

TEST_F(Sprites, PaletteConversions) {
    ASSERT_EQ(exec("pal(2)"), "");
    const uint8_t pixels[4] = {0, 8, 12, 64 + 7};
    uint8_t rgba[16], back[4];
    convert_bitmap_8_to_32(pixels, rgba, 4);
    EXPECT_EQ(std::vector<uint8_t>(rgba, rgba + 16),
              (std::vector<uint8_t>{0, 0, 0, 255, 0xff, 0, 0x4d, 255, 0x29, 0xad, 0xff, 255, 0xff, 0xf1, 0xe8, 255}));
    convert_bitmap_32_to_8(rgba, back, 4);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 4), (std::vector<uint8_t>{0, 8, 12, 7}));
    // Nearest by 2 dR^2 + 7 dG^2 + dB^2; black is entry 0 and every entry past 31, the lowest wins.
    const uint8_t near[8] = {0xf0, 0x08, 0x48, 0, 1, 1, 1, 0};
    convert_bitmap_32_to_8(near, back, 2);
    EXPECT_EQ(back[0], 8);
    EXPECT_EQ(back[1], 0);
}

// ---- random calls against a per-pixel reference -------------------------------------------------

// The colour pipeline for textured drawing, one pixel at a time from the registers.
uint8_t reference_pixel(process_record* p, uint8_t s, uint8_t d, int64_t x, int64_t y) {
    uint8_t r = peek_proc(p, 0x5508), w = peek_proc(p, 0x5509), t = peek_proc(p, 0x550a);
    uint8_t pattern = peek_proc(p, 0x5500 + (y & 7));
    uint8_t sm = s & r, dm = d & t;
    int table = ((sm | dm) >> 6) | (((pattern >> (x & 7)) & 1) ? 2 : 0);
    uint8_t e = peek_proc(p, 0x8000 + table * 4096 + (sm & 63) * 64 + (dm & 63));
    return uint8_t((e & w) | (d & ~w));
}

TEST_F(Sprites, RandomStretchedSpritesAndBlitsMatchAReference) {
    std::mt19937 rng(7);
    auto pick = [&](int lo, int hi) { return int(std::uniform_int_distribution<int>(lo, hi)(rng)); };
    const int W = 23, H = 17;
    int changed = 0;
    for (int round = 0; round < 1000; round++) {
        target(W, H);
        int sw = pick(1, 9), sh = pick(1, 9);
        std::string setup = "S = userdata('u8', " + std::to_string(sw) + ", " + std::to_string(sh) + ") for i = 0, " +
                            std::to_string(sw * sh - 1) + " do S[i] = math.random(0, 255) end " +
                            "for i = 0, #T - 1 do T[i] = math.random(0, 255) end " +
                            "poke(0x5508, " + std::to_string(pick(0, 3) ? 63 : pick(0, 255)) + ", " +
                            std::to_string(pick(0, 1) ? 255 : pick(0, 255)) + ", " +
                            std::to_string(pick(0, 2) ? 63 : pick(0, 255)) + ") " +
                            (pick(0, 3) ? "fillp()" : "fillp(" + std::to_string(pick(0, 0xffff)) + ")") + " " +
                            "clip(" + std::to_string(pick(-3, 6)) + ", " + std::to_string(pick(-3, 6)) + ", " +
                            std::to_string(pick(0, 3) ? pick(8, 30) : pick(0, 8)) + ", " +
                            std::to_string(pick(0, 3) ? pick(8, 30) : pick(0, 8)) + ")";
        ASSERT_EQ(exec("math.randomseed(" + std::to_string(round) + ") " + setup), "");
        std::vector<uint8_t> before(pixels(), pixels() + W * H);
        const userdata_header* s = nullptr;
        {
            lua_getglobal(p->L, "S");
            s = to_userdata(p->L, -1);
            lua_pop(p->L, 1);
        }
        const uint8_t* tex = userdata_data(s);
        refresh_clip_cache(p);
        clip_cache clip = p->clip;
        std::vector<uint8_t> want = before;
        std::string call;
        if (round % 2 == 0) {
            int sx = pick(-3, sw - 1), sy = pick(-3, sh - 1), qw = pick(1, 12), qh = pick(1, 12);
            int dx = pick(-6, W - 4), dy = pick(-6, H - 4), dw = pick(-24, 24), dh = pick(-24, 24);
            if (dw < 0) dx += pick(0, -dw);
            if (dh < 0) dy += pick(0, -dh);
            bool fx = pick(0, 1), fy = pick(0, 1);
            call = "sspr(S, " + std::to_string(sx) + ", " + std::to_string(sy) + ", " + std::to_string(qw) + ", " +
                   std::to_string(qh) + ", " + std::to_string(dx) + ", " + std::to_string(dy) + ", " +
                   std::to_string(dw) + ", " + std::to_string(dh) + ", " + (fx ? "true" : "false") + ", " +
                   (fy ? "true" : "false") + ")";
            if (dw < 0) fx = !fx, dx += dw, dw = -dw;
            if (dh < 0) fy = !fy, dy += dh, dh = -dh;
            for (int j = 0; j < dh; j++) {
                for (int i = 0; i < dw; i++) {
                    int x = dx + i, y = dy + j;
                    if (x < clip.x0 || x >= clip.x1 || y < clip.y0 || y >= clip.y1) continue;
                    // The texel under the centre of the (mirrored) destination pixel.
                    int ii = fx ? dw - 1 - i : i, jj = fy ? dh - 1 - j : j;
                    int tx = sx + int(std::floor((ii + 0.5) * qw / dw)), ty = sy + int(std::floor((jj + 0.5) * qh / dh));
                    if (tx < 0 || tx >= sw || ty < 0 || ty >= sh) continue;
                    uint8_t& d = want[y * W + x];
                    d = reference_pixel(p, tex[ty * sw + tx], d, x, y);
                }
            }
        } else {
            int sx = pick(-6, W - 3), sy = pick(-6, H - 3), dx = pick(-6, W - 3), dy = pick(-6, H - 3),
                bw = pick(-1, 25), bh = pick(-1, 20);
            call = "blit(T, T, " + std::to_string(sx) + ", " + std::to_string(sy) + ", " + std::to_string(dx) + ", " +
                   std::to_string(dy) + ", " + std::to_string(bw) + ", " + std::to_string(bh) + ")";
            for (int j = 0; j < bh; j++) {
                for (int i = 0; i < bw; i++) {
                    int x = dx + i, y = dy + j, fx = sx + i, fy = sy + j;
                    if (x < clip.x0 || x >= clip.x1 || y < clip.y0 || y >= clip.y1) continue;
                    if (fx < 0 || fx >= W || fy < 0 || fy >= H) continue;
                    want[y * W + x] = before[fy * W + fx];
                }
            }
        }
        ASSERT_EQ(exec(call), "");
        std::vector<uint8_t> got(pixels(), pixels() + W * H);
        ASSERT_EQ(got, want) << "round " << round << ": " << setup << " " << call;
        changed += got != before;
    }
    EXPECT_GT(changed, 250);  // the rest are clipped away or copy nothing
}

}  // namespace
