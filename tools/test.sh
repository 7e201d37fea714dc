#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the same tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer, then the audio tests built with
# ThreadSanitizer, then the fuzz targets (built with clang) for a bounded time each.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
# The folders of src/ form layers: no include goes up or sideways.
"$top/tools/check_layers.sh"
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
    # Leaks are not checked in general; the tests of script errors inside native calls turn the
    # leak checker on for themselves (tests/CMakeLists.txt).
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

# ThreadSanitizer: the audio tests, among them one where the device's callback mixes while the
# main thread calls note, sfx, music and stat as fast as it can; any race fails them.
echo "== thread sanitizer build (audio)"
dir="$top/build-tsan"
cmake -S "$top" -B "$dir" -G Ninja -DORVALUNE_TSAN=ON >/dev/null
cmake --build "$dir" -j "$jobs" --target orvalune_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$dir" --output-on-failure -j "$jobs" \
    -R '^(AudioDevice|SilentOutput|AudioScript|Mixing|Synth)\.'

# Fuzzing (setup installs clang and its libFuzzer runtime): every libFuzzer target of tests/fuzz runs a fixed number of
# inputs from a fixed seed (so a run here repeats exactly on another machine), capped in time,
# all at once, one core each, from a copy of its seed corpus, with its new inputs, any crashing
# input and its log kept under build-fuzz/fuzz-runs/<target>/. ORVALUNE_FUZZ_SEED=0 picks a new
# seed each run, for longer exploratory runs. A target whose inputs are slow names a smaller count
# of its own in a line "// Inputs a test run: N" of its source; the smaller of the two is run. A
# line "// Input length at most: N" caps the length of the inputs it is given.
{
    dir="$top/build-fuzz"
    seconds="${ORVALUNE_FUZZ_SECONDS:-120}"
    runs="${ORVALUNE_FUZZ_RUNS:-200000}"
    seed="${ORVALUNE_FUZZ_SEED:-1}"
    echo "== fuzz build"
    CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DORVALUNE_FUZZ=ON >/dev/null
    cmake --build "$dir" -j "$jobs"
    fuzz_home=$(mktemp -d /tmp/orvalune_fuzz_home_XXXXXX)
    trap 'rm -rf "$fuzz_home"' EXIT
    targets=()
    pids=()
    for src in "$top"/tests/fuzz/*_fuzz.cpp; do
        name=$(basename "$src" .cpp)
        own_runs=$(sed -n 's|^// Inputs a test run: \([0-9][0-9]*\)$|\1|p' "$src" | head -n 1)
        target_runs="$runs"
        if [ -n "$own_runs" ] && [ "$own_runs" -lt "$runs" ]; then
            target_runs="$own_runs"
        fi
        max_len=$(sed -n 's|^// Input length at most: \([0-9][0-9]*\)$|\1|p' "$src" | head -n 1)
        length_flags=()
        if [ -n "$max_len" ]; then
            length_flags=(-max_len="$max_len")
        fi
        work="$dir/fuzz-runs/$name"
        rm -rf "$work"
        mkdir -p "$work/corpus"
        if [ -d "$top/tests/fuzz/corpus/$name" ]; then
            cp -R "$top/tests/fuzz/corpus/$name/." "$work/corpus/"
        fi
        (cd "$work" && HOME="$fuzz_home" ASAN_OPTIONS=allocator_may_return_null=1 \
            UBSAN_OPTIONS=print_stacktrace=1 "$dir/tests/fuzz/$name" \
            -seed="$seed" -runs="$target_runs" "${length_flags[@]}" -max_total_time="$seconds" \
            -rss_limit_mb=2048 -timeout=10 -close_fd_mask=1 \
            -artifact_prefix="$work/" corpus >"$work/log" 2>&1) &
        targets+=("$name")
        pids+=($!)
    done
    echo "== fuzzing ${#targets[@]} targets, at most $runs inputs each (seed $seed, at most $seconds s)"
    failed=0
    for i in "${!targets[@]}"; do
        name="${targets[$i]}"
        work="$dir/fuzz-runs/$name"
        rc=0
        wait "${pids[$i]}" || rc=$?
        done_runs=$(grep -o '^Done [0-9]* runs in [0-9]* second' "$work/log" | tail -n 1 | cut -d' ' -f2 || true)
        inputs=$(find "$work/corpus" -type f | wc -l)
        if [ "$rc" = 0 ]; then
            echo "fuzz $name: passed, ${done_runs:-0} runs, $inputs inputs in its corpus"
        else
            failed=1
            tail -n 60 "$work/log"
            crash=$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
                -o -name 'oom-*' \) | head -n 1)
            echo "fuzz $name: FAILED (exit $rc), input kept as ${crash:-<none>}, log in $work/log"
        fi
    done
    if [ "$failed" != 0 ]; then
        exit 1
    fi
}
