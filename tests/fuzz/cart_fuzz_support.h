// Shared by the cartridge fuzz targets: a fresh file table with /ram mounted for each input,
// and the checks every reader must pass whatever it was given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "base/pbuffer.h"
#include "storage/cart.h"
#include "storage/pdisk.h"

namespace cart_fuzz {

inline std::string text(const pbuffer* b) {
    return b ? std::string(reinterpret_cast<const char*>(b->data), size_t(b->length)) : std::string();
}

// Empties the file table and mounts /ram again; the table is set up once per run.
inline void fresh_file_table() {
    static const bool ready = (pfile_init(), true);
    (void)ready;
    pfile_reset();
    if (mount_ram_folder("/ram") != 0) abort();
}

// A buffer holding the bytes with its cursor at 0.
inline pbuffer* buffer_of(const uint8_t* data, size_t size) {
    pbuffer* b = create_buffer_2(int64_t(size) + 1, 0);
    if (!b) abort();
    if (size > 0) bwrite(data, 1, int64_t(size), b);
    b->cursor = 0;
    return b;
}

// Every ram entry: name -> contents, folders as "<folder>".
inline std::map<std::string, std::string> ram_tree() {
    std::map<std::string, std::string> out;
    for (int32_t i = 0; i < num_pfiles; i++) {
        const ram_file* f = pfile[i];
        if (!f || f->kind != PFILE_RAM) continue;
        out[text(f->name)] = (f->flags & PFILE_FLAG_FOLDER) ? "<folder>" : text(f->contents);
    }
    return out;
}

// The entries under root, named relative to it.
inline std::map<std::string, std::string> tree_under(const std::string& root) {
    std::map<std::string, std::string> out;
    std::string prefix = root + "/";
    for (const auto& [name, contents] : ram_tree()) {
        if (name.compare(0, prefix.size(), prefix) == 0) out[name.substr(prefix.size())] = contents;
    }
    return out;
}

// A reader may only add entries under its root: the rest of the table is as it was.
inline void check_stayed_inside(const std::map<std::string, std::string>& before, const std::string& root) {
    std::string prefix = root + "/";
    std::map<std::string, std::string> outside;
    for (const auto& [name, contents] : ram_tree()) {
        if (name == root || name.compare(0, prefix.size(), prefix) == 0) continue;
        outside[name] = contents;
    }
    if (outside == before) return;
    for (const auto& [name, contents] : outside) {
        if (!before.count(name)) fprintf(stderr, "made outside %s: %s\n", root.c_str(), name.c_str());
    }
    for (const auto& [name, contents] : before) {
        if (!outside.count(name)) fprintf(stderr, "lost outside %s: %s\n", root.c_str(), name.c_str());
        else if (outside.at(name) != contents) fprintf(stderr, "changed outside %s: %s\n", root.c_str(), name.c_str());
    }
    abort();
}

// Whatever a reader made under root, the .q64.rom image written from it reads back the same.
inline void check_rom_round_trip(const std::string& root) {
    pbuffer* out = create_buffer_2(16, 0);
    write_q64_rom_from_ram_files(out, root.c_str(), 0);
    if (out->length > 0) {
        std::string again = root + "_again";
        pmkdir(again.c_str());
        out->cursor = 0;
        if (populate_ram_folder_from_q64_rom_buffer(out, again.c_str()) != 0) abort();
        auto made = tree_under(root);
        auto read_back = tree_under(again);
        if (read_back != made) {
            for (const auto& [name, contents] : made) {
                auto it = read_back.find(name);
                if (it == read_back.end()) fprintf(stderr, "not read back: %s\n", name.c_str());
                else if (it->second != contents) fprintf(stderr, "read back changed: %s\n", name.c_str());
            }
            for (const auto& [name, contents] : read_back) {
                if (!made.count(name)) fprintf(stderr, "read back but not made: %s\n", name.c_str());
            }
            abort();
        }
    }
    destroy_buffer(out);
}

}  // namespace cart_fuzz
