// Fuzz target: the mox reader on arbitrary text, in one script process's state and inside a
// protected call as unmox runs it; checks that it pushes exactly what it says it pushed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "lua.h"
#include "script_fuzz_support.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static process_record* const proc = script_fuzz::make_process("mox_fuzz");
    document doc{reinterpret_cast<const char*>(data), int64_t(size)};
    script_fuzz::run_protected(proc, read_document, &doc);
    return 0;
}
