#!/usr/bin/env bash
# End-to-end checks of the real program, run headless beside small system images.
# Usage: run.sh <path to orvalune> <folder of this script> <path to mkrom> <bundled sysrom.dat>
set -u
bin="$1"
here="$2"
mkrom="$3"
bundled="$4"
work=$(mktemp -d /tmp/orvalune_e2e_XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config"
export SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
mkdir -p "$HOME"
passed=0
failed=0

check() {  # name, condition result
    if [ "$2" = 0 ]; then passed=$((passed + 1)); echo "ok: $1"; else failed=$((failed + 1)); echo "FAILED: $1"; fi
}

# A folder holding a copy of the program, so that sysrom.dat can lie beside it.
machine() {
    local dir="$work/$1"
    mkdir -p "$dir"
    cp "$bin" "$dir/orvalune"
    echo "$dir"
}

# Writes big-endian length-prefixed records given as files.
write_image() {
    local out="$1"; shift
    : > "$out"
    for rec in "$@"; do
        python3 -c 'import sys,struct; d=open(sys.argv[1],"rb").read(); sys.stdout.buffer.write(struct.pack(">I",len(d))+d)' "$rec" >> "$out"
    done
}

# Builds sysrom.dat in machine folder $1 from the scripts given as name=text pairs.
# Extra mkrom options may follow a lone "--".
image_from_scripts() {
    local dir="$1"; shift
    local src="$dir/system_src"
    rm -rf "$src"; mkdir -p "$src"
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        local name="${1%%=*}"
        mkdir -p "$(dirname "$src/$name")"
        printf '%s\n' "${1#*=}" > "$src/$name"
        shift
    done
    [ $# -gt 0 ] && shift
    "$mkrom" "$@" "$src" "$dir/sysrom.dat" >/dev/null
}

# A boot script that starts a services process and the window manager /system/wm.lua, then
# gives every process but itself half a slice each frame.
boot_with_wm='_create_process_from_code("while true do flip() end", "services", "/system/services.lua")
_create_process_from_code(fetch("/system/wm.lua"), "wm", "/system/wm.lua")
while true do
  for _, p in ipairs(_get_process_list()) do
    if p.id ~= 1 then _run_process_slice(p.id, 0.5) end
  end
  flip()
end'

# Starts an X server of its own in folder $1 for the check named $2. On success sets xvfb_pid
# and display and returns 0; otherwise says why the check is skipped and returns 1.
start_xvfb() {
    local xdir="$1"
    mkdir -p "$xdir"
    if ! command -v Xvfb >/dev/null 2>&1; then
        echo "skipped: $2 (Xvfb is not installed)"
        return 1
    fi
    # Xvfb picks a free display number and writes it to descriptor 3 once it accepts clients.
    Xvfb -displayfd 3 -screen 0 960x540x24 -nolisten tcp 3>"$xdir/display" 2>"$xdir/log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$xdir/display" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$xdir/display" ]; then
        echo "skipped: $2 (Xvfb could not start: $(tail -n 1 "$xdir/log"))"
        kill "$xvfb_pid" 2>/dev/null
        return 1
    fi
    display=":$(head -n 1 "$xdir/display")"
}

# Runs the machine in folder $1 headless with its own home; the rest are extra arguments.
run_machine() {
    local dir="$1"; shift
    timeout 60 "$dir/orvalune" -x -home "$dir/home" "$@" 2>&1
}

for t in "$here"/cases/*.sh; do
    # shellcheck source=/dev/null
    . "$t"
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
