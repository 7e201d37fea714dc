// Recording the file history: the day logs, content blobs and deltas written as host files
// change, the path table of the current day, and the log line reader.
#include "storage/anywhen.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <lz4.h>
#include <lz4hc.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/machine.h"
#include "platform/host.h"
#include "storage/delta.h"
#include "storage/murmur.h"
#include "storage/pdisk.h"

namespace {

constexpr int32_t BUFFER_TAG_ANYWHEN = 97;
constexpr int32_t READ_CHUNK = 32768;
constexpr int32_t READ_BUFFER = 34048;
constexpr int32_t REFILL_BELOW = 1024;
constexpr int LZ4_HC_LEVEL = 9;
constexpr size_t HOST_PATH_MAX = 1024;

htable* anywhen_tbl = nullptr;
char current_log[HOST_PATH_MAX];

// ---------------------------------------------------------------------------------------------
// Table internals

int32_t hash_key(const char* key) {
    int32_t h = int32_t(0xCAFEF00Du);
    for (const char* p = key; *p; p++) {
        int32_t c = int8_t(*p);
        int32_t t = int32_t(uint32_t(h ^ int32_t(0xF1378C35u)) * uint32_t(c));
        h = t ^ (t >> 15);
    }
    return h;
}

// Appends length, bytes and a zero byte to a store; 1 + the entry's offset, or 0 when full.
uint32_t store_append(pbuffer* store, const char* bytes, int32_t length) {
    int64_t offset = store->length;
    if (offset + 5 + int64_t(length) >= int64_t(HTABLE_DELETED)) return 0;
    store->cursor = store->length;
    if (bwrite_uint32(uint32_t(length), store) != 4) return 0;
    if (length > 0 && bwrite(bytes, 1, length, store) != length) return 0;
    if (bwrite_uint8(0, store) != 1) return 0;
    return uint32_t(offset) + 1;
}

const char* store_text(const pbuffer* store, uint32_t slot, int32_t* length) {
    const uint8_t* p = store->data + (slot - 1);
    uint32_t n = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    if (length) *length = int32_t(n);
    return reinterpret_cast<const char*>(p + 4);
}

bool key_at(const htable* t, uint32_t slot, const char* key, size_t key_length) {
    int32_t n = 0;
    const char* stored = store_text(t->keys, slot, &n);
    return size_t(n) == key_length && memcmp(stored, key, key_length) == 0;
}

// Index of the slot holding key, or -1; with free_out, the first free slot met (-1 if none).
int64_t find_slot(const htable* t, const char* key, int64_t* free_out) {
    size_t key_length = strlen(key);
    uint32_t mask = t->capacity - 1;
    uint32_t i = uint32_t(hash_key(key)) & mask;
    uint32_t step = (i & 31) + 1;
    if (free_out) *free_out = -1;
    for (int probe = 0; probe < HTABLE_PROBES; probe++, i = (i + step) & mask) {
        uint32_t slot = t->key_slot[i];
        if (slot == 0) {
            if (free_out && *free_out < 0) *free_out = i;
            return -1;
        }
        if (slot == HTABLE_DELETED) {
            if (free_out && *free_out < 0) *free_out = i;
            continue;
        }
        if (key_at(t, slot, key, key_length)) return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Host files

bool is_regular_file(const char* host_path) {
    struct stat st;
    return stat(host_path, &st) == 0 && S_ISREG(st.st_mode);
}

// The whole file, or false when it cannot be read or holds limit bytes or more.
bool read_host_file(const char* host_path, int64_t limit, std::vector<uint8_t>* out) {
    FILE* f = fopen(host_path, "rb");
    if (!f) return false;
    out->clear();
    uint8_t chunk[16384];
    bool ok = true;
    for (;;) {
        size_t n = fread(chunk, 1, sizeof chunk, f);
        if (n == 0) {
            ok = !ferror(f);
            break;
        }
        if (int64_t(out->size() + n) >= limit) {
            ok = false;
            break;
        }
        out->insert(out->end(), chunk, chunk + n);
    }
    fclose(f);
    return ok;
}

void hash_hex(const uint8_t* bytes, size_t length, char out[ANYWHEN_HASH_LENGTH + 1]) {
    static const char digits[] = "0123456789abcdef";
    uint8_t h[16];
    murmurhash3_x64_128(bytes, length, 0, h);
    for (int i = 0; i < 16; i++) {
        out[2 * i] = digits[h[i] >> 4];
        out[2 * i + 1] = digits[h[i] & 15];
    }
    out[ANYWHEN_HASH_LENGTH] = 0;
}

bool join(char* dst, size_t size, const char* a, const char* b, const char* c = "") {
    int n = snprintf(dst, size, "%s%s%s", a, b, c);
    return n >= 0 && size_t(n) < size;
}

// Writes a blob: u32 packed size, u32 raw size, one LZ4 HC block. The bytes go to a
// temporary file first, so that a blob name never stands for a cut-off blob.
bool write_blob(const char* blob_path, const std::vector<uint8_t>& content) {
    int bound = LZ4_compressBound(int(content.size()));
    if (bound <= 0) return false;
    std::vector<char> packed(size_t(bound) + 8);
    static const char empty = 0;
    const char* src = content.empty() ? &empty : reinterpret_cast<const char*>(content.data());
    int n = LZ4_compress_HC(src, packed.data() + 8, int(content.size()), bound, LZ4_HC_LEVEL);
    if (n <= 0) return false;
    uint32_t sizes[2] = {uint32_t(n), uint32_t(content.size())};
    for (int k = 0; k < 2; k++)
        for (int b = 0; b < 4; b++) packed[size_t(4 * k + b)] = char(sizes[k] >> (8 * b));
    char temp[HOST_PATH_MAX + 16];
    if (!join(temp, sizeof temp, blob_path, ".part")) return false;
    FILE* f = fopen(temp, "wb");
    if (!f) return false;
    bool ok = fwrite(packed.data(), 1, size_t(n) + 8, f) == size_t(n) + 8;
    if (fclose(f) != 0) ok = false;
    if (ok && rename(temp, blob_path) != 0) ok = false;
    if (!ok) unlink(temp);
    return ok;
}

void format_now(char out[20]) {
    time_t now = time(nullptr);
    struct tm tm_utc;
    gmtime_r(&now, &tm_utc);
    strftime(out, 20, "%Y-%m-%d_%H:%M:%S", &tm_utc);
}

// A path that can stand on one log line: no control characters, short enough to read back.
bool recordable_path(const char* path) {
    size_t n = 0;
    for (const char* p = path; *p; p++, n++)
        if (uint8_t(*p) < 32) return false;
    return n > 0 && n <= size_t(ANYWHEN_PATH_MAX);
}

void log_line(const char* format, const char* text) {
    char line[HOST_PATH_MAX + 128];
    snprintf(line, sizeof line, format, text);
    velt_debug(line);
}

void replace_table() {
    destroy_htable(anywhen_tbl);
    anywhen_tbl = create_htable(ANYWHEN_TABLE_SLOTS);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// String-keyed table

// The slot blocks of the last tables destroyed, kept for the next tables of their capacity (the
// day's table and a query's live together): a table is made for every query, and clearing a
// block already in memory costs far less than mapping fresh pages and faulting each one in.
constexpr int SPARE_SLOT_BLOCKS = 2;
static uint32_t* spare_slots[SPARE_SLOT_BLOCKS];
static uint32_t spare_capacity[SPARE_SLOT_BLOCKS];

static uint32_t* take_slots(uint32_t capacity) {
    for (int i = 0; i < SPARE_SLOT_BLOCKS; i++) {
        if (spare_slots[i] && spare_capacity[i] == capacity) {
            uint32_t* slots = spare_slots[i];
            spare_slots[i] = nullptr;
            memset(slots, 0, size_t(capacity) * 2 * sizeof(uint32_t));
            return slots;
        }
    }
    return static_cast<uint32_t*>(calloc(size_t(capacity) * 2, sizeof(uint32_t)));
}

static void give_back_slots(uint32_t* slots, uint32_t capacity) {
    if (!slots) return;
    int i = 0;
    while (i < SPARE_SLOT_BLOCKS - 1 && spare_slots[i]) i++;
    free(spare_slots[i]);  // all kept: the last one gives way
    spare_slots[i] = slots;
    spare_capacity[i] = capacity;
}

htable* create_htable(uint32_t capacity) {
    if (capacity == 0 || (capacity & (capacity - 1)) != 0) return nullptr;
    htable* t = static_cast<htable*>(calloc(1, sizeof(htable)));
    if (!t) return nullptr;
    t->capacity = capacity;
    // Both slot arrays in one block.
    t->key_slot = take_slots(capacity);
    t->value_slot = t->key_slot ? t->key_slot + capacity : nullptr;
    // The stores start small and grow as keys come: most tables hold few.
    const int64_t store = std::min<int64_t>(int64_t(capacity) * 8, 4096);
    t->keys = create_buffer_2(store, BUFFER_TAG_ANYWHEN);
    t->values = create_buffer_2(store, BUFFER_TAG_ANYWHEN);
    if (!t->key_slot || !t->value_slot || !t->keys || !t->values) {
        destroy_htable(t);
        return nullptr;
    }
    return t;
}

void destroy_htable(htable* t) {
    if (!t) return;
    give_back_slots(t->key_slot, t->capacity);  // the value slots too
    destroy_buffer(t->keys);
    destroy_buffer(t->values);
    free(t);
}

const char* htable_get(htable* t, const char* key, int32_t* length_out) {
    if (!t || !key) return nullptr;
    int64_t i = find_slot(t, key, nullptr);
    if (i < 0) return nullptr;
    uint32_t v = t->value_slot[i];
    if (v == 0) {
        if (length_out) *length_out = 4;
        return "true";
    }
    return store_text(t->values, v, length_out);
}

int htable_insert(htable* t, const char* key, const char* value, int32_t length) {
    if (!t || !key || length < 0) return 1;
    int64_t free_slot = -1;
    int64_t i = find_slot(t, key, &free_slot);
    uint32_t v = 0;
    if (value) {
        v = store_append(t->values, value, length);
        if (v == 0) return 1;
    }
    if (i >= 0) {
        t->value_slot[i] = v;
        return 0;
    }
    if (free_slot < 0) return 1;
    uint32_t k = store_append(t->keys, key, int32_t(strlen(key)));
    if (k == 0) return 1;
    t->key_slot[free_slot] = k;
    t->value_slot[free_slot] = v;
    t->count++;
    return 0;
}

int htable_delete(htable* t, const char* key) {
    if (!t || !key) return 0;
    int64_t i = find_slot(t, key, nullptr);
    if (i < 0) return 0;
    t->key_slot[i] = HTABLE_DELETED;
    t->value_slot[i] = 0;
    t->count--;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Line reader

bool line_iter_start(line_reader* r, const char* host_path, bool (*charge)(int64_t bytes)) {
    memset(r, 0, sizeof *r);
    r->charge = charge;
    r->f = host_path ? fopen(host_path, "rb") : nullptr;
    if (!r->f) return false;
    r->buffer = static_cast<uint8_t*>(malloc(READ_BUFFER));
    if (!r->buffer) {
        fclose(r->f);
        r->f = nullptr;
        return false;
    }
    return true;
}

namespace {

// Moves the unread rest to the front and reads the next chunk when little is left.
void refill(line_reader* r) {
    if (r->at_eof || r->end - r->pos >= REFILL_BELOW) return;
    int32_t rest = r->end - r->pos;
    memmove(r->buffer, r->buffer + r->pos, size_t(rest));
    r->pos = 0;
    r->end = rest;
    size_t n = fread(r->buffer + rest, 1, size_t(std::min(READ_CHUNK, READ_BUFFER - rest)), r->f);
    if (n == 0) r->at_eof = 1;
    r->end += int32_t(n);
    r->offset += int64_t(n);
    if (n > 0 && r->charge && r->charge(int64_t(n))) {
        r->stopped = 1;
        r->at_eof = 1;
        r->pos = r->end = 0;
    }
}

}  // namespace

int32_t line_iter(line_reader* r, char* line) {
    if (!r || !r->f) return -1;
    r->cut = 0;
    for (;;) {
        refill(r);
        while (r->pos < r->end && (r->buffer[r->pos] == '\r' || r->buffer[r->pos] == '\n')) r->pos++;
        if (r->pos < r->end) break;
        if (r->at_eof) return -1;
    }
    int32_t n = 0;
    for (;;) {
        refill(r);
        if (r->pos >= r->end) break;
        // The unread bytes up to the line end; what does not fit in line is dropped.
        const uint8_t* from = r->buffer + r->pos;
        const int32_t avail = r->end - r->pos;
        int32_t k = 0;
        while (k < avail && from[k] != '\r' && from[k] != '\n') k++;
        const int32_t take = std::min(k, ANYWHEN_LINE_MAX - n);
        memcpy(line + n, from, size_t(take));
        n += take;
        if (k > take) r->cut = 1;
        r->pos += k;
        if (k < avail) break;
    }
    line[n] = 0;
    return n;
}

int64_t line_iter_tell(const line_reader* r) { return r->offset - (r->end - r->pos); }

bool line_iter_seek(line_reader* r, int64_t offset) {
    if (!r->f || offset < 0 || fseeko(r->f, off_t(offset), SEEK_SET) != 0) return false;
    r->pos = r->end = r->at_eof = r->stopped = 0;
    r->offset = offset;
    return true;
}

void line_iter_end(line_reader* r) {
    if (!r) return;
    if (r->f) fclose(r->f);
    free(r->buffer);
    memset(r, 0, sizeof *r);
}

// ---------------------------------------------------------------------------------------------
// Content

bool anywhen_host_path(const char* rest, char* dst) {
    char name[VELT_PATH_MAX];
    if (!join(name, sizeof name, "anywhen/", rest)) {
        dst[0] = 0;
        return false;
    }
    velt_prefix_with_appdata_path(name, dst);
    return dst[0] != 0;
}

pbuffer* anywhen_load_content(const char* hash, const char* mox_folder, const char* blob_folder) {
    char path[HOST_PATH_MAX + 64];
    std::vector<uint8_t> bytes;
    if (mox_folder && join(path, sizeof path, mox_folder, "/", hash) && is_regular_file(path)) {
        if (!read_host_file(path, ANYWHEN_MAX_FILE, &bytes)) return nullptr;
        pbuffer* out = create_buffer_2(int64_t(bytes.size()), BUFFER_TAG_ANYWHEN);
        if (out && !bytes.empty()) bwrite(bytes.data(), 1, int64_t(bytes.size()), out);
        if (out) out->cursor = 0;
        return out;
    }
    if (!blob_folder || !join(path, sizeof path, blob_folder, "/", hash) ||
        !join(path + strlen(path), sizeof path - strlen(path), ".lz4", "")) {
        return nullptr;
    }
    // A blob never holds more than a recorded file plus its two sizes and LZ4's overhead.
    if (!read_host_file(path, ANYWHEN_MAX_FILE + ANYWHEN_MAX_FILE / 128 + 1024, &bytes) || bytes.size() < 8)
        return nullptr;
    const uint8_t* p = bytes.data();
    uint32_t packed = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    uint32_t raw = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
    if (packed > bytes.size() - 8 || raw >= uint64_t(ANYWHEN_MAX_FILE)) {
        char text[160];
        snprintf(text, sizeof text, "[anywhen blob] ** damaged blob %s\n", hash);
        velt_debug(text);
        return nullptr;
    }
    pbuffer* out = create_buffer_2(int64_t(raw) + 256, BUFFER_TAG_ANYWHEN);
    if (!out) return nullptr;
    int got = LZ4_decompress_safe(reinterpret_cast<const char*>(p + 8), reinterpret_cast<char*>(out->data),
                                  int(packed), int(raw) + 256);
    if (got != int(raw)) {
        char text[160];
        snprintf(text, sizeof text, "[anywhen blob decompression] ** uncompressed_len != raw_len %d %d\n", got,
                 int(raw));
        fputs(text, stdout);
        velt_debug(text);
        destroy_buffer(out);
        return nullptr;
    }
    out->length = int32_t(raw);
    out->cursor = 0;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Writing the log

void add_timestamp(FILE* log, const char* note) {
    char now[20];
    format_now(now);
    if (!note) {
        fprintf(log, "@ %s\n", now);
        return;
    }
    size_t n = 0;
    while (note[n] && uint8_t(note[n]) >= 32 && n < 256) n++;
    fprintf(log, "@ %s %.*s\n", now, int(n), note);
}

void write_delta(FILE* log, const pbuffer* delta) {
    static const char digits[] = "0123456789abcdef";
    if (!delta || delta->length <= 0) return;
    for (int32_t i = 0; i < delta->length; i += ANYWHEN_DELTA_LINE_BYTES) {
        char line[2 + 2 * ANYWHEN_DELTA_LINE_BYTES + 2];
        int32_t n = std::min(ANYWHEN_DELTA_LINE_BYTES, delta->length - i);
        line[0] = '|';
        line[1] = ' ';
        for (int32_t k = 0; k < n; k++) {
            line[2 + 2 * k] = digits[delta->data[i + k] >> 4];
            line[3 + 2 * k] = digits[delta->data[i + k] & 15];
        }
        line[2 + 2 * n] = '\n';
        fwrite(line, 1, size_t(3 + 2 * n), log);
    }
}

const char* anywhen_table_hash(const char* path) {
    int32_t n = 0;
    const char* h = htable_get(anywhen_tbl, path, &n);
    return h && n == ANYWHEN_HASH_LENGTH ? h : nullptr;
}

void store_file_checkpoint(FILE* log, const char* host_path, const char* path, const char* mox_folder,
                           const char* blob_folder, int start_of_day) {
    if (!log || !host_path || !path || !recordable_path(path)) return;
    std::vector<uint8_t> content;
    if (!read_host_file(host_path, ANYWHEN_MAX_FILE, &content)) return;
    char hash[ANYWHEN_HASH_LENGTH + 1];
    hash_hex(content.data(), content.size(), hash);

    // A change of a known file: a small delta against the day's base content will do.
    const char* known = start_of_day ? nullptr : anywhen_table_hash(path);
    if (known) {
        char base_hash[ANYWHEN_HASH_LENGTH + 1];
        memcpy(base_hash, known, sizeof base_hash);
        pbuffer* base = anywhen_load_content(base_hash, mox_folder, blob_folder);
        if (base) {
            static const uint8_t nothing = 0;
            pbuffer* delta = generate_diff(base->length > 0 ? base->data : &nothing, base->length,
                                           content.empty() ? &nothing : content.data(), int64_t(content.size()));
            destroy_buffer(base);
            bool small = delta && delta->length <= ANYWHEN_DELTA_MAX &&
                         (delta->length <= ANYWHEN_DELTA_SMALL || delta->length <= int64_t(content.size()) / 16);
            if (small) {
                add_timestamp(log, nullptr);
                fprintf(log, "+ %s %s\n", base_hash, path);
                write_delta(log, delta);
                destroy_buffer(delta);
                return;
            }
            destroy_buffer(delta);
        }
        // Without its base content a delta could never be applied: the full content is kept.
    }

    char mox_path[HOST_PATH_MAX + 64], blob_path[HOST_PATH_MAX + 64];
    bool in_mox = join(mox_path, sizeof mox_path, mox_folder, "/", hash) && is_regular_file(mox_path);
    bool named = join(blob_path, sizeof blob_path, blob_folder, "/", hash) &&
                 join(blob_path + strlen(blob_path), sizeof blob_path - strlen(blob_path), ".lz4", "");
    if (!in_mox && named && !is_regular_file(blob_path) && !write_blob(blob_path, content))
        log_line("[anywhen] couldn't write blob %s\n", blob_path);

    if (start_of_day) {
        fprintf(log, ": %s %s\n", hash, path);
    } else {
        add_timestamp(log, nullptr);
        fprintf(log, "$ %s %s\n", hash, path);
    }
    htable_insert(anywhen_tbl, path, hash, ANYWHEN_HASH_LENGTH);
}

void generate_daily_branch(const char* path, FILE* log, int depth, const char* mox_folder,
                           const char* blob_folder) {
    if (depth > ANYWHEN_MAX_DEPTH) {
        velt_debug("** anywhen exceeded maximum depth (1024). circular mount?\n");
        return;
    }
    const bool root = strcmp(path, "/") == 0;
    if (!root) {
        if (!recordable_path(path)) return;
        fprintf(log, "^ %s/\n", path);
    }
    uint32_t kind = 0;
    uint32_t saved = automount_blocked;
    automount_blocked = 1;  // a snapshot reads cartridge files as files, never mounts them
    pbuffer* origin = resolve_to_origin(path, &kind, 0);
    automount_blocked = saved;
    std::string host = origin && origin->length > 0 ? reinterpret_cast<const char*>(origin->data) : "";
    destroy_buffer(origin);
    if (host.empty() || kind != MOUNT_HOST) return;

    std::vector<std::string> names;
    if (DIR* d = opendir(host.c_str())) {
        while (dirent* e = readdir(d)) names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (name.empty() || name[0] == '.') continue;
        if (std::any_of(name.begin(), name.end(), [](char c) { return uint8_t(c) < 32; })) continue;
        std::string child_host = host + (host.back() == '/' ? "" : "/") + name;
        if (child_host.size() >= HOST_PATH_MAX) continue;
        std::string child = std::string(root ? "" : path) + "/" + name;
        struct stat st;
        if (lstat(child_host.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            // Linked files are recorded; linked folders are never walked, so no link loop is.
            if (stat(child_host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (strcmp(get_ext(name.c_str()), "bin") != 0)
                generate_daily_branch(child.c_str(), log, depth + 1, mox_folder, blob_folder);
        } else if (S_ISREG(st.st_mode)) {
            store_file_checkpoint(log, child_host.c_str(), child.c_str(), mox_folder, blob_folder, 1);
        }
    }
}

void load_log(const char* host_path) {
    if (!anywhen_tbl) replace_table();
    line_reader r;
    if (!line_iter_start(&r, host_path)) return;
    char line[ANYWHEN_LINE_MAX + 1];
    int32_t n;
    while ((n = line_iter(&r, line)) >= 0) {
        if (r.cut) continue;
        while (n > 2 && uint8_t(line[n - 1]) <= 32) line[--n] = 0;
        if ((line[0] != ':' && line[0] != '$') || line[1] != ' ' || n < 36 || line[34] != ' ') continue;
        bool hex = true;
        for (int i = 2; i < 34; i++) hex = hex && ((line[i] >= '0' && line[i] <= '9') || (line[i] >= 'a' && line[i] <= 'f'));
        if (!hex || strlen(line + 35) != size_t(n - 35)) continue;
        htable_insert(anywhen_tbl, line + 35, line + 2, ANYWHEN_HASH_LENGTH);
    }
    line_iter_end(&r);
}

// ---------------------------------------------------------------------------------------------
// Events

void anywhen_open() {
    current_log[0] = 0;
    anywhen_event(3, "__start_session", nullptr);
}

void anywhen_close() {
    destroy_htable(anywhen_tbl);
    anywhen_tbl = nullptr;
    current_log[0] = 0;
    anywhen_release_queries();
}

void anywhen_event(int kind, const char* path, const char* host_path) {
    if (!config.anywhen || kind < 0 || kind > 4) return;
    if (path && strstr(path, ".bin/")) return;
    if (kind <= 2 && (!path || !recordable_path(path))) return;
    if (kind == 0 && !host_path) return;

    time_t now = time(nullptr);
    struct tm tm_utc;
    gmtime_r(&now, &tm_utc);
    const int year = tm_utc.tm_year + 1900, month = tm_utc.tm_mon + 1;
    char month_name[32], rel[64];
    snprintf(month_name, sizeof month_name, "%04d-%02d", year, month);
    char top[VELT_PATH_MAX], blob_folder[VELT_PATH_MAX], month_folder[VELT_PATH_MAX];
    char mox_folder[VELT_PATH_MAX], log[VELT_PATH_MAX];
    snprintf(rel, sizeof rel, "%s/%02d.log", month_name, tm_utc.tm_mday);
    if (!anywhen_host_path("", top) || !anywhen_host_path("blob", blob_folder) ||
        !anywhen_host_path(month_name, month_folder) || !anywhen_host_path(rel, log) ||
        strlen(log) >= HOST_PATH_MAX) {
        return;
    }
    snprintf(rel, sizeof rel, "%s/mox", month_name);
    anywhen_host_path(rel, mox_folder);
    velt_mkdir(top);
    velt_mkdir(blob_folder);
    velt_mkdir(month_folder);

    bool wrote = false;
    if (is_regular_file(log)) {
        if (strcmp(log, current_log) != 0) {
            log_line("[anywhen] loading log file: %s\n", log);
            replace_table();
            load_log(log);
        }
    } else {
        replace_table();
        FILE* f = fopen(log, "wb");
        if (!f) {
            log_line("[anywhen] ** could not open new log file: %s\n", log);
        } else {
            log_line("[anywhen] generating new log file: %s\n", log);
            generate_daily_branch("/", f, 0, mox_folder, blob_folder);
            fclose(f);
            wrote = true;
        }
    }
    snprintf(current_log, sizeof current_log, "%s", log);

    if (kind != 4) {
        FILE* f = fopen(log, "ab");
        if (!f) {
            printf("[anywhen] couldn't open log file to append\n");
        } else {
            switch (kind) {
                case 0:
                    store_file_checkpoint(f, host_path, path, mox_folder, blob_folder, 0);
                    break;
                case 1:
                    // Deletions and new folders get their own moment, so that they are never
                    // taken as having happened at the moment of an earlier record.
                    add_timestamp(f, nullptr);
                    fprintf(f, "- %s\n", path);
                    break;
                case 2:
                    add_timestamp(f, nullptr);
                    fprintf(f, "> %s\n", path);
                    break;
                default:
                    add_timestamp(f, path);
                    break;
            }
            fclose(f);
            wrote = true;
        }
    }
    // Every written line may change what the month's logs mention.
    if (wrote) invalidate_bloom_by_month(year, month);
}
