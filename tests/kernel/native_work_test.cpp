// Native work: a child doing large work inside native calls never holds up the root's frames.
// Each case runs in process 4, sliced by a root that runs one nested slice of it per frame;
// the child either finishes or ends with the non-yieldable error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <cstring>
#include <string>

#include "kernel/app.h"
#include "kernel/process.h"
#include "kernel/slice.h"

#if defined(__SANITIZE_ADDRESS__)
#define SLOWED_DOWN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SLOWED_DOWN 1
#endif
#endif

namespace {

double thread_ms() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

struct hostile_case {
    const char* name;
    const char* code;
    bool ends_in_error;
    int min_frames;  // the work is charged by its size: it needs at least this many frames
};

const char* const OVERRUN = "too many cycles in non-yieldable code";

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
    {"comparison in a callback", "string.gsub('x', '.', function() "
                                 "local a, b = string.rep('x', 1 << 20), string.rep('x', (1 << 20) - 1) .. 'x' "
                                 "while true do local _ = (a == b) end end)", true, 0},
};

void PrintTo(const hostile_case& c, std::ostream* os) { *os << c.name; }

struct NativeWork : testing::TestWithParam<hostile_case> {
    void SetUp() override {
        processes_init();
        set_default_config();
        config.headless = 1;
        memset(&app, 0, sizeof(app));
    }
    void TearDown() override { processes_init(); }
};

TEST_P(NativeWork, ChildNeverHoldsUpTheRoot) {
    const hostile_case& c = GetParam();
    process_record* root = create_process_from_code(
        "while true do _run_process_slice(4, 1.0) coroutine.yield() end", "root", "root", "");
    create_process_from_code("while true do coroutine.yield() end", "two", "two", "");
    process_record* wm = create_process_from_code("while true do coroutine.yield() end", "wm", "wm", "");
    process_record* child = create_process_from_code(c.code, "child", "child", "");
    ASSERT_TRUE(root && wm && child);
    int frames = 0;
    double longest = 0;
    while (get_process(4) && frames < 1000) {
        prepare_processes_for_frame();
        double start = thread_ms();
        run_process_slice(root, 1.0);
        longest = std::max(longest, thread_ms() - start);
        frames++;
    }
    EXPECT_EQ(get_process(4), nullptr) << "still running after " << frames << " frames";
    EXPECT_GE(frames, c.min_frames);
    std::string errors;
    while (pbuffer* b = read_process_message(wm, nullptr)) errors.append((const char*)b->data, b->length);
    EXPECT_EQ(errors.find(OVERRUN) != std::string::npos, c.ends_in_error) << errors;
#ifndef SLOWED_DOWN
    EXPECT_LT(longest, 100.0) << "host milliseconds of the longest of " << frames << " frames";
#endif
}

INSTANTIATE_TEST_SUITE_P(Cases, NativeWork, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<hostile_case>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

}  // namespace
