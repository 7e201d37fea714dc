// Cartridge containers: text .q64 and binary .q64.rom images of a folder of files,
// read into and written from RAM folders, and the legacy pxa code block.
#pragma once
#include <cstdint>
#include "base/pbuffer.h"

constexpr int32_t Q64_PATH_MAX = 1024;              // root + "/" + name must be shorter
constexpr int32_t Q64_ROM_NAME_MAX = 400;           // bytes of an entry name, "/" included
constexpr int32_t Q64_ROM_MAX_ENTRIES = 16384;
constexpr int64_t Q64_ROM_PAYLOAD_MAX = 0x4000000;  // 64 MB entry list
constexpr int32_t Q64_TEXT_NAME_MAX = 960;          // leaves room for any mount folder
constexpr int32_t Q64_B64_LINE_MAX = 1023;          // longer base64 body lines are skipped
constexpr int32_t PXA_LIMIT = 65536;

// Write flags of write_q64_rom_from_ram_files.
constexpr int Q64_ROM_SKIP_LABEL = 4;        // leave out label.png and label.qoi under the root
constexpr int Q64_ROM_CAPTURE_METADATA = 8;  // keep a copy of the root's .info.mox

// Readers. Each fills a RAM folder through the file table and returns 0 when the whole
// cartridge was read, 1 when reading failed or stopped early (files already made stay).
// A folder whose reading failed is remembered: the writers refuse it, so a mount that did
// not read its cartridge whole never writes that cartridge back.
//
// .q64.rom image, pxa block or plain code in b from its cursor (left at the end). Entry
// names are taken under root ("" for the system ROM, whose names begin "system/"); folder
// names the RAM folder being filled in messages and in the failure note, and an entry that
// would land outside it is refused. With keep_existing files that already exist are left
// unchanged.
int populate_ram_folder_from_q64_rom_buffer_ex(const char* root, pbuffer* b, const char* folder,
                                               bool keep_existing);
// The same with root = folder = ram_path and keep_existing false.
int populate_ram_folder_from_q64_rom_buffer(pbuffer* b, const char* ram_path);
// Fills the ram folder root from a text cartridge (version 1 or 2).
int populate_ram_folder_from_q64_buffer(const char* root, pbuffer* b);
int populate_ram_folder_from_q64_buffer_v1(const char* root, pbuffer* b);
int populate_ram_folder_from_q64_buffer_v2(const char* root, pbuffer* b);
// True when b begins with a .q64.rom header whose packed size fits in b.
bool is_q64_rom_image(const pbuffer* b);
// Fills the ram folder root from an image cartridge: the .q64.rom image carried in the low bits
// of its picture, and, when the folder then has no label picture, the label the picture shows
// (when it shows one of its own), as label.png. An empty buffer is an empty cartridge.
int populate_ram_folder_from_q64_png_buffer(const char* root, pbuffer* b);

// Writers: append the text cartridge, the .q64.rom image or the image cartridge of the
// ram folder root to out. Nothing appended means the folder could not be written in that
// form (a name, count or size the readers would refuse, or a folder whose reading failed);
// the reason is printed.
// flags 0: base64 bodies; any other value: hex bodies.
void write_q64_from_ram_files(pbuffer* out, const char* root, int flags);
void write_q64_rom_from_ram_files(pbuffer* out, const char* root, int flags);
void write_q64_png_from_ram_files(pbuffer* out, const char* root);
// The copy of the root's ".info.mox" kept by the last .q64.rom write with
// Q64_ROM_CAPTURE_METADATA, for the label of an image cartridge; null when it had none.
const pbuffer* q64_rom_captured_metadata();

// Decodes the pxa block in (from its start) into out, which holds limit + 1 bytes: at most
// limit bytes are produced and the output is kept zero-terminated. Returns 0.
int pxa_decompress(const pbuffer* in, uint8_t* out, int64_t limit);
