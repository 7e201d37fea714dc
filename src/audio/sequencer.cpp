// The tracker sequencer: notes on channels, tracks of rows with their effects, patterns of
// tracks played as music, and the music's volume fades.
#include <algorithm>
#include <cstring>

#include "audio/mudo.h"

namespace {

int choose_offset = 0;  // rotating start of the automatic channel choice

bool live_channel(int64_t c) { return c >= 0 && c < MUDO_CHANNELS; }

int32_t clamp32(int64_t v, int64_t lo, int64_t hi) { return (int32_t)std::clamp(v, lo, hi); }

uint32_t remap_effect_digit(uint32_t e) { return e >= '1' && e <= '5' ? (uint32_t)effect_digit_remap[e - '1'] : e; }

void note_off(int c) { mudo_set_note(c, 255, 255, 255, 255, 255, 0, MUDO_NO_PAN); }

void stop_track(int c) {
    note_off(c);
    mudo_channel& ch = mixer.channels[c];
    ch.track_active = 0;
    ch.note_on = 0;
}

// The five bytes of the row now playing, 255 each where the row is outside the track.
struct track_row {
    uint32_t pitch, instrument, volume, effect, param;
    bool valid;
};

track_row read_row(const mudo_channel& ch) {
    if (ch.row < 0 || ch.row >= ch.end_row) return {255, 255, 255, 255, 255, false};
    uint64_t a = (uint64_t)ch.track_address + 8 + (uint64_t)ch.row, len = ch.track_length;
    return {mudo_peek(a), mudo_peek(a + len), mudo_peek(a + 2 * len), mudo_peek(a + 3 * len), mudo_peek(a + 4 * len),
            true};
}

void start_row_note(int c, const track_row& r, bool retrigger) {
    mudo_set_note(c, r.pitch, r.instrument, r.volume, r.effect, r.param, retrigger ? 1 : 0, MUDO_NO_PAN);
}

// Moves a 16.16 value by a step toward a target, stopping there.
int32_t step_toward(int32_t value, int32_t step, int32_t target) {
    int64_t v = (int64_t)value + step;
    if (step >= 0 ? v > target : v < target) return target;
    return (int32_t)v;
}

int32_t signed_toward(int32_t from, int32_t to, int32_t magnitude) { return to >= from ? magnitude : -magnitude; }

}  // namespace

// ---- Notes ----------------------------------------------------------------------------------------

void mudo_set_note(int64_t channel, int64_t pitch, int64_t instrument, int64_t volume, int64_t effect,
                   int64_t effect_param, int64_t retrigger, int64_t pan) {
    if (channel == -1) {
        for (int c = 0; c < MUDO_CHANNELS; c++) reset_channel_state(c);
        mudo_stop_music();
        return;
    }
    if (!live_channel(channel)) return;
    int c = (int)channel;
    mudo_channel_written(c);
    mudo_channel& ch = mixer.channels[c];
    ch.samples_per_tick = MUDO_SAMPLES_PER_TICK;
    if (instrument < 0 || instrument > 255) {
        reset_channel_state(c);
        return;
    }
    bool pitch_given = pitch != MUDO_NOT_GIVEN, volume_given = volume != MUDO_NOT_GIVEN;
    bool instrument_given = instrument != MUDO_NOT_GIVEN;
    uint32_t p = (uint32_t)std::clamp<int64_t>(pitch, 0, 255), v = (uint32_t)std::clamp<int64_t>(volume, 0, 255);

    ch.prev_volume = ch.volume;
    ch.prev_pan = ch.pan;
    ch.prev_pitch = ch.pitch;
    ch.prev_reserved = ch.reserved;
    ch.last_pitch = p;
    ch.last_volume = v;
    ch.last_instrument = (uint32_t)instrument;

    uint32_t old_instrument = ch.instrument;
    if (pitch_given) ch.pitch = p;
    if (instrument_given) ch.instrument = (uint32_t)instrument;
    if (volume_given) ch.volume = v;
    if (effect == MUDO_NOT_GIVEN) {
        ch.effect = remap_effect_digit(ch.effect);
    } else {
        ch.effect = remap_effect_digit((uint32_t)(effect & 255));
        ch.effect_param = (uint32_t)(effect_param & 255);
    }

    bool was_on = ch.note_on != 0;
    ch.note_on = pitch_given ? 1 : 0;
    if (!pitch_given && was_on) ch.ticks_since_release = 0;
    if (pitch_given && !was_on) ch.ticks_since_note_on = 0;

    bool instrument_changed = ch.instrument != old_instrument;
    if (instrument_changed) {
        grab_node_tree(c);
        prepare_nodes_for_new_instrument(c);
    }

    if (!ch.track_active) {
        ch.current_pitch = (int32_t)(ch.pitch << 16);
        ch.current_volume = (int32_t)(ch.volume << 16);
    } else if (ch.tick == 0 && ch.effect != 's') {
        if (pitch_given) ch.current_pitch = (int32_t)(ch.pitch << 16);
        if (volume_given && ch.effect != 'f') ch.current_volume = (int32_t)(ch.volume << 16);
    }

    if (ch.note_on) {
        bool again = (instrument_given && !was_on) ||
                     (instrument_given && ch.pitch != ch.prev_pitch && ch.effect != 's') ||
                     (instrument_given && (ch.instrument_flags & 1)) || instrument_changed || retrigger != 0 ||
                     ch.effect == 'r';
        if (again) {
            ch.reserved = 0;
            ch.lfo_phase = 0;
            retrigger_channel_nodes(c);
        }
    }

    if (pan != MUDO_NO_PAN) ch.pan = clamp32(pan, -127, 127);
    if (ch.effect == 'p') ch.pan = (int32_t)ch.effect_param - 128;
}

void kill_channel(int channel, bool reset) {
    if (!live_channel(channel)) return;
    if (reset) reset_channel_state(channel);
    else stop_track(channel);
}

// ---- Tracks ---------------------------------------------------------------------------------------

void update_channel_track_tick(int channel) {
    if (!live_channel(channel)) return;
    mudo_channel& ch = mixer.channels[channel];
    grab_node_tree(channel);
    if (!ch.track_active) return;
    track_row r = read_row(ch);
    int32_t speed = mudo_channel_speed(ch);

    if (ch.tick != 0) {
        if (ch.row_effect == 'd' && ch.tick == ch.row_effect_param) start_row_note(channel, r, true);
        else if (ch.effect == 'r' && ch.effect_param >= 1 && ch.tick % ch.effect_param == 0)
            start_row_note(channel, r, true);
    } else if (ch.rows_to_skip > 0) {
        ch.rows_to_skip--;
    } else if (!r.valid) {
        note_off(channel);
        ch.row_effect = ch.row_effect_param = 0;
        if (ch.row >= ch.end_row && ch.loop_start >= ch.loop_end) {
            stop_track(channel);
            return;
        }
    } else {
        ch.row_effect = r.effect;
        ch.row_effect_param = r.param;
        if (!(r.effect == 'd' && r.param > 0)) start_row_note(channel, r, false);
    }

    uint32_t e = ch.effect, p = ch.effect_param & 255;
    if (e == 'c' && ch.tick == p) {
        ch.instrument = MUDO_NO_INSTRUMENT;
        grab_node_tree(channel);
        prepare_nodes_for_new_instrument(channel);
        return;
    }

    int32_t target_pitch = (int32_t)(ch.pitch << 16), target_volume = (int32_t)(ch.volume << 16);
    if (ch.tick == 0 && (e == 's' || e == 'f')) {
        if (p == 0) {
            ch.pitch_step = (int32_t)(((int64_t)target_pitch - ch.current_pitch) / speed);
            ch.volume_step = (int32_t)(((int64_t)target_volume - ch.current_volume) / speed);
        } else {
            ch.pitch_step = signed_toward(ch.current_pitch, target_pitch, mudo_duration(p) << 8);
            if (e == 's') ch.volume_step = (int32_t)(((int64_t)target_volume - ch.current_volume) / speed);
            else ch.volume_step = signed_toward(ch.current_volume, target_volume, mudo_duration(p) << 10);
        }
    }

    bool row_pitch = r.pitch != MUDO_NOT_GIVEN, row_volume = r.volume != MUDO_NOT_GIVEN;
    switch (e) {
    case '+':
    case '-': {
        int64_t rate = (int64_t)mudo_duration(p ? p : (e == '+' ? 16 : 240)) * 128;
        int64_t moved = (int64_t)ch.current_pitch + (e == '+' ? rate : -rate);
        ch.current_pitch = (int32_t)std::clamp<int64_t>(moved, 0, 0xffffff);
        if (row_volume) ch.current_volume = (int32_t)(r.volume << 16);
        break;
    }
    case 's':
        ch.current_pitch = step_toward(ch.current_pitch, ch.pitch_step, target_pitch);
        if (row_volume) ch.current_volume = step_toward(ch.current_volume, ch.volume_step, target_volume);
        break;
    case 'f':
        if (row_pitch) ch.current_pitch = (int32_t)(r.pitch << 16);
        ch.current_volume = step_toward(ch.current_volume, ch.volume_step, target_volume);
        break;
    default:
        if (row_pitch) ch.current_pitch = (int32_t)(r.pitch << 16);
        if (row_volume) ch.current_volume = (int32_t)(r.volume << 16);
        break;
    }
}

void advance_channel_track_row(int channel) {
    if (!live_channel(channel)) return;
    mudo_channel& ch = mixer.channels[channel];
    if (!ch.track_active) return;
    ch.tick++;
    ch.ticks_played++;
    if (ch.tick < (uint32_t)mudo_channel_speed(ch)) return;
    ch.row++;
    if (ch.stop_row != 0 && ch.row >= (int32_t)ch.stop_row) stop_track(channel);
    if (ch.row >= (int32_t)ch.loop_end && ch.loop_end > ch.loop_start) ch.row = (int32_t)ch.loop_start;
    ch.tick = 0;
}

namespace {

// The automatic choice: a channel that already plays this track, then a free channel among
// 8..15, then any channel outside the music's; -1 when none.
int choose_channel(int64_t track) {
    int o = (choose_offset + 1) % MUDO_CHANNELS;
    choose_offset = o;
    auto in_mask = [](int c) { return (mixer.music_mask >> c) & 1; };
    for (int i = 0; i < MUDO_CHANNELS; i++) {
        int c = (o + i) % MUDO_CHANNELS;
        const mudo_channel& ch = mixer.channels[c];
        if (!ch.music_owned && ch.track_active && ch.track_index == track) return c;
    }
    for (int i = 0; i < 8; i++) {
        int c = 8 + (o + i) % 8;
        if (!in_mask(c) && !mixer.channels[c].track_active) return c;
    }
    for (int i = 0; i < MUDO_CHANNELS; i++) {
        int c = ((o - i) % MUDO_CHANNELS + MUDO_CHANNELS) % MUDO_CHANNELS;
        if (!in_mask(c)) return c;
    }
    return -1;
}

void track_command(int64_t command, int64_t channel, int64_t value) {
    int first = 0, last = MUDO_CHANNELS - 1;
    if (channel >= 0) first = last = (int)std::min<int64_t>(channel, MUDO_CHANNELS - 1);
    for (int c = first; c <= last; c++) {
        mudo_channel_written(c);
        mudo_channel& ch = mixer.channels[c];
        switch (command) {
        case -1: kill_channel(c, false); break;
        case -2: kill_channel(c, true); break;
        case -3: ch.loop_end = 0; break;
        case -4: ch.mix_volume = (uint32_t)std::clamp<int64_t>(value, 0, 255); break;
        default: break;
        }
    }
}

}  // namespace

int32_t mudo_play_track(int64_t track, int64_t channel, int64_t first_row, int64_t num_rows, bool keep, int64_t pan,
                        int64_t mix_volume, uint32_t base, int64_t start_tick) {
    if (track < 0) {
        track_command(track, channel, first_row);
        return -1;
    }
    int c;
    if (channel == -1) c = choose_channel(track);
    else if (live_channel(channel)) c = (int)channel;
    else return -1;
    if (c < 0) return -1;
    mudo_channel_written(c);
    mudo_channel& ch = mixer.channels[c];
    if (!keep) {
        ch.instrument = MUDO_NO_INSTRUMENT;
        ch.volume = 0;
        ch.pan = 0;
        ch.pitch = 48;
        ch.note_on = 0;
        ch.reserved = 0;
        ch.current_pitch = 48 << 16;
        ch.current_volume = 0;
        ch.last_instrument = MUDO_NOT_GIVEN;
        ch.mix_volume = 64;
    }
    base &= ADDRESS_MASK;
    ch.track_active = 1;
    ch.track_index = (int32_t)std::clamp<int64_t>(track, 0, INT32_MAX);
    ch.base_address = std::min(base, MUDO_MAX_CHANNEL_BASE);
    ch.track_address = mudo_track_address(base, track);
    uint32_t a = ch.track_address;
    uint32_t length = (uint32_t)mudo_peek(a) | (uint32_t)mudo_peek((uint64_t)a + 1) << 8;
    ch.track_length = length ? length : 1;
    ch.speed = mudo_peek((uint64_t)a + 2) ? mudo_peek((uint64_t)a + 2) : 16;
    ch.loop_start = mudo_peek((uint64_t)a + 3);
    ch.loop_end = mudo_peek((uint64_t)a + 4);
    ch.rows_to_skip = mudo_peek((uint64_t)a + 5);
    ch.track_stored_byte = mudo_peek((uint64_t)a + 6);
    ch.ticks_played = 0;
    // Rows and ticks far outside a track's reach are held where they still count.
    first_row = std::clamp<int64_t>(first_row, -0x1000000, 0x1000000);
    num_rows = std::clamp<int64_t>(num_rows, -0x1000000, 0x1000000);
    start_tick = std::clamp<int64_t>(start_tick, 0, INT32_MAX);
    ch.stop_row = num_rows != 0 ? (uint32_t)(first_row + num_rows) : 0;
    ch.row = (int32_t)(first_row + start_tick / ch.speed);
    ch.tick = (uint32_t)(start_tick % ch.speed);
    bool loops = ch.loop_start < ch.loop_end;
    ch.end_row = (int32_t)(loops || ch.loop_start == 0 ? ch.track_length : std::min(ch.track_length, ch.loop_start));
    if (pan != MUDO_NO_PAN) ch.pan = clamp32(pan, -128, 127);
    if (!keep) ch.mix_volume = (uint32_t)(mix_volume & 255);
    return c;
}

// ---- Music ----------------------------------------------------------------------------------------

namespace {

uint8_t pattern_byte(int64_t pattern, uint32_t offset) {
    return mudo_peek((uint64_t)mudo_pattern_address(mixer.music_base, pattern) + offset);
}

// Ticks of a fade given in milliseconds (a negative time counts as 0).
int64_t fade_ticks(int64_t ms) {
    ms = std::clamp<int64_t>(ms, 0, INT64_MAX / 120);
    return std::min<int64_t>(ms * 120 / 1000, INT32_MAX);
}

// Starts a fade toward target; one shorter than a tick is a jump to it.
void start_fade(uint32_t from, uint32_t target, int64_t ticks) {
    if (ticks < 1) {
        mixer.fade_length = 0;
        mixer.music_volume = target;
        return;
    }
    mixer.fade_start = from;
    mixer.fade_target = target;
    mixer.fade_length = (int32_t)ticks;
    mixer.fade_counter = 0;
    mixer.music_volume = from;
}

}  // namespace

uint32_t calc_pattern_ticks_to_play() {
    int32_t c = get_leftmost_nonlooping_channel();
    if (c < 0) return 0x7fffffff;
    const mudo_channel& ch = mixer.channels[c];
    int64_t ticks = (int64_t)std::max<uint32_t>(ch.speed, 1) * std::max<int32_t>(ch.end_row, 0);
    return (uint32_t)std::min<int64_t>(ticks, 0x7fffffff);
}

void mudo_play_pattern(int64_t pattern, int64_t, int64_t start_tick) {
    if (pattern < 0) return;
    mudo_channel_written(-1);
    mixer.music_playing = 1;
    mixer.pattern = (int32_t)std::min<int64_t>(pattern, INT32_MAX);
    bool was_owned[MUDO_CHANNELS];
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        was_owned[c] = mixer.channels[c].music_owned != 0;
        mixer.channels[c].music_owned = 0;
    }
    uint8_t enabled = pattern_byte(pattern, 9);
    for (int c = 0; c < 8; c++) {
        if (!((mixer.music_mask >> c) & 1)) {
            // A channel the earlier music had but this music leaves alone stops its track.
            if (was_owned[c]) stop_track(c);
            continue;
        }
        if ((enabled >> c) & 1) {
            mudo_play_track(pattern_byte(pattern, (uint32_t)c), c, 0, 0, was_owned[c], MUDO_NO_PAN, 64,
                            mixer.music_base, start_tick);
            mixer.channels[c].music_owned = 1;
        } else {
            stop_track(c);
        }
    }
    uint32_t budget = calc_pattern_ticks_to_play();
    mixer.pattern_tick_budget = budget;
    for (int c = 0; c < MUDO_CHANNELS; c++)
        if (mixer.channels[c].music_owned) mixer.channels[c].music_tick_budget = (int32_t)budget;
}

void mudo_play_music(int64_t pattern, int64_t fade_ms, int64_t channel_mask, uint32_t base, int64_t start_tick) {
    mixer.music_playing = 1;
    mixer.pattern = (int32_t)std::clamp<int64_t>(pattern, INT32_MIN, INT32_MAX);
    mixer.music_base = base & ADDRESS_MASK;
    mixer.music_mask = (uint32_t)(channel_mask & 255);
    mudo_play_pattern(pattern, fade_ms, start_tick);
    if (fade_ms < 1) {
        mixer.fade_length = 0;
        mixer.music_volume = 256;
        return;
    }
    start_fade(mixer.fade_length > 0 ? mixer.music_volume : 0, 256, fade_ticks(fade_ms));
}

void advance_pattern() {
    if (!mixer.music_playing) return;
    int64_t p = mixer.pattern;
    uint8_t flags = pattern_byte(p, 8);
    if (p < 0 || (flags & 4)) {
        mudo_stop_music();
    } else if ((flags & 3) == 3) {
        mudo_play_pattern(p, 0, 0);
    } else if (flags & 2) {
        // The table holds patterns 0..255: a pattern index past it searches from its end, so
        // that a huge index does not hold the audio thread in a search through millions.
        int64_t back = 0;
        for (int64_t q = std::min<int64_t>(p - 1, 255); q >= 0; q--) {
            if (pattern_byte(q, 8) & 1) {
                back = q;
                break;
            }
        }
        mudo_play_pattern(back, 0, 0);
    } else if (p >= 255) {
        mudo_stop_music();
    } else {
        mudo_play_pattern(p + 1, 0, 0);
    }
}

void mudo_stop_music() {
    mudo_channel_written(-1);
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        mudo_channel& ch = mixer.channels[c];
        if (!ch.music_owned) continue;
        reset_channel_state(c);
        ch.music_owned = 0;
        ch.music_tick_budget = 0;
    }
    mixer.music_mask = 0;
    mixer.music_playing = 0;
    mixer.pattern = 0;
    mixer.pattern_tick_budget = 0;
}

void mudo_fade_out_music(int64_t ms) {
    if (ms <= 0) {
        mixer.fade_length = 0;
        mixer.music_volume = 0;
        mudo_stop_music();
        return;
    }
    start_fade(mixer.fade_length > 0 ? mixer.music_volume : 256, 0, fade_ticks(ms));
}

void mudo_update_fade_tick() {
    if (mixer.fade_length <= 0) return;
    int64_t start = mixer.fade_start, target = mixer.fade_target;
    int64_t v = start + (target - start) * mixer.fade_counter / mixer.fade_length;
    mixer.music_volume = (uint32_t)std::clamp<int64_t>(v, 0, 256);
    mixer.fade_counter++;
    if (mixer.fade_counter >= mixer.fade_length) {
        mixer.music_volume = (uint32_t)std::clamp<int64_t>(target, 0, 256);
        mixer.fade_length = 0;
    }
}
