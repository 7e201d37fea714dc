// The node synthesiser: channels, instruments, the tracker sequencer and the mixer
// that renders 44.1 kHz stereo from its own copy of the audio owner's memory.
#pragma once
#include <cstdint>

#include "kernel/memory.h"
#include "platform/audio_device.h"

struct process_record;

// ---- Constants ------------------------------------------------------------------------------------

constexpr uint32_t MUDO_SAMPLES_PER_TICK = 367;  // one tick, about 120 a second
constexpr int MUDO_CHANNELS = 16;                // live channels; 16..31 hold their previous-tick copies
constexpr int MUDO_CHANNEL_SLOTS = 32;
constexpr int MUDO_INSTRUMENT_NODES = 8;
constexpr int MUDO_MAX_CHANNEL_NODES = 9;        // 8 instrument nodes and the stereo node
constexpr int STEREO_NODE_INDEX = 8;
constexpr int MUDO_NODE_PARAMS = 7;
constexpr int32_t MUDO_NODE_BUFFER = 32768;      // samples of every node buffer (and echo line)
constexpr uint32_t MUDO_NO_INSTRUMENT = 255;
constexpr uint32_t MUDO_NOT_GIVEN = 255;         // note arguments and track planes
constexpr int32_t MUDO_ENVELOPE_MAX = 65280;     // envelope levels run 0..65280

// Audio data relative to a base address (a channel's or the music's).
constexpr uint32_t MUDO_PATTERNS_OFFSET = 0x100;   // 256 patterns of 20 bytes
constexpr uint32_t MUDO_PATTERN_SIZE = 20;
constexpr uint32_t MUDO_INSTRUMENTS_OFFSET = 0x10000;
constexpr uint32_t MUDO_INSTRUMENT_SIZE = 512;
constexpr uint32_t MUDO_TRACKS_OFFSET = 0x20000;
constexpr uint32_t MUDO_TRACK_SIZE = 328;
constexpr uint32_t MUDO_ENVELOPES_OFFSET = 0x100;  // inside an instrument: 24-byte envelopes
constexpr uint32_t MUDO_ENVELOPE_SIZE = 24;
constexpr uint32_t MUDO_INSTRUMENT_FLAGS_OFFSET = 479;
constexpr uint32_t MUDO_WAVE_DESCRIPTORS_OFFSET = 480;
constexpr uint32_t MUDO_MAX_CHANNEL_BASE = 0xF00000;

// Node kinds (low nibble of a node entry's byte 1).
enum : uint8_t {
    NODE_SILENT = 0,
    NODE_GROUP = 1,
    NODE_OSCILLATOR = 2,
    NODE_FILTER = 8,
    NODE_ECHO = 9,
    NODE_GAIN = 10,
};
// Ops a child oscillator applies to its parent's buffer.
enum : uint8_t { NODE_OP_ADD = 0, NODE_OP_FM = 1, NODE_OP_MULTIPLY = 2, NODE_OP_XOR = 3, NODE_OP_OR = 4 };
// Node flag bits.
constexpr uint16_t NODE_FLAG_MUTED = 0x02;
constexpr uint16_t NODE_FLAG_KEEP_PHASE = 0x08;
// Instrument flag bits.
constexpr uint32_t INSTRUMENT_FLAG_WIDE = 0x02;

// ---- Records --------------------------------------------------------------------------------------

struct node_state {
    uint32_t entry;             // address of the node's 32-byte entry
    uint64_t phase;             // 16.16 sample position in the wave
    uint64_t phase_step;
    uint32_t ratio_numerator, ratio_denominator;
    int32_t params[MUDO_NODE_PARAMS];  // 16.16
    int32_t env_ticks[MUDO_NODE_PARAMS];
    uint32_t random_values[MUDO_NODE_PARAMS];  // 0..65279
    uint64_t held_levels[MUDO_NODE_PARAMS];
    uint8_t parent, op, kind, wave;
    uint16_t flags;
    uint32_t twin;              // 1: the right-channel twin of a wide effect node
    int32_t twin_index;         // -1: none
    uint32_t depth;
    int32_t fm_shift;
    uint32_t wave_address, wave_log2_width, wave_width, wave_count;
    int64_t filter_state[3];
    uint32_t echo_pos;
    int64_t echo_prev_delay, echo_prev_level;  // -1: none yet
    int16_t* fm_input;          // a child's output used as frequency modulation, or null
    int16_t* output;            // this node's buffer (an echo node's delay line)
};

struct mudo_channel {
    uint32_t index;
    uint32_t mix_volume;        // 0..255, 64 = unity
    uint32_t base_address;
    uint32_t instrument;        // 255 = none
    uint32_t volume;
    int32_t pan;                // -128..127
    uint32_t pitch;             // semitone number
    uint32_t reserved;
    int32_t current_pitch;      // 16.16 semitones
    int32_t pitch_step;
    int32_t current_volume;     // 16.16
    int32_t volume_step;
    uint32_t prev_volume;
    int32_t prev_pan;
    uint32_t prev_pitch, prev_reserved;
    uint32_t effect, effect_param;
    uint32_t note_on;
    uint32_t ticks_since_note_on, ticks_since_release;
    int32_t lfo_phase;          // 0..65535 per cycle
    uint32_t arp_step, arp_ticks, alt_state, alt_ticks;
    uint32_t tree_depth;
    uint32_t instrument_flags, wide;
    uint32_t last_pitch, last_volume, last_instrument;
    uint32_t row_effect, row_effect_param;
    int32_t prev_gain_left, prev_gain_right;
    node_state nodes[MUDO_MAX_CHANNEL_NODES];
    node_state prev_nodes[MUDO_MAX_CHANNEL_NODES];
    // Track state.
    uint32_t track_active;
    uint32_t ticks_played;
    int32_t row;
    uint32_t tick;              // within the row
    uint32_t stop_row;          // 0 = none
    int32_t track_index;
    uint32_t track_address;
    uint32_t track_length;      // rows
    uint32_t speed;             // ticks per row
    uint32_t loop_start, loop_end;
    uint32_t rows_to_skip;
    uint32_t track_stored_byte;
    int32_t end_row;
    uint32_t music_owned;
    int32_t music_tick_budget;
    uint32_t samples_per_tick;
    uint32_t tick_samples_done;
    uint32_t tick_samples;
};

struct mudo_mixer {
    mudo_channel channels[MUDO_CHANNEL_SLOTS];
    uint32_t master_volume;     // 0..256; only 0 has an effect
    uint32_t unused_word;
    uint32_t stereo_swap;
    uint32_t music_base;
    uint32_t music_mask;
    uint32_t music_playing;
    int32_t pattern;
    uint32_t pattern_tick_budget;
    uint32_t tick_counter;
    int32_t fade_length, fade_counter;
    uint32_t fade_start, fade_target;
    uint32_t music_volume;      // 0..256
    uint32_t sample_accumulator;
    // Per live channel: ticks in a row (at most 2) that started at rest with the same tick
    // length, and that length; the mixer skips rendering a channel settled at rest.
    uint8_t rest_ticks[MUDO_CHANNELS];
    int32_t rest_samples[MUDO_CHANNELS];
    // Per live channel: bumped by every write to its record (or its copy's) that the mixer's
    // ticks at rest did not make (mudo_channel_written()).
    uint32_t channel_writes[MUDO_CHANNELS];
    // Per live channel: its previous-tick copy and node records are what a tick at rest
    // would write (but for the counters the tick moves), as of channel_writes equal to
    // rest_copy_writes; and the frames at the start of its channel_output known to be silence.
    uint8_t rest_copy_current[MUDO_CHANNELS];
    uint32_t rest_copy_writes[MUDO_CHANNELS];
    int32_t silent_output_frames[MUDO_CHANNELS];
    // Per slot: the samples at the start of every one of its node buffers (the stereo node's
    // included) known to be silence; a tick of a slot without nodes neither clears nor reads
    // them, and its sound there is silence. 0 knows nothing; the first mudo_init() knows the
    // untouched buffers whole.
    int32_t silent_node_samples[MUDO_CHANNEL_SLOTS];
    int16_t node_output[MUDO_CHANNEL_SLOTS * MUDO_MAX_CHANNEL_NODES][MUDO_NODE_BUFFER];
    int16_t channel_output[MUDO_CHANNELS][MUDO_NODE_BUFFER * 2];  // stereo frames
};

extern mudo_mixer mixer;

// Called at every write to a channel's record (0..31; a copy counts for its live channel; -1:
// every channel) but the mixer's own ticks at rest, so that a channel at rest takes a fresh
// previous-tick copy at its next tick instead of keeping the one it has.
inline void mudo_channel_written(int channel) {
    if (channel < 0) {
        for (int c = 0; c < MUDO_CHANNELS; c++) mixer.channel_writes[c]++;
    } else {
        mixer.channel_writes[channel % MUDO_CHANNELS]++;
    }
}

// ---- Tables ---------------------------------------------------------------------------------------

extern const int32_t vib_mag[16];
extern const int32_t trem_mag[16];
extern const int32_t vib_spd[16];
extern const int32_t fade_spd[16];
extern const uint64_t mudo_note_dx[13];
extern const int32_t stereo_contrib[257];  // index pan + 128, gains on a scale of 4096
extern const char effect_digit_remap[5];   // "1".."5" stand for these letters
// The gain node's fold curve: a triangle over 16384 steps.
constexpr uint16_t gain_tri(uint32_t i) { return (uint16_t)((4 * i) ^ (i < 8192 ? 0x7fff : 0x8000)); }

// ---- Reading the audio owner's memory ------------------------------------------------------------

// Every read of audio data goes through these: the address is taken modulo 2^24 and
// multi-byte values are little-endian.
inline uint8_t mudo_peek(uint64_t address) { return mixer_ram[address & ADDRESS_MASK]; }
inline int16_t mudo_peek2(uint64_t address) {
    uint32_t a = (uint32_t)(address & ADDRESS_MASK);
    uint32_t hi = a == ADDRESS_MASK ? mixer_ram[0] : mixer_ram[a + 1];
    return (int16_t)(uint16_t)(mixer_ram[a] | hi << 8);
}
// Record addresses, with the index arithmetic done in 64 bits and the result in the space.
uint32_t mudo_pattern_address(uint32_t base, int64_t pattern);
uint32_t mudo_instrument_address(uint32_t base, uint32_t instrument);
uint32_t mudo_track_address(uint32_t base, int64_t track);

// Ticks of a duration code: 0..15 as they are, then longer steps up to 2720 for 255.
int32_t mudo_duration(uint32_t code);
// Ticks per row of the channel's playing track, 16 without one.
int32_t mudo_channel_speed(const mudo_channel& ch);
// A random number 0..2^31-1 from the synthesiser's own generator.
uint32_t mudo_rand();
extern uint64_t mudo_rng_state[4];  // that generator's state

// ---- State ----------------------------------------------------------------------------------------

void mudo_init();
void mudo_set_volume(int32_t v);
void mudo_set_stereo_swap(uint32_t flag);
// The channel's defaults: note off, no track, no instrument, volume 0, pan 0, pitch 48,
// mix volume 64; the (absent) instrument is then loaded and its nodes prepared. A channel the
// music owns stays the music's, so that the music's next pattern plays on it again.
void reset_channel_state(int channel);
// Full reset of channels 0..15 and stop of the music.
void mudo_kill_all_audio();
// Setters that ignore channels outside 0..15; the base address is clamped to 0..0xF00000.
void mudo_set_channel_mix_vol(int channel, int64_t v);
void mudo_set_channel_base_addr(int channel, int64_t address);
// Bit c is set while channel c (0..15) plays a track or sounds a note.
uint32_t mudo_anything_is_playing();
// Fill or copy into the mixer's copy of the owner's memory; the caller keeps the
// range inside the 16 MB.
// The audio bracket. 0: the nesting audio lock is held and the mixer's copy of the
// owner's memory is current; the caller works on the synthesiser and then calls
// audio_op_end(). 1: refused, the lock is not held and audio_op_end() is not called.
int audio_op_start(int64_t id, int force);
void audio_op_end();

void mudo_memset(uint32_t address, uint8_t value, uint32_t length);
void mudo_memcpy(uint32_t address, const uint8_t* source, uint32_t length);
// Lays the default wave tables and the default instrument into a new process's memory and
// starts its random stream.
void write_default_audio_data(process_record* rec);
// Silence for a new boot: every channel reset, the music and its fade stopped, the copy of the
// owner's memory and the last mixed block cleared. The caller holds the audio lock.
void mudo_clear_for_boot();

// State readers for the status query; the caller holds the audio lock.
// Bit c is set while channel c (0..15) plays a track.
uint32_t mudo_get_active_channels();
// 0: the current music pattern, -1 when no music plays; 1: the leftmost music channel
// that does not loop, 0 when none; any other selector: -1.
int32_t mudo_get_music_state(int32_t selector);
// The lowest music channel 0..7 that plays a track that does not loop, -1 when none.
int32_t get_leftmost_nonlooping_channel();
// One value of a channel's state, -1 when there is none. Channel and selector both -1
// copy the last mixed block (stereo frames) to destination and give its frame count;
// selector 19 copies the channel's last tick of stereo frames and 20..27 the output of
// node selector - 20, giving the count (0..32768); destination holds 65,536 samples.
int32_t mudo_get_channel_state(int32_t channel, int32_t selector, int16_t* destination);
// The last block handed to the device (stereo frames, left first) and its frame count;
// kept as globals so that the kernel's tests can stage a block.
constexpr int32_t MUDO_LAST_MIXED_FRAMES = 8192;
extern int16_t last_mixed_out[MUDO_LAST_MIXED_FRAMES * 2];
extern int32_t last_num_samples_mixed;

// ---- Instrument nodes ----------------------------------------------------------------------------
// A channel's tick: load the instrument (at every tick, so edits are heard at once), evaluate
// the parameters, render. Channels 16..31 are the previous-tick copies and render the same way.

// Points the channel's node outputs at its own node buffers (the stereo node's included).
void point_channel_node_outputs(int channel);
// Loads the channel's instrument into its node records.
void grab_node_tree(int channel);
// Clears filter and echo state after a change of instrument.
void prepare_nodes_for_new_instrument(int channel);
// Restarts the nodes for a new note: phases (unless kept), envelope positions and random values.
void retrigger_channel_nodes(int channel);
void retrigger_mval_env_tick(int channel, int node, int param, uint32_t mval);
// Evaluates every node parameter and oscillator step for the coming tick.
void evaluate_channel_node_parameters(int channel);
// Renders n samples (1..32768) of every node, leaving the channel's sound in node 0's
// output (and the right side of a wide instrument in the stereo node's); then counts the tick.
void render_channel_tick(int channel, int32_t n);
// One parameter value, 16.16, from its 4-byte description.
int32_t eval_mval(int channel, int node, int param, uint32_t mval, int32_t parent_value);
// An envelope's level 0..65280 at position t.
int32_t evaluate_envelope(uint32_t address, int32_t t, int channel, uint64_t held);

// ---- Sequencer ------------------------------------------------------------------------------------
// Notes, tracks, patterns and music; main thread, inside the audio bracket.

constexpr int64_t MUDO_NO_PAN = 0x7fffffff;  // pan argument: not given

// Pitch, instrument, volume and effect use 255 for not given. Channel -1 resets every channel
// and stops the music; other channels outside 0..15 are ignored. An instrument outside 0..255
// silences the channel and gives it its defaults.
void mudo_set_note(int64_t channel, int64_t pitch, int64_t instrument, int64_t volume, int64_t effect,
                   int64_t effect_param, int64_t retrigger, int64_t pan);
// Note off and track stop; with reset also the channel's defaults.
void kill_channel(int channel, bool reset);
// The row and effect work at the start of a tick of the channel's track.
void update_channel_track_tick(int channel);
// The track stepping after a rendered tick: tick, row, stop row and loop.
void advance_channel_track_row(int channel);
// Starts a track on a channel (-1: chosen automatically); the channel used, or -1. Negative
// tracks are commands on the channel (-1 stop, -2 reset, -3 play out, -4 set the mix volume to
// first_row), on all 16 channels for a negative channel.
int32_t mudo_play_track(int64_t track, int64_t channel, int64_t first_row, int64_t num_rows, bool keep, int64_t pan,
                        int64_t mix_volume, uint32_t base, int64_t start_tick);
// Music from a pattern on the channels of the mask (bits 0..7), fading in over fade_ms.
void mudo_play_music(int64_t pattern, int64_t fade_ms, int64_t channel_mask, uint32_t base, int64_t start_tick);
void mudo_play_pattern(int64_t pattern, int64_t fade_ms, int64_t start_tick);
// The pattern after the current one ran out: by its flags, again, back to a loop start, the
// next one, or the end of the music.
void advance_pattern();
void mudo_stop_music();
// Fades the music out over ms; 0 (or less) stops it at once.
void mudo_fade_out_music(int64_t ms);
// One step of a running fade; the mixer takes one for every tick of samples mixed.
void mudo_update_fade_tick();
// Ticks the current pattern lasts: the leftmost non-looping music channel's speed times its
// end row, 0x7fffffff when there is none.
uint32_t calc_pattern_ticks_to_play();

// ---- Mixer ----------------------------------------------------------------------------------------
// The audio thread's one entry: fills out with min(frames, 8192) interleaved stereo frames
// (silence past them), rendering every channel tick by tick; keeps the block for stat.
int mudo_mix(int16_t* out, int32_t frames);
// Renders up to n stereo frames of a live channel into out; fewer only when a music channel's
// tick budget ran out.
int32_t mix_channel(int channel, int32_t n, int16_t* out);
// A channel at rest (no note, track, instrument or self-stepping effect) whose last two ticks
// were at rest is mixed as silence with its counters advanced, bit for bit what rendering it
// would give; its previous-tick copy is retaken only after a write to the channel
// (mudo_channel_written()). Likewise node and channel buffers known to hold silence are not
// cleared again, nor read to render or sum silence. Tests clear this to compare the two.
extern bool mudo_skip_resting_channels;

// ---- Script functions -----------------------------------------------------------------------------
struct lua_State;
int lua54_play_note(lua_State* L);
int lua54_play_track(lua_State* L);
int lua54_play_music(lua_State* L);
