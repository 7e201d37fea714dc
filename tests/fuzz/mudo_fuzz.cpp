// Fuzz target: an instrument made of arbitrary bytes, played on a channel whose state also
// comes from the input, rendered for a few short ticks with a retrigger and a release between
// them.
// Layout: 24 bytes of channel state, then up to 1024 bytes at the instrument's address (its
// envelopes may run past the record), then wave data at 0x80000. Every node must keep its
// state in range: phases inside the wave, echo positions inside the line, envelope positions
// not negative, frequency ratios at least 1, oscillator samples within full scale.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "audio/mudo.h"
#include "kernel/memory.h"

namespace {

constexpr uint32_t BASE = 0x30000;
constexpr size_t STATE_BYTES = 24;
constexpr size_t INSTRUMENT_BYTES = 1024;
constexpr uint32_t WAVES = 0x80000;
constexpr size_t MAX_WAVE_BYTES = 8192;

uint32_t word(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }

void check_channel(int c) {
    const mudo_channel& ch = mixer.channels[c];
    for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
        const node_state& nd = ch.nodes[k];
        if (nd.echo_pos >= (uint32_t)MUDO_NODE_BUFFER) abort();
        for (int i = 0; i < MUDO_NODE_PARAMS; i++)
            if (nd.env_ticks[i] < 0 || nd.random_values[i] >= (uint32_t)MUDO_ENVELOPE_MAX) abort();
        if (nd.kind != NODE_OSCILLATOR && nd.kind != NODE_GROUP) continue;
        if (nd.ratio_numerator < 1 || nd.ratio_denominator < 1) abort();
        if (nd.kind != NODE_OSCILLATOR || (nd.flags & NODE_FLAG_MUTED)) continue;
        if (nd.wave_log2_width > 16 || nd.phase >> (nd.wave_log2_width + 16) != 0) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        mudo_init();
        ready = true;
    }
    if (size < STATE_BYTES) return 0;
    const int c = 0;
    memset(&mixer.channels[c], 0, sizeof(mixer.channels[c]));
    memset(mixer.node_output[0], 0, sizeof(mixer.node_output[0]) * MUDO_MAX_CHANNEL_NODES);
    memset(mixer_ram + BASE + MUDO_INSTRUMENTS_OFFSET, 0, INSTRUMENT_BYTES);
    memset(mixer_ram + WAVES, 0, MAX_WAVE_BYTES);
    reset_channel_state(c);

    const uint8_t* s = data;
    size_t instrument_bytes = std::min(size - STATE_BYTES, INSTRUMENT_BYTES);
    memcpy(mixer_ram + BASE + MUDO_INSTRUMENTS_OFFSET, data + STATE_BYTES, instrument_bytes);
    size_t wave_bytes = std::min(size - STATE_BYTES - instrument_bytes, MAX_WAVE_BYTES);
    memcpy(mixer_ram + WAVES, data + STATE_BYTES + instrument_bytes, wave_bytes);

    mudo_channel& ch = mixer.channels[c];
    ch.base_address = BASE;
    ch.instrument = 0;
    ch.pitch = s[0];
    ch.volume = s[1];
    ch.pan = (int8_t)s[2];
    ch.current_pitch = (int32_t)word(s + 4);
    ch.current_volume = (int32_t)word(s + 8);
    ch.effect = s[12];
    ch.effect_param = s[13];
    ch.note_on = 1;
    ch.track_active = s[14] & 1;
    ch.speed = s[15];
    ch.row = (int8_t)s[16];
    ch.track_address = word(s + 17) & 0xFFFFFF;
    ch.lfo_phase = s[21] << 8;
    ch.ticks_played = s[22];
    int32_t last_tick = 1 + (int32_t)(s[23] * 2);  // 1..511 samples, the others 100

    grab_node_tree(c);
    prepare_nodes_for_new_instrument(c);
    retrigger_channel_nodes(c);
    constexpr int TICKS = 5;
    for (int t = 0; t < TICKS; t++) {
        if (t == 2) retrigger_channel_nodes(c);
        if (t == 3) ch.note_on = 0;
        ch.tick = (uint32_t)t % std::max<uint32_t>(ch.speed, 1);
        grab_node_tree(c);
        evaluate_channel_node_parameters(c);
        int32_t n = t == TICKS - 1 ? last_tick : 100;
        render_channel_tick(c, n);
        check_channel(c);
        for (int k = 0; k < MUDO_INSTRUMENT_NODES; k++) {
            const node_state& nd = ch.nodes[k];
            if (nd.kind != NODE_OSCILLATOR || (nd.flags & NODE_FLAG_MUTED) || k == 0) continue;
            // A child's samples are its own: nothing below it writes into an oscillator.
            bool has_children = false;
            for (int j = k + 1; j < MUDO_INSTRUMENT_NODES; j++) has_children |= ch.nodes[j].parent == k;
            if (has_children) continue;
            const int16_t* out = mixer.node_output[c * MUDO_MAX_CHANNEL_NODES + k];
            for (int32_t i = 0; i < n; i++)
                if (out[i] < -32767) abort();
        }
    }
    return 0;
}
