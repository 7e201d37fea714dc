#include "base/pbuffer.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr int NUM_TAGS = 128;
constexpr size_t FILE_CHUNK_SIZE = 16384;
constexpr uint64_t MAX_CAPACITY = uint64_t(PBUFFER_MAX_LENGTH) + 1;

// Buffers belong to the main thread, but the audio callback grows the capture
// buffer, so every counter is updated atomically.
struct buffer_accounting {
    std::atomic<uint32_t> num_buffers{0};
    std::atomic<uint64_t> total_bytes{0};
    pbuffer* escape_buffer = nullptr;
    std::atomic<uint32_t> num_with_tag[NUM_TAGS] = {};
};

buffer_accounting accounting;

const char HEX_DIGITS[] = "0123456789abcdef";

bool tag_in_range(int32_t tag) { return tag >= 0 && tag < NUM_TAGS; }

// Value of one hexadecimal digit, upper or lower case; anything else is 0.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// Resizes the data block to new_capacity, zeroing the added bytes.
bool resize_data(pbuffer* b, uint64_t new_capacity) {
    uint8_t* data = static_cast<uint8_t*>(realloc(b->data, new_capacity));
    if (!data) return false;
    if (new_capacity > b->capacity) memset(data + b->capacity, 0, new_capacity - b->capacity);
    accounting.total_bytes.fetch_add(new_capacity - b->capacity);
    b->data = data;
    b->capacity = new_capacity;
    return true;
}

// Makes room for w bytes at position pos plus the spare byte after them.
// Refuses (false) when the result would pass PBUFFER_MAX_LENGTH.
bool make_room(pbuffer* b, int64_t pos, int64_t w) {
    if (!b || pos < 0 || w < 0 || w > PBUFFER_MAX_LENGTH - pos) return false;
    uint64_t need = uint64_t(pos + w + 1);
    if (b->capacity >= need && b->data) return true;
    uint64_t new_capacity = need * 2;
    if (new_capacity > MAX_CAPACITY) new_capacity = MAX_CAPACITY;
    return resize_data(b, new_capacity);
}

// Writes w bytes at the cursor (growing as needed) and advances it.
int32_t write_at_cursor(pbuffer* b, const uint8_t* bytes, int64_t w) {
    if (!make_room(b, b ? b->cursor : 0, w)) return 0;
    memcpy(b->data + b->cursor, bytes, size_t(w));
    b->cursor += int32_t(w);
    if (b->cursor > b->length) b->length = b->cursor;
    return int32_t(w);
}

// True when w bytes can be read at the cursor without passing the length.
bool can_read(const pbuffer* b, int64_t w) {
    if (!b || !b->data || b->cursor < 0 || b->length < 0) return false;
    if (uint64_t(b->length) > b->capacity) return false;
    return b->cursor <= b->length && int64_t(b->length) - b->cursor >= w;
}

// Moves the cursor to the end so an appender can write there.
bool start_append(pbuffer* b) {
    if (!b || b->length < 0) return false;
    b->cursor = b->length;
    return true;
}

void terminate(pbuffer* b) { b->data[b->length] = 0; }

// Bytes in the double-quote escaped form of text.
int64_t quoted_escape_size(const char* text) {
    int64_t size = 0;
    for (const uint8_t* s = reinterpret_cast<const uint8_t*>(text); *s; s++) {
        bool plain = *s >= 32 && *s <= 127 && *s != '\\' && *s != '"';
        size += plain ? 1 : 4;
    }
    return size;
}

// Writes the three-digit decimal escape of c at out; returns the bytes written.
int write_decimal_escape(uint8_t c, uint8_t* out) {
    out[0] = '\\';
    out[1] = uint8_t('0' + c / 100);
    out[2] = uint8_t('0' + c / 10 % 10);
    out[3] = uint8_t('0' + c % 10);
    return 4;
}

int32_t append_text(pbuffer* b, const char* text, size_t n) {
    if (!start_append(b)) return 0;
    if (n > size_t(PBUFFER_MAX_LENGTH)) return 0;
    int32_t written = write_at_cursor(b, reinterpret_cast<const uint8_t*>(text), int64_t(n));
    if (written != int64_t(n)) return 0;
    if (b->data) terminate(b);
    return written;
}

}  // namespace

pbuffer* create_buffer_2(int64_t n, int32_t tag) {
    if (n < 0) n = 0;
    if (n > PBUFFER_MAX_LENGTH) n = PBUFFER_MAX_LENGTH;
    uint64_t capacity = uint64_t(n) + 1;
    pbuffer* b = static_cast<pbuffer*>(malloc(sizeof(pbuffer)));
    if (!b) return nullptr;
    b->data = static_cast<uint8_t*>(calloc(capacity, 1));
    if (!b->data) {
        free(b);
        return nullptr;
    }
    b->capacity = capacity;
    b->tag = tag;
    b->length = 0;
    b->cursor = 0;
    accounting.num_buffers.fetch_add(1);
    accounting.total_bytes.fetch_add(capacity);
    if (tag_in_range(tag)) accounting.num_with_tag[tag].fetch_add(1);
    return b;
}

pbuffer* create_buffer_from_str(const char* text) {
    if (!text) text = "";
    size_t n = strlen(text);
    if (n > size_t(PBUFFER_MAX_LENGTH)) return nullptr;
    pbuffer* b = create_buffer_2(int64_t(n) + 1, BUFFER_TAG_FROM_STR);
    if (!b) return nullptr;
    write_at_cursor(b, reinterpret_cast<const uint8_t*>(text), int64_t(n));
    return b;
}

pbuffer* create_buffer_from_buffer(const pbuffer* src) {
    return create_buffer_from_buffer_2(src, BUFFER_TAG_FROM_BUFFER);
}

pbuffer* create_buffer_from_buffer_2(const pbuffer* src, int32_t tag) {
    if (!src) return nullptr;
    int32_t length = src->length;
    if (length < 0 || uint64_t(length) > src->capacity || (length > 0 && !src->data)) length = 0;
    int64_t n = int32_t(uint32_t(src->capacity & 0xFFFFFFFFu));
    if (n < length) n = length;
    pbuffer* b = create_buffer_2(n, tag);
    if (!b) return nullptr;
    if (length > 0) memcpy(b->data, src->data, size_t(length));
    b->length = length;
    return b;
}

pbuffer* create_buffer_from_file(const char* host_path) {
    static uint8_t chunk[FILE_CHUNK_SIZE];
    if (!host_path) return nullptr;
    FILE* f = fopen(host_path, "rb");
    if (!f) return nullptr;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode) || st.st_size > PBUFFER_MAX_LENGTH) {
        fclose(f);
        return nullptr;
    }
    pbuffer* b = create_buffer_2(4096, BUFFER_TAG_FROM_FILE);
    if (!b) {
        fclose(f);
        return nullptr;
    }
    bool ok = true;
    for (;;) {
        size_t got = fread(chunk, 1, sizeof chunk, f);
        if (got > 0 && write_at_cursor(b, chunk, int64_t(got)) != int64_t(got)) {
            ok = false;  // the file grew past what a buffer can hold
            break;
        }
        if (got < sizeof chunk) {
            if (ferror(f)) ok = false;
            break;
        }
    }
    fclose(f);
    if (!ok) {
        destroy_buffer(b);
        return nullptr;
    }
    return b;
}

void destroy_buffer(pbuffer* b) {
    if (!b) return;
    accounting.num_buffers.fetch_sub(1);
    accounting.total_bytes.fetch_sub(b->capacity);
    if (tag_in_range(b->tag)) accounting.num_with_tag[b->tag].fetch_sub(1);
    free(b->data);
    free(b);
}

void ballocate(pbuffer* b, int64_t n) {
    if (!b || n < 0 || n > PBUFFER_MAX_LENGTH) return;
    uint64_t need = uint64_t(n) + 1;
    if (b->capacity >= need) return;
    uint64_t new_capacity = need * 2;
    if (new_capacity > MAX_CAPACITY) new_capacity = MAX_CAPACITY;
    resize_data(b, new_capacity);
}

void bclear(pbuffer* b) {
    if (!b) return;
    b->length = 0;
    b->cursor = 0;
}

char* to_cstr(pbuffer* b) {
    if (!b || !b->data) return nullptr;
    if (b->length < 0 || uint64_t(b->length) >= b->capacity) {
        // A length set past the spare byte: make room rather than write outside the block.
        if (b->length < 0 || !make_room(b, b->length, 0)) return nullptr;
    }
    terminate(b);
    return reinterpret_cast<char*>(b->data);
}

int32_t bwrite(const void* ptr, int64_t size, int64_t count, pbuffer* b) {
    if (!ptr || !b || size < 1 || count < 1) return 0;
    if (size > PBUFFER_MAX_LENGTH / count) return 0;
    return write_at_cursor(b, static_cast<const uint8_t*>(ptr), size * count);
}

int32_t bwrite_uint8(uint8_t v, pbuffer* b) {
    return write_at_cursor(b, &v, 1);
}

int32_t bwrite_uint16(uint16_t v, pbuffer* b) {
    uint8_t bytes[2] = {uint8_t(v), uint8_t(v >> 8)};
    return write_at_cursor(b, bytes, 2);
}

int32_t bwrite_uint32(uint32_t v, pbuffer* b) {
    uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return write_at_cursor(b, bytes, 4);
}

int32_t bwrite_uint32_big_endian(uint32_t v, pbuffer* b) {
    uint8_t bytes[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    return write_at_cursor(b, bytes, 4);
}

int32_t bwrite_uint8_as_hex(uint8_t v, pbuffer* b) {
    uint8_t chars[2] = {uint8_t(HEX_DIGITS[v >> 4]), uint8_t(HEX_DIGITS[v & 15])};
    return write_at_cursor(b, chars, 2);
}

// Escaped form for bracketed text: the whole escaped text goes at the cursor.
int32_t bwrite_escaped_string(const char* text, pbuffer* b, int32_t n) {
    if (!b || !text || n <= 0) return 0;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    int64_t size = 0;
    for (int32_t i = 0; i < n; i++) {
        uint8_t c = s[i];
        if (c == '\n' || c == '\\' || c == '"') size += 2;
        else if (c >= 32 && c <= 126 && c != ']') size += 1;
        else size += 4;
    }
    if (!make_room(b, b->cursor, size)) return 0;
    uint8_t* out = b->data + b->cursor;
    for (int32_t i = 0; i < n; i++) {
        uint8_t c = s[i];
        if (c == '\n') {
            *out++ = '\\';
            *out++ = 'n';
        } else if (c == '\\' || c == '"') {
            *out++ = '\\';
            *out++ = c;
        } else if (c >= 32 && c <= 126 && c != ']') {
            *out++ = c;
        } else {
            out += write_decimal_escape(c, out);
        }
    }
    b->cursor += int32_t(size);
    if (b->cursor > b->length) b->length = b->cursor;
    return int32_t(size);
}

int32_t bappend_str(pbuffer* b, const char* text) {
    if (!b || !text) return 0;
    return append_text(b, text, strlen(text));
}

int32_t bappend_str_escaped(pbuffer* b, const char* text) {
    if (!b || !text || !start_append(b)) return 0;
    int64_t size = quoted_escape_size(text);
    if (!make_room(b, b->cursor, size)) return 0;
    uint8_t* out = b->data + b->cursor;
    for (const uint8_t* s = reinterpret_cast<const uint8_t*>(text); *s; s++) {
        if (*s >= 32 && *s <= 127 && *s != '\\' && *s != '"') *out++ = *s;
        else out += write_decimal_escape(*s, out);
    }
    b->cursor += int32_t(size);
    b->length = b->cursor;
    terminate(b);
    return int32_t(size);
}

int32_t bwrite_int64_as_hex(int64_t v, pbuffer* b) {
    char text[17];
    uint64_t u = uint64_t(v);
    snprintf(text, sizeof text, "%08x%08x", unsigned(u >> 32), unsigned(u & 0xFFFFFFFFu));
    return append_text(b, text, 16);
}

int32_t bwrite_int32_as_hex(int32_t v, pbuffer* b) {
    char text[9];
    snprintf(text, sizeof text, "%08x", unsigned(uint32_t(v)));
    return append_text(b, text, 8);
}

int32_t bwrite_int16_as_hex(int16_t v, pbuffer* b) {
    char text[5];
    snprintf(text, sizeof text, "%04x", unsigned(uint16_t(v)));
    return append_text(b, text, 4);
}

uint8_t bread_uint8(pbuffer* b) {
    if (!can_read(b, 1)) return 0;
    return b->data[b->cursor++];
}

uint16_t bread_uint16(pbuffer* b) {
    if (!can_read(b, 2)) return 0;
    const uint8_t* p = b->data + b->cursor;
    b->cursor += 2;
    return uint16_t(p[0] | (p[1] << 8));
}

uint32_t bread_uint32(pbuffer* b) {
    if (!can_read(b, 4)) return 0;
    const uint8_t* p = b->data + b->cursor;
    b->cursor += 4;
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint32_t bread_uint32_big_endian(pbuffer* b) {
    if (!can_read(b, 4)) return 0;
    const uint8_t* p = b->data + b->cursor;
    b->cursor += 4;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint8_t bread_uint8_hex(pbuffer* b) {
    if (!can_read(b, 2)) return 0;
    const uint8_t* p = b->data + b->cursor;
    b->cursor += 2;
    return uint8_t((hex_value(char(p[0])) << 4) | hex_value(char(p[1])));
}

int32_t bread(void* ptr, int64_t size, int64_t count, pbuffer* b) {
    if (!ptr || size < 1 || count < 1 || !can_read(b, 1)) return 0;
    int64_t want = size > INT64_MAX / count ? INT64_MAX : size * count;
    int64_t available = int64_t(b->length) - b->cursor;
    int64_t n = want < available ? want : available;
    memcpy(ptr, b->data + b->cursor, size_t(n));
    b->cursor += int32_t(n);
    return int32_t(n);
}

pbuffer* breadln(pbuffer* src, pbuffer* dst) {
    if (!dst) dst = create_buffer_2(16, BUFFER_TAG_READLN);
    else bclear(dst);
    if (!dst) return nullptr;
    if (can_read(src, 1)) {
        const uint8_t* start = src->data + src->cursor;
        int64_t left = int64_t(src->length) - src->cursor;
        int64_t line = 0;
        int64_t skip = 0;
        for (; line < left; line++) {
            if (start[line] == '\n') {
                skip = 1;
                break;
            }
            if (start[line] == '\r' && line + 1 < left && start[line + 1] == '\n') {
                skip = 2;
                break;
            }
        }
        if (line > 0 && write_at_cursor(dst, start, line) != line) {
            bclear(dst);  // no room for the line: hand back an empty one, leave src alone
        } else {
            src->cursor += int32_t(line + skip);
        }
    }
    if (!make_room(dst, dst->length, 0)) return dst;
    terminate(dst);
    return dst;
}

namespace {

// Reads digits hexadecimal digits at *p, most significant first. A 0 character
// stops the read with result 0, the pointer left after the digits already read.
uint64_t read_hex_digits(const char** p, int digits) {
    if (!p || !*p) return 0;
    uint64_t value = 0;
    for (int i = 0; i < digits; i++) {
        char c = **p;
        if (c == 0) return 0;
        value = (value << 4) | uint64_t(hex_value(c));
        (*p)++;
    }
    return value;
}

}  // namespace

uint8_t read_u8_from_hex_str(const char** p) {
    return uint8_t(read_hex_digits(p, 2));
}

int16_t read_i16_from_hex_str(const char** p) {
    return int16_t(uint16_t(read_hex_digits(p, 4)));
}

int32_t read_i32_from_hex_str(const char** p) {
    return int32_t(uint32_t(read_hex_digits(p, 8)));
}

int64_t read_i64_from_hex_str(const char** p) {
    return int64_t(read_hex_digits(p, 16));
}

// Removes the first start bytes. When count is smaller than what follows start,
// only count bytes are kept; the cursor moves back by start and stays within them.
void bcrop(pbuffer* b, int32_t start, int32_t count) {
    if (!b || start < 0) return;
    if (!b->data || b->length < 0 || uint64_t(b->length) > b->capacity) {
        bclear(b);
        return;
    }
    if (count < 1 || start >= b->length) {
        memset(b->data, 0, b->capacity);
        bclear(b);
        return;
    }
    int32_t available = b->length - start;
    if (count > available) count = available;
    memmove(b->data, b->data + start, size_t(count));
    memset(b->data + count, 0, b->capacity - uint64_t(count));
    int64_t cursor = int64_t(b->cursor) - start;
    if (cursor < 0) cursor = 0;
    if (cursor > count) cursor = count;
    b->length = count;
    b->cursor = int32_t(cursor);
}

const char* escape_lua_string(const char* text) {
    if (!accounting.escape_buffer) accounting.escape_buffer = create_buffer_2(1024, BUFFER_TAG_ESCAPE);
    pbuffer* b = accounting.escape_buffer;
    if (!b) return "";
    bclear(b);
    if (text) bappend_str_escaped(b, text);
    const char* out = to_cstr(b);
    return out ? out : "";
}

uint64_t get_total_buffer_allocation() {
    return accounting.total_bytes.load();
}

uint32_t get_total_num_buffers() {
    return accounting.num_buffers.load();
}

uint32_t get_num_buffers_with_tag(int32_t tag) {
    return tag_in_range(tag) ? accounting.num_with_tag[tag].load() : 0;
}
