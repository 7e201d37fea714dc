// Host text conversion: the glyph and kana tables both ways, decoding rules, byte-order
// marks with wide forms, and a round trip of every code.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/pbuffer.h"
#include "platform/host_text.h"

namespace {

pbuffer* buffer_of(const std::string& bytes) {
    pbuffer* b = create_buffer_2((int64_t)bytes.size(), 0);
    bwrite(bytes.data(), 1, (int64_t)bytes.size(), b);
    return b;
}

std::string text_of(const pbuffer* b) { return std::string((const char*)b->data, (size_t)b->length); }

std::string decode(const std::string& bytes) {
    pbuffer* in = buffer_of(bytes);
    pbuffer* out = decode_host_text(in);
    std::string result = text_of(out);
    destroy_buffer(in);
    destroy_buffer(out);
    return result;
}

std::string encode(const std::string& text) {
    pbuffer* out = encode_host_text(text.c_str());
    std::string result = text_of(out);
    destroy_buffer(out);
    return result;
}

// UTF-8 of code points, written independently of the converters.
std::string utf8(std::initializer_list<uint32_t> cps) {
    std::string s;
    for (uint32_t cp : cps) {
        if (cp < 0x80) {
            s += (char)cp;
        } else if (cp < 0x800) {
            s += {(char)(0xC0 | (cp >> 6)), (char)(0x80 | (cp & 0x3F))};
        } else if (cp < 0x10000) {
            s += {(char)(0xE0 | (cp >> 12)), (char)(0x80 | ((cp >> 6) & 0x3F)), (char)(0x80 | (cp & 0x3F))};
        } else {
            s += {(char)(0xF0 | (cp >> 18)), (char)(0x80 | ((cp >> 12) & 0x3F)), (char)(0x80 | ((cp >> 6) & 0x3F)),
                  (char)(0x80 | (cp & 0x3F))};
        }
    }
    return s;
}

std::string byte(int c) { return std::string(1, (char)c); }

const std::string BE16 = "\xfe\xff", LE16 = "\xff\xfe", BE32("\x00\x00\xfe\xff", 4), LE32("\xff\xfe\x00\x00", 4);

std::string utf16(const std::u16string& units, bool big_endian) {
    std::string s;
    for (char16_t u : units) {
        char hi = (char)(u >> 8), lo = (char)(u & 0xFF);
        s += big_endian ? hi : lo;
        s += big_endian ? lo : hi;
    }
    return s;
}

std::string utf32(const std::u32string& units, bool big_endian) {
    std::string s;
    for (char32_t u : units) {
        char b[4] = {(char)(u >> 24), (char)(u >> 16), (char)(u >> 8), (char)u};
        for (int i = 0; i < 4; i++) s += b[big_endian ? i : 3 - i];
    }
    return s;
}

struct text_case {
    std::string in, out;
};

void expect_decodes(const std::vector<text_case>& cases) {
    for (const text_case& c : cases) {
        std::string hex;
        for (unsigned char ch : c.in) hex += "0123456789abcdef"[ch >> 4], hex += "0123456789abcdef"[ch & 15];
        EXPECT_EQ(decode(c.in), c.out) << "bytes " << hex;
    }
}

}  // namespace

// --- tables -----------------------------------------------------------------

TEST(HostTextTables, DecodeMapsEachTableEntryToItsCode) {
    expect_decodes({
        {utf8({0x2588}), byte(128)}, {utf8({0x1F431}), byte(130)}, {utf8({0x2B07, 0xFE0F}), byte(131)},
        {utf8({0x1F17E, 0xFE0F}), byte(142)},  // the longest entry: 7 bytes
        {utf8({0x25A5}), byte(153)}, {utf8({0x25AE}), byte(16)}, {utf8({0x00A5}), byte(26)},
        {utf8({0x309C}), byte(31)}, {utf8({0x25DC}), byte(254)}, {utf8({0x25DD}), byte(255)},
        // Kana rows in order: a, ka, n, small yo, then katakana a, n, small yo.
        {utf8({0x3042}), byte(154)}, {utf8({0x304B}), byte(159)}, {utf8({0x3093}), byte(199)},
        {utf8({0x3087}), byte(203)}, {utf8({0x30A2}), byte(204)}, {utf8({0x30F3}), byte(249)},
        {utf8({0x30E7}), byte(253)},
        // U+300C and U+3001 begin with 0xE3 like the kana but are glyph entries.
        {utf8({0x300C}), byte(24)}, {utf8({0x3001}), byte(28)},
        // Superscripts and code 127.
        {utf8({0xB9, 0xB2, 0xB3}), "\x01\x02\x03"}, {utf8({0x2074}), byte(4)}, {utf8({0x2078}), byte(8)},
        {utf8({0x1D47}), byte(11)}, {utf8({0x1DA0}), byte(15)}, {utf8({0x25CB}), byte(127)},
    });
    // Kana outside the tables, and superscripts 0, 9, a and d, pass through raw.
    for (uint32_t cp : {0x3041, 0x2070, 0x2079, 0x1D43, 0x1D48}) EXPECT_EQ(decode(utf8({cp})), utf8({cp})) << cp;
}

TEST(HostTextTables, EncodeWritesTheTableSequences) {
    EXPECT_EQ(encode("\x01\x02\x03"), utf8({0xB9, 0xB2, 0xB3}));
    EXPECT_EQ(encode("\x04\x0b\x0e"), utf8({0x2074, 0x1D47, 0x1D49}));
    EXPECT_EQ(encode("\t\n\r"), "\t\n\r");
    EXPECT_EQ(encode("\x10\x1f\x7f"), utf8({0x25AE, 0x309C, 0x25CB}));
    EXPECT_EQ(encode("\x83"), utf8({0x2B07, 0xFE0F}));
    EXPECT_EQ(encode("\x9a\xcb\xcc\xfd\xfe\xff"), utf8({0x3042, 0x3087, 0x30A2, 0x30E7, 0x25DC, 0x25DD}));
    EXPECT_EQ(encode("Hello, ABZ!"), "Hello, ABZ!");
    // It stops at a zero byte and takes null as empty.
    EXPECT_EQ(encode(std::string("a\0b", 3)), "a");
    pbuffer* out = encode_host_text(nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->length, 0);
    EXPECT_EQ(out->tag, HOST_TEXT_BUFFER_TAG);
    destroy_buffer(out);
}

// --- decoding rules ---------------------------------------------------------

TEST(HostTextDecode, RulesForReturnsSelectorsItalicsAndBrokenSequences) {
    std::string italics;
    for (uint32_t cp = 0x1D622; cp <= 0x1D63B; cp++) italics += utf8({cp});
    expect_decodes({
        {"a\r\nb", "a\nb"}, {"\r\r\r", ""},  // carriage returns are dropped
        // Without U+FE0F the arrow matches nothing and passes through as raw bytes.
        {utf8({0x2B07}), utf8({0x2B07})}, {utf8({0x2B07}) + "x", utf8({0x2B07}) + "x"},
        {utf8({0x2B07, 0xFE0F}) + "x", byte(131) + "x"},
        {italics, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},  // sans-serif italic letters become capitals
        // Unknown and broken sequences, and table sequences cut short, pass through.
        {utf8({0xE9}), utf8({0xE9})}, {"x\xff", "x\xff"}, {"\xc2", "\xc2"},
        {utf8({0x1F431}).substr(0, 3), utf8({0x1F431}).substr(0, 3)},
        {utf8({0x3042}).substr(0, 2), utf8({0x3042}).substr(0, 2)}, {"", ""},
    });
    EXPECT_EQ(encode("A"), "A");
    EXPECT_EQ(decode_host_text(nullptr), nullptr);
    pbuffer* in = buffer_of("abc");
    pbuffer* out = decode_host_text(in);
    EXPECT_EQ(out->tag, HOST_TEXT_BUFFER_TAG);
    EXPECT_EQ(text_of(in), "abc");  // input untouched
    destroy_buffer(in);
    destroy_buffer(out);
}

// --- byte-order marks -------------------------------------------------------

TEST(HostTextMarks, EveryWideFormKeepsItsAlignment) {
    std::u16string u16 = u"Hello\r\nworld";
    std::u32string u32 = U"Hello\r\nworld";
    // Non-ASCII units convert whole: the text after them is not shifted.
    std::u16string w16 = u"\u2588a\u3042b\u00e9c";
    std::string w16_out = byte(128) + "a" + byte(154) + "b" + utf8({0xE9}) + "c";
    std::u32string w32 = U"\U0001F431x\U0001D622";
    expect_decodes({
        {"\xef\xbb\xbfhi", "hi"}, {"\xef\xbb\xbf", ""}, {"\xef\xbb", "\xef\xbb"},
        {BE16 + utf16(u16, true), "Hello\nworld"}, {LE16 + utf16(u16, false), "Hello\nworld"},
        {BE32 + utf32(u32, true), "Hello\nworld"}, {LE32 + utf32(u32, false), "Hello\nworld"},
        {BE16 + utf16(w16, true), w16_out}, {LE16 + utf16(w16, false), w16_out},
        {BE32 + utf32(w32, true), byte(130) + "xA"}, {LE32 + utf32(w32, false), byte(130) + "xA"},
    });
}

TEST(HostTextMarks, SurrogatesMarksAloneAndShortBuffers) {
    std::u16string cat = u"\U0001F431!";  // a surrogate pair, then '!'
    ASSERT_EQ(cat.size(), 3u);
    expect_decodes({
        {LE16 + utf16(cat, false), byte(130) + "!"},
        // A lone surrogate becomes U+FFFD and does not swallow the next unit; so does an
        // out-of-range UTF-32 value.
        {BE16 + utf16({0xD83D, u'x', 0xDC31, u'y'}, true), utf8({0xFFFD}) + "x" + utf8({0xFFFD}) + "y"},
        {BE32 + utf32({0x110000, U'z'}, true), utf8({0xFFFD}) + "z"}, {BE16, ""}, {LE16, ""}, {BE32, ""}, {LE32, ""},
        {BE16 + "A", ""}, {LE16 + "A", ""}, {LE32 + "AB", ""},  // half a unit
        {std::string("\x00\x00\xfe", 3), std::string("\x00\x00\xfe", 3)}, {"\xfe", "\xfe"},
        // FE FF 00 00 is not a mark: the bytes are read as they are.
        {std::string("\xfe\xff\x00\x00", 4), std::string("\xfe\xff\x00\x00", 4)},
        {LE16 + std::string("A\x00" "B", 3), "A"},  // a trailing odd byte after whole units is ignored
    });
}

// --- round trip and fuzzing -------------------------------------------------

TEST(HostTextRoundTrip, EveryCodeButThirteenSurvives) {
    std::string all;
    for (int c = 1; c <= 255; c++) {
        if (c == 13) continue;
        all += (char)c;
        EXPECT_EQ(decode(encode(byte(c))), byte(c)) << "code " << c;
    }
    EXPECT_EQ(decode(encode(all)), all);
    EXPECT_EQ(decode(encode("\r")), "");
}

TEST(HostTextFuzz, RandomBytesNeverBreakTheDecoder) {
    // Bytes drawn mostly from marks and lead bytes of the tables, so that marks, partial
    // sequences and near-matches come up often.
    static const uint8_t interesting[] = {0x00, 0xFE, 0xFF, 0xEF, 0xBB, 0xBF, 0xE2, 0xE3, 0xF0, 0x9F, 0x9D,
                                          0x98, 0x97, 0x8B, 0xC2, 0xB9, 0x0D, 0x0A, 0x81, 0xD8, 0xDC, 0x41};
    std::mt19937 rng(987654);
    uint32_t buffers_before = get_num_buffers_with_tag(HOST_TEXT_BUFFER_TAG);
    for (int round = 0; round < 20000; round++) {
        int n = (int)(rng() % 48);
        std::string bytes;
        for (int i = 0; i < n; i++)
            bytes += rng() % 3 == 0 ? (char)(rng() & 0xFF) : (char)interesting[rng() % sizeof(interesting)];
        pbuffer* in = buffer_of(bytes);
        pbuffer* out = decode_host_text(in);
        ASSERT_NE(out, nullptr);
        ASSERT_GE(out->length, 0);
        ASSERT_LE(out->length, n + n / 2);  // no form makes the text more than half as long again
        ASSERT_LT((uint64_t)out->length, out->capacity);
        ASSERT_EQ(text_of(in), bytes);
        destroy_buffer(in);
        destroy_buffer(out);
    }
    EXPECT_EQ(get_num_buffers_with_tag(HOST_TEXT_BUFFER_TAG), buffers_before);
}
