// Building blocks of the sequencer, mixer and script-function tests: instruments, tracks and
// patterns written into the mixer's memory, a clean synthesiser, and mixing into a vector.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "audio/mudo.h"
#include "kernel/memory.h"

namespace audio_test {

constexpr uint32_t BASE = 0x30000;
constexpr int32_t TICK = (int32_t)MUDO_SAMPLES_PER_TICK;
constexpr uint32_t WAVE = 0x80000;

inline void put(uint32_t a, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) mixer_ram[a++ & ADDRESS_MASK] = b;
}

// Instrument i of BASE: one oscillator on a constant wave of value v (so a note at volume 64
// renders v), following the note's pitch and volume, and its pan unless pan is given. With
// an envelope its volume ends at the note's release.
inline void const_instrument(int i, int16_t v, bool enveloped = false, int pan = 1000) {
    uint32_t r = BASE + 0x10000 + 512 * (uint32_t)i, wave = WAVE + 0x100 * (uint32_t)i;
    put(r, {0x00, NODE_OSCILLATOR, 0, 0});
    put(r + 4, {(uint8_t)(enveloped ? 6 : 2), 64, 0, 0});
    if (pan == 1000) put(r + 8, {1, 0, 0, 0});
    else put(r + 8, {0, (uint8_t)(int8_t)pan, 0, 0});
    put(r + 12, {1, 0, 0, 0});
    put(r + 16, {1, 0, 0, 0});
    put(r + 24, {0, 0x80, 0, 0});
    put(r + 480, {(uint8_t)(wave >> 8), (uint8_t)(wave >> 16), 4, 1});
    for (uint32_t j = 0; j < 16; j++) put(wave + 2 * j, {(uint8_t)v, (uint8_t)((uint16_t)v >> 8)});
    if (enveloped) put(r + 0x100, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0});
}

struct row {
    uint8_t pitch, instrument, volume, effect, param;
};

inline void put_track(int t, uint16_t length, uint8_t speed, const std::vector<row>& rows, uint8_t loop_start = 0,
                      uint8_t loop_end = 0, uint8_t skip = 0) {
    uint32_t a = BASE + 0x20000 + 328 * (uint32_t)t;
    put(a, {(uint8_t)length, (uint8_t)(length >> 8), speed, loop_start, loop_end, skip, 0, 0});
    uint32_t plane = length ? length : 1;
    for (uint32_t r = 0; r < rows.size(); r++) {
        const row& w = rows[r];
        uint8_t bytes[5] = {w.pitch, w.instrument, w.volume, w.effect, w.param};
        for (uint32_t k = 0; k < 5; k++) mixer_ram[a + 8 + k * plane + r] = bytes[k];
    }
}

inline void put_pattern(int p, std::array<uint8_t, 8> tracks, uint8_t flags, uint8_t enabled) {
    uint32_t a = BASE + 0x100 + 20 * (uint32_t)p;
    for (uint32_t c = 0; c < 8; c++) mixer_ram[a + c] = tracks[c];
    mixer_ram[a + 8] = flags;
    mixer_ram[a + 9] = enabled;
}

// Mixes frames in device-sized blocks; the interleaved output.
inline std::vector<int16_t> mix(int32_t frames, int32_t block = 512) {
    std::vector<int16_t> out((size_t)frames * 2);
    for (int32_t at = 0; at < frames; at += block) mudo_mix(out.data() + 2 * at, std::min(block, frames - at));
    return out;
}

inline int32_t play(int64_t track, int64_t channel) {
    return mudo_play_track(track, channel, 0, 0, false, MUDO_NO_PAN, 64, BASE, 0);
}

// A synthesiser with nothing playing, zeroed memory, unity volume registers and master volume.
struct Mixing : testing::Test {
    void SetUp() override {
        mudo_init();
        memset(mixer.channels, 0, sizeof(mixer.channels));
        for (int c = 0; c < MUDO_CHANNEL_SLOTS; c++) mixer.channels[c].index = (uint32_t)c;
        memset(mixer.rest_ticks, 0, sizeof(mixer.rest_ticks));  // the records were cleared behind the mixer
        mudo_clear_for_boot();
        mixer.tick_counter = 0;
        mixer_ram[ADDR_AUDIO_VOLUME] = 64;
        mixer_ram[ADDR_AUDIO_MUSIC_VOLUME] = 64;
        mudo_set_volume(256);
        mudo_set_stereo_swap(0);
    }
    void TearDown() override { Mixing::SetUp(); }
};

}  // namespace audio_test
