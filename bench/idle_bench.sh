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
last_frames() { grep -o 'frames [0-9]*' "$1" | tail -1 | cut -d' ' -f2; }

measure() {  # label folder
    local out="$work/$2.out"
    "$work/$2/orvalune" -x -home "$work/home/$2" >"$out" 2>/dev/null &
    local pid=$!
    pids+=("$pid")
    sleep 2
    local c0 f0 t0 c1 f1 t1
    c0=$(cpu_ns "$pid"); f0=$(last_frames "$out"); t0=$(date +%s%N)
    sleep "$seconds"
    c1=$(cpu_ns "$pid"); f1=$(last_frames "$out"); t1=$(date +%s%N)
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    awk -v label="$1" -v c0="$c0" -v c1="$c1" -v f0="${f0:-0}" -v f1="${f1:-0}" -v t0="$t0" -v t1="$t1" 'BEGIN {
        cpu = (c1 - c0) / 1e6; wall = (t1 - t0) / 1e6; frames = f1 - f0
        share = 100 * cpu / wall
        per = frames > 0 ? cpu / frames : 0
        printf "%-28s %6.3f%% of a core, %7.4f ms per frame (%d frames in %.1f s)\n", label, share, per, frames, wall / 1000
        if (label ~ /root/) printf "idle root target at most 0.5%%: %s\n", share <= 0.5 ? "met" : "not met"
    }'
}

measure "idle root (flip only):" root
measure "bundled idle desktop:" desk
