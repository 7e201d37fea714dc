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

bytes text_bytes(const char* s) { return bytes(s, s + std::strlen(s)); }

bytes random_bytes(std::mt19937& rng, size_t n) {
    bytes b(n);
    for (auto& v : b) v = uint8_t(rng());
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
    return take(apply_diff(source.data(), int64_t(source.size()), delta.data(), int64_t(delta.size())));
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The raw delta inside a container.
bytes unpack(const bytes& container) {
    EXPECT_GE(container.size(), 8u);
    EXPECT_EQ(0, std::memcmp(container.data(), "dst", 4));
    bytes raw(le32(container.data() + 4));
    int n = LZ4_decompress_safe(reinterpret_cast<const char*>(container.data() + 8),
                                reinterpret_cast<char*>(raw.data()), int(container.size() - 8), int(raw.size()));
    EXPECT_EQ(n, int(raw.size()));
    return raw;
}

// Bit-at-a-time CRC-32, as an independent reference.
uint32_t reference_crc(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return n ? ~c : 0;
}

uint32_t crc_of(const bytes& b) { return crc32b(b.data(), int64_t(b.size())); }

// Builds raw deltas by hand.
struct raw_builder {
    bytes b;
    raw_builder& u8(uint8_t v) { b.push_back(v); return *this; }
    raw_builder& u32(uint32_t v) {
        for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    raw_builder& length(uint32_t v) { return v < 255 ? u8(uint8_t(v)) : u8(255).u32(v); }
    raw_builder& header(const bytes& source, const bytes& target) {
        return u32(uint32_t(target.size())).u32(crc_of(source)).u32(crc_of(target));
    }
    raw_builder& literal(const bytes& text) {
        length(uint32_t(text.size()));
        b.insert(b.end(), text.begin(), text.end());
        return *this;
    }
    raw_builder& copy(uint32_t count, uint32_t offset) { return length(count).u32(offset); }
};

struct delta_op {
    int64_t target_pos;  // where the copy lands in the target
    uint32_t literal;
    bool has_copy;
    uint32_t count;
    uint32_t offset;
};

// Operations of a well-formed raw delta.
std::vector<delta_op> parse_ops(const bytes& raw) {
    std::vector<delta_op> ops;
    size_t pos = 12;
    int64_t out = 0;
    auto length = [&]() -> uint32_t {
        uint8_t first = raw.at(pos++);
        if (first < 255) return first;
        uint32_t v = le32(&raw.at(pos + 3) - 3);
        pos += 4;
        return v;
    };
    while (pos < raw.size()) {
        delta_op op{};
        op.literal = length();
        pos += op.literal;
        out += op.literal;
        op.target_pos = out;
        if (pos < raw.size()) {
            op.has_copy = true;
            op.count = length();
            op.offset = le32(&raw.at(pos + 3) - 3);
            pos += 4;
            out += op.count;
        }
        ops.push_back(op);
    }
    EXPECT_EQ(pos, raw.size());
    return ops;
}

// The copy that lands at target position pos, if any.
const delta_op* copy_at(const std::vector<delta_op>& ops, int64_t pos) {
    for (const auto& op : ops)
        if (op.has_copy && op.target_pos == pos) return &op;
    return nullptr;
}

// Letters from first on, repeating every 26 bytes; upper and lower case runs never match.
bytes pattern(size_t n, uint8_t first = 'A') {
    bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t(first + i % 26);
    return b;
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

void expect_round_trip(const bytes& source, const bytes& target) {
    auto delta = make_delta(source, target);
    ASSERT_TRUE(delta.has_value());
    auto back = apply_to(source, *delta);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, target);
    // The raw delta inside applies on its own too.
    auto bare = apply_to(source, unpack(*delta));
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(*bare, target);
}

void clear_log() { velt_debug_string[0] = 0; }
std::string last_log() { return velt_debug_string; }

}  // namespace

// ---------------------------------------------------------------------------------------

TEST(Crc32, CheckValues) {
    EXPECT_EQ(crc32b("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32b("abc", 3), 0x352441C2u);
    EXPECT_EQ(crc32b("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    EXPECT_EQ(crc32b("a", 1), 0xE8B7BE43u);
}

TEST(Crc32, EmptyAndNegativeLengthsGiveZero) {
    EXPECT_EQ(crc32b("", 0), 0u);
    EXPECT_EQ(crc32b("abc", -1), 0u);
    EXPECT_EQ(crc32b(nullptr, 0), 0u);
}

TEST(Crc32, MatchesBitwiseReferenceAtEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    bytes data = random_bytes(rng, 300);
    for (size_t start = 0; start < 9; start++)
        for (size_t n = 0; n + start <= data.size(); n++)
            ASSERT_EQ(crc32b(data.data() + start, int64_t(n)), reference_crc(data.data() + start, n))
                << "start " << start << " length " << n;
}

// ---------------------------------------------------------------------------------------
// The bytes the generator stores

TEST(DeltaLayout, ContainerIsMagicRawLengthAndOneFastBlock) {
    bytes source = text_bytes("The quick brown fox jumps over the lazy dog");
    bytes target = text_bytes("The quick brown cat jumps over the lazy dog");
    bytes raw = raw_builder()
                    .header(source, target)
                    .literal({})
                    .copy(16, 0)
                    .literal(text_bytes("cat"))
                    .copy(24, 19)
                    .b;
    auto delta = make_delta(source, target);
    ASSERT_TRUE(delta.has_value());

    bytes expected = {'d', 's', 't', 0};
    raw_builder size;
    size.u32(uint32_t(raw.size()));
    expected.insert(expected.end(), size.b.begin(), size.b.end());
    std::vector<char> block(LZ4_compressBound(int(raw.size())));
    int n = LZ4_compress_fast(reinterpret_cast<const char*>(raw.data()), block.data(), int(raw.size()),
                              int(block.size()), 1);
    expected.insert(expected.end(), block.begin(), block.begin() + n);
    EXPECT_EQ(*delta, expected);
}

TEST(DeltaLayout, EqualInputsAreOneEmptyLiteralAndOneWholeCopy) {
    std::mt19937 rng(1);
    for (size_t n : {8u, 9u, 254u, 255u, 300u, 70000u}) {
        bytes data = random_bytes(rng, n);
        auto delta = make_delta(data, data);
        ASSERT_TRUE(delta.has_value());
        EXPECT_EQ(unpack(*delta), raw_builder().header(data, data).literal({}).copy(uint32_t(n), 0).b) << n;
    }
}

TEST(DeltaLayout, EmptySourceIsOneLiteralOfTheWholeTarget) {
    std::mt19937 rng(2);
    for (size_t n : {1u, 254u, 255u, 5000u, 40000u}) {
        bytes target = random_bytes(rng, n);
        auto delta = make_delta({}, target);
        ASSERT_TRUE(delta.has_value());
        bytes raw = unpack(*delta);
        EXPECT_EQ(le32(raw.data() + 4), 0u);
        EXPECT_EQ(raw, raw_builder().header({}, target).literal(target).b) << n;
    }
}

TEST(DeltaLayout, EmptyTargetIsTheHeaderAlone) {
    bytes source = text_bytes("some earlier content");
    auto delta = make_delta(source, {});
    ASSERT_TRUE(delta.has_value());
    EXPECT_EQ(unpack(*delta), raw_builder().header(source, {}).b);
}

TEST(DeltaLayout, TargetShorterThanEightBytesIsOneLiteral) {
    bytes same = text_bytes("abcdefg");
    EXPECT_EQ(unpack(*make_delta(same, same)), raw_builder().header(same, same).literal(same).b);
    bytes source = text_bytes("abcdefgh and more of the same text");
    bytes target = text_bytes("abcdefg");
    EXPECT_EQ(unpack(*make_delta(source, target)), raw_builder().header(source, target).literal(target).b);
}

TEST(DeltaLayout, MatchesStartAtEightBytes) {
    bytes source = text_bytes("0123456789abcdefghij");
    bytes seven = text_bytes("0123456.89abcdefghij");
    bytes raw7 = unpack(*make_delta(source, seven));
    // Seven common bytes are not worth a copy; the run after the change is.
    EXPECT_EQ(raw7, raw_builder().header(source, seven).literal(text_bytes("0123456.")).copy(12, 8).b);
    bytes eight = text_bytes("01234567.9abcdefghij");
    EXPECT_EQ(unpack(*make_delta(source, eight)),
              raw_builder().header(source, eight).literal({}).copy(8, 0).literal(text_bytes(".")).copy(11, 9).b);
}

TEST(DeltaLayout, IndexedMatchLongerThanSamePositionRunIsTaken) {
    bytes p = pattern(40);
    bytes target = concat({text_bytes("xyz"), p});
    EXPECT_EQ(unpack(*make_delta(p, target)), raw_builder().header(p, target).literal(text_bytes("xyz")).copy(40, 0).b);
}

TEST(DeltaLayout, SourceIsSampledEveryFourBytesForSmallTargets) {
    bytes p = pattern(40);
    // The target holds the source from offset 1, which the index never saw; offset 4 it did.
    bytes target = concat({text_bytes("xy"), bytes(p.begin() + 1, p.end())});
    bytes literal = concat({text_bytes("xy"), bytes(p.begin() + 1, p.begin() + 4)});
    EXPECT_EQ(unpack(*make_delta(p, target)), raw_builder().header(p, target).literal(literal).copy(36, 4).b);
}

TEST(DeltaLayout, TieGoesToTheSamePositionMatch) {
    bytes p = pattern(32);
    bytes source = concat({p, p});
    bytes q = pattern(32, 'a');
    bytes target = concat({q, p});
    EXPECT_EQ(unpack(*make_delta(source, target)), raw_builder().header(source, target).literal(q).copy(32, 32).b);
}

TEST(DeltaLayout, FirstSampledPositionKeepsTheIndexEntry) {
    bytes p = pattern(32);
    bytes source = concat({p, p});
    bytes target = concat({text_bytes("qq"), p, bytes(p.begin(), p.begin() + 10)});
    // From offset 0 the run goes on for 42 bytes; offset 32 would give only 32.
    EXPECT_EQ(unpack(*make_delta(source, target)),
              raw_builder().header(source, target).literal(text_bytes("qq")).copy(42, 0).b);
}

TEST(DeltaLayout, PositionsWhoseHashCollidesShareOneEntry) {
    bytes source(48);
    for (size_t i = 0; i < source.size(); i++) source[i] = uint8_t(100 + i);
    // b[p] + 64 * b[p + 3] is 4418 at both 0 and 4, so offset 4 never enters the index.
    source[0] = 130;
    source[3] = 67;
    source[4] = 66;
    source[7] = 68;
    bytes target = concat({bytes{1}, bytes(source.begin() + 4, source.end())});
    bytes literal = concat({bytes{1}, bytes(source.begin() + 4, source.begin() + 8)});
    EXPECT_EQ(unpack(*make_delta(source, target)),
              raw_builder().header(source, target).literal(literal).copy(40, 8).b);
}

TEST(DeltaLayout, NoIndexLookupWithFewerThan31TargetBytesLeft) {
    bytes p = pattern(32);
    bytes source = concat({p, p});
    bytes target = concat({text_bytes("qq"), bytes(p.begin(), p.begin() + 30)});
    EXPECT_EQ(unpack(*make_delta(source, target)), raw_builder().header(source, target).literal(target).b);
    bytes longer = concat({text_bytes("qq"), bytes(p.begin(), p.begin() + 29 + 2)});
    EXPECT_EQ(unpack(*make_delta(source, longer)),
              raw_builder().header(source, longer).literal(text_bytes("qq")).copy(31, 0).b);
}

TEST(DeltaLayout, SamplingStepGrowsWithLargeTargets) {
    std::mt19937 rng(11);
    bytes source = random_bytes(rng, 4096);
    bytes segment(source.begin() + 12, source.begin() + 112);
    // step 4 below 32,768 bytes; target_length / 8,192 from there on.
    struct sample { size_t target_length; int64_t copy_pos; uint32_t offset; uint32_t count; };
    for (const sample& s : {sample{32767, 20000, 12, 100}, sample{32768, 20000, 12, 100},
                            sample{65536, 20004, 16, 96}, sample{98304, 20000, 12, 100}}) {
        bytes target = random_bytes(rng, s.target_length);
        std::copy(segment.begin(), segment.end(), target.begin() + 20000);
        auto delta = make_delta(source, target);
        ASSERT_TRUE(delta.has_value());
        auto ops = parse_ops(unpack(*delta));
        const delta_op* op = copy_at(ops, s.copy_pos);
        ASSERT_NE(op, nullptr) << s.target_length;
        EXPECT_EQ(op->offset, s.offset) << s.target_length;
        EXPECT_EQ(op->count, s.count) << s.target_length;
        EXPECT_EQ(ops.size(), 2u) << s.target_length;
        EXPECT_EQ(*apply_to(source, *delta), target);
    }
}

TEST(DeltaLayout, SameInputsGiveSameBytes) {
    std::mt19937 rng(3);
    bytes source = random_bytes(rng, 50000);
    bytes target = source;
    target[100] ^= 1;
    target.insert(target.begin() + 30000, 5, 'z');
    auto a = make_delta(source, target);
    make_delta(target, source);  // leaves other entries in the index
    auto b = make_delta(source, target);
    EXPECT_EQ(a, b);
}

// ---------------------------------------------------------------------------------------
// Round trips

TEST(DeltaRoundTrip, StructuredPairs) {
    std::mt19937 rng(5);
    bytes base = random_bytes(rng, 5000);
    bytes text;
    for (int i = 0; i < 3000; i++) {
        static const char* words[] = {"local ", "function ", "end\n", "if ", "then ", "x = x + 1\n", "return "};
        const char* w = words[rng() % 7];
        text.insert(text.end(), w, w + std::strlen(w));
    }
    bytes prefixed = concat({text_bytes("new first line\n"), base});
    bytes suffixed = concat({base, text_bytes("\nappended")});
    bytes cut(base.begin() + 100, base.end() - 100);
    bytes middle = base;
    middle.insert(middle.begin() + 2500, 40, 0);
    bytes swapped = concat({bytes(base.begin() + 2500, base.end()), bytes(base.begin(), base.begin() + 2500)});
    bytes edited_text = text;
    for (int i = 0; i < 20; i++) edited_text[rng() % edited_text.size()] = '#';

    expect_round_trip(base, base);
    expect_round_trip({}, base);
    expect_round_trip(base, {});
    expect_round_trip({}, {});
    expect_round_trip(base, prefixed);
    expect_round_trip(base, suffixed);
    expect_round_trip(base, cut);
    expect_round_trip(cut, base);
    expect_round_trip(base, middle);
    expect_round_trip(base, swapped);
    expect_round_trip(text, edited_text);
    expect_round_trip(edited_text, text);
    expect_round_trip(bytes(100000, 0), bytes(100001, 0));
    expect_round_trip(text_bytes("short"), text_bytes("shorter"));
}

TEST(DeltaRoundTrip, RandomPairs) {
    std::mt19937 rng(9);
    for (int round = 0; round < 60; round++) {
        size_t n = rng() % (round < 50 ? 3000 : 120000);
        bytes source = random_bytes(rng, n);
        bytes target = source;
        int edits = int(rng() % 8);
        for (int e = 0; e < edits; e++) {
            size_t at = target.empty() ? 0 : rng() % target.size();
            switch (rng() % 3) {
            case 0: if (!target.empty()) target[at] ^= uint8_t(1 + rng() % 255); break;
            case 1: target.insert(target.begin() + at, rng() % 50, uint8_t(rng())); break;
            default: target.erase(target.begin() + at, target.begin() + std::min(target.size(), at + rng() % 50));
            }
        }
        if (round % 10 == 9) target = random_bytes(rng, rng() % 2000);
        expect_round_trip(source, target);
    }
}

TEST(DeltaRoundTrip, ResultsAreTaggedAndNothingLeaks) {
    bytes source = text_bytes("one two three four five six seven");
    bytes target = text_bytes("one two three 4 five six seven eight");
    uint32_t before = get_total_num_buffers();
    uint32_t tagged = get_num_buffers_with_tag(DELTA_BUFFER_TAG);
    pbuffer* delta = generate_diff(source.data(), int64_t(source.size()), target.data(), int64_t(target.size()));
    ASSERT_NE(delta, nullptr);
    EXPECT_EQ(delta->tag, DELTA_BUFFER_TAG);
    EXPECT_EQ(delta->cursor, 0);
    pbuffer* back = apply_diff(source.data(), int64_t(source.size()), delta->data, delta->length);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->tag, DELTA_BUFFER_TAG);
    EXPECT_EQ(bytes(back->data, back->data + back->length), target);
    EXPECT_EQ(get_total_num_buffers(), before + 2);
    EXPECT_EQ(get_num_buffers_with_tag(DELTA_BUFFER_TAG), tagged + 2);
    destroy_buffer(back);
    destroy_buffer(delta);
    EXPECT_EQ(get_total_num_buffers(), before);
}

// ---------------------------------------------------------------------------------------
// Applying to the wrong source

TEST(DeltaApply, WrongSourceGivesNothingAndLogsTheMarker) {
    bytes source = text_bytes("alpha beta gamma delta epsilon");
    bytes target = text_bytes("alpha beta GAMMA delta epsilon");
    bytes delta = *make_delta(source, target);
    bytes other = source;
    other[0] = 'A';

    clear_log();
    EXPECT_FALSE(apply_to(other, delta).has_value());
    EXPECT_EQ(last_log(), "** apply_delta: failed src crc (dst marker: 1)\n");

    clear_log();
    EXPECT_FALSE(apply_to(other, unpack(delta)).has_value());
    EXPECT_EQ(last_log(), "** apply_delta: failed src crc (dst marker: 0)\n");

    clear_log();
    EXPECT_FALSE(apply_to({}, delta).has_value());
    EXPECT_EQ(last_log(), "** apply_delta: failed src crc (dst marker: 1)\n");
}

TEST(DeltaApply, DeltaFromEmptySourceWantsEmptySource) {
    bytes target = text_bytes("fresh content");
    bytes delta = *make_delta({}, target);
    EXPECT_EQ(*apply_to({}, delta), target);
    EXPECT_FALSE(apply_to(text_bytes("x"), delta).has_value());
}

TEST(DeltaApply, HeaderOnlyGivesEmptyTarget) {
    bytes source = text_bytes("anything");
    auto out = apply_to(source, raw_builder().header(source, {}).b);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(out->empty());
}

TEST(DeltaApply, CopyOutsideSourceIsDroppedAndTheResultChecked) {
    bytes source = text_bytes("0123456789abcdef");
    bytes target = text_bytes("0123456789abcdef");
    // The dropped copy leaves exactly the target: accepted.
    bytes extra = raw_builder().header(source, target).literal(target).copy(4, 100).b;
    EXPECT_EQ(*apply_to(source, extra), target);
    // The dropped copy leaves the output short: refused.
    clear_log();
    bytes missing = raw_builder().header(source, target).literal({}).copy(16, 1).b;
    EXPECT_FALSE(apply_to(source, missing).has_value());
    EXPECT_EQ(last_log(), "** apply_delta: failed target crc (dst marker: 0)\n");
}

// ---------------------------------------------------------------------------------------
// Damaged and hostile deltas

TEST(DeltaDamage, EveryPrefixOfAValidDeltaGivesNothing) {
    std::mt19937 rng(13);
    bytes source = random_bytes(rng, 3000);
    bytes target = source;
    target.insert(target.begin() + 1000, 300, 'q');  // a long literal
    target[2500] ^= 0x55;
    bytes delta = *make_delta(source, target);
    bytes raw = unpack(delta);
    uint32_t before = get_total_num_buffers();
    for (const bytes* whole : {&delta, &raw}) {
        ASSERT_EQ(*apply_to(source, *whole), target);
        for (size_t n = 0; n < whole->size(); n++) {
            bytes prefix(whole->begin(), whole->begin() + n);
            prefix.shrink_to_fit();
            EXPECT_FALSE(apply_to(source, prefix).has_value()) << "prefix " << n << " of " << whole->size();
        }
    }
    EXPECT_EQ(get_total_num_buffers(), before);
}

TEST(DeltaDamage, EveryPrefixOfAnEmptyTargetDeltaGivesNothing) {
    bytes source = text_bytes("gone");
    bytes raw = unpack(*make_delta(source, {}));
    for (size_t n = 0; n < raw.size(); n++) {
        bytes prefix(raw.begin(), raw.begin() + n);
        prefix.shrink_to_fit();
        EXPECT_FALSE(apply_to(source, prefix).has_value()) << n;
    }
}

TEST(DeltaDamage, FlippedBytesGiveNothingOrTheTarget) {
    std::mt19937 rng(17);
    bytes source = random_bytes(rng, 2000);
    bytes target = source;
    target.insert(target.begin() + 700, 20, 'k');
    target.erase(target.begin() + 1500, target.begin() + 1510);
    bytes delta = *make_delta(source, target);
    bytes raw = unpack(delta);
    uint32_t before = get_total_num_buffers();
    for (const bytes* whole : {&delta, &raw}) {
        for (size_t i = 0; i < whole->size(); i++) {
            for (uint8_t mask : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
                bytes damaged = *whole;
                damaged[i] ^= mask;
                auto out = apply_to(source, damaged);
                if (out) {
                    EXPECT_EQ(*out, target) << "byte " << i;
                }
            }
        }
    }
    EXPECT_EQ(get_total_num_buffers(), before);
}

TEST(DeltaDamage, ShortRawDeltasAreRefusedBeforeReadingTheHeader) {
    bytes raw = raw_builder().u32(0).u32(0).u32(0).b;
    ASSERT_TRUE(apply_to({}, raw).has_value());
    for (size_t n = 0; n < 12; n++) {
        bytes prefix(raw.begin(), raw.begin() + n);
        prefix.shrink_to_fit();
        clear_log();
        EXPECT_FALSE(apply_to({}, prefix).has_value()) << n;
        EXPECT_EQ(last_log(), "** apply_delta: bad delta length (dst marker: 0)\n") << n;
    }
    EXPECT_FALSE(take(apply_diff(nullptr, 0, nullptr, 0)).has_value());
}

TEST(DeltaDamage, CopyBoundsAreTestedWithoutWrapping) {
    bytes source = text_bytes("0123456789abcdef");
    bytes target(32, '0');
    // 0xFFFFFFF0 + 0x20 wraps to 0x10 in 32 bits, which would pass a 32-bit test.
    clear_log();
    EXPECT_FALSE(apply_to(source, raw_builder().header(source, target).literal({}).copy(0x20, 0xFFFFFFF0u).b));
    EXPECT_EQ(last_log(), "** apply_delta: failed target crc (dst marker: 0)\n");
    EXPECT_FALSE(apply_to(source, raw_builder().header(source, target).literal({}).copy(0xFFFFFFFFu, 1).b));
    EXPECT_FALSE(apply_to(source, raw_builder().header(source, target).literal({}).copy(1, 16).b));
    // The last source byte is still reachable.
    bytes last = text_bytes("f");
    EXPECT_EQ(*apply_to(source, raw_builder().header(source, last).literal({}).copy(1, 15).b), last);
}

TEST(DeltaDamage, LiteralsMayNotRunPastTheDelta) {
    bytes source;
    bytes target = text_bytes("0123456789");
    clear_log();
    EXPECT_FALSE(apply_to(source, raw_builder().header(source, target).length(100).b));
    EXPECT_EQ(last_log(), "** apply_delta: failed target crc (dst marker: 0)\n");
    // Length 11 with ten bytes present.
    bytes short_literal = raw_builder().header(source, target).length(11).b;
    short_literal.insert(short_literal.end(), target.begin(), target.end());
    EXPECT_FALSE(apply_to(source, short_literal));
    // Long-form lengths near the top of the u32 range.
    EXPECT_FALSE(apply_to(source, raw_builder().header(source, target).u8(255).u32(0xFFFFFFFFu).b));
    EXPECT_FALSE(apply_to(source, raw_builder().header(source, target).u8(255).u32(0xFFFFFFF8u).u32(0).b));
    // A long-form marker whose u32 is cut short.
    EXPECT_FALSE(apply_to(source, raw_builder().header(source, target).u8(255).u8(10).u8(0).b));
}

TEST(DeltaDamage, TruncatedCopyFieldsAreRefused) {
    bytes source = text_bytes("0123456789abcdef");
    bytes target = text_bytes("x0123456789");
    bytes whole = raw_builder().header(source, target).literal(text_bytes("x")).copy(10, 0).b;
    ASSERT_EQ(*apply_to(source, whole), target);
    for (size_t cut = 1; cut <= 4; cut++) {
        bytes damaged(whole.begin(), whole.end() - cut);
        damaged.shrink_to_fit();
        EXPECT_FALSE(apply_to(source, damaged).has_value()) << cut;
    }
}

TEST(DeltaDamage, OutputNeverGrowsPastTheStoredTargetLength) {
    bytes source(4096, 'a');
    bytes target = text_bytes("aaaa");
    raw_builder b;
    b.header(source, target);
    for (int i = 0; i < 1000; i++) b.literal({}).copy(4096, 0);
    uint64_t allocated = get_total_buffer_allocation();
    clear_log();
    EXPECT_FALSE(apply_to(source, b.b).has_value());
    EXPECT_EQ(last_log(), "** apply_delta: failed target crc (dst marker: 0)\n");
    EXPECT_EQ(get_total_buffer_allocation(), allocated);
    // A literal longer than the stored target.
    bytes longer = text_bytes("aaaaa");
    EXPECT_FALSE(apply_to(source, raw_builder().header(source, target).literal(longer).b));
}

TEST(DeltaDamage, TargetCrcAndLengthAreChecked) {
    bytes source = text_bytes("0123456789abcdef");
    bytes target = text_bytes("0123456789abcdef!");
    bytes raw = raw_builder().header(source, target).literal({}).copy(16, 0).literal(text_bytes("!")).b;
    ASSERT_EQ(*apply_to(source, raw), target);
    bytes wrong_crc = raw;
    wrong_crc[8] ^= 1;
    clear_log();
    EXPECT_FALSE(apply_to(source, wrong_crc).has_value());
    EXPECT_EQ(last_log(), "** apply_delta: failed target crc (dst marker: 0)\n");
    bytes wrong_length = raw;
    wrong_length[0] += 1;
    EXPECT_FALSE(apply_to(source, wrong_length).has_value());
    bytes wrong_literal = raw;
    wrong_literal.back() = '?';
    EXPECT_FALSE(apply_to(source, wrong_literal).has_value());
}

TEST(DeltaDamage, OversizedLengthsAreRefusedWithoutAllocating) {
    bytes source;
    uint64_t allocated = get_total_buffer_allocation();
    clear_log();
    EXPECT_FALSE(apply_to(source, raw_builder().u32(0x2000001).u32(0).u32(0).b));
    EXPECT_EQ(last_log(), "** apply_delta: bad delta length (dst marker: 0)\n");
    EXPECT_FALSE(apply_to(source, raw_builder().u32(0xFFFFFFFFu).u32(0).u32(0).b));

    bytes big_raw = raw_builder().u8('d').u8('s').u8('t').u8(0).u32(0x2000001).u32(0).b;
    clear_log();
    EXPECT_FALSE(apply_to(source, big_raw));
    EXPECT_EQ(last_log(), "** apply_delta: bad delta length (dst marker: 1)\n");
    EXPECT_FALSE(apply_to(source, raw_builder().u8('d').u8('s').u8('t').u8(0).u32(0xFFFFFFFFu).u32(0).b));
    EXPECT_EQ(get_total_buffer_allocation(), allocated);
}

TEST(DeltaDamage, ContainerHeaderProblems) {
    bytes source = text_bytes("abc");
    for (size_t n = 4; n < 8; n++) {
        bytes head = {'d', 's', 't', 0, 20, 0, 0};
        head.resize(n);
        head.shrink_to_fit();
        EXPECT_FALSE(apply_to(source, head).has_value()) << n;
    }
    // A stored raw length too small to hold the header.
    EXPECT_FALSE(apply_to(source, raw_builder().u8('d').u8('s').u8('t').u8(0).u32(11).u32(0).u32(0).b));

    bytes target = text_bytes("abcabcabcabc");
    bytes delta = *make_delta(source, target);
    uint32_t r = le32(delta.data() + 4);
    for (uint32_t stored : {r - 1, r + 1, r + 1000}) {
        bytes changed = delta;
        for (int i = 0; i < 4; i++) changed[4 + i] = uint8_t(stored >> (8 * i));
        clear_log();
        EXPECT_FALSE(apply_to(source, changed).has_value()) << stored;
        EXPECT_EQ(last_log(), "** apply_delta: failed src crc (dst marker: 1)\n") << stored;
    }
}

// ---------------------------------------------------------------------------------------
// Limits

TEST(DeltaLimits, GeneratorRefusesWhatAppliersWouldRefuse) {
    bytes small = text_bytes("small");
    // Lengths are tested before any byte is read.
    EXPECT_EQ(generate_diff(small.data(), DELTA_MAX_LENGTH + 1, small.data(), 5), nullptr);
    EXPECT_EQ(generate_diff(small.data(), 5, small.data(), DELTA_MAX_LENGTH + 1), nullptr);
    EXPECT_EQ(generate_diff(small.data(), -1, small.data(), 5), nullptr);
    EXPECT_EQ(generate_diff(small.data(), 5, small.data(), -1), nullptr);
    EXPECT_EQ(apply_diff(small.data(), -1, small.data(), 5), nullptr);
}

TEST(DeltaLimits, LargestTargets) {
    std::mt19937 rng(21);
    bytes target = random_bytes(rng, size_t(DELTA_MAX_LENGTH));
    // Against itself the delta is tiny and applies.
    bytes delta = *make_delta(target, target);
    EXPECT_LT(delta.size(), 100u);
    auto back = apply_to(target, delta);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(*back == target);
    // From nothing the raw delta would pass the limit, so there is none.
    EXPECT_FALSE(make_delta({}, target).has_value());
}
