#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "kernel/pbuffer.h"
#include "platform/host_text.h"

namespace {

pbuffer* buffer_of(const std::string& bytes)
{
    pbuffer* b = create_buffer_2((int64_t)bytes.size(), 0);
    bwrite(bytes.data(), 1, (int64_t)bytes.size(), b);
    return b;
}

std::string text_of(const pbuffer* b)
{
    return std::string((const char*)b->data, (size_t)b->length);
}

std::string decode(const std::string& bytes)
{
    pbuffer* in = buffer_of(bytes);
    pbuffer* out = decode_host_text(in);
    std::string result = text_of(out);
    destroy_buffer(in);
    destroy_buffer(out);
    return result;
}

std::string encode(const std::string& text)
{
    pbuffer* out = encode_host_text(text.c_str());
    std::string result = text_of(out);
    destroy_buffer(out);
    return result;
}

// UTF-8 of one code point, written independently of the converters.
std::string utf8(uint32_t cp)
{
    std::string s;
    if (cp < 0x80) {
        s += (char)cp;
    } else if (cp < 0x800) {
        s += (char)(0xC0 | (cp >> 6));
        s += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += (char)(0xE0 | (cp >> 12));
        s += (char)(0x80 | ((cp >> 6) & 0x3F));
        s += (char)(0x80 | (cp & 0x3F));
    } else {
        s += (char)(0xF0 | (cp >> 18));
        s += (char)(0x80 | ((cp >> 12) & 0x3F));
        s += (char)(0x80 | ((cp >> 6) & 0x3F));
        s += (char)(0x80 | (cp & 0x3F));
    }
    return s;
}

std::string byte(int c)
{
    return std::string(1, (char)c);
}

std::string utf16(const std::u16string& units, bool big_endian)
{
    std::string s;
    for (char16_t u : units) {
        char hi = (char)(u >> 8), lo = (char)(u & 0xFF);
        s += big_endian ? hi : lo;
        s += big_endian ? lo : hi;
    }
    return s;
}

std::string utf32(const std::u32string& units, bool big_endian)
{
    std::string s;
    for (char32_t u : units) {
        char b[4] = {(char)(u >> 24), (char)(u >> 16), (char)(u >> 8), (char)u};
        if (big_endian)
            s.append(b, 4);
        else
            for (int i = 3; i >= 0; i--) s += b[i];
    }
    return s;
}

}  // namespace

// --- tables -----------------------------------------------------------------

TEST(HostTextTables, GlyphCodesMapToTheirCodePoints)
{
    EXPECT_EQ(decode(utf8(0x2588)), byte(128));
    EXPECT_EQ(decode(utf8(0x1F431)), byte(130));
    EXPECT_EQ(decode(utf8(0x2B07) + utf8(0xFE0F)), byte(131));
    EXPECT_EQ(decode(utf8(0x1F17E) + utf8(0xFE0F)), byte(142));  // the longest entry: 7 bytes
    EXPECT_EQ(decode(utf8(0x25A5)), byte(153));
    EXPECT_EQ(decode(utf8(0x25AE)), byte(16));
    EXPECT_EQ(decode(utf8(0x00A5)), byte(26));
    EXPECT_EQ(decode(utf8(0x309C)), byte(31));
    EXPECT_EQ(decode(utf8(0x25DC)), byte(254));
    EXPECT_EQ(decode(utf8(0x25DD)), byte(255));
}

TEST(HostTextTables, KanaRowsInOrder)
{
    EXPECT_EQ(decode(utf8(0x3042)), byte(154));  // a
    EXPECT_EQ(decode(utf8(0x304B)), byte(159));  // ka
    EXPECT_EQ(decode(utf8(0x3093)), byte(199));  // n
    EXPECT_EQ(decode(utf8(0x3087)), byte(203));  // small yo
    EXPECT_EQ(decode(utf8(0x30A2)), byte(204));  // katakana a
    EXPECT_EQ(decode(utf8(0x30F3)), byte(249));  // katakana n
    EXPECT_EQ(decode(utf8(0x30E7)), byte(253));  // katakana small yo
    // Kana outside the tables pass through raw.
    EXPECT_EQ(decode(utf8(0x3041)), utf8(0x3041));
}

TEST(HostTextTables, SuperscriptsAndCode127)
{
    EXPECT_EQ(decode(utf8(0x00B9) + utf8(0x00B2) + utf8(0x00B3)), "\x01\x02\x03");
    EXPECT_EQ(decode(utf8(0x2074)), byte(4));
    EXPECT_EQ(decode(utf8(0x2078)), byte(8));
    EXPECT_EQ(decode(utf8(0x1D47)), byte(11));
    EXPECT_EQ(decode(utf8(0x1DA0)), byte(15));
    EXPECT_EQ(decode(utf8(0x25CB)), byte(127));
    // Superscripts 0, 9, a and d are not part of the mapping.
    EXPECT_EQ(decode(utf8(0x2070)), utf8(0x2070));
    EXPECT_EQ(decode(utf8(0x2079)), utf8(0x2079));
    EXPECT_EQ(decode(utf8(0x1D43)), utf8(0x1D43));
    EXPECT_EQ(decode(utf8(0x1D48)), utf8(0x1D48));
}

TEST(HostTextTables, EncodeWritesTheTableSequences)
{
    EXPECT_EQ(encode("\x01\x02\x03"), utf8(0xB9) + utf8(0xB2) + utf8(0xB3));
    EXPECT_EQ(encode("\x04\x0b\x0e"), utf8(0x2074) + utf8(0x1D47) + utf8(0x1D49));
    EXPECT_EQ(encode("\t\n\r"), "\t\n\r");
    EXPECT_EQ(encode("\x10\x1f"), utf8(0x25AE) + utf8(0x309C));
    EXPECT_EQ(encode("\x7f"), utf8(0x25CB));
    EXPECT_EQ(encode("\x83"), utf8(0x2B07) + utf8(0xFE0F));
    EXPECT_EQ(encode("\x9a\xcb\xcc\xfd"), utf8(0x3042) + utf8(0x3087) + utf8(0x30A2) + utf8(0x30E7));
    EXPECT_EQ(encode("\xfe\xff"), utf8(0x25DC) + utf8(0x25DD));
    EXPECT_EQ(encode("Hello, ABZ!"), "Hello, ABZ!");
}

TEST(HostTextTables, EncodeStopsAtZeroAndAcceptsNull)
{
    EXPECT_EQ(encode(std::string("a\0b", 3)), "a");
    pbuffer* out = encode_host_text(nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->length, 0);
    EXPECT_EQ(out->tag, HOST_TEXT_BUFFER_TAG);
    destroy_buffer(out);
}

// --- decoding rules ---------------------------------------------------------

TEST(HostTextDecode, CarriageReturnsAreDropped)
{
    EXPECT_EQ(decode("a\r\nb"), "a\nb");
    EXPECT_EQ(decode("\r\r\r"), "");
}

TEST(HostTextDecode, VariationSelectorIsPartOfTheGlyph)
{
    // Without U+FE0F the arrow matches nothing and passes through as raw bytes.
    EXPECT_EQ(decode(utf8(0x2B07)), utf8(0x2B07));
    EXPECT_EQ(decode(utf8(0x2B07) + "x"), utf8(0x2B07) + "x");
    EXPECT_EQ(decode(utf8(0x2B07) + utf8(0xFE0F) + "x"), byte(131) + "x");
}

TEST(HostTextDecode, SansSerifItalicLettersBecomeCapitals)
{
    std::string host;
    for (uint32_t cp = 0x1D622; cp <= 0x1D63B; cp++) host += utf8(cp);
    EXPECT_EQ(decode(host), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_EQ(encode("A"), "A");
}

TEST(HostTextDecode, UnknownAndBrokenSequencesPassThrough)
{
    EXPECT_EQ(decode(utf8(0xE9)), utf8(0xE9));
    EXPECT_EQ(decode("x\xff"), "x\xff");
    // A table sequence cut short by the end of the text matches nothing.
    std::string cut = utf8(0x1F431).substr(0, 3);
    EXPECT_EQ(decode(cut), cut);
    std::string kana = utf8(0x3042).substr(0, 2);
    EXPECT_EQ(decode(kana), kana);
    EXPECT_EQ(decode("\xc2"), "\xc2");
}

TEST(HostTextDecode, GlyphTableComesBeforeKana)
{
    // U+300C begins with 0xE3 like the kana but is a glyph entry.
    EXPECT_EQ(decode(utf8(0x300C)), byte(24));
    EXPECT_EQ(decode(utf8(0x3001)), byte(28));
}

TEST(HostTextDecode, NullAndEmptyInput)
{
    EXPECT_EQ(decode_host_text(nullptr), nullptr);
    EXPECT_EQ(decode(""), "");
    pbuffer* in = buffer_of("abc");
    pbuffer* out = decode_host_text(in);
    EXPECT_EQ(out->tag, HOST_TEXT_BUFFER_TAG);
    EXPECT_EQ(text_of(in), "abc");  // input untouched
    destroy_buffer(in);
    destroy_buffer(out);
}

// --- byte-order marks -------------------------------------------------------

TEST(HostTextMarks, Utf8MarkIsSkipped)
{
    EXPECT_EQ(decode("\xef\xbb\xbfhi"), "hi");
    EXPECT_EQ(decode("\xef\xbb\xbf"), "");
    EXPECT_EQ(decode("\xef\xbb"), "\xef\xbb");
}

TEST(HostTextMarks, AsciiInEveryWideForm)
{
    std::u16string u16 = u"Hello\r\nworld";
    std::u32string u32 = U"Hello\r\nworld";
    EXPECT_EQ(decode("\xfe\xff" + utf16(u16, true)), "Hello\nworld");
    EXPECT_EQ(decode("\xff\xfe" + utf16(u16, false)), "Hello\nworld");
    EXPECT_EQ(decode(std::string("\x00\x00\xfe\xff", 4) + utf32(u32, true)), "Hello\nworld");
    EXPECT_EQ(decode(std::string("\xff\xfe\x00\x00", 4) + utf32(u32, false)), "Hello\nworld");
}

TEST(HostTextMarks, WideTextKeepsItsAlignment)
{
    // Non-ASCII units convert whole: the text after them is not shifted.
    std::u16string u16 = u"\u2588a\u3042b\u00e9c";
    std::string expected = byte(128) + "a" + byte(154) + "b" + utf8(0xE9) + "c";
    EXPECT_EQ(decode("\xfe\xff" + utf16(u16, true)), expected);
    EXPECT_EQ(decode("\xff\xfe" + utf16(u16, false)), expected);
    std::u32string u32 = U"\U0001F431x\U0001D622";
    EXPECT_EQ(decode(std::string("\x00\x00\xfe\xff", 4) + utf32(u32, true)), byte(130) + "xA");
    EXPECT_EQ(decode(std::string("\xff\xfe\x00\x00", 4) + utf32(u32, false)), byte(130) + "xA");
}

TEST(HostTextMarks, SurrogatePairsJoin)
{
    std::u16string cat = u"\U0001F431!";  // a surrogate pair, then '!'
    ASSERT_EQ(cat.size(), 3u);
    EXPECT_EQ(decode("\xff\xfe" + utf16(cat, false)), byte(130) + "!");
    // A lone surrogate becomes U+FFFD and does not swallow the next unit.
    std::u16string lone = {0xD83D, u'x', 0xDC31, u'y'};
    EXPECT_EQ(decode("\xfe\xff" + utf16(lone, true)), utf8(0xFFFD) + "x" + utf8(0xFFFD) + "y");
    // Out-of-range UTF-32 values too.
    std::u32string bad = {0x110000, U'z'};
    EXPECT_EQ(decode(std::string("\x00\x00\xfe\xff", 4) + utf32(bad, true)), utf8(0xFFFD) + "z");
}

TEST(HostTextMarks, MarksAloneAndShortBuffers)
{
    EXPECT_EQ(decode("\xfe\xff"), "");
    EXPECT_EQ(decode("\xff\xfe"), "");
    EXPECT_EQ(decode("\xfe\xff" "A"), "");  // half a unit
    EXPECT_EQ(decode("\xff\xfe" "A"), "");
    EXPECT_EQ(decode(std::string("\x00\x00\xfe\xff", 4)), "");
    EXPECT_EQ(decode(std::string("\xff\xfe\x00\x00", 4)), "");
    EXPECT_EQ(decode(std::string("\xff\xfe\x00\x00" "AB", 6)), "");  // half a UTF-32 unit
    EXPECT_EQ(decode(std::string("\x00\x00\xfe", 3)), std::string("\x00\x00\xfe", 3));
    EXPECT_EQ(decode("\xfe"), "\xfe");
    // FE FF 00 00 is not a mark: the bytes are read as they are.
    EXPECT_EQ(decode(std::string("\xfe\xff\x00\x00", 4)), std::string("\xfe\xff\x00\x00", 4));
    // A trailing odd byte after whole units is ignored.
    EXPECT_EQ(decode(std::string("\xff\xfe" "A\x00" "B", 5)), "A");
}

// --- round trip and fuzzing -------------------------------------------------

TEST(HostTextRoundTrip, EveryCodeButThirteenSurvives)
{
    std::string all;
    for (int c = 1; c <= 255; c++)
        if (c != 13) all += (char)c;
    EXPECT_EQ(decode(encode(all)), all);
    for (int c = 1; c <= 255; c++) {
        if (c == 13) continue;
        EXPECT_EQ(decode(encode(byte(c))), byte(c)) << "code " << c;
    }
    EXPECT_EQ(decode(encode("\r")), "");
}

TEST(HostTextFuzz, RandomBytesNeverBreakTheDecoder)
{
    // Bytes drawn mostly from marks and lead bytes of the tables, so that marks,
    // partial sequences and near-matches come up often.
    static const uint8_t interesting[] = {0x00, 0xFE, 0xFF, 0xEF, 0xBB, 0xBF, 0xE2, 0xE3, 0xF0, 0x9F,
                                          0x9D, 0x98, 0x97, 0x8B, 0xC2, 0xB9, 0x0D, 0x0A, 0x81, 0xD8,
                                          0xDC, 0x41};
    std::mt19937 rng(987654);
    uint32_t buffers_before = get_num_buffers_with_tag(HOST_TEXT_BUFFER_TAG);
    for (int round = 0; round < 20000; round++) {
        int n = (int)(rng() % 48);
        std::string bytes;
        for (int i = 0; i < n; i++) {
            if (rng() % 3 == 0)
                bytes += (char)(rng() & 0xFF);
            else
                bytes += (char)interesting[rng() % sizeof(interesting)];
        }
        pbuffer* in = buffer_of(bytes);
        pbuffer* out = decode_host_text(in);
        ASSERT_NE(out, nullptr);
        ASSERT_GE(out->length, 0);
        // No form makes the text more than one and a half times longer.
        ASSERT_LE(out->length, n + n / 2);
        ASSERT_LT((uint64_t)out->length, out->capacity);
        ASSERT_EQ(text_of(in), bytes);
        destroy_buffer(in);
        destroy_buffer(out);
    }
    EXPECT_EQ(get_num_buffers_with_tag(HOST_TEXT_BUFFER_TAG), buffers_before);
}
