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
layers="base platform script kernel userdata gfx audio storage net api app"
cd "$top"
# One pass over every include line of src/: "path:line:text" in, complaints out.
grep -rn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_0-9]*/' src | awk -v layers="$layers" '
BEGIN { n = split(layers, names, " "); for (i = 1; i <= n; i++) rank[names[i]] = i; bad = 0 }
{
    split($0, parts, ":"); path = parts[1]
    split(path, dirs, "/"); folder = dirs[2]
    text = substr($0, length(parts[1]) + length(parts[2]) + 3)
    sub(/^[^"]*"/, "", text); target = text; sub(/\/.*/, "", target)
    if (!(folder in rank)) { if (!(folder in unknown)) print "src/" folder " is in no layer"; unknown[folder] = 1; bad = 1; next }
    if (target == folder) next
    if (!(target in rank) || rank[target] > rank[folder]) {
        print path ": includes " target "/, which is not below " folder "/"; bad = 1
    }
}
END { exit bad }' || { echo "check_layers: an include goes up or sideways"; exit 1; }
for dir in src/*/; do
    folder=$(basename "$dir")
    case " $layers " in *" $folder "*) ;; *) echo "src/$folder is in no layer"; exit 1 ;; esac
done
echo "check_layers: every include goes down"
