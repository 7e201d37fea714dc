// Fuzz target: the image cartridge reader. An input whose first byte is even is the cartridge
// file itself; an odd one carries its other bytes in the low bits of a 512 x 384 picture that
// is made here (bit 1 of the first byte gives the picture upper bits of its own, so that a label
// is taken back too). The reader must stay inside its folder and leave a folder that writes and
// reads back unchanged, and the bytes it finds in a picture must be exactly the ones put there.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <lodepng.h>
#include <string>

#include "cart_fuzz_support.h"
#include "storage/image.h"

namespace {

// A 512 x 384 RGBA picture whose low bits (3, 3, 3, 2 a pixel) carry data, least significant
// bit first, encoded quickly (stored blocks, no filtering).
std::string picture_png(const uint8_t* data, size_t size, bool upper_bits) {
    static uint8_t pic[Q64_PNG_PIXEL_BYTES];
    uint64_t bits = 0;
    int held = 0;
    size_t next = 0;
    for (size_t i = 0; i < sizeof pic; i += 4) {
        while (held < 11) {
            bits |= uint64_t(next < size ? data[next] : 0) << held;
            next++;
            held += 8;
        }
        uint8_t upper = upper_bits ? uint8_t(i * 131 + i / 2048) : 0;
        pic[i] = uint8_t(upper << 3 | (bits & 7));
        pic[i + 1] = uint8_t(upper << 3 | (bits >> 3 & 7));
        pic[i + 2] = uint8_t(upper << 3 | (bits >> 6 & 7));
        pic[i + 3] = uint8_t(upper << 2 | (bits >> 9 & 3));
        bits >>= 11;
        held -= 11;
    }
    LodePNGState state;
    lodepng_state_init(&state);
    state.encoder.auto_convert = 0;
    state.encoder.zlibsettings.btype = 0;
    state.encoder.filter_strategy = LFS_ZERO;
    unsigned char* png = nullptr;
    size_t png_size = 0;
    if (lodepng_encode(&png, &png_size, pic, Q64_PNG_WIDTH, Q64_PNG_HEIGHT, &state) != 0) abort();
    lodepng_state_cleanup(&state);
    std::string out(reinterpret_cast<char*>(png), png_size);
    free(png);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace cart_fuzz;
    if (size == 0) return 0;
    fresh_file_table();
    const bool made = data[0] & 1;
    const std::string file = made ? picture_png(data + 1, size - 1, data[0] & 2)
                                   : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string root = "/ram/cart";
    auto before = ram_tree();
    pmkdir(root.c_str());
    pbuffer* b = buffer_of(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    int r = populate_ram_folder_from_q64_png_buffer(root.c_str(), b);
    if (r != 0 && r != 1) abort();
    check_stayed_inside(before, root);
    check_rom_round_trip(root);
    if (made) {
        uint8_t* picture = decode_q64_png_picture(b);
        pbuffer* found = picture ? q64_png_picture_data(picture) : nullptr;
        free(picture);
        if (!found || found->length != Q64_PNG_DATA_BYTES) abort();
        size_t n = std::min(size - 1, size_t(Q64_PNG_DATA_BYTES));
        if (memcmp(found->data, data + 1, n) != 0) abort();
        for (int64_t i = int64_t(n); i < found->length; i++) {
            if (found->data[i] != 0) abort();
        }
        destroy_buffer(found);
    }
    destroy_buffer(b);
    pfile_reset();
    return 0;
}
