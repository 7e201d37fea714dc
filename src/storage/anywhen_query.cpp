// Questions about the file history: the month filters, the queries by location, by day and by
// folder moment, folder attributes, past contents, and the script functions over them.
#include <algorithm>
#include <bloom.h>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kernel/api.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/host.h"
#include "storage/anywhen.h"
#include "storage/delta.h"
#include "storage/file_api.h"
#include "storage/listing.h"
#include "storage/mox.h"
#include "storage/pdisk.h"

namespace {

// The earliest month in which a day log is looked for when stepping back.
constexpr int EARLIEST_LOG_MONTH = ANYWHEN_FIRST_YEAR * 12 + 3;  // April of the first year
constexpr int MOMENT_LENGTH = 19;
constexpr int DAY_LENGTH = 10;
constexpr int64_t DELTA_HEX_MAX = 2 * DELTA_MAX_LENGTH;
constexpr char FOLDER_MARK[] = "[folder]";
constexpr char INFO_NAME[] = ".info.mox";
constexpr char ANYWHEN_SCHEME[] = "anywhen://";  // get_attr skips it but for its second '/' 

// A month's filter. Its build is kept between calls: a call that stops partway leaves what it
// did here and the next one goes on from there.
struct month_filter {
    struct bloom filter;  // made at the start of the second pass
    int ready;
    int pass;             // a build under way: 1 counting the keys, 2 adding them
    int day;              // the day log being read
    int64_t offset;       // where its next unread line starts
    uint64_t dev, ino;    // which file that log was, while offset > 0
    int64_t count;        // keys counted by the first pass
    htable* start;        // that day's start-of-day paths read so far
};

month_filter* monthly_bloom = nullptr;

// ---------------------------------------------------------------------------------------------
// Work of a query
//
// A query charges its host work as it goes, at the interpreter's rates for native work. Once the
// charge passes the overrun bound the query stops: every reader ends at once, what was found is
// dropped, and the script function raises the overrun error after freeing what it holds.

constexpr int64_t LINE_WORK = LUA_WORKITEM;         // parsing one record and matching its path
constexpr int64_t KEY_WORK = 3 * LUA_WORKITEM / 2;  // making one filter key and adding or testing it
constexpr int64_t COMPARE_WORK = 2 * LUA_WORKITEM;  // comparing two names in listing order
constexpr int64_t FILE_WORK = 16 * LUA_WORKITEM;    // looking up or opening one host file
constexpr int64_t TABLE_WORK = ANYWHEN_TABLE_SLOTS / LUA_WORKSCAN;  // making one day table

bool stopped = false;
// The query stopped only because its slice was spent where its thread can yield: it goes on in
// the next slice from the progress it kept.
bool paused = false;
lua_State* pause_thread = nullptr;  // the thread of a script query that may pause, else null

// Starts one call of a query (a first one, or its going on after a pause).
void begin_call(lua_State* L) {
    stopped = paused = false;
    pause_thread = L;
}

// Charges n cycles; true once the query has passed the bound (and from then on).
bool charge(int64_t n) {
    if (!stopped && charge_native_work(n)) stopped = true;
    return stopped;
}

// Between two lines of a log, once this call has done one: true when the query stops here to go
// on in the next slice.
bool pause_between_lines() {
    if (!stopped && pause_thread && native_work_should_pause(pause_thread)) stopped = paused = true;
    return stopped;
}

// Bytes of a log read by the line reader, which looks at each of them.
bool charge_read(int64_t bytes) { return charge(bytes / LUA_WORKSCAN); }

// Bytes read, decompressed or rebuilt in one piece (a content, a delta, a new filter).
constexpr int64_t BYTES_PER_CYCLE = 8;
bool charge_bytes(int64_t bytes) { return charge(bytes / BYTES_PER_CYCLE); }

// One name or moment added to a result.
int add_result(listing* out, const char* text) { return charge(LUA_WORKITEM) ? 0 : listing_add(out, text); }

int month_index(int year, int month) {
    if (month < 1 || month > 12 || year < ANYWHEN_FIRST_YEAR) return -1;
    int i = (year - ANYWHEN_FIRST_YEAR) * 12 + (month - 1);
    return i < ANYWHEN_MONTHS ? i : -1;
}

// ---------------------------------------------------------------------------------------------
// Log records

struct record {
    char kind;
    const char* hash;   // 32 characters for '$', ':' and '+'
    std::string path;   // the path, or the moment of an '@' line, or the digits of a '|' line
};

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A moment "YYYY-MM-DD_HH:MM:SS" as the log writes it.
bool is_log_moment(const char* m) {
    static const char shape[] = "dddd-dd-dd_dd:dd:dd";
    for (int i = 0; i < MOMENT_LENGTH; i++) {
        if (shape[i] == 'd' ? !is_digit(m[i]) : m[i] != shape[i]) return false;
    }
    return true;
}

// Splits one log line; false for a line that is no well-formed record.
bool parse_record(const char* line, int32_t n, record* r) {
    if (n < 2 || line[1] != ' ' || memchr(line, 0, size_t(n))) return false;
    r->kind = line[0];
    r->hash = nullptr;
    switch (line[0]) {
        case '$':
        case ':':
        case '+':
            if (n < 36 || line[34] != ' ') return false;
            for (int i = 2; i < 34; i++)
                if (!is_hex_digit(line[i])) return false;
            r->hash = line + 2;
            r->path.assign(line + 35, size_t(n - 35));
            return true;
        case '-':
        case '>':
        case '^':
            if (n < 3) return false;
            r->path.assign(line + 2, size_t(n - 2));
            return true;
        case '@':
            if (n < 2 + MOMENT_LENGTH || !is_log_moment(line + 2)) return false;
            r->path.assign(line + 2, MOMENT_LENGTH);
            return true;
        case '|':
            r->path.assign(line + 2, size_t(n - 2));
            return true;
        default:
            return false;
    }
}

// Reads the records of a log one at a time; lines that were cut are skipped.
struct record_reader {
    line_reader r{};
    char line[ANYWHEN_LINE_MAX + 1];
    int64_t line_start = 0;  // where the record last asked for starts: a stopped read goes on there
    bool returned = false;
    bool changed = false;    // open found another file, or a shorter one, than the one read before

    bool open(const char* host_path) { return !charge(FILE_WORK) && line_iter_start(&r, host_path, charge_read); }
    // Opens the log again to go on at offset; *dev and *ino name the file read before (when
    // offset > 0), and are set to the file opened.
    bool open_at(const char* host_path, int64_t offset, uint64_t* dev, uint64_t* ino) {
        if (!open(host_path)) return false;
        struct stat st;
        if (fstat(fileno(r.f), &st) != 0) return false;
        if (offset > 0 && (uint64_t(st.st_dev) != *dev || uint64_t(st.st_ino) != *ino || st.st_size < offset)) {
            changed = true;
            return false;
        }
        *dev = uint64_t(st.st_dev);
        *ino = uint64_t(st.st_ino);
        line_start = offset;
        return offset == 0 || line_iter_seek(&r, offset);
    }
    ~record_reader() { line_iter_end(&r); }
    // The next record; false at the end, or once the query has stopped (or pauses here, between
    // two lines). Malformed lines come back with kind 0.
    bool next(record* out) {
        if (stopped) return false;  // within the last line: it is read again
        line_start = line_iter_tell(&r);
        if (returned && pause_between_lines()) return false;
        returned = true;
        int32_t n = line_iter(&r, line);
        if (n < 0 || r.stopped || charge(LINE_WORK + n / LUA_WORKSCAN)) return false;
        if (r.cut || !parse_record(line, n, out)) out->kind = 0;
        return true;
    }
};

// The folder holding a path, up to and including its last '/' (a final '/' of the path
// itself does not count); "/" for a path without one.
std::string folder_of(const std::string& path) {
    size_t end = path.size();
    if (end > 0 && path[end - 1] == '/') end--;
    size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
    return slash == std::string::npos ? std::string("/") : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ext_of(const std::string& path) { return get_ext(path.c_str()); }

std::string day_log_name(int year, int month, int day) {
    char rel[48];  // room for any three ints
    snprintf(rel, sizeof rel, "%04d-%02d/%02d.log", year, month, day);
    return rel;
}

// Host path of a day log when it exists.
bool day_log(int year, int month, int day, char* out) {
    if (charge(FILE_WORK) || !anywhen_host_path(day_log_name(year, month, day).c_str(), out)) return false;
    struct stat st;
    return stat(out, &st) == 0 && S_ISREG(st.st_mode);
}

// The months that have a folder under anywhen/ (years from the first one on), in order.
std::vector<std::pair<int, int>> recorded_months() {
    std::vector<std::pair<int, int>> months;
    char top[VELT_PATH_MAX];
    if (!anywhen_host_path("", top)) return months;
    if (DIR* d = opendir(top)) {
        while (dirent* e = readdir(d)) {
            if (charge(LUA_WORKITEM)) break;
            const char* s = e->d_name;
            if (strlen(s) != 7 || s[4] != '-') continue;
            if (!is_digit(s[0]) || !is_digit(s[1]) || !is_digit(s[2]) || !is_digit(s[3]) || !is_digit(s[5]) ||
                !is_digit(s[6])) {
                continue;
            }
            int y = atoi(s), m = atoi(s + 5);
            if (y >= ANYWHEN_FIRST_YEAR && m >= 1 && m <= 12) months.emplace_back(y, m);
        }
        closedir(d);
    }
    std::sort(months.begin(), months.end());
    return months;
}

// The newest day log at or before the day, back to the first day of April of the first
// year; with info_key, only days whose filter may hold "<info_key>@@<day>".
bool find_log_at_or_before(int year, int month, int day, const char* info_key, char* out, int* log_year,
                           int* log_month) {
    std::vector<std::pair<int, int>> months = recorded_months();
    for (auto it = months.rbegin(); it != months.rend(); ++it) {
        auto [y, m] = *it;
        if (y * 12 + m - 1 > year * 12 + month - 1) continue;
        if (y * 12 + m - 1 < EARLIEST_LOG_MONTH) break;
        int first = (y == year && m == month) ? day : 31;
        for (int d = first; d >= 1; d--) {
            if (stopped) return false;
            if (info_key && !anywhen_check_location_by_day(info_key, y, m, d)) continue;
            if (day_log(y, m, d, out)) {
                *log_year = y;
                *log_month = m;
                return true;
            }
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Locations

struct parsed_location {
    std::string path;
    std::string moment;
};

// "<path> @ <moment>": the path is the text before the first '@' less its last character,
// the moment the text from the second character after it.
bool split_location(const char* text, parsed_location* out) {
    if (!text) return false;
    size_t n = strnlen(text, size_t(ANYWHEN_LOCATION_MAX) + 1);
    if (n > size_t(ANYWHEN_LOCATION_MAX)) return false;
    const char* at = static_cast<const char*>(memchr(text, '@', n));
    if (!at) return false;
    size_t a = size_t(at - text);
    if (a + 2 > n) return false;
    out->path.assign(text, a > 0 ? a - 1 : 0);
    out->moment.assign(text + a + 2, n - a - 2);
    return true;
}

// Puts the separators of a moment in their canonical form and keeps its first 19 characters.
bool canonical_moment(std::string* m) {
    if (m->size() < size_t(MOMENT_LENGTH)) return false;
    m->resize(MOMENT_LENGTH);
    (*m)[10] = '_';
    (*m)[13] = ':';
    (*m)[16] = ':';
    return true;
}

// The date at the start of a moment or day text.
bool date_of(const std::string& m, int* year, int* month, int* day) {
    if (m.size() < size_t(DAY_LENGTH)) return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!is_digit(m[size_t(i)])) return false;
    *year = atoi(m.substr(0, 4).c_str());
    *month = atoi(m.substr(5, 2).c_str());
    *day = atoi(m.substr(8, 2).c_str());
    return *month >= 1 && *month <= 12 && *day >= 1 && *day <= 31;
}

// ---------------------------------------------------------------------------------------------
// Month filters

struct key_sink {
    struct bloom* filter;  // null: only count
    int64_t* count;
};

void add_key(key_sink* sink, const std::string& key) {
    if (charge(KEY_WORK + int64_t(key.size()) / LUA_WORKSCAN)) return;
    if (sink->filter) bloom_add(sink->filter, key.data(), int(key.size()));
    (*sink->count)++;
}

void add_pair(key_sink* sink, const std::string& key, const std::string& day_suffix) {
    add_key(sink, key);
    add_key(sink, key + day_suffix);
}

// Feeds the keys of the month's day logs to the sink, going on from where mf's build is; a read
// that stops leaves there the line it was at (whose keys are fed again: adding a key twice does
// no harm, and counting it twice only makes the filter a little bigger). False when a log read
// before has changed since.
bool add_month_to_bloom(month_filter* mf, int year, int month, key_sink* sink) {
    char log[VELT_PATH_MAX];
    for (; mf->day <= 31 && !stopped; mf->day++, mf->offset = 0) {
        if (mf->offset == 0) {
            destroy_htable(mf->start);
            mf->start = nullptr;
        }
        // A stop before the log's first line leaves the build at the line it was at.
        const bool found = day_log(year, month, mf->day, log);
        if (stopped) return true;
        if (!found) {
            if (mf->offset > 0) return false;
            continue;
        }
        record_reader reader;
        if (!reader.open_at(log, mf->offset, &mf->dev, &mf->ino)) {
            if (stopped) return true;
            if (reader.changed || mf->offset > 0) return false;
            continue;
        }
        if (!mf->start) {
            if (charge(TABLE_WORK)) return true;
            mf->start = create_htable(ANYWHEN_TABLE_SLOTS);
        }
        htable* start = mf->start;
        const std::string suffix = "@@" + std::to_string(mf->day);
        record rec;
        while (reader.next(&rec)) {
            const std::string& p = rec.path;
            switch (rec.kind) {
                case ':':
                    htable_insert(start, p.c_str(), nullptr, 0);
                    break;
                case '$':
                case '+':
                    add_pair(sink, p, suffix);
                    if (!htable_get(start, p.c_str(), nullptr)) add_pair(sink, folder_of(p), suffix);
                    break;
                case '>':
                    add_pair(sink, p, suffix);
                    add_pair(sink, p + FOLDER_MARK, suffix);
                    add_pair(sink, folder_of(p), suffix);
                    break;
                case '^': {
                    std::string folder = p.back() == '/' ? p.substr(0, p.size() - 1) : p;
                    add_pair(sink, folder + "/" + FOLDER_MARK, suffix);
                    break;
                }
                case '-':
                    add_pair(sink, folder_of(p), suffix);
                    break;
                default:
                    break;
            }
        }
        if (stopped) {
            mf->offset = reader.line_start;
            return true;
        }
    }
    return true;
}

// Frees a month's filter and whatever its build kept.
void drop_month(month_filter* mf) {
    if (mf->ready || mf->pass == 2) bloom_free(&mf->filter);
    destroy_htable(mf->start);
    memset(mf, 0, sizeof *mf);
}

// Builds the month's filter, or goes on with its build; not ready when the query stopped first.
void build_month(month_filter* mf, int year, int month) {
    // A log that changed under a kept build makes it start again, once in a call.
    for (int tries = 0; tries < 2 && !mf->ready && !stopped; tries++) {
        if (mf->pass == 0) {
            mf->pass = 1;
            mf->day = 1;
        }
        if (mf->pass == 1) {
            // Counted first, so that the filter is sized for every key the month's logs give.
            key_sink counter{nullptr, &mf->count};
            if (!add_month_to_bloom(mf, year, month, &counter)) {
                drop_month(mf);
                continue;
            }
            if (stopped) return;
            int64_t entries = std::max<int64_t>(ANYWHEN_BLOOM_ENTRIES, mf->count);
            if (entries > 0x7FFFFFF) entries = 0x7FFFFFF;
            if (bloom_init(&mf->filter, int(entries), ANYWHEN_BLOOM_ERROR) != 0) {
                drop_month(mf);
                return;
            }
            mf->pass = 2;
            mf->day = 1;
            mf->offset = 0;
            if (charge_bytes(mf->filter.bytes)) return;
        }
        int64_t added = 0;
        key_sink adder{&mf->filter, &added};
        if (!add_month_to_bloom(mf, year, month, &adder)) {
            drop_month(mf);
            continue;
        }
        if (stopped) return;  // half a filter would deny keys that the logs hold: not used yet
        destroy_htable(mf->start);
        mf->start = nullptr;
        mf->pass = 0;
        mf->ready = 1;
    }
}

bool filter_holds(struct bloom* filter, const std::string& key) {
    return filter && !charge(KEY_WORK + int64_t(key.size()) / LUA_WORKSCAN) && bloom_check(filter, key.data(), int(key.size())) == 1;
}

// ---------------------------------------------------------------------------------------------
// Script results

int push_listing_body(lua_State* L) {
    const listing* list = static_cast<const listing*>(take_job(L));
    lua_createtable(L, list->count, 0);
    for (int32_t i = 0; i < list->count; i++) {
        const pbuffer* item = list->item[i];
        lua_pushlstring(L, reinterpret_cast<const char*>(item->data), size_t(item->length));
        lua_rawseti(L, -2, i + 1);
    }
    return 1;
}

struct fetch_job {
    const pbuffer* bytes;
    const char* name;
    int flags;
};

int fetch_body(lua_State* L) {
    const fetch_job* job = static_cast<const fetch_job*>(take_job(L));
    return unmox_from_fetched_buffer(L, job->bytes, job->name, job->flags);
}

// The path part of a location, in out (ANYWHEN_LOCATION_MAX + 1 bytes); empty when malformed.
void location_path(const char* text, char* out) {
    out[0] = 0;
    size_t n = strnlen(text, size_t(ANYWHEN_LOCATION_MAX) + 1);
    const char* at = static_cast<const char*>(memchr(text, '@', n));
    if (n > size_t(ANYWHEN_LOCATION_MAX) || !at) return;
    size_t a = size_t(at - text);
    size_t k = a > 0 ? a - 1 : 0;
    memcpy(out, text, k);
    out[k] = 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Month filters

bloom* get_bloom_by_month_ex(int year, int month, int build) {
    int i = month_index(year, month);
    if (i < 0) return nullptr;
    if (!monthly_bloom) {
        monthly_bloom = static_cast<month_filter*>(calloc(ANYWHEN_MONTHS, sizeof(month_filter)));
        if (!monthly_bloom) return nullptr;
    }
    month_filter* mf = &monthly_bloom[i];
    if (!mf->ready && build) build_month(mf, year, month);
    return mf->ready ? &mf->filter : nullptr;
}

bloom* get_bloom_by_month(int year, int month) { return get_bloom_by_month_ex(year, month, 1); }

void invalidate_bloom_by_month(int year, int month) {
    int i = month_index(year, month);
    if (i < 0 || !monthly_bloom) return;
    drop_month(&monthly_bloom[i]);
}

// The month records themselves stay, emptied (drop_month clears each), for the next time the history opens: mapping and
// faulting in their pages anew costs more than clearing them.
void anywhen_release_queries() {
    if (!monthly_bloom) return;
    for (int i = 0; i < ANYWHEN_MONTHS; i++) drop_month(&monthly_bloom[i]);
}

int anywhen_check_location_by_month(const char* key, int year, int month) {
    return key && filter_holds(get_bloom_by_month(year, month), key) ? 1 : 0;
}

int anywhen_check_location_by_day(const char* key, int year, int month, int day) {
    if (!key || day < 1 || day > 31) return 0;
    return filter_holds(get_bloom_by_month(year, month), std::string(key) + "@@" + std::to_string(day)) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Queries
//
// A query keeps its progress in a query_state, so that a script's query can end its slice
// between two lines of a log and go on in the next one: the log it reads and where, and what it
// has found so far. Finding the log again is cheap (the month filters keep their own progress);
// the log itself is only appended to, so what was read of it still holds, unless it is another
// file or a shorter one by then, and then the query starts again.

namespace {

struct query_state {
    int step = 0;  // 0: the log is still to be found; 1: it is being read from offset
    char log[VELT_PATH_MAX] = {};
    int log_year = 0, log_month = 0;
    int64_t offset = 0;
    uint64_t dev = 0, ino = 0;
    listing* out = nullptr;  // the results so far
    int added = 0;
    std::string hash, delta_hex;  // fetch
    bool collecting = false, found = false, past = false;
    htable* seen = nullptr;  // moments of a day
    std::string current, last;
    std::unordered_set<std::string> names;  // names in a folder

    ~query_state() { destroy_htable(seen); }
    // Forgets all progress, and the results so far.
    void restart() {
        step = 0;
        offset = 0;
        added = 0;
        hash.clear();
        delta_hex.clear();
        collecting = found = past = false;
        destroy_htable(seen);
        seen = nullptr;
        current.clear();
        last.clear();
        names.clear();
        if (out) {
            for (int32_t i = 0; i < out->count; i++) destroy_buffer(out->item[i]);
            out->count = 0;
        }
    }
};

// Opens the query's log where its reading stopped. False when it cannot; a log that changed
// under the query makes it start again.
bool open_query_log(query_state* q, record_reader* reader) {
    if (reader->open_at(q->log, q->offset, &q->dev, &q->ino)) return true;
    if (reader->changed) q->restart();
    return false;
}

// A query that ends here: its log position is kept when it only paused.
int end_read(query_state* q, const record_reader& reader) {
    if (!stopped) return 0;
    q->offset = reader.line_start;
    return -1;
}

int list_by_loc(query_state* q, const char* path) {
    if (!path || strnlen(path, size_t(ANYWHEN_LOCATION_MAX) + 1) > size_t(ANYWHEN_LOCATION_MAX)) return -1;
    q->restart();  // only the month filters are looked at: their builds keep the progress
    for (auto [y, m] : recorded_months()) {
        if (stopped) break;
        struct bloom* filter = get_bloom_by_month(y, m);
        if (!filter_holds(filter, path)) continue;
        for (int d = 1; d <= 31; d++) {
            if (!filter_holds(filter, std::string(path) + "@@" + std::to_string(d))) continue;
            char day[16];
            snprintf(day, sizeof day, "%04d-%02d-%02d", y, m, d);
            q->added += add_result(q->out, day);
        }
    }
    return stopped ? -1 : q->added;
}

int list_by_day(query_state* q, const char* location) {
    parsed_location loc;
    int year, month, day;
    if (!split_location(location, &loc) || loc.moment.size() != size_t(DAY_LENGTH) ||
        !date_of(loc.moment, &year, &month, &day)) {
        return -1;
    }
    const std::string ext = ext_of(loc.path);
    const bool file = !ext.empty();
    std::string key = loc.path;
    if (!file && (key.empty() || key.back() != '/')) key += "/";
    if (q->step == 0) {
        if (!anywhen_check_location_by_day(key.c_str(), year, month, day)) return stopped ? -1 : 0;
        if (!day_log(year, month, day, q->log)) return stopped ? -1 : 0;
        if (!file && (charge(TABLE_WORK) || !(q->seen = create_htable(ANYWHEN_TABLE_SLOTS)))) return stopped ? -1 : 0;
        q->current = loc.moment + "_00:00:00";
        q->step = 1;
    }
    record_reader reader;
    if (!open_query_log(q, &reader)) return stopped ? -1 : 0;
    record rec;
    while (q->added < ANYWHEN_MAX_MOMENTS && reader.next(&rec)) {
        bool counts = false;
        if (rec.kind == '@') {
            q->current = rec.path;
        } else if (file) {
            counts = (rec.kind == '$' || rec.kind == '+') && rec.path == key;
        } else if (rec.kind == '-') {
            htable_delete(q->seen, rec.path.c_str());
        } else if (rec.kind == ':') {
            htable_insert(q->seen, rec.path.c_str(), nullptr, 0);
        } else if ((rec.kind == '$' || rec.kind == '+') && !htable_get(q->seen, rec.path.c_str(), nullptr)) {
            htable_insert(q->seen, rec.path.c_str(), nullptr, 0);
            std::string folder = folder_of(rec.path);
            counts = folder == key || (name_of(rec.path) == INFO_NAME && folder_of(folder) == key);
        }
        if (!counts || q->current == q->last) continue;
        q->last = q->current;
        std::string text = q->current.substr(11);
        if (file) text += "." + ext;
        q->added += add_result(q->out, text.c_str());
    }
    return end_read(q, reader) < 0 ? -1 : q->added;
}

int list_by_folder_moment(query_state* q, const char* location) {
    parsed_location loc;
    int year, month, day;
    if (!split_location(location, &loc) || loc.moment.size() != size_t(MOMENT_LENGTH)) return -1;
    canonical_moment(&loc.moment);
    if (!date_of(loc.moment, &year, &month, &day)) return 0;
    std::string prefix = loc.path;
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    prefix += "/";
    if (q->step == 0) {
        if (!find_log_at_or_before(year, month, day, nullptr, q->log, &q->log_year, &q->log_month))
            return stopped ? -1 : 0;
        q->step = 1;
    }
    record_reader reader;
    if (!open_query_log(q, &reader)) return stopped ? -1 : 0;

    // Looked up by name for every record: a big folder's start-of-day snapshot has one
    // record per file.
    std::unordered_set<std::string>& names = q->names;
    record rec;
    while (reader.next(&rec)) {
        if (rec.kind == '@') {
            if (rec.path > loc.moment) break;
            continue;
        }
        if (rec.kind == 0 || !strchr("$+:->^", rec.kind)) continue;
        const std::string& p = rec.path;
        if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) continue;
        std::string name = p.substr(prefix.size());
        if (name.back() == '/') name.pop_back();
        if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) continue;
        if (charge(LUA_WORKITEM)) break;
        if (ext_of(name).empty()) name += "/";
        if (rec.kind == '-') names.erase(name);
        else names.insert(std::move(name));
    }
    if (end_read(q, reader) < 0) return -1;
    // The sort compares about log2(n) times per name.
    int64_t compares = 1;
    for (size_t n = names.size(); n > 1; n >>= 1) compares++;
    if (charge(int64_t(names.size()) * compares * COMPARE_WORK)) return -1;
    std::vector<const char*> order;
    for (const std::string& name : names) order.push_back(name.c_str());
    sort_str_items(order.data(), int32_t(order.size()));
    for (const char* item : order) {
        std::string name = item;
        if (name.back() == '/') name.pop_back();
        q->added += add_result(q->out, name.c_str());
    }
    return stopped ? -1 : q->added;
}

int get_attr(query_state* q, const char* location) {
    parsed_location loc;
    if (!split_location(location, &loc) || !canonical_moment(&loc.moment)) return -1;
    int year, month, day;
    if (!date_of(loc.moment, &year, &month, &day)) return 0;
    std::string path = loc.path;
    if (path.compare(0, strlen(ANYWHEN_SCHEME), ANYWHEN_SCHEME) == 0) path.erase(0, strlen(ANYWHEN_SCHEME) - 1);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (q->step == 0) {
        const std::string slashed = path + "/" + FOLDER_MARK;
        const std::string plain = path + FOLDER_MARK;
        if (!anywhen_check_location_by_day(slashed.c_str(), year, month, day) &&
            !anywhen_check_location_by_day(plain.c_str(), year, month, day)) {
            return stopped ? -1 : 0;
        }
        if (!day_log(year, month, day, q->log)) return stopped ? -1 : 0;
        q->step = 1;
    }
    record_reader reader;
    if (!open_query_log(q, &reader)) return stopped ? -1 : 0;
    const std::string inside = path + "/";
    record rec;
    while (reader.next(&rec)) {
        if (rec.kind != '^' && rec.kind != '>') continue;
        if (rec.path.compare(0, inside.size(), inside) == 0 || (rec.kind == '>' && rec.path == path)) return 1;
    }
    return end_read(q, reader);
}

pbuffer* fetch(query_state* q, const char* location) {
    parsed_location loc;
    if (!split_location(location, &loc) || !canonical_moment(&loc.moment)) return nullptr;
    int year, month, day;
    if (!date_of(loc.moment, &year, &month, &day)) return nullptr;
    if (year > ANYWHEN_LAST_YEAR) {
        // Later moments are read as moments of the last year that is looked at.
        year = ANYWHEN_LAST_YEAR;
        loc.moment.replace(0, 4, std::to_string(ANYWHEN_LAST_YEAR));
    }
    const bool info = loc.path.find(INFO_NAME) != std::string::npos;
    if (q->step == 0) {
        if (!find_log_at_or_before(year, month, day, info ? loc.path.c_str() : nullptr, q->log, &q->log_year,
                                   &q->log_month)) {
            return nullptr;
        }
        q->step = 1;
    }
    record_reader reader;
    if (!open_query_log(q, &reader)) return nullptr;

    std::string& hash = q->hash;
    std::string& delta_hex = q->delta_hex;
    bool& collecting = q->collecting;
    bool& found = q->found;
    bool& past = q->past;
    record rec;
    while (reader.next(&rec)) {
        if (collecting && rec.kind == '|') {
            if (int64_t(delta_hex.size() + rec.path.size()) > DELTA_HEX_MAX) return nullptr;
            delta_hex += rec.path;
            continue;
        }
        collecting = false;
        if (rec.kind == '@') {
            if (rec.path > loc.moment) {
                // The metadata of a folder is taken from its first record even when that came later.
                if (!info || found) break;
                past = true;
            }
            continue;
        }
        if (rec.path != loc.path) continue;
        if (rec.kind == '$' || rec.kind == ':') {
            hash.assign(rec.hash, ANYWHEN_HASH_LENGTH);
            delta_hex.clear();
            found = true;
            if (past) break;
        } else if (past) {
            continue;
        } else if (rec.kind == '+') {
            hash.assign(rec.hash, ANYWHEN_HASH_LENGTH);
            delta_hex.clear();
            collecting = true;
            found = true;
        } else if (rec.kind == '-') {
            // Deleted at or before the moment: the file had no content then.
            hash.clear();
            delta_hex.clear();
            found = false;
        }
    }
    if (end_read(q, reader) < 0 || hash.empty()) return nullptr;

    char mox_folder[VELT_PATH_MAX], blob_folder[VELT_PATH_MAX], rel[32];
    snprintf(rel, sizeof rel, "%04d-%02d/mox", q->log_year, q->log_month);
    if (!anywhen_host_path(rel, mox_folder) || !anywhen_host_path("blob", blob_folder)) return nullptr;
    if (charge(2 * FILE_WORK)) return nullptr;
    pbuffer* content = anywhen_load_content(hash.c_str(), mox_folder, blob_folder);
    if (content && charge_bytes(content->length + int64_t(delta_hex.size()))) {
        destroy_buffer(content);
        return nullptr;
    }
    if (!content || delta_hex.empty()) return content;

    if (delta_hex.size() % 2 != 0) {
        destroy_buffer(content);
        return nullptr;
    }
    std::vector<uint8_t> delta(delta_hex.size() / 2);
    for (size_t i = 0; i < delta.size(); i++) {
        char hi = delta_hex[2 * i], lo = delta_hex[2 * i + 1];
        if (!is_hex_digit(hi) || !is_hex_digit(lo)) {
            destroy_buffer(content);
            return nullptr;
        }
        auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
        delta[i] = uint8_t(value(hi) << 4 | value(lo));
    }
    static const uint8_t nothing = 0;
    pbuffer* target = apply_diff(content->length > 0 ? content->data : &nothing, content->length, delta.data(),
                                 int64_t(delta.size()));
    destroy_buffer(content);
    if (target && charge_bytes(target->length)) {
        destroy_buffer(target);
        return nullptr;
    }
    return target;
}

}  // namespace

bool anywhen_query_stopped() { return stopped; }

int anywhen_list_by_loc(const char* path, listing* out) {
    begin_call(nullptr);
    if (!out) return -1;
    query_state q;
    q.out = out;
    return list_by_loc(&q, path);
}

int anywhen_list_by_day(const char* location, listing* out) {
    begin_call(nullptr);
    if (!out) return -1;
    query_state q;
    q.out = out;
    return list_by_day(&q, location);
}

int anywhen_list_by_folder_moment(const char* location, listing* out) {
    begin_call(nullptr);
    if (!out) return -1;
    query_state q;
    q.out = out;
    return list_by_folder_moment(&q, location);
}

int anywhen_get_attr(const char* location) {
    begin_call(nullptr);
    query_state q;
    return get_attr(&q, location);
}

pbuffer* anywhen_fetch(const char* location) {
    begin_call(nullptr);
    query_state q;
    return fetch(&q, location);
}

// ---------------------------------------------------------------------------------------------
// Script functions
//
// A script query keeps its query_state in a userdata just above its arguments, freed when the
// query ends (or by the collector, when its thread is dropped while paused). Where the thread
// can yield, a query that pauses ends the slice and its continuation goes on in the next one;
// elsewhere it runs on to the overrun bound.

namespace {

constexpr char QUERY_STATE_TYPE[] = "anywhen query";

struct query_box {
    query_state* q;
};

void free_query_box(query_box* box) {
    if (box && box->q) {
        destroy_listing(box->q->out);
        delete box->q;
        box->q = nullptr;
    }
}

int query_box_gc(lua_State* L) {
    free_query_box(static_cast<query_box*>(lua_touserdata(L, 1)));
    return 0;
}

// Puts an empty query state (with a listing when listed) at index slot; raises only before it
// holds anything.
void push_query_state(lua_State* L, int slot, bool listed) {
    lua_settop(L, slot - 1);
    query_box* box = static_cast<query_box*>(lua_newuserdatauv(L, sizeof(query_box), 0));
    box->q = nullptr;
    if (luaL_newmetatable(L, QUERY_STATE_TYPE)) {
        lua_pushcfunction(L, api_guarded<query_box_gc>);
        lua_setfield(L, -2, "__gc");
    }
    lua_setmetatable(L, -2);
    box->q = new query_state;
    if (listed && !(box->q->out = create_listing())) api_host_memory_error(L);
}

// The state of a query going on: the stack as its first call left it.
query_state* query_state_at(lua_State* L, int slot) {
    lua_settop(L, slot);
    return static_cast<query_box*>(lua_touserdata(L, slot))->q;
}

// Frees the state at slot and its listing; never raises.
void end_query_state(lua_State* L, int slot) { free_query_box(static_cast<query_box*>(lua_touserdata(L, slot))); }

using listing_query = int (*)(query_state*, const char*);

// Pushes the listing of a query that has ended well, in a protected call, and frees the
// state before any error of the pushes passes on.
int push_listing_result(lua_State* L, query_state* q) {
    const int status = protected_call(L, push_listing_body, q->out, 0);
    end_query_state(L, 2);
    if (status != LUA_OK) raise_again(L, status);
    return 1;
}

template <listing_query Query>
int listing_query_k(lua_State* L, int, lua_KContext) {
    query_state* q = query_state_at(L, 2);
    begin_call(L);
    const int n = Query(q, lua_tostring(L, 1));
    pause_thread = nullptr;
    if (n >= 0) return push_listing_result(L, q);
    if (paused) return native_work_pause(L, 0, api_guarded_k<listing_query_k<Query>>);
    const bool overrun = stopped;
    end_query_state(L, 2);
    if (overrun) raise_native_overrun(L);
    return 0;
}

// Runs a listing query on the string argument and pushes its table; nothing for a non-string
// or a malformed location.
template <listing_query Query>
int listing_query_start(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    push_query_state(L, 2, true);
    return listing_query_k<Query>(L, LUA_OK, 0);
}

int get_attr_k(lua_State* L, int, lua_KContext) {
    query_state* q = query_state_at(L, 2);
    begin_call(L);
    const int attr = get_attr(q, lua_tostring(L, 1));
    pause_thread = nullptr;
    if (attr < 0 && paused) return native_work_pause(L, 0, api_guarded_k<get_attr_k>);
    const bool overrun = attr < 0 && stopped;
    end_query_state(L, 2);
    if (overrun) raise_native_overrun(L);
    lua_pushinteger(L, attr);
    return 1;
}

// A fetch's bytes, or null with nothing pushed: a pause or an overrun leave this call.
pbuffer* fetch_or_leave(lua_State* L, lua_KFunction k) {
    query_state* q = query_state_at(L, 3);
    begin_call(L);
    pbuffer* bytes = fetch(q, lua_tostring(L, 1));
    pause_thread = nullptr;
    if (!bytes && paused) native_work_pause(L, 0, k);
    const bool overrun = !bytes && stopped;
    end_query_state(L, 3);
    if (overrun) raise_native_overrun(L);
    return bytes;
}

int fetch_k(lua_State* L, int, lua_KContext) {
    pbuffer* bytes = fetch_or_leave(L, api_guarded_k<fetch_k>);
    if (!bytes) return 0;
    char name[ANYWHEN_LOCATION_MAX + 1];
    location_path(lua_tostring(L, 1), name);
    // The bytes are this frame's own: they are read in a protected call.
    fetch_job job{bytes, name, int(lua_tointeger(L, 2))};
    const int top = lua_gettop(L);
    const int status = protected_call(L, fetch_body, &job, 0);
    destroy_buffer(bytes);
    if (status != LUA_OK) raise_again(L, status);
    return lua_gettop(L) - top;
}

int fetch_metadata_k(lua_State* L, int, lua_KContext) {
    pbuffer* bytes = fetch_or_leave(L, api_guarded_k<fetch_metadata_k>);
    static const char prefix[] = "--[[mox";
    int n = 0;
    if (bytes && bytes->length >= int32_t(sizeof prefix - 1) && memcmp(bytes->data, prefix, sizeof prefix - 1) == 0)
        n = destringify_object_metadata(L, reinterpret_cast<const char*>(bytes->data), bytes->length);  // never raises
    destroy_buffer(bytes);
    return n;
}

}  // namespace

int lua54_list_anywhen_by_day(lua_State* L) { return listing_query_start<list_by_day>(L); }

int lua54_list_anywhen_by_loc(lua_State* L) { return listing_query_start<list_by_loc>(L); }

int lua54_list_anywhen_folder_moment(lua_State* L) { return listing_query_start<list_by_folder_moment>(L); }

int lua54_anywhen_get_attr(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) {
        lua_pushinteger(L, -1);
        return 1;
    }
    push_query_state(L, 2, false);
    return get_attr_k(L, LUA_OK, 0);
}

int lua54_fetch_anywhen(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    const int flags = int(q64_intp(L, 2, 0) & 0xFF);
    lua_settop(L, 1);
    lua_pushinteger(L, flags);
    push_query_state(L, 3, false);
    return fetch_k(L, LUA_OK, 0);
}

int lua54_fetch_anywhen_metadata(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    lua_settop(L, 1);
    lua_pushnil(L);
    push_query_state(L, 3, false);
    return fetch_metadata_k(L, LUA_OK, 0);
}
