// time, date and stat, run as scripts inside a process: the process clock, date texts and
// tables with their errors, and the status codes with their result types.
#include <gtest/gtest.h>

#include <SDL.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "audio/mudo.h"
#include "gfx/video.h"
#include "kernel/api.h"
#include "base/machine.h"
#include "base/memmap.h"
#include "kernel/memory.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "storage/pdisk.h"
#include "test_support.h"

namespace {

struct StatScript : testing::Test {
    process_record* p = nullptr;
    std::string saved_tz;
    bool had_tz = false;

    void SetUp() override {
        const char* tz = getenv("TZ");
        had_tz = tz != nullptr;
        if (tz) saved_tz = tz;
        processes_init();
        memset(&app, 0, sizeof(app));
        app.audio_owner = -2;
        app.audio_mirror_id = -3;
        config.video_process_id = 3;
        lock_level = 0;
        set_playing_channels(0);
        last_num_samples_mixed = 0;
        p = make("stat");
    }
    void TearDown() override {
        processes_init();
        memset(&app, 0, sizeof(app));
        config.video_process_id = 3;
        set_playing_channels(0);
        last_num_samples_mixed = 0;
        if (had_tz) setenv("TZ", saved_tz.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

    static void set_tz(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    // A new process made current.
    static process_record* make(const char* name, const char* sandbox = "") {
        process_record* r = create_process_from_code("", name, name, sandbox);
        EXPECT_NE(r, nullptr);
        set_current_process(r);
        return r;
    }

    // Evaluates an expression list and returns its results joined by spaces, floats as "f:" and
    // %.17g, integers as "i:", everything else through tostring; or "error: " and the message.
    std::string run(const std::string& expr) { return run_chunk("return " + expr); }
    // The same for a chunk that ends in its own return statement.
    std::string run_chunk(const std::string& body) { return run_chunk_in(p, body); }
    // The same in another process, which is current meanwhile.
    std::string run_chunk_in(process_record* rec, const std::string& body) {
        set_current_process(rec);
        lua_State* L = rec->L;
        int top = lua_gettop(L);
        std::string wrapped =
            "local r = table.pack((function() " + body +
            "\nend)()) local o = {} for i = 1, r.n do local v = r[i] "
            "if math.type(v) == 'float' then o[i] = 'f:' .. string.format('%.17g', v) "
            "elseif math.type(v) == 'integer' then o[i] = 'i:' .. tostring(v) "
            "else o[i] = tostring(v) end end return table.concat(o, ' ')";
        std::string out = luaL_loadstring(L, wrapped.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK
                              ? std::string("error: ") + lua_tostring(L, -1)
                              : lua_tostring(L, -1);
        lua_settop(L, top);
        set_current_process(p);
        return out;
    }
    // The message of the error that code raises, without its position prefix; "" when none.
    std::string error_of(const std::string& code) {
        std::string r = run(code);
        if (r.rfind("error: ", 0) != 0) return "";
        size_t at = r.find(": ", 7);
        return at == std::string::npos ? r.substr(7) : r.substr(at + 2);
    }
    void check(const script_cases& cases) {
        expect_each([&](const std::string& c) { return run(c); }, cases);
    }
    void check_errors(const script_cases& cases) {
        expect_each([&](const std::string& c) { return error_of(c); }, cases);
    }
    // stat(code, a, b) called from C, so that nothing else runs between it and the caller.
    double stat_c(int64_t code, int64_t a = 0, int64_t b = 0) {
        lua_State* L = p->L;
        int top = lua_gettop(L);
        lua_pushcfunction(L, lua54_stat);
        lua_pushinteger(L, code);
        lua_pushinteger(L, a);
        lua_pushinteger(L, b);
        EXPECT_EQ(lua_pcall(L, 3, 1, 0), LUA_OK);
        double v = lua_tonumber(L, -1);
        lua_settop(L, top);
        return v;
    }
};

// ---- time and date --------------------------------------------------------------------------------

TEST_F(StatScript, TimeCountsSixtiethsOfTheProcessClock) {
    EXPECT_EQ(run("time(), t()"), "f:0 f:0");
    make("other")->clock_frames = 600;  // each process has its own clock
    set_current_process(p);
    p->clock_frames = 90;
    EXPECT_EQ(run("time(), t()"), "f:1.5 f:1.5");
    p->clock_frames = 1;
    EXPECT_EQ(run("time() == 1/60"), "true");
}

TEST_F(StatScript, DateTextsAreUtcInTheFixedLayout) {
    set_tz("XYZ-5");  // the text is UTC whatever the zone
    check({
        {"date(nil, 0)", "1970-01-01 00:00:00"}, {"date(nil, 1714564800)", "2024-05-01 12:00:00"},
        {"date('!%Y-%m-%d %H:%M:%S', 1714564800)", "2024-05-01 12:00:00"},
        {"date(nil, '2024-05-01 12:00:00')", "2024-05-01 12:00:00"},
        {"date(nil, '2024-05-01 12:00:00', 86400)", "2024-05-02 12:00:00"},
        {"date(nil, '2024-02-28 23:59:59', 1)", "2024-02-29 00:00:00"},
        {"date(nil, '2023-12-31 23:59:59', 1)", "2024-01-01 00:00:00"},
        {"date(nil, '2024-03-01 00:00:00', -1)", "2024-02-29 23:59:59"},
        {"date(nil, '2024-05-01 12:00:01')", "2024-05-01 12:00:01"},
        // Only the fixed positions count; what follows character 19 is ignored.
        {"date(nil, '2024-05-01T12:00:00Z and more')", "2024-05-01 12:00:00"},
        // Fields out of range are carried over rather than checked.
        {"date(nil, '2024-13-01 00:00:00')", "2025-01-01 00:00:00"},
        {"date('!%j %u', '1970-02-01 00:00:00')", "032 7"}, {"date(nil, 86400.0)", "1970-01-02 00:00:00"},
        {"date(nil, 0, nil)", "1970-01-01 00:00:00"}, {"date(nil, 100, -100)", "1970-01-01 00:00:00"},
        {"date(nil, -2)", "1969-12-31 23:59:58"},
    });
    // Without a time: now.
    time_t before = time(nullptr);
    std::string text = run("date()");
    time_t after = time(nullptr);
    char lo[32], hi[32];
    struct tm t;
    strftime(lo, sizeof(lo), "%Y-%m-%d %H:%M:%S", gmtime_r(&before, &t));
    strftime(hi, sizeof(hi), "%Y-%m-%d %H:%M:%S", gmtime_r(&after, &t));
    EXPECT_GE(text, std::string(lo));
    EXPECT_LE(text, std::string(hi));
}

TEST_F(StatScript, BadTimesAndUnrepresentableResultsRaiseTheirErrors) {
    const std::string short_text = "bad argument #2 to 'date' (date text shorter than 19 characters)";
    const std::string time_error = "time result cannot be represented in this installation";
    const std::string date_error = "date result cannot be represented in this installation";
    check_errors({
        {"date(nil, '2024-05-01')", short_text}, {"date(nil, '2024-05-01 12:00:0')", short_text},
        {"date(nil, '')", short_text},
        {"date(nil, 1.5)", "bad argument #2 to 'date' (number has no integer representation)"},
        {"date(nil, true)", "bad argument #2 to 'date' (number expected, got boolean)"},
        {"date(nil, {})", "bad argument #2 to 'date' (number expected, got table)"},
        {"date(nil, 0, 0.5)", "bad argument #3 to 'date' (number has no integer representation)"},
        {"date(nil, 0, 'soon')", "bad argument #3 to 'date' (number expected, got string)"},
        {"date(nil, -1)", time_error}, {"date(nil, 0, -1)", time_error},
        {"date(nil, '1969-12-31 23:59:59')", time_error}, {"date(nil, math.maxinteger)", date_error},
        {"date(nil, math.mininteger)", date_error},
        // The sum itself overflowing is refused rather than wrapped.
        {"date(nil, math.maxinteger, 1)", time_error}, {"date(nil, math.mininteger, -1)", time_error},
    });
}

TEST_F(StatScript, TableFormsInUtcAndTheHostZone) {
    EXPECT_EQ(run_chunk("local d = date('!*t', 31536000) return d.year, d.month, d.day, d.hour, d.min, d.sec, "
                        "d.yday, d.wday, d.isdst"),
              "i:1971 i:1 i:1 i:0 i:0 i:0 i:1 i:6 false");
    EXPECT_EQ(run_chunk("local d = date('!*t', '2024-12-31 23:58:07') return d.year, d.month, d.day, d.hour, "
                        "d.min, d.sec, d.yday, d.wday"),
              "i:2024 i:12 i:31 i:23 i:58 i:7 i:366 i:3");
    EXPECT_EQ(run_chunk("local n = 0 for k in pairs(date('!*t', 0)) do n = n + 1 end return n"), "i:9");
    set_tz("XYZ-3");
    EXPECT_EQ(run("date('%Y-%m-%d %H:%M', 0), date('!%H', 0)"), "1970-01-01 03:00 00");
    EXPECT_EQ(run_chunk("local d = date('*t', 0) return d.year, d.month, d.day, d.hour"), "i:1970 i:1 i:1 i:3");
    set_tz("ABC+10");
    EXPECT_EQ(run_chunk("local d = date('*t', 0) return d.year, d.month, d.day, d.hour, d.yday, d.wday"),
              "i:1969 i:12 i:31 i:14 i:365 i:4");
}

TEST_F(StatScript, FormatTextAndConversions) {
    check({
        {"date('!day %d of %B, %%, done', 0)", "day 01 of January, %, done"}, {"date('!', 0)", ""},
        {"date('', 0)", ""}, {"#date('!a\\0b%Y', 0)", "i:7"}, {"date('!*t!', 0)", "*t!"},
        // Output longer than any one conversion's room is still whole.
        {"#date(string.rep('!%Y', 1) .. string.rep('%Y-', 200), 0)", "i:1004"}, {"date('!%Oy|%EY', 0)", "70|1970"},
    });
    std::string all = "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%";
    std::vector<std::string> accepted(all.size());
    for (size_t i = 0; i < all.size(); i++) accepted[i] = all.substr(i, 1);
    for (const char* c : {"Ec", "EC", "Ex", "EX", "Ey", "EY", "Od", "Oe", "OH", "OI", "Om", "OM", "OS", "Ou",
                          "OU", "OV", "Ow", "OW", "Oy"}) {
        accepted.push_back(c);
    }
    for (const std::string& c : accepted) EXPECT_EQ(run("type(date('!%" + c + "', 0))"), "string") << c;
    // Conversions outside the list, seconds since the epoch among them, are refused.
    const std::string bad = "bad argument #1 to 'date' (invalid conversion specifier ";
    check_errors({
        {"date('%Q')", bad + "'%Q')"}, {"date('!%Y %Q tail', 0)", bad + "'%Q tail')"}, {"date('%')", bad + "'%')"},
        {"date('%E')", bad + "'%E')"}, {"date('%Ez')", bad + "'%Ez')"}, {"date('%Ob')", bad + "'%Ob')"},
        {"date('%|')", bad + "'%|')"}, {"date('%d%+')", bad + "'%+')"}, {"date('%s')", bad + "'%s')"},
    });
}

// ---- stat: fixed values, types and host figures -------------------------------------------------

TEST_F(StatScript, VersionPiAndUnknownCodes) {
    check({
        {"stat(5)", "i:24 0.2.2b"}, {"stat(5.9)", "i:24 0.2.2b"}, {"stat(314)", "f:3.1415926535897931"},
        {"stat('314')", "f:3.1415926535897931"}, {"stat(101)", "nil"},
        {"stat(150), stat(151), stat(152), stat(153)", "   "}, {"type(stat(153)), type(stat(154))", "string number"},
    });
    for (const char* code : {"2", "4", "6", "99", "300", "311", "318", "336", "337", "399", "500", "983", "989",
                             "-1", "100000", "math.maxinteger", "math.mininteger"}) {
        EXPECT_EQ(run(std::string("stat(") + code + ")"), "f:0") << code;
    }
}

TEST_F(StatScript, UniqueCounterIsSharedByAllProcesses) {
    std::string first = run("stat(333)");
    ASSERT_EQ(first.rfind("i:", 0), 0u);
    long long n = std::stoll(first.substr(2));
    EXPECT_GE(n, 1);
    EXPECT_EQ(run("stat(333), stat(333)"), "i:" + std::to_string(n + 1) + " i:" + std::to_string(n + 2));
    EXPECT_EQ(run_chunk_in(make("other"), "return stat(333)"), "i:" + std::to_string(n + 3));
    // A reboot clears the per-boot record but not the counter.
    memset(&app, 0, sizeof(app));
    processes_init();
    p = make("again");
    EXPECT_EQ(run("stat(333)"), "i:" + std::to_string(n + 4));
}

TEST_F(StatScript, HostClockAndTimeZone) {
    double before = (double)time(nullptr);
    std::string r = run("stat(86)");
    ASSERT_EQ(r.rfind("f:", 0), 0u) << r;
    EXPECT_GE(std::stod(r.substr(2)), before);
    EXPECT_LE(std::stod(r.substr(2)), (double)time(nullptr));
    set_tz("UTC");
    EXPECT_EQ(run("stat(87)"), "f:0");
    set_tz("XYZ-3");
    EXPECT_EQ(run("stat(87)"), "f:-10800");
    set_tz("EST5EDT");
    EXPECT_EQ(run("stat(87)"), "f:18000");
}

// ---- stat: kernel figures -------------------------------------------------------------------------

TEST_F(StatScript, BufferFileTableAndPageFigures) {
    double count = stat_c(308), bytes = stat_c(309);
    EXPECT_EQ(count, (double)get_total_num_buffers());
    EXPECT_EQ(bytes, (double)get_total_buffer_allocation());
    pbuffer* b = create_buffer_2(1000, 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(stat_c(308), count + 1);
    EXPECT_GE(stat_c(309), bytes + 1000);
    destroy_buffer(b);
    EXPECT_EQ(stat_c(308), count);
    EXPECT_EQ(stat_c(309), bytes);
    EXPECT_EQ(run("math.type(stat(308)), math.type(stat(309))"), "float float");

    EXPECT_EQ(stat_c(310), (double)pdisk_num_pfiles());
    EXPECT_EQ(stat_c(313), (double)p->page_bytes);
    EXPECT_EQ(stat_c(312, 0x100000), 0.0);
    poke(0x100123, 7);
    EXPECT_EQ(stat_c(313), (double)p->page_bytes);
    // Page presence; addresses wrap at 16 MB in both directions.
    struct { int64_t address; double want; } pages[] = {
        {0, 4096}, {0xFFFF, 4096}, {0x100000, 4096}, {0x1000000, 4096}, {0x1100FFF, 4096},
        {-0xF00000, 4096}, {-0x100000, 0}, {-1, 4096}, {INT64_MAX, 4096}, {INT64_MIN, 4096}};
    for (auto& c : pages) EXPECT_EQ(stat_c(312, c.address), c.want) << c.address;
    EXPECT_EQ(run("stat(312, 2^40 + 5)"), "f:4096");
}

TEST_F(StatScript, MemoryFiguresAfterCollection) {
    double v = stat_c(0);
    EXPECT_EQ(v, (double)(p->heap_bytes + p->page_bytes - p->heap_baseline + 524288));
    EXPECT_GE(v, 524288.0 + 65536.0);
    // Garbage is collected first: dropping a large table lowers the figure.
    ASSERT_EQ(run_chunk("big = {} for i = 1, 20000 do big[i] = {i} end return 1"), "i:1");
    double with_table = stat_c(0);
    ASSERT_EQ(run_chunk("big = nil return 1"), "i:1");
    EXPECT_LT(stat_c(0), with_table - 100000);
    // The script heap alone, in whole bytes.
    ASSERT_EQ(run_chunk("junk = {} for i = 1, 5000 do junk[i] = {i} end junk = nil return 1"), "i:1");
    v = stat_c(3);
    EXPECT_EQ(v, lua_gc(p->L, LUA_GCCOUNT) * 1024.0 + lua_gc(p->L, LUA_GCCOUNTB));
    EXPECT_EQ(std::fmod(v, 1.0), 0.0);
    EXPECT_LT(v, 1000000.0);  // the dropped tables were collected
}

TEST_F(StatScript, CycleFiguresAgainstTheFrameBudget) {
    total_frame_cycles = 139810;
    EXPECT_EQ(stat_c(301), 0.5);
    p->allotted_last_frame = 279620;
    EXPECT_EQ(stat_c(331), 1.0);
    // The fast mode of the cartridge player without a window has its own budget.
    config.video_process_id = 4;
    app.window_created = 0;
    EXPECT_EQ(stat_c(331), 279620.0 / 1118481.0);
    app.window_created = 1;
    EXPECT_EQ(stat_c(331), 1.0);
    config.video_process_id = 3;
    total_frame_cycles = 0;

    // The running slice's cycles count on top of the stored ones.
    int32_t saved = cpu_cycles;
    p->flip_cycles = 279620;
    total_frame_cycles_since_wm_flip = 139810;
    cpu_cycles = 0;
    double used = stat_c(1);
    cpu_cycles = 0;
    double wm = stat_c(304);
    EXPECT_GE(used, 1.0);
    EXPECT_LT(used, 1.01);
    EXPECT_GE(wm, 0.5);
    EXPECT_LT(wm, 0.51);
    cpu_cycles = 139810;
    EXPECT_GE(stat_c(304), 1.0);
    total_frame_cycles_since_wm_flip = 0;
    cpu_cycles = saved;
}

TEST_F(StatScript, RecordsSettingsAndFrameRate) {
    p->fps = 0;
    EXPECT_EQ(run("stat(7)"), "f:60");
    p->fps = 20;
    EXPECT_EQ(run("stat(7)"), "f:20");
    app.battery_saver_active = 1;  // halves the frame rate
    EXPECT_EQ(run("stat(7), stat(330)"), "f:10 f:1");
    p->fps = 0;
    EXPECT_EQ(run("stat(7)"), "f:30");

    app.frames_run = 12345;
    p->flags = 3;
    config.headless = 1;
    snprintf(config.stat_text, sizeof(config.stat_text), "%s", "hello stat");
    app.gif_frame_count = 7;
    EXPECT_EQ(run("stat(303), stat(307), stat(315), stat(316), stat(317), stat(320), stat(321), stat(335)"),
              "f:12345 f:3 f:1 hello stat f:1 f:0 f:0 f:0");
    config.headless = 0;
    config.stat_text[0] = 0;
    app.exported_cart = 1;
    app.gif_recording = 1;
    config.video_process_id = 4;
    EXPECT_EQ(run("stat(315), stat(316), stat(317), stat(320), stat(321), stat(335)"), "f:0  f:3 f:1 f:3 f:1");
    config.video_process_id = 3;
    EXPECT_EQ(run("stat(306)"), build_date);
    app.buttons_seen = app.signal36_flag = app.boot_finished = app.audio_capture_on = 1;
    p->flipped = 1;
    EXPECT_EQ(run("stat(334), stat(986), stat(985), stat(322), stat(984)"), "f:1 f:1 f:1 f:1 f:1");
    EXPECT_EQ(run("stat(987)"), "f:" + std::to_string(boot_get_time()));
}

TEST_F(StatScript, SandboxedProcessesAreCountedAndSeeNoGlobalSocketCounts) {
    EXPECT_EQ(run("stat(332)"), "f:0");
    process_record* boxed = make("boxed", "bbs://x");
    EXPECT_EQ(run_chunk_in(boxed, "return stat(40), stat(42)"), "f:0 f:0");
    EXPECT_EQ(run("stat(332)"), "f:1");
    EXPECT_EQ(run("math.type(stat(40)), math.type(stat(41)), math.type(stat(43))"), "float float float");
}

TEST_F(StatScript, KeyQueries) {
    EXPECT_EQ(run("stat(302, -1), stat(302, 512), stat(302, math.maxinteger)"), "nil nil nil");
    // The host's name for the key in its current layout (the dummy driver's is US).
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
    EXPECT_EQ(run("stat(302, 4), stat(302, 40)"), "A Return");
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    EXPECT_EQ(run("stat(305)"), "false");
    poke(ADDR_PROCESS_FLAGS, 0x10);
    EXPECT_EQ(run("stat(305), stat(988)"), "false f:0");  // no key is down
}

TEST_F(StatScript, WithoutACurrentProcess) {
    lua_State* L = p->L;
    cproc = nullptr;
    for (int code : {0, 1, 7, 41, 305, 307, 312, 313, 331, 400, 984}) {
        lua_pushcfunction(L, lua54_stat);
        lua_pushinteger(L, code);
        ASSERT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << code;
        EXPECT_TRUE(lua_isnumber(L, -1) || lua_isboolean(L, -1)) << code;
        lua_pop(L, 1);
    }
    lua_pushcfunction(L, lua54_time);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    EXPECT_EQ(lua_tonumber(L, -1), 0.0);
    lua_pop(L, 1);
    set_current_process(p);
}

// ---- stat: audio ---------------------------------------------------------------------------------

TEST_F(StatScript, AudioCodesAreForTheOwnerOnly) {
    EXPECT_EQ(run("stat(400), stat(415, 3), stat(400, 19), stat(464), stat(465), stat(466), stat(467)"),
              "f:-1 f:-1 f:-1 f:-1 f:-1 f:-1 f:-1");
    EXPECT_EQ(run("stat(499)"), "f:-2");
    set_playing_channels(0x8001);
    EXPECT_EQ(run("stat(498)"), "i:32769");
    for (int i = 0; i < 4; i++) EXPECT_EQ(app.stat_counters[i], 0u);
    EXPECT_EQ(lock_level, 0);
    // Codes the owner has no figure for give -1 too.
    app.audio_owner = p->id;
    EXPECT_EQ(run("stat(416), stat(420), stat(463), stat(468), stat(480), stat(497)"),
              "f:-1 f:-1 f:-1 f:-1 f:-1 f:-1");
}

TEST_F(StatScript, OwnerReadsChannelStateThroughItsOwnCache) {
    app.audio_owner = p->id;
    EXPECT_EQ(run("stat(400, 0), stat(415, 0), stat(400, 1), stat(407, 18)"), "f:0 f:0 f:-1 f:-1");
    EXPECT_EQ(app.stat_counters[0], 1u);  // one refresh for all channels this tick
    EXPECT_EQ(run("stat(403, 5)"), "f:-1");
    EXPECT_EQ(app.stat_counters[0], 1u);
    p->clock_frames++;
    EXPECT_EQ(run("stat(403, 0)"), "f:0");
    EXPECT_EQ(app.stat_counters[0], 2u);
    // Values before the cache's first are refused, not read outside it.
    EXPECT_EQ(run("stat(400, -1), stat(400, math.mininteger)"), "f:-1 f:-1");
    EXPECT_EQ(lock_level, 0);
    // Another process at the same tick refreshes for itself.
    process_record* other = make("other");
    other->clock_frames = p->clock_frames;
    app.audio_owner = other->id;
    run_chunk_in(other, "return stat(400, 0)");
    EXPECT_EQ(app.stat_counters[0], 3u);
}

TEST_F(StatScript, ActiveChannelsAndMusicState) {
    app.audio_owner = p->id;
    EXPECT_EQ(run("stat(464), stat(464)"), "i:0 i:0");
    EXPECT_EQ(app.stat_counters[0], 1u);
    EXPECT_EQ(run("stat(466), stat(467)"), "i:-1 i:0");
    EXPECT_EQ(app.stat_counters[3], 2u);
    EXPECT_EQ(run("stat(400, 19), stat(400, 28)"), "f:367 f:-1");  // a reset channel: one tick of frames
    EXPECT_EQ(app.stat_counters[1], 2u);
    EXPECT_EQ(lock_level, 0);
}

TEST_F(StatScript, MixedBlockIsWrittenThroughTheAddressRuleAndCharged) {
    app.audio_owner = p->id;
    const int16_t block[6] = {1, -2, 3, -4, 32767, -32768};
    memcpy(last_mixed_out, block, sizeof(block));
    last_num_samples_mixed = 3;
    EXPECT_EQ(run("stat(465, 0, 0xFFFFFC)"), "f:3");
    EXPECT_EQ(app.stat_counters[2], 1u);
    EXPECT_EQ((std::vector<int>{peek2(0xFFFFFC), peek2(0xFFFFFE), peek2(0), peek2(2), peek2(4), peek2(6)}),
              (std::vector<int>{1, -2, 3, -4, 32767, -32768}));
    EXPECT_EQ(p->pages.flags[0xFFF], 255);
    EXPECT_EQ(p->pages.flags[0], 255);
    // An address beyond 16 MB, or below 0, lands at the same place.
    memset(page_owned(p->pages, 0), 0, 8);
    EXPECT_EQ(run("stat(465, 0, -4)"), "f:3");
    EXPECT_EQ(peek2(4), 32767);
    memset(page_owned(p->pages, 0xFFF) + 0xFFC, 0, 4);
    EXPECT_EQ(run("stat(465, 0, 0x7FFFFFC)"), "f:3");
    EXPECT_EQ(peek2(0xFFFFFC), 1);
    EXPECT_EQ(lock_level, 0);

    last_num_samples_mixed = 512;
    int32_t before = cpu_cycles;
    EXPECT_EQ(stat_c(465, 0, 0x80000), 512.0);
    EXPECT_GE(cpu_cycles - before, 256);
    EXPECT_EQ(peek2(0x80000 + 4 * 511 + 2), last_mixed_out[1023]);
    last_num_samples_mixed = 1;
    before = cpu_cycles;
    EXPECT_EQ(stat_c(465, 0, 0x80000), 1.0);
    EXPECT_GE(cpu_cycles - before, 1);
}

}  // namespace
