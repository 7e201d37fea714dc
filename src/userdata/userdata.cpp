// Typed arrays: the record, its constructors and text forms, and the USERDATA method table.
#include "userdata/userdata.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/api.h"
#include "kernel/memory.h"
#include "base/pbuffer.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"

// --- Type codes and lookup tables ---------------------------------------------------------------

static const char* const utype_string[23] = {
    "?", "?", "?", "u8", "?", "?", "?", "?", "?", "?", "?", "?",
    "i16", "i32", "i64", "?", "?", "?", "?", "?", "?", "?", "f64",
};

const char* const type_str[16] = {
    "", "", "", "u8", "", "", "f64", "", "", "", "", "", "i16", "i32", "i64", "",
};

// Value of each character of the 64-digit pixel alphabet, then the axis letters t..z.
struct text_tables {
    int32_t b64_val[256];
    int32_t axis_val[7];
    uint8_t hex_val[256];
};

static constexpr text_tables build_tables() {
    text_tables t{};
    for (int c = '0'; c <= '9'; c++) t.b64_val[c] = c - '0';
    for (int c = 'a'; c <= 'z'; c++) t.b64_val[c] = c - 'a' + 10;
    for (int c = 'A'; c <= 'Z'; c++) t.b64_val[c] = c - 'A' + 36;
    t.b64_val[int('_')] = 62;
    t.b64_val[int('-')] = 63;
    const int32_t axis[7] = {6, 3, 4, 5, 0, 1, 2};
    for (int i = 0; i < 7; i++) t.axis_val[i] = axis[i];
    for (int c = '0'; c <= '9'; c++) t.hex_val[c] = uint8_t(c - '0');
    for (int c = 'a'; c <= 'f'; c++) t.hex_val[c] = uint8_t(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; c++) t.hex_val[c] = uint8_t(c - 'A' + 10);
    return t;
}
static constexpr text_tables tables = build_tables();
static constexpr const int32_t* b64_val = tables.b64_val;
static constexpr const int32_t* axis_val = tables.axis_val;
static constexpr const uint8_t* hex_val = tables.hex_val;

static bool valid_code(int code) {
    return code == UTYPE_U8 || code == UTYPE_I16 || code == UTYPE_I32 || code == UTYPE_I64 ||
           code == UTYPE_F64;
}

const char* get_utype_string(int code) {
    if (code < 0 || code > 22) code = 0;
    return utype_string[code];
}

int str_to_utype(const char* text, size_t len) {
    if (!text) return UTYPE_U8;
    len = strnlen(text, len);
    if (len == 0) return UTYPE_U8;
    int code = text[0] == 'f' ? UTYPE_F64 : text[0] == 'i' ? UTYPE_I64 : UTYPE_U8;
    if (len > 1) {
        if (text[1] == '3') code = UTYPE_I32;
        else if (text[1] == '1') code = UTYPE_I16;
    }
    return code;
}

// Type text of a script argument (a string or a number), or null.
static const char* arg_text(lua_State* L, int index, size_t* len) {
    *len = 0;
    if (!lua_isstring(L, index)) return nullptr;
    return lua_tolstring(L, index, len);
}

// A number or numeric string truncated toward zero (saturating), else 0.
static int64_t trunc_arg(lua_State* L, int index) {
    if (lua_type(L, index) == LUA_TNUMBER && lua_isinteger(L, index)) return lua_tointeger(L, index);
    int ok = 0;
    double d = lua_tonumberx(L, index, &ok);
    if (!ok || std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return INT64_MAX;
    if (d <= -9.2233720368547758e18) return INT64_MIN;
    return int64_t(d);
}

// --- Element access -----------------------------------------------------------------------------

static void push_element(lua_State* L, const userdata_header* h, int64_t i) {
    const uint8_t* p = userdata_data(h);
    switch (h->type & 31) {
    case UTYPE_U8: lua_pushinteger(L, p[i]); break;
    case UTYPE_I16: { int16_t v; memcpy(&v, p + i * 2, 2); lua_pushinteger(L, v); break; }
    case UTYPE_I32: { int32_t v; memcpy(&v, p + i * 4, 4); lua_pushinteger(L, v); break; }
    case UTYPE_I64: { int64_t v; memcpy(&v, p + i * 8, 8); lua_pushinteger(L, v); break; }
    default: { double v; memcpy(&v, p + i * 8, 8); lua_pushnumber(L, v); break; }
    }
}

// Stores an integer in the element's width (low bits kept).
static void store_integer(userdata_header* h, int64_t i, int64_t v) {
    uint8_t* p = userdata_data(h);
    switch (h->type & 31) {
    case UTYPE_U8: p[i] = uint8_t(v); break;
    case UTYPE_I16: { int16_t x = int16_t(v); memcpy(p + i * 2, &x, 2); break; }
    case UTYPE_I32: { int32_t x = int32_t(v); memcpy(p + i * 4, &x, 4); break; }
    case UTYPE_I64: memcpy(p + i * 8, &v, 8); break;
    default: { double d = double(v); memcpy(p + i * 8, &d, 8); break; }
    }
}

static void store_double(userdata_header* h, int64_t i, double d) {
    memcpy(userdata_data(h) + i * 8, &d, 8);
}

// Stores the script value at index into element i: integers through q64_intp, f64 from a
// number or numeric string, anything else 0.
static void store_value(lua_State* L, userdata_header* h, int64_t i, int index) {
    if ((h->type & 31) == UTYPE_F64) {
        int ok = 0;
        double d = lua_tonumberx(L, index, &ok);
        store_double(h, i, ok ? d : 0.0);
    } else {
        store_integer(h, i, q64_intp(L, index, 0));
    }
}

// --- The record ---------------------------------------------------------------------------------

userdata_header* to_userdata(lua_State* L, int index) {
    if (lua_type(L, index) != LUA_TUSERDATA) return nullptr;
    size_t block = lua_rawlen(L, index);
    // Every array block holds the header and at least 8 data bytes, in whole 8-byte steps.
    if (block < sizeof(userdata_header) + 8 || (block - sizeof(userdata_header)) % 8) return nullptr;
    auto* h = static_cast<userdata_header*>(lua_touserdata(L, index));
    if (!h || !valid_code(h->type & 31)) return nullptr;
    if (h->dimensions != 1 && h->dimensions != 2) return nullptr;
    if (h->height < 1) return nullptr;
    uint64_t elements = uint64_t(h->width) * h->height;  // cannot wrap: both are 32-bit
    uint64_t room = (block - sizeof(userdata_header)) / uint64_t(userdata_element_size(h->type & 31));
    if (elements > room) return nullptr;
    return h;
}

static void set_userdata_metatable(lua_State* L) {
    if (lua_getglobal(L, "USERDATA") == LUA_TTABLE) lua_setmetatable(L, -2);
    else lua_pop(L, 1);
}

// Allocates, labels and zeroes an array of a valid code; null when the size is refused.
static userdata_header* new_userdata(lua_State* L, int code, int dims, int64_t width,
                                     int64_t height) {
    if (dims < 2) height = 1;
    if (dims != 1 && dims != 2) return nullptr;
    if (width < 1 || height < 1) return nullptr;
    if (width > USERDATA_MAX_BYTES || height > USERDATA_MAX_BYTES) return nullptr;
    int64_t size = (width * height * userdata_element_size(code) + 7) & ~int64_t(7);
    if (size < 1 || size > USERDATA_MAX_BYTES) return nullptr;
    // The block comes zero from the host, so a large array costs nothing to make and its pages
    // are first touched by the (charged) work that uses them. May raise the memory error.
    size_t block = sizeof(userdata_header) + size_t(size);
    request_zeroed_block(block);
    auto* h = static_cast<userdata_header*>(lua_newuserdatauv(L, block, 0));
    if (!end_zeroed_block_request()) memset(h, 0, block);
    set_userdata_metatable(L);
    h->type = uint8_t(code);
    h->dimensions = uint8_t(dims);
    h->width = uint32_t(width);
    h->height = uint32_t(height);
    return h;
}

userdata_header* create_userdata_of_type(lua_State* L, int code, int dims, int64_t width,
                                         int64_t height) {
    if (!valid_code(code & 31)) return nullptr;
    return new_userdata(L, code & 31, dims, width, height);
}

// Integer elements: a fixed number of hex digits each, high digit first. Text that ends
// inside an element leaves that element and every later one 0.
static void fill_from_hex(userdata_header* h, const char* p, const char* end) {
    int size = userdata_element_size(h->type & 31);
    int digits = size * 2;
    int64_t count = userdata_count(h);
    for (int64_t i = 0; i < count && end - p >= digits; i++) {
        uint64_t v = 0;
        for (int d = 0; d < digits; d++) v = (v << 4) | hex_val[uint8_t(*p++)];
        store_integer(h, i, int64_t(v));
    }
}

static bool list_stop(char c) { return c == ')' || c == '"'; }

// f64 elements: decimal numbers separated by ','. A closing parenthesis or double quote
// ends the list; an empty or unreadable field gives 0.
static void fill_from_list(userdata_header* h, const char* p, const char* end) {
    int64_t count = userdata_count(h);
    std::string field;
    for (int64_t i = 0; i < count; i++) {
        if (p == end || list_stop(*p)) break;
        const char* q = p;
        while (q < end && *q != ',' && !list_stop(*q)) q++;
        field.assign(p, size_t(q - p));
        double v = 0.0;
        if (sscanf(field.c_str(), "%lf", &v) != 1) v = 0.0;
        store_double(h, i, v);
        p = q;
        if (p < end && *p == ',') p++;
    }
}

userdata_header* create_userdata(lua_State* L, const char* type_or_text, size_t type_len, int dims,
                                 int64_t width, int64_t height, const char* data_text,
                                 size_t data_len) {
    size_t tlen = type_or_text ? strnlen(type_or_text, type_len) : 0;
    int code = str_to_utype(type_or_text, tlen);
    enum { PLAIN, GFX, MAP } form = PLAIN;
    if (tlen >= 9 && (memcmp(type_or_text, "[gfx]", 5) == 0 || memcmp(type_or_text, "[map]", 5) == 0)) {
        const uint8_t* t = reinterpret_cast<const uint8_t*>(type_or_text);
        form = t[1] == 'g' ? GFX : MAP;
        code = form == GFX ? UTYPE_U8 : UTYPE_I16;
        dims = 2;
        width = hex_val[t[5]] * 16 + hex_val[t[6]];
        height = hex_val[t[7]] * 16 + hex_val[t[8]];
        data_text = type_or_text + 9;
        data_len = tlen - 9;
    } else if (data_text) {
        data_len = strnlen(data_text, data_len);
    }

    userdata_header* h = new_userdata(L, code, dims, width, height);
    if (!h || !data_text) return h;

    spend_cpu(userdata_count(h) * userdata_element_bits(code) / 32);
    const char* p = data_text;
    const char* end = data_text + data_len;
    if (form == GFX) {
        uint8_t* d = userdata_data(h);
        int64_t count = userdata_count(h);
        for (int64_t i = 0; i < count && p < end; i++) d[i] = uint8_t(b64_val[uint8_t(*p++)]);
        return h;
    }
    if (form == PLAIN && end - p >= 4 && memcmp(p, "hex:", 4) == 0) p += 4;
    if (code == UTYPE_F64) fill_from_list(h, p, end);
    else fill_from_hex(h, p, end);
    return h;
}

userdata_header* push_duplicate_userdata(lua_State* L, const userdata_header* record) {
    if (!record) return nullptr;
    // Every block keeps at least 8 data bytes, also the copy of an array mutated to no columns.
    size_t size = size_t(std::max<int64_t>((userdata_bytes(record) + 7) & ~int64_t(7), 8));
    auto* h = static_cast<userdata_header*>(
        lua_newuserdatauv(L, sizeof(userdata_header) + size, 0));
    memcpy(h, record, sizeof(userdata_header) + size);
    set_userdata_metatable(L);
    return h;
}

// --- Text writers -------------------------------------------------------------------------------

namespace {
// Collects small pieces of text and writes them to a buffer in large runs.
struct text_sink {
    pbuffer* out;
    char buf[4096];
    size_t used = 0;
    bool ok = true;

    void flush() {
        if (used && bwrite(buf, 1, int64_t(used), out) != int32_t(used)) ok = false;
        used = 0;
    }
    void put(const char* s, size_t n) {
        if (used + n > sizeof buf) flush();
        memcpy(buf + used, s, n);
        used += n;
    }
    void put(const char* s) { put(s, strlen(s)); }
};
}  // namespace

static void put_data_text(text_sink& sink, const userdata_header* h) {
    int code = h->type & 31;
    if (!valid_code(code)) return;
    const uint8_t* p = userdata_data(h);
    int64_t count = userdata_count(h);
    char text[64];
    for (int64_t i = 0; i < count; i++) {
        int n = 0;
        switch (code) {
        case UTYPE_U8: n = snprintf(text, sizeof text, "%02x", unsigned(p[i])); break;
        case UTYPE_I16: {
            uint16_t v;
            memcpy(&v, p + i * 2, 2);
            n = snprintf(text, sizeof text, "%04x", unsigned(v));
            break;
        }
        case UTYPE_I32: {
            uint32_t v;
            memcpy(&v, p + i * 4, 4);
            n = snprintf(text, sizeof text, "%08x", unsigned(v));
            break;
        }
        case UTYPE_I64: {
            uint64_t v;
            memcpy(&v, p + i * 8, 8);
            n = snprintf(text, sizeof text, "%08x%08x", unsigned(v >> 32), unsigned(v & 0xFFFFFFFFu));
            break;
        }
        default: {
            double v;
            memcpy(&v, p + i * 8, 8);
            n = snprintf(text, sizeof text, "%s%0.14g", i ? "," : "", v);
            if (strchr(text, '.') && !strchr(text, 'e')) {
                while (n > 0 && text[n - 1] == '0') n--;
                if (n > 0 && text[n - 1] == '.') n--;
            }
            break;
        }
        }
        sink.put(text, size_t(n));
    }
}

bool write_userdata_data_text(const userdata_header* record, pbuffer* out) {
    if (!record || !out) return false;
    text_sink sink;
    sink.out = out;
    put_data_text(sink, record);
    sink.flush();
    return sink.ok;
}

bool write_userdata_text(const userdata_header* record, pbuffer* out) {
    if (!record || !out) return false;
    text_sink sink;
    sink.out = out;
    char head[96];
    if (record->dimensions > 1) {
        snprintf(head, sizeof head, "userdata(\"%s\",%u,%u,\"", type_str[record->type & 15],
                 unsigned(record->width), unsigned(record->height));
    } else {
        snprintf(head, sizeof head, "userdata(\"%s\",%u,\"", type_str[record->type & 15],
                 unsigned(record->width));
    }
    sink.put(head);
    put_data_text(sink, record);
    sink.put("\")");
    sink.flush();
    return sink.ok;
}

// --- Script constructors and accessors ----------------------------------------------------------

int lua54_userdata(lua_State* L) {
    int n = lua_gettop(L);
    int data_index = n > 3 ? 4 : n == 3 ? 3 : 0;
    if (data_index && lua_type(L, data_index) != LUA_TSTRING) data_index = 0;
    size_t type_len = 0, data_len = 0;
    const char* type_text = arg_text(L, 1, &type_len);
    const char* data = data_index ? lua_tolstring(L, data_index, &data_len) : nullptr;
    int64_t width = q64_intp(L, 2, -1);
    int dims = 1;
    int64_t height = 1;
    if (n - (data_index ? 1 : 0) - 1 >= 2) {
        dims = 2;
        height = q64_intp(L, 3, -1);
    }
    return create_userdata(L, type_text, type_len, dims, width, height, data, data_len) ? 1 : 0;
}

int lua54_vec(lua_State* L) {
    if (!lua_isnumber(L, 1)) return 0;
    int n = lua_gettop(L);
    userdata_header* h = create_userdata_of_type(L, UTYPE_F64, 1, n, 1);
    if (!h) return 0;
    for (int i = 0; i < n; i++) {
        int ok = 0;
        double d = lua_tonumberx(L, i + 1, &ok);
        store_double(h, i, ok ? d : 0.0);
    }
    return 1;
}

int lua54_get_0(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int dims = h->dimensions;
    int64_t x = q64_intp(L, 2, 0);
    int64_t y = dims >= 2 ? q64_intp(L, 3, 0) : 0;
    int64_t count = q64_intp(L, dims + 2, 1);
    int64_t total = userdata_count(h);
    if (lua_gettop(L) == 1 || !lua_isnumber(L, 2)) count = total;
    if (count > 0 && (count > 0x7FFFFFFF || !lua_checkstack(L, int(count)))) {
        printf(" ********** too many get() results (%lld) stack limit reached **********\n",
               (long long)count);
        return 0;
    }
    if (x < 0 || x >= h->width || y < 0 || y >= h->height) {
        lua_pushnumber(L, 0.0);
        return 1;
    }
    if (count < 1) return 0;
    int64_t start = x + y * h->width;
    int64_t n = std::min(count, total - start);
    for (int64_t i = 0; i < n; i++) push_element(L, h, start + i);
    for (int64_t i = n; i < count; i++) lua_pushinteger(L, 0);
    spend_cpu(count / 2);
    return int(count);
}

int lua54_set_0(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int dims = h->dimensions;
    int64_t x = trunc_arg(L, 2);
    int64_t y = dims >= 2 ? trunc_arg(L, 3) : 0;
    if (x < 0 || x >= h->width || y < 0 || y >= h->height) return 0;
    int64_t start = x + y * h->width;
    int first = dims + 2;
    int64_t values = std::max(0, lua_gettop(L) - first + 1);
    int64_t count = std::min(values, userdata_count(h) - start);
    for (int64_t i = 0; i < count; i++) store_value(L, h, start + i, first + int(i));
    return 0;
}

int lua54_get(lua_State* L) { return lua54_get_0(L); }

int lua54_set(lua_State* L) {
    lua54_set_0(L);
    return 0;
}

int lua54_ud_get(lua_State* L) { return lua54_get_0(L); }
int lua54_ud_set(lua_State* L) { return lua54_set_0(L); }

// --- Metamethods --------------------------------------------------------------------------------

int lua54_ud_len(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    lua_pushinteger(L, userdata_count(h));
    return 1;
}

int lua54_ud_tostring(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    char text[1024];
    const uint8_t* p = userdata_data(h);
    double v[12] = {};
    if ((h->type & 31) == UTYPE_F64 && h->width >= 2 && h->width <= 5) {
        int64_t n = std::min<int64_t>(userdata_count(h), 12);
        memcpy(v, p, size_t(n) * 8);
    }
    if ((h->type & 31) == UTYPE_F64 && h->width == 2) {
        snprintf(text, sizeof text, "(%0.14g, %0.14g)", v[0], v[1]);
    } else if ((h->type & 31) == UTYPE_F64 && h->width == 4) {
        snprintf(text, sizeof text, "(%0.14g, %0.14g, %0.14g, %0.14g)", v[0], v[1], v[2], v[3]);
    } else if ((h->type & 31) == UTYPE_F64 && h->width == 5) {
        snprintf(text, sizeof text, "(%0.14g, %0.14g, %0.14g, %0.14g, %0.14g)", v[0], v[1], v[2],
                 v[3], v[4]);
    } else if ((h->type & 31) == UTYPE_F64 && h->width == 3 && h->height != 4) {
        snprintf(text, sizeof text, "(%0.14g, %0.14g, %0.14g)", v[0], v[1], v[2]);
    } else if ((h->type & 31) == UTYPE_F64 && h->width == 3) {
        snprintf(text, sizeof text,
                 "(%0.14g, %0.14g, %0.14g),\n(%0.14g, %0.14g, %0.14g),\n"
                 "(%0.14g, %0.14g, %0.14g),\n(%0.14g, %0.14g, %0.14g)",
                 v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11]);
    } else {
        snprintf(text, sizeof text, "userdata: 0x%x", unsigned(uintptr_t(h) & 0xFFFFFFFFu));
    }
    lua_pushstring(L, text);
    return 1;
}

// Flat element index of a single axis letter, or -1.
static int64_t axis_index(const char* key, size_t len) {
    if (len != 1 || key[0] < 't' || key[0] > 'z') return -1;
    return axis_val[key[0] - 't'];
}

int lua54_ud_index(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int64_t i;
    if (lua_type(L, 2) == LUA_TSTRING) {
        size_t len = 0;
        const char* key = lua_tolstring(L, 2, &len);
        if (len != 1) {
            if (!lua_getmetatable(L, 1)) return 0;
            lua_pushvalue(L, 2);
            lua_rawget(L, -2);
            return 1;
        }
        i = axis_index(key, len);
        if (i < 0) return 0;
    } else if (lua_type(L, 2) == LUA_TNUMBER) {
        i = lua_tointegerx(L, 2, nullptr);
    } else {
        return 0;
    }
    if (i < 0 || i >= userdata_count(h)) return 0;
    push_element(L, h, i);
    return 1;
}

int lua54_ud_newindex(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int64_t i;
    if (lua_type(L, 2) == LUA_TSTRING) {
        size_t len = 0;
        const char* key = lua_tolstring(L, 2, &len);
        i = axis_index(key, len);
        if (i < 0) return 0;
    } else if (lua_type(L, 2) == LUA_TNUMBER) {
        i = q64_intp(L, 2, -1);
    } else {
        return 0;
    }
    if (i < 0 || i >= userdata_count(h)) return 0;
    store_value(L, h, i, 3);
    return 0;
}

// --- Small methods ------------------------------------------------------------------------------

int lua54_ud_clear(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int64_t bytes = userdata_bytes(h);
    memset(userdata_data(h), 0, size_t(bytes));
    spend_cpu(bytes / 64);
    return 0;
}

// Copies elements between the array and the current process's memory.
static int peek_poke(lua_State* L, bool to_memory) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int code = h->type & 31;
    if (code == UTYPE_F64) return 0;
    int size = userdata_element_size(code);
    int64_t address = q64_intp(L, 2, 0);
    int64_t offset = q64_intp(L, 3, 0);
    if (offset < 0) offset = 0;
    int64_t total = userdata_count(h);
    int64_t count = std::min(total - offset, q64_intp(L, 4, total));
    uint8_t* d = userdata_data(h);
    for (int64_t i = 0; i < count; i++) {
        int64_t a = int64_t(uint32_t(uint64_t(address) + uint64_t(i) * uint64_t(size)));
        uint8_t* e = d + (offset + i) * size;
        if (to_memory) {
            int64_t v = 0;
            switch (size) {
            case 1: poke(a, *e); break;
            case 2: { int16_t x; memcpy(&x, e, 2); poke2(a, x); break; }
            case 4: { int32_t x; memcpy(&x, e, 4); poke4(a, x); break; }
            default: memcpy(&v, e, 8); poke8(a, v); break;
            }
        } else {
            switch (size) {
            case 1: *e = peek(a); break;
            case 2: { int16_t x = peek2(a); memcpy(e, &x, 2); break; }
            case 4: { int32_t x = peek4(a); memcpy(e, &x, 4); break; }
            default: { int64_t x = peek8(a); memcpy(e, &x, 8); break; }
            }
        }
    }
    spend_cpu(std::max<int64_t>(count, 0) / 4);
    lua_pushvalue(L, 1);
    return 1;
}

int lua54_ud_peek(lua_State* L) { return peek_poke(L, false); }
int lua54_ud_poke(lua_State* L) { return peek_poke(L, true); }

int lua54_ud_width(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    lua_pushinteger(L, h->width);
    return 1;
}

int lua54_ud_height(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    if (h->dimensions > 1) lua_pushinteger(L, h->height);
    else lua_pushnil(L);
    return 1;
}

int lua54_ud_attribs(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    lua_pushinteger(L, h->width);
    lua_pushinteger(L, h->height);
    lua_pushstring(L, get_utype_string(h->type & 31));
    lua_pushinteger(L, h->dimensions);
    return 4;
}

int lua54_ud_mutate(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int old_code = h->type & 31;
    size_t len = 0;
    const char* name = arg_text(L, 2, &len);
    int new_code = str_to_utype(name, len);
    bool width_given = lua_isnumber(L, 3);
    bool height_given = lua_isnumber(L, 4);
    int64_t new_width = width_given ? trunc_arg(L, 3) : 0;
    int64_t new_height = height_given ? trunc_arg(L, 4) : 0;
    if (width_given && !height_given) new_height = 1;
    if (old_code != new_code && (old_code == UTYPE_F64 || new_code == UTYPE_F64)) {
        lua_pushstring(L, "can not mutate between integer and float data types");
        return 1;
    }
    int64_t old_size = userdata_element_size(old_code);
    int64_t new_size = userdata_element_size(new_code);
    if (new_width < 1) new_width = int64_t(h->width) * old_size / new_size;
    if (new_height < 1) new_height = h->height;
    // Sizes are compared in 64 bits, each factor bounded first, so no product can wrap.
    int64_t old_bytes = userdata_bytes(h);
    if (new_width > old_bytes || new_height > old_bytes ||
        new_width * new_size * new_height > old_bytes) {
        lua_pushstring(L, "new size is larger than old size");
        return 1;
    }
    h->width = uint32_t(new_width);
    h->height = uint32_t(new_height);
    h->type = uint8_t(new_code);
    if (width_given) h->dimensions = height_given ? 2 : 1;
    return 0;
}

int lua54_ud_row(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int64_t i = q64_intp(L, 2, -1);
    if (i < 0 || i >= h->height) return 0;
    userdata_header* r = create_userdata_of_type(L, h->type & 31, 2, h->width, 1);
    if (!r) return 0;
    int64_t row_bytes = int64_t(h->width) * userdata_element_size(h->type & 31);
    memcpy(userdata_data(r), userdata_data(h) + i * row_bytes, size_t(row_bytes));
    spend_cpu(h->width / 4);
    return 1;
}

int lua54_ud_column(lua_State* L) {
    userdata_header* h = to_userdata(L, 1);
    if (!h) return 0;
    int64_t i = q64_intp(L, 2, -1);
    if (i < 0 || i >= h->width) return 0;
    userdata_header* c = create_userdata_of_type(L, h->type & 31, 2, 1, h->height);
    if (!c) return 0;
    int size = userdata_element_size(h->type & 31);
    for (int64_t y = 0; y < h->height; y++) {
        memcpy(userdata_data(c) + y * size, userdata_data(h) + (i + y * h->width) * size, size_t(size));
    }
    spend_cpu(h->height / 2);
    return 1;
}
