// Interpreter cost: the dialect's time against stock Lua 5.4.2 on CPU-bound scripts, both
// built from the same tarball as C with the same flags and run in the same process; the
// targets are a time ratio of at most 1.10 for every script and a geometric mean of the
// ratios of at most 1.05.
//
// Built with the project as the interp_bench target; run it as `interp_bench [rounds]` in a
// Release build. Each script runs in a fresh state `rounds` times on each side (default 7), the
// two sides taking turns; the times shown are the best of each side, and a script's ratio is
// the median of the ratios of the runs made side by side, which a busy machine moves least.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_clock.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "script/libs.h"
#include "stock_lua.h"


namespace {

constexpr double SCRIPT_TARGET = 1.10;  // every script
constexpr double MEAN_TARGET = 1.05;    // geometric mean
constexpr int DEFAULT_ROUNDS = 7;
constexpr int MAX_ROUNDS = 100;
constexpr size_t RESULT_SIZE = 256;

struct bench_script {
    const char* name;
    const char* code;
};

const bench_script SCRIPTS[] = {
    {"fib", R"(
local function fib(n)
  if n < 2 then return n end
  return fib(n - 1) + fib(n - 2)
end
return fib(32)
)"},
    {"numeric loops", R"(
local s = 0
for i = 1, 10000000 do
  s = s + (i * 3 + 1) % 1000 - (i >> 2 & 7)
end
local x, y = 0.0, 1.0
for i = 1, 4000000 do
  x = x + y * 0.5
  y = y * 0.999 + 0.001
end
return s + math.floor(x)
)"},
    {"branches", R"(
local steps = 0
for start = 1, 200000 do
  local n = start
  while n ~= 1 do
    if n % 2 == 0 then n = n // 2 else n = 3 * n + 1 end
    steps = steps + 1
  end
end
return steps
)"},
    {"table insert/read", R"(
local t = {}
for i = 1, 2000000 do t[#t + 1] = i end
local u = {}
for i = 1, 500000 do table.insert(u, i * 2) end
local s = 0
for r = 1, 5 do
  for i = 1, #t do s = s + t[i] end
end
for i = 1, #u do s = s + u[i] end
local h = {}
for i = 1, 300000 do h["k" .. (i % 5000)] = i end
for k, v in pairs(h) do s = s + v end
return s
)"},
    {"sieve", R"(
local count = 0
for r = 1, 2 do
  local N = 2000000
  local flags = {}
  for i = 1, N do flags[i] = true end
  count = 0
  for i = 2, N do
    if flags[i] then
      count = count + 1
      for j = i * i, N, i do flags[j] = false end
    end
  end
end
return count
)"},
    {"string building", R"(
local parts = {}
for i = 1, 300000 do
  parts[#parts + 1] = "item" .. i .. ";"
end
local s = table.concat(parts)
local acc = ""
for i = 1, 20000 do acc = acc .. string.char(65 + i % 26) end
local n = 0
for w in s:gmatch("item(%d+);") do n = n + #w end
local f = 0
for i = 1, 200000 do f = f + #string.format("%d:%s", i, "x") end
return #s + #acc + n + f + #(s:upper():sub(1, 10))
)"},
    {"closures", R"(
local function counter()
  local c = 0
  return function(d) c = c + d; return c end
end
local total = 0
for i = 1, 200000 do
  local f = counter()
  for j = 1, 10 do total = total + f(j) end
end
local adders = {}
for i = 1, 100 do adders[i] = function(x) return x + i end end
for r = 1, 20000 do
  for i = 1, 100 do total = adders[i](total) % 1000000007 end
end
return total
)"},
    {"method calls", R"(
local Point = {}
Point.__index = Point
function Point.new(x, y) return setmetatable({x = x, y = y}, Point) end
function Point:add(o) return Point.new(self.x + o.x, self.y + o.y) end
function Point:len2() return self.x * self.x + self.y * self.y end
function Point:move(dx, dy) self.x = self.x + dx; self.y = self.y + dy end
local Walker = setmetatable({}, {__index = Point})
Walker.__index = Walker
function Walker.new() return setmetatable(Point.new(0, 0), Walker) end
function Walker:step(i) self:move(i % 3, i % 5) end
local p = Point.new(1, 2)
local w = Walker.new()
local s = 0
for i = 1, 2000000 do
  w:step(i)
  s = s + p:len2()
end
local q = Point.new(0, 0)
for i = 1, 500000 do q = q:add(p) end
return s + w:len2() + q.x + q.y
)"},
    {"coroutine ping-pong", R"lua(
local co = coroutine.wrap(function(a)
  while true do a = coroutine.yield(a + 1) end
end)
local s = 0
for i = 1, 1000000 do s = co(s) end
local function gen(n)
  return coroutine.wrap(function() for i = 1, n do coroutine.yield(i) end end)
end
for r = 1, 200 do
  for v in gen(5000) do s = s + v end
end
local t = coroutine.create(function(x) while true do x = coroutine.yield(x * 2) end end)
for i = 1, 300000 do
  local ok, v = coroutine.resume(t, i)
  s = s + v
end
return s
)lua"},
    {"pcall/error", R"lua(
local function f(i)
  if i % 3 == 0 then error("bad " .. i) end
  return i
end
local n = 0
for i = 1, 400000 do
  local ok, e = pcall(f, i)
  if ok then n = n + e else n = n + #e end
end
for i = 1, 200000 do
  local ok, e = pcall(error, {code = i})
  n = n + e.code
end
local function deep(k) if k == 0 then error("deep", 0) end return deep(k - 1) + 1 end
for i = 1, 20000 do
  local ok, e = pcall(deep, 20)
  n = n + #e
end
return n
)lua"},
    {"format/gsub", R"lua(
local s = 0
for i = 1, 200000 do
  local t = string.format("%d:%5.2f:%s:%x", i, i / 3, "abc", i)
  s = s + #t
end
local text = string.rep("hello world foo bar ", 2000)
for r = 1, 30 do
  local u, n = text:gsub("o", "0")
  s = s + n
  u = text:gsub("(%w+)", "<%1>")
  s = s + #u
  u = text:gsub("%w+", function(w) return #w end)
  s = s + #u
  u = text:gsub("%w+", {hello = "hi", bar = "baz"})
  s = s + #u
end
return s
)lua"},
    {"closure creation", R"lua(
local function make(n)
  local fs = {}
  for i = 1, n do
    local a, b = i, i * 2
    fs[i] = function(x) a = a + x; return a + b end
  end
  return fs
end
local s = 0
for r = 1, 200 do
  local fs = make(2000)
  for i = 1, #fs do s = s + fs[i](r) end
end
local function compose(f, g) return function(x) return f(g(x)) end end
local inc = function(x) return x + 1 end
for r = 1, 200000 do
  local h = compose(inc, compose(inc, inc))
  s = s + h(r)
end
return s % 1000000007
)lua"},
};

// Runs `code` once in a fresh process-like dialect state: the kernel's allocator, the process
// libraries and a budget no script can reach, on the main thread, which never yields. Returns
// the seconds spent running the compiled chunk, or -1 when it fails; `result` as run_stock's.
double run_dialect(const char* code, size_t code_size, char* result, size_t result_size) {
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    cpu_superyielding = 0;
    lua_State* L = lua_newstate(l_alloc, nullptr);
    if (!L) {
        snprintf(result, result_size, "cannot create a dialect state");
        return -1;
    }
    open_process_libraries(L);
    double seconds = -1;
    if (luaL_loadbufferx(L, code, code_size, "=bench", "t") == LUA_OK) {
        cpu_cycles = 0;
        double start = thread_seconds();
        int status = lua_pcall(L, 0, 1, 0);
        double stop = thread_seconds();
        if (status == LUA_OK) seconds = stop - start;
    }
    const char* text = luaL_tolstring(L, -1, nullptr);
    snprintf(result, result_size, "%s", text ? text : "?");
    lua_close(L);
    return seconds;
}

int parse_rounds(int argc, char** argv) {
    if (argc < 2) return DEFAULT_ROUNDS;
    char* end = nullptr;
    long n = strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || n < 1 || n > MAX_ROUNDS) return -1;
    return (int)n;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = parse_rounds(argc, argv);
    if (rounds < 0) {
        fprintf(stderr, "usage: %s [rounds 1..%d]\n", argv[0], MAX_ROUNDS);
        return 2;
    }
    printf("interpreter cost, %d runs of each side, each in a fresh state\n", rounds);
    printf("%-20s %12s %12s %8s\n", "script", "dialect ms", "stock ms", "ratio");
    double log_sum = 0;
    int measured = 0;
    int over = 0;
    bool failed = false;
    for (const bench_script& s : SCRIPTS) {
        size_t size = strlen(s.code);
        double best_dialect = INFINITY;
        double best_stock = INFINITY;
        std::vector<double> ratios;
        char dialect_result[RESULT_SIZE] = "";
        char stock_result[RESULT_SIZE] = "";
        // The two sides take turns so that both see the same machine conditions.
        for (int r = 0; r < rounds; r++) {
            double d = run_dialect(s.code, size, dialect_result, sizeof dialect_result);
            double k = run_stock(s.code, size, stock_result, sizeof stock_result);
            if (d < 0 || k < 0) break;
            best_dialect = std::min(best_dialect, d);
            best_stock = std::min(best_stock, k);
            ratios.push_back(d / k);
        }
        if (!std::isfinite(best_dialect) || !std::isfinite(best_stock)) {
            printf("%-20s failed: dialect \"%s\", stock \"%s\"\n", s.name, dialect_result,
                   stock_result);
            failed = true;
            continue;
        }
        if (strcmp(dialect_result, stock_result) != 0) {
            printf("%-20s results differ: dialect %s, stock %s\n", s.name, dialect_result,
                   stock_result);
            failed = true;
            continue;
        }
        std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
        double ratio = ratios[ratios.size() / 2];
        log_sum += std::log(ratio);
        measured++;
        if (ratio > SCRIPT_TARGET) over++;
        printf("%-20s %12.2f %12.2f %8.3f%s\n", s.name, best_dialect * 1e3, best_stock * 1e3, ratio,
               ratio > SCRIPT_TARGET ? "  above target" : "");
    }
    if (measured == 0) {
        printf("no script was measured\n");
        return 1;
    }
    double geomean = std::exp(log_sum / measured);
    printf("scripts above %.2f: %d of %d\n", SCRIPT_TARGET, over, measured);
    printf("geometric mean of the ratios: %.3f (target %.2f): %s\n", geomean, MEAN_TARGET,
           geomean <= MEAN_TARGET ? "within target" : "above target");
    return failed ? 1 : 0;
}
