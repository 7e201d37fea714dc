#!/usr/bin/env bash
# Start-up benchmark: time from start to the window manager's first frame in a headless run,
# median over repeated runs, beside the same program started without a system image (which
# reads its settings and exits at once) as the baseline of the same run.
# Usage: bench/boot_bench.sh <build folder> [runs]
set -euo pipefail
build=$(cd "${1:?usage: boot_bench.sh <build folder> [runs]}" && pwd)
runs=${2:-21}
work=$(mktemp -d /tmp/orvalune_boot_bench_XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
mkdir -p "$HOME" "$work/boot" "$work/bare" "$work/src"

# The bundled system, with a window manager that quits after its first frame.
cp -r "$(dirname "$0")/../system/." "$work/src/"
cat > "$work/src/wm.lua" <<'LUA'
flip()
_signal(33)
while true do flip() end
LUA
"$build/mkrom" "$work/src" "$work/boot/sysrom.dat" >/dev/null
cp "$build/orvalune" "$work/boot/orvalune"
cp "$build/orvalune" "$work/bare/orvalune"

median_ms() {  # folder
    local times=()
    for _ in $(seq "$runs"); do
        local t0 t1
        t0=$(date +%s%N)
        "$1/orvalune" -x -home "$work/home/data" >/dev/null 2>&1 || true
        t1=$(date +%s%N)
        times+=($(( (t1 - t0) / 1000 )))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f", a[int((NR+1)/2)] / 1000}'
}

boot=$(median_ms "$work/boot")
bare=$(median_ms "$work/bare")
ratio=$(awk -v a="$boot" -v b="$bare" 'BEGIN {printf "%.2f", (b > 0) ? a / b : 0}')
echo "start to first window-manager frame: ${boot} ms (median of $runs)"
echo "start and exit without an image:     ${bare} ms (baseline)"
echo "ratio: ${ratio}; target: under 50 ms to the first frame: $(awk -v a="$boot" 'BEGIN {print (a < 50) ? "met" : "not met"}')"
