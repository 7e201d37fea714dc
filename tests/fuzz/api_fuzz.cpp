// Fuzz target: every script function a process can call, on arguments decoded from the input.
// Each input boots a small machine (three idle processes, a ram folder with two files) and
// starts one process whose code calls _fuzz_step until the program ends; each step decodes one
// call: a global function of the script API or a USERDATA method, and up to seven arguments
// (integers and floats at their edges, short, long and control-laden strings, paths, tables,
// batch tables, tables whose metamethods fail, typed arrays of every element type and shape,
// the draw target, earlier results). The call runs in a protected call; the process runs in
// frames of small slices, so the budget, debt and slice ends are those of a real run. What
// would reach the world outside is kept in: sockets and downloads only reach loopback, the
// host open command, capture and desktop signals are left out, HOME is a folder of our own.
// A call that takes longer than ORVALUNE_API_FUZZ_CALL_MS (1000) of processor time aborts.
//
// Input layout: one byte picks the slice size; then calls. A call is a selector (0xFF, a length
// and a name; or two bytes indexing the sorted function list), a byte whose low 3 bits are the
// argument count, then the arguments, each a tag byte and its payload.
//
// Each input boots a machine and makes up to 6 calls in up to 16 frames; long strings are kept
// to 256 KB an input and the display to 160 x 90, so that a test run gets through many inputs:
// Inputs a test run: 20000
// Input length at most: 512
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "audio/mudo.h"
#include "gfx/draw_state.h"
#include "gfx/video.h"
#include "kernel/api.h"
#include "app/app.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "net/gurl.h"
#include "net/sockets.h"
#include "platform/host.h"
#include "storage/pdisk.h"
#include "userdata/userdata.h"

// A small quarantine: every input makes a process whose 136 pages of wave tables are allocated
// and freed again, and reusing them while they are still mapped and in the cache makes inputs
// twice as fast. A use after free within the last few megabytes freed is still caught.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }

namespace {

constexpr int MAX_CALLS = 6;
constexpr int MAX_FRAMES = 16;
constexpr int MAX_DEPTH = 3;
constexpr int RESULT_SLOTS = 16;
constexpr int PORT_COUNT = 8;

// --- the input -------------------------------------------------------------------------------

struct reader {
    const uint8_t* p = nullptr;
    const uint8_t* end = nullptr;
    bool done() const { return p >= end; }
    uint8_t u8() { return p < end ? *p++ : 0; }
    uint16_t u16() { return uint16_t(u8() | u8() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    uint64_t u64() { return uint64_t(u32()) | uint64_t(u32()) << 32; }
};

struct candidate {
    char name[48];
    bool method;  // a USERDATA entry rather than a global
};

std::vector<candidate> candidates;  // sorted by name, made once

struct program {
    reader in;
    int calls = 0;
    int result_next = 0;
    double call_start = 0;
    int32_t cycles_at_start = 0;
    char description[2048];
    size_t description_length = 0;
    process_record* self = nullptr;
    int64_t self_id = 0;
    size_t long_string_room = 262145;
} prog;

char fuzz_home[256];
uint16_t port_base = 40000;
double call_limit_seconds = 1.0;
bool trace = false;             // ORVALUNE_API_FUZZ_TRACE: each call and its results on the error output
bool report_uncharged = false;  // ORVALUNE_API_FUZZ_CHARGES: calls whose host time the budget misses

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void describe(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void describe(const char* fmt, ...) {
    if (prog.description_length >= sizeof(prog.description) - 1) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(prog.description + prog.description_length,
                      sizeof(prog.description) - prog.description_length, fmt, ap);
    va_end(ap);
    if (n > 0) prog.description_length = std::min(prog.description_length + size_t(n), sizeof(prog.description) - 1);
}

// --- argument values -------------------------------------------------------------------------

const int64_t special_ints[] = {
    0, 1, -1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 100, 127, 128, 255, 256, 257, 269, 270,
    271, 479, 480, 481, 1000, 4095, 4096, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x10001, 0xFFFFFF, 0x1000000,
    0x1000001, 0x7FFFFFFF, 0x80000000LL, 0xFFFFFFFFLL, 0x100000000LL, -0x80000000LL, -0x80000001LL,
    int64_t(1) << 53, (int64_t(1) << 53) + 1, -(int64_t(1) << 53), std::numeric_limits<int64_t>::min(),
    std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min() + 1,
    std::numeric_limits<int64_t>::max() - 1, -2, -16, -256, -0x10000, 6, 9, 10, 12, 13, 14, 22, 24, 0x3000,
    0x4000, 0x5000, 0x8000 + 0x3000, 0x10000 + 0x4000, 0x100000, 0x200000, 0xF00000,
};

const double special_floats[] = {
    0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 0.25, 0.999999, 1.000001, 255.5, 256.0, 479.9, -0.0001, 1e-310,
    5e-324, 2.2250738585072014e-308, 1e308, -1e308, 1.7976931348623157e308, 9.2233720368547758e18,
    -9.2233720368547758e18, 1.8446744073709552e19, 4294967296.0, 2147483648.0, -2147483649.0, 1e15,
    1e-15, 3.14159265358979, 0.1, 1.0 / 3.0, 65536.5,
    std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
};

const char* const dictionary[] = {
    "", " ", "/", "//", ".", "..", "/ram", "/ram/", "/ram/a.txt", "/ram/f", "/ram/f/", "/ram/f/b.txt",
    "/ram/n.pod", "/ram/x.png", "/ram/x.qoi", "/ram/c.p64", "/ram/c.p64.rom", "/ram/c.p64.png",
    "/ram/../../etc", "/ram/a.txt/x", "ram/a.txt", "a.txt", "./a", "../x", "/ram/f/../a.txt", "/system",
    "/system/x.lua", "/ram/mount/m1", "/desktop", "/appdata", "/ram/a b", "/ram/\x01\x7f", "/ram/*",
    "bbs://x.p64", "bbs://", "/ram/@", "/ram/f/\xff\xfe", "/ram/x.loc", "/ram/x.lua",
    "u8", "i16", "i32", "i64", "f64", "f", "i", "x", "u32",
    "hex:0011223344", "00ff00ff", "1,2,3.5,nan,-inf", "[gfx]0202ffff[/gfx]", "[map]", "[gfx]",
    "--[[pod]]{a=1}", "--[[pod,x=1]]\"s\"", "--[[pod_format=\"raw\"]]abc", "b64:AAAA", "lz4:xx",
    "pxu:", "{1,2,3}", "{x=1,y=userdata(\"u8\",2,\"0102\")}", "unmox", "%d", "%s%s%s%n", "%",
    "*", "127.0.0.1", "::1", "localhost", "http://127.0.0.1:1/", "https://", "12", "0x10", " 1e3 ",
    "-0", "nan", "inf", "1e309", "0b101", "\t\n\r", "\x1b[2J", "\0x", "a\0b", "\xc3\x28", "\xe2\x82",
    "\xf0\x9f\x98\x80", "event", "proc_id", "volume", "fullscreen", "network_access", "w", "h",
    "width", "height", "x", "y", "fill", "type", "n", "ok", "wf", "rm", "rb", "rf",
};

const int64_t small_sizes[] = {0, 1, 1, 2, 3, 4, 5, 7, 8, 8, 15, 16, 16, 17, 31, 32, 33, 64};
const int64_t large_sizes[] = {100, 128, 255, 256, 270, 480, 1000, 1024, 4096, 65536, 1 << 20, 0x1000000, -1,
                               int64_t(1) << 32};
const int type_codes[] = {UTYPE_U8, UTYPE_I16, UTYPE_I32, UTYPE_I64, UTYPE_F64};

// Helper functions made once per process: metamethods and function arguments. Those that give
// values give them 64 times per process, then nothing, so that a reader given to load ends.
const char* const helper_code =
    "local calls = 0\n"
    "local function live() calls = calls + 1 return calls <= 64 end\n"
    "local h = {}\n"
    "h[1] = function() error('metamethod error') end\n"
    "h[2] = function(...) return ... end\n"
    "h[3] = function() if live() then return 7 end end\n"
    "h[4] = function() return {} end\n"
    "h[5] = function() if live() then return 'text' end end\n"
    "h[6] = function() if live() then return 0/0 end end\n"
    "h[7] = function() error({}) end\n"
    "h[8] = function() local s = 0 for i = 1, 2000 do s = s + i end if live() then return s end end\n"
    "return h\n";
constexpr int HELPER_COUNT = 8;

const char* const child_code[] = {
    "",
    "while true do end",
    "while true do flip() end",
    "error('child error')",
    "local t = {} for i = 1, 1e7 do t[i] = i end",
    "return 1",
    "x = (",
    "_kill_process(pid())",
    "_halt()",
    "send_message(1, {event = 'hello'}) flip()",
    "for i = 1, 40 do _create_process_from_code('flip()', 'c', 'c') end",
    "_run_process_slice(4, 1)",
    "while true do _read_message() flip() end",
    "local a = userdata('f64', 300, 300) a:add(1, true) flip()",
    "local s = string.rep('x', 1 << 24) flip()",
    "_kill_process(4)",
    "_signal(40) while true do end",
    "_set_draw_target(userdata('u8', 8, 8)) rectfill(0, 0, 100, 100, 1) flip()",
};

void push_value(lua_State* L, int depth);

void push_string_from_input(lua_State* L, size_t n) {
    char buf[256];
    for (size_t i = 0; i < n; i++) buf[i] = char(prog.in.u8());
    lua_pushlstring(L, buf, n);
    describe("s%zu ", n);
}

void push_long_string(lua_State* L) {
    static const size_t lengths[] = {255, 256, 1000, 4096, 65535, 65536, 262144, 262145};
    size_t n = lengths[prog.in.u8() % 8];
    // A quarter megabyte of long strings an input (one of the longest): what a long string costs
    // is charged, but an input that printed a megabyte in every call would run for many seconds
    // in this build.
    if (n > prog.long_string_room) n = lengths[0];
    prog.long_string_room -= std::min(n, prog.long_string_room);
    uint8_t pattern[8];
    size_t plen = prog.in.u8() % 8 + 1;
    for (size_t i = 0; i < plen; i++) pattern[i] = prog.in.u8();
    luaL_Buffer b;
    char* out = luaL_buffinitsize(L, &b, n);
    for (size_t i = 0; i < n; i++) out[i] = char(pattern[i % plen]);
    luaL_pushresultsize(&b, n);
    describe("S%zu ", n);
}

void push_helper(lua_State* L, int which) {
    lua_getfield(L, LUA_REGISTRYINDEX, "fuzz.helpers");
    lua_rawgeti(L, -1, which % HELPER_COUNT + 1);
    lua_remove(L, -2);
}

void push_table(lua_State* L, int depth, bool batch) {
    int n = prog.in.u8() % 9;
    luaL_checkstack(L, 8, "api_fuzz");
    lua_createtable(L, n, 0);
    for (int i = 0; i < n; i++) {
        if (batch) {
            int m = prog.in.u8() % 9;
            lua_createtable(L, m, 0);
            for (int j = 0; j < m; j++) {
                if (prog.in.u8() & 1) lua_pushinteger(L, int8_t(prog.in.u8()) * 8);
                else lua_pushnumber(L, special_floats[prog.in.u8() % std::size(special_floats)]);
                lua_rawseti(L, -2, j + 1);
            }
            lua_rawseti(L, -2, i + 1);
            continue;
        }
        uint8_t key_kind = prog.in.u8();
        switch (key_kind % 4) {
        case 0:
            push_value(L, depth + 1);
            if (lua_isnil(L, -1)) lua_pop(L, 1);
            else lua_rawseti(L, -2, lua_Integer(lua_rawlen(L, -2)) + 1);
            break;
        case 1:
            lua_pushstring(L, dictionary[prog.in.u8() % std::size(dictionary)]);
            push_value(L, depth + 1);
            lua_rawset(L, -3);
            break;
        case 2:
            lua_pushinteger(L, special_ints[prog.in.u8() % std::size(special_ints)]);
            push_value(L, depth + 1);
            lua_rawset(L, -3);
            break;
        default:
            push_value(L, depth + 1);
            if (lua_isnil(L, -1) || (lua_type(L, -1) == LUA_TNUMBER && std::isnan(lua_tonumber(L, -1)))) {
                lua_pop(L, 1);
                break;
            }
            push_value(L, depth + 1);
            lua_rawset(L, -3);
            break;
        }
    }
}

// A table whose metatable makes reads, writes, lengths and calls run a helper.
void push_trap_table(lua_State* L, int depth) {
    push_table(L, depth, false);
    lua_createtable(L, 0, 4);
    uint8_t pick = prog.in.u8();
    static const char* const events[] = {"__index", "__newindex", "__len", "__call", "__eq", "__lt", "__le",
                                         "__tostring", "__name", "__close", "__concat", "__unm"};
    for (int i = 0; i < 3; i++) {
        push_helper(L, pick >> (i * 2));
        lua_setfield(L, -2, events[(pick + i * 5) % std::size(events)]);
    }
    lua_setmetatable(L, -2);
    describe("T ");
}

void push_typed_array(lua_State* L, bool zero_width) {
    uint8_t t = prog.in.u8();
    int code = type_codes[t % 5];
    int dims = (t >> 3) & 1 ? 2 : 1;
    auto size = [&]() {
        uint8_t s = prog.in.u8();
        return s < 200 ? small_sizes[s % std::size(small_sizes)] : large_sizes[s % std::size(large_sizes)];
    };
    int64_t w = size(), h = dims == 2 ? size() : 1;
    uint8_t fill = prog.in.u8();
    describe("A%s:%d:%lldx%lld%s ", get_utype_string(code), dims, (long long)w, (long long)h,
             zero_width ? ":w0" : "");
    userdata_header* a = create_userdata_of_type(L, code, dims, w, h);
    if (!a) {
        lua_pushnil(L);
        return;
    }
    uint8_t* data = userdata_data(a);
    const int64_t bytes = userdata_bytes(a);
    switch (fill % 4) {
    case 0: break;
    case 1: {
        uint8_t pattern[16];
        size_t plen = prog.in.u8() % 16 + 1;
        for (size_t i = 0; i < plen; i++) pattern[i] = prog.in.u8();
        for (int64_t i = 0; i < bytes; i++) data[i] = pattern[size_t(i) % plen];
        break;
    }
    case 2: {
        const int64_t count = userdata_count(a);
        for (int64_t i = 0; i < count; i++) {
            with_element_type(code, [&](auto zero) {
                using T = decltype(zero);
                T v;
                if constexpr (std::is_floating_point_v<T>) v = special_floats[size_t(i) % std::size(special_floats)];
                else v = T(special_ints[size_t(i) % std::size(special_ints)]);
                memcpy(data + i * int64_t(sizeof(T)), &v, sizeof(T));
                return 0;
            });
        }
        break;
    }
    default:
        for (int64_t i = 0; i < bytes; i++) data[i] = uint8_t(i * 37 + (i >> 8));
        break;
    }
    // A header with no columns: the array reader takes it, so every function must too.
    if (zero_width) a->width = 0;
}

void push_value(lua_State* L, int depth) {
    uint8_t tag = prog.in.u8();
    if (depth >= MAX_DEPTH && (tag % 24) >= 13) tag = 3;
    switch (tag % 24) {
    case 0: lua_pushnil(L); describe("nil "); break;
    case 1: lua_pushboolean(L, tag & 0x80); describe("%s ", tag & 0x80 ? "true" : "false"); break;
    case 2: {
        int8_t v = int8_t(prog.in.u8());
        lua_pushinteger(L, v);
        describe("%d ", v);
        break;
    }
    case 3: {
        int64_t v = special_ints[prog.in.u8() % std::size(special_ints)];
        lua_pushinteger(L, v);
        describe("%lld ", (long long)v);
        break;
    }
    case 4: {
        int32_t v = int32_t(prog.in.u32());
        lua_pushinteger(L, v);
        describe("%d ", v);
        break;
    }
    case 5: {
        int64_t v = int64_t(prog.in.u64());
        lua_pushinteger(L, v);
        describe("%lld ", (long long)v);
        break;
    }
    case 6: {
        double v = special_floats[prog.in.u8() % std::size(special_floats)];
        lua_pushnumber(L, v);
        describe("%.17g ", v);
        break;
    }
    case 7: {
        uint64_t bits = prog.in.u64();
        double v;
        memcpy(&v, &bits, sizeof v);
        lua_pushnumber(L, v);
        describe("%.17g ", v);
        break;
    }
    case 8: {
        // A small number as a float: integral values that are not integers.
        double v = double(int8_t(prog.in.u8())) / ((tag & 0x80) ? 4.0 : 1.0);
        lua_pushnumber(L, v);
        describe("%gf ", v);
        break;
    }
    case 9: push_string_from_input(L, prog.in.u8() % 24); break;
    case 10: push_string_from_input(L, prog.in.u8()); break;
    case 11: push_long_string(L); break;
    case 12:
    case 13: {
        const char* s = dictionary[prog.in.u8() % std::size(dictionary)];
        lua_pushstring(L, s);
        describe("\"%.40s\" ", s);
        break;
    }
    case 14:
        describe("{ ");
        push_table(L, depth, false);
        describe("} ");
        break;
    case 15:
        describe("{{batch}} ");
        push_table(L, depth, true);
        break;
    case 16:
    case 17: push_typed_array(L, false); break;
    case 18: push_typed_array(L, (tag & 0xC0) == 0xC0); break;
    case 19:
        lua_getfield(L, LUA_REGISTRYINDEX, "orvalune.draw_target");
        describe("target ");
        break;
    case 20:
    case 21: {
        int slot = prog.in.u8() % RESULT_SLOTS;
        lua_getfield(L, LUA_REGISTRYINDEX, "fuzz.results");
        lua_rawgeti(L, -1, slot + 1);
        lua_remove(L, -2);
        describe("r%d:%s ", slot, luaL_typename(L, -1));
        break;
    }
    case 22:
        push_trap_table(L, depth);
        break;
    default: {
        int which = prog.in.u8();
        if (which & 0x80) {
            lua_newuserdatauv(L, size_t(which & 31), 0);
            describe("rawud ");
        } else {
            push_helper(L, which);
            describe("fn%d ", which % HELPER_COUNT + 1);
        }
        break;
    }
    }
}

// --- keeping calls inside the fuzz sandbox ------------------------------------------------------

bool named(const candidate* c, const char* name) { return !c->method && strcmp(c->name, name) == 0; }

// Replaces the argument at index (a stack index) with what may safely reach the outside.
void sanitise_argument(lua_State* L, const candidate* c, int arg, int index) {
    if (named(c, "_create_tcp_socket") || named(c, "_create_udp_socket")) {
        if (arg == 1 && lua_type(L, index) == LUA_TNUMBER) {
            int ok = 0;
            lua_Integer port = lua_tointegerx(L, index, &ok);
            if (ok && port >= 1 && port <= 65535) {
                lua_pushinteger(L, port_base + port % PORT_COUNT);
                lua_replace(L, index);
            }
        } else if (arg == 2 && lua_type(L, index) == LUA_TSTRING) {
            size_t n = 0;
            const char* s = lua_tolstring(L, index, &n);
            // Any name the socket would look up becomes a loopback one (a TCP address longer
            // than 512 characters is refused before that and stays).
            bool looked_up = named(c, "_create_udp_socket") || n <= 512;
            if (strcmp(s, "*") != 0 && looked_up && strlen(s) == n) {
                static const char* const loopback[] = {"127.0.0.1", "::1", "localhost", "127.0.0.1"};
                lua_pushstring(L, loopback[n % 4]);
                lua_replace(L, index);
            }
        }
    } else if (named(c, "_fetch_remote")) {
        if (arg == 1 && lua_type(L, index) == LUA_TSTRING) {
            static const char* const urls[] = {"http://127.0.0.1:1/", "http://[::1]:1/x.png", "", "nothing",
                                               "http://127.0.0.1:1/a%20b?c=d#e"};
            lua_pushstring(L, urls[lua_rawlen(L, index) % std::size(urls)]);
            lua_replace(L, index);
        }
    } else if (named(c, "_signal")) {
        // Capture, screenshots and the host desktop mount are left to their own tests.
        if (arg == 1 && lua_type(L, index) != LUA_TNIL) {
            int64_t code = q64_intp(L, index, 0);
            if (code == 16 || code == 18 || code == 19 || code == 21 || code == 65) {
                lua_pushinteger(L, 0);
                lua_replace(L, index);
            }
        }
    } else if (named(c, "_create_process_from_code")) {
        if (arg == 1 && lua_type(L, index) == LUA_TSTRING) {
            lua_pushstring(L, child_code[lua_rawlen(L, index) % std::size(child_code)]);
            lua_replace(L, index);
        }
    } else if (named(c, "_apply_system_settings")) {
        // The file history writes under the host's data folder by the day: left to its tests.
        if (arg == 1 && lua_type(L, index) == LUA_TTABLE) {
            lua_pushnil(L);
            lua_setfield(L, index, "anywhen");
        }
    }
}

// Functions that are not called at all: the host's open command.
bool excluded(const char* name) { return strcmp(name, "_open_host_path") == 0; }

// --- the functions of the fuzz process ----------------------------------------------------------

const candidate* pick_candidate() {
    uint8_t s = prog.in.u8();
    if (s == 0xFF) {
        char name[48];
        size_t n = prog.in.u8() % sizeof(name);
        for (size_t i = 0; i < n; i++) name[i] = char(prog.in.u8());
        name[n] = 0;
        for (const candidate& c : candidates)
            if (strcmp(c.name, name) == 0) return &c;
        return nullptr;
    }
    return &candidates[size_t(s << 8 | prog.in.u8()) % candidates.size()];
}

int invoke(lua_State* L) {
    lua_settop(L, 0);
    luaL_checkstack(L, 64, "api_fuzz");
    const candidate* c = pick_candidate();
    uint8_t flags = prog.in.u8();
    int argc = flags & 7;
    prog.description_length = 0;
    prog.description[0] = 0;
    if (!c) {
        describe("(unknown function)");
        return 0;
    }
    describe("%s%s(", c->method ? "USERDATA." : "", c->name);
    if (c->method) {
        lua_getglobal(L, "USERDATA");
        lua_getfield(L, -1, c->name);
        lua_remove(L, -2);
    } else {
        lua_getglobal(L, c->name);
    }
    for (int i = 1; i <= argc; i++) {
        push_value(L, 0);
        sanitise_argument(L, c, i, lua_gettop(L));
    }
    describe(")");
    prog.cycles_at_start = cpu_cycles;
    prog.call_start = cpu_seconds();
    lua_call(L, argc, LUA_MULTRET);
    return lua_gettop(L);
}

int fuzz_step(lua_State* L) {
    if (prog.calls >= MAX_CALLS || prog.in.done()) {
        lua_pushboolean(L, 0);
        return 1;
    }
    prog.calls++;
    lua_settop(L, 0);
    prog.call_start = 0;
    lua_pushcfunction(L, invoke);
    int status = lua_pcall(L, 0, LUA_MULTRET, 0);
    double end = cpu_seconds();
    // Work the budget is charged for may take its time (a megabyte printed); the limit grows by
    // a second for every 250,000 cycles charged, so only uncharged time counts as a hang.
    double charged_cycles = std::max(0.0, double(cpu_cycles) - double(prog.cycles_at_start));
    double limit = call_limit_seconds * (1.0 + charged_cycles / 250000.0);
    if (prog.call_start > 0 && end - prog.call_start > limit) {
        fprintf(stderr, "\n*** api_fuzz: one call took %.3f s of processor time:\n    %s\n", end - prog.call_start,
                prog.description);
        abort();
    }
    // Host time that the budget does not see: worth a look when it is large (the instrumented
    // build runs many times slower than the real one, hence the generous factor).
    if (report_uncharged && prog.call_start > 0 && end - prog.call_start > 0.05) {
        double charged = double(cpu_cycles) - double(prog.cycles_at_start);
        double seen = (end - prog.call_start) * 60.0 * FRAME_CYCLE_BUDGET / 20.0;
        if (charged < seen)
            fprintf(stderr, "\n*** api_fuzz: %.3f s for %.0f cycles in:\n    %s\n", end - prog.call_start, charged,
                    prog.description);
    }
    // The process stays the current one whatever the call did (unless it was removed).
    if (cproc != prog.self && !prog.self->kill_pending) {
        fprintf(stderr, "\n*** api_fuzz: the current process changed in:\n    %s\n", prog.description);
        abort();
    }
    if (trace) {
        fprintf(stderr, "[%d] %s ->", prog.calls, prog.description);
        for (int i = 1; i <= lua_gettop(L); i++) {
            if (lua_type(L, i) == LUA_TSTRING) fprintf(stderr, " \"%.60s\"", lua_tostring(L, i));
            else if (lua_type(L, i) == LUA_TNUMBER) fprintf(stderr, " %.14g", lua_tonumber(L, i));
            else fprintf(stderr, " %s", luaL_typename(L, i));
        }
        fprintf(stderr, "%s\n", status == LUA_OK ? "" : " (error)");
    }
    if (status == LUA_OK) {
        int n = std::min(lua_gettop(L), 3);
        for (int i = 1; i <= n; i++) {
            if (lua_type(L, i) == LUA_TUSERDATA && lua_getmetatable(L, i)) {
                lua_pop(L, 1);
                if (!to_userdata(L, i)) {
                    fprintf(stderr, "\n*** api_fuzz: a result is an array the reader refuses:\n    %s\n",
                            prog.description);
                    abort();
                }
            }
        }
        lua_getfield(L, LUA_REGISTRYINDEX, "fuzz.results");
        for (int i = 1; i <= n; i++) {
            if (lua_isnil(L, i)) continue;
            lua_pushvalue(L, i);
            lua_rawseti(L, -2, prog.result_next++ % RESULT_SLOTS + 1);
        }
    }
    lua_settop(L, 0);
    lua_pushboolean(L, 1);
    return 1;
}

const char* const driver_code = "local step = _fuzz_step while step() do end";

int set_up_process(lua_State* L) {
    if (luaL_loadstring(L, helper_code) != LUA_OK) lua_error(L);
    lua_call(L, 0, 1);
    lua_setfield(L, LUA_REGISTRYINDEX, "fuzz.helpers");
    lua_createtable(L, RESULT_SLOTS, 0);
    lua_setfield(L, LUA_REGISTRYINDEX, "fuzz.results");
    lua_register(L, "_fuzz_step", fuzz_step);
    // A display as the system scripts set one up, smaller than the real one.
    lua_getglobal(L, "_set_draw_target");
    lua_getglobal(L, "userdata");
    lua_pushstring(L, "u8");
    lua_pushinteger(L, 160);
    lua_pushinteger(L, 90);
    lua_call(L, 3, 1);
    lua_call(L, 1, 0);
    return 0;
}

// --- the machine --------------------------------------------------------------------------------

int remove_entry(const char* path, const struct stat*, int, struct FTW* ftw) {
    if (ftw->level > 0) remove(path);
    return 0;
}

void empty_fuzz_home() { nftw(fuzz_home, remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

void remove_fuzz_home() {
    if (!fuzz_home[0]) return;
    empty_fuzz_home();
    rmdir(fuzz_home);
}

bool fuzz_home_is_empty() {
    DIR* d = opendir(fuzz_home);
    if (!d) return true;
    int n = 0;
    while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) n++;
    closedir(d);
    return n == 0;
}

void collect_candidates() {
    process_record* p = create_process_from_code("", "api_fuzz_names", "api_fuzz_names", "");
    if (!p) abort();
    lua_State* L = p->L;
    lua_pushglobaltable(L);
    lua_pushnil(L);
    while (lua_next(L, -2)) {
        if (lua_type(L, -2) == LUA_TSTRING && lua_iscfunction(L, -1)) {
            const char* name = lua_tostring(L, -2);
            // The names the script API adds: the base library's own functions are not among them.
            static const char* const library[] = {"assert", "collectgarbage", "error", "getmetatable", "ipairs",
                                                  "next", "pairs", "pcall", "print", "rawequal", "rawget",
                                                  "rawlen", "rawset", "select", "setmetatable", "tonumber",
                                                  "tostring", "type", "tonum", "xpcall", "warn"};
            bool lib = false;
            for (const char* l : library) lib = lib || strcmp(l, name) == 0;
            if (!lib && !excluded(name) && strlen(name) < sizeof(candidate::name)) {
                candidate c{};
                snprintf(c.name, sizeof c.name, "%s", name);
                candidates.push_back(c);
            }
        }
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    lua_getglobal(L, "USERDATA");
    lua_pushnil(L);
    while (lua_next(L, -2)) {
        if (lua_type(L, -2) == LUA_TSTRING) {
            candidate c{};
            snprintf(c.name, sizeof c.name, "%s", lua_tostring(L, -2));
            c.method = true;
            candidates.push_back(c);
        }
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    std::sort(candidates.begin(), candidates.end(), [](const candidate& a, const candidate& b) {
        int k = strcmp(a.name, b.name);
        return k != 0 ? k < 0 : a.method < b.method;
    });
    kill_process(p);
    if (getenv("ORVALUNE_API_FUZZ_LIST")) {
        for (size_t i = 0; i < candidates.size(); i++)
            fprintf(stderr, "%4zu %s%s\n", i, candidates[i].method ? "USERDATA." : "", candidates[i].name);
    }
}

void put_file(const char* path, const char* text) {
    ram_file* f = pfopen(path, "w");
    if (!f) abort();
    pfwrite(text, 1, int64_t(strlen(text)), f);
    pfclose(f);
}

app_config initial_config;

// The three idle processes stay from one input to the next while nothing touched them.
bool idle_processes_intact() {
    if (get_process_count() != 3) return false;
    for (int i = 0; i < 3; i++) {
        const process_record* p = get_process_by_index(i);
        if (!p || p->id != i + 1 || p->state != PSTATE_RUNNING || p->kill_pending || !p->L) return false;
        if (!p->message_queue || p->message_queue->length != 0) return false;
    }
    return true;
}

void boot_machine() {
    uint32_t window_active = app.window_active;
    memset(&app, 0, sizeof(app));
    app.window_active = window_active;
    config = initial_config;
    boot_init();
    pfile_reset();
    // As a boot clears the synthesiser, but without clearing all of its memory each time.
    mudo_kill_all_audio();
    mixer.fade_length = mixer.fade_counter = 0;
    mixer.fade_start = mixer.fade_target = 0;
    mixer.music_volume = 0;
    mixer.sample_accumulator = 0;
    app.audio_owner = -2;
    app.audio_mirror_id = -3;
    if (mount_ram_folder("/ram") != 0) abort();
    pmkdir("/ram/f");
    put_file("/ram/a.txt", "hello");
    put_file("/ram/f/b.txt", "--[[pod]]{x=1}");
    // The root, the process of the second slot and the window manager, all idle.
    if (!idle_processes_intact()) {
        processes_init();
        for (int i = 1; i <= 3; i++) {
            if (!create_process_from_code("", "idle", "idle", "")) abort();
        }
    }
    process_id = 4;
}

void take_down_machine() {
    for (int i = get_process_count() - 1; i >= 0; i--) {
        process_record* p = get_process_by_index(i);
        if (p && (p->id > 3 || p->kill_pending)) kill_process_by_index(i);
    }
    delete_sockets_by_process(0);
    pfile_reset();
    cproc = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    snprintf(fuzz_home, sizeof fuzz_home, "%s/orvalune_api_fuzz_XXXXXX", getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    if (!mkdtemp(fuzz_home)) abort();
    atexit(remove_fuzz_home);
    setenv("HOME", fuzz_home, 1);
    setenv("XDG_DATA_HOME", fuzz_home, 1);
    setenv("XDG_CONFIG_HOME", fuzz_home, 1);
    setenv("XDG_DESKTOP_DIR", fuzz_home, 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    trace = getenv("ORVALUNE_API_FUZZ_TRACE") != nullptr;
    report_uncharged = getenv("ORVALUNE_API_FUZZ_CHARGES") != nullptr;
    if (const char* ms = getenv("ORVALUNE_API_FUZZ_CALL_MS")) call_limit_seconds = atof(ms) / 1000.0;
    // Ports of our own for the sockets, away from those the system hands out.
    port_base = uint16_t(20000 + (getpid() % 1500) * PORT_COUNT);
    // The log goes nowhere: the fuzz runs write far too many lines.
    velt_debug_file = fopen("/dev/null", "w");

    set_default_config();
    config.headless = 1;
    config.network_access = 1;
    snprintf(config.home_folder, sizeof config.home_folder, "%s", fuzz_home);
    initial_config = config;
    pfile_init();
    mudo_init();
    sockets_init();
    processes_init();
    collect_candidates();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    boot_machine();
    prog = program{};
    prog.in.p = data;
    prog.in.end = data + size;
    double fraction = 0.02 + (prog.in.u8() / 255.0) * 0.3;

    process_record* p = create_process_from_code(driver_code, "api_fuzz", "/ram/api_fuzz.lua", "");
    if (!p) abort();
    prog.self = p;
    prog.self_id = p->id;
    set_current_process(p);
    lua_pushcfunction(p->L, set_up_process);
    if (lua_pcall(p->L, 0, 0, 0) != LUA_OK) {
        fprintf(stderr, "api_fuzz: set-up failed: %s\n", lua_tostring(p->L, -1));
        abort();
    }

    for (int frame = 0; frame < MAX_FRAMES; frame++) {
        process_record* self = get_process(prog.self_id);
        if (!self || self->state != PSTATE_RUNNING) break;
        prepare_processes_for_frame();
        run_process_slice(self, fraction);
        update_processes_after_frame();
        gurl_update();
    }
    take_down_machine();
    if (!fuzz_home_is_empty()) empty_fuzz_home();
    return 0;
}
