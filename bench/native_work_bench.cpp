// Native work: host time of one frame's budget (279,620 cycles) spent in each costly native
// primitive (pattern matching, formatting, string building, comparison, concatenation, UTF-8
// scanning, full collections), next to the same budget of plain script. The budget a process
// overruns in native code before it is stopped is a fixed number of cycles, so these figures
// bound how long one process can hold up every other.
// Target: at most 2 ms for a budget of any primitive.
//
// Each primitive runs in a process of its own, in a loop, for whole slices; a slice's cycles
// are the work charged to it, past the budget too (a single call may charge many budgets). Times
// are the thread's processor time; a measurement is the time of all its frames over the
// budgets they were charged, the best of `rounds` rounds (default 5).
//
// Built with the project as the native_work_bench target; run it as
// `native_work_bench [rounds [name]]` in a Release build, pinned to one processor; with a name,
// only the primitives whose names contain it are measured.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "bench_machine.h"
#include "base/machine.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "storage/pdisk.h"

namespace {

constexpr int DEFAULT_ROUNDS = 5;
constexpr int FRAMES = 40;
constexpr double TARGET_MS = 2.0;

// Locals made once, then one step per loop iteration. Each step is a small part of a
// budget, so that a slice ends close to its budget.
struct primitive {
    const char* name;
    const char* setup;
    const char* step;
};

const primitive PRIMITIVES[] = {
    {"plain script",
     "local t, s = {}, 0 local function f(x) return x * 3 + 1 end for i = 1, 100 do t[i] = i end",
     "local k = i % 100 + 1 t[k] = f(t[k]) % 1000 s = s + t[k]"},
    {"find, backtracking", "local s = string.rep('a', 300)", "s:find('.-b')"},
    {"find, many starts", "local s = string.rep('a', 2000)", "s:find('a*b')"},
    {"find, plain", "local s = string.rep('a', 20000)", "s:find('aab', 1, true)"},
    {"find, no match", "local s = string.rep('a', 20000)", "s:find('y')"},
    {"match, balance", "local s = string.rep('(', 5000)", "s:match('%b()')"},
    {"gmatch", "local s = string.rep('hello world ', 100)", "for w in s:gmatch('%a+') do end"},
    {"gsub", "local s = string.rep('hello world ', 100)", "s:gsub('%w+', '%0%0')"},
    {"gsub, many escapes", "local s, r = string.rep('ab', 50), string.rep('%0', 500)", "s:gsub('%a', r)"},
    {"gsub, function", "local s = string.rep('ab', 300) local function f(c) return c end",
     "s:gsub('%a', f)"},
    {"format, numbers", "", "string.format('%d %5.2f %x %g %s', i, i * 0.5, i, i / 3, 'abc')"},
    {"format, wide", "local x = 1e300", "string.format('%99.99f', x)"},
    {"format, quoted", "local s = string.rep('a\\0\\n\"', 1000)", "string.format('%q', s)"},
    {"rep", "", "string.rep('abc', 5000)"},
    {"rep, separator", "", "string.rep('a', 3000, ',')"},
    {"sub, upper, reverse", "local s = string.rep('abcdef', 2000)", "s:sub(2, -2):upper():reverse()"},
    {"byte and char", "local s = string.rep('x', 2000)", "string.char(s:byte(1, -1))"},
    {"pack and unpack", "local s = string.rep('x', 10000)", "string.unpack('s4', string.pack('s4', s))"},
    {"table.concat", "local t = {} for k = 1, 1000 do t[k] = 'abcdefghij' end", "table.concat(t, ',')"},
    {"table.concat, short", "local t = {'ab', 'cd', 'ef', 'gh'}", "table.concat(t)"},
    {"table.move", "local a, b = {}, {} for k = 1, 1000 do a[k] = k end", "table.move(a, 1, 1000, 1, b)"},
    {"concatenation", "local a, b = string.rep('a', 20000), string.rep('b', 20000)", "local c = a .. b"},
    {"equality", "local a, b = string.rep('a', 100000), string.rep('a', 99999) .. 'a'", "local c = a == b"},
    {"equality, constant", "local a = string.rep('a', 100)",
     "local c = a == 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'"},
    {"less than", "local a, b = string.rep('a', 100000), string.rep('a', 99999) .. 'b'", "local c = a < b"},
    {"tonumber", "local s = string.rep('1', 180)", "local c = tonumber(s)"},
    {"utf8.len", "local s = string.rep('a\\u{e9}\\u{20ac}', 10000)", "utf8.len(s)"},
    {"utf8.len, long", "local s = string.rep('\\u{e9}', 1 << 20)", "utf8.len(s)"},
    {"utf8.offset", "local s = string.rep('\\u{e9}', 10000)", "utf8.offset(s, 9999)"},
    {"utf8.codepoint", "local s = string.rep('\\u{e9}', 2000)", "utf8.codepoint(s, 1, -1)"},
    {"utf8.char", "local t = {} for k = 1, 200 do t[k] = 0x4e00 + k end local unpack = table.unpack",
     "utf8.char(unpack(t))"},
    {"utf8.codes", "local s = string.rep('\\u{e9}', 1000)", "for p, c in utf8.codes(s) do end"},
    {"tostring, float", "", "local c = tostring(i + 0.5)"},
    {"next, emptied table",
     "local t = {} for k = 1, 10000 do t['k' .. k] = k end for k = 1, 10000 do t['k' .. k] = nil end",
     "local c = next(t)"},
    {"long keys",
     "local t, keys = {}, {} for k = 1, 100 do keys[k] = string.rep('k', 1000) .. k t[keys[k]] = k end",
     "local c = t[keys[i % 100 + 1] .. '']"},
    {"collectgarbage", "local keep = {} for k = 1, 20000 do keep[k] = {k} end", "collectgarbage()"},
    {"collectgarbage, step", "local keep = {} for k = 1, 20000 do keep[k] = {k} end",
     "collectgarbage('step', 100)"},
    {"coroutine.wrap", "local function f() end", "coroutine.wrap(f)"},
    {"coroutine resume", "local co = coroutine.wrap(function() while true do coroutine.yield() end end)",
     "co()"},
    {"load", "local src = string.rep('x = x + 1 ', 200)", "load(src)"},
};

std::string process_code(const primitive& p) {
    return std::string(p.setup) + " local i = 0 while true do i = i + 1 " + p.step + " end";
}

char home[64] = "/tmp/orvalune_native_bench_XXXXXX";

void reset_kernel() { bench_reset_kernel(home); }

// Milliseconds of host time per budget of the process's work: the time of `frames` slices
// scaled to a budget by the cycles they were charged. Sums, not a median of frames: a slice
// that only pays debt costs next to nothing and is charged next to nothing.
double ms_per_budget(const primitive& p, int frames) {
    reset_kernel();
    std::string code = process_code(p);
    process_record* rec = create_process_from_code(code.c_str(), "p", "/apps/p.lua", "");
    if (!rec) return -1;
    int64_t id = rec->id;
    double seconds = 0;
    int64_t cycles = 0;
    for (int f = 0; f < frames + 3; f++) {
        prepare_processes_for_frame();
        int64_t debt = rec->cycle_debt;
        double start = thread_seconds();
        int32_t used = run_process_slice(rec, 1.0);
        double t = thread_seconds() - start;
        if (get_process(id) != rec || rec->state != PSTATE_RUNNING) return -1;  // it failed
        if (f < 3) continue;
        seconds += t;
        // The slice starts from the debt cut to its cap, pays what it can and adds what it
        // spends past the budget: used + debt after = capped debt + work charged.
        cycles += used + (int64_t)rec->cycle_debt - std::min<int64_t>(debt, DEBT_CAP);
    }
    if (cycles <= 0) return -1;
    return seconds * 1e3 * FRAME_CYCLE_BUDGET / (double)cycles;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = bench_parse_rounds(argc, argv, DEFAULT_ROUNDS, 2);
    if (rounds < 0) {
        fprintf(stderr, "usage: %s [rounds 1..100 [name]]\n", argv[0]);
        return 2;
    }
    if (!mkdtemp(home)) return 1;
    reset_kernel();
    pfile_init();
    pfile_reset();

    printf("host time of one budget (%d cycles), best of %d rounds\n", FRAME_CYCLE_BUDGET, rounds);
    bool ok = true;
    // A name given after the rounds measures only the primitives whose names contain it.
    const char* only = argc > 2 ? argv[2] : nullptr;
    for (const primitive& p : PRIMITIVES) {
        if (only && !strstr(p.name, only)) continue;
        double best = INFINITY;
        for (int r = 0; r < rounds; r++) {
            double ms = ms_per_budget(p, FRAMES);
            if (ms < 0) {
                fprintf(stderr, "%s: the process failed\n", p.name);
                return 1;
            }
            best = std::min(best, ms);
        }
        bool within = best <= TARGET_MS;
        ok &= within;
        printf("%-24s %9.3f ms%s\n", p.name, best, within ? "" : "  above target");
        fflush(stdout);
    }
    printf("target: %.1f ms for every primitive\n", TARGET_MS);
    processes_init();
    std::string remove = std::string("rm -rf '") + home + "'";
    if (system(remove.c_str()) != 0) fprintf(stderr, "could not remove %s\n", home);
    return ok ? 0 : 1;
}
