#!/usr/bin/env bash
# Runs every fuzz target for a bounded time and fails on the first crash, leak or broken
# invariant; the input that caused it is kept and shown.
#
#   fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]
#
# BUILD_DIR is a tree configured with -DORV_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ and built.
# New inputs go to BUILD_DIR/fuzz-work/<target>/corpus; the seeds in fuzz/corpus stay untouched.
set -euo pipefail

build=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]}
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)

# Every input is written to a scratch file; on tmpfs that costs no disk flushes.
scratch=$(mktemp -d "$( [ -d /dev/shm ] && [ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/orvfuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=0
for target in getline infofile listcount ssdid checksums report history; do
    exe=$build/fuzz/fuzz_$target
    work=$build/fuzz-work/$target
    mkdir -p "$work/corpus"
    rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
    echo "--- fuzz_$target: ${seconds}s"
    if TMPDIR=$scratch "$exe" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$here/corpus/$target" \
        >"$work/log" 2>&1; then
        grep -E '^(stat::number_of_executed_units|stat::new_units_added|Done )' "$work/log" || true
    else
        failed=1
        echo "FAILED: fuzz_$target (log: $work/log)"
        grep -vE '^#[0-9]+' "$work/log" | tail -60
        for finding in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
            [ -e "$finding" ] || continue
            echo "input $finding (replay: $exe $finding):"
            od -An -c "$finding" | head -40
        done
    fi
done
exit "$failed"
