// mox throughput: write and read MB/s for a table of 100,000 mixed values, and the reader's
// time against stock Lua 5.4.2 (built from the same tarball as C with the same flags) compiling
// and running the same text as a table constructor, measured in the same run.
//
// Built with the project as the mox_bench target; run it without arguments in a Release build.
#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_clock.h"

#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/mox.h"
#include "stock_lua.h"
#include "userdata/userdata.h"

namespace {

constexpr int ROUNDS = 7;

// Numbers, short strings, nested tables and a few typed arrays.
const char* BUILD_TABLE = R"(
local t = {}
for i = 1, 100000 do
    local k = i % 10
    if k < 3 then t[i] = i * 7 - 50000
    elseif k < 5 then t[i] = i / 7
    elseif k < 7 then t[i] = "s" .. (i % 977)
    elseif k < 9 then t[i] = {x = i, y = -i, name = "n" .. i, flag = i % 2 == 0}
    elseif i % 1000 == 9 then
        local u = userdata("u8", 16, 16)
        for j = 0, 255 do u[j] = (i + j) % 64 end
        t[i] = u
    else t[i] = {i, i + 0.5} end
end
data = t
)";

double now() { return thread_seconds(); }

struct timing {
    double write = 1e9;
    double read = 1e9;
    int64_t bytes = 0;
};

timing measure(lua_State* L, int flags) {
    timing t;
    for (int round = 0; round < ROUNDS; round++) {
        cpu_cycles = 0;
        lua_getglobal(L, "data");
        pbuffer* b = create_buffer_2(1 << 20, MOX_BUFFER_TAG);
        double start = now();
        stringify_object(L, -1, b, flags);
        t.write = std::min(t.write, now() - start);
        lua_pop(L, 1);
        t.bytes = b->length;

        cpu_cycles = 0;
        start = now();
        int n = destringify_object(L, reinterpret_cast<const char*>(b->data), b->length);
        t.read = std::min(t.read, now() - start);
        lua_pop(L, n);
        destroy_buffer(b);
        lua_gc(L, LUA_GCCOLLECT);
    }
    return t;
}

}  // namespace

int main() {
    processes_init();
    process_record* p = create_process_from_code("", "mox_bench", "mox_bench", "");
    if (!p) return 1;
    set_current_process(p);
    lua_State* L = p->L;
    lua_register(L, "userdata", lua54_userdata);
    if (luaL_dostring(L, BUILD_TABLE) != LUA_OK) {
        fprintf(stderr, "%s\n", lua_tostring(L, -1));
        return 1;
    }

    for (int flags : {0, MOX_STORE_FLAGS}) {
        timing t = measure(L, flags);
        double mb = double(t.bytes) / 1e6;
        printf("flags %d: %lld bytes; write %.1f MB/s (%.2f ms), read %.1f MB/s (%.2f ms)\n", flags,
               (long long)t.bytes, mb / t.write, t.write * 1e3, mb / t.read, t.read * 1e3);
    }

    lua_getglobal(L, "data");
    pbuffer* b = create_buffer_2(1 << 20, MOX_BUFFER_TAG);
    stringify_object(L, -1, b, 0);
    lua_pop(L, 1);
    std::string text(reinterpret_cast<const char*>(b->data), size_t(b->length));
    destroy_buffer(b);
    timing t = measure(L, 0);
    double load = time_stock_load(text.data(), text.size(), ROUNDS);
    if (load <= 0) return 1;
    printf("unmox %.2f ms, stock Lua's load of the same text %.2f ms: ratio %.2f (target at most 0.5)\n",
           t.read * 1e3, load * 1e3, t.read / load);
    processes_init();
    return 0;
}
