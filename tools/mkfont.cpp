// mkfont: builds the 4,096-byte system font image from its text picture (src/gfx/system_font.txt)
// and writes it as a C++ source defining `system_font`, and optionally as a raw binary file.
//
//   mkfont <source.txt> <output.cpp> [<output.bin>]
//
// Source: lines starting with ';' are comments and blank lines are skipped. "code <n> <name>"
// starts the glyph of code n (decimal, 16 to 255; the name is free text for the reader), and
// exactly 8 rows of '.' (clear) and '#' (set) cells follow, the top row first. A row of a code
// below 128 is as many cells wide as the character's advance (1 to 8, the font's advance being
// 5); rows of codes 128-255 are always 8 cells wide and advance by the font's wide width.
//
// Image: bytes 0-7 are the font header (advance 5, wide advance 10, line height 11, x and y
// offsets 0, flags 3 = adjust table present + tab stops from the home x, tab width 0, one spare
// byte). The glyph of code c is at 8c, one byte per row, bit k = the cell k from the left. The
// adjust nibble of code c is in byte c >> 1 (low nibble for even c): the advance change (-4..3)
// in its low three bits; its raise bit (8) is never set. Codes 1-15 are control codes with no
// glyphs, so bytes 8-127 (their glyph slots) hold the nibbles of codes 16-255, and the header
// bytes double as the nibbles of codes 0-15, which no glyph is drawn from. Every code 16-255 must
// be given. Bytes 2048-4095 are zero.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int IMAGE_SIZE = 4096;
constexpr int FIRST_CODE = 16;  // codes 0-15 are control codes with no glyph of their own
constexpr int WIDE_CODE = 128;  // codes from here on advance by the wide width
constexpr int ROWS = 8;
constexpr uint8_t HEADER[8] = {5, 10, 11, 0, 0, 3, 0, 0};
constexpr int ADVANCE = HEADER[0];

struct glyph {
    int line = 0;  // where its code line stands, 0 while undefined
    int width = 0;
    int rows = 0;
    uint8_t bits[ROWS] = {};
};

struct parser {
    const char* path;
    int line = 0;
    std::string error;

    bool fail(const std::string& message) {
        error = std::string(path) + ":" + std::to_string(line) + ": " + message;
        return false;
    }
};

bool is_row(const std::string& s) {
    return !s.empty() && s.find_first_not_of(".#") == std::string::npos;
}

// Parses "code <n> ..." into n; false when the number is missing or malformed.
bool parse_code(const std::string& s, long* code) {
    size_t i = 4;
    if (i >= s.size() || (s[i] != ' ' && s[i] != '\t')) return false;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
    size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 6) i++;
    if (i == start || (i < s.size() && s[i] != ' ' && s[i] != '\t')) return false;
    *code = std::stol(s.substr(start, i - start));
    return true;
}

bool parse(const char* path, FILE* f, glyph (&glyphs)[256], std::string* error) {
    parser p{path, 0, {}};
    int current = -1;  // the code whose rows are being read
    char buf[512];
    auto finish = [&]() {
        if (current >= 0 && glyphs[current].rows < ROWS) {
            return p.fail("code " + std::to_string(current) + " has " + std::to_string(glyphs[current].rows) +
                          " rows; a glyph has 8");
        }
        current = -1;
        return true;
    };
    bool ok = true;
    while (ok && fgets(buf, sizeof buf, f)) {
        p.line++;
        std::string s = buf;
        if (s.size() == sizeof buf - 1 && s.back() != '\n') {
            ok = p.fail("line too long");
            break;
        }
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) {
            s.pop_back();
        }
        if (is_row(s)) {
            if (current < 0) {
                ok = p.fail("pixel row outside a glyph (a glyph starts with \"code <n>\")");
                break;
            }
            glyph& g = glyphs[current];
            int w = (int)s.size();
            if (g.rows == ROWS) {
                ok = p.fail("code " + std::to_string(current) + " has more than 8 rows");
            } else if (current >= WIDE_CODE && w != ROWS) {
                ok = p.fail("code " + std::to_string(current) + ": row is " + std::to_string(w) +
                            " cells wide; codes 128-255 have rows of 8 cells");
            } else if (w > ROWS) {
                ok = p.fail("code " + std::to_string(current) + ": row is " + std::to_string(w) +
                            " cells wide; a row is the advance, 1 to 8 cells");
            } else if (g.rows > 0 && w != g.width) {
                ok = p.fail("code " + std::to_string(current) + ": row is " + std::to_string(w) +
                            " cells wide but the glyph's first row is " + std::to_string(g.width));
            } else {
                g.width = w;
                for (int k = 0; k < w; k++) {
                    if (s[k] == '#') g.bits[g.rows] |= (uint8_t)(1u << k);
                }
                g.rows++;
            }
            continue;
        }
        if (!finish()) {
            ok = false;
            break;
        }
        if (s.empty() || s[0] == ';') continue;
        if (s.compare(0, 4, "code") != 0) {
            ok = p.fail("unexpected line \"" + s + "\" (expected \"code <n>\", a pixel row or a ';' comment)");
            break;
        }
        long code = 0;
        if (!parse_code(s, &code)) {
            ok = p.fail("\"" + s + "\" does not give a decimal code number");
        } else if (code < FIRST_CODE || code > 255) {
            ok = p.fail("unknown code " + std::to_string(code) + "; glyphs are codes 16 to 255");
        } else if (glyphs[code].line != 0) {
            ok = p.fail("code " + std::to_string(code) + " is defined twice (first at line " +
                        std::to_string(glyphs[code].line) + ")");
        } else {
            glyphs[code].line = p.line;
            current = (int)code;
        }
    }
    if (ok && ferror(f)) ok = p.fail(strerror(errno));
    if (ok) ok = finish();
    for (int c = FIRST_CODE; ok && c < 256; c++) {
        if (glyphs[c].line == 0) {
            error->assign(std::string(path) + ": code " + std::to_string(c) + " has no glyph");
            return false;
        }
    }
    if (!ok) *error = p.error;
    return ok;
}

void build_image(const glyph (&glyphs)[256], uint8_t* image) {
    memset(image, 0, IMAGE_SIZE);
    memcpy(image, HEADER, sizeof HEADER);
    for (int c = FIRST_CODE; c < 256; c++) {
        const glyph& g = glyphs[c];
        memcpy(image + 8 * c, g.bits, ROWS);
        int adjust = c < WIDE_CODE ? g.width - ADVANCE : 0;
        image[c >> 1] |= (uint8_t)((adjust & 7) << ((c & 1) * 4));
    }
}

bool write_file(const char* path, const void* data, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f) {
        fprintf(stderr, "mkfont: cannot write %s: %s\n", path, strerror(errno));
        return false;
    }
    bool ok = fwrite(data, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        fprintf(stderr, "mkfont: cannot write %s\n", path);
        remove(path);
    }
    return ok;
}

std::string cpp_source(const uint8_t* image) {
    std::string out =
        "// Generated by mkfont from src/gfx/system_font.txt; edit that file instead.\n"
        "#include \"gfx/system_font.h\"\n\n"
        "const uint8_t system_font[SYSTEM_FONT_SIZE] = {\n";
    char item[8];
    for (int i = 0; i < IMAGE_SIZE; i++) {
        if (i % 16 == 0) out += "   ";
        snprintf(item, sizeof item, " 0x%02x,", image[i]);
        out += item;
        if (i % 16 == 15) out += "\n";
    }
    out += "};\n";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: mkfont <source.txt> <output.cpp> [<output.bin>]\n");
        return 2;
    }
    FILE* f = fopen(argv[1], "r");
    if (!f) {
        fprintf(stderr, "mkfont: cannot read %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    static glyph glyphs[256];
    std::string error;
    bool ok = parse(argv[1], f, glyphs, &error);
    fclose(f);
    if (!ok) {
        fprintf(stderr, "mkfont: %s\n", error.c_str());
        return 1;
    }
    static uint8_t image[IMAGE_SIZE];
    build_image(glyphs, image);
    std::string source = cpp_source(image);
    if (!write_file(argv[2], source.data(), source.size())) return 1;
    if (argc == 4 && !write_file(argv[3], image, IMAGE_SIZE)) return 1;
    return 0;
}
