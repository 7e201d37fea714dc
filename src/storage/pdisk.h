// The virtual file system: the sorted file table, path rules, file handles, mounts,
// delayed write-back, folder listings, pruning and the configuration file.
#pragma once
#include <cstdint>
#include "base/pbuffer.h"

struct lua_State;
struct listing;
struct host_stream;  // a host file being written, private to the file system

constexpr int32_t MAX_PFILES = 0x40000;
constexpr int32_t PFILE_PROBE_STEP = 1024;
constexpr int32_t MAX_MOUNTS = 8192;
// Mount records that the host, ram-folder and script mount adders stop at; only
// cartridge mounts (which pruning can drop again) go beyond, up to CARTRIDGE_MOUNT_LIMIT.
constexpr int32_t SCRIPT_MOUNT_LIMIT = 6145;
constexpr int32_t CARTRIDGE_MOUNT_LIMIT = 8189;
constexpr int32_t PRUNE_MOUNT_COUNT = 6145;
constexpr int32_t FATAL_MOUNT_COUNT = 8190;
constexpr uint64_t MOUNT_FLUSH_DELAY_MS = 300;
constexpr int32_t PFLIST_MAX_NAMES = 8192;
constexpr int32_t PATH_SEGMENT_MAX = 254;       // longest segment a path may hold
constexpr int32_t HOST_READ_CHUNK = 16384;
constexpr int32_t HOST_READ_LIMIT_M = 0x40000;  // where an "rm" read stops
constexpr int32_t EXT_MAX = 64;
// Cartridge files further along a path than this are not mounted on access.
constexpr int32_t AUTOMOUNT_PATH_MAX = 4096;

enum pfile_kind : uint32_t { PFILE_EMPTY = 0, PFILE_HOST = 1, PFILE_RAM = 2 };
enum mount_kind : uint32_t { MOUNT_HOST = 1, MOUNT_RAM = 2 };
constexpr uint32_t PFILE_FLAG_FOLDER = 1;

// Allocation tags of the file system's buffers.
constexpr int32_t BUFFER_TAG_PATH = 100;
constexpr int32_t BUFFER_TAG_FILE = 102;

// One entry of the file table, also the handle that pfopen returns.
struct ram_file {
    uint32_t kind;            // pfile_kind
    pbuffer* name;            // sort key: the ram path, or a host entry's virtual path
    uint32_t name_hash;       // murmurhash3_x86_32 of the name, seed 0
    pbuffer* origin;          // ram path (the same buffer as name) or host path
    host_stream* host_file;   // pending write of a host entry opened with 'w' or 'a'
    pbuffer* contents;        // the whole file; its cursor is the handle's position
    uint32_t flags;           // PFILE_FLAG_FOLDER
    char mode;                // 'r', 'w', 'a' while open, else 0
    char mode_modifier;       // 'f', 'e', 'm', 'b' or 0
    uint64_t last_open_time;  // set by pfile_reopen
    int64_t counted;          // bytes of a ram entry counted in ram_file_bytes
};

struct pmount {
    uint32_t kind;            // mount_kind
    pbuffer* mount_point;     // "/" is stored as the empty string
    pbuffer* origin;          // host folder or ram path
    uint32_t isr;             // a ram-folder root made by mount_ram_folder
    uint32_t dirty;           // a ram file under the origin changed since the last write-back
    uint64_t flush_time;      // when a dirty mount is written back; 0 = not set
};

// ---- File table and mount table state (main thread only) ----
extern ram_file* pfile[MAX_PFILES];
extern int32_t num_pfiles;
extern uint64_t total_pdisk_calls;
extern pmount pmount_table[MAX_MOUNTS];
extern int32_t pmounts;
extern int64_t mount_index;            // next /ram/mount/m<N>; never reset
extern int32_t prune_slots_threshold;  // never reset
extern uint32_t host_write_flag;
extern uint32_t host_write_cleared_ms;
extern uint32_t automount_blocked;

// ---- RAM-file budget ----
// Every ram file's bytes count against one budget, set by the configuration file's
// "ram_limit_mb" line (1 GiB without one). A write that would pass it is refused.
constexpr int64_t RAM_FILE_LIMIT_DEFAULT = int64_t(1) << 30;
extern int64_t ram_file_limit;
extern int64_t ram_file_bytes;
extern uint64_t ram_file_refusals;  // writes refused so far for want of room
// 1 when writing a file of length bytes at path (opened with mode, so "wf" reaches a
// mounted cartridge file itself) keeps the ram files within the budget; paths that are
// not ram files always fit.
int pdisk_ram_room(const char* path, const char* mode, int64_t length);

// ---- Paths ----
// Normalised absolute virtual path (new buffer), or null when the path is refused.
// Relative paths are joined to the current process's working directory.
pbuffer* normalise_orvalune_path(const char* path);
// Folds ".", ".." and repeated '/' (a "scheme://" prefix in the first 15 characters is
// kept as it is). Null when a segment is longer than PATH_SEGMENT_MAX characters.
pbuffer* collapse_path(const char* path, int64_t length, int debug);
int get_path_parent_match_depth(const char* mount_point, const char* path);
// Origin of a path through the mounts (new buffer; empty when the path does not
// normalise or no mount covers it); *kind gets the mount's kind on success.
pbuffer* resolve_to_origin(const char* path, uint32_t* kind, int skip_exact);
void automount_p_path(const char* path);
// The same, leaving the path itself unmounted.
void automount_parents(const char* path);
// automount_p_path, or with whole false automount_parents.
void automount_prefixes(const char* path, bool whole);
// Lower-cased extension (the last two dot components when there are two) in one shared
// string that the next call overwrites; empty when none.
const char* get_ext(const char* path);
// 1 q64, 2 q64.rom, 3 q64.png, else 0.
int q64_path_kind(const char* path);
int pdisk_file_exists(const char* path);
int pdisk_directory_exists(const char* path, int check_mounts);
int host_directory_exists(const char* host_path);
// Size of a host file (from the host) or a ram entry; 0 when there is none.
int64_t pfile_size(const char* path, int skip_exact);

// ---- File table ----
void pfile_init();
void pfile_reset();
ram_file* pfile_insert(const char* name, uint32_t kind, const char* origin);
int32_t get_index_by_name(const char* name);
void sweep_empty_pfiles();
int32_t pdisk_num_pfiles();
// Frees an entry's buffers (closing a pending host write without writing it) and marks
// it empty; sweep_empty_pfiles releases the record.
void free_pfile(ram_file* f);
// The ram entry (kind 2) named name, or null.
ram_file* find_ram_file(const char* name);
// Index from which a forward scan of the table meets every entry whose name is name or
// begins with it (all of them stand together, before any greater name).
int32_t pfile_range_start(const char* name);

// Accessors beside the table.
ram_file* pfile_by_index(int32_t i);
ram_file* pfile_by_name(const char* name);  // ram entries only
int32_t pfile_count_of_kind(uint32_t kind);
// Sweeps, then returns a copy of the pointer array (free() it) and its length in *count.
ram_file** pfile_snapshot(int32_t* count);
pmount* get_mount_record(const char* mount_point, uint32_t kind);
// The ram entry named name with its cursor at 0 and the open time noted, or null.
ram_file* pfile_reopen(const char* name);
// Copies the file at path into the ram entry named by its normalised path (made when
// missing); the entry, or null.
ram_file* pfile_copy_to_ram(const char* path);
// Prints each step that pfopen would take for path.
void trace_pfopen(const char* path);

// ---- Handles ----
// Modes: 'r', 'w' or 'a', then optionally 'f' (resolve past a mount at the path itself;
// "rf" first writes back every dirty mount), 'e' (existence probe), 'm' (read at most
// about 256 KB of a host file) or 'b'.
ram_file* pfopen(const char* path, const char* mode);
int32_t pfread(void* buffer, int64_t size, int64_t count, ram_file* f);
// Writes nothing (0) when a ram file would pass the RAM-file budget.
int32_t pfwrite(const void* buffer, int64_t size, int64_t count, ram_file* f);
// Closes a handle, writing a written host file back whole. 0, or 1 when that write-back
// failed (the host file then keeps its previous contents). Null is ignored.
int pfclose(ram_file* f);

// ---- Host files written or read piece by piece ----
// The host path (a new buffer) that path, opened with mode, would read or write, or null when
// it is no host file. Resolves as pfopen does, with the same side effects (mounting, and the
// write-back of dirty mounts for "rf").
pbuffer* host_origin_of(const char* path, const char* mode);
// A pending write of the host file at host_path through a temporary file beside it, or null
// when pfopen would refuse to write it.
host_stream* host_write_begin(const char* host_path);
// Appends n bytes to the temporary file; false when the host write fails.
bool host_write_piece(host_stream* hs, const void* bytes, int64_t n);
// Moves the temporary file over the target and records the write of name (a virtual path)
// with origin as pfclose does; false when that failed (the target then keeps its previous
// contents). Releases hs either way.
bool host_write_finish(host_stream* hs, const char* name, const char* origin);
// Removes the temporary file and releases hs (null is ignored); the target is untouched.
void host_write_abandon(host_stream* hs);
// Opens a host file for reading as pfopen does; -1 when it is no readable regular file below
// 2 GiB.
int host_read_open(const char* host_path);

// ---- Mounts ----
int mount_host_path(const char* mount_point, const char* host_path);
int mount_ram_folder(const char* path);
pmount* mount_p_path(const char* mount_point, const char* target);
pmount* mount_q64_path(const char* path);
// Marks dirty the mounts whose write-back covers a changed ram origin.
void mark_ram_origin_dirty(const char* origin);
int flush_dirty_mount(pmount* m, int delayed);
int flush_dirty_mounts_ex(int delayed);
void flush_dirty_mounts_immediately();
void flush_dirty_mounts_delayed();
void flush_dirty_mount_immediately(const char* mount_point);
void sync_fs(int force);
int delete_mount_point(const char* path);
int32_t delete_ram_files_in_path(const char* path);
void delete_mount_entry(int32_t index);
void print_mount_table();

// ---- Files and folders ----
// 0 done; 1 refused ("/", "/ram", "/system", or a path that does not resolve).
int delete_path(const char* path);
// 0 success, 1 already exists or unnormalisable, 2 a table is full, or the host's
// folder creation result.
int pmkdir(const char* path);
// Bytes copied (0 when either file failed to open, or source and destination are one file;
// -1 when the copy would pass the RAM-file budget, the destination then left as it was).
int64_t fcopy(const char* source, const char* destination);
const char* get_mount_description(const char* path);
// Lists a folder: with a script state pushes the name table and the folder count and
// returns 2; with a listing adds the names to it. 0 when the folder cannot be listed.
int pflist(const char* path, lua_State* L, listing* out);

// ---- Pruning and configuration ----
void delete_clean_ram_mounts();
void prune_mounts();
void prune_process_mounts(int64_t process_id);
int process_config();

// A host file dropped on the window: copied to /ram/drop/ and announced to the window manager.
void process_dropped_file(const char* host_path);
