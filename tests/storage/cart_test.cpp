// Cartridges: byte-exact text and .q64.rom images, the readers (versions 1 and 2, rom, pxa,
// plain code), round trips, mounts that must not be written back, and mutated input.
#include <gtest/gtest.h>

#include <lz4.h>

#include <map>
#include <random>

#include "storage/base64.h"
#include "storage/cart.h"
#include "test_support.h"

namespace {

using namespace drive_test;
using tree_t = std::map<std::string, std::string>;

const std::string HEADER = "orvalune cartridge // www.orvalune.net\nversion 2\n\n";

pbuffer* buffer_of(const std::string& bytes) {
    pbuffer* b = create_buffer_2(int64_t(bytes.size()) + 1, 0);
    if (!bytes.empty()) bwrite(bytes.data(), 1, int64_t(bytes.size()), b);
    b->cursor = 0;
    return b;
}

std::string b64(const std::string& in) {  // the project's alphabet: '_' and '-' for 62, 63
    std::vector<char> out(in.size() / 3 * 4 + 8);
    base64_encodestate s;
    base64_init_encodestate(&s);
    int64_t n = base64_encode_block(in.data(), int64_t(in.size()), out.data(), &s);
    n += base64_encode_blockend(out.data() + n, &s);
    return std::string(out.data(), size_t(n));
}

std::string hex(const std::string& in) {
    std::string out;
    char two[3];
    for (unsigned char c : in) snprintf(two, sizeof two, "%02x", c), out += two;
    return out;
}

std::string captured() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// A .q64.rom image of a hand-made entry list.
std::string rom_of_list(const std::string& list) {
    std::string packed(size_t(LZ4_compressBound(int(list.size()))), '\0');
    int n = LZ4_compress_default(list.data(), packed.data(), int(list.size()), int(packed.size()));
    std::string out = "q64";
    out.push_back(2);
    for (int i = 0; i < 4; i++) out.push_back(char(uint32_t(n) >> (8 * i)));
    return out + packed.substr(0, size_t(n));
}

// The entry list inside a .q64.rom image.
std::string payload_of(const std::string& rom) {
    uint32_t n = uint8_t(rom[4]) | uint8_t(rom[5]) << 8 | uint8_t(rom[6]) << 16 | uint32_t(uint8_t(rom[7])) << 24;
    std::string out(1 << 20, '\0');
    int got = LZ4_decompress_safe(rom.data() + 8, out.data(), int(n), int(out.size()));
    EXPECT_GE(got, 0);
    out.resize(size_t(got < 0 ? 0 : got));
    return out;
}

std::string entry(const std::string& name, const std::string& data) {  // one entry of a rom list
    return name + std::string(1, '\0') + char(data.size()) + data;
}

struct Cart : temp_drive {
    // Every ram entry under root: relative name -> contents, folders as "<folder>".
    tree_t tree(const std::string& root) {
        tree_t out;
        std::string prefix = root + "/";
        for (int32_t i = 0; i < num_pfiles; i++) {
            const ram_file* f = pfile[i];
            std::string name = str(f->name);
            if (f->kind != PFILE_RAM || name.compare(0, prefix.size(), prefix) != 0) continue;
            out[name.substr(prefix.size())] = (f->flags & PFILE_FLAG_FOLDER) ? "<folder>" : str(f->contents);
        }
        return out;
    }

    int32_t ram_entries() { return pfile_count_of_kind(PFILE_RAM); }

    std::string text_cart(const std::string& root, int flags = 0) { return cart(root, flags, false); }
    std::string rom_cart(const std::string& root, int flags = 0) { return cart(root, flags, true); }
    std::string cart(const std::string& root, int flags, bool rom) {
        pbuffer* b = create_buffer_2(16, 0);
        if (rom) write_q64_rom_from_ram_files(b, root.c_str(), flags);
        else write_q64_from_ram_files(b, root.c_str(), flags);
        std::string s = str(b);
        destroy_buffer(b);
        return s;
    }

    int read_text(const std::string& root, const std::string& bytes) { return read(root, bytes, false); }
    int read_rom(const std::string& root, const std::string& bytes) { return read(root, bytes, true); }
    int read(const std::string& root, const std::string& bytes, bool rom) {
        pmkdir(root.c_str());
        pbuffer* b = buffer_of(bytes);
        int r = rom ? populate_ram_folder_from_q64_rom_buffer(b, root.c_str())
                    : populate_ram_folder_from_q64_buffer(root.c_str(), b);
        EXPECT_EQ(b->cursor, b->length);
        destroy_buffer(b);
        return r;
    }

    // Reads each case into its own folder: the result, what landed there, that nothing landed
    // anywhere else, and the messages printed.
    struct read_case {
        const char* root;
        std::string bytes;
        int result;
        tree_t files;
        std::vector<std::string> messages = {};
    };
    void expect_reads(bool rom, const std::vector<read_case>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.root);
            int32_t before = ram_entries();
            testing::internal::CaptureStdout();
            EXPECT_EQ(read(c.root, c.bytes, rom), c.result);
            std::string out = captured();
            EXPECT_EQ(tree(c.root), c.files);
            EXPECT_EQ(ram_entries(), before + 1 + int32_t(c.files.size()));
            for (const auto& m : c.messages) EXPECT_NE(out.find(m), std::string::npos) << m << " in " << out;
            delete_path(c.root);
        }
    }
};

using CartText = Cart;
using CartRom = Cart;
using CartPxa = Cart;
using CartMount = Cart;
using CartFuzz = Cart;

// ---------------------------------------------------------------------------
// Text cartridge: writing

TEST_F(CartText, ExactLinesOfTextHexAndBase64Bodies) {
    pmkdir("/ram/empty");
    EXPECT_EQ(text_cart("/ram/empty"), HEADER + ":: [eoc]\n");
    EXPECT_EQ(text_cart("/ram/not_there"), HEADER + ":: [eoc]\n");
    put("/ram/e/x.bin", "");  // an empty encoded file is the marker line alone
    put("/ram/e/y.lua", "");
    EXPECT_EQ(text_cart("/ram/e"), HEADER + ":: y.lua\n\n:: x.bin\nb64$\n:: [eoc]\n");

    pmkdir("/ram/t");
    pmkdir("/ram/t/gfx");
    put("/ram/t/main.lua", "abc\n");
    put("/ram/t/data.bin", std::string("\0\1\2hi", 5));
    put("/ram/t/gfx/.info.mox", "title=\"x\"");
    put("/ram/t/notes.txt", ":: x");
    put("/ram/other.lua", "not under the root");
    // Folders first, then plain text files, then .info.mox and encoded files, each pass in
    // table order.
    const char* body = ":: gfx/\n:: main.lua\nabc\n\n:: data.bin\n%s$%s\n:: gfx/.info.mox\ntitle=\"x\"\n"
                       ":: notes.txt\n%s$%s\n:: [eoc]\n";
    char want[512];
    snprintf(want, sizeof want, body, "b64", "AAECaGk=", "b64", "OjogeA==");
    EXPECT_EQ(text_cart("/ram/t"), HEADER + want);
    snprintf(want, sizeof want, body, "hex", "0001026869", "hex", "3a3a2078");
    EXPECT_EQ(text_cart("/ram/t/", 1), HEADER + want);

    // A folder named as text is also written in the text pass.
    pmkdir("/ram/f");
    pmkdir("/ram/f/lib.lua");
    EXPECT_EQ(text_cart("/ram/f"), HEADER + ":: lib.lua/\n:: lib.lua/\n:: [eoc]\n");
    EXPECT_EQ(read_text("/ram/g", text_cart("/ram/f")), 0);
    EXPECT_EQ(tree("/ram/g"), (tree_t{{"lib.lua", "<folder>"}}));
}

TEST_F(CartText, TwoHundredBinaryBytesMakeFourBodyLines) {
    std::string data(200, 'q');
    data[7] = 0;
    put("/ram/b/blob.dat", data);
    // base64: 54 bytes on the marker line, then 57 a line; the last 32 with their own padding.
    EXPECT_EQ(text_cart("/ram/b"), HEADER + ":: blob.dat\nb64$" + b64(data.substr(0, 54)) + "\n" +
                                       b64(data.substr(54, 57)) + "\n" + b64(data.substr(111, 57)) + "\n" +
                                       b64(data.substr(168)) + "\n:: [eoc]\n");
    // Hex: 36 bytes on the marker line, 38 after.
    std::string s = text_cart("/ram/b", 1);
    std::string start = ":: blob.dat\nhex$" + hex(data.substr(0, 36)) + "\n" + hex(data.substr(36, 38)) + "\n";
    EXPECT_EQ(s.substr(HEADER.size(), start.size()), start);
}

TEST_F(CartText, TextTestLooksAtExtensionAndContents) {
    const char* files[][3] = {{"a.TXT", "upper case extension", ":: a.TXT\nupper case extension\n"},
                              {"b.lua", "caf\xc3\xa9", ":: b.lua\nb64$"},
                              {"c.lua", "hex$ab", ":: c.lua\nb64$"},
                              {"d.b.lua", "two-part extension", ":: d.b.lua\nb64$"},
                              {"e.lua", "line\r\nwith cr\r\n", ":: e.lua\nline\r\nwith cr\r\n\n"}};
    for (const auto& f : files) put(std::string("/ram/k/") + f[0], f[1]);
    std::string s = text_cart("/ram/k");
    for (const auto& f : files) EXPECT_NE(s.find(f[2]), std::string::npos) << f[0];
}

TEST_F(CartText, NamesTheReaderWouldMangleAreRefused) {
    put("/ram/s/ok.lua", "1");
    ASSERT_TRUE(put("/ram/s/my#a file.lua", "2"));
    ASSERT_TRUE(put("/ram/s2/x#\n:: [eoc]", "a name that would end the cartridge"));
    ASSERT_TRUE(put("/ram/d/a..b.lua", "dropped by the reader"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(text_cart("/ram/s"), "");
    EXPECT_EQ(text_cart("/ram/s2"), "");
    EXPECT_EQ(text_cart("/ram/d"), "");
    EXPECT_NE(captured().find("my#a file.lua"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Text cartridge: reading

TEST_F(CartText, ReadingStaysInsideTheRootAndRefusesBadEntries) {
    const std::string bin("\0\1\2hi", 5);
    std::string long_name;
    for (char c = 'a'; c < 'f'; c++) long_name += std::string(250, c) + "/";
    std::string deep_name;  // a million bytes of folders, looked at in one pass
    while (deep_name.size() < (size_t(1) << 20)) deep_name += "a/";
    expect_reads(false, {
        {"/ram/r", HEADER + "stray line before any entry\n:: main.lua\nabc\n\n:: sub/\ndropped: a folder has no body\n"
                            ":: sub/b.txt\nno newline\n:: empty.lua\n\n:: x.bin\nb64$AAEC\naGk=\n"
                            ":: y.bin\nhex$0a0b0\nff\n:: [eoc]\n:: after.lua\nignored\n",
         0, {{"main.lua", "abc\n"}, {"sub", "<folder>"}, {"sub/b.txt", "no newline"}, {"empty.lua", "\n"},
             {"x.bin", bin}, {"y.bin", "\x0a\x0b\xff"}}},
        // The header lines are skipped whatever they hold; only the version counts.
        {"/ram/h", "anything at all\nversion 2\n\n:: a.lua\nA\n:: [eoc]\n", 0, {{"a.lua", "A"}}},
        {"/ram/v3", "orvalune cartridge // x\nversion 3\n\n:: a.lua\nA\n:: [eoc]\n", 1, {}},
        {"/ram/v0", "no version line", 1, {}},
        {"/ram/v_empty", "", 0, {}},  // an empty file is an empty cartridge
        {"/ram/cr", "x\r\nversion 2\r\n\r\n:: a.lua\r\none\r\ntwo\r\n\n:: [eoc]\r\n", 0, {{"a.lua", "one\r\ntwo\r\n"}}},
        {"/ram/n", HEADER + ":: a.lua\nfirst\nsecond", 0, {{"a.lua", "first\nsecond"}},
         {"** warning: no [eoc] found while mounting /ram/n"}},
        // ".." entries and paths through a cartridge name are ignored with their bodies.
        {"/ram/p", HEADER + ":: ../escape.lua\nevil\n:: a/../../x/\n:: ok.lua\nfine\n:: [eoc]\n", 1,
         {{"ok.lua", "fine"}}},
        {"/ram/t1", HEADER + ":: a.q64\nY\n:: a.q64/x\nX\n:: ok.lua\nfine\n:: [eoc]\n", 1,
         {{"a.q64", "Y"}, {"ok.lua", "fine"}}},
        {"/ram/t2", HEADER + ":: a.q64/x\nX\n:: a.q64\nY\n:: ok.lua\nfine\n:: [eoc]\n", 1,
         {{"a.q64", "Y"}, {"ok.lua", "fine"}}},
        // A file named like a cartridge written twice is placed, never mounted.
        {"/ram/t3", HEADER + ":: g/0.q64\nhex$00\n:: g/0.q64\nZ\n:: [eoc]\n", 0,
         {{"g/0.q64", "Z"}}},
        {"/ram/long", HEADER + ":: a.lua\nA\n:: " + long_name + "x.txt\nX\n:: z.lua\nZ\n:: [eoc]\n", 1,
         {{"a.lua", "A"}}, {"bad file description"}},
        {"/ram/deep", HEADER + ":: a.lua\nA\n:: " + deep_name + "x.txt\nX\n:: [eoc]\n", 1, {{"a.lua", "A"}},
         {"bad file description"}},
        // base64 lines over 1023 characters are skipped.
        {"/ram/l", HEADER + ":: x.bin\nb64$AAEC\n" + std::string(1024, 'A') + "\naGk=\n:: [eoc]\n", 1,
         {{"x.bin", bin}}},
        {"/ram/l2", HEADER + ":: x.bin\nb64$AAEC\n" + std::string(1023, 'A') + "\n:: [eoc]\n", 0,
         {{"x.bin", std::string("\0\1\2", 3) + std::string(1023 * 3 / 4, '\0')}}},
        // Version 1: "name size:attribs [..hex]" lines.
        {"/ram/v1", "header\nversion 1\n## a comment line\nmain.lua 12:0 [xx616263]\nsub 0:1\n"
                    "sub/a#[1].txt 3:0 [..41]\nodd.txt 0:0 [..414]\njunk.txt 0:0 [..4142] x]\n\nafter.lua 0:0 [..42]\n",
         0, {{"main.lua", "abc"}, {"sub", "<folder>"}, {"sub/a#[1].txt", "A"}, {"odd.txt", "A"},
             {"junk.txt", std::string("AB\0", 3)}}},
        {"/ram/v1b", "h\nversion 1\nshort.txt 0:0 [\nclose.txt 0:0 [x]\nnone.txt 0:0 abc\n", 1,
         {{"short.txt", ""}, {"close.txt", ""}, {"none.txt", ""}},
         {"could not read legacy q64; file contents missing", "attribs: 0 new_path: /ram/v1b/none.txt"}},
        {"/ram/v1c", "h\nversion 1\n../up.txt 0:0 [..41]\nok.txt 0:0 [..41]\n", 1, {{"ok.txt", "A"}}},
    });
    EXPECT_EQ(get("/ram/escape.lua"), std::nullopt);
}

TEST_F(CartText, RoundTripsKeepEveryFileExactly) {
    tree_t files = {
        {"main.lua", "print(1)\n"}, {"nonl.lua", "no final newline"}, {"two.lua", "\n\n"},
        {"entry_first.lua", ":: looks like an entry\nsecond\n"}, {"entry_later.txt", "ok\n:: [eoc]\nmore\n"},
        {"marker.lua", "b64$AAAA\n"}, {"later_marker.lua", "x\nhex$00\n"}, {"bin_newline.dat", std::string("\0\n", 2)},
        {"nl.dat", "a\n\n"}, {"zz.info.mox", "title=\"last\"\n"}, {"sub/deep/f.txt", "deep\n"},
    };
    for (const auto& [name, data] : files) ASSERT_TRUE(put("/ram/src/" + name, data)) << name;
    for (const char* d : {"/ram/src/sub", "/ram/src/sub/deep", "/ram/src/emptydir"}) pmkdir(d);
    auto expected = tree("/ram/src");
    std::string once = text_cart("/ram/src");
    ASSERT_EQ(read_text("/ram/dst", once), 0);
    EXPECT_EQ(tree("/ram/dst"), expected);
    EXPECT_EQ(text_cart("/ram/dst"), once);  // a second trip gives the same bytes
    std::string in_hex = text_cart("/ram/src", 1);
    EXPECT_EQ(in_hex.substr(0, HEADER.size()), HEADER);
    ASSERT_EQ(read_text("/ram/dst_hex", in_hex), 0);
    EXPECT_EQ(tree("/ram/dst_hex"), expected);
}

// ---------------------------------------------------------------------------
// .q64.rom

TEST_F(CartRom, OneSmallFileAndSizeBytesAreByteExact) {
    put("/ram/one/main.lua", "abc");
    // The 13-byte entry list is too short for LZ4 to match anything: one literal run.
    const uint8_t expected[] = {'q', '6', '4', 2,   14,  0,   0,   0,   0xd0, 'm', 'a',
                                'i', 'n', '.', 'l', 'u', 'a', 0,   3,   'a',  'b', 'c'};
    EXPECT_EQ(rom_cart("/ram/one"), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
    EXPECT_EQ(rom_cart("/ram/one/"), rom_cart("/ram/one"));

    pmkdir("/ram/sz");
    pmkdir("/ram/sz/d");
    put("/ram/sz/a", std::string(254, 'x'));
    put("/ram/sz/b", std::string(255, 'y'));
    put("/ram/sz/d/c", std::string(70000, 'z'));
    EXPECT_EQ(payload_of(rom_cart("/ram/sz")),
              std::string("a\0", 2) + char(254) + std::string(254, 'x') + std::string("b\0\xff\xff\0\0\0", 7) +
                  std::string(255, 'y') + std::string("d/\0", 3) + std::string("d/c\0\xff\x70\x11\x01\0", 9) +
                  std::string(70000, 'z'));
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
    // An empty folder too, quietly.
    pmkdir("/ram/nothing");
    rom = rom_cart("/ram/nothing");
    ASSERT_GE(rom.size(), 9u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_rom("/ram/nothing_back", rom), 0);
    EXPECT_EQ(captured(), "");
    EXPECT_TRUE(tree("/ram/nothing_back").empty());
}

TEST_F(CartRom, ReadingStaysInsideTheRootAndRefusesBadEntries) {
    put("/ram/ps/a.lua", "A");
    std::string rom = rom_cart("/ram/ps");
    std::string lying = rom;  // packed size one more than there is
    lying[4] = char(uint8_t(lying[4]) + 1);
    std::string name400 = std::string(200, 'p') + "/" + std::string(199, 'q');
    const char* bad_description = "** bad file description while mounting .q64.rom: ";
    expect_reads(true, {
        {"/ram/dd", rom_of_list(entry("a.lua", "x") + entry("../evil.lua", "y") + entry("b.lua", "z")), 1,
         {{"a.lua", "x"}}, {bad_description + std::string("../evil.lua\n")}},
        {"/ram/tc", rom_of_list(entry("a.q64", "y") + entry("a.q64/x", "x")), 1, {{"a.q64", "y"}},
         {bad_description + std::string("a.q64/x\n")}},
        // Names over 400 bytes, empty or without their terminator stop reading; 400 is a name.
        {"/ram/n1", rom_of_list(entry("a", "x") + entry(std::string(401, 'n'), "y")), 1, {{"a", "x"}},
         {"  *** q64.rom filename parsing failed"}},
        {"/ram/n2", rom_of_list(entry("a", "x") + entry("", "y")), 1, {{"a", "x"}}},
        {"/ram/n3", rom_of_list(entry("a", "x") + "tail"), 1, {{"a", "x"}}},
        {"/ram/n4", rom_of_list(entry(name400, "y")), 0, {{name400, "y"}}},
        // Size byte missing, u32 cut short, a size that does not fit a signed 32-bit length.
        {"/ram/l1", rom_of_list(std::string("a\0", 2)), 1, {}},
        {"/ram/l2", rom_of_list(std::string("a\0\xff\1\0", 5)), 1, {}},
        {"/ram/l3", rom_of_list(std::string("a\0\xff\0\0\0\x80xyz", 10)), 1, {},
         {"** bad file length -2147483648 (3) while mounting .q64.rom: a"}},
        {"/ram/l4", rom_of_list(std::string("a\0\x09xyz", 6)), 1, {{"a", "xyz"}}},  // clipped to what is left
        // The packed size is checked against the buffer.
        {"/ram/ps1", lying, 1, {}, {"  *** q64.rom decompression failed: /ram/ps1\n"}},
        {"/ram/ps2", rom.substr(0, 6), 1, {}},
        {"/ram/ps3", rom.substr(0, 8) + std::string(rom.size() - 8, '\xff'), 1, {}},
        // Plain code becomes main.lua, up to a zero byte.
        {"/ram/pc", "print(\"plain\")", 0, {{"main.lua", "print(\"plain\")"}}},
        {"/ram/pc0", std::string("cls()\0junk", 10), 1, {{"main.lua", "cls()"}}},
        {"/ram/pc1", "ab", 1, {}},
        {"/ram/pc2", "", 0, {}},
    });
    EXPECT_EQ(get("/ram/evil.lua"), std::nullopt);
}

TEST_F(CartRom, TooManyEntriesStopAtTheLimit) {
    std::string list;
    for (int i = 0; i < Q64_ROM_MAX_ENTRIES + 1; i++) list += entry("f" + std::to_string(i), "");
    EXPECT_EQ(read_rom("/ram/many", rom_of_list(list)), 1);
    EXPECT_EQ(int(tree("/ram/many").size()), Q64_ROM_MAX_ENTRIES);
}

TEST_F(CartRom, SystemRomAndKeepExisting) {
    // A system rom with an empty root fills /system.
    pbuffer* b = buffer_of(rom_of_list(std::string("system/\0", 8) + entry("system/boot.lua", "hello")));
    EXPECT_EQ(populate_ram_folder_from_q64_rom_buffer_ex("", b, "/system", false), 0);
    destroy_buffer(b);
    EXPECT_EQ(get("/system/boot.lua"), "hello");

    // Entries outside the folder being filled, and plain code, never land on the drive.
    host_put(drive + "/notes.txt", "mine");
    b = buffer_of(rom_of_list(entry("notes.txt", "rom") + entry("docs/a.txt", "rom") + entry("system/x", "sys")));
    EXPECT_EQ(populate_ram_folder_from_q64_rom_buffer_ex("", b, "/system", false), 1);
    destroy_buffer(b);
    EXPECT_EQ(get("/system/x"), "sys");
    EXPECT_EQ(host_get(drive + "/notes.txt"), "mine");
    EXPECT_EQ(host_names(drive), (std::vector<std::string>{"notes.txt"}));
    b = buffer_of("print('x')");
    EXPECT_FALSE(is_q64_rom_image(b));
    EXPECT_EQ(populate_ram_folder_from_q64_rom_buffer_ex("", b, "/system", false), 1);
    destroy_buffer(b);
    EXPECT_EQ(host_names(drive), (std::vector<std::string>{"notes.txt"}));
    for (const std::string& bad : {std::string("q64"), std::string("q64\2\xff\0\0\0xx")}) {
        b = buffer_of(bad);
        EXPECT_FALSE(is_q64_rom_image(b));
        destroy_buffer(b);
    }
    b = buffer_of(rom_of_list(entry("system/x", "sys")));
    EXPECT_TRUE(is_q64_rom_image(b));
    destroy_buffer(b);

    put("/ram/ke/a", "old");
    std::string list = entry("a", "new") + entry("b", "bbb");
    for (bool keep : {true, false}) {
        b = buffer_of(rom_of_list(list));
        EXPECT_EQ(populate_ram_folder_from_q64_rom_buffer_ex("/ram/ke", b, "/ram/ke", keep), 0);
        destroy_buffer(b);
        EXPECT_EQ(get("/ram/ke/a"), keep ? "old" : "new");
        EXPECT_EQ(get("/ram/ke/b"), "bbb");
    }
}

TEST_F(CartRom, LabelFlagsSkipLabelsAndKeepMetadata) {
    put("/ram/lb/label.png", "png");
    put("/ram/lb/label.qoi", "qoi");
    put("/ram/lb/sub/label.png", "kept: not directly under the root");
    put("/ram/lb/.info.mox", "title=\"t\"");
    EXPECT_EQ(payload_of(rom_cart("/ram/lb", Q64_ROM_SKIP_LABEL)),
              entry(".info.mox", "title=\"t\"") + entry("sub/label.png", "kept: not directly under the root"));
    EXPECT_NE(payload_of(rom_cart("/ram/lb", 0)).find("label.qoi"), std::string::npos);
    rom_cart("/ram/lb", 28);
    ASSERT_NE(q64_rom_captured_metadata(), nullptr);
    EXPECT_EQ(str(q64_rom_captured_metadata()), "title=\"t\"");
    rom_cart("/ram/nothing_here", Q64_ROM_CAPTURE_METADATA);
    EXPECT_EQ(q64_rom_captured_metadata(), nullptr);
}

TEST_F(CartRom, WriterRefusesWhatTheReaderRefusesAndPayloadsOverSixtyFourMegabytes) {
    std::string name = std::string(200, 'a') + "/" + std::string(200, 'b');  // 401 bytes
    put("/ram/w1/" + name, "x");
    put("/ram/w2/a..b", "x");
    put("/ram/w3/" + std::string(200, 'a') + "/" + std::string(198, 'b'), "x");  // 400 with the "/"
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_cart("/ram/w1"), "");
    EXPECT_EQ(rom_cart("/ram/w2"), "");
    EXPECT_NE(captured().find("name longer than 400 bytes"), std::string::npos);
    EXPECT_NE(rom_cart("/ram/w3"), "");

    for (int i = 0; i < Q64_ROM_MAX_ENTRIES; i++) ASSERT_TRUE(put("/ram/cnt/f" + std::to_string(i), ""));
    EXPECT_NE(rom_cart("/ram/cnt"), "");
    put("/ram/cnt/one_more", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_cart("/ram/cnt"), "");
    EXPECT_NE(captured().find("more than 16384 entries"), std::string::npos);

    // Payloads over 64 MB.
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

// ---------------------------------------------------------------------------
// pxa

// Builds pxa bit streams: bits least significant first.
struct pxa_writer {
    std::string bytes = std::string(8, '\0');
    int at = 0;
    pxa_writer& bits(uint32_t v, int n) {
        for (int i = 0; i < n; i++, at = (at + 1) & 7) {
            if (at == 0) bytes.push_back(0);
            if ((v >> i) & 1) bytes.back() = char(uint8_t(bytes.back()) | (1 << at));
        }
        return *this;
    }
    pxa_writer& literal(int index) {  // a one bit, then the move-to-front index
        int k = 0;
        while (index >= 16 * ((1 << (k + 1)) - 1)) k++;
        return bits(1, 1).bits((1u << k) - 1, k).bits(0, 1).bits(uint32_t(index - 16 * ((1 << k) - 1)), 4 + k);
    }
    pxa_writer& copy(int offset, int length) {
        bits(0, 1);
        if (offset <= 32) bits(3, 2).bits(uint32_t(offset - 1), 5);
        else if (offset <= 1024) bits(1, 2).bits(uint32_t(offset - 1), 10);
        else bits(0, 1).bits(uint32_t(offset - 1), 15);
        int left = length - 3;
        for (; left >= 7; left -= 7) bits(7, 3);
        return bits(uint32_t(left), 3);
    }
    pxa_writer& raw(const std::string& s) {
        bits(2, 3).bits(0, 10);
        for (char c : s) bits(uint8_t(c), 8);
        return bits(0, 8);
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

TEST_F(CartPxa, DecodesAndEndsAtBadCopiesIndexesAndLengths) {
    // 'a' is index 97 (16 x 3 + 49, two extra one bits); 'b' is still at 98 as only entries
    // before 'a' moved; then 'a' is second, then at the front.
    EXPECT_EQ(pxa(pxa_writer().literal('a').literal('b').literal(1).literal(0).literal(255).finish(5)), "aba" "a\xff");
    // Overlapping copies repeat; one byte back is a run.
    EXPECT_EQ(pxa(pxa_writer().literal('a').literal('b').literal('c').copy(3, 6).copy(1, 12).finish(21)),
              "abcabcabc" + std::string(12, 'c'));
    // Raw bytes leave the move-to-front table alone; a copy from 46 back.
    pxa_writer w;
    w.raw("hello").literal('o');
    for (int i = 0; i < 40; i++) w.literal(0);
    std::string expect = "hello" + std::string(41, 'o') + "hello";
    EXPECT_EQ(pxa(w.copy(46, 5).finish(int(expect.size()))), expect);
    // A copy from before the output, an index above 255 (five extra ones) or past the limit
    // ends decoding.
    EXPECT_EQ(pxa(pxa_writer().literal('x').copy(2, 3).literal('y').finish(5)), "x");
    EXPECT_EQ(pxa(pxa_writer().literal('x').bits(1, 1).bits(31, 5).bits(0, 1).bits(0, 9).finish(2)), "x");
    EXPECT_EQ(pxa(pxa_writer().literal('a').copy(1, 20).finish(21), 10), "a");
    // So does either stated length.
    pxa_writer abc = pxa_writer().literal('a').literal('b').literal('c');
    EXPECT_EQ(pxa(abc.finish(2)), "ab");
    std::string cut = abc.finish(3);
    cut[7] = 10;  // compressed length ends inside the second literal
    EXPECT_EQ(pxa(cut), "a");
    EXPECT_EQ(pxa(std::string("\0pxa", 4)), "");
    // The rom reader mounts pxa as main.lua.
    EXPECT_EQ(read_rom("/ram/px", pxa_writer().raw("print(1)").finish(8)), 0);
    EXPECT_EQ(tree("/ram/px"), (tree_t{{"main.lua", "print(1)"}}));
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
    // A new empty rom cartridge stays writable.
    EXPECT_EQ(pmkdir("/n.q64.rom"), 0);
    flush_dirty_mounts_immediately();
    ASSERT_TRUE(host_get(drive + "/n.q64.rom").has_value());
    delete_clean_ram_mounts();
    EXPECT_TRUE(put("/n.q64.rom/a.lua", "A"));
    flush_dirty_mounts_immediately();
    delete_clean_ram_mounts();
    EXPECT_EQ(get("/n.q64.rom/a.lua"), "A");
}

TEST_F(CartMount, FailedOrPartReadingIsNeverWrittenBack) {
    const std::string kept[][2] = {
        {"/t.q64", "orvalune cartridge // x\nversion 3\n\n:: a.lua\nkeep me\n:: [eoc]\n"},
        {"/r.q64.rom", std::string("q64\2\x40\0\0\0", 8) + std::string(10, '\x55')},
        {"/p.q64.png", "\x89PNG not readable here"},
        {"/part.q64.rom", rom_of_list(entry("a.lua", "A") + entry("../x", "B") + entry("c.lua", "C"))},
    };
    for (const auto& k : kept) host_put(drive + k[0], k[1]);
    testing::internal::CaptureStdout();
    EXPECT_EQ(get("/part.q64.rom/a.lua"), "A");
    EXPECT_TRUE(put("/part.q64.rom/a.lua", "changed"));
    for (const char* c : {"/t.q64", "/r.q64.rom", "/p.q64.png"})
        EXPECT_TRUE(put(c + std::string("/new.lua"), "x")) << c;
    flush_dirty_mounts_immediately();
    std::string out = captured();
    for (const auto& k : kept) EXPECT_EQ(host_get(drive + k[0]), k[1]) << k[0];
    EXPECT_NE(out.find("not read whole"), std::string::npos);
    EXPECT_NE(out.find("can not populate /ram/mount/m"), std::string::npos);
    EXPECT_NE(out.find("\n** not an image cartridge"), std::string::npos);
    EXPECT_EQ(get("/t.q64/new.lua"), "x");  // the changes are still readable in memory
}

TEST_F(CartMount, RefusedWriteKeepsTheOldFile) {
    for (const char* c : {"/k.q64.rom", "/k.q64"}) {
        EXPECT_EQ(pmkdir(c), 0);
        EXPECT_TRUE(put(c + std::string("/a.lua"), "A"));
    }
    flush_dirty_mounts_immediately();
    auto old_rom = host_get(drive + "/k.q64.rom");
    auto old_text = host_get(drive + "/k.q64");
    ASSERT_TRUE(old_rom && old_text);
    EXPECT_TRUE(put("/k.q64.rom/" + std::string(200, 'a') + "/" + std::string(200, 'b'), "too long a name"));
    EXPECT_TRUE(put("/k.q64/with#a space.lua", "the reader would cut the name"));
    // The window manager (process 3) is told, not only the log.
    processes_init();
    for (int i = 0; i < 3; i++) ASSERT_NE(create_process_from_code("", "p", "/p.lua", ""), nullptr);
    testing::internal::CaptureStdout();
    flush_dirty_mounts_immediately();
    captured();
    EXPECT_EQ(host_get(drive + "/k.q64.rom"), old_rom);
    EXPECT_EQ(host_get(drive + "/k.q64"), old_text);
    int told = 0;
    while (pbuffer* m = read_process_message(get_process(3), nullptr))
        told += str(m).find("user_notification") != std::string::npos && str(m).find("can not write") != std::string::npos;
    EXPECT_EQ(told, 2);
    processes_init();
}

// ---------------------------------------------------------------------------
// Mutated input: the readers must stay inside their root, in bounds, and finish.

std::string mutate(std::string s, std::mt19937& rng) {
    static const char* tokens[] = {":: ", "\n", ":: [eoc]\n", "b64$", "hex$", "..", "/", "[", "]", "\xff"};
    for (int e = 0, edits = 1 + int(rng() % 4); e < edits; e++) {
        size_t at = s.empty() ? 0 : rng() % s.size();
        switch (rng() % 6) {
        case 0: if (!s.empty()) s[at] = char(rng()); break;
        case 1: if (!s.empty()) s[at] = char(uint8_t(s[at]) ^ (1u << (rng() % 8))); break;
        case 2: s.insert(at, 1, char(rng())); break;
        case 3: if (!s.empty()) s.erase(at, 1 + rng() % 8); break;
        case 4: s.resize(at); break;
        default: s.insert(at, tokens[rng() % 10]); break;
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
    seeds.push_back(pxa_writer().literal('a').raw("xyz").copy(4, 9).finish(13));

    testing::internal::CaptureStdout();
    for (int i = 0; i < 3000; i++) {
        std::string input = mutate(seeds[size_t(i) % seeds.size()], rng);
        std::string root = "/ram/fz/" + std::to_string(i);
        int32_t outside_before = ram_entries() - int32_t(tree("/ram/fz").size());
        if (i % 3 == 2) {
            pbuffer* b = buffer_of(input);
            std::vector<uint8_t> out(257, 0xEE);
            pxa_decompress(b, out.data(), 256);
            EXPECT_NE(std::find(out.begin(), out.end(), 0), out.end());
            destroy_buffer(b);
        } else {
            read(root, input, i % 3 == 1);
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
