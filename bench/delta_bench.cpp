// Delta throughput: generating a delta for a 1 MB file with small edits and for two unrelated
// files, beside LZ4's fast compression of the same target, and applying the delta, beside LZ4's
// decompression of that target; all measured in the same process.
//
// Built with the project as the delta_bench target; run it without arguments.
#include <lz4.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_clock.h"
#include "storage/delta.h"

namespace {

constexpr size_t file_size = 1 << 20;
constexpr double megabyte = 1 << 20;
constexpr double min_seconds = 0.5;
constexpr int min_rounds = 5;

uint64_t rng_state = 0x9E3779B97F4A7C15ull;

uint32_t next_random() {
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 7;
    rng_state ^= rng_state << 17;
    return uint32_t(rng_state >> 32);
}

// Script-like text: words, numbers and line ends.
std::vector<uint8_t> make_file() {
    static const char* words[] = {"local ", "function ", "end\n", "if ", "then\n", "else\n", "return ",
                                  "for i = 1, #t do\n", "x", "y", " = ", " + ", "(", ")", ", ", "\n",
                                  "print(", "\"hello\"", "self.", "value", "-- note\n", "while true do\n"};
    constexpr size_t num_words = sizeof(words) / sizeof(words[0]);
    std::vector<uint8_t> out;
    out.reserve(file_size + 64);
    char number[16];
    while (out.size() < file_size) {
        uint32_t r = next_random();
        if (r % 9 == 0) {
            int n = std::snprintf(number, sizeof(number), "%u", r % 100000);
            out.insert(out.end(), number, number + n);
        } else {
            const char* w = words[r % num_words];
            out.insert(out.end(), w, w + std::strlen(w));
        }
    }
    out.resize(file_size);
    return out;
}

// The same file with a handful of small replacements, insertions and deletions.
std::vector<uint8_t> edit_file(std::vector<uint8_t> data) {
    for (int e = 0; e < 24; e++) {
        size_t at = next_random() % (data.size() - 64);
        size_t n = 1 + next_random() % 16;
        switch (e % 3) {
        case 0:
            for (size_t i = 0; i < n; i++) data[at + i] = uint8_t('A' + next_random() % 26);
            break;
        case 1:
            data.insert(data.begin() + at, n, uint8_t('#'));
            break;
        default:
            data.erase(data.begin() + at, data.begin() + at + n);
        }
    }
    return data;
}

pbuffer* make_delta(const std::vector<uint8_t>& source, const std::vector<uint8_t>& target) {
    return generate_diff(source.data(), int64_t(source.size()), target.data(), int64_t(target.size()));
}

struct timing {
    double seconds;  // per round
    int rounds;
};

// Runs `run` for at least min_rounds rounds and min_seconds of the thread's processor time.
template <typename F>
timing measure(F&& run) {
    int rounds = 0;
    double start = thread_seconds();
    double elapsed = 0;
    while (rounds < min_rounds || elapsed < min_seconds) {
        run();
        rounds++;
        elapsed = thread_seconds() - start;
    }
    return {elapsed / rounds, rounds};
}

}  // namespace

// Another file of the same kind that shares nothing with the first but its vocabulary.
std::vector<uint8_t> unrelated_file() {
    rng_state ^= 0xD1B54A32D192ED03ull;
    return make_file();
}

int main() {
    std::vector<uint8_t> source = make_file();
    std::vector<uint8_t> target = edit_file(source);
    std::vector<uint8_t> other = unrelated_file();
    double target_mb = double(target.size()) / megabyte;
    double other_mb = double(other.size()) / megabyte;

    // Baselines: LZ4's fast compressor (acceleration 1) over the edited file, and its decoder.
    std::vector<char> packed(size_t(LZ4_compressBound(int(target.size()))));
    int packed_size = 0;
    timing lz4 = measure([&] {
        packed_size = LZ4_compress_fast(reinterpret_cast<const char*>(target.data()), packed.data(),
                                        int(target.size()), int(packed.size()), 1);
    });
    std::vector<char> unpacked(target.size());
    bool unpacked_same = false;
    timing lz4_read = measure([&] {
        int n = LZ4_decompress_safe(packed.data(), unpacked.data(), packed_size, int(unpacked.size()));
        unpacked_same = n == int(target.size()) && std::memcmp(unpacked.data(), target.data(), target.size()) == 0;
    });
    if (!unpacked_same) {
        std::printf("LZ4 did not give the target back\n");
        return 1;
    }

    int64_t delta_size = 0;
    timing gen = measure([&] {
        pbuffer* d = make_delta(source, target);
        delta_size = d ? d->length : -1;
        destroy_buffer(d);
    });
    int64_t other_delta_size = 0;
    timing gen_other = measure([&] {
        pbuffer* d = make_delta(source, other);
        other_delta_size = d ? d->length : -1;
        destroy_buffer(d);
    });

    pbuffer* delta = make_delta(source, target);
    if (!delta) {
        std::printf("generate_diff failed\n");
        return 1;
    }
    bool same = false;
    timing app = measure([&] {
        pbuffer* t = apply_diff(source.data(), int64_t(source.size()), delta->data, delta->length);
        same = t && size_t(t->length) == target.size() &&
               std::memcmp(t->data, target.data(), target.size()) == 0;
        destroy_buffer(t);
    });
    destroy_buffer(delta);
    if (!same) {
        std::printf("apply_diff did not rebuild the target\n");
        return 1;
    }

    double lz4_rate = target_mb / lz4.seconds;
    double lz4_read_rate = target_mb / lz4_read.seconds;
    double gen_rate = target_mb / gen.seconds;
    double gen_other_rate = other_mb / gen_other.seconds;
    double app_rate = target_mb / app.seconds;
    std::printf("source %zu bytes, target %zu bytes (24 small edits), unrelated file %zu bytes\n", source.size(),
                target.size(), other.size());
    std::printf("delta %lld bytes, delta to the unrelated file %lld bytes, LZ4 block %d bytes\n",
                (long long)delta_size, (long long)other_delta_size, packed_size);
    std::printf("%-32s %10.1f MB/s  (%d rounds)\n", "LZ4_compress_fast", lz4_rate, lz4.rounds);
    std::printf("%-32s %10.1f MB/s  (%d rounds)  %.3fx LZ4\n", "generate_diff, edited file", gen_rate, gen.rounds,
                gen_rate / lz4_rate);
    std::printf("%-32s %10.1f MB/s  (%d rounds)  %.3fx LZ4\n", "generate_diff, unrelated file", gen_other_rate,
                gen_other.rounds, gen_other_rate / lz4_rate);
    std::printf("%-32s %10.1f MB/s  (%d rounds)\n", "LZ4_decompress_safe", lz4_read_rate, lz4_read.rounds);
    std::printf("%-32s %10.1f MB/s  (%d rounds)  %.3fx LZ4 decompression\n", "apply_diff", app_rate, app.rounds,
                app_rate / lz4_read_rate);
    return 0;
}
