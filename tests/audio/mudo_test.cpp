// The synthesiser's node trees on small hand-made instruments: exact samples of oscillators,
// ops, filter, echo, gain and envelopes, measured pitch, channel effects, the state readers,
// and hostile parameter values that must stay in range.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "audio/mudo.h"
#include "kernel/memory.h"

namespace {

constexpr uint32_t BASE = 0x30000;
constexpr int32_t TICK = (int32_t)MUDO_SAMPLES_PER_TICK;
constexpr uint64_t STEP_48 = (523ull << 25) / 44100;  // 16.16 samples per output sample at pitch 48

constexpr uint32_t mv(uint8_t flags, uint8_t a, uint8_t b = 0, uint8_t b3 = 0) {
    return flags | (uint32_t)a << 8 | (uint32_t)b << 16 | (uint32_t)b3 << 24;
}
uint32_t instrument_at(int i) { return BASE + 0x10000 + 512 * (uint32_t)i; }
void put16(uint32_t a, int16_t v) {
    mixer_ram[a & ADDRESS_MASK] = (uint8_t)v;
    mixer_ram[(a + 1) & ADDRESS_MASK] = (uint8_t)((uint16_t)v >> 8);
}

constexpr uint32_t ADD_PARENT = mv(1, 0);
struct node_def {
    int k;
    uint8_t parent, op, kind, wave;
    std::array<uint32_t, 7> mvals;
    uint8_t flags = 0;
};
// An oscillator that follows the channel's pitch and pan, at volume 64.0, phase offset 0.
node_def osc(int k, uint8_t parent, uint8_t wave, uint8_t op = 0, uint32_t volume = mv(0, 64)) {
    return {k, parent, op, NODE_OSCILLATOR, wave, {volume, ADD_PARENT, ADD_PARENT, ADD_PARENT, 0, mv(0, 0x80), 0}};
}
void put_node(int inst, const node_def& d) {
    uint32_t e = instrument_at(inst) + 32 * (uint32_t)d.k;
    mixer_ram[e] = (uint8_t)(d.parent | d.op << 4);
    mixer_ram[e + 1] = (uint8_t)(d.kind | d.wave << 4);
    mixer_ram[e + 2] = d.flags;
    for (int i = 0; i < 7; i++)
        for (int b = 0; b < 4; b++) mixer_ram[e + 4 + 4 * i + b] = (uint8_t)(d.mvals[i] >> (8 * b));
}
// Descriptor d of an instrument: count waves of 2^log2 samples at address, sample j of wave w
// given by value(w, j).
template <typename F>
void put_wave(int inst, int d, uint32_t address, uint8_t log2, uint8_t count, F value) {
    uint32_t desc = instrument_at(inst) + 480 + 4 * (uint32_t)d;
    mixer_ram[desc] = (uint8_t)(address >> 8);
    mixer_ram[desc + 1] = (uint8_t)(address >> 16);
    mixer_ram[desc + 2] = log2;
    mixer_ram[desc + 3] = count;
    uint32_t width = 1u << std::min<uint32_t>(log2, 16);
    for (uint32_t w = 0; w < (count ? count : 256u); w++)
        for (uint32_t j = 0; j < width; j++) put16(address + 2 * (w * width + j), (int16_t)value(w, j));
}
void put_const_wave(int inst, int d, uint32_t address, int16_t v) {
    put_wave(inst, d, address, 4, 1, [v](uint32_t, uint32_t) { return v; });
}
void put_envelope(int inst, int e, std::initializer_list<uint8_t> bytes) {
    uint32_t a = instrument_at(inst) + 0x100 + 24 * (uint32_t)e, i = 0;
    for (uint8_t b : bytes) mixer_ram[a + i++] = b;
}

void play(int c, int inst, int pitch = 48, int volume = 64) {
    mudo_channel& ch = mixer.channels[c];
    ch.base_address = BASE;
    ch.instrument = (uint32_t)inst;
    ch.pitch = (uint32_t)pitch;
    ch.volume = (uint32_t)volume;
    ch.current_pitch = pitch << 16;
    ch.current_volume = volume << 16;
    ch.note_on = 1;
    ch.ticks_since_note_on = 0;
    grab_node_tree(c);
    prepare_nodes_for_new_instrument(c);
    retrigger_channel_nodes(c);
}
// One tick of the channel; the samples of one of its node buffers.
std::vector<int16_t> tick(int c, int node = 0, int32_t n = TICK) {
    grab_node_tree(c);
    evaluate_channel_node_parameters(c);
    render_channel_tick(c, n);
    const int16_t* out = mixer.node_output[c * MUDO_MAX_CHANNEL_NODES + node];
    return {out, out + n};
}
std::vector<int16_t> samples(std::initializer_list<std::pair<int, int16_t>> runs) {
    std::vector<int16_t> v;
    for (auto [count, value] : runs) v.insert(v.end(), (size_t)count, value);
    return v;
}

struct Synth : testing::Test {
    void SetUp() override {
        mudo_init();
        memset(mixer_ram, 0, ADDRESS_SPACE_SIZE);
        memset(mixer.channels, 0, sizeof(mixer.channels));
        for (int c = 0; c < MUDO_CHANNELS; c++) mixer.channels[c].index = (uint32_t)c;
        mudo_kill_all_audio();
    }
    void TearDown() override { SetUp(); }
};

TEST_F(Synth, OscillatorFollowsItsWaveAtThePitchStep) {
    // A ramp interpolates exactly, so sample i is the wave at i steps of pitch 48.
    put_wave(0, 0, 0x80000, 10, 1, [](uint32_t, uint32_t j) { return 32 * (int)j - 16384; });
    for (auto [volume, shift] : {std::pair{64, 0}, {32, 1}}) {
        put_node(0, osc(0, 0, 0, 0, mv(0, (uint8_t)volume)));
        play(0, 0);
        std::vector<int16_t> out = tick(0);
        for (uint64_t i = 0; i < 150; i++)
            ASSERT_EQ(out[i], ((int)((32 * ((i * STEP_48) & 0x3ffffff)) >> 16) - 16384) >> shift) << i;
    }
    EXPECT_EQ(mixer.channels[0].nodes[0].phase_step, STEP_48);
    EXPECT_EQ(mixer.channels[0].ticks_since_note_on, 1u);
}

TEST_F(Synth, PitchMeasuredFromRenderedSamples) {
    put_wave(0, 0, 0x80000, 10, 1, [](uint32_t, uint32_t j) { return (int)(30000 * std::sin(j * 2 * M_PI / 1024)); });
    put_node(0, osc(0, 0, 0));
    for (auto [note, hz] : {std::pair{57, 440.0}, {48, 261.5}, {60, 523.0}}) {
        play(0, 0, note);
        std::vector<int16_t> out;
        for (int t = 0; t < 120; t++) {
            std::vector<int16_t> s = tick(0);
            out.insert(out.end(), s.begin(), s.end());
        }
        double first = -1, last = 0;
        int crossings = 0;
        for (size_t i = 1; i < out.size(); i++) {
            if (out[i - 1] < 0 && out[i] >= 0) {
                double at = (double)(i - 1) + (double)-out[i - 1] / (out[i] - out[i - 1]);
                if (first < 0) first = at;
                last = at;
                crossings++;
            }
        }
        EXPECT_NEAR((crossings - 1) / (last - first) * MUDO_SAMPLE_RATE, hz, 0.3) << note;
    }
}

TEST_F(Synth, ChildOpsOnTheParentBuffer) {
    put_const_wave(0, 0, 0x80000, 10000);
    put_const_wave(0, 1, 0x81000, 12000);
    struct {
        uint8_t op;
        int16_t expected;
    } cases[] = {{NODE_OP_ADD, 22000}, {NODE_OP_FM, 10000}, {NODE_OP_MULTIPLY, 3662}, {NODE_OP_XOR, 2544},
                 {NODE_OP_OR, 12272}, {7, 10000}};
    for (auto c : cases) {
        put_node(0, osc(0, 0, 0));
        put_node(0, osc(1, 0, 1, c.op));
        play(0, 0);
        EXPECT_EQ(tick(0)[5], c.expected) << (int)c.op;
    }
    // A muted child adds nothing.
    put_node(0, {1, 0, 0, NODE_OSCILLATOR, 1, osc(1, 0, 1).mvals, NODE_FLAG_MUTED});
    EXPECT_EQ(tick(0)[5], 10000);
}

TEST_F(Synth, FrequencyModulationAdvancesTheParentPhase) {
    put_wave(0, 0, 0x80000, 10, 1, [](uint32_t, uint32_t j) { return (int)j; });
    put_const_wave(0, 1, 0x81000, 100);
    put_node(0, osc(0, 0, 0));
    put_node(0, osc(1, 0, 1, NODE_OP_FM));
    play(0, 0);
    tick(0);
    EXPECT_EQ(mixer.channels[0].nodes[0].phase, (TICK * (STEP_48 + (100 << 6))) & 0x3ffffff);
    EXPECT_EQ(mixer.channels[0].nodes[0].fm_input, mixer.node_output[1]);
}

TEST_F(Synth, RatioParameterScalesTheStep) {
    put_node(0, {0, 0, 0, NODE_GROUP, 0, {0, 0, ADD_PARENT, ADD_PARENT}});
    put_node(0, {1, 0, 0, NODE_OSCILLATOR, 0, {0, 0, mv(2, 0x21), ADD_PARENT}});
    play(0, 0);
    tick(0);
    const node_state& nd = mixer.channels[0].nodes[1];
    EXPECT_EQ(nd.ratio_numerator, 2u);
    EXPECT_EQ(nd.ratio_denominator, 3u);
    EXPECT_EQ(nd.params[2], 48 << 16);
    EXPECT_EQ(nd.phase_step, STEP_48 * 2 / 3);
}

TEST_F(Synth, FilterSmoothsAStep) {
    put_const_wave(0, 0, 0x80000, 10000);
    put_node(0, osc(0, 0, 0));
    put_node(0, {1, 0, 0, NODE_FILTER, 0, {mv(0, 128)}});
    play(0, 0);
    std::vector<int16_t> out = tick(0);
    EXPECT_EQ((std::vector<int16_t>(out.begin(), out.begin() + 3)), (std::vector<int16_t>{2500, 4375, 5781}));
}

TEST_F(Synth, EchoFeedsBackDelayedSamplesAcrossTicks) {
    put_const_wave(0, 0, 0x80000, 1000);
    put_node(0, osc(0, 0, 0));
    put_node(0, {1, 0, 0, NODE_ECHO, 0, {mv(0, 1), mv(0, 128)}});  // 126 samples back at half level
    play(0, 0);
    EXPECT_EQ(tick(0), samples({{126, 1000}, {126, 1500}, {115, 1750}}));
    EXPECT_EQ(tick(0, 0, 12), samples({{11, 1750}, {1, 1875}}));
    prepare_nodes_for_new_instrument(0);  // a new instrument starts with an empty line
    EXPECT_EQ(tick(0, 0, 1), samples({{1, 1000}}));
}

TEST_F(Synth, EchoChannelFadesEachNodeIntoItsNewSettings) {
    put_const_wave(0, 0, 0x80000, 16384);
    put_node(0, osc(0, 0, 0, 0, ADD_PARENT));
    put_node(0, {1, 0, 0, NODE_ECHO, 0, {0, 0}});  // no feedback: the echo passes its input
    play(0, 0, 48, 64);
    EXPECT_EQ(tick(0)[0], 16384);
    mixer.channels[0].current_volume = 32 << 16;
    std::vector<int16_t> out = tick(0);
    EXPECT_EQ((std::vector<int16_t>{out[0], out[32], out[63], out[64]}),
              (std::vector<int16_t>{16384, 12288, 8320, 8192}));
}

TEST_F(Synth, GainDrivesClipsAndScales) {
    struct {
        int16_t input;
        uint8_t drive, level;
        int16_t expected;
    } cases[] = {{10000, 0, 64, 10000}, {-1000, 255, 64, -8000}, {1000, 255, 32, 4000}, {5000, 255, 64, 32767}};
    for (auto c : cases) {
        put_const_wave(0, 0, 0x80000, c.input);
        put_node(0, osc(0, 0, 0));
        put_node(0, {1, 0, 0, NODE_GAIN, 0, {mv(0, c.drive), 0, 0, mv(0, c.level)}});
        play(0, 0);
        EXPECT_EQ(tick(0)[7], c.expected) << c.input << " " << (int)c.drive;
    }
}

TEST_F(Synth, EnvelopesShapeAParameter) {
    // Volume 255.0 × the level over a wave of 4096 gives level / 4 as the sample.
    put_const_wave(0, 0, 0x80000, 4096);
    put_node(0, osc(0, 0, 0, 0, mv(4, 255)));
    struct {
        std::initializer_list<uint8_t> envelope;
        std::vector<int> levels;  // at successive ticks
    } cases[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0, 4, 4, 128, 4},  // ADSR
         {13056, 26112, 39168, 52224, 65280, 58777, 52275, 45772, 39270, 32768, 32768}},
        {{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8}, {32640, 55719, 65279, 55720, 32641, 9561, 1, 9559}},  // LFO
        {{2, 1, 2, 0, 2, 0, 0, 0, 0, 255}, {0, 32640, 65280, 32640, 0, 32640, 65280}},  // looping data steps
    };
    for (auto& c : cases) {
        put_envelope(0, 0, c.envelope);
        play(0, 0);
        for (size_t t = 0; t < c.levels.size(); t++) EXPECT_EQ(tick(0)[0], c.levels[t] >> 2) << t;
    }
    // After the release the ADSR falls from the level it held over its release time.
    put_envelope(0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 4, 4, 128, 4});
    play(0, 0);
    for (int t = 0; t < 12; t++) tick(0);
    mixer.channels[0].note_on = 0;
    mixer.channels[0].ticks_since_release = 0;
    for (int level : {4 * 32768 / 5, 3 * 32768 / 5, 2 * 32768 / 5, 32768 / 5, 0, 0}) EXPECT_EQ(tick(0)[0], level >> 2);
}

TEST_F(Synth, EnvelopeRestartsInsideItsLoop) {
    put_envelope(0, 12, {2, 16, 2, 0, 2, 3});  // index 12 lies past the flags byte
    put_node(0, osc(0, 0, 0, 0, mv(4, 255, 0, 12)));
    play(0, 0);
    EXPECT_EQ(mixer.channels[0].nodes[0].env_ticks[0], 2);  // step 3 of 2 ticks, looped back into 0..2
}

TEST_F(Synth, MvalEvaluation) {
    struct {
        uint8_t kind;
        int param;
        uint32_t mval;
        int32_t parent, expected;
    } cases[] = {
        {NODE_OSCILLATOR, 0, mv(0, 5), 0, 5 << 16},
        {NODE_OSCILLATOR, 0, mv(1, 2), 3 << 16, 5 << 16},
        {NODE_OSCILLATOR, 0, mv(2, 2), 3 << 16, 6144},             // 2.0 × 3.0 on the 64.0 scale
        {NODE_OSCILLATOR, 0, mv(3, 2), 3 << 16, 2 << 16},          // both relations: neither
        {NODE_FILTER, 0, mv(0, 5, 0, 0x40), 0, 5 << 18},
        {NODE_FILTER, 0, mv(0, 5, 0, 0xE0), 0, 5 << 10},
        {NODE_FILTER, 0, mv(32, 200, 0, 0xA0), 0, 12 << 16},       // 12.5, made whole
        {NODE_OSCILLATOR, 1, mv(0, 0xFF), 0, -65536},              // pan is signed
        {NODE_FILTER, 1, mv(0, 0xFF), 0, 255 << 16},
        {NODE_FILTER, 0, mv(16, 255, 0), 0, 1000 << 8},            // random value 1000
        {NODE_FILTER, 0, mv(1, 255, 0, 0xC0), INT32_MAX, INT32_MAX},  // sums and products saturate
        {NODE_FILTER, 0, mv(2, 255, 0, 0xC0), INT32_MAX, INT32_MAX},
        {NODE_OSCILLATOR, 0, mv(1, 255, 0, 0xC0), INT32_MIN, INT32_MIN + (255 << 22)},
    };
    node_state& nd = mixer.channels[0].nodes[0];
    for (auto& c : cases) {
        nd.kind = c.kind;
        nd.op = 0;
        nd.random_values[c.param] = 1000;
        EXPECT_EQ(eval_mval(0, 0, c.param, c.mval, c.parent), c.expected) << std::hex << c.mval;
    }
    // A frequency-modulating oscillator keeps its volume's shift for the modulation instead.
    nd.kind = NODE_OSCILLATOR;
    nd.op = NODE_OP_FM;
    EXPECT_EQ(eval_mval(0, 0, 0, mv(0, 64, 0, 0xE0), 0), 64 << 16);
    EXPECT_EQ(nd.fm_shift, -6);
}

TEST_F(Synth, ChannelEffectsOnTheRoot) {
    put_node(0, {0, 0, 0, NODE_GROUP, 0, {ADD_PARENT, 0, ADD_PARENT, ADD_PARENT}});
    struct {
        char effect;
        uint8_t param;
        std::vector<int> pitch;   // integer pitch of node 0 at successive ticks
        std::vector<int> volume;  // its volume, empty when unchanged
    } cases[] = {
        {'a', 0x47, {48, 48, 48, 48, 52, 52, 52, 52, 55, 55, 55, 55, 48}, {}},
        {'A', 0x47, {55, 55, 55, 55, 52, 52, 52, 52, 48}, {}},
        {'o', 0x32, {48, 48, 51, 51, 48, 48}, {}},
        {'o', 0x02, {48, 48, 48, 48}, {64, 64, 0, 0}},
        {'<', 0x00, {48, 48, 48, 48}, {0, 16, 32, 48}},
        {'>', 0x80, {48, 48, 48, 48}, {64, 56, 48, 40}},
    };
    for (auto& c : cases) {
        play(0, 0);
        mudo_channel& ch = mixer.channels[0];
        ch.track_active = 1;
        ch.speed = c.effect == '<' || c.effect == '>' ? 4 : 16;
        ch.effect = (uint32_t)c.effect;
        ch.effect_param = c.param;
        ch.arp_step = ch.arp_ticks = ch.alt_state = ch.alt_ticks = 0;
        for (size_t t = 0; t < c.pitch.size(); t++) {
            ch.tick = (uint32_t)t % ch.speed;
            tick(0);
            EXPECT_EQ(ch.nodes[0].params[2] >> 16, c.pitch[t]) << c.effect << " " << t;
            if (!c.volume.empty()) {
                EXPECT_EQ(ch.nodes[0].params[0] >> 16, c.volume[t]) << c.effect << " " << t;
            }
        }
    }
    EXPECT_EQ(mixer.channels[0].volume, 40u);  // the fade's last tick keeps its level
    // Vibrato moves the fine pitch by the sine of the phase, which stays inside one cycle.
    play(0, 0);
    mudo_channel& ch = mixer.channels[0];
    ch.track_active = 0;
    ch.lfo_phase = 0;
    ch.effect = 'v';
    ch.effect_param = 0;
    tick(0);
    tick(0);
    EXPECT_EQ(ch.nodes[0].params[3], 25079 * 40 * 2);
    ch.effect_param = 0xF0;
    for (int t = 0; t < 10; t++) tick(0);
    EXPECT_EQ(ch.lfo_phase, (2 * 4096 + 10 * 16384) & 0xffff);
    // A capital V is no vibrato: like any other effect it resets the arpeggio and alternation.
    ch.effect = 'V';
    ch.arp_step = ch.arp_ticks = ch.alt_state = ch.alt_ticks = 1;
    tick(0);
    EXPECT_EQ(ch.arp_step + ch.arp_ticks + ch.alt_state + ch.alt_ticks, 0u);
    EXPECT_EQ(ch.lfo_phase, (2 * 4096 + 10 * 16384) & 0xffff);
}

TEST_F(Synth, WideInstrumentSplitsPanAndTwinsEffects) {
    put_const_wave(0, 0, 0x80000, 8192);
    mixer_ram[instrument_at(0) + 479] = INSTRUMENT_FLAG_WIDE;
    put_node(0, {0, 0, 0, NODE_GROUP, 0, {}});
    node_def right = osc(1, 0, 0);
    right.mvals[1] = mv(0, 127);
    put_node(0, right);
    put_node(0, {2, 0, 0, NODE_GAIN, 0, {0, 0, 0, mv(0, 32)}});  // half level
    play(0, 0);
    std::vector<int16_t> left = tick(0), stereo = tick(0, STEREO_NODE_INDEX);
    const mudo_channel& ch = mixer.channels[0];
    EXPECT_EQ(ch.nodes[2].twin_index, 3);
    EXPECT_EQ((int)ch.nodes[3].twin, 1);
    EXPECT_EQ(ch.nodes[3].parent, STEREO_NODE_INDEX);
    EXPECT_EQ(ch.nodes[3].kind, NODE_GAIN);
    EXPECT_EQ(left[9], 0);
    EXPECT_EQ(stereo[9], 8192 * 4095 / 4096 / 2);
}

TEST_F(Synth, LoadingTheInstrument) {
    put_node(0, osc(0, 0, 0));
    put_node(0, osc(1, 5, 0));  // parent above itself: top level, rendered but never heard
    put_node(0, {2, 1, 0, NODE_GROUP, 0, {}});
    put_node(0, osc(3, 2, 0));
    put_wave(0, 0, 0xF80000, 4, 0, [](uint32_t, uint32_t) { return 3000; });
    play(0, 0);
    const mudo_channel& ch = mixer.channels[0];
    EXPECT_EQ(ch.nodes[0].wave_address, 0xF80000u);
    EXPECT_EQ(ch.nodes[0].wave_count, 256u);
    EXPECT_EQ((std::vector<uint32_t>{ch.nodes[0].depth, ch.nodes[1].depth, ch.nodes[2].depth, ch.nodes[3].depth}),
              (std::vector<uint32_t>{0, 0, 1, 2}));
    EXPECT_EQ(ch.tree_depth, 2u);
    for (int t = 0; t < 20; t++) tick(0);
    EXPECT_EQ(tick(0, 0)[0], 3000);
    EXPECT_EQ(tick(0, 1)[0], 3000);
    // A group below the top is cleared every tick, so its child's sound does not pile up.
    EXPECT_EQ(tick(0, 2)[0], 3000);
    // No instrument: every node silent.
    mixer.channels[0].instrument = MUDO_NO_INSTRUMENT;
    EXPECT_EQ(tick(0), samples({{TICK, 0}}));
    for (int k = 0; k < 8; k++) EXPECT_EQ(mixer.channels[0].nodes[k].kind, NODE_SILENT);
}

TEST_F(Synth, HostileValuesStayInRange) {
    // Wave index past the count, width beyond 16 bits, a wave that runs off the end of memory.
    put_wave(0, 0, 0x80000, 4, 4, [](uint32_t w, uint32_t) { return 1000 * (int)(w + 1); });
    put_wave(0, 1, 0x100000, 200, 1, [](uint32_t, uint32_t) { return 1234; });
    put_wave(0, 2, 0xFFFF00, 10, 1, [](uint32_t, uint32_t) { return 777; });
    node_def a = osc(0, 0, 0), b = osc(0, 0, 1), c = osc(0, 0, 2);
    a.mvals[4] = mv(0, 255, 0, 0xC0);
    for (auto [d, expected] : {std::pair{a, 4000}, {b, 1234}, {c, 777}}) {
        put_node(0, d);
        play(0, 0);
        EXPECT_EQ(tick(0)[100], expected);
    }
    // Output beyond full scale clamps.
    put_const_wave(0, 0, 0x80000, 32767);
    put_node(0, osc(0, 0, 0, 0, mv(0, 255)));
    play(0, 0);
    EXPECT_EQ(tick(0)[3], 32767);
    // Pitches far out of range, and a filter and a gain stage at their vanishing divisors.
    put_node(0, osc(0, 0, 0, 0, ADD_PARENT));
    put_node(0, {1, 0, 0, NODE_FILTER, 0, {ADD_PARENT, 0, ADD_PARENT}});
    put_node(0, {2, 0, 0, NODE_GAIN, 0, {ADD_PARENT, mv(0, 255), 0, mv(0, 64)}});
    for (int32_t pitch : {INT32_MAX, INT32_MIN, -300 << 16}) {
        for (int32_t volume : {-266496, -2387383, INT32_MAX}) {
            play(0, 0);
            mixer.channels[0].current_pitch = pitch;
            mixer.channels[0].current_volume = volume;
            for (int t = 0; t < 3; t++)
                for (int16_t s : tick(0)) ASSERT_TRUE(s >= -32767 && s <= 32767);
        }
    }
    EXPECT_EQ(mixer.channels[0].nodes[0].phase_step, 0u);  // far below hearing: standing still
}

TEST_F(Synth, RecordAddressesWrapInsideTheSpace) {
    EXPECT_EQ(mudo_track_address(0xF00000, INT32_MAX), 15859384u);
    EXPECT_EQ(mudo_track_address(0, -1), 0x1FEB8u);
    EXPECT_EQ(mudo_pattern_address(0xFFFF00, 13), (0xFFFF00u + 0x100 + 13 * 20) & 0xFFFFFF);
    EXPECT_EQ(mudo_instrument_address(0xF00000, 254), 0xF10000u + 254 * 512);
    mixer_ram[0xFFFFFF] = 0x34;
    mixer_ram[0] = 0x12;
    EXPECT_EQ(mudo_peek2(0x1FFFFFF), 0x1234);
    EXPECT_EQ((std::vector<int>{mudo_duration(0), mudo_duration(15), mudo_duration(16), mudo_duration(32),
                                mudo_duration(64), mudo_duration(128), mudo_duration(255)}),
              (std::vector<int>{0, 15, 16, 48, 176, 688, 2720}));
}

TEST_F(Synth, StateReaders) {
    EXPECT_EQ((std::vector<int>{gain_tri(0), gain_tri(8191), gain_tri(8192), gain_tri(16383)}),
              (std::vector<int>{32767, 3, 0, 32764}));
    mudo_set_volume(300);
    EXPECT_EQ(mixer.master_volume, 256u);
    mudo_set_volume(-5);
    EXPECT_EQ(mixer.master_volume, 0u);
    EXPECT_EQ(mudo_anything_is_playing(), 0u);
    EXPECT_EQ(mudo_get_channel_state(3, 1, nullptr), -1);  // no instrument, no track
    put_const_wave(0, 0, 0x80000, 500);
    put_node(0, osc(0, 0, 0));
    play(3, 0, 60, 40);
    mudo_set_channel_mix_vol(3, 0x1FF);
    mudo_set_channel_base_addr(3, 0x7FFFFFFF);
    mixer.channels[5].track_active = 1;
    mixer.channels[5].track_index = 9;
    mixer.music_mask = 0x20;
    EXPECT_EQ(mudo_anything_is_playing(), 0x28u);
    EXPECT_EQ(mudo_get_active_channels(), 0x20u);
    EXPECT_EQ(mudo_get_music_state(0), -1);
    EXPECT_EQ(mudo_get_music_state(1), 5);
    std::vector<int> got;
    for (int s : {0, 1, 2, 4, 8, 12, 14, 15, 16, 20, 28}) got.push_back(mudo_get_channel_state(3, s, nullptr));
    EXPECT_EQ(got, (std::vector<int>{1, 0, 40, 60, 367, -1, 255, 0xF00000, -1, -1, -1}));
    EXPECT_EQ(mudo_get_channel_state(5, 12, nullptr), 9);
    EXPECT_EQ(mudo_get_channel_state(16, 0, nullptr), -1);
    mixer.channels[3].base_address = BASE;
    tick(3);
    std::vector<int16_t> dest(65536);
    EXPECT_EQ(mudo_get_channel_state(3, 20, dest.data()), TICK);
    EXPECT_EQ(dest[10], 500);
    mudo_kill_all_audio();
    EXPECT_EQ(mudo_anything_is_playing(), 0u);
    EXPECT_EQ(mixer.channels[3].current_pitch, 48 << 16);
}

}  // namespace
