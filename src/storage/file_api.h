// Script functions of storage: fetch and store with decoding by extension and content, deltas,
// the cache folder, file metadata headers, and the folder, status, path, copy and delete calls.
#pragma once
#include <cstdint>

struct lua_State;
struct pbuffer;

// Cache files shorter than this are treated as missing.
constexpr int64_t CACHE_MIN_BYTES = 512;
// Versions tried in turn (from this one down to 0) for a versioned cache name.
constexpr int CACHE_MAX_VERSION = 32;
// Longest cache folder or file name.
constexpr int CACHE_NAME_MAX = 128;
// Image cartridges shorter than this are refused by store.
constexpr int64_t Q64_PNG_MIN_BYTES = 512;
// Allocation tag of the buffers made here.
constexpr int32_t FILE_API_BUFFER_TAG = 117;

// Whether name may be used as a cache folder or file name: 1..CACHE_NAME_MAX characters,
// each a letter, a digit, '.', '_' or '-', not beginning with '.'. With versioned set the
// name may also hold one "%d" placeholder.
bool cache_name_allowed(const char* name, int64_t length, bool versioned);

// Pushes what fetched bytes stand for, by the extension of name and by their content: host
// text ("txt", "lua", "pn") becomes t6scii; mox documents become their value (and metadata
// table); anything else stays a string. flags are fetch's flags. Returns the values pushed
// (0 when a mox document does not parse). bytes is not changed. A push can raise a memory
// error, which passes on after this function has freed what it made itself: a caller must not
// own bytes (or anything else) in its own frame across the call, but hold it where it is freed
// anyway, or make the call inside a protected call (kernel/api.h).
int unmox_from_fetched_buffer(lua_State* L, const pbuffer* bytes, const char* name, int flags);

// Script functions (each name's aliases share one function; see the registry).
int lua54_create_delta(lua_State* L);            // create_delta
int lua54_apply_delta(lua_State* L);             // apply_delta
int lua54_fetch_local(lua_State* L);             // _fetch_local, fetch
int lua54_store_local(lua_State* L);             // _store_local, store
int lua54_cache_store(lua_State* L);             // _cache_store
int lua54_cache_fetch(lua_State* L);             // _cache_fetch
int lua54_fetch_metadata_from_file(lua_State* L);    // _fetch_metadata_from_file
int lua54_store_metadata_str_to_file(lua_State* L);  // _store_metadata_str_to_file
int lua54_ls(lua_State* L);                      // _ls, ls
int lua54_mkdir(lua_State* L);                   // _mkdir, mkdir
int lua54_fstat(lua_State* L);                   // _fstat, fstat
int lua54_fullpath(lua_State* L);                // _fullpath, fullpath
int lua54_fcopy(lua_State* L);                   // cp, _fcopy
int lua54_fdelete(lua_State* L);                 // _fdelete
