#include "storage/delta.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <lz4.h>

#include "platform/host.h"

namespace {

// ---------------------------------------------------------------------------------------
// CRC-32, eight bytes per step

struct crc_tables {
    uint32_t t[8][256];
};

constexpr crc_tables make_crc_tables() {
    crc_tables c{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t v = i;
        for (int k = 0; k < 8; k++) v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
        c.t[0][i] = v;
    }
    for (int s = 1; s < 8; s++)
        for (int i = 0; i < 256; i++)
            c.t[s][i] = (c.t[s - 1][i] >> 8) ^ c.t[0][c.t[s - 1][i] & 0xFF];
    return c;
}

constexpr crc_tables crc_table = make_crc_tables();

inline uint32_t load_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// ---------------------------------------------------------------------------------------
// Delta layout

constexpr uint8_t container_magic[4] = {'d', 's', 't', 0};
constexpr int64_t container_header_size = 8;
constexpr int64_t raw_header_size = 12;
constexpr uint32_t short_length_limit = 255;  // lengths from here on take a marker byte and a u32
constexpr int64_t min_match = 8;
constexpr int64_t lookup_span = 31;           // target bytes needed from j for an index lookup

// Match index: the first sampled source offset for each hash (main thread only).
constexpr int match_index_size = 32768;
constexpr uint32_t match_index_empty = 0xFFFFFFFFu;
uint32_t match_index[match_index_size];

inline uint32_t match_hash(const uint8_t* b, int64_t p) {
    return ((uint32_t(b[p]) + uint32_t(b[p + 3]) * 64u) * 627u) & 0x7FFFu;
}

// Length of the common run of a and b, at most limit bytes.
int64_t common_run(const uint8_t* a, const uint8_t* b, int64_t limit) {
    int64_t n = 0;
    if constexpr (std::endian::native == std::endian::little) {
        while (limit - n >= 8) {
            uint64_t x, y;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            if (x != y) return n + (std::countr_zero(x ^ y) >> 3);
            n += 8;
        }
    }
    while (n < limit && a[n] == b[n]) n++;
    return n;
}

void write_length(uint32_t v, pbuffer* b) {
    if (v < short_length_limit) {
        bwrite_uint8(uint8_t(v), b);
    } else {
        bwrite_uint8(uint8_t(short_length_limit), b);
        bwrite_uint32(v, b);
    }
}

// Bounds-checked reading of a raw delta.
struct delta_reader {
    const uint8_t* data;
    int64_t pos;
    int64_t end;
};

bool read_u32(delta_reader& r, uint32_t& v) {
    if (r.end - r.pos < 4) return false;
    v = load_u32(r.data + r.pos);
    r.pos += 4;
    return true;
}

bool read_length(delta_reader& r, uint32_t& v) {
    if (r.pos >= r.end) return false;
    uint8_t first = r.data[r.pos++];
    if (first < short_length_limit) {
        v = first;
        return true;
    }
    return read_u32(r, v);
}

void log_apply_failure(const char* reason, int marker) {
    std::snprintf(velt_debug_string, sizeof(velt_debug_string),
                  "** apply_delta: %s (dst marker: %d)\n", reason, marker);
    velt_debug(velt_debug_string);
}

// Appends the operations of a raw delta to out. False when an operation cannot be read
// whole, a literal runs past the end of the delta, or the output would pass target_length.
// A copy outside the source is dropped; the caller's target check then refuses the result.
bool apply_operations(delta_reader& r, const uint8_t* source, int64_t source_length,
                      int64_t target_length, pbuffer* out) {
    while (r.pos < r.end) {
        uint32_t literal;
        if (!read_length(r, literal)) return false;
        if (int64_t(literal) > r.end - r.pos) return false;
        if (int64_t(literal) > target_length - out->length) return false;
        bwrite(r.data + r.pos, 1, literal, out);
        r.pos += literal;
        if (r.pos >= r.end) break;

        uint32_t count, offset;
        if (!read_length(r, count) || !read_u32(r, offset)) return false;
        if (int64_t(offset) + int64_t(count) > source_length) continue;
        if (int64_t(count) > target_length - out->length) return false;
        bwrite(source + offset, 1, count, out);
    }
    return true;
}

}  // namespace

uint32_t crc32b(const void* bytes, int64_t length) {
    if (length < 1 || !bytes) return 0;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    const auto& t = crc_table.t;
    uint32_t c = 0xFFFFFFFFu;
    while (length >= 8) {
        uint32_t lo = load_u32(p) ^ c;
        uint32_t hi = load_u32(p + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        length -= 8;
    }
    while (length-- > 0) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    return ~c;
}

pbuffer* generate_diff(const void* source_bytes, int64_t source_length,
                       const void* target_bytes, int64_t target_length) {
    if (source_length < 0 || target_length < 0) return nullptr;
    if (source_length > DELTA_MAX_LENGTH || target_length > DELTA_MAX_LENGTH) return nullptr;
    if ((source_length > 0 && !source_bytes) || (target_length > 0 && !target_bytes)) return nullptr;
    const uint8_t* source = static_cast<const uint8_t*>(source_bytes);
    const uint8_t* target = static_cast<const uint8_t*>(target_bytes);

    std::fill(match_index, match_index + match_index_size, match_index_empty);
    pbuffer* raw = create_buffer_2(target_length + 64, DELTA_BUFFER_TAG);
    bwrite_uint32(uint32_t(target_length), raw);
    bwrite_uint32(crc32b(source, source_length), raw);
    bwrite_uint32(crc32b(target, target_length), raw);

    // Sample the source; the first position seen for a hash keeps its entry.
    if (source_length >= 32) {
        int64_t step = target_length < 32768 ? 4 : target_length / 8192;
        for (int64_t p = 0; p < source_length - 31; p += step) {
            uint32_t h = match_hash(source, p);
            if (match_index[h] == match_index_empty) match_index[h] = uint32_t(p);
        }
    }

    // Greedy walk: a literal up to the first match of at least min_match bytes, then the copy.
    int64_t t = 0;
    while (t < target_length) {
        int64_t j = t;
        int64_t m = 0;
        int64_t offset = 0;
        for (; j < target_length; j++) {
            int64_t m1 = 0;
            if (j < source_length)
                m1 = common_run(source + j, target + j, std::min(source_length, target_length) - j);
            int64_t m2 = 0;
            int64_t c = 0;
            if (target_length - j >= lookup_span) {
                uint32_t entry = match_index[match_hash(target, j)];
                if (entry != match_index_empty) {
                    c = entry;
                    m2 = common_run(source + c, target + j, std::min(source_length - c, target_length - j));
                }
            }
            if (m2 > m1) {
                m = m2;
                offset = c;
            } else {
                m = m1;
                offset = j;
            }
            if (m >= min_match) break;
        }
        write_length(uint32_t(j - t), raw);
        bwrite(target + t, 1, j - t, raw);
        if (j >= target_length) break;
        write_length(uint32_t(m), raw);
        bwrite_uint32(uint32_t(offset), raw);
        t = j + m;
    }

    int64_t raw_length = raw->length;
    if (raw_length > DELTA_MAX_LENGTH) {
        destroy_buffer(raw);
        return nullptr;
    }
    int bound = LZ4_compressBound(int(raw_length));
    pbuffer* out = create_buffer_2(container_header_size + bound, DELTA_BUFFER_TAG);
    bwrite(container_magic, 1, 4, out);
    bwrite_uint32(uint32_t(raw_length), out);
    int packed = LZ4_compress_fast(reinterpret_cast<const char*>(raw->data),
                                   reinterpret_cast<char*>(out->data + container_header_size),
                                   int(raw_length), bound, 1);
    destroy_buffer(raw);
    if (packed <= 0) {
        destroy_buffer(out);
        return nullptr;
    }
    out->length = int32_t(container_header_size + packed);
    out->cursor = 0;
    return out;
}

pbuffer* apply_diff(const void* source_bytes, int64_t source_length,
                    const void* delta_bytes, int64_t delta_length) {
    if (source_length < 0 || delta_length < 0) return nullptr;
    if ((source_length > 0 && !source_bytes) || (delta_length > 0 && !delta_bytes)) return nullptr;
    const uint8_t* source = static_cast<const uint8_t*>(source_bytes);
    const uint8_t* delta = static_cast<const uint8_t*>(delta_bytes);

    int marker = delta_length >= 4 && std::memcmp(delta, container_magic, 4) == 0;
    pbuffer* unpacked = nullptr;
    const uint8_t* raw = delta;
    int64_t raw_length = delta_length;
    if (marker) {
        if (delta_length < container_header_size) {
            log_apply_failure("bad delta length", marker);
            return nullptr;
        }
        raw_length = load_u32(delta + 4);
        if (raw_length < raw_header_size || raw_length > DELTA_MAX_LENGTH) {
            log_apply_failure("bad delta length", marker);
            return nullptr;
        }
        // A block of a raw delta within the limit is never longer than this bound.
        int64_t block_length = delta_length - container_header_size;
        int decoded = -1;
        unpacked = create_buffer_2(raw_length, DELTA_BUFFER_TAG);
        if (block_length <= LZ4_compressBound(int(DELTA_MAX_LENGTH))) {
            decoded = LZ4_decompress_safe(reinterpret_cast<const char*>(delta + container_header_size),
                                          reinterpret_cast<char*>(unpacked->data),
                                          int(block_length), int(raw_length));
        }
        if (decoded != raw_length) {
            destroy_buffer(unpacked);
            log_apply_failure("failed src crc", marker);
            return nullptr;
        }
        raw = unpacked->data;
    } else if (raw_length < raw_header_size || raw_length > DELTA_MAX_LENGTH) {
        log_apply_failure("bad delta length", marker);
        return nullptr;
    }

    delta_reader r = {raw, 0, raw_length};
    uint32_t target_length = 0, source_crc = 0, target_crc = 0;
    read_u32(r, target_length);
    read_u32(r, source_crc);
    read_u32(r, target_crc);
    if (crc32b(source, source_length) != source_crc) {
        destroy_buffer(unpacked);
        log_apply_failure("failed src crc", marker);
        return nullptr;
    }
    if (target_length > DELTA_MAX_LENGTH) {
        destroy_buffer(unpacked);
        log_apply_failure("bad delta length", marker);
        return nullptr;
    }

    pbuffer* out = create_buffer_2(target_length, DELTA_BUFFER_TAG);
    bool complete = apply_operations(r, source, source_length, target_length, out);
    destroy_buffer(unpacked);
    if (!complete || out->length != int64_t(target_length) ||
        crc32b(out->data, out->length) != target_crc) {
        destroy_buffer(out);
        log_apply_failure("failed target crc", marker);
        return nullptr;
    }
    out->cursor = 0;
    return out;
}
