// The xoshiro256** generator behind every process's random stream and the default noise wave;
// header-only so that the host tools that bake data at build time draw the same numbers.
#pragma once
#include <cstdint>

inline uint64_t xoshiro_rol64(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

inline uint64_t xoshiro_next(uint64_t* s) {
    uint64_t result = xoshiro_rol64(s[1] * 5, 7) * 9;
    uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = xoshiro_rol64(s[3], 45);
    return result;
}

inline void xoshiro_seed(uint64_t* s, uint64_t seed) {
    s[0] = seed ^ 0xDEADBEEFull;
    s[1] = 0xFF;
    s[2] = (seed << 32) | (seed >> 32);
    s[3] = 0;
    for (int i = 0; i < 8; i++) xoshiro_next(s);
}
