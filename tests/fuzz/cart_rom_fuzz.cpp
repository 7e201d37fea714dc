// Fuzz target: the .q64.rom reader (which also takes pxa blocks and plain code) on arbitrary
// bytes. It must read to the end, make entries only under its folder, and leave a folder that
// writes and reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cart_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace cart_fuzz;
    fresh_file_table();
    const std::string root = "/ram/cart";
    auto before = ram_tree();
    pmkdir(root.c_str());
    pbuffer* b = buffer_of(data, size);
    int r = populate_ram_folder_from_q64_rom_buffer(b, root.c_str());
    if ((r != 0 && r != 1) || b->cursor != b->length) abort();
    destroy_buffer(b);
    check_stayed_inside(before, root);
    check_rom_round_trip(root);
    // What this input made is freed before the next one, so a leak shows as one.
    pfile_reset();
    return 0;
}
