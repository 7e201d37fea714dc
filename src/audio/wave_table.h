// The default wave table that every process's memory shows from ADDR_WAVE_TABLES to the end of
// its space: baked at build time (tools/mkwaves.cpp) into read-only data, so a start computes
// and writes none of its 136 pages, and a page is read in only when something reads it.
#pragma once
#include <cmath>
#include <cstdint>

#include "base/xoshiro.h"

constexpr uint32_t WAVE_NOISE_SAMPLES = 16384;
constexpr uint32_t WAVE_FAMILY_WAVES = 64, WAVE_WIDTH = 1024;
constexpr uint32_t WAVE_TABLE_SAMPLES = WAVE_NOISE_SAMPLES + 4 * WAVE_FAMILY_WAVES * WAVE_WIDTH;  // 278,528
constexpr uint32_t WAVE_TABLE_BYTES = WAVE_TABLE_SAMPLES * 2;                                   // 0x88000
constexpr uint64_t WAVE_NOISE_SEED = 0x12345678;

// The baked table (generated source).
extern const uint8_t wave_table[WAVE_TABLE_BYTES];

// Builds the table as little-endian 16-bit samples into out, drawing the noise from stream
// (seeded here): noise, then four families of 64 waves of 1024 samples each: sine to triangle,
// triangle to saw, saw to square, and pulses. stream is left where it stands after the noise.
inline void build_wave_table(uint8_t* out, uint64_t* stream) {
    auto put = [out](uint32_t index, int32_t v) {
        out[2 * index] = (uint8_t)v;
        out[2 * index + 1] = (uint8_t)((uint32_t)v >> 8);
    };
    xoshiro_seed(stream, WAVE_NOISE_SEED);
    for (uint32_t i = 0; i < WAVE_NOISE_SAMPLES; i++) put(i, (int32_t)(xoshiro_next(stream) & 0xffff));
    for (uint32_t w = 0; w < WAVE_FAMILY_WAVES; w++) {
        for (uint32_t i = 0; i < WAVE_WIDTH; i++) {
            double x = i / 1024.0;
            uint32_t at = WAVE_NOISE_SAMPLES + w * WAVE_WIDTH + i;
            constexpr uint32_t family = WAVE_FAMILY_WAVES * WAVE_WIDTH;

            int32_t t = (int32_t)((i + 768) & 1023);
            int32_t tri = (t < 512 ? t : 1024 - t) - 256;
            double v = std::trunc(w * 127.99 * tri + (64.0 - w) * (-32767 * std::sin(2 * i * 3.141562 / 1024)));
            put(at, (int32_t)v / 64);

            int32_t m = 512 + 8 * (int32_t)w;
            int32_t o = ((64 - (int32_t)w) * (64 - (int32_t)w)) >> 4;
            int32_t u = ((int32_t)i - o) & 1023;
            double f = u < m ? (double)u / m : u > m ? (double)(1024 - u) / (1024 - m) : 1.0;
            put(at + family, (int32_t)std::trunc(-32768 + 65535 * f));

            double k = (double)(w * w) / 4096;
            f = x < 0.5 ? x * (1 - k) : k + x * (1 - k);
            put(at + 2 * family, (int32_t)std::trunc(-32767 + 65534 * f));

            double duty = 0.5 + w / 128.0;
            put(at + 3 * family, x <= duty ? -32767 : 32767);
        }
    }
}
