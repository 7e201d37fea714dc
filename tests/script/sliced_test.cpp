// Stress mode: scripts of a process run in slices of a few cycles, so that the budget stops
// them at nearly every instruction, give the same results as in one long slice.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/machine.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "test_support.h"

namespace {

// Resumes a coroutine until it really yields or ends: a coroutine stopped by the budget
// returns true and nothing else (the scripts' coroutines always yield a value).
const char* const PRELUDE = R"(
local function step(co, ...)
  local r = table.pack(coroutine.resume(co, ...))
  while r.n == 1 and r[1] and coroutine.status(co) == 'suspended' do
    r = table.pack(coroutine.resume(co))
  end
  return table.unpack(r, 1, r.n)
end
)";

struct Sliced : testing::Test {
    process_record* p = nullptr;

    void SetUp() override {
        processes_init();
        memset(&app, 0, sizeof(app));
        p = create_process_from_code("", "sliced", "sliced", "");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
    }
    void TearDown() override { processes_init(); }

    // The script's results joined by " ", or "error: " and the message.
    std::string run(const std::string& body, int32_t budget) {
        lua_State* L = p->L;
        int top = lua_gettop(L);
        int status = run_in_slices(L, PRELUDE + body, budget);
        std::string out = status == LUA_OK ? "" : "error: ";
        for (int i = top + 1; i <= lua_gettop(L); i++) {
            out += (i > top + 1 ? " " : "") + std::string(luaL_tolstring(L, i, nullptr));
            lua_pop(L, 1);
        }
        lua_settop(L, top);
        return out;
    }
    // One long slice, then slices of 4 to 40 cycles: the same results every time.
    void expect_same_in_slices(const std::string& body, const std::string& expected) {
        std::string whole = run(body, INT32_MAX / 2);
        EXPECT_EQ(whole, expected);
        for (int32_t budget : {4, 5, 6, 7, 9, 13, 21, 40}) EXPECT_EQ(run(body, budget), whole) << budget;
    }
};

TEST_F(Sliced, CoroutinesResumedWithManyArguments) {
    // A resume that continues a coroutine stopped by the budget passes 64 arguments too, which
    // the coroutine never sees; those of the resume that answers its yield arrive whole.
    expect_same_in_slices(R"(
local args = {}
for i = 1, 64 do args[i] = i end
local co = coroutine.create(function(...)
  local got, sum = select('#', ...), 0
  while true do
    for i = 1, 10 do sum = sum + i end
    local r = table.pack(coroutine.yield(sum, got))
    got = got + r.n + r[64] - 64
  end
end)
local r, stops = nil, 0
for round = 1, 60 do
  repeat
    r = table.pack(coroutine.resume(co, table.unpack(args)))
    if r.n == 1 then stops = stops + 1 end
  until r.n > 1
end
local wrapped = coroutine.wrap(function(a, ...)
  local n = 0
  while true do
    for i = 1, select('#', ...) do n = n + a end
    a = coroutine.yield(n, ...)
  end
end)
local w = 0
for i = 1, 30 do
  local t = table.pack(wrapped(i, table.unpack(args, 1, i)))
  while t.n == 0 do t = table.pack(wrapped()) end
  w = w + t[1] + t.n
end
return r[2], r[3], w
)",
                          "3300 3840 5020");
}

TEST_F(Sliced, LineCountCallAndReturnHooks) {
    std::string rc;  // the return from sethook, 20 calls of f with their returns, the last sethook
    for (int i = 0; i < 21; i++) rc += "rc";
    expect_same_in_slices(R"(
local function f(x)
  local y = x * 2
  return y + 1
end
local lines = {}
debug.sethook(function(ev, line) lines[#lines + 1] = line end, 'l')
local a = 0
for i = 1, 40 do
  a = a + f(i)
end
debug.sethook()
local counts = 0
debug.sethook(function() counts = counts + 1 end, '', 3)
local s = 0
for i = 1, 600 do s = s + i % 7 end
debug.sethook()
local calls = {}
debug.sethook(function(ev) calls[#calls + 1] = ev:sub(1, 1) end, 'cr')
for i = 1, 20 do f(i) end
debug.sethook()
local co = coroutine.create(function(n)
  local t = 0
  for i = 1, n do
    t = t + i
    if i % 25 == 0 then coroutine.yield(t) end
  end
  return t
end)
local colines, cocount = 0, 0
debug.sethook(co, function(ev) if ev == 'line' then colines = colines + 1 else cocount = cocount + 1 end end, 'l', 2)
local ok, v = step(co, 100)
while coroutine.status(co) ~= 'dead' do ok, v = step(co) end
return #lines, table.concat(lines, ',', 1, 12), counts, table.concat(calls), colines, cocount, a, s, v
)",
                          "163 16,17,18,11,12,17,18,11,12,17,18,11 903 " + rc + " 303 421 1680 1800 5050");
}

TEST_F(Sliced, GetinfoAndGetlocalOnAStoppedCoroutine) {
    // After every resume, also those stopped by the budget, the coroutine's frame is looked at;
    // what it shows at its yields is logged.
    expect_same_in_slices(R"(
local body = function(a, b)
  local n = 0
  for i = 1, 3000 do
    n = n + i
    if i % 300 == 0 then coroutine.yield(n) end
  end
  return -n
end
local co = coroutine.create(body)
local log, sane = {}, true
local ok, v = coroutine.resume(co, 7, 8)
while true do
  if coroutine.status(co) == 'dead' then log[#log + 1] = v break end
  local level, entry
  for l = 0, 2 do
    local info = debug.getinfo(co, l, 'Slf')
    if info and info.func == body then
      level, entry = l, info.currentline == info.linedefined
      sane = sane and info.currentline >= info.linedefined and info.currentline <= info.lastlinedefined
      break
    end
  end
  -- Stopped before its first instruction, the frame has no named locals yet.
  local an, av = debug.getlocal(co, level, 1)
  local bn, bv = debug.getlocal(co, level, 2)
  local nn, nv = debug.getlocal(co, level, 3)
  sane = sane and av == 7 and bv == 8 and (entry or an == 'a' and bn == 'b' and (nn == 'n' or nn == '(temporary)'))
  if v then
    log[#log + 1] = v .. '@' .. debug.getinfo(co, level, 'l').currentline .. '=' .. nv
  end
  ok, v = coroutine.resume(co)
end
return sane, table.concat(log, ',')
)",
                          "true 45150@14=45150,180300@14=180300,405450@14=405450,720600@14=720600,"
                          "1125750@14=1125750,1620900@14=1620900,2206050@14=2206050,2881200@14=2881200,"
                          "3646350@14=3646350,4501500@14=4501500,-4501500");
}

TEST_F(Sliced, ErrorsAndProtectedCallsAcrossStops) {
    expect_same_in_slices(R"(
local out = {}
local function thrower(i)
  local t = {}
  for j = 1, i do t[j] = j * 2 end
  if i % 3 == 0 then error('bad ' .. i) end
  if i % 3 == 1 then error({code = i}) end
  return #t, t[i]
end
for i = 1, 12 do
  local ok, e, e2 = pcall(thrower, i)
  out[#out + 1] = tostring(ok) .. ':' .. tostring(type(e) == 'table' and e.code or e) .. tostring(e2)
end
local co = coroutine.create(function(x)
  local s = 0
  for i = 1, 50 do s = s + i end
  error('in co ' .. s + x)
end)
local ok, e = step(co, 5)
out[#out + 1] = tostring(ok) .. ':' .. e .. ':' .. select(2, step(co))
local closed = {}
out[#out + 1] = select(2, pcall(function()
  local c <close> = setmetatable({}, {__close = function(_, err) closed[#closed + 1] = err end})
  for i = 1, 10 do local z = i * 2 end
  error('closing')
end))
out[#out + 1] = closed[1]
local lazy = setmetatable({}, {__index = function(t, k)
  if k == 'bad' then error('no ' .. k, 2) end
  return k .. '!'
end})
out[#out + 1] = select(2, pcall(function() return lazy.good .. lazy.bad end))
out[#out + 1] = select(2, pcall(string.gsub, 'abc', '.', function(c) if c == 'b' then error('gsub ' .. c) end end))
out[#out + 1] = select(2, pcall(function() local t = nil; return t.x end))
out[#out + 1] = select(2, pcall(function() return 1 + {} end))
out[#out + 1] = tostring(select(2, pcall(error)))
local gen = coroutine.create(function()
  local got = {}
  for i = 1, 6 do
    local ok, e = pcall(function()
      local v = coroutine.yield(i)
      if v % 2 == 0 then error('even ' .. v, 0) end
      return v
    end)
    got[#got + 1] = tostring(ok) .. tostring(e)
  end
  return table.concat(got, ',')
end)
local _, v = step(gen)
while coroutine.status(gen) ~= 'dead' do _, v = step(gen, v * 3) end
out[#out + 1] = v
local depth = 0
local function deep(n) depth = depth + 1; if n == 0 then error('bottom') end return deep(n - 1) + 1 end
out[#out + 1] = select(2, pcall(deep, 60)) .. depth
return table.concat(out, '|')
)",
                          "false:1nil|true:24|false:x:14: bad 3nil|false:4nil|true:510|false:x:14: bad 6nil|"
                          "false:7nil|true:816|false:x:14: bad 9nil|false:10nil|true:1122|false:x:14: bad 12nil|"
                          "false:x:25: in co 1280:cannot resume dead coroutine|x:33: closing|x:33: closing|"
                          "x:40: no bad|x:41: gsub b|x:42: attempt to index a nil value (local 't')|"
                          "x:43: attempt to perform arithmetic on a table value|nil|"
                          "true3,falseeven 6,true9,falseeven 12,true15,falseeven 18|x:61: bottom61");
}

}  // namespace
