// The file script functions run as scripts inside a process, on a temporary host drive at "/"
// and a ram folder at "/ram".
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/host.h"
#include "storage/file_api.h"
#include "test_support.h"

namespace {

using namespace drive_test;

const std::string none = "<0 results>";
const std::string bare = "'--[[mox_format=\"raw\",metadata_format=\"none\"]]'";  // raw bytes, no header

// A script text literal holding the bytes exactly.
std::string lua_literal(const std::string& bytes) {
    std::string out = "\"";
    char esc[8];
    for (unsigned char c : bytes) snprintf(esc, sizeof esc, "\\%03d", c), out += esc;
    return out + "\"";
}

struct FileApi : process_on_drive {
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
        return r.size() == 1 ? r[0] : "<" + std::to_string(r.size()) + " results>";
    }
    // Every result of a chunk, joined by "|".
    std::string all(const std::string& code) {
        std::string out;
        for (const auto& r : results(code)) out += (out.empty() ? "" : "|") + r;
        return out;
    }
    std::string exec(const std::string& code) {
        auto r = results(code);
        return r.empty() ? "" : r[0];
    }
    void expect_runs(const std::vector<std::pair<std::string, std::string>>& cases) {
        for (const auto& [expr, want] : cases) EXPECT_EQ(run(expr), want) << expr;
    }
};

// --- Paths, listings, folders, status --------------------------------------------------------------

TEST_F(FileApi, FullpathListingAndMkdir) {
    expect_runs({{"fullpath('anywhen://x/y..z')", "anywhen://x/y..z"}, {"fullpath('/a//b/./c/')", "/a/b/c"},
                 {"fullpath('/a/b/../../..')", "/"}, {"fullpath('a b')", none}, {"fullpath()", none},
                 {"fullpath(12)", none}});
    snprintf(p->pwd, sizeof p->pwd, "/docs/work");
    expect_runs({{"_fullpath('x.txt')", "/docs/work/x.txt"}, {"fullpath('../y')", "/docs/y"}});

    // Listings put folders first, in natural order; relative to the working folder, "/" by default.
    for (const char* d : {"/d", "/d/b", "/d/A"}) mkdir((drive + d).c_str(), 0755);
    for (const char* n : {"file10", "file2", "C.txt", ".hidden"}) host_put(drive + "/d/" + n, "x");
    EXPECT_EQ(all("local t, n = ls('/d') return table.concat(t, ','), n, #t"), "A,b,C.txt,file2,file10|2|5");
    EXPECT_EQ(all("local t, n = ls() return table.concat(t, ','), n"), "d,ram,system|3");
    snprintf(p->pwd, sizeof p->pwd, "/d");
    expect_runs({{"table.concat(_ls('b'), ',')", ""}, {"ls('/no such')", none}, {"ls('/missing')", none}});

    EXPECT_EQ(run("mkdir('/new')"), none);
    struct stat st;
    EXPECT_TRUE(stat((drive + "/new").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    const std::string exists = "mkdir: directory already exists";
    expect_runs({{"mkdir('/new')", exists}, {"_mkdir('/ram')", exists}, {"mkdir()", "mkdir: no path"},
                 {"mkdir(5)", "mkdir: no path"}, {"mkdir('/missing/deeper')", "mkdir failed"},
                 {"mkdir('bad name')", "mkdir failed"}, {"mkdir('/ram/f')", none}, {"mkdir('/ram/f')", exists}});
}

TEST_F(FileApi, FstatOfFilesFoldersMountsAndNothing) {
    host_put(drive + "/f.dat", "12345");
    mkdir((drive + "/sub").c_str(), 0755);
    mkdir((home + "/other").c_str(), 0755);
    mount_host_path("/hd", (home + "/other").c_str());
    exec("store('/ram/x', 'abc', " + bare + ")");
    // A cartridge is a folder with the cartridge file's size, described by its ram mount once mounted.
    host_put(drive + "/c.q64", std::string(1000, 'x'));
    EXPECT_EQ(all("return fstat('/f.dat')"), "file|5|nil");
    EXPECT_EQ(all("local k, _, d = _fstat('/sub') return k, d"), "folder|nil");
    EXPECT_EQ(all("return select('#', fstat('/')), (fstat('/'))"), "3|folder");
    EXPECT_EQ(all("local k, _, d = fstat('/hd') return k, d"), "folder|host:" + home + "/other");
    EXPECT_EQ(all("return fstat('/ram')"), "folder|0|/ram");
    EXPECT_EQ(all("return select('#', fstat('/ram/x')), fstat('/ram/x')"), "3|file|3|nil");
    // Asking does not unpack it: only an access inside mounts it.
    EXPECT_EQ(all("return fstat('/c.q64')"), "folder|1000|nil");
    exec("ls('/c.q64')");
    EXPECT_EQ(all("local k, n, d = fstat('/c.q64') return k, n, d:sub(1, 12)"), "folder|1000|/ram/mount/m");
    expect_runs({{"fstat('/nothing')", none}, {"fstat('no good')", none}, {"fstat()", none}});
}

// --- fetch and store -------------------------------------------------------------------------------

TEST_F(FileApi, StoreAndFetchStringsTablesAndTypedArrays) {
    exec("store('/s', 'hello')");
    auto raw = host_get(drive + "/s");
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->rfind("--[[mox]]\n", 0), 0u);
    EXPECT_EQ(raw->compare(10, 4, std::string("lz4\0", 4)), 0);  // mox text with flags 3
    exec("store('/ram/t', {a=1, b={2, 3}, 'x'}, '--[[mox,created=5]]\\n')");
    exec("store('arr', userdata('u8', 4, '00017fff'))");
    exec("store('/i', userdata('i32', 2, 2, '00000001ffffffff0000000280000000'))");
    expect_runs({{"(fetch('/s'))", "hello"},
                 {"select('#', fetch('/s'))", "2"},  // and its (empty) metadata
                 {"mox(fetch('/ram/t'))", "{a=1,b={2,3},\"x\"}"},
                 {"select(2, fetch('/ram/t')).created", "5"},
                 {"mox(_fetch_local('/arr'))", "userdata(\"u8\",4,\"00017fff\")"},
                 {"mox(fetch('/i'))", "userdata(\"i32\",2,2,\"00000001ffffffff0000000280000000\")"}});

    // Stored data in a text file is mox text, never converted as host text.
    std::string tricky = std::string("a\r\nb") + "\xE2\x96\x88" + std::string(1, '\0') + "\xFF";
    exec("_store_local('/n.txt', " + lua_literal(tricky) + ")");
    EXPECT_EQ(run("(fetch('/n.txt'))"), tricky);
    // Here the block's raw size is 13, a carriage return to host text.
    exec("store('/m.lua', 'abcdefghijk')");
    ASSERT_EQ(host_get(drive + "/m.lua")->at(18), '\r');
    EXPECT_EQ(run("(fetch('/m.lua'))"), "abcdefghijk");
}

TEST_F(FileApi, FetchDecodesByExtensionAndContent) {
    mkdir((drive + "/folder").c_str(), 0755);
    const char* files[][2] = {
        {"/h.txt", "a\xE2\x96\x88\r\nb"}, {"/h.lua", "\xE3\x81\x82"}, {"/h.pn", "\xC2\xB9"},
        {"/h.dat", "a\xE2\x96\x88\r\n"}, {"/my.image.png", "\x89PNG...."}, {"/notes.v2.txt", "\xE2\x96\x88"},
        {"/v.mox", "{1,2}"}, {"/v.dat", "--[[mox]]\n{3}"}, {"/plain.dat", "{3}"}, {"/bad.mox", "{x = 1}"},
        {"/t.q64", "not really a cartridge\n"}};
    for (const auto& f : files) host_put(drive + f[0], f[1]);
    std::string png = "\x89PNG" + std::string(600, '\0');
    host_put(drive + "/c.q64.png", png);
    expect_runs({
        // Host text files become t6scii: glyphs map to their codes, carriage returns go.
        {"fetch('/h.txt')", "a\x80\nb"}, {"fetch('/h.lua')", "\x9A"}, {"fetch('/h.pn')", "\x01"},
        // Other extensions, and flags 2, give the bytes as they are.
        {"fetch('/h.dat')", "a\xE2\x96\x88\r\n"}, {"fetch('/h.txt', 2)", "a\xE2\x96\x88\r\nb"},
        // The extension is the last two dot parts: my.image.png is no png, notes.v2.txt no txt.
        {"fetch('/my.image.png')", "\x89PNG...."}, {"fetch('/notes.v2.txt')", "\xE2\x96\x88"},
        // mox by extension or by header.
        {"#fetch('/v.mox')", "2"}, {"fetch('/v.dat')[1]", "3"}, {"fetch('/plain.dat')", "{3}"},
        // Cartridge paths are fetched as raw bytes.
        {"fetch('/c.q64.png')", png}, {"fetch('/t.q64')", "not really a cartridge\n"},
        // Missing or unreadable: nothing.
        {"fetch('/none')", none}, {"fetch('/ram/none')", none}, {"fetch()", none}, {"fetch('bad path')", none},
        {"fetch('/folder')", none}, {"fetch('/bad.mox')", none},
    });
}

TEST_F(FileApi, RawHeadersAreWrittenAsGiven) {
    exec("store('/r.dat', 'abc', '--[[mox_format=\"raw\",x=1]]')");
    EXPECT_EQ(host_get(drive + "/r.dat"), "--[[mox_format=\"raw\",x=1]]\nabc");
    EXPECT_EQ(all("local v, m = fetch('/r.dat') return v, m.mox_format, m.x"), "abc|raw|1");
    // A trusted process may ask for the bytes alone; a sandboxed one keeps the header.
    exec("store('/bare.dat', 'abc', " + bare + ")");
    EXPECT_EQ(host_get(drive + "/bare.dat"), "abc");
    process_record* boxed = create_process_from_code("", "boxed", "/apps/b.lua", "bbs/x");
    ASSERT_NE(boxed, nullptr);
    results_in(boxed, "store('/boxed.dat', 'abc', " + bare + ")");
    EXPECT_EQ(host_get(drive + "/boxed.dat"), "--[[mox_format=\"raw\",metadata_format=\"none\"]]\nabc");
    set_current_process(p);
}

TEST_F(FileApi, RawT6sciiTextRoundTripsThroughTextFiles) {
    std::string bytes;  // every byte value but 13 (which host text drops), zero included
    for (int c = 0; c < 256; c++)
        if (c != 13) bytes.push_back(char(c));
    for (const char* name : {"/t.txt", "/t.lua", "/ram/t.pn"}) {
        exec(std::string("store('") + name + "', " + lua_literal(bytes) + ", '--[[mox_format=\"raw\"]]')");
        auto r = results(std::string("return fetch('") + name + "')");
        ASSERT_EQ(r.size(), 2u) << name;
        EXPECT_EQ(r[0], bytes) << name;
    }
    // On the host the text is UTF-8: code 128 is U+2588, code 154 is U+3042.
    exec("store('/g.txt', '\\128\\154', " + bare + ")");
    EXPECT_EQ(host_get(drive + "/g.txt"), "\xE2\x96\x88\xE3\x81\x82");
    // Byte sequences that look like host text still come back unchanged; carriage returns are
    // host line-end bytes, which fetching host text drops.
    exec("store('/u.txt', '\\226\\150\\136', " + bare + ")");
    exec("store('/cr.txt', 'a\\r\\nb', " + bare + ")");
    expect_runs({{"fetch('/g.txt')", "\x80\x9A"}, {"fetch('/u.txt')", "\xE2\x96\x88"}, {"fetch('/cr.txt')", "a\nb"}});
    // Other files keep the bytes as they are.
    exec("store('/t.dat', " + lua_literal(bytes) + ", " + bare + ")");
    EXPECT_EQ(host_get(drive + "/t.dat"), bytes);
}

TEST_F(FileApi, ImageCartridgesAreCheckedBeforeWritingAndImagesLeftAlone) {
    const std::string not_png = "invalid .q64.png file: not a valid PNG";
    EXPECT_EQ(run("store('/c.q64.png', '\\137PNG' .. string.rep('x', 507))"), not_png);
    EXPECT_FALSE(host_get(drive + "/c.q64.png").has_value());
    EXPECT_EQ(run("store('/c.q64.png', 'x' .. string.rep('y', 600))"), not_png);
    EXPECT_EQ(run("store('/c.q64.png', '\\137PNG' .. string.rep('x', 508))"), none);
    EXPECT_EQ(host_get(drive + "/c.q64.png"), "\x89PNG" + std::string(508, 'x'));
    // Cartridge bytes must be a string.
    EXPECT_EQ(run("store('/d.q64', {1})"), none);
    EXPECT_FALSE(host_get(drive + "/d.q64").has_value());
    // A png that does not decode reaches the script as its bytes; only an array is stored as
    // an image.
    host_put(drive + "/p.png", "\x89PNG\r\n");
    EXPECT_EQ(run("fetch('/p.png')"), "\x89PNG\r\n");
    exec("store('/q.qoi', 'text')");
    EXPECT_FALSE(host_get(drive + "/q.qoi").has_value());
}

TEST_F(FileApi, StoringACartridgeReplacesItsMount) {
    const std::string old_cart = "orvalune cartridge // t\nversion 2\n\n:: main.lua\nold\n\n:: [eoc]\n";
    const std::string new_cart = "orvalune cartridge // t\nversion 2\n\n:: main.lua\nnew\n\n:: [eoc]\n";
    host_put(drive + "/c.q64", old_cart);
    EXPECT_EQ(run("fetch('/c.q64/main.lua')"), "old\n");
    // Mount it and change a file inside: the mount is dirty and due for write-back.
    exec("store('/c.q64/notes.dat', 'x', " + bare + ")");
    ASSERT_NE(mount_at("/c.q64"), nullptr);
    EXPECT_EQ(mount_at("/c.q64")->dirty, 1u);
    exec("store('/c.q64', " + lua_literal(new_cart) + ")");
    EXPECT_EQ(host_get(drive + "/c.q64"), new_cart);
    // No stale mount is left to write the old folder over the new bytes.
    EXPECT_EQ(mount_at("/c.q64"), nullptr);
    os_sleep(MOUNT_FLUSH_DELAY_MS + 20);
    flush_dirty_mounts_delayed();
    EXPECT_EQ(host_get(drive + "/c.q64"), new_cart);
    // The next access mounts the new contents.
    EXPECT_EQ(run("fetch('/c.q64/main.lua')"), "new\n");
    EXPECT_EQ(run("fetch('/c.q64/notes.dat')"), none);
    // Storing over a cartridge that was never mounted leaves no mount of the old bytes either.
    host_put(drive + "/e.q64", "OLD\n");
    exec("store('/e.q64', 'FRESH')");
    EXPECT_EQ(host_get(drive + "/e.q64"), "FRESH");
    EXPECT_EQ(mount_at("/e.q64"), nullptr);
    EXPECT_EQ(run("fetch('/e.q64')"), "FRESH");
}

TEST_F(FileApi, CartridgeMadeByMkdirIsWrittenBackLater) {
    EXPECT_EQ(run("mkdir('/x.q64')"), none);
    exec("store('/x.q64/main.lua', 'print(1)\\n', " + bare + ")");
    flush_dirty_mounts_delayed();
    EXPECT_FALSE(host_get(drive + "/x.q64").has_value());  // not before 300 ms
    os_sleep(MOUNT_FLUSH_DELAY_MS + 20);
    flush_dirty_mounts_delayed();
    auto cart = host_get(drive + "/x.q64");
    ASSERT_TRUE(cart.has_value());
    EXPECT_EQ(cart->rfind("orvalune cartridge // ", 0), 0u);
    EXPECT_EQ(cart->substr(cart->find('\n')), "\nversion 2\n\n:: main.lua\nprint(1)\n\n:: [eoc]\n");
    EXPECT_EQ(run("fstat('/x.q64')"), "<3 results>");
}

TEST_F(FileApi, UnwritableValuesLeaveTheFileAlone) {
    host_put(drive + "/keep", "KEEP");
    // A table nested into itself cannot be written past the depth limit, but must not crash;
    // whatever it gives, the old bytes are only replaced by a complete document.
    exec("local t = {} t[1] = t store('/keep', t)");
    auto now = host_get(drive + "/keep");
    ASSERT_TRUE(now.has_value());
    EXPECT_TRUE(*now == "KEEP" || now->rfind("--[[mox]]\n", 0) == 0);
    expect_runs({{"store()", none}, {"store('bad path', 1)", none}});
}

// --- Metadata headers ------------------------------------------------------------------------------

TEST_F(FileApi, ReplacingAndFetchingMetadata) {
    // A ram file keeps its body.
    exec("store('/ram/m.dat', {1, 2}, '--[[mox,a=1]]\\n')");
    exec("_store_metadata_str_to_file('/ram/m.dat', '--[[mox,b=2]]\\n')");
    EXPECT_EQ(all("local v, m = fetch('/ram/m.dat') return #v, m.a, m.b"), "2|nil|2");
    EXPECT_EQ(run("_fetch_metadata_from_file('/ram/m.dat').b"), "2");

    // Host files: a file without a header keeps all its bytes; metadata_format="none" leaves
    // the header out; a missing file is created with the header alone; no header does nothing.
    host_put(drive + "/h.dat", "--[[mox,old=1]]\nBODY");
    host_put(drive + "/plain.dat", "BODY");
    const char* steps[][3] = {{"/h.dat", "'--[[mox,new=2]]\\n'", "--[[mox,new=2]]\nBODY"},
                              {"/plain.dat", "'--[[mox,x=1]]\\n'", "--[[mox,x=1]]\nBODY"},
                              {"/h.dat", "'--[[mox,metadata_format=\"none\"]]\\n'", "BODY"},
                              {"/fresh.dat", "'--[[mox,y=1]]\\n'", "--[[mox,y=1]]\n"},
                              {"/fresh.dat", "nil", "--[[mox,y=1]]\n"},
                              {"/new.dat", "'--[[mox,metadata_format=\"none\"]]'", "--[[mox,metadata_format=\"none\"]]"}};
    for (const auto& s : steps) {
        exec(std::string("_store_metadata_str_to_file('") + s[0] + "', " + s[1] + ")");
        EXPECT_EQ(host_get(drive + s[0]), s[2]) << s[0] << " " << s[1];
    }

    host_put(drive + "/m.dat", "--[[mox,title=\"t\",n=3]]\n{}");
    host_put(drive + "/n.dat", "{}");
    EXPECT_EQ(all("local m = _fetch_metadata_from_file('/m.dat') return m.title, m.n"), "t|3");
    expect_runs({{"_fetch_metadata_from_file('/n.dat')", none}, {"_fetch_metadata_from_file('/none')", none},
                 {"_fetch_metadata_from_file()", none}});
}

// --- Cache folder ----------------------------------------------------------------------------------

TEST_F(FileApi, CacheStoresWholeFilesAndTakesTheHighestVersion) {
    exec("_cache_store('carts', 'a.q64.png', string.rep('z', 600))");
    exec("_cache_store('carts', 'small', string.rep('z', 511))");
    EXPECT_EQ(host_get(home + "/cache/carts/a.q64.png"), std::string(600, 'z'));
    EXPECT_EQ(host_get(home + "/cache/carts/small"), std::string(511, 'z'));
    EXPECT_EQ(host_names(home + "/cache/carts").size(), 2u);  // no temporary file beside them
    expect_runs({{"#_cache_fetch('carts', 'a.q64.png')", "600"}, {"_cache_fetch('carts', 'small')", none},
                 {"_cache_fetch('carts', 'missing')", none}, {"_cache_fetch('carts')", none}});

    exec("_cache_store('v', 'c3', string.rep('3', 600))");
    exec("_cache_store('v', 'c7', string.rep('7', 600))");
    EXPECT_EQ(run("_cache_fetch('v', 'c%d', true):sub(1, 1)"), "7");
    // The first file found must itself be long enough; without versioned "%d" is no name.
    exec("_cache_store('v', 'c9', 'short')");
    exec("_cache_store('v', 'c32x', string.rep('a', 600))");
    expect_runs({{"_cache_fetch('v', 'c%d', true)", none}, {"_cache_fetch('v', 'c%d')", none},
                 {"_cache_fetch('v', 'c%dx', true):sub(1, 1)", "a"}});
}

TEST_F(FileApi, CacheRefusesNamesThatLeaveTheFolderOrFormat) {
    const std::string cache = home + "/cache";
    for (const char* args : {"'..', 'escape'", "'carts', '../escape'", "'a/b', 'x'", "'carts', '.hidden'", "'', 'x'",
                             "'carts', ''", "'carts', 'x%d'", "'carts', 'a b'", "'carts', 'a\\0b'",
                             "'carts', string.rep('n', 129)"}) {
        std::string call = std::string("_cache_store(") + args + ", string.rep('x', 600))";
        EXPECT_EQ(exec(call), "") << call;
    }
    EXPECT_EQ(exec("_cache_store('carts', 'nodata')"), "");
    EXPECT_FALSE(host_get(home + "/escape").has_value());
    EXPECT_FALSE(host_get(cache + "/escape").has_value());
    EXPECT_FALSE(host_get(cache + "/carts/nodata").has_value());
    EXPECT_TRUE(host_names(cache + "/carts").empty());

    // Reading: the same rules, and only one "%d" (never any other format) when versioned.
    host_put(home + "/secret", std::string(600, 's'));
    exec("_cache_store('carts', 'ok', string.rep('k', 600))");
    for (const char* call : {"_cache_fetch('carts', '../../secret')", "_cache_fetch('..', 'secret')",
                             "_cache_fetch('carts', 'ok%s', true)", "_cache_fetch('carts', '%d%d', true)",
                             "_cache_fetch('carts', '%n%d', true)", "_cache_fetch('carts', 'ok%', true)",
                             "_cache_fetch('carts', '.ok')"})
        EXPECT_EQ(run(call), none) << call;
    EXPECT_EQ(run("#_cache_fetch('carts', 'ok', true)"), "600");

    struct { const char* name; int64_t length; bool versioned, allowed; } names[] = {
        {"a-b_c.9", 7, false, true}, {".a", 2, false, false}, {"a%d", 3, false, false}, {"a%d", 3, true, true},
        {"%d", 2, true, true}, {"a%d%d", 5, true, false}, {"a%", 2, true, false}, {"a%%d", 4, true, false},
        {"a\0b", 3, false, false}, {"", 0, false, false}, {nullptr, 3, false, false}};
    for (const auto& n : names)
        EXPECT_EQ(cache_name_allowed(n.name, n.length, n.versioned), n.allowed) << (n.name ? n.name : "null");
}

// --- Copying, deleting, mox and deltas -------------------------------------------------------------

TEST_F(FileApi, CopyAndDelete) {
    host_put(drive + "/a.dat", "ABC");
    exec("cp('/a.dat', '/b.dat')");
    EXPECT_EQ(host_get(drive + "/b.dat"), "ABC");
    exec("_fcopy('/a.dat', '/ram/c.dat')");
    EXPECT_EQ(run("fetch('/ram/c.dat')"), "ABC");
    EXPECT_EQ(exec("cp() cp('/a.dat')"), "");

    exec("_fdelete('/b.dat')");
    EXPECT_FALSE(host_get(drive + "/b.dat").has_value());
    exec("_fdelete('/ram/c.dat')");
    EXPECT_EQ(run("fetch('/ram/c.dat')"), none);
    exec("_fdelete() _fdelete('/ram')");
    EXPECT_EQ(run("fstat('/ram')"), "<3 results>");

    // A copy costs one cycle a byte, and one when there is nothing to copy.
    exec("store('/ram/big', string.rep('x', 10000), " + bare + ")");
    for (auto [from, cycles] : {std::pair{"/ram/big", 10000}, std::pair{"/ram/none", 1}}) {
        lua_getglobal(p->L, "cp");
        lua_pushstring(p->L, from);
        lua_pushstring(p->L, "/ram/copy");
        cpu_cycles = 0;
        ASSERT_EQ(lua_pcall(p->L, 2, 0, 0), LUA_OK);
        EXPECT_EQ(cpu_cycles, cycles) << from;
    }
}

TEST_F(FileApi, MoxAndDeltaFunctions) {
    expect_runs({{"_mox('s', 0, 'P:')", "P:\"s\""}, {"_mox_raw == mox and _mox == mox", "true"},
                 {"unmox(mox({a = 'q'}, 3)).a", "q"}, {"unmox(5)", none}});
    EXPECT_EQ(all("local a = string.rep('the quick brown fox ', 50) "
                  "local b = a:sub(1, 400) .. 'jumps' .. a:sub(420) "
                  "local d = create_delta(a, b) "
                  "return apply_delta(a, d) == b, #d < #b, select('#', apply_delta('other text', d))"),
              "true|true|0");
    expect_runs({{"apply_delta('', create_delta('', 'new'))", "new"}, {"create_delta('a')", none},
                 {"create_delta(nil, 'b')", none}, {"apply_delta('a')", none},
                 {"apply_delta('a', 'not a delta')", none}});
}

}  // namespace
