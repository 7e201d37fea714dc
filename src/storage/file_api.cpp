// Script functions of storage: fetch and store, deltas, the cache folder, metadata headers,
// folders, status, paths, copying and deletion. All run on the main thread for cproc.
#include "storage/file_api.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/api.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/host.h"
#include "platform/host_text.h"
#include "storage/delta.h"
#include "storage/image.h"
#include "storage/mox.h"
#include "storage/pdisk.h"
#include "userdata/userdata.h"

namespace {

constexpr char MOX_PREFIX[] = "--[[mox";
constexpr char RAW_HEADER[] = "--[[mox_format=\"raw\"";  // 20 characters
constexpr char LEGACY_PREFIX[] = "-- orvalune object data";
constexpr char NONE_FORMAT[] = "metadata_format=\"none\"";
constexpr char EMPTY_HEADER[] = "--[[mox]]\n";
constexpr char ANYWHEN_PREFIX[] = "anywhen://";
constexpr char CARTRIDGE_MOUNT_ORIGIN[] = "/ram/mount/";
constexpr char RAM_LIMIT_REACHED[] = "ram file limit reached";

const char* text_of(const pbuffer* b) { return b && b->data ? reinterpret_cast<const char*>(b->data) : ""; }

int64_t length_of(const pbuffer* b) { return b && b->data && b->length > 0 ? b->length : 0; }

bool begins_with(const void* data, int64_t length, const char* prefix) {
    size_t n = strlen(prefix);
    return data && length >= int64_t(n) && memcmp(data, prefix, n) == 0;
}

bool contains(const char* text, size_t length, const char* needle) {
    return std::string_view(text, length).find(needle) != std::string_view::npos;
}

// The string argument at index, or null for any other type.
const char* string_arg(lua_State* L, int index, size_t* length = nullptr) {
    if (lua_type(L, index) != LUA_TSTRING) return nullptr;
    return lua_tolstring(L, index, length);
}

// The normalised form of a path argument (a new buffer), or null when it is missing or refused.
pbuffer* normalised_arg(lua_State* L, int index) {
    const char* path = string_arg(L, index);
    if (!path) return nullptr;
    pbuffer* norm = normalise_orvalune_path(path);
    if (norm && length_of(norm) == 0) {
        destroy_buffer(norm);
        return nullptr;
    }
    return norm;
}

bool is_text_ext(const char* ext) { return !strcmp(ext, "txt") || !strcmp(ext, "lua") || !strcmp(ext, "pn"); }

bool is_image_ext(const char* ext) { return !strcmp(ext, "png") || !strcmp(ext, "t6.png") || !strcmp(ext, "qoi"); }

// A document that store wrote as mox text: a header that is not raw, then a binary block.
// Its bytes are never host text, and converting them as such would damage the block.
bool is_binary_mox_document(const uint8_t* data, int64_t length) {
    if (!begins_with(data, length, MOX_PREFIX) || begins_with(data, length, RAW_HEADER)) return false;
    int64_t header = find_metadata_length(reinterpret_cast<const char*>(data), length);
    if (length - header < 4) return false;
    const uint8_t* body = data + header;
    if (body[3] != 0) return false;
    return memcmp(body, "lz4", 3) == 0 || memcmp(body, "pxu", 3) == 0 || memcmp(body, "str", 3) == 0;
}

// Pushes the image as a typed array (1), or nothing (0) when the bytes are no image. Runs
// inside a protected call.
int decode_fetched_image(lua_State* L, const uint8_t* data, int64_t length, const char* ext, int64_t flags) {
    return push_fetched_image(L, data, length, ext, int(flags));
}

// Bytes copied, converted or written by the file functions cost one cycle per this many.
constexpr int64_t FILE_BYTES_PER_CYCLE = 4;

// A copy of the whole file, or null when it does not open. A file larger than a process may
// hold is not read: its bytes could never become a script's value, and reading them would
// hold up the machine.
pbuffer* read_file(const char* path, const char* mode) {
    if (pfile_size(path, 0) > PROCESS_MEMORY_LIMIT) return nullptr;
    ram_file* f = pfopen(path, mode);
    if (!f) return nullptr;
    pbuffer* copy = f->contents ? create_buffer_from_buffer_2(f->contents, FILE_API_BUFFER_TAG)
                                : create_buffer_2(0, FILE_API_BUFFER_TAG);
    pfclose(f);
    spend_cpu(length_of(copy) / FILE_BYTES_PER_CYCLE);
    return copy;
}

enum write_result { WRITE_DONE, WRITE_FAILED, WRITE_NO_ROOM };

// Writes the parts one after another as the whole file, charging their bytes. A file that
// would pass the RAM-file budget is not opened, so it keeps its previous contents.
write_result write_file(const char* path, const char* mode, std::initializer_list<std::string_view> parts) {
    int64_t total = 0;
    for (std::string_view p : parts) total += int64_t(p.size());
    if (!pdisk_ram_room(path, mode, total)) return WRITE_NO_ROOM;
    spend_cpu(total / FILE_BYTES_PER_CYCLE);
    ram_file* f = pfopen(path, mode);
    if (!f) return WRITE_FAILED;
    // A new file's buffer is made at its final size at once: growing it would copy and clear
    // twice the bytes.
    if (mode[0] == 'w' && f->contents && f->contents->length == 0 && f->contents->capacity < uint64_t(total) + 1) {
        pbuffer* sized = create_buffer_2(total, BUFFER_TAG_FILE);
        if (sized) {
            destroy_buffer(f->contents);
            f->contents = sized;
        }
    }
    bool ok = true;
    for (std::string_view p : parts) {
        if (!p.empty() && pfwrite(p.data(), 1, int64_t(p.size()), f) != int32_t(p.size())) ok = false;
    }
    return pfclose(f) == 0 && ok ? WRITE_DONE : WRITE_FAILED;
}

// The refusal text of a write, or null.
const char* write_refusal(write_result r) { return r == WRITE_NO_ROOM ? RAM_LIMIT_REACHED : nullptr; }

// Pushes a refusal text as the one result, or nothing.
int push_refusal(lua_State* L, const char* refusal) {
    if (!refusal) return 0;
    lua_pushstring(L, refusal);
    return 1;
}

// One part of what a store writes: bytes of the argument string at stack slot source (2 or 3),
// looked at again after each pause; of a literal (0); or of the store's own buffer (-1).
struct store_part {
    const char* data;
    int64_t length;
    int source;
};

// Host text (UTF-8) form of t6scii parts one after another, zero bytes kept as they are: a new
// buffer, or null when memory runs out.
pbuffer* encode_text_parts(std::initializer_list<store_part> parts) {
    int64_t total = 0;
    for (const store_part& p : parts) total += p.length;
    pbuffer* out = create_buffer_2(std::min<int64_t>(total + total / 2, PBUFFER_MAX_LENGTH / 2), FILE_API_BUFFER_TAG);
    for (const store_part& p : parts) {
        if (out && !encode_host_text_bytes(reinterpret_cast<const uint8_t*>(p.data), p.length, out)) {
            destroy_buffer(out);
            out = nullptr;
        }
    }
    return out;
}

bool mount_at_or_under(const char* mount_point, const char* path) {
    size_t n = strlen(path);
    return strncmp(mount_point, path, n) == 0 && (mount_point[n] == 0 || mount_point[n] == '/');
}

// Writes the bytes of a cartridge file. Cartridge mounts at or under the path are written back
// first, so that no pending write-back lands on the new bytes later, and dropped afterwards,
// so that the next access mounts the new contents instead of the stale folder.
write_result store_cartridge(const char* path, std::string_view bytes) {
    for (int32_t i = pmounts - 1; i >= 0; i--) {
        if (i < pmounts && mount_at_or_under(text_of(pmount_table[i].mount_point), path))
            flush_dirty_mount(&pmount_table[i], 0);
    }
    write_result result = write_file(path, "wf", {bytes});
    if (result == WRITE_NO_ROOM) return result;
    for (int32_t i = pmounts - 1; i >= 0; i--) {
        if (i >= pmounts) continue;
        const pmount& m = pmount_table[i];
        if (!mount_at_or_under(text_of(m.mount_point), path)) continue;
        if (strncmp(text_of(m.origin), CARTRIDGE_MOUNT_ORIGIN, strlen(CARTRIDGE_MOUNT_ORIGIN)) != 0) continue;
        std::string mount_point = text_of(m.mount_point);
        delete_mount_point(mount_point.c_str());
    }
    return result;
}

// The host path of cache/<folder>[/<name>] in the application-data folder; empty when too long.
std::string cache_host_path(const std::string& folder, const std::string& name) {
    char dst[VELT_PATH_MAX];
    std::string rel = "cache";
    if (!folder.empty()) rel += "/" + folder;
    if (!name.empty()) rel += "/" + name;
    velt_prefix_with_appdata_path(rel.c_str(), dst);
    return dst;
}

// Writes through a temporary file so that a failed write never leaves a cut-off cache entry.
void write_host_file(const std::string& folder_path, const std::string& name, const char* data, size_t n) {
    std::string target = folder_path + "/" + name;
    std::string temp = folder_path + "/." + name + ".part";
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f) return;
    bool ok = n == 0 || fwrite(data, 1, n, f) == n;
    if (fflush(f) != 0) ok = false;
    if (fclose(f) != 0) ok = false;
    if (ok && rename(temp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) unlink(temp.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// Decoding fetched bytes

bool cache_name_allowed(const char* name, int64_t length, bool versioned) {
    if (!name || length < 1 || length > CACHE_NAME_MAX || name[0] == '.') return false;
    int placeholders = 0;
    for (int64_t i = 0; i < length; i++) {
        char c = name[i];
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '_' || c == '-';
        if (plain) continue;
        if (versioned && c == '%' && i + 1 < length && name[i + 1] == 'd' && placeholders == 0) {
            placeholders++;
            i++;
            continue;
        }
        return false;
    }
    return true;
}

namespace {

struct fetched_job {
    const uint8_t* data;
    int64_t length;
    const char* ext;
    int flags;
};

int push_fetched(lua_State* L) {
    const fetched_job* job = static_cast<const fetched_job*>(take_job(L));
    const uint8_t* data = job->data;
    const int64_t length = job->length;
    if (is_image_ext(job->ext)) {
        int n = decode_fetched_image(L, data, length, job->ext, job->flags);
        if (n > 0) return n;
        if (n < 0) {
            // Too large to decode in one go: refused as a failed download is.
            lua_pushnil(L);
            lua_pushnil(L);
            lua_pushstring(L, IMAGE_TOO_LARGE_MESSAGE);
            return 3;
        }
    }
    if (!strcmp(job->ext, "mox") || begins_with(data, length, LEGACY_PREFIX) || begins_with(data, length, MOX_PREFIX))
        return destringify_object(L, reinterpret_cast<const char*>(data), length);
    lua_pushlstring(L, length > 0 ? reinterpret_cast<const char*>(data) : "", size_t(length));
    return 1;
}

}  // namespace

namespace {

// unmox_from_fetched_buffer by the extension itself.
int unmox_fetched(lua_State* L, const pbuffer* bytes, const char* ext, int flags) {
    if (!bytes) return 0;
    char kind[EXT_MAX + 1];
    snprintf(kind, sizeof kind, "%s", ext ? ext : "");
    pbuffer* converted = nullptr;
    if (is_text_ext(kind) && !is_binary_mox_document(bytes->data, length_of(bytes))) {
        converted = decode_host_text(bytes);
        spend_cpu(length_of(bytes) / FILE_BYTES_PER_CYCLE);
    }
    const pbuffer* text = converted ? converted : bytes;
    fetched_job job{text->data, length_of(text), kind, flags};
    const int top = lua_gettop(L);
    // The converted text is this frame's own: the pushes run as a protected call.
    const int status = protected_call(L, push_fetched, &job, 0);
    destroy_buffer(converted);
    if (status != LUA_OK) raise_again(L, status);
    return lua_gettop(L) - top;
}

}  // namespace

int unmox_from_fetched_buffer(lua_State* L, const pbuffer* bytes, const char* name, int flags) {
    char ext[EXT_MAX + 1];
    snprintf(ext, sizeof ext, "%s", get_ext(name));
    return unmox_fetched(L, bytes, ext, flags);
}

// ---------------------------------------------------------------------------
// Deltas

int lua54_create_delta(lua_State* L) {
    size_t la = 0, lb = 0;
    const char* a = string_arg(L, 1, &la);
    const char* b = string_arg(L, 2, &lb);
    if (!a || !b) return 0;
    pbuffer* d = generate_diff(a, int64_t(la), b, int64_t(lb));
    if (!d) return 0;
    spend_cpu(length_of(d) / 4);
    push_bytes_then_destroy(L, text_of(d), size_t(length_of(d)), d);
    return 1;
}

int lua54_apply_delta(lua_State* L) {
    size_t la = 0, ld = 0;
    const char* a = string_arg(L, 1, &la);
    const char* delta = string_arg(L, 2, &ld);
    if (!a || !delta) return 0;
    pbuffer* b = apply_diff(a, int64_t(la), delta, int64_t(ld));
    if (!b) return 0;
    spend_cpu(length_of(b) / 4);
    push_bytes_then_destroy(L, text_of(b), size_t(length_of(b)), b);
    return 1;
}

// ---------------------------------------------------------------------------
// Reading and writing files

namespace {

struct fetch_job {
    const pbuffer* bytes;
    const char* ext;
    int flags;
};

int fetch_body(lua_State* L) {
    const fetch_job* job = static_cast<const fetch_job*>(take_job(L));
    return unmox_fetched(L, job->bytes, job->ext, job->flags);
}

// --- Host files piece by piece ---
// A store to a host file, or a fetch, made where the thread can yield goes on over several
// slices: it writes (or reads, or decodes) a piece at a time and ends the slice between pieces
// once the budget is spent. What it holds meanwhile lives in a transfer on the caller's stack,
// whose __gc releases it all when the call is abandoned (an error, a killed process): the
// target then keeps its old bytes and no temporary file is left.

constexpr int64_t HOST_PIECE_BYTES = int64_t(1) << 20;
// Host text is decoded in smaller pieces, each byte past ASCII charged as this many cycles.
constexpr int64_t DECODE_PIECE_BYTES = int64_t(1) << 16;
constexpr int64_t DECODE_WIDE_BYTE_CYCLES = 8;
constexpr char TRANSFER_TYPE[] = "host file transfer";

struct host_transfer {
    pbuffer* path;         // the normalised path
    pbuffer* origin;       // store: the host file
    host_stream* stream;   // store: the temporary file beside the target
    int fd;                // fetch: the host file being read, or -1
    pbuffer* bytes;        // store: bytes made for the file; fetch: the bytes read
    pbuffer* text;         // store: the last piece as host text; fetch: the text decoded
    store_part parts[3];   // store: what is written, in order
    int part;              // store: the part being written
    int64_t done;          // store: bytes of that part written; fetch: bytes decoded
    int64_t decode_from;   // fetch: where decoding starts (past a byte-order mark), -1 whole
    bool encode;           // store: the parts are t6scii, written as host text
    bool decode;           // fetch: the bytes are host text
    bool raw;              // fetch: the bytes are the result as they are
    int flags;             // fetch: its flags
    char ext[EXT_MAX + 1];
};

void release_transfer(host_transfer* t) {
    if (!t) return;
    host_write_abandon(t->stream);
    t->stream = nullptr;
    if (t->fd >= 0) close(t->fd);
    t->fd = -1;
    destroy_buffer(t->path);
    destroy_buffer(t->origin);
    destroy_buffer(t->bytes);
    destroy_buffer(t->text);
    t->path = t->origin = t->bytes = t->text = nullptr;
}

int transfer_gc(lua_State* L) {
    release_transfer(static_cast<host_transfer*>(lua_touserdata(L, 1)));
    return 0;
}

// Pushes an empty transfer; raises only before it holds anything.
host_transfer* push_transfer(lua_State* L) {
    host_transfer* t = static_cast<host_transfer*>(lua_newuserdatauv(L, sizeof(host_transfer), 0));
    memset(t, 0, sizeof *t);
    t->fd = -1;
    if (luaL_newmetatable(L, TRANSFER_TYPE)) {
        lua_pushcfunction(L, api_guarded<transfer_gc>);
        lua_setfield(L, -2, "__gc");
    }
    lua_setmetatable(L, -2);
    return t;
}

// The transfer at slot, with the stack as the call's first part left it; null when it is gone.
host_transfer* transfer_at(lua_State* L, int slot) {
    lua_settop(L, slot);
    return static_cast<host_transfer*>(luaL_testudata(L, slot, TRANSFER_TYPE));
}

// Whether the argument strings a store writes from are still the ones it began with.
bool store_parts_held(lua_State* L, const host_transfer* t) {
    for (const store_part& p : t->parts) {
        if (p.source <= 0 || p.length == 0) continue;
        size_t n = 0;
        if (lua_type(L, p.source) != LUA_TSTRING || lua_tolstring(L, p.source, &n) != p.data || int64_t(n) < p.length)
            return false;
    }
    return true;
}

int store_k(lua_State* L, int, lua_KContext) {
    host_transfer* t = transfer_at(L, 4);
    if (!t) return 0;
    if (!t->stream || !store_parts_held(L, t)) {
        release_transfer(t);
        return 0;
    }
    while (t->part < 3) {
        const store_part& p = t->parts[t->part];
        const int64_t n = std::min(p.length - t->done, HOST_PIECE_BYTES);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(p.data) + t->done;
        bool ok = true;
        if (n > 0 && t->encode) {
            if (!t->text) t->text = create_buffer_2(n + n / 2, FILE_API_BUFFER_TAG);
            if (t->text) t->text->length = t->text->cursor = 0;
            ok = t->text && encode_host_text_bytes(bytes, n, t->text) &&
                 host_write_piece(t->stream, t->text->data, t->text->length);
            spend_cpu(n / FILE_BYTES_PER_CYCLE + (t->text ? int64_t(t->text->length) * 3 / 8 : 0));
        } else if (n > 0) {
            ok = host_write_piece(t->stream, bytes, n);
            spend_cpu(n * 3 / 8);
        }
        if (!ok) {
            release_transfer(t);
            return 0;
        }
        t->done += n;
        if (t->done >= p.length) {
            t->part++;
            t->done = 0;
        }
        if (t->part < 3 && native_work_should_pause(L)) return native_work_pause(L, 0, api_guarded_k<store_k>);
    }
    spend_cpu(frame_budget() / 4);
    // The file goes where the path leads now: if its mount has changed meanwhile, the store fails.
    pbuffer* now = host_origin_of(text_of(t->path), "w");
    const bool same = now && strcmp(text_of(now), text_of(t->origin)) == 0;
    destroy_buffer(now);
    if (same) host_write_finish(t->stream, text_of(t->path), text_of(t->origin));
    else host_write_abandon(t->stream);
    t->stream = nullptr;
    release_transfer(t);
    return 0;
}

struct store_job {
    const char* path;
    host_transfer* transfer;  // null when the store is made in one go
};

// When the store goes on piece by piece and path leads to a host file, hands the parts (and
// the buffer they come from, which it then owns) to the transfer and answers true.
bool hand_to_transfer(const store_job* job, const char* mode, std::initializer_list<store_part> parts,
                      pbuffer** owned, bool encode) {
    host_transfer* t = job->transfer;
    if (!t) return false;
    t->origin = host_origin_of(job->path, mode);
    if (!t->origin) return false;
    t->stream = host_write_begin(text_of(t->origin));
    int i = 0;
    for (const store_part& p : parts) t->parts[i++] = p;
    if (owned) {
        t->bytes = *owned;
        *owned = nullptr;
    }
    t->encode = encode;
    return true;
}

// The work of store, with its three arguments; the path, normalised, comes in the job. Pushes
// a refusal text, or nothing; or hands a host file's bytes to the job's transfer.
int store_body(lua_State* L) {
    const store_job* job = static_cast<const store_job*>(take_job(L));
    const char* path = job->path;
    size_t value_length = 0, meta_length = 0;
    const char* value = string_arg(L, 2, &value_length);
    const char* meta = string_arg(L, 3, &meta_length);
    char ext[EXT_MAX + 1];
    snprintf(ext, sizeof ext, "%s", get_ext(path));

    // Raw text: the metadata header (unless a trusted caller asks for none) and the bytes.
    // The strings here are made and dropped without a call into the script state.
    if (value && begins_with(meta, int64_t(meta_length), RAW_HEADER)) {
        const char* refusal = nullptr;
        {
            const bool bare = !(cproc && cproc->sandboxed) && contains(meta, meta_length, NONE_FORMAT);
            const store_part header{meta, bare ? 0 : int64_t(meta_length), 3};
            const store_part newline{"\n", bare ? 0 : 1, 0};
            const store_part bytes{value, int64_t(value_length), 2};
            if (is_text_ext(ext)) {
                // Text files hold host text, which is what fetch turns back into these bytes.
                if (hand_to_transfer(job, "w", {header, newline, bytes}, nullptr, true)) return 0;
                spend_cpu((header.length + bytes.length) / FILE_BYTES_PER_CYCLE);
                pbuffer* host = encode_text_parts({header, newline, bytes});
                if (host) refusal = write_refusal(write_file(path, "w", {std::string_view(text_of(host), size_t(length_of(host)))}));
                destroy_buffer(host);
            } else {
                if (hand_to_transfer(job, "wb", {header, newline, bytes}, nullptr, false)) return 0;
                refusal = write_refusal(write_file(path, "w", {std::string_view(header.data, size_t(header.length)),
                                                               std::string_view(newline.data, size_t(newline.length)),
                                                               std::string_view(value, value_length)}));
            }
        }
        return push_refusal(L, refusal);
    }

    const int cartridge = q64_path_kind(path);
    if (cartridge != 0) {
        if (!value) return 0;
        if (cartridge == 3 && (int64_t(value_length) < Q64_PNG_MIN_BYTES || memcmp(value + 1, "PNG", 3) != 0))
            return push_refusal(L, "invalid .q64.png file: not a valid PNG");
        return push_refusal(L, write_refusal(store_cartridge(path, std::string_view(value, value_length))));
    }

    // The image is made before the file is opened: an array that cannot be written leaves
    // the file as it was.
    if (is_image_ext(ext)) {
        bool too_large = false;
        pbuffer* image = encode_array_as_image(to_userdata(L, 2), !strcmp(ext, "qoi"), &too_large);
        if (too_large) return push_refusal(L, IMAGE_TOO_LARGE_MESSAGE);
        if (!image) return 0;
        const store_part whole{text_of(image), length_of(image), -1};
        if (hand_to_transfer(job, "wb", {whole}, &image, false)) return 0;
        write_result r = write_file(path, "wb", {std::string_view(text_of(image), size_t(length_of(image)))});
        destroy_buffer(image);
        return push_refusal(L, write_refusal(r));
    }

    // The mox text is made before the file is opened: a value that cannot be written leaves
    // the file as it was. The writer never raises.
    const char* refusal = nullptr;
    pbuffer* text = create_buffer_2(1024, FILE_API_BUFFER_TAG);
    if (text && stringify_object(L, 2, text, MOX_STORE_FLAGS) >= 0) {
        std::string_view header = meta ? std::string_view(meta, meta_length) : std::string_view(EMPTY_HEADER);
        const store_part head{header.data(), int64_t(header.size()), meta ? 3 : 0};
        const store_part body{text_of(text), length_of(text), -1};
        if (hand_to_transfer(job, "w", {head, body}, &text, false)) return 0;
        refusal = write_refusal(write_file(path, "w", {header, std::string_view(text_of(text), size_t(length_of(text)))}));
    }
    destroy_buffer(text);
    return push_refusal(L, refusal);
}

}  // namespace

int lua54_store_local(lua_State* L) {
    lua_settop(L, 3);
    if (!lua_isyieldable(L)) {
        pbuffer* path = normalised_arg(L, 1);
        if (!path) return 0;
        // The path is this frame's own: the work runs as a protected call.
        store_job job{text_of(path), nullptr};
        const int status = protected_call(L, store_body, &job, 3);
        destroy_buffer(path);
        if (status != LUA_OK) raise_again(L, status);
        return lua_gettop(L);
    }
    // The arguments stay below the transfer for the pieces written in later slices; the work
    // gets copies of them.
    host_transfer* t = push_transfer(L);
    t->path = normalised_arg(L, 1);
    if (!t->path) return 0;
    lua_pushvalue(L, 1);
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 3);
    store_job job{text_of(t->path), t};
    const int status = protected_call(L, store_body, &job, 3);
    if (status != LUA_OK) {
        release_transfer(t);
        raise_again(L, status);
    }
    if (t->origin) return store_k(L, LUA_OK, 0);
    release_transfer(t);
    return lua_gettop(L) - 4;
}

namespace {

// fetch made in one go.
int fetch_whole(lua_State* L, int64_t flags) {
    pbuffer* path = normalised_arg(L, 1);
    if (!path) return 0;
    const bool raw = q64_path_kind(text_of(path)) != 0 || (flags & 2) != 0;
    pbuffer* bytes = read_file(text_of(path), raw ? "rf" : "rb");
    char ext[EXT_MAX + 1];
    snprintf(ext, sizeof ext, "%s", get_ext(text_of(path)));
    destroy_buffer(path);
    if (!bytes) return 0;
    if (raw) {
        push_bytes_then_destroy(L, text_of(bytes), size_t(length_of(bytes)), bytes);
        return 1;
    }
    // The bytes are this frame's own: the reading runs as a protected call.
    fetch_job job{bytes, ext, int(flags & 0xFF)};
    const int top = lua_gettop(L);
    const int status = protected_call(L, fetch_body, &job, 0);
    destroy_buffer(bytes);
    if (status != LUA_OK) raise_again(L, status);
    return lua_gettop(L) - top;
}

// Pushes what a fetch read and decoded, then frees it.
int push_transfer_result(lua_State* L, host_transfer* t) {
    const int top = lua_gettop(L);
    int status = LUA_OK;
    if (t->raw) {
        push_bytes_then_destroy(L, text_of(t->bytes), size_t(length_of(t->bytes)), nullptr);
    } else if (t->decode) {
        // Decoded text is pushed as fetch pushes any other bytes.
        const pbuffer* text = t->text ? t->text : t->bytes;
        fetched_job job{text->data, length_of(text), t->ext, t->flags};
        status = protected_call(L, push_fetched, &job, 0);
    } else {
        fetch_job job{t->bytes, t->ext, t->flags};
        status = protected_call(L, fetch_body, &job, 0);
    }
    release_transfer(t);
    if (status != LUA_OK) raise_again(L, status);
    return lua_gettop(L) - top;
}

// Once every byte is read: whether the bytes are host text to decode, and from where.
void begin_decoding(host_transfer* t) {
    t->decode = !t->raw && is_text_ext(t->ext) && !is_binary_mox_document(t->bytes->data, length_of(t->bytes));
    if (!t->decode) return;
    t->decode_from = host_text_utf8_start(t->bytes);
    t->done = t->decode_from;
    if (t->decode_from >= 0) t->text = create_buffer_2(length_of(t->bytes) - t->decode_from, HOST_TEXT_BUFFER_TAG);
}

int fetch_k(lua_State* L, int, lua_KContext) {
    host_transfer* t = transfer_at(L, 3);
    if (!t || !t->bytes) return 0;
    while (t->fd >= 0) {
        static uint8_t chunk[HOST_READ_CHUNK];
        int64_t got_piece = 0;
        bool ok = true, end = false;
        while (got_piece < HOST_PIECE_BYTES) {
            ssize_t got = read(t->fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ok = got == 0;
                end = true;
                break;
            }
            if (bwrite(chunk, 1, got, t->bytes) != got) {  // grew past what a buffer can hold
                ok = false;
                break;
            }
            got_piece += got;
        }
        spend_cpu(got_piece / 8 + got_piece / FILE_BYTES_PER_CYCLE);
        if (!ok) {
            release_transfer(t);
            return 0;
        }
        if (end) {
            close(t->fd);
            t->fd = -1;
            begin_decoding(t);
        } else if (native_work_should_pause(L)) {
            return native_work_pause(L, 0, api_guarded_k<fetch_k>);
        }
    }
    if (t->decode && t->decode_from < 0) {
        // A wider form than UTF-8: decoded whole.
        t->text = decode_host_text(t->bytes);
        spend_cpu(length_of(t->bytes) / FILE_BYTES_PER_CYCLE);
    } else if (t->decode && t->text) {
        const int64_t n = length_of(t->bytes);
        while (t->done < n) {
            const uint8_t* from = t->bytes->data + t->done;
            const int64_t used = decode_utf8_piece(from, n - t->done, DECODE_PIECE_BYTES, t->text);
            // A byte past ASCII is looked up in the character tables: far more work than a plain one.
            int64_t wide = 0;
            for (int64_t i = 0; i < used; i++) wide += from[i] >> 7;
            t->done += used;
            spend_cpu(used / FILE_BYTES_PER_CYCLE + wide * DECODE_WIDE_BYTE_CYCLES);
            if (t->done < n && native_work_should_pause(L)) return native_work_pause(L, 0, api_guarded_k<fetch_k>);
        }
    }
    return push_transfer_result(L, t);
}

}  // namespace

int lua54_fetch_local(lua_State* L) {
    const int64_t flags = q64_intp(L, 2, 0);
    if (!lua_isyieldable(L)) return fetch_whole(L, flags);
    lua_settop(L, 1);
    lua_pushinteger(L, flags);
    host_transfer* t = push_transfer(L);
    t->path = normalised_arg(L, 1);
    if (!t->path) return 0;
    const char* path = text_of(t->path);
    t->raw = q64_path_kind(path) != 0 || (flags & 2) != 0;
    t->flags = int(flags & 0xFF);
    snprintf(t->ext, sizeof t->ext, "%s", get_ext(path));
    const char* mode = t->raw ? "rf" : "rb";
    // A file larger than a process may hold is not read (see read_file).
    if (pfile_size(path, 0) > PROCESS_MEMORY_LIMIT) {
        release_transfer(t);
        return 0;
    }
    pbuffer* origin = host_origin_of(path, mode);
    if (origin) {
        t->fd = host_read_open(text_of(origin));
        destroy_buffer(origin);
        struct stat st;
        if (t->fd >= 0 && fstat(t->fd, &st) == 0) t->bytes = create_buffer_2(int64_t(st.st_size), FILE_API_BUFFER_TAG);
    } else {
        t->bytes = read_file(path, mode);
        if (t->bytes) begin_decoding(t);
    }
    if (!t->bytes) {
        release_transfer(t);
        return 0;
    }
    return fetch_k(L, LUA_OK, 0);
}

// ---------------------------------------------------------------------------
// Cache folder

int lua54_cache_store(lua_State* L) {
    size_t lf = 0, ln = 0, ld = 0;
    const char* folder = string_arg(L, 1, &lf);
    const char* name = string_arg(L, 2, &ln);
    const char* data = string_arg(L, 3, &ld);
    if (!folder || !name || !data) return 0;
    if (!cache_name_allowed(folder, int64_t(lf), false) || !cache_name_allowed(name, int64_t(ln), false)) return 0;
    std::string cache = cache_host_path("", "");
    std::string folder_path = cache_host_path(folder, "");
    if (cache.empty() || folder_path.empty()) return 0;
    velt_mkdir(cache.c_str());
    velt_mkdir(folder_path.c_str());
    write_host_file(folder_path, name, data, ld);
    return 0;
}

namespace {

// The bytes of a cache file (the highest version present for a versioned name), or null.
// No call into a script state is made here.
pbuffer* read_cache_file(const char* folder, const char* name, size_t name_length, bool versioned) {
    std::string file_name(name, name_length);
    size_t placeholder = versioned ? file_name.find("%d") : std::string::npos;
    std::string host_path;
    if (placeholder == std::string::npos) {
        host_path = cache_host_path(folder, file_name);
    } else {
        for (int v = CACHE_MAX_VERSION; v >= 0; v--) {
            std::string candidate = file_name;
            candidate.replace(placeholder, 2, std::to_string(v));
            std::string p = cache_host_path(folder, candidate);
            struct stat st;
            if (!p.empty() && stat(p.c_str(), &st) == 0) {
                host_path = p;
                break;
            }
        }
    }
    if (host_path.empty()) return nullptr;
    return create_buffer_from_file(host_path.c_str());
}

}  // namespace

int lua54_cache_fetch(lua_State* L) {
    size_t lf = 0, ln = 0;
    const char* folder = string_arg(L, 1, &lf);
    const char* name = string_arg(L, 2, &ln);
    const bool versioned = lua_toboolean(L, 3) != 0;
    if (!folder || !name) return 0;
    if (!cache_name_allowed(folder, int64_t(lf), false) || !cache_name_allowed(name, int64_t(ln), versioned)) return 0;
    pbuffer* bytes = read_cache_file(folder, name, ln, versioned);
    if (!bytes || length_of(bytes) < CACHE_MIN_BYTES) {
        destroy_buffer(bytes);
        return 0;
    }
    push_bytes_then_destroy(L, text_of(bytes), size_t(length_of(bytes)), bytes);
    return 1;
}

// ---------------------------------------------------------------------------
// Metadata headers

int lua54_fetch_metadata_from_file(lua_State* L) {
    pbuffer* path = normalised_arg(L, 1);
    if (!path) return 0;
    ram_file* f = pfopen(text_of(path), "rm");
    destroy_buffer(path);
    if (!f) return 0;
    int n = 0;
    const int64_t length = length_of(f->contents);
    if (f->contents && begins_with(f->contents->data, length, MOX_PREFIX))
        n = destringify_object_metadata(L, text_of(f->contents), length);  // never raises
    pfclose(f);
    return n;
}

namespace {

// The work of _store_metadata_str_to_file; a refusal text or null. No call into a script
// state is made here.
const char* replace_metadata(const char* path, const char* header, size_t header_length) {
    // The body is copied out before the file is opened for writing, which empties a ram file.
    std::string body;
    bool keep_header = true;  // a file made here holds the header alone, whatever it says
    ram_file* f = pfopen(path, "r");
    if (f) {
        keep_header = !contains(header, header_length, NONE_FORMAT);
        const char* data = text_of(f->contents);
        const int64_t length = length_of(f->contents);
        const int64_t skip = find_metadata_length(data, length);
        body.assign(data + skip, size_t(length - skip));
        pfclose(f);
    } else if (pdisk_file_exists(path)) {
        return nullptr;  // there but unreadable: never replace it by the header alone
    }
    return write_refusal(
        write_file(path, "w", {keep_header ? std::string_view(header, header_length) : std::string_view(), body}));
}

}  // namespace

int lua54_store_metadata_str_to_file(lua_State* L) {
    size_t header_length = 0;
    const char* header = string_arg(L, 2, &header_length);
    pbuffer* path = normalised_arg(L, 1);
    const char* refusal = path && header ? replace_metadata(text_of(path), header, header_length) : nullptr;
    destroy_buffer(path);
    return push_refusal(L, refusal);
}

// ---------------------------------------------------------------------------
// Folders, status, paths, copying and deletion

int lua54_ls(lua_State* L) {
    const char* path = string_arg(L, 1);
    return pflist(path ? path : "/", L, nullptr);
}

int lua54_mkdir(lua_State* L) {
    const char* path = string_arg(L, 1);
    const char* message = nullptr;
    if (!path) message = "mkdir: no path";
    else if (pdisk_directory_exists(path, 1)) message = "mkdir: directory already exists";
    else if (pmkdir(path) != 0) message = "mkdir failed";
    if (!message) return 0;
    lua_pushstring(L, message);
    return 1;
}

namespace {

struct file_status {
    const char* kind;         // "folder", "file", or null when nothing is there
    int64_t size;
    const char* description;  // mount description or null
};

// The description is copied into the record: the file system's own buffer is rewritten by its
// next call, which a finalizer run by a push could make.
struct described_status : file_status {
    char text[1024];
};

void status_of(const char* path, described_status* st) {
    st->kind = nullptr;
    st->size = 0;
    st->description = nullptr;
    const bool cartridge = q64_path_kind(path) != 0;
    if (cartridge) flush_dirty_mounts_immediately();
    // A cartridge file that is not mounted reads as the folder it holds; it is reported so
    // without unpacking it, or a listing that asks about every entry would unpack them all.
    const uint32_t held = automount_blocked;
    if (cartridge && !get_mount_description(path)) {
        automount_parents(path);
        automount_blocked = 1;
    }
    if (pdisk_directory_exists(path, 1)) {
        st->kind = "folder";
        st->size = pfile_size(path, 1);
    } else if (pdisk_file_exists(path)) {
        st->kind = cartridge ? "folder" : "file";
        st->size = pfile_size(path, 0);
    }
    automount_blocked = held;
    const char* description = st->kind ? get_mount_description(path) : nullptr;
    if (description) {
        snprintf(st->text, sizeof st->text, "%s", description);
        st->description = st->text;
    }
}

}  // namespace

int lua54_fstat(lua_State* L) {
    pbuffer* path = normalised_arg(L, 1);
    if (!path) return 0;
    described_status st;
    status_of(text_of(path), &st);
    destroy_buffer(path);
    if (!st.kind) return 0;
    lua_pushstring(L, st.kind);
    lua_pushinteger(L, st.size);
    if (st.description) lua_pushstring(L, st.description);
    else lua_pushnil(L);
    return 3;
}

int lua54_fullpath(lua_State* L) {
    const char* path = string_arg(L, 1);
    if (!path) return 0;
    if (strncmp(path, ANYWHEN_PREFIX, strlen(ANYWHEN_PREFIX)) == 0) {
        lua_pushvalue(L, 1);
        return 1;
    }
    pbuffer* norm = normalised_arg(L, 1);
    if (!norm) return 0;
    push_bytes_then_destroy(L, text_of(norm), size_t(length_of(norm)), norm);
    return 1;
}

int lua54_fcopy(lua_State* L) {
    const char* source = string_arg(L, 1);
    const char* destination = string_arg(L, 2);
    int64_t copied = source && destination ? fcopy(source, destination) : 0;
    spend_cpu(copied > 0 ? copied : 1);
    return push_refusal(L, copied < 0 ? RAM_LIMIT_REACHED : nullptr);
}

int lua54_fdelete(lua_State* L) {
    const char* path = string_arg(L, 1);
    if (path) delete_path(path);
    return 0;
}
