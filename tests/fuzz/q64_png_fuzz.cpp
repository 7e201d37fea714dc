// Fuzz target: the image cartridge reader. An input whose first byte is even is the cartridge
// file itself; an odd one (one in 16 of them, see made_into_picture) carries its other bytes in
// the low bits of a 512 x 384 picture that is made here (bit 1 of the first byte gives the
// picture upper bits of its own, so that a label is taken back too). The reader must stay inside
// its folder and leave a folder that writes and reads back unchanged, and the bytes it finds in a
// picture must be exactly the ones put there.
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

uint8_t pic[Q64_PNG_PIXEL_BYTES];

// Fills pic: 512 x 384 RGBA pixels whose low bits (3, 3, 3, 2 a pixel) carry data, least
// significant bit first, and whose upper bits are a pattern of their own or zero.
void fill_picture(const uint8_t* data, size_t size, bool upper_bits) {
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
}

// pic encoded quickly (stored blocks, no filtering).
pbuffer* encode_picture() {
    LodePNGState state;
    lodepng_state_init(&state);
    state.encoder.auto_convert = 0;
    state.encoder.zlibsettings.btype = 0;
    state.encoder.filter_strategy = LFS_ZERO;
    unsigned char* png = nullptr;
    size_t png_size = 0;
    if (lodepng_encode(&png, &png_size, pic, Q64_PNG_WIDTH, Q64_PNG_HEIGHT, &state) != 0) abort();
    lodepng_state_cleanup(&state);
    pbuffer* out = cart_fuzz::buffer_of(png, png_size);
    free(png);
    return out;
}

// Encoding a whole picture for every input would cost most of the run: the picture of no data
// is encoded once (for each choice of upper bits), and an input's picture is that one with the
// rows that carry its data written over, in the first stored block, its zlib checksum moved on
// by what changed and its IDAT chunk's CRC made again.
constexpr size_t ROW_BYTES = size_t(Q64_PNG_WIDTH) * 4 + 1;  // a filter byte, then the pixels
constexpr size_t PATCHED_ROWS = 8;                           // 8 x 512 x 11 bits: 5,632 bytes
constexpr size_t PATCHABLE_BYTES = PATCHED_ROWS * Q64_PNG_WIDTH * 11 / 8;

struct picture_template {
    pbuffer* png = nullptr;
    size_t idat = 0;   // where the IDAT chunk starts
    size_t rows = 0;   // where the first row (its filter byte) starts
    size_t adler = 0;  // where the zlib checksum starts
};

picture_template make_template(bool upper_bits) {
    picture_template t;
    fill_picture(nullptr, 0, upper_bits);
    t.png = encode_picture();
    unsigned char* begin = t.png->data;
    unsigned char* end = begin + t.png->length;
    for (unsigned char* c = begin + 8; c + 12 <= end; c = lodepng_chunk_next(c, end)) {
        if (!lodepng_chunk_type_equals(c, "IDAT")) continue;
        const unsigned char* z = lodepng_chunk_data(c);
        const size_t n = lodepng_chunk_length(c);
        const size_t first_block = size_t(z[3] | z[4] << 8);
        // One IDAT chunk, one zlib stream whose first stored block holds the patched rows.
        if ((z[2] & 7) != 0 || first_block < PATCHED_ROWS * ROW_BYTES) abort();
        t.idat = size_t(c - begin);
        t.rows = t.idat + 8 + 7;
        t.adler = t.idat + 8 + n - 4;
        return t;
    }
    abort();
}

pbuffer* patched_picture(const picture_template& t, const uint8_t* data, size_t size, bool upper_bits);

// The templates, each checked once: a patched picture decodes to exactly the pixels it was made of.
const picture_template* templates() {
    static picture_template made[2] = {make_template(false), make_template(true)};
    static const bool checked = [] {
        uint8_t data[PATCHABLE_BYTES];
        for (size_t i = 0; i < sizeof data; i++) data[i] = uint8_t(i * 7 + i / 251);
        for (int upper = 0; upper < 2; upper++) {
            pbuffer* png = patched_picture(made[upper], data, sizeof data, upper);
            unsigned char* decoded = nullptr;
            unsigned w = 0, h = 0;
            if (lodepng_decode32(&decoded, &w, &h, png->data, size_t(png->length)) != 0) abort();
            if (w != unsigned(Q64_PNG_WIDTH) || h != unsigned(Q64_PNG_HEIGHT) || memcmp(decoded, pic, sizeof pic))
                abort();
            free(decoded);
            destroy_buffer(png);
        }
        return true;
    }();
    (void)checked;
    return made;
}

pbuffer* picture_png(const uint8_t* data, size_t size, bool upper_bits) {
    const picture_template* t = templates();
    if (size > PATCHABLE_BYTES) {
        fill_picture(data, size, upper_bits);
        return encode_picture();
    }
    return patched_picture(t[upper_bits], data, size, upper_bits);
}

pbuffer* patched_picture(const picture_template& t, const uint8_t* data, size_t size, bool upper_bits) {
    fill_picture(data, size, upper_bits);
    pbuffer* out = cart_fuzz::buffer_of(t.png->data, size_t(t.png->length));
    uint8_t* png = out->data;
    const uint8_t* z = png + t.adler;
    uint32_t a = uint32_t(z[2] << 8 | z[3]), b = uint32_t(z[0] << 8 | z[1]);
    const uint64_t n = uint64_t(ROW_BYTES) * Q64_PNG_HEIGHT;
    for (size_t r = 0; r < PATCHED_ROWS; r++) {
        for (size_t x = 0; x < ROW_BYTES - 1; x++) {
            const size_t i = r * ROW_BYTES + 1 + x;
            uint8_t& at = png[t.rows + i];
            const uint8_t now = pic[r * (ROW_BYTES - 1) + x];
            if (at == now) continue;
            const uint64_t d = (uint64_t(now) + 65521 - at) % 65521;
            a = uint32_t((a + d) % 65521);
            b = uint32_t((b + d * ((n - i) % 65521)) % 65521);
            at = now;
        }
    }
    uint8_t* w = png + t.adler;
    w[0] = uint8_t(b >> 8), w[1] = uint8_t(b), w[2] = uint8_t(a >> 8), w[3] = uint8_t(a);
    lodepng_chunk_generate_crc(png + t.idat);
    return out;
}

// Whether an input with an odd first byte is made into a picture: one in 16 of them, by a hash
// of the whole input, so that every mutation draws again. A made input costs the encoding and
// decoding of a whole picture, a hundred times what a plain file costs; the rest of the inputs
// with an odd first byte are read as plain files, as even ones are.
bool made_into_picture(const uint8_t* data, size_t size) {
    if (!(data[0] & 1)) return false;
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 16777619u;
    return (h >> 24 & 15) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace cart_fuzz;
    if (size == 0) return 0;
    fresh_file_table();
    const bool made = made_into_picture(data, size);
    pbuffer* b = made ? picture_png(data + 1, size - 1, data[0] & 2) : buffer_of(data + 1, size - 1);
    const std::string root = "/ram/cart";
    auto before = ram_tree();
    pmkdir(root.c_str());
    int r = populate_ram_folder_from_q64_png_buffer(root.c_str(), b);
    if (r != 0 && r != 1) abort();
    check_stayed_inside(before, root);
    check_rom_round_trip(root);
    if (made) {
        // The picture decodes to exactly these pixels (templates() checks that the patching
        // keeps it so), so the data is read from them without decoding the picture again.
        pbuffer* found = q64_png_picture_data(pic);
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
