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

struct month_filter {
    struct bloom filter;
    int ready;
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

// Charges n cycles; true once the query has passed the bound (and from then on).
bool charge(int64_t n) {
    if (!stopped && charge_native_work(n)) stopped = true;
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
    line_reader r;
    char line[ANYWHEN_LINE_MAX + 1];

    bool open(const char* host_path) { return !charge(FILE_WORK) && line_iter_start(&r, host_path, charge_read); }
    ~record_reader() { line_iter_end(&r); }
    // The next record; false at the end, or once the query has stopped. Malformed lines come
    // back with kind 0.
    bool next(record* out) {
        if (stopped) return false;
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
    char rel[32];
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
    int64_t count;
};

void add_key(key_sink* sink, const std::string& key) {
    if (charge(KEY_WORK + int64_t(key.size()) / LUA_WORKSCAN)) return;
    if (sink->filter) bloom_add(sink->filter, key.data(), int(key.size()));
    sink->count++;
}

void add_pair(key_sink* sink, const std::string& key, const std::string& day_suffix) {
    add_key(sink, key);
    add_key(sink, key + day_suffix);
}

// Feeds the keys of one month's day logs to the sink; the number of key pairs.
int64_t anywhen_add_month_to_bloom(int year, int month, key_sink* sink) {
    int64_t pairs = 0;
    char log[VELT_PATH_MAX];
    for (int day = 1; day <= 31 && !stopped; day++) {
        if (!day_log(year, month, day, log)) continue;
        record_reader reader;
        if (!reader.open(log) || charge(TABLE_WORK)) continue;
        htable* start = create_htable(ANYWHEN_TABLE_SLOTS);
        const std::string suffix = "@@" + std::to_string(day);
        int64_t before = sink->count;
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
        destroy_htable(start);
        pairs += (sink->count - before) / 2;
    }
    return pairs;
}

void build_month(month_filter* mf, int year, int month) {
    // Counted first, so that the filter is sized for every key the month's logs give.
    key_sink counter{nullptr, 0};
    anywhen_add_month_to_bloom(year, month, &counter);
    int64_t entries = std::max<int64_t>(ANYWHEN_BLOOM_ENTRIES, counter.count);
    if (entries > 0x7FFFFFF) entries = 0x7FFFFFF;
    if (stopped || bloom_init(&mf->filter, int(entries), ANYWHEN_BLOOM_ERROR) != 0) {
        memset(&mf->filter, 0, sizeof mf->filter);
        return;
    }
    key_sink adder{&mf->filter, 0};
    if (!charge_bytes(mf->filter.bytes)) anywhen_add_month_to_bloom(year, month, &adder);
    if (stopped) {
        // Half a filter would deny keys that the logs hold: it is built again on its next use.
        bloom_free(&mf->filter);
        memset(&mf->filter, 0, sizeof mf->filter);
        return;
    }
    mf->ready = 1;
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

// Runs a listing query on the string argument and pushes its table; nothing for a non-string
// or a malformed location. The listing is this frame's own: it is pushed in a protected call
// and destroyed before any error of the pushes passes on.
int push_listing_query(lua_State* L, int (*query)(const char*, listing*)) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    const char* text = lua_tostring(L, 1);
    listing* list = create_listing();
    if (!list) return 0;
    if (query(text, list) < 0) {
        destroy_listing(list);
        if (anywhen_query_stopped()) raise_native_overrun(L);
        return 0;
    }
    const int status = protected_call(L, push_listing_body, list, 0);
    destroy_listing(list);
    if (status != LUA_OK) raise_again(L, status);
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
    month_filter* mf = &monthly_bloom[i];
    if (mf->ready) bloom_free(&mf->filter);
    memset(mf, 0, sizeof *mf);
}

void anywhen_release_queries() {
    if (!monthly_bloom) return;
    for (int i = 0; i < ANYWHEN_MONTHS; i++)
        if (monthly_bloom[i].ready) bloom_free(&monthly_bloom[i].filter);
    free(monthly_bloom);
    monthly_bloom = nullptr;
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

bool anywhen_query_stopped() { return stopped; }

int anywhen_list_by_loc(const char* path, listing* out) {
    stopped = false;
    if (!path || !out || strnlen(path, size_t(ANYWHEN_LOCATION_MAX) + 1) > size_t(ANYWHEN_LOCATION_MAX)) return -1;
    int added = 0;
    for (auto [y, m] : recorded_months()) {
        if (stopped) break;
        struct bloom* filter = get_bloom_by_month(y, m);
        if (!filter_holds(filter, path)) continue;
        for (int d = 1; d <= 31; d++) {
            if (!filter_holds(filter, std::string(path) + "@@" + std::to_string(d))) continue;
            char day[16];
            snprintf(day, sizeof day, "%04d-%02d-%02d", y, m, d);
            added += add_result(out, day);
        }
    }
    return stopped ? -1 : added;
}

int anywhen_list_by_day(const char* location, listing* out) {
    stopped = false;
    parsed_location loc;
    int year, month, day;
    if (!out || !split_location(location, &loc) || loc.moment.size() != size_t(DAY_LENGTH) ||
        !date_of(loc.moment, &year, &month, &day)) {
        return -1;
    }
    const std::string ext = ext_of(loc.path);
    const bool file = !ext.empty();
    std::string key = loc.path;
    if (!file && (key.empty() || key.back() != '/')) key += "/";
    if (!anywhen_check_location_by_day(key.c_str(), year, month, day)) return stopped ? -1 : 0;
    char log[VELT_PATH_MAX];
    record_reader reader;
    if (!day_log(year, month, day, log) || !reader.open(log)) return stopped ? -1 : 0;

    htable* seen = file || charge(TABLE_WORK) ? nullptr : create_htable(ANYWHEN_TABLE_SLOTS);
    std::string current = loc.moment + "_00:00:00";
    std::string last;
    int added = 0;
    record rec;
    while (added < ANYWHEN_MAX_MOMENTS && reader.next(&rec)) {
        bool counts = false;
        if (rec.kind == '@') {
            current = rec.path;
        } else if (file) {
            counts = (rec.kind == '$' || rec.kind == '+') && rec.path == key;
        } else if (rec.kind == '-') {
            htable_delete(seen, rec.path.c_str());
        } else if (rec.kind == ':') {
            htable_insert(seen, rec.path.c_str(), nullptr, 0);
        } else if ((rec.kind == '$' || rec.kind == '+') && !htable_get(seen, rec.path.c_str(), nullptr)) {
            htable_insert(seen, rec.path.c_str(), nullptr, 0);
            std::string folder = folder_of(rec.path);
            counts = folder == key || (name_of(rec.path) == INFO_NAME && folder_of(folder) == key);
        }
        if (!counts || current == last) continue;
        last = current;
        std::string text = current.substr(11);
        if (file) text += "." + ext;
        added += add_result(out, text.c_str());
    }
    destroy_htable(seen);
    return stopped ? -1 : added;
}

int anywhen_list_by_folder_moment(const char* location, listing* out) {
    stopped = false;
    parsed_location loc;
    int year, month, day;
    if (!out || !split_location(location, &loc) || loc.moment.size() != size_t(MOMENT_LENGTH)) return -1;
    canonical_moment(&loc.moment);
    if (!date_of(loc.moment, &year, &month, &day)) return 0;
    std::string prefix = loc.path;
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    prefix += "/";
    char log[VELT_PATH_MAX];
    int log_year, log_month;
    if (!find_log_at_or_before(year, month, day, nullptr, log, &log_year, &log_month)) return stopped ? -1 : 0;
    record_reader reader;
    if (!reader.open(log)) return stopped ? -1 : 0;

    // Looked up by name for every record: a big folder's start-of-day snapshot has one
    // record per file.
    std::unordered_set<std::string> names;
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
    // The sort compares about log2(n) times per name.
    int64_t compares = 1;
    for (size_t n = names.size(); n > 1; n >>= 1) compares++;
    if (stopped || charge(int64_t(names.size()) * compares * COMPARE_WORK)) return -1;
    std::vector<const char*> order;
    for (const std::string& name : names) order.push_back(name.c_str());
    sort_str_items(order.data(), int32_t(order.size()));
    int added = 0;
    for (const char* item : order) {
        std::string name = item;
        if (name.back() == '/') name.pop_back();
        added += add_result(out, name.c_str());
    }
    return stopped ? -1 : added;
}

int anywhen_get_attr(const char* location) {
    stopped = false;
    parsed_location loc;
    if (!split_location(location, &loc) || !canonical_moment(&loc.moment)) return -1;
    int year, month, day;
    if (!date_of(loc.moment, &year, &month, &day)) return 0;
    std::string path = loc.path;
    if (path.compare(0, strlen(ANYWHEN_SCHEME), ANYWHEN_SCHEME) == 0) path.erase(0, strlen(ANYWHEN_SCHEME) - 1);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::string slashed = path + "/" + FOLDER_MARK;
    const std::string plain = path + FOLDER_MARK;
    if (!anywhen_check_location_by_day(slashed.c_str(), year, month, day) &&
        !anywhen_check_location_by_day(plain.c_str(), year, month, day)) {
        return 0;
    }
    char log[VELT_PATH_MAX];
    record_reader reader;
    if (!day_log(year, month, day, log) || !reader.open(log)) return 0;
    const std::string inside = path + "/";
    record rec;
    while (reader.next(&rec)) {
        if (rec.kind != '^' && rec.kind != '>') continue;
        if (rec.path.compare(0, inside.size(), inside) == 0 || (rec.kind == '>' && rec.path == path)) return 1;
    }
    return stopped ? -1 : 0;
}

pbuffer* anywhen_fetch(const char* location) {
    stopped = false;
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
    char log[VELT_PATH_MAX];
    int log_year, log_month;
    if (!find_log_at_or_before(year, month, day, info ? loc.path.c_str() : nullptr, log, &log_year, &log_month))
        return nullptr;
    record_reader reader;
    if (!reader.open(log)) return nullptr;

    std::string hash, delta_hex;
    bool collecting = false, found = false, past = false;
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
    if (stopped || hash.empty()) return nullptr;

    char mox_folder[VELT_PATH_MAX], blob_folder[VELT_PATH_MAX], rel[32];
    snprintf(rel, sizeof rel, "%04d-%02d/mox", log_year, log_month);
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

// ---------------------------------------------------------------------------------------------
// Script functions

int lua54_list_anywhen_by_day(lua_State* L) { return push_listing_query(L, anywhen_list_by_day); }

int lua54_list_anywhen_by_loc(lua_State* L) { return push_listing_query(L, anywhen_list_by_loc); }

int lua54_list_anywhen_folder_moment(lua_State* L) { return push_listing_query(L, anywhen_list_by_folder_moment); }

int lua54_anywhen_get_attr(lua_State* L) {
    int attr = -1;
    if (lua_type(L, 1) == LUA_TSTRING) {
        attr = anywhen_get_attr(lua_tostring(L, 1));
        if (attr < 0 && anywhen_query_stopped()) raise_native_overrun(L);
    }
    lua_pushinteger(L, attr);
    return 1;
}

int lua54_fetch_anywhen(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    const char* text = lua_tostring(L, 1);
    const int flags = int(q64_intp(L, 2, 0) & 0xFF);
    pbuffer* bytes = anywhen_fetch(text);
    if (!bytes) {
        if (anywhen_query_stopped()) raise_native_overrun(L);
        return 0;
    }
    char name[ANYWHEN_LOCATION_MAX + 1];
    location_path(text, name);
    // The bytes are this frame's own: they are read in a protected call.
    fetch_job job{bytes, name, flags};
    const int top = lua_gettop(L);
    const int status = protected_call(L, fetch_body, &job, 0);
    destroy_buffer(bytes);
    if (status != LUA_OK) raise_again(L, status);
    return lua_gettop(L) - top;
}

int lua54_fetch_anywhen_metadata(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    const char* text = lua_tostring(L, 1);
    pbuffer* bytes = anywhen_fetch(text);
    if (!bytes && anywhen_query_stopped()) raise_native_overrun(L);
    static const char prefix[] = "--[[mox";
    int n = 0;
    if (bytes && bytes->length >= int32_t(sizeof prefix - 1) && memcmp(bytes->data, prefix, sizeof prefix - 1) == 0)
        n = destringify_object_metadata(L, reinterpret_cast<const char*>(bytes->data), bytes->length);  // never raises
    destroy_buffer(bytes);
    return n;
}
