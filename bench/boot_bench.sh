#!/usr/bin/env bash
# Start-up benchmark: a headless start that prints one line and quits, minimum and median over
# repeated runs, beside stock Lua's `lua -e ""` in the same run (the stock interpreter is only
# the baseline; tools/setup.sh installs it). Also the peak resident memory of a headless start
# of the bundled system to its window manager's first frame, and the share of start-up that the
# dynamic loader takes (LD_DEBUG=statistics).
# Usage: bench/boot_bench.sh <build folder> [runs]
set -euo pipefail
build=$(cd "${1:?usage: boot_bench.sh <build folder> [runs]}" && pwd)
runs=${2:-21}
stock=$(command -v lua5.4 || command -v lua || true)
[ -n "$stock" ] || { echo "boot_bench: stock Lua (lua5.4) is not installed; run tools/setup.sh" >&2; exit 1; }
work=$(mktemp -d /tmp/orvalune_boot_bench_XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
mkdir -p "$HOME" "$work/line" "$work/first" "$work/src1" "$work/src2"

# A one-line image: its boot script prints and quits.
cat > "$work/src1/boot.lua" <<'LUA'
printh("hello")
_signal(33)
LUA
"$build/mkrom" "$work/src1" "$work/line/sysrom.dat" >/dev/null
cp "$build/orvalune" "$work/line/orvalune"

# The bundled system, with a window manager that quits after its first frame.
cp -r "$(dirname "$0")/../system/." "$work/src2/"
cat > "$work/src2/wm.lua" <<'LUA'
flip()
_signal(33)
while true do flip() end
LUA
# The system font goes in as the build adds it: without it the window manager stops at its first line.
"$build/mkrom" -add "$build/system_font.bin" fonts/system_font.bin "$work/src2" "$work/first/sysrom.dat" >/dev/null
cp "$build/orvalune" "$work/first/orvalune"

times_us() {  # command...
    for _ in $(seq "$runs"); do
        local t0 t1
        t0=$(date +%s%N)
        "$@" >/dev/null 2>&1 || true
        t1=$(date +%s%N)
        echo $(( (t1 - t0) / 1000 ))
    done | sort -n
}
stats() { awk '{a[NR]=$1} END {printf "%.2f %.2f\n", a[1] / 1000, a[int((NR+1)/2)] / 1000}'; }

read -r line_min line_med < <(times_us "$work/line/orvalune" -x -home "$work/home/data" | stats)
read -r lua_min lua_med < <(times_us "$stock" -e "" | stats)
read -r first_min first_med < <(times_us "$work/first/orvalune" -x -home "$work/home/data" | stats)
/usr/bin/time -o "$work/rss" -f '%M' "$work/first/orvalune" -x -home "$work/home/data" >/dev/null 2>&1 || true
rss=$(tail -1 "$work/rss")
libs=$(ldd "$build/orvalune" | wc -l)
loader=$(LD_DEBUG=statistics "$work/line/orvalune" -x -home "$work/home/data" 2>&1 >/dev/null |
    awk '/total startup time in dynamic loader/ {for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+$/) {print $i; exit}}' || true)
ratio=$(awk -v a="$line_min" -v b="$lua_min" 'BEGIN {printf "%.1f", (b > 0) ? a / b : 0}')
echo "one-line image, start, print, quit: min ${line_min} ms, median ${line_med} ms ($runs runs)"
echo "stock Lua \`lua -e \"\"\`:             min ${lua_min} ms, median ${lua_med} ms"
echo "bundled system to the first frame:  min ${first_min} ms, median ${first_med} ms"
echo "ratio to stock Lua (min): ${ratio}; targets: at most 25 ms and at most 5 times: $(awk -v a="$line_min" -v r="$ratio" 'BEGIN {print (a <= 25 && r <= 5) ? "met" : "not met"}')"
echo "peak resident memory to the first frame, headless: ${rss} kB; target at most 12 MB: $(awk -v m="$rss" 'BEGIN {print (m <= 12288) ? "met" : "not met"}')"
echo "shared libraries at start: ${libs}; dynamic loader at start: ${loader:-?} cycles"
