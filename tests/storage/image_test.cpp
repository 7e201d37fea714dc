// Images through fetch and store (PNG icons shipped by Debian packages, checked against
// ImageMagick's decoder; QOI checked with the reference codec), the header checks before
// decoding, and the image cartridge: layout, low bits, label, size limit and reading back.
#include <gtest/gtest.h>

#include <glob.h>
#include <lodepng.h>
#include <qoi.h>

#include "kernel/memory.h"
#include "storage/cart.h"
#include "storage/image.h"
#include "test_support.h"
#include "userdata/userdata.h"

namespace {

using namespace drive_test;
using bytes = std::vector<uint8_t>;

// Pixels of an image file as ImageMagick decodes them: R, G, B, A bytes row by row.
bytes imagemagick_rgba(const std::string& host_path) {
    FILE* p = popen(("/usr/bin/convert '" + host_path + "' -depth 8 rgba:- 2>/dev/null").c_str(), "r");
    bytes out;
    uint8_t chunk[65536];
    for (size_t n; p && (n = fread(chunk, 1, sizeof chunk, p)) > 0;) out.insert(out.end(), chunk, chunk + n);
    if (p) pclose(p);
    return out;
}

uint32_t be32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
           uint8_t(s[at + 3]);
}

// Width, height, bit depth and colour type from a PNG's header, as one text.
std::string png_header(const std::string& png) {
    if (png.size() < 26) return "none";
    return std::to_string(be32(png, 16)) + "x" + std::to_string(be32(png, 20)) + " depth " +
           std::to_string(int(png[24])) + " type " + std::to_string(int(png[25]));
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

// A picture whose colours change from each pixel to the next in their upper bits.
bytes pattern(unsigned w, unsigned h, unsigned seed) {
    bytes px(size_t(w) * h * 4);
    for (size_t i = 0; i < px.size(); i++) px[i] = uint8_t((i * 37 + seed * 101 + i / 4 / w * 11) | 0x40);
    return px;
}

std::string random_bytes(size_t n) {
    static uint32_t s = 12345;
    std::string out;
    while (out.size() < n) s ^= s << 13, s ^= s >> 17, s ^= s << 5, out += char(s >> 7);
    return out;
}

// The data in the low bits of a cartridge picture (3, 3, 3, 2 bits a pixel, least significant
// first), worked out here from the decoded pixels.
bytes low_bits(const bytes& rgba) {
    bytes out;
    uint32_t acc = 0, held = 0;
    for (size_t i = 0; i < rgba.size(); i++) {
        for (int b = 0; b < (i % 4 == 3 ? 2 : 3); b++) {
            acc |= uint32_t((rgba[i] >> b) & 1) << held;
            if (++held == 8) out.push_back(uint8_t(acc)), acc = 0, held = 0;
        }
    }
    return out;
}

// Byte k of the pixel at x, y of a cartridge picture without its data bits.
uint8_t upper(const bytes& rgba, int x, int y, int k) {
    return uint8_t(rgba[(size_t(y) * Q64_PNG_WIDTH + x) * 4 + k] & (k == 3 ? 0xFC : 0xF8));
}

struct Images : process_on_drive {
    void SetUp() override {
        process_on_drive::SetUp();
        for (int i = 0; i < 64; i++) poke4(ADDR_PALETTES + 4 * i, (i * 0x3B1F47u + 0x102030u) & 0xFFFFFF);
    }

    std::string run(const std::string& code) { return run_script(p->L, code); }

    // The elements of the array that `expr` gives, or {} when it gives no array.
    std::vector<int64_t> array(const std::string& expr, std::string* size = nullptr) {
        set_current_process(p);
        lua_State* L = p->L;
        std::vector<int64_t> out;
        if (luaL_loadstring(L, ("return " + expr).c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
            ADD_FAILURE() << lua_tostring(L, -1);
        } else if (userdata_header* a = to_userdata(L, -1)) {
            for (int64_t i = 0; i < userdata_count(a); i++)
                out.push_back((a->type & 31) == UTYPE_I32 ? userdata_elements<int32_t>(a)[i] : userdata_data(a)[i]);
            if (size) *size = std::to_string(a->width) + "x" + std::to_string(a->height);
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
    // The first few icons of each colour type: RGBA and grey with alpha (silk), RGB (flags).
    std::map<std::string, int> per_type;
    std::vector<std::string> files;
    for (const char* pattern : {"/usr/share/icons/silk/16x16/*.png", "/usr/share/flags/countries/16x11/*.png"}) {
        glob_t g;
        if (glob(pattern, 0, nullptr, &g) != 0) continue;
        for (size_t i = 0; i < g.gl_pathc; i++) {
            std::string type = png_header(host_get(g.gl_pathv[i]).value_or("")).substr(5);
            if (per_type[type]++ < 3) files.push_back(g.gl_pathv[i]);
        }
        globfree(&g);
    }
    ASSERT_GE(files.size(), 9u) << "the icon packages of tools/setup.sh are missing";
    // The first one also as ImageMagick writes it: interlaced, with a palette, in 16 bits, and
    // interlaced in one-bit grey.
    const std::pair<const char*, const char*> variants[] = {
        {"-interlace PNG", "PNG32:"}, {"", "PNG8:"}, {"-depth 16", "PNG64:"},
        {"-alpha off -colorspace Gray -depth 1 -interlace PNG", ""}};
    for (const auto& [options, format] : variants) {
        std::string out = home + "/variant" + std::to_string(files.size()) + ".png";
        ASSERT_EQ(system(("/usr/bin/convert '" + files[0] + "' " + options + " " + format + out).c_str()), 0);
        files.push_back(out);
    }
    for (const auto& file : files) {
        SCOPED_TRACE(file);
        const std::string original = *host_get(file);
        host_put(drive + "/in.png", original);
        const bytes want = imagemagick_rgba(file);
        std::string size;
        auto wide = array("fetch('/in.png', 1)", &size);
        auto indices = array("fetch('/in.png')");
        ASSERT_EQ(size, png_header(original).substr(0, size.size()));
        ASSERT_EQ(want.size(), wide.size() * 4);
        ASSERT_EQ(indices.size(), wide.size());
        for (size_t i = 0; i < wide.size(); i++) {
            const uint8_t* px = &want[i * 4];
            ASSERT_EQ(uint32_t(wide[i]), uint32_t(px[3]) << 24 | uint32_t(px[0]) << 16 | uint32_t(px[1]) << 8 | px[2]);
            ASSERT_EQ(indices[i], nearest(px)) << "pixel " << i;
        }
        // Stored back, the pixels are the same to another decoder and to fetch.
        run("store('/out.png', fetch('/in.png', 1))");
        EXPECT_EQ(imagemagick_rgba(drive + "/out.png"), want);
        EXPECT_EQ(array("fetch('/out.png', 1)"), wide);
    }
}

TEST_F(Images, QoiWrittenAndRead) {
    exec_script(p->L, "local a = userdata('u8', 5, 3) for i = 0, 14 do a:set(i % 5, i // 5, i * 4 + 1) end "
                      "store('/p.qoi', a)");
    auto file = host_get(drive + "/p.qoi").value_or("");
    EXPECT_EQ(file.substr(0, 14), std::string("qoif\0\0\0\5\0\0\0\3\4\1", 14));
    qoi_desc desc;
    uint8_t* px = static_cast<uint8_t*>(qoi_decode(file.data(), int(file.size()), &desc, 4));
    ASSERT_NE(px, nullptr);
    for (int i = 0; i < 15; i++) {
        uint32_t c = uint32_t(peek4(ADDR_PALETTES + 4 * (i * 4 + 1)));
        EXPECT_EQ(bytes(px + i * 4, px + i * 4 + 4), bytes({uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), 255}));
    }
    free(px);

    // A QOI file of the reference encoder reads back with its alpha, and is stored the same.
    bytes pic = pattern(7, 4, 3);
    host_put(drive + "/ref.qoi", qoi_of(pic, 7, 4, 4));
    auto wide = array("fetch('/ref.qoi', 1)");
    ASSERT_EQ(wide.size(), 28u);
    EXPECT_EQ(uint32_t(wide[9]), uint32_t(pic[39]) << 24 | uint32_t(pic[36]) << 16 | uint32_t(pic[37]) << 8 | pic[38]);
    run("store('/back.qoi', fetch('/ref.qoi', 1))");
    file = host_get(drive + "/back.qoi").value_or("");
    px = static_cast<uint8_t*>(qoi_decode(file.data(), int(file.size()), &desc, 4));
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(bytes(px, px + 28 * 4), pic);
    free(px);
    host_put(drive + "/three.qoi", qoi_of(pic, 7, 4, 3));
    EXPECT_EQ(uint32_t(array("fetch('/three.qoi', 1)")[9]), 0xFF000000u | pic[36] << 16 | pic[37] << 8 | pic[38]);
}

TEST_F(Images, WhatIsNotDecodedOrStored) {
    auto be = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    auto png_head = [&](uint32_t w, uint32_t h) {  // a PNG signature and header, nothing more
        std::string chunk = "IHDR" + be(w) + be(h) + std::string("\x08\x06\0\0\0", 5);
        uint32_t crc = lodepng_crc32(reinterpret_cast<const uint8_t*>(chunk.data()), 17);
        return "\x89PNG\r\n\x1a\n" + be(13) + chunk + be(crc);
    };
    auto qoi_head = [&](uint32_t w, uint32_t h) {
        return "qoif" + be(w) + be(h) + std::string("\4\0", 2) + std::string(64, '\0') + be(0) + be(1);
    };
    std::string corrupt = png_of(pattern(3, 2, 1), 3, 2);
    corrupt[corrupt.size() - 20] ^= 0x55;  // inside the pixel data: its checksum fails
    const std::pair<std::string, std::string> kept[] = {
        {"/short.qoi", "qoif"}, {"/corrupt.png", corrupt}, {"/gif.png", "GIF89a" + corrupt},
    };
    for (const auto& [path, file] : kept) {
        host_put(drive + path, file);
        const std::string want = "string " + std::to_string(file.size());
        EXPECT_EQ(run("type(fetch('" + path + "')), #fetch('" + path + "', 1)"), want) << path;
    }
    // Past the pixel limit of one codec call: refused from the header, before any decoding.
    const std::pair<std::string, std::string> refused[] = {
        {"/huge.png", png_head(4097, 4097)}, {"/empty.png", png_head(513, 512)},
        {"/huge.qoi", qoi_head(4097, 4097)}, {"/max.qoi", qoi_head(0xFFFFFFFF, 0xFFFFFFFF)},
        {"/wide.qoi", qoi_head(2049, 2048)},
    };
    for (const auto& [path, file] : refused) {
        host_put(drive + path, file);
        EXPECT_EQ(run("fetch('" + path + "', 1)"), std::string("nil nil ") + IMAGE_TOO_LARGE_MESSAGE) << path;
    }
    EXPECT_EQ(run("store('/big.png', userdata('u8', 513, 512))"), IMAGE_TOO_LARGE_MESSAGE);
    EXPECT_FALSE(host_get(drive + "/big.png").has_value());

    // Only two-dimensional u8 and i32 arrays are stored; a file is left as it was otherwise.
    host_put(drive + "/no.png", "kept");
    for (const char* v : {"userdata('u8', 4)", "userdata('f64', 2, 2)", "userdata('i16', 2, 2)", "'text'", "{}"})
        run(std::string("store('/no.png', ") + v + "), store('/no.qoi', " + v + ")");
    EXPECT_EQ(host_get(drive + "/no.png"), "kept");
    EXPECT_FALSE(host_get(drive + "/no.qoi").has_value());
}

// --- the image cartridge ------------------------------------------------------------------------

struct Cartridge : Images {
    void put_template() {
        pmkdir("/system/misc");
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
    bytes rom_of(const char* folder) {
        pbuffer* b = create_buffer_2(0, 0);
        write_q64_rom_from_ram_files(b, folder, 28);
        bytes out(b->data, b->data + b->length);
        destroy_buffer(b);
        return out;
    }
};

TEST_F(Cartridge, LayoutLowBitsAndReadingBack) {
    put_template();
    ASSERT_EQ(pmkdir("/c.q64.png"), 0);
    ASSERT_TRUE(put("/c.q64.png/main.lua", "print('hi')\n"));
    ASSERT_TRUE(put("/c.q64.png/.info.mox", "--[[mox,title=\"Demo\",version=\"1.2\",author=\"someone\"]]\n"));
    const std::string data = random_bytes(5000);
    ASSERT_TRUE(put("/c.q64.png/data.bin", data));
    ASSERT_TRUE(put("/c.q64.png/label.png", png_of(pattern(480, 270, 2), 480, 270)));
    bytes want = rom_of(reinterpret_cast<const char*>(mount_at("/c.q64.png")->origin->data));
    flush_dirty_mounts_immediately();
    EXPECT_EQ(png_header(host_get(drive + "/c.q64.png").value_or("")), "512x384 depth 8 type 6");

    // The low bits are the .q64.rom image and then zeros.
    bytes pic = imagemagick_rgba(drive + "/c.q64.png");
    ASSERT_EQ(pic.size(), size_t(Q64_PNG_PIXEL_BYTES));
    want.resize(size_t(Q64_PNG_DATA_BYTES), 0);
    EXPECT_TRUE(low_bits(pic) == want);
    // The upper bits: the template, the label picture at (16, 38), the text in greys.
    const bytes tmpl = pattern(512, 384, 9), label = pattern(480, 270, 2);
    for (int k = 0; k < 4; k++) {
        uint8_t m = k == 3 ? 0xFC : 0xF8;
        EXPECT_EQ(upper(pic, 3, 5, k), tmpl[(5 * 512 + 3) * 4 + k] & m);
        EXPECT_EQ(upper(pic, 15, 38, k), tmpl[(38 * 512 + 15) * 4 + k] & m);
        EXPECT_EQ(upper(pic, 16, 38, k), label[k] & m);
        EXPECT_EQ(upper(pic, 495, 307, k), label[(269 * 480 + 479) * 4 + k] & m);
    }
    auto grey = [&](int x, int y) {  // the level of an opaque grey pixel, else -1
        uint8_t r = upper(pic, x, y, 0);
        return upper(pic, x, y, 1) == r && upper(pic, x, y, 2) == r && upper(pic, x, y, 3) == 0xFC ? r : -1;
    };
    int title = 0, shaded = 0, small = 0;
    for (int y = 326; y < 346; y += 2) {
        for (int x = 80; x < 436; x++) {
            if (grey(x, y) == 0xD0) title++, shaded += grey(x, y + 1) == 0x80;
        }
    }
    for (int y = 354; y < 364; y++) {
        for (int x = 80; x < 258; x++) small += grey(x, y) == 0x90;
    }
    EXPECT_GT(title, 8);
    EXPECT_EQ(shaded, title);
    EXPECT_GT(small, 8);

    // Read back, the files are the same and the label picture comes back without its low bits.
    fresh_start();
    EXPECT_EQ(get("/c.q64.png/data.bin"), data);
    EXPECT_EQ(get("/c.q64.png/main.lua"), "print('hi')\n");
    EXPECT_EQ(png_header(get("/c.q64.png/label.png").value_or("")), "480x270 depth 8 type 6");
    // A cartridge without a label of its own gets none back.
    ASSERT_TRUE(put("/c.q64.png/label.png", "not a picture"));
    flush_dirty_mounts_immediately();
    fresh_start();
    EXPECT_EQ(get("/c.q64.png/main.lua"), "print('hi')\n");
    EXPECT_FALSE(get("/c.q64.png/label.png").has_value());
}

TEST_F(Cartridge, RomOf262144BytesIsRefused) {
    while (!get_process(3)) ASSERT_NE(create_process_from_code("", "wm", "/wm.lua", ""), nullptr);
    set_current_process(p);
    // Incompressible bytes: find the length whose image is exactly 262,143 bytes, then 262,144.
    std::string data = random_bytes(262000);
    ASSERT_EQ(pmkdir("/big.q64.png"), 0);
    for (int64_t target : {262143, 262144}) {
        for (int round = 0; round < 20; round++) {
            ASSERT_TRUE(put("/big.q64.png/d.bin", data));
            int64_t n = int64_t(rom_of(reinterpret_cast<const char*>(mount_at("/big.q64.png")->origin->data)).size());
            if (n == target) break;
            data += n < target ? random_bytes(size_t(target - n)) : "";
            if (n > target) data.resize(data.size() - size_t(n - target));
        }
        testing::internal::CaptureStdout();
        flush_dirty_mounts_immediately();
        std::string out = testing::internal::GetCapturedStdout();
        bool refused = out.find("failed to store cartridge rom as png (too large)") != std::string::npos;
        EXPECT_EQ(refused, target == 262144);
    }
    // The file keeps the 262,143-byte image, and process 3 is told.
    bytes carried = low_bits(imagemagick_rgba(drive + "/big.q64.png"));
    ASSERT_GE(carried.size(), 8u);
    EXPECT_EQ(std::string(carried.begin(), carried.begin() + 3), "q64");
    EXPECT_EQ(carried[4] | carried[5] << 8 | carried[6] << 16, 262143 - 8);
    pbuffer* msg = read_process_message(get_process(3), nullptr);
    EXPECT_NE(str(msg).find("failed to store cartridge rom as png (too large)"), std::string::npos);
}

TEST_F(Cartridge, LabelPictureChoice) {
    const std::string png = png_of(pattern(480, 270, 4), 480, 270), qoi = qoi_of(pattern(480, 270, 5), 480, 270, 4);
    const struct {
        std::string png, qoi;
        int shown;  // the pattern seen at (16, 38); -1 for the template's
    } cases[] = {
        {png, qoi, 4}, {"", qoi, 5},
        {png_of(pattern(480, 269, 4), 480, 269), qoi, -1},  // a label.png of another size: no label
        {"", qoi_of(pattern(480, 270, 5), 480, 270, 3), -1}, {"", qoi_of(pattern(481, 270, 5), 481, 270, 4), -1},
    };
    put_template();
    for (size_t i = 0; i < std::size(cases); i++) {
        const std::string cart = "/l" + std::to_string(i) + ".q64.png";
        ASSERT_EQ(pmkdir(cart.c_str()), 0);
        for (const auto& [name, file] : {std::pair{"/label.png", cases[i].png}, {"/label.qoi", cases[i].qoi}}) {
            EXPECT_TRUE(file.empty() || put(cart + name, file));
        }
        flush_dirty_mounts_immediately();
        bytes pic = imagemagick_rgba(drive + cart);
        ASSERT_EQ(pic.size(), size_t(Q64_PNG_PIXEL_BYTES));
        bytes shown = cases[i].shown < 0 ? pattern(512, 384, 9) : pattern(480, 270, unsigned(cases[i].shown));
        size_t at = cases[i].shown < 0 ? 38 * 512 + 16 : 0;
        for (int k = 0; k < 4; k++)
            EXPECT_EQ(upper(pic, 16, 38, k), shown[at * 4 + k] & (k == 3 ? 0xFC : 0xF8)) << cart;
        // The label files are not in the .q64.rom image; only a shown label comes back.
        fresh_start();
        EXPECT_FALSE(get(cart + "/label.qoi").has_value()) << cart;
        EXPECT_EQ(get(cart + "/label.png").has_value(), cases[i].shown >= 0) << cart;
    }
}

TEST_F(Cartridge, LabelText) {
    const std::pair<const char*, const char*> values[] = {
        {",title=\"A \\\"B\\\" C\",x", "A \\\"B\\\" C"}, {"title=\"no comma\"", nullptr}, {",title=\"\"", nullptr},
        {",title=\"open", nullptr}, {",title=\"one\",title=\"two\"", "one"}, {",titles=\"x\",title=\"y\"", "y"},
    };
    for (const auto& [text, want] : values) {
        int64_t n = 0;
        const char* v = extract_info_str(text, int64_t(strlen(text)), "title", &n);
        EXPECT_EQ(v ? std::string(v, size_t(n)) : "<none>", want ? want : "<none>") << text;
    }
    auto bitmap = [](const std::string& meta) {
        extract_label_text(meta.data(), int64_t(meta.size()));
        return bytes(label_text_bitmap(), label_text_bitmap() + LABEL_TEXT_WIDTH * LABEL_TEXT_HEIGHT);
    };
    auto set_in_rows = [](const bytes& b, int y0, int y1) {
        return std::count_if(b.begin() + y0 * LABEL_TEXT_WIDTH, b.begin() + y1 * LABEL_TEXT_WIDTH,
                             [](uint8_t v) { return v != 0; });
    };
    const bytes titled = bitmap(",title=\"Demo\",author=\"me\"");
    EXPECT_TRUE(set_in_rows(titled, 0, 10) > 0 && set_in_rows(titled, 10, 20) > 0);
    const bytes unclosed = bitmap(",author=\"me\",title=\"Demo");  // no closing quote: no title
    EXPECT_TRUE(set_in_rows(unclosed, 0, 10) == 0 && set_in_rows(unclosed, 10, 20) > 0);
    EXPECT_EQ(bitmap(",title=\"De\x01m\x0fo\",author=\"me\""), titled);  // control codes are not run
    EXPECT_EQ(bitmap(",version=\"" + std::string(200, 'v') + "\",author=\"me\""), bitmap(",author=\"me\""));
    EXPECT_NE(bitmap(",version=\"" + std::string(199, 'v') + "\",author=\"me\""), bitmap(",author=\"me\""));
    EXPECT_EQ(set_in_rows(bitmap(",author=\"" + std::string(800, 'a') + "\""), 0, 20), 0);
    EXPECT_EQ(cproc, p);  // the label process is current only while it draws
}

TEST_F(Cartridge, PicturesThatHoldNoCartridgeAreNeverWrittenOver) {
    for (const std::string& file : {png_of(pattern(16, 16, 1), 16, 16), png_of(pattern(512, 384, 1), 512, 384)}) {
        host_put(drive + "/x.q64.png", file);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(put("/x.q64.png/new.lua", "x"));
        flush_dirty_mounts_immediately();
        EXPECT_NE(testing::internal::GetCapturedStdout().find("not an image cartridge"), std::string::npos);
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
