// The benchmarks' clocks: processor time of the calling thread, which stops while the thread is
// preempted, so that figures taken on a shared machine keep their meaning; and a best-of timing loop.
#pragma once
#include <time.h>

inline double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The fastest of several chunks of at least min_seconds of wall time each, in seconds per run:
// the best chunk is the one least disturbed by other work on the machine.
template <typename F>
double best_seconds_per_run(F&& run, double min_seconds = 0.1, int chunks = 5) {
    double best = 1e30;
    for (int c = 0; c < chunks; c++) {
        int rounds = 0;
        timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        double elapsed = 0;
        while (rounds < 3 || elapsed < min_seconds) {
            run();
            rounds++;
            clock_gettime(CLOCK_MONOTONIC, &now);
            elapsed = double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) * 1e-9;
        }
        if (elapsed / rounds < best) best = elapsed / rounds;
    }
    return best;
}
