// Process address space: the address rule, multi-byte access, bulk copies and fills,
// typed-array mappings and the audio owner's copy for the mixer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "audio/mudo.h"
#include "base/machine.h"
#include "gfx/sprites.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "test_support.h"
#include "userdata/userdata.h"

namespace {

using V = std::vector<int64_t>;
constexpr int64_t NIL = INT64_MIN;  // an argument passed as nil

// Bytes of the current process, or of another one.
V peeks(std::initializer_list<int64_t> addresses, process_record* rec = nullptr) {
    V out;
    for (int64_t a : addresses) out.push_back(rec ? peek_proc(rec, a) : peek(a));
    return out;
}
V mixer_bytes(std::initializer_list<int64_t> addresses) {
    V out;
    for (int64_t a : addresses) out.push_back(mixer_ram[a]);
    return out;
}

struct Memory : testing::Test {
    process_record* p = nullptr;

    void SetUp() override {
        processes_init();
        memset(&app, 0, sizeof(app));
        set_playing_channels(0);
        lock_level = 0;
        p = make("m");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
    }
    void TearDown() override {
        processes_init();
        set_playing_channels(0);
    }

    static process_record* make(const char* name) { return create_process_from_code("", name, name, ""); }

    // A typed array made as the typed-array module makes it: header, then zeroed data.
    userdata_header* new_array(uint8_t type, uint32_t w, uint32_t h) {
        size_t bytes = (w * h * ((size_t(1) << (type & 7)) >> 3) + 7) & ~size_t(7);
        auto* u = (userdata_header*)lua_newuserdatauv(p->L, sizeof(userdata_header) + bytes, 0);
        memset(u, 0, sizeof(userdata_header) + bytes);
        u->type = type;
        u->dimensions = h > 1 ? 2 : 1;
        u->width = w;
        u->height = h;
        return u;  // left on the stack
    }
    static uint8_t* data_of(userdata_header* u) { return (uint8_t*)u + sizeof(userdata_header); }

    // f(value at ud, args...) from C: its integer or boolean result, -1 for no result.
    int64_t call(lua_CFunction f, int ud, std::initializer_list<int64_t> args) {
        lua_State* L = p->L;
        int top = lua_gettop(L);
        ud = lua_absindex(L, ud);
        lua_pushcfunction(L, f);
        lua_pushvalue(L, ud);
        for (int64_t a : args) a == NIL ? lua_pushnil(L) : lua_pushinteger(L, a);
        EXPECT_EQ(lua_pcall(L, (int)args.size() + 1, LUA_MULTRET, 0), LUA_OK);
        int64_t r = lua_gettop(L) == top ? -1 : lua_isboolean(L, -1) ? lua_toboolean(L, -1) : lua_tointeger(L, -1);
        lua_settop(L, top);
        return r;
    }
    int64_t map(int ud, std::initializer_list<int64_t> args) { return call(lua54_map_ram, ud, args); }
    int64_t unmap(int ud, std::initializer_list<int64_t> args = {}) { return call(lua54_unmap_ram, ud, args); }
    // Per page: '1' where it points into a mapped array.
    std::string arrays(std::initializer_list<uint32_t> pages) {
        std::string s;
        for (uint32_t n : pages) s += (p->pages.userdata_map[n >> 6] >> (n & 63)) & 1 ? '1' : '0';
        return s;
    }
    V flags(std::initializer_list<uint32_t> pages) {
        V out;
        for (uint32_t n : pages) out.push_back(p->pages.flags[n]);
        return out;
    }
};

// ---- the address rule -------------------------------------------------------------------

TEST_F(Memory, FirstTouchAllocatesOncePerPageAndReadsCount) {
    int64_t before = p->page_bytes;
    EXPECT_EQ(before, 0x10000);  // the first 64 KB; the default audio data is shared, not owned
    EXPECT_EQ(peek(0x7FFFF), 0);
    EXPECT_EQ(p->page_bytes, before + 4096);
    EXPECT_EQ(p->pages.mapped[0x7F], 4096);
    EXPECT_EQ(p->pages.page[0x7F], page_owned(p->pages, 0x7F));
    EXPECT_EQ(peek(0x7F000), 0);
    EXPECT_EQ(p->page_bytes, before + 4096);
    poke(0xFFFF, 1);  // pages 0 to 15 exist from creation
    EXPECT_EQ(p->page_bytes, before + 4096);
    poke8(0x123456, -1);  // one new page
    EXPECT_EQ(p->page_bytes, before + 2 * 4096);
    // Reads leave the flags alone; writes set the whole byte.
    EXPECT_EQ(p->pages.flags[0x7F], 0);
    poke(0x7F001, 3);
    EXPECT_EQ(p->pages.flags[0x7F], 255);
}

// Values at random addresses are checked against a flat array at the end of this file; here
// the wrap at 2^24 and the marks of every page a multi-byte write touches.
TEST_F(Memory, MultiByteWritesWrapAndMarkEveryPageTheyTouch) {
    p->pages.flags[0] = 0;
    poke4(0xFFFFFE, 0x11223344);
    EXPECT_EQ(peeks({0xFFFFFE, 0xFFFFFF, 0, 1, 0x7FFFFFFFFFFFFFFF}), (V{0x44, 0x33, 0x22, 0x11, 0x33}));
    EXPECT_EQ(peek4(-2), 0x11223344);
    EXPECT_EQ(flags({4095, 0}), (V{255, 255}));
    p->pages.flags[0] = p->pages.flags[1] = 0;
    poke4(0xFFE, (int64_t)0xA1B2C3D4);
    EXPECT_EQ(peeks({0xFFE, 0xFFF, 0x1000, 0x1001}), (V{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(flags({0, 1}), (V{255, 255}));
    EXPECT_EQ(peek4(0xFFE), (int32_t)0xA1B2C3D4);  // sign-extended
}

TEST_F(Memory, ProcVariantsAndNoCurrentProcess) {
    process_record* q = make("q");
    poke_proc(q, 0x100, 0xAB);
    poke2_proc(q, 0x102, -2);
    EXPECT_EQ((V{peek_proc(q, 0x100), peek2_proc(q, 0x102), peek4_proc(q, 0x100)}), (V{0xAB, -2, (int32_t)0xFFFE00AB}));
    EXPECT_EQ(peek(0x100), 0);  // the current process is another one
    EXPECT_EQ((V{peek_proc(nullptr, 0), peek2_proc(nullptr, 0), peek4_proc(nullptr, 0)}), (V{0, 0, 0}));
    poke_proc(nullptr, 0, 1);
    cproc = nullptr;
    EXPECT_EQ(peek8(0), 0);
    poke(0, 1);
    EXPECT_EQ(q64_memset(0, 1, 10), 0);
    EXPECT_EQ(q64_memcpy(0, 10, 10), 0);
}

// ---- memcpy and memset --------------------------------------------------------------------

TEST_F(Memory, CopyCostsOneCyclePerEightBytesOfEachRun) {
    for (int i = 0; i < 8192; i++) poke(0x20000 + i, i * 7);
    EXPECT_EQ(q64_memcpy(0x30000, 0x20000, 4096), 33);  // one aligned page
    for (int i = 0; i < 4096; i += 97) EXPECT_EQ(peek(0x30000 + i), (uint8_t)(i * 7));
    EXPECT_EQ(p->pages.flags[0x30], 255);
    EXPECT_EQ(peek(0x31000), 0);
    // Runs stop at every stretch end: 4064 (32), 16 (1), 16 (1).
    EXPECT_EQ(q64_memcpy(0x40020, 0x20010, 4096), 34);
    for (int i = 0; i < 4096; i += 15) EXPECT_EQ(peek(0x40020 + i), (uint8_t)((i + 16) * 7));
    EXPECT_EQ(peeks({0x4101F, 0x41020}), (V{(uint8_t)((4095 + 16) * 7), 0}));
}

TEST_F(Memory, OverlappingCopiesBehaveAsThroughABufferInTheWrappingSpace) {
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
    // The source runs off the top of the space and on from 0, over the destination.
    for (int i = 0; i < 0x20; i++) poke(0xFFFFF0 + i, 0x40 + i);
    EXPECT_EQ(q64_memcpy(0x000005, 0xFFFFF0, 0x20), 4);
    for (int i = 0; i < 0x20; i++) EXPECT_EQ(peek(5 + i), 0x40 + i) << i;
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
    ASSERT_EQ(map(-1, {0x30000}), 100);
    EXPECT_EQ(q64_memcpy(0x40000, 0x30000, 200), 2);  // runs of 100 and 100
    EXPECT_EQ(peeks({0x40000, 0x40063, 0x40064}), (V{200, 200 + 99 % 50, 77}));
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
    EXPECT_EQ(peeks({0x20FF0, 0x2100F, 0x21010}), (V{0xFF, 0xFF, 0}));
    EXPECT_EQ(q64_memset(0xFFFFF8, 5, 16), 2);
    EXPECT_EQ(peeks({0xFFFFF8, 7, 8}), (V{5, 5, 0}));
    EXPECT_EQ(q64_memset(0x50000, 3, 4096), 33);
    EXPECT_EQ(q64_memset(0, 2, 0x2000000), 4096 * 33);  // longer than the space: filled once
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
    EXPECT_EQ(peeks({0x40000, 0x41FFF}, q), (V{11, 12}));
    EXPECT_EQ(q->pages.mapped[0x40], 4096);
    EXPECT_EQ(q->pages.flags[0x41], 255);
    // Untouched source pages 0x42 to 0x4F are skipped; both copied pages become q's own (page
    // 0x40 showed the shared default instrument).
    EXPECT_EQ(q->page_bytes, q_bytes + 2 * 4096);
    EXPECT_EQ(page_owned(q->pages, 0x42), nullptr);
    q64_pmemcpy_pages(p, q, 0xFFF000, 0x1000000);  // the last page of the space
    EXPECT_EQ(peek_proc(q, 0xFFF000), 13);
    q64_pmemcpy_pages(nullptr, q, 0, 0x10000);
    q64_pmemcpy_pages(p, nullptr, 0, 0x10000);
}

TEST_F(Memory, PageCopyWithShortArraysOnEitherSide) {
    // From a short array: the rest comes from the owned page, or zeros without one.
    process_record* q = make("q");
    userdata_header* u = new_array(3, 100, 1);
    for (int i = 0; i < 100; i++) data_of(u)[i] = 50;
    ASSERT_EQ(map(-1, {0x60000}), 100);
    EXPECT_EQ(page_owned(p->pages, 0x60), nullptr);
    q64_pmemcpy_pages(p, q, 0x60000, 0x61000);
    EXPECT_EQ(peeks({0x60000, 0x60063, 0x60064}, q), (V{50, 50, 0}));
    poke(0x60064, 44);  // now it has one
    q64_pmemcpy_pages(p, q, 0x60000, 0x61000);
    EXPECT_EQ(peeks({0x60064, 0x60FFF}, q), (V{44, 0}));

    // Into a short array: the mapping stays and the rest lands in the owned page.
    for (int i = 0; i < 4096; i++) poke(0x70000 + i, 1 + i % 200);
    userdata_header* w = new_array(3, 8, 1);  // 8 bytes in an 8-byte block
    ASSERT_EQ(map(-1, {0x70000}), 8);
    q64_pmemcpy_pages(p, q, 0x70000, 0x71000);  // q's page is its own
    EXPECT_EQ(peek_proc(q, 0x70008), 9);
    poke_proc(q, 0x70000, 99);
    poke_proc(q, 0x70007, 55);
    q64_pmemcpy_pages(q, p, 0x70000, 0x71000);
    EXPECT_EQ(p->pages.mapped[0x70], 8);
    EXPECT_EQ(arrays({0x70}), "1");
    EXPECT_EQ((V{data_of(w)[0], data_of(w)[7]}), (V{99, 55}));
    EXPECT_EQ(peeks({0x70008, 0x70FFF}), (V{9, 1 + 4095 % 200}));  // past the array: the owned page
}

// ---- mapping typed arrays -----------------------------------------------------------------

TEST_F(Memory, MappedPageReadsTheArrayThenTheOwnedPage) {
    poke(0x30000, 5);
    poke(0x30100, 6);
    userdata_header* u = new_array(3, 16, 16);
    data_of(u)[0] = 42;
    EXPECT_EQ(map(-1, {0x30000}), 256);
    EXPECT_EQ(p->pages.mapped[0x30], 256);
    EXPECT_EQ(p->pages.flags[0x30], 255);
    EXPECT_EQ(arrays({0x30}), "1");
    EXPECT_EQ(peeks({0x30000, 0x30100}), (V{42, 6}));  // byte 256: still the owned page
    poke(0x300FF, 7);
    EXPECT_EQ(data_of(u)[255], 7);
    poke(0x30101, 8);
    EXPECT_EQ(page_owned(p->pages, 0x30)[0x101], 8);
}

TEST_F(Memory, MapArgumentsAreCheckedAndOffsetAligned) {
    userdata_header* u = new_array(3, 300, 1);
    for (int i = 0; i < 300; i++) data_of(u)[i] = (uint8_t)i;
    EXPECT_EQ(map(-1, {0x30ABC, 6}), 296);  // offset 4; the address's low bits ignored
    EXPECT_EQ(p->pages.page[0x30], data_of(u) + 4);
    EXPECT_EQ(peek(0x30000), 4);
    EXPECT_EQ(map(-1, {0x31000, -4}), -1);
    EXPECT_EQ(map(-1, {0x31000, 300}), -1);
    EXPECT_EQ(map(-1, {0x31000, 0, 0}), 0);
    EXPECT_EQ(map(-1, {0x31000, 0, -5}), -5);
    lua_pop(p->L, 1);
    new_array(22, 10, 1);  // f64 arrays are refused
    EXPECT_EQ(map(-1, {0x32000}), -1);
    lua_pop(p->L, 1);

    // Not typed arrays: a table, a userdata too short for its header, a header claiming
    // more data than its block holds, an unknown type.
    lua_newtable(p->L);
    EXPECT_EQ(map(-1, {0x33000}), -1);
    lua_newuserdatauv(p->L, 8, 0);
    EXPECT_EQ(map(-1, {0x33000}), -1);
    new_array(3, 4, 1)->width = 100000;
    EXPECT_EQ(map(-1, {0x33000}), -1);
    new_array(3, 4, 1)->type = 7;
    EXPECT_EQ(map(-1, {0x33000}), -1);
    EXPECT_EQ(unmap(-1), -1);
    EXPECT_EQ(arrays({0x31, 0x32, 0x33}), "000");

    // Address given as a numeric string.
    userdata_header* big = new_array(3, 4096, 1);
    data_of(big)[1] = 17;
    lua_pushcfunction(p->L, lua54_map_ram);
    lua_pushvalue(p->L, -2);
    lua_pushstring(p->L, "0x34000");
    ASSERT_EQ(lua_pcall(p->L, 2, 1, 0), LUA_OK);
    EXPECT_EQ(lua_tointeger(p->L, -1), 4096);
    lua_pop(p->L, 1);
    EXPECT_EQ(peek(0x34001), 17);
}

TEST_F(Memory, LengthIsClampedToTheArray) {
    userdata_header* u = new_array(3, 100, 1);
    data_of(u)[99] = 3;
    EXPECT_EQ(map(-1, {0x50000, 0, 10000}), 100);
    EXPECT_EQ(p->pages.mapped[0x50], 100);
    EXPECT_EQ(arrays({0x50, 0x51, 0x52}), "100");
    EXPECT_EQ(peek(0x50063), 3);
    EXPECT_EQ(map(-1, {0x58000, 96, 500}), 4);
    EXPECT_EQ(p->pages.mapped[0x58], 4);
    EXPECT_EQ(peek(0x58003), 3);
}

TEST_F(Memory, SystemPagesAreMappedOnlyWhole) {
    poke(0x8000, 31);
    new_array(3, 100, 1);
    EXPECT_EQ(map(-1, {0x8000}), 100);
    EXPECT_EQ(arrays({8}), "0");
    EXPECT_EQ(peek(0x8000), 31);
    lua_pop(p->L, 1);
    poke(0xF000, 32);
    userdata_header* u = new_array(3, 6000, 1);
    data_of(u)[0] = 1;
    EXPECT_EQ(map(-1, {0xE000}), 6000);
    EXPECT_EQ(arrays({14, 15}), "10");  // page 15 has 1904 bytes: left as it was
    EXPECT_EQ(peeks({0xE000, 0xF000}), (V{1, 32}));
    lua_pop(p->L, 1);
    userdata_header* v = new_array(3, 6000, 1);
    data_of(v)[4096] = 2;
    EXPECT_EQ(map(-1, {0xF000}), 6000);  // page 15 whole, page 16 partial (not a system page)
    EXPECT_EQ(arrays({15, 16}), "11");
    EXPECT_EQ(p->pages.mapped[16], 6000 - 4096);
    EXPECT_EQ(peek(0x10000), 2);
}

TEST_F(Memory, MappingStopsAtTheLastPage) {
    userdata_header* u = new_array(3, 8192, 1);
    data_of(u)[4095] = 6;
    poke(0, 4);
    EXPECT_EQ(map(-1, {0xFFF000}), 8192);
    EXPECT_EQ(arrays({4095, 0}), "10");
    EXPECT_EQ(peeks({0xFFFFFF, 0}), (V{6, 4}));
    // A negative address is masked like any other.
    lua_pop(p->L, 1);
    userdata_header* v = new_array(3, 16, 1);
    data_of(v)[0] = 8;
    EXPECT_EQ(map(-1, {-0x2000}), 16);
    EXPECT_EQ(arrays({0xFFE}), "1");
    EXPECT_EQ(peek(0xFFE000), 8);
}

TEST_F(Memory, UnmapRestoresTheOwnedBytes) {
    poke(0x30010, 99);
    userdata_header* u = new_array(3, 16, 16);
    data_of(u)[0x10] = 1;
    ASSERT_EQ(map(-1, {0x30000}), 256);
    EXPECT_EQ(peek(0x30010), 1);
    int32_t cycles = cpu_cycles;
    EXPECT_EQ(unmap(-1), 1);
    EXPECT_EQ(cpu_cycles, cycles + 4);
    EXPECT_EQ(arrays({0x30}), "0");
    EXPECT_EQ(p->pages.mapped[0x30], 0);
    EXPECT_EQ(p->pages.page[0x30], page_owned(p->pages, 0x30));
    EXPECT_EQ(p->pages.flags[0x30], 255);
    EXPECT_EQ(peek(0x30010), 99);
    // A page unmapped before it was ever touched reads zeros.
    ASSERT_EQ(map(-1, {0x90000}), 256);
    EXPECT_EQ(unmap(-1), 1);
    EXPECT_EQ(peek(0x90010), 0);
    EXPECT_EQ(p->pages.mapped[0x90], 4096);
}

TEST_F(Memory, UnmapReachesEveryPageOfALongArray) {
    // Four pages, the last holding 100 bytes; unmapped by every address, by the array's
    // exact range, and by its start with the default length.
    const int64_t size = 3 * 4096 + 100;
    const std::function<int64_t()> ways[] = {[&] { return unmap(-1); }, [&] { return unmap(-1, {0x30000, size}); },
                                             [&] { return unmap(-1, {0x30000}); }};
    for (size_t w = 0; w < std::size(ways); w++) {
        poke(0x33010, 7);
        userdata_header* u = new_array(3, uint32_t(size), 1);
        data_of(u)[size - 1] = 9;
        ASSERT_EQ(map(-1, {0x30000}), size);
        EXPECT_EQ(arrays({0x30, 0x31, 0x32, 0x33}), "1111");
        EXPECT_EQ(peek(0x33063), 9);
        EXPECT_EQ(ways[w](), 1) << w;
        EXPECT_EQ(arrays({0x30, 0x31, 0x32, 0x33}), "0000") << w;
        EXPECT_EQ(peeks({0x33010, 0x33063}), (V{7, 0})) << w;
        lua_pop(p->L, 1);
    }
}

TEST_F(Memory, UnmapByAddressRangeLeavesOtherArraysAlone) {
    new_array(3, 8192, 1);
    ASSERT_EQ(map(-1, {0x30000}), 8192);
    ASSERT_EQ(map(-1, {0x50000}), 8192);
    EXPECT_EQ(unmap(-1, {0x31000, 8192}), 0);  // pages 0x31 and 0x32: only 0x31 is the array's
    EXPECT_EQ(arrays({0x30, 0x31, 0x50}), "101");
    // Every address, but only pages pointing into the array's first 4096 bytes.
    EXPECT_EQ(unmap(-1, {-1, 4096}), 0);
    EXPECT_EQ(arrays({0x30, 0x50, 0x51}), "001");
    EXPECT_EQ(unmap(-1), 1);
    EXPECT_EQ(arrays({0x51}), "0");

    new_array(3, 4096, 1);
    int a = lua_gettop(p->L);
    new_array(3, 4096, 1);
    ASSERT_EQ(map(a, {0x30000}), 4096);
    ASSERT_EQ(map(-1, {0x31000}), 4096);
    EXPECT_EQ(unmap(a, {-1, 1 << 30}), 1);  // an oversized length reaches no other array
    EXPECT_EQ(arrays({0x30, 0x31}), "01");
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
};

TEST_F(MemoryHeld, AMappedArrayLivesUntilUnmappedOrReplaced) {
    userdata_header* u = weak_array(1, 3, 64, 1);
    data_of(u)[3] = 21;
    ASSERT_EQ(map(-1, {0x30000}), 64);
    lua_pop(p->L, 1);
    EXPECT_TRUE(alive(1));
    EXPECT_EQ(peek(0x30003), 21);
    lua_rawgeti(p->L, weak, 1);
    EXPECT_EQ(unmap(-1), 1);
    lua_pop(p->L, 1);
    EXPECT_FALSE(alive(1));

    weak_array(2, 3, 64, 1);
    ASSERT_EQ(map(-1, {0x30000}), 64);
    lua_pop(p->L, 1);
    weak_array(3, 3, 8192, 1);
    ASSERT_EQ(map(-1, {0x30000}), 8192);
    ASSERT_EQ(map(-1, {0x60000}), 8192);
    lua_pop(p->L, 1);
    EXPECT_FALSE(alive(2));
    EXPECT_TRUE(alive(3));
    lua_rawgeti(p->L, weak, 3);
    EXPECT_EQ(unmap(-1, {0x30000, 8192}), 0);  // still mapped at 0x60000
    lua_pop(p->L, 1);
    EXPECT_TRUE(alive(3));
}

TEST_F(MemoryHeld, AnArrayIsLetGoWhenItsLastPageIsTaken) {
    weak_array(1, 3, 3 * 4096, 1);
    ASSERT_EQ(map(-1, {0x30000}), 3 * 4096);
    ASSERT_EQ(map(-1, {0x30000}), 3 * 4096);  // mapped again over itself: still three pages
    lua_pop(p->L, 1);
    // Pages taken one at a time by other arrays; the first array lives until the last goes.
    for (int page = 0; page < 3; page++) {
        EXPECT_TRUE(alive(1)) << page;
        weak_array(2 + page, 3, 4096, 1);
        ASSERT_EQ(map(-1, {0x30000 + page * 4096}), 4096);
        lua_pop(p->L, 1);
    }
    EXPECT_FALSE(alive(1));
    EXPECT_TRUE(alive(2) && alive(3) && alive(4));
    // Unmapping by address touches only its range; the array's other mapping keeps it.
    lua_rawgeti(p->L, weak, 3);
    ASSERT_EQ(map(-1, {0x50000}), 4096);
    EXPECT_EQ(unmap(-1, {0x31000, 4096}), 0);
    EXPECT_EQ(arrays({0x31, 0x50}), "01");
    EXPECT_EQ(unmap(-1, {0x50000, 4096}), 1);
    lua_pop(p->L, 1);
    EXPECT_FALSE(alive(3));
}

TEST_F(MemoryHeld, TheMapArrayLivesWhileItIsTheMap) {
    userdata_header* m = weak_array(1, 12, 8, 8);
    ASSERT_EQ(map(-1, {0x100000}), 128);
    EXPECT_EQ(p->map_userdata, m);
    EXPECT_EQ(unmap(-1), 1);
    lua_pop(p->L, 1);
    EXPECT_TRUE(alive(1));  // mget still reads it
    weak_array(2, 3, 8, 8);
    ASSERT_EQ(map(-1, {0x100000, -4}), -1);  // refused, but the map array is given up
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
    // A bracket that must be granted.
    void bracket(int64_t id, int force) {
        ASSERT_EQ(audio_op_start(id, force), 0);
        EXPECT_EQ(lock_level, 1);
        audio_op_end();
        EXPECT_EQ(lock_level, 0);
    }
};

TEST_F(MemoryAudio, FirstCopyTakesEveryPageThenOnlyWrittenOnes) {
    poke(0x40010, 0x5A);
    poke(0x50000, 1);
    mixer_ram[0x700000] = 9;  // stale bytes of an untouched page
    bracket(1, 1);
    EXPECT_EQ(app.audio_owner, 1);
    EXPECT_EQ(app.audio_mirror_id, 1);
    EXPECT_EQ(mixer_bytes({0x40010, 0x700000}), (V{0x5A, 0}));
    EXPECT_EQ(flags({0x40, 0x50, 0x70}), (V{254, 254, 0}));
    EXPECT_EQ(page_owned(p->pages, 0x70), nullptr);  // the copy allocates nothing

    mixer_ram[0x50000] = 77;  // not written since: must stay as it is
    poke(0x40011, 3);
    bracket(0, 1);
    EXPECT_EQ(mixer_bytes({0x40011, 0x50000}), (V{3, 77}));
    EXPECT_EQ(p->pages.flags[0x40], 254);

    // Without force and with the same owner nothing is copied.
    poke(0x40012, 4);
    bracket(0, 0);
    EXPECT_EQ(mixer_ram[0x40012], 0);
    EXPECT_EQ(p->pages.flags[0x40], 255);
}

TEST_F(MemoryAudio, TheCopyVisitsOnlyThePagesListedAsWritten) {
    bracket(1, 1);
    EXPECT_EQ(p->pages.written_count, 0);
    peek(0x60000);  // a read allocates the page but does not mark it
    poke(0x40010, 1);
    poke2(0x41FFF, 0x0302);  // across two pages
    poke(0x40020, 2);        // a page already listed is listed once
    memset(page_owned(p->pages, 0x60), 99, 16);  // changed without the kernel's knowledge
    EXPECT_EQ(p->pages.written_count, 3);
    EXPECT_EQ(std::vector<uint16_t>(p->pages.written, p->pages.written + 3), (std::vector<uint16_t>{0x40, 0x41, 0x42}));
    bracket(0, 1);
    EXPECT_EQ(mixer_bytes({0x40010, 0x40020, 0x41FFF, 0x42000, 0x60005}), (V{1, 2, 2, 3, 0}));
    EXPECT_EQ(p->pages.written_count, 0);
    EXPECT_EQ(flags({0x40, 0x41, 0x42}), (V{254, 254, 254}));
}

TEST_F(MemoryAudio, TheWrittenListGrowsAndWhenItCannotEveryMarkedPageIsCopied) {
    bracket(1, 1);
    for (uint32_t page = 0x100; page < 0x100 + 600; page++) poke(page * 4096 + 1, page & 0x7F);
    EXPECT_EQ(p->pages.written_count, 600);
    bracket(0, 1);
    for (uint32_t page = 0x100; page < 0x100 + 600; page++) ASSERT_EQ(mixer_ram[page * 4096 + 1], page & 0x7F) << page;
    EXPECT_EQ(p->pages.written_count, 0);
    // As after a failed growth: the pages written meanwhile are not all listed.
    poke(0x500001, 7);
    poke(0x600001, 8);
    p->pages.written_count = 1;
    p->pages.written_all = 1;
    bracket(0, 1);
    EXPECT_EQ(mixer_bytes({0x500001, 0x600001}), (V{7, 8}));
    EXPECT_EQ(flags({0x500, 0x600}), (V{254, 254}));
    EXPECT_EQ(p->pages.written_all, 0);
}

TEST_F(Memory, ARecycledRecordStartsWithNothingOfTheLastProcess) {
    lua_State* L = p->L;
    userdata_header* u = new_array(UTYPE_U8, 64, 64);
    lua_pushcfunction(L, lua54_set_spr);
    lua_pushinteger(L, 5);
    lua_pushvalue(L, -3);
    ASSERT_EQ(lua_pcall(L, 2, 0, 0), LUA_OK);
    EXPECT_EQ(sprite_slot(p, 5), u);
    EXPECT_EQ(map(-1, {0x80000}), 4096);
    lua_pop(L, 1);
    for (uint32_t page = 0x100; page < 0x400; page++) poke(page * 4096, 1);
    poke(0x1234, 9);
    send_process_message_string(p, "hello");
    process_record* old = p;
    kill_process(p);
    p = make("again");
    ASSERT_EQ(p, old);  // the same place in the pool
    set_current_process(p);
    process_record* fresh = make("fresh");
    EXPECT_EQ(sprite_slot(p, 5), nullptr);
    EXPECT_EQ(page_array(p->pages, 0x80), nullptr);
    EXPECT_EQ(arrays({0x80}), "0");
    EXPECT_EQ(p->page_bytes, fresh->page_bytes);
    EXPECT_EQ(p->pages.written_count, fresh->pages.written_count);
    EXPECT_EQ(peeks({0x1234, 0x80000, 0x100000, 0x3FF000}), (V{0, 0, 0, 0}));
    EXPECT_EQ(read_process_message(p, nullptr), nullptr);
}

TEST_F(MemoryAudio, DefaultAudioDataIsSharedUntilEachProcessWritesIt) {
    process_record* q = make("q");
    const uint32_t wave = 0xF80000, instrument = ADDR_AUDIO_DATA;
    const int64_t wave_byte = peek(wave + 7), instrument_byte = peek(instrument + 1);
    EXPECT_EQ(instrument_byte, 1);
    EXPECT_TRUE(page_is_shared(q, wave >> 12));
    EXPECT_EQ(q->pages.page[wave >> 12], p->pages.page[wave >> 12]);
    EXPECT_EQ(q->page_bytes, 0x10000);
    bracket(1, 1);  // the written list starts empty

    // Each kind of write makes the page the writer's own, and lists it as written.
    const int64_t bytes = p->page_bytes;
    poke(wave + 7, wave_byte ^ 0xFF);
    q64_memset(0xF90000, 0x11, 8);
    q64_memcpy(0xFA0000, 0xF90000, 8);
    uint8_t text[2] = {0x22, 0x23};
    poke_block(instrument + 1, text, 2);
    EXPECT_EQ(p->page_bytes, bytes + 4 * 4096);
    EXPECT_EQ(p->pages.written_count, 4);
    EXPECT_FALSE(page_is_shared(p, wave >> 12));
    EXPECT_EQ(peeks({wave + 7, wave + 8, 0xFA0007, instrument + 1, instrument}),
              (V{wave_byte ^ 0xFF, peek_proc(q, wave + 8), 0x11, 0x22, 0}));
    EXPECT_EQ(peeks({wave + 7, 0xFA0000, instrument + 1}, q), (V{wave_byte, peek_proc(q, 0xFA0000), instrument_byte}));
    EXPECT_NE(peek_proc(q, 0xFA0000), 0x11);
    EXPECT_EQ(q->page_bytes, 0x10000);

    // A later process takes the first one's pages as they stand.
    process_record* r = make("r");
    EXPECT_EQ(peeks({wave + 7, 0xF80008}, r), (V{wave_byte ^ 0xFF, peek_proc(q, 0xF80008)}));
    EXPECT_TRUE(page_is_shared(r, 0xFB0));

    // The mixer plays each owner's own bytes.
    bracket(1, 1);
    EXPECT_EQ(mixer_bytes({wave + 7, instrument + 1}), (V{wave_byte ^ 0xFF, 0x22}));
    bracket(q->id, 1);
    EXPECT_EQ(mixer_bytes({wave + 7, instrument + 1, 0xFFFFFF}), (V{wave_byte, instrument_byte, peek_proc(q, 0xFFFFFF)}));

    // An array mapped over a shared page hides it; unmapped, the defaults read again.
    set_current_process(q);
    p = q;
    userdata_header* u = new_array(3, 4096, 1);
    ASSERT_EQ(map(-1, {0xFC0000}), 4096);
    EXPECT_EQ(peek(0xFC0005), 0);
    const int64_t defaults = peek_proc(r, 0xFC0005);
    EXPECT_EQ(unmap(-1), 1);
    EXPECT_EQ(peek(0xFC0005), defaults);
    (void)u;
}

TEST_F(MemoryAudio, ClearingTheMirrorLeavesEveryByteZero) {
    // Both ends, a page edge and the middle, then a new owner's copy and a boot's clear.
    for (uint32_t a : {0u, 1u, 0xFFFu, 0x1000u, 0x7FFFFFu, ADDRESS_SPACE_SIZE - 1}) mixer_ram[a] = 0xA5;
    bracket(1, 1);
    EXPECT_EQ(mixer_bytes({0x7FFFFF, ADDRESS_SPACE_SIZE - 1}), (V{0, peek(ADDRESS_SPACE_SIZE - 1)}));
    memset(mixer_ram, 0x5A, ADDRESS_SPACE_SIZE);
    mudo_clear_for_boot();
    size_t nonzero = 0;
    for (uint32_t a = 0; a < ADDRESS_SPACE_SIZE; a++) nonzero += mixer_ram[a] != 0;
    EXPECT_EQ(nonzero, 0u);
}

TEST_F(MemoryAudio, MappedPagesCopyTheArrayThenTheOwnedPage) {
    userdata_header* u = new_array(3, 100, 1);
    memset(data_of(u), 0x33, 100);
    ASSERT_EQ(map(-1, {0x60000}), 100);
    memset(mixer_ram + 0x60000, 0xEE, 4096);
    bracket(1, 1);
    EXPECT_EQ(mixer_bytes({0x60000, 0x60063, 0x60064, 0x60FFF}), (V{0x33, 0x33, 0, 0}));  // no owned page: zeros
    poke(0x60064, 5);
    bracket(1, 1);
    EXPECT_EQ(mixer_ram[0x60064], 5);
}

TEST_F(MemoryAudio, AGoneOwnerClearsTheMixerOnce) {
    app.audio_owner = 77;
    mixer_ram[5] = 1;
    mixer_ram[0xFFFFFF] = 1;
    EXPECT_EQ(audio_op_start(0, 1), 1);
    EXPECT_EQ(lock_level, 0);
    EXPECT_EQ(app.audio_owner, -2);
    EXPECT_EQ(mixer_bytes({5, 0xFFFFFF}), (V{0, 0}));
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
    app.audio_owner = app.audio_mirror_id = 4;
    set_playing_channels(1);
    EXPECT_EQ(audio_op_start(5, 1), 1);  // owner plays with a higher priority
    EXPECT_EQ(lock_level, 0);
    EXPECT_EQ(app.audio_owner, 4);

    set_playing_channels(0);  // silence: anyone may claim
    bracket(5, 1);
    EXPECT_EQ(app.audio_owner, 5);
    EXPECT_EQ(app.audio_mirror_id, 5);
    set_playing_channels(0x8000);
    p4->audio_priority = 1;  // equal priority: the claimant wins
    bracket(4, 1);
    EXPECT_EQ(app.audio_owner, 4);
    p4->audio_priority = 9;
    bracket(2, 1);  // ids 1 to 3 always take over
    EXPECT_EQ(app.audio_owner, 2);
    bracket(0, 1);  // id 0 changes nothing
    EXPECT_EQ(app.audio_owner, 2);
}

// ---- against a plain 16 MB array -----------------------------------------------------------

TEST_F(Memory, RandomAccessMatchesAFlatReference) {
    std::vector<uint8_t> ref(ADDRESS_SPACE_SIZE, 0);
    for (int64_t a = ADDR_AUDIO_DATA; a < ADDR_AUDIO_DATA + 0x1000; a++) ref[a] = peek(a);  // default audio data
    for (int64_t a = ADDR_WAVE_TABLES; a < ADDRESS_SPACE_SIZE; a++) ref[a] = peek(a);
    // Pages 0x200 to 0x202 are an array (the last one only in part): the same bytes.
    new_array(3, 10000, 1);
    ASSERT_EQ(map(-1, {0x200000}), 10000);
    std::mt19937_64 rng(12345);
    auto pick = [&]() -> int64_t {
        static const int64_t centres[] = {0, 0x1000, 0x200000, 0x201800, 0xFFF000, 0x123456, 0x202710};
        return centres[rng() % 7] + (int64_t)(rng() % 0x3000) - 0x1800;  // may be negative or past the top
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
