// Captures: screenshots and the label taken from the finished frame, GIF recordings kept in
// memory frame by frame and written at their end, and the raw audio capture the audio
// callback appends to.
#include "storage/capture.h"

#include <gif_lib.h>
#include <qoi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gfx/video.h"
#include "base/machine.h"
#include "base/memmap.h"
#include "kernel/memory.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "platform/audio_device.h"
#include "storage/image.h"
#include "storage/pdisk.h"

int64_t gif_memory_limit = GIF_MEMORY_LIMIT_DEFAULT;
int64_t audio_capture_limit = AUDIO_CAPTURE_MAX_BYTES;

namespace {

constexpr int SCREEN_PIXELS = VIDEO_WIDTH * VIDEO_HEIGHT;
constexpr int32_t BUFFER_TAG_SCREENSHOT = 106;
// What a colour map or the extension blocks of a frame cost beside its raster, roughly.
constexpr int64_t GIF_MAP_BYTES = 256 * sizeof(GifColorType) + sizeof(ColorMapObject);
constexpr int64_t GIF_EXTENSION_BYTES = 3 * sizeof(ExtensionBlock) + 32;
constexpr const char* SCREENSHOT_FAILED = "could not store screenshot";

struct capture_box {
    int32_t x, y, width, height, scale;
};

struct capture_state {
    capture_box shot;
    int32_t shot_label, shot_delay, shot_silent;
    char shot_name[CAPTURE_NAME_MAX + 1];

    capture_box gif;
    int32_t gif_width, gif_height;  // the box times its scale
    int32_t gif_delay, gif_silent;
    char gif_name[CAPTURE_NAME_MAX + 1];
    char gif_path[CAPTURE_PATH_MAX];
    GifFileType* gif_file;          // open from the start to the end of a recording
    ColorMapObject* gif_global_map; // the first frame's colours
    int32_t frame_count;
    bool has_previous;
    uint8_t previous_screen[SCREEN_PIXELS];
    uint32_t first_palette[256];
    uint32_t previous_palette[256];
    uint32_t previous_lines[VIDEO_HEIGHT];
};

capture_state capture;
uint8_t current_screen[SCREEN_PIXELS];

// ---- GIF arena: every raster of a recording, freed together at its end ----------------------

struct arena_block {
    void* block;
    size_t size;
};
arena_block arena[GIF_ARENA_BLOCKS];
int32_t arena_count = 0;
int64_t arena_bytes = 0;  // rasters, plus what the library holds for each frame

// Zeroed memory recorded in the arena; null when the table is full or memory runs out.
void* gif_malloc(size_t n) {
    if (arena_count >= GIF_ARENA_BLOCKS) return nullptr;
    void* p = calloc(n ? n : 1, 1);
    if (!p) return nullptr;
    arena[arena_count++] = {p, n};
    arena_bytes += int64_t(n);
    return p;
}

void gif_free_all() {
    for (int32_t i = 0; i < arena_count; i++) free(arena[i].block);
    arena_count = 0;
    arena_bytes = 0;
}

// ---- Request blocks -------------------------------------------------------------------------

int32_t clamp32(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : v > hi ? hi : v; }

capture_box read_box(uint32_t base) {
    capture_box b;
    b.width = clamp32(peek2(base + 4), CAPTURE_MIN_SIZE, VIDEO_WIDTH);
    b.height = clamp32(peek2(base + 6), CAPTURE_MIN_SIZE, VIDEO_HEIGHT);
    b.x = clamp32(peek2(base), 0, VIDEO_WIDTH - b.width);
    b.y = clamp32(peek2(base + 2), 0, VIDEO_HEIGHT - b.height);
    int32_t scale = peek2(base + 8);
    b.scale = scale < 1 ? 1 : scale > 3 ? 4 : scale;
    return b;
}

int32_t read_delay(uint32_t a) { return clamp32(peek2(a), 0, CAPTURE_MAX_DELAY); }
int32_t read_flag(uint32_t a) { return peek2(a) > 0 ? 1 : 0; }

// The caller's capture name, cleaned; fallback when nothing is left of it.
void read_name(char* out, const char* fallback) {
    uint8_t bytes[CAPTURE_NAME_MAX];
    for (int i = 0; i < CAPTURE_NAME_MAX; i++) bytes[i] = peek(ADDR_CAPTURE_NAME + i);
    if (clean_capture_name(bytes, out) == 0) snprintf(out, CAPTURE_NAME_MAX + 1, "%s", fallback);
}

// The whole shown screen at scale 1: with the video mode's enlargement it fills 480 x 270.
capture_box label_box() {
    int vs = video_mode_scale();
    return {0, 0, VIDEO_WIDTH / vs, VIDEO_HEIGHT / vs, 1};
}

// ---- Screenshots ----------------------------------------------------------------------------

void store_label(const uint8_t* rgba) {
    qoi_desc desc{uint32_t(VIDEO_WIDTH), uint32_t(VIDEO_HEIGHT), 4, QOI_LINEAR};
    int length = 0;
    void* encoded = qoi_encode(rgba, &desc, &length);
    bool stored = false;
    if (encoded && length > 0) {
        ram_file* f = pfopen(LABEL_CAPTURE_PATH, "w");
        if (f) stored = pfwrite(encoded, 1, length, f) == length && pfclose(f) == 0;
    }
    free(encoded);
    notify(stored ? "captured label (/ram/cart/label.qoi)" : SCREENSHOT_FAILED);
}

void store_png(const uint8_t* rgba, int64_t w, int64_t h, int s) {
    char path[CAPTURE_PATH_MAX];
    if (!get_capture_filename(capture.shot_name, ".png", path, sizeof path)) {
        notify(SCREENSHOT_FAILED);
        return;
    }
    pbuffer* png = create_buffer_2(4096, BUFFER_TAG_SCREENSHOT);
    bool stored = false;
    if (png && LodePNG_encode32_pbuffer(rgba, unsigned(w), unsigned(h), png) == 0) {
        ram_file* f = pfopen(path, "wb");
        if (f) {
            bool written = pfwrite(png->data, 1, png->length, f) == png->length;
            stored = pfclose(f) == 0 && written;
        }
    }
    destroy_buffer(png);
    if (!stored) {
        notify(SCREENSHOT_FAILED);
    } else if (!capture.shot_silent) {
        char text[CAPTURE_PATH_MAX + 64];
        snprintf(text, sizeof text, "captured %dx%d (x%d) screenshot: %s", capture.shot.width, capture.shot.height, s,
                 path);
        notify(text);
    }
}

// Takes the finished frame (before any enlargement): each box pixel becomes s x s pixels,
// s being the video mode's enlargement times the requested scale.
void capture_screenshot(const uint32_t* frame) {
    // The label always covers the whole shown screen, in the video mode of this frame.
    if (capture.shot_label) capture.shot = label_box();
    const capture_box& box = capture.shot;
    const int s = video_mode_scale() * box.scale;
    const int64_t w = int64_t(box.width) * s, h = int64_t(box.height) * s;
    uint8_t* rgba = static_cast<uint8_t*>(malloc(size_t(w * h * 4)));
    if (!rgba) {
        notify(SCREENSHOT_FAILED);
        return;
    }
    uint8_t* out = rgba;
    for (int64_t r = 0; r < h; r++) {
        const uint32_t* src = frame + (box.y + r / s) * VIDEO_WIDTH + box.x;
        for (int64_t c = 0; c < w; c++, out += 4) {
            uint32_t v = src[c / s];
            out[0] = uint8_t(v >> 16);
            out[1] = uint8_t(v >> 8);
            out[2] = uint8_t(v);
            out[3] = 255;
        }
    }
    if (capture.shot_label) store_label(rgba);
    else store_png(rgba, w, h, s);
    free(rgba);
}

// ---- GIF recording --------------------------------------------------------------------------

ColorMapObject* make_map(const uint32_t* palette) {
    GifColorType colours[256];
    for (int i = 0; i < 256; i++) {
        colours[i].Red = uint8_t(palette[i] >> 16);
        colours[i].Green = uint8_t(palette[i] >> 8);
        colours[i].Blue = uint8_t(palette[i]);
    }
    return GifMakeMapObject(256, colours);
}

// Fills the raster from the screen just read: each pixel is its line's palette times 64 plus
// its colour. Returns true when some pixel needs index 255 (palette 3, colour 63).
bool fill_raster(uint8_t* raster, const uint32_t* lines) {
    const capture_box& b = capture.gif;
    const int32_t w = capture.gif_width, h = capture.gif_height, sc = b.scale;
    for (int32_t r = 0; r < h; r++) {
        uint8_t* row = raster + int64_t(r) * w;
        if (r % sc) {
            memcpy(row, row - w, size_t(w));
            continue;
        }
        const int32_t sy = b.y + r / sc;
        const uint8_t base = uint8_t(lines[sy] * 64);
        const uint8_t* src = current_screen + sy * VIDEO_WIDTH + b.x;
        for (int32_t c = 0; c < w; c++) row[c] = uint8_t(base + (src[c / sc] & 63));
    }
    return memchr(raster, GIF_UNCHANGED_INDEX, size_t(int64_t(w) * h)) != nullptr;
}

// Marks with index 255 every pixel whose colour is the one the previous frame showed there;
// true when any was marked.
bool mark_unchanged(uint8_t* raster, const uint32_t* palette) {
    const capture_box& b = capture.gif;
    const int32_t w = capture.gif_width, h = capture.gif_height, sc = b.scale;
    bool marked = false;
    for (int32_t r = 0; r < h; r++) {
        uint8_t* row = raster + int64_t(r) * w;
        const int32_t sy = b.y + r / sc;
        const uint32_t* old_palette = capture.previous_palette + capture.previous_lines[sy] * 64;
        const uint8_t* old = capture.previous_screen + sy * VIDEO_WIDTH + b.x;
        for (int32_t c = 0; c < w; c++) {
            if (palette[row[c]] == old_palette[old[c / sc] & 63]) {
                row[c] = GIF_UNCHANGED_INDEX;
                marked = true;
            }
        }
    }
    return marked;
}

// Adds one frame; false when it could not be kept (a limit was reached or memory ran out).
bool gif_frame(const uint32_t* palette, const uint32_t* lines) {
    process_record* wm = get_process(3);
    if (!wm) return true;  // nothing to record this frame
    read_process_space(wm, ADDR_SCREEN, current_screen, SCREEN_PIXELS, 0);

    const bool first = capture.frame_count == 0;
    const bool own_map = !first && memcmp(palette, capture.first_palette, sizeof capture.first_palette) != 0;
    const int64_t raster_bytes = int64_t(capture.gif_width) * capture.gif_height;
    const int64_t frame_bytes = raster_bytes + GIF_EXTENSION_BYTES + (first || own_map ? GIF_MAP_BYTES : 0);
    if (arena_bytes + frame_bytes > gif_memory_limit) return false;
    uint8_t* raster = static_cast<uint8_t*>(gif_malloc(size_t(raster_bytes)));
    if (!raster) return false;
    arena_bytes += frame_bytes - raster_bytes;

    const bool needs_last_index = fill_raster(raster, lines);
    const bool marked = capture.has_previous && !needs_last_index && mark_unchanged(raster, palette);

    ColorMapObject* map = nullptr;
    if (first || own_map) {
        map = make_map(palette);
        if (!map) return false;
    }
    SavedImage* image = GifMakeSavedImage(capture.gif_file, nullptr);
    if (!image) {
        GifFreeMapObject(map);
        return false;
    }
    if (first) capture.gif_global_map = map;
    image->ImageDesc.Left = 0;
    image->ImageDesc.Top = 0;
    image->ImageDesc.Width = capture.gif_width;
    image->ImageDesc.Height = capture.gif_height;
    image->ImageDesc.Interlace = false;
    image->ImageDesc.ColorMap = own_map ? map : nullptr;
    image->RasterBits = raster;

    bool ok = true;
    if (first) {
        static const uint8_t loop_forever[3] = {1, 0, 0};
        ok = GifAddExtensionBlock(&image->ExtensionBlockCount, &image->ExtensionBlocks, APPLICATION_EXT_FUNC_CODE,
                                  11, (unsigned char*)"NETSCAPE2.0") == GIF_OK &&
             GifAddExtensionBlock(&image->ExtensionBlockCount, &image->ExtensionBlocks, CONTINUE_EXT_FUNC_CODE, 3,
                                  (unsigned char*)loop_forever) == GIF_OK;
    }
    uint8_t control[4] = {uint8_t(marked ? 1 : 0), GIF_FRAME_DELAY, 0, GIF_UNCHANGED_INDEX};
    ok = ok && GifAddExtensionBlock(&image->ExtensionBlockCount, &image->ExtensionBlocks, GRAPHICS_EXT_FUNC_CODE, 4,
                                    control) == GIF_OK;
    if (!ok) return false;

    if (first) memcpy(capture.first_palette, palette, sizeof capture.first_palette);
    memcpy(capture.previous_screen, current_screen, sizeof capture.previous_screen);
    memcpy(capture.previous_palette, palette, sizeof capture.previous_palette);
    memcpy(capture.previous_lines, lines, sizeof capture.previous_lines);
    capture.has_previous = true;
    capture.frame_count++;
    return true;
}

// Writes the screen description and every kept frame with its extension blocks.
bool write_gif(GifFileType* f) {
    EGifSetGifVersion(f, true);
    if (EGifPutScreenDesc(f, capture.gif_width, capture.gif_height, 8, 0, capture.gif_global_map) == GIF_ERROR)
        return false;
    for (int i = 0; i < f->ImageCount; i++) {
        const SavedImage& image = f->SavedImages[i];
        for (int j = 0; j < image.ExtensionBlockCount; j++) {
            const ExtensionBlock& e = image.ExtensionBlocks[j];
            if (e.Function != CONTINUE_EXT_FUNC_CODE && EGifPutExtensionLeader(f, e.Function) == GIF_ERROR) return false;
            if (EGifPutExtensionBlock(f, e.ByteCount, e.Bytes) == GIF_ERROR) return false;
            bool last = j + 1 == image.ExtensionBlockCount || image.ExtensionBlocks[j + 1].Function != CONTINUE_EXT_FUNC_CODE;
            if (last && EGifPutExtensionTrailer(f) == GIF_ERROR) return false;
        }
        const GifImageDesc& d = image.ImageDesc;
        if (EGifPutImageDesc(f, d.Left, d.Top, d.Width, d.Height, d.Interlace, d.ColorMap) == GIF_ERROR) return false;
        for (int r = 0; r < d.Height; r++)
            if (EGifPutLine(f, image.RasterBits + int64_t(r) * d.Width, d.Width) == GIF_ERROR) return false;
    }
    return true;
}

// Writes the recording, reports it, and frees everything it held.
void finish_gif() {
    GifFileType* f = capture.gif_file;
    if (!f) return;
    bool ok = write_gif(f);
    // The frames stay ours: the library's close leaves them alone.
    SavedImage* images = f->SavedImages;
    int count = f->ImageCount;
    f->SavedImages = nullptr;
    f->ImageCount = 0;
    ok = EGifCloseFile(f, nullptr) == GIF_OK && ok;
    for (int i = 0; i < count; i++) {
        GifFreeMapObject(images[i].ImageDesc.ColorMap);
        GifFreeExtensions(&images[i].ExtensionBlockCount, &images[i].ExtensionBlocks);
    }
    free(images);
    GifFreeMapObject(capture.gif_global_map);
    capture.gif_global_map = nullptr;
    gif_free_all();
    capture.gif_file = nullptr;
    capture.has_previous = false;
    if (!ok) {
        notify("**error: could not write gif\n");
    } else if (!capture.gif_silent) {
        char text[CAPTURE_PATH_MAX + 64];
        snprintf(text, sizeof text, "captured %d frame gif %dx%d (x%d): %s", capture.frame_count, capture.gif.width,
                 capture.gif.height, capture.gif.scale, capture.gif_path);
        notify(text);
    }
    capture.frame_count = 0;
}

}  // namespace

// ---- Names ------------------------------------------------------------------------------------

int clean_capture_name(const uint8_t* bytes, char* out) {
    int n = 0;
    for (; n < CAPTURE_NAME_MAX && bytes[n]; n++) {
        uint8_t c = bytes[n];
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '.' || c == '-';
        out[n] = keep ? char(c) : '_';
    }
    out[n] = 0;
    return n;
}

bool get_capture_filename(const char* name, const char* ext, char* out, size_t size) {
    snprintf(out, size, "%s%s%s", CAPTURE_FOLDER, name, ext);
    if (!pdisk_file_exists(out)) return true;
    for (int n = 1; n <= CAPTURE_NAME_SUFFIX_MAX; n++) {
        snprintf(out, size, "%s%s_%d%s", CAPTURE_FOLDER, name, n, ext);
        if (!pdisk_file_exists(out)) return true;
    }
    out[0] = 0;
    return false;
}

// ---- Screenshots ------------------------------------------------------------------------------

void request_screenshot() {
    capture.shot = read_box(ADDR_SCREENSHOT_REQUEST);
    capture.shot_label = read_flag(ADDR_SCREENSHOT_REQUEST + 0xA);
    capture.shot_delay = read_delay(ADDR_SCREENSHOT_REQUEST + 0xC);
    capture.shot_silent = read_flag(ADDR_SCREENSHOT_REQUEST + 0xE);
    read_name(capture.shot_name, "screenshot");
    if (capture.shot_label) capture.shot = label_box();
}

void update_screenshot(const uint32_t* frame) {
    if (!app.screenshot_requested || !frame) return;
    if (capture.shot_delay > 0) {
        capture.shot_delay--;
        return;
    }
    app.screenshot_requested = 0;
    capture_screenshot(frame);
}

// ---- GIF recordings ---------------------------------------------------------------------------

int gif_start() {
    if (capture.gif_file) finish_gif();  // a recording nobody ended is written first
    read_name(capture.gif_name, "recording");
    bool named = get_capture_filename(capture.gif_name, ".gif", capture.gif_path, sizeof capture.gif_path);
    capture.gif = read_box(ADDR_GIF_REQUEST);
    capture.gif_delay = read_delay(ADDR_GIF_REQUEST + 0xC);
    capture.gif_silent = read_flag(ADDR_GIF_REQUEST + 0xE);
    capture.gif_width = capture.gif.width * capture.gif.scale;
    capture.gif_height = capture.gif.height * capture.gif.scale;

    int error = 0;
    GifFileType* f = nullptr;
    if (named) {
        uint32_t kind = 0;
        pbuffer* origin = resolve_to_origin(capture.gif_path, &kind, 0);
        if (origin && origin->length > 0 && kind == MOUNT_HOST) f = EGifOpenFileName(to_cstr(origin), false, &error);
        destroy_buffer(origin);
    }
    if (!f) {
        printf("** EGifOpenFileName error %d: p_path:%s\n", error, capture.gif_path);
        fflush(stdout);
        return 1;
    }
    capture.gif_file = f;
    capture.gif_global_map = nullptr;
    capture.frame_count = 0;
    capture.has_previous = false;
    return 0;
}

void update_gif_recording(const uint32_t* palette, const uint32_t* line_palette) {
    if (!capture.gif_file || !palette || !line_palette) return;
    if (capture.gif_delay > 0) {
        capture.gif_delay--;
        return;
    }
    bool take = (app.gif_frame_count & 1) == 0;
    app.gif_frame_count++;
    if (take && !gif_frame(palette, line_palette)) {
        // Full: the recording ends here with the frames it has.
        finish_gif();
        app.gif_recording = 0;
    }
}

void gif_end() { finish_gif(); }

// ---- Audio capture ----------------------------------------------------------------------------

int audio_capture_start() {
    pbuffer* fresh = create_buffer_2(AUDIO_CAPTURE_INITIAL_BYTES, BUFFER_TAG_AUDIO_CAPTURE);
    if (!fresh) return 1;
    os_lock_audio();
    pbuffer* unfinished = app.audio_capture_buffer;
    app.audio_capture_buffer = fresh;
    app.audio_capture_on = 1;
    os_unlock_audio();
    destroy_buffer(unfinished);
    return 0;
}

int audio_capture_end() {
    os_lock_audio();
    pbuffer* b = app.audio_capture_buffer;
    app.audio_capture_buffer = nullptr;
    app.audio_capture_on = 0;
    os_unlock_audio();
    if (!b) return 1;
    char path[CAPTURE_PATH_MAX];
    bool stored = false;
    if (get_capture_filename("audio", ".raw", path, sizeof path)) {
        ram_file* f = pfopen(path, "wb");
        if (f) {
            bool written = b->length == 0 || pfwrite(b->data, 1, b->length, f) == b->length;
            stored = pfclose(f) == 0 && written;
        }
    }
    if (stored) {
        char text[CAPTURE_PATH_MAX + 64];
        snprintf(text, sizeof text, "captured %3.3f seconds: %s", double(b->length) / AUDIO_CAPTURE_BYTES_PER_SECOND,
                 path);
        notify(text);
    }
    destroy_buffer(b);
    return stored ? 0 : 1;
}

void audio_capture_append(const uint8_t* block, int32_t length) {
    pbuffer* b = app.audio_capture_buffer;
    if (!app.audio_capture_on || !b || !block || length <= 0) return;
    if (int64_t(b->length) + length > audio_capture_limit) return;
    bwrite(block, 1, length, b);
}

void end_captures() {
    if (app.gif_recording || capture.gif_file) {
        finish_gif();
        app.gif_recording = 0;
    }
    if (app.audio_capture_on || app.audio_capture_buffer) audio_capture_end();
    app.screenshot_requested = 0;
}
