// Cartridges: byte-exact text and .q64.rom images, the readers (versions 1 and 2, rom, pxa,
// plain code), round trips, mounts that must not be written back, and mutated input.
#include <gtest/gtest.h>

#include <lz4.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kernel/app.h"
#include "kernel/process.h"
#include "platform/host.h"
#include "storage/cart.h"
#include "storage/pdisk.h"

namespace {

const std::string HEADER = "orvalune cartridge // www.orvalune.net\nversion 2\n\n";

std::string str(const pbuffer* b) {
    return b ? std::string(reinterpret_cast<const char*>(b->data), size_t(b->length)) : "<null>";
}

pbuffer* buffer_of(const std::string& bytes) {
    pbuffer* b = create_buffer_2(int64_t(bytes.size()) + 1, 0);
    if (!bytes.empty()) bwrite(bytes.data(), 1, int64_t(bytes.size()), b);
    b->cursor = 0;
    return b;
}

std::string b64(const std::string& bytes) {  // the project's alphabet: '_' and '-' for 62, 63
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = uint8_t(bytes[i]) << 16 | uint8_t(bytes[i + 1]) << 8 | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out.push_back(a[(v >> s) & 63]);
    }
    if (bytes.size() - i == 1) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
    } else if (bytes.size() - i == 2) {
        uint32_t v = uint8_t(bytes[i]) << 16 | uint8_t(bytes[i + 1]) << 8;
        out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
    }
    return out;
}

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t nl = s.find('\n', pos);
        if (nl == std::string::npos) nl = s.size();
        out.push_back(s.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

class CartBase : public ::testing::Test {
protected:
    std::string home;
    std::string drive;
    char saved_home[sizeof(config.home_folder)];
    process_record* saved_cproc = nullptr;

    void SetUp() override {
        memcpy(saved_home, config.home_folder, sizeof saved_home);
        saved_cproc = cproc;
        std::string tmpl = std::string(getenv("HOME")) + "/cart_XXXXXX";
        std::vector<char> t(tmpl.begin(), tmpl.end());
        t.push_back(0);
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        home = t.data();
        snprintf(config.home_folder, sizeof(config.home_folder), "%s", home.c_str());
        drive = home + "/drive";
        app.exclusive_process = 0;
        cproc = nullptr;
        pfile_init();
        pfile_reset();
        mount_ram_folder("/ram");
        process_config();
        mount_ram_folder("/system");
    }

    void TearDown() override {
        pfile_reset();
        cproc = saved_cproc;
        memcpy(config.home_folder, saved_home, sizeof saved_home);
    }

    bool put(const std::string& path, const std::string& text) {
        ram_file* f = pfopen(path.c_str(), "w");
        if (!f) return false;
        if (!text.empty()) pfwrite(text.data(), 1, int64_t(text.size()), f);
        return pfclose(f) == 0;
    }

    std::optional<std::string> get(const std::string& path) {
        ram_file* f = pfopen(path.c_str(), "r");
        if (!f) return std::nullopt;
        std::string s = str(f->contents);
        pfclose(f);
        return s;
    }

    // Every ram entry under root: relative name -> contents, folders as "<folder>".
    std::map<std::string, std::string> tree(const std::string& root) {
        std::map<std::string, std::string> out;
        std::string prefix = root + "/";
        for (int32_t i = 0; i < num_pfiles; i++) {
            const ram_file* f = pfile[i];
            if (f->kind != PFILE_RAM) continue;
            std::string name = str(f->name);
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            out[name.substr(prefix.size())] = (f->flags & PFILE_FLAG_FOLDER) ? "<folder>" : str(f->contents);
        }
        return out;
    }

    int32_t ram_entries() { return pfile_count_of_kind(PFILE_RAM); }

    std::string text_cart(const std::string& root, int flags = 0) {
        pbuffer* b = create_buffer_2(16, 0);
        write_q64_from_ram_files(b, root.c_str(), flags);
        std::string s = str(b);
        destroy_buffer(b);
        return s;
    }

    std::string rom_cart(const std::string& root, int flags = 0) {
        pbuffer* b = create_buffer_2(16, 0);
        write_q64_rom_from_ram_files(b, root.c_str(), flags);
        std::string s = str(b);
        destroy_buffer(b);
        return s;
    }

    int read_text(const std::string& root, const std::string& bytes) {
        pmkdir(root.c_str());
        pbuffer* b = buffer_of(bytes);
        int r = populate_ram_folder_from_q64_buffer(root.c_str(), b);
        EXPECT_EQ(b->cursor, b->length);
        destroy_buffer(b);
        return r;
    }

    int read_rom(const std::string& root, const std::string& bytes) {
        pmkdir(root.c_str());
        pbuffer* b = buffer_of(bytes);
        int r = populate_ram_folder_from_q64_rom_buffer(b, root.c_str());
        EXPECT_EQ(b->cursor, b->length);
        destroy_buffer(b);
        return r;
    }

    // A .q64.rom image of a hand-made entry list.
    static std::string rom_of_list(const std::string& list) {
        std::string packed(size_t(LZ4_compressBound(int(list.size()))), '\0');
        int n = LZ4_compress_default(list.data(), packed.data(), int(list.size()), int(packed.size()));
        std::string out = "q64";
        out.push_back(2);
        for (int i = 0; i < 4; i++) out.push_back(char(uint32_t(n) >> (8 * i)));
        return out + packed.substr(0, size_t(n));
    }

    static std::string payload_of(const std::string& rom) {
        uint32_t n = uint8_t(rom[4]) | uint8_t(rom[5]) << 8 | uint8_t(rom[6]) << 16 | uint32_t(uint8_t(rom[7])) << 24;
        std::string out(1 << 20, '\0');
        int got = LZ4_decompress_safe(rom.data() + 8, out.data(), int(n), int(out.size()));
        EXPECT_GE(got, 0);
        out.resize(size_t(got < 0 ? 0 : got));
        return out;
    }

    void host_put(const std::string& p, const std::string& bytes) {
        FILE* f = fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr) << p;
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }

    std::optional<std::string> host_get(const std::string& p) {
        FILE* f = fopen(p.c_str(), "rb");
        if (!f) return std::nullopt;
        std::string s;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) s.append(chunk, n);
        fclose(f);
        return s;
    }
};

std::string captured() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class CartText : public CartBase {};
class CartRom : public CartBase {};
class CartPxa : public CartBase {};
class CartMount : public CartBase {};
class CartFuzz : public CartBase {};

// ---------------------------------------------------------------------------
// Text cartridge: writing

TEST_F(CartText, EmptyRootIsTheHeaderAndEoc) {
    pmkdir("/ram/empty");
    EXPECT_EQ(text_cart("/ram/empty"), HEADER + ":: [eoc]\n");
    EXPECT_EQ(text_cart("/ram/not_there"), HEADER + ":: [eoc]\n");
}

TEST_F(CartText, ExactLinesOfTextHexAndBase64Bodies) {
    pmkdir("/ram/t");
    pmkdir("/ram/t/gfx");
    put("/ram/t/main.lua", "abc\n");
    put("/ram/t/data.bin", std::string("\0\1\2hi", 5));
    put("/ram/t/gfx/.info.mox", "title=\"x\"");
    put("/ram/t/notes.txt", ":: x");
    put("/ram/other.lua", "not under the root");
    // Folders first, then plain text files, then .info.mox and encoded files, each pass in
    // table order.
    EXPECT_EQ(text_cart("/ram/t"), HEADER +
                                       ":: gfx/\n"
                                       ":: main.lua\nabc\n\n"
                                       ":: data.bin\nb64$AAECaGk=\n"
                                       ":: gfx/.info.mox\ntitle=\"x\"\n"
                                       ":: notes.txt\nb64$OjogeA==\n"
                                       ":: [eoc]\n");
    EXPECT_EQ(text_cart("/ram/t/", 1), HEADER +
                                           ":: gfx/\n"
                                           ":: main.lua\nabc\n\n"
                                           ":: data.bin\nhex$0001026869\n"
                                           ":: gfx/.info.mox\ntitle=\"x\"\n"
                                           ":: notes.txt\nhex$3a3a2078\n"
                                           ":: [eoc]\n");
}

TEST_F(CartText, TwoHundredBinaryBytesMakeFourBodyLines) {
    std::string data(200, 'q');
    data[7] = 0;
    put("/ram/b/blob.dat", data);
    std::vector<std::string> lines = split_lines(text_cart("/ram/b"));
    ASSERT_EQ(lines.size(), 3u + 1 + 4 + 1);
    EXPECT_EQ(lines[3], ":: blob.dat");
    EXPECT_EQ(lines[4], "b64$" + b64(data.substr(0, 54)));
    EXPECT_EQ(lines[4].size(), 76u);
    EXPECT_EQ(lines[5], b64(data.substr(54, 57)));
    EXPECT_EQ(lines[6], b64(data.substr(111, 57)));
    EXPECT_EQ(lines[5].size(), 76u);
    EXPECT_EQ(lines[7], b64(data.substr(168)));
    EXPECT_EQ(lines[7].size(), 44u);  // 32 bytes with their own padding
    EXPECT_EQ(lines[8], ":: [eoc]");
    // Hex: 36 bytes on the marker line, 38 after.
    lines = split_lines(text_cart("/ram/b", 1));
    EXPECT_EQ(lines[4].size(), 4u + 72);
    EXPECT_EQ(lines[5].size(), 76u);
}

TEST_F(CartText, EmptyEncodedFileIsTheMarkerLineAlone) {
    put("/ram/e/x.bin", "");
    put("/ram/e/y.lua", "");
    EXPECT_EQ(text_cart("/ram/e"), HEADER + ":: y.lua\n\n:: x.bin\nb64$\n:: [eoc]\n");
}

TEST_F(CartText, TextTestLooksAtExtensionAndContents) {
    put("/ram/k/a.TXT", "upper case extension");
    put("/ram/k/b.lua", "caf\xc3\xa9");
    put("/ram/k/c.lua", "hex$ab");
    put("/ram/k/d.b.lua", "two-part extension");
    put("/ram/k/e.lua", "line\r\nwith cr\r\n");
    std::string s = text_cart("/ram/k");
    EXPECT_NE(s.find(":: a.TXT\nupper case extension\n"), std::string::npos);
    EXPECT_NE(s.find(":: b.lua\nb64$"), std::string::npos);
    EXPECT_NE(s.find(":: c.lua\nb64$"), std::string::npos);
    EXPECT_NE(s.find(":: d.b.lua\nb64$"), std::string::npos);
    EXPECT_NE(s.find(":: e.lua\nline\r\nwith cr\r\n\n"), std::string::npos);
}

TEST_F(CartText, FolderNamedAsTextIsAlsoWrittenInTheTextPass) {
    pmkdir("/ram/f");
    pmkdir("/ram/f/lib.lua");
    EXPECT_EQ(text_cart("/ram/f"), HEADER + ":: lib.lua/\n:: lib.lua/\n:: [eoc]\n");
    EXPECT_EQ(read_text("/ram/g", text_cart("/ram/f")), 0);
    EXPECT_EQ(tree("/ram/g"), (std::map<std::string, std::string>{{"lib.lua", "<folder>"}}));
}

TEST_F(CartText, NamesTheReaderWouldMangleAreRefused) {
    put("/ram/s/ok.lua", "1");
    ASSERT_TRUE(put("/ram/s/my#a file.lua", "2"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(text_cart("/ram/s"), "");
    EXPECT_NE(captured().find("my#a file.lua"), std::string::npos);
    ASSERT_TRUE(put("/ram/s2/x#\n:: [eoc]", "a name that would end the cartridge"));
    EXPECT_EQ(text_cart("/ram/s2"), "");

    ASSERT_TRUE(put("/ram/d/a..b.lua", "dropped by the reader"));
    EXPECT_EQ(text_cart("/ram/d"), "");
}

// ---------------------------------------------------------------------------
// Text cartridge: reading

TEST_F(CartText, TextBodiesReadBack) {
    std::string c = HEADER +
                    "stray line before any entry\n"
                    ":: main.lua\nabc\n\n"
                    ":: sub/\n"
                    "dropped: a folder has no body\n"
                    ":: sub/b.txt\nno newline\n"
                    ":: empty.lua\n\n"
                    ":: x.bin\nb64$AAEC\naGk=\n"
                    ":: y.bin\nhex$0a0b0\nff\n"
                    ":: [eoc]\n"
                    ":: after.lua\nignored\n";
    EXPECT_EQ(read_text("/ram/r", c), 0);
    EXPECT_EQ(tree("/ram/r"), (std::map<std::string, std::string>{{"main.lua", "abc\n"},
                                                                    {"sub", "<folder>"},
                                                                    {"sub/b.txt", "no newline"},
                                                                    {"empty.lua", "\n"},
                                                                    {"x.bin", std::string("\0\1\2hi", 5)},
                                                                    {"y.bin", "\x0a\x0b\xff"}}));
}

TEST_F(CartText, HeaderLinesAreSkippedWhateverTheyHold) {
    EXPECT_EQ(read_text("/ram/h", "anything at all\nversion 2\n\n:: a.lua\nA\n:: [eoc]\n"), 0);
    EXPECT_EQ(get("/ram/h/a.lua"), "A");
}

TEST_F(CartText, UnknownVersionGivesAnEmptyFolder) {
    EXPECT_EQ(read_text("/ram/v3", "orvalune cartridge // x\nversion 3\n\n:: a.lua\nA\n:: [eoc]\n"), 1);
    EXPECT_TRUE(tree("/ram/v3").empty());
    EXPECT_EQ(read_text("/ram/v0", "no version line"), 1);
    EXPECT_TRUE(tree("/ram/v0").empty());
    EXPECT_EQ(read_text("/ram/v_empty", ""), 0);  // an empty file is an empty cartridge
}

TEST_F(CartText, MissingEocWarnsAndKeepsTheLastFile) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_text("/ram/n", HEADER + ":: a.lua\nfirst\nsecond"), 0);
    EXPECT_NE(captured().find("** warning: no [eoc] found while mounting /ram/n"), std::string::npos);
    EXPECT_EQ(get("/ram/n/a.lua"), "first\nsecond");
}

TEST_F(CartText, DotDotEntriesAreIgnoredWithTheirBodies) {
    int32_t before = ram_entries();
    EXPECT_EQ(read_text("/ram/p", HEADER + ":: ../escape.lua\nevil\n:: a/../../x/\n:: ok.lua\nfine\n:: [eoc]\n"), 1);
    EXPECT_EQ(tree("/ram/p"), (std::map<std::string, std::string>{{"ok.lua", "fine"}}));
    EXPECT_EQ(ram_entries(), before + 2);  // the folder and ok.lua, nothing outside
    EXPECT_EQ(get("/ram/escape.lua"), std::nullopt);
}

TEST_F(CartText, EntriesThroughACartridgeNameAreIgnored) {
    // Either order: the file a.q64 first, or the path through it first.
    for (const char* body : {":: a.q64\nY\n:: a.q64/x\nX\n:: ok.lua\nfine\n:: [eoc]\n",
                             ":: a.q64/x\nX\n:: a.q64\nY\n:: ok.lua\nfine\n:: [eoc]\n"}) {
        int32_t before = ram_entries();
        EXPECT_EQ(read_text("/ram/t", HEADER + body), 1);
        EXPECT_EQ(tree("/ram/t"), (std::map<std::string, std::string>{{"a.q64", "Y"}, {"ok.lua", "fine"}}));
        EXPECT_EQ(ram_entries(), before + 3);  // nothing lands in a mount of a.q64
        delete_path("/ram/t");
    }
}

TEST_F(CartText, OverlongPathStopsReading) {
    std::string name;
    for (char c = 'a'; c < 'f'; c++) name += std::string(250, c) + "/";
    name += "x.txt";
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_text("/ram/long", HEADER + ":: a.lua\nA\n:: " + name + "\nX\n:: z.lua\nZ\n:: [eoc]\n"), 1);
    EXPECT_NE(captured().find("bad file description"), std::string::npos);
    EXPECT_EQ(tree("/ram/long"), (std::map<std::string, std::string>{{"a.lua", "A"}}));
}

TEST_F(CartText, LongBase64LinesAreSkipped) {
    std::string longline(1024, 'A');
    EXPECT_EQ(read_text("/ram/l", HEADER + ":: x.bin\nb64$AAEC\n" + longline + "\naGk=\n:: [eoc]\n"), 1);
    EXPECT_EQ(get("/ram/l/x.bin"), std::string("\0\1\2hi", 5));
    EXPECT_EQ(read_text("/ram/l2", HEADER + ":: x.bin\nb64$AAEC\n" + std::string(1023, 'A') + "\n:: [eoc]\n"), 0);
    EXPECT_EQ(get("/ram/l2/x.bin")->size(), 3u + 1023 * 3 / 4);
}

TEST_F(CartText, CarriageReturnsStayInTextFiles) {
    EXPECT_EQ(read_text("/ram/cr", "x\r\nversion 2\r\n\r\n:: a.lua\r\none\r\ntwo\r\n\n:: [eoc]\r\n"), 0);
    EXPECT_EQ(get("/ram/cr/a.lua"), "one\r\ntwo\r\n");
}

TEST_F(CartText, RoundTripsKeepEveryFileExactly) {
    std::map<std::string, std::string> files = {
        {"main.lua", "print(1)\n"},
        {"nonl.lua", "no final newline"},
        {"two.lua", "\n\n"},
        {"entry_first.lua", ":: looks like an entry\nsecond\n"},
        {"entry_later.txt", "ok\n:: [eoc]\nmore\n"},
        {"marker.lua", "b64$AAAA\n"},
        {"later_marker.lua", "x\nhex$00\n"},
        {"bin_newline.dat", std::string("\0\n", 2)},
        {"nl.dat", "a\n\n"},
        {"zz.info.mox", "title=\"last\"\n"},
        {"sub/deep/f.txt", "deep\n"},
    };
    for (const auto& [name, data] : files) ASSERT_TRUE(put("/ram/src/" + name, data)) << name;
    pmkdir("/ram/src/sub");
    pmkdir("/ram/src/sub/deep");
    pmkdir("/ram/src/emptydir");
    auto expected = tree("/ram/src");
    std::string once = text_cart("/ram/src");
    ASSERT_EQ(read_text("/ram/dst", once), 0);
    EXPECT_EQ(tree("/ram/dst"), expected);
    // A second trip gives the same bytes: nothing grows or shrinks.
    EXPECT_EQ(text_cart("/ram/dst"), once);
    EXPECT_EQ(text_cart("/ram/src", 1).substr(0, HEADER.size()), HEADER);
    ASSERT_EQ(read_text("/ram/dst_hex", text_cart("/ram/src", 1)), 0);
    EXPECT_EQ(tree("/ram/dst_hex"), expected);
}

TEST_F(CartText, VersionOneReading) {
    std::string c =
        "header\n"
        "version 1\n"
        "## a comment line\n"
        "main.lua 12:0 [xx616263]\n"
        "sub 0:1\n"
        "sub/a#[1].txt 3:0 [..41]\n"
        "odd.txt 0:0 [..414]\n"
        "junk.txt 0:0 [..4142] x]\n"
        "\n"
        "after.lua 0:0 [..42]\n";
    EXPECT_EQ(read_text("/ram/v1", c), 0);
    EXPECT_EQ(tree("/ram/v1"), (std::map<std::string, std::string>{{"main.lua", "abc"},
                                                                     {"sub", "<folder>"},
                                                                     {"sub/a#[1].txt", "A"},
                                                                     {"odd.txt", "A"},
                                                                     {"junk.txt", std::string("AB\0", 3)}}));
}

TEST_F(CartText, VersionOneBracketBounds) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_text("/ram/v1b", "h\nversion 1\nshort.txt 0:0 [\nclose.txt 0:0 [x]\nnone.txt 0:0 abc\n"), 1);
    std::string out = captured();
    EXPECT_NE(out.find("could not read legacy q64; file contents missing"), std::string::npos);
    EXPECT_NE(out.find("attribs: 0 new_path: /ram/v1b/none.txt"), std::string::npos);
    EXPECT_EQ(tree("/ram/v1b"),
              (std::map<std::string, std::string>{{"short.txt", ""}, {"close.txt", ""}, {"none.txt", ""}}));
    EXPECT_EQ(read_text("/ram/v1c", "h\nversion 1\n../up.txt 0:0 [..41]\nok.txt 0:0 [..41]\n"), 1);
    EXPECT_EQ(tree("/ram/v1c"), (std::map<std::string, std::string>{{"ok.txt", "A"}}));
}

// ---------------------------------------------------------------------------
// .q64.rom

TEST_F(CartRom, OneSmallFileIsByteExact) {
    put("/ram/one/main.lua", "abc");
    // The 13-byte entry list is too short for LZ4 to match anything: one literal run.
    const uint8_t expected[] = {'q', '6', '4', 2,   14,  0,   0,   0,   0xd0, 'm', 'a',
                                'i', 'n', '.', 'l', 'u', 'a', 0,   3,   'a',  'b', 'c'};
    EXPECT_EQ(rom_cart("/ram/one"), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
    EXPECT_EQ(rom_cart("/ram/one/"), rom_cart("/ram/one"));
}

TEST_F(CartRom, SizeBytesAt254And255) {
    pmkdir("/ram/sz");
    pmkdir("/ram/sz/d");
    put("/ram/sz/a", std::string(254, 'x'));
    put("/ram/sz/b", std::string(255, 'y'));
    put("/ram/sz/d/c", std::string(70000, 'z'));
    std::string list = payload_of(rom_cart("/ram/sz"));
    std::string expect = std::string("a\0", 2) + char(254) + std::string(254, 'x') + std::string("b\0", 2) +
                         std::string("\xff\xff\0\0\0", 5) + std::string(255, 'y') + std::string("d/\0", 3) +
                         std::string("d/c\0\xff\x70\x11\x01\0", 9) + std::string(70000, 'z');
    EXPECT_EQ(list, expect);
}

TEST_F(CartRom, RoundTrip) {
    std::string bin;
    for (int i = 0; i < 100000; i++) bin.push_back(char(i * 7 + i / 13));
    put("/ram/rt/main.lua", "print(\"hi\")\n");
    put("/ram/rt/empty", "");
    put("/ram/rt/gfx/big.bin", bin);
    pmkdir("/ram/rt/gfx");
    pmkdir("/ram/rt/gfx/nested");
    ASSERT_TRUE(put("/ram/rt/my#file with spaces.txt", "spaces are fine here"));
    auto expected = tree("/ram/rt");
    std::string rom = rom_cart("/ram/rt");
    ASSERT_EQ(read_rom("/ram/back", rom), 0);
    EXPECT_EQ(tree("/ram/back"), expected);
    EXPECT_EQ(rom_cart("/ram/back"), rom);
}

TEST_F(CartRom, EmptyFolderRoundTrips) {
    pmkdir("/ram/nothing");
    std::string rom = rom_cart("/ram/nothing");
    ASSERT_GE(rom.size(), 9u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_rom("/ram/nothing_back", rom), 0);
    EXPECT_EQ(captured(), "");
    EXPECT_TRUE(tree("/ram/nothing_back").empty());
}

TEST_F(CartRom, DotDotEntryIsRefusedWithItsMessage) {
    int32_t before = ram_entries();
    std::string list = std::string("a.lua\0\1x", 8) + std::string("../evil.lua\0\1y", 14) + std::string("b.lua\0\1z", 8);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_rom("/ram/dd", rom_of_list(list)), 1);
    EXPECT_NE(captured().find("** bad file description while mounting .q64.rom: ../evil.lua\n"), std::string::npos);
    EXPECT_EQ(tree("/ram/dd"), (std::map<std::string, std::string>{{"a.lua", "x"}}));
    EXPECT_EQ(ram_entries(), before + 2);  // the folder and a.lua
    EXPECT_EQ(get("/ram/evil.lua"), std::nullopt);
}

TEST_F(CartRom, EntryThroughACartridgeNameStopsReading) {
    std::string list = std::string("a.q64\0\1y", 8) + std::string("a.q64/x\0\1x", 10);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_rom("/ram/tc", rom_of_list(list)), 1);
    EXPECT_NE(captured().find("** bad file description while mounting .q64.rom: a.q64/x\n"), std::string::npos);
    EXPECT_EQ(tree("/ram/tc"), (std::map<std::string, std::string>{{"a.q64", "y"}}));
}

TEST_F(CartRom, BadNamesStopReading) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_rom("/ram/n1", rom_of_list(std::string("a\0\1x", 4) + std::string(401, 'n') + std::string("\0\1y", 3))),
              1);
    EXPECT_EQ(read_rom("/ram/n2", rom_of_list(std::string("a\0\1x\0\1y", 7))), 1);  // empty name
    EXPECT_EQ(read_rom("/ram/n3", rom_of_list(std::string("a\0\1xtail", 8))), 1);   // no terminator
    std::string out = captured();
    EXPECT_NE(out.find("  *** q64.rom filename parsing failed"), std::string::npos);
    EXPECT_EQ(tree("/ram/n1"), (std::map<std::string, std::string>{{"a", "x"}}));
    EXPECT_EQ(tree("/ram/n3"), (std::map<std::string, std::string>{{"a", "x"}}));
    // 400 bytes is still a name.
    std::string name400 = std::string(200, 'p') + "/" + std::string(199, 'q');
    EXPECT_EQ(read_rom("/ram/n4", rom_of_list(name400 + std::string("\0\1y", 3))), 0);
    EXPECT_EQ(get("/ram/n4/" + name400), "y");
}

TEST_F(CartRom, BadLengthsAreCheckedAgainstThePayload) {
    testing::internal::CaptureStdout();
    // Size byte missing, u32 cut short, a size that does not fit a signed 32-bit length.
    EXPECT_EQ(read_rom("/ram/l1", rom_of_list(std::string("a\0", 2))), 1);
    EXPECT_EQ(read_rom("/ram/l2", rom_of_list(std::string("a\0\xff\1\0", 5))), 1);
    EXPECT_EQ(read_rom("/ram/l3", rom_of_list(std::string("a\0\xff\0\0\0\x80xyz", 10))), 1);
    std::string out = captured();
    EXPECT_NE(out.find("** bad file length -2147483648 (3) while mounting .q64.rom: a"), std::string::npos);
    // A size larger than what is left is clipped to it.
    EXPECT_EQ(read_rom("/ram/l4", rom_of_list(std::string("a\0\x09xyz", 6))), 1);
    EXPECT_EQ(get("/ram/l4/a"), "xyz");
}

TEST_F(CartRom, PackedSizeIsCheckedAgainstTheBuffer) {
    put("/ram/ps/a.lua", "A");
    std::string rom = rom_cart("/ram/ps");
    std::string lying = rom;
    lying[4] = char(uint8_t(lying[4]) + 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_rom("/ram/ps1", lying), 1);
    EXPECT_EQ(read_rom("/ram/ps2", rom.substr(0, 6)), 1);
    std::string garbage = rom.substr(0, 8) + std::string(rom.size() - 8, '\xff');
    EXPECT_EQ(read_rom("/ram/ps3", garbage), 1);
    EXPECT_NE(captured().find("  *** q64.rom decompression failed: /ram/ps1\n"), std::string::npos);
    EXPECT_TRUE(tree("/ram/ps1").empty());
    EXPECT_TRUE(tree("/ram/ps3").empty());
}

TEST_F(CartRom, TooManyEntriesStopAtTheLimit) {
    std::string list;
    for (int i = 0; i < Q64_ROM_MAX_ENTRIES + 1; i++) list += "f" + std::to_string(i) + std::string("\0\0", 2);
    EXPECT_EQ(read_rom("/ram/many", rom_of_list(list)), 1);
    EXPECT_EQ(int(tree("/ram/many").size()), Q64_ROM_MAX_ENTRIES);
}

TEST_F(CartRom, PlainCodeBecomesMainLua) {
    EXPECT_EQ(read_rom("/ram/pc", "print(\"plain\")"), 0);
    EXPECT_EQ(tree("/ram/pc"), (std::map<std::string, std::string>{{"main.lua", "print(\"plain\")"}}));
    EXPECT_EQ(read_rom("/ram/pc0", std::string("cls()\0junk", 10)), 1);  // the tail is not kept
    EXPECT_EQ(get("/ram/pc0/main.lua"), "cls()");
    EXPECT_EQ(read_rom("/ram/pc1", "ab"), 1);
    EXPECT_TRUE(tree("/ram/pc1").empty());
    EXPECT_EQ(read_rom("/ram/pc2", ""), 0);
}

TEST_F(CartRom, SystemRomWithEmptyRootFillsSystem) {
    std::string list = std::string("system/\0", 8) + std::string("system/boot.lua\0\x05hello", 22);
    pbuffer* b = buffer_of(rom_of_list(list));
    EXPECT_EQ(populate_ram_folder_from_q64_rom_buffer_ex("", b, "/system", false), 0);
    destroy_buffer(b);
    EXPECT_EQ(get("/system/boot.lua"), "hello");
}

TEST_F(CartRom, KeepExistingLeavesFilesAlone) {
    put("/ram/ke/a", "old");
    std::string list = std::string("a\0\3new", 6) + std::string("b\0\3bbb", 6);
    pbuffer* b = buffer_of(rom_of_list(list));
    EXPECT_EQ(populate_ram_folder_from_q64_rom_buffer_ex("/ram/ke", b, "/ram/ke", true), 0);
    destroy_buffer(b);
    EXPECT_EQ(get("/ram/ke/a"), "old");
    EXPECT_EQ(get("/ram/ke/b"), "bbb");
    b = buffer_of(rom_of_list(list));
    EXPECT_EQ(populate_ram_folder_from_q64_rom_buffer_ex("/ram/ke", b, "/ram/ke", false), 0);
    destroy_buffer(b);
    EXPECT_EQ(get("/ram/ke/a"), "new");
}

TEST_F(CartRom, LabelFlagsSkipLabelsAndKeepMetadata) {
    put("/ram/lb/label.png", "png");
    put("/ram/lb/label.qoi", "qoi");
    put("/ram/lb/sub/label.png", "kept: not directly under the root");
    put("/ram/lb/.info.mox", "title=\"t\"");
    EXPECT_EQ(payload_of(rom_cart("/ram/lb", 4)),
              std::string(".info.mox\0\x09title=\"t\"", 20) +
                  std::string("sub/label.png\0\x21kept: not directly under the root", 48));
    EXPECT_NE(payload_of(rom_cart("/ram/lb", 0)).find("label.qoi"), std::string::npos);
    rom_cart("/ram/lb", 28);
    ASSERT_NE(q64_rom_captured_metadata(), nullptr);
    EXPECT_EQ(str(q64_rom_captured_metadata()), "title=\"t\"");
    rom_cart("/ram/nothing_here", 8);
    EXPECT_EQ(q64_rom_captured_metadata(), nullptr);
}

TEST_F(CartRom, WriterRefusesWhatTheReaderRefuses) {
    std::string name = std::string(200, 'a') + "/" + std::string(200, 'b');  // 401 bytes
    put("/ram/w1/" + name, "x");
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_cart("/ram/w1"), "");
    put("/ram/w2/a..b", "x");
    EXPECT_EQ(rom_cart("/ram/w2"), "");
    std::string out = captured();
    EXPECT_NE(out.find("name longer than 400 bytes"), std::string::npos);
    // 400 bytes with the folder's "/" is fine.
    put("/ram/w3/" + std::string(200, 'a') + "/" + std::string(198, 'b'), "x");
    EXPECT_NE(rom_cart("/ram/w3"), "");
}

TEST_F(CartRom, WriterRefusesMoreEntriesThanTheReaderTakes) {
    for (int i = 0; i < Q64_ROM_MAX_ENTRIES; i++) ASSERT_TRUE(put("/ram/cnt/f" + std::to_string(i), ""));
    EXPECT_NE(rom_cart("/ram/cnt"), "");
    put("/ram/cnt/one_more", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_cart("/ram/cnt"), "");
    EXPECT_NE(captured().find("more than 16384 entries"), std::string::npos);
}

TEST_F(CartRom, WriterRefusesPayloadsOverSixtyFourMegabytes) {
    put("/ram/big/a", std::string(size_t(Q64_ROM_PAYLOAD_MAX) - 7, 'a'));  // "a\0" + 5 size bytes
    std::string rom = rom_cart("/ram/big");
    EXPECT_NE(rom, "");
    ASSERT_EQ(read_rom("/ram/big_back", rom), 0);
    EXPECT_EQ(get("/ram/big_back/a")->size(), size_t(Q64_ROM_PAYLOAD_MAX) - 7);
    put("/ram/big/a", std::string(size_t(Q64_ROM_PAYLOAD_MAX) - 6, 'a'));
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_cart("/ram/big"), "");
    EXPECT_NE(captured().find("more than 64 MB"), std::string::npos);
}

TEST_F(CartRom, ImageCartridgesAreNotRead) {
    pmkdir("/ram/png");
    testing::internal::CaptureStdout();
    populate_ram_folder_from_q64_png_buffer("/ram/png");
    EXPECT_EQ(captured(), "can not populate /ram/png\nq64.png loader not supported in this build.\n");
    EXPECT_TRUE(tree("/ram/png").empty());
}

// ---------------------------------------------------------------------------
// pxa

// Builds pxa bit streams: bits least significant first.
struct pxa_writer {
    std::string bytes = std::string(8, '\0');
    int bit = 0;
    void put(int v) {
        if (bit == 0) bytes.push_back(0);
        if (v) bytes.back() = char(uint8_t(bytes.back()) | (1 << bit));
        bit = (bit + 1) & 7;
    }
    void put(uint32_t v, int n) {
        for (int i = 0; i < n; i++) put(int(v >> i) & 1);
    }
    void literal(int index) {  // move-to-front index
        put(1);
        int k = 0;
        while (index >= 16 * ((1 << (k + 1)) - 1)) k++;
        for (int i = 0; i < k; i++) put(1);
        put(0);
        put(uint32_t(index - 16 * ((1 << k) - 1)), 4 + k);
    }
    void copy(int offset, int length) {
        put(0);
        if (offset <= 32) {
            put(1), put(1), put(uint32_t(offset - 1), 5);
        } else if (offset <= 1024) {
            put(1), put(0), put(uint32_t(offset - 1), 10);
        } else {
            put(0), put(uint32_t(offset - 1), 15);
        }
        int left = length - 3;
        while (left >= 7) put(7, 3), left -= 7;
        put(uint32_t(left), 3);
    }
    void raw(const std::string& s) {
        put(0), put(1), put(0), put(0, 10);
        for (char c : s) put(uint8_t(c), 8);
        put(0, 8);
    }
    std::string finish(int raw_length) {
        bytes[1] = 'p', bytes[2] = 'x', bytes[3] = 'a';
        bytes[4] = char(raw_length >> 8), bytes[5] = char(raw_length);
        bytes[6] = char(bytes.size() >> 8), bytes[7] = char(bytes.size());
        return bytes;
    }
};

std::string pxa(const std::string& block, int64_t limit = PXA_LIMIT) {
    pbuffer* b = buffer_of(block);
    std::vector<uint8_t> out(size_t(limit) + 1, 0xEE);
    EXPECT_EQ(pxa_decompress(b, out.data(), limit), 0);
    destroy_buffer(b);
    auto end = std::find(out.begin(), out.end(), 0);
    EXPECT_NE(end, out.end());  // always zero-terminated
    return std::string(out.begin(), end);
}

TEST_F(CartPxa, LiteralsMoveToFront) {
    pxa_writer w;
    w.literal('a');  // index 97: 16 x 3 + 49, two extra one bits
    w.literal('b');  // still at 98: only entries before 'a' moved
    w.literal(1);    // 'a' is now second
    w.literal(0);    // 'a' again, now at the front
    w.literal(255);
    EXPECT_EQ(pxa(w.finish(5)), "aba" "a\xff");
}

TEST_F(CartPxa, OverlappingCopiesRepeat) {
    pxa_writer w;
    w.literal('a'), w.literal('b'), w.literal('c');
    w.copy(3, 6);
    w.copy(1, 12);  // one byte back: a run of 'c'
    EXPECT_EQ(pxa(w.finish(21)), "abcabcabc" + std::string(12, 'c'));
}

TEST_F(CartPxa, LongOffsetsAndRawRuns) {
    pxa_writer w;
    w.raw("hello");
    std::string expect = "hello";
    w.literal('o');  // raw bytes leave the move-to-front table alone
    for (int i = 0; i < 40; i++) w.literal(0);
    expect += std::string(41, 'o');
    w.copy(46, 5);
    expect += "hello";
    EXPECT_EQ(pxa(w.finish(int(expect.size()))), expect);
}

TEST_F(CartPxa, BadCopiesAndIndexesEndDecoding) {
    pxa_writer w;
    w.literal('x');
    w.copy(2, 3);  // starts before the output
    w.literal('y');
    EXPECT_EQ(pxa(w.finish(5)), "x");

    pxa_writer big;
    big.literal('x');
    big.put(1), big.put(31, 5), big.put(0), big.put(0, 9);  // five extra ones: index above 255
    EXPECT_EQ(pxa(big.finish(2)), "x");

    pxa_writer lim;
    lim.literal('a');
    lim.copy(1, 20);  // would pass the limit of 10
    EXPECT_EQ(pxa(lim.finish(21), 10), "a");
}

TEST_F(CartPxa, StopsAtTheStatedLengths) {
    pxa_writer w;
    w.literal('a'), w.literal('b'), w.literal('c');
    EXPECT_EQ(pxa(w.finish(2)), "ab");
    std::string cut = w.finish(3);
    cut[7] = 10;  // compressed length ends inside the second literal
    EXPECT_EQ(pxa(cut), "a");
    EXPECT_EQ(pxa(std::string("\0pxa", 4)), "");
}

TEST_F(CartPxa, RomReaderMountsPxaAsMainLua) {
    pxa_writer w;
    w.raw("print(1)");
    EXPECT_EQ(read_rom("/ram/px", w.finish(8)), 0);
    EXPECT_EQ(tree("/ram/px"), (std::map<std::string, std::string>{{"main.lua", "print(1)"}}));
}

// ---------------------------------------------------------------------------
// Through the mounts

TEST_F(CartMount, ChangesAreWrittenBackAndReadAgain) {
    EXPECT_EQ(pmkdir("/c.q64"), 0);
    EXPECT_EQ(pmkdir("/c.q64.rom"), 0);
    EXPECT_TRUE(put("/c.q64/main.lua", "print(1)\n"));
    EXPECT_TRUE(put("/c.q64.rom/main.lua", "print(2)\n"));
    flush_dirty_mounts_immediately();
    EXPECT_EQ(host_get(drive + "/c.q64"), HEADER + ":: main.lua\nprint(1)\n\n:: [eoc]\n");
    EXPECT_EQ(host_get(drive + "/c.q64.rom")->substr(0, 4), std::string("q64\2", 4));
    delete_clean_ram_mounts();
    EXPECT_EQ(get("/c.q64/main.lua"), "print(1)\n");
    EXPECT_EQ(get("/c.q64.rom/main.lua"), "print(2)\n");
}

TEST_F(CartMount, NewEmptyRomCartridgeStaysWritable) {
    EXPECT_EQ(pmkdir("/n.q64.rom"), 0);
    flush_dirty_mounts_immediately();
    ASSERT_TRUE(host_get(drive + "/n.q64.rom").has_value());
    delete_clean_ram_mounts();
    EXPECT_TRUE(put("/n.q64.rom/a.lua", "A"));
    flush_dirty_mounts_immediately();
    delete_clean_ram_mounts();
    EXPECT_EQ(get("/n.q64.rom/a.lua"), "A");
}

TEST_F(CartMount, FailedReadingIsNeverWrittenBack) {
    const std::string bad_text = "orvalune cartridge // x\nversion 3\n\n:: a.lua\nkeep me\n:: [eoc]\n";
    const std::string bad_rom = std::string("q64\2\x40\0\0\0", 8) + std::string(10, '\x55');
    const std::string png = "\x89PNG not readable here";
    host_put(drive + "/t.q64", bad_text);
    host_put(drive + "/r.q64.rom", bad_rom);
    host_put(drive + "/p.q64.png", png);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(put("/t.q64/new.lua", "x"));
    EXPECT_TRUE(put("/r.q64.rom/new.lua", "x"));
    EXPECT_TRUE(put("/p.q64.png/new.lua", "x"));
    flush_dirty_mounts_immediately();
    std::string out = captured();
    EXPECT_EQ(host_get(drive + "/t.q64"), bad_text);
    EXPECT_EQ(host_get(drive + "/r.q64.rom"), bad_rom);
    EXPECT_EQ(host_get(drive + "/p.q64.png"), png);
    EXPECT_NE(out.find("not read whole"), std::string::npos);
    EXPECT_NE(out.find("q64.png loader not supported in this build."), std::string::npos);
    // The changes are still readable in memory.
    EXPECT_EQ(get("/t.q64/new.lua"), "x");
}

TEST_F(CartMount, PartlyReadCartridgeIsNotWrittenBack) {
    std::string list = std::string("a.lua\0\1A", 8) + std::string("../x\0\1B", 7) + std::string("c.lua\0\1C", 8);
    std::string rom = rom_of_list(list);
    host_put(drive + "/part.q64.rom", rom);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get("/part.q64.rom/a.lua"), "A");
    EXPECT_TRUE(put("/part.q64.rom/a.lua", "changed"));
    flush_dirty_mounts_immediately();
    captured();
    EXPECT_EQ(host_get(drive + "/part.q64.rom"), rom);
}

TEST_F(CartMount, RefusedWriteKeepsTheOldFile) {
    EXPECT_EQ(pmkdir("/k.q64.rom"), 0);
    EXPECT_EQ(pmkdir("/k.q64"), 0);
    EXPECT_TRUE(put("/k.q64.rom/a.lua", "A"));
    EXPECT_TRUE(put("/k.q64/a.lua", "A"));
    flush_dirty_mounts_immediately();
    auto old_rom = host_get(drive + "/k.q64.rom");
    auto old_text = host_get(drive + "/k.q64");
    ASSERT_TRUE(old_rom && old_text);
    std::string name = std::string(200, 'a') + "/" + std::string(200, 'b');
    EXPECT_TRUE(put("/k.q64.rom/" + name, "too long a name"));
    EXPECT_TRUE(put("/k.q64/with#a space.lua", "the reader would cut the name"));
    testing::internal::CaptureStdout();
    flush_dirty_mounts_immediately();
    captured();
    EXPECT_EQ(host_get(drive + "/k.q64.rom"), old_rom);
    EXPECT_EQ(host_get(drive + "/k.q64"), old_text);
}

// ---------------------------------------------------------------------------
// Mutated input: the readers must stay inside their root, in bounds, and finish.

std::string mutate(std::string s, std::mt19937& rng) {
    int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits; e++) {
        size_t at = s.empty() ? 0 : rng() % s.size();
        switch (rng() % 6) {
        case 0:
            if (!s.empty()) s[at] = char(rng());
            break;
        case 1:
            if (!s.empty()) s[at] = char(uint8_t(s[at]) ^ (1u << (rng() % 8)));
            break;
        case 2:
            s.insert(at, 1, char(rng()));
            break;
        case 3:
            if (!s.empty()) s.erase(at, 1 + rng() % 8);
            break;
        case 4:
            s.resize(at);
            break;
        default: {
            static const char* tokens[] = {":: ", "\n", ":: [eoc]\n", "b64$", "hex$", "..", "/", "[", "]", "\xff"};
            s.insert(at, tokens[rng() % 10]);
            break;
        }
        }
    }
    return s;
}

TEST_F(CartFuzz, MutatedCartridgesStayInsideTheirRoot) {
    std::mt19937 rng(12345);
    put("/ram/seed/main.lua", "print(\"hello\")\nreturn 1\n");
    put("/ram/seed/gfx/0.gfx", std::string("\0\1\2\3\4\5 binary", 13));
    pmkdir("/ram/seed/gfx");
    put("/ram/seed/.info.mox", "title=\"seed\"");
    put("/ram/seed/big.dat", std::string(600, 'r'));
    std::vector<std::string> seeds = {text_cart("/ram/seed"), text_cart("/ram/seed", 1), rom_cart("/ram/seed"),
                                      "h\nversion 1\nmain.lua 0:0 [xx6162]\nsub 0:1\n"};
    pxa_writer w;
    w.literal('a'), w.raw("xyz"), w.copy(4, 9);
    seeds.push_back(w.finish(13));

    testing::internal::CaptureStdout();
    for (int i = 0; i < 3000; i++) {
        const std::string& seed = seeds[size_t(i) % seeds.size()];
        std::string input = mutate(seed, rng);
        std::string root = "/ram/fz/" + std::to_string(i);
        int32_t outside_before = ram_entries() - int32_t(tree("/ram/fz").size());
        switch (i % 3) {
        case 0:
            read_text(root, input);
            break;
        case 1:
            read_rom(root, input);
            break;
        default: {
            pbuffer* b = buffer_of(input);
            std::vector<uint8_t> out(257, 0xEE);
            pxa_decompress(b, out.data(), 256);
            EXPECT_NE(std::find(out.begin(), out.end(), 0), out.end());
            destroy_buffer(b);
            break;
        }
        }
        EXPECT_EQ(ram_entries() - int32_t(tree("/ram/fz").size()), outside_before) << "input " << i;
        // Whatever was read, writing it again gives a cartridge that reads back the same.
        if (i % 3 != 2) {
            auto got = tree(root);
            std::string again = rom_cart(root);
            if (!again.empty()) {
                ASSERT_EQ(read_rom(root + "_again", again), 0) << "input " << i;
                EXPECT_EQ(tree(root + "_again"), got) << "input " << i;
            }
        }
        delete_ram_files_in_path("/ram/fz");
    }
    captured();
}

}  // namespace
