// Hostile children: a script run as process 4 beside a root that gives it one nested slice every
// frame, with the host time of the root's longest frame, the frames run and the reports it sent.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

#include "app/app.h"
#include "base/machine.h"
#include "kernel/process.h"
#include "kernel/slice.h"

#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_SLOWED_DOWN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HOSTILE_SLOWED_DOWN 1
#endif
#endif

namespace hostile {

// The longest frame the root may take while a child does anything at all.
constexpr double FRAME_GAP_LIMIT_MS = 100.0;
constexpr const char* OVERRUN = "too many cycles in non-yieldable code";

inline double thread_ms() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// A fresh headless machine with a root, process 2 and a window manager, all idle but for the
// root, which runs process 4 for one slice a frame.
inline void fresh_machine() {
    processes_init();
    set_default_config();
    config.headless = 1;
    memset(&app, 0, sizeof(app));
}

struct outcome {
    bool ended = false;        // process 4 is gone (finished, or removed after an error)
    int frames = 0;            // frames the root ran
    double longest_ms = 0;     // host time of the root's longest frame
    double longest_wall_ms = 0;  // and its wall-clock time (waits on the host count here)
    std::string reports;       // what reached the window manager (error reports, notifications)
};

// Runs code as process 4 for at most max_frames frames. setup, when given, runs on the child's
// record before its first slice (to register a test function or fill its memory); each_frame,
// when given, runs after the processes in every frame and counts as part of it (the machine's
// own per-frame work, such as making the video output).
inline outcome run_child(const char* code, int max_frames = 1000, void (*setup)(process_record*) = nullptr,
                         const char* location = "", void (*each_frame)() = nullptr) {
    outcome out;
    process_record* root = create_process_from_code(
        "while true do _run_process_slice(4, 1.0) coroutine.yield() end", "root", "root", "");
    create_process_from_code("while true do coroutine.yield() end", "two", "two", "");
    process_record* wm = create_process_from_code("while true do coroutine.yield() end", "wm", "wm", "");
    // One frame before the child exists: the machine's own first-frame work is not the child's.
    prepare_processes_for_frame();
    run_process_slice(root, 1.0);
    update_processes_after_frame();
    process_record* child = create_process_from_code(code, "child", "child", location);
    if (!root || !wm || !child) {
        ADD_FAILURE() << "could not create the processes";
        return out;
    }
    if (setup) setup(child);
    while (get_process(4) && out.frames < max_frames) {
        prepare_processes_for_frame();
        double start = thread_ms();
        auto wall_start = std::chrono::steady_clock::now();
        run_process_slice(root, 1.0);
        update_processes_after_frame();
        if (each_frame) each_frame();
        double took = thread_ms() - start;
        out.longest_ms = std::max(out.longest_ms, took);
        out.longest_wall_ms = std::max(
            out.longest_wall_ms,
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall_start).count());
        out.frames++;
    }
    out.ended = get_process(4) == nullptr;
    while (pbuffer* b = read_process_message(wm, nullptr)) out.reports.append((const char*)b->data, b->length);
    return out;
}

// The frame gap holds (not judged in sanitizer builds, which run many times slower).
inline void expect_frame_gap_held(const outcome& o, const char* what, double limit_ms = FRAME_GAP_LIMIT_MS) {
#ifndef HOSTILE_SLOWED_DOWN
    EXPECT_LT(o.longest_ms, limit_ms) << what << ": host ms of the longest of " << o.frames << " frames";
#else
    (void)o;
    (void)what;
    (void)limit_ms;
#endif
}

}  // namespace hostile
