// Image adapters: PNG (through LodePNG) and QOI (through the reference codec) in byte buffers,
// images fetched into typed arrays and typed arrays stored as images.
#include "storage/image.h"

#include <cstdlib>
#include <cstring>

#include <lodepng.h>
#define QOI_IMPLEMENTATION
#include <qoi.h>

#include "gfx/sprites.h"
#include "base/pbuffer.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

namespace {

constexpr int32_t IMAGE_BUFFER_TAG = 106;
constexpr int64_t QOI_HEADER_BYTES = 14;
constexpr int64_t QOI_END_BYTES = 8;

// Codec code for a failed allocation.
constexpr unsigned PNG_ERROR_MEMORY = 83;

uint32_t big_endian_32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool inspect_qoi(const uint8_t* data, int64_t length, image_header* out) {
    if (!data || length < QOI_HEADER_BYTES + QOI_END_BYTES || memcmp(data, "qoif", 4) != 0) return false;
    uint32_t w = big_endian_32(data + 4), h = big_endian_32(data + 8);
    uint8_t channels = data[12], colour_space = data[13];
    if (w == 0 || h == 0 || (channels != 3 && channels != 4) || colour_space > 1) return false;
    *out = {w, h, channels};
    return true;
}

// Decodes PNG bytes with the header checked first; the codec's result.
unsigned decode_png(const uint8_t* data, size_t length, LodePNGColorType colour_type, unsigned bit_depth,
                    int64_t max_pixels, unsigned char** out, unsigned* w, unsigned* h) {
    *out = nullptr;
    *w = *h = 0;
    LodePNGState state;
    lodepng_state_init(&state);
    unsigned error = lodepng_inspect(w, h, &state, data, length);
    if (!error && uint64_t(*w) * *h > uint64_t(max_pixels)) error = IMAGE_ERROR_TOO_LARGE;
    if (!error) {
        state.info_raw.colortype = colour_type;
        state.info_raw.bitdepth = bit_depth;
        state.decoder.read_text_chunks = 0;
        state.decoder.remember_unknown_chunks = 0;
        // The pixel data can never inflate to more than this, filter bytes and interlacing
        // included: a stream that tries is cut off instead of filling memory.
        size_t raw = lodepng_get_raw_size(*w, *h, &state.info_png.color);
        state.decoder.zlibsettings.max_output_size = raw + raw / 2 + 16 * (size_t(*w) + size_t(*h)) + 4096;
        error = lodepng_decode(out, w, h, &state, data, length);
    }
    lodepng_state_cleanup(&state);
    if (error) {
        free(*out);
        *out = nullptr;
    }
    return error;
}

bool is_png_ext(const char* ext) { return !strcmp(ext, "png") || !strcmp(ext, "t6.png"); }

// Palette indices of RGBA pixels (which are used up). Each run of one colour is looked up once:
// out first marks where runs start, the first pixel of every run is moved down over pixels
// already passed, and those are converted in one call and spread over their runs.
void nearest_colours(uint8_t* rgba, uint8_t* out, int64_t pixels) {
    uint8_t* found = static_cast<uint8_t*>(malloc(size_t(pixels)));
    if (!found) {
        convert_bitmap_32_to_8(rgba, out, pixels);
        return;
    }
    auto same_as_previous = [&](int64_t i) { return i > 0 && memcmp(rgba + i * 4, rgba + i * 4 - 4, 3) == 0; };
    int64_t runs = 0;
    for (int64_t i = 0; i < pixels; i++) {
        // Pixel i - 1 is still in place: only slots below the run count have been written.
        out[i] = !same_as_previous(i);
        if (out[i]) memmove(rgba + runs++ * 4, rgba + i * 4, 4);
    }
    convert_bitmap_32_to_8(rgba, found, runs);
    for (int64_t i = 0, run = -1; i < pixels; i++) {
        run += out[i];
        out[i] = found[run];
    }
    free(found);
}

}  // namespace

// ---------------------------------------------------------------------------
// PNG adapters

unsigned LodePNG_decode_pbuffer(unsigned char** out, unsigned* w, unsigned* h, pbuffer* b, int colour_type,
                                unsigned bit_depth) {
    *out = nullptr;
    *w = *h = 0;
    if (!b) return IMAGE_ERROR_NO_BUFFER;
    b->cursor = 0;
    size_t length = b->data && b->length > 0 ? size_t(b->length) : 0;
    return decode_png(b->data, length, LodePNGColorType(colour_type), bit_depth, IMAGE_MAX_PIXELS, out, w, h);
}

unsigned LodePNG_decode32_pbuffer(unsigned char** out, unsigned* w, unsigned* h, pbuffer* b) {
    return LodePNG_decode_pbuffer(out, w, h, b, LCT_RGBA, 8);
}

unsigned encode_png(const unsigned char* image, unsigned w, unsigned h, int colour_type, unsigned bit_depth,
                    unsigned char** out, size_t* size) {
    LodePNGState state;
    lodepng_state_init(&state);
    state.info_raw.colortype = LodePNGColorType(colour_type);
    state.info_raw.bitdepth = bit_depth;
    state.info_png.color.colortype = LodePNGColorType(colour_type);
    state.info_png.color.bitdepth = bit_depth;
    state.encoder.auto_convert = 0;
    *out = nullptr;
    *size = 0;
    unsigned error = lodepng_encode(out, size, image, w, h, &state);
    lodepng_state_cleanup(&state);
    if (error) {
        free(*out);
        *out = nullptr;
        *size = 0;
    }
    return error;
}

unsigned LodePNG_encode_pbuffer(const unsigned char* image, unsigned w, unsigned h, int colour_type,
                                unsigned bit_depth, pbuffer* b) {
    if (!b) return IMAGE_ERROR_NO_BUFFER;
    unsigned char* png = nullptr;
    size_t size = 0;
    unsigned error = encode_png(image, w, h, colour_type, bit_depth, &png, &size);
    if (!error && (size > size_t(PBUFFER_MAX_LENGTH - b->cursor) || bwrite(png, 1, int64_t(size), b) != int32_t(size)))
        error = PNG_ERROR_MEMORY;
    free(png);
    return error;
}

unsigned LodePNG_encode32_pbuffer(const unsigned char* image, unsigned w, unsigned h, pbuffer* b) {
    return LodePNG_encode_pbuffer(image, w, h, LCT_RGBA, 8, b);
}

// ---------------------------------------------------------------------------
// Inspecting and decoding

bool inspect_image(const uint8_t* data, int64_t length, image_format format, image_header* out) {
    if (!data || length <= 0) return false;
    if (format == IMAGE_QOI) return inspect_qoi(data, length, out);
    unsigned w = 0, h = 0;
    LodePNGState state;
    lodepng_state_init(&state);
    unsigned error = lodepng_inspect(&w, &h, &state, data, size_t(length));
    unsigned channels = lodepng_get_channels(&state.info_png.color);
    lodepng_state_cleanup(&state);
    if (error) return false;
    *out = {w, h, channels};
    return true;
}

uint8_t* decode_image_rgba(const uint8_t* data, int64_t length, image_format format, int64_t max_pixels,
                           image_header* out) {
    image_header header;
    if (!inspect_image(data, length, format, &header)) return nullptr;
    if (image_pixels(header) > uint64_t(max_pixels)) return nullptr;
    uint8_t* pixels = nullptr;
    if (format == IMAGE_QOI) {
        if (length > INT32_MAX) return nullptr;
        qoi_desc desc;
        pixels = static_cast<uint8_t*>(qoi_decode(data, int(length), &desc, 4));
    } else {
        unsigned w = 0, h = 0;
        decode_png(data, size_t(length), LCT_RGBA, 8, max_pixels, &pixels, &w, &h);
    }
    if (pixels && out) *out = header;
    return pixels;
}

// ---------------------------------------------------------------------------
// Typed arrays

const char* const IMAGE_TOO_LARGE_MESSAGE = "image too large (more than 262144 pixels or 8 MB)";

int push_fetched_image(lua_State* L, const uint8_t* data, int64_t length, const char* ext, int flags) {
    image_format format;
    if (is_png_ext(ext)) {
        if (length < 5 || memcmp(data + 1, "PNG", 3) != 0) return 0;
        format = IMAGE_PNG;
    } else if (!strcmp(ext, "qoi")) {
        format = IMAGE_QOI;
    } else {
        return 0;
    }
    image_header header;
    if (!inspect_image(data, length, format, &header)) return 0;
    const bool wide = (flags & 1) != 0;
    if (image_pixels(header) > uint64_t(SCRIPT_IMAGE_MAX_PIXELS) || length > SCRIPT_IMAGE_MAX_BYTES) return -1;
    const int64_t pixels = int64_t(image_pixels(header));
    if (pixels * (wide ? 4 : 1) > USERDATA_MAX_BYTES) return 0;
    // Made first: this is the one call that can raise, and nothing is held yet.
    userdata_header* array = create_userdata_of_type(L, wide ? UTYPE_I32 : UTYPE_U8, 2, header.width, header.height);
    if (!array) return 0;
    image_header decoded;
    uint8_t* rgba = decode_image_rgba(data, length, format, IMAGE_MAX_PIXELS, &decoded);
    if (!rgba || decoded.width != header.width || decoded.height != header.height) {
        free(rgba);
        lua_pop(L, 1);
        return 0;
    }
    spend_cpu(pixels * (format == IMAGE_QOI ? QOI_CYCLES_PER_PIXEL : PNG_DECODE_CYCLES_PER_PIXEL));
    if (wide) {
        int32_t* out = userdata_elements<int32_t>(array);
        for (int64_t i = 0; i < pixels; i++) {
            const uint8_t* p = rgba + i * 4;
            out[i] = int32_t(uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | uint32_t(p[2]));
        }
    } else {
        nearest_colours(rgba, userdata_data(array), pixels);
    }
    free(rgba);
    return 1;
}

pbuffer* encode_array_as_image(const userdata_header* array, bool qoi, bool* too_large) {
    *too_large = false;
    if (!array || array->dimensions != 2) return nullptr;
    const int type = array->type & 31;
    if (type != UTYPE_U8 && type != UTYPE_I32) return nullptr;
    const int64_t pixels = userdata_count(array);
    if (pixels < 1) return nullptr;
    if (pixels > SCRIPT_IMAGE_MAX_PIXELS) {
        *too_large = true;
        return nullptr;
    }
    uint8_t* rgba = static_cast<uint8_t*>(malloc(size_t(pixels) * 4));
    if (!rgba) return nullptr;
    if (type == UTYPE_U8) {
        convert_bitmap_8_to_32(userdata_data(array), rgba, pixels);
    } else {
        const int32_t* in = reinterpret_cast<const int32_t*>(userdata_data(array));
        for (int64_t i = 0; i < pixels; i++) {
            uint32_t v = uint32_t(in[i]);
            uint8_t* p = rgba + i * 4;
            p[0] = uint8_t(v >> 16);
            p[1] = uint8_t(v >> 8);
            p[2] = uint8_t(v);
            p[3] = uint8_t(v >> 24);
        }
    }
    spend_cpu(pixels * (qoi ? QOI_CYCLES_PER_PIXEL : PNG_ENCODE_CYCLES_PER_PIXEL));
    pbuffer* out = nullptr;
    if (qoi) {
        qoi_desc desc{array->width, array->height, 4, QOI_LINEAR};
        int length = 0;
        void* encoded = qoi_encode(rgba, &desc, &length);
        if (encoded && length > 0) {
            out = create_buffer_2(length, IMAGE_BUFFER_TAG);
            if (out && bwrite(encoded, 1, length, out) != length) {
                destroy_buffer(out);
                out = nullptr;
            }
        }
        free(encoded);
    } else {
        out = create_buffer_2(4096, IMAGE_BUFFER_TAG);
        if (out && LodePNG_encode32_pbuffer(rgba, array->width, array->height, out) != 0) {
            destroy_buffer(out);
            out = nullptr;
        }
    }
    free(rgba);
    return out;
}
