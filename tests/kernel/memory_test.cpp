// Process address space: the address rule, multi-byte access, bulk copies and fills,
// typed-array mappings and the audio owner's copy for the mixer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernel/app.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "userdata/userdata.h"

namespace {

struct Memory : testing::Test {
    process_record* p = nullptr;

    void SetUp() override {
        processes_init();
        memset(&app, 0, sizeof(app));
        mixer_playing_channels = 0;
        lock_level = 0;
        p = make("m");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
    }
    void TearDown() override {
        processes_init();
        mixer_playing_channels = 0;
    }

    static process_record* make(const char* name) { return create_process_from_code("", name, name, ""); }

    // A typed array made as the typed-array module makes it: header, then zeroed data.
    userdata_header* new_array(uint8_t type, uint32_t w, uint32_t h) {
        lua_State* L = p->L;
        size_t elem = (size_t(1) << (type & 7)) >> 3;
        size_t bytes = (w * h * elem + 7) & ~size_t(7);
        auto* u = (userdata_header*)lua_newuserdatauv(L, sizeof(userdata_header) + bytes, 0);
        memset(u, 0, sizeof(userdata_header) + bytes);
        u->type = type;
        u->dimensions = h > 1 ? 2 : 1;
        u->width = w;
        u->height = h;
        return u;  // left on the stack
    }
    static uint8_t* data_of(userdata_header* u) { return (uint8_t*)u + sizeof(userdata_header); }

    // Calls a script function with the values on top of the stack; returns its result count.
    int call(lua_CFunction f, int nargs) {
        lua_State* L = p->L;
        lua_pushcfunction(L, f);
        lua_insert(L, -nargs - 1);
        int base = lua_gettop(L) - nargs - 1;
        EXPECT_EQ(lua_pcall(L, nargs, LUA_MULTRET, 0), LUA_OK);
        return lua_gettop(L) - base;
    }
    // _map_ram(ud at index ud, address, [offset], [length]); -1 for "no result".
    int64_t map(int ud, int64_t address, int64_t offset = -999, int64_t length = -999) {
        lua_State* L = p->L;
        int top = lua_gettop(L);
        lua_pushvalue(L, ud);
        lua_pushinteger(L, address);
        int n = 2;
        if (offset != -999 || length != -999) {
            if (offset == -999) lua_pushnil(L); else lua_pushinteger(L, offset);
            n++;
        }
        if (length != -999) {
            lua_pushinteger(L, length);
            n++;
        }
        int results = call(lua54_map_ram, n);
        int64_t r = results ? lua_tointeger(L, -1) : -1;
        lua_settop(L, top);
        return r;
    }
    // _unmap_ram(ud, [address], [length]): 1 true, 0 false, -1 nothing.
    int unmap(int ud, int64_t address = -999, int64_t length = -999) {
        lua_State* L = p->L;
        int top = lua_gettop(L);
        lua_pushvalue(L, ud);
        int n = 1;
        if (address != -999) {
            lua_pushinteger(L, address);
            n++;
        }
        if (length != -999) {
            lua_pushinteger(L, length);
            n++;
        }
        int results = call(lua54_unmap_ram, n);
        int r = results ? lua_toboolean(L, -1) : -1;
        lua_settop(L, top);
        return r;
    }
    static bool array_page(process_record* r, uint32_t page) {
        return (r->pages.userdata_map[page >> 6] >> (page & 63)) & 1;
    }
};

// ---- the address rule -------------------------------------------------------------------

TEST_F(Memory, FirstTouchAllocatesOncePerPageAndReadsCount) {
    int64_t before = p->page_bytes;
    EXPECT_EQ(before, 0x10000);
    EXPECT_EQ(peek(0x7FFFF), 0);
    EXPECT_EQ(p->page_bytes, before + 4096);
    EXPECT_EQ(p->pages.mapped[0x7F], 4096);
    EXPECT_EQ(p->pages.page[0x7F], p->pages.owned[0x7F]);
    EXPECT_EQ(peek(0x7F000), 0);
    EXPECT_EQ(p->page_bytes, before + 4096);
    // Pages 0 to 15 exist from creation: touching them allocates nothing.
    poke(0xFFFF, 1);
    EXPECT_EQ(p->page_bytes, before + 4096);
    poke8(0x123456, -1);  // one new page
    EXPECT_EQ(p->page_bytes, before + 2 * 4096);
    // Reads leave the flags alone; writes set the whole byte.
    EXPECT_EQ(p->pages.flags[0x7F], 0);
    poke(0x7F001, 3);
    EXPECT_EQ(p->pages.flags[0x7F], 255);
}

TEST_F(Memory, AddressesWrapModulo2To24) {
    poke(0x1000005, 7);
    EXPECT_EQ(peek(5), 7);
    poke(-1, 9);
    EXPECT_EQ(peek(0xFFFFFF), 9);
    EXPECT_EQ(peek(0x7FFFFFFFFFFFFFFF), 9);
    poke4(0xFFFFFE, 0x11223344);
    EXPECT_EQ(peek(0xFFFFFE), 0x44);
    EXPECT_EQ(peek(0xFFFFFF), 0x33);
    EXPECT_EQ(peek(0), 0x22);
    EXPECT_EQ(peek(1), 0x11);
    EXPECT_EQ(peek4(-2), 0x11223344);
    EXPECT_EQ(p->pages.flags[4095], 255);
}

TEST_F(Memory, MultiByteValuesAreLittleEndianAcrossPages) {
    p->pages.flags[0] = 0;
    p->pages.flags[1] = 0;
    poke4(0xFFE, (int64_t)0xA1B2C3D4);
    EXPECT_EQ(peek(0xFFE), 0xD4);
    EXPECT_EQ(peek(0xFFF), 0xC3);
    EXPECT_EQ(peek(0x1000), 0xB2);
    EXPECT_EQ(peek(0x1001), 0xA1);
    EXPECT_EQ(p->pages.flags[0], 255);
    EXPECT_EQ(p->pages.flags[1], 255);
    EXPECT_EQ(peek4(0xFFE), (int32_t)0xA1B2C3D4);  // sign-extended
    EXPECT_EQ(peek2(0xFFF), (int16_t)0xB2C3);
    poke2(0x2FFF, 0x12345);  // low 16 bits only
    EXPECT_EQ(peek(0x2FFF), 0x45);
    EXPECT_EQ(peek(0x3000), 0x23);
    EXPECT_EQ(peek(0x3001), 0);
    poke8(0x4FFC, 0x0102030405060708LL);
    EXPECT_EQ(peek8(0x4FFC), 0x0102030405060708LL);
    EXPECT_EQ(peek(0x4FFC), 8);
    EXPECT_EQ(peek(0x5003), 1);
    poke(0x20, 0x1FF);
    EXPECT_EQ(peek(0x20), 0xFF);
}

TEST_F(Memory, ProcVariantsAndNoCurrentProcess) {
    process_record* q = make("q");
    poke_proc(q, 0x100, 0xAB);
    poke2_proc(q, 0x102, -2);
    EXPECT_EQ(peek_proc(q, 0x100), 0xAB);
    EXPECT_EQ(peek2_proc(q, 0x102), -2);
    EXPECT_EQ(peek4_proc(q, 0x100), (int32_t)0xFFFE00AB);
    EXPECT_EQ(peek(0x100), 0);  // the current process is another one
    EXPECT_EQ(peek_proc(nullptr, 0), 0);
    EXPECT_EQ(peek2_proc(nullptr, 0), 0);
    EXPECT_EQ(peek4_proc(nullptr, 0), 0);
    poke_proc(nullptr, 0, 1);
    cproc = nullptr;
    EXPECT_EQ(peek8(0), 0);
    poke(0, 1);
    EXPECT_EQ(q64_memset(0, 1, 10), 0);
    EXPECT_EQ(q64_memcpy(0, 10, 10), 0);
}

// ---- memcpy and memset --------------------------------------------------------------------

TEST_F(Memory, AlignedPageCopyCosts33) {
    for (int i = 0; i < 4096; i++) poke(0x20000 + i, i * 7);
    EXPECT_EQ(q64_memcpy(0x30000, 0x20000, 4096), 33);
    for (int i = 0; i < 4096; i += 97) EXPECT_EQ(peek(0x30000 + i), (uint8_t)(i * 7));
    EXPECT_EQ(p->pages.flags[0x30], 255);
    EXPECT_EQ(peek(0x31000), 0);
}

TEST_F(Memory, CopyRunsStopAtEveryStretchEnd) {
    for (int i = 0; i < 8192; i++) poke(0x20000 + i, i);
    // Runs: 4064 (32), 16 (1), 16 (1).
    EXPECT_EQ(q64_memcpy(0x30020, 0x20010, 4096), 34);
    for (int i = 0; i < 4096; i += 15) EXPECT_EQ(peek(0x30020 + i), (uint8_t)(i + 16));
    EXPECT_EQ(peek(0x3101F), (uint8_t)(4095 + 16));
    EXPECT_EQ(peek(0x31020), 0);
}

TEST_F(Memory, OverlappingCopiesBehaveAsThroughABuffer) {
    for (int i = 0; i < 10; i++) poke(0x100 + i, 1 + i);
    EXPECT_EQ(q64_memcpy(0x100, 0x100, 50), 0);
    EXPECT_EQ(q64_memcpy(0x1000100, 0x100, 50), 0);  // the same address modulo 2^24
    EXPECT_EQ(q64_memcpy(0x200, 0x100, -4), 0);
    EXPECT_EQ(peek(0x200), 0);
    EXPECT_EQ(q64_memcpy(0x104, 0x100, 10), 1);  // 10 / 8
    for (int i = 0; i < 10; i++) EXPECT_EQ(peek(0x104 + i), 1 + i) << i;
    EXPECT_EQ(peek(0x100), 1);
    // Downwards, across a page boundary.
    for (int i = 0; i < 64; i++) poke(0x2FF0 + i, 100 + i);
    EXPECT_EQ(q64_memcpy(0x2FE0, 0x2FF0, 64), 8);
    for (int i = 0; i < 64; i++) EXPECT_EQ(peek(0x2FE0 + i), 100 + i) << i;
}

TEST_F(Memory, OverlapIsJudgedInTheWrappingSpace) {
    // The source runs off the top of the space and on from 0, over the destination.
    std::vector<uint8_t> want(0x20);
    for (int i = 0; i < 0x20; i++) {
        poke(0xFFFFF0 + i, 0x40 + i);
        want[i] = (uint8_t)(0x40 + i);
    }
    EXPECT_EQ(q64_memcpy(0x000005, 0xFFFFF0, 0x20), 4);
    for (int i = 0; i < 0x20; i++) EXPECT_EQ(peek(5 + i), want[i]) << i;
    // Ranges that meet at both ends of the space.
    std::vector<uint8_t> before(0x1000000);
    q64_memset(0, 0, 0x1000000);
    for (int i = 0; i < 5000; i++) poke(i * 3355, i);
    for (int64_t a = 0; a < 0x1000000; a++) before[a] = peek(a);
    EXPECT_EQ(q64_memcpy(0x100, 0, 0x1000000), 0x200000);
    for (int64_t a = 0; a < 0x1000000; a += 1237) ASSERT_EQ(peek(0x100 + a), before[a]) << a;
}

TEST_F(Memory, CopyReadsAMappedArrayThenItsOwnedPage) {
    userdata_header* u = new_array(3, 100, 1);
    for (int i = 0; i < 100; i++) data_of(u)[i] = (uint8_t)(200 + i % 50);
    poke(0x30064, 77);  // owned page, past the array
    ASSERT_EQ(map(-1, 0x30000), 100);
    EXPECT_EQ(q64_memcpy(0x40000, 0x30000, 200), 2);  // runs of 100 and 100
    EXPECT_EQ(peek(0x40000), 200);
    EXPECT_EQ(peek(0x40063), 200 + 99 % 50);
    EXPECT_EQ(peek(0x40064), 77);
    // Writing through the mapping lands in the array.
    EXPECT_EQ(q64_memset(0x30000, 9, 4096), 33);  // runs of 100 (1) and 3996 (32)
    EXPECT_EQ(data_of(u)[99], 9);
    EXPECT_EQ(peek(0x30FFF), 9);
}

TEST_F(Memory, MemsetFillsRunsAndWraps) {
    EXPECT_EQ(q64_memset(0x500, 1, 0), 0);
    EXPECT_EQ(q64_memset(0x500, 1, -3), 0);
    EXPECT_EQ(peek(0x500), 0);
    EXPECT_EQ(q64_memset(0x20FF0, 0x1FF, 32), 2);
    EXPECT_EQ(peek(0x20FF0), 0xFF);
    EXPECT_EQ(peek(0x2100F), 0xFF);
    EXPECT_EQ(peek(0x21010), 0);
    EXPECT_EQ(q64_memset(0xFFFFF8, 5, 16), 2);
    EXPECT_EQ(peek(0xFFFFF8), 5);
    EXPECT_EQ(peek(7), 5);
    EXPECT_EQ(peek(8), 0);
    EXPECT_EQ(q64_memset(0x50000, 3, 4096), 33);
    // Longer than the space: filled once.
    EXPECT_EQ(q64_memset(0, 2, 0x2000000), 4096 * 33);
}

// ---- copying pages between processes ------------------------------------------------------

TEST_F(Memory, PageCopyBetweenProcesses) {
    process_record* q = make("q");
    poke(0x40000, 11);
    poke(0x41FFF, 12);
    poke(0xFFF000, 13);
    int64_t q_bytes = q->page_bytes;
    q64_pmemcpy_pages(p, q, 0x40000, 0x40000);  // nothing: no whole page in range
    EXPECT_EQ(peek_proc(q, 0x40000), 0);
    q64_pmemcpy_pages(p, q, 0x40000, 0x50000);
    EXPECT_EQ(peek_proc(q, 0x40000), 11);
    EXPECT_EQ(peek_proc(q, 0x41FFF), 12);
    EXPECT_EQ(q->pages.mapped[0x40], 4096);
    EXPECT_EQ(q->pages.flags[0x41], 255);
    // Untouched source pages 0x42 to 0x4F are skipped (and the reads above touched 2 pages).
    EXPECT_EQ(q->page_bytes, q_bytes + 2 * 4096);
    EXPECT_EQ(q->pages.owned[0x42], nullptr);
    q64_pmemcpy_pages(p, q, 0xFFF000, 0x1000000);  // the last page of the space
    EXPECT_EQ(peek_proc(q, 0xFFF000), 13);
    q64_pmemcpy_pages(nullptr, q, 0, 0x10000);
    q64_pmemcpy_pages(p, nullptr, 0, 0x10000);
}

TEST_F(Memory, PageCopyFromAShortArrayTakesTheOwnedRest) {
    process_record* q = make("q");
    userdata_header* u = new_array(3, 100, 1);
    for (int i = 0; i < 100; i++) data_of(u)[i] = 50;
    ASSERT_EQ(map(-1, 0x60000), 100);
    EXPECT_EQ(p->pages.owned[0x60], nullptr);
    q64_pmemcpy_pages(p, q, 0x60000, 0x61000);
    EXPECT_EQ(peek_proc(q, 0x60000), 50);
    EXPECT_EQ(peek_proc(q, 0x60063), 50);
    EXPECT_EQ(peek_proc(q, 0x60064), 0);  // zeros: the source has no owned page
    poke(0x60064, 44);                  // now it has one
    q64_pmemcpy_pages(p, q, 0x60000, 0x61000);
    EXPECT_EQ(peek_proc(q, 0x60064), 44);
    EXPECT_EQ(peek_proc(q, 0x60FFF), 0);
}

TEST_F(Memory, PageCopyIntoAShortArrayKeepsTheMapping) {
    process_record* q = make("q");
    for (int i = 0; i < 4096; i++) poke(0x60000 + i, 1 + i % 200);
    userdata_header* u = new_array(3, 8, 1);  // 8 bytes in an 8-byte block
    ASSERT_EQ(map(-1, 0x60000), 8);
    q64_pmemcpy_pages(p, q, 0x60000, 0x61000);  // q's page is its own
    EXPECT_EQ(peek_proc(q, 0x60008), 9);
    poke_proc(q, 0x60000, 99);
    poke_proc(q, 0x60007, 55);
    q64_pmemcpy_pages(q, p, 0x60000, 0x61000);
    EXPECT_EQ(p->pages.mapped[0x60], 8);
    EXPECT_TRUE(array_page(p, 0x60));
    EXPECT_EQ(data_of(u)[0], 99);
    EXPECT_EQ(data_of(u)[7], 55);
    EXPECT_EQ(peek(0x60008), 9);  // past the array: the owned page
    EXPECT_EQ(peek(0x60FFF), 1 + 4095 % 200);
}

// ---- mapping typed arrays -----------------------------------------------------------------

TEST_F(Memory, MappedPageReadsTheArrayThenTheOwnedPage) {
    poke(0x30000, 5);
    poke(0x30100, 6);
    userdata_header* u = new_array(3, 16, 16);
    data_of(u)[0] = 42;
    EXPECT_EQ(map(-1, 0x30000), 256);
    EXPECT_EQ(p->pages.mapped[0x30], 256);
    EXPECT_EQ(p->pages.flags[0x30], 255);
    EXPECT_TRUE(array_page(p, 0x30));
    EXPECT_EQ(peek(0x30000), 42);
    EXPECT_EQ(peek(0x30100), 6);  // byte 256: still the owned page
    poke(0x300FF, 7);
    EXPECT_EQ(data_of(u)[255], 7);
    poke(0x30101, 8);
    EXPECT_EQ(p->pages.owned[0x30][0x101], 8);
}

TEST_F(Memory, MapArgumentsAreCheckedAndOffsetAligned) {
    userdata_header* u = new_array(3, 300, 1);
    for (int i = 0; i < 300; i++) data_of(u)[i] = (uint8_t)i;
    EXPECT_EQ(map(-1, 0x30ABC, 6), 296);  // offset 4; the address's low bits ignored
    EXPECT_EQ(p->pages.page[0x30], data_of(u) + 4);
    EXPECT_EQ(peek(0x30000), 4);
    EXPECT_EQ(map(-1, 0x31000, -4), -1);
    EXPECT_EQ(map(-1, 0x31000, 300), -1);
    EXPECT_EQ(map(-1, 0x31000, 0, 0), 0);
    EXPECT_EQ(map(-1, 0x31000, 0, -5), -5);
    EXPECT_FALSE(array_page(p, 0x31));
    lua_pop(p->L, 1);

    new_array(22, 10, 1);  // f64 arrays are refused
    EXPECT_EQ(map(-1, 0x32000), -1);
    EXPECT_FALSE(array_page(p, 0x32));
    lua_pop(p->L, 1);

    // Not typed arrays: a table, a userdata too short for its header, a header claiming
    // more data than its block holds, an unknown type.
    lua_newtable(p->L);
    EXPECT_EQ(map(-1, 0x33000), -1);
    lua_newuserdatauv(p->L, 8, 0);
    EXPECT_EQ(map(-1, 0x33000), -1);
    new_array(3, 4, 1)->width = 100000;
    EXPECT_EQ(map(-1, 0x33000), -1);
    new_array(3, 4, 1)->type = 7;
    EXPECT_EQ(map(-1, 0x33000), -1);
    EXPECT_EQ(unmap(-1), -1);
    EXPECT_FALSE(array_page(p, 0x33));

    // Address given as a numeric string; absent address means 0 (system pages: whole only).
    userdata_header* big = new_array(3, 4096, 1);
    data_of(big)[1] = 17;
    lua_pushvalue(p->L, -1);
    lua_pushstring(p->L, "0x34000");
    ASSERT_EQ(call(lua54_map_ram, 2), 1);
    EXPECT_EQ(lua_tointeger(p->L, -1), 4096);
    lua_pop(p->L, 1);
    EXPECT_EQ(peek(0x34001), 17);
}

TEST_F(Memory, LengthIsClampedToTheArray) {
    userdata_header* u = new_array(3, 100, 1);
    data_of(u)[99] = 3;
    EXPECT_EQ(map(-1, 0x50000, 0, 10000), 100);
    EXPECT_EQ(p->pages.mapped[0x50], 100);
    EXPECT_FALSE(array_page(p, 0x51));
    EXPECT_FALSE(array_page(p, 0x52));
    EXPECT_EQ(peek(0x50063), 3);
    EXPECT_EQ(map(-1, 0x58000, 96, 500), 4);
    EXPECT_EQ(p->pages.mapped[0x58], 4);
    EXPECT_EQ(peek(0x58003), 3);
}

TEST_F(Memory, SystemPagesAreMappedOnlyWhole) {
    poke(0x8000, 31);
    new_array(3, 100, 1);
    EXPECT_EQ(map(-1, 0x8000), 100);
    EXPECT_FALSE(array_page(p, 8));
    EXPECT_EQ(peek(0x8000), 31);
    lua_pop(p->L, 1);
    poke(0xF000, 32);
    userdata_header* u = new_array(3, 6000, 1);
    data_of(u)[0] = 1;
    EXPECT_EQ(map(-1, 0xE000), 6000);
    EXPECT_TRUE(array_page(p, 14));
    EXPECT_FALSE(array_page(p, 15));  // 1904 bytes: left as it was
    EXPECT_EQ(peek(0xE000), 1);
    EXPECT_EQ(peek(0xF000), 32);
    lua_pop(p->L, 1);
    userdata_header* v = new_array(3, 6000, 1);
    data_of(v)[4096] = 2;
    EXPECT_EQ(map(-1, 0xF000), 6000);  // page 15 whole, page 16 partial (not a system page)
    EXPECT_TRUE(array_page(p, 15));
    EXPECT_TRUE(array_page(p, 16));
    EXPECT_EQ(p->pages.mapped[16], 6000 - 4096);
    EXPECT_EQ(peek(0x10000), 2);
}

TEST_F(Memory, MappingStopsAtTheLastPage) {
    userdata_header* u = new_array(3, 8192, 1);
    data_of(u)[4095] = 6;
    poke(0, 4);
    EXPECT_EQ(map(-1, 0xFFF000), 8192);
    EXPECT_TRUE(array_page(p, 4095));
    EXPECT_FALSE(array_page(p, 0));
    EXPECT_EQ(peek(0xFFFFFF), 6);
    EXPECT_EQ(peek(0), 4);
    // A negative address is masked like any other.
    lua_pop(p->L, 1);
    userdata_header* v = new_array(3, 16, 1);
    data_of(v)[0] = 8;
    EXPECT_EQ(map(-1, -0x2000), 16);
    EXPECT_TRUE(array_page(p, 0xFFE));
    EXPECT_EQ(peek(0xFFE000), 8);
}

TEST_F(Memory, UnmapRestoresTheOwnedBytes) {
    poke(0x30010, 99);
    int64_t before = peek(0x30010);
    userdata_header* u = new_array(3, 16, 16);
    data_of(u)[0x10] = 1;
    ASSERT_EQ(map(-1, 0x30000), 256);
    EXPECT_EQ(peek(0x30010), 1);
    int32_t cycles = cpu_cycles;
    EXPECT_EQ(unmap(-1), 1);
    EXPECT_EQ(cpu_cycles, cycles + 4);
    EXPECT_FALSE(array_page(p, 0x30));
    EXPECT_EQ(p->pages.mapped[0x30], 0);
    EXPECT_EQ(p->pages.page[0x30], p->pages.owned[0x30]);
    EXPECT_EQ(p->pages.flags[0x30], 255);
    EXPECT_EQ(peek(0x30010), before);
    // A page unmapped before it was ever touched reads zeros.
    ASSERT_EQ(map(-1, 0x90000), 256);
    EXPECT_EQ(unmap(-1), 1);
    EXPECT_EQ(peek(0x90010), 0);
    EXPECT_EQ(p->pages.mapped[0x90], 4096);
}

TEST_F(Memory, UnmapByAddressRange) {
    new_array(3, 8192, 1);
    ASSERT_EQ(map(-1, 0x30000), 8192);
    ASSERT_EQ(map(-1, 0x50000), 8192);
    EXPECT_EQ(unmap(-1, 0x31000, 8192), 0);  // pages 0x31 and 0x32: only 0x31 is the array's
    EXPECT_TRUE(array_page(p, 0x30));
    EXPECT_FALSE(array_page(p, 0x31));
    EXPECT_TRUE(array_page(p, 0x50));
    // Every address, but only pages pointing into the array's first 4096 bytes.
    EXPECT_EQ(unmap(-1, -1, 4096), 0);
    EXPECT_FALSE(array_page(p, 0x30));
    EXPECT_FALSE(array_page(p, 0x50));
    EXPECT_TRUE(array_page(p, 0x51));
    EXPECT_EQ(unmap(-1), 1);
    EXPECT_FALSE(array_page(p, 0x51));
}

TEST_F(Memory, UnmapLeavesOtherArraysAlone) {
    new_array(3, 4096, 1);
    int a = lua_gettop(p->L);
    new_array(3, 4096, 1);
    int b = lua_gettop(p->L);
    ASSERT_EQ(map(a, 0x30000), 4096);
    ASSERT_EQ(map(b, 0x31000), 4096);
    EXPECT_EQ(unmap(a, -1, 1 << 30), 1);  // an oversized length reaches no other array
    EXPECT_FALSE(array_page(p, 0x30));
    EXPECT_TRUE(array_page(p, 0x31));
}

// ---- mapped arrays and the collector ------------------------------------------------------

struct MemoryHeld : Memory {
    int weak = 0;
    void SetUp() override {
        Memory::SetUp();
        lua_State* L = p->L;
        lua_newtable(L);
        weak = lua_gettop(L);
        lua_newtable(L);
        lua_pushstring(L, "v");
        lua_setfield(L, -2, "__mode");
        lua_setmetatable(L, weak);
    }
    // A new array remembered only weakly (slot k) and left on the stack.
    userdata_header* weak_array(int k, uint8_t type, uint32_t w, uint32_t h) {
        userdata_header* u = new_array(type, w, h);
        lua_pushvalue(p->L, -1);
        lua_rawseti(p->L, weak, k);
        return u;
    }
    bool alive(int k) {
        lua_gc(p->L, LUA_GCCOLLECT);
        lua_gc(p->L, LUA_GCCOLLECT);
        bool r = lua_rawgeti(p->L, weak, k) == LUA_TUSERDATA;
        lua_pop(p->L, 1);
        return r;
    }
    void push_weak(int k) { lua_rawgeti(p->L, weak, k); }
};

TEST_F(MemoryHeld, AMappedArrayLivesUntilUnmapped) {
    userdata_header* u = weak_array(1, 3, 64, 1);
    data_of(u)[3] = 21;
    ASSERT_EQ(map(-1, 0x30000), 64);
    lua_pop(p->L, 1);
    EXPECT_TRUE(alive(1));
    EXPECT_EQ(peek(0x30003), 21);
    push_weak(1);
    EXPECT_EQ(unmap(-1), 1);
    lua_pop(p->L, 1);
    EXPECT_FALSE(alive(1));
}

TEST_F(MemoryHeld, AReplacedMappingLetsGo) {
    weak_array(1, 3, 64, 1);
    ASSERT_EQ(map(-1, 0x30000), 64);
    lua_pop(p->L, 1);
    weak_array(2, 3, 8192, 1);
    ASSERT_EQ(map(-1, 0x30000), 8192);
    ASSERT_EQ(map(-1, 0x60000), 8192);
    lua_pop(p->L, 1);
    EXPECT_FALSE(alive(1));
    EXPECT_TRUE(alive(2));
    push_weak(2);
    EXPECT_EQ(unmap(-1, 0x30000, 8192), 0);  // still mapped at 0x60000
    lua_pop(p->L, 1);
    EXPECT_TRUE(alive(2));
}

TEST_F(MemoryHeld, TheMapArrayLivesWhileItIsTheMap) {
    userdata_header* m = weak_array(1, 12, 8, 8);
    ASSERT_EQ(map(-1, 0x100000), 128);
    EXPECT_EQ(p->map_userdata, m);
    EXPECT_EQ(unmap(-1), 1);
    lua_pop(p->L, 1);
    EXPECT_TRUE(alive(1));  // mget still reads it
    weak_array(2, 3, 8, 8);
    ASSERT_EQ(map(-1, 0x100000, -4), -1);  // refused, but the map array is given up
    lua_pop(p->L, 1);
    EXPECT_EQ(p->map_userdata, nullptr);
    EXPECT_FALSE(alive(1));
    EXPECT_FALSE(alive(2));
}

// ---- the audio bracket --------------------------------------------------------------------

struct MemoryAudio : Memory {
    void SetUp() override {
        Memory::SetUp();
        app.audio_owner = -2;
        app.audio_mirror_id = -3;
    }
};

TEST_F(MemoryAudio, FirstCopyTakesEveryPageThenOnlyWrittenOnes) {
    poke(0x40010, 0x5A);
    poke(0x50000, 1);
    mixer_ram[0x700000] = 9;  // stale bytes of an untouched page
    EXPECT_EQ(audio_op_start(1, 1), 0);
    EXPECT_EQ(lock_level, 1);
    audio_op_end();
    EXPECT_EQ(lock_level, 0);
    EXPECT_EQ(app.audio_owner, 1);
    EXPECT_EQ(app.audio_mirror_id, 1);
    EXPECT_EQ(mixer_ram[0x40010], 0x5A);
    EXPECT_EQ(mixer_ram[0x700000], 0);
    EXPECT_EQ(p->pages.flags[0x40], 254);
    EXPECT_EQ(p->pages.flags[0x50], 254);
    EXPECT_EQ(p->pages.flags[0x70], 0);
    EXPECT_EQ(p->pages.owned[0x70], nullptr);  // the copy allocates nothing

    mixer_ram[0x50000] = 77;  // not written since: must stay as it is
    poke(0x40011, 3);
    EXPECT_EQ(audio_op_start(0, 1), 0);
    audio_op_end();
    EXPECT_EQ(mixer_ram[0x40011], 3);
    EXPECT_EQ(mixer_ram[0x50000], 77);
    EXPECT_EQ(p->pages.flags[0x40], 254);

    // Without force and with the same owner nothing is copied.
    poke(0x40012, 4);
    EXPECT_EQ(audio_op_start(0, 0), 0);
    audio_op_end();
    EXPECT_EQ(mixer_ram[0x40012], 0);
    EXPECT_EQ(p->pages.flags[0x40], 255);
}

TEST_F(MemoryAudio, MappedPagesCopyTheArrayThenTheOwnedPage) {
    userdata_header* u = new_array(3, 100, 1);
    memset(data_of(u), 0x33, 100);
    ASSERT_EQ(map(-1, 0x60000), 100);
    memset(mixer_ram + 0x60000, 0xEE, 4096);
    ASSERT_EQ(audio_op_start(1, 1), 0);
    audio_op_end();
    EXPECT_EQ(mixer_ram[0x60000], 0x33);
    EXPECT_EQ(mixer_ram[0x60063], 0x33);
    EXPECT_EQ(mixer_ram[0x60064], 0);  // no owned page: zeros
    EXPECT_EQ(mixer_ram[0x60FFF], 0);
    poke(0x60064, 5);
    ASSERT_EQ(audio_op_start(1, 1), 0);
    audio_op_end();
    EXPECT_EQ(mixer_ram[0x60064], 5);
}

TEST_F(MemoryAudio, AGoneOwnerClearsTheMixerOnce) {
    app.audio_owner = 77;
    mixer_ram[5] = 1;
    mixer_ram[0xFFFFFF] = 1;
    EXPECT_EQ(audio_op_start(0, 1), 1);
    EXPECT_EQ(lock_level, 0);
    EXPECT_EQ(app.audio_owner, -2);
    EXPECT_EQ(mixer_ram[5], 0);
    EXPECT_EQ(mixer_ram[0xFFFFFF], 0);
    mixer_ram[5] = 1;
    EXPECT_EQ(audio_op_start(0, 1), 1);
    EXPECT_EQ(mixer_ram[5], 1);
    EXPECT_EQ(lock_level, 0);
}

TEST_F(MemoryAudio, OwnerClaimsAndRefusals) {
    for (const char* n : {"b", "c", "d", "e"}) make(n);
    process_record* p4 = get_process(4);
    process_record* p5 = get_process(5);
    ASSERT_TRUE(p4 && p5);
    p4->audio_priority = 2;
    p5->audio_priority = 1;
    app.audio_owner = 4;
    app.audio_mirror_id = 4;
    mixer_playing_channels = 1;

    EXPECT_EQ(audio_op_start(5, 1), 1);  // owner plays with a higher priority
    EXPECT_EQ(lock_level, 0);
    EXPECT_EQ(app.audio_owner, 4);

    mixer_playing_channels = 0;  // silence: anyone may claim
    EXPECT_EQ(audio_op_start(5, 1), 0);
    audio_op_end();
    EXPECT_EQ(app.audio_owner, 5);
    EXPECT_EQ(app.audio_mirror_id, 5);

    mixer_playing_channels = 0x8000;
    p4->audio_priority = 1;  // equal priority: the claimant wins
    EXPECT_EQ(audio_op_start(4, 1), 0);
    audio_op_end();
    EXPECT_EQ(app.audio_owner, 4);

    p4->audio_priority = 9;
    EXPECT_EQ(audio_op_start(2, 1), 0);  // ids 1 to 3 always take over
    audio_op_end();
    EXPECT_EQ(app.audio_owner, 2);

    EXPECT_EQ(audio_op_start(0, 1), 0);  // id 0 changes nothing
    audio_op_end();
    EXPECT_EQ(app.audio_owner, 2);
    EXPECT_EQ(lock_level, 0);
}

// ---- against a plain 16 MB array -----------------------------------------------------------

TEST_F(Memory, RandomAccessMatchesAFlatReference) {
    std::vector<uint8_t> ref(ADDRESS_SPACE_SIZE, 0);
    // Pages 0x200 to 0x202 are an array (the last one only in part): the same bytes.
    new_array(3, 10000, 1);
    ASSERT_EQ(map(-1, 0x200000), 10000);
    std::mt19937_64 rng(12345);
    auto pick = [&]() -> int64_t {
        static const int64_t centres[] = {0, 0x1000, 0x200000, 0x201800, 0xFFF000, 0x123456, 0x202710};
        int64_t c = centres[rng() % 7];
        return c + (int64_t)(rng() % 0x3000) - 0x1800;  // may be negative or past the top
    };
    auto m = [](int64_t a) { return (uint32_t)((uint64_t)a & ADDRESS_MASK); };
    for (int step = 0; step < 20000; step++) {
        int op = (int)(rng() % 6);
        int64_t a = pick();
        if (op == 0) {
            int width = 1 << (rng() % 4);
            uint64_t v = rng();
            if (width == 1) poke(a, (int64_t)v);
            if (width == 2) poke2(a, (int64_t)v);
            if (width == 4) poke4(a, (int64_t)v);
            if (width == 8) poke8(a, (int64_t)v);
            for (int i = 0; i < width; i++) ref[m(a + i)] = (uint8_t)(v >> (8 * i));
        } else if (op == 1) {
            uint64_t want = 0;
            for (int i = 0; i < 8; i++) want |= (uint64_t)ref[m(a + i)] << (8 * i);
            ASSERT_EQ((uint64_t)peek8(a), want) << step;
            ASSERT_EQ(peek4(a), (int32_t)(uint32_t)want) << step;
            ASSERT_EQ(peek2(a), (int16_t)(uint16_t)want) << step;
        } else if (op == 2 || op == 3) {
            int64_t src = pick();
            int64_t n = (int64_t)(rng() % 9000) - 10;
            if (n > 0 && m(a) != m(src)) {
                std::vector<uint8_t> tmp(n);
                for (int64_t i = 0; i < n; i++) tmp[i] = ref[m(src + i)];
                for (int64_t i = 0; i < n; i++) ref[m(a + i)] = tmp[i];
            }
            q64_memcpy(a, src, n);
        } else if (op == 4) {
            int64_t n = (int64_t)(rng() % 9000) - 10;
            int64_t v = (int64_t)rng();
            for (int64_t i = 0; i < n; i++) ref[m(a + i)] = (uint8_t)v;
            q64_memset(a, v, n);
        } else {
            for (int i = 0; i < 64; i++) ASSERT_EQ(peek(a + i), ref[m(a + i)]) << step;
        }
    }
    for (int64_t a = 0; a < ADDRESS_SPACE_SIZE; a++) ASSERT_EQ(peek(a), ref[a]) << a;
}

}  // namespace
