// Capture costs on the main thread: a long GIF recording (480 x 270, a changing screen) and a
// long raw audio capture, each written as it comes. Reports what one frame costs the frame hook,
// what ending the capture costs the main loop, their ratio, and the process's resident memory
// late in the recording against early in it (flat when only the queue is held). Then the
// largest screenshot (the whole screen at scale 4 in video mode 4: 5,760 x 3,240): what the
// frame that takes it costs the main loop against a plain frame.
//
// Built with the project as the capture_bench target; run it without arguments. The captures
// go to a fresh folder under /tmp that is removed afterwards.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/capture.h"
#include "gfx/draw_state.h"
#include "gfx/video.h"
#include "base/machine.h"
#include "base/memmap.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "storage/pdisk.h"

namespace {

double wall_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The main thread's own time: on a loaded host the wall clock also counts time it was not running.
double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double resident_mb() {
    FILE* f = fopen("/proc/self/statm", "r");
    long size = 0, resident = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
        fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

uint64_t rng_state = 0x2545F4914F6CDD1Dull;
uint8_t next_byte() {
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 7;
    rng_state ^= rng_state << 17;
    return uint8_t(rng_state >> 24);
}

}  // namespace

int main() {
    char folder[] = "/tmp/capture_bench_XXXXXX";
    if (!mkdtemp(folder)) return 1;
    snprintf(config.home_folder, sizeof config.home_folder, "%s", folder);
    processes_init();
    memset(&app, 0, sizeof(app));
    config.video_process_id = 3;
    boot_init();
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    process_record* wm = nullptr;
    for (int i = 0; i < 3; i++) wm = create_process_from_code("", "bench", "/apps/bench.lua", "");
    if (!wm || mount_host_path("/desktop/host", folder) != 0) {
        std::printf("could not set up the machine\n");
        return 1;
    }
    set_current_process(wm);

    uint32_t palette[256], lines[VIDEO_HEIGHT] = {};
    for (int e = 0; e < 256; e++) palette[e] = uint32_t(e) * 0x010203u;
    std::vector<uint8_t> screen(size_t(VIDEO_WIDTH) * VIDEO_HEIGHT);
    for (auto& b : screen) b = next_byte() & 63;

    // GIF: 3,600 host frames (a minute; 1,800 recorded) of a screen whose band of 40 lines
    // changes every frame. The worker gets real time between frames, as it would at 60 Hz.
    for (int i = 0; i < 10; i++) poke2(ADDR_GIF_REQUEST + 2 * i, 0);
    poke2(ADDR_GIF_REQUEST + 4, 480);
    poke2(ADDR_GIF_REQUEST + 6, 270);
    poke2(ADDR_GIF_REQUEST + 8, 1);
    for (int i = 0; i < CAPTURE_NAME_MAX; i++) poke(ADDR_CAPTURE_NAME + i, "bench"[i < 5 ? i : 5]);
    if (gif_start() != 0) {
        std::printf("could not start the recording\n");
        return 1;
    }
    app.gif_recording = 1;
    constexpr int FRAMES = 3600;
    double hook_seconds = 0, early_mb = 0, worst_hook = 0;
    for (int f = 0; f < FRAMES; f++) {
        int band = (f * 7) % (VIDEO_HEIGHT - 40);
        for (int i = band * VIDEO_WIDTH; i < (band + 40) * VIDEO_WIDTH; i++) screen[size_t(i)] = next_byte() & 63;
        set_current_process(wm);
        poke_block(ADDR_SCREEN, screen.data(), int64_t(screen.size()));
        double t0 = wall_seconds();
        update_gif_recording(palette, lines);
        double t = wall_seconds() - t0;
        hook_seconds += t;
        if (t > worst_hook) worst_hook = t;
        if (f == 200) early_mb = resident_mb();
        usleep(2000);  // the rest of a frame, shortened
    }
    double late_mb = resident_mb();
    double t0 = wall_seconds();
    gif_end();
    app.gif_recording = 0;
    double end_seconds = wall_seconds() - t0;
    t0 = wall_seconds();
    end_captures(true);
    double complete_seconds = wall_seconds() - t0;
    double frame_seconds = hook_seconds / FRAMES;
    std::printf("gif: frame hook %.1f us (worst %.2f ms), end %.1f us: end/frame %.2f, end/(1/60 s) %.4f\n",
                frame_seconds * 1e6, worst_hook * 1e3, end_seconds * 1e6, end_seconds / frame_seconds,
                end_seconds * 60);
    std::printf("gif: file complete %.2f ms after the end (off the main loop)\n", complete_seconds * 1e3);
    std::printf("gif: resident memory %.1f MB after 200 frames, %.1f MB after %d: late/early %.3f\n", early_mb,
                late_mb, FRAMES, late_mb / early_mb);

    // Audio: five minutes of 2,048-byte blocks, eleven to a frame, each frame draining them.
    std::vector<uint8_t> block(2048);
    for (auto& b : block) b = next_byte();
    if (audio_capture_start() != 0) {
        std::printf("could not start the audio capture\n");
        return 1;
    }
    constexpr int AUDIO_FRAMES = 5 * 60 * 60;
    double drain_seconds = 0;
    early_mb = 0;
    for (int f = 0; f < AUDIO_FRAMES; f++) {
        for (int b = 0; b < 11; b++) audio_capture_append(block.data(), int32_t(block.size()));
        double t = wall_seconds();
        update_captures();
        drain_seconds += wall_seconds() - t;
        if (f == 600) early_mb = resident_mb();
    }
    late_mb = resident_mb();
    for (int b = 0; b < 11; b++) audio_capture_append(block.data(), int32_t(block.size()));
    t0 = wall_seconds();
    audio_capture_end();
    end_seconds = wall_seconds() - t0;
    frame_seconds = drain_seconds / AUDIO_FRAMES;
    // The end of a ten-second capture, for comparison: what ending costs does not grow with the length.
    double short_end = 0;
    if (audio_capture_start() == 0) {
        for (int f = 0; f < 600; f++) {
            for (int b = 0; b < 11; b++) audio_capture_append(block.data(), int32_t(block.size()));
            update_captures();
        }
        t0 = wall_seconds();
        audio_capture_end();
        short_end = wall_seconds() - t0;
    }
    std::printf("audio: frame %.1f us, end after 5 min %.1f us: end/frame %.2f, end/(1/60 s) %.3f\n",
                frame_seconds * 1e6, end_seconds * 1e6, end_seconds / frame_seconds, end_seconds * 60);
    std::printf("audio: end after 10 s %.1f us: end after 5 min / end after 10 s %.2f\n", short_end * 1e6,
                end_seconds / short_end);
    std::printf("audio: resident memory %.1f MB after 10 s, %.1f MB after 5 min: late/early %.3f\n", early_mb,
                late_mb, late_mb / early_mb);

    // Screenshot: plain frames (the screen converted, the captures updated) against the frame
    // that takes the largest screenshot, and the time until its file is complete.
    app.frames_run = 1;
    boot_get_time();
    app.frames_run = 1000;  // long past the boot screen
    app.boot_ready = 1;
    set_current_process(wm);
    poke(ADDR_VIDEO_MODE, 4);
    constexpr int PLAIN_FRAMES = 200;
    double plain_seconds = 0, plain_cpu_seconds = 0;
    for (int f = 0; f < PLAIN_FRAMES; f++) {
        set_current_process(wm);
        double t = wall_seconds(), c = thread_seconds();
        generate_video_out(nullptr, nullptr);
        update_captures();
        plain_seconds += wall_seconds() - t;
        plain_cpu_seconds += thread_seconds() - c;
    }
    const double plain = plain_seconds / PLAIN_FRAMES, plain_cpu = plain_cpu_seconds / PLAIN_FRAMES;
    set_current_process(wm);
    const int shot_fields[8] = {0, 0, 480, 270, 4, 0, 0, 1};
    for (int i = 0; i < 8; i++) poke2(ADDR_SCREENSHOT_REQUEST + 2 * i, shot_fields[i]);
    // The first screenshot also touches its copy of the box for the first time; the second
    // finds it in memory, as every later one does.
    for (const char* which : {"first", "second"}) {
        set_current_process(wm);
        request_screenshot();
        app.screenshot_requested = 1;
        t0 = wall_seconds();
        double c0 = thread_seconds();
        generate_video_out(nullptr, nullptr);
        update_captures();
        const double shot_frame = wall_seconds() - t0, shot_cpu = thread_seconds() - c0;
        t0 = wall_seconds();
        end_captures(true);
        const double shot_complete = wall_seconds() - t0;
        std::printf("screenshot 5760x3240 (%s): plain frame %.1f us, request frame %.1f us: request/plain %.2f, "
                    "request/(1/60 s) %.4f\n",
                    which, plain * 1e6, shot_frame * 1e6, shot_frame / plain, shot_frame * 60);
        std::printf("screenshot (%s): main thread's own time: plain frame %.1f us, request frame %.1f us: "
                    "request/plain %.2f\n",
                    which, plain_cpu * 1e6, shot_cpu * 1e6, shot_cpu / plain_cpu);
        std::printf("screenshot (%s): file complete %.2f ms after the request frame (off the main loop)\n", which,
                    shot_complete * 1e3);
    }

    pfile_reset();
    if (system((std::string("rm -rf '") + folder + "'").c_str()) != 0) return 1;
    return 0;
}
