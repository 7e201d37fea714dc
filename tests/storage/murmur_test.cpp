// MurmurHash3 against the reference outputs of the published algorithm.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "storage/murmur.h"

namespace {

uint32_t h32(const std::string& s, uint32_t seed = 0) { return murmurhash3_x86_32(s.data(), s.size(), seed); }

struct halves {
    uint64_t h1;
    uint64_t h2;
};

halves h128(const std::string& s) {
    uint8_t out[16];
    murmurhash3_x64_128(s.data(), s.size(), 0, out);
    halves h{0, 0};
    for (int i = 7; i >= 0; i--) {
        h.h1 = h.h1 << 8 | out[i];
        h.h2 = h.h2 << 8 | out[8 + i];
    }
    return h;
}

TEST(Murmur, X86_32ReferenceValues) {
    struct { const char* text; uint32_t seed, hash; } vectors[] = {
        {"", 0, 0}, {"", 1, 0x514e28b7u}, {"a", 0, 0x3c2569b2u}, {"ab", 0, 0x9bbfd75fu}, {"abc", 0, 0xb3dd93fau},
        {"abcd", 0, 0x43ed676au}, {"abcde", 0, 0xe89b9af6u}, {"hello", 0, 0x248bfa47u},
        {"Hello, world!", 0x9747b28c, 0x24884cbau}, {"The quick brown fox jumps over the lazy dog", 0, 0x2e4ff723u},
        {"0123456789abcdef", 0, 0x36c7e0dfu}};
    for (const auto& v : vectors) EXPECT_EQ(h32(v.text, v.seed), v.hash) << v.text << " " << v.seed;
    // Only the given length is read.
    EXPECT_EQ(murmurhash3_x86_32("hello world", 5, 0), 0x248bfa47u);
    EXPECT_EQ(murmurhash3_x86_32(nullptr, 0, 0), 0u);
}

TEST(Murmur, X64_128ReferenceValues) {
    struct vec {
        const char* text;
        uint64_t h1, h2;
    } vectors[] = {
        {"", 0, 0},
        {"hello", 0xcbd8a7b341bd9b02ull, 0x5b1e906a48ae1d19ull},
        {"a", 0x85555565f6597889ull, 0xe6b53a48510e895aull},
        {"ab", 0x938b11ea16ed1b2eull, 0xe65ea7019b52d4adull},
        {"abc", 0xb4963f3f3fad7867ull, 0x3ba2744126ca2d52ull},
        {"0123456789abcdef", 0x4be06d94cf4ad1a7ull, 0x87c35b5c63a708daull},
        {"0123456789abcdefX", 0xcdebd2acb570d6f7ull, 0x8f72119782104b27ull},
        {"0123456789abcdefghijklmnopqrstu", 0xb828780c1a6e0542ull, 0x3922739113a7e9b2ull},
        {"The quick brown fox jumps over the lazy dog", 0xe34bbc7bbc071b6cull, 0x7a433ca9c49a9347ull},
    };
    for (const vec& v : vectors) {
        halves h = h128(v.text);
        EXPECT_EQ(h.h1, v.h1) << v.text;
        EXPECT_EQ(h.h2, v.h2) << v.text;
    }
    // Each half is written least significant byte first.
    uint8_t out[16];
    murmurhash3_x64_128("hello", 5, 0, out);
    char hex[33];
    for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", out[i]);
    EXPECT_STREQ(hex, "029bbd41b3a7d8cb191dae486a901e5b");
}

}  // namespace
