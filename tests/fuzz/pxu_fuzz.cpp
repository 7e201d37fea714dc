// Fuzz target: the pxu block reader on arbitrary bytes, in one script process's state and
// inside a protected call; checks that it pushes one array or nothing and stays in bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "storage/pxu.h"

namespace {

struct block {
    const char* start;
    const char* end;
};

int read_block(lua_State* L) {
    const block* b = static_cast<const block*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    const char* after = get_binary_pxu(L, b->start, b->end);
    if (after) {
        if (after <= b->start || after > b->end || lua_gettop(L) != 1 || lua_type(L, 1) != LUA_TUSERDATA) abort();
    } else if (lua_gettop(L) != 0) {
        abort();
    }
    return lua_gettop(L);
}

process_record* make_process() {
    processes_init();
    process_record* p = create_process_from_code("", "pxu_fuzz", "pxu_fuzz", "");
    if (!p || !p->L) abort();
    set_current_process(p);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static process_record* const proc = make_process();
    static const int base = lua_gettop(proc->L);
    lua_State* L = proc->L;
    set_current_process(proc);
    proc->out_of_memory = 0;
    cpu_superyielding = 0;

    const char* start = reinterpret_cast<const char*>(data);
    block b{start, start + size};
    lua_pushcfunction(L, read_block);
    lua_pushlightuserdata(L, &b);
    lua_pcall(L, 1, LUA_MULTRET, 0);
    lua_settop(L, base);
    // What this input made is freed before the next one, so a leak shows as one.
    lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}
