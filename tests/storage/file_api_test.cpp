// The file script functions run as scripts inside a process, on a temporary host drive at "/"
// and a ram folder at "/ram".
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "kernel/api.h"
#include "kernel/app.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/host.h"
#include "storage/file_api.h"
#include "storage/pdisk.h"

namespace {

std::optional<std::string> host_get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void host_put(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> host_names(const std::string& folder) {
    std::vector<std::string> out;
    DIR* d = opendir(folder.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
    }
    closedir(d);
    return out;
}

// Every byte value but 13 (which host text drops), zero included.
std::string all_bytes_but_cr() {
    std::string s;
    for (int c = 0; c < 256; c++) {
        if (c != 13) s.push_back(char(c));
    }
    return s;
}

// A script text literal holding the bytes exactly.
std::string lua_literal(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        char esc[8];
        snprintf(esc, sizeof esc, "\\%03d", c);
        out += esc;
    }
    return out + "\"";
}

struct FileApi : testing::Test {
    std::string home;
    std::string drive;
    process_record* p = nullptr;
    app_config saved_config;

    void SetUp() override {
        saved_config = config;
        processes_init();
        set_default_config();
        memset(&app, 0, sizeof(app));
        std::string tmpl = std::string(getenv("HOME")) + "/file_api_XXXXXX";
        std::vector<char> t(tmpl.begin(), tmpl.end());
        t.push_back(0);
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        home = t.data();
        drive = home + "/drive";
        ASSERT_EQ(mkdir(drive.c_str(), 0755), 0);
        snprintf(config.home_folder, sizeof(config.home_folder), "%s", (home + "/appdata").c_str());
        mkdir((home + "/appdata").c_str(), 0755);
        pfile_init();
        pfile_reset();
        mount_host_path("/", drive.c_str());
        mount_ram_folder("/ram");
        p = create_process_from_code("", "test", "/apps/test.lua", "");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
    }

    void TearDown() override {
        processes_init();
        pfile_reset();
        memset(&app, 0, sizeof(app));
        config = saved_config;
        std::string cmd = "rm -rf '" + home + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << home;
    }

    // Runs a chunk in rec and returns each result: strings byte for byte, other values as
    // tostring gives them; a failure comes back as one "error: " text.
    static std::vector<std::string> results_in(process_record* rec, const std::string& code) {
        set_current_process(rec);
        lua_State* L = rec->L;
        int top = lua_gettop(L);
        std::vector<std::string> out;
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
            out.push_back(std::string("error: ") + lua_tostring(L, -1));
        } else {
            for (int i = top + 1; i <= lua_gettop(L); i++) {
                size_t n = 0;
                const char* s = lua_type(L, i) == LUA_TSTRING ? lua_tolstring(L, i, &n) : luaL_tolstring(L, i, &n);
                out.emplace_back(s, n);
                if (lua_type(L, i) != LUA_TSTRING) lua_pop(L, 1);
            }
        }
        lua_settop(L, top);
        return out;
    }
    std::vector<std::string> results(const std::string& code) { return results_in(p, code); }
    // The single result of an expression (or a marker for none or several).
    std::string run(const std::string& expr) {
        auto r = results("return " + expr);
        if (r.size() == 1) return r[0];
        return "<" + std::to_string(r.size()) + " results>";
    }
    size_t count(const std::string& expr) { return results("return " + expr).size(); }
    std::string exec(const std::string& code) {
        auto r = results(code);
        return r.empty() ? "" : r[0];
    }

    pmount* mount_at(const char* mount_point) {
        for (int32_t i = 0; i < pmounts; i++) {
            if (strcmp(reinterpret_cast<const char*>(pmount_table[i].mount_point->data), mount_point) == 0)
                return &pmount_table[i];
        }
        return nullptr;
    }
};

// --- Paths, listings, folders, status --------------------------------------------------------------

TEST_F(FileApi, FullpathForms) {
    EXPECT_EQ(run("fullpath('anywhen://x/y..z')"), "anywhen://x/y..z");
    EXPECT_EQ(run("fullpath('/a//b/./c/')"), "/a/b/c");
    EXPECT_EQ(run("fullpath('/a/b/../../..')"), "/");
    EXPECT_EQ(count("fullpath('a b')"), 0u);
    EXPECT_EQ(count("fullpath()"), 0u);
    EXPECT_EQ(count("fullpath(12)"), 0u);
    snprintf(p->pwd, sizeof p->pwd, "/docs/work");
    EXPECT_EQ(run("_fullpath('x.txt')"), "/docs/work/x.txt");
    EXPECT_EQ(run("fullpath('../y')"), "/docs/y");
}

TEST_F(FileApi, ListingPutsFoldersFirstInNaturalOrder) {
    mkdir((drive + "/d").c_str(), 0755);
    mkdir((drive + "/d/b").c_str(), 0755);
    mkdir((drive + "/d/A").c_str(), 0755);
    for (const char* n : {"file10", "file2", "C.txt", ".hidden"}) host_put(drive + "/d/" + n, "x");
    auto r = results("local t, n = ls('/d') return table.concat(t, ','), n, #t");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], "A,b,C.txt,file2,file10");
    EXPECT_EQ(r[1], "2");
    EXPECT_EQ(r[2], "5");
    // Relative to the working directory, and the root by default.
    snprintf(p->pwd, sizeof p->pwd, "/d");
    EXPECT_EQ(run("table.concat(_ls('b'), ',')"), "");
    auto root = results("local t, n = ls() return table.concat(t, ','), n");
    ASSERT_EQ(root.size(), 2u);
    EXPECT_EQ(root[0], "d,ram");
    EXPECT_EQ(root[1], "2");
    EXPECT_EQ(count("ls('/no such')"), 0u);
    EXPECT_EQ(count("ls('/missing')"), 0u);
}

TEST_F(FileApi, MkdirTwiceAndItsMessages) {
    EXPECT_EQ(count("mkdir('/new')"), 0u);
    struct stat st;
    EXPECT_TRUE(stat((drive + "/new").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_EQ(run("mkdir('/new')"), "mkdir: directory already exists");
    EXPECT_EQ(run("_mkdir('/ram')"), "mkdir: directory already exists");
    EXPECT_EQ(run("mkdir()"), "mkdir: no path");
    EXPECT_EQ(run("mkdir(5)"), "mkdir: no path");
    EXPECT_EQ(run("mkdir('/missing/deeper')"), "mkdir failed");
    EXPECT_EQ(run("mkdir('bad name')"), "mkdir failed");
    EXPECT_EQ(count("mkdir('/ram/f')"), 0u);
    EXPECT_EQ(run("mkdir('/ram/f')"), "mkdir: directory already exists");
}

TEST_F(FileApi, FstatOfFilesFoldersMountsAndNothing) {
    host_put(drive + "/f.dat", "12345");
    auto f = results("return fstat('/f.dat')");
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0], "file");
    EXPECT_EQ(f[1], "5");
    EXPECT_EQ(f[2], "nil");

    mkdir((drive + "/sub").c_str(), 0755);
    auto d = results("return _fstat('/sub')");
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0], "folder");
    EXPECT_EQ(d[2], "nil");

    auto root = results("return fstat('/')");
    ASSERT_EQ(root.size(), 3u);
    EXPECT_EQ(root[0], "folder");
    mkdir((home + "/other").c_str(), 0755);
    mount_host_path("/hd", (home + "/other").c_str());
    auto hd = results("return fstat('/hd')");
    ASSERT_EQ(hd.size(), 3u);
    EXPECT_EQ(hd[0], "folder");
    EXPECT_EQ(hd[2], "host:" + home + "/other");

    auto ram = results("return fstat('/ram')");
    ASSERT_EQ(ram.size(), 3u);
    EXPECT_EQ(ram[0], "folder");
    EXPECT_EQ(ram[1], "0");
    EXPECT_EQ(ram[2], "/ram");

    exec("store('/ram/x', 'abc', '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    auto rf = results("return fstat('/ram/x')");
    ASSERT_EQ(rf.size(), 3u);
    EXPECT_EQ(rf[0], "file");
    EXPECT_EQ(rf[1], "3");

    EXPECT_EQ(count("fstat('/nothing')"), 0u);
    EXPECT_EQ(count("fstat('no good')"), 0u);
    EXPECT_EQ(count("fstat()"), 0u);
}

TEST_F(FileApi, FstatOfACartridgeGivesTheCartridgeFileSize) {
    host_put(drive + "/c.q64", std::string(1000, 'x'));
    auto r = results("return fstat('/c.q64')");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], "folder");
    EXPECT_EQ(r[1], "1000");
    EXPECT_EQ(r[2].rfind("/ram/mount/m", 0), 0u) << r[2];
}

// --- fetch and store -------------------------------------------------------------------------------

TEST_F(FileApi, StoreAndFetchStringsTablesAndTypedArrays) {
    exec("store('/s', 'hello')");
    auto raw = host_get(drive + "/s");
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->rfind("--[[mox]]\n", 0), 0u);
    EXPECT_EQ(raw->compare(10, 4, std::string("lz4\0", 4)), 0);  // mox text with flags 3
    EXPECT_EQ(run("(fetch('/s'))"), "hello");
    EXPECT_EQ(run("select('#', fetch('/s'))"), "2");  // and its (empty) metadata

    exec("store('/ram/t', {a=1, b={2, 3}, 'x'}, '--[[mox,created=5]]\\n')");
    EXPECT_EQ(run("mox(fetch('/ram/t'))"), "{a=1,b={2,3},\"x\"}");
    EXPECT_EQ(run("select(2, fetch('/ram/t')).created"), "5");

    exec("store('arr', userdata('u8', 4, '00017fff'))");
    EXPECT_EQ(run("mox(_fetch_local('/arr'))"), "userdata(\"u8\",4,\"00017fff\")");
    exec("store('/i', userdata('i32', 2, 2, '00000001ffffffff0000000280000000'))");
    EXPECT_EQ(run("mox(fetch('/i'))"), "userdata(\"i32\",2,2,\"00000001ffffffff0000000280000000\")");

    // Stored data in a text file is mox text, never converted as host text.
    std::string tricky = std::string("a\r\nb") + "\xE2\x96\x88" + std::string(1, '\0') + "\xFF";
    exec("_store_local('/n.txt', " + lua_literal(tricky) + ")");
    EXPECT_EQ(run("(fetch('/n.txt'))"), tricky);
    // Here the block's raw size is 13, a carriage return to host text.
    exec("store('/m.lua', 'abcdefghijk')");
    ASSERT_EQ(host_get(drive + "/m.lua")->at(18), '\r');
    EXPECT_EQ(run("(fetch('/m.lua'))"), "abcdefghijk");
}

TEST_F(FileApi, FetchOfMissingOrUnreadableGivesNothing) {
    EXPECT_EQ(count("fetch('/none')"), 0u);
    EXPECT_EQ(count("fetch('/ram/none')"), 0u);
    EXPECT_EQ(count("fetch()"), 0u);
    EXPECT_EQ(count("fetch('bad path')"), 0u);
    mkdir((drive + "/folder").c_str(), 0755);
    EXPECT_EQ(count("fetch('/folder')"), 0u);
    host_put(drive + "/bad.mox", "{x = 1}");  // not mox text
    EXPECT_EQ(count("fetch('/bad.mox')"), 0u);
}

TEST_F(FileApi, FetchDecodesByExtensionAndContent) {
    // Host text files become t6scii: glyphs map to their codes, carriage returns go.
    host_put(drive + "/h.txt", "a\xE2\x96\x88\r\nb");
    EXPECT_EQ(run("fetch('/h.txt')"), "a\x80\nb");
    host_put(drive + "/h.lua", "\xE3\x81\x82");
    EXPECT_EQ(run("fetch('/h.lua')"), "\x9A");
    host_put(drive + "/h.pn", "\xC2\xB9");
    EXPECT_EQ(run("fetch('/h.pn')"), "\x01");
    // Other extensions, and flags 2, give the bytes as they are.
    host_put(drive + "/h.dat", "a\xE2\x96\x88\r\n");
    EXPECT_EQ(run("fetch('/h.dat')"), "a\xE2\x96\x88\r\n");
    EXPECT_EQ(run("fetch('/h.txt', 2)"), "a\xE2\x96\x88\r\nb");
    // The extension is the last two dot parts: my.image.png is no png, notes.v2.txt no txt.
    host_put(drive + "/my.image.png", "\x89PNG....");
    EXPECT_EQ(run("fetch('/my.image.png')"), "\x89PNG....");
    host_put(drive + "/notes.v2.txt", "\xE2\x96\x88");
    EXPECT_EQ(run("fetch('/notes.v2.txt')"), "\xE2\x96\x88");
    // mox by extension or by header.
    host_put(drive + "/v.mox", "{1,2}");
    EXPECT_EQ(run("#fetch('/v.mox')"), "2");
    host_put(drive + "/v.dat", "--[[mox]]\n{3}");
    EXPECT_EQ(run("fetch('/v.dat')[1]"), "3");
    host_put(drive + "/plain.dat", "{3}");
    EXPECT_EQ(run("fetch('/plain.dat')"), "{3}");
}

TEST_F(FileApi, CartridgePathsAreFetchedAsRawBytes) {
    std::string png = "\x89PNG" + std::string(600, '\0');
    host_put(drive + "/c.q64.png", png);
    EXPECT_EQ(run("fetch('/c.q64.png')"), png);
    host_put(drive + "/t.q64", "not really a cartridge\n");
    EXPECT_EQ(run("fetch('/t.q64')"), "not really a cartridge\n");
}

TEST_F(FileApi, RawHeadersAreWrittenAsGiven) {
    exec("store('/r.dat', 'abc', '--[[mox_format=\"raw\",x=1]]')");
    EXPECT_EQ(host_get(drive + "/r.dat"), "--[[mox_format=\"raw\",x=1]]\nabc");
    auto r = results("local v, m = fetch('/r.dat') return v, m.mox_format, m.x");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], "abc");
    EXPECT_EQ(r[1], "raw");
    EXPECT_EQ(r[2], "1");

    // A trusted process may ask for the bytes alone.
    exec("store('/bare.dat', 'abc', '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    EXPECT_EQ(host_get(drive + "/bare.dat"), "abc");
    // A sandboxed one keeps the header.
    process_record* boxed = create_process_from_code("", "boxed", "/apps/b.lua", "bbs/x");
    ASSERT_NE(boxed, nullptr);
    results_in(boxed, "store('/boxed.dat', 'abc', '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    EXPECT_EQ(host_get(drive + "/boxed.dat"), "--[[mox_format=\"raw\",metadata_format=\"none\"]]\nabc");
    set_current_process(p);
}

TEST_F(FileApi, RawT6sciiTextRoundTripsThroughTextFiles) {
    const std::string bytes = all_bytes_but_cr();
    for (const char* name : {"/t.txt", "/t.lua", "/ram/t.pn"}) {
        exec(std::string("store('") + name + "', " + lua_literal(bytes) + ", '--[[mox_format=\"raw\"]]')");
        auto r = results(std::string("return fetch('") + name + "')");
        ASSERT_EQ(r.size(), 2u) << name;
        EXPECT_EQ(r[0], bytes) << name;
    }
    // On the host the text is UTF-8: code 128 is U+2588, code 154 is U+3042.
    exec("store('/g.txt', '\\128\\154', '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    EXPECT_EQ(host_get(drive + "/g.txt"), "\xE2\x96\x88\xE3\x81\x82");
    EXPECT_EQ(run("fetch('/g.txt')"), "\x80\x9A");
    // Byte sequences that look like host text still come back unchanged.
    exec("store('/u.txt', '\\226\\150\\136', '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    EXPECT_EQ(run("fetch('/u.txt')"), "\xE2\x96\x88");
    // Carriage returns are host line-end bytes: fetching host text drops them.
    exec("store('/cr.txt', 'a\\r\\nb', '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    EXPECT_EQ(run("fetch('/cr.txt')"), "a\nb");
    // Other files keep the bytes as they are.
    exec("store('/t.dat', " + lua_literal(bytes) + ", '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    EXPECT_EQ(host_get(drive + "/t.dat"), bytes);
}

TEST_F(FileApi, ImageCartridgesAreCheckedBeforeWriting) {
    EXPECT_EQ(run("store('/c.q64.png', '\\137PNG' .. string.rep('x', 507))"), "invalid .q64.png file: not a valid PNG");
    EXPECT_FALSE(host_get(drive + "/c.q64.png").has_value());
    EXPECT_EQ(run("store('/c.q64.png', 'x' .. string.rep('y', 600))"), "invalid .q64.png file: not a valid PNG");
    EXPECT_EQ(count("store('/c.q64.png', '\\137PNG' .. string.rep('x', 508))"), 0u);
    EXPECT_EQ(host_get(drive + "/c.q64.png"), "\x89PNG" + std::string(508, 'x'));
    // Cartridge bytes must be a string.
    EXPECT_EQ(count("store('/d.q64', {1})"), 0u);
    EXPECT_FALSE(host_get(drive + "/d.q64").has_value());
}

TEST_F(FileApi, StoringACartridgeReplacesItsMount) {
    const std::string old_cart = "orvalune cartridge // t\nversion 2\n\n:: main.lua\nold\n\n:: [eoc]\n";
    const std::string new_cart = "orvalune cartridge // t\nversion 2\n\n:: main.lua\nnew\n\n:: [eoc]\n";
    host_put(drive + "/c.q64", old_cart);
    EXPECT_EQ(run("fetch('/c.q64/main.lua')"), "old\n");
    // Mount it and change a file inside: the mount is dirty and due for write-back.
    exec("store('/c.q64/notes.dat', 'x', '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    pmount* m = mount_at("/c.q64");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->dirty, 1u);
    exec("store('/c.q64', " + lua_literal(new_cart) + ")");
    EXPECT_EQ(host_get(drive + "/c.q64"), new_cart);
    // No stale mount is left to write the old folder over the new bytes.
    EXPECT_EQ(mount_at("/c.q64"), nullptr);
    os_sleep(MOUNT_FLUSH_DELAY_MS + 20);
    flush_dirty_mounts_delayed();
    EXPECT_EQ(host_get(drive + "/c.q64"), new_cart);
    // The next access mounts the new contents.
    EXPECT_EQ(run("fetch('/c.q64/main.lua')"), "new\n");
    EXPECT_EQ(count("fetch('/c.q64/notes.dat')"), 0u);
    // Storing over a cartridge that was never mounted leaves no mount of the old bytes either.
    host_put(drive + "/e.q64", "OLD\n");
    exec("store('/e.q64', 'FRESH')");
    EXPECT_EQ(host_get(drive + "/e.q64"), "FRESH");
    EXPECT_EQ(mount_at("/e.q64"), nullptr);
    EXPECT_EQ(run("fetch('/e.q64')"), "FRESH");
}

TEST_F(FileApi, CartridgeMadeByMkdirIsWrittenBackLater) {
    EXPECT_EQ(count("mkdir('/x.q64')"), 0u);
    exec("store('/x.q64/main.lua', 'print(1)\\n', '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    flush_dirty_mounts_delayed();
    EXPECT_FALSE(host_get(drive + "/x.q64").has_value());  // not before 300 ms
    os_sleep(MOUNT_FLUSH_DELAY_MS + 20);
    flush_dirty_mounts_delayed();
    auto cart = host_get(drive + "/x.q64");
    ASSERT_TRUE(cart.has_value());
    std::vector<std::string> lines;
    std::stringstream ss(*cart);
    for (std::string line; std::getline(ss, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 7u) << *cart;
    EXPECT_EQ(lines[0].rfind("orvalune cartridge // ", 0), 0u);
    EXPECT_EQ(lines[1], "version 2");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], ":: main.lua");
    EXPECT_EQ(lines[4], "print(1)");
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[6], ":: [eoc]");
    EXPECT_EQ(run("fstat('/x.q64')"), "<3 results>");
}

TEST_F(FileApi, ImagesAreLeftAlone) {
    // Until images are decoded and encoded, a png reaches the script as its bytes and
    // storing a value to an image path writes nothing.
    host_put(drive + "/p.png", "\x89PNG\r\n");
    EXPECT_EQ(run("fetch('/p.png')"), "\x89PNG\r\n");
    exec("store('/q.png', userdata('u8', 2, 2, '00010203'))");
    exec("store('/q.qoi', 'text')");
    EXPECT_FALSE(host_get(drive + "/q.png").has_value());
    EXPECT_FALSE(host_get(drive + "/q.qoi").has_value());
}

TEST_F(FileApi, UnwritableValuesLeaveTheFileAlone) {
    host_put(drive + "/keep", "KEEP");
    // A table nested into itself cannot be written past the depth limit, but must not crash;
    // whatever it gives, the old bytes are only replaced by a complete document.
    exec("local t = {} t[1] = t store('/keep', t)");
    auto now = host_get(drive + "/keep");
    ASSERT_TRUE(now.has_value());
    EXPECT_TRUE(*now == "KEEP" || now->rfind("--[[mox]]\n", 0) == 0);
    EXPECT_EQ(count("store()"), 0u);
    EXPECT_EQ(count("store('bad path', 1)"), 0u);
}

// --- Metadata headers ------------------------------------------------------------------------------

TEST_F(FileApi, ReplacingMetadataKeepsTheBodyOfRamFiles) {
    exec("store('/ram/m.dat', {1, 2}, '--[[mox,a=1]]\\n')");
    exec("_store_metadata_str_to_file('/ram/m.dat', '--[[mox,b=2]]\\n')");
    auto r = results("local v, m = fetch('/ram/m.dat') return #v, m.a, m.b");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], "2");
    EXPECT_EQ(r[1], "nil");
    EXPECT_EQ(r[2], "2");
    EXPECT_EQ(run("_fetch_metadata_from_file('/ram/m.dat').b"), "2");
}

TEST_F(FileApi, ReplacingMetadataOfHostFiles) {
    host_put(drive + "/h.dat", "--[[mox,old=1]]\nBODY");
    exec("_store_metadata_str_to_file('/h.dat', '--[[mox,new=2]]\\n')");
    EXPECT_EQ(host_get(drive + "/h.dat"), "--[[mox,new=2]]\nBODY");
    // A file without a header keeps all its bytes.
    host_put(drive + "/plain.dat", "BODY");
    exec("_store_metadata_str_to_file('/plain.dat', '--[[mox,x=1]]\\n')");
    EXPECT_EQ(host_get(drive + "/plain.dat"), "--[[mox,x=1]]\nBODY");
    // metadata_format="none" leaves the header out.
    exec("_store_metadata_str_to_file('/h.dat', '--[[mox,metadata_format=\"none\"]]\\n')");
    EXPECT_EQ(host_get(drive + "/h.dat"), "BODY");
    // A missing file is created with the header alone; a missing header does nothing.
    exec("_store_metadata_str_to_file('/fresh.dat', '--[[mox,y=1]]\\n')");
    EXPECT_EQ(host_get(drive + "/fresh.dat"), "--[[mox,y=1]]\n");
    exec("_store_metadata_str_to_file('/fresh.dat')");
    EXPECT_EQ(host_get(drive + "/fresh.dat"), "--[[mox,y=1]]\n");
}

TEST_F(FileApi, FetchingMetadata) {
    host_put(drive + "/m.dat", "--[[mox,title=\"t\",n=3]]\n{}");
    auto r = results("local m = _fetch_metadata_from_file('/m.dat') return m.title, m.n");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "t");
    EXPECT_EQ(r[1], "3");
    host_put(drive + "/n.dat", "{}");
    EXPECT_EQ(count("_fetch_metadata_from_file('/n.dat')"), 0u);
    EXPECT_EQ(count("_fetch_metadata_from_file('/none')"), 0u);
    EXPECT_EQ(count("_fetch_metadata_from_file()"), 0u);
}

// --- Cache folder ----------------------------------------------------------------------------------

TEST_F(FileApi, CacheStoresAndFetchesWholeFiles) {
    exec("_cache_store('carts', 'a.q64.png', string.rep('z', 600))");
    EXPECT_EQ(host_get(home + "/appdata/cache/carts/a.q64.png"), std::string(600, 'z'));
    EXPECT_EQ(run("#_cache_fetch('carts', 'a.q64.png')"), "600");
    exec("_cache_store('carts', 'small', string.rep('z', 511))");
    EXPECT_EQ(host_get(home + "/appdata/cache/carts/small"), std::string(511, 'z'));
    EXPECT_EQ(count("_cache_fetch('carts', 'small')"), 0u);
    EXPECT_EQ(count("_cache_fetch('carts', 'missing')"), 0u);
    EXPECT_EQ(count("_cache_fetch('carts')"), 0u);
    // No temporary file is left beside the entries.
    auto names = host_names(home + "/appdata/cache/carts");
    EXPECT_EQ(names.size(), 2u);
}

TEST_F(FileApi, CacheTakesTheHighestVersionThatExists) {
    const std::string folder = home + "/appdata/cache/v";
    exec("_cache_store('v', 'c3', string.rep('3', 600))");
    exec("_cache_store('v', 'c7', string.rep('7', 600))");
    EXPECT_EQ(run("_cache_fetch('v', 'c%d', true):sub(1, 1)"), "7");
    // The first file found must itself be long enough.
    exec("_cache_store('v', 'c9', 'short')");
    EXPECT_EQ(count("_cache_fetch('v', 'c%d', true)"), 0u);
    // Without versioned the placeholder is no name at all.
    EXPECT_EQ(count("_cache_fetch('v', 'c%d')"), 0u);
    exec("_cache_store('v', 'c32x', string.rep('a', 600))");
    EXPECT_EQ(run("_cache_fetch('v', 'c%dx', true):sub(1, 1)"), "a");
}

TEST_F(FileApi, CacheRefusesNamesThatLeaveTheFolderOrFormat) {
    const std::string cache = home + "/appdata/cache";
    for (const char* call : {"_cache_store('..', 'escape', string.rep('x', 600))",
                             "_cache_store('carts', '../escape', string.rep('x', 600))",
                             "_cache_store('a/b', 'x', string.rep('x', 600))",
                             "_cache_store('carts', '.hidden', string.rep('x', 600))",
                             "_cache_store('', 'x', string.rep('x', 600))",
                             "_cache_store('carts', '', string.rep('x', 600))",
                             "_cache_store('carts', 'x%d', string.rep('x', 600))",
                             "_cache_store('carts', 'a b', string.rep('x', 600))",
                             "_cache_store('carts', 'a\\0b', string.rep('x', 600))",
                             "_cache_store('carts', string.rep('n', 129), string.rep('x', 600))",
                             "_cache_store('carts', 'nodata')"}) {
        EXPECT_EQ(exec(call), "") << call;
    }
    EXPECT_FALSE(host_get(home + "/appdata/escape").has_value());
    EXPECT_FALSE(host_get(cache + "/escape").has_value());
    EXPECT_FALSE(host_get(cache + "/carts/nodata").has_value());
    EXPECT_TRUE(host_names(cache + "/carts").empty());

    // Reading: the same rules, and only one "%d" (never any other format) when versioned.
    host_put(home + "/appdata/secret", std::string(600, 's'));
    exec("_cache_store('carts', 'ok', string.rep('k', 600))");
    for (const char* call : {"_cache_fetch('carts', '../../secret')", "_cache_fetch('..', 'secret')",
                             "_cache_fetch('carts', 'ok%s', true)", "_cache_fetch('carts', '%d%d', true)",
                             "_cache_fetch('carts', '%n%d', true)", "_cache_fetch('carts', 'ok%', true)",
                             "_cache_fetch('carts', '.ok')"}) {
        EXPECT_EQ(count(call), 0u) << call;
    }
    EXPECT_EQ(run("#_cache_fetch('carts', 'ok', true)"), "600");
}

TEST(FileApiNames, CacheNameRules) {
    EXPECT_TRUE(cache_name_allowed("a-b_c.9", 7, false));
    EXPECT_FALSE(cache_name_allowed(".a", 2, false));
    EXPECT_FALSE(cache_name_allowed("a%d", 3, false));
    EXPECT_TRUE(cache_name_allowed("a%d", 3, true));
    EXPECT_TRUE(cache_name_allowed("%d", 2, true));
    EXPECT_FALSE(cache_name_allowed("a%d%d", 5, true));
    EXPECT_FALSE(cache_name_allowed("a%", 2, true));
    EXPECT_FALSE(cache_name_allowed("a%%d", 4, true));
    EXPECT_FALSE(cache_name_allowed("a\0b", 3, false));
    EXPECT_FALSE(cache_name_allowed("", 0, false));
    EXPECT_FALSE(cache_name_allowed(nullptr, 3, false));
}

// --- Copying and deleting --------------------------------------------------------------------------

TEST_F(FileApi, CopyAndDelete) {
    host_put(drive + "/a.dat", "ABC");
    exec("cp('/a.dat', '/b.dat')");
    EXPECT_EQ(host_get(drive + "/b.dat"), "ABC");
    exec("_fcopy('/a.dat', '/ram/c.dat')");
    EXPECT_EQ(run("fetch('/ram/c.dat')"), "ABC");
    exec("cp('/a.dat', '/a.dat')");
    EXPECT_EQ(host_get(drive + "/a.dat"), "ABC");
    exec("cp('/missing', '/b.dat')");
    EXPECT_EQ(host_get(drive + "/b.dat"), "ABC");  // not emptied by a failed copy
    EXPECT_EQ(exec("cp() cp('/a.dat')"), "");

    exec("_fdelete('/b.dat')");
    EXPECT_FALSE(host_get(drive + "/b.dat").has_value());
    exec("_fdelete('/ram/c.dat')");
    EXPECT_EQ(count("fetch('/ram/c.dat')"), 0u);
    exec("_fdelete() _fdelete('/ram')");
    EXPECT_EQ(run("fstat('/ram')"), "<3 results>");
}

TEST_F(FileApi, CopyChargesOneCyclePerByte) {
    exec("store('/ram/big', string.rep('x', 10000), '--[[mox_format=\"raw\",metadata_format=\"none\"]]')");
    lua_State* L = p->L;
    lua_getglobal(L, "cp");
    lua_pushstring(L, "/ram/big");
    lua_pushstring(L, "/ram/copy");
    cpu_cycles = 0;
    ASSERT_EQ(lua_pcall(L, 2, 0, 0), LUA_OK);
    EXPECT_EQ(cpu_cycles, 10000);
    lua_getglobal(L, "cp");
    lua_pushstring(L, "/ram/none");
    lua_pushstring(L, "/ram/copy2");
    cpu_cycles = 0;
    ASSERT_EQ(lua_pcall(L, 2, 0, 0), LUA_OK);
    EXPECT_EQ(cpu_cycles, 1);
}

// --- mox and deltas --------------------------------------------------------------------------------

TEST_F(FileApi, MoxFunctionsAndTheirAliases) {
    EXPECT_EQ(run("mox({1, 2, x = true})"), "{x=true,1,2}");
    EXPECT_EQ(run("_mox('s', 0, 'P:')"), "P:\"s\"");
    EXPECT_EQ(run("_mox_raw == mox and _mox == mox"), "true");
    EXPECT_EQ(run("unmox(mox({a = {1}})).a[1]"), "1");
    EXPECT_EQ(run("unmox(mox({a = 'q'}, 3)).a"), "q");
    EXPECT_EQ(count("unmox(5)"), 0u);
}

TEST_F(FileApi, DeltasRoundTrip) {
    auto r = results(
        "local a = string.rep('the quick brown fox ', 50) "
        "local b = a:sub(1, 400) .. 'jumps' .. a:sub(420) "
        "local d = create_delta(a, b) "
        "return apply_delta(a, d) == b, #d < #b, select('#', apply_delta('other text', d))");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], "true");
    EXPECT_EQ(r[1], "true");
    EXPECT_EQ(r[2], "0");
    EXPECT_EQ(run("apply_delta('', create_delta('', 'new'))"), "new");
    EXPECT_EQ(count("create_delta('a')"), 0u);
    EXPECT_EQ(count("create_delta(nil, 'b')"), 0u);
    EXPECT_EQ(count("apply_delta('a')"), 0u);
    EXPECT_EQ(count("apply_delta('a', 'not a delta')"), 0u);
}

TEST_F(FileApi, RegisteredUnderEveryName) {
    struct seen {
        const char* name;
        int (*fn)(lua_State*);
    };
    static std::vector<seen> all;
    all.clear();
    api_for_each_function([](const char* name, int (*fn)(lua_State*), void*) { all.push_back({name, fn}); },
                          nullptr);
    auto fn_of = [](const char* name) -> int (*)(lua_State*) {
        for (const seen& s : all) {
            if (strcmp(s.name, name) == 0) return s.fn;
        }
        return nullptr;
    };
    EXPECT_EQ(fn_of("fetch"), lua54_fetch_local);
    EXPECT_EQ(fn_of("_fetch_local"), lua54_fetch_local);
    EXPECT_EQ(fn_of("store"), lua54_store_local);
    EXPECT_EQ(fn_of("_store_local"), lua54_store_local);
    EXPECT_EQ(fn_of("_cache_store"), lua54_cache_store);
    EXPECT_EQ(fn_of("_cache_fetch"), lua54_cache_fetch);
    EXPECT_EQ(fn_of("_fetch_metadata_from_file"), lua54_fetch_metadata_from_file);
    EXPECT_EQ(fn_of("_store_metadata_str_to_file"), lua54_store_metadata_str_to_file);
    EXPECT_EQ(fn_of("ls"), lua54_ls);
    EXPECT_EQ(fn_of("_ls"), lua54_ls);
    EXPECT_EQ(fn_of("mkdir"), lua54_mkdir);
    EXPECT_EQ(fn_of("_mkdir"), lua54_mkdir);
    EXPECT_EQ(fn_of("fstat"), lua54_fstat);
    EXPECT_EQ(fn_of("_fstat"), lua54_fstat);
    EXPECT_EQ(fn_of("fullpath"), lua54_fullpath);
    EXPECT_EQ(fn_of("_fullpath"), lua54_fullpath);
    EXPECT_EQ(fn_of("cp"), lua54_fcopy);
    EXPECT_EQ(fn_of("_fcopy"), lua54_fcopy);
    EXPECT_EQ(fn_of("_fdelete"), lua54_fdelete);
    EXPECT_EQ(fn_of("create_delta"), lua54_create_delta);
    EXPECT_EQ(fn_of("apply_delta"), lua54_apply_delta);
}

}  // namespace
