#!/usr/bin/env bash
# run_fuzzers.sh BUILD_DIR SECONDS TARGET...: each target from its seeds for
# SECONDS; the first crash, leak, UB report or over-limit allocation fails.
set -euo pipefail
build=$1 seconds=$2
shift 2
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "$@"; do
    artifacts=$build/artifacts/$target
    mkdir -p "$artifacts"
    log=$artifacts/log.txt
    echo "== fuzz_$target for $seconds s"
    # Large virtual reservations are allowed (readers bound images at 16 GB);
    # resident memory is what a hostile file must not be able to take.
    if ! "$build/fuzz_$target" "$build/corpus/$target" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
        -rss_limit_mb=2048 -malloc_limit_mb=17000 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "fuzz_$target failed; the input is in $artifacts" >&2
        exit 1
    fi
    grep -E "^stat::(number_of_executed_units|new_units_added)" "$log" || true
done
