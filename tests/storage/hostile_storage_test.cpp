// Hostile children storing and fetching: loops of large raw stores, images at and past the
// codec's size limit and large host files never hold up the root's frames.
#include <lodepng.h>

#include <cstdio>
#include <string>
#include <vector>

#include "hostile_child.h"
#include "storage/image.h"
#include "test_support.h"

namespace {

using drive_test::temp_drive;

struct HostileStorage : temp_drive {
    void SetUp() override {
        hostile::fresh_machine();
        temp_drive::SetUp();
    }
    void TearDown() override {
        processes_init();
        temp_drive::TearDown();
    }
    // Writes a PNG of noise (16-bit RGBA, interlaced: the slowest kind to decode) to the drive.
    void write_noise_png(const char* name, unsigned w, unsigned h) {
        std::vector<unsigned char> pixels(size_t(w) * h * 8);
        uint32_t s = 1;
        for (unsigned char& c : pixels) c = uint8_t((s = s * 1103515245u + 12345u) >> 16);
        LodePNGState state;
        lodepng_state_init(&state);
        state.info_raw.colortype = state.info_png.color.colortype = LCT_RGBA;
        state.info_raw.bitdepth = state.info_png.color.bitdepth = 16;
        state.info_png.interlace_method = 1;
        state.encoder.auto_convert = 0;
        unsigned char* png = nullptr;
        size_t size = 0;
        ASSERT_EQ(lodepng_encode(&png, &size, pixels.data(), w, h, &state), 0u);
        lodepng_state_cleanup(&state);
        FILE* f = fopen((drive + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(fwrite(png, 1, size, f), size);
        fclose(f);
        free(png);
    }
};

constexpr const char* RAW = "'--[[mox_format=\"raw\"]]'";

// Makes s of 2^k copies of c, one doubling a slice: building it is not what is measured.
std::string doubled(const char* c, int k) {
    return std::string("local s = '") + c + "' for i = 1, " + std::to_string(k) + " do s = s .. s coroutine.yield() end ";
}

TEST_F(HostileStorage, RawAndHostStoresPayForTheirBytes) {
    const std::string cases[][2] = {
        {"raw stores to ram", doubled("r", 22) + "for i = 1, 60 do store('/ram/a.bin', s, " + RAW + ") end"},
        {"host stores", doubled("h", 23) + "for i = 1, 12 do store('/big.bin', s, " + RAW + ") end"},
        {"host text stores", doubled("\\200t", 21) + "for i = 1, 6 do store('/big.txt', s, " + RAW + ") end"},
        {"fetches", doubled("f", 22) + "store('/f.txt', s, " + RAW + ") store('/ram/f.txt', s, " + RAW +
                        ") coroutine.yield() for i = 1, 20 do assert(fetch('/f.txt') == s and fetch('/ram/f.txt') == s) end"},
    };
    for (const auto& c : cases) {
        hostile::outcome o = hostile::run_child(c[1].c_str(), 3000);
        EXPECT_TRUE(o.ended) << c[0];
        EXPECT_EQ(o.reports, "") << c[0];
        hostile::expect_frame_gap_held(o, c[0].c_str());
        processes_init();
    }
}

TEST_F(HostileStorage, AStoreEndedMidwayLeavesTheOldFile) {
    FILE* f = fopen((drive + "/big.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("old", f);
    fclose(f);
    // Ended a few pieces into its store, the child is removed with the machine's processes.
    hostile::outcome o = hostile::run_child((doubled("h", 23) + "store('/big.bin', s, " + RAW + ")").c_str(), 27);
    EXPECT_FALSE(o.ended);
    processes_init();
    FILE* g = fopen((drive + "/big.bin").c_str(), "rb");
    ASSERT_NE(g, nullptr);
    char buf[8] = {};
    const std::string listed(buf, fread(buf, 1, sizeof buf, g));
    fclose(g);
    EXPECT_EQ(listed, "old");
    EXPECT_NE(system(("ls -A '" + drive + "' | grep -q orvalune_wb").c_str()), 0) << "a temporary file was left";
}

TEST_F(HostileStorage, ImagesAtTheLimitAreChargedAndPastItRefused) {
    write_noise_png("noise.png", 512, 512);
    write_noise_png("wide.png", 513, 512);
    const std::string at_limit =
        "local TOO_LARGE = '" + std::string(IMAGE_TOO_LARGE_MESSAGE) + "' "
        "local a = userdata('u8', 512, 512) local s = 1 "
        "for i = 0, 512 * 512 - 1 do s = (s * 1103515245 + 12345) & 0x7fffffff a[i] = (s >> 16) & 63 end "
        "for i = 1, 6 do assert(store('/ram/a.png', a) == nil) assert(store('/ram/a.qoi', a) == nil) end "
        "for i = 1, 6 do assert(type(fetch('/noise.png')) == 'userdata') assert(type(fetch('/ram/a.qoi', 1)) == 'userdata') end "
        "local b = userdata('i32', 513, 512) "
        "for i = 1, 20 do assert(store('/ram/b.png', b) == TOO_LARGE and store('/ram/b.qoi', b) == TOO_LARGE) "
        "local v, meta, e = fetch('/wide.png') assert(v == nil and e == TOO_LARGE) end "
        "assert(fstat('/ram/b.png') == nil)";
    hostile::outcome o = hostile::run_child(at_limit.c_str(), 3000);
    EXPECT_TRUE(o.ended);
    EXPECT_EQ(o.reports, "");
    hostile::expect_frame_gap_held(o, "images at the limit");
}

}  // namespace
