// Script functions that read and write a process's address space: peek, poke and
// their wider forms, reads from another process, and memcpy / memset.
#include <cmath>

#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

constexpr int64_t MAX_COUNT = 65536;
constexpr int64_t MAX_BLOCK = 0x1000000;

// A number truncated toward zero; anything else gives dflt.
int64_t truncated(lua_State* L, int idx, int64_t dflt) {
    if (lua_isinteger(L, idx)) return lua_tointeger(L, idx);
    if (!lua_isnumber(L, idx)) return dflt;
    double d = std::trunc(lua_tonumber(L, idx));
    if (!(d > -9.2e18 && d < 9.2e18)) return dflt;
    return (int64_t)d;
}

// address + offset without signed overflow; only the low 24 bits matter to the reader.
int64_t wrapped(int64_t address, int64_t offset) { return (int64_t)((uint64_t)address + (uint64_t)offset); }

// An exact integer (an integral float counts; strings do not); anything else gives 0.
int64_t exact_integer(lua_State* L, int idx) {
    if (lua_type(L, idx) != LUA_TNUMBER) return 0;
    int ok = 0;
    lua_Integer v = lua_tointegerx(L, idx, &ok);
    return ok ? v : 0;
}

template <typename Read>
int peek_n(lua_State* L, int64_t address, int step, Read read, bool charge_one) {
    int64_t n = q64_intp(L, 2, 1);
    if (n < 1 || n > MAX_COUNT || !lua_checkstack(L, (int)n)) return 0;
    if (charge_one) spend_cpu(n > 1 ? n - 1 : 1);
    else if (n >= 2) spend_cpu(n - 1);
    for (int64_t i = 0; i < n; i++) lua_pushinteger(L, read(wrapped(address, i * step)));
    return (int)n;
}

template <typename Write>
int poke_n(lua_State* L, int64_t address, int step, Write write, int64_t (*value)(lua_State*, int)) {
    int count = lua_gettop(L) - 1;
    if (count < 1 || count > MAX_COUNT) return 0;
    if (count >= 2) spend_cpu(count - 1);
    for (int i = 0; i < count; i++) write(wrapped(address, (int64_t)i * step), value(L, i + 2));
    return 0;
}

int64_t integer_value(lua_State* L, int idx) { return q64_intp(L, idx, 0); }

}  // namespace

int lua54_peek(lua_State* L) {
    return peek_n(L, truncated(L, 1, 0), 1, [](int64_t a) { return (lua_Integer)peek(a); }, true);
}
int lua54_peek2(lua_State* L) {
    return peek_n(L, truncated(L, 1, 0), 2, [](int64_t a) { return (lua_Integer)peek2(a); }, false);
}
int lua54_peek4(lua_State* L) {
    return peek_n(L, q64_intp(L, 1, 0), 4, [](int64_t a) { return (lua_Integer)peek4(a); }, false);
}
int lua54_peek8(lua_State* L) {
    return peek_n(L, q64_intp(L, 1, 0), 8, [](int64_t a) { return (lua_Integer)peek8(a); }, false);
}
int lua54_poke(lua_State* L) { return poke_n(L, truncated(L, 1, 0), 1, poke, integer_value); }
int lua54_poke2(lua_State* L) { return poke_n(L, q64_intp(L, 1, 0), 2, poke2, integer_value); }
int lua54_poke4(lua_State* L) { return poke_n(L, q64_intp(L, 1, 0), 4, poke4, exact_integer); }
int lua54_poke8(lua_State* L) { return poke_n(L, q64_intp(L, 1, 0), 8, poke8, exact_integer); }

int lua54_ppeek(lua_State* L) {
    process_record* rec = get_process(exact_integer(L, 1));
    lua_pushinteger(L, rec ? peek_proc(rec, truncated(L, 2, 0)) : 0);
    return 1;
}

int lua54_ppeek4(lua_State* L) {
    process_record* rec = get_process(exact_integer(L, 1));
    lua_pushinteger(L, rec ? peek4_proc(rec, truncated(L, 2, 0)) : 0);
    return 1;
}

int lua54_memcpy(lua_State* L) {
    int64_t n = truncated(L, 3, 0);
    if (n < 0) return 0;
    if (n > MAX_BLOCK) n = MAX_BLOCK;
    int64_t cost = q64_memcpy(q64_intp(L, 1, 0), q64_intp(L, 2, 0), n);
    spend_cpu(cost > 1 ? cost : 1);
    return 0;
}

int lua54_memset(lua_State* L) {
    int64_t n = truncated(L, 3, 0);
    if (n < 0) return 0;
    if (n > MAX_BLOCK) n = MAX_BLOCK;
    int64_t cost = q64_memset(q64_intp(L, 1, 0), q64_intp(L, 2, 0) & 0xFF, n);
    spend_cpu(cost > 1 ? cost : 1);
    return 0;
}

int lua54_set_draw_target(lua_State* L) {
    userdata_header* ud = to_userdata(L, 1);
    if (!ud || !cproc) return 0;
    // The state keeps the array alive for as long as it is the target.
    lua_pushvalue(L, 1);
    lua_setfield(L, LUA_REGISTRYINDEX, "orvalune.draw_target");
    cproc->draw_target = ud;
    poke2(ADDR_CLIP, 0);
    poke2(ADDR_CLIP + 2, 0);
    // 0xFFFF reaches the far edge of a target wider or taller than the registers can say.
    poke2(ADDR_CLIP + 4, ud->width < 0xFFFF ? ud->width : 0xFFFF);
    poke2(ADDR_CLIP + 6, ud->height < 0xFFFF ? ud->height : 0xFFFF);
    return 0;
}
