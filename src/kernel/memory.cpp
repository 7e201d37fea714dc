// The process address space: paged memory, bulk copies, typed-array mappings and the
// audio owner's copy for the mixer.
#include "kernel/memory.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "audio/mudo.h"
#include "kernel/app.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "userdata/userdata.h"

namespace {

// Stands in for a page that could not be allocated: reads see zeros, writes are lost.
uint8_t spare_page[PAGE_SIZE];

inline uint32_t mask_address(int64_t a) { return (uint32_t)((uint64_t)a & ADDRESS_MASK); }

inline bool is_array_page(const page_table& pt, uint32_t page) {
    return (pt.userdata_map[page >> 6] >> (page & 63)) & 1;
}

inline void set_array_page(page_table& pt, uint32_t page, bool on) {
    uint64_t bit = uint64_t(1) << (page & 63);
    if (on)
        pt.userdata_map[page >> 6] |= bit;
    else
        pt.userdata_map[page >> 6] &= ~bit;
}

inline bool is_shared_page(const page_table& pt, uint32_t page) {
    return (pt.shared_map[page >> 6] >> (page & 63)) & 1;
}

// The owned block of a page, allocated zeroed on first touch. A page with nothing mapped
// takes the new block as its page pointer, in full; a page showing a shared copy takes it
// with the shared bytes copied in.
uint8_t* owned_page(process_record* rec, uint32_t page) {
    page_table& pt = rec->pages;
    if (pt.owned[page]) return pt.owned[page];
    bool shared = is_shared_page(pt, page);
    uint8_t* block = (uint8_t*)(shared ? malloc(PAGE_SIZE) : calloc(PAGE_SIZE, 1));
    if (!block) {
        memset(spare_page, 0, sizeof(spare_page));
        return spare_page;
    }
    if (shared) {
        memcpy(block, pt.page[page], PAGE_SIZE);
        pt.shared_map[page >> 6] &= ~(uint64_t(1) << (page & 63));
        pt.mapped[page] = 0;
    }
    pt.owned[page] = block;
    rec->page_bytes += PAGE_SIZE;
    if (pt.mapped[page] == 0) {
        pt.page[page] = block;
        pt.mapped[page] = PAGE_SIZE;
    }
    return block;
}

// A shared page becomes the process's own before anything writes it.
inline void own_if_shared(process_record* rec, uint32_t page) {
    if (__builtin_expect(is_shared_page(rec->pages, page), 0)) owned_page(rec, page);
}

// Where the byte at address a (already masked) lives, and how many bytes from there on lie
// in the same stretch: the mapped part of the page, or the rest of the owned page.
inline uint8_t* locate(process_record* rec, uint32_t a, uint32_t* stretch) {
    uint32_t page = a >> 12, offset = a & (PAGE_SIZE - 1);
    page_table& pt = rec->pages;
    int32_t mapped = pt.mapped[page];
    if ((int32_t)offset < mapped) {
        *stretch = (uint32_t)mapped - offset;
        return pt.page[page] + offset;
    }
    *stretch = PAGE_SIZE - offset;
    return owned_page(rec, page) + offset;
}

inline uint8_t* byte_at(process_record* rec, uint32_t a) {
    uint32_t page = a >> 12, offset = a & (PAGE_SIZE - 1);
    const page_table& pt = rec->pages;
    if ((int32_t)offset < pt.mapped[page]) return pt.page[page] + offset;
    return owned_page(rec, page) + offset;
}

// The same for writing.
inline uint8_t* locate_w(process_record* rec, uint32_t a, uint32_t* stretch) {
    own_if_shared(rec, a >> 12);
    return locate(rec, a, stretch);
}
inline uint8_t* byte_at_w(process_record* rec, uint32_t a) {
    own_if_shared(rec, a >> 12);
    return byte_at(rec, a);
}

uint64_t read_bytes(process_record* rec, int64_t a, int count) {
    uint64_t v = 0;
    for (int i = 0; i < count; i++) v |= (uint64_t)*byte_at(rec, mask_address((int64_t)((uint64_t)a + (uint64_t)i))) << (8 * i);
    return v;
}

void write_bytes(process_record* rec, int64_t a, uint64_t v, int count) {
    for (int i = 0; i < count; i++) {
        uint32_t at = mask_address((int64_t)((uint64_t)a + (uint64_t)i));
        *byte_at_w(rec, at) = (uint8_t)(v >> (8 * i));
        mark_page_written(rec->pages, at >> 12);
    }
}

// Copies count bytes from s to d (both masked) in page-bounded runs; returns the charge.
int64_t copy_runs(process_record* rec, uint32_t d, uint32_t s, uint32_t count) {
    int64_t cost = 0;
    while (count > 0) {
        uint32_t s_stretch = 0, d_stretch = 0;
        uint8_t* sp = locate(rec, s, &s_stretch);
        uint8_t* dp = locate_w(rec, d, &d_stretch);
        uint32_t run = std::min(count, std::min(s_stretch, d_stretch));
        memmove(dp, sp, run);  // one array may be mapped at both addresses
        mark_page_written(rec->pages, d >> 12);
        cost += run / 128 + 1;
        count -= run;
        s = (s + run) & ADDRESS_MASK;
        d = (d + run) & ADDRESS_MASK;
    }
    return cost;
}

// Overlapping ranges: the source is read whole before anything is written, so the
// destination ends with the source's bytes as they were, even when the ranges meet at
// both ends of the wrapping space.
void copy_overlapping(process_record* rec, uint32_t d, uint32_t s, uint32_t count) {
    uint8_t* temp = (uint8_t*)malloc(count);
    if (temp) {
        uint32_t done = 0;
        while (done < count) {
            uint32_t stretch = 0;
            uint8_t* sp = locate(rec, (s + done) & ADDRESS_MASK, &stretch);
            uint32_t run = std::min(count - done, stretch);
            memcpy(temp + done, sp, run);
            done += run;
        }
        done = 0;
        while (done < count) {
            uint32_t at = (d + done) & ADDRESS_MASK, stretch = 0;
            uint8_t* dp = locate_w(rec, at, &stretch);
            uint32_t run = std::min(count - done, stretch);
            memcpy(dp, temp + done, run);
            mark_page_written(rec->pages, at >> 12);
            done += run;
        }
        free(temp);
        return;
    }
    // No room for the temporary copy: byte by byte, in the direction that reads each
    // source byte before it is overwritten.
    bool downward = ((d - s) & ADDRESS_MASK) < count;
    for (uint32_t k = 0; k < count; k++) {
        uint32_t i = downward ? count - 1 - k : k;
        uint32_t at = (d + i) & ADDRESS_MASK;
        uint8_t b = *byte_at(rec, (s + i) & ADDRESS_MASK);
        *byte_at_w(rec, at) = b;
        mark_page_written(rec->pages, at >> 12);
    }
}

// The 4,096 bytes a page presents: its mapped part, then its owned page (zeros without one).
void gather_page(const page_table& pt, uint32_t page, uint8_t* out) {
    int32_t mapped = std::clamp(pt.mapped[page], 0, (int32_t)PAGE_SIZE);
    if (mapped > 0 && pt.page[page]) memcpy(out, pt.page[page], mapped);
    else mapped = 0;
    if (pt.owned[page])
        memcpy(out + mapped, pt.owned[page] + mapped, PAGE_SIZE - mapped);
    else
        memset(out + mapped, 0, PAGE_SIZE - mapped);
}

void copy_page_to_mixer(const page_table& pt, uint32_t page) {
    uint32_t base = page * PAGE_SIZE;
    int32_t mapped = std::clamp(pt.mapped[page], 0, (int32_t)PAGE_SIZE);
    if (mapped > 0 && pt.page[page]) mudo_memcpy(base, pt.page[page], (uint32_t)mapped);
    else mapped = 0;
    uint32_t rest = PAGE_SIZE - (uint32_t)mapped;
    if (rest == 0) return;
    if (pt.owned[page])
        mudo_memcpy(base + mapped, pt.owned[page] + mapped, rest);
    else
        mudo_memset(base + mapped, 0, rest);
}

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

// Script arguments. A number, or a string converted to a number, truncated toward zero; a non-numeric string
// gives 0 and any other value the default.
int64_t truncated_arg(lua_State* L, int index, int64_t dflt) {
    int t = lua_type(L, index);
    if (t != LUA_TNUMBER && t != LUA_TSTRING) return dflt;
    int ok = 0;
    lua_Integer i = lua_tointegerx(L, index, &ok);
    if (ok) return (int64_t)i;
    double d = lua_tonumberx(L, index, &ok);
    if (!ok || std::isnan(d)) return 0;
    d = std::trunc(d);
    if (d >= 9.2233720368547758e18) return INT64_MAX;
    if (d <= -9.2233720368547758e18) return INT64_MIN;
    return (int64_t)d;
}

// ---- readers and writers ------------------------------------------------------------------

uint8_t peek(int64_t a) { return cproc ? *byte_at(cproc, mask_address(a)) : 0; }
int16_t peek2(int64_t a) { return cproc ? (int16_t)(uint16_t)read_bytes(cproc, a, 2) : 0; }
int32_t peek4(int64_t a) { return cproc ? (int32_t)(uint32_t)read_bytes(cproc, a, 4) : 0; }
int64_t peek8(int64_t a) { return cproc ? (int64_t)read_bytes(cproc, a, 8) : 0; }

void poke(int64_t a, int64_t v) {
    if (cproc) write_bytes(cproc, a, (uint64_t)v, 1);
}
void poke2(int64_t a, int64_t v) {
    if (cproc) write_bytes(cproc, a, (uint64_t)v, 2);
}
void poke4(int64_t a, int64_t v) {
    if (cproc) write_bytes(cproc, a, (uint64_t)v, 4);
}
void poke8(int64_t a, int64_t v) {
    if (cproc) write_bytes(cproc, a, (uint64_t)v, 8);
}

uint8_t peek_proc(process_record* rec, int64_t a) { return rec ? *byte_at(rec, mask_address(a)) : 0; }
int16_t peek2_proc(process_record* rec, int64_t a) {
    return rec ? (int16_t)(uint16_t)read_bytes(rec, a, 2) : 0;
}
int32_t peek4_proc(process_record* rec, int64_t a) {
    return rec ? (int32_t)(uint32_t)read_bytes(rec, a, 4) : 0;
}
void poke_proc(process_record* rec, int64_t a, int64_t v) {
    if (rec) write_bytes(rec, a, (uint64_t)v, 1);
}
void poke2_proc(process_record* rec, int64_t a, int64_t v) {
    if (rec) write_bytes(rec, a, (uint64_t)v, 2);
}

uint8_t* locate_proc(process_record* rec, int64_t a, uint32_t* stretch) {
    if (!rec) return nullptr;
    return locate(rec, mask_address(a), stretch);
}

uint8_t* locate_proc_for_write(process_record* rec, int64_t a, uint32_t* stretch) {
    if (!rec) return nullptr;
    return locate_w(rec, mask_address(a), stretch);
}

void share_page(process_record* rec, uint32_t page, const uint8_t* bytes) {
    if (!rec || !bytes || page >= PAGE_COUNT) return;
    page_table& pt = rec->pages;
    if (pt.owned[page] || pt.mapped[page] != 0) return;
    pt.page[page] = const_cast<uint8_t*>(bytes);  // never written through: see own_if_shared
    pt.mapped[page] = PAGE_SIZE;
    pt.shared_map[page >> 6] |= uint64_t(1) << (page & 63);
    mark_page_written(pt, page);
}

bool page_is_shared(const process_record* rec, uint32_t page) {
    return rec && page < PAGE_COUNT && is_shared_page(rec->pages, page);
}

// ---- bulk copies and fills ----------------------------------------------------------------

void poke_block(int64_t a, const uint8_t* src, int64_t n) {
    process_record* rec = cproc;
    if (!rec || !src || n < 1) return;
    uint32_t count = (uint32_t)std::min<int64_t>(n, ADDRESS_SPACE_SIZE);
    uint32_t at = mask_address(a);
    while (count > 0) {
        uint32_t stretch = 0;
        uint8_t* dp = locate_w(rec, at, &stretch);
        uint32_t run = std::min(count, stretch);
        memmove(dp, src, run);
        mark_page_written(rec->pages, at >> 12);
        src += run;
        count -= run;
        at = (at + run) & ADDRESS_MASK;
    }
}

int64_t q64_memcpy(int64_t dst, int64_t src, int64_t n) {
    process_record* rec = cproc;
    if (!rec || n < 1) return 0;
    uint32_t count = (uint32_t)std::min<int64_t>(n, ADDRESS_SPACE_SIZE);
    uint32_t d = mask_address(dst), s = mask_address(src);
    if (d == s) return 0;
    // Distances in the wrapping space: the ranges overlap when either start lies inside the
    // other range.
    uint32_t dst_after_src = (d - s) & ADDRESS_MASK;
    uint32_t src_after_dst = (s - d) & ADDRESS_MASK;
    if (dst_after_src < count || src_after_dst < count) {
        copy_overlapping(rec, d, s, count);
        return count / 8;
    }
    return copy_runs(rec, d, s, count);
}

int64_t q64_memset(int64_t a, int64_t value, int64_t n) {
    process_record* rec = cproc;
    if (!rec || n < 1) return 0;
    uint32_t count = (uint32_t)std::min<int64_t>(n, ADDRESS_SPACE_SIZE);
    uint32_t at = mask_address(a);
    int64_t cost = 0;
    while (count > 0) {
        uint32_t stretch = 0;
        uint8_t* dp = locate_w(rec, at, &stretch);
        uint32_t run = std::min(count, stretch);
        memset(dp, (uint8_t)value, run);
        mark_page_written(rec->pages, at >> 12);
        cost += run / 128 + 1;
        count -= run;
        at = (at + run) & ADDRESS_MASK;
    }
    return cost;
}

void q64_pmemcpy_pages(process_record* src_rec, process_record* dst_rec, int64_t from, int64_t to) {
    if (!src_rec || !dst_rec) return;
    int64_t first = std::clamp<int64_t>(from, 0, ADDRESS_SPACE_SIZE) >> 12;
    int64_t end = std::clamp<int64_t>(to, 0, ADDRESS_SPACE_SIZE) >> 12;
    uint8_t bytes[PAGE_SIZE];
    for (int64_t i = first; i < end; i++) {
        uint32_t p = (uint32_t)i;
        if (!src_rec->pages.page[p]) continue;
        // The source page may be a short stretch of an array: past it, its owned bytes.
        gather_page(src_rec->pages, p, bytes);
        owned_page(dst_rec, p);
        page_table& dt = dst_rec->pages;
        if (!dt.owned[p]) continue;  // no memory for the page
        if (is_array_page(dt, p)) {
            // Keep the destination's array mapping; bytes past it go to its owned page.
            int32_t mapped = std::clamp(dt.mapped[p], 0, (int32_t)PAGE_SIZE);
            if (mapped > 0) memcpy(dt.page[p], bytes, mapped);
            memcpy(dt.owned[p] + mapped, bytes + mapped, PAGE_SIZE - mapped);
        } else {
            dt.page[p] = dt.owned[p];
            dt.mapped[p] = PAGE_SIZE;
            memcpy(dt.owned[p], bytes, PAGE_SIZE);
        }
        mark_page_written(dt, p);
    }
}

// ---- the audio bracket --------------------------------------------------------------------

int audio_op_start(int64_t id, int force) {
    if (id >= 1 && id <= 3) {
        app.audio_owner = id;
    } else if (id >= 4 && id != app.audio_owner) {
        os_lock_audio();
        uint32_t playing = mudo_anything_is_playing();
        os_unlock_audio();
        process_record* owner = get_process(app.audio_owner);
        process_record* claimant = get_process(id);
        uint32_t claim_priority = claimant ? claimant->audio_priority : 0;
        if (playing && owner && owner->audio_priority > claim_priority) return 1;
        app.audio_owner = id;
    }

    os_lock_audio();
    process_record* owner = get_process(app.audio_owner);
    if (!owner) {
        if (app.audio_owner != -2) {
            mudo_memset(0, 0, ADDRESS_SPACE_SIZE);
            app.audio_owner = -2;
            mudo_kill_all_audio();
        }
        os_unlock_audio();
        return 1;
    }
    bool changed = owner->id != app.audio_mirror_id;
    page_table& pt = owner->pages;
    if (changed) {
        // A new owner: its whole space. Pages it never touched read zero in the cleared copy and
        // are not written, so they take no memory there.
        mudo_memset(0, 0, ADDRESS_SPACE_SIZE);
        for (uint32_t p = 0; p < PAGE_COUNT; p++) {
            if ((pt.mapped[p] > 0 && pt.page[p]) || pt.owned[p]) copy_page_to_mixer(pt, p);
            pt.flags[p] &= (uint8_t)~PAGE_WRITTEN;
        }
        pt.written_count = 0;
    } else if (force) {
        // Only the pages written since the last copy.
        for (int32_t i = 0; i < pt.written_count; i++) {
            uint32_t p = pt.written[i];
            copy_page_to_mixer(pt, p);
            pt.flags[p] &= (uint8_t)~PAGE_WRITTEN;
        }
        pt.written_count = 0;
    }
    if (changed) mudo_kill_all_audio();
    app.audio_mirror_id = owner->id;
    return 0;
}

void audio_op_end() { os_unlock_audio(); }

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
            own_if_shared(rec, p);
            userdata_header* old = pt.array[p];
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
            pt.array[p] = a.header;
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
        if (pt.array[p] != a.header) continue;
        seen++;
        if ((uintptr_t)pt.page[p] >= hi) continue;
        pt.page[p] = pt.owned[p];
        pt.array[p] = nullptr;
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

// ---- the mixer's copy of the owner's memory -------------------------------------------------

// Page-aligned so that clearing it hands back every one of its pages.
alignas(65536) uint8_t mixer_ram[ADDRESS_SPACE_SIZE];

void clear_to_fresh_pages(void* p, size_t n) {
    if (!p || n == 0) return;
    static const uintptr_t host_page = (uintptr_t)sysconf(_SC_PAGESIZE) > 0 ? (uintptr_t)sysconf(_SC_PAGESIZE) : 4096;
    uintptr_t start = (uintptr_t)p, end = start + n;
    uintptr_t lo = (start + host_page - 1) & ~(host_page - 1), hi = end & ~(host_page - 1);
    if (lo >= hi || madvise((void*)lo, hi - lo, MADV_DONTNEED) != 0) {
        memset(p, 0, n);
        return;
    }
    memset(p, 0, lo - start);
    memset((void*)hi, 0, end - hi);
}

void mudo_memset(uint32_t address, uint8_t value, uint32_t length) {
    if (address >= ADDRESS_SPACE_SIZE) return;
    length = std::min(length, ADDRESS_SPACE_SIZE - address);
    if (value == 0 && length >= 16 * PAGE_SIZE) clear_to_fresh_pages(mixer_ram + address, length);
    else memset(mixer_ram + address, value, length);
}

void mudo_memcpy(uint32_t address, const uint8_t* source, uint32_t length) {
    if (address >= ADDRESS_SPACE_SIZE || !source) return;
    length = std::min(length, ADDRESS_SPACE_SIZE - address);
    memcpy(mixer_ram + address, source, length);
}
