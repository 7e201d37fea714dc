// Captures: screenshots taken from the finished frame and written by a worker thread each, the
// label taken from it, GIF recordings encoded frame by frame on a worker thread as they come,
// and the raw audio capture the audio callback appends to and each frame writes out.
#include "storage/capture.h"

#include <fcntl.h>
#include <gif_lib.h>
#include <lodepng.h>
#include <qoi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "gfx/video.h"
#include "base/machine.h"
#include "base/memmap.h"
#include "kernel/memory.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "platform/audio_device.h"
#include "platform/host.h"
#include "storage/image.h"
#include "storage/pdisk.h"

int64_t gif_file_limit = GIF_FILE_LIMIT_DEFAULT;
int64_t audio_capture_limit = AUDIO_CAPTURE_MAX_BYTES;

namespace {

constexpr int SCREEN_PIXELS = VIDEO_WIDTH * VIDEO_HEIGHT;
constexpr const char* SCREENSHOT_FAILED = "could not store screenshot";
// What a capture start is charged beside its names and buffers: making the file and the worker.
constexpr int64_t CAPTURE_NAME_COST = 64;
constexpr int64_t CAPTURE_OPEN_COST = 4096;

struct capture_box {
    int32_t x, y, width, height, scale;
};

struct capture_state {
    capture_box shot;
    int32_t shot_label, shot_delay, shot_silent;
    char shot_name[CAPTURE_NAME_MAX + 1];

    int32_t gif_delay = 0;     // start delay of the running recording
    int32_t gif_skipped = 0;   // frames left out (queue full) since the last one queued
    int32_t gif_running = -1;  // index of the running recording in gif_jobs, or -1
    int64_t start_cost = 0;    // cycles the last start spent

    // Audio capture: the file written as the blocks come, and the buffer the callback is
    // not filling (the two are swapped each frame under the audio lock).
    int audio_fd = -1;
    pbuffer* audio_spare = nullptr;
    int64_t audio_written = 0;
    bool audio_failed = false;
    char audio_path[CAPTURE_PATH_MAX];
};

capture_state capture;
// Bytes the callback has taken into the running audio capture (read and written under the lock).
int64_t audio_taken = 0;

// ---- GIF recordings: the queue and the worker ---------------------------------------------

// One frame as the hook saw it; the worker makes the raster from it.
struct gif_frame_in {
    uint8_t screen[SCREEN_PIXELS];
    uint32_t palette[256];
    uint32_t lines[VIDEO_HEIGHT];
    int32_t delay;  // hundredths of a second
};

enum gif_job_state : int32_t { GIF_JOB_FREE = 0, GIF_JOB_RECORDING, GIF_JOB_ENDING };

// One recording. The main thread fills the settings before the worker starts and owns the
// record again once done is set; between, the fields marked "lock" are shared under lock.
struct gif_job {
    int32_t state;  // main thread
    capture_box box;
    int32_t width, height;  // the box times its scale
    int32_t silent;
    char path[CAPTURE_PATH_MAX];
    int fd;
    int32_t frames_queued;  // main thread: frames handed to the worker

    std::mutex lock;
    std::condition_variable wake;
    gif_frame_in* queue;        // GIF_QUEUE_FRAMES entries
    int32_t head, count;        // lock: the oldest queued frame, and how many
    bool ending;                // lock: no more frames will come
    bool failed;                // lock: a write failed
    bool done;                  // lock: the worker has finished and touches nothing more
    int64_t written;            // worker: bytes in the file so far, gathered ones included
    int32_t out_used;           // worker: bytes gathered in out
    int64_t settled;            // lock: bytes of the frames taken off the queue

    // Worker only while it runs.
    GifFileType* file;
    uint8_t* raster;
    int32_t frames_written;
    bool has_previous;
};

// A recording's large buffers (worker only while it runs), kept apart from the job records so
// that those, which every frame looks at, take a page or two and not one per recording.
struct gif_work {
    uint8_t out[65536];
    uint8_t previous_screen[SCREEN_PIXELS];
    uint32_t first_palette[256];
    uint32_t previous_palette[256];
    uint32_t previous_lines[VIDEO_HEIGHT];
};

gif_job gif_jobs[GIF_RECORDINGS];
gif_work gif_works[GIF_RECORDINGS];

// A recording's own entry of gif_works.
gif_work& work_of(const gif_job* j) { return gif_works[j - gif_jobs]; }

// Fills the raster from a queued frame: each pixel is its line's palette times 64 plus its
// colour. Returns true when some pixel needs index 255 (palette 3, colour 63).
bool fill_raster(gif_job* j, const gif_frame_in* in) {
    const capture_box& b = j->box;
    const int32_t w = j->width, h = j->height, sc = b.scale;
    uint8_t* raster = j->raster;
    for (int32_t r = 0; r < h; r++) {
        uint8_t* row = raster + int64_t(r) * w;
        if (r % sc) {
            memcpy(row, row - w, size_t(w));
            continue;
        }
        const int32_t sy = b.y + r / sc;
        const uint8_t base = uint8_t((in->lines[sy] & 3) * 64);
        const uint8_t* src = in->screen + sy * VIDEO_WIDTH + b.x;
        for (int32_t c = 0; c < w; c++) row[c] = uint8_t(base + (src[c / sc] & 63));
    }
    return memchr(raster, GIF_UNCHANGED_INDEX, size_t(int64_t(w) * h)) != nullptr;
}

// Marks with index 255 every pixel whose colour is the one the previous frame showed there;
// true when any was marked.
bool mark_unchanged(gif_job* j, const uint32_t* palette) {
    const capture_box& b = j->box;
    const int32_t w = j->width, h = j->height, sc = b.scale;
    const gif_work& previous = work_of(j);
    bool marked = false;
    for (int32_t r = 0; r < h; r++) {
        uint8_t* row = j->raster + int64_t(r) * w;
        const int32_t sy = b.y + r / sc;
        const uint32_t* old_palette = previous.previous_palette + (previous.previous_lines[sy] & 3) * 64;
        const uint8_t* old = previous.previous_screen + sy * VIDEO_WIDTH + b.x;
        for (int32_t c = 0; c < w; c++) {
            if (palette[row[c]] == old_palette[old[c / sc] & 63]) {
                row[c] = GIF_UNCHANGED_INDEX;
                marked = true;
            }
        }
    }
    return marked;
}

ColorMapObject* make_map(const uint32_t* palette) {
    GifColorType colours[256];
    for (int i = 0; i < 256; i++) {
        colours[i].Red = uint8_t(palette[i] >> 16);
        colours[i].Green = uint8_t(palette[i] >> 8);
        colours[i].Blue = uint8_t(palette[i]);
    }
    return GifMakeMapObject(256, colours);
}

// Writes the worker's gathered output to the file; false when the host refuses it.
bool flush_gif_output(gif_job* j) {
    int32_t done = 0;
    while (done < j->out_used) {
        ssize_t put = write(j->fd, work_of(j).out + done, size_t(j->out_used - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += int32_t(put);
    }
    j->out_used = 0;
    return true;
}

// The library's output, which comes in sub-blocks of at most 256 bytes: gathered and counted,
// and written to the file in large pieces.
int gif_output(GifFileType* f, const GifByteType* bytes, int n) {
    gif_job* j = static_cast<gif_job*>(f->UserData);
    if (n <= 0) return 0;
    uint8_t* out = work_of(j).out;
    constexpr int32_t room = int32_t(sizeof gif_work::out);
    if (j->out_used + n > room && !flush_gif_output(j)) return 0;
    if (n > room) return 0;  // never asked of us: the library's pieces are small
    memcpy(out + j->out_used, bytes, size_t(n));
    j->out_used += n;
    j->written += n;
    return n;
}

// The screen description and the loop block, written before the first image.
bool put_gif_head(gif_job* j, const ColorMapObject* map) {
    static const uint8_t loop_forever[3] = {1, 0, 0};
    EGifSetGifVersion(j->file, true);
    return EGifPutScreenDesc(j->file, j->width, j->height, 8, 0, map) == GIF_OK &&
           EGifPutExtensionLeader(j->file, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
           EGifPutExtensionBlock(j->file, 11, "NETSCAPE2.0") == GIF_OK &&
           EGifPutExtensionBlock(j->file, 3, loop_forever) == GIF_OK && EGifPutExtensionTrailer(j->file) == GIF_OK;
}

// Encodes one queued frame into the file (worker thread).
bool encode_gif_frame(gif_job* j, const gif_frame_in* in) {
    const bool first = j->frames_written == 0;
    gif_work& w = work_of(j);
    const bool own_map = !first && memcmp(in->palette, w.first_palette, sizeof w.first_palette) != 0;
    const bool needs_last_index = fill_raster(j, in);
    const bool marked = j->has_previous && !needs_last_index && mark_unchanged(j, in->palette);

    ColorMapObject* map = first || own_map ? make_map(in->palette) : nullptr;
    if ((first || own_map) && !map) return false;
    bool ok = !first || put_gif_head(j, map);
    const int32_t delay = in->delay;
    const uint8_t control[4] = {uint8_t(marked ? 1 : 0), uint8_t(delay), uint8_t(delay >> 8), GIF_UNCHANGED_INDEX};
    ok = ok && EGifPutExtension(j->file, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_OK;
    ok = ok && EGifPutImageDesc(j->file, 0, 0, j->width, j->height, false, own_map ? map : nullptr) == GIF_OK;
    for (int32_t r = 0; ok && r < j->height; r++)
        ok = EGifPutLine(j->file, j->raster + int64_t(r) * j->width, j->width) == GIF_OK;
    GifFreeMapObject(map);
    if (!ok) return false;

    if (first) memcpy(w.first_palette, in->palette, sizeof w.first_palette);
    memcpy(w.previous_screen, in->screen, sizeof w.previous_screen);
    memcpy(w.previous_palette, in->palette, sizeof w.previous_palette);
    memcpy(w.previous_lines, in->lines, sizeof w.previous_lines);
    j->has_previous = true;
    j->frames_written++;
    return true;
}

// The worker: encodes each frame as it is queued; at the end writes the trailer and closes.
int gif_worker(void* arg) {
    gif_job* j = static_cast<gif_job*>(arg);
    bool ok = true;
    for (;;) {
        gif_frame_in* in = nullptr;
        {
            std::unique_lock<std::mutex> held(j->lock);
            j->wake.wait(held, [j] { return j->count > 0 || j->ending; });
            if (j->count == 0) break;
            in = &j->queue[j->head];
        }
        // The queued frame stays the worker's until it is taken off the queue below.
        if (ok) ok = encode_gif_frame(j, in);
        std::lock_guard<std::mutex> held(j->lock);
        j->head = (j->head + 1) % GIF_QUEUE_FRAMES;
        j->count--;
        j->settled = j->written;
        if (!ok) j->failed = true;
    }
    // A recording without frames is still a picture file: its description and the trailer.
    if (ok && j->frames_written == 0) ok = put_gif_head(j, nullptr);
    int error = 0;
    ok = EGifCloseFile(j->file, &error) == GIF_OK && ok;
    j->file = nullptr;
    ok = flush_gif_output(j) && ok;
    ok = close(j->fd) == 0 && ok;
    j->fd = -1;
    std::lock_guard<std::mutex> held(j->lock);
    if (!ok) j->failed = true;
    j->done = true;
    j->wake.notify_all();
    return 0;
}

// Frees what a finished recording held and reports it (main thread, after done).
void report_gif_job(gif_job* j) {
    free(j->queue);
    free(j->raster);
    j->queue = nullptr;
    j->raster = nullptr;
    j->state = GIF_JOB_FREE;
    if (j->failed) {
        notify("**error: could not write gif\n");
    } else if (!j->silent) {
        char text[CAPTURE_PATH_MAX + 64];
        snprintf(text, sizeof text, "captured %d frame gif %dx%d (x%d): %s", j->frames_queued, j->box.width,
                 j->box.height, j->box.scale, j->path);
        notify(text);
    }
}

bool gif_job_done(gif_job* j) {
    std::lock_guard<std::mutex> held(j->lock);
    return j->done;
}

// Reports every ended recording whose worker has finished; with wait, waits for each first.
void reap_gif_jobs(bool wait) {
    for (gif_job& j : gif_jobs) {
        if (j.state != GIF_JOB_ENDING) continue;
        if (wait) {
            std::unique_lock<std::mutex> held(j.lock);
            j.wake.wait(held, [&j] { return j.done; });
        } else if (!gif_job_done(&j)) {
            continue;
        }
        report_gif_job(&j);
    }
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

// ---- Screenshots: taken on the main thread, written by a worker each ------------------------

int create_capture_file(const char* path);
void remove_capture_file(const char* path);

// One screenshot being written. The main thread fills it before the worker starts and owns it
// again once done is set.
struct shot_job {
    bool busy;  // main thread: a worker has it, or its report is still to come
    capture_box box;
    int32_t s;  // pixels per box pixel
    int32_t silent;
    char path[CAPTURE_PATH_MAX];
    int fd;

    std::mutex lock;
    std::condition_variable wake;
    bool done;    // lock: the worker has finished and touches nothing more
    bool failed;  // lock
};

shot_job shot_jobs[SCREENSHOT_JOBS];
// Kept apart from the job records so that those, which every frame looks at, share a page.
uint32_t shot_pixels[SCREENSHOT_JOBS][SCREEN_PIXELS];

// A screenshot's own entry of shot_pixels: the box of the frame, row by row.
uint32_t* pixels_of(const shot_job* j) { return shot_pixels[j - shot_jobs]; }
bool shot_dropping = false;  // screenshots have been dropped since the last one taken

bool write_whole(int fd, const uint8_t* bytes, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t put = write(fd, bytes + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += size_t(put);
    }
    return true;
}

// Rows of 32-bit colours, pitch apart, as RGBA with each pixel s x s pixels: w x h of them.
void enlarge_to_rgba(const uint32_t* rows, int64_t pitch, int64_t w, int64_t h, int64_t s, uint8_t* out) {
    for (int64_t r = 0; r < h; r++) {
        const uint32_t* src = rows + (r / s) * pitch;
        for (int64_t c = 0; c < w; c++, out += 4) {
            uint32_t v = src[c / s];
            out[0] = uint8_t(v >> 16);
            out[1] = uint8_t(v >> 8);
            out[2] = uint8_t(v);
            out[3] = 255;
        }
    }
}

// The worker: each box pixel becomes s x s pixels, encoded as RGBA and written to the file.
int shot_worker(void* arg) {
    shot_job* j = static_cast<shot_job*>(arg);
    const int64_t s = j->s, bw = j->box.width;
    const int64_t w = bw * s, h = int64_t(j->box.height) * s;
    uint8_t* rgba = static_cast<uint8_t*>(malloc(size_t(w * h * 4)));
    bool ok = rgba != nullptr;
    if (ok) enlarge_to_rgba(pixels_of(j), bw, w, h, s, rgba);
    unsigned char* png = nullptr;
    size_t size = 0;
    ok = ok && encode_png(rgba, unsigned(w), unsigned(h), LCT_RGBA, 8, &png, &size) == 0;
    free(rgba);
    ok = ok && write_whole(j->fd, png, size);
    free(png);
    ok = close(j->fd) == 0 && ok;
    j->fd = -1;
    std::lock_guard<std::mutex> held(j->lock);
    j->failed = !ok;
    j->done = true;
    j->wake.notify_all();
    return 0;
}

// Reports every screenshot whose worker has finished; with wait, waits for each first. A file
// that could not be written whole is removed.
void reap_shot_jobs(bool wait) {
    for (shot_job& j : shot_jobs) {
        if (!j.busy) continue;
        bool failed = false;
        {
            std::unique_lock<std::mutex> held(j.lock);
            if (wait) j.wake.wait(held, [&j] { return j.done; });
            if (!j.done) continue;
            failed = j.failed;
        }
        j.busy = false;
        if (failed) {
            remove_capture_file(j.path);
            notify(SCREENSHOT_FAILED);
        } else if (!j.silent) {
            char text[CAPTURE_PATH_MAX + 64];
            snprintf(text, sizeof text, "captured %dx%d (x%d) screenshot: %s", j.box.width, j.box.height, j.s, j.path);
            notify(text);
        }
    }
}

// Takes the box of the finished frame for a worker to write: picks the name, makes the file
// and copies the box. Dropped while SCREENSHOT_JOBS are still being written.
void take_screenshot(const uint32_t* frame) {
    reap_shot_jobs(false);
    shot_job* j = nullptr;
    for (shot_job& free_job : shot_jobs)
        if (!free_job.busy) {
            j = &free_job;
            break;
        }
    if (!j) {
        if (!shot_dropping) {
            printf("** screenshot dropped: %d screenshots are still being written\n", SCREENSHOT_JOBS);
            fflush(stdout);
        }
        shot_dropping = true;
        return;
    }
    shot_dropping = false;
    const capture_box& box = capture.shot;
    char path[CAPTURE_PATH_MAX];
    const int fd = get_capture_filename(capture.shot_name, ".png", path, sizeof path) ? create_capture_file(path) : -1;
    if (fd < 0) {
        notify(SCREENSHOT_FAILED);
        return;
    }
    for (int32_t r = 0; r < box.height; r++)
        memcpy(pixels_of(j) + int64_t(r) * box.width, frame + (box.y + r) * VIDEO_WIDTH + box.x,
               size_t(box.width) * sizeof(uint32_t));
    j->box = box;
    j->s = video_mode_scale() * box.scale;
    j->silent = capture.shot_silent;
    snprintf(j->path, sizeof j->path, "%s", path);
    j->fd = fd;
    j->done = j->failed = false;
    os_thread* worker = os_create_thread(shot_worker, j);
    if (!worker) {
        close(fd);
        remove_capture_file(path);
        notify(SCREENSHOT_FAILED);
        return;
    }
    os_destroy_thread(worker);  // it runs on until the file is written
    j->busy = true;
}

// The label: the whole shown screen at its own size, on the main thread.
void capture_label(const uint32_t* frame) {
    // The label always covers the whole shown screen, in the video mode of this frame.
    capture.shot = label_box();
    const capture_box& box = capture.shot;
    const int s = video_mode_scale() * box.scale;
    const int64_t w = int64_t(box.width) * s, h = int64_t(box.height) * s;
    uint8_t* rgba = static_cast<uint8_t*>(malloc(size_t(w * h * 4)));
    if (!rgba) {
        notify(SCREENSHOT_FAILED);
        return;
    }
    enlarge_to_rgba(frame + box.y * VIDEO_WIDTH + box.x, VIDEO_WIDTH, w, h, s, rgba);
    store_label(rgba);
    free(rgba);
}

// ---- GIF recording: the frame hook's side ----------------------------------------------------

// Queues one frame; false when the recording must end here (its file could pass the limit,
// or a write failed). A full queue leaves the frame out.
bool gif_frame(gif_job* j, const uint32_t* palette, const uint32_t* lines) {
    process_record* wm = get_process(3);
    if (!wm) return true;  // nothing to record this frame
    int32_t slot = 0;
    {
        std::lock_guard<std::mutex> held(j->lock);
        if (j->failed) return false;
        const int64_t bound = gif_frame_bound(j->width, j->height);
        if (j->settled + (j->count + 1) * bound > gif_file_limit) return false;
        if (j->count == GIF_QUEUE_FRAMES) {
            capture.gif_skipped++;
            return true;
        }
        slot = (j->head + j->count) % GIF_QUEUE_FRAMES;
    }
    // Free slots are the main thread's until counted in.
    gif_frame_in* in = &j->queue[slot];
    read_process_space(wm, ADDR_SCREEN, in->screen, SCREEN_PIXELS, 0);
    memcpy(in->palette, palette, sizeof in->palette);
    memcpy(in->lines, lines, sizeof in->lines);
    const int64_t delay = int64_t(GIF_FRAME_DELAY) * (1 + capture.gif_skipped);
    in->delay = int32_t(delay > 0xFFFF ? 0xFFFF : delay);
    capture.gif_skipped = 0;
    {
        std::lock_guard<std::mutex> held(j->lock);
        j->count++;
        j->wake.notify_all();
    }
    j->frames_queued++;
    return true;
}

// Ends the running recording: its worker writes what is queued and the trailer, and
// update_captures reports it once the file is complete.
void finish_gif() {
    if (capture.gif_running < 0) return;
    gif_job* j = &gif_jobs[capture.gif_running];
    capture.gif_running = -1;
    j->state = GIF_JOB_ENDING;
    std::lock_guard<std::mutex> held(j->lock);
    j->ending = true;
    j->wake.notify_all();
}

// Creates a new capture file at a host path, never replacing anything there; -1 when it
// could not be made.
int create_capture_file(const char* path) {
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(path, &kind, 0);
    int fd = -1;
    if (origin && origin->length > 0 && kind == MOUNT_HOST)
        fd = open(to_cstr(origin), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    destroy_buffer(origin);
    return fd;
}

// Removes a capture file just made and left empty.
void remove_capture_file(const char* path) {
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(path, &kind, 0);
    if (origin && origin->length > 0 && kind == MOUNT_HOST) unlink(to_cstr(origin));
    destroy_buffer(origin);
}

// Whether anything at all is at a capture path: a ram entry, or on the host a file, folder or
// link, even a dangling one. Anything that cannot be looked at counts as there.
bool capture_path_taken(const char* path) {
    uint32_t kind = 0;
    pbuffer* origin = resolve_to_origin(path, &kind, 0);
    bool taken = true;
    if (origin && origin->length > 0) {
        const char* o = to_cstr(origin);
        if (kind == MOUNT_HOST) {
            struct stat st;
            taken = lstat(o, &st) == 0 || errno != ENOENT;
        } else {
            taken = find_ram_file(o) != nullptr;
        }
        if (!taken) taken = get_index_by_name(path) >= 0;  // a write not yet on disk
    }
    destroy_buffer(origin);
    return taken;
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

bool get_capture_filename(const char* name, const char* ext, char* out, size_t size, int32_t* tried) {
    int32_t n = 0;
    for (; n <= CAPTURE_NAME_SUFFIX_MAX; n++) {
        if (n == 0) snprintf(out, size, "%s%s%s", CAPTURE_FOLDER, name, ext);
        else snprintf(out, size, "%s%s_%d%s", CAPTURE_FOLDER, name, n, ext);
        if (!capture_path_taken(out)) break;
    }
    if (tried) *tried = n > CAPTURE_NAME_SUFFIX_MAX ? n : n + 1;
    if (n <= CAPTURE_NAME_SUFFIX_MAX) return true;
    out[0] = 0;
    return false;
}

int64_t gif_frame_bound(int32_t width, int32_t height) {
    // Each code stands for at least one pixel and is at most 12 bits, with a clear code at
    // least every 3,838 codes; sub-blocks add one byte in 255; the rest is the frame's
    // description, its colour map and control block (and the file's head, for the first).
    const int64_t pixels = int64_t(width) * height;
    const int64_t codes = pixels * 3 / 2 + pixels / 2048 + 16;
    return codes + codes / 255 + 4096;
}

int64_t capture_start_cost() { return capture.start_cost; }

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
    if (capture.shot_label) capture_label(frame);
    else take_screenshot(frame);
}

// ---- GIF recordings ---------------------------------------------------------------------------

int gif_start() {
    finish_gif();  // a recording nobody ended is written first
    reap_gif_jobs(false);
    capture.start_cost = CAPTURE_OPEN_COST;
    gif_job* j = nullptr;
    for (gif_job& free_job : gif_jobs)
        if (free_job.state == GIF_JOB_FREE) {
            j = &free_job;
            break;
        }
    char name[CAPTURE_NAME_MAX + 1];
    read_name(name, "recording");
    char path[CAPTURE_PATH_MAX];
    int32_t tried = 0;
    bool named = get_capture_filename(name, ".gif", path, sizeof path, &tried);
    capture.start_cost += CAPTURE_NAME_COST * tried;
    if (!j) {
        // Earlier recordings are still being written: no new one until one is done.
        printf("** gif recording refused: %d recordings are still being written\n", GIF_RECORDINGS);
        fflush(stdout);
        return 1;
    }
    j->box = read_box(ADDR_GIF_REQUEST);
    j->width = j->box.width * j->box.scale;
    j->height = j->box.height * j->box.scale;
    j->silent = read_flag(ADDR_GIF_REQUEST + 0xE);
    capture.gif_delay = read_delay(ADDR_GIF_REQUEST + 0xC);
    capture.gif_skipped = 0;
    snprintf(j->path, sizeof j->path, "%s", named ? path : "");

    int error = 0;
    j->fd = named ? create_capture_file(path) : -1;
    if (j->fd < 0) {
        printf("** EGifOpenFileName error %d: p_path:%s\n", error, j->path);
        fflush(stdout);
        return 1;
    }
    const size_t queue_bytes = sizeof(gif_frame_in) * GIF_QUEUE_FRAMES;
    const size_t raster_bytes = size_t(j->width) * size_t(j->height);
    capture.start_cost += int64_t(queue_bytes + raster_bytes) / 128 + 8;
    j->queue = static_cast<gif_frame_in*>(malloc(queue_bytes));
    j->raster = static_cast<uint8_t*>(malloc(raster_bytes));
    j->head = j->count = 0;
    j->ending = j->failed = j->done = false;
    j->written = j->settled = 0;
    j->out_used = 0;
    j->frames_queued = j->frames_written = 0;
    j->has_previous = false;
    j->file = j->queue && j->raster ? EGifOpen(j, gif_output, &error) : nullptr;
    os_thread* worker = j->file ? os_create_thread(gif_worker, j) : nullptr;
    if (!worker) {
        if (j->file) EGifCloseFile(j->file, nullptr);
        j->file = nullptr;
        close(j->fd);
        j->fd = -1;
        remove_capture_file(path);
        free(j->queue);
        free(j->raster);
        j->queue = nullptr;
        j->raster = nullptr;
        printf("** EGifOpenFileName error %d: p_path:%s\n", error, j->path);
        fflush(stdout);
        return 1;
    }
    os_destroy_thread(worker);  // it runs on to the recording's end
    j->state = GIF_JOB_RECORDING;
    capture.gif_running = int32_t(j - gif_jobs);
    return 0;
}

void update_gif_recording(const uint32_t* palette, const uint32_t* line_palette) {
    if (capture.gif_running < 0 || !palette || !line_palette) return;
    if (capture.gif_delay > 0) {
        capture.gif_delay--;
        return;
    }
    bool take = (app.gif_frame_count & 1) == 0;
    app.gif_frame_count++;
    if (take && !gif_frame(&gif_jobs[capture.gif_running], palette, line_palette)) {
        // Full, or the file could not be written: the recording ends here with the frames it has.
        finish_gif();
        app.gif_recording = 0;
    }
}

void gif_end() { finish_gif(); }

// ---- Audio capture ----------------------------------------------------------------------------

namespace {

// Writes what the callback has captured since the last call to the file (main thread).
void drain_audio_capture() {
    if (capture.audio_fd < 0 || !capture.audio_spare) return;
    os_lock_audio();
    pbuffer* full = app.audio_capture_buffer;
    if (full) app.audio_capture_buffer = capture.audio_spare;
    os_unlock_audio();
    if (!full) return;
    capture.audio_spare = full;
    int64_t done = 0;
    while (!capture.audio_failed && done < full->length) {
        ssize_t put = write(capture.audio_fd, full->data + done, size_t(full->length - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) capture.audio_failed = true;
        else done += put;
    }
    capture.audio_written += done;
    full->length = 0;
}

}  // namespace

int audio_capture_start() {
    if (capture.audio_fd >= 0) audio_capture_end();
    capture.start_cost = CAPTURE_OPEN_COST;
    int32_t tried = 0;
    bool named = get_capture_filename("audio", ".raw", capture.audio_path, sizeof capture.audio_path, &tried);
    capture.start_cost += CAPTURE_NAME_COST * tried + 2 * (AUDIO_CAPTURE_INITIAL_BYTES / 128 + 4);
    int fd = named ? create_capture_file(capture.audio_path) : -1;
    if (fd < 0) return 1;
    pbuffer* fresh = create_buffer_2(AUDIO_CAPTURE_INITIAL_BYTES, BUFFER_TAG_AUDIO_CAPTURE);
    pbuffer* spare = create_buffer_2(AUDIO_CAPTURE_INITIAL_BYTES, BUFFER_TAG_AUDIO_CAPTURE);
    if (!fresh || !spare) {
        destroy_buffer(fresh);
        destroy_buffer(spare);
        close(fd);
        remove_capture_file(capture.audio_path);
        return 1;
    }
    capture.audio_fd = fd;
    capture.audio_spare = spare;
    capture.audio_written = 0;
    capture.audio_failed = false;
    os_lock_audio();
    pbuffer* unfinished = app.audio_capture_buffer;
    app.audio_capture_buffer = fresh;
    app.audio_capture_on = 1;
    audio_taken = 0;
    os_unlock_audio();
    destroy_buffer(unfinished);  // left by a capture that had no file
    return 0;
}

int audio_capture_end() {
    // The callback stops first; then everything it captured goes to the file.
    os_lock_audio();
    app.audio_capture_on = 0;
    os_unlock_audio();
    drain_audio_capture();
    os_lock_audio();
    pbuffer* b = app.audio_capture_buffer;
    app.audio_capture_buffer = nullptr;
    os_unlock_audio();
    destroy_buffer(b);
    if (capture.audio_fd < 0) return 1;
    destroy_buffer(capture.audio_spare);
    capture.audio_spare = nullptr;
    bool stored = !capture.audio_failed;
    stored = close(capture.audio_fd) == 0 && stored;
    capture.audio_fd = -1;
    if (stored) {
        char text[CAPTURE_PATH_MAX + 64];
        snprintf(text, sizeof text, "captured %3.3f seconds: %s",
                 double(capture.audio_written) / AUDIO_CAPTURE_BYTES_PER_SECOND, capture.audio_path);
        notify(text);
    }
    return stored ? 0 : 1;
}

void audio_capture_append(const uint8_t* block, int32_t length) {
    // The audio thread, with the device locked: only copies into room already there.
    pbuffer* b = app.audio_capture_buffer;
    if (!app.audio_capture_on || !b || !b->data || !block || length <= 0) return;
    if (audio_taken + length > audio_capture_limit) return;
    if (int64_t(b->length) + length + 1 > int64_t(b->capacity)) return;  // the frames stalled ten seconds
    memcpy(b->data + b->length, block, size_t(length));
    b->length += length;
    b->data[b->length] = 0;
    audio_taken += length;
}

void update_captures() {
    drain_audio_capture();
    reap_gif_jobs(false);
    reap_shot_jobs(false);
}

void end_captures(bool wait) {
    if (app.gif_recording || capture.gif_running >= 0) {
        finish_gif();
        app.gif_recording = 0;
    }
    if (app.audio_capture_on || app.audio_capture_buffer || capture.audio_fd >= 0) audio_capture_end();
    app.screenshot_requested = 0;
    reap_gif_jobs(wait);
    reap_shot_jobs(wait);
}
