// Byte buffers: creation and growth, readers and writers, escaped and hexadecimal forms,
// lines, cropping, host files and the allocation counters.
#include "base/pbuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// A buffer destroyed when the test ends.
struct Buf {
    pbuffer* b;
    explicit Buf(pbuffer* x) : b(x) {}
    ~Buf() { destroy_buffer(b); }
    pbuffer* operator->() const { return b; }
    operator pbuffer*() const { return b; }
};

std::string contents(pbuffer* b) { return std::string(reinterpret_cast<const char*>(b->data), size_t(b->length)); }

// "length cursor capacity".
std::string shape(pbuffer* b) {
    return std::to_string(b->length) + " " + std::to_string(b->cursor) + " " + std::to_string(b->capacity);
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

TEST(PbufferCreate, SizesAndGrowth) {
    Buf a(create_buffer_2(0, 7)), b(create_buffer_2(-5, 7));
    EXPECT_EQ(shape(a), "0 0 1");
    EXPECT_EQ(b->capacity, 1u);
    EXPECT_EQ(a->tag, 7);
    EXPECT_STREQ(to_cstr(a), "");
    // One byte into capacity one grows to four; the bytes beyond it are zero.
    EXPECT_EQ(bwrite_uint8(0xAB, b), 1);
    EXPECT_EQ(shape(b), "1 1 4");
    EXPECT_EQ(std::string((const char*)b->data + 1, 3), std::string(3, '\0'));
    // Growth doubles the need.
    Buf c(create_buffer_2(3, 1));  // capacity 4
    EXPECT_EQ(bwrite_uint32(1, c), 4);  // needs 5 -> 10
    EXPECT_EQ(c->capacity, 10u);
    EXPECT_EQ(bwrite_uint32(2, c), 4);  // needs 9, fits
    EXPECT_EQ(bwrite_uint8(3, c), 1);   // needs 10, fits
    EXPECT_EQ(c->capacity, 10u);
    EXPECT_EQ(bwrite_uint8(4, c), 1);   // needs 11 -> 22
    EXPECT_EQ(shape(c), "10 10 22");
    // ballocate doubles too, zeroes, and never shrinks.
    Buf d(create_buffer_2(0, 1));
    ballocate(d, 10);
    EXPECT_EQ(d->capacity, 22u);
    EXPECT_EQ(std::string((const char*)d->data, 22), std::string(22, '\0'));
    ballocate(d, 5);
    ballocate(d, -3);
    EXPECT_EQ(d->capacity, 22u);
}

TEST(PbufferCreate, CopiesAndClear) {
    Buf s(create_buffer_from_str("hello"));
    EXPECT_EQ(s->tag, BUFFER_TAG_FROM_STR);
    EXPECT_EQ(shape(s), "5 5 7");  // the cursor at the end
    bappend_str(s, "!");
    EXPECT_STREQ(to_cstr(s), "hello!");

    Buf src(create_buffer_from_str("abcdef"));
    Buf copy(create_buffer_from_buffer(src)), tagged(create_buffer_from_buffer_2(src, 42));
    EXPECT_EQ(copy->tag, BUFFER_TAG_FROM_BUFFER);
    EXPECT_EQ(copy->capacity, src->capacity + 1);
    EXPECT_EQ(copy->cursor, 0);
    EXPECT_EQ(contents(copy), "abcdef");
    EXPECT_EQ(tagged->tag, 42);
    EXPECT_EQ(contents(tagged), "abcdef");
    EXPECT_EQ(create_buffer_from_buffer(nullptr), nullptr);

    // A source whose capacity field reads as negative in its low 32 bits must still give
    // a copy big enough for its stored bytes.
    Buf digits(create_buffer_from_str("0123456789"));
    uint64_t real_capacity = digits->capacity;
    digits->capacity = 0xFFFFFFFFu;
    Buf big(create_buffer_from_buffer(digits));
    digits->capacity = real_capacity;
    ASSERT_NE(big.b, nullptr);
    EXPECT_GE(big->capacity, 11u);
    EXPECT_STREQ(to_cstr(big), "0123456789");

    uint64_t capacity = s->capacity;
    bclear(s);
    EXPECT_EQ(shape(s), "0 0 " + std::to_string(capacity));
    EXPECT_STREQ(to_cstr(s), "");
    bclear(nullptr);
    destroy_buffer(nullptr);
    EXPECT_EQ(to_cstr(nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Writers and readers
// ---------------------------------------------------------------------------

TEST(PbufferReadWrite, PerWidthRoundTripsAndOverwrites) {
    Buf b(create_buffer_2(0, 1));
    bwrite_uint8(0x12, b);
    bwrite_uint16(0x3456, b);
    bwrite_uint32(0x789ABCDE, b);
    bwrite_uint32_big_endian(0x01020304, b);
    EXPECT_EQ(contents(b), std::string("\x12\x56\x34\xDE\xBC\x9A\x78\x01\x02\x03\x04", 11));
    b->cursor = 0;
    EXPECT_EQ(bread_uint8(b), 0x12);
    EXPECT_EQ(bread_uint16(b), 0x3456);
    EXPECT_EQ(bread_uint32(b), 0x789ABCDEu);
    EXPECT_EQ(bread_uint32_big_endian(b), 0x01020304u);
    EXPECT_EQ(bread_uint8(b), 0);
    EXPECT_EQ(b->cursor, 11);

    // Inside the stored bytes the length stays; across the end it grows.
    Buf t(create_buffer_from_str("abcdefgh"));
    t->cursor = 2;
    EXPECT_EQ(bwrite("XY", 1, 2, t), 2);
    EXPECT_EQ(contents(t), "abXYefgh");
    EXPECT_EQ(t->cursor, 4);
    t->cursor = 6;
    EXPECT_EQ(bwrite("1234", 2, 2, t), 4);
    EXPECT_EQ(contents(t), "abXYef1234");
}

TEST(PbufferReadWrite, ShortAndOutOfRangeReadsGiveZeroAndLeaveTheCursor) {
    Buf b(create_buffer_2(16, 1));
    bwrite("\x01\x02\x03", 1, 3, b);
    b->cursor = 0;
    EXPECT_EQ(bread_uint32(b), 0u);
    EXPECT_EQ(bread_uint32_big_endian(b), 0u);
    EXPECT_EQ(b->cursor, 0);
    b->cursor = 2;
    EXPECT_EQ(bread_uint16(b), 0);
    EXPECT_EQ(bread_uint8_hex(b), 0);
    EXPECT_EQ(b->cursor, 2);
    EXPECT_EQ(bread_uint8(b), 3);
    // The capacity holds zero bytes past the length; they must not be read.
    b->cursor = 6;
    uint8_t out[8] = {};
    EXPECT_EQ(bread_uint8(b), 0);
    EXPECT_EQ(bread(out, 1, 4, b), 0);
    EXPECT_EQ(b->cursor, 6);
    b->cursor = -1;
    EXPECT_EQ(bread_uint8(b), 0);
    EXPECT_EQ(bread(out, 1, 1, b), 0);
    EXPECT_EQ(b->cursor, -1);
    EXPECT_EQ(bread_uint8(nullptr), 0);
}

TEST(PbufferReadWrite, WritesRefuseBadAndOverflowingSizes) {
    Buf b(create_buffer_2(4, 1));
    char bytes[4] = {1, 2, 3, 4};
    struct { int64_t size, count; } refused[] = {
        {0, 4}, {4, 0}, {-1, 4},
        // Products whose low 32 bits look small must not be truncated into a write.
        {int64_t(1) << 32, 1}, {(int64_t(1) << 32) + 1, 1}, {int64_t(1) << 40, int64_t(1) << 40}, {0x10000, 0x10000}};
    for (auto& r : refused) EXPECT_EQ(bwrite(bytes, r.size, r.count, b), 0) << r.size << " x " << r.count;
    EXPECT_EQ(bwrite(nullptr, 1, 4, b), 0);
    EXPECT_EQ(bwrite(bytes, 1, 4, nullptr), 0);
    EXPECT_EQ(shape(b), "0 0 5");
    // Past the maximum length, or before the start, nothing is written.
    Buf m(create_buffer_2(8, 1));
    m->cursor = int32_t(PBUFFER_MAX_LENGTH);
    EXPECT_EQ(bwrite_uint8(1, m), 0);
    EXPECT_EQ(bwrite_uint32(1, m), 0);
    EXPECT_EQ(bwrite("ab", 1, 2, m), 0);
    EXPECT_EQ(bwrite_escaped_string("ab", m, 2), 0);
    m->cursor = -4;
    EXPECT_EQ(bwrite_uint8(1, m), 0);
    EXPECT_EQ(m->length, 0);
    EXPECT_EQ(m->capacity, 9u);
}

TEST(PbufferReadWrite, BreadCopiesWhatIsThere) {
    Buf b(create_buffer_from_str("0123456789"));
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
}

// ---------------------------------------------------------------------------
// Escaped forms
// ---------------------------------------------------------------------------

TEST(PbufferEscape, AppendEscapedUsesThreeDecimalDigitsAtTheEnd) {
    struct { const char* in; const char* out; } cases[] = {
        {"a\tb", "a\\009b"}, {"\"q\\\n", "\\034q\\092\\010"}, {"\xc8\x7f\x80", "\\200\x7f\\128"}};
    for (auto& c : cases) {
        Buf b(create_buffer_2(0, 1));
        EXPECT_EQ(bappend_str_escaped(b, c.in), int32_t(strlen(c.out))) << c.out;
        EXPECT_STREQ(to_cstr(b), c.out);
    }
    Buf b(create_buffer_from_str("x="));
    b->cursor = 0;
    EXPECT_EQ(bappend_str_escaped(b, "]"), 1);
    EXPECT_EQ(b->cursor, 3);
    EXPECT_EQ(b->data[3], 0);
    EXPECT_EQ(contents(b), "x=]");
    EXPECT_EQ(bappend_str_escaped(b, nullptr), 0);
    EXPECT_EQ(bappend_str_escaped(nullptr, "a"), 0);
}

TEST(PbufferEscape, BracketFormEscapesAtTheCursor) {
    struct { std::string in; const char* out; } cases[] = {
        {"]]", "\\093\\093"}, {"a\nb\\c\"d\te\x7f", "a\\nb\\\\c\\\"d\\009e\\127"},
        {std::string("a\0b", 3), "a\\000b"}};  // n counts bytes: an embedded 0 is escaped too
    for (auto& c : cases) {
        Buf b(create_buffer_2(0, 1));
        EXPECT_EQ(bwrite_escaped_string(c.in.data(), b, int32_t(c.in.size())), int32_t(strlen(c.out))) << c.out;
        EXPECT_EQ(contents(b), c.out);
        EXPECT_EQ(b->cursor, b->length);
    }
    // With the cursor inside the stored bytes the escapes land in order with the copied
    // bytes, not at the end of the buffer.
    Buf b(create_buffer_from_str("0123456789"));
    b->cursor = 2;
    EXPECT_EQ(bwrite_escaped_string("a]b", b, 3), 6);
    EXPECT_EQ(b->cursor, 8);
    EXPECT_EQ(contents(b), "01a\\093b89");
    EXPECT_EQ(bwrite_escaped_string("abc", nullptr, 3), 0);
    EXPECT_EQ(bwrite_escaped_string("abc", b, 0), 0);
    EXPECT_EQ(bwrite_escaped_string("abc", b, -2), 0);
    EXPECT_EQ(b->length, 10);
}

TEST(PbufferEscape, SharedEscapeBufferIsReusedAndGrows) {
    const char* first = escape_lua_string("say \"hi\"");
    EXPECT_STREQ(first, "say \\034hi\\034");
    EXPECT_EQ(get_num_buffers_with_tag(BUFFER_TAG_ESCAPE), 1u);
    const char* second = escape_lua_string("plain");
    EXPECT_STREQ(second, "plain");
    EXPECT_EQ(first, second);  // same shared storage, overwritten
    EXPECT_EQ(strlen(escape_lua_string(std::string(3000, '\n').c_str())), 12000u);
    EXPECT_EQ(get_num_buffers_with_tag(BUFFER_TAG_ESCAPE), 1u);
    EXPECT_STREQ(escape_lua_string(nullptr), "");
}

// ---------------------------------------------------------------------------
// Hexadecimal forms
// ---------------------------------------------------------------------------

TEST(PbufferHex, WritersProduceLowercaseFixedWidths) {
    Buf b(create_buffer_2(0, 1));
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
    EXPECT_STREQ(to_cstr(b), "0123456789abcdef" "ffffffffffffffff" "fffffffe" "0000001f" "ffff" "002a");
    // The uint8 writer goes to the cursor, the others append at the end.
    Buf z(create_buffer_from_str("zzzz"));
    z->cursor = 0;
    bwrite_uint8_as_hex(0x12, z);
    EXPECT_EQ(contents(z), "12zz");
    EXPECT_EQ(z->cursor, 2);
    bwrite_int16_as_hex(0x3456, z);
    EXPECT_EQ(contents(z), "12zz3456");
    EXPECT_EQ(z->cursor, 8);
    EXPECT_EQ(z->data[8], 0);
}

TEST(PbufferHex, ReadersAcceptBothCasesAndStopAtTheEnd) {
    Buf b(create_buffer_from_str("aFC3g7"));
    b->cursor = 0;
    EXPECT_EQ(bread_uint8_hex(b), 0xAF);
    EXPECT_EQ(bread_uint8_hex(b), 0xC3);
    EXPECT_EQ(bread_uint8_hex(b), 0x07);  // other characters read as 0
    EXPECT_EQ(b->cursor, 6);

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
    p = "FFFFFFFE";
    EXPECT_EQ(read_i32_from_hex_str(&p), -2);
    p = "8000000000000000";
    EXPECT_EQ(read_i64_from_hex_str(&p), INT64_MIN);

    // Text ending inside a value gives 0, the pointer left at the end of the text.
    struct { const char* text; int width; } shorts[] = {{"12", 16}, {"a", 8}, {"", 64}, {"1234567", 32}};
    for (auto& s : shorts) {
        p = s.text;
        int64_t v = s.width == 8 ? read_u8_from_hex_str(&p) : s.width == 16 ? read_i16_from_hex_str(&p)
                  : s.width == 32 ? read_i32_from_hex_str(&p) : read_i64_from_hex_str(&p);
        EXPECT_EQ(v, 0) << s.text;
        EXPECT_EQ(p, s.text + strlen(s.text)) << s.text;
    }
    EXPECT_EQ(read_u8_from_hex_str(nullptr), 0);
    p = nullptr;
    EXPECT_EQ(read_i32_from_hex_str(&p), 0);
}

// ---------------------------------------------------------------------------
// Lines and cropping
// ---------------------------------------------------------------------------

TEST(PbufferReadln, SplitsOnLfAndCrLfOnly) {
    Buf src(create_buffer_2(0, 1));
    bwrite("a\r\nb\rc\n", 1, 7, src);
    src->cursor = 0;
    Buf line(breadln(src, nullptr));
    ASSERT_NE(line.b, nullptr);
    EXPECT_EQ(line->tag, BUFFER_TAG_READLN);
    EXPECT_EQ(line->capacity, 17u);
    EXPECT_STREQ(to_cstr(line), "a");
    EXPECT_EQ(src->cursor, 3);
    EXPECT_EQ(breadln(src, line), line.b);
    EXPECT_EQ(contents(line), "b\rc");
    EXPECT_EQ(line->data[3], 0);
    EXPECT_EQ(src->cursor, 7);
    breadln(src, line);
    EXPECT_EQ(line->length, 0);
    EXPECT_STREQ(to_cstr(line), "");
    EXPECT_EQ(src->cursor, 7);
    // A long line, and a trailing CR kept on the last line.
    bclear(src);
    std::string long_line(100, 'x');
    bappend_str(src, (long_line + "\nend\r").c_str());
    src->cursor = 0;
    breadln(src, line);
    EXPECT_EQ(contents(line), long_line);
    breadln(src, line);
    EXPECT_EQ(contents(line), "end\r");
    EXPECT_EQ(src->cursor, src->length);
}

TEST(PbufferCrop, KeepsTheCountedBytesClampsTheCursorAndZeroesTheRest) {
    struct { const char* text; int32_t cursor, start, count; const char* kept; int32_t cursor_after; } cases[] = {
        {"headerBODY", 8, 6, 4, "BODY", 2},
        {"abc", 3, -1, 2, "abc", 3},     // a negative start does nothing
        {"abc", 3, 1, 0, "", 0},         // a small count empties
        {"abc", 3, 3, 5, "", 0},         // so does a start at the end
        {"0123456789", 9, 2, 3, "234", 3},  // the cursor clamped to the new length
        {"234", 0, 1, 1, "3", 0},        // and at the front
        {"abcdef", 6, 4, 1000, "ef", 2}, // a larger count is limited to the stored bytes
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " from " + std::to_string(c.start));
        Buf b(create_buffer_from_str(c.text));
        b->cursor = c.cursor;
        bcrop(b, c.start, c.count);
        EXPECT_EQ(contents(b), c.kept);
        EXPECT_EQ(b->cursor, c.cursor_after);
        for (uint64_t i = b->length; i < b->capacity; i++) EXPECT_EQ(b->data[i], 0) << i;
    }
    bcrop(nullptr, 0, 1);
}

// ---------------------------------------------------------------------------
// Host files
// ---------------------------------------------------------------------------

TEST(PbufferFile, ReadsWholeFilesAcrossChunks) {
    std::string bytes;
    for (int i = 0; i < 40000; i++) bytes.push_back(char(i * 7 + i / 256));
    temp_file file(bytes);
    Buf b(create_buffer_from_file(file.path.c_str()));
    ASSERT_NE(b.b, nullptr);
    EXPECT_EQ(b->tag, BUFFER_TAG_FROM_FILE);
    EXPECT_EQ(b->cursor, 40000);
    EXPECT_EQ(contents(b), bytes);
    EXPECT_LT(uint64_t(b->length), b->capacity);
    temp_file empty("");
    Buf e(create_buffer_from_file(empty.path.c_str()));
    ASSERT_NE(e.b, nullptr);
    EXPECT_EQ(e->length, 0);
    EXPECT_EQ(e->capacity, 4097u);
}

TEST(PbufferFile, MissingDirectoryAndTooLargeFilesGiveNull) {
    EXPECT_EQ(create_buffer_from_file("/tmp/pbuffer_test_no_such_file_here"), nullptr);
    EXPECT_EQ(create_buffer_from_file("/tmp"), nullptr);
    EXPECT_EQ(create_buffer_from_file(nullptr), nullptr);
    temp_file file("");
    ASSERT_EQ(truncate(file.path.c_str(), int64_t(1) << 31), 0);  // 2 GiB, sparse
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
    {
        Buf a(create_buffer_from_str("abc")), b(create_buffer_2(10, 50)), c(create_buffer_from_buffer_2(a, 50));
        Buf d(create_buffer_2(4, 500)), e(create_buffer_2(4, -3));  // tags out of range: not counted
        EXPECT_EQ(get_total_num_buffers(), count + 5);
        EXPECT_EQ(get_num_buffers_with_tag(BUFFER_TAG_FROM_STR), tag_88 + 1);
        EXPECT_EQ(get_num_buffers_with_tag(50), tag_50 + 2);
        EXPECT_EQ(get_num_buffers_with_tag(500) + get_num_buffers_with_tag(-3), 0u);
        uint64_t others = d->capacity + e->capacity;
        EXPECT_EQ(get_total_buffer_allocation(), bytes + a->capacity + b->capacity + c->capacity + others);
        for (int i = 0; i < 1000; i++) bwrite_uint8(uint8_t(i), b);
        ballocate(a, 5000);
        EXPECT_EQ(get_total_buffer_allocation(), bytes + a->capacity + b->capacity + c->capacity + others);
    }
    EXPECT_EQ(get_total_num_buffers(), count);
    EXPECT_EQ(get_total_buffer_allocation(), bytes);
    EXPECT_EQ(get_num_buffers_with_tag(BUFFER_TAG_FROM_STR), tag_88);
    EXPECT_EQ(get_num_buffers_with_tag(50), tag_50);
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
