// Placeholders for the file system, cartridges and file history until those modules land:
// nothing is mounted, no file opens, and the history records nothing.
#include "storage/anywhen.h"
#include "storage/cart.h"
#include "storage/pdisk.h"

void pfile_init() {}
void pfile_reset() {}
ram_file* pfopen(const char*, const char*) { return nullptr; }
void pfclose(ram_file*) {}
int mount_ram_folder(const char*) { return 0; }
int mount_host_path(const char*, const char*) { return 0; }
void process_config() {}
void flush_dirty_mounts_immediately() {}
void flush_dirty_mounts_delayed() {}
void sync_fs(int) {}
void prune_mounts() {}
void prune_process_mounts(int64_t) {}
int host_directory_exists(const char*) { return 0; }

int populate_ram_folder_from_q64_rom_buffer_ex(const char*, pbuffer*, const char*, bool) { return 0; }
int populate_ram_folder_from_q64_rom_buffer(pbuffer*, const char*) { return 0; }

void anywhen_open() {}
void anywhen_close() {}
void anywhen_event(int, const char*, pbuffer*) {}
