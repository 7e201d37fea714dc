// Deltas and CRC-32: the exact stored bytes, match choice, round trips, and refusal of wrong
// sources, damaged or hostile deltas and lengths over the limit.
#include "storage/delta.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/host.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes text(const char* s) { return bytes(s, s + std::strlen(s)); }

bytes random_bytes(std::mt19937& rng, size_t n) {
    bytes b(n);
    for (auto& v : b) v = uint8_t(rng());
    return b;
}

bytes slice(const bytes& b, size_t from, size_t to) { return bytes(b.begin() + from, b.begin() + to); }

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Letters from first on, repeating every 26 bytes; upper and lower case runs never match.
bytes pattern(size_t n, uint8_t first = 'A') {
    bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t(first + i % 26);
    return b;
}

// Takes ownership of b; nullopt for a null buffer.
std::optional<bytes> take(pbuffer* b) {
    if (!b) return std::nullopt;
    bytes out(b->data, b->data + b->length);
    destroy_buffer(b);
    return out;
}

std::optional<bytes> make_delta(const bytes& source, const bytes& target) {
    return take(generate_diff(source.data(), int64_t(source.size()), target.data(), int64_t(target.size())));
}

std::optional<bytes> apply_to(const bytes& source, const bytes& delta) {
    bytes exact = delta;  // no slack after the last byte, so overreads are caught
    exact.shrink_to_fit();
    return take(apply_diff(source.data(), int64_t(source.size()), exact.data(), int64_t(exact.size())));
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

uint32_t crc_of(const bytes& b) { return crc32b(b.data(), int64_t(b.size())); }

// The raw delta inside a container.
bytes unpack(const bytes& container) {
    EXPECT_EQ(0, std::memcmp(container.data(), "dst", 4));
    bytes raw(le32(container.data() + 4));
    EXPECT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(container.data() + 8),
                                  reinterpret_cast<char*>(raw.data()), int(container.size() - 8), int(raw.size())),
              int(raw.size()));
    return raw;
}

bytes raw_delta(const bytes& source, const bytes& target) { return unpack(*make_delta(source, target)); }

// Bit-at-a-time CRC-32, as an independent reference.
uint32_t reference_crc(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return n ? ~c : 0;
}

// Builds raw deltas by hand.
struct raw_builder {
    bytes b;
    raw_builder& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    raw_builder& u32(uint32_t v) {
        return u8(uint8_t(v)).u8(uint8_t(v >> 8)).u8(uint8_t(v >> 16)).u8(uint8_t(v >> 24));
    }
    raw_builder& length(uint32_t v) { return v < 255 ? u8(uint8_t(v)) : u8(255).u32(v); }
    raw_builder& header(const bytes& source, const bytes& target) {
        return u32(uint32_t(target.size())).u32(crc_of(source)).u32(crc_of(target));
    }
    raw_builder& literal(const bytes& t) {
        length(uint32_t(t.size())).b.insert(b.end(), t.begin(), t.end());
        return *this;
    }
    raw_builder& copy(uint32_t count, uint32_t offset) { return length(count).u32(offset); }
};

raw_builder starting(const bytes& source, const bytes& target) {
    return raw_builder().header(source, target);
}

void expect_round_trip(const bytes& source, const bytes& target) {
    auto delta = make_delta(source, target);
    ASSERT_TRUE(delta.has_value());
    EXPECT_EQ(apply_to(source, *delta), target);
    EXPECT_EQ(apply_to(source, unpack(*delta)), target);  // the bare raw delta applies too
}

void clear_log() { velt_debug_string[0] = 0; }
std::string last_log() { return velt_debug_string; }

const char* const src_crc_container = "** apply_delta: failed src crc (dst marker: 1)\n";
const char* const src_crc_bare = "** apply_delta: failed src crc (dst marker: 0)\n";
const char* const target_crc_bare = "** apply_delta: failed target crc (dst marker: 0)\n";
const char* const bad_length_bare = "** apply_delta: bad delta length (dst marker: 0)\n";
const char* const bad_length_container = "** apply_delta: bad delta length (dst marker: 1)\n";

}  // namespace

TEST(Crc32, CheckValuesAndTheBitwiseReferenceAtEveryLengthAndAlignment) {
    EXPECT_EQ(crc32b("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32b("abc", 3), 0x352441C2u);
    EXPECT_EQ(crc32b("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    EXPECT_EQ(crc32b("", 0), 0u);
    EXPECT_EQ(crc32b("abc", -1), 0u);
    std::mt19937 rng(7);
    bytes data = random_bytes(rng, 300);
    for (size_t start = 0; start < 9; start++)
        for (size_t n = 0; n + start <= data.size(); n++)
            ASSERT_EQ(crc32b(data.data() + start, int64_t(n)), reference_crc(data.data() + start, n))
                << start << " " << n;
}

// ---------------------------------------------------------------------------------------
// The stored bytes

TEST(DeltaLayout, ContainerIsMagicRawLengthAndOneFastBlock) {
    bytes source = text("The quick brown fox jumps over the lazy dog");
    bytes target = text("The quick brown cat jumps over the lazy dog");
    bytes raw = starting(source, target).literal({}).copy(16, 0).literal(text("cat")).copy(24, 19).b;
    bytes expected = raw_builder().u8('d').u8('s').u8('t').u8(0).u32(uint32_t(raw.size())).b;
    std::vector<char> block(LZ4_compressBound(int(raw.size())));
    int n = LZ4_compress_fast(reinterpret_cast<const char*>(raw.data()), block.data(), int(raw.size()),
                              int(block.size()), 1);
    expected.insert(expected.end(), block.begin(), block.begin() + n);
    EXPECT_EQ(make_delta(source, target), expected);
}

TEST(DeltaLayout, WholeInputCases) {
    std::mt19937 rng(1);
    for (size_t n : {8u, 255u, 300u, 70000u}) {
        bytes data = random_bytes(rng, n);
        EXPECT_EQ(raw_delta(data, data), starting(data, data).literal({}).copy(uint32_t(n), 0).b) << n;
        EXPECT_EQ(raw_delta({}, data), starting({}, data).literal(data).b) << n;
    }
    bytes source = text("some earlier content");
    EXPECT_EQ(raw_delta(source, {}), starting(source, {}).b);
    // Fewer than 8 bytes are always one literal.
    bytes seven = text("abcdefg");
    EXPECT_EQ(raw_delta(seven, seven), starting(seven, seven).literal(seven).b);
    EXPECT_EQ(raw_delta(source, text("some ea")),
              starting(source, text("some ea")).literal(text("some ea")).b);
}

TEST(DeltaLayout, MatchChoice) {
    bytes digits = text("0123456789abcdefghij");
    bytes p40 = pattern(40);
    bytes p32 = pattern(32);
    bytes pp = concat({p32, p32});
    bytes q = pattern(32, 'a');
    bytes collide(48);
    for (size_t i = 0; i < collide.size(); i++) collide[i] = uint8_t(100 + i);
    // b[p] + 64 * b[p + 3] is 4418 at both 0 and 4, so offset 4 never enters the index.
    collide[0] = 130, collide[3] = 67, collide[4] = 66, collide[7] = 68;
    struct example {
        const char* what;
        bytes source, target, ops;
    };
    example examples[] = {
        {"seven common bytes are no match", digits, text("0123456.89abcdefghij"),
         raw_builder().literal(text("0123456.")).copy(12, 8).b},
        {"eight are", digits, text("01234567.9abcdefghij"),
         raw_builder().literal({}).copy(8, 0).literal(text(".")).copy(11, 9).b},
        {"indexed match beats same position", p40, concat({text("xyz"), p40}),
         raw_builder().literal(text("xyz")).copy(40, 0).b},
        {"only every fourth offset is indexed", p40, concat({text("xy"), slice(p40, 1, 40)}),
         raw_builder().literal(concat({text("xy"), slice(p40, 1, 4)})).copy(36, 4).b},
        {"a tie goes to the same position", pp, concat({q, p32}), raw_builder().literal(q).copy(32, 32).b},
        {"the first offset keeps its entry", pp, concat({text("qq"), p32, slice(p32, 0, 10)}),
         raw_builder().literal(text("qq")).copy(42, 0).b},
        {"colliding offsets share one entry", collide, concat({{1}, slice(collide, 4, 48)}),
         raw_builder().literal(concat({{1}, slice(collide, 4, 8)})).copy(40, 8).b},
        {"no lookup with 30 target bytes left", pp, concat({text("qq"), slice(p32, 0, 30)}),
         raw_builder().literal(concat({text("qq"), slice(p32, 0, 30)})).b},
        {"a lookup with 31 left", pp, concat({text("qq"), slice(p32, 0, 31)}),
         raw_builder().literal(text("qq")).copy(31, 0).b},
    };
    for (const auto& e : examples)
        EXPECT_EQ(raw_delta(e.source, e.target), concat({starting(e.source, e.target).b, e.ops})) << e.what;
}

TEST(DeltaLayout, SamplingStepGrowsWithLargeTargets) {
    std::mt19937 rng(11);
    bytes source = random_bytes(rng, 4096);
    // Step 4 below 32,768 target bytes, then target_length / 8,192 (8 at 65,536, 12 at 98,304).
    struct sample {
        size_t target_length, at;
        uint32_t count, offset;
    };
    for (const sample& s : {sample{32767, 20000, 100, 12}, sample{32768, 20000, 100, 12},
                            sample{65536, 20004, 96, 16}, sample{98304, 20000, 100, 12}}) {
        bytes target = random_bytes(rng, s.target_length);
        std::copy(source.begin() + 12, source.begin() + 112, target.begin() + 20000);
        auto delta = make_delta(source, target);
        // One copy between two literals.
        EXPECT_EQ(unpack(*delta), starting(source, target)
                                      .literal(slice(target, 0, s.at))
                                      .copy(s.count, s.offset)
                                      .literal(slice(target, s.at + s.count, target.size()))
                                      .b)
            << s.target_length;
        EXPECT_EQ(apply_to(source, *delta), target);
    }
}

// ---------------------------------------------------------------------------------------
// Round trips

TEST(DeltaRoundTrip, StructuredPairs) {
    std::mt19937 rng(5);
    bytes base = random_bytes(rng, 5000);
    bytes script;
    const char* words[] = {"local ", "function ", "end\n", "if ", "then ", "x = x + 1\n", "return "};
    for (int i = 0; i < 3000; i++) script = concat({script, text(words[rng() % 7])});
    bytes edited = script;
    for (int i = 0; i < 20; i++) edited[rng() % edited.size()] = '#';
    bytes widened = base;
    widened.insert(widened.begin() + 2500, 40, 0);

    const std::pair<bytes, bytes> pairs[] = {
        {base, base}, {{}, base}, {base, {}}, {{}, {}}, {base, concat({text("new first line\n"), base})},
        {base, concat({base, text("\nappended")})}, {base, slice(base, 100, 4900)}, {slice(base, 100, 4900), base},
        {base, widened}, {base, concat({slice(base, 2500, 5000), slice(base, 0, 2500)})}, {script, edited},
        {bytes(100000, 0), bytes(100001, 0)}};
    for (size_t i = 0; i < std::size(pairs); i++) {
        SCOPED_TRACE(i);
        expect_round_trip(pairs[i].first, pairs[i].second);
    }
}

TEST(DeltaRoundTrip, RandomPairs) {
    std::mt19937 rng(9);
    for (int round = 0; round < 60; round++) {
        bytes source = random_bytes(rng, rng() % (round < 50 ? 3000 : 120000));
        bytes target = source;
        for (int e = int(rng() % 8); e > 0 && !target.empty(); e--) {
            size_t at = rng() % target.size();
            switch (rng() % 3) {
            case 0: target[at] ^= uint8_t(1 + rng() % 255); break;
            case 1: target.insert(target.begin() + at, rng() % 50, uint8_t(rng())); break;
            default:
                target.erase(target.begin() + at, target.begin() + std::min(target.size(), at + rng() % 50));
            }
        }
        if (round % 10 == 9) target = random_bytes(rng, rng() % 2000);
        expect_round_trip(source, target);
    }
}

TEST(DeltaRoundTrip, ResultsAreTaggedAndNothingLeaks) {
    bytes source = text("one two three four five six seven");
    bytes target = text("one two three 4 five six seven eight");
    uint32_t before = get_num_buffers_with_tag(DELTA_BUFFER_TAG);
    pbuffer* delta =
        generate_diff(source.data(), int64_t(source.size()), target.data(), int64_t(target.size()));
    ASSERT_NE(delta, nullptr);
    pbuffer* back = apply_diff(source.data(), int64_t(source.size()), delta->data, delta->length);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(bytes(back->data, back->data + back->length), target);
    EXPECT_EQ(delta->cursor, 0);
    EXPECT_EQ(back->cursor, 0);
    EXPECT_EQ(get_num_buffers_with_tag(DELTA_BUFFER_TAG), before + 2);
    destroy_buffer(back);
    destroy_buffer(delta);
    EXPECT_EQ(get_num_buffers_with_tag(DELTA_BUFFER_TAG), before);
}

// ---------------------------------------------------------------------------------------
// Refusals

TEST(DeltaApply, WrongSourceGivesNothingAndOneLogLine) {
    bytes source = text("alpha beta gamma delta epsilon");
    bytes delta = *make_delta(source, text("alpha beta GAMMA delta epsilon"));
    bytes other = text("Alpha beta gamma delta epsilon");
    struct attempt {
        bytes source, delta;
        const char* log;
    };
    for (const auto& a : {attempt{other, delta, src_crc_container},
                          attempt{other, unpack(delta), src_crc_bare}, attempt{{}, delta, src_crc_container},
                          attempt{text("x"), *make_delta({}, source), src_crc_container}}) {
        clear_log();
        EXPECT_FALSE(apply_to(a.source, a.delta).has_value());
        EXPECT_EQ(last_log(), a.log);
    }
    // Header alone: an empty target for the matching source.
    EXPECT_EQ(apply_to(source, starting(source, {}).b), bytes{});
}

TEST(DeltaDamage, EveryPrefixOfAValidDeltaGivesNothing) {
    std::mt19937 rng(13);
    bytes source = random_bytes(rng, 3000);
    bytes target = source;
    target.insert(target.begin() + 1000, 300, 'q');  // a long-form literal
    target[2500] ^= 0x55;
    bytes delta = *make_delta(source, target);
    uint32_t before = get_total_num_buffers();
    for (const auto& [whole, from] : {std::pair{delta, source}, std::pair{unpack(delta), source},
                                      std::pair{raw_delta(source, {}), source}}) {
        ASSERT_TRUE(apply_to(from, whole).has_value());
        for (size_t n = 0; n < whole.size(); n++)
            EXPECT_FALSE(apply_to(from, slice(whole, 0, n)).has_value()) << n << " of " << whole.size();
    }
    EXPECT_EQ(get_total_num_buffers(), before);
}

TEST(DeltaDamage, FlippedBytesGiveNothingOrTheTarget) {
    std::mt19937 rng(17);
    bytes source = random_bytes(rng, 2000);
    bytes target = source;
    target.insert(target.begin() + 700, 20, 'k');
    target.erase(target.begin() + 1500, target.begin() + 1510);
    bytes delta = *make_delta(source, target);
    uint32_t before = get_total_num_buffers();
    for (const bytes& whole : {delta, unpack(delta)}) {
        for (size_t i = 0; i < whole.size(); i++) {
            for (uint8_t mask : {0x01, 0x80, 0xFF}) {
                bytes damaged = whole;
                damaged[i] ^= mask;
                auto out = apply_to(source, damaged);
                if (out) { EXPECT_EQ(*out, target) << "byte " << i; }
            }
        }
    }
    EXPECT_EQ(get_total_num_buffers(), before);
}

TEST(DeltaDamage, HostileOperationsAreRefusedWithinBounds) {
    bytes source = text("0123456789abcdef");
    bytes t32(32, '0');
    bytes ten = text("0123456789");
    bytes aaaa = text("aaaa");
    raw_builder expanding = starting(source, aaaa);
    for (int i = 0; i < 1000; i++) expanding.literal({}).copy(16, 0);
    struct hostile {
        const char* what;
        bytes raw;
    };
    hostile cases[] = {
        // 0xFFFFFFF0 + 0x20 wraps to 0x10 in 32 bits, which a 32-bit test would let through.
        {"copy offset wraps", starting(source, t32).literal({}).copy(0x20, 0xFFFFFFF0u).b},
        {"copy length wraps", starting(source, t32).literal({}).copy(0xFFFFFFFFu, 1).b},
        {"copy one past the end", starting(source, t32).literal({}).copy(1, 16).b},
        {"literal with no bytes", starting(source, ten).length(100).b},
        {"literal one byte short", concat({starting(source, ten).length(11).b, ten})},
        {"long literal at the u32 top", starting(source, ten).u8(255).u32(0xFFFFFFFFu).b},
        {"long literal length cut short", starting(source, ten).u8(255).u8(10).u8(0).b},
        {"copy offset cut short", starting(source, ten).literal(text("0")).u8(9).u8(1).u8(0).b},
        {"copy length cut short", starting(source, ten).literal(text("0")).u8(255).u8(9).b},
        {"output past the target length", expanding.b},
        {"literal past the target length", starting(source, aaaa).literal(text("aaaaa")).b},
        {"wrong target crc", raw_builder().u32(10).u32(crc_of(source)).u32(crc_of(ten) ^ 1).literal(ten).b},
        {"wrong target length", raw_builder().u32(11).u32(crc_of(source)).u32(crc_of(ten)).literal(ten).b},
        {"wrong literal byte", starting(source, ten).literal(text("012345678x")).b},
    };
    uint64_t allocated = get_total_buffer_allocation();
    for (const auto& h : cases) {
        clear_log();
        EXPECT_FALSE(apply_to(source, h.raw).has_value()) << h.what;
        EXPECT_EQ(last_log(), target_crc_bare) << h.what;
    }
    EXPECT_EQ(get_total_buffer_allocation(), allocated);
    // A copy outside the source is dropped; when the rest is the target, that is accepted.
    EXPECT_EQ(apply_to(source, starting(source, ten).literal(ten).copy(4, 100).b), ten);
    EXPECT_EQ(apply_to(source, starting(source, text("f")).literal({}).copy(1, 15).b), text("f"));
}

TEST(DeltaDamage, BadLengthsAreRefusedBeforeUse) {
    const bytes dst = {'d', 's', 't', 0};
    struct bad {
        const char* what;
        bytes delta;
        const char* log;
    };
    bad cases[] = {
        {"raw header cut short", raw_builder().u32(0).u32(0).u8(0).b, bad_length_bare},
        {"nothing", {}, bad_length_bare},
        {"target over the limit", raw_builder().u32(0x2000001).u32(0).u32(0).b, bad_length_bare},
        {"target at the u32 top", raw_builder().u32(0xFFFFFFFFu).u32(0).u32(0).b, bad_length_bare},
        {"container cut short", concat({dst, {20, 0, 0}}), bad_length_container},
        {"raw length under a header", concat({dst, raw_builder().u32(11).u32(0).u32(0).b}),
         bad_length_container},
        {"raw length over the limit", concat({dst, raw_builder().u32(0x2000001).u32(0).b}),
         bad_length_container},
        {"raw length at the u32 top", concat({dst, raw_builder().u32(0xFFFFFFFFu).u32(0).b}),
         bad_length_container},
    };
    uint64_t allocated = get_total_buffer_allocation();
    for (const auto& b : cases) {
        clear_log();
        EXPECT_FALSE(apply_to({}, b.delta).has_value()) << b.what;
        EXPECT_EQ(last_log(), b.log) << b.what;
    }
    EXPECT_EQ(get_total_buffer_allocation(), allocated);
    EXPECT_EQ(apply_to({}, raw_builder().u32(0).u32(0).u32(0).b), bytes{});

    // A block that does not decompress to the stored length counts as a source mismatch.
    bytes source = text("abc");
    bytes delta = *make_delta(source, text("abcabcabcabc"));
    uint32_t r = le32(delta.data() + 4);
    for (uint32_t stored : {r - 1, r + 1, r + 1000}) {
        bytes changed = concat({dst, raw_builder().u32(stored).b, slice(delta, 8, delta.size())});
        clear_log();
        EXPECT_FALSE(apply_to(source, changed).has_value()) << stored;
        EXPECT_EQ(last_log(), src_crc_container) << stored;
    }
}

TEST(DeltaLimits, GeneratorRefusesLengthsOverTheLimitBeforeReading) {
    bytes small = text("small");
    EXPECT_EQ(generate_diff(small.data(), DELTA_MAX_LENGTH + 1, small.data(), 5), nullptr);
    EXPECT_EQ(generate_diff(small.data(), 5, small.data(), DELTA_MAX_LENGTH + 1), nullptr);
    EXPECT_EQ(generate_diff(small.data(), -1, small.data(), 5), nullptr);
    EXPECT_EQ(apply_diff(small.data(), -1, small.data(), 5), nullptr);
}

TEST(DeltaLimits, LargestTargets) {
    std::mt19937 rng(21);
    bytes target = random_bytes(rng, size_t(DELTA_MAX_LENGTH));
    bytes delta = *make_delta(target, target);
    EXPECT_LT(delta.size(), 100u);
    EXPECT_TRUE(apply_to(target, delta) == target);
    // From nothing the raw delta would pass the limit, so none is made.
    EXPECT_FALSE(make_delta({}, target).has_value());
}
