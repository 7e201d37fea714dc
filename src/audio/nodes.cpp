// Instrument node trees: loading an instrument into a channel's node records, evaluating
// node parameters (mvals, envelopes, channel effects) and rendering a tick bottom-up
// through oscillators, filters, echoes and gain stages, all in fixed point.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/mudo.h"
#include "kernel/memory.h"

namespace {

node_state root_node;  // the parent of every top-level node, set from the channel each tick
int16_t node_ramp_buf[MUDO_NODE_BUFFER];

// Parameters whose mval bytes a and b are signed, by node kind & 3 (kinds 0..4 only).
const uint8_t mval_signed_dat[4][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0, 1, 1, 1, 0, 0, 0, 0},
    {0, 1, 1, 1, 0, 1, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0},
};

constexpr int64_t FILTER_STATE_LIMIT = int64_t(1) << 40;
constexpr int64_t ENVELOPE_TICK_LIMIT = INT32_MAX;

inline int32_t saturate32(int64_t v) { return (int32_t)std::clamp<int64_t>(v, INT32_MIN, INT32_MAX); }
inline int16_t clamp_sample(int64_t v) { return (int16_t)std::clamp<int64_t>(v, -32767, 32767); }
inline uint32_t saturate_u32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : (uint32_t)v; }
inline int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool is_mval_signed(uint8_t kind, int param) { return kind <= 4 && mval_signed_dat[kind & 3][param & 7]; }

uint32_t peek4_le(uint64_t a) {
    return (uint32_t)mudo_peek(a) | (uint32_t)mudo_peek(a + 1) << 8 | (uint32_t)mudo_peek(a + 2) << 16 |
           (uint32_t)mudo_peek(a + 3) << 24;
}

uint32_t node_mval(const node_state& nd, int param) { return peek4_le((uint64_t)nd.entry + 4 + 4 * (uint64_t)param); }

uint32_t envelope_address(const mudo_channel& ch, uint32_t mval) {
    uint64_t a = (uint64_t)mudo_instrument_address(ch.base_address, ch.instrument) + MUDO_ENVELOPES_OFFSET +
                 (uint64_t)((mval >> 24) & 15) * MUDO_ENVELOPE_SIZE;
    return (uint32_t)(a & ADDRESS_MASK);
}

// Ticks of an envelope step code where 0 means the channel's speed.
int64_t step_duration(const mudo_channel& ch, uint8_t code) {
    return code == 0 ? mudo_channel_speed(ch) : mudo_duration(code);
}

// Brings an envelope position that ran past the loop end back inside the loop.
int64_t wrap_into_loop(int64_t pos, int64_t step, int64_t loop_start, int64_t loop_end) {
    int64_t end = step * loop_end;
    if (pos < end) return pos;
    int64_t start = step * loop_start, length = end - start;
    return start + (pos - start) % length;
}

// ---- Channel effects on the root values ----------------------------------------------------------

char fold_letter(uint32_t e) { return (char)(e >= 'A' && e <= 'Z' ? e + 32 : e); }

void apply_channel_effect(mudo_channel& ch) {
    uint32_t e = ch.effect;
    int64_t p = ch.effect_param & 255, hi = p >> 4, lo = p & 15;
    int64_t speed = mudo_channel_speed(ch);
    int64_t tick = ch.tick;
    bool capital = e >= 'A' && e <= 'Z';
    switch (fold_letter(e)) {
    case '<':
    case '>': {
        if (!ch.track_active) return;
        int64_t full = (int64_t)ch.volume << 16, value;
        int64_t rate = lo > 0 ? ((int64_t)ch.volume * fade_spd[lo]) << 8 : 0;
        if (e == '<') {
            int64_t start = (full * hi) >> 4;
            if (lo == 0) rate = (full - start) / speed;
            value = std::min(full, start + tick * rate);
        } else {
            int64_t bottom = (full * hi) >> 4;
            if (lo == 0) rate = (full - bottom) / speed;
            value = std::max(bottom, full - tick * rate);
        }
        root_node.params[0] = saturate32(value);
        if (tick == speed - 1) {
            ch.volume = (uint32_t)std::max<int64_t>(0, value >> 16);
            ch.current_volume = saturate32(value);
        }
        return;
    }
    case 'v':
    case 'w':
    case 't': {
        if (capital) {
            // Only the lower-case letters are vibrato and tremolo.
            ch.arp_step = ch.arp_ticks = ch.alt_state = ch.alt_ticks = 0;
            return;
        }
        int64_t d = lo, s = hi;
        if (p == 0) d = 6, s = 10;
        int64_t w = (int64_t)(std::sin(2 * 3.141562 * ch.lfo_phase / 65536.0) * 65536.0);
        if (e != 't') root_node.params[3] = saturate32(root_node.params[3] + w * vib_mag[d] * 2);
        if (e != 'v') {
            int64_t cv = ch.current_volume;
            root_node.params[0] = saturate32(cv + ((w >> 8) * (cv >> 8) * trem_mag[d]) / 256);
        }
        int64_t step = s == 0 ? 65536 / speed : (int64_t)vib_spd[s] << 8;
        ch.lfo_phase = (int32_t)((ch.lfo_phase + step) & 0xffff);
        return;
    }
    case 'a':
    case 'b':
    case 'm':
    case 'n': {
        if (!ch.track_active) return;
        char f = fold_letter(e);
        int64_t r = f == 'a' ? 4 : f == 'b' ? 8 : f == 'm' ? 1 : 2;
        if (r > 1 && speed < 9) r /= 2;
        if (p != 0) {
            int64_t add = 0;
            if (!capital) add = ch.arp_step == 1 ? hi : ch.arp_step == 2 ? lo : 0;
            else add = ch.arp_step == 0 ? lo : ch.arp_step == 1 ? hi : 0;
            root_node.params[2] = saturate32(root_node.params[2] + (add << 16));
            if (++ch.arp_ticks >= (uint32_t)r) {
                ch.arp_ticks = 0;
                ch.arp_step = (ch.arp_step + 1) % 3;
            }
        } else {
            int64_t q = (int64_t)(ch.ticks_played / (uint64_t)r) % 4;
            int64_t row = ((int64_t)ch.row & ~int64_t(3)) + q;
            uint8_t pitch = mudo_peek((uint64_t)ch.track_address + 8 + (uint64_t)row);
            if (pitch == MUDO_NOT_GIVEN) {
                root_node.params[0] = 0;
                pitch = 0;
            }
            root_node.params[2] = (int32_t)pitch << 16;
            root_node.params[3] = 0;
        }
        return;
    }
    case 'o': {
        if (!ch.track_active) return;
        int64_t period = lo >= 2 ? lo : 1;
        if (lo >= 2 && speed < 9) period /= 2;
        period = std::max<int64_t>(1, period);
        if (ch.alt_state == (capital ? 0u : 1u)) {
            if (p > 15) root_node.params[2] = saturate32(root_node.params[2] + (hi << 16));
            else root_node.params[0] = 0;
        }
        if (++ch.alt_ticks >= (uint32_t)period) {
            ch.alt_ticks = 0;
            ch.alt_state ^= 1;
        }
        return;
    }
    default:
        ch.arp_step = ch.arp_ticks = ch.alt_state = ch.alt_ticks = 0;
    }
}

// Value of an mval before shift and relation: an envelope, a random value or byte a, 16.16.
int64_t mval_base_value(mudo_channel& ch, int channel, node_state& nd, int param, uint32_t mval) {
    int64_t a = (mval >> 8) & 255, b = (mval >> 16) & 255;
    if (is_mval_signed(nd.kind, param)) a = (int8_t)a, b = (int8_t)b;
    int64_t e;
    if (mval & 4) {
        e = evaluate_envelope(envelope_address(ch, mval), nd.env_ticks[param], channel, nd.held_levels[param]);
        if (ch.note_on) nd.held_levels[param] = (uint64_t)e;
    } else if (mval & 16) {
        e = nd.random_values[param];
    } else {
        return a << 16;
    }
    return ((e * a + (MUDO_ENVELOPE_MAX - e) * b) << 8) / 255;
}

// Shift amount of an mval's byte 3: 0, 2, 4 or 6 bits.
int shift_amount(uint32_t mval) {
    uint32_t b3 = mval >> 24;
    return (b3 & 64 ? 2 : 0) + (b3 & 128 ? 4 : 0);
}

// Multiplies the frequency ratio by an mval in ratio mode: low nibble + 1 over high nibble + 1.
void apply_ratio(mudo_channel& ch, int channel, node_state& nd, uint32_t mval) {
    int64_t v = std::clamp<int64_t>(mval_base_value(ch, channel, nd, 2, mval) >> 16, 0, 255);
    uint64_t num = (uint64_t)(v & 15) + 1, den = (uint64_t)(v >> 4) + 1;
    if ((mval >> 24) > 63) {
        if (mval >> 24 & 32) den <<= shift_amount(mval);
        else num <<= shift_amount(mval);
    }
    nd.ratio_numerator = saturate_u32((uint64_t)nd.ratio_numerator * num);
    nd.ratio_denominator = saturate_u32((uint64_t)nd.ratio_denominator * den);
}

// One step of a 16.16 sample position per output sample for a pitch in semitones.
uint64_t phase_step_for(int32_t pitch, int32_t fine, uint32_t numerator, uint32_t denominator) {
    if (denominator == 0) return 0;
    int64_t f = (int64_t)(pitch & 0xffff) * 256 + fine;
    int64_t n = (int64_t)(pitch >> 16) + (f >> 24);
    f &= 0xffffff;
    int64_t octave = floor_div(n, 12), s = n - octave * 12;
    // Below octave -21 the step is 0 anyway; above 31 the pitch is held at that octave's.
    int64_t shift = octave + 21;
    uint64_t d0 = 0, d1 = 0;
    if (shift >= 0) {
        shift = std::min<int64_t>(shift, 52);
        d0 = (mudo_note_dx[s] << shift) / (uint64_t)MUDO_SAMPLE_RATE;
        d1 = (mudo_note_dx[s + 1] << shift) / (uint64_t)MUDO_SAMPLE_RATE;
    }
    uint64_t fr = (uint64_t)(f >> 8);
    uint64_t step = (d0 * (65536 - fr) + d1 * fr) >> 16;
    return (uint64_t)((unsigned __int128)step * numerator / denominator);
}

// ---- Rendering -----------------------------------------------------------------------------------

// Wave samples of an oscillator, read directly when the wave lies inside the space and
// through the wrapping reader otherwise.
template <bool direct, bool modulated>
void osc_loop(node_state& nd, int16_t* out, int32_t n, uint64_t wave, uint64_t mask, uint64_t p, int64_t volume) {
    const int16_t* fm = nd.fm_input;
    int fm_shift = std::clamp(nd.fm_shift < -4 ? 2 : nd.fm_shift + 6, 0, 12);
    uint64_t step = nd.phase_step;
    const uint8_t* bytes = mixer_ram + (direct ? wave : 0);
    for (int32_t i = 0; i < n; i++) {
        uint64_t pm = p & mask;
        uint64_t i0 = pm >> 16, i1 = ((pm + 65536) & mask) >> 16;
        int64_t s0, s1;
        if constexpr (direct) {
            int16_t v0, v1;
            memcpy(&v0, bytes + 2 * i0, 2);
            memcpy(&v1, bytes + 2 * i1, 2);
            s0 = v0, s1 = v1;
        } else {
            s0 = mudo_peek2(wave + 2 * i0);
            s1 = mudo_peek2(wave + 2 * i1);
        }
        int64_t s = s0 + (((s1 - s0) * (int64_t)(pm & 0xffff)) >> 16);
        out[i] = clamp_sample((volume * s) >> 14);
        p = pm + step;
        if constexpr (modulated) p += (uint64_t)((int64_t)fm[i] << fm_shift);
    }
    nd.phase = p;
}

void render_node_tick_osc(node_state& nd, int16_t* out, int32_t n) {
    uint32_t log2_width = std::min<uint32_t>(nd.wave_log2_width, 16);
    uint64_t width = uint64_t(1) << log2_width;
    uint64_t mask = (uint64_t(1) << (log2_width + 16)) - 1;
    int64_t count = std::clamp<int64_t>(nd.wave_count, 1, 256);
    int64_t w = std::clamp<int64_t>(((int64_t)(nd.params[4] >> 16) * count) >> 8, 0, count - 1);
    uint64_t wave = ((uint64_t)nd.wave_address + (uint64_t)w * width * 2) & ADDRESS_MASK;
    uint64_t offset = (uint64_t)(((int64_t)(nd.params[5] >> 16) + 128) * (int64_t(1) << (log2_width + 8)));
    uint64_t p = (nd.phase & mask) - offset;
    int64_t volume = nd.params[0] >> 8;
    bool direct = wave + 2 * width <= ADDRESS_SPACE_SIZE;
    if (direct && nd.fm_input) osc_loop<true, true>(nd, out, n, wave, mask, p, volume);
    else if (direct) osc_loop<true, false>(nd, out, n, wave, mask, p, volume);
    else if (nd.fm_input) osc_loop<false, true>(nd, out, n, wave, mask, p, volume);
    else osc_loop<false, false>(nd, out, n, wave, mask, p, volume);
    nd.phase = (nd.phase + offset) & mask;
}

// A child's samples into its parent's buffer by the child's op, each scaled by gain / 4096
// (rounded toward zero); a gain of 4096 leaves them as they are.
template <bool unity>
void apply_op_scaled(uint8_t op, int32_t fm_shift, const int16_t* src, int16_t* dst, int32_t n, int32_t gain) {
    auto scaled = [gain](int32_t c) { return unity ? c : c * gain / 4096; };
    int shift = 15 - std::clamp(fm_shift, -6, 6);
    switch (op) {
    case NODE_OP_ADD:
        for (int32_t i = 0; i < n; i++) dst[i] = (int16_t)std::clamp(dst[i] + scaled(src[i]), -32767, 32767);
        break;
    case NODE_OP_MULTIPLY:
        for (int32_t i = 0; i < n; i++) dst[i] = (int16_t)std::clamp((scaled(src[i]) * dst[i]) >> shift, -32767, 32767);
        break;
    case NODE_OP_XOR:
        for (int32_t i = 0; i < n; i++) dst[i] = (int16_t)(dst[i] ^ (int16_t)scaled(src[i]));
        break;
    case NODE_OP_OR:
        for (int32_t i = 0; i < n; i++) dst[i] = (int16_t)(dst[i] | (int16_t)scaled(src[i]));
        break;
    default:
        break;
    }
}

void apply_op(uint8_t op, int32_t fm_shift, const int16_t* src, int16_t* dst, int32_t n, int32_t gain) {
    if (gain == 4096) apply_op_scaled<true>(op, fm_shift, src, dst, n, gain);
    else apply_op_scaled<false>(op, fm_shift, src, dst, n, gain);
}

template <typename wide>
void filter_loop(node_state& nd, int16_t* buf, int32_t n, int64_t coef, int64_t cut, int64_t damp) {
    int64_t s1 = nd.filter_state[0], s2 = nd.filter_state[1], s3 = nd.filter_state[2];
    auto bound = [](int64_t v) { return std::clamp(v, -FILTER_STATE_LIMIT, FILTER_STATE_LIMIT); };
    for (int32_t i = 0; i < n; i++) {
        int64_t x = buf[i], old = s2;
        s1 = bound(s1 + (int64_t)(((wide)(x - (s2 + s1)) * coef) / 65536));
        s2 = bound(s2 + (s1 * cut) / 65536);
        int64_t t = (s3 - old + s2) * damp;
        s3 = bound(t / 65536);
        buf[i] = clamp_sample(t / 65536);
    }
    nd.filter_state[0] = s1, nd.filter_state[1] = s2, nd.filter_state[2] = s3;
}

void apply_fx_filter(node_state& nd, int16_t* buf, int32_t n) {
    int64_t c = (nd.params[0] >> 8) & 0xffff, h = (nd.params[1] >> 8) & 0xffff, q = nd.params[2] >> 8;
    int64_t k = ((q + ((q * q) >> 16)) / 2) * 128 + 65536;
    if (k == 0) k = 1;  // resonance where the divisor vanishes: the steepest finite response
    int64_t coef = (int64_t(1) << 32) / k;
    int64_t cut = ((65536 - c) * (65536 - c)) >> 16;
    int64_t damp = 65536 - ((h * h) >> 16);
    // The states are bounded by 2^40, so below 2^21 the coefficient's product fits in 64 bits.
    if (coef > -(int64_t(1) << 21) && coef < (int64_t(1) << 21)) filter_loop<int64_t>(nd, buf, n, coef, cut, damp);
    else filter_loop<__int128>(nd, buf, n, coef, cut, damp);
}

void apply_fx_echo(node_state& nd, int16_t* buf, int32_t n) {
    int16_t* line = nd.output;
    if (!line || n < 1) return;
    int64_t delay = nd.params[0], level = nd.params[1] & 0xffffff;
    int64_t delay0 = nd.echo_prev_delay == -1 ? delay : nd.echo_prev_delay;
    int64_t level0 = nd.echo_prev_level == -1 ? level : nd.echo_prev_level;
    uint32_t pos = nd.echo_pos & (MUDO_NODE_BUFFER - 1);
    constexpr uint32_t wrap = MUDO_NODE_BUFFER - 1;
    for (int32_t i = 0; i < n; i++) line[(pos + i) & wrap] = buf[i];
    int64_t back0 = (delay0 * 32256) >> 8, back = (delay * 32256) >> 8;
    int64_t r = ((int64_t)pos * 65536 - back0) & 0x7ffffffe;
    int64_t r_step = (back - back0) / n, l = level0, l_step = (level - level0) / n;
    for (int32_t i = 0; i < n; i++) {
        uint32_t q = (pos + i) & wrap;
        line[q] = clamp_sample(line[q] + (l * line[r >> 16]) / (int64_t(1) << 24));
        r = (r - r_step + 65536) & 0x7fffffff;
        l += l_step;
    }
    for (int32_t i = 0; i < n; i++) buf[i] = line[(pos + i) & wrap];
    nd.echo_pos = (pos + (uint32_t)n) & wrap;
    nd.echo_prev_delay = delay;
    nd.echo_prev_level = level;
}

template <typename wide>
void gain_loop(int16_t* buf, int32_t n, int64_t g, int64_t t, int64_t knee, int64_t level, bool fold,
               uint64_t fold_rate, wide slope) {
    // Far below -2^37 the output is saturated whatever the level, so that bound is exact.
    constexpr int64_t lowest = -(int64_t(1) << 37);
    for (int32_t i = 0; i < n; i++) {
        int64_t x = buf[i], a = 2 * (x < 0 ? -x : x);
        int64_t y;
        if (a < knee) {
            y = (a * g) >> 16;
        } else if (fold) {
            int64_t driven = (a * g) >> 16;
            uint32_t index = (uint32_t)(((uint64_t)(driven - t) * fold_rate) & 0xffffffff) >> 17 & 0x3fff;
            y = (2 * t * gain_tri(index)) >> 16;
        } else {
            wide v = (wide)t + (((wide)(a - knee) * slope) >> 16);
            y = (int64_t)std::clamp<wide>(v, lowest, 65535);
        }
        y = std::clamp<int64_t>(y, lowest, 65535) >> 1;
        buf[i] = clamp_sample((level * (x < 0 ? -y : y)) >> 16);
    }
}

void apply_fx_gain(node_state& nd, int16_t* buf, int32_t n) {
    int64_t p0 = nd.params[0], p1 = nd.params[1], p2 = nd.params[2], p3 = nd.params[3];
    int64_t g = p0 * 7 / 255 + 65536;
    if (g == 0) g = 1;  // drive where the divisor vanishes: next to silence, as its neighbours
    int64_t k2 = p1 / 255 * 2;
    int64_t t = 65536 - p2 / 255;
    int64_t knee = (t << 16) / g;
    int64_t level = p3 / 64;
    bool fold = p1 >= 0xff0000;
    __int128 slope = 0;
    if (knee != 65536) {
        int64_t below = 65536 - knee;
        __int128 upper = ((__int128(1) << 32) - ((__int128)t << 16)) / below;
        if (p1 >= 0x7f8000) slope = (upper * (131072 - k2)) >> 16;
        else slope = (((__int128)(g - t) * 65536 / below) * (65536 - k2) + upper * k2) >> 16;
    }
    uint64_t fold_rate = (uint64_t)(p1 / 255 + 0x7fff0000);
    // With a moderate knee and slope the part above the knee fits in 64 bits.
    constexpr int64_t knee_limit = int64_t(1) << 21, slope_limit = int64_t(1) << 40;
    bool narrow = knee > -knee_limit && knee < knee_limit && slope > -slope_limit && slope < slope_limit;
    if (narrow) gain_loop<int64_t>(buf, n, g, t, knee, level, fold, fold_rate, (int64_t)slope);
    else gain_loop<__int128>(buf, n, g, t, knee, level, fold, fold_rate, slope);
}

void apply_fx(node_state& nd, int16_t* buf, int32_t n) {
    switch (nd.kind) {
    case NODE_FILTER: apply_fx_filter(nd, buf, n); break;
    case NODE_ECHO: apply_fx_echo(nd, buf, n); break;
    case NODE_GAIN: apply_fx_gain(nd, buf, n); break;
    default: break;
    }
}

bool renders_silence(const node_state& nd) {
    return (nd.flags & NODE_FLAG_MUTED) || nd.kind == NODE_SILENT || nd.kind == NODE_GROUP;
}

// Whether two records render the same samples from where they stand.
bool sounds_alike(const node_state& a, const node_state& b) {
    bool silent = renders_silence(a);
    if (silent != renders_silence(b)) return false;
    if (silent) return true;
    return a.kind == NODE_OSCILLATOR && b.kind == NODE_OSCILLATOR && a.phase == b.phase &&
           a.phase_step == b.phase_step && a.params[0] == b.params[0] && a.params[4] == b.params[4] &&
           a.params[5] == b.params[5] && a.fm_shift == b.fm_shift && a.wave_address == b.wave_address &&
           a.wave_log2_width == b.wave_log2_width && a.wave_count == b.wave_count;
}

// A node's own sound for the tick: an oscillator's wave, zeros for silent, group and muted
// nodes; effect nodes keep their buffer (an echo's is its delay line).
void render_node(mudo_channel& ch, int k, int32_t n, bool has_echo) {
    node_state& nd = ch.nodes[k];
    node_state& prev = ch.prev_nodes[k];
    bool fresh = renders_silence(nd) || nd.kind == NODE_OSCILLATOR;
    // On a channel with an echo each freshly rendered node fades in from its previous tick's
    // settings over 64 samples, unless those settings would render the very same samples.
    bool fade = has_echo && fresh && prev.entry == nd.entry && !sounds_alike(prev, nd);
    if (renders_silence(nd)) memset(nd.output, 0, (size_t)n * 2);
    else if (nd.kind == NODE_OSCILLATOR) render_node_tick_osc(nd, nd.output, n);
    if (!fade) return;
    int32_t m = std::min<int32_t>(n, 64);
    prev.output = node_ramp_buf;
    prev.fm_input = nd.fm_input;
    if (!renders_silence(prev) && prev.kind == NODE_OSCILLATOR) render_node_tick_osc(prev, node_ramp_buf, m);
    else memset(node_ramp_buf, 0, (size_t)m * 2);
    for (int32_t i = 0; i < m; i++) nd.output[i] = (int16_t)(((64 - i) * node_ramp_buf[i] + i * nd.output[i]) >> 6);
}

// Every node's sound for the tick, each child applied to its parent's buffer.
void render_nodes(mudo_channel& ch, int32_t n) {
    int16_t* stereo = ch.nodes[STEREO_NODE_INDEX].output;
    memset(stereo, 0, (size_t)n * 2);
    memset(ch.nodes[0].output, 0, (size_t)n * 2);
    bool has_echo = false;
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) has_echo |= ch.nodes[k].kind == NODE_ECHO;

    for (int d = MUDO_INSTRUMENT_NODES - 1; d >= 0; d--) {
        for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
            node_state& nd = ch.nodes[k];
            if (nd.depth != (uint32_t)d) continue;
            render_node(ch, k, n, has_echo);
            if (nd.kind == NODE_OSCILLATOR && nd.op == NODE_OP_FM && k > nd.parent) {
                ch.nodes[nd.parent].fm_input = nd.output;
                ch.nodes[nd.parent].fm_shift = nd.fm_shift;
            }
            for (int j = k + 1; j < MUDO_INSTRUMENT_NODES; j++) {
                node_state& child = ch.nodes[j];
                if (child.parent != k || (child.flags & NODE_FLAG_MUTED)) continue;
                if (child.kind == NODE_OSCILLATOR) {
                    if (k == 0 && ch.wide) {
                        int32_t pan = std::clamp(child.params[1] / 65536, -127, 127);
                        apply_op(child.op, child.fm_shift, child.output, nd.output, n, stereo_contrib[pan + 128]);
                        apply_op(child.op, child.fm_shift, child.output, stereo, n, stereo_contrib[128 - pan]);
                    } else {
                        apply_op(child.op, child.fm_shift, child.output, nd.output, n, 4096);
                    }
                } else if (child.kind >= NODE_FILTER && child.kind <= NODE_GAIN) {
                    apply_fx(child, nd.output, n);
                    if (child.twin_index >= 0) apply_fx(ch.nodes[child.twin_index], stereo, n);
                }
            }
        }
    }
}

}  // namespace

// ---- Loading --------------------------------------------------------------------------------------

void point_channel_node_outputs(int channel) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS) return;
    mudo_channel& ch = mixer.channels[channel];
    for (int k = 0; k < MUDO_MAX_CHANNEL_NODES; k++)
        ch.nodes[k].output = mixer.node_output[channel * MUDO_MAX_CHANNEL_NODES + k];
}

void grab_node_tree(int channel) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS) return;
    mudo_channel& ch = mixer.channels[channel];
    mudo_channel_written(channel);
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) ch.nodes[k].kind = NODE_SILENT;
    ch.tree_depth = 0;
    if (ch.instrument == MUDO_NO_INSTRUMENT) return;
    uint32_t r = mudo_instrument_address(ch.base_address, ch.instrument);
    ch.instrument_flags = mudo_peek((uint64_t)r + MUDO_INSTRUMENT_FLAGS_OFFSET);
    ch.wide = (ch.instrument_flags & INSTRUMENT_FLAG_WIDE) ? 1 : 0;
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
        node_state& nd = ch.nodes[k];
        uint64_t e = ((uint64_t)r + 32 * (uint64_t)k) & ADDRESS_MASK;
        uint8_t b0 = mudo_peek(e), b1 = mudo_peek(e + 1);
        nd.entry = (uint32_t)e;
        nd.parent = b0 & 15;
        nd.op = b0 >> 4;
        nd.kind = b1 & 15;
        nd.wave = b1 >> 4;
        nd.flags = (uint16_t)(mudo_peek(e + 2) | mudo_peek(e + 3) << 8);
        nd.twin = 0;
        nd.twin_index = -1;
        nd.depth = k > nd.parent ? ch.nodes[nd.parent].depth + 1 : 0;
        ch.tree_depth = std::max(ch.tree_depth, nd.depth);
        if (nd.kind == NODE_OSCILLATOR) {
            uint64_t d = (uint64_t)r + MUDO_WAVE_DESCRIPTORS_OFFSET + 4 * (uint64_t)(nd.wave & 3);
            nd.wave_address = (uint32_t)mudo_peek(d) << 8 | (uint32_t)mudo_peek(d + 1) << 16;
            nd.wave_log2_width = std::min<uint32_t>(mudo_peek(d + 2), 16);
            nd.wave_width = 1u << nd.wave_log2_width;
            nd.wave_count = mudo_peek(d + 3) ? mudo_peek(d + 3) : 256;
        }
    }
    node_state& stereo = ch.nodes[STEREO_NODE_INDEX];
    memset(&stereo, 0, sizeof(stereo));
    stereo.output = mixer.node_output[channel * MUDO_MAX_CHANNEL_NODES + STEREO_NODE_INDEX];
    if (!ch.wide) return;
    // Each effect right under a top-level node gets a twin on a free node for the right side.
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
        node_state& nd = ch.nodes[k];
        if (nd.depth != 1 || nd.kind < NODE_FILTER || nd.twin) continue;
        for (int j = k + 1; j < MUDO_INSTRUMENT_NODES; j++) {
            node_state& tw = ch.nodes[j];
            if (tw.kind != NODE_SILENT) continue;
            tw.entry = nd.entry;
            memcpy(tw.params, nd.params, sizeof(tw.params));
            tw.kind = nd.kind;
            tw.op = nd.op;
            tw.flags = nd.flags;
            tw.wave = nd.wave;
            tw.wave_address = nd.wave_address;
            tw.wave_log2_width = nd.wave_log2_width;
            tw.wave_width = nd.wave_width;
            tw.wave_count = nd.wave_count;
            memcpy(tw.env_ticks, nd.env_ticks, sizeof(tw.env_ticks));
            memcpy(tw.random_values, nd.random_values, sizeof(tw.random_values));
            memcpy(tw.held_levels, nd.held_levels, sizeof(tw.held_levels));
            tw.twin = 1;
            tw.parent = STEREO_NODE_INDEX;
            nd.twin_index = j;
            break;
        }
    }
}

void prepare_nodes_for_new_instrument(int channel) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS) return;
    mudo_channel& ch = mixer.channels[channel];
    mudo_channel_written(channel);
    for (int k = 0; k < MUDO_MAX_CHANNEL_NODES; k++) {
        node_state& nd = ch.nodes[k];
        nd.echo_prev_delay = nd.echo_prev_level = -1;
        memset(nd.filter_state, 0, sizeof(nd.filter_state));
        if (nd.kind == NODE_ECHO)
            memset(mixer.node_output[channel * MUDO_MAX_CHANNEL_NODES + k], 0, sizeof(mixer.node_output[0]));
        nd.echo_pos = 0;
    }
}

// ---- Note start -----------------------------------------------------------------------------------

void retrigger_mval_env_tick(int channel, int node, int param, uint32_t mval) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS || node < 0 || node >= MUDO_MAX_CHANNEL_NODES || param < 0 ||
        param >= MUDO_NODE_PARAMS)
        return;
    mudo_channel& ch = mixer.channels[channel];
    mudo_channel_written(channel);
    uint32_t env = envelope_address(ch, mval);
    uint8_t type = mudo_peek(env), flags = mudo_peek((uint64_t)env + 1);
    int32_t& pos = ch.nodes[node].env_ticks[param];
    if (!(flags & 16) && type != 2) {
        pos = 0;
        return;
    }
    int64_t step = step_duration(ch, mudo_peek((uint64_t)env + 2));
    int64_t start = mudo_peek((uint64_t)env + 5);
    int64_t p = step * start;
    if ((flags & 8) && start > 0) p = mudo_rand() % (step * start);
    int64_t loop_start = mudo_peek((uint64_t)env + 3), loop_end = mudo_peek((uint64_t)env + 4);
    if (loop_end > loop_start) p = wrap_into_loop(p, step, loop_start, loop_end);
    pos = (int32_t)p;
}

void retrigger_channel_nodes(int channel) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS) return;
    mudo_channel& ch = mixer.channels[channel];
    mudo_channel_written(channel);
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
        node_state& nd = ch.nodes[k];
        if (!(nd.flags & NODE_FLAG_KEEP_PHASE)) nd.phase = 0;
        for (int i = 0; i < MUDO_NODE_PARAMS; i++) {
            uint32_t mval = node_mval(nd, i);
            if ((mval & 4) && !(mval & 8)) retrigger_mval_env_tick(channel, k, i, mval);
            nd.random_values[i] = mudo_rand() % (uint32_t)MUDO_ENVELOPE_MAX;
        }
    }
}

// ---- Evaluation -----------------------------------------------------------------------------------

int32_t evaluate_envelope(uint32_t address, int32_t t, int channel, uint64_t held) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS) return 0;
    const mudo_channel& ch = mixer.channels[channel];
    uint64_t a = address;
    auto byte = [&](uint64_t offset) { return (int64_t)mudo_peek(a + offset); };
    constexpr int64_t top = MUDO_ENVELOPE_MAX;
    switch (byte(0)) {
    case 0: {  // ADSR
        int64_t attack = mudo_duration((uint32_t)byte(8)), decay = mudo_duration((uint32_t)byte(9));
        int64_t sustain = byte(10) << 8, release = mudo_duration((uint32_t)byte(11));
        if (ch.note_on) {
            if (t < attack) return (int32_t)((top + (int64_t)t * top) / (attack + 1));
            int64_t u = (int64_t)t - attack;
            if (u > decay) return (int32_t)sustain;
            return (int32_t)(sustain + (top - sustain) * (decay + 1 - u) / (decay + 1));
        }
        if (release == 0) return 0;
        int64_t left = std::max<int64_t>(0, release - (int64_t)ch.ticks_since_release);
        return (int32_t)(left * (int64_t)std::min<uint64_t>(held, (uint64_t)top) / (release + 1));
    }
    case 1: {  // LFO
        int64_t period = step_duration(ch, (uint8_t)byte(12));
        double v = std::trunc(std::sin(2 * 3.141562 * t / (double)period + byte(14) / 256.0 * 6.283124) * 32640);
        v = std::min(v, 32640.0);
        return v < -32640 ? 0 : (int32_t)v + 32640;
    }
    case 2: {  // data steps
        int64_t step = step_duration(ch, (uint8_t)byte(2));
        int64_t i = (int64_t)t / step;
        int64_t value = i >= 0 && i <= 15 ? byte(8 + (uint64_t)i) : 0;
        if (!(byte(1) & 1)) return (int32_t)(value << 8);
        int64_t loop_start = byte(3), loop_end = byte(4);
        int64_t j = loop_start < loop_end && i + 1 == loop_end ? loop_start : i + 1;
        int64_t next = j >= 0 && j <= 15 ? byte(8 + (uint64_t)j) : 0;
        return (int32_t)((value << 8) + (next - value) * ((((int64_t)t - i * step) << 8) / step));
    }
    default:
        return 0;
    }
}

int32_t eval_mval(int channel, int node, int param, uint32_t mval, int32_t parent_value) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS || node < 0 || node >= MUDO_MAX_CHANNEL_NODES || param < 0 ||
        param >= MUDO_NODE_PARAMS)
        return 0;
    mudo_channel& ch = mixer.channels[channel];
    node_state& nd = ch.nodes[node];
    int64_t value = mval_base_value(ch, channel, nd, param, mval);
    if ((mval >> 24) > 63) {
        int amount = shift_amount(mval);
        bool right = mval >> 24 & 32;
        if (param == 0 && nd.kind == NODE_OSCILLATOR && (nd.op == NODE_OP_FM || nd.op == NODE_OP_MULTIPLY))
            nd.fm_shift = right ? -amount : amount;
        else if (right) value /= int64_t(1) << amount;
        else value *= int64_t(1) << amount;
    }
    switch (mval & 3) {
    case 1: value += parent_value; break;
    case 2: value = (value >> 11) * ((int64_t)parent_value >> 11); break;
    default: break;
    }
    int32_t result = saturate32(value);
    if (mval & 32) result = (int32_t)((uint32_t)result & 0xffff0000u);
    return result;
}

void evaluate_channel_node_parameters(int channel) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS) return;
    mudo_channel& ch = mixer.channels[channel];
    memset(&root_node, 0, sizeof(root_node));
    root_node.params[0] = ch.current_volume;
    root_node.params[1] = saturate32((int64_t)ch.pan * 65536);
    root_node.params[2] = (int32_t)((uint32_t)ch.current_pitch & 0xffff0000u);
    root_node.params[3] = (ch.current_pitch & 0xffff) << 8;
    root_node.ratio_numerator = root_node.ratio_denominator = 1;
    apply_channel_effect(ch);

    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
        node_state& nd = ch.nodes[k];
        if (nd.kind == NODE_SILENT) continue;
        nd.fm_input = nullptr;
        const node_state& parent = k > nd.parent ? ch.nodes[nd.parent] : root_node;
        bool sounding = nd.kind == NODE_GROUP || nd.kind == NODE_OSCILLATOR;
        if (sounding) {
            nd.ratio_numerator = std::max<uint32_t>(parent.ratio_numerator, 1);
            nd.ratio_denominator = std::max<uint32_t>(parent.ratio_denominator, 1);
        }
        for (int i = 0; i < MUDO_NODE_PARAMS; i++) {
            uint32_t mval = node_mval(nd, i);
            int32_t parent_value = nd.kind == NODE_GAIN && i == 3     ? ch.nodes[0].params[0]
                                   : nd.kind == NODE_FILTER && i == 2 ? nd.params[0]
                                                                      : parent.params[i];
            if (sounding && i == 2 && (mval & 2)) {
                nd.params[2] = parent.params[2];
                apply_ratio(ch, channel, nd, mval);
            } else {
                nd.params[i] = eval_mval(channel, k, i, mval, parent_value);
            }
            int32_t& pos = nd.env_ticks[i];
            if (pos < ENVELOPE_TICK_LIMIT) pos++;
            if (!ch.note_on) continue;
            uint32_t env = envelope_address(ch, mval);
            uint8_t type = mudo_peek(env), flags = mudo_peek((uint64_t)env + 1);
            int64_t loop_start = mudo_peek((uint64_t)env + 3), loop_end = mudo_peek((uint64_t)env + 4);
            if (loop_end > loop_start && (type == 2 || (flags & 16))) {
                int64_t step = step_duration(ch, mudo_peek((uint64_t)env + 2));
                pos = (int32_t)wrap_into_loop(pos, step, loop_start, loop_end);
            }
        }
        if (sounding)
            nd.phase_step = phase_step_for(nd.params[2], nd.params[3], nd.ratio_numerator, nd.ratio_denominator);
    }
}

// ---- Rendering a tick -----------------------------------------------------------------------------

void render_channel_tick(int channel, int32_t n) {
    if (channel < 0 || channel >= MUDO_CHANNEL_SLOTS || n < 1) return;
    n = std::min(n, MUDO_NODE_BUFFER);
    mudo_channel& ch = mixer.channels[channel];
    point_channel_node_outputs(channel);
    // Without nodes (no instrument) a tick only clears the buffers it renders: over samples
    // known to be silence already, it writes nothing.
    bool no_nodes = true, all_rendered = true;
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
        no_nodes = no_nodes && ch.nodes[k].kind == NODE_SILENT;
        all_rendered = all_rendered && ch.nodes[k].depth < (uint32_t)MUDO_INSTRUMENT_NODES;
    }
    int32_t& silent = mixer.silent_node_samples[channel];
    if (!no_nodes) silent = 0;
    if (!no_nodes || !mudo_skip_resting_channels || silent < n) render_nodes(ch, n);
    if (no_nodes && all_rendered) silent = std::max(silent, n);

    if (ch.note_on) ch.ticks_since_note_on++;
    else ch.ticks_since_release++;
    memcpy(ch.prev_nodes, ch.nodes, sizeof(ch.nodes));
}
