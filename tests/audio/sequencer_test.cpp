// The sequencer and the mixer driven through mudo_mix: row timing, effects, loops, the channel
// choice, patterns changing on one sample for every music channel, fades, the volume rules,
// mute, large requests and the tick crossfade.
#include <gtest/gtest.h>

#include "audio_fixture.h"
#include "platform/audio_device.h"

namespace {

using namespace audio_test;

int16_t left(const std::vector<int16_t>& out, int32_t frame) { return out[2 * (size_t)frame]; }
int16_t right(const std::vector<int16_t>& out, int32_t frame) { return out[2 * (size_t)frame + 1]; }
// A centred note at volume 64 on a constant wave v, after the gains settled.
int16_t centred(int16_t v) { return (int16_t)((int64_t)stereo_contrib[128] * v / 4096); }

TEST_F(Mixing, RowsStartEverySpeedTicks) {
    for (uint8_t speed : {1, 3, 7}) {
        SetUp();
        const_instrument(1, 8192);
        std::vector<row> rows;
        for (int r = 0; r < 6; r++) rows.push_back({48, 1, (uint8_t)(r % 2 ? 0 : 64), 0, 0});
        put_track(0, 6, speed, rows);
        ASSERT_EQ(play(0, 0), 0);
        int32_t row_frames = speed * TICK;
        std::vector<int16_t> out = mix(7 * row_frames);
        // Row 0 fades in from silence; from row 1 on, each row's level holds from 64 samples
        // after its start up to the next row's first sample.
        for (int r = 1; r < 6; r++) {
            int16_t level = r % 2 ? 0 : centred(8192), before = r % 2 ? centred(8192) : 0;
            if (r > 1) {
                ASSERT_EQ(left(out, r * row_frames - 1), before) << (int)speed << " row " << r;
            }
            for (int32_t i = r * row_frames + 64; i < (r + 1) * row_frames; i++)
                ASSERT_EQ(left(out, i), level) << (int)speed << " row " << r << " frame " << i;
        }
        EXPECT_EQ(mudo_get_active_channels(), 0u);
    }
}

TEST_F(Mixing, TrackOfLengthOrSpeedZeroPlaysSixteenTicks) {
    for (auto [length, speed] : {std::pair{0, 16}, {1, 0}}) {
        SetUp();
        const_instrument(2, 8192, true);
        put_track(0, (uint16_t)length, (uint8_t)speed, {{48, 2, 64, 0, 0}});
        ASSERT_EQ(play(0, 0), 0);
        std::vector<int16_t> out = mix(5872);
        EXPECT_EQ(mudo_get_active_channels(), 1u);
        EXPECT_EQ(left(out, 5871), centred(8192));
        out = mix(400);
        EXPECT_EQ(mudo_get_active_channels(), 0u);
        for (int32_t i = 64; i < 400; i++) ASSERT_EQ(left(out, i), 0) << i;
    }
}

TEST_F(Mixing, RowEffects) {
    const_instrument(1, 8192);
    struct effect_case {
        const char* name;
        std::vector<row> rows;
        int ticks;
        int32_t pitch, volume;  // current values after the ticks (16.16)
        uint32_t note_on, instrument;
    } cases[] = {
        {"slide over a row", {{48, 1, 64, 0, 0}, {60, 1, 64, 's', 0}}, 4 + 2, 54 << 16, 64 << 16, 1, 1},
        {"slide given as a digit", {{48, 1, 64, 0, 0}, {60, 1, 64, '1', 0}}, 4 + 4, 60 << 16, 64 << 16, 1, 1},
        {"pitch rises", {{48, 1, 64, '+', 1}}, 3, (48 << 16) + 3 * 128, 64 << 16, 1, 1},
        {"pitch falls no lower than 0", {{1, 1, 64, '-', 0}}, 2, 0, 64 << 16, 1, 1},
        {"volume fade over a row", {{48, 1, 64, 0, 0}, {48, 1, 0, 'f', 0}}, 4 + 2, 48 << 16, 32 << 16, 1, 1},
        {"delay: no note before its tick", {{50, 1, 64, 'd', 2}}, 1, 50 << 16, 64 << 16, 0, 255},
        {"delay: the note at its tick", {{50, 1, 64, 'd', 2}}, 3, 50 << 16, 64 << 16, 1, 1},
        {"cut: still playing", {{48, 1, 64, 'c', 2}}, 2, 48 << 16, 64 << 16, 1, 1},
        {"cut: silenced at its tick", {{48, 1, 64, 'c', 2}}, 3, 48 << 16, 64 << 16, 1, 255},
    };
    for (const effect_case& c : cases) {
        SetUp();
        const_instrument(1, 8192);
        put_track(0, (uint16_t)c.rows.size(), 4, c.rows);
        play(0, 0);
        mix(c.ticks * TICK);
        const mudo_channel& ch = mixer.channels[0];
        EXPECT_EQ(ch.current_pitch, c.pitch) << c.name;
        EXPECT_EQ(ch.current_volume, c.volume) << c.name;
        EXPECT_EQ(ch.note_on, c.note_on) << c.name;
        EXPECT_EQ(ch.instrument, c.instrument) << c.name;
    }
    // Pan from the effect, and a retrigger every 2 ticks puts the phase back where it was.
    SetUp();
    const_instrument(1, 8192);
    put_track(0, 1, 8, {{48, 1, 64, 'r', 2}});
    play(0, 0);
    mix(TICK);
    uint64_t phase = mixer.channels[0].nodes[0].phase;
    mix(2 * TICK);
    EXPECT_EQ(mixer.channels[0].nodes[0].phase, phase);
    mudo_set_note(0, 48, 1, 64, 'p', 0x40, 0, MUDO_NO_PAN);
    EXPECT_EQ(mixer.channels[0].pan, -64);
}

TEST_F(Mixing, LoopsSkipsAndStopRows) {
    const_instrument(1, 8192);
    struct loop_case {
        const char* name;
        uint8_t loop_start, loop_end, skip;
        int64_t first_row, num_rows;
        int ticks;
        bool active;
        int32_t row;
        uint32_t note_on;
    } cases[] = {
        {"loop 1..3 goes back to row 1", 1, 3, 0, 0, 0, 3, true, 1, 1},
        {"and on round it", 1, 3, 0, 0, 0, 6, true, 2, 1},
        {"loop start above loop end: rows up to it", 8, 4, 0, 0, 0, 8, true, 8, 1},
        {"... then the track ends", 8, 4, 0, 0, 0, 9, false, 8, 0},
        {"skipped rows play nothing", 0, 0, 2, 0, 0, 2, true, 2, 0},
        {"the first row after them plays", 0, 0, 2, 0, 0, 3, true, 3, 1},
        {"two rows from row 1", 0, 0, 0, 1, 2, 1, true, 2, 1},
        {"then it stops", 0, 0, 0, 1, 2, 2, false, 3, 0},
    };
    for (const loop_case& c : cases) {
        SetUp();
        const_instrument(1, 8192);
        std::vector<row> rows(12, row{48, 1, 64, 0, 0});
        put_track(0, 12, 1, rows, c.loop_start, c.loop_end, c.skip);
        mudo_play_track(0, 0, c.first_row, c.num_rows, false, MUDO_NO_PAN, 64, BASE, 0);
        mix(c.ticks * TICK);
        const mudo_channel& ch = mixer.channels[0];
        EXPECT_EQ(ch.track_active != 0, c.active) << c.name;
        EXPECT_EQ(ch.row, c.row) << c.name;
        EXPECT_EQ(ch.note_on, c.note_on) << c.name;
    }
}

TEST_F(Mixing, ChannelChoiceAndCommands) {
    put_track(0, 1, 1, {{48, 1, 64, 0, 0}}, 0, 1);
    int32_t first = play(0, -1);
    EXPECT_GE(first, 8);  // a free channel of the upper eight
    EXPECT_EQ(play(0, -1), first);
    EXPECT_NE(play(1, -1), first);
    mixer.channels[first].music_owned = 1;
    EXPECT_NE(play(0, -1), first);
    EXPECT_EQ(play(0, 16), -1);
    EXPECT_EQ(play(0, -2), -1);

    EXPECT_EQ(mudo_play_track(-4, 3, 300, 0, false, MUDO_NO_PAN, 64, BASE, 0), -1);
    EXPECT_EQ(mixer.channels[3].mix_volume, 255u);
    mudo_play_track(-4, -1, 20, 0, false, MUDO_NO_PAN, 64, BASE, 0);
    EXPECT_EQ(mixer.channels[0].mix_volume, 20u);
    EXPECT_EQ(mixer.channels[15].mix_volume, 20u);
    play(0, 2);
    mudo_play_track(-3, 2, 0, 0, false, MUDO_NO_PAN, 64, BASE, 0);
    EXPECT_EQ(mixer.channels[2].loop_end, 0u);
    EXPECT_NE(mudo_get_active_channels(), 0u);
    mudo_play_track(-1, -1, 0, 0, false, MUDO_NO_PAN, 64, BASE, 0);
    EXPECT_EQ(mudo_get_active_channels(), 0u);
    EXPECT_EQ(mixer.channels[0].mix_volume, 20u);  // a stop keeps the channel's settings
    mudo_play_track(-2, 0, 0, 0, false, MUDO_NO_PAN, 64, BASE, 0);
    EXPECT_EQ(mixer.channels[0].mix_volume, 64u);  // a reset gives the defaults
}

TEST_F(Mixing, PatternChangeLandsOnOneSampleForEveryMusicChannel) {
    const_instrument(1, 8192, false, -127);
    const_instrument(2, 8192, false, 127);
    put_track(1, 1, 3, {{48, 1, 64, 0, 0}});
    put_track(2, 1, 1, {{48, 2, 64, 0, 0}}, 0, 1);  // loops, so channel 0 sets the length
    put_track(3, 1, 3, {{48, 1, 32, 0, 0}});
    put_track(4, 1, 1, {{48, 2, 32, 0, 0}}, 0, 1);
    put_pattern(0, {1, 2}, 0, 3);
    put_pattern(1, {3, 4}, 4, 3);
    mudo_play_music(0, 0, 3, BASE, 0);
    EXPECT_EQ(mixer.pattern_tick_budget, 3u);
    std::vector<int16_t> out = mix(2048);
    // Three ticks in, inside the third 512-frame block, both sides drop to half at once.
    int32_t change = 3 * TICK;
    int16_t full_left = (int16_t)(stereo_contrib[1] * 8192 / 4096), full_right = full_left;
    EXPECT_EQ(left(out, change - 1), full_left);
    EXPECT_EQ(right(out, change - 1), full_right);
    EXPECT_EQ(left(out, change + 64), full_left / 2);
    EXPECT_EQ(right(out, change + 64), full_right / 2);
    EXPECT_EQ(mudo_get_music_state(0), 1);
    // Pattern 1 stops the music when it ends.
    mix(3 * TICK);
    EXPECT_EQ(mudo_get_music_state(0), -1);
    EXPECT_EQ(mudo_get_active_channels(), 0u);
}

TEST_F(Mixing, WhatComesAfterAPattern) {
    struct flags_case {
        int pattern;
        uint8_t flags;
        int loop_start_at;  // pattern given flag bit 0, -1 none
        int next;           // -1: the music stops
    } cases[] = {
        {2, 4, -1, -1}, {2, 3, -1, 2}, {3, 2, 1, 1}, {3, 2, -1, 0}, {5, 0, -1, 6}, {255, 0, -1, -1},
    };
    for (const flags_case& c : cases) {
        SetUp();
        put_track(0, 1, 1, {{48, 1, 64, 0, 0}});
        for (int p = 0; p < 256; p++) put_pattern(p, {0}, 0, 1);
        put_pattern(c.pattern, {0}, c.flags, 1);
        if (c.loop_start_at >= 0) put_pattern(c.loop_start_at, {0}, 1, 1);
        mudo_play_music(c.pattern, 0, 255, BASE, 0);
        advance_pattern();
        EXPECT_EQ(mudo_get_music_state(0), c.next) << c.pattern << " flags " << (int)c.flags;
    }
    // A pattern index past the table looks back from the table's end, not through every index.
    SetUp();
    put_pattern(1, {0}, 1, 1);
    put(mudo_pattern_address(BASE, 2000000000) + 8, {2});
    mudo_play_music(2000000000, 0, 255, BASE, 0);
    advance_pattern();
    EXPECT_EQ(mudo_get_music_state(0), 1);
    // Resetting every channel silences the music's channels but leaves them the music's: its
    // next pattern plays on them.
    SetUp();
    put_track(0, 2, 1, {{48, 1, 64, 0, 0}, {48, 1, 64, 0, 0}});
    put_pattern(0, {0}, 0, 1);
    put_pattern(1, {0}, 0, 1);
    mudo_play_music(0, 0, 1, BASE, 0);
    mix(TICK);
    mudo_play_track(-2, -1, 0, 0, false, MUDO_NO_PAN, 64, BASE, 0);
    EXPECT_EQ(mudo_get_active_channels(), 0u);
    mix(2 * TICK);
    EXPECT_EQ(mudo_get_music_state(0), 1);
    EXPECT_EQ(mudo_get_active_channels(), 1u);
    // No channel in the mask: the pattern has no end.
    put_pattern(0, {0, 0}, 0, 3);
    mudo_play_music(0, 0, 0, BASE, 0);
    EXPECT_EQ(mixer.pattern_tick_budget, 0x7fffffffu);
    // Later music that leaves a channel out stops what the earlier music played there.
    mudo_play_music(0, 0, 1, BASE, 0);
    EXPECT_EQ(mudo_get_active_channels(), 1u);
    mudo_play_music(0, 0, 2, BASE, 0);
    EXPECT_EQ(mudo_get_active_channels(), 2u);
}

TEST_F(Mixing, MusicFades) {
    put_track(0, 1, 1, {{48, 1, 64, 0, 0}}, 0, 1);
    put_pattern(0, {0}, 0, 1);
    // Fades shorter than a tick jump; a negative one counts as none.
    for (int64_t ms : {1, 8, -5}) {
        mudo_play_music(0, ms, 1, BASE, 0);
        EXPECT_EQ(mixer.music_volume, 256u) << ms;
        EXPECT_EQ(mixer.fade_length, 0) << ms;
    }
    mudo_fade_out_music(5);
    EXPECT_EQ(mixer.music_volume, 0u);
    EXPECT_EQ(mudo_get_music_state(0), 0);  // still playing, silently
    // A fade-in of 100 ms rises by 256/12 a tick of samples.
    mudo_play_music(0, 100, 1, BASE, 0);
    EXPECT_EQ(mixer.fade_length, 12);
    for (int k = 1; k <= 12; k++) {
        mix(TICK);
        EXPECT_EQ(mixer.music_volume, k < 12 ? 256u * (uint32_t)(k - 1) / 12 : 256u) << k;
    }
    // A second fade-out starts where the first one got to.
    mudo_fade_out_music(1000);
    EXPECT_EQ(mixer.fade_length, 120);
    mix(61 * TICK);
    EXPECT_EQ(mixer.music_volume, 128u);
    mudo_fade_out_music(500);
    EXPECT_EQ(mixer.fade_start, 128u);
    mudo_fade_out_music(-1);
    EXPECT_EQ(mudo_get_music_state(0), -1);
}

TEST_F(Mixing, VolumeRulesSwapAndMute) {
    auto start_note = [&](int pan) {
        SetUp();
        const_instrument(1, 8192);
        mudo_set_channel_base_addr(0, BASE);
        mudo_set_note(0, 48, 1, 64, 0, 0, 1, pan);
    };
    // Master volume 1 sounds as 256 does; only 0 silences, and the channels go on.
    start_note(-127);
    std::vector<int16_t> full = mix(3 * TICK);
    EXPECT_EQ(left(full, 2 * TICK), (int16_t)(stereo_contrib[1] * 8192 / 4096));
    EXPECT_EQ(right(full, 2 * TICK), 0);
    start_note(-127);
    mudo_set_volume(1);
    EXPECT_EQ(mix(3 * TICK), full);
    start_note(-127);
    mudo_set_volume(0);
    EXPECT_EQ(mix(3 * TICK), std::vector<int16_t>(6 * TICK, 0));
    EXPECT_EQ(mixer.tick_counter, 3u * MUDO_CHANNELS);
    // The swap moves a note panned fully left to the right.
    start_note(-127);
    mudo_set_stereo_swap(1);
    std::vector<int16_t> swapped = mix(3 * TICK);
    EXPECT_EQ(right(swapped, 2 * TICK), left(full, 2 * TICK));
    EXPECT_EQ(left(swapped, 2 * TICK), 0);
    // Note volume and mix volume scale the level.
    start_note(0);
    mudo_set_note(0, 48, 1, 32, 0, 0, 0, MUDO_NO_PAN);
    EXPECT_EQ(left(mix(3 * TICK), 2 * TICK), centred(4096));
    start_note(0);
    mudo_set_channel_mix_vol(0, 32);  // a channel gain of 128
    EXPECT_EQ(left(mix(3 * TICK), 2 * TICK), (int16_t)(((int64_t)stereo_contrib[128] * 128 * 256 >> 16) * 2));
    // Mute: silence, nothing moves on, and the sound goes on from there afterwards.
    start_note(0);
    mix(TICK);
    uint32_t ticks = mixer.tick_counter;
    int32_t last = last_num_samples_mixed;
    mixer_ram[ADDR_PROCESS_FLAGS] |= PFLAG_AUDIO_MUTE;
    EXPECT_EQ(mix(1000, 1000), std::vector<int16_t>(2000, 0));
    EXPECT_EQ(mixer.tick_counter, ticks);
    EXPECT_EQ(last_num_samples_mixed, last);
    mixer_ram[ADDR_PROCESS_FLAGS] &= (uint8_t)~PFLAG_AUDIO_MUTE;
    EXPECT_EQ(left(mix(10), 5), centred(8192));
}

TEST_F(Mixing, LoudMusicChannelSaturatesInsteadOfWrapping) {
    // Mix volume 255 and both factors 255 give a channel gain of 16,192 (256 = unity): the
    // panned gain's 16.16 start is far past 32 bits.
    mixer_ram[ADDR_AUDIO_VOLUME] = mixer_ram[ADDR_AUDIO_MUSIC_VOLUME] = 255;
    const_instrument(1, 8192, false, -127);
    put_track(0, 1, 1, {{48, 1, 64, 0, 0}}, 0, 1);
    put_pattern(0, {0}, 0, 1);
    mudo_play_music(0, 0, 1, BASE, 0);
    mixer.channels[0].mix_volume = 255;
    mixer.channels[0].prev_gain_left = stereo_contrib[1];
    std::vector<int16_t> out = mix(2 * TICK);
    for (int32_t i = 64; i < 2 * TICK; i++) {
        ASSERT_EQ(left(out, i), 32767) << i;
        ASSERT_EQ(right(out, i), 0) << i;
    }
}

TEST_F(Mixing, TicksFadeInFromThePreviousTick) {
    const_instrument(1, 8192);
    put_track(0, 2, 1, {{48, 1, 64, 0, 0}, {48, 1, 32, 0, 0}});
    play(0, 0);
    mix(2 * TICK);
    const int16_t* node0 = mixer.node_output[0];
    for (int i = 0; i < 64; i++) ASSERT_EQ(node0[i], ((64 - i) * 8192 + i * 4096) >> 6) << i;
    EXPECT_EQ(node0[64], 4096);
}

TEST_F(Mixing, LargeRequestsAndTheDeviceCallback) {
    const_instrument(1, 8192);
    mudo_set_note(0, 48, 1, 64, 0, 0, 1, MUDO_NO_PAN);
    mixer.channels[0].base_address = BASE;
    std::vector<int16_t> blocks = mix(8192);
    // One request of 10,000 frames: the same 8192 frames, then silence.
    SetUp();
    const_instrument(1, 8192);
    mudo_set_note(0, 48, 1, 64, 0, 0, 1, MUDO_NO_PAN);
    mixer.channels[0].base_address = BASE;
    std::vector<int16_t> big(20000, 1);
    mudo_mix(big.data(), 10000);
    EXPECT_EQ(std::vector<int16_t>(big.begin(), big.begin() + 16384), blocks);
    EXPECT_EQ(std::vector<int16_t>(big.begin() + 16384, big.end()), std::vector<int16_t>(3616, 0));
    EXPECT_EQ(last_num_samples_mixed, 8192);
    // The callback fills any length, in pieces the mixer takes; an odd tail byte is silence.
    std::vector<uint8_t> stream(9000 * 4 + 3, 0xAB);
    sdl2_mixer_callback(nullptr, stream.data(), (int)stream.size());
    EXPECT_EQ(last_num_samples_mixed, 9000 - 2 * 4096);
    EXPECT_EQ(stream[9000 * 4 + 2], 0);
    int16_t last_left;
    memcpy(&last_left, &stream[8999 * 4], 2);
    EXPECT_EQ(last_left, centred(8192));
}

TEST_F(Mixing, PassLimitLeavesSilenceNotOldSound) {
    // A music channel out of budget with no music to advance: every pass stops short, and
    // the channels' buffers still hold the sound of the tick before.
    const_instrument(1, 8192);
    mudo_set_channel_base_addr(0, BASE);
    mudo_set_note(0, 48, 1, 64, 0, 0, 1, MUDO_NO_PAN);
    mix(TICK);
    mixer.channels[0].music_owned = 1;
    mixer.channels[0].music_tick_budget = 0;
    EXPECT_EQ(mix(2048, 2048), std::vector<int16_t>(4096, 0));
}

}  // namespace

namespace {

// The mixer's whole state (records, node and channel buffers) and the last block.
struct mixer_snapshot {
    std::vector<uint8_t> bytes;
    std::vector<int16_t> last;
    int32_t last_count;
    std::array<uint64_t, 4> rng;
};
mixer_snapshot snapshot() {
    const uint8_t* m = reinterpret_cast<const uint8_t*>(&mixer);
    return {{m, m + sizeof(mixer)}, {last_mixed_out, last_mixed_out + 2 * MUDO_LAST_MIXED_FRAMES}, last_num_samples_mixed,
            {mudo_rng_state[0], mudo_rng_state[1], mudo_rng_state[2], mudo_rng_state[3]}};
}
void restore(const mixer_snapshot& s) {
    memcpy(&mixer, s.bytes.data(), sizeof(mixer));
    memcpy(last_mixed_out, s.last.data(), s.last.size() * 2);
    last_num_samples_mixed = s.last_count;
    memcpy(mudo_rng_state, s.rng.data(), sizeof(mudo_rng_state));
}

// Idle stretches between notes: a plain note and its release, a reset, a note through an
// echo beside a track, a resting channel with a self-stepping effect, another with a tick
// length of its own, and silence at master volume 0; mixed in uneven blocks.
std::vector<int16_t> idle_and_notes() {
    std::vector<int16_t> out;
    auto run = [&](int32_t frames) {
        for (int32_t block : {300, 512, 777}) {
            std::vector<int16_t> part = mix(frames, block);
            out.insert(out.end(), part.begin(), part.end());
        }
    };
    run(3000);
    // Changes that leave a settled channel at rest: its next tick's copy must carry them.
    mudo_set_channel_mix_vol(2, 100);
    mudo_set_channel_base_addr(4, BASE + 0x30000);
    mudo_play_track(-4, 6, 33, 0, false, MUDO_NO_PAN, 64, BASE, 0);
    mudo_set_note(10, MUDO_NOT_GIVEN, MUDO_NOT_GIVEN, 9, 0, 0, 0, -50);
    kill_channel(11, true);
    run(1000);
    mudo_set_note(0, 48, 1, 64, 0, 0, 1, MUDO_NO_PAN);
    run(2000);
    kill_channel(0, false);  // released: the instrument's sound goes on
    run(2000);
    kill_channel(0, true);
    run(2000);
    mudo_set_note(3, 50, 3, 64, 'v', 0x23, 1, -40);
    put_track(0, 4, 2, {{48, 1, 64, 0, 0}, {55, 1, 40, 0, 0}, {60, 1, 64, 'c', 1}});
    play(0, 5);
    run(3000);
    kill_channel(3, false);  // the echo tail
    run(2000);
    kill_channel(3, true);
    kill_channel(5, true);
    mixer.channels[7].effect = 'v';
    mixer.channels[9].samples_per_tick = 200;
    run(3000);
    mixer.channels[7].effect = 0;
    mudo_set_volume(0);
    run(2000);
    mudo_set_volume(256);
    run(1000);
    return out;
}

}  // namespace

TEST_F(Mixing, ChannelsAtRestMixAsRenderedBitForBit) {
    const_instrument(1, 8192, true);
    const_instrument(3, 6000);
    uint32_t r = BASE + 0x10000 + 512 * 3;
    put(r + 32, {0x00, NODE_ECHO, 0, 0});
    put(r + 36, {0, 2, 0, 0});    // delay
    put(r + 40, {0, 160, 0, 0});  // feedback level
    for (int c = 0; c < MUDO_CHANNELS; c++) mudo_set_channel_base_addr(c, BASE);
    mixer_snapshot start = snapshot();

    mudo_skip_resting_channels = false;
    std::vector<int16_t> rendered = idle_and_notes();
    mixer_snapshot after = snapshot();
    restore(start);
    mudo_skip_resting_channels = true;
    std::vector<int16_t> skipped = idle_and_notes();
    mixer_snapshot after_skip = snapshot();

    ASSERT_EQ(rendered.size(), skipped.size());
    EXPECT_TRUE(rendered == skipped);
    EXPECT_NE(std::count(rendered.begin(), rendered.end(), 0), (long)rendered.size());
    EXPECT_EQ(after.last_count, after_skip.last_count);
    EXPECT_TRUE(after.last == after_skip.last);
    EXPECT_TRUE(after.rng == after_skip.rng);
    // The skip's own bookkeeping (write counts, which copies are current, known silence) is
    // kept only by the skipping mixer.
    for (auto* b : {&after.bytes, &after_skip.bytes})
        std::fill(b->begin() + offsetof(mudo_mixer, channel_writes), b->begin() + offsetof(mudo_mixer, node_output), 0);
    size_t first = 0;
    while (first < after.bytes.size() && after.bytes[first] == after_skip.bytes[first]) first++;
    EXPECT_EQ(first, after.bytes.size()) << "state differs at byte " << first << " of the mixer";

    // The rest path did run: a mark left in a resting channel's node buffer survives it and
    // not a rendered tick.
    mixer.node_output[12 * MUDO_MAX_CHANNEL_NODES][0] = 777;
    mix(2 * TICK);
    EXPECT_EQ(mixer.node_output[12 * MUDO_MAX_CHANNEL_NODES][0], 777);
    // A resting channel's copy is kept while nothing writes the channel, and retaken after a write.
    mudo_channel& copy = mixer.channels[12 + MUDO_CHANNELS];
    copy.reserved = 777;
    mix(2 * TICK);
    EXPECT_EQ(copy.reserved, 777u);
    mudo_set_channel_mix_vol(12, 64);
    mix(2 * TICK);
    EXPECT_EQ(copy.reserved, 0u);
    mudo_skip_resting_channels = false;
    mix(2 * TICK);
    EXPECT_EQ(mixer.node_output[12 * MUDO_MAX_CHANNEL_NODES][0], 0);
    mudo_skip_resting_channels = true;
}

// Buffers known to hold silence (as all are at the first start) stay unwritten while channels
// without nodes tick, so their pages are never touched; a mark stands for such a page. Sound
// brings the clearing back.
TEST_F(Mixing, BuffersKnownSilentAreNeitherClearedNorSummed) {
    const_instrument(1, 8192);
    for (int32_t& s : mixer.silent_node_samples) s = MUDO_NODE_BUFFER;
    for (int32_t& s : mixer.silent_output_frames) s = MUDO_NODE_BUFFER;
    int16_t& node = mixer.node_output[5 * MUDO_MAX_CHANNEL_NODES + 3][10];
    int16_t& copy = mixer.node_output[(5 + MUDO_CHANNELS) * MUDO_MAX_CHANNEL_NODES][10];
    int16_t& output = mixer.channel_output[5][20];
    node = copy = output = 777;
    std::vector<int16_t> quiet = mix(3 * TICK);
    EXPECT_EQ(std::count(quiet.begin(), quiet.end(), 0), (long)quiet.size());
    EXPECT_EQ(node, 777);
    EXPECT_EQ(copy, 777);
    EXPECT_EQ(output, 777);

    for (int c = 0; c < MUDO_CHANNELS; c++) mudo_set_channel_base_addr(c, BASE);
    mudo_set_note(5, 48, 1, 64, 0, 0, 1, MUDO_NO_PAN);
    std::vector<int16_t> loud = mix(3 * TICK);
    EXPECT_NE(std::count(loud.begin(), loud.end(), 0), (long)loud.size());
    EXPECT_EQ(node, 0);
    EXPECT_EQ(mixer.silent_node_samples[5], 0);
    EXPECT_LT(mixer.silent_output_frames[5], 512);
    // Nothing is known of the buffers the marks were put in behind the mixer's back.
    for (int32_t& s : mixer.silent_node_samples) s = 0;
    for (int32_t& s : mixer.silent_output_frames) s = 0;
}
