// Cartridge containers: text .q64 and binary .q64.rom images of a folder of files,
// read into and written from RAM folders.
#pragma once
#include "kernel/pbuffer.h"

int populate_ram_folder_from_q64_rom_buffer_ex(const char* location, pbuffer* b, const char* ram_path,
                                               bool keep_existing);
int populate_ram_folder_from_q64_rom_buffer(pbuffer* b, const char* ram_path);
// Fills the ram folder root from a text cartridge.
int populate_ram_folder_from_q64_buffer(const char* root, pbuffer* b);
// Image cartridges cannot be read: reports that and fills nothing.
void populate_ram_folder_from_q64_png_buffer(const char* root);
// Append the text cartridge, the .q64.rom image or the image cartridge of the ram folder
// root to out. Nothing appended means the folder could not be written in that form.
void write_q64_from_ram_files(pbuffer* out, const char* root, int flags);
void write_q64_rom_from_ram_files(pbuffer* out, const char* root, int flags);
void write_q64_png_from_ram_files(pbuffer* out, const char* root);
