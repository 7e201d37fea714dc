// The benchmarks' clock: processor time of the calling thread, which stops while the thread is
// preempted, so that figures taken on a shared machine keep their meaning.
#pragma once
#include <time.h>

inline double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
