#!/usr/bin/env bash
# Installs what the build needs, builds the program with its bundled system image, and runs it.
# Arguments are passed on to the program.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
cmake -S "$top" -B "$top/build" -G Ninja >/dev/null
cmake --build "$top/build" -j "$(nproc)" --target orvalune
exec "$top/build/orvalune" "$@"
