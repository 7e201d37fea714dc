// The guards around script functions and the helpers that script functions share.
#include "kernel/api.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "base/pbuffer.h"
#include "lauxlib.h"
#include "ldo.h"
#include "lua.h"

int64_t q64_intp(lua_State* L, int index, int64_t dflt) {
    int type = lua_type(L, index);
    if (type != LUA_TNUMBER && type != LUA_TSTRING) return dflt;
    // Integers, and numbers or numerals with an integral value in range, in one call.
    int ok = 0;
    lua_Integer i = lua_tointegerx(L, index, &ok);
    if (ok) return i;
    double d = lua_tonumberx(L, index, &ok);
    if (!ok) return dflt;
    d = std::floor(d);
    if (!(d >= -9.2233720368547758e18 && d < 9.2233720368547758e18)) return dflt;
    return (int64_t)d;
}

namespace {

struct push_job {
    const void* bytes;
    size_t length;
};

int push_bytes_body(lua_State* L) {
    const push_job* job = static_cast<const push_job*>(take_job(L));
    lua_pushlstring(L, static_cast<const char*>(job->bytes), job->length);
    return 1;
}

char* scratch_block = nullptr;
size_t scratch_capacity = 0;

}  // namespace

int api_guarded_call(lua_State* L, int (*fn)(lua_State*)) {
    bool failed = false;
    int results = 0;
    try {
        results = fn(L);
    } catch (const std::bad_alloc&) {
        failed = true;
    } catch (const std::length_error&) {
        failed = true;
    }
    // Raised only once the handler has finished with the exception.
    return failed ? api_host_memory_error(L) : results;
}

static_assert(std::is_same_v<lua_KContext, intptr_t>, "continuations take an intptr_t context");

int api_guarded_continuation(lua_State* L, int status, intptr_t ctx, int (*k)(lua_State*, int, intptr_t)) {
    bool failed = false;
    int results = 0;
    try {
        results = k(L, status, ctx);
    } catch (const std::bad_alloc&) {
        failed = true;
    } catch (const std::length_error&) {
        failed = true;
    }
    return failed ? api_host_memory_error(L) : results;
}

namespace {

struct protected_frame {
    int (*body)(lua_State*);
    void* job;
};

int run_protected_body(lua_State* L) {
    const protected_frame* frame = static_cast<const protected_frame*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    lua_pushlightuserdata(L, frame->job);
    return api_guarded_call(L, frame->body);
}

}  // namespace

int protected_call(lua_State* L, int (*body)(lua_State*), void* job, int nargs) {
    if (!lua_checkstack(L, 2)) {
        // No room even for the call: a stack at its limit is out of memory, whose error needs
        // no object on the stack.
        lua_pop(L, nargs);
        return LUA_ERRMEM;
    }
    protected_frame frame{body, job};
    lua_pushcfunction(L, run_protected_body);
    lua_insert(L, -(nargs + 1));
    lua_pushlightuserdata(L, &frame);
    return lua_pcall(L, nargs + 1, LUA_MULTRET, 0);
}

void* take_job(lua_State* L) {
    void* job = lua_touserdata(L, -1);
    lua_pop(L, 1);
    return job;
}

void raise_again(lua_State* L, int status) {
    // A memory error stays a memory error on its way up: the slice's end tells them apart.
    luaD_throw(L, status);
}

void push_bytes_then_destroy(lua_State* L, const void* bytes, size_t length, pbuffer* owner) {
    push_job job{bytes, length};
    int status = protected_call(L, push_bytes_body, &job, 0);
    destroy_buffer(owner);
    if (status != LUA_OK) raise_again(L, status);
}

char* scratch_bytes(size_t n) {
    if (n > scratch_capacity || !scratch_block) {
        size_t want = n < 256 ? 256 : n;
        char* grown = static_cast<char*>(realloc(scratch_block, want));
        if (!grown) return nullptr;
        scratch_block = grown;
        scratch_capacity = want;
    }
    return scratch_block;
}

int api_host_memory_error(lua_State* L) {
    // The process ends as when its own heap runs out; a protected call sees Lua's own text.
    if (cproc) cproc->out_of_memory = 1;
    cpu_superyielding = SUPERYIELD;
    lua_pushliteral(L, "not enough memory");
    return lua_error(L);
}
