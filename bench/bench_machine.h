// The benchmarks' headless machine: the kernel brought back to a fresh state with its
// application data in a folder of the benchmark's own, and the rounds argument they share.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <initializer_list>

#include "gfx/draw_state.h"
#include "app/app.h"
#include "base/machine.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"

// No processes, default settings, headless, no audio owner, a fresh frame budget.
inline void bench_reset_kernel(const char* home) {
    processes_init();
    set_default_config();
    snprintf(config.home_folder, sizeof(config.home_folder), "%s", home);
    config.headless = 1;
    memset(&app, 0, sizeof(app));
    app.audio_owner = -2;
    app.audio_mirror_id = -3;
    cpu_cycles = 0;
    cpu_cycles_max = FRAME_CYCLE_BUDGET;
    cpu_superyielding = 0;
}

// The first argument as a count of rounds, 1..100; the default when it is missing, -1 when
// it is bad or more than max_args arguments were given.
inline int bench_parse_rounds(int argc, char** argv, int default_rounds, int max_args) {
    if (argc < 2) return default_rounds;
    if (argc > max_args + 1) return -1;
    char* end = nullptr;
    long n = strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || n < 1 || n > 100) return -1;
    return int(n);
}

// A drawing benchmark's one process, made current with the default colour tables; its script
// state, or null (and a message) when it cannot be made.
inline lua_State* bench_drawing_process() {
    processes_init();
    memset(&app, 0, sizeof(app));
    process_record* p = create_process_from_code("", "bench", "/apps/bench.lua", "");
    if (!p) {
        printf("could not create a process\n");
        return nullptr;
    }
    set_current_process(p);
    return p->L;
}

// Calls a script function directly with integer arguments, as the interpreter would; the
// charges are forgotten, as they would otherwise end the slice.
inline void bench_call(lua_State* L, lua_CFunction f, std::initializer_list<int64_t> args) {
    lua_pushcfunction(L, f);
    for (int64_t a : args) lua_pushinteger(L, a);
    lua_call(L, int(args.size()), 0);
    cpu_cycles = 0;
}

// Runs script code from a fresh charge; false (and the message) when it fails.
inline bool bench_run_code(lua_State* L, const char* code) {
    cpu_cycles = 0;
    if (luaL_dostring(L, code) == LUA_OK) return true;
    printf("script failed: %s\n", lua_tostring(L, -1));
    return false;
}
