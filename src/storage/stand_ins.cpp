// Placeholders for cartridges and the file history until those modules land: cartridges
// read as empty folders and are written as a one-line placeholder image, and the history
// records nothing.
#include <cstdio>

#include "storage/anywhen.h"
#include "storage/cart.h"

int populate_ram_folder_from_q64_rom_buffer_ex(const char*, pbuffer*, const char*, bool) { return 0; }
int populate_ram_folder_from_q64_rom_buffer(pbuffer*, const char*) { return 0; }
int populate_ram_folder_from_q64_buffer(const char*, pbuffer*) { return 0; }

void populate_ram_folder_from_q64_png_buffer(const char* root) {
    printf("can not populate %s\n", root ? root : "");
    printf("q64.png loader not supported in this build.");
}

void write_q64_from_ram_files(pbuffer* out, const char* root, int) {
    bappend_str(out, "-- cartridge of ");
    bappend_str(out, root);
    bappend_str(out, "\n");
}

void write_q64_rom_from_ram_files(pbuffer* out, const char* root, int) { write_q64_from_ram_files(out, root, 0); }

void write_q64_png_from_ram_files(pbuffer*, const char*) {}

void anywhen_open() {}
void anywhen_close() {}
void anywhen_event(int, const char*, const char*) {}
