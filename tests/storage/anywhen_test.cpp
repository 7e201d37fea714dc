// The file history: its table and line reader, queries over history folders written here byte
// by byte, and recording through the file system with the setting on.
#include <gtest/gtest.h>

#include <bloom.h>
#include <ctime>
#include <lz4.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/slice.h"
#include "storage/anywhen.h"
#include "storage/listing.h"
#include "storage/murmur.h"
#include "test_support.h"

namespace {

using namespace drive_test;

// ---- Formats, written by hand ------------------------------------------------------------------

std::string le32(uint32_t v) {
    std::string s(4, 0);
    for (int i = 0; i < 4; i++) s[size_t(i)] = char(v >> (8 * i));
    return s;
}

uint32_t crc(const std::string& s) {
    if (s.empty()) return 0;
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

// One LZ4 block holding the bytes as a single run of literals.
std::string lz4_literals(const std::string& raw) {
    size_t n = raw.size();
    std::string out(1, char((n >= 15 ? 15 : n) << 4));
    if (n >= 15) {
        size_t rest = n - 15;
        for (; rest >= 255; rest -= 255) out += char(255);
        out += char(rest);
    }
    return out + raw;
}

std::string blob(const std::string& raw) {
    std::string packed = lz4_literals(raw);
    return le32(uint32_t(packed.size())) + le32(uint32_t(raw.size())) + packed;
}

// A delta container: the target is a literal then a copy of the source's bytes from `from` on.
std::string delta(const std::string& source, const std::string& literal, uint32_t from) {
    std::string target = literal + source.substr(from);
    std::string raw = le32(uint32_t(target.size())) + le32(crc(source)) + le32(crc(target)) +
                      char(literal.size()) + literal + char(source.size() - from) + le32(from);
    return std::string("dst", 4) + le32(uint32_t(raw.size())) + lz4_literals(raw);
}

std::string delta_lines(const std::string& d) {
    std::string out;
    for (size_t i = 0; i < d.size(); i += 38) {
        out += "|";
        out += " ";
        for (size_t k = i; k < std::min(d.size(), i + 38); k++) {
            char hex[3];
            snprintf(hex, sizeof hex, "%02x", (unsigned char)d[k]);
            out += hex;
        }
        out += "\n";
    }
    return out;
}

std::string hash(char c) { return std::string(32, c); }

// ---- A process on a temporary drive -----------------------------------------------------------

struct History : process_on_drive {
    void SetUp() override {
        anywhen_close();
        process_on_drive::SetUp();
        cpu_cycles = 0;  // queries charge their work, as in a slice
    }

    void TearDown() override {
        anywhen_close();
        process_on_drive::TearDown();
    }

    std::string history(const std::string& rel) { return home + "/anywhen/" + rel; }

    void put_history(const std::string& rel, const std::string& bytes) {
        std::string path = history(rel);
        for (size_t s = home.size() + 1; (s = path.find('/', s)) != std::string::npos; s++)
            mkdir(path.substr(0, s).c_str(), 0755);
        host_put(path, bytes);
    }

    // Every result of an expression list, joined by "|"; tables as their items joined by ",".
    std::string run(const std::string& exprs) {
        set_current_process(p);
        std::string code = "local r = table.pack(" + exprs +
                           ") local o = {} for i = 1, r.n do local v = r[i] "
                           "o[i] = type(v) == 'table' and '{' .. table.concat(v, ',') .. '}' or tostring(v) end "
                           "return table.concat(o, '|')";
        lua_State* L = p->L;
        std::string out;
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK)
            out = "error: ";
        size_t n = 0;
        const char* s = lua_tolstring(L, -1, &n);
        out += std::string(s ? s : "", n);
        lua_pop(L, 1);
        return out;
    }
};

// ---- Table and line reader --------------------------------------------------------------------

TEST(HistoryTable, SizesValuesReplacementAndRemoval) {
    EXPECT_EQ(create_htable(1000), nullptr);
    EXPECT_EQ(create_htable(0), nullptr);
    htable* t = create_htable(4);
    ASSERT_NE(t, nullptr);
    int32_t n = 0;
    EXPECT_EQ(htable_insert(t, "flag", nullptr, 0), 0);
    EXPECT_STREQ(htable_get(t, "flag", &n), "true");
    EXPECT_EQ(n, 4);
    EXPECT_EQ(htable_insert(t, "k", "one", 3), 0);
    EXPECT_EQ(htable_insert(t, "k", "three", 5), 0);
    EXPECT_STREQ(htable_get(t, "k", &n), "three");
    EXPECT_EQ(n, 5);
    EXPECT_EQ(t->count, 2u);
    EXPECT_EQ(htable_get(t, "absent", &n), nullptr);

    // Fill the four slots, then remove keys that others probed past: the rest stay reachable
    // and the freed slots take new keys.
    const char* keys[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    std::vector<std::string> in = {"flag", "k"};
    for (const char* k : keys)
        if (htable_insert(t, k, k, 1) == 0) in.push_back(k);
    ASSERT_EQ(in.size(), 4u);
    EXPECT_NE(htable_insert(t, "zz", nullptr, 0), 0);
    for (size_t gone = 0; gone < in.size(); gone++) {
        EXPECT_EQ(htable_delete(t, in[gone].c_str()), 1);
        EXPECT_EQ(htable_delete(t, in[gone].c_str()), 0);
        for (size_t k = gone + 1; k < in.size(); k++) EXPECT_NE(htable_get(t, in[k].c_str(), nullptr), nullptr) << k;
        EXPECT_EQ(htable_insert(t, in[gone].c_str(), "back", 4), 0);
        EXPECT_STREQ(htable_get(t, in[gone].c_str(), nullptr), "back");
    }
    EXPECT_EQ(t->count, 4u);
    destroy_htable(t);
}

TEST_F(History, LineReaderSkipsEmptyLinesAndCutsLongOnes) {
    std::string big(40000, 'x');
    std::string text = "\r\n\nfirst\r\n\r\nsecond\n" + big + "\nshort\n" + std::string(70000, 'y') + "z\nlast";
    host_put(home + "/lines", text);
    line_reader r;
    ASSERT_TRUE(line_iter_start(&r, (home + "/lines").c_str()));
    std::vector<char> line(ANYWHEN_LINE_MAX + 1);
    std::vector<std::pair<std::string, int>> got;
    for (int32_t n; (n = line_iter(&r, line.data())) >= 0;) got.emplace_back(std::string(line.data(), size_t(n)), r.cut);
    line_iter_end(&r);
    std::vector<std::pair<std::string, int>> want = {
        {"first", 0}, {"second", 0}, {std::string(1023, 'x'), 1}, {"short", 0}, {std::string(1023, 'y'), 1},
        {"last", 0}};
    EXPECT_EQ(got, want);
    EXPECT_FALSE(line_iter_start(&r, (home + "/missing").c_str()));
}

// ---- Queries over a history folder written by hand ---------------------------------------------

const std::string quick = "The quick brown fox jumps over the lazy dog.\n";
const std::string red = "The quick red fox jumps over the lazy dog.\n";

struct HandWritten : History {
    void SetUp() override {
        History::SetUp();
        const std::string d = delta(quick, "The quick red", 15);
        put_history("2025-03/03.log",
                    "^ /docs/\n: " + hash('1') + " /docs/a.txt\n: " + hash('e') + " /notes.txt\n"
                    "@ 2025-03-03_18:00:00\n$ " + hash('2') + " /docs/a.txt\n"
                    "@ 2025-03-03_19:00:00\n- /notes.txt\n");
        put_history("2025-03/04.log",
                    "^ /docs/\n^ /docs/old/\n: " + hash('2') + " /docs/a.txt\n: " + hash('a') + " /docs/m.txt\n"
                    "@ 2025-03-04_10:00:00 __start_session\n@ 2025-03-04_10:00:00\n$ " + hash('3') + " /docs/a.txt\n"
                    "@ 2025-03-04_11:30:00\n+ " + hash('3') + " /docs/a.txt\n" + delta_lines(d) +
                    "@ 2025-03-04_12:00:00\n> /docs/new\n"
                    "@ 2025-03-04_12:15:00\n$ " + hash('4') + " /docs/new/b.lua\n$ " + hash('7') +
                    " /docs/new/.info.mox\n"
                    "@ 2025-03-04_13:00:00\n- /docs/m.txt\n"
                    "@ 2025-03-04_14:00:00\n$ " + hash('4') + " /docs/c.txt\n$ " + hash('9') + " /docs/bad.txt\n"
                    "$ " + hash('8') + " /docs/d.txt\n+ " + hash('4') + " /docs/c.txt\n" + delta_lines(d));
        put_history("2031-01/05.log", ": " + hash('5') + " /docs/a.txt\n@ 2031-01-05_09:00:00\n$ " + hash('6') +
                                          " /docs/a.txt\n");
        const std::pair<char, std::string> blobs[] = {
            {'1', "alpha one\n"}, {'2', "alpha two\n"}, {'3', quick},       {'4', "print('b')\n"},
            {'5', "far future\n"}, {'6', "farther\n"}, {'e', "notes\n"},
            {'7', "--[[mox,title=\"New\"]]\n{1}"}, {'8', "eight bytes, sixteen of them here"}};
        for (const auto& [c, raw] : blobs) put_history("blob/" + hash(c) + ".lz4", blob(raw));
        // A blob whose stored size does not match what its block holds.
        put_history("blob/" + hash('9') + ".lz4", le32(6) + le32(9) + lz4_literals("short"));
        put_history("2025-03/mox/" + hash('a'), "memo\n");
    }
};

TEST_F(HandWritten, DaysOfAPath) {
    const std::pair<const char*, const char*> cases[] = {
        {"/docs/a.txt", "{2025-03-03,2025-03-04,2031-01-05}"},
        {"/docs/new/b.lua", "{2025-03-04}"},
        {"/docs/", "{2025-03-04}"},          // folders: days on which entries came or went
        {"/", "{2025-03-03}"},
        {"/docs/m.txt", "{}"},                // deletions count for the folder only
        {"/docs/new[folder]", "{2025-03-04}"},
        {"/none", "{}"}};
    for (const auto& [path, want] : cases)
        EXPECT_EQ(run(std::string("_list_anywhen_by_loc('") + path + "')"), want) << path;
    EXPECT_EQ(run("_list_anywhen_by_loc(3)"), "");
}

TEST_F(HandWritten, MomentsOfADay) {
    const std::pair<const char*, const char*> cases[] = {
        {"/docs/a.txt @ 2025-03-04", "{10:00:00.txt,11:30:00.txt}"},
        {"/docs/a.txt @ 2025-03-03", "{18:00:00.txt}"},
        {"/docs/c.txt @ 2025-03-04", "{14:00:00.txt}"},  // two records at one moment: listed once
        {"/docs @ 2025-03-04", "{12:15:00,14:00:00}"},   // new files, and the new folder's .info.mox
        {"/docs/ @ 2025-03-04", "{12:15:00,14:00:00}"},
        {"/docs/new @ 2025-03-04", "{12:15:00}"},
        {" @ 2025-03-03", "{}"},
        {"/docs/a.txt @ 2025-03-05", "{}"},
        {"/docs/a.txt @ 2025-03-04_10:00:00", ""},       // a day has 10 characters
        {"/docs/a.txt @ 2025-13-04", ""},
        {"/docs/a.txt 2025-03-04", ""},
        {"@", ""},
        {"/docs/a.txt @", ""}};
    for (const auto& [loc, want] : cases)
        EXPECT_EQ(run(std::string("_list_anywhen_by_day('") + loc + "')"), want) << loc;
}

TEST_F(HandWritten, FolderAtAMoment) {
    const std::pair<const char*, const char*> cases[] = {
        {"/docs @ 2025-03-04_09:00:00", "{old,a.txt,m.txt}"},  // start of day
        {"/docs @ 2025-03-04_12:30:00", "{new,old,a.txt,m.txt}"},
        {"/docs/ @ 2025-03-04 12-30-00", "{new,old,a.txt,m.txt}"},
        {"/docs @ 2025-03-04_13:00:00", "{new,old,a.txt}"},
        {"/docs @ 2025-03-04_23:59:59", "{new,old,a.txt,bad.txt,c.txt,d.txt}"},
        {"/docs @ 2025-03-09_08:00:00", "{new,old,a.txt,bad.txt,c.txt,d.txt}"},  // days without a log
        {"/docs/new @ 2025-03-04_12:15:00", "{b.lua}"},
        {" @ 2025-03-03_18:30:00", "{docs,notes.txt}"},
        {" @ 2025-03-03_19:00:00", "{docs}"},
        {"/docs @ 2024-03-31_23:59:59", "{}"},
        {"/docs @ 2025-03-04_12:30:00.5", ""},
        {"/docs @ 2025-03-04", ""},
        {"/docs 2025-03-04_12:30:00", ""}};
    for (const auto& [loc, want] : cases)
        EXPECT_EQ(run(std::string("_list_anywhen_folder_moment('") + loc + "')"), want) << loc;
}

TEST_F(HandWritten, FolderAttribute) {
    const std::pair<const char*, const char*> cases[] = {
        {"anywhen://docs/old @ 2025-03-04_00:00:00", "1"},  // start-of-day folder
        {"anywhen://docs/new @ 2025-03-04_00:00:00", "1"},  // made that day
        {"anywhen://docs/ @ 2025-03-04_00:00:00", "1"},
        {"anywhen://docs @ 2025-03-03 00 00 00", "1"},
        {"anywhen://docs/a.txt @ 2025-03-04_00:00:00", "0"},
        {"anywhen://docs/old @ 2025-03-05_00:00:00", "0"},
        {"anywhen://docs/old @ 2025-03-04", "-1"},
        {"anywhen://docs/old", "-1"},
        {"@", "-1"}};
    for (const auto& [loc, want] : cases) EXPECT_EQ(run(std::string("_anywhen_get_attr('") + loc + "')"), want) << loc;
    EXPECT_EQ(run("_anywhen_get_attr()"), "-1");
}

TEST_F(HandWritten, ContentAtAMoment) {
    const std::pair<const char*, std::string> cases[] = {
        {"/docs/a.txt @ 2025-03-03_12:00:00", "alpha one\n"},
        {"/docs/a.txt @ 2025-03-03_18:00:00", "alpha two\n"},
        {"/docs/a.txt @ 2025-03-04_09:59:59", "alpha two\n"},
        {"/docs/a.txt @ 2025-03-04_10:15:00", quick},
        {"/docs/a.txt @ 2025-03-04 10-15-00", quick},
        {"/docs/a.txt @ 2025-03-04_11:30:00", red},             // the delta applied to its base
        {"/docs/a.txt @ 2025-03-20_00:00:00", red},             // the latest day before
        {"/docs/a.txt @ 2030-12-31_23:59:59", red},             // later years are read as 2030
        {"/docs/a.txt @ 2031-01-05_09:00:00", red},
        {"/docs/a.txt @ 9999-06-01_00:00:00", red},
        {"/docs/a.txt @ 2024-01-01_00:00:00", "<none>"},
        {"/docs/m.txt @ 2025-03-04_12:00:00", "memo\n"},        // the month's raw content file
        {"/docs/m.txt @ 2025-03-04_13:00:00", "<none>"},        // deleted by then
        {"/notes.txt @ 2025-03-03_18:59:59", "notes\n"},
        {"/notes.txt @ 2025-03-03_19:00:00", "<none>"},
        {"/docs/new/b.lua @ 2025-03-04_12:00:00", "<none>"},
        {"/docs/new/.info.mox @ 2025-03-04_11:00:00", "--[[mox,title=\"New\"]]\n{1}"},  // its first record
        {"/docs/bad.txt @ 2025-03-04_14:00:00", "<none>"},      // damaged blob
        {"/docs/d.txt @ 2025-03-04_14:00:00", "eight bytes, sixteen of them here"},
        {"/docs/c.txt @ 2025-03-04_14:00:00", "<none>"},        // delta made for another base
        {"/docs/a.txt @ 2025-03-04", "<none>"},
        {"/docs/a.txt @ 2025-03-xx_10:00:00", "<none>"},
        {"/docs/a.txt 2025-03-04_10:00:00", "<none>"}};
    for (const auto& [loc, want] : cases) {
        pbuffer* b = anywhen_fetch(loc);
        EXPECT_EQ(b ? str(b) : "<none>", want) << loc;
        destroy_buffer(b);
    }
    EXPECT_EQ(run("_fetch_anywhen('/docs/a.txt @ 2025-03-04_11:30:00')"), red);
    EXPECT_EQ(run("_fetch_anywhen('/docs/new/.info.mox @ 2025-03-04_12:15:00')[1]"), "1");
    EXPECT_EQ(run("_fetch_anywhen_metadata('/docs/new/.info.mox @ 2025-03-04_12:15:00').title"), "New");
    EXPECT_EQ(run("_fetch_anywhen_metadata('/docs/a.txt @ 2025-03-04_12:15:00')"), "");
    EXPECT_EQ(run("_fetch_anywhen('/docs/a.txt @ 2025-03-04')"), "");
    EXPECT_EQ(run("_fetch_anywhen({})"), "");
    EXPECT_EQ(run("_fetch_anywhen('/docs/a.txt @ ' .. string.rep('9', 3000))"), "");
}

TEST_F(History, MonthFiltersHoldEveryKeyOfABigMonth) {
    std::string log;
    for (int i = 0; i < 20000; i++) log += "$ " + hash('1') + " /f" + std::to_string(i) + "/x.txt\n";
    put_history("2026-02/01.log", log);
    bloom* b = get_bloom_by_month(2026, 2);
    ASSERT_NE(b, nullptr);
    EXPECT_GE(b->entries, 80000);  // each record gives its path and its folder, alone and by day
    EXPECT_EQ(anywhen_check_location_by_day("/f19999/x.txt", 2026, 2, 1), 1);
    EXPECT_EQ(anywhen_check_location_by_day("/f123/", 2026, 2, 1), 1);
    EXPECT_EQ(anywhen_check_location_by_month("/f123/x.txt", 2026, 2), 1);
    EXPECT_EQ(get_bloom_by_month(2023, 12), nullptr);
    EXPECT_EQ(get_bloom_by_month(2124, 1), nullptr);
    EXPECT_EQ(anywhen_check_location_by_day("/f1/x.txt", 2026, 2, 0), 0);
}

// ---- Recording through the file system ---------------------------------------------------------

struct Recording : History {
    std::string day_rel, today;

    void SetUp() override {
        History::SetUp();
        time_t now = time(nullptr);
        struct tm t;
        gmtime_r(&now, &t);
        char rel[32], day[16];
        strftime(rel, sizeof rel, "%Y-%m/%d.log", &t);
        strftime(day, sizeof day, "%Y-%m-%d", &t);
        day_rel = rel;
        today = day;
    }

    std::string log() { return host_get(history(day_rel)).value_or("<no log>"); }
    // The log's lines from the index-th one on, "@" lines as "@".
    std::vector<std::string> lines_from(size_t index) {
        std::vector<std::string> out;
        std::string text = log();
        for (size_t s = 0, e; s < text.size(); s = e + 1) {
            e = text.find('\n', s);
            if (e == std::string::npos) e = text.size();
            std::string l = text.substr(s, e - s);
            out.push_back(l[0] == '@' ? "@" : l);
        }
        return std::vector<std::string>(out.begin() + long(std::min(index, out.size())), out.end());
    }
    size_t line_count() { return lines_from(0).size(); }
    std::string content_hash(const std::string& content) {
        uint8_t h[16];
        murmurhash3_x64_128(content.data(), content.size(), 0, h);
        char hex[33];
        for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", h[i]);
        return hex;
    }
    std::string unblob(const std::string& h) {
        auto bytes = host_get(history("blob/" + h + ".lz4"));
        if (!bytes || bytes->size() < 8) return "<no blob>";
        uint32_t packed, raw;
        memcpy(&packed, bytes->data(), 4);
        memcpy(&raw, bytes->data() + 4, 4);
        std::string out(raw, 0);
        int n = LZ4_decompress_safe(bytes->data() + 8, out.data(), int(packed), int(raw));
        return n == int(raw) && packed + 8 == bytes->size() ? out : "<bad blob>";
    }
};

TEST_F(Recording, NothingIsWrittenWithTheSettingOff) {
    ASSERT_TRUE(put("/a.txt", "text"));
    anywhen_open();
    pmkdir("/d");
    delete_path("/a.txt");
    struct stat st;
    EXPECT_NE(stat(history("").c_str(), &st), 0);
}

TEST_F(Recording, SwitchingOnSnapshotsTheTree) {
    mkdir((drive + "/d").c_str(), 0755);
    mkdir((drive + "/d/e").c_str(), 0755);
    mkdir((drive + "/x.bin").c_str(), 0755);
    host_put(drive + "/d/e/one.txt", "one");
    host_put(drive + "/top.lua", "top");
    host_put(drive + "/.hidden", "h");
    host_put(drive + "/x.bin/skip.txt", "s");
    ASSERT_EQ(symlink("..", (drive + "/d/loop").c_str()), 0);       // a folder link: never walked
    ASSERT_EQ(symlink("e/one.txt", (drive + "/d/link.txt").c_str()), 0);
    orvalune_apply_setting("anywhen", 1);
    EXPECT_EQ(lines_from(0), (std::vector<std::string>{"^ /d/", "^ /d/e/", ": " + content_hash("one") + " /d/e/one.txt",
                                                       ": " + content_hash("one") + " /d/link.txt",
                                                       ": " + content_hash("top") + " /top.lua"}));
    EXPECT_EQ(unblob(content_hash("top")), "top");
    EXPECT_EQ(run("_list_anywhen_folder_moment(' @ " + today + "_23:59:59')"), "{d,top.lua}");
    EXPECT_EQ(run("_anywhen_get_attr('anywhen://d/e @ " + today + "_23:59:59')"), "1");
}

TEST_F(Recording, ChangesAreStoredAsBlobsOrDeltas) {
    config.anywhen = 1;
    anywhen_open();
    const size_t start = line_count();
    EXPECT_EQ(lines_from(start - 1), std::vector<std::string>{"@"});  // the session's note

    std::string v1;
    for (int i = 0; i < 100; i++) v1 += "line " + std::to_string(i * 7919 % 1000) + "\n";
    ASSERT_TRUE(put("/a.txt", v1));
    const std::string h1 = content_hash(v1);
    EXPECT_EQ(lines_from(start), (std::vector<std::string>{"@", "$ " + h1 + " /a.txt"}));
    EXPECT_EQ(unblob(h1), v1);
    const size_t blobs = host_names(history("blob")).size();

    std::string v2 = v1;
    v2[500] = '#';
    ASSERT_TRUE(put("/a.txt", v2));
    std::vector<std::string> lines = lines_from(start + 2);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "@");
    EXPECT_EQ(lines[1], "+ " + h1 + " /a.txt");
    for (size_t i = 2; i < lines.size(); i++) EXPECT_EQ(lines[i].substr(0, 2), "| ");
    EXPECT_EQ(host_names(history("blob")).size(), blobs);
    EXPECT_EQ(run("_fetch_anywhen('/a.txt @ " + today + "_23:59:59')"), v2);

    // A change too large for a delta is stored whole.
    std::string v3(4000, 'q');
    uint32_t x = 12345;
    for (char& c : v3) x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = char('a' + x % 26);
    ASSERT_TRUE(put("/a.txt", v3));
    EXPECT_EQ(lines_from(line_count() - 1), std::vector<std::string>{"$ " + content_hash(v3) + " /a.txt"});
    EXPECT_EQ(unblob(content_hash(v3)), v3);

    // Without its base content a change is stored whole too, never as a delta against nothing.
    ASSERT_EQ(unlink(history("blob/" + content_hash(v3) + ".lz4").c_str()), 0);
    std::string v4 = v3;
    v4[10] = '!';
    ASSERT_TRUE(put("/a.txt", v4));
    EXPECT_EQ(lines_from(line_count() - 1), std::vector<std::string>{"$ " + content_hash(v4) + " /a.txt"});
    EXPECT_EQ(run("_fetch_anywhen('/a.txt @ " + today + "_23:59:59')"), v4);

    EXPECT_EQ(run("_list_anywhen_by_loc('/a.txt')"), "{" + today + "}");
    ASSERT_TRUE(put("/empty.dat", ""));
    EXPECT_EQ(unblob(content_hash("")), "");
    EXPECT_EQ(run("#_fetch_anywhen('/empty.dat @ " + today + "_23:59:59', 2)"), "0");
    pmkdir("/sub");
    delete_path("/a.txt");
    mkdir((drive + "/sub.bin").c_str(), 0755);
    ASSERT_TRUE(put("/sub.bin/x.txt", "not recorded"));
    EXPECT_EQ(lines_from(line_count() - 4), (std::vector<std::string>{"@", "> /sub", "@", "- /a.txt"}));
    EXPECT_EQ(run("_fetch_anywhen('/a.txt @ " + today + "_23:59:59')"), "");
    // The month's filter follows every written line, not only file changes.
    EXPECT_EQ(run("_list_anywhen_by_loc('/sub[folder]')"), "{" + today + "}");
}

TEST_F(Recording, ALogOfTheDayIsLoadedOnce) {
    // An existing log of today names the base of the next change.
    put_history(day_rel, ": " + content_hash("base content that is long enough") + " /b.txt\n");
    put_history("blob/" + content_hash("base content that is long enough") + ".lz4",
                blob("base content that is long enough"));
    config.anywhen = 1;
    anywhen_open();
    ASSERT_TRUE(put("/b.txt", "base content that is long enough!"));
    std::vector<std::string> lines = lines_from(0);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "+ " + content_hash("base content that is long enough") + " /b.txt"),
              lines.end());
    EXPECT_EQ(run("_fetch_anywhen('/b.txt @ " + today + "_23:59:59')"), "base content that is long enough!");
}

}  // namespace
