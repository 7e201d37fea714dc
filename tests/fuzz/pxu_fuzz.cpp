// Fuzz target: the pxu block reader on arbitrary bytes, in one script process's state and
// inside a protected call; checks that it pushes one array or nothing and stays in bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "lua.h"
#include "script_fuzz_support.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static process_record* const proc = script_fuzz::make_process("pxu_fuzz");
    const char* start = reinterpret_cast<const char*>(data);
    block b{start, start + size};
    script_fuzz::run_protected(proc, read_block, &b);
    return 0;
}
