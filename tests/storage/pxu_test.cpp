// pxu blocks: byte-exact blocks for small arrays, the palette's move-to-front and escapes,
// sizes, the old header, refusals and random round trips.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/pbuffer.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/pxu.h"
#include "userdata/userdata.h"

namespace {

using bytes = std::vector<uint8_t>;

struct Pxu : testing::Test {
    lua_State* L = nullptr;
    void SetUp() override { L = luaL_newstate(); }
    void TearDown() override { lua_close(L); }

    userdata_header* make(int code, int dims, int w, int h, const std::vector<int64_t>& values) {
        userdata_header* u = create_userdata_of_type(L, code, dims, w, h);
        EXPECT_NE(u, nullptr);
        int size = userdata_element_size(code);
        for (size_t i = 0; i < values.size(); i++) memcpy(userdata_data(u) + i * size, &values[i], size_t(size));
        return u;
    }

    static bytes write(const userdata_header* u, int bits, int mode) {
        pbuffer* b = create_buffer_2(16, 0);
        bappend_str(b, "#");  // something already there: the block goes after it
        int64_t n = write_binary_pxu(u, b, bits, mode);
        bytes out(b->data + 1, b->data + b->length);
        EXPECT_EQ(n, int64_t(out.size()));
        destroy_buffer(b);
        return out;
    }

    // Reads a block from a heap copy of exactly its size; the array or null.
    userdata_header* read(const bytes& block, size_t* used = nullptr) {
        char* copy = new char[block.size() ? block.size() : 1];
        if (!block.empty()) memcpy(copy, block.data(), block.size());
        int top = lua_gettop(L);
        const char* end = get_binary_pxu(L, copy, copy + block.size());
        userdata_header* u = nullptr;
        if (end) {
            EXPECT_EQ(lua_gettop(L), top + 1);
            u = to_userdata(L, -1);
            if (used) *used = size_t(end - copy);
        } else {
            EXPECT_EQ(lua_gettop(L), top);
        }
        delete[] copy;
        return u;
    }

    static bytes concat(bytes a, const bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    static bytes header(std::initializer_list<int> rest) {
        bytes b = {'p', 'x', 'u', 0};
        for (int v : rest) b.push_back(uint8_t(v));
        return b;
    }
};

std::vector<int64_t> runs(std::initializer_list<std::pair<int, int64_t>> parts) {
    std::vector<int64_t> out;
    for (auto [count, value] : parts) out.insert(out.end(), size_t(count), value);
    return out;
}

TEST_F(Pxu, ExactBlocksReadBack) {
    struct block_case {
        const char* what;
        int code, dims, w, h;
        std::vector<int64_t> values;
        int bits, mode;
        bytes want;
        bool reads_back = true;
    };
    const block_case cases[] = {
        {"solid image in palette mode", UTYPE_U8, 2, 16, 16, runs({{256, 7}}), 4, PXU_MODE_PALETTE,
         header({0x43, 0x20, 16, 16, 4, 0xF7, 240})},
        // 20 is in no used slot: escape and the byte; it then lives in slot 14 (last used
        // position of the order); 3 comes from slot 3 and moves to the front.
        {"escape then slot number", UTYPE_U8, 1, 4, 1, {20, 20, 3, 20}, 4, PXU_MODE_PALETTE,
         header({0x03, 0x20, 4, 4, 0x1F, 20, 0x03, 0x0E})},
        // b = 2: slots 0..2, escape 3. After 1, 0, 2 the order is 2, 0, 1, so the escaped 9
        // replaces slot 1; the next 9 is then found in slot 1.
        {"escape replaces the last used position", UTYPE_U8, 1, 6, 1, {1, 0, 2, 9, 2, 9}, 2, PXU_MODE_PALETTE,
         header({0x03, 0x20, 6, 2, 0x01, 0x00, 0x02, 0x03, 9, 0x02, 0x01})},
        // b = 4: the length field holds up to 15; a full field is followed by extension
        // bytes. Width 302 needs 32-bit sizes.
        {"palette run extensions", UTYPE_U8, 1, 302, 1, runs({{15, 1}, {16, 2}, {271, 1}}), 4, PXU_MODE_PALETTE,
         header({0x03, 0x28, 0x2E, 0x01, 0, 0, 4, 0xE1, 0xF2, 0, 0xF1, 255, 0})},
        {"wide", UTYPE_U8, 1, 300, 1, {}, 4, PXU_MODE_RAW, concat(header({0x03, 0x18, 0x2C, 0x01, 0, 0}), bytes(300))},
        {"tall", UTYPE_U8, 2, 2, 300, {}, 4, PXU_MODE_RAW,
         concat(header({0x43, 0x18, 2, 0, 0, 0, 0x2C, 0x01, 0, 0}), bytes(600))},
        {"raw mode copies bytes", UTYPE_U8, 2, 2, 2, {9, 8, 7, 6}, 4, PXU_MODE_RAW,
         header({0x43, 0x10, 2, 2, 9, 8, 7, 6})},
        {"i16 run", UTYPE_I16, 1, 256, 1, runs({{256, -1}}), 4, PXU_MODE_RLE,
         header({0x0C, 0x88, 0, 1, 0, 0, 0, 255, 0xFF, 0xFF, 0})},
        {"i16 runs", UTYPE_I16, 2, 3, 1, {1, 1, 0x1234}, 4, PXU_MODE_RLE,
         header({0x4C, 0x80, 3, 1, 0, 1, 1, 0, 0, 0x34, 0x12})},
        {"u8 runs", UTYPE_U8, 1, 3, 1, {5, 5, 6}, 4, PXU_MODE_RLE, header({0x03, 0x80, 3, 0, 1, 5, 0, 6})},
        // Other element types carry no data in this mode.
        {"i32 runs", UTYPE_I32, 1, 2, 1, {1, 2}, 4, PXU_MODE_RLE, header({0x0D, 0x80, 2, 0}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        userdata_header* u = make(c.code, c.dims, c.w, c.h, c.values);
        bytes block = write(u, c.bits, c.mode);
        EXPECT_EQ(block, c.want);
        if (!c.reads_back) continue;
        size_t used = 0;
        userdata_header* back = read(block, &used);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(used, block.size());
        EXPECT_EQ(back->type, u->type);
        EXPECT_EQ(back->dimensions, c.dims);
        EXPECT_EQ(back->width, u->width);
        EXPECT_EQ(back->height, u->height);
        EXPECT_EQ(memcmp(userdata_data(back), userdata_data(u), size_t(userdata_bytes(u))), 0);
    }
}

TEST_F(Pxu, SizesAroundTheOneByteLimitReadBack) {
    // Sizes are single bytes only while width | height stays below 256.
    struct { int dims, w, h; } shapes[] = {{1, 255, 1},   {1, 256, 1},   {1, 257, 1},
                                           {2, 255, 255}, {2, 256, 256}, {2, 257, 3}};
    for (auto [dims, w, h] : shapes) {
        for (auto [code, mode] : {std::pair{UTYPE_U8, PXU_MODE_RAW}, {UTYPE_U8, PXU_MODE_PALETTE},
                                  {UTYPE_U8, PXU_MODE_RLE}, {UTYPE_I16, PXU_MODE_RLE}}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h << " type " << code << " mode " << mode);
            std::vector<int64_t> values(size_t(w) * size_t(h));
            for (size_t i = 0; i < values.size(); i++) values[i] = int64_t(i / 3 % 17 + (i % 50 == 0 ? 100 : 0));
            userdata_header* u = make(code, dims, w, h, values);
            bytes block = write(u, 4, mode);
            bool wide = (w | h) >= 256;
            ASSERT_GT(block.size(), 14u);
            EXPECT_EQ(block[5] & PXU_WIDE_SIZES, wide ? PXU_WIDE_SIZES : 0);
            EXPECT_EQ(block[6], uint8_t(w));
            if (wide) {
                EXPECT_EQ(block[7], uint8_t(w >> 8));
            }
            userdata_header* back = read(block);
            ASSERT_NE(back, nullptr);
            EXPECT_EQ(back->dimensions, dims);
            EXPECT_EQ(back->width, u->width);
            EXPECT_EQ(back->height, u->height);
            EXPECT_EQ(memcmp(userdata_data(back), userdata_data(u), size_t(userdata_bytes(u))), 0);
            lua_settop(L, 0);
        }
    }
}

TEST_F(Pxu, BitsAreClampedToOneToSixAndUnknownModesAreNotWritten) {
    userdata_header* u = make(UTYPE_U8, 1, 2, 1, {0, 0});
    bytes seven = write(u, 7, PXU_MODE_PALETTE);
    EXPECT_EQ(seven[7], 6);
    EXPECT_NE(read(seven), nullptr);
    EXPECT_EQ(write(u, 0, PXU_MODE_PALETTE)[7], 1);
    EXPECT_EQ(write(u, -3, PXU_MODE_PALETTE)[7], 1);
    // Unknown modes and no array write nothing.
    pbuffer* b = create_buffer_2(16, 0);
    EXPECT_EQ(write_binary_pxu(u, b, 4, 0x40), 0);
    EXPECT_EQ(write_binary_pxu(u, b, 4, 0), 0);
    EXPECT_EQ(write_binary_pxu(nullptr, b, 4, PXU_MODE_RAW), 0);
    EXPECT_EQ(b->length, 0);
    destroy_buffer(b);
}

TEST_F(Pxu, ReaderRefusals) {
    const bytes refused[] = {
        header({0x03, 0x20, 2, 0, 0x10}), header({0x03, 0x20, 2, 7, 0x10}),  // palette widths 0 and 7 or more
        header({0x03, 0x20, 2, 200, 0x10}),
        header({0x03, 0x40, 2, 0, 0}), header({0x03, 0x30, 2, 0, 0}),  // unknown modes and three dimensions
        header({0x83, 0x10, 1, 1, 1, 0}),
        header({0x03, 0x10, 0}), header({0x03, 0x18, 0xFF, 0xFF, 0xFF, 0xFF}),  // sizes no array can have
        bytes{'p', 'x', 'v', 0, 3, 0x10, 1, 0},                                 // not a block at all
    };
    for (const auto& b : refused) EXPECT_EQ(read(b), nullptr) << testing::PrintToString(b);
    size_t used = 0;
    ASSERT_NE(read(header({0x03, 0x20, 2, 1, 0x02}), &used), nullptr);  // b = 1: run of 2 in slot 0
    EXPECT_EQ(used, 9u);
}

TEST_F(Pxu, EveryCutShortBlockIsRefused) {
    userdata_header* u = make(UTYPE_U8, 2, 16, 3, {});
    for (int i = 0; i < 48; i++) userdata_data(u)[i] = uint8_t(i % 5 == 0 ? 200 + i : i / 4);
    userdata_header* v = make(UTYPE_I16, 1, 400, 1, {});
    for (int i = 0; i < 400; i++) reinterpret_cast<int16_t*>(userdata_data(v))[i] = int16_t(i / 50);
    for (auto [array, mode] :
         {std::pair{u, PXU_MODE_PALETTE}, {u, PXU_MODE_RAW}, {u, PXU_MODE_RLE}, {v, PXU_MODE_RLE}}) {
        bytes block = write(array, 4, mode);
        ASSERT_NE(read(block), nullptr);
        lua_pop(L, 1);
        for (size_t n = 0; n < block.size(); n++)
            EXPECT_EQ(read(bytes(block.begin(), block.begin() + long(n))), nullptr) << mode << " " << n;
    }
}

TEST_F(Pxu, RunsAreClippedAtTheArrayEnd) {
    size_t used = 0;
    // 0xF7 + 240: a run of 256 for an array of 4
    userdata_header* u = read(header({0x03, 0x20, 4, 4, 0xF7, 240, 'x'}), &used);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(used, 10u);
    for (int i = 0; i < 4; i++) EXPECT_EQ(userdata_data(u)[i], 7);
    userdata_header* v = read(header({0x0C, 0x80, 2, 0, 9, 0x01, 0x00}), &used);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(reinterpret_cast<int16_t*>(userdata_data(v))[1], 1);
}

TEST_F(Pxu, OldHeaderIsRead) {
    bytes block = {'p', 'x', 'u', 0, 2, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD, 3, 4, (3 << 4) | 5};
    size_t used = 0;
    userdata_header* u = read(block, &used);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(used, block.size());
    EXPECT_EQ(u->dimensions, 2);
    EXPECT_EQ(u->width, 2u);
    EXPECT_EQ(u->height, 2u);
    EXPECT_EQ(u->type, UTYPE_U8);
    for (int i = 0; i < 4; i++) EXPECT_EQ(userdata_data(u)[i], 5);
    EXPECT_EQ(read(bytes(block.begin(), block.end() - 1)), nullptr);
}

TEST_F(Pxu, RandomRoundTrips) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; round++) {
        lua_settop(L, 0);
        int w = 1 + int(rng() % 40), h = 1 + int(rng() % 9);
        int dims = h > 1 || rng() % 2 ? 2 : 1;
        if (dims == 1) h = 1;
        if (rng() % 10 == 0) w = 250 + int(rng() % 300);
        bool i16 = rng() % 3 == 0;
        userdata_header* u = make(i16 ? UTYPE_I16 : UTYPE_U8, dims, w, h, {});
        int64_t count = int64_t(w) * h;
        int span = 1 + int(rng() % 300);
        for (int64_t i = 0; i < count;) {
            int run = 1 + int(rng() % (rng() % 4 == 0 ? 600 : 4));
            int64_t value = int64_t(rng() % uint32_t(span));
            for (int k = 0; k < run && i < count; k++, i++) {
                if (i16) reinterpret_cast<int16_t*>(userdata_data(u))[i] = int16_t(value * 211);
                else userdata_data(u)[i] = uint8_t(value);
            }
        }
        int mode = i16 ? PXU_MODE_RLE : std::vector<int>{PXU_MODE_RAW, PXU_MODE_PALETTE, PXU_MODE_RLE}[rng() % 3];
        int bits = 1 + int(rng() % 6);
        bytes block = write(u, bits, mode);
        block.push_back('!');  // text after the block stays unread
        size_t used = 0;
        userdata_header* back = read(block, &used);
        ASSERT_NE(back, nullptr) << round;
        EXPECT_EQ(used, block.size() - 1);
        EXPECT_EQ(back->type, u->type);
        EXPECT_EQ(back->dimensions, dims);
        EXPECT_EQ(back->width, u->width);
        EXPECT_EQ(back->height, u->height);
        EXPECT_EQ(memcmp(userdata_data(back), userdata_data(u), size_t(userdata_bytes(u))), 0) << round;
    }
}

TEST_F(Pxu, MutatedBlocksNeverReadOutside) {
    std::mt19937 rng(5);
    userdata_header* u = make(UTYPE_U8, 2, 20, 20, {});
    for (int i = 0; i < 400; i++) userdata_data(u)[i] = uint8_t(rng() % 3 == 0 ? rng() : i / 30);
    userdata_header* v = make(UTYPE_I16, 2, 20, 5, {});
    for (int i = 0; i < 100; i++) reinterpret_cast<int16_t*>(userdata_data(v))[i] = int16_t(i / 7);
    std::vector<bytes> seeds = {write(u, 4, PXU_MODE_PALETTE), write(u, 2, PXU_MODE_PALETTE), write(u, 4, PXU_MODE_RAW),
                                write(v, 4, PXU_MODE_RLE)};
    for (int round = 0; round < 20000; round++) {
        bytes b = seeds[rng() % seeds.size()];
        int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; e++) {
            size_t at = rng() % b.size();
            switch (rng() % 3) {
            case 0: b[at] = uint8_t(rng()); break;
            case 1: b.resize(at); break;
            default: b.insert(b.begin() + long(at), uint8_t(rng())); break;
            }
            if (b.size() < 4) break;
        }
        read(b);
        lua_settop(L, 0);
    }
}

}  // namespace
