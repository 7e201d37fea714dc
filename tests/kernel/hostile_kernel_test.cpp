// The kernel's own ground under hostile children: each case runs as process 4 beside a root that
// slices it every frame, and the root's frames stay short whatever the child does.
#include <cctype>
#include <string>

#include "hostile_child.h"

namespace {

struct kernel_case {
    const char* name;
    const char* code;
    int max_frames;
    bool must_end;          // the child ends (an error, out of memory) within max_frames
    const char* report;     // a text the window manager must have been sent, or null
    double gap_ms = hostile::FRAME_GAP_LIMIT_MS;  // the longest frame the root may take
};

const kernel_case CASES[] = {
    {"close handler looping after an error",
     "local x <close> = setmetatable({}, {__close = function() while true do end end}) error('boom')", 3000,
     true, "boom"},
    {"close handler looping at the end of its block",
     "do local x <close> = setmetatable({}, {__close = function() while true do end end}) end", 3000, true,
     hostile::OVERRUN},
    {"close handler looping in a coroutine",
     "coroutine.wrap(function() local x <close> = setmetatable({}, {__close = function() while true do end end}) "
     "error('boom') end)()", 3000, true, "boom"},
    // The table's resizes put megabytes of collector debt on the books at once. Its last resizes
    // (of the table and of the string table) also fault in megabytes of fresh pages inside one
    // instruction: where page faults are slow that alone comes near the frame, so this case is
    // held to a wider gap.
    {"string keys until out of memory", "local t = {} for i = 1, 1e8 do t['k' .. i] = i end", 20000, true,
     "out of memory", 150.0},
    // Every key falls in one chain: each look-up walks the table and is charged by its steps.
    {"sparse float keys", "local t = {} for i = 1, 300000 do t[i * 2^20] = i end", 200, false, nullptr},
    {"many creations in one slice",
     "for i = 1, 40 do _create_process_from_code('while true do coroutine.yield() end', 'c' .. i, '/c.lua') end "
     "while true do coroutine.yield() end",
     60, false, nullptr},
};

void PrintTo(const kernel_case& c, std::ostream* os) { *os << c.name; }

struct HostileKernel : testing::TestWithParam<kernel_case> {
    void SetUp() override { hostile::fresh_machine(); }
    void TearDown() override { processes_init(); }
};

TEST_P(HostileKernel, ChildNeverHoldsUpTheRoot) {
    const kernel_case& c = GetParam();
    hostile::outcome o = hostile::run_child(c.code, c.max_frames);
    if (c.must_end) {
        EXPECT_TRUE(o.ended) << "still running after " << o.frames << " frames";
    }
    if (c.report) {
        EXPECT_NE(o.reports.find(c.report), std::string::npos) << o.reports;
    }
    hostile::expect_frame_gap_held(o, c.name, c.gap_ms);
}

// An allocation the limit refuses gets no emergency collection, so a process whose heap is
// mostly what it keeps must have its garbage collected before it reaches the limit; one that
// keeps all it makes still runs out of memory.
TEST(HostileMemory, GarbageIsGoneBeforeTheLimitButKeptDataRunsOut) {
    const char* keep =
        "local keep = {} for i = 1, 16 do keep[i] = string.rep(string.char(64 + i), 1 << 20) coroutine.yield() end ";
    hostile::fresh_machine();
    std::string churn = std::string(keep) +
                        "while true do local g = {} for j = 1, 100 do g[j] = string.rep('x', 2000) .. j end end";
    hostile::outcome o = hostile::run_child(churn.c_str(), 400);
    EXPECT_FALSE(o.ended) << o.reports;
    hostile::expect_frame_gap_held(o, "churn beside kept data");
    processes_init();

    hostile::fresh_machine();
    std::string grow = std::string(keep) + "local more = {} for i = 1, 1e8 do more[i] = string.rep('x', 2000) .. i end";
    o = hostile::run_child(grow.c_str(), 2000);
    EXPECT_TRUE(o.ended) << "still running after " << o.frames << " frames";
    EXPECT_NE(o.reports.find("out of memory"), std::string::npos) << o.reports;
    hostile::expect_frame_gap_held(o, "kept data growing");
    processes_init();
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileKernel, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<kernel_case>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

}  // namespace
