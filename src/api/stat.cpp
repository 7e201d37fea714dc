// Time, date and stat: the process clock, calendar texts and tables, and the numeric
// status query through which scripts read the state of every subsystem.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "audio/mudo.h"
#include "gfx/video.h"
#include "kernel/api.h"
#include "base/machine.h"
#include "base/memmap.h"
#include "kernel/memory.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "net/sockets.h"
#include "platform/audio_device.h"
#include "platform/window.h"
#include "storage/pdisk.h"

namespace {

// ---- time and date ---------------------------------------------------------------------------

constexpr const char* DATE_DEFAULT_FORMAT = "!%Y-%m-%d %H:%M:%S";
// Single-letter conversions, then ("||") the two-character E and O forms.
constexpr const char* DATE_CONVERSIONS =
    "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%||EcECExEXEyEYOdOeOHOIOmOMOSOuOUOVOwOWOy";
constexpr size_t DATE_CONVERSION_MAX = 250;  // room for one converted specifier
constexpr size_t DATE_STRING_LENGTH = 19;    // "YYYY-MM-DD HH:MM:SS"

// The decimal value of n characters, each taken as a digit as it stands.
int digits_at(const char* s, int first, int n) {
    int v = 0;
    for (int i = 0; i < n; i++) v = v * 10 + (s[first + i] - '0');
    return v;
}

// A UTC date in the fixed layout, converted to seconds since the epoch.
time_t time_from_date_string(lua_State* L, int arg) {
    size_t len = 0;
    const char* s = lua_tolstring(L, arg, &len);
    if (len < DATE_STRING_LENGTH) luaL_argerror(L, arg, "date text shorter than 19 characters");
    struct tm tm_utc;
    memset(&tm_utc, 0, sizeof(tm_utc));
    tm_utc.tm_year = digits_at(s, 0, 4) - 1900;
    tm_utc.tm_mon = digits_at(s, 5, 2) - 1;
    tm_utc.tm_mday = digits_at(s, 8, 2);
    tm_utc.tm_hour = digits_at(s, 11, 2);
    tm_utc.tm_min = digits_at(s, 14, 2);
    tm_utc.tm_sec = digits_at(s, 17, 2);
    return timegm(&tm_utc);
}

// Copies the conversion at conv (after its '%') into spec; raises the argument error for
// one that is not in the list.
const char* take_conversion(lua_State* L, const char* conv, ptrdiff_t conv_len, char* spec) {
    const char* option = DATE_CONVERSIONS;
    int length = 1;
    for (; *option != '\0' && length <= conv_len; option += length) {
        if (*option == '|') {
            length++;
        } else if (memcmp(conv, option, length) == 0) {
            memcpy(spec, conv, length);
            spec[length] = '\0';
            return conv + length;
        }
    }
    luaL_argerror(L, 1, lua_pushfstring(L, "invalid conversion specifier '%%%s'", conv));
    return conv;
}

void set_date_field(lua_State* L, const char* key, int value, int delta) {
    lua_pushinteger(L, (lua_Integer)value + delta);
    lua_setfield(L, -2, key);
}

void push_date_table(lua_State* L, const struct tm* t) {
    lua_createtable(L, 0, 9);
    set_date_field(L, "year", t->tm_year, 1900);
    set_date_field(L, "month", t->tm_mon, 1);
    set_date_field(L, "day", t->tm_mday, 0);
    set_date_field(L, "hour", t->tm_hour, 0);
    set_date_field(L, "min", t->tm_min, 0);
    set_date_field(L, "sec", t->tm_sec, 0);
    set_date_field(L, "yday", t->tm_yday, 1);
    set_date_field(L, "wday", t->tm_wday, 1);
    if (t->tm_isdst >= 0) {
        lua_pushboolean(L, t->tm_isdst);
        lua_setfield(L, -2, "isdst");
    }
}

// ---- stat --------------------------------------------------------------------------------------

constexpr int AUDIO_CHANNELS = 16;
constexpr int CACHED_CHANNEL_VALUES = 19;      // state values 0..18 of each channel
constexpr int32_t SAMPLE_BUFFER_LENGTH = 65536;  // 32,768 stereo frames

enum stat_counter { COUNT_CACHE_REFRESH = 0, COUNT_CHANNEL_QUERY, COUNT_BLOCK_COPY, COUNT_MUSIC_QUERY };

// What the audio owner last read, refreshed at most once per tick of its clock.
struct audio_cache {
    int64_t id;
    lua_State* L;
    uint64_t created_ms;
    int64_t clock_frames;
    bool valid;
};

struct stat_state {
    int64_t unique_counter;  // lives for the whole run, across reboots
    audio_cache channels_stamp;
    int32_t channel_value[AUDIO_CHANNELS][CACHED_CHANNEL_VALUES];
    audio_cache active_stamp;
    uint32_t active_channels;
    int16_t samples[SAMPLE_BUFFER_LENGTH];
};

stat_state st;

bool cache_current(const audio_cache& c, const process_record* p) {
    return c.valid && c.id == p->id && c.L == p->L && c.created_ms == p->created_ms &&
           c.clock_frames == p->clock_frames;
}

void stamp_cache(audio_cache& c, const process_record* p) {
    c.id = p->id;
    c.L = p->L;
    c.created_ms = p->created_ms;
    c.clock_frames = p->clock_frames;
    c.valid = true;
}

bool is_audio_owner(const process_record* p) { return p && p->id == app.audio_owner; }

double per_budget(double cycles) { return cycles / (double)frame_budget(); }

// Writes count signed 16-bit samples into the current process's memory from address,
// through the address rule: addresses wrap at 16 MB and pages are touched as by poke2.
void write_samples(int64_t address, const int16_t* samples, int64_t count) {
    for (int64_t i = 0; i < count; i++) poke2((int64_t)((uint64_t)address + 2 * (uint64_t)i), samples[i]);
}

// State value a (0..18) of a channel from the owner's cache.
double cached_channel_value(process_record* p, int channel, int64_t a) {
    if (a < 0) return -1;
    if (!cache_current(st.channels_stamp, p)) {
        if (audio_op_start(p->id, 0) != 0) return -1;
        for (int c = 0; c < AUDIO_CHANNELS; c++)
            for (int v = 0; v < CACHED_CHANNEL_VALUES; v++)
                st.channel_value[c][v] = mudo_get_channel_state(c, v, nullptr);
        audio_op_end();
        app.stat_counters[COUNT_CACHE_REFRESH]++;
        stamp_cache(st.channels_stamp, p);
    }
    return st.channel_value[channel][a];
}

// Value a (19 and above) of a channel read at once; sample values go to memory from b.
double direct_channel_value(process_record* p, int channel, int64_t a, int64_t b) {
    int32_t selector = a > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)a;
    if (audio_op_start(p->id, 0) != 0) return -1;
    int32_t n = mudo_get_channel_state(channel, selector, st.samples);
    audio_op_end();
    app.stat_counters[COUNT_CHANNEL_QUERY]++;
    if (n > 0 && selector >= 19 && selector <= 27) {
        int64_t count = selector == 19 ? 2 * (int64_t)n : n;
        if (count > SAMPLE_BUFFER_LENGTH) count = SAMPLE_BUFFER_LENGTH;
        write_samples(b, st.samples, count);
    }
    return n;
}

int64_t active_channels(process_record* p) {
    if (!cache_current(st.active_stamp, p)) {
        if (audio_op_start(p->id, 0) != 0) return -1;
        st.active_channels = mudo_get_active_channels();
        audio_op_end();
        app.stat_counters[COUNT_CACHE_REFRESH]++;
        stamp_cache(st.active_stamp, p);
    }
    return st.active_channels;
}

// The last mixed block into memory from b; its frame count.
double copy_mixed_block(process_record* p, int64_t b) {
    if (audio_op_start(p->id, 0) != 0) return -1;
    int32_t n = mudo_get_channel_state(-1, -1, st.samples);
    audio_op_end();
    app.stat_counters[COUNT_BLOCK_COPY]++;
    if (n > 0) {
        int64_t count = std::min<int64_t>(2 * (int64_t)n, SAMPLE_BUFFER_LENGTH);
        write_samples(b, st.samples, count);
    }
    // Charged like every costly call, at least one cycle even for a block of no frames.
    spend_cpu(std::max<int32_t>(n, 0) / 2);
    return n;
}

int64_t music_state(process_record* p, int32_t selector) {
    if (audio_op_start(p->id, 0) != 0) return -1;
    int32_t v = mudo_get_music_state(selector);
    audio_op_end();
    app.stat_counters[COUNT_MUSIC_QUERY]++;
    return v;
}

// The codes 400 to 499; pushes one result.
void push_audio_stat(lua_State* L, process_record* p, int64_t code, int64_t a, int64_t b) {
    if (code == 498) {
        os_lock_audio();
        uint32_t playing = mudo_anything_is_playing();
        os_unlock_audio();
        lua_pushinteger(L, playing);
        return;
    }
    if (code == 499) {
        lua_pushnumber(L, (double)app.audio_owner);
        return;
    }
    bool audio_code = code <= 415 || (code >= 464 && code <= 467);
    if (!audio_code || !is_audio_owner(p)) {
        lua_pushnumber(L, -1);
        return;
    }
    if (code <= 415) {
        int channel = (int)(code - 400);
        lua_pushnumber(L, a < CACHED_CHANNEL_VALUES ? cached_channel_value(p, channel, a)
                                                    : direct_channel_value(p, channel, a, b));
    } else if (code == 464) {
        lua_pushinteger(L, active_channels(p));
    } else if (code == 465) {
        lua_pushnumber(L, copy_mixed_block(p, b));
    } else {
        lua_pushinteger(L, music_state(p, code == 466 ? 0 : 1));
    }
}

}  // namespace

int lua54_time(lua_State* L) {
    lua_pushnumber(L, cproc ? (double)cproc->clock_frames / 60.0 : 0.0);
    return 1;
}

int lua54_date(lua_State* L) {
    size_t format_len = 0;
    const char* s = luaL_optlstring(L, 1, DATE_DEFAULT_FORMAT, &format_len);
    const char* end = s + format_len;

    time_t t;
    if (lua_isnoneornil(L, 2)) t = time(nullptr);
    else if (lua_type(L, 2) == LUA_TSTRING) t = time_from_date_string(L, 2);
    else t = (time_t)luaL_checkinteger(L, 2);
    if (!lua_isnoneornil(L, 3)) {
        lua_Integer delta = luaL_checkinteger(L, 3);
        int64_t sum = 0;
        if (__builtin_add_overflow((int64_t)t, (int64_t)delta, &sum))
            return luaL_error(L, "time result cannot be represented in this installation");
        t = (time_t)sum;
    }
    if (t == (time_t)-1) return luaL_error(L, "time result cannot be represented in this installation");

    struct tm tm_out;
    struct tm* tmp;
    if (s < end && *s == '!') {
        tmp = gmtime_r(&t, &tm_out);
        s++;
    } else {
        tmp = localtime_r(&t, &tm_out);
    }
    if (!tmp) return luaL_error(L, "date result cannot be represented in this installation");

    if (end - s == 2 && s[0] == '*' && s[1] == 't') {
        push_date_table(L, tmp);
        return 1;
    }
    char spec[4] = {'%', 0, 0, 0};
    luaL_Buffer out;
    luaL_buffinit(L, &out);
    while (s < end) {
        if (*s != '%') {
            luaL_addchar(&out, *s++);
            continue;
        }
        s++;
        s = take_conversion(L, s, end - s, spec + 1);
        char* room = luaL_prepbuffsize(&out, DATE_CONVERSION_MAX);
        size_t n = strftime(room, DATE_CONVERSION_MAX, spec, tmp);
        luaL_addsize(&out, n);
    }
    luaL_pushresult(&out);
    return 1;
}

int lua54_stat(lua_State* L) {
    int64_t code = q64_intp(L, 1, 0);
    int64_t a = q64_intp(L, 2, 0);
    int64_t b = q64_intp(L, 3, 0);
    process_record* p = cproc;

    if (code >= 400 && code <= 499) {
        push_audio_stat(L, p, code, a, b);
        return 1;
    }
    if (code >= 150 && code <= 153) {
        lua_pushstring(L, "");
        return 1;
    }
    switch (code) {
    case 0:
        if (!p) break;
        lua_gc(L, LUA_GCCOLLECT);
        lua_pushnumber(L, (double)(p->heap_bytes + p->page_bytes - p->heap_baseline + PROCESS_MEMORY_SLACK));
        return 1;
    case 1:
        lua_pushnumber(L, per_budget((double)cpu_cycles + (p ? (double)p->flip_cycles : 0.0)));
        return 1;
    case 3: {
        lua_gc(L, LUA_GCCOLLECT);
        double kb = lua_gc(L, LUA_GCCOUNT);
        double rest = lua_gc(L, LUA_GCCOUNTB);
        lua_pushnumber(L, kb * 1024 + rest);
        return 1;
    }
    case 5:
        lua_pushinteger(L, 24);
        lua_pushstring(L, ORVALUNE_VERSION);
        return 2;
    case 7: {
        if (!p) break;
        double fps = p->fps ? (double)p->fps : 60.0;
        lua_pushnumber(L, app.battery_saver_active ? fps / 2 : fps);
        return 1;
    }
    case 40:
        lua_pushnumber(L, p && p->sandboxed ? 0 : count_sockets(0));
        return 1;
    case 41:
        lua_pushnumber(L, p ? count_sockets(p->id) : 0);
        return 1;
    case 42:
        lua_pushnumber(L, p && p->sandboxed ? 0 : count_sockbufs(0));
        return 1;
    case 43:
        lua_pushnumber(L, p ? count_sockbufs(p->id) : 0);
        return 1;
    case 86:
        lua_pushnumber(L, (double)time(nullptr));
        return 1;
    case 87:
        tzset();
        lua_pushnumber(L, (double)timezone);
        return 1;
    case 101:
        lua_pushnil(L);
        return 1;
    case 301:
        lua_pushnumber(L, per_budget(get_total_frame_cycles()));
        return 1;
    case 302: {
        char name[64];
        if (a >= 0 && a <= 511 && os_key_from_scancode((int)a, name, sizeof(name))) lua_pushstring(L, name);
        else lua_pushnil(L);
        return 1;
    }
    case 303:
        lua_pushnumber(L, (double)app.frames_run);
        return 1;
    case 304:
        lua_pushnumber(L, per_budget((double)cpu_cycles + get_total_frame_cycles_since_wm_flip()));
        return 1;
    case 305:
        lua_pushboolean(L, p && (peek(ADDR_PROCESS_FLAGS) & 0x10) && os_key_state(-1) != 0);
        return 1;
    case 306:
        lua_pushstring(L, build_date);
        return 1;
    case 307:
        if (!p) break;
        lua_pushnumber(L, p->flags);
        return 1;
    case 308:
        lua_pushnumber(L, get_total_num_buffers());
        return 1;
    case 309:
        lua_pushnumber(L, (double)get_total_buffer_allocation());
        return 1;
    case 310:
        lua_pushnumber(L, pdisk_num_pfiles());
        return 1;
    case 312:
        if (!p) break;
        lua_pushnumber(L, p->pages.mapped[((uint64_t)a & ADDRESS_MASK) >> 12]);
        return 1;
    case 313:
        if (!p) break;
        lua_pushnumber(L, (double)p->page_bytes);
        return 1;
    case 314:
        lua_pushnumber(L, 3.141592653589793);
        return 1;
    case 315:
        lua_pushnumber(L, config.headless);
        return 1;
    case 316:
        lua_pushstring(L, config.stat_text);
        return 1;
    case 317:
        lua_pushnumber(L, app.exported_cart ? 3 : 1);
        return 1;
    case 320:
        lua_pushnumber(L, app.gif_recording ? 1 : 0);
        return 1;
    case 321:
        lua_pushnumber(L, app.gif_recording ? app.gif_frame_count / 2 : 0);
        return 1;
    case 322:
        lua_pushnumber(L, app.audio_capture_on);
        return 1;
    case 330:
        lua_pushnumber(L, app.battery_saver_active);
        return 1;
    case 331:
        if (!p) break;
        lua_pushnumber(L, per_budget(p->allotted_last_frame));
        return 1;
    case 332:
        lua_pushnumber(L, count_recent_sandboxed_processes());
        return 1;
    case 333:
        lua_pushinteger(L, ++st.unique_counter);
        return 1;
    case 334:
        lua_pushnumber(L, app.buttons_seen);
        return 1;
    case 335:
        lua_pushnumber(L, config.video_process_id > 3 ? 1 : 0);
        return 1;
    case 984:
        if (!p) break;
        lua_pushnumber(L, p->flipped);
        return 1;
    case 985:
        lua_pushnumber(L, app.boot_finished);
        return 1;
    case 986:
        lua_pushnumber(L, app.signal36_flag);
        return 1;
    case 987:
        lua_pushnumber(L, (double)boot_get_time());
        return 1;
    case 988:
        start_frame();
        lua_pushnumber(L, os_key_state(224) && os_key_state(228) ? 1 : 0);
        return 1;
    default:
        break;
    }
    lua_pushnumber(L, 0);
    return 1;
}
