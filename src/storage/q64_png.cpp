// The image cartridge .q64.png: a picture of the cartridge (template, label picture and label
// text) whose low bits carry its .q64.rom image, written from and read back into ram folders.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gfx/draw_state.h"
#include "gfx/printer.h"
#include "gfx/system_font.h"
#include "kernel/memory.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "storage/cart.h"
#include "storage/image.h"
#include "storage/pdisk.h"
#include "userdata/userdata.h"

namespace {

constexpr int32_t Q64_PNG_BUFFER_TAG = 106;
constexpr char TEMPLATE_PATH[] = "/system/misc/q64_cart.png";
constexpr char TOO_LARGE[] = "failed to store cartridge rom as png (too large)";
constexpr int Q64_PNG_ROM_FLAGS = 28;  // leave out the label files, capture the metadata

// The label text: rows 0-9 drawn twice the size here, rows 10-19 as they are below.
constexpr int32_t LABEL_TEXT_X = 80;
constexpr int32_t LABEL_TEXT_Y = 326;
constexpr int32_t LABEL_SMALL_TEXT_Y = 354;
constexpr uint8_t LABEL_TITLE_UPPER = 0xD0;
constexpr uint8_t LABEL_TITLE_LOWER = 0x80;
constexpr uint8_t LABEL_SMALL_TEXT = 0x90;
constexpr uint8_t LABEL_PEN = 7;
constexpr int32_t VERSION_MAX = 199;
constexpr int32_t AUTHOR_MAX = 799;
// More bytes than could ever reach the right edge of the label: the rest is not printed.
constexpr int64_t LABEL_PRINT_MAX = 4096;

// Low bits that carry data: 3 in each of R, G and B, 2 in A; and the other bits of a pixel's
// four bytes read as one little-endian word.
constexpr uint8_t DATA_MASK[4] = {7, 7, 7, 3};
constexpr uint32_t PICTURE_MASK = 0xFCF8F8F8;
static_assert(std::endian::native == std::endian::little, "pixels are read as little-endian words");

// ---- the label drawing state -------------------------------------------------------------------

process_record label_proc;
alignas(16) uint8_t label_pages[INITIAL_PAGES][PAGE_SIZE];
struct {
    userdata_header header;
    uint8_t pixels[LABEL_TEXT_WIDTH * LABEL_TEXT_HEIGHT];
} label_array;
bool label_built = false;
bool label_made = false;

// Sets up the private drawing process once; the current process is label_proc meanwhile.
void build_label_process() {
    if (label_built) return;
    label_array.header.type = UTYPE_U8;
    label_array.header.dimensions = 2;
    label_array.header.width = LABEL_TEXT_WIDTH;
    label_array.header.height = LABEL_TEXT_HEIGHT;
    init_host_drawing_process(&label_proc, &label_pages[0][0], &label_array.header, system_palette, 64,
                              LABEL_TEXT_WIDTH, LABEL_TEXT_HEIGHT);
    label_built = true;
}

// Prints text with control codes removed, from x, y, in the label pen.
void print_label_line(const char* text, int64_t length, int64_t y) {
    static char plain[LABEL_PRINT_MAX];
    if (length > LABEL_PRINT_MAX) length = LABEL_PRINT_MAX;
    size_t n = strip_print_controls(text, size_t(length), plain);
    poke4(ADDR_PRINT_HOME_X, 0);
    poke4(ADDR_PRINT_CURSOR_X, 0);
    poke4(ADDR_PRINT_CURSOR_Y, y);
    print_t6scii(&label_array.header, plain, int64_t(n), 0, LABEL_PEN);
}

// ---- the picture ---------------------------------------------------------------------------------

// A ram file's contents, or null when there is no such file.
const pbuffer* ram_contents(const char* path) {
    const ram_file* f = find_ram_file(path);
    if (!f || (f->flags & PFILE_FLAG_FOLDER) || !f->contents) return nullptr;
    return f->contents;
}

// RGBA pixels of an image of exactly w x h (and channels, when not 0); null otherwise. The size
// is read from the header before anything is decoded.
uint8_t* decode_exact(const pbuffer* b, image_format format, uint32_t w, uint32_t h, uint32_t channels) {
    if (!b || b->length <= 0) return nullptr;
    image_header header;
    if (!inspect_image(b->data, b->length, format, &header)) return nullptr;
    if (header.width != w || header.height != h || (channels && header.channels != channels)) return nullptr;
    return decode_image_rgba(b->data, b->length, format, int64_t(w) * h, nullptr);
}

// The template picture when it is 512 x 384; else all zero. Null when memory runs out.
uint8_t* template_picture() {
    uint8_t* pic = nullptr;
    ram_file* f = pfopen(TEMPLATE_PATH, "r");
    if (f) {
        pic = decode_exact(f->contents, IMAGE_PNG, Q64_PNG_WIDTH, Q64_PNG_HEIGHT, 0);
        pfclose(f);
    }
    if (!pic) pic = static_cast<uint8_t*>(calloc(size_t(Q64_PNG_PIXEL_BYTES), 1));
    return pic;
}

// The label picture of the folder: label.png when it is 480 x 270, else (only without a
// label.png) label.qoi when it is 480 x 270 with 4 channels.
uint8_t* label_picture(const char* root) {
    char path[Q64_PATH_MAX + 16];
    snprintf(path, sizeof path, "%s/label.png", root);
    if (const pbuffer* png = ram_contents(path))
        return decode_exact(png, IMAGE_PNG, LABEL_PICTURE_WIDTH, LABEL_PICTURE_HEIGHT, 0);
    snprintf(path, sizeof path, "%s/label.qoi", root);
    return decode_exact(ram_contents(path), IMAGE_QOI, LABEL_PICTURE_WIDTH, LABEL_PICTURE_HEIGHT, 4);
}

uint8_t* pixel_at(uint8_t* pic, int64_t x, int64_t y) { return pic + (y * Q64_PNG_WIDTH + x) * 4; }

void set_pixel(uint8_t* pic, int64_t x, int64_t y, uint8_t grey) {
    uint8_t* p = pixel_at(pic, x, y);
    p[0] = p[1] = p[2] = grey;
    p[3] = 0xFF;
}

void draw_label_text(uint8_t* pic) {
    const uint8_t* bits = label_array.pixels;
    for (int32_t y = 0; y < LABEL_TEXT_HEIGHT; y++) {
        for (int32_t x = 0; x < LABEL_TEXT_WIDTH; x++) {
            if (!bits[y * LABEL_TEXT_WIDTH + x]) continue;
            if (y < LABEL_TEXT_HEIGHT / 2) {
                int64_t px = LABEL_TEXT_X + 2 * x, py = LABEL_TEXT_Y + 2 * y;
                set_pixel(pic, px, py, LABEL_TITLE_UPPER);
                set_pixel(pic, px + 1, py, LABEL_TITLE_UPPER);
                set_pixel(pic, px, py + 1, LABEL_TITLE_LOWER);
                set_pixel(pic, px + 1, py + 1, LABEL_TITLE_LOWER);
            } else {
                set_pixel(pic, LABEL_TEXT_X + x, LABEL_SMALL_TEXT_Y + y - LABEL_TEXT_HEIGHT / 2, LABEL_SMALL_TEXT);
            }
        }
    }
}

// Eight pixels carry 88 bits, exactly 11 data bytes: the picture is handled in such groups.
constexpr int64_t GROUP_PIXELS = 8;
constexpr int64_t GROUP_BYTES = 11;
constexpr int64_t GROUPS = int64_t(Q64_PNG_WIDTH) * Q64_PNG_HEIGHT / GROUP_PIXELS;
static_assert(GROUPS * GROUP_BYTES == Q64_PNG_DATA_BYTES, "the data fills whole groups");

// Replaces the low bits of every byte with the data (zeros after its end), 11 bits a pixel
// (3 in each of R, G and B, 2 in A), least significant first.
void embed_data(uint8_t* pic, const uint8_t* data, int64_t length) {
    for (int64_t g = 0; g < GROUPS; g++) {
        uint8_t chunk[GROUP_BYTES] = {};
        const int64_t at = g * GROUP_BYTES;
        if (at < length) memcpy(chunk, data + at, size_t(std::min(GROUP_BYTES, length - at)));
        unsigned __int128 bits = 0;
        for (int k = 0; k < GROUP_BYTES; k++) bits |= (unsigned __int128)chunk[k] << (8 * k);
        uint8_t* p = pic + g * GROUP_PIXELS * 4;
        for (int k = 0; k < GROUP_PIXELS; k++, p += 4, bits >>= 11) {
            const uint32_t v = uint32_t(bits);
            p[0] = uint8_t((p[0] & ~DATA_MASK[0]) | (v & 7));
            p[1] = uint8_t((p[1] & ~DATA_MASK[1]) | (v >> 3 & 7));
            p[2] = uint8_t((p[2] & ~DATA_MASK[2]) | (v >> 6 & 7));
            p[3] = uint8_t((p[3] & ~DATA_MASK[3]) | (v >> 9 & 3));
        }
    }
}

// The data carried in the low bits: the exact inverse of embed_data.
void extract_data(const uint8_t* pic, uint8_t* data) {
    for (int64_t g = 0; g < GROUPS; g++) {
        unsigned __int128 bits = 0;
        const uint8_t* p = pic + g * GROUP_PIXELS * 4;
        for (int k = 0; k < GROUP_PIXELS; k++, p += 4) {
            const uint32_t v = (p[0] & 7u) | (p[1] & 7u) << 3 | (p[2] & 7u) << 6 | (p[3] & 3u) << 9;
            bits |= (unsigned __int128)v << (11 * k);
        }
        for (int k = 0; k < GROUP_BYTES; k++) data[g * GROUP_BYTES + k] = uint8_t(bits >> (8 * k));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Label text

const char* extract_info_str(const char* text, int64_t length, const char* key, int64_t* out_length) {
    *out_length = 0;
    if (!text || length <= 0 || !key) return nullptr;
    char needle[80];
    int n = snprintf(needle, sizeof needle, ",%s=\"", key);
    if (n <= 0 || n >= int(sizeof needle)) return nullptr;
    const char* end = text + length;
    const char* at = static_cast<const char*>(memmem(text, size_t(length), needle, size_t(n)));
    if (!at) return nullptr;
    const char* value = at + n;
    for (const char* p = value; p < end; p++) {
        if (*p != '"' || (p > value && p[-1] == '\\')) continue;
        if (p == value) return nullptr;
        *out_length = p - value;
        return value;
    }
    return nullptr;
}

void extract_label_text(const char* metadata, int64_t length) {
    process_record* previous = cproc;
    cproc = &label_proc;
    build_label_process();
    memset(label_array.pixels, 0, sizeof label_array.pixels);
    refresh_clip_cache(&label_proc);

    int64_t title_length = 0, version_length = 0, author_length = 0;
    const char* title = extract_info_str(metadata, length, "title", &title_length);
    const char* version = extract_info_str(metadata, length, "version", &version_length);
    const char* author = extract_info_str(metadata, length, "author", &author_length);
    if (version && version_length > VERSION_MAX) version = nullptr;
    if (author && author_length > AUTHOR_MAX) author = nullptr;
    // The second line: the version, " by " and the author; or "by " and the author.
    char second[VERSION_MAX + AUTHOR_MAX + 8];
    int64_t second_length = 0;
    auto add = [&](const char* text, int64_t n) {
        memcpy(second + second_length, text, size_t(n));
        second_length += n;
    };
    if (version) add(version, version_length);
    if (author) {
        add(version ? " by " : "by ", version ? 4 : 3);
        add(author, author_length);
    }
    if (title) print_label_line(title, title_length, 2);
    print_label_line(second, second_length, 12);
    label_made = true;
    cproc = previous;
}

const uint8_t* label_text_bitmap() { return label_array.pixels; }

bool label_text_made() { return label_made; }

// ---------------------------------------------------------------------------
// Image cartridge

void write_q64_png_from_ram_files(pbuffer* out, const char* root_path) {
    if (!out || !root_path) return;
    char root[Q64_PATH_MAX];
    snprintf(root, sizeof root, "%s", root_path);
    for (size_t n = strlen(root); n > 0 && root[n - 1] == '/'; n--) root[n - 1] = 0;

    label_made = false;
    pbuffer* rom = create_buffer_2(64 * 1024, Q64_PNG_BUFFER_TAG);
    if (!rom) return;
    write_q64_rom_from_ram_files(rom, root, Q64_PNG_ROM_FLAGS);
    if (rom->length == 0) {  // refused; the writer said why
        destroy_buffer(rom);
        return;
    }
    if (rom->length >= Q64_PNG_ROM_LIMIT) {
        printf("** %s: %s\n", root, TOO_LARGE);
        notify(TOO_LARGE);
        destroy_buffer(rom);
        return;
    }
    if (const pbuffer* metadata = q64_rom_captured_metadata())
        extract_label_text(reinterpret_cast<const char*>(metadata->data), metadata->length);

    uint8_t* pic = template_picture();
    if (!pic) {
        destroy_buffer(rom);
        return;
    }
    if (uint8_t* label = label_picture(root)) {
        for (int32_t y = 0; y < LABEL_PICTURE_HEIGHT; y++)
            memcpy(pixel_at(pic, LABEL_PICTURE_X, LABEL_PICTURE_Y + y), label + size_t(y) * LABEL_PICTURE_WIDTH * 4,
                   size_t(LABEL_PICTURE_WIDTH) * 4);
        free(label);
    }
    if (label_made) draw_label_text(pic);
    embed_data(pic, rom->data, rom->length);
    destroy_buffer(rom);

    // The encoder appends the whole picture or nothing.
    if (LodePNG_encode32_pbuffer(pic, Q64_PNG_WIDTH, Q64_PNG_HEIGHT, out) != 0)
        printf("** %s: could not encode the cartridge picture\n", root);
    free(pic);
}

uint8_t* decode_q64_png_picture(const pbuffer* png) {
    return decode_exact(png, IMAGE_PNG, Q64_PNG_WIDTH, Q64_PNG_HEIGHT, 0);
}

pbuffer* q64_png_picture_data(const uint8_t* pic) {
    // The buffer holds the data bytes and its spare zero byte.
    pbuffer* data = create_buffer_2(Q64_PNG_DATA_BYTES, Q64_PNG_BUFFER_TAG);
    if (!data) return nullptr;
    extract_data(pic, data->data);
    data->length = int32_t(Q64_PNG_DATA_BYTES);
    data->cursor = 0;
    return data;
}

pbuffer* q64_png_picture_label(const uint8_t* pic) {
    uint8_t* plain = template_picture();
    uint8_t* label = static_cast<uint8_t*>(malloc(size_t(LABEL_PICTURE_WIDTH) * LABEL_PICTURE_HEIGHT * 4));
    uint32_t differs = 0;
    if (plain && label) {
        for (int32_t y = 0; y < LABEL_PICTURE_HEIGHT; y++) {
            const size_t from = (size_t(LABEL_PICTURE_Y + y) * Q64_PNG_WIDTH + LABEL_PICTURE_X) * 4;
            uint8_t* row = label + size_t(y) * LABEL_PICTURE_WIDTH * 4;
            for (int32_t x = 0; x < LABEL_PICTURE_WIDTH; x++) {
                uint32_t shown, bare;
                memcpy(&shown, pic + from + size_t(x) * 4, 4);
                memcpy(&bare, plain + from + size_t(x) * 4, 4);
                shown &= PICTURE_MASK;
                differs |= shown ^ (bare & PICTURE_MASK);
                memcpy(row + size_t(x) * 4, &shown, 4);
            }
        }
    }
    const bool own = differs != 0;
    pbuffer* out = nullptr;
    if (own) {
        out = create_buffer_2(64 * 1024, Q64_PNG_BUFFER_TAG);
        if (out && LodePNG_encode32_pbuffer(label, LABEL_PICTURE_WIDTH, LABEL_PICTURE_HEIGHT, out) != 0) {
            destroy_buffer(out);
            out = nullptr;
        }
        if (out) out->cursor = 0;
    }
    free(label);
    free(plain);
    return out;
}
