// time, date and stat, run as scripts inside a process: the process clock, date texts and
// tables with their errors, and the status codes with their result types.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "audio/mudo.h"
#include "gfx/video.h"
#include "kernel/api.h"
#include "kernel/app.h"
#include "kernel/memmap.h"
#include "kernel/memory.h"
#include "kernel/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "storage/pdisk.h"

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
        mixer_playing_channels = 0;
        last_num_samples_mixed = 0;
        p = create_process_from_code("", "stat", "stat", "");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
    }
    void TearDown() override {
        processes_init();
        memset(&app, 0, sizeof(app));
        config.video_process_id = 3;
        mixer_playing_channels = 0;
        last_num_samples_mixed = 0;
        if (had_tz) setenv("TZ", saved_tz.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

    static void set_tz(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

    // Evaluates an expression list and returns its results joined by spaces, floats as "f:" and %.17g,
    // integers as "i:", everything else through tostring; or "error: " and the message.
    std::string run(const std::string& expr) { return run_chunk("return " + expr); }
    // The same for a chunk that ends in its own return statement.
    std::string run_chunk(const std::string& body) {
        lua_State* L = p->L;
        int top = lua_gettop(L);
        std::string wrapped =
            "local r = table.pack((function() " + body +
            "\nend)()) local o = {} for i = 1, r.n do local v = r[i] "
            "if math.type(v) == 'float' then o[i] = 'f:' .. string.format('%.17g', v) "
            "elseif math.type(v) == 'integer' then o[i] = 'i:' .. tostring(v) "
            "else o[i] = tostring(v) end end return table.concat(o, ' ')";
        if (luaL_loadstring(L, wrapped.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
            std::string err = std::string("error: ") + lua_tostring(L, -1);
            lua_settop(L, top);
            return err;
        }
        std::string out = lua_tostring(L, -1);
        lua_settop(L, top);
        return out;
    }
    // The message of the error that code raises, without its position prefix; "" when none.
    std::string error_of(const std::string& code) {
        std::string r = run(code);
        if (r.rfind("error: ", 0) != 0) return "";
        size_t at = r.find(": ", 7);
        return at == std::string::npos ? r.substr(7) : r.substr(at + 2);
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

// ---- time ----------------------------------------------------------------------------------------

TEST_F(StatScript, TimeIsZeroBeforeTheClockAdvances) {
    EXPECT_EQ(run("time()"), "f:0");
    EXPECT_EQ(run("t()"), "f:0");
}

TEST_F(StatScript, TimeCountsSixtiethsOfTheProcessClock) {
    p->clock_frames = 90;
    EXPECT_EQ(run("time()"), "f:1.5");
    EXPECT_EQ(run("t()"), "f:1.5");
    p->clock_frames = 1;
    EXPECT_EQ(run("time() == 1/60"), "true");
}

TEST_F(StatScript, TimeIsPerProcess) {
    process_record* other = create_process_from_code("", "other", "other", "");
    ASSERT_NE(other, nullptr);
    other->clock_frames = 600;
    p->clock_frames = 60;
    set_current_process(p);
    EXPECT_EQ(run("time()"), "f:1");
}

// ---- date ----------------------------------------------------------------------------------------

TEST_F(StatScript, DateDefaultFormatIsUtcText) {
    EXPECT_EQ(run("date(nil, 0)"), "1970-01-01 00:00:00");
    EXPECT_EQ(run("date(nil, 1714564800)"), "2024-05-01 12:00:00");
    EXPECT_EQ(run("date('!%Y-%m-%d %H:%M:%S', 1714564800)"), "2024-05-01 12:00:00");
}

TEST_F(StatScript, DateWithoutTimeIsNow) {
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

TEST_F(StatScript, DateStringsAreUtcInTheFixedLayout) {
    set_tz("XYZ-5");  // the string is UTC whatever the zone
    EXPECT_EQ(run("date(nil, '2024-05-01 12:00:00')"), "2024-05-01 12:00:00");
    EXPECT_EQ(run("date(nil, '2024-05-01 12:00:00', 86400)"), "2024-05-02 12:00:00");
    EXPECT_EQ(run("date(nil, '2024-02-28 23:59:59', 1)"), "2024-02-29 00:00:00");
    EXPECT_EQ(run("date(nil, '2023-12-31 23:59:59', 1)"), "2024-01-01 00:00:00");
    EXPECT_EQ(run("date(nil, '2024-03-01 00:00:00', -1)"), "2024-02-29 23:59:59");
    // Only the fixed positions count; what follows character 19 is ignored.
    EXPECT_EQ(run("date(nil, '2024-05-01T12:00:00Z and more')"), "2024-05-01 12:00:00");
    // Fields out of range are carried over rather than checked.
    EXPECT_EQ(run("date(nil, '2024-13-01 00:00:00')"), "2025-01-01 00:00:00");
    EXPECT_EQ(run("date('!%j %u', '1970-02-01 00:00:00')"), "032 7");
}

TEST_F(StatScript, ShortDateStringIsAnArgumentError) {
    EXPECT_EQ(error_of("date(nil, '2024-05-01')"),
              "bad argument #2 to 'date' (date text shorter than 19 characters)");
    EXPECT_EQ(error_of("date(nil, '2024-05-01 12:00:0')"),
              "bad argument #2 to 'date' (date text shorter than 19 characters)");
    EXPECT_EQ(error_of("date(nil, '')"), "bad argument #2 to 'date' (date text shorter than 19 characters)");
    EXPECT_EQ(run("date(nil, '2024-05-01 12:00:01')"), "2024-05-01 12:00:01");
}

TEST_F(StatScript, TimeAndDeltaMustBeIntegers) {
    EXPECT_EQ(run("date(nil, 86400.0)"), "1970-01-02 00:00:00");
    EXPECT_EQ(error_of("date(nil, 1.5)"), "bad argument #2 to 'date' (number has no integer representation)");
    EXPECT_EQ(error_of("date(nil, true)"), "bad argument #2 to 'date' (number expected, got boolean)");
    EXPECT_EQ(error_of("date(nil, {})"), "bad argument #2 to 'date' (number expected, got table)");
    EXPECT_EQ(error_of("date(nil, 0, 0.5)"), "bad argument #3 to 'date' (number has no integer representation)");
    EXPECT_EQ(error_of("date(nil, 0, 'soon')"), "bad argument #3 to 'date' (number expected, got string)");
    EXPECT_EQ(run("date(nil, 0, nil)"), "1970-01-01 00:00:00");
    EXPECT_EQ(run("date(nil, 100, -100)"), "1970-01-01 00:00:00");
}

TEST_F(StatScript, UnrepresentableTimesRaiseTheirErrors) {
    const std::string time_error = "time result cannot be represented in this installation";
    const std::string date_error = "date result cannot be represented in this installation";
    EXPECT_EQ(error_of("date(nil, -1)"), time_error);
    EXPECT_EQ(error_of("date(nil, 0, -1)"), time_error);
    EXPECT_EQ(error_of("date(nil, '1969-12-31 23:59:59')"), time_error);
    EXPECT_EQ(error_of("date(nil, math.maxinteger)"), date_error);
    EXPECT_EQ(error_of("date(nil, math.mininteger)"), date_error);
    // The sum itself overflowing is refused rather than wrapped.
    EXPECT_EQ(error_of("date(nil, math.maxinteger, 1)"), time_error);
    EXPECT_EQ(error_of("date(nil, math.mininteger, -1)"), time_error);
    EXPECT_EQ(run("date(nil, -2)"), "1969-12-31 23:59:58");
}

TEST_F(StatScript, UtcTableForm) {
    EXPECT_EQ(run_chunk("local d = date('!*t', 31536000) return d.year, d.month, d.day, d.hour, d.min, d.sec, "
                  "d.yday, d.wday, d.isdst"),
              "i:1971 i:1 i:1 i:0 i:0 i:0 i:1 i:6 false");
    EXPECT_EQ(run_chunk("local d = date('!*t', '2024-12-31 23:58:07') return d.year, d.month, d.day, d.hour, "
                  "d.min, d.sec, d.yday, d.wday"),
              "i:2024 i:12 i:31 i:23 i:58 i:7 i:366 i:3");
    EXPECT_EQ(run_chunk("local n = 0 for k in pairs(date('!*t', 0)) do n = n + 1 end return n"), "i:9");
}

TEST_F(StatScript, LocalTimeFollowsTheHostZone) {
    set_tz("XYZ-3");
    EXPECT_EQ(run("date('%Y-%m-%d %H:%M', 0)"), "1970-01-01 03:00");
    EXPECT_EQ(run("date('!%H', 0)"), "00");
    EXPECT_EQ(run_chunk("local d = date('*t', 0) return d.year, d.month, d.day, d.hour"), "i:1970 i:1 i:1 i:3");
    set_tz("ABC+10");
    EXPECT_EQ(run_chunk("local d = date('*t', 0) return d.year, d.month, d.day, d.hour, d.yday, d.wday"),
              "i:1969 i:12 i:31 i:14 i:365 i:4");
}

TEST_F(StatScript, FormatTextIsCopiedAroundConversions) {
    EXPECT_EQ(run("date('!day %d of %B, %%, done', 0)"), "day 01 of January, %, done");
    EXPECT_EQ(run("date('!', 0)"), "");
    EXPECT_EQ(run("date('', 0)"), "");
    EXPECT_EQ(run("#date('!a\\0b%Y', 0)"), "i:7");
    EXPECT_EQ(run("date('!*t!', 0)"), "*t!");
    // Output longer than any one conversion's room is still whole.
    EXPECT_EQ(run("#date(string.rep('!%Y', 1) .. string.rep('%Y-', 200), 0)"), "i:1004");
}

TEST_F(StatScript, EveryListedConversionIsAccepted) {
    const char* singles = "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%";
    for (const char* c = singles; *c; c++) {
        std::string code = std::string("type(date('!%") + *c + "', 0))";
        EXPECT_EQ(run(code), "string") << *c;
    }
    const char* pairs[] = {"Ec", "EC", "Ex", "EX", "Ey", "EY", "Od", "Oe", "OH", "OI", "Om",
                           "OM", "OS", "Ou", "OU", "OV", "Ow", "OW", "Oy"};
    for (const char* c : pairs) {
        std::string code = std::string("type(date('!%") + c + "', 0))";
        EXPECT_EQ(run(code), "string") << c;
    }
    EXPECT_EQ(run("date('!%Oy|%EY', 0)"), "70|1970");
}

TEST_F(StatScript, ConversionsOutsideTheListAreRefused) {
    EXPECT_EQ(error_of("date('%Q')"), "bad argument #1 to 'date' (invalid conversion specifier '%Q')");
    EXPECT_EQ(error_of("date('!%Y %Q tail', 0)"),
              "bad argument #1 to 'date' (invalid conversion specifier '%Q tail')");
    EXPECT_EQ(error_of("date('%')"), "bad argument #1 to 'date' (invalid conversion specifier '%')");
    EXPECT_EQ(error_of("date('%E')"), "bad argument #1 to 'date' (invalid conversion specifier '%E')");
    EXPECT_EQ(error_of("date('%Ez')"), "bad argument #1 to 'date' (invalid conversion specifier '%Ez')");
    EXPECT_EQ(error_of("date('%Ob')"), "bad argument #1 to 'date' (invalid conversion specifier '%Ob')");
    EXPECT_EQ(error_of("date('%|')"), "bad argument #1 to 'date' (invalid conversion specifier '%|')");
    EXPECT_EQ(error_of("date('%d%+')"), "bad argument #1 to 'date' (invalid conversion specifier '%+')");
    // No seconds-since-the-epoch conversion: it is not in the list.
    EXPECT_EQ(error_of("date('%s')"), "bad argument #1 to 'date' (invalid conversion specifier '%s')");
}

// ---- stat: fixed values and types -----------------------------------------------------------------

TEST_F(StatScript, VersionPiAndUnknownCodes) {
    EXPECT_EQ(run("stat(5)"), "i:24 0.2.2b");
    EXPECT_EQ(run("stat(5.9)"), "i:24 0.2.2b");
    EXPECT_EQ(run("stat(314)"), "f:3.1415926535897931");
    EXPECT_EQ(run("stat('314')"), "f:3.1415926535897931");
    for (const char* code : {"2", "4", "6", "99", "300", "311", "318", "336", "337", "399", "500", "983",
                             "989", "-1", "100000", "math.maxinteger", "math.mininteger"}) {
        EXPECT_EQ(run(std::string("stat(") + code + ")"), "f:0") << code;
    }
    EXPECT_EQ(run("stat(101)"), "nil");
    EXPECT_EQ(run("stat(150), stat(151), stat(152), stat(153)"), "   ");
    EXPECT_EQ(run("type(stat(153)), type(stat(154))"), "string number");
}

TEST_F(StatScript, UniqueCounterIsSharedByAllProcesses) {
    std::string first = run("stat(333)");
    ASSERT_EQ(first.rfind("i:", 0), 0u);
    long long n = std::stoll(first.substr(2));
    EXPECT_GE(n, 1);
    EXPECT_EQ(run("stat(333), stat(333)"), "i:" + std::to_string(n + 1) + " i:" + std::to_string(n + 2));
    process_record* other = create_process_from_code("", "other", "other", "");
    ASSERT_NE(other, nullptr);
    set_current_process(other);
    lua_State* L = other->L;
    ASSERT_EQ(luaL_loadstring(L, "return stat(333)"), LUA_OK);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    EXPECT_TRUE(lua_isinteger(L, -1));
    EXPECT_EQ(lua_tointeger(L, -1), n + 3);
    lua_pop(L, 1);
    set_current_process(p);
    // A reboot clears the per-boot record but not the counter.
    memset(&app, 0, sizeof(app));
    processes_init();
    p = create_process_from_code("", "again", "again", "");
    ASSERT_NE(p, nullptr);
    set_current_process(p);
    EXPECT_EQ(run("stat(333)"), "i:" + std::to_string(n + 4));
}

TEST_F(StatScript, TimeZoneOffsetFromTheHost) {
    set_tz("UTC");
    EXPECT_EQ(run("stat(87)"), "f:0");
    set_tz("XYZ-3");
    EXPECT_EQ(run("stat(87)"), "f:-10800");
    set_tz("EST5EDT");
    EXPECT_EQ(run("stat(87)"), "f:18000");
}

TEST_F(StatScript, HostClockSeconds) {
    double before = (double)time(nullptr);
    lua_State* L = p->L;
    ASSERT_EQ(luaL_loadstring(L, "return stat(86)"), LUA_OK);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    EXPECT_FALSE(lua_isinteger(L, -1));
    double v = lua_tonumber(L, -1);
    lua_pop(L, 1);
    EXPECT_GE(v, before);
    EXPECT_LE(v, (double)time(nullptr));
}

// ---- stat: kernel figures -------------------------------------------------------------------------

TEST_F(StatScript, BufferFigures) {
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
}

TEST_F(StatScript, FileTableAndPageFigures) {
    EXPECT_EQ(stat_c(310), (double)pdisk_num_pfiles());
    EXPECT_EQ(stat_c(313), (double)p->page_bytes);
    EXPECT_EQ(stat_c(312, 0), 4096.0);
    EXPECT_EQ(stat_c(312, 0xFFFF), 4096.0);
    EXPECT_EQ(stat_c(312, 0x100000), 0.0);
    poke(0x100123, 7);
    EXPECT_EQ(stat_c(312, 0x100000), 4096.0);
    EXPECT_EQ(stat_c(313), (double)p->page_bytes);
    // Addresses wrap at 16 MB in both directions.
    EXPECT_EQ(stat_c(312, 0x1000000), 4096.0);
    EXPECT_EQ(stat_c(312, 0x1100FFF), 4096.0);
    EXPECT_EQ(stat_c(312, -0xF00000), 4096.0);
    EXPECT_EQ(stat_c(312, -1), 0.0);
    EXPECT_EQ(stat_c(312, INT64_MAX), 0.0);
    EXPECT_EQ(stat_c(312, INT64_MIN), 4096.0);
    EXPECT_EQ(run("stat(312, 2^40 + 5)"), "f:4096");
}

TEST_F(StatScript, MemoryCountedByTheLimit) {
    double v = stat_c(0);
    EXPECT_EQ(v, (double)(p->heap_bytes + p->page_bytes - p->heap_baseline + 524288));
    EXPECT_GE(v, 524288.0 + 65536.0);
    // Garbage is collected first: dropping a large table lowers the figure.
    ASSERT_EQ(run_chunk("big = {} for i = 1, 20000 do big[i] = {i} end return 1"), "i:1");
    double with_table = stat_c(0);
    ASSERT_EQ(run_chunk("big = nil return 1"), "i:1");
    EXPECT_LT(stat_c(0), with_table - 100000);
}

TEST_F(StatScript, ScriptHeapBytesAfterCollection) {
    ASSERT_EQ(run_chunk("junk = {} for i = 1, 5000 do junk[i] = {i} end junk = nil return 1"), "i:1");
    double v = stat_c(3);
    lua_State* L = p->L;
    double now = lua_gc(L, LUA_GCCOUNT) * 1024.0 + lua_gc(L, LUA_GCCOUNTB);
    EXPECT_EQ(v, now);
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

TEST_F(StatScript, FrameRateIsHalvedByTheBatterySaver) {
    p->fps = 0;
    EXPECT_EQ(run("stat(7)"), "f:60");
    p->fps = 20;
    EXPECT_EQ(run("stat(7)"), "f:20");
    app.battery_saver_active = 1;
    EXPECT_EQ(run("stat(7)"), "f:10");
    EXPECT_EQ(run("stat(330)"), "f:1");
    p->fps = 0;
    EXPECT_EQ(run("stat(7)"), "f:30");
}

TEST_F(StatScript, RecordsAndSettings) {
    app.frames_run = 12345;
    EXPECT_EQ(run("stat(303)"), "f:12345");
    p->flags = 3;
    EXPECT_EQ(run("stat(307)"), "f:3");
    config.headless = 1;
    EXPECT_EQ(run("stat(315)"), "f:1");
    config.headless = 0;
    EXPECT_EQ(run("stat(315)"), "f:0");
    snprintf(config.stat_text, sizeof(config.stat_text), "%s", "hello stat");
    EXPECT_EQ(run("stat(316)"), "hello stat");
    config.stat_text[0] = 0;
    EXPECT_EQ(run("stat(316)"), "");
    EXPECT_EQ(run("stat(317)"), "f:1");
    app.exported_cart = 1;
    EXPECT_EQ(run("stat(317)"), "f:3");
    EXPECT_EQ(run("stat(306)"), build_date);
    EXPECT_EQ(run("stat(335)"), "f:0");
    config.video_process_id = 4;
    EXPECT_EQ(run("stat(335)"), "f:1");
    config.video_process_id = 3;
    app.buttons_seen = 1;
    app.signal36_flag = 1;
    app.boot_finished = 1;
    app.audio_capture_on = 1;
    p->flipped = 1;
    EXPECT_EQ(run("stat(334), stat(986), stat(985), stat(322), stat(984)"), "f:1 f:1 f:1 f:1 f:1");
    EXPECT_EQ(run("stat(987)"), "f:" + std::to_string(boot_get_time()));
}

TEST_F(StatScript, GifRecordingFigures) {
    app.gif_frame_count = 7;
    EXPECT_EQ(run("stat(320), stat(321)"), "f:0 f:0");
    app.gif_recording = 1;
    EXPECT_EQ(run("stat(320), stat(321)"), "f:1 f:3");
}

TEST_F(StatScript, RecentSandboxedProcesses) {
    EXPECT_EQ(run("stat(332)"), "f:0");
    process_record* boxed = create_process_from_code("", "boxed", "boxed", "bbs://x");
    ASSERT_NE(boxed, nullptr);
    set_current_process(p);
    EXPECT_EQ(run("stat(332)"), "f:1");
}

TEST_F(StatScript, SandboxedProcessesSeeNoGlobalSocketCounts) {
    process_record* boxed = create_process_from_code("", "boxed", "boxed", "bbs://x");
    ASSERT_NE(boxed, nullptr);
    set_current_process(boxed);
    lua_State* L = boxed->L;
    ASSERT_EQ(luaL_loadstring(L, "return stat(40), stat(42)"), LUA_OK);
    ASSERT_EQ(lua_pcall(L, 0, 2, 0), LUA_OK);
    EXPECT_EQ(lua_tonumber(L, -2), 0.0);
    EXPECT_EQ(lua_tonumber(L, -1), 0.0);
    lua_pop(L, 2);
    set_current_process(p);
    EXPECT_EQ(run("math.type(stat(40)), math.type(stat(41)), math.type(stat(43))"), "float float float");
}

TEST_F(StatScript, KeyQueries) {
    EXPECT_EQ(run("stat(302, -1), stat(302, 512), stat(302, math.maxinteger)"), "nil nil nil");
    EXPECT_EQ(run("type(stat(302, 4))"), "nil");  // no host key names without a window
    EXPECT_EQ(run("stat(305)"), "false");
    poke(ADDR_PROCESS_FLAGS, 0x10);
    EXPECT_EQ(run("stat(305)"), "false");  // no key is down
    EXPECT_EQ(run("stat(988)"), "f:0");
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
    app.audio_owner = -2;
    EXPECT_EQ(run("stat(400), stat(415, 3), stat(400, 19), stat(464), stat(465), stat(466), stat(467)"),
              "f:-1 f:-1 f:-1 f:-1 f:-1 f:-1 f:-1");
    EXPECT_EQ(run("stat(499)"), "f:-2");
    mixer_playing_channels = 0x8001;
    EXPECT_EQ(run("stat(498)"), "i:32769");
    for (int i = 0; i < 4; i++) EXPECT_EQ(app.stat_counters[i], 0u);
    EXPECT_EQ(lock_level, 0);
}

TEST_F(StatScript, OtherAudioCodesGiveMinusOne) {
    app.audio_owner = p->id;
    for (const char* code : {"416", "420", "463", "468", "480", "497"}) {
        EXPECT_EQ(run(std::string("stat(") + code + ")"), "f:-1") << code;
    }
}

TEST_F(StatScript, OwnerReadsChannelStateThroughTheCache) {
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
}

TEST_F(StatScript, CacheBelongsToItsProcess) {
    app.audio_owner = p->id;
    EXPECT_EQ(run("stat(400, 0)"), "f:0");
    EXPECT_EQ(app.stat_counters[0], 1u);
    process_record* other = create_process_from_code("", "other", "other", "");
    ASSERT_NE(other, nullptr);
    other->clock_frames = p->clock_frames;
    app.audio_owner = other->id;
    set_current_process(other);
    lua_State* L = other->L;
    ASSERT_EQ(luaL_loadstring(L, "return stat(400, 0)"), LUA_OK);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    lua_pop(L, 1);
    EXPECT_EQ(app.stat_counters[0], 2u);
    set_current_process(p);
}

TEST_F(StatScript, ActiveChannelsAndMusicState) {
    app.audio_owner = p->id;
    EXPECT_EQ(run("stat(464), stat(464)"), "i:0 i:0");
    EXPECT_EQ(app.stat_counters[0], 1u);
    EXPECT_EQ(run("stat(466), stat(467)"), "i:-1 i:0");
    EXPECT_EQ(app.stat_counters[3], 2u);
    EXPECT_EQ(run("stat(400, 19), stat(400, 28)"), "f:-1 f:-1");
    EXPECT_EQ(app.stat_counters[1], 2u);
    EXPECT_EQ(lock_level, 0);
}

TEST_F(StatScript, MixedBlockIsWrittenThroughTheAddressRule) {
    app.audio_owner = p->id;
    const int16_t block[6] = {1, -2, 3, -4, 32767, -32768};
    memcpy(last_mixed_out, block, sizeof(block));
    last_num_samples_mixed = 3;
    EXPECT_EQ(run("stat(465, 0, 0xFFFFFC)"), "f:3");
    EXPECT_EQ(app.stat_counters[2], 1u);
    EXPECT_EQ(peek2(0xFFFFFC), 1);
    EXPECT_EQ(peek2(0xFFFFFE), -2);
    EXPECT_EQ(peek2(0x000000), 3);
    EXPECT_EQ(peek2(0x000002), -4);
    EXPECT_EQ(peek2(0x000004), 32767);
    EXPECT_EQ(peek2(0x000006), -32768);
    EXPECT_EQ(p->pages.flags[0xFFF], 255);
    EXPECT_EQ(p->pages.flags[0], 255);

    // An address beyond 16 MB, or below 0, lands at the same place.
    memset(p->pages.owned[0], 0, 8);
    EXPECT_EQ(run("stat(465, 0, -4)"), "f:3");
    EXPECT_EQ(peek2(0x000004), 32767);
    EXPECT_EQ(run("stat(465, 0, 0x7FFFFFC)"), "f:3");
    EXPECT_EQ(peek2(0xFFFFFC), 1);
    EXPECT_EQ(lock_level, 0);
}

TEST_F(StatScript, MixedBlockCopyChargesCycles) {
    app.audio_owner = p->id;
    last_num_samples_mixed = 512;
    int32_t before = cpu_cycles;
    EXPECT_EQ(stat_c(465, 0, 0x80000), 512.0);
    EXPECT_GE(cpu_cycles - before, 256);
    EXPECT_EQ(peek2(0x80000 + 4 * 511 + 2), last_mixed_out[1023]);
}

}  // namespace
