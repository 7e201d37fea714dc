// Fuzz target: the sequencer and the mixer on audio data made of arbitrary bytes, driven by a
// short program of calls taken from the input: notes, tracks and their commands, music and
// fades, the volume registers, mute and the master settings, and mixing requests of any size.
// Layout: 64 bytes of program (eight calls of 8 bytes), then up to 4096 bytes of tracks, 512
// of patterns and 2048 of instruments at their places for base 0x30000. Mixing stays bounded
// per input. The state must stay in range: tick positions inside their tick, the music volume
// and the fade inside their bounds, and every block fully written.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/mudo.h"
#include "kernel/memory.h"

namespace {

constexpr uint32_t BASE = 0x30000;
constexpr size_t PROGRAM_BYTES = 64;
constexpr size_t TRACK_BYTES = 4096, PATTERN_BYTES = 512, INSTRUMENT_BYTES = 2048;
constexpr int32_t MAX_FRAMES = 3000;  // mixed per input
constexpr uint32_t WAVE = 0xF80000;

void check_state() {
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        const mudo_channel& ch = mixer.channels[c];
        if (ch.tick_samples > (uint32_t)MUDO_NODE_BUFFER || ch.tick_samples_done > ch.tick_samples) abort();
        if (ch.mix_volume > 255 || ch.pan < -128 || ch.pan > 127) abort();
        if (ch.track_active && (ch.speed < 1 || ch.track_length < 1)) abort();
    }
    if (mixer.music_volume > 256 || mixer.fade_length < 0) abort();
    if (mixer.fade_length > 0 && (mixer.fade_counter < 0 || mixer.fade_counter >= mixer.fade_length)) abort();
    if (mixer.sample_accumulator >= MUDO_SAMPLES_PER_TICK) abort();
    if (last_num_samples_mixed < 0 || last_num_samples_mixed > MUDO_LAST_MIXED_FRAMES) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<int16_t> out((size_t)MUDO_LAST_MIXED_FRAMES * 2 + 4096);
    static bool ready = false;
    if (!ready) {
        mudo_init();
        ready = true;
    }
    if (size < PROGRAM_BYTES) return 0;
    // A fresh synthesiser; only the memory this target writes is cleared.
    mudo_kill_all_audio();
    mixer.fade_length = mixer.fade_counter = 0;
    mixer.music_volume = mixer.sample_accumulator = 0;
    memset(mixer_ram + BASE, 0, MUDO_TRACKS_OFFSET + TRACK_BYTES);
    mixer_ram[0x547F] = 0;
    // One triangle wave where the instruments' descriptors usually point.
    for (uint32_t i = 0; i < 1024; i++) {
        int16_t v = (int16_t)((i < 512 ? (int32_t)i : 1024 - (int32_t)i) * 64 - 16384);
        mixer_ram[WAVE + 2 * i] = (uint8_t)v;
        mixer_ram[WAVE + 2 * i + 1] = (uint8_t)((uint16_t)v >> 8);
    }
    mixer_ram[0x5538] = mixer_ram[0x5539] = 64;
    mudo_set_volume(256);
    size_t at = PROGRAM_BYTES;
    auto place = [&](uint32_t address, size_t most) {
        size_t n = std::min(size - at, most);
        memcpy(mixer_ram + address, data + at, n);
        at += n;
    };
    place(BASE + MUDO_TRACKS_OFFSET, TRACK_BYTES);
    place(BASE + MUDO_PATTERNS_OFFSET, PATTERN_BYTES);
    place(BASE + MUDO_INSTRUMENTS_OFFSET, INSTRUMENT_BYTES);

    int32_t frames_left = MAX_FRAMES;
    for (size_t k = 0; k < PROGRAM_BYTES / 8; k++) {
        const uint8_t* b = data + 8 * k;
        int8_t s1 = (int8_t)b[1], s2 = (int8_t)b[2], s3 = (int8_t)b[3], s4 = (int8_t)b[4], s6 = (int8_t)b[6];
        switch (b[0] % 7) {
        case 0:
            mudo_set_channel_base_addr(s2 % 17, BASE);
            mudo_set_note(s2 % 17, b[1], s3, b[4], b[5], b[6], b[7] & 1, b[7] & 2 ? (int64_t)(int8_t)b[7] * 3 : MUDO_NO_PAN);
            break;
        case 1:
            mudo_play_track(s1, s2 % 17, s3, s4, b[5] & 1, b[5] & 2 ? s6 * 2 : MUDO_NO_PAN, b[7], BASE, b[5] >> 2);
            break;
        case 2:
            mudo_play_music(s1, (int64_t)(b[2] | b[3] << 8) - 1000, b[4], BASE, b[5]);
            break;
        case 3:
            mudo_fade_out_music((int64_t)(b[1] | b[2] << 8) - 100);
            break;
        case 4: {
            int32_t n = std::min<int32_t>((b[1] | b[2] << 8) % 9000 + 1, frames_left);
            if (n < 1) break;
            frames_left -= n;
            mudo_mix(out.data(), n);
            if (n > MUDO_LAST_MIXED_FRAMES)
                for (int32_t i = 2 * MUDO_LAST_MIXED_FRAMES; i < 2 * n; i++)
                    if (out[(size_t)i] != 0) abort();
            break;
        }
        case 5:
            mixer_ram[0x5538 + b[1] % 6] = b[2];
            if (b[3] & 1) mixer_ram[0x547F] ^= 4;
            break;
        default:
            mudo_set_volume(s1 * 3);
            mudo_set_stereo_swap(b[2] & 1);
            if (b[3] & 1) advance_pattern();
            break;
        }
        check_state();
    }
    return 0;
}
