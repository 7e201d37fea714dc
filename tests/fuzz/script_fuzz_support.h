// Shared by the fuzz targets that read into a script state: one process made once, and a
// protected call per input after which everything the input made is collected.
#pragma once
#include <cstdlib>

#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"

namespace script_fuzz {

inline process_record* make_process(const char* name) {
    processes_init();
    process_record* p = create_process_from_code("", name, name, "");
    if (!p || !p->L) abort();
    set_current_process(p);
    return p;
}

// Calls fn(arg) in a protected call inside the process, then restores the stack and collects,
// so that what one input made is freed before the next one and a leak shows as one.
inline void run_protected(process_record* proc, lua_CFunction fn, void* arg) {
    lua_State* L = proc->L;
    int base = lua_gettop(L);
    set_current_process(proc);
    proc->out_of_memory = 0;
    cpu_superyielding = 0;
    lua_pushcfunction(L, fn);
    lua_pushlightuserdata(L, arg);
    lua_pcall(L, 1, LUA_MULTRET, 0);
    lua_settop(L, base);
    lua_gc(L, LUA_GCCOLLECT, 0);
}

}  // namespace script_fuzz
