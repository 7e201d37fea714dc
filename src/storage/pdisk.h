// The virtual file system: the sorted file table, path rules, file handles, mounts,
// delayed write-back and the configuration file.
#pragma once
#include <cstdint>
#include "kernel/pbuffer.h"

struct ram_file {
    uint32_t kind;          // 0 empty, 1 host entry, 2 ram entry
    pbuffer* name;
    uint32_t name_hash;
    pbuffer* origin;
    void* host_file;
    pbuffer* contents;      // the whole file; cursor is the handle's position
    uint32_t flags;         // bit 0: folder
    char mode;
    char mode_modifier;
    uint64_t last_open_time;
};

void pfile_init();
void pfile_reset();
ram_file* pfopen(const char* path, const char* mode);
void pfclose(ram_file* f);
int mount_ram_folder(const char* path);
int mount_host_path(const char* mount_point, const char* host_path);
void process_config();
void flush_dirty_mounts_immediately();
void flush_dirty_mounts_delayed();
void sync_fs(int force);
void prune_mounts();
void prune_process_mounts(int64_t process_id);
int host_directory_exists(const char* host_path);
