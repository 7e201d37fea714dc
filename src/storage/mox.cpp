// mox writer and reader, the mox script functions and messages between processes.
#include "storage/mox.h"

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kernel/api.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "platform/host.h"
#include "storage/base64.h"
#include "storage/pxu.h"
#include "userdata/userdata.h"

namespace {

constexpr char HEADER_TAG[] = "--[[mox";
constexpr size_t HEADER_TAG_LEN = sizeof(HEADER_TAG) - 1;
constexpr char RAW_FORMAT[] = "mox_format=\"raw\"";  // at offsets 4 to 19 of a raw header
constexpr size_t RAW_FORMAT_LEN = sizeof(RAW_FORMAT) - 1;
constexpr int MAX_NUMBER_CHARS = 44;
constexpr int PXU_PALETTE_BITS = 4;
// Longest a string's length field in a "str" block may be: its top byte is 0 or 1.
constexpr uint32_t MAX_STR_BLOCK_LENGTH = 0x1FFFFFF;
// LZ4 turns one byte of packed data into at most 255 or so bytes of output.
constexpr int64_t LZ4_MAX_RATIO = 256;
// Most bytes that b64 blocks may decode to in one document: the writer's largest text,
// packed (which may grow it a little) and then written as b64.
constexpr int64_t MAX_B64_DECODED = LZ4_COMPRESSBOUND(MOX_MAX_TEXT_LENGTH) + 16;

// What the "lz4" and b64 blocks of the document being read have unpacked so far. Every
// block's output stays allocated while the document inside it is read, so without a
// bound for the whole document a short text of nested blocks could ask for gigabytes.
struct unpack_budget {
    int64_t lz4_raw = 0;      // at most MOX_MAX_TEXT_LENGTH
    int64_t b64_decoded = 0;  // at most MAX_B64_DECODED
};

// One top-level read: its budget and the unpacked blocks it holds. The read runs as a
// protected call and the frame that started it frees the blocks, whatever happened. A read
// begun inside another (by a finalizer run while the reader allocates) has its own.
struct read_state {
    unpack_budget budget;
    char* blocks[MOX_READ_MAX_DEPTH + 2];
    int block_count = 0;
    read_state* outer = nullptr;
};
read_state* current_read = nullptr;

// A block of n bytes that the current read holds until it ends; null when there is none.
char* hold_block(int64_t n) {
    read_state* r = current_read;
    if (!r || r->block_count >= int(sizeof(r->blocks) / sizeof(r->blocks[0]))) return nullptr;
    char* block = static_cast<char*>(malloc(size_t(n)));
    if (block) r->blocks[r->block_count++] = block;
    return block;
}

// Frees a block held by the current read.
void release_block(char* block) {
    read_state* r = current_read;
    for (int i = r ? r->block_count - 1 : -1; i >= 0; i--) {
        if (r->blocks[i] != block) continue;
        for (int j = i; j + 1 < r->block_count; j++) r->blocks[j] = r->blocks[j + 1];
        r->block_count--;
        break;
    }
    free(block);
}

// Takes n bytes from *spent's allowance of limit; false (nothing taken) when they do not fit.
bool charge(int64_t* spent, int64_t n, int64_t limit) {
    if (n < 0 || n > limit - *spent) return false;
    *spent += n;
    return true;
}

bool starts_with(const char* p, const char* end, const char* lit, size_t n) {
    return end - p >= static_cast<ptrdiff_t>(n) && memcmp(p, lit, n) == 0;
}

template <size_t N>
bool starts_with(const char* p, const char* end, const char (&lit)[N]) {
    return starts_with(p, end, lit, N - 1);
}

bool is_ascii_letter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ident_char(uint8_t c) { return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '_'; }

uint32_t read_u32(const char* p) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void store_u32(char* p, uint32_t v) {
    p[0] = char(v);
    p[1] = char(v >> 8);
    p[2] = char(v >> 16);
    p[3] = char(v >> 24);
}

// Appends n bytes at the end of b; false (b unchanged) when it cannot hold them.
bool append_bytes(pbuffer* b, const void* bytes, int64_t n) {
    if (n <= 0) return n == 0;
    if (n > PBUFFER_MAX_LENGTH - b->length) return false;
    b->cursor = b->length;
    return bwrite(bytes, 1, n, b) == n;
}

// Puts b back to length with its cursor at the end and the spare zero byte in place.
void truncate_buffer(pbuffer* b, int32_t length) {
    b->length = length;
    b->cursor = length;
    to_cstr(b);
}

// --- Writer -------------------------------------------------------------------------------------

// A kept key of a table being written. String keys point into the key string itself,
// which the table keeps alive while it is written.
struct key_entry {
    bool is_string;
    bool is_integer;
    lua_Integer i;
    lua_Number d;
    const char* s;
    size_t len;
};

// i < f, exactly, for any integer and any float that is not NaN.
bool int_less_float(lua_Integer i, lua_Number f) {
    if (f >= 9223372036854775808.0) return true;
    if (f > -9223372036854775808.0) return i < static_cast<lua_Integer>(std::ceil(f));
    return false;
}

// f < i, exactly.
bool float_less_int(lua_Number f, lua_Integer i) {
    if (f < -9223372036854775808.0) return true;
    if (f < 9223372036854775808.0) return static_cast<lua_Integer>(std::floor(f)) < i;
    return false;
}

// Numbers before strings; numbers by value, strings by byte order.
bool key_less(const key_entry& a, const key_entry& b) {
    if (a.is_string != b.is_string) return !a.is_string;
    if (a.is_string) {
        size_t n = std::min(a.len, b.len);
        int c = n ? memcmp(a.s, b.s, n) : 0;
        return c < 0 || (c == 0 && a.len < b.len);
    }
    if (a.is_integer && b.is_integer) return a.i < b.i;
    if (!a.is_integer && !b.is_integer) return a.d < b.d;
    if (a.is_integer) return int_less_float(a.i, b.d);
    return float_less_int(a.d, b.i);
}

struct writer {
    lua_State* L;
    pbuffer* out;
    int flags;
    int64_t limit;  // out->length may not pass this
    bool failed = false;
    const void* path[MOX_WRITE_MAX_DEPTH + 1] = {};
    std::vector<std::vector<key_entry>> keys;  // one list per depth, reused

    writer(lua_State* state, pbuffer* buffer, int f) : L(state), out(buffer), flags(f) {
        int64_t room = PBUFFER_MAX_LENGTH - buffer->length;
        limit = buffer->length + std::min<int64_t>(room, MOX_MAX_TEXT_LENGTH);
        keys.resize(MOX_WRITE_MAX_DEPTH + 1);
    }
};

// Makes room for n more bytes; on failure the writer stops.
bool reserve(writer& w, int64_t n) {
    if (w.failed) return false;
    pbuffer* b = w.out;
    if (n > w.limit - b->length) {
        w.failed = true;
        return false;
    }
    int64_t need = b->length + n;
    if (!b->data || b->capacity < uint64_t(need) + 1) {
        ballocate(b, need);
        if (!b->data || b->capacity < uint64_t(need) + 1) {
            w.failed = true;
            return false;
        }
    }
    return true;
}

void put(writer& w, const void* bytes, size_t n) {
    if (!reserve(w, int64_t(n))) return;
    memcpy(w.out->data + w.out->length, bytes, n);
    w.out->length += int32_t(n);
}

void put(writer& w, const char* text) { put(w, text, strlen(text)); }

void put_char(writer& w, char c) {
    if (!reserve(w, 1)) return;
    w.out->data[w.out->length++] = uint8_t(c);
}

// The interpreter's text for a number, without a final ".0".
int number_text(bool is_integer, lua_Integer i, lua_Number d, char* text, size_t size) {
    if (is_integer) {
        // The decimal digits, as the interpreter prints them.
        char digits[24];
        int k = 0;
        uint64_t u = i < 0 ? 0 - uint64_t(i) : uint64_t(i);
        do {
            digits[k++] = char('0' + u % 10);
            u /= 10;
        } while (u);
        int n = 0;
        if (i < 0) text[n++] = '-';
        while (k) text[n++] = digits[--k];
        text[n] = 0;
        return n;
    }
    int n = lua_number2str(text, size, d);
    if (n < 0) n = 0;
    if (n >= int(size)) n = int(size) - 1;
    if (n >= 2 && text[n - 2] == '.' && text[n - 1] == '0') n -= 2;
    return n;
}

void put_number(writer& w, bool is_integer, lua_Integer i, lua_Number d) {
    char text[64];
    int n = number_text(is_integer, i, d, text, sizeof text);
    put(w, text, size_t(n));
}

// Escape class of each byte in a quoted string: 0 as it is, 1 backslash and a letter,
// 2 backslash and three decimal digits.
struct escape_table {
    uint8_t cls[256];
    constexpr escape_table() : cls() {
        for (int c = 0; c < 256; c++) {
            if (c == '\n' || c == '\\' || c == '"') cls[c] = 1;
            else if (c < 32 || c >= 127 || c == ']') cls[c] = 2;
            else cls[c] = 0;
        }
    }
};
constexpr escape_table ESCAPES;
constexpr size_t ESCAPE_SIZE[3] = {1, 2, 4};

// Writes the escaped bytes between double quotes; returns the characters written.
int64_t put_quoted(writer& w, const char* s, size_t len) {
    constexpr size_t CHUNK = 4096;
    int64_t written = 0;
    put_char(w, '"');
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
    for (size_t at = 0; at < len && !w.failed;) {
        size_t n = std::min(CHUNK, len - at);
        size_t size = 0;
        for (size_t k = 0; k < n; k++) size += ESCAPE_SIZE[ESCAPES.cls[p[at + k]]];
        if (!reserve(w, int64_t(size))) break;
        uint8_t* o = w.out->data + w.out->length;
        for (size_t k = 0; k < n; k++) {
            uint8_t c = p[at + k];
            switch (ESCAPES.cls[c]) {
            case 0: *o++ = c; break;
            case 1:
                *o++ = '\\';
                *o++ = c == '\n' ? 'n' : c;
                break;
            default:
                *o++ = '\\';
                *o++ = uint8_t('0' + c / 100);
                *o++ = uint8_t('0' + c / 10 % 10);
                *o++ = uint8_t('0' + c % 10);
                break;
            }
        }
        w.out->length += int32_t(size);
        written += int64_t(size);
        at += n;
    }
    put_char(w, '"');
    return written + 2;
}

bool is_identifier(const char* s, size_t len) {
    if (len == 0) return false;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
    if (!is_ascii_letter(p[0]) && p[0] != '_') return false;
    for (size_t i = 1; i < len; i++) {
        if (!is_ident_char(p[i])) return false;
    }
    return true;
}

void write_value(writer& w, int index, int depth);

void write_string(writer& w, int index) {
    size_t len = 0;
    const char* s = lua_tolstring(w.L, index, &len);
    if ((w.flags & MOX_STR_BLOCKS) && int64_t(len) < MOX_MAX_STR_BLOCK) {
        char head[8] = {'s', 't', 'r', 0};
        store_u32(head + 4, uint32_t(len));
        put(w, head, sizeof head);
        put(w, s, len);
        spend_cpu(int64_t(len / 4));
    } else {
        spend_cpu(put_quoted(w, s, len) / 4);
    }
}

void write_typed_array(writer& w, int index) {
    const userdata_header* h = to_userdata(w.L, index);
    if (!h) {
        put(w, "nil");
        return;
    }
    spend_cpu(userdata_bytes(h) / 4);
    if (w.failed) return;
    const int code = h->type & 31;
    const int32_t before = w.out->length;
    bool ok;
    if ((w.flags & MOX_PXU) && (code == UTYPE_U8 || code == UTYPE_I16)) {
        int mode = (w.flags & MOX_PXU_RAW) ? PXU_MODE_RAW : PXU_MODE_PALETTE;
        if (code == UTYPE_I16) mode = PXU_MODE_RLE;
        ok = write_binary_pxu(h, w.out, PXU_PALETTE_BITS, mode) > 0;
    } else {
        w.out->cursor = w.out->length;
        ok = write_userdata_text(h, w.out);
    }
    if (!ok || w.out->length > w.limit) {
        w.out->length = before;
        w.failed = true;
    }
}

void write_table(writer& w, int t, int depth) {
    lua_State* L = w.L;
    const void* self = lua_topointer(L, t);
    bool cyclic = false;
    for (int i = 0; i < depth && !cyclic; i++) cyclic = w.path[i] == self;
    // A table inside itself, or nested too deep, has no text form.
    if (cyclic || depth > MOX_WRITE_MAX_DEPTH || !lua_checkstack(L, 4)) {
        put(w, "nil");
        return;
    }
    w.path[depth] = self;

    const lua_Integer n = lua_Integer(lua_rawlen(L, t));
    std::vector<key_entry>& keys = w.keys[size_t(depth)];
    keys.clear();
    lua_pushnil(L);
    while (lua_next(L, t)) {
        int type = lua_type(L, -2);
        if (type == LUA_TNUMBER) {
            key_entry k{};
            if (lua_isinteger(L, -2)) {
                k.is_integer = true;
                k.i = lua_tointeger(L, -2);
                if (k.i < 1 || k.i > n) keys.push_back(k);
            } else {
                k.d = lua_tonumber(L, -2);
                keys.push_back(k);
            }
        } else if (type == LUA_TSTRING) {
            key_entry k{};
            k.is_string = true;
            k.s = lua_tolstring(L, -2, &k.len);
            keys.push_back(k);
        }
        lua_pop(L, 1);
    }
    std::sort(keys.begin(), keys.end(), key_less);

    put_char(w, '{');
    bool keyed = false;
    for (const key_entry& k : keys) {
        if (w.failed) break;
        if (keyed) put_char(w, ',');
        keyed = true;
        if (k.is_string) {
            if (is_identifier(k.s, k.len)) {
                put(w, k.s, k.len);
            } else {
                put_char(w, '[');
                put_quoted(w, k.s, k.len);
                put_char(w, ']');
            }
            lua_pushlstring(L, k.s, k.len);
            lua_rawget(L, t);
        } else {
            put_char(w, '[');
            put_number(w, k.is_integer, k.i, k.d);
            put_char(w, ']');
            if (k.is_integer) {
                lua_rawgeti(L, t, k.i);
            } else {
                lua_pushnumber(L, k.d);
                lua_rawget(L, t);
            }
        }
        put_char(w, '=');
        write_value(w, lua_gettop(L), depth + 1);
        lua_pop(L, 1);
    }
    keys.clear();
    for (lua_Integer i = 1; i <= n && !w.failed; i++) {
        if (keyed || i > 1) put_char(w, ',');
        lua_rawgeti(L, t, i);
        write_value(w, lua_gettop(L), depth + 1);
        lua_pop(L, 1);
    }
    put_char(w, '}');
    w.path[depth] = nullptr;
}

void write_value(writer& w, int index, int depth) {
    if (w.failed) return;
    lua_State* L = w.L;
    spend_cpu(2);
    switch (lua_type(L, index)) {
    case LUA_TBOOLEAN: put(w, lua_toboolean(L, index) ? "true" : "false"); break;
    case LUA_TNUMBER:
        put_number(w, lua_isinteger(L, index), lua_tointeger(L, index), lua_tonumber(L, index));
        break;
    case LUA_TSTRING: write_string(w, index); break;
    case LUA_TTABLE: write_table(w, index, depth); break;
    case LUA_TUSERDATA: write_typed_array(w, index); break;
    default: put(w, "nil"); break;
    }
}

struct write_job {
    writer* w;
    int depth;
};

// The value to write is the one argument; the writer belongs to the caller's frame.
int write_body(lua_State* L) {
    write_job* job = static_cast<write_job*>(take_job(L));
    write_value(*job->w, 1, job->depth);
    return 0;
}

// Writes one value at the end of buffer; the bytes appended, or -1 with buffer unchanged.
// The writer runs as a protected call with the collector held still: it keeps pointers to
// key strings, and no finalizer may change a table half written. Looking up a long key can
// run out of memory; the value then counts as one that cannot be written.
int64_t write_plain(lua_State* L, int index, pbuffer* buffer, int depth, int flags) {
    const int32_t start = buffer->length;
    const int value = lua_absindex(L, index);
    if (!lua_checkstack(L, 4)) return -1;
    const bool was_running = lua_gc(L, LUA_GCISRUNNING) != 0;
    if (was_running) lua_gc(L, LUA_GCSTOP);
    writer w(L, buffer, flags);
    write_job job{&w, depth};
    const int top = lua_gettop(L);
    lua_pushvalue(L, value);
    if (protected_call(L, write_body, &job, 1) != LUA_OK) w.failed = true;
    lua_settop(L, top);
    if (was_running) lua_gc(L, LUA_GCRESTART);
    if (w.failed) {
        truncate_buffer(buffer, start);
        return -1;
    }
    truncate_buffer(buffer, buffer->length);
    return buffer->length - start;
}

// The "lz4" block (tag, packed size, raw size, data) of text; false when it cannot be packed.
bool pack_lz4(pbuffer* text, std::vector<char>& block) {
    const int raw = text->length;
    if (raw > LZ4_MAX_INPUT_SIZE || raw > MOX_MAX_TEXT_LENGTH) return false;
    const int bound = LZ4_compressBound(raw);
    block.resize(size_t(12) + size_t(bound));
    int packed = LZ4_compress_HC(reinterpret_cast<const char*>(text->data), block.data() + 12, raw, bound, 1);
    if (packed <= 0) return false;
    memcpy(block.data(), "lz4", 4);
    store_u32(block.data() + 4, uint32_t(packed));
    store_u32(block.data() + 8, uint32_t(raw));
    block.resize(size_t(12) + size_t(packed));
    return true;
}

// --- Reader -------------------------------------------------------------------------------------

bool is_number_char(uint8_t c) {
    return (c >= '0' && c <= '9') || c == '_' || c == '+' || c == '-' || c == '.' || c == 'e';
}

// A value word ends at a byte below 33, ',', ']' or '}' (or the end of the text).
bool word_ends(const char* p, const char* end) {
    if (p >= end) return true;
    uint8_t c = uint8_t(*p);
    return c < 33 || c == ',' || c == ']' || c == '}';
}

const char* get_number(lua_State* L, const char* p, const char* end) {
    // The writer's texts for the infinities and not-a-number.
    static const struct {
        const char* text;
        size_t len;
        double value;
    } specials[] = {{"-inf", 4, -HUGE_VAL},
                    {"-nan", 4, std::copysign(NAN, -1.0)},
                    {"inf", 3, HUGE_VAL},
                    {"nan", 3, std::copysign(NAN, 1.0)}};
    for (const auto& s : specials) {
        if (starts_with(p, end, s.text, s.len)) {
            lua_pushnumber(L, s.value);
            return p + s.len;
        }
    }
    char text[MAX_NUMBER_CHARS + 1];
    int n = 0;
    bool plain_integer = true;  // an optional '-' and at most 18 digits
    while (p < end && n < MAX_NUMBER_CHARS && is_number_char(uint8_t(*p))) {
        char c = *p++;
        if (!((c >= '0' && c <= '9') || (c == '-' && n == 0))) plain_integer = false;
        text[n++] = c;
    }
    if (n == 0) return nullptr;
    if (plain_integer && n <= 18 && !(n == 1 && text[0] == '-')) {
        // What the conversion gives for such a text, without its general machinery.
        lua_Integer v = 0;
        for (int i = text[0] == '-'; i < n; i++) v = v * 10 + (text[i] - '0');
        lua_pushinteger(L, text[0] == '-' ? -v : v);
        return p;
    }
    text[n] = 0;
    if (lua_stringtonumber(L, text) == 0) return nullptr;
    return p;
}

// Where the metadata header ends (through "]]" and one newline, or the whole text) and
// whether "]]" was there; 0 when the text has no header.
int64_t header_span(const char* text, int64_t length, bool* closed) {
    *closed = false;
    if (!text || length < int64_t(HEADER_TAG_LEN) || memcmp(text, HEADER_TAG, HEADER_TAG_LEN) != 0) return 0;
    for (int64_t i = 4; i + 1 < length; i++) {
        if (text[i] == ']' && text[i + 1] == ']') {
            *closed = true;
            int64_t n = i + 2;
            if (n < length && text[n] == '\n') n++;
            return n;
        }
    }
    return length;
}

// Elements wait on the stack as key and value pairs and are stored in groups, so that a
// table is made at once with room for its first group.
constexpr int TABLE_BATCH = 32;

struct table_builder {
    lua_State* L;
    int t;              // stack slot of the table (nil until it is made)
    bool made = false;
    int pending = 0;    // pairs waiting above t
    int pending_seq = 0;

    explicit table_builder(lua_State* state) : L(state) {
        lua_pushnil(L);
        t = lua_gettop(L);
    }
    // Stores the waiting pairs in order (a later pair wins over an earlier one).
    void flush() {
        lua_settop(L, t + 2 * pending);
        if (!made) {
            lua_createtable(L, pending_seq, pending - pending_seq);
            lua_replace(L, t);
            made = true;
        }
        for (int i = 0; i < pending; i++) {
            lua_pushvalue(L, t + 1 + 2 * i);
            lua_pushvalue(L, t + 2 + 2 * i);
            lua_rawset(L, t);
        }
        lua_settop(L, t);
        pending = pending_seq = 0;
    }
    // Takes the pair on top of the stack.
    bool add(bool sequence) {
        pending++;
        if (sequence) pending_seq++;
        if (pending >= TABLE_BATCH) flush();
        return lua_checkstack(L, 8);
    }
    // Leaves the table with every pair taken so far, dropping anything above them.
    bool finish(bool ok) {
        flush();
        return ok;
    }
};

// Reads a table at p (an opening "{" is optional) and leaves it on the stack in every case,
// holding the entries read so far; true when it closed with "}" or stopped at "]".
bool read_table(lua_State* L, const char*& p, const char* end, int depth) {
    table_builder tb(L);
    if (p < end && *p == '{') p++;
    lua_Integer seq = 0;
    for (;;) {
        if (p >= end) return tb.finish(false);
        const char c = *p;
        if (c == '}') {
            p++;
            return tb.finish(true);
        }
        if (c == ']') return tb.finish(true);
        if (is_start_of_key(p, end)) {
            const int base = lua_gettop(L);
            if (c == '[') {
                const char* q = get_value(L, p + 1, end, depth + 1);
                if (!q || q >= end || *q != ']') return tb.finish(false);
                p = q + 1;
            } else {
                const char* q = p;
                while (q < end && is_ident_char(uint8_t(*q))) q++;
                lua_pushlstring(L, p, size_t(q - p));
                p = q;
            }
            if (p >= end) return tb.finish(false);
            if (*p == '=') {
                const char* q = get_value(L, p + 1, end, depth + 1);
                if (!q) return tb.finish(false);
                p = q;
            } else if (*p == ',' || *p == '}' || *p == ']') {
                lua_pushnil(L);
            } else {
                return tb.finish(false);
            }
            // nil and NaN cannot be keys: such a pair is left out.
            int kt = lua_type(L, -2);
            bool bad_key = kt == LUA_TNIL ||
                           (kt == LUA_TNUMBER && !lua_isinteger(L, -2) && std::isnan(lua_tonumber(L, -2)));
            if (bad_key) lua_settop(L, base);
            else if (!tb.add(false)) return tb.finish(false);
        } else {
            lua_pushinteger(L, ++seq);
            const char* q = get_value(L, p, end, depth + 1);
            if (!q) return tb.finish(false);
            if (!tb.add(true)) return tb.finish(false);
            p = q;
        }
        if (p < end && *p == ',') p++;
    }
}

// Parses a document; see destringify_object. Nested documents come with a greater depth.
int read_document(lua_State* L, const char* text, int64_t length, int depth) {
    if (length < 0 || (!text && length > 0) || depth > MOX_READ_MAX_DEPTH || !lua_checkstack(L, 6)) return 0;
    const int top = lua_gettop(L);
    bool closed = false;
    const int64_t header = header_span(text, length, &closed);
    const char* body = text + header;
    const char* end = text + length;
    const int64_t body_length = length - header;

    if (header >= int64_t(4 + RAW_FORMAT_LEN) && memcmp(text + 4, RAW_FORMAT, RAW_FORMAT_LEN) == 0) {
        lua_pushlstring(L, body, size_t(body_length));
    } else if (body_length == 0) {
        lua_pushnil(L);
    } else if (body_length == 3 && memcmp(body, "str", 3) == 0) {
        lua_pushstring(L, "str");
    } else if (static_cast<signed char>(*body) <= 31) {
        lua_pushnil(L);
    } else if (!get_value(L, body, end, depth)) {
        lua_settop(L, top);
        return 0;
    }
    if (header == 0) return 1;

    const char* p = text + 4;
    const char* header_end = text + header;
    if (read_table(L, p, header_end, depth + 1) || !closed) {
        // Without "]]" the table keeps the entries read before the end of the text.
        lua_settop(L, top + 2);
        return 2;
    }
    int64_t shown = (closed ? header - 2 - (text[header - 1] == '\n') : header) - 4;
    printf("bad metadata format; ignoring %.*s\n", int(std::min<int64_t>(shown, 0x7FFFFFFF)), text + 4);
    lua_settop(L, top + 1);
    return 1;
}

// The value of a nested document (its metadata dropped), or false with nothing pushed.
bool read_nested_document(lua_State* L, const char* text, int64_t length, int depth) {
    int n = read_document(L, text, length, depth);
    if (n == 2) lua_pop(L, 1);
    return n > 0;
}

// A %d read: optional white space and sign, then digits; false when there are none.
bool read_decimal(const char*& p, const char* end, int64_t* out) {
    const char* q = p;
    while (q < end && (*q == ' ' || (*q >= '\t' && *q <= '\r'))) q++;
    bool negative = false;
    if (q < end && (*q == '-' || *q == '+')) negative = *q++ == '-';
    if (q >= end || *q < '0' || *q > '9') return false;
    int64_t v = 0;
    while (q < end && *q >= '0' && *q <= '9') {
        if (v < 0x7FFFFFFF) v = v * 10 + (*q - '0');
        q++;
    }
    if (v > 0x7FFFFFFF) v = 0x7FFFFFFF;
    *out = negative ? -v : v;
    p = q;
    return true;
}

const char* find_char(const char* p, const char* end, char c) {
    if (p >= end) return nullptr;
    return static_cast<const char*>(memchr(p, c, size_t(end - p)));
}

}  // namespace

// --- Writer interface ---------------------------------------------------------------------------

int64_t stringify_object_recursive(lua_State* L, int index, pbuffer* buffer, int depth, int flags) {
    if (!L || !buffer || buffer->length < 0) return -1;
    return write_plain(L, index, buffer, depth < 0 ? 0 : depth, flags);
}

namespace {

// Appends the written text in tmp to buffer as an "lz4" block and/or wrapped as b64; the
// bytes appended, or -1 with buffer as it was. tmp may be reused on the way. No call into a
// script state is made here.
int64_t wrap_text(pbuffer* tmp, pbuffer* buffer, int flags) {
    const int32_t start = buffer->length;
    if (flags & MOX_LZ4) {
        spend_cpu(tmp->length / 8);
        std::vector<char> block;
        // Text that cannot be packed stays as it is: it reads back the same.
        if (pack_lz4(tmp, block)) {
            if (!(flags & MOX_B64)) {
                if (!append_bytes(buffer, block.data(), int64_t(block.size()))) {
                    truncate_buffer(buffer, start);
                    return -1;
                }
                truncate_buffer(buffer, buffer->length);
                return buffer->length - start;
            }
            bclear(tmp);
            if (!append_bytes(tmp, block.data(), int64_t(block.size()))) return -1;
        }
    }

    const int64_t raw = tmp->length;
    const int64_t chars = (raw + 2) / 3 * 4;
    if (chars + 12 > PBUFFER_MAX_LENGTH - buffer->length) return -1;
    std::vector<char> text(size_t(chars) + 4);
    base64_encodestate state;
    base64_init_encodestate(&state);
    int64_t n = base64_encode_block(reinterpret_cast<const char*>(tmp->data), raw, text.data(), &state);
    n += base64_encode_blockend(text.data() + n, &state);
    bool ok = append_bytes(buffer, "unmox(\"b64:", 11) && append_bytes(buffer, text.data(), n) &&
              append_bytes(buffer, "\")", 2);
    if (!ok) {
        truncate_buffer(buffer, start);
        return -1;
    }
    spend_cpu(n / 8);
    truncate_buffer(buffer, buffer->length);
    return buffer->length - start;
}

}  // namespace

int64_t stringify_object(lua_State* L, int index, pbuffer* buffer, int flags) {
    if (!L || !buffer || buffer->length < 0) return -1;
    if (!(flags & (MOX_LZ4 | MOX_B64))) return write_plain(L, index, buffer, 0, flags);
    pbuffer* tmp = create_buffer_2(1024, MOX_BUFFER_TAG);
    int64_t n = tmp && write_plain(L, index, tmp, 0, flags) >= 0 ? wrap_text(tmp, buffer, flags) : -1;
    destroy_buffer(tmp);
    return n;
}

// --- Reader interface ---------------------------------------------------------------------------

bool is_start_of_key(const char* p, const char* end) {
    if (!p || p >= end) return false;
    const uint8_t c = uint8_t(*p);
    switch (c) {
    case '[': return true;
    case 'b':
        if (starts_with(p, end, "b64:")) return false;
        break;
    case 'f':
        if (starts_with(p, end, "false") && word_ends(p + 5, end)) return false;
        break;
    case 'i':
        if (starts_with(p, end, "inf") && word_ends(p + 3, end)) return false;
        break;
    case 'n':
        if ((starts_with(p, end, "nil") || starts_with(p, end, "nan")) && word_ends(p + 3, end)) return false;
        break;
    case 't':
        if (starts_with(p, end, "true") && word_ends(p + 4, end)) return false;
        break;
    case 'l':
        if (starts_with(p, end, "lz4", 4)) return false;  // the tag and its zero byte
        break;
    case 'p':
        if (starts_with(p, end, "pxu", 4)) return false;
        break;
    case 's':
        if (starts_with(p, end, "str", 4)) return false;
        break;
    case 'u':
        for (size_t len : {size_t(8), size_t(5)}) {
            if (starts_with(p, end, len == 8 ? "userdata" : "unmox", len) && p + len < end &&
                (p[len] == '"' || p[len] == '(')) {
                return false;
            }
        }
        break;
    default: break;
    }
    return is_ascii_letter(c) || c == '_';
}

const char* get_string(lua_State* L, const char* p, const char* end) {
    if (!p || p >= end || *p != '"') return nullptr;
    const char* q = p + 1;
    const char* close = find_char(q, end, '"');
    if (!close) return nullptr;
    if (!memchr(q, '\\', size_t(close - q))) {
        lua_pushlstring(L, q, size_t(close - q));
        spend_cpu((close - q) / 4);
        return close + 1;
    }
    // The closing quote is the first one no backslash escapes; escapes only shorten the
    // text, so the decoded bytes fit in the length up to it. They are made in the kernel's
    // scratch block just before the one push that copies them.
    const char* stop = q;
    while (stop < end && *stop != '"') stop += *stop == '\\' ? 2 : 1;
    if (stop >= end) return nullptr;
    char* out = scratch_bytes(size_t(stop - q));
    if (!out) return nullptr;
    size_t n = 0;
    while (q < end && *q != '"') {
        if (*q != '\\') {
            out[n++] = *q++;
            continue;
        }
        if (++q >= end) return nullptr;
        const char d = *q;
        if (d == '"' || d == '\\') {
            out[n++] = d;
            q++;
        } else if (d == 'n') {
            out[n++] = '\n';
            q++;
        } else if (d >= '0' && d <= '9') {
            int v = 0;
            for (int k = 0; k < 3 && q < end && *q >= '0' && *q <= '9'; k++) v = v * 10 + (*q++ - '0');
            out[n++] = char(uint8_t(v));
        } else {
            out[n++] = '\0';  // the character itself is read next as ordinary text
        }
    }
    if (q >= end) return nullptr;
    lua_pushlstring(L, out, n);
    spend_cpu(int64_t(n / 4));
    return q + 1;
}

const char* get_binary_str(lua_State* L, const char* p, const char* end) {
    if (!p || end - p < 8 || memcmp(p, "str", 4) != 0) return nullptr;
    const uint32_t n = read_u32(p + 4);
    if (n > MAX_STR_BLOCK_LENGTH || int64_t(n) > end - (p + 8)) return nullptr;
    lua_pushlstring(L, p + 8, n);
    spend_cpu(n / 4);
    return p + 8 + n;
}

const char* get_userdata(lua_State* L, const char* p, const char* end) {
    if (!p || !starts_with(p, end, "userdata(")) return nullptr;
    const char* q = p + 9;
    if (q < end && *q == '"') q++;
    if (starts_with(q, end, "[gfx]")) {
        const char* e = q;
        while (e < end && *e != '"' && *e != ')') e++;
        if (!create_userdata(L, q, size_t(e - q), 2, 0, 0, nullptr, 0)) return nullptr;
        if (e < end && *e == '"') e++;
        if (e < end && *e == ')') e++;
        return e;
    }
    const char* name_end = find_char(q, end, '"');
    if (!name_end) return nullptr;
    const char* sizes = name_end + 1;
    const char* data = find_char(sizes, end, '"');
    if (!data) return nullptr;
    const int commas = int(std::count(sizes, data, ','));
    const int dims = commas >= 3 ? 2 : 1;
    int64_t size[2] = {1, 1};
    const char* s = sizes;
    for (int d = 0; d < dims; d++) {
        if (s >= data || *s != ',') break;
        s++;
        if (!read_decimal(s, data, &size[d])) break;
    }
    data++;
    const char* data_end = find_char(data, end, '"');
    if (!data_end) return nullptr;
    if (!create_userdata(L, q, size_t(name_end - q), dims, size[0], size[1], data, size_t(data_end - data))) {
        return nullptr;
    }
    const char* after = data_end + 1;
    if (after < end && *after == ')') after++;
    return after;
}

const char* get_b64(lua_State* L, const char* p, const char* end, int depth) {
    if (!p || !starts_with(p, end, "b64:") || depth > MOX_READ_MAX_DEPTH) return nullptr;
    const char* q = p + 4;
    const char* stop = find_char(q, end, '"');
    if (!stop) stop = end;
    const int64_t chars = stop - q;
    const int64_t room = chars / 4 * 3 + 4;
    if (!current_read || !charge(&current_read->budget.b64_decoded, room, MAX_B64_DECODED)) return nullptr;
    char* decoded = hold_block(room);
    if (!decoded) return nullptr;
    base64_decodestate state;
    base64_init_decodestate(&state);
    const int64_t n = base64_decode_block(q, chars, decoded, &state);
    const bool ok = read_nested_document(L, decoded, n, depth + 1);
    release_block(decoded);
    if (!ok) return nullptr;
    spend_cpu(n / 12);
    return stop;
}

const char* get_lz4mox(lua_State* L, const char* p, const char* end, int depth) {
    if (!p || end - p < 12 || memcmp(p, "lz4", 4) != 0 || depth > MOX_READ_MAX_DEPTH) return nullptr;
    const int64_t packed = read_u32(p + 4);
    const int64_t raw = read_u32(p + 8);
    const char* data = p + 12;
    // The packed bytes must lie in the text, and the raw size must be one that those bytes
    // can give and that the system keeps.
    if (packed > end - data || raw > MOX_MAX_TEXT_LENGTH || raw > packed * LZ4_MAX_RATIO + 64) return nullptr;
    // So must all the raw sizes of the document's blocks together.
    if (!current_read || !charge(&current_read->budget.lz4_raw, raw, MOX_MAX_TEXT_LENGTH)) return nullptr;
    char* text = hold_block(raw + 1);
    if (!text) return nullptr;
    const int got = LZ4_decompress_safe(data, text, int(packed), int(raw));
    if (got != raw) {
        release_block(text);
        char line[128];
        snprintf(line, sizeof line, "reading corrupt lz4 value // sizes do not match: %d %d\n", got,
                 int(raw));
        velt_debug(line);
        return nullptr;
    }
    const bool ok = read_nested_document(L, text, got, depth + 1);
    release_block(text);
    if (!ok) return nullptr;
    spend_cpu(got / 12);
    return data + packed;
}

const char* get_table(lua_State* L, const char* p, const char* end, int depth) {
    if (!p || p >= end || depth > MOX_READ_MAX_DEPTH || !lua_checkstack(L, 6)) return nullptr;
    const int top = lua_gettop(L);
    if (!read_table(L, p, end, depth)) {
        lua_settop(L, top);
        return nullptr;
    }
    return p;
}

const char* get_value(lua_State* L, const char* p, const char* end, int depth) {
    if (!p || depth > MOX_READ_MAX_DEPTH || !lua_checkstack(L, 6)) return nullptr;
    spend_cpu(1);
    while (p < end) {
        uint8_t c = uint8_t(*p);
        if ((c >= 1 && c <= 32) || c >= 128) p++;
        else break;
    }
    if (p >= end) return nullptr;
    switch (*p) {
    case '"': return get_string(L, p, end);
    case '{': return get_table(L, p, end, depth);
    case 'b':
        if (starts_with(p, end, "b64:")) return get_b64(L, p, end, depth);
        break;
    case 'f':
        if (starts_with(p, end, "false")) {
            lua_pushboolean(L, 0);
            return p + 5;
        }
        break;
    case 'l':
        if (starts_with(p, end, "lz4", 4)) return get_lz4mox(L, p, end, depth);
        break;
    case 'n':
        if (starts_with(p, end, "nil")) {
            lua_pushnil(L);
            return p + 3;
        }
        break;
    case 'p':
        if (starts_with(p, end, "pxu", 4)) {
            const char* q = get_binary_pxu(L, p, end);
            if (q) spend_cpu(userdata_bytes(static_cast<const userdata_header*>(lua_touserdata(L, -1))) / 4);
            return q;
        }
        break;
    case 's':
        if (starts_with(p, end, "str", 4)) return get_binary_str(L, p, end);
        break;
    case 't':
        if (starts_with(p, end, "true")) {
            lua_pushboolean(L, 1);
            return p + 4;
        }
        break;
    case 'u':
        if (starts_with(p, end, "userdata")) return get_userdata(L, p, end);
        if (starts_with(p, end, "unmox(\"")) {
            const char* q = get_value(L, p + 7, end, depth + 1);
            if (!q) return nullptr;
            if (q < end && *q == '"') q++;
            if (q < end && *q == ')') q++;
            return q;
        }
        break;
    default: break;
    }
    return get_number(L, p, end);
}

int64_t find_metadata_length(const char* text, int64_t length) {
    bool closed;
    return header_span(text, length, &closed);
}

namespace {

struct read_job {
    const char* text;
    int64_t length;
    bool metadata_only;
};

int read_body(lua_State* L) {
    const read_job* job = static_cast<const read_job*>(take_job(L));
    if (!job->metadata_only) return read_document(L, job->text, job->length, 0);
    const char* p = job->text + 4;
    bool closed;
    read_table(L, p, job->text + header_span(job->text, job->length, &closed), 1);
    return 1;
}

// Runs one top-level read as a protected call and frees what it held. A read that runs out
// of memory pushes nothing, as for text that is not valid mox.
int protected_read(lua_State* L, const char* text, int64_t length, bool metadata_only) {
    const int top = lua_gettop(L);
    read_state state;
    state.outer = current_read;
    current_read = &state;
    read_job job{text, length, metadata_only};
    const int status = protected_call(L, read_body, &job, 0);
    current_read = state.outer;
    for (int i = 0; i < state.block_count; i++) free(state.blocks[i]);
    if (status != LUA_OK) {
        lua_settop(L, top);
        return 0;
    }
    return lua_gettop(L) - top;
}

}  // namespace

int destringify_object_metadata(lua_State* L, const char* text, int64_t length) {
    bool closed;
    const int64_t header = header_span(text, length, &closed);
    if (!L || header == 0 || !lua_checkstack(L, 8)) return 0;
    return protected_read(L, text, length, true);
}

int destringify_object_ex(lua_State* L, const char* text, int64_t length, int metadata_only) {
    if (!L) return 0;
    if (metadata_only) return destringify_object_metadata(L, text, length);
    if (!lua_checkstack(L, 4)) return 0;
    return protected_read(L, text, length, false);
}

int destringify_object(lua_State* L, const char* text, int64_t length) {
    return destringify_object_ex(L, text, length, 0);
}

// --- Script functions ---------------------------------------------------------------------------

int lua54_mox(lua_State* L) {
    const int flags = int(q64_intp(L, 2, 0));
    if (lua_gettop(L) < 1) lua_settop(L, 1);
    size_t prefix_length = 0;
    const char* prefix = lua_type(L, 3) == LUA_TSTRING ? lua_tolstring(L, 3, &prefix_length) : nullptr;
    // From here the buffer is this frame's own: the writer never raises, and the push
    // destroys it before any error of its own passes on.
    pbuffer* b = create_buffer_2(256, MOX_BUFFER_TAG);
    if (!b) return 0;
    if ((prefix && !append_bytes(b, prefix, int64_t(prefix_length))) || stringify_object(L, 1, b, flags) < 0) {
        destroy_buffer(b);
        return 0;
    }
    push_bytes_then_destroy(L, b->data, size_t(b->length), b);
    return 1;
}

int lua54_unmox(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    size_t len = 0;
    const char* text = lua_tolstring(L, 1, &len);
    return destringify_object(L, text, int64_t(len));
}

// --- Messages -----------------------------------------------------------------------------------

int mox_send_message(lua_State* L) {
    int type = lua_type(L, 1);
    if (type != LUA_TNUMBER && type != LUA_TSTRING) return 0;
    int is_number = 0;
    lua_Integer id = lua_tointegerx(L, 1, &is_number);
    if (!is_number) {
        lua_Number d = lua_tonumberx(L, 1, &is_number);
        if (!is_number || !(d > -9223372036854775808.0 && d < 9223372036854775808.0)) return 0;
        id = lua_Integer(std::trunc(d));
    }
    if (id == 0) return 0;
    process_record* target = get_process(id);
    if (!target || !lua_istable(L, 2)) return 0;

    const lua_Integer fields[3] = {cproc ? lua_Integer(cproc->id) : 0, lua_Integer(os_get_time()),
                                   cproc ? lua_Integer(cproc->flags) : 0};
    const char* names[3] = {"_from", "_sent_t", "_flags"};
    for (int i = 0; i < 3; i++) {
        lua_pushstring(L, names[i]);
        lua_pushinteger(L, fields[i]);
        lua_rawset(L, 2);
    }

    pbuffer* b = create_buffer_2(256, BUFFER_TAG_MESSAGE_TEXT);
    if (b && stringify_object(L, 2, b, MOX_STORE_FLAGS) >= 0) {
        send_process_message(target, b);
        spend_cpu(b->length / 8);
    }
    destroy_buffer(b);
    return 0;
}

int mox_read_message(lua_State* L) {
    if (!cproc) return 0;
    // The message is read into a buffer of its own: the shared one could be refilled by a
    // finalizer that reads messages while this one is parsed.
    pbuffer* b = create_buffer_2(0, BUFFER_TAG_MESSAGE);
    int n = 0;
    if (b && read_process_message(cproc, b)) {
        spend_cpu(b->length / 8);
        n = destringify_object(L, reinterpret_cast<const char*>(b->data), b->length);  // never raises
    }
    destroy_buffer(b);
    return n;
}

// Messages travel as mox text: the serialiser builds and reads them.
int lua54_send_message(lua_State* L) { return mox_send_message(L); }

int lua54_read_message(lua_State* L) { return mox_read_message(L); }
