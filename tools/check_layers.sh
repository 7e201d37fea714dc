#!/usr/bin/env bash
# Checks that the folders of src/ form layers: a file includes only its own folder and the
# folders below it. The layers, lowest first:
#   base      the byte buffer, the memory map's addresses, the machine's shared records
#   platform  SDL and the host: window, input, audio device, files, clock, threads
#   script    the dialect's libraries (below the kernel, which opens them in every new process)
#   kernel    processes, their address space, slices and messages
#   userdata  typed arrays
#   gfx       drawing, video memory, the boot screen
#   audio     the synthesiser and its mixer
#   storage   the file system, cartridges, formats, the file history
#   net       sockets and downloads
#   api       the script API registry and the families that bind the subsystems to scripts
#   app       start-up, the frame loop, reboot, shutdown and settings
# Prints each include that goes up or sideways and fails if there is one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
layers=(base platform script kernel userdata gfx audio storage net api app)
rank() {
    local i
    for i in "${!layers[@]}"; do
        if [ "${layers[$i]}" = "$1" ]; then echo "$i"; return; fi
    done
    echo -1
}
bad=0
for dir in "$top"/src/*/; do
    folder=$(basename "$dir")
    own=$(rank "$folder")
    if [ "$own" -lt 0 ]; then
        echo "src/$folder is in no layer"
        bad=1
        continue
    fi
    while IFS= read -r line; do
        file=${line%%:*}
        target=$(sed -n 's|^[^:]*:[0-9]*:[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_0-9]*\)/.*|\1|p' <<<"$line")
        [ -n "$target" ] || continue
        [ "$target" = "$folder" ] && continue
        other=$(rank "$target")
        if [ "$other" -lt 0 ] || [ "$other" -gt "$own" ]; then
            echo "${file#"$top"/}: includes $target/, which is not below $folder/"
            bad=1
        fi
    done < <(grep -rn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_0-9]*/' "$dir" || true)
done
if [ "$bad" -ne 0 ]; then
    echo "check_layers: an include goes up or sideways"
    exit 1
fi
echo "check_layers: every include goes down"
