#!/usr/bin/env bash
# Idle benchmark: the host CPU an idle machine takes, as a share of one core and per frame.
# Two headless, paced runs (SDL's dummy video and audio drivers, so the mixer runs as it
# would with a sound card): a root that only calls flip(), and the bundled system's idle
# desktop. Each is left to start for a while, then its CPU time (/proc/<pid>/schedstat, in
# nanoseconds, every thread counted) and its frame count are read at the start and the end
# of a window of a few seconds. Target: an idle root at most 0.5% of a core.
# Usage: bench/idle_bench.sh <build folder> [seconds]
set -euo pipefail
build=$(cd "${1:?usage: idle_bench.sh <build folder> [seconds]}" && pwd)
seconds=${2:-5}
work=$(mktemp -d /tmp/orvalune_idle_bench_XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
mkdir -p "$HOME" "$work/root" "$work/desk" "$work/src1" "$work/src2"

# A root that only flips; it reports its frame count now and then.
cat > "$work/src1/boot.lua" <<'LUA'
local n = 0
while true do
	flip()
	n = n + 1
	if n % 30 == 0 then printh("frames " .. n) end
end
LUA
"$build/mkrom" "$work/src1" "$work/root/sysrom.dat" >/dev/null
cp "$build/orvalune" "$work/root/orvalune"

# The bundled system; its root reports the frame count the same way.
cp -r "$(dirname "$0")/../system/." "$work/src2/"
awk '{ print } /^while true do$/ && !done { print "\t__idle_frames = (__idle_frames or 0) + 1"; print "\tif __idle_frames % 30 == 0 then printh(\"frames \" .. __idle_frames) end"; done = 1 }' \
    "$work/src2/boot.lua" > "$work/src2/boot.lua.new" && mv "$work/src2/boot.lua.new" "$work/src2/boot.lua"
"$build/mkrom" -add "$build/system_font.bin" fonts/system_font.bin "$work/src2" "$work/desk/sysrom.dat" >/dev/null
cp "$build/orvalune" "$work/desk/orvalune"

cpu_ns() { awk '{ s += $1 } END { print s }' /proc/"$1"/task/*/schedstat 2>/dev/null; }
# CPU nanoseconds of the main thread (the process's own id) and of the audio thread.
main_ns() { cut -d' ' -f1 /proc/"$1"/task/"$1"/schedstat 2>/dev/null; }
audio_ns() {
    local t
    for t in /proc/"$1"/task/*; do
        if grep -qE '^(SDLAudio|orvalune_audio)' "$t/comm" 2>/dev/null; then cut -d' ' -f1 "$t/schedstat"; return; fi
    done
    echo 0
}
last_frames() { grep -o 'frames [0-9]*' "$1" | tail -1 | cut -d' ' -f2; }

measure() {  # label folder
    local out="$work/$2.out"
    "$work/$2/orvalune" -x -home "$work/home/$2" >"$out" 2>/dev/null &
    local pid=$!
    pids+=("$pid")
    sleep 2
    local c0 f0 t0 c1 f1 t1
    local m0 m1 a0 a1
    c0=$(cpu_ns "$pid"); m0=$(main_ns "$pid"); a0=$(audio_ns "$pid"); f0=$(last_frames "$out"); t0=$(date +%s%N)
    sleep "$seconds"
    c1=$(cpu_ns "$pid"); m1=$(main_ns "$pid"); a1=$(audio_ns "$pid"); f1=$(last_frames "$out"); t1=$(date +%s%N)
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    awk -v label="$1" -v c0="$c0" -v c1="$c1" -v f0="${f0:-0}" -v f1="${f1:-0}" -v t0="$t0" -v t1="$t1" \
        -v m="$(( ${m1:-0} - ${m0:-0} ))" -v a="$(( ${a1:-0} - ${a0:-0} ))" -v floor="$floor" 'BEGIN {
        cpu = (c1 - c0) / 1e6; wall = (t1 - t0) / 1e6; frames = f1 - f0
        share = 100 * cpu / wall
        per = frames > 0 ? cpu / frames : 0
        printf "%-28s %6.3f%% of a core, %7.4f ms per frame (%d frames in %.1f s)\n", label, share, per, frames, wall / 1000
        printf "    main thread %.3f%% (of which the 1 ms pacing sleeps, measured alone, %.3f%%), audio thread %.3f%%\n", 100 * m / 1e6 / wall, floor, 100 * a / 1e6 / wall
        if (label ~ /root/) printf "idle root target at most 0.5%%: %s\n", share <= 0.5 ? "met" : "not met"
    }'
}

# The floor the pacing itself sets: a process that only sleeps in 1 ms steps, as the frame
# loop does for the rest of every frame, for the same window.
cat > "$work/floor.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
static double now(clockid_t c) { struct timespec t; clock_gettime(c, &t); return t.tv_sec + t.tv_nsec / 1e9; }
int main(int argc, char** argv) {
    double seconds = atof(argv[1]), t0 = now(CLOCK_MONOTONIC), c0 = now(CLOCK_PROCESS_CPUTIME_ID);
    struct timespec step = {0, 1000000};
    while (now(CLOCK_MONOTONIC) < t0 + seconds) nanosleep(&step, 0);
    printf("%.3f", 100 * (now(CLOCK_PROCESS_CPUTIME_ID) - c0) / (now(CLOCK_MONOTONIC) - t0));
    return 0;
}
C
cc -O2 -o "$work/floor" "$work/floor.c"
floor=$("$work/floor" "$seconds")
echo "1 ms sleep steps alone:      ${floor}% of a core"

measure "idle root (flip only):" root
measure "bundled idle desktop:" desk
