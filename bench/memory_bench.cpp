// Memory benchmark: resident memory per idle process, from 100 and from 500 idle processes,
// and per process that has played a note. Resident sizes come from /proc/self/statm.
// Usage: memory_bench
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_machine.h"
#include "audio/mudo.h"
#include "kernel/memory.h"

namespace {

double rss_kb() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    long size = 0, resident = 0;
    int n = fscanf(f, "%ld %ld", &size, &resident);
    fclose(f);
    return n == 2 ? (double)resident * (double)sysconf(_SC_PAGESIZE) / 1024.0 : 0;
}

// Makes count processes, each running code once; returns kB of resident memory each, or -1.
double per_process_kb(int count, const char* code) {
    static char home[] = "/tmp/orvalune_memory_bench_XXXXXX";
    static bool made = false;
    if (!made && !mkdtemp(home)) return -1;
    made = true;
    bench_reset_kernel(home);
    // The first process builds the run's wave table; it is not counted.
    process_record* first = create_process_from_code("", "first", "/apps/first.lua", "");
    if (!first) return -1;
    double before = rss_kb();
    for (int i = 0; i < count; i++) {
        process_record* p = create_process_from_code("", "idle", "/apps/idle.lua", "");
        if (!p) return -1;
        if (code) {
            set_current_process(p);
            if (!bench_run_code(p->L, code)) return -1;
            if (audio_op_start(0, 1) == 0) audio_op_end();  // the frame end's copy to the mixer
        }
    }
    double after = rss_kb();
    processes_init();
    return (after - before) / count;
}

// Each measurement in a child of its own, so that none reuses memory another freed.
double measured(int count, const char* code) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        double kb = per_process_kb(count, code);
        ssize_t w = write(fds[1], &kb, sizeof kb);
        _exit(w == (ssize_t)sizeof kb ? 0 : 1);
    }
    close(fds[1]);
    double kb = -1;
    if (child < 0 || read(fds[0], &kb, sizeof kb) != (ssize_t)sizeof kb) kb = -1;
    close(fds[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    return kb;
}

}  // namespace

int main() {
    double idle100 = measured(100, nullptr);
    double idle500 = measured(500, nullptr);
    double note100 = measured(100, "note(60)");
    if (idle100 < 0 || idle500 < 0 || note100 < 0) {
        printf("could not create the processes\n");
        return 1;
    }
    printf("resident memory per idle process, from 100: %.1f kB\n", idle100);
    printf("resident memory per idle process, from 500: %.1f kB\n", idle500);
    printf("resident memory per process that played a note, from 100: %.1f kB\n", note100);
    printf("sizeof(process_record): %zu bytes\n", sizeof(process_record));
    printf("target: at most 160 kB per idle process: %s\n", idle500 <= 160 ? "met" : "not met");
    return 0;
}
