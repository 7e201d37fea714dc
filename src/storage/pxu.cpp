// pxu blocks: writer and reader.
#include "storage/pxu.h"

#include <cstring>
#include <vector>

#include "base/pbuffer.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

constexpr int PALETTE_SIZE = 64;
constexpr int MIN_BITS = 1;
constexpr int MAX_BITS = 6;

bool known_mode(int mode) { return mode == PXU_MODE_RAW || mode == PXU_MODE_PALETTE || mode == PXU_MODE_RLE; }

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 24));
}

// The remainder of a run length beyond its first field: 255 for every full step, then the
// rest (below 255), so a remainder of exactly 255 is 255, 0.
void put_extension(std::vector<uint8_t>& out, int64_t rest) {
    while (rest >= 255) {
        out.push_back(255);
        rest -= 255;
    }
    out.push_back(uint8_t(rest));
}

// The move-to-front palette shared by writer and reader: slot values and slot order.
struct palette_state {
    uint8_t value[PALETTE_SIZE];
    uint8_t order[PALETTE_SIZE];

    palette_state() {
        for (int i = 0; i < PALETTE_SIZE; i++) value[i] = order[i] = uint8_t(i);
    }
    void move_to_front(int slot) {
        int pos = 0;
        while (pos < PALETTE_SIZE - 1 && order[pos] != slot) pos++;
        memmove(order + 1, order, size_t(pos));
        order[0] = uint8_t(slot);
    }
};

void write_palette_runs(std::vector<uint8_t>& out, const uint8_t* data, int64_t count, int bits) {
    const int escape = (1 << bits) - 1;
    const int64_t max_field = (1 << (8 - bits)) - 1;
    palette_state pal;
    out.push_back(uint8_t(bits));
    for (int64_t i = 0; i < count;) {
        uint8_t v = data[i];
        int64_t n = 1;
        while (i + n < count && data[i + n] == v) n++;
        i += n;
        int64_t field = n - 1 < max_field ? n - 1 : max_field;
        int slot = -1;
        for (int s = 0; s < escape; s++) {
            if (pal.value[s] == v) slot = s;
        }
        if (slot >= 0) {
            out.push_back(uint8_t((field << bits) | slot));
            pal.move_to_front(slot);
        } else {
            out.push_back(uint8_t((field << bits) | escape));
            out.push_back(v);
            pal.value[pal.order[escape - 1]] = v;
        }
        if (field == max_field) put_extension(out, n - 1 - field);
    }
}

template <typename T>
void write_plain_runs(std::vector<uint8_t>& out, const uint8_t* data, int64_t count) {
    for (int64_t i = 0; i < count;) {
        T v;
        memcpy(&v, data + i * sizeof(T), sizeof(T));
        int64_t n = 1;
        for (; i + n < count; n++) {
            T w;
            memcpy(&w, data + (i + n) * sizeof(T), sizeof(T));
            if (w != v) break;
        }
        i += n;
        out.push_back(uint8_t(n - 1 < 255 ? n - 1 : 255));
        for (size_t b = 0; b < sizeof(T); b++) out.push_back(uint8_t(uint64_t(v) >> (8 * b)));
        if (n - 1 >= 255) put_extension(out, n - 1 - 255);
    }
}

// Reading: a cursor that never passes the end of the block's text.
struct reader {
    const uint8_t* p;
    const uint8_t* end;
    bool ok = true;

    int64_t left() const { return end - p; }
    uint8_t u8() {
        if (p >= end) {
            ok = false;
            return 0;
        }
        return *p++;
    }
    uint32_t u32() {
        if (left() < 4) {
            ok = false;
            p = end;
            return 0;
        }
        uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        p += 4;
        return v;
    }
    // A run length whose first field holds first: extension bytes follow when it is full.
    int64_t run_length(int64_t first, int64_t max_field) {
        int64_t n = first;
        if (first == max_field) {
            for (;;) {
                uint8_t b = u8();
                if (!ok) return 0;
                n += b;
                if (b < 255) break;
            }
        }
        return n + 1;
    }
};

bool read_palette_runs(reader& r, uint8_t* data, int64_t count) {
    int bits = r.u8();
    if (!r.ok || bits < MIN_BITS || bits > MAX_BITS) return false;
    const int escape = (1 << bits) - 1;
    const int64_t max_field = (1 << (8 - bits)) - 1;
    palette_state pal;
    for (int64_t i = 0; i < count;) {
        uint8_t code = r.u8();
        if (!r.ok) return false;
        int slot = code & escape;
        uint8_t v;
        if (slot == escape) {
            v = r.u8();
            pal.value[pal.order[escape - 1]] = v;
        } else {
            v = pal.value[slot];
            pal.move_to_front(slot);
        }
        int64_t n = r.run_length(code >> bits, max_field);
        if (!r.ok) return false;
        if (n > count - i) n = count - i;
        memset(data + i, v, size_t(n));
        i += n;
    }
    return true;
}

template <typename T>
bool read_plain_runs(reader& r, uint8_t* data, int64_t count) {
    for (int64_t i = 0; i < count;) {
        int64_t first = r.u8();
        T v = 0;
        for (size_t b = 0; b < sizeof(T); b++) v = T(v | T(r.u8()) << (8 * b));
        int64_t n = r.run_length(first, 255);
        if (!r.ok) return false;
        if (n > count - i) n = count - i;
        for (int64_t k = 0; k < n; k++) memcpy(data + (i + k) * sizeof(T), &v, sizeof(T));
        i += n;
    }
    return true;
}

}  // namespace

int64_t write_binary_pxu(const userdata_header* array, pbuffer* buffer, int bits, int mode) {
    if (!array || !buffer || !known_mode(mode)) return 0;
    if (bits < MIN_BITS) bits = MIN_BITS;
    if (bits > MAX_BITS) bits = MAX_BITS;
    const int code = array->type & 31;
    const int dims = array->dimensions >= 2 ? 2 : 1;
    const uint32_t width = array->width;
    const uint32_t height = dims == 2 ? array->height : 1;
    const bool wide = (width | height) >= 256;
    const uint8_t* data = userdata_data(array);
    const int64_t count = int64_t(width) * height;

    std::vector<uint8_t> out;
    out.reserve(16);
    out.insert(out.end(), {'p', 'x', 'u', 0});
    out.push_back(uint8_t(code | (dims - 1) << 6));
    out.push_back(uint8_t(mode | (wide ? PXU_WIDE_SIZES : 0)));
    for (int d = 0; d < dims; d++) {
        uint32_t size = d == 0 ? width : height;
        if (wide) put_u32(out, size);
        else out.push_back(uint8_t(size));
    }
    if (mode == PXU_MODE_RAW) {
        out.insert(out.end(), data, data + count);
    } else if (mode == PXU_MODE_PALETTE) {
        write_palette_runs(out, data, count, bits);
    } else {
        out.push_back(0);
        if (code == UTYPE_I16) write_plain_runs<uint16_t>(out, data, count);
        else if (code == UTYPE_U8) write_plain_runs<uint8_t>(out, data, count);
    }
    if (int64_t(out.size()) > PBUFFER_MAX_LENGTH - buffer->length) return 0;
    buffer->cursor = buffer->length;
    if (bwrite(out.data(), 1, int64_t(out.size()), buffer) != int32_t(out.size())) return 0;
    return int64_t(out.size());
}

const char* get_binary_pxu(lua_State* L, const char* position, const char* end) {
    if (!position || !end || end - position < 6 || memcmp(position, "pxu", 4) != 0) return nullptr;
    reader r{reinterpret_cast<const uint8_t*>(position) + 4, reinterpret_cast<const uint8_t*>(end)};
    int code, dims, mode;
    int64_t width, height;
    const uint8_t* b = r.p;
    if ((b[1] & 0xF0) == 0) {
        // The old header: u32 width, u32 height, four unread bytes, the type code, then
        // palette run-length data.
        width = r.u32();
        height = r.u32();
        r.u32();
        code = r.u8();
        dims = 2;
        mode = PXU_MODE_PALETTE;
    } else {
        code = b[0] & 63;
        dims = (b[0] >> 6) + 1;
        mode = b[1] & 0xF0;
        bool wide = b[1] & PXU_WIDE_SIZES;
        r.p += 2;
        width = wide ? r.u32() : r.u8();
        height = 1;
        if (dims == 2) height = wide ? r.u32() : r.u8();
    }
    if (!r.ok || dims > 2 || !known_mode(mode)) return nullptr;

    const char* name = get_utype_string(code);
    userdata_header* h = create_userdata(L, name, strlen(name), dims, width, height, nullptr, 0);
    if (!h) return nullptr;
    uint8_t* data = userdata_data(h);
    const int64_t count = userdata_count(h);
    const int actual = h->type & 31;
    bool ok;
    if (mode == PXU_MODE_RAW) {
        ok = r.left() >= count;
        if (ok) {
            memcpy(data, r.p, size_t(count));
            r.p += count;
        }
    } else if (mode == PXU_MODE_PALETTE) {
        ok = read_palette_runs(r, data, count);
    } else {
        r.u8();
        ok = r.ok;
        if (ok && actual == UTYPE_I16) ok = read_plain_runs<uint16_t>(r, data, count);
        else if (ok && actual == UTYPE_U8) ok = read_plain_runs<uint8_t>(r, data, count);
    }
    if (!ok) {
        lua_pop(L, 1);
        return nullptr;
    }
    return reinterpret_cast<const char*>(r.p);
}
