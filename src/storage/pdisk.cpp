// File table, path rules and file handles.
#include "storage/pdisk.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <dirent.h>

#include "kernel/process.h"
#include "kernel/slice.h"
#include "platform/host.h"
#include "storage/anywhen.h"
#include "storage/murmur.h"

ram_file* pfile[MAX_PFILES];
int32_t num_pfiles = 0;
// Entries freed since the last sweep (an upper bound: the sweep is skipped only when none were).
static int32_t freed_since_sweep = 0;
uint64_t total_pdisk_calls = 0;
uint32_t automount_blocked = 0;
int64_t ram_file_limit = RAM_FILE_LIMIT_DEFAULT;
int64_t ram_file_bytes = 0;
uint64_t ram_file_refusals = 0;

// A written host file goes to a fresh file beside it and replaces it only once every
// byte is known to be on disk.
struct host_stream {
    FILE* file;         // the temporary file
    char* temp_path;
    char* target_path;  // the file it replaces
    int append;         // the target's current bytes go first
};

namespace {

const char* text_of(const pbuffer* b) { return b && b->data ? reinterpret_cast<const char*>(b->data) : ""; }

pbuffer* text_buffer(const char* s, size_t n) {
    if (n > size_t(PBUFFER_MAX_LENGTH - 2)) return nullptr;
    pbuffer* b = create_buffer_2(int64_t(n) + 1, BUFFER_TAG_PATH);
    if (!b) return nullptr;
    if (n) bwrite(s, 1, int64_t(n), b);
    to_cstr(b);
    return b;
}

pbuffer* empty_text() { return text_buffer("", 0); }

bool is_path_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '/' || c == '_';
}

// Every character before the first '#' is allowed.
bool path_chars_allowed(const char* p) {
    for (; *p && *p != '#'; p++) {
        if (!is_path_char(*p)) return false;
    }
    return true;
}

bool is_dotdot_segment_in(const char* p) {
    while (*p) {
        while (*p == '/') p++;
        const char* e = p;
        while (*e && *e != '/') e++;
        if (e - p == 2 && p[0] == '.' && p[1] == '.') return true;
        p = e;
    }
    return false;
}

pbuffer* collapse_ex(const char* path, int64_t length, int debug, bool allow_protocol) {
    if (!path || length < 0) return nullptr;
    size_t n = strnlen(path, size_t(length));
    pbuffer* out = create_buffer_2(int64_t(n) + 2, BUFFER_TAG_PATH);
    if (!out) return nullptr;
    size_t prefix = 0;
    if (allow_protocol) {
        for (size_t i = 0; i < 15 && i + 2 < n; i++) {
            if (path[i] == ':' && path[i + 1] == '/' && path[i + 2] == '/') {
                prefix = i + 3;
                break;
            }
        }
    }
    if (prefix) bwrite(path, 1, int64_t(prefix), out);
    bool relative = prefix == 0 && (n == 0 || path[0] != '/');
    std::vector<int32_t> starts;  // where each written segment (with its '/') begins
    size_t i = prefix;
    while (i < n) {
        while (i < n && path[i] == '/') i++;
        if (i >= n) break;
        size_t j = i;
        while (j < n && path[j] != '/') j++;
        size_t len = j - i;
        if (len == 1 && path[i] == '.') {
            if (debug) printf("collapse_path: drop \".\"\n");
        } else if (len == 2 && path[i] == '.' && path[i + 1] == '.') {
            if (!starts.empty()) {
                out->length = out->cursor = starts.back();
                starts.pop_back();
            }
            if (debug) printf("collapse_path: \"..\" -> %.*s\n", int(out->length), text_of(out));
        } else {
            if (len > size_t(PATH_SEGMENT_MAX)) {
                if (debug) printf("collapse_path: segment of %zu characters refused\n", len);
                destroy_buffer(out);
                return nullptr;
            }
            starts.push_back(out->length);
            bool first = size_t(out->length) == prefix;
            if (!(first && (prefix > 0 || relative))) bwrite("/", 1, 1, out);
            bwrite(path + i, 1, int64_t(len), out);
            if (debug) printf("collapse_path: \"%.*s\" -> %.*s\n", int(len), path + i, int(out->length), text_of(out));
        }
        i = j;
    }
    if (out->length == 0) bwrite("/", 1, 1, out);
    to_cstr(out);
    if (debug) printf("collapse_path: result %s\n", text_of(out));
    return out;
}

// Window of the table that holds every entry named name: [lo, hi). lo is the last probe
// whose first non-empty entry is below name, hi the first probe whose first non-empty
// entry is above it.
struct table_window {
    int32_t lo;
    int32_t hi;
};

table_window find_window(const char* name) {
    table_window w{0, num_pfiles};
    for (int32_t p = 0; p < num_pfiles; p += PFILE_PROBE_STEP) {
        int32_t end = p + PFILE_PROBE_STEP < num_pfiles ? p + PFILE_PROBE_STEP : num_pfiles;
        int32_t e = p;
        while (e < end && pfile[e]->kind == PFILE_EMPTY) e++;
        if (e == end) continue;
        int c = strcmp(text_of(pfile[e]->name), name);
        if (c < 0) {
            w.lo = p;
        } else if (c > 0) {
            w.hi = p;
            break;
        }
    }
    return w;
}

void release_host_stream(host_stream* hs, bool remove_temp) {
    if (!hs) return;
    if (hs->file) fclose(hs->file);
    if (remove_temp && hs->temp_path) unlink(hs->temp_path);
    free(hs->temp_path);
    free(hs->target_path);
    free(hs);
}

// Opens a host file for reading without blocking on special files; -1 for anything
// that is not a regular file.
int open_regular_for_reading(const char* host_path, struct stat* st) {
    int fd = open(host_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

// Reads fd to its end in chunks, handing each to take(chunk, bytes), which answers 1 to go on,
// 0 to stop early, -1 to fail. False when a read or take fails.
template <typename Take>
bool read_chunks(int fd, Take take) {
    static uint8_t chunk[HOST_READ_CHUNK];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        int r = take(chunk, got);
        if (r <= 0) return r == 0;
    }
}

// Reads a host file into f->contents: whole, or with modifier 'm' up to the chunk that
// reaches HOST_READ_LIMIT_M. False when the file is not a readable regular file below
// 2 GiB or a read fails.
bool read_host_file(ram_file* f, const char* host_path, char modifier) {
    struct stat st;
    int fd = open_regular_for_reading(host_path, &st);
    if (fd < 0) return false;
    if (st.st_size > PBUFFER_MAX_LENGTH) {
        close(fd);
        return false;
    }
    if (modifier == 'e') {
        close(fd);
        return true;
    }
    bool ok = read_chunks(fd, [&](const uint8_t* chunk, ssize_t got) {
        if (bwrite(chunk, 1, got, f->contents) != got) return -1;  // grew past what a buffer can hold
        return modifier == 'm' && f->contents->length >= HOST_READ_LIMIT_M ? 0 : 1;
    });
    close(fd);
    return ok;
}

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return path.substr(0, slash + 1);
}

// Prepares a pending write of a host file: refuses folders and other non-regular files,
// files the host would not let us write, and folders that cannot take a new file.
host_stream* begin_host_write(const char* host_path, char mode) {
    std::string target = host_path;
    struct stat st;
    if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(target.c_str(), nullptr);
        if (real) {
            target = real;
            free(real);
        }
    }
    if (stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return nullptr;
        if (access(target.c_str(), W_OK) != 0) return nullptr;
    } else if (errno != ENOENT) {
        return nullptr;
    }
    static uint32_t counter = 0;
    std::string dir = folder_of(target);
    for (int attempt = 0; attempt < 64; attempt++) {
        char name[96];
        snprintf(name, sizeof name, ".orvalune_wb_%ld_%u", long(getpid()), counter++);
        std::string temp = dir + name;
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        FILE* fp = fdopen(fd, "wb");
        if (!fp) {
            close(fd);
            unlink(temp.c_str());
            return nullptr;
        }
        host_stream* hs = static_cast<host_stream*>(calloc(1, sizeof(host_stream)));
        char* tp = strdup(temp.c_str());
        char* tg = strdup(target.c_str());
        if (!hs || !tp || !tg) {
            fclose(fp);
            unlink(temp.c_str());
            free(hs);
            free(tp);
            free(tg);
            return nullptr;
        }
        hs->file = fp;
        hs->temp_path = tp;
        hs->target_path = tg;
        hs->append = mode == 'a';
        return hs;
    }
    return nullptr;
}

// Copies the target's current bytes into the temporary file (for appending); a
// missing target counts as empty.
bool copy_existing_target(host_stream* hs) {
    struct stat st;
    int fd = open_regular_for_reading(hs->target_path, &st);
    if (fd < 0) return errno == ENOENT;
    bool ok = read_chunks(fd, [&](const uint8_t* chunk, ssize_t got) {
        return fwrite(chunk, 1, size_t(got), hs->file) == size_t(got) ? 1 : -1;
    });
    close(fd);
    return ok;
}

// Writes the contents to the temporary file and moves it over the target. On any
// failure the target is left as it was and the temporary file removed.
bool commit_host_write(host_stream* hs, const pbuffer* contents) {
    bool ok = true;
    if (hs->append) ok = copy_existing_target(hs);
    int32_t len = contents ? contents->length : 0;
    if (ok && len > 0 && contents->data) ok = fwrite(contents->data, 1, size_t(len), hs->file) == size_t(len);
    struct stat st;
    if (ok && stat(hs->target_path, &st) == 0 && S_ISREG(st.st_mode)) fchmod(fileno(hs->file), st.st_mode & 07777);
    if (fflush(hs->file) != 0 || ferror(hs->file)) ok = false;
    if (fclose(hs->file) != 0) ok = false;
    hs->file = nullptr;
    if (ok && rename(hs->temp_path, hs->target_path) != 0) ok = false;
    release_host_stream(hs, !ok);
    return ok;
}

pbuffer* new_contents() { return create_buffer_2(1024, BUFFER_TAG_FILE); }

// Brings the budget up to date with a ram entry's present size.
void count_ram_entry(ram_file* f) {
    if (f->kind != PFILE_RAM) return;
    int64_t size = f->contents ? f->contents->length : 0;
    ram_file_bytes += size - f->counted;
    f->counted = size;
}

// True when ram entry f may grow to size bytes.
bool ram_entry_fits(const ram_file* f, int64_t size) {
    if (f->kind != PFILE_RAM || size <= f->counted) return true;
    return ram_file_bytes - f->counted + size <= ram_file_limit;
}

void too_many_files() {
    printf("** too many files **\n");
    velt_debug("** too many files **\n");
}

// True when origin is the origin of a ram mount (a ram folder root).
bool is_ram_mount_origin(const char* origin) {
    for (int32_t i = 0; i < pmounts; i++) {
        const pmount& m = pmount_table[i];
        if (m.kind == MOUNT_RAM && strcmp(text_of(m.origin), origin) == 0) return true;
    }
    return false;
}

// True when a mount point lies inside path (below it, not at it).
bool mount_point_inside(const char* path) {
    size_t n = strlen(path);
    for (int32_t i = 0; i < pmounts; i++) {
        const char* mp = text_of(pmount_table[i].mount_point);
        if (strncmp(mp, path, n) == 0 && mp[n] == '/') return true;
    }
    return false;
}

int find_mount_for(const char* norm, int skip_exact) {
    int best = -1;
    int best_depth = -1;
    for (int32_t i = 0; i < pmounts; i++) {
        const char* mp = text_of(pmount_table[i].mount_point);
        if (skip_exact && strcmp(mp, norm) == 0) continue;
        int d = get_path_parent_match_depth(mp, norm);
        if (d > best_depth) {
            best = i;
            best_depth = d;
        }
    }
    return best;
}

// Resolution of a normalised path; null when no mount covers it.
pbuffer* resolve_normalised(const char* norm, uint32_t* kind, int skip_exact) {
    // Past a mount at the path itself the cartridge file is wanted, not its contents.
    automount_prefixes(norm, !skip_exact);
    int i = find_mount_for(norm, skip_exact);
    if (i < 0) return nullptr;
    const pmount& m = pmount_table[i];
    const char* rest = norm + m.mount_point->length;
    // A host origin never leaves its mount's folder.
    if (m.kind == MOUNT_HOST && is_dotdot_segment_in(rest)) return nullptr;
    std::string origin = std::string(text_of(m.origin)) + rest;
    if (origin.empty() && m.kind == MOUNT_HOST) origin = "/";
    // Ram paths are table keys, which never end in '/' (the root mount leaves one).
    if (m.kind == MOUNT_RAM && origin.size() > 1 && origin.back() == '/') origin.pop_back();
    pbuffer* b = text_buffer(origin.data(), origin.size());
    if (b && kind) *kind = m.kind;
    return b;
}

pbuffer* resolve_hook(const char* path, uint32_t* kind) { return resolve_to_origin(path, kind, 0); }

void free_all_entries() {
    for (int32_t i = 0; i < num_pfiles; i++) {
        free_pfile(pfile[i]);
        free(pfile[i]);
        pfile[i] = nullptr;
    }
    num_pfiles = 0;
    freed_since_sweep = 0;
    ram_file_bytes = 0;
}

void free_all_mounts() {
    for (int32_t i = 0; i < pmounts; i++) {
        destroy_buffer(pmount_table[i].mount_point);
        destroy_buffer(pmount_table[i].origin);
        memset(&pmount_table[i], 0, sizeof(pmount));
    }
    pmounts = 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Paths

pbuffer* collapse_path(const char* path, int64_t length, int debug) { return collapse_ex(path, length, debug, true); }

pbuffer* normalise_orvalune_path(const char* path) {
    if (!path || !path[0] || path[0] == '#' || path[0] == '-') return nullptr;
    if (!path_chars_allowed(path)) return nullptr;
    std::string joined;
    if (path[0] == '/') {
        joined = path;
    } else {
        std::string pwd = "/";
        if (cproc) {
            size_t n = strnlen(cproc->pwd, sizeof(cproc->pwd));
            if (n) pwd.assign(cproc->pwd, n);
        }
        // A working directory stored unchecked is made absolute too.
        if (pwd[0] != '/') pwd.insert(0, "/");
        joined = pwd;
        if (joined.back() != '/') joined += '/';
        joined += path;
        if (!path_chars_allowed(joined.c_str())) return nullptr;
    }
    if (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    if (joined == "/") return text_buffer("/", 1);
    // Virtual paths never carry a scheme prefix: every ".." is folded.
    return collapse_ex(joined.c_str(), int64_t(joined.size()), 0, false);
}

int get_path_parent_match_depth(const char* mount_point, const char* path) {
    if (!mount_point || !path) return -1;
    if (strcmp(mount_point, "/") == 0) return 0;
    size_t lm = strlen(mount_point);
    if (strncmp(mount_point, path, lm) != 0) return -1;  // also covers a longer mount point
    if (path[lm] != '/' && path[lm] != 0) return -1;
    int depth = 0;
    for (const char* p = mount_point; *p;) {
        while (*p == '/') p++;
        if (!*p) break;
        depth++;
        while (*p && *p != '/') p++;
    }
    return depth;
}

pbuffer* resolve_to_origin(const char* path, uint32_t* kind, int skip_exact) {
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return empty_text();
    pbuffer* origin = resolve_normalised(text_of(norm), kind, skip_exact);
    destroy_buffer(norm);
    return origin ? origin : empty_text();
}

void automount_p_path(const char* path) { automount_prefixes(path, true); }

void automount_parents(const char* path) { automount_prefixes(path, false); }

void automount_prefixes(const char* path, bool whole) {
    if (automount_blocked || !path || strlen(path) < 2) return;
    automount_blocked = 1;
    std::string prefix;
    size_t name_start = 0;  // the last name of the prefix, where its extension lies
    for (size_t i = 1;; i++) {
        if (path[i] == 0 && !whole) break;
        if (path[i] == '/' || path[i] == 0) {
            // Only a prefix named like a cartridge is copied, so a long path costs its length.
            bool cartridge = q64_path_kind(std::string(path + name_start, i - name_start).c_str()) != 0;
            name_start = i + 1;
            // No host or cartridge path is this long: nothing further can be a cartridge file.
            if (cartridge && i > size_t(AUTOMOUNT_PATH_MAX)) break;
            if (cartridge) prefix.assign(path, i);
            if (cartridge && !pdisk_directory_exists(prefix.c_str(), 1)) {
                ram_file* f = pfopen(prefix.c_str(), "r");
                if (f) {
                    pfclose(f);
                    mount_q64_path(prefix.c_str());
                } else if (!mount_point_inside(prefix.c_str())) {
                    break;  // nothing is there, so nothing further down the path is either
                }
            }
        }
        if (path[i] == 0) break;
    }
    automount_blocked = 0;
}

const char* get_ext(const char* path) {
    static char ext[EXT_MAX + 1];
    ext[0] = 0;
    if (!path) return ext;
    int64_t n = int64_t(strlen(path));
    int64_t i = n - 1;
    while (i >= 0 && path[i] != '.') {
        if (path[i] == '/') return ext;
        i--;
    }
    if (i < 0) return ext;
    int64_t start = i + 1;
    for (int64_t j = i - 1; j >= 0 && path[j] != '/'; j--) {
        if (path[j] == '.') {
            start = j + 1;
            break;
        }
    }
    int64_t len = n - start;
    if (len > EXT_MAX) return ext;
    for (int64_t k = 0; k < len; k++) {
        char c = path[start + k];
        ext[k] = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    ext[len] = 0;
    return ext;
}

int q64_path_kind(const char* path) {
    const char* ext = get_ext(path);
    if (strcmp(ext, "q64") == 0) return 1;
    if (strcmp(ext, "q64.rom") == 0) return 2;
    if (strcmp(ext, "q64.png") == 0) return 3;
    return 0;
}

int pdisk_file_exists(const char* path) {
    ram_file* f = pfopen(path, "re");
    if (!f) return 0;
    pfclose(f);
    return 1;
}

int host_directory_exists(const char* host_path) {
    if (!host_path) return 0;
    DIR* d = opendir(host_path);
    if (!d) return 0;
    closedir(d);
    return 1;
}

int64_t pfile_size(const char* path, int skip_exact) {
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(path, &kind, skip_exact);
    int64_t size = 0;
    if (origin->length > 0) {
        if (kind == MOUNT_HOST) {
            struct stat st;
            if (stat(text_of(origin), &st) == 0) size = int64_t(st.st_size);
        } else {
            ram_file* f = find_ram_file(text_of(origin));
            if (f && f->contents) size = f->contents->length;
        }
    }
    destroy_buffer(origin);
    return size;
}

// ---------------------------------------------------------------------------
// File table

void pfile_init() {
    free_all_entries();
    free_all_mounts();
    velt_resolve_to_origin = resolve_hook;
}

void pfile_reset() {
    free_all_entries();
    free_all_mounts();
}

ram_file* pfile_insert(const char* name, uint32_t kind, const char* origin) {
    if (!name || num_pfiles >= MAX_PFILES) return nullptr;
    ram_file* f = static_cast<ram_file*>(calloc(1, sizeof(ram_file)));
    if (!f) return nullptr;
    size_t n = strlen(name);
    f->name = text_buffer(name, n);
    if (!f->name) {
        free(f);
        return nullptr;
    }
    f->name_hash = murmurhash3_x86_32(name, n, 0);
    f->kind = kind;
    if (kind == PFILE_RAM || !origin || strcmp(origin, name) == 0) {
        f->origin = f->name;
    } else {
        f->origin = text_buffer(origin, strlen(origin));
        if (!f->origin) {
            destroy_buffer(f->name);
            free(f);
            return nullptr;
        }
    }
    table_window w = find_window(name);
    int32_t pos = w.hi;
    for (int32_t i = w.lo; i < w.hi; i++) {
        if (pfile[i]->kind != PFILE_EMPTY && strcmp(text_of(pfile[i]->name), name) > 0) {
            pos = i;
            break;
        }
    }
    memmove(&pfile[pos + 1], &pfile[pos], sizeof(ram_file*) * size_t(num_pfiles - pos));
    pfile[pos] = f;
    num_pfiles++;
    return f;
}

int32_t get_index_by_name(const char* name) {
    if (!name) return -1;
    uint32_t h = murmurhash3_x86_32(name, strlen(name), 0);
    table_window w = find_window(name);
    for (int32_t i = w.lo; i < w.hi; i++) {
        const ram_file* f = pfile[i];
        if (f->kind != PFILE_EMPTY && f->name_hash == h && strcmp(text_of(f->name), name) == 0) return i;
    }
    return -1;
}

ram_file* find_ram_file(const char* name) {
    if (!name) return nullptr;
    uint32_t h = murmurhash3_x86_32(name, strlen(name), 0);
    table_window w = find_window(name);
    for (int32_t i = w.lo; i < w.hi; i++) {
        ram_file* f = pfile[i];
        if (f->kind == PFILE_RAM && f->name_hash == h && strcmp(text_of(f->name), name) == 0) return f;
    }
    return nullptr;
}

int32_t pfile_range_start(const char* name) { return name ? find_window(name).lo : 0; }

void free_pfile(ram_file* f) {
    if (!f) return;
    freed_since_sweep++;
    if (f->kind == PFILE_RAM) ram_file_bytes -= f->counted;
    release_host_stream(f->host_file, true);
    if (f->origin && f->origin != f->name) destroy_buffer(f->origin);
    destroy_buffer(f->name);
    destroy_buffer(f->contents);
    memset(f, 0, sizeof(ram_file));
}

void sweep_empty_pfiles() {
    // Once a frame: nothing freed, nothing to sweep.
    if (freed_since_sweep == 0) return;
    freed_since_sweep = 0;
    int32_t kept = 0;
    for (int32_t i = 0; i < num_pfiles; i++) {
        if (pfile[i]->kind == PFILE_EMPTY) {
            free(pfile[i]);
        } else {
            pfile[kept++] = pfile[i];
        }
    }
    for (int32_t i = kept; i < num_pfiles; i++) pfile[i] = nullptr;
    num_pfiles = kept;
}

int32_t pdisk_num_pfiles() { return num_pfiles; }

ram_file* pfile_by_index(int32_t i) { return i >= 0 && i < num_pfiles ? pfile[i] : nullptr; }

ram_file* pfile_by_name(const char* name) { return find_ram_file(name); }

int32_t pfile_count_of_kind(uint32_t kind) {
    int32_t n = 0;
    for (int32_t i = 0; i < num_pfiles; i++) n += pfile[i]->kind == kind;
    return n;
}

ram_file** pfile_snapshot(int32_t* count) {
    sweep_empty_pfiles();
    if (count) *count = num_pfiles;
    ram_file** copy = static_cast<ram_file**>(malloc(sizeof(ram_file*) * size_t(num_pfiles + 1)));
    if (copy && num_pfiles) memcpy(copy, pfile, sizeof(ram_file*) * size_t(num_pfiles));
    if (!copy && count) *count = 0;
    return copy;
}

ram_file* pfile_reopen(const char* name) {
    ram_file* f = find_ram_file(name);
    if (!f) return nullptr;
    if (f->contents) f->contents->cursor = 0;
    f->last_open_time = os_get_time();
    return f;
}

ram_file* pfile_copy_to_ram(const char* path) {
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return nullptr;
    ram_file* src = pfopen(text_of(norm), "r");
    ram_file* dst = nullptr;
    if (src) {
        pbuffer* copy = create_buffer_from_buffer_2(src->contents, BUFFER_TAG_FILE);
        if (copy) {
            dst = find_ram_file(text_of(norm));
            if (dst == src) {
                destroy_buffer(copy);  // already a ram entry of that name
            } else {
                if (!dst) dst = pfile_insert(text_of(norm), PFILE_RAM, text_of(norm));
                if (dst && !ram_entry_fits(dst, copy->length)) {
                    ram_file_refusals++;
                    destroy_buffer(copy);
                    dst = nullptr;
                } else if (dst) {
                    destroy_buffer(dst->contents);
                    dst->contents = copy;
                    count_ram_entry(dst);
                } else {
                    destroy_buffer(copy);
                }
            }
        }
        pfclose(src);
    }
    destroy_buffer(norm);
    return dst;
}

void trace_pfopen(const char* path) {
    printf("trace_pfopen: %s\n", path ? path : "(null)");
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) {
        printf("  does not normalise\n");
        return;
    }
    printf("  normalised: %s\n", text_of(norm));
    uint32_t saved = automount_blocked;
    automount_blocked = 1;
    int i = find_mount_for(text_of(norm), 0);
    if (i < 0) {
        printf("  no mount covers it\n");
    } else {
        const pmount& m = pmount_table[i];
        printf("  mount %d kind: %u mount_point: %s origin: %s\n", i, m.kind, text_of(m.mount_point),
               text_of(m.origin));
        uint32_t kind = 0;
        pbuffer* origin = resolve_normalised(text_of(norm), &kind, 0);
        printf("  origin: %s (kind %u)\n", origin ? text_of(origin) : "(refused)", kind);
        if (origin && kind == MOUNT_RAM) {
            ram_file* f = find_ram_file(text_of(origin));
            if (!f) printf("  no ram entry\n");
            else printf("  ram entry: %s, %d bytes\n", (f->flags & PFILE_FLAG_FOLDER) ? "folder" : "file",
                        f->contents ? f->contents->length : 0);
        } else if (origin && kind == MOUNT_HOST) {
            struct stat st;
            if (stat(text_of(origin), &st) != 0) printf("  host file missing\n");
            else printf("  host %s, %lld bytes\n", S_ISDIR(st.st_mode) ? "folder" : "file", (long long)st.st_size);
        }
        destroy_buffer(origin);
    }
    automount_blocked = saved;
    destroy_buffer(norm);
}

// ---------------------------------------------------------------------------
// Handles

ram_file* pfopen(const char* path, const char* mode) {
    total_pdisk_calls++;
    if (!mode || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) return nullptr;
    char m = mode[0];
    char modifier = mode[1];
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return nullptr;
    uint32_t kind = 0;
    pbuffer* origin = resolve_normalised(text_of(norm), &kind, modifier == 'f');
    if (m == 'r' && modifier == 'f') flush_dirty_mounts_immediately();
    if (!origin) {
        destroy_buffer(norm);
        return nullptr;
    }
    ram_file* f = nullptr;
    if (kind == MOUNT_RAM) {
        f = find_ram_file(text_of(origin));
        if (f) {
            if (f->flags & PFILE_FLAG_FOLDER) {
                f = nullptr;
            } else {
                if (!f->contents) f->contents = new_contents();
                if (m == 'w') f->contents->length = 0;
                // Appending continues at the end; other modes start at the beginning.
                f->contents->cursor = m == 'a' ? f->contents->length : 0;
                f->mode = m;
                f->mode_modifier = modifier;
            }
        } else if (m != 'r' && !is_ram_mount_origin(text_of(origin))) {
            f = pfile_insert(text_of(origin), PFILE_RAM, text_of(origin));
            if (!f) {
                too_many_files();
            } else {
                f->contents = new_contents();
                f->mode = m;
                f->mode_modifier = modifier;
            }
        }
    } else {
        f = pfile_insert(text_of(norm), PFILE_HOST, text_of(origin));
        if (!f) {
            too_many_files();
        } else {
            f->contents = new_contents();
            bool ok = f->contents != nullptr;
            if (ok && m == 'r') {
                ok = read_host_file(f, text_of(origin), modifier);
                if (ok && modifier == 'e') spend_cpu(16);
                else if (ok) spend_cpu(f->contents->length / 8);
            } else if (ok) {
                f->host_file = begin_host_write(text_of(origin), m);
                ok = f->host_file != nullptr;
            }
            if (!ok) {
                free_pfile(f);
                f = nullptr;
            } else {
                f->contents->cursor = m == 'a' ? f->contents->length : 0;
                f->mode = m;
                f->mode_modifier = modifier;
            }
        }
    }
    destroy_buffer(norm);
    destroy_buffer(origin);
    return f;
}

int32_t pfread(void* buffer, int64_t size, int64_t count, ram_file* f) {
    if (!f || !f->contents) return 0;
    return bread(buffer, size, count, f->contents);
}

int32_t pfwrite(const void* buffer, int64_t size, int64_t count, ram_file* f) {
    if (!f || !f->contents) return 0;
    if (f->kind == PFILE_RAM && size > 0 && count > 0) {
        // A write no buffer could hold is measured as one byte more than any can.
        int64_t end = count <= PBUFFER_MAX_LENGTH / size ? f->contents->cursor + size * count : PBUFFER_MAX_LENGTH + 1;
        if (!ram_entry_fits(f, std::max<int64_t>(end, f->contents->length))) {
            ram_file_refusals++;
            return 0;
        }
    }
    int32_t written = bwrite(buffer, size, count, f->contents);
    count_ram_entry(f);
    return written;
}

int pdisk_ram_room(const char* path, const char* mode, int64_t length) {
    if (!mode || length < 0) return 0;
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return 1;  // nothing can be written there anyway
    uint32_t kind = 0;
    pbuffer* origin = resolve_normalised(text_of(norm), &kind, mode[1] == 'f');
    int fits = 1;
    if (origin && kind == MOUNT_RAM) {
        const ram_file* f = find_ram_file(text_of(origin));
        int64_t counted = f ? f->counted : 0;
        int64_t kept = f && mode[0] == 'a' && f->contents ? f->contents->length : 0;
        fits = ram_file_bytes - counted + kept + length <= ram_file_limit;
    }
    destroy_buffer(origin);
    destroy_buffer(norm);
    if (!fits) ram_file_refusals++;
    return fits;
}

namespace {

// Notes a host file written whole: the file history records it and the host is told.
void record_host_write(const char* name, const char* origin) {
    anywhen_event(0, name, origin);
    host_write_flag = 1;
}

void report_failed_host_write(const char* target) {
    snprintf(velt_debug_string, sizeof(velt_debug_string), "** could not write %s\n", target);
    velt_debug(velt_debug_string);
}

}  // namespace

int pfclose(ram_file* f) {
    if (!f) return 0;
    int result = 0;
    if (f->host_file) {
        host_stream* hs = f->host_file;
        f->host_file = nullptr;
        int32_t len = f->contents ? f->contents->length : 0;
        spend_cpu(len / 8 + frame_budget() / 4);
        std::string target = hs->target_path;
        if (commit_host_write(hs, f->contents)) {
            record_host_write(text_of(f->name), text_of(f->origin));
        } else {
            report_failed_host_write(target.c_str());
            result = 1;
        }
    }
    count_ram_entry(f);
    if (f->kind == PFILE_RAM && (f->mode == 'w' || f->mode == 'a')) mark_ram_origin_dirty(text_of(f->origin));
    if (f->kind == PFILE_HOST) {
        free_pfile(f);
    } else {
        f->mode = 0;
        f->mode_modifier = 0;
    }
    return result;
}

// --- Files dropped on the window ---------------------------------------------------------------

void process_dropped_file(const char* host_path) {
    if (!host_path) return;
    snprintf(velt_debug_string, sizeof(velt_debug_string), "dropped file: %s\n", host_path);
    velt_debug(velt_debug_string);
    const char* name = host_path;
    for (const char* c = host_path; *c; c++) {
        if (*c == '/' || *c == '\\') name = c + 1;
    }
    char path[1024];
    snprintf(path, sizeof(path), "/ram/drop/%s", name);
    for (char* c = path; *c; c++) {
        if (!is_path_char(*c)) *c = '_';
    }
    ram_file* f = pfopen(path, "wf");
    if (!f) {
        snprintf(velt_debug_string, sizeof(velt_debug_string), " ** could not open temp file: %s\n", path);
        velt_debug(velt_debug_string);
        return;
    }
    // A folder has no bytes to copy: it is refused like an empty file, with a word to the user.
    bool folder = host_directory_exists(host_path);
    pbuffer* bytes = folder ? create_buffer_2(0, BUFFER_TAG_FROM_FILE) : create_buffer_from_file(host_path);
    if (!bytes) {
        pfclose(f);
        snprintf(velt_debug_string, sizeof(velt_debug_string), " ** could not create buffer from file: %s\n",
                 host_path);
        velt_debug(velt_debug_string);
        return;
    }
    if (bytes->length == 0) {
        destroy_buffer(bytes);
        pfclose(f);
        notify("** dropping folders (and size zero files) not supported **");
        return;
    }
    if (!pdisk_ram_room(path, "wf", bytes->length)) {
        destroy_buffer(bytes);
        pfclose(f);
        snprintf(velt_debug_string, sizeof(velt_debug_string), " ** ram file limit reached: %s\n", path);
        velt_debug(velt_debug_string);
        notify("** ram file limit reached **");
        return;
    }
    destroy_buffer(f->contents);
    f->contents = bytes;
    pfclose(f);
    pbuffer* msg = create_buffer_2(1024, BUFFER_TAG_MESSAGE);
    bappend_str(msg, "{event=\"drop_items\",_flags=1,items={{mox_type=\"location\",filenav_op=\"move\",location=\"");
    bappend_str_escaped(msg, path);
    bappend_str(msg, "\"}}}");
    process_record* wm = get_process(3);
    if (wm) send_process_message(wm, msg);
    destroy_buffer(msg);
}

// ---------------------------------------------------------------------------
// Host files piece by piece

pbuffer* host_origin_of(const char* path, const char* mode) {
    total_pdisk_calls++;
    if (!mode || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) return nullptr;
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return nullptr;
    uint32_t kind = 0;
    pbuffer* origin = resolve_normalised(text_of(norm), &kind, mode[1] == 'f');
    if (mode[0] == 'r' && mode[1] == 'f') flush_dirty_mounts_immediately();
    destroy_buffer(norm);
    if (origin && kind == MOUNT_HOST) return origin;
    destroy_buffer(origin);
    return nullptr;
}

host_stream* host_write_begin(const char* host_path) { return begin_host_write(host_path, 'w'); }

bool host_write_piece(host_stream* hs, const void* bytes, int64_t n) {
    if (!hs || !hs->file) return false;
    return n <= 0 || fwrite(bytes, 1, size_t(n), hs->file) == size_t(n);
}

bool host_write_finish(host_stream* hs, const char* name, const char* origin) {
    if (!hs) return false;
    std::string target = hs->target_path;
    if (commit_host_write(hs, nullptr)) {
        record_host_write(name, origin);
        return true;
    }
    report_failed_host_write(target.c_str());
    return false;
}

void host_write_abandon(host_stream* hs) { release_host_stream(hs, true); }

int host_read_open(const char* host_path) {
    struct stat st;
    int fd = open_regular_for_reading(host_path, &st);
    if (fd >= 0 && st.st_size > PBUFFER_MAX_LENGTH) {
        close(fd);
        return -1;
    }
    return fd;
}
