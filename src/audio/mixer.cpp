// The mixer on the audio thread: every channel rendered a tick at a time, each tick faded in
// from the previous one, panned, scaled and summed into the device's block.
#include <algorithm>
#include <cstring>

#include "audio/mudo.h"
#include "base/memmap.h"

namespace {

constexpr int32_t MIX_PIECE = 4096;  // frames the accumulator holds
constexpr int32_t CROSSFADE = 64;    // samples over which a tick fades in from the previous one
constexpr int MAX_PASSES = 1024;
constexpr uint32_t ECHO_LINE_MASK = MUDO_NODE_BUFFER - 1;

int32_t mix_accumulator[MIX_PIECE * 2];

// A channel's rest count (mixer.rest_ticks): after two ticks in a row that started at rest with
// the same length, the channel and its previous-tick copy are both at rest, their node
// buffers hold silence over a tick, and every later tick at rest changes only counters: those
// are advanced without rendering. Only the mixer writes the copies and the node buffers
// (the main thread at most clears them), so the count stays true between calls.
uint8_t* const rest_ticks = mixer.rest_ticks;
int32_t* const rest_samples = mixer.rest_samples;
constexpr uint8_t SETTLED = 2;

// A channel that renders silence and whose tick moves nothing but counters: no note, no track,
// no instrument, not the music's, and no channel effect that steps by itself.
bool channel_at_rest(const mudo_channel& ch) {
    if (ch.music_owned || ch.track_active || ch.note_on || ch.instrument != MUDO_NO_INSTRUMENT) return false;
    if (ch.effect == 'v' || ch.effect == 'w' || ch.effect == 't') return false;
    return ch.arp_step == 0 && ch.arp_ticks == 0 && ch.alt_state == 0 && ch.alt_ticks == 0;
}

inline int16_t clamp_sample(int64_t v) { return (int16_t)std::clamp<int64_t>(v, -32767, 32767); }

int16_t* node_buffer(int slot, int node) { return mixer.node_output[slot * MUDO_MAX_CHANNEL_NODES + node]; }

void copy_ring(int16_t* dst, const int16_t* src, uint32_t start, uint32_t count) {
    start &= ECHO_LINE_MASK;
    uint32_t first = std::min(count, (uint32_t)MUDO_NODE_BUFFER - start);
    memcpy(dst + start, src + start, first * 2);
    if (count > first) memcpy(dst, src, (count - first) * 2);
}

// The previous-tick copy renders CROSSFADE samples of each echo, which touches the line only
// where it writes them and where it reads its delayed samples back; those stretches are all
// of the line the copy needs. A delay that moves within the copy's render (it never does, as
// the copy is not evaluated again) would read elsewhere, so then the whole line is copied.
void copy_echo_lines(int channel) {
    int slot = channel + MUDO_CHANNELS;
    const mudo_channel& copy = mixer.channels[slot];
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
        const node_state& nd = copy.nodes[k];
        if (nd.kind != NODE_ECHO) continue;
        const int16_t* src = node_buffer(channel, k);
        int16_t* dst = node_buffer(slot, k);
        int64_t delay = nd.params[0];
        int64_t delay0 = nd.echo_prev_delay == -1 ? delay : nd.echo_prev_delay;
        int64_t back0 = (delay0 * 32256) >> 8, back = (delay * 32256) >> 8;
        mixer.silent_node_samples[slot] = 0;
        if ((back - back0) / CROSSFADE != 0) {
            memcpy(dst, src, sizeof(mixer.node_output[0]));
            continue;
        }
        uint32_t pos = nd.echo_pos & ECHO_LINE_MASK;
        uint32_t read = (uint32_t)((((int64_t)pos * 65536 - back0) & 0x7ffffffe) >> 16);
        copy_ring(dst, src, pos, CROSSFADE);
        copy_ring(dst, src, read, CROSSFADE);
    }
}

// A new tick of a live channel: the sequencer's row work, evaluation and rendering, then the
// fade in from where the previous tick's sound would have gone on, and a fresh copy of the
// channel for the next tick's fade.
void start_channel_tick(int channel, int32_t samples) {
    mudo_channel& ch = mixer.channels[channel];
    if (!channel_at_rest(ch) || rest_samples[channel] != samples) rest_ticks[channel] = 0;
    else if (rest_ticks[channel] < SETTLED) rest_ticks[channel]++;
    rest_samples[channel] = samples;
    mixer.rest_copy_current[channel] = 0;
    update_channel_track_tick(channel);
    evaluate_channel_node_parameters(channel);
    render_channel_tick(channel, samples);
    advance_channel_track_row(channel);
    mixer.tick_counter++;

    int slot = channel + MUDO_CHANNELS;
    int32_t fade = std::min(samples, CROSSFADE);
    render_channel_tick(slot, fade);
    const int32_t* silent = mixer.silent_node_samples;
    bool both_silent = mudo_skip_resting_channels && silent[slot] >= fade && silent[channel] >= fade;
    for (int node : {0, STEREO_NODE_INDEX}) {
        if (both_silent || (node == STEREO_NODE_INDEX && !ch.wide)) break;  // silence fades into silence
        const int16_t* old = node_buffer(slot, node);
        int16_t* now = node_buffer(channel, node);
        mixer.silent_node_samples[channel] = 0;
        for (int32_t i = 0; i < fade; i++) now[i] = (int16_t)(((CROSSFADE - i) * old[i] + i * now[i]) >> 6);
    }

    mudo_channel& copy = mixer.channels[slot];
    memcpy(&copy, &ch, sizeof(copy));
    copy.index = (uint32_t)slot;
    point_channel_node_outputs(slot);
    copy_echo_lines(channel);
    ch.tick_samples_done = 0;
    ch.tick_samples = (uint32_t)samples;
}

// The pan of a channel's mono sound, -127 (left) to 127.
int32_t channel_pan(const mudo_channel& ch) { return std::clamp(ch.nodes[0].params[1] / 65536, -127, 127); }

// A mono channel mixed as silence moves its gains on to its pan's, as a panned chunk would.
void settle_pan_gains(mudo_channel& ch) {
    if (ch.wide) return;
    int32_t pan = channel_pan(ch);
    ch.prev_gain_left = stereo_contrib[pan + 128];
    ch.prev_gain_right = stereo_contrib[128 - pan];
}

// k frames of a channel's mono sound panned with gains that move from the previous chunk's
// to this one's; gains are on a scale of 4096 and g (256 = unity) scales both.
void pan_chunk(mudo_channel& ch, const int16_t* in, int16_t* out, int32_t k, int64_t g) {
    int32_t pan = channel_pan(ch);
    int64_t new_left = stereo_contrib[pan + 128], new_right = stereo_contrib[128 - pan];
    // The 16.16 gains reach 4096 x 16,192 x 256 for a loud music channel: 64-bit arithmetic.
    int64_t left = (int64_t)ch.prev_gain_left * g * 256, right = (int64_t)ch.prev_gain_right * g * 256;
    int64_t left_step = ((new_left - ch.prev_gain_left) * g * 256) / k;
    int64_t right_step = ((new_right - ch.prev_gain_right) * g * 256) / k;
    if (left_step == 0 && right_step == 0 && g <= 256) {
        // Steady gains of at most 4096: the products fit in 32 bits and stay within a sample.
        int32_t gl = (int32_t)(left >> 16), gr = (int32_t)(right >> 16);
        for (int32_t i = 0; i < k; i++) {
            int32_t l = gl * in[i], r = gr * in[i];
            out[2 * i] = (int16_t)((l + ((l >> 31) & 4095)) >> 12);
            out[2 * i + 1] = (int16_t)((r + ((r >> 31) & 4095)) >> 12);
        }
        ch.prev_gain_left = (int32_t)new_left;
        ch.prev_gain_right = (int32_t)new_right;
        return;
    }
    for (int32_t i = 0; i < k; i++) {
        int64_t s = in[i];
        out[2 * i] = clamp_sample(((left >> 16) * s) / 4096);
        out[2 * i + 1] = clamp_sample(((right >> 16) * s) / 4096);
        left += left_step;
        right += right_step;
    }
    ch.prev_gain_left = (int32_t)new_left;
    ch.prev_gain_right = (int32_t)new_right;
}

void wide_chunk(const int16_t* left, const int16_t* right, int16_t* out, int32_t k, int64_t g) {
    for (int32_t i = 0; i < k; i++) {
        out[2 * i] = clamp_sample(g * left[i] / 256);
        out[2 * i + 1] = clamp_sample(g * right[i] / 256);
    }
}

// n frames of silence from a channel into out: not written where its own buffer is known to
// hold silence already, and counted as known silence there from then on.
void silent_frames(int channel, int16_t* out, int32_t n) {
    int16_t* own = mixer.channel_output[channel];
    bool in_own = out >= own && out + 2 * n <= own + 2 * MUDO_NODE_BUFFER;
    int32_t at = in_own ? (int32_t)(out - own) / 2 : 0;
    int32_t& silent = mixer.silent_output_frames[channel];
    if (!in_own || at + n > silent) memset(out, 0, (size_t)n * 4);
    if (in_own && at <= silent) silent = std::max(silent, at + n);
}

// Sound from a channel at out from here on: its own buffer's known silence ends there at most.
void loud_frames(int channel, const int16_t* out) {
    const int16_t* own = mixer.channel_output[channel];
    if (out >= own && out < own + 2 * MUDO_NODE_BUFFER)
        mixer.silent_output_frames[channel] = std::min(mixer.silent_output_frames[channel], (int32_t)(out - own) / 2);
}

// Mixes m (at most MIX_PIECE) frames into out.
void mix_piece(int16_t* out, int32_t m) {
    int32_t remaining[MUDO_CHANNELS], offset[MUDO_CHANNELS];
    for (int c = 0; c < MUDO_CHANNELS; c++) remaining[c] = m, offset[c] = 0;

    mixer.sample_accumulator += (uint32_t)m;
    while (mixer.sample_accumulator >= MUDO_SAMPLES_PER_TICK) {
        mudo_update_fade_tick();
        mixer.sample_accumulator -= MUDO_SAMPLES_PER_TICK;
    }

    // Music channels go first: when their pattern runs out mid-piece, the others are mixed up
    // to that frame only, the next pattern starts, and every channel goes on from there.
    for (int pass = 0; pass < MAX_PASSES; pass++) {
        bool music[MUDO_CHANNELS];
        for (int c = 0; c < MUDO_CHANNELS; c++) music[c] = mixer.channels[c].music_owned != 0;
        int32_t limit = m;
        bool marked = false;
        for (int sweep = 0; sweep < 2; sweep++) {
            for (int c = 0; c < MUDO_CHANNELS; c++) {
                if (music[c] != (sweep == 0)) continue;
                int32_t done = mix_channel(c, std::min(limit, remaining[c]), mixer.channel_output[c] + 2 * offset[c]);
                remaining[c] -= done;
                offset[c] += done;
                if (remaining[c] > 0 && done <= limit) {
                    limit = done;
                    marked = true;
                }
            }
        }
        if (!marked) break;
        advance_pattern();
    }
    // Frames that the pass limit left unrendered are silence, not an earlier block's sound.
    for (int c = 0; c < MUDO_CHANNELS; c++)
        if (remaining[c] > 0) memset(mixer.channel_output[c] + 2 * offset[c], 0, (size_t)remaining[c] * 4);

    // Channels known to be silent over the piece add nothing to the sum; with none left it is
    // silence.
    int32_t samples = 2 * m;
    bool skip = mudo_skip_resting_channels;
    int first = 0;
    while (first < MUDO_CHANNELS && skip && mixer.silent_output_frames[first] >= m) first++;
    if (first == MUDO_CHANNELS) {
        memset(out, 0, (size_t)samples * 2);
        return;
    }
    for (int32_t i = 0; i < samples; i++) mix_accumulator[i] = mixer.channel_output[first][i];
    for (int c = first + 1; c < MUDO_CHANNELS; c++) {
        if (skip && mixer.silent_output_frames[c] >= m) continue;
        const int16_t* src = mixer.channel_output[c];
        for (int32_t i = 0; i < samples; i++) mix_accumulator[i] += src[i];
    }
    if (mixer.master_volume == 0) {
        memset(out, 0, (size_t)samples * 2);
        return;
    }
    int swap = mixer.stereo_swap ? 1 : 0;
    for (int32_t i = 0; i < m; i++) {
        out[2 * i] = clamp_sample(mix_accumulator[2 * i + swap]);
        out[2 * i + 1] = clamp_sample(mix_accumulator[2 * i + 1 - swap]);
    }
}

// n frames of a settled channel at rest: silence, and what its ticks would have moved on.
// A tick at rest loads no nodes (no instrument), evaluates none and renders zeros over
// buffers that already hold them; it counts the release ticks, keeps the nodes as the
// previous tick's, counts the tick and leaves a copy of the channel for the next fade.
void rest_channel(int channel, int32_t n, int16_t* out) {
    mudo_channel& ch = mixer.channels[channel];
    // A copy still current means nothing wrote the channel since it was taken, when the node
    // outputs were pointed at the channel's buffers as a rendered tick would point them.
    bool current = mixer.rest_copy_current[channel] && mixer.rest_copy_writes[channel] == mixer.channel_writes[channel];
    if (!current) point_channel_node_outputs(channel);
    uint32_t samples = (uint32_t)rest_samples[channel];
    uint32_t ticks = 0, copied_done = 0, copied_samples = 0;  // the copy is taken before the tick resets
    for (int32_t done = 0; done < n;) {
        if (ch.tick_samples_done >= ch.tick_samples) {
            ticks++;
            copied_done = ch.tick_samples_done;
            copied_samples = ch.tick_samples;
            ch.tick_samples_done = 0;
            ch.tick_samples = samples;
        }
        int32_t k = std::min((int32_t)(ch.tick_samples - ch.tick_samples_done), n - done);
        ch.tick_samples_done += (uint32_t)k;
        done += k;
    }
    // The channel's own buffer often holds silence already from the block before.
    silent_frames(channel, out, n);
    settle_pan_gains(ch);
    if (ticks == 0) return;
    ch.ticks_since_release += ticks;
    mixer.tick_counter += ticks;
    int slot = channel + MUDO_CHANNELS;
    mudo_channel& copy = mixer.channels[slot];
    if (current) {
        // Nothing wrote the channel or its copy since the last tick at rest took them: the
        // nodes are still silent and the previous ones theirs, and the copy differs from the
        // channel only in what the ticks since moved.
        copy.ticks_since_release = ch.ticks_since_release;
        copy.prev_gain_left = ch.prev_gain_left;
        copy.prev_gain_right = ch.prev_gain_right;
        copy.tick_samples_done = copied_done;
        copy.tick_samples = copied_samples;
        return;
    }
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) ch.nodes[k].kind = NODE_SILENT;
    ch.tree_depth = 0;
    memcpy(ch.prev_nodes, ch.nodes, sizeof(ch.nodes));
    memcpy(&copy, &ch, sizeof(ch));
    copy.index = (uint32_t)slot;
    copy.tick_samples_done = copied_done;
    copy.tick_samples = copied_samples;
    point_channel_node_outputs(slot);
    mixer.rest_copy_current[channel] = 1;
    mixer.rest_copy_writes[channel] = mixer.channel_writes[channel];
}

}  // namespace

bool mudo_skip_resting_channels = true;

int32_t mix_channel(int channel, int32_t n, int16_t* out) {
    if (channel < 0 || channel >= MUDO_CHANNELS || n <= 0 || !out) return 0;
    mudo_channel& ch = mixer.channels[channel];
    if (ch.samples_per_tick == 0) {
        ch.samples_per_tick = MUDO_SAMPLES_PER_TICK;
        mudo_channel_written(channel);
    }
    int32_t samples = (int32_t)std::min<uint32_t>(ch.samples_per_tick, MUDO_NODE_BUFFER);

    if (mudo_skip_resting_channels && rest_ticks[channel] >= SETTLED && rest_samples[channel] == samples &&
        channel_at_rest(ch)) {
        rest_channel(channel, n, out);
        return n;
    }
    point_channel_node_outputs(channel);
    bool skip = mudo_skip_resting_channels;
    if (!skip) loud_frames(channel, out);

    int64_t g = ((int64_t)ch.mix_volume * mixer_ram[ADDR_AUDIO_VOLUME]) >> 4;
    if (ch.music_owned) g = g * mixer_ram[ADDR_AUDIO_MUSIC_VOLUME] * mixer.music_volume / 16384;

    int32_t done = 0;
    while (done < n) {
        if (ch.tick_samples_done >= ch.tick_samples) {
            if (ch.music_owned) {
                if (ch.music_tick_budget < 1) return done;
                ch.music_tick_budget--;
            }
            start_channel_tick(channel, samples);
        }
        int32_t k = std::min((int32_t)(ch.tick_samples - ch.tick_samples_done), n - done);
        const int16_t* left = node_buffer(channel, 0) + ch.tick_samples_done;
        if (skip && mixer.silent_node_samples[channel] >= (int32_t)ch.tick_samples_done + k) {
            // The tick's sound is silence here, whatever its gains; the pan moves them on.
            silent_frames(channel, out + 2 * done, k);
            settle_pan_gains(ch);
            ch.tick_samples_done += (uint32_t)k;
            done += k;
            continue;
        }
        if (skip) loud_frames(channel, out + 2 * done);
        if (ch.wide) wide_chunk(left, node_buffer(channel, STEREO_NODE_INDEX) + ch.tick_samples_done, out + 2 * done, k, g);
        else pan_chunk(ch, left, out + 2 * done, k, g);
        ch.tick_samples_done += (uint32_t)k;
        done += k;
    }
    return n;
}

int mudo_mix(int16_t* out, int32_t frames) {
    if (!out || frames <= 0) return 0;
    int32_t n = std::min(frames, MUDO_LAST_MIXED_FRAMES);
    if (frames > n) memset(out + 2 * (size_t)n, 0, (size_t)(frames - n) * 4);
    if (mixer_ram[ADDR_PROCESS_FLAGS] & PFLAG_AUDIO_MUTE) {
        // Muted: silence, and nothing moves on.
        memset(out, 0, (size_t)n * 4);
        memset(last_mixed_out, 0, (size_t)n * 4);
        return 0;
    }
    last_num_samples_mixed = n;
    for (int32_t at = 0; at < n; at += MIX_PIECE) {
        int32_t m = std::min(MIX_PIECE, n - at);
        mix_piece(out + 2 * at, m);
        memcpy(last_mixed_out + 2 * at, out + 2 * at, (size_t)m * 4);
    }
    return 0;
}
