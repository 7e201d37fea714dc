// Native work: a child doing large work inside native calls never holds up the root's frames.
// Each case runs in process 4, sliced by a root that runs one nested slice of it per frame;
// the child either finishes or ends with the non-yieldable error.
#include <cctype>
#include <string>

#include "hostile_child.h"

namespace {

struct hostile_case {
    const char* name;
    const char* code;
    bool ends_in_error;
    int min_frames;  // the work is charged by its size: it needs at least this many frames
};

const hostile_case CASES[] = {
    {"backtracking find", "string.find(string.rep('a', 300000), '.-b')", true, 0},
    {"exponential find", "string.rep('a', 30):find(string.rep('a*', 8) .. 'b')", true, 0},
    {"equality", "local a, b = string.rep('x', 1 << 21), string.rep('x', (1 << 21) - 1) .. 'x' "
                 "for i = 1, 200 do local _ = (a == b) end", false, 15},
    {"less than", "local a, b = string.rep('x', 1 << 21), string.rep('x', (1 << 21) - 1) .. 'y' "
                  "for i = 1, 200 do local _ = (a < b) end", false, 15},
    {"plain find", "local s = string.rep('x', 4 << 20) for i = 1, 100 do s:find('y') end", false, 15},
    {"utf8.len", "local s = string.rep('\\u{e9}', 1 << 20) for i = 1, 20 do utf8.len(s) end", false, 50},
    {"collectgarbage", "local keep = {} for k = 1, 100000 do keep[k] = {k} end "
                       "for i = 1, 20 do collectgarbage() end", false, 10},
    {"gsub and format", "local s = string.rep('hello world ', 2000) "
                        "for i = 1, 100 do s:gsub('%w+', '%0%0') string.format('%q', s) end", false, 10},
    {"table.concat", "local t = {} for k = 1, 100000 do t[k] = 'abc' end "
                     "for i = 1, 20 do table.concat(t, ',') end", false, 10},
    {"coroutine.wrap", "for i = 1, 20000 do coroutine.wrap(function() end)() end", false, 2},
    {"load", "local src = string.rep('x = x + 1 ', 20000) for i = 1, 20 do load(src) end", false, 40},
    // 30,000 errors raised and caught, each charged for its raising and catching.
    {"pcall(error)", "for i = 1, 30000 do pcall(error, 'x') end", false, 5},
    {"comparison in a callback", "string.gsub('x', '.', function() "
                                 "local a, b = string.rep('x', 1 << 20), string.rep('x', (1 << 20) - 1) .. 'x' "
                                 "while true do local _ = (a == b) end end)", true, 0},
};

void PrintTo(const hostile_case& c, std::ostream* os) { *os << c.name; }

struct HostileNativeWork : testing::TestWithParam<hostile_case> {
    void SetUp() override { hostile::fresh_machine(); }
    void TearDown() override { processes_init(); }
};

TEST_P(HostileNativeWork, ChildNeverHoldsUpTheRoot) {
    const hostile_case& c = GetParam();
    hostile::outcome o = hostile::run_child(c.code);
    EXPECT_TRUE(o.ended) << "still running after " << o.frames << " frames";
    EXPECT_GE(o.frames, c.min_frames);
    EXPECT_EQ(o.reports.find(hostile::OVERRUN) != std::string::npos, c.ends_in_error) << o.reports;
    hostile::expect_frame_gap_held(o, c.name);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileNativeWork, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<hostile_case>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

// A fixed-size string option is charged by the bytes it copies, none for packsize; an overrun
// that a protected call caught is over: the calls after it run as usual.
TEST(HostileNativeWorkCaught, OverrunEndsWithTheCallThatCaughtIt) {
    hostile::fresh_machine();
    hostile::outcome o = hostile::run_child(
        "local ok, n = pcall(string.packsize, 'c100000000') "
        "assert(ok and n == 100000000, tostring(n)) "
        "assert(#string.unpack('c50000', string.pack('c50000', 'ab')) == 50000) "
        "local s = string.rep('a', 300000) "
        "for i = 1, 2 do "
        "  local ok2, e = pcall(string.find, s, '.-b') "
        "  assert(not ok2 and tostring(e):find('non%-yieldable'), tostring(e)) "
        "  print(pcall(string.packsize, 'c1000000000')) "
        "  assert(select(2, pcall(string.packsize, 'c1000000000')) == 1000000000) "
        "  assert(string.rep('x', 1000):upper() == string.rep('X', 1000)) "
        "end "
        "error('reached the end')");
    EXPECT_TRUE(o.ended);
    EXPECT_EQ(o.reports.find(hostile::OVERRUN), std::string::npos) << o.reports;
    EXPECT_NE(o.reports.find("reached the end"), std::string::npos) << o.reports;
    hostile::expect_frame_gap_held(o, "caught overrun");
    processes_init();
}

}  // namespace
