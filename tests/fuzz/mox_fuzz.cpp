// Fuzz target: the mox reader on arbitrary text, in one script process's state and inside a
// protected call as unmox runs it; checks that it pushes exactly what it says it pushed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "storage/mox.h"

namespace {

struct document {
    const char* text;
    int64_t length;
};

int read_document(lua_State* L) {
    const document* doc = static_cast<const document*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    int pushed = destringify_object(L, doc->text, doc->length);
    if (pushed < 0 || pushed > 2 || lua_gettop(L) != pushed) abort();
    return pushed;
}

process_record* make_process() {
    processes_init();
    process_record* p = create_process_from_code("", "mox_fuzz", "mox_fuzz", "");
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

    document doc{reinterpret_cast<const char*>(data), int64_t(size)};
    lua_pushcfunction(L, read_document);
    lua_pushlightuserdata(L, &doc);
    lua_pcall(L, 1, LUA_MULTRET, 0);
    lua_settop(L, base);
    // What this input made is freed before the next one, so a leak shows as one.
    lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}
