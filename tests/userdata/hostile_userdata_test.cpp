// Typed arrays under hostile children: large products, sorts and element-wise calls go on across
// slices, so the root keeps its frames, and they still give the right result. A unit case runs
// the same kinds of work split across slices and checks them against whole small products.
#include <cctype>
#include <string>

#include "hostile_child.h"
#include "lauxlib.h"

namespace {

struct hostile_case {
    const char* name;
    const char* prepare;  // run in the child's state before its first slice: makes and touches its arrays
    const char* code;
    int min_frames;  // the work is charged by its size: it needs at least this many frames
};

// Each child ends with an error naming what came out wrong, or ends quietly.
const hostile_case CASES[] = {
    {"matmul 1448x1448 in place",
     // a[i][7i mod n] = i + 1, so (a x a)[i][49i mod n] = (i + 1) x (7i mod n + 1)
     "A = userdata('f64', 1448, 1448) A:add(0, true)",
     "local n, a = 1448, A "
     "for i = 0, n - 1 do a[i * n + (i * 7) % n] = i + 1 end "
     "if a:matmul(a, true) ~= a then error('wrong result') end "
     "for i = 0, n - 1, 7 do "
     "  if a[i * n + (i * 49) % n] ~= (i + 1) * ((i * 7) % n + 1) then error('wrong product at ' .. i) end "
     "end",
     500},
    {"add over 2^40 spans at stride 0",
     "",
     "local a, b = userdata('i64', 1), userdata('i64', 1) a[0] = 5 b[0] = 1 "
     "a:add(b, true, 0, 0, 1, 0, 0, 1 << 40) "
     "if a[0] ~= 5 + (1 << 26) then error('wrong sum ' .. a[0]) end",
     10},
    {"sort of 16 M u8",
     "A = userdata('u8', 1 << 24) A:add(0, true)",
     "local n, a, row = 1 << 24, A, userdata('u8', 4096) local x = 12345 "
     "for i = 0, 4095 do x = (x * 1103515245 + 12345) % 2147483648 row[i] = (x >> 16) & 255 end "
     "a:copy(row, true, 0, 0, 4096, 0, 4096, 4096) "
     "local low, high = 255, 0 for i = 0, 4095 do low = math.min(low, row[i]) high = math.max(high, row[i]) end "
     "if a:sort() <= 0 then error('no comparisons') end "
     "if a[0] ~= low or a[n - 1] ~= high then error('wrong ends') end "
     "for i = 0, n - 2, 4093 do if a[i] > a[i + 1] then error('unsorted at ' .. i) end end",
     300},
    // These make their arrays themselves: making one touches none of its pages.
    {"take of 16 M u8: rows into a new array, then moved up in place",
     "",
     "local n, a, row, idx = 1 << 24, userdata('u8', 4096, 2048), userdata('u8', 4096), userdata('i32', 4096) "
     "for i = 0, 4095 do row[i] = i & 255 idx[i] = (i * 977) % (4096 * 2047) end "
     "a:copy(row, true, 0, 0, 4096, 0, 4096, 2048) "
     "local g = a:take(idx, nil, 0, 0, 4096) "
     "local function want(i) return (idx[i >> 12] + (i & 4095)) & 255 end "
     "if g:width() ~= 4096 or g:height() ~= 4096 then error('wrong shape') end "
     "for i = 0, n - 1, 4093 do if g[i] ~= want(i) then error('gathered wrong at ' .. i) end end "
     "if g:take(userdata('i32', 1), true, 0, 1, n - 1) ~= g then error('wrong result') end "
     "for i = 1, n - 1, 4093 do if g[i] ~= want(i - 1) then error('moved wrong at ' .. i) end end",
     4},
    {"transpose of 16 M u8 in place",
     "",
     "local n, a, row = 4096, userdata('u8', 4096, 4096), userdata('u8', 4096) "
     "for i = 0, 4095 do row[i] = (i * 7) & 255 end "
     "a:copy(row, true, 0, 0, 4096, 0, 4096, 4096) "
     "if a:transpose(true) ~= a then error('wrong result') end "
     "for i = 0, n * n - 1, 4093 do if a[i] ~= ((i >> 12) * 7) & 255 then error('wrong at ' .. i) end end",
     2},
    {"convert of 8 M u8 to i16 and to an index map",
     "",
     "local n, a, row = 1 << 23, userdata('u8', 1 << 23), userdata('u8', 4096) "
     "for i = 0, 4095 do row[i] = (i * 5) & 255 end "
     "a:copy(row, true, 0, 0, 4096, 0, 4096, 2048) "
     "local d = a:convert('i16') "
     "for i = 0, n - 1, 4093 do if d[i] ~= a[i] then error('converted wrong at ' .. i) end end "
     "d = nil collectgarbage() "
     "local map, pal = a:convert('u8', true) "
     "if #pal ~= 256 then error('palette of ' .. #pal) end "
     "for i = 0, n - 1, 4093 do if pal[map[i]] ~= a[i] then error('mapped wrong at ' .. i) end end",
     30},
    {"lerp over 16 M u8",
     "",
     "local n, a = 1 << 24, userdata('u8', 1 << 24) a[n - 1] = 255 "
     "if a:lerp(0, n - 1) ~= a then error('wrong result') end "
     "for i = 0, n - 1, 4093 do if a[i] ~= i // 65793 then error('wrong at ' .. i) end end",
     4},
};

void PrintTo(const hostile_case& c, std::ostream* os) { *os << c.name; }

// The first pass over a fresh array touches its pages, which can cost the host more than that
// pass's light charge covers (a slice of f64 work spans a whole 16 MB array). That is not the
// work under test, so these arrays are made and touched before the child's first slice.
const char* preparing = "";
void prepare(process_record* child) {
    set_current_process(child);
    if (luaL_dostring(child->L, preparing) != LUA_OK) ADD_FAILURE() << lua_tostring(child->L, -1);
    lua_settop(child->L, 1);
}

struct HostileUserdata : testing::TestWithParam<hostile_case> {
    void SetUp() override { hostile::fresh_machine(); }
    void TearDown() override { processes_init(); }
};

TEST_P(HostileUserdata, ChildNeverHoldsUpTheRootAndGetsItsResult) {
    const hostile_case& c = GetParam();
    preparing = c.prepare;
    hostile::outcome o = hostile::run_child(c.code, 6000, prepare);
    EXPECT_TRUE(o.ended) << "still running after " << o.frames << " frames";
    EXPECT_GE(o.frames, c.min_frames);
    EXPECT_EQ(o.reports, "");
    hostile::expect_frame_gap_held(o, c.name);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileUserdata, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<hostile_case>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; p++)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

// Runs code as a process sliced once a frame (given that share of a frame's budget) until it
// sets the global result.
std::string run_sliced(const char* code, int* frames, double share = 1.0) {
    processes_init();
    std::string wrapped = std::string("local ok, e = pcall(function() ") + code +
                          " end) result = ok and 'ok' or tostring(e) while true do coroutine.yield() end";
    process_record* p = create_process_from_code(wrapped.c_str(), "p", "p", "");
    std::string result;
    for (*frames = 0; p && *frames < 2000 && result.empty(); ++*frames) {
        prepare_processes_for_frame();
        run_process_slice(p, share);
        lua_getglobal(p->L, "result");
        if (const char* r = lua_tostring(p->L, -1)) result = r;
        lua_pop(p->L, 1);
    }
    processes_init();
    return result;
}

TEST(UserdataSplitWork, InPlaceProductsAndSortsSplitAcrossSlicesGiveTheWholeResult) {
    struct { const char* what; const char* code; } cases[] = {
        {"products",
         "local n = 160 "
         "local function fill(u, seed) for i = 0, n * n - 1 do seed = (seed * 1103515245 + 12345) % 2147483648 "
         "  u[i] = (seed >> 16) % 19 - 9 + 1 / ((seed >> 8) % 7 + 1) end end "
         "local a, b = userdata('f64', n, n), userdata('f64', n, n) fill(a, 1) fill(b, 2) "
         // row by row: each a product small enough to run whole
         "local function reference(x, y) local r = userdata('f64', n, n) "
         "  for i = 0, n - 1 do r:copy(x:row(i):matmul(y), true, 0, i * n, n) end return r end "
         "local function same(x, y, what) for i = 0, n * n - 1 do "
         "  if x[i] ~= y[i] then error(what .. ' differs at ' .. i) end end end "
         "local ab, aa = reference(a, b), reference(a, a) "
         "same(a:matmul(b), ab, 'new') "
         "local c = a:copy() c:matmul(b, true) same(c, ab, 'into u') "
         "c = a:copy() c:matmul(b, true, 40) same(c, ab, 'into u by blocks') "
         "local m = b:copy() a:matmul(m, m) same(m, ab, 'into m') "
         "c = a:copy() c:matmul(c, true) same(c, aa, 'square in place')"},
        {"sorts",
         "local x = 7 local function rand() x = (x * 1103515245 + 12345) % 2147483648 return x >> 8 end "
         "local n = 300000 local v = userdata('i32', n) local sum = 0 "
         "for i = 0, n - 1 do v[i] = rand() - (1 << 22) sum = sum + v[i] end "
         "v:sort() for i = 0, n - 1 do sum = sum - v[i] if i > 0 and v[i - 1] > v[i] then error('i32 at ' .. i) end end "
         "if sum ~= 0 then error('i32 lost values') end "
         "v:sort(0, true) for i = 1, n - 1 do if v[i - 1] < v[i] then error('descending at ' .. i) end end "
         "local rows = 100000 local t = userdata('i32', 3, rows) "
         "for i = 0, rows - 1 do t:set(0, i, i, rand() % 1000, i * 7) end "
         "t:sort(1) for i = 0, rows - 1 do local a, k, b = t:get(0, i, 3) "
         "  if b ~= a * 7 then error('rows torn at ' .. i) end "
         "  if i > 0 and t:get(1, i - 1) > k then error('rows at ' .. i) end end"},
    };
    for (auto& c : cases) {
        int frames = 0;
        EXPECT_EQ(run_sliced(c.code, &frames), "ok") << c.what;
        EXPECT_GT(frames, 2) << c.what << ": the work was not split";
    }
}

TEST(UserdataSplitWork, GathersTransposesConversionsAndRampsSplitInSmallSlicesGiveTheWholeResult) {
    // Each member is checked at every 97th element; each runs over several slices of 1/50 of a
    // frame's budget.
    const char* code =
        "local n = 300000 local function check(what, f) for i = 0, n - 1, 97 do "
        "  if not f(i) then error(what .. ' wrong at ' .. i) end end end "
        "local r = userdata('f64', n) r[n - 1] = n - 1 r:lerp(0, n - 1) "
        "check('ramp', function(i) return r[i] == i end) "
        "local a = r:convert('i32') check('convert', function(i) return a[i] == i end) "
        "local first = userdata('i32', 1) "
        // moved by more than the checks' step, so that a piece done in the wrong order shows
        "a:take(first, true, 0, 1000, n - 1000) check('moved up', function(i) return a[i] == (i < 1000 and i or i - 1000) end) "
        "a = r:convert('i32') first[0] = 1000 "
        "a:take(first, true, 0, 0, n - 1000) check('moved down', function(i) return a[i] == (i < n - 1000 and i + 1000 or i) end) "
        "local m = r:convert('i32') m:mutate('i32', 600, 500) "
        "local t = m:transpose() check('transposed', function(i) return t[i] == (i // 500) + (i % 500) * 600 end) "
        "local s = userdata('i32', 540, 540) s:copy(m, true, 0, 0, 540 * 540) s:transpose(true) "
        "check('in place', function(i) i = i % (540 * 540) return s[i] == (i // 540) + (i % 540) * 540 end) "
        "local map, pal = (m % 256):convert('u8', true) "
        "check('mapped', function(i) return pal[map[i]] == i % 256 end)";
    int frames = 0;
    EXPECT_EQ(run_sliced(code, &frames, 0.02), "ok");
    EXPECT_GT(frames, 20) << "the work was not split";
}

}  // namespace
