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

#include "base/machine.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"

namespace {

// Stands in for a page that could not be allocated: reads see zeros, writes are lost.
uint8_t spare_page[PAGE_SIZE];

inline bool is_array_page(const page_table& pt, uint32_t page) {
    return (pt.userdata_map[page >> 6] >> (page & 63)) & 1;
}

inline bool is_shared_page(const page_table& pt, uint32_t page) {
    return (pt.shared_map[page >> 6] >> (page & 63)) & 1;
}

// The owned block of a page, allocated zeroed on first touch. A page with nothing mapped
// takes the new block as its page pointer, in full; a page showing a shared copy takes it
// with the shared bytes copied in.
uint8_t* owned_page(process_record* rec, uint32_t page) {
    page_table& pt = rec->pages;
    if (uint8_t* own = page_owned(pt, page)) return own;
    bool shared = is_shared_page(pt, page);
    uint8_t* block = (uint8_t*)(shared ? malloc(PAGE_SIZE) : calloc(PAGE_SIZE, 1));
    if (block && !set_page_owned(pt, page, block)) {
        free(block);
        block = nullptr;
    }
    if (!block) {
        memset(spare_page, 0, sizeof(spare_page));
        return spare_page;
    }
    if (shared) {
        memcpy(block, pt.page[page], PAGE_SIZE);
        pt.shared_map[page >> 6] &= ~(uint64_t(1) << (page & 63));
        pt.mapped[page] = 0;
    }
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
    int32_t mapped = std::clamp((int32_t)pt.mapped[page], 0, (int32_t)PAGE_SIZE);
    if (mapped > 0 && pt.page[page]) memcpy(out, pt.page[page], mapped);
    else mapped = 0;
    if (const uint8_t* own = page_owned(pt, page))
        memcpy(out + mapped, own + mapped, PAGE_SIZE - mapped);
    else
        memset(out + mapped, 0, PAGE_SIZE - mapped);
}

// The entry of a page in one of the blocked tables, its block allocated if need be.
template <typename T>
T** table_entry(T** blocks[], uint32_t page) {
    T**& block = blocks[page >> 6];
    if (!block) block = (T**)calloc(PAGE_BLOCK, sizeof(T*));
    return block ? &block[page & (PAGE_BLOCK - 1)] : nullptr;
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

// ---- the page tables ------------------------------------------------------------------------

bool set_page_owned(page_table& pt, uint32_t page, uint8_t* bytes) {
    if (!bytes && !pt.owned[page >> 6]) return true;
    uint8_t** entry = table_entry(pt.owned, page);
    if (!entry) return false;
    *entry = bytes;
    return true;
}

bool set_page_array(page_table& pt, uint32_t page, userdata_header* array) {
    if (!array && !pt.array[page >> 6]) return true;
    userdata_header** entry = table_entry(pt.array, page);
    if (!entry) return false;
    *entry = array;
    return true;
}

bool reserve_page_arrays(page_table& pt, uint32_t first, uint32_t count) {
    for (uint32_t p = first; p < PAGE_COUNT && p - first < count; p = (p | (PAGE_BLOCK - 1)) + 1) {
        if (!table_entry(pt.array, p)) return false;
    }
    return true;
}

void grow_written_list(page_table& pt) {
    if (pt.written_capacity >= (int32_t)PAGE_COUNT) return;
    int32_t capacity = std::min<int32_t>(std::max<int32_t>(256, pt.written_capacity * 2), PAGE_COUNT);
    uint16_t* grown = (uint16_t*)realloc(pt.written, sizeof(uint16_t) * (size_t)capacity);
    if (!grown) {
        pt.written_all = 1;
        return;
    }
    pt.written = grown;
    pt.written_capacity = capacity;
}

void free_page_tables(page_table& pt) {
    for (uint32_t b = 0; b < PAGE_BLOCKS; b++) {
        free(pt.owned[b]);
        pt.owned[b] = nullptr;
        free(pt.array[b]);
        pt.array[b] = nullptr;
    }
    free(pt.written);
    pt.written = nullptr;
    pt.written_capacity = 0;
    clear_written_list(pt);
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
    if (page_owned(pt, page) || pt.mapped[page] != 0) return;
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
        page_table& dt = dst_rec->pages;
        if (!page_owned(dt, p) && dt.mapped[p] == 0) {
            // A page the destination has not got yet: filled whole, so it need not be zeroed
            // first (new processes take their wave tables this way).
            uint8_t* block = (uint8_t*)malloc(PAGE_SIZE);
            if (block && set_page_owned(dt, p, block)) {
                gather_page(src_rec->pages, p, block);
                dt.page[p] = block;
                dt.mapped[p] = PAGE_SIZE;
                dst_rec->page_bytes += PAGE_SIZE;
                mark_page_written(dt, p);
                continue;
            }
            free(block);
        }
        // The source page may be a short stretch of an array: past it, its owned bytes.
        gather_page(src_rec->pages, p, bytes);
        owned_page(dst_rec, p);
        uint8_t* own = page_owned(dt, p);
        if (!own) continue;  // no memory for the page
        if (is_array_page(dt, p)) {
            // Keep the destination's array mapping; bytes past it go to its owned page.
            int32_t mapped = std::clamp((int32_t)dt.mapped[p], 0, (int32_t)PAGE_SIZE);
            if (mapped > 0) memcpy(dt.page[p], bytes, mapped);
            memcpy(own + mapped, bytes + mapped, PAGE_SIZE - mapped);
        } else {
            dt.page[p] = own;
            dt.mapped[p] = PAGE_SIZE;
            memcpy(own, bytes, PAGE_SIZE);
        }
        mark_page_written(dt, p);
    }
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

