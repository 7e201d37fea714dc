// Script functions that read and write a process's address space: peek, poke and
// their wider forms, reads from another process, and memcpy / memset.
#include <algorithm>
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

namespace {

// A typed array on the script stack with the size of the block that holds it.
struct array_view {
    userdata_header* header;
    uint8_t* data;
    int64_t size;       // width x height x element size
    int64_t capacity;   // bytes of the block after the header
    uint8_t type;
};

bool get_array(lua_State* L, int index, array_view* out) {
    userdata_header* h = to_userdata(L, index);
    if (!h) return false;
    out->header = h;
    out->data = userdata_data(h);
    out->size = userdata_bytes(h);
    out->capacity = (int64_t)(lua_rawlen(L, index) - sizeof(userdata_header));
    out->type = h->type & 31;
    return true;
}

// Every array a page points into, and the map array, is held in two registry tables keyed by
// the array's address: one keeps the array itself, so the collector cannot free bytes the page
// table still reaches; the other counts the pages that point into it. Mapping and unmapping
// adjust the counts of the arrays they touch, so neither has to rescan the page table to learn
// whether an array is still in use.
char held_arrays_key;
char page_counts_key;

// Pushes the registry table under key, making it on first use.
void push_registry_table(lua_State* L, const void* key) {
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, key) == LUA_TTABLE) return;
    lua_pop(L, 1);
    lua_newtable(L);  // may run a finaliser that makes the table first
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, key) == LUA_TTABLE) {
        lua_remove(L, -2);
        return;
    }
    lua_pop(L, 1);
    lua_pushvalue(L, -1);
    lua_rawsetp(L, LUA_REGISTRYINDEX, key);
}

// The two tables, pushed in this order and found again at these stack indices.
struct held_tables {
    int arrays, counts;
};

held_tables push_held_tables(lua_State* L) {
    push_registry_table(L, &held_arrays_key);
    push_registry_table(L, &page_counts_key);
    return {lua_gettop(L) - 1, lua_gettop(L)};
}

int64_t page_count(lua_State* L, const held_tables& t, const userdata_header* h) {
    lua_rawgetp(L, t.counts, h);
    int64_t n = lua_tointeger(L, -1);
    lua_pop(L, 1);
    return n;
}

// Only an existing key is changed: storing into a table slot that exists allocates nothing.
void set_page_count(lua_State* L, const held_tables& t, const userdata_header* h, int64_t n) {
    bool held = lua_rawgetp(L, t.counts, h) != LUA_TNIL;
    lua_pop(L, 1);
    if (!held) return;
    lua_pushinteger(L, n);
    lua_rawsetp(L, t.counts, h);
}

// Holds the array at stack index `index` (its pages counted from 0 when it was not held).
// The only step that may allocate, and so raise: callers take it before changing anything.
void hold_array(lua_State* L, const held_tables& t, int index, const userdata_header* h) {
    lua_pushvalue(L, index);
    lua_rawsetp(L, t.arrays, h);
    if (lua_rawgetp(L, t.counts, h) == LUA_TNIL) {
        lua_pushinteger(L, 0);
        lua_rawsetp(L, t.counts, h);
    }
    lua_pop(L, 1);
}

// Lets go of an array that no page points into and that is not the map.
void release_if_unused(lua_State* L, const held_tables& t, const process_record* rec, const userdata_header* h) {
    if (!h || h == rec->map_userdata || page_count(L, t, h) > 0) return;
    bool held = lua_rawgetp(L, t.arrays, h) != LUA_TNIL;
    lua_pop(L, 1);
    if (!held) return;  // clearing a missing key would add it
    lua_pushnil(L);
    lua_rawsetp(L, t.arrays, h);
    lua_pushnil(L);
    lua_rawsetp(L, t.counts, h);
}

// Takes n pages from the count of the array h (n may be 0 or h null).
void drop_pages(lua_State* L, const held_tables& t, const process_record* rec, const userdata_header* h, int64_t n) {
    if (!h || n == 0) return;
    set_page_count(L, t, h, std::max<int64_t>(page_count(L, t, h) - n, 0));
    release_if_unused(L, t, rec, h);
}

}  // namespace

// ---- typed-array mappings -----------------------------------------------------------------

int lua54_map_ram(lua_State* L) {
    process_record* rec = cproc;
    array_view a;
    if (!rec || !get_array(L, 1, &a) || a.type == UTYPE_F64) return 0;
    uint32_t first = mask_address(truncated_arg(L, 2, 0)) >> 12;
    int64_t offset = truncated_arg(L, 3, 0);
    bool offset_ok = offset >= 0 && a.size > (offset & ~int64_t(3));
    offset &= ~int64_t(3);
    int64_t length = offset_ok ? truncated_arg(L, 4, a.size - offset) : 0;
    bool map_page = first == (ADDR_MAP >> 12);
    bool becomes_map = map_page && a.type == UTYPE_I16;
    // The page table's entries for the pages to map are made before anything changes.
    if (offset_ok && length >= 1) {
        int64_t span = std::min(length, a.size - offset);
        uint32_t count = (uint32_t)std::min<int64_t>((span + PAGE_SIZE - 1) / PAGE_SIZE, PAGE_COUNT);
        if (!reserve_page_arrays(rec->pages, first, count)) {
            lua_pushliteral(L, "not enough memory");
            return lua_error(L);
        }
    }

    held_tables t = push_held_tables(L);
    if (becomes_map || (offset_ok && length >= 1)) hold_array(L, t, 1, a.header);
    if (map_page) {
        // The map array lives as long as it is the map, whatever the rest of the call does.
        userdata_header* old = rec->map_userdata;
        rec->map_userdata = becomes_map ? a.header : nullptr;
        if (old != rec->map_userdata) release_if_unused(L, t, rec, old);
    }
    if (!offset_ok) {
        lua_pop(L, 2);
        return 0;
    }
    if (length >= 1) {
        // Never past the array's end, and never past the last page of the space.
        length = std::min(length, a.size - offset);
        page_table& pt = rec->pages;
        int64_t pages = (length + PAGE_SIZE - 1) / PAGE_SIZE;
        int64_t added = 0;
        // Pages taken from other arrays, counted in runs of the same array.
        userdata_header* run_array = nullptr;
        int64_t run = 0;
        for (int64_t i = 0; i < pages && first + i < PAGE_COUNT; i++) {
            uint32_t p = (uint32_t)(first + i);
            int32_t mapped = (int32_t)std::min<int64_t>(length - i * PAGE_SIZE, PAGE_SIZE);
            // The system state below 0x10000 is only replaced by whole pages.
            if (p < INITIAL_PAGES && mapped < (int32_t)PAGE_SIZE) continue;
            // The defaults behind a shared page come back when the array is unmapped.
            if (page_is_shared(rec, p)) {
                uint32_t stretch = 0;
                locate_proc_for_write(rec, (int64_t)p << 12, &stretch);
            }
            userdata_header* old = page_array(pt, p);
            if (old != a.header) {
                added++;
                if (old != run_array) {
                    drop_pages(L, t, rec, run_array, run);
                    run_array = old;
                    run = 0;
                }
                run++;
            }
            pt.page[p] = a.data + offset + i * PAGE_SIZE;
            pt.mapped[p] = mapped;
            set_page_array(pt, p, a.header);  // its entry was made above
            set_array_page(pt, p, true);
            mark_page_written(pt, p);
        }
        drop_pages(L, t, rec, run_array, run);
        set_page_count(L, t, a.header, page_count(L, t, a.header) + added);
    }
    release_if_unused(L, t, rec, a.header);
    lua_pop(L, 2);
    lua_pushinteger(L, length);
    return 1;
}

int lua54_unmap_ram(lua_State* L) {
    process_record* rec = cproc;
    array_view a;
    if (!rec || !get_array(L, 1, &a)) return 0;
    int64_t address = truncated_arg(L, 2, -1);
    int64_t length = truncated_arg(L, 3, a.size);
    spend_cpu(4);

    uintptr_t hi = (uintptr_t)a.data + (uintptr_t)std::clamp<int64_t>(length, 0, a.capacity);
    bool every_address = address == -1;
    int64_t first = 0, last = PAGE_COUNT - 1;
    if (!every_address) {
        last = -1;
        if (length >= 1) {
            int64_t start = mask_address(address);
            first = start >> 12;
            last = std::min<int64_t>((start + std::min<int64_t>(length, ADDRESS_SPACE_SIZE) - 1) >> 12,
                                     PAGE_COUNT - 1);
        }
    }
    held_tables t = push_held_tables(L);
    int64_t total = page_count(L, t, a.header);
    int64_t seen = 0, removed = 0;
    page_table& pt = rec->pages;
    // Only the pages in range are looked at, and the walk ends once every page of the array
    // has been met.
    for (int64_t i = first; i <= last && seen < total; i++) {
        uint32_t p = (uint32_t)i;
        if (page_array(pt, p) != a.header) continue;
        seen++;
        if ((uintptr_t)pt.page[p] >= hi) continue;
        pt.page[p] = page_owned(pt, p);
        set_page_array(pt, p, nullptr);
        set_array_page(pt, p, false);
        mark_page_written(pt, p);
        pt.mapped[p] = 0;
        removed++;
    }
    bool none_left = total - removed <= 0;
    if (total > 0) drop_pages(L, t, rec, a.header, removed);
    lua_pop(L, 2);
    lua_pushboolean(L, none_left);
    return 1;
}
