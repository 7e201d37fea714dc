// Synthesiser speed, in two parts.
//
// Rendering: one second of sound on all 16 channels, each playing an instrument of 8 nodes
// (oscillators with frequency modulation, ratio, multiply and add, filter, echo and gain,
// envelopes and an LFO), measured against real time on one core. Channels are driven tick by
// tick as the mixer drives them: a tick starts every 367 frames and is rendered whole, so each
// 512-frame device block renders the ticks that start in it. Reports the real-time factor of
// the best round (goal: at least 30x) and the slowest 512-frame block, each block timed at its
// fastest round.
//
// Mixing: ten seconds of sound through the device callback and mudo_mix on a thread of its own,
// with music on channels 0..7 (tracks with slides, vibrato and arpeggios, four patterns that
// loop) and notes on channels 8..15, all on the same 8-node instruments: the real-time factor
// (goal: at least 30x), the slowest 512-frame block over the ten seconds (goal: under 1 ms),
// and the heap allocations made on that thread while it mixed (goal: 0; counted where the
// program's own allocator can be interposed, that is outside the sanitizer builds).
//
// Built with the project as the mudo_bench target; run it without arguments.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/mudo.h"
#include "kernel/memory.h"
#include "platform/audio_device.h"

// ---- Counting the heap allocations of one thread ------------------------------------------------
// The program's malloc family is interposed here and forwards to the C library's own; calls
// made on a thread while its counting flag is set are counted.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define COUNTS_ALLOCATIONS 1
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}
namespace {
thread_local bool counting = false;
std::atomic<int64_t> counted_allocations{0};
inline void count() {
    if (counting) counted_allocations++;
}
}  // namespace
extern "C" {
void* malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    count();
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
    count();
    *out = __libc_memalign(a, n);
    return *out ? 0 : 12;
}
void* aligned_alloc(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
void free(void* p) { __libc_free(p); }
}
#endif

namespace {

constexpr uint32_t BASE = 0x30000;
constexpr uint32_t WAVES = 0xF80000;
constexpr int BLOCK = 512;
constexpr int SECOND = 44100;
constexpr int ROUNDS = 30;

void put(uint32_t a, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) mixer_ram[a++ & ADDRESS_MASK] = b;
}
void put_mval(uint32_t a, uint8_t flags, uint8_t x, uint8_t y = 0, uint8_t b3 = 0) { put(a, {flags, x, y, b3}); }

// Four waves of 1024 samples: sine, triangle, saw, square.
void make_waves() {
    for (int w = 0; w < 4; w++) {
        for (int i = 0; i < 1024; i++) {
            double x = i / 1024.0, v;
            if (w == 0) v = std::sin(2 * M_PI * x);
            else if (w == 1) v = x < 0.5 ? 4 * x - 1 : 3 - 4 * x;
            else if (w == 2) v = 2 * x - 1;
            else v = x < 0.5 ? 1 : -1;
            int16_t s = (int16_t)(v * 30000);
            put(WAVES + 2 * (1024 * w + i), {(uint8_t)s, (uint8_t)((uint16_t)s >> 8)});
        }
    }
}

// Instrument i: a carrier with an FM modulator, a ratio partial with its own child, a ring
// modulator, then filter, echo and gain on the mix; wide for odd i (effects get twins).
void make_instrument(int i) {
    uint32_t r = BASE + 0x10000 + 512 * (uint32_t)i;
    auto node = [&](int k, int parent, int op, int kind, int wave) {
        put(r + 32 * k, {(uint8_t)(parent | op << 4), (uint8_t)(kind | wave << 4), 0, 0});
        for (int p = 1; p < 7; p++) put_mval(r + 32 * k + 4 + 4 * p, 1, 0);  // follow the parent
        put_mval(r + 32 * k + 4 + 4 * 5, 0, 0x80);  // phase offset 0
    };
    node(0, 0, 0, NODE_OSCILLATOR, 0);
    put_mval(r + 4, 4 | 2, 64, 0, 0);            // volume: ADSR envelope 0 times the parent's
    node(1, 0, NODE_OP_FM, NODE_OSCILLATOR, 1);
    put_mval(r + 32 + 4, 4, 48, 8, 1);           // modulation depth follows LFO envelope 1
    put_mval(r + 32 + 12, 2, 0x10, 0, 0);        // ratio 1/2
    node(2, 0, NODE_OP_ADD, NODE_OSCILLATOR, 2);
    put_mval(r + 64 + 4, 0, 24);
    put_mval(r + 64 + 12, 2, 0x02, 0, 0);        // ratio 3/1
    node(3, 0, NODE_OP_MULTIPLY, NODE_OSCILLATOR, 3);
    put_mval(r + 96 + 4, 0, 40);
    put_mval(r + 96 + 8, 0, i & 1 ? 0x40 : 0xC0);  // pan, heard on wide instruments
    node(4, 0, 0, NODE_FILTER, 0);
    put_mval(r + 128 + 4, 4, 220, 40, 1);        // cutoff swept by the LFO
    put_mval(r + 128 + 8, 0, 4);
    put_mval(r + 128 + 12, 0, 60);
    node(5, 0, 0, NODE_ECHO, 0);
    put_mval(r + 160 + 4, 0, 3);
    put_mval(r + 160 + 8, 0, 90);
    node(6, 0, 0, NODE_GAIN, 0);
    put_mval(r + 192 + 4, 0, 60);
    put_mval(r + 192 + 8, 0, 120);
    put_mval(r + 192 + 12, 0, 30);
    put_mval(r + 192 + 16, 0, 64);
    node(7, 2, NODE_OP_ADD, NODE_OSCILLATOR, 1);
    put_mval(r + 224 + 4, 0, 16);
    put(r + 0x100, {0, 0, 0, 0, 0, 0, 0, 0, 6, 20, 160, 30});                 // ADSR
    put(r + 0x100 + 24, {1, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0});     // LFO
    put(r + 479, {(uint8_t)(i & 1 ? INSTRUMENT_FLAG_WIDE : 0)});
    for (uint32_t d = 0; d < 4; d++) put(r + 480 + 4 * d, {(uint8_t)((WAVES + 2048 * d) >> 8), (uint8_t)(WAVES >> 16), 10, 1});
}

void start_channels() {
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        mudo_channel& ch = mixer.channels[c];
        ch.base_address = BASE;
        ch.instrument = (uint32_t)(c % 4);
        ch.pitch = (uint32_t)(36 + 3 * c);
        ch.volume = 48;
        ch.current_pitch = (int32_t)ch.pitch << 16;
        ch.current_volume = 48 << 16;
        ch.effect = c % 3 == 0 ? 'v' : 0;
        ch.note_on = 1;
        point_channel_node_outputs(c);
        grab_node_tree(c);
        prepare_nodes_for_new_instrument(c);
        retrigger_channel_nodes(c);
    }
}

void render_tick(int c) {
    grab_node_tree(c);
    evaluate_channel_node_parameters(c);
    render_channel_tick(c, (int32_t)MUDO_SAMPLES_PER_TICK);
}

}  // namespace

void render_part() {
    using clock = std::chrono::steady_clock;

    int blocks = (SECOND + BLOCK - 1) / BLOCK;
    double best_second = 1e9;
    std::vector<double> block_best((size_t)blocks, 1e9);  // each block's fastest round
    int64_t checksum = 0;
    for (int round = 0; round < ROUNDS; round++) {
        start_channels();
        int next_tick = 0;  // frame at which the next tick starts
        double total = 0;
        for (int b = 0; b < blocks; b++) {
            auto start = clock::now();
            while (next_tick < (b + 1) * BLOCK) {
                for (int c = 0; c < MUDO_CHANNELS; c++) render_tick(c);
                next_tick += (int)MUDO_SAMPLES_PER_TICK;
            }
            double seconds = std::chrono::duration<double>(clock::now() - start).count();
            total += seconds;
            block_best[(size_t)b] = std::min(block_best[(size_t)b], seconds);
        }
        best_second = std::min(best_second, total);
        for (int c = 0; c < MUDO_CHANNELS; c++) checksum += mixer.node_output[c * MUDO_MAX_CHANNEL_NODES][100];
    }
    double audio_seconds = (double)blocks * BLOCK / SECOND;
    double block_seconds = (double)BLOCK / SECOND;
    // Every round renders the same blocks, so a block's fastest round is its own cost without
    // the host's preemptions; the slowest block is the largest of those.
    double slowest_block = *std::max_element(block_best.begin(), block_best.end());
    std::printf("16 channels x 8 nodes, %d blocks of %d frames (%.3f s of sound), best of %d rounds\n", blocks,
                BLOCK, audio_seconds, ROUNDS);
    std::printf("%-24s %10.2f ms\n", "render time", best_second * 1e3);
    std::printf("%-24s %10.1fx real time  (goal: 30x)\n", "real-time factor", audio_seconds / best_second);
    std::printf("%-24s %10.3f ms  (%.1f%% of the block's %.2f ms)\n", "slowest 512-frame block",
                slowest_block * 1e3, 100 * slowest_block / block_seconds, block_seconds * 1e3);
    std::printf("(checksum %lld)\n\n", (long long)checksum);
}

// ---- Mixing ---------------------------------------------------------------------------------------

namespace {

constexpr int MIX_SECONDS = 10;
constexpr int MIX_ROUNDS = 8;

// Tracks 0..7 for the music channels: 16 rows of speed 6 with slides, vibrato, arpeggios and
// fades; track 0 does not loop, so each pattern lasts its 96 ticks. Patterns 0..3 play them,
// and pattern 3 goes back to pattern 0.
void make_music() {
    static const uint8_t effects[8] = {0, 's', 'v', 'a', 'w', '<', 'o', 't'};
    for (int t = 0; t < 8; t++) {
        uint32_t a = BASE + 0x20000 + 328 * (uint32_t)t;
        put(a, {16, 0, 6, 0, (uint8_t)(t == 0 ? 0 : 16), 0, 0, 0});
        for (uint32_t r = 0; r < 16; r++) {
            uint8_t pitch = (uint8_t)(36 + 2 * t + (r * 5 + t) % 12), fx = effects[(t + r) % 8];
            put(a + 8 + r, {r % 4 == 3 ? (uint8_t)255 : pitch});
            put(a + 8 + 16 + r, {(uint8_t)(t % 4)});
            put(a + 8 + 32 + r, {(uint8_t)(40 + 2 * t)});
            put(a + 8 + 48 + r, {fx});
            put(a + 8 + 64 + r, {(uint8_t)(fx == 'a' ? 0x37 : fx == 'o' ? 0x24 : 0)});
        }
    }
    for (int p = 0; p < 4; p++) {
        uint32_t a = BASE + 0x100 + 20 * (uint32_t)p;
        for (uint32_t c = 0; c < 8; c++) put(a + c, {(uint8_t)((c + (uint32_t)p) % 8)});
        put(a + 8, {(uint8_t)(p == 0 ? 1 : p == 3 ? 2 : 0), 0xFF});
    }
}

void start_mix() {
    mudo_kill_all_audio();
    mudo_set_volume(256);
    mixer_ram[0x5538] = mixer_ram[0x5539] = 64;
    mudo_play_music(0, 0, 255, BASE, 0);
    for (int c = 8; c < MUDO_CHANNELS; c++) {
        mudo_set_channel_base_addr(c, BASE);
        mudo_set_note(c, 40 + 3 * (c - 8), c % 4, 32, c % 2 ? 'v' : 0, 0, 1, (c - 12) * 30);
    }
}

struct mix_round {
    double seconds;
    std::vector<double> blocks;
    int64_t allocations;
    int64_t checksum;
};

// One round on a thread of its own, as the device's thread would run it.
mix_round run_mix_round(int blocks) {
    mix_round r{0, std::vector<double>((size_t)blocks), 0, 0};
    std::thread audio([&] {
        using clock = std::chrono::steady_clock;
        uint8_t stream[512 * 4];
#ifdef COUNTS_ALLOCATIONS
        int64_t before = counted_allocations.load();
        counting = true;
#endif
        for (int b = 0; b < blocks; b++) {
            auto start = clock::now();
            sdl2_mixer_callback(nullptr, stream, (int)sizeof(stream));
            double t = std::chrono::duration<double>(clock::now() - start).count();
            r.blocks[(size_t)b] = t;
            r.seconds += t;
            r.checksum += (int16_t)(stream[100] | stream[101] << 8);
        }
#ifdef COUNTS_ALLOCATIONS
        counting = false;
        r.allocations = counted_allocations.load() - before;
#endif
    });
    audio.join();
    return r;
}

}  // namespace

void mix_part() {
    make_music();
    int blocks = MIX_SECONDS * SECOND / BLOCK;
    double best = 1e9, worst_single = 0;
    std::vector<double> block_best((size_t)blocks, 1e9);
    int64_t allocations = 0, checksum = 0;
    for (int round = 0; round < MIX_ROUNDS; round++) {
        start_mix();
        mix_round r = run_mix_round(blocks);
        best = std::min(best, r.seconds);
        for (int b = 0; b < blocks; b++) {
            block_best[(size_t)b] = std::min(block_best[(size_t)b], r.blocks[(size_t)b]);
            worst_single = std::max(worst_single, r.blocks[(size_t)b]);
        }
        allocations += r.allocations;
        checksum += r.checksum;
    }
    double audio_seconds = (double)blocks * BLOCK / SECOND;
    double slowest = *std::max_element(block_best.begin(), block_best.end());
    // Every round mixes the same blocks, so the sum of each block's fastest time is the cost
    // of the ten seconds without the host's preemptions and other programs' load.
    double quiet = 0;
    for (double t : block_best) quiet += t;
    std::printf("mudo_mix: music on 8 channels and notes on 8, 16 x 8 nodes, %d blocks of %d frames "
                "(%.2f s of sound), best of %d rounds\n",
                blocks, BLOCK, audio_seconds, MIX_ROUNDS);
    std::printf("%-24s %10.2f ms\n", "mix time", best * 1e3);
    std::printf("%-24s %10.1fx real time  (goal: 30x; each block at its fastest round)\n", "real-time factor",
                audio_seconds / quiet);
    std::printf("%-24s %10.1fx real time  (the best round as a whole)\n", "", audio_seconds / best);
    std::printf("%-24s %10.3f ms  (goal: under 1 ms; each block at its fastest round)\n", "slowest 512-frame block",
                slowest * 1e3);
    std::printf("%-24s %10.3f ms  (any round, preemptions included)\n", "slowest block seen", worst_single * 1e3);
#ifdef COUNTS_ALLOCATIONS
    std::printf("%-24s %10lld     (goal: 0)\n", "heap allocations", (long long)allocations);
#else
    std::printf("%-24s %10s     (not counted in a sanitizer build)\n", "heap allocations", "-");
#endif
    std::printf("(music %s at pattern %d, checksum %lld)\n", mixer.music_playing ? "playing" : "stopped", mixer.pattern,
                (long long)checksum);
}

int main() {
    mudo_init();
    mudo_kill_all_audio();
    make_waves();
    for (int i = 0; i < 4; i++) make_instrument(i);
    render_part();
    mix_part();
    return 0;
}
