// Hostile children and the file history: a child looping history queries over big day logs
// never holds up the root's frames; each call gives its result or ends with the overrun error.
#include <sys/stat.h>

#include <string>

#include "hostile_child.h"
#include "lauxlib.h"
#include "storage/anywhen.h"
#include "test_support.h"

namespace {

struct HostileAnywhen : drive_test::temp_drive {
    void SetUp() override {
        hostile::fresh_machine();
        anywhen_close();
        temp_drive::SetUp();
    }
    void TearDown() override {
        anywhen_close();
        processes_init();
        temp_drive::TearDown();
    }
    void put(const std::string& rel, const std::string& bytes) {
        std::string path = home + "/anywhen/" + rel;
        for (size_t s = home.size() + 1; (s = path.find('/', s)) != std::string::npos; s++)
            mkdir(path.substr(0, s).c_str(), 0755);
        drive_test::host_put(path, bytes);
    }
};

TEST_F(HostileAnywhen, QueriesOverBigLogsHoldNoFrame) {
    // About 4 MB of records in one day, and a day log of 6 MB on a single line.
    const std::string h(32, 'a');
    std::string log = "^ /d/\n";
    for (int i = 0; i < 80000; i++) {
        if (i % 100 == 0) log += "@ 2025-03-04_" + std::string(i < 40000 ? "10" : "20") + ":00:00\n";
        log += "$ " + h + " /d/f" + std::to_string(i) + ".txt\n";
    }
    put("2025-03/04.log", log);
    put("2025-04/01.log", std::string(6 << 20, 'x'));
    put("blob/" + h + ".lz4", std::string("\x06\0\0\0\x05\0\0\0\x50hello", 14));

    const struct {
        const char* name;
        const char* call;
    } cases[] = {
        {"fetch", "_fetch_anywhen('/d/f7.txt @ 2025-03-04_23:59:59')"},
        {"fetch metadata", "_fetch_anywhen_metadata('/d/f7.txt @ 2025-03-04_23:59:59')"},
        {"fetch after a one-line log", "_fetch_anywhen('/d/f7.txt @ 2025-04-01_12:00:00')"},
        {"moments of a day", "_list_anywhen_by_day('/d/f79999.txt @ 2025-03-04')"},
        {"moments of a folder", "_list_anywhen_by_day('/d @ 2025-03-04')"},
        {"days of a path", "_list_anywhen_by_loc('/d/f7.txt')"},
        {"folder at a moment", "_list_anywhen_folder_moment('/d @ 2025-03-04_23:59:59')"},
        {"folder attribute", "_anywhen_get_attr('anywhen://d @ 2025-03-04_12:00:00')"},
    };
    for (const auto& c : cases) {
        hostile::fresh_machine();
        snprintf(config.home_folder, sizeof(config.home_folder), "%s", home.c_str());
        anywhen_close();  // every case builds its month filters afresh
        const std::string code = std::string("local results, stops = 0, 0 for i = 1, 30 do "
                                             "local ok, e = pcall(function() return ") +
                                 c.call +
                                 " end) "
                                 "if ok then results = results + 1 "
                                 "elseif tostring(e):find('too many cycles in non-yieldable code', 1, true) "
                                 "then stops = stops + 1 else error(e) end end "
                                 "assert(results + stops == 30)";
        hostile::outcome o = hostile::run_child(code.c_str(), 3000);
        EXPECT_TRUE(o.ended) << c.name;
        EXPECT_EQ(o.reports, "") << c.name;
        hostile::expect_frame_gap_held(o, c.name);
        printf("%s: %d frames, longest %.2f ms\n", c.name, o.frames, o.longest_ms);
    }
}

// A month whose filter costs more than the overrun bound to build is read over several slices
// where the child can yield, with the right results; where it cannot, the call ends with the
// overrun error.
TEST_F(HostileAnywhen, AMonthTooBigForOneBoundIsReadOverSeveralSlices) {
    const std::string h(32, 'b');
    std::string log = "^ /d/\n";
    for (int i = 0; i < 120000; i++) {
        if (i % 100 == 0) log += "@ 2025-03-04_" + std::string(i < 60000 ? "10" : "20") + ":00:00\n";
        log += "$ " + h + " /d/f" + std::to_string(i) + ".txt\n";
    }
    put("2025-03/04.log", log);
    put("2025-03/mox/" + h, "hello");
    const char* code =
        "local ok, e = pcall(string.gsub, 'x', 'x', function() _list_anywhen_by_loc('/d/f7.txt') end) "
        "assert(not ok and tostring(e):find('too many cycles in non-yieldable code', 1, true), tostring(e)) "
        "anywhen_close_for_test() "
        "local days = _list_anywhen_by_loc('/d/f7.txt') "
        "assert(#days == 1 and days[1] == '2025-03-04', #days) "
        "anywhen_close_for_test() "
        "local moments = _list_anywhen_by_day('/d/f119999.txt @ 2025-03-04') "
        "assert(#moments == 1 and moments[1] == '20:00:00.txt', #moments) "
        "assert(_anywhen_get_attr('anywhen://d @ 2025-03-04_12:00:00') == 1) "
        "assert(_fetch_anywhen('/d/f119999.txt @ 2025-03-04_23:59:59') == 'hello') "
        "assert(_fetch_anywhen('/d/f119999.txt @ 2025-03-04_10:00:00') == nil)";
    snprintf(config.home_folder, sizeof(config.home_folder), "%s", home.c_str());
    hostile::outcome o = hostile::run_child(code, 3000, [](process_record* p) {
        lua_register(p->L, "anywhen_close_for_test", [](lua_State*) {
            anywhen_close();
            return 0;
        });
    });
    EXPECT_TRUE(o.ended);
    EXPECT_EQ(o.reports, "");
    EXPECT_GT(o.frames, 30);  // it took many slices
    hostile::expect_frame_gap_held(o, "a month too big for one bound");
}

}  // namespace
