// The synthesiser's state: the mixer record, the constant tables, reads of the owner's
// memory, channel defaults and the state readers.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "audio/mudo.h"
#include "base/machine.h"
#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "platform/audio_device.h"

mudo_mixer mixer;
// Page-aligned so that clearing it hands back every one of its pages.
alignas(4096) int16_t last_mixed_out[MUDO_LAST_MIXED_FRAMES * 2];
int32_t last_num_samples_mixed = 0;

static bool mudo_inited = false;
uint64_t mudo_rng_state[4] = {0x9E3779B97F4A7C15ull, 0xBF58476D1CE4E5B9ull, 0x94D049BB133111EBull, 1};

const int32_t vib_mag[16] = {16, 20, 24, 28, 32, 36, 40, 44, 48, 56, 64, 80, 96, 128, 192, 256};
const int32_t trem_mag[16] = {16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256};
const int32_t vib_spd[16] = {0, 1, 2, 3, 4, 6, 8, 10, 12, 14, 16, 20, 24, 32, 48, 64};
const int32_t fade_spd[16] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 48, 64};
const uint64_t mudo_note_dx[13] = {523, 554, 587, 622, 659, 698, 740, 784, 831, 880, 932, 985, 1046};
const char effect_digit_remap[5] = {'s', 'v', '-', '<', '>'};

const int32_t stereo_contrib[] = {  // sized by its declaration: 257 entries
    4096, 4095, 4093, 4092, 4090, 4089, 4087, 4086, 4084, 4083, 4081, 4080, 4078, 4077, 4075, 4074,
    4072, 4070, 4069, 4067, 4065, 4063, 4062, 4060, 4058, 4056, 4054, 4052, 4050, 4048, 4045, 4043,
    4041, 4038, 4036, 4034, 4031, 4028, 4026, 4023, 4020, 4017, 4014, 4011, 4008, 4005, 4002, 3999,
    3995, 3992, 3988, 3984, 3980, 3977, 3973, 3969, 3964, 3960, 3956, 3951, 3946, 3942, 3937, 3932,
    3927, 3922, 3916, 3911, 3905, 3900, 3894, 3888, 3882, 3875, 3869, 3862, 3856, 3849, 3842, 3835,
    3828, 3820, 3813, 3805, 3797, 3789, 3781, 3772, 3764, 3755, 3746, 3737, 3728, 3719, 3709, 3699,
    3690, 3679, 3669, 3659, 3648, 3637, 3626, 3615, 3604, 3592, 3580, 3569, 3556, 3544, 3532, 3519,
    3506, 3493, 3480, 3466, 3452, 3439, 3424, 3410, 3396, 3381, 3366, 3351, 3336, 3320, 3304, 3289,
    3272, 3256, 3240, 3223, 3206, 3189, 3172, 3154, 3136, 3118, 3100, 3082, 3064, 3045, 3026, 3007,
    2988, 2968, 2948, 2929, 2908, 2888, 2868, 2847, 2826, 2805, 2784, 2763, 2741, 2719, 2698, 2675,
    2653, 2631, 2608, 2585, 2562, 2539, 2516, 2492, 2469, 2445, 2421, 2397, 2373, 2348, 2324, 2299,
    2274, 2249, 2224, 2198, 2173, 2147, 2122, 2096, 2070, 2043, 2017, 1991, 1964, 1938, 1911, 1884,
    1857, 1830, 1802, 1775, 1748, 1720, 1692, 1664, 1636, 1608, 1580, 1552, 1524, 1495, 1467, 1438,
    1410, 1381, 1352, 1323, 1294, 1265, 1236, 1207, 1178, 1148, 1119, 1089, 1060, 1030, 1000, 971,
    941,  911,  881,  851,  821,  791,  761,  731,  701,  671,  641,  610,  580,  550,  519,  489,
    458,  428,  398,  367,  336,  306,  275,  245,  214,  184,  153,  122,  92,   61,   31,   0,
    0};

// ---- Reading the owner's memory ------------------------------------------------------------------

uint32_t mudo_pattern_address(uint32_t base, int64_t pattern) {
    return (uint32_t)(((uint64_t)base + MUDO_PATTERNS_OFFSET + (uint64_t)pattern * MUDO_PATTERN_SIZE) & ADDRESS_MASK);
}

uint32_t mudo_instrument_address(uint32_t base, uint32_t instrument) {
    return (uint32_t)(((uint64_t)base + MUDO_INSTRUMENTS_OFFSET + (uint64_t)instrument * MUDO_INSTRUMENT_SIZE) &
                      ADDRESS_MASK);
}

uint32_t mudo_track_address(uint32_t base, int64_t track) {
    return (uint32_t)(((uint64_t)base + MUDO_TRACKS_OFFSET + (uint64_t)track * MUDO_TRACK_SIZE) & ADDRESS_MASK);
}

int32_t mudo_duration(uint32_t v) {
    v &= 255;
    if (v < 16) return (int32_t)v;
    if (v < 32) return 2 * (int32_t)v - 16;
    if (v < 64) return 4 * (int32_t)v - 80;
    if (v < 128) return 8 * (int32_t)v - 336;
    return 16 * (int32_t)v - 1360;
}

int32_t mudo_channel_speed(const mudo_channel& ch) {
    return ch.track_active && ch.speed > 0 ? (int32_t)ch.speed : 16;
}

uint32_t mudo_rand() { return (uint32_t)(xoshiro256ss(mudo_rng_state) >> 33); }

// ---- State ----------------------------------------------------------------------------------------

void mudo_init() {
    if (mudo_inited) return;
    mudo_inited = true;
    // The mixer is static and nothing has mixed before this first call: its records are still
    // zero and its 20 MB of buffers silence, which they stay, untouched, until they sound.
    for (int c = 0; c < MUDO_CHANNELS; c++) mixer.channels[c].index = (uint32_t)c;
    for (int32_t& s : mixer.silent_node_samples) s = MUDO_NODE_BUFFER;
    for (int32_t& s : mixer.silent_output_frames) s = MUDO_NODE_BUFFER;
}

void mudo_set_volume(int32_t v) { mixer.master_volume = (uint32_t)(v < 0 ? 0 : v > 256 ? 256 : v); }

void mudo_set_stereo_swap(uint32_t flag) { mixer.stereo_swap = flag; }

static bool live_channel(int channel) { return channel >= 0 && channel < MUDO_CHANNELS; }

void reset_channel_state(int channel) {
    if (!live_channel(channel)) return;
    mudo_channel_written(channel);
    mudo_channel& ch = mixer.channels[channel];
    ch.prev_volume = ch.volume;
    ch.prev_pan = ch.pan;
    ch.prev_pitch = ch.pitch;
    ch.prev_reserved = ch.reserved;
    if (ch.note_on) ch.ticks_since_release = 0;
    ch.note_on = 0;
    ch.track_active = 0;
    ch.instrument = MUDO_NO_INSTRUMENT;
    ch.volume = 0;
    ch.pan = 0;
    ch.pitch = 48;
    ch.reserved = 0;
    ch.current_pitch = 48 << 16;
    ch.current_volume = 0;
    ch.pitch_step = ch.volume_step = 0;
    ch.last_pitch = ch.last_volume = ch.last_instrument = MUDO_NOT_GIVEN;
    ch.mix_volume = 64;
    ch.samples_per_tick = MUDO_SAMPLES_PER_TICK;
    point_channel_node_outputs(channel);
    grab_node_tree(channel);
    prepare_nodes_for_new_instrument(channel);
}

void mudo_kill_all_audio() {
    for (int c = 0; c < MUDO_CHANNELS; c++) reset_channel_state(c);
    mudo_stop_music();
}

void mudo_clear_for_boot() {
    mudo_kill_all_audio();
    mixer.fade_length = mixer.fade_counter = 0;
    mixer.fade_start = mixer.fade_target = 0;
    mixer.music_volume = 0;
    mixer.sample_accumulator = 0;
    mudo_memset(0, 0, ADDRESS_SPACE_SIZE);
    // Pages the block never took (all of them at the first boot) are not touched.
    clear_to_fresh_pages(last_mixed_out, sizeof(last_mixed_out));
    last_num_samples_mixed = 0;
}

void mudo_set_channel_mix_vol(int channel, int64_t v) {
    if (!live_channel(channel)) return;
    mudo_channel_written(channel);
    mixer.channels[channel].mix_volume = (uint32_t)(v & 255);
}

void mudo_set_channel_base_addr(int channel, int64_t address) {
    if (!live_channel(channel)) return;
    mudo_channel_written(channel);
    mixer.channels[channel].base_address =
        (uint32_t)(address < 0 ? 0 : address > MUDO_MAX_CHANNEL_BASE ? MUDO_MAX_CHANNEL_BASE : address);
}

uint32_t mudo_anything_is_playing() {
    uint32_t bits = 0;
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        const mudo_channel& ch = mixer.channels[c];
        if (ch.track_active || (ch.instrument != MUDO_NO_INSTRUMENT && ch.note_on)) bits |= 1u << c;
    }
    return bits;
}

uint32_t mudo_get_active_channels() {
    uint32_t bits = 0;
    for (int c = 0; c < MUDO_CHANNELS; c++)
        if (mixer.channels[c].track_active) bits |= 1u << c;
    return bits;
}

int32_t get_leftmost_nonlooping_channel() {
    for (int c = 0; c < 8; c++) {
        const mudo_channel& ch = mixer.channels[c];
        if (ch.track_active && (mixer.music_mask >> c & 1) && ch.loop_start >= ch.loop_end) return c;
    }
    return -1;
}

int32_t mudo_get_music_state(int32_t selector) {
    if (selector == 0) return mixer.music_playing ? mixer.pattern : -1;
    if (selector == 1) {
        int32_t c = get_leftmost_nonlooping_channel();
        return c < 0 ? 0 : c;
    }
    return -1;
}

int32_t mudo_get_channel_state(int32_t channel, int32_t selector, int16_t* destination) {
    if (channel == -1 && selector == -1) {
        int32_t n = last_num_samples_mixed < 0 ? 0 : last_num_samples_mixed;
        if (n > MUDO_LAST_MIXED_FRAMES) n = MUDO_LAST_MIXED_FRAMES;
        if (destination) memcpy(destination, last_mixed_out, (size_t)n * 4);
        return n;
    }
    if (!live_channel(channel) || selector < 0) return -1;
    const mudo_channel& ch = mixer.channels[channel];
    if (selector == 0) return (int32_t)ch.note_on;
    int32_t count = (int32_t)(ch.samples_per_tick > (uint32_t)MUDO_NODE_BUFFER ? MUDO_NODE_BUFFER : ch.samples_per_tick);
    if (selector == 19) {
        if (!destination) return -1;
        memcpy(destination, mixer.channel_output[channel], (size_t)count * 4);
        return count;
    }
    if (selector >= 20 && selector <= 27) {
        if (!destination) return -1;
        memcpy(destination, mixer.node_output[channel * MUDO_MAX_CHANNEL_NODES + (selector - 20)], (size_t)count * 2);
        return count;
    }
    if (selector > 15) return -1;
    if (!ch.track_active && ch.instrument == MUDO_NO_INSTRUMENT) return -1;
    switch (selector) {
    case 1: return (int32_t)ch.instrument;
    case 2: return (int32_t)ch.volume;
    case 3: return ch.pan;
    case 4: return (int32_t)ch.pitch;
    case 5: return (int32_t)ch.reserved;
    case 6: return (int32_t)ch.effect;
    case 7: return (int32_t)ch.effect_param;
    case 8: return (int32_t)ch.samples_per_tick;
    case 9: return ch.row;
    case 10: return (int32_t)ch.tick;
    case 11: return (int32_t)ch.ticks_played;
    case 12: return ch.track_active ? ch.track_index : -1;
    case 13: return ch.track_index;
    case 14: return (int32_t)ch.mix_volume;
    default: return (int32_t)ch.base_address;
    }
}

// ---- the mixer's copy of the owner's memory -------------------------------------------------

namespace {

void copy_page_to_mixer(const page_table& pt, uint32_t page) {
    uint32_t base = page * PAGE_SIZE;
    int32_t mapped = std::clamp((int32_t)pt.mapped[page], 0, (int32_t)PAGE_SIZE);
    if (mapped > 0 && pt.page[page]) mudo_memcpy(base, pt.page[page], (uint32_t)mapped);
    else mapped = 0;
    uint32_t rest = PAGE_SIZE - (uint32_t)mapped;
    if (rest == 0) return;
    if (const uint8_t* own = page_owned(pt, page))
        mudo_memcpy(base + mapped, own + mapped, rest);
    else
        mudo_memset(base + mapped, 0, rest);
}

}  // namespace

// ---- the audio bracket --------------------------------------------------------------------

int audio_op_start(int64_t id, int force) {
    if (id >= 1 && id <= 3) {
        app.audio_owner = id;
    } else if (id >= 4 && id != app.audio_owner) {
        os_lock_audio();
        uint32_t playing = mudo_anything_is_playing();
        os_unlock_audio();
        process_record* owner = get_process(app.audio_owner);
        process_record* claimant = get_process(id);
        uint32_t claim_priority = claimant ? claimant->audio_priority : 0;
        if (playing && owner && owner->audio_priority > claim_priority) return 1;
        app.audio_owner = id;
    }

    os_lock_audio();
    process_record* owner = get_process(app.audio_owner);
    if (!owner) {
        if (app.audio_owner != -2) {
            mudo_memset(0, 0, ADDRESS_SPACE_SIZE);
            app.audio_owner = -2;
            mudo_kill_all_audio();
        }
        os_unlock_audio();
        return 1;
    }
    bool changed = owner->id != app.audio_mirror_id;
    page_table& pt = owner->pages;
    if (changed) {
        // A new owner: its whole space. Pages it never touched read zero in the cleared copy and
        // are not written, so they take no memory there.
        // Only blocks of pages with something in them are looked at: a page shows bytes only
        // when it is owned, shared or points into an array.
        mudo_memset(0, 0, ADDRESS_SPACE_SIZE);
        for (uint32_t b = 0; b < PAGE_BLOCKS; b++) {
            if (!pt.owned[b] && !pt.shared_map[b] && !pt.userdata_map[b]) continue;
            for (uint32_t p = b * PAGE_BLOCK; p < (b + 1) * PAGE_BLOCK; p++) {
                if ((pt.mapped[p] > 0 && pt.page[p]) || page_owned(pt, p)) copy_page_to_mixer(pt, p);
                pt.flags[p] &= (uint8_t)~PAGE_WRITTEN;
            }
        }
        clear_written_list(pt);
    } else if (force) {
        // Only the pages written since the last copy (every marked page when the list
        // could not hold them all).
        if (pt.written_all) {
            for (uint32_t p = 0; p < PAGE_COUNT; p++) {
                if (!(pt.flags[p] & PAGE_WRITTEN)) continue;
                copy_page_to_mixer(pt, p);
                pt.flags[p] &= (uint8_t)~PAGE_WRITTEN;
            }
        } else {
            for (int32_t i = 0; i < pt.written_count; i++) {
                uint32_t p = pt.written[i];
                copy_page_to_mixer(pt, p);
                pt.flags[p] &= (uint8_t)~PAGE_WRITTEN;
            }
        }
        clear_written_list(pt);
    }
    if (changed) mudo_kill_all_audio();
    app.audio_mirror_id = owner->id;
    return 0;
}

void audio_op_end() { os_unlock_audio(); }

void mudo_memset(uint32_t address, uint8_t value, uint32_t length) {
    if (address >= ADDRESS_SPACE_SIZE) return;
    length = std::min(length, ADDRESS_SPACE_SIZE - address);
    if (value == 0 && length >= 16 * PAGE_SIZE) clear_to_fresh_pages(mixer_ram + address, length);
    else memset(mixer_ram + address, value, length);
}

void mudo_memcpy(uint32_t address, const uint8_t* source, uint32_t length) {
    if (address >= ADDRESS_SPACE_SIZE || !source) return;
    length = std::min(length, ADDRESS_SPACE_SIZE - address);
    memcpy(mixer_ram + address, source, length);
}
