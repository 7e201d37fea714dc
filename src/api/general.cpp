// General script functions: table helpers, characters, the tokenizer, random numbers,
// maths, splitting, path pieces, the shared clipboard and digests.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "base/xoshiro.h"
#include "kernel/api.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/delta.h"

// --- Random numbers -------------------------------------------------------------------------------

static uint32_t entropy_word = 0x011848D4;
static std::string userland_clipboard;

uint64_t xoshiro256ss(uint64_t* s) { return xoshiro_next(s); }

static uint64_t fallback_rng_state[4] = {1, 2, 3, 4};

static uint64_t* current_rng() { return cproc ? cproc->rng_state : fallback_rng_state; }

uint64_t xoshiro256ss_rand() { return xoshiro256ss(current_rng()); }

void xoshiro256ss_seed(uint64_t* s, uint64_t seed) { xoshiro_seed(s, seed); }

void xoshiro256ss_srand(uint64_t seed) { xoshiro256ss_seed(current_rng(), seed); }

int lua54_srand(lua_State* L) {
    uint32_t e = entropy_word;
    e = ((e >> 16) & 255) ^ (e << 7) ^ 0x56DF7780u;
    e = (e + 331u) * (e + 42863u);
    entropy_word = e;
    if (lua_type(L, 1) == LUA_TNUMBER || (lua_type(L, 1) == LUA_TSTRING && lua_isnumber(L, 1))) {
        xoshiro256ss_srand((uint64_t)q64_intp(L, 1, 0));
    } else {
        uint64_t state_bits = (uint64_t)(uintptr_t)L;
        int64_t pid = cproc ? cproc->id : 0;
        uint64_t seed = (((uint64_t)time(nullptr) + state_bits) * 3001u ^ ((uint64_t)pid << 5)) |
                        (uint64_t)(int64_t)(int32_t)e;
        xoshiro256ss_srand(seed);
    }
    return 0;
}

int lua54_rnd(lua_State* L) {
    spend_cpu(4);
    if (lua_type(L, 1) == LUA_TTABLE) {
        lua_Unsigned n = lua_rawlen(L, 1);
        if (n == 0) return 0;
        uint64_t r = xoshiro256ss_rand();
        lua_rawgeti(L, 1, (lua_Integer)(r % n) + 1);
        return 1;
    }
    double x = lua_isnumber(L, 1) ? lua_tonumber(L, 1) : 1.0;
    uint64_t r = xoshiro256ss_rand();
    lua_pushnumber(L, x * (double)(r & 0xFFFFFFFFu) * (1.0 / 4294967296.0));
    return 1;
}

// --- Table helpers --------------------------------------------------------------------------------

int lua54_add(lua_State* L) {
    int nargs = lua_gettop(L);
    if (nargs > 3) return luaL_error(L, "wrong number of arguments to 'insert'");
    if (nargs < 2 || lua_type(L, 1) != LUA_TTABLE) return 0;
    lua_Integer n = (lua_Integer)lua_rawlen(L, 1);
    lua_Integer pos = n + 1;
    if (nargs == 3) {
        pos = luaL_checkinteger(L, 3);
        if ((lua_Unsigned)pos - 1u >= (lua_Unsigned)n + 1u) return luaL_argerror(L, 2, "position out of bounds");
        charge_native_work_or_raise(L, n + 1 - pos);
        for (lua_Integer i = n + 1; i > pos; i--) {
            lua_rawgeti(L, 1, i - 1);
            lua_rawseti(L, 1, i);
        }
    }
    lua_pushvalue(L, 2);
    lua_rawseti(L, 1, pos);
    lua_pushvalue(L, 2);
    return 1;
}

int lua54_del(lua_State* L) {
    if (lua_type(L, 1) != LUA_TTABLE) return 0;
    lua_Integer n = (lua_Integer)lua_rawlen(L, 1);
    charge_native_work_or_raise(L, n);
    for (lua_Integer i = 1; i <= n; i++) {
        lua_rawgeti(L, 1, i);
        if (lua_compare(L, -1, 2, LUA_OPEQ)) {
            for (lua_Integer j = i; j < n; j++) {
                lua_rawgeti(L, 1, j + 1);
                lua_rawseti(L, 1, j);
            }
            lua_pushnil(L);
            lua_rawseti(L, 1, n);
            return 1;
        }
        lua_pop(L, 1);
    }
    return 0;
}

int lua54_deli(lua_State* L) {
    if (lua_type(L, 1) != LUA_TTABLE) return 0;
    lua_Integer n = (lua_Integer)lua_rawlen(L, 1);
    lua_Integer i = lua_isnoneornil(L, 2) ? (lua_isnone(L, 2) ? n : 0) : q64_intp(L, 2, 0);
    if (i < 1 || i > n) return 0;
    charge_native_work_or_raise(L, n - i);
    lua_rawgeti(L, 1, i);
    for (lua_Integer j = i; j < n; j++) {
        lua_rawgeti(L, 1, j + 1);
        lua_rawseti(L, 1, j);
    }
    lua_pushnil(L);
    lua_rawseti(L, 1, n);
    return 1;
}

int lua54_count(lua_State* L) {
    if (lua_type(L, 1) != LUA_TTABLE) return 0;
    lua_Integer n = (lua_Integer)lua_rawlen(L, 1);
    if (lua_gettop(L) < 2) {
        spend_cpu(1);
        lua_pushinteger(L, n);
        return 1;
    }
    charge_native_work_or_raise(L, n);
    lua_Integer c = 0;
    for (lua_Integer i = 1; i <= n; i++) {
        lua_rawgeti(L, 1, i);
        if (lua_compare(L, -1, 2, LUA_OPEQ)) c++;
        lua_pop(L, 1);
    }
    lua_pushinteger(L, c);
    return 1;
}

// --- Characters -------------------------------------------------------------------------------

int lua54_chr(lua_State* L) {
    int n = lua_gettop(L);
    char* s = scratch_bytes((size_t)n);
    if (!s) return 0;
    for (int i = 0; i < n; i++) s[i] = (char)(uint8_t)(q64_intp(L, i + 1, 0) & 255);
    spend_cpu(n);
    lua_pushlstring(L, s, (size_t)n);
    return 1;
}

static int64_t trunc_arg(lua_State* L, int idx, int64_t dflt) {
    if (lua_isinteger(L, idx)) return lua_tointeger(L, idx);
    if (!lua_isnumber(L, idx)) return dflt;
    double d = std::trunc(lua_tonumber(L, idx));
    if (!(d > -9.2e18 && d < 9.2e18)) return dflt;
    return (int64_t)d;
}

int lua54_ord(lua_State* L) {
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    if (!s) return 0;
    int64_t pos = trunc_arg(L, 2, 1);
    int64_t count = trunc_arg(L, 3, 1);
    if (count <= 0 || count > 65536) return 0;
    luaL_checkstack(L, (int)count, "too many results");
    for (int64_t i = 0; i < count; i++) {
        // pos + i, formed without overflow: only positions 1..len exist.
        bool inside = pos >= 1 - i && pos <= (int64_t)len - i;
        if (inside) lua_pushinteger(L, (uint8_t)s[pos + i - 1]);
        else lua_pushnil(L);
    }
    spend_cpu(count);
    return (int)count;
}

static bool is_identifier_char(uint8_t c) {
    return c == 0x1E || c == 0x1F || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') || c >= 0x80;
}

static bool is_alphanumeric_char(uint8_t c) { return is_identifier_char(c) || (c >= '0' && c <= '9'); }

// Looks for the end of a long bracket. Returns 0 when the text does not open one (with a negative
// level), 2 when it closes (length up to and including the close), 1 when it runs to the end.
int find_multiline_end(const char* text, size_t len, int level, size_t* out_length, int* out_level) {
    size_t i = 0;
    if (level < 0) {
        if (len < 2 || text[0] != '[') return 0;
        i = 1;
        int eq = 0;
        while (i < len && text[i] == '=' && eq < 60) {
            eq++;
            i++;
        }
        if (i >= len || text[i] != '[') return 0;
        i++;
        level = eq;
    }
    if (out_level) *out_level = level;
    if (level > 64) {
        // No close can be that long: the bracket runs to the end.
        *out_length = len;
        return 1;
    }
    for (; i < len; i++) {
        if (text[i] != ']') continue;
        size_t j = i + 1;
        int eq = 0;
        while (j < len && text[j] == '=' && eq < level) {
            eq++;
            j++;
        }
        if (eq == level && j < len && text[j] == ']') {
            *out_length = j + 1;
            return 2;
        }
    }
    *out_length = len;
    return 1;
}

int lua54_tokenoid(lua_State* L) {
    int t = lua_type(L, 1);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    int64_t pos = lua_isnumber(L, 2) ? trunc_arg(L, 2, 1) : 1;
    int64_t state = q64_intp(L, 3, 0);
    if (pos < 1 || pos > (int64_t)len) return 0;
    const char* p = s + pos - 1;
    size_t left = len - (size_t)(pos - 1);
    size_t tok = 1;
    int kind = 5;
    int64_t new_state = 0;
    if (state & 0xF00) {
        size_t n;
        int lvl;
        int r = find_multiline_end(p, left, (int)(state & 0xFF), &n, &lvl);
        tok = n;
        kind = (int)(state >> 8);
        new_state = r == 2 ? 0 : state;
    } else {
        uint8_t c = (uint8_t)p[0];
        size_t n;
        int lvl;
        if (c == '\t') {
            kind = 0;
        } else if (c == ' ') {
            while (tok < left && p[tok] == ' ') tok++;
            kind = 0;
        } else if (c == '[' && find_multiline_end(p, left, -1, &n, &lvl) != 0) {
            int r = find_multiline_end(p, left, -1, &n, &lvl);
            tok = n;
            kind = 4;
            if (r == 1) new_state = 0x400 + lvl;
        } else if (is_identifier_char(c)) {
            while (tok < left && is_alphanumeric_char((uint8_t)p[tok])) tok++;
            kind = 1;
        } else if (c >= '0' && c <= '9') {
            while (tok < left) {
                char d = p[tok];
                bool ok = (d >= '0' && d <= '9') || d == '.' || (tok == 1 && (d == 'b' || d == 'x')) ||
                          (tok >= 2 && d >= 'a' && d <= 'f');
                if (!ok) break;
                tok++;
            }
            kind = 2;
        } else if (c == '"') {
            while (tok < left) {
                if (p[tok] == '\\' && tok + 1 < left && (p[tok + 1] == '\\' || p[tok + 1] == '"')) {
                    tok += 2;
                    continue;
                }
                if (p[tok++] == '"') break;
            }
            kind = 4;
        } else if (c == '-' && left >= 2 && p[1] == '-') {
            kind = 3;
            int r = left > 2 ? find_multiline_end(p + 2, left - 2, -1, &n, &lvl) : 0;
            if (r != 0) {
                tok = 2 + n;
                if (r == 1) new_state = 0x300 + lvl;
            } else {
                tok = 2;
                while (tok < left && p[tok] != '\n') tok++;
            }
        }
    }
    spend_cpu((int64_t)tok);
    lua_pushlstring(L, p, tok);
    lua_pushinteger(L, pos + (int64_t)tok);
    lua_pushinteger(L, kind);
    if (new_state) {
        lua_pushinteger(L, new_state);
        return 4;
    }
    return 3;
}

// --- Maths ----------------------------------------------------------------------------------------

static double num_arg(lua_State* L, int idx) { return lua_isnumber(L, idx) ? lua_tonumber(L, idx) : 0.0; }

int lua54_abs(lua_State* L) {
    if (lua_isinteger(L, 1)) {
        lua_Integer v = lua_tointeger(L, 1);
        // The smallest integer has no opposite: it gives the largest.
        lua_pushinteger(L, v == LUA_MININTEGER ? LUA_MAXINTEGER : v < 0 ? -v : v);
    } else {
        lua_pushnumber(L, std::fabs(num_arg(L, 1)));
    }
    return 1;
}

int lua54_sgn(lua_State* L) {
    lua_pushinteger(L, lua_isnumber(L, 1) && lua_tonumber(L, 1) < 0 ? -1 : 1);
    return 1;
}

// Integer rules apply when a is an integer and every other argument is an integer or no number.
static bool integer_args(lua_State* L, int n) {
    if (!lua_isinteger(L, 1)) return false;
    for (int i = 2; i <= n; i++) {
        if (lua_type(L, i) == LUA_TNUMBER && !lua_isinteger(L, i)) return false;
    }
    return true;
}

int lua54_max(lua_State* L) {
    if (integer_args(L, 2)) {
        lua_Integer a = lua_tointeger(L, 1), b = q64_intp(L, 2, 0);
        lua_pushinteger(L, a > b ? a : b);
    } else {
        double a = num_arg(L, 1), b = num_arg(L, 2);
        lua_pushnumber(L, a > b ? a : b);
    }
    return 1;
}

int lua54_min(lua_State* L) {
    if (integer_args(L, 2)) {
        lua_Integer a = lua_tointeger(L, 1), b = q64_intp(L, 2, 0);
        lua_pushinteger(L, a < b ? a : b);
    } else {
        double a = num_arg(L, 1), b = num_arg(L, 2);
        lua_pushnumber(L, a < b ? a : b);
    }
    return 1;
}

template <typename T>
static T middle(T a, T b, T c) {
    if (a < b && a < c) return b < c ? b : c;
    if (b < a && b < c) return a < c ? a : c;
    return a < b ? a : b;
}

int lua54_mid(lua_State* L) {
    if (integer_args(L, 3)) {
        lua_pushinteger(L, middle<lua_Integer>(lua_tointeger(L, 1), q64_intp(L, 2, 0), q64_intp(L, 3, 0)));
    } else {
        lua_pushnumber(L, middle<double>(num_arg(L, 1), num_arg(L, 2), num_arg(L, 3)));
    }
    return 1;
}

int lua54_sqrt(lua_State* L) {
    spend_cpu(6);
    lua_pushnumber(L, std::sqrt(num_arg(L, 1)));
    return 1;
}

static const double PI_APPROX = 3.141562;

int lua54_cos(lua_State* L) {
    double x = num_arg(L, 1);
    double m = std::fmod(x, 1.0);
    if (m == 0.0) lua_pushnumber(L, 1.0);
    else if (m == 0.25) lua_pushnumber(L, 0.0);
    else if (m == 0.5) lua_pushnumber(L, -1.0);
    else if (m == 0.75) lua_pushnumber(L, 0.0);
    else lua_pushnumber(L, std::cos(x * PI_APPROX + x * PI_APPROX));
    return 1;
}

int lua54_sin(lua_State* L) {
    double x = num_arg(L, 1);
    double m = std::fmod(x, 1.0);
    if (m == 0.0) lua_pushnumber(L, 0.0);
    else if (m == 0.25) lua_pushnumber(L, -1.0);
    else if (m == 0.5) lua_pushnumber(L, 0.0);
    else if (m == 0.75) lua_pushnumber(L, 1.0);
    else lua_pushnumber(L, std::sin(2.0 * (x * -PI_APPROX)));
    return 1;
}

int lua54_atan2(lua_State* L) {
    lua_pushnumber(L, std::atan2(-num_arg(L, 2), num_arg(L, 1)) / 6.283124);
    return 1;
}

static lua_Integer double_to_int(double d) {
    if (!(d > -9.2233720368547758e18 && d < 9.2233720368547758e18)) return 0;
    return (lua_Integer)d;
}

int lua54_flr(lua_State* L) {
    if (lua_isinteger(L, 1)) lua_pushinteger(L, lua_tointeger(L, 1));
    else lua_pushinteger(L, double_to_int(std::floor(num_arg(L, 1))));
    return 1;
}

int lua54_ceil(lua_State* L) {
    if (lua_isinteger(L, 1)) lua_pushinteger(L, lua_tointeger(L, 1));
    else lua_pushinteger(L, double_to_int(std::ceil(num_arg(L, 1))));
    return 1;
}

// --- Strings and paths ----------------------------------------------------------------------------

static bool text_arg(lua_State* L, int idx) {
    int t = lua_type(L, idx);
    return t == LUA_TSTRING || t == LUA_TNUMBER;
}

static void push_piece(lua_State* L, const char* p, size_t n, bool convert) {
    char* piece = convert && !memchr(p, 0, n) ? scratch_bytes(n + 1) : nullptr;
    if (piece) {
        memcpy(piece, p, n);
        piece[n] = 0;
        size_t used = lua_stringtonumber(L, piece);
        if (used == n + 1) return;
        if (used) lua_pop(L, 1);
    }
    lua_pushlstring(L, p, n);
}

int lua54_split(lua_State* L) {
    if (!text_arg(L, 1)) return 0;
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    bool convert = lua_isnone(L, 3) ? true : lua_toboolean(L, 3) != 0;
    charge_native_work_or_raise(L, (int64_t)len);
    lua_newtable(L);
    lua_Integer k = 1;
    if (lua_type(L, 2) == LUA_TNUMBER) {
        int64_t n = q64_intp(L, 2, 1);
        if (n > (int64_t)len) n = (int64_t)len;
        if (n < 1) n = 1;
        for (size_t i = 0; i < len; i += (size_t)n) {
            size_t m = std::min<size_t>((size_t)n, len - i);
            push_piece(L, s + i, m, convert);
            lua_rawseti(L, -2, k++);
        }
        return 1;
    }
    size_t seplen = 1;
    const char* sep = ",";
    if (lua_type(L, 2) == LUA_TSTRING) sep = lua_tolstring(L, 2, &seplen);
    if (seplen == 0) {
        for (size_t i = 0; i < len; i++) {
            if (convert && s[i] >= '0' && s[i] <= '9') lua_pushnumber(L, (double)(s[i] - '0'));
            else lua_pushlstring(L, s + i, 1);
            lua_rawseti(L, -2, k++);
        }
        return 1;
    }
    // The separators as a set of byte values, so that a long set costs no more per byte.
    bool is_sep[256] = {};
    for (size_t i = 0; i < seplen; i++) is_sep[(uint8_t)sep[i]] = true;
    size_t start = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i == len || is_sep[(uint8_t)s[i]]) {
            push_piece(L, s + start, i - start, convert);
            lua_rawseti(L, -2, k++);
            start = i + 1;
        }
    }
    return 1;
}

static bool is_ext_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == 'Z'; }

int lua54_ext(lua_State* L) {
    if (!text_arg(L, 1)) return 0;
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    const char* hash = nullptr;
    for (size_t i = 0; i < len; i++) {
        if (s[i] == '#') hash = s + i;
    }
    size_t end = hash ? (size_t)(hash - s) : len;
    size_t i = end;
    while (i > 0 && is_ext_char(s[i - 1])) i--;
    if (i == end || i < 2 || s[i - 1] != '.') {
        lua_pushnil(L);
        return 1;
    }
    size_t dot = i - 1;
    size_t j = dot;
    while (j > 0 && is_ext_char(s[j - 1])) j--;
    if (j < dot && j >= 1 && s[j - 1] == '.') {
        lua_pushlstring(L, s + j, end - j);
    } else {
        lua_pushlstring(L, s + i, end - i);
    }
    return 1;
}

int lua54_path(lua_State* L) {
    if (!text_arg(L, 1)) return 0;
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    const char* h = (const char*)memchr(s, '#', len);
    lua_pushlstring(L, s, h ? (size_t)(h - s) : len);
    return 1;
}

int lua54_hloc(lua_State* L) {
    if (!text_arg(L, 1)) return 0;
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    const char* h = (const char*)memchr(s, '#', len);
    if (h) lua_pushlstring(L, h + 1, len - (size_t)(h - s) - 1);
    else lua_pushnil(L);
    return 1;
}

void set_userland_clipboard_text(const char* text) {
    if (text) userland_clipboard = text;
}

int lua54_get_userland_clipboard_text(lua_State* L) {
    lua_pushlstring(L, userland_clipboard.data(), userland_clipboard.size());
    return 1;
}

int lua54_set_userland_clipboard_text(lua_State* L) {
    if (lua_type(L, 1) == LUA_TSTRING) {
        size_t len;
        const char* s = lua_tolstring(L, 1, &len);
        userland_clipboard.assign(s, len);
    }
    return 0;
}

int lua54_strindex(lua_State* L) {
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    if (!s || !lua_isnumber(L, 2)) {
        lua_pushnil(L);
        return 1;
    }
    int64_t i = q64_intp(L, 2, 0);
    if (i < 1 || i > (int64_t)len) lua_pushnil(L);
    else lua_pushlstring(L, s + i - 1, 1);
    return 1;
}

// --- Digests ---------------------------------------------------------------------------------------

void md5(const uint8_t* bytes, size_t length, char* out) {
    static const uint32_t K[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    static const int R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                              5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                              4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                              6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    uint64_t bit_length = (uint64_t)length * 8;
    size_t total = ((length + 8) / 64 + 1) * 64;
    for (size_t block = 0; block < total; block += 64) {
        uint8_t chunk[64];
        for (size_t i = 0; i < 64; i++) {
            size_t at = block + i;
            if (at < length) chunk[i] = bytes[at];
            else if (at == length) chunk[i] = 0x80;
            else if (at >= total - 8) chunk[i] = (uint8_t)(bit_length >> (8 * (at - (total - 8))));
            else chunk[i] = 0;
        }
        uint32_t w[16];
        for (int i = 0; i < 16; i++)
            w[i] = (uint32_t)chunk[i * 4] | (uint32_t)chunk[i * 4 + 1] << 8 | (uint32_t)chunk[i * 4 + 2] << 16 |
                   (uint32_t)chunk[i * 4 + 3] << 24;
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; i++) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t tmp = d;
            d = c;
            c = b;
            uint32_t x = a + f + K[i] + w[g];
            b = b + ((x << R[i]) | (x >> (32 - R[i])));
            a = tmp;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    static const char* hex = "0123456789abcdef";
    for (int i = 0; i < 16; i++) {
        uint8_t byte = (uint8_t)(h[i / 4] >> (8 * (i % 4)));
        out[i * 2] = hex[byte >> 4];
        out[i * 2 + 1] = hex[byte & 15];
    }
    out[32] = 0;
}

int lua54_md5(lua_State* L) {
    if (!text_arg(L, 1)) return 0;
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    charge_native_work_or_raise(L, (int64_t)(len / 2));
    char out[33];
    md5((const uint8_t*)s, len, out);
    lua_pushstring(L, out);
    return 1;
}

int lua54_crc(lua_State* L) {
    if (!text_arg(L, 1)) return 0;
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    charge_native_work_or_raise(L, (int64_t)(len / 8));
    lua_pushinteger(L, crc32b((const uint8_t*)s, len));
    return 1;
}


// --- Host console -----------------------------------------------------------------------------------

int lua54_printh(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    size_t len;
    const char* s = lua_tolstring(L, 1, &len);
    fwrite(s, 1, len, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    return 0;
}
