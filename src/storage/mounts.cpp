// Mounts, write-back of changed cartridges, folders, deletion, copying, folder listings,
// pruning and the configuration file.
#include "storage/pdisk.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/machine.h"
#include "kernel/slice.h"
#include "kernel/api.h"
#include "lua.h"
#include "platform/host.h"
#include "storage/anywhen.h"
#include "storage/cart.h"
#include "storage/listing.h"

pmount pmount_table[MAX_MOUNTS];
int32_t pmounts = 0;
int64_t mount_index = 1;
int32_t prune_slots_threshold = 4096;
uint32_t host_write_flag = 0;
uint32_t host_write_cleared_ms = 0;

// Cycles charged by listings and deletions for each entry they visit: a host entry costs a
// status query, a ram entry a look at the file table; and each name listed.
constexpr int64_t LIST_HOST_ENTRY_CYCLES = 256;
constexpr int64_t LIST_RAM_ENTRY_CYCLES = 16;
constexpr int64_t LIST_NAME_CYCLES = 32;

namespace {

const char* text_of(const pbuffer* b) { return b && b->data ? reinterpret_cast<const char*>(b->data) : ""; }

bool starts_with(const char* s, const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

pbuffer* text_buffer(const char* s) {
    size_t n = strlen(s);
    pbuffer* b = create_buffer_2(int64_t(n) + 1, BUFFER_TAG_PATH);
    if (!b) return nullptr;
    if (n) bwrite(s, 1, int64_t(n), b);
    to_cstr(b);
    return b;
}

std::string without_trailing_slash(const char* s) {
    std::string t = s;
    if (!t.empty() && t.back() == '/') t.pop_back();
    return t;
}

pmount* append_mount(uint32_t kind, const char* mount_point, const char* origin, uint32_t isr, int32_t limit) {
    if (pmounts >= limit || pmounts >= MAX_MOUNTS) {
        snprintf(velt_debug_string, sizeof(velt_debug_string), "** too many mounts: %s refused\n", mount_point);
        velt_debug(velt_debug_string);
        return nullptr;
    }
    // One trailing '/' goes from each, so "/" is stored as the empty mount point that
    // matches every absolute path at depth 0.
    std::string mount_text = without_trailing_slash(mount_point);
    std::string origin_text = without_trailing_slash(origin);
    pbuffer* mp = text_buffer(mount_text.c_str());
    pbuffer* og = text_buffer(origin_text.c_str());
    if (!mp || !og) {
        destroy_buffer(mp);
        destroy_buffer(og);
        return nullptr;
    }
    pmount* m = &pmount_table[pmounts++];
    m->kind = kind;
    m->mount_point = mp;
    m->origin = og;
    m->isr = isr;
    m->dirty = 0;
    m->flush_time = 0;
    return m;
}

void set_dirty(pmount& m) {
    m.dirty = 1;
    if (m.flush_time == 0) m.flush_time = os_get_time() + MOUNT_FLUSH_DELAY_MS;
}

void clear_dirty(pmount& m) {
    m.dirty = 0;
    m.flush_time = 0;
}

// The ram folder still holds the changes that could not be written: try again later.
void retry_later(pmount& m) {
    m.dirty = 1;
    m.flush_time = os_get_time() + MOUNT_FLUSH_DELAY_MS;
}

int32_t find_mount_index(const char* mount_point) {
    for (int32_t i = 0; i < pmounts; i++) {
        if (strcmp(text_of(pmount_table[i].mount_point), mount_point) == 0) return i;
    }
    return -1;
}

bool is_temporary_ram_origin(const char* origin) {
    return starts_with(origin, "/ram/mount/") || starts_with(origin, "/ram/bbs/") ||
           starts_with(origin, "/ram/anywhen/");
}

bool origins_overlap(const char* a, const char* b) {
    return get_path_parent_match_depth(a, b) >= 0 || get_path_parent_match_depth(b, a) >= 0;
}

// True when a dirty ram mount's origin lies inside, around or at origin: its files
// still wait for their write-back.
bool overlaps_dirty_mount(const char* origin) {
    for (int32_t i = 0; i < pmounts; i++) {
        const pmount& m = pmount_table[i];
        if (m.kind == MOUNT_RAM && m.dirty && origins_overlap(text_of(m.origin), origin)) return true;
    }
    return false;
}

// True when another mount still uses the temporary ram folder origin: its origin is a
// temporary folder too, at, inside or around origin (the ram root does not count).
bool overlaps_temporary_mount(const char* origin) {
    for (int32_t i = 0; i < pmounts; i++) {
        const pmount& m = pmount_table[i];
        const char* o = text_of(m.origin);
        if (m.kind == MOUNT_RAM && is_temporary_ram_origin(o) && origins_overlap(o, origin)) return true;
    }
    return false;
}

// True when a mounted cartridge's ram folder lies at or inside origin.
bool holds_cartridge_folder(const char* origin) {
    for (int32_t i = 0; i < pmounts; i++) {
        const pmount& m = pmount_table[i];
        if (m.kind != MOUNT_RAM || q64_path_kind(text_of(m.mount_point)) == 0) continue;
        if (get_path_parent_match_depth(origin, text_of(m.origin)) >= 0) return true;
    }
    return false;
}

// True when a file or folder stands at path, whether or not it can be read.
bool entry_exists(const char* path) {
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(path, &kind, 0);
    bool found = false;
    if (origin->length > 0) {
        struct stat st;
        if (kind == MOUNT_HOST) found = stat(text_of(origin), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
        else found = find_ram_file(text_of(origin)) != nullptr;
    }
    destroy_buffer(origin);
    return found;
}

// Removes mount i after freeing the ram files behind it, when those are temporary
// copies (cartridge folders, downloads, history snapshots) that nothing else still needs.
void drop_mount(int32_t i) {
    const pmount& m = pmount_table[i];
    std::string origin = text_of(m.origin);
    bool free_files = m.kind == MOUNT_RAM && is_temporary_ram_origin(origin.c_str());
    delete_mount_entry(i);
    if (free_files && !overlaps_dirty_mount(origin.c_str())) delete_ram_files_in_path(origin.c_str());
}

// Cartridges mounted from files inside a folder or cartridge that is being deleted go with it,
// unwritten: their files go too, and a later write-back would bring them back.
void drop_cartridges_inside(const std::string& folder) {
    const std::string inside = folder + "/";
    for (int32_t i = pmounts - 1; i >= 0; i--) {
        const pmount& m = pmount_table[i];
        if (q64_path_kind(text_of(m.mount_point)) == 0 || !starts_with(text_of(m.mount_point), inside.c_str()))
            continue;
        std::string origin = text_of(m.origin);
        delete_mount_entry(i);
        if (starts_with(origin.c_str(), "/ram/mount/") && !overlaps_temporary_mount(origin.c_str()))
            delete_ram_files_in_path(origin.c_str());
    }
}

// Bytes of the cartridge image of a ram folder, by cartridge kind.
void write_cartridge_image(int kind, pbuffer* out, const char* root) {
    if (kind == 1) write_q64_from_ram_files(out, root, 0);
    else if (kind == 2) write_q64_rom_from_ram_files(out, root, 0);
    else if (kind == 3) write_q64_png_from_ram_files(out, root);
}

// Names gathered for one folder listing.
struct name_list {
    std::vector<std::string> names;
    void add(const std::string& n) {
        if (int32_t(names.size()) < PFLIST_MAX_NAMES) names.push_back(n);
    }
};

bool contains_name(const std::vector<std::string>& v, const std::string& n) {
    for (const auto& s : v) {
        if (s == n) return true;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Making mounts

int mount_host_path(const char* mount_point, const char* host_path) {
    if (!mount_point || !host_path) return 1;
    return append_mount(MOUNT_HOST, mount_point, host_path, 0, SCRIPT_MOUNT_LIMIT) ? 0 : 1;
}

int mount_ram_folder(const char* path) {
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return 1;
    pmount* m = append_mount(MOUNT_RAM, text_of(norm), text_of(norm), 1, SCRIPT_MOUNT_LIMIT);
    destroy_buffer(norm);
    return m ? 0 : 1;
}

pmount* mount_p_path(const char* mount_point, const char* target) {
    pbuffer* norm = normalise_orvalune_path(mount_point);
    if (!norm) return nullptr;
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(target, &kind, 0);
    pmount* m = nullptr;
    if (origin->length > 0) m = append_mount(kind, text_of(norm), text_of(origin), 0, SCRIPT_MOUNT_LIMIT);
    destroy_buffer(origin);
    destroy_buffer(norm);
    return m;
}

pmount* mount_q64_path(const char* path) {
    if (!path) return nullptr;
    int32_t existing = find_mount_index(path);
    if (existing >= 0) return &pmount_table[existing];
    if (pmounts >= CARTRIDGE_MOUNT_LIMIT) {
        snprintf(velt_debug_string, sizeof(velt_debug_string), "** too many mounts: %s refused\n", path);
        velt_debug(velt_debug_string);
        return nullptr;
    }
    // Cartridges further up the path are mounted first, so that this one is read from
    // inside them.
    std::string parent = path;
    size_t slash = parent.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        parent.resize(slash);
        automount_p_path(parent.c_str());
    }
    uint32_t saved = automount_blocked;
    automount_blocked = 1;

    pmkdir("/ram/mount");
    char folder[64];
    snprintf(folder, sizeof folder, "/ram/mount/m%lld", (long long)mount_index++);
    while (pdisk_directory_exists(folder, 1)) {
        printf("!! %s\n", folder);
        snprintf(folder, sizeof folder, "/ram/mount/m%lld", (long long)mount_index++);
    }
    pmkdir(folder);
    ram_file* f = pfopen(path, "r");
    if (!f && entry_exists(path)) {
        // A cartridge file that is there but cannot be read (unreadable, too large, not a
        // regular file) is not mounted: an empty folder in its place would be written
        // back over it.
        delete_ram_files_in_path(folder);
        automount_blocked = saved;
        snprintf(velt_debug_string, sizeof(velt_debug_string), "** could not read %s: not mounted\n", path);
        velt_debug(velt_debug_string);
        return nullptr;
    }
    if (f) {
        uint64_t refusals = ram_file_refusals;
        int kind = q64_path_kind(path);
        if (kind == 1) populate_ram_folder_from_q64_buffer(folder, f->contents);
        else if (kind == 2) populate_ram_folder_from_q64_rom_buffer(f->contents, folder);
        else if (kind == 3) populate_ram_folder_from_q64_png_buffer(folder, f->contents);
        pfclose(f);
        if (ram_file_refusals != refusals) {
            // Only part of it fits in the ram files: a mount of that part could be written
            // back over the whole cartridge.
            delete_ram_files_in_path(folder);
            automount_blocked = saved;
            snprintf(velt_debug_string, sizeof(velt_debug_string),
                     "** %s does not fit in the ram file limit: not mounted\n", path);
            velt_debug(velt_debug_string);
            return nullptr;
        }
    }
    pmount* m = nullptr;
    pbuffer* norm = normalise_orvalune_path(path);
    if (norm) {
        uint32_t kind = 0;
        pbuffer* origin = resolve_to_origin(folder, &kind, 0);
        if (origin->length > 0) m = append_mount(kind, text_of(norm), text_of(origin), 0, CARTRIDGE_MOUNT_LIMIT);
        destroy_buffer(origin);
        destroy_buffer(norm);
    }
    automount_blocked = saved;
    return m;
}

pmount* get_mount_record(const char* mount_point, uint32_t kind) {
    if (!mount_point) return nullptr;
    for (int32_t i = 0; i < pmounts; i++) {
        pmount& m = pmount_table[i];
        if (m.kind == kind && strcmp(text_of(m.mount_point), mount_point) == 0) return &m;
    }
    return nullptr;
}

int pdisk_directory_exists(const char* path, int check_mounts) {
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return 0;
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(text_of(norm), &kind, 0);
    int result = 0;
    if (origin->length > 0) {
        if (kind == MOUNT_HOST) {
            result = host_directory_exists(text_of(origin));
        } else {
            ram_file* f = find_ram_file(text_of(origin));
            if (f && (f->flags & PFILE_FLAG_FOLDER)) result = 1;
        }
    }
    if (!result && check_mounts) {
        for (int32_t i = 0; i < pmounts; i++) {
            const pmount& m = pmount_table[i];
            if (m.kind != MOUNT_RAM || strcmp(text_of(m.mount_point), text_of(norm)) != 0) continue;
            result = m.isr ? 1 : pdisk_directory_exists(text_of(m.origin), 0);
            break;
        }
    }
    destroy_buffer(origin);
    destroy_buffer(norm);
    return result;
}

// ---------------------------------------------------------------------------
// Write-back

void mark_ram_origin_dirty(const char* origin) {
    if (!origin) return;
    int32_t best = -1;
    int best_depth = -1;
    for (int32_t i = 0; i < pmounts; i++) {
        pmount& m = pmount_table[i];
        if (m.kind != MOUNT_RAM) continue;
        int d = get_path_parent_match_depth(text_of(m.origin), origin);
        if (d < 0) continue;
        if (d > best_depth) {
            best = i;
            best_depth = d;
        }
        // A cartridge whose folder holds the file is written back even when a deeper
        // mount (an alias of one of its subfolders) covers the file too.
        if (q64_path_kind(text_of(m.mount_point)) != 0) set_dirty(m);
    }
    if (best >= 0) set_dirty(pmount_table[best]);
}

int flush_dirty_mount(pmount* m, int delayed) {
    if (!m || !m->dirty) return 0;
    if (app.exclusive_process != 0) return 0;
    if (delayed && os_get_time() < m->flush_time) return 0;
    std::string mount_point = text_of(m->mount_point);
    std::string origin = text_of(m->origin);
    int kind = q64_path_kind(mount_point.c_str());
    if (kind == 0) {
        clear_dirty(*m);
        return 0;
    }
    // The image is made before the cartridge file is touched: a writer that refuses the
    // folder (nothing written) leaves the file as it was.
    pbuffer* image = create_buffer_2(4096, BUFFER_TAG_FILE);
    if (image) write_cartridge_image(kind, image, origin.c_str());
    if (!image || image->length == 0) {
        destroy_buffer(image);
        clear_dirty(*m);
        return 1;
    }
    // A cartridge kept in a ram folder counts against the ram-file budget like any file.
    ram_file* f = pdisk_ram_room(mount_point.c_str(), "wf", image->length) ? pfopen(mount_point.c_str(), "wf")
                                                                           : nullptr;
    if (!f) {
        destroy_buffer(image);
        retry_later(*m);
        return 1;
    }
    destroy_buffer(f->contents);
    image->cursor = image->length;
    f->contents = image;
    int failed = pfclose(f);
    // The mount record may have moved only if pfclose removed mounts, which it never does.
    if (failed) retry_later(*m);
    else clear_dirty(*m);
    return 1;
}

int flush_dirty_mounts_ex(int delayed) {
    int sum = 0;
    for (int32_t i = pmounts - 1; i >= 0; i--) {
        if (i < pmounts) sum += flush_dirty_mount(&pmount_table[i], delayed);
    }
    return sum;
}

void flush_dirty_mounts_immediately() { flush_dirty_mounts_ex(0); }

void flush_dirty_mounts_delayed() { flush_dirty_mounts_ex(1); }

void flush_dirty_mount_immediately(const char* mount_point) {
    if (!mount_point) return;
    int32_t i = find_mount_index(mount_point);
    if (i < 0) return;
    flush_dirty_mount(&pmount_table[i], 0);
    printf("// flushed single mount: %s\n", mount_point);
}

void sync_fs(int force) {
    if (!host_write_flag) return;
    uint32_t now = uint32_t(os_get_time());
    if (force || now < host_write_cleared_ms || now - host_write_cleared_ms > 2000) {
        host_write_flag = 0;
        host_write_cleared_ms = now;
    }
}

// ---------------------------------------------------------------------------
// Removing mounts and files

void delete_mount_entry(int32_t index) {
    if (index < 0 || index >= pmounts) return;
    destroy_buffer(pmount_table[index].mount_point);
    destroy_buffer(pmount_table[index].origin);
    memmove(&pmount_table[index], &pmount_table[index + 1], sizeof(pmount) * size_t(pmounts - index - 1));
    pmounts--;
    memset(&pmount_table[pmounts], 0, sizeof(pmount));
}

int delete_mount_point(const char* path) {
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return 0;
    int32_t i = find_mount_index(text_of(norm));
    destroy_buffer(norm);
    if (i < 0) return 0;
    flush_dirty_mount(&pmount_table[i], 0);
    std::string origin = text_of(pmount_table[i].origin);
    delete_mount_entry(i);
    // A cartridge folder shared with another mount (the cartridge itself, or an alias
    // of it) stays: that mount still reads it and writes it back.
    if (starts_with(origin.c_str(), "/ram/mount/") && !overlaps_temporary_mount(origin.c_str())) {
        delete_ram_files_in_path(origin.c_str());
    }
    return 1;
}

int32_t delete_ram_files_in_path(const char* path) {
    if (!path || !path[0]) return 0;
    size_t n = strlen(path);
    int32_t count = 0;
    // Names that begin with path stand together in the sorted table.
    for (int32_t i = pfile_range_start(path); i < num_pfiles; i++) {
        ram_file* f = pfile[i];
        if (f->kind != PFILE_RAM) continue;
        const char* name = text_of(f->origin);
        int c = strncmp(name, path, n);
        if (c < 0) continue;
        if (c > 0) break;
        if (name[n] == 0 || name[n] == '/') {
            free_pfile(f);
            count++;
        }
    }
    spend_cpu(int64_t(count) * LIST_RAM_ENTRY_CYCLES);  // by the files freed
    return count;
}

int delete_path(const char* path) {
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return 1;
    std::string vpath = text_of(norm);
    destroy_buffer(norm);
    if (vpath == "/" || vpath == "/ram" || vpath == "/system") return 1;
    // A deleted cartridge takes the cartridges mounted from its folder with it.
    if (delete_mount_point(vpath.c_str()) && q64_path_kind(vpath.c_str()) != 0) drop_cartridges_inside(vpath);
    uint32_t saved = automount_blocked;
    automount_blocked = 1;
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(vpath.c_str(), &kind, 0);
    int result = 1;
    if (origin->length > 0) {
        result = 0;
        if (kind == MOUNT_HOST) {
            unlink(text_of(origin));
            rmdir(text_of(origin));
            anywhen_event(1, vpath.c_str(), nullptr);
        } else if (holds_cartridge_folder(text_of(origin))) {
            // Emptying a mounted cartridge's folder would write an empty cartridge back.
            result = 1;
        } else {
            mark_ram_origin_dirty(text_of(origin));
            drop_cartridges_inside(vpath);
            // The files go by their origin, so deleting through an alias mount works.
            delete_ram_files_in_path(text_of(origin));
        }
    }
    destroy_buffer(origin);
    automount_blocked = saved;
    return result;
}

int pmkdir(const char* path) {
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return 1;
    std::string vpath = text_of(norm);
    destroy_buffer(norm);
    if (q64_path_kind(vpath.c_str()) != 0) {
        pmount* m = mount_q64_path(vpath.c_str());
        if (!m) return 2;
        m->dirty = 1;
        m->flush_time = os_get_time() + MOUNT_FLUSH_DELAY_MS;
        return 0;
    }
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(vpath.c_str(), &kind, 0);
    int result = 1;
    if (origin->length > 0) {
        if (kind == MOUNT_HOST) {
            result = velt_mkdir(text_of(origin));
            if (result == 0) anywhen_event(2, vpath.c_str(), nullptr);
        } else if (!find_ram_file(text_of(origin))) {
            ram_file* f = pfile_insert(text_of(origin), PFILE_RAM, text_of(origin));
            if (!f) {
                printf("** too many files (during mkdir) **\n");
                velt_debug("** too many files (during mkdir) **\n");
                result = 2;
            } else {
                f->flags |= PFILE_FLAG_FOLDER;
                f->contents = create_buffer_2(0, BUFFER_TAG_FILE);
                // A folder made inside a cartridge is part of it from now on.
                mark_ram_origin_dirty(text_of(origin));
                result = 0;
            }
        }
    }
    destroy_buffer(origin);
    return result;
}

int64_t fcopy(const char* source, const char* destination) {
    pbuffer* ns = normalise_orvalune_path(source);
    pbuffer* nd = normalise_orvalune_path(destination);
    int64_t copied = 0;
    if (ns && nd) {
        uint32_t ks = 0, kd = 0;
        pbuffer* os = resolve_to_origin(text_of(ns), &ks, 0);
        pbuffer* od = resolve_to_origin(text_of(nd), &kd, 0);
        // A file copied onto itself stays as it is.
        bool same = os->length > 0 && ks == kd && strcmp(text_of(os), text_of(od)) == 0;
        destroy_buffer(os);
        destroy_buffer(od);
        ram_file* fs = same ? nullptr : pfopen(text_of(ns), "r");
        int32_t len = fs && fs->contents ? fs->contents->length : 0;
        // The destination is only opened (and so emptied) once the source has opened and
        // its bytes are known to fit.
        bool room = fs && pdisk_ram_room(text_of(nd), "w", len);
        if (fs && !room) copied = -1;
        ram_file* fd = room ? pfopen(text_of(nd), "w") : nullptr;
        if (fs && fd && fs != fd && len > 0) copied = pfwrite(fs->contents->data, 1, len, fd);
        pfclose(fs);
        pfclose(fd);
    }
    destroy_buffer(ns);
    destroy_buffer(nd);
    return copied;
}

const char* get_mount_description(const char* path) {
    static char description[1024];
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return nullptr;
    int32_t i = find_mount_index(text_of(norm));
    destroy_buffer(norm);
    if (i < 0) return nullptr;
    const pmount& m = pmount_table[i];
    if (m.kind == MOUNT_HOST) snprintf(description, sizeof description, "host:%s", text_of(m.origin));
    else snprintf(description, sizeof description, "%s", text_of(m.origin));
    return description;
}

// ---------------------------------------------------------------------------
// Folder listings

namespace {

// A folder's names in listing order (folders without their '/') and how many are folders.
struct folder_names {
    std::vector<std::string> names;
    int64_t folders = 0;
};

// Gathers the names of a folder; null when it cannot be listed. No call into a script state
// is made here.
folder_names* gather_folder_names(const char* path) {
    flush_dirty_mounts_immediately();
    pbuffer* norm = normalise_orvalune_path(path);
    if (!norm) return nullptr;
    std::string vpath = text_of(norm);
    destroy_buffer(norm);
    uint32_t kind = 0;
    pbuffer* origin_buffer = resolve_to_origin(vpath.c_str(), &kind, 0);
    std::string origin = text_of(origin_buffer);
    destroy_buffer(origin_buffer);
    if (origin.empty()) return nullptr;

    // Mount points directly inside the folder; they hide files and folders of the same name.
    std::string inside = vpath == "/" ? "/" : vpath + "/";
    std::vector<std::string> mount_names;
    std::vector<std::string> mount_items;
    for (int32_t i = 0; i < pmounts; i++) {
        const char* mp = text_of(pmount_table[i].mount_point);
        if (strlen(mp) < 2 || !starts_with(mp, inside.c_str())) continue;
        const char* rest = mp + inside.size();
        if (!*rest || strchr(rest, '/')) continue;
        if (contains_name(mount_names, rest)) continue;
        mount_names.push_back(rest);
        mount_items.push_back(std::string(rest) + (q64_path_kind(rest) ? "" : "/"));
    }

    int64_t visited_host = 0, visited_ram = 0;
    name_list names;
    if (kind == MOUNT_HOST) {
        DIR* d = opendir(origin.c_str());
        if (!d) return nullptr;
        std::string base = origin.empty() || origin.back() == '/' ? origin : origin + "/";
        while (struct dirent* e = readdir(d)) {
            visited_host++;
            if (e->d_name[0] == '.' || contains_name(mount_names, e->d_name)) continue;
            std::string full = base + e->d_name;
            struct stat st;
            bool folder = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            names.add(std::string(e->d_name) + (folder && !q64_path_kind(e->d_name) ? "/" : ""));
        }
        closedir(d);
    } else {
        std::string prefix = origin.back() == '/' ? origin : origin + "/";
        for (int32_t i = pfile_range_start(prefix.c_str()); i < num_pfiles; i++) {
            const ram_file* f = pfile[i];
            visited_ram++;
            if (f->kind != PFILE_RAM) continue;
            const char* name = text_of(f->origin);
            int c = strncmp(name, prefix.c_str(), prefix.size());
            if (c < 0) continue;
            if (c > 0) break;
            const char* rest = name + prefix.size();
            if (!*rest || strchr(rest, '/') || rest[0] == '.' || contains_name(mount_names, rest)) continue;
            names.add(std::string(rest) + ((f->flags & PFILE_FLAG_FOLDER) ? "/" : ""));
        }
    }
    for (const auto& m : mount_items) names.add(m);
    spend_cpu(visited_host * LIST_HOST_ENTRY_CYCLES + visited_ram * LIST_RAM_ENTRY_CYCLES +
              int64_t(names.names.size()) * LIST_NAME_CYCLES);

    std::vector<const char*> sorted;
    for (const auto& n : names.names) sorted.push_back(n.c_str());
    sort_str_items(sorted.data(), int32_t(sorted.size()));

    folder_names* out = new folder_names;
    const char* previous = nullptr;
    for (const char* n : sorted) {
        if (previous && strcmp(previous, n) == 0) continue;
        previous = n;
        std::string name = n;
        if (!name.empty() && name.back() == '/') {
            name.pop_back();
            out->folders++;
        }
        out->names.push_back(std::move(name));
    }
    return out;
}

// Pushes the name table and the folder count of the names in the job.
int push_folder_names(lua_State* L) {
    const folder_names* names = static_cast<const folder_names*>(take_job(L));
    lua_createtable(L, int(names->names.size()), 0);
    int64_t position = 0;
    for (const std::string& n : names->names) {
        lua_pushlstring(L, n.data(), n.size());
        lua_rawseti(L, -2, ++position);
    }
    lua_pushinteger(L, names->folders);
    return 2;
}

}  // namespace

int pflist(const char* path, lua_State* L, listing* out) {
    folder_names* names = gather_folder_names(path);
    if (!names) return 0;
    if (out) {
        for (const std::string& n : names->names) listing_add(out, n.c_str());
    }
    // The names are this frame's own: pushed in a protected call, deleted before any error
    // of the pushes passes on.
    const int status = L ? protected_call(L, push_folder_names, names, 0) : LUA_OK;
    delete names;
    if (status != LUA_OK) raise_again(L, status);
    return 2;
}

// ---------------------------------------------------------------------------
// Pruning

void print_mount_table() {
    for (int32_t i = 0; i < pmounts; i++) {
        const pmount& m = pmount_table[i];
        printf("mount %d kind: %d isr:%d mount_point: %-10s origin: %-20s\n", int(i), int(m.kind), int(m.isr),
               text_of(m.mount_point), text_of(m.origin));
    }
}

void delete_clean_ram_mounts() {
    for (int32_t i = pmounts - 1; i >= 0; i--) {
        const pmount& m = pmount_table[i];
        if (m.dirty) continue;
        const char* mp = text_of(m.mount_point);
        if (starts_with(text_of(m.origin), "/ram/mount/") || starts_with(mp, "/ram/bbs/") ||
            starts_with(mp, "/ram/anywhen/")) {
            drop_mount(i);
        }
    }
}

void prune_mounts() {
    if (app.exclusive_process != 0) return;
    if (pmounts < PRUNE_MOUNT_COUNT && num_pfiles <= prune_slots_threshold) {
        sweep_empty_pfiles();
        return;
    }
    flush_dirty_mounts_immediately();
    delete_clean_ram_mounts();
    delete_ram_files_in_path("/ram/anywhen");
    // Entries just freed still count here: the sweep below removes them.
    if (num_pfiles < prune_slots_threshold) {
        prune_slots_threshold = prune_slots_threshold < 5462 ? 4096 : prune_slots_threshold * 3 / 4;
    } else {
        prune_slots_threshold = prune_slots_threshold > 152917 ? 0x38000 : prune_slots_threshold * 3 / 2;
    }
    if (pmounts >= FATAL_MOUNT_COUNT) {
        printf("** fatal: too many mounts (%d); could not prune.\n", int(pmounts));
        print_mount_table();
        fflush(stdout);
        exit(0);
    }
    sweep_empty_pfiles();
}

void prune_process_mounts(int64_t process_id) {
    flush_dirty_mounts_immediately();
    char prefix[64];
    snprintf(prefix, sizeof prefix, "/ram/anywhen/%lld_", (long long)process_id);
    for (int32_t i = pmounts - 1; i >= 0; i--) {
        if (starts_with(text_of(pmount_table[i].mount_point), prefix)) drop_mount(i);
    }
}

// ---------------------------------------------------------------------------
// Configuration file

namespace {

// "ram_limit_mb <megabytes>": the RAM-file budget. Older programs skip the line.
constexpr char RAM_LIMIT_KEY[] = "ram_limit_mb ";
constexpr size_t RAM_LIMIT_KEY_LENGTH = sizeof(RAM_LIMIT_KEY) - 1;
constexpr int64_t RAM_LIMIT_MAX_MB = int64_t(1) << 20;

void read_ram_limit(const char* text) {
    char* end = nullptr;
    errno = 0;
    long long mb = strtoll(text, &end, 10);
    while (end && (*end == ' ' || *end == '\r')) end++;
    if (errno != 0 || end == text || (end && *end) || mb < 1 || mb > RAM_LIMIT_MAX_MB) {
        snprintf(velt_debug_string, sizeof(velt_debug_string), "ignored config line: %s%s\n", RAM_LIMIT_KEY, text);
        velt_debug(velt_debug_string);
        return;
    }
    ram_file_limit = int64_t(mb) << 20;
    snprintf(velt_debug_string, sizeof(velt_debug_string), "ram file limit: %lld MB\n", mb);
    velt_debug(velt_debug_string);
}

}  // namespace

int process_config() {
    char config_path[VELT_PATH_MAX];
    char drive[VELT_PATH_MAX];
    velt_prefix_with_appdata_path("orvalune_config.txt", config_path);
    velt_prefix_with_appdata_path("drive", drive);
    if (drive[0]) velt_mkdir(drive);

    FILE* f = config_path[0] ? fopen(config_path, "rb") : nullptr;
    if (f) {
        fclose(f);
    } else {
        snprintf(velt_debug_string, sizeof(velt_debug_string), "writing default config to %s\n", config_path);
        velt_debug(velt_debug_string);
        FILE* w = config_path[0] ? fopen(config_path, "wb") : nullptr;
        bool ok = w != nullptr;
        if (w) {
            if (fprintf(w, "# orvalune config\n\nmount / %s\n", drive) < 0) ok = false;
            if (fclose(w) != 0) ok = false;
        }
        if (!ok) {
            printf("ERROR: could not write to %s\n", config_path);
            kernel_fatal_exit(1);
        }
    }

    ram_file_limit = RAM_FILE_LIMIT_DEFAULT;
    pbuffer* text = create_buffer_from_file(config_path);
    if (!text) return 0;
    const char* data = text_of(text);
    int32_t length = text->length;
    int32_t pos = 0;
    while (pos < length) {
        int32_t end = pos;
        while (end < length && data[end] != '\n') end++;
        std::string line(data + pos, size_t(end - pos));
        pos = end + 1;
        if (line.compare(0, RAM_LIMIT_KEY_LENGTH, RAM_LIMIT_KEY) == 0) {
            read_ram_limit(line.c_str() + RAM_LIMIT_KEY_LENGTH);
            continue;
        }
        if (line.compare(0, 6, "mount ") != 0) continue;
        size_t v = 6;
        while (v < line.size() && uint8_t(line[v]) > 32 && uint8_t(line[v]) < 128) v++;
        std::string virtual_path = line.substr(6, v - 6);
        size_t h = v;
        while (h < line.size() && line[h] == ' ') h++;
        size_t he = h;
        while (he < line.size() && line[he] != 0 && line[he] != '\r' && line[he] != '\n') he++;
        std::string host_path = line.substr(h, he - h);
        // A line without both paths (or with an overlong virtual path) mounts nothing.
        if (virtual_path.empty() || virtual_path.size() > 255 || host_path.empty()) continue;
        snprintf(velt_debug_string, sizeof(velt_debug_string), "mount: [%s] [%s]\n", virtual_path.c_str(),
                 host_path.c_str());
        velt_debug(velt_debug_string);
        mount_host_path(virtual_path.c_str(), host_path.c_str());
    }
    destroy_buffer(text);
    return 0;
}
