#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the same tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
jobs=$(nproc)
for kind in normal sanitize; do
    dir="$top/build"
    flags=()
    if [ "$kind" = sanitize ]; then
        dir="$top/build-sanitize"
        flags=(-DORVALUNE_SANITIZE=ON)
    fi
    echo "== $kind build"
    cmake -S "$top" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done
