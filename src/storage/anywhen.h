// The file history: daily logs of changed host files with content blobs and
// per-month Bloom filters, kept in the application-data folder.
#pragma once
#include <cstdint>
#include <cstdio>
#include "base/pbuffer.h"

struct lua_State;
struct listing;
struct bloom;

// Hash names of content blobs: 32 lowercase hexadecimal digits.
constexpr int ANYWHEN_HASH_LENGTH = 32;
// Files of this size and more are not recorded.
constexpr int64_t ANYWHEN_MAX_FILE = 16777216;
// Longest line the log reader returns; longer lines come back cut and are never taken as records.
constexpr int32_t ANYWHEN_LINE_MAX = 1023;
// Longest recorded path, so that every record line stays below ANYWHEN_LINE_MAX.
constexpr int32_t ANYWHEN_PATH_MAX = ANYWHEN_LINE_MAX - 36;
// Bytes of a delta written on one "|" line.
constexpr int ANYWHEN_DELTA_LINE_BYTES = 38;
// Slots of the path-to-hash table of the current day and of the readers' day tables.
constexpr uint32_t ANYWHEN_TABLE_SLOTS = 65536;
// Deepest folder level the start-of-day snapshot walks.
constexpr int ANYWHEN_MAX_DEPTH = 1024;
// A change is stored as a delta when the delta has at most ANYWHEN_DELTA_MAX bytes and either at
// most ANYWHEN_DELTA_SMALL bytes or at most a sixteenth of the new content.
constexpr int64_t ANYWHEN_DELTA_MAX = 8192;
constexpr int64_t ANYWHEN_DELTA_SMALL = 512;
// Most moments one day query lists.
constexpr int32_t ANYWHEN_MAX_MOMENTS = 8192;
// Longest location text the queries accept.
constexpr int32_t ANYWHEN_LOCATION_MAX = 2047;
// Months that have a filter: 2024-01 to 2123-12.
constexpr int ANYWHEN_FIRST_YEAR = 2024;
// A moment of a later year is fetched as the same moment of this year.
constexpr int ANYWHEN_LAST_YEAR = 2030;
constexpr int ANYWHEN_MONTHS = 1200;
// Filters are sized for at least this many keys, with this false-positive rate.
constexpr int ANYWHEN_BLOOM_ENTRIES = 32768;
constexpr double ANYWHEN_BLOOM_ERROR = 1e-5;

// ---- String-keyed table -------------------------------------------------------------------
// Open addressing over a power-of-two number of slots; each key probes at most 32 slots.
// Keys and values are appended to their stores as a u32 length, the bytes and a zero byte;
// a slot holds 1 + the offset of its entry (0: empty; HTABLE_DELETED in a key slot: removed).
constexpr uint32_t HTABLE_DELETED = 0xFFFFFFFFu;
constexpr int HTABLE_PROBES = 32;

struct htable {
    uint32_t capacity;
    uint32_t count;          // keys stored
    uint32_t* key_slot;
    uint32_t* value_slot;    // 0 = the key has no value
    pbuffer* keys;
    pbuffer* values;
};

// Null when capacity is not a power of two (or memory runs out).
htable* create_htable(uint32_t capacity);
void destroy_htable(htable* t);
// The value of key (length in *length_out), "true" (length 4) for a key stored without a
// value, or null when the key is absent.
const char* htable_get(htable* t, const char* key, int32_t* length_out);
// Stores key with value (null: no value), replacing the value of a key already there.
// 0 when stored; nonzero when none of the key's probed slots was free.
int htable_insert(htable* t, const char* key, const char* value, int32_t length);
// 1 when key was found and removed, else 0.
int htable_delete(htable* t, const char* key);

// ---- Line reader ----------------------------------------------------------------------------
// Reads a file in 32 KB chunks; lines come without their line end, and empty lines are skipped.
// With charge set, every chunk read is passed to it; when it answers true the reader stops as at
// the end of the file, with stopped set (the line returned by that call is then incomplete).
struct line_reader {
    FILE* f;
    uint8_t* buffer;
    int32_t pos;
    int32_t end;
    int32_t at_eof;
    int32_t cut;   // the last line was longer than ANYWHEN_LINE_MAX and was cut
    int32_t stopped;
    int64_t offset;  // where the buffer's end lies in the file
    bool (*charge)(int64_t bytes);
};

// Opens the file at host_path; false when it cannot be opened. charge may be null.
bool line_iter_start(line_reader* r, const char* host_path, bool (*charge)(int64_t bytes) = nullptr);
// Copies the next line (at most ANYWHEN_LINE_MAX bytes and a zero byte) into line, which
// holds ANYWHEN_LINE_MAX + 1 bytes; its length, or -1 at the end.
int32_t line_iter(line_reader* r, char* line);
// Where the next line (or the empty lines before it) starts in the file.
int64_t line_iter_tell(const line_reader* r);
// Goes on from offset, which should be a line start that line_iter_tell gave; false when the
// file cannot seek there.
bool line_iter_seek(line_reader* r, int64_t offset);
void line_iter_end(line_reader* r);

// ---- Recording --------------------------------------------------------------------------------
// At boot: forgets the current day log and records the session's start.
void anywhen_open();
// At exit: frees the table and the month filters.
void anywhen_close();
// kind 0 a host file was written (path = its virtual path, host_path = the host file),
// 1 a file or folder was deleted, 2 a folder was made, 3 a note (path = the note text, may
// be null), 4 only today's log. Nothing while the anywhen setting is off.
void anywhen_event(int kind, const char* path, const char* host_path);
// Records one host file: its start-of-day record, or a change as a delta or a full blob.
void store_file_checkpoint(FILE* log, const char* host_path, const char* path, const char* mox_folder,
                           const char* blob_folder, int start_of_day);
// Writes the start-of-day records of the host-backed folder tree at path.
void generate_daily_branch(const char* path, FILE* log, int depth, const char* mox_folder,
                           const char* blob_folder);
// "@ <time>" or "@ <time> <note>" with the current UTC time.
void add_timestamp(FILE* log, const char* note);
// The delta as "| " lines of ANYWHEN_DELTA_LINE_BYTES bytes in hexadecimal.
void write_delta(FILE* log, const pbuffer* delta);
// Fills the current day's table from the ":" and "$" lines of the log at host_path.
void load_log(const char* host_path);
// The hash stored for path in the current day's table, or null.
const char* anywhen_table_hash(const char* path);

// The content named by hash: "<mox_folder>/<hash>" when present, else the blob
// "<blob_folder>/<hash>.lz4"; null when neither gives it.
pbuffer* anywhen_load_content(const char* hash, const char* mox_folder, const char* blob_folder);
// The host path of "anywhen/<rest>" in the application-data folder (VELT_PATH_MAX bytes);
// false when it does not fit.
bool anywhen_host_path(const char* rest, char* dst);

// ---- Queries -----------------------------------------------------------------------------------
// The filter of a month, built from its day logs first when build is set; null outside the
// months that have filters.
bloom* get_bloom_by_month_ex(int year, int month, int build);
bloom* get_bloom_by_month(int year, int month);
// Drops a month's filter; it is built again on its next use.
void invalidate_bloom_by_month(int year, int month);
// Frees every month filter and whatever the last script query kept.
void anywhen_release_queries();
// Whether the month's filter may hold key, or "<key>@@<day>".
int anywhen_check_location_by_month(const char* key, int year, int month);
int anywhen_check_location_by_day(const char* key, int year, int month, int day);

// Queries by location ("<path> @ <moment>": the path, one separator character, '@', one
// separator character, the moment "YYYY-MM-DD_HH:MM:SS", or "YYYY-MM-DD" for a day). Each
// list fills out and returns how many it added, or -1 for a malformed location.
// The days ("YYYY-MM-DD") on which path changed, in date order.
int anywhen_list_by_loc(const char* path, listing* out);
// The moments of one day at which a file changed ("HH:MM:SS" and its extension), or at which
// new files appeared in a folder.
int anywhen_list_by_day(const char* location, listing* out);
// The names in a folder at a moment, folders first, without a final '/'.
int anywhen_list_by_folder_moment(const char* location, listing* out);
// 1 when the path of an "anywhen://" location was a folder on the moment's day, 0 when not,
// -1 for a malformed location.
int anywhen_get_attr(const char* location);
// A new buffer with the file's content at the moment, or null.
pbuffer* anywhen_fetch(const char* location);
// Each query charges its work as it goes (kernel/slice.h) and stops once past the overrun bound,
// giving nothing (-1 from the counting ones). Whether the last query stopped so: its caller then
// frees what it holds and raises the overrun error.
bool anywhen_query_stopped();

// Script functions.
int lua54_fetch_anywhen(lua_State* L);             // _fetch_anywhen
int lua54_fetch_anywhen_metadata(lua_State* L);    // _fetch_anywhen_metadata
int lua54_list_anywhen_by_day(lua_State* L);       // _list_anywhen_by_day
int lua54_list_anywhen_by_loc(lua_State* L);       // _list_anywhen_by_loc
int lua54_list_anywhen_folder_moment(lua_State* L);  // _list_anywhen_folder_moment
int lua54_anywhen_get_attr(lua_State* L);          // _anywhen_get_attr
