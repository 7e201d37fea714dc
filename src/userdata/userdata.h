// Typed arrays: the array record shared by images, maps, vectors and buffers,
// its constructors and text forms, and the one method table every array uses.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

struct lua_State;
struct pbuffer;

// The record: a 16-byte header followed at once by the data, all in one script-state
// block that never moves or changes size while the array lives.
struct userdata_header {
    uint8_t type;        // element type code (userdata_type); readers mask it with 31
    uint8_t dimensions;  // 1 or 2
    uint8_t pad[2];      // never written or read
    uint32_t width;      // columns (the element count of a 1-D array)
    uint32_t height;     // rows; 1 for a 1-D array
    uint32_t reserved;   // never written or read
};
static_assert(sizeof(userdata_header) == 16, "the array header is 16 bytes");

// Element type codes: code & 7 is log2 of the bit width, 8 marks signed, 16 float.
enum userdata_type : uint8_t {
    UTYPE_U8 = 3,
    UTYPE_I16 = 12,
    UTYPE_I32 = 13,
    UTYPE_I64 = 14,
    UTYPE_F64 = 22,
};

// Largest data block of one array in bytes.
constexpr int64_t USERDATA_MAX_BYTES = 0x1000000;

inline int userdata_element_size(int code) { return (1 << (code & 7)) >> 3; }
inline int userdata_element_bits(int code) { return 1 << (code & 7); }
inline uint8_t* userdata_data(userdata_header* h) { return reinterpret_cast<uint8_t*>(h + 1); }
inline const uint8_t* userdata_data(const userdata_header* h) {
    return reinterpret_cast<const uint8_t*>(h + 1);
}
// Element count and data bytes in use (width x height x element size).
inline int64_t userdata_count(const userdata_header* h) { return int64_t(h->width) * h->height; }
inline int64_t userdata_bytes(const userdata_header* h) {
    return userdata_count(h) * userdata_element_size(h->type & 31);
}

// Calls f with a value of the element type of a valid code (uint8_t, int16_t, int32_t,
// int64_t or double), so one generic body serves every type.
template <class F>
inline decltype(auto) with_element_type(int code, F&& f) {
    switch (code & 31) {
    case UTYPE_U8: return f(uint8_t{});
    case UTYPE_I16: return f(int16_t{});
    case UTYPE_I32: return f(int32_t{});
    case UTYPE_I64: return f(int64_t{});
    default: return f(double{});
    }
}
template <class T>
inline T* userdata_elements(userdata_header* h) { return reinterpret_cast<T*>(userdata_data(h)); }

// A double truncated toward zero into the integer type I: NaN gives 0, values beyond I's
// range give its nearest end.
template <class I>
inline I userdata_trunc(double d) {
    if (d != d) return 0;
    if (d <= double(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
    if (d >= double(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
    return I(d);
}

// Index arithmetic on user offsets, strides and counts, done in 128 bits so that no
// product of two 64-bit values can wrap.
using userdata_wide = __int128;
inline userdata_wide userdata_floor_div(userdata_wide a, userdata_wide d) {
    userdata_wide q = a / d;
    return (a % d != 0 && (a < 0) != (d < 0)) ? q - 1 : q;
}
// Narrows [lo, hi) to the steps t for which base + t * step lies in [0, n).
inline void userdata_keep_inside(userdata_wide& lo, userdata_wide& hi, userdata_wide base,
                                 userdata_wide step, userdata_wide n) {
    if (step == 0) {
        if (base < 0 || base >= n) hi = lo;
        return;
    }
    userdata_wide first, end;
    if (step > 0) {
        first = -userdata_floor_div(base, step);
        end = -userdata_floor_div(base - n, step);
    } else {
        first = userdata_floor_div(base - n, -step) + 1;
        end = userdata_floor_div(base, -step) + 1;
    }
    lo = std::max(lo, first);
    hi = std::min(hi, end);
}
// The most elements (plus outer steps) one call may visit: runs that overlap or repeat can
// ask for far more work than the arrays hold, and the rest of such a request is dropped.
constexpr int64_t USERDATA_WORK_LIMIT = 4 * USERDATA_MAX_BYTES;
// A cycle charge computed in 128 bits, capped to what spend_cpu takes.
inline int64_t userdata_charge(userdata_wide n) {
    return n > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : int64_t(n);
}

// Name of a type code ("u8", "i16", "i32", "i64", "f64"; "?" for anything else).
const char* get_utype_string(int code);
// Type code of a type name: missing or empty gives u8; 'f' -> f64, 'i' -> i64, other -> u8,
// then a second character '3' gives i32 and '1' gives i16. Reads at most len characters.
int str_to_utype(const char* text, size_t len);
// Names of the mox writer, indexed by code & 15 (empty where no type has that index).
extern const char* const type_str[16];

// The typed array at a stack index, or null when the value there is not one: any other
// value, or a full userdata whose block is too short for its header and data, whose
// dimensions are not 1 or 2, or whose type code is none of the five.
userdata_header* to_userdata(lua_State* L, int index);

// Makes a new array and pushes it with the USERDATA metatable; null with nothing pushed
// when refused (dims not 1 or 2, width or height below 1, data outside 1..16 MiB).
// type_or_text (type_len bytes, may be null) is a type name or a whole "[gfx]"/"[map]"
// text, which then gives type, size and data itself. data_text (data_len bytes, may be
// null) fills the data: "hex:" prefix optional, hex digits per element for the integer
// types, a comma-separated decimal list for f64. Neither text needs a terminating NUL:
// each ends at its length or at a NUL byte within it, whichever comes first.
userdata_header* create_userdata(lua_State* L, const char* type_or_text, size_t type_len,
                                 int dims, int64_t width, int64_t height,
                                 const char* data_text, size_t data_len);
// The same from a type code (masked with 31; must be one of the five), with zeroed data.
userdata_header* create_userdata_of_type(lua_State* L, int code, int dims, int64_t width,
                                         int64_t height);
// Pushes a byte copy of header and data; null with nothing pushed when it cannot be made.
userdata_header* push_duplicate_userdata(lua_State* L, const userdata_header* record);

// Text writers for the mox form. The data text alone (what stands between the quotes):
// hex digits per element for the integer types, "%0.14g" values separated by "," for f64
// (trailing zeros of a decimal fraction removed). Written at out's cursor; false when the
// buffer could not take it all.
bool write_userdata_data_text(const userdata_header* record, pbuffer* out);
// The whole constructor call: userdata("<type>",<width>,"<data>") for one dimension,
// userdata("<type>",<width>,<height>,"<data>") for two.
bool write_userdata_text(const userdata_header* record, pbuffer* out);

// Script functions: userdata, vec, get, set.
int lua54_userdata(lua_State* L);
int lua54_vec(lua_State* L);
int lua54_get(lua_State* L);
int lua54_set(lua_State* L);
int lua54_get_0(lua_State* L);
int lua54_set_0(lua_State* L);

// The USERDATA table's functions, in table order.
int lua54_ud_sort(lua_State* L);
int lua54_ud_convert(lua_State* L);
int lua54_ud_copy(lua_State* L);
int lua54_ud_take(lua_State* L);
int lua54_ud_clear(lua_State* L);
int lua54_ud_add(lua_State* L);
int lua54_ud_sub(lua_State* L);
int lua54_ud_mul(lua_State* L);
int lua54_ud_div(lua_State* L);
int lua54_ud_idiv(lua_State* L);
int lua54_ud_mod(lua_State* L);
int lua54_ud_pow(lua_State* L);
int lua54_ud_band(lua_State* L);
int lua54_ud_bor(lua_State* L);
int lua54_ud_bxor(lua_State* L);
int lua54_ud_shl(lua_State* L);
int lua54_ud_shr(lua_State* L);
int lua54_ud_max(lua_State* L);
int lua54_ud_min(lua_State* L);
int lua54_ud_abs(lua_State* L);
int lua54_ud_sgn(lua_State* L);
int lua54_ud_sgn0(lua_State* L);
int lua54_ud_len(lua_State* L);
int lua54_ud_tostring(lua_State* L);
int lua54_ud_index(lua_State* L);
int lua54_ud_newindex(lua_State* L);
int lua54_ud_set(lua_State* L);
int lua54_ud_get(lua_State* L);
int lua54_ud_blit(lua_State* L);
int lua54_ud_peek(lua_State* L);
int lua54_ud_poke(lua_State* L);
int lua54_ud_width(lua_State* L);
int lua54_ud_height(lua_State* L);
int lua54_ud_attribs(lua_State* L);
int lua54_ud_mutate(lua_State* L);
int lua54_ud_lerp(lua_State* L);
int lua54_ud_magnitude(lua_State* L);
int lua54_ud_distance(lua_State* L);
int lua54_ud_dot(lua_State* L);
int lua54_ud_cross(lua_State* L);
int lua54_ud_matmul(lua_State* L);
int lua54_ud_matmul3d(lua_State* L);
int lua54_ud_matmul2d(lua_State* L);
int lua54_ud_transpose(lua_State* L);
int lua54_ud_row(lua_State* L);
int lua54_ud_column(lua_State* L);
int lua54_ud_crc(lua_State* L);
