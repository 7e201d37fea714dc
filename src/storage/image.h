// Image adapters: PNG and QOI images in byte buffers, fetched images as typed arrays and arrays
// stored as images, and the image cartridge .q64.png with its label text.
#pragma once
#include <cstddef>
#include <cstdint>

struct lua_State;
struct pbuffer;
struct userdata_header;

// Largest picture decoded anywhere: a header announcing more pixels is refused before any
// decoding starts.
constexpr int64_t IMAGE_MAX_PIXELS = 0x1000000;
// A single codec call cannot stop midway, so a script's fetch or store of an image is refused
// above a size whose decoding or encoding would hold the machine for about 100 ms: more than
// SCRIPT_IMAGE_MAX_PIXELS pixels, or more than SCRIPT_IMAGE_MAX_BYTES bytes of encoded image.
constexpr int64_t SCRIPT_IMAGE_MAX_PIXELS = 512 * 512;
constexpr int64_t SCRIPT_IMAGE_MAX_BYTES = 8 << 20;
extern const char* const IMAGE_TOO_LARGE_MESSAGE;  // "image too large (more than 262144 pixels or 8 MB)"
// Cycles charged per pixel by the codec calls of fetch and store, by their host time.
constexpr int64_t PNG_DECODE_CYCLES_PER_PIXEL = 8;
constexpr int64_t PNG_ENCODE_CYCLES_PER_PIXEL = 16;
constexpr int64_t QOI_CYCLES_PER_PIXEL = 2;
// Result of an adapter whose image is larger than IMAGE_MAX_PIXELS (outside the codec's codes).
constexpr unsigned IMAGE_ERROR_TOO_LARGE = 1000;
// Result of an adapter given no buffer.
constexpr unsigned IMAGE_ERROR_NO_BUFFER = 100;

// The image cartridge: a 512 x 384 RGBA picture whose low bits carry a .q64.rom image.
constexpr int32_t Q64_PNG_WIDTH = 512;
constexpr int32_t Q64_PNG_HEIGHT = 384;
constexpr int64_t Q64_PNG_PIXEL_BYTES = int64_t(Q64_PNG_WIDTH) * Q64_PNG_HEIGHT * 4;
constexpr int64_t Q64_PNG_DATA_BYTES = int64_t(Q64_PNG_WIDTH) * Q64_PNG_HEIGHT * 11 / 8;  // 270,336
constexpr int64_t Q64_PNG_ROM_LIMIT = 0x40000;  // a .q64.rom image must be smaller
// The label picture and where it lies in the cartridge picture.
constexpr int32_t LABEL_PICTURE_WIDTH = 480;
constexpr int32_t LABEL_PICTURE_HEIGHT = 270;
constexpr int32_t LABEL_PICTURE_X = 16;
constexpr int32_t LABEL_PICTURE_Y = 38;
// The label text bitmap.
constexpr int32_t LABEL_TEXT_WIDTH = 178;
constexpr int32_t LABEL_TEXT_HEIGHT = 20;

// ---- PNG adapters (the results are the codec's error codes, 0 for success) ----

// Decodes the PNG in b (from its start; its cursor is set to 0) into a new pixel array of the
// colour type and bit depth, which the caller frees with free(). The header is inspected first:
// a picture of more than IMAGE_MAX_PIXELS pixels is refused without decoding.
unsigned LodePNG_decode_pbuffer(unsigned char** out, unsigned* w, unsigned* h, pbuffer* b, int colour_type,
                                unsigned bit_depth);
// The same as RGBA, 8 bits per channel.
unsigned LodePNG_decode32_pbuffer(unsigned char** out, unsigned* w, unsigned* h, pbuffer* b);
// Encodes the pixels (of the colour type and bit depth, written as they are) into a PNG in
// *out (malloc'd; free() it) of *size bytes. Touches no shared state, so any thread may call it.
unsigned encode_png(const unsigned char* image, unsigned w, unsigned h, int colour_type, unsigned bit_depth,
                    unsigned char** out, size_t* size);
// Encodes the pixels (of the colour type and bit depth, written as they are) and appends the
// PNG to b at its cursor.
unsigned LodePNG_encode_pbuffer(const unsigned char* image, unsigned w, unsigned h, int colour_type,
                                unsigned bit_depth, pbuffer* b);
unsigned LodePNG_encode32_pbuffer(const unsigned char* image, unsigned w, unsigned h, pbuffer* b);

// ---- Inspecting and decoding ----

enum image_format { IMAGE_PNG = 1, IMAGE_QOI = 2 };

struct image_header {
    uint32_t width, height;
    uint32_t channels;  // 3 or 4 for QOI; for PNG what the file holds (1 to 4)
};

// Width x height without overflow (a QOI header may give 2^32 - 1 for each).
inline uint64_t image_pixels(const image_header& h) { return uint64_t(h.width) * h.height; }

// Reads the size from the header alone; false when the bytes are not a well-formed header of
// that format.
bool inspect_image(const uint8_t* data, int64_t length, image_format format, image_header* out);
// Decodes to RGBA, 8 bits per channel, into a new array (free() it); null when the bytes do not
// decode or the picture has more than max_pixels pixels, which is found from the header.
uint8_t* decode_image_rgba(const uint8_t* data, int64_t length, image_format format, int64_t max_pixels,
                           image_header* out);

// ---- Typed arrays ----

// Pushes the image held in fetched bytes as a new two-dimensional typed array: with bit 0 of
// flags an i32 array of A << 24 | R << 16 | G << 8 | B, else a u8 array of the indices of the
// nearest colours of the current process's palette. Charges the codec's work by the pixels.
// Returns 1, or 0 with nothing pushed when the bytes are no image of the extension ("png",
// "t6.png", "qoi") or the array could not be made, or -1 with nothing pushed when the image
// is past the script limits (SCRIPT_IMAGE_MAX_PIXELS, SCRIPT_IMAGE_MAX_BYTES). The array is made before anything is
// decoded, so a memory error raised by the state leaves nothing behind.
int push_fetched_image(lua_State* L, const uint8_t* data, int64_t length, const char* ext, int flags);
// The file bytes of an array stored as an image: a QOI image (4 channels, linear) when qoi is
// set, else an RGBA PNG. The array must be two-dimensional, u8 (colours of the current
// process's palette) or i32 (written as R, G, B, A, so that a fetch with flag 1 gives the same
// values back). Charges the codec's work by the pixels. A new buffer, or null when the array is
// of another kind or the image could not be made; *too_large is set (and nothing is encoded)
// when the array has more than SCRIPT_IMAGE_MAX_PIXELS pixels.
pbuffer* encode_array_as_image(const userdata_header* array, bool qoi, bool* too_large);

// ---- Image cartridge and label ----

// Draws the label text of a cartridge from its metadata text (title, version and author) into
// the label bitmap and notes that a label was made.
void extract_label_text(const char* metadata, int64_t length);
// The value after ",<key>=\"" in the metadata up to the next double quote that no backslash
// precedes; null (and *out_length 0) when absent, empty or unterminated.
const char* extract_info_str(const char* text, int64_t length, const char* key, int64_t* out_length);
// The label bitmap (LABEL_TEXT_WIDTH x LABEL_TEXT_HEIGHT) and whether a label was made since
// the last image cartridge began.
const uint8_t* label_text_bitmap();
bool label_text_made();

// The RGBA pixels of an image cartridge picture (free() them), or null when the bytes are not a
// 512 x 384 PNG; the size is read from the header before anything is decoded.
uint8_t* decode_q64_png_picture(const pbuffer* png);
// The bytes carried in the low bits of a cartridge picture: Q64_PNG_DATA_BYTES of them in a new
// buffer (null when memory runs out).
pbuffer* q64_png_picture_data(const uint8_t* picture);
// The label picture (LABEL_PICTURE_WIDTH x LABEL_PICTURE_HEIGHT) that a cartridge picture shows,
// without the data bits, as a PNG in a new buffer; null when the picture shows no label of its
// own there (the label area is what the template alone gives).
pbuffer* q64_png_picture_label(const uint8_t* picture);
