// mox: the one text form of script values, used by stored files, messages between processes
// and the mox/unmox script functions; metadata headers, lz4, str and pxu blocks, base64 wrapper.
#pragma once
#include <cstdint>

struct lua_State;
struct pbuffer;

// Writer flags.
constexpr int MOX_PXU = 0x01;         // u8 and i16 typed arrays as pxu blocks
constexpr int MOX_LZ4 = 0x02;         // the whole text as one "lz4" block
constexpr int MOX_B64 = 0x04;         // wrapped as unmox("b64:...")
constexpr int MOX_PXU_RAW = 0x10;     // with MOX_PXU: u8 arrays as raw pxu instead of palette
constexpr int MOX_STR_BLOCKS = 0x20;  // strings as binary "str" blocks
// What store and process messages use.
constexpr int MOX_STORE_FLAGS = MOX_PXU | MOX_LZ4;

// Tables nested deeper than this are written as nil.
constexpr int MOX_WRITE_MAX_DEPTH = 128;
// Documents nested deeper than this (tables, lz4 and b64 documents, unmox wrappers) fail.
constexpr int MOX_READ_MAX_DEPTH = 256;
// The largest text the writer produces and the largest raw size an "lz4" block may claim.
constexpr int64_t MOX_MAX_TEXT_LENGTH = 0x10000000;
// Strings this long or longer are never written as "str" blocks (the reader refuses them).
constexpr int64_t MOX_MAX_STR_BLOCK = 0x2000000;
// Allocation tag of the buffers made here.
constexpr int32_t MOX_BUFFER_TAG = 112;

// Appends the value at stack index to the end of buffer in mox form. Returns the bytes
// appended, or -1 with the buffer as it was when the text would pass MOX_MAX_TEXT_LENGTH,
// the buffer cannot grow or the script state runs out of memory. Never raises a script
// error, so a caller may hold buffers of its own across it.
int64_t stringify_object(lua_State* L, int index, pbuffer* buffer, int flags);
// Writes one value (no lz4 or b64 wrapping); depth is the nesting level of the value.
int64_t stringify_object_recursive(lua_State* L, int index, pbuffer* buffer, int depth, int flags);

// Parses a document of length bytes (no terminator needed). Pushes its value and, when it
// has a metadata header, the header's table; returns the number of values pushed (1 or 2),
// or 0 with nothing pushed when the text is not valid mox or the script state runs out of
// memory. Never raises a script error (the read is a protected call), so a caller may hold
// the buffer the text lives in across it. The metadata reader below behaves the same.
int destringify_object(lua_State* L, const char* text, int64_t length);
// The same; with metadata_only set, only the header's table is pushed (as by
// destringify_object_metadata).
int destringify_object_ex(lua_State* L, const char* text, int64_t length, int metadata_only);
// Pushes the table of the document's metadata header (the entries read before any fault or
// the end of the text) and returns 1; returns 0 with nothing pushed when the text does not
// begin with "--[[mox".
int destringify_object_metadata(lua_State* L, const char* text, int64_t length);
// Bytes of the metadata header through "]]" and one newline after it (the whole text when
// "]]" is missing); 0 when the text does not begin with "--[[mox".
int64_t find_metadata_length(const char* text, int64_t length);

// Reader pieces, for use inside a read begun by the functions above (outside one, "lz4"
// and b64 blocks fail). Each reads at p, never past end, pushes what it read and returns the
// position after it, or returns null with nothing pushed on failure. depth is the nesting
// level, failing beyond MOX_READ_MAX_DEPTH. They may raise memory errors.
const char* get_value(lua_State* L, const char* p, const char* end, int depth);
const char* get_table(lua_State* L, const char* p, const char* end, int depth);
const char* get_string(lua_State* L, const char* p, const char* end);
const char* get_userdata(lua_State* L, const char* p, const char* end);
const char* get_b64(lua_State* L, const char* p, const char* end, int depth);
const char* get_lz4mox(lua_State* L, const char* p, const char* end, int depth);
const char* get_binary_str(lua_State* L, const char* p, const char* end);
// Whether the table element at p is a key (bare or bracketed) rather than a value.
bool is_start_of_key(const char* p, const char* end);

// Script functions: mox(value, flags, prefix) (also _mox and _mox_raw) and unmox(text).
int lua54_mox(lua_State* L);
int lua54_unmox(lua_State* L);

// Messages between processes: send_message(id, msg) (also _send_message_raw) and
// _read_message().
int mox_send_message(lua_State* L);
int mox_read_message(lua_State* L);

// Script functions of messages.
int lua54_send_message(lua_State* L);
int lua54_read_message(lua_State* L);
