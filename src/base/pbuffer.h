// pbuffer: the growable byte buffer that files, messages, images and downloads travel in.
// Every buffer has a cursor, keeps one spare zero byte past its contents, and is counted by tag.
#pragma once
#include <cstdint>
#include <cstddef>

struct pbuffer {
    uint64_t capacity;  // bytes allocated for data
    uint8_t* data;
    int32_t tag;        // allocation tag 0..127
    int32_t length;     // stored bytes
    int32_t cursor;     // read/write position
};

// Allocation tags used by the kernel.
enum buffer_tag : int32_t {
    BUFFER_TAG_ESCAPE = 69,
    BUFFER_TAG_READLN = 82,
    BUFFER_TAG_FROM_STR = 88,
    BUFFER_TAG_FROM_BUFFER = 89,
    BUFFER_TAG_IMAGE_RECORD = 105,
    BUFFER_TAG_MESSAGE_TEXT = 112,
    BUFFER_TAG_MESSAGE = 114,
    BUFFER_TAG_FROM_FILE = 117,
};

// Largest number of bytes a buffer may hold (lengths and cursors are signed 32-bit).
constexpr int64_t PBUFFER_MAX_LENGTH = 0x7FFFFFFE;

pbuffer* create_buffer_2(int64_t n, int32_t tag);
pbuffer* create_buffer_from_str(const char* text);
pbuffer* create_buffer_from_buffer(const pbuffer* src);
pbuffer* create_buffer_from_buffer_2(const pbuffer* src, int32_t tag);
pbuffer* create_buffer_from_file(const char* host_path);
void destroy_buffer(pbuffer* b);
void ballocate(pbuffer* b, int64_t n);
void bclear(pbuffer* b);
char* to_cstr(pbuffer* b);

int32_t bwrite(const void* ptr, int64_t size, int64_t count, pbuffer* b);
int32_t bwrite_uint8(uint8_t v, pbuffer* b);
int32_t bwrite_uint16(uint16_t v, pbuffer* b);
int32_t bwrite_uint32(uint32_t v, pbuffer* b);
int32_t bwrite_uint32_big_endian(uint32_t v, pbuffer* b);
int32_t bwrite_uint8_as_hex(uint8_t v, pbuffer* b);
int32_t bwrite_escaped_string(const char* text, pbuffer* b, int32_t n);

int32_t bappend_str(pbuffer* b, const char* text);
int32_t bappend_str_escaped(pbuffer* b, const char* text);
int32_t bwrite_int64_as_hex(int64_t v, pbuffer* b);
int32_t bwrite_int32_as_hex(int32_t v, pbuffer* b);
int32_t bwrite_int16_as_hex(int16_t v, pbuffer* b);

uint8_t bread_uint8(pbuffer* b);
uint16_t bread_uint16(pbuffer* b);
uint32_t bread_uint32(pbuffer* b);
uint32_t bread_uint32_big_endian(pbuffer* b);
uint8_t bread_uint8_hex(pbuffer* b);
int32_t bread(void* ptr, int64_t size, int64_t count, pbuffer* b);
pbuffer* breadln(pbuffer* src, pbuffer* dst);

uint8_t read_u8_from_hex_str(const char** p);
int16_t read_i16_from_hex_str(const char** p);
int32_t read_i32_from_hex_str(const char** p);
int64_t read_i64_from_hex_str(const char** p);

void bcrop(pbuffer* b, int32_t start, int32_t count);
const char* escape_lua_string(const char* text);

uint64_t get_total_buffer_allocation();
uint32_t get_total_num_buffers();
uint32_t get_num_buffers_with_tag(int32_t tag);
