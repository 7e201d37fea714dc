// The system font image: header, a few glyphs against their pictures, the advance table, the raw
// file beside the build, and the generator's refusal of malformed pictures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gfx/system_font.h"

namespace {

namespace fs = std::filesystem;

uint8_t row_bits(const char* picture) {
    uint8_t b = 0;
    for (int k = 0; picture[k]; k++)
        if (picture[k] == '#') b |= (uint8_t)(1u << k);
    return b;
}

int nibble(int c) { return (system_font[c >> 1] >> ((c & 1) * 4)) & 15; }
int advance(int c) { return system_font[c >= 128 ? 1 : 0] + ((nibble(c) + 4) & 7) - 4; }

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(SystemFont, HeaderAndEmptySecondHalf) {
    const uint8_t header[8] = {5, 10, 11, 0, 0, 3, 0, 0};
    for (int i = 0; i < 8; i++) EXPECT_EQ(system_font[i], header[i]) << "byte " << i;
    for (uint32_t i = 2048; i < SYSTEM_FONT_SIZE; i++) ASSERT_EQ(system_font[i], 0) << "byte " << i;
}

TEST(SystemFont, GlyphsMatchTheirPictures) {
    struct {
        int code;
        const char* rows[8];
    } cases[] = {
        {'A', {".....", ".##..", "#..#.", "####.", "#..#.", "#..#.", ".....", "....."}},
        {'g', {".....", ".....", ".###.", "#..#.", "#..#.", ".###.", "...#.", "###.."}},
        {135, {".##.##..", "#######.", "#######.", "#######.", ".#####..", "..###...", "...#....", "........"}},
    };
    for (const auto& c : cases)
        for (int r = 0; r < 8; r++) EXPECT_EQ(system_font[8 * c.code + r], row_bits(c.rows[r])) << c.code << " row " << r;
}

TEST(SystemFont, AdvancesAndEveryGlyphDrawn) {
    EXPECT_EQ(advance('A'), 5);
    EXPECT_EQ(advance('i'), 2);
    EXPECT_EQ(advance('m'), 6);
    EXPECT_EQ(advance(' '), 4);
    for (int c = 16; c < 256; c++) {
        EXPECT_EQ(nibble(c) & 8, 0) << "code " << c << " is raised";
        // Wide glyphs keep the wide advance; no pixel of a narrow glyph reaches the next character.
        int limit = c >= 128 ? 256 : 1 << advance(c);
        if (c >= 128) {
            EXPECT_EQ(advance(c), 10) << "code " << c;
        }
        int pixels = 0;
        for (int r = 0; r < 8; r++) {
            pixels += system_font[8 * c + r] != 0;
            EXPECT_LT(system_font[8 * c + r], limit) << "code " << c << " row " << r;
        }
        EXPECT_EQ(pixels > 0, c != ' ') << "code " << c;
    }
}

TEST(SystemFont, RawFileMatchesImage) {
    std::string raw = read_file(SYSTEM_FONT_BIN);
    ASSERT_EQ(raw.size(), SYSTEM_FONT_SIZE);
    EXPECT_EQ(0, memcmp(raw.data(), system_font, SYSTEM_FONT_SIZE));
}

// Runs the generator on a changed copy of the real picture; returns its exit status and output.
struct generator_run : testing::Test {
    fs::path dir;
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "mkfont_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    int run(const std::string& source, std::string* output) {
        std::ofstream(dir / "font.txt") << source;
        std::string cmd = std::string("'") + MKFONT_PATH + "' '" + (dir / "font.txt").string() + "' '" +
                          (dir / "font.cpp").string() + "' '" + (dir / "font.bin").string() + "' 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return -1;
        char buf[256];
        while (fgets(buf, sizeof buf, p)) *output += buf;
        int status = pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

std::string replace_once(std::string s, const std::string& from, const std::string& to) {
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

TEST_F(generator_run, BuildsTheImageAndRefusesMalformedPictures) {
    std::string good = read_file(SYSTEM_FONT_SOURCE);
    std::string out;
    ASSERT_EQ(run(good, &out), 0) << out;
    EXPECT_EQ(read_file(dir / "font.bin"), read_file(SYSTEM_FONT_BIN));

    std::string blank8 = "........\n........\n........\n........\n........\n........\n........\n........\n";
    struct {
        std::string source, message;
    } cases[] = {
        {replace_once(good, "code 65 A\n.....\n.##..\n", "code 65 A\n.....\n.##...\n"),
         "code 65: row is 6 cells wide but the glyph's first row is 5"},
        {replace_once(good, "code 128 full block\n#######.\n", "code 128 full block\n#######\n"),
         "code 128: row is 7 cells wide; codes 128-255 have rows of 8 cells"},
        {good + "code 300 beyond\n" + blank8, "unknown code 300; glyphs are codes 16 to 255"},
        {good + "code 7 bell\n" + blank8, "unknown code 7; glyphs are codes 16 to 255"},
        {good + "code 200 again\n" + blank8, "code 200 is defined twice"},
        {replace_once(good, "code 66 B", "code 6x B"), "\"code 6x B\" does not give a decimal code number"},
        {replace_once(good, "code 66 B", "; code 66 B"), "pixel row outside a glyph"},
        {replace_once(good, "code 66 B\n.....\n", "code 66 B\n"), "code 66 has 7 rows; a glyph has 8"},
    };
    for (const auto& c : cases) {
        out.clear();
        fs::remove(dir / "font.cpp");
        EXPECT_EQ(run(c.source, &out), 1) << c.message;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_FALSE(fs::exists(dir / "font.cpp")) << c.message;
    }
}

}  // namespace
