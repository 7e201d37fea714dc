// The process address space: 16 MB of paged 24-bit memory per process, its readers and
// writers, bulk copies and fills, the typed-array page marks and the mixer's copy of the owner's memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include "base/memmap.h"
#include "kernel/process.h"

struct lua_State;

// Makes room for one more entry in the written-page list, or sets written_all.
void grow_written_list(page_table& pt);

// Every write to a page of a process's space goes through this: the page's flags byte
// becomes 255 and, when it was not marked since the last copy to the mixer, the page joins
// the list of written pages that the copy visits.
inline void mark_page_written(page_table& pt, uint32_t page) {
    if (!(pt.flags[page] & PAGE_WRITTEN)) {
        if (__builtin_expect(pt.written_count >= pt.written_capacity, 0)) grow_written_list(pt);
        if (pt.written_count < pt.written_capacity) pt.written[pt.written_count++] = (uint16_t)page;
    }
    pt.flags[page] = 0xFF;
}

// The page's own block, or null.
inline uint8_t* page_owned(const page_table& pt, uint32_t page) {
    uint8_t** block = pt.owned[page >> 6];
    return block ? block[page & (PAGE_BLOCK - 1)] : nullptr;
}
// The typed array the page points into, or null.
inline userdata_header* page_array(const page_table& pt, uint32_t page) {
    userdata_header** block = pt.array[page >> 6];
    return block ? block[page & (PAGE_BLOCK - 1)] : nullptr;
}
// Set the page's own block or array; false (nothing changed) when the block of entries it
// needs could not be allocated. Setting null never fails.
bool set_page_owned(page_table& pt, uint32_t page, uint8_t* bytes);
bool set_page_array(page_table& pt, uint32_t page, userdata_header* array);
// Makes sure the entries of pages first .. first + count - 1 exist for set_page_array;
// false when they could not all be allocated.
bool reserve_page_arrays(page_table& pt, uint32_t first, uint32_t count);
// Frees the out-of-line tables (not the pages they point at) and clears the list.
void free_page_tables(page_table& pt);
// Empties the written-page list after the copy to the mixer.
inline void clear_written_list(page_table& pt) {
    pt.written_count = 0;
    pt.written_all = 0;
}

// Addresses are taken modulo 2^24.
inline uint32_t mask_address(int64_t a) { return (uint32_t)((uint64_t)a & ADDRESS_MASK); }

// Marks or clears a page as pointing into a typed array.
inline void set_array_page(page_table& pt, uint32_t page, bool on) {
    uint64_t bit = uint64_t(1) << (page & 63);
    if (on)
        pt.userdata_map[page >> 6] |= bit;
    else
        pt.userdata_map[page >> 6] &= ~bit;
}

// Readers and writers of the current process (`cproc`). Addresses are taken modulo 2^24;
// multi-byte values are little-endian and may cross pages. Reads allocate an untouched
// page; writes mark every page they touch (flags byte 255). Without a current process
// reads give 0 and writes do nothing.
// The interpreter's memory-read operators call the four readers, so they have C linkage.
extern "C" {
uint8_t peek(int64_t a);
int16_t peek2(int64_t a);
int32_t peek4(int64_t a);
int64_t peek8(int64_t a);
}
void poke(int64_t a, int64_t v);
void poke2(int64_t a, int64_t v);
void poke4(int64_t a, int64_t v);
void poke8(int64_t a, int64_t v);

// The same on a given process; readers give 0 for a null record.
uint8_t peek_proc(process_record* rec, int64_t a);
int16_t peek2_proc(process_record* rec, int64_t a);
int32_t peek4_proc(process_record* rec, int64_t a);
void poke_proc(process_record* rec, int64_t a, int64_t v);
void poke2_proc(process_record* rec, int64_t a, int64_t v);

// Writes n host bytes from src into the current process's space from address a on (n capped
// at 16 MB), marking every page it touches.
void poke_block(int64_t a, const uint8_t* src, int64_t n);
// Where the byte at address a of rec's space lives by the address rule, with the number of
// bytes from there on that lie in the same contiguous stretch (the mapped part of its page, or
// the rest of its owned page); an untouched page is allocated. Null for a null record. For
// reading: writers use locate_proc_for_write.
uint8_t* locate_proc(process_record* rec, int64_t a, uint32_t* stretch);

// The same for writing: a page that shows a shared read-only copy becomes the process's own
// first. The caller marks the page written.
uint8_t* locate_proc_for_write(process_record* rec, int64_t a, uint32_t* stretch);
// Shows the 4,096 read-only bytes at bytes as page `page` of rec's space, shared until the
// process first writes the page; the page is marked written. Only for a page with nothing
// mapped or owned yet.
void share_page(process_record* rec, uint32_t page, const uint8_t* bytes);
// Whether the page shows a shared copy, and the bytes it shows.
bool page_is_shared(const process_record* rec, uint32_t page);

// Copies n bytes within the current process's space, as if through a temporary buffer
// (n is capped at 16 MB); returns the cycle cost, 0 for n < 1 or dst equal to src.
int64_t q64_memcpy(int64_t dst, int64_t src, int64_t n);
// Fills n bytes with the low byte of value (n capped at 16 MB); returns the cycle cost,
// 0 for n < 1.
int64_t q64_memset(int64_t a, int64_t value, int64_t n);
// Copies the pages from >> 12 up to (not including) to >> 12 from one process's space
// into another's; source pages that were never present are skipped.
void q64_pmemcpy_pages(process_record* src_rec, process_record* dst_rec, int64_t from, int64_t to);

// A number, or a string converted to a number, truncated toward zero (saturating); a
// non-numeric string gives 0 and any other value the default. Never raises.
int64_t truncated_arg(lua_State* L, int index, int64_t dflt);

// Script functions.
int lua54_map_ram(lua_State* L);
int lua54_unmap_ram(lua_State* L);

// Zeroes n bytes at p by handing the whole pages among them back to the system (they read
// zero again and take no memory until next touched); only the partial pages at either end are
// written. For large regions that start out as untouched zero pages.
void clear_to_fresh_pages(void* p, size_t n);

// The mixer's own 16 MB copy of the audio owner's address space: the synthesiser reads
// audio data from here only, and only this module writes it (mudo_memset, mudo_memcpy).
// Untouched zero pages until written; cleared by clear_to_fresh_pages.
extern uint8_t mixer_ram[ADDRESS_SPACE_SIZE];

// Script functions of the address space.
int lua54_peek(lua_State* L);
int lua54_peek2(lua_State* L);
int lua54_peek4(lua_State* L);
int lua54_peek8(lua_State* L);
int lua54_poke(lua_State* L);
int lua54_poke2(lua_State* L);
int lua54_poke4(lua_State* L);
int lua54_poke8(lua_State* L);
int lua54_ppeek(lua_State* L);
int lua54_ppeek4(lua_State* L);
int lua54_memcpy(lua_State* L);
int lua54_memset(lua_State* L);
int lua54_set_draw_target(lua_State* L);
