// Cartridge containers: text .q64 and binary .q64.rom images of a folder of files,
// read into and written from RAM folders.
#pragma once
#include "kernel/pbuffer.h"

int populate_ram_folder_from_q64_rom_buffer_ex(const char* location, pbuffer* b, const char* ram_path,
                                               bool keep_existing);
int populate_ram_folder_from_q64_rom_buffer(pbuffer* b, const char* ram_path);
