#include "kernel/pbuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string contents(pbuffer* b) {
    return std::string(reinterpret_cast<const char*>(b->data), size_t(b->length));
}

// A scratch host file removed when the test ends.
struct temp_file {
    std::string path;
    explicit temp_file(const std::string& bytes) {
        char name[] = "/tmp/pbuffer_test_XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            if (!bytes.empty()) {
                EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
            }
            close(fd);
        }
    }
    ~temp_file() { unlink(path.c_str()); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Creation and growth
// ---------------------------------------------------------------------------

TEST(PbufferCreate, ZeroAndNegativeSizesGiveCapacityOne) {
    pbuffer* a = create_buffer_2(0, 7);
    pbuffer* b = create_buffer_2(-5, 7);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->capacity, 1u);
    EXPECT_EQ(b->capacity, 1u);
    EXPECT_EQ(a->length, 0);
    EXPECT_EQ(a->cursor, 0);
    EXPECT_EQ(a->tag, 7);
    EXPECT_STREQ(to_cstr(a), "");
    destroy_buffer(a);
    destroy_buffer(b);
}

TEST(PbufferCreate, OneByteIntoCapacityOneGrowsToFour) {
    pbuffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bwrite_uint8(0xAB, b), 1);
    EXPECT_EQ(b->capacity, 4u);
    EXPECT_EQ(b->length, 1);
    EXPECT_EQ(b->cursor, 1);
    // Bytes beyond the stored one are zero after growth.
    EXPECT_EQ(b->data[1], 0);
    EXPECT_EQ(b->data[2], 0);
    EXPECT_EQ(b->data[3], 0);
    destroy_buffer(b);
}

TEST(PbufferCreate, GrowthDoublesTheNeed) {
    pbuffer* b = create_buffer_2(3, 1);  // capacity 4
    EXPECT_EQ(bwrite_uint32(1, b), 4);   // needs 5 -> 10
    EXPECT_EQ(b->capacity, 10u);
    EXPECT_EQ(bwrite_uint32(2, b), 4);   // needs 9, fits
    EXPECT_EQ(b->capacity, 10u);
    EXPECT_EQ(bwrite_uint8(3, b), 1);    // needs 10, fits
    EXPECT_EQ(b->capacity, 10u);
    EXPECT_EQ(bwrite_uint8(4, b), 1);    // needs 11 -> 22
    EXPECT_EQ(b->capacity, 22u);
    EXPECT_LT(uint64_t(b->length), b->capacity);
    destroy_buffer(b);
}

TEST(PbufferCreate, FromStrKeepsCursorAtEnd) {
    pbuffer* b = create_buffer_from_str("hello");
    EXPECT_EQ(b->tag, BUFFER_TAG_FROM_STR);
    EXPECT_EQ(b->capacity, 7u);
    EXPECT_EQ(b->length, 5);
    EXPECT_EQ(b->cursor, 5);
    EXPECT_STREQ(to_cstr(b), "hello");
    bappend_str(b, "!");
    EXPECT_STREQ(to_cstr(b), "hello!");
    destroy_buffer(b);
}

TEST(PbufferCreate, FromBufferCopiesWithCursorAtZero) {
    pbuffer* src = create_buffer_from_str("abcdef");
    pbuffer* copy = create_buffer_from_buffer(src);
    EXPECT_EQ(copy->tag, BUFFER_TAG_FROM_BUFFER);
    EXPECT_EQ(copy->capacity, src->capacity + 1);
    EXPECT_EQ(copy->length, 6);
    EXPECT_EQ(copy->cursor, 0);
    EXPECT_EQ(contents(copy), "abcdef");
    pbuffer* tagged = create_buffer_from_buffer_2(src, 42);
    EXPECT_EQ(tagged->tag, 42);
    EXPECT_EQ(contents(tagged), "abcdef");
    EXPECT_EQ(create_buffer_from_buffer(nullptr), nullptr);
    destroy_buffer(src);
    destroy_buffer(copy);
    destroy_buffer(tagged);
}

TEST(PbufferCreate, FromBufferAllocatesAtLeastLengthPlusOne) {
    // A source whose capacity field reads as negative in its low 32 bits
    // must still give a copy big enough for its stored bytes.
    pbuffer* src = create_buffer_from_str("0123456789");
    uint64_t real_capacity = src->capacity;
    src->capacity = 0xFFFFFFFFu;
    pbuffer* copy = create_buffer_from_buffer(src);
    src->capacity = real_capacity;
    ASSERT_NE(copy, nullptr);
    EXPECT_GE(copy->capacity, 11u);
    EXPECT_EQ(contents(copy), "0123456789");
    EXPECT_STREQ(to_cstr(copy), "0123456789");
    destroy_buffer(src);
    destroy_buffer(copy);
}

TEST(PbufferCreate, BallocateDoublesAndZeroes) {
    pbuffer* b = create_buffer_2(0, 1);
    ballocate(b, 10);
    EXPECT_EQ(b->capacity, 22u);
    for (uint64_t i = 0; i < b->capacity; i++) EXPECT_EQ(b->data[i], 0) << i;
    ballocate(b, 5);  // already big enough
    EXPECT_EQ(b->capacity, 22u);
    ballocate(b, -3);
    EXPECT_EQ(b->capacity, 22u);
    destroy_buffer(b);
}

TEST(PbufferCreate, ClearKeepsCapacityAndNullsAreHarmless) {
    pbuffer* b = create_buffer_from_str("some text");
    uint64_t capacity = b->capacity;
    bclear(b);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->cursor, 0);
    EXPECT_EQ(b->capacity, capacity);
    EXPECT_STREQ(to_cstr(b), "");
    bclear(nullptr);
    destroy_buffer(nullptr);
    EXPECT_EQ(to_cstr(nullptr), nullptr);
    destroy_buffer(b);
}

// ---------------------------------------------------------------------------
// Writers and readers
// ---------------------------------------------------------------------------

TEST(PbufferReadWrite, PerWidthRoundTrips) {
    pbuffer* b = create_buffer_2(0, 1);
    bwrite_uint8(0x12, b);
    bwrite_uint16(0x3456, b);
    bwrite_uint32(0x789ABCDE, b);
    bwrite_uint32_big_endian(0x01020304, b);
    EXPECT_EQ(b->length, 11);
    const uint8_t expected[] = {0x12, 0x56, 0x34, 0xDE, 0xBC, 0x9A, 0x78, 1, 2, 3, 4};
    EXPECT_EQ(memcmp(b->data, expected, sizeof expected), 0);
    b->cursor = 0;
    EXPECT_EQ(bread_uint8(b), 0x12);
    EXPECT_EQ(bread_uint16(b), 0x3456);
    EXPECT_EQ(bread_uint32(b), 0x789ABCDEu);
    EXPECT_EQ(bread_uint32_big_endian(b), 0x01020304u);
    EXPECT_EQ(b->cursor, 11);
    EXPECT_EQ(bread_uint8(b), 0);
    EXPECT_EQ(b->cursor, 11);
    destroy_buffer(b);
}

TEST(PbufferReadWrite, ShortReadsReturnZeroAndLeaveCursor) {
    pbuffer* b = create_buffer_2(16, 1);
    bwrite_uint8(1, b);
    bwrite_uint8(2, b);
    bwrite_uint8(3, b);
    b->cursor = 0;
    EXPECT_EQ(bread_uint32(b), 0u);
    EXPECT_EQ(b->cursor, 0);
    EXPECT_EQ(bread_uint32_big_endian(b), 0u);
    EXPECT_EQ(b->cursor, 0);
    b->cursor = 2;
    EXPECT_EQ(bread_uint16(b), 0);
    EXPECT_EQ(b->cursor, 2);
    EXPECT_EQ(bread_uint8_hex(b), 0);
    EXPECT_EQ(b->cursor, 2);
    EXPECT_EQ(bread_uint8(b), 3);
    destroy_buffer(b);
}

TEST(PbufferReadWrite, ReadsPastLengthAreRefused) {
    pbuffer* b = create_buffer_2(16, 1);
    bwrite_uint32(0xFFFFFFFF, b);
    // Capacity holds zero bytes past the length; they must not be read.
    b->cursor = 6;
    EXPECT_EQ(bread_uint8(b), 0);
    EXPECT_EQ(b->cursor, 6);
    uint8_t out[8] = {};
    EXPECT_EQ(bread(out, 1, 4, b), 0);
    EXPECT_EQ(b->cursor, 6);
    b->cursor = -1;
    EXPECT_EQ(bread_uint8(b), 0);
    EXPECT_EQ(bread(out, 1, 1, b), 0);
    EXPECT_EQ(b->cursor, -1);
    EXPECT_EQ(bread_uint8(nullptr), 0);
    destroy_buffer(b);
}

TEST(PbufferReadWrite, OverwriteInsideStoredBytesKeepsLength) {
    pbuffer* b = create_buffer_from_str("abcdefgh");
    b->cursor = 2;
    EXPECT_EQ(bwrite("XY", 1, 2, b), 2);
    EXPECT_EQ(b->length, 8);
    EXPECT_EQ(b->cursor, 4);
    EXPECT_EQ(contents(b), "abXYefgh");
    // Writing across the end extends the length.
    b->cursor = 6;
    EXPECT_EQ(bwrite("1234", 2, 2, b), 4);
    EXPECT_EQ(b->length, 10);
    EXPECT_EQ(contents(b), "abXYef1234");
    destroy_buffer(b);
}

TEST(PbufferReadWrite, BwriteRefusesEmptyNegativeAndOverflowingSizes) {
    pbuffer* b = create_buffer_2(4, 1);
    char bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(bwrite(bytes, 0, 4, b), 0);
    EXPECT_EQ(bwrite(bytes, 4, 0, b), 0);
    EXPECT_EQ(bwrite(bytes, -1, 4, b), 0);
    EXPECT_EQ(bwrite(nullptr, 1, 4, b), 0);
    EXPECT_EQ(bwrite(bytes, 1, 4, nullptr), 0);
    // A product whose low 32 bits look small must not be truncated into a write.
    EXPECT_EQ(bwrite(bytes, int64_t(1) << 32, 1, b), 0);
    EXPECT_EQ(bwrite(bytes, (int64_t(1) << 32) + 1, 1, b), 0);
    EXPECT_EQ(bwrite(bytes, int64_t(1) << 40, int64_t(1) << 40, b), 0);
    EXPECT_EQ(bwrite(bytes, 0x10000, 0x10000, b), 0);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->cursor, 0);
    EXPECT_EQ(b->capacity, 5u);
    destroy_buffer(b);
}

TEST(PbufferReadWrite, WritePastMaximumLengthIsRefused) {
    pbuffer* b = create_buffer_2(8, 1);
    b->cursor = int32_t(PBUFFER_MAX_LENGTH);
    EXPECT_EQ(bwrite_uint8(1, b), 0);
    EXPECT_EQ(bwrite_uint32(1, b), 0);
    EXPECT_EQ(bwrite("ab", 1, 2, b), 0);
    EXPECT_EQ(bwrite_escaped_string("ab", b, 2), 0);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->capacity, 9u);
    b->cursor = -4;
    EXPECT_EQ(bwrite_uint8(1, b), 0);
    EXPECT_EQ(b->length, 0);
    destroy_buffer(b);
}

TEST(PbufferReadWrite, BreadCopiesWhatIsThere) {
    pbuffer* b = create_buffer_from_str("0123456789");
    b->cursor = 4;
    char out[16] = {};
    EXPECT_EQ(bread(out, 2, 2, b), 4);
    EXPECT_STREQ(out, "4567");
    EXPECT_EQ(b->cursor, 8);
    memset(out, 0, sizeof out);
    EXPECT_EQ(bread(out, 1, 100, b), 2);
    EXPECT_STREQ(out, "89");
    EXPECT_EQ(b->cursor, 10);
    EXPECT_EQ(bread(out, 1, 1, b), 0);
    b->cursor = 0;
    EXPECT_EQ(bread(out, INT64_MAX, INT64_MAX, b), 10);
    EXPECT_EQ(bread(out, 0, 5, b), 0);
    destroy_buffer(b);
}

// ---------------------------------------------------------------------------
// Escaped forms
// ---------------------------------------------------------------------------

TEST(PbufferEscape, AppendEscapedUsesThreeDecimalDigits) {
    pbuffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bappend_str_escaped(b, "a\tb"), 6);
    EXPECT_STREQ(to_cstr(b), "a\\009b");
    bclear(b);
    bappend_str_escaped(b, "\"q\\\n");
    EXPECT_STREQ(to_cstr(b), "\\034q\\092\\010");
    bclear(b);
    const char high[] = {char(200), char(127), char(128), 0};
    bappend_str_escaped(b, high);
    EXPECT_STREQ(to_cstr(b), "\\200\x7f\\128");
    destroy_buffer(b);
}

TEST(PbufferEscape, AppendEscapedAppendsAtEndAndTerminates) {
    pbuffer* b = create_buffer_from_str("x=");
    b->cursor = 0;
    EXPECT_EQ(bappend_str_escaped(b, "]"), 1);
    EXPECT_EQ(b->cursor, 3);
    EXPECT_EQ(b->data[3], 0);
    EXPECT_EQ(contents(b), "x=]");
    EXPECT_EQ(bappend_str_escaped(b, nullptr), 0);
    EXPECT_EQ(bappend_str_escaped(nullptr, "a"), 0);
    destroy_buffer(b);
}

TEST(PbufferEscape, BracketFormEscapesClosingBrackets) {
    pbuffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bwrite_escaped_string("]]", b, 2), 8);
    EXPECT_EQ(contents(b), "\\093\\093");
    bclear(b);
    const char text[] = "a\nb\\c\"d\te\x7f";
    EXPECT_EQ(bwrite_escaped_string(text, b, int32_t(strlen(text))), 19);
    EXPECT_EQ(contents(b), "a\\nb\\\\c\\\"d\\009e\\127");
    EXPECT_EQ(b->cursor, b->length);
    destroy_buffer(b);
}

TEST(PbufferEscape, BracketFormWritesEverythingAtTheCursor) {
    // With the cursor inside the stored bytes the escapes must land in order
    // with the copied bytes, not at the end of the buffer.
    pbuffer* b = create_buffer_from_str("0123456789");
    b->cursor = 2;
    EXPECT_EQ(bwrite_escaped_string("a]b", b, 3), 6);
    EXPECT_EQ(b->cursor, 8);
    EXPECT_EQ(b->length, 10);
    EXPECT_EQ(contents(b), "01a\\093b89");
    destroy_buffer(b);
}

TEST(PbufferEscape, BracketFormRefusesNothingToDo) {
    pbuffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bwrite_escaped_string("abc", nullptr, 3), 0);
    EXPECT_EQ(bwrite_escaped_string("abc", b, 0), 0);
    EXPECT_EQ(bwrite_escaped_string("abc", b, -2), 0);
    EXPECT_EQ(b->length, 0);
    // n counts bytes, so an embedded 0 is escaped too.
    EXPECT_EQ(bwrite_escaped_string("a\0b", b, 3), 6);
    EXPECT_EQ(contents(b), "a\\000b");
    destroy_buffer(b);
}

TEST(PbufferEscape, SharedEscapeBufferIsReusedAndGrows) {
    const char* first = escape_lua_string("say \"hi\"");
    EXPECT_STREQ(first, "say \\034hi\\034");
    uint32_t tagged = get_num_buffers_with_tag(BUFFER_TAG_ESCAPE);
    EXPECT_EQ(tagged, 1u);
    const char* second = escape_lua_string("plain");
    EXPECT_STREQ(second, "plain");
    EXPECT_EQ(first, second);  // same shared storage, overwritten
    std::string big(3000, '\n');
    const char* grown = escape_lua_string(big.c_str());
    EXPECT_EQ(strlen(grown), 12000u);
    EXPECT_EQ(get_num_buffers_with_tag(BUFFER_TAG_ESCAPE), 1u);
    EXPECT_STREQ(escape_lua_string(nullptr), "");
}

// ---------------------------------------------------------------------------
// Hexadecimal forms
// ---------------------------------------------------------------------------

TEST(PbufferHex, WritersProduceLowercaseFixedWidths) {
    pbuffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bwrite_uint8_as_hex(0xAF, b), 2);
    EXPECT_EQ(bwrite_uint8_as_hex(0x05, b), 2);
    EXPECT_EQ(contents(b), "af05");
    bclear(b);
    EXPECT_EQ(bwrite_int64_as_hex(int64_t(0x0123456789ABCDEFll), b), 16);
    EXPECT_EQ(bwrite_int64_as_hex(-1, b), 16);
    EXPECT_EQ(bwrite_int32_as_hex(-2, b), 8);
    EXPECT_EQ(bwrite_int32_as_hex(0x1F, b), 8);
    EXPECT_EQ(bwrite_int16_as_hex(-1, b), 4);
    EXPECT_EQ(bwrite_int16_as_hex(0x2a, b), 4);
    EXPECT_STREQ(to_cstr(b),
                 "0123456789abcdef" "ffffffffffffffff" "fffffffe" "0000001f" "ffff" "002a");
    destroy_buffer(b);
}

TEST(PbufferHex, AppendersGoToTheEndUint8HexGoesToCursor) {
    pbuffer* b = create_buffer_from_str("zzzz");
    b->cursor = 0;
    bwrite_uint8_as_hex(0x12, b);
    EXPECT_EQ(contents(b), "12zz");
    EXPECT_EQ(b->cursor, 2);
    bwrite_int16_as_hex(0x3456, b);
    EXPECT_EQ(contents(b), "12zz3456");
    EXPECT_EQ(b->cursor, 8);
    EXPECT_EQ(b->data[8], 0);
    destroy_buffer(b);
}

TEST(PbufferHex, BreadUint8HexAcceptsBothCasesAndZeroesOthers) {
    pbuffer* b = create_buffer_from_str("aFC3g7");
    b->cursor = 0;
    EXPECT_EQ(bread_uint8_hex(b), 0xAF);
    EXPECT_EQ(bread_uint8_hex(b), 0xC3);
    EXPECT_EQ(bread_uint8_hex(b), 0x07);
    EXPECT_EQ(b->cursor, 6);
    destroy_buffer(b);
}

TEST(PbufferHex, ReadFromHexStrAdvancesPerDigit) {
    const char* text = "ff" "7fff" "8000" "000000de" "adbeefcafef00d01" "23";
    const char* p = text;
    EXPECT_EQ(read_u8_from_hex_str(&p), 0xFF);
    EXPECT_EQ(p, text + 2);
    EXPECT_EQ(read_i16_from_hex_str(&p), 0x7FFF);
    EXPECT_EQ(read_i16_from_hex_str(&p), int16_t(-32768));
    EXPECT_EQ(read_i32_from_hex_str(&p), 0x000000de);
    EXPECT_EQ(p, text + 18);
    EXPECT_EQ(read_i64_from_hex_str(&p), int64_t(0xadbeefcafef00d01ull));
    EXPECT_EQ(p, text + 34);
    EXPECT_EQ(read_u8_from_hex_str(&p), 0x23);
    const char* neg = "FFFFFFFE";
    p = neg;
    EXPECT_EQ(read_i32_from_hex_str(&p), -2);
    const char* big = "8000000000000000";
    p = big;
    EXPECT_EQ(read_i64_from_hex_str(&p), INT64_MIN);
}

TEST(PbufferHex, ReadFromHexStrStopsAtZeroCharacter) {
    const char* text = "12";
    const char* p = text;
    EXPECT_EQ(read_i16_from_hex_str(&p), 0);
    EXPECT_EQ(p, text + 2);
    const char* one = "a";
    p = one;
    EXPECT_EQ(read_u8_from_hex_str(&p), 0);
    EXPECT_EQ(p, one + 1);
    const char* empty = "";
    p = empty;
    EXPECT_EQ(read_i64_from_hex_str(&p), 0);
    EXPECT_EQ(p, empty);
    const char* seven = "1234567";
    p = seven;
    EXPECT_EQ(read_i32_from_hex_str(&p), 0);
    EXPECT_EQ(p, seven + 7);
    EXPECT_EQ(read_u8_from_hex_str(nullptr), 0);
    p = nullptr;
    EXPECT_EQ(read_i32_from_hex_str(&p), 0);
}

// ---------------------------------------------------------------------------
// Lines
// ---------------------------------------------------------------------------

TEST(PbufferReadln, SplitsOnLfAndCrLfOnly) {
    const char bytes[] = {'a', '\r', '\n', 'b', '\r', 'c', '\n'};
    pbuffer* src = create_buffer_2(0, 1);
    bwrite(bytes, 1, sizeof bytes, src);
    src->cursor = 0;
    pbuffer* line = breadln(src, nullptr);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->tag, BUFFER_TAG_READLN);
    EXPECT_EQ(line->capacity, 17u);
    EXPECT_STREQ(to_cstr(line), "a");
    EXPECT_EQ(src->cursor, 3);
    EXPECT_EQ(breadln(src, line), line);
    EXPECT_EQ(contents(line), std::string("b\rc"));
    EXPECT_EQ(line->data[3], 0);
    EXPECT_EQ(src->cursor, 7);
    breadln(src, line);
    EXPECT_EQ(line->length, 0);
    EXPECT_STREQ(to_cstr(line), "");
    EXPECT_EQ(src->cursor, 7);
    destroy_buffer(line);
    destroy_buffer(src);
}

TEST(PbufferReadln, TrailingCrAndLongLines) {
    pbuffer* src = create_buffer_2(0, 1);
    std::string long_line(100, 'x');
    bappend_str(src, long_line.c_str());
    bappend_str(src, "\nend\r");
    src->cursor = 0;
    pbuffer* line = breadln(src, nullptr);
    EXPECT_EQ(contents(line), long_line);
    breadln(src, line);
    EXPECT_EQ(contents(line), "end\r");
    EXPECT_EQ(src->cursor, src->length);
    destroy_buffer(line);
    destroy_buffer(src);
}

// ---------------------------------------------------------------------------
// Cropping
// ---------------------------------------------------------------------------

TEST(PbufferCrop, RemovesLeadingBytesAndZeroesTheRest) {
    pbuffer* b = create_buffer_from_str("headerBODY");
    b->cursor = 8;
    bcrop(b, 6, b->length - 6);
    EXPECT_EQ(b->length, 4);
    EXPECT_EQ(b->cursor, 2);
    EXPECT_EQ(contents(b), "BODY");
    for (uint64_t i = 4; i < b->capacity; i++) EXPECT_EQ(b->data[i], 0) << i;
    destroy_buffer(b);
}

TEST(PbufferCrop, NegativeStartDoesNothing) {
    pbuffer* b = create_buffer_from_str("abc");
    bcrop(b, -1, 2);
    EXPECT_EQ(contents(b), "abc");
    EXPECT_EQ(b->cursor, 3);
    bcrop(nullptr, 0, 1);
    destroy_buffer(b);
}

TEST(PbufferCrop, SmallCountOrStartAtEndEmpties) {
    pbuffer* b = create_buffer_from_str("abc");
    bcrop(b, 1, 0);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->cursor, 0);
    bappend_str(b, "abc");
    bcrop(b, 3, 5);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->cursor, 0);
    EXPECT_STREQ(to_cstr(b), "");
    destroy_buffer(b);
}

TEST(PbufferCrop, SmallerCountKeepsOnlyThoseBytes) {
    pbuffer* b = create_buffer_from_str("0123456789");
    b->cursor = 9;
    bcrop(b, 2, 3);
    EXPECT_EQ(b->length, 3);
    EXPECT_EQ(b->cursor, 3);  // clamped to the new length
    EXPECT_EQ(contents(b), "234");
    EXPECT_EQ(b->data[3], 0);
    b->cursor = 0;
    bcrop(b, 1, 1);
    EXPECT_EQ(contents(b), "3");
    EXPECT_EQ(b->cursor, 0);  // would be negative: clamped at the front
    destroy_buffer(b);
}

TEST(PbufferCrop, LargerCountIsLimitedToStoredBytes) {
    pbuffer* b = create_buffer_from_str("abcdef");
    bcrop(b, 4, 1000);
    EXPECT_EQ(b->length, 2);
    EXPECT_EQ(b->cursor, 2);
    EXPECT_EQ(contents(b), "ef");
    destroy_buffer(b);
}

// ---------------------------------------------------------------------------
// Host files
// ---------------------------------------------------------------------------

TEST(PbufferFile, ReadsWholeFileAcrossChunks) {
    std::string bytes;
    for (int i = 0; i < 40000; i++) bytes.push_back(char(i * 7 + i / 256));
    temp_file file(bytes);
    pbuffer* b = create_buffer_from_file(file.path.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->tag, BUFFER_TAG_FROM_FILE);
    EXPECT_EQ(b->length, 40000);
    EXPECT_EQ(b->cursor, 40000);
    EXPECT_EQ(contents(b), bytes);
    EXPECT_LT(uint64_t(b->length), b->capacity);
    destroy_buffer(b);
}

TEST(PbufferFile, EmptyFileGivesEmptyBuffer) {
    temp_file file("");
    pbuffer* b = create_buffer_from_file(file.path.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->capacity, 4097u);
    destroy_buffer(b);
}

TEST(PbufferFile, MissingFileOrDirectoryGivesNull) {
    EXPECT_EQ(create_buffer_from_file("/tmp/pbuffer_test_no_such_file_here"), nullptr);
    EXPECT_EQ(create_buffer_from_file("/tmp"), nullptr);
    EXPECT_EQ(create_buffer_from_file(nullptr), nullptr);
}

TEST(PbufferFile, FileOfTwoGibibytesIsRefused) {
    temp_file file("");
    ASSERT_EQ(truncate(file.path.c_str(), int64_t(1) << 31), 0);  // sparse
    uint32_t before = get_total_num_buffers();
    EXPECT_EQ(create_buffer_from_file(file.path.c_str()), nullptr);
    EXPECT_EQ(get_total_num_buffers(), before);
}

// ---------------------------------------------------------------------------
// Accounting
// ---------------------------------------------------------------------------

TEST(PbufferAccounting, CountersReturnToStartAfterDestroy) {
    escape_lua_string("warm up");  // the shared buffer lives for good
    uint32_t count = get_total_num_buffers();
    uint64_t bytes = get_total_buffer_allocation();
    uint32_t tag_88 = get_num_buffers_with_tag(BUFFER_TAG_FROM_STR);
    uint32_t tag_50 = get_num_buffers_with_tag(50);

    pbuffer* a = create_buffer_from_str("abc");
    pbuffer* b = create_buffer_2(10, 50);
    pbuffer* c = create_buffer_from_buffer_2(a, 50);
    EXPECT_EQ(get_total_num_buffers(), count + 3);
    EXPECT_EQ(get_num_buffers_with_tag(BUFFER_TAG_FROM_STR), tag_88 + 1);
    EXPECT_EQ(get_num_buffers_with_tag(50), tag_50 + 2);
    EXPECT_EQ(get_total_buffer_allocation(), bytes + a->capacity + b->capacity + c->capacity);

    for (int i = 0; i < 1000; i++) bwrite_uint8(uint8_t(i), b);
    ballocate(a, 5000);
    EXPECT_EQ(get_total_buffer_allocation(), bytes + a->capacity + b->capacity + c->capacity);

    destroy_buffer(a);
    destroy_buffer(b);
    destroy_buffer(c);
    EXPECT_EQ(get_total_num_buffers(), count);
    EXPECT_EQ(get_total_buffer_allocation(), bytes);
    EXPECT_EQ(get_num_buffers_with_tag(BUFFER_TAG_FROM_STR), tag_88);
    EXPECT_EQ(get_num_buffers_with_tag(50), tag_50);
}

TEST(PbufferAccounting, OutOfRangeTagsAreNotCounted) {
    uint32_t count = get_total_num_buffers();
    pbuffer* b = create_buffer_2(4, 500);
    pbuffer* c = create_buffer_2(4, -3);
    EXPECT_EQ(get_total_num_buffers(), count + 2);
    EXPECT_EQ(get_num_buffers_with_tag(500), 0u);
    EXPECT_EQ(get_num_buffers_with_tag(-3), 0u);
    destroy_buffer(b);
    destroy_buffer(c);
    EXPECT_EQ(get_total_num_buffers(), count);
}

TEST(PbufferAccounting, GrowthOnAnotherThreadKeepsTotalsExact) {
    uint64_t bytes = get_total_buffer_allocation();
    uint32_t count = get_total_num_buffers();
    pbuffer* capture = create_buffer_2(0, 60);
    std::thread audio([capture] {
        for (int i = 0; i < 20000; i++) bwrite_uint16(uint16_t(i), capture);
    });
    for (int i = 0; i < 2000; i++) destroy_buffer(create_buffer_2(i, 61));
    audio.join();
    EXPECT_EQ(capture->length, 40000);
    EXPECT_EQ(get_total_buffer_allocation(), bytes + capture->capacity);
    destroy_buffer(capture);
    EXPECT_EQ(get_total_buffer_allocation(), bytes);
    EXPECT_EQ(get_total_num_buffers(), count);
}
