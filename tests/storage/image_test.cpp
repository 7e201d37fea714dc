// Images through fetch and store (PNG icons shipped by Debian packages, checked against
// ImageMagick's decoder; QOI checked with the reference codec), the header checks before
// decoding, and the image cartridge: layout, label, size limit and reading back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <lodepng.h>
#include <qoi.h>

#include "gfx/draw_state.h"
#include "kernel/memory.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/cart.h"
#include "storage/image.h"
#include "test_support.h"
#include "userdata/userdata.h"

namespace {

using namespace drive_test;
using bytes = std::vector<uint8_t>;

const char* const IMAGEMAGICK = "/usr/bin/convert";
const char* const SILK_ICONS = "/usr/share/icons/silk/16x16";
const char* const FLAG_ICONS = "/usr/share/flags/countries/16x11";

std::string shell_quote(const std::string& s) { return "'" + s + "'"; }

// Pixels of an image file as ImageMagick decodes them: R, G, B, A bytes row by row.
bytes imagemagick_rgba(const std::string& host_path) {
    std::string cmd = std::string(IMAGEMAGICK) + " " + shell_quote(host_path) + " -depth 8 rgba:- 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    bytes out;
    if (!p) return out;
    uint8_t chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) out.insert(out.end(), chunk, chunk + n);
    pclose(p);
    return out;
}

// Colour type byte and size of a PNG file's header.
struct png_ihdr {
    uint32_t w, h;
    uint8_t depth, colour;
};
png_ihdr ihdr_of(const std::string& file) {
    auto be = [&](size_t at) {
        return uint32_t(uint8_t(file[at])) << 24 | uint32_t(uint8_t(file[at + 1])) << 16 |
               uint32_t(uint8_t(file[at + 2])) << 8 | uint8_t(file[at + 3]);
    };
    return file.size() < 26 ? png_ihdr{0, 0, 0, 0} : png_ihdr{be(16), be(20), uint8_t(file[24]), uint8_t(file[25])};
}

// The first n PNG files of a folder (sorted) whose colour type is colour.
std::vector<std::string> icons(const char* dir, uint8_t colour, size_t n) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".png") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> out;
    for (const auto& name : names) {
        auto file = host_get(std::string(dir) + "/" + name);
        if (file && ihdr_of(*file).colour == colour && out.size() < n) out.push_back(std::string(dir) + "/" + name);
    }
    return out;
}

std::string png_of(const bytes& rgba, unsigned w, unsigned h) {
    unsigned char* out = nullptr;
    size_t size = 0;
    EXPECT_EQ(lodepng_encode32(&out, &size, rgba.data(), w, h), 0u);
    std::string s(reinterpret_cast<char*>(out), size);
    free(out);
    return s;
}

std::string qoi_of(const bytes& rgba, unsigned w, unsigned h, unsigned channels) {
    bytes px;
    for (size_t i = 0; i < rgba.size(); i += 4) px.insert(px.end(), &rgba[i], &rgba[i] + channels);
    qoi_desc desc{w, h, uint8_t(channels), QOI_SRGB};
    int len = 0;
    void* q = qoi_encode(px.data(), &desc, &len);
    std::string s(static_cast<char*>(q), size_t(len));
    free(q);
    return s;
}

// A picture whose bytes all differ in their upper bits from one pixel to the next.
bytes pattern(unsigned w, unsigned h, unsigned seed) {
    bytes px(size_t(w) * h * 4);
    for (size_t i = 0; i < px.size(); i++) px[i] = uint8_t((i * 37 + seed * 101 + i / 4 / w * 11) | 0x40);
    return px;
}

uint32_t rng_state = 12345;
uint8_t random_byte() {
    rng_state ^= rng_state << 13, rng_state ^= rng_state >> 17, rng_state ^= rng_state << 5;
    return uint8_t(rng_state >> 7);
}

// The data carried in the low bits of a cartridge picture (3, 3, 3, 2 bits, least significant
// first), worked out here from the decoded pixels.
bytes low_bits(const bytes& rgba) {
    bytes out;
    uint32_t acc = 0;
    int held = 0;
    const int widths[4] = {3, 3, 3, 2};
    for (size_t i = 0; i < rgba.size(); i++) {
        int k = int(i % 4);
        for (int b = 0; b < widths[k]; b++) {
            acc |= uint32_t((rgba[i] >> b) & 1) << held;
            if (++held == 8) out.push_back(uint8_t(acc)), acc = 0, held = 0;
        }
    }
    return out;
}

uint8_t upper(const bytes& rgba, int x, int y, int k) {
    return uint8_t(rgba[(size_t(y) * Q64_PNG_WIDTH + x) * 4 + k] & (k == 3 ? 0xFC : 0xF8));
}

struct Images : temp_drive {
    process_record* p = nullptr;
    app_config saved_config;

    void SetUp() override {
        saved_config = config;
        processes_init();
        set_default_config();
        memset(&app, 0, sizeof(app));
        temp_drive::SetUp();
        p = create_process_from_code("", "test", "/apps/test.lua", "");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
        for (int i = 0; i < 64; i++) poke4(ADDR_PALETTES + 4 * i, (i * 0x3B1F47u + 0x102030u) & 0xFFFFFF);
    }

    void TearDown() override {
        processes_init();
        temp_drive::TearDown();
        memset(&app, 0, sizeof(app));
        config = saved_config;
    }

    std::string run(const std::string& code) { return run_script(p->L, code); }

    // The elements of the array that `expr` gives, or {} when it gives no array.
    std::vector<int64_t> array(const std::string& expr, uint32_t* w = nullptr, uint32_t* h = nullptr) {
        set_current_process(p);
        lua_State* L = p->L;
        std::vector<int64_t> out;
        if (luaL_loadstring(L, ("return " + expr).c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
            ADD_FAILURE() << lua_tostring(L, -1);
        } else if (userdata_header* a = to_userdata(L, -1)) {
            for (int64_t i = 0; i < userdata_count(a); i++)
                out.push_back((a->type & 31) == UTYPE_I32 ? userdata_elements<int32_t>(a)[i] : userdata_data(a)[i]);
            if (w) *w = a->width;
            if (h) *h = a->height;
        }
        lua_settop(L, 0);
        return out;
    }

    // The palette index nearest to an RGB colour, worked out here.
    int nearest(const uint8_t* px) {
        int best = 0;
        int64_t best_d = INT64_MAX;
        for (int k = 0; k < 64; k++) {
            uint32_t c = uint32_t(peek4(ADDR_PALETTES + 4 * k));
            int dr = px[0] - int(c >> 16 & 255), dg = px[1] - int(c >> 8 & 255), db = px[2] - int(c & 255);
            int64_t d = 2 * dr * dr + 7 * dg * dg + db * db;
            if (d < best_d) best_d = d, best = k;
        }
        return best;
    }
};

// --- fetch and store --------------------------------------------------------------------------------

TEST_F(Images, DebianIconsFetchedAndStoredBack) {
    std::vector<std::string> files;
    for (auto [dir, colour] : {std::pair{SILK_ICONS, 6}, {SILK_ICONS, 4}, {FLAG_ICONS, 2}})
        for (const auto& f : icons(dir, uint8_t(colour), 3)) files.push_back(f);
    ASSERT_EQ(files.size(), 9u) << "the icon packages of tools/setup.sh are missing";
    mkdir((drive + "/icons").c_str(), 0755);
    for (const auto& file : files) {
        SCOPED_TRACE(file);
        const std::string original = *host_get(file);
        host_put(drive + "/icons/in.png", original);
        bytes want = imagemagick_rgba(file);
        png_ihdr hd = ihdr_of(original);
        ASSERT_EQ(want.size(), size_t(hd.w) * hd.h * 4);

        uint32_t w = 0, h = 0;
        auto wide = array("fetch('/icons/in.png', 1)", &w, &h);
        ASSERT_EQ(w, hd.w);
        ASSERT_EQ(h, hd.h);
        auto indices = array("fetch('/icons/in.png')");
        ASSERT_EQ(indices.size(), wide.size());
        for (size_t i = 0; i < wide.size(); i++) {
            const uint8_t* px = &want[i * 4];
            uint32_t v = uint32_t(px[3]) << 24 | uint32_t(px[0]) << 16 | uint32_t(px[1]) << 8 | px[2];
            ASSERT_EQ(uint32_t(wide[i]), v) << "pixel " << i;
            ASSERT_EQ(indices[i], nearest(px)) << "pixel " << i;
        }

        // Stored back, the pixels are the same to another decoder and to fetch.
        run("store('/icons/out.png', fetch('/icons/in.png', 1))");
        EXPECT_EQ(imagemagick_rgba(drive + "/icons/out.png"), want);
        EXPECT_EQ(array("fetch('/icons/out.png', 1)"), wide);
        EXPECT_EQ(host_get(drive + "/icons/in.png"), original);
    }
}

TEST_F(Images, QoiWrittenAndRead) {
    EXPECT_EQ(exec_script(p->L, "local a = userdata('u8', 5, 3) for i = 0, 14 do a:set(i % 5, i // 5, i * 4 + 1) end "
                                "store('/p.qoi', a)"), "");
    auto file = host_get(drive + "/p.qoi");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->substr(0, 14), std::string("qoif\0\0\0\5\0\0\0\3\4\1", 14));
    qoi_desc desc;
    void* px = qoi_decode(file->data(), int(file->size()), &desc, 4);
    ASSERT_NE(px, nullptr);
    const uint8_t* rgba = static_cast<const uint8_t*>(px);
    for (int i = 0; i < 15; i++) {
        uint32_t c = uint32_t(peek4(ADDR_PALETTES + 4 * (i * 4 + 1)));
        EXPECT_EQ(rgba[i * 4], c >> 16 & 255);
        EXPECT_EQ(rgba[i * 4 + 1], c >> 8 & 255);
        EXPECT_EQ(rgba[i * 4 + 2], c & 255);
        EXPECT_EQ(rgba[i * 4 + 3], 255);
    }
    free(px);

    // i32 pixels keep their alpha; a QOI file made by the reference encoder reads back.
    bytes pic = pattern(7, 4, 3);
    host_put(drive + "/ref.qoi", qoi_of(pic, 7, 4, 4));
    auto wide = array("fetch('/ref.qoi', 1)");
    ASSERT_EQ(wide.size(), 28u);
    for (size_t i = 0; i < 28; i++)
        EXPECT_EQ(uint32_t(wide[i]), uint32_t(pic[i * 4 + 3]) << 24 | uint32_t(pic[i * 4]) << 16 |
                                         uint32_t(pic[i * 4 + 1]) << 8 | pic[i * 4 + 2]);
    run("store('/back.qoi', fetch('/ref.qoi', 1))");
    auto back = host_get(drive + "/back.qoi");
    ASSERT_TRUE(back.has_value());
    px = qoi_decode(back->data(), int(back->size()), &desc, 4);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(bytes(static_cast<uint8_t*>(px), static_cast<uint8_t*>(px) + 28 * 4), pic);
    free(px);
    host_put(drive + "/three.qoi", qoi_of(pic, 7, 4, 3));
    EXPECT_EQ(array("fetch('/three.qoi', 1)")[5], int64_t(int32_t(0xFF000000u | pic[20] << 16 | pic[21] << 8 | pic[22])));
}

TEST_F(Images, WhatIsNotDecodedOrStored) {
    auto header = [](uint32_t w, uint32_t h) {  // a PNG signature and IHDR, nothing more
        std::string s = "\x89PNG\r\n\x1a\n";
        std::string chunk = std::string("\0\0\0\x0dIHDR", 8);
        for (uint32_t v : {w, h}) for (int k = 3; k >= 0; k--) chunk += char(v >> (8 * k));
        chunk += std::string("\x08\x06\0\0\0", 5);
        uint32_t crc = lodepng_crc32(reinterpret_cast<const uint8_t*>(chunk.data()) + 4, 17);
        for (int k = 3; k >= 0; k--) chunk += char(crc >> (8 * k));
        return s + chunk;
    };
    auto qoi_header = [](uint32_t w, uint32_t h) {
        std::string s = "qoif";
        for (uint32_t v : {w, h}) for (int k = 3; k >= 0; k--) s += char(v >> (8 * k));
        return s + std::string("\4\0", 2) + std::string(64, '\0') + std::string("\0\0\0\0\0\0\0\1", 8);
    };
    std::string good = png_of(pattern(3, 2, 1), 3, 2);
    std::string corrupt = good;
    corrupt[corrupt.size() - 20] ^= 0x55;  // inside the pixel data: its checksum fails
    const std::pair<std::string, std::string> kept[] = {
        {"/huge.png", header(4097, 4097)},           // more than 16M pixels: refused from the header
        {"/empty.png", header(4096, 4096)},          // allowed size, but no pixel data
        {"/huge.qoi", qoi_header(4097, 4097)},
        {"/max.qoi", qoi_header(0xFFFFFFFF, 0xFFFFFFFF)},
        {"/short.qoi", "qoif\0\0\0\1"},
        {"/corrupt.png", corrupt},
        {"/notpng.png", "GIF89a" + good},
    };
    for (const auto& [path, file] : kept) {
        host_put(drive + path, file);
        EXPECT_EQ(run("type(fetch('" + path + "')) .. ' ' .. #fetch('" + path + "', 1)"),
                  "string " + std::to_string(file.size()))
            << path;
    }
    // Too many pixels for an i32 array (16 MB at most): the bytes come back instead.
    host_put(drive + "/wide.qoi", qoi_header(2049, 2048));
    EXPECT_EQ(run("type(fetch('/wide.qoi', 1)), type(fetch('/wide.qoi'))"), "string userdata");

    // Only two-dimensional u8 and i32 arrays are stored, and nothing else is written.
    for (const char* v : {"userdata('u8', 4)", "userdata('f64', 2, 2)", "userdata('i16', 2, 2)", "'text'", "{}"})
        run(std::string("store('/no.png', ") + v + ") store('/no.qoi', " + v + ")");
    EXPECT_FALSE(host_get(drive + "/no.png").has_value());
    EXPECT_FALSE(host_get(drive + "/no.qoi").has_value());
    host_put(drive + "/no.png", "kept");
    run("store('/no.png', userdata('f64', 2, 2))");
    EXPECT_EQ(host_get(drive + "/no.png"), "kept");
}

// --- the image cartridge ------------------------------------------------------------------------

struct Cartridge : Images {
    void put_template() {
        ASSERT_EQ(pmkdir("/system/misc"), 0);
        ASSERT_TRUE(put("/system/misc/q64_cart.png", png_of(pattern(512, 384, 9), 512, 384)));
    }
    // As after a restart: a new file table with its fixed mounts and the template.
    void fresh_start() {
        pfile_reset();
        mount_ram_folder("/ram");
        process_config();
        mount_ram_folder("/system");
        put_template();
    }
    int64_t rom_length(const std::string& folder) {
        pbuffer* b = create_buffer_2(0, 0);
        write_q64_rom_from_ram_files(b, folder.c_str(), 28);
        int64_t n = b->length;
        destroy_buffer(b);
        return n;
    }
};

TEST_F(Cartridge, WrittenReadFromAFreshStartAndWrittenAgainUnchanged) {
    put_template();
    std::string data;
    for (int i = 0; i < 5000; i++) data += char(random_byte());
    const std::string label = png_of(pattern(480, 270, 2), 480, 270);
    const std::pair<std::string, std::string> files[] = {
        {"main.lua", "print('hi')\n"},
        {".info.mox", "--[[mox,title=\"Demo\",version=\"1.2\",author=\"someone\"]]\n"},
        {"gfx/data.bin", data},
    };
    ASSERT_EQ(pmkdir("/c.q64.png"), 0);
    for (const auto& [name, contents] : files) {
        if (name.find('/') != std::string::npos) pmkdir("/c.q64.png/gfx");
        ASSERT_TRUE(put("/c.q64.png/" + name, contents));
    }
    ASSERT_TRUE(put("/c.q64.png/label.png", label));
    const std::string origin = reinterpret_cast<const char*>(mount_at("/c.q64.png")->origin->data);
    pbuffer* rom = create_buffer_2(0, 0);
    write_q64_rom_from_ram_files(rom, origin.c_str(), 28);
    bytes want(rom->data, rom->data + rom->length);
    destroy_buffer(rom);
    flush_dirty_mounts_immediately();

    const auto first = host_get(drive + "/c.q64.png");
    ASSERT_TRUE(first.has_value());
    png_ihdr hd = ihdr_of(*first);
    EXPECT_TRUE(hd.w == 512 && hd.h == 384 && hd.depth == 8 && hd.colour == 6);
    bytes pic = imagemagick_rgba(drive + "/c.q64.png");
    ASSERT_EQ(pic.size(), size_t(Q64_PNG_PIXEL_BYTES));
    // The low bits are the .q64.rom image and then zeros.
    bytes carried = low_bits(pic);
    ASSERT_EQ(carried.size(), size_t(Q64_PNG_DATA_BYTES));
    want.resize(carried.size(), 0);
    EXPECT_TRUE(carried == want);
    // The upper bits: the template, the label picture at (16, 38) and the text in greys.
    bytes tmpl = pattern(512, 384, 9), lab = pattern(480, 270, 2);
    for (int k = 0; k < 4; k++) {
        uint8_t m = k == 3 ? 0xFC : 0xF8;
        EXPECT_EQ(upper(pic, 3, 5, k), tmpl[(5 * 512 + 3) * 4 + k] & m);
        EXPECT_EQ(upper(pic, 16, 38, k), lab[k] & m);
        EXPECT_EQ(upper(pic, 16 + 479, 38 + 269, k), lab[(269 * 480 + 479) * 4 + k] & m);
        EXPECT_EQ(upper(pic, 15, 38, k), tmpl[(38 * 512 + 15) * 4 + k] & m);
    }
    auto grey = [&](int x, int y) {  // the grey level of an opaque grey pixel, else -1
        uint8_t r = upper(pic, x, y, 0);
        return upper(pic, x, y, 1) == r && upper(pic, x, y, 2) == r && upper(pic, x, y, 3) == 0xFC ? r : -1;
    };
    int title = 0, title_shade = 0, small = 0;
    for (int y = 326; y < 346; y += 2) {
        for (int x = 80; x < 80 + 356; x++) {
            if (grey(x, y) == 0xD0) title++, title_shade += grey(x, y + 1) == 0x80;
        }
    }
    for (int y = 354; y < 364; y++) {
        for (int x = 80; x < 80 + 178; x++) small += grey(x, y) == 0x90;
    }
    EXPECT_GT(title, 8);
    EXPECT_EQ(title_shade, title);
    EXPECT_GT(small, 8);

    // From a fresh start the files read back byte for byte, and the label picture is taken
    // back from the picture; written again, the cartridge is the same file.
    fresh_start();
    for (const auto& [name, contents] : files) EXPECT_EQ(get("/c.q64.png/" + name), contents) << name;
    auto recovered = get("/c.q64.png/label.png");
    ASSERT_TRUE(recovered.has_value());
    png_ihdr lhd = ihdr_of(*recovered);
    EXPECT_TRUE(lhd.w == 480 && lhd.h == 270);
    ASSERT_TRUE(put("/c.q64.png/main.lua", "print('hi')\n"));
    flush_dirty_mounts_immediately();
    EXPECT_TRUE(host_get(drive + "/c.q64.png") == first);

    // A cartridge without a label of its own gets none back.
    ASSERT_TRUE(put("/c.q64.png/label.png", "not a picture"));
    flush_dirty_mounts_immediately();
    const auto plain = host_get(drive + "/c.q64.png");
    fresh_start();
    EXPECT_EQ(get("/c.q64.png/main.lua"), "print('hi')\n");
    EXPECT_FALSE(get("/c.q64.png/label.png").has_value());
    ASSERT_TRUE(put("/c.q64.png/main.lua", "print('hi')\n"));
    flush_dirty_mounts_immediately();
    EXPECT_TRUE(host_get(drive + "/c.q64.png") == plain);
}

TEST_F(Cartridge, RomOfMoreThan262143BytesIsRefused) {
    // Process 3 receives the notification.
    while (!get_process(3)) ASSERT_NE(create_process_from_code("", "wm", "/wm.lua", ""), nullptr);
    set_current_process(p);
    ASSERT_EQ(pmkdir("/ram/probe"), 0);
    std::string data;
    for (int i = 0; i < 262000; i++) data += char(random_byte());
    // Incompressible data: find the length whose image is exactly 262,143 bytes.
    for (int round = 0; round < 50 && rom_length("/ram/probe") != 262143; round++) {
        if (round) data.resize(size_t(int64_t(data.size()) + 262143 - rom_length("/ram/probe")), 'x');
        ASSERT_TRUE(put("/ram/probe/d.bin", data));
    }
    ASSERT_EQ(rom_length("/ram/probe"), 262143);
    ASSERT_EQ(pmkdir("/big.q64.png"), 0);
    ASSERT_TRUE(put("/big.q64.png/d.bin", data));
    flush_dirty_mounts_immediately();
    const auto stored = host_get(drive + "/big.q64.png");
    ASSERT_TRUE(stored.has_value());
    bytes carried = low_bits(imagemagick_rgba(drive + "/big.q64.png"));
    ASSERT_GE(carried.size(), 3u);
    EXPECT_EQ(std::string(carried.begin(), carried.begin() + 3), "q64");

    for (size_t extra = 1; rom_length("/ram/probe") < 262144; extra++) {
        data.push_back(char(random_byte()));
        ASSERT_TRUE(put("/ram/probe/d.bin", data));
        ASSERT_LT(extra, 8u);
    }
    ASSERT_EQ(rom_length("/ram/probe"), 262144);
    ASSERT_TRUE(put("/big.q64.png/d.bin", data));
    testing::internal::CaptureStdout();
    flush_dirty_mounts_immediately();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("failed to store cartridge rom as png (too large)"), std::string::npos);
    EXPECT_TRUE(host_get(drive + "/big.q64.png") == stored);
    pbuffer* msg = read_process_message(get_process(3), nullptr);
    ASSERT_NE(msg, nullptr);
    EXPECT_NE(str(msg).find("failed to store cartridge rom as png (too large)"), std::string::npos);
}

TEST_F(Cartridge, LabelPictureChoice) {
    const std::string png = png_of(pattern(480, 270, 4), 480, 270);
    const std::string qoi = qoi_of(pattern(480, 270, 5), 480, 270, 4);
    struct {
        std::string label_png, label_qoi;
        int seed;  // the pattern shown at (16, 38), or -1 for none
    } cases[] = {
        {png, qoi, 4},
        {"", qoi, 5},
        {png_of(pattern(480, 269, 4), 480, 269), qoi, -1},  // a label.png of the wrong size: no label
        {"", qoi_of(pattern(480, 270, 5), 480, 270, 3), -1},  // three channels
        {"", qoi_of(pattern(481, 270, 5), 481, 270, 4), -1},
    };
    put_template();
    int n = 0;
    for (const auto& c : cases) {
        const std::string cart = "/l" + std::to_string(n++) + ".q64.png";
        SCOPED_TRACE(cart);
        ASSERT_EQ(pmkdir(cart.c_str()), 0);
        for (const auto& [name, file] : {std::pair{"/label.png", c.label_png}, {"/label.qoi", c.label_qoi}}) {
            if (!file.empty()) { ASSERT_TRUE(put(cart + name, file)); }
        }
        flush_dirty_mounts_immediately();
        bytes pic = imagemagick_rgba(drive + cart);
        ASSERT_EQ(pic.size(), size_t(Q64_PNG_PIXEL_BYTES));
        // Pixel 7 of the label's first row, or the template's pixel there.
        bytes shown = c.seed < 0 ? pattern(512, 384, 9) : pattern(480, 270, unsigned(c.seed));
        size_t at = c.seed < 0 ? size_t(38 * 512 + 23) : 7;
        for (int k = 0; k < 4; k++) EXPECT_EQ(upper(pic, 23, 38, k), shown[at * 4 + k] & (k == 3 ? 0xFC : 0xF8));
        // The label files are left out of the .q64.rom image.
        fresh_start();
        EXPECT_FALSE(get(cart + "/label.qoi").has_value());
        EXPECT_EQ(get(cart + "/label.png").has_value(), c.seed >= 0);
    }
}

TEST_F(Cartridge, LabelText) {
    const std::pair<const char*, const char*> values[] = {
        {",title=\"A \\\"B\\\" C\",x", "A \\\"B\\\" C"}, {"title=\"no comma\"", nullptr},
        {",title=\"\"", nullptr}, {",title=\"open", nullptr}, {",title=\"one\",title=\"two\"", "one"},
        {",titles=\"x\",title=\"y\"", "y"},
    };
    for (const auto& [text, want] : values) {
        int64_t n = 0;
        const char* v = extract_info_str(text, int64_t(strlen(text)), "title", &n);
        EXPECT_EQ(v ? std::string(v, size_t(n)) : "<none>", want ? want : "<none>") << text;
    }
    auto bitmap = [](const std::string& meta) {
        extract_label_text(meta.data(), int64_t(meta.size()));
        EXPECT_TRUE(label_text_made());
        const uint8_t* b = label_text_bitmap();
        return bytes(b, b + LABEL_TEXT_WIDTH * LABEL_TEXT_HEIGHT);
    };
    auto rows = [](const bytes& b, int y0, int y1) {
        int set = 0;
        for (int i = y0 * LABEL_TEXT_WIDTH; i < y1 * LABEL_TEXT_WIDTH; i++) set += b[size_t(i)] != 0;
        return set;
    };
    const std::string v199(199, 'v'), v200(200, 'v');
    bytes titled = bitmap(",title=\"Demo\",author=\"me\"");
    EXPECT_GT(rows(titled, 0, 10), 0);
    EXPECT_GT(rows(titled, 10, 20), 0);
    bytes unclosed = bitmap(",author=\"me\",title=\"Demo");  // no closing quote: no title
    EXPECT_EQ(rows(unclosed, 0, 10), 0);
    EXPECT_GT(rows(unclosed, 10, 20), 0);
    EXPECT_EQ(bitmap(",title=\"De\x01m\x0fo\",author=\"me\""), titled);  // control codes are not run
    EXPECT_EQ(bitmap(",version=\"" + v200 + "\",author=\"me\""), bitmap(",author=\"me\""));
    EXPECT_NE(bitmap(",version=\"" + v199 + "\",author=\"me\""), bitmap(",author=\"me\""));
    EXPECT_EQ(bitmap(",author=\"" + std::string(800, 'a') + "\""), bytes(LABEL_TEXT_WIDTH * LABEL_TEXT_HEIGHT, 0));
    EXPECT_EQ(cproc, p);  // the label process is current only while it draws
}

TEST_F(Cartridge, PicturesThatAreNoCartridgesAreNeverWrittenOver) {
    const std::string icon = *host_get(std::string(SILK_ICONS) + "/accept.png");
    const std::string plain = png_of(pattern(512, 384, 1), 512, 384);  // right size, no .q64.rom inside
    for (const std::string& file : {icon, plain}) {
        host_put(drive + "/x.q64.png", file);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(put("/x.q64.png/new.lua", "x"));
        flush_dirty_mounts_immediately();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("not an image cartridge"), std::string::npos);
        EXPECT_EQ(host_get(drive + "/x.q64.png"), file);
        delete_mount_point("/x.q64.png");
    }
    // An empty file is an empty cartridge.
    host_put(drive + "/e.q64.png", "");
    EXPECT_TRUE(put("/e.q64.png/a.lua", "A"));
    flush_dirty_mounts_immediately();
    fresh_start();
    EXPECT_EQ(get("/e.q64.png/a.lua"), "A");
}

}  // namespace
